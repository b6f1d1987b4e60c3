// A fax sent through tessaly over a call offered audio and T.38 at once: in
// the operating mode "Send re-invite" the INVITE offers a PCMA line, a PCMU
// line and a T.38 line; sipp accepts PCMA and rejects T.38 (port 0), and
// after the re-INVITE delay tessaly re-INVITEs with both audio lines at
// port 0 and T.38 on its own line again; sipp answers line for line with the
// spandsp terminal's port and the three pages go over UDPTL.  One
// case per program: tessaly runs once in a process.
#include "host/support/sip_audio_road.h"

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

namespace sip_road {
namespace {

// Ports of this program: 44320-44339.
constexpr uint16_t kSip = 44320, kGateway = 44321, kMedia = 44330;

using lines = std::vector<std::string>;

// tessaly's media lines: audio on the port after the first, UDPTL on the one after that.
const std::string kAudio = "audio " + std::to_string(kMedia + 1);
const std::string kImage = "image " + std::to_string(kMedia + 2) + " udptl t38";

TEST_F(SipAudioRoadTest, SendsThreePagesAfterT38RejectedThenOurReInvite) {
  SendThreePages({"Send re-invite",
                  500,
                  "uas-audio-t38-rejected.xml",
                  "send, audio + T.38 offer then our re-INVITE",
                  {kSip, kGateway, kMedia}});
  if (HasFatalFailure()) return;
  const lines invites = received_messages(trace_, "INVITE ");
  ASSERT_EQ(invites.size(), 2u) << trace_;
  EXPECT_EQ(media_lines(invites[0]), (lines{kAudio + " RTP/AVP 8", kAudio + " RTP/AVP 0", kImage})) << invites[0];
  EXPECT_EQ(media_lines(invites[1]), (lines{"audio 0 RTP/AVP 8", "audio 0 RTP/AVP 0", kImage})) << invites[1];
  EXPECT_GE(origin_version(invites[0]), 0);
  EXPECT_EQ(origin_version(invites[1]), origin_version(invites[0]) + 1) << invites[1];
  // The re-INVITE waits "SIP delay" after our ACK of the audio answer.
  const double wait = time_of(trace_, true, "INVITE ", "CSeq: 2 INVITE") - time_of(trace_, true, "ACK ", "CSeq: 1 ACK");
  EXPECT_GE(wait, 0.45);
  EXPECT_LT(wait, 3.0);
}

}  // namespace
}  // namespace sip_road

#endif
