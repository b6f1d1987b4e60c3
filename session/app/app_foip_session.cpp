// Application session records and their automaton.
#include "session/app/app_foip_session.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "common/program_log.h"
#include "runtime/automaton.h"
#include "runtime/om_os.h"
#include "session/app/app_foip.h"
#include "session/app/app_foip_dsp.h"
#include "session/trace/foip_trc.h"

namespace {

app_foip__glb_ctx& ctx() { return app_foip__ctx(); }

void mngt(const char* text, const app_foip__session_ctx* s, u16 batch_cnt) {
  app_foip_dsp__mngt_event(7, text, s->nai, ctx().session_cnt, batch_cnt);
}

void progress_batch_count() {
  const u16 n = ctx().batch_count;
  foip_trc__progress_bar(3, &n);
}

// ---------------------------------------------------------------------------
// The automaton: rows of {state, event, action, next state}.  An event's
// number is the offset of its row in the table (event + state).

namespace fsm = kv::fsm;

enum class st : u8 {
  idle = APP_FOIP__ST_IDLE,
  delayed_start = APP_FOIP__ST_DELAYED_START,
  start_sent = APP_FOIP__ST_START_SENT,
  running = APP_FOIP__ST_RUNNING,
  stop_sent = APP_FOIP__ST_STOP_SENT,
  count_
};
enum class ev : u8 { start = 0, stop = 5, call = 10, timer = 15, count_ };
using act = void (*)(app_foip__session_ctx*);

void arm_delayed_start(app_foip__session_ctx* s);
void stop_delayed_start(app_foip__session_ctx* s);
void start_foip_session(app_foip__session_ctx* s);
void stop_session(app_foip__session_ctx* s);
void nothing(app_foip__session_ctx*) {}

constexpr fsm::row<st, ev, act> kRows[] = {
    {st::idle, ev::start, arm_delayed_start, st::delayed_start},
    {st::idle, ev::call, nothing, st::running},
    {st::delayed_start, ev::stop, stop_delayed_start, st::idle},
    {st::delayed_start, ev::timer, start_foip_session, fsm::by_action},
    {st::start_sent, ev::stop, stop_session, fsm::by_action},
    {st::running, ev::stop, stop_session, fsm::by_action},
    // A second stop waits for the answer to the first.
    {st::stop_sent, ev::stop, nothing, fsm::keep},
};
constexpr auto kTable = fsm::compile(kRows, fsm::cell<act>{nothing, fsm::kKeep});
constexpr auto kPlain = fsm::plain(kRows);
constexpr u8 kActionTargets[] = {APP_FOIP__ST_START_SENT, APP_FOIP__ST_STOP_SENT};

// Whether the event takes an idle record out of idle.
bool leaves_idle(ev event, const app_foip__session_ctx* s) {
  if (s->state != APP_FOIP__ST_IDLE) return false;
  const u8 next = kTable.at(st::idle, event).next;
  return next != fsm::kKeep && next != fsm::kByAction && next != APP_FOIP__ST_IDLE;
}

void arm_delayed_start(app_foip__session_ctx* s) {
  ++s->timer_seq;
  const u32 duration = s->start_cnt == 0 ? APP_FOIP__FIRST_START_DELAY_MS : s->start_delay;
  Timer_start(s->timer, duration, s->timer_seq, ctx().delayed_start_code);
  s->timer_armed = 1;
}

void stop_delayed_start(app_foip__session_ctx* s) {
  mngt("Stop session", s, ctx().batch_count);
  Timer_stop(s->timer);
  s->timer_armed = 0;
}

void start_foip_session(app_foip__session_ctx* s) {
  app_foip__glb_ctx& g = ctx();
  app_foip_dsp__primitive_short_form(1, 'R', "APP_FOIP__TI_DELAYED_START", s->nai, 0, nullptr, nullptr);
  mngt("Start session", s, g.batch_count);
  foip__session_param& p = s->param();
  char info[FOIP__USER_ID_STRING_MAX_LEN];
  (void)std::snprintf(info, sizeof info, "[User info: nai %d  Session cnt %d  Batch cnt %d]", s->nai, g.session_cnt,
                      g.batch_count);
  foip__copy_text(p.trc_param.common.sz_user_id_string, info);
  ProgramLog(1, "app_foip_mngt - start_foip_session 1 : %s", info);
  if (g.counters_mode == 0) p.fax_rcv_pg.usr_val = g.batch_count;
  p.session_general_param.direction = s->direction == FOIP__DIR_OUT ? 'O' : 'I';
  if (s->rotation_flags & 1) {
    s->rotation_cnt = static_cast<u8>(s->rotation_cnt + ((s->rotation_flags & 2) ? 2 : 1));
    if (s->rotation_cnt >= 10) s->rotation_cnt = 0;
  } else {
    s->rotation_cnt = 0;
  }
  p.t38_media_add_param.local_media_add.local_media_ip_addr.ip_port =
      static_cast<u16>(s->rotation_cnt + s->rotation_base);
  if (foip_api__send_start_rq(s->nai, p) != FOIP_API__OK) {
    om_os_trap(APP_FOIP__TRAP_API);
    return;
  }
  app_foip_dsp__primitive_short_form(1, 'S', "FOIP__START_RQ", s->nai, 0, nullptr, nullptr);
  ++s->start_cnt;
  s->state = APP_FOIP__ST_START_SENT;
}

void stop_session(app_foip__session_ctx* s) {
  mngt("Stop session", s, ctx().batch_count);
  if (foip_api__send_stop_rq(s->nai) != FOIP_API__OK) {
    om_os_trap(APP_FOIP__TRAP_API);
    return;
  }
  app_foip_dsp__primitive_short_form(1, 'S', "FOIP__STOP_RQ", s->nai, 0, nullptr, nullptr);
  s->state = APP_FOIP__ST_STOP_SENT;
}

void step(ev event, app_foip__session_ctx* s) {
  const u8 old = s->state;
  const u16 batch_before = ctx().batch_count;
  const auto* c = kTable.find(s->state, static_cast<u8>(event));
  if (!c) return;
  c->action(s);
  s->state = fsm::next_of(*c, s->state);
  if (s->state != old && s->state == APP_FOIP__ST_IDLE) {
    mngt("Session idle", s, batch_before);
    app_foip__update_global_counters(-1);
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Records.

fsm::machine_view app_foip__session_machine() {
  return {"application session", fsm::count_of<st>, fsm::count_of<ev>, APP_FOIP__ST_IDLE, kPlain, kActionTargets, {}};
}

app_foip__session_ctx* app_foip__create_session_ctx(app_foip_cnf__session* cnf) {
  auto s = std::make_unique<app_foip__session_ctx>();
  s->cnf = cnf;
  s->ref_nai = cnf->ref_nai;
  s->direction = cnf->cfg.direction;
  s->rotation_base = cnf->cfg.rotation_base;
  s->register_wanted = cnf->cfg.register_wanted;
  ctx().sessions.push_back(std::move(s));
  return ctx().sessions.back().get();
}

u8 app_foip__bind_session(nai_t nai, app_foip__session_ctx* s) {
  if (!s) return OM_OS_NOK;
  s->param().fax_common_param.keep_bit_order__rx = 0;
  s->nai = nai;
  s->param().session_general_param.nai = nai;
  ctx().delayed_start_code = APP_FOIP__TI_DELAYED_START;
  s->timer = Timer_alloc(ENT_APP_FOIP, nai, 2, 0xFFFF);
  if (!s->timer) {
    om_os_trap(APP_FOIP__TRAP_SESSION_TIMER);
    return OM_OS_NOK;
  }
  s->start_delay = ctx().start_delay;
  return OM_OS_OK;
}

void app_foip__release_session_ctx(app_foip__session_ctx* s) {
  auto& list = ctx().sessions;
  auto it = std::find_if(list.begin(), list.end(), [&](const auto& p) { return p.get() == s; });
  if (it == list.end()) return;
  ProgramLog(1, "Releasing context %lx", static_cast<unsigned long>(reinterpret_cast<uintptr_t>(s) & 0xFFFFFFFFu));
  if (s->timer) Timer_free(s->timer);
  list.erase(it);
}

void app_foip__release_all_session_ctx() {
  while (!ctx().sessions.empty()) app_foip__release_session_ctx(ctx().sessions.front().get());
  ctx().cnf.sessions.clear();
}

app_foip__session_ctx* app_foip__get_session_ctx(nai_t nai) {
  for (const auto& s : ctx().sessions)
    if (s->nai == nai) return s.get();
  return nullptr;
}

app_foip__session_ctx* app_foip_mngt__get_session_ctx(nai_t nai) { return app_foip__get_session_ctx(nai); }

app_foip__session_ctx* app_foip_mngt__next_session_ctx(const app_foip__session_ctx* s) {
  auto& list = ctx().sessions;
  if (!s) return list.empty() ? nullptr : list.front().get();
  for (std::size_t i = 0; i < list.size(); ++i)
    if (list[i].get() == s) return i + 1 < list.size() ? list[i + 1].get() : nullptr;
  return nullptr;
}

app_foip__session_ctx* app_foip_mngt__search_session_ctx(u8 criterion, nai_t nai, u16 call_id,
                                                         const app_foip__session_ctx* from) {
  auto match = [&](const app_foip__session_ctx* s) {
    const bool idle = s->state == APP_FOIP__ST_IDLE;
    const bool busy = s->state == APP_FOIP__ST_START_SENT || s->state == APP_FOIP__ST_RUNNING;
    switch (criterion) {
      case APP_FOIP__SEARCH_IDLE: return idle;
      case APP_FOIP__SEARCH_IDLE_OUT: return idle && s->direction == FOIP__DIR_OUT;
      case APP_FOIP__SEARCH_IDLE_IN: return idle && s->direction == FOIP__DIR_IN;
      case APP_FOIP__SEARCH_BUSY_OUT: return busy && s->direction == FOIP__DIR_OUT;
      case APP_FOIP__SEARCH_BUSY_IN: return busy && s->direction == FOIP__DIR_IN;
      case APP_FOIP__SEARCH_BUSY: return busy;
      case APP_FOIP__SEARCH_NAI: return s->nai == nai;
      case APP_FOIP__SEARCH_CALL_ID: return s->call_id == call_id;
      default: return false;
    }
  };
  for (app_foip__session_ctx* s = app_foip_mngt__next_session_ctx(from); s; s = app_foip_mngt__next_session_ctx(s))
    if (match(s)) return s;
  return nullptr;
}

// ---------------------------------------------------------------------------
// Automaton.

u8 app_foip_mngt__process_event(u8 event, app_foip__session_ctx* s) {
  std::lock_guard<std::recursive_mutex> hold(app_foip__lock());
  if (event != APP_FOIP__EVT_PRIMITIVE && !s) return OM_OS_NOK;
  switch (event) {
    case APP_FOIP__EVT_START:
      if (leaves_idle(ev::start, s)) app_foip__update_global_counters(1);
      progress_batch_count();
      step(ev::start, s);
      return OM_OS_OK;
    case APP_FOIP__EVT_STOP:
      progress_batch_count();
      step(ev::stop, s);
      return OM_OS_OK;
    case APP_FOIP__EVT_INCOMING_CALL:
      if (leaves_idle(ev::call, s)) app_foip__update_global_counters(1);
      mngt("Start new session (SIP incoming call)", s, ctx().batch_count);
      progress_batch_count();
      step(ev::call, s);
      return OM_OS_OK;
    case APP_FOIP__EVT_TIMER: step(ev::timer, s); return OM_OS_OK;
    case APP_FOIP__EVT_PRIMITIVE:
      // The entity's handler reads the primitives of ENT_FOIP itself.
      return OM_OS_OK;
    default: return OM_OS_NOK;
  }
}

void app_foip__session_to_idle(app_foip__session_ctx* s) {
  std::lock_guard<std::recursive_mutex> hold(app_foip__lock());
  if (!s || s->state == APP_FOIP__ST_IDLE) return;
  if (s->timer_armed) {
    Timer_stop(s->timer);
    s->timer_armed = 0;
  }
  s->state = APP_FOIP__ST_IDLE;
  mngt("Session idle", s, ctx().batch_count);
  app_foip__update_global_counters(-1);
}

u8 app_foip_mngt__accept_reject_sip_incoming_call(const foip__alert& indication, nai_t nai, u8 sapi, u16 conn_id,
                                                  app_foip__session_ctx* s) {
  std::lock_guard<std::recursive_mutex> hold(app_foip__lock());
  app_foip__glb_ctx& g = ctx();
  auto rs = std::make_unique<foip__alert>(indication);
  if (!s) {
    app_foip_dsp__mngt_event(1, "No compatible context found", nai, g.session_cnt, g.batch_count);
    rs->answer = FOIP__ALERT_REJECT;
    rs->sip_status = 404;
    foip__copy_text(rs->sz_text, "Requested user not found");
    const u8 r = foip_api__send_alert_rs(*rs, nai, sapi, conn_id);
    if (r != FOIP_API__OK) om_os_trap(APP_FOIP__TRAP_API);
    app_foip_dsp__primitive_short_form(1, 'S', " FOIP__ALERT_RS (REJECT)", nai, conn_id, nullptr, nullptr);
    return r == FOIP_API__OK ? OM_OS_OK : OM_OS_NOK;
  }
  char text[80];
  (void)std::snprintf(text, sizeof text, "A compatible context has been found (ctx nai : %d)", s->nai);
  app_foip_dsp__mngt_event(1, text, s->nai, g.session_cnt, g.batch_count);
  char info[FOIP__USER_ID_STRING_MAX_LEN];
  (void)std::snprintf(info, sizeof info, "[User info: nai %d  Session cnt %d  Batch cnt %d]", s->nai, g.session_cnt,
                      g.batch_count);
  app_foip_dsp__mngt_event(1, info, s->nai, g.session_cnt, g.batch_count);
  foip__copy_text(s->param().trc_param.common.sz_user_id_string, info);

  foip__session_param& p = rs->session_param;
  p = s->param();
  foip__clear_addr(p.sip_session_param.remote_sip_addr);
  p.sip_session_param.remote_sip_addr.ip_addr.ip_family = 0;
  foip__sip_media_identification& id = p.t38_media_add_param.sip_media_identification;
  id.local_user_identification = 0;
  id.flag_invite_in__no_filter = 0;
  id.sz_local_user_phone_number[0] = 0;
  id.remote_user_identification = 0;
  id.sz_remote_user_name[0] = 0;
  id.sz_remote_user_phone_number[0] = 0;
  p.fax_send_pg = foip__fax_send_pg{};
  p.session_general_param.direction = 'I';
  if (g.counters_mode == 0) p.fax_rcv_pg.usr_val = g.batch_count;
  p.t38_media_add_param.local_media_add.local_media_ip_addr.ip_port =
      static_cast<u16>(s->rotation_cnt + s->rotation_base);
  s->call_id = conn_id;
  app_foip_mngt__process_event(APP_FOIP__EVT_INCOMING_CALL, s);

  static constexpr struct {
    u8 answer;
    const char* shown;
  } kAnswers[] = {{FOIP__ALERT_PROVISIONAL, " FOIP__ALERT_RS (OK)"},
                  {FOIP__ALERT_RINGING, " FOIP__ALERT_RS (RINGING)"},
                  {FOIP__ALERT_ACCEPT, " FOIP__ALERT_RS (OK)"}};
  u8 r = FOIP_API__OK;
  for (const auto& a : kAnswers) {
    rs->answer = a.answer;
    r = foip_api__send_alert_rs(*rs, nai, sapi, conn_id);
    if (r != FOIP_API__OK) {
      om_os_trap(APP_FOIP__TRAP_API);
      continue;
    }
    app_foip_dsp__primitive_short_form(1, 'S', a.shown, nai, conn_id, nullptr, nullptr);
  }
  return r == FOIP_API__OK ? OM_OS_OK : OM_OS_NOK;
}
