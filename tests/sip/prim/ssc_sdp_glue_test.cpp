// SDP body glue: received SDP text becomes SSC SDP headers (refusals answered
// and reported), SSC SDP headers become body text (each failure with its
// number and detail), body-part renumbering, records cleared between calls,
// and the description crossing once.
#include "sip/prim/ssc_sdp_glue.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "tests/sip/prim/ssc_bridge_fixture.h"
#include "tests/sip/prim/support/ssc_invite.h"

using namespace ssc_bridge_test;
using H = ssc_header_id;
using T = ssc_msg_type;

namespace {

struct Hooks {
  static inline std::vector<u16> reports;
  static inline std::vector<std::pair<u16, std::string>> responses;
  static inline bool is_request = true;
  static ssc_handle* new_rs(ssc_handle*) {
    if (!is_request) return nullptr;
    ssc_handle* h = Ssc_alloc_handle();
    if (h != nullptr && Ssc_init_handle(h, T::INVITE_RS) != 2) return nullptr;
    return h;
  }
  static void send(ssc_handle* rs) {
    auto* st = Ssc_first<ssc_hdr_status>(rs, H::RETURN_CODE);
    responses.emplace_back(st ? st->code : 0, st ? st->reason : "");
    Ssc_free_handle(rs);
  }
  static inline std::vector<u16> events;
  static void report(u8 kind, u8 cls, u16 number) {
    EXPECT_EQ(kind, 'k');
    EXPECT_TRUE(cls == 'r' || cls == 'e');
    (cls == 'r' ? reports : events).push_back(number);
  }
};

const char* const T38_OFFER =
    "v=0\r\no=fax 1 2 IN IP4 192.0.2.10\r\ns=-\r\nc=IN IP4 192.0.2.10\r\nt=0 0\r\n"
    "m=image 40000 udptl t38\r\na=T38FaxVersion:0\r\na=T38MaxBitRate:14400\r\na=T38FaxFillBitRemoval\r\n"
    "a=T38FaxRateManagement:transferredTCF\r\na=T38FaxMaxBuffer:2000\r\na=T38FaxMaxDatagram:400\r\n"
    "a=T38FaxUdpEC:t38UDPRedundancy\r\n";

class SscSdpGlue : public Runtime {
 protected:
  void SetUp() override {
    Runtime::SetUp();
    Hooks::reports.clear();
    Hooks::events.clear();
    Hooks::responses.clear();
    Hooks::is_request = true;
    ssc_sdp_glue_env = {Hooks::new_rs, Hooks::send, Hooks::report};
  }
  void TearDown() override {
    ssc_sdp_glue_env = {};
    Runtime::TearDown();
  }
  // A message with one SDP body (or the parts given).
  ssc_handle* with_body(T type, const std::string& text, u8 part = 0xFF, bool multipart = false) {
    ssc_handle* h = handle(type);
    auto* ct = add<ssc_hdr_content_type>(h, H::CONTENT_TYPE);
    ct->type = multipart ? 'M' : 'A';
    ct->subtype = multipart ? 'X' : 'H';
    auto* b = add<ssc_hdr_body>(h, H::BODY);
    b->part = part;
    b->length = static_cast<u16>(text.size());
    auto* copy = static_cast<u8*>(Ssc_alloc_area(h, static_cast<u16>(text.size())));
    std::memcpy(copy, text.data(), text.size());
    b->bytes = copy;
    if (multipart) {
      auto* pt = add<ssc_hdr_part_type>(h, H::PART_CONTENT_TYPE);
      pt->part = part;
      pt->type = 'A';
      pt->subtype = 'H';
    }
    return h;
  }
  static std::string body_text(ssc_handle* h) {
    auto* b = Ssc_first<ssc_hdr_body>(h, H::BODY);
    return b ? std::string(reinterpret_cast<const char*>(b->bytes), b->length) : std::string();
  }
  // An SSC T.38 offer as the fax session builds it.
  ssc_handle* t38_offer(T type = T::INVITE) {
    ssc_handle* h = handle(type);
    static constexpr u8 a[4] = {192, 0, 2, 1};
    ssc_test::t38_offer_fields f;
    f.addr = a;
    f.session_id = "42";
    f.port = 5004;
    ssc_test::add_t38_offer(h, f);
    return h;
  }

