// The IAF fax automaton: its speed modes, its table and the actions that
// start and stop a modulation and keep or discard what comes between.
#include <cstring>
#include <iterator>

#include "common/byte_order.h"
#include "runtime/mem.h"
#include "runtime/om_os.h"
#include "t38/t38_entity.h"
#include "t38/t38_report.h"
#include "t38/t38_trace.h"
#include "t38/t38iaf_parts.h"

namespace kv::t38 {

namespace {

constexpr t38iaf_speed_mode kSpeedModes[] = {
    {0x2081, 300, 3, 3, 0x80, 1, 20, 20, "Modulation: V.21 300bps  Data mode: HDLC (T.30 Frame)",
     "Modulation: V.21 300bps  Data mode: HDLC (T.30 Frame)"},
    {0x1102, 2400, 4, 4, 0x81, 2, 943, 943, "Modulation: V.27ter 2400bps  Data mode: Transparent (TCF or Fax Pg)",
     "Modulation: V.27ter 2400bps  Data mode: Transparent (TCF or Fax Pg)"},
    {0x1104, 4800, 5, 5, 0x82, 2, 707, 707, "Modulation: V.27ter 4800bps  Data mode: Transparent (TCF or Fax Pg)",
     "Modulation: V.27ter 4800bps  Data mode: Transparent (TCF or Fax Pg)"},
    {0x1208, 7200, 6, 6, 0x83, 2, 233, 233, "Modulation: V.29 7200bps  Data mode: Transparent (TCF or Fax Pg)",
     "Modulation: V.29 7200bps  Data mode: Transparent (TCF or Fax Pg)"},
    {0x1210, 9600, 7, 7, 0x84, 2, 233, 233, "Modulation: V.29 9600bps  Data mode: Transparent (TCF or Fax Pg)",
     "Modulation: V.29 9600bps  Data mode: Transparent (TCF or Fax Pg)"},
    {0x1808, 7200, 9, 8, 0x85, 2, 1393, 142,
     "Modulation: V.17 long train 7200bps  Data mode: Transparent (TCF or Fax Pg)",
     "Modulation: V.17 short train 7200bps  Data mode: Transparent (Fax Pg)"},
    {0x1810, 9600, 11, 10, 0x86, 2, 1393, 142,
     "Modulation: V.17 long train 9600bps  Data mode: Transparent (TCF or Fax Pg)",
     "Modulation: V.17 short train 9600bps  Data mode: Transparent (Fax Pg)"},
    {0x1820, 12000, 13, 12, 0x87, 2, 1393, 142,
     "Modulation: V.17 long train 12000bps  Data mode: Transparent (TCF or Fax Pg)",
     "Modulation: V.17 short train 12000bps  Data mode: Transparent (Fax Pg)"},
    {0x1840, 14400, 15, 14, 0x88, 2, 1393, 142,
     "Modulation: V.17 long train 14400bps  Data mode: Transparent (TCF or Fax Pg)",
     "Modulation: V.17 short train 14400bps  Data mode: Transparent (Fax Pg)"},
    {0x6102, 2400, 4, 4, 0x81, 1, 943, 943, "Modulation: V.27ter 2400bps  Data mode: HDLC (ECM)",
     "Modulation: V.27ter 2400bps  Data mode: HDLC (ECM)"},
    {0x6104, 4800, 5, 5, 0x82, 1, 707, 707, "Modulation: V.27ter 4800bps  Data mode: HDLC (ECM)",
     "Modulation: V.27ter 4800bps  Data mode: HDLC (ECM)"},
    {0x6208, 7200, 6, 6, 0x83, 1, 233, 233, "Modulation: V.29 7200bps  Data mode: HDLC (ECM)",
     "Modulation: V.29 7200bps  Data mode: HDLC (ECM)"},
    {0x6210, 9600, 7, 7, 0x84, 1, 233, 233, "Modulation: V.29 9600bps  Data mode: HDLC (ECM)",
     "Modulation: V.29 9600bps  Data mode: HDLC (ECM)"},
    {0x6808, 7200, 9, 8, 0x85, 1, 1393, 142, "Modulation: V.17 long train 7200bps  Data mode: HDLC (ECM)",
     "Modulation: V.17 short train 7200bps  Data mode: HDLC (ECM)"},
    {0x6810, 9600, 11, 10, 0x86, 1, 1393, 142, "Modulation: V.17 long train 9600bps  Data mode: HDLC (ECM)",
     "Modulation: V.17 short train 9600bps  Data mode: HDLC (ECM)"},
    {0x6820, 12000, 13, 12, 0x87, 1, 1393, 142, "Modulation: V.17 long train 12000bps  Data mode: HDLC (ECM)",
     "Modulation: V.17 short train 12000bps  Data mode: HDLC (ECM)"},
    {0x6840, 14400, 15, 14, 0x88, 1, 1393, 142, "Modulation: V.17 long train 14400bps  Data mode: HDLC (ECM)",
     "Modulation: V.17 short train 14400bps  Data mode: HDLC (ECM)"},
};

constexpr const char* kStateNames[T38IAF__STATES] = {"STATE__IDLE", "STATE__HDSK_TX", "STATE__DATA_TX",
                                                     "STATE__HDSK_RX", "STATE__DATA_RX"};
constexpr const char* kEventNames[T38IAF__EVENTS] = {
    "EVT__MSG_FAX_ACT_RQ",   "EVT__MSG_FAX_DEA_RQ",          "EVT__MSG_FAX_DA_RQ",       "EVT__TMR_CELL_EOF_HNDSHK",
    "EVT__TMR_CELL_DATA_TX", "EVT__IFP_PACKET_TYPE_T30_IND", "EVT__IFP_PACKET_TYPE_DATA"};

constexpr u8 KEEP = 254;       // the action leaves the state as it is
constexpr u8 BY_ACTION = 255;  // the action sets the state itself

}  // namespace

// The row of a speed mode, or null.
const t38iaf_speed_mode* t38iaf__speed_mode(u16 mode) {
  for (const t38iaf_speed_mode& r : kSpeedModes) {
    if (r.mode == mode) return &r;
  }
  return nullptr;
}

u8 t38iaf_actions::no_action(t38iaf_service&, t38iaf_session& c, msg_t**) {
  t38__log(*c.s, T38_TRC__AUTOMATON, "[Fct IAF: no_action]\n");
  return OM_OS_OK;
}

u8 t38iaf_actions::discard_packet(t38iaf_service&, t38iaf_session& c, msg_t**) {
  t38__log(*c.s, T38_TRC__AUTOMATON, "Rcv IFP Packet is discarded\n");
  return OM_OS_OK;  // the held packet is released after the action
}

// A v21-preamble that comes before the upper layer asks for V.21
// reception (the far side answering a CNG that has just stopped): kept,
// so that the receive asked for next starts on it instead of missing the
// whole command.
u8 t38iaf_actions::idle_t30_ind(t38iaf_service& svc, t38iaf_session& c, msg_t** m) {
  if (c.rx_type != T38_IND__V21_PREAMBLE) return discard_packet(svc, c, m);
  t38__log(*c.s, T38_TRC__AUTOMATON, "Rcv IFP Packet (v21-preamble) -> Kept for the next V.21 receive\n");
  c.v21_seen = 1;
  return OM_OS_OK;
}

u8 t38iaf_actions::restore_packet(t38iaf_service&, t38iaf_session& c, msg_t**) {
  if (newer_v21_preamble_waiting(*c.s)) {
    // The far side has started its V.21 transmission again: what it
    // sent before is stale, and keeping it would fill the packet pool.
    t38__log(*c.s, T38_TRC__AUTOMATON, "Rcv IFP Packet (mdm - data) -> Discarded: a newer v21-preamble is waiting\n");
    return OM_OS_OK;  // the held packet is released after the action
  }
  t38__log(*c.s, T38_TRC__AUTOMATON, "Rcv IFP Packet (mdm - data) -> Restore this one into Rcv IFP fifo\n");
  // The fifo takes the fields, or frees them when it cannot.
  (void)t38_ifp__store_again_rcv_ifp_pck(c.rx_type, c.rx_fields, *c.s);
  c.rx_fields = nullptr;
  return OM_OS_OK;
}

u8 t38iaf_actions::fax_act_rq(t38iaf_service& svc, t38iaf_session& c, msg_t** m) {
  t38_session& s = *c.s;
  const u8 old_v21_seen = c.v21_seen;
  c.v21_seen = 0;
  c.listen_v21 = 0;
  const u8* p = Msg_data(*m);
  const u16 n = Msg_data_size(*m);
  const u16 direction = n >= 2 ? get_le16(p) : 0;
  const u16 mode = n >= 4 ? get_le16(p + 2) : 0;
  const u16 short_train = n >= 6 ? get_le16(p + 4) : 0;
  const u16 options = n >= 10 ? get_le16(p + 8) : 0;
  const t38iaf_speed_mode* row = t38iaf__speed_mode(mode);
  if (row == nullptr) {
    t38__log(s, T38_TRC__AUTOMATON,
             "-> Ignore T38IAF__FAX_ACT_RQ: field T38iaf__fax_act_rq_speed_mode settings not supported (0x%X)\n", mode);
    c.state = STATE__IDLE;
    return OM_OS_OK;
  }
  const bool long_train = short_train == 0;
  c.data_type = row->data_type;
  c.kind = row->kind;
  c.rate = row->rate;
  c.indicator = long_train ? row->indicator_long : row->indicator_short;
  u32 hndshk = long_train ? row->hndshk_long_ms : row->hndshk_short_ms;
  t38__log(s, T38_TRC__AUTOMATON, "%s\n", long_train ? row->name_long : row->name_short);
  if (row->rate > 300 && iaf_iaf_page(c)) {
    c.rate = c.iaf_iaf_rate;
    hndshk = 1;
    t38__log(s, T38_TRC__AUTOMATON, "(very short handshake duration = %d ms)\n", 1);
  }
  c.fax_user = (*m)->from;
  c.direction = direction;
  // The adjusted size: over TCP the negotiated one is 0 (no datagrams),
  // which would cut every packet to a single byte.
  const u16 max_buf = s.adjusted.fax_max_buffer_size;
  if (c.transmit()) {
    if (c.data_type == T38IAF__DATA_V21) {
      u16 first = s.iaf_cfg.v21_size_first_buf;
      u16 next = s.iaf_cfg.v21_size_buf;
      if (first == T38IAF__T30_FRM_LENGTH || next == T38IAF__T30_FRM_LENGTH) {
        first = next = max_buf;
      } else {
        if (first > max_buf) first = max_buf;
        if (next > max_buf) next = max_buf;
      }
      c.first_budget = first;
      c.next_budget = next;
      t38_ifp__update_redundancy(s.ip.nb_red_ifp_pck__default, s);
      t38_ifp__update_inactivity(s.ip.v21preamb_ip_inactivity_ms, s);
    } else if (c.kind == T38IAF__KIND_TRANSPARENT) {
      if (c.call.fact == 1 && c.call.dcs_pending) {
        t38_ifp__update_redundancy(s.ip.nb_red_ifp_pck__tcf, s);
      } else {
        u32 first = c.rate / 100 * s.iaf_cfg.transparent_first_char_delay_ms / 80;
        u32 next = c.rate / 100 * s.iaf_cfg.transparent_char_delay_ms / 80;
        if (c.iaf_iaf_mode) {
          t38__log(s, T38_TRC__AUTOMATON, "-> IAF / IAF mode and Transparent Fax page -> Ignore first_char_delay_ms\n");
          first = 0;
          next = c.t38_packet_size;
        }
        c.first_budget = static_cast<u16>(first > max_buf ? max_buf : first);
        c.next_budget = static_cast<u16>(next > max_buf ? max_buf : next);
        t38_ifp__update_redundancy(s.ip.nb_red_ifp_pck__fax_pg_no_ecm, s);
      }
      t38_ifp__update_inactivity(s.ip.vhspd_ip_inactivity_ms, s);
    } else {
      const u32 d1 = s.iaf_cfg.ecm_first_char_delay_ms;
      const u32 d2 = s.iaf_cfg.ecm_char_delay_ms;
      if (d1 == T38IAF__ECM_FRM_LENGTH || d2 == T38IAF__ECM_FRM_LENGTH) {
        c.first_budget = c.next_budget = 300;
      } else {
        const u32 first = c.rate / 100 * d1 / 80;
        const u32 next = c.rate / 100 * d2 / 80;
        c.first_budget = static_cast<u16>(first > 0xFFFF ? 0xFFFF : first);
        c.next_budget = static_cast<u16>(next > 0xFFFF ? 0xFFFF : next);
      }
      t38_ifp__update_redundancy(s.ip.nb_red_ifp_pck__fax_pg_ecm, s);
      t38_ifp__update_inactivity(s.ip.vhspd_ip_inactivity_ms, s);
    }
    // A budget of 0 would send nothing and start no timer: the smallest
    // useful packet is one byte.
    if (c.next_budget == 0) c.next_budget = 1;
    t38__log(s, T38_TRC__AUTOMATON, "-> Send IFP packet (%s)\n", type_name(c.indicator));
    if (send_ifp(c, c.indicator, nullptr) != OM_OS_OK) return OM_OS_NOK;
    c.overrun = 0;
    svc.poll_start(c, T38IAF__KIND_HNDSHK, static_cast<i32>(hndshk));
    c.state = STATE__HDSK_TX;
    t30_frame__reset(c.frame);
  } else {
    t38_ifp__update_inactivity(0, s);
    t38_ifp__update_redundancy(s.ip.nb_red_ifp_pck__default, s);
    if (c.data_type != T38IAF__DATA_V21 && (options & 0x08) != 0) c.listen_v21 = 1;
    if (old_v21_seen && c.data_type == T38IAF__DATA_V21) {
      t38__log(s, T38_TRC__AUTOMATON,
               "-> A V.21ch2 carrier has been detected (Rcv IFP (v21-preamble)) while High speed demodulator was "
               "running\n");
      send_t38iaf__fax_progress_in(c, T38IAF__FAX_CD_ON);
      send_t38iaf__fax_progress_in(c, T38IAF__FAX_FLAGS_DETECTED);
      c.last_carrier = T38IAF__FAX_CD_ON;
      c.state = STATE__DATA_RX;
    } else {
      c.state = STATE__HDSK_RX;
    }
    t30_frame__reset(c.frame);
  }
  c.last_block = 0;
  c.idle_owed = 0;
  c.first_packet = 1;
  return OM_OS_OK;
}

u8 t38iaf_actions::fax_dea_rq(t38iaf_service& svc, t38iaf_session& c, msg_t**) {
  for (msg_t* q : c.fifo) Free_msg(q);
  c.fifo.clear();
  release_current(c);
  c.busy = 0;
  c.clear_busy = 1;
  svc.poll_stop(c);
  if (c.state == STATE__DATA_RX) cd_off_once(c);
  free_rx_buffer(c);
  return OM_OS_OK;
}

namespace {

using action_fn = u8 (*)(t38iaf_service&, t38iaf_session&, msg_t**);
struct cell {
  action_fn action;
  u8 next;
};
using A = t38iaf_actions;
constexpr action_fn NA = A::no_action;
constexpr cell kTable[T38IAF__EVENTS * T38IAF__STATES] = {
    // IDLE                 HDSK_TX                          DATA_TX                  HDSK_RX                  DATA_RX
    {A::fax_act_rq, BY_ACTION},
    {NA, KEEP},
    {NA, KEEP},
    {NA, KEEP},
    {NA, KEEP},  // FAX_ACT_RQ
    {NA, KEEP},
    {A::fax_dea_rq, STATE__IDLE},
    {A::fax_dea_rq, STATE__IDLE},
    {A::fax_dea_rq, STATE__IDLE},
    {A::fax_dea_rq, STATE__IDLE},  // FAX_DEA_RQ
    {NA, KEEP},
    {A::queue_fax_da_rq, KEEP},
    {A::fax_da_rq, KEEP},
    {NA, KEEP},
    {NA, KEEP},  // FAX_DA_RQ
    {NA, KEEP},
    {A::ti_eof_handshake_tx, STATE__DATA_TX},
    {NA, KEEP},
    {NA, KEEP},
    {NA, KEEP},  // EOF_HNDSHK
    {NA, KEEP},
    {NA, KEEP},
    {A::ti_data_tx, KEEP},
    {NA, KEEP},
    {NA, KEEP},  // DATA_TX timer
    {A::idle_t30_ind, KEEP},
    {NA, KEEP},
    {A::restore_packet, KEEP},
    {A::ifp_t30_ind, BY_ACTION},
    {NA, KEEP},  // T30_IND
    {A::discard_packet, KEEP},
    {NA, KEEP},
    {A::restore_packet, KEEP},
    {A::hdsk_rx_data, BY_ACTION},
    {A::ifp_data, KEEP},  // DATA
};

}  // namespace

// ---- automata

void t38iaf_service::fax_stop(t38iaf_session& c) {
  msg_t* none = nullptr;
  t38iaf_actions::fax_dea_rq(*this, c, &none);
  c.state = STATE__IDLE;
}

u8 t38iaf_service::fax_automaton(u8 event, msg_t** m, i32 overrun, t38iaf_session& c) {
  const u32 index = static_cast<u32>(event) * T38IAF__STATES + c.state;
  if (overrun != 0 || event == EVT__TMR_CELL_DATA_TX || event == EVT__TMR_CELL_EOF_HNDSHK) c.overrun = overrun;
  if (index >= std::size(kTable)) {
    t38__trap(*c.s, T38IAF__TRAP__FAX__BAD_AUTOMATON_IDX, "T38IAF->t38_auto__automaton: bad index");
    return OM_OS_NOK;
  }
  t38__log(*c.s, T38_TRC__AUTOMATON, "  >> FAX AUTOMATON ENTRY (%s, %s)\n", kStateNames[c.state], kEventNames[event]);
  const cell& cell = kTable[index];
  const u8 r = cell.action(*this, c, m);
  if (r == OM_OS_OK) {
    if (cell.next < KEEP) c.state = cell.next;
  } else {
    c.state = STATE__IDLE;
    c.stat_countdown = 0;
    c.stat_pending = 1;
  }
  if (c.rx_fields != nullptr) {
    t38_mem__free_data_objects(c.rx_fields, *c.s);
    c.rx_fields = nullptr;
  }
  t38__log(*c.s, T38_TRC__AUTOMATON, "  << FAX AUTOMATON EXIT (%s)\n", kStateNames[c.state]);
  return r;
}

}  // namespace kv::t38
