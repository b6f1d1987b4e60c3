// The application entity ENT_APP_FOIP.
#include "session/app/app_foip.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "common/program_log.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "session/app/app_foip_dsp.h"
#include "session/trace/foip_trc.h"

namespace {

std::unique_ptr<app_foip__glb_ctx> g_ctx;
std::recursive_mutex g_lock;
std::atomic<bool> g_ended{false};
app_foip_cnf__options g_cnf_options;
app_foip__link_hooks g_hooks;
msg_t* g_current = nullptr;  // the message the handler is working on

app_foip__glb_ctx& ctx() {
  if (!g_ctx) g_ctx = std::make_unique<app_foip__glb_ctx>();  // before the entity's init
  return *g_ctx;
}

using lock_holder = std::lock_guard<std::recursive_mutex>;

void show_rcv(const char* name, nai_t nai) {
  app_foip_dsp__primitive_short_form(1, 'R', name, nai, 0, nullptr, nullptr);
}
void show_snd(const char* name, nai_t nai) {
  app_foip_dsp__primitive_short_form(1, 'S', name, nai, 0, nullptr, nullptr);
}

// A refused confirm is also printed on the console and logged, unless the
// contents of messages are displayed anyway (bit 0x1000 of the global
// display classes).
void note_refused_confirm(const char* name, const foip__confirm& c) {
  if (c.return_code != 3) return;
  if (ctx().cnf.glb_param.glb_trc_param.event.display_event_bfi & USR_MSG_FULL) return;
  std::string text;
  app_foip_dsp__foip__confirm(text, name, c);
  std::size_t at = 0;
  while (at < text.size()) {
    std::size_t end = text.find('\n', at);
    if (end == std::string::npos) end = text.size();
    const std::string line = text.substr(at, end - at);
    LogConsole("%s", line.c_str());
    ProgramLog(1, "app_foip - %s", line.c_str());
    at = end + 1;
  }
}

void show_batch_header(const char* text) {
  app_foip__glb_ctx& g = ctx();
  app_foip_dsp__mngt_event(4, text, 0xFFFF, g.session_cnt, g.batch_count);
  ProgramLog(2, "app_foip - %s", text);
}

// Marks every session that the selector and the filter choose.
template <class Filter>
void mark(nai_t selector, u8 usr_evt, Filter filter) {
  app_foip__glb_ctx& g = ctx();
  for (const auto& s : g.sessions) {
    const bool chosen = selector == APP_FOIP__ALL || (selector == APP_FOIP__ALL_IN && s->direction == FOIP__DIR_IN) ||
                        (selector == APP_FOIP__ALL_OUT && s->direction == FOIP__DIR_OUT);
    if (chosen && filter(*s)) {
      s->usr_evt = usr_evt;
      g.usr_evt_pending = 1;
    }
  }
}

void set_text(const char** text, const char* value) {
  if (text) *text = value;
}

// False, with the text saying so, until the global configuration is done.
bool configured(const app_foip__glb_ctx& g, const char** text) {
  if (g.cnf.magic == APP_FOIP_CNF__MAGIC_CONFIGURED) return true;
  set_text(text, "Global Context not yet intialized");
  return false;
}

void restart_user_evt_timer(u32 ms) {
  if (ctx().user_evt_timer) Timer_start(ctx().user_evt_timer, ms, 0, APP_FOIP__TI_USER_EVT);
}

// The end of the application: sessions released, timer freed, the ended
// flag for the main routine, and from now on every message is dropped.
void close_application() {
  app_foip__glb_ctx& g = ctx();
  app_foip__release_all_session_ctx();
  if (g.user_evt_timer) {
    Timer_free(g.user_evt_timer);
    g.user_evt_timer = nullptr;
  }
  g.closed = 1;
  g.cnf.closed = 1;
  g_ended.store(true);
}

// ---------------------------------------------------------------------------
// Timers.

void on_delayed_start(msg_t* m) {
  ProgramLog(2, "app_foip - APP_FOIP__TI_DELAYED_START sent");
  app_foip__session_ctx* s = app_foip__get_session_ctx(m->nai);
  if (!s || !s->timer_armed || Timer_expiry_id(m) != s->timer_seq) return;  // an older expiry
  s->timer_armed = 0;
  app_foip_mngt__process_event(APP_FOIP__EVT_TIMER, s);
}

void on_user_evt() {
  app_foip__glb_ctx& g = ctx();
  if (g.usr_evt_pending != 1) {
    restart_user_evt_timer(APP_FOIP__USER_EVT_MS);
    return;
  }
  if (g.cnf.foip_ready == 1) g.usr_evt_pending = 0;
  show_rcv("APP_FOIP__TI_USER_EVT", 0xFFFF);
  if (g.exit_requested) {
    ProgramLog(1, "app_foip__exit called");
    ProgramLog(1, "app_foip - calling app_foip__launch_eof_application");
    app_foip__launch_eof_application();
    return;  // the poll ends for good
  }
  if (g.cnf.foip_ready == 1) {
    // Index walk: a batch that ends on the way marks sessions again.
    for (std::size_t i = 0; i < g.sessions.size(); ++i) {
      app_foip__session_ctx* s = g.sessions[i].get();
      if (s->usr_evt == APP_FOIP__USR_EVT_START) {
        ProgramLog(2, "app_foip - APP_FOIP__USR_EVT_START sent");
        s->usr_evt = APP_FOIP__NO_USR_EVT;
        app_foip_mngt__process_event(APP_FOIP__EVT_START, s);
      } else if (s->usr_evt == APP_FOIP__USR_EVT_STOP) {
        ProgramLog(2, "app_foip - APP_FOIP__USR_EVT_STOP sent");
        s->usr_evt = APP_FOIP__NO_USR_EVT;
        app_foip_mngt__process_event(APP_FOIP__EVT_STOP, s);
      }
    }
  }
  restart_user_evt_timer(APP_FOIP__USER_EVT_MS);
}

// ---------------------------------------------------------------------------
// Start-up configuration.

// Binds a session record to each configured session.  2 or 3.
u8 build_session_records() {
  app_foip__glb_ctx& g = ctx();
  for (const auto& cs : g.cnf.sessions) {
    app_foip__session_ctx* s = app_foip__create_session_ctx(cs.get());
    if (app_foip__bind_session(cs->nai, s) != OM_OS_OK) return OM_OS_NOK;
  }
  return OM_OS_OK;
}

void on_sm_config_rq(msg_t* m) {
  app_foip__glb_ctx& g = ctx();
  show_rcv("SM_SET_CONFIG_RQ", m->nai);
  if (g.user_evt_timer || g.closed) {
    // Configured once already: a second configuration is refused and the
    // running one is left alone.
    const u8 refused[3] = {APP_FOIP_CNF__FAILED, ENT_APP_FOIP, APP_FOIP_CNF__FAILED};
    Msg_set_inline_body(m, refused, sizeof refused);
    app_foip__send_sm_confirm(ENT_SM, SM_CONFIG_CO);
    return;
  }
  u8 result = APP_FOIP_CNF__FAILED;
  app_foip_cnf__startup_record record;
  {
    foip_proc_api__long_data ld;
    const u8 r = foip_proc_api__get_long_data_received(m, APP_FOIP_CNF__STARTUP_RECORD_SIZE, ld);
    if (r != FOIP_API__OK || !app_foip_cnf__unpack_startup_record(ld.data, ld.size, &record) ||
        foip_proc_api__release_long_data(ld) != FOIP_API__OK) {
      om_os_trap(APP_FOIP__TRAP_API);
      result = 0;  // not read
    }
  }
  if (result != 0) {
    result = app_foip_cnf__config(record, g.cnf, g_cnf_options);
    if (result == APP_FOIP_CNF__CONFIGURED) {
      g.sip_nai = g.cnf.sip_nai;
      g.batch_mode = g.cnf.app.batch_mode;
      g.batch_limit = g.cnf.app.batch_limit;
      g.start_delay = g.cnf.app.start_delay;
      g.batch_direction = g.cnf.app.incoming_call_mode;
      if (build_session_records() != OM_OS_OK) {
        result = APP_FOIP_CNF__FAILED;
        g.cnf.magic = APP_FOIP_CNF__MAGIC_INIT;
      }
    }
  } else {
    result = APP_FOIP_CNF__FAILED;
  }
  if (result == APP_FOIP_CNF__CONFIGURED) {
    if (foip_api__send_set_config_rq(g.cnf.glb_param) != FOIP_API__OK) {
      om_os_trap(APP_FOIP__TRAP_API);
    } else {
      show_snd("FOIP__SET_CONFIG_RQ", FOIP__NAI_GLOBAL);
    }
  }
  if (result == APP_FOIP_CNF__HELP_ONLY) {
    close_application();
    result = APP_FOIP_CNF__CONFIGURED;
  } else {
    // The user-event poll runs also after a failed configuration, so that an
    // exit request is taken and the application ends.
    g.user_evt_timer = Timer_alloc(ENT_APP_FOIP, 0xFFFF, 2, 0xFFFF);
    if (!g.user_evt_timer) {
      om_os_trap(APP_FOIP__TRAP_USER_EVT_TIMER);
      result = APP_FOIP_CNF__FAILED;
      g.cnf.magic = APP_FOIP_CNF__MAGIC_INIT;
    } else {
      const u32 first = result == APP_FOIP_CNF__CONFIGURED && g.cnf.user_evt_timer_ms ? g.cnf.user_evt_timer_ms
                                                                                      : APP_FOIP__USER_EVT_MS;
      Timer_start(g.user_evt_timer, first, 0, APP_FOIP__TI_USER_EVT);
    }
  }
  const u8 body[3] = {result, ENT_APP_FOIP, result};
  Msg_set_inline_body(m, body, sizeof body);
  show_snd("SM_SET_CONFIG_CO", m->nai);
  app_foip__send_sm_confirm(ENT_SM, SM_CONFIG_CO);
}

// ---------------------------------------------------------------------------
// Primitives of ENT_FOIP.

void process_foip__set_config_co(msg_t* m) {
  app_foip__glb_ctx& g = ctx();
  foip__confirm c{};
  const u8 r = foip_api__read_confirm(m, FOIP__SET_CONFIG_CO, &c);
  if (r != FOIP_API__OK) {
    om_os_trap(APP_FOIP__TRAP_API);
    return;
  }
  note_refused_confirm("FOIP__SET_CONFIG_CO", c);
  g.cnf.foip_ready = 1;
  std::string text = app_foip_dsp__format_primitive_hdr("FOIP__SET_CONFIG_CO", FOIP__NAI_GLOBAL, false, 0,
                                                        g.session_cnt, g.batch_count);
  app_foip_dsp__foip__confirm(text, "FOIP__SET_CONFIG_CO", c);
  app_foip_dsp__print(FOIP__NAI_GLOBAL, USR_MSG_FULL, "process_foip__set_config_co", text);
  if (c.return_code != FOIP__RC_OK) {
    om_os_trap(APP_FOIP__TRAP_FOIP_CONFIG);
  } else {
    g.foip_configured = 1;
    for (const auto& s : g.sessions) {
      if (s->register_wanted != 1) continue;
      if (foip_api__send_sip_register_rq(s->nai, s->cnf->cfg.reg) != FOIP_API__OK) {
        om_os_trap(APP_FOIP__TRAP_API);
      } else {
        show_snd("FOIP__SIP_REGISTER_RQ", s->nai);
      }
    }
  }
  if (foip_api__send_t38_capabilities_rq(0) != FOIP_API__OK) {
    om_os_trap(APP_FOIP__TRAP_API);
  } else {
    show_snd("FOIP__T38_CAPABILITIES_RQ", 0);
  }
  g.cnf.foip_ready = 0;  // until the capabilities answer
}

void process_rcv_t38_capabilities(msg_t* m) {
  app_foip__glb_ctx& g = ctx();
  foip__t38_capabilities cap{};
  if (foip_api__read_record(m, FOIP__T38_CAPABILITIES_CO, &cap) != FOIP_API__OK) {
    om_os_trap(APP_FOIP__TRAP_API);
    return;
  }
  std::string text = app_foip_dsp__format_primitive_hdr("FOIP__T38_CAPABILITIES_CO", FOIP__NAI_GLOBAL, false, 0,
                                                        g.session_cnt, g.batch_count);
  app_foip_dsp__foip__confirm(text, "FOIP__T38_CAPABILITIES_CO", cap.confirm);
  text += app_foip_dsp__format_t38_capabilities(cap);
  app_foip_dsp__print(FOIP__NAI_GLOBAL, USR_MSG_FULL, "process_rcv_t38_capabilities", text);
  g.cnf.foip_ready = 1;
  if (g.batch_mode == 1 && g.batch_count < g.batch_limit)
    __app_foip__start(g.batch_direction == 2 ? APP_FOIP__ALL_OUT : APP_FOIP__ALL, nullptr);
}

void read_foip__sip_register_co(msg_t* m) {
  foip__confirm c{};
  u16 conn_id = 0;
  if (foip_api__read_sip_register_co(m, &c, &conn_id) != FOIP_API__OK) {
    om_os_trap(APP_FOIP__TRAP_API);
    return;
  }
  note_refused_confirm("FOIP__SIP_REGISTER_CO", c);
  app_foip__session_ctx* s = app_foip__get_session_ctx(m->nai);
  if (!s) return;
  if (c.return_code == FOIP__RC_OK) {
    s->registered = 1;
    s->register_conn_id = conn_id;
  } else {
    s->registered = 0;
  }
}

void read_foip__sip_unregister_co(msg_t* m) {
  app_foip__glb_ctx& g = ctx();
  foip__confirm c{};
  const u8 r = foip_api__read_confirm(m, FOIP__SIP_UNREGISTER_CO, &c);
  if (r != FOIP_API__OK) om_os_trap(APP_FOIP__TRAP_API);
  if (r == FOIP_API__OK) note_refused_confirm("FOIP__SIP_UNREGISTER_CO", c);
  if (r == FOIP_API__OK && c.return_code == FOIP__RC_OK) {
    if (app_foip__session_ctx* s = app_foip__get_session_ctx(m->nai)) s->registered = 0;
  }
  // Every answer counts, refused or not: the end of the application must not
  // wait for an answer that will never come.
  if (g.unregister_pending > 0) {
    --g.unregister_pending;
    if (g.unregister_pending == 0 && g.exit_requested) {
      ProgramLog(1, "app_foip - Sending foip__reset_config_rq");
      if (foip_api__send_reset_config_rq() != FOIP_API__OK) {
        om_os_trap(APP_FOIP__TRAP_API);
      } else {
        show_snd("FOIP__RESET_CONFIG_RQ", FOIP__NAI_GLOBAL);
      }
    }
  }
}

void on_reset_config_co(msg_t* m) {
  foip__confirm c{};
  if (foip_api__read_confirm(m, FOIP__RESET_CONFIG_CO, &c) != FOIP_API__OK) om_os_trap(APP_FOIP__TRAP_API);
  show_rcv("FOIP__RESET_CONFIG_CO", FOIP__NAI_GLOBAL);
  close_application();
}

void on_start_co(msg_t* m) {
  ProgramLog(1, "FOIP__START_CO received");
  foip__confirm c{};
  const u8 r = foip_api__read_confirm(m, FOIP__START_CO, &c);
  if (r != FOIP_API__OK) om_os_trap(APP_FOIP__TRAP_API);
  if (r == FOIP_API__OK) note_refused_confirm("FOIP__START_CO", c);
  app_foip__session_ctx* s = app_foip__get_session_ctx(m->nai);
  app_foip_dsp__primitive_short_form(1, 'C', "FOIP__START_CO", m->nai, 0, nullptr,
                                     r != FOIP_API__OK              ? "unreadable"
                                     : c.return_code == FOIP__RC_OK ? "OK"
                                                                    : "NOK");
  if (g_hooks.start_co) g_hooks.start_co(m, s, r == FOIP_API__OK ? &c : nullptr, r);
}

void on_stop(msg_t* m) {
  const bool indication = m->code == FOIP__STOP_IN;
  ProgramLog(1, indication ? "FOIP__STOP_IN received" : "FOIP__STOP_CO received");
  auto c = std::make_unique<foip__confirm>();
  auto fax = std::make_unique<foip__fax_session_status>();
  auto t38 = std::make_unique<foip__t38_session_status>();
  const u8 r = foip_api__read_stop(m, m->code, c.get(), fax.get(), t38.get(), nullptr);
  if (r != FOIP_API__OK) om_os_trap(APP_FOIP__TRAP_API);
  app_foip__session_ctx* s = app_foip__get_session_ctx(m->nai);
  const char* name = indication ? "FOIP__STOP_IN" : "FOIP__STOP_CO";
  if (r == FOIP_API__OK) note_refused_confirm(name, *c);
  app_foip_dsp__primitive_short_form(1, 'C', name, m->nai, 0, nullptr,
                                     r != FOIP_API__OK               ? "unreadable"
                                     : c->return_code == FOIP__RC_OK ? "OK"
                                                                     : "NOK");
  if (r == FOIP_API__OK) {
    app_foip_dsp__foip__fax_session_status(m->nai, fax.get());
    app_foip_dsp__foip__t38_session_status(m->nai, t38.get());
  }
  if (indication) {
    if (g_hooks.stop_in)
      g_hooks.stop_in(m, s, r == FOIP_API__OK ? c.get() : nullptr, r == FOIP_API__OK ? fax.get() : nullptr, r);
    // The session has ended, whatever could be read of its report.
    if (s) app_foip__session_to_idle(s);
  } else {
    if (g_hooks.stop_co) g_hooks.stop_co(m, s, r == FOIP_API__OK ? c.get() : nullptr, r);
    if (s && r == FOIP_API__OK && c->return_code == FOIP__RC_OK) app_foip__session_to_idle(s);
  }
}

void on_alert_in(msg_t* m) {
  ProgramLog(2, "FOIP__ALERT_IN received");
  auto alert = std::make_unique<foip__alert>();
  const u8 r = foip_api__read_record(m, FOIP__ALERT_IN, alert.get());
  if (r != FOIP_API__OK) om_os_trap(APP_FOIP__TRAP_API);
  app_foip_dsp__primitive_short_form(3, 'R', "FOIP__ALERT_IN", m->nai, m->conn_id, nullptr, nullptr);
  if (r == FOIP_API__OK) {
    ProgramLog(1, "alert in NAI is %d", alert->session_param.session_general_param.nai);
    app_foip_dsp__foip__alert(m->nai, *alert);
  }
  if (g_hooks.alert_in) {
    g_hooks.alert_in(m, r == FOIP_API__OK ? alert.get() : nullptr, r);
    return;
  }
  // No device controller to ring: the call is rejected.
  ProgramLog(1, "app_foip - Rejecting call from ALERT_IN");
  if (r != FOIP_API__OK) *alert = foip__alert{};
  (void)app_foip_mngt__accept_reject_sip_incoming_call(*alert, m->nai, m->sapi, m->conn_id, nullptr);
}

void on_report_in(msg_t* m) {
  ProgramLog(1, "FOIP_REPORT_IN received");
  auto rep = std::make_unique<foip__report>();
  const u8 r = foip_api__read_report(m, rep.get());
  if (r != FOIP_API__OK) om_os_trap(APP_FOIP__TRAP_API);
  app_foip_dsp__primitive_short_form(1, 'R', "FOIP__REPORT_IN", m->nai, 0, nullptr, nullptr);
  if (g_hooks.report_in) g_hooks.report_in(m, r == FOIP_API__OK ? rep.get() : nullptr, r);
}

void on_foip(msg_t* m) {
  switch (m->code) {
    case FOIP__STOP_IN:
    case FOIP__STOP_CO: on_stop(m); return;
    case FOIP__ALERT_IN: on_alert_in(m); return;
    case FOIP__REPORT_IN: on_report_in(m); return;
    case FOIP__START_CO: on_start_co(m); return;
    case FOIP__SET_CONFIG_CO: process_foip__set_config_co(m); return;
    case FOIP__T38_CAPABILITIES_CO: process_rcv_t38_capabilities(m); return;
    case FOIP__SIP_UNREGISTER_CO: read_foip__sip_unregister_co(m); return;
    case FOIP__RESET_CONFIG_CO: on_reset_config_co(m); return;
    case FOIP__SIP_REGISTER_CO: read_foip__sip_register_co(m); return;
    default:
      // Not a primitive that ENT_FOIP sends.
      ProgramLog(1, "app_foip - unknown primitive 0x%02X from ENT_FOIP refused", m->code);
      om_os_trap(APP_FOIP__TRAP_API);
      return;
  }
}

}  // namespace

