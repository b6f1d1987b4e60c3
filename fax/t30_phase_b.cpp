// T.30 phase B: machine 0 (start-up, V.34 activation), machine 1 (transmit:
// the calling side's DIS wait, DCS and training) and machine 2 (main: the
// answering side's DIS/DTC, DCS and training check), with their actions. The
// post-message actions that these tables name live in t30_post_msg.cpp.
#include <cstring>

#include "common/byte_order.h"
#include "fax/fax_msg.h"
#include "fax/t30_channel.h"
#include "runtime/om_os.h"

namespace {

constexpr u16 kLocalOk = WT3C | WLOCDCOK;     // 0x201
constexpr u16 kRemoteOk = WT3C | WREMDCOK;    // 0x202
constexpr u16 kRemoteNok = WT3C | WREMDCNOK;  // 0x205

std::vector<std::span<const u8>> rx_frames(const t30_channel& ch) {
  std::vector<std::span<const u8>> out;
  for (size_t i = 0; i < ch.rx.count; ++i) out.push_back(ch.rx.frame(i));
  return out;
}

// Received identification data go up as T30_PROGRESS_IN, one item each.
void report_ident(t30_channel& ch, t30_set_kind kind) {
  for (const t30_progress_item& item : t30_ident__progress(ch.rx_ident, kind)) {
    msg_t* m = Alloc_msg();
    if (!m) return;
    Msg_set_head(m, {ENT_T30, ch.user, T30_PROGRESS_IN, ch.nai, ch.sapi, ch.number});
    m->data_size = 2;
    put_le16(Msg_inline_data(m), item.subcode);
    if (!item.data.empty()) {
      buffer_t* b = Store_data_in_buffers(item.data.data(), static_cast<u32>(item.data.size()), nullptr);
      if (b) Msg_attach_chain(m, b);
    }
    Send_msg(m);
  }
}

t30_build_options build_options(const t30_channel& ch) {
  t30_build_options o;
  o.dis_received = ch.dis_received != 0;
  o.dcs_received = ch.dcs_received != 0;
  o.fif.v34_mode = ch.v34_mode;
  o.fif.handshake_2400 = ch.handshake_2400;
  o.fif.command_modulation = ch.cmd_modulation;
  o.fif.dcs_modulation = ch.modulation;
  return o;
}

// Builds a set into the transmit list; false when the channel stopped.
bool build(t30_channel& ch, t30_set_kind kind) {
  switch (t30_build_set(kind, ch.result, ch.params, build_options(ch), ch.tx)) {
    case t30_build_status::ok: ch.last_sent_class = ch.tx.final_class; return true;
    case t30_build_status::no_rate_code:
      om_os_trap(T30_TRAP_NO_RATE_CODE);
      t30_stop(ch, t30_protocol_cause(WINVCAP));
      return false;
    default: t30_stop(ch, t30_protocol_cause(WCAP2MUF)); return false;
  }
}

t30_cap_area read_user_area() {
  const msg_t* m = t30_current_msg();
  std::array<u8, T30_CAP_AREA_SIZE> raw;
  raw.fill(0xFF);
  if (m) {
    const u16 n = std::min<u16>(Msg_data_size(m), T30_CAP_AREA_SIZE);
    std::memcpy(raw.data(), Msg_data(m), n);
  }
  return t30_cap__read_area(raw);
}

void receive_commands(t30_channel& ch) {
  ++ch.rx_requests;
  t30_fm_control(ch, 'g', t30_cmd_modulation(ch.handshake_2400, ch.rx_requests));
}

bool ecm_negotiated(const t30_channel& ch) { return t30_cap__ecm_chosen(ch.result); }

void send_dtc(t30_channel& ch) {
  if (!(ch.result.service & T30_SVC_TRANSMIT)) {
    t30_stop(ch, t30_protocol_cause(WINVCAP));
    return;
  }
  if (!build(ch, t30_set_kind::dtc)) return;
  t30_fm_control(ch, 'd', ch.cmd_modulation, true);
  t30_fm_control(ch, 'h', ch.v34_mode ? 0x6102 : ch.cmd_modulation);
  t30_enter(ch, t30_m2::wait_command);
}

// The calling side's answer to the DIS, once the user has answered and the
// answer window is open.
void answer_dis(t30_channel& ch) {
  if (!ch.dis_received || !(ch.resp_flags & RF_WINDOW_OPEN) || (ch.resp_flags & RF_NO_ANSWER)) {
    receive_commands(ch);
    return;
  }
  t30_timer_stop(ch, TI_TANSW);
  ch.resp_flags = static_cast<u16>((ch.resp_flags & ~RF_WINDOW_OPEN) | RF_NO_ANSWER);
  const u16 svc = ch.result.service;
  if (svc == 0) {
    t30_dcn_and_stop(ch, t30_protocol_cause(WAPABORT));
  } else if (svc & T30_SVC_HOLD) {
    // The DIS stays unanswered.
  } else if ((svc & T30_SVC_POLL) && !(svc & T30_SVC_TRANSMIT)) {
    ch.result.service = T30_SVC_TRANSMIT;
    send_dtc(ch);
  } else {
    t30_send_dcs(ch, !ch.fallback_started);
  }
}

// ---------------------------------------------------------------------------
// Actions.

// ACTV / NOACT: the lower entity's answer to the V.34 activation.
void a_actv(t30_channel& ch, u16 established) {
  t30_timer_stop(ch, TI_T1X);
  ch.v34_mode = established != 0;
  if (ch.v34_mode) {
    const msg_t* m = t30_current_msg();
    ch.modulation = t30_param(m, 0);
    ch.v34_dir = ch.role == 1 ? 'r' : 'x';
  }
  t30_send_user_words(ch, T30_PROGRESS_IN, {12, static_cast<u16>(ch.v34_mode ? 1 : 0), 0});
  if (ch.role == 1) {
    t30_timer_start(ch, TI_T1X);
    if (ch.resp_flags & RF_USER_ANSWERED) t30_send_dis(ch);
    else {
      t30_enter(ch, t30_m2::wait_user);
    }
  } else {
    t30_start_phase_b_caller(ch);
  }
}

// WTD: the user's answer on the answering side.
void a_wtd(t30_channel& ch, u16) {
  t30_timer_stop(ch, TI_TWTD);
  const t30_cap_area area = read_user_area();
  ch.user_selection = area.selection;
  ch.user_cap = t30_neg__offer(area.cap, ch.local);
  ch.result = ch.user_cap;
  ch.resp_flags |= RF_USER_ANSWERED;
  if (t30_in(ch, t30_m0::v34_answerer)) {
    t30_send_v34_activate(ch, true);
    return;
  }
  t30_send_dis(ch);
}

// TA: T2 after EOM: DIS again.
void a_ta(t30_channel& ch, u16) {
  t30_timer_start(ch, TI_T1X);
  t30_send_dis(ch);
}

// DIS received while waiting for it.
void a_dis(t30_channel& ch, u16) {
  t30_timer_stop(ch, TI_T1R);
  t30_timer_start(ch, TI_TANSW);
  ch.resp_flags = RF_WINDOW_OPEN | RF_CMD_RECEIVED;
  ++ch.dis_received;
  const auto frames = rx_frames(ch);
  ch.remote = {};
  ch.rx_ident = {};
  (void)t30_ident__parse_set(t30_set_kind::dis, frames, ch.rx_ident, ch.remote);
  ch.user_cap = t30_neg__on_dis(ch.local, ch.remote);
  ch.result = ch.user_cap;
  report_ident(ch, t30_set_kind::dis);
  if (ch.user_cap.empty()) {
    t30_dcn_and_stop(ch, kLocalOk);
    return;
  }
  t30_send_cap_area(ch, T30_WhatToDo_IN, ch.user_cap, T30_LOCAL_SELECTION);
  t30_timer_start(ch, TI_TWTD);
  receive_commands(ch);
  t30_enter(ch, t30_m1::wait_user);
}

// DIS2: DIS or DTC again while waiting for the user.
void a_dis2(t30_channel& ch, u16) {
  ++ch.dis_received;
  t30_timer_start(ch, TI_TANSW);
  ch.resp_flags |= RF_WINDOW_OPEN;
  if (ch.resp_flags & RF_USER_ANSWERED) answer_dis(ch);
  else receive_commands(ch);
}

// WTD2: the user's answer on the calling side.
void a_wtd2(t30_channel& ch, u16) {
  t30_timer_stop(ch, TI_TWTD);
  const t30_cap_area area = read_user_area();
  ch.user_selection = area.selection;
  ch.result = t30_neg__on_user_answer(ch.user_cap, area.cap, area.selection);
  ch.resp_flags |= RF_USER_ANSWERED;
  answer_dis(ch);
}

// RDCS: no answer to DCS and training, or the DIS again.
void a_rdcs(t30_channel& ch, u16) {
  if (ch.dcs_sends >= 3) {
    t30_dcn_and_stop(ch, t30_protocol_cause(WNOCFRR));
    return;
  }
  const t30_class cls = t30_classify(ch.rx);
  if (ch.event == EV_FRAMES && cls == T30C_DIS) {
    const auto frames = rx_frames(ch);
    t30_capability remote;
    t30_remote_ident ident;
    if (t30_ident__parse_set(t30_set_kind::dis, frames, ident, remote)) {
      ch.remote = remote;
      ch.rx_ident = ident;
    }
  }
  t30_send_dcs(ch, false);
}

// CFR or FTT after DCS and training.
void a_cfr(t30_channel& ch, u16) {
  ch.dcs_sends = 0;
  if (t30_classify(ch.rx) == T30C_FTT) {
    ++ch.ftt_count;
    const auto next = ch.fallback.choose(ch.result.modulation, false, ecm_negotiated(ch));
    if (!next) {
      t30_dcn_and_stop(ch, t30_protocol_cause(WTTTX));
      return;
    }
    ch.modulation = *next;
    t30_send_dcs(ch, false);
    return;
  }
  ch.remote.modulation = t30_cap__limit_to_trained(ch.remote.modulation, ch.modulation);
  ch.user_cap.modulation = t30_cap__limit_to_trained(ch.user_cap.modulation, ch.modulation);
  report_ident(ch, t30_set_kind::cfr);
  t30_send_cap_area(ch, T30_EONEG_IN, ch.result, ch.user_selection);
  // The user may send page data now; ']' answers a ')' only.
  if (ch.user_busy_sent) {
    ch.user_busy_sent = false;
    t30_send_user(ch, T30_CLR_BUSY_IN);
  }
  t30_next_page_tx(ch);
}

// DTC received in main state 1: turnaround polling.
void a_dtc(t30_channel& ch, u16) {
  t30_timer_start(ch, TI_TANSW);
  const auto frames = rx_frames(ch);
  t30_capability remote;
  ch.rx_ident = {};
  if (!t30_ident__parse_set(t30_set_kind::dtc, frames, ch.rx_ident, remote)) {
    t30_stop(ch, t30_protocol_cause(WIRDTC));
    return;
  }
  ch.remote = remote;
  const t30_neg_dtc n = t30_neg__on_dtc(ch.user_cap, remote);
  report_ident(ch, t30_set_kind::dtc);
  if (n.result.empty()) {
    t30_stop(ch, t30_protocol_cause(WIRDTC));
    return;
  }
  ch.result = n.result;
  ch.user_cap = n.user_record;
  ch.resp_flags = RF_WINDOW_OPEN | RF_CMD_RECEIVED;
  ++ch.dis_received;
  t30_send_cap_area(ch, T30_WhatToDo_IN, ch.user_cap, T30_LOCAL_SELECTION);
  t30_timer_start(ch, TI_TWTD);
  t30_enter(ch, t30_m1::wait_user);
}

// DCS received.
void a_dcs(t30_channel& ch, u16) {
  ++ch.dcs_received;
  t30_timer_stop(ch, TI_T1X);
  const auto frames = rx_frames(ch);
  t30_capability dcs;
  bool force_ftt = false;
  ch.rx_ident = {};
  if (!t30_ident__parse_set(t30_set_kind::dcs, frames, ch.rx_ident, dcs, &force_ftt)) {
    t30_stop(ch, t30_protocol_cause(WIRDCS));
    return;
  }
  ch.force_ftt = force_ftt;
  const t30_neg_dcs n = t30_neg__on_dcs(ch.user_cap, dcs);
  report_ident(ch, t30_set_kind::dcs);
  if (n.result.empty()) {
    t30_stop(ch, t30_protocol_cause(WIRDCS));
    return;
  }
  ch.result = n.result;
  ch.modulation = n.page_modulation;
  ch.speed_bps = t30_modulation_speed(ch.modulation);
  t30_enter(ch, t30_m2::receiving_tcf);
  t30_fm_control(ch, 'i', ch.modulation, true);
}

// NSS received: report the identity.
void a_nss(t30_channel& ch, u16) {
  const auto frames = rx_frames(ch);
  t30_capability ignored;
  (void)t30_ident__parse_set(t30_set_kind::nss, frames, ch.rx_ident, ignored);
  const t30_text& id = ch.rx_ident.identity;
  std::vector<u8> body(2 + id.length);
  put_le16(body.data(), 3);
  std::memcpy(body.data() + 2, id.text, id.length);
  t30_send_user(ch, T30_PROGRESS_IN, body);
  t30_fm_control(ch, 'e', ch.cmd_modulation);
}

void send_ftt(t30_channel& ch) {
  ++ch.ftt_count;
  t30_build_single(ch, T30C_FTT);
  t30_fm_control(ch, 'd', ch.cmd_modulation, true);
  t30_fm_control(ch, 'e', ch.cmd_modulation);
  t30_set_state(ch, t30_m2::next_command);
}

// TCF: the modem layer's training verdict.
void a_tcf(t30_channel& ch, u16) {
  const msg_t* m = t30_current_msg();
  u16 verdict = t30_param(m, 1);
  if (verdict == 1 && ch.force_ftt) verdict = 0;
  if (verdict == 1) {
    if (!build(ch, t30_set_kind::cfr)) return;
    t30_fm_control(ch, 'd', ch.cmd_modulation, true);
    t30_fm_control(ch, 'f', ch.modulation);
    t30_set_state(ch, t30_m2::wait_page);
    return;
  }
  if (verdict == 3) {
    // Too short: the FTT waits for the time the training missed.
    const u32 missing = m && m->data_size >= 8 ? get_le32(Msg_inline_data(m) + 4) : 0;
    t30_timer_start(ch, TI_PAGE, missing ? missing : t30_timer_table[TI_PAGE].ms);
    return;
  }
  send_ftt(ch);
}

// SRH: the held-back FTT goes out.
void a_srh(t30_channel& ch, u16) { send_ftt(ch); }

// RCMD / RCMD2: DIS (or DTC) again.
void a_rcmd(t30_channel& ch, u16) {
  if (ch.last_sent_class == T30C_DTC) {
    if (++ch.dtc_sends >= 4) {
      t30_stop(ch, t30_protocol_cause(WNIF));
      return;
    }
    send_dtc(ch);
    return;
  }
  t30_send_dis(ch);
}

// RXD: nothing usable received while waiting for DIS: receive again.
void a_rxd(t30_channel& ch, u16) { receive_commands(ch); }

// RDCN: the remote released.
void a_rdcn(t30_channel& ch, u16) { t30_stop(ch, ch.eop_completed ? kRemoteOk : kRemoteNok); }

// RXF: an invalid frame while page data are awaited: the modem layer's
// program has ended, so page reception is asked for again (at most 3 times).
void a_rxf(t30_channel& ch, u16) {
  if (++ch.rx_rearms > 3) {
    t30_stop(ch, t30_protocol_cause(WNIF));
    return;
  }
  t30_fm_control(ch, 'f', ch.modulation);
}

constexpr t30_cell ACTV{a_actv, 1};
constexpr t30_cell RXF{a_rxf, 0};
constexpr t30_cell NOACT{a_actv, 0};
constexpr t30_cell WTD{a_wtd, 0};
constexpr t30_cell TA{a_ta, 0};
constexpr t30_cell DIS{a_dis, 0};
constexpr t30_cell DIS2{a_dis2, 0};
constexpr t30_cell WTD2{a_wtd2, 0};
constexpr t30_cell RDCS{a_rdcs, 0};
constexpr t30_cell CFR{a_cfr, 0};
constexpr t30_cell DTC{a_dtc, 0};
constexpr t30_cell DCS{a_dcs, 0};
constexpr t30_cell NSS{a_nss, 0};
constexpr t30_cell TCF{a_tcf, 0};
constexpr t30_cell SRH{a_srh, 0};
constexpr t30_cell RCMD{a_rcmd, 0};
constexpr t30_cell RXD{a_rxd, 0};
constexpr t30_cell RDCN{a_rdcn, 0};
constexpr t30_cell DCN11 = DCN_STOP(WNIF);
constexpr t30_cell EPQ{t30_act_epq, 0};
constexpr t30_cell EPQ0{t30_act_epq0, 0};
constexpr t30_cell RPT{t30_act_rpt, 0};
constexpr t30_cell PMR{t30_act_pmr, 0};
constexpr t30_cell WCLOSE{t30_act_wclose, 0};
constexpr t30_cell RXA{t30_act_rxa, 0};
constexpr t30_cell RXP{t30_act_rxp, 0};
constexpr t30_cell PMC{t30_act_pmc, 0};
constexpr t30_cell PMC5{t30_act_pmc, 1};
constexpr t30_cell PMC2{t30_act_pmc2, 0};
constexpr t30_cell RESEND{t30_act_resend, 0};
constexpr t30_cell PG{t30_act_pg, 0};
constexpr t30_cell PCD{t30_act_pcd, 0};
constexpr t30_cell EPR{t30_act_epr, 0};
constexpr t30_cell DCN_T1S = DCN_STOP(WT1S);
constexpr t30_cell LOST = STOP(WLOCCDLOST);

// ---------------------------------------------------------------------------
// Machine 0, start-up: 0 idle (waiting for the modem layer), 1 V.34
// activation as caller, 2 V.34 activation as answerer. Event 7 (T1) guards
// the waits for the modem layer and for the lower entity.
namespace m0 {
using S = t30_m0;
using E = t30_m0_ev;
constexpr t30_row<S, E> kRows[] = {
    {S::idle, E::t1, STOP(WNOCD), fsm::by_action},

    {S::v34_caller, E::lower_a, ACTV, fsm::by_action},       {S::v34_caller, E::lower_b, NOACT, fsm::by_action},
    {S::v34_caller, E::t1, STOP(WNODISR), fsm::by_action},

    {S::v34_answerer, E::lower_a, ACTV, fsm::by_action},     {S::v34_answerer, E::lower_b, NOACT, fsm::by_action},
    {S::v34_answerer, E::wtd_rs, WTD, fsm::by_action},       {S::v34_answerer, E::twtd, STOP(WT1WTDO), fsm::by_action},
    {S::v34_answerer, E::t1, STOP(WT1WTDO), fsm::by_action},
};
}  // namespace m0

// Machine 1, transmit: 0 waiting for DIS, 1 DIS received waiting for the
// user, 2 DCS and TCF sent waiting for CFR/FTT, 3 sending a page, 4
// post-message command sent.
namespace m1 {
using S = t30_m1;
using E = t30_m1_ev;
constexpr t30_row<S, E> kRows[] = {
    {S::wait_dis, E::dis, DIS, fsm::by_action},
    {S::wait_dis, E::cfr_ftt, STOP(WAUXFR), fsm::by_action},
    {S::wait_dis, E::mcf_rtn_rtp, STOP(WAUXFR), fsm::by_action},
    {S::wait_dis, E::pip_pin, STOP(WAUXFR), fsm::by_action},
    {S::wait_dis, E::dcn, RDCN, fsm::by_action},
    {S::wait_dis, E::invalid, RXD, fsm::by_action},
    {S::wait_dis, E::fm_a, RXD, fsm::by_action},
    {S::wait_dis, E::t1, STOP(WNODISR), fsm::by_action},
    {S::wait_dis, E::lower_b, LOST, fsm::by_action},

    {S::wait_user, E::dis, DIS2, fsm::by_action},
    {S::wait_user, E::dtc, DIS2, fsm::by_action},
    {S::wait_user, E::cfr_ftt, STOP(WAUXFR), fsm::by_action},
    {S::wait_user, E::mcf_rtn_rtp, STOP(WAUXFR), fsm::by_action},
    {S::wait_user, E::pip_pin, STOP(WAUXFR), fsm::by_action},
    {S::wait_user, E::dcn, RDCN, fsm::by_action},
    {S::wait_user, E::invalid, RXD, fsm::by_action},
    {S::wait_user, E::fm_a, RXD, fsm::by_action},
    {S::wait_user, E::wtd_rs, WTD2, fsm::by_action},
    {S::wait_user, E::twtd, STOP(WT1WTDO), fsm::by_action},
    {S::wait_user, E::tansw, WCLOSE, fsm::by_action},
    {S::wait_user, E::lower_b, LOST, fsm::by_action},

    {S::wait_cfr, E::dis, RDCS, fsm::by_action},
    {S::wait_cfr, E::dtc, RDCS, fsm::by_action},
    {S::wait_cfr, E::cfr_ftt, CFR, fsm::by_action},
    {S::wait_cfr, E::mcf_rtn_rtp, DCN11, fsm::by_action},
    {S::wait_cfr, E::pip_pin, DCN11, fsm::by_action},
    {S::wait_cfr, E::dcn, RDCN, fsm::by_action},
    {S::wait_cfr, E::invalid, DCN11, fsm::by_action},
    {S::wait_cfr, E::fm_b, RDCS, fsm::by_action},
    {S::wait_cfr, E::fm_a, RDCS, fsm::by_action},
    {S::wait_cfr, E::lower_b, LOST, fsm::by_action},

    {S::sending_page, E::fm_d, EPQ0, fsm::by_action},
    {S::sending_page, E::end_page_rq, EPQ, fsm::by_action},
    {S::sending_page, E::txnext, STOP(WTXNEXT), fsm::by_action},
    {S::sending_page, E::lower_b, LOST, fsm::by_action},

    {S::wait_response, E::dis, DCN11, fsm::by_action},
    {S::wait_response, E::dtc, DCN11, fsm::by_action},
    {S::wait_response, E::cfr_ftt, DCN11, fsm::by_action},
    {S::wait_response, E::mcf_rtn_rtp, PMR, fsm::by_action},
    {S::wait_response, E::dcn, RDCN, fsm::by_action},
    {S::wait_response, E::invalid, DCN11, fsm::by_action},
    {S::wait_response, E::fm_b, RPT, fsm::by_action},
    {S::wait_response, E::fm_a, RPT, fsm::by_action},
    {S::wait_response, E::lower_b, LOST, fsm::by_action},
};
}  // namespace m1

// Machine 2, main: 0 answerer waiting for the user before DIS, 1 DIS/DTC
// sent waiting for a command, 2 waiting for the next command, 3 receiving
// TCF, 4 CFR sent waiting for page data, 5 receiving a page and its
// post-message command.
namespace m2 {
using S = t30_m2;
using E = t30_m2_ev;
constexpr t30_row<S, E> kRows[] = {
    {S::wait_user, E::dis, STOP(WAUXFR), fsm::by_action},
    {S::wait_user, E::dtc, STOP(WAUXFR), fsm::by_action},
    {S::wait_user, E::dcs, STOP(WAUXFR), fsm::by_action},
    {S::wait_user, E::nss, STOP(WAUXFR), fsm::by_action},
    {S::wait_user, E::eom, RESEND, fsm::by_action},
    {S::wait_user, E::eop, STOP(WAUXFR), fsm::by_action},
    {S::wait_user, E::mps, STOP(WAUXFR), fsm::by_action},
    {S::wait_user, E::dcn, RDCN, fsm::by_action},
    {S::wait_user, E::invalid, RXA, fsm::by_action},
    {S::wait_user, E::fm_a, RXA, fsm::by_action},
    {S::wait_user, E::wtd_rs, WTD, fsm::by_action},
    {S::wait_user, E::t1, STOP(WT1WTDO), fsm::by_action},
    {S::wait_user, E::t2, TA, fsm::by_action},
    {S::wait_user, E::twtd, STOP(WT1WTDO), fsm::by_action},
    {S::wait_user, E::lower_b, LOST, fsm::by_action},

    {S::wait_command, E::dis, RCMD, fsm::by_action},
    {S::wait_command, E::dtc, DTC, fsm::by_action},
    {S::wait_command, E::dcs, DCS, fsm::by_action},
    {S::wait_command, E::nss, NSS, fsm::by_action},
    {S::wait_command, E::eom, RCMD, fsm::by_action},
    {S::wait_command, E::eop, RCMD, fsm::by_action},
    {S::wait_command, E::mps, STOP(WAUXFR), fsm::by_action},
    {S::wait_command, E::dcn, RDCN, fsm::by_action},
    {S::wait_command, E::invalid, RCMD, fsm::by_action},
    {S::wait_command, E::fm_b, RCMD, fsm::by_action},
    {S::wait_command, E::fm_a, RCMD, fsm::by_action},
    {S::wait_command, E::t1, DCN_T1S, fsm::by_action},
    {S::wait_command, E::lower_b, LOST, fsm::by_action},

    {S::next_command, E::dis, STOP(WAUXFR), fsm::by_action},
    {S::next_command, E::dtc, STOP(WAUXFR), fsm::by_action},
    {S::next_command, E::dcs, DCS, fsm::by_action},
    {S::next_command, E::nss, NSS, fsm::by_action},
    {S::next_command, E::eom, RESEND, fsm::by_action},
    {S::next_command, E::eop, RESEND, fsm::by_action},
    {S::next_command, E::mps, RESEND, fsm::by_action},
    {S::next_command, E::dcn, RDCN, fsm::by_action},
    {S::next_command, E::invalid, RXA, fsm::by_action},
    {S::next_command, E::fm_a, STOP(WUNXEVT), fsm::by_action},
    {S::next_command, E::lower_b, LOST, fsm::by_action},

    {S::receiving_tcf, E::dcs, IGN, fsm::by_action},
    {S::receiving_tcf, E::mps, PMC5, fsm::by_action},
    {S::receiving_tcf, E::fm_c, TCF, fsm::by_action},
    {S::receiving_tcf, E::fm_d, IGN, fsm::by_action},
    {S::receiving_tcf, E::page_timer, SRH, fsm::by_action},
    {S::receiving_tcf, E::lower_b, LOST, fsm::by_action},

    {S::wait_page, E::dcs, DCS, fsm::by_action},
    {S::wait_page, E::eom, PMC5, fsm::by_action},
    {S::wait_page, E::eop, PMC5, fsm::by_action},
    {S::wait_page, E::mps, PMC2, fsm::by_action},
    {S::wait_page, E::dcn, STOP(WEUXFR), fsm::by_action},
    {S::wait_page, E::invalid, RXF, fsm::by_action},
    {S::wait_page, E::fm_a, STOP(WUNXEVT), fsm::by_action},
    {S::wait_page, E::fm_d, PG, fsm::by_action},
    {S::wait_page, E::lower_b, LOST, fsm::by_action},

    {S::receiving_page, E::dis, STOP(WAUXFR), fsm::by_action},
    {S::receiving_page, E::dtc, STOP(WAUXFR), fsm::by_action},
    {S::receiving_page, E::dcs, DCS, fsm::by_action},
    {S::receiving_page, E::nss, STOP(WAUXFR), fsm::by_action},
    {S::receiving_page, E::eom, PMC, fsm::by_action},
    {S::receiving_page, E::eop, PMC, fsm::by_action},
    {S::receiving_page, E::mps, PMC, fsm::by_action},
    {S::receiving_page, E::dcn, STOP(WEUXFR), fsm::by_action},
    {S::receiving_page, E::invalid, RXA, fsm::by_action},
    {S::receiving_page, E::fm_a, RXP, fsm::by_action},
    {S::receiving_page, E::fm_d, IGN, fsm::by_action},
    {S::receiving_page, E::end_page_rs, EPR, fsm::by_action},
    {S::receiving_page, E::fm_e, PCD, fsm::by_action},
    {S::receiving_page, E::tansw, WCLOSE, fsm::by_action},
    {S::receiving_page, E::trst, STOP(WTRSTATUS), fsm::by_action},
    {S::receiving_page, E::lower_b, LOST, fsm::by_action},
};
}  // namespace m2

constexpr auto kTable0 = fsm::compile(m0::kRows, T30_UNEXPECTED);
constexpr auto kTable1 = fsm::compile(m1::kRows, T30_UNEXPECTED);
constexpr auto kTable2 = fsm::compile(m2::kRows, T30_UNEXPECTED);
constexpr auto kPlain0 = fsm::plain(m0::kRows);
constexpr auto kPlain1 = fsm::plain(m1::kRows);
constexpr auto kPlain2 = fsm::plain(m2::kRows);

}  // namespace

