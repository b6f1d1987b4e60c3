// Encodes and decodes the same multi-page fax document with our T.4/T.6 codec
// and with libtiff's CCITT codec, then prints our time over libtiff's for
// each coding and direction (below 1.0: ours is faster).
//
// Before timing, every page is checked: our decode of our coding and
// libtiff's decode of its own coding give back the page bit for bit.  The
// benchmarks run as interleaved repetitions in random order (unless other
// options are given), and the ratios are taken from the medians of one run,
// so that load from other processes falls on both codecs alike.
#include <cstdlib>
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "bench/ratio_reporter.h"
#include "fax/t4t6.h"

#ifdef KV_HAVE_LIBTIFF
#include <tiffio.h>
#endif

namespace {

constexpr uint32_t kWidth = 1728;
constexpr uint32_t kStride = kWidth / 8;

struct page {
  uint32_t height;
  std::vector<uint8_t> bits;
};

void fill(page& p, uint32_t x0, uint32_t y0, uint32_t w, uint32_t h) {
  for (uint32_t y = y0; y < y0 + h && y < p.height; ++y)
    for (uint32_t x = x0; x < x0 + w && x < kWidth; ++x) p.bits[y * kStride + x / 8] |= uint8_t(0x80 >> (x % 8));
}

// Text-like, form-like, sparse and noisy pages at 98 and 196 lines per inch.
std::vector<page> make_document() {
  std::vector<page> doc;
  std::mt19937 rng(42);
  auto rnd = [&rng](uint32_t n) { return uint32_t(rng() % n); };
  for (int n = 0; n < 10; ++n) {
    const int kind = n / 2;
    page p;
    p.height = n % 2 == 0 ? 2287 : 1143;
    p.bits.assign(size_t{p.height} * kStride, 0);
    const uint32_t s = p.height > 1500 ? 2 : 1;
    if (kind == 0 || kind == 2) {  // text
      for (uint32_t top = 40 * s; top + 30 * s < p.height; top += 30 * s)
        for (uint32_t x = 80 + rnd(30); x + 14 < kWidth - 80; x += 11) {
          if (rnd(6) == 0) continue;
          const uint32_t gh = (10 + rnd(8)) * s, base = top + 24 * s;
          fill(p, x, base - gh, 2, gh);
          fill(p, x + 2, base - gh / 2, 6, 2);
          if (rnd(2)) fill(p, x + 7, base - gh / 2, 2, gh / 2);
        }
    } else if (kind == 1) {  // form
      for (uint32_t y = 60; y < p.height; y += 37) fill(p, 40, y, kWidth - 80, 2);
      for (uint32_t x = 40; x < kWidth; x += 173) fill(p, x, 60, 2, p.height - 120);
      fill(p, 300, 400, 900, 40);
    } else if (kind == 3) {  // sparse: a signature line
      fill(p, 900, 1000, 500, 3);
    } else {  // noise
      for (uint32_t y = 0; y < p.height; ++y)
        for (uint32_t x = 0; x < kWidth; ++x)
          if (rnd(6) == 0) fill(p, x, y, 1, 1);
    }
    doc.push_back(std::move(p));
  }
  return doc;
}

const std::vector<page>& document() {
  static const std::vector<page> doc = make_document();
  return doc;
}

uint32_t k_of(const page& p) { return p.height > 1500 ? 4 : 2; }

std::vector<uint8_t> ours_encode(const page& p, uint8_t coding, std::vector<uint8_t>& out) {
  t4t6_encoder* e = nullptr;
  if (t4t6__open_encoder(&e, coding, kWidth, k_of(p)) != 0) std::abort();
  e->out = fax_bit_cursor{out.data(), 0, 0, int32_t(out.size() * 8)};
  if (coding != T4T6_MMR) t4t6__end_page(e, 0);
  for (uint32_t y = 0; y < p.height; ++y) {
    e->line = p.bits.data() + size_t{y} * kStride;
    t4t6__encode_line(e);
  }
  t4t6__end_page(e, 1);
  const size_t n = e->out.byte_index + (e->out.bit_offset ? 1 : 0);
  t4t6__release_encoder(e);
  return std::vector<uint8_t>(out.begin(), out.begin() + long(n));
}

uint32_t ours_decode(const std::vector<uint8_t>& data, uint8_t coding, std::vector<uint8_t>& bitmap) {
  t4t6_decoder* h = nullptr;
  if (t4t6__open(&h, coding, kWidth) != 0) std::abort();
  h->data = data.data();
  h->data_len = uint32_t(data.size());
  uint32_t lines = 0;
  const uint32_t max_lines = uint32_t(bitmap.size() / kStride);
  h->line = bitmap.data();
  while (lines < max_lines) {
    t4t6__decode_page(h);
    if (h->line_ready) h->line = bitmap.data() + size_t{++lines} * kStride;
    if (h->page_status != T4T6_PAGE_DECODING || h->end_of_data) break;
  }
  t4t6__release(h);
  return lines;
}

std::vector<std::vector<uint8_t>> coded_document(uint8_t coding) {
  std::vector<uint8_t> buf(size_t{t4t6__max_line_bytes(kWidth)} * 2400);
  std::vector<std::vector<uint8_t>> pages;
  for (const auto& p : document()) pages.push_back(ours_encode(p, coding, buf));
  return pages;
}

void BM_ours_encode(benchmark::State& state) {
  const uint8_t coding = uint8_t(state.range(0));
  std::vector<uint8_t> buf(size_t{t4t6__max_line_bytes(kWidth)} * 2400);
  size_t bytes = 0;
  for (auto _ : state)
    for (const auto& p : document()) {
      auto v = ours_encode(p, coding, buf);
      bytes += v.size();
      benchmark::DoNotOptimize(v.data());
    }
  state.counters["coded_bytes"] = benchmark::Counter(double(bytes), benchmark::Counter::kAvgIterations);
}

void BM_ours_decode(benchmark::State& state) {
  const uint8_t coding = uint8_t(state.range(0));
  const auto pages = coded_document(coding);
  std::vector<uint8_t> bitmap(size_t{kStride} * 2400);
  for (auto _ : state)
    for (const auto& d : pages) benchmark::DoNotOptimize(ours_decode(d, coding, bitmap));
}

#ifdef KV_HAVE_LIBTIFF
// A TIFF held in memory, so that libtiff's timings carry no file I/O.
struct mem_tiff {
  std::vector<uint8_t> data;
  toff_t pos = 0;
};

tmsize_t mem_read(thandle_t h, void* buf, tmsize_t n) {
  auto* m = static_cast<mem_tiff*>(h);
  const tmsize_t avail = tmsize_t(m->data.size()) - tmsize_t(m->pos);
  const tmsize_t k = std::max<tmsize_t>(0, std::min(n, avail));
  std::memcpy(buf, m->data.data() + m->pos, size_t(k));
  m->pos += toff_t(k);
  return k;
}
tmsize_t mem_write(thandle_t h, void* buf, tmsize_t n) {
  auto* m = static_cast<mem_tiff*>(h);
  if (m->pos + toff_t(n) > m->data.size()) m->data.resize(m->pos + toff_t(n));
  std::memcpy(m->data.data() + m->pos, buf, size_t(n));
  m->pos += toff_t(n);
  return n;
}
toff_t mem_seek(thandle_t h, toff_t off, int whence) {
  auto* m = static_cast<mem_tiff*>(h);
  m->pos = whence == SEEK_SET ? off : whence == SEEK_CUR ? m->pos + off : m->data.size() + off;
  return m->pos;
}
int mem_close(thandle_t) { return 0; }
toff_t mem_size(thandle_t h) { return static_cast<mem_tiff*>(h)->data.size(); }
int mem_map(thandle_t, void**, toff_t*) { return 0; }
void mem_unmap(thandle_t, void*, toff_t) {}

TIFF* mem_open(mem_tiff& m, const char* mode) {
  m.pos = 0;
  return TIFFClientOpen("mem", mode, &m, mem_read, mem_write, mem_seek, mem_close, mem_size, mem_map, mem_unmap);
}

void libtiff_encode(mem_tiff& m, uint8_t coding) {
  m.data.clear();
  TIFF* t = mem_open(m, "w");
  for (const auto& p : document()) {
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, kWidth);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, p.height);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(t, TIFFTAG_COMPRESSION, coding == T4T6_MMR ? COMPRESSION_CCITTFAX4 : COMPRESSION_CCITTFAX3);
    if (coding != T4T6_MMR) TIFFSetField(t, TIFFTAG_GROUP3OPTIONS, coding == T4T6_MR ? GROUP3OPT_2DENCODING : 0);
    TIFFSetField(t, TIFFTAG_YRESOLUTION, p.height > 1500 ? 196.0f : 98.0f);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, p.height);
    TIFFWriteEncodedStrip(t, 0, const_cast<uint8_t*>(p.bits.data()), tmsize_t(p.bits.size()));
    TIFFWriteDirectory(t);
  }
  TIFFClose(t);
}

