// Two of our stacks on real UDP sockets of 127.0.0.1 and the real clock:
// the T.30 engine, the fax modem layer, the T.38 entity and the socket
// entity carry a one-page fax from one session to the other. Bounded: the
// call takes about ten seconds and the wait ends after sixty.
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "fax/fm.h"
#include "fax/support/fax_test_pages.h"
#include "fax/support/fm_t38_loop.h"
#include "fax/t30_cause.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "runtime/sock.h"
#include "runtime/sock_config.h"
#include "runtime/support/rt_harness.h"
#include "runtime/timer.h"
#include "t38/t38_entity.h"

namespace fm_test {
namespace {

using namespace kv::t38;

void mt30_recorder(msg_t* m) { rt_test::record_handler(m); }

const entity_table_row_t kTable[] = {
    {ENT_SM, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_FOIP, rt_test::record_handler, 0, 0, nullptr, 0},
    IP_ENTITY_ROW,
    T38_ENTITY_ROW,
    {ENT_T30, t30_entity_handler, 0, 0, nullptr, 0},
    {ENT_FM, fm_entity_handler, 0, 0, nullptr, 0},
    {ENT_MFM, mfm_entity_handler, 0, 0, nullptr, 0},
    {ENT_CF, t30_test::fake_users::handler, 0, 0, nullptr, 0},
    {ENT_MT30, mt30_recorder, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

class FmLoopback : public ::testing::Test {
 protected:
  void SetUp() override {
    rt_test::start_manual(kTable);
    t30_test::fake_users::get().reset();
    t38_set_iaf_port(&iaf);
    ASSERT_EQ(t38_request(T38__SET_CONFIG_RQ, t38__common_body(3000), 0).size(), 8u);
    for (nai_t n : {kCaller, kAnswerer}) ASSERT_TRUE(udp_socket(n));
    const u16 p1 = ip_socket_port(1, kCaller, 0), p2 = ip_socket_port(1, kAnswerer, 0);
    auto co = t38_request(T38__SET_CONFIG_RQ, t38__session_body({iaf_entry(kCaller, p2), iaf_entry(kAnswerer, p1)}), 0);
    ASSERT_GE(co.size(), 2u);
    ASSERT_EQ(co[0], 2) << "cause " << int(co[1]);
    for (nai_t n : {kCaller, kAnswerer}) ASSERT_EQ(t38_request(T38__ACT_RQ, {}, n), (std::vector<u8>{2, 0, 'J'}));
    start_fax_layers();
    for (nai_t n : {kCaller, kAnswerer}) ASSERT_EQ(t30_test::configure_channel(n, 4, ENT_T38), OM_OS_OK);
  }
  void TearDown() override {
    t30_release_all();
    fm_release_all();
    rt_test::stop();
    t38_set_iaf_port(nullptr);
    t30_test::fake_users::get().reset();
  }

  bool udp_socket(nai_t nai) {
    sock_config_entry e;
    e.sapi = 1;
    e.nai = nai;
    e.conn_id = 0;
    e.address_count = 1;
    e.address[0] = 127;
    e.address[3] = 1;
    e.bind_address = 1;
    e.kind = SOCK_KIND_UDP;
    e.control_entity = ENT_FOIP;
    e.data_entity = ENT_T38;
    e.state = 's';
    e.receive_size = 2000;
    rt_test::rec().clear();
    msg_t* m =
        rt_test::make_msg(ENT_SM, ENT_IP, SM_CONFIG_RQ, sock_config_body(0, {e}), OM_OS_NAI_NONE, OM_OS_CONN_NONE);
    Sm_set_target(m, ENT_IP);
    Send_msg(m);
    return pump_until(
               [&] {
                 for (const auto& s : rt_test::rec().messages())
                   if (s.code == SM_CONFIG_CO) return true;
                 return false;
               },
               5000) &&
           ip_socket_port(1, nai, 0) != 0;
  }
  bool pump_until(const std::function<bool()>& done, unsigned ms) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    for (;;) {
      rt_test::pump();
      om_os_timer_poll();
      rt_test::pump();
      if (done()) return true;
      if (std::chrono::steady_clock::now() > end) return false;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  t30_test::fake_user& user(nai_t n) { return t30_test::fake_users::get()[n]; }

  t38iaf_service iaf;
};

TEST_F(FmLoopback, OnePageOverUdpOnLoopback) {
  const fax_test::page page = fax_test::make_page(fax_test::kind::text, 1728, 40, 51);
  t30_test::fake_user& c = user(kCaller);
  c.sender = true;
  c.fields = t30_test::user_fields(false);
  c.selection = {T30_RES_FINE, T30_CODING_MH, T30_WIDTH_A4};
  c.fields.resolution = T30_RES_FINE;
  c.fields.coding = T30_CODING_MH;
  c.fields.width = T30_WIDTH_A4;
  c.to_send.push_back({fax_test::encode(page, 1)});
  t30_test::fake_user& a = user(kAnswerer);
  a.fields = t30_test::user_fields(false);
  a.fields.service = T30_SVC_TRANSMIT;
  t30_test::connect(kAnswerer, 1);
  t30_test::connect(kCaller, 2);
  ASSERT_TRUE(pump_until([&] { return c.disconnected && a.disconnected; }, 60000));
  EXPECT_EQ(c.cause, WT3C | WLOCDCOK);
  EXPECT_EQ(a.cause, WT3C | WREMDCOK);
  ASSERT_EQ(a.received.size(), 1u);
  const fax_test::decoded d = fax_test::decode(a.received[0], 1, 1728);
  EXPECT_EQ(d.error_lines, 0u);
  EXPECT_TRUE(d.pg == page) << fax_test::describe_difference(page, d.pg);
}

}  // namespace
}  // namespace fm_test
