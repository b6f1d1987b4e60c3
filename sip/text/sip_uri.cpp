#include "sip/text/sip_uri.h"

#include <cstring>

#include "sip/text/sip_scan.h"

namespace {

enum uri_param_name : u8 { P_TRANSPORT, P_MADDR, P_TTL, P_METHOD, P_USER, P_LR };

constexpr sip_code_row uri_param_table[] = {{P_TRANSPORT, "transport"}, {P_MADDR, "maddr"}, {P_TTL, "ttl"},
                                            {P_METHOD, "method"},       {P_USER, "user"},   {P_LR, "lr"}};

enum tel_param_name : u8 { T_ISUB, T_POSTD, T_CONTEXT, T_TSP };

constexpr sip_code_row tel_param_table[] = {
    {T_ISUB, "isub"}, {T_POSTD, "postd"}, {T_CONTEXT, "phone-context"}, {T_TSP, "tsp"}};
constexpr u16 tel_param_max[] = {20, 10, 32, 32};

constexpr u16 TEL_OTHER_MAX = 64;
constexpr u16 MADDR_MAX = 64;
constexpr u16 TRANSPORT_OTHER_MAX = 8;
constexpr u16 USER_OTHER_MAX = 16;

sip_str span(const char* from, const char* to) {
  sip_str s;
  s.ptr = from;
  s.len = static_cast<u16>(to - from);
  return s;
}

void clear_addr(sip_addr* a) {
  sip_scan__clear(a, sizeof *a);
  a->global = -1;
  a->port = SIP_PORT_NONE;
  a->transport = SIP_CODE_NONE;
  a->ttl = SIP_CODE_NONE;
  a->user_param = SIP_CODE_NONE;
  a->method_param = SIP_CODE_NONE;
}

char* find_byte(char* from, const char* to, char c) {
  if (from >= to) return from;
  void* at = std::memchr(from, c, static_cast<std::size_t>(to - from));
  return at != nullptr ? static_cast<char*>(at) : const_cast<char*>(to);
}

// Userinfo, host and port of a sip or sips URI: the userinfo is looked for
// up to `line_end`, the host and port end at the first '?' after it (or at
// `line_end`), which goes to `*stop`.
bool parse_userinfo_host_port(sip_scan_state_t& sc, sip_addr* a, char** stop_out) {
  char* start = sc.cursor;
  char* line_end = sc.line_end;
  char* at = find_byte(start, line_end, '@');
  if (at < line_end) {
    if (at == start) return false;
    char* p = start;
    while (p < at && sip_cc(*p, SIP_CC_USER_ESC)) ++p;
    a->user = span(start, p);
    if (p < at && *p == ':') {
      if (at - (p + 1) > SIP_URI_PASSWORD_MAX) return false;
      a->password = span(p + 1, at);
    } else if (p < at) {
      // Bytes that are neither user text nor a password would be
      // lost from the user part: refused.
      return false;
    }
    sc.cursor = at + 1;
  }
  char* host = sc.cursor;
  char* stop = find_byte(host, line_end, '?');
  *stop_out = stop;
  char* p = host;
  while (p < stop && sip_cc(*p, SIP_CC_HOST)) ++p;
  if (p == host) return false;
  if (p - host > 0xFFFF) return false;
  sip_str h = span(host, p);
  const char* ip = h.ptr;
  u16 iplen = h.len;
  if (sip_str__parse_ipv4(&ip, &iplen)) {
    a->ipv4.ptr = ip;
    a->ipv4.len = iplen;
  } else {
    a->host = h;
  }
  sc.cursor = p;
  if (p < stop && *p == ':') {
    char* saved = sc.line_end;
    sc.line_end = stop;
    ++sc.cursor;
    u32 port = 0;
    bool ok = sip_scan__u32(sc, &port);
    sc.line_end = saved;
    if (!ok || port == 0 || port >= 65535) return false;
    a->port = static_cast<u16>(port);
  }
  return true;
}

bool take_headers(sip_scan_state_t& sc, sip_addr* a, char* question) {
  char* end = sc.line_end;
  if (end - (question + 1) > SIP_URI_HEADERS_MAX) return false;
  a->headers = span(question + 1, end);
  return true;
}

// One URI parameter at `cursor` (bounded by `line_end`, already set to the
// end of the parameters).
bool parse_uri_param(sip_scan_state_t& sc, sip_addr* a) {
  sip_scan__skip_lws(sc);
  char* name = sc.cursor;
  u16 nlen = sip_scan__run(sc, SIP_CC_TOKEN);
  char* after_name = sc.cursor;
  sip_scan__skip_lws(sc);
  if (nlen == 0) return false;
  if (!sip_scan__take(sc, '=')) {
    if (nlen == 2 && std::memcmp(name, "lr", 2) == 0) {
      a->lr = 1;
      sc.cursor = after_name;
      return true;
    }
    sc.cursor = name;
    return sip_scan__other_param(sc, &a->params_other) == SIP_SCAN_OK;
  }
  const char* n = name;
  u8 which;
  if (sip_scan__match_code(&n, nlen, uri_param_table, 6, &which) != SIP_SCAN_OK) {
    sc.cursor = name;
    return sip_scan__other_param(sc, &a->params_other) == SIP_SCAN_OK;
  }
  sip_scan__skip_lws(sc);
  char* v = sc.cursor;
  switch (which) {
    case P_TRANSPORT: {
      u16 len = sip_scan__run(sc, SIP_CC_TOKEN);
      if (len == 0) return false;
      const char* t = v;
      if (sip_scan__match_code(&t, len, sip_uri_transport_table, 4, &a->transport) != SIP_SCAN_OK) {
        if (len > TRANSPORT_OTHER_MAX) return false;
        a->transport_other = span(v, v + len);
      }
      return true;
    }
    case P_MADDR: {
      u16 len = sip_scan__run(sc, SIP_CC_HOST);
      if (len == 0 || len > MADDR_MAX) return false;
      a->maddr = span(v, v + len);
      return true;
    }
    case P_TTL: {
      u32 ttl;
      if (!sip_scan__u32(sc, &ttl) || ttl > 255) return false;
      a->ttl = static_cast<u8>(ttl);
      return true;
    }
    case P_METHOD: {
      u16 len = sip_scan__run(sc, SIP_CC_TOKEN);
      if (len == 0) return false;
      const char* t = v;
      u8 code;
      if (sip_scan__match_code(&t, len, sip_method_table, 6, &code) == SIP_SCAN_OK) a->method_param = code;
      return true;
    }
    case P_USER: {
      u16 len = sip_scan__run(sc, SIP_CC_TOKEN);
      if (len == 0) return false;
      const char* t = v;
      if (sip_scan__match_code(&t, len, sip_user_param_table, 2, &a->user_param) != SIP_SCAN_OK) {
        if (len > USER_OTHER_MAX) return false;
        a->user_other = span(v, v + len);
      }
      return true;
    }
    default:  // lr with a value: the value is passed over
      sip_scan__run(sc, SIP_CC_TOKEN);
      a->lr = 1;
      return true;
  }
}

// The user part of a user=phone URI read as a telephone number.
bool sip_parse_tel_user(sip_addr* a) {
  const char* p = a->user.ptr;
  const char* end = p + a->user.len;
  if (a->user.len == 0) {
    a->user_param = SIP_CODE_NONE;
    return true;
  }
  i8 global = 0;
  if (*p == '+') {
    global = 1;
    ++p;
  }
  const char* num = p;
  while (p < end && sip_cc(*p, SIP_CC_PHONE)) ++p;
  if (p == num || (p < end && *p != ';')) {
    // Not a telephone number: the user part stays as it is.
    a->user_param = SIP_CODE_NONE;
    return true;
  }
  if (p - num > SIP_URI_PHONE_MAX) return false;
  sip_str number{static_cast<u16>(p - num), num};
  sip_str isub, postd, context, tsp, other;
  sip_str* known[] = {&isub, &postd, &context, &tsp};
  while (p < end) {
    ++p;  // the ';'
    const char* piece = p;
    while (p < end && *p != ';') ++p;
    if (p == piece) continue;
    const char* eq = piece;
    while (eq < p && *eq != '=') ++eq;
    u8 which;
    const char* n = piece;
    if (eq < p && sip_scan__match_code(&n, static_cast<u16>(eq - piece), tel_param_table, 4, &which) == SIP_SCAN_OK) {
      if (p - (eq + 1) > tel_param_max[which]) return false;
      *known[which] = sip_str{static_cast<u16>(p - (eq + 1)), eq + 1};
    } else if (other.len == 0) {
      if (p - piece > TEL_OTHER_MAX) return false;
      other = sip_str{static_cast<u16>(p - piece), piece};
    }
  }
  a->global = global;
  a->phone_number = number;
  a->isub = isub;
  a->postd = postd;
  a->phone_context = context;
  a->tsp = tsp;
  a->tel_other = other;
  a->user = sip_str{};
  return true;
}

bool sip_parse_sip_uri(sip_scan_state_t& sc, sip_addr* a) {
  char* end = sc.line_end;
  char* question = end;
  if (!parse_userinfo_host_port(sc, a, &question)) return false;
  char* saved = sc.line_end;
  sc.line_end = question;
  sip_scan__skip_lws(sc);
  bool ok = true;
  if (sc.cursor < question) {
    if (!sip_scan__take(sc, ';')) {
      ok = false;
    } else {
      for (;;) {
        if (!parse_uri_param(sc, a)) {
          ok = false;
          break;
        }
        sip_scan__skip_lws(sc);
        if (sip_scan__at_end(sc)) break;
        if (!sip_scan__take(sc, ';')) {
          ok = false;
          break;
        }
      }
    }
  }
  sc.line_end = saved;
  if (!ok) return false;
  if (question < end && !take_headers(sc, a, question)) return false;
  if (a->user_param == 'P' && !sip_parse_tel_user(a)) return false;
  return true;
}

bool sip_parse_other_uri(sip_scan_state_t& sc, sip_addr* a) {
  char* start = sc.cursor;
  char* end = sc.line_end;
  char* p = start;
  while (p < end && sip_cc(*p, SIP_CC_OTHER_USER)) ++p;
  char* host = start;
  if (p < end && *p == '@') {
    if (p == start) return false;
    a->user = span(start, p);
    host = p + 1;
  }
  char* h = host;
  while (h < end && sip_cc(*h, SIP_CC_PARAM)) ++h;
  if (h == host) return false;
  a->host = span(host, h);
  sc.cursor = h;
  return true;
}

// Length limits and character checks every parsed URI must pass.
bool final_checks(const sip_addr* a) {
  if (a->user.len > SIP_URI_USER_MAX || a->host.len > SIP_URI_HOST_MAX) return false;
  u32 user_classes = a->scheme == 0 ? SIP_CC_OTHER_USER : SIP_CC_USER;
  if (sip_check__class_escaped(&a->user, 0, user_classes) != SIP_SCAN_OK) return false;
  if (sip_check__class_escaped(&a->password, 0, SIP_CC_USER) != SIP_SCAN_OK) return false;
  if (a->ipv4.len != 0 && a->ipv4.len != 4) return false;
  if (a->ipv4.len == 0) {
    if (a->scheme != 0) {
      if (sip_check__class(&a->host, 1, SIP_CC_HOST) != SIP_SCAN_OK) return false;
      if (sip_host__dotted_quad_test(a->host)) return false;
    } else if (sip_check__class(&a->host, 1, SIP_CC_PARAM) != SIP_SCAN_OK) {
      return false;
    }
  }
  return true;
}

// Reads the scheme at `cursor`: 1 sip, 'S' sips (cursor after the ':'), or 0
// with `cursor` unchanged.
u8 parse_scheme(sip_scan_state_t& sc) {
  char* p = sc.cursor;
  char* end = sc.line_end;
  if (end - p < 4) return 0;
  if ((p[0] | 0x20) != 's' || (p[1] | 0x20) != 'i' || (p[2] | 0x20) != 'p') return 0;
  if (p[3] == ':') {
    sc.cursor = p + 4;
    return 1;
  }
  if ((p[3] | 0x20) == 's' && end - p >= 5 && p[4] == ':') {
    sc.cursor = p + 5;
    return 'S';
  }
  return 0;
}

int finish(sip_scan_state_t& sc, bool ok) {
  sc.cursor = sc.line_end;
  return ok ? 2 : 3;
}

}  // namespace

