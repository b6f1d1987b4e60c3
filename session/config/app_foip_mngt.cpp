// The host's own address and the phone-number filter.
#include "platform/int_types.h"
#include "session/config/app_foip_mngt.h"

#include <cstring>
#include <optional>

#include "platform/netif.h"

void app_foip_mngt__get_local_ip_address(om_ip_addr_t* out) {
  std::optional<u32> a = platform::FirstHostIPv4Address();
  foip__set_ipv4(*out, a ? *a : 0);
}

namespace {

constexpr const char* kPhoneCharacters = "+0123456789AaBbCcDdpPwW-.()%";
constexpr const char* kHexDigits = "0123456789AaBbCcDdEeFf";

bool is_one_of(char c, const char* set) { return c != '\0' && std::strchr(set, c) != nullptr; }

}  // namespace

u8 app_foip_mngt__filter_phone_number(const char* text, char* out, std::size_t room) {
  if (room == 0) return APP_FOIP_MNGT__PHONE_REFUSED;
  if (text == nullptr) text = "";
  u8 result = APP_FOIP_MNGT__PHONE_KEPT;
  std::size_t n = 0;
  // Appends one character when room is left for it and the final NUL.
  auto put = [&](char c) {
    if (n + 1 >= room) return false;
    out[n++] = c;
    return true;
  };
  for (const char* p = text; *p != '\0'; ++p) {
    if (!is_one_of(*p, kPhoneCharacters)) {
      result = APP_FOIP_MNGT__PHONE_FILTERED;
      continue;
    }
    if (*p == '%') {
      if (!is_one_of(p[1], kHexDigits) || !is_one_of(p[2], kHexDigits)) {
        out[n] = '\0';
        return APP_FOIP_MNGT__PHONE_REFUSED;
      }
      if (n + 3 >= room) {
        out[n] = '\0';
        return APP_FOIP_MNGT__PHONE_REFUSED;
      }
      put(p[0]);
      put(p[1]);
      put(p[2]);
      p += 2;
      continue;
    }
    if (!put(*p)) {
      out[n] = '\0';
      return APP_FOIP_MNGT__PHONE_REFUSED;
    }
  }
  out[n] = '\0';
  return result;
}
