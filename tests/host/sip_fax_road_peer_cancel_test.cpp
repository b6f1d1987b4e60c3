// A call given up by the caller before tessaly answers, through the whole of
// tessaly: sipp calls with a T.38 offer, the scripted controller hears the
// ring and holds its answer, sipp CANCELs; tessaly answers the CANCEL 200
// and the INVITE 487, takes the ACK, the controller hears the call end, and
// tessaly stops cleanly.  One case per program: tessaly runs once in a
// process.
#include "host/support/sip_road.h"

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

#include <chrono>
#include <string>

#include "common/status_words.h"

namespace sip_road {
namespace {

// Ports of this program: 15520-15559.
constexpr uint16_t kSip = 15520, kGateway = 15521, kMedia = 15540;

TEST_F(SipRoadTest, CallerCancelsBeforeTheAnswer) {
  MakeArea(kSip, kGateway, kMedia);
  StartTessaly(true);
  if (HasFatalFailure()) return;

  sipp_process sipp(peer_dir_.path(), Scenario("uac-t38-cancelled.xml"), kGateway, kSip, {{"did", "0000001"}});
  std::optional<tessaly_test::Reply> r = NextOf({}, 10000);
  ASSERT_TRUE(r && r->type == TESSALY_RING_IN) << "no ring";
  EXPECT_STREQ(r->ring.called, "0000001");
  // The controller holds its answer; sipp gives up: its CANCEL is answered
  // 200 and its INVITE 487 (the scenario checks both), and it ACKs.
  EXPECT_EQ(sipp.wait(20000), 0) << sipp.errors() << sipp.messages();
  // The controller hears that the call is gone, once.
  r = NextOf({FAX_STATUS_FAX_RECEIVED, FAX_STATUS_FAX_NOT_RECEIVED, FAX_STATUS_SESSION_LOST}, 5000);
  ASSERT_TRUE(r.has_value()) << "the controller never heard the call end\n" << Log();
  EXPECT_EQ(r->status.kind, FAX_STATUS_FAX_NOT_RECEIVED);
  EXPECT_EQ(r->status.value, STATUS_FAX_NOT_ANSWERED);
  // Its late answer finds no call waiting.
  ASSERT_EQ(controller_->Receive(1), STATUS_OK);
  r = NextOf({FAX_STATUS_REQUEST_DONE, FAX_STATUS_REQUEST_FAILED}, 5000);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->status.kind, FAX_STATUS_REQUEST_FAILED);
  EXPECT_FALSE(NextOf({}, 500).has_value()) << "nothing more for the controller";

  // tessaly's answers went out once each: 487 to the INVITE, 200 to the CANCEL.
  const std::string trace = sipp.messages();
  EXPECT_NE(trace.find("SIP/2.0 487"), std::string::npos);
  int oks = 0;
  for (std::size_t at = trace.find("SIP/2.0 200 OK"); at != std::string::npos;
       at = trace.find("SIP/2.0 200 OK", at + 1))
    ++oks;
  EXPECT_EQ(oks, 1) << "one 200, to the CANCEL";
  EXPECT_TRUE(StopTessaly());
  const std::string traces = Traces();
  EXPECT_NE(traces.find("SSC Evt: Receive SSC_CALL_CLOSED_IN"), std::string::npos) << traces;
}

}  // namespace
}  // namespace sip_road

#endif
