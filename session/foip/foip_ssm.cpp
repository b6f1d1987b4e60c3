// Session-control automaton of ENT_FOIP: admission of starts and stops
// through FIFOs limited by nb_simultaneous_start_stop, the 8 x 8 automaton
// that opens the SIP call, the T.38 session and the fax session and closes
// them in reverse order, and the closing step that answers the user.
#include <algorithm>
#include <cstdio>
#include <cstring>

#include "runtime/automaton.h"
#include "runtime/om_os.h"
#include "session/foip/foip.h"
#include "session/foip/foip_long_data.h"
#include "session/foip/foip_ctx.h"
#include "session/foip/foip_err.h"
#include "session/trace/foip_trc.h"

namespace {

// ---------------------------------------------------------------------------
// Names.

constexpr foip__name_entry kStateNames[] = {
    {0, "??"},
    {FOIP_MGT__IDLE, "IDLE"},
    {FOIP_MGT__T38_OPEN_PROGRESS, "T38_OPEN_PROGRESS"},
    {FOIP_MGT__FAX_OPEN_PROGRESS, "FAX_OPEN_PROGRESS"},
    {FOIP_MGT__RUNNING, "RUNNING"},
    {FOIP_MGT__FAX_CLOSE_PROGRESS, "FAX_CLOSE_PROGRESS"},
    {FOIP_MGT__T38_CLOSE_PROGRESS, "T38_CLOSE_PROGRESS"},
    {FOIP_MGT__SIP_CALL_PROGRESS, "SIP_CALL_PROGRESS"},
    {FOIP_MGT__SIP_CLOSE_PROGRESS, "SIP_CLOSE_PROGRESS"},
    {0, ""},
};
constexpr foip__name_entry kEventNames[] = {
    {0, "??"},
    {FOIP_MGT__EVT_FIFO__START_RQ, "EVT_FIFO__START_RQ"},
    {FOIP_MGT__EVT_FIFO__STOP_RQ, "EVT_FIFO__STOP_RQ"},
    {FOIP_MGT__EVT_T38_OPENED, "EVT_T38_OPENED"},
    {FOIP_MGT__EVT_FAX_OPENED, "EVT_FAX_OPENED"},
    {FOIP_MGT__EVT_FAX_CLOSED, "EVT_FAX_CLOSED"},
    {FOIP_MGT__EVT_T38_CLOSED, "EVT_T38_CLOSED"},
    {FOIP_MGT__EVT_SIP_CALL_OPENED, "EVT_SIP_CALL_OPENED"},
    {FOIP_MGT__EVT_SIP_CALL_CLOSED, "EVT_SIP_CALL_CLOSED"},
    {0, ""},
};

// Body of an internal message.
struct mgt_body {
  u16 result = 0, origin = 0, source = 0, code = 0;
};
mgt_body read_mgt(const msg_t* m) {
  mgt_body b;
  if (m && m->from == ENT_FOIP && Msg_total_size(m) >= 8) {
    u16 w[4];
    std::memcpy(w, Msg_data(m), sizeof w);
    b = {w[0], w[1], w[2], w[3]};
  }
  return b;
}
bool cur_is(code_t code) {
  const msg_t* m = foip__current_msg();
  return m && m->from == ENT_FOIP && m->code == code;
}

void log_line(nai_t nai, const char* fmt, const char* name, const char* extra = nullptr) {
  char text[160];
  if (extra) (void)std::snprintf(text, sizeof text, fmt, nai, name, extra);
  else if (nai != FOIP__NAI_GLOBAL) (void)std::snprintf(text, sizeof text, fmt, nai, name);
  else (void)std::snprintf(text, sizeof text, fmt, name);
  foip_trc__print_event(nai == FOIP__NAI_GLOBAL ? foip__glb().sip.sig_nai : nai, FOIP__SMNGT_EVT, text);
}

void t38_evt(foip__na_ctx* s, u8 event, u8 transport = 0, u8 dir = 0) {
  if (foip__hooks().t38_mgt__automaton) foip__hooks().t38_mgt__automaton(s, event, transport, dir);
}
void fax_evt(foip__na_ctx* s, u8 event) {
  if (foip__hooks().fax_mgt__automaton) foip__hooks().fax_mgt__automaton(s, event);
}
void ssc_evt(foip__na_ctx* s, u8 event) {
  if (foip__hooks().ssc_mgt__automaton) foip__hooks().ssc_mgt__automaton(s, event);
}

void answer_start_ok(foip__na_ctx* s) {
  if (!s->start_rq) return;
  msg_t* m = s->start_rq;
  s->start_rq = nullptr;
  foip__send_confirm(m, FOIP__START_CO, FOIP__RC_OK, FOIP__STOP_SRC, 2, s->nai, FOIP__CONN_NONE);
}

void stop_sip_session(foip__na_ctx* s) {
  if (s->sip_call && s->sip_call_established) {
    log_line(FOIP__NAI_GLOBAL, "\n                     Stop SIP session %s\n", s->name());
    s->state = FOIP_MGT__SIP_CLOSE_PROGRESS;
    ssc_evt(s, SSC_MGT__EVT_CLOSE_CALL);
  } else {
    s->state = FOIP_MGT__IDLE;
  }
}

void stop_t38_session(foip__na_ctx* s) {
  if (s->t38_active) {
    log_line(s->nai, "\n(nai %3d)            Stop T.38 session %s\n", s->name());
    s->state = FOIP_MGT__T38_CLOSE_PROGRESS;
    t38_evt(s, T38_MGT__EVT_USR_DEA_RQ);
  } else {
    s->state = FOIP_MGT__IDLE;
    stop_sip_session(s);
  }
}

void stop_fax(foip__na_ctx* s) {
  log_line(s->nai, "\n(nai %3d)            Stop Fax session %s\n", s->name());
  s->state = FOIP_MGT__FAX_CLOSE_PROGRESS;
  fax_evt(s, FAX_MGT__EVT_USR_DEA_RQ);
}

void start_sip_session(foip__na_ctx* s) {
  if (s->direction != 'O') return;  // an incoming session waits for its call
  log_line(FOIP__NAI_GLOBAL, "\n                     Start SIP session  %s (Outgoing call)\n", s->name());
  s->state = FOIP_MGT__SIP_CALL_PROGRESS;
  ssc_evt(s, SSC_MGT__EVT_OPEN_CALL);
}

// The failure a layer reported in the current internal message.
void take_failure(foip__na_ctx* s, const mgt_body& b) {
  s->failure = 1;
  s->err_source = static_cast<u8>(b.source);
  s->err_code = static_cast<u8>(b.code);
}

void start_t38_session(foip__na_ctx* s) {
  const mgt_body b = read_mgt(foip__current_msg());
  if (cur_is(FOIP_MGT__SIP_CALL_OPENED) && b.result != FOIP__RC_OK) {
    take_failure(s, b);
    s->state = FOIP_MGT__IDLE;
    return;
  }
  s->failure = 0;
  if (cur_is(FOIP_MGT__SIP_CALL_OPENED) && b.origin == 0) {
    log_line(FOIP__NAI_GLOBAL, "\n                     SIP Incoming call session %s\n", s->name());
    ++foip__glb().nb_start_phase;
  }
  if (s->direction != 'I' && s->direction != 'O') return;
  const char* tr = s->kind_of_t38_transport == 'T' ? "TCP" : "UDP";
  log_line(s->nai,
           s->direction == 'I' ? "\n(nai %3d)            Start T.38 session %s (Rcv Fax) (%s)\n"
                               : "\n(nai %3d)            Start T.38 session %s (Snd Fax) (%s)\n",
           s->name(), tr);
  const u16 count = foip__glb().nb_ctx;
  foip_trc__progress_bar(4, &count);
  const char letter = s->kind_of_t38_transport == 'T' ? 't' : 'u';
  foip_trc__progress_bar(5, &letter);
  s->state = FOIP_MGT__T38_OPEN_PROGRESS;
  t38_evt(s, T38_MGT__EVT_USR_ACT_RQ, s->kind_of_t38_transport == 'T' ? 'T' : 'U', s->direction);
}

void t38_opened(foip__na_ctx* s) {
  const mgt_body b = read_mgt(foip__current_msg());
  if (b.result != FOIP__RC_OK) {
    take_failure(s, b);
    stop_sip_session(s);
  } else if (s->kind_of_session == 'I') {
    log_line(s->nai, "\n(nai %3d)            Start Fax session  %s\n", s->name());
    s->failure = 0;
    s->state = FOIP_MGT__FAX_OPEN_PROGRESS;
    fax_evt(s, FAX_MGT__EVT_USR_ACT_RQ);
  } else if (s->stop_flag) {
    s->stop_flag = 0;
    s->state = FOIP_MGT__T38_CLOSE_PROGRESS;
    stop_t38_session(s);
  } else {
    s->state = FOIP_MGT__RUNNING;
    answer_start_ok(s);
  }
}

void fax_opened(foip__na_ctx* s) {
  const mgt_body b = read_mgt(foip__current_msg());
  if (b.result != FOIP__RC_OK) {
    take_failure(s, b);
    s->state = FOIP_MGT__T38_CLOSE_PROGRESS;
    stop_t38_session(s);
    return;
  }
  s->failure = 0;
  if (s->stop_flag) {
    s->stop_flag = 0;
    stop_fax(s);
  } else {
    s->state = FOIP_MGT__RUNNING;
    answer_start_ok(s);
  }
}

void t38_closed(foip__na_ctx* s) {
  if (s->kind_of_session == 'I') stop_fax(s);
  else stop_sip_session(s);
}

void stop_running_session(foip__na_ctx* s) {
  if (cur_is(FOIP_MGT__SIP_CALL_CLOSED))
    log_line(FOIP__NAI_GLOBAL, "\n                     SIP session %s has been stopped\n", s->name());
  if (s->kind_of_session == 'I') stop_fax(s);
  else stop_t38_session(s);
}

void set_stop_flag(foip__na_ctx* s) { s->stop_flag = 1; }
void nothing(foip__na_ctx*) {}

// ---------------------------------------------------------------------------
// The automaton.  An event's number is the offset of its row in the table
// (event index x 8); the trace shows these numbers.

namespace fsm = kv::fsm;

enum class st : u8 {
  IDLE = FOIP_MGT__IDLE,
  T38_OPEN_PROGRESS = FOIP_MGT__T38_OPEN_PROGRESS,
  FAX_OPEN_PROGRESS = FOIP_MGT__FAX_OPEN_PROGRESS,
  RUNNING = FOIP_MGT__RUNNING,
  FAX_CLOSE_PROGRESS = FOIP_MGT__FAX_CLOSE_PROGRESS,
  T38_CLOSE_PROGRESS = FOIP_MGT__T38_CLOSE_PROGRESS,
  SIP_CALL_PROGRESS = FOIP_MGT__SIP_CALL_PROGRESS,
  SIP_CLOSE_PROGRESS = FOIP_MGT__SIP_CLOSE_PROGRESS,
  count_
};
enum class ev : u8 {
  EVT_FIFO__START_RQ = FOIP_MGT__EVT_FIFO__START_RQ,
  EVT_FIFO__STOP_RQ = FOIP_MGT__EVT_FIFO__STOP_RQ,
  EVT_T38_OPENED = FOIP_MGT__EVT_T38_OPENED,
  EVT_FAX_OPENED = FOIP_MGT__EVT_FAX_OPENED,
  EVT_FAX_CLOSED = FOIP_MGT__EVT_FAX_CLOSED,
  EVT_T38_CLOSED = FOIP_MGT__EVT_T38_CLOSED,
  EVT_SIP_CALL_OPENED = FOIP_MGT__EVT_SIP_CALL_OPENED,
  EVT_SIP_CALL_CLOSED = FOIP_MGT__EVT_SIP_CALL_CLOSED,
  count_
};
using act = void (*)(foip__na_ctx*);

// Cells not listed: no action, state unchanged.
constexpr fsm::row<st, ev, act> kRows[] = {
    {st::IDLE, ev::EVT_FIFO__START_RQ, start_sip_session, fsm::by_action},
    {st::T38_OPEN_PROGRESS, ev::EVT_FIFO__STOP_RQ, stop_t38_session, fsm::by_action},
    {st::FAX_OPEN_PROGRESS, ev::EVT_FIFO__STOP_RQ, set_stop_flag, fsm::keep},
    {st::RUNNING, ev::EVT_FIFO__STOP_RQ, stop_running_session, fsm::by_action},
    {st::SIP_CALL_PROGRESS, ev::EVT_FIFO__STOP_RQ, stop_sip_session, fsm::by_action},
    {st::T38_OPEN_PROGRESS, ev::EVT_T38_OPENED, t38_opened, fsm::by_action},
    {st::FAX_OPEN_PROGRESS, ev::EVT_FAX_OPENED, fax_opened, fsm::by_action},
    {st::RUNNING, ev::EVT_FAX_CLOSED, stop_t38_session, fsm::by_action},
    {st::FAX_CLOSE_PROGRESS, ev::EVT_FAX_CLOSED, stop_t38_session, fsm::by_action},
    {st::T38_OPEN_PROGRESS, ev::EVT_T38_CLOSED, stop_sip_session, fsm::by_action},
    {st::FAX_OPEN_PROGRESS, ev::EVT_T38_CLOSED, set_stop_flag, fsm::keep},
    {st::RUNNING, ev::EVT_T38_CLOSED, t38_closed, fsm::by_action},
    {st::T38_CLOSE_PROGRESS, ev::EVT_T38_CLOSED, stop_sip_session, fsm::by_action},
    {st::SIP_CALL_PROGRESS, ev::EVT_SIP_CALL_OPENED, start_t38_session, fsm::by_action},
    {st::SIP_CLOSE_PROGRESS, ev::EVT_SIP_CALL_OPENED, nothing, st::IDLE},
    {st::T38_OPEN_PROGRESS, ev::EVT_SIP_CALL_CLOSED, set_stop_flag, fsm::keep},
    {st::FAX_OPEN_PROGRESS, ev::EVT_SIP_CALL_CLOSED, set_stop_flag, fsm::keep},
    {st::RUNNING, ev::EVT_SIP_CALL_CLOSED, stop_running_session, fsm::by_action},
    {st::SIP_CLOSE_PROGRESS, ev::EVT_SIP_CALL_CLOSED, nothing, st::IDLE},
};
constexpr auto kTable = fsm::compile(kRows, fsm::cell<act>{nothing, fsm::kKeep});
constexpr auto kPlain = fsm::plain(kRows);
constexpr u8 kActionTargets[] = {FOIP_MGT__IDLE,
                                 FOIP_MGT__T38_OPEN_PROGRESS,
                                 FOIP_MGT__FAX_OPEN_PROGRESS,
                                 FOIP_MGT__RUNNING,
                                 FOIP_MGT__FAX_CLOSE_PROGRESS,
                                 FOIP_MGT__T38_CLOSE_PROGRESS,
                                 FOIP_MGT__SIP_CALL_PROGRESS,
                                 FOIP_MGT__SIP_CLOSE_PROGRESS};
// An incoming call takes a waiting session into SIP_CALL_PROGRESS.
constexpr u8 kEntryStates[] = {FOIP_MGT__SIP_CALL_PROGRESS};

void trace_step(const foip__na_ctx* s, u8 event, u8 old_state, u8 new_state) {
  foip__record_step({s->nai, FOIP__CONN_NONE, AUTO_FOIP_MGT, " ", foip__get_name(kEventNames, event),
                     foip__get_name(kStateNames, old_state), foip__get_name(kStateNames, new_state), event, old_state,
                     new_state, static_cast<u8>(event / 8), false});
}

// The closing step: answers the user and releases the session.
void close_session(foip__na_ctx* s) {
  foip__glb_context& g = foip__glb();
  const nai_t nai = s->nai;
  if (s->failure) {
    if (g.nb_start_phase) --g.nb_start_phase;
    if (s->start_rq) {
      msg_t* m = s->start_rq;
      s->start_rq = nullptr;
      foip__send_confirm(m, FOIP__START_CO, 3, s->err_source, s->err_code, nai, FOIP__CONN_NONE);
    } else {
      foip__send_stop_in(s->err_source, s->err_code, s->user_entity, nai, FOIP__CONN_NONE, s);
    }
  } else if (!s->stop_rqs.empty()) {
    if (g.nb_stop_phase) --g.nb_stop_phase;
    // A session stopped before it ran still owes the user the answer to its
    // start: the start failed (the stop's answer follows).
    if (s->start_rq) {
      msg_t* m = s->start_rq;
      s->start_rq = nullptr;
      foip__send_confirm(m, FOIP__START_CO, 3, FOIP__STOP_SRC, 15, nai, FOIP__CONN_NONE);
    }
    bool later = false;
    for (msg_t* m : s->stop_rqs) {
      foip__send_stop_answer(s, m, later);
      later = true;
    }
    s->stop_rqs.clear();
  } else if (s->start_rq) {
    // The session ended before it ran (the far end hung up while it opened):
    // that is a failure of the start, not a success.
    if (g.nb_start_phase) --g.nb_start_phase;
    msg_t* m = s->start_rq;
    s->start_rq = nullptr;
    foip__send_confirm(m, FOIP__START_CO, 3, FOIP__STOP_SRC, 15, nai, FOIP__CONN_NONE);
  } else {
    foip__send_stop_answer(s, nullptr, false);
  }
  if (foip__hooks().sip_release_call && s->sip_call) foip__hooks().sip_release_call(s);
  s->sip_call = nullptr;
  if (foip__hooks().release_session) foip__hooks().release_session(s);
  foip_trc__session_end(nai);
  foip__free_na_ctx(nai);
  if (g.trc.stat.statistic_mode == 1 && g.nb_ctx == 0) foip__dsp_memory_statistics();
  const u16 count = g.nb_ctx;
  foip_trc__progress_bar(4, &count);
  // A start phase that ended here lets the next waiting session start.
  foip_mgt__admit_starts();
}

// FIFO helpers.
foip_mgt__fifo_t* fifo_of(u8 q) {
  foip__glb_context& g = foip__glb();
  switch (q) {
    case FOIP_MGT__Q_WAIT_START: return &g.fifo_start;
    case FOIP_MGT__Q_WAIT_STOP: return &g.fifo_stop;
    case FOIP_MGT__Q_WAIT_CALL: return &g.fifo_in_user;
    case FOIP_MGT__Q_WAIT_ANY_CALL: return &g.fifo_in_any;
    default: return nullptr;
  }
}

void fifo_append(foip__na_ctx* s, u8 q) {
  foip_mgt__fifo_t* f = fifo_of(q);
  s->q_status = q;
  s->q_prev = f->tail;
  s->q_next = nullptr;
  if (f->tail) f->tail->q_next = s;
  else f->head = s;
  f->tail = s;
}

foip__na_ctx* fifo_pop(u8 q) {
  foip_mgt__fifo_t* f = fifo_of(q);
  foip__na_ctx* s = f->head;
  if (s) {
    foip_mgt__fifo_remove(s);
    s->q_status = FOIP_MGT__Q_ACTIVE;
  }
  return s;
}

void stop_rq(msg_t* m) {
  foip__glb_context& g = foip__glb();
  foip__na_ctx* s = foip__get_na_ctx(m->nai);
  g.cur_msg = nullptr;  // the request is kept or answered here
  if (!s) {
    auto rec = std::make_unique<foip__stop>();
    foip__fill_confirm(FOIP__STOP_CO, FOIP__RC_OK, FOIP__STOP_SRC, 25, &rec->confirm);
    const foip_api__addr a{.from = ENT_FOIP, .to = m->from, .nai = m->nai};
    (void)foip__send_long_record(a, FOIP__STOP_CO, rec.get(), sizeof(foip__stop));  // failures are trapped
    Free_msg(m);
    return;
  }
  if (m->from != ENT_FOIP) s->user_entity = m->from;
  s->stop_rqs.push_back(m);
  switch (s->q_status) {
    case FOIP_MGT__Q_ACTIVE:
      fifo_append(s, FOIP_MGT__Q_WAIT_STOP);
      foip_mgt__admit_one_stop();
      while (g.nb_stop_phase < g.nb_simultaneous_start_stop && g.fifo_stop.head) foip_mgt__admit_one_stop();
      break;
    case FOIP_MGT__Q_RELEASED:
    case FOIP_MGT__Q_WAIT_STOP: break;
    default: foip_mgt__automaton(s, FOIP_MGT__EVT_FIFO__STOP_RQ); break;
  }
}

bool phone_key(const char* in, char out[26]) {
  size_t n = 0;
  for (const char* p = in; *p; ++p) {
    char c = *p;
    if (c == '-' || c == '.' || c == '(' || c == ')') continue;
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (n >= 25) return false;
    out[n++] = c;
  }
  out[n] = '\0';
  return true;
}

bool phone_match(const char* a, const char* b) {
  char ka[26], kb[26];
  return phone_key(a, ka) && phone_key(b, kb) && std::strcmp(ka, kb) == 0;
}

}  // namespace

