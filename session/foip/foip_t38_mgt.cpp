// T.38 session management of ENT_FOIP: the UDPTL and TPKT automata, their
// actions and the primitives they exchange with ENT_T38, ENT_SM and ENT_IP.
#include "session/foip/foip_t38_mgt.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "runtime/automaton.h"
#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "runtime/sock.h"
#include "runtime/sock_config.h"
#include "runtime/timer.h"
#include "session/config/foip_sip_cfg.h"
#include "session/foip/foip_ctx.h"
#include "session/foip/foip_err.h"
#include "session/trace/foip_trc.h"
#include "t38/t38_entity.h"

namespace {

using namespace kv::t38;

namespace fsm = kv::fsm;

enum class ev : u8 {
  EVT_USR_ACT_RQ = T38_MGT__EVT_USR_ACT_RQ,
  EVT_USR_DEA_RQ = T38_MGT__EVT_USR_DEA_RQ,
  EVT_T38_SET_CONFIG_CO = T38_MGT__EVT_T38_SET_CONFIG_CO,
  EVT_SM_SET_CONFIG_CO = T38_MGT__EVT_SM_SET_CONFIG_CO,
  EVT_T38_ACT_CO = T38_MGT__EVT_T38_ACT_CO,
  EVT_T38_DEA_CO = T38_MGT__EVT_T38_DEA_CO,
  EVT_T38_RESET_CONFIG_CO = T38_MGT__EVT_T38_RESET_CONFIG_CO,
  EVT_SM_RESET_CONFIG_CO = T38_MGT__EVT_SM_RESET_CONFIG_CO,
  EVT_T38_DEA_IN = T38_MGT__EVT_T38_DEA_IN,
  EVT_T38_REPORT_IN = T38_MGT__EVT_T38_REPORT_IN,
  EVT_TI_T38_GENERAL_DELAY = T38_MGT__EVT_TI_T38_GENERAL_DELAY,
  EVT_SOCK_DNS_CO = T38_MGT__EVT_SOCK_DNS_CO,
  EVT_NEW_FAX_PG_DRATE = T38_MGT__EVT_NEW_FAX_PG_DRATE,
  EVT_T38__SET_PARAM_CO = T38_MGT__EVT_T38__SET_PARAM_CO,
  // Events of the TCP variant only.
  EVT_SOCK_START_LISTEN_CO = T38_MGT__EVT_SOCK_START_LISTEN_CO,
  EVT_SOCK_EST_CO = T38_MGT__EVT_SOCK_EST_CO,
  EVT_SOCK_EST_IN = T38_MGT__EVT_SOCK_EST_IN,
  EVT_SOCK_REL_IN = T38_MGT__EVT_SOCK_REL_IN,
  EVT_SOCK_REL_CO = T38_MGT__EVT_SOCK_REL_CO,
  count_
};
constexpr u8 kUdpEvents = T38_MGT__EVT_SOCK_START_LISTEN_CO;  // the UDP variant knows events 0..13
constexpr u8 kTcpEvents = fsm::count_of<ev>;

enum class udp : u8 {
  IDLE = T38_MGT__IDLE,
  TI_T38_GENERAL_DELAY = T38_MGT__TI_T38_GENERAL_DELAY,
  T38_COMMON_CNF = T38_MGT__T38_COMMON_CNF,
  T38_SESSION_CNF = T38_MGT__T38_SESSION_CNF,
  SOCKET_CNF = T38_MGT__SOCKET_CNF,
  T38_SESSION_ACT__UDP = T38_MGT__T38_SESSION_ACT__UDP,
  T38_SESSION_RUNNING__UDP = T38_MGT__T38_SESSION_RUNNING__UDP,
  T38_SESSION_DEA__UDP = T38_MGT__T38_SESSION_DEA__UDP,
  SOCKET_RESET_CNF__UDP = T38_MGT__SOCKET_RESET_CNF__UDP,
  T38_SESSION_RESET_CNF__UDP = T38_MGT__T38_SESSION_RESET_CNF__UDP,
  WAIT_DNS_CO_UDP = T38_MGT__WAIT_DNS_CO_UDP,
  count_
};
enum class tcp : u8 {
  IDLE = T38_MGT__IDLE,
  TI_T38_GENERAL_DELAY = T38_MGT__TI_T38_GENERAL_DELAY,
  T38_COMMON_CNF = T38_MGT__T38_COMMON_CNF,
  T38_SESSION_CNF = T38_MGT__T38_SESSION_CNF,
  SOCKET_CNF = T38_MGT__SOCKET_CNF,
  WAIT_START_LISTEN_CO__TCP = T38_MGT__WAIT_START_LISTEN_CO__TCP,
  WAIT_ESTABLISHMENT__TCP = T38_MGT__WAIT_ESTABLISHMENT__TCP,
  T38_SESSION_ACT__TCP = T38_MGT__T38_SESSION_ACT__TCP,
  T38_SESSION_RUNNING__TCP = T38_MGT__T38_SESSION_RUNNING__TCP,
  T38_SESSION_DEA__TCP = T38_MGT__T38_SESSION_DEA__TCP,
  T38_SESSION_RESET_CNF__TCP = T38_MGT__T38_SESSION_RESET_CNF__TCP,
  WAIT_REL_CO__TCP = T38_MGT__WAIT_REL_CO__TCP,
  SOCKET_RESET_CNF__TCP = T38_MGT__SOCKET_RESET_CNF__TCP,
  WAIT_DNS_CO_TCP = T38_MGT__WAIT_DNS_CO_TCP,
  count_
};
static_assert(fsm::count_of<udp> == T38_MGT__UDP_NB_STATES && fsm::count_of<tcp> == T38_MGT__TCP_NB_STATES);

// Results of the send and check steps.
constexpr u8 kOk = FOIP__RC_OK;
constexpr u8 kNok = FOIP__RC_NOK;

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
  if (foip__send_body(out_msg(fresh), {ENT_FOIP, to, code, s->nai, sapi, conn_id}, body, n, sm_target)) return kOk;
  char text[120];
  (void)std::snprintf(text, sizeof text, "FOIP: (%s) Can't allocate Msg/buffer", who);
  Foip__trap(s->nai, FOIP__CONN_NONE, FOIP__TRAP_CLASS, FOIP__TRAP__ERR_ALLOC_MSG_BUFFER,
             "FOIP__TRAP__ERR_ALLOC_MSG_BUFFER", text);
  return kNok;
}

