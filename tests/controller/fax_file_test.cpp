// Fax file layer and converter of the device controller, checked against
// libtiff: files marrock writes are read back by libtiff (tags, decoded
// pixels, tiffinfo -D without complaint); inputs made by libtiff and tiffcp
// in every fax coding, both fill orders, big-endian, several strips and
// widths 1728/2048/3456 are converted to single-strip MH, LSB first.
#include "controller/convert.h"
#include "controller/fax_file.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unistd.h>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>

#if KV_HAVE_LIBTIFF
#include <tiffio.h>
#endif

namespace {

namespace fs = std::filesystem;

class FaxFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("marrock_fax_file_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string Path(const std::string& name) const { return (dir_ / name).string(); }
  fs::path dir_;
};

// A page with features at both edges, thin vertical strokes, a diagonal and
// solid blocks, so that scaling, coding and fill-order faults all show.
FaxBitmap Pattern(std::uint32_t width, std::uint32_t lines, std::uint32_t seed = 1) {
  FaxBitmap p;
  p.width = width;
  p.lines = lines;
  p.x_res = 204;
  p.y_res = 196;
  p.bits.assign(std::size_t{p.stride()} * lines, 0);
  auto set = [&](std::uint32_t x, std::uint32_t y) { p.row(y)[x >> 3] |= static_cast<std::uint8_t>(0x80 >> (x & 7)); };
  for (std::uint32_t y = 0; y < lines; ++y) {
    set(0, y);
    set(width - 1, y);
    set((y * 7 + seed) % width, y);
    if ((y / 16 + seed) % 3 == 0)
      for (std::uint32_t x = width / 4; x < width / 2; ++x) set(x, y);
    for (std::uint32_t x = 100; x < width; x += 97) set(x, y);
  }
  return p;
}

std::string Slurp(const std::string& cmd) {
  std::string out;
  if (std::FILE* f = ::popen(cmd.c_str(), "r")) {
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) out.append(buf, n);
    ::pclose(f);
  }
  return out;
}

TEST_F(FaxFileTest, WrittenPagesReadBackAndPageCount) {
  const std::string f = Path("two.g3f");
  const FaxBitmap a = Pattern(1728, 120, 1), b = Pattern(1728, 33, 2);
  FaxFileWriter w;
  ASSERT_EQ(w.Start(f, 196, 1728), STATUS_OK);
  ASSERT_EQ(w.WritePage(a, false), STATUS_OK);
  EXPECT_EQ(w.last_page_lines(), 120u);  // RTC is not counted as lines
  ASSERT_EQ(w.WritePage(b, true), STATUS_OK);
  EXPECT_EQ(w.pages_written(), 2u);

  std::uint32_t pages = 0;
  ASSERT_EQ(FaxFilePageCount(f, &pages), STATUS_OK);
  EXPECT_EQ(pages, 2u);
  std::vector<FaxBitmap> back;
  ASSERT_EQ(ReadFaxFile(f, &back), STATUS_OK);
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0].bits, a.bits);
  EXPECT_EQ(back[1].bits, b.bits);
  EXPECT_EQ(back[0].y_res, 200);  // 196 lpi is filed as 200
  EXPECT_EQ(back[0].x_res, 200);
}

