// The FOIP entity: global context, session table, the handler's routing and
// the answers shared by its modules.
#include "session/foip/foip.h"

#include <algorithm>
#include <cstring>

#include "fax/fax_entity.h"
#include "runtime/entity.h"
#include "runtime/sm.h"
#include "runtime/sock.h"
#include "runtime/timer.h"
#include "session/foip/foip_ctx.h"
#include "session/foip/foip_err.h"
#include "session/foip/foip_fax.h"
#include "session/foip/foip_long_data.h"
#include "session/foip/foip_stats.h"
#include "session/foip/foip_t38_mgt.h"
#include "session/trace/foip_trc.h"
#include "t38/t38_entity.h"
#include "t38/t38_report.h"
#include "t38/t38iaf.h"

namespace {

foip__glb_context* g_ctx = nullptr;
foip__layer_hooks g_hooks;

// The T.38 entity's codes (its answers, indications and reports).
namespace t38_codes = kv::t38;

// Fixed {code, event} routing tables of the per-session messages.
struct route_row {
  code_t code;
  u8 event;
};
constexpr route_row kSockRoutes[] = {
    {SOCK_LISTEN_CO, T38_MGT__EVT_SOCK_START_LISTEN_CO},
    {SM_CONFIG_CO, T38_MGT__EVT_SM_SET_CONFIG_CO},
    {SM_RST_CFG_CO, T38_MGT__EVT_SM_RESET_CONFIG_CO},
    {SOCK_REL_CO, T38_MGT__EVT_SOCK_REL_CO},
    {SOCK_REL_IN, T38_MGT__EVT_SOCK_REL_IN},
    {SOCK_EST_CO, T38_MGT__EVT_SOCK_EST_CO},
    {SOCK_EST_IN, T38_MGT__EVT_SOCK_EST_IN},
};
constexpr route_row kT38Routes[] = {
    {t38_codes::T38__DEA_IN, T38_MGT__EVT_T38_DEA_IN},
    {t38_codes::T38__REPORT_IN, T38_MGT__EVT_T38_REPORT_IN},
    {t38_codes::T38__ACT_CO, T38_MGT__EVT_T38_ACT_CO},
    {t38_codes::T38__SET_PARAM_CO, T38_MGT__EVT_T38__SET_PARAM_CO},
    {t38_codes::T38__DEA_CO, T38_MGT__EVT_T38_DEA_CO},
    {t38_codes::T38__SET_CONFIG_CO, T38_MGT__EVT_T38_SET_CONFIG_CO},
    {t38_codes::T38__RESET_CONFIG_CO, T38_MGT__EVT_T38_RESET_CONFIG_CO},
};
constexpr route_row kFaxRoutes[] = {
    {FAX__DEA_IN, FAX_MGT__EVT_FAX_DEA_IN},
    {FAX__ACT_CO, FAX_MGT__EVT_FAX_ACT_CO},
    {FAX__DEA_CO, FAX_MGT__EVT_FAX_DEA_CO},
    {FAX__REPORT_IN, FAX_MGT__EVT_FAX_REPORT_IN},
};
template <size_t N>
const route_row* find_route(const route_row (&t)[N], code_t c) {
  for (const route_row& r : t)
    if (r.code == c) return &r;
  return nullptr;
}

void ssc(foip__na_ctx* s, u8 event) {
  if (g_hooks.ssc_mgt__automaton) g_hooks.ssc_mgt__automaton(s, event);
}
void t38(foip__na_ctx* s, u8 event) {
  if (g_hooks.t38_mgt__automaton) g_hooks.t38_mgt__automaton(s, event, 0, 0);
}
void fax(foip__na_ctx* s, u8 event) {
  if (g_hooks.fax_mgt__automaton) g_hooks.fax_mgt__automaton(s, event);
}

u16 first_word(const msg_t* m) {
  if (Msg_total_size(m) < 2) return 0xFFFF;
  const u8* d = Msg_data(m);
  u16 v;
  std::memcpy(&v, d, 2);
  return v;
}

// The session of a session timer's expiry, with the timer no longer armed;
// null when the session has gone or the expiry is a stale one.
foip__na_ctx* timer_session(const msg_t* m, foip__session_timer foip__na_ctx::*timer) {
  foip__na_ctx* s = foip__get_na_ctx(m->nai);
  if (!s || !(s->*timer).armed || Timer_expiry_id(m) != (s->*timer).id) return nullptr;
  (s->*timer).armed = false;
  return s;
}

void on_timer(msg_t* m) {
  foip__glb_context& g = foip__glb();
  switch (m->code) {
    case FOIP__WAIT_T38_CAP: ssc(nullptr, SSC_MGT__EVT_WAIT_T38_CAP); break;
    case FOIP__TI_GENERAL:
      foip_mgt__admit_one_stop();
      if (g.ti_general) Timer_start(g.ti_general, FOIP__TI_GENERAL_MS, ++g.ti_seq, FOIP__TI_GENERAL);
      break;
    case FOIP__TI_TRC:
      foip_trc__on_timer();
      if (g.ti_trc) Timer_start(g.ti_trc, FOIP__TI_TRC_MS, ++g.ti_seq, FOIP__TI_TRC);
      break;
    case FOIP__TI_LAUNCH_FAX:
      if (foip__na_ctx* s = timer_session(m, &foip__na_ctx::ti_launch)) fax(s, FAX_MGT__EVT_TI_LAUNCH_FAX);
      break;
    case FOIP__TI_T38_DLY:
      if (foip__na_ctx* s = timer_session(m, &foip__na_ctx::ti_t38)) t38(s, T38_MGT__EVT_TI_T38_GENERAL_DELAY);
      break;
    default: break;
  }
}

// The entity a session's configuration confirm answers for.  A refusal of
// the socket entity carries its second error byte (the platform's error)
// where other confirms name the answering entity, and ENT_SM leaves a byte
// that is not 0 as it is: such a refusal belongs to the side of the session
// that waits for a configuration confirm, the T.38 side for its media socket
// (a port taken by another program) before the fax side.  Dropped, it would
// leave the session waiting for ever, its call and controller with it.
ent_id_t answering_entity(const msg_t* m, const foip__na_ctx* s) {
  const u32 size = Msg_total_size(m);
  const ent_id_t ent = size > 2 ? Msg_data(m)[2] : 0;
  if (!s || ent == ENT_FAX || ent == ENT_IP || size == 0 || Msg_data(m)[0] == 2) return ent;
  const u8 t38_state = t38_mgt__get_ctx(s->nai).state;
  if (t38_state == T38_MGT__SOCKET_CNF ||
      (t38_state == T38_MGT__SOCKET_RESET_CNF__UDP && t38_mgt__get_ctx(s->nai).transport == 1) ||
      (t38_state == T38_MGT__SOCKET_RESET_CNF__TCP && t38_mgt__get_ctx(s->nai).transport == 2))
    return ENT_IP;
  const u8 fax_state = foip_fax__state(s->nai);
  if (fax_state == FOIP_FAX__CONFIG || fax_state == FOIP_FAX__RESET_CONFIG) return ENT_FAX;
  return ent;
}

void on_sm(msg_t* m) {
  foip__na_ctx* s = foip__get_na_ctx(m->nai);
  const ent_id_t ent = answering_entity(m, s);  // entity word of the confirm
  if (m->code == SM_CONFIG_CO || m->code == SM_RST_CFG_CO) {
    const bool set = m->code == SM_CONFIG_CO;
    if (ent == ENT_FAX) {
      if (s) fax(s, set ? FAX_MGT__EVT_SM_SET_CONFIG_CO : FAX_MGT__EVT_SM_RESET_CONFIG_CO);
    } else if (ent == ENT_IP && s) {
      t38(s, set ? T38_MGT__EVT_SM_SET_CONFIG_CO : T38_MGT__EVT_SM_RESET_CONFIG_CO);
    } else if (ent == ENT_SIP || ent == ENT_SSC || ent == ENT_IP) {
      ssc(nullptr, SSC_MGT__EVT_SM);
    }
  } else if (m->code == SM_REPORT_IN) {
    ssc(nullptr, SSC_MGT__EVT_SM);
  }
}

void route(msg_t* m) {
  foip__glb_context& g = foip__glb();
  switch (m->from) {
    case ENT_IP:
    case ENT_PH_IT: {
      if (m->code == SOCK_DNS_CO) {
        if (foip__na_ctx* s = foip__get_na_ctx(first_word(m))) t38(s, T38_MGT__EVT_SOCK_DNS_CO);
      } else if (const route_row* r = find_route(kSockRoutes, m->code)) {
        if (foip__na_ctx* s = foip__get_na_ctx(m->nai)) t38(s, r->event);
      }
      return;
    }
    case ENT_T38: {
      if (m->code == t38_codes::T38__CAPABILITIES_CO) {
        if (g.pending_t38_cap) foip_cnf__t38_capabilities();
        else ssc(nullptr, SSC_MGT__EVT_T38_CAPABILITIES_CO);
      } else if (const route_row* r = find_route(kT38Routes, m->code)) {
        if (foip__na_ctx* s = foip__get_na_ctx(m->nai)) t38(s, r->event);
        else if (m->code == t38_codes::T38__REPORT_IN) foip_err__relay_t38_report();
      }
      return;
    }
    case ENT_TI: on_timer(m); return;
    case ENT_SM: on_sm(m); return;
    case ENT_SSC: ssc(foip__get_na_ctx(m->nai), SSC_MGT__EVT_SSC); return;
    case ENT_FAX:
      if (const route_row* r = find_route(kFaxRoutes, m->code))
        if (foip__na_ctx* s = foip__get_na_ctx(m->nai)) fax(s, r->event);
      return;
    case ENT_FOIP: {
      const bool reset_stop_co = m->code == FOIP__STOP_CO;
      if (m->code == FOIP__STOP_RQ || (m->code >= FOIP_MGT__SIP_CALL_OPENED && m->code <= FOIP_MGT__START_DONE))
        foip_mgt__fifo();
      if (reset_stop_co && g.pending_reset && g.nb_ctx == 0) foip__reset_sip_side();
      return;
    }
    default: break;
  }
  // The user.
  switch (m->code) {
    case FOIP__SET_CONFIG_RQ: foip_cnf__glb_set_config(); break;
    case FOIP__START_RQ:
    case FOIP__STOP_RQ: foip_mgt__fifo(); break;
    case FOIP__RESET_CONFIG_RQ: foip_cnf__glb_reset_config(); break;
    case FOIP__T38_CAPABILITIES_RQ: foip_cnf__t38_capabilities(); break;
    case FOIP__SIP_REGISTER_RQ: ssc(nullptr, SSC_MGT__EVT_REGISTER_RQ); break;
    case FOIP__SIP_UNREGISTER_RQ: ssc(nullptr, SSC_MGT__EVT_UNREGISTER_RQ); break;
    case FOIP__ALERT_RS: ssc(foip__get_na_ctx(m->nai), SSC_MGT__EVT_ALERT_RS); break;
    default: break;
  }
}

}  // namespace

