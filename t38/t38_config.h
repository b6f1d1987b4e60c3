// Configuration of T.38 sessions: the t38__config_session record that
// T38__SET_CONFIG_RQ carries, its parameter groups, the default T.38
// capabilities, the capability clamp and the checks run at configuration.
//
// Record layout (packed, little-endian, byte offsets):
//   0 u8 return code (written in the confirm)   1 u8 cause (written)
//   2 u8 entity (written: 'J')                   3 u8 kind_of_cnf (11 / 10)
//   common part (11): 4 u32 ced_duration_ms
//   session part (10): 4 u16 number of entries, then the entries in the
//   order of t38__visit_entry (T38__ENTRY_SIZE_IAF bytes for kind 'I', the
//   same less the IAF data-control group for other kinds).
// Every field is read and written by t38__visit_entry alone.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "runtime/types.h"

namespace kv::t38 {

inline constexpr u8 T38__COMMON_CNF = 11;
inline constexpr u8 T38__SESSION_CNF = 10;
inline constexpr u8 T38__IAF_SESSION = 'I';
inline constexpr u8 T38__GATEWAY_SESSION = 'G';
inline constexpr u8 T38__MEDIA_UDPTL = 'U';
inline constexpr u8 T38__MEDIA_TPKT = 'T';

inline constexpr u32 T38__CONFIG_HEADER_SIZE = 4;
inline constexpr u32 T38__COMMON_BODY_SIZE = T38__CONFIG_HEADER_SIZE + 4;
inline constexpr u32 T38__ENTRY_SIZE_IAF = 125;
inline constexpr u32 T38__ENTRY_SIZE_OTHER = 101;

// Causes of T38__SET_CONFIG_CO.
enum : u8 {
  T38__CAUSE_OK = 2,
  T38__CAUSE_NO_MEMORY = 12,
  T38__CAUSE_TIMER_CELL = 13,
  T38__CAUSE_BAD_KIND_OF_CNF = 100,  // 'd'; also a body too short for what it claims
  T38__CAUSE_COMMON_WITH_SESSIONS = 101,
  T38__CAUSE_SESSION_BEFORE_COMMON = 102,
  T38__CAUSE_TOO_MANY_SESSIONS = 103,
  T38__CAUSE_NAI_CONFIGURED = 104,
  T38__CAUSE_GATEWAY_SESSION = 105,
  T38__CAUSE_NO_TRANSFERRED_TCF = 108,
  T38__CAUSE_BUFFER_SIZE_0 = 110,
  T38__CAUSE_BUFFER_BELOW_DATAGRAM = 111,
  T38__CAUSE_DATAGRAM_SIZE_0 = 112,
  T38__CAUSE_NO_REDUNDANCY = 113,
  T38__CAUSE_NO_SESSION = 190,  // T38__RESET_CONFIG_CO
};

// drate_mgt_method bits and udp_ec bits.
inline constexpr u8 T38__DRATE_LOCAL_TCF = 1;
inline constexpr u8 T38__DRATE_TRANSFERRED_TCF = 2;
inline constexpr u8 T38__UDP_EC_REDUNDANCY = 2;

inline constexpr u16 T38__CAP__MAX_BIT_RATE = 14400;
inline constexpr u16 T38__CAP__MAX_DATAGRAM_SIZE = 1500;
inline constexpr u16 T38__CAP__FAX_MAX_BUFFER_SIZE = 10500;
inline constexpr u16 T38__TCP_MAX_DATAGRAM_SIZE = 50000;
inline constexpr u16 T38__TCP_FAX_MAX_BUFFER_SIZE = 50001;

struct t38__t38_capabilities {
  u8 t38_version = 0;
  u16 fax_max_bit_rate = 0;
  u8 drate_mgt_method = 0;
  u8 remove_fill_bits_t4 = 0;
  u8 transcode_mmr = 0;
  u8 transcode_jbig = 0;
  u16 fax_max_buffer_size = 0;
  u16 max_datagram_size = 0;
  u8 udp_ec = 0;
  u8 tcp_transport_supported = 0;
  u16 tcp_fax_max_bit_rate = 0;
  u8 tcp_drate_mgt_method = 0;
  u8 tcp_remove_fill_bits_t4 = 0;
  u8 tcp_transcode_mmr = 0;
  u8 tcp_transcode_jbig = 0;
};
inline constexpr u32 T38__CAPABILITIES_SIZE = 19;

struct t38__addr_param {
  u16 nai = 0;
  u8 remote_ip_family = 0;
  u8 remote_ipv4_addr[4] = {};
  u16 remote_port = 0;
  u8 sock_sapi = 0;
  u16 sock_conn_id = 0;
};

struct t38__ip_param {
  u8 media_transport = T38__MEDIA_UDPTL;
  u8 nb_red_ifp_pck__default = 0;
  u8 nb_red_ifp_pck__tcf = 0;
  u8 nb_red_ifp_pck__fax_pg_no_ecm = 0;
  u8 nb_red_ifp_pck__fax_pg_ecm = 0;
  u32 idle_ip_inactivity_ms = 0;
  u32 v25_ip_inactivity_ms = 0;
  u32 v21preamb_ip_inactivity_ms = 0;
  u32 v21_ip_inactivity_ms = 0;
  u32 vhspd_ip_inactivity_ms = 0;
  u8 fast_switch_redundancy = 0;
  u8 flag_optimize_filling_dfield = 0;
  u32 start_ip_ms = 0;
};

struct t38__report_param {
  u32 error_report_bfi = 0;
  u32 freq_error_report_ms = 0;
  u32 trace_report_bfi = 0;
  u32 trace_flush_timer = 0;
  u16 trace_flush_nb_char = 0;
  u16 max_byte_asn1_hex = 0;
  u8 detailed_packet_trace = 0;
  u16 max_byte_udptl_hex = 0;
  u16 max_byte_fax_hex = 0;
  u8 report__macro_ctrl_bfi = 0;
  u32 event_report_bfi = 0;
};

struct t38__udp_simulation {
  u8 nb_of_pck_lost = 0;
  u8 freq_pck_lost = 0;
  u32 pck_delayed_ms = 0;
  u8 nb_of_pck_delayed = 0;
  u8 freq_pck_delayed = 0;
};

struct t38iaf__data_ctrl_param {
  u16 v21_size_first_buf = 0;
  u16 v21_size_buf = 0;
  u32 transparent_first_char_delay_ms = 0;
  u32 transparent_char_delay_ms = 0;
  u32 ecm_first_char_delay_ms = 0;
  u32 ecm_char_delay_ms = 0;
  u16 flow_ctrl_thr_high = 0;
  u16 flow_ctrl_thr_low = 0;
};

// One session entry of a T38__SESSION_CNF request.
struct t38_session_entry {
  u8 kind_of_session = T38__IAF_SESSION;
  t38__addr_param addr;
  t38__ip_param ip;
  t38__t38_capabilities caps;
  t38__report_param report;
  t38__udp_simulation sim;
  t38iaf__data_ctrl_param iaf;
};

// Walks the entry's fields in record order; io is a reader or a writer with
// byte(u8&), word(u16&) and dword(u32&).
template <class IO>
void t38__visit_entry(IO& io, t38_session_entry& e) {
  io.byte(e.kind_of_session);
  io.word(e.addr.nai);
  io.byte(e.addr.remote_ip_family);
  for (u8& b : e.addr.remote_ipv4_addr) io.byte(b);
  io.word(e.addr.remote_port);
  io.byte(e.addr.sock_sapi);
  io.word(e.addr.sock_conn_id);
  io.byte(e.ip.media_transport);
  io.byte(e.ip.nb_red_ifp_pck__default);
  io.byte(e.ip.nb_red_ifp_pck__tcf);
  io.byte(e.ip.nb_red_ifp_pck__fax_pg_no_ecm);
  io.byte(e.ip.nb_red_ifp_pck__fax_pg_ecm);
  io.dword(e.ip.idle_ip_inactivity_ms);
  io.dword(e.ip.v25_ip_inactivity_ms);
  io.dword(e.ip.v21preamb_ip_inactivity_ms);
  io.dword(e.ip.v21_ip_inactivity_ms);
  io.dword(e.ip.vhspd_ip_inactivity_ms);
  io.byte(e.ip.fast_switch_redundancy);
  io.byte(e.ip.flag_optimize_filling_dfield);
  io.dword(e.ip.start_ip_ms);
  io.byte(e.caps.t38_version);
  io.word(e.caps.fax_max_bit_rate);
  io.byte(e.caps.drate_mgt_method);
  io.byte(e.caps.remove_fill_bits_t4);
  io.byte(e.caps.transcode_mmr);
  io.byte(e.caps.transcode_jbig);
  io.word(e.caps.fax_max_buffer_size);
  io.word(e.caps.max_datagram_size);
  io.byte(e.caps.udp_ec);
  io.byte(e.caps.tcp_transport_supported);
  io.word(e.caps.tcp_fax_max_bit_rate);
  io.byte(e.caps.tcp_drate_mgt_method);
  io.byte(e.caps.tcp_remove_fill_bits_t4);
  io.byte(e.caps.tcp_transcode_mmr);
  io.byte(e.caps.tcp_transcode_jbig);
  io.dword(e.report.error_report_bfi);
  io.dword(e.report.freq_error_report_ms);
  io.dword(e.report.trace_report_bfi);
  io.dword(e.report.trace_flush_timer);
  io.word(e.report.trace_flush_nb_char);
  io.word(e.report.max_byte_asn1_hex);
  io.byte(e.report.detailed_packet_trace);
  io.word(e.report.max_byte_udptl_hex);
  io.word(e.report.max_byte_fax_hex);
  io.byte(e.report.report__macro_ctrl_bfi);
  io.dword(e.report.event_report_bfi);
  io.byte(e.sim.nb_of_pck_lost);
  io.byte(e.sim.freq_pck_lost);
  io.dword(e.sim.pck_delayed_ms);
  io.byte(e.sim.nb_of_pck_delayed);
  io.byte(e.sim.freq_pck_delayed);
  if (e.kind_of_session != T38__IAF_SESSION) return;
  io.word(e.iaf.v21_size_first_buf);
  io.word(e.iaf.v21_size_buf);
  io.dword(e.iaf.transparent_first_char_delay_ms);
  io.dword(e.iaf.transparent_char_delay_ms);
  io.dword(e.iaf.ecm_first_char_delay_ms);
  io.dword(e.iaf.ecm_char_delay_ms);
  io.word(e.iaf.flow_ctrl_thr_high);
  io.word(e.iaf.flow_ctrl_thr_low);
}

// Bytes of one entry of this kind.
u32 t38__entry_size(u8 kind_of_session);
// Reads one entry from `in` (avail bytes); false when they are too few.
[[nodiscard]] bool t38__read_entry(const u8* in, u32 avail, t38_session_entry& out);
// Whole request bodies (return code, cause and entity zero).
std::vector<u8> t38__common_body(u32 ced_duration_ms);
std::vector<u8> t38__session_body(const std::vector<t38_session_entry>& entries);

// Default capabilities (body of T38__CAPABILITIES_CO after its 4 bytes).
t38__t38_capabilities t38__default_capabilities();
void t38__write_capabilities(const t38__t38_capabilities& c, u8 out[T38__CAPABILITIES_SIZE]);

// The "Good" capabilities used during a session: 2 and the adjusted record,
// or the refusing cause.
[[nodiscard]] u8 t38__clamp_capabilities(const t38__t38_capabilities& in, u8 media_transport,
                                         t38__t38_capabilities& adjusted);

// Inactivity times of 1 to 9 ms become 10 (0 means no idle packets).
u32 t38__normalise_inactivity(u32 ms);

// Simulation parameters as the receive filter uses them.
void t38__check_udp_simulation(t38__udp_simulation& sim);

}  // namespace kv::t38
