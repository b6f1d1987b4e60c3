// ENT_SSC dialog entry machine (`ssc_entry_sm`): one state per dialog entry,
// one row per (state, event) compiled into a table, a row's choice picking
// the action and the next state from the facts of the message, the common
// rows of every state, the INVITE response step
// (`ssc_invite_response`) and the REGISTER response and refresh rules.
//
// Contract:
// - ssc_entry_decide is a pure lookup: the state's own rows, then
//   the common rows (OPTIONS inside a dialog in states 7, 8, 11, 16, 17; the
//   error record 56; abort 65; release 57); anything else is reported
//   (SSC_ERROR_IN 900, fatal only in ENTRY_IDLE, and SSC_DISCARDED_EVENT) and
//   the state kept.
// - A step whose next is SSC_ENTRY_NEXT_COMPUTED takes its next state from
//   the step it names (INVITE response, REGISTER response, OPTIONS step).
// - A BYE crossing ours is answered and ends the entry: ENT_SIP releases
//   the dialog once it is answered, so our BYE's answer never comes.
// - A REGISTER 2xx that names no expiry refreshes from the Expires asked
//   for, else from 3600 s; never on an unknown interval.
// - This module decides; performing the action is the caller's.
#pragma once
#include <cstddef>

#include "runtime/automaton.h"
#include "runtime/types.h"

// Entry states (the byte of `ssc_dialog_entry`); other numbers are unused.
enum class ssc_entry_st : u8 {
  idle = 1,                // ENTRY_IDLE
  early = 7,               // ENTRY_EARLY
  received_2xx = 8,        // ENTRY_2XX_RECEIVED
  rejected = 9,            // ENTRY_REJECTED
  confirmed = 10,          // ENTRY_CONFIRMED
  invited = 11,            // ENTRY_INVITED
  cancelled = 14,          // ENTRY_CANCELLED
  bye_sent = 16,           // ENTRY_BYE_SENT
  bye_received = 17,       // ENTRY_BYE_RECEIVED
  register_received = 18,  // ENTRY_REGISTER_RECEIVED
  registering = 19,        // ENTRY_REGISTERING
  registered = 20,         // ENTRY_REGISTERED
  options_sent = 21,       // ENTRY_OPTIONS_SENT
  options_received = 22,   // ENTRY_OPTIONS_RECEIVED
  count_
};
// The same values as the record's byte.
inline constexpr u8 ENTRY_IDLE = static_cast<u8>(ssc_entry_st::idle);
inline constexpr u8 ENTRY_EARLY = static_cast<u8>(ssc_entry_st::early);
inline constexpr u8 ENTRY_2XX_RECEIVED = static_cast<u8>(ssc_entry_st::received_2xx);
inline constexpr u8 ENTRY_REJECTED = static_cast<u8>(ssc_entry_st::rejected);
inline constexpr u8 ENTRY_CONFIRMED = static_cast<u8>(ssc_entry_st::confirmed);
inline constexpr u8 ENTRY_INVITED = static_cast<u8>(ssc_entry_st::invited);
inline constexpr u8 ENTRY_CANCELLED = static_cast<u8>(ssc_entry_st::cancelled);
inline constexpr u8 ENTRY_BYE_SENT = static_cast<u8>(ssc_entry_st::bye_sent);
inline constexpr u8 ENTRY_BYE_RECEIVED = static_cast<u8>(ssc_entry_st::bye_received);
inline constexpr u8 ENTRY_REGISTER_RECEIVED = static_cast<u8>(ssc_entry_st::register_received);
inline constexpr u8 ENTRY_REGISTERING = static_cast<u8>(ssc_entry_st::registering);
inline constexpr u8 ENTRY_REGISTERED = static_cast<u8>(ssc_entry_st::registered);
inline constexpr u8 ENTRY_OPTIONS_SENT = static_cast<u8>(ssc_entry_st::options_sent);
inline constexpr u8 ENTRY_OPTIONS_RECEIVED = static_cast<u8>(ssc_entry_st::options_received);

// Events of the entry machine (the numbers of the classification tables).
enum class ssc_entry_ev : u8 {
  invite_answer = 2,       // SSC_INVITE_RS
  ack_rq = 3,              // SSC_ACK_RQ
  invite_response = 4,     // SIP_INVITE_CO
  invite_received = 5,     // SIP_INVITE_IN
  ack_received = 6,        // SIP_ACK_IN
  cancel_rq = 7,           // SSC_CANCEL_RQ
  cancel_received = 8,     // SIP_CANCEL_IN
  cancel_answer = 9,       // SSC_CANCEL_RS
  bye_rq = 11,             // SSC_BYE_RQ
  bye_response = 12,       // SIP_BYE_CO
  bye_received = 13,       // SIP_BYE_IN
  bye_answer = 14,         // SSC_BYE_RS
  close = 19,              // self-event of the call machine
  register_rq = 20,        // self-event of the call machine
  register_response = 21,  // SIP_REGISTER_CO
  register_received = 22,  // SIP_REGISTER_IN
  register_answer = 23,    // SSC_REGISTER_RS
  event_27 = 27,           // taken silently by an idle entry
  options_rq = 40,         // SSC_OPTIONS_RQ
  options_received = 41,   // SIP_OPTIONS_IN
  options_answer = 42,     // SSC_OPTIONS_RS
  options_response = 43,   // SIP_OPTIONS_CO
  entry_timer = 54,        // timer '0' expired
  error_in = 56,           // SIP_ERROR_IN
  release = 57,            // release of an idle entry
  ack_and_end = 64,        // self-event: acknowledge and end this fork
  abort = 65,              // abort the entry
  options_timer = 69,      // timer '1' expired
  registration_event = 89,
  registration_reset = 91,  // a registration event that resets the digest state
  dialog_gone = 95,         // end of the dialog
  count_
};

