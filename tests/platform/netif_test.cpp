// The host's own IPv4 address: a local, non-loopback address of an interface.
#include "platform/netif.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::uint32_t addr(const char* text) {
  in_addr a{};
  EXPECT_EQ(inet_pton(AF_INET, text, &a), 1);
  return a.s_addr;
}

TEST(NetIf, LoopbackRange) {
  struct {
    const char* text;
    bool loopback;
  } cases[] = {{"127.0.0.1", true}, {"127.0.1.1", true},        {"127.255.255.254", true},
               {"10.0.0.1", false}, {"126.255.255.255", false}, {"128.0.0.1", false}};
  for (const auto& c : cases) EXPECT_EQ(platform::IsLoopbackIPv4(addr(c.text)), c.loopback) << c.text;
}

TEST(NetIf, FirstAddressIsOwnedByThisHostAndNotLoopback) {
  std::optional<std::uint32_t> a = platform::FirstHostIPv4Address();
  if (!a) GTEST_SKIP() << "no non-loopback IPv4 interface on this host";
  EXPECT_FALSE(platform::IsLoopbackIPv4(*a));
  EXPECT_NE(*a, 0u);
  // Only an address of this host can be bound.  Nothing is sent.
  int s = socket(AF_INET, SOCK_DGRAM, 0);
  ASSERT_GE(s, 0);
  sockaddr_in sin{};
  sin.sin_family = AF_INET;
  sin.sin_addr.s_addr = *a;
  sin.sin_port = 0;
  EXPECT_EQ(bind(s, reinterpret_cast<sockaddr*>(&sin), sizeof sin), 0);
  close(s);
  // The same answer twice.
  EXPECT_EQ(platform::FirstHostIPv4Address(), a);
}

}  // namespace
