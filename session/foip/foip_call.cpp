// The call automaton of the FOIP entity's SIP side.
#include "session/foip/foip_call.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "runtime/automaton.h"
#include "runtime/entity.h"
#include "runtime/entity_ids.h"
#include "session/foip/foip_call_info.h"
#include "session/foip/foip_ctx.h"
#include "session/foip/foip_err.h"
#include "session/foip/foip_sip_build.h"
#include "session/foip/foip_sip_mgt.h"
#include "session/foip/foip_t38_mgt.h"
#include "session/trace/foip_trc.h"
#include "sip/prim/ssc_codes.h"
#include "sip/prim/ssc_header.h"

namespace {

using H = ssc_header_id;

std::array<sip_call__ctx, FOIP__MAX_SIP_CALL + 1> g_calls;

constexpr const char PAD[] = "\n                            ";

// ---------------------------------------------------------------------------
// Small helpers.

nai_t sig_nai() { return sip_mgt__glb().glb_sip_param.sig_nai; }
ssc_handle* rx() { return sip_mgt__glb().rx_handle; }
ssc_handle* tx() { return sip_mgt__glb().build_handle; }

timer_cell_t* timer_of(const sip_call__ctx& c) {
  const u16 i = static_cast<u16>(c.conn_id - FOIP__SIP_CALL_CONN_BASE);
  return c.conn_id >= FOIP__SIP_CALL_CONN_BASE && i < FOIP__MAX_SIP_CALL ? sip_mgt__glb().call[i].timer : nullptr;
}

void start_wait(sip_call__ctx& c, u32 d) {
  timer_cell_t* t = timer_of(c);
  if (!t) return;
  ++c.timer_seq;
  c.timer_armed = 1;
  Timer_start(t, d, c.timer_seq, FOIP__WAIT_T38_CAP);
}
// The wait of the timer rule: the re-INVITE delay (+100 ms incoming).
void start_wait(sip_call__ctx& c) {
  const u32 d = sip_mgt__glb().glb_sip_param.re_invite_delay;
  start_wait(c, c.direction == FOIP_CALL__OUTGOING ? d : d + 100);
}
void stop_wait(sip_call__ctx& c) {
  c.timer_armed = 0;
  if (timer_cell_t* t = timer_of(c)) Timer_stop(t);
}

void event_line(u16 cls, const char* text) { foip_trc__print_event(sig_nai(), cls, text); }

void conn_line(const sip_call__ctx& c, const char* fmt, u16 cls = FOIP__SIP_EVT_1) {
  char text[253];
  (void)std::snprintf(text, sizeof text, fmt, sig_nai(), c.conn_id);
  event_line(cls, text);
}

void trap(const sip_call__ctx& c, u16 code, const char* name, const char* who, const char* what) {
  char text[160];
  (void)std::snprintf(text, sizeof text, "FOIP: (%s) %s", who, what);
  Foip__trap(sig_nai(), c.conn_id, FOIP__TRAP_CLASS, code, name, text);
}
void trap_no_session(const sip_call__ctx& c, const char* who) {
  trap(c, FOIP__TRAP__SIP_MEDIA_CTX_NOT_SET, "FOIP__TRAP__SIP_MEDIA_CTX_NOT_SET", who,
       "p_call_ctx->p_na_media_ctx = P_NIL ??");
}

bool decode(const sip_call__ctx& c, const char* who) {
  msg_t* m = foip__current_msg();
  if (m && rx() && Ssc_unformat_msg(rx(), m) == 2) return true;
  trap(c, FOIP__TRAP__SIP_SC_UNFORMAT_MSG, "FOIP__TRAP__SIP_SC_UNFORMAT_MSG", who, "Ssc_unformat_msg returns NOK");
  return false;
}

void set_status(sip_call__ctx& c, u16 code) {
  c.info.sip_ret_code = code;
  foip__copy_text(c.info.sz_sip_ret_code, foip_err__ret_code_text(code));
}
void set_status(sip_call__ctx& c, u16 code, const char* text) {
  c.info.sip_ret_code = code;
  foip__copy_text(c.info.sz_sip_ret_code, text);
}

void bind(sip_call__ctx& c, foip__na_ctx* s) {
  c.session = s;
  foip__set_sip_call(s, &c, true);
  foip__copy_text(c.local_user, s->param.t38_media_add_param.sip_media_identification.sz_local_user_name);
}
// Drops the links both ways (the session's only when it still names us).
void unbind(sip_call__ctx& c) {
  if (c.session && c.session->sip_call == &c) foip__set_sip_call(c.session, nullptr, false);
  c.session = nullptr;
}

void close_session(sip_call__ctx& c, u16 code = 0, const char* reason = nullptr) {
  (void)send_ssc_close_session_rq(tx(), sig_nai(), c.conn_id, code, reason);
}
void ack(sip_call__ctx& c) { (void)send_ssc_ack_rq(tx(), sig_nai(), c.conn_id); }

// An internal message to the session-control automaton.
void send_session_mngt(nai_t nai, code_t code, u16 result, u16 origin, u16 source, u16 value) {
  msg_t* m = foip__make_mgt(code, nai, result, origin, source, value);
  if (!m) {
    Foip__trap(sig_nai(), FOIP__CONN_NONE, FOIP__TRAP_CLASS, FOIP__TRAP__ERR_SEND_MNGT_PRIMITIVE,
               "FOIP__TRAP__ERR_SEND_MNGT_PRIMITIVE",
               "FOIP: (Foip__send_session_mngt_msg) Can't send Management primitive (p_rcv_msg = P_NIL)");
    return;
  }
  Send_msg(m);
}

u16 origin_flag(const sip_call__ctx& c) { return c.direction == FOIP_CALL__OUTGOING ? 1 : 0; }

void call_opened_ok(sip_call__ctx& c) {
  if (c.session) send_session_mngt(c.session->nai, FOIP_MGT__SIP_CALL_OPENED, 2, origin_flag(c), 0, 0);
  c.call_opened = 1;
}

bool on_hold(const foip__negotiated_media& m) {
  return m.sz_rem_media_fqdn[0] == '\0' && m.rem_media_family == OM_IP_FAMILY_V4 && m.rem_media_ipv4[0] == 0 &&
         m.rem_media_ipv4[1] == 0 && m.rem_media_ipv4[2] == 0 && m.rem_media_ipv4[3] == 0;
}

// ---------------------------------------------------------------------------
// Media.

void start_t38_incoming_tcp(sip_call__ctx& c) {
  foip__na_ctx* s = c.session;
  if (!s || c.direction == FOIP_CALL__OUTGOING || s->kind_of_t38_transport != 'T' || on_hold(c.info.media)) return;
  if (foip__hooks().t38_mgt__automaton) foip__hooks().t38_mgt__automaton(s, T38_MGT__EVT_USR_ACT_RQ, 'T', 'I');
}

// T.38 accepted in an answer or an ACK.
void accept_t38_media(sip_call__ctx& c, u16 idx) {
  c.incompatible = 0;
  foip_call__set_remote_media(c, idx, c.sdp.media[idx].t38);
  foip_call__display_media(c);
  foip_call__send_report(FOIP__EVENT__SIP_CALL_OPEN, c);
  if (on_hold(c.info.media)) {
    stop_wait(c);
    c.state = CALL_PROGRESS;
    return;
  }
  c.state = CALL_DONE;
  start_t38_incoming_tcp(c);
  call_opened_ok(c);
}

// Refuses the call being set up with a final status.
void refuse(sip_call__ctx& c, u16 code, const char* reason) {
  set_status(c, code);
  close_session(c, code, reason);
  c.state = FREE_PROGRESS;
}

// Reads the SDP of an offer (INVITE or re-INVITE) into the call: false
// when the call was refused for it.
bool read_offer(sip_call__ctx& c, code_t prim) {
  u16 enabled = 0, total = 0;
  const u8 r = decode_sdp__remote(prim, rx(), foip_call__env(c.session), c.sdp, &enabled, &total);
  c.offer_total = total;
  c.offer_had_sdp = r == FOIP_SDP__DECODED ? 1 : 0;
  // RFC 3264: the answer has as many m-lines as the offer; more than we keep
  // cannot be answered.
  if (total > FOIP_SDP__MAX_MEDIA) {
    stop_wait(c);
    refuse(c, 488, "Not Acceptable Here");
    return false;
  }
  if (r == FOIP_SDP__NO_ADDRESS) {
    stop_wait(c);
    refuse(c, 400, "NO remote media IP address");
    return false;
  }
  if (r == FOIP_SDP__BAD_SDP) {
    stop_wait(c);
    refuse(c, 406, "Several SDP section");
    return false;
  }
  return true;
}

// The 200 answer to an INVITE (with or without SDP): 0 refused (415 sent),
// 1 answered without T.38, 2 answered with T.38.
u8 answer_with_description(sip_call__ctx& c) {
  u8 sel = 1;
  if (c.offer_had_sdp && c.sdp.media_count > 0) {
    const foip_sdp__env env = foip_call__env(c.session);
    u16 idx = 0, lport = 0, nport = 0;
    sel = check_t38_cap_remote_vs_local(c.sdp, env, &idx, &lport, &nport);
    if (sel == 0) {
      (void)create_sdp__main_body__origin__dscp(env, c.origin_seed, c.sdp);
      refuse(c, 415, "No compatible T.38 capabilites");
      return 0;
    }
    if (sel == 2) {
      foip_sdp__media& m = c.sdp.media[idx];
      foip_sdp__t38_param run = foip_sdp__negotiate_t38(*env.local, m);
      if (m.transport == FOIP_SDP__UDPTL) {
        run.udptl_param.fax_max_buffer_size = m.t38.udptl_param.fax_max_buffer_size;
        run.udptl_param.max_datagram_size = m.t38.udptl_param.max_datagram_size;
      }
      foip_call__set_remote_media(c, idx, run);
      start_t38_incoming_tcp(c);
    }
    for (u16 i = 0; i < c.sdp.media_count; ++i) {
      foip_sdp__media& m = c.sdp.media[i];
      if (i == idx) m.port = env.flag_nat_support == 1 ? nport : lport;
      else m.port = 0;
    }
    foip_sdp__make_answer(c.sdp, env, c.origin_seed, nullptr);
  }
  set_status(c, 200);
  if (c.offer_had_sdp) (void)foip_call__send_invite_rs_OK(c);
  else (void)send_ssc_invite_rs_OK_with_offer(c);
  return sel;
}

// ---------------------------------------------------------------------------
// Actions.

void close_call(sip_call__ctx& c) {
  if (!c.session) return trap_no_session(c, "close_call");
  close_session(c);
}

// A message that cannot be read leaves the call to ENT_SSC to close.
void give_up(sip_call__ctx& c) {
  close_session(c);
  c.state = FREE_PROGRESS;
}

void no_media_line(sip_call__ctx& c, u8 r) {
  char text[160];
  (void)std::snprintf(
      text, sizeof text, "%s%s", PAD,
      r == FOIP_SDP__NO_ADDRESS ? "No compatible media (NO remote media IP address)" : "No compatible media (Bad SDP)");
  event_line(FOIP__SIP_EVT_1, text);
  set_status(c, r == FOIP_SDP__NO_ADDRESS ? 3 : 2);
}

void incompatible_line(const sip_call__ctx& c) {
  char text[96];
  (void)std::snprintf(text, sizeof text, "%sNo compatible or enabled media", PAD);
  event_line(FOIP__SIP_EVT_1, text);
  foip_call__display_media(c);
}

// Ten incompatible answers in a row end the call (status 1).
bool too_many_incompatible(sip_call__ctx& c) {
  if (c.incompatible < FOIP_CALL__MAX_INCOMPATIBLE) {
    ++c.incompatible;
    return false;
  }
  c.incompatible = 0;
  return true;
}

void process_ssc_invite_co(sip_call__ctx& c) {
  static constexpr char WHO[] = "process_ssc_invite_co";
  if (!c.session) {
    trap_no_session(c, WHO);
    return give_up(c);
  }
  if (!decode(c, WHO)) return give_up(c);
  const auto* st = Ssc_first<ssc_hdr_status>(rx(), H::RETURN_CODE);
  if (!ssc_ptr_set(st)) {
    trap(c, FOIP__TRAP__SIP_INVITE_CO_NO_RET_CODE, "FOIP__TRAP__SIP_INVITE_CO_NO_RET_CODE", WHO,
         "SSC_INVITE_CO without return code");
    return give_up(c);
  }
  const u16 code = st->code;
  set_status(c, code);
  char text[253];
  (void)std::snprintf(text, sizeof text,
                      "\n(nai %d, conn_id %3d) SSC Evt: Receive SSC_INVITE_CO (Ret code: (%d)%s%.100s)", sig_nai(),
                      c.conn_id, code, " ", c.info.sz_sip_ret_code);
  event_line(FOIP__SIP_EVT_1, text);
  foip_call__fill_outgoing_info(c);
  if (code >= 200 && code < 300) {
    u16 enabled = 0;
    const u8 r = decode_sdp__remote(SSC_INVITE_CO, rx(), foip_call__env(c.session), c.sdp, &enabled);
    if (r == FOIP_SDP__NO_ADDRESS || r == FOIP_SDP__BAD_SDP) {
      no_media_line(c, r);
      foip_call__send_report(FOIP__EVENT__SIP_CALL_OPEN, c);
      ack(c);
      close_session(c);
      c.state = FREE_PROGRESS;
      return;
    }
    if (r == FOIP_SDP__DECODED) {
      u16 idx = 0;
      const u8 sel = check_t38_cap_remote_vs_local(c.sdp, foip_call__env(c.session), &idx, nullptr, nullptr);
      if (sel == 2 && enabled < 2) {
        accept_t38_media(c, idx);
        ack(c);
        return;
      }
      if (sel == 2 || sel == 1) {
        c.incompatible = 0;
      } else {
        incompatible_line(c);
        if (too_many_incompatible(c)) {
          ack(c);
          close_session(c);
          set_status(c, 1);
          foip_call__send_report(FOIP__EVENT__SIP_CALL_OPEN, c);
          c.state = FREE_PROGRESS;
          return;
        }
      }
    }
    c.re_invite_allowed = 1;
    start_wait(c);
    ack(c);
    c.state = CALL_PROGRESS_2;
    return;
  }
  if (code == 491) {
    foip_call__send_report(FOIP__EVENT__SIP_CALL_OPEN, c);
    c.re_invite_allowed = 1;
    u32 d = c.backoff_ms;
    if (c.backoff_ms > 2000) {
      d = 0;
      c.backoff_ms = 50;
    } else {
      c.backoff_ms += 50;
    }
    if (c.direction == FOIP_CALL__OUTGOING) d += 2100;
    start_wait(c, d);
    c.state = CALL_PROGRESS_2;
    return;
  }
  if (code >= 300) {
    (void)std::snprintf(text, sizeof text, "%sCall rejected", PAD);
    event_line(FOIP__SIP_EVT_1, text);
    foip_call__send_report(FOIP__EVENT__SIP_CALL_OPEN, c);
    close_session(c);
    c.state = FREE_PROGRESS;
    return;
  }
  if (code < 100) {
    (void)std::snprintf(text, sizeof text, "%sInternal error (call aborted)", PAD);
    event_line(FOIP__SIP_EVT_1, text);
  }
  foip_call__send_report(FOIP__EVENT__SIP_CALL_OPEN, c);
}

void process_sip_invite_co(sip_call__ctx& c) {
  if (!c.session) return trap_no_session(c, "process_sip_invite_co");
  if (!c.re_invite_allowed) {
    start_wait(c);
    c.state = CALL_PROGRESS_2;
    return;
  }
  stop_wait(c);
  // The re-INVITE builds its offer from the description we sent last (every
  // line kept, disabled but for T.38): nothing of the far end's answer is
  // carried over.
  switch (sip_mgt__glb().glb_sip_param.operating_mode) {
    case FOIP__SEND_RE_INVITE:
    case FOIP__INVITE_MEDIA_AUDIO__SEND_RE_INVITE:
    case FOIP__INVITE_MEDIA_AUDIO__SEND_RE_INVITE_T38:
    case FOIP__SEND_RE_INVITE__2:
    case FOIP__INVITE_MEDIA_AUDIO__SEND_RE_INVITE__2:
      if (send_ssc_invite_rq(true, c) == 2) {
        c.state = CALL_PROGRESS;
        return;
      }
      // Nothing could be offered: the call cannot go to T.38.
      set_status(c, 1);
      close_session(c);
      c.state = FREE_PROGRESS;
      return;
    default:
      set_status(c, 5);
      close_session(c);
      c.state = FREE_PROGRESS;
      return;
  }
}

// Accepts an incoming call: the 200 answer (with T.38, or audio first).
void accept_incoming(sip_call__ctx& c) {
  if (!c.session) return trap_no_session(c, "eof__process_incoming_call_sip_invite_in__process_foip__alert_rs");
  if (c.set_param_pending) {
    c.set_param_pending = 0;
    (void)send_ssc_set_param_session_rq(c);
  }
  if (c.offer_had_sdp) {
    conn_line(c, "\n(nai %d, conn_id %3d) SSC Evt: Prepare SSC_INVITE_RS (200 OK)", FOIP__SIP_EVT_2);
    foip_call__display_media(c);
  }
  const u8 sel = answer_with_description(c);
  if (sel == 0) return;
  if (sel == 2) {
    c.state = CALL_PROGRESS;
    return;
  }
  c.re_invite_allowed = 0;
  start_wait(c);
  c.state = CALL_PROGRESS_2;
}

void process_incoming_call_sip_invite_in(sip_call__ctx& c) {
  static constexpr char WHO[] = "process_incoming_call_sip_invite_in";
  c.direction = FOIP_CALL__INCOMING;
  if (!decode(c, WHO)) return refuse(c, 400, "Bad Request");
  const auto* to = Ssc_first<ssc_hdr_name_addr>(rx(), H::TO);
  if (!ssc_ptr_set(to)) {
    trap(c, FOIP__TRAP__SIP_INVITE_IN_NO_TO, "FOIP__TRAP__SIP_INVITE_IN_NO_TO", WHO, "SIP_INVITE_IN without field To:");
    return refuse(c, 400, "Bad Request");
  }
  foip_call__fill_incoming_info(c, to);
  conn_line(c, "\n(nai %d, conn_id %3d) SIP Evt: Receive SIP_INVITE_IN");
  if (!read_offer(c, SSC_INVITE_IN)) return;
  if (foip__na_ctx* s = foip_mgt__take_incoming_session(c.info.local.sz_user_name, c.info.local.sz_phone_number)) {
    bind(c, s);
    return accept_incoming(c);
  }
  if (!foip_call__send_alert_in(c, c.offer_total)) {
    trap(c, FOIP__TRAP__ERR_ALLOC_MSG_BUFFER, "FOIP__TRAP__ERR_ALLOC_MSG_BUFFER", WHO, "Can't allocate Msg/buffer");
    return refuse(c, 500, "Server Internal Error");
  }
  c.alert_sent = 1;
  c.state = CALL_PROGRESS;
}

void provisional(sip_call__ctx& c, u8 kind) {
  if (c.set_param_pending) {
    c.set_param_pending = 0;
    (void)send_ssc_set_param_session_rq(c);
  }
  (void)send_ssc_invite_rs_PROVISIONAL(tx(), sig_nai(), c.conn_id, kind);
}

void stop_in(sip_call__ctx& c, u8 source, u8 code) {
  foip__send_stop_in(source, code, foip__glb().user_entity, sig_nai(), c.conn_id, nullptr);
  c.final_report = 1;
}

// Reads the answer of the application; null (trap) when it cannot.
std::unique_ptr<foip__alert> read_alert(const sip_call__ctx& c, const char* who) {
  auto rec = std::make_unique<foip__alert>();
  msg_t* m = foip__current_msg();
  if (m && foip_api__read_record(m, FOIP__ALERT_RS, rec.get()) == FOIP_API__OK) return rec;
  trap(c, FOIP__TRAP__ERR_ALLOC_MSG_BUFFER, "FOIP__TRAP__ERR_ALLOC_MSG_BUFFER", who, "Can't allocate Msg/buffer");
  return nullptr;
}

// The sequence check of the application's answers: true when the answer
// goes on.
bool alert_sequence_ok(sip_call__ctx& c, u8 answer) {
  const u8 prev = c.last_alert_answer;
  if (prev == FOIP__ALERT_REJECT) {
    set_status(c, 7);
    stop_in(c, 0, 7);
    return false;
  }
  if (prev == FOIP__ALERT_ACCEPT && answer == FOIP__ALERT_REJECT) {
    set_status(c, 7);
    stop_in(c, 0, 7);
    close_session(c);
    c.state = FREE_PROGRESS;
    return false;
  }
  return prev != FOIP__ALERT_ACCEPT;
}

void reject(sip_call__ctx& c, u16 status, const char* reason) {
  if (c.provisional_pending) {
    c.provisional_pending = 0;
    (void)send_ssc_invite_rs_PROVISIONAL(tx(), sig_nai(), c.conn_id, 4);
  }
  if (status < 400) {
    status = 404;
    reason = "Address of T.38 session not found";
  }
  if (reason == nullptr || reason[0] == '\0') reason = "Not set";
  set_status(c, status, reason);
  close_session(c, status, c.info.sz_sip_ret_code);
  c.state = FREE_PROGRESS;
}

void process_foip__alert_rs(sip_call__ctx& c) {
  static constexpr char WHO[] = "process_foip__alert_rs";
  // Only an incoming call that was offered to the application takes an
  // answer: a late one for an earlier call on this record is dropped.
  if (c.direction != FOIP_CALL__INCOMING || !c.alert_sent) return;
  const auto rec = read_alert(c, WHO);
  if (!rec) return give_up(c);
  const u8 answer = rec->answer;
  if (!alert_sequence_ok(c, answer)) return;
  c.last_alert_answer = answer;
  if (answer == FOIP__ALERT_REJECT) {
    char reason[FOIP__ALERT_TEXT_SIZE];
    foip__copy_text(reason, rec->sz_text);
    return reject(c, rec->sip_status, reason);
  }
  if (answer != FOIP__ALERT_PROVISIONAL && !c.session) {
    msg_t* m = foip__current_msg();
    foip__na_ctx* s = nullptr;
    const u8 r = foip__chk_session_param(FOIP__ALERT_RS, m->nai, rec->session_param, m->from, &s);
    if (r != 2 || !s) {
      stop_in(c, FOIP__START_ERR_SRC__FOIP_CHK_PARAM, r);
      return reject(c, 500, "Server Internal Error (Wrong Config parameter)");
    }
    s->q_status = FOIP_MGT__Q_ACTIVE;
    s->state = FOIP_MGT__SIP_CALL_PROGRESS;
    if (s->direction == 0) s->direction = 'I';
    auto& id = s->param.t38_media_add_param.sip_media_identification;
    if (id.sz_local_user_name[0] == '\0') foip__copy_text(id.sz_local_user_name, c.info.local.sz_user_name);
    if (id.sz_local_user_phone_number[0] == '\0')
      foip__copy_text(id.sz_local_user_phone_number, c.info.local.sz_phone_number);
    bind(c, s);
  }
  switch (answer) {
    case 4:
      provisional(c, 4);
      c.provisional_pending = 0;
      return;
    case FOIP__ALERT_RINGING:
      if (c.provisional_pending) {
        c.provisional_pending = 0;
        provisional(c, 4);
      }
      provisional(c, 5);
      return;
    case FOIP__ALERT_PROVISIONAL:
      (void)send_ssc_invite_rs_PROVISIONAL(tx(), sig_nai(), c.conn_id, 4);
      c.provisional_pending = 0;
      return;
    default:
      if (c.provisional_pending) {
        c.provisional_pending = 0;
        provisional(c, 4);
      }
      return accept_incoming(c);
  }
}

void process_foip__alert_rs_2(sip_call__ctx& c) {
  if (c.direction != FOIP_CALL__INCOMING || !c.alert_sent) return;
  const auto rec = read_alert(c, "process_foip__alert_rs_2");
  if (!rec) return;
  (void)alert_sequence_ok(c, rec->answer);
}

// ACK in CALL_PROGRESS (`check_hold`) or CALL_DONE.
void ack_in(sip_call__ctx& c, bool check_hold, const char* who) {
  if (!c.session) return trap_no_session(c, who);
  if (!decode(c, who)) return give_up(c);
  if (const auto* st = Ssc_first<ssc_hdr_status>(rx(), H::RETURN_CODE); ssc_ptr_set(st)) set_status(c, st->code);
  if (c.info.sip_ret_code < 100) {
    char text[96];
    (void)std::snprintf(text, sizeof text, "\n                              Internal error (call aborted)");
    event_line(FOIP__SIP_EVT_1, text);
    c.state = FREE_PROGRESS;
    close_session(c);
    foip_call__send_report(FOIP__EVENT__SIP_CALL_OPEN, c);
    return;
  }
  if (check_hold && on_hold(c.info.media)) {
    c.state = CALL_PROGRESS;
    return;
  }
  if (!c.call_opened) {
    foip_call__send_report(FOIP__EVENT__SIP_CALL_OPEN, c);
    call_opened_ok(c);
  }
  c.state = CALL_DONE;
}

void process_ssc_ack_in_2(sip_call__ctx& c) {
  static constexpr char WHO[] = "process_ssc_ack_in_2";
  if (!c.session) return trap_no_session(c, WHO);
  if (!decode(c, WHO)) return give_up(c);
  const u8 r = decode_sdp__remote(SSC_ACK_IN, rx(), foip_call__env(c.session), c.sdp, nullptr);
  if (r == FOIP_SDP__NO_SDP) {
    c.re_invite_allowed = 1;
    c.state = CALL_PROGRESS_2;
    return;
  }
  if (r != FOIP_SDP__DECODED) {
    no_media_line(c, r);
    foip_call__send_report(FOIP__EVENT__SIP_CALL_OPEN, c);
    close_session(c);
    c.state = FREE_PROGRESS;
    return;
  }
  u16 idx = 0;
  const u8 sel = check_t38_cap_remote_vs_local(c.sdp, foip_call__env(c.session), &idx, nullptr, nullptr);
  if (sel == 2) return accept_t38_media(c, idx);
  if (sel == 0) {
    incompatible_line(c);
    if (too_many_incompatible(c)) {
      close_session(c);
      c.state = FREE_PROGRESS;
      set_status(c, 1);
      foip_call__send_report(FOIP__EVENT__SIP_CALL_OPEN, c);
      return;
    }
  } else {
    c.incompatible = 0;
  }
  c.re_invite_allowed = 1;
  start_wait(c);
  c.state = CALL_PROGRESS_2;
}

void process_ssc_re_invite_in(sip_call__ctx& c) {
  static constexpr char WHO[] = "process_ssc_re_invite_in";
  if (!c.session) {
    trap_no_session(c, WHO);
    return refuse(c, 500, "Server Internal Error");
  }
  if (!decode(c, WHO)) return refuse(c, 400, "Bad Request");
  conn_line(c, "\n(nai %d, conn_id %3d) SSC Evt: Receive SSC_INVITE_IN (re-invite)");
  if (!read_offer(c, SSC_INVITE_IN)) return;
  if (c.offer_had_sdp) foip_call__display_media(c);
  const u8 sel = answer_with_description(c);
  if (sel == 0) {
    stop_wait(c);
    return;
  }
  if (sel == 2) {
    stop_wait(c);
    c.state = c.direction == FOIP_CALL__OUTGOING && !on_hold(c.info.media) ? CALL_DONE : CALL_PROGRESS;
    return;
  }
  c.re_invite_allowed = 0;
  start_wait(c);
  c.state = CALL_PROGRESS_2;
}

// The error number (0 when the media line matches the open T.38 session).
u8 t38_mismatch(const sip_call__ctx& c, const foip_sdp__media& m) {
  if (m.type != FOIP_SDP__IMAGE || m.format != FOIP_SDP__FORMAT_T38) return 1;
  const u8 open = c.negotiated_transport;
  if (m.transport == FOIP_SDP__UDPTL && open == FOIP_SDP__TCP) return 2;
  if (m.transport == FOIP_SDP__TCP && open == FOIP_SDP__UDPTL) return 3;
  if (m.transport != FOIP_SDP__UDPTL && m.transport != FOIP_SDP__TCP) return 5;
  const foip__negotiated_media& nm = c.info.media;
  const bool media_level = m.conn.host[0] != '\0' || m.conn.family != OM_IP_FAMILY_NONE;
  const foip_sdp__conn& cn = media_level ? m.conn : c.sdp.conn;
  if (std::strncmp(cn.host, nm.sz_rem_media_fqdn, sizeof nm.sz_rem_media_fqdn) != 0) return media_level ? 6 : 8;
  if (cn.family != nm.rem_media_family ||
      (cn.family == OM_IP_FAMILY_V4 && std::memcmp(cn.ipv4, nm.rem_media_ipv4, 4) != 0))
    return media_level ? 7 : 9;
  if (m.port != nm.rem_media_port) return 10;
  if (m.transport == FOIP_SDP__UDPTL) {
    const auto& r = m.t38.udptl_param;
    const auto& n = c.negotiated.udptl_param;
    const u8* st = m.t38_state;
    auto given = [&](u8 k) { return st[k] == FOIP_SDP__ATTR_REMOTE; };
    if (given(FOIP_SDP__T38_VERSION) && r.t38_version < n.t38_version) return 11;
    if (given(FOIP_SDP__T38_MAX_BIT_RATE) && r.fax_max_bit_rate < n.fax_max_bit_rate) return 12;
    if (given(FOIP_SDP__T38_MAX_BUFFER) && r.fax_max_buffer_size < n.fax_max_buffer_size) return 13;
    if (given(FOIP_SDP__T38_MAX_DATAGRAM) && r.max_datagram_size < n.max_datagram_size) return 14;
    if (given(FOIP_SDP__T38_RATE_MGT) && r.drate_mgt_method != n.drate_mgt_method) return 15;
    if (given(FOIP_SDP__T38_FILL_BIT) && r.remove_fill_bits_t4 != n.remove_fill_bits_t4) return 16;
    if (given(FOIP_SDP__T38_MMR) && r.transcode_mmr != n.transcode_mmr) return 17;
    if (given(FOIP_SDP__T38_UDP_EC) && r.udp_ec != n.udp_ec) return 18;
    return 0;
  }
  const auto& r = m.t38.tpkt_param;
  const auto& n = c.negotiated.tpkt_param;
  if (r.t38_version < n.t38_version) return 20;
  if (r.fax_max_bit_rate < n.fax_max_bit_rate) return 21;
  if (r.drate_mgt_method != n.drate_mgt_method) return 22;
  if (r.remove_fill_bits_t4 != n.remove_fill_bits_t4) return 23;
  if (r.transcode_mmr != n.transcode_mmr) return 24;
  return 0;
}

void process_ssc_re_invite_in__t38_opened(sip_call__ctx& c) {
  static constexpr char WHO[] = "process_ssc_re_invite_in__t38_opened";
  if (!c.session) {
    trap_no_session(c, WHO);
    return refuse(c, 500, "Server Internal Error");
  }
  conn_line(c, "\n(nai %d, conn_id %3d) SSC Evt: Receive SSC_INVITE_IN (Media T.38 already opened)");
  if (!decode(c, WHO)) return refuse(c, 400, "Bad Request");
  if (!read_offer(c, SSC_INVITE_IN)) return;
  for (u16 i = 0; c.offer_had_sdp && i < c.sdp.media_count; ++i) {
    if (c.sdp.media[i].port == 0) continue;
    if (const u8 err = t38_mismatch(c, c.sdp.media[i]); err != 0) {
      char reason[64];
      (void)std::snprintf(reason, sizeof reason, "Not Acceptable: Media T.38 already opened (Err %d)", err);
      (void)send_ssc_invite_rs_NOK(tx(), sig_nai(), c.conn_id, 406, reason);
      return;
    }
  }
  (void)answer_with_description(c);
  c.state = CALL_DONE;
}

void process_ssc_error_in(sip_call__ctx& c) {
  conn_line(c, "\n(nai %d, conn_id %3d) SSC Evt: SSC_ERROR_IN", FOIP__SIP_EVT_3);
  msg_t* m = foip__current_msg();
  if (!m || Msg_total_size(m) < 8) return;
  u8 b[8];
  std::memcpy(b, Msg_data(m), 8);
  char text[400];
  if (format_ssc_error_in(text, sizeof text, b, sizeof b, sig_nai(), c.conn_id) > 0) event_line(FOIP__SIP_EVT_3, text);
  set_status(c, static_cast<u16>(b[2] | (b[3] << 8)));
}

void process_sm_report_in(sip_call__ctx& c) {
  msg_t* m = foip__current_msg();
  if (!m || Msg_total_size(m) < 5) return;
  u8 b[72] = {};  // the longest report body (ENT_SIP's)
  const u32 n = std::min<u32>(Msg_total_size(m), sizeof b);
  std::memcpy(b, Msg_data(m), n);
  const u8 kind = b[1];
  if (kind != 'e' && kind != 'r') return;
  const bool sip = b[0] == ENT_SIP;
  if (sip && kind == 'r' && static_cast<u16>(b[2] | (b[3] << 8)) == 38 && b[4] == 5) return;
  char text[600];
  int head = std::snprintf(text, sizeof text, "\n(nai %d, conn_id %3d) %s Evt: SM_REPORT_IN (%s) %s\n", sig_nai(),
                           c.conn_id, sip ? "SIP" : "SSC", kind == 'e' ? "REPORT_TYPE_EVENT" : "REPORT_TYPE_ERROR",
                           sip ? "From SIP entity" : "From SSC entity");
  head = std::clamp(head, 0, static_cast<int>(sizeof text) - 1);
  (void)format_sm_report_in(text + head, sizeof text - static_cast<std::size_t>(head), b, n, PAD + 1, sig_nai(),
                            c.conn_id);
  event_line(FOIP__SIP_EVT_3, text);
}

void process_ssc_ack_in(sip_call__ctx& c) { ack_in(c, true, "process_ssc_ack_in"); }
void process_ssc_ack_in_3(sip_call__ctx& c) { ack_in(c, false, "process_ssc_ack_in_3"); }
void nothing(sip_call__ctx&) {}

// ---------------------------------------------------------------------------
// The automaton.  An event's number is the offset of its row in the table
// (event index x 5); the trace shows these numbers.

namespace fsm = kv::fsm;

enum class st : u8 {
  CALL_FREE = ::CALL_FREE,
  CALL_PROGRESS = ::CALL_PROGRESS,
  CALL_PROGRESS_2 = ::CALL_PROGRESS_2,
  CALL_DONE = ::CALL_DONE,
  FREE_PROGRESS = ::FREE_PROGRESS,
  count_
};
enum class ev : u8 {
  EVT_USR_STOP = ::EVT_USR_STOP,
  EVT_SSC_INVITE_CO = ::EVT_SSC_INVITE_CO,
  EVT_SSC_INVITE_IN = ::EVT_SSC_INVITE_IN,
  EVT_SSC_ACK_IN = ::EVT_SSC_ACK_IN,
  EVT_SSC_SESSION_CLOSED_IN = ::EVT_SSC_SESSION_CLOSED_IN,
  EVT_SSC_CLOSE_SESSION_CO = ::EVT_SSC_CLOSE_SESSION_CO,
  EVT_SSC_CALL_CLOSED_IN = ::EVT_SSC_CALL_CLOSED_IN,
  EVT_TI_WAIT_T38_CAP = ::EVT_TI_WAIT_T38_CAP,
  EVT_FOIP__ALERT_RS = ::EVT_FOIP__ALERT_RS,
  EVT_SSC_ERROR_IN = ::EVT_SSC_ERROR_IN,
  EVT_SM_REPORT_IN = ::EVT_SM_REPORT_IN,
  EVT_SSC_SET_PARAM_SESSION_CO = ::EVT_SSC_SET_PARAM_SESSION_CO,
  count_
};
using act = void (*)(sip_call__ctx&);

// Cells not listed: nothing, state kept (SSC_CLOSE_SESSION_CO and
// SSC_SET_PARAM_SESSION_CO only end up in the trace).
constexpr fsm::row<st, ev, act> kRows[] = {
    {st::CALL_PROGRESS, ev::EVT_USR_STOP, close_call, st::FREE_PROGRESS},
    {st::CALL_PROGRESS_2, ev::EVT_USR_STOP, close_call, st::FREE_PROGRESS},
    {st::CALL_DONE, ev::EVT_USR_STOP, close_call, st::FREE_PROGRESS},
    {st::CALL_PROGRESS, ev::EVT_SSC_INVITE_CO, process_ssc_invite_co, fsm::by_action},
    {st::CALL_FREE, ev::EVT_SSC_INVITE_IN, process_incoming_call_sip_invite_in, fsm::by_action},
    {st::CALL_PROGRESS, ev::EVT_SSC_INVITE_IN, process_ssc_re_invite_in, fsm::by_action},
    {st::CALL_PROGRESS_2, ev::EVT_SSC_INVITE_IN, process_ssc_re_invite_in, fsm::by_action},
    {st::CALL_DONE, ev::EVT_SSC_INVITE_IN, process_ssc_re_invite_in__t38_opened, fsm::by_action},
    {st::CALL_PROGRESS, ev::EVT_SSC_ACK_IN, process_ssc_ack_in, fsm::by_action},
    {st::CALL_PROGRESS_2, ev::EVT_SSC_ACK_IN, process_ssc_ack_in_2, fsm::by_action},
    {st::CALL_DONE, ev::EVT_SSC_ACK_IN, process_ssc_ack_in_3, st::CALL_DONE},
    {st::CALL_PROGRESS, ev::EVT_SSC_SESSION_CLOSED_IN, nothing, st::FREE_PROGRESS},
    {st::CALL_PROGRESS_2, ev::EVT_SSC_SESSION_CLOSED_IN, nothing, st::FREE_PROGRESS},
    {st::CALL_DONE, ev::EVT_SSC_SESSION_CLOSED_IN, nothing, st::FREE_PROGRESS},
    {st::FREE_PROGRESS, ev::EVT_SSC_SESSION_CLOSED_IN, nothing, st::FREE_PROGRESS},
    {st::CALL_PROGRESS, ev::EVT_SSC_CALL_CLOSED_IN, nothing, st::CALL_FREE},
    {st::CALL_PROGRESS_2, ev::EVT_SSC_CALL_CLOSED_IN, nothing, st::CALL_FREE},
    {st::CALL_DONE, ev::EVT_SSC_CALL_CLOSED_IN, nothing, st::CALL_FREE},
    {st::FREE_PROGRESS, ev::EVT_SSC_CALL_CLOSED_IN, nothing, st::CALL_FREE},
    {st::CALL_PROGRESS_2, ev::EVT_TI_WAIT_T38_CAP, process_sip_invite_co, fsm::by_action},
    {st::CALL_PROGRESS, ev::EVT_FOIP__ALERT_RS, process_foip__alert_rs, fsm::by_action},
    {st::CALL_PROGRESS_2, ev::EVT_FOIP__ALERT_RS, process_foip__alert_rs_2, fsm::by_action},
    {st::CALL_DONE, ev::EVT_FOIP__ALERT_RS, process_foip__alert_rs_2, fsm::by_action},
    {st::CALL_PROGRESS, ev::EVT_SSC_ERROR_IN, process_ssc_error_in, fsm::keep},
    {st::CALL_PROGRESS_2, ev::EVT_SSC_ERROR_IN, process_ssc_error_in, fsm::keep},
    {st::CALL_DONE, ev::EVT_SSC_ERROR_IN, process_ssc_error_in, fsm::keep},
    {st::CALL_FREE, ev::EVT_SM_REPORT_IN, process_sm_report_in, fsm::keep},
    {st::CALL_PROGRESS, ev::EVT_SM_REPORT_IN, process_sm_report_in, fsm::keep},
    {st::CALL_PROGRESS_2, ev::EVT_SM_REPORT_IN, process_sm_report_in, fsm::keep},
    {st::CALL_DONE, ev::EVT_SM_REPORT_IN, process_sm_report_in, fsm::keep},
    {st::FREE_PROGRESS, ev::EVT_SM_REPORT_IN, process_sm_report_in, fsm::keep},
};
constexpr auto kTable = fsm::compile(kRows, fsm::cell<act>{nothing, fsm::kKeep});
constexpr auto kPlain = fsm::plain(kRows);
constexpr u8 kActionTargets[] = {CALL_PROGRESS, CALL_PROGRESS_2, CALL_DONE, FREE_PROGRESS};
// An outgoing call starts in CALL_PROGRESS on a free record.
constexpr u8 kEntryStates[] = {CALL_PROGRESS};

// The call is over (CALL_FREE again): tell whoever waits on it, once.
void end_call(sip_call__ctx& c) {
  foip__na_ctx* s = c.session;
  if (!s) {
    if (!c.final_report) {
      c.final_report = 1;
      u16 status = c.info.sip_ret_code;
      if (status == 0) status = 6;
      foip__send_stop_in(static_cast<u8>(status / 100), static_cast<u8>(status % 100), foip__glb().user_entity,
                         sig_nai(), c.conn_id, nullptr);
    }
    sip_call__reset(c);
    return;
  }
  if (!c.call_opened) {
    if (c.info.sip_ret_code == 200) set_status(c, 6);
    const u16 status = c.info.sip_ret_code;
    send_session_mngt(s->nai, FOIP_MGT__SIP_CALL_OPENED, 3, origin_flag(c), static_cast<u16>(status / 100),
                      static_cast<u16>(status % 100));
  } else {
    foip_call__send_report(FOIP__EVENT__SIP_CALL_CLOSE, c);
    send_session_mngt(s->nai, FOIP_MGT__SIP_CALL_CLOSED, 0, 0, 0, 0);
  }
  s->sip_status.call = c.info;
  s->sip_status.present = 1;
  s->sip_status_present = 1;
  unbind(c);
  sip_call__reset(c);
}

// Event 62: the first free record takes the session's outgoing call.
void open_outgoing_call(foip__na_ctx* s) {
  if (!s) return;
  sip_call__ctx* c = nullptr;
  for (u16 i = 0; i < FOIP__MAX_SIP_CALL && !c; ++i)
    if (g_calls[i].state == CALL_FREE && timer_of(g_calls[i])) c = &g_calls[i];
  if (!c) {
    // No record: the session learns it at once (status 6).
    send_session_mngt(s->nai, FOIP_MGT__SIP_CALL_OPENED, 3, 1, 0, 6);
    return;
  }
  sip_call__reset(*c);
  bind(*c, s);
  c->state = CALL_PROGRESS;
  c->direction = FOIP_CALL__OUTGOING;
  // An operating mode and transport that offer no medium place no call.
  static sip_mgt__sdp_contents probe;  // large: kept off the stack
  if (foip_sdp__create_offer(foip_call__env(s), c->origin_seed, probe) == 0) {
    set_status(*c, 1);
    send_session_mngt(s->nai, FOIP_MGT__SIP_CALL_OPENED, 3, 1, 0, 1);
    s->sip_status.call = c->info;
    s->sip_status_present = 1;
    unbind(*c);
    sip_call__reset(*c);
    return;
  }
  c->set_param_pending = 0;
  (void)send_ssc_set_param_session_rq(*c);
  (void)send_ssc_invite_rq(false, *c);
}

void reset_info(foip__call_info& i) {
  i = foip__call_info{};
  for (foip__full_ip_addr* a : {&i.remote_addr, &i.contact_addr, &i.source_addr})
    a->ip_addr.ip_family = OM_IP_FAMILY_NONE;
  i.media.rem_media_family = OM_IP_FAMILY_NONE;
  i.media.loc_media_family = OM_IP_FAMILY_NONE;
}

}  // namespace

