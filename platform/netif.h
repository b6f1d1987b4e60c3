// Addresses of this host's network interfaces.
#pragma once

#include <cstdint>
#include <optional>

#include "platform/int_types.h"

namespace platform {

// The first IPv4 address, in the interfaces' order, of an interface that is up
// and is not a loopback interface; its four bytes in network order.  Nothing
// when the host has none (or the interfaces cannot be listed).  The host name
// is not resolved: many systems map it to a loopback address (127.0.1.1).
std::optional<u32> FirstHostIPv4Address();

// True for an address of 127.0.0.0/8 (bytes in network order).
bool IsLoopbackIPv4(u32 address_network_order);

}  // namespace platform
