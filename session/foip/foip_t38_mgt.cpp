// T.38 session management of ENT_FOIP: the UDPTL and TPKT automata, their
// actions and the primitives they exchange with ENT_T38, ENT_SM and ENT_IP.
#include "session/foip/foip_t38_mgt.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "runtime/sock.h"
#include "runtime/sock_config.h"
#include "runtime/timer.h"
#include "session/foip/foip_ctx.h"
#include "session/foip/foip_err.h"
#include "session/trace/foip_trc.h"
#include "t38/t38_entity.h"

namespace {

using namespace kv::t38;

constexpr u8 KEEP = 254;
constexpr u8 BY_ACTION = 255;

constexpr u8 EVT_USR_ACT_RQ = T38_MGT__EVT_USR_ACT_RQ;
constexpr u8 EVT_USR_DEA_RQ = T38_MGT__EVT_USR_DEA_RQ;
constexpr u8 EVT_T38_SET_CONFIG_CO = T38_MGT__EVT_T38_SET_CONFIG_CO;
constexpr u8 EVT_SM_SET_CONFIG_CO = T38_MGT__EVT_SM_SET_CONFIG_CO;
constexpr u8 EVT_T38_ACT_CO = T38_MGT__EVT_T38_ACT_CO;
constexpr u8 EVT_T38_DEA_CO = T38_MGT__EVT_T38_DEA_CO;
constexpr u8 EVT_T38_RESET_CONFIG_CO = T38_MGT__EVT_T38_RESET_CONFIG_CO;
constexpr u8 EVT_SM_RESET_CONFIG_CO = T38_MGT__EVT_SM_RESET_CONFIG_CO;
constexpr u8 EVT_T38_DEA_IN = T38_MGT__EVT_T38_DEA_IN;
constexpr u8 EVT_T38_REPORT_IN = T38_MGT__EVT_T38_REPORT_IN;
constexpr u8 EVT_TI = T38_MGT__EVT_TI_T38_GENERAL_DELAY;
constexpr u8 EVT_SOCK_DNS_CO = T38_MGT__EVT_SOCK_DNS_CO;
constexpr u8 EVT_NEW_FAX_PG_DRATE = T38_MGT__EVT_NEW_FAX_PG_DRATE;
constexpr u8 EVT_T38__SET_PARAM_CO = T38_MGT__EVT_T38__SET_PARAM_CO;
constexpr u8 EVT_SOCK_START_LISTEN_CO = T38_MGT__EVT_SOCK_START_LISTEN_CO;
constexpr u8 EVT_SOCK_EST_CO = T38_MGT__EVT_SOCK_EST_CO;
constexpr u8 EVT_SOCK_EST_IN = T38_MGT__EVT_SOCK_EST_IN;
constexpr u8 EVT_SOCK_REL_IN = T38_MGT__EVT_SOCK_REL_IN;
constexpr u8 EVT_SOCK_REL_CO = T38_MGT__EVT_SOCK_REL_CO;

// Action routines.
enum : u8 {
  A_NONE,
  A_DEFER_STOP,
  A_REPORT_IN,
  A_SET_PARAM_CO,
  A_DNS_TIMEOUT,
  // UDP
  A_START_UDP,
  A_DNS_CO_UDP,
  A_TI_DLY_UDP,
  A_COMMON_CO_UDP,
  A_SESSION_CO_UDP,
  A_SOCKET_CO_UDP,
  A_ACT_CO_UDP,
  A_STOP_UDP,
  A_DEA_CO_UDP,
  A_DEA_IN_UDP,
  A_SOCKET_RESET_CO_UDP,
  A_DRATE_UDP,
  // TCP
  A_START_TCP,
  A_DNS_CO_TCP,
  A_TI_DLY_TCP,
  A_SOCKET_CO_TCP,
  A_LISTEN_CO_TCP,
  A_ABORT_EST_TCP,
  A_EST_TIMEOUT_TCP,
  A_EST_CO_TCP,
  A_EST_IN_TCP,
  A_COMMON_CO_TCP,
  A_SESSION_CO_TCP,
  A_REL_IN_SESSION_CNF_TCP,
  A_ACT_CO_TCP,
  A_STOP_TCP,
  A_SOCK_REL_IN_TCP,
  A_DEA_CO_TCP,
  A_DEA_IN_TCP,
  A_RELEASE_SOCKET_TCP,
  A_SOCK_REL_CO_TCP,
  A_DRATE_TCP,
};

struct acting_cell {
  u8 state, event, action, next;
};

template <u8 NS, u8 NE, size_t N>
constexpr std::array<t38_mgt__cell, NS * NE + 1> build_table(const acting_cell (&list)[N]) {
  std::array<t38_mgt__cell, NS * NE + 1> t{};
  for (auto& c : t) c = {A_NONE, KEEP};
  t[NS * NE] = {A_NONE, T38_MGT__IDLE};  // trailing cell
  for (const acting_cell& a : list) t[NS * a.event + a.state] = {a.action, a.next};
  return t;
}

// UDP (UDPTL) variant.
constexpr acting_cell kUdpCells[] = {
    {T38_MGT__IDLE, EVT_USR_ACT_RQ, A_START_UDP, BY_ACTION},
    {T38_MGT__IDLE, EVT_T38_REPORT_IN, A_REPORT_IN, KEEP},
    {T38_MGT__TI_T38_GENERAL_DELAY, EVT_USR_DEA_RQ, A_NONE, T38_MGT__IDLE},
    {T38_MGT__TI_T38_GENERAL_DELAY, EVT_TI, A_TI_DLY_UDP, BY_ACTION},
    {T38_MGT__T38_COMMON_CNF, EVT_USR_DEA_RQ, A_DEFER_STOP, KEEP},
    {T38_MGT__T38_COMMON_CNF, EVT_T38_SET_CONFIG_CO, A_COMMON_CO_UDP, BY_ACTION},
    {T38_MGT__T38_COMMON_CNF, EVT_T38_REPORT_IN, A_REPORT_IN, KEEP},
    {T38_MGT__T38_SESSION_CNF, EVT_USR_DEA_RQ, A_DEFER_STOP, KEEP},
    {T38_MGT__T38_SESSION_CNF, EVT_T38_SET_CONFIG_CO, A_SESSION_CO_UDP, BY_ACTION},
    {T38_MGT__T38_SESSION_CNF, EVT_T38_REPORT_IN, A_REPORT_IN, KEEP},
    {T38_MGT__SOCKET_CNF, EVT_USR_DEA_RQ, A_DEFER_STOP, KEEP},
    {T38_MGT__SOCKET_CNF, EVT_SM_SET_CONFIG_CO, A_SOCKET_CO_UDP, BY_ACTION},
    {T38_MGT__SOCKET_CNF, EVT_T38_REPORT_IN, A_REPORT_IN, KEEP},
    {T38_MGT__T38_SESSION_ACT__UDP, EVT_USR_DEA_RQ, A_DEFER_STOP, KEEP},
    {T38_MGT__T38_SESSION_ACT__UDP, EVT_T38_ACT_CO, A_ACT_CO_UDP, BY_ACTION},
    {T38_MGT__T38_SESSION_ACT__UDP, EVT_T38_REPORT_IN, A_REPORT_IN, KEEP},
    {T38_MGT__T38_SESSION_RUNNING__UDP, EVT_USR_DEA_RQ, A_STOP_UDP, BY_ACTION},
    {T38_MGT__T38_SESSION_RUNNING__UDP, EVT_T38_DEA_IN, A_DEA_IN_UDP, BY_ACTION},
    {T38_MGT__T38_SESSION_RUNNING__UDP, EVT_T38_REPORT_IN, A_REPORT_IN, KEEP},
    {T38_MGT__T38_SESSION_RUNNING__UDP, EVT_NEW_FAX_PG_DRATE, A_DRATE_UDP, KEEP},
    {T38_MGT__T38_SESSION_RUNNING__UDP, EVT_T38__SET_PARAM_CO, A_SET_PARAM_CO, KEEP},
    {T38_MGT__T38_SESSION_DEA__UDP, EVT_T38_DEA_CO, A_DEA_CO_UDP, BY_ACTION},
    {T38_MGT__T38_SESSION_DEA__UDP, EVT_T38_REPORT_IN, A_REPORT_IN, KEEP},
    {T38_MGT__SOCKET_RESET_CNF__UDP, EVT_SM_RESET_CONFIG_CO, A_SOCKET_RESET_CO_UDP, BY_ACTION},
    {T38_MGT__SOCKET_RESET_CNF__UDP, EVT_T38_REPORT_IN, A_REPORT_IN, KEEP},
    {T38_MGT__T38_SESSION_RESET_CNF__UDP, EVT_T38_RESET_CONFIG_CO, A_NONE, T38_MGT__IDLE},
    {T38_MGT__T38_SESSION_RESET_CNF__UDP, EVT_T38_REPORT_IN, A_REPORT_IN, KEEP},
    {T38_MGT__WAIT_DNS_CO_UDP, EVT_USR_DEA_RQ, A_NONE, T38_MGT__IDLE},
    {T38_MGT__WAIT_DNS_CO_UDP, EVT_SOCK_DNS_CO, A_DNS_CO_UDP, BY_ACTION},
    {T38_MGT__WAIT_DNS_CO_UDP, EVT_TI, A_DNS_TIMEOUT, BY_ACTION},
};
constexpr auto kUdpTable = build_table<T38_MGT__UDP_NB_STATES, 14>(kUdpCells);
static_assert(kUdpTable.size() == T38_MGT__UDP_NB_CELLS);

// TCP (TPKT) variant.
constexpr acting_cell kTcpCells[] = {
    {T38_MGT__IDLE, EVT_USR_ACT_RQ, A_START_TCP, BY_ACTION},
    {T38_MGT__IDLE, EVT_T38_REPORT_IN, A_REPORT_IN, KEEP},
    {T38_MGT__TI_T38_GENERAL_DELAY, EVT_USR_DEA_RQ, A_NONE, T38_MGT__IDLE},
    {T38_MGT__TI_T38_GENERAL_DELAY, EVT_TI, A_TI_DLY_TCP, BY_ACTION},
    {T38_MGT__T38_COMMON_CNF, EVT_USR_DEA_RQ, A_DEFER_STOP, KEEP},
    {T38_MGT__T38_COMMON_CNF, EVT_T38_SET_CONFIG_CO, A_COMMON_CO_TCP, BY_ACTION},
    {T38_MGT__T38_COMMON_CNF, EVT_T38_REPORT_IN, A_REPORT_IN, KEEP},
    {T38_MGT__T38_COMMON_CNF, EVT_SOCK_REL_IN, A_RELEASE_SOCKET_TCP, BY_ACTION},
    {T38_MGT__T38_SESSION_CNF, EVT_USR_DEA_RQ, A_DEFER_STOP, KEEP},
    {T38_MGT__T38_SESSION_CNF, EVT_T38_SET_CONFIG_CO, A_SESSION_CO_TCP, BY_ACTION},
    {T38_MGT__T38_SESSION_CNF, EVT_T38_REPORT_IN, A_REPORT_IN, KEEP},
    {T38_MGT__T38_SESSION_CNF, EVT_SOCK_REL_IN, A_REL_IN_SESSION_CNF_TCP, BY_ACTION},
    {T38_MGT__SOCKET_CNF, EVT_USR_DEA_RQ, A_DEFER_STOP, KEEP},
    {T38_MGT__SOCKET_CNF, EVT_SM_SET_CONFIG_CO, A_SOCKET_CO_TCP, BY_ACTION},
    {T38_MGT__SOCKET_CNF, EVT_T38_REPORT_IN, A_REPORT_IN, KEEP},
    {T38_MGT__WAIT_START_LISTEN_CO__TCP, EVT_USR_DEA_RQ, A_DEFER_STOP, KEEP},
    {T38_MGT__WAIT_START_LISTEN_CO__TCP, EVT_T38_REPORT_IN, A_REPORT_IN, KEEP},
    {T38_MGT__WAIT_START_LISTEN_CO__TCP, EVT_SOCK_START_LISTEN_CO, A_LISTEN_CO_TCP, BY_ACTION},
    {T38_MGT__WAIT_ESTABLISHMENT__TCP, EVT_USR_DEA_RQ, A_ABORT_EST_TCP, BY_ACTION},
    {T38_MGT__WAIT_ESTABLISHMENT__TCP, EVT_T38_REPORT_IN, A_REPORT_IN, KEEP},
    {T38_MGT__WAIT_ESTABLISHMENT__TCP, EVT_TI, A_EST_TIMEOUT_TCP, BY_ACTION},
    {T38_MGT__WAIT_ESTABLISHMENT__TCP, EVT_SOCK_EST_CO, A_EST_CO_TCP, BY_ACTION},
    {T38_MGT__WAIT_ESTABLISHMENT__TCP, EVT_SOCK_EST_IN, A_EST_IN_TCP, BY_ACTION},
    {T38_MGT__T38_SESSION_ACT__TCP, EVT_USR_DEA_RQ, A_DEFER_STOP, KEEP},
    {T38_MGT__T38_SESSION_ACT__TCP, EVT_T38_ACT_CO, A_ACT_CO_TCP, BY_ACTION},
    {T38_MGT__T38_SESSION_ACT__TCP, EVT_T38_REPORT_IN, A_REPORT_IN, KEEP},
    {T38_MGT__T38_SESSION_ACT__TCP, EVT_SOCK_REL_IN, A_STOP_TCP, BY_ACTION},
    {T38_MGT__T38_SESSION_RUNNING__TCP, EVT_USR_DEA_RQ, A_STOP_TCP, BY_ACTION},
    {T38_MGT__T38_SESSION_RUNNING__TCP, EVT_T38_DEA_IN, A_DEA_IN_TCP, BY_ACTION},
    {T38_MGT__T38_SESSION_RUNNING__TCP, EVT_T38_REPORT_IN, A_REPORT_IN, KEEP},
    {T38_MGT__T38_SESSION_RUNNING__TCP, EVT_NEW_FAX_PG_DRATE, A_DRATE_TCP, KEEP},
    {T38_MGT__T38_SESSION_RUNNING__TCP, EVT_T38__SET_PARAM_CO, A_SET_PARAM_CO, KEEP},
    {T38_MGT__T38_SESSION_RUNNING__TCP, EVT_SOCK_REL_IN, A_SOCK_REL_IN_TCP, BY_ACTION},
    {T38_MGT__T38_SESSION_DEA__TCP, EVT_T38_DEA_CO, A_DEA_CO_TCP, BY_ACTION},
    {T38_MGT__T38_SESSION_DEA__TCP, EVT_T38_REPORT_IN, A_REPORT_IN, KEEP},
    {T38_MGT__T38_SESSION_RESET_CNF__TCP, EVT_T38_RESET_CONFIG_CO, A_RELEASE_SOCKET_TCP, BY_ACTION},
    {T38_MGT__T38_SESSION_RESET_CNF__TCP, EVT_T38_REPORT_IN, A_REPORT_IN, KEEP},
    {T38_MGT__WAIT_REL_CO__TCP, EVT_T38_REPORT_IN, A_REPORT_IN, KEEP},
    {T38_MGT__WAIT_REL_CO__TCP, EVT_SOCK_REL_CO, A_SOCK_REL_CO_TCP, BY_ACTION},
    {T38_MGT__SOCKET_RESET_CNF__TCP, EVT_SM_RESET_CONFIG_CO, A_NONE, T38_MGT__IDLE},
    {T38_MGT__SOCKET_RESET_CNF__TCP, EVT_T38_REPORT_IN, A_REPORT_IN, KEEP},
    {T38_MGT__WAIT_DNS_CO_TCP, EVT_USR_DEA_RQ, A_NONE, T38_MGT__IDLE},
    {T38_MGT__WAIT_DNS_CO_TCP, EVT_SOCK_DNS_CO, A_DNS_CO_TCP, BY_ACTION},
    {T38_MGT__WAIT_DNS_CO_TCP, EVT_TI, A_DNS_TIMEOUT, BY_ACTION},
};
constexpr auto kTcpTable = build_table<T38_MGT__TCP_NB_STATES, 19>(kTcpCells);
static_assert(kTcpTable.size() == T38_MGT__TCP_NB_CELLS);

constexpr const char* kEventNames[] = {
    "EVT_USR_ACT_RQ",       "EVT_USR_DEA_RQ",        "EVT_T38_SET_CONFIG_CO",    "EVT_SM_SET_CONFIG_CO",
    "EVT_T38_ACT_CO",       "EVT_T38_DEA_CO",        "EVT_T38_RESET_CONFIG_CO",  "EVT_SM_RESET_CONFIG_CO",
    "EVT_T38_DEA_IN",       "EVT_T38_REPORT_IN",     "EVT_TI_T38_GENERAL_DELAY", "EVT_SOCK_DNS_CO",
    "EVT_NEW_FAX_PG_DRATE", "EVT_T38__SET_PARAM_CO", "EVT_SOCK_START_LISTEN_CO", "EVT_SOCK_EST_CO",
    "EVT_SOCK_EST_IN",      "EVT_SOCK_REL_IN",       "EVT_SOCK_REL_CO",
};
constexpr const char* kUdpStateNames[] = {
    "IDLE",
    "TI_T38_GENERAL_DELAY",
    "T38_COMMON_CNF",
    "T38_SESSION_CNF",
    "SOCKET_CNF",
    "T38_SESSION_ACT__UDP",
    "T38_SESSION_RUNNING__UDP",
    "T38_SESSION_DEA__UDP",
    "SOCKET_RESET_CNF__UDP",
    "T38_SESSION_RESET_CNF__UDP",
    "WAIT_DNS_CO_UDP",
};
constexpr const char* kTcpStateNames[] = {
    "IDLE",
    "TI_T38_GENERAL_DELAY",
    "T38_COMMON_CNF",
    "T38_SESSION_CNF",
    "SOCKET_CNF",
    "WAIT_START_LISTEN_CO__TCP",
    "WAIT_ESTABLISHMENT__TCP",
    "T38_SESSION_ACT__TCP",
    "T38_SESSION_RUNNING__TCP",
    "T38_SESSION_DEA__TCP",
    "T38_SESSION_RESET_CNF__TCP",
    "WAIT_REL_CO__TCP",
    "SOCKET_RESET_CNF__TCP",
    "WAIT_DNS_CO_UDP",
};

// Redundancy by the remote max_datagram_size.
struct redundancy_row {
  u16 below;  // rows apply to sizes below this bound
  u8 dflt, tcf, pg_no_ecm, pg_ecm, fast_switch;
};
constexpr redundancy_row kRedundancy[] = {
    {40, 1, 0, 0, 0, 1},
    {100, 4, 2, 1, 1, 1},
    {200, 4, 3, 2, 1, 1},
    {0xFFFF, 4, 3, 2, 2, 0},
};

// ---------------------------------------------------------------------------
// Records.

struct t38_mgt__glb_ctx {
  u8 common_configured = 0;
  std::vector<std::unique_ptr<t38_mgt__ctx>> ctx;
} g;

bool is_udp(const t38_mgt__ctx& c) { return c.transport == 1; }

// ---------------------------------------------------------------------------
// Sending.

// The handler's message with its data cleared, or a new one.
msg_t* out_msg(bool fresh) {
  msg_t* m = fresh ? nullptr : foip__take_current_msg();
  if (m) {
    if (m->p_buffer) Free_buffer(m->p_buffer);
    m->p_buffer = nullptr;
    m->chain_size = 0;
    m->data_offset = MSG_HEADER_SIZE;
    m->data_size = 0;
  }
  return m;
}

[[nodiscard]] u8 send(const foip__na_ctx* s, ent_id_t to, code_t code, u8 sapi, u16 conn_id, const u8* body, u32 n,
                      const char* who, bool fresh = false, ent_id_t sm_target = 0) {
  msg_t* m = out_msg(fresh);
  buffer_t* b = nullptr;
  u8* d = nullptr;
  if (n == 0) {
    if (!m) m = Alloc_msg();
  } else {
    Alloc_msg_data(&m, &b, n, &d);
    if (!d) {
      // Alloc_msg_data freed only what it allocated itself.
      if (m) Free_msg(m);
      m = nullptr;
    }
  }
  if (!m) {
    char text[120];
    (void)std::snprintf(text, sizeof text, "FOIP: (%s) Can't allocate Msg/buffer", who);
    Foip__trap(s->nai, FOIP__CONN_NONE, FOIP__TRAP_CLASS, FOIP__TRAP__ERR_ALLOC_MSG_BUFFER,
               "FOIP__TRAP__ERR_ALLOC_MSG_BUFFER", text);
    return 3;
  }
  if (n) std::memcpy(d, body, n);
  m->from = ENT_FOIP;
  m->to = to;
  m->nai = s->nai;
  m->sapi = sapi;
  m->conn_id = conn_id;
  m->code = code;
  if (sm_target) Sm_set_target(m, sm_target);
  Send_msg(m);
  return 2;
}

// "request -> state": sent -> next, else IDLE.
void go(t38_mgt__ctx& c, u8 sent, u8 next) { c.state = sent == 2 ? next : u8{T38_MGT__IDLE}; }

u8 send_t38_set_config_rq__common(const foip__na_ctx* s) {
  // Common template: ced_duration_ms 3300.
  const std::vector<u8> body = t38__common_body(3300);
  return send(s, ENT_T38, T38__SET_CONFIG_RQ, 0xFF, 0x00FF, body.data(), static_cast<u32>(body.size()),
              "msg__send_t38_set_config_rq__common");
}

constexpr u32 kPageDataDelayMs = 40;

t38_session_entry session_template() {
  t38_session_entry e;
  e.ip.idle_ip_inactivity_ms = 2000;
  e.ip.v25_ip_inactivity_ms = 500;
  e.ip.v21preamb_ip_inactivity_ms = 300;
  e.ip.vhspd_ip_inactivity_ms = 200;
  e.ip.start_ip_ms = 0;
  e.report.error_report_bfi = 511;
  e.report.freq_error_report_ms = 500;
  e.report.trace_flush_timer = 500;
  e.report.trace_flush_nb_char = 1500;
  e.report.report__macro_ctrl_bfi = 1;
  // IAF data control: sizes and delays the IAF service works with.  The
  // page-data delays give the bytes of one packet (rate / 100 x delay / 80):
  // 40 ms of data, 72 bytes at 14400 bit/s.  A delay of 0 would send the
  // page one byte per packet, each waiting for the IAF polling timer.
  e.iaf.v21_size_first_buf = 3;
  e.iaf.v21_size_buf = 3;
  e.iaf.transparent_first_char_delay_ms = kPageDataDelayMs;
  e.iaf.transparent_char_delay_ms = kPageDataDelayMs;
  e.iaf.ecm_first_char_delay_ms = kPageDataDelayMs;
  e.iaf.ecm_char_delay_ms = kPageDataDelayMs;
  e.iaf.flow_ctrl_thr_high = 8;
  e.iaf.flow_ctrl_thr_low = 4;
  return e;
}

}  // namespace

