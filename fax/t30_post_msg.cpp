// T.30 post-message exchange: the actions that the transmit and main
// machines (and the ECM machines) name for the end of a page: the user's
// request and the command (EPQ, EPQ0, RPT), the answer to it (PMR), and on
// the receiving side the command (PMC, RESEND), the user's answer (EPR) and
// the response (RESP), with the page-data start and end (PG, PCD).
#include "fax/t30_channel.h"

namespace {

constexpr u16 kLocalOk = WT3C | WLOCDCOK;     // 0x201
constexpr u16 kRemoteNok = WT3C | WREMDCNOK;  // 0x205

bool eop_family(u8 cls) {
  return cls == T30C_EOP || cls == T30C_PRI_EOP || cls == T30C_PPS_EOP || cls == T30C_PPS_PRI_EOP ||
         cls == T30C_EOR_EOP || cls == T30C_EOR_PRI_EOP;
}

// PPS and EOR classes folded onto the plain command.
u8 fold(u8 cls) {
  if (cls >= T30C_PPS_MPS && cls <= T30C_PPS_PRI_EOP) return static_cast<u8>(cls - 21);
  if (cls >= T30C_EOR_MPS && cls <= T30C_EOR_PRI_EOP) return static_cast<u8>(cls - 27);
  return cls;
}

// Command code of T30_END_PAGE_IN.
u16 command_code(u8 cls) {
  switch (fold(cls)) {
    case T30C_MPS: return T30_PM_MPS;
    case T30C_EOM: return T30_PM_EOM;
    case T30C_EOP: return T30_PM_EOP;
    case T30C_PRI_MPS: return T30_PM_PRI_MPS;
    case T30C_PRI_EOM: return T30_PM_PRI_EOM;
    case T30C_PRI_EOP: return T30_PM_PRI_EOP;
    default: return T30_PM_EOP;
  }
}

bool is_mps(u8 cls) { return fold(cls) == T30C_MPS || fold(cls) == T30C_PRI_MPS; }
bool is_eom(u8 cls) { return fold(cls) == T30C_EOM || fold(cls) == T30C_PRI_EOM; }

u8 response_class(u16 code) {
  switch (code) {
    case T30_RSP_RTP: return T30C_RTP;
    case T30_RSP_RTN: return T30C_RTN;
    case T30_RSP_PIP: return T30C_PIP;
    case T30_RSP_PIN: return T30C_PIN;
    default: return T30C_MCF;
  }
}

u16 verdict_code(t30_page_response r) {
  switch (r) {
    case t30_page_response::rtp: return T30_RSP_RTP;
    case t30_page_response::rtn: return T30_RSP_RTN;
    default: return T30_RSP_MCF;
  }
}

// The post-message command goes out once both the user's request and the end
// of the page data are there.
void send_command(t30_channel& ch) {
  ch.pm_sends = 0;
  if (t30_ecm_active(ch)) {
    t30_ecm_send_pps(ch);
    return;
  }
  t30_enter(ch, t30_m1::wait_response);
  t30_act_rpt(ch, 0);
}

}  // namespace

// EPQ: the user asks for the post-message command.
void t30_act_epq(t30_channel& ch, u16) {
  const u16 bits = t30_param(t30_current_msg(), 0);
  u8 cls;
  if ((bits & T30_EPQ_PAGE) && (bits & T30_EPQ_MORE)) cls = T30C_MPS;
  else if ((bits & T30_EPQ_NEW_DOC) && (bits & (T30_EPQ_PAGE | T30_EPQ_DOC))) cls = T30C_EOM;
  else cls = T30C_EOP;
  if (bits & T30_EPQ_PRI) ++cls;
  ch.pm_class = cls;
  ch.pm_resend = (bits & T30_EPQ_RESEND) != 0;
  t30_timer_stop(ch, TI_TXNEXT);
  ch.pm_requested = true;
  if (ch.data_ended) send_command(ch);
}

// EPQ0: the modem layer reports the end of the page data.
void t30_act_epq0(t30_channel& ch, u16) {
  if (t30_param(t30_current_msg(), 1) != 0) {
    t30_stop(ch, t30_protocol_cause(WUNEXP));
    return;
  }
  ch.data_ended = true;
  if (!ch.pm_requested) {
    t30_timer_start(ch, TI_TXNEXT);
    return;
  }
  send_command(ch);
}

// RPT: send or repeat the command (at most 3 sends).
void t30_act_rpt(t30_channel& ch, u16) {
  if (ch.pm_sends >= 3) {
    t30_dcn_and_stop(
        ch, t30_protocol_cause(eop_family(ch.last_sent_class) || eop_family(ch.pm_class) ? WNOMCFREOP : WNOMCFR));
    return;
  }
  if (ch.machine == T30_TRANSMIT) t30_build_single(ch, ch.pm_class);
  ++ch.pm_sends;
  t30_fm_control(ch, 'd', ch.cmd_modulation, true);
  t30_fm_control(ch, 'h', ch.cmd_modulation);
}

