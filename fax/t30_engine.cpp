// The T.30 engine core: channel table and configuration, message
// translation, the frame classifier, the timer slots, the stop procedure and
// the page-data path outside error-correction mode.
#include "fax/t30_engine.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "common/byte_order.h"
#include "fax/fax_bit.h"
#include "fax/fax_msg.h"
#include "fax/t30_channel.h"
#include "runtime/om_os.h"

namespace {

// ---------------------------------------------------------------------------
// Entity record.

struct t30_entity {
  ent_id_t configurer = 0;
  std::vector<std::unique_ptr<t30_channel>> channels;
  bool configured = false;
};
t30_entity g_ent;
msg_t* g_current = nullptr;
bool g_current_kept = false;

constexpr u16 kDefaultSlots = 62;
constexpr u16 kCauseUserDisc = WUSR | WUDISC;            // 0x308
constexpr u16 kCauseResetConfig = WUSR | WURESETCONFIG;  // 0x32B
constexpr u16 kTrapTimerAlloc = 404;

t30_channel* find_channel(u16 number) {
  if (number == 0xFFFF || number >= g_ent.channels.size()) return nullptr;
  return g_ent.channels[number].get();
}

// ---------------------------------------------------------------------------
// Messages.

msg_t* new_msg(t30_channel& ch, ent_id_t to, code_t code, std::span<const u8> body, u8 sapi) {
  return fax_new_msg(ENT_T30, to, code, ch.nai, sapi, ch.number, body);
}

// A message whose octets travel in a chain and whose parameter word is inline.
msg_t* new_data_msg(t30_channel& ch, ent_id_t to, code_t code, std::span<const u8> octets, u16 param) {
  msg_t* m = Alloc_msg();
  if (!m) return nullptr;
  Msg_set_head(m, {ENT_T30, to, code, ch.nai, ch.sapi, ch.number});
  m->data_size = 2;
  put_le16(Msg_inline_area(m), param);
  return fax_attach_copy(m, octets) ? m : nullptr;
}

// The octets of a data message (its chain) and its parameter word.
std::vector<u8> data_octets(const msg_t* m) {
  std::vector<u8> out;
  for (const buffer_t* b = m->p_buffer; b; b = b->next)
    out.insert(out.end(), Buffer_data(b), Buffer_data(b) + b->data_size);
  return out;
}
u16 data_param(const msg_t* m) { return m->data_size >= 2 ? get_le16(Msg_inline_data(m)) : 0; }

// ---------------------------------------------------------------------------
// Frame table: FCF (X bit removed above 0x90) -> class, and the optional
// frames that may precede the final frame.

struct fcf_entry {
  u8 cls = 0;  // class, 0 = not a frame the engine reads
  bool optional = false;
  bool final_type = false;
};

constexpr std::array<fcf_entry, 0x90> make_fcf_table() {
  std::array<fcf_entry, 0x90> t{};
  for (u8 c = 1; c < T30C_COUNT; ++c) {
    const u8 fcf = t30_class_table[c].fcf;
    if (fcf == 0 || t[fcf].cls != 0) continue;  // PPS/EOR classes share one FCF
    t[fcf].cls = c;
    t[fcf].final_type = true;
  }
  // PIN and PIP are read as RTN and RTP.
  t[0x34].cls = T30C_RTN;
  t[0x35].cls = T30C_RTP;
  constexpr u8 optional[] = {0x02, 0x04, 0x42, 0x43, 0x45, 0x46, 0x47, 0x24, 0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88};
  for (u8 f : optional) {
    t[f].cls = 0xFE;
    t[f].optional = true;
  }
  return t;
}
constexpr auto kFcfTable = make_fcf_table();

const fcf_entry& fcf_lookup(u8 fcf) {
  static constexpr fcf_entry none{};
  const u8 i = fcf < 0x90 ? fcf : static_cast<u8>(fcf & 0x7F);
  return i < kFcfTable.size() ? kFcfTable[i] : none;
}

// PPS and EOR: the class from the low four bits of FIF octet 1.
u8 pps_eor_class(u8 fif1, bool eor) {
  switch (fif1 & 0x0F) {
    case 0: return eor ? T30C_EOR_NULL : T30C_PPS_NULL;
    case 1:
    case 9: return eor ? T30C_EOR_EOM : T30C_PPS_EOM;
    case 2:
    case 10: return eor ? T30C_EOR_MPS : T30C_PPS_MPS;
    case 4:
    case 12: return eor ? T30C_EOR_EOP : T30C_PPS_EOP;
    default: return T30C_NONE;
  }
}

}  // namespace