// The session entry of T38__SET_CONFIG_RQ (T38__SESSION_CNF).
t38_session_entry t38_mgt__session_entry(const foip__na_ctx* s, const t38_mgt__ctx& c) {
  t38_session_entry e = session_template();
  e.kind_of_session = s->kind_of_session ? s->kind_of_session : T38__IAF_SESSION;
  e.addr.nai = s->nai;
  e.addr.remote_ip_family = c.remote.addr_kind;
  std::memcpy(e.addr.remote_ipv4_addr, c.remote.ipv4, 4);
  e.addr.remote_port = c.remote.port;
  e.addr.sock_sapi = c.transport;
  e.addr.sock_conn_id = c.sock_conn_id;
  e.ip.media_transport = static_cast<u8>(is_udp(c) ? T38__MEDIA_UDPTL : T38__MEDIA_TPKT);
  if (is_udp(c)) {
    e.caps = c.remote.udp_caps;
  } else {
    const t38__t38_capabilities& r = c.remote.tcp_caps;
    e.caps.t38_version = r.t38_version;
    e.caps.fax_max_bit_rate = r.fax_max_bit_rate;
    e.caps.drate_mgt_method = r.drate_mgt_method;
    e.caps.remove_fill_bits_t4 = r.remove_fill_bits_t4;
    e.caps.transcode_mmr = r.transcode_mmr;
    e.caps.transcode_jbig = r.transcode_jbig;
  }
  for (const redundancy_row& row : kRedundancy) {
    if (e.caps.max_datagram_size < row.below || row.below == 0xFFFF) {
      e.ip.nb_red_ifp_pck__default = row.dflt;
      e.ip.nb_red_ifp_pck__tcf = row.tcf;
      e.ip.nb_red_ifp_pck__fax_pg_no_ecm = row.pg_no_ecm;
      e.ip.nb_red_ifp_pck__fax_pg_ecm = row.pg_ecm;
      e.ip.fast_switch_redundancy = row.fast_switch;
      break;
    }
  }
  e.ip.v21_ip_inactivity_ms = 100;
  e.ip.flag_optimize_filling_dfield = s->param.trc_param.t38_trc.flag_kept_dfield_organization == 1 ? 0 : 1;
  const foip__trc_t38& t = s->param.trc_param.t38_trc;
  e.report.trace_report_bfi = t.t38_trc_bfi;
  e.report.max_byte_asn1_hex = t.max_byte_asn1_hex;
  e.report.detailed_packet_trace = t.flag_full_t38_pck_dsp;
  e.report.max_byte_udptl_hex = t.max_byte_t38_pck_hex;
  e.report.max_byte_fax_hex = t.max_byte_fax_hex;
  e.report.event_report_bfi = s->param.trc_param.event.t38_event_bfi;
  return e;
}

