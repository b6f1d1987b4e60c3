// The platform socket layer: error numbers, options, scatter transfers, the
// poller's wake-up and the host lookup, on 127.0.0.1.
#include "platform/socket.h"

#include <arpa/inet.h>
#include <netdb.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "gtest/gtest.h"

namespace {

uint32_t loopback() { return htonl(INADDR_LOOPBACK); }

struct sock {
  int fd;
  explicit sock(plat_sock_kind k) {
    uint16_t err = 0;
    fd = plat_sock_open(k, &err);
  }
  ~sock() { plat_sock_close(fd); }
};

long elapsed_ms(std::chrono::steady_clock::time_point since) {
  return static_cast<long>(
      std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - since).count());
}

TEST(PlatSocket, ErrnoValuesBecomeWindowsSocketNumbers) {
  const std::pair<int, uint16_t> rows[] = {
      {0, 0},
      {EAGAIN, 10035},
      {EWOULDBLOCK, 10035},
      {EINPROGRESS, 10036},
      {ENOBUFS, 10055},
      {ENETUNREACH, 10051},
      {EADDRINUSE, 10048},
      {EADDRNOTAVAIL, 10049},
      {ECONNABORTED, 10053},
      {ECONNRESET, 10054},
      {ENOTCONN, 10057},
      {ECONNREFUSED, 10061},
      {EHOSTUNREACH, 10065},
      {EMSGSIZE, 10040},
      {EPIPE, 10058},
      {ENOENT, PLAT_WSAEOTHER},
  };
  for (auto [e, wsa] : rows) EXPECT_EQ(plat_sock_error_from_errno(e), wsa) << e;
}

TEST(PlatSocket, LookupErrorsBecomeResolverDetails) {
  const std::pair<int, plat_dns_result> rows[] = {
      {0, PLAT_DNS_OK},
      {EAI_NONAME, PLAT_DNS_NOT_FOUND},
      {EAI_NODATA, PLAT_DNS_NO_DATA},
      {EAI_ADDRFAMILY, PLAT_DNS_NO_DATA},
      {EAI_AGAIN, PLAT_DNS_FAILED},
      {EAI_FAIL, PLAT_DNS_FAILED},
      {EAI_MEMORY, PLAT_DNS_FAILED},
  };
  for (auto [gai, r] : rows) EXPECT_EQ(plat_dns_result_from_gai(gai), r) << gai;
}

TEST(PlatSocket, BindReadsThePortBackAndRefusesAPortInUse) {
  sock a(PLAT_SOCK_UDP), b(PLAT_SOCK_UDP);
  ASSERT_GE(a.fd, 0);
  EXPECT_EQ(plat_sock_bind(a.fd, loopback(), 0), 0);
  const uint16_t port = plat_sock_local_port(a.fd);
  EXPECT_NE(port, 0);
  EXPECT_EQ(plat_sock_bind(b.fd, loopback(), port), PLAT_WSAEADDRINUSE);
  // Options of a created socket.
  sock t(PLAT_SOCK_TCP);
  EXPECT_EQ(plat_sock_set_nonblocking(t.fd), 0);
  EXPECT_EQ(plat_sock_set_reuseaddr(t.fd), 0);
  EXPECT_EQ(plat_sock_set_nodelay(t.fd), 0);
  EXPECT_EQ(plat_sock_set_tos(t.fd, 0xB8), 0);
  EXPECT_EQ(plat_sock_set_rcvbuf(t.fd, 40000), 0);
  EXPECT_NE(plat_sock_set_nodelay(a.fd), 0);  // no TCP option on a datagram socket
}

TEST(PlatSocket, ScatterTransfersKeepOrderAndFlagOversizeDatagrams) {
  sock a(PLAT_SOCK_UDP), b(PLAT_SOCK_UDP);
  ASSERT_EQ(plat_sock_bind(a.fd, loopback(), 0), 0);
  ASSERT_EQ(plat_sock_bind(b.fd, loopback(), 0), 0);
  ASSERT_EQ(plat_sock_set_nonblocking(b.fd), 0);
  char p1[] = "head-", p2[] = "tail";
  plat_sock_piece out[2] = {{p1, 5}, {p2, 4}};
  EXPECT_EQ(plat_sock_sendv(a.fd, out, 2, true, loopback(), plat_sock_local_port(b.fd)), 9);

  plat_poller poller;
  ASSERT_TRUE(poller.ok());
  const size_t slot = poller.add(b.fd, plat_poller::READ);
  ASSERT_EQ(poller.wait(5000), 1);
  EXPECT_TRUE(poller.events(slot) & plat_poller::READABLE);

  char r1[3], r2[10];
  plat_sock_piece in[2] = {{r1, 3}, {r2, 10}};
  plat_sock_recv_result r = plat_sock_recvv(b.fd, in, 2);
  EXPECT_EQ(r.bytes, 9);
  EXPECT_FALSE(r.truncated);
  EXPECT_TRUE(r.from_ipv4);
  EXPECT_EQ(r.addr_net, loopback());
  EXPECT_EQ(r.port, plat_sock_local_port(a.fd));
  EXPECT_EQ(std::string(r1, 3) + std::string(r2, 6), "head-tail");

  // Larger than the pieces: flagged, never passed off as whole.
  EXPECT_EQ(plat_sock_sendv(a.fd, out, 2, true, loopback(), plat_sock_local_port(b.fd)), 9);
  ASSERT_EQ(poller.wait(5000), 1);
  plat_sock_piece small[1] = {{r1, 3}};
  r = plat_sock_recvv(b.fd, small, 1);
  EXPECT_EQ(r.bytes, 3);
  EXPECT_TRUE(r.truncated);
  // Nothing left: would block.
  r = plat_sock_recvv(b.fd, small, 1);
  EXPECT_EQ(r.bytes, -static_cast<long>(PLAT_WSAEWOULDBLOCK));
}

