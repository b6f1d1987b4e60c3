// The IAF transmit side: the fifo of T38IAF__FAX_DA_RQ and the paced
// sending of its data as IFP DATA packets.
#include <cstring>

#include "common/byte_order.h"
#include "runtime/mem.h"
#include "runtime/om_os.h"
#include "t38/t38_entity.h"
#include "t38/t38_trace.h"
#include "t38/t38iaf_parts.h"

namespace kv::t38 {

namespace {
constexpr const char* kXmitNoField = "T38IAF->send_xmit_fifo: No more data field";
}  // namespace

void t38iaf_actions::store_fax_da_rq(t38iaf_session& c, msg_t** m) {
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
u8 t38iaf_actions::queue_fax_da_rq(t38iaf_service&, t38iaf_session& c, msg_t** m) {
  store_fax_da_rq(c, m);
  return OM_OS_OK;
}

u8 t38iaf_actions::fax_da_rq(t38iaf_service& svc, t38iaf_session& c, msg_t** m) {
  store_fax_da_rq(c, m);
  // The data timer sends when it runs; otherwise (no cell, or a cell that
  // ran out while the fifo was dry) the transmission starts now.
  if (c.cell != nullptr && c.cell->remaining > 0) return OM_OS_OK;
  return send_xmit_fifo(svc, c);
}

u8 t38iaf_actions::ti_eof_handshake_tx(t38iaf_service& svc, t38iaf_session& c, msg_t**) {
  send_t38iaf__fax_progress_in(c, T38IAF__FAX_CTS_ON__RDY_FOR_DATA);
  c.last_carrier = T38IAF__FAX_CD_OFF;
  svc.poll_stop(c);
  return send_xmit_fifo(svc, c);
}

u8 t38iaf_actions::ti_data_tx(t38iaf_service& svc, t38iaf_session& c, msg_t**) { return send_xmit_fifo(svc, c); }

void t38iaf_actions::data_timer(t38iaf_service& svc, t38iaf_session& c, u32 bytes) {
  const i32 theory = static_cast<i32>(static_cast<u64>(bytes) * 8000 / (c.rate != 0 ? c.rate : 1));
  i32 adjusted = theory + c.overrun;
  if (adjusted < 1) adjusted = 1;
  t38__log(*c.s, T38_TRC__AUTOMATON, "Theorical time: %dMs  Adjusted time: %dMs  (Delta previous time %dMs)\n", theory,
           adjusted, c.overrun);
  svc.poll_start(c, T38IAF__KIND_DATA_TX, adjusted);
}

bool t38iaf_actions::take_next(t38iaf_session& c) {
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

void t38iaf_actions::append(t38_data_field*& first, t38_data_field*& last, t38_data_field* f) {
  if (first == nullptr) first = f;
  else last->next = f;
  last = f;
}

t38_data_field* t38iaf_actions::append_new_field(t38iaf_session& c, u8 type, const char* who, t38_data_field*& first,
                                                 t38_data_field*& last) {
  t38_data_field* f = new_field(c, type, who);
  if (f == nullptr) {
    t38_mem__free_data_objects(first, *c.s);
    first = last = nullptr;
    t38__send_t38__dea_in(OM_OS_NOK, 4, "T38GW__MSG_ERR__MEMORY_ALLOC", *c.s);
    return nullptr;
  }
  append(first, last, f);
  return f;
}

u8 t38iaf_actions::send_idle_data(t38iaf_service& svc, t38iaf_session& c) {
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
    t38_data_field* f =
        append_new_field(c, T38_FIELD__T4_NON_ECM_DATA, "T38IAF->send_idle_data: No more data field", first, last);
    if (f == nullptr) return OM_OS_NOK;
    f->length = static_cast<u16>(zeros < max_field ? zeros : max_field);
    zeros -= f->length;
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
u8 t38iaf_actions::send_xmit_fifo(t38iaf_service& svc, t38iaf_session& c) {
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

u8 t38iaf_actions::send_packet(t38iaf_service& svc, t38iaf_session& c) {
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
      cur_field = new_field(c, type, kXmitNoField);
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
    if (append_new_field(c, T38_FIELD__HDLC_FCS_OK, kXmitNoField, first, last) == nullptr) return OM_OS_NOK;
    c.first_packet = 1;
    timed += c.data_type == T38IAF__DATA_V21 ? 4 : 25;
  }
  if (!hdlc && c.last_block && bytes == 0) {
    t38_data_field* f = append_new_field(c, T38_FIELD__T4_NON_ECM_SIG_END, kXmitNoField, first, last);
    if (f == nullptr) return OM_OS_NOK;
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
    t38__log(s, T38_TRC__AUTOMATON, "-> Send UDPTL Packet (IFP (%s, data field: %s))\n",
             t38_trace__type_name(c.data_type), t38_trace__field_name(first->field_type));
    if (send_ifp(c, c.data_type, first) != OM_OS_OK) {
      release_current(c);
      return OM_OS_NOK;
    }
  }
  if (timed != 0) data_timer(svc, c, timed);
  return OM_OS_OK;
}

}  // namespace kv::t38
