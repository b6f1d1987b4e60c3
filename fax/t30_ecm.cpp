// T.30 error-correction mode: partial pages of up to 256 frames with the
// PPS/PPR/CTC/EOR/RR/RNR exchange, machine 4 (transmitting side) and machine
// 5 (receiving side).
//
// The receiving side hands a block to the user as soon as it is complete, so
// one frame-index area serves; the user's hold (T30_BUSY_RQ) still makes it
// answer RNR until the hold ends.
#include <algorithm>
#include <array>
#include <cstring>
#include <vector>

#include "common/byte_order.h"
#include "fax/fax_msg.h"
#include "fax/fax_bit.h"
#include "fax/t30_channel.h"
#include "runtime/entity.h"

namespace {

constexpr u16 kLocalOk = WT3C | WLOCDCOK;
constexpr u16 kFramesPerTurn = 5;
constexpr u16 kMaxFrames = 256;
constexpr u16 kUnknownCount = 32767;
constexpr size_t kBlockMemory = 64 * 1024;
constexpr u8 kFcd = 0x60;  // FCF of a data frame (table notation)
constexpr u8 kRcp = 0x61;  // FCF of the end-of-block frame

u8 rev(u8 v) { return fax_bit_tables.reverse[v]; }

// Post-message FCF carried in FIF octet 1 of PPS and EOR (X bit set).
u8 pm_fif(u8 pps_class) {
  switch (pps_class) {
    case T30C_PPS_MPS: return 0xF2;
    case T30C_PPS_PRI_MPS: return 0xFA;
    case T30C_PPS_EOM: return 0xF1;
    case T30C_PPS_PRI_EOM: return 0xF9;
    case T30C_PPS_EOP: return 0xF4;
    case T30C_PPS_PRI_EOP: return 0xFC;
    default: return 0x00;
  }
}

}  // namespace

struct t30_ecm_state {
  u16 frame_size = 256;
  // Block memory: 256 slots of the frame size, on a free list.
  std::vector<u8> memory = std::vector<u8>(kBlockMemory);
  std::vector<u16> free_slots;
  struct entry {
    bool complete = false;
    bool present = false;
    u16 length = 0;
    u16 slot = 0;
  };

  // Transmitting side.
  std::vector<u8> pending;  // the user's data not yet in a frame
  std::array<entry, kMaxFrames> tx{};
  std::array<u8, kMaxFrames> tx_flags{};  // 0x02: to be (re)sent
  u16 tx_frames = 0;                      // frames of the block so far
  bool tx_block_closed = false;           // the block's frame count is known
  bool tx_page_last_block = false;
  u16 tx_cursor = 0;  // next frame to consider
  u8 rcp_sent = 0;
  bool tx_sending = false;
  bool eop_added = false;
  u8 pps_class = T30C_PPS_NULL;
  u8 page = 0;
  u8 block = 0;
  u16 ppr_count = 0;
  bool t5_started = false;

  // Receiving side.
  std::array<entry, kMaxFrames> rx{};
  u16 rx_stored = 0;
  u16 rx_count = kUnknownCount;
  bool rx_has_data = false;
  u8 last_pps[4] = {0xFF, 0xFF, 0xFF, 0xFF};  // class, page, block, count
  u8 last_response = 0;
  bool pending_final = false;  // a final PPS/EOR waits for the hand-on
  u8 pending_class = 0;

  void reset_slots() {
    free_slots.clear();
    for (u16 i = kMaxFrames; i-- > 0;) free_slots.push_back(i);
  }
  u8* slot(u16 i) { return memory.data() + static_cast<size_t>(i) * frame_size; }
  bool take_slot(u16& out) {
    if (free_slots.empty()) return false;
    out = free_slots.back();
    free_slots.pop_back();
    return true;
  }
  void release(entry& e) {
    if (e.present) free_slots.push_back(e.slot);
    e = {};
  }
};

void t30_ecm_deleter::operator()(t30_ecm_state* p) const { delete p; }

bool t30_ecm_active(const t30_channel& ch) { return t30_cap__ecm_chosen(ch.result); }

void t30_ecm_call_start(t30_channel& ch) { ch.ecm.reset(); }

