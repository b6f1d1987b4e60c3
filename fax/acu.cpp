// The V.25 call set-up service: configuration, contexts, the command
// interpreter, tone signalling and timers.
#include "fax/acu.h"

#include <array>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "fax/fax_msg.h"
#include "runtime/entity.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "runtime/timer.h"

namespace {

constexpr std::string_view kCommands = "<S>uHIKci.";

// Signal primitives and tones of the IAF signal service.
constexpr code_t kDeaSignal = '0', kActSignal = '1', kSignalRq = 'Y', kSignalCo = 'g', kSignalIn = 'y';
constexpr u16 kTransmit = 'T', kDetect = 't';
constexpr u16 kToneCed = '0', kToneCng = '2', kToneAll = '+', kToneBusy1 = '!', kToneBusy2 = '$', kToneNone = ' ';

enum acu_timer : u8 { TI_PROVDR_WDOG = 0, TI_GENERAL_DLAY = 1, TI_INTER_CALL = 2, ACU_TIMERS = 3 };
constexpr code_t kTimerCodes[ACU_TIMERS] = {'W', 'G', 'I'};
constexpr size_t kTimerCells = 5;

// Entry times (ms) used by the commands.
struct acu_entry {
  nai_t nai = 0;
  ent_id_t lower = 'H';
  u8 sapi = 18;
  std::array<u8, 3> options{};
  u32 i_delay = 300, inter_call = 6000, watchdog = 180000, answer_delay = 2000, ced_hold = 5;
};

struct acu_timer_slot {
  timer_cell_t* cell = nullptr;
  bool armed = false;
  u8 seq = 0;
};

struct acu_context {
  acu_entry e;
  ent_id_t user = ENT_FAX;
  u8 sapi_served = 'a';
  u16 conn_id = OM_OS_CONN_NONE;
  std::string commands;  // with its end mark; empty when none
  size_t pos = 0;
  char pending = 0;  // 'O', 'a', 'C', 'A' or 0
  char direction = 0;
  u8 call_type = 0;
  u8 flags = 0;  // ACU_CONN_RQ byte 1
  u8 option3 = 0, no_ced = 0, tone_option = 0, answer_option = 0;
  char phase = 0;  // 'B', 'D', 'A'
  bool ready = false;
  std::deque<msg_t*> queue;
  std::array<acu_timer_slot, ACU_TIMERS> timers{};
  std::vector<timer_cell_t*> cells;
  std::array<u16, 12> params{};  // 'a' to 'l'
};

struct acu_layer {
  bool built = false;
  std::array<std::unique_ptr<acu_context>, ACU_SLOTS> slots;
  ent_id_t user = ENT_FAX;
};
acu_layer g_acu;

// ---------------------------------------------------------------------------
// Messages.

msg_t* new_msg(ent_id_t to, code_t code, nai_t nai, u8 sapi, u16 conn_id, const u8* body, size_t n) {
  return fax_new_msg(ENT_ACU, to, code, nai, sapi, conn_id, {body, n});
}

void to_user(acu_context& c, code_t code, size_t size, u8 byte0) {
  std::vector<u8> body(size, 0);
  body[0] = byte0;
  if (msg_t* m = new_msg(c.user, code, c.e.nai, c.sapi_served, c.conn_id, body.data(), body.size())) Send_msg(m);
}

void signal(acu_context& c, code_t code, u16 kind, u16 tone, bool with_flag = false) {
  u8 body[10] = {};
  put_le16(body, kind);
  put_le16(body + 2, tone);
  if (with_flag) put_le16(body + 4, c.tone_option == 2 ? 0 : 1);
  if (msg_t* m = new_msg(c.e.lower, code, c.e.nai, c.e.sapi, OM_OS_CONN_NONE, body, sizeof body)) Send_msg(m);
}

void timer_start(acu_context& c, acu_timer t, u32 ms) {
  acu_timer_slot& s = c.timers[t];
  if (!s.cell || ms == 0) return;
  ++s.seq;
  s.armed = true;
  Timer_start(s.cell, ms, s.seq, kTimerCodes[t]);
}

void timer_stop(acu_context& c, acu_timer t) {
  acu_timer_slot& s = c.timers[t];
  if (!s.armed) return;
  s.armed = false;
  if (s.cell) Timer_stop(s.cell);
}

void quiet(acu_context& c) {
  signal(c, kDeaSignal, kDetect, kToneAll);
  signal(c, kDeaSignal, kTransmit, kToneAll);
}

// ---------------------------------------------------------------------------
// Interpreter.

void run(acu_context& c);
void start_next_request(acu_context& c);

bool running(const acu_context& c) {
  return !c.commands.empty() && c.pos < c.commands.size() && c.commands[c.pos] != '.';
}

char current(const acu_context& c) { return c.pos < c.commands.size() ? c.commands[c.pos] : '.'; }

// The waiting command has completed.
void complete(acu_context& c) {
  timer_stop(c, TI_PROVDR_WDOG);
  timer_stop(c, TI_GENERAL_DLAY);
  if (current(c) != '.') ++c.pos;
  run(c);
}

void clear(acu_context& c, u8 cause) {
  timer_stop(c, TI_PROVDR_WDOG);
  timer_stop(c, TI_GENERAL_DLAY);
  quiet(c);
  c.commands.clear();
  c.pos = 0;
  if (c.pending != 'a') timer_start(c, TI_INTER_CALL, c.e.inter_call);
  char letter = static_cast<char>(cause);
  if (cause == 1) letter = 'T';
  if (cause == 2) letter = 'b';
  if (cause == 3) {
    to_user(c, ACU_CLEAR_CO, 84, 'h');
    c.pending = 0;
  } else if (c.pending == 'O' || c.pending == 'a') {
    to_user(c, ACU_CLEAR_IN, 88, static_cast<u8>(letter));
    c.pending = 'C';
  }
}

void connected(acu_context& c) {
  to_user(c, ACU_CONN_CO, 108, c.call_type);
  c.pending = 'A';
  complete(c);
}

void on_timer(acu_context& c, acu_timer t);

void run(acu_context& c) {
  while (!c.commands.empty()) {
    switch (current(c)) {
      case '<':
      case 'S':
        signal(c, kDeaSignal, kDetect, kToneNone);
        if (!(c.flags & 0x02)) signal(c, kActSignal, kDetect, kToneBusy1, true);
        if (!(c.flags & 0x04)) signal(c, kActSignal, kDetect, kToneBusy2, true);
        signal(c, kActSignal, kDetect, kToneCed, true);
        if (c.call_type == '9') signal(c, kSignalRq, kTransmit, '4', true);
        if (c.call_type == 'F') signal(c, kSignalRq, kTransmit, kToneCng, true);
        if (c.call_type == 'M' && !c.option3) signal(c, kSignalRq, kTransmit, '1', true);
        timer_start(c, TI_PROVDR_WDOG, c.e.watchdog);
        return;
      case '>':
      case 'u':
        c.phase = 'B';
        // A zero answer delay answers at once (no timer would ever expire).
        if (c.e.answer_delay == 0) {
          on_timer(c, TI_GENERAL_DLAY);
          return;
        }
        timer_start(c, TI_GENERAL_DLAY, c.e.answer_delay);
        return;
      case 'H':
        c.pending = 0;
        timer_stop(c, TI_PROVDR_WDOG);
        timer_stop(c, TI_GENERAL_DLAY);
        quiet(c);
        ++c.pos;
        break;
      case 'I':
        if (c.e.i_delay == 0) {
          on_timer(c, TI_GENERAL_DLAY);
          return;
        }
        timer_start(c, TI_GENERAL_DLAY, c.e.i_delay);
        return;
      case 'K': clear(c, 3); break;  // the string is gone
      case 'c':
        if (c.timers[TI_INTER_CALL].armed) return;
        ++c.pos;
        break;
      case 'i':
        c.ready = true;
        ++c.pos;
        break;
      default:  // '.': the string is done
        c.commands.clear();
        c.pos = 0;
        break;
    }
  }
  start_next_request(c);
}

acu_error load(acu_context& c, std::string_view commands) {
  const acu_error e = acu_check_commands(commands);
  if (e != ACU_OK) return e;
  c.commands.assign(commands.substr(0, commands.find('.') + 1));
  c.pos = 0;
  run(c);
  return ACU_OK;
}

// ---------------------------------------------------------------------------
// Requests.

u8 byte_at(const msg_t* m, size_t i) { return i < Msg_data_size(m) ? Msg_data(m)[i] : 0; }

void answer(const msg_t* m, code_t code, const u8* body, size_t n) {
  if (msg_t* a = new_msg(m->from, code, m->nai, m->sapi, m->conn_id, body, n)) Send_msg(a);
}

// The request's sender is the one the answers and indications go to.
void serve(acu_context& c, const msg_t* m) {
  c.sapi_served = m->sapi;
  c.conn_id = m->conn_id;
}

// A call request or answer: served for its sender, `pending` the request
// under way, `direction` 'O' outgoing or 'I' incoming.
void begin_call(acu_context& c, const msg_t* m, char pending, char direction) {
  serve(c, m);
  c.pending = pending;
  c.direction = direction;
}

// Starts a request (the running string has ended) and frees it.
void start_request(acu_context& c, msg_t* m) {
  switch (m->code) {
    case ACU_CONN_RQ:
      begin_call(c, m, 'O', 'O');
      c.flags = byte_at(m, 1);
      c.call_type = byte_at(m, 2);
      c.option3 = byte_at(m, 3);
      c.no_ced = byte_at(m, 6);
      c.tone_option = byte_at(m, 11);
      (void)load(c, (c.flags & 0x08) ? "S." : "<.");
      break;
    case ACU_CONN_RS: {
      begin_call(c, m, 'a', 'I');
      c.call_type = byte_at(m, 1);
      c.answer_option = byte_at(m, 2);
      c.no_ced = byte_at(m, 4);
      c.tone_option = byte_at(m, 9);
      if (c.call_type == 'F') {
        if (c.e.options[2] || c.no_ced) {
          if (c.no_ced == 1) {
            (void)load(c, "u.");
          } else {
            connected(c);
          }
        } else {
          (void)load(c, ">.");
        }
      } else if (c.call_type == 'D' || c.call_type == 'M') {
        if (c.answer_option || c.e.options[1]) {
          connected(c);
        } else {
          (void)load(c, ">.");
        }
      } else {
        (void)load(c, ">.");
      }
      break;
    }
    case ACU_CLEAR_RQ:
      serve(c, m);
      (void)load(c, "K.");
      break;
    case ACU_INIT_RQ: {
      c.user = byte_at(m, 1);
      const u8 body[4] = {2, 0, 0, 0};
      answer(m, ACU_INIT_CO, body, sizeof body);
      break;
    }
    case ACU_SETPARM_RQ: {
      const u16 letter = Msg_data_size(m) >= 2 ? get_le16(Msg_data(m)) : 0;
      const u16 value = Msg_data_size(m) >= 4 ? get_le16(Msg_data(m) + 2) : 0;
      u8 body[2] = {3, 0};
      if (letter >= 'a' && letter <= 'l') {
        c.params[letter - 'a'] = value;
        body[0] = 2;
      }
      answer(m, ACU_SETPARM_CO, body, sizeof body);
      break;
    }
    default: break;
  }
  Free_msg(m);
}

void start_next_request(acu_context& c) {
  while (!running(c) && !c.queue.empty()) {
    msg_t* m = c.queue.front();
    c.queue.pop_front();
    start_request(c, m);
  }
}

// ---------------------------------------------------------------------------
// Events of the waiting command.

void on_tone(acu_context& c, code_t code, u16 kind, u16 tone) {
  const char cmd = current(c);
  if (!running(c)) return;
  if ((cmd == '<' || cmd == 'S') && code == kSignalIn && kind == kDetect) {
    if (tone == kToneBusy1 || tone == kToneBusy2) {
      clear(c, 2);
      start_next_request(c);
    } else if (tone == kToneCed) {
      connected(c);
    }
  } else if (cmd == '>' && code == kSignalCo && kind == kTransmit && tone == kToneCed) {
    c.phase = 'A';
    if (c.e.ced_hold) {
      timer_start(c, TI_GENERAL_DLAY, c.e.ced_hold);
    } else {
      connected(c);
    }
  }
}

void on_timer(acu_context& c, acu_timer t) {
  const char cmd = current(c);
  if (t == TI_INTER_CALL) {
    if (cmd == 'c') complete(c);
    return;
  }
  if (!running(c)) return;
  switch (cmd) {
    case '<':
    case 'S':
      if (t == TI_PROVDR_WDOG) {
        clear(c, 't');
        start_next_request(c);
      }
      return;
    case '>':
      if (t == TI_GENERAL_DLAY && c.phase == 'B') {
        signal(c, kSignalRq, kTransmit, kToneCed, true);
        c.phase = 'D';
        timer_start(c, TI_PROVDR_WDOG, c.e.watchdog);
      } else if (t == TI_GENERAL_DLAY && c.phase == 'A') {
        connected(c);
      } else if (t == TI_PROVDR_WDOG) {
        clear(c, 1);
        start_next_request(c);
      }
      return;
    case 'u':
      if (t == TI_GENERAL_DLAY && c.phase == 'B') connected(c);
      return;
    case 'I':
      if (t == TI_GENERAL_DLAY) complete(c);
      return;
    default: return;
  }
}

// ---------------------------------------------------------------------------
// Configuration.

void free_context(acu_context& c) {
  for (timer_cell_t* cell : c.cells) Timer_free(cell);
  c.cells.clear();
  for (msg_t* m : c.queue) Free_msg(m);
  c.queue.clear();
}

u32 le32_at(const u8* e, size_t off) { return get_le32(e + off); }

void configure(msg_t* m) {
  u8 result = 2, code = ACU_OK, detail = 0;
  acu_entry e;
  const u32 total = Msg_total_size(m);
  std::vector<u8> data(total);
  u32 got = 0;
  if (m->p_buffer) {
    Reassemble_buffers(data.data(), total, m->p_buffer, &got);
  } else {
    if (m->data_size != 0) std::memcpy(data.data(), Msg_inline_data(m), m->data_size);
    got = m->data_size;
  }
  ent_id_t user = ENT_FAX;
  if (got >= 3) {
    const u16 count = got >= 6 ? get_le16(data.data() + 4) : 0;
    if (got >= 7 && data[6]) user = data[6];
    if (count != 1 || got < ACU_HEADER_SIZE + 72) {
      result = 3;
      code = ACU_ERR_ENTRIES;
    } else {
      const u8* p = data.data() + ACU_HEADER_SIZE;
      e.nai = get_le16(p);
      e.lower = p[2] ? p[2] : 'G';
      e.sapi = p[3] ? p[3] : 18;
      e.options = {p[4], p[5], p[6]};
      e.i_delay = le32_at(p, 16);
      e.inter_call = le32_at(p, 20);
      e.watchdog = le32_at(p, 56);
      e.answer_delay = le32_at(p, 64);
      e.ced_hold = le32_at(p, 68);
    }
  }
  g_acu.built = true;
  if (result == 2 && e.nai >= ACU_SLOTS) {
    result = 3;
    code = ACU_ERR_ENTRIES;
  } else if (result == 2 && g_acu.slots[e.nai]) {
    result = 3;
    code = ACU_ERR_NAI_CONFIGURED;
  }
  if (result == 2) {
    auto c = std::make_unique<acu_context>();
    c->e = e;
    c->user = user;
    for (size_t i = 0; i < kTimerCells; ++i) {
      timer_cell_t* cell = Timer_alloc(ENT_ACU, e.nai, e.sapi, OM_OS_CONN_NONE);
      if (!cell) {
        result = 3;
        code = ACU_ERR_NO_TIMER;
        detail = static_cast<u8>(i);
        break;
      }
      c->cells.push_back(cell);
    }
    if (result == 2) {
      for (size_t t = 0; t < ACU_TIMERS; ++t) c->timers[t].cell = c->cells[t];
      acu_context& ctx = *c;
      g_acu.slots[e.nai] = std::move(c);
      (void)load(ctx, "IHi.");
    } else {
      free_context(*c);
    }
  }
  const u8 body[3] = {result, code, detail};
  Msg_set_inline_body(m, body, 3);
  m->code = SM_CONFIG_CO;
  std::swap(m->from, m->to);
  m->from = ENT_ACU;
  Send_msg(m);
}

}  // namespace

