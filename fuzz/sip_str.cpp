// Fuzz target of the SIP stack utilities: comparisons with %-escapes, dotted
// quads, the scans at a cursor, unescaping and number conversion,
// all on exactly sized copies so that a read past either end is caught.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "sip/text/sip_str.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 4096) return 0;
  // First byte: where the NUL-terminated side ends and the counted side begins.
  size_t split = data[0] % size;
  const uint8_t* rest = data + 1;
  size_t n = size - 1;
  if (split > n) split = n;

  std::vector<char> text(rest, rest + split);
  text.push_back('\0');
  std::vector<char> counted(rest + split, rest + n);
  sip_str s{static_cast<uint16_t>(counted.size()), counted.empty() ? nullptr : counted.data()};

  int a = sip_str__cmp_cstr(text.data(), s);
  int b = sip_str__cmp_nocase(text.data(), s);
  if (a == 0 && b != 0) std::abort();  // equal with case means equal without

  const char* p = s.ptr;
  uint16_t len = s.len;
  if (sip_str__parse_ipv4(&p, &len) && len != 4) std::abort();
  sip_work__release();

  uint32_t v = 0;
  (void)sip_num__dec(s.ptr, s.len, &v);
  (void)sip_num__hex(s.ptr, s.len, &v);

  std::vector<char> scan(counted);
  char* start = scan.data();
  char* end = scan.data() + scan.size();
  sip_scan_state_t sc;
  sc.end = end;
  auto at_start = [&] {
    sc.cursor = start;
    sc.line_end = end;
  };
  auto inside = [&] { return sc.cursor >= start && sc.cursor <= end; };
  at_start();
  if (sip_scan__keyword(sc, text.data()) != 0 && sc.cursor != start) std::abort();
  at_start();
  if (sip_scan__literal(sc, text.data()) && sc.cursor != start) std::abort();
  at_start();
  sip_str t{static_cast<uint16_t>(split), text.data()};
  (void)sip_scan__str(sc, t);
  if (!inside()) std::abort();
  at_start();
  (void)sip_scan__comment(sc);
  if (!inside()) std::abort();
  at_start();
  (void)sip_scan__quoted(sc);
  if (!inside()) std::abort();

  uint16_t ulen = s.len;
  if (ulen) {
    (void)sip_str__unescape(scan.data(), &ulen);
    if (ulen > s.len) std::abort();
  }

  char out[32];
  sip_out__start(out, sizeof out);
  (void)sip_out__append_str(s);
  (void)sip_out__append_cstr(text.data());
  (void)sip_out__append_hex_width(v, static_cast<uint8_t>(split));
  if (sip_out.ptr > out + sizeof out) std::abort();
  (void)crc16_nocase_hash(0, rest, static_cast<uint32_t>(n));
  return 0;
}
