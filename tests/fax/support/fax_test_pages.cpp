#include "fax/support/fax_test_pages.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <sstream>
#include <stdexcept>

#include "fax/t4t6.h"

#ifdef KV_HAVE_LIBTIFF
#include <tiffio.h>
#endif

namespace fax_test {

const char* kind_name(kind k) {
  switch (k) {
    case kind::blank: return "blank";
    case kind::text: return "text";
    case kind::lines: return "lines";
    case kind::noise: return "noise";
  }
  return "?";
}

namespace {

void set_pel(page& p, uint32_t x, uint32_t y) {
  if (x < p.width && y < p.height) p.row(y)[x >> 3] |= static_cast<uint8_t>(0x80 >> (x & 7));
}

// Fills the part of the rectangle that lies on the page.
void fill_rect(page& p, uint32_t x0, uint32_t y0, uint32_t w, uint32_t h) {
  const uint32_t x1 = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{x0} + w, p.width));
  const uint32_t y1 = static_cast<uint32_t>(std::min<uint64_t>(uint64_t{y0} + h, p.height));
  for (uint32_t y = y0; y < y1; ++y)
    for (uint32_t x = x0; x < x1; ++x) set_pel(p, x, y);
}

// a - b, or 0 when b is larger.
uint32_t less(uint32_t a, uint32_t b) { return a > b ? a - b : 0; }

}  // namespace

page make_page(kind k, uint32_t width, uint32_t height, uint32_t seed) {
  page p;
  p.width = width;
  p.height = height;
  p.bits.assign(size_t{p.stride()} * height, 0);
  std::mt19937 rng(seed);
  auto rnd = [&rng](uint32_t n) { return static_cast<uint32_t>(rng() % n); };
  const uint32_t scale = height > 1500 ? 2 : 1;  // fine resolution: taller glyphs
  switch (k) {
    case kind::blank: break;
    case kind::text: {
      // Lines of glyph-like shapes: strokes, bowls and gaps between words.
      const uint32_t line_h = 24 * scale;
      for (uint32_t top = 40 * scale; top + line_h < height; top += line_h + 6 * scale) {
        if (rnd(6) == 0) continue;  // paragraph gap
        uint32_t x = 80 + rnd(40);
        const uint32_t end = less(less(width, 80), rnd(400));
        while (x + 14 < end) {
          if (rnd(7) == 0) {
            x += 14;  // space
            continue;
          }
          const uint32_t gh = (10 + rnd(8)) * scale, base = top + line_h - 4 * scale;
          switch (rnd(4)) {
            case 0: fill_rect(p, x + 2, base - gh, 2, gh); break;  // stem
            case 1:
              fill_rect(p, x + 1, base - gh / 2, 8, 2 * scale);  // bar
              fill_rect(p, x + 1, base - gh / 2, 2, gh / 2);
              break;
            case 2:
              for (uint32_t t = 0; t < gh; ++t)  // diagonal
                fill_rect(p, x + 1 + t * 8 / gh, base - t, 2, 1);
              break;
            default:
              fill_rect(p, x + 1, base - gh / 2, 7, 2);  // bowl
              fill_rect(p, x + 1, base - 2, 7, 2);
              fill_rect(p, x + 1, base - gh / 2, 2, gh / 2);
              fill_rect(p, x + 7, base - gh / 2, 2, gh / 2);
          }
          x += 10 + rnd(3);
        }
      }
      break;
    }
    case kind::lines: {
      // A form: frame, ruled rows, columns, a thick bar and pels at both edges.
      fill_rect(p, 0, 0, width, 3);
      fill_rect(p, 0, less(height, 3), width, 3);
      fill_rect(p, 0, 0, 2, height);
      fill_rect(p, less(width, 2), 0, 2, height);
      for (uint32_t y = 60; y < height; y += 37 * scale) fill_rect(p, 40, y, less(width, 80), 1 + (y / 37) % 3);
      for (uint32_t x = 40; x < width; x += 173) fill_rect(p, x, 60, 2, less(height, 120));
      fill_rect(p, 300, height / 3, less(width, 600), 40 * scale);
      for (uint32_t y = 0; y < height; y += 5) set_pel(p, width - 1, y), set_pel(p, 0, y + 2);
      break;
    }
    case kind::noise: {
      // Random pels, denser in bands: many short runs, the worst case for coding.
      for (uint32_t y = 0; y < height; ++y) {
        const uint32_t density = (y / 64) % 4 == 0 ? 2 : 8;
        for (uint32_t x = 0; x < width; ++x)
          if (rnd(density) == 0) set_pel(p, x, y);
      }
      break;
    }
  }
  return p;
}

