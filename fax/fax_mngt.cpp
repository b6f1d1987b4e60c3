// Fax management entity ENT_FAX: message entry, user primitives,
// configuration and reset of the fax path.
#include <cstring>
#include <deque>
#include <memory>

#include "common/byte_order.h"
#include "fax/fax_msg.h"
#include "fax/fax_session.h"
#include "platform/local_time.h"
#include "runtime/buffer.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"

namespace {

// Lower-entity configuration bodies.
constexpr u8 kAcuDefaults[140] = {0, 0, 0, 0, 0x01, 0x00, 0x80, 0x00, 0x10, 0x00, 0,    0,    0, 0, 0, 0, 0, 0, 0, 0,
                                  0, 0, 0, 0, 0,    0,    0,    0,    0x2c, 0x01, 0x00, 0x00, 0, 0, 0, 0, 0, 0, 0, 0,
                                  0, 0, 0, 0, 0,    0,    0,    0,    0,    0,    0,    0,    0, 0, 0, 0, 0, 0, 0, 0,
                                  0, 0, 0, 0, 0,    0,    0,    0,    0x98, 0x3a, 0x00, 0x00};
constexpr u8 kCfDefaults[68] = {0x00, 0x00, 0x00, 0x00, 0x01, 0x00, 0x50, 0x00, 0x00, 0x00, 0x01, 0x00, 0x05, 0x00,
                                0x03, 0x01, 0x00, 0x01, 0x01, 0x00, 0xc8, 0x00, 0x00, 0x00, 0xb8, 0x0b, 0x00, 0x00,
                                0x88, 0x13, 0x00, 0x00, 0x02, 0x0e, 0xff, 0x03, 0x07, 0x33, 0x55, 0x30, 0x32, 0x00,
                                0x01, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
                                0x1e, 0x00, 0x00, 0x00, 0x05, 0x01, 0x01, 0x00, 0x00, 0x00, 0x00, 0x00};

enum : u8 { STEP_FC = 1, STEP_MFM = 2, STEP_ACU = 3, STEP_CF = 4 };
enum : u8 { Q_WAITING = 1, Q_CONFIGURING = 2, Q_CONFIGURED = 3, Q_RESET_CAME = 4 };

struct fax_entity {
  std::vector<std::unique_ptr<fax_auto__session>> table;  // one slot per nai
  std::deque<fax_auto__session*> config_queue, reset_queue;
  fax_auto__session* config_running = nullptr;
  fax_auto__session* reset_running = nullptr;
  bool fc_mfm_done = false;      // the first two steps run once in the entity's life
  std::vector<u8> config_steps;  // steps of the running configuration
  size_t config_cursor = 0;
  u8 steps_done = 0;  // bits (1 << step) of steps confirmed
  std::vector<ent_id_t> reset_steps;
  size_t reset_cursor = 0;
  bool reset_answers = false;  // the running reset answers a kept request
  u16 tmp_counter = 0;
  u16 max_data = 300;
  fax_event_printer_t printer = nullptr;
};
fax_entity g;

u16 nai_count() {
  const u16 n = om_os_get_max_nai();
  return n ? n : 10;
}

fax_auto__session* fax_find_session(nai_t nai) {
  if (nai >= g.table.size()) return nullptr;
  fax_auto__session* s = g.table[nai].get();
  return s && s->magic == FAX_SESSION_MAGIC ? s : nullptr;
}

void fax_answer_current(msg_t* m, ent_id_t to, code_t code) {
  Msg_set_head(m, {ENT_FAX, to, code, m->nai, FAX_SAPI, 0xFFFF});
  Send_msg(m);
}

void answer_sm(msg_t* m, code_t code, u8 status, u8 cause) {
  const u8 body[3] = {status, cause, FAX_SOURCE_SELF};
  Msg_set_inline_body(m, body, sizeof body);
  Sm_set_target(m, ENT_FAX);
  Msg_data(m)[0] = status;
  fax_answer_current(m, ENT_SM, code);
}

bool send_sm(nai_t nai, code_t code, ent_id_t target, const u8* body, u32 n) {
  msg_t* m = Alloc_msg();
  if (!m) return false;
  if (!fax_attach_copy(m, {body, n})) return false;
  Sm_set_target(m, target);
  if (!n) m->data_size = 1;
  Msg_set_head(m, {ENT_FAX, ENT_SM, code, nai, FAX_SAPI, 0xFFFF});
  Send_msg(m);
  return true;
}

void release_session(fax_auto__session* s) {
  s->state = FAX_IDLE;
  s->cf_busy = 0;
  s->conv_state = 0;
  for (timer_cell_t* t : {s->ti_start, s->ti_eof})
    if (t) {
      Timer_stop(t);
      Timer_free(t);
    }
  s->ti_start = s->ti_eof = nullptr;
  fax_auto__user_event_fn(FAX_AUTO__EVT_IDLE, nullptr, nullptr, nullptr, 0, 0, s);
  fax_free_send_pages(&s->send_pages);
  Free_msg(s->kept_config);
  Free_msg(s->kept_reset);
  s->magic = FAX_SESSION_INVALID;
  std::erase(g.config_queue, s);
  std::erase(g.reset_queue, s);
  const nai_t nai = s->nai;
  if (nai < g.table.size()) g.table[nai].reset();
}

// ---------------------------------------------------------------------------
// Configuration.

u8 apply_config(const u8* rec, u32 n, fax_auto__session** out) {
  if (n < FAX_CONFIG_SIZE) return FAX__CFG_ERR_ALLOC_RESOURCE;
  const fax_config_view c{rec};
  if (c.u16_at(fax_cfg::NB_SESSIONS) != 1) return FAX__CFG_ERR_ONLY_1_NA;
  if (g.table.empty()) g.table.resize(nai_count());
  const nai_t nai = c.u16_at(fax_cfg::NAI);
  if (nai >= g.table.size()) return FAX__CFG_ERR_NA;
  if (g.table[nai]) return FAX__CFG_ERR_ACCESS_NA;
  auto s = std::make_unique<fax_auto__session>();
  s->magic = FAX_SESSION_MAGIC;
  s->nai = nai;
  std::memcpy(s->cfg.data(), rec, FAX_CONFIG_SIZE);
  s->ti_start = Timer_alloc(ENT_FAX, nai, FAX_SAPI, 0xFFFF);
  s->ti_eof = Timer_alloc(ENT_FAX, nai, FAX_SAPI, 0xFFFF);
  auto undo_timers = [&] {
    for (timer_cell_t* t : {s->ti_start, s->ti_eof})
      if (t) Timer_free(t);
  };
  if (!s->ti_start || !s->ti_eof) {
    undo_timers();
    return FAX__CFG_ERR_TIMER_RESOURCE;
  }
  s->start_ms = c.u32_at(fax_cfg::START_TIMER_MS);
  s->eof_ms = c.u32_at(fax_cfg::EOF_T30_MS) ? c.u32_at(fax_cfg::EOF_T30_MS) : 25;
  s->second_nai = c.byte(fax_cfg::SECOND_NAI_SEL) == 1 ? c.u16_at(fax_cfg::SECOND_NAI) : nai;
  s->polling = c.byte(fax_cfg::POLLING) == 1;
  const platform::LocalTime t = platform::GetLocalTime();
  s->year = t.year;
  s->month = t.month;
  s->day = t.day;
  s->hour = t.hour;
  s->minute = t.minute;
  s->second = t.second;
  std::vector<std::string> files;
  for (u32 i = 0; i < fax_cfg::SEND_FILE_COUNT; ++i) files.push_back(c.send_file(i));
  const u8 rc = fax_open_send_pages(files, c.text(fax_cfg::TMP_PG_FORMAT, fax_cfg::NAME_SIZE), nai, &g.tmp_counter,
                                    c.byte(fax_cfg::PAGE_BYTE), &s->send_pages);
  if (rc != 2) {
    undo_timers();
    return rc;
  }
  const u16 copies = c.u16_at(fax_cfg::COPIES) ? c.u16_at(fax_cfg::COPIES) : 1;
  s->pages_to_send = static_cast<u16>(fax_count_send_pages(&s->send_pages) * copies);
  put_le16(s->status.data() + fax_st::PAGES_TO_SEND, s->pages_to_send);
  ++s->start_seq;
  s->start_armed = 1;
  Timer_start(s->ti_start, s->start_ms, s->start_seq, FAX__TI_START);
  *out = s.get();
  g.table[nai] = std::move(s);
  return 2;
}

void start_reset(fax_auto__session* s, bool answers);

void config_next_step(msg_t* confirm);

void start_config(fax_auto__session* s) {
  g.config_running = s;
  s->queue_state = Q_CONFIGURING;
  g.config_steps.clear();
  if (!g.fc_mfm_done) g.config_steps = {STEP_FC, STEP_MFM};
  g.config_steps.push_back(STEP_ACU);
  g.config_steps.push_back(STEP_CF);
  g.config_cursor = 0;
  g.steps_done = 0;
  config_next_step(nullptr);
}

ent_id_t step_entity(u8 step) {
  switch (step) {
    case STEP_FC: return ENT_FC;
    case STEP_MFM: return ENT_MFM;
    case STEP_ACU: return ENT_ACU;
    default: return ENT_CF;
  }
}

bool send_step(fax_auto__session* s, u8 step) {
  switch (step) {
    case STEP_FC: {
      u8 b[8] = {};
      put_le16(b + 4, 63);
      put_le16(b + 6, g.max_data);
      g.fc_mfm_done = true;
      return send_sm(s->nai, SM_CONFIG_RQ, ENT_FC, b, sizeof b);
    }
    case STEP_MFM: {
      const u8 b[5] = {0, 0, 0, '?', 0};
      return send_sm(s->nai, SM_CONFIG_RQ, ENT_MFM, b, sizeof b);
    }
    case STEP_ACU: {
      u8 b[140];
      std::memcpy(b, kAcuDefaults, sizeof b);
      put_le16(b + 12, s->nai);
      b[14] = s->lower;
      b[15] = 18;
      return send_sm(s->nai, SM_CONFIG_RQ, ENT_ACU, b, sizeof b);
    }
    default: {
      u8 b[68];
      std::memcpy(b, kCfDefaults, sizeof b);
      put_le16(b + 8, s->nai);
      b[46] = s->config().byte(fax_cfg::CF_FLAG);
      b[52] = s->lower;
      put_le16(b + 66, 63);
      return send_sm(s->nai, SM_CONFIG_RQ, ENT_CF, b, sizeof b);
    }
  }
}

void config_done(bool ok, u8 cause = FAX__CFG_ERR_ACCESS_NA) {
  fax_auto__session* s = g.config_running;
  g.config_running = nullptr;
  if (s) {
    msg_t* req = s->kept_config;
    s->kept_config = nullptr;
    if (!ok) {
      // Undo: the lower entities already configured for this nai are reset,
      // then the session is released so that the nai can be configured again.
      if (req) answer_sm(req, SM_CONFIG_CO, 3, cause);
      start_reset(s, false);
    } else {
      if (req) answer_sm(req, SM_CONFIG_CO, 2, 2);
      if (s->queue_state == Q_RESET_CAME) start_reset(s, true);
      else s->queue_state = Q_CONFIGURED;
    }
  }
  if (!g.config_queue.empty()) {
    fax_auto__session* next = g.config_queue.front();
    g.config_queue.pop_front();
    start_config(next);
  }
}

void config_next_step(msg_t* confirm) {
  fax_auto__session* s = g.config_running;
  if (!s) return;
  if (confirm) {
    const std::vector<u8> d = fax_msg_bytes(confirm);
    const u8 step = g.config_steps[g.config_cursor];
    const bool ok = d.size() >= 1 && d[0] == 2;
    if (!ok) return config_done(false, d.size() >= 2 ? d[1] : u8{FAX__CFG_ERR_ACCESS_NA});
    (void)step_entity(step);
    g.steps_done |= static_cast<u8>(1u << step);
    ++g.config_cursor;
  }
  if (g.config_cursor >= g.config_steps.size()) return config_done(true);
  if (!send_step(s, g.config_steps[g.config_cursor])) {
    om_os_trap(742);
    config_done(false);
  }
}

// ---------------------------------------------------------------------------
// Reset.

void reset_next_step();

void start_reset(fax_auto__session* s, bool answers) {
  if (g.reset_running) {
    s->queue_state = answers ? Q_CONFIGURED : 0;
    g.reset_queue.push_back(s);
    return;
  }
  g.reset_running = s;
  g.reset_answers = answers;
  g.reset_steps.clear();
  // A configuration that failed resets only what it configured.
  const bool all = answers;
  if (all || (g.steps_done & (1u << STEP_ACU))) g.reset_steps.push_back(ENT_ACU);
  if (all || (g.steps_done & (1u << STEP_CF))) g.reset_steps.push_back(ENT_CF);
  g.reset_cursor = 0;
  reset_next_step();
}

void reset_next_step() {
  fax_auto__session* s = g.reset_running;
  if (!s) return;
  if (g.reset_cursor < g.reset_steps.size()) {
    if (!send_sm(s->nai, SM_RST_CFG_RQ, g.reset_steps[g.reset_cursor], nullptr, 0)) om_os_trap(742);
    else return;
  }
  g.reset_running = nullptr;
  if (s->kept_reset) {
    msg_t* r = s->kept_reset;
    s->kept_reset = nullptr;
    answer_sm(r, SM_RST_CFG_CO, 2, 2);
  }
  if (g.reset_answers) {
    u8 stop[24] = {};
    stop[3] = 1;
    if (!fax_send_new(ENT_FC, s->nai, FAX_SAPI, 0xFFFF, 'B', stop, sizeof stop)) om_os_trap(742);
  }
  release_session(s);
  if (!g.reset_queue.empty()) {
    fax_auto__session* next = g.reset_queue.front();
    g.reset_queue.pop_front();
    start_reset(next, next->queue_state == Q_CONFIGURED);
  }
}

void handle_sm(msg_t* m) {
  switch (m->code) {
    case SM_CONFIG_RQ: {
      const std::vector<u8> d = fax_msg_bytes(m);
      fax_auto__session* s = nullptr;
      const u8 rc = apply_config(d.data(), static_cast<u32>(d.size()), &s);
      if (rc != 2) return answer_sm(m, SM_CONFIG_CO, 3, rc);
      s->kept_config = m;
      s->queue_state = Q_WAITING;
      if (g.config_running) g.config_queue.push_back(s);
      else start_config(s);
      return;
    }
    case SM_RST_CFG_RQ: {
      fax_auto__session* s = fax_find_session(m->nai);
      if (!s) return answer_sm(m, SM_RST_CFG_CO, 3, 20);
      if (s->queue_state == Q_WAITING) {
        release_session(s);
        return answer_sm(m, SM_RST_CFG_CO, 2, 2);
      }
      Free_msg(s->kept_reset);
      s->kept_reset = m;
      if (s->queue_state == Q_CONFIGURING) {
        s->queue_state = Q_RESET_CAME;
        return;
      }
      start_reset(s, true);
      return;
    }
    case SM_CONFIG_CO:
      config_next_step(m);
      Free_msg(m);
      return;
    case SM_RST_CFG_CO:
      ++g.reset_cursor;
      Free_msg(m);
      reset_next_step();
      return;
    default: Free_msg(m); return;
  }
}

// ---------------------------------------------------------------------------
// User primitives.

void fax_user_api(msg_t* m, fax_auto__session* s) {
  if (m->code == FAX__ACT_RQ) {
    if (Msg_data_size(m) < 4) {
      const u8 body[4] = {};
      Msg_set_inline_body(m, body, 4);
    }
    u8* d = Msg_data(m);
    const ent_id_t requester = m->from;
    auto refuse = [&](u8 code, u8 source) {
      d[0] = 3;
      d[1] = code;
      d[2] = source;
      fax_answer_current(m, requester, FAX__ACT_CO);
    };
    if (!s->ready) return refuse(FAX__NOT_READY, FAX_ERRSRC_REQUEST);
    if (s->user != ENT_NIL) return refuse(FAX__SESSION_ALREADY_RUNNING, FAX_ERRSRC_REQUEST);
    const fax_config_view c = s->config();
    const bool rcv_name = c.byte(fax_cfg::RCV_FORMAT) != 0;
    const bool pages = s->pages_to_send >= 1;
    const u8 act = d[3];
    u16 request = 0;
    if (act == 1) {
      if (s->polling && !rcv_name) return refuse(FAX__POLL_NO_RCV_FNAME, FAX_ERRSRC_SEND);
      if (!s->polling && !pages) return refuse(FAX__NO_SND_FAX_PG, FAX_ERRSRC_SEND);
      request = FAX_AUTO__START_FAX_ORG_RQ;
    } else if (act == 2) {
      if (s->polling && !pages) return refuse(FAX__POLL_NO_SND_FAX_PG, FAX_ERRSRC_RECEIVE);
      if (!s->polling && !rcv_name) return refuse(FAX__NO_RCV_FNAME, FAX_ERRSRC_RECEIVE);
      request = FAX_AUTO__START_FAX_ANS_RQ;
    } else {
      return refuse(FAX__UNKNOWN_ACTION, FAX_ERRSRC_REQUEST);
    }
    d[0] = 2;
    d[1] = 2;
    d[2] = FAX_SOURCE_SELF;
    s->user = requester;
    s->stop_requested = 0;
    s->stop_reason = 0;
    s->end_status = 2;
    s->end_cause = 2;
    s->end_source = FAX_SOURCE_SELF;
    fax_auto__run(nullptr, request, s);
    fax_answer_current(m, requester, FAX__ACT_CO);
    return;
  }
  if (m->code == FAX__DEA_RQ) {
    const u8 reason = Msg_data_size(m) > 3 ? Msg_data(m)[3] : 0;
    if (s->user == ENT_NIL) {
      u8 body[4] = {2, 2, FAX_SOURCE_SELF, reason};
      if (Msg_data_size(m) >= 3) std::memcpy(Msg_data(m), body, 3);
      else Msg_set_inline_body(m, body, 4);
      fax_answer_current(m, m->from, FAX__DEA_CO);
      return;
    }
    s->stop_requested = 1;
    s->user = m->from;
    s->stop_reason = reason;
    Free_msg(m);
    fax_auto__run(nullptr, FAX_AUTO__STOP_CONNECTION_RQ, s);
    return;
  }
  Free_msg(m);
}

}  // namespace

