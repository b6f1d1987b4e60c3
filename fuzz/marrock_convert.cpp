// Fuzzes the device controller's converter.  The input is a TIFF file: it is
// converted to a fax file; a conversion that succeeds must give a file that
// reads back with every page 1728 pels wide and at most as many pages as
// the input had.  Files live on /dev/shm when it can be written.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "controller/convert.h"
#include "controller/fax_file.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

std::string Folder() {
  static const std::string dir = ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
  return dir;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string in = Folder() + "/marrock_convert_" + std::to_string(::getpid()) + ".tif";
  if (std::FILE* f = std::fopen(in.c_str(), "wb")) {
    const bool written = size == 0 || std::fwrite(data, 1, size, f) == size;
    if (std::fclose(f) != 0 || !written) return 0;
  } else {
    return 0;
  }
  std::string dest;
  if (ConvertGraphicsFile(in, FORMAT_G3_KEEP_RES, "G3F", &dest) == STATUS_OK) {
    std::vector<FaxBitmap> pages;
    check(ReadFaxFile(dest, &pages) == STATUS_OK);
    check(!pages.empty());
    for (const FaxBitmap& p : pages) check(p.width == FAX_PAGE_WIDTH);
  }
  std::error_code ec;
  std::filesystem::remove(in, ec);
  if (!dest.empty()) std::filesystem::remove(dest, ec);
  return 0;
}
