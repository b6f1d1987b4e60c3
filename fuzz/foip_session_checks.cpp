// Text checks of the FOIP session parameters: the first byte chooses what
// the rest is read as.
//   0: a file-name pattern with its integer directives substituted;
//   1: a phone number checked in place (room 25);
//   2: a user name.
// Results must stay terminated within their rooms and refused input must
// leave the output unchanged.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "session/foip/foip.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const uint8_t mode = data[0] % 3;
  const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
  const char* in = text.c_str();  // cut at the first NUL, as a record field would be
  if (mode == 0) {
    char out[200];
    std::memset(out, 'x', sizeof out);
    if (foip__format_fname(out, sizeof out, in, 1234, 61)) {
      if (strnlen(out, sizeof out) >= sizeof out) std::abort();
    }
  } else if (mode == 1) {
    char out[25] = "unchanged";
    const uint8_t r = foip__chk_phone_number(out, in, sizeof out);
    if (r < 1 || r > 3) std::abort();
    if (strnlen(out, sizeof out) >= sizeof out) std::abort();
    if (r == 3 && std::strcmp(out, "unchanged") != 0) std::abort();
  } else {
    (void)foip__chk_user_name(in);
  }
  return 0;
}
