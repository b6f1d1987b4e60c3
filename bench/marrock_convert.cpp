// Converts a 10-page fine MMR fax (text-like A4 pages at 1728 x 2287) to the
// device controller's single-strip MH form and renders its 10 header pages,
// and, for comparison, has libtiff's tiffcp re-code the same file to
// g3:1d: pages per second for both.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "controller/convert.h"
#include "controller/fax_file.h"
#include "controller/page_header_render.h"
#include "fax/t4t6.h"
#include "fax/tiff.h"

namespace {

constexpr std::uint32_t kWidth = 1728, kStride = kWidth / 8, kLines = 2287, kPages = 10;

std::string Dir() {
  static const std::string d =
      (std::filesystem::temp_directory_path() / ("marrock_bench_" + std::to_string(::getpid()))).string() + "/";
  std::filesystem::create_directories(d);
  return d;
}

std::vector<std::uint8_t> Page(unsigned seed) {
  std::vector<std::uint8_t> bits(std::size_t{kLines} * kStride, 0);
  std::mt19937 rng(seed);
  auto fill = [&](std::uint32_t x0, std::uint32_t y0, std::uint32_t w, std::uint32_t h) {
    for (std::uint32_t y = y0; y < y0 + h && y < kLines; ++y)
      for (std::uint32_t x = x0; x < x0 + w && x < kWidth; ++x)
        bits[y * kStride + x / 8] |= static_cast<std::uint8_t>(0x80 >> (x % 8));
  };
  for (std::uint32_t top = 120; top + 60 < kLines - 120; top += 60)
    for (std::uint32_t x = 160 + rng() % 40; x + 20 < kWidth - 160; x += 22) {
      if (rng() % 7 == 0) continue;
      const std::uint32_t h = 24 + rng() % 14, base = top + 48;
      fill(x, base - h, 3, h);
      fill(x + 3, base - h / 2, 12, 3);
    }
  return bits;
}

// The MMR input file, made once.
const std::string& Input() {
  static const std::string path = [] {
    std::string p = Dir() + "in.tif";
    const std::string data = Dir() + "page.dat";
    auto ctx = std::make_unique<tiff__ctx>();
    if (tiff__start_write(ctx.get(), tiff__get_ctx_size(), p.c_str()) != TIFF_DONE) std::abort();
    for (unsigned i = 0; i < kPages; ++i) {
      const auto bits = Page(i + 1);
      std::vector<std::uint8_t> out(std::size_t{kLines} * kStride * 2);
      t4t6_encoder* e = nullptr;
      if (t4t6__open_encoder(&e, T4T6_MMR, kWidth, 1) != 0) std::abort();
      e->out = {out.data(), 0, 0, static_cast<std::int32_t>((out.size() - 8) * 8)};
      for (std::uint32_t y = 0; y < kLines; ++y) {
        e->line = bits.data() + std::size_t{y} * kStride;
        t4t6__encode_line(e);
      }
      t4t6__end_page(e, 1);
      const std::size_t n = e->out.byte_index + (e->out.bit_offset ? 1 : 0);
      t4t6__release_encoder(e);
      std::FILE* f = std::fopen(data.c_str(), "wb");
      if (!f || std::fwrite(out.data(), 1, n, f) != n || std::fclose(f) != 0) std::abort();
      tiff__pg_header h;
      h.image_width = kWidth;
      h.image_length = kLines;
      h.compression = TIFF_T6;
      h.fill_order = TIFF_HIGHEST_BIT_FIRST;
      h.resolution_unit = 2;
      h.x_resolution = 204;
      h.y_resolution = 196;
      if (tiff__write_page(ctx.get(), &h, data.c_str()) != TIFF_DONE) std::abort();
    }
    tiff__close(ctx.get());
    if (MakeHeaderFontFile(Dir() + "ELIT_LF.FN", true) != STATUS_OK) std::abort();
    return p;
  }();
  return path;
}

void BM_ConvertAndHeaders(benchmark::State& state) {
  const std::string& in = Input();
  const std::string copy = Dir() + "job.tif";
  HeaderSettings s;
  s.phone_num = "+44 1234 567890";
  s.server_organisation = "Acme";
  for (auto _ : state) {
    std::filesystem::copy_file(in, copy, std::filesystem::copy_options::overwrite_existing);
    std::string dest;
    if (ConvertGraphicsFile(copy, FORMAT_G3_KEEP_RES, "G3F", &dest) != STATUS_OK) state.SkipWithError("convert");
    if (RenderHeaderFile(6, kPages, "Alice", "Bob", 0x1F, s, Dir(), Dir() + "TOPL.G3F") != 0)
      state.SkipWithError("header");
  }
  state.counters["pages/s"] = benchmark::Counter(double(kPages) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ConvertAndHeaders)->Unit(benchmark::kMillisecond)->UseRealTime();

void BM_TiffcpG3_1d(benchmark::State& state) {
  const std::string cmd = "tiffcp -c g3:1d '" + Input() + "' '" + Dir() + "cp.tif' >/dev/null 2>&1";
  for (auto _ : state)
    if (std::system(cmd.c_str()) != 0) state.SkipWithError("tiffcp failed or missing");
  state.counters["pages/s"] = benchmark::Counter(double(kPages) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_TiffcpG3_1d)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
