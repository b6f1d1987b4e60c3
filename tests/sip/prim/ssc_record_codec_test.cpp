// SSC record codec: the codec table and method map, the element form of
// individual headers (bounds, conversions, addresses), the header map per
// message type, decoding back into a handle, refusals of hostile bodies and
// of identifiers over their bound, and the SIP side reading what we write.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sip/prim/sip_elem.h"
#include "tests/sip/prim/ssc_bridge_fixture.h"

using namespace ssc_bridge_test;
using H = ssc_header_id;
using T = ssc_msg_type;

namespace {

class SscRecordCodec : public Runtime {};

TEST(SscRecordCodecTable, RowsAndMethodMap) {
  for (unsigned id : {0u, 1u, 2u, 19u, 47u, 48u, 69u, 70u, 71u, 73u, 74u, 76u, 83u, 84u, 86u, 88u, 90u, 91u, 95u}) {
    const auto& r = ssc_record_codec_table[id];
    EXPECT_TRUE(r.decode == nullptr && r.encode == nullptr && r.new_instance == nullptr) << id;
  }
  EXPECT_TRUE(ssc_record_codec_table[31].encode && ssc_record_codec_table[31].decode &&
              ssc_record_codec_table[31].new_instance);
  EXPECT_TRUE(ssc_record_codec_table[96].encode && !ssc_record_codec_table[96].decode &&
              !ssc_record_codec_table[96].new_instance);
  for (unsigned id = 0; id < SSC_HEADER_ID_COUNT; ++id) {
    const ssc_header_desc_row* d = ssc_header_row(static_cast<ssc_header_id>(id));
    if (d == nullptr || id == 84) {
      EXPECT_EQ(ssc_record_codec_table[id].size, 0) << id;
      continue;
    }
    EXPECT_EQ(ssc_record_codec_table[id].size, d->size) << id;
    EXPECT_EQ(ssc_record_codec_table[id].id, id) << id;
  }
  for (unsigned id : {3u, 4u, 9u, 23u, 45u, 57u, 60u, 61u, 75u, 85u, 94u}) {
    EXPECT_EQ(ssc_record_codec_table[id].id, id);
    EXPECT_TRUE(ssc_record_codec_table[id].decode && ssc_record_codec_table[id].new_instance) << id;
  }
  const struct {
    u8 letter, type;
  } pairs[] = {{'A', 0}, {'D', 1}, {'F', 2}, {'B', 3}, {'C', 4}, {'E', 5}, {0xFF, 40}, {'Z', 0xFF}};
  for (const auto& p : pairs) EXPECT_EQ(ssc_kind__type_of_letter(p.letter), p.type) << int(p.letter);
  EXPECT_EQ(ssc_kind__letter_of_type(1), 'D');
  EXPECT_EQ(ssc_kind__letter_of_type(6), 0xFF);
  EXPECT_EQ(ssc_kind__letter_of_type(28), 0);
  EXPECT_EQ(ssc_kind__letter_of_type(29), 0xFF);
}

// The SSC bound of each text is the SIP parser's limit plus the NUL, field by
// field: what one side accepts the other can carry.
TEST(SscRecordCodecTable, BoundsAgreeWithParserLimits) {
  const struct {
    unsigned ssc;
    unsigned offset;
    unsigned parser_limit;
    const char* what;
  } rows[] = {
      {23, 24, 64, "From user"},
      {23, 30, 64, "From host"},
      {23, 36, 64, "From tag"},
      {23, 22, 64, "From display"},
      {23, 34, 512, "From parameters"},
      {23, 10, 25, "telephone number"},
      {23, 12, 20, "isub"},
      {23, 14, 10, "postd"},
      {23, 16, 32, "phone-context"},
      {23, 18, 32, "tsp"},
      {23, 20, 64, "other tel params"},
      {23, 26, 64, "password"},
      {23, 32, 16, "user-param text"},
      {45, 38, 8, "transport text"},
      {45, 36, 64, "maddr"},
      {45, 42, 20, "URI headers"},
      {45, 44, 512, "URI parameters"},
      {14, 50, 20, "Contact URI headers"},
      {85, 46, 20, "Diversion URI headers"},
      {72, 40, 20, "Referred-By URI headers"},
      {12, 2, 64, "Call-ID local part"},
      {12, 6, 64, "Call-ID host"},
      {11, 14, 64, "username"},
      {11, 16, 64, "realm"},
      {11, 18, 64, "nonce"},
      {11, 20, 128, "digest uri"},
      {11, 22, 128, "response"},
      {11, 24, 16, "algorithm text"},
      {11, 26, 32, "cnonce"},
      {11, 28, 32, "opaque"},
      {11, 30, 16, "qop text"},
      {11, 34, 64, "other parameter"},
      {36, 6, 64, "challenge realm"},
      {36, 8, 64, "challenge nonce"},
      {36, 10, 32, "challenge opaque"},
      {57, 14, 8, "Via protocol"},
      {57, 16, 6, "Via version"},
      {57, 18, 8, "Via transport"},
      {57, 22, 64, "Via host"},
      {57, 24, 64, "Via maddr"},
      {57, 30, 64, "Via branch"},
      {57, 26, 512, "Via parameters"},
      {18, 6, 16, "type text"},
      {18, 8, 32, "subtype text"},
      {18, 10, 70, "boundary"},
      {61, 8, 64, "SDP session host"},
      {61, 10, 32, "session name"},
      {61, 12, 10, "start time"},
      {65, 4, 64, "origin user"},
      {65, 6, 20, "session id"},
      {65, 8, 20, "version"},
      {62, 26, 128, "media key"},
      {63, 10, 32, "encoding name"},
      {63, 12, 255, "fmtp"},
      {64, 12, 16, "other media name"},
      {64, 14, 8, "other transport"},
      {64, 20, 64, "other format"},
      {75, 36, 64, "T.38 host"},
      {75, 38, 128, "T.38 key"},
  };
  for (const auto& r : rows) {
    const ssc_elem_binding* b = ssc_elem__binding(static_cast<ssc_header_id>(r.ssc));
    ASSERT_NE(b, nullptr) << r.what;
    bool found = false;
    for (std::size_t i = 0; i < b->field_count; ++i)
      if (b->fields[i].offset == r.offset) {
        found = true;
        EXPECT_EQ(b->fields[i].bound, r.parser_limit + 1) << r.what;
      }
    EXPECT_TRUE(found) << r.what;
  }
}

TEST(SscRecordCodecTable, MapFollowsThePairing) {
  // ACK: status and the INVITE's credentials and disposition, no Accept family.
  EXPECT_NE(slot_of(T::ACK, H::RETURN_CODE), 0xFFFF);
  EXPECT_NE(slot_of(T::ACK, H::PROXY_AUTHORIZATION), 0xFFFF);
  EXPECT_NE(slot_of(T::ACK, H::CONTENT_DISPOSITION), 0xFFFF);
  for (H id : {H::ACCEPT, H::ACCEPT_ENCODING, H::ACCEPT_LANGUAGE, H::SUPPORTED})
    EXPECT_EQ(slot_of(T::ACK, id), 0xFFFF) << int(ssc_idx(id));
  for (H id : {H::CONTENT_TYPE, H::BODY, H::SDP_MAIN_BODY, H::T38_CNCT_DESCR, H::REQUIRE})
    EXPECT_EQ(slot_of(T::CANCEL, id), 0xFFFF) << int(ssc_idx(id));
  for (H id : {H::ERROR_INFO, H::RETRY_AFTER, H::SERVER, H::WARNING})
    EXPECT_NE(slot_of(T::CANCEL_RS, id), 0xFFFF) << int(ssc_idx(id));
  EXPECT_EQ(slot_of(T::CANCEL_RS, H::CONTACT), 0xFFFF);
  EXPECT_EQ(slot_of(T::INVITE, H::ROUTE), slot_of(T::INVITE, H::ROUTE_2));
  for (unsigned t = 6; t <= 12; ++t) EXPECT_EQ(ssc_sip_map__row(static_cast<T>(t)), nullptr);
  EXPECT_EQ(ssc_sip_map__row(T::PROF_REG), nullptr);
  // OPTIONS pairs by header although its SIP table lists Referred-By first.
  const sip_kind_hdr_table* c = sip_kind__table(sip_msg_kind::options_rq);
  EXPECT_EQ(c->rows[slot_of(T::OPTIONS, H::RECORD_ROUTE) / 2].id, static_cast<sip_header_id>(42));
  EXPECT_EQ(c->rows[slot_of(T::OPTIONS, H::REFERRED_BY) / 2].id, static_cast<sip_header_id>(78));
}

TEST_F(SscRecordCodec, StatusReasonCutAndNeverSetTextNull) {
  ssc_handle* h = handle(T::INVITE_RS);
  auto* st = add<ssc_hdr_status>(h, H::RETURN_CODE);
  st->code = 200;
  const std::string longr(100, 'r');
  st->reason = longr.c_str();
  auto* to = add<ssc_hdr_name_addr>(h, H::TO);  // every text never set
  to->uri.scheme = 1;
  const auto body = encode(h);
  auto n = nodes(body, slot_of(T::INVITE_RS, H::RETURN_CODE));
  ASSERT_EQ(n.size(), 1u);
  EXPECT_EQ(w16(n[0], 2), 200);
  EXPECT_EQ(w16(n[0], 4), 65);
  EXPECT_EQ(var(n[0], 6, 4, {4}), std::string(64, 'r') + '\0');
  auto t = nodes(body, slot_of(T::INVITE_RS, H::TO));
  ASSERT_EQ(t.size(), 1u);
  for (unsigned s = 10; s <= 38; s += 2) EXPECT_EQ(w16(t[0], s), 0) << s;
  EXPECT_EQ(to->s1, nullptr);
  EXPECT_EQ(to->uri.user, nullptr);
}

TEST_F(SscRecordCodec, AllowOneElementPerMethodAndBack) {
  ssc_handle* h = handle(T::INVITE);
  auto* a = add<ssc_hdr_allow>(h, H::ALLOW);
  std::memset(a->allowed, 0, sizeof a->allowed);
  for (unsigned i : {0u, 1u, 3u, 4u, 5u, 6u}) a->allowed[i] = 1;  // 6: no letter, skipped
  const auto body = encode(h);
  auto n = nodes(body, slot_of(T::INVITE, H::ALLOW));
  std::string letters;
  for (const u8* p : n) letters += static_cast<char>(p[2]);
  EXPECT_EQ(letters, "ADBCE");

  ssc_handle* back = handle(T::INVITE);
  std::vector<u8> copy = body;
  ASSERT_EQ(ssc_decode_from_sip(back, copy.data(), static_cast<u16>(copy.size()), nullptr), SSC_RC_OK);
  auto* b = Ssc_first<ssc_hdr_allow>(back, H::ALLOW);
  ASSERT_NE(b, nullptr);
  for (unsigned i : {0u, 1u, 3u, 4u, 5u}) EXPECT_EQ(b->allowed[i], 1) << i;
  EXPECT_NE(b->allowed[2], 1);
  EXPECT_NE(b->allowed[6], 1);
  // An element whose letter is 0xFF sets nothing.
  const_cast<u8*>(nodes(copy, slot_of(T::INVITE, H::ALLOW))[0])[2] = 0xFF;
  ssc_handle* third = handle(T::INVITE);
  ASSERT_EQ(ssc_decode_from_sip(third, copy.data(), static_cast<u16>(copy.size()), nullptr), SSC_RC_OK);
  EXPECT_NE(Ssc_first<ssc_hdr_allow>(third, H::ALLOW)->allowed[0], 1);
}

TEST_F(SscRecordCodec, AddressesRequestUriAndMethodParameter) {
  ssc_handle* h = handle(T::INVITE);
  h->addr_family = '4';
  h->addr_port = 5062;
  const u8 dest[4] = {127, 0, 0, 1};
  std::memcpy(h->addr_v4, dest, 4);
  auto* ru = add<ssc_hdr_request_uri>(h, H::REQUEST_URI);
  ru->uri.scheme = 0;
  ru->uri.host_family = 'N';
  ru->uri.host_name = "example.org";
  ru->params = "x=1";
  auto* r1 = add<ssc_hdr_route>(h, H::ROUTE);
  r1->uri.host_family = '4';
  const u8 a4[4] = {10, 1, 2, 3};
  std::memcpy(r1->uri.host_v4, a4, 4);
  r1->uri.uri_text_3 = "pw";
  r1->uri.host_name = "h";
  r1->uri.uri_byte_2 = 255;  // above 254: written as 0
  auto* r2 = add<ssc_hdr_route>(h, H::ROUTE);
  r2->uri.host_family = 'N';
  r2->uri.host_name = "second";
  auto* rr = add<ssc_hdr_route>(h, H::RECORD_ROUTE);
  rr->uri.uri_byte_1 = 1;  // BYE
  rr->uri.host_family = 'N';
  rr->uri.host_name = "rr";
  auto* r3 = add<ssc_hdr_route>(h, H::ROUTE_2);
  r3->uri.host_family = 'N';
  r3->uri.host_name = "third";
  auto* ex = add<ssc_hdr_u32>(h, H::EXPIRES);
  ex->value = 3600;
  auto* via = add<ssc_hdr_via>(h, H::VIA);
  via->s2 = "2.0";
  auto* via2 = add<ssc_hdr_via>(h, H::VIA);
  via2->s2 = "2.0-long";
  h->transaction_number = 0x1234;

  const auto body = encode(h);
  auto rn = nodes(body, slot_of(T::INVITE, H::REQUEST_URI));
  ASSERT_EQ(rn.size(), 1u);
  EXPECT_EQ(w16(rn[0], 6), 5062);
  EXPECT_EQ(w16(rn[0], 40), 4);
  const std::vector<unsigned> rl_slots = {12, 14, 16, 18, 20, 22, 24, 26, 28, 30, 32, 34, 36, 38, 40, 42};
  EXPECT_EQ(var(rn[0], 44, 40, rl_slots), std::string("\x7f\0\0\x01", 4));
  EXPECT_EQ(var(rn[0], 44, 38, rl_slots), std::string("x=1", 4));

  auto route = nodes(body, slot_of(T::INVITE, H::ROUTE));
  ASSERT_EQ(route.size(), 3u);
  EXPECT_EQ(w16(route[0], 32), 4);
  EXPECT_EQ(route[0][12], 0);
  EXPECT_EQ(r1->uri.uri_byte_2, 0);
  const std::vector<unsigned> blk = {14, 16, 18, 20, 22, 24, 26, 28, 30, 32, 34, 36, 38, 40, 42, 44, 48};
  EXPECT_EQ(var(route[0], 50, 32, blk), std::string("\x0a\x01\x02\x03", 4));
  EXPECT_EQ(var(route[0], 50, 30, blk), std::string("pw", 3));
  EXPECT_EQ(w16(route[1], 32), 0);
  EXPECT_EQ(var(route[2], 50, 34, blk), std::string("third", 6));
  auto rrn = nodes(body, slot_of(T::INVITE, H::RECORD_ROUTE));
  ASSERT_EQ(rrn.size(), 1u);
  EXPECT_EQ(rrn[0][11], 'D');
  auto e = nodes(body, slot_of(T::INVITE, H::EXPIRES));
  ASSERT_EQ(e.size(), 1u);
  EXPECT_EQ(w32(e[0], 4), 3600u);
  EXPECT_EQ(e[1 - 1] + 8 <= body.data() + body.size(), true);
  auto v = nodes(body, slot_of(T::INVITE, H::VIA));
  ASSERT_EQ(v.size(), 2u);
  EXPECT_EQ(w16(v[0], 2), 0x1234);
  EXPECT_EQ(w16(v[1], 2), 0);
  EXPECT_EQ(w16(v[0], 16), 4);
  EXPECT_EQ(w16(v[1], 16), 7);  // cut to 6 characters and the NUL

  // Back into a handle.
  ssc_handle* back = handle(T::INVITE);
  std::vector<u8> copy = body;
  ASSERT_EQ(ssc_decode_from_sip(back, copy.data(), static_cast<u16>(copy.size()), nullptr), SSC_RC_OK);
  EXPECT_EQ(list_length(back, H::ROUTE), 3);
  EXPECT_EQ(list_length(back, H::ROUTE_2), 0);
  auto* b1 = Ssc_first<ssc_hdr_route>(back, H::ROUTE);
  EXPECT_EQ(b1->uri.host_family, '4');
  EXPECT_EQ(0, std::memcmp(b1->uri.host_v4, a4, 4));
  EXPECT_EQ(b1->next->uri.host_family, 'N');
  EXPECT_STREQ(b1->next->next->uri.host_name, "third");
  EXPECT_EQ(Ssc_first<ssc_hdr_route>(back, H::RECORD_ROUTE)->uri.uri_byte_1, 1);
  auto* bru = Ssc_first<ssc_hdr_request_uri>(back, H::REQUEST_URI);
  EXPECT_EQ(bru->uri.scheme, 'A');
  EXPECT_STREQ(bru->params, "x=1");
  EXPECT_EQ(back->addr_family, '4');
  EXPECT_EQ(0, std::memcmp(back->addr_v4, dest, 4));
  EXPECT_EQ(back->transaction_number, 0x1234);
  EXPECT_STREQ(Ssc_first<ssc_hdr_via>(back, H::VIA)->next->s2, "2.0-lo");
  // Texts are copies in the handle, not pointers into the body.
  std::memset(copy.data(), 0, copy.size());
  EXPECT_STREQ(b1->next->uri.host_name, "second");
}

TEST_F(SscRecordCodec, RequestUriWithoutAddressAndPMediaAuthorization) {
  ssc_handle* h = handle(T::INVITE);
  h->addr_family = 0xFF;
  add<ssc_hdr_request_uri>(h, H::REQUEST_URI)->uri.host_name = "x";
  add<ssc_hdr_none>(h, H::P_MEDIA_AUTHORIZATION);
  const auto body = encode(h);
  auto rn = nodes(body, slot_of(T::INVITE, H::REQUEST_URI));
  ASSERT_EQ(rn.size(), 1u);
  EXPECT_EQ(w16(rn[0], 6), 0xFFFF);
  EXPECT_EQ(w16(rn[0], 40), 0);
  EXPECT_TRUE(nodes(body, slot_of(T::INVITE, H::P_MEDIA_AUTHORIZATION)).empty());
}

// P-Media-Authorization has no element form: nothing is sent for it, and
// each received element adds an instance as its init left it.
TEST_F(SscRecordCodec, PMediaAuthorizationReceivedAsInstances) {
  ssc_handle* h = handle(T::INVITE);
  add<ssc_hdr_call_id>(h, H::CALL_ID)->local = "x";
  const auto good = encode(h);
  const u16 slot = slot_of(T::INVITE, H::P_MEDIA_AUTHORIZATION);
  std::vector<u8> b(good.size() + 2 * 48 + 2, 0);
  std::memcpy(b.data(), good.data(), good.size());
  const u16 first = static_cast<u16>((good.size() + 1) & ~1u);
  put_host16(&b[slot], first);
  put_host16(&b[first], static_cast<u16>(first + 48));
  b.resize(first + 96);
  ssc_handle* back = handle(T::INVITE);
  ASSERT_EQ(ssc_decode_from_sip(back, b.data(), static_cast<u16>(b.size()), nullptr), SSC_RC_OK);
  EXPECT_EQ(list_length(back, H::P_MEDIA_AUTHORIZATION), 2);
  EXPECT_STREQ(Ssc_first<ssc_hdr_call_id>(back, H::CALL_ID)->local, "x");
}

// The ACK of a 2xx repeats the INVITE's credentials and disposition.
TEST_F(SscRecordCodec, AckCarriesCredentialsAndDisposition) {
  ssc_handle* h = handle(T::ACK);
  add<ssc_hdr_credentials>(h, H::PROXY_AUTHORIZATION)->s[0] = "user";
  add<ssc_hdr_disposition>(h, H::CONTENT_DISPOSITION)->s1 = "session";
  add<ssc_hdr_status>(h, H::RETURN_CODE)->code = 200;
  const auto body = encode(h);
  EXPECT_EQ(nodes(body, slot_of(T::ACK, H::PROXY_AUTHORIZATION)).size(), 1u);
  EXPECT_EQ(nodes(body, slot_of(T::ACK, H::CONTENT_DISPOSITION)).size(), 1u);
  ssc_handle* back = handle(T::ACK);
  std::vector<u8> copy = body;
  ASSERT_EQ(ssc_decode_from_sip(back, copy.data(), static_cast<u16>(copy.size()), nullptr), SSC_RC_OK);
  EXPECT_STREQ(Ssc_first<ssc_hdr_credentials>(back, H::PROXY_AUTHORIZATION)->s[0], "user");
  EXPECT_STREQ(Ssc_first<ssc_hdr_disposition>(back, H::CONTENT_DISPOSITION)->s1, "session");
}

// Identifiers are refused over their bound, never cut; the header is named.
TEST_F(SscRecordCodec, IdentifierOverBoundRefused) {
  const std::string id65(65, 'c');
  const struct {
    H id;
    unsigned field;
  } cases[] = {{H::CALL_ID, 0}, {H::FROM, 1}, {H::VIA, 2}, {H::AUTHORIZATION, 3}, {H::ROUTE, 4}};
  for (const auto& c : cases) {
    ssc_handle* h = handle(T::INVITE);
    switch (c.field) {
      case 0: add<ssc_hdr_call_id>(h, H::CALL_ID)->local = id65.c_str(); break;
      case 1: add<ssc_hdr_name_addr>(h, H::FROM)->s3 = id65.c_str(); break;
      case 2: add<ssc_hdr_via>(h, H::VIA)->s7 = id65.c_str(); break;
      case 3: add<ssc_hdr_credentials>(h, H::AUTHORIZATION)->s[2] = id65.c_str(); break;
      case 4: add<ssc_hdr_route>(h, H::ROUTE)->uri.user = id65.c_str(); break;
    }
    ssc_rc_fail f;
    encode(h, SSC_RC_TOO_LONG, &f);
    EXPECT_EQ(f.id, c.id) << int(ssc_idx(c.id));
  }
  // 64 characters fit.
  ssc_handle* h = handle(T::INVITE);
  const std::string id64(64, 'c');
  add<ssc_hdr_call_id>(h, H::CALL_ID)->local = id64.c_str();
  encode(h);
}

TEST_F(SscRecordCodec, T38LinesWithoutNulAndSdpAddressFamily) {
  ssc_handle* h = handle(T::INVITE);
  auto* t = add<ssc_hdr_sdp_t38>(h, H::T38_CNCT_DESCR);
  t->kind = 'I';
  t->format = '8';
  t->port = 4000;
  t->family = 'N';
  t->host_name = "fax.example";
  t->extra = "a=x-foo:1\r\n";
  t->max_bit_rate = 14400;
  auto* s = add<ssc_hdr_sdp_session>(h, H::SDP_MAIN_BODY);
  s->family = 0xFF;
  const auto body = encode(h);
  auto n = nodes(body, slot_of(T::INVITE, H::T38_CNCT_DESCR));
  ASSERT_EQ(n.size(), 1u);
  EXPECT_EQ(w16(n[0], 40), 11);
  EXPECT_EQ(var(n[0], 42, 40, {34, 36, 38, 40}), "a=x-foo:1\r\n");
  ssc_handle* back = handle(T::INVITE);
  std::vector<u8> copy = body;
  ASSERT_EQ(ssc_decode_from_sip(back, copy.data(), static_cast<u16>(copy.size()), nullptr), SSC_RC_OK);
  auto* bt = Ssc_first<ssc_hdr_sdp_t38>(back, H::T38_CNCT_DESCR);
  EXPECT_STREQ(bt->extra, "a=x-foo:1\r\n");
  EXPECT_EQ(bt->family, 'N');
  EXPECT_EQ(bt->max_bit_rate, 14400u);
  EXPECT_EQ(Ssc_first<ssc_hdr_sdp_session>(back, H::SDP_MAIN_BODY)->family, 0xFF);
}

// Hostile bodies: every refusal names a number, nothing is read past the body.
TEST_F(SscRecordCodec, HostileBodiesRefused) {
  ssc_handle* h = handle(T::INVITE_RS);
  add<ssc_hdr_status>(h, H::RETURN_CODE)->reason = "OK";
  add<ssc_hdr_call_id>(h, H::CALL_ID)->local = "abc";
  const auto good = encode(h);
  const u16 st = slot_of(T::INVITE_RS, H::RETURN_CODE);
  const u16 ci = slot_of(T::INVITE_RS, H::CALL_ID);
  struct Case {
    const char* what;
    void (*spoil)(std::vector<u8>&, u16 st, u16 ci);
    u8 expect;
  };
  const Case cases[] = {
      {"short index", [](std::vector<u8>& b, u16, u16) { b.resize(8); }, SSC_RC_MALFORMED},
      {"slot past end", [](std::vector<u8>& b, u16 s, u16) { put_host16(&b[s], static_cast<u16>(b.size())); },
       SSC_RC_MALFORMED},
      {"text without NUL", [](std::vector<u8>& b, u16 s, u16) { b[get_host16(&b[s]) + 6 + 2] = 'X'; },
       SSC_RC_MALFORMED},
      {"length past end", [](std::vector<u8>& b, u16 s, u16) { put_host16(&b[get_host16(&b[s]) + 4], 0xFFF0); },
       SSC_RC_MALFORMED},
      {"link backwards", [](std::vector<u8>& b, u16 s, u16) { put_host16(&b[get_host16(&b[s])], 2); },
       SSC_RC_MALFORMED},
  };
  for (const Case& c : cases) {
    std::vector<u8> b = good;
    c.spoil(b, st, ci);
    ssc_handle* back = handle(T::INVITE_RS);
    ssc_rc_fail f;
    EXPECT_EQ(ssc_decode_from_sip(back, b.data(), static_cast<u16>(b.size()), &f), c.expect) << c.what;
  }
  // An over-long Call-ID from the SIP side is refused; a long reason is cut.
  ssc_handle* h2 = handle(T::INVITE_RS);
  const std::string r100(100, 'r');
  add<ssc_hdr_status>(h2, H::RETURN_CODE)->reason = r100.c_str();
  const auto cut = encode(h2);
  ssc_handle* back = handle(T::INVITE_RS);
  std::vector<u8> c2 = cut;
  ASSERT_EQ(ssc_decode_from_sip(back, c2.data(), static_cast<u16>(c2.size()), nullptr), SSC_RC_OK);
  EXPECT_EQ(std::strlen(Ssc_first<ssc_hdr_status>(back, H::RETURN_CODE)->reason), 64u);
  // A Call-ID element written by the SIP side with 70 characters.
  std::vector<u8> b(good.size() + 80, 0);
  std::memcpy(b.data(), good.data(), good.size());
  const u16 node = static_cast<u16>((good.size() + 1) & ~1u);
  put_host16(&b[ci], node);
  put_host16(&b[node + 2], 71);
  std::memset(&b[node + 8], 'x', 70);
  b.resize(node + 8 + 71);
  ssc_handle* back2 = handle(T::INVITE_RS);
  ssc_rc_fail f;
  EXPECT_EQ(ssc_decode_from_sip(back2, b.data(), static_cast<u16>(b.size()), &f), SSC_RC_TOO_LONG);
  EXPECT_EQ(f.id, H::CALL_ID);
}

// A handle that runs out of room says so; it does not return half a message
// as a success.  A body element larger than a handle block cannot be kept.
TEST_F(SscRecordCodec, HandleWithoutRoomFails) {
  ssc_handle* h = handle(T::INVITE_RS);
  add<ssc_hdr_status>(h, H::RETURN_CODE)->code = 200;
  const auto good = encode(h);
  const u16 bs = slot_of(T::INVITE_RS, H::BODY);
  std::vector<u8> b(good.size() + 6 + 2000, 0);
  std::memcpy(b.data(), good.data(), good.size());
  const u16 node = static_cast<u16>((good.size() + 1) & ~1u);
  put_host16(&b[bs], node);
  b[node + 2] = 0xFF;
  put_host16(&b[node + 4], 2000);
  b.resize(node + 6 + 2000);
  ssc_handle* back = handle(T::INVITE_RS);
  ssc_rc_fail f;
  EXPECT_EQ(ssc_decode_from_sip(back, b.data(), static_cast<u16>(b.size()), &f), SSC_RC_HANDLE_FULL);
  EXPECT_EQ(f.id, H::BODY);
}

// The SIP side's decoders read what the record codec writes.
TEST_F(SscRecordCodec, SipSideDecodesOurInvite) {
  ssc_handle* h = handle(T::INVITE);
  auto* ru = add<ssc_hdr_request_uri>(h, H::REQUEST_URI);
  ru->uri.scheme = 1;
  ru->uri.user = "fax";
  ru->uri.host_family = 'N';
  ru->uri.host_name = "peer.example";
  ru->uri.port = 0xFFFF;
  auto* ci = add<ssc_hdr_call_id>(h, H::CALL_ID);
  ci->local = "abc123";
  ci->family = 'N';
  ci->host = "host.example";
  for (H id : {H::FROM, H::TO}) {
    auto* n = add<ssc_hdr_name_addr>(h, id);
    n->uri.scheme = 1;
    n->uri.user = "u";
    n->uri.host_family = 'N';
    n->uri.host_name = "d.example";
    n->uri.port = 0xFFFF;
    n->b1 = 0;
    if (id == H::FROM) n->s3 = "tag1";
  }
  auto* c = add<ssc_hdr_contact>(h, H::CONTACT);
  c->uri.scheme = 1;
  c->uri.host_family = '4';
  const u8 a[4] = {127, 0, 0, 1};
  std::memcpy(c->uri.host_v4, a, 4);
  c->uri.port = 5060;
  c->b1 = 0;
  auto* v = add<ssc_hdr_via>(h, H::VIA);
  v->protocol = 1;
  v->transport = 'U';
  v->family1 = '4';
  std::memcpy(v->v4_1, a, 4);
  v->port = 5060;
  v->w2 = 0xFFFF;
  v->b3 = 0xFF;
  auto body = encode(h);
  sip_header_id failed_id{};
  const sip_kind_hdr_table* t = sip_kind__table(sip_msg_kind::invite_rq);
  const std::uint16_t r = sip_prim__decode_body(body.data(), static_cast<std::uint16_t>(body.size()), *t, &failed_id);
  ASSERT_EQ(r, SIP_ELEM_OK) << "SIP header " << int(static_cast<unsigned>(failed_id));
  EXPECT_EQ(std::string(sip_hdr_area.call_id.word.ptr), "abc123");
  EXPECT_EQ(std::string(sip_hdr_area.from.tag.ptr), "tag1");
  EXPECT_EQ(std::string(sip_hdr_area.request_line.host.ptr), "peer.example");

  // An IPv6 destination is refused by the SIP side (18), nothing to send.
  h->addr_family = '6';
  body = encode(h);
  EXPECT_EQ(sip_prim__decode_body(body.data(), static_cast<std::uint16_t>(body.size()), *t, &failed_id), 18);
  EXPECT_EQ(failed_id, static_cast<sip_header_id>(1));
}

}  // namespace
