// ENT_SSC call machine (`ssc_call_sm`): one state per call, one row per
// (state, event) compiled into a table; a row's choice picks the action and
// the next state from the facts of the message (its status class, a fatal
// error, the entries left).
//
// Contract:
// - ssc_call_decide is a pure lookup.  No row, or a row whose facts do not
//   fit: states 8 and 12 report the event (SSC_ERROR_IN 900 and
//   SSC_DISCARDED_EVENT), every other state ignores it; the state is kept
//   either way.
// - States 4 and 9 have no rows: events leave them unchanged.
// - A close while our 2xx awaits its ACK (state 7, event 19) is remembered:
//   the call goes to CALL_CLOSING and the ACK, when it comes, sends the BYE.
// - A 4xx-6xx re-sends the INVITE only when the digest challenge step
//   answers it (`challenge_retry`); no flag of the response does so on its
//   own, so a 403 never loops.
// - This module decides; performing the action (sending, passing to the
//   user, self-events) is the caller's.
#pragma once
#include <cstddef>

#include "runtime/automaton.h"
#include "runtime/types.h"

// Call states (the byte of `ssc_call`); 4 and 9 are unused numbers.
enum class ssc_call_st : u8 {
  idle = 1,         // CALL_IDLE
  inviting = 2,     // CALL_INVITING
  proceeding = 3,   // CALL_PROCEEDING
  active = 5,       // CALL_ACTIVE
  closing = 6,      // CALL_CLOSING
  answered = 7,     // CALL_ANSWERED
  registering = 8,  // CALL_REGISTERING
  offered = 10,     // CALL_OFFERED
  ready = 11,       // CALL_READY
  options = 12,     // CALL_OPTIONS
  count_
};
// The same values as the record's byte.
inline constexpr u8 CALL_IDLE = static_cast<u8>(ssc_call_st::idle);
inline constexpr u8 CALL_INVITING = static_cast<u8>(ssc_call_st::inviting);
inline constexpr u8 CALL_PROCEEDING = static_cast<u8>(ssc_call_st::proceeding);
inline constexpr u8 CALL_ACTIVE = static_cast<u8>(ssc_call_st::active);
inline constexpr u8 CALL_CLOSING = static_cast<u8>(ssc_call_st::closing);
inline constexpr u8 CALL_ANSWERED = static_cast<u8>(ssc_call_st::answered);
inline constexpr u8 CALL_REGISTERING = static_cast<u8>(ssc_call_st::registering);
inline constexpr u8 CALL_OFFERED = static_cast<u8>(ssc_call_st::offered);
inline constexpr u8 CALL_READY = static_cast<u8>(ssc_call_st::ready);
inline constexpr u8 CALL_OPTIONS = static_cast<u8>(ssc_call_st::options);

// Events of the call machine (the numbers of the classification tables).
enum class ssc_call_ev : u8 {
  invite_rq = 1,        // SSC_INVITE_RQ from the user
  user_answered = 2,    // self-event: the user answered an incoming INVITE
  invite_response = 4,  // self-event: a response to our INVITE
  invite_received = 5,  // self-event: an INVITE was received
  ack_received = 6,     // self-event: an ACK was received
  cancel_co = 10,       // SIP_CANCEL_CO
  close_rq = 19,        // CLOSE_SESS_RQ from the user
  register_rq = 20,     // SSC_REGISTER_RQ from the user
  options_rq = 40,      // SSC_OPTIONS_RQ outside a dialog
  options_co = 43,      // SIP_OPTIONS_CO outside a dialog
  error_in = 56,        // SIP_ERROR_IN
  closed_by_us = 60,    // self-event: the session ended after we closed it
  session_ended = 61,   // self-event: the session ended
  set_parm = 62,        // SSC_SET_PARM_RQ
  entry_idle = 63,      // self-event: a dialog entry went idle
  close_answer = 68,    // the user's close-session answer
  options_timer = 69,   // timer '1' expired
  sdp_failed = 81,      // a user request whose SDP could not be encoded
  count_
};

enum class ssc_call_action : u8 {
  none,
  send_invite,            // defaults, Request-URI, tag, Call-ID; SIP_INVITE_RQ
  pass_invite_in,         // 225
  pass_close_co_release,  // user's request as 210; release idle entries
  entry_register,         // self-event 20 on route 'C'
  options_step,           // OPTIONS step; 4 releases idle entries
  error_fatal_abort,      // error made fatal, entries aborted, SSC_ERROR_IN
  relay_fatal_release,    // ssc_relay_sip_error fatal; release idle entries
  relay_not_fatal,        // ssc_relay_sip_error not fatal
  pass_invite_co,         // 193
  pass_invite_co_cancel,  // 193; CANCEL when more than one entry
  pass_final_notice,      // (status 24: self-event 67 'G'); 193; notice 242
  resend_credentials,     // pending INVITE again with credentials; nc + 1
  pass_final_release,     // 193; notice 242; release idle entries
  error_in,               // fatal aborts entries; SSC_ERROR_IN
  error_in_invite,        // as error_in, an INVITE's error made fatal
  find_invite_cancel,     // CANCEL of the call's INVITE transaction
  notice_no_entries,      // fresh type 31, 242
  reinvite,               // re-INVITE with the held credentials renewed
  send_cancel,
  entry_ack_bye,  // self-event 64 on route 'C'
  entry_close,    // self-event 19 on route 'C'
  pass_notice,    // 242
  cancel_unless_sent,
  close_co_ended,      // retype 31, 210
  close_co_refused,    // release idle entries, retype 32, 210
  close_error,         // fatal: type 32, 210, abort; SSC_ERROR_IN
  pass_close_co,       // 210
  refuse_491,          // user's INVITE back as 193 with 491
  mark_close_pending,  // remember the close until the ACK
  options_error,       // SIP error other than 24 ends the OPTIONS call
  retype_notice,       // retype 31, 242
  report,              // SSC_ERROR_IN 900 and SSC_DISCARDED_EVENT
  count_
};

// Facts the choices read.
struct ssc_call_facts {
  u8 status_class = 4;  // ssc_status_class of the response
  bool challenge_retry = false;
  bool fatal = false;
  bool no_entries = false;
  bool options_done = false;
  bool close_pending = false;
};

struct ssc_call_step {
  ssc_call_action action;
  u8 next;
  int row;  // index in the rows, -1 when none took the event
};

[[nodiscard]] ssc_call_step ssc_call_decide(u8 state, u8 event, const ssc_call_facts& f);
// The machine's rows, for the automaton check and the tests.
[[nodiscard]] kv::fsm::machine_view ssc_call_machine();