const t30_machine t30_machine_0{"start-up",
                                fsm::count_of<t30_m0>,
                                fsm::count_of<t30_m0_ev>,
                                t30_decode<t30_m0_ev>({{EV_LOWER_A, t30_m0_ev::lower_a},
                                                       {EV_LOWER_B, t30_m0_ev::lower_b},
                                                       {EV_WTD_RS, t30_m0_ev::wtd_rs},
                                                       {EV_TWTD, t30_m0_ev::twtd},
                                                       {EV_T1, t30_m0_ev::t1}},
                                                      false),
                                {},
                                kTable0.cells.data(),
                                kPlain0};

const t30_machine t30_machine_1{"transmit",
                                fsm::count_of<t30_m1>,
                                fsm::count_of<t30_m1_ev>,
                                t30_decode<t30_m1_ev>({{EV_FM_B, t30_m1_ev::fm_b},
                                                       {EV_FM_A, t30_m1_ev::fm_a},
                                                       {EV_FM_D, t30_m1_ev::fm_d},
                                                       {EV_WTD_RS, t30_m1_ev::wtd_rs},
                                                       {EV_END_PAGE_RQ, t30_m1_ev::end_page_rq},
                                                       {EV_T1, t30_m1_ev::t1},
                                                       {EV_TXNEXT, t30_m1_ev::txnext},
                                                       {EV_TWTD, t30_m1_ev::twtd},
                                                       {EV_TANSW, t30_m1_ev::tansw},
                                                       {EV_LOWER_B, t30_m1_ev::lower_b}}),
                                t30_classes<t30_m1_ev>({{T30C_NONE, t30_m1_ev::invalid},
                                                        {T30C_DIS, t30_m1_ev::dis},
                                                        {T30C_DTC, t30_m1_ev::dtc},
                                                        {T30C_CFR, t30_m1_ev::cfr_ftt},
                                                        {T30C_FTT, t30_m1_ev::cfr_ftt},
                                                        {T30C_MCF, t30_m1_ev::mcf_rtn_rtp},
                                                        {T30C_RTN, t30_m1_ev::mcf_rtn_rtp},
                                                        {T30C_RTP, t30_m1_ev::mcf_rtn_rtp},
                                                        {T30C_PIP, t30_m1_ev::pip_pin},
                                                        {T30C_PIN, t30_m1_ev::pip_pin},
                                                        {T30C_DCN, t30_m1_ev::dcn}}),
                                kTable1.cells.data(),
                                kPlain1};