// ---------------------------------------------------------------------------

app_foip__glb_ctx& app_foip__ctx() { return ctx(); }

std::recursive_mutex& app_foip__lock() { return g_lock; }

void app_foip__init_critical_section() { LogConsole("initialising critical section"); }

void app_foip__set_cnf_options(const app_foip_cnf__options& options) { g_cnf_options = options; }

void app_foip__set_link_hooks(const app_foip__link_hooks& hooks) {
  lock_holder hold(g_lock);
  g_hooks = hooks;
}

bool app_foip__application_ended() { return g_ended.load(); }

void app_foip_entity_init() {
  lock_holder hold(g_lock);
  g_ctx = std::make_unique<app_foip__glb_ctx>();
  g_ctx->cnf.magic = APP_FOIP_CNF__MAGIC_INIT;
  g_ended.store(false);
  g_current = nullptr;
}

void app_foip_entity_handler(msg_t* m) {
  if (!m) return;
  lock_holder hold(g_lock);
  app_foip__glb_ctx& g = ctx();
  g_current = m;
  if (g.closed == 1) {
    Free_msg(m);
    g_current = nullptr;
    return;
  }
  switch (m->from) {
    case ENT_TI:
      if (m->code == APP_FOIP__TI_DELAYED_START) {
        on_delayed_start(m);
      } else if (m->code == APP_FOIP__TI_USER_EVT) {
        on_user_evt();
      }
      break;
    case ENT_SM:
      if (m->code == SM_CONFIG_RQ) {
        on_sm_config_rq(m);
      } else if (m->code == SM_RST_CFG_RQ) {
        const u8 body[1] = {OM_OS_OK};
        Msg_set_inline_body(m, body, 1);
        app_foip__send_sm_confirm(ENT_SM, SM_RST_CFG_CO);
      }
      break;
    case ENT_FOIP: on_foip(m); break;
    default: break;
  }
  if (g_current) Free_msg(g_current);
  g_current = nullptr;
}

