// The call machine (route 'F') and the dialog-entry machine (routes 'C' and
// 'H') of ENT_SSC as they run in the entity: each looks up its table
// (ssc_call_sm.h, ssc_entry_sm.h) with the facts of the current message,
// performs the row's action and stores the next state.
//
// Contract:
// - Both work on the module cursors (agent, call, entry) and the current
//   handle; they drive each other only through self-events.
// - An entry that ends a step in ENTRY_IDLE sends event 63 to the call
//   machine; a call back in CALL_IDLE without entries tells the user
//   CALL_CLOSED_IN (unless it was never announced) and is freed.
// - A 401/407 is answered at most once per nonce; a re-sent request carries
//   a response computed for its own Request-URI and nonce count.
// - A close while our 2xx awaits its ACK sends the BYE once the ACK came.
#pragma once

void ssc_call_sm();
void ssc_entry_sm();