// The trace record of one step of an automaton of the entity.
void foip__record_step(const foip__step& st) {
  char text[200];
  const char branch = static_cast<char>('a' + st.event_index);
  const int n = std::snprintf(text, sizeof text, "%s Evt: %s  Cur state: %s  New state: %s  Branch (%c%c)", st.side,
                              st.event_name, st.old_name, st.new_name, branch, 'a' + st.old_state);
  const u32 text_len = static_cast<u32>(n < 0 ? 0 : std::min<int>(n, sizeof text - 1));
  msg_t* m = nullptr;
  buffer_t* b = nullptr;
  u8* data = nullptr;
  // Five bytes, then the text with its terminating zero.
  Alloc_msg_data(&m, &b, text_len + 6, &data);
  if (!data) {
    if (m) Free_msg(m);
    return;
  }
  data[0] = st.event;
  data[1] = st.old_state;
  data[2] = st.new_state;
  data[3] = static_cast<u8>(branch);
  data[4] = static_cast<u8>('a' + st.old_state);
  std::memcpy(data + 5, text, text_len);
  data[5 + text_len] = '\0';
  Msg_set_head(m, {ENT_FOIP, ENT_FOIP, st.code, st.nai, FOIP_MGT__TRACE_SAPI, st.conn_id});
  if (st.runtime_trace) om_os_trace_record('X', m);
  foip_trc__msg_audit('X', m);
  Free_msg(m);
}