// ---------------------------------------------------------------------------
// Classifier.

t30_class t30_classify(std::span<const std::span<const u8>> frames) {
  if (frames.empty() || frames.size() > t30_frame_set::max_frames) return T30C_NONE;
  u8 cls = T30C_NONE;
  for (size_t k = frames.size(); k-- > 0;) {
    const auto f = frames[k];
    const bool last = k + 1 == frames.size();
    if (f.size() < 3 || f[0] != 0xFF) return T30C_NONE;
    if (f[1] != (last ? T30_CONTROL_FINAL : T30_CONTROL_OPTIONAL)) return T30C_NONE;
    const fcf_entry& e = fcf_lookup(f[2]);
    if (e.cls == 0) return T30C_NONE;
    if (!last) {
      if (!e.optional) return T30C_NONE;
      continue;
    }
    if (e.optional) return T30C_NONE;  // a lone optional frame (or one last)
    u8 c = e.cls;
    if (frames.size() > 1 && c != T30C_DIS && c != T30C_DTC && c != T30C_DCS && c != T30C_CFR && c != T30C_NSS)
      return T30C_NONE;
    const u8 fcf = f[2] < 0x90 ? f[2] : static_cast<u8>(f[2] & 0x7F);
    if (fcf == 0x7D || fcf == 0x73) {
      if (f.size() < 4) return T30C_NONE;
      c = pps_eor_class(f[3], fcf == 0x73);
      if (c == T30C_NONE) return T30C_NONE;
    }
    const u8 want = t30_class_table[c].length;
    if (want != 0 && f.size() != want) return T30C_NONE;
    // PRI- commands are read as the plain command.
    if (c == T30C_PRI_MPS || c == T30C_PRI_EOM || c == T30C_PRI_EOP) --c;
    cls = c;
  }
  return static_cast<t30_class>(cls);
}

t30_class t30_classify(const t30_frame_set& set) {
  std::array<std::span<const u8>, t30_frame_set::max_frames> spans;
  const size_t n = std::min<size_t>(set.count, spans.size());
  for (size_t i = 0; i < n; ++i) spans[i] = set.frame(i);
  return t30_classify(std::span<const std::span<const u8>>(spans.data(), n));
}

std::string_view t30_modulation_name(u16 modulation) {
  struct row {
    u16 code;
    const char* name;
  };
  static constexpr row names[] = {
      {0x2081, "CMD V21 300 bps"},    {0x1102, "DATA V27 2400 bps"},  {0x1104, "DATA V27 4800 bps"},
      {0x1208, "DATA V29 7200 bps"},  {0x1210, "DATA V29 9600 bps"},  {0x1810, "DATA V17 9600 bps"},
      {0x1820, "DATA V17 12000 bps"}, {0x1840, "DATA V17 14400 bps"}, {0x5102, "ECM V27 2400 bps"},
      {0x5104, "ECM V27 4800 bps"},   {0x5208, "ECM V29 7200 bps"},   {0x5210, "ECM V29 9600 bps"},
      {0x5810, "ECM V17 9600 bps"},   {0x5820, "ECM V17 12000 bps"},  {0x5840, "ECM V17 14400 bps"},
  };
  for (const row& r : names)
    if (r.code == modulation) return r.name;
  return {};
}

// ---------------------------------------------------------------------------
// Services for the machine modules.

msg_t* t30_current_msg() { return g_current; }

u16 t30_param(const msg_t* m, unsigned n) {
  if (!m || m->data_size < 2 * (n + 1)) return 0;
  return get_le16(Msg_inline_data(m) + 2 * n);
}

void t30_send_user(t30_channel& ch, code_t code, std::span<const u8> body) {
  if (msg_t* m = new_msg(ch, ch.user, code, body, ch.sapi)) Send_msg(m);
}

void t30_send_user_words(t30_channel& ch, code_t code, std::initializer_list<u16> words) {
  std::vector<u8> body(words.size() * 2);
  size_t i = 0;
  for (u16 w : words) put_le16(body.data() + 2 * i++, w);
  t30_send_user(ch, code, body);
}

void t30_send_lower(t30_channel& ch, code_t code, std::span<const u8> body) {
  if (msg_t* m = new_msg(ch, ch.lower, code, body, T30_V34_SAP)) Send_msg(m);
}

