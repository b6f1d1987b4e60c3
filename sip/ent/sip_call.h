// Calls, dialogs, transaction slots and server transactions of ENT_SIP: how
// they are taken and given back, the conn_id tables, the Call-ID and branch
// hash tables and the matching of received requests to server transactions.
// Records come from the shared pools and belong to one endpoint.
#pragma once

#include <cstdint>

#include "platform/int_types.h"
#include "sip/text/sip_str.h"
#include "sip/ent/sip_entity_int.h"

inline constexpr u32 SIP_NONE = 0xFFFFFFFFu;

// Results of taking a call record.
enum : u8 {
  SIP_CALL_OK = 2,
  SIP_CALL_NONE = 3,
  SIP_CALL_TIMER = 15,
  SIP_CALL_IN_USE = 17,
  SIP_CALL_NO_RECORD = 30,
  SIP_CALL_BAD_CONN = 32,
  SIP_CALL_CONGESTED = 46,
};

// The active, not closing call of a conn_id, or SIP_NONE.
[[nodiscard]] u32 sip_call__check(const sip_endpoint& ep, u16 conn_id);
// A call for an outgoing INVITE, OPTIONS or REGISTER on the user's conn_id.
[[nodiscard]] u8 sip_call__alloc_outgoing(sip_endpoint& ep, u16 conn_id, u32* call);
// A call for a received request, on the next incoming conn_id; the received
// code and CSeq seed the dialogs.
[[nodiscard]] u8 sip_call__alloc_incoming(sip_endpoint& ep, u8 code, u32 cseq, u32* call);
// First half of a release (timers and parked messages go, the call moves to
// the closing table) and second half (slots, server transactions, bucket,
// tables; back to the pool).
void sip_call__close(sip_endpoint& ep, u32 call);
void sip_call__free(sip_endpoint& ep, u32 call);
// After each exchange: lowers the highest dialog, or closes and frees a
// call left without dialogs (kept while a slot still retransmits).
void sip_call__cleanup(sip_endpoint& ep, u32 call);

// Call-ID: stores it in the call and enters the call at the head of its
// bucket; the lookup walks that bucket from `after` (SIP_NONE: the start).
void sip_call__enter_callid(sip_endpoint& ep, u32 call, const sip_callid_parsed& id);
[[nodiscard]] u32 sip_call__by_callid(const sip_endpoint& ep, const sip_callid_parsed& id, u32 after = SIP_NONE);

// The dialog-generation counter seeding each new dialog's local CSeq.
u32 sip_dialog_generation();
void sip_dialog_generation_set(u32 v);

// A slot for a dialog of the call: a free one, else the oldest with its ACK
// sent.  Its index, or SIP_NO_INDEX.
[[nodiscard]] u8 sip_tx_slot__take(sip_call& c, u8 dialog);
void sip_tx_slot__release(sip_transaction_slot& s);
void sip_dialog__close(sip_call& c, u8 dialog);
// One more answer owed by the user on the dialog: its supervision timer runs
// for the supervision interval from now (pushed back, never brought forward).
void sip_dialog__arm_supervision(const sip_endpoint& ep, sip_call& c, u8 dialog);
// The dialog is done but for the ACK it sent: as a close, except that the
// kept ACK stays in its slot (to answer copies of the final response) until
// its life ends.
void sip_dialog__release_if_idle_but_ack(sip_call& c, u8 dialog);
// Closes every dialog of the call still early (INVITE sent, cancelling or
// proceeding), but `except`.
void sip_call__end_early_dialogs(sip_call& c, u8 except);

// What identifies a received request for its server transaction.
struct sip_stx_key {
  sip_str branch;
  sip_str sent_by;
  bool sent_by_is_address = false;
  u32 cseq = 0;
  u8 cseq_method = 0;
  sip_str callid_word, callid_host;
  sip_str to_tag, from_tag;
};

[[nodiscard]] u32 sip_server_tx__alloc(sip_endpoint& ep, u8 request_code);
void sip_server_tx__fill(sip_endpoint& ep, u32 stx, const sip_stx_key& key);
// The server transaction of a request of `code` (ACK: its INVITE's, or any
// answered one), or SIP_NONE.  `call_conn` is the current call's conn_id.
[[nodiscard]] u32 sip_server_tx__match(const sip_endpoint& ep, u8 code, const sip_stx_key& key, u16 call_conn,
                                       bool by_call, bool by_number);
void sip_server_tx__link_call(sip_endpoint& ep, u32 stx, u32 call);
// Answered with a final response: out of the hash table, onto the finished
// list until now + hold time.
void sip_server_tx__complete(sip_endpoint& ep, u32 stx);
// A final response of 300 or more to an INVITE that opened no dialog: the
// transaction keeps it (already stored) and, completed as above, re-sends it
// to `address`:`port` at T1, doubling up to T2, until the ACK ends it (or
// its hold time does); the call need not wait for the ACK.
void sip_server_tx__await_ack(sip_endpoint& ep, u32 stx, const std::array<u8, 4>& address, u16 port);
// Expiry of such a transaction's re-send timer.
void sip_server_tx__resend_due(sip_endpoint& ep, const msg_t* m);
void sip_server_tx__free(sip_endpoint& ep, u32 stx);
// Expiry of the finished-list sweep: frees what is due, re-arms for the rest.
void sip_server_tx__sweep(sip_endpoint& ep);
