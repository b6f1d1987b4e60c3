// Fuzz target: the SIP URI parser, with and without URI parameters.  Every
// text the parser records must lie inside the input (the IPv4 address bytes
// and the joined other parameters, kept in the work area, must be readable),
// and an accepted URI must keep each field within its stated length.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>

#include "sip/text/sip_scan.h"
#include "sip/text/sip_uri.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

struct input {
  const char* begin;
  const char* end;
};

// A text of the input: empty, or a range inside it (every byte is read, so
// that the address sanitizer sees a pointer that strays).
void in_input(const input& in, sip_str s) {
  if (s.len == 0) return;
  check(s.ptr != nullptr && s.ptr >= in.begin && s.ptr + s.len <= in.end);
  volatile char sink = 0;
  for (std::uint16_t i = 0; i < s.len; ++i) sink = static_cast<char>(sink ^ s.ptr[i]);
}

// A text kept in the work area: every byte readable.
void readable(sip_str s) {
  if (s.len == 0) return;
  check(s.ptr != nullptr);
  volatile char sink = 0;
  for (std::uint16_t i = 0; i < s.len; ++i) sink = static_cast<char>(sink ^ s.ptr[i]);
}

void check_addr(const input& in, const sip_addr& a, bool accepted) {
  for (sip_str s : {a.user, a.phone_number, a.isub, a.postd, a.phone_context, a.tsp, a.tel_other, a.password, a.host,
                    a.maddr, a.transport_other, a.user_other, a.headers})
    in_input(in, s);
  readable(a.ipv4);
  readable(a.params_other);
  // The whole URI as received.
  check(a.text.ptr == in.begin && a.text.len == static_cast<std::uint16_t>(in.end - in.begin));
  if (!accepted) return;
  check(a.scheme == 0 || a.scheme == 1 || a.scheme == 'S');
  check(a.user.len <= SIP_URI_USER_MAX && a.host.len <= SIP_URI_HOST_MAX);
  check(a.password.len <= SIP_URI_PASSWORD_MAX && a.headers.len <= SIP_URI_HEADERS_MAX);
  check(a.phone_number.len <= SIP_URI_PHONE_MAX && a.isub.len <= 20 && a.postd.len <= 10);
  check(a.phone_context.len <= 32 && a.tsp.len <= 32 && a.tel_other.len <= 64);
  check(a.maddr.len <= 64 && (a.maddr.ptr == nullptr || a.maddr.len >= 1));
  check(a.transport_other.len <= 8 && a.user_other.len <= 16 && a.params_other.len <= 512);
  check(a.ipv4.len == 0 || a.ipv4.len == 4);
  // A sip or sips URI names its host one way or the other.
  if (a.scheme != 0) check((a.host.len != 0) != (a.ipv4.len == 4));
  check(a.port == SIP_PORT_NONE || a.port != 0);
  // A telephone number: only when the user part was read as one, and with
  // '+' in front exactly when global.
  if (a.phone_number.len != 0) {
    check(a.user_param == 'P' && a.user.len == 0 && (a.global == 0 || a.global == 1));
    check(a.phone_number.ptr > in.begin && (a.phone_number.ptr[-1] == '+') == (a.global == 1));
  } else {
    check(a.global == -1);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 4096) return 0;
  for (int pass = 0; pass < 2; ++pass) {
    // An exactly sized copy, so that a read past the end is caught.
    std::unique_ptr<char[]> buf(new char[size == 0 ? 1 : size]);
    if (size != 0) std::memcpy(buf.get(), data, size);
    const input in{buf.get(), buf.get() + size};
    sip_scan_state_t sc;
    sc.cursor = buf.get();
    sc.end = buf.get() + size;
    sc.line_end = buf.get() + size;
    sip_addr addr;
    int r = pass == 0 ? sip_parse_uri(sc, &addr) : sip_parse_uri_noparams(sc, &addr);
    check(r == 2 || r == 3);
    check(sc.cursor == sc.line_end);
    check_addr(in, addr, r == 2);
    if (pass == 1 && r == 2) {
      // Without parameters nothing after the host and port is kept.
      check(addr.maddr.len == 0 && addr.params_other.len == 0 && addr.headers.len == 0 &&
            addr.transport == SIP_CODE_NONE && addr.lr == 0);
    }
    sip_work__release();
  }
  return 0;
}
