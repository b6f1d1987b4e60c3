// A CANCEL that crosses tessaly's answer, through the whole of tessaly: sipp
// calls with a T.38 offer, the scripted controller takes the ring at once
// (tessaly answers 100, 180 and 200), sipp CANCELs once the 200 is on its
// way.  tessaly answers the CANCEL 200, the INVITE keeps its 200; sipp ACKs
// and ends the call with BYE.  The channel is then free: the next call rings
// it and is cancelled before the answer (200 to the CANCEL, 487 to the
// INVITE), and tessaly stops with no call left.  One case per program:
// tessaly runs once in a process.
#include "host/support/sip_road.h"

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

#include <string>

#include "common/status_words.h"

namespace sip_road {
namespace {

// Ports of this program: 15560-15599.
constexpr uint16_t kSip = 15560, kGateway = 15561, kMedia = 15580;

int Count(const std::string& text, const std::string& what) {
  int n = 0;
  for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
  return n;
}

TEST_F(SipRoadTest, CancelCrossingTheAnswerIsAnsweredAndTheChannelTakesTheNextCall) {
  MakeArea(kSip, kGateway, kMedia);
  StartTessaly(true);
  if (HasFatalFailure()) return;
  const std::initializer_list<uint16_t> ends = {FAX_STATUS_FAX_RECEIVED, FAX_STATUS_FAX_NOT_RECEIVED,
                                                FAX_STATUS_SESSION_LOST};
  {
    sipp_process sipp(peer_dir_.path(), Scenario("uac-t38-cancel-after-answer.xml"), kGateway, kSip,
                      {{"did", "0000001"}});
    std::optional<tessaly_test::Reply> r = NextOf({}, 10000);
    ASSERT_TRUE(r && r->type == TESSALY_RING_IN) << "no ring";
    ASSERT_EQ(controller_->Receive(1), STATUS_OK);
    // sipp checks the 200 to its CANCEL (CSeq "1 CANCEL") and to its BYE.
    EXPECT_EQ(sipp.wait(20000), 0) << sipp.errors() << sipp.messages();
    const std::string trace = sipp.messages();
    EXPECT_EQ(trace.find("SIP/2.0 487"), std::string::npos) << "the INVITE was answered already";
    bool bye_answered = false;
    for (const std::string& m : received_messages(trace, "SIP/2.0 200"))
      bye_answered = bye_answered || m.find("CSeq: 2 BYE") != std::string::npos;
    EXPECT_TRUE(bye_answered) << "the BYE is answered 200";
    // The controller hears that the call is over.
    r = NextOf(ends, 10000);
    ASSERT_TRUE(r.has_value()) << "the controller never heard the call end\n" << Log();
  }
  {
    // The same channel takes the next call, given up before the answer.
    sipp_process sipp(peer_dir_.path(), Scenario("uac-t38-cancelled.xml"), kGateway, kSip, {{"did", "0000001"}});
    std::optional<tessaly_test::Reply> r = NextOf({}, 10000);
    ASSERT_TRUE(r && r->type == TESSALY_RING_IN) << "no ring for the next call\n" << Log();
    EXPECT_EQ(sipp.wait(20000), 0) << sipp.errors() << sipp.messages();
    r = NextOf(ends, 5000);
    ASSERT_TRUE(r.has_value()) << "the controller never heard the next call end\n" << Log();
    EXPECT_EQ(r->status.kind, FAX_STATUS_FAX_NOT_RECEIVED);
    EXPECT_EQ(r->status.value, STATUS_FAX_NOT_ANSWERED);
  }
  EXPECT_TRUE(StopTessaly());
  const std::string traces = Traces();
  EXPECT_EQ(Count(traces, "SSC Evt: Receive SSC_CALL_CLOSED_IN"), 2) << traces;
}

}  // namespace
}  // namespace sip_road

#endif
