// SIP URI and address encoders: the request and status lines, SIP and SIPS
// URIs with a plain or telephone-subscriber user part, addresses with their
// URI parameters, and the small writers every encoder shares.
#include "sip/text/sip_encode_int.h"
#include "sip/text/sip_scan.h"
#include "platform/int_types.h"

// ---------------------------------------------------------------------------
// Small writers

void put_char(char c) { (void)sip_out__append_bytes(&c, 1); }
void put_crlf() { (void)sip_out__append_bytes("\r\n", 2); }

void put_ipv4(sip_str bytes) {
  if (bytes.len != 4 || bytes.ptr == nullptr) return;
  for (int i = 0; i < 4; ++i) {
    if (i != 0) put_char('.');
    put_dec(static_cast<u8>(bytes.ptr[i]));
  }
}

void put_coded(const sip_value_table& table, u8 code, sip_str text) {
  if (code != SIP_CODE_NONE) {
    const char* name = nullptr;
    if (sip_value__lookup(table, code, &name) == SIP_RESULT_OK && name != nullptr) put(name);
    return;
  }
  put(text);
}

void put_display(sip_str display, u8 quoted) {
  if (quoted != 1) {
    put(display);
    return;
  }
  // The parser keeps a quoted name without its escapes: they are put back.
  put_char('"');
  const u16 n = sip_str__chars(display);
  for (u16 i = 0; i < n; ++i) {
    const char c = display.ptr[i];
    if (c == '"' || c == '\\') put_char('\\');
    put_char(c);
  }
  put_char('"');
}

void unput(u16 n) {
  if (sip_out.overflow || sip_out.ptr == nullptr) return;
  sip_out.ptr -= n;
}

namespace {

struct written_name {
  const char* full;
  char compact;
};

// Written header names by id (3 .. 61), and 78 Referred-By.
constexpr written_name names[] = {
    {"Accept", 0},
    {"Accept-Encoding", 0},
    {"Accept-Language", 0},
    {"Alert-Info", 0},
    {"Allow", 0},
    {"Authentication-Info", 0},
    {"Authorization", 0},
    {"Call-ID", 'i'},
    {"Call-Info", 0},
    {"Contact", 'm'},
    {"Content-Disposition", 0},
    {"Content-Encoding", 'e'},
    {"Content-Language", 0},
    {"Content-Length", 'l'},
    {"Content-Type", 'c'},
    {"CSeq", 0},
    {"Date", 0},
    {"Diversion", 0},
    {"Error-Info", 0},
    {"Expires", 0},
    {"From", 'f'},
    {"History-Info", 0},
    {"In-Reply-To", 0},
    {"Max-Forwards", 0},
    {"MIME-Version", 0},
    {"Min-Expires", 0},
    {"Min-SE", 0},
    {"Organization", 0},
    {"P-Asserted-Identity", 0},
    {"P-Early-Media", 0},
    {"P-Media-Authorization", 0},
    {"P-Preferred-Identity", 0},
    {"Path", 0},
    {"Priority", 0},
    {"Privacy", 0},
    {"Proxy-Authenticate", 0},
    {"Proxy-Authorization", 0},
    {"Proxy-Require", 0},
    {"Reason", 0},
    {"Record-Route", 0},
    {"Replaces", 0},
    {"Reply-To", 0},
    {"Request-Disposition", 'd'},
    {"Require", 0},
    {"Retry-After", 0},
    {"Route", 0},
    {"Server", 0},
    {"Service-Route", 0},
    {"Session-Expires", 'x'},
    {"Session-ID", 0},
    {"Subject", 's'},
    {"Supported", 'k'},
    {"Timestamp", 0},
    {"To", 't'},
    {"Unsupported", 0},
    {"User-Agent", 0},
    {"Via", 'v'},
    {"Warning", 0},
    {"WWW-Authenticate", 0},
};
static_assert(sizeof names / sizeof names[0] == 61 - 3 + 1);
constexpr written_name referred_by_name = {"Referred-By", 'b'};

}  // namespace

void put_header_name(sip_header_id id) {
  const unsigned n = sip_hdr_slot(id);
  const written_name* w = nullptr;
  if (n >= 3 && n <= 61) w = &names[n - 3];
  if (id == sip_header_id::referred_by) w = &referred_by_name;
  if (w == nullptr) return;
  if (w->compact != 0 && sip_encode__compact()) {
    const char text[] = {w->compact, ':', ' '};
    (void)sip_out__append_bytes(text, 3);
    return;
  }
  put(w->full);
  (void)sip_out__append_bytes(": ", 2);
}

// ---------------------------------------------------------------------------
// URIs

