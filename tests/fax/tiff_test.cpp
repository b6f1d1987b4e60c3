#include "fax/tiff.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <sys/resource.h>
#include <vector>

#include "common/byte_order.h"
#include "fax/fax_bit.h"
#include "fax/support/fax_test_pages.h"
#include "fax/t4t6.h"

#ifdef KV_HAVE_LIBTIFF
#include <tiffio.h>
#endif

namespace {

using bytes = std::vector<uint8_t>;
using fax_test::page;

std::unique_ptr<tiff__ctx> new_ctx() { return std::make_unique<tiff__ctx>(); }

uint16_t le16(const bytes& b, size_t at) { return get_le16(b.data() + at); }
uint32_t le32(const bytes& b, size_t at) { return get_le32(b.data() + at); }

tiff__pg_header fax_header(uint16_t compression, uint32_t width, uint32_t length, uint16_t yres) {
  tiff__pg_header h;
  h.image_type = TIFF_BILEVEL_IMAGE;
  h.image_width = width;
  h.image_length = length;
  h.compression = compression;
  h.fill_order = TIFF_HIGHEST_BIT_FIRST;
  h.color_format = TIFF_WHITEISZERO;
  h.resolution_unit = 2;
  h.x_resolution = 204;
  h.y_resolution = yres;
  return h;
}

uint8_t coding_of(uint16_t compression) {
  return compression == TIFF_T4_MONO ? T4T6_MH : compression == TIFF_T4_BI ? T4T6_MR : T4T6_MMR;
}

// Writes pages with our writer; returns the file name.
std::string write_tiff(const fax_test::temp_dir& dir, const std::string& name,
                       const std::vector<std::pair<tiff__pg_header, bytes>>& pages) {
  auto ctx = new_ctx();
  const std::string path = dir.file(name);
  EXPECT_EQ(tiff__start_write(ctx.get(), tiff__get_ctx_size(), path.c_str()), TIFF_DONE);
  for (size_t i = 0; i < pages.size(); ++i) {
    const std::string data = dir.file(name + ".page" + std::to_string(i));
    fax_test::write_file(data, pages[i].second);
    auto hdr = pages[i].first;
    EXPECT_EQ(tiff__write_page(ctx.get(), &hdr, data.c_str()), TIFF_DONE);
  }
  tiff__close(ctx.get());
  return path;
}

struct read_result {
  std::vector<tiff__pg_header> headers;
  std::vector<bytes> data;
  uint8_t last_code = 0;
};

read_result read_tiff(const fax_test::temp_dir& dir, const std::string& path) {
  read_result r;
  auto ctx = new_ctx();
  r.last_code = tiff__start_read(ctx.get(), tiff__get_ctx_size(), path.c_str());
  if (r.last_code != TIFF_DONE) return r;
  for (int i = 0; i < 100; ++i) {
    tiff__pg_header h;
    const std::string out = dir.file("read" + std::to_string(i));
    r.last_code = tiff__read_page(ctx.get(), &h, out.c_str());
    if (r.last_code != TIFF_DONE && r.last_code != TIFF_NEXT_PAGE) break;
    r.headers.push_back(h);
    r.data.push_back(fax_test::read_file(out));
    if (r.last_code == TIFF_DONE) break;
  }
  tiff__close(ctx.get());
  return r;
}

page decode_page_data(const tiff__pg_header& h, bytes data) {
  if (h.fill_order == TIFF_LOWEST_BIT_FIRST)
    fax_bit__copy_reversed(data.data(), data.data(), static_cast<uint32_t>(data.size()));
  auto d = fax_test::decode(data, coding_of(h.compression), h.image_width);
  EXPECT_EQ(d.status, T4T6_PAGE_END);
  return d.pg;
}

// ---------------------------------------------------------------------------
// Writing

TEST(TiffWrite, TwoPageLayoutEntriesAndLinks) {
  fax_test::temp_dir dir;
  auto p1 = fax_header(TIFF_T4_BI, 1728, 1, 98);
  auto p2 = fax_header(TIFF_T4_BI, 1728, 1, 196);
  std::strcpy(p2.sz_software, "Soft");  // 5 bytes with the terminator: value data
  std::strcpy(p2.sz_image_description, "[G] Page quality: Good");
  const bytes strip1{1, 2, 3, 4, 5};  // odd: the IFD is moved to a word boundary
  const bytes strip2{9, 9, 9, 9};
  const std::string path = write_tiff(dir, "two.tif", {{p1, strip1}, {p2, strip2}});
  const bytes f = fax_test::read_file(path);
  ASSERT_GE(f.size(), 8u);
  EXPECT_EQ(f[0], 'I');
  EXPECT_EQ(f[1], 'I');
  EXPECT_EQ(le16(f, 2), 42);
  EXPECT_EQ(bytes(f.begin() + 8, f.begin() + 13), strip1);
  const uint32_t ifd1 = le32(f, 4);
  EXPECT_EQ(ifd1, 14u);  // strip at 8, 5 bytes, one pad byte
  const uint16_t n1 = le16(f, ifd1);
  ASSERT_EQ(n1, 12);
  const uint16_t want1[] = {256, 257, 259, 262, 266, 273, 278, 279, 282, 283, 292, 296};
  for (int i = 0; i < n1; ++i) EXPECT_EQ(le16(f, ifd1 + 2 + 12 * i), want1[i]) << i;
  const uint32_t link1 = ifd1 + 2 + 12 * n1;
  const uint32_t values1 = link1 + 4;
  // XResolution: offset of 8 bytes holding the words 0, 204, 0, 1.
  EXPECT_EQ(le32(f, ifd1 + 2 + 12 * 8 + 8), values1);
  EXPECT_EQ(bytes(f.begin() + values1, f.begin() + values1 + 8), (bytes{0, 0, 204, 0, 0, 0, 1, 0}));
  // T4Options 1, FillOrder 1, Compression 3, no BitsPerSample.
  EXPECT_EQ(le32(f, ifd1 + 2 + 12 * 10 + 8), 1u);
  EXPECT_EQ(le16(f, ifd1 + 2 + 12 * 2 + 8), 3);
  // Page 2 follows page 1's values; page 1's link points at its IFD.
  const uint32_t strip2_at = values1 + 16;
  EXPECT_EQ(le32(f, ifd1 + 2 + 12 * 5 + 8), 8u);
  EXPECT_EQ(bytes(f.begin() + strip2_at, f.begin() + strip2_at + 4), strip2);
  const uint32_t ifd2 = le32(f, link1);
  EXPECT_EQ(ifd2, strip2_at + 4);
  const uint16_t n2 = le16(f, ifd2);
  ASSERT_EQ(n2, 14);
  const uint16_t want2[] = {256, 257, 259, 262, 266, 270, 273, 278, 279, 282, 283, 292, 296, 305};
  for (int i = 0; i < n2; ++i) EXPECT_EQ(le16(f, ifd2 + 2 + 12 * i), want2[i]) << i;
  EXPECT_EQ(le32(f, ifd2 + 2 + 12 * n2), 0u);     // last link 0
  EXPECT_EQ(le32(f, ifd2 + 2 + 12 * 8 + 8), 4u);  // StripByteCounts
  // Value offsets are word aligned: description (23 bytes + pad), XRes, YRes, Software.
  const uint32_t values2 = ifd2 + 2 + 12 * n2 + 4;
  EXPECT_EQ(le32(f, ifd2 + 2 + 12 * 5 + 8), values2);
  EXPECT_EQ(le32(f, ifd2 + 2 + 12 * 9 + 8), values2 + 24);
  EXPECT_EQ(le32(f, ifd2 + 2 + 12 * 13 + 8), values2 + 40);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(&f[values2 + 40])), "Soft");
}