// "request -> state": sent -> next, else IDLE.
void go(t38_mgt__ctx& c, u8 sent, u8 next) { c.state = sent == kOk ? next : u8{T38_MGT__IDLE}; }

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
    foip__copy_common_t38_caps(e.caps, c.remote.tcp_caps);
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
  const om_ip_addr_t& local = s->param.t38_media_add_param.local_media_add.local_media_ip_addr.ip_addr;
  sock_config_entry e = foip__bound_sock_entry(c.transport, s->nai, c.sock_conn_id, ENT_FOIP, ENT_T38, local,
                                               is_udp(c) ? s->udptl_port : s->tpkt_port);
  e.receive_size = 1500;
  e.retry_limit = 5;
  e.tcp_backlog = 1;
  if (!is_udp(c)) e.tcp_listen = c.direction == 'I' ? 1 : 0;
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
  if (d && d[0] == kOk) return kOk;
  record_error(s, c, source, d ? d[1] : 0, what);
  return kNok;
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
    return kNok;
  }
  if (d[0] == kOk) return kOk;
  record_error(s, c, FOIP__START_ERR_SRC__T38_COMMON_CONFIG, d[1], "T38__SET_CONFIG_CO");
  g.common_configured = 0;
  c.state = T38_MGT__IDLE;
  return kNok;
}

// SOCK_EST_IN: the peer's negotiated IPv4 address, from any source port.
u8 msg__check_sock_est_in(foip__na_ctx* s, t38_mgt__ctx& c) {
  const u8* d = cur_data(SOCK_ADDR_BLOCK_SIZE);
  if (d && c.remote.addr_kind == SOCK_FAMILY_IPV4 && d[0] == SOCK_FAMILY_IPV4 &&
      std::memcmp(d + 4, c.remote.ipv4, 4) == 0)
    return kOk;
  record_error(s, c, FOIP__START_ERR_SRC__SOCKET_EST_IN, 1, "SOCK_EST_IN");
  return kNok;
}