// ---------------------------------------------------------------------------
// Services for the other modules.

std::vector<u8> fax_msg_bytes(const msg_t* m) {
  std::vector<u8> out;
  if (!m) return out;
  if (m->p_buffer) {
    for (const buffer_t* b = m->p_buffer; b; b = b->next) {
      const u8* p = Buffer_data(b);
      out.insert(out.end(), p, p + b->data_size);
    }
  } else {
    const u8* p = Msg_inline_data(m);
    out.assign(p, p + m->data_size);
  }
  return out;
}

bool fax_send_new(ent_id_t to, nai_t nai, u8 sapi, u16 conn_id, code_t code, const u8* data, u32 n) {
  msg_t* m = Alloc_msg();
  if (!m) return false;
  if (n <= om_os_get_msg_room()) {
    m->data_size = static_cast<u8>(n);
    if (n) std::memcpy(Msg_inline_data(m), data, n);
  } else if (!fax_attach_copy(m, {data, n})) {
    return false;
  }
  Msg_set_head(m, {ENT_FAX, to, code, nai, sapi, conn_id});
  Send_msg(m);
  return true;
}

void fax_send_report(fax_auto__session* s, const u8 record[FAX_REPORT_RECORD_SIZE]) {
  if (s->user == ENT_NIL) return;
  u8 body[FAX_REPORT_SIZE] = {};
  body[0] = 'E';
  std::memcpy(body + 4, record, FAX_REPORT_RECORD_SIZE);
  (void)fax_send_new(s->user, s->nai, FAX_SAPI, 0xFFFF, FAX__REPORT_IN, body, sizeof body);
}