TEST(TiffWrite, ShortTextsAreStoredInTheEntry) {
  fax_test::temp_dir dir;
  struct {
    const char* artist;
    bytes field;
  } cases[] = {{"abc", {'a', 'b', 'c', 0}}, {"ab", {'a', 'b', 0, '0'}}, {"a", {'a', 0, '0', '0'}}};
  for (auto& c : cases) {
    auto h = fax_header(TIFF_T6, 1728, 1, 98);
    std::strcpy(h.sz_tiff_artist, c.artist);
    const bytes f = fax_test::read_file(write_tiff(dir, "t.tif", {{h, bytes{0}}}));
    const uint32_t ifd = le32(f, 4);
    const uint16_t n = le16(f, ifd);
    ASSERT_EQ(n, 12);
    const size_t e = ifd + 2 + 12 * 11;
    EXPECT_EQ(le16(f, e), 315);
    EXPECT_EQ(le16(f, e + 2), 2);  // ASCII
    EXPECT_EQ(le32(f, e + 4), std::strlen(c.artist) + 1);
    EXPECT_EQ(bytes(f.begin() + static_cast<long>(e) + 8, f.begin() + static_cast<long>(e) + 12), c.field);
  }
}

TEST(TiffWrite, EntrySetsOfOtherImageTypes) {
  fax_test::temp_dir dir;
  struct {
    uint8_t type;
    uint16_t compression, bps;
    std::vector<uint16_t> tags;
    uint32_t strip_bytes;
  } cases[] = {
      // Uncompressed strips hold whole rows: 2 rows of 20 pels, the data
      // file of 45 bytes cut to the page (bilevel) or completed with zeros.
      {TIFF_BILEVEL_IMAGE, TIFF_UNCOMPRESSED, 1, {256, 257, 259, 262, 273, 278, 279, 282, 283, 296}, 2 * 3},
      {TIFF_GRAYSCALE_IMAGE, TIFF_UNCOMPRESSED, 8, {256, 257, 258, 259, 262, 273, 278, 279, 282, 283, 296}, 2 * 20},
      {TIFF_PALETTE_IMAGE, TIFF_UNCOMPRESSED, 4, {256, 257, 258, 259, 262, 273, 278, 279, 282, 283, 296, 320}, 2 * 10},
      {TIFF_RGB_IMAGE, TIFF_UNCOMPRESSED, 24, {256, 257, 258, 259, 262, 273, 277, 278, 279, 282, 283, 296}, 60},
      {TIFF_GRAYSCALE_IMAGE, TIFF_T6, 8, {256, 257, 258, 259, 262, 266, 273, 278, 279, 282, 283, 296}, 45},
  };
  for (auto& c : cases) {
    tiff__pg_header h = fax_header(c.compression, 20, 2, 98);
    h.image_type = c.type;
    h.bits_per_sample = c.bps;
    h.color_format = c.type == TIFF_RGB_IMAGE ? 2 : c.type == TIFF_PALETTE_IMAGE ? 3 : 1;
    for (int i = 0; i < 16; ++i) h.palette[i] = {uint8_t(i), uint8_t(16 * i), uint8_t(255 - i)};
    const std::string path = write_tiff(dir, "o.tif", {{h, bytes(45, 0xA5)}});
    const bytes f = fax_test::read_file(path);
    const uint32_t ifd = le32(f, 4);
    ASSERT_EQ(le16(f, ifd), c.tags.size()) << int(c.type);
    for (size_t i = 0; i < c.tags.size(); ++i) {
      EXPECT_EQ(le16(f, ifd + 2 + 12 * i), c.tags[i]);
      if (c.tags[i] == 279) {
        EXPECT_EQ(le32(f, ifd + 2 + 12 * i + 8), c.strip_bytes) << "type " << int(c.type);
      }
    }
    const auto r = read_tiff(dir, path);
    ASSERT_EQ(r.headers.size(), 1u);
    EXPECT_EQ(r.headers[0].bits_per_sample, c.bps);
    if (c.type == TIFF_RGB_IMAGE) {
      EXPECT_EQ(r.headers[0].image_type, TIFF_RGB_IMAGE);
    }
    if (c.type == TIFF_PALETTE_IMAGE) {
      EXPECT_EQ(r.headers[0].palette[5].green, 80);
      EXPECT_EQ(r.headers[0].palette[15].blue, 240);
    }
  }
}

