// A stand-in for the SIP side of ENT_FOIP (its ssc_mgt__automaton entry),
// for tests that run tessaly's real entities without SIP.  Test-only.
//
// - Configuration: no SIP entity is configured; ENT_FOIP answers the
//   configuration itself and the SIP side is ready at once.
// - Event 4 (open an outgoing call): the session's T.38 peer is written as
//   the SDP would give it (the peer below, the transport of the session, the
//   session's remote capabilities), the call is marked open and
//   FOIP_MGT__SIP_CALL_OPENED 'S' {2, 1, 0, 0, 0} goes to ENT_FOIP.
// - Event 5 (close the call): FOIP_MGT__SIP_CALL_CLOSED 'T'.
// - sip_standin__offer_call (any thread): an incoming call is offered to the
//   application with FOIP__ALERT_IN.  Its answer FOIP__ALERT_RS makes a
//   session of the record's parameters at the first answer that is not
//   provisional; the accepting answer writes the peer, for TCP starts the
//   T.38 management as the listening side ('T', 'I'), and sends 'S' with
//   origin 0.  A reject ends the offer.
// - sip_standin__far_end_hangs_up (any thread): every call open so far ends
//   as the far end's BYE ends it on the real SIP side: the session loses its
//   call and FOIP_MGT__SIP_CALL_CLOSED 'T' {0, 0, 0, 0} goes to ENT_FOIP.
// - Reset (event 8): FOIP is closed at once.
#pragma once

#include <cstdint>
#include <map>

#include "session/foip/foip.h"

struct sip_standin_peer {
  uint8_t ipv4[4] = {127, 0, 0, 1};
  uint16_t port = 0;
};
void sip_standin__set_peer(const sip_standin_peer& peer);
// A peer of its own for the session of `nai` (several calls at once).
void sip_standin__set_session_peer(nai_t nai, const sip_standin_peer& peer);

// HostOptions::adjust_layer_hooks.
void sip_standin__install(foip__layer_hooks& hooks);

// Offers one incoming call to `called` (a phone number); from any thread.
void sip_standin__offer_call(const char* called);

// The far end hangs up every open call (its BYE); from any thread.
void sip_standin__far_end_hangs_up();
