// Texts about a T.38 session: the build switches, the common configuration
// and the transport statistics, written into the session's trace.
#include <cstdio>

#include "t38/t38_report.h"
#include "t38/t38_session.h"
#include "t38/t38_trace.h"

namespace kv::t38 {

namespace {

const char* on_off(bool on) { return on ? "ON " : "OFF"; }

void put(t38_session& s, u32 trace_class, const char* text) { t38_trace__line(s, T38_DIR__NONE, trace_class, text); }

template <class... A>
void putf(t38_session& s, u32 trace_class, const char* fmt, A... args) {
  char line[400];
  (void)std::snprintf(line, sizeof line, fmt, args...);
  put(s, trace_class, line);
}

}  // namespace

void t38_dump__compilation_parameters(t38_session& s) {
  constexpr u32 C = T38_TRC__CNF_B;
  if (!t38__tracing(s, C)) return;
  put(s, C, "  Compilation parameters (t38_par.h):\n");
  putf(s, C,
       "     T38__GATEWAY = %s             T38__IAF = %s                 T38__V17_MDM = %s   T38__TCP_TRANSPORT = %s\n",
       on_off(false), on_off(true), on_off(true), on_off(true));
  put(s, C, "     T38GW__CPU = T38GW__CPU_INTEL_MMX\n");
  putf(s, C,
       "     T38GW__A_LAW = %s             T38GW__A_LAW_INV = %s         T38GW__MU_LAW = %s  T38GW__MU_LAW_INV = %s\n",
       on_off(false), on_off(false), on_off(false), on_off(false));
  putf(s, C, "     T38__ENT_IP = %c (0x%x)         T38__FULL_IP_ADDRESS = %s     T38GW__SIMUL_SMODEM = %s\n", 'I', 0x49,
       on_off(true), on_off(false));
  putf(s, C, "     T38GW__T4_SPOOFING = %s\n", on_off(false));
  putf(s, C,
       "     T38__UDPTL_REDUNDANCY = %s    T38__UDPTL_FEC = %s           T38__LCL_TCF = %s   T38__TRANS_TCF = %s\n",
       on_off(true), on_off(false), on_off(false), on_off(true));
  putf(s, C, "     T38__CAP__MAX_DATAGRAM_SIZE = %d   T38__CAP__FAX_MAX_BUFFER_SIZE = %d\n", 1500, 10500);
  putf(s, C, "     T38__USER_NSF_FIF = \"%s\"   T38__USER_NSF_FIF_LEN = %d\n", "CALDERWYN T38", 13);
  putf(s, C, "     T38__T30_FRM_STAT = %s        T38__UDP_NETWORK_SIMUL = %s   T38GW__HW_CALIBRATION = %s\n",
       on_off(true), on_off(true), on_off(false));
  put(s, C, "     T38__ip_packet_filter macro is defined\n");
  putf(s, C, "     T38__CTX_SPEED_RESTORE = %s\n", on_off(true));
  putf(s, C, "     T38__CONFIG_MAX_NA = %d         T38__MAX_NA = %d   T38GW__MAX_CELL_PATTERN_TONE_XMIT = %d\n", 1, 62,
       2);
  putf(s, C, "     T38GW__SAMPLE_FIFO_SIZE = %d   T38__MAX_LEN_T30_TRACE = %d\n", 80, 4000);
  putf(s, C,
       "     T38__MAX_NB_DATA_FIELD = %d   T38__CONG_THR_DATA_FIELD_HIGH_MARK = %d   T38__CONG_THR_DATA_FIELD_LOW_MARK "
       "= %d\n",
       300, 15, 10);
  putf(s, C,
       "     T38__MAX_NB_IFP_PACKET = %d    T38__CONG_THR_IFP_PACKET_HIGH_MARK = %d    "
       "T38__CONG_THR_IFP_PACKET_LOW_MARK = %d  \n",
       60, 6, 3);
  putf(s, C, "     T38__MAX_SIZE_DATA_FIELD = %d\n", 50);
  putf(s, C, "     T38GW__IT_PROTECT_LVL_2 = %s\n", on_off(false));
  putf(s, C, "     T38__ASSERT = %s              T38__MEM_CHECK = %s           T38__SHORT_ERROR_MSG = %s\n",
       on_off(false), on_off(true), on_off(false));
  putf(s, C,
       "     T38__TRC__MSG = %s            T38__TRC__ASN1_HEX = %s       T38__TRC__SMODEM = %s   T38__TRC__T38_PACKET "
       "= %s\n",
       on_off(true), on_off(true), on_off(false), on_off(true));
  putf(s, C,
       "     T38__TRC__UDP_SIMUL = %s      T38__TRC__T30 = %s            T38__TRC__T38_AUTOMATON = %s   "
       "T38__TRC__SAMPLE_UNDERRUN_OVERRUN = %s\n",
       on_off(true), on_off(true), on_off(true), on_off(false));
  putf(s, C,
       "     T38__TRC__TX_UNDERRUN = %s    T38__TRC__UDPTL_LOST = %s     T38__TRC__SM_CONGESTION = %s   "
       "T38__TRC__MEM_ALLOC = %s\n",
       on_off(false), on_off(true), on_off(true), on_off(false));
  putf(s, C,
       "     T38__TRC__DBG = %s            T38__TRC__HW_CALIBRATION = %s T38__TRC__ECM_FRAME_TOO_LONG = %s   "
       "T38__TRC__CORRUPTED_HDLC_FRAME = %s\n",
       on_off(false), on_off(false), on_off(true), on_off(true));
  put(s, C, "     T38__start_record_trace macro is not defined or has been overwritten \n");
  put(s, C, "     T38__stop_record_trace macro is not defined or has been overwritten \n");
  put(s, C, "  Internal Compilation parameters (t38_int.h):\n");
  putf(s, C, "     T38__IGNORE_RX_UDP_PACKET_AFTER_DCN = %s\n", on_off(true));
  putf(
      s, C,
      "     T38__REVERSE_FAX_DATA = %s    T38__DBG__DISPLAY_ALL_UDPTL_RCV = %s   T38__DBG__DISPLAY_RCV_IFP_FIFO = %s\n",
      on_off(true), on_off(false), on_off(true));
  putf(s, C, "     T38GW__DBG__TRC_HDLC_UNDERRUN = %s   T38GW__DBG__TRC_TRANS_UNDERRUN = %s\n", on_off(true),
       on_off(true));
  putf(s, C, "     T38_IFP__TST_DECODE = %s      T38_IFP__TST_ENCODE = %s\n", on_off(false), on_off(false));
  putf(s, C,
       "     T38GW__ECM_HDLC_BYTE_DMOD = %s   T38GW__ECM_HDLC_BYTE_MOD = %s   T38GW__V21_VHSPD_PARALLEL_DEMODULATOR = "
       "%s\n",
       on_off(false), on_off(false), on_off(true));
  put(s, C, "\n");
  put(s, C, "\n");
}

void t38_dump__common_configuration(t38_session& s, u32 ced_duration_ms) {
  constexpr u32 C = T38_TRC__CNF_B;
  if (!t38__tracing(s, C)) return;
  put(s, C, "  Configuration parameters (struct t38__config_session (kind_of_cnf = T38__COMMON_CNF)): \n");
  put(s, C, "       struct t38gw__v25_param {\n");
  putf(s, C, "           timer_val_t ced_duration_ms; (%d)\n", static_cast<int>(ced_duration_ms));
  put(s, C, "       }v25_param;\n");
}

void t38_dump__transport_statistics(bool print, u8* record, t38_session& s, u32 protocol_errors) {
  if (record != nullptr) t38_ifp__statistics(s, record);
  if (!print || !t38__tracing(s, T38_TRC__PACKET)) return;
  constexpr u32 C = T38_TRC__PACKET;
  const t38_ifp_counters& c = s.ifp.cnt;
  if (s.is_udp()) {
    putf(s, C, "UDP Infos: SEND     - UDPTL packet counters  (packets) Total (efficiency + idle): %u   Idle: %u\n",
         c.udptl_sent, c.idle_sent);
    putf(s, C, "                    - ASN.1 data counters    (bytes)   Total (efficiency + redundancy + idle): %u\n",
         c.asn1_total);
    putf(s, C, "                    -                        (bytes)   Efficiency: %u   Redundancy: %u   Idle: %u \n",
         c.asn1_efficiency, c.asn1_redundancy, c.asn1_idle);
    if (c.datagrams != 0) {
      putf(s, C,
           "                    - UDP payload efficiency (bytes)   Max datagram size: %u   Average: %u   Max: %u\n",
           static_cast<unsigned>(s.adjusted.max_datagram_size), c.datagram_bytes / c.datagrams,
           static_cast<unsigned>(c.largest_datagram));
    }
    if (c.dfield_count != 0) {
      putf(s, C,
           "                    - Data Field efficiency  (bytes)   T38__MAX_SIZE_DATA_FIELD: %u   Average: %u   Max: "
           "%u\n",
           50u, c.dfield_bytes / c.dfield_count, static_cast<unsigned>(c.largest_dfield));
    }
    putf(s, C, "           RECEIVE  - UDPTL packet counters  (packets) Total: %u   Efficency: %u \n", c.received,
         c.received - c.rejected);
    putf(s, C, "                    - ASN.1 data counters    (bytes)   Total: %u   Efficiency: %u \n", c.asn1_received,
         c.asn1_delivered);
    putf(s, C, "                    - Rcv packet lost/retreived: %u   Rcv packet definitively lost: %u \n", c.retrieved,
         c.lost);
    putf(s, C, "                    - Nb of rejected packets by the user: %u\n", c.rejected);
    putf(s, C, "                    - ASN.1 error while decoding received UDPTL packet: %u\n", c.decode_errors);
  } else {
    putf(s, C, "TCP Infos: SEND     - TPKT packet counters  (packets) Total: %u\n", c.tpkt_sent);
    putf(s, C, "                    - ASN.1 data counters   (bytes)   Total: %u\n", c.tpkt_bytes_sent);
    putf(s, C, "           RECEIVE  - TPKT packet counters  (packets) Total: %u\n", c.tpkt_received);
    putf(s, C, "                    - ASN.1 data counters   (bytes)   Total: %u\n", c.tpkt_bytes_received);
    putf(s, C, "                    - ASN.1 error while decoding received UDPTL packet: %u\n", c.tpkt_errors);
  }
  put(s, C, "\n");
  putf(s, C, "T.38 Errors:        - Total numbers of T.38 protocol error (T38__DEA__FAX_PROTOCOL_ERR_xx): %lu\n",
       static_cast<unsigned long>(protocol_errors));
  struct row {
    const char* text;
    u32 err_class;
    bool udp_only;
  };
  static constexpr row kRows[] = {
      {"                    - Error Counters: (GW)     T38__ERR_REPORT__SAMPLE_UNDERRUN_OVERRUN   : %lu\n",
       T38__ERR_REPORT__SAMPLE_UNDERRUN_OVERRUN, false},
      {"                                      (GW)     T38__ERR_REPORT__TX_UNDERRUN               : %lu\n",
       T38__ERR_REPORT__TX_UNDERRUN, false},
      {"                                      (GW/IAF) T38__ERR_REPORT__UDPTL_LOST                : %lu\n",
       T38__ERR_REPORT__UDPTL_LOST, true},
      {"                                      (GW/IAF) T38__ERR_REPORT__SM_CONGESTION             : %lu\n",
       T38__ERR_REPORT__SM_CONGESTION, false},
      {"                                      (GW/IAF) T38__ERR_REPORT__IFP_PCK_CONGESTION        : %lu\n",
       T38__ERR_REPORT__IFP_PCK_CONGESTION, false},
      {"                                      (GW/IAF) T38__ERR_REPORT__DFIELD_CONGESTION         : %lu\n",
       T38__ERR_REPORT__DFIELD_CONGESTION, false},
      {"                                      (GW/IAF) T38__ERR_REPORT__ECM_FRAME_TOO_LONG        : %lu\n",
       T38__ERR_REPORT__ECM_FRAME_TOO_LONG, false},
      {"                                      (GW/IAF) T38__ERR_REPORT__CORRUPTED_HDLC_FRAME      : %lu\n",
       T38__ERR_REPORT__CORRUPTED_HDLC_FRAME, false},
  };
  for (const row& r : kRows) {
    if (r.udp_only && !s.is_udp()) continue;
    putf(s, C, r.text, static_cast<unsigned long>(t38_report__count(s, r.err_class)));
  }
}

}  // namespace kv::t38

