// A fax sent through tessaly over a call that starts with audio: in the
// operating mode "Send re-invite (Audio Media)" the INVITE offers a PCMA and
// a PCMU line, sipp accepts PCMA, and after the re-INVITE delay tessaly
// re-INVITEs with T.38 in place of the first audio line and the second at
// port 0; sipp answers line for line with the spandsp terminal's port and
// the three pages go over UDPTL.  One case per program: tessaly
// runs once in a process.
#include "host/support/sip_audio_road.h"

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

namespace sip_road {
namespace {

// Ports of this program: 44300-44319.
constexpr uint16_t kSip = 44300, kGateway = 44301, kMedia = 44310;

using lines = std::vector<std::string>;

// tessaly's media lines: audio on the port after the first, UDPTL on the one after that.
const std::string kAudio = "audio " + std::to_string(kMedia + 1);
const std::string kImage = "image " + std::to_string(kMedia + 2) + " udptl t38";

TEST_F(SipAudioRoadTest, SendsThreePagesAfterAudioThenOurReInvite) {
  SendThreePages({"Send re-invite (Audio Media)",
                  500,
                  "uas-audio-then-t38.xml",
                  "send, audio offer then our re-INVITE",
                  {kSip, kGateway, kMedia}});
  if (HasFatalFailure()) return;
  const lines invites = received_messages(trace_, "INVITE ");
  ASSERT_EQ(invites.size(), 2u) << trace_;
  EXPECT_EQ(media_lines(invites[0]), (lines{kAudio + " RTP/AVP 8", kAudio + " RTP/AVP 0"})) << invites[0];
  EXPECT_EQ(media_lines(invites[1]), (lines{kImage, "audio 0 RTP/AVP 0"})) << invites[1];
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
