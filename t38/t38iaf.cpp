// The IAF fax service: the main entry of the IAF services, the fax
// automaton with its speed modes, the paced transmit path, the receive path
// and the shared polling timer.
#include "t38/t38iaf.h"

#include <cstring>
#include <iterator>

#include "common/byte_order.h"
#include "runtime/mem.h"
#include "runtime/om_os.h"
#include "t38/t38_entity.h"
#include "t38/t38_report.h"
#include "t38/t38_trace.h"

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

constexpr const char* kIndicatorNames[] = {"no-signal",
                                           "cng",
                                           "ced",
                                           "v21-preamble",
                                           "v27-2400-training",
                                           "v27-4800-training",
                                           "v29-7200-training",
                                           "v29-9600-training",
                                           "v17-7200-short-training",
                                           "v17-7200-long-training",
                                           "v17-9600-short-training",
                                           "v17-9600-long-training",
                                           "v17-12000-short-training",
                                           "v17-12000-long-training",
                                           "v17-14400-short-training",
                                           "v17-14400-long-training"};
constexpr const char* kDataNames[] = {"v21",      "v27-2400", "v27-4800",  "v29-7200", "v29-9600",
                                      "v17-7200", "v17-9600", "v17-12000", "v17-14400"};
constexpr const char* kFieldNames[] = {"hdlc-data",       "hdlc-sig-end",        "hdlc-fcs-OK",
                                       "hdlc-fcs-BAD",    "hdlc-fcs-OK-sig-end", "hdlc-fcs-BAD-sig-end",
                                       "t4-non-ecm-data", "t4-non-ecm-sig-end"};

const char* type_name(u8 type_byte) {
  const u8 v = type_byte & 0x7F;
  if (type_byte & 0x80) return v < std::size(kDataNames) ? kDataNames[v] : "";
  return v < std::size(kIndicatorNames) ? kIndicatorNames[v] : "";
}
const char* field_name(u8 t) { return t < std::size(kFieldNames) ? kFieldNames[t] : ""; }

constexpr u8 KEEP = 254;       // the action leaves the state as it is
constexpr u8 BY_ACTION = 255;  // the action sets the state itself

u32 msg_ref(const msg_t* m) { return static_cast<u32>(reinterpret_cast<uintptr_t>(m)); }

// A fresh message of n data bytes to the fax user, or null (trap 12182).
msg_t* fax_msg(t38iaf_session& c, code_t code, u32 n, u8** p, const char* who) {
  msg_t* m = nullptr;
  buffer_t* b = nullptr;
  Alloc_msg_data(&m, &b, n, p);
  if (*p == nullptr) {
    t38__trap(*c.s, T38IAF__TRAP__FAX__NO_MSG_NO_BUFFER, who);
    return nullptr;
  }
  if (n != 0) std::memset(*p, 0, n);
  m->from = ENT_T38;
  m->to = c.fax_user;
  m->nai = c.s->nai;
  m->sapi = T38IAF__SAPI_FAX;
  m->conn_id = OM_OS_CONN_NONE;
  m->code = code;
  return m;
}

void ifp_error(t38iaf_session& c) { t38__send_t38__dea_in(OM_OS_NOK, 3, "T38__MSG_ERR__IFP_ERROR", *c.s); }

// Sends one IFP packet; on failure the user hears of it (T38__DEA_IN): 2 or 3.
u8 send_ifp(t38iaf_session& c, u8 type_byte, t38_data_field* fields) {
  if (t38_ifp__send(T38_IFP__MODE_SEND, type_byte, fields, *c.s) == OM_OS_OK) return OM_OS_OK;
  ifp_error(c);
  return OM_OS_NOK;
}

// A data field of the session's pool, or null (trap 12183).
t38_data_field* new_field(t38iaf_session& c, u8 type, const char* who) {
  t38_data_field* f = t38_mem__alloc_data_object(0, *c.s);
  if (f == nullptr) {
    t38__trap(*c.s, T38IAF__TRAP__FAX__NO_MORE_DATA_FIELD, who);
    return nullptr;
  }
  f->field_type = type;
  return f;
}

void free_rx_buffer(t38iaf_session& c) {
  if (c.rx_buf != nullptr) Free_buffer(c.rx_buf);
  c.rx_buf = nullptr;
}

void release_current(t38iaf_session& c) {
  if (c.cur != nullptr) Free_msg(c.cur);
  c.cur = nullptr;
  c.cur_buf = nullptr;
  c.read_pos = 0;
}

// Whether IAF/IAF mode runs the high-speed part at the page rate: neither a
// DCS waiting for its TCF nor high-speed data in progress.
bool iaf_iaf_page(const t38iaf_session& c) { return c.iaf_iaf_mode && !c.call.dcs_pending && !c.call.hs_in_progress; }

// The row of a speed mode, or null.
const t38iaf_speed_mode* t38iaf__speed_mode(u16 mode) {
  for (const t38iaf_speed_mode& r : kSpeedModes) {
    if (r.mode == mode) return &r;
  }
  return nullptr;
}

}  // namespace

t38iaf_session::~t38iaf_session() {
  for (msg_t* m : fifo) Free_msg(m);
  fifo.clear();
  if (cur != nullptr) Free_msg(cur);
  if (rx_buf != nullptr) Free_buffer(rx_buf);
  if (rx_fields != nullptr && s != nullptr) t38_mem__free_data_objects(rx_fields, *s);
}

void send_t38iaf__fax_progress_in(t38iaf_session& c, u16 progress) {
  u8* p = nullptr;
  msg_t* m =
      fax_msg(c, T38IAF__FAX_PROGRESS_IN, 6, &p, "T38IAF->send_t38iaf__fax_progress_in: No more memory ressource");
  if (m == nullptr) return;
  put_le16(p, progress);
  put_le16(p + 2, static_cast<u16>(c.rate));
  put_le16(p + 4, 0);
  t38__log(*c.s, T38_TRC__MSG, "Send T38IAF__FAX_PROGRESS_IN (%c)  (p_msg = 0x%8X)\n", static_cast<char>(progress),
           msg_ref(m));
  c.last_progress = progress;
  Send_msg(m);
}

void send_t38iaf__busy__clear_busy_in(t38iaf_session& c, code_t code) {
  msg_t* m = Alloc_msg();
  if (m == nullptr) {
    t38__trap(*c.s, T38IAF__TRAP__FAX__NO_MSG_NO_BUFFER,
              "T38IAF->send_t38iaf__busy__clear_busy_in: No more memory ressource");
    return;
  }
  m->from = ENT_T38;
  m->to = c.fax_user;
  m->nai = c.s->nai;
  m->sapi = T38IAF__SAPI_FAX;
  m->conn_id = OM_OS_CONN_NONE;
  m->code = code;
  t38__log(*c.s, T38_TRC__MSG,
           code == T38IAF__FAX_BUSY_IN ? "Send T38IAF__FAX_BUSY_IN\n" : "Send T38IAF__FAX_CLEAR_BUSY_IN\n");
  Send_msg(m);
}

