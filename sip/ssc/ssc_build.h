// Request and answer builders of ENT_SSC, used by the call and dialog-entry
// machines: the call's default headers, route sets (loose and strict), the
// completion of an outgoing request or answer, ACK, CANCEL, REGISTER, the
// OPTIONS keep-alive step and the profile handler of route 'A'.
//
// Contract:
// - Builders work on the module cursors (agent, call, entry) and on the
//   current handle: ssc_run().tx_handle when set, else ssc_run().handle.  A
//   fresh handle made here becomes tx_handle (released after the run).
// - The pending request is ssc_tx().pending (the request an answer, ACK or
//   CANCEL belongs to).
// - Results are 2 (sent / done) or 3 (not sent; a failure to add a header is
//   reported with ssc_report_error kind 'd' and the place number, an answer
//   without a pending request with kind 'f').
// - The From tag is the call's local tag, the To tag the entry's remote tag;
//   each is left off when empty or a line feed.
// - Every copy is deep (strings included), so the copied handle may go.
#pragma once
#include "runtime/types.h"
#include "sip/prim/ssc_msg.h"
#include "sip/ssc/ssc_entity.h"

// ---- handle helpers ----------------------------------------------------------
// Copies one instance (strings included) to the end of the id's list of
// `dst`; false when there is no room.
[[nodiscard]] bool ssc_copy_header(ssc_handle* dst, ssc_header_id id, const void* inst);
// Copies the whole list of `id` of `src` into `dst` when `dst` has none (true
// also when there is nothing to copy); false when there is no room.
[[nodiscard]] bool ssc_copy_list(ssc_handle* dst, ssc_header_id id, ssc_handle* src);
// Type set (both below 41), and every header list the new type does not
// allow emptied / type set only.  Null for a bad handle or type.
ssc_handle* ssc_set_type_filtered(ssc_handle* h, ssc_msg_type t);
ssc_handle* ssc_set_type(ssc_handle* h, ssc_msg_type t);
// The current handle: tx_handle when set, else the received handle.
ssc_handle* ssc_current_handle();
// A new empty current handle of type t (as tx_handle); null when none is left.
ssc_handle* ssc_fresh_handle(ssc_msg_type t);
// A new current handle of the response type paired with the request (Via
// with received address and rport, Record-Route, From, To, Call-ID): 2, or 3
// for a non-request.
[[nodiscard]] u8 ssc_new_response_current(ssc_handle* req);
// The entry holds the handle in slot 0 (remote target) or 1 (route set): the
// previous one released, one reference taken.
void ssc_hold_handle(ssc_handle* h, u8 slot);

// Fills a Via (SIP/2.0 over UDP) with the host and port of the Contact's URI.
void ssc_via_from_contact(ssc_hdr_via* v, const ssc_hdr_contact* ct);

// The profile of the current auxiliary record (the entry's, else the one the
// received handle names), or null while none is registered.
ssc_handle* ssc_current_profile();

// ---- call defaults -------------------------------------------------------------
// Fill the call's defaults (each only when the call has none yet) from a
// user request, then the profile, the registration call and the binding.
void ssc_prepare_call_defaults(ssc_handle* req);
// The same before a user answer is sent.
void ssc_prepare_answer_defaults(ssc_handle* answer);
// The call's route set: the binding's local-address Route, then the
// registration call's Service-Route list.
void ssc_build_route_set();
// Route set of the entry from a received request's Record-Route (in order)
// or a response's (reversed, only when the entry has none yet); the own-route
// flag is set either way.
void ssc_route_set_from_request(ssc_handle* req);
void ssc_route_set_from_response(ssc_handle* rs);
// Remote target: the received message's Contact when the entry has none
// (take) or always (update); take also notes the peer's option-tag masks.
void ssc_remote_target_take(ssc_handle* h);
void ssc_remote_target_update(ssc_handle* h);
// For a received request: remote target, the call's To := its From and the
// call's From := its To (each when unset), peer masks.
void ssc_note_request_parties(ssc_handle* req);
// Request-URI of the current handle when it has none: its To's URI, else
// the call's To.
void ssc_default_request_uri();
// Local tag and Call-ID before a new INVITE, OPTIONS or REGISTER: the
// party's tag (or a new one), the given Call-ID (or one made from the
// party's host, else from the call's From).
void ssc_set_local_tag_and_call_id(const ssc_hdr_name_addr* party, const ssc_hdr_call_id* call_id);

// ---- senders -------------------------------------------------------------------
[[nodiscard]] u8 ssc_send_request(code_t code);
[[nodiscard]] u8 ssc_send_answer(code_t code);
// Status added when the answer has none; a 100 repeats the request's
// Timestamp with the delay since it was received; then SIP_INVITE_RS.
[[nodiscard]] u8 ssc_send_answer_status(u16 status, const char* text);
[[nodiscard]] u8 ssc_send_ack();
[[nodiscard]] u8 ssc_fill_cancel();
// Once per call: a CANCEL of the sent INVITE; the current entry is kept.
[[nodiscard]] u8 ssc_send_cancel();
[[nodiscard]] u8 ssc_send_register();
[[nodiscard]] u8 ssc_send_register_answer();
// Self-events on route 'C': 57 for every entry in ENTRY_IDLE, 65 for every
// entry; the current entry is kept.
void ssc_release_idle_entries();
void ssc_abort_entries();
// The received message joins the call's held messages (the handler no
// longer owns it) / the call's held messages go back to the self-queue.
void ssc_hold_message();
void ssc_release_held();
// A new message with the same header fields and inline data; its data chain
// shared (one more reference on each buffer) or, with share 1, copied.
// Null when no message or buffer is left.
msg_t* ssc_copy_message(const msg_t* m, u8 share);

// ---- OPTIONS keep-alive and profile ------------------------------------------------
inline constexpr u8 SSC_OPTIONS_DONE = 4;
inline constexpr u8 SSC_OPTIONS_RUNNING = 5;
inline constexpr u8 SSC_EV_USER_OPTIONS = 40;
inline constexpr u8 SSC_EV_OPTIONS_REPEAT = 69;
inline constexpr u8 SSC_EV_OPTIONS_CO = 43;
inline constexpr u8 SSC_OPTIONS_TIMER = 1;  // entry timer cell of the repeat, code '1'
// Phase of the sent OPTIONS transaction: 0 none, 1 sent, 2 waiting for the
// repeat timer, 3 sent again.
[[nodiscard]] u8 ssc_options_phase(const ssc_hdr_tx_link* r);
[[nodiscard]] u8 ssc_options_step(u8 event);
// Route 'A': SSC_PROF_REG_RQ (event 0) and SSC_PROF_REM_RQ (event 55).
void ssc_profile_prim();
