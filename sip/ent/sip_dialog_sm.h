// The SIP dialog state machine: one step of a dialog's automaton for one
// event (a primitive the user sends down, or a message received and
// admitted).  The automaton is a table of rows, first match wins; a row reads
// the dialog's state and flags, the event, the status of the message and a
// few facts about the call, and gives the next state, the flags to set or
// clear, the actions the caller performs on the records and the result.
//
// The step is pure: it changes only the state and the flags of the view it
// is given; the actions (answers, local confirms, release, timers, branch
// restore) come back as bits for the caller to carry out.
#pragma once

#include "runtime/automaton.h"
#include "runtime/types.h"

// Dialog states.
enum class sip_dlg_st : u8 {
  idle = 1,
  invite_sent = 2,
  cancelling = 3,
  proceeding = 4,
  accepted = 5,
  rejected = 6,
  confirmed = 7,
  invite_received = 8,
  reject_sent = 9,
  bye_while_inviting = 10,
  cancel_received = 11,
  accept_sent = 12,
  bye_sent = 13,
  bye_received = 14,
  options_sent = 15,
  options_received = 16,
  register_sent = 17,
  register_received = 18,
  count_
};
inline constexpr u8 SIP_DLG_S_REJECT_SENT = static_cast<u8>(sip_dlg_st::reject_sent);

// Dialog events: requests and responses the user sends, responses and
// requests received.
enum class sip_dlg_ev : u8 {
  invite_rq = 'A',
  ack_rq = 'B',
  options_rq = 'C',
  bye_rq = 'D',
  cancel_rq = 'E',
  register_rq = 'F',
  invite_rs = 'a',
  options_rs = 'c',
  bye_rs = 'd',
  cancel_rs = 'e',
  register_rs = 'f',
  invite_co = 193,
  options_co = 195,
  bye_co = 196,
  cancel_co = 197,
  register_co = 198,
  invite_in = 225,
  ack_in = 226,
  options_in = 227,
  bye_in = 228,
  cancel_in = 229,
  register_in = 230,
  count_
};

// Dialog flags.
enum : u16 {
  SIP_DLGF_ACK = 0x0001,           // the INVITE's ACK was sent or received
  SIP_DLGF_FINAL = 0x0002,         // a final INVITE response received or sent
  SIP_DLGF_BYE_ANSWERED = 0x0004,  // BYE answered finally while the INVITE was open
  SIP_DLGF_CANCEL_DONE = 0x0008,   // the CANCEL got (or was given) its final response
  SIP_DLGF_IN_DIALOG = 0x0020,     // INVITE or BYE inside a confirmed dialog
  SIP_DLGF_BYE_HOLD = 0x0040,      // a BYE failed, the hold timer runs
  SIP_DLGF_BYE_EARLY = 0x0080,     // BYE exchanged while the INVITE proceeded
  SIP_DLGF_BYE_PROV = 0x0200,      // provisional BYE answer sent
  SIP_DLGF_CANCEL_PROV = 0x0400,   // provisional CANCEL answer sent
};

// Call flags the machine reads and sets.
enum : u8 {
  SIP_CALLF_CANCELLED = 0x08,  // a CANCEL was asked for (or confirmed locally)
  SIP_CALLF_FAILED = 0x10,     // a failure to our INVITE was received
};

// Results of a step.
enum : u16 {
  SIP_DLG_GO_ON = 2,
  SIP_DLG_BAD_STATE = 3,  // state outside 1..18
  SIP_DLG_ABSORBED = 4,
  SIP_DLG_INVITE_REFUSED = 44,
  SIP_DLG_REFUSED = 405,
  SIP_DLG_CANCELLED_2XX = 406,
  SIP_DLG_NO_DIALOG = 481,
};

// Actions for the caller, in the order they are listed.
enum : u32 {
  SIP_DLGA_STORE_OWN = 1u << 0,        // parties of our own request stored
  SIP_DLGA_STORE_RECEIVED = 1u << 1,   // parties of the received request stored
  SIP_DLGA_RX_INVITE_CSEQ = 1u << 2,   // received-INVITE CSeq := the CSeq
  SIP_DLGA_ANSWER = 1u << 3,           // answer the received request (status, reason); pending cleared
  SIP_DLGA_RETRY_AFTER = 1u << 4,      // with a random Retry-After of 1..9 s
  SIP_DLGA_CLOSE_CALL = 1u << 5,       // dialog closed and call cleaned up
  SIP_DLGA_CLOSE = 1u << 6,            // dialog closed
  SIP_DLGA_CONFIRM = 1u << 7,          // local confirm with `confirm` status, nothing sent
  SIP_DLGA_RELEASE_BUT_ACK = 1u << 8,  // release if idle but for the ACK slot
  SIP_DLGA_RELEASE = 1u << 9,          // release if idle
  SIP_DLGA_BRANCH_ACK = 1u << 10,      // the INVITE's branch back for the ACK (slot kind 'B')
  SIP_DLGA_BRANCH_CANCEL = 1u << 11,   // the INVITE's branch back for the CANCEL (slot kind 193)
  SIP_DLGA_SUPERVISE = 1u << 12,       // pending answers + 1, supervision timer started
  SIP_DLGA_FORK_TIMER = 1u << 13,      // fork timer when more than one dialog is active
  SIP_DLGA_BYE_HOLD = 1u << 14,        // BYE hold timer started
  SIP_DLGA_STOP_BYE_HOLD = 1u << 15,   // BYE hold timer stopped, its flag cleared
  SIP_DLGA_END_EARLY = 1u << 16,       // the call's other early dialogs ended
  SIP_DLGA_INVITE_TIMEOUT = 1u << 17,  // INVITE client slot's time-out restarted with 64 T1
  SIP_DLGA_STATUS_500 = 1u << 18,      // the work area's status becomes 500
  SIP_DLGA_CALL_CANCELLED = 1u << 19,  // call flag 0x08 set
  SIP_DLGA_CALL_FAILED = 1u << 20,     // call flag 0x10 set
};

// One event for a dialog.
struct sip_dlg_event {
  u8 code = 0;                 // 'A'..'F', 'a'..'f', 193..198, 225..230
  u16 status = 0;              // status of the message (responses)
  bool from_tag = true;        // the message has a From tag
  bool to_tag = false;         // the message has a To tag
  bool not_available = false;  // the endpoint's user lags
  u8 call_flags = 0;
  u8 active_dialogs = 1;
  bool remote_tag = false;  // the dialog knows the far end's tag
};

// What a step gives back.
struct sip_dlg_outcome {
  u16 result = SIP_DLG_GO_ON;
  u32 actions = 0;
  u16 answer = 0;                // status of SIP_DLGA_ANSWER
  const char* reason = nullptr;  // its reason phrase
  u16 confirm = 0;               // status of SIP_DLGA_CONFIRM
};

// One step: changes `state` and `flags`, returns what the caller must do.
[[nodiscard]] sip_dlg_outcome sip_dialog_sm_step(u8& state, u16& flags, const sip_dlg_event& ev);

// The machine's rows (one per state and event), for the automaton check.
[[nodiscard]] kv::fsm::machine_view sip_dialog_machine();

// True for an event that is a request received from the far end.
constexpr bool sip_dlg_is_received_request(u8 code) { return code >= 225 && code <= 230; }