namespace {

// Sends what the receive buffer holds as T38IAF__FAX_DA_IN.
void send_fax_da_in(t38iaf_session& c) {
  if (c.rx_buf == nullptr) return;
  msg_t* m = Alloc_msg();
  if (m == nullptr) {
    t38__trap(*c.s, T38IAF__TRAP__FAX__NO_MSG_NO_BUFFER, "T38IAF->send_t38iaf__fax_da_in: No more memory ressource");
    free_rx_buffer(c);
    return;
  }
  m->from = ENT_T38;
  m->to = c.fax_user;
  m->nai = c.s->nai;
  m->sapi = T38IAF__SAPI_FAX;
  m->conn_id = OM_OS_CONN_NONE;
  m->code = T38IAF__FAX_DA_IN;
  const u8 zero[2] = {0, 0};
  Msg_set_inline_body(m, zero, 2);
  c.rx_buf->link_count = 1;
  Msg_attach_chain(m, c.rx_buf);
  c.rx_buf = nullptr;
  t38__log(*c.s, T38_TRC__MSG, "Send T38IAF__FAX_DA_IN (%d bytes)  (p_msg = 0x%8X)\n", m->chain_size, msg_ref(m));
  Send_msg(m);
}

void cd_off_once(t38iaf_session& c) {
  if (c.last_carrier == T38IAF__FAX_CD_OFF) return;
  send_t38iaf__fax_progress_in(c, T38IAF__FAX_CD_OFF);
  c.last_carrier = T38IAF__FAX_CD_OFF;
}

// The effect of a complete V.21 frame, sent or received.
void frame_check(t38iaf_session& c, bool fcs_ok, u8 direction) {
  t38_session& s = *c.s;
  switch (t30_frame__end(c.frame, fcs_ok, c.call, s, direction)) {
    case T30__FRAME_DCS:
      t38__log(s, T38_TRC__AUTOMATON, "DCS T.30 frame detected: fax parameters are known  drate = 0x%x  Ecm = %s\n",
               c.call.fact_rate, c.call.fact_ecm ? "ON" : "OFF");
      break;
    case T30__FRAME_NSS:
      ++c.proto_errors;
      if (c.enh[10] != 0xFFFF) ++c.enh[10];
      t38__log(s, T38_TRC__AUTOMATON,
               "Fax protocol err: T38__DEA__FAX_PROTOCOL_ERR_22  (NSS T.30 frame has been received) -> ignore it\n");
      break;
    case T30__FRAME_DCN:
      c.enh[0] = 1;
      s.dcn_seen = 1;
      t38__log(s, T38_TRC__AUTOMATON, "-> DCN detected: Stop analyse of RX UDP packets\n");
      break;
    case T30__FRAME_BAD: t38__log(s, T38_TRC__AUTOMATON, "Erroneous Frame: Bad CRC\n"); break;
    default: break;
  }
}

// Whether the receive fifo holds a v21-preamble: the far side has begun a
// newer V.21 transmission than the packet just taken from the fifo.
bool newer_v21_preamble_waiting(const t38_session& s) {
  for (const t38_ifp_packet* p = s.ifp.rx_head; p != nullptr; p = p->next) {
    if (p->type == T38_IFP__TYPE_T30_INDICATOR && p->type_value == T38_IND__V21_PREAMBLE) return true;
  }
  return false;
}

}  // namespace

// ---------------------------------------------------------------------------
// Fax automaton actions.

struct t38iaf_actions {
  using action_fn = u8 (*)(t38iaf_service&, t38iaf_session&, msg_t**);
  struct cell {
    action_fn action;
    u8 next;
  };

  static u8 no_action(t38iaf_service&, t38iaf_session& c, msg_t**) {
    t38__log(*c.s, T38_TRC__AUTOMATON, "[Fct IAF: no_action]\n");
    return OM_OS_OK;
  }

  static u8 discard_packet(t38iaf_service&, t38iaf_session& c, msg_t**) {
    t38__log(*c.s, T38_TRC__AUTOMATON, "Rcv IFP Packet is discarded\n");
    return OM_OS_OK;  // the held packet is released after the action
  }

  // A v21-preamble that comes before the upper layer asks for V.21
  // reception (the far side answering a CNG that has just stopped): kept,
  // so that the receive asked for next starts on it instead of missing the
  // whole command.
  static u8 idle_t30_ind(t38iaf_service& svc, t38iaf_session& c, msg_t** m) {
    if (c.rx_type != T38_IND__V21_PREAMBLE) return discard_packet(svc, c, m);
    t38__log(*c.s, T38_TRC__AUTOMATON, "Rcv IFP Packet (v21-preamble) -> Kept for the next V.21 receive\n");
    c.v21_seen = 1;
    return OM_OS_OK;
  }