 public:
  // `n` RTP/AVP audio lines with no format and nothing optional.
  void add_bare_audio(ssc_handle* h, int n) {
    for (int i = 0; i < n; ++i) {
      auto* m = add<ssc_hdr_sdp_media>(h, H::AUDIO_CNCT_DESCR);
      m->kind = 'U';
      m->transport = SDP_TRANSPORT_RTP_AVP;
      m->net_type = 0xFF;
      m->bw_type = 0xFF;
      m->direction = 0xFF;
      m->key_method = 0xFF;
      m->format_count = 0;
    }
  }
};

TEST_F(SscSdpGlue, DecodeT38OfferIntoHeaders) {
  ssc_handle* h = with_body(T::INVITE, T38_OFFER);
  ASSERT_EQ(ssc_sdp_decode_body(h), 2);
  EXPECT_EQ(Ssc_first<ssc_hdr_body>(h, H::BODY), nullptr);  // the SDP part is taken out
  auto* s = Ssc_first<ssc_hdr_sdp_session>(h, H::SDP_MAIN_BODY);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->family, '4');
  EXPECT_EQ(s->v4[3], 10);
  auto* o = Ssc_first<ssc_hdr_sdp_origin>(h, H::ORIGIN_CNCT_DESCR);
  ASSERT_NE(o, nullptr);
  EXPECT_STREQ(o->user, "fax");
  auto* t = Ssc_first<ssc_hdr_sdp_t38>(h, H::T38_CNCT_DESCR);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->port, 40000);
  EXPECT_EQ(t->max_bit_rate, 14400u);
  EXPECT_EQ(t->fill_bit_removal, 1);
  EXPECT_EQ(t->rate_management, SDP_RATEMGMT_TRANSFERRED_TCF);
  EXPECT_EQ(t->udp_ec, SDP_UDPEC_REDUNDANCY);
  EXPECT_EQ(t->max_datagram, 400u);
  EXPECT_EQ(t->transport, SDP_TRANSPORT_UDPTL);
  EXPECT_TRUE(Hooks::reports.empty());
}

// Refused bodies: a request is answered 400 and reported; a response is
// reported and goes on without SDP headers; the body header stays.
TEST_F(SscSdpGlue, RefusedBodies) {
  const struct {
    const char* what;
    std::string text;
    bool request;
  } cases[] = {
      {"no connection line", "v=0\r\no=a 1 1 IN IP4 1.2.3.4\r\ns=-\r\nt=0 0\r\nm=image 4000 udptl t38\r\n", true},
      {"not SDP", "hello", true},
      {"IPv6", "v=0\r\no=a 1 1 IN IP6 ::1\r\ns=-\r\nc=IN IP6 ::1\r\nt=0 0\r\nm=audio 4000 RTP/AVP 0\r\n", true},
      {"no connection line", "v=0\r\ns=-\r\nt=0 0\r\nm=audio 1 RTP/AVP 0\r\n", true},
      {"T.38 with a wild version",
       "v=0\r\ns=-\r\nc=IN IP4 1.2.3.4\r\nt=0 0\r\nm=image 1 udptl t38\r\n"
       "a=T38FaxVersion:99999\r\n",
       true},
      {"response without connection", "v=0\r\ns=-\r\nt=0 0\r\nm=image 4000 udptl t38\r\n", false},
  };
  for (const auto& c : cases) {
    Hooks::reports.clear();
    Hooks::responses.clear();
    Hooks::is_request = c.request;
    ssc_handle* h = with_body(c.request ? T::INVITE : T::INVITE_RS, c.text);
    EXPECT_EQ(ssc_sdp_decode_body(h), c.request ? 3 : 2) << c.what;
    EXPECT_EQ(Hooks::reports, std::vector<u16>{61}) << c.what;
    if (c.request) {
      ASSERT_EQ(Hooks::responses.size(), 1u) << c.what;
      EXPECT_EQ(Hooks::responses[0].first, 400);
      EXPECT_EQ(Hooks::responses[0].second, "Bad request");
    } else {
      EXPECT_TRUE(Hooks::responses.empty());
    }
    EXPECT_NE(Ssc_first<ssc_hdr_body>(h, H::BODY), nullptr) << c.what;
    EXPECT_EQ(Ssc_first<ssc_hdr_sdp_session>(h, H::SDP_MAIN_BODY), nullptr) << c.what;
  }
}

