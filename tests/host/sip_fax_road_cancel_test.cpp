// A send given up while the callee rings, through the whole of tessaly: the
// scripted controller asks for a send, sipp answers tessaly's INVITE with 100
// and 180 and never 200, the controller aborts the job; tessaly CANCELs the
// INVITE (same branch and CSeq number), takes sipp's 200 and 487, ACKs the
// 487, answers the abort (once), and stops cleanly with no session left.  One case
// per program: tessaly runs once in a process.
#include "host/support/sip_road.h"

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

#include <chrono>
#include <sstream>
#include <string>
#include <vector>

#include "common/status_words.h"
#include "host/support/milestone_fixture.h"

namespace sip_road {
namespace {

// Ports of this program: 15480-15519.
constexpr uint16_t kSip = 15480, kGateway = 15481, kMedia = 15500;

// The first lines and CSeq/Via lines of the messages tessaly sent, as sipp
// logged them ("received" by sipp).
struct sent_message {
  std::string first_line, via, cseq;
};

std::vector<sent_message> ReceivedBySipp(const std::string& log) {
  std::vector<sent_message> out;
  std::istringstream in(log);
  bool header = false, first = false;
  for (std::string line; std::getline(in, line);) {
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (line.find("message received [") != std::string::npos) {
      out.emplace_back();
      header = first = true;
      continue;
    }
    if (!header) continue;
    if (first) {
      if (line.empty()) continue;  // sipp's blank line before the message
      out.back().first_line = line;
      first = false;
    } else if (line.empty()) {
      header = false;
    } else if (line.rfind("Via:", 0) == 0) {
      out.back().via = line.substr(line.find_first_not_of(' ', 4));
    } else if (line.rfind("CSeq:", 0) == 0) {
      out.back().cseq = line.substr(line.find_first_not_of(' ', 5));
    }
  }
  return out;
}

TEST_F(SipRoadTest, SendAbortedWhileRingingCancelsTheInvite) {
  MakeArea(kSip, kGateway, kMedia);
  WriteFaxTiff(PagesFile(), milestone::three_pages(5));
  sipp_process sipp(peer_dir_.path(), Scenario("uas-ring-cancelled.xml"), kGateway, 0, {});
  StartTessaly(false);
  if (HasFatalFailure()) return;

  ASSERT_TRUE(RequestDone(controller_->Send("0612345678")));
  // sipp rings: its 180 is in its log once it went out.
  const auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (std::chrono::steady_clock::now() < end && sipp.messages().find("180 Ringing") == std::string::npos)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_NE(sipp.messages().find("180 Ringing"), std::string::npos) << sipp.errors();
  std::this_thread::sleep_for(std::chrono::milliseconds(300));  // the 180 reaches tessaly

  ASSERT_EQ(controller_->Abort(), STATUS_OK);
  // The abort is answered once the call has ended, and nothing else ends
  // the job: done, with the abort's packet type as value.
  const std::initializer_list<uint16_t> finals = {FAX_STATUS_REQUEST_DONE,       FAX_STATUS_REQUEST_FAILED,
                                                  FAX_STATUS_FAX_SENT,           FOIP_STATUS_FAX_NOT_SENT,
                                                  FOIP_STATUS_FAX_NOT_CONNECTED, FAX_STATUS_SESSION_LOST};
  std::optional<tessaly_test::Reply> r = NextOf(finals, 15000);
  ASSERT_TRUE(r.has_value()) << "no answer to the abort\n" << Log();
  EXPECT_EQ(r->status.kind, FAX_STATUS_REQUEST_DONE) << "value " << r->status.value;
  EXPECT_EQ(r->status.value, RST_TESSALY_ABORT_FAX);
  r = NextOf(finals, 1000);
  EXPECT_FALSE(r.has_value()) << "a second final status: kind " << r->status.kind;
  EXPECT_EQ(sipp.wait(20000), 0) << sipp.errors() << sipp.messages();

  // On the wire: INVITE, CANCEL on the INVITE's branch and CSeq number, ACK
  // of the 487 on the same branch; no BYE.
  const std::vector<sent_message> sent = ReceivedBySipp(sipp.messages());
  const sent_message* invite = nullptr;
  const sent_message* cancel = nullptr;
  const sent_message* ack = nullptr;
  for (const sent_message& m : sent) {
    if (m.first_line.rfind("INVITE ", 0) == 0 && !invite) invite = &m;
    if (m.first_line.rfind("CANCEL ", 0) == 0 && !cancel) cancel = &m;
    if (m.first_line.rfind("ACK ", 0) == 0 && !ack) ack = &m;
    EXPECT_NE(m.first_line.rfind("BYE ", 0), 0u) << "no dialog to end";
  }
  ASSERT_TRUE(invite && cancel && ack) << sipp.messages();
  EXPECT_EQ(cancel->via, invite->via);
  EXPECT_EQ(ack->via, invite->via);
  const std::string number = invite->cseq.substr(0, invite->cseq.find(' '));
  EXPECT_EQ(invite->cseq, number + " INVITE");
  EXPECT_EQ(cancel->cseq, number + " CANCEL");
  EXPECT_EQ(ack->cseq, number + " ACK");

  // Nothing is left: the device has no session, tessaly stops cleanly.
  ASSERT_EQ(controller_->Abort(), STATUS_OK);
  r = NextOf({FAX_STATUS_REQUEST_DONE, FAX_STATUS_REQUEST_FAILED}, 5000);
  ASSERT_TRUE(r.has_value());
  EXPECT_EQ(r->status.kind, FAX_STATUS_REQUEST_FAILED) << "a second abort finds no session";
  EXPECT_TRUE(StopTessaly());
  // ENT_SSC closed the call and the session went idle.
  const std::string traces = Traces();
  EXPECT_NE(traces.find("SSC Evt: Receive SSC_CALL_CLOSED_IN"), std::string::npos) << traces;
  EXPECT_NE(traces.find("] idle"), std::string::npos) << traces;
}

}  // namespace
}  // namespace sip_road

#endif