void BM_libtiff_encode(benchmark::State& state) {
  const uint8_t coding = uint8_t(state.range(0));
  mem_tiff m;
  for (auto _ : state) {
    libtiff_encode(m, coding);
    benchmark::DoNotOptimize(m.data.data());
  }
}

void BM_libtiff_decode(benchmark::State& state) {
  const uint8_t coding = uint8_t(state.range(0));
  mem_tiff m;
  libtiff_encode(m, coding);
  std::vector<uint8_t> bitmap(size_t{kStride} * 2400);
  for (auto _ : state) {
    TIFF* t = mem_open(m, "r");
    do {
      benchmark::DoNotOptimize(TIFFReadEncodedStrip(t, 0, bitmap.data(), tmsize_t(bitmap.size())));
    } while (TIFFReadDirectory(t));
    TIFFClose(t);
  }
}
#endif

const char* coding_name(int64_t c) { return c == T4T6_MH ? "MH" : c == T4T6_MR ? "MR" : "MMR"; }

// Every page decodes back to itself, with our codec and with libtiff's.
bool check_document() {
  bool ok = true;
  std::vector<uint8_t> bitmap(size_t{kStride} * 2400);
  for (uint8_t coding = T4T6_MH; coding <= T4T6_MMR; ++coding) {
    const auto pages = coded_document(coding);
    for (size_t i = 0; i < pages.size(); ++i) {
      const page& p = document()[i];
      std::fill(bitmap.begin(), bitmap.end(), 0xA5);
      const uint32_t lines = ours_decode(pages[i], coding, bitmap);
      if (lines != p.height || !std::equal(p.bits.begin(), p.bits.end(), bitmap.begin())) {
        (void)std::fprintf(stderr, "%s page %zu: our decode differs from the page\n", coding_name(coding), i);
        ok = false;
      }
    }
#ifdef KV_HAVE_LIBTIFF
    mem_tiff m;
    libtiff_encode(m, coding);
    TIFF* t = mem_open(m, "r");
    size_t i = 0;
    do {
      const page& p = document()[i];
      std::fill(bitmap.begin(), bitmap.end(), 0xA5);
      const tmsize_t n = TIFFReadEncodedStrip(t, 0, bitmap.data(), tmsize_t(bitmap.size()));
      if (n != tmsize_t(p.bits.size()) || !std::equal(p.bits.begin(), p.bits.end(), bitmap.begin())) {
        (void)std::fprintf(stderr, "%s page %zu: libtiff's decode differs from the page\n", coding_name(coding), i);
        ok = false;
      }
    } while (++i < document().size() && TIFFReadDirectory(t));
    TIFFClose(t);
    if (i != document().size()) {
      (void)std::fprintf(stderr, "%s: libtiff wrote %zu of %zu pages\n", coding_name(coding), i, document().size());
      ok = false;
    }
#endif
  }
  return ok;
}

}  // namespace