acu_error acu_check_commands(std::string_view commands, size_t area) {
  const size_t end = commands.find('.');
  const size_t n = end == std::string_view::npos ? commands.size() : end + 1;
  for (size_t i = 0; i < n && i < area; ++i)
    if (kCommands.find(commands[i]) == std::string_view::npos) return ACU_ERR_COMMAND_LETTER;
  if (n > area) return ACU_ERR_COMMAND_LENGTH;
  if (end == std::string_view::npos) return ACU_ERR_COMMAND_END;
  return ACU_OK;
}

acu_error acu_run_commands(nai_t nai, std::string_view commands) {
  if (nai >= ACU_SLOTS || !g_acu.slots[nai]) return ACU_ERR_NO_CONTEXT;
  acu_context& c = *g_acu.slots[nai];
  const acu_error e = acu_check_commands(commands);
  if (e != ACU_OK || running(c)) return e;
  return load(c, commands);
}

void acu_entity_handler(msg_t* m) {
  if (m->from == ENT_SM) {
    if (m->code == SM_CONFIG_RQ) {
      configure(m);
      return;
    }
    if (m->code == SM_RST_CFG_RQ) {
      u8 body[3] = {2, 0, 0};
      if (m->nai < ACU_SLOTS && g_acu.slots[m->nai]) {
        free_context(*g_acu.slots[m->nai]);
        g_acu.slots[m->nai].reset();
      } else {
        body[0] = 3;
        body[1] = m->nai < ACU_SLOTS ? ACU_ERR_NO_CONTEXT : ACU_ERR_NAI_RANGE;
      }
      Msg_set_inline_body(m, body, 3);
      m->code = SM_RST_CFG_CO;
      std::swap(m->from, m->to);
      m->from = ENT_ACU;
      Send_msg(m);
      return;
    }
    Free_msg(m);
    return;
  }
  acu_context* c = m->nai < ACU_SLOTS ? g_acu.slots[m->nai].get() : nullptr;
  if (!c) {
    Free_msg(m);
    return;
  }
  if (m->from == ENT_TI) {
    const u16 id = Timer_expiry_id(m);
    for (u8 t = 0; t < ACU_TIMERS; ++t) {
      acu_timer_slot& s = c->timers[t];
      if (m->code == kTimerCodes[t] && s.armed && s.seq == static_cast<u8>(id)) {
        s.armed = false;
        Free_msg(m);
        on_timer(*c, static_cast<acu_timer>(t));
        return;
      }
    }
    Free_msg(m);
    return;
  }
  if (m->from == c->e.lower) {
    const u16 kind = Msg_data_size(m) >= 2 ? get_le16(Msg_data(m)) : 0;
    const u16 tone = Msg_data_size(m) >= 4 ? get_le16(Msg_data(m) + 2) : 0;
    const code_t code = m->code;
    Free_msg(m);
    on_tone(*c, code, kind, tone);
    return;
  }
  const bool any_source = m->code == ACU_INFO_RQ || m->code == ACU_INIT_RQ || m->code == ACU_SETPARM_RQ;
  if (m->from != c->user && !any_source) {
    Free_msg(m);
    return;
  }
  switch (m->code) {
    case ACU_INFO_RQ: {
      const u16 letter = Msg_data_size(m) >= 2 ? get_le16(Msg_data(m)) : 0;
      if (letter >= 'a' && letter <= 'l') {
        u8 body[12] = {};
        put_le16(body, letter);
        put_le16(body + 2, c->params[letter - 'a']);
        answer(m, ACU_INFO_CO, body, sizeof body);
      }
      Free_msg(m);
      return;
    }
    case ACU_CLEAR_RS:
      if (c->pending) {
        to_user(*c, ACU_CLEAR_CO, 84, 'h');
        c->pending = 0;
      }
      Free_msg(m);
      return;
    case ACU_CONN_RQ:
    case ACU_CONN_RS:
    case ACU_CLEAR_RQ:
    case ACU_INIT_RQ:
    case ACU_SETPARM_RQ:
      if (m->code == ACU_INIT_RQ && c->ready && !running(*c)) {
        for (msg_t* q : c->queue) Free_msg(q);
        c->queue.clear();
      }
      if (running(*c) || !c->queue.empty()) {
        c->queue.push_back(m);
      } else {
        start_request(*c, m);
      }
      return;
    default: Free_msg(m); return;
  }
}

void acu_release_all() {
  for (auto& c : g_acu.slots)
    if (c) free_context(*c);
  g_acu = {};
}

void acu_entity_init() { om_os_set_entity_stop(ENT_ACU, acu_release_all); }