namespace {

t30_ecm_state& ecm_for(t30_channel& ch) {
  if (!ch.ecm) {
    ch.ecm.reset(new t30_ecm_state);
    ch.ecm->frame_size = ch.result.ecm_frame_size == 1 ? 64 : 256;
    ch.ecm->reset_slots();
  }
  return *ch.ecm;
}

void send_frame_and_wait(t30_channel& ch, u8 cls, std::span<const u8> fif = {}) {
  t30_build_single(ch, cls, fif);
  t30_fm_control(ch, 'd', ch.cmd_modulation, true);
  t30_fm_control(ch, 'h', ch.cmd_modulation);
}

// ---------------------------------------------------------------------------
// Transmitting side.

void tx_clear_block(t30_ecm_state& e) {
  for (auto& x : e.tx) e.release(x);
  e.tx_flags.fill(0);
  e.tx_frames = 0;
  e.tx_block_closed = false;
  e.tx_page_last_block = false;
  e.tx_cursor = 0;
  e.rcp_sent = 0;
  e.ppr_count = 0;
}

// Block start: the modem layer is asked for page transmission and the
// frames marked go out.
void tx_block_start(t30_channel& ch) {
  t30_ecm_state& e = *ch.ecm;
  e.tx_cursor = 0;
  e.rcp_sent = 0;
  e.tx_sending = true;
  t30_enter(ch, t30_m4::sending_block);
  t30_fm_control(ch, 'a', ch.modulation);
  t30_ecm_tx_turn(ch);
}

// Moves the user's queued data into frames of the block.
void tx_fill(t30_channel& ch) {
  t30_ecm_state& e = *ch.ecm;
  while (!ch.tx_queue.empty()) {
    msg_t* m = ch.tx_queue.front();
    ch.tx_queue.pop_front();
    for (const buffer_t* b = m->p_buffer; b; b = b->next)
      e.pending.insert(e.pending.end(), Buffer_data(b), Buffer_data(b) + b->data_size);
    const bool end = m->data_size >= 2 && get_le16(Msg_inline_data(m)) == 1;
    Free_msg(m);
    if (end) ch.user_data_ended = true;
    if (ch.user_busy_sent && ch.tx_queue.size() <= 1) {
      ch.user_busy_sent = false;
      t30_send_user(ch, T30_CLR_BUSY_IN);
    }
  }
  if (ch.user_data_ended && !e.eop_added) {
    const std::vector<u8> tail = t30_page__end_pattern(ch.result.coding, false);
    e.pending.insert(e.pending.end(), tail.begin(), tail.end());
    e.eop_added = true;
  }
  while (!e.tx_block_closed && e.tx_frames < kMaxFrames) {
    const bool last_piece = ch.user_data_ended && e.pending.size() <= e.frame_size;
    if (e.pending.size() < e.frame_size && !last_piece) break;
    if (e.pending.empty() && last_piece) {
      e.tx_block_closed = true;
      e.tx_page_last_block = true;
      break;
    }
    const u16 n = static_cast<u16>(std::min<size_t>(e.frame_size, e.pending.size()));
    auto& x = e.tx[e.tx_frames];
    if (!e.take_slot(x.slot)) break;
    x.present = true;
    x.length = n;
    std::memcpy(e.slot(x.slot), e.pending.data(), n);
    e.pending.erase(e.pending.begin(), e.pending.begin() + n);
    e.tx_flags[e.tx_frames] = 0x02;
    ++e.tx_frames;
    if (last_piece && e.pending.empty()) {
      e.tx_block_closed = true;
      e.tx_page_last_block = true;
    }
  }
  if (e.tx_frames == kMaxFrames) e.tx_block_closed = true;
}

}  // namespace

void t30_ecm_tx_start_page(t30_channel& ch) {
  t30_ecm_state& e = ecm_for(ch);
  tx_clear_block(e);
  e.pending.clear();
  e.eop_added = false;
  e.block = 0;
  ch.user_data_ended = false;
  ch.data_ended = false;
  ch.tx_page_active = true;
  tx_block_start(ch);
}

void t30_ecm_tx_turn(t30_channel& ch) {
  if (!ch.ecm || !ch.tx_page_active) return;
  t30_ecm_state& e = *ch.ecm;
  tx_fill(ch);
  if (!e.tx_sending || ch.fm_busy) return;
  u16 sent = 0;
  while (sent < kFramesPerTurn && e.tx_cursor < e.tx_frames) {
    const u16 n = e.tx_cursor++;
    if (!(e.tx_flags[n] & 0x02)) continue;
    e.tx_flags[n] &= static_cast<u8>(~0x02);
    const auto& x = e.tx[n];
    std::vector<u8> f(4 + x.length);
    f[0] = 0xFF;
    f[1] = 0x03;
    f[2] = rev(kFcd);
    f[3] = static_cast<u8>(n);
    fax_bit__copy_reversed(f.data() + 4, e.slot(x.slot), x.length);
    t30_fm_data(ch, f, 0);
    ++sent;
  }
  if (e.tx_cursor >= e.tx_frames && e.tx_block_closed) {
    while (sent < kFramesPerTurn && e.rcp_sent < 3) {
      const u8 rcp[3] = {0xFF, 0x03, rev(kRcp)};
      ++e.rcp_sent;
      t30_fm_data(ch, rcp, e.rcp_sent == 3 ? 1 : 0);
      ++sent;
    }
    if (e.rcp_sent == 3) {
      e.tx_sending = false;
      return;
    }
  }
  if (sent == kFramesPerTurn) t30_timer_start(ch, TI_XRESTART);
}