// Asks the modem layer to start V.34, as the answering or the calling end.
void t30_send_v34_activate(t30_channel& ch, bool answering) {
  u8 body[T30_V34_BODY_SIZE] = {};
  body[1] = answering ? 'A' : 'O';
  body[2] = 37;
  body[8] = ch.config_byte;
  body[13] = 'M';
  put_le16(body + 6, 33600);
  put_le16(body + 46, 33600);
  body[50] = 1;
  put_le32(body + 16, 10);
  put_le32(body + 20, 100);
  t30_send_lower(ch, T30_V34_ACT_RQ, body);
}

void t30_fm_control(t30_channel& ch, char subcode, u16 modulation, bool restart, u8 mode, u32 extra) {
  u8 body[FM_CONTROL_RQ_SIZE] = {};
  body[0] = mode;
  put_le16(body + 2, static_cast<u8>(subcode));
  put_le16(body + 4, restart ? 1 : 0);
  put_le32(body + 8, (static_cast<u32>(ch.number) + 1) << 4 | 1);
  put_le32(body + 12, (static_cast<u32>(ch.number) + 1) << 4 | 2);
  put_le16(body + 16, modulation);
  put_le32(body + 20, extra);
  if (msg_t* m = new_msg(ch, ENT_FM, FM_CONTROL_RQ, body, ch.sapi)) Send_msg(m);
}

void t30_fm_data(t30_channel& ch, std::span<const u8> octets, u16 param) {
  if (msg_t* m = new_data_msg(ch, ENT_FM, FM_DA_RQ, octets, param)) Send_msg(m);
}

u32 t30_timer_handle(const t30_channel& ch, t30_timer_slot slot) {
  return (static_cast<u32>(ch.number) + 1) << 8 | 0x80 | slot;
}

t30_frame_set* t30_fm__frame_set(u32 handle) {
  const u32 kind = handle & 0xF;
  const u32 number = (handle >> 4);
  if (number == 0 || (kind != 1 && kind != 2)) return nullptr;
  t30_channel* ch = find_channel(static_cast<u16>(number - 1));
  if (!ch || !ch->active) return nullptr;
  return kind == 1 ? &ch->tx : &ch->rx;
}

bool t30_fm__start_timer(u32 handle) {
  if ((handle & 0x80) == 0 || (handle & 0x7F) >= T30_TIMER_COUNT || (handle >> 8) == 0) return false;
  t30_channel* ch = find_channel(static_cast<u16>((handle >> 8) - 1));
  if (!ch || !ch->active) return false;
  t30_timer_start(*ch, static_cast<t30_timer_slot>(handle & 0x7F));
  return true;
}

void t30_build_single(t30_channel& ch, u8 cls, std::span<const u8> fif) {
  ch.tx = {};
  const size_t n = std::min<size_t>(3 + fif.size(), t30_frame_set::max_octets);
  ch.tx.octets[0] = 0xFF;
  ch.tx.octets[1] = T30_CONTROL_FINAL;
  ch.tx.octets[2] = static_cast<u8>(t30_class_table[cls].fcf | (ch.dis_received ? T30_FCF_X : 0));
  if (n > 3) std::memcpy(ch.tx.octets.data() + 3, fif.data(), n - 3);
  ch.tx.frames[0] = {0, static_cast<u16>(n)};
  ch.tx.count = 1;
  ch.tx.used = static_cast<u16>(n);
  ch.tx.final_class = cls;
  ch.last_sent_class = cls;
}

void t30_send_cap_area(t30_channel& ch, code_t code, const t30_capability& cap, const t30_selection& sel) {
  t30_cap_area area{cap, sel, ch.v34_mode ? 1u : 0u};
  std::array<u8, T30_CAP_AREA_SIZE> body{};
  t30_cap__write_area(body, area);
  // The modulation word goes up as page data without ECM framing.
  const u16 mod = code == T30_EONEG_IN && ch.modulation ? ch.modulation : cap.modulation;
  put_le16(body.data() + 2, static_cast<u16>((mod & ~T30_MOD_HDLC) | T30_MOD_DATA));
  t30_send_user(ch, code, body);
}

// ---------------------------------------------------------------------------
// Timers.

void t30_timer_start(t30_channel& ch, t30_timer_slot slot, u32 ms) {
  t30_timer& t = ch.timers[slot];
  if (!t.cell) return;
  ++t.seq;
  t.running = 1;
  Timer_start(t.cell, ms ? ms : t.ms, static_cast<u16>(slot << 8 | t.seq), t.code);
}

void t30_timer_stop(t30_channel& ch, t30_timer_slot slot) {
  t30_timer& t = ch.timers[slot];
  if (!t.cell) return;
  t.running = 0;
  Timer_stop(t.cell);
}

