// Test pages for the fax codec and TIFF tests: bilevel bitmaps that look like
// real fax pages, and helpers that run them through our codec and libtiff's.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace fax_test {

struct page {
  uint32_t width = 0;
  uint32_t height = 0;
  std::vector<uint8_t> bits;  // rows of stride() bytes, set bit = black, MSB first
  uint32_t stride() const { return (width + 7) / 8; }
  const uint8_t* row(uint32_t y) const { return bits.data() + size_t{y} * stride(); }
  uint8_t* row(uint32_t y) { return bits.data() + size_t{y} * stride(); }
  bool operator==(const page&) const = default;
};

enum class kind { blank, text, lines, noise };
const char* kind_name(kind k);

// A page of the given kind; `height` lines (98 lpi A4 ~ 1143, 196 lpi ~ 2287).
page make_page(kind k, uint32_t width, uint32_t height, uint32_t seed = 1);

// Codes a page with our encoder (coding 1 MH, 2 MR, 3 MMR).  MH and MR pages
// start with an EOL and end with RTC; MMR pages end with EOFB.
std::vector<uint8_t> encode(const page& p, uint8_t coding, uint32_t k = 2);

struct decoded {
  page pg;
  uint32_t status = 0;  // decoder page status
  uint32_t error_lines = 0;
};
// Decodes with our decoder, feeding the data in blocks of `block` bytes (0 =
// all at once), until the page ends or the data are used up.
decoded decode(const std::vector<uint8_t>& data, uint8_t coding, uint32_t width, uint32_t block = 0);

std::string describe_difference(const page& want, const page& got);

#ifdef KV_HAVE_LIBTIFF
// Writes `p` to a TIFF file with libtiff (compression 1 none, 3 G3, 4 G4;
// g3opts = Group3Options), rows per strip, big-endian when `msb`, fill order;
// YResolution `yres` (0: 196 for pages above 1500 lines, else 98).
void libtiff_write(const std::string& path, const page& p, int compression, int g3opts, uint32_t rows_per_strip,
                   bool big_endian, int fill_order, int pages = 1, float yres = 0);
// Writes `pages` as a fax server stores them: one fine-resolution page per
// bitmap, MH (compression 3) or MMR (4) (a test failure when the file cannot
// be made).
void libtiff_write_fax(const std::string& path, const std::vector<page>& pages, int compression = 3);
// Reads page `dir` of a TIFF file as a bitmap (libtiff decodes it).
page libtiff_read(const std::string& path, int dir = 0);
// Decodes a raw coded strip with libtiff by wrapping it in a one-strip TIFF.
page libtiff_decode_raw(const std::string& scratch_path, const std::vector<uint8_t>& data, uint8_t coding,
                        uint32_t width, uint32_t height);
// Codes a page with libtiff and returns the raw strip bytes (one strip).
std::vector<uint8_t> libtiff_encode_raw(const std::string& scratch_path, const page& p, uint8_t coding);
#endif

// A fresh temporary folder for one test, removed by the destructor.
struct temp_dir {
  std::string path;
  temp_dir();
  ~temp_dir();
  std::string file(const std::string& name) const { return path + "/" + name; }
};

std::vector<uint8_t> read_file(const std::string& path);
void write_file(const std::string& path, const std::vector<uint8_t>& data);

}  // namespace fax_test
