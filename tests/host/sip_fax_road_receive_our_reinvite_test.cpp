// A fax received through tessaly over a call that starts with audio, tessaly
// moving it to T.38: in the operating mode "Send re-invite (Audio Media)"
// sipp calls with an audio offer (PCMA, PCMU), tessaly answers PCMA and,
// after the re-INVITE delay, re-INVITEs with T.38 in place of the audio line
// (the one line of the dialog); sipp answers with the spandsp terminal's
// port and the terminal sends three pages.  One case per program: tessaly
// runs once in a process.
#include "host/support/sip_audio_road.h"

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

namespace sip_road {
namespace {

// Ports of this program: 15440-15479.
constexpr road_ports kPorts{15440, 15441, 15460};
const std::string kAudio = kPorts.audio();
const std::string kImage = kPorts.image();

TEST_F(SipAudioRoadTest, ReceivesThreePagesAfterAudioThenOurReInvite) {
  ReceiveThreePages({"Send re-invite (Audio Media)", 500, "uac-audio-then-our-reinvite.xml",
                     "receive, audio answer then our re-INVITE", kPorts});
  if (HasFatalFailure()) return;
  const lines answers = received_messages(trace_, "SIP/2.0 200");
  ASSERT_FALSE(answers.empty()) << trace_;
  const std::string& audio = answers[0];
  EXPECT_NE(audio.find("CSeq: 1 INVITE"), std::string::npos) << audio;
  EXPECT_EQ(media_lines(audio), (lines{kAudio + " RTP/AVP 8"})) << audio;
  const lines invites = received_messages(trace_, "INVITE ");
  ASSERT_EQ(invites.size(), 1u) << trace_;
  EXPECT_EQ(media_lines(invites[0]), (lines{kImage})) << invites[0];
  EXPECT_GE(origin_version(audio), 0);
  EXPECT_EQ(origin_version(invites[0]), origin_version(audio) + 1) << invites[0];
  // The re-INVITE of an incoming call waits "SIP delay" + 100 ms after our
  // audio answer.
  const double wait = time_of(trace_, true, "INVITE ") - time_of(trace_, true, "SIP/2.0 200", "CSeq: 1 INVITE");
  EXPECT_GE(wait, 0.55);
  EXPECT_LT(wait, 3.0);
}

}  // namespace
}  // namespace sip_road

#endif
