// IAF V.25 signalling: "playing" CED or CNG sends the matching IFP
// T30_INDICATOR packet, "listening" for CED watches the received ced and
// v21-preamble indicators.
#include <cstring>

#include "common/byte_order.h"
#include "runtime/om_os.h"
#include "t38/t38_entity.h"
#include "t38/t38_report.h"
#include "t38/t38iaf.h"

namespace kv::t38 {

namespace {

constexpr u32 kSignalBodySize = 10;

// The signal indication of `code` to `to`: 2, or 3 without memory (trap 12170).
void send_signal(t38iaf_session& c, code_t code, ent_id_t to, u16 action, const char* who) {
  u8* p = nullptr;
  msg_t* m = t38__alloc_msg(*c.s, kSignalBodySize, &p, T38IAF__TRAP__V25__NO_MSG_NO_BUFFER, who);
  if (m == nullptr) return;
  std::memset(p, 0, kSignalBodySize);
  put_le16(p, action);
  put_le16(p + 2, T38IAF__TONE_CED);
  Msg_set_head(m, {ENT_T38, to, code, c.s->nai, T38IAF__SAPI_SIGNAL});
  Send_msg(m);
}

void send_t38iaf__signal_co(t38iaf_session& c) {
  t38__log(*c.s, T38_TRC__MSG, "Send T38IAF__SIGNAL_CO (T38IAF__TONE_XMT, T38IAF__TONE_CED)\n");
  send_signal(c, T38IAF__SIGNAL_CO, c.ced_requester, T38IAF__TONE_XMT,
              "T38IAF->send_t38iaf__signal_co: No more memory ressource");
}

void send_t38iaf__signal_in(t38iaf_session& c) {
  t38__log(*c.s, T38_TRC__MSG, "Send T38IAF__SIGNAL_IN (T38IAF__TONE_DETECTION, T38IAF__TONE_CED)\n");
  send_signal(c, T38IAF__SIGNAL_IN, c.det_requester, T38IAF__TONE_DETECTION,
              "T38IAF->send_t38iaf__signal_in: No more memory ressource");
}

u8 send_indicator(t38iaf_session& c, u8 indicator) {
  if (t38_ifp__send(T38_IFP__MODE_SEND, indicator, nullptr, *c.s) == OM_OS_OK) return OM_OS_OK;
  t38__send_t38__dea_in(OM_OS_NOK, 3, "T38__MSG_ERR__IFP_ERROR", *c.s);
  return OM_OS_NOK;
}

}  // namespace

void t38iaf_service::v25_reset(t38iaf_session& c) {
  c.v25_running = 0;
  c.ced_gen_on = c.ced_det_on = c.ced_received = c.v21_preamble_received = 0;
}

void t38iaf_service::v25_stop(t38iaf_session& c) {
  v25_reset(c);
  t38__timer_stop(*c.s, TI_IAF_CED_XMIT);
}

u8 t38iaf_service::v25_automaton(u8 event, t38iaf_session& c, const msg_t* m) {
  t38_session& s = *c.s;
  t38__log(s, T38_TRC__AUTOMATON, "    >>> IAF V.25 AUTOMATON ENTRY\n");
  c.v25_running = 1;
  u16 action = 0;
  u16 tone = 0;
  if (m != nullptr && event <= 3) {
    const u8* p = Msg_data(m);
    const u16 n = Msg_data_size(m);
    action = n >= 2 ? get_le16(p) : 0;
    tone = n >= 4 ? get_le16(p + 2) : 0;
  }
  u8 r = OM_OS_OK;
  switch (event) {
    case 1:  // T38IAF__SIGNAL_RQ
      if (action == T38IAF__TONE_XMT && tone == T38IAF__TONE_CED) {
        t38__log(s, T38_TRC__AUTOMATON, "-> Send IFP (ced) packet and start T38IAF__TI_EOF_CED_XMIT timer\n");
        r = send_indicator(c, T38_IND__CED);
        if (r != OM_OS_OK) break;
        c.ced_requester = m->from;
        c.ced_gen_on = 1;
        t38__timer_start(s, TI_IAF_CED_XMIT);
      } else if (action == T38IAF__TONE_XMT && tone == T38IAF__TONE_CNG) {
        t38__log(s, T38_TRC__AUTOMATON, "-> Send IFP (cng) packet\n");
        r = send_indicator(c, T38_IND__CNG);
        if (r != OM_OS_OK) break;
        c.ced_requester = m->from;
      } else {
        t38__log(s, T38_TRC__AUTOMATON,
                 action == T38IAF__TONE_XMT
                     ? "[Fct IAF: t38iaf_v25__automaton] Rx: T38IAF__SIGNAL_RQ (T38IAF__TONE_XMT, ?)\n"
                     : "[Fct IAF: t38iaf_v25__automaton] Rx: T38IAF__SIGNAL_RQ (?)\n");
        t38__log(s, T38_TRC__AUTOMATON, "-> No action\n");
      }
      break;
    case 2:  // T38IAF__ACT_SIGNAL_RQ
      if (action == T38IAF__TONE_DETECTION && tone == T38IAF__TONE_CED) {
        t38__log(s, T38_TRC__AUTOMATON, "-> Launch pseudo tone detector\n");
        c.det_requester = m->from;
        c.ced_det_on = 1;
        if (c.ced_received || c.v21_preamble_received) send_t38iaf__signal_in(c);
      } else {
        t38__log(s, T38_TRC__AUTOMATON, "-> No action\n");
      }
      break;
    case 3:  // T38IAF__DEA_SIGNAL_RQ
      if (action == T38IAF__TONE_XMT) {
        t38__log(s, T38_TRC__AUTOMATON, "-> Stop pseudo tone generator\n");
        t38__log(s, T38_TRC__AUTOMATON, "-> Send IFP (no_signal) packet\n");
        c.ced_gen_on = 0;
        t38__timer_stop(s, TI_IAF_CED_XMIT);
        r = send_indicator(c, T38_IND__NO_SIGNAL);
      } else if (action == T38IAF__TONE_DETECTION && (tone == T38IAF__TONE_CED || tone == T38IAF__TONE_ALL)) {
        t38__log(s, T38_TRC__AUTOMATON, "-> Stop pseudo CED tone detector\n");
        c.ced_det_on = 0;
        c.ced_received = 0;
        c.v21_preamble_received = 0;
      } else {
        t38__log(s, T38_TRC__AUTOMATON, "-> No action\n");
      }
      break;
    case 4: t38__log(s, T38_TRC__AUTOMATON, "Rcv IFP Packet (cng)\n"); break;
    case 5:
      c.ced_received = 1;
      if (c.ced_det_on) send_t38iaf__signal_in(c);
      break;
    case 6: {
      const bool ced_before = c.ced_received != 0;
      c.v21_preamble_received = 1;
      if (c.ced_det_on && !ced_before) send_t38iaf__signal_in(c);
      break;
    }
    case 7:
      t38__log(s, T38_TRC__AUTOMATON, "End of timer: duration of pseudo CED generator\n");
      if (c.ced_gen_on) {
        c.ced_gen_on = 0;
        send_t38iaf__signal_co(c);
      }
      break;
    default: break;
  }
  t38__log(s, T38_TRC__AUTOMATON, "    <<< IAF V.25 AUTOMATON EXIT\n");
  return r;
}

}  // namespace kv::t38
