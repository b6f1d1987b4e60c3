// Fuzzes the device controller's line reader.  The first input byte picks
// the page, the second a line pattern; the rest is a TIFF file.  Every line
// read must come back as wide as the page said, and no line past the page.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "controller/fax_file.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const std::string dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  const std::string in = dir + "/marrock_read_line_" + std::to_string(::getpid()) + ".tif";
  if (std::FILE* f = std::fopen(in.c_str(), "wb")) {
    const bool written = std::fwrite(data + 2, 1, size - 2, f) == size - 2;
    if (std::fclose(f) != 0 || !written) return 0;
  } else {
    return 0;
  }
  FaxPageReader r;
  std::uint32_t width = 0, lines = 0, most = 0;
  if (r.OpenPage(in, data[0] % 4, &width, &lines, &most) == 1) {
    check(most >= lines);
    std::vector<std::uint8_t> row((width + 7) / 8);
    for (std::uint32_t i = 0; i < lines + 2 && i < 5000; ++i) {
      const int ask = (data[1] & 1) ? -1 : static_cast<int>((i * data[1]) % (lines + 2));
      const int bits = r.ReadLine(ask, row.data());
      const std::uint32_t y = ask < 0 ? i : static_cast<std::uint32_t>(ask);
      check(y < lines ? bits == static_cast<int>(width) : bits < 0);
    }
  }
  std::error_code ec;
  std::filesystem::remove(in, ec);
  return 0;
}
