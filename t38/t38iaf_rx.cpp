// The IAF receive side: IFP packets from the far side to the fax user,
// and the T.30 frame inspection of both directions.
#include <cstring>

#include "common/byte_order.h"
#include "runtime/mem.h"
#include "runtime/om_os.h"
#include "t38/t38_entity.h"
#include "t38/t38_report.h"
#include "t38/t38_trace.h"
#include "t38/t38iaf_parts.h"

namespace kv::t38 {

// Sends what the receive buffer holds as T38IAF__FAX_DA_IN.
void send_fax_da_in(t38iaf_session& c) {
  if (c.rx_buf == nullptr) return;
  msg_t* m = Alloc_msg();
  if (m == nullptr) {
    t38__trap(*c.s, T38IAF__TRAP__FAX__NO_MSG_NO_BUFFER, "T38IAF->send_t38iaf__fax_da_in: No more memory ressource");
    free_rx_buffer(c);
    return;
  }
  address_to_fax_user(c, m, T38IAF__FAX_DA_IN);
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

// ---- receive side

// Direction and type checks shared by the two receive actions: true when
// the packet is to be handled.
bool t38iaf_actions::rx_checks(t38iaf_session& c) {
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

u8 t38iaf_actions::ifp_t30_ind(t38iaf_service&, t38iaf_session& c, msg_t**) {
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
u8 t38iaf_actions::hdsk_rx_data(t38iaf_service& svc, t38iaf_session& c, msg_t** m) {
  t38_session& s = *c.s;
  if (c.transmit() || c.rx_type != c.data_type) return OM_OS_OK;
  t38__log(s, T38_TRC__AUTOMATON, "Rcv IFP Packet (data) without indicator -> Carrier taken as detected\n");
  send_t38iaf__fax_progress_in(c, T38IAF__FAX_CD_ON);
  if (c.kind == T38IAF__KIND_HDLC) send_t38iaf__fax_progress_in(c, T38IAF__FAX_FLAGS_DETECTED);
  c.last_carrier = T38IAF__FAX_CD_ON;
  c.state = STATE__DATA_RX;
  return ifp_data(svc, c, m);
}

void t38iaf_actions::protocol_error(t38iaf_session& c, u32 counter, const char* err, u8 field_type) {
  ++c.proto_errors;
  if (c.enh[counter] != 0xFFFF) ++c.enh[counter];
  t38__log(*c.s, T38_TRC__AUTOMATON, "Fax protocol err: %s Rcv unexpected IFP Packet (%s) -> Discard it\n", err,
           t38_trace__field_name(field_type));
}

namespace {

// Whether a data field of the current mode carries page or frame bytes.
bool carries_page_data(const t38iaf_session& c, u8 type) {
  if (c.kind == T38IAF__KIND_HDLC)
    return type == T38_FIELD__HDLC_DATA || type == T38_FIELD__HDLC_FCS_OK || type == T38_FIELD__HDLC_FCS_OK_SIG_END;
  return type == T38_FIELD__T4_NON_ECM_DATA || type == T38_FIELD__T4_NON_ECM_SIG_END;
}

// The bytes of a data field into the receive buffer, as many as fit.  A
// sender that does not pace its data (spandsp's terminal among them) puts
// the last bytes of a page into the sig-end field and may end a frame with
// bytes in its fcs-OK field: those are page data too.  False when no buffer
// can be had.
bool store_field_bytes(t38iaf_session& c, const t38_data_field* f, u32 limit, u16 room) {
  t38_session& s = *c.s;
  const bool v21 = c.data_type == T38IAF__DATA_V21;
  const bool hdlc = c.kind == T38IAF__KIND_HDLC;
  u16 pos = 0;
  while (pos < f->length) {
    if (hdlc && c.frame_too_long) break;
    if (c.rx_buf == nullptr) {
      c.rx_buf = Alloc_buffer();
      if (c.rx_buf == nullptr) {
        t38__trap(s, T38IAF__TRAP__FAX__NO_MSG_NO_BUFFER,
                  "T38IAF->process_evt__ifp_packet_type_data: No more memory ressource");
        t38__send_t38__dea_in(OM_OS_NOK, 4, "T38GW__MSG_ERR__MEMORY_ALLOC", s);
        return false;
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
  return true;
}

// The end of a transparent (T.4 non-ECM) data field.
void end_t4_field(t38iaf_session& c, u8 type, u16 room) {
  switch (type) {
    case T38_FIELD__T4_NON_ECM_DATA:
      if (c.rx_buf != nullptr && c.rx_buf->data_size >= room) send_fax_da_in(c);
      break;
    case T38_FIELD__T4_NON_ECM_SIG_END:
      if (c.rx_buf != nullptr && c.rx_buf->data_size != 0) send_fax_da_in(c);
      free_rx_buffer(c);
      cd_off_once(c);
      break;
    case T38_FIELD__HDLC_FCS_BAD:
    case T38_FIELD__HDLC_FCS_BAD_SIG_END: break;
    default:
      free_rx_buffer(c);
      t38iaf_actions::protocol_error(c, 9, "T38__DEA__FAX_PROTOCOL_ERR_20", type);
      break;
  }
}

// The end of an HDLC data field: a frame checked and handed on, or dropped.
void end_hdlc_field(t38iaf_session& c, u8 type) {
  t38_session& s = *c.s;
  const bool v21 = c.data_type == T38IAF__DATA_V21;
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
      t38iaf_actions::protocol_error(c, 8, "T38__DEA__FAX_PROTOCOL_ERR_21", type);
      break;
  }
}

}  // namespace

u8 t38iaf_actions::ifp_data(t38iaf_service&, t38iaf_session& c, msg_t**) {
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
    if (carries_page_data(c, type) && !store_field_bytes(c, f, limit, room)) return OM_OS_NOK;
    if (f->continued) continue;  // the same field goes on in the next object
    if (hdlc) end_hdlc_field(c, type);
    else end_t4_field(c, type, room);
  }
  return OM_OS_OK;
}

}  // namespace kv::t38