TEST(TiffWrite, RefusesBadHeadersAndMissingFiles) {
  fax_test::temp_dir dir;
  auto ctx = new_ctx();
  auto h = fax_header(TIFF_T4_MONO, 1728, 1, 98);
  fax_test::write_file(dir.file("d"), bytes{1});
  EXPECT_EQ(tiff__write_page(ctx.get(), &h, dir.file("d").c_str()), TIFF_ERR);  // never opened
  ASSERT_EQ(tiff__start_write(ctx.get(), tiff__get_ctx_size(), dir.file("x.tif").c_str()), TIFF_DONE);
  h.image_type = 4;
  EXPECT_EQ(tiff__write_page(ctx.get(), &h, dir.file("d").c_str()), TIFF_ERR);
  h.image_type = TIFF_BILEVEL_IMAGE;
  EXPECT_EQ(tiff__write_page(ctx.get(), &h, dir.file("missing").c_str()), TIFF_ERR_FOPEN);
  EXPECT_EQ(tiff__write_page(ctx.get(), nullptr, dir.file("d").c_str()), TIFF_ERR);
  tiff__close(ctx.get());
  EXPECT_EQ(tiff__write_page(ctx.get(), &h, dir.file("d").c_str()), TIFF_ERR);  // closed
  EXPECT_EQ(tiff__start_write(ctx.get(), tiff__get_ctx_size() - 1, dir.file("y.tif").c_str()), TIFF_ERR);
  EXPECT_EQ(tiff__start_write(nullptr, tiff__get_ctx_size(), dir.file("y.tif").c_str()), TIFF_ERR);
  EXPECT_EQ(tiff__start_write(ctx.get(), tiff__get_ctx_size(), (dir.path + "/no/such/dir.tif").c_str()),
            TIFF_ERR_FOPEN);
}

