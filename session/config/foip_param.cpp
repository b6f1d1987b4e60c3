// Bounded copies and address helpers of the FOIP configuration records.
#include "session/config/foip_param.h"

#include <cstring>

bool foip__copy_text(char* field, std::size_t room, const char* text) {
  if (room == 0) return text == nullptr || text[0] == '\0';
  if (text == nullptr) {
    field[0] = '\0';
    return true;
  }
  std::size_t len = strnlen(text, room);
  bool fits = len < room;
  if (!fits) len = room - 1;
  std::memmove(field, text, len);
  field[len] = '\0';
  return fits;
}

void foip__clear_addr(foip__full_ip_addr& a) {
  a = foip__full_ip_addr{};
  a.ip_addr.ip_family = OM_IP_FAMILY_NONE;
}

void foip__set_ipv4(om_ip_addr_t& a, u32 address_network_order) {
  a.ip_family = OM_IP_FAMILY_V4;
  std::memset(&a.addr, 0, sizeof a.addr);
  std::memcpy(a.addr.v4.addr, &address_network_order, 4);
}

u32 foip__get_ipv4(const om_ip_addr_t& a) {
  u32 v = 0;
  std::memcpy(&v, a.addr.v4.addr, 4);
  return v;
}

bool foip__parse_ipv4(const char* text, u32* out) {
  if (text == nullptr) return false;
  u8 bytes[4];
  const char* p = text;
  for (int i = 0; i < 4; ++i) {
    if (i > 0) {
      if (*p != '.') return false;
      ++p;
    }
    int digits = 0;
    unsigned value = 0;
    while (*p >= '0' && *p <= '9') {
      if (++digits > 3) return false;
      value = value * 10 + unsigned(*p - '0');
      ++p;
    }
    if (digits == 0 || value > 255) return false;
    bytes[i] = static_cast<u8>(value);
  }
  if (*p != '\0') return false;
  std::memcpy(out, bytes, 4);
  return true;
}
