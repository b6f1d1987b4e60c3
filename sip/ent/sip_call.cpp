// Records of ENT_SIP: calls, dialogs, transaction slots, server transactions.
#include "platform/int_types.h"
#include "sip/ent/sip_call.h"

#include <algorithm>
#include <cstring>

#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "runtime/timer.h"
#include "sip/ent/sip_entity.h"
#include "sip/ent/sip_tx.h"
#include "sip/ent/sip_slot_sm.h"

namespace {

u32 generation = 0;

void copy_text(sip_text& dst, sip_str s) {
  const std::size_t n = std::min<std::size_t>(s.ptr != nullptr ? s.len : 0, dst.size() - 1);
  if (n) std::memcpy(dst.data(), s.ptr, n);
  dst[n] = '\0';
}
bool text_equal(const sip_text& t, sip_str s) { return sip_str__cmp_cstr(t.data(), s) == 0; }

i32 ticks_until(u32 deadline) { return static_cast<i32>(deadline - om_os_tick()); }

void release_call_timers(sip_call& c) {
  c.fork.release();
  for (sip_dialog& d : c.dialogs) {
    d.supervision.release();
    d.bye_hold.release();
  }
}

u8 sip_call__init(const sip_endpoint& ep, sip_call& c) {
  const u16 nai = ep.cfg.nai;
  bool ok = (c.fork.cell = Timer_alloc(ENT_SIP, nai, SIP_TIMER_ENDPOINT, c.conn_id)) != nullptr;
  for (sip_dialog& d : c.dialogs) {
    ok = ok && (d.supervision.cell = Timer_alloc(ENT_SIP, nai, SIP_TIMER_ENDPOINT, c.conn_id)) != nullptr;
    ok = ok && (d.bye_hold.cell = Timer_alloc(ENT_SIP, nai, SIP_TIMER_BYE_HOLD, c.conn_id)) != nullptr;
  }
  for (sip_transaction_slot& s : c.slots) {
    ok = ok && (s.retransmit.cell = Timer_alloc(ENT_SIP, nai, SIP_TIMER_RETRANSMIT, c.conn_id)) != nullptr;
    ok = ok && (s.timeout.cell = Timer_alloc(ENT_SIP, nai, SIP_TIMER_TIMEOUT, c.conn_id)) != nullptr;
  }
  return ok ? SIP_CALL_OK : SIP_CALL_TIMER;
}

// Steps 2-8 of taking a record for `conn_id`.
u8 take_call(sip_endpoint& ep, u16 conn_id, bool incoming, u8 code, u32 cseq, u32* out) {
  auto& pool = sip_mod.pools.calls;
  const u32 held = ep.active_calls[conn_id];
  if (held != SIP_NONE) {
    if (pool[held].closing == 0) return SIP_CALL_IN_USE;
    if (ep.closing_calls[conn_id] != SIP_NONE && ep.closing_calls[conn_id] != held)
      sip_call__free(ep, ep.closing_calls[conn_id]);
    ep.closing_calls[conn_id] = held;
    ep.active_calls[conn_id] = SIP_NONE;
  }
  const u32 idx = pool.take();
  if (idx == SIP_NONE) return incoming ? SIP_CALL_NONE : SIP_CALL_NO_RECORD;
  ep.active_calls[conn_id] = idx;
  sip_call& c = pool[idx];
  c.conn_id = conn_id;
  c.dest_port = ep.cfg.default_port;
  for (sip_dialog& d : c.dialogs) {
    d.local_cseq = generation;
    if (incoming) {
      d.our_invite_cseq = generation;
      d.pending_request = code;
      d.remote_cseq = cseq;
    }
  }
  for (u8 i = 0; i < SIP_SLOTS; ++i) {
    c.slots[i].interval_ms = ep.cfg.t1_ms;
    c.slots[i].index = i;
  }
  generation = generation >= 0x7fffffffu ? 0 : generation + 1;
  if (conn_id == ep.next_incoming_conn_id) {
    u16 next = 0xFFFF;
    for (u32 k = conn_id; k-- > 0;)
      if (ep.active_calls[k] == SIP_NONE) {
        next = static_cast<u16>(k);
        break;
      }
    if (next == 0xFFFF)
      for (u32 k = conn_id; k-- > 0;)
        if (ep.active_calls[k] != SIP_NONE && pool[ep.active_calls[k]].closing != 0) {
          next = static_cast<u16>(k);
          break;
        }
    ep.next_incoming_conn_id = next;
  }
  if (sip_call__init(ep, c) != SIP_CALL_OK) {
    sip_call__close(ep, idx);
    sip_call__free(ep, idx);
    sip_report_error(15, static_cast<u8>(idx));
    return SIP_CALL_TIMER;
  }
  *out = idx;
  return SIP_CALL_OK;
}

void bucket_remove(std::vector<u32>& b, u32 v) { b.erase(std::remove(b.begin(), b.end(), v), b.end()); }

}  // namespace

