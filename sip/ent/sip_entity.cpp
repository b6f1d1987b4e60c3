// ENT_SIP: handler, management by ENT_SM, endpoints, pools, the tick, and
// the upward error and report messages.
#include "platform/int_types.h"
#include "sip/ent/sip_entity.h"

#include <algorithm>
#include <cstring>
#include <new>

#include "common/byte_order.h"
#include "runtime/buffer.h"
#include "runtime/mem.h"
#include "runtime/sm.h"
#include "runtime/sock.h"
#include "runtime/timer.h"
#include "sip/prim/sip_prim_dispatch.h"
#include "sip/text/sip_str.h"
#include "sip/ent/sip_call.h"
#include "sip/ent/sip_entity_int.h"
#include "sip/ent/sip_timer.h"
#include "sip/ent/sip_send.h"
#include "sip/ent/sip_tx.h"
#include "sip/ent/sip_rx.h"

sip_module sip_mod;

namespace {

constexpr u16 NO_NAI = 0xFFFF;
constexpr std::size_t REPORT_SIZE = 72;
constexpr u8 ERROR_IN_SIZE = 6;

// ---- hooks of the downward dispatch -------------------------------------

bool hook_endpoint_ready() { return sip_mod.ep != nullptr && sip_mod.ep->running != 0; }

void hook_send_error_in(u16 conn_id, u8 error, u8 d1, u8 d2, u8 d3) {
  if (sip_mod.ep == nullptr) return;
  sip_send_error_in(sip_mod.ep->cfg.user_entity, sip_mod.ep->cfg.nai, conn_id, error, d1, d2, d3);
}

u8 hook_call_check(u16 conn_id) {
  if (sip_mod.ep == nullptr) return 3;
  const u32 c = sip_call__check(*sip_mod.ep, conn_id);
  if (c == SIP_NONE) return 3;
  sip_mod.call = c;
  return 2;
}

u8 hook_call_alloc_outgoing(u16 conn_id) {
  if (sip_mod.ep == nullptr) return 3;
  u32 c = SIP_NONE;
  const u8 r = sip_call__alloc_outgoing(*sip_mod.ep, conn_id, &c);
  if (r == SIP_CALL_OK) sip_mod.call = c;
  return r;
}

bool hook_call_has_dialog() { return sip_mod.call != SIP_NONE && sip_mod.pools.calls[sip_mod.call].dialog_count > 0; }

void install_dispatch_hooks() {
  sip_dispatch_env = sip_dispatch_hooks{};
  sip_dispatch_env.endpoint_ready = hook_endpoint_ready;
  sip_dispatch_env.call_check = hook_call_check;
  sip_dispatch_env.call_alloc_outgoing = hook_call_alloc_outgoing;
  sip_dispatch_env.call_has_dialog = hook_call_has_dialog;
  sip_send__install_hooks();
  sip_dispatch_env.send_error_in = hook_send_error_in;
}

// ---- pools and endpoints -------------------------------------------------

u8 sip_pools_init(const sip_config& cfg) {
  if (sip_mod.pools.built) return SIP_CFG_OK;
  const sip_global_settings g = sip_config_resolve_global(cfg);
  try {
    sip_mod.pools.calls.build(g.call_count);
    sip_mod.pools.server_txs.build(g.server_tx_count);
    sip_mod.pools.cache.build(g.cache_count);
    sip_mod.pools.lookups.build(g.lookup_count);
    for (u32 i = 0; i < g.server_tx_count; ++i) sip_mod.pools.server_txs[i].index = i;
    const u16 nais = om_os_get_max_nai();
    sip_mod.by_user_nai.assign(nais, nullptr);
    sip_mod.by_transport_nai.assign(nais, nullptr);
  } catch (const std::bad_alloc&) {
    sip_mod.pools = sip_shared_pools{};
    return SIP_CFG_MEMORY;
  }
  sip_seq_window.window = g.tick_window;
  sip_mod.tick.cell = Timer_alloc(ENT_SIP, 0, SIP_TIMER_TICK, 0);
  if (sip_mod.tick.cell == nullptr) return SIP_CFG_TIMER;
  sip_mod.tick_period_ms = g.tick_period_ms;
  sip_mod.tick.counter = 0;
  if (g.tick_period_ms != SIP_TIMER_NEVER) {
    sip_mod.tick.start(g.tick_period_ms, 0);
  } else {
    sip_mod.tick.start(SIP_TIMER_NEVER, 0);
  }
  sip_seq_window.sequence = 0;
  sip_seq_window.acknowledged = 0;
  sip_seq_window.not_available = 0;
  sip_mod.pools.built = true;
  return SIP_CFG_OK;
}

void pools_free() {
  sip_mod.tick.release();
  sip_mod.pools.calls.clear();
  sip_mod.pools.server_txs.clear();
  sip_mod.pools.cache.clear();
  sip_mod.pools.lookups.clear();
  sip_mod.pools.built = false;
  sip_mod.by_user_nai.clear();
  sip_mod.by_transport_nai.clear();
}

void endpoint_unlink(sip_endpoint* ep) {
  ep->lookup_sweep.release();
  ep->finished_sweep.release();
  ep->cache_refresh.release();
  sip_dns__release_all(*ep);
  for (auto* table : {&ep->active_calls, &ep->closing_calls})
    for (u32 c : *table)
      if (c != SIP_NONE) {
        sip_call__close(*ep, c);
        sip_call__free(*ep, c);
      }
  while (!ep->finished.empty()) sip_server_tx__free(*ep, ep->finished.front());
  if (ep->cfg.nai < sip_mod.by_user_nai.size()) sip_mod.by_user_nai[ep->cfg.nai] = nullptr;
  if (ep->cfg.transport_nai < sip_mod.by_transport_nai.size())
    sip_mod.by_transport_nai[ep->cfg.transport_nai] = nullptr;
  sip_mod.endpoints.remove_if([ep](const std::unique_ptr<sip_endpoint>& p) { return p.get() == ep; });
}

// Builds and configures the endpoint of one entry.
u8 sip_endpoint_configure(const sip_config_endpoint& entry) {
  const u16 nais = static_cast<u16>(sip_mod.by_user_nai.size());
  if (entry.nai >= nais || sip_mod.by_user_nai[entry.nai] != nullptr) return SIP_CFG_BAD_NAI;
  if (entry.transport_nai != NO_NAI &&
      (entry.transport_nai >= nais || sip_mod.by_transport_nai[entry.transport_nai] != nullptr))
    return SIP_CFG_BAD_NAI;
  if (entry.address_type != 1) return SIP_CFG_ADDRESS_TYPE;
  std::unique_ptr<sip_endpoint> ep;
  try {
    ep = std::make_unique<sip_endpoint>();
    ep->cfg = sip_config_resolve(entry);
    ep->lookup_table.assign(ep->cfg.lookup_table_size, sip_pool<sip_pending_lookup>::npos);
    ep->active_calls.assign(ep->cfg.max_calls, sip_pool<sip_call>::npos);
    ep->closing_calls.assign(ep->cfg.max_calls, sip_pool<sip_call>::npos);
    ep->callid_hash.resize(ep->cfg.callid_buckets);
    ep->branch_hash.resize(ep->cfg.branch_buckets);
  } catch (const std::bad_alloc&) {
    return SIP_CFG_MEMORY;
  }
  const u16 nai = ep->cfg.nai;
  ep->lookup_sweep.cell = Timer_alloc(ENT_SIP, nai, SIP_TIMER_LOOKUP, 0);
  ep->finished_sweep.cell = Timer_alloc(ENT_SIP, nai, SIP_TIMER_ENDPOINT, 0);
  if ((ep->cfg.endpoint_flags & SIP_EP_CACHE_REFRESH) != 0)
    ep->cache_refresh.cell = Timer_alloc(ENT_SIP, nai, SIP_TIMER_ENDPOINT, 0);
  if (ep->lookup_sweep.cell == nullptr || ep->finished_sweep.cell == nullptr ||
      ((ep->cfg.endpoint_flags & SIP_EP_CACHE_REFRESH) != 0 && ep->cache_refresh.cell == nullptr)) {
    ep->lookup_sweep.release();
    ep->finished_sweep.release();
    ep->cache_refresh.release();
    return SIP_CFG_TIMER;
  }
  ep->next_incoming_conn_id = static_cast<u16>(ep->cfg.max_calls - 1);
  ep->running = 1;
  sip_mod.by_user_nai[nai] = ep.get();
  if (ep->cfg.transport_nai != NO_NAI) sip_mod.by_transport_nai[ep->cfg.transport_nai] = ep.get();
  sip_mod.endpoints.push_front(std::move(ep));
  return SIP_CFG_OK;
}

u8 configure(const u8* body, u32 length) {
  sip_config cfg;
  if (!sip_config_read(body, length, &cfg)) return SIP_CFG_NOT_GATHERED;
  u8 r = sip_pools_init(cfg);
  if (r != SIP_CFG_OK) return r;
  for (u16 i = 0; i < cfg.endpoint_count; ++i) {
    r = sip_endpoint_configure(cfg.endpoints[i]);
    if (r != SIP_CFG_OK) return r;
  }
  return SIP_CFG_OK;
}

u8 endpoint_release(u16 nai) {
  if (nai > 65534) return 2;
  sip_endpoint* ep = sip_endpoint_by_user_nai(nai);
  if (ep == nullptr) return 3;
  endpoint_unlink(ep);
  if (sip_mod.endpoints.empty()) pools_free();
  return 2;
}

// The management request goes back to ENT_SM as its confirm.
void sip_reply_in_place(code_t code, const u8* data, u8 n) {
  msg_t* m = sip_mod.msg;
  Msg_set_inline_body(m, data, n);
  m->code = code;
  m->to = m->from;
  m->from = ENT_SIP;
  sip_mod.msg_owned = false;
  Send_msg(m);
}

void sip_mgt_event() {
  msg_t* m = sip_mod.msg;
  switch (m->code) {
    case SM_CONFIG_RQ: {
      u8 area[SIP_CONFIG_SIZE];
      u8 r;
      if (m->p_buffer != nullptr) {
        u32 total = 0;
        u8* body = Reassemble_buffers(area, sizeof area, m->p_buffer, &total);
        if (body == nullptr) {
          r = SIP_CFG_NOT_GATHERED;
        } else {
          r = configure(body, total);
          if (body != area) (void)Free_tmp_block(body);
        }
      } else {
        r = configure(Msg_data(m), m->data_size);
      }
      const u8 co[3] = {static_cast<u8>(r == SIP_CFG_OK ? 2 : 3), r, static_cast<u8>(r == SIP_CFG_OK ? ENT_SIP : 0)};
      sip_reply_in_place(SM_CONFIG_CO, co, 3);
      return;
    }
    case SM_RST_CFG_RQ: {
      const u8 co[2] = {endpoint_release(m->nai), 0};
      sip_reply_in_place(SM_RST_CFG_CO, co, 2);
      return;
    }
    case SM_STOP_RQ: {
      sip_endpoint* ep = sip_endpoint_by_user_nai(m->nai);
      if (ep != nullptr) ep->running = 0;
      const u8 co[2] = {static_cast<u8>(ep != nullptr ? 2 : 3), 0};
      sip_reply_in_place(SM_STOP_CO, co, 2);
      return;
    }
    case SM_INFO_RQ: {
      u8 co[4] = {2, 0, 0, 0};
      put_host16(co + 2, 3);
      sip_reply_in_place(SM_INFO_CO, co, 4);
      return;
    }
    default: return;  // freed by the handler
  }
}

// ---- timers ----------------------------------------------------------------

void tick() {
  const u16 lag = static_cast<u16>(sip_seq_window.sequence - sip_seq_window.acknowledged);
  const u8 lagging = lag > sip_seq_window.window ? 1 : 0;
  ++sip_seq_window.sequence;
  if (!sip_mod.endpoints.empty()) {
    const sip_endpoint& first = *sip_mod.endpoints.front();
    u8 data[4] = {0, 0, lagging, 0};
    put_host16(data, sip_seq_window.sequence);
    sip_send_data(first.cfg.user_entity, first.cfg.nai, 0, 0xFFFF, SIP_TICK_IN, data, 4);
  }
  if (sip_mod.tick_period_ms != SIP_TIMER_NEVER) sip_mod.tick.start(sip_mod.tick_period_ms, 0);
}

void timer_dispatch() {
  const msg_t* m = sip_mod.msg;
  sip_endpoint* ep = sip_endpoint_by_user_nai(m->nai);
  if (ep == nullptr) return;  // the tick stops for good too
  sip_mod.ep = ep;
  switch (m->sapi) {
    case SIP_TIMER_TICK:
      if (sip_mod.tick.running) tick();
      return;
    case SIP_TIMER_LOOKUP:
      if (ep->lookup_sweep.accept(m)) sip_dns__lookup_sweep(*ep);
      return;
    case SIP_TIMER_SERVER_TX: sip_server_tx__resend_due(*ep, m); return;
    case SIP_TIMER_ENDPOINT:
      if (m->code == SIP_TIMER_CODE_CACHE && ep->cache_refresh.accept(m)) sip_dns__cache_refresh(*ep);
      if (m->code == SIP_TIMER_CODE_FINISHED) sip_server_tx__sweep(*ep);
      if (m->code == 1 || m->code >= 3) sip_timer_dispatch_call(*ep, m);
      return;
    default: sip_timer_dispatch_call(*ep, m); return;
  }
}

}  // namespace