bool t30_timer_running(const t30_channel& ch, t30_timer_slot slot) { return ch.timers[slot].running != 0; }

namespace {

bool alloc_timers(t30_channel& ch) {
  for (u8 i = 0; i < T30_TIMER_COUNT; ++i) {
    t30_timer& t = ch.timers[i];
    t.cell = Timer_alloc(ENT_T30, ch.nai, ch.sapi, ch.number);
    if (!t.cell) return false;
    t.ms = t30_timer_table[i].ms;
    t.code = t30_timer_table[i].code;
    t.running = 0;
  }
  return true;
}

void free_timers(t30_channel& ch) {
  for (t30_timer& t : ch.timers) {
    if (t.cell) Timer_free(t.cell);
    t.cell = nullptr;
    t.running = 0;
  }
}

void free_queues(t30_channel& ch) {
  for (msg_t* m : ch.tx_queue) Free_msg(m);
  ch.tx_queue.clear();
}

}  // namespace

t30_channel::~t30_channel() {
  free_timers(*this);
  free_queues(*this);
}

// ---------------------------------------------------------------------------
// Stop procedure.

namespace {

void complete_stop(t30_channel& ch, u16 cause) {
  const bool was_active = ch.active;
  const u16 reported = ch.stopping && ch.stop_cause ? ch.stop_cause : cause;
  free_timers(ch);
  free_queues(ch);
  ch.rx_check.reset();
  ch.ecm.reset();
  t30_enter(ch, t30_m0::idle);
  ch.active = false;
  ch.stopping = false;
  ch.tx_page_active = false;
  ch.rx_page_active = false;
  if (was_active) t30_send_user_words(ch, T30_DISC_IN, {reported});
}

bool released_after_program(u16 cause, bool after_dcn) {
  if (after_dcn) return true;
  const u16 n = cause & 0xFF;
  const u16 plain = cause & 0x0FFF;
  if (plain == (WT3C | WREMDCOK) || plain == (WT3C | WREMDCNOK)) return true;
  if ((cause & 0x0F00) == WT3C && (n == WNIF || n == WEUXFR || n == WUNXEVT || n == WNOEOPR || n == WECNORRR))
    return true;
  return false;
}

void request_stop(t30_channel& ch, u16 cause, bool after_dcn) {
  if (ch.stopping || !ch.active) return;
  if ((cause & 0x6000) == W_PROV) {
    complete_stop(ch, cause);
    return;
  }
  if (ch.v34_allowed && (t30_in(ch, t30_m0::v34_caller) || t30_in(ch, t30_m0::v34_answerer)))
    t30_send_lower(ch, T30_V34_DEA_RQ, {});
  u8 body[FM_DISC_RQ_SIZE] = {};
  put_le16(body, static_cast<u16>((cause & ~0x6000) | W_USER));
  put_le16(body + 4, released_after_program(cause, after_dcn) ? 0 : 1);
  ch.stopping = true;
  ch.stop_cause = cause;
  // Nothing more is sent towards the modem layer; timers no longer count.
  for (int i = 0; i < T30_TIMER_COUNT; ++i) t30_timer_stop(ch, static_cast<t30_timer_slot>(i));
  if (msg_t* m = new_msg(ch, ENT_FM, FM_DISC_RQ, body, ch.sapi)) Send_msg(m);
}

}  // namespace

void t30_stop(t30_channel& ch, u16 cause) { request_stop(ch, cause, false); }

void t30_dcn_and_stop(t30_channel& ch, u16 cause) {
  if (ch.stopping || !ch.active) return;
  t30_build_single(ch, T30C_DCN);
  t30_fm_control(ch, 'd', ch.cmd_modulation, true);
  request_stop(ch, cause, true);
}

void t30_act_stop(t30_channel& ch, u16 cause) { t30_stop(ch, cause); }
void t30_act_dcn_stop(t30_channel& ch, u16 cause) { t30_dcn_and_stop(ch, cause); }
void t30_act_ignore(t30_channel&, u16) {}

// ---------------------------------------------------------------------------
// Machines.

