// The T.38 session management against the real entities behind it: ENT_FOIP
// with its session control, the real ENT_SM relay, the T.38 entity with its
// IAF service and the socket entity on loopback, on the real clock.  Only the
// SIP side (a stand-in that writes the peer's media and opens the call) and
// the fax side (scripted) are fakes.  A UDPTL session is configured,
// activated and taken down again, leaving no T.38 session, and an outgoing
// TPKT session connects to a loopback listener, runs and is taken down.
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
#include "session/foip.h"
#include "session/foip_ctx.h"
#include "session/foip_t38_mgt.h"
#include "session/support/cfg_test_support.h"
#include "session/support/foip_test_support.h"
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
  if (event == SSC_MGT__EVT_RESET) {
    foip_cnf__close();
    return;
  }
  if (!s) return;
  const nai_t nai = foip__session_nai(s);
  if (event == SSC_MGT__EVT_OPEN_CALL) {
    t38_mgt__remote_media r;
    r.ipv4[0] = 127, r.ipv4[3] = 1;
    r.port = g_peer_port;
    r.udp_caps = kv::t38::t38__default_capabilities();
    r.tcp_caps = kv::t38::t38__default_capabilities();
    t38_mgt__set_remote_media(nai, r);
    foip__set_sip_call(s, s, true);
    foip__send_mgt(FOIP_MGT__SIP_CALL_OPENED, nai, 2, 1, 0, 0);
  } else if (event == SSC_MGT__EVT_CLOSE_CALL) {
    foip__set_sip_call(s, s, false);
    foip__send_mgt(FOIP_MGT__SIP_CALL_CLOSED, nai, 0, 0, 0, 0);
  }
}
void fax_hook(foip__na_ctx* s, u8 event) {
  const nai_t nai = foip__session_nai(s);
  if (event == FAX_MGT__EVT_USR_ACT_RQ) {
    foip__send_mgt(FOIP_MGT__START_DONE, nai, 0, 0, 0, 0);
    foip__send_mgt(FOIP_MGT__FAX_OPENED, nai, 2, 0, 0, 0);
  }
  if (event == FAX_MGT__EVT_USR_DEA_RQ) foip__send_mgt(FOIP_MGT__FAX_CLOSED, nai, 0, 0, 0, 0);
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

class T38MgtLive : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::make_unique<cfg_test::temp_dir>();
    page_ = dir_->path() + "/page.tif";
    ASSERT_TRUE(foip_test::write_tiff(page_, 200, 200));
    foip__layer_hooks h;
    h.ssc_mgt__automaton = ssc_hook;
    h.t38_mgt__automaton = t38_mgt__hook;
    h.fax_mgt__automaton = fax_hook;
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
        out += "(" + std::to_string(m.data[0]) + "," + std::to_string(m.data[2]) + "," + std::to_string(m.data[1]) + ")";
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

}  // namespace