void t30_report_end_page_co(t30_channel& ch, u16 response) {
  const bool ecm = t30_ecm_active(ch);
  t30_send_user_words(ch, T30_END_PAGE_CO, {response, 0, static_cast<u16>(ecm ? 0 : ch.tx_copies), ch.modulation, 0});
}

void t30_next_page_tx(t30_channel& ch) {
  ch.pm_requested = false;
  ch.data_ended = false;
  ch.pm_sends = 0;
  t30_enter(ch, t30_m1::sending_page);
  // In ECM every block asks for page transmission itself.
  if (!t30_ecm_active(ch)) t30_fm_control(ch, 'a', ch.modulation);
  t30_page_tx_start(ch);
}

// PMR: the answer to the post-message command.
void t30_act_pmr(t30_channel& ch, u16) {
  const t30_class got = t30_classify(ch.rx);
  const u16 code = got == T30C_RTN ? T30_RSP_RTN : got == T30C_RTP ? T30_RSP_RTP : T30_RSP_MCF;
  t30_report_end_page_co(ch, code);
  if (code == T30_RSP_MCF) ++ch.pages;
  if (code == T30_RSP_RTN) ch.retrain = true;
  const u8 cmd = ch.pm_class;
  const bool again = (is_mps(cmd) || (eop_family(cmd) && code == T30_RSP_RTN && ch.pm_resend));
  if (again) {
    if (code == T30_RSP_MCF && is_mps(cmd)) {
      t30_next_page_tx(ch);
      return;
    }
    // A new training before the next page: the user is asked again, and the
    // answer window opens for the DCS that follows its answer.
    ch.resp_flags = RF_WINDOW_OPEN;
    t30_send_cap_area(ch, T30_WhatToDo_IN, ch.user_cap, T30_LOCAL_SELECTION);
    t30_timer_start(ch, TI_TWTD);
    t30_enter(ch, t30_m1::wait_user);
    return;
  }
  if (eop_family(cmd)) {
    // A last page refused (RTN) and not to be sent again ends the call
    // without success: the document did not get through whole.
    const bool refused = code == T30_RSP_RTN;
    ch.eop_completed = !refused;
    t30_dcn_and_stop(ch, refused ? kRemoteNok : kLocalOk);
    return;
  }
  t30_start_phase_b_caller(ch);
}

// WCLOSE: the answer window closes.
void t30_act_wclose(t30_channel& ch, u16) { ch.resp_flags &= static_cast<u16>(~RF_WINDOW_OPEN); }

namespace {

void rearm(t30_channel& ch, t30_cause_number give_up) {
  if (++ch.rx_rearms > 3) {
    t30_stop(ch, t30_protocol_cause(give_up));
    return;
  }
  t30_fm_control(ch, 'e', ch.cmd_modulation);
}

}  // namespace

void t30_act_rxa(t30_channel& ch, u16) { rearm(ch, WNIF); }
void t30_act_rxp(t30_channel& ch, u16) { rearm(ch, WNOEOPR); }

// RESP: the prepared response goes out once the command is there, the answer
// window is open and the user has answered.
void t30_resp(t30_channel& ch) {
  const u16 need = RF_CMD_RECEIVED | RF_WINDOW_OPEN | RF_USER_ANSWERED;
  if ((ch.resp_flags & need) != need) return;
  // The response goes out: its window has served (a late expiry would find
  // the channel waiting for the next command).
  ch.resp_flags &= static_cast<u16>(~(RF_CMD_RECEIVED | RF_WINDOW_OPEN));
  t30_timer_stop(ch, TI_TANSW);
  const u8 rsp = ch.response_class;
  t30_build_single(ch, rsp);
  // The ECM receiver hands the page back to the main machine.
  if (ch.machine == T30_ECM_RX) ch.machine = T30_MAIN;
  const bool eom = is_eom(ch.cmd_class);
  const u32 extra = eom && rsp != T30C_PIP && rsp != T30C_PIN ? t30_timer_handle(ch, TI_T2) : 0;
  t30_fm_control(ch, 'd', ch.cmd_modulation, true, 0, extra);
  const bool good = rsp == T30C_MCF || (rsp == T30C_ERR && ch.cmd_was_eor);
  if (eop_family(ch.cmd_class)) ch.eop_completed = good;
  if (good && is_mps(ch.cmd_class)) {
    // The next page follows.
    t30_fm_control(ch, 'f', ch.modulation);
    if (ch.machine == T30_MAIN) t30_set_state(ch, t30_m2::wait_page);
    return;
  }
  if (eom && good) {
    // A new phase B follows: T2, then DIS.
    t30_enter(ch, t30_m2::wait_user);
    ch.dis_sends = 0;
    return;
  }
  t30_fm_control(ch, 'e', ch.cmd_modulation);
  if (ch.machine == T30_MAIN) t30_set_state(ch, t30_m2::next_command);
}