void t30_run_machine(t30_channel& ch) {
  static const t30_machine* const machines[] = {&t30_machine_0, &t30_machine_1, &t30_machine_2,
                                                nullptr,        &t30_machine_4, &t30_machine_5};
  if (ch.event == EV_NOTHING || ch.machine >= std::size(machines) || !machines[ch.machine]) return;
  const t30_machine& mc = *machines[ch.machine];
  u8 ev = ch.event < EV_CODES ? mc.decode[ch.event] : 0;
  if (ev == T30_DECODE_FRAMES) ev = mc.class_events[t30_classify(ch.rx)];
  if (ev >= mc.events || ch.state >= mc.states) ev = 0;
  const u16 state = ch.state < mc.states ? ch.state : 0;
  const t30_cell& cell = mc.table[ev * mc.states + state].action;
  if (cell.fn) cell.fn(ch, cell.arg);
  else t30_stop(ch, t30_protocol_cause(WUNEXP));
}

fsm::machine_view t30_machine_view(const t30_machine& mc) {
  static constexpr u8 kAllStates[] = {0, 1, 2, 3, 4, 5};
  return {mc.name, mc.states, mc.events, 0, mc.rows, std::span<const u8>(kAllStates, mc.states), {}};
}

// ---------------------------------------------------------------------------
// Page data path outside ECM.

void t30_page_format_set(t30_channel& ch) {
  ch.page_format = t30_page__format(ch.result, ch.user_selection, ch.modulation);
}

void t30_page_tx_start(t30_channel& ch) {
  if (t30_ecm_active(ch)) {
    t30_ecm_tx_start_page(ch);
    return;
  }
  t30_page_format_set(ch);
  ch.framer.start(ch.page_format, om_os_get_buffer_room());
  ch.tx_page_active = true;
  ch.user_data_ended = false;
  ch.data_ended = false;
  ch.tx_copies = 0;
  t30_page_tx_turn(ch);
}

namespace {

void user_flow_check(t30_channel& ch) {
  if (ch.user_busy_sent && ch.tx_queue.size() <= 1) {
    ch.user_busy_sent = false;
    t30_send_user(ch, T30_CLR_BUSY_IN);
  }
}

}  // namespace

void t30_page_tx_turn(t30_channel& ch) {
  if (t30_ecm_active(ch)) {
    t30_ecm_tx_turn(ch);
    return;
  }
  while (ch.tx_page_active && !ch.fm_busy && !ch.tx_queue.empty()) {
    msg_t* m = ch.tx_queue.front();
    ch.tx_queue.pop_front();
    const u16 param = data_param(m);
    const std::vector<u8> octets = data_octets(m);
    Free_msg(m);
    const bool end = param == 1;
    for (const t30_tx_message& out : ch.framer.feed(octets, end)) {
      std::vector<u8> line(out.data.size());
      fax_bit__copy_reversed(line.data(), out.data.data(), static_cast<u32>(line.size()));
      t30_fm_data(ch, line, out.last ? 1 : 0);
    }
    if (end) {
      ch.user_data_ended = true;
      ch.tx_page_active = false;
      ch.tx_copies = ch.framer.copies_written();
    }
    user_flow_check(ch);
  }
}

void t30_page_rx_start(t30_channel& ch) {
  if (t30_ecm_active(ch)) {
    t30_ecm_rx_start_page(ch);
    return;
  }
  t30_page_format_set(ch);
  ch.rx_check = std::make_unique<t30_rx_page_check>();
  ch.rx_page_active = ch.rx_check->start(ch.page_format);
  ch.page_finished = false;
  ch.rx_good_lines = ch.rx_bad_lines = 0;
}

namespace {

void send_up(t30_channel& ch, const std::vector<u8>& octets, bool last) {
  const size_t room = om_os_get_buffer_room();
  size_t pos = 0;
  do {
    const size_t n = std::min(room, octets.size() - pos);
    const bool final_piece = last && pos + n >= octets.size();
    if (n == 0 && !final_piece) break;
    if (msg_t* m = new_data_msg(ch, ch.user, T30_DA_IN, {octets.data() + pos, n}, final_piece ? 1 : 0)) Send_msg(m);
    pos += n;
  } while (pos < octets.size());
}

// The check ended with a status that stops the channel.
bool check_status(t30_channel& ch) {
  if (ch.rx_check->status() == t30_rx_status::ok) return false;
  ch.rx_page_active = false;
  t30_stop(ch, t30_protocol_cause(ch.rx_check->status() == t30_rx_status::too_many_lines ? W2LINES : W2BITS));
  return true;
}

}  // namespace

