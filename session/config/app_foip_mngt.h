// Services of the application used by the configuration copy: the host's own
// address and the phone-number filter.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/int_types.h"
#include "session/config/foip_param.h"

// The host's own IPv4 address: the first non-loopback IPv4 address of its
// interfaces.  Family 4 always; address 0.0.0.0 when the host has none.
void app_foip_mngt__get_local_ip_address(om_ip_addr_t* out);

// Results of app_foip_mngt__filter_phone_number.
inline constexpr u8 APP_FOIP_MNGT__PHONE_KEPT = 1;      // every character kept
inline constexpr u8 APP_FOIP_MNGT__PHONE_FILTERED = 2;  // some characters dropped
inline constexpr u8 APP_FOIP_MNGT__PHONE_REFUSED = 3;   // bad '%' escape, or no room

// Copies `text` into `out` (room bytes, the terminating NUL included) keeping
// only the characters "+0123456789AaBbCcDdpPwW-.()%"; a '%' must be followed by
// two hexadecimal digits, copied with it.  On refusal the output is cut there
// and terminated.  A null text counts as empty.
u8 app_foip_mngt__filter_phone_number(const char* text, char* out, std::size_t room);