void sip_send_msg(msg_t* m, ent_id_t to, u16 nai, u8 sapi, u16 conn_id, code_t code) {
  Msg_set_head(m, {ENT_SIP, to, code, nai, sapi, conn_id});
  Send_msg(m);
}

bool sip_send_data(ent_id_t to, u16 nai, u8 sapi, u16 conn_id, code_t code, const u8* data, u32 n) {
  msg_t* m = nullptr;
  buffer_t* b = nullptr;
  u8* p = nullptr;
  Alloc_msg_data(&m, &b, n, &p);
  if (m == nullptr || p == nullptr) {
    if (m != nullptr) Free_msg(m);
    return false;
  }
  if (n) std::memcpy(p, data, n);
  sip_send_msg(m, to, nai, sapi, conn_id, code);
  return true;
}

sip_endpoint* sip_endpoint_by_user_nai(u16 nai) {
  return nai < sip_mod.by_user_nai.size() ? sip_mod.by_user_nai[nai] : nullptr;
}
sip_endpoint* sip_endpoint_by_transport_nai(u16 nai) {
  return nai < sip_mod.by_transport_nai.size() ? sip_mod.by_transport_nai[nai] : nullptr;
}

void sip_entity_init() {
  // A fresh start of the runtime: timer cells of an earlier run went with
  // it, so the records are dropped without freeing them.
  sip_mod = sip_module{};
  sip_seq_window = sip_seq_window_t{};
  install_dispatch_hooks();
  const om_os_entity_attrs_t attrs{0, 0, 1, nullptr};
  om_os_update_entity(sip_entity_handler, &attrs);
}