kv::fsm::machine_view foip_mgt__machine() {
  return {"session control", fsm::count_of<st>, fsm::count_of<ev>, FOIP_MGT__IDLE, kPlain,
          kActionTargets,    kEntryStates};
}

void foip_mgt__fifo_remove(foip__na_ctx* s) {
  foip_mgt__fifo_t* f = fifo_of(s->q_status);
  if (!f) return;
  if (s->q_prev) s->q_prev->q_next = s->q_next;
  else f->head = s->q_next;
  if (s->q_next) s->q_next->q_prev = s->q_prev;
  else f->tail = s->q_prev;
  s->q_prev = s->q_next = nullptr;
  s->q_status = FOIP_MGT__Q_ACTIVE;
}

u8 foip_mgt__automaton(foip__na_ctx* s, u8 event) {
  const u8 old_state = s->state;
  if (const auto* c = kTable.find(old_state, event)) {
    c->action(s);
    s->state = fsm::next_of(*c, s->state);
  }
  trace_step(s, event, old_state, s->state);
  if (s->state == FOIP_MGT__IDLE && old_state != FOIP_MGT__IDLE) {
    log_line(s->nai, "\n(nai %3d)            Session %s idle\n", s->name());
    s->ended = 1;
  }
  const u8 new_state = s->state;
  if (s->ended || (event == FOIP_MGT__EVT_FIFO__STOP_RQ && old_state == FOIP_MGT__IDLE && new_state == FOIP_MGT__IDLE))
    close_session(s);
  return new_state;
}