void t30_ecm_send_pps(t30_channel& ch) {
  t30_ecm_state& e = *ch.ecm;
  e.pps_class = ch.pm_requested && e.tx_page_last_block ? static_cast<u8>(ch.pm_class + 21) : u8{T30C_PPS_NULL};
  const u8 fif[4] = {pm_fif(e.pps_class), rev(e.page), rev(e.block),
                     rev(static_cast<u8>(e.tx_frames ? e.tx_frames - 1 : 0))};
  ch.rr_count = 0;
  e.t5_started = false;
  ch.pm_sends = 1;
  send_frame_and_wait(ch, T30C_PPS_NULL, fif);
  ch.last_sent_class = e.pps_class;
  t30_enter(ch, t30_m4::pps_sent);
}

namespace {

void send_eor(t30_channel& ch) {
  t30_ecm_state& e = *ch.ecm;
  const u8 eor_class = e.pps_class == T30C_PPS_NULL ? u8{T30C_EOR_NULL} : static_cast<u8>(e.pps_class + 6);
  const u8 fif[1] = {pm_fif(e.pps_class)};
  ch.rr_count = 0;
  ch.pm_sends = 1;
  send_frame_and_wait(ch, T30C_EOR_NULL, fif);
  ch.last_sent_class = eor_class;
  t30_set_state(ch, t30_m4::eor_sent);
}

void send_ctc(t30_channel& ch) {
  const u16 data_mod = static_cast<u16>((ch.modulation & ~T30_MOD_HDLC) | T30_MOD_DATA);
  const auto code = t30_dcs_rate_code(data_mod);
  const u8 fif[2] = {ch.dcs_fif[0], static_cast<u8>((ch.dcs_fif[1] & ~0x3C) | (code ? *code : 0))};
  ch.rr_count = 0;
  ch.pm_sends = 1;
  send_frame_and_wait(ch, T30C_CTC, fif);
  t30_set_state(ch, t30_m4::ctc_sent);
}

// The next block of the page, or what follows the page.
void after_block(t30_channel& ch, bool rtn) {
  t30_ecm_state& e = *ch.ecm;
  t30_timer_stop(ch, TI_T5);
  if (e.pps_class == T30C_PPS_NULL) {
    tx_clear_block(e);
    ++e.block;
    tx_block_start(ch);
    return;
  }
  t30_report_end_page_co(ch, rtn ? T30_RSP_RTN : T30_RSP_MCF);
  ++ch.pages;
  ++e.page;
  ch.tx_page_active = false;
  switch (e.pps_class) {
    case T30C_PPS_MPS:
    case T30C_PPS_PRI_MPS: t30_next_page_tx(ch); return;
    case T30C_PPS_EOM:
    case T30C_PPS_PRI_EOM: t30_start_phase_b_caller(ch); return;
    default:
      ch.eop_completed = true;
      if (rtn) t30_dcn_and_stop(ch, t30_protocol_cause(WECERR));
      else t30_dcn_and_stop(ch, kLocalOk);
      return;
  }
}

// EOB: the modem layer has sent the block.
void a_eob(t30_channel& ch, u16) {
  if (t30_param(t30_current_msg(), 1) != 0) {
    t30_stop(ch, t30_protocol_cause(WUNEXP));
    return;
  }
  t30_ecm_state& e = *ch.ecm;
  if (!e.tx_page_last_block) {
    t30_ecm_send_pps(ch);
    return;
  }
  ch.data_ended = true;
  if (!ch.pm_requested) {
    t30_timer_start(ch, TI_TXNEXT);
    return;
  }
  t30_ecm_send_pps(ch);
}

void a_mcf(t30_channel& ch, u16) { after_block(ch, false); }

void a_err(t30_channel& ch, u16) { after_block(ch, true); }

void a_ppr(t30_channel& ch, u16) {
  t30_ecm_state& e = *ch.ecm;
  t30_timer_stop(ch, TI_T5);
  ch.retrain = true;
  const auto f = ch.rx.frame(ch.rx.count - 1);
  u16 marked = 0;
  for (u16 n = 0; n < e.tx_frames; ++n) {
    const u8 octet = f[3 + n / 8];
    if (octet & (0x80 >> (n % 8))) {
      e.tx_flags[n] |= 0x02;
      ++marked;
    }
  }
  if (marked == 0) {
    t30_stop(ch, t30_protocol_cause(WAUXFR));
    return;
  }
  if (++e.ppr_count < 4) {
    tx_block_start(ch);
    return;
  }
  const auto next = ch.fallback.choose(ch.result.modulation, false, true);
  if (next) {
    ch.modulation = *next;
    send_ctc(ch);
  } else {
    send_eor(ch);
  }
}

void a_ctr(t30_channel& ch, u16) {
  t30_timer_stop(ch, TI_T5);
  ch.ecm->ppr_count = 0;
  tx_block_start(ch);
}

void a_rnr(t30_channel& ch, u16) {
  t30_ecm_state& e = *ch.ecm;
  if (!e.t5_started) {
    e.t5_started = true;
    t30_timer_start(ch, TI_T5);
  }
  ++ch.rr_count;
  send_frame_and_wait(ch, T30C_RR);
}

// RPT of the ECM commands; RR has its own count.
void a_rpt(t30_channel& ch, u16) {
  if (ch.last_sent_class == T30C_RR) {
    if (ch.rr_count >= 3) {
      t30_dcn_and_stop(ch, t30_protocol_cause(WNOMCFR));
      return;
    }
    ++ch.rr_count;
    t30_fm_control(ch, 'd', ch.cmd_modulation, true);
    t30_fm_control(ch, 'h', ch.cmd_modulation);
    return;
  }
  t30_act_rpt(ch, 0);
}

// ---------------------------------------------------------------------------
// Receiving side.

bool handed_on(const t30_channel& ch) { return !ch.user_hold; }

// The block's frames go up in frame-number order; the slots are freed.
void deliver_block(t30_channel& ch, bool page_end) {
  t30_ecm_state& e = *ch.ecm;
  std::vector<u8> data;
  const u16 count = e.rx_count == kUnknownCount ? 0 : e.rx_count;
  for (u16 n = 0; n < count; ++n) {
    auto& x = e.rx[n];
    if (x.present) data.insert(data.end(), e.slot(x.slot), e.slot(x.slot) + x.length);
  }
  for (auto& x : e.rx) e.release(x);
  e.rx_stored = 0;
  e.rx_count = kUnknownCount;
  const size_t room = om_os_get_buffer_room();
  size_t pos = 0;
  do {
    const size_t n = std::min(room, data.size() - pos);
    const bool last = page_end && pos + n >= data.size();
    msg_t* m = Alloc_msg();
    if (!m) return;
    Msg_set_head(m, {ENT_T30, ch.user, T30_DA_IN, ch.nai, ch.sapi, ch.number});
    m->data_size = 2;
    put_le16(Msg_inline_data(m), last ? 1 : 0);
    if (n) {
      if (buffer_t* b = Store_data_in_buffers(data.data() + pos, static_cast<u32>(n), nullptr)) Msg_attach_chain(m, b);
    }
    Send_msg(m);
    pos += n;
  } while (pos < data.size());
}

void respond_and_receive(t30_channel& ch, u8 cls, std::span<const u8> fif = {}) {
  ch.ecm->last_response = cls;
  t30_build_single(ch, cls, fif);
  t30_fm_control(ch, 'd', ch.cmd_modulation, true);
  t30_fm_control(ch, 'f', ch.modulation);
  t30_set_state(ch, t30_m5::wait_data);
}

// The final PPS or EOR of a page: the post-message exchange of the main
// machine takes over.
void final_command(t30_channel& ch, bool eor) {
  t30_ecm_state& e = *ch.ecm;
  deliver_block(ch, true);
  ch.cmd_was_eor = eor;
  ch.page_verdict = eor ? t30_page_response::rtn : t30_page_response::mcf;
  e.pending_final = false;
  e.last_response = eor ? T30C_ERR : T30C_MCF;
  t30_set_state(ch, t30_m5::response_sent);
  t30_act_pmc(ch, 0);
}

void a_pps(t30_channel& ch, u16) {
  t30_ecm_state& e = *ch.ecm;
  const auto f = ch.rx.frame(ch.rx.count - 1);
  const u8 cls = t30_classify(ch.rx);
  const u8 page = rev(f[4]);
  const u8 block = rev(f[5]);
  const u16 count = static_cast<u16>(rev(f[6]) + 1);
  if (e.rx_count == kUnknownCount) e.rx_count = count;
  // Repeat detection.
  const u8 key[4] = {cls, page, block, static_cast<u8>(count - 1)};
  const bool repeat =
      !e.rx_has_data && std::memcmp(key, e.last_pps, 4) == 0 && e.last_response != T30C_CTR && e.last_response != 0;
  std::memcpy(e.last_pps, key, 4);
  t30_timer_start(ch, TI_TANSW);
  if (repeat && e.last_response != T30C_MCF) {
    respond_and_receive(ch, e.last_response);
    e.rx_has_data = false;
    return;
  }
  e.rx_has_data = false;
  // Missing frames: no data, or short but not the last.
  std::array<u8, 32> map{};
  u16 missing = 0;
  for (u16 n = 0; n < e.rx_count && n < kMaxFrames; ++n) {
    auto& x = e.rx[n];
    if (x.present && !x.complete && n + 1 != e.rx_count) e.release(x);
    if (!x.present) {
      map[n / 8] |= static_cast<u8>(0x80 >> (n % 8));
      ++missing;
    }
  }
  if (missing) {
    respond_and_receive(ch, T30C_PPR, map);
    return;
  }
  if (!handed_on(ch)) {
    e.pending_final = true;
    e.pending_class = cls;
    ch.ecm->last_response = T30C_RNR;
    t30_build_single(ch, T30C_RNR);
    t30_fm_control(ch, 'd', ch.cmd_modulation, true);
    t30_fm_control(ch, 'e', ch.cmd_modulation);
    t30_timer_start(ch, TI_BUSYCYC);
    t30_set_state(ch, t30_m5::rnr_sent);
    return;
  }
  if (cls == T30C_PPS_NULL) {
    deliver_block(ch, false);
    respond_and_receive(ch, T30C_MCF);
    return;
  }
  final_command(ch, false);
}

void a_eor(t30_channel& ch, u16) {
  t30_ecm_state& e = *ch.ecm;
  const u8 cls = t30_classify(ch.rx);
  t30_timer_start(ch, TI_TANSW);
  if (cls == T30C_CTC) {
    if (t30_in(ch, t30_m5::response_sent)) {
      t30_stop(ch, t30_protocol_cause(WAUXFR));
      return;
    }
    const auto f = ch.rx.frame(ch.rx.count - 1);
    const u16 m = t30_dcs_rate_modulation(static_cast<u8>((f[4] & 0x3C) >> 2));
    ch.modulation = static_cast<u16>((m & ~T30_MOD_DATA) | T30_MOD_HDLC);
    respond_and_receive(ch, T30C_CTR);
    return;
  }
  if (cls == T30C_EOR_NULL) {
    deliver_block(ch, false);
    respond_and_receive(ch, T30C_ERR);
    return;
  }
  (void)e;
  final_command(ch, true);
}

// AGAIN: the last response once more, and keep receiving.
void a_again(t30_channel& ch, u16) {
  t30_ecm_state& e = *ch.ecm;
  if (e.last_response == 0) {
    t30_stop(ch, t30_protocol_cause(WUNEXP));
    return;
  }
  if (t30_in(ch, t30_m5::response_sent)) {
    // The final response is the main machine's: it goes out with RESP.
    ch.resp_flags |= RF_CMD_RECEIVED | RF_WINDOW_OPEN;
    t30_resp(ch);
    return;
  }
  respond_and_receive(ch, e.last_response);
}

// CHECK: while RNR was sent.
void a_check(t30_channel& ch, u16) {
  t30_ecm_state& e = *ch.ecm;
  const u8 cls = t30_classify(ch.rx);
  if (cls == T30C_CTC || (e.pending_final && cls != e.pending_class)) {
    t30_stop(ch, t30_protocol_cause(WAUXFR));
    return;
  }
  if (!handed_on(ch)) {
    t30_build_single(ch, T30C_RNR);
    t30_fm_control(ch, 'd', ch.cmd_modulation, true);
    t30_fm_control(ch, 'e', ch.cmd_modulation);
    return;
  }
  a_pps(ch, 0);
}

// RR while RNR was sent.
void a_rr(t30_channel& ch, u16) {
  t30_ecm_state& e = *ch.ecm;
  t30_timer_start(ch, TI_TANSW);
  t30_timer_start(ch, TI_BUSYCYC);
  if (!handed_on(ch)) {
    t30_build_single(ch, T30C_RNR);
    t30_fm_control(ch, 'd', ch.cmd_modulation, true);
    t30_fm_control(ch, 'e', ch.cmd_modulation);
    return;
  }
  t30_timer_stop(ch, TI_BUSYCYC);
  if (e.pending_final) {
    if (e.pending_class == T30C_PPS_NULL) {
      e.pending_final = false;
      deliver_block(ch, false);
      respond_and_receive(ch, T30C_MCF);
      return;
    }
    final_command(ch, e.pending_class >= T30C_EOR_MPS);
  }
}

// BUSY0 / BUSY2: the busy cycle.
void a_busy(t30_channel& ch, u16) {
  if (!handed_on(ch)) {
    t30_timer_start(ch, TI_BUSYCYC);
    return;
  }
  a_rr(ch, 0);
}

// DSTART: page data of the next block start.
void a_dstart(t30_channel& ch, u16) {
  const u16 what = t30_param(t30_current_msg(), 1);
  if (what == 1) {
    ch.ecm->rx_has_data = false;
    t30_set_state(ch, t30_m5::receiving_block);
    return;
  }
  if (what != 2) t30_stop(ch, t30_protocol_cause(WUNEXP));
}

}  // namespace