const t30_machine t30_machine_2{
    "main",
    fsm::count_of<t30_m2>,
    fsm::count_of<t30_m2_ev>,
    t30_decode<t30_m2_ev>({{EV_FM_B, t30_m2_ev::fm_b},
                           {EV_FM_A, t30_m2_ev::fm_a},
                           {EV_FM_C, t30_m2_ev::fm_c},
                           {EV_FM_D, t30_m2_ev::fm_d},
                           {EV_WTD_RS, t30_m2_ev::wtd_rs},
                           {EV_END_PAGE_RS, t30_m2_ev::end_page_rs},
                           {EV_FM_E, t30_m2_ev::fm_e},
                           {EV_PAGE_TIMER, t30_m2_ev::page_timer},
                           {EV_T1, t30_m2_ev::t1},
                           {EV_TANSW, t30_m2_ev::tansw},
                           {EV_T2, t30_m2_ev::t2},
                           {EV_TWTD, t30_m2_ev::twtd},
                           {EV_TRST, t30_m2_ev::trst},
                           {EV_LOWER_B, t30_m2_ev::lower_b}}),
    t30_classes<t30_m2_ev>(
        {{T30C_NONE, t30_m2_ev::invalid}, {T30C_DIS, t30_m2_ev::dis},         {T30C_DTC, t30_m2_ev::dtc},
         {T30C_DCS, t30_m2_ev::dcs},      {T30C_NSS, t30_m2_ev::nss},         {T30C_EOM, t30_m2_ev::eom},
         {T30C_PRI_EOM, t30_m2_ev::eom},  {T30C_PPS_EOM, t30_m2_ev::eom},     {T30C_PPS_PRI_EOM, t30_m2_ev::eom},
         {T30C_EOR_EOM, t30_m2_ev::eom},  {T30C_EOR_PRI_EOM, t30_m2_ev::eom}, {T30C_EOP, t30_m2_ev::eop},
         {T30C_PRI_EOP, t30_m2_ev::eop},  {T30C_PPS_EOP, t30_m2_ev::eop},     {T30C_PPS_PRI_EOP, t30_m2_ev::eop},
         {T30C_EOR_EOP, t30_m2_ev::eop},  {T30C_EOR_PRI_EOP, t30_m2_ev::eop}, {T30C_MPS, t30_m2_ev::mps},
         {T30C_PRI_MPS, t30_m2_ev::mps},  {T30C_PPS_MPS, t30_m2_ev::mps},     {T30C_PPS_PRI_MPS, t30_m2_ev::mps},
         {T30C_EOR_MPS, t30_m2_ev::mps},  {T30C_EOR_PRI_MPS, t30_m2_ev::mps}, {T30C_DCN, t30_m2_ev::dcn}}),
    kTable2.cells.data(),
    kPlain2};