void app_foip__send_sm_confirm(ent_id_t destination, code_t code) {
  msg_t* m = g_current;
  if (!m) return;
  Msg_set_head(m, {ENT_APP_FOIP, destination, code, m->nai, 1, 0xFFFF});
  g_current = nullptr;
  Send_msg(m);
}

// ---------------------------------------------------------------------------
// Direct calls.

u8 __app_foip__start(nai_t selector, const char** text) {
  lock_holder hold(g_lock);
  app_foip__glb_ctx& g = ctx();
  if (g.batch_direction == 2 && selector == APP_FOIP__ALL) selector = APP_FOIP__ALL_OUT;
  auto idle = [](const app_foip__session_ctx& s) { return s.state == APP_FOIP__ST_IDLE; };
  if (selector == APP_FOIP__ALL || selector == APP_FOIP__ALL_IN || selector == APP_FOIP__ALL_OUT) {
    mark(selector, APP_FOIP__USR_EVT_START, idle);
  } else {
    ProgramLog(1, "app_foip - __app_foip__start: launching session %d", selector);
    app_foip__session_ctx* s = app_foip__get_session_ctx(selector);
    if (!s) {
      ProgramLog(1, "app_foip - __app_foip__start: session not found %d", selector);
      set_text(text, "Session not found");
      return OM_OS_NOK;
    }
    if (idle(*s)) {
      s->usr_evt = APP_FOIP__USR_EVT_START;
      g.usr_evt_pending = 1;
    }
    const u8* a = s->param().sip_session_param.remote_sip_addr.ip_addr.addr.v4.addr;
    ProgramLog(1, "app_foip __app_foip__start() IP Address from context: %d.%d.%d.%d", a[0], a[1], a[2], a[3]);
  }
  set_text(text, "OK");
  return OM_OS_OK;
}

