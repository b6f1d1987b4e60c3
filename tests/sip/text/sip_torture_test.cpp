// RFC 4475 torture messages, written out as fixtures: each valid one parses,
// each invalid one gets the answer its row names.  Where our answer differs
// from what RFC 4475 expects, the row says so.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "sip/text/sip_body.h"
#include "sip/text/sip_parse.h"
#include "tests/sip/text/sip_parse_fixture.h"
#include "tests/sip/text/sip_text_fixture.h"
#include "tests/sip/text/sip_torture_fixture.h"

namespace {

using namespace sip_torture;

TEST(SipTorture, Rfc4475Messages) {
  ASSERT_EQ(sdp150.size(), 150u);
  for (const auto& c : torture_cases()) {
    SCOPED_TRACE(c.name);
    sip_parse_run run;
    sip_parse_text(run, c.text);
    EXPECT_EQ(run.result, c.result);
    EXPECT_EQ(run.response(), c.response);
    if (c.check && (run.result == 4 || run.result == 3)) c.check();
    sip_work__release();
  }
  sip_parse_env = sip_parse_services{};
}

}  // namespace