// ---------------------------------------------------------------------------
// Shared phase B routines.

// SENDDIS.
void t30_send_dis(t30_channel& ch) {
  if (!(ch.result.service & T30_SVC_TRANSMIT)) {
    t30_stop(ch, t30_protocol_cause(WAPABORT));
    return;
  }
  if (!build(ch, t30_set_kind::dis)) return;
  const u16 mod = t30_cmd_modulation(ch.handshake_2400, ch.dis_sends);
  ++ch.dis_sends;
  t30_fm_control(ch, 'c', mod, true);
  t30_enter(ch, t30_m2::wait_command);
}

// SENDDCS.
void t30_send_dcs(t30_channel& ch, bool first) {
  const bool ecm = ecm_negotiated(ch);
  if (first) {
    ch.fallback.start();
    ch.fallback_started = true;
    const auto m = ch.fallback.choose(ch.result.modulation, false, ecm);
    if (!m) {
      t30_dcn_and_stop(ch, t30_protocol_cause(WTTTX));
      return;
    }
    ch.modulation = *m;
  } else if (ch.retrain) {
    if (const auto m = ch.fallback.choose(ch.result.modulation, true, ecm)) ch.modulation = *m;
  }
  ch.retrain = false;
  if (!build(ch, t30_set_kind::dcs)) return;
  const auto dcs = ch.tx.frame(ch.tx.count - 1);
  if (dcs.size() >= 5) {
    ch.dcs_fif[0] = dcs[3];
    ch.dcs_fif[1] = dcs[4];
  }
  ch.speed_bps = t30_modulation_speed(ch.modulation);
  ++ch.dcs_sends;
  t30_fm_control(ch, 'b', ch.modulation, true);
  t30_enter(ch, t30_m1::wait_cfr);
}

void t30_start_phase_b_caller(t30_channel& ch) {
  t30_enter(ch, t30_m1::wait_dis);
  ch.resp_flags = 0;
  t30_timer_start(ch, TI_T1R);
  receive_commands(ch);
}
