// The T.38 entity's handler, its session table and the management
// primitives: configuration, reset, capabilities, parameter changes,
// T38__DEA_IN and the congestion sweep after every message.
#include "t38/t38_entity.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <new>

#include "common/byte_order.h"
#include "runtime/mem.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "runtime/sock.h"
#include "t38/t38_iaf_port.h"
#include "t38/t38_report.h"
#include "t38/t38_trace.h"

namespace kv::t38 {

namespace {

constexpr u32 T38__READY = 0x12345678;
constexpr u32 T38__COMMON_ACCEPTED = 0xAA55AA55;

struct t38_glb_context {
  u32 ready_mark = 0;
  u16 session_count = 0;
  t38_session** table = nullptr;
  u16 table_size = 0;
  u32 common_mark = 0;
  u32 ced_duration_ms = 0;
  u8 last_congestion = 0;
  msg_t* current = nullptr;
};

t38_glb_context g;
t38_iaf_port* iaf_port = nullptr;
t38_trace_port* trace_port = nullptr;

u32 msg_ref(const msg_t* m) { return static_cast<u32>(reinterpret_cast<uintptr_t>(m)); }

// ---------------------------------------------------------------------------
// Sessions.

void release_session(t38_session* s) {
  // A session released without its reset (refused set-up, entity stop)
  // still lets the IAF service drop its record.
  if (iaf_port != nullptr && s->iaf_context != nullptr) iaf_port->session_reset(*s);
  for (t38_timer_slot& t : s->timers) {
    if (t.cell != nullptr) Timer_free(t.cell);
    t.cell = nullptr;
    t.armed = 0;
  }
  t38_ifp__release_lists(*s);
  t38_udp_simul__drop_held(*s);
  if (s->rep.prealloc != nullptr) {
    Free_msg(s->rep.prealloc);
    s->rep.prealloc = nullptr;
  }
  s->mark = T38__SESSION_RELEASED;
  if (s->nai < g.table_size && g.table[s->nai] == s) {
    g.table[s->nai] = nullptr;
    --g.session_count;
  }
  s->~t38_session();
  om_os_mem_free(s, OM_OS_MEM_LONG_TERM);
}

// The first three body bytes of a confirm, written where the data lie.
void write_answer(msg_t* m, u8 a, u8 b, u8 c) {
  if (Msg_data_size(m) < 3) {
    const u8 body[3] = {a, b, c};
    Msg_set_inline_body(m, body, 3);
    return;
  }
  u8* p = Msg_data(m);
  p[0] = a;
  p[1] = b;
  p[2] = c;
}

void answer(msg_t*& m, code_t code) {
  Reply_msg(m, ENT_T38, code);
  m = nullptr;
}

// ---------------------------------------------------------------------------
// Configuration.

u8 session_check(t38_session& s) {
  t38__ip_param& ip = s.ip;
  ip.idle_ip_inactivity_ms = t38__normalise_inactivity(ip.idle_ip_inactivity_ms);
  ip.v25_ip_inactivity_ms = t38__normalise_inactivity(ip.v25_ip_inactivity_ms);
  ip.v21preamb_ip_inactivity_ms = t38__normalise_inactivity(ip.v21preamb_ip_inactivity_ms);
  ip.v21_ip_inactivity_ms = t38__normalise_inactivity(ip.v21_ip_inactivity_ms);
  ip.vhspd_ip_inactivity_ms = t38__normalise_inactivity(ip.vhspd_ip_inactivity_ms);
  return t38_ifp__init_session(s);
}

// One session entry: 2, or the cause that refused it.
u8 configure_entry(const t38_session_entry& e, ent_id_t user, u32 request_ref, bool first_of_request) {
  if (e.addr.nai < g.table_size && g.table[e.addr.nai] != nullptr) return T38__CAUSE_NAI_CONFIGURED;
  // Only IAF sessions run here; a gateway session, or a kind this entity
  // does not know, is refused alike.
  if (e.kind_of_session != T38__IAF_SESSION) return T38__CAUSE_GATEWAY_SESSION;
  if (e.addr.nai >= g.table_size) return T38__CAUSE_NO_MEMORY;
  void* mem = om_os_mem_alloc(sizeof(t38_session), OM_OS_MEM_LONG_TERM);
  if (mem == nullptr) return T38__CAUSE_NO_MEMORY;
  t38_session* s = new (mem) t38_session{};
  g.table[e.addr.nai] = s;
  ++g.session_count;

  s->kind_of_session = e.kind_of_session;
  s->user = user;
  s->report_code = user == ENT_SM ? T38__REPORT_IN_SM : T38__REPORT_IN;
  s->nai = e.addr.nai;
  s->addr = e.addr;
  s->ip = e.ip;
  if (s->ip.media_transport == T38__MEDIA_TPKT) {
    s->ip.nb_red_ifp_pck__default = s->ip.nb_red_ifp_pck__tcf = 0;
    s->ip.nb_red_ifp_pck__fax_pg_no_ecm = s->ip.nb_red_ifp_pck__fax_pg_ecm = 0;
    s->ip.idle_ip_inactivity_ms = s->ip.v25_ip_inactivity_ms = s->ip.v21preamb_ip_inactivity_ms = 0;
    s->ip.v21_ip_inactivity_ms = s->ip.vhspd_ip_inactivity_ms = 0;
    s->ip.fast_switch_redundancy = 0;
  }
  s->negotiated = e.caps;
  s->report_cfg = e.report;
  s->sim_cfg = e.sim;
  if (s->kind_of_session == T38__IAF_SESSION) s->iaf_cfg = e.iaf;
  s->start_time = om_os_tick();

  u8 cause = t38__clamp_capabilities(s->negotiated, s->ip.media_transport, s->adjusted);
  if (cause == T38__CAUSE_OK) cause = t38_report__setup(*s);
  if (cause == T38__CAUSE_OK && trace_port != nullptr) cause = trace_port->setup(*s);
  if (cause == T38__CAUSE_OK) s->pools.init(*s);
  if (cause == T38__CAUSE_OK) cause = session_check(*s);
  if (cause == T38__CAUSE_OK) t38__check_udp_simulation(s->sim_cfg);
  if (cause == T38__CAUSE_OK && s->kind_of_session == T38__IAF_SESSION && iaf_port != nullptr) {
    cause = iaf_port->polling_setup(*s);
    if (cause == T38__CAUSE_OK) cause = iaf_port->session_setup(*s);
  }
  for (u8 i = 0; cause == T38__CAUSE_OK && i < T38_TI_SLOTS; ++i) {
    s->timers[i] = t38_timer_slot{};
    s->timers[i].cell = Timer_alloc(ENT_T38, s->nai, T38_TIMER_DEFS[i].sapi, OM_OS_CONN_NONE);
    if (s->timers[i].cell == nullptr) cause = T38__CAUSE_TIMER_CELL;
  }
  if (cause != T38__CAUSE_OK) {
    release_session(s);
    return cause;
  }
  s->timer_val[TI_ERROR_REPORT] = s->report_cfg.freq_error_report_ms;
  s->timer_val[TI_TRACE_REPORT] = s->report_cfg.trace_flush_timer;
  s->timer_val[TI_IP_INACTIVE] = s->ip.idle_ip_inactivity_ms;
  s->timer_val[TI_START_IP] = s->ip.start_ip_ms;
  s->timer_val[TI_IAF_CED_XMIT] = g.ced_duration_ms;
  s->timer_val[TI_RX_SIMUL] = s->sim_cfg.pck_delayed_ms;
  s->dcn_seen = 0;
  s->mark = T38__SESSION_CONFIGURED;

  static constexpr u32 kTraceIdClasses[] = {0x2,   0x4,    0x8,    0x20,   0x40,   0x80,   0x100,
                                            0x800, 0x1000, 0x2000, 0x4000, 0x8000, 0x10000};
  if (trace_port != nullptr) {
    trace_port->line(*s, 0, T38_TRC__MSG, "---------------------------------\n");
    for (u32 c : kTraceIdClasses) t38__log(*s, c, "Trace ID\n");
    trace_port->line(*s, 0, T38_TRC__MSG, "Error Trace ID<             : ERROR          :R:          : Err Id: >\n");
    trace_port->line(*s, 0, T38_TRC__MSG, "---------------------------------\n");
  }

  if (s->report_cfg.trace_report_bfi & (T38_TRC__CNF_A | T38_TRC__CNF_B)) {
    t38__log(*s, T38_TRC__CNF_A,
             "T38__SET_CONFIG_RQ (SM_SET_CONFIG_RQ) New T.38 session successfully opened  (p_msg = 0x%8X)\n",
             request_ref);
    t38__log(*s, T38_TRC__CNF_A, "  T.38 IAF version: %s\n", T38__BANNER);
    t38__log(*s, T38_TRC__CNF_A, "T38__SET_CONFIG_CO / SM_SET_CONFIG_CO (OK)  (p_msg = 0x%8X)\n", request_ref);
    if (first_of_request) {
      t38_dump__compilation_parameters(*s);
      t38_dump__common_configuration(*s, g.ced_duration_ms);
    }
    t38_dump__session_configuration(*s, static_cast<u32>(sizeof(t38_glb_context)));
  }
  if (s->sim_cfg.nb_of_pck_lost != 0 || s->sim_cfg.pck_delayed_ms != 0) {
    u8 event[T38__EVENT_RECORD_SIZE] = {};
    put_le32(event, T38__EVENT__NETWORK_SIMULATION);
    t38_report__event_report(event, *s);
  }
  return T38__CAUSE_OK;
}

u8 configure_body(const u8* body, u32 size, ent_id_t user, u32 request_ref) {
  if (size < T38__CONFIG_HEADER_SIZE) return T38__CAUSE_BAD_KIND_OF_CNF;
  const u8 kind = body[3];
  if (kind == T38__COMMON_CNF) {
    if (g.session_count != 0) return T38__CAUSE_COMMON_WITH_SESSIONS;
    if (size < T38__COMMON_BODY_SIZE) return T38__CAUSE_BAD_KIND_OF_CNF;
    g.ced_duration_ms = get_le32(body + 4);
    g.common_mark = T38__COMMON_ACCEPTED;
    return T38__CAUSE_OK;
  }
  if (kind != T38__SESSION_CNF) return T38__CAUSE_BAD_KIND_OF_CNF;
  if (g.common_mark != T38__COMMON_ACCEPTED) return T38__CAUSE_SESSION_BEFORE_COMMON;
  if (g.session_count >= T38__MAX_SESSIONS) return T38__CAUSE_TOO_MANY_SESSIONS;
  if (size < T38__CONFIG_HEADER_SIZE + 2) return T38__CAUSE_BAD_KIND_OF_CNF;
  const u16 entries = get_le16(body + 4);
  u32 pos = T38__CONFIG_HEADER_SIZE + 2;
  for (u16 i = 0; i < entries; ++i) {
    t38_session_entry e;
    // An entry cut short is refused like an unknown request.
    if (!t38__read_entry(body + pos, size - pos, e)) return T38__CAUSE_BAD_KIND_OF_CNF;
    pos += t38__entry_size(e.kind_of_session);
    const u8 cause = configure_entry(e, user, request_ref, i == 0);
    if (cause != T38__CAUSE_OK) return cause;
  }
  return T38__CAUSE_OK;
}

void configure(msg_t*& m) {
  const code_t co = m->from == ENT_SM ? static_cast<code_t>(SM_CONFIG_CO) : static_cast<code_t>(T38__SET_CONFIG_CO);
  const u32 ref = msg_ref(m);
  u8 cause = T38__CAUSE_OK;
  if (g.table == nullptr) {
    // The table holds one session pointer per NAI.
    constexpr std::size_t kSlotSize = sizeof(t38_session*);  // NOLINT(bugprone-sizeof-expression)
    const u16 n = om_os_get_max_nai();
    g.table = static_cast<t38_session**>(om_os_mem_alloc(static_cast<u32>(n * kSlotSize), OM_OS_MEM_LONG_TERM));
    if (g.table == nullptr) {
      cause = T38__CAUSE_NO_MEMORY;
    } else {
      g.table_size = n;
      std::memset(g.table, 0, n * kSlotSize);
    }
  }
  if (cause == T38__CAUSE_OK) {
    u8* area = nullptr;
    const u8* body = Msg_data(m);
    u32 size = Msg_data_size(m);
    if (m->p_buffer != nullptr && m->p_buffer->next != nullptr) {
      area = Reassemble_buffers(nullptr, 0, m->p_buffer, &size);
      body = area;
    }
    if (body == nullptr) {
      cause = T38__CAUSE_NO_MEMORY;
    } else {
      cause = configure_body(body, size, m->from, ref);
    }
    if (area != nullptr) Free_tmp_block(area);
  }
  if (cause != T38__CAUSE_OK) {
    t38_session* any = nullptr;
    for (u16 i = 0; any == nullptr && i < g.table_size; ++i) any = g.table[i];
    if (any != nullptr) {
      t38__log(*any, T38_TRC__MSG, "T38__SET_CONFIG_CO / SM_SET_CONFIG_CO (NOK, cause %d)  (p_msg = 0x%8X)\n", cause,
               ref);
    }
  }
  const bool ok = cause == T38__CAUSE_OK;
  write_answer(m, ok ? OM_OS_OK : OM_OS_NOK, ok ? static_cast<u8>(T38__CAUSE_OK) : cause, ENT_T38);
  answer(m, co);
}

void reset(msg_t*& m) {
  const code_t co = m->from == ENT_SM ? static_cast<code_t>(SM_RST_CFG_CO) : static_cast<code_t>(T38__RESET_CONFIG_CO);
  t38_session* s = t38__find_session(m->nai);
  if (s == nullptr) {
    const u8 body[3] = {OM_OS_NOK, ENT_T38, T38__CAUSE_NO_SESSION};
    Msg_set_inline_body(m, body, 3);
    answer(m, co);
    return;
  }
  const u32 ref = msg_ref(m);
  t38__log(*s, T38_TRC__MSG, "T38__RESET_CONFIG_RQ (SM_RESET_CONFIG_RQ)  nai = %d  (p_msg = 0x%8X)\n", s->nai, ref);
  if (iaf_port != nullptr && s->kind_of_session == T38__IAF_SESSION) iaf_port->session_reset(*s);
  t38_ifp__release_lists(*s);
  t38__log(*s, T38_TRC__MSG, "T38__RESET_CONFIG_CO (SM_RESET_CONFIG_CO)  return_code = OK (p_msg = 0x%8X)\n", ref);
  t38_report__end_of_session(*s);
  const u8 body[3] = {OM_OS_OK, ENT_T38, T38__CAUSE_OK};
  Msg_set_inline_body(m, body, 3);
  answer(m, co);
  release_session(s);
}

void capabilities(msg_t*& m) {
  u8 body[T38__CAPABILITIES_CO_SIZE] = {OM_OS_OK, 0, ENT_T38, 0};
  t38__write_capabilities(t38__default_capabilities(), body + 4);
  Msg_set_inline_body(m, body, sizeof body);
  answer(m, T38__CAPABILITIES_CO);
}

void set_param(msg_t*& m, t38_session& s) {
  const u32 ref = msg_ref(m);
  t38__log(s, T38_TRC__MSG, "T38__SET_PARAM_RQ  (p_msg = 0x%8X)\n", ref);
  u8 ret = OM_OS_NOK;
  u8 cause = 1;
  const u8* p = Msg_data(m);
  if (Msg_data_size(m) >= 10 && p[3] == 1) {
    if (iaf_port != nullptr && iaf_port->update_drate(s, get_le32(p + 4), get_le16(p + 8), &cause) == OM_OS_OK) {
      ret = OM_OS_OK;
      cause = T38__CAUSE_OK;
    }
  }
  if (ret == OM_OS_OK) {
    t38__log(s, T38_TRC__MSG, "T38__SET_PARAM_CO (OK)  (p_msg = 0x%8X)\n", ref);
  } else {
    t38__log(s, T38_TRC__MSG, "T38__SET_PARAM_CO  (NOK, cause %d)  (p_msg = 0x%8X)\n", cause, ref);
  }
  write_answer(m, ret, cause, ENT_T38);
  answer(m, T38__SET_PARAM_CO);
}

// ---------------------------------------------------------------------------
// Dispatch.

void to_iaf(u8 kind, msg_t*& m, t38_session& s) {
  if (iaf_port == nullptr || s.kind_of_session != T38__IAF_SESSION || m == nullptr) return;
  iaf_port->main_automaton(kind, &m, s);
}

void from_socket(msg_t*& m, t38_session& s) {
  if (m->from == ENT_PH_IT && m->code == T38__REPORT_IN) {
    Msg_set_route(m, ENT_T38, s.user, s.report_code);
    Send_msg(m);
    m = nullptr;
    return;
  }
  if (m->code == SOCK_DA_IN) {
    t38__log(s, T38_TRC__MSG, "SOCK_DA_IN  (p_msg = 0x%8X)\n", msg_ref(m));
    to_iaf(T38IAF__KIND_TPKT, m, s);
  } else if (m->code == SOCK_U_DA_IN) {
    t38__log(s, T38_TRC__MSG, "SOCK_U_DA_IN  (p_msg = 0x%8X)\n", msg_ref(m));
    if (t38_udp_simul__filter_rx(&m, s)) to_iaf(T38IAF__KIND_UDPTL, m, s);
  }
}

int slot_of(code_t code) {
  for (int i = 0; i < T38_TI_SLOTS; ++i) {
    if (T38_TIMER_DEFS[i].code == code) return i;
  }
  return -1;
}

void timer_expiry(msg_t*& m) {
  if (m->code == T38IAF__TI_POLLING) {
    if (iaf_port != nullptr) iaf_port->polling_expiry(&m);
    return;
  }
  t38_session* s = t38__find_session(m->nai);
  const int slot = slot_of(m->code);
  if (s == nullptr || slot < 0) return;
  t38_timer_slot& t = s->timers[slot];
  if (t.armed == 0 || Timer_expiry_id(m) != t.id) return;
  t.armed = 0;
  switch (slot) {
    case TI_ERROR_REPORT: t38_report__periodic(*s); break;
    case TI_TRACE_REPORT:
      if (trace_port != nullptr) trace_port->flush_timer(*s);
      break;
    case TI_IP_INACTIVE: t38_ifp__send_idle(*s); break;
    case TI_START_IP:
    case TI_IAF_CED_XMIT: to_iaf(T38IAF__KIND_USER, m, *s); break;
    case TI_RX_SIMUL: t38_udp_simul__release_held(*s); break;
    default: break;
  }
}

void from_user(msg_t*& m) {
  if (m->code == T38__CAPABILITIES_RQ) {
    capabilities(m);
    return;
  }
  t38_session* s = t38__find_session(m->nai);
  if (s == nullptr) return;
  if (m->code == T38__ACT_RQ) {
    s->act_entity = m->from;
    if (iaf_port != nullptr && s->kind_of_session == T38__IAF_SESSION &&
        iaf_port->main_automaton(T38IAF__KIND_USER, &m, *s) == OM_OS_OK) {
      s->mark = T38__SESSION_ACTIVATED;
    }
  } else if (m->code == T38__SET_PARAM_RQ) {
    set_param(m, *s);
  } else {
    to_iaf(T38IAF__KIND_USER, m, *s);
    s->mark = T38__SESSION_CONFIGURED;
  }
}

void congestion_sweep(nai_t handled) {
  const u8 state = om_os_get_congestion();
  if (state != g.last_congestion) {
    g.last_congestion = state;
    for (u16 i = 0; i < g.table_size; ++i) {
      t38_session* s = t38__find_session(i);
      if (s == nullptr) continue;
      t38_report__congestion_change(state, *s);
      if (state != 0) t38_ifp__release_redundancy(*s);
    }
  }
  t38_session* s = t38__find_session(handled);
  if (s != nullptr && s->pools.congested()) t38_ifp__release_redundancy(*s);
}

}  // namespace

// ---------------------------------------------------------------------------

void t38_set_iaf_port(t38_iaf_port* port) { iaf_port = port; }
void t38_set_trace_port(t38_trace_port* port) { trace_port = port; }
t38_iaf_port* t38_iaf() { return iaf_port; }
t38_trace_port* t38_trace() { return trace_port; }

u32 t38_session::age_ms() const {
  if (kind_of_session != T38__IAF_SESSION) return 0;
  const u32 now = om_os_tick();
  return now >= start_time ? now - start_time : start_time - now;
}

t38_session* t38__find_session(nai_t nai) {
  if (g.table == nullptr || nai >= g.table_size) return nullptr;
  t38_session* s = g.table[nai];
  if (s == nullptr || (s->mark != T38__SESSION_CONFIGURED && s->mark != T38__SESSION_ACTIVATED)) return nullptr;
  return s;
}

u16 t38__table_size() { return g.table_size; }
u16 t38__session_count() { return g.session_count; }

void t38__timer_start_for(t38_session& s, t38_timer_slot_index slot, u32 duration) {
  t38_timer_slot& t = s.timers[slot];
  if (t.cell == nullptr) return;
  ++t.id;
  Timer_start(t.cell, duration, t.id, T38_TIMER_DEFS[slot].code);
  t.armed = 1;
}

void t38__timer_start(t38_session& s, t38_timer_slot_index slot) { t38__timer_start_for(s, slot, s.timer_val[slot]); }

void t38__timer_stop(t38_session& s, t38_timer_slot_index slot) {
  t38_timer_slot& t = s.timers[slot];
  if (t.cell != nullptr) Timer_stop(t.cell);
  t.armed = 0;
}

bool t38__tracing(const t38_session& s, u32 trace_class) {
  return trace_port != nullptr && (s.report_cfg.trace_report_bfi & trace_class) != 0;
}

void t38__log(t38_session& s, u32 trace_class, const char* fmt, ...) {
  if (!t38__tracing(s, trace_class)) return;
  char line[512];
  va_list ap;
  va_start(ap, fmt);
  (void)std::vsnprintf(line, sizeof line, fmt, ap);
  va_end(ap);
  trace_port->line(s, 0, trace_class, line);
}

void t38_entity_init() {
  t38_entity_stop();
  g = t38_glb_context{};
  g.ready_mark = T38__READY;
  g.last_congestion = 0;
  om_os_entity_attrs_t a{};
  a.long_config = 1;
  a.stop = t38_entity_stop;
  om_os_update_entity(t38_entity_handler, &a);
}

void t38_entity_stop() {
  if (g.table != nullptr) {
    for (u16 i = 0; i < g.table_size; ++i) {
      if (g.table[i] != nullptr) release_session(g.table[i]);
    }
    om_os_mem_free(g.table, OM_OS_MEM_LONG_TERM);
  }
  g = t38_glb_context{};
}

void t38_entity_handler(msg_t* m) {
  if (m == nullptr) return;
  g.current = m;
  const nai_t nai = m->nai;
  if (m->code == T38__SET_CONFIG_RQ) {
    configure(m);
  } else if (m->code == T38__RESET_CONFIG_RQ) {
    reset(m);
  } else if (m->from == ENT_IP || m->from == ENT_PH_IT) {
    t38_session* s = t38__find_session(m->nai);
    if (s != nullptr) from_socket(m, *s);
  } else if (m->from == ENT_SM && (m->code == SM_CONFIG_RQ || m->code == SM_RST_CFG_RQ)) {
    if (m->code == SM_CONFIG_RQ) configure(m);
    else reset(m);
  } else if (m->from == ENT_TI) {
    timer_expiry(m);
  } else {
    from_user(m);
  }
  It_refill_msg_pool();
  It_refill_buffer_pool();
  if (m != nullptr) Free_msg(m);
  g.current = nullptr;
  congestion_sweep(nai);
}

// ---------------------------------------------------------------------------
// Statistics and T38__DEA_IN.

void t38__statistics(const t38_session& s, u8 out[T38__STATISTICS_SIZE]) {
  std::memset(out, 0, T38__STATISTICS_SIZE);
  if (s.kind_of_session == T38__IAF_SESSION && iaf_port != nullptr) {
    u32 words[T38IAF__STAT_WORDS] = {};
    u16 enh[T38IAF__ENH_COUNTERS] = {};
    iaf_port->statistics(s, words, enh);
    for (u32 i = 0; i < T38IAF__STAT_WORDS; ++i) put_le32(out + 4 * i, words[i]);
  }
  t38_ifp__statistics(s, out);
  u8* p = out + 172;
  const bool iaf_session = s.kind_of_session == T38__IAF_SESSION && iaf_port != nullptr;
  put_le32(p, iaf_session ? iaf_port->protocol_errors(s) : 0);  // counted by the IAF service
  const u32 classes[] = {T38__ERR_REPORT__SAMPLE_UNDERRUN_OVERRUN,
                         T38__ERR_REPORT__TX_UNDERRUN,
                         T38__ERR_REPORT__UDPTL_LOST,
                         T38__ERR_REPORT__SM_CONGESTION,
                         T38__ERR_REPORT__IFP_PCK_CONGESTION,
                         T38__ERR_REPORT__DFIELD_CONGESTION,
                         T38__ERR_REPORT__ECM_FRAME_TOO_LONG,
                         T38__ERR_REPORT__CORRUPTED_HDLC_FRAME};
  for (u32 i = 0; i < 8; ++i) put_le32(p + 4 + 4 * i, t38_report__count(s, classes[i]));
  p = out + 208;
  const t38_pool_counters* pools[] = {&s.pools.data_fields(), &s.pools.ifp_packets()};
  for (const t38_pool_counters* c : pools) {
    put_le16(p, c->in_use);
    put_le16(p + 2, c->high_water);
    put_le32(p + 4, c->congestion_count);
    p += 8;
  }
  const om_os_pool_stats ms = om_os_msg_pool_stats();
  const om_os_pool_stats bs = om_os_buffer_pool_stats();
  const om_os_it_pool_stats im = om_os_it_msg_pool_stats();
  const om_os_it_pool_stats ib = om_os_it_buffer_pool_stats();
  const u16 words[14] = {ms.limit,    ms.in_use, ms.high_water, ms.episodes, bs.limit, bs.in_use, bs.high_water,
                         bs.episodes, im.count,  im.lowest,     im.episodes, ib.count, ib.lowest, ib.episodes};
  for (u16 w : words) {
    put_le16(p, w);
    p += 2;
  }
  put_le32(p, om_os_mem_long_term_total());
  put_le32(p + 4, om_os_mem_long_term_high());
  put_le32(out + T38__STAT_FOREIGN_SOURCE_OFFSET, s.ifp.cnt.foreign_source);
}

void t38__dea_body(u8* p, u8 ret_code, u8 cause, const t38_session& s, const u16* enh) {
  std::memset(p, 0, T38__DEA_IN_SIZE);
  p[0] = ret_code;
  p[1] = cause;
  p[2] = ENT_T38;
  t38__statistics(s, p + 4);
  for (u32 i = 0; i < T38IAF__ENH_COUNTERS; ++i) put_le16(p + 4 + T38__STATISTICS_SIZE + 2 * i, enh[i]);
}

void t38__log_enh_counters(t38_session& s, const u16* enh) {
  for (u32 i = 0; i < T38IAF__ENH_COUNTERS; ++i) {
    if (enh[i] != 0) t38__log(s, T38_TRC__MSG, "       Enh_ret_code (%d)  cnt = %d\n", static_cast<int>(i), enh[i]);
  }
}

void t38__send_t38__dea_in(u8 ret_code, u8 cause, const char* cause_text, t38_session& s) {
  u8* p = nullptr;
  msg_t* m = t38__alloc_msg(s, T38__DEA_IN_SIZE, &p, T38__TRAP__MAIN__NO_MSG_NO_BUFFER,
                            "T38GW->t38__send_t38__dea_in: No more memory ressource");
  if (m == nullptr) return;
  u16 enh[T38IAF__ENH_COUNTERS] = {};
  if (s.kind_of_session == T38__IAF_SESSION && iaf_port != nullptr) {
    u32 words[T38IAF__STAT_WORDS] = {};
    iaf_port->statistics(s, words, enh);
  }
  t38__dea_body(p, ret_code, cause, s, enh);
  Msg_set_head(m, {ENT_T38, s.act_entity != 0 ? s.act_entity : s.user, T38__DEA_IN, s.nai, T38__SAPI_MANAGEMENT});
  t38__log(s, T38_TRC__MSG, "Send T38__DEA_IN  ret_code = %s  cause = %d (%s)\n", ret_code == OM_OS_OK ? "OK" : "NOK",
           cause, cause_text != nullptr ? cause_text : "");
  t38__log_enh_counters(s, enh);
  Send_msg(m);
}

}  // namespace kv::t38