namespace {

bool is_sip(const sip_addr& a) { return a.scheme == 1 || a.scheme == 'S'; }

// Host text, else the four address bytes.
void put_host(const sip_addr& a) {
  if (has(a.host)) put(a.host);
  else put_ipv4(a.ipv4);
}

// The URI parameters a Request-URI keeps: transport, ttl, maddr, user.
void put_routing_params(const sip_addr& a) {
  if (a.transport != SIP_CODE_NONE || has(a.transport_other)) {
    put(";transport=");
    put_coded(sip_vt_uri_transport, a.transport, a.transport_other);
  }
  if (a.ttl != SIP_CODE_NONE) {
    put(";ttl=");
    put_dec(a.ttl);
  }
  if (has(a.maddr)) {
    put(";maddr=");
    put(a.maddr);
  }
  if (a.user_param != SIP_CODE_NONE || has(a.user_other)) {
    put(";user=");
    put_coded(sip_vt_user_param, a.user_param, a.user_other);
  }
}

// Any URI that is not SIP: the absolute text, or user "@" host.
void put_other_uri(const sip_addr& a) {
  if (a.scheme == 'A') {
    put(a.text);
    return;
  }
  if (has(a.user)) {
    put(a.user);
    put_char('@');
  }
  put(a.host);
}

}  // namespace

void sip_out__uri(const sip_addr& a) {
  if (!is_sip(a)) {
    put_other_uri(a);
    return;
  }
  put(a.scheme == 'S' ? "sips:" : "sip:");
  bool user_part = false;
  if (has(a.user)) {
    put(a.user);
    user_part = true;
  } else if (has(a.phone_number)) {
    if (a.global == 1) put_char('+');
    put(a.phone_number);
    const struct {
      const char* name;
      const sip_str& value;
    } tel[] = {{";isub=", a.isub}, {";postd=", a.postd}, {";phone-context=", a.phone_context}, {";tsp=", a.tsp}};
    for (const auto& p : tel) {
      if (!has(p.value)) continue;
      put(p.name);
      put(p.value);
    }
    if (has(a.tel_other)) {
      put_char(';');
      put(a.tel_other);
    }
    user_part = true;
  }
  if (user_part) {
    if (has(a.password)) {
      put_char(':');
      put(a.password);
    }
    put_char('@');
  }
  put_host(a);
  if (a.port != SIP_PORT_NONE) {
    put_char(':');
    put_dec(a.port);
  }
}

bool sip_out__request_line() {
  const u8 kind = sip_encode_kind;
  const char* method = nullptr;
  if (kind < 'A' || kind > 'F' || sip_value__lookup(sip_vt_method, kind, &method) != SIP_RESULT_OK || method == nullptr)
    return false;
  const sip_addr& a = sip_hdr_area.request_line;
  put(method);
  put_char(' ');
  if (is_sip(a)) {
    sip_out__uri(a);
    put_routing_params(a);
  } else {
    put_other_uri(a);
  }
  if (has(a.params_other)) {
    put_char(';');
    put(a.params_other);
  }
  put(" SIP/2.0\r\n");
  return !sip_out.overflow;
}

void sip_out__status_line() {
  put("SIP/2.0 ");
  put_dec(sip_hdr_area.status_line.code);
  put_char(' ');
  put(sip_hdr_area.status_line.reason);
  put_crlf();
}

void sip_out__addr_params(const sip_addr& a, bool lr) {
  if (a.scheme == '*') {
    put_char('*');
    return;
  }
  if (!is_sip(a)) {
    if (a.scheme != 'A' && !has(a.user) && sip_str__chars(a.host) == 1 && a.host.ptr[0] == '*') {
      put_char('*');
      return;
    }
    put_char('<');
    put_other_uri(a);
    put_char('>');
    return;
  }
  put_char('<');
  sip_out__uri(a);
  put_routing_params(a);
  if (a.method_param != SIP_CODE_NONE) {
    const char* name = nullptr;
    if (sip_value__lookup(sip_vt_method, a.method_param, &name) == SIP_RESULT_OK && name != nullptr) {
      put(";method=");
      put(name);
    }
  }
  if (lr && a.lr == 1) put(";lr");
  if (has(a.params_other)) {
    put_char(';');
    put(a.params_other);
  }
  if (has(a.headers)) {
    put_char('?');
    put(a.headers);
  }
  put_char('>');
}

void sip_out__addr_short(const sip_addr& a) {
  put_char('<');
  if (!is_sip(a)) {
    put_other_uri(a);
  } else {
    sip_out__uri(a);
    if (a.user_param != SIP_CODE_NONE || has(a.user_other)) {
      put(";user=");
      put_coded(sip_vt_user_param, a.user_param, a.user_other);
    }
  }
  put_char('>');
}