foip__glb_context& foip__glb() {
  if (!g_ctx) g_ctx = new foip__glb_context();
  return *g_ctx;
}

void foip__set_layer_hooks(const foip__layer_hooks& hooks) { g_hooks = hooks; }
const foip__layer_hooks& foip__hooks() { return g_hooks; }

void foip_entity_init() {
  foip_entity_stop();
  g_ctx = new foip__glb_context();
  foip_err__init_pool();
  t38_mgt__glb_init();
  foip_trc__init();
  foip_stat__init();
  // The contexts, the trap pool and the timers go back while the runtime
  // that lent them still runs: its stop frees all its memory at once.
  om_os_set_entity_stop(ENT_FOIP, foip_entity_stop);
}

void foip_entity_stop() {
  if (!g_ctx) return;
  foip__glb_context& g = *g_ctx;
  for (auto& p : g.table)
    if (p) foip__free_na_ctx(p->nai);
  g.table.clear();
  for (msg_t** m : {&g.pending_t38_cap, &g.pending_reset, &g.second_msg}) {
    Free_msg(*m);
    *m = nullptr;
  }
  for (timer_cell_t** t : {&g.ti_trc, &g.ti_general}) {
    if (*t) {
      Timer_stop(*t);
      Timer_free(*t);
      *t = nullptr;
    }
  }
  foip_err__release_pool();
  foip_trc__shutdown();
  delete g_ctx;
  g_ctx = nullptr;
}

