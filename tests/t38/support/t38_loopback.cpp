#include "t38/support/t38_loopback.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <set>
#include <thread>

#include "runtime/sm.h"
#include "runtime/sock.h"
#include "runtime/support/rt_harness.h"
#include "runtime/timer.h"
#include "t38/t38_entity.h"

namespace kv::t38::testing {

namespace {

const entity_table_row_t kTable[] = {
    {ENT_SM, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_FOIP, rt_test::record_handler, 0, 0, nullptr, 0},
    IP_ENTITY_ROW,
    T38_ENTITY_ROW,
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

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

std::set<size_t> taken;

}  // namespace

int udp_peer(u16* port) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in sa = loop_addr(0);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) return -1;
  *port = port_of(fd);
  return fd;
}

int tcp_listener(u16* port) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in sa = loop_addr(0);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || listen(fd, 1) != 0) return -1;
  *port = port_of(fd);
  return fd;
}

bool readable(int fd, int ms) {
  pollfd p{fd, POLLIN, 0};
  return poll(&p, 1, ms) == 1;
}

void T38LoopbackTest::SetUp() {
  iaf = stub_iaf{};
  trace = stub_trace{};
  rt_test::start_manual(kTable);
  t38_set_iaf_port(&iaf);
  t38_set_trace_port(&trace);
  taken.clear();
  msg_t* m = rt_test::make_msg(ENT_FOIP, ENT_T38, T38__SET_CONFIG_RQ, t38__common_body(3000));
  Send_msg(m);
  rt_test::pump();
}

void T38LoopbackTest::TearDown() {
  rt_test::stop();
  t38_set_iaf_port(nullptr);
  t38_set_trace_port(nullptr);
}

bool T38LoopbackTest::pump_until(const std::function<bool()>& pred, unsigned ms) {
  const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
  for (;;) {
    rt_test::pump();
    om_os_timer_poll();
    rt_test::pump();
    if (pred()) return true;
    if (std::chrono::steady_clock::now() > end) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

bool T38LoopbackTest::wait_user(code_t code, unsigned ms) {
  return pump_until(
      [&] {
        auto all = rt_test::rec().messages();
        for (size_t i = 0; i < all.size(); ++i) {
          if ((all[i].to == ENT_FOIP || all[i].to == ENT_SM) && all[i].code == code && taken.count(i) == 0) {
            taken.insert(i);
            return true;
          }
        }
        return false;
      },
      ms);
}

namespace {
sock_config_entry entry(nai_t nai, u8 kind) {
  sock_config_entry e;
  e.sapi = 1;
  e.nai = nai;
  e.conn_id = 0;
  e.address_count = 1;
  e.address[0] = 127;
  e.address[3] = 1;
  e.bind_address = 1;
  e.kind = kind;
  e.control_entity = ENT_FOIP;
  e.data_entity = ENT_T38;
  e.state = 's';
  e.receive_size = 2000;
  return e;
}
}  // namespace

bool T38LoopbackTest::udp_socket(nai_t nai) {
  msg_t* m = rt_test::make_msg(ENT_SM, ENT_IP, SM_CONFIG_RQ, sock_config_body(0, {entry(nai, SOCK_KIND_UDP)}),
                               OM_OS_NAI_NONE, OM_OS_CONN_NONE);
  Sm_set_target(m, ENT_IP);
  Send_msg(m);
  return wait_user(SM_CONFIG_CO) && port(nai) != 0;
}

bool T38LoopbackTest::tcp_socket(nai_t nai, bool listen) {
  sock_config_entry e = entry(nai, SOCK_KIND_TCP);
  e.tcp_listen = listen ? 1 : 0;
  e.tcp_backlog = listen ? 1 : 0;
  msg_t* m = rt_test::make_msg(ENT_SM, ENT_IP, SM_CONFIG_RQ, sock_config_body(0, {e}), OM_OS_NAI_NONE, OM_OS_CONN_NONE);
  Sm_set_target(m, ENT_IP);
  Send_msg(m);
  return wait_user(SM_CONFIG_CO) && port(nai) != 0;
}

u16 T38LoopbackTest::port(nai_t nai, u16 conn) { return ip_socket_port(1, nai, conn); }

void T38LoopbackTest::to_ip(code_t code, nai_t nai, const std::vector<u8>& body, u16 conn) {
  msg_t* m = rt_test::make_msg(ENT_FOIP, ENT_IP, code, body, nai, conn);
  m->sapi = 1;
  Send_msg(m);
}

std::vector<u8> T38LoopbackTest::configure(const std::vector<t38_session_entry>& entries) {
  const size_t before = rt_test::rec().messages().size();
  msg_t* m = Alloc_msg();
  const std::vector<u8> body = t38__session_body(entries);
  Msg_attach_chain(m, Store_data_in_buffers(body.data(), static_cast<u32>(body.size()), nullptr));
  m->from = ENT_FOIP;
  m->to = ENT_T38;
  m->code = T38__SET_CONFIG_RQ;
  Send_msg(m);
  rt_test::pump();
  auto all = rt_test::rec().messages();
  for (size_t i = before; i < all.size(); ++i) {
    if (all[i].code == T38__SET_CONFIG_CO) return std::vector<u8>(all[i].data.begin(), all[i].data.begin() + 3);
  }
  return {};
}

}  // namespace kv::t38::testing