// A peer's offer with a bare or empty optional T.38 attribute is kept; the
// dropped attribute is reported as an event.
TEST_F(SscSdpGlue, LenientWithValuelessT38Attribute) {
  const std::string offer = std::string(T38_OFFER) + "a=T38FaxUdpEC\r\na=T38FaxMaxBuffer:\r\n";
  ssc_handle* h = with_body(T::INVITE, offer);
  ASSERT_EQ(ssc_sdp_decode_body(h), 2);
  auto* t = Ssc_first<ssc_hdr_sdp_t38>(h, H::T38_CNCT_DESCR);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->udp_ec, SDP_UDPEC_REDUNDANCY);
  EXPECT_EQ(t->max_buffer, 2000u);
  EXPECT_TRUE(Hooks::reports.empty());
  EXPECT_EQ(Hooks::events, std::vector<u16>{61});
  EXPECT_TRUE(Hooks::responses.empty());
}

TEST_F(SscSdpGlue, NothingToDo) {
  ssc_handle* none = handle(T::INVITE);
  EXPECT_EQ(ssc_sdp_decode_body(none), 2);
  EXPECT_EQ(ssc_sdp_encode_body(none), 2);
  // A multipart body whose parts have no SDP content type is left alone.
  ssc_handle* mp = with_body(T::INVITE, "x", 1, true);
  Ssc_first<ssc_hdr_part_type>(mp, H::PART_CONTENT_TYPE)->subtype = 'Z';
  EXPECT_EQ(ssc_sdp_decode_body(mp), 2);
  EXPECT_NE(Ssc_first<ssc_hdr_body>(mp, H::BODY), nullptr);
  EXPECT_TRUE(Hooks::reports.empty());
}