msg_t* foip__current_msg() { return foip__glb().cur_msg; }
msg_t* foip__take_current_msg() {
  msg_t* m = foip__glb().cur_msg;
  foip__glb().cur_msg = nullptr;
  return m;
}

void foip_entity_handler(msg_t* m) {
  foip__glb_context& g = foip__glb();
  g.cur_msg = m;
  if (g.configured_mark != FOIP__MARK_VALID && m->code != FOIP__SET_CONFIG_RQ && m->code != FOIP__T38_CAPABILITIES_RQ &&
      !(m->from == ENT_T38 && m->code == t38_codes::T38__CAPABILITIES_CO)) {
    // Not configured: dropped without an answer.
  } else {
    route(m);
  }
  foip_err__refill_pool();
  Free_msg(g.cur_msg);
  g.cur_msg = nullptr;
  Free_msg(g.second_msg);
  g.second_msg = nullptr;
}

msg_t* foip__make_mgt(code_t code, nai_t nai, u16 result, u16 origin, u16 source, u16 code_value) {
  msg_t* m = Alloc_msg({ENT_FOIP, ENT_FOIP, code, nai, FOIP_MGT__SAPI, FOIP__CONN_NONE});
  if (!m) return nullptr;
  const u16 body[5] = {result, origin, source, code_value, 0};
  Msg_set_inline_body(m, reinterpret_cast<const u8*>(body), sizeof body);
  return m;
}

