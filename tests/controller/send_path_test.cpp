// Outgoing fax file: header pages joined with message pages filed in MMR
// (2048 pels wide) and MR, re-coded to MH at 1728 pels; libtiff's tiffinfo
// reads the result without complaint.
#include "controller/send_path.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>

#include "controller/convert.h"
#include "controller/device_states.h"
#include "controller/fax_file.h"
#include "controller/page_header_render.h"
#include "fax/fax_bit.h"
#include "fax/t4t6.h"
#include "fax/tiff.h"

namespace {

namespace fs = std::filesystem;

FaxBitmap Pattern(std::uint32_t width, std::uint32_t lines, std::uint32_t seed) {
  FaxBitmap p;
  p.width = width;
  p.lines = lines;
  p.bits.assign(std::size_t{p.stride()} * lines, 0);
  for (std::uint32_t y = 0; y < lines; ++y)
    for (std::uint32_t x = (y * 3 + seed) % 50; x < width; x += 50 + seed)
      p.row(y)[x >> 3] |= static_cast<std::uint8_t>(0x80 >> (x & 7));
  return p;
}

// Files the pages with fax/tiff.h in the given coding, most significant bit first.
void WriteCoded(const std::string& path, const std::vector<FaxBitmap>& pages, std::uint8_t coding) {
  auto ctx = std::make_unique<tiff__ctx>();
  ASSERT_EQ(tiff__start_write(ctx.get(), tiff__get_ctx_size(), path.c_str()), TIFF_DONE);
  const std::string data = path + ".dat";
  for (const FaxBitmap& p : pages) {
    std::vector<std::uint8_t> out(std::size_t{p.stride()} * p.lines * 3 + 64);
    t4t6_encoder* e = nullptr;
    ASSERT_EQ(t4t6__open_encoder(&e, coding, p.width, 2), T4T6_OPEN_OK);
    e->out = {out.data(), 0, 0, static_cast<std::int32_t>((out.size() - 8) * 8)};
    if (coding != T4T6_MMR) t4t6__end_page(e, 0);
    for (std::uint32_t y = 0; y < p.lines; ++y) {
      e->line = p.row(y);
      ASSERT_TRUE(t4t6__encode_line(e));
    }
    t4t6__end_page(e, 1);
    const std::size_t n = e->out.byte_index + (e->out.bit_offset ? 1 : 0);
    t4t6__release_encoder(e);
    std::FILE* f = std::fopen(data.c_str(), "wb");
    std::fwrite(out.data(), 1, n, f);
    std::fclose(f);
    tiff__pg_header h;
    h.image_width = p.width;
    h.image_length = p.lines;
    h.compression = coding == T4T6_MMR ? TIFF_T6 : coding == T4T6_MR ? TIFF_T4_BI : TIFF_T4_MONO;
    h.fill_order = TIFF_HIGHEST_BIT_FIRST;
    h.resolution_unit = 2;
    h.x_resolution = 204;
    h.y_resolution = 196;
    ASSERT_EQ(tiff__write_page(ctx.get(), &h, data.c_str()), TIFF_DONE);
  }
  tiff__close(ctx.get());
  fs::remove(data);
}

TEST(SendFaxFileTest, HeadersJoinReCodedAndScaledPages) {
  const fs::path dir = fs::temp_directory_path() / ("marrock_send_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string d = dir.string() + "/";
  const std::vector<FaxBitmap> mmr = {Pattern(2048, 300, 1), Pattern(2048, 120, 2)};
  const std::vector<FaxBitmap> mr = {Pattern(1728, 200, 3)};
  WriteCoded(d + "a.tif", mmr, T4T6_MMR);
  WriteCoded(d + "b.tif", mr, T4T6_MR);
  ASSERT_EQ(MakeHeaderFontFile(d + "ELIT_LF.FN", true), STATUS_OK);
  HeaderSettings s;
  ASSERT_EQ(RenderHeaderFile(6, 3, "Alice", "Bob", 0x1F, s, d, d + "TOPL.G3F"), 0);
  std::vector<FaxBitmap> headers;
  ASSERT_EQ(ReadFaxFile(d + "TOPL.G3F", &headers), STATUS_OK);

  std::uint16_t pages = 0;
  ASSERT_EQ(BuildSendFaxFile(d + "KV1P001.TIF", 6, d + "TOPL.G3F", {d + "a.tif", d + "b.tif"}, &pages), 0);
  EXPECT_EQ(pages, 3u);
  std::vector<FaxBitmap> sent;
  ASSERT_EQ(ReadFaxFile(d + "KV1P001.TIF", &sent), STATUS_OK);
  ASSERT_EQ(sent.size(), 3u);
  const FaxBitmap bodies[] = {ScaleToFaxWidth(mmr[0]), ScaleToFaxWidth(mmr[1]), mr[0]};
  for (int i = 0; i < 3; ++i) {
    SCOPED_TRACE(i);
    const std::uint32_t band = headers[i].lines;
    ASSERT_EQ(sent[i].width, 1728u);
    ASSERT_EQ(sent[i].lines, band + bodies[i].lines);
    EXPECT_TRUE(std::equal(headers[i].bits.begin(), headers[i].bits.end(), sent[i].bits.begin()));
    EXPECT_TRUE(std::equal(bodies[i].bits.begin(), bodies[i].bits.end(), sent[i].bits.begin() + band * 216));
  }
  std::string info;
  if (std::FILE* p = ::popen(("tiffinfo -D '" + d + "KV1P001.TIF' 2>&1").c_str(), "r")) {
    char buf[4096];
    std::size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) info.append(buf, n);
    ::pclose(p);
  }
  if (!info.empty()) {
    EXPECT_EQ(info.find("rror"), std::string::npos) << info;
    EXPECT_NE(info.find("Image Width: 1728"), std::string::npos);
  }

  // Without header; bad format; unreadable message file.
  ASSERT_EQ(BuildSendFaxFile(d + "KV2P001.TIF", 5, "", {d + "b.tif"}, &pages), 0);
  ASSERT_EQ(ReadFaxFile(d + "KV2P001.TIF", &sent), STATUS_OK);
  EXPECT_EQ(sent.at(0).bits, mr[0].bits);
  EXPECT_EQ(sent.at(0).y_res, 100);
  EXPECT_EQ(BuildSendFaxFile(d + "KV3P001.TIF", 7, "", {d + "b.tif"}, &pages), PERC_INVALID_PARAMETER);
  EXPECT_EQ(BuildSendFaxFile(d + "KV4P001.TIF", 6, "", {d + "missing.tif"}, &pages), PERC_FILE_ERROR);
  EXPECT_EQ(BuildSendFaxFile(d + "KV5P001.TIF", 6, "", {}, &pages), PERC_INVALID_PARAMETER);
  fs::remove_all(dir);
}

}  // namespace