// The socket entry of SM_CONFIG_RQ.
sock_config_entry t38_mgt__socket_entry(const foip__na_ctx* s, const t38_mgt__ctx& c) {
  sock_config_entry e;
  e.state = 's';
  e.receive_size = 1500;
  e.rcvbuf_size = 40000;
  e.retry_delay_ms = 100;
  e.retry_limit = 5;
  e.tcp_backlog = 1;
  e.sapi = c.transport;
  e.kind = c.transport;
  e.nai = s->nai;
  e.conn_id = c.sock_conn_id;
  const om_ip_addr_t& local = s->param.t38_media_add_param.local_media_add.local_media_ip_addr.ip_addr;
  if (local.ip_family == OM_IP_FAMILY_V4) {
    e.address_count = 1;
    e.bind_address = 1;
    std::memcpy(e.address, local.addr.v4.addr, 4);
  }
  e.port = is_udp(c) ? s->udptl_port : s->tpkt_port;
  if (!is_udp(c)) e.tcp_listen = c.direction == 'I' ? 1 : 0;
  e.control_entity = ENT_FOIP;
  e.data_entity = ENT_T38;
  return e;
}

namespace {

u8 send_t38_set_config_rq__session(const foip__na_ctx* s, const t38_mgt__ctx& c) {
  const std::vector<u8> body = t38__session_body({t38_mgt__session_entry(s, c)});
  return send(s, ENT_T38, T38__SET_CONFIG_RQ, 0xFF, 0x00FF, body.data(), static_cast<u32>(body.size()),
              "msg__send_t38_set_config_rq__session");
}
u8 send_sm_set_config_rq_to_socket(const foip__na_ctx* s, const t38_mgt__ctx& c) {
  std::vector<u8> body = sock_config_body(0, {t38_mgt__socket_entry(s, c)});
  body[0] = ENT_IP;
  return send(s, ENT_SM, SM_CONFIG_RQ, 0xFF, 0x00FF, body.data(), static_cast<u32>(body.size()),
              "msg__send_sm_set_config_rq_to_socket", false, ENT_IP);
}
u8 send_t38_act_rq(const foip__na_ctx* s) {
  const u8 body[3] = {};
  return send(s, ENT_T38, T38__ACT_RQ, 'M', 0xFFFF, body, 3, "msg__send_t38_act_rq");
}
u8 send_t38_dea_rq(const foip__na_ctx* s, bool fresh = false) {
  const u8 body[T38__DEA_IN_SIZE] = {};
  return send(s, ENT_T38, T38__DEA_RQ, 'M', 0xFFFF, body, T38__DEA_IN_SIZE, "msg__send_t38_dea_rq", fresh);
}
u8 send_t38_reset_config_rq(const foip__na_ctx* s) {
  const u8 body[3] = {};
  return send(s, ENT_T38, T38__RESET_CONFIG_RQ, 0xFF, 0x00FF, body, 3, "msg__send_t38_reset_config_rq");
}
u8 send_sm_reset_config_rq(const foip__na_ctx* s, const t38_mgt__ctx& c) {
  u8 body[SOCK_KEY_BODY_SIZE];
  sock_key_body_pack(c.transport, s->nai, 0, body);
  body[0] = ENT_IP;
  return send(s, ENT_SM, SM_RST_CFG_RQ, c.transport, 0, body, sizeof body, "msg__send_sm_reset_config_rq", false,
              ENT_IP);
}
u8 send_sock_dns_rq(const foip__na_ctx* s, const t38_mgt__ctx& c) {
  u8 body[4 + sizeof c.remote.host] = {};
  const u32 tag = s->nai;
  std::memcpy(body, &tag, 4);
  const size_t len = strnlen(c.remote.host, sizeof c.remote.host - 1);
  std::memcpy(body + 4, c.remote.host, len);
  return send(s, ENT_IP, SOCK_DNS_RQ, c.transport, c.sock_conn_id, body, static_cast<u32>(4 + len + 1),
              "msg__send_sock_dns_rq");
}
u8 send_sock_listen_rq(const foip__na_ctx* s, const t38_mgt__ctx& c) {
  return send(s, ENT_IP, SOCK_LISTEN_RQ, c.transport, c.sock_conn_id, nullptr, 0, "start_socket_tcp");
}
u8 send_sock_est_rq(const foip__na_ctx* s, const t38_mgt__ctx& c) {
  u8 body[SOCK_ADDR_BLOCK_SIZE] = {};
  body[0] = c.remote.addr_kind;
  std::memcpy(body + 4, c.remote.ipv4, 4);
  std::memcpy(body + 8, &c.remote.port, 2);
  return send(s, ENT_IP, SOCK_EST_RQ, c.transport, c.sock_conn_id, body, sizeof body, "msg__send_sock_est_rq");
}
u8 send_sock_rel_rq(const foip__na_ctx* s, const t38_mgt__ctx& c) {
  const u8 body[2] = {};
  return send(s, ENT_IP, SOCK_REL_RQ, c.transport, c.sock_conn_id, body, 2, "msg__send_sock_rel_rq");
}
u8 send_t38_set_param_rq(const foip__na_ctx* s, u32 rate) {
  u8 body[12] = {0, 0, 0, 1};
  std::memcpy(body + 4, &rate, 4);
  return send(s, ENT_T38, T38__SET_PARAM_RQ, 'M', 0, body, sizeof body, "msg__send_t38_set_param_rq", true);
}

// ---------------------------------------------------------------------------
// Confirm checks.

const u8* cur_data(u32 need) {
  const msg_t* m = foip__current_msg();
  if (!m || Msg_total_size(m) < need || Msg_data_size(m) < need) return nullptr;
  return Msg_data(m);
}

void record_error(foip__na_ctx* s, t38_mgt__ctx& c, u8 source, u8 code, const char* what, bool box = true,
                  const char* head = "Error reported thru") {
  c.error = 1;
  c.error_source = source;
  c.error_code = code;
  if (!box) return;
  const char* st = "";
  const char* ct = "";
  foip_err__start_error_text(source, code, &st, &ct);
  char text[498];
  (void)std::snprintf(text, sizeof text, "%s %s (nai = %d)\n   error source = (%d) %s\n   error code   = (%d) %s\n",
                      head, what, s->nai, source, st ? st : "", code, ct ? ct : "");
  foip_trc__error_box(text, s->nai);
}

// Status byte 2 = success; else the cause byte is recorded.
u8 check_status(foip__na_ctx* s, t38_mgt__ctx& c, u8 source, const char* what) {
  const u8* d = cur_data(2);
  if (d && d[0] == 2) return 2;
  record_error(s, c, source, d ? d[1] : 0, what);
  return 3;
}

// The status checks of the confirms, each with the start error source it
// records on a refusal.
u8 msg__check_t38_set_config_co__session(foip__na_ctx* s, t38_mgt__ctx& c) {
  return check_status(s, c, FOIP__START_ERR_SRC__T38_SESSION_CONFIG, "T38__SET_CONFIG_CO");
}
u8 msg__check_sm_set_config_co(foip__na_ctx* s, t38_mgt__ctx& c) {
  return check_status(s, c, FOIP__START_ERR_SRC__SOCKET_CONFIG, "SM_SET_CONFIG_CO");
}
u8 msg__check_t38_act_co(foip__na_ctx* s, t38_mgt__ctx& c) {
  return check_status(s, c, FOIP__START_ERR_SRC__T38_ACTIVATE, "T38__ACT_CO");
}
u8 msg__check_sock_start_listen_co(foip__na_ctx* s, t38_mgt__ctx& c) {
  return check_status(s, c, FOIP__START_ERR_SRC__SOCKET_LISTEN, "SOCK_START_LISTEN_CO");
}
u8 msg__check_sock_est_co(foip__na_ctx* s, t38_mgt__ctx& c) {
  return check_status(s, c, FOIP__START_ERR_SRC__SOCKET_EST_CO, "SOCK_EST_CO");
}

u8 msg__check_t38_set_config_co__common(foip__na_ctx* s, t38_mgt__ctx& c) {
  const u8* d = cur_data(4);
  if (!d || d[3] != T38__COMMON_CNF) {
    Foip__trap(s->nai, FOIP__CONN_NONE, FOIP__TRAP_CLASS, FOIP__TRAP__ERR_NOT_COMMON_T38_CONFIG_CO,
               "FOIP__TRAP__ERR_NOT_COMMON_T38_CONFIG_CO",
               "FOIP: (msg__check_t38_set_config_co__common) Not T38__SET_CONFIG_CO (T38__COMMON_CNF)");
    return 3;
  }
  if (d[0] == 2) return 2;
  record_error(s, c, FOIP__START_ERR_SRC__T38_COMMON_CONFIG, d[1], "T38__SET_CONFIG_CO");
  g.common_configured = 0;
  c.state = T38_MGT__IDLE;
  return 3;
}

// SOCK_EST_IN: the peer's negotiated IPv4 address, from any source port.
u8 msg__check_sock_est_in(foip__na_ctx* s, t38_mgt__ctx& c) {
  const u8* d = cur_data(SOCK_ADDR_BLOCK_SIZE);
  if (d && c.remote.addr_kind == SOCK_FAMILY_IPV4 && d[0] == SOCK_FAMILY_IPV4 &&
      std::memcmp(d + 4, c.remote.ipv4, 4) == 0)
    return 2;
  record_error(s, c, FOIP__START_ERR_SRC__SOCKET_EST_IN, 1, "SOCK_EST_IN");
  return 3;
}

u8 msg__check_sock_dns_co(foip__na_ctx* s, t38_mgt__ctx& c) {
  const u8* d = cur_data(8);
  if (!d || d[4] != 2) {
    record_error(s, c, FOIP__START_ERR_SRC__DNS_REQUEST, d ? d[5] : 0, "SOCK_DNS_CO");
    return 3;
  }
  const u8 count = d[7];
  if (count != 0 && cur_data(8 + 12)) {
    if (d[8] == SOCK_FAMILY_IPV4) {
      c.remote.addr_kind = SOCK_FAMILY_IPV4;
      std::memcpy(c.remote.ipv4, d + 12, 4);
    } else {
      c.remote.addr_kind = SOCK_FAMILY_OTHER;
    }
  }
  if (c.remote.addr_kind == SOCK_FAMILY_OTHER) {
    record_error(s, c, FOIP__START_ERR_SRC__DNS_REQUEST, 3, "SOCK_DNS_CO", false);
    return 3;
  }
  return 2;
}

// ---------------------------------------------------------------------------
// Shared routines.

void start_t38_timer(foip__na_ctx* s, u32 ms) {
  s->t38_delay_ms = ms;
  foip__start_t38_delay_timer(s);
}
void stop_t38_timer(foip__na_ctx* s) {
  if (s->ti_t38.cell) Timer_stop(s->ti_t38.cell);
  s->ti_t38.armed = false;
}

void configure_t38(foip__na_ctx* s, t38_mgt__ctx& c) {
  if (!g.common_configured) {
    const u8 r = send_t38_set_config_rq__common(s);
    if (r == 2) g.common_configured = 1;
    go(c, r, T38_MGT__T38_COMMON_CNF);
  } else {
    go(c, send_t38_set_config_rq__session(s, c), T38_MGT__T38_SESSION_CNF);
  }
}

void defer_stop(t38_mgt__ctx& c) { c.stop_requested = 1; }

bool take_stop(t38_mgt__ctx& c) {
  if (!c.stop_requested) return false;
  c.stop_requested = 0;
  return true;
}

void start_dns(foip__na_ctx* s, t38_mgt__ctx& c, const char* who, u8 wait_state) {
  if (c.remote.host[0] == '\0') {
    char text[100];
    (void)std::snprintf(text, sizeof text, "FOIP: (%s) IP remote media not set", who);
    Foip__trap(s->nai, FOIP__CONN_NONE, FOIP__TRAP_CLASS, FOIP__TRAP__REMOTE_ADDR_NOT_SET,
               "FOIP__TRAP__REMOTE_ADDR_NOT_SET", text);
    c.state = T38_MGT__IDLE;
    return;
  }
  if (send_sock_dns_rq(s, c) != 2) {
    record_error(s, c, FOIP__START_ERR_SRC__DNS_REQUEST, T38_MGT__DNS_ERR__NOT_SENT, "SOCK_DNS_RQ", false);
    c.state = T38_MGT__IDLE;
    return;
  }
  start_t38_timer(s, T38_MGT__DNS_WDOG_MS);
  c.state = wait_state;
}

// UDP.
void start_t38_config__udp(foip__na_ctx* s, t38_mgt__ctx& c) {
  if (c.start_delay_ms != 0) {
    start_t38_timer(s, c.start_delay_ms);
    c.state = T38_MGT__TI_T38_GENERAL_DELAY;
  } else {
    configure_t38(s, c);
  }
}

// TCP.
void start_socket_cnf__tcp(foip__na_ctx* s, t38_mgt__ctx& c) {
  if (c.direction == 'O' && c.start_delay_ms != 0) {
    start_t38_timer(s, c.start_delay_ms);
    c.state = T38_MGT__TI_T38_GENERAL_DELAY;
  } else {
    go(c, send_sm_set_config_rq_to_socket(s, c), T38_MGT__SOCKET_CNF);
  }
}
void abort_establishment__tcp(foip__na_ctx* s, t38_mgt__ctx& c) {
  if (c.direction != 'O') go(c, send_sm_reset_config_rq(s, c), T38_MGT__SOCKET_RESET_CNF__TCP);
  else go(c, send_sock_rel_rq(s, c), T38_MGT__WAIT_REL_CO__TCP);
}
void release_socket__tcp(foip__na_ctx* s, t38_mgt__ctx& c) {
  if (c.sock_established != 1) go(c, send_sm_reset_config_rq(s, c), T38_MGT__SOCKET_RESET_CNF__TCP);
  else go(c, send_sock_rel_rq(s, c), T38_MGT__WAIT_REL_CO__TCP);
}

void run_action(u8 action, foip__na_ctx* s, t38_mgt__ctx& c) {
  switch (action) {
    case A_NONE: break;
    case A_DEFER_STOP: defer_stop(c); break;
    case A_REPORT_IN: process_t38_report_in(s, c); break;
    case A_SET_PARAM_CO: {
      const u8* d = cur_data(1);
      if (!d || d[0] != 2)
        Foip__trap(s->nai, FOIP__CONN_NONE, FOIP__TRAP_CLASS, FOIP__TRAP__ERR_T38__SET_PARAM_CO,
                   "FOIP__TRAP__ERR_T38__SET_PARAM_CO",
                   "FOIP: (msg__check_t38_set_param_co) T38__SET_PARAM_CO (NOK) received");
      break;
    }
    case A_DNS_TIMEOUT:
      record_error(s, c, FOIP__START_ERR_SRC__DNS_REQUEST, T38_MGT__DNS_ERR__NO_ANSWER, "SOCK_DNS_CO");
      c.state = T38_MGT__IDLE;
      break;

    // UDP ------------------------------------------------------------------
    case A_START_UDP:
      c.p_stats = nullptr;
      c.p_result = nullptr;
      c.stop_requested = 0;
      if (c.remote.addr_kind != SOCK_FAMILY_OTHER) start_t38_config__udp(s, c);
      else start_dns(s, c, "start_session_udp", T38_MGT__WAIT_DNS_CO_UDP);
      break;
    case A_DNS_CO_UDP:
      stop_t38_timer(s);
      if (msg__check_sock_dns_co(s, c) == 2) start_t38_config__udp(s, c);
      else c.state = T38_MGT__IDLE;
      break;
    case A_TI_DLY_UDP: configure_t38(s, c); break;
    case A_COMMON_CO_UDP:
      if (msg__check_t38_set_config_co__common(s, c) != 2 || take_stop(c)) c.state = T38_MGT__IDLE;
      else go(c, send_t38_set_config_rq__session(s, c), T38_MGT__T38_SESSION_CNF);
      break;
    case A_SESSION_CO_UDP:
      if (msg__check_t38_set_config_co__session(s, c) != 2) c.state = T38_MGT__IDLE;
      else if (take_stop(c)) go(c, send_t38_reset_config_rq(s), T38_MGT__T38_SESSION_RESET_CNF__UDP);
      else go(c, send_sm_set_config_rq_to_socket(s, c), T38_MGT__SOCKET_CNF);
      break;
    case A_SOCKET_CO_UDP:
      if (msg__check_sm_set_config_co(s, c) != 2)
        go(c, send_t38_reset_config_rq(s), T38_MGT__T38_SESSION_RESET_CNF__UDP);
      else if (take_stop(c)) go(c, send_sm_reset_config_rq(s, c), T38_MGT__SOCKET_RESET_CNF__UDP);
      else go(c, send_t38_act_rq(s), T38_MGT__T38_SESSION_ACT__UDP);
      break;
    case A_ACT_CO_UDP:
      if (msg__check_t38_act_co(s, c) != 2) {
        c.p_stats = nullptr;
        go(c, send_sm_reset_config_rq(s, c), T38_MGT__SOCKET_RESET_CNF__UDP);
      } else if (take_stop(c)) {
        go(c, send_t38_dea_rq(s), T38_MGT__T38_SESSION_DEA__UDP);
      } else {
        c.state = T38_MGT__T38_SESSION_RUNNING__UDP;
        foip__send_mgt(FOIP_MGT__T38_OPENED, s->nai, 2, 0, 0, 0);
      }
      break;
    case A_STOP_UDP: go(c, send_t38_dea_rq(s), T38_MGT__T38_SESSION_DEA__UDP); break;
    case A_DEA_CO_UDP:
      msg__process_t38_dea_co(s, c);
      go(c, send_sm_reset_config_rq(s, c), T38_MGT__SOCKET_RESET_CNF__UDP);
      break;
    case A_DEA_IN_UDP:
      msg__process_t38_dea_in(s, c);
      go(c, send_sm_reset_config_rq(s, c), T38_MGT__SOCKET_RESET_CNF__UDP);
      break;
    case A_SOCKET_RESET_CO_UDP: go(c, send_t38_reset_config_rq(s), T38_MGT__T38_SESSION_RESET_CNF__UDP); break;
    case A_DRATE_UDP:
      (void)send_t38_set_param_rq(s, s->param.session_general_param.t38iaf_enh.udp_ip_data_rate_bps);
      break;

    // TCP ------------------------------------------------------------------
    case A_START_TCP:
      c.stop_requested = 0;
      c.sock_established = 0;
      c.p_stats = nullptr;
      c.p_result = nullptr;
      if (c.remote.addr_kind != SOCK_FAMILY_OTHER) start_socket_cnf__tcp(s, c);
      else start_dns(s, c, "start_session_tcp", T38_MGT__WAIT_DNS_CO_TCP);
      break;
    case A_DNS_CO_TCP:
      stop_t38_timer(s);
      if (msg__check_sock_dns_co(s, c) == 2) start_socket_cnf__tcp(s, c);
      else c.state = T38_MGT__IDLE;
      break;
    case A_TI_DLY_TCP: go(c, send_sm_set_config_rq_to_socket(s, c), T38_MGT__SOCKET_CNF); break;
    case A_SOCKET_CO_TCP:
      // Each failed step ends in IDLE.
      // NOLINTNEXTLINE(bugprone-branch-clone)
      if (msg__check_sm_set_config_co(s, c) != 2) {
        c.state = T38_MGT__IDLE;
      } else if (take_stop(c)) {
        go(c, send_sm_reset_config_rq(s, c), T38_MGT__SOCKET_RESET_CNF__TCP);
      } else if (c.direction != 'O') {
        go(c, send_sock_listen_rq(s, c), T38_MGT__WAIT_START_LISTEN_CO__TCP);
      } else if (send_sock_est_rq(s, c) != 2) {
        c.state = T38_MGT__IDLE;
      } else {
        c.state = T38_MGT__WAIT_ESTABLISHMENT__TCP;
        start_t38_timer(s, FOIP__WDOG_TCP_CONNECT);
      }
      break;
    case A_LISTEN_CO_TCP:
      if (msg__check_sock_start_listen_co(s, c) != 2 || take_stop(c)) {
        go(c, send_sm_reset_config_rq(s, c), T38_MGT__SOCKET_RESET_CNF__TCP);
      } else {
        start_t38_timer(s, FOIP__WDOG_TCP_CONNECT);
        c.state = T38_MGT__WAIT_ESTABLISHMENT__TCP;
      }
      break;
    case A_ABORT_EST_TCP:
      stop_t38_timer(s);
      abort_establishment__tcp(s, c);
      break;
    case A_EST_TIMEOUT_TCP:
      record_error(s, c, FOIP__START_ERR_SRC__TCP_CONNECT_FAILURE, 1, "", true,
                   "Error during TCP connection establishment");
      abort_establishment__tcp(s, c);
      break;
    case A_EST_CO_TCP:
      stop_t38_timer(s);
      if (msg__check_sock_est_co(s, c) != 2) {
        go(c, send_sm_reset_config_rq(s, c), T38_MGT__SOCKET_RESET_CNF__TCP);
      } else {
        c.sock_established = 1;
        configure_t38(s, c);
      }
      break;
    case A_EST_IN_TCP:
      stop_t38_timer(s);
      if (msg__check_sock_est_in(s, c) != 2) {
        go(c, send_sm_reset_config_rq(s, c), T38_MGT__SOCKET_RESET_CNF__TCP);
      } else {
        c.sock_established = 1;
        c.sock_conn_id = foip__current_msg()->conn_id;
        configure_t38(s, c);
      }
      break;
    case A_COMMON_CO_TCP:
      if (msg__check_t38_set_config_co__common(s, c) != 2 || take_stop(c))
        go(c, send_sock_rel_rq(s, c), T38_MGT__WAIT_REL_CO__TCP);
      else go(c, send_t38_set_config_rq__session(s, c), T38_MGT__T38_SESSION_CNF);
      break;
    case A_SESSION_CO_TCP:
      if (msg__check_t38_set_config_co__session(s, c) != 2) go(c, send_sock_rel_rq(s, c), T38_MGT__WAIT_REL_CO__TCP);
      else if (take_stop(c)) go(c, send_t38_reset_config_rq(s), T38_MGT__T38_SESSION_RESET_CNF__TCP);
      else go(c, send_t38_act_rq(s), T38_MGT__T38_SESSION_ACT__TCP);
      break;
    case A_REL_IN_SESSION_CNF_TCP:
      // The peer released the connection: no statistics come with it.
      c.p_stats = nullptr;
      c.sock_established = 0;
      go(c, send_t38_reset_config_rq(s), T38_MGT__T38_SESSION_RESET_CNF__TCP);
      break;
    case A_ACT_CO_TCP:
      if (msg__check_t38_act_co(s, c) != 2) {
        c.p_stats = nullptr;
        go(c, send_t38_reset_config_rq(s), T38_MGT__T38_SESSION_RESET_CNF__TCP);
      } else if (take_stop(c)) {
        go(c, send_t38_dea_rq(s), T38_MGT__T38_SESSION_DEA__TCP);
      } else {
        c.state = T38_MGT__T38_SESSION_RUNNING__TCP;
        foip__send_mgt(FOIP_MGT__T38_OPENED, s->nai, 2, 0, 0, 0);
      }
      break;
    case A_STOP_TCP: go(c, send_t38_dea_rq(s), T38_MGT__T38_SESSION_DEA__TCP); break;
    case A_SOCK_REL_IN_TCP:
      c.sock_established = 0;
      go(c, send_t38_dea_rq(s), T38_MGT__T38_SESSION_DEA__TCP);
      break;
    case A_DEA_CO_TCP:
      msg__process_t38_dea_co(s, c);
      go(c, send_t38_reset_config_rq(s), T38_MGT__T38_SESSION_RESET_CNF__TCP);
      break;
    case A_DEA_IN_TCP:
      msg__process_t38_dea_in(s, c);
      go(c, send_t38_reset_config_rq(s), T38_MGT__T38_SESSION_RESET_CNF__TCP);
      break;
    case A_RELEASE_SOCKET_TCP: release_socket__tcp(s, c); break;
    case A_SOCK_REL_CO_TCP: go(c, send_sm_reset_config_rq(s, c), T38_MGT__SOCKET_RESET_CNF__TCP); break;
    case A_DRATE_TCP:
      (void)send_t38_set_param_rq(s, s->param.session_general_param.t38iaf_enh.tcp_ip_data_rate_bps);
      break;
    default: break;
  }
}

bool is_teardown(const t38_mgt__ctx& c) {
  if (is_udp(c))
    return c.state == T38_MGT__T38_SESSION_DEA__UDP || c.state == T38_MGT__SOCKET_RESET_CNF__UDP ||
           c.state == T38_MGT__T38_SESSION_RESET_CNF__UDP;
  return c.state == T38_MGT__T38_SESSION_DEA__TCP || c.state == T38_MGT__T38_SESSION_RESET_CNF__TCP ||
         c.state == T38_MGT__WAIT_REL_CO__TCP || c.state == T38_MGT__SOCKET_RESET_CNF__TCP;
}

// Step record: traced and audited, never sent.
void record_step(const foip__na_ctx* s, const t38_mgt__ctx& c, u8 event, u8 old_state) {
  char text[200];
  const int n = std::snprintf(text, sizeof text, "%s Evt: %s  Cur state: %s  New state: %s  Branch (%c%c)",
                              is_udp(c) ? "[UDP]" : "[TCP]", t38_mgt__event_name(event),
                              t38_mgt__state_name(c.transport, old_state), t38_mgt__state_name(c.transport, c.state),
                              'a' + event, 'a' + old_state);
  const u32 text_len = static_cast<u32>(n < 0 ? 0 : std::min<int>(n, sizeof text - 1));
  msg_t* m = nullptr;
  buffer_t* b = nullptr;
  u8* data = nullptr;
  Alloc_msg_data(&m, &b, text_len + 6, &data);
  if (!data) return;
  data[0] = event;
  data[1] = old_state;
  data[2] = c.state;
  data[3] = static_cast<u8>('a' + event);
  data[4] = static_cast<u8>('a' + old_state);
  std::memcpy(data + 5, text, text_len);
  data[5 + text_len] = '\0';
  m->from = ENT_FOIP;
  m->to = ENT_FOIP;
  m->nai = s->nai;
  m->sapi = FOIP_MGT__TRACE_SAPI;
  m->conn_id = 0xFFFF;
  m->code = 'Z';
  om_os_trace_record('X', m);
  foip_trc__msg_audit('X', m);
  Free_msg(m);
}

}  // namespace

