// The life of a transaction slot of a SIP call: which state a slot takes
// for what happens to its transaction.  The records keep the state as a
// byte (SIP_SLOT_*); the send path, the receive path and the timers ask
// this table for the next one and do the rest (timers, stored text) there.
#pragma once

#include "runtime/automaton.h"
#include "runtime/types.h"
#include "sip/ent/sip_records.h"

enum class sip_slot_st : u8 {
  free = SIP_SLOT_FREE,
  calling = SIP_SLOT_CALLING,        // our request sent
  proceeding = SIP_SLOT_PROCEEDING,  // a provisional answer came
  completed = SIP_SLOT_COMPLETED,    // a failure to our INVITE came, or our final INVITE answer went
  ack_sent = SIP_SLOT_ACK_SENT,      // the ACK kept for its life
  accepted = SIP_SLOT_ACCEPTED,      // a 2xx to our INVITE came
  count_
};

enum class sip_slot_ev : u8 {
  request_sent,   // a request of ours takes the slot
  answer_sent,    // a final answer to a received INVITE takes the slot
  ack_sent,       // the ACK of the slot's INVITE went
  provisional,    // a provisional response to the slot's request
  final_2xx,      // a 2xx to the slot's INVITE
  final_failure,  // a failure to the slot's INVITE
  released,       // the slot is let go (final non-INVITE answer, time-outs, clean-up)
  count_
};

// The slot's state after the event.
[[nodiscard]] u8 sip_slot_next(u8 state, sip_slot_ev e);

// The slot rows, for the automaton check.
[[nodiscard]] kv::fsm::machine_view sip_slot_machine();
