// Interface addresses through getifaddrs.
#include "platform/netif.h"

#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <cstring>
#include <memory>

namespace platform {

bool IsLoopbackIPv4(u32 address_network_order) {
  unsigned char bytes[4];
  std::memcpy(bytes, &address_network_order, sizeof bytes);
  return bytes[0] == 127;
}

std::optional<u32> FirstHostIPv4Address() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return std::nullopt;
  std::unique_ptr<ifaddrs, void (*)(ifaddrs*)> holder(list, freeifaddrs);
  for (const ifaddrs* i = list; i != nullptr; i = i->ifa_next) {
    if (i->ifa_addr == nullptr || i->ifa_addr->sa_family != AF_INET) continue;
    if ((i->ifa_flags & IFF_UP) == 0 || (i->ifa_flags & IFF_LOOPBACK) != 0) continue;
    sockaddr_in sin;
    std::memcpy(&sin, i->ifa_addr, sizeof sin);
    u32 address = sin.sin_addr.s_addr;
    if (IsLoopbackIPv4(address) || address == 0) continue;
    return address;
  }
  return std::nullopt;
}

}  // namespace platform