namespace {

// Lets the first session of a queue into its phase (start or stop) while
// fewer than the limit are in it; false when none was let in.
bool admit_one(u16& in_phase, const foip_mgt__fifo_t& fifo, u8 q, u8 event) {
  if (in_phase >= foip__glb().nb_simultaneous_start_stop || !fifo.head) return false;
  foip__na_ctx* s = fifo_pop(q);
  ++in_phase;
  foip_mgt__automaton(s, event);
  return true;
}

// The reports of the T.38 and fax layers: each only moves the session's
// automaton by its event.
struct layer_report {
  code_t code;
  u8 event;
};
constexpr layer_report kLayerReports[] = {
    {FOIP_MGT__T38_OPENED, FOIP_MGT__EVT_T38_OPENED},
    {FOIP_MGT__T38_CLOSED, FOIP_MGT__EVT_T38_CLOSED},
    {FOIP_MGT__FAX_OPENED, FOIP_MGT__EVT_FAX_OPENED},
    {FOIP_MGT__FAX_CLOSED, FOIP_MGT__EVT_FAX_CLOSED},
};

}  // namespace

void foip_mgt__admit_starts() {
  foip__glb_context& g = foip__glb();
  while (admit_one(g.nb_start_phase, g.fifo_start, FOIP_MGT__Q_WAIT_START, FOIP_MGT__EVT_FIFO__START_RQ)) {}
}