TEST_F(FaxFileTest, WriteDataCountsDecodedLinesAndMixesWithRows) {
  // Coded data from a first file, fed back as LSB-first chunks of odd sizes.
  const std::string src = Path("src.g3f"), dst = Path("dst.g3f");
  const FaxBitmap a = Pattern(1728, 50, 3);
  {
    FaxFileWriter w;
    ASSERT_EQ(w.Start(src, 100, 1728), STATUS_OK);
    ASSERT_EQ(w.WritePage(a, true), STATUS_OK);
  }
  std::ifstream in(src, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), {});
  // The strip starts right behind the 8-byte header.
  std::vector<std::uint8_t> data(bytes.begin() + 8, bytes.end());
  std::uint32_t strip_len = 0;
  {
    std::vector<FaxBitmap> tmp;
    ASSERT_EQ(ReadFaxFile(src, &tmp), STATUS_OK);
  }
  // Find where the IFD starts: the first word of the file gives it.
  const std::uint32_t ifd = static_cast<std::uint8_t>(bytes[4]) | static_cast<std::uint8_t>(bytes[5]) << 8 |
                            static_cast<std::uint8_t>(bytes[6]) << 16 |
                            static_cast<std::uint32_t>(static_cast<std::uint8_t>(bytes[7])) << 24;
  strip_len = ifd - 8;
  data.resize(strip_len);

  FaxFileWriter w;
  ASSERT_EQ(w.Start(dst, 100, 1728), STATUS_OK);
  std::size_t pos = 0;
  for (std::size_t chunk : {1u, 7u, 300u, 4096u}) {
    const std::size_t n = std::min(chunk, data.size() - pos);
    ASSERT_EQ(w.WriteData(data.data() + pos, n, false, false), STATUS_OK);
    pos += n;
  }
  ASSERT_EQ(w.WriteData(data.data() + pos, data.size() - pos, true, false), STATUS_OK);
  EXPECT_EQ(w.last_page_lines(), 50u);
  ASSERT_EQ(w.WriteLine(nullptr, 0, false, false), STATUS_OK);  // a white row
  ASSERT_EQ(w.WriteLine(a.row(0), a.stride(), true, true), STATUS_OK);
  std::vector<FaxBitmap> back;
  ASSERT_EQ(ReadFaxFile(dst, &back), STATUS_OK);
  ASSERT_EQ(back.size(), 2u);
  EXPECT_EQ(back[0].bits, a.bits);
  EXPECT_EQ(back[1].lines, 2u);
  EXPECT_EQ(back[0].y_res, 100);
}

TEST_F(FaxFileTest, BadFilesGiveStatusWords) {
  struct Case {
    const char* name;
    std::string content;
    StatusWord want;
  } cases[] = {
      {"text.tif", "hello, not a tiff at all", STATUS_NOT_TIFF},
      {"empty.tif", "", STATUS_NOT_TIFF},
      {"trunc.tif", std::string("II*\0\x08\0\0\0\x0f\0", 10), STATUS_TIFF_DIRECTORY},
      {"loop.tif", std::string("II*\0\x08\0\0\0\0\0\0\0\0\0", 14), STATUS_TIFF_STRIPS},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::ofstream(Path(c.name), std::ios::binary) << c.content;
    std::uint32_t pages = 99;
    EXPECT_EQ(FaxFilePageCount(Path(c.name), &pages), c.want);
    std::vector<FaxBitmap> back;
    EXPECT_EQ(ReadFaxFile(Path(c.name), &back), c.want);
    FaxPageReader r;
    EXPECT_EQ(r.OpenPage(Path(c.name), 0, nullptr, nullptr), 0);
    std::uint8_t row[216];
    EXPECT_EQ(r.ReadLine(-1, row), -1);
  }
  std::uint32_t pages = 0;
  EXPECT_EQ(FaxFilePageCount(Path("missing.tif"), &pages), STATUS_IO_FAILURE);
  EXPECT_EQ(ConvertGraphicsFile(Path("text.tif"), FORMAT_G3_KEEP_RES, "G3F", nullptr), STATUS_CONVERT_READ);
}