u32 sip_dialog_generation() { return generation; }
void sip_dialog_generation_set(u32 v) { generation = v; }

u32 sip_call__check(const sip_endpoint& ep, u16 conn_id) {
  if (conn_id >= ep.active_calls.size()) return SIP_NONE;
  const u32 c = ep.active_calls[conn_id];
  if (c == SIP_NONE || sip_mod.pools.calls[c].closing != 0) return SIP_NONE;
  return c;
}

u8 sip_call__alloc_outgoing(sip_endpoint& ep, u16 conn_id, u32* call) {
  if (om_os_get_congestion() != 0) return SIP_CALL_CONGESTED;
  if (conn_id >= ep.active_calls.size()) return SIP_CALL_BAD_CONN;
  return take_call(ep, conn_id, false, 0, 0, call);
}

u8 sip_call__alloc_incoming(sip_endpoint& ep, u8 code, u32 cseq, u32* call) {
  if (om_os_get_congestion() != 0) return SIP_CALL_CONGESTED;
  if (ep.next_incoming_conn_id == 0xFFFF) return SIP_CALL_NONE;
  return take_call(ep, ep.next_incoming_conn_id, true, code, cseq, call);
}

void sip_call__close(sip_endpoint& ep, u32 idx) {
  sip_call& c = sip_mod.pools.calls[idx];
  release_call_timers(c);
  c.parked.clear();
  if (ep.next_incoming_conn_id == 0xFFFF || ep.next_incoming_conn_id < c.conn_id) ep.next_incoming_conn_id = c.conn_id;
  c.closing = 1;
  if (c.conn_id < ep.closing_calls.size() && ep.closing_calls[c.conn_id] == SIP_NONE) {
    ep.closing_calls[c.conn_id] = idx;
    if (ep.active_calls[c.conn_id] == idx) ep.active_calls[c.conn_id] = SIP_NONE;
  }
}

void sip_call__free(sip_endpoint& ep, u32 idx) {
  sip_call& c = sip_mod.pools.calls[idx];
  const std::vector<u32> stxs = c.server_txs;
  for (u32 s : stxs) sip_server_tx__free(ep, s);
  for (sip_transaction_slot& s : c.slots) {
    sip_tx_slot__release(s);
    s.retransmit.release();
    s.timeout.release();
  }
  release_call_timers(c);
  if (c.in_bucket && !ep.callid_hash.empty()) bucket_remove(ep.callid_hash[c.callid_hash % ep.callid_hash.size()], idx);
  if (c.conn_id < ep.active_calls.size()) {
    if (ep.active_calls[c.conn_id] == idx) ep.active_calls[c.conn_id] = SIP_NONE;
    if (ep.closing_calls[c.conn_id] == idx) ep.closing_calls[c.conn_id] = SIP_NONE;
  }
  c = sip_call{};
  sip_mod.pools.calls.give_back(idx);
}

void sip_call__cleanup(sip_endpoint& ep, u32 idx) {
  sip_call& c = sip_mod.pools.calls[idx];
  if (c.dialog_count > 0) {
    while (c.highest_dialog > 0 && c.dialogs[c.highest_dialog].state == SIP_DLG_IDLE) --c.highest_dialog;
    return;
  }
  bool ack_kept = false;
  for (const sip_transaction_slot& s : c.slots) {
    if (s.retransmit.running == 0) continue;
    c.dialogs[0].state = SIP_DLG_IDLE;
    if (s.kind != 0) return;
    ack_kept = true;
  }
  sip_call__close(ep, idx);
  if (!ack_kept) sip_call__free(ep, idx);
}

