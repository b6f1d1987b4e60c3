// The IAF services: the main entry, the session records, the shared
// polling timer, the user and management primitives and the helpers that
// the fax automaton's parts share.
#include "t38/t38iaf.h"

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

u32 msg_ref(const msg_t* m) { return static_cast<u32>(reinterpret_cast<uintptr_t>(m)); }

void address_to_fax_user(const t38iaf_session& c, msg_t* m, code_t code) {
  Msg_set_head(m, {ENT_T38, c.fax_user, code, c.s->nai, T38IAF__SAPI_FAX});
}

// A fresh message of n data bytes to the fax user, or null (trap 12182).
msg_t* fax_msg(t38iaf_session& c, code_t code, u32 n, u8** p, const char* who) {
  msg_t* m = t38__alloc_msg(*c.s, n, p, T38IAF__TRAP__FAX__NO_MSG_NO_BUFFER, who);
  if (m == nullptr) return nullptr;
  if (n != 0) std::memset(*p, 0, n);
  address_to_fax_user(c, m, code);
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
  address_to_fax_user(c, m, code);
  t38__log(*c.s, T38_TRC__MSG,
           code == T38IAF__FAX_BUSY_IN ? "Send T38IAF__FAX_BUSY_IN\n" : "Send T38IAF__FAX_CLEAR_BUSY_IN\n");
  Send_msg(m);
}

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
  Msg_set_head(a, {ENT_T38, a->from, T38__ACT_CO, a->nai, T38__SAPI_MANAGEMENT});
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

// How many times the last datagram goes out again when an active UDPTL
// session stops.
constexpr u32 kFinalResends = 2;

u8 t38iaf_service::dea_rq(msg_t** m, t38iaf_session& c) {
  t38_session& s = *c.s;
  t38_ifp__update_inactivity(0xFFFF, s);
  t38_ifp__update_redundancy(s.ip.nb_red_ifp_pck__default, s);
  if (c.active) {
    t38__log(s, T38_TRC__AUTOMATON, "Stop V.25 and Fax automatons\n");
    v25_stop(c);
    fax_stop(c);
    // The far end learns that the call is over from the last frame sent
    // (the DCN).  Over UDPTL no later datagram would carry a lost last one
    // as redundancy, and the idle resends end here: it goes out again now,
    // so that one lost datagram does not leave the far end waiting for it.
    if (s.is_udp()) {
      for (u32 i = 0; i < kFinalResends; ++i) t38_ifp__send_idle(s);
    }
  }
  t38__log_enh_counters(s, c.enh);
  c.active = 0;
  u8* p = nullptr;
  msg_t* a = t38__alloc_msg(s, T38__DEA_IN_SIZE, &p, T38IAF__TRAP__FAX__NO_MSG_NO_BUFFER,
                            "T38IAF->T38__DEA_CO: No more memory ressource");
  if (a != nullptr) {
    t38__dea_body(p, OM_OS_OK, T38__CAUSE_OK, s, c.enh);
    Msg_set_head(a, {ENT_T38, (*m)->from, T38__DEA_CO, s.nai, T38__SAPI_MANAGEMENT});
    t38__log(s, T38_TRC__MSG, "T38__DEA_CO  (p_msg = 0x%8X)\n", msg_ref(a));
    Send_msg(a);
  }
  c.stat_countdown = 0;
  c.stat_pending = 1;
  return OM_OS_OK;
}

u8 t38iaf_service::user_primitive(msg_t** m, t38iaf_session& c) {
  t38_session& s = *c.s;
  msg_t* msg = *m;
  const u32 ref = msg_ref(msg);
  // A primitive of a fax or signal SAP that is not taken: the reason leads,
  // the SAP follows.
  auto ignore = [&](const char* reason, const char* sapi) {
    t38__log(s, T38_TRC__MSG, "%s received thru %s (p_msg = 0x%8X)\n", reason, sapi, ref);
    return OM_OS_OK;
  };
  switch (msg->sapi) {
    case T38IAF__SAPI_PHYSICAL:
      if (msg->code == T38IAF__CONN_RQ || msg->code == T38IAF__DISC_RQ) {
        const u8 zero[2] = {0, 0};
        Msg_set_inline_body(msg, zero, 2);
        msg->conn_id = OM_OS_CONN_NONE;
        *m = nullptr;
        Reply_msg(msg, ENT_T38, msg->code == T38IAF__CONN_RQ ? T38IAF__CONN_CO : T38IAF__DISC_CO);
        return OM_OS_OK;
      }
      return ignore("Ignore unknown primitive", "T38IAF__SAPI_PHYSICAL");
    case T38IAF__SAPI_PHYSICAL_SPK:
      t38__log(s, T38_TRC__MSG, "Rx T38IAF__SPEAKER_RQ (p_msg = 0x%8X)\n", ref);
      return OM_OS_OK;
    case T38IAF__SAPI_SIGNAL: {
      if (!c.active) return ignore("T38__ACT_RQ not yet received so ignore primitive", "T38IAF__SAPI_SIGNAL");
      u8 event = 0;
      if (msg->code == T38IAF__SIGNAL_RQ) event = 1;
      else if (msg->code == T38IAF__ACT_SIGNAL_RQ) event = 2;
      else if (msg->code == T38IAF__DEA_SIGNAL_RQ) event = 3;
      else if (msg->code == T38IAF__TI_EOF_CED_XMIT && msg->from == ENT_TI) event = 7;
      if (event == 0) return ignore("Ignore unknown primitive", "T38IAF__SAPI_SIGNAL");
      return v25_automaton(event, c, msg);
    }
    case T38IAF__SAPI_FAX: {
      if (!c.active) return ignore("T38__ACT_RQ not yet received so ignore primitive", "T38IAF__SAPI_FAX");
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
      return ignore("Ignore unknown primitive", "T38IAF__SAPI_FAX");
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
