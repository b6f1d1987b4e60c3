// Expiries of the call timers of ENT_SIP: slot retransmission, slot
// time-out, INVITE re-send, dialog supervision and the BYE hold.
#include "platform/int_types.h"
#include "sip/ent/sip_timer.h"

#include "runtime/timer.h"
#include "sip/ent/sip_call.h"
#include "sip/ent/sip_entity.h"
#include "sip/ent/sip_rx.h"
#include "sip/ent/sip_tx.h"
#include "sip/ent/sip_slot_sm.h"

namespace {

constexpr u8 INVITE_CLIENT = 193;

// The call of the expiry: the closing table first, then the active one, in
// which the owner picked by `pick` accepts the expiry.
template <class Pick>
u32 find_owner(sip_endpoint& ep, const msg_t* m, Pick pick) {
  if (m->conn_id >= ep.active_calls.size()) return SIP_NONE;
  for (u32 c : {ep.closing_calls[m->conn_id], ep.active_calls[m->conn_id]}) {
    if (c == SIP_NONE) continue;
    sip_timer_owner* o = pick(sip_mod.pools.calls[c]);
    if (o != nullptr && o->accept(m)) return c;
  }
  return SIP_NONE;
}

void error_up(const sip_endpoint& ep, const sip_call& c, u16 error, u8 fatal, u8 code) {
  sip_send_error_in(ep.cfg.user_entity, ep.cfg.nai, c.conn_id, error, 0, fatal, code);
}

void retransmit(sip_endpoint& ep, u32 ci, sip_transaction_slot& s) {
  sip_call& c = sip_mod.pools.calls[ci];
  if (s.kind == 0) {  // a kept ACK whose life ended
    s.stored.clear();
    s.state = sip_slot_next(s.state, sip_slot_ev::released);
    if (c.closing != 0) sip_call__free(ep, ci);
    return;
  }
  u32 next = s.interval_ms > 0x7FFFFFFFu ? SIP_TIMER_NEVER : s.interval_ms * 2;
  if (s.kind != INVITE_CLIENT && next > ep.cfg.t2_ms) next = ep.cfg.t2_ms;
  s.interval_ms = next;
  s.retransmit.start(next, s.index);
  sip_tx_slot__resend(ep, c, s);
}

void timeout(sip_endpoint& ep, u32 ci, sip_transaction_slot& s) {
  sip_call& c = sip_mod.pools.calls[ci];
  const u8 kind = s.kind;
  const u8 d = s.dialog;
  sip_dialog__close(c, d);
  error_up(ep, c, 24, c.dialog_count == 0 ? 1 : 0, kind);
  sip_call__cleanup(ep, ci);
}

void invite_resend(sip_endpoint& ep, u32 ci, sip_transaction_slot& s) {
  sip_call& c = sip_mod.pools.calls[ci];
  sip_tx_slot__resend(ep, c, s);
  if (ep.cfg.invite_resend_ms != SIP_TIMER_NEVER) s.retransmit.start(ep.cfg.invite_resend_ms, s.index);
  if (ep.cfg.t1_ms != SIP_TIMER_NEVER) s.timeout.start(64u * ep.cfg.t1_ms, s.index);
}

}  // namespace

void sip_timer_dispatch_call(sip_endpoint& ep, const msg_t* m) {
  const u8 kind = m->sapi;
  const u8 code = m->code;
  switch (kind) {
    case SIP_TIMER_RETRANSMIT:
    case SIP_TIMER_INVITE_RESEND:
    case SIP_TIMER_TIMEOUT: {
      if (code >= SIP_SLOTS) return;
      const u32 ci = find_owner(ep, m, [&](sip_call& c) -> sip_timer_owner* {
        return kind == SIP_TIMER_TIMEOUT ? &c.slots[code].timeout : &c.slots[code].retransmit;
      });
      if (ci == SIP_NONE) return;
      sip_transaction_slot& s = sip_mod.pools.calls[ci].slots[code];
      if (kind == SIP_TIMER_RETRANSMIT) retransmit(ep, ci, s);
      else if (kind == SIP_TIMER_INVITE_RESEND) invite_resend(ep, ci, s);
      else timeout(ep, ci, s);
      return;
    }
    case SIP_TIMER_BYE_HOLD: {
      if (code >= SIP_DIALOGS) return;
      const u32 ci = find_owner(ep, m, [&](sip_call& c) { return &c.dialogs[code].bye_hold; });
      if (ci == SIP_NONE || ep.active_calls[m->conn_id] != ci) return;
      sip_call& c = sip_mod.pools.calls[ci];
      c.dialogs[code].flags &= ~0x0040;
      error_up(ep, c, 45, 1, 'D');
      sip_dialog__close(c, code);
      sip_call__cleanup(ep, ci);
      return;
    }
    case SIP_TIMER_ENDPOINT: {
      if (code == 1) {  // no more forks: the early dialogs end
        if (m->conn_id >= ep.active_calls.size()) return;
        const u32 ci = ep.active_calls[m->conn_id];
        if (ci == SIP_NONE || !sip_mod.pools.calls[ci].fork.accept(m)) return;
        sip_call__end_early_dialogs(sip_mod.pools.calls[ci], SIP_NO_INDEX);
        sip_call__cleanup(ep, ci);
        return;
      }
      if (code < 3 || code > 8) return;
      const u8 d = static_cast<u8>(code >= 6 ? code - 6 : code - 3);
      if (m->conn_id >= ep.active_calls.size()) return;
      const u32 ci = ep.active_calls[m->conn_id];
      if (ci == SIP_NONE || !sip_mod.pools.calls[ci].dialogs[d].supervision.accept(m)) return;
      sip_call& c = sip_mod.pools.calls[ci];
      sip_dialog& dl = c.dialogs[d];
      if (code >= 6) dl.pending_request = 225;
      error_up(ep, c, code >= 6 ? 36 : 25, 1, dl.pending_request);
      if (dl.pending_request != 0) (void)sip_rx__answer_timed_out(ep, c, dl.pending_request);
      sip_dialog__close(c, d);
      sip_call__cleanup(ep, ci);
      return;
    }
    default: return;
  }
}