// ---------------------------------------------------------------------------

const char* t38_mgt__event_name(u8 event) { return event < std::size(kEventNames) ? kEventNames[event] : "??"; }
const char* t38_mgt__state_name(u8 transport, u8 state) {
  if (transport == 1) return state < std::size(kUdpStateNames) ? kUdpStateNames[state] : "??";
  return state < std::size(kTcpStateNames) ? kTcpStateNames[state] : "??";
}

namespace {
void init_rows(t38_mgt__ctx& c) {
  for (u8 i = 0; i < T38_MGT__NB_RESULT_ROWS; ++i) {
    c.result.rows[i].code = i;
    (void)std::snprintf(c.result.rows[i].text, sizeof c.result.rows[i].text, "%s", t38_mgt__dea_code_text(i));
  }
}
}  // namespace

t38_mgt__ctx& t38_mgt__get_ctx(nai_t nai) {
  if (nai >= g.ctx.size()) g.ctx.resize(static_cast<size_t>(nai) + 1);
  if (!g.ctx[nai]) {
    g.ctx[nai] = std::make_unique<t38_mgt__ctx>();
    init_rows(*g.ctx[nai]);
  }
  return *g.ctx[nai];
}
u8 t38_mgt__common_configured() { return g.common_configured; }

void t38_mgt__glb_init() {
  g.common_configured = 0;
  g.ctx.clear();
}