bool foip__send_body(msg_t* m, const msg_head& h, const u8* body, u32 n, ent_id_t sm_target) {
  buffer_t* b = nullptr;
  u8* d = nullptr;
  if (n == 0) {
    if (!m) m = Alloc_msg();
  } else {
    Alloc_msg_data(&m, &b, n, &d);
    if (!d) {
      // Alloc_msg_data freed only what it allocated itself.
      if (m) Free_msg(m);
      m = nullptr;
    }
  }
  if (!m) return false;
  if (n) std::memcpy(d, body, n);
  Msg_set_head(m, h);
  if (sm_target) Sm_set_target(m, sm_target);
  Send_msg(m);
  return true;
}

msg_t* foip__make_t38_capabilities_rq() {
  msg_t* m = Alloc_msg({ENT_FOIP, ENT_T38, t38_codes::T38__CAPABILITIES_RQ, FOIP__NAI_GLOBAL, 0xFF, 0xFFFF});
  if (!m) return nullptr;
  const u8 zero[t38_codes::T38__CAPABILITIES_CO_SIZE] = {};
  Msg_set_inline_body(m, zero, sizeof zero);
  return m;
}

void foip__send_mgt(code_t code, nai_t nai, u16 result, u16 origin, u16 source, u16 code_value) {
  msg_t* m = foip__make_mgt(code, nai, result, origin, source, code_value);
  if (!m) {
    Foip__trap(nai, FOIP__CONN_NONE, FOIP__TRAP_CLASS, FOIP__TRAP__ERR_SEND_MNGT_PRIMITIVE,
               "FOIP__TRAP__ERR_SEND_MNGT_PRIMITIVE", "FOIP: (foip__send_mgt) Can't alloc message");
    return;
  }
  Send_msg(m);
}

void foip__reset_sip_side() {
  if (g_hooks.ssc_mgt__automaton) g_hooks.ssc_mgt__automaton(nullptr, SSC_MGT__EVT_RESET);
  else foip_cnf__close();
}

