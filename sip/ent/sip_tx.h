// ENT_SIP's sending side: every encoded message leaves here as a datagram
// request to the transport.  A request or a final INVITE response keeps its
// text in a transaction slot with its retransmission and time-out timers; a
// response keeps its text in its server transaction so that a retransmitted
// request can be answered again; a stateless answer goes to the source of
// the datagram being handled.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "platform/int_types.h"
#include "runtime/buffer.h"
#include "sip/ent/sip_entity_int.h"

// What the send path hands over with an encoded message.
struct sip_tx_msg {
  u32 call;    // pool index of the call
  u8 dialog;   // dialog index
  u8 code;     // 'A'..'F' requests, 'a'..'f' responses
  u16 status;  // responses
  u32 cseq;
  const char* branch;  // top Via branch of a request, may be null
  u32 server_tx;       // server transaction of a response, or SIP_NONE
  // A final refusal of an INVITE that opened no dialog: its server
  // transaction, not a slot of the call, waits for the ACK.
  bool refusal_outside_dialog = false;
};

// Results of sip_tx__send_by_kind.
inline constexpr u8 SIP_TX_SENT = 2;
inline constexpr u8 SIP_TX_NO_SLOT = 34;  // no transaction slot free: nothing sent

// SIP_TX_SENT or SIP_TX_NO_SLOT.  `text` is the message without the
// transport's address record.
[[nodiscard]] u8 sip_tx__send_by_kind(sip_endpoint& ep, const sip_tx_msg& msg, const std::vector<u8>& text);
// A datagram request of `text` to address and port.
void sip_tx__send_datagram(const sip_endpoint& ep, const std::array<u8, 4>& address, u16 port, const u8* text,
                           std::size_t length);
// The whole data of a chain, which is freed.
std::vector<u8> sip_tx__take_chain(buffer_t* chain, u16 skip);

// A retransmitted request: its server transaction's last response really
// sent, else the final INVITE response kept in the call's slot, else
// nothing.  True when something was sent.
bool sip_server_tx__resend(sip_endpoint& ep, u32 stx);

// ENT_SIP's own request to start a slot's timers now that its message has
// left (code SIP_SLOT_ARM_RQ: slot index, retransmission and time-out
// counters); ignored when the slot was released or sent again since.
void sip_tx_slot__arm_sent(sip_endpoint& ep, const msg_t* m);

// Re-sends the slot's stored text.
void sip_tx_slot__resend(const sip_endpoint& ep, const sip_call& c, const sip_transaction_slot& s);
