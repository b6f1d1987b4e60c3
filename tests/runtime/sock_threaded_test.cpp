// The socket entity behind the real ENT_SM, with the runtime's own SM and
// timer threads: configuration through the relay, data, and a stop while
// the receive thread and a resolver run.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <optional>
#include <thread>

#include "gtest/gtest.h"
#include "platform/socket.h"
#include "runtime/sm.h"
#include "runtime/sock.h"
#include "runtime/sock_config.h"
#include "runtime/support/rt_harness.h"

namespace {

using rt_test::seen_msg;

constexpr ent_id_t REQUESTER = ENT_FOIP;

const entity_table_row_t TABLE[] = {
    SM_ENTITY_ROW,
    {REQUESTER, rt_test::record_handler, 0, 0, nullptr, 0},
    IP_ENTITY_ROW,
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

std::optional<seen_msg> wait_code(code_t code, size_t skip = 0, unsigned ms = 10000) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    size_t seen = 0;
    for (const seen_msg& m : rt_test::rec().messages()) {
      if (m.code == code && seen++ == skip) return m;
    }
    if (std::chrono::steady_clock::now() > end) return std::nullopt;
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
}

sock_config_entry udp_entry(u16 port) {
  sock_config_entry e;
  e.sapi = 1;
  e.nai = 3;
  e.address_count = 1;
  e.address[0] = 127;
  e.address[3] = 1;
  e.bind_address = 1;
  e.port = port;
  e.kind = SOCK_KIND_UDP;
  e.control_entity = REQUESTER;
  e.data_entity = REQUESTER;
  e.state = 's';
  return e;
}

void relay_config(const sock_config_entry& e) {
  auto body = sock_config_body(0, {e});
  msg_t* m = rt_test::make_msg(REQUESTER, ENT_SM, SM_CONFIG_RQ, body, 3, 0);
  m->sapi = 1;
  Sm_set_target(m, ENT_IP);
  Send_msg(m);
}

class SockThreadedTest : public ::testing::Test {
 protected:
  void SetUp() override { rt_test::start_threaded(TABLE); }
  void TearDown() override { rt_test::stop(); }
};

TEST_F(SockThreadedTest, ConfigurationThroughTheRelayAndAPortInUse) {
  relay_config(udp_entry(0));
  auto co = wait_code(SM_CONFIG_CO);
  ASSERT_TRUE(co);
  EXPECT_EQ(co->to, REQUESTER);
  EXPECT_EQ(co->data, (std::vector<u8>{OM_OS_OK, 0, ENT_IP}));

  // The same port again, on another key: the bind fails with "address in use".
  int holder = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa{};
  sa.sin_family = AF_INET;
  sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(bind(holder, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
  socklen_t len = sizeof sa;
  getsockname(holder, reinterpret_cast<sockaddr*>(&sa), &len);
  auto e = udp_entry(ntohs(sa.sin_port));
  e.nai = 4;
  relay_config(e);
  auto co2 = wait_code(SM_CONFIG_CO, 1);
  ASSERT_TRUE(co2);
  EXPECT_EQ(co2->data, (std::vector<u8>{OM_OS_NOK, SOCK_CFG_ERR_BIND, static_cast<u8>(PLAT_WSAEADDRINUSE)}));

  close(holder);
}

TEST_F(SockThreadedTest, StopEndsTheReceiveThreadAndWaitsForResolvers) {
  relay_config(udp_entry(0));
  ASSERT_TRUE(wait_code(SM_CONFIG_CO));
  std::vector<u8> rq = {1, 0, 0, 0};
  const char* name = "localhost";
  rq.insert(rq.end(), name, name + std::strlen(name) + 1);
  msg_t* m = rt_test::make_msg(REQUESTER, ENT_IP, SOCK_DNS_RQ, rq, 3, 0);
  Send_msg(m);
  // Stopping right away: the resolver is waited for (or left to end on its
  // own), the receive thread ends and every socket is closed.
  const auto t0 = std::chrono::steady_clock::now();
  rt_test::stop();
  EXPECT_LT(std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count(),
            15000);
  // The runtime starts again with a clean entity.
  rt_test::start_threaded(TABLE);
  relay_config(udp_entry(0));
  auto co = wait_code(SM_CONFIG_CO);
  ASSERT_TRUE(co);
  EXPECT_EQ(co->data[0], OM_OS_OK);
  EXPECT_EQ(ip_socket_count(), 1u);
}

}  // namespace