  static u8 restore_packet(t38iaf_service&, t38iaf_session& c, msg_t**) {
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

  static u8 fax_act_rq(t38iaf_service& svc, t38iaf_session& c, msg_t** m) {
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
               "-> Ignore T38IAF__FAX_ACT_RQ: field T38iaf__fax_act_rq_speed_mode settings not supported (0x%X)\n",
               mode);
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
            t38__log(s, T38_TRC__AUTOMATON,
                     "-> IAF / IAF mode and Transparent Fax page -> Ignore first_char_delay_ms\n");
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

  static u8 fax_dea_rq(t38iaf_service& svc, t38iaf_session& c, msg_t**) {
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

  static void store_fax_da_rq(t38iaf_session& c, msg_t** m) {
    c.fifo.push_back(*m);
    *m = nullptr;
    t38__log(*c.s, T38_TRC__AUTOMATON, "-> Store Msg into Xmit fifo (Nb Msg %d)\n", static_cast<int>(c.fifo.size()));
    if (c.fifo.size() >= c.s->iaf_cfg.flow_ctrl_thr_high && !c.busy) {
      send_t38iaf__busy__clear_busy_in(c, T38IAF__FAX_BUSY_IN);
      c.busy = 1;
      c.clear_busy = 0;
    }
  }

  // A request while the handshake runs waits in the fifo for its end.
  static u8 queue_fax_da_rq(t38iaf_service&, t38iaf_session& c, msg_t** m) {
    store_fax_da_rq(c, m);
    return OM_OS_OK;
  }

  static u8 fax_da_rq(t38iaf_service& svc, t38iaf_session& c, msg_t** m) {
    store_fax_da_rq(c, m);
    // The data timer sends when it runs; otherwise (no cell, or a cell that
    // ran out while the fifo was dry) the transmission starts now.
    if (c.cell != nullptr && c.cell->remaining > 0) return OM_OS_OK;
    return send_xmit_fifo(svc, c);
  }

  static u8 ti_eof_handshake_tx(t38iaf_service& svc, t38iaf_session& c, msg_t**) {
    send_t38iaf__fax_progress_in(c, T38IAF__FAX_CTS_ON__RDY_FOR_DATA);
    c.last_carrier = T38IAF__FAX_CD_OFF;
    svc.poll_stop(c);
    return send_xmit_fifo(svc, c);
  }

  static u8 ti_data_tx(t38iaf_service& svc, t38iaf_session& c, msg_t**) { return send_xmit_fifo(svc, c); }

  static void data_timer(t38iaf_service& svc, t38iaf_session& c, u32 bytes) {
    const i32 theory = static_cast<i32>(static_cast<u64>(bytes) * 8000 / (c.rate != 0 ? c.rate : 1));
    i32 adjusted = theory + c.overrun;
    if (adjusted < 1) adjusted = 1;
    t38__log(*c.s, T38_TRC__AUTOMATON, "Theorical time: %dMs  Adjusted time: %dMs  (Delta previous time %dMs)\n",
             theory, adjusted, c.overrun);
    svc.poll_start(c, T38IAF__KIND_DATA_TX, adjusted);
  }

  static bool take_next(t38iaf_session& c) {
    if (c.fifo.empty()) return false;
    c.cur = c.fifo.front();
    c.fifo.pop_front();
    c.cur_buf = c.cur->p_buffer;
    c.read_pos = 0;
    if (c.data_type == T38IAF__DATA_V21) {
      t30_frame__reset(c.frame);
      t38_ifp__update_inactivity(c.s->ip.v21_ip_inactivity_ms, *c.s);
    }
    const u16 status = c.cur->data_size >= 2 ? get_le16(Msg_inline_data(c.cur)) : 0;
    if (status != 0) {
      c.last_block = 1;
      t38__log(*c.s, T38_TRC__AUTOMATON, "-> Process last T38IAF__FAX_DA_RQ (T38iaf__fax_da_rq_block_status != 0)\n");
    }
    return true;
  }

  static void append(t38_data_field*& first, t38_data_field*& last, t38_data_field* f) {
    if (first == nullptr) first = f;
    else last->next = f;
    last = f;
  }

  static u8 send_idle_data(t38iaf_service& svc, t38iaf_session& c) {
    t38_session& s = *c.s;
    t38__log(s, T38_TRC__AUTOMATON, "-> There is no data to send (Xmit fifo is empty)\n");
    if (c.last_block) {
      if (c.last_progress == T38IAF__FAX_END_OF_DATA) return OM_OS_OK;
      send_t38iaf__fax_progress_in(c, T38IAF__FAX_END_OF_DATA);
      const u8 type = c.kind == T38IAF__KIND_TRANSPARENT ? T38_FIELD__T4_NON_ECM_SIG_END : T38_FIELD__HDLC_SIG_END;
      t38_data_field* f = new_field(c, type, "T38IAF->send_idle_data: No more data field");
      if (f == nullptr) {
        t38__send_t38__dea_in(OM_OS_NOK, 4, "T38GW__MSG_ERR__MEMORY_ALLOC", s);
        return OM_OS_NOK;
      }
      if (c.data_type != T38IAF__DATA_V21) t30_frame__hs_field(c.frame, type, nullptr, 0, c.call, s, 1);
      return send_ifp(c, c.data_type, f);
    }
    if (c.last_progress != T38IAF__FAX_IDLING) send_t38iaf__fax_progress_in(c, T38IAF__FAX_IDLING);
    if (c.kind == T38IAF__KIND_HDLC) {
      t38__log(s, T38_TRC__AUTOMATON, "-> HDLC transmission fall into underrun (send flags). Restart it\n");
      c.overrun = 0;
      svc.poll_start(c, T38IAF__KIND_DATA_TX, 50);
      return OM_OS_OK;
    }
    if (c.iaf_iaf_mode && iaf_iaf_page(c)) {
      t38__log(s, T38_TRC__AUTOMATON, "-> IAF / IAF mode and Transparent Fax page -> Don't send idle characters\n");
      return OM_OS_OK;
    }
    u32 zeros = static_cast<u32>((50 + c.idle_owed) > 0 ? (50 + c.idle_owed) : 0) * c.rate / 8000;
    c.idle_owed = 0;
    t38_data_field* first = nullptr;
    t38_data_field* last = nullptr;
    const u16 max_field = s.ifp.max_dfield_size != 0 ? s.ifp.max_dfield_size : T38__MAX_SIZE_DATA_FIELD;
    while (zeros != 0) {
      t38_data_field* f = new_field(c, T38_FIELD__T4_NON_ECM_DATA, "T38IAF->send_idle_data: No more data field");
      if (f == nullptr) {
        t38_mem__free_data_objects(first, s);
        t38__send_t38__dea_in(OM_OS_NOK, 4, "T38GW__MSG_ERR__MEMORY_ALLOC", s);
        return OM_OS_NOK;
      }
      f->length = static_cast<u16>(zeros < max_field ? zeros : max_field);
      zeros -= f->length;
      append(first, last, f);
    }
    if (first != nullptr && send_ifp(c, c.data_type, first) != OM_OS_OK) return OM_OS_NOK;
    i32 t = 50 + c.overrun;
    if (t < 1) {
      c.idle_owed += 1 - t;
      t = 1;
    }
    c.overrun = 0;
    svc.poll_start(c, T38IAF__KIND_DATA_TX, t);
    return OM_OS_OK;
  }

  // One IFP DATA packet.
  static u8 send_xmit_fifo(t38iaf_service& svc, t38iaf_session& c) {
    t38_session& s = *c.s;
    if (c.cur == nullptr) take_next(c);
    if (c.cur != nullptr && s.pools.data_fields().congested) {
      t38__log(s, T38_TRC__AUTOMATON,
               "-> A Data field congestion state has been detected then ignore T38IAF_FAX_DA_RQ\n");
      release_current(c);
    }
    u8 result = OM_OS_OK;
    if (c.cur == nullptr) {
      result = send_idle_data(svc, c);
    } else {
      result = send_packet(svc, c);
    }
    if (c.fifo.size() <= s.iaf_cfg.flow_ctrl_thr_low && !c.clear_busy) {
      send_t38iaf__busy__clear_busy_in(c, T38IAF__FAX_CLEAR_BUSY_IN);
      c.clear_busy = 1;
      c.busy = 0;
    }
    return result;
  }

  static u8 send_packet(t38iaf_service& svc, t38iaf_session& c) {
    t38_session& s = *c.s;
    const bool hdlc = c.kind == T38IAF__KIND_HDLC;
    // An HDLC frame without bytes is no frame: it is dropped (its last-block
    // mark still counts).
    if (hdlc && c.cur != nullptr && Buffer_chain_length(c.cur->p_buffer) == 0) {
      t38__log(s, T38_TRC__AUTOMATON, "-> Empty HDLC frame (T38IAF__FAX_DA_RQ without data) -> ignore it\n");
      release_current(c);
      return send_idle_data(svc, c);
    }
    u32 budget = c.next_budget;
    if (c.first_packet) {
      c.first_packet = 0;
      if (c.first_budget != 0) budget = c.first_budget;
    }
    const u8 type = hdlc ? T38_FIELD__HDLC_DATA : T38_FIELD__T4_NON_ECM_DATA;
    const u16 max_field = s.ifp.max_dfield_size != 0 ? s.ifp.max_dfield_size : T38__MAX_SIZE_DATA_FIELD;
    t38_data_field* first = nullptr;
    t38_data_field* last = nullptr;
    u32 bytes = 0;
    bool chain_ended = false;
    t38_data_field* cur_field = nullptr;
    while (c.cur != nullptr && bytes < budget) {
      if (c.cur_buf == nullptr || c.read_pos >= c.cur_buf->data_size) {
        if (c.cur_buf != nullptr && c.cur_buf->next != nullptr) {
          c.cur_buf = c.cur_buf->next;
          c.read_pos = 0;
          continue;
        }
        // End of the chain.
        release_current(c);
        chain_ended = true;
        if (hdlc || !take_next(c)) break;
        continue;
      }
      if (cur_field == nullptr || cur_field->length >= max_field) {
        cur_field = new_field(c, type, "T38IAF->send_xmit_fifo: No more data field");
        if (cur_field == nullptr) {
          t38_mem__free_data_objects(first, s);
          release_current(c);
          t38__send_t38__dea_in(OM_OS_NOK, 4, "T38GW__MSG_ERR__MEMORY_ALLOC", s);
          return OM_OS_NOK;
        }
        append(first, last, cur_field);
      }
      u32 n = c.cur_buf->data_size - c.read_pos;
      const u32 field_room = static_cast<u32>(max_field - cur_field->length);
      if (n > field_room) n = field_room;
      if (n > budget - bytes) n = budget - bytes;
      std::memcpy(cur_field->data + cur_field->length, Buffer_data(c.cur_buf) + c.read_pos, n);
      if (c.data_type == T38IAF__DATA_V21) {
        for (u32 i = 0; i < n; ++i) {
          t30_frame__octet(c.frame, cur_field->data[cur_field->length + i], s.adjusted.fax_max_bit_rate, c.call);
        }
      }
      cur_field->length = static_cast<u16>(cur_field->length + n);
      c.read_pos = static_cast<u16>(c.read_pos + n);
      bytes += n;
      if (c.last_progress != T38IAF__FAX_SENDING_DATA) send_t38iaf__fax_progress_in(c, T38IAF__FAX_SENDING_DATA);
    }
    // A frame whose last byte went exactly with the budget ends here too.
    if (hdlc && c.cur != nullptr && c.cur_buf != nullptr && c.read_pos >= c.cur_buf->data_size &&
        c.cur_buf->next == nullptr) {
      release_current(c);
      chain_ended = true;
    }
    for (t38_data_field* f = first; f != nullptr; f = f->next) {
      t38_ifp_counters& k = s.ifp.cnt;
      ++k.dfield_count;
      k.dfield_bytes += f->length;
      if (static_cast<i32>(k.dfield_bytes) < 0) k.dfield_count = k.dfield_bytes = 0;
      if (f->length > k.largest_dfield) k.largest_dfield = f->length;
    }
    u32 timed = bytes;
    if (hdlc && chain_ended) {
      t38_data_field* f = new_field(c, T38_FIELD__HDLC_FCS_OK, "T38IAF->send_xmit_fifo: No more data field");
      if (f == nullptr) {
        t38_mem__free_data_objects(first, s);
        t38__send_t38__dea_in(OM_OS_NOK, 4, "T38GW__MSG_ERR__MEMORY_ALLOC", s);
        return OM_OS_NOK;
      }
      append(first, last, f);
      c.first_packet = 1;
      timed += c.data_type == T38IAF__DATA_V21 ? 4 : 25;
    }
    if (!hdlc && c.last_block && bytes == 0) {
      t38_data_field* f = new_field(c, T38_FIELD__T4_NON_ECM_SIG_END, "T38IAF->send_xmit_fifo: No more data field");
      if (f == nullptr) {
        t38_mem__free_data_objects(first, s);
        t38__send_t38__dea_in(OM_OS_NOK, 4, "T38GW__MSG_ERR__MEMORY_ALLOC", s);
        return OM_OS_NOK;
      }
      append(first, last, f);
      if (first == f && c.last_progress != T38IAF__FAX_END_OF_DATA) {
        send_t38iaf__fax_progress_in(c, T38IAF__FAX_END_OF_DATA);
      }
    }
    if (first != nullptr) {
      if (c.data_type == T38IAF__DATA_V21) {
        if (hdlc && chain_ended) frame_check(c, true, 1);
      } else {
        for (t38_data_field* f = first; f != nullptr; f = f->next) {
          t30_frame__hs_field(c.frame, f->field_type, f->data, f->length, c.call, s, 1);
        }
      }
      t38__log(s, T38_TRC__AUTOMATON, "-> Send UDPTL Packet (IFP (%s, data field: %s))\n", type_name(c.data_type),
               field_name(first->field_type));
      if (send_ifp(c, c.data_type, first) != OM_OS_OK) {
        release_current(c);
        return OM_OS_NOK;
      }
    }
    if (timed != 0) data_timer(svc, c, timed);
    return OM_OS_OK;
  }

  // ---- receive side

  // Direction and type checks shared by the two receive actions: true when
  // the packet is to be handled.
  static bool rx_checks(t38iaf_session& c) {
    t38_session& s = *c.s;
    if (c.transmit()) {
      t38__log(s, T38_TRC__AUTOMATON, "-> Wrong direction (a modulator has been launched by the upper layer)\n");
      return false;
    }
    const u8 expected = (c.rx_type & 0x80) ? c.data_type : c.indicator;
    if (c.rx_type != expected) {
      t38__log(s, T38_TRC__AUTOMATON, "-> Wrong modulation: the FAX_ACT_RQ (Mdm) is != to IFP (Mdm)\n");
      if (c.data_type == T38IAF__DATA_V21) return false;
      t38__log(s, T38_TRC__AUTOMATON, "-> Ignore kind of Mdm and process this IFP packet\n");
    }
    return true;
  }

  static u8 ifp_t30_ind(t38iaf_service&, t38iaf_session& c, msg_t**) {
    t38_session& s = *c.s;
    if (c.transmit()) {
      t38__log(s, T38_TRC__AUTOMATON, "-> Wrong direction (a modulator has been launched by the upper layer)\n");
      return OM_OS_OK;
    }
    if (c.rx_type != c.indicator) {
      if (c.listen_v21 && c.rx_type == T38_IND__V21_PREAMBLE && c.data_type != T38IAF__DATA_V21) {
        c.v21_seen = 1;
        send_t38iaf__fax_progress_in(c, T38IAF__FAX_ALT_CD_ON);
        return OM_OS_OK;
      }
      t38__log(s, T38_TRC__AUTOMATON, "-> Wrong modulation: the FAX_ACT_RQ (Mdm) is != to IFP (Mdm)\n");
      if (c.data_type == T38IAF__DATA_V21) return OM_OS_OK;
      t38__log(s, T38_TRC__AUTOMATON, "-> Ignore kind of Mdm and process this IFP packet\n");
    }
    send_t38iaf__fax_progress_in(c, T38IAF__FAX_CD_ON);
    if (c.kind == T38IAF__KIND_HDLC) send_t38iaf__fax_progress_in(c, T38IAF__FAX_FLAGS_DETECTED);
    c.last_carrier = T38IAF__FAX_CD_ON;
    c.state = STATE__DATA_RX;
    return OM_OS_OK;
  }

  // A DATA packet of the awaited type while no indicator has opened the
  // carrier: the far side sends without indicators (they are optional over
  // TCP), so its first data packet stands for the indicator.  Any other data
  // packet is left alone, as before.
  static u8 hdsk_rx_data(t38iaf_service& svc, t38iaf_session& c, msg_t** m) {
    t38_session& s = *c.s;
    if (c.transmit() || c.rx_type != c.data_type) return OM_OS_OK;
    t38__log(s, T38_TRC__AUTOMATON, "Rcv IFP Packet (data) without indicator -> Carrier taken as detected\n");
    send_t38iaf__fax_progress_in(c, T38IAF__FAX_CD_ON);
    if (c.kind == T38IAF__KIND_HDLC) send_t38iaf__fax_progress_in(c, T38IAF__FAX_FLAGS_DETECTED);
    c.last_carrier = T38IAF__FAX_CD_ON;
    c.state = STATE__DATA_RX;
    return ifp_data(svc, c, m);
  }

  static void protocol_error(t38iaf_session& c, u32 counter, const char* err, u8 field_type) {
    ++c.proto_errors;
    if (c.enh[counter] != 0xFFFF) ++c.enh[counter];
    t38__log(*c.s, T38_TRC__AUTOMATON, "Fax protocol err: %s Rcv unexpected IFP Packet (%s) -> Discard it\n", err,
             field_name(field_type));
  }

  static u8 ifp_data(t38iaf_service&, t38iaf_session& c, msg_t**) {
    t38_session& s = *c.s;
    if (!rx_checks(c)) return OM_OS_OK;
    if (om_os_get_congestion()) {
      t38__log(s, T38_TRC__AUTOMATON, "-> A VXL congestion state has been detected then ignore Rx IFP Packet\n");
      return OM_OS_OK;
    }
    const u16 room = om_os_get_buffer_room();
    const bool v21 = c.data_type == T38IAF__DATA_V21;
    u32 limit = v21 ? room : (c.call.fact_ecm_size == 64 ? 68u : 260u);
    if (limit > room) limit = room;
    const bool hdlc = c.kind == T38IAF__KIND_HDLC;
    bool first_field = true;
    for (t38_data_field* f = c.rx_fields; f != nullptr; f = f->next) {
      if (first_field) c.rx_data_lost = f->data_lost;
      first_field = false;
      const u8 type = f->field_type;
      if (!v21 && (hdlc ? type <= 5 : type >= 6)) t30_frame__hs_field(c.frame, type, f->data, f->length, c.call, s);
      // The bytes into the receive buffer, as many as fit.  A sender that
      // does not pace its data (spandsp's terminal among them) puts the last
      // bytes of a page into the sig-end field and may end a frame with bytes
      // in its fcs-OK field: those are page data too.
      u16 pos = 0;
      const bool carries = hdlc ? type == T38_FIELD__HDLC_DATA || type == T38_FIELD__HDLC_FCS_OK ||
                                      type == T38_FIELD__HDLC_FCS_OK_SIG_END
                                : type == T38_FIELD__T4_NON_ECM_DATA || type == T38_FIELD__T4_NON_ECM_SIG_END;
      while (carries && pos < f->length) {
        if (hdlc && c.frame_too_long) break;
        if (c.rx_buf == nullptr) {
          c.rx_buf = Alloc_buffer();
          if (c.rx_buf == nullptr) {
            t38__trap(s, T38IAF__TRAP__FAX__NO_MSG_NO_BUFFER,
                      "T38IAF->process_evt__ifp_packet_type_data: No more memory ressource");
            t38__send_t38__dea_in(OM_OS_NOK, 4, "T38GW__MSG_ERR__MEMORY_ALLOC", s);
            return OM_OS_NOK;
          }
        }
        const u32 cap = hdlc ? limit : room;
        if (c.rx_buf->data_size >= cap) {
          if (hdlc) {
            // Longer than a frame may be: dropped, and the frame noted too long.
            free_rx_buffer(c);
            c.frame_too_long = 1;
            break;
          }
          send_fax_da_in(c);
          continue;
        }
        u32 n = f->length - pos;
        if (n > cap - c.rx_buf->data_size) n = cap - c.rx_buf->data_size;
        u8* dst = Buffer_data(c.rx_buf) + c.rx_buf->data_size;
        std::memcpy(dst, f->data + pos, n);
        if (v21) {
          for (u32 i = 0; i < n; ++i) t30_frame__octet(c.frame, dst[i], s.adjusted.fax_max_bit_rate, c.call);
        }
        c.rx_buf->data_size = static_cast<u16>(c.rx_buf->data_size + n);
        pos = static_cast<u16>(pos + n);
      }
      if (f->continued) continue;  // the same field goes on in the next object
      if (!hdlc) {
        switch (type) {
          case T38_FIELD__T4_NON_ECM_DATA:
            if (c.rx_buf != nullptr && c.rx_buf->data_size >= room) send_fax_da_in(c);
            break;
          case T38_FIELD__T4_NON_ECM_SIG_END:
            if (c.rx_buf != nullptr && c.rx_buf->data_size != 0) send_fax_da_in(c);
            free_rx_buffer(c);
            cd_off_once(c);
            break;
          case 3:
          case 5: break;
          default:
            free_rx_buffer(c);
            protocol_error(c, 9, "T38__DEA__FAX_PROTOCOL_ERR_20", type);
            break;
        }
        continue;
      }
      switch (type) {
        case T38_FIELD__HDLC_DATA:
          if (c.frame_too_long) free_rx_buffer(c);
          break;
        case T38_FIELD__HDLC_SIG_END:
          free_rx_buffer(c);
          c.frame_too_long = 0;
          cd_off_once(c);
          if (c.rx_data_lost) t38_report__trap(0, T38__ERR_REPORT__CORRUPTED_HDLC_FRAME, 0, "", "", s);
          break;
        case T38_FIELD__HDLC_FCS_OK:
        case T38_FIELD__HDLC_FCS_OK_SIG_END: {
          const bool good = !c.rx_data_lost && !c.frame_too_long && c.rx_buf != nullptr && c.rx_buf->data_size != 0;
          if (v21 && !c.frame_too_long) frame_check(c, true, 0);
          if (good) {
            send_fax_da_in(c);
          } else {
            free_rx_buffer(c);
          }
          if (c.frame_too_long) {
            t38_report__trap(0, T38__ERR_REPORT__ECM_FRAME_TOO_LONG, 0, "", "", s);
          } else if (c.rx_data_lost) {
            t38_report__trap(0, T38__ERR_REPORT__CORRUPTED_HDLC_FRAME, 0, "", "", s);
          }
          c.frame_too_long = 0;
          c.rx_data_lost = 0;
          if (v21) t30_frame__reset(c.frame);
          if (type == T38_FIELD__HDLC_FCS_OK_SIG_END) cd_off_once(c);
          break;
        }
        case T38_FIELD__HDLC_FCS_BAD:
        case T38_FIELD__HDLC_FCS_BAD_SIG_END:
          if (v21) frame_check(c, false, 0);
          free_rx_buffer(c);
          c.frame_too_long = 0;
          if (v21) t30_frame__reset(c.frame);
          if (type == T38_FIELD__HDLC_FCS_BAD_SIG_END) cd_off_once(c);
          break;
        default:
          free_rx_buffer(c);
          protocol_error(c, 8, "T38__DEA__FAX_PROTOCOL_ERR_21", type);
          break;
      }
    }
    return OM_OS_OK;
  }

  static constexpr action_fn NA = no_action;
  static constexpr cell kTable[T38IAF__EVENTS * T38IAF__STATES] = {
      // IDLE                 HDSK_TX                          DATA_TX                  HDSK_RX                  DATA_RX
      {fax_act_rq, BY_ACTION},
      {NA, KEEP},
      {NA, KEEP},
      {NA, KEEP},
      {NA, KEEP},  // FAX_ACT_RQ
      {NA, KEEP},
      {fax_dea_rq, STATE__IDLE},
      {fax_dea_rq, STATE__IDLE},
      {fax_dea_rq, STATE__IDLE},
      {fax_dea_rq, STATE__IDLE},  // FAX_DEA_RQ
      {NA, KEEP},
      {queue_fax_da_rq, KEEP},
      {fax_da_rq, KEEP},
      {NA, KEEP},
      {NA, KEEP},  // FAX_DA_RQ
      {NA, KEEP},
      {ti_eof_handshake_tx, STATE__DATA_TX},
      {NA, KEEP},
      {NA, KEEP},
      {NA, KEEP},  // EOF_HNDSHK
      {NA, KEEP},
      {NA, KEEP},
      {ti_data_tx, KEEP},
      {NA, KEEP},
      {NA, KEEP},  // DATA_TX timer
      {idle_t30_ind, KEEP},
      {NA, KEEP},
      {restore_packet, KEEP},
      {ifp_t30_ind, BY_ACTION},
      {NA, KEEP},  // T30_IND
      {discard_packet, KEEP},
      {NA, KEEP},
      {restore_packet, KEEP},
      {hdsk_rx_data, BY_ACTION},
      {ifp_data, KEEP},  // DATA
  };
};

// ---------------------------------------------------------------------------
// The service.

t38iaf_service::~t38iaf_service() {
  // The runtime owns the timer cell; records go with the service.
  for (auto& [s, c] : sessions_) const_cast<t38_session*>(s)->iaf_context = nullptr;
  sessions_.clear();
}

t38iaf_session* t38iaf_service::find(const t38_session& s) const {
  auto it = sessions_.find(&s);
  return it == sessions_.end() ? nullptr : it->second.get();
}

u8 t38iaf_service::polling_setup(t38_session& s) {
  auto& slot = sessions_[&s];
  slot = std::make_unique<t38iaf_session>();
  slot->s = &s;
  s.iaf_context = slot.get();
  if (polling_users_ == 0) {
    poll_timer_ = Timer_alloc(ENT_T38, 0xFFFF, 0xFF, OM_OS_CONN_NONE);
    if (poll_timer_ == nullptr) {
      sessions_.erase(&s);
      s.iaf_context = nullptr;
      return T38IAF__CAUSE_TIMER_CELL;
    }
    for (t38iaf_poll_cell& cell : cells_) cell = t38iaf_poll_cell{};
    ++poll_id_;
    Timer_start(poll_timer_, T38IAF__POLLING_MS, poll_id_, T38IAF__TI_POLLING);
    poll_last_tick_ = om_os_tick();
  }
  ++polling_users_;
  return T38__CAUSE_OK;
}

u8 t38iaf_service::session_setup(t38_session& s) {
  t38iaf_session* c = find(s);
  if (c == nullptr) return T38__CAUSE_NO_MEMORY;
  if (om_os_get_buffer_room() < 260) return T38IAF__CAUSE_BUFFER_ROOM;
  if (s.iaf_cfg.flow_ctrl_thr_high <= s.iaf_cfg.flow_ctrl_thr_low) return T38IAF__CAUSE_FLOW_CTRL;
  c->active = 0;
  c->stat_countdown = 10;
  c->iaf_iaf_mode = 0;
  std::memset(c->enh, 0, sizeof c->enh);
  c->proto_errors = 0;
  v25_reset(*c);
  c->state = STATE__IDLE;
  t30_frame__reset(c->frame);
  return T38__CAUSE_OK;
}

void t38iaf_service::session_reset(t38_session& s) {
  t38iaf_session* c = find(s);
  if (c == nullptr) return;
  c->active = 0;
  v25_stop(*c);
  fax_stop(*c);
  poll_stop(*c);
  sessions_.erase(&s);
  s.iaf_context = nullptr;
  if (polling_users_ != 0 && --polling_users_ == 0 && poll_timer_ != nullptr) {
    Timer_free(poll_timer_);
    poll_timer_ = nullptr;
  }
}

u8 t38iaf_service::update_drate(t38_session& s, u32 rate, u16 packet_size, u8* cause) {
  t38iaf_session* c = find(s);
  if (c == nullptr || s.kind_of_session == T38__GATEWAY_SESSION) {
    *cause = 4;
    return OM_OS_NOK;
  }
  if (rate == 0) {
    c->iaf_iaf_rate = T38IAF__DRATE_DEFAULT;
    t38__log(s, T38_TRC__MSG, "User's Drate = 0 -> Use modulation Fax page Data Rate = 14400bps\n");
  } else if (rate == T38__TCP_FLOW_CTRL) {
    if (s.is_udp()) {
      t38__log(s, T38_TRC__MSG, "T38__TCP_FLOW_CTRL mode only supported with TCP tranport\n");
      *cause = 3;
    } else {
      t38__log(s, T38_TRC__MSG, "T38__TCP_FLOW_CTRL mode not yet supported\n");
      *cause = 2;
    }
    return OM_OS_NOK;
  } else {
    c->iaf_iaf_rate = rate;
    t38__log(s, T38_TRC__MSG, "Save new Fax page Data Rate: %lu bps\n", static_cast<unsigned long>(rate));
  }
  c->iaf_iaf_mode = 1;
  if (!s.is_udp()) {
    c->t38_packet_size = packet_size == 0 ? T38__IAF_IAF_TCP_T38_PACKET_SIZE : packet_size;
  } else {
    const u16 max = s.adjusted.max_datagram_size;
    c->t38_packet_size = packet_size == 0 || packet_size > max ? max : packet_size;
  }
  return OM_OS_OK;
}

void t38iaf_service::statistics(const t38_session& s, u32 stats[T38IAF__STAT_WORDS], u16 enh[T38IAF__ENH_COUNTERS]) {
  const t38iaf_session* c = find(s);
  if (c == nullptr) return;
  u8 t30[T30__STATISTICS_SIZE];
  t30__statistics(c->call, t30, nullptr);
  for (u32 i = 0; i < T38IAF__STAT_WORDS; ++i) stats[i] = get_le32(t30 + 4 * i);
  std::memcpy(enh, c->enh, sizeof c->enh);
}

u32 t38iaf_service::protocol_errors(const t38_session& s) {
  const t38iaf_session* c = find(s);
  return c != nullptr ? c->proto_errors : 0;
}

// ---- polling timer

void t38iaf_service::poll_start(t38iaf_session& c, u8 event, i32 ms) {
  if (c.cell == nullptr) {
    for (t38iaf_poll_cell& cell : cells_) {
      if (!cell.in_use) {
        c.cell = &cell;
        break;
      }
    }
    if (c.cell == nullptr) {
      t38__trap(*c.s, T38__TRAP__OM_OS_BLOCK_MEM_ERROR_UNKNOWN, "T38IAF->polling start: No more timer cell");
      return;
    }
  }
  c.cell->in_use = true;
  c.cell->owner = &c;
  c.cell->event = event;
  c.cell->start_tick = om_os_tick();
  c.cell->remaining = ms;
}

void t38iaf_service::poll_stop(t38iaf_session& c) {
  if (c.cell == nullptr) return;
  *c.cell = t38iaf_poll_cell{};
  c.cell = nullptr;
}

void t38iaf_service::polling_expiry(msg_t** m) {
  if (poll_timer_ == nullptr || Timer_expiry_id(*m) != poll_id_) return;
  const u32 now = om_os_tick();
  const u32 elapsed = now >= poll_last_tick_ ? now - poll_last_tick_ : T38IAF__POLLING_MS;
  poll_last_tick_ = now;
  ++poll_id_;
  Timer_start(poll_timer_, T38IAF__POLLING_MS, poll_id_, T38IAF__TI_POLLING);
  for (t38iaf_poll_cell& cell : cells_) {
    if (!cell.in_use || cell.remaining <= 0) continue;
    cell.remaining -= static_cast<i32>(elapsed);
    if (cell.remaining > 0) continue;
    t38iaf_session* c = cell.owner;
    const i32 overrun = cell.remaining;
    cell.remaining = 0;
    const u8 kind = cell.event;
    main_entry(kind, nullptr, overrun, *c);
  }
}

// ---- automata

void t38iaf_service::fax_stop(t38iaf_session& c) {
  msg_t* none = nullptr;
  t38iaf_actions::fax_dea_rq(*this, c, &none);
  c.state = STATE__IDLE;
}

u8 t38iaf_service::fax_automaton(u8 event, msg_t** m, i32 overrun, t38iaf_session& c) {
  const u32 index = static_cast<u32>(event) * T38IAF__STATES + c.state;
  if (overrun != 0 || event == EVT__TMR_CELL_DATA_TX || event == EVT__TMR_CELL_EOF_HNDSHK) c.overrun = overrun;
  if (index >= std::size(t38iaf_actions::kTable)) {
    t38__trap(*c.s, T38IAF__TRAP__FAX__BAD_AUTOMATON_IDX, "T38IAF->t38_auto__automaton: bad index");
    return OM_OS_NOK;
  }
  t38__log(*c.s, T38_TRC__AUTOMATON, "  >> FAX AUTOMATON ENTRY (%s, %s)\n", kStateNames[c.state], kEventNames[event]);
  const t38iaf_actions::cell& cell = t38iaf_actions::kTable[index];
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

u8 t38iaf_service::receive_packets(t38iaf_session& c) {
  t38_session& s = *c.s;
  for (u32 guard = 0; guard < 0x10000; ++guard) {
    t38_rx_packet p;
    if (t38_ifp__get_ifp_pck(p, s) != OM_OS_OK) {
      ifp_error(c);
      return OM_OS_NOK;
    }
    if (p.type_byte == T38_IFP__NOTHING) {
      t38__log(s, T38_TRC__AUTOMATON, "Get oldiest Rx IFP packet -> none\n");
      return OM_OS_OK;
    }
    c.rx_type = p.type_byte;
    c.rx_fields = p.fields;
    u8 r = OM_OS_OK;
    bool stop = false;
    if (p.type_byte == T38IAF__DATA_V21 && c.state == STATE__IDLE && newer_v21_preamble_waiting(s)) {
      // Data of a V.21 transmission that the far side has already started
      // again: only the newest one is kept for the receive asked for next.
      t38__log(s, T38_TRC__AUTOMATON, "Rcv IFP Packet (v21 data) -> Discarded: a newer v21-preamble is waiting\n");
    } else if (p.type_byte == T38IAF__DATA_V21 && c.state == STATE__IDLE) {
      // V.21 data before the upper layer asks for V.21 reception.  A far
      // side that sends no indicators (allowed over TCP) gives no preamble:
      // its first data stand for one.  The data are kept for the receive
      // asked for next, so that it gets the whole command.  The answer-tone
      // detector hears of them again when it was reset since (its flags
      // cleared), or a repeated command would never reach it.
      if (!c.v21_seen || !c.v21_preamble_received) {
        t38__log(s, T38_TRC__AUTOMATON, "Rcv IFP Packet (v21 data) without indicator -> Taken as v21-preamble\n");
        r = v25_automaton(6, c, nullptr);
        c.v21_seen = 1;
      }
      t38__log(s, T38_TRC__AUTOMATON, "Rcv IFP Packet (v21 data) -> Kept for the next V.21 receive\n");
      (void)t38_ifp__store_again_rcv_ifp_pck(c.rx_type, c.rx_fields, s);  // frees the fields when it cannot keep them
      c.rx_fields = nullptr;
      stop = true;
    } else if (p.type_byte & 0x80) {
      r = fax_automaton(EVT__IFP_PACKET_TYPE_DATA, nullptr, 0, c);
    } else if (p.type_byte == T38_IND__NO_SIGNAL) {
      t38__log(s, T38_TRC__AUTOMATON, "Rcv IFP Packet (no-signal) -> Discard it\n");
      c.v21_seen = 0;  // a kept preamble has ended unheard
    } else if (p.type_byte == T38_IND__CNG || p.type_byte == T38_IND__CED) {
      t30__event(s, p.type_byte == T38_IND__CNG ? 0x1 : 0x4, 0);
      r = v25_automaton(p.type_byte == T38_IND__CNG ? 4 : 5, c, nullptr);
      stop = true;
    } else if (p.type_byte == T38_IND__V21_PREAMBLE) {
      r = v25_automaton(6, c, nullptr);
      if (r == OM_OS_OK) r = fax_automaton(EVT__IFP_PACKET_TYPE_T30_IND, nullptr, 0, c);
      stop = true;
    } else {
      r = fax_automaton(EVT__IFP_PACKET_TYPE_T30_IND, nullptr, 0, c);
    }
    if (c.rx_fields != nullptr) {
      t38_mem__free_data_objects(c.rx_fields, s);
      c.rx_fields = nullptr;
    }
    if (r != OM_OS_OK) return r;
    // A packet put back for later changes the count: it waits for the next round.
    if (stop || p.remaining != s.ifp.rx_count) return OM_OS_OK;
  }
  return OM_OS_OK;
}

void t38iaf_service::error_stop(t38iaf_session& c) {
  t38__log(*c.s, T38_TRC__AUTOMATON, "Error: Stop V.25 and Fax automatons\n");
  c.stat_countdown = 0;
  c.stat_pending = 1;
  t38_ifp__update_inactivity(0xFFFF, *c.s);
  t38_ifp__update_redundancy(c.s->ip.nb_red_ifp_pck__default, *c.s);
  v25_stop(c);
  fax_stop(c);
}

void t38iaf_service::statistics_block(t38iaf_session& c) {
  t38_session& s = *c.s;
  if (!t38__tracing(s, T38_TRC__AUTOMATON) && !t38__tracing(s, T38_TRC__PACKET)) return;
  if (c.stat_countdown != 0) {
    --c.stat_countdown;
    return;
  }
  c.stat_countdown = 10;
  t38__log(s, T38_TRC__AUTOMATON | T38_TRC__PACKET, "---------- STATISTICS ----------\n");
  if (t38__tracing(s, T38_TRC__PACKET)) t38_dump__transport_statistics(true, nullptr, s, c.proto_errors);
  if (c.stat_pending) {
    u8 t30[T30__STATISTICS_SIZE];
    t30__statistics(c.call, t30, &s);
    c.stat_pending = 0;
  }
  t38__log(s, T38_TRC__AUTOMATON | T38_TRC__PACKET, "------- END OF STATISTICS -------\n");
}

u8 t38iaf_service::act_rq(msg_t** m, t38iaf_session& c) {
  t38_session& s = *c.s;
  if (c.active) {
    t38__log(s, T38_TRC__MSG, "Session already actived ignore this new T38__ACT_RQ\n");
    return OM_OS_NOK;
  }
  v25_reset(c);
  fax_stop(c);
  c.call = t30_call_record{};
  std::memset(c.enh, 0, sizeof c.enh);
  c.proto_errors = 0;
  u8 ret = OM_OS_OK;
  u8 cause = 0;
  if (s.ip.start_ip_ms == 0) {
    t38__log(s, T38_TRC__AUTOMATON, "Send first IFP packet (no-signal)\n");
    if (t38_ifp__send(T38_IFP__MODE_SEND, T38_IND__NO_SIGNAL, nullptr, s) != OM_OS_OK) {
      ret = OM_OS_NOK;
      cause = 3;
    }
  } else {
    t38__timer_start(s, TI_START_IP);
  }
  t38_ifp__update_inactivity(s.ip.idle_ip_inactivity_ms, s);
  t38_ifp__update_redundancy(s.ip.nb_red_ifp_pck__default, s);
  c.user = (*m)->from;
  msg_t* a = *m;
  *m = nullptr;
  const u8 body[3] = {ret, cause, ENT_T38};
  Msg_set_inline_body(a, body, 3);
  a->to = a->from;
  a->from = ENT_T38;
  a->sapi = T38__SAPI_MANAGEMENT;
  a->conn_id = OM_OS_CONN_NONE;
  a->code = T38__ACT_CO;
  if (ret == OM_OS_OK) {
    t38__log(s, T38_TRC__MSG, "T38__ACT_CO   return_code = OK  (p_msg = 0x%8X)\n", msg_ref(a));
  } else {
    t38__log(s, T38_TRC__MSG, "T38__ACT_CO   return_code = NOK  cause = %s (%d)\n", "T38__MSG_ERR__IFP_ERROR", cause);
  }
  Send_msg(a);
  if (ret != OM_OS_OK) return ret;
  t38__log(s, T38_TRC__MSG, "Process some SOCK_U_DA_IN which may be received before T38__ACT_RQ\n");
  c.active = 1;
  const u8 r = receive_packets(c);
  if (r != OM_OS_OK) c.active = 0;
  // The session is active for the entity even when the first packets failed.
  c.active = 1;
  return OM_OS_OK;
}

u8 t38iaf_service::dea_rq(msg_t** m, t38iaf_session& c) {
  t38_session& s = *c.s;
  t38_ifp__update_inactivity(0xFFFF, s);
  t38_ifp__update_redundancy(s.ip.nb_red_ifp_pck__default, s);
  if (c.active) {
    t38__log(s, T38_TRC__AUTOMATON, "Stop V.25 and Fax automatons\n");
    v25_stop(c);
    fax_stop(c);
  }
  for (u32 i = 0; i < T38IAF__ENH_COUNTERS; ++i) {
    if (c.enh[i] != 0) t38__log(s, T38_TRC__MSG, "       Enh_ret_code (%d)  cnt = %d\n", static_cast<int>(i), c.enh[i]);
  }
  c.active = 0;
  msg_t* a = nullptr;
  buffer_t* b = nullptr;
  u8* p = nullptr;
  Alloc_msg_data(&a, &b, T38__DEA_IN_SIZE, &p);
  if (p != nullptr) {
    std::memset(p, 0, T38__DEA_IN_SIZE);
    p[0] = OM_OS_OK;
    p[1] = T38__CAUSE_OK;
    p[2] = ENT_T38;
    t38__statistics(s, p + 4);
    for (u32 i = 0; i < T38IAF__ENH_COUNTERS; ++i) put_le16(p + 4 + T38__STATISTICS_SIZE + 2 * i, c.enh[i]);
    a->from = ENT_T38;
    a->to = (*m)->from;
    a->nai = s.nai;
    a->sapi = T38__SAPI_MANAGEMENT;
    a->conn_id = OM_OS_CONN_NONE;
    a->code = T38__DEA_CO;
    t38__log(s, T38_TRC__MSG, "T38__DEA_CO  (p_msg = 0x%8X)\n", msg_ref(a));
    Send_msg(a);
  } else {
    t38__trap(s, T38IAF__TRAP__FAX__NO_MSG_NO_BUFFER, "T38IAF->T38__DEA_CO: No more memory ressource");
  }
  c.stat_countdown = 0;
  c.stat_pending = 1;
  return OM_OS_OK;
}

u8 t38iaf_service::user_primitive(msg_t** m, t38iaf_session& c) {
  t38_session& s = *c.s;
  msg_t* msg = *m;
  const u32 ref = msg_ref(msg);
  switch (msg->sapi) {
    case T38IAF__SAPI_PHYSICAL:
      if (msg->code == T38IAF__CONN_RQ || msg->code == T38IAF__DISC_RQ) {
        const u8 zero[2] = {0, 0};
        Msg_set_inline_body(msg, zero, 2);
        msg->to = msg->from;
        msg->from = ENT_T38;
        msg->conn_id = OM_OS_CONN_NONE;
        msg->code = msg->code == T38IAF__CONN_RQ ? T38IAF__CONN_CO : T38IAF__DISC_CO;
        *m = nullptr;
        Send_msg(msg);
      } else {
        t38__log(s, T38_TRC__MSG, "Ignore unknown primitive received thru T38IAF__SAPI_PHYSICAL (p_msg = 0x%8X)\n",
                 ref);
      }
      return OM_OS_OK;
    case T38IAF__SAPI_PHYSICAL_SPK:
      t38__log(s, T38_TRC__MSG, "Rx T38IAF__SPEAKER_RQ (p_msg = 0x%8X)\n", ref);
      return OM_OS_OK;
    case T38IAF__SAPI_SIGNAL: {
      if (!c.active) {
        t38__log(s, T38_TRC__MSG,
                 "T38__ACT_RQ not yet received so ignore primitive received thru T38IAF__SAPI_SIGNAL (p_msg = 0x%8X)\n",
                 ref);
        return OM_OS_OK;
      }
      u8 event = 0;
      if (msg->code == T38IAF__SIGNAL_RQ) event = 1;
      else if (msg->code == T38IAF__ACT_SIGNAL_RQ) event = 2;
      else if (msg->code == T38IAF__DEA_SIGNAL_RQ) event = 3;
      else if (msg->code == T38IAF__TI_EOF_CED_XMIT && msg->from == ENT_TI) event = 7;
      if (event == 0) {
        t38__log(s, T38_TRC__MSG, "Ignore unknown primitive received thru T38IAF__SAPI_SIGNAL (p_msg = 0x%8X)\n", ref);
        return OM_OS_OK;
      }
      return v25_automaton(event, c, msg);
    }
    case T38IAF__SAPI_FAX: {
      if (!c.active) {
        t38__log(s, T38_TRC__MSG,
                 "T38__ACT_RQ not yet received so ignore primitive received thru T38IAF__SAPI_FAX (p_msg = 0x%8X)\n",
                 ref);
        return OM_OS_OK;
      }
      if (msg->code == T38IAF__FAX_ACT_RQ) {
        u8 r = fax_automaton(EVT__MSG_FAX_ACT_RQ, m, 0, c);
        // Packets put back while this side was sending are taken now that
        // it listens, rather than when the next datagram happens to come.
        for (u32 round = 0; round < 64 && r == OM_OS_OK && s.ifp.rx_count != 0 &&
                            (c.state == STATE__HDSK_RX || c.state == STATE__DATA_RX);
             ++round) {
          const u16 before = s.ifp.rx_count;
          r = receive_packets(c);
          if (s.ifp.rx_count >= before) break;
        }
        return r;
      }
      if (msg->code == T38IAF__FAX_DEA_RQ) return fax_automaton(EVT__MSG_FAX_DEA_RQ, m, 0, c);
      if (msg->code == T38IAF__FAX_DA_RQ) return fax_automaton(EVT__MSG_FAX_DA_RQ, m, 0, c);
      t38__log(s, T38_TRC__MSG, "Ignore unknown primitive received thru T38IAF__SAPI_FAX (p_msg = 0x%8X)\n", ref);
      return OM_OS_OK;
    }
    default: break;
  }
  // Management primitives (SAPI 'M').
  if (msg->code == T38__ACT_RQ) return act_rq(m, c);
  if (msg->code == T38__DEA_RQ) return dea_rq(m, c);
  if (msg->code == T38__TI_START_IP && msg->from == ENT_TI) {
    if (t38_ifp__has_sent(s)) return OM_OS_OK;
    t38__log(s, T38_TRC__AUTOMATON, "Send first IFP packet (no-signal)\n");
    if (t38_ifp__send(T38_IFP__MODE_SEND, T38_IND__NO_SIGNAL, nullptr, s) != OM_OS_OK) {
      ifp_error(c);
      return OM_OS_NOK;
    }
    return OM_OS_OK;
  }
  t38__log(s, T38_TRC__MSG, "Process primitive received thru unknown Sapi (p_msg = 0x%8X)\n", ref);
  return OM_OS_OK;
}

u8 t38iaf_service::main_automaton(u8 kind, msg_t** m, t38_session& s) {
  t38iaf_session* c = find(s);
  if (c == nullptr) return OM_OS_NOK;
  return main_entry(kind, m, 0, *c);
}

u8 t38iaf_service::main_entry(u8 kind, msg_t** m, i32 overrun, t38iaf_session& c) {
  t38_session& s = *c.s;
  t38__log(s, T38_TRC__AUTOMATON, ">>> IAF MAIN AUTOMATON ENTRY\n");
  const u8 old_state = c.state;
  const u8 old_v25 = c.v25_running;
  u8 r = OM_OS_OK;
  bool is_act = false;
  if (kind == T38IAF__KIND_UDPTL || kind == T38IAF__KIND_TPKT) {
    const bool udp = kind == T38IAF__KIND_UDPTL;
    t38__log(s, T38_TRC__AUTOMATON,
             udp ? "Store Rx IFP packet into IFP Rx fifo (SOCK_U_DA_IN p_msg = 0x%8X)\n"
                 : "Store Rx IFP packet into IFP Rx fifo (SOCK_DA_IN p_msg = 0x%8X)\n",
             msg_ref(*m));
    const u8 st = udp ? t38_ifp__store_rcv_udptl_pck(*m, s) : t38_ifp__store_rcv_tpkt_pck(*m, s);
    if (st != OM_OS_OK) t38__log(s, T38_TRC__AUTOMATON, "Bad Rx IFP packet -> ignore it\n");
    // Also after a datagram that was not stored (a congested pool): the
    // packets already waiting are the ones that can relieve it.
    if (c.active) r = receive_packets(c);
  } else if (kind == T38IAF__KIND_HNDSHK || kind == T38IAF__KIND_DATA_TX) {
    r = fax_automaton(kind == T38IAF__KIND_HNDSHK ? EVT__TMR_CELL_EOF_HNDSHK : EVT__TMR_CELL_DATA_TX, m, overrun, c);
  } else if (kind == T38IAF__KIND_USER && m != nullptr && *m != nullptr) {
    is_act = (*m)->code == T38__ACT_RQ && (*m)->sapi != T38IAF__SAPI_PHYSICAL && (*m)->sapi != T38IAF__SAPI_SIGNAL &&
             (*m)->sapi != T38IAF__SAPI_FAX && (*m)->sapi != T38IAF__SAPI_PHYSICAL_SPK;
    r = user_primitive(m, c);
  }
  if (r != OM_OS_OK && !is_act) error_stop(c);
  if (c.state != old_state) {
    if (c.v25_running) {
      t38__log(s, T38_TRC__AUTOMATON, "Stop V.25 automaton\n");
      v25_stop(c);
    }
    if (c.state == STATE__IDLE) {
      t38_ifp__update_inactivity(0, s);
      t38_ifp__update_redundancy(s.ip.nb_red_ifp_pck__default, s);
    }
  }
  if (!old_v25 && c.v25_running) {
    t38_ifp__update_inactivity(s.ip.v25_ip_inactivity_ms, s);
    t38_ifp__update_redundancy(s.ip.nb_red_ifp_pck__default, s);
  }
  statistics_block(c);
  t38__log(s, T38_TRC__AUTOMATON, "<<< IAF MAIN AUTOMATON EXIT\n");
  return r;
}

}  // namespace kv::t38
