// A fax received through tessaly over a call that starts with audio, the
// caller moving it to T.38: in the operating mode "Wait re-invite" sipp
// calls with an audio offer (PCMA, PCMU), tessaly answers PCMA, sipp
// re-INVITEs with T.38 at the spandsp terminal's port, tessaly answers with
// its UDPTL port and the terminal sends three pages.  One case per program:
// tessaly runs once in a process.
#include "host/support/sip_audio_road.h"

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

namespace sip_road {
namespace {

// Ports of this program: 15400-15439.
constexpr road_ports kPorts{15400, 15401, 15420};
const std::string kAudio = kPorts.audio();
const std::string kImage = kPorts.image();

// The first of `messages` that holds `text`, or "".
std::string with(const lines& messages, const std::string& text) {
  for (const std::string& m : messages)
    if (m.find(text) != std::string::npos) return m;
  return {};
}

TEST_F(SipAudioRoadTest, ReceivesThreePagesAfterAudioThenThePeersReInvite) {
  // The wait for the caller's re-INVITE ends the call when it passes: long
  // enough for sipp's pause after its ACK.
  ReceiveThreePages(
      {"Wait re-invite", 2000, "uac-audio-then-t38.xml", "receive, audio answer then the peer's re-INVITE", kPorts});
  if (HasFatalFailure()) return;
  const lines answers = received_messages(trace_, "SIP/2.0 200");
  const std::string audio = with(answers, "CSeq: 1 INVITE");
  const std::string t38 = with(answers, "CSeq: 2 INVITE");
  ASSERT_FALSE(audio.empty() || t38.empty()) << trace_;
  EXPECT_EQ(media_lines(audio), (lines{kAudio + " RTP/AVP 8"})) << audio;
  EXPECT_EQ(media_lines(t38), (lines{kImage})) << t38;
  EXPECT_GE(origin_version(audio), 0);
  EXPECT_EQ(origin_version(t38), origin_version(audio) + 1) << t38;
}

}  // namespace
}  // namespace sip_road

#endif