void t30_ecm_rx_start_page(t30_channel& ch) {
  t30_ecm_state& e = ecm_for(ch);
  for (auto& x : e.rx) e.release(x);
  e.rx_stored = 0;
  e.rx_count = kUnknownCount;
  e.rx_has_data = false;
  e.pending_final = false;
  e.last_response = 0;
  std::memset(e.last_pps, 0xFF, sizeof e.last_pps);
  ch.user_hold = false;
  ch.cmd_was_eor = false;
  t30_enter(ch, t30_m5::receiving_block);
}

void t30_ecm_rx_data(t30_channel& ch, msg_t* m) {
  if (!ch.ecm || ch.machine != T30_ECM_RX) return;
  t30_ecm_state& e = *ch.ecm;
  std::vector<u8> d;
  for (const buffer_t* b = m->p_buffer; b; b = b->next)
    d.insert(d.end(), Buffer_data(b), Buffer_data(b) + b->data_size);
  if (d.size() == 3 && d[0] == 0xFF && (d[1] & 0xEF) == 0x03 && (rev(d[2]) & 0x7F) == kRcp) {
    e.rx_has_data = true;
    return;
  }
  if (d.size() <= 4 || d[0] != 0xFF || (d[1] & 0xEF) != 0x03 || (rev(d[2]) & 0x7F) != kFcd) return;
  const size_t len = d.size() - 4;
  // A frame longer than the frame size is not stored.
  if (len > e.frame_size) return;
  e.rx_has_data = true;
  auto& x = e.rx[d[3]];
  if (x.present) return;  // a frame seen before keeps its first copy
  if (!e.take_slot(x.slot)) return;
  x.present = true;
  x.length = static_cast<u16>(len);
  x.complete = len == e.frame_size;
  ++e.rx_stored;
  fax_bit__copy_reversed(e.slot(x.slot), d.data() + 4, static_cast<u32>(len));
}