void t38_mgt__init_ctx(foip__na_ctx* s) {
  t38_mgt__ctx& c = t38_mgt__get_ctx(s->nai);
  const t38_mgt__remote_media remote = c.remote;
  c = t38_mgt__ctx{};
  c.remote = remote;
  c.start_delay_ms = s->param.session_general_param.start_t38_session_ms;
  init_rows(c);
}

void t38_mgt__reset_ctx(foip__na_ctx* s) {
  if (s->nai < g.ctx.size()) g.ctx[s->nai].reset();
}

void t38_mgt__set_remote_media(nai_t nai, const t38_mgt__remote_media& r) { t38_mgt__get_ctx(nai).remote = r; }

void t38_mgt__fatal_error_stop(foip__na_ctx* s, t38_mgt__ctx& c) {
  if (c.state == T38_MGT__IDLE || is_teardown(c)) return;
  const u8 running = is_udp(c) ? T38_MGT__T38_SESSION_RUNNING__UDP : T38_MGT__T38_SESSION_RUNNING__TCP;
  if (c.state == running) {
    c.p_stats = nullptr;
    // The report stays with the handler: it is relayed to the user.
    const u8 r = send_t38_dea_rq(s, true);
    go(c, r, is_udp(c) ? T38_MGT__T38_SESSION_DEA__UDP : T38_MGT__T38_SESSION_DEA__TCP);
    return;
  }
  // A set-up state: unwind as a stop request there does.
  const t38_mgt__cell& cell = c.cells[c.nb_states * EVT_USR_DEA_RQ + c.state];
  if (cell.action == A_DEFER_STOP) c.stop_requested = 1;
  else if (cell.action == A_ABORT_EST_TCP) run_action(A_ABORT_EST_TCP, s, c);
  else if (cell.next < KEEP) c.state = cell.next;
}

