// T.38 session management of ENT_FOIP: t38_mgt__automaton, the table-driven
// automaton that opens and closes a session's T.38 session towards ENT_T38
// and its media socket in ENT_IP.  Two variants chosen at each activation in
// IDLE: UDPTL (11 states) and TPKT (14 states, adds listen / connect /
// release of the TCP connection).
//
// It plugs into ENT_FOIP through foip__layer_hooks (t38_mgt__hook,
// t38_mgt__release_session) and reports to the session-control automaton
// with FOIP_MGT__T38_OPENED 'U' {2,..} on reaching the running state,
// 'U' {3, 0, source, code} on returning to IDLE after a failed set-up, and
// FOIP_MGT__T38_CLOSED 'V' on any other return to IDLE (exactly once per
// return).
//
// The peer's media (address or host name, port, negotiated capabilities) is
// written by the call side before activation (t38_mgt__set_remote_media).
//
// Behaviour beyond the plain tables:
//  - an incoming TCP connection is taken from any source port of the peer's
//    negotiated IPv4 address and refused from any other address;
//  - a fatal T.38 error report stops the running session with T38__DEA_RQ,
//    and in a set-up state unwinds from that state as a stop request does;
//    in IDLE and in the teardown states it changes nothing;
//  - name resolution is bounded by T38_MGT__DNS_WDOG_MS, and a stop request
//    during it ends the set-up in both variants;
//  - EVT_USR_ACT_RQ outside IDLE changes nothing (tables, direction and the
//    connection id taken from SOCK_EST_IN are kept);
//  - a SOCK_REL_IN in any TCP state marks the connection down, so the
//    teardown resets the socket configuration without a SOCK_REL_RQ, and
//    carries no statistics;
//  - a failure at activation in IDLE (no remote media, request not sent)
//    is still notified ('U' {3,..}).
//
// Runs only inside ENT_FOIP's handler (SM thread).
#pragma once

#include <string>

#include "runtime/automaton.h"
#include "runtime/types.h"
#include "session/foip/foip.h"
#include "t38/t38_config.h"

// States.
enum : u8 {
  T38_MGT__IDLE = 0,
  T38_MGT__TI_T38_GENERAL_DELAY = 1,
  T38_MGT__T38_COMMON_CNF = 2,
  T38_MGT__T38_SESSION_CNF = 3,
  T38_MGT__SOCKET_CNF = 4,
  // UDP
  T38_MGT__T38_SESSION_ACT__UDP = 5,
  T38_MGT__T38_SESSION_RUNNING__UDP = 6,
  T38_MGT__T38_SESSION_DEA__UDP = 7,
  T38_MGT__SOCKET_RESET_CNF__UDP = 8,
  T38_MGT__T38_SESSION_RESET_CNF__UDP = 9,
  T38_MGT__WAIT_DNS_CO_UDP = 10,
  // TCP
  T38_MGT__WAIT_START_LISTEN_CO__TCP = 5,
  T38_MGT__WAIT_ESTABLISHMENT__TCP = 6,
  T38_MGT__T38_SESSION_ACT__TCP = 7,
  T38_MGT__T38_SESSION_RUNNING__TCP = 8,
  T38_MGT__T38_SESSION_DEA__TCP = 9,
  T38_MGT__T38_SESSION_RESET_CNF__TCP = 10,
  T38_MGT__WAIT_REL_CO__TCP = 11,
  T38_MGT__SOCKET_RESET_CNF__TCP = 12,
  T38_MGT__WAIT_DNS_CO_TCP = 13,
};
inline constexpr u8 T38_MGT__EVT_NEW_FAX_PG_DRATE = 12;

inline constexpr u8 T38_MGT__UDP_NB_STATES = 11, T38_MGT__TCP_NB_STATES = 14;

// Watchdogs of the TCP connection and of name resolution.
inline constexpr u32 FOIP__WDOG_TCP_CONNECT = 120000;
inline constexpr u32 T38_MGT__DNS_WDOG_MS = 10000;

// Error sources of the set-up (codes of the 'U' {3,..} notice).
enum : u8 {
  FOIP__START_ERR_SRC__T38_COMMON_CONFIG = 239,
  FOIP__START_ERR_SRC__T38_SESSION_CONFIG = 238,
  FOIP__START_ERR_SRC__SOCKET_CONFIG = 237,
  FOIP__START_ERR_SRC__T38_ACTIVATE = 236,
  FOIP__START_ERR_SRC__SOCKET_LISTEN = 230,
  FOIP__START_ERR_SRC__SOCKET_EST_CO = 229,
  FOIP__START_ERR_SRC__SOCKET_EST_IN = 228,
  FOIP__START_ERR_SRC__TCP_CONNECT_FAILURE = 227,
  FOIP__START_ERR_SRC__DNS_REQUEST = 226,
};
// Codes of source 226 added here: no answer within the watchdog, and a
// request that could not be sent.
inline constexpr u8 T38_MGT__DNS_ERR__NO_ANSWER = 4;
inline constexpr u8 T38_MGT__DNS_ERR__NOT_SENT = 5;