TEST(TiffWrite, WriteErrorsAreReported) {
  // A full disk: the device refuses every write.
  auto ctx = new_ctx();
  if (std::filesystem::exists("/dev/full")) {
    EXPECT_EQ(tiff__start_write(ctx.get(), tiff__get_ctx_size(), "/dev/full"), TIFF_ERR_WRITE);
    tiff__close(ctx.get());
  }
  // A file size limit reached in the middle of a page.
  fax_test::temp_dir dir;
  fax_test::write_file(dir.file("big"), bytes(200000, 0x55));
  ASSERT_EQ(tiff__start_write(ctx.get(), tiff__get_ctx_size(), dir.file("lim.tif").c_str()), TIFF_DONE);
  rlimit old{};
  getrlimit(RLIMIT_FSIZE, &old);
  auto old_handler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit lim = old;
  lim.rlim_cur = 65536;
  setrlimit(RLIMIT_FSIZE, &lim);
  auto h = fax_header(TIFF_T6, 1728, 10, 98);
  const uint8_t code = tiff__write_page(ctx.get(), &h, dir.file("big").c_str());
  setrlimit(RLIMIT_FSIZE, &old);
  std::signal(SIGXFSZ, old_handler);
  EXPECT_EQ(code, TIFF_ERR_WRITE);
  tiff__close(ctx.get());
}

TEST(TiffContext, CloseTwiceOrUnopenedDoesNothing) {
  auto ctx = new_ctx();
  tiff__close(ctx.get());
  EXPECT_EQ(ctx->marker, 0u);
  tiff__close(nullptr);
  fax_test::temp_dir dir;
  ASSERT_EQ(tiff__start_write(ctx.get(), tiff__get_ctx_size(), dir.file("a.tif").c_str()), TIFF_DONE);
  EXPECT_EQ(ctx->marker, TIFF_CTX_OPEN);
  tiff__close(ctx.get());
  EXPECT_EQ(ctx->marker, TIFF_CTX_CLOSED);
  EXPECT_EQ(ctx->stream, nullptr);
  tiff__close(ctx.get());
  EXPECT_EQ(ctx->marker, TIFF_CTX_CLOSED);
  tiff__pg_header h;
  EXPECT_EQ(tiff__read_page(ctx.get(), &h, nullptr), TIFF_ERR);
  EXPECT_STREQ(tiff__image_type_name(TIFF_PALETTE_IMAGE), "Palette color image");
}

// ---------------------------------------------------------------------------
// Reading our own files

TEST(TiffRead, ReadsBackWhatWasWritten) {
  fax_test::temp_dir dir;
  auto h1 = fax_header(TIFF_T4_MONO, 1728, 3, 98);
  std::strcpy(h1.sz_tiff_artist, "+33 1 23 45 67 89");
  std::strcpy(h1.sz_software, "CALDERWYN T.38IAF PRODUCT ID: 7 (SW VER: 7 HW VER: 0), v2.7.0, 25 Nov 2009");
  auto h2 = fax_header(TIFF_T4_BI, 1728, 5, 196);
  h2.fill_order = TIFF_LOWEST_BIT_FIRST;
  std::strcpy(h2.sz_image_description, "[U] Page quality: Unknown");
  auto h3 = fax_header(TIFF_T6, 2048, 7, 196);
  h3.resolution_unit = 3;
  const bytes d1(101, 0x11), d2(2, 0x22), d3{0x33};
  const auto r = read_tiff(dir, write_tiff(dir, "rt.tif", {{h1, d1}, {h2, d2}, {h3, d3}}));
  ASSERT_EQ(r.headers.size(), 3u);
  EXPECT_EQ(r.last_code, TIFF_DONE);
  const tiff__pg_header* want[] = {&h1, &h2, &h3};
  const bytes* data[] = {&d1, &d2, &d3};
  for (int i = 0; i < 3; ++i) {
    const auto& g = r.headers[i];
    const auto& w = *want[i];
    EXPECT_EQ(g.image_width, w.image_width);
    EXPECT_EQ(g.image_length, w.image_length);
    EXPECT_EQ(g.compression, w.compression);
    EXPECT_EQ(g.fill_order, w.fill_order);
    EXPECT_EQ(g.resolution_unit, w.resolution_unit);
    EXPECT_EQ(g.x_resolution, 204);
    EXPECT_EQ(g.y_resolution, w.y_resolution);
    EXPECT_STREQ(g.sz_software, w.sz_software);
    EXPECT_STREQ(g.sz_image_description, w.sz_image_description);
    EXPECT_STREQ(g.sz_tiff_artist, w.sz_tiff_artist);
    EXPECT_EQ(g.image_type, TIFF_BILEVEL_IMAGE);
    EXPECT_EQ(g.bits_per_sample, 1);
  }
  // Pages whose data hold no end-of-page mark get one (RTC / EOFB).
  bytes rtc_mh = d1;
  for (int i = 0; i < 6; ++i) rtc_mh.insert(rtc_mh.end(), {0x00, 0x01});
  EXPECT_EQ(r.data[0], rtc_mh);
  bytes rtc_mr = d2;
  for (int i = 0; i < 6; ++i) rtc_mr.insert(rtc_mr.end(), {0x00, 0xC0});  // 00 03, lowest bit first
  EXPECT_EQ(r.data[1], rtc_mr);
  EXPECT_EQ(r.data[2], (bytes{0x33, 0x00, 0x10, 0x01}));
  (void)data;
}