std::vector<uint8_t> encode(const page& p, uint8_t coding, uint32_t k) {
  t4t6_encoder* e = nullptr;
  if (t4t6__open_encoder(&e, coding, p.width, k) != 0) throw std::runtime_error("open_encoder");
  std::vector<uint8_t> out(size_t{t4t6__max_line_bytes(p.width)} * (p.height + 2) + 64);
  e->out = fax_bit_cursor{out.data(), 0, 0, static_cast<int32_t>(out.size() * 8)};
  bool ok = coding == T4T6_MMR ? true : t4t6__end_page(e, 0);
  for (uint32_t y = 0; y < p.height; ++y) {
    e->line = p.row(y);
    ok = t4t6__encode_line(e) && ok;
  }
  ok = t4t6__end_page(e, 1) && ok;
  out.resize(e->out.byte_index + (e->out.bit_offset ? 1 : 0));
  t4t6__release_encoder(e);
  if (!ok) throw std::runtime_error("encoder ran out of room");
  return out;
}

decoded decode(const std::vector<uint8_t>& data, uint8_t coding, uint32_t width, uint32_t block) {
  decoded d;
  d.pg.width = width;
  t4t6_decoder* h = nullptr;
  if (t4t6__open(&h, coding, width) != 0) throw std::runtime_error("open");
  std::vector<uint8_t> line((width + 7) / 8);
  h->line = line.data();
  size_t pos = 0;
  auto next_block = [&] {
    const size_t n = block == 0 ? data.size() - pos : std::min<size_t>(block, data.size() - pos);
    h->data = data.data() + pos;
    h->data_len = static_cast<uint32_t>(n);
    pos += n;
  };
  next_block();
  for (int guard = 0; guard < 10'000'000; ++guard) {
    t4t6__decode_page(h);
    if (h->line_ready) {
      d.pg.bits.insert(d.pg.bits.end(), line.begin(), line.end());
      ++d.pg.height;
    }
    if (h->page_status != 0) break;
    if (h->end_of_data) {
      if (pos >= data.size()) {
        // The data ended without RTC/EOFB: a last complete line still counts.
        t4t6__finish_page(h);
        if (h->line_ready) {
          d.pg.bits.insert(d.pg.bits.end(), line.begin(), line.end());
          ++d.pg.height;
        }
        break;
      }
      next_block();
    }
  }
  d.status = h->page_status;
  d.error_lines = h->error_lines;
  t4t6__release(h);
  return d;
}

std::string describe_difference(const page& want, const page& got) {
  std::ostringstream os;
  if (want.width != got.width || want.height != got.height) {
    os << "size " << want.width << "x" << want.height << " vs " << got.width << "x" << got.height;
    if (want.width != got.width) return os.str();
  }
  const uint32_t h = std::min(want.height, got.height);
  for (uint32_t y = 0; y < h; ++y)
    for (uint32_t b = 0; b < want.stride(); ++b)
      if (want.row(y)[b] != got.row(y)[b]) {
        os << " first difference at line " << y << " byte " << b;
        return os.str();
      }
  return os.str();
}

#ifdef KV_HAVE_LIBTIFF
namespace {
struct silence {
  TIFFErrorHandler w, e;
  silence() : w(TIFFSetWarningHandler(nullptr)), e(TIFFSetErrorHandler(nullptr)) {}
  ~silence() { TIFFSetWarningHandler(w), TIFFSetErrorHandler(e); }
};
}  // namespace

void libtiff_write(const std::string& path, const page& p, int compression, int g3opts, uint32_t rows_per_strip,
                   bool big_endian, int fill_order, int pages, float yres) {
  silence s;
  TIFF* t = TIFFOpen(path.c_str(), big_endian ? "wb" : "wl");
  if (!t) throw std::runtime_error("TIFFOpen " + path);
  for (int n = 0; n < pages; ++n) {
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, p.width);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, p.height);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(t, TIFFTAG_COMPRESSION, compression);
    TIFFSetField(t, TIFFTAG_FILLORDER, fill_order);
    if (compression == COMPRESSION_CCITTFAX3) TIFFSetField(t, TIFFTAG_GROUP3OPTIONS, g3opts);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rows_per_strip);
    TIFFSetField(t, TIFFTAG_XRESOLUTION, 204.0f);
    TIFFSetField(t, TIFFTAG_YRESOLUTION, yres > 0 ? yres : p.height > 1500 ? 196.0f : 98.0f);
    TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    if (pages > 1) {
      TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
      TIFFSetField(t, TIFFTAG_PAGENUMBER, n, pages);
    }
    std::vector<uint8_t> row(p.stride());
    for (uint32_t y = 0; y < p.height; ++y) {
      std::copy(p.row(y), p.row(y) + p.stride(), row.begin());
      if (TIFFWriteScanline(t, row.data(), y, 0) < 0) throw std::runtime_error("TIFFWriteScanline");
    }
    if (!TIFFWriteDirectory(t)) throw std::runtime_error("TIFFWriteDirectory");
  }
  TIFFClose(t);
}

