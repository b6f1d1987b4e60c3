// Party and product fields of a call from its SSC headers; media-address
// trace text.
#include "session/foip/foip_call_info.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "session/foip/foip.h"
#include "session/foip/foip_err.h"
#include "session/trace/foip_trc.h"

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

// ---------------------------------------------------------------------------
// Report texts.

namespace {

struct name_row {
  u8 value;
  const char* name;
};

// Report kinds of ENT_SSC that have a name.
constexpr name_row SSC_CAUSE_NAMES[] = {
    {'a', "SSC_UNKNOWN_UAI"},
    {'b', "SSC_DISCARDED_EVENT"},
};

// States of an ENT_SIP dialog.
constexpr name_row SIP_CALL_STATE_NAMES[] = {
    {1, "idle"},
    {2, "invite_sent"},
    {3, "cancelling"},
    {4, "proceeding"},
    {5, "accepted"},
    {6, "rejected"},
    {7, "confirmed"},
    {8, "invite_received"},
    {9, "reject_sent"},
    {10, "bye_while_inviting"},
    {11, "cancel_received"},
    {12, "accept_sent"},
    {13, "bye_sent"},
    {14, "bye_received"},
    {15, "options_sent"},
    {16, "options_received"},
    {17, "register_sent"},
    {18, "register_received"},
};

template <std::size_t N>
const char* name_of(const name_row (&rows)[N], u8 value) {
  for (const name_row& r : rows)
    if (r.value == value) return r.name;
  return "??";
}

// Error numbers whose detail byte names a parameter.
bool names_parameter(u16 error) { return (error >= 18 && error <= 21) || error == 26; }

// Bounded appender: never past the room, always terminated.
struct text_out {
  char* out;
  std::size_t room;
  std::size_t n = 0;
  text_out(char* o, std::size_t r) : out(o), room(r) {
    if (room) out[0] = '\0';
  }
  void add(const char* fmt, ...) __attribute__((format(printf, 2, 3))) {
    if (room == 0 || n >= room - 1) return;
    va_list ap;
    va_start(ap, fmt);
    const int w = std::vsnprintf(out + n, room - n, fmt, ap);
    va_end(ap);
    if (w > 0) n = std::min(room - 1, n + static_cast<std::size_t>(w));
  }
};

u16 le16(const u8* p) { return static_cast<u16>(p[0] | (p[1] << 8)); }

// Primitives of ENT_SIP's interface (the one an error concerns).
constexpr name_row SIP_PRIMITIVE_NAMES[] = {
    {63, "SIP_ERROR_IN"},     {65, "SIP_INVITE_RQ"},   {66, "SIP_ACK_RQ"},       {67, "SIP_OPTIONS_RQ"},
    {68, "SIP_BYE_RQ"},       {69, "SIP_CANCEL_RQ"},   {70, "SIP_REGISTER_RQ"},  {97, "SIP_INVITE_RS"},
    {99, "SIP_OPTIONS_RS"},   {100, "SIP_BYE_RS"},     {101, "SIP_CANCEL_RS"},   {102, "SIP_REGISTER_RS"},
    {193, "SIP_INVITE_CO"},   {195, "SIP_OPTIONS_CO"}, {196, "SIP_BYE_CO"},      {197, "SIP_CANCEL_CO"},
    {198, "SIP_REGISTER_CO"}, {225, "SIP_INVITE_IN"},  {226, "SIP_ACK_IN"},      {227, "SIP_OPTIONS_IN"},
    {228, "SIP_BYE_IN"},      {229, "SIP_CANCEL_IN"},  {230, "SIP_REGISTER_IN"},
};

// ENT_SSC report: byte 1 kind, byte 2 cause, bytes 6, 7, 8 dialog,
// subscription and call state, byte 9 the code of the message concerned.
constexpr u32 SSC_REPORT_MIN = 10;
// ENT_SIP error: bytes 2-3 the error number, byte 4 its parameter or
// extended error.  Event: byte 5 the dialog's state, from byte 6 its tag.
constexpr u32 SIP_ERROR_MIN = 5;
constexpr u32 SIP_EVENT_MIN = 6;
constexpr u32 SIP_TAG_MAX = 65;

}  // namespace

const char* foip_call__ssc_cause_name(u8 cause) { return name_of(SSC_CAUSE_NAMES, cause); }
const char* foip_call__sip_call_state_name(u8 state) { return name_of(SIP_CALL_STATE_NAMES, state); }

