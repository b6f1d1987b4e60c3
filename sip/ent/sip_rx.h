// ENT_SIP's receive path: the text of one datagram is split into messages,
// each parsed into the header work area, admitted against the server
// transactions, calls, dialogs and client slots, and passed up to the
// endpoint's user as an indication (requests) or a confirm (responses).
// What cannot be admitted is dropped with its cause reported to ENT_SM, or
// answered statelessly (400, 481, 500, 503) to the datagram's source.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/int_types.h"
#include "sip/ent/sip_entity_int.h"

// Causes of the receive path (SM_REPORT_IN class 'r').
enum : u16 {
  SIP_CAUSE_HEADER_MISSING = 26,
  SIP_CAUSE_NO_SERVER_TX = 34,
  SIP_CAUSE_PARSE = 37,
  SIP_CAUSE_TRANSACTION = 38,
  SIP_CAUSE_PENDING = 39,
  SIP_CAUSE_NO_CALL = 40,
  SIP_CAUSE_RETRANSMISSION = 41,
  SIP_CAUSE_NO_CALL_RECORD = 49,
};

// Handles `text` (rewritten in place by the parser) received from address
// and port.
void sip_rx__datagram(sip_endpoint& ep, char* text, std::size_t length, const std::array<u8, 4>& from, u16 port);

// Handles the first `length` bytes of a datagram that was longer than the
// socket's receive size (the rest is lost): a request whose header lines
// came whole as far as an answer needs them (Via, From, To, Call-ID, CSeq)
// is answered 513 "Message Too Large"; nothing of it goes further, and an
// ACK or a response is dropped.
void sip_rx__too_large(sip_endpoint& ep, const char* text, std::size_t length, const std::array<u8, 4>& from, u16 port);

// Installs the parser's, the primitive codec's and the encoder's hooks.
void sip_rx__install_hooks(sip_endpoint* ep);

// The user did not answer in time: the request still open on the call's
// server transaction of `request_code` is answered 408 "Request Timeout",
// from the datagram kept with it, to where the call's answers go.  False
// when there was nothing to answer.
bool sip_rx__answer_timed_out(sip_endpoint& ep, sip_call& c, u8 request_code);

// The final refusal just sent for the INVITE of `dialog` (in the header work
// area) ends the dialog at once: its server transaction waits for the ACK
// and absorbs it, so the user is given the ACK now, the dialog is closed and
// the call can go back to the pool.
void sip_rx__local_ack(sip_endpoint& ep, u32 call, u8 dialog);
