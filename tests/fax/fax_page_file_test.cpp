// Page files of the fax management entity: the coding map and page tables,
// reading pages to send (and refusing files that cannot be sent as they
// stand), and the received TIFF file, published whole page by page.
#include "fax/fax_page_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "fax/fax_config.h"
#include "fax/support/fax_test_pages.h"
#include "fax/t4t6.h"

#ifdef KV_HAVE_LIBTIFF
#include <tiffio.h>
#endif

namespace {

using bytes = std::vector<u8>;
using fax_test::page;

// A one-page little-endian TIFF built tag by tag, so that each test can
// spoil exactly one field.  Values: SHORT/LONG inline, RATIONAL n/1.
struct tiff_builder {
  std::map<u16, std::pair<u16, u32>> tags;  // tag -> (type, value)
  bytes strip;
  const char* bom = "II";
  bytes build() const {
    bytes out(8, 0);
    out[0] = static_cast<u8>(bom[0]);
    out[1] = static_cast<u8>(bom[1]);
    put_le16(out.data() + 2, 42);
    const u32 strip_at = 8;
    out.insert(out.end(), strip.begin(), strip.end());
    if (out.size() & 1) out.push_back(0);
    std::map<u16, std::pair<u16, u32>> t = tags;
    t[273] = {4, strip_at};
    t[279] = {4, static_cast<u32>(strip.size())};
    // Rationals after the IFD.
    const u32 ifd = static_cast<u32>(out.size());
    put_le32(out.data() + 4, ifd);
    const u32 after = ifd + 2 + 12 * static_cast<u32>(t.size()) + 4;
    bytes rationals;
    bytes dir(2 + 12 * t.size() + 4, 0);
    put_le16(dir.data(), static_cast<u16>(t.size()));
    size_t i = 0;
    for (const auto& [tag, tv] : t) {
      u8* e = dir.data() + 2 + 12 * i++;
      put_le16(e, tag);
      put_le16(e + 2, tv.first);
      put_le32(e + 4, 1);
      if (tv.first == 5) {
        put_le32(e + 8, after + static_cast<u32>(rationals.size()));
        rationals.resize(rationals.size() + 8);
        put_le32(rationals.data() + rationals.size() - 8, tv.second);
        put_le32(rationals.data() + rationals.size() - 4, 1);
      } else if (tv.first == 3) {
        put_le16(e + 8, static_cast<u16>(tv.second));
      } else {
        put_le32(e + 8, tv.second);
      }
    }
    out.insert(out.end(), dir.begin(), dir.end());
    out.insert(out.end(), rationals.begin(), rationals.end());
    return out;
  }
};

// A good MH page of `lines` lines at 204 x 98 dpi.
tiff_builder good_page(u32 lines = 40, u8 coding = T4T6_MH) {
  const page p = fax_test::make_page(fax_test::kind::text, 1728, lines, 3);
  tiff_builder b;
  b.strip = fax_test::encode(p, coding);
  b.tags[256] = {4, 1728};
  b.tags[257] = {4, lines};
  b.tags[258] = {3, 1};
  b.tags[259] = {3, coding == T4T6_MMR ? 4u : 3u};
  if (coding == T4T6_MR) b.tags[292] = {4, 1};
  b.tags[262] = {3, 0};
  b.tags[266] = {3, 1};
  b.tags[277] = {3, 1};
  b.tags[278] = {4, lines};
  b.tags[282] = {5, 204};
  b.tags[283] = {5, 98};
  b.tags[296] = {3, 2};
  return b;
}

struct page_file_test : ::testing::Test {
  fax_test::temp_dir dir;
  u16 counter = 0;
  std::string fmt() const { return dir.file("pg_%d_%d.tmp"); }
  u8 open_one(const bytes& file, std::vector<fax_page>* pages) {
    fax_test::write_file(dir.file("in.tif"), file);
    return fax_open_send_pages({dir.file("in.tif")}, fmt(), 1, &counter, 0, pages);
  }
  size_t tmp_files() const {
    size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path))
      if (e.path().extension() == ".tmp") ++n;
    return n;
  }
};

