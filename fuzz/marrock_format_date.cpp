// Fuzzes the header date pattern.  Six input bytes give the date and time
// (in and out of range), the rest is the pattern; the output must end
// within the given room and carry no trailing blank.
#include <cstdint>
#include <cstring>
#include <string>

#include "controller/page_header_render.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 7) return 0;
  const int year = 1880 + data[0] + (data[1] & 1) * 100, month = data[2] % 14, day = data[3] % 33;
  const int hour = data[4] % 26, minute = data[5] % 62, second = (data[5] >> 2) % 62;
  const std::size_t room = 1 + data[6] % 80;
  const std::string pattern(reinterpret_cast<const char*>(data + 7), size - 7);
  char out[96];
  std::memset(out, 'Z', sizeof out);
  const int r = FormatDate(pattern.c_str(), out, room, year, month, day, hour, minute, second);
  check(r == 0 || r == 1);
  const std::size_t n = ::strnlen(out, sizeof out);
  check(n < room);
  check(n == 0 || out[n - 1] != ' ');
  check(out[room] == 'Z' || room == sizeof out);
  return 0;
}
