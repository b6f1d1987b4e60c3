// ENT_SSC call machine (`ssc_call_sm`): one state per call, one row per
// (state, event, condition) in a constexpr table; the row names the action
// and the next state.
//
// Contract:
// - ssc_call_decide is a pure lookup: the first row whose state, event and
//   condition match wins.  No row: states 8 and 12 report the event
//   (SSC_ERROR_IN 900 and SSC_DISCARDED_EVENT), every other state ignores it;
//   the state is kept either way.
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

#include "runtime/types.h"

enum ssc_call_state : u8 {
  CALL_IDLE = 1,
  CALL_INVITING = 2,
  CALL_PROCEEDING = 3,
  CALL_ACTIVE = 5,
  CALL_CLOSING = 6,
  CALL_ANSWERED = 7,
  CALL_REGISTERING = 8,
  CALL_OFFERED = 10,
  CALL_READY = 11,
  CALL_OPTIONS = 12,
};

// What a row looks at besides state and event.
enum class ssc_call_cond : u8 {
  any,
  class0,        // 1xx
  class1,        // 2xx
  class2or4,     // 3xx, or no / odd status
  class3_retry,  // 4xx-6xx and the challenge step answers it
  class3,        // 4xx-6xx otherwise
  class2to4,     // anything but 1xx and 2xx
  class2or4_no_entries,
  fatal,          // the error (made fatal where the row says) ends the call
  no_entries,     // the call has no dialog entry left
  options_done,   // the OPTIONS step returned 4
  close_pending,  // the user closed while our 2xx awaited its ACK
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
};

struct ssc_call_row {
  u8 state;
  u8 event;
  ssc_call_cond cond;
  ssc_call_action action;
  u8 next;
};

// Facts the conditions read.
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
  int row;  // index in the table, -1 when none matched
};

[[nodiscard]] ssc_call_step ssc_call_decide(u8 state, u8 event, const ssc_call_facts& f);
[[nodiscard]] const ssc_call_row* ssc_call_rows(std::size_t* count);