void t30_page_rx_data(t30_channel& ch, msg_t* m) {
  if (t30_ecm_active(ch)) {
    t30_ecm_rx_data(ch, m);
    return;
  }
  if (!ch.rx_page_active || !ch.rx_check) return;
  std::vector<u8> octets = data_octets(m);
  if (octets.empty() && !m->p_buffer && m->data_size > 2) {
    const u8* p = Msg_inline_data(m);
    octets.assign(p, p + m->data_size);
  }
  fax_bit__copy_reversed(octets.data(), octets.data(), static_cast<u32>(octets.size()));
  ch.rx_check->feed(octets);
  const std::vector<u8> up = ch.rx_check->take();
  if (!up.empty()) send_up(ch, up, false);
  check_status(ch);
}

void t30_page_rx_end(t30_channel& ch) {
  if (!ch.rx_page_active || !ch.rx_check) return;
  ch.rx_check->end_of_data();
  ch.rx_page_active = false;
  send_up(ch, ch.rx_check->take(), true);
  if (check_status(ch)) return;
  ch.rx_good_lines = ch.rx_check->good_lines();
  ch.rx_bad_lines = ch.rx_check->bad_lines();
  const t30_page_end end = t30_page__end(ch.rx_check->status(), ch.rx_good_lines, ch.rx_bad_lines,
                                         ch.rx_check->longest_run(), ch.empty_pages);
  switch (end.action) {
    case t30_page_end::stop: t30_stop(ch, end.cause); return;
    case t30_page_end::wait_again: ch.page_finished = false; return;
    case t30_page_end::respond:
      ch.page_verdict = end.response;
      ch.page_finished = true;
      return;
  }
}

// ---------------------------------------------------------------------------
// Message handling.

