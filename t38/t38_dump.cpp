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
  std::snprintf(line, sizeof line, fmt, args...);
  put(s, trace_class, line);
}

}  // namespace

void t38_dump__compilation_parameters(t38_session& s) {
  constexpr u32 C = T38_TRC__CNF_B;
  if (!t38__tracing(s, C)) return;
  put(s, C, "  Compilation parameters (t38_par.h):\n");
  putf(s, C, "     T38__GATEWAY = %s             T38__IAF = %s                 T38__V17_MDM = %s   T38__TCP_TRANSPORT = %s\n",
       on_off(false), on_off(true), on_off(true), on_off(true));
  put(s, C, "     T38GW__CPU = T38GW__CPU_INTEL_MMX\n");
  putf(s, C, "     T38GW__A_LAW = %s             T38GW__A_LAW_INV = %s         T38GW__MU_LAW = %s  T38GW__MU_LAW_INV = %s\n",
       on_off(false), on_off(false), on_off(false), on_off(false));
  putf(s, C, "     T38__ENT_IP = %c (0x%x)         T38__FULL_IP_ADDRESS = %s     T38GW__SIMUL_SMODEM = %s\n", 'I', 0x49,
       on_off(true), on_off(false));
  putf(s, C, "     T38GW__T4_SPOOFING = %s\n", on_off(false));
  putf(s, C, "     T38__UDPTL_REDUNDANCY = %s    T38__UDPTL_FEC = %s           T38__LCL_TCF = %s   T38__TRANS_TCF = %s\n",
       on_off(true), on_off(false), on_off(false), on_off(true));
  putf(s, C, "     T38__CAP__MAX_DATAGRAM_SIZE = %d   T38__CAP__FAX_MAX_BUFFER_SIZE = %d\n", 1500, 10500);
  putf(s, C, "     T38__USER_NSF_FIF = \"%s\"   T38__USER_NSF_FIF_LEN = %d\n", "CALDERWYN T38", 13);
  putf(s, C, "     T38__T30_FRM_STAT = %s        T38__UDP_NETWORK_SIMUL = %s   T38GW__HW_CALIBRATION = %s\n",
       on_off(true), on_off(true), on_off(false));
  put(s, C, "     T38__ip_packet_filter macro is defined\n");
  putf(s, C, "     T38__CTX_SPEED_RESTORE = %s\n", on_off(true));
  putf(s, C, "     T38__CONFIG_MAX_NA = %d         T38__MAX_NA = %d   T38GW__MAX_CELL_PATTERN_TONE_XMIT = %d\n", 1, 62, 2);
  putf(s, C, "     T38GW__SAMPLE_FIFO_SIZE = %d   T38__MAX_LEN_T30_TRACE = %d\n", 80, 4000);
  putf(s, C, "     T38__MAX_NB_DATA_FIELD = %d   T38__CONG_THR_DATA_FIELD_HIGH_MARK = %d   T38__CONG_THR_DATA_FIELD_LOW_MARK = %d\n",
       300, 15, 10);
  putf(s, C, "     T38__MAX_NB_IFP_PACKET = %d    T38__CONG_THR_IFP_PACKET_HIGH_MARK = %d    T38__CONG_THR_IFP_PACKET_LOW_MARK = %d  \n",
       60, 6, 3);
  putf(s, C, "     T38__MAX_SIZE_DATA_FIELD = %d\n", 50);
  putf(s, C, "     T38GW__IT_PROTECT_LVL_2 = %s\n", on_off(false));
  putf(s, C, "     T38__ASSERT = %s              T38__MEM_CHECK = %s           T38__SHORT_ERROR_MSG = %s\n", on_off(false),
       on_off(true), on_off(false));
  putf(s, C, "     T38__TRC__MSG = %s            T38__TRC__ASN1_HEX = %s       T38__TRC__SMODEM = %s   T38__TRC__T38_PACKET = %s\n",
       on_off(true), on_off(true), on_off(false), on_off(true));
  putf(s, C, "     T38__TRC__UDP_SIMUL = %s      T38__TRC__T30 = %s            T38__TRC__T38_AUTOMATON = %s   T38__TRC__SAMPLE_UNDERRUN_OVERRUN = %s\n",
       on_off(true), on_off(true), on_off(true), on_off(false));
  putf(s, C, "     T38__TRC__TX_UNDERRUN = %s    T38__TRC__UDPTL_LOST = %s     T38__TRC__SM_CONGESTION = %s   T38__TRC__MEM_ALLOC = %s\n",
       on_off(false), on_off(true), on_off(true), on_off(false));
  putf(s, C, "     T38__TRC__DBG = %s            T38__TRC__HW_CALIBRATION = %s T38__TRC__ECM_FRAME_TOO_LONG = %s   T38__TRC__CORRUPTED_HDLC_FRAME = %s\n",
       on_off(false), on_off(false), on_off(true), on_off(true));
  put(s, C, "     T38__start_record_trace macro is not defined or has been overwritten \n");
  put(s, C, "     T38__stop_record_trace macro is not defined or has been overwritten \n");
  put(s, C, "  Internal Compilation parameters (t38_int.h):\n");
  putf(s, C, "     T38__IGNORE_RX_UDP_PACKET_AFTER_DCN = %s\n", on_off(true));
  putf(s, C, "     T38__REVERSE_FAX_DATA = %s    T38__DBG__DISPLAY_ALL_UDPTL_RCV = %s   T38__DBG__DISPLAY_RCV_IFP_FIFO = %s\n",
       on_off(true), on_off(false), on_off(true));
  putf(s, C, "     T38GW__DBG__TRC_HDLC_UNDERRUN = %s   T38GW__DBG__TRC_TRANS_UNDERRUN = %s\n", on_off(true), on_off(true));
  putf(s, C, "     T38_IFP__TST_DECODE = %s      T38_IFP__TST_ENCODE = %s\n", on_off(false), on_off(false));
  putf(s, C, "     T38GW__ECM_HDLC_BYTE_DMOD = %s   T38GW__ECM_HDLC_BYTE_MOD = %s   T38GW__V21_VHSPD_PARALLEL_DEMODULATOR = %s\n",
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
      putf(s, C, "                    - UDP payload efficiency (bytes)   Max datagram size: %u   Average: %u   Max: %u\n",
           static_cast<unsigned>(s.adjusted.max_datagram_size), c.datagram_bytes / c.datagrams,
           static_cast<unsigned>(c.largest_datagram));
    }
    if (c.dfield_count != 0) {
      putf(s, C, "                    - Data Field efficiency  (bytes)   T38__MAX_SIZE_DATA_FIELD: %u   Average: %u   Max: %u\n",
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