TEST_F(FaxFileTest, TwoLineReadersSideBySide) {
  const std::string f = Path("r.g3f");
  const FaxBitmap a = Pattern(1728, 40, 4), b = Pattern(1728, 90, 5);
  {
    FaxFileWriter w;
    ASSERT_EQ(w.Start(f, 200, 1728), STATUS_OK);
    ASSERT_EQ(w.WritePage(a, false), STATUS_OK);
    ASSERT_EQ(w.WritePage(b, true), STATUS_OK);
  }
  FaxPageReader msg, hdr;
  std::uint32_t width = 0, lines = 0, most = 0;
  ASSERT_EQ(msg.OpenPage(f, 0, &width, &lines, &most), 1);
  EXPECT_EQ(width, 1728u);
  EXPECT_EQ(lines, 40u);
  EXPECT_EQ(most, 90u);
  ASSERT_EQ(hdr.OpenPage(f, 1, &width, &lines), 1);
  EXPECT_EQ(lines, 90u);
  EXPECT_EQ(msg.OpenPage(f, 2, &width, &lines), 0);
  ASSERT_EQ(msg.OpenPage(f, 0, &width, &lines), 1);
  std::uint8_t row[216];
  for (std::uint32_t y = 0; y < 5; ++y) {
    ASSERT_EQ(msg.ReadLine(-1, row), 1728);
    EXPECT_EQ(0, std::memcmp(row, a.row(y), 216));
    ASSERT_EQ(hdr.ReadLine(-1, row), 1728);
    EXPECT_EQ(0, std::memcmp(row, b.row(y), 216));
  }
  ASSERT_EQ(msg.ReadLine(2, row), 1728);  // asking back starts again there
  EXPECT_EQ(0, std::memcmp(row, a.row(2), 216));
  ASSERT_EQ(msg.ReadLine(-1, row), 1728);
  EXPECT_EQ(0, std::memcmp(row, a.row(3), 216));
  EXPECT_EQ(msg.ReadLine(40, row), -1);
}

TEST_F(FaxFileTest, ScalingKeepsRatioAndCapsHeight) {
  struct Case {
    std::uint32_t width, lines, want_lines;
  } cases[] = {
      {1728, 5000, 5000},  // no resize
      {2048, 2000, 1687}, {3456, 10000, 2400}, {3456, 100, 50}, {864, 100, 200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.width);
    const FaxBitmap s = ScaleToFaxWidth(Pattern(c.width, c.lines));
    EXPECT_EQ(s.width, 1728u);
    EXPECT_EQ(s.lines, c.want_lines);
    EXPECT_EQ(s.bits.size(), std::size_t{216} * c.want_lines);
    // The edge strokes survive.
    EXPECT_TRUE(s.row(0)[0] & 0x80);
    EXPECT_TRUE(s.row(s.lines - 1)[215] & 0x01);
  }
}

TEST_F(FaxFileTest, UnsupportedTargetsAndSameExtension) {
  const std::string f = Path("in.G3F");
  {
    FaxFileWriter w;
    ASSERT_EQ(w.Start(f, 200, 1728), STATUS_OK);
    ASSERT_EQ(w.WritePage(Pattern(1728, 20), true), STATUS_OK);
  }
  for (int format : {50, 54, 57, 62, 66})
    EXPECT_EQ(ConvertGraphicsFile(f, format, "BMP", nullptr), STATUS_CONVERT_FAILED) << format;
  std::string dest;
  ASSERT_EQ(ConvertGraphicsFile(f, FORMAT_G3_KEEP_RES, "g3f", &dest), STATUS_OK);
  EXPECT_EQ(fs::path(dest).filename().string(), "in.g3f");
  EXPECT_FALSE(fs::exists(Path("in.TIFF")));
  std::vector<FaxBitmap> back;
  ASSERT_EQ(ReadFaxFile(dest, &back), STATUS_OK);
  EXPECT_EQ(back.at(0).bits, Pattern(1728, 20).bits);

  // ConvertFile: G3X in between, the receive file removed when asked.
  StatusWord st = 1;
  EXPECT_EQ(ConvertFile(Path("out.G3F"), dest, true, &st), 0);
  EXPECT_EQ(st, STATUS_OK);
  EXPECT_TRUE(fs::exists(Path("out.G3F")));
  EXPECT_FALSE(fs::exists(dest));
  EXPECT_FALSE(fs::exists(Path("in.G3X")));
  EXPECT_NE(ConvertFile(Path("out2.G3F"), Path("none.tif"), true, &st), 0);
  EXPECT_EQ(st, STATUS_IO_FAILURE);
}

#if KV_HAVE_LIBTIFF

struct TiffSilencer {
  TiffSilencer() {
    TIFFSetWarningHandler(nullptr);
    TIFFSetErrorHandler(nullptr);
  }
};

