// T.38 session management of ENT_FOIP driven step by step against fake
// ENT_T38, ENT_SM, ENT_IP and a recording ENT_FOIP (which receives the 'U' /
// 'V' notices and the timer expiries): the UDPTL and TPKT set-up and
// teardown paths as tables of steps, stops during each set-up step, failed
// confirms, the TCP watchdog, the peer-address check of incoming
// connections, fatal reports, bounded name resolution, re-activation, and
// the statistics.
#include "session/foip/foip_t38_mgt.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "runtime/sm.h"
#include "runtime/sock.h"
#include "runtime/sock_config.h"
#include "runtime/support/rt_harness.h"
#include "runtime/timer.h"
#include "session/foip/foip_ctx.h"
#include "session/foip/foip_err.h"
#include "session/foip/foip_stats.h"
#include "t38/t38_entity.h"
#include "t38/t38_report.h"

namespace {

using namespace rt_test;
using namespace kv::t38;

const entity_table_row_t TABLE[] = {
    {ENT_FOIP, record_handler, 0, 0, nullptr, 0},     {ENT_T38, record_handler, 0, 0, nullptr, 0},
    {ENT_SM, record_handler, 0, 0, nullptr, 0},       {ENT_IP, record_handler, 0, 0, nullptr, 0},
    {ENT_APP_FOIP, record_handler, 0, 0, nullptr, 0}, {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

constexpr nai_t NAI = 3;
const u8 PEER[4] = {127, 0, 0, 2};

// Confirm bodies.
std::vector<u8> ok3(u8 entity) { return {2, 0, entity}; }
std::vector<u8> cnf_co(u8 kind, u8 status = 2, u8 cause = 0) { return {status, cause, 'J', kind}; }
std::vector<u8> dea(u8 status, u8 cause = 0, u16 dcn = 0) {
  std::vector<u8> b(T38__DEA_IN_SIZE, 0);
  b[0] = status;
  b[1] = cause;
  b[2] = 'J';
  b[4] = 2;  // two pages
  b[268] = static_cast<u8>(dcn);
  return b;
}
std::vector<u8> addr_block(const u8 ip[4], u16 port) {
  std::vector<u8> b(SOCK_ADDR_BLOCK_SIZE, 0);
  b[0] = SOCK_FAMILY_IPV4;
  std::memcpy(b.data() + 4, ip, 4);
  std::memcpy(b.data() + 8, &port, 2);
  return b;
}
std::vector<u8> error_report(u16 code) {
  std::vector<u8> b(T38__REPORT_BODY_SIZE, 0);
  b[0] = 'R';
  b[1] = 'I';
  b[8] = 1;  // trap class
  std::memcpy(b.data() + 12, &code, 2);
  return b;
}

class T38Mgt : public ::testing::Test {
 protected:
  void SetUp() override {
    use_virtual_clock(1000);
    start_manual(TABLE);
    pump();
    t38_mgt__glb_init();
    foip_stat__init();
    s_.nai = NAI;
    s_.kind_of_session = 'I';
    s_.udptl_port = 7002;
    s_.tpkt_port = 7000;
    s_.ti_t38.cell = Timer_alloc(ENT_FOIP, NAI, FOIP__SAPI, FOIP__CONN_NONE);
    s_.param.session_general_param.t38iaf_enh.udp_ip_data_rate_bps = 9600;
    t38_mgt__remote_media r;
    std::memcpy(r.ipv4, PEER, 4);
    r.port = 6002;
    r.udp_caps.max_datagram_size = 100;
    r.udp_caps.fax_max_buffer_size = 200;
    t38_mgt__set_remote_media(NAI, r);
    rec().clear();
  }
  void TearDown() override {
    Timer_free(s_.ti_t38.cell);
    t38_mgt__glb_init();
    foip_err__release_pool();  // report messages taken by traps
    stop();
  }

  // One event, with the message that carries it held as the handler's.
  u8 step(u8 event, ent_id_t from = 0, code_t code = 0, const std::vector<u8>& body = {}, u16 conn_id = 0,
          u8 transport = 'U', u8 dir = 'O') {
    msg_t* m = nullptr;
    if (from) {
      m = make_msg(from, ENT_FOIP, code, body, NAI, conn_id);
      foip__glb().cur_msg = m;
    }
    const u8 r = t38_mgt__automaton(event, transport, dir, &s_);
    Free_msg(foip__glb().cur_msg);
    foip__glb().cur_msg = nullptr;
    pump();
    return r;
  }
  u8 state() { return t38_mgt__get_ctx(NAI).state; }
  // Codes received by an entity since the last clear.
  std::string sent_to(ent_id_t to) {
    std::string out;
    for (const seen_msg& m : rec().messages())
      if (m.to == to && !(to == ENT_FOIP && m.from == ENT_TI)) out += static_cast<char>(m.code);
    return out;
  }
  std::vector<seen_msg> msgs(ent_id_t to, code_t code) {
    std::vector<seen_msg> out;
    for (const seen_msg& m : rec().messages())
      if (m.to == to && m.code == code) out.push_back(m);
    return out;
  }
  // The notice words of the last 'U' / 'V'.
  std::vector<u16> notice(code_t code) {
    auto v = msgs(ENT_FOIP, code);
    if (v.empty()) return {};
    std::vector<u16> w(5);
    std::memcpy(w.data(), v.back().data.data(), 10);
    return w;
  }
  void expire_timer(u32 ms) {
    advance_clock(ms + 1);
    om_os_timer_poll();
    pump();
    for (const seen_msg& m : rec().messages())
      if (m.from == ENT_TI && m.code == FOIP__TI_T38_DLY) {
        s_.ti_t38.armed = false;
        rec().clear();
        step(T38_MGT__EVT_TI_T38_GENERAL_DELAY);
        return;
      }
    ADD_FAILURE() << "no T.38 timer expiry";
  }

  foip__na_ctx s_{};
};

// One row: an event with its message, what goes out, the state after.
struct row {
  u8 event;
  ent_id_t from;
  code_t code;
  std::vector<u8> body;
  ent_id_t out_to;  // 0: nothing sent
  code_t out_code;
  u8 state;
};

class T38MgtPath : public T38Mgt {
 public:
  void run(const std::vector<row>& rows, u8 transport, u8 dir) {
    for (size_t i = 0; i < rows.size(); ++i) {
      const row& r = rows[i];
      rec().clear();
      EXPECT_EQ(step(r.event, r.from, r.code, r.body, 0, transport, dir), 2) << "row " << i;
      if (r.out_to) {
        EXPECT_EQ(sent_to(r.out_to), std::string(1, r.out_code)) << "row " << i;
      }
      EXPECT_EQ(state(), r.state) << "row " << i;
    }
  }
};

TEST_F(T38MgtPath, UdpSetUpRunAndTeardown) {
  run({{T38_MGT__EVT_USR_ACT_RQ, 0, 0, {}, ENT_T38, T38__SET_CONFIG_RQ, T38_MGT__T38_COMMON_CNF},
       {T38_MGT__EVT_T38_SET_CONFIG_CO, ENT_T38, 'y', cnf_co(11), ENT_T38, T38__SET_CONFIG_RQ,
        T38_MGT__T38_SESSION_CNF},
       {T38_MGT__EVT_T38_SET_CONFIG_CO, ENT_T38, 'y', cnf_co(10), ENT_SM, SM_CONFIG_RQ, T38_MGT__SOCKET_CNF},
       {T38_MGT__EVT_SM_SET_CONFIG_CO, ENT_SM, 'c', ok3(ENT_IP), ENT_T38, T38__ACT_RQ, T38_MGT__T38_SESSION_ACT__UDP},
       {T38_MGT__EVT_T38_ACT_CO,
        ENT_T38,
        'e',
        {2, 0, 'J'},
        ENT_FOIP,
        FOIP_MGT__T38_OPENED,
        T38_MGT__T38_SESSION_RUNNING__UDP},
       {T38_MGT__EVT_NEW_FAX_PG_DRATE, 0, 0, {}, ENT_T38, T38__SET_PARAM_RQ, T38_MGT__T38_SESSION_RUNNING__UDP},
       {T38_MGT__EVT_USR_DEA_RQ, 0, 0, {}, ENT_T38, T38__DEA_RQ, T38_MGT__T38_SESSION_DEA__UDP},
       {T38_MGT__EVT_T38_DEA_CO, ENT_T38, 's', dea(2, 0, 1), ENT_SM, SM_RST_CFG_RQ, T38_MGT__SOCKET_RESET_CNF__UDP},
       {T38_MGT__EVT_SM_RESET_CONFIG_CO, ENT_SM, 'd', ok3(ENT_IP), ENT_T38, T38__RESET_CONFIG_RQ,
        T38_MGT__T38_SESSION_RESET_CNF__UDP},
       {T38_MGT__EVT_T38_RESET_CONFIG_CO, ENT_T38, 'z', {2, 'J', 0}, ENT_FOIP, FOIP_MGT__T38_CLOSED, T38_MGT__IDLE}},
      'U', 'O');
  const t38_mgt__ctx& c = t38_mgt__get_ctx(NAI);
  EXPECT_EQ(c.stats_displayed, 1);
  ASSERT_NE(c.p_result, nullptr);
  EXPECT_EQ(c.result.rows[0].count, 1);
  EXPECT_EQ(foip_stat__dea_ok(), 1u);
  EXPECT_NE(foip_stat__t38_dea_codes_text().find("T38__DEA__DCN"), std::string::npos);
  EXPECT_EQ(t38_mgt__common_configured(), 1);
}

TEST_F(T38MgtPath, TcpOutgoingSetUpRunAndTeardown) {
  run({{T38_MGT__EVT_USR_ACT_RQ, 0, 0, {}, ENT_SM, SM_CONFIG_RQ, T38_MGT__SOCKET_CNF},
       {T38_MGT__EVT_SM_SET_CONFIG_CO, ENT_SM, 'c', ok3(ENT_IP), ENT_IP, SOCK_EST_RQ, T38_MGT__WAIT_ESTABLISHMENT__TCP},
       {T38_MGT__EVT_SOCK_EST_CO,
        ENT_IP,
        SOCK_EST_CO,
        {2, 0, 0, 0, 0x58, 0x1b},
        ENT_T38,
        T38__SET_CONFIG_RQ,
        T38_MGT__T38_COMMON_CNF},
       {T38_MGT__EVT_T38_SET_CONFIG_CO, ENT_T38, 'y', cnf_co(11), ENT_T38, T38__SET_CONFIG_RQ,
        T38_MGT__T38_SESSION_CNF},
       {T38_MGT__EVT_T38_SET_CONFIG_CO, ENT_T38, 'y', cnf_co(10), ENT_T38, T38__ACT_RQ, T38_MGT__T38_SESSION_ACT__TCP},
       {T38_MGT__EVT_T38_ACT_CO,
        ENT_T38,
        'e',
        {2, 0, 'J'},
        ENT_FOIP,
        FOIP_MGT__T38_OPENED,
        T38_MGT__T38_SESSION_RUNNING__TCP},
       {T38_MGT__EVT_USR_DEA_RQ, 0, 0, {}, ENT_T38, T38__DEA_RQ, T38_MGT__T38_SESSION_DEA__TCP},
       {T38_MGT__EVT_T38_DEA_CO, ENT_T38, 's', dea(2), ENT_T38, T38__RESET_CONFIG_RQ,
        T38_MGT__T38_SESSION_RESET_CNF__TCP},
       {T38_MGT__EVT_T38_RESET_CONFIG_CO, ENT_T38, 'z', {2, 'J', 0}, ENT_IP, SOCK_REL_RQ, T38_MGT__WAIT_REL_CO__TCP},
       {T38_MGT__EVT_SOCK_REL_CO,
        ENT_IP,
        SOCK_REL_CO,
        {2, 0, 0},
        ENT_SM,
        SM_RST_CFG_RQ,
        T38_MGT__SOCKET_RESET_CNF__TCP},
       {T38_MGT__EVT_SM_RESET_CONFIG_CO, ENT_SM, 'd', ok3(ENT_IP), ENT_FOIP, FOIP_MGT__T38_CLOSED, T38_MGT__IDLE}},
      'T', 'O');
}

// The request bodies: session entry fields, socket entry, address block.
TEST_F(T38Mgt, RequestBodiesCarryTheSessionAndPeer) {
  step(T38_MGT__EVT_USR_ACT_RQ);
  rec().clear();
  step(T38_MGT__EVT_T38_SET_CONFIG_CO, ENT_T38, 'y', cnf_co(11));
  auto cfg = msgs(ENT_T38, T38__SET_CONFIG_RQ);
  ASSERT_EQ(cfg.size(), 1u);
  ASSERT_GE(cfg[0].data.size(), 6 + T38__ENTRY_SIZE_IAF);
  EXPECT_EQ(cfg[0].data[3], T38__SESSION_CNF);
  t38_session_entry e;
  ASSERT_TRUE(t38__read_entry(cfg[0].data.data() + 6, static_cast<u32>(cfg[0].data.size() - 6), e));
  EXPECT_EQ(e.addr.nai, NAI);
  EXPECT_EQ(std::memcmp(e.addr.remote_ipv4_addr, PEER, 4), 0);
  EXPECT_EQ(e.addr.remote_port, 6002);
  EXPECT_EQ(e.ip.media_transport, 'U');
  EXPECT_EQ(e.ip.nb_red_ifp_pck__default, 4);  // 100: third row
  EXPECT_EQ(e.ip.nb_red_ifp_pck__tcf, 3);
  EXPECT_EQ(e.ip.nb_red_ifp_pck__fax_pg_ecm, 1);
  EXPECT_EQ(e.ip.v21_ip_inactivity_ms, 100u);
  EXPECT_EQ(e.ip.idle_ip_inactivity_ms, 2000u);
  EXPECT_EQ(e.report.error_report_bfi, 511u);
  rec().clear();
  step(T38_MGT__EVT_T38_SET_CONFIG_CO, ENT_T38, 'y', cnf_co(10));
  auto sm = msgs(ENT_SM, SM_CONFIG_RQ);
  ASSERT_EQ(sm.size(), 1u);
  EXPECT_EQ(sm[0].data[0], ENT_IP);
  const sock_config_entry se = sock_config_entry_unpack(sm[0].data.data() + SOCK_CONFIG_HEADER_SIZE);
  EXPECT_EQ(se.port, 7002);
  EXPECT_EQ(se.kind, SOCK_KIND_UDP);
  EXPECT_EQ(se.nai, NAI);
  EXPECT_EQ(se.control_entity, ENT_FOIP);
  EXPECT_EQ(se.data_entity, ENT_T38);
  EXPECT_EQ(se.receive_size, 1500u);
}

// Redundancy rows at their bounds.
TEST_F(T38Mgt, RedundancyFollowsTheDatagramSize) {
  struct {
    u16 size;
    u8 dflt, tcf, no_ecm, ecm, fast;
  } cases[] = {
      {39, 1, 0, 0, 0, 1}, {40, 4, 2, 1, 1, 1}, {100, 4, 3, 2, 1, 1}, {199, 4, 3, 2, 1, 1}, {200, 4, 3, 2, 2, 0}};
  for (const auto& k : cases) {
    t38_mgt__ctx c;
    c.transport = 1;
    c.remote.udp_caps.max_datagram_size = k.size;
    const t38_session_entry e = t38_mgt__session_entry(&s_, c);
    EXPECT_EQ(e.ip.nb_red_ifp_pck__default, k.dflt) << k.size;
    EXPECT_EQ(e.ip.nb_red_ifp_pck__tcf, k.tcf) << k.size;
    EXPECT_EQ(e.ip.nb_red_ifp_pck__fax_pg_no_ecm, k.no_ecm) << k.size;
    EXPECT_EQ(e.ip.nb_red_ifp_pck__fax_pg_ecm, k.ecm) << k.size;
    EXPECT_EQ(e.ip.fast_switch_redundancy, k.fast) << k.size;
  }
}

// A stop during the session configuration is deferred, then unwinds.
TEST_F(T38Mgt, StopInSessionCnfIsDeferredThenResets) {
  step(T38_MGT__EVT_USR_ACT_RQ);
  step(T38_MGT__EVT_T38_SET_CONFIG_CO, ENT_T38, 'y', cnf_co(11));
  rec().clear();
  step(T38_MGT__EVT_USR_DEA_RQ);
  EXPECT_EQ(sent_to(ENT_T38), "");
  EXPECT_EQ(state(), T38_MGT__T38_SESSION_CNF);
  step(T38_MGT__EVT_T38_SET_CONFIG_CO, ENT_T38, 'y', cnf_co(10));
  EXPECT_EQ(sent_to(ENT_T38), "|");
  EXPECT_EQ(state(), T38_MGT__T38_SESSION_RESET_CNF__UDP);
  rec().clear();
  step(T38_MGT__EVT_T38_RESET_CONFIG_CO, ENT_T38, 'z', {2, 'J', 0});
  EXPECT_EQ(state(), T38_MGT__IDLE);
  EXPECT_EQ(sent_to(ENT_FOIP), "V");
}

// Failed confirms undo what was set up and report source and cause.
TEST_F(T38Mgt, FailedActivationUnwindsAndReportsTheCause) {
  step(T38_MGT__EVT_USR_ACT_RQ);
  step(T38_MGT__EVT_T38_SET_CONFIG_CO, ENT_T38, 'y', cnf_co(11));
  step(T38_MGT__EVT_T38_SET_CONFIG_CO, ENT_T38, 'y', cnf_co(10));
  step(T38_MGT__EVT_SM_SET_CONFIG_CO, ENT_SM, 'c', ok3(ENT_IP));
  rec().clear();
  step(T38_MGT__EVT_T38_ACT_CO, ENT_T38, 'e', {3, 7, 'J'});
  EXPECT_EQ(state(), T38_MGT__SOCKET_RESET_CNF__UDP);
  step(T38_MGT__EVT_SM_RESET_CONFIG_CO, ENT_SM, 'd', ok3(ENT_IP));
  step(T38_MGT__EVT_T38_RESET_CONFIG_CO, ENT_T38, 'z', {2, 'J', 0});
  EXPECT_EQ(sent_to(ENT_SM), "D");
  EXPECT_EQ(sent_to(ENT_T38), "|");
  EXPECT_EQ(state(), T38_MGT__IDLE);
  EXPECT_EQ(notice(FOIP_MGT__T38_OPENED), (std::vector<u16>{3, 0, FOIP__START_ERR_SRC__T38_ACTIVATE, 7, 0}));
  EXPECT_TRUE(msgs(ENT_FOIP, FOIP_MGT__T38_CLOSED).empty());
}

TEST_F(T38Mgt, FailedCommonConfigIsSentAgainByTheNextSession) {
  step(T38_MGT__EVT_USR_ACT_RQ);
  step(T38_MGT__EVT_T38_SET_CONFIG_CO, ENT_T38, 'y', cnf_co(11, 3, 12));
  EXPECT_EQ(state(), T38_MGT__IDLE);
  EXPECT_EQ(notice(FOIP_MGT__T38_OPENED), (std::vector<u16>{3, 0, FOIP__START_ERR_SRC__T38_COMMON_CONFIG, 12, 0}));
  EXPECT_EQ(t38_mgt__common_configured(), 0);
  rec().clear();
  step(T38_MGT__EVT_USR_ACT_RQ);
  EXPECT_EQ(state(), T38_MGT__T38_COMMON_CNF);
}

// Start delay: UDP waits in either direction; the stop there is immediate
// and a late expiry is dropped (timer disarmed).
TEST_F(T38Mgt, StartDelayWaitsAndStopThereEndsAtOnce) {
  s_.param.session_general_param.start_t38_session_ms = 500;
  step(T38_MGT__EVT_USR_ACT_RQ);
  EXPECT_EQ(state(), T38_MGT__TI_T38_GENERAL_DELAY);
  EXPECT_TRUE(s_.ti_t38.armed);
  step(T38_MGT__EVT_USR_DEA_RQ);
  EXPECT_EQ(state(), T38_MGT__IDLE);
  EXPECT_FALSE(s_.ti_t38.armed);
  EXPECT_EQ(sent_to(ENT_FOIP), "V");
  // With the delay run out, the configuration goes on.
  rec().clear();
  step(T38_MGT__EVT_USR_ACT_RQ);
  expire_timer(500);
  EXPECT_EQ(state(), T38_MGT__T38_COMMON_CNF);
  // TCP incoming never waits.
  t38_mgt__glb_init();
  t38_mgt__remote_media r;
  std::memcpy(r.ipv4, PEER, 4);
  t38_mgt__set_remote_media(NAI, r);
  step(T38_MGT__EVT_USR_ACT_RQ, 0, 0, {}, 0, 'T', 'I');
  EXPECT_EQ(state(), T38_MGT__SOCKET_CNF);
}

// The peer releases the connection during the teardown: no release is asked
// for, the socket configuration is reset.
TEST_F(T38Mgt, PeerReleaseDuringTeardownSkipsTheRelease) {
  step(T38_MGT__EVT_USR_ACT_RQ, 0, 0, {}, 0, 'T', 'O');
  step(T38_MGT__EVT_SM_SET_CONFIG_CO, ENT_SM, 'c', ok3(ENT_IP));
  step(T38_MGT__EVT_SOCK_EST_CO, ENT_IP, SOCK_EST_CO, {2, 0, 0, 0});
  step(T38_MGT__EVT_T38_SET_CONFIG_CO, ENT_T38, 'y', cnf_co(11));
  step(T38_MGT__EVT_T38_SET_CONFIG_CO, ENT_T38, 'y', cnf_co(10));
  step(T38_MGT__EVT_T38_ACT_CO, ENT_T38, 'e', {2, 0, 'J'});
  step(T38_MGT__EVT_USR_DEA_RQ);
  ASSERT_EQ(state(), T38_MGT__T38_SESSION_DEA__TCP);
  step(T38_MGT__EVT_SOCK_REL_IN, ENT_IP, SOCK_REL_IN, {0, 0});
  step(T38_MGT__EVT_T38_DEA_CO, ENT_T38, 's', dea(2));
  rec().clear();
  step(T38_MGT__EVT_T38_RESET_CONFIG_CO, ENT_T38, 'z', {2, 'J', 0});
  EXPECT_EQ(sent_to(ENT_IP), "");
  EXPECT_EQ(sent_to(ENT_SM), "D");
  EXPECT_EQ(state(), T38_MGT__SOCKET_RESET_CNF__TCP);
}

// Outgoing TCP connection that never comes: the watchdog releases it.
TEST_F(T38Mgt, TcpConnectWatchdogReleasesAndReports) {
  step(T38_MGT__EVT_USR_ACT_RQ, 0, 0, {}, 0, 'T', 'O');
  step(T38_MGT__EVT_SM_SET_CONFIG_CO, ENT_SM, 'c', ok3(ENT_IP), 0, 'T', 'O');
  EXPECT_EQ(state(), T38_MGT__WAIT_ESTABLISHMENT__TCP);
  rec().clear();
  expire_timer(FOIP__WDOG_TCP_CONNECT);
  EXPECT_EQ(sent_to(ENT_IP), "W");
  EXPECT_EQ(state(), T38_MGT__WAIT_REL_CO__TCP);
  step(T38_MGT__EVT_SOCK_REL_CO, ENT_IP, SOCK_REL_CO, {2, 0, 0});
  step(T38_MGT__EVT_SM_RESET_CONFIG_CO, ENT_SM, 'd', ok3(ENT_IP));
  EXPECT_EQ(state(), T38_MGT__IDLE);
  EXPECT_EQ(notice(FOIP_MGT__T38_OPENED), (std::vector<u16>{3, 0, FOIP__START_ERR_SRC__TCP_CONNECT_FAILURE, 1, 0}));
}

// Incoming TCP: any source port of the peer's address is taken, with its
// connection id; another address is refused.
TEST_F(T38Mgt, IncomingConnectionCheckedByPeerAddressOnly) {
  struct {
    u8 ip[4];
    u16 port;
    bool accepted;
  } cases[] = {{{127, 0, 0, 2}, 6002, true}, {{127, 0, 0, 2}, 41234, true}, {{127, 0, 0, 3}, 6002, false}};
  for (const auto& k : cases) {
    t38_mgt__glb_init();
    t38_mgt__remote_media r;
    std::memcpy(r.ipv4, PEER, 4);
    r.port = 6002;
    t38_mgt__set_remote_media(NAI, r);
    step(T38_MGT__EVT_USR_ACT_RQ, 0, 0, {}, 0, 'T', 'I');
    step(T38_MGT__EVT_SM_SET_CONFIG_CO, ENT_SM, 'c', ok3(ENT_IP));
    EXPECT_EQ(state(), T38_MGT__WAIT_START_LISTEN_CO__TCP);
    step(T38_MGT__EVT_SOCK_START_LISTEN_CO, ENT_IP, SOCK_LISTEN_CO, {2, 0, 0});
    EXPECT_EQ(state(), T38_MGT__WAIT_ESTABLISHMENT__TCP);
    // The call side activates again once the call is open: nothing changes.
    step(T38_MGT__EVT_USR_ACT_RQ, 0, 0, {}, 0, 'T', 'I');
    EXPECT_EQ(state(), T38_MGT__WAIT_ESTABLISHMENT__TCP);
    rec().clear();
    step(T38_MGT__EVT_SOCK_EST_IN, ENT_IP, SOCK_EST_IN, addr_block(k.ip, k.port), 77);
    const t38_mgt__ctx& c = t38_mgt__get_ctx(NAI);
    if (k.accepted) {
      EXPECT_EQ(state(), T38_MGT__T38_COMMON_CNF) << k.port;
      EXPECT_EQ(c.sock_conn_id, 77);
      // A re-activation keeps the connection id and the TCP tables.
      step(T38_MGT__EVT_USR_ACT_RQ, 0, 0, {}, 0, 'U', 'O');
      EXPECT_EQ(c.sock_conn_id, 77);
      EXPECT_EQ(c.transport, 2);
    } else {
      EXPECT_EQ(state(), T38_MGT__SOCKET_RESET_CNF__TCP);
      EXPECT_EQ(sent_to(ENT_SM), "D");
      EXPECT_EQ(c.error_source, FOIP__START_ERR_SRC__SOCKET_EST_IN);
    }
  }
}

// Fatal T.38 report: running -> T38__DEA_RQ; set-up -> deferred stop; IDLE
// and teardown -> nothing.
TEST_F(T38Mgt, FatalReportStopsFromEachState) {
  // In IDLE.
  step(T38_MGT__EVT_USR_ACT_RQ);
  step(T38_MGT__EVT_T38_SET_CONFIG_CO, ENT_T38, 'y', cnf_co(11));
  // In a set-up state: unwinds at the next confirm.
  rec().clear();
  step(T38_MGT__EVT_T38_REPORT_IN, ENT_T38, 'R', error_report(12011));
  EXPECT_EQ(sent_to(ENT_T38), "");
  EXPECT_EQ(state(), T38_MGT__T38_SESSION_CNF);
  step(T38_MGT__EVT_T38_SET_CONFIG_CO, ENT_T38, 'y', cnf_co(10));
  EXPECT_EQ(sent_to(ENT_T38), "|");
  EXPECT_EQ(state(), T38_MGT__T38_SESSION_RESET_CNF__UDP);
  // In a teardown state: nothing more.
  rec().clear();
  step(T38_MGT__EVT_T38_REPORT_IN, ENT_T38, 'R', error_report(12011));
  EXPECT_EQ(sent_to(ENT_T38), "");
  EXPECT_EQ(state(), T38_MGT__T38_SESSION_RESET_CNF__UDP);
  step(T38_MGT__EVT_T38_RESET_CONFIG_CO, ENT_T38, 'z', {2, 'J', 0});
  EXPECT_EQ(state(), T38_MGT__IDLE);
  rec().clear();
  step(T38_MGT__EVT_T38_REPORT_IN, ENT_T38, 'R', error_report(12011));
  EXPECT_EQ(state(), T38_MGT__IDLE);
  EXPECT_EQ(sent_to(ENT_T38), "");
  // Running: T38__DEA_RQ.
  step(T38_MGT__EVT_USR_ACT_RQ);
  step(T38_MGT__EVT_T38_SET_CONFIG_CO, ENT_T38, 'y', cnf_co(10));
  step(T38_MGT__EVT_SM_SET_CONFIG_CO, ENT_SM, 'c', ok3(ENT_IP));
  step(T38_MGT__EVT_T38_ACT_CO, ENT_T38, 'e', {2, 0, 'J'});
  ASSERT_EQ(state(), T38_MGT__T38_SESSION_RUNNING__UDP);
  rec().clear();
  step(T38_MGT__EVT_T38_REPORT_IN, ENT_T38, 'R', error_report(12011));
  EXPECT_EQ(sent_to(ENT_T38), "S");
  EXPECT_EQ(state(), T38_MGT__T38_SESSION_DEA__UDP);
  // An informational trap (above 13000) does not stop.
  t38_mgt__get_ctx(NAI).state = T38_MGT__T38_SESSION_RUNNING__UDP;
  rec().clear();
  step(T38_MGT__EVT_T38_REPORT_IN, ENT_T38, 'R', error_report(13122));
  EXPECT_EQ(sent_to(ENT_T38), "");
}

// Name resolution: an IPv4 answer goes on, a non-IPv4 answer ends with
// 226/3, no answer ends at the watchdog, and a stop ends it in both variants.
TEST_F(T38Mgt, NameResolutionIsBoundedAndStoppable) {
  auto use_host = [&] {
    t38_mgt__glb_init();
    t38_mgt__remote_media r;
    r.addr_kind = SOCK_FAMILY_OTHER;
    std::strcpy(r.host, "peer.example");
    t38_mgt__set_remote_media(NAI, r);
    rec().clear();
  };
  auto dns_co = [](u8 status, u8 family) {
    std::vector<u8> b(SOCK_DNS_CO_SIZE, 0);
    b[0] = NAI;
    b[4] = status;
    b[7] = 1;
    b[8] = family;
    b[12] = 10, b[13] = 1, b[14] = 2, b[15] = 3;
    return b;
  };
  use_host();
  step(T38_MGT__EVT_USR_ACT_RQ);
  ASSERT_EQ(sent_to(ENT_IP), "T");
  EXPECT_EQ(msgs(ENT_IP, SOCK_DNS_RQ)[0].data[4], 'p');
  EXPECT_EQ(state(), T38_MGT__WAIT_DNS_CO_UDP);
  step(T38_MGT__EVT_SOCK_DNS_CO, ENT_IP, SOCK_DNS_CO, dns_co(2, 4));
  EXPECT_EQ(state(), T38_MGT__T38_COMMON_CNF);
  EXPECT_EQ(t38_mgt__get_ctx(NAI).remote.ipv4[0], 10);

  use_host();
  step(T38_MGT__EVT_USR_ACT_RQ);
  step(T38_MGT__EVT_SOCK_DNS_CO, ENT_IP, SOCK_DNS_CO, dns_co(2, 6));
  EXPECT_EQ(state(), T38_MGT__IDLE);
  EXPECT_EQ(notice(FOIP_MGT__T38_OPENED), (std::vector<u16>{3, 0, FOIP__START_ERR_SRC__DNS_REQUEST, 3, 0}));

  use_host();
  step(T38_MGT__EVT_USR_ACT_RQ);
  rec().clear();
  expire_timer(T38_MGT__DNS_WDOG_MS);
  EXPECT_EQ(state(), T38_MGT__IDLE);
  EXPECT_EQ(notice(FOIP_MGT__T38_OPENED),
            (std::vector<u16>{3, 0, FOIP__START_ERR_SRC__DNS_REQUEST, T38_MGT__DNS_ERR__NO_ANSWER, 0}));

  for (u8 transport : {u8{'U'}, u8{'T'}}) {
    use_host();
    step(T38_MGT__EVT_USR_ACT_RQ, 0, 0, {}, 0, transport, 'O');
    EXPECT_NE(state(), T38_MGT__IDLE);
    step(T38_MGT__EVT_USR_DEA_RQ, 0, 0, {}, 0, transport, 'O');
    EXPECT_EQ(state(), T38_MGT__IDLE) << transport;
    EXPECT_FALSE(s_.ti_t38.armed);
    EXPECT_EQ(sent_to(ENT_FOIP), "V");
    // A late answer changes nothing.
    step(T38_MGT__EVT_SOCK_DNS_CO, ENT_IP, SOCK_DNS_CO, dns_co(2, 4));
    EXPECT_EQ(state(), T38_MGT__IDLE);
  }
}

// Cells outside the variant's table.
TEST_F(T38Mgt, CellsOutsideTheTableYieldThree) {
  step(T38_MGT__EVT_USR_ACT_RQ);
  EXPECT_EQ(step(T38_MGT__EVT_SOCK_START_LISTEN_CO), 3);  // UDP, not IDLE
  t38_mgt__get_ctx(NAI).state = T38_MGT__IDLE;
  EXPECT_EQ(step(T38_MGT__EVT_SOCK_START_LISTEN_CO), 2);  // the trailing cell
  EXPECT_EQ(step(T38_MGT__EVT_SOCK_REL_CO), 3);
}

// Deactivation indication with an error: result and cause counted.
TEST_F(T38Mgt, DeaInErrorKeepsCauseAndCounts) {
  step(T38_MGT__EVT_USR_ACT_RQ);
  step(T38_MGT__EVT_T38_SET_CONFIG_CO, ENT_T38, 'y', cnf_co(11));
  step(T38_MGT__EVT_T38_SET_CONFIG_CO, ENT_T38, 'y', cnf_co(10));
  step(T38_MGT__EVT_SM_SET_CONFIG_CO, ENT_SM, 'c', ok3(ENT_IP));
  step(T38_MGT__EVT_T38_ACT_CO, ENT_T38, 'e', {2, 0, 'J'});
  step(T38_MGT__EVT_T38_DEA_IN, ENT_T38, 'I', dea(3, 3));
  const t38_mgt__ctx& c = t38_mgt__get_ctx(NAI);
  EXPECT_EQ(state(), T38_MGT__SOCKET_RESET_CNF__UDP);
  EXPECT_EQ(c.result.status, 3);
  EXPECT_STREQ(c.result.cause_text, "(T38__MSG_ERR__IFP_ERROR) Error while IFP packet is built (ASN.1 encoding)");
  EXPECT_EQ(foip_stat__dea_nok(), 1u);
  EXPECT_EQ(c.stats_displayed, 1);
  EXPECT_NE(foip_stat__t38_dea_codes_text().find("Ret_code: (3) (T38__MSG_ERR__IFP_ERROR)"), std::string::npos);
}

// Event reports of TCF and page lengths feed the statistics; a modulation
// outside the table changes nothing.
TEST_F(T38Mgt, LengthReportsFeedTheStatistics) {
  auto len_report = [](u32 bit, u8 kind, u8 modulation, u32 len) {
    std::vector<u8> b(8 + T38__EVENT_RECORD_SIZE, 0);
    b[0] = 'E';
    b[1] = 'I';
    std::memcpy(b.data() + 8, &bit, 4);
    b[12] = kind;
    b[13] = modulation;
    std::memcpy(b.data() + 14, &len, 4);
    return b;
  };
  step(T38_MGT__EVT_USR_ACT_RQ);
  step(T38_MGT__EVT_T38_REPORT_IN, ENT_T38, 'R', len_report(FOIP_STAT__TO_IP, 1, 8, 2700));
  step(T38_MGT__EVT_T38_REPORT_IN, ENT_T38, 'R', len_report(FOIP_STAT__TO_IP, 1, 5, 2700));
  step(T38_MGT__EVT_T38_REPORT_IN, ENT_T38, 'R', {'E', 'I', 0});  // short: ignored
  EXPECT_EQ(foip_stat__tcf(FOIP_STAT__TO_IP, 5).cnt, 1u);
  EXPECT_EQ(foip_stat__tcf(FOIP_STAT__TO_IP, 5).cnt_not_good, 0);
  EXPECT_EQ(state(), T38_MGT__T38_COMMON_CNF);
}

// Every cell of both tables with an empty or truncated message: no crash,
// a known state afterwards, and every return to IDLE notified once.
TEST_F(T38Mgt, EveryCellSurvivesEmptyAndTruncatedMessages) {
  for (u8 transport : {u8{'U'}, u8{'T'}}) {
    const u8 nb_states = transport == 'U' ? T38_MGT__UDP_NB_STATES : T38_MGT__TCP_NB_STATES;
    const u8 nb_events = transport == 'U' ? 14 : 19;
    for (const std::vector<u8>& body : {std::vector<u8>{}, std::vector<u8>{2}, std::vector<u8>{3, 1}}) {
      for (u8 st = 0; st < nb_states; ++st) {
        for (u8 ev = 1; ev < nb_events; ++ev) {
          t38_mgt__glb_init();
          step(T38_MGT__EVT_USR_ACT_RQ, 0, 0, {}, 0, transport, 'O');
          t38_mgt__get_ctx(NAI).state = st;
          rec().clear();
          const u8 r = step(ev, ENT_IP, 'x', body, 0, transport, 'O');
          EXPECT_TRUE(r == 2 || r == 3);
          EXPECT_LT(state(), nb_states) << int(st) << "/" << int(ev);
          const std::string notices = sent_to(ENT_FOIP);
          if (st != T38_MGT__IDLE && state() == T38_MGT__IDLE) {
            EXPECT_TRUE(notices == "U" || notices == "V") << int(st) << "/" << int(ev) << " " << notices;
          }
        }
      }
    }
  }
}

// TCF statistics at the bounds.
TEST(FoipStats, TcfDeviationsAndUnknownModulations) {
  foip_stat__init();
  foip_stat__update_tcf_pg_len(1, 0, FOIP_STAT__FROM_IP, 450);  // exact
  foip_stat__update_tcf_pg_len(1, 0, FOIP_STAT__FROM_IP, 496);  // above 495
  foip_stat__update_tcf_pg_len(1, 0, FOIP_STAT__FROM_IP, 404);  // below 405
  foip_stat__update_tcf_pg_len(1, 5, FOIP_STAT__FROM_IP, 1);    // not counted
  foip_stat__update_tcf_pg_len(1, 0, 1, 1);                     // unknown direction
  const foip_stat__tcf_row& r = foip_stat__tcf(FOIP_STAT__FROM_IP, 0);
  EXPECT_EQ(r.cnt, 3u);
  EXPECT_EQ(r.cnt_not_good, 2);
  EXPECT_EQ(r.cnt_above, 1);
  EXPECT_EQ(r.cnt_below, 1);
  EXPECT_EQ(r.max_len, 496u);
  EXPECT_EQ(r.min_len, 404u);
  const std::string t = foip_stat__tcf_len_text();
  EXPECT_NE(t.find("   Direction: From IP\n"), std::string::npos);
  EXPECT_EQ(t.find("To IP"), std::string::npos);
  EXPECT_NE(t.find("Drate: 2400  Good len: 450  +10%: 495  -10%: 405  (cnt 3)"), std::string::npos);
  EXPECT_EQ(foip_stat__find_counter(77, FOIP_STAT__LIST_V25).code, 0xFFFF);
  ++foip_stat__find_counter(77, FOIP_STAT__LIST_V25).counter;
  EXPECT_EQ(foip_stat__find_counter(78, FOIP_STAT__LIST_V25).counter, 1u);
  ++foip_stat__find_counter(98, FOIP_STAT__LIST_V25).counter;
  const std::string rc = foip_stat__fax_ret_codes_text();
  EXPECT_NE(rc.find("       - Counter:    1  Ret_code: (98) (ACURC_BUSY) busy\n"), std::string::npos);
  EXPECT_NE(rc.find("       - Counter:    1  Ret_code: (65535) unknown\n"), std::string::npos);
  EXPECT_EQ(rc.find("CFF_"), std::string::npos);
}

}  // namespace

// The event lines of T38__REPORT_IN, T.30 frames with their facts included.
TEST(T38MgtEventLines, EveryKindOfEventGivesItsLineAndLetter) {
  struct line_case {
    u32 bit;
    std::vector<u8> record;  // after the event kind
    std::string line;
    char letter;
  };
  std::vector<u8> csi{64};
  for (char ch : std::string("+33 1 23 45 67 89   ")) csi.push_back(static_cast<u8>(ch));
  const std::string t30 = "\n(nai   5)     1500ms T.38iaf T.30 Evt: T30_FROM_IP ";
  const std::string frame = t30.substr(0, 60) + "        T.30 Frame: ";
  const std::vector<line_case> cases{
      {0x10, csi, frame + "CSI [+33 1 23 45 67 89   ]", '3'},
      {0x10, {130, 8, 1, 0, 1, 0, 1}, frame + "DCS [Drate = V.17 14400 bps  ECM (256)  T.4 Mono  Remote: IAF]", '3'},
      {0x10, {130, 1, 0, 0, 0, 1, 0}, frame + "DCS [Drate = V.29 9600 bps  NO ECM  T.4 Bi]", '3'},
      {0x10, {128, 11, 11, 0, 0}, frame + "DIS [modulation: V.27ter / V.29 / V.17]", '3'},
      {0x10,
       {128, 11, 3, 1, 0},
       frame + "DIS [Mdm:V.27ter / V.29 / V.17 Upd:V.27ter / V.29  Remote: IAF Upd: Not IAF]",
       '3'},
      {0x10, {18, 3}, frame + "CTC [Drate = V.29 7200 bps]", '3'},
      {0x10, {140}, frame + "MCF", '3'},
      {0x10, {7}, frame + "Unknown", '3'},
      {0x800,
       {2, 0, 8, 0, 0x80, 0x38, 0x01, 0},
       "\n(nai   5)     1500ms T.38iaf T.30 Evt: PG_TO_IP            (#2) "
       "V.17 14400 (IP drate: 80000bps)",
       'P'},
      {0x400, {1, 0, 1}, "\n(nai   5)     1500ms T.38iaf T.30 Evt: PG_FROM_IP          (#1) V.29 9600", 'P'},
      {0x20000,
       {7, 1, 0, 0, 0x9C, 0xFF, 0x5A, 0},
       "\n(nai   5)     1500ms T.38iaf T.30 Evt: DEMOD_INFO          (QAM) "
       "Rcv lvl= -100 dBm/10  SNR= 90 dB/10",
       'd'},
      {0x200000, {0}, "\n(nai   5) WARNING RX HW CALIBRATION IS RUNNING", 'r'},
      {0x200000, {1, 0, 42, 0}, "\n(nai   5) RMS clibration value: 42   Time: 1500ms\n", 'r'},
      {0x400000, {}, "\n(nai   5) WARNING TX HW CALIBRATION IS RUNNING", 'w'},
      {0x80000000, {}, "\n(nai   5)     1500ms T.38iaf T.30 Evt: Unknown", ' '},
  };
  for (const line_case& c : cases) {
    std::vector<u8> body(8 + T38__EVENT_RECORD_SIZE, 0);
    body[0] = 'E';
    body[1] = 'I';
    const u32 ms = 1500;
    std::memcpy(body.data() + 4, &ms, 4);
    std::memcpy(body.data() + 8, &c.bit, 4);
    std::copy(c.record.begin(), c.record.end(), body.begin() + 12);
    char letter = 0;
    EXPECT_EQ(t38_mgt__event_line(5, body.data(), &letter), c.line) << std::hex << c.bit;
    EXPECT_EQ(letter, c.letter) << std::hex << c.bit;
  }
}
