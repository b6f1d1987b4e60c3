// Party and product fields of a call from its SSC headers; media-address
// trace text.
#include "session/foip_call_info.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "session/foip.h"

namespace {

template <std::size_t N>
void copy_net(char (&dst)[N], const char* src) {
  std::size_t n = 0;
  if (ssc_ptr_set(src))
    while (n < N - 1 && src[n] != '\0') {
      dst[n] = src[n];
      ++n;
    }
  dst[n] = '\0';
}

}  // namespace

u8 read_sip_user_part(const ssc_hdr_name_addr* h, u8* kind, char (&name)[FOIP_CALL__USER_NAME_SIZE],
                      char (&phone)[FOIP_CALL__PHONE_SIZE]) {
  *kind = 0;
  name[0] = '\0';
  phone[0] = '\0';
  if (!ssc_ptr_set(h)) return 3;
  const ssc_uri& u = h->uri;
  if (u.user_form == 'P' && ssc_ptr_set(u.tel_number) && u.tel_number[0] != '\0') {
    char raw[FOIP_CALL__PHONE_SIZE];
    std::size_t n = 0;
    if (u.tel_global == 1) raw[n++] = '+';
    for (const char* p = u.tel_number; *p != '\0' && n < FOIP_CALL__PHONE_SIZE - 1; ++p) raw[n++] = *p;
    raw[n] = '\0';
    if (foip__chk_phone_number(phone, raw, sizeof phone) == 3) phone[0] = '\0';
    *kind = FOIP_CALL__BY_PHONE;
    return 2;
  }
  if (ssc_ptr_set(u.user) && u.user[0] != '\0') {
    copy_net(name, u.user);
    *kind = FOIP_CALL__BY_NAME;
    return 2;
  }
  return 3;
}

u8 read_sip_host_part(const ssc_hdr_name_addr* h, foip__full_ip_addr& out, u16 default_port) {
  out = foip__full_ip_addr{};
  out.ip_addr.ip_family = OM_IP_FAMILY_NONE;
  if (!ssc_ptr_set(h)) return 3;
  const ssc_uri& u = h->uri;
  out.ip_port = u.port == 0xFFFF ? default_port : u.port;
  if (u.host_family == '4') {
    out.ip_addr.ip_family = OM_IP_FAMILY_V4;
    std::memcpy(out.ip_addr.addr.v4.addr, u.host_v4, 4);
  } else if (u.host_family == 'N') {
    copy_net(out.sz_fqdn, u.host_name);
  }
  return 2;
}

void read_sip_user_agent(const ssc_hdr_product* h, char (&product)[FOIP_CALL__PRODUCT_SIZE],
                         char (&version)[FOIP_CALL__VERSION_SIZE], char (&comment)[FOIP_CALL__COMMENT_SIZE]) {
  product[0] = version[0] = comment[0] = '\0';
  if (!ssc_ptr_set(h)) return;
  copy_net(product, h->product);
  copy_net(version, h->version);
  copy_net(comment, h->comment);
}

std::size_t format_media_address(char* out, std::size_t room, const char* label, const char* name, u8 family,
                                 const u8 ipv4[4], u16 port) {
  if (room == 0) return 0;
  std::size_t n = 0;
  auto put = [&](int w) {
    if (w > 0) n = std::min(room - 1, n + static_cast<std::size_t>(w));
  };
  put(std::snprintf(out + n, room - n, "%s", label ? label : ""));
  if (name != nullptr && name[0] != '\0') put(std::snprintf(out + n, room - n, "\"%.64s\" ", name));
  if (family == OM_IP_FAMILY_V4)
    put(std::snprintf(out + n, room - n, "[%d.%d.%d.%d] ", ipv4[0], ipv4[1], ipv4[2], ipv4[3]));
  else if (family == 6) put(std::snprintf(out + n, room - n, "(IPv6 not supported) "));
  else put(std::snprintf(out + n, room - n, "[empty] "));
  put(std::snprintf(out + n, room - n, "(%d)\n", port));
  return n;
}

void read_sip_header_image(u8 kind, const char* display_name, const ssc_uri* uri, const char* header_params,
                           foip__sip_header_image& out) {
  out = foip__sip_header_image{};
  out.kind = kind;
  out.ttl = 255;
  const bool request_uri = kind == FOIP__HDR_REQUEST_URI;
  const bool party = kind == FOIP__HDR_FROM || kind == FOIP__HDR_TO;
  if (!request_uri) copy_net(out.display_name, display_name);
  if (party || kind == FOIP__HDR_72) copy_net(out.header_params, header_params);
  if (!ssc_ptr_set(uri)) return;
  const ssc_uri& u = *uri;
  if (u.user_form == 'P' && ssc_ptr_set(u.tel_number)) {
    out.user_kind = 1;
    out.user.tel.number_flag = u.tel_global == 1 ? 1 : 0;
    copy_net(out.user.tel.number, u.tel_number);
    copy_net(out.user.tel.postd, u.tel_3);
    copy_net(out.user.tel.isub, u.tel_2);
    copy_net(out.user.tel.param_1, u.tel_4);
    copy_net(out.user.tel.param_2, u.tel_5);
    copy_net(out.user.tel.param_3, u.tel_6);
  } else if (ssc_ptr_set(u.user) && u.user[0] != '\0') {
    out.user_kind = 2;
    copy_net(out.user.name, u.user);
  }
  copy_net(out.addr_text, u.uri_text_3);
  if (u.host_family == '4') {
    out.host_kind = 2;
    std::memcpy(out.host.ipv4, u.host_v4, 4);
  } else if (u.host_family == 'N') {
    out.host_kind = 1;
    copy_net(out.host.fqdn, u.host_name);
  }
  out.port = u.port == 0xFFFF ? 0 : u.port;
  static constexpr u8 USER_PARAMS[] = {'P', 'I'};
  for (u8 i = 0; i < 2; ++i)
    if (u.user_param == USER_PARAMS[i]) out.user_param = static_cast<u8>(i + 1);
  if (out.user_param == 0 && ssc_ptr_set(u.user_param_text) && u.user_param_text[0] != '\0') {
    out.user_param = 3;
    copy_net(out.user_param_text, u.user_param_text);
  }
  if (party) return;
  static constexpr u8 TRANSPORTS[] = {'U', 'T', 'S', 'L'};
  for (u8 i = 0; i < 4; ++i)
    if (u.transport == TRANSPORTS[i]) out.transport = static_cast<u8>(i + 1);
  if (out.transport == 0 && ssc_ptr_set(u.transport_text) && u.transport_text[0] != '\0') {
    out.transport = 5;
    copy_net(out.transport_name, u.transport_text);
  }
  out.ttl = u.ttl;
  copy_net(out.maddr, u.maddr);
  if (request_uri) return;
  // Method parameter: header values 0..5 map to 1, 4, 6, 2, 3, 5.
  static constexpr u8 METHODS[] = {1, 4, 6, 2, 3, 5};
  if (u.uri_byte_1 < 6) out.method = METHODS[u.uri_byte_1];
  copy_net(out.other_params, u.uri_text_2);
}