bool sip_host__dotted_quad_test(sip_str host) {
  u16 n = host.len;
  if (n > 0 && host.ptr[n - 1] == 0) --n;
  int groups = 0;
  bool out_of_range = false;
  u16 i = 0;
  while (i < n) {
    u16 start = i;
    unsigned value = 0;
    while (i < n && host.ptr[i] >= '0' && host.ptr[i] <= '9') {
      if (value <= 255) value = value * 10 + static_cast<unsigned>(host.ptr[i] - '0');
      ++i;
    }
    if (i == start) return false;
    if (i - start > 3 || value > 255) out_of_range = true;
    ++groups;
    if (i < n) {
      if (host.ptr[i] != '.') return false;
      ++i;
      if (i == n) return false;
    }
  }
  return groups == 4 && out_of_range;
}

int sip_parse_uri(sip_scan_state_t& sc, sip_addr* addr) {
  clear_addr(addr);
  addr->text = span(sc.cursor, sc.line_end);
  addr->scheme = parse_scheme(sc);
  bool ok = addr->scheme != 0 ? sip_parse_sip_uri(sc, addr) : sip_parse_other_uri(sc, addr);
  return finish(sc, ok && final_checks(addr));
}

int sip_parse_uri_noparams(sip_scan_state_t& sc, sip_addr* addr) {
  clear_addr(addr);
  addr->text = span(sc.cursor, sc.line_end);
  addr->scheme = parse_scheme(sc);
  bool ok;
  if (addr->scheme != 0) {
    char* question = sc.line_end;
    ok = parse_userinfo_host_port(sc, addr, &question);
  } else {
    ok = sip_parse_other_uri(sc, addr);
  }
  if (ok) {
    sip_scan__skip_lws(sc);
    ok = sip_scan__at_end(sc);
  }
  return finish(sc, ok && final_checks(addr));
}