u8 t38_mgt__automaton(u8 event, u8 transport, u8 direction, foip__na_ctx* s) {
  t38_mgt__ctx& c = t38_mgt__get_ctx(s->nai);
  if (event == EVT_USR_ACT_RQ && (c.state == T38_MGT__IDLE || !c.cells)) {
    c.sock_conn_id = 0;
    if (transport == 'U') {
      c.transport = 1;
      c.cells = kUdpTable.data();
      c.nb_states = T38_MGT__UDP_NB_STATES;
      c.nb_cells = T38_MGT__UDP_NB_CELLS;
    } else {
      c.transport = 2;
      c.direction = direction;
      c.cells = kTcpTable.data();
      c.nb_states = T38_MGT__TCP_NB_STATES;
      c.nb_cells = T38_MGT__TCP_NB_CELLS;
    }
  }
  if (!c.cells) return 3;
  const u32 index = static_cast<u32>(c.nb_states) * event + c.state;
  if (index >= c.nb_cells) return 3;
  const u8 old_state = c.state;
  if (old_state == T38_MGT__IDLE && event == EVT_USR_ACT_RQ) {
    c.error = 0;
    c.error_source = 0;
    c.error_code = 0;
    c.start_delay_ms = s->param.session_general_param.start_t38_session_ms;
  }
  // The peer released the connection: the teardown resets the socket
  // configuration instead of asking for a release that may never be answered.
  if (event == EVT_SOCK_REL_IN && c.transport == 2) c.sock_established = 0;
  const t38_mgt__cell cell = c.cells[index];
  run_action(cell.action, s, c);
  if (cell.next < KEEP) c.state = cell.next;
  record_step(s, c, event, old_state);
  if (old_state != T38_MGT__IDLE && c.state == T38_MGT__IDLE) {
    stop_t38_timer(s);
    foip__set_t38_active(s, false);
    if (c.error) foip__send_mgt(FOIP_MGT__T38_OPENED, s->nai, 3, 0, c.error_source, c.error_code);
    else foip__send_mgt(FOIP_MGT__T38_CLOSED, s->nai, 0, 0, 0, 0);
  } else if (old_state == T38_MGT__IDLE && c.state != T38_MGT__IDLE) {
    foip__set_t38_active(s, true);
  } else if (old_state == T38_MGT__IDLE && event == EVT_USR_ACT_RQ && c.state == T38_MGT__IDLE) {
    // Failed at once: the session-control automaton still learns the outcome.
    if (c.error) foip__send_mgt(FOIP_MGT__T38_OPENED, s->nai, 3, 0, c.error_source, c.error_code);
    else foip__send_mgt(FOIP_MGT__T38_OPENED, s->nai, 3, 0, FOIP__START_ERR_SRC__OTHER_ERRORS, 0);
  }
  if (is_teardown(c) && c.p_stats) t38_mgt__display_statistics(s, c);
  return 2;
}

void t38_mgt__hook(foip__na_ctx* s, u8 event, u8 transport, u8 direction) {
  if (!s) return;
  (void)t38_mgt__automaton(event, transport, direction, s);
}

void t38_mgt__release_session(foip__na_ctx* s) {
  if (s) t38_mgt__reset_ctx(s);
}