u8 __app_foip__start_checked(nai_t selector, const char** text) {
  lock_holder hold(g_lock);
  app_foip__glb_ctx& g = ctx();
  if (!configured(g, text)) return OM_OS_NOK;
  if (g.batch_mode == 1 && g.batch_count < g.batch_limit) {
    set_text(text, "Batch process is running");
    return OM_OS_NOK;
  }
  return __app_foip__start(selector, text);
}

u8 __app_foip__stop(nai_t selector, const char** text) {
  lock_holder hold(g_lock);
  app_foip__glb_ctx& g = ctx();
  if (!configured(g, text)) return OM_OS_NOK;
  g.batch_mode = 0;
  auto any = [](const app_foip__session_ctx&) { return true; };
  if (selector == APP_FOIP__ALL || selector == APP_FOIP__ALL_IN || selector == APP_FOIP__ALL_OUT) {
    mark(selector, APP_FOIP__USR_EVT_STOP, any);
  } else if (app_foip__session_ctx* s = app_foip__get_session_ctx(selector)) {
    s->usr_evt = APP_FOIP__USR_EVT_STOP;
    g.usr_evt_pending = 1;
  }
  set_text(text, "OK");
  return OM_OS_OK;
}

u8 __app_foip__exit(const char** text) {
  lock_holder hold(g_lock);
  app_foip__glb_ctx& g = ctx();
  g.usr_evt_pending = 1;
  g.exit_requested = 1;
  set_text(text, "");
  return OM_OS_OK;
}