void t30_ecm_user_clear_busy(t30_channel& ch) {
  if (ch.ecm && t30_in(ch, t30_m5::rnr_sent)) a_rr(ch, 0);
}

u8 t30_ecm_response(const t30_channel& ch) { return ch.cmd_was_eor ? T30C_ERR : T30C_MCF; }

namespace {

constexpr t30_cell RPT{a_rpt, 0};
constexpr t30_cell RNR{a_rnr, 0};
constexpr t30_cell MCF{a_mcf, 0};
constexpr t30_cell PPR{a_ppr, 0};
constexpr t30_cell CTR{a_ctr, 0};
constexpr t30_cell ERR{a_err, 0};
constexpr t30_cell EOB{a_eob, 0};
constexpr t30_cell EPQ{t30_act_epq, 0};
constexpr t30_cell DCN11 = DCN_STOP(WNIF);
constexpr t30_cell T5{t30_act_dcn_stop, t30_protocol_cause(WECT5)};
constexpr t30_cell PPS{a_pps, 0};
constexpr t30_cell EOR{a_eor, 0};
constexpr t30_cell AGAIN{a_again, 0};
constexpr t30_cell CHECK{a_check, 0};
constexpr t30_cell RR{a_rr, 0};
constexpr t30_cell BUSY0{a_busy, 0};
constexpr t30_cell BUSY2{a_busy, 2};
constexpr t30_cell DSTART{a_dstart, 0};
constexpr t30_cell EPR{t30_act_epr, 0};
constexpr t30_cell PCD{t30_act_pcd, 0};
constexpr t30_cell RXP{t30_act_rxp, 0};
constexpr t30_cell WCLOSE{t30_act_wclose, 0};

// Machine 4, ECM transmit: 0 sending the block, 1 PPS sent, 2 CTC sent, 3
// EOR sent.
namespace m4 {
using S = t30_m4;
using E = t30_m4_ev;
constexpr t30_row<S, E> kRows[] = {
    {S::sending_block, E::fm_d, EOB, fsm::by_action},
    {S::sending_block, E::end_page_rq, EPQ, fsm::by_action},
    {S::sending_block, E::txnext, STOP(WTXNEXT), fsm::by_action},

    {S::pps_sent, E::fm_b, RPT, fsm::by_action},
    {S::pps_sent, E::fm_a, RPT, fsm::by_action},
    {S::pps_sent, E::invalid, RPT, fsm::by_action},
    {S::pps_sent, E::rnr, RNR, fsm::by_action},
    {S::pps_sent, E::mcf, MCF, fsm::by_action},
    {S::pps_sent, E::ppr, PPR, fsm::by_action},
    {S::pps_sent, E::ctr, DCN11, fsm::by_action},
    {S::pps_sent, E::err, DCN11, fsm::by_action},
    {S::pps_sent, E::end_page_rq, EPQ, fsm::by_action},
    {S::pps_sent, E::t5, T5, fsm::by_action},

    {S::ctc_sent, E::fm_b, RPT, fsm::by_action},
    {S::ctc_sent, E::fm_a, RPT, fsm::by_action},
    {S::ctc_sent, E::invalid, RPT, fsm::by_action},
    {S::ctc_sent, E::rnr, DCN11, fsm::by_action},
    {S::ctc_sent, E::mcf, DCN11, fsm::by_action},
    {S::ctc_sent, E::pip_pin, DCN11, fsm::by_action},
    {S::ctc_sent, E::ppr, DCN11, fsm::by_action},
    {S::ctc_sent, E::ctr, CTR, fsm::by_action},
    {S::ctc_sent, E::err, DCN11, fsm::by_action},

    {S::eor_sent, E::fm_b, RPT, fsm::by_action},
    {S::eor_sent, E::fm_a, RPT, fsm::by_action},
    {S::eor_sent, E::invalid, RPT, fsm::by_action},
    {S::eor_sent, E::rnr, RNR, fsm::by_action},
    {S::eor_sent, E::mcf, DCN11, fsm::by_action},
    {S::eor_sent, E::ppr, DCN11, fsm::by_action},
    {S::eor_sent, E::ctr, DCN11, fsm::by_action},
    {S::eor_sent, E::err, ERR, fsm::by_action},
};
}  // namespace m4

// Machine 5, ECM receive: 0 receiving the block, 1 response sent, 2 RNR
// sent, 3 CTR, ERR, PPR or MCF sent, waiting for data.
namespace m5 {
using S = t30_m5;
using E = t30_m5_ev;
constexpr t30_row<S, E> kRows[] = {
    {S::receiving_block, E::fm_a, RXP, fsm::by_action},
    {S::receiving_block, E::invalid_dcn, RXP, fsm::by_action},
    {S::receiving_block, E::dis_dtc_dcs_nss, STOP(WAUXFR), fsm::by_action},
    {S::receiving_block, E::pps, PPS, fsm::by_action},
    {S::receiving_block, E::ctc_eor, EOR, fsm::by_action},
    {S::receiving_block, E::rr, STOP(WAUXFR), fsm::by_action},
    {S::receiving_block, E::end_page_rs, EPR, fsm::by_action},
    {S::receiving_block, E::fm_e, PCD, fsm::by_action},
    {S::receiving_block, E::tansw, WCLOSE, fsm::by_action},
    {S::receiving_block, E::trst, STOP(WTRSTATUS), fsm::by_action},
    {S::receiving_block, E::busycyc, BUSY0, fsm::by_action},

    {S::response_sent, E::invalid_dcn, STOP(WEUXFR), fsm::by_action},
    {S::response_sent, E::dis_dtc_dcs_nss, STOP(WAUXFR), fsm::by_action},
    {S::response_sent, E::pps, AGAIN, fsm::by_action},
    {S::response_sent, E::ctc_eor, EOR, fsm::by_action},
    {S::response_sent, E::end_page_rs, EPR, fsm::by_action},
    {S::response_sent, E::tansw, WCLOSE, fsm::by_action},
    {S::response_sent, E::trst, STOP(WTRSTATUS), fsm::by_action},

    {S::rnr_sent, E::fm_a, STOP(WECNORRR), fsm::by_action},
    {S::rnr_sent, E::invalid_dcn, STOP(WEUXFR), fsm::by_action},
    {S::rnr_sent, E::dis_dtc_dcs_nss, STOP(WAUXFR), fsm::by_action},
    {S::rnr_sent, E::pps, CHECK, fsm::by_action},
    {S::rnr_sent, E::ctc_eor, CHECK, fsm::by_action},
    {S::rnr_sent, E::rr, RR, fsm::by_action},
    {S::rnr_sent, E::end_page_rs, EPR, fsm::by_action},
    {S::rnr_sent, E::tansw, WCLOSE, fsm::by_action},
    {S::rnr_sent, E::trst, STOP(WTRSTATUS), fsm::by_action},
    {S::rnr_sent, E::busycyc, BUSY2, fsm::by_action},

    {S::wait_data, E::fm_d, DSTART, fsm::by_action},
    {S::wait_data, E::fm_a, STOP(WUNXEVT), fsm::by_action},
    {S::wait_data, E::invalid_dcn, STOP(WEUXFR), fsm::by_action},
    {S::wait_data, E::dis_dtc_dcs_nss, STOP(WAUXFR), fsm::by_action},
    {S::wait_data, E::pps, AGAIN, fsm::by_action},
    {S::wait_data, E::ctc_eor, EOR, fsm::by_action},
    {S::wait_data, E::rr, STOP(WAUXFR), fsm::by_action},
};
}  // namespace m5

constexpr auto kTable4 = fsm::compile(m4::kRows, T30_UNEXPECTED);
constexpr auto kTable5 = fsm::compile(m5::kRows, T30_UNEXPECTED);
constexpr auto kPlain4 = fsm::plain(m4::kRows);
constexpr auto kPlain5 = fsm::plain(m5::kRows);

}  // namespace