kv::fsm::machine_view foip_call__machine() {
  return {"call", fsm::count_of<st>, fsm::count_of<ev>, CALL_FREE, kPlain, kActionTargets, kEntryStates};
}

sip_call__ctx& foip_call__record(u16 index) { return g_calls[index <= FOIP__MAX_SIP_CALL ? index : FOIP_CALL__SPARE]; }

void sip_call__reset(sip_call__ctx& c) {
  stop_wait(c);
  const u16 id = c.conn_id;
  const u16 seq = c.timer_seq;
  c.state = CALL_FREE;
  c.re_invite_allowed = 1;
  c.incompatible = 0;
  c.last_alert_answer = FOIP_CALL__NO_ANSWER;
  c.provisional_pending = 1;
  c.set_param_pending = 1;
  c.call_opened = 0;
  c.final_report = 0;
  c.session = nullptr;
  c.direction = FOIP_CALL__INCOMING;
  c.origin_seed = FOIP_SDP__ORIGIN_SEED;
  sip_mgt__sdp_clear(c.sdp);
  sip_mgt__sdp_clear(c.last_sent);
  c.backoff_ms = 0;
  c.local_user[0] = '\0';
  reset_info(c.info);
  set_status(c, 6);
  c.offer_had_sdp = 0;
  c.offer_total = 0;
  c.alert_sent = 0;
  c.negotiated = {};
  c.negotiated_transport = 0;
  c.conn_id = id;
  c.timer_seq = seq;  // ids keep growing so that no queued expiry matches
}