void sip_call__enter_callid(sip_endpoint& ep, u32 idx, const sip_callid_parsed& id) {
  sip_call& c = sip_mod.pools.calls[idx];
  copy_text(c.callid_word, id.word);
  copy_text(c.callid_host, id.host);
  c.callid_addr_len = id.addr_len == 4 && id.addr != nullptr ? 4 : 0;
  if (c.callid_addr_len) std::memcpy(c.callid_addr.data(), id.addr, 4);
  c.callid_hash = sip_hash__host(id);
  if (ep.callid_hash.empty()) return;
  auto& b = ep.callid_hash[c.callid_hash % ep.callid_hash.size()];
  b.insert(b.begin(), idx);
  c.in_bucket = true;
}

u32 sip_call__by_callid(const sip_endpoint& ep, const sip_callid_parsed& id, u32 after) {
  if (ep.callid_hash.empty()) return SIP_NONE;
  const u16 h = sip_hash__host(id);
  const auto& b = ep.callid_hash[h % ep.callid_hash.size()];
  auto it = b.begin();
  if (after != SIP_NONE) {
    it = std::find(b.begin(), b.end(), after);
    if (it != b.end()) ++it;
  }
  for (; it != b.end(); ++it) {
    const sip_call& c = sip_mod.pools.calls[*it];
    if (c.callid_hash != h) continue;
    const sip_callid_stored st{c.callid_word.data(), c.callid_addr_len, c.callid_addr.data(), c.callid_host.data()};
    if (sip_host__cmp(st, id) == SIP_RESULT_OK) return *it;
  }
  return SIP_NONE;
}

u8 sip_tx_slot__take(sip_call& c, u8 dialog) {
  sip_transaction_slot* pick = nullptr;
  for (sip_transaction_slot& s : c.slots)
    if (s.state == SIP_SLOT_FREE) {
      pick = &s;
      break;
    }
  if (pick == nullptr) {
    for (sip_transaction_slot& s : c.slots)
      if (s.state == SIP_SLOT_ACK_SENT && (pick == nullptr || static_cast<i32>(s.last_use - pick->last_use) < 0))
        pick = &s;
    if (pick == nullptr) return SIP_NO_INDEX;
    sip_tx_slot__release(*pick);
  }
  pick->dialog = dialog;
  pick->mark = 'C';
  pick->via_word = 0xFFFF;
  pick->last_use = om_os_tick();
  return pick->index;
}

void sip_tx_slot__release(sip_transaction_slot& s) {
  s.retransmit.stop();
  s.timeout.stop();
  s.stored.clear();
  s.stored.shrink_to_fit();
  s.state = sip_slot_next(s.state, sip_slot_ev::released);
  s.kind = 0;
}

namespace {

// Sets the dialog idle and stops its timers; true when it was open (and so
// counted).
bool dialog_set_idle(sip_call& c, u8 dialog) {
  sip_dialog& d = c.dialogs[dialog];
  const bool was_open = d.state != SIP_DLG_IDLE;
  if (was_open && c.dialog_count > 0) --c.dialog_count;
  d.state = SIP_DLG_IDLE;
  d.supervision.stop();
  // A hold left running would close whatever dialog takes this place next.
  if (d.bye_hold.running != 0) d.bye_hold.stop();
  return was_open;
}

}  // namespace

void sip_dialog__close(sip_call& c, u8 dialog) {
  sip_dialog& d = c.dialogs[dialog];
  const bool was_open = dialog_set_idle(c, dialog);
  d.flags = static_cast<u16>(d.flags & ~0x0040);
  for (sip_transaction_slot& s : c.slots)
    if (s.state != SIP_SLOT_FREE && s.dialog == dialog) sip_tx_slot__release(s);
  if (was_open) sip_report_dialog_event(SIP_DIALOG_EVENT_ANY, &c, dialog);
}

void sip_dialog__arm_supervision(const sip_endpoint& ep, sip_call& c, u8 dialog) {
  sip_dialog& d = c.dialogs[dialog];
  ++d.pending_answers;
  const u32 deadline = om_os_tick() + ep.cfg.supervision_ms;
  if (d.supervision.running == 0 || static_cast<i32>(deadline - d.supervision_deadline) > 0) {
    d.supervision.start(ep.cfg.supervision_ms, static_cast<code_t>(dialog + 3));
    d.supervision_deadline = deadline;
  }
}

