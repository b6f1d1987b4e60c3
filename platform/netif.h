// Addresses of this host's network interfaces.
#pragma once

#include <cstdint>
#include <optional>

namespace platform {

// The first IPv4 address, in the interfaces' order, of an interface that is up
// and is not a loopback interface; its four bytes in network order.  Nothing
// when the host has none (or the interfaces cannot be listed).  The host name
// is not resolved: many systems map it to a loopback address (127.0.1.1).
std::optional<std::uint32_t> FirstHostIPv4Address();

// True for an address of 127.0.0.0/8 (bytes in network order).
bool IsLoopbackIPv4(std::uint32_t address_network_order);

}  // namespace platform