void libtiff_write_fax(const std::string& path, const std::vector<page>& pages, int compression) {
  TIFF* t = TIFFOpen(path.c_str(), "w");
  ASSERT_NE(t, nullptr) << path;
  for (size_t i = 0; i < pages.size(); ++i) {
    const page& p = pages[i];
    TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, p.width);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, p.height);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_COMPRESSION, compression == 4 ? COMPRESSION_CCITTFAX4 : COMPRESSION_CCITTFAX3);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(t, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB);
    TIFFSetField(t, TIFFTAG_XRESOLUTION, 204.0f);
    TIFFSetField(t, TIFFTAG_YRESOLUTION, 196.0f);
    TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, p.height);
    TIFFSetField(t, TIFFTAG_PAGENUMBER, static_cast<int>(i), static_cast<int>(pages.size()));
    for (uint32_t y = 0; y < p.height; ++y) TIFFWriteScanline(t, const_cast<uint8_t*>(p.row(y)), y, 0);
    TIFFWriteDirectory(t);
  }
  TIFFClose(t);
}

page libtiff_read(const std::string& path, int dir) {
  silence s;
  TIFF* t = TIFFOpen(path.c_str(), "r");
  if (!t) throw std::runtime_error("TIFFOpen " + path);
  if (!TIFFSetDirectory(t, static_cast<tdir_t>(dir))) throw std::runtime_error("TIFFSetDirectory");
  page p;
  uint32_t w = 0, h = 0;
  uint16_t photo = 0;
  TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w);
  TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h);
  TIFFGetFieldDefaulted(t, TIFFTAG_PHOTOMETRIC, &photo);
  p.width = w;
  p.height = h;
  p.bits.assign(size_t{p.stride()} * h, 0);
  for (uint32_t y = 0; y < h; ++y)
    if (TIFFReadScanline(t, p.row(y), y, 0) < 0) throw std::runtime_error("TIFFReadScanline");
  if (photo == PHOTOMETRIC_MINISBLACK)
    for (auto& b : p.bits) b = static_cast<uint8_t>(~b);
  TIFFClose(t);
  return p;
}

page libtiff_decode_raw(const std::string& scratch_path, const std::vector<uint8_t>& data, uint8_t coding,
                        uint32_t width, uint32_t height) {
  {
    silence s;
    TIFF* t = TIFFOpen(scratch_path.c_str(), "w");
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, height);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(t, TIFFTAG_COMPRESSION, coding == T4T6_MMR ? COMPRESSION_CCITTFAX4 : COMPRESSION_CCITTFAX3);
    if (coding != T4T6_MMR) TIFFSetField(t, TIFFTAG_GROUP3OPTIONS, coding == T4T6_MR ? GROUP3OPT_2DENCODING : 0);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, height);
    TIFFWriteRawStrip(t, 0, const_cast<uint8_t*>(data.data()), static_cast<tmsize_t>(data.size()));
    TIFFClose(t);
  }
  return libtiff_read(scratch_path);
}

std::vector<uint8_t> libtiff_encode_raw(const std::string& scratch_path, const page& p, uint8_t coding) {
  libtiff_write(scratch_path, p, coding == T4T6_MMR ? COMPRESSION_CCITTFAX4 : COMPRESSION_CCITTFAX3,
                coding == T4T6_MR ? GROUP3OPT_2DENCODING : 0, p.height, false, FILLORDER_MSB2LSB);
  silence s;
  TIFF* t = TIFFOpen(scratch_path.c_str(), "r");
  uint64_t* counts = nullptr;
  TIFFGetField(t, TIFFTAG_STRIPBYTECOUNTS, &counts);
  std::vector<uint8_t> raw(counts[0]);
  TIFFReadRawStrip(t, 0, raw.data(), static_cast<tmsize_t>(raw.size()));
  TIFFClose(t);
  return raw;
}
#endif

temp_dir::temp_dir() {
  std::string tmpl = (std::filesystem::temp_directory_path() / "kvfax-XXXXXX").string();
  if (!mkdtemp(tmpl.data())) throw std::runtime_error("mkdtemp");
  path = tmpl;
}

temp_dir::~temp_dir() {
  std::error_code ec;
  std::filesystem::remove_all(path, ec);
}

std::vector<uint8_t> read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::vector<uint8_t>((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
}

void write_file(const std::string& path, const std::vector<uint8_t>& data) {
  std::ofstream f(path, std::ios::binary);
  f.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
}

}  // namespace fax_test