namespace {

// Every page strip of a file, read with the raw strip reader.
std::vector<std::vector<std::uint8_t>> Strips(const std::string& path) {
  std::vector<std::vector<std::uint8_t>> out;
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return out;
  TiffReadState st;
  std::uint16_t x = 0, y = 0;
  if (TiffStartRead(f, &st, &x, &y) == STATUS_OK) {
    out.emplace_back();
    for (int guard = 0; guard < 10000; ++guard) {
      std::uint8_t b[TIFF_READ_BLOCK];
      std::size_t n = 0;
      bool eop = false, last = false;
      if (TiffReadData(f, &st, b, sizeof b, &n, &eop, &last) != STATUS_OK) break;
      out.back().insert(out.back().end(), b, b + n);
      if (eop && last) break;
      if (eop) out.emplace_back();
    }
  }
  std::fclose(f);
  return out;
}

// Pages of a file in marrock's own layout, without a header above them,
// go out as filed (their strips copied block by block); a file of another
// layout (here most significant bit first, T.6) is still sent, re-coded.
TEST(SendFaxFileTest, OwnFilesGoOutAsFiledAndOtherLayoutsAreReCoded) {
  const fs::path dir = fs::temp_directory_path() / ("marrock_send_raw_" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir);
  const std::string d = dir.string() + "/";
  const FaxBitmap a = Pattern(1728, 400, 4), b = Pattern(1728, 90, 5), c = Pattern(1728, 70, 6);
  {
    // The first page filed with a fill byte ahead of its first EOL, as a
    // re-coding would never write it.
    std::vector<std::uint8_t> coded(std::size_t{a.stride()} * a.lines * 3 + 64);
    t4t6_encoder* e = nullptr;
    ASSERT_EQ(t4t6__open_encoder(&e, T4T6_MH, a.width, 2), T4T6_OPEN_OK);
    e->out = {coded.data() + 1, 0, 0, static_cast<std::int32_t>((coded.size() - 16) * 8)};
    t4t6__end_page(e, 0);
    for (std::uint32_t y = 0; y < a.lines; ++y) {
      e->line = a.row(y);
      ASSERT_TRUE(t4t6__encode_line(e));
    }
    t4t6__end_page(e, 1);
    coded.resize(1 + e->out.byte_index + (e->out.bit_offset ? 1 : 0));
    t4t6__release_encoder(e);
    fax_bit__copy_reversed(coded.data(), coded.data(), static_cast<std::uint32_t>(coded.size()));
    FaxFileWriter w;
    ASSERT_EQ(w.Start(d + "own.tif", 200, 1728), STATUS_OK);
    ASSERT_EQ(w.WriteData(coded.data(), coded.size(), true, false), STATUS_OK);
    ASSERT_EQ(w.WritePage(b, true), STATUS_OK);
  }
  WriteCoded(d + "other.tif", {c}, T4T6_MMR);
  std::uint16_t pages = 0;
  ASSERT_EQ(BuildSendFaxFile(d + "out.tif", 6, "", {d + "own.tif", d + "other.tif"}, &pages), 0);
  EXPECT_EQ(pages, 3);
  const auto in = Strips(d + "own.tif");
  const auto out = Strips(d + "out.tif");
  ASSERT_EQ(in.size(), 2u);
  ASSERT_EQ(out.size(), 3u);
  ASSERT_FALSE(in[0].empty());
  EXPECT_EQ(in[0][0], 0);  // the fill byte went out as filed
  EXPECT_EQ(out[0], in[0]);
  EXPECT_EQ(out[1], in[1]);
  std::vector<FaxBitmap> back;
  ASSERT_EQ(ReadFaxFile(d + "out.tif", &back), STATUS_OK);
  ASSERT_EQ(back.size(), 3u);
  EXPECT_EQ(back[0].bits, a.bits);
  EXPECT_EQ(back[1].bits, b.bits);
  EXPECT_EQ(back[2].bits, c.bits);
  fs::remove_all(dir);
}

TEST(SendRulesTest, TelephoneNumbersAndCsid) {
  struct Case {
    std::string in;
    int result;
    const char* dialled;
    const char* ext;
  } cases[] = {
      {"X 123-456", 0, "123-456", ""},  // no prefix or suffix after X
      {"12 34:55", 0, "9,1234#", "55"},
      {"01\r\n23", 0, "9,0123#", ""},  // control characters dropped
      {"x", PERC_INVALID_PARAMETER, "", ""},
      {"x  \t", PERC_INVALID_PARAMETER, "", ""},
      {"x1234567890123456789012345678901234567890123456789012345678", 0,
       "1234567890123456789012345678901234567890123456789012345678", ""},
      {"x12345678901234567890123456789012345678901234567890123456789012", PERC_INVALID_PARAMETER, "", ""},
      {std::string(99, '1'), PERC_INVALID_PARAMETER, "", ""},
  };
  for (const Case& c : cases) {
    std::string out = "unset", ext;
    EXPECT_EQ(NormaliseTelephoneNumber(c.in, "9,", "#", &out, &ext), c.result) << c.in;
    if (c.result == 0) {
      EXPECT_EQ(out, c.dialled) << c.in;
    }
    EXPECT_EQ(ext, c.ext) << c.in;
  }
  EXPECT_EQ(SendCsid("0123", "", ":"), "0123");
  EXPECT_EQ(SendCsid("0123", "55", ":"), "0123:55");
  EXPECT_EQ(SendCsid("+44 20 7946 0000 99", "55", ":"), "+44 20 7946 0000 :55");  // cut to fit 20
  EXPECT_EQ(SendCsid("0123", std::string(21, '5'), ":"), "0123");                 // sub-address too long
  EXPECT_EQ(SendCsid(std::string(25, '7'), "", ":"), std::string(20, '7'));
}

TEST(SendRulesTest, RestartSkipsAndRoutes) {
  struct Case {
    int sent, total, split, initial, from, to;
  } cases[] = {
      {6, 10, 3, 1, 2, 6},   // resent as page 1, then 7 to 10
      {2, 3, 3, 1, 0, -1},   // below the split: all pages again
      {5, 10, 0, 1, 0, -1},  // restarts off
      {1, 10, 1, 1, 0, -1},  // nothing beyond the initial pages
      {12, 10, 3, 1, 2, 10},
  };
  for (const Case& c : cases) {
    int from = -9, to = -9;
    RestartSkip(c.sent, c.total, c.split, c.initial, &from, &to);
    EXPECT_EQ(from, c.from) << c.sent << "/" << c.total;
    EXPECT_EQ(to, c.to) << c.sent << "/" << c.total;
  }
  ASSERT_NE(FindRoute(3), nullptr);
  EXPECT_EQ(FindRoute(3)->format, 6);
  EXPECT_STREQ(FindRoute(4)->name, "FAX-SFINE");
  EXPECT_EQ(FindRoute(100)->format, 0);
  EXPECT_EQ(FindRoute(9), nullptr);
}

}  // namespace