void foip_call__glb_init() {
  for (u16 i = 0; i <= FOIP__MAX_SIP_CALL; ++i) {
    sip_call__ctx& c = g_calls[i];
    c.conn_id = i < FOIP__MAX_SIP_CALL ? static_cast<u16>(FOIP__SIP_CALL_CONN_BASE + i) : 0xFFFF;
    c.timer_armed = 0;
    sip_call__reset(c);
  }
}

bool foip_call__timer_current(const sip_call__ctx& c, u16 id) { return c.timer_armed && c.timer_seq == id; }

void foip_call__release_session(foip__na_ctx* s) {
  if (!s) return;
  // The session has answered its user already: the end of the call is
  // reported to no one else.
  for (sip_call__ctx& c : g_calls)
    if (c.session == s) {
      c.session = nullptr;
      c.final_report = 1;
    }
}

foip_sdp__env foip_call__env(const foip__na_ctx* s) {
  foip_sdp__env e;
  const sip_mgt__glb_ctx& g = sip_mgt__glb();
  e.operating_mode = g.glb_sip_param.operating_mode;
  e.flag_nat_support = g.glb_sip_param.nat.flag_nat_support;
  e.tcp_enabled = g.tcp_present;
  e.default_remote = g.local_t38;
  if (!s) return e;
  e.kind_of_t38_transport = s->kind_of_t38_transport;
  const auto& lm = s->param.t38_media_add_param.local_media_add;
  e.local_media_ip_addr = lm.local_media_ip_addr;
  e.nat_local_media_ip_addr = lm.nat_local_media_ip_addr;
  e.audio_port = s->pcm_port;
  e.nat_audio_port = s->nat_pcm_port;
  e.udp_t38_port = s->udptl_port;
  e.nat_udp_t38_port = s->nat_udptl_port;
  e.tcp_t38_port = s->tpkt_port;
  e.nat_tcp_t38_port = s->nat_tpkt_port;
  e.local = &s->lcl_cap;
  e.remote_cfg = s->param.t38_capabilites_param;
  e.user_name = s->param.t38_media_add_param.sip_media_identification.sz_local_user_name;
  return e;
}

void foip_call__automaton(u8 event, foip__na_ctx* s, sip_call__ctx* c) {
  if (event == EVT_OPEN_OUTGOING_CALL) return open_outgoing_call(s);
  if (!c) return;
  if (event == EVT_SSC_OPTIONS_IN) {
    (void)send_ssc_options_rs_OK(tx(), sig_nai(), c->conn_id);
    return;
  }
  const u8 old_state = c->state;
  if (event % FOIP_CALL__EVENT_STEP != 0) return;
  const auto* x = kTable.find(old_state, event);
  if (!x) return;
  x->action(*c);
  c->state = fsm::next_of(*x, c->state);
  foip_call__trace_step(*c, event, old_state);
  if (c->state == CALL_FREE && old_state != CALL_FREE) end_call(*c);
}