BENCHMARK(BM_ours_encode)->DenseRange(1, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ours_decode)->DenseRange(1, 3)->Unit(benchmark::kMillisecond);
#ifdef KV_HAVE_LIBTIFF
BENCHMARK(BM_libtiff_encode)->DenseRange(1, 3)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_libtiff_decode)->DenseRange(1, 3)->Unit(benchmark::kMillisecond);
#endif

int main(int argc, char** argv) {
  kv_bench::initialize_with_medians(argc, argv);
#ifdef KV_HAVE_LIBTIFF
  TIFFSetWarningHandler(nullptr);
#endif
  if (!check_document()) return 1;
  kv_bench::ratio_reporter reporter;
  benchmark::RunSpecifiedBenchmarks(&reporter);
  std::printf("\nOur time / libtiff's time, %zu-page document (goal: decode <= 0.60, encode <= 0.50):\n",
              document().size());
  std::printf("  coding  encode  decode\n");
  for (int c = 1; c <= 3; ++c) {
    std::printf("  %-6s", coding_name(c));
    for (const char* op : {"encode", "decode"}) {
      const std::string ours = std::string("BM_ours_") + op + "/" + std::to_string(c);
      const std::string theirs = std::string("BM_libtiff_") + op + "/" + std::to_string(c);
      if (reporter.times.count(ours) && reporter.times.count(theirs))
        std::printf("  %6.2f", reporter.times[ours] / reporter.times[theirs]);
      else std::printf("  %6s", "-");
    }
    std::printf("\n");
  }
  benchmark::Shutdown();
  return 0;
}
