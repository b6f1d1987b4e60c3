// Transmission by message kind, stored texts and re-sending.
#include "platform/int_types.h"
#include "sip/ent/sip_tx.h"

#include <cstring>

#include "common/byte_order.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "runtime/sock.h"
#include "sip/ent/sip_call.h"
#include "sip/ent/sip_entity.h"
#include "sip/ent/sip_entity_int.h"
#include "sip/ent/sip_slot_sm.h"

namespace {

constexpr std::size_t ADDR_RECORD = 28;

bool is_request(u8 code) { return code <= 81; }

u32 timeout_of(const sip_endpoint& ep) {
  return ep.cfg.t1_ms == SIP_TIMER_NEVER ? SIP_TIMER_NEVER : 64u * ep.cfg.t1_ms;
}

// The slot's retransmission (T1) and time-out (64 x T1) run from the moment
// its message leaves, not from the moment it was handed to the transport:
// the transport entity works in this task and takes the datagram request
// before anything queued after it, so an arm request that ENT_SIP sends
// itself just behind the datagram starts the cells when the datagram has
// gone.  While the task is busy (several calls set up at once), a request
// queued behind other work would otherwise be sent a second time as soon as
// it had left.  Until then both owners count as running without a cell.
// Call after the datagram request has been sent.
void arm_slot(const sip_endpoint& ep, const sip_call& c, sip_transaction_slot& s) {
  s.interval_ms = ep.cfg.t1_ms;
  s.retransmit.stop();
  s.timeout.stop();
  s.retransmit.start(SIP_TIMER_NEVER, s.index);
  s.timeout.start(SIP_TIMER_NEVER, s.index);
  s.last_use = om_os_tick();
  const u8 arm[SIP_SLOT_ARM_SIZE] = {s.index, s.retransmit.counter, s.timeout.counter};
  if (!sip_send_data(ENT_SIP, ep.cfg.nai, 0, c.conn_id, SIP_SLOT_ARM_RQ, arm, SIP_SLOT_ARM_SIZE)) {
    // No message to wait with: the cells start now.
    (void)s.retransmit.resume(s.retransmit.counter, s.interval_ms, s.index);
    (void)s.timeout.resume(s.timeout.counter, timeout_of(ep), s.index);
  }
}

// A free transaction slot of the message's dialog, moved on by `ev` and
// holding the message's CSeq; null when the call has none left.
sip_transaction_slot* take_slot(sip_call& c, const sip_tx_msg& msg, sip_slot_ev ev) {
  const u8 i = sip_tx_slot__take(c, msg.dialog);
  if (i == SIP_NO_INDEX) return nullptr;
  sip_transaction_slot& s = c.slots[i];
  s.state = sip_slot_next(s.state, ev);
  s.cseq = msg.cseq;
  return &s;
}

}  // namespace

void sip_tx_slot__arm_sent(sip_endpoint& ep, const msg_t* m) {
  if (m->data_size < SIP_SLOT_ARM_SIZE || m->conn_id >= ep.active_calls.size()) return;
  const u8* p = Msg_inline_data(m);
  if (p[0] >= SIP_SLOTS) return;
  // The slot of the call that sent it, active or closing since; a slot
  // released or armed again meanwhile has other counters.
  for (u32 ci : {ep.active_calls[m->conn_id], ep.closing_calls[m->conn_id]}) {
    if (ci == SIP_NONE) continue;
    sip_transaction_slot& s = sip_mod.pools.calls[ci].slots[p[0]];
    if (!s.retransmit.resume(p[1], s.interval_ms, s.index)) continue;
    (void)s.timeout.resume(p[2], timeout_of(ep), s.index);
    return;
  }
}

std::vector<u8> sip_tx__take_chain(buffer_t* chain, u16 skip) {
  std::vector<u8> out;
  for (const buffer_t* b = chain; b != nullptr; b = b->next) {
    const u8* d = Buffer_data(b);
    out.insert(out.end(), d, d + b->data_size);
  }
  Free_buffer(chain);
  if (skip > 0) out.erase(out.begin(), out.begin() + std::min<std::size_t>(skip, out.size()));
  return out;
}

void sip_tx__send_datagram(const sip_endpoint& ep, const std::array<u8, 4>& address, u16 port, const u8* text,
                           std::size_t length) {
  std::vector<u8> data(ADDR_RECORD + length);
  data[0] = 4;
  std::memcpy(&data[4], address.data(), 4);
  put_host16(&data[8], port);
  data[12] = 4;
  if (length) std::memcpy(&data[ADDR_RECORD], text, length);
  buffer_t* chain = Store_data_in_buffers(data.data(), static_cast<u32>(data.size()), nullptr);
  if (chain == nullptr) return;
  msg_t* m = Alloc_msg();
  if (m == nullptr) {
    Free_buffer(chain);
    return;
  }
  Msg_attach_chain(m, chain);
  sip_send_msg(m, ep.cfg.transport_entity, ep.cfg.transport_nai, 1, 0, SOCK_U_DA_RQ);
}