const t30_machine t30_machine_4{"ecm transmit",
                                fsm::count_of<t30_m4>,
                                fsm::count_of<t30_m4_ev>,
                                t30_decode<t30_m4_ev>({{EV_FM_B, t30_m4_ev::fm_b},
                                                       {EV_FM_A, t30_m4_ev::fm_a},
                                                       {EV_FM_D, t30_m4_ev::fm_d},
                                                       {EV_END_PAGE_RQ, t30_m4_ev::end_page_rq},
                                                       {EV_TXNEXT, t30_m4_ev::txnext},
                                                       {EV_T5, t30_m4_ev::t5}}),
                                t30_classes<t30_m4_ev>({{T30C_NONE, t30_m4_ev::invalid},
                                                        {T30C_RNR, t30_m4_ev::rnr},
                                                        {T30C_MCF, t30_m4_ev::mcf},
                                                        {T30C_RTN, t30_m4_ev::pip_pin},
                                                        {T30C_RTP, t30_m4_ev::pip_pin},
                                                        {T30C_PIP, t30_m4_ev::pip_pin},
                                                        {T30C_PIN, t30_m4_ev::pip_pin},
                                                        {T30C_PPR, t30_m4_ev::ppr},
                                                        {T30C_CTR, t30_m4_ev::ctr},
                                                        {T30C_ERR, t30_m4_ev::err}}),
                                kTable4.cells.data(),
                                kPlain4};