// Writes `page` with libtiff in the given form.
void WriteWithLibtiff(const std::string& path, const FaxBitmap& page, int compression, int fill_order, bool big_endian,
                      std::uint32_t rows_per_strip, int t4_options = 0, int photometric = PHOTOMETRIC_MINISWHITE) {
  TIFF* t = TIFFOpen(path.c_str(), big_endian ? "wb" : "wl");
  ASSERT_NE(t, nullptr);
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, page.width);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, page.lines);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
  TIFFSetField(t, TIFFTAG_COMPRESSION, compression);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, photometric);
  TIFFSetField(t, TIFFTAG_FILLORDER, fill_order);
  TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rows_per_strip);
  TIFFSetField(t, TIFFTAG_XRESOLUTION, 204.0);
  TIFFSetField(t, TIFFTAG_YRESOLUTION, 196.0);
  TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
  if (compression == COMPRESSION_CCITTFAX3) TIFFSetField(t, TIFFTAG_GROUP3OPTIONS, t4_options);
  std::vector<std::uint8_t> row(page.stride());
  for (std::uint32_t y = 0; y < page.lines; ++y) {
    std::memcpy(row.data(), page.row(y), row.size());
    if (photometric == PHOTOMETRIC_MINISBLACK)
      for (auto& b : row) b = static_cast<std::uint8_t>(~b);
    ASSERT_EQ(TIFFWriteScanline(t, row.data(), y, 0), 1);
  }
  TIFFClose(t);
}

// Reads a file marrock wrote with libtiff: the fixed tags of every page and
// its pixels.
std::vector<FaxBitmap> ReadWithLibtiff(const std::string& path) {
  std::vector<FaxBitmap> out;
  TIFF* t = TIFFOpen(path.c_str(), "r");
  EXPECT_NE(t, nullptr);
  if (!t) return out;
  do {
    std::uint32_t w = 0, h = 0, rps = 0, t4 = 99;
    std::uint16_t comp = 0, fill = 0, unit = 0, bps = 0, spp = 0, photo = 9;
    float xr = 0, yr = 0;
    TIFFGetField(t, TIFFTAG_IMAGEWIDTH, &w);
    TIFFGetField(t, TIFFTAG_IMAGELENGTH, &h);
    TIFFGetField(t, TIFFTAG_COMPRESSION, &comp);
    TIFFGetField(t, TIFFTAG_FILLORDER, &fill);
    TIFFGetField(t, TIFFTAG_ROWSPERSTRIP, &rps);
    TIFFGetField(t, TIFFTAG_RESOLUTIONUNIT, &unit);
    TIFFGetField(t, TIFFTAG_BITSPERSAMPLE, &bps);
    TIFFGetField(t, TIFFTAG_SAMPLESPERPIXEL, &spp);
    TIFFGetField(t, TIFFTAG_PHOTOMETRIC, &photo);
    TIFFGetField(t, TIFFTAG_XRESOLUTION, &xr);
    TIFFGetField(t, TIFFTAG_YRESOLUTION, &yr);
    TIFFGetField(t, TIFFTAG_GROUP3OPTIONS, &t4);
    EXPECT_EQ(comp, COMPRESSION_CCITTFAX3);
    EXPECT_EQ(fill, FILLORDER_LSB2MSB);
    EXPECT_EQ(TIFFNumberOfStrips(t), 1u);
    EXPECT_EQ(rps, h);
    EXPECT_EQ(unit, RESUNIT_INCH);
    EXPECT_EQ(bps, 1);
    EXPECT_EQ(spp, 1);
    EXPECT_EQ(photo, PHOTOMETRIC_MINISWHITE);
    EXPECT_EQ(t4, 0u);
    EXPECT_TRUE(xr == 200.0f || xr == 204.0f) << xr;
    FaxBitmap p;
    p.width = w;
    p.lines = h;
    p.x_res = static_cast<std::uint16_t>(xr);
    p.y_res = static_cast<std::uint16_t>(yr);
    p.bits.assign(std::size_t{p.stride()} * h, 0);
    for (std::uint32_t y = 0; y < h; ++y) EXPECT_EQ(TIFFReadScanline(t, p.row(y), y, 0), 1) << "row " << y;
    out.push_back(std::move(p));
  } while (TIFFReadDirectory(t));
  TIFFClose(t);
  return out;
}

