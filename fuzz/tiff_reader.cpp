// Fuzzes the TIFF reader: the input is a TIFF file; every page is read into a
// page data file (which for T.4/T.6 pages runs the codec over it too).
#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <unistd.h>

#include "fax/tiff.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const std::string dir = [] {
    char tmpl[] = "/tmp/kvfuzz-tiff-XXXXXX";
    return std::string(mkdtemp(tmpl) ? tmpl : "/tmp");
  }();
  static const std::string in = dir + "/in.tif", out = dir + "/page.dat";
  static auto ctx = std::make_unique<tiff__ctx>();
  if (std::FILE* f = std::fopen(in.c_str(), "wb")) {
    std::fwrite(data, 1, size, f);
    std::fclose(f);
  } else {
    return 0;
  }
  ctx->marker = 0;
  if (tiff__start_read(ctx.get(), tiff__get_ctx_size(), in.c_str()) == TIFF_DONE) {
    for (int page = 0; page < 64; ++page) {
      tiff__pg_header hdr;
      if (tiff__read_page(ctx.get(), &hdr, out.c_str()) != TIFF_NEXT_PAGE) break;
    }
  }
  tiff__close(ctx.get());
  return 0;
}
