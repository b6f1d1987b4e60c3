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
#include "runtime/automaton.h"
#include "t38/t38iaf_parts.h"

namespace kv::t38 {

namespace {

// The modulations of the speed modes, by the low 12 bits of a mode.  Only
// V.17 has a short train distinct from its long one.
struct modulation {
  u16 code;
  u32 rate;
  u8 indicator_long, indicator_short;
  u8 data_type;  // 0x80 + T.38 data value
  u16 hndshk_long_ms, hndshk_short_ms;
  const char* name_long;
  const char* name_short;
};
constexpr modulation kModulations[] = {
    {0x081, 300, 3, 3, 0x80, 20, 20, "V.21 300bps", "V.21 300bps"},
    {0x102, 2400, 4, 4, 0x81, 943, 943, "V.27ter 2400bps", "V.27ter 2400bps"},
    {0x104, 4800, 5, 5, 0x82, 707, 707, "V.27ter 4800bps", "V.27ter 4800bps"},
    {0x208, 7200, 6, 6, 0x83, 233, 233, "V.29 7200bps", "V.29 7200bps"},
    {0x210, 9600, 7, 7, 0x84, 233, 233, "V.29 9600bps", "V.29 9600bps"},
    {0x808, 7200, 9, 8, 0x85, 1393, 142, "V.17 long train 7200bps", "V.17 short train 7200bps"},
    {0x810, 9600, 11, 10, 0x86, 1393, 142, "V.17 long train 9600bps", "V.17 short train 9600bps"},
    {0x820, 12000, 13, 12, 0x87, 1393, 142, "V.17 long train 12000bps", "V.17 short train 12000bps"},
    {0x840, 14400, 15, 14, 0x88, 1393, 142, "V.17 long train 14400bps", "V.17 short train 14400bps"},
};

// The data modes, by the top 4 bits of a mode: V.21 frames only with V.21,
// page data (transparent or ECM) only with the high-speed modulations.
struct data_mode {
  u16 code;
  u8 kind;
  bool v21;
  const char* name_long;
  const char* name_short;  // after a short train
};
constexpr data_mode kDataModes[] = {
    {0x2000, T38IAF__KIND_HDLC, true, "HDLC (T.30 Frame)", "HDLC (T.30 Frame)"},
    {0x1000, T38IAF__KIND_TRANSPARENT, false, "Transparent (TCF or Fax Pg)", "Transparent (Fax Pg)"},
    {0x6000, T38IAF__KIND_HDLC, false, "HDLC (ECM)", "HDLC (ECM)"},
};

constexpr const char* kStateNames[T38IAF__STATES] = {"STATE__IDLE", "STATE__HDSK_TX", "STATE__DATA_TX",
                                                     "STATE__HDSK_RX", "STATE__DATA_RX"};
constexpr const char* kEventNames[T38IAF__EVENTS] = {
    "EVT__MSG_FAX_ACT_RQ",   "EVT__MSG_FAX_DEA_RQ",          "EVT__MSG_FAX_DA_RQ",       "EVT__TMR_CELL_EOF_HNDSHK",
    "EVT__TMR_CELL_DATA_TX", "EVT__IFP_PACKET_TYPE_T30_IND", "EVT__IFP_PACKET_TYPE_DATA"};

}  // namespace

bool t38iaf__speed_mode(u16 mode, t38iaf_speed_mode& out) {
  const data_mode* d = nullptr;
  for (const data_mode& r : kDataModes) {
    if (r.code == (mode & 0xF000)) d = &r;
  }
  if (d == nullptr) return false;
  for (const modulation& r : kModulations) {
    if (r.code != (mode & 0x0FFF) || (r.data_type == T38IAF__DATA_V21) != d->v21) continue;
    // A short train is named so only where the modulation has one.
    const bool has_short = r.indicator_short != r.indicator_long;
    out = {mode,        r.rate,       r.indicator_long, r.indicator_short,
           r.data_type, d->kind,      r.hndshk_long_ms, r.hndshk_short_ms,
           r.name_long, r.name_short, d->name_long,     has_short ? d->name_short : d->name_long};
    return true;
  }
  return false;
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

namespace {

// The byte budgets of the first and the next packets of a transmission,
// and the redundancy and inactivity that go with its kind.
void set_tx_budgets(t38iaf_session& c) {
  t38_session& s = *c.s;
  // The adjusted size: over TCP the negotiated one is 0 (no datagrams),
  // which would cut every packet to a single byte.
  const u16 max_buf = s.adjusted.fax_max_buffer_size;
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
}

}  // namespace

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
  t38iaf_speed_mode speed;
  if (!t38iaf__speed_mode(mode, speed)) {
    t38__log(s, T38_TRC__AUTOMATON,
             "-> Ignore T38IAF__FAX_ACT_RQ: field T38iaf__fax_act_rq_speed_mode settings not supported (0x%X)\n", mode);
    c.state = STATE__IDLE;
    return OM_OS_OK;
  }
  const bool long_train = short_train == 0;
  c.data_type = speed.data_type;
  c.kind = speed.kind;
  c.rate = speed.rate;
  c.indicator = long_train ? speed.indicator_long : speed.indicator_short;
  u32 hndshk = long_train ? speed.hndshk_long_ms : speed.hndshk_short_ms;
  t38__log(s, T38_TRC__AUTOMATON, "Modulation: %s  Data mode: %s\n",
           long_train ? speed.modulation_long : speed.modulation_short,
           long_train ? speed.data_mode_long : speed.data_mode_short);
  if (speed.rate > 300 && iaf_iaf_page(c)) {
    c.rate = c.iaf_iaf_rate;
    hndshk = 1;
    t38__log(s, T38_TRC__AUTOMATON, "(very short handshake duration = %d ms)\n", 1);
  }
  c.fax_user = (*m)->from;
  c.direction = direction;
  if (c.transmit()) {
    set_tx_budgets(c);
    t38__log(s, T38_TRC__AUTOMATON, "-> Send IFP packet (%s)\n", t38_trace__type_name(c.indicator));
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

// States and events, with the numbers of the session record and the traces.
enum class st : u8 {
  IDLE = STATE__IDLE,
  HDSK_TX = STATE__HDSK_TX,
  DATA_TX = STATE__DATA_TX,
  HDSK_RX = STATE__HDSK_RX,
  DATA_RX = STATE__DATA_RX,
  count_
};
static_assert(fsm::count_of<st> == T38IAF__STATES);
enum class ev : u8 {
  FAX_ACT_RQ = EVT__MSG_FAX_ACT_RQ,
  FAX_DEA_RQ = EVT__MSG_FAX_DEA_RQ,
  FAX_DA_RQ = EVT__MSG_FAX_DA_RQ,
  TMR_CELL_EOF_HNDSHK = EVT__TMR_CELL_EOF_HNDSHK,
  TMR_CELL_DATA_TX = EVT__TMR_CELL_DATA_TX,
  IFP_T30_IND = EVT__IFP_PACKET_TYPE_T30_IND,
  IFP_DATA = EVT__IFP_PACKET_TYPE_DATA,
  count_
};
static_assert(fsm::count_of<ev> == T38IAF__EVENTS);

// An action returns 2, or 3 when the session is to stop.
using action = u8 (*)(t38iaf_service&, t38iaf_session&, msg_t**);
using A = t38iaf_actions;

// The table; every cell that no row names runs `no_action` and keeps the
// state.
constexpr fsm::row<st, ev, action> kRows[] = {
    {st::IDLE, ev::FAX_ACT_RQ, A::fax_act_rq, fsm::by_action},
    {st::IDLE, ev::IFP_T30_IND, A::idle_t30_ind, fsm::keep},
    {st::IDLE, ev::IFP_DATA, A::discard_packet, fsm::keep},

    {st::HDSK_TX, ev::FAX_DEA_RQ, A::fax_dea_rq, st::IDLE},
    {st::HDSK_TX, ev::FAX_DA_RQ, A::queue_fax_da_rq, fsm::keep},
    {st::HDSK_TX, ev::TMR_CELL_EOF_HNDSHK, A::ti_eof_handshake_tx, st::DATA_TX},

    {st::DATA_TX, ev::FAX_DEA_RQ, A::fax_dea_rq, st::IDLE},
    {st::DATA_TX, ev::FAX_DA_RQ, A::fax_da_rq, fsm::keep},
    {st::DATA_TX, ev::TMR_CELL_DATA_TX, A::ti_data_tx, fsm::keep},
    {st::DATA_TX, ev::IFP_T30_IND, A::restore_packet, fsm::keep},
    {st::DATA_TX, ev::IFP_DATA, A::restore_packet, fsm::keep},

    {st::HDSK_RX, ev::FAX_DEA_RQ, A::fax_dea_rq, st::IDLE},
    {st::HDSK_RX, ev::IFP_T30_IND, A::ifp_t30_ind, fsm::by_action},
    {st::HDSK_RX, ev::IFP_DATA, A::hdsk_rx_data, fsm::by_action},

    {st::DATA_RX, ev::FAX_DEA_RQ, A::fax_dea_rq, st::IDLE},
    {st::DATA_RX, ev::IFP_DATA, A::ifp_data, fsm::keep},
};
constexpr auto kTable = fsm::compile(kRows, fsm::cell<action>{A::no_action, fsm::kKeep});
constexpr auto kPlainRows = fsm::plain(kRows);
// States that the by_action rows choose (an activation, a carrier found).
constexpr u8 kActionTargets[] = {STATE__IDLE, STATE__HDSK_TX, STATE__HDSK_RX, STATE__DATA_RX};

}  // namespace

// ---- automata

void t38iaf_service::fax_stop(t38iaf_session& c) {
  msg_t* none = nullptr;
  t38iaf_actions::fax_dea_rq(*this, c, &none);
  c.state = STATE__IDLE;
}

u8 t38iaf_service::fax_automaton(u8 event, msg_t** m, i32 overrun, t38iaf_session& c) {
  if (overrun != 0 || event == EVT__TMR_CELL_DATA_TX || event == EVT__TMR_CELL_EOF_HNDSHK) c.overrun = overrun;
  const auto* cell = kTable.find(c.state, event);
  if (cell == nullptr) {
    t38__trap(*c.s, T38IAF__TRAP__FAX__BAD_AUTOMATON_IDX, "T38IAF->t38_auto__automaton: bad index");
    return OM_OS_NOK;
  }
  t38__log(*c.s, T38_TRC__AUTOMATON, "  >> FAX AUTOMATON ENTRY (%s, %s)\n", kStateNames[c.state], kEventNames[event]);
  const u8 r = cell->action(*this, c, m);
  if (r == OM_OS_OK) {
    c.state = fsm::next_of(*cell, c.state);
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

fsm::machine_view t38iaf_fax_machine() {
  return {"IAF fax automaton", T38IAF__STATES, T38IAF__EVENTS, STATE__IDLE, kPlainRows, kActionTargets, {}};
}

}  // namespace kv::t38