inline constexpr u8 SSC_ENTRY_NEXT_COMPUTED = 0;

enum class ssc_entry_action : u8 {
  none,
  invite_response,    // ssc_invite_response
  take_invite,        // fill the entry from a received INVITE; self-event 5 'F'
  refuse_invite_487,  // Expires 0: 487 at once, closed by us
  closed_notice,      // self-event 60 'F'
  register_start,
  take_register,  // pass SSC_REGISTER_IN (230)
  options_start,  // OPTIONS outside a dialog
  take_options,   // pass SSC_OPTIONS_IN (227), new local tag
  send_cancel,
  pass_bye_in,  // 228
  bye_notice,   // retype 32, self-event 61, answer the BYE 200
  send_ack,
  send_bye,
  ack_and_bye_user,    // ACK; the user's close as BYE; closed by us
  ack_and_bye,         // ACK then BYE; closed by us
  pass_ack_or_closed,  // 226, or retype 32 and self-event 60 when closed by us
  answer_cancel,       // 200 to CANCEL
  mark_closed,
  answer_reinvite,  // self-event 2; the user's answer (default 200)
  send_user_ack,
  reinvite_response,
  take_reinvite,
  pass_ack_in,          // self-event 6, 226
  ack_ends_session,     // retype 31, self-event 61
  bye_notice_reinvite,  // answer the BYE, retype 31, self-event 61, pending re-INVITE 487
  close_with_bye,       // the user's close as BYE; pending re-INVITE 487
  options_step,
  pass_options_in,      // 227
  send_options_answer,  // SIP_OPTIONS_RS, default 200
  bye_closed,           // BYE; closed by us
  bye_not_closed,       // BYE; not closed by us
  answer_invite,        // the user's answer; local tag; self-event 2
  pass_cancel_in,       // 229
  cancel_notice,        // 200 to CANCEL, 487 to INVITE, retype 31, self-event 61
  bye_and_487,          // 200 to BYE, 487 to INVITE, closed by us
  close_404,            // the INVITE answered 404 "Not Found"
  expired_487,          // entry timer: the INVITE answered 487
  cancel_answer_487,    // the user's CANCEL answer, 487 to the INVITE
  reinvite_ack,         // ACK to the re-INVITE's answer, re-INVITE ends
  resend_bye,
  bye_ended,            // retype 32, self-event 60 or 61
  answer_crossing_bye,  // 200 to the crossing BYE; the session ends (retype 32, 60 or 61)
  send_bye_answer,
  send_register_answer,
  register_response,
  options_in_register,  // clear remote tag; OPTIONS step
  defer_register,       // queue on the call, deferred bit
  register_again,       // the user asks again (or de-registers)
  register_refresh,     // timer '0' or registration event
  pass_error,           // SSC_ERROR_IN
  send_options,         // common: OPTIONS inside the dialog
  pass_options_co,      // common: 195
  report,
  count_
};

struct ssc_entry_facts {
  u8 status_class = 4;
  u16 status = 0;
  bool notices = false;
  bool expires_zero = false;
  bool refresh_zero = false;
  bool reinvite_received = false;
  bool reinvite_2xx = false;
  bool reinvite_running = false;
  bool internal_24 = false;
  bool internal_50 = false;
  bool fatal = false;
};

struct ssc_entry_step {
  ssc_entry_action action;
  u8 next;                   // SSC_ENTRY_NEXT_COMPUTED: from the named step
  int row;                   // index in the rows; -1 common rule or report
  bool error_fatal = false;  // for report: SSC_ERROR_IN fatal
};

[[nodiscard]] ssc_entry_step ssc_entry_decide(u8 state, u8 event, const ssc_entry_facts& f);
// The machine's rows, for the automaton check and the tests.
[[nodiscard]] kv::fsm::machine_view ssc_entry_machine();

// INVITE response on a fresh or early entry.
struct ssc_invite_outcome {
  bool take_route;   // route set from Record-Route (reversed)
  bool take_target;  // remote target from the response
  bool send_ack;
  bool notify_call;  // self-event 4 on route 'F'
  u8 next;
};
inline constexpr u16 SSC_INTERNAL_STATUS_SILENT_END = 35;
[[nodiscard]] ssc_invite_outcome ssc_invite_response(u8 status_class, u16 status, bool own_route, bool has_remote_tag,
                                                     bool has_target, bool matched_tx);

// REGISTER response in ENTRY_REGISTERING.
struct ssc_register_facts {
  u8 status_class = 4;
  bool has_status = false;
  u32 refresh_ms = 0xFFFFFFFFu;  // the entry's interval before the response
  // What the 2xx says: Expires header, Contact expires (0xFFFFFFFF none).
  bool has_expires = false;
  u32 expires_s = 0;
  u32 contact_expires = 0xFFFFFFFFu;
  // What the REGISTER asked for.
  bool asked_has_expires = false;
  u32 asked_expires_s = 0;
  bool deferred = false;
  bool challenge_retry = false;
};
struct ssc_register_outcome {
  u8 next;
  u32 refresh_ms;  // the new interval (timer '0' started when next is ENTRY_REGISTERED on a 2xx)
  bool start_timer;
  bool pass_result;  // SSC_REGISTER_CO to the user
  bool resend;       // with credentials
  bool report;       // no status
};
inline constexpr u32 SSC_REGISTER_DEFAULT_EXPIRES_S = 3600;
[[nodiscard]] ssc_register_outcome ssc_register_response(const ssc_register_facts& f);
// Refresh interval after a 2xx: the response's expiry, else the one asked
// for, else 3600 s.
[[nodiscard]] u32 ssc_register_2xx_refresh_ms(const ssc_register_facts& f);