void sip_dialog__release_if_idle_but_ack(sip_call& c, u8 dialog) {
  const bool was_open = dialog_set_idle(c, dialog);
  if (was_open) sip_report_dialog_event(SIP_DIALOG_EVENT_ANY, &c, dialog);
  for (sip_transaction_slot& s : c.slots) {
    if (s.state == SIP_SLOT_FREE || s.dialog != dialog) continue;
    if (s.kind == 0 && s.retransmit.running != 0) continue;  // the kept ACK
    sip_tx_slot__release(s);
  }
}

void sip_call__end_early_dialogs(sip_call& c, u8 except) {
  for (u8 d = 0; d < SIP_DIALOGS; ++d) {
    const u8 st = c.dialogs[d].state;
    if (d != except && (st == 2 || st == 3 || st == 4)) sip_dialog__close(c, d);
  }
}

// ---- server transactions ----------------------------------------------------

u32 sip_server_tx__alloc(sip_endpoint& ep, u8 request_code) {
  auto& pool = sip_mod.pools.server_txs;
  u32 idx = pool.take();
  if (idx == SIP_NONE && !ep.finished.empty()) {
    sip_server_tx__free(ep, ep.finished.front());
    if (!ep.finished.empty()) {
      const i32 left = ticks_until(pool[ep.finished.front()].deadline);
      ep.finished_sweep.start(left > 0 ? static_cast<u32>(left) : 0, SIP_TIMER_CODE_FINISHED);
    }
    idx = pool.take();
  }
  if (idx == SIP_NONE) return SIP_NONE;
  pool[idx].index = idx;
  pool[idx].request_code = request_code;
  return idx;
}

void sip_server_tx__fill(sip_endpoint& ep, u32 idx, const sip_stx_key& k) {
  sip_server_transaction& t = sip_mod.pools.server_txs[idx];
  if (!ep.branch_hash.empty()) {
    t.bucket = static_cast<u16>(sip_hash__str(k.branch) % ep.branch_hash.size());
    auto& b = ep.branch_hash[t.bucket];
    b.insert(b.begin(), idx);
  }
  if (k.branch.ptr != nullptr && k.branch.len > 0) {
    copy_text(t.branch, k.branch);
    t.cookie = std::strncmp(t.branch.data(), "z9hG4bK", 7) == 0 ? 1 : 0;
  }
  t.cseq = k.cseq;
  t.cseq_method = k.cseq_method;
  copy_text(t.sent_by, k.sent_by);
  t.sent_by_addr_len = k.sent_by_is_address ? 4 : 0;
  if (t.cookie) return;
  copy_text(t.callid_word, k.callid_word);
  copy_text(t.callid_host, k.callid_host);
  copy_text(t.to_tag, k.to_tag);
  copy_text(t.from_tag, k.from_tag);
}

u32 sip_server_tx__match(const sip_endpoint& ep, u8 code, const sip_stx_key& k, u16 call_conn, bool by_call,
                         bool by_number) {
  if (ep.branch_hash.empty()) return SIP_NONE;
  const auto& b = ep.branch_hash[sip_hash__str(k.branch) % ep.branch_hash.size()];
  constexpr u8 ACK_IN = 226, INVITE_IN = 225;
  for (u32 idx : b) {
    const sip_server_transaction& t = sip_mod.pools.server_txs[idx];
    if (code == ACK_IN) {
      if (t.request_code != INVITE_IN && t.state != SIP_STX_ANSWERED) continue;
    } else if (t.request_code != code) {
      continue;
    }
    if (k.branch.ptr != nullptr && k.branch.len > 0 && !text_equal(t.branch, k.branch)) continue;
    if (!text_equal(t.sent_by, k.sent_by)) continue;
    if (t.cookie) return idx;
    if (by_call) {
      if (call_conn != SIP_NO_CONN && call_conn != t.conn_id) continue;
    } else if (by_number || code == ACK_IN) {
      if (t.cseq != k.cseq) continue;
    } else if (t.cseq != k.cseq || t.cseq_method != k.cseq_method) {
      continue;
    }
    if (!text_equal(t.callid_word, k.callid_word) || !text_equal(t.callid_host, k.callid_host)) continue;
    if (!text_equal(t.from_tag, k.from_tag)) continue;
    return idx;
  }
  return SIP_NONE;
}

