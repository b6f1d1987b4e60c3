// Parsed messages -> element encoders -> primitive body -> element decoders:
// the work area comes back equal, apart from the fields the decoders change
// by rule, which each row lists.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bench/sip_parse_corpus.h"
#include "runtime/om_os.h"
#include "runtime/support/rt_harness.h"
#include "tests/sip/codec/sip_prim_roundtrip.h"
#include "tests/sip/codec/sip_torture_fixture.h"

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
    {"insuf", 400, 0, 0, "", "no Call-ID"},
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
      {"telephone fields of a URI without user=phone are not carried", "From: <sip:+1234;isub=5@example.com>;tag=1", ""},
      {"other parameters outside their class are dropped", "From: <sip:a@example.com>;tag=1;x=\"\xC3\xA9\"", "23[0]@34"},
  };
  for (const auto& k : cases) {
    SCOPED_TRACE(k.what);
    const std::string text = crlf("OPTIONS sip:b@example.com SIP/2.0\n"
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
