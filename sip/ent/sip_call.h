// Calls, dialogs, transaction slots and server transactions of ENT_SIP: how
// they are taken and given back, the conn_id tables, the Call-ID and branch
// hash tables and the matching of received requests to server transactions.
// Records come from the shared pools and belong to one endpoint.
#pragma once

#include <cstdint>

#include "sip/text/sip_str.h"
#include "sip/ent/sip_entity_int.h"

inline constexpr std::uint32_t SIP_NONE = 0xFFFFFFFFu;

// Results of taking a call record.
enum : std::uint8_t {
  SIP_CALL_OK = 2,
  SIP_CALL_NONE = 3,
  SIP_CALL_TIMER = 15,
  SIP_CALL_IN_USE = 17,
  SIP_CALL_NO_RECORD = 30,
  SIP_CALL_BAD_CONN = 32,
  SIP_CALL_CONGESTED = 46,
};

// The active, not closing call of a conn_id, or SIP_NONE.
[[nodiscard]] std::uint32_t sip_call__check(const sip_endpoint& ep, std::uint16_t conn_id);
// A call for an outgoing INVITE, OPTIONS or REGISTER on the user's conn_id.
[[nodiscard]] std::uint8_t sip_call__alloc_outgoing(sip_endpoint& ep, std::uint16_t conn_id, std::uint32_t* call);
// A call for a received request, on the next incoming conn_id; the received
// code and CSeq seed the dialogs.
[[nodiscard]] std::uint8_t sip_call__alloc_incoming(sip_endpoint& ep, std::uint8_t code, std::uint32_t cseq,
                                                    std::uint32_t* call);
// First half of a release (timers and parked messages go, the call moves to
// the closing table) and second half (slots, server transactions, bucket,
// tables; back to the pool).
void sip_call__close(sip_endpoint& ep, std::uint32_t call);
void sip_call__free(sip_endpoint& ep, std::uint32_t call);
// After each exchange: lowers the highest dialog, or closes and frees a
// call left without dialogs (kept while a slot still retransmits).
void sip_call__cleanup(sip_endpoint& ep, std::uint32_t call);

// Call-ID: stores it in the call and enters the call at the head of its
// bucket; the lookup walks that bucket from `after` (SIP_NONE: the start).
void sip_call__enter_callid(sip_endpoint& ep, std::uint32_t call, const sip_callid_parsed& id);
[[nodiscard]] std::uint32_t sip_call__by_callid(const sip_endpoint& ep, const sip_callid_parsed& id,
                                                std::uint32_t after = SIP_NONE);

// The dialog-generation counter seeding each new dialog's local CSeq.
std::uint32_t sip_dialog_generation();
void sip_dialog_generation_set(std::uint32_t v);

// A slot for a dialog of the call: a free one, else the oldest with its ACK
// sent.  Its index, or SIP_NO_INDEX.
[[nodiscard]] std::uint8_t sip_tx_slot__take(sip_call& c, std::uint8_t dialog);
void sip_tx_slot__release(sip_transaction_slot& s);
void sip_dialog__close(sip_call& c, std::uint8_t dialog);
// One more answer owed by the user on the dialog: its supervision timer runs
// for the supervision interval from now (pushed back, never brought forward).
void sip_dialog__arm_supervision(const sip_endpoint& ep, sip_call& c, std::uint8_t dialog);
// The dialog is done but for the ACK it sent: as a close, except that the
// kept ACK stays in its slot (to answer copies of the final response) until
// its life ends.
void sip_dialog__release_if_idle_but_ack(sip_call& c, std::uint8_t dialog);
// Closes every dialog of the call still early (INVITE sent, cancelling or
// proceeding), but `except`.
void sip_call__end_early_dialogs(sip_call& c, std::uint8_t except);

// What identifies a received request for its server transaction.
struct sip_stx_key {
  sip_str branch;
  sip_str sent_by;
  bool sent_by_is_address = false;
  std::uint32_t cseq = 0;
  std::uint8_t cseq_method = 0;
  sip_str callid_word, callid_host;
  sip_str to_tag, from_tag;
};

[[nodiscard]] std::uint32_t sip_server_tx__alloc(sip_endpoint& ep, std::uint8_t request_code);
void sip_server_tx__fill(sip_endpoint& ep, std::uint32_t stx, const sip_stx_key& key);
// The server transaction of a request of `code` (ACK: its INVITE's, or any
// answered one), or SIP_NONE.  `call_conn` is the current call's conn_id.
[[nodiscard]] std::uint32_t sip_server_tx__match(const sip_endpoint& ep, std::uint8_t code, const sip_stx_key& key,
                                                 std::uint16_t call_conn, bool by_call, bool by_number);
void sip_server_tx__link_call(sip_endpoint& ep, std::uint32_t stx, std::uint32_t call);
// Answered with a final response: out of the hash table, onto the finished
// list until now + hold time.
void sip_server_tx__complete(sip_endpoint& ep, std::uint32_t stx);
// A final response of 300 or more to an INVITE that opened no dialog: the
// transaction keeps it (already stored) and, completed as above, re-sends it
// to `address`:`port` at T1, doubling up to T2, until the ACK ends it (or
// its hold time does); the call need not wait for the ACK.
void sip_server_tx__await_ack(sip_endpoint& ep, std::uint32_t stx, const std::array<std::uint8_t, 4>& address,
                              std::uint16_t port);
// Expiry of such a transaction's re-send timer.
void sip_server_tx__resend_due(sip_endpoint& ep, const msg_t* m);
void sip_server_tx__free(sip_endpoint& ep, std::uint32_t stx);
// Expiry of the finished-list sweep: frees what is due, re-arms for the rest.
void sip_server_tx__sweep(sip_endpoint& ep);
