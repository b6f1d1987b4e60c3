// SIP message text encoder: turns the message held in the header work area
// (sip_hdr.h, sip_elem_layout.h) into SIP text in a chain of runtime buffers
// and hands the chain on.
//
//   - sip_encode_message writes the message of the current kind in the
//     order of the kind's header table, the body last, Content-Length always;
//   - sip_build_response answers the request just parsed (stateless);
//   - sip_build_pending_response answers the request pending in the current
//     dialog.
//
// Text: one header per line (list headers on one line), the compact
// one-letter names when the endpoint asks for them.  Every header line,
// History-Info entry and body part must fit one buffer's data room (the
// first buffer also less the endpoint's header room): a message with a line
// that does not fit is not sent at all, its buffers are freed and the result
// is SIP_RESULT_NOK.  The same holds when the buffer pool runs dry, when a
// request's start line cannot be written and for a raw body without
// Content-Type.
//
// The text is written through `sip_out` (sip_str.h), never through the
// parser's scan state, so a response built while a message is being parsed
// leaves the parse where it was.  Runs in the SIP entity's thread only.
#pragma once

#include <cstdint>

#include "runtime/buffer.h"
#include "sip/text/sip_hdr.h"
#include "platform/int_types.h"

// Message kinds: 'A' INVITE .. 'F' REGISTER, 'a' .. 'f' their responses
// ('b' has no table), SIP_KIND_DEFAULT the short stateless response.
inline constexpr u8 SIP_KIND_DEFAULT = 255;

// Results beyond SIP_RESULT_OK / SIP_RESULT_NOK.
inline constexpr u8 SIP_ENCODE_NO_TABLE = 22;

// Modes of sip_encode_message.
inline constexpr u8 SIP_ENCODE_STATELESS = 1;
inline constexpr u8 SIP_ENCODE_CALL = 2;

// Code with which a stateless message goes to the transport (SOCK_U_DA_RQ).
inline constexpr u8 SIP_SEND_DATAGRAM = 'Z';

// The parties of the request pending in the current dialog.
struct sip_pending_request {
  u8 request_code = 0;  // SIP_METHOD_INVITE .. SIP_METHOD_REGISTER
  sip_addr to;          // the call's To party
  sip_str to_tag;       // the call's To tag
  sip_addr from;        // the call's From party
  sip_str from_tag;     // the dialog's remote tag
};

// What the encoder asks of the SIP transaction entity.  Unset entries: no
// call, no dialog, nothing sent (the chain is freed and the result is
// SIP_RESULT_NOK).
struct sip_encode_services {
  // The current endpoint: compact header names, and the bytes kept free in
  // front of the first buffer's text for the transport's header.
  bool compact = false;
  u16 header_room = 0;
  // The Call-ID of a call: conn_id 0xFFFF for the current call.  False when
  // there is none (the work area's Call-ID is written instead).
  bool (*call_id)(u16 conn_id, sip_callid_parsed* out) = nullptr;
  // The current dialog's pending request; false when it has none.
  bool (*pending)(sip_pending_request* out) = nullptr;
  // Fill the CSeq instance of a request / a response of the current call.
  void (*cseq_request)() = nullptr;
  void (*cseq_response)() = nullptr;
  // Take the chain (ownership passes): a message of the current call, whose
  // result byte is returned, or a stateless datagram with its send code.
  u8 (*send_by_kind)(buffer_t* chain) = nullptr;
  void (*send_to_transport)(buffer_t* chain, u8 code) = nullptr;
};
extern sip_encode_services sip_encode_env;

// The kind of the message to encode (set by the caller).
extern u8 sip_encode_kind;

// Encodes the message of `sip_encode_kind`.  Mode 2: a message of the
// current call (Call-ID from the call, CSeq filled through the hooks),
// handed to send_by_kind whose result is returned.  Any other mode: a
// stateless message handed to send_to_transport, result SIP_RESULT_OK.
// SIP_ENCODE_NO_TABLE for a kind without a table; SIP_RESULT_NOK when the
// message could not be written (nothing sent, nothing left allocated).
[[nodiscard]] u8 sip_encode_message(u8 mode);

// True when the header table of `kind` has a row for header `id`.
bool sip_encode__table_has(u8 kind, u8 id);

// Moves the text written since the last commit into the output chain and
// restarts the writer on a fresh place.  False once the message failed (a
// line overflowed its buffer or no buffer could be had).
[[nodiscard]] bool sip_out__commit_line();

// True when the endpoint asks for compact header names.
inline bool sip_encode__compact() { return sip_encode_env.compact; }