void foip__set_sip_ready(u8 v) { foip__glb().sip_ready = v; }
nai_t foip__session_nai(const foip__na_ctx* s) { return s->nai; }
u8 foip__session_state(nai_t nai) {
  const foip__na_ctx* s = foip__get_na_ctx(nai);
  return s ? s->state : 0xFF;
}
u16 foip__session_count() { return foip__glb().nb_ctx; }
u16 foip__start_phase_count() { return foip__glb().nb_start_phase; }
u16 foip__stop_phase_count() { return foip__glb().nb_stop_phase; }
bool foip__is_configured() { return foip__glb().configured_mark == FOIP__MARK_VALID; }
void foip__set_sip_call(foip__na_ctx* s, void* call, bool established) {
  s->sip_call = call;
  s->sip_call_established = established ? 1 : 0;
}
void foip__set_t38_active(foip__na_ctx* s, bool active) { s->t38_active = active ? 1 : 0; }
void foip__set_fax_status(foip__na_ctx* s, const foip__fax_session_status& st) {
  s->fax_status = st;
  s->fax_status_present = 1;
}

void foip__set_t38_status(foip__na_ctx* s, const foip__t38_session_status& st) {
  s->t38_status = st;
  s->t38_status_present = 1;
}
void foip__set_sip_status(foip__na_ctx* s, const foip__sip_status& st) {
  s->sip_status = st;
  s->sip_status_present = 1;
}

namespace {
void start_session_timer(foip__session_timer& t, u32 ms, code_t code) {
  if (!t.cell) return;
  Timer_stop(t.cell);
  t.id = ++foip__glb().ti_seq;
  t.armed = true;
  Timer_start(t.cell, ms, t.id, code);
}
}  // namespace

void foip__start_launch_timer(foip__na_ctx* s) {
  start_session_timer(s->ti_launch, s->launch_delay_ms, FOIP__TI_LAUNCH_FAX);
}
void foip__start_t38_delay_timer(foip__na_ctx* s) { start_session_timer(s->ti_t38, s->t38_delay_ms, FOIP__TI_T38_DLY); }
void foip__stop_session_timers(foip__na_ctx* s) {
  for (foip__session_timer* t : {&s->ti_launch, &s->ti_t38}) {
    if (t->cell) Timer_stop(t->cell);
    t->armed = false;
  }
}

// ---------------------------------------------------------------------------
// Session table.

foip__na_ctx* foip__get_na_ctx(nai_t nai) {
  foip__glb_context& g = foip__glb();
  if (nai == FOIP__NAI_GLOBAL || nai >= g.table.size()) return nullptr;
  return g.table[nai].get();
}

foip__na_ctx* foip__get_next_na_ctx(bool first, nai_t nai) {
  foip__glb_context& g = foip__glb();
  for (size_t i = first ? 0 : size_t(nai) + 1; i < g.table.size(); ++i)
    if (g.table[i]) return g.table[i].get();
  return nullptr;
}

foip__na_ctx* foip__alloc_na_ctx(nai_t nai) {
  foip__glb_context& g = foip__glb();
  if (nai >= g.table.size() || g.table[nai]) return nullptr;
  g.table[nai] = std::make_unique<foip__na_ctx>();
  g.table[nai]->nai = nai;
  ++g.nb_ctx;
  g.nb_ctx_high_water = std::max(g.nb_ctx_high_water, g.nb_ctx);
  return g.table[nai].get();
}

void foip__free_na_ctx(nai_t nai) {
  foip__glb_context& g = foip__glb();
  foip__na_ctx* s = foip__get_na_ctx(nai);
  if (!s) return;
  if (g.nb_ctx) --g.nb_ctx;
  if (g.nb_ctx == 0) g.nb_start_phase = g.nb_stop_phase = 0;
  Free_msg(s->start_rq);
  s->start_rq = nullptr;
  for (msg_t* m : s->stop_rqs) Free_msg(m);
  s->stop_rqs.clear();
  for (foip__session_timer* t : {&s->ti_launch, &s->ti_t38}) {
    if (t->cell) {
      Timer_stop(t->cell);
      Timer_free(t->cell);
      t->cell = nullptr;
    }
  }
  foip_mgt__fifo_remove(s);
  s->q_status = FOIP_MGT__Q_RELEASED;
  s->mark = FOIP__MARK_INVALID;
  g.table[nai].reset();
}

// ---------------------------------------------------------------------------
// Answers.