std::size_t format_sm_report_in(char* out, std::size_t room, const u8* d, u32 length, const char* prefix, int nai,
                                int conn_id) {
  text_out t(out, room);
  if (d == nullptr || length < 2) return 0;
  const char* p = prefix != nullptr ? prefix : "";
  const u8 kind = d[1];
  if (d[0] != ENT_SIP) {
    if (length < SSC_REPORT_MIN || (kind != 'e' && kind != 'r')) return 0;
    if (kind == 'e') t.add("%scause              = %d\n%scode               = %d\n", p, d[2], p, d[9]);
    else
      t.add("%scause              = (%d) %s\n%scode               = %d\n", p, d[2], foip_call__ssc_cause_name(d[2]), p,
            d[9]);
    if (d[6] < 255) t.add("%sdialog_state       = %d\n", p, d[6]);
    if (d[7] < 255) t.add("%ssubscription_state = %d\n", p, d[7]);
    if (d[8] < 255) t.add("%scall_state         = %d\n", p, d[8]);
    return t.n;
  }
  if (kind == 'e') {
    if (length < SIP_EVENT_MIN) return 0;
    t.add("%sCall state : %s\n", p, foip_call__sip_call_state_name(d[5]));
    // The tag: network text, cut at its end, its field or the body.
    std::string tag;
    for (u32 i = 6; i < length && i < 6 + SIP_TAG_MAX && d[i] != 0; ++i)
      tag.push_back(d[i] >= 0x20 && d[i] < 0x7F ? static_cast<char>(d[i]) : '?');
    t.add("%sCall tag   : \"%s\"", p, tag.c_str());
    return t.n;
  }
  if (kind != 'r' || length < SIP_ERROR_MIN) return 0;
  const u16 error = le16(d + 2);
  char parameter[96];
  if (names_parameter(error))
    (void)std::snprintf(parameter, sizeof parameter, "Parameter     : %s (%d)", foip_trc__ssc_header_name(d[4]), d[4]);
  else (void)std::snprintf(parameter, sizeof parameter, "Extended error: %d", d[4]);
  t.add("%sWarning report from SIP thru SM_REPORT_IN (nai %d conn_id %d)\n%s Error         : (%d) %s\n%s %s\n", p, nai,
        conn_id, p, error, foip_err__ret_code_text(error), p, parameter);
  return t.n;
}

std::size_t format_ssc_error_in(char* out, std::size_t room, const u8* d, u32 length, int nai, int conn_id) {
  text_out t(out, room);
  // Byte 0 origin, bytes 2-3 the error number, byte 4 the extended error,
  // byte 5 the parameter (0: none), byte 6 the fatal flag, byte 7 the code.
  if (d == nullptr || length < 8) return 0;
  const u16 error = le16(d + 2);
  const char* level = d[6] == 1 ? "FATAL Error" : "Warning";
  const char* fatal = d[6] == 1 ? "Yes" : "No";
  const char* text = foip_err__ret_code_text(error);
  if (d[0] != ENT_SIP) {
    t.add(
        " %s report from SIP_SC thru SSC_ERROR_IN (nai %d conn_id %d)\n  Origin     : SIP_SC entity\n  Error      : "
        "(%d) "
        "%s\n  Fatal error: %s\n",
        level, nai, conn_id, error, text, fatal);
    return t.n;
  }
  const char* primitive = name_of(SIP_PRIMITIVE_NAMES, d[7]);
  if (d[5] == 0) {
    t.add(
        " %s report from SIP thru SIP_ERROR_IN (nai %d conn_id %d)\n  Origin     : SIP entity\n  Error      : (%d) "
        "%s\n  Primitive  : %s\n  Fatal error: %s\n",
        level, nai, conn_id, error, text, primitive, fatal);
    return t.n;
  }
  t.add(
      " %s report from SIP_SC thru SSC_ERROR_IN (nai %d conn_id %d)\n  Origin     : SIP entity\n  Error      : (%d) "
      "%s\n  Parameter  : (%d) %s\n  Primitive  : %s\n  Fatal error: %s\n",
      level, nai, conn_id, error, text, d[5], foip_trc__ssc_header_name(d[5]), primitive, fatal);
  return t.n;
}
