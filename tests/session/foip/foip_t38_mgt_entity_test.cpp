// The T.38 session management plugged into the real ENT_FOIP: a session
// started and stopped through the FOIP API runs the whole T.38 set-up and
// teardown against answering fake ENT_T38 and ENT_SM, with a scripted SIP
// side and fax side; a refused activation, and a media socket the socket
// entity cannot configure (its port taken by another program), reach the
// user as the start's failure with its source and cause, and the session is
// released.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/socket.h"
#include "runtime/sm.h"
#include "runtime/sock.h"
#include "runtime/timer.h"
#include "runtime/support/rt_harness.h"
#include "session/foip/foip.h"
#include "session/foip/foip_ctx.h"
#include "session/foip/foip_t38_mgt.h"
#include "session/config/support/cfg_test_support.h"
#include "session/foip/support/foip_test_support.h"
#include "t38/t38_entity.h"

namespace {

using namespace rt_test;
using foip_test::confirms;
using namespace kv::t38;

u8 g_act_status = 2;  // status the fake T.38 entity gives T38__ACT_RQ
// The answer the fake ENT_SM relays to the media socket's configuration.
std::vector<u8> g_socket_answer = {2, 0, ENT_IP};

void answer(msg_t* m, code_t code, std::vector<u8> body) {
  msg_t* a = make_msg(m->to, ENT_FOIP, code, body, m->nai, m->conn_id);
  Send_msg(a);
}

void fake_t38(msg_t* m) {
  rec().add(describe(m));
  switch (m->code) {
    case T38__CAPABILITIES_RQ: {
      std::vector<u8> b(T38__CAPABILITIES_CO_SIZE, 0);
      b[0] = 2, b[2] = 'J';
      answer(m, T38__CAPABILITIES_CO, b);
      break;
    }
    case T38__SET_CONFIG_RQ: {
      const u8 kind = Msg_total_size(m) > 3 ? Msg_data(m)[3] : 0;
      answer(m, T38__SET_CONFIG_CO, {2, 0, 'J', kind});
      break;
    }
    case T38__ACT_RQ: answer(m, 'e', {g_act_status, 9, 'J'}); break;
    case T38__DEA_RQ: {
      std::vector<u8> b(T38__DEA_IN_SIZE, 0);
      b[0] = 2, b[2] = 'J';
      answer(m, 's', b);
      break;
    }
    case T38__RESET_CONFIG_RQ: answer(m, 'z', {2, 'J', 0}); break;
    default: break;
  }
  Free_msg(m);
}

void fake_sm(msg_t* m) {
  rec().add(describe(m));
  if (m->code == SM_CONFIG_RQ) answer(m, SM_CONFIG_CO, g_socket_answer);
  if (m->code == SM_RST_CFG_RQ) answer(m, SM_RST_CFG_CO, {2, 0, ENT_IP});
  Free_msg(m);
}

const entity_table_row_t TABLE[] = {
    {ENT_APP_FOIP, record_handler, 0, 0, nullptr, 0},
    FOIP_ENTITY_ROW,
    {ENT_T38, fake_t38, 0, 0, nullptr, 0},
    {ENT_SM, fake_sm, 0, 0, nullptr, 0},
    {ENT_IP, record_handler, 0, 0, nullptr, 0},
    {ENT_SSC, record_handler, 0, 0, nullptr, 0},
    {ENT_FAX, record_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

// The call side writes the peer's media from the SDP answer, then opens.
void ssc_hook(foip__na_ctx* s, u8 event) {
  if (s && event == SSC_MGT__EVT_OPEN_CALL) {
    t38_mgt__remote_media r;
    r.ipv4[0] = 127, r.ipv4[3] = 1;
    r.port = 6002;
    r.udp_caps.max_datagram_size = 200;
    t38_mgt__set_remote_media(foip__session_nai(s), r);
  }
  foip_test::sip_side_at_once(s, event);
}

class T38MgtEntity : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::make_unique<cfg_test::temp_dir>();
    page_ = dir_->path() + "/page.tif";
    ASSERT_TRUE(foip_test::write_tiff(page_, 200, 200));
    g_act_status = 2;
    g_socket_answer = {2, 0, ENT_IP};
    foip__layer_hooks h;
    h.ssc_mgt__automaton = ssc_hook;
    h.t38_mgt__automaton = t38_mgt__hook;
    h.fax_mgt__automaton = foip_test::fax_side_at_once;
    h.release_session = t38_mgt__release_session;
    foip__set_layer_hooks(h);
    use_virtual_clock(1000);
    start_manual(TABLE);
    pump();
    t38_mgt__glb_init();
    foip__global_param g;
    foip_test::global_param(g, 1);
    ASSERT_EQ(foip_api__send_set_config_rq(g), FOIP_API__OK);
    pump();
    ASSERT_TRUE(foip__is_configured());
    rec().clear();
  }
  void TearDown() override {
    foip_entity_stop();
    t38_mgt__glb_init();
    stop();
    foip__set_layer_hooks({});
  }
  // Lets virtual time pass (start delay, launch delay, admission tick).
  void run_for(u32 ms) {
    for (u32 i = 0; i < ms; i += 10) {
      advance_clock(10);
      om_os_timer_poll();
      pump();
    }
  }
  std::string t38_codes() {
    std::string out;
    for (const seen_msg& m : rec().messages())
      if (m.to == ENT_T38) out += static_cast<char>(m.code);
    return out;
  }

  std::unique_ptr<cfg_test::temp_dir> dir_;
  std::string page_;
};

TEST_F(T38MgtEntity, SessionRunsTheT38SetUpAndTeardown) {
  foip__session_param p;
  foip_test::outgoing_param(p, 1, dir_->path(), page_);
  ASSERT_EQ(foip_api__send_start_rq(1, p), FOIP_API__OK);
  run_for(3000);
  auto st = confirms(FOIP__START_CO);
  ASSERT_EQ(st.size(), 1u);
  EXPECT_EQ(st[0].return_code, 2);
  EXPECT_EQ(t38_codes(), "::E");  // common part, session part, activation
  EXPECT_EQ(t38_mgt__get_ctx(1).state, T38_MGT__T38_SESSION_RUNNING__UDP);
  rec().clear();
  ASSERT_EQ(foip_api__send_stop_rq(1), FOIP_API__OK);
  run_for(1000);
  EXPECT_EQ(t38_codes(), "S|");
  EXPECT_EQ(confirms(FOIP__STOP_CO).size(), 1u);
  EXPECT_EQ(foip__session_state(1), 0xFF);  // session released
}

TEST_F(T38MgtEntity, RefusedActivationFailsTheStartWithItsCause) {
  g_act_status = 3;
  foip__session_param p;
  foip_test::outgoing_param(p, 1, dir_->path(), page_);
  ASSERT_EQ(foip_api__send_start_rq(1, p), FOIP_API__OK);
  run_for(3000);
  auto st = confirms(FOIP__START_CO);
  ASSERT_EQ(st.size(), 1u);
  EXPECT_EQ(st[0].return_code, 3);
  EXPECT_EQ(st[0].error_source, FOIP__START_ERR_SRC__T38_ACTIVATE);
  EXPECT_EQ(st[0].error_code, 9);
  EXPECT_EQ(foip__session_state(1), 0xFF);
}

// The socket entity refuses a configuration with {3, error byte 1, error
// byte 2}; the second error byte (the platform's error) stands where the
// answering entity stands in other confirms, and ENT_SM leaves a non-zero
// byte as it is.  Whatever that byte holds, the refusal ends the start.
TEST_F(T38MgtEntity, RefusedMediaSocketFailsTheStartWithItsCause) {
  const struct {
    const char* what;
    std::vector<u8> answer;
  } cases[] = {
      {"port in use", {3, SOCK_CFG_ERR_BIND, static_cast<u8>(PLAT_WSAEADDRINUSE)}},
      {"no second error byte", {3, SOCK_CFG_ERR_BIND, ENT_IP}},
      {"no such address", {3, SOCK_CFG_ERR_BIND, static_cast<u8>(PLAT_WSAEADDRNOTAVAIL)}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    rec().clear();
    g_socket_answer = c.answer;
    foip__session_param p;
    foip_test::outgoing_param(p, 1, dir_->path(), page_);
    ASSERT_EQ(foip_api__send_start_rq(1, p), FOIP_API__OK);
    run_for(3000);
    auto st = confirms(FOIP__START_CO);
    ASSERT_EQ(st.size(), 1u);
    EXPECT_EQ(st[0].return_code, 3);
    EXPECT_EQ(st[0].error_source, FOIP__START_ERR_SRC__SOCKET_CONFIG);
    EXPECT_EQ(st[0].error_code, SOCK_CFG_ERR_BIND);
    EXPECT_EQ(foip__session_state(1), 0xFF);  // session released
    EXPECT_EQ(foip__session_count(), 0u);
  }
}

}  // namespace