void foip__answer(msg_t* m, ent_id_t to, code_t code, u16 conn_id) {
  Msg_set_head(m, {ENT_FOIP, to, code, m->nai, FOIP__SAPI, conn_id});
  Send_msg(m);
}

namespace {

// Sends `size` bytes of record as `code`; the long-data routines trap when
// it cannot.
void send_record(ent_id_t to, code_t code, nai_t nai, u16 conn_id, const void* rec, u32 size) {
  const foip_api__addr a{.from = ENT_FOIP, .to = to, .nai = nai, .sapi = FOIP__SAPI, .conn_id = conn_id};
  (void)foip__send_long_record(a, code, rec, size);  // a failure is trapped where it happens
}

}  // namespace

void foip__send_confirm(msg_t* m, code_t code, u8 rc, u8 source, u8 err_code, nai_t nai, u16 conn_id, bool texts) {
  const u32 size = foip__record_size(code);
  std::vector<u8> rec(std::max<u32>(size, sizeof(foip__confirm)), 0);
  foip__confirm c{};
  foip__fill_confirm(code, rc, source, err_code, &c);
  if (!texts) c.sz_error_source[0] = c.sz_error_code[0] = '\0';
  std::memcpy(rec.data(), &c, sizeof c);
  const ent_id_t to = m ? m->from : foip__glb().user_entity;
  send_record(to, code, nai, conn_id, rec.data(), size);
  if (m == foip__glb().cur_msg) foip__glb().cur_msg = nullptr;
  Free_msg(m);
}

void foip__fill_session_status(const foip__na_ctx* s, foip__stop* out) {
  // Fax part.
  foip__fax_session_status& f = out->fax;
  if (s->fax_status_present) f = s->fax_status;
  f.present = 1;
  if (!s->fax_status_present) {
    f.fax_return_code = 3;
    f.source = 'n';
    f.diag = 0;
    foip__copy_text(f.sz_diag, "(FOIP__FAX_STATUS_RET_CODE_UNDEFINED) ret_code not defined");
  }
  // T.38 part.
  if (s->t38_status_present) out->t38 = s->t38_status;
  out->t38.present = 1;
  if (!s->t38_status_present) {
    out->t38.return_code = 3;
    out->t38.diag_nok = 0xFF;
    foip__copy_text(out->t38.sz_diag_nok, "(FOIP__MSG_ERR_RET_CODE_UNDEFINED) ret_code not defined");
  }
  // SIP part.
  if (s->sip_status_present) {
    out->sip = s->sip_status;
    out->sip.present = 1;
  } else {
    out->sip.present = 0;
  }
}

void foip__send_stop_in(u8 error_source, u8 error_code, ent_id_t to, nai_t nai, u16 conn_id, foip__na_ctx* s) {
  auto rec = std::make_unique<foip__stop>();
  foip__fill_confirm(FOIP__STOP_IN, 3, error_source, error_code, &rec->confirm);
  if (s) foip__fill_session_status(s, rec.get());
  send_record(to, FOIP__STOP_IN, nai, conn_id, rec.get(), sizeof(foip__stop));
}

void foip__send_stop_answer(foip__na_ctx* s, msg_t* stop_rq, bool later) {
  auto rec = std::make_unique<foip__stop>();
  if (later) {
    foip__fill_confirm(FOIP__STOP_CO, FOIP__RC_OK, FOIP__STOP_SRC, 25, &rec->confirm);
  } else {
    const bool no_page = !s->fax_status_present || (s->fax_status.nb_pg_sent == 0 && s->fax_status.nb_pg_received == 0);
    foip__fill_confirm(FOIP__STOP_CO, FOIP__RC_OK, FOIP__STOP_SRC, no_page ? 26 : 2, &rec->confirm);
    foip__fill_session_status(s, rec.get());
  }
  if (stop_rq) {
    send_record(stop_rq->from, FOIP__STOP_CO, s->nai, FOIP__CONN_NONE, rec.get(), sizeof(foip__stop));
    Free_msg(stop_rq);
  } else {
    send_record(s->user_entity, FOIP__STOP_IN, s->nai, FOIP__CONN_NONE, rec.get(), sizeof(foip__stop));
  }
}