void foip_mgt__admit_one_stop() {
  foip__glb_context& g = foip__glb();
  (void)admit_one(g.nb_stop_phase, g.fifo_stop, FOIP_MGT__Q_WAIT_STOP, FOIP_MGT__EVT_FIFO__STOP_RQ);
}

void foip_mgt__fifo() {
  foip__glb_context& g = foip__glb();
  msg_t* m = g.cur_msg;
  if (!m) return;
  if (m->code == FOIP__START_RQ && m->from != ENT_FOIP) {
    foip__na_ctx* s = foip__start_rq();
    if (!s) return;
    if (s->direction == 'O') fifo_append(s, FOIP_MGT__Q_WAIT_START);
    else if (s->param.t38_media_add_param.sip_media_identification.flag_invite_in__no_filter)
      fifo_append(s, FOIP_MGT__Q_WAIT_ANY_CALL);
    else fifo_append(s, FOIP_MGT__Q_WAIT_CALL);
    foip_mgt__admit_starts();
    return;
  }
  if (m->code == FOIP__STOP_RQ) {
    stop_rq(m);
    return;
  }
  if (m->from != ENT_FOIP) return;
  if (m->code == FOIP_MGT__START_DONE) {
    if (g.nb_start_phase) --g.nb_start_phase;
    foip_mgt__admit_starts();
    return;
  }
  foip__na_ctx* s = foip__get_na_ctx(m->nai);
  const mgt_body b = read_mgt(m);
  switch (m->code) {
    case FOIP_MGT__SIP_CALL_OPENED:
      if (b.result == FOIP__RC_OK) {
        ++g.nb_sip_calls;
        foip_trc__progress_bar(6, &g.nb_sip_calls);
      }
      if (s) foip_mgt__automaton(s, FOIP_MGT__EVT_SIP_CALL_OPENED);
      break;
    case FOIP_MGT__SIP_CALL_CLOSED:
      foip_mgt__admit_one_stop();
      if (g.nb_sip_calls) --g.nb_sip_calls;
      foip_trc__progress_bar(6, &g.nb_sip_calls);
      s = foip__get_na_ctx(m->nai);
      if (s) foip_mgt__automaton(s, FOIP_MGT__EVT_SIP_CALL_CLOSED);
      break;
    default:
      for (const layer_report& r : kLayerReports)
        if (r.code == m->code && s) foip_mgt__automaton(s, r.event);
      break;
  }
}