TEST(fax_coding_map, tiff_page_and_codec_numbers_agree) {
  struct row {
    u16 tiff;
    u8 enc, codec;
  } rows[] = {{TIFF_T4_MONO, FAX_ENC_MH, T4T6_MH}, {TIFF_T4_BI, FAX_ENC_MR, T4T6_MR}, {TIFF_T6, FAX_ENC_MMR, T4T6_MMR}};
  for (const row& r : rows) {
    EXPECT_EQ(fax_coding::encoding_of_tiff(r.tiff), r.enc);
    EXPECT_EQ(fax_coding::tiff_of_encoding(r.enc), r.tiff);
    EXPECT_EQ(fax_coding::codec_of_encoding(r.enc), r.codec);
  }
  EXPECT_EQ(fax_coding::encoding_of_tiff(TIFF_UNSUPPORTED_COMPRESSION), 0xFF);
  EXPECT_EQ(fax_coding::encoding_of_tiff(TIFF_UNCOMPRESSED), 0xFF);
}

TEST(fax_page_tables, resolutions_widths_and_lengths) {
  struct res_case {
    u16 x, y, unit, code;
  } res[] = {{200, 100, 2, FAX_RES_200_100},
             {204, 98, 2, FAX_RES_200_100},
             {204, 196, 2, FAX_RES_200_200},
             {200, 200, 2, FAX_RES_200_200},
             {204, 391, 2, FAX_RES_200_400},
             {80, 38, 3, FAX_RES_200_100},
             {80, 77, 3, FAX_RES_200_200},
             {300, 300, 2, FAX_RES_300_300},
             {150, 150, 2, 0},
             {204, 150, 2, 0}};
  for (const res_case& r : res) EXPECT_EQ(fax_resolution_code(r.x, r.y, r.unit), r.code) << r.x << "x" << r.y;
  EXPECT_EQ(fax_width_code(1728, FAX_RES_200_100), '1');
  EXPECT_EQ(fax_width_code(1729, FAX_RES_200_100), '2');
  EXPECT_EQ(fax_width_code(2433, FAX_RES_200_200), 0);
  EXPECT_EQ(fax_width_code(2592, FAX_RES_300_300), '1');
  EXPECT_EQ(fax_width_pels('3', FAX_RES_400_400), 4864u);
  // 2300 lines at 200 x 200: 'A' with an inch unit, 'B' (then 'U' for an A4 width) otherwise.
  EXPECT_EQ(fax_length_code(2300, FAX_RES_200_200, FAX_RU_INCH, '1'), 'A');
  EXPECT_EQ(fax_length_code(2300, FAX_RES_200_200, FAX_RU_METRIC, '1'), 'U');
  EXPECT_EQ(fax_length_code(100, FAX_RES_200_200, FAX_RU_INCH, '2'), 'B');
  EXPECT_EQ(fax_length_code(100, FAX_RES_200_200, FAX_RU_INCH, '3'), 'U');
}

TEST_F(page_file_test, pages_of_each_coding_are_read_with_their_records) {
  for (u8 coding : {T4T6_MH, T4T6_MR, T4T6_MMR}) {
    std::vector<fax_page> pages;
    tiff_builder b = good_page(30, coding);
    ASSERT_EQ(open_one(b.build(), &pages), 2) << int(coding);
    ASSERT_EQ(pages.size(), 1u);
    const fax_page& p = pages[0];
    EXPECT_EQ(p.encoding, coding == T4T6_MH ? FAX_ENC_MH : coding == T4T6_MR ? FAX_ENC_MR : FAX_ENC_MMR);
    EXPECT_EQ(p.resolution, FAX_RES_200_100);
    EXPECT_EQ(p.width_code, '1');
    EXPECT_EQ(p.length_code, 'A');
    EXPECT_EQ(p.lines, 30u);
    EXPECT_EQ(p.res_unit, FAX_RU_INCH);
    EXPECT_EQ(fax_test::read_file(p.tmp_name), b.strip);
    fax_free_send_pages(&pages);
  }
  EXPECT_EQ(tmp_files(), 0u);
}