namespace kv::t38 {

namespace {

// One field in declaration form: "<indent><type> <name>; (<value>)".
void field(t38_session& s, const char* indent, const char* type, const char* name, long value, bool ignored = false) {
  putf(s, T38_TRC__CNF_B, "%s%s%s %s; (%ld)\n", indent, ignored ? "  (ignored) " : "", type, name, value);
}

void capabilities(t38_session& s, const t38__t38_capabilities& c, bool tcp, bool adjusted) {
  const char* in = "               ";
  field(s, in, "u8 ", "t38_version", c.t38_version);
  field(s, in, "u16", "fax_max_bit_rate", c.fax_max_bit_rate);
  field(s, in, "u8 ", "drate_mgt_method", c.drate_mgt_method);
  field(s, in, "u8 ", "remove_fill_bits_t4", c.remove_fill_bits_t4);
  field(s, in, "u8 ", "transcode_mmr", c.transcode_mmr);
  field(s, in, "u8 ", "transcode_jbig", c.transcode_jbig);
  if (tcp && adjusted) {
    putf(s, T38_TRC__CNF_B, "%su16 fax_max_buffer_size; (ignored)\n", in);
    putf(s, T38_TRC__CNF_B, "%su16 max_datagram_size; (ignored)\n", in);
    putf(s, T38_TRC__CNF_B, "%su8  udp_ec; (ignored)\n", in);
  } else {
    put(s, T38_TRC__CNF_B, "           [UDP parameters]\n");
    field(s, in, "u16", "fax_max_buffer_size", c.fax_max_buffer_size);
    field(s, in, "u16", "max_datagram_size", c.max_datagram_size);
    field(s, in, "u8 ", "udp_ec", c.udp_ec);
  }
  put(s, T38_TRC__CNF_B, "           [TCP parameters]\n");
  field(s, in, "u8 ", "tcp_transport_supported", c.tcp_transport_supported);
  field(s, in, "u16", "tcp_fax_max_bit_rate", c.tcp_fax_max_bit_rate);
  field(s, in, "u8 ", "tcp_drate_mgt_method", c.tcp_drate_mgt_method);
  field(s, in, "u8 ", "tcp_remove_fill_bits_t4", c.tcp_remove_fill_bits_t4);
  field(s, in, "u8 ", "tcp_transcode_mmr", c.tcp_transcode_mmr);
  field(s, in, "u8 ", "tcp_transcode_jbig", c.tcp_transcode_jbig);
}

}  // namespace

void t38_dump__session_configuration(t38_session& s, u32 glb_context_size) {
  constexpr u32 C = T38_TRC__CNF_B;
  if (!t38__tracing(s, C)) return;
  const bool tcp = !s.is_udp();
  const char* g1 = "           ";
  const char* g2 = "               ";
  put(s, C, "  Configuration parameters (struct t38__config_session (kind_of_cnf = T38__SESSION_CNF)): \n");
  putf(s, C, "       u8 kind_of_session; (%s)\n",
       s.kind_of_session == T38__IAF_SESSION ? "T38__IAF_SESSION" : "T38__GATEWAY_SESSION");
  put(s, C, "       struct t38__session_array {\n");
  put(s, C, "           struct t38__addr_param {\n");
  field(s, g2, "u16", "nai", s.addr.nai);
  putf(s, C, "%su8  remote_ip_family; (ignored)\n", g2);
  putf(s, C, "%su8  remote_ipv4_addr[4]; (%d.%d.%d.%d)\n", g2, s.addr.remote_ipv4_addr[0], s.addr.remote_ipv4_addr[1],
       s.addr.remote_ipv4_addr[2], s.addr.remote_ipv4_addr[3]);
  field(s, g2, "u16", "remote_port", s.addr.remote_port);
  field(s, g2, "u8 ", "sock_sapi", s.addr.sock_sapi);
  field(s, g2, "u16", "sock_conn_id", s.addr.sock_conn_id);
  putf(s, C, "%s}t38__addr_param;\n", g1);
  if (s.kind_of_session == T38__IAF_SESSION) {
    const t38iaf__data_ctrl_param& d = s.iaf_cfg;
    put(s, C, "           struct t38iaf__data_ctrl_param {\n");
    auto frm = [&](const char* type, const char* name, u32 v, u32 special, const char* special_name) {
      if (v == special) {
        putf(s, C, "%s%s %s; (%s)\n", g2, type, name, special_name);
      } else {
        field(s, g2, type, name, static_cast<long>(v));
      }
    };
    frm("u16", "t38iaf__data_v21_hdlc.size_first_buf", d.v21_size_first_buf, 0xFFFF, "T38IAF__T30_FRM_LENGTH");
    frm("u16", "t38iaf__data_v21_hdlc.size_buf", d.v21_size_buf, 0xFFFF, "T38IAF__T30_FRM_LENGTH");
    field(s, g2, "u32", "t38iaf__pg_data_transparent.first_char_delay_ms", d.transparent_first_char_delay_ms);
    field(s, g2, "u32", "t38iaf__pg_data_transparent.char_delay_ms", d.transparent_char_delay_ms);
    frm("u32", "t38iaf__pg_data_ecm.first_char_delay_ms", d.ecm_first_char_delay_ms, 0xFFFFFF,
        "T38IAF__ECM_FRM_LENGTH");
    frm("u32", "t38iaf__pg_data_ecm.char_delay_ms", d.ecm_char_delay_ms, 0xFFFFFF, "T38IAF__ECM_FRM_LENGTH");
    field(s, g2, "u16", "flow_ctrl_thr_high", d.flow_ctrl_thr_high);
    field(s, g2, "u16", "flow_ctrl_thr_low", d.flow_ctrl_thr_low);
    putf(s, C, "%s}t38iaf__data_ctrl_param;\n", g1);
  }
  const t38__ip_param& ip = s.ip;
  put(s, C, "           struct t38__ip_param {\n");
  putf(s, C, "%su8  media_transport; (%c)\n", g2, ip.media_transport);
  field(s, g2, "u8 ", "nb_red_ifp_pck__default", ip.nb_red_ifp_pck__default, tcp);
  field(s, g2, "u8 ", "nb_red_ifp_pck__tcf", ip.nb_red_ifp_pck__tcf, tcp);
  field(s, g2, "u8 ", "nb_red_ifp_pck__fax_pg_no_ecm", ip.nb_red_ifp_pck__fax_pg_no_ecm, tcp);
  field(s, g2, "u8 ", "nb_red_ifp_pck__fax_pg_ecm", ip.nb_red_ifp_pck__fax_pg_ecm, tcp);
  field(s, g2, "u32", "idle_ip_inactivity_ms", ip.idle_ip_inactivity_ms, tcp);
  field(s, g2, "u32", "v25_ip_inactivity_ms", ip.v25_ip_inactivity_ms, tcp);
  field(s, g2, "u32", "v21preamb_ip_inactivity_ms", ip.v21preamb_ip_inactivity_ms, tcp);
  field(s, g2, "u32", "v21_ip_inactivity_ms", ip.v21_ip_inactivity_ms, tcp);
  field(s, g2, "u32", "vhspd_ip_inactivity_ms", ip.vhspd_ip_inactivity_ms, tcp);
  field(s, g2, "u8 ", "fast_switch_redundancy", ip.fast_switch_redundancy, tcp);
  field(s, g2, "u8 ", "flag_optimize_filling_dfield", ip.flag_optimize_filling_dfield);
  field(s, g2, "u32", "start_ip_ms", ip.start_ip_ms);
  putf(s, C, "%s}t38__ip_param;\n", g1);
  put(s, C, "       }t38__session_array;\n");
  put(s, C, ": Contents of T38__CAPABILITIES_CO\n");
  capabilities(s, t38__default_capabilities(), false, false);
  put(s, C, ": T.38 capabilities provided thru T38__SET_CONFIG_RQ\n");
  put(s, C, tcp ? "Rem: TCP transport\n" : "Rem: UDP transport\n");
  put(s, C, "           struct t38__t38_capabilities t38_negotiated_capabilities {\n");
  capabilities(s, s.negotiated, tcp, false);
  put(s, C, "           }\n");
  put(s, C, ": \"Good\" t38 capabilities used during this session (adjusted by the T.38 entity) {\n");
  capabilities(s, s.adjusted, tcp, true);
  put(s, C, "           }\n");
  const t38__udp_simulation& sim = s.sim_cfg;
  put(s, C, "           struct t38__udp_simulation {\n");
  field(s, g2, "u8 ", "nb_of_pck_lost", sim.nb_of_pck_lost);
  field(s, g2, "u8 ", "freq_pck_lost", sim.freq_pck_lost);
  field(s, g2, "u32", "pck_delayed_ms", static_cast<long>(sim.pck_delayed_ms));
  field(s, g2, "u8 ", "nb_of_pck_delayed", sim.nb_of_pck_delayed);
  field(s, g2, "u8 ", "freq_pck_delayed", sim.freq_pck_delayed);
  putf(s, C, "%s}t38__udp_simulation;\n", g1);
  const t38__report_param& r = s.report_cfg;
  put(s, C, "           struct t38__report_param {\n");
  putf(s, C, "%su32 error_report_bfi; (0x%x)\n", g2, r.error_report_bfi);
  field(s, g2, "u32", "freq_error_report_ms", static_cast<long>(r.freq_error_report_ms));
  putf(s, C, "%su32 trace_report_bfi; (0x%x)\n", g2, r.trace_report_bfi);
  field(s, g2, "u32", "trace_flush_timer", static_cast<long>(r.trace_flush_timer));
  field(s, g2, "u16", "trace_flush_nb_char", r.trace_flush_nb_char);
  field(s, g2, "u16", "max_byte_asn1_hex", r.max_byte_asn1_hex);
  field(s, g2, "u8 ", "detailed_packet_trace", r.detailed_packet_trace);
  field(s, g2, "u16", "max_byte_udptl_hex", r.max_byte_udptl_hex);
  field(s, g2, "u16", "max_byte_fax_hex", r.max_byte_fax_hex);
  putf(s, C, "%su8  report__macro_ctrl_bfi; (0x%x)\n", g2, r.report__macro_ctrl_bfi);
  putf(s, C, "%su32 event_report_bfi; (0x%x)\n", g2, r.event_report_bfi);
  putf(s, C, "%s}t38__report_param;\n", g1);
  if (!tcp && s.ifp.max_dfield_size != T38__MAX_SIZE_DATA_FIELD) {
    putf(s, C,
         "WARNING: the max size of data field object (sent thru IP) has been updated to %d (initial value was: "
         "T38__MAX_SIZE_DATA_FIELD = %d)\n",
         s.ifp.max_dfield_size, T38__MAX_SIZE_DATA_FIELD);
    putf(s, C,
         "         this new value is worst case deduced from max_datagram_size (%d) and max nb_red_ifp_pck__xxxx\n",
         s.adjusted.max_datagram_size);
  }
  putf(s, C, "Context size: - struct t38_glb_context     = %d bytes\n", static_cast<int>(glb_context_size));
  putf(s, C, "              - struct t38_session_context = %d bytes\n", static_cast<int>(sizeof(t38_session)));
  put(s, C, " Memory pool size (these pools are stored into session context)\n");
  putf(s, C, "              - data_field_partition = %d bytes\n",
       static_cast<int>(t38_pool_area_size(T38__MAX_NB_DATA_FIELD, sizeof(t38_data_field))));
  putf(s, C, "              - ifp_pck_partition    = %d bytes\n",
       static_cast<int>(t38_pool_area_size(T38__MAX_NB_IFP_PACKET, sizeof(t38_ifp_packet))));
}

}  // namespace kv::t38
