// Traps, error counters with their periodic report, and event reports of
// T.38 sessions, all sent to the session's user as T38__REPORT_IN.
#include "t38/t38_report.h"

#include <cstring>

#include "common/byte_order.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "t38/t38_iaf_port.h"
#include "t38/t38_session.h"
#include "t38/t38_traps.h"

namespace kv::t38 {

namespace {

struct trap_row {
  u16 code;
  const char* name;
  const char* text;  // the usual diagnostic text
};

// Codes and names of the traps; the codec steps without a text of their own
// are named after their routine.
constexpr trap_row kTraps[] = {
    {11014, "T38__TRAP__OM_OS_BLOCK_MEM_ERROR_PART", "T38->t38__om_os_fatal_error_blk (bad partition)"},
    {11097, "T38__TRAP__IFP_PCK__NO_AVAILABLE_RCV_IFP_PCK",
     "T38->t38_ifp__get_ifp_pck: T38_mem__fifo_get_ifp_object returns P_NIL"},
    {11100, "T38__TRAP__IFP_PCK__FEC_NOT_SUPPORTED", "T38->send_udptl_pck: FEC error recovery not supported"},
    {12011, "T38__TRAP__MAIN__NO_MSG_NO_BUFFER", "T38GW->t38__send_t38__dea_in: No more memory ressource"},
    {12016, "T38__TRAP__OM_OS_BLOCK_MEM_ERROR_UNKNOWN", "T38->t38__om_os_fatal_error_blk (unknow error)"},
    {12017, "T38__TRAP__IFP_OM_OS_BLOCK_MEM_ERROR_ALLOC_USED", "T38->t38__om_os_fatal_error_blk (alloc error)"},
    {12018, "T38__TRAP__IFP_OM_OS_BLOCK_MEM_ERROR_ALLOC_INVALID", "T38->t38__om_os_fatal_error_blk (alloc error)"},
    {12019, "T38__TRAP__IFP_OM_OS_BLOCK_MEM_ERROR_FREE_TWICE", "T38->t38__om_os_fatal_error_blk (free error)"},
    {12020, "T38__TRAP__DF_OM_OS_BLOCK_MEM_ERROR_ALLOC_USED", "T38->t38__om_os_fatal_error_blk (alloc error)"},
    {12021, "T38__TRAP__DF_OM_OS_BLOCK_MEM_ERROR_ALLOC_INVALID", "T38->t38__om_os_fatal_error_blk (alloc error)"},
    {12022, "T38__TRAP__DF_OM_OS_BLOCK_MEM_ERROR_FREE_TWICE", "T38->t38__om_os_fatal_error_blk (free error)"},
    {12023, "T38__TRAP__TMR_OM_OS_BLOCK_MEM_ERROR_ALLOC_USED", "T38->t38__om_os_fatal_error_blk (alloc error)"},
    {12024, "T38__TRAP__TMR_OM_OS_BLOCK_MEM_ERROR_ALLOC_INVALID", "T38->t38__om_os_fatal_error_blk (alloc error)"},
    {12025, "T38__TRAP__TMR_OM_OS_BLOCK_MEM_ERROR_FREE_TWICE", "T38->t38__om_os_fatal_error_blk (free error)"},
    {12091, "T38__TRAP__IFP_PCK__MISSING_DATA_FIELD",
     "T38->send_udptl_pck: Type of IFP packet = T38_IFP__TYPE_DATA but there is no data_field"},
    {12092, "T38__TRAP__IFP_PCK__DATA_FIELD_PRESENT",
     "T38->send_udptl_pck: Type of IFP packet = T38_IFP__TYPE_T30_INDICATOR but there is data_field"},
    {12093, "T38__TRAP__IFP_PCK__NO_MORE_MSG", "T38->send_udptl_pck: Alloc_msg returns P_NIL"},
    {12094, "T38__TRAP__IFP_PCK__NO_MORE_BUFFER", "T38->ASN.1 decoding function: No more VXL buffer"},
    {12095, "T38__TRAP__IFP_PCK__NO_MORE_IFP_PCK", "T38->send_udptl_pck: t38_mem__alloc_ifp_pck_object returns P_NIL"},
    {12096, "T38__TRAP__IFP_PCK__NO_MORE_DATA_FIELD",
     "T38->decode_ifp_packet: t38_mem__alloc_data_object returns P_NIL"},
    {12098, "T38__TRAP__IFP_PCK__SND_TOO_MUCH_UDPTL_PCK",
     "T38->send_udptl_pck: 0xFFFFFFFFL UDPTL packets have been sent"},
    {12099, "T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK",
     "T38->send_udptl_pck: Type of IFP packet = Error while coding IFP packet"},
    {12101, "T38__TRAP__IFP_PCK__ASN1__TOO_LONG",
     "T38->send_udptl_pck: ASN.1 UDPTL packet size is > T38__set_cap__max_datagram_size"},
    {12102, "T38__TRAP__IFP_PCK__ERR_COD_UDPTL_1", "T38->send_udptl_pck (asnp_set_sequence): no optional parameters"},
    {12103, "T38__TRAP__IFP_PCK__ERR_COD_UDPTL_2", "T38->send_udptl_pck (asnp_set_integer): seq-number"},
    {12104, "T38__TRAP__IFP_PCK__ERR_COD_UDPTL_3", "T38->send_udptl_pck (asnp_set_open_type): primary IFP packet"},
    {12105, "T38__TRAP__IFP_PCK__ERR_COD_UDPTL_4", "T38->send_udptl_pck (asnp_set_choice): error-recovery"},
    {12107, "T38__TRAP__IFP_PCK__ERR_COD_UDPTL_6", "T38->send_udptl_pck (asnp_set_sequence_of): secondary IFP packets"},
    {12108, "T38__TRAP__IFP_PCK__ERR_COD_UDPTL_7", "T38->send_udptl_pck (asnp_set_open_type): secondary IFP packet"},
    {12109, "T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_1",
     "T38->encode_ifp_packet (asnp_set_sequence): one optional parameter"},
    {12110, "T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_2",
     "T38->encode_ifp_packet (asnp_set_sequence): no optional parameter"},
    {12111, "T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_3", "T38->encode_ifp_packet (asnp_set_choice): t30-indicator "},
    {12112, "T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_4", "T38->encode_ifp_packet (asnp_set_enumerated): t30-indicator"},
    {12113, "T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_5", "T38->encode_ifp_packet (asnp_set_choice): data"},
    {12114, "T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_6", "T38->encode_ifp_packet (asnp_set_enumerated): data"},
    {12115, "T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_7", "T38->encode_ifp_packet (asnp_set_sequence_of): Nb data-field"},
    {12116, "T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_8", "T38->encode_ifp_packet (asnp_set_sequence)"},
    {12117, "T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_9", "T38->encode_ifp_packet (asnp_set_enumerated): field-type"},
    {12118, "T38__TRAP__IFP_PCK__ERR_COD_IFP_PCK_10", "T38->encode_ifp_packet (asnp_set_octet_string): field-data"},
    {12121, "T38__TRAP__IFP_PCK__RCV_TOO_MUCH_UDPTL_PCK",
     "T38->t38_ifp__store_rcv_udptl_pck: 0xFFFFFFFF UDPTL packets have been received"},
    {12146, "T38__TRAP__IFP_PCK__BAD_LEN_TPKT",
     "T38->t38_ifp__store_rcv_tpkt_pck: Bad ASN.1 IFP length into TPKT header"},
    {13120, "T38__TRAP__IFP_PCK__BAD_ERR_RECOVERY",
     "T38->t38_ifp__store_rcv_udptl_pck: Only redundancy error recovery is supported"},
    {13122, "T38__TRAP__IFP_PCK__ERR_DECOD_PRI_IFP_PCK",
     "T38->t38_ifp__store_rcv_udptl_pck: decode_ifp_packet returns NOK"},
    {13123, "T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK", "T38->search_and_insert_ifp_pck: decode_ifp_packet returns NOK"},
    {13124, "T38__TRAP__IFP_PCK__ERR_DECOD_UDPTL_1",
     "T38->t38_ifp__store_rcv_udptl_pck (asnp_get_sequence): no optional parameters"},
    {13125, "T38__TRAP__IFP_PCK__ERR_DECOD_UDPTL_2",
     "T38->t38_ifp__store_rcv_udptl_pck (asnp_get_integer): seq-number"},
    {13126, "T38__TRAP__IFP_PCK__ERR_DECOD_UDPTL_3",
     "T38->t38_ifp__store_rcv_udptl_pck (asnp_get_open_type): get ASN.1 primary IFP packet"},
    {13127, "T38__TRAP__IFP_PCK__ERR_DECOD_UDPTL_4",
     "T38->t38_ifp__store_rcv_udptl_pck (asnp_get_choice): error-recovery"},
    {13128, "T38__TRAP__IFP_PCK__ERR_DECOD_UDPTL_5",
     "T38->t38_ifp__store_rcv_udptl_pck (asnp_get_sequence_of): secondary IFP packets"},
    {13129, "T38__TRAP__IFP_PCK__ERR_DECOD_UDPTL_6",
     "T38->t38_ifp__store_rcv_udptl_pck (asnp_get_open_type): secondary IFP packet"},
    {13130, "T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_1",
     "T38->decode_ifp_packet (asnp_get_sequence): optional parameter"},
    {13131, "T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_2", "T38->decode_ifp_packet (asnp_get_choice): type-of-msg"},
    {13132, "T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_3", "T38->decode_ifp_packet (asnp_get_enumerated): t30-indicator"},
    {13133, "T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_4", "T38->decode_ifp_packet wrong type value (t30-indicator)"},
    {13134, "T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_5", "T38->decode_ifp_packet (asnp_get_enumerated): data"},
    {13135, "T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_6", "T38->decode_ifp_packet wrong type value (data)"},
    {13136, "T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_7",
     "T38->decode_ifp_packet Type-of-msg not valid (!= t30-indicator / data)"},
    {13137, "T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_8", "T38->decode_ifp_packet (asnp_get_sequence_of): Nb data-field"},
    {13139, "T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_10", "T38->decode_ifp_packet (asnp_get_sequence)"},
    {13140, "T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_11", "T38->decode_ifp_packet (asnp_get_enumerated): field-type"},
    {13141, "T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_12", "T38->decode_ifp_packet wrong field-type value"},
    {13142, "T38__TRAP__IFP_PCK__ERR_DECOD_IFP_PCK_13", "T38->decode_ifp_packet (asnp_get_octet_string): field-data"},
    {13150, "T38__TRAP__REPORT__NO_MSG_NO_BUFFER", "T38->send_t38__report_in__error: No more Msg or buffer"},
    {13151, "T38__TRAP__REPORT__NO_BUFFER", "T38->t38_report__load_t38_trace: No more buffer"},
    {13152, "T38__TRAP__REPORT__NO_MSG", "T38->send_t38__report_in__trace: No more Msg"},
    {40005, "OM_OS_BLOCK_MEMORY_ERROR_FREE_INVALID", "T38->t38__om_os_fatal_error_blk (corrupted block)"},
};

const trap_row* find_trap(u16 code) {
  for (const trap_row& r : kTraps) {
    if (r.code == code) return &r;
  }
  return nullptr;
}

// Error classes in the order of the periodic report, with their trace
// class and line.
struct class_row {
  u32 err_class;
  u32 trace_class;
  const char* line;
};
constexpr class_row kClasses[T38__ERR_CLASSES] = {
    {T38__ERR_REPORT__SAMPLE_UNDERRUN_OVERRUN, 0, nullptr},
    {T38__ERR_REPORT__TX_UNDERRUN, 0, nullptr},
    {T38__ERR_REPORT__UDPTL_LOST, T38_TRC__UDPTL_LOST, "Number of UDPTL packet lost = %d\n"},
    {T38__ERR_REPORT__SM_CONGESTION, T38_TRC__SM_CONGESTION,
     "Buffer/Message congestion has been detected (cnt %d), now end of congestion state\n"},
    {T38__ERR_REPORT__ECM_FRAME_TOO_LONG, T38_TRC__ECM_TOO_LONG,
     "Too long ECM frame(s) has been received from remote Gw/IAF (cnt %d)\n"},
    {T38__ERR_REPORT__CORRUPTED_HDLC_FRAME, T38_TRC__BAD_HDLC,
     "Corrupted HDLC frame(s) has been received from remote Gw/IAF (cnt %d)\n"},
    {T38__ERR_REPORT__DFIELD_CONGESTION, T38_TRC__DFIELD_CONG,
     "Data field objects congestion has been detected (cnt %d)\n"},
    {T38__ERR_REPORT__IFP_PCK_CONGESTION, T38_TRC__IFP_CONG, "IFP Packets congestion has been detected (cnt %d)\n"},
};

int class_index(u32 err_class) {
  for (int i = 0; i < static_cast<int>(T38__ERR_CLASSES); ++i) {
    if (kClasses[i].err_class == err_class) return i;
  }
  return -1;
}

void report_header(u8* body, u8 kind, const t38_session& s) {
  std::memset(body, 0, T38__REPORT_BODY_SIZE);
  body[0] = kind;
  body[1] = s.kind_of_session;
  put_le32(body + 4, s.age_ms());
}

void stop_error_timer(t38_session& s) {
  t38__timer_stop(s, TI_ERROR_REPORT);
  s.rep.error_timer_running = 0;
}

void start_error_timer(t38_session& s, u32 duration) {
  if (s.rep.error_timer_running) return;
  s.rep.error_timer_duration = duration;
  t38__timer_start_for(s, TI_ERROR_REPORT, duration);
  s.rep.error_timer_running = 1;
}

}  // namespace

const char* t38__trap_name(u16 code) {
  const trap_row* r = find_trap(code);
  return r != nullptr ? r->name : "";
}

namespace {
// Bounded copy of a NUL-terminated text into a field of `size` bytes: at
// most size - 1 characters and always a NUL; the rest of the field is 0.
void t38__copy_text(u8* field, u32 size, const char* text) {
  std::memset(field, 0, size);
  if (text == nullptr || size == 0) return;
  const u32 n = static_cast<u32>(strnlen(text, size - 1));
  std::memcpy(field, text, n);
}
}  // namespace

void t38__trap(t38_session& s, u16 code, const char* text, u8 origin) {
  const trap_row* r = find_trap(code);
  const char* name = r != nullptr ? r->name : "";
  if (text == nullptr) text = r != nullptr ? r->text : "";
  t38_report__trap(origin, T38__ERR_REPORT__TRAP, code, name, text, s);
}

msg_t* t38__alloc_msg(t38_session& s, u32 n, u8** p, u16 code, const char* text, bool it_side) {
  msg_t* m = nullptr;
  buffer_t* b = nullptr;
  *p = nullptr;
  if (it_side) It_alloc_msg_data(&m, &b, n, p);
  else Alloc_msg_data(&m, &b, n, p);
  if (*p != nullptr) return m;
  t38__trap(s, code, text);
  return nullptr;
}

void t38_report__trap(u8 origin, u32 err_class, u16 code, const char* name, const char* text, t38_session& s,
                      u32 count) {
  t38_report_state& rep = s.rep;
  if (err_class == T38__ERR_REPORT__TRAP) {
    ++rep.trap_count;
    if ((s.report_cfg.report__macro_ctrl_bfi & 0x2) == 0 && t38_trace() != nullptr) {
      t38_trace()->error_record(s, code, name, text);
    }
    if ((s.report_cfg.error_report_bfi & T38__ERR_REPORT__TRAP) == 0) return;
    msg_t* m = nullptr;
    buffer_t* b = nullptr;
    u8* body = nullptr;
    if (origin == 0 && rep.prealloc != nullptr) {
      m = rep.prealloc;
      rep.prealloc = nullptr;
      body = Msg_data(m);
    } else {
      It_alloc_msg_data(&m, &b, T38__REPORT_BODY_SIZE, &body);
      if (body == nullptr) return;
    }
    report_header(body, 'R', s);
    put_le32(body + 8, T38__ERR_REPORT__TRAP);
    put_le16(body + 12, code);
    t38__copy_text(body + T38__REPORT_NAME_OFFSET, T38__REPORT_NAME_SIZE, name);
    t38__copy_text(body + T38__REPORT_TEXT_OFFSET, T38__REPORT_TEXT_SIZE, text);
    t38_report__address_to_user(m, s);
    // Built outside the entity's task: the entity relays it.
    if (origin != 0) Msg_set_route(m, ENT_PH_IT, ENT_T38, T38__REPORT_IN);
    Send_msg(m);
    return;
  }
  const int i = class_index(err_class);
  if (i < 0) return;
  const bool first = rep.count[i] == 0;
  if (err_class == T38__ERR_REPORT__DFIELD_CONGESTION) {
    rep.count[i] = s.pools.data_fields().congestion_count;
  } else if (err_class == T38__ERR_REPORT__IFP_PCK_CONGESTION) {
    rep.count[i] = s.pools.ifp_packets().congestion_count;
  } else {
    rep.count[i] += count;
  }
  rep.pending[i] = 1;
  u32 duration = s.report_cfg.freq_error_report_ms;
  if (first) {
    stop_error_timer(s);
    duration = 1;
  }
  start_error_timer(s, duration);
}

u8 t38_report__setup(t38_session& s) {
  s.rep = t38_report_state{};
  if (s.report_cfg.freq_error_report_ms < 100) s.report_cfg.freq_error_report_ms = 100;
  if (s.report_cfg.error_report_bfi & T38__ERR_REPORT__TRAP) {
    msg_t* m = nullptr;
    buffer_t* b = nullptr;
    u8* body = nullptr;
    Alloc_msg_data(&m, &b, T38__REPORT_BODY_SIZE, &body);
    if (body == nullptr) return T38__CAUSE_NO_MEMORY;
    s.rep.prealloc = m;
  }
  return T38__CAUSE_OK;
}

void send_t38__report_in__error(u32 err_class, u32 count, t38_session& s) {
  u8* body = nullptr;
  msg_t* m = t38__alloc_msg(s, T38__REPORT_BODY_SIZE, &body, T38__TRAP__REPORT__NO_MSG_NO_BUFFER,
                            "T38->send_t38__report_in__error: No more Msg or buffer", true);
  if (m == nullptr) return;
  report_header(body, 'R', s);
  put_le32(body + 8, err_class);
  put_le32(body + T38__REPORT_COUNT_OFFSET, count);
  t38_report__address_to_user(m, s);
  Send_msg(m);
}

void t38_report__event_report(const u8 record[T38__EVENT_RECORD_SIZE], t38_session& s) {
  const u32 kind = get_le32(record);
  const bool always = kind == 0x100000 || kind == 0x200000 || kind == 0x400000;
  if (!always && (s.report_cfg.event_report_bfi & kind) == 0) return;
  u8* body = nullptr;
  msg_t* m = t38__alloc_msg(s, T38__REPORT_BODY_SIZE, &body, T38__TRAP__REPORT__NO_MSG_NO_BUFFER,
                            "T38->t38_report__event_report: No more memory ressource");
  if (m == nullptr) return;
  report_header(body, 'E', s);
  std::memcpy(body + 8, record, T38__EVENT_RECORD_SIZE);
  t38_report__address_to_user(m, s);
  Send_msg(m);
}

u32 t38_report__count(const t38_session& s, u32 err_class) {
  if (err_class == T38__ERR_REPORT__DFIELD_CONGESTION) return s.pools.data_fields().congestion_count;
  if (err_class == T38__ERR_REPORT__IFP_PCK_CONGESTION) return s.pools.ifp_packets().congestion_count;
  const int i = class_index(err_class);
  return i < 0 ? 0 : s.rep.count[i];
}

void t38_report__periodic(t38_session& s) {
  s.rep.error_timer_running = 0;
  for (u32 i = 0; i < T38__ERR_CLASSES; ++i) {
    if (!s.rep.pending[i]) continue;
    const class_row& c = kClasses[i];
    const u32 count = t38_report__count(s, c.err_class);
    if (s.report_cfg.error_report_bfi & c.err_class) send_t38__report_in__error(c.err_class, count, s);
    if (c.line != nullptr) t38__log(s, c.trace_class, c.line, static_cast<int>(count));
    s.rep.pending[i] = 0;
  }
}

void t38_report__congestion_change(u8 state, t38_session& s) {
  if (state == 1) {
    if (t38_trace() != nullptr) t38_trace()->congestion(s);
    if (s.rep.error_timer_running) stop_error_timer(s);
    return;
  }
  start_error_timer(s, s.report_cfg.freq_error_report_ms);
  if (state == 0) t38_report__trap(0, T38__ERR_REPORT__SM_CONGESTION, 0, "", "", s);
}

void t38_report__end_of_session(t38_session& s) {
  if (s.rep.error_timer_running) stop_error_timer(s);
  if (s.rep.trap_count == 0) t38_report__periodic(s);
  if (s.rep.prealloc != nullptr) {
    Free_msg(s.rep.prealloc);
    s.rep.prealloc = nullptr;
  }
  t38__timer_stop(s, TI_TRACE_REPORT);
  if (t38_trace() != nullptr) t38_trace()->end_of_session(s, s.rep.trap_count != 0);
}

msg_head t38_report__user_head(const t38_session& s) {
  return {ENT_T38, s.user, s.report_code, s.nai, T38__SAPI_MANAGEMENT};
}

void t38_report__address_to_user(msg_t* m, const t38_session& s) { Msg_set_head(m, t38_report__user_head(s)); }

}  // namespace kv::t38