void app_foip__update_global_counters(int n) {
  lock_holder hold(g_lock);
  app_foip__glb_ctx& g = ctx();
  ProgramLog(2, "app_foip - app_foip__update_global_counters() called with %d", n);
  LogConsole("Update global counters with new_cnt %d", n);
  if (n >= 1) {
    ++g.session_cnt;
    if (g.session_cnt == 1) {
      ++g.batch_count;
      char text[80];
      if (g.batch_mode == 1) {
        (void)std::snprintf(text, sizeof text, "===== Start new batch process (%d/%d) ======", g.batch_count,
                            g.batch_limit);
      } else {
        (void)std::snprintf(text, sizeof text, "========== Start new batch process ==========");
      }
      show_batch_header(text);
    }
    return;
  }
  if (g.session_cnt == 0) return;
  --g.session_cnt;
  if (g.session_cnt != 0) return;
  show_batch_header("========== End of batch process ========== ");
  if (g.batch_mode == 1 && g.batch_count < g.batch_limit)
    __app_foip__start(g.batch_direction == 2 ? APP_FOIP__ALL_OUT : APP_FOIP__ALL, nullptr);
}

void app_foip__launch_eof_application() {
  lock_holder hold(g_lock);
  app_foip__glb_ctx& g = ctx();
  if (!g.foip_configured) {
    // ENT_FOIP holds no configuration to reset (the configuration failed or
    // ENT_FOIP refused it): the application ends here.
    ProgramLog(1, "app_foip - ENT_FOIP not configured, end of the application");
    close_application();
    return;
  }
  for (const auto& s : g.sessions) {
    if (s->registered != 1) continue;
    if (foip_api__send_sip_unregister_rq(s->nai, s->register_conn_id) != FOIP_API__OK) {
      om_os_trap(APP_FOIP__TRAP_API);
      continue;
    }
    show_snd("FOIP__SIP_UNREGISTER_RQ", s->nai);
    ++g.unregister_pending;
  }
  if (g.unregister_pending == 0) {
    ProgramLog(1, "app_foip - Sending foip__reset_config_rq");
    if (foip_api__send_reset_config_rq() != FOIP_API__OK) {
      om_os_trap(APP_FOIP__TRAP_API);
    } else {
      show_snd("FOIP__RESET_CONFIG_RQ", FOIP__NAI_GLOBAL);
    }
  }
}
