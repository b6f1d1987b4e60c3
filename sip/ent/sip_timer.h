// Call timers of ENT_SIP (the endpoint timers and the tick are the entity's).
#pragma once

#include "runtime/msg.h"
#include "sip/ent/sip_entity_int.h"

// An expiry of kind 201, 162, 'T', 66 or 0 with a dialog supervision code
// (3..8): acted upon only when its owner's flag and counter accept it.
void sip_timer_dispatch_call(sip_endpoint& ep, const msg_t* m);
