// A 3-page fax through tessaly over a call that starts with audio and goes
// to T.38 by a re-INVITE (ours or the far end's), on the SIP-road fixture:
// sipp plays the far SIP side, spandsp's T.38 terminal the far fax, whose
// UDPTL port reaches tessaly only in the SDP of the re-INVITE exchange.
// Each run checks what every road shares (pages pixel for pixel, page
// reports, final status, BYE, clean stop) and hands back sipp's message
// trace for the checks of the road's own SDP.  Test-only.
#pragma once

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

#include <cstdint>
#include <string>
#include <vector>

#include "host/support/sip_road.h"

namespace sip_road {

using lines = std::vector<std::string>;

struct road_ports {
  uint16_t sip = 0;      // tessaly's SIP port
  uint16_t gateway = 0;  // sipp's SIP port
  uint16_t media = 0;    // tessaly's first media port (UDPTL at + 2)

  // tessaly's media lines (m= lines without the "m="): audio on the port
  // after the first, UDPTL on the one after that.
  std::string audio() const { return "audio " + std::to_string(media + 1); }
  std::string image() const { return "image " + std::to_string(media + 2) + " udptl t38"; }
};

struct road_run {
  std::string mode;       // "SIP operating mode"
  unsigned delay_ms = 0;  // "SIP delay"
  std::string scenario;   // file of tests/host/sipp/
  std::string label;      // names the road in the timing line
  road_ports ports;
};

class SipAudioRoadTest : public SipRoadTest {
 protected:
  // The controller asks for a send; tessaly calls sipp, which answers audio
  // and then takes tessaly's re-INVITE with the terminal's port.
  void SendThreePages(const road_run& run);
  // sipp calls tessaly with audio; the controller accepts the ring; the
  // terminal sends once the T.38 answer has given it tessaly's port.
  void ReceiveThreePages(const road_run& run);
  // After SendThreePages: tessaly's INVITE offered the media lines `offer`,
  // its one re-INVITE `reinvite` with the o= version one up, "SIP delay"
  // (at least 450 ms) after its ACK of the audio answer.
  void ExpectOfferThenReInvite(const lines& offer, const lines& reinvite);

  std::string trace_;     // sipp's message trace of the run
  double seconds_ = 0.0;  // INVITE to the final status
};

}  // namespace sip_road

#endif