void sip_server_tx__link_call(sip_endpoint&, u32 idx, u32 call) {
  sip_server_transaction& t = sip_mod.pools.server_txs[idx];
  if (t.state == SIP_STX_ANSWERED || t.call != SIP_NONE) return;
  sip_call& c = sip_mod.pools.calls[call];
  t.conn_id = c.conn_id;
  t.call = call;
  c.server_txs.push_back(idx);
}

void sip_server_tx__complete(sip_endpoint& ep, u32 idx) {
  sip_server_transaction& t = sip_mod.pools.server_txs[idx];
  if (t.state == SIP_STX_ANSWERED) return;
  // It stays in the branch table so that a copy of its request still finds
  // it (and its stored response) until the sweep frees it.
  // Off its call: it outlives the call on the finished list.
  if (t.call != SIP_NONE) {
    bucket_remove(sip_mod.pools.calls[t.call].server_txs, idx);
    t.call = SIP_NONE;
  }
  if (ep.finished.empty()) ep.finished_sweep.start(ep.cfg.hold_ms, SIP_TIMER_CODE_FINISHED);
  t.deadline = om_os_tick() + ep.cfg.hold_ms / Timer_get_unit();
  ep.finished.push_back(idx);
  t.state = SIP_STX_ANSWERED;
}

void sip_server_tx__await_ack(sip_endpoint& ep, u32 idx, const std::array<u8, 4>& address, u16 port) {
  sip_server_tx__complete(ep, idx);
  sip_server_transaction& t = sip_mod.pools.server_txs[idx];
  t.awaiting_ack = 1;
  t.dest_address = address;
  t.dest_port = port;
  t.resend_ms = ep.cfg.t1_ms;
  // Without a cell (the pool is empty, or the record number does not fit a
  // conn_id) the response is only sent again for copies of the INVITE.
  if (t.resend_ms == SIP_TIMER_NEVER || idx > 0xFFFEu) return;
  if (t.resend.cell == nullptr)
    t.resend.cell = Timer_alloc(ENT_SIP, ep.cfg.nai, SIP_TIMER_SERVER_TX, static_cast<u16>(idx));
  if (t.resend.cell != nullptr) t.resend.start(t.resend_ms, 0);
}

void sip_server_tx__resend_due(sip_endpoint& ep, const msg_t* m) {
  const u32 idx = m->conn_id;
  if (idx >= sip_mod.pools.server_txs.capacity()) return;
  sip_server_transaction& t = sip_mod.pools.server_txs[idx];
  if (t.awaiting_ack == 0 || t.resend.cell == nullptr || !t.resend.accept(m)) return;
  if (t.has_stored && !t.stored.empty())
    sip_tx__send_datagram(ep, t.dest_address, t.dest_port, t.stored.data(), t.stored.size());
  t.resend_ms = t.resend_ms > ep.cfg.t2_ms / 2 ? ep.cfg.t2_ms : t.resend_ms * 2;
  t.resend.start(t.resend_ms, 0);
}

void sip_server_tx__free(sip_endpoint& ep, u32 idx) {
  sip_server_transaction& t = sip_mod.pools.server_txs[idx];
  if (t.resend.cell != nullptr) t.resend.release();
  if (t.bucket != 0xFFFF && t.bucket < ep.branch_hash.size()) bucket_remove(ep.branch_hash[t.bucket], idx);
  if (t.call != SIP_NONE) bucket_remove(sip_mod.pools.calls[t.call].server_txs, idx);
  // Only an answered transaction is on the finished list; the sweep frees
  // them from its front, so a search of the whole list is rarely needed.
  if (t.state == SIP_STX_ANSWERED) {
    if (!ep.finished.empty() && ep.finished.front() == idx) ep.finished.pop_front();
    else ep.finished.remove(idx);
  }
  t = sip_server_transaction{};
  sip_mod.pools.server_txs.give_back(idx);
}

void sip_server_tx__sweep(sip_endpoint& ep) {
  ep.finished_sweep.running = 0;
  auto& pool = sip_mod.pools.server_txs;
  while (!ep.finished.empty() && ticks_until(pool[ep.finished.front()].deadline) <= 0)
    sip_server_tx__free(ep, ep.finished.front());
  if (!ep.finished.empty()) {
    const i32 left = ticks_until(pool[ep.finished.front()].deadline);
    ep.finished_sweep.start(static_cast<u32>(left) * Timer_get_unit(), SIP_TIMER_CODE_FINISHED);
  }
}