// ---------------------------------------------------------------------------
// Malformed files

// A little TIFF builder: one IFD with the given entries; values longer than
// 4 bytes go after the IFD.
struct entry {
  uint16_t tag, type;
  uint32_t count;
  bytes value;  // raw value bytes in the file's order; <= 4 bytes inline
};

bytes be_or_le(bool be, uint32_t v, int n) {
  bytes b(n);
  for (int i = 0; i < n; ++i) b[i] = static_cast<uint8_t>(v >> (8 * (be ? n - 1 - i : i)));
  return b;
}

bytes build(bool be, const std::vector<entry>& entries, const bytes& strip = bytes(16, 0), uint32_t next = 0) {
  bytes f;
  auto put = [&](uint32_t v, int n) {
    auto b = be_or_le(be, v, n);
    f.insert(f.end(), b.begin(), b.end());
  };
  f.push_back(be ? 'M' : 'I');
  f.push_back(be ? 'M' : 'I');
  put(42, 2);
  put(8 + static_cast<uint32_t>(strip.size()), 4);
  f.insert(f.end(), strip.begin(), strip.end());
  const uint32_t ifd = static_cast<uint32_t>(f.size());
  uint32_t values = ifd + 2 + 12 * static_cast<uint32_t>(entries.size()) + 4;
  put(static_cast<uint32_t>(entries.size()), 2);
  bytes tail;
  for (const auto& e : entries) {
    put(e.tag, 2), put(e.type, 2), put(e.count, 4);
    if (e.value.size() <= 4) {
      bytes v = e.value;
      v.resize(4);
      f.insert(f.end(), v.begin(), v.end());
    } else {
      put(values, 4);
      tail.insert(tail.end(), e.value.begin(), e.value.end());
      values += static_cast<uint32_t>(e.value.size());
    }
  }
  put(next, 4);
  f.insert(f.end(), tail.begin(), tail.end());
  return f;
}

entry short1(bool be, uint16_t tag, uint16_t v) {
  auto b = be_or_le(be, v, 2);
  b.resize(4);
  return {tag, 3, 1, b};
}
entry long1(bool be, uint16_t tag, uint32_t v) { return {tag, 4, 1, be_or_le(be, v, 4)}; }
entry rational(bool be, uint16_t tag, uint32_t num, uint32_t den) {
  auto b = be_or_le(be, num, 4), d = be_or_le(be, den, 4);
  b.insert(b.end(), d.begin(), d.end());
  return {tag, 5, 1, b};
}

std::vector<entry> basic(bool be, uint32_t compression = 4) {
  return {long1(be, 256, 1728), long1(be, 257, 10), short1(be, 259, static_cast<uint16_t>(compression)),
          long1(be, 273, 8), long1(be, 279, 16)};
}

uint8_t read_code(const bytes& file, tiff__pg_header* out = nullptr) {
  fax_test::temp_dir dir;
  fax_test::write_file(dir.file("m.tif"), file);
  auto ctx = new_ctx();
  uint8_t code = tiff__start_read(ctx.get(), tiff__get_ctx_size(), dir.file("m.tif").c_str());
  if (code == TIFF_DONE) {
    tiff__pg_header h;
    code = tiff__read_page(ctx.get(), &h, dir.file("out").c_str());
    if (out) *out = h;
  }
  tiff__close(ctx.get());
  return code;
}