u8 msg__check_sock_dns_co(foip__na_ctx* s, t38_mgt__ctx& c) {
  const u8* d = cur_data(8);
  if (!d || d[4] != kOk) {
    record_error(s, c, FOIP__START_ERR_SRC__DNS_REQUEST, d ? d[5] : 0, "SOCK_DNS_CO");
    return kNok;
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
    return kNok;
  }
  return kOk;
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
    if (r == kOk) g.common_configured = 1;
    go(c, r, T38_MGT__T38_COMMON_CNF);
  } else {
    go(c, send_t38_set_config_rq__session(s, c), T38_MGT__T38_SESSION_CNF);
  }
}

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
  if (send_sock_dns_rq(s, c) != kOk) {
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

// ---------------------------------------------------------------------------
// Actions of both variants.

using act = void (*)(foip__na_ctx*, t38_mgt__ctx&);

void nothing(foip__na_ctx*, t38_mgt__ctx&) {}
// A stop during the set-up is carried out when the current step answers.
void defer_stop(foip__na_ctx*, t38_mgt__ctx& c) { c.stop_requested = 1; }

void process_t38_set_param_co(foip__na_ctx* s, t38_mgt__ctx&) {
  const u8* d = cur_data(1);
  if (!d || d[0] != kOk)
    Foip__trap(s->nai, FOIP__CONN_NONE, FOIP__TRAP_CLASS, FOIP__TRAP__ERR_T38__SET_PARAM_CO,
               "FOIP__TRAP__ERR_T38__SET_PARAM_CO",
               "FOIP: (msg__check_t38_set_param_co) T38__SET_PARAM_CO (NOK) received");
}

void process_dns_timeout(foip__na_ctx* s, t38_mgt__ctx& c) {
  record_error(s, c, FOIP__START_ERR_SRC__DNS_REQUEST, T38_MGT__DNS_ERR__NO_ANSWER, "SOCK_DNS_CO");
  c.state = T38_MGT__IDLE;
}

// ---------------------------------------------------------------------------
// Actions of the UDP variant.

void start_session_udp(foip__na_ctx* s, t38_mgt__ctx& c) {
  c.p_stats = nullptr;
  c.p_result = nullptr;
  c.stop_requested = 0;
  if (c.remote.addr_kind != SOCK_FAMILY_OTHER) start_t38_config__udp(s, c);
  else start_dns(s, c, "start_session_udp", T38_MGT__WAIT_DNS_CO_UDP);
}
void process_sock_dns_co__udp(foip__na_ctx* s, t38_mgt__ctx& c) {
  stop_t38_timer(s);
  if (msg__check_sock_dns_co(s, c) == kOk) start_t38_config__udp(s, c);
  else c.state = T38_MGT__IDLE;
}
void process_ti_t38_general_delay__udp(foip__na_ctx* s, t38_mgt__ctx& c) { configure_t38(s, c); }
void process_t38_common_cnf_co__udp(foip__na_ctx* s, t38_mgt__ctx& c) {
  if (msg__check_t38_set_config_co__common(s, c) != kOk || take_stop(c)) c.state = T38_MGT__IDLE;
  else go(c, send_t38_set_config_rq__session(s, c), T38_MGT__T38_SESSION_CNF);
}
void process_t38_session_cnf_co__udp(foip__na_ctx* s, t38_mgt__ctx& c) {
  if (msg__check_t38_set_config_co__session(s, c) != kOk) c.state = T38_MGT__IDLE;
  else if (take_stop(c)) go(c, send_t38_reset_config_rq(s), T38_MGT__T38_SESSION_RESET_CNF__UDP);
  else go(c, send_sm_set_config_rq_to_socket(s, c), T38_MGT__SOCKET_CNF);
}
void process_socket_cnf_co__udp(foip__na_ctx* s, t38_mgt__ctx& c) {
  if (msg__check_sm_set_config_co(s, c) != kOk) go(c, send_t38_reset_config_rq(s), T38_MGT__T38_SESSION_RESET_CNF__UDP);
  else if (take_stop(c)) go(c, send_sm_reset_config_rq(s, c), T38_MGT__SOCKET_RESET_CNF__UDP);
  else go(c, send_t38_act_rq(s), T38_MGT__T38_SESSION_ACT__UDP);
}
void process_t38_act_co__udp(foip__na_ctx* s, t38_mgt__ctx& c) {
  if (msg__check_t38_act_co(s, c) != kOk) {
    c.p_stats = nullptr;
    go(c, send_sm_reset_config_rq(s, c), T38_MGT__SOCKET_RESET_CNF__UDP);
  } else if (take_stop(c)) {
    go(c, send_t38_dea_rq(s), T38_MGT__T38_SESSION_DEA__UDP);
  } else {
    c.state = T38_MGT__T38_SESSION_RUNNING__UDP;
    foip__send_mgt(FOIP_MGT__T38_OPENED, s->nai, kOk, 0, 0, 0);
  }
}
void stop_t38_session__udp(foip__na_ctx* s, t38_mgt__ctx& c) {
  go(c, send_t38_dea_rq(s), T38_MGT__T38_SESSION_DEA__UDP);
}
void process_t38_dea_co__udp(foip__na_ctx* s, t38_mgt__ctx& c) {
  msg__process_t38_dea_co(s, c);
  go(c, send_sm_reset_config_rq(s, c), T38_MGT__SOCKET_RESET_CNF__UDP);
}
void process_t38_dea_in__udp(foip__na_ctx* s, t38_mgt__ctx& c) {
  msg__process_t38_dea_in(s, c);
  go(c, send_sm_reset_config_rq(s, c), T38_MGT__SOCKET_RESET_CNF__UDP);
}
void process_socket_reset_cnf_co__udp(foip__na_ctx* s, t38_mgt__ctx& c) {
  go(c, send_t38_reset_config_rq(s), T38_MGT__T38_SESSION_RESET_CNF__UDP);
}
void update_fax_pg_drate__udp(foip__na_ctx* s, t38_mgt__ctx&) {
  (void)send_t38_set_param_rq(s, s->param.session_general_param.t38iaf_enh.udp_ip_data_rate_bps);
}

// ---------------------------------------------------------------------------
// Actions of the TCP variant.

void start_session_tcp(foip__na_ctx* s, t38_mgt__ctx& c) {
  c.stop_requested = 0;
  c.sock_established = 0;
  c.p_stats = nullptr;
  c.p_result = nullptr;
  if (c.remote.addr_kind != SOCK_FAMILY_OTHER) start_socket_cnf__tcp(s, c);
  else start_dns(s, c, "start_session_tcp", T38_MGT__WAIT_DNS_CO_TCP);
}
void process_sock_dns_co__tcp(foip__na_ctx* s, t38_mgt__ctx& c) {
  stop_t38_timer(s);
  if (msg__check_sock_dns_co(s, c) == kOk) start_socket_cnf__tcp(s, c);
  else c.state = T38_MGT__IDLE;
}
void process_ti_t38_general_delay__tcp(foip__na_ctx* s, t38_mgt__ctx& c) {
  go(c, send_sm_set_config_rq_to_socket(s, c), T38_MGT__SOCKET_CNF);
}
// Each failed step ends in IDLE.
void process_socket_cnf_co__tcp(foip__na_ctx* s, t38_mgt__ctx& c) {
  if (msg__check_sm_set_config_co(s, c) != kOk) {  // NOLINT(bugprone-branch-clone): failed steps end alike, in turn
    c.state = T38_MGT__IDLE;
  } else if (take_stop(c)) {
    go(c, send_sm_reset_config_rq(s, c), T38_MGT__SOCKET_RESET_CNF__TCP);
  } else if (c.direction != 'O') {
    go(c, send_sock_listen_rq(s, c), T38_MGT__WAIT_START_LISTEN_CO__TCP);
  } else if (send_sock_est_rq(s, c) != kOk) {
    c.state = T38_MGT__IDLE;
  } else {
    c.state = T38_MGT__WAIT_ESTABLISHMENT__TCP;
    start_t38_timer(s, FOIP__WDOG_TCP_CONNECT);
  }
}
void process_sock_start_listen_co__tcp(foip__na_ctx* s, t38_mgt__ctx& c) {
  if (msg__check_sock_start_listen_co(s, c) != kOk || take_stop(c)) {
    go(c, send_sm_reset_config_rq(s, c), T38_MGT__SOCKET_RESET_CNF__TCP);
  } else {
    start_t38_timer(s, FOIP__WDOG_TCP_CONNECT);
    c.state = T38_MGT__WAIT_ESTABLISHMENT__TCP;
  }
}
void stop_establishment__tcp(foip__na_ctx* s, t38_mgt__ctx& c) {
  stop_t38_timer(s);
  abort_establishment__tcp(s, c);
}
void process_establishment_timeout__tcp(foip__na_ctx* s, t38_mgt__ctx& c) {
  record_error(s, c, FOIP__START_ERR_SRC__TCP_CONNECT_FAILURE, 1, "", true,
               "Error during TCP connection establishment");
  abort_establishment__tcp(s, c);
}
void process_sock_est_co__tcp(foip__na_ctx* s, t38_mgt__ctx& c) {
  stop_t38_timer(s);
  if (msg__check_sock_est_co(s, c) != kOk) {
    go(c, send_sm_reset_config_rq(s, c), T38_MGT__SOCKET_RESET_CNF__TCP);
    return;
  }
  c.sock_established = 1;
  configure_t38(s, c);
}
void process_sock_est_in__tcp(foip__na_ctx* s, t38_mgt__ctx& c) {
  stop_t38_timer(s);
  if (msg__check_sock_est_in(s, c) != kOk) {
    go(c, send_sm_reset_config_rq(s, c), T38_MGT__SOCKET_RESET_CNF__TCP);
    return;
  }
  c.sock_established = 1;
  c.sock_conn_id = foip__current_msg()->conn_id;
  configure_t38(s, c);
}
void process_t38_common_cnf_co__tcp(foip__na_ctx* s, t38_mgt__ctx& c) {
  if (msg__check_t38_set_config_co__common(s, c) != kOk || take_stop(c))
    go(c, send_sock_rel_rq(s, c), T38_MGT__WAIT_REL_CO__TCP);
  else go(c, send_t38_set_config_rq__session(s, c), T38_MGT__T38_SESSION_CNF);
}
void process_t38_session_cnf_co__tcp(foip__na_ctx* s, t38_mgt__ctx& c) {
  if (msg__check_t38_set_config_co__session(s, c) != kOk) go(c, send_sock_rel_rq(s, c), T38_MGT__WAIT_REL_CO__TCP);
  else if (take_stop(c)) go(c, send_t38_reset_config_rq(s), T38_MGT__T38_SESSION_RESET_CNF__TCP);
  else go(c, send_t38_act_rq(s), T38_MGT__T38_SESSION_ACT__TCP);
}
// The peer released the connection: no statistics come with it.
void process_sock_rel_in_session_cnf__tcp(foip__na_ctx* s, t38_mgt__ctx& c) {
  c.p_stats = nullptr;
  c.sock_established = 0;
  go(c, send_t38_reset_config_rq(s), T38_MGT__T38_SESSION_RESET_CNF__TCP);
}
void process_t38_act_co__tcp(foip__na_ctx* s, t38_mgt__ctx& c) {
  if (msg__check_t38_act_co(s, c) != kOk) {
    c.p_stats = nullptr;
    go(c, send_t38_reset_config_rq(s), T38_MGT__T38_SESSION_RESET_CNF__TCP);
  } else if (take_stop(c)) {
    go(c, send_t38_dea_rq(s), T38_MGT__T38_SESSION_DEA__TCP);
  } else {
    c.state = T38_MGT__T38_SESSION_RUNNING__TCP;
    foip__send_mgt(FOIP_MGT__T38_OPENED, s->nai, kOk, 0, 0, 0);
  }
}
void stop_t38_session__tcp(foip__na_ctx* s, t38_mgt__ctx& c) {
  go(c, send_t38_dea_rq(s), T38_MGT__T38_SESSION_DEA__TCP);
}
void process_sock_rel_in__tcp(foip__na_ctx* s, t38_mgt__ctx& c) {
  c.sock_established = 0;
  go(c, send_t38_dea_rq(s), T38_MGT__T38_SESSION_DEA__TCP);
}
void process_t38_dea_co__tcp(foip__na_ctx* s, t38_mgt__ctx& c) {
  msg__process_t38_dea_co(s, c);
  go(c, send_t38_reset_config_rq(s), T38_MGT__T38_SESSION_RESET_CNF__TCP);
}
void process_t38_dea_in__tcp(foip__na_ctx* s, t38_mgt__ctx& c) {
  msg__process_t38_dea_in(s, c);
  go(c, send_t38_reset_config_rq(s), T38_MGT__T38_SESSION_RESET_CNF__TCP);
}
void process_sock_rel_co__tcp(foip__na_ctx* s, t38_mgt__ctx& c) {
  go(c, send_sm_reset_config_rq(s, c), T38_MGT__SOCKET_RESET_CNF__TCP);
}
void update_fax_pg_drate__tcp(foip__na_ctx* s, t38_mgt__ctx&) {
  (void)send_t38_set_param_rq(s, s->param.session_general_param.t38iaf_enh.tcp_ip_data_rate_bps);
}

// ---------------------------------------------------------------------------
// The two variants.  Cells not listed: no action, state kept.

// UDP (UDPTL).
constexpr fsm::row<udp, ev, act> kUdpRows[] = {
    {udp::IDLE, ev::EVT_USR_ACT_RQ, start_session_udp, fsm::by_action},
    {udp::IDLE, ev::EVT_T38_REPORT_IN, process_t38_report_in, fsm::keep},
    {udp::TI_T38_GENERAL_DELAY, ev::EVT_USR_DEA_RQ, nothing, udp::IDLE},
    {udp::TI_T38_GENERAL_DELAY, ev::EVT_TI_T38_GENERAL_DELAY, process_ti_t38_general_delay__udp, fsm::by_action},
    {udp::T38_COMMON_CNF, ev::EVT_USR_DEA_RQ, defer_stop, fsm::keep},
    {udp::T38_COMMON_CNF, ev::EVT_T38_SET_CONFIG_CO, process_t38_common_cnf_co__udp, fsm::by_action},
    {udp::T38_COMMON_CNF, ev::EVT_T38_REPORT_IN, process_t38_report_in, fsm::keep},
    {udp::T38_SESSION_CNF, ev::EVT_USR_DEA_RQ, defer_stop, fsm::keep},
    {udp::T38_SESSION_CNF, ev::EVT_T38_SET_CONFIG_CO, process_t38_session_cnf_co__udp, fsm::by_action},
    {udp::T38_SESSION_CNF, ev::EVT_T38_REPORT_IN, process_t38_report_in, fsm::keep},
    {udp::SOCKET_CNF, ev::EVT_USR_DEA_RQ, defer_stop, fsm::keep},
    {udp::SOCKET_CNF, ev::EVT_SM_SET_CONFIG_CO, process_socket_cnf_co__udp, fsm::by_action},
    {udp::SOCKET_CNF, ev::EVT_T38_REPORT_IN, process_t38_report_in, fsm::keep},
    {udp::T38_SESSION_ACT__UDP, ev::EVT_USR_DEA_RQ, defer_stop, fsm::keep},
    {udp::T38_SESSION_ACT__UDP, ev::EVT_T38_ACT_CO, process_t38_act_co__udp, fsm::by_action},
    {udp::T38_SESSION_ACT__UDP, ev::EVT_T38_REPORT_IN, process_t38_report_in, fsm::keep},
    {udp::T38_SESSION_RUNNING__UDP, ev::EVT_USR_DEA_RQ, stop_t38_session__udp, fsm::by_action},
    {udp::T38_SESSION_RUNNING__UDP, ev::EVT_T38_DEA_IN, process_t38_dea_in__udp, fsm::by_action},
    {udp::T38_SESSION_RUNNING__UDP, ev::EVT_T38_REPORT_IN, process_t38_report_in, fsm::keep},
    {udp::T38_SESSION_RUNNING__UDP, ev::EVT_NEW_FAX_PG_DRATE, update_fax_pg_drate__udp, fsm::keep},
    {udp::T38_SESSION_RUNNING__UDP, ev::EVT_T38__SET_PARAM_CO, process_t38_set_param_co, fsm::keep},
    {udp::T38_SESSION_DEA__UDP, ev::EVT_T38_DEA_CO, process_t38_dea_co__udp, fsm::by_action},
    {udp::T38_SESSION_DEA__UDP, ev::EVT_T38_REPORT_IN, process_t38_report_in, fsm::keep},
    {udp::SOCKET_RESET_CNF__UDP, ev::EVT_SM_RESET_CONFIG_CO, process_socket_reset_cnf_co__udp, fsm::by_action},
    {udp::SOCKET_RESET_CNF__UDP, ev::EVT_T38_REPORT_IN, process_t38_report_in, fsm::keep},
    {udp::T38_SESSION_RESET_CNF__UDP, ev::EVT_T38_RESET_CONFIG_CO, nothing, udp::IDLE},
    {udp::T38_SESSION_RESET_CNF__UDP, ev::EVT_T38_REPORT_IN, process_t38_report_in, fsm::keep},
    {udp::WAIT_DNS_CO_UDP, ev::EVT_USR_DEA_RQ, nothing, udp::IDLE},
    {udp::WAIT_DNS_CO_UDP, ev::EVT_SOCK_DNS_CO, process_sock_dns_co__udp, fsm::by_action},
    {udp::WAIT_DNS_CO_UDP, ev::EVT_TI_T38_GENERAL_DELAY, process_dns_timeout, fsm::by_action},
};

// TCP (TPKT).
constexpr fsm::row<tcp, ev, act> kTcpRows[] = {
    {tcp::IDLE, ev::EVT_USR_ACT_RQ, start_session_tcp, fsm::by_action},
    {tcp::IDLE, ev::EVT_T38_REPORT_IN, process_t38_report_in, fsm::keep},
    {tcp::TI_T38_GENERAL_DELAY, ev::EVT_USR_DEA_RQ, nothing, tcp::IDLE},
    {tcp::TI_T38_GENERAL_DELAY, ev::EVT_TI_T38_GENERAL_DELAY, process_ti_t38_general_delay__tcp, fsm::by_action},
    {tcp::T38_COMMON_CNF, ev::EVT_USR_DEA_RQ, defer_stop, fsm::keep},
    {tcp::T38_COMMON_CNF, ev::EVT_T38_SET_CONFIG_CO, process_t38_common_cnf_co__tcp, fsm::by_action},
    {tcp::T38_COMMON_CNF, ev::EVT_T38_REPORT_IN, process_t38_report_in, fsm::keep},
    {tcp::T38_COMMON_CNF, ev::EVT_SOCK_REL_IN, release_socket__tcp, fsm::by_action},
    {tcp::T38_SESSION_CNF, ev::EVT_USR_DEA_RQ, defer_stop, fsm::keep},
    {tcp::T38_SESSION_CNF, ev::EVT_T38_SET_CONFIG_CO, process_t38_session_cnf_co__tcp, fsm::by_action},
    {tcp::T38_SESSION_CNF, ev::EVT_T38_REPORT_IN, process_t38_report_in, fsm::keep},
    {tcp::T38_SESSION_CNF, ev::EVT_SOCK_REL_IN, process_sock_rel_in_session_cnf__tcp, fsm::by_action},
    {tcp::SOCKET_CNF, ev::EVT_USR_DEA_RQ, defer_stop, fsm::keep},
    {tcp::SOCKET_CNF, ev::EVT_SM_SET_CONFIG_CO, process_socket_cnf_co__tcp, fsm::by_action},
    {tcp::SOCKET_CNF, ev::EVT_T38_REPORT_IN, process_t38_report_in, fsm::keep},
    {tcp::WAIT_START_LISTEN_CO__TCP, ev::EVT_USR_DEA_RQ, defer_stop, fsm::keep},
    {tcp::WAIT_START_LISTEN_CO__TCP, ev::EVT_T38_REPORT_IN, process_t38_report_in, fsm::keep},
    {tcp::WAIT_START_LISTEN_CO__TCP, ev::EVT_SOCK_START_LISTEN_CO, process_sock_start_listen_co__tcp, fsm::by_action},
    {tcp::WAIT_ESTABLISHMENT__TCP, ev::EVT_USR_DEA_RQ, stop_establishment__tcp, fsm::by_action},
    {tcp::WAIT_ESTABLISHMENT__TCP, ev::EVT_T38_REPORT_IN, process_t38_report_in, fsm::keep},
    {tcp::WAIT_ESTABLISHMENT__TCP, ev::EVT_TI_T38_GENERAL_DELAY, process_establishment_timeout__tcp, fsm::by_action},
    {tcp::WAIT_ESTABLISHMENT__TCP, ev::EVT_SOCK_EST_CO, process_sock_est_co__tcp, fsm::by_action},
    {tcp::WAIT_ESTABLISHMENT__TCP, ev::EVT_SOCK_EST_IN, process_sock_est_in__tcp, fsm::by_action},
    {tcp::T38_SESSION_ACT__TCP, ev::EVT_USR_DEA_RQ, defer_stop, fsm::keep},
    {tcp::T38_SESSION_ACT__TCP, ev::EVT_T38_ACT_CO, process_t38_act_co__tcp, fsm::by_action},
    {tcp::T38_SESSION_ACT__TCP, ev::EVT_T38_REPORT_IN, process_t38_report_in, fsm::keep},
    {tcp::T38_SESSION_ACT__TCP, ev::EVT_SOCK_REL_IN, stop_t38_session__tcp, fsm::by_action},
    {tcp::T38_SESSION_RUNNING__TCP, ev::EVT_USR_DEA_RQ, stop_t38_session__tcp, fsm::by_action},
    {tcp::T38_SESSION_RUNNING__TCP, ev::EVT_T38_DEA_IN, process_t38_dea_in__tcp, fsm::by_action},
    {tcp::T38_SESSION_RUNNING__TCP, ev::EVT_T38_REPORT_IN, process_t38_report_in, fsm::keep},
    {tcp::T38_SESSION_RUNNING__TCP, ev::EVT_NEW_FAX_PG_DRATE, update_fax_pg_drate__tcp, fsm::keep},
    {tcp::T38_SESSION_RUNNING__TCP, ev::EVT_T38__SET_PARAM_CO, process_t38_set_param_co, fsm::keep},
    {tcp::T38_SESSION_RUNNING__TCP, ev::EVT_SOCK_REL_IN, process_sock_rel_in__tcp, fsm::by_action},
    {tcp::T38_SESSION_DEA__TCP, ev::EVT_T38_DEA_CO, process_t38_dea_co__tcp, fsm::by_action},
    {tcp::T38_SESSION_DEA__TCP, ev::EVT_T38_REPORT_IN, process_t38_report_in, fsm::keep},
    {tcp::T38_SESSION_RESET_CNF__TCP, ev::EVT_T38_RESET_CONFIG_CO, release_socket__tcp, fsm::by_action},
    {tcp::T38_SESSION_RESET_CNF__TCP, ev::EVT_T38_REPORT_IN, process_t38_report_in, fsm::keep},
    {tcp::WAIT_REL_CO__TCP, ev::EVT_T38_REPORT_IN, process_t38_report_in, fsm::keep},
    {tcp::WAIT_REL_CO__TCP, ev::EVT_SOCK_REL_CO, process_sock_rel_co__tcp, fsm::by_action},
    {tcp::SOCKET_RESET_CNF__TCP, ev::EVT_SM_RESET_CONFIG_CO, nothing, tcp::IDLE},
    {tcp::SOCKET_RESET_CNF__TCP, ev::EVT_T38_REPORT_IN, process_t38_report_in, fsm::keep},
    {tcp::WAIT_DNS_CO_TCP, ev::EVT_USR_DEA_RQ, nothing, tcp::IDLE},
    {tcp::WAIT_DNS_CO_TCP, ev::EVT_SOCK_DNS_CO, process_sock_dns_co__tcp, fsm::by_action},
    {tcp::WAIT_DNS_CO_TCP, ev::EVT_TI_T38_GENERAL_DELAY, process_dns_timeout, fsm::by_action},
};

constexpr fsm::cell<act> kUnlisted{nothing, fsm::kKeep};
constexpr auto kUdpTable = fsm::compile(kUdpRows, kUnlisted);
constexpr auto kTcpTable = fsm::compile(kTcpRows, kUnlisted);
constexpr auto kUdpPlain = fsm::plain(kUdpRows);
constexpr auto kTcpPlain = fsm::plain(kTcpRows);

// A variant as the automaton steps it: its cells [event][state] and the
// cell just past them (event = the variant's event count, in IDLE), which
// does nothing and leaves IDLE.
struct variant {
  u8 states;
  u8 events;
  const fsm::cell<act>* cells;
};
constexpr variant kUdp{T38_MGT__UDP_NB_STATES, kUdpEvents, kUdpTable.cells.data()};
constexpr variant kTcp{T38_MGT__TCP_NB_STATES, kTcpEvents, kTcpTable.cells.data()};
constexpr fsm::cell<act> kPastEnd{nothing, T38_MGT__IDLE};

// The cell of (state, event) in the session's variant; null outside it.
const fsm::cell<act>* cell_of(const t38_mgt__ctx& c, u8 event) {
  if (c.transport == 0) return nullptr;
  const variant& v = is_udp(c) ? kUdp : kTcp;
  if (c.state >= v.states) return nullptr;
  if (event < v.events) return &v.cells[static_cast<u32>(event) * v.states + c.state];
  if (event == v.events && c.state == T38_MGT__IDLE) return &kPastEnd;
  return nullptr;
}

// The states the actions choose.
// The actions of a variant choose among all of its states.
template <typename S>
constexpr auto every_state() {
  std::array<u8, fsm::count_of<S>> all{};
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<u8>(i);
  return all;
}
constexpr auto kUdpTargets = every_state<udp>();
constexpr auto kTcpTargets = every_state<tcp>();

bool is_teardown(const t38_mgt__ctx& c) {
  if (is_udp(c))
    return c.state == T38_MGT__T38_SESSION_DEA__UDP || c.state == T38_MGT__SOCKET_RESET_CNF__UDP ||
           c.state == T38_MGT__T38_SESSION_RESET_CNF__UDP;
  return c.state == T38_MGT__T38_SESSION_DEA__TCP || c.state == T38_MGT__T38_SESSION_RESET_CNF__TCP ||
         c.state == T38_MGT__WAIT_REL_CO__TCP || c.state == T38_MGT__SOCKET_RESET_CNF__TCP;
}

// Step record: traced and audited, never sent.
void record_step(const foip__na_ctx* s, const t38_mgt__ctx& c, u8 event, u8 old_state) {
  foip__record_step({s->nai, FOIP__CONN_NONE, 'Z', is_udp(c) ? "[UDP]" : "[TCP]", t38_mgt__event_name(event),
                     t38_mgt__state_name(c.transport, old_state), t38_mgt__state_name(c.transport, c.state), event,
                     old_state, c.state, event, true});
}

}  // namespace

