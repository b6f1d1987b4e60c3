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

// Ports of this program: 15360-15399.
constexpr road_ports kPorts{15360, 15361, 15380};
const std::string kAudio = kPorts.audio();
const std::string kImage = kPorts.image();

TEST_F(SipAudioRoadTest, SendsThreePagesAfterT38RejectedThenOurReInvite) {
  SendThreePages(
      {"Send re-invite", 500, "uas-audio-t38-rejected.xml", "send, audio + T.38 offer then our re-INVITE", kPorts});
  if (HasFatalFailure()) return;
  ExpectOfferThenReInvite({kAudio + " RTP/AVP 8", kAudio + " RTP/AVP 0", kImage},
                          {"audio 0 RTP/AVP 8", "audio 0 RTP/AVP 0", kImage});
}

}  // namespace
}  // namespace sip_road

#endif
