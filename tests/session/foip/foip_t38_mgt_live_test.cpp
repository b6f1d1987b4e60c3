// The T.38 session management against the real entities behind it: ENT_FOIP
// with its session control, the real ENT_SM relay, the T.38 entity with its
// IAF service and the socket entity on loopback, on the real clock.  Only the
// SIP side (a stand-in that writes the peer's media and opens the call) and
// the fax side (scripted) are fakes.  A UDPTL session is configured,
// activated and taken down again, leaving no T.38 session, and an outgoing
// TPKT session connects to a loopback listener, runs and is taken down.
// Incoming TPKT (the automaton driven by a relaying ENT_FOIP): a connection
// from the negotiated peer address, from a source port other than the SDP
// port, is taken and runs; one from another address is refused.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "runtime/sm.h"
#include "runtime/sock.h"
#include "runtime/support/rt_harness.h"
#include "runtime/timer.h"
#include "session/foip/foip.h"
#include "session/foip/foip_ctx.h"
#include "session/foip/foip_t38_mgt.h"
#include "session/config/support/cfg_test_support.h"
#include "session/foip/support/foip_test_support.h"
#include "t38/t38_entity.h"
#include "t38/t38iaf.h"

namespace {

using namespace rt_test;

const entity_table_row_t TABLE[] = {
    SM_ENTITY_ROW,
    {ENT_APP_FOIP, record_handler, 0, 0, nullptr, 0},
    FOIP_ENTITY_ROW,
    IP_ENTITY_ROW,
    kv::t38::T38_ENTITY_ROW,
    {ENT_SSC, record_handler, 0, 0, nullptr, 0},
    {ENT_FAX, record_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

u16 g_peer_port = 0;

void ssc_hook(foip__na_ctx* s, u8 event) {
  if (s && event == SSC_MGT__EVT_OPEN_CALL) {
    t38_mgt__remote_media r;
    r.ipv4[0] = 127, r.ipv4[3] = 1;
    r.port = g_peer_port;
    r.udp_caps = kv::t38::t38__default_capabilities();
    r.tcp_caps = kv::t38::t38__default_capabilities();
    t38_mgt__set_remote_media(foip__session_nai(s), r);
  }
  foip_test::sip_side_at_once(s, event);
}

sockaddr_in loop_addr(u16 port) {
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  sa.sin_port = htons(port);
  return sa;
}
u16 port_of(int fd) {
  sockaddr_in sa{};
  socklen_t len = sizeof sa;
  getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
  return ntohs(sa.sin_port);
}

// Runs the entities and the real clock's timers until `pred` holds (true)
// or `ms` have passed (false).
bool pump_until(const std::function<bool()>& pred, unsigned ms = 5000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  while (std::chrono::steady_clock::now() < end) {
    om_os_timer_poll();
    pump();
    if (pred()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return false;
}

class T38MgtLive : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::make_unique<cfg_test::temp_dir>();
    page_ = dir_->path() + "/page.tif";
    ASSERT_TRUE(foip_test::write_tiff(page_, 200, 200));
    foip__layer_hooks h;
    h.ssc_mgt__automaton = ssc_hook;
    h.t38_mgt__automaton = t38_mgt__hook;
    h.fax_mgt__automaton = foip_test::fax_side_at_once;
    h.release_session = t38_mgt__release_session;
    foip__set_layer_hooks(h);
    start_manual(TABLE);
    kv::t38::t38_set_iaf_port(&iaf_);
    pump();
    t38_mgt__glb_init();
    foip__global_param g;
    foip_test::global_param(g, 1);
    ASSERT_EQ(foip_api__send_set_config_rq(g), FOIP_API__OK);
    ASSERT_TRUE(pump_until([] { return foip__is_configured(); }));
  }
  void TearDown() override {
    foip_entity_stop();
    t38_mgt__glb_init();
    stop();
    kv::t38::t38_set_iaf_port(nullptr);
    foip__set_layer_hooks({});
    if (peer_ >= 0) close(peer_);
  }
  void start_session(u8 transport) {
    foip__session_param p;
    foip_test::outgoing_param(p, 1, dir_->path(), page_);
    p.session_general_param.kind_of_t38_transport = transport;
    auto& local = p.t38_media_add_param.local_media_add.local_media_ip_addr;
    local.ip_addr.ip_family = OM_IP_FAMILY_V4;
    const u8 lo[4] = {127, 0, 0, 1};
    std::memcpy(local.ip_addr.addr.v4.addr, lo, 4);
    // A port free now, for both transports.
    const int probe = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa = loop_addr(0);
    ASSERT_EQ(bind(probe, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    local.ip_port = port_of(probe);
    close(probe);
    p.t38_media_add_param.local_media_add.upd_local_media_port_rules = 1;
    ASSERT_EQ(foip_api__send_start_rq(1, p), FOIP_API__OK);
  }
  u8 t38_state() { return t38_mgt__get_ctx(1).state; }
  std::string dump() {
    std::string out;
    const t38_mgt__ctx& c = t38_mgt__get_ctx(1);
    out += " err " + std::to_string(c.error_source) + "/" + std::to_string(c.error_code);
    out += " foip " + std::to_string(foip__session_state(1));
    for (const seen_msg& m : rec().messages()) {
      out += " ";
      out += static_cast<char>(m.to);
      out += static_cast<char>(m.code);
      if (m.code == FOIP__START_CO && m.data.size() > 3)
        out +=
            "(" + std::to_string(m.data[0]) + "," + std::to_string(m.data[2]) + "," + std::to_string(m.data[1]) + ")";
    }
    return out;
  }

  kv::t38::t38iaf_service iaf_;
  int peer_ = -1;
  std::unique_ptr<cfg_test::temp_dir> dir_;
  std::string page_;
};

TEST_F(T38MgtLive, UdptlSessionOpensAndClosesThroughTheRealEntities) {
  peer_ = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa = loop_addr(0);
  ASSERT_EQ(bind(peer_, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  g_peer_port = port_of(peer_);
  start_session('U');
  ASSERT_TRUE(pump_until([&] { return t38_state() == T38_MGT__T38_SESSION_RUNNING__UDP; }))
      << "state " << int(t38_state()) << dump();
  EXPECT_EQ(kv::t38::t38__session_count(), 1);
  EXPECT_EQ(foip__session_state(1), FOIP_MGT__RUNNING);
  ASSERT_EQ(foip_api__send_stop_rq(1), FOIP_API__OK);
  ASSERT_TRUE(pump_until([] { return foip__session_state(1) == 0xFF; }));
  EXPECT_EQ(kv::t38::t38__session_count(), 0);
}

TEST_F(T38MgtLive, TpktOutgoingSessionConnectsToThePeer) {
  peer_ = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa = loop_addr(0);
  ASSERT_EQ(bind(peer_, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  ASSERT_EQ(listen(peer_, 1), 0);
  g_peer_port = port_of(peer_);
  start_session('T');
  ASSERT_TRUE(pump_until([&] { return t38_state() == T38_MGT__T38_SESSION_RUNNING__TCP; }))
      << "state " << int(t38_state());
  const int conn = accept(peer_, nullptr, nullptr);
  EXPECT_GE(conn, 0);
  ASSERT_EQ(foip_api__send_stop_rq(1), FOIP_API__OK);
  ASSERT_TRUE(pump_until([] { return foip__session_state(1) == 0xFF; }));
  EXPECT_EQ(kv::t38::t38__session_count(), 0);
  if (conn >= 0) close(conn);
}

// ---------------------------------------------------------------------------
// Incoming TPKT: ENT_FOIP relays what it receives to the automaton.

foip__na_ctx* g_in = nullptr;

u8 event_of(const msg_t* m) {
  struct ev_row {
    ent_id_t from;
    code_t code;
    u8 event;
  };
  static constexpr ev_row kRows[] = {
      {ENT_T38, 'y', T38_MGT__EVT_T38_SET_CONFIG_CO}, {ENT_T38, 'e', T38_MGT__EVT_T38_ACT_CO},
      {ENT_T38, 's', T38_MGT__EVT_T38_DEA_CO},        {ENT_T38, 'z', T38_MGT__EVT_T38_RESET_CONFIG_CO},
      {ENT_T38, 'I', T38_MGT__EVT_T38_DEA_IN},        {ENT_T38, 'R', T38_MGT__EVT_T38_REPORT_IN},
      {ENT_SM, 'c', T38_MGT__EVT_SM_SET_CONFIG_CO},   {ENT_SM, 'd', T38_MGT__EVT_SM_RESET_CONFIG_CO},
  };
  for (const ev_row& r : kRows)
    if (r.from == m->from && r.code == m->code) return r.event;
  if (m->from == ENT_IP || m->from == ENT_PH_IT) {
    switch (m->code) {
      case SOCK_LISTEN_CO: return T38_MGT__EVT_SOCK_START_LISTEN_CO;
      case SOCK_EST_CO: return T38_MGT__EVT_SOCK_EST_CO;
      case SOCK_EST_IN: return T38_MGT__EVT_SOCK_EST_IN;
      case SOCK_REL_IN: return T38_MGT__EVT_SOCK_REL_IN;
      case SOCK_REL_CO: return T38_MGT__EVT_SOCK_REL_CO;
      default: break;
    }
  }
  if (m->from == ENT_TI && m->code == FOIP__TI_T38_DLY) return T38_MGT__EVT_TI_T38_GENERAL_DELAY;
  return 0xFF;
}

void foip_relay(msg_t* m) {
  rec().add(describe(m));
  const u8 ev = event_of(m);
  if (ev != 0xFF && g_in) {
    foip__glb().cur_msg = m;
    (void)t38_mgt__automaton(ev, 0, 0, g_in);
    m = foip__glb().cur_msg;
    foip__glb().cur_msg = nullptr;
  }
  Free_msg(m);
}

const entity_table_row_t RELAY_TABLE[] = {
    SM_ENTITY_ROW,           {ENT_FOIP, foip_relay, 0, 0, nullptr, 0},         IP_ENTITY_ROW,
    kv::t38::T38_ENTITY_ROW, {ENT_APP_FOIP, record_handler, 0, 0, nullptr, 0}, {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

class T38MgtIncoming : public ::testing::Test {
 protected:
  void SetUp() override {
    start_manual(RELAY_TABLE);
    kv::t38::t38_set_iaf_port(&iaf_);
    pump();
    t38_mgt__glb_init();
    s_.nai = 1;
    s_.kind_of_session = 'I';
    const int probe = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa = loop_addr(0);
    bind(probe, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
    s_.tpkt_port = port_of(probe);
    close(probe);
    auto& local = s_.param.t38_media_add_param.local_media_add.local_media_ip_addr.ip_addr;
    local.ip_family = OM_IP_FAMILY_V4;
    local.addr.v4.addr[0] = 127, local.addr.v4.addr[3] = 1;
    s_.ti_t38.cell = Timer_alloc(ENT_FOIP, 1, FOIP__SAPI, FOIP__CONN_NONE);
    t38_mgt__remote_media r;
    r.ipv4[0] = 127, r.ipv4[3] = 1;
    r.port = 9;  // the SDP port: the peer connects from another one
    r.tcp_caps = kv::t38::t38__default_capabilities();
    t38_mgt__set_remote_media(1, r);
    g_in = &s_;
  }
  void TearDown() override {
    if (client_ >= 0) close(client_);
    g_in = nullptr;
    Timer_free(s_.ti_t38.cell);
    t38_mgt__glb_init();
    stop();
    kv::t38::t38_set_iaf_port(nullptr);
  }
  u8 state() { return t38_mgt__get_ctx(1).state; }
  void connect_from(u8 last_octet) {
    client_ = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in from = loop_addr(0);
    from.sin_addr.s_addr = htonl(0x7F000000u | last_octet);
    ASSERT_EQ(bind(client_, reinterpret_cast<sockaddr*>(&from), sizeof from), 0);
    sockaddr_in to = loop_addr(s_.tpkt_port);
    ASSERT_EQ(connect(client_, reinterpret_cast<sockaddr*>(&to), sizeof to), 0);
  }
  std::string notices() {
    std::string out;
    for (const seen_msg& m : rec().messages())
      if (m.to == ENT_FOIP && m.from == ENT_FOIP) out += static_cast<char>(m.code);
    return out;
  }

  kv::t38::t38iaf_service iaf_;
  foip__na_ctx s_{};
  int client_ = -1;
};

TEST_F(T38MgtIncoming, ConnectionFromThePeerAddressRunsFromAnyPort) {
  ASSERT_EQ(t38_mgt__automaton(T38_MGT__EVT_USR_ACT_RQ, 'T', 'I', &s_), 2);
  ASSERT_TRUE(pump_until([&] { return state() == T38_MGT__WAIT_ESTABLISHMENT__TCP; })) << int(state());
  connect_from(1);
  ASSERT_TRUE(pump_until([&] { return state() == T38_MGT__T38_SESSION_RUNNING__TCP; })) << int(state());
  EXPECT_NE(t38_mgt__get_ctx(1).sock_conn_id, 0);
  EXPECT_EQ(notices(), "U");
  (void)t38_mgt__automaton(T38_MGT__EVT_USR_DEA_RQ, 0, 0, &s_);
  ASSERT_TRUE(pump_until([&] { return state() == T38_MGT__IDLE; })) << int(state());
  EXPECT_EQ(notices(), "UV");
  EXPECT_EQ(kv::t38::t38__session_count(), 0);
}

TEST_F(T38MgtIncoming, ConnectionFromAnotherAddressIsRefused) {
  ASSERT_EQ(t38_mgt__automaton(T38_MGT__EVT_USR_ACT_RQ, 'T', 'I', &s_), 2);
  ASSERT_TRUE(pump_until([&] { return state() == T38_MGT__WAIT_ESTABLISHMENT__TCP; })) << int(state());
  connect_from(2);
  ASSERT_TRUE(pump_until([&] { return state() == T38_MGT__IDLE; })) << int(state());
  EXPECT_EQ(t38_mgt__get_ctx(1).error_source, FOIP__START_ERR_SRC__SOCKET_EST_IN);
  EXPECT_EQ(notices(), "U");
}

}  // namespace