void ExpectTiffinfoClean(const std::string& path) {
  const std::string out = Slurp("tiffinfo -D '" + path + "' 2>&1");
  if (out.empty()) GTEST_SKIP() << "tiffinfo not available";
  EXPECT_EQ(out.find("rror"), std::string::npos) << out.substr(0, 2000);
  EXPECT_EQ(out.find("arning"), std::string::npos) << out.substr(0, 2000);
  EXPECT_NE(out.find("CCITT Group 3"), std::string::npos) << out.substr(0, 2000);
}

TEST_F(FaxFileTest, LibtiffReadsWhatTheWriterWrites) {
  TiffSilencer quiet;
  const std::string f = Path("w.g3f");
  const FaxBitmap a = Pattern(1728, 77, 6), b = Pattern(1728, 1, 7);
  {
    FaxFileWriter w;
    ASSERT_EQ(w.Start(f, 400, 1728), STATUS_OK);
    ASSERT_EQ(w.WritePage(a, false), STATUS_OK);
    ASSERT_EQ(w.WritePage(b, true), STATUS_OK);
  }
  const auto pages = ReadWithLibtiff(f);
  ASSERT_EQ(pages.size(), 2u);
  EXPECT_EQ(pages[0].bits, a.bits);
  EXPECT_EQ(pages[1].bits, b.bits);
  EXPECT_EQ(pages[0].y_res, 400);
  EXPECT_EQ(pages[0].x_res, 200);
  ExpectTiffinfoClean(f);
  // The 15 tags of a fax page.
  const std::string info = Slurp("tiffinfo '" + f + "' 2>&1");
  EXPECT_NE(info.find("FillOrder: lsb-to-msb"), std::string::npos) << info;
}