TEST(TiffRead, MalformedFilesGetTheirCodes) {
  for (bool be : {false, true}) {
    auto with = [&](std::vector<entry> extra) {
      auto v = basic(be);
      v.insert(v.end(), extra.begin(), extra.end());
      return v;
    };
    auto without = [&](uint16_t tag) {
      auto v = basic(be);
      std::erase_if(v, [tag](const entry& e) { return e.tag == tag; });
      return v;
    };
    std::vector<entry> many;
    for (int i = 0; i < 31; ++i) many.push_back(short1(be, static_cast<uint16_t>(40000 + i), 0));
    bytes bad_magic = build(be, basic(be));
    bad_magic[be ? 3 : 2] = 43;
    bytes bad_order = build(be, basic(be));
    bad_order[0] = 'I', bad_order[1] = 'M';

    struct {
      const char* what;
      bytes file;
      uint8_t code;
    } cases[] = {
        {"good", build(be, basic(be)), TIFF_DONE},
        {"magic 43", bad_magic, TIFF_ERR_MAGIC},
        {"byte order IM", bad_order, TIFF_ERR_MAGIC},
        {"rows per strip 0", build(be, with({short1(be, 278, 0)})), TIFF_ERR_ROWS_PER_STRIP},
        {"31 entries", build(be, many), TIFF_ERR_TOO_MANY_ENTRIES},
        {"no entries", build(be, {}), TIFF_ERR_STRIP_OFFSETS},
        {"strip offsets twice", build(be, with({long1(be, 273, 8)})), TIFF_ERR_STRIP_OFFSETS},
        {"no strip offsets", build(be, without(273)), TIFF_ERR_STRIP_OFFSETS},
        {"no strip byte counts", build(be, without(279)), TIFF_ERR_STRIP_BYTE_COUNTS},
        {"counts differ", build(be, with({{273, 4, 2, bytes(8, 0)}})), TIFF_ERR_STRIP_OFFSETS},
        {"ascii of 256", build(be, with({{270, 2, 256, bytes(256, 'x')}})), TIFF_ERR_BYTE_VALUE},
        {"shorts of 20000 bytes", build(be, with({{258, 3, 10000, bytes(20000, 1)}})), TIFF_ERR_WORD_VALUE},
        {"count x size wraps 32 bits", build(be, with({{258, 4, 0x40000001, bytes(4, 1)}})), TIFF_ERR_WORD_VALUE},
        {"zero denominator", build(be, with({rational(be, 282, 204, 0)})), TIFF_ERR},
        {"strip past the end", build(be, {long1(be, 256, 1728), long1(be, 273, 8), long1(be, 279, 5000)}),
         TIFF_ERR_SEEK},
        {"strip offset past the end", build(be, {long1(be, 273, 0xFFFFFFF0), long1(be, 279, 16)}), TIFF_ERR_SEEK},
        {"value past the end", build(be, with({{270, 2, 200, bytes(4, 'x')}})), TIFF_ERR_SEEK},
        {"unknown big tag skipped", build(be, with({{700, 1, 5000, bytes(8, 1)}})), TIFF_DONE},
    };
    for (auto& c : cases) EXPECT_EQ(read_code(c.file), c.code) << c.what << (be ? " MM" : " II");
  }
  // The mismatched counts case proper: one offset entry with 2 values, one count.
  auto v = basic(false);
  v[3] = entry{273, 4, 2, bytes{8, 0, 0, 0, 8, 0, 0, 0}};
  EXPECT_EQ(read_code(build(false, v)), TIFF_ERR_STRIP_COUNTS);
  // IFD offset outside the file.
  bytes f = build(false, basic(false));
  f[4] = 0xF0, f[5] = 0xFF;
  EXPECT_EQ(read_code(f), TIFF_ERR_SEEK);
}

TEST(TiffRead, LoopingFileEndsInsteadOfHanging) {
  bytes loop = build(false, basic(false));
  const uint32_t ifd = 8 + 16;
  loop[ifd + 2 + 12 * 5] = static_cast<uint8_t>(ifd);
  fax_test::temp_dir dir;
  fax_test::write_file(dir.file("l.tif"), loop);
  auto ctx = new_ctx();
  ASSERT_EQ(tiff__start_read(ctx.get(), tiff__get_ctx_size(), dir.file("l.tif").c_str()), TIFF_DONE);
  tiff__pg_header h;
  EXPECT_EQ(tiff__read_page(ctx.get(), &h, nullptr), TIFF_NEXT_PAGE);
  EXPECT_EQ(tiff__read_page(ctx.get(), &h, nullptr), TIFF_ERR_SEEK);
  tiff__close(ctx.get());
}

TEST(TiffRead, TagValuesAreInterpreted) {
  struct {
    const char* what;
    std::vector<entry> extra;
    uint32_t compression_tag;
    uint16_t compression, x_res;
  } cases[] = {
      {"T4Options 1 is two-dimensional", {long1(false, 292, 1)}, 3, TIFF_T4_BI, 0},
      {"T4Options 5 (2-D, fill bits) is two-dimensional", {long1(false, 292, 5)}, 3, TIFF_T4_BI, 0},
      {"T4Options 4 (fill bits) is one-dimensional", {long1(false, 292, 4)}, 3, TIFF_T4_MONO, 0},
      {"T.6", {}, 4, TIFF_T6, 0},
      {"none", {}, 1, TIFF_UNCOMPRESSED, 0},
      {"CCITT RLE is not read as uncompressed", {}, 2, TIFF_UNSUPPORTED_COMPRESSION, 0},
      {"LZW is not read as uncompressed", {}, 5, TIFF_UNSUPPORTED_COMPRESSION, 0},
      {"XResolution 204/1", {rational(false, 282, 204, 1)}, 4, TIFF_T6, 204},
      {"XResolution 408/2", {rational(false, 282, 408, 2)}, 4, TIFF_T6, 204},
  };
  for (auto& c : cases) {
    auto v = basic(false, c.compression_tag);
    v.insert(v.end(), c.extra.begin(), c.extra.end());
    tiff__pg_header h;
    ASSERT_EQ(read_code(build(false, v), &h), TIFF_DONE) << c.what;
    EXPECT_EQ(h.compression, c.compression) << c.what;
    EXPECT_EQ(h.x_resolution, c.x_res) << c.what;
  }
}

