// T.38 sessions on real loopback sockets: ENT_T38 and the socket entity
// ENT_IP in manual mode on the real clock, with recording fakes of ENT_SM
// and the user, and the IAF stand-in taking every delivered packet.
#pragma once

#include <functional>
#include <vector>

#include <gtest/gtest.h>

#include "runtime/sock_config.h"
#include "t38/support/t38_session_fixtures.h"

namespace kv::t38::testing {

class T38LoopbackTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;

  // Runs the SM task and the timers until pred holds; false after ms.
  bool pump_until(const std::function<bool()>& pred, unsigned ms = 5000);
  // Configures one socket of ENT_IP (sapi 1) for a nai; true when accepted.
  bool udp_socket(nai_t nai);
  bool tcp_socket(nai_t nai, bool listen);
  u16 port(nai_t nai, u16 conn = 0);
  // A socket primitive from the user to ENT_IP.
  void to_ip(code_t code, nai_t nai, const std::vector<u8>& body, u16 conn = 0);
  // The first message to the user with this code after `from` (index).
  bool wait_user(code_t code, unsigned ms = 5000);
  std::vector<u8> configure(const std::vector<t38_session_entry>& entries);

  stub_iaf iaf;
  stub_trace trace;
};

// Loopback peers.
int udp_peer(u16* port);
int tcp_listener(u16* port);
bool readable(int fd, int ms);

}  // namespace kv::t38::testing