TEST_F(page_file_test, files_that_cannot_be_sent_are_refused_with_their_cause) {
  struct bad_case {
    const char* what;
    u8 code;
    void (*spoil)(tiff_builder&, bytes&);
  };
  const bad_case cases[] = {
      {"empty", FAX__CFG_ERR_TIFF_ERR__WRONG_TIFF_HEADER, [](tiff_builder&, bytes& f) { f.clear(); }},
      {"truncated", FAX__CFG_ERR_TIFF_ERR__WRONG_TIFF_FILE,
       [](tiff_builder&, bytes& f) { f.erase(f.begin() + static_cast<long>(f.size() / 2), f.end()); }},
      {"byte-order mark", FAX__CFG_ERR_TIFF_ERR__WRONG_TIFF_HEADER,
       [](tiff_builder& b, bytes& f) {
         b.bom = "IM";
         f = b.build();
       }},
      {"RowsPerStrip 0", FAX__CFG_ERR_TIFF_ERR__ROWS_PER_STRIP,
       [](tiff_builder& b, bytes& f) {
         b.tags[278] = {4, 0};
         f = b.build();
       }},
      {"LZW", FAX__CFG_ERR_TIFF_PG_HDR_BAD_ENCODING_METHOD,
       [](tiff_builder& b, bytes& f) {
         b.tags[259] = {3, 5};
         f = b.build();
       }},
      {"uncompressed", FAX__CFG_ERR_TIFF_PG_HDR_BAD_ENCODING_METHOD,
       [](tiff_builder& b, bytes& f) {
         b.tags[259] = {3, 1};
         f = b.build();
       }},
      {"BitsPerSample 8", FAX__CFG_ERR_TIFF_PG_HDR_NB_BITS_PER_PIXEL,
       [](tiff_builder& b, bytes& f) {
         b.tags[258] = {3, 8};
         f = b.build();
       }},
      {"SamplesPerPixel 3", FAX__CFG_ERR_TIFF_PG_HDR_COLOR,
       [](tiff_builder& b, bytes& f) {
         b.tags[277] = {3, 3};
         f = b.build();
       }},
      {"width 0", FAX__CFG_ERR_TIFF_PG_HDR_BAD_NB_PIXEL,
       [](tiff_builder& b, bytes& f) {
         b.tags[256] = {4, 0};
         f = b.build();
       }},
      {"height 0", FAX__CFG_ERR_TIFF_ERR__WRONG_TIFF_FILE,
       [](tiff_builder& b, bytes& f) {
         b.tags[257] = {4, 0};
         f = b.build();
       }},
      {"wider than A3", FAX__CFG_ERR_TIFF_PG_HDR_BAD_NB_PIXEL,
       [](tiff_builder& b, bytes& f) {
         b.tags[256] = {4, 2500};
         f = b.build();
       }},
      {"resolution 150 dpi", FAX__CFG_ERR_TIFF_PG_HDR_BAD_RESOLUTION,
       [](tiff_builder& b, bytes& f) {
         b.tags[282] = {5, 150};
         b.tags[283] = {5, 150};
         f = b.build();
       }},
      {"rows short of ImageLength", FAX__CFG_ERR_TIFF_ERR__WRONG_TIFF_FILE,
       [](tiff_builder& b, bytes& f) {
         b.tags[257] = {4, 400};
         f = b.build();
       }},
  };
  for (const bad_case& c : cases) {
    tiff_builder b = good_page();
    bytes f = b.build();
    c.spoil(b, f);
    std::vector<fax_page> pages;
    EXPECT_EQ(open_one(f, &pages), c.code) << c.what;
    EXPECT_TRUE(pages.empty()) << c.what;
    EXPECT_EQ(tmp_files(), 0u) << c.what;
  }
  std::vector<fax_page> pages;
  EXPECT_EQ(fax_open_send_pages({dir.file("missing.tif")}, fmt(), 1, &counter, 0, &pages),
            FAX__CFG_ERR_OPEN_TX_TIFF_FNAME);
}

TEST_F(page_file_test, a_failing_second_file_leaves_no_page_behind) {
  fax_test::write_file(dir.file("a.tif"), good_page().build());
  fax_test::write_file(dir.file("b.tif"), bytes{'I', 'I', 42, 0});
  std::vector<fax_page> pages;
  EXPECT_NE(fax_open_send_pages({dir.file("a.tif"), dir.file("b.tif")}, fmt(), 1, &counter, 0, &pages), 2);
  EXPECT_TRUE(pages.empty());
  EXPECT_EQ(tmp_files(), 0u);
}

