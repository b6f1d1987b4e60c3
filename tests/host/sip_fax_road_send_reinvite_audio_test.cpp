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

// Ports of this program: 15320-15359.
constexpr road_ports kPorts{15320, 15321, 15340};
const std::string kAudio = kPorts.audio();
const std::string kImage = kPorts.image();

TEST_F(SipAudioRoadTest, SendsThreePagesAfterAudioThenOurReInvite) {
  SendThreePages(
      {"Send re-invite (Audio Media)", 500, "uas-audio-then-t38.xml", "send, audio offer then our re-INVITE", kPorts});
  if (HasFatalFailure()) return;
  ExpectOfferThenReInvite({kAudio + " RTP/AVP 8", kAudio + " RTP/AVP 0"}, {kImage, "audio 0 RTP/AVP 0"});
}

}  // namespace
}  // namespace sip_road

#endif