foip__na_ctx* foip_mgt__take_incoming_session(const char* called_user, const char* called_phone) {
  foip__glb_context& g = foip__glb();
  const bool has_user = called_user && *called_user;
  const bool has_phone = called_phone && *called_phone;
  for (foip__na_ctx* s = g.fifo_in_user.head; s; s = s->q_next) {
    const auto& id = s->param.t38_media_add_param.sip_media_identification;
    const bool match =
        (has_user && std::strcmp(id.sz_local_user_name, called_user) == 0) ||
        (id.sz_local_user_phone_number[0] && ((has_user && phone_match(id.sz_local_user_phone_number, called_user)) ||
                                              (has_phone && phone_match(id.sz_local_user_phone_number, called_phone))));
    if (match) {
      foip_mgt__fifo_remove(s);
      s->state = FOIP_MGT__SIP_CALL_PROGRESS;
      return s;
    }
  }
  foip__na_ctx* s = fifo_pop(FOIP_MGT__Q_WAIT_ANY_CALL);
  if (!s) return nullptr;
  s->state = FOIP_MGT__SIP_CALL_PROGRESS;
  auto& id = s->param.t38_media_add_param.sip_media_identification;
  foip__copy_text(id.sz_local_user_name, called_user ? called_user : "");
  foip__copy_text(id.sz_local_user_phone_number, called_phone ? called_phone : "");
  return s;
}