void sip_entity_handler(msg_t* m) {
  // What the parser and the response builders took from the work area for
  // this message goes back with it: the area would otherwise fill up after
  // a few thousand messages and every later parse and answer would fail.
  struct work_area_release {
    work_area_release() = default;
    work_area_release(const work_area_release&) = delete;
    work_area_release& operator=(const work_area_release&) = delete;
    ~work_area_release() { sip_work__release(); }
  } const release_after;
  sip_mod.msg = m;
  sip_mod.msg_owned = true;
  sip_mod.ep = nullptr;
  sip_mod.call = SIP_NONE;
  sip_mod.dialog = 255;
  sip_mod.stx = SIP_NONE;
  sip_mod.pending_error_nai = NO_NAI;
  install_dispatch_hooks();

  switch (m->from) {
    case ENT_TI: timer_dispatch(); break;
    case ENT_PH_IT: {
      sip_endpoint* ep = m->code == SOCK_DNS_CO ? sip_endpoint_by_user_nai(m->nai) : nullptr;
      if (ep == nullptr) ep = sip_endpoint_by_transport_nai(m->nai);
      if (ep != nullptr) {
        sip_mod.ep = ep;
        sip_transport_event();
      }
      break;
    }
    case ENT_SM: sip_mgt_event(); break;
    case ENT_SIP: {
      sip_endpoint* ep = sip_endpoint_by_user_nai(m->nai);
      if (ep != nullptr && m->code == SIP_SLOT_ARM_RQ) sip_tx_slot__arm_sent(*ep, m);
      break;
    }
    default: {
      sip_endpoint* ep = sip_endpoint_by_user_nai(m->nai);
      if (ep != nullptr && m->from == ep->cfg.user_entity) {
        sip_mod.ep = ep;
        sip_rx__install_hooks(ep);
        sip_prim_dispatch_down(m);
        break;
      }
      if (ep != nullptr && m->code == SOCK_DNS_CO && m->from == ep->cfg.transport_entity) {
        sip_mod.ep = ep;
        sip_transport_event();
        break;
      }
      ep = sip_endpoint_by_transport_nai(m->nai);
      if (ep != nullptr && (m->from == ep->cfg.transport_entity || m->from == ep->cfg.resolver_entity)) {
        sip_mod.ep = ep;
        sip_transport_event();
        break;
      }
      sip_send_error_in(m->from, m->nai, m->conn_id, SIP_ERR_UNEXPECTED_SENDER, 0, 1, m->code);
      break;
    }
  }
  if (sip_mod.msg_owned) Free_msg(m);
  sip_mod.msg = nullptr;
  sip_mod.msg_owned = false;
  sip_mod.ep = nullptr;
}