TEST_F(page_file_test, pages_that_differ_are_marked_for_renegotiation) {
  std::vector<fax_page> pages(3);
  pages[0].encoding = FAX_ENC_MR;
  pages[1].encoding = FAX_ENC_MR;
  pages[2].encoding = FAX_ENC_MH;
  EXPECT_EQ(fax_count_send_pages(&pages), 3);
  EXPECT_EQ(pages[0].renegotiate, 1);  // the second copy starts again from it
  EXPECT_EQ(pages[1].renegotiate, 0);
  EXPECT_EQ(pages[2].renegotiate, 1);
}

#ifdef KV_HAVE_LIBTIFF
TEST_F(page_file_test, received_pages_are_published_whole_with_inch_resolution) {
  const std::string name = dir.file("rcv.tif");
  const page p1 = fax_test::make_page(fax_test::kind::text, 1728, 60, 5);
  const page p2 = fax_test::make_page(fax_test::kind::lines, 1728, 80, 6);
  fax_rcv_file f;
  ASSERT_TRUE(f.open(name));
  EXPECT_FALSE(std::filesystem::exists(name));
  for (const page* p : {&p1, &p2}) {
    fax_page pg;
    pg.encoding = FAX_ENC_MR;
    pg.resolution = p == &p1 ? FAX_RES_200_100 : FAX_RES_200_200;
    pg.lines = p->height;
    pg.quality = 'G';
    fax_test::write_file(dir.file("data"), fax_test::encode(*p, T4T6_MR));
    tiff__pg_header hdr;
    ASSERT_TRUE(fax_rcv_page_header(pg, '1', 0, "REMOTE", &hdr));
    ASSERT_TRUE(f.write_page(&hdr, dir.file("data")));
  }
  // A page that cannot be written is refused; what was published stays.
  fax_page bad;
  bad.lines = 10;
  tiff__pg_header hdr;
  ASSERT_TRUE(fax_rcv_page_header(bad, '1', 0, "", &hdr));
  EXPECT_FALSE(f.write_page(&hdr, dir.file("no-such-data")));
  f.close();
  EXPECT_FALSE(std::filesystem::exists(name + ".part"));
  EXPECT_EQ(fax_test::libtiff_read(name, 0), p1);
  EXPECT_EQ(fax_test::libtiff_read(name, 1), p2);
  TIFF* t = TIFFOpen(name.c_str(), "r");
  ASSERT_NE(t, nullptr);
  u16 unit = 0;
  float yres = 0;
  TIFFGetField(t, TIFFTAG_RESOLUTIONUNIT, &unit);
  TIFFGetField(t, TIFFTAG_YRESOLUTION, &yres);
  EXPECT_EQ(unit, RESUNIT_INCH);
  EXPECT_EQ(yres, 100.0f);
  EXPECT_EQ(TIFFNumberOfDirectories(t), 2);
  TIFFClose(t);
  const std::string cmd = "tiffinfo -D " + name + " > /dev/null 2>&1";
  EXPECT_EQ(std::system(cmd.c_str()), 0);
}

TEST_F(page_file_test, a_crash_while_a_page_is_written_leaves_the_pages_before) {
  const std::string name = dir.file("rcv.tif");
  const page p1 = fax_test::make_page(fax_test::kind::text, 1728, 50, 7);
  fax_rcv_file f;
  ASSERT_TRUE(f.open(name));
  fax_page pg;
  pg.encoding = FAX_ENC_MH;
  pg.lines = p1.height;
  fax_test::write_file(dir.file("data"), fax_test::encode(p1, T4T6_MH));
  tiff__pg_header hdr;
  ASSERT_TRUE(fax_rcv_page_header(pg, '1', 0, "", &hdr));
  ASSERT_TRUE(f.write_page(&hdr, dir.file("data")));
  const bytes published = fax_test::read_file(name);
  // A crash or a full disk while the next page is written leaves a torn
  // working copy; the published file is untouched and decodes whole.
  bytes working = fax_test::read_file(name + ".part");
  ASSERT_GT(working.size(), 40u);
  working.erase(working.end() - 40, working.end());
  fax_test::write_file(name + ".part", working);
  EXPECT_EQ(fax_test::read_file(name), published);
  EXPECT_EQ(fax_test::libtiff_read(name, 0), p1);
  EXPECT_EQ(std::system(("tiffinfo -D " + name + " > /dev/null 2>&1").c_str()), 0);
}
#endif

}  // namespace