void sip_tx_slot__resend(const sip_endpoint& ep, const sip_call& c, const sip_transaction_slot& s) {
  if (s.stored.empty()) return;
  sip_tx__send_datagram(ep, c.dest_address, c.dest_port, s.stored.data(), s.stored.size());
}

u8 sip_tx__send_by_kind(sip_endpoint& ep, const sip_tx_msg& msg, const std::vector<u8>& text) {
  sip_call& c = sip_mod.pools.calls[msg.call];
  auto send = [&] { sip_tx__send_datagram(ep, c.dest_address, c.dest_port, text.data(), text.size()); };
  sip_server_transaction* stx = msg.server_tx != SIP_NONE ? &sip_mod.pools.server_txs[msg.server_tx] : nullptr;

  if (msg.code == 'B') {
    for (sip_transaction_slot& s : c.slots) {
      if (s.state == SIP_SLOT_FREE || s.kind != 'B' || s.dialog != msg.dialog) continue;
      s.state = sip_slot_next(s.state, sip_slot_ev::ack_sent);
      s.kind = 0;
      s.stored = text;
      s.timeout.stop();
      s.retransmit.start(ep.cfg.ack_life_ms, s.index);
      s.last_use = om_os_tick();
      break;
    }
    send();
    return SIP_TX_SENT;
  }
  if (msg.code == 'a') {
    if (msg.status < 200) {
      if (stx != nullptr) {
        stx->stored = text;
        stx->has_stored = true;
      }
      send();
      return SIP_TX_SENT;
    }
    if (msg.refusal_outside_dialog && stx != nullptr) {
      stx->stored = text;
      stx->has_stored = true;
      send();
      sip_server_tx__await_ack(ep, msg.server_tx, c.dest_address, c.dest_port);
      return SIP_TX_SENT;
    }
    sip_transaction_slot* s = take_slot(c, msg, sip_slot_ev::answer_sent);
    if (s == nullptr) return SIP_TX_NO_SLOT;
    s->kind = 226;
    s->stored = text;
    if (stx != nullptr) {
      stx->stored.clear();
      stx->has_stored = false;
      if (msg.status < 300) sip_server_tx__complete(ep, msg.server_tx);
    }
    send();
    arm_slot(ep, c, *s);
    return SIP_TX_SENT;
  }
  if (!is_request(msg.code)) {
    if (stx != nullptr) {
      stx->stored = text;
      stx->has_stored = true;
      if (msg.status >= 200) sip_server_tx__complete(ep, msg.server_tx);
    }
    send();
    return SIP_TX_SENT;
  }
  sip_transaction_slot* slot = take_slot(c, msg, sip_slot_ev::request_sent);
  if (slot == nullptr) return SIP_TX_NO_SLOT;
  sip_transaction_slot& s = *slot;
  s.branch = {};
  if (msg.branch != nullptr) std::strncpy(s.branch.data(), msg.branch, s.branch.size() - 1);
  s.kind = static_cast<u8>(msg.code + 128);
  s.stored = text;
  send();
  arm_slot(ep, c, s);
  return SIP_TX_SENT;
}

bool sip_server_tx__resend(sip_endpoint& ep, u32 idx) {
  const sip_server_transaction& t = sip_mod.pools.server_txs[idx];
  if (t.has_stored && !t.stored.empty()) {
    // The destination is the source of the request being handled.
    sip_tx__send_datagram(ep, sip_mod.rx_address, sip_mod.rx_port, t.stored.data(), t.stored.size());
    return true;
  }
  // After a final INVITE response the copy is the one its slot keeps (the
  // transaction may have left its call when a 2xx completed it).
  u32 ci = t.call;
  if (ci == SIP_NONE && t.conn_id < ep.active_calls.size()) {
    ci = ep.active_calls[t.conn_id];
    if (ci == SIP_NONE) ci = ep.closing_calls[t.conn_id];
  }
  if (ci == SIP_NONE) return false;
  const sip_call& c = sip_mod.pools.calls[ci];
  for (const sip_transaction_slot& s : c.slots) {
    if (s.state != SIP_SLOT_FREE && s.kind == 226 && s.cseq == t.cseq && !s.stored.empty()) {
      sip_tx__send_datagram(ep, sip_mod.rx_address, sip_mod.rx_port, s.stored.data(), s.stored.size());
      return true;
    }
  }
  return false;
}