const t30_machine t30_machine_5{
    "ecm receive",
    fsm::count_of<t30_m5>,
    fsm::count_of<t30_m5_ev>,
    t30_decode<t30_m5_ev>({{EV_FM_D, t30_m5_ev::fm_d},
                           {EV_FM_A, t30_m5_ev::fm_a},
                           {EV_END_PAGE_RS, t30_m5_ev::end_page_rs},
                           {EV_FM_E, t30_m5_ev::fm_e},
                           {EV_TANSW, t30_m5_ev::tansw},
                           {EV_TRST, t30_m5_ev::trst},
                           {EV_BUSYCYC, t30_m5_ev::busycyc}}),
    t30_classes<t30_m5_ev>({{T30C_NONE, t30_m5_ev::invalid_dcn},    {T30C_DCN, t30_m5_ev::invalid_dcn},
                            {T30C_DIS, t30_m5_ev::dis_dtc_dcs_nss}, {T30C_DTC, t30_m5_ev::dis_dtc_dcs_nss},
                            {T30C_DCS, t30_m5_ev::dis_dtc_dcs_nss}, {T30C_NSS, t30_m5_ev::dis_dtc_dcs_nss},
                            {T30C_PPS_NULL, t30_m5_ev::pps},        {T30C_PPS_MPS, t30_m5_ev::pps},
                            {T30C_PPS_PRI_MPS, t30_m5_ev::pps},     {T30C_PPS_EOM, t30_m5_ev::pps},
                            {T30C_PPS_PRI_EOM, t30_m5_ev::pps},     {T30C_PPS_EOP, t30_m5_ev::pps},
                            {T30C_PPS_PRI_EOP, t30_m5_ev::pps},     {T30C_CTC, t30_m5_ev::ctc_eor},
                            {T30C_EOR_NULL, t30_m5_ev::ctc_eor},    {T30C_EOR_MPS, t30_m5_ev::ctc_eor},
                            {T30C_EOR_PRI_MPS, t30_m5_ev::ctc_eor}, {T30C_EOR_EOM, t30_m5_ev::ctc_eor},
                            {T30C_EOR_PRI_EOM, t30_m5_ev::ctc_eor}, {T30C_EOR_EOP, t30_m5_ev::ctc_eor},
                            {T30C_EOR_PRI_EOP, t30_m5_ev::ctc_eor}, {T30C_RR, t30_m5_ev::rr}}),
    kTable5.cells.data(),
    kPlain5};