TEST(PlatSocket, ConnectAcceptAndRefusal) {
  sock l(PLAT_SOCK_TCP), c(PLAT_SOCK_TCP), refused(PLAT_SOCK_TCP);
  ASSERT_EQ(plat_sock_set_nonblocking(l.fd), 0);
  ASSERT_EQ(plat_sock_bind(l.fd, loopback(), 0), 0);
  uint32_t addr = 0;
  uint16_t port = 0, err = 0;
  EXPECT_EQ(plat_sock_accept(l.fd, &addr, &port, &err), PLAT_SOCK_NONE);  // not listening
  ASSERT_EQ(plat_sock_listen(l.fd, 1), 0);
  EXPECT_EQ(plat_sock_accept(l.fd, &addr, &port, &err), PLAT_SOCK_NONE);
  EXPECT_EQ(err, PLAT_WSAEWOULDBLOCK);

  ASSERT_EQ(plat_sock_set_nonblocking(c.fd), 0);
  uint16_t st = plat_sock_connect(c.fd, loopback(), plat_sock_local_port(l.fd));
  EXPECT_TRUE(st == 0 || st == PLAT_WSAEINPROGRESS) << st;
  plat_poller p;
  const size_t s = p.add(c.fd, plat_poller::WRITE);
  ASSERT_EQ(p.wait(5000), 1);
  EXPECT_TRUE(p.events(s) & plat_poller::WRITABLE);
  EXPECT_EQ(plat_sock_pending_error(c.fd), 0);
  int a = plat_sock_accept(l.fd, &addr, &port, &err);
  ASSERT_NE(a, PLAT_SOCK_NONE);
  EXPECT_EQ(addr, loopback());
  EXPECT_EQ(port, plat_sock_local_port(c.fd));
  plat_sock_close(a);

  // A port without a listener: the pending error says refused.
  const uint16_t dead = plat_sock_local_port(l.fd);
  plat_sock_close(l.fd);
  l.fd = PLAT_SOCK_NONE;
  ASSERT_EQ(plat_sock_set_nonblocking(refused.fd), 0);
  st = plat_sock_connect(refused.fd, loopback(), dead);
  if (st == PLAT_WSAEINPROGRESS) {
    plat_poller q;
    q.add(refused.fd, plat_poller::WRITE);
    ASSERT_EQ(q.wait(5000), 1);
    st = plat_sock_pending_error(refused.fd);
  }
  EXPECT_EQ(st, PLAT_WSAECONNREFUSED);
}

TEST(PlatSocket, WakeEndsAWaitAtOnceAndAnIdleWaitTimesOut) {
  plat_poller p;
  ASSERT_TRUE(p.ok());
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(p.wait(50), 0);
  EXPECT_GE(elapsed_ms(t0), 45);

  std::thread waker([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    p.wake();
  });
  t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(p.wait(10000), 0);
  EXPECT_LT(elapsed_ms(t0), 5000);
  waker.join();
  // A wake-up given before the wait is not lost; it is used up by one wait.
  p.wake();
  t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(p.wait(10000), 0);
  EXPECT_LT(elapsed_ms(t0), 5000);
  t0 = std::chrono::steady_clock::now();
  EXPECT_EQ(p.wait(30), 0);
  EXPECT_GE(elapsed_ms(t0), 25);
}

TEST(PlatSocket, HostLookup) {
  std::vector<uint32_t> addrs;
  EXPECT_EQ(plat_resolve_ipv4("localhost", &addrs), PLAT_DNS_OK);
  ASSERT_FALSE(addrs.empty());
  EXPECT_EQ(addrs[0], loopback());
  EXPECT_EQ(plat_resolve_ipv4("127.0.0.9", &addrs), PLAT_DNS_OK);
  ASSERT_EQ(addrs.size(), 1u);
  EXPECT_EQ(addrs[0], htonl(0x7F000009));
  EXPECT_EQ(plat_resolve_ipv4("", &addrs), PLAT_DNS_NOT_FOUND);
  EXPECT_TRUE(addrs.empty());
  const plat_dns_result r = plat_resolve_ipv4("no-such-host.invalid", &addrs);
  EXPECT_TRUE(r == PLAT_DNS_NOT_FOUND || r == PLAT_DNS_FAILED) << r;
  EXPECT_TRUE(addrs.empty());
}

}  // namespace