TEST_F(FaxFileTest, ConverterTurnsEveryFaxFormIntoSingleStripMh) {
  TiffSilencer quiet;
  struct Case {
    const char* name;
    std::uint32_t width, lines;
    int compression, fill;
    bool big_endian;
    std::uint32_t rows_per_strip;
    int t4_options;
    int photometric;
  } cases[] = {
      {"mh-msb", 1728, 300, COMPRESSION_CCITTFAX3, FILLORDER_MSB2LSB, false, 300, 0, PHOTOMETRIC_MINISWHITE},
      {"mh-lsb-strips", 1728, 300, COMPRESSION_CCITTFAX3, FILLORDER_LSB2MSB, false, 64, 0, PHOTOMETRIC_MINISWHITE},
      {"mr-big-endian", 1728, 250, COMPRESSION_CCITTFAX3, FILLORDER_MSB2LSB, true, 250, GROUP3OPT_2DENCODING,
       PHOTOMETRIC_MINISWHITE},
      {"mr-strips-fill2", 2048, 200, COMPRESSION_CCITTFAX3, FILLORDER_LSB2MSB, false, 33, GROUP3OPT_2DENCODING,
       PHOTOMETRIC_MINISWHITE},
      {"mmr", 1728, 280, COMPRESSION_CCITTFAX4, FILLORDER_MSB2LSB, false, 280, 0, PHOTOMETRIC_MINISWHITE},
      {"mmr-strips-be-3456", 3456, 180, COMPRESSION_CCITTFAX4, FILLORDER_LSB2MSB, true, 50, 0, PHOTOMETRIC_MINISWHITE},
      {"raw", 1728, 60, COMPRESSION_NONE, FILLORDER_MSB2LSB, false, 7, 0, PHOTOMETRIC_MINISWHITE},
      {"raw-blackiszero-2048", 2048, 60, COMPRESSION_NONE, FILLORDER_MSB2LSB, true, 60, 0, PHOTOMETRIC_MINISBLACK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const FaxBitmap page = Pattern(c.width, c.lines, 9);
    const std::string in = Path(std::string(c.name) + ".tif");
    WriteWithLibtiff(in, page, c.compression, c.fill, c.big_endian, c.rows_per_strip, c.t4_options, c.photometric);
    // Two pages: the same page again.
    std::string dest;
    ASSERT_EQ(ConvertGraphicsFile(in, FORMAT_G3_KEEP_RES, "G3F", &dest), STATUS_OK);
    const auto pages = ReadWithLibtiff(dest);
    ASSERT_EQ(pages.size(), 1u);
    const FaxBitmap want = ScaleToFaxWidth(page);
    EXPECT_EQ(pages[0].width, 1728u);
    EXPECT_EQ(pages[0].lines, want.lines);
    EXPECT_TRUE(pages[0].bits == want.bits);
    EXPECT_EQ(pages[0].y_res, 200);  // 196 kept, filed as 200
    ExpectTiffinfoClean(dest);
  }
}

TEST_F(FaxFileTest, ConverterTakesTiffcpOutputs) {
  TiffSilencer quiet;
  const FaxBitmap page = Pattern(1728, 150, 11);
  const std::string raw = Path("raw.tif");
  WriteWithLibtiff(raw, page, COMPRESSION_NONE, FILLORDER_MSB2LSB, false, 150);
  for (const char* mode : {"g3:1d", "g3:2d", "g4", "g3:2d:fill"}) {
    SCOPED_TRACE(mode);
    const std::string out =
        Path(std::string("cp-") + (mode[1] == '3' ? "g3" : "g4") + std::to_string(std::strlen(mode)) + ".tif");
    const std::string cmd = std::string("tiffcp -f lsb2msb -r 40 -c ") + mode + " '" + raw + "' '" + out + "' 2>&1";
    Slurp(cmd);
    if (!fs::exists(out)) GTEST_SKIP() << "tiffcp not available";
    std::string dest;
    ASSERT_EQ(ConvertGraphicsFile(out, FORMAT_G3_FAX, "G3F", &dest), STATUS_OK);
    const auto pages = ReadWithLibtiff(dest);
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_TRUE(pages[0].bits == page.bits);
    EXPECT_EQ(pages[0].y_res, 200);
  }
}

TEST_F(FaxFileTest, ColourPagesAreRefused) {
  TiffSilencer quiet;
  const std::string f = Path("rgb.tif");
  TIFF* t = TIFFOpen(f.c_str(), "w");
  ASSERT_NE(t, nullptr);
  TIFFSetField(t, TIFFTAG_IMAGEWIDTH, 8);
  TIFFSetField(t, TIFFTAG_IMAGELENGTH, 2);
  TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
  TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
  TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
  TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
  std::uint8_t row[24] = {};
  TIFFWriteScanline(t, row, 0, 0);
  TIFFWriteScanline(t, row, 1, 0);
  TIFFClose(t);
  EXPECT_EQ(ConvertGraphicsFile(f, FORMAT_G3_KEEP_RES, "G3F", nullptr), STATUS_CONVERT_FAILED);
  EXPECT_TRUE(fs::exists(f));
}

// The raw strip reader takes the files marrock writes, block by block, and
// refuses every other layout with its status word.
TEST_F(FaxFileTest, RawStripsOfMarrocksFilesComeInBlocksAndOtherLayoutsAreRefused) {
  TiffSilencer quiet;
  const std::string own = Path("own.g3f");
  const FaxBitmap a = Pattern(1728, 300, 1), b = Pattern(1728, 40, 2);
  {
    FaxFileWriter w;
    ASSERT_EQ(w.Start(own, 196, 1728), STATUS_OK);
    ASSERT_EQ(w.WritePage(a, false), STATUS_OK);
    ASSERT_EQ(w.WritePage(b, true), STATUS_OK);
  }
  // The strips as libtiff sees them.
  std::vector<std::vector<std::uint8_t>> strips;
  {
    TIFF* t = TIFFOpen(own.c_str(), "r");
    ASSERT_NE(t, nullptr);
    do {
      std::vector<std::uint8_t> raw(TIFFRawStripSize(t, 0));
      ASSERT_EQ(TIFFReadRawStrip(t, 0, raw.data(), static_cast<tmsize_t>(raw.size())),
                static_cast<tmsize_t>(raw.size()));
      strips.push_back(raw);
    } while (TIFFReadDirectory(t));
    TIFFClose(t);
  }
  ASSERT_EQ(strips.size(), 2u);
  ASSERT_GT(strips[0].size(), TIFF_READ_BLOCK);  // the first page takes several blocks

  std::FILE* f = std::fopen(own.c_str(), "rb");
  ASSERT_NE(f, nullptr);
  TiffReadState st;
  std::uint16_t x = 0, y = 0;
  ASSERT_EQ(TiffStartRead(f, &st, &x, &y), STATUS_OK);
  EXPECT_EQ(x, 200);
  EXPECT_EQ(y, 200);
  std::vector<std::vector<std::uint8_t>> got(1);
  bool last = false;
  for (int guard = 0; guard < 1000; ++guard) {
    std::uint8_t block[TIFF_READ_BLOCK];
    std::size_t n = 0;
    bool eop = false;
    ASSERT_EQ(TiffReadData(f, &st, block, sizeof block, &n, &eop, &last), STATUS_OK);
    ASSERT_LE(n, TIFF_READ_BLOCK);
    got.back().insert(got.back().end(), block, block + n);
    if (eop && last) break;
    if (eop) got.emplace_back();
  }
  EXPECT_TRUE(last);
  EXPECT_EQ(got, strips);
  // TiffNextPage skips the rest of a page.
  ASSERT_EQ(TiffStartRead(f, &st, &x, &y), STATUS_OK);
  ASSERT_EQ(TiffNextPage(f, &st, &last), STATUS_OK);
  EXPECT_FALSE(last);
  std::uint8_t block[TIFF_READ_BLOCK];
  std::size_t n = 0;
  bool eop = false;
  ASSERT_EQ(TiffReadData(f, &st, block, sizeof block, &n, &eop, &last), STATUS_OK);
  EXPECT_TRUE(last);
  EXPECT_TRUE(std::equal(block, block + n, strips[1].begin()));
  std::fclose(f);

  struct refusal {
    const char* name;
    std::function<void(const std::string&)> make;
    StatusWord want;
  };
  const FaxBitmap p = Pattern(1728, 50, 3);
  const refusal cases[] = {
      {"big-endian", [&](const std::string& path) { WriteWithLibtiff(path, p, COMPRESSION_CCITTFAX3, 2, true, 50); },
       STATUS_TIFF_BIG_ENDIAN},
      {"fill order 1", [&](const std::string& path) { WriteWithLibtiff(path, p, COMPRESSION_CCITTFAX3, 1, false, 50); },
       STATUS_TIFF_DIRECTORY},
      {"T.6", [&](const std::string& path) { WriteWithLibtiff(path, p, COMPRESSION_CCITTFAX4, 2, false, 50); },
       STATUS_TIFF_NOT_T4},
      {"several strips",
       [&](const std::string& path) { WriteWithLibtiff(path, p, COMPRESSION_CCITTFAX3, 2, false, 10); },
       STATUS_TIFF_STRIPS},
      {"not a TIFF file", [&](const std::string& path) { std::ofstream(path) << "II*-not really"; }, STATUS_NOT_TIFF},
      {"strip cut short",
       [&](const std::string& path) {
         fs::copy_file(own, path);
         fs::resize_file(path, 400);
       },
       STATUS_TIFF_DIRECTORY},
  };
  for (const refusal& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string path = Path(std::string("r_") + std::to_string(&c - cases));
    c.make(path);
    std::FILE* r = std::fopen(path.c_str(), "rb");
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(TiffStartRead(r, &st, &x, &y), c.want);
    std::fclose(r);
  }
}

#endif  // KV_HAVE_LIBTIFF

}  // namespace