// The peer's media as the call side negotiated it.
struct t38_mgt__remote_media {
  u8 addr_kind = 4;  // 4 IPv4 address given, 9 host name to resolve
  u8 ipv4[4] = {};   // first octet first
  char host[65] = {};
  u16 port = 0;
  kv::t38::t38__t38_capabilities udp_caps{};  // remote UDPTL capabilities
  kv::t38::t38__t38_capabilities tcp_caps{};  // remote TPKT capabilities (version, rate, four flags)
};

inline constexpr u32 T38_MGT__STAT_WORDS = 66;
inline constexpr u8 T38_MGT__NB_RESULT_ROWS = 11;

struct t38_mgt__result_row {
  u16 count = 0;
  u8 code = 0;
  char text[73] = {};
};
struct t38_mgt__result {
  u8 status = 0;  // 2 ok, 3 error
  t38_mgt__result_row rows[T38_MGT__NB_RESULT_ROWS];
  u8 error_cause = 0;
  char cause_text[101] = {};
};

// Per-session record.
struct t38_mgt__ctx {
  u8 direction = 0;  // 'I' / 'O' (TCP)
  u8 sock_established = 0;
  u8 transport = 0;  // 1 UDP, 2 TCP, 0 not activated yet
  u32 start_delay_ms = 0;
  u16 sock_conn_id = 0;
  u8 state = T38_MGT__IDLE;
  t38_mgt__result result{};
  const t38_mgt__result* p_result = nullptr;
  u32 stats[T38_MGT__STAT_WORDS] = {};
  const u32* p_stats = nullptr;
  u8 stats_displayed = 0;
  u8 stop_requested = 0;
  u8 error = 0, error_source = 0, error_code = 0;
  t38_mgt__remote_media remote{};
};

// The automaton: 3 when the cell lies outside the variant's table, else 2.
u8 t38_mgt__automaton(u8 event, u8 transport, u8 direction, foip__na_ctx* s);

// The rows of the variant of a transport letter ('U' UDP, else TCP), for
// the check of its table.
kv::fsm::machine_view t38_mgt__machine(u8 transport);

// Hooks for foip__layer_hooks.
void t38_mgt__hook(foip__na_ctx* s, u8 event, u8 transport, u8 direction);
void t38_mgt__release_session(foip__na_ctx* s);

// Entity start: clears the common-configuration flag and every record.
void t38_mgt__glb_init();
// Session start / end.
void t38_mgt__init_ctx(foip__na_ctx* s);
void t38_mgt__reset_ctx(foip__na_ctx* s);
// Written by the call side before EVT_USR_ACT_RQ.
void t38_mgt__set_remote_media(nai_t nai, const t38_mgt__remote_media& r);

// The record of a nai (created on first use), and facts for tests.
t38_mgt__ctx& t38_mgt__get_ctx(nai_t nai);
u8 t38_mgt__common_configured();

// The request records built for a session: the entry of T38__SET_CONFIG_RQ
// (session part) and the socket entry of SM_CONFIG_RQ.
kv::t38::t38_session_entry t38_mgt__session_entry(const foip__na_ctx* s, const t38_mgt__ctx& c);
struct sock_config_entry;
sock_config_entry t38_mgt__socket_entry(const foip__na_ctx* s, const t38_mgt__ctx& c);

// Names for the step records.
const char* t38_mgt__state_name(u8 transport, u8 state);
const char* t38_mgt__event_name(u8 event);

// Reports and deactivation answers (foip_t38_report.cpp).
void process_t38_report_in(foip__na_ctx* s, t38_mgt__ctx& c);
void msg__process_t38_dea_co(foip__na_ctx* s, t38_mgt__ctx& c);
void msg__process_t38_dea_in(foip__na_ctx* s, t38_mgt__ctx& c);
void t38_mgt__display_statistics(foip__na_ctx* s, t38_mgt__ctx& c);
const char* t38_mgt__dea_code_text(u32 code);
// The event line of a T38__REPORT_IN event report (body `d`, at least 8 +
// T38__EVENT_RECORD_SIZE bytes) and its progress letter.
std::string t38_mgt__event_line(nai_t nai, const u8* d, char* letter);
const char* t38_mgt__dea_cause_text(u32 cause);
// Stops the session on a fatal T.38 error (foip_t38_mgt.cpp).
void t38_mgt__fatal_error_stop(foip__na_ctx* s, t38_mgt__ctx& c);