TEST_F(SscSdpGlue, EncodeT38OfferAsText) {
  ssc_handle* h = t38_offer();
  ASSERT_EQ(ssc_sdp_encode_body(h), 2);
  const std::string text = body_text(h);
  EXPECT_EQ(text.rfind("v=0\r\n", 0), 0u) << text;
  EXPECT_NE(text.find("o=tessaly 42 1 IN IP4 192.0.2.1\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("m=image 5004 udptl t38\r\n"), std::string::npos) << text;
  EXPECT_NE(text.find("a=T38FaxUdpEC:t38UDPRedundancy\r\n"), std::string::npos) << text;
  EXPECT_EQ(Ssc_first<ssc_hdr_body>(h, H::BODY)->part, 0xFF);
  auto* ct = Ssc_first<ssc_hdr_content_type>(h, H::CONTENT_TYPE);  // added: the body is SDP
  ASSERT_NE(ct, nullptr);
  EXPECT_EQ(ct->type, 'A');
  EXPECT_EQ(ct->subtype, 'H');
  EXPECT_EQ(Ssc_first<ssc_hdr_sdp_session>(h, H::SDP_MAIN_BODY), nullptr);
  EXPECT_NE(Ssc_first<ssc_hdr_sdp_t38>(h, H::T38_CNCT_DESCR), nullptr);  // stays linked
  // The text parses back to the same values.
  ssc_handle* back = with_body(T::INVITE, text);
  ASSERT_EQ(ssc_sdp_decode_body(back), 2);
  auto* t = Ssc_first<ssc_hdr_sdp_t38>(back, H::T38_CNCT_DESCR);
  ASSERT_NE(t, nullptr);
  EXPECT_EQ(t->port, 5004);
  EXPECT_EQ(t->max_buffer, 2000u);
  EXPECT_EQ(t->rate_management, SDP_RATEMGMT_TRANSFERRED_TCF);

  // The description crosses once: the primitive carries the body, no T.38
  // element beside it; received, elements beside a body are not read.
  const auto body = encode(h);
  EXPECT_EQ(nodes(body, slot_of(T::INVITE, H::BODY)).size(), 1u);
  EXPECT_TRUE(nodes(body, slot_of(T::INVITE, H::T38_CNCT_DESCR)).empty());
  ssc_handle* both = handle(T::INVITE);
  auto* bt = add<ssc_hdr_sdp_t38>(both, H::T38_CNCT_DESCR);
  bt->kind = 'I';
  bt->format = '8';
  const auto with_element = encode(both);  // an element, no body
  ASSERT_EQ(nodes(with_element, slot_of(T::INVITE, H::T38_CNCT_DESCR)).size(), 1u);
  std::vector<u8> mixed = body;  // the body and that element
  const u16 off = static_cast<u16>((mixed.size() + 1) & ~1u);
  const u8* elem = nodes(with_element, slot_of(T::INVITE, H::T38_CNCT_DESCR))[0];
  mixed.resize(off);
  mixed.insert(mixed.end(), elem, elem + 42);
  put_host16(&mixed[slot_of(T::INVITE, H::T38_CNCT_DESCR)], off);
  ssc_handle* rx = handle(T::INVITE);
  ASSERT_EQ(ssc_decode_from_sip(rx, mixed.data(), static_cast<u16>(mixed.size()), nullptr), SSC_RC_OK);
  EXPECT_EQ(Ssc_first<ssc_hdr_sdp_t38>(rx, H::T38_CNCT_DESCR), nullptr);
  EXPECT_NE(Ssc_first<ssc_hdr_body>(rx, H::BODY), nullptr);
}

// Every encode failure sets its number and detail.
TEST_F(SscSdpGlue, EncodeFailuresNumberAndDetail) {
  struct Case {
    const char* what;
    void (*spoil)(SscSdpGlue*, ssc_handle*);
    u8 number, detail;
  };
  const Case cases[] = {
      {"session host",
       [](SscSdpGlue*, ssc_handle* h) {
         auto* s = Ssc_first<ssc_hdr_sdp_session>(h, H::SDP_MAIN_BODY);
         s->family = 'N';
         s->host = "bad/host";
       },
       19, '='},
      {"origin without user",
       [](SscSdpGlue*, ssc_handle* h) { Ssc_first<ssc_hdr_sdp_origin>(h, H::ORIGIN_CNCT_DESCR)->user = nullptr; }, 19,
       'A'},
      {"eleven audio lines", [](SscSdpGlue* t, ssc_handle* h) { t->add_bare_audio(h, 11); }, 20, '>'},
      {"ten audio lines beside the T.38 line", [](SscSdpGlue* t, ssc_handle* h) { t->add_bare_audio(h, 10); }, 20, 'K'},
      {"rtpmap unknown codec",
       [](SscSdpGlue* t, ssc_handle* h) {
         auto* r = t->add<ssc_hdr_sdp_rtpmap>(h, H::RTP_CNCT_DESCR);
         r->codec = 0xFE;
         r->encoding = nullptr;
       },
       19, '?'},
      {"other media bad name",
       [](SscSdpGlue* t, ssc_handle* h) {
         auto* m = t->add<ssc_hdr_sdp_other_media>(h, H::OTHER_CNCT_DESCR);
         m->net_type = 0xFF;
         m->bw_type = 0xFF;
         m->key_method = 0xFF;
         m->media_name = "a b";
       },
       19, '@'},
      {"T.38 unknown transport",
       [](SscSdpGlue*, ssc_handle* h) { Ssc_first<ssc_hdr_sdp_t38>(h, H::T38_CNCT_DESCR)->transport = 0x55; }, 19, 'K'},
      {"T.38 IPv6", [](SscSdpGlue*, ssc_handle* h) { Ssc_first<ssc_hdr_sdp_t38>(h, H::T38_CNCT_DESCR)->family = '6'; },
       19, 'K'},
      {"eleven T.38 lines",
       [](SscSdpGlue* t, ssc_handle* h) {
         auto* first = Ssc_first<ssc_hdr_sdp_t38>(h, H::T38_CNCT_DESCR);
         for (int i = 0; i < 10; ++i) {
           auto* m = t->add<ssc_hdr_sdp_t38>(h, H::T38_CNCT_DESCR);
           ssc_hdr_sdp_t38 keep = *first;
           keep.next = nullptr;
           *m = keep;
         }
       },
       20, 'K'},
  };
  for (const Case& c : cases) {
    ssc_handle* h = t38_offer();
    c.spoil(this, h);
    EXPECT_EQ(ssc_sdp_encode_body(h), 3) << c.what;
    EXPECT_EQ(ssc_sdp_error.number, c.number) << c.what;
    EXPECT_EQ(ssc_sdp_error.detail, c.detail) << c.what;
    EXPECT_EQ(Ssc_first<ssc_hdr_body>(h, H::BODY), nullptr) << c.what;
  }
}

// No value of an earlier conversion reaches a later one.
TEST_F(SscSdpGlue, RecordsClearedBetweenConversions) {
  ssc_handle* first = t38_offer();
  auto* t = Ssc_first<ssc_hdr_sdp_t38>(first, H::T38_CNCT_DESCR);
  t->net_type = 'I';
  t->family = '4';
  const u8 old[4] = {198, 51, 100, 77};
  std::memcpy(t->v4, old, 4);
  ASSERT_EQ(ssc_sdp_encode_body(first), 2);
  EXPECT_NE(body_text(first).find("198.51.100.77"), std::string::npos);
  ssc_handle* second = t38_offer();  // T.38 line without an address of its own
  ASSERT_EQ(ssc_sdp_encode_body(second), 2);
  EXPECT_EQ(body_text(second).find("198.51.100.77"), std::string::npos) << body_text(second);
}

TEST_F(SscSdpGlue, MultipartRenumbering) {
  ssc_handle* h = t38_offer();
  auto* ct = add<ssc_hdr_content_type>(h, H::CONTENT_TYPE);
  ct->type = 'M';
  for (u8 p : {0, 1}) {
    auto* b = add<ssc_hdr_body>(h, H::BODY);
    b->part = p;
    b->length = 1;
    b->bytes = reinterpret_cast<const u8*>("x");
    auto* ph = add<ssc_hdr_part_headers>(h, H::PART_HEADERS);
    ph->part = p;
  }
  EXPECT_TRUE(ssc_sdp__has_part(h, 0));
  ASSERT_EQ(ssc_sdp_encode_body(h), 2);
  std::vector<int> parts;
  for (auto* b = Ssc_first<ssc_hdr_body>(h, H::BODY); b; b = b->next) parts.push_back(b->part);
  EXPECT_EQ(parts, (std::vector<int>{1, 2, 0}));
  auto* pt = Ssc_first<ssc_hdr_part_type>(h, H::PART_CONTENT_TYPE);
  ASSERT_NE(pt, nullptr);
  EXPECT_EQ(pt->part, 0);
  EXPECT_EQ(pt->type, 'A');
  EXPECT_EQ(pt->subtype, 'H');
  // A single body (0xFF) counts as part 0 and becomes part k.
  ssc_handle* s = with_body(T::INVITE, "x");
  EXPECT_TRUE(ssc_sdp__has_part(s, 0));
  ssc_sdp__shift_parts(s, 3);
  EXPECT_EQ(Ssc_first<ssc_hdr_body>(s, H::BODY)->part, 3);
  ssc_sdp__remove_part(s, 3);
  EXPECT_EQ(Ssc_first<ssc_hdr_body>(s, H::BODY), nullptr);
}

TEST(SscSdpGlueTables, TextByCodeSearchesFromTheLastRow) {
  const char* t = nullptr;
  EXPECT_EQ(sdp_table__text_by_code(0x10, &t, sdp_transport_table.rows, sdp_transport_table.count), 2);
  EXPECT_STREQ(t, "udptl");
  EXPECT_EQ(sdp_table__text_by_code(0x11, &t, sdp_transport_table.rows, sdp_transport_table.count), 2);
  EXPECT_STREQ(t, "tcp");
  EXPECT_EQ(sdp_table__text_by_code('8', &t, sdp_t38_format_table.rows, sdp_t38_format_table.count), 2);
  EXPECT_STREQ(t, "t38");
  EXPECT_EQ(sdp_table__text_by_code(0x77, &t, sdp_transport_table.rows, sdp_transport_table.count), 3);
  EXPECT_EQ(sdp_table__text_by_code(0, &t, nullptr, 0), 3);
}

}  // namespace

// Any mix of up to ten media lines crosses both ways in its order; more are
// counted for the user, who refuses the offer; other media lines (MSRP,
// applications) are answered as offered.
TEST_F(SscSdpGlue, TenMediaOfEveryKindBothWays) {
  const auto body = [](int n, const char* extra) {
    static const char* const lines[] = {"m=audio %d RTP/AVP 0 8", "m=video %d RTP/AVP 31", "m=image %d udptl t38",
                                        "m=application %d udp wb", "m=message %d TCP/MSRP *"};
    std::string t = "v=0\r\no=x 1 1 IN IP4 192.0.2.9\r\ns=-\r\nc=IN IP4 192.0.2.9\r\nt=0 0\r\n";
    for (int i = 0; i < n; ++i) {
      char line[64];
      std::snprintf(line, sizeof line, lines[i % 5], 2000 + i);
      t += std::string(line) + "\r\n" + extra;
    }
    return t;
  };
  const struct {
    const char* what;
    std::string text;
    int kept;
    u8 lines;
  } rows[] = {
      {"ten media", body(10, ""), 10, 10},
      {"ten media with lines the parser keeps aside", body(10, "a=label:1\r\na=mid:m\r\ni=some information\r\n"), 10,
       10},
      {"eleven media", body(11, ""), 10, 11},
      {"twelve media", body(12, "a=sendonly\r\n"), 10, 12},
  };
  for (const auto& r : rows) {
    Hooks::reports.clear();
    ssc_handle* h = with_body(T::INVITE, r.text);
    ASSERT_EQ(ssc_sdp_decode_body(h), 2) << r.what;
    EXPECT_TRUE(Hooks::reports.empty()) << r.what;
    auto* s = Ssc_first<ssc_hdr_sdp_session>(h, H::SDP_MAIN_BODY);
    ASSERT_NE(s, nullptr) << r.what;
    EXPECT_EQ(s->media_lines, r.lines) << r.what;
    // Every kept line with its position, once.
    std::vector<int> at(SDP_MAX_MEDIA, 0);
    int kept = 0;
    for (auto* a = Ssc_first<ssc_hdr_sdp_media>(h, H::AUDIO_CNCT_DESCR); a; a = a->next, ++kept) ++at.at(a->media_pos);
    for (auto* t = Ssc_first<ssc_hdr_sdp_t38>(h, H::T38_CNCT_DESCR); t; t = t->next, ++kept) ++at.at(t->media_pos);
    for (auto* o = Ssc_first<ssc_hdr_sdp_other_media>(h, H::OTHER_CNCT_DESCR); o; o = o->next, ++kept)
      ++at.at(o->media_pos);
    EXPECT_EQ(kept, r.kept) << r.what;
    EXPECT_EQ(at, std::vector<int>(SDP_MAX_MEDIA, 1)) << r.what;
    if (r.lines > SDP_MAX_MEDIA) continue;
    // Sent back (as an answer would be, every port 0), the text keeps the
    // order of the media lines.
    ssc_handle* out = handle(T::INVITE_RS);
    for (H id : {H::SDP_MAIN_BODY, H::ORIGIN_CNCT_DESCR, H::AUDIO_CNCT_DESCR, H::RTP_CNCT_DESCR, H::OTHER_CNCT_DESCR,
                 H::T38_CNCT_DESCR})
      *Ssc_list_head(out, id) = *Ssc_list_head(h, id);
    for (auto* a = Ssc_first<ssc_hdr_sdp_media>(out, H::AUDIO_CNCT_DESCR); a; a = a->next) a->port = 0;
    for (auto* t = Ssc_first<ssc_hdr_sdp_t38>(out, H::T38_CNCT_DESCR); t; t = t->next) t->port = 0;
    for (auto* o = Ssc_first<ssc_hdr_sdp_other_media>(out, H::OTHER_CNCT_DESCR); o; o = o->next) o->port = 0;
    ASSERT_EQ(ssc_sdp_encode_body(out), 2)
        << r.what << " error " << int(ssc_sdp_error.number) << " " << ssc_sdp_error.detail;
    const std::string text = body_text(out);
    std::vector<std::string> mlines;
    for (std::size_t p = 0, e; (e = text.find("\r\n", p)) != std::string::npos; p = e + 2)
      if (text.compare(p, 2, "m=") == 0) mlines.push_back(text.substr(p, e - p));
    EXPECT_EQ(mlines, (std::vector<std::string>{"m=audio 0 RTP/AVP 0 8", "m=video 0 RTP/AVP 31", "m=image 0 udptl t38",
                                                "m=application 0 udp wb", "m=message 0 TCP/MSRP *",
                                                "m=audio 0 RTP/AVP 0 8", "m=video 0 RTP/AVP 31", "m=image 0 udptl t38",
                                                "m=application 0 udp wb", "m=message 0 TCP/MSRP *"}))
        << r.what << "\n"
        << text;
  }
}