void fax_event_print(nai_t nai, const char* text) {
  if (g.printer) g.printer(nai, text);
}

u16* fax_tmp_counter() { return &g.tmp_counter; }

void fax_set_event_printer(fax_event_printer_t printer) { g.printer = printer; }

int fax_session_state(nai_t nai) {
  const fax_auto__session* s = fax_find_session(nai);
  return s ? s->state : -1;
}

void fax_release_all() {
  for (auto& s : g.table)
    if (s) release_session(s.get());
}

void fax_entity_init() {
  const fax_event_printer_t printer = g.printer;
  g = fax_entity();
  g.printer = printer;
  const u16 room = om_os_get_buffer_room();
  if (room < g.max_data) g.max_data = room;
}

void fax_entity_handler(msg_t* m) {
  if (!m) return;
  if (m->from == ENT_TI) {
    fax_auto__session* s = fax_find_session(m->nai);
    const u16 id = Timer_expiry_id(m);
    if (s && m->code == FAX__TI_WAIT_EOF_T30_SESSION && s->eof_armed && id == s->eof_seq) {
      s->eof_armed = 0;
      fax_auto__run(m, 0, s);
    } else if (s && m->code == FAX__TI_START && s->start_armed && id == s->start_seq) {
      s->start_armed = 0;
      fax_auto__run(nullptr, FAX_AUTO__MDM_SETPARM_RQ, s);
    }
    Free_msg(m);
    return;
  }
  if (m->from == ENT_SM) return handle_sm(m);
  fax_auto__session* s = fax_find_session(m->nai);
  if (!s) {
    Free_msg(m);
    return;
  }
  if (m->from == ENT_CF || m->from == ENT_ACU || m->from == ENT_FC) {
    fax_auto__run(m, 0, s);
    Free_msg(m);
    return;
  }
  fax_user_api(m, s);
}