TEST(TiffRead, ReadOnlyFileToSendCanBeRead) {
  fax_test::temp_dir dir;
  fax_test::write_file(dir.file("ro.tif"), build(false, basic(false)));
  std::filesystem::permissions(dir.file("ro.tif"), std::filesystem::perms::owner_read);
  auto ctx = new_ctx();
  EXPECT_EQ(tiff__start_read(ctx.get(), tiff__get_ctx_size(), dir.file("ro.tif").c_str()), TIFF_DONE);
  tiff__pg_header h;
  EXPECT_EQ(tiff__read_page(ctx.get(), &h, dir.file("o").c_str()), TIFF_DONE);
  tiff__close(ctx.get());
  // Even root cannot open a running program for writing: the reader still
  // opens it (and finds no TIFF header) instead of failing to open it.
  if (std::filesystem::exists("/proc/self/exe")) {
    EXPECT_EQ(tiff__start_read(ctx.get(), tiff__get_ctx_size(), "/proc/self/exe"), TIFF_ERR_MAGIC);
    tiff__close(ctx.get());
  }
  EXPECT_EQ(tiff__start_read(ctx.get(), tiff__get_ctx_size(), dir.file("none.tif").c_str()), TIFF_ERR_FOPEN);
  EXPECT_EQ(tiff__start_read(ctx.get(), 16, dir.file("ro.tif").c_str()), TIFF_ERR);
}

#ifdef KV_HAVE_LIBTIFF
// ---------------------------------------------------------------------------
// Independent checks with libtiff

struct libtiff_case {
  fax_test::kind kind;
  uint32_t height;
  int compression, g3opts;
  uint32_t rows_per_strip;
  bool big_endian;
  int fill_order;
};

std::string case_name(const libtiff_case& c) {
  std::string s = fax_test::kind_name(c.kind);
  s += c.compression == 4 ? "_g4" : (c.g3opts & 1) ? "_g3_2d" : "_g3_1d";
  if (c.g3opts & 4) s += "_fill";
  s += c.height > 1500 ? "_196lpi" : "_98lpi";
  s += c.big_endian ? "_MM" : "_II";
  s += "_fill" + std::to_string(c.fill_order) + "_rps" + std::to_string(c.rows_per_strip);
  return s;
}

TEST(TiffLibtiff, FilesMadeByLibtiffReadToTheSameBitmap) {
  std::vector<libtiff_case> cases;
  const fax_test::kind kinds[] = {fax_test::kind::text, fax_test::kind::lines, fax_test::kind::noise,
                                  fax_test::kind::blank};
  int i = 0;
  for (int comp : {3, 4})
    for (int opts : comp == 3 ? std::vector<int>{0, 1, 5} : std::vector<int>{0})
      for (bool be : {false, true})
        for (int fill : {1, 2}) {
          const auto k = kinds[i % 4];
          const uint32_t h = (i % 3 == 0) ? 2287 : 1143;
          const uint32_t rps = (i % 2 == 0) ? 128 : h;  // several strips, or one
          cases.push_back({k, h, comp, opts, rps, be, fill});
          ++i;
        }
  fax_test::temp_dir dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(case_name(c));
    const page p = fax_test::make_page(c.kind, 1728, c.height, 21);
    const std::string path = dir.file(case_name(c) + ".tif");
    fax_test::libtiff_write(path, p, c.compression, c.g3opts, c.rows_per_strip, c.big_endian, c.fill_order, 2);
    const page by_libtiff = fax_test::libtiff_read(path);
    ASSERT_TRUE(by_libtiff == p);
    const auto r = read_tiff(dir, path);
    ASSERT_EQ(r.headers.size(), 2u);
    for (int pg = 0; pg < 2; ++pg) {
      const auto& h = r.headers[pg];
      EXPECT_EQ(h.compression, c.compression == 4 ? TIFF_T6 : (c.g3opts & 1) ? TIFF_T4_BI : TIFF_T4_MONO);
      EXPECT_EQ(h.fill_order, c.fill_order);
      EXPECT_EQ(h.image_width, 1728u);
      EXPECT_EQ(h.image_length, c.height);
      EXPECT_EQ(h.x_resolution, 204);
      EXPECT_EQ(h.y_resolution, c.height > 1500 ? 196 : 98);
      const page ours = decode_page_data(h, r.data[pg]);
      EXPECT_TRUE(ours == by_libtiff) << fax_test::describe_difference(by_libtiff, ours);
    }
  }
}

