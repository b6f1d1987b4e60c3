// Command strings of the V.25 call set-up service: every string is either
// accepted, and then holds only known commands up to its end mark within
// the command area, or refused with the code that names what is wrong.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "fax/acu.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const size_t area = 1 + data[0] % 64;
  const std::string_view s(reinterpret_cast<const char*>(data + 1), size - 1);
  const acu_error e = acu_check_commands(s, area);
  const size_t end = s.find('.');
  const size_t n = end == std::string_view::npos ? s.size() : end + 1;
  bool unknown = false;
  for (size_t i = 0; i < n && i < area; ++i)
    if (std::string_view("<S>uHIKci.").find(s[i]) == std::string_view::npos) unknown = true;
  switch (e) {
    case ACU_OK:
      if (unknown || end == std::string_view::npos || n > area) std::abort();
      break;
    case ACU_ERR_COMMAND_LETTER:
      if (!unknown) std::abort();
      break;
    case ACU_ERR_COMMAND_LENGTH:
      if (unknown || n <= area) std::abort();
      break;
    case ACU_ERR_COMMAND_END:
      if (unknown || end != std::string_view::npos || n > area) std::abort();
      break;
    default: std::abort();
  }
  return 0;
}
