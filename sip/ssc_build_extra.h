// Request and answer builders of ENT_SSC used by the call and dialog-entry
// machines: the current handle (ssc_run().handle) completed from the call's
// default headers and the entry's dialog state, tracked and sent to ENT_SIP.
//
// Contract:
// - Every builder works on the module cursors (agent, call, entry) and the
//   current handle; results are 2 (sent) or 3 (not sent, reported).
// - The From tag is the call's local tag and the To tag the entry's remote
//   tag (left off when empty or a line feed); Call-ID from the call's
//   defaults; a missing Request-URI is the remote target, else To's URI.
// - A header that cannot be added is reported (kind 'd') and the message is
//   not sent.
#pragma once
#include <cstddef>

#include "runtime/types.h"
#include "sip/codec/ssc_msg.h"
#include "sip/ssc_entity.h"

// SIP primitive codes of the requests and answers ENT_SSC sends.
inline constexpr code_t SSC_SIP_INVITE_RQ = 65;
inline constexpr code_t SSC_SIP_ACK_RQ = 66;
inline constexpr code_t SSC_SIP_OPTIONS_RQ = 67;
inline constexpr code_t SSC_SIP_BYE_RQ = 68;
inline constexpr code_t SSC_SIP_CANCEL_RQ = 69;
inline constexpr code_t SSC_SIP_REGISTER_RQ = 70;
inline constexpr code_t SSC_SIP_INVITE_RS = 97;
inline constexpr code_t SSC_SIP_OPTIONS_RS = 99;
inline constexpr code_t SSC_SIP_BYE_RS = 100;
inline constexpr code_t SSC_SIP_CANCEL_RS = 101;
inline constexpr code_t SSC_SIP_REGISTER_RS = 102;

// Copies one instance (strings included) to the end of the id's list of
// `dst`; false when there is no room.
[[nodiscard]] bool ssc_copy_header(ssc_handle* dst, ssc_header_id id, const void* inst);
// Copies the whole list of `id` of `src` when `dst` has none; false when
// there is no room.
[[nodiscard]] bool ssc_copy_list(ssc_handle* dst, ssc_header_id id, ssc_handle* src);
// Type set and every header the type does not allow dropped.
ssc_handle* ssc_set_type_filtered(ssc_handle* h, ssc_msg_type t);
// The current handle made empty with type t (a new one when it is shared or
// absent); null when none can be had.
ssc_handle* ssc_fresh_handle(ssc_msg_type t);

// The call's defaults: a copy of the request's headers, kept once per call.
// `swap` for a received request (its From is the remote party).
void ssc_prepare_call_defaults(ssc_handle* req, bool swap);
// Request-URI of a request, as sent (port and parameters kept); the length,
// 0 when there is none or it does not fit.
std::size_t ssc_request_uri_text(ssc_handle* h, char* out, std::size_t size);

[[nodiscard]] u8 ssc_send_request(code_t code);
// The current handle answers the pending request (ssc_tx().pending).
[[nodiscard]] u8 ssc_send_answer(code_t code);
// A new answer to the pending request with the status when the current
// handle has none.
[[nodiscard]] u8 ssc_answer_pending(ssc_msg_type request, u16 status, const char* reason, code_t code);
// A new answer to the given received request (a CANCEL has no transaction
// of its own).
[[nodiscard]] u8 ssc_answer_request(ssc_handle* req, u16 status, const char* reason, code_t code);
[[nodiscard]] u8 ssc_send_ack();
[[nodiscard]] u8 ssc_fill_cancel();
[[nodiscard]] u8 ssc_send_cancel();
[[nodiscard]] u8 ssc_send_register();
[[nodiscard]] u8 ssc_send_register_answer();
void ssc_release_idle_entries();
void ssc_abort_entries();

// OPTIONS outside a dialog: 4 done, 5 still running.
inline constexpr u8 SSC_OPTIONS_DONE = 4;
inline constexpr u8 SSC_OPTIONS_RUNNING = 5;
[[nodiscard]] u8 ssc_options_step(u8 event);