// ---------------------------------------------------------------------------

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
  const fsm::cell<act>* cell = cell_of(c, T38_MGT__EVT_USR_DEA_RQ);
  if (!cell) return;
  if (cell->action == defer_stop || cell->action == stop_establishment__tcp) cell->action(s, c);
  else if (cell->next != fsm::kKeep && cell->next != fsm::kByAction) c.state = cell->next;
}

u8 t38_mgt__automaton(u8 event, u8 transport, u8 direction, foip__na_ctx* s) {
  t38_mgt__ctx& c = t38_mgt__get_ctx(s->nai);
  if (event == T38_MGT__EVT_USR_ACT_RQ && (c.state == T38_MGT__IDLE || c.transport == 0)) {
    c.sock_conn_id = 0;
    if (transport == 'U') {
      c.transport = 1;
    } else {
      c.transport = 2;
      c.direction = direction;
    }
  }
  const fsm::cell<act>* cell = cell_of(c, event);
  if (!cell) return kNok;
  const u8 old_state = c.state;
  if (old_state == T38_MGT__IDLE && event == T38_MGT__EVT_USR_ACT_RQ) {
    c.error = 0;
    c.error_source = 0;
    c.error_code = 0;
    c.start_delay_ms = s->param.session_general_param.start_t38_session_ms;
  }
  // The peer released the connection: the teardown resets the socket
  // configuration instead of asking for a release that may never be answered.
  if (event == T38_MGT__EVT_SOCK_REL_IN && c.transport == 2) c.sock_established = 0;
  cell->action(s, c);
  c.state = fsm::next_of(*cell, c.state);
  record_step(s, c, event, old_state);
  if (old_state != T38_MGT__IDLE && c.state == T38_MGT__IDLE) {
    stop_t38_timer(s);
    foip__set_t38_active(s, false);
    if (c.error) foip__send_mgt(FOIP_MGT__T38_OPENED, s->nai, kNok, 0, c.error_source, c.error_code);
    else foip__send_mgt(FOIP_MGT__T38_CLOSED, s->nai, 0, 0, 0, 0);
  } else if (old_state == T38_MGT__IDLE && c.state != T38_MGT__IDLE) {
    foip__set_t38_active(s, true);
  } else if (old_state == T38_MGT__IDLE && event == T38_MGT__EVT_USR_ACT_RQ && c.state == T38_MGT__IDLE) {
    // Failed at once: the session-control automaton still learns the outcome.
    if (c.error) foip__send_mgt(FOIP_MGT__T38_OPENED, s->nai, kNok, 0, c.error_source, c.error_code);
    else foip__send_mgt(FOIP_MGT__T38_OPENED, s->nai, kNok, 0, FOIP__START_ERR_SRC__OTHER_ERRORS, 0);
  }
  if (is_teardown(c) && c.p_stats) t38_mgt__display_statistics(s, c);
  return kOk;
}

kv::fsm::machine_view t38_mgt__machine(u8 transport) {
  if (transport == 'U')
    return {"T.38 management (UDP)", T38_MGT__UDP_NB_STATES, kUdpEvents, T38_MGT__IDLE, kUdpPlain, kUdpTargets, {}};
  return {"T.38 management (TCP)", T38_MGT__TCP_NB_STATES, kTcpEvents, T38_MGT__IDLE, kTcpPlain, kTcpTargets, {}};
}

void t38_mgt__hook(foip__na_ctx* s, u8 event, u8 transport, u8 direction) {
  if (!s) return;
  (void)t38_mgt__automaton(event, transport, direction, s);
}

void t38_mgt__release_session(foip__na_ctx* s) {
  if (s) t38_mgt__reset_ctx(s);
}
