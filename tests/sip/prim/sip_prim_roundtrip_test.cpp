// Parsed messages -> element encoders -> primitive body -> element decoders:
// the work area comes back equal, apart from the fields the decoders change
// by rule, which each row lists.
//
// Only the fields an element carries are compared.  Not carried, so not
// compared: the URI headers, method and lr parameters of the Request-URI;
// the URI transport, ttl, method, lr, maddr, headers and parameters of From,
// To and Reply-To, and the tag and URI text of Reply-To; the handling text
// of the dispositions, the screen text of Diversion and the parameters of
// Warning (the work area has no place for them); Via's sent-by text; CSeq
// (in no kind table); the position of an rtpmap among the media lines and
// the subnet, bearer, framing and dial attributes of other media lines.
// Changed by rule on the way down: a quoted text gets its escapes back,
// other-parameter texts outside their class are dropped, the telephone
// fields of a URI without user=phone are emptied, a request's Via without a
// branch gets one.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bench/sip_parse_corpus.h"
#include "common/byte_order.h"
#include "runtime/om_os.h"
#include "runtime/support/rt_harness.h"
#include "tests/sip/prim/sip_prim_roundtrip.h"
#include "tests/sip/text/sip_torture_fixture.h"

namespace {

const entity_table_row_t TABLE[] = {
    {ENT_SM, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

class SipPrimRoundTrip : public ::testing::Test {
 protected:
  void SetUp() override {
    rt_test::start_manual(TABLE);
    rt_test::pump();
  }
  void TearDown() override {
    sip_work__release();
    sip_parse_env = sip_parse_services{};
    sip_prim_env = sip_prim_services{};
    rt_test::stop();
  }
};

std::string joined(const std::vector<std::string>& v) {
  std::string s;
  for (const auto& x : v) s += (s.empty() ? "" : " ") + x;
  return s;
}

}  // namespace

namespace {

struct Expect {
  const char* name;
  std::uint16_t built;
  std::uint16_t decoded;
  unsigned failed_id;
  const char* diffs;  // fields changed by rule, "<id>[<instance>]@<offset>"
  const char* why;
};

// Every valid torture message that has a primitive kind.  Rows that do not
// come back whole say why.
const Expect torture_expect[] = {
    {"wsinv", 2, 19, 59, "", "a request's Via branch without the z9hG4bK cookie is refused downwards"},
    {"esc01", 2, 2, 0, "", nullptr},
    {"escnull", 2, 2, 0, "", nullptr},
    {"lwsdisp", 2, 2, 0, "", nullptr},
    {"longreq", 400, 0, 0, "", "the parser dropped the over-long Call-ID, which an INVITE needs"},
    {"dblreq", 2, 2, 0, "", nullptr},
    {"semiuri", 2, 2, 0, "", nullptr},
    {"transports", 2, 2, 0, "", nullptr},
    {"mpart01 body in an INVITE", 400, 0, 0, "", "no Call-ID"},
    {"unreason", 2, 2, 0, "", nullptr},
    {"noreason", 2, 2, 0, "", nullptr},
    {"badinv01", 400, 0, 0, "", "no Contact, which an INVITE needs"},
    {"scalar02", 2, 2, 0, "", nullptr},
    {"quotbal", 400, 0, 0, "", "the malformed To was dropped by the parser"},
    {"lwsstart", 2, 2, 0, "", nullptr},
    {"trws", 2, 2, 0, "", nullptr},
    {"baddate", 2, 2, 0, "", nullptr},
    {"regbadct", 2, 2, 0, "", nullptr},
    {"badaspec", 400, 0, 0, "", "the malformed To was dropped by the parser"},
    {"baddn", 400, 0, 0, "", "the malformed From was dropped by the parser"},
    {"insuf", 400, 0, 0, "", "no Call-ID, From or To: the mandatory-header check refuses it"},
    {"unksm", 2, 2, 0, "", nullptr},
    {"unksm2", 2, 2, 0, "", nullptr},
    {"zeromf", 2, 2, 0, "", nullptr},
    {"cparam01", 2, 2, 0, "", nullptr},
    {"regescrt", 2, 2, 0, "", nullptr},
};

sip_prim_rt::outcome run_text(const std::string& text, sip_msg_kind* kind, bool* parsed) {
  sip_parse_run run;
  sip_parse_text(run, text);
  *parsed = run.result == 4 && sip_prim_rt::kind_of_parsed(kind);
  if (!*parsed) return {};
  sip_prim_rt::sdp_loader sdp;
  (void)sdp.load();
  return sip_prim_rt::round_trip(*kind);
}

}  // namespace

TEST_F(SipPrimRoundTrip, Rfc4475MessagesComeBackWhole) {
  unsigned rows = 0;
  for (const auto& c : sip_torture::torture_cases()) {
    sip_msg_kind kind;
    bool parsed = false;
    const auto o = run_text(c.text, &kind, &parsed);
    if (!parsed) continue;
    SCOPED_TRACE(c.name);
    const Expect* e = nullptr;
    for (const auto& x : torture_expect)
      if (std::string(x.name) == c.name) e = &x;
    ASSERT_NE(e, nullptr) << "no expectation row";
    ++rows;
    EXPECT_EQ(o.built, e->built);
    EXPECT_EQ(o.decoded, e->decoded);
    EXPECT_EQ(o.failed_id, e->failed_id);
    EXPECT_EQ(joined(o.diffs), e->diffs);
    sip_work__release();
  }
  EXPECT_EQ(rows, std::size(torture_expect));
}

TEST_F(SipPrimRoundTrip, ParserBenchCorpusComesBackWhole) {
  for (const auto& text : sip_bench::corpus()) {
    sip_msg_kind kind;
    bool parsed = false;
    const auto o = run_text(text, &kind, &parsed);
    ASSERT_TRUE(parsed);
    SCOPED_TRACE(static_cast<char>(kind));
    EXPECT_EQ(o.built, 2);
    EXPECT_EQ(o.decoded, 2);
    EXPECT_EQ(joined(o.diffs), "");
    sip_work__release();
  }
}

// The checks of the comparison itself: fields the decoders rewrite by rule
// show up, one row each.
TEST_F(SipPrimRoundTrip, FieldsChangedByRuleAreReported) {
  struct Case {
    const char* what;
    std::string header;  // replaces the From line
    const char* diffs;
  } cases[] = {
      {"a display name with a quote comes back escaped", "From: \"a\\\"b\" <sip:a@example.com>;tag=1", "23[0]@22"},
      {"telephone fields of a URI without user=phone are not carried", "From: <sip:+1234;isub=5@example.com>;tag=1",
       ""},
      {"other parameters outside their class are dropped", "From: <sip:a@example.com>;tag=1;x=\"\xC3\xA9\"",
       "23[0]@34"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    const std::string text = crlf(
        "OPTIONS sip:b@example.com SIP/2.0\n"
        "Via: SIP/2.0/UDP 192.0.2.1;branch=z9hG4bK77\n" +
        k.header +
        "\n"
        "To: <sip:b@example.com>\n"
        "Call-ID: 1@192.0.2.1\n"
        "CSeq: 1 OPTIONS\n"
        "Content-Length: 0\n\n");
    sip_msg_kind kind;
    bool parsed = false;
    const auto o = run_text(text, &kind, &parsed);
    ASSERT_TRUE(parsed);
    EXPECT_EQ(o.decoded, 2);
    EXPECT_EQ(joined(o.diffs), k.diffs);
    sip_work__release();
  }
}

namespace {

// An INVITE offering audio and T.38 in an SDP body of exactly `size` bytes
// (padded with "a=" lines on the audio medium).
std::string offer(std::size_t size) {
  std::string sdp = crlf(
      "v=0\no=fax 2890844526 2890844526 IN IP4 192.0.2.10\ns=-\nc=IN IP4 192.0.2.10\nt=0 0\n"
      "m=audio 49170 RTP/AVP 0 8 101\na=rtpmap:0 PCMU/8000\na=rtpmap:8 PCMA/8000\n"
      "a=rtpmap:101 telephone-event/8000\na=fmtp:101 0-15\na=ptime:20\n");
  const std::string image = crlf(
      "m=image 49172 udptl t38\na=T38FaxVersion:0\na=T38MaxBitRate:14400\na=T38FaxFillBitRemoval\n"
      "a=T38FaxRateManagement:transferredTCF\na=T38FaxMaxBuffer:262\na=T38FaxMaxDatagram:176\n"
      "a=T38FaxUdpEC:t38UDPRedundancy\n");
  const std::size_t fixed = sdp.size() + image.size();
  std::size_t pad = size > fixed ? size - fixed : 0;
  while (pad > 0) {
    // One line "a=x:" + n characters + CR LF, at most 60 bytes.
    std::size_t line = pad > 60 ? 60 : pad;
    if (pad - line != 0 && pad - line < 8) line = pad - 8;
    if (line < 8) line = 8;
    sdp += "a=x:" + std::string(line - 6, 'p') + "\r\n";
    pad -= line;
  }
  sdp += image;
  return crlf(
             "INVITE sip:+4930123456@gw.example.net;user=phone SIP/2.0\n"
             "Via: SIP/2.0/UDP 192.0.2.10:5060;branch=z9hG4bK-3A7F-1;rport\n"
             "Max-Forwards: 70\n"
             "From: \"Fax Server\" <sip:fax@192.0.2.10>;tag=4F2A\n"
             "To: <sip:+4930123456@gw.example.net;user=phone>\n"
             "Call-ID: 5b1c2d3e4f@192.0.2.10\n"
             "CSeq: 1 INVITE\n"
             "Contact: <sip:fax@192.0.2.10:5060>\n"
             "Content-Type: application/sdp\n"
             "Content-Length: " +
             std::to_string(sdp.size()) + "\n\n") +
         sdp;
}

}  // namespace

// A body above the 512 bytes that one element was once limited to: what one
// element can hold goes both ways, in a chained body when it must.
TEST_F(SipPrimRoundTrip, LargeOfferPassesBothWays) {
  sip_parse_run run;
  sip_parse_text(run, offer(900));
  ASSERT_EQ(run.result, 4);
  ASSERT_EQ(sip_hdr_area.body[0].text.len, 898);  // the parser keeps the body without its last CR LF
  sip_prim_rt::sdp_loader sdp;
  ASSERT_TRUE(sdp.load());
  EXPECT_EQ(sip_hdr_area.count[64], 1);
  EXPECT_EQ(sip_hdr_area.count[83], 1);
  const auto o = sip_prim_rt::round_trip(sip_msg_kind::invite_rq);
  EXPECT_EQ(o.built, 2);
  EXPECT_EQ(o.decoded, 2);
  EXPECT_GE(o.buffers, 2u);  // the body and its SDP elements do not fit one buffer
  EXPECT_EQ(joined(o.diffs), "");
}

TEST_F(SipPrimRoundTrip, ValuesBeyondOneBufferGoOnInTheNext) {
  // A body element larger than one buffer's room continues over the next
  // buffers; the body reads back whole.
  const u32 room = om_os_get_buffer_room();
  for (std::size_t size :
       {std::size_t{room} - 40, std::size_t{room} + 100, std::size_t{2500}, std::size_t{2} * room + 1}) {
    SCOPED_TRACE(size);
    sip_parse_run run;
    sip_parse_text(run, offer(size));
    ASSERT_EQ(run.result, 4);
    sip_prim_rt::sdp_loader sdp;
    ASSERT_TRUE(sdp.load());
    const auto o = sip_prim_rt::round_trip(sip_msg_kind::invite_rq);
    EXPECT_EQ(o.built, 2);
    EXPECT_EQ(o.decoded, 2);
    EXPECT_GE(o.buffers, size > room ? 3u : 2u);
    EXPECT_EQ(joined(o.diffs), "");
  }

  // Without the buffers to carry it, the build is refused and every buffer
  // handed back.
  sip_parse_run run;
  sip_parse_text(run, offer(2500));
  ASSERT_EQ(run.result, 4);
  const int before = om_os_buffer_pool_stats().in_use - om_os_it_buffer_pool_stats().count;
  std::vector<buffer_t*> hoard;
  for (buffer_t* b; (b = Alloc_buffer()) != nullptr;) hoard.push_back(b);
  for (int i = 0; i < 3 && !hoard.empty(); ++i) {
    Free_buffer(hoard.back());
    hoard.pop_back();
  }
  const int spare = om_os_buffer_pool_stats().in_use - om_os_it_buffer_pool_stats().count;
  buffer_t* chain = nullptr;
  EXPECT_EQ(sip_prim__build_up(sip_kind_index_rq[1], 1, &chain), 3);
  EXPECT_EQ(chain, nullptr);
  EXPECT_EQ(om_os_buffer_pool_stats().in_use - om_os_it_buffer_pool_stats().count, spare);
  for (buffer_t* b : hoard) Free_buffer(b);
  EXPECT_EQ(om_os_buffer_pool_stats().in_use - om_os_it_buffer_pool_stats().count, before);

  // The largest header values the parser keeps: two 512-byte parameter
  // lists in one Contact still fit one element.
  const std::string params = ";p=" + std::string(505, 'v');
  sip_parse_text(run, crlf("INVITE sip:a@gw.example SIP/2.0\n"
                           "Via: SIP/2.0/UDP 192.0.2.10;branch=z9hG4bK1\n"
                           "From: <sip:fax@192.0.2.10>;tag=1\nTo: <sip:a@gw.example>\nCall-ID: 1@192.0.2.10\n"
                           "CSeq: 1 INVITE\n"
                           "Contact: <sip:fax@192.0.2.10" +
                           params + ">" + params + "\nContent-Length: 0\n\n"));
  ASSERT_EQ(run.result, 4);
  ASSERT_GT(sip_hdr_area.contact[0].na.params_other.len, 500);
  ASSERT_GT(sip_hdr_area.contact[0].na.addr.params_other.len, 500);
  const auto o = sip_prim_rt::round_trip(sip_msg_kind::invite_rq);
  EXPECT_EQ(o.built, 2);
  EXPECT_EQ(o.decoded, 2);
  EXPECT_EQ(joined(o.diffs), "");
}

// No buffer to build in: the build is refused, nothing is written.
TEST_F(SipPrimRoundTrip, NoBufferRefusesTheBuild) {
  sip_parse_run run;
  sip_parse_text(run, sip_bench::corpus()[3]);
  ASSERT_EQ(run.result, 4);
  std::vector<buffer_t*> hoard;
  for (buffer_t* b; (b = Alloc_buffer()) != nullptr;) hoard.push_back(b);
  buffer_t* chain = nullptr;
  EXPECT_EQ(sip_prim__build_up(sip_kind_index_rq[4], 1, &chain), 3);
  EXPECT_EQ(chain, nullptr);
  // One buffer: the index and the first nodes fit, the rest needs a second.
  Free_buffer(hoard.back());
  hoard.pop_back();
  EXPECT_EQ(sip_prim__build_up(sip_kind_index_rq[4], 1, &chain), 3);
  EXPECT_EQ(chain, nullptr);
  for (buffer_t* b : hoard) Free_buffer(b);
  EXPECT_EQ(sip_prim__build_up(sip_kind_index_rq[4], 1, &chain), 2);
  Free_buffer(chain);
}

// A mandatory header missing: reported with cause 26 and refused with 400,
// unless the configuration lets the primitive go without it.
TEST_F(SipPrimRoundTrip, MissingMandatoryHeader) {
  sip_parse_run run;
  sip_parse_text(run, crlf("OPTIONS sip:a@gw.example SIP/2.0\nVia: SIP/2.0/UDP 192.0.2.10;branch=z9hG4bK1\n"
                           "From: <sip:fax@192.0.2.10>;tag=1\nCall-ID: 1@192.0.2.10\nCSeq: 1 OPTIONS\n"
                           "Content-Length: 0\n\n"));
  ASSERT_EQ(run.result, 4);
  static std::vector<std::pair<unsigned, unsigned>> reports;
  reports.clear();
  sip_prim_env.report_error = [](std::uint16_t cause, std::uint8_t detail) { reports.emplace_back(cause, detail); };
  buffer_t* chain = nullptr;
  EXPECT_EQ(sip_prim__build_up(sip_kind_index_rq[3], 1, &chain), 400);
  EXPECT_EQ(chain, nullptr);
  EXPECT_EQ(reports, (std::vector<std::pair<unsigned, unsigned>>{{26, 56}}));
  sip_prim_env.allow_missing_mandatory = true;
  ASSERT_EQ(sip_prim__build_up(sip_kind_index_rq[3], 1, &chain), 2);
  const auto body = sip_prim_rt::flatten(chain);
  Free_buffer(chain);
  // The receiving side refuses it: To is mandatory.
  sip_header_id failed{};
  EXPECT_EQ(sip_prim__decode_body(body.data(), static_cast<std::uint16_t>(body.size()),
                                  *sip_kind__table(sip_msg_kind::options_rq), &failed),
            26);
  EXPECT_EQ(failed, sip_header_id::to);
  // A body shorter than its index, and a slot past the body's end.
  EXPECT_EQ(sip_prim__decode_body(body.data(), 10, *sip_kind__table(sip_msg_kind::options_rq), &failed), 21);
  std::vector<std::uint8_t> bad = body;
  put_host16(bad.data(), static_cast<std::uint16_t>(bad.size() + 2));
  EXPECT_EQ(sip_prim__decode_body(bad.data(), static_cast<std::uint16_t>(bad.size()),
                                  *sip_kind__table(sip_msg_kind::options_rq), &failed),
            21);
  EXPECT_EQ(failed, sip_header_id::request_line);
}