void sip_send_error_in(ent_id_t dest, u16 nai, u16 conn_id, u16 error, u8 detail1, u8 detail2, u8 detail3) {
  if (sip_mod.pending_error_nai != NO_NAI) return;
  sip_mod.pending_error_nai = nai;
  sip_mod.pending_error_conn = conn_id;
  u8 body[ERROR_IN_SIZE] = {0, 0, detail1, detail2, detail3, 0};
  put_host16(body, error);
  sip_send_data(dest, nai, 0, conn_id, SIP_ERROR_IN, body, ERROR_IN_SIZE);
}

void sip_report_error(u16 cause, u8 detail) {
  u8 body[REPORT_SIZE] = {};
  body[0] = ENT_SIP;
  body[1] = 'r';
  put_host16(body + 2, cause);
  body[4] = detail;
  body[5] = 255;
  body[6] = 0;
  const u16 nai = sip_mod.ep != nullptr ? sip_mod.ep->cfg.nai : NO_NAI;
  sip_send_data(ENT_SM, nai, 0, 0xFFFF, SM_REPORT_IN, body, REPORT_SIZE);
}

void sip_report_dialog_event(u16 number, const sip_call* call, u8 dialog) {
  u8 body[REPORT_SIZE] = {};
  body[0] = ENT_SIP;
  body[1] = 'e';
  put_host16(body + 2, number);
  body[4] = 255;
  body[5] = 255;
  if (call != nullptr && dialog < SIP_DIALOGS) {
    const sip_dialog& d = call->dialogs[dialog];
    body[5] = d.state;
    // The tag text, 64 characters at most and always terminated.
    const char* tag = d.remote_tag.data();
    const auto n = static_cast<std::size_t>(std::find(tag, tag + SIP_TEXT_SIZE - 1, '\0') - tag);
    std::memcpy(body + 6, d.remote_tag.data(), n);
  }
  const u16 nai = sip_mod.ep != nullptr ? sip_mod.ep->cfg.nai : NO_NAI;
  sip_send_data(ENT_SM, nai, 0, call != nullptr ? call->conn_id : 0xFFFF, SM_REPORT_IN, body, REPORT_SIZE);
}

sip_entity_view sip_entity_state() {
  return {static_cast<u32>(sip_mod.endpoints.size()), sip_mod.pools.built ? &sip_mod.pools : nullptr};
}

const sip_endpoint_settings* sip_endpoint_settings_of(u16 nai) {
  const sip_endpoint* ep = sip_endpoint_by_user_nai(nai);
  return ep != nullptr ? &ep->cfg : nullptr;
}
bool sip_endpoint_running(u16 nai) {
  const sip_endpoint* ep = sip_endpoint_by_user_nai(nai);
  return ep != nullptr && ep->running != 0;
}
u16 sip_endpoint_next_conn_id(u16 nai) {
  const sip_endpoint* ep = sip_endpoint_by_user_nai(nai);
  return ep != nullptr ? ep->next_incoming_conn_id : 0xFFFF;
}
