#include "fax/support/t30_fake_modem.h"

#include <cstring>

#include "common/byte_order.h"
#include "runtime/om_os.h"
#include "runtime/support/rt_harness.h"

namespace t30_test {

namespace {

constexpr code_t kTimeoutCode = 'W';
constexpr code_t kLineCode = 'V';

msg_t* make(ent_id_t from, ent_id_t to, code_t code, uint16_t ch, nai_t nai, const std::vector<uint8_t>& body) {
  msg_t* m = rt_test::make_msg(from, to, code, body, nai, ch);
  return m;
}

// A data message: octets in a chain, the parameter word inline.
msg_t* make_data(ent_id_t from, ent_id_t to, code_t code, uint16_t ch, nai_t nai, const std::vector<uint8_t>& octets,
                 uint16_t param) {
  msg_t* m = Alloc_msg();
  if (!m) return nullptr;
  m->from = from;
  m->to = to;
  m->code = code;
  m->nai = nai;
  m->sapi = 0;
  m->conn_id = ch;
  m->data_size = 2;
  put_le16(Msg_inline_data(m), param);
  if (!octets.empty()) {
    buffer_t* b = Store_data_in_buffers(octets.data(), static_cast<u32>(octets.size()), nullptr);
    if (b) Msg_attach_chain(m, b);
  }
  return m;
}

std::vector<uint8_t> chain_of(const msg_t* m) { return rt_test::chain_bytes(m->p_buffer); }
uint16_t param_of(const msg_t* m) { return m->data_size >= 2 ? get_le16(Msg_inline_data(m)) : 0; }
uint16_t word(const msg_t* m, unsigned n) {
  const uint8_t* d = Msg_data(m);
  return Msg_data_size(m) >= 2 * (n + 1) ? get_le16(d + 2 * n) : 0;
}

}  // namespace

// ---------------------------------------------------------------------------
// Fake modem layer.

fake_modem& fake_modem::get() {
  static fake_modem f;
  return f;
}

void fake_modem::reset() {
  for (auto& [ch, p] : ports_) {
    if (p.timer) Timer_free(p.timer);
    if (p.line_timer) Timer_free(p.line_timer);
  }
  ports_.clear();
  filter = nullptr;
  sent.clear();
  silent_connect = false;
}

void fake_modem::link(uint16_t a, uint16_t b) {
  at(a).peer = b;
  at(b).peer = a;
}

void fake_modem::attach(uint16_t ch, std::function<void(const line_item&)> far_end) {
  at(ch).far_end = std::move(far_end);
}

void fake_modem::handler(msg_t* m) {
  get().on_message(m);
  Free_msg(m);
}

void fake_modem::up(uint16_t ch, code_t code, const std::vector<uint8_t>& body) {
  if (msg_t* m = make(ENT_FM, ENT_T30, code, ch, at(ch).nai, body)) Send_msg(m);
}

void fake_modem::confirm(uint16_t ch, char kind, uint16_t result, uint32_t value) {
  std::vector<uint8_t> body(FM_CONTROL_CO_SIZE);
  put_le16(body.data(), static_cast<uint8_t>(kind));
  put_le16(body.data() + 2, result);
  put_le32(body.data() + 4, value);
  up(ch, FM_CONTROL_CO, body);
}

void fake_modem::arm(uint16_t ch, uint32_t ms) {
  port& p = at(ch);
  if (!p.timer) p.timer = Timer_alloc(ENT_FM, p.nai, 0, ch);
  if (!p.timer) return;
  ++p.timer_seq;
  p.timer_running = true;
  Timer_start(p.timer, ms, p.timer_seq, kTimeoutCode);
}

void fake_modem::disarm(uint16_t ch) {
  port& p = at(ch);
  p.timer_running = false;
  if (p.timer) Timer_stop(p.timer);
}

void fake_modem::send_item(uint16_t ch, line_item item) {
  if (filter && !filter(ch, item)) return;
  sent.emplace_back(ch, item);
  port& p = at(ch);
  if (p.far_end) {
    p.far_end(item);
  } else if (p.peer >= 0) {
    // Frame sets take their time on the line; what follows them waits.
    const uint16_t to = static_cast<uint16_t>(p.peer);
    port& q = at(to);
    uint32_t due = rt_test::virtual_now() + (item.kind == line_item::frames ? FAKE_HDLC_MS : 0);
    if (!q.in_flight.empty() && q.in_flight.back().first > due) due = q.in_flight.back().first;
    if (due == rt_test::virtual_now() && q.in_flight.empty()) {
      deliver(to, std::move(item));
      return;
    }
    q.in_flight.emplace_back(due, std::move(item));
    if (!q.line_timer) q.line_timer = Timer_alloc(ENT_FM, q.nai, 1, to);
    if (q.line_timer && q.in_flight.size() == 1)
      Timer_start(q.line_timer, q.in_flight.front().first - rt_test::virtual_now(), ++q.line_seq, kLineCode);
  }
}

void fake_modem::arrive(uint16_t ch) {
  port& p = at(ch);
  while (!p.in_flight.empty() && static_cast<int32_t>(p.in_flight.front().first - rt_test::virtual_now()) <= 0) {
    line_item item = std::move(p.in_flight.front().second);
    p.in_flight.pop_front();
    deliver(ch, std::move(item));
  }
  if (!p.in_flight.empty() && p.line_timer) {
    const int32_t wait = static_cast<int32_t>(p.in_flight.front().first - rt_test::virtual_now());
    Timer_start(p.line_timer, static_cast<uint32_t>(wait > 0 ? wait : 1), ++p.line_seq, kLineCode);
  }
}

void fake_modem::deliver(uint16_t ch, line_item item) {
  port& p = at(ch);
  if (!p.connected) return;
  p.pending.push_back(std::move(item));
  consume(ch);
}

void fake_modem::start_receive(uint16_t ch, rx_mode mode, uint16_t modulation, uint32_t handle) {
  port& p = at(ch);
  disarm(ch);
  p.rx = mode;
  p.rx_modulation = modulation;
  p.rx_handle = handle;
  p.carrier = false;
  consume(ch);
  if (p.rx != rx_mode::none && !p.timer_running) arm(ch, mode == rx_mode::hdlc_resp ? FAKE_T4_MS : FAKE_T2_MS);
}

void fake_modem::consume(uint16_t ch) {
  port& p = at(ch);
  while (!p.pending.empty() && p.rx != rx_mode::none) {
    line_item& item = p.pending.front();
    switch (p.rx) {
      case rx_mode::hdlc_cmd:
      case rx_mode::hdlc_resp: {
        if (item.kind != line_item::frames) {
          p.pending.pop_front();
          continue;
        }
        t30_frame_set* set = t30_fm__frame_set(p.rx_handle);
        if (set) {
          *set = {};
          for (const auto& f : item.frame_list) {
            if (set->count >= t30_frame_set::max_frames || set->used + f.size() > t30_frame_set::max_octets) break;
            std::memcpy(set->octets.data() + set->used, f.data(), f.size());
            set->frames[set->count++] = {set->used, static_cast<uint16_t>(f.size())};
            set->used = static_cast<uint16_t>(set->used + f.size());
          }
        }
        p.pending.pop_front();
        p.rx = rx_mode::none;
        disarm(ch);
        confirm(ch, 'f', 0, p.rx_handle);
        return;
      }
      case rx_mode::tcf: {
        if (item.kind == line_item::frames) return;  // waits: the training check times out
        if (item.kind == line_item::page_data) {
          p.pending.pop_front();
          continue;
        }
        const bool good = item.good && (item.modulation & 0x0F7E) == (p.rx_modulation & 0x0F7E);
        p.pending.pop_front();
        p.rx = rx_mode::none;
        disarm(ch);
        confirm(ch, 'c', good ? 1 : 0);
        return;
      }
      case rx_mode::page: {
        if (item.kind == line_item::tcf) {
          p.pending.pop_front();
          continue;
        }
        if (item.kind == line_item::frames) {
          // HDLC instead of page data: the page (if any) ends, frames follow.
          if (p.carrier) {
            confirm(ch, 'e', 0);
          } else {
            confirm(ch, 'd', 2);
          }
          p.rx = rx_mode::hdlc_cmd;
          disarm(ch);
          arm(ch, FAKE_T2_MS);
          continue;
        }
        if (!p.carrier) {
          p.carrier = true;
          disarm(ch);
          confirm(ch, 'd', 1);
        }
        if (msg_t* m = make_data(ENT_FM, ENT_T30, FM_DA_IN, ch, p.nai, item.data, item.last ? 1 : 0)) Send_msg(m);
        const bool last = item.last;
        p.pending.pop_front();
        if (last) {
          confirm(ch, 'e', 0);
          p.carrier = false;
          p.rx = rx_mode::hdlc_cmd;
          arm(ch, FAKE_T2_MS);
        }
        continue;
      }
      case rx_mode::none: return;
    }
  }
}

void fake_modem::timeout(uint16_t ch) {
  port& p = at(ch);
  const rx_mode mode = p.rx;
  p.rx = rx_mode::none;
  switch (mode) {
    case rx_mode::hdlc_cmd: confirm(ch, 'a', 0); break;
    case rx_mode::hdlc_resp: confirm(ch, 'b', 0); break;
    case rx_mode::tcf: confirm(ch, 'c', 2); break;
    case rx_mode::page:
      confirm(ch, 'd', 1);
      confirm(ch, 'e', 0);
      p.rx = rx_mode::hdlc_cmd;
      arm(ch, FAKE_T2_MS);
      break;
    case rx_mode::none: break;
  }
}

void fake_modem::on_message(msg_t* m) {
  const uint16_t ch = m->conn_id;
  if (m->from == ENT_TI && m->code == kLineCode) {
    if (Timer_expiry_id(m) == at(ch).line_seq) arrive(ch);
    return;
  }
  if (m->from == ENT_TI) {
    port& p = at(ch);
    if (p.timer_running && Timer_expiry_id(m) == p.timer_seq) {
      p.timer_running = false;
      timeout(ch);
    }
    return;
  }
  if (m->from != ENT_T30) return;
  port& p = at(ch);
  switch (m->code) {
    case FM_CONN_RQ:
      if (silent_connect) return;
      p.connected = true;
      p.nai = m->nai;
      up(ch, FM_CONN_IN, {0, 0});
      return;
    case FM_DISC_RQ: {
      disarm(ch);
      p.connected = false;
      p.rx = rx_mode::none;
      p.pending.clear();
      p.tx_page = false;
      const uint16_t cause = word(m, 0);
      if (cause) {
        std::vector<uint8_t> body(2);
        put_le16(body.data(), static_cast<uint16_t>((cause & 0xDFFF) | 0x4000));
        up(ch, FM_DISC_IN, body);
      }
      return;
    }
    case T30_SYNC_RQ: up(ch, T30_SYNC_CO, {}); return;
    case FM_DA_RQ: {
      if (!p.tx_page) return;
      line_item item;
      item.kind = line_item::page_data;
      item.modulation = p.tx_modulation;
      item.data = chain_of(m);
      item.last = param_of(m) == 1;
      if (item.last) p.tx_page = false;
      send_item(ch, std::move(item));
      if (!p.tx_page) confirm(ch, 'd', 0);
      return;
    }
    case FM_CONTROL_RQ: break;
    default: return;
  }
  const uint8_t* d = Msg_data(m);
  const char sub = static_cast<char>(get_le16(d + 2));
  const bool restart = get_le16(d + 4) == 1;
  const uint32_t tx_handle = get_le32(d + 8);
  const uint32_t rx_handle = get_le32(d + 12);
  const uint16_t mod = get_le16(d + 16);
  const uint32_t extra = get_le32(d + 20);
  if (restart) {
    disarm(ch);
    p.rx = rx_mode::none;
  }
  auto frames = [&]() {
    line_item item;
    item.kind = line_item::frames;
    if (const t30_frame_set* set = t30_fm__frame_set(tx_handle))
      for (size_t i = 0; i < set->count; ++i) {
        const auto f = set->frame(i);
        item.frame_list.emplace_back(f.begin(), f.end());
      }
    return item;
  };
  switch (sub) {
    case 'a':
      p.tx_page = true;
      p.tx_modulation = mod;
      break;
    case 'b': {
      send_item(ch, frames());
      line_item t;
      t.kind = line_item::tcf;
      t.modulation = static_cast<uint16_t>((mod & ~T30_MOD_HDLC) | T30_MOD_DATA);
      send_item(ch, t);
      start_receive(ch, rx_mode::hdlc_resp, T30_MOD_V21_CMD, rx_handle);
      break;
    }
    case 'c':
      send_item(ch, frames());
      start_receive(ch, rx_mode::hdlc_resp, mod, rx_handle);
      break;
    case 'd':
      send_item(ch, frames());
      if (extra) (void)t30_fm__start_timer(extra);
      break;
    case 'e':
    case 'g': start_receive(ch, rx_mode::hdlc_cmd, mod, rx_handle); break;
    case 'h': start_receive(ch, rx_mode::hdlc_resp, mod, rx_handle); break;
    case 'f': start_receive(ch, rx_mode::page, mod, rx_handle); break;
    case 'i': start_receive(ch, rx_mode::tcf, mod, rx_handle); break;
    default: break;
  }
}

// ---------------------------------------------------------------------------
// Scripted users.

fake_users& fake_users::get() {
  static fake_users u;
  return u;
}

void fake_users::handler(msg_t* m) {
  get().on_message(m);
  Free_msg(m);
}

void fake_users::send_page(uint16_t ch, nai_t nai) {
  fake_user& u = users_[ch];
  if (u.next_page >= u.to_send.size()) return;
  const std::vector<uint8_t>& data = u.to_send[u.next_page].data;
  for (size_t pos = 0; pos < data.size(); pos += 1000) {
    const size_t n = std::min<size_t>(1000, data.size() - pos);
    std::vector<uint8_t> piece(data.begin() + static_cast<long>(pos), data.begin() + static_cast<long>(pos + n));
    if (msg_t* m = make_data(ENT_CF, ENT_T30, T30_DA_RQ, ch, nai, piece, 0)) Send_msg(m);
  }
  if (msg_t* m = make_data(ENT_CF, ENT_T30, T30_DA_RQ, ch, nai, {}, 1)) Send_msg(m);
  if (!u.send_end_page_rq) return;
  const bool more = u.next_page + 1 < u.to_send.size();
  const uint16_t bits = more ? (T30_EPQ_PAGE | T30_EPQ_MORE) : u.eop_bits;
  std::vector<uint8_t> body(2);
  put_le16(body.data(), bits);
  send_to_engine(ENT_CF, T30_END_PAGE_RQ, ch, body, nai);
}

void fake_users::on_message(msg_t* m) {
  const uint16_t ch = m->conn_id;
  fake_user& u = users_[ch];
  u.codes.push_back(m->code);
  switch (m->code) {
    case T30_WhatToDo_IN: {
      ++u.what_to_do_count;
      if (!u.answer_what_to_do) return;
      if (!u.identity.empty())
        if (msg_t* p = make_data(ENT_CF, ENT_T30, T30_SETPARM_RQ, ch, m->nai,
                                 std::vector<uint8_t>(u.identity.begin(), u.identity.end()), T30_SETPARM_IDENTITY))
          Send_msg(p);
      std::array<uint8_t, T30_CAP_AREA_SIZE> area{};
      t30_cap__write_area(area, {u.fields, u.selection, 0});
      send_to_engine(ENT_CF, T30_WhatToDo_RS, ch, std::vector<uint8_t>(area.begin(), area.end()), m->nai);
      return;
    }
    case T30_EONEG_IN:
      if (u.sender) send_page(ch, m->nai);
      if (u.hold_at_page_start) send_to_engine(ENT_CF, T30_BUSY_RQ, ch, {}, m->nai);
      return;
    case T30_END_PAGE_CO: {
      const uint16_t rsp = word(m, 0);
      u.end_page_co.push_back(rsp);
      if (rsp == T30_RSP_MCF || rsp == T30_RSP_RTP) ++u.next_page;
      if (rsp == T30_RSP_MCF && u.sender) send_page(ch, m->nai);
      return;
    }
    case T30_DA_IN: {
      const auto data = chain_of(m);
      u.current.insert(u.current.end(), data.begin(), data.end());
      if (param_of(m) == 1) {
        u.received.push_back(u.current);
        u.current.clear();
      }
      return;
    }
    case T30_END_PAGE_IN: {
      const uint16_t verdict = word(m, 0);
      u.end_page_in.emplace_back(verdict, word(m, 1));
      if (!u.answer_end_page) return;
      uint16_t answer = verdict;
      if (!u.end_page_answers.empty()) {
        answer = u.end_page_answers.front();
        u.end_page_answers.pop_front();
      }
      std::vector<uint8_t> body(2);
      put_le16(body.data(), answer);
      send_to_engine(ENT_CF, T30_END_PAGE_RS, ch, body, m->nai);
      return;
    }
    case T30_PROGRESS_IN: u.progress.emplace_back(param_of(m), chain_of(m)); return;
    case T30_DISC_IN:
      u.disconnected = true;
      u.cause = word(m, 0);
      return;
    default: return;
  }
}

// ---------------------------------------------------------------------------

void send_to_engine(ent_id_t from, code_t code, uint16_t ch, const std::vector<uint8_t>& body, nai_t nai) {
  if (msg_t* m = make(from, ENT_T30, code, ch, nai, body)) Send_msg(m);
}

uint8_t configure_channel(uint16_t ch, uint16_t slots, ent_id_t lower) {
  std::vector<uint8_t> body(12, 0);
  body[2] = ENT_MT30;
  put_le16(body.data() + 3, 1);
  body[5] = 1;
  put_le16(body.data() + 6, slots);
  put_le16(body.data() + 8, ch);
  body[10] = lower;
  rt_test::rec().clear();
  send_to_engine(ENT_MT30, MT30_CONFIG_RQ, ch, body);
  rt_test::pump();
  for (const auto& s : rt_test::rec().messages())
    if (s.code == MT30_CONFIG_CO && !s.data.empty()) return s.data[0];
  return 0;
}

void connect(uint16_t ch, uint16_t role, bool v34, uint16_t max_speed) {
  std::vector<uint8_t> body(9, 0);
  put_le16(body.data(), role);
  put_le16(body.data() + 4, v34 ? 1 : 0);
  put_le16(body.data() + 7, max_speed);
  send_to_engine(ENT_CF, T30_CONN_RQ, ch, body, ch);
}

namespace {
void mt30_recorder(msg_t* m) { rt_test::record_handler(m); }
const entity_table_row_t kTable[] = {
    {ENT_T30, t30_entity_handler, 0, 0, nullptr, 0},
    {ENT_FM, fake_modem::handler, 0, 0, nullptr, 0},
    {ENT_CF, fake_users::handler, 0, 0, nullptr, 0},
    {ENT_MT30, mt30_recorder, 0, 0, nullptr, 0},
    {ENT_T38, rt_test::record_handler, 0, 0, nullptr, 0},
    {'L', rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};
}  // namespace

const entity_table_row_t* loop_table() { return kTable; }

uint32_t run_until(const std::function<bool()>& done, uint32_t limit_ms, const std::function<void()>& each_step) {
  const uint32_t start = rt_test::virtual_now();
  while (true) {
    rt_test::pump();
    if (each_step) each_step();
    if (done()) break;
    if (rt_test::virtual_now() - start >= limit_ms) break;
    rt_test::advance_clock(100);
    om_os_timer_poll();
  }
  return rt_test::virtual_now() - start;
}

t30_capability user_fields(bool ecm, uint8_t frame_size) {
  t30_capability c = t30_cap__defaults();
  if (!ecm) {
    c.ecm = 0;
    c.ecm_frame_size = 0;
    c.coding = T30_CODING_MH | T30_CODING_MR;
  } else {
    c.ecm = frame_size;
    c.ecm_frame_size = frame_size;
  }
  return c;
}

}  // namespace t30_test
