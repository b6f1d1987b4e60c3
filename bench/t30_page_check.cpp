// Speed of the T.30 page-data work outside ECM: the received-page line check
// and the re-framing of a page to send, on an A4 page of 1143 MH lines, and
// the DIS/DCS FIF codec.
#include <cstdlib>
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "fax/t30_capability.h"
#include "fax/t30_page_check.h"
#include "fax/t4t6.h"

namespace {

constexpr uint32_t kWidth = 1728;
constexpr uint32_t kLines = 1143;

// A page with text-like lines: runs of black of varying length.
std::vector<uint8_t> coded_page() {
  std::vector<uint8_t> row(kWidth / 8);
  std::vector<uint8_t> out(size_t{kLines} * t4t6__max_line_bytes(kWidth) + 64);
  t4t6_encoder* e = nullptr;
  if (t4t6__open_encoder(&e, T4T6_MH, kWidth, 1) != 0) std::abort();
  e->out = {out.data(), 0, 0, static_cast<int32_t>(out.size() * 8)};
  t4t6__end_page(e, 0);
  uint32_t seed = 12345;
  for (uint32_t y = 0; y < kLines; ++y) {
    std::fill(row.begin(), row.end(), 0);
    if (y % 24 < 16) {
      for (uint32_t x = 100; x < kWidth - 100; ++x) {
        seed = seed * 1103515245u + 12345u;
        if ((seed >> 16) % 5 == 0) row[x / 8] |= static_cast<uint8_t>(0x80 >> (x % 8));
      }
    }
    e->line = row.data();
    t4t6__encode_line(e);
  }
  t4t6__end_page(e, 1);
  out.resize(e->out.byte_index + (e->out.bit_offset ? 1 : 0));
  t4t6__release_encoder(e);
  return out;
}

t30_page_format format() {
  t30_page_format f;
  f.coding = T30_CODING_MH;
  f.width = kWidth;
  f.max_line_bits = 188064;
  f.min_octets = 18;
  return f;
}

void BM_RxPageCheck(benchmark::State& state) {
  const std::vector<uint8_t> page = coded_page();
  const size_t block = static_cast<size_t>(state.range(0));
  for (auto _ : state) {
    t30_rx_page_check chk;
    chk.start(format());
    for (size_t at = 0; at < page.size(); at += block) {
      chk.feed({page.data() + at, std::min(block, page.size() - at)});
      benchmark::DoNotOptimize(chk.take());
    }
    chk.end_of_data();
    benchmark::DoNotOptimize(chk.take());
    if (chk.good_lines() != kLines) state.SkipWithError("lines lost");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
  state.counters["page_bytes"] = static_cast<double>(page.size());
}
BENCHMARK(BM_RxPageCheck)->Arg(256)->Arg(1588);

void BM_TxPageFramer(benchmark::State& state) {
  const std::vector<uint8_t> page = coded_page();
  for (auto _ : state) {
    t30_tx_page_framer fr;
    fr.start(format());
    for (size_t at = 0; at < page.size(); at += 1588) {
      const size_t n = std::min<size_t>(1588, page.size() - at);
      benchmark::DoNotOptimize(fr.feed({page.data() + at, n}, at + n == page.size()));
    }
    if (fr.lines_found() != kLines) state.SkipWithError("lines lost");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * page.size()));
}
BENCHMARK(BM_TxPageFramer);

void BM_DisBuildAndParse(benchmark::State& state) {
  const t30_capability c = t30_cap__defaults();
  for (auto _ : state) {
    const auto f = t30_cap__build_fif(t30_set_kind::dis, c, {});
    benchmark::DoNotOptimize(t30_cap__parse_fif(t30_set_kind::dis, f->view()));
  }
}
BENCHMARK(BM_DisBuildAndParse);

}  // namespace

BENCHMARK_MAIN();