TEST(TiffLibtiff, FilesMadeByTiffcpReadToTheSameBitmap) {
  if (!std::filesystem::exists("/usr/bin/tiffcp")) GTEST_SKIP() << "tiffcp not installed";
  fax_test::temp_dir dir;
  const page p = fax_test::make_page(fax_test::kind::text, 1728, 1143, 5);
  fax_test::libtiff_write(dir.file("src.tif"), p, COMPRESSION_NONE, 0, 1143, false, 1);
  struct {
    const char* args;
  } cases[] = {{"-c g3:1d"},
               {"-c g3:2d"},
               {"-c g4"},
               {"-c g3:2d:fill -B -r 100"},
               {"-c g4 -L -f lsb2msb -r 64"},
               {"-c g3:1d -f lsb2msb -r 200"}};
  for (auto& c : cases) {
    SCOPED_TRACE(c.args);
    const std::string out = dir.file("cp.tif");
    const std::string cmd =
        std::string("/usr/bin/tiffcp ") + c.args + " " + dir.file("src.tif") + " " + out + " 2>/dev/null";
    ASSERT_EQ(std::system(cmd.c_str()), 0);
    const page want = fax_test::libtiff_read(out);
    ASSERT_TRUE(want == p);
    const auto r = read_tiff(dir, out);
    ASSERT_EQ(r.headers.size(), 1u);
    const page ours = decode_page_data(r.headers[0], r.data[0]);
    EXPECT_TRUE(ours == want) << fax_test::describe_difference(want, ours);
  }
}

TEST(TiffLibtiff, FilesWeWritePassTiffinfoAndDecodeWithLibtiff) {
  fax_test::temp_dir dir;
  std::vector<std::pair<tiff__pg_header, bytes>> pages;
  std::vector<page> bitmaps;
  const struct {
    fax_test::kind kind;
    uint16_t compression;
    uint32_t height;
  } specs[] = {{fax_test::kind::text, TIFF_T4_MONO, 1143},
               {fax_test::kind::lines, TIFF_T4_BI, 2287},
               {fax_test::kind::noise, TIFF_T6, 1143},
               {fax_test::kind::blank, TIFF_T4_BI, 1143}};
  for (const auto& s : specs) {
    const page p = fax_test::make_page(s.kind, 1728, s.height, 9);
    auto h = fax_header(s.compression, 1728, s.height, s.height > 1500 ? 196 : 98);
    std::strcpy(h.sz_software, "CALDERWYN T.38IAF PRODUCT ID: 7 (SW VER: 7 HW VER: 0), v2.7.0, 25 Nov 2009");
    std::strcpy(h.sz_image_description, "[G] Page quality: Good");
    std::strcpy(h.sz_tiff_artist, "ID");
    pages.push_back({h, fax_test::encode(p, coding_of(s.compression))});
    bitmaps.push_back(p);
  }
  const std::string path = write_tiff(dir, "ours.tif", pages);
  if (std::filesystem::exists("/usr/bin/tiffinfo")) {
    const std::string cmd = "/usr/bin/tiffinfo -D " + path + " >" + dir.file("info.txt") + " 2>&1";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    const bytes info = fax_test::read_file(dir.file("info.txt"));
    const std::string text(info.begin(), info.end());
    EXPECT_EQ(text.find("Error"), std::string::npos) << text;
    EXPECT_EQ(text.find("Warning"), std::string::npos) << text;
  }
  for (size_t i = 0; i < bitmaps.size(); ++i) {
    const page got = fax_test::libtiff_read(path, static_cast<int>(i));
    EXPECT_TRUE(got == bitmaps[i]) << "page " << i << fax_test::describe_difference(bitmaps[i], got);
  }
  TIFF* t = TIFFOpen(path.c_str(), "r");
  ASSERT_NE(t, nullptr);
  char* sw = nullptr;
  TIFFGetField(t, TIFFTAG_SOFTWARE, &sw);
  EXPECT_STREQ(sw, pages[0].first.sz_software);
  float xres = 0;
  TIFFGetField(t, TIFFTAG_XRESOLUTION, &xres);
  EXPECT_FLOAT_EQ(xres, 204.0f);
  TIFFClose(t);
}
#endif

}  // namespace