// PMC / PMC5: a post-message command after a page.
void t30_act_pmc(t30_channel& ch, u16 enter_state5) {
  const u8 cls = static_cast<u8>(fold(t30_classify(ch.rx)));
  ch.cmd_class = cls;
  ch.last_cmd_class = cls;
  t30_timer_start(ch, TI_TANSW);
  ch.resp_flags |= RF_WINDOW_OPEN | RF_CMD_RECEIVED;
  t30_fm_control(ch, 'e', ch.cmd_modulation);
  if (eop_family(cls)) ch.eop_received = true;
  if (enter_state5) t30_set_state(ch, t30_m2::receiving_page);
  if (!ch.page_cmd_reported) {
    ch.page_cmd_reported = true;
    const bool ecm = t30_ecm_active(ch);
    const u16 verdict = verdict_code(ch.page_verdict);
    ch.response_class = ecm ? t30_ecm_response(ch) : response_class(verdict);
    t30_send_user_words(ch, T30_END_PAGE_IN,
                        {verdict, command_code(cls), static_cast<u16>(ecm ? 0 : ch.rx_good_lines), ch.modulation,
                         static_cast<u16>(ecm ? 0 : ch.rx_bad_lines)});
    ch.resp_flags |= RF_WAIT_USER;
    ch.resp_flags &= static_cast<u16>(~RF_USER_ANSWERED);
    // The user's answer is awaited under TI_TRST, with ECM too.
    t30_timer_start(ch, TI_TRST);
  }
  t30_resp(ch);
}

// RESEND: a command again while its response was already sent.
void t30_act_resend(t30_channel& ch, u16) {
  const u8 cls = fold(t30_classify(ch.rx));
  if (cls != ch.last_cmd_class) {
    t30_stop(ch, t30_protocol_cause(WAUXFR));
    return;
  }
  if (t30_timer_running(ch, TI_T2)) t30_timer_stop(ch, TI_T2);
  t30_build_single(ch, ch.response_class);
  t30_fm_control(ch, 'd', ch.cmd_modulation, true);
  if (t30_in(ch, t30_m2::wait_page)) t30_fm_control(ch, 'f', ch.modulation);
  else t30_fm_control(ch, 'e', ch.cmd_modulation);
  if (t30_in(ch, t30_m2::wait_user)) t30_set_state(ch, t30_m2::next_command);
}

// PMC2: MPS while waiting for page data.
void t30_act_pmc2(t30_channel& ch, u16) {
  const u8 cls = fold(t30_classify(ch.rx));
  if (cls != ch.last_cmd_class && !is_mps(ch.last_cmd_class)) {
    t30_act_pmc(ch, 1);
    return;
  }
  t30_act_resend(ch, 0);
}

// EPR: the user's answer to T30_END_PAGE_IN.
void t30_act_epr(t30_channel& ch, u16) {
  static constexpr u16 answers[8] = {T30_RSP_MCF, T30_RSP_RTP, T30_RSP_RTN, 0xFFFF,
                                     T30_RSP_PIP, T30_RSP_PIP, T30_RSP_PIN, 0xFFFF};
  const u16 index = t30_param(t30_current_msg(), 0);
  if (index > 7 || answers[index] == 0xFFFF) {
    t30_stop(ch, t30_protocol_cause(WRCOMP));
    return;
  }
  t30_timer_stop(ch, TI_TRST);
  ch.response_class = t30_ecm_active(ch) ? t30_ecm_response(ch) : response_class(answers[index]);
  ch.resp_flags = static_cast<u16>((ch.resp_flags & ~RF_WAIT_USER) | RF_USER_ANSWERED);
  t30_resp(ch);
}

// PG: the page carrier started (1) or HDLC came instead (2).
void t30_act_pg(t30_channel& ch, u16) {
  const u16 what = t30_param(t30_current_msg(), 1);
  if (what == 1) {
    if (ch.pages == 0 && !ch.page_cmd_reported) t30_send_cap_area(ch, T30_EONEG_IN, ch.result, ch.user_selection);
    ch.page_cmd_reported = false;
    ch.resp_flags = 0;
    ch.rx_rearms = 0;
    ch.page_verdict = t30_page_response::mcf;
    t30_set_state(ch, t30_m2::receiving_page);
    t30_page_rx_start(ch);
    return;
  }
  if (what == 2) {
    if (!(ch.resp_flags & RF_CMD_RECEIVED)) t30_fm_control(ch, 'e', ch.cmd_modulation);
    return;
  }
  t30_stop(ch, t30_protocol_cause(WUNEXP));
}

// PCD: the page reception ended.
void t30_act_pcd(t30_channel& ch, u16) {
  t30_page_rx_end(ch);
  if (ch.page_finished) ++ch.pages;
}