namespace {

void answer_config(msg_t* m, u8 result, u8 cause) {
  // The request is answered in place.
  u8 body[3] = {result, cause, result == OM_OS_OK ? Msg_data(m)[2] : m->from};
  if (Msg_data_size(m) >= 3) {
    std::vector<u8> whole(Msg_data(m), Msg_data(m) + Msg_data_size(m));
    std::memcpy(whole.data(), body, 3);
    const size_t n = std::min<size_t>(whole.size(), om_os_get_msg_room());
    Msg_set_inline_body(m, whole.data(), static_cast<u8>(n));
  } else {
    Msg_set_inline_body(m, body, 3);
  }
  std::swap(m->from, m->to);
  m->from = ENT_T30;
  m->code = MT30_CONFIG_CO;
  Send_msg(m);
  g_current_kept = true;
}

void handle_config(msg_t* m) {
  const u8* d = Msg_data(m);
  const u16 size = Msg_data_size(m);
  if (size < 8) {
    answer_config(m, OM_OS_NOK, 'L');
    return;
  }
  u16 count = get_le16(d + 3);
  if (count == 0) count = 1;
  if (count > 1) {
    answer_config(m, OM_OS_NOK, 'L');
    return;
  }
  const bool created = !g_ent.configured;
  if (created) {
    if (om_os_get_msg_size() < 68) {
      answer_config(m, OM_OS_NOK, 'm');
      return;
    }
    u16 slots = get_le16(d + 6);
    if (slots == 0) slots = kDefaultSlots;
    g_ent.channels.clear();
    g_ent.channels.resize(slots);
    g_ent.configurer = m->from;
    g_ent.configured = true;
  }
  u16 number = 0;
  u8 lower = ENT_NIL, cfg = 0;
  if (d[5] == 1) {
    if (size < 12) {
      if (created) t30_release_all();
      answer_config(m, OM_OS_NOK, 'L');
      return;
    }
    number = get_le16(d + 8);
    lower = d[10] ? d[10] : ENT_NIL;
    cfg = d[11];
  }
  u8 cause = 0;
  if (number >= g_ent.channels.size()) cause = 'x';
  else if (g_ent.channels[number]) cause = 'w';
  if (cause) {
    if (created) t30_release_all();
    answer_config(m, OM_OS_NOK, cause);
    return;
  }
  auto ch = std::make_unique<t30_channel>();
  ch->number = number;
  ch->lower = lower;
  ch->config_byte = cfg;
  g_ent.channels[number] = std::move(ch);
  answer_config(m, OM_OS_OK, 0);
}

void handle_release(msg_t* m) {
  if (t30_channel* ch = find_channel(m->conn_id)) {
    if (ch->active) {
      request_stop(*ch, kCauseResetConfig, false);
      complete_stop(*ch, kCauseResetConfig);
    }
    g_ent.channels[m->conn_id].reset();
  }
  const u8 body[1] = {OM_OS_OK};
  Msg_set_inline_body(m, body, 1);
  std::swap(m->from, m->to);
  m->from = ENT_T30;
  m->code = MT30_RELEASE_CO;
  Send_msg(m);
  g_current_kept = true;
}

void start_call(u16 number, msg_t* m) {
  const u8* d = Msg_data(m);
  const u16 size = Msg_data_size(m);
  // The record starts every call zeroed.
  auto fresh = std::make_unique<t30_channel>();
  fresh->number = number;
  fresh->lower = g_ent.channels[number]->lower;
  fresh->config_byte = g_ent.channels[number]->config_byte;
  g_ent.channels[number] = std::move(fresh);
  t30_channel& ch = *g_ent.channels[number];
  ch.user = m->from;
  ch.nai = m->nai;
  ch.conn_id = m->conn_id;
  ch.sapi = m->sapi;
  ch.role = size >= 1 ? d[0] : 0;
  if (size >= 9) {
    ch.v34_allowed = get_le16(d + 4) != 0;
    ch.max_speed = get_le16(d + 7);
  }
  // Over T.38 there is no V.34: the T.38 entity never answers its
  // activation. The speed then tops out at 14400 bit/s.
  if (ch.lower == ENT_T38) {
    ch.v34_allowed = false;
    if (ch.max_speed == 0 || ch.max_speed > 14400) ch.max_speed = 14400;
  }
  if (ch.max_speed != 0 && ch.max_speed < 2400) ch.max_speed = 2400;
  ch.local = t30_cap__defaults();
  ch.active = true;
  if (!alloc_timers(ch)) {
    om_os_trap(kTrapTimerAlloc);
    free_timers(ch);
    ch.active = false;
    return;
  }
  t30_enter(ch, t30_m0::idle);
  // The modem layer's answer is awaited under T1.
  t30_timer_start(ch, TI_T1X);
  const u8 body[2] = {ch.role, ch.lower};
  if (msg_t* out = new_msg(ch, ENT_FM, FM_CONN_RQ, body, ch.sapi)) Send_msg(out);
}

void fm_connected(t30_channel& ch) {
  t30_timer_stop(ch, TI_T1X);
  ch.rx = {};
  ch.tx = {};
  if (ch.max_speed != 0 && ch.max_speed < 9600) ch.local.modulation &= 0x1106;
  else if (ch.max_speed != 0 && ch.max_speed < 14400) ch.local.modulation &= 0x131E;
  ch.cmd_modulation = T30_MOD_V21_CMD;
  t30_ecm_call_start(ch);
  t30_send_user(ch, T30_CONN_CO);
  const bool answering = ch.role == 1;
  if (ch.v34_allowed) {
    if (answering) {
      t30_send_cap_area(ch, T30_WhatToDo_IN, ch.local, T30_LOCAL_SELECTION);
      t30_timer_start(ch, TI_TWTD);
      t30_enter(ch, t30_m0::v34_answerer);
    } else {
      t30_send_v34_activate(ch, false);
      t30_enter(ch, t30_m0::v34_caller);
    }
    // The lower entity's answer is awaited under T1.
    t30_timer_start(ch, TI_T1X);
    return;
  }
  if (answering) {
    t30_enter(ch, t30_m2::wait_user);
    t30_send_cap_area(ch, T30_WhatToDo_IN, ch.local, T30_LOCAL_SELECTION);
    t30_timer_start(ch, TI_T1X);
    t30_timer_start(ch, TI_TWTD);
  } else {
    t30_start_phase_b_caller(ch);
  }
}

void queue_user_data(t30_channel& ch, msg_t* m) {
  ch.tx_queue.push_back(m);
  g_current_kept = true;
  if (!ch.user_busy_sent && ch.tx_queue.size() >= 4) {
    ch.user_busy_sent = true;
    t30_send_user(ch, T30_BUSY_IN);
  }
  t30_page_tx_turn(ch);
}

void timer_expiry(t30_channel& ch, msg_t* m) {
  const u16 id = Timer_expiry_id(m);
  const u8 slot = static_cast<u8>(id >> 8);
  if (slot >= T30_TIMER_COUNT) return;
  t30_timer& t = ch.timers[slot];
  // A stale expiry (stopped or restarted slot) is ignored, T1 included.
  if (!t.running || t.seq != static_cast<u8>(id) || t.code != m->code) return;
  t.running = 0;
  switch (slot) {
    case TI_XRESTART: t30_page_tx_turn(ch); return;
    case TI_RXSUSP:
    case TI_T3: return;
    default: ch.event = t30_timer_table[slot].code;
  }
}

// FM_CONTROL_CO: the result kind gives the internal event.
void control_confirm(t30_channel& ch, msg_t* m) {
  switch (t30_param(m, 0)) {
    case 'a': ch.event = EV_FM_A; break;
    case 'b': ch.event = EV_FM_B; break;
    case 'c': ch.event = EV_FM_C; break;
    case 'd': ch.event = EV_FM_D; break;
    case 'e': ch.event = EV_FM_E; break;
    case 'f': ch.event = EV_FRAMES; break;
    case 'g': t30_page_tx_turn(ch); break;
    default: break;
  }
}

void from_user(t30_channel& ch, msg_t* m) {
  switch (m->code) {
    case T30_DISC_RQ: t30_stop(ch, kCauseUserDisc); break;
    case T30_DA_RQ: queue_user_data(ch, m); break;
    case T30_END_PAGE_RQ: ch.event = EV_END_PAGE_RQ; break;
    case T30_END_PAGE_RS: ch.event = EV_END_PAGE_RS; break;
    case T30_WhatToDo_RS: ch.event = EV_WTD_RS; break;
    case T30_SETPARM_RQ:
      if (m->p_buffer) {
        const std::vector<u8> data = data_octets(m);
        (void)t30_setparm(ch.params, data_param(m), data);
      }
      break;
    case T30_BUSY_RQ: ch.user_hold = true; break;
    case T30_CLR_BUSY_RQ:
      ch.user_hold = false;
      t30_ecm_user_clear_busy(ch);
      break;
    case T30_SYNC_RQ:
      m->from = ENT_T30;
      m->to = ENT_FM;
      Send_msg(m);
      g_current_kept = true;
      break;
    default: break;
  }
}

void from_modem(t30_channel& ch, msg_t* m) {
  switch (m->code) {
    case FM_CONN_IN: fm_connected(ch); break;
    case FM_DISC_IN: {
      const u16 cause = t30_param(m, 0);
      complete_stop(ch, static_cast<u16>(cause ? cause : (W_PROV | WXXXDCOK)));
      break;
    }
    case FM_CONTROL_CO: control_confirm(ch, m); break;
    case FM_DA_IN: t30_page_rx_data(ch, m); break;
    case FM_PROGRESS_IN: t30_send_user_words(ch, T30_PROGRESS_IN, {12, t30_param(m, 0), t30_param(m, 1)}); break;
    case FM_BUSY_IN: ch.fm_busy = true; break;
    case FM_CLR_BUSY_IN:
      ch.fm_busy = false;
      t30_page_tx_turn(ch);
      break;
    case T30_SYNC_CO:
      m->from = ENT_T30;
      m->to = ch.user;
      Send_msg(m);
      g_current_kept = true;
      break;
    default: break;
  }
}

void handle(msg_t* m) {
  if ((m->from == ENT_MT30 || m->from == ENT_CF) && m->code == MT30_CONFIG_RQ) {
    handle_config(m);
    return;
  }
  if ((m->from == ENT_MT30 || m->from == ENT_CF) && m->code == MT30_RELEASE_RQ) {
    handle_release(m);
    return;
  }
  if (m->from == ENT_SM) return;
  t30_channel* ch = find_channel(m->conn_id);
  if (!ch) return;
  if (!ch->active) {
    if (m->code == T30_CONN_RQ && m->from != ENT_FM && m->from != ENT_TI && m->from != ch->lower)
      start_call(m->conn_id, m);
    return;
  }
  ch->event = EV_NOTHING;
  if (m->from == ENT_TI) {
    timer_expiry(*ch, m);
  } else if (m->from == ENT_FM) {
    from_modem(*ch, m);
  } else if (m->from == ENT_MT30) {
    if (m->code == MT30_DISC_RQ) t30_stop(*ch, t30_param(m, 0));
  } else if (m->from == ch->lower && ch->lower != ENT_NIL) {
    if (m->code == T30_V34_ACT_CO) ch->event = EV_LOWER_A;
    if (m->code == T30_V34_NOT_CO) ch->event = EV_LOWER_B;
  } else if (m->from == ch->user) {
    from_user(*ch, m);
  }
  // While a stop waits for the modem layer, the machines do not run.
  if (ch->active && !ch->stopping) t30_run_machine(*ch);
}

}  // namespace

void t30_entity_handler(msg_t* m) {
  g_current = m;
  g_current_kept = false;
  handle(m);
  if (!g_current_kept) Free_msg(m);
  g_current = nullptr;
}

void t30_release_all() {
  g_ent.channels.clear();
  g_ent.configured = false;
  g_ent.configurer = 0;
}

void t30_entity_init() { om_os_set_entity_stop(ENT_T30, t30_release_all); }
