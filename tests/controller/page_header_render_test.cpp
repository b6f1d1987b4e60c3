// Page header rendering: date patterns, header text layout, font files and
// header files (read back line by line and with libtiff).
#include "controller/page_header_render.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>

#include "controller/device_states.h"
#include "controller/fax_file.h"

namespace {

namespace fs = std::filesystem;

TEST(FormatDateTest, PatternsAndRanges) {
  struct Case {
    const char* pattern;
    int year, month, day, hour, minute, second;
    int result;
    const char* want;
  } cases[] = {
      {"'Date' dd.MM.yyyy", 2010, 3, 5, 0, 0, 0, 1, "Date 05.03.2010"},
      {"d/M/yy", 79, 1, 2, 0, 0, 0, 1, "2/1/79"},
      {"yyyy", 79, 1, 2, 0, 0, 0, 1, "2079"},
      {"yyyy", 80, 1, 2, 0, 0, 0, 1, "1980"},
      {"dd-MMM-yy", 2026, 12, 10, 0, 0, 0, 1, "10-Dec-26"},
      {"d MMMM yyyy", 2010, 9, 1, 0, 0, 0, 1, "1 September 2010"},
      {"dddd, d MMMM", 2010, 9, 1, 0, 0, 0, 1, "1 September"},
      {"hh:mm:ss h:m:s", 2010, 9, 1, 7, 5, 9, 1, "07:05:09 7:5:9"},
      {"'it''s' yy  ", 2010, 1, 1, 0, 0, 0, 1, "it's 10"},
      {"\"q\"\"\" d", 2010, 1, 1, 0, 0, 0, 1, "q\" 1"},
      {"'unterminated", 2010, 1, 1, 0, 0, 0, 1, "unterminated"},
      {"yyyy", 2081, 1, 1, 0, 0, 0, 0, ""},
      {"yyyy", 1899, 1, 1, 0, 0, 0, 0, ""},
      {"MM", 2010, 13, 1, 0, 0, 0, 0, ""},
      {"dd", 2010, 1, 32, 0, 0, 0, 0, ""},
      {"hh", 2010, 1, 1, 24, 0, 0, 0, ""},
      {"mm", 2010, 1, 1, 0, 60, 0, 0, ""},
      {"ss", 2010, 1, 1, 0, 0, -1, 0, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pattern);
    char out[64] = "x";
    EXPECT_EQ(FormatDate(c.pattern, out, sizeof out, c.year, c.month, c.day, c.hour, c.minute, c.second), c.result);
    EXPECT_STREQ(out, c.want);
  }
  char small[6];
  EXPECT_EQ(FormatDate("d MMMM yyyy", small, sizeof small, 2010, 9, 1, 0, 0, 0), 1);
  EXPECT_STREQ(small, "1 Sep");
  EXPECT_EQ(FormatDate("d", small, 0, 2010, 9, 1, 0, 0, 0), 0);
}

TEST(HeaderTextTest, PartsPagePartAndFallbacks) {
  HeaderSettings s;
  s.date_pattern = "dd/MM/yy";
  s.phone_num = "+44 1234 567890";
  s.organisation = "DEFAULT";
  s.server_organisation = "Acme Widgets   ";
  s.year = 2010, s.month = 3, s.day = 5, s.hour = 9, s.minute = 7;
  std::string text;
  int digits = 0;
  BuildHeaderText(s, "Alice", "Bob", 0x1F, 12, &text, &digits);
  EXPECT_EQ(digits, 2);
  EXPECT_EQ(text.size(), 101u - 5);
  const std::string first = HeaderPageText(text, digits, 1, 12);
  EXPECT_EQ(first.substr(first.size() - 5), "01/12");
  EXPECT_EQ(first.find("\x0b 05/03/10 09:07  \x07+44 1234 567890  "), 0u) << first;
  EXPECT_NE(first.find("Acme Widgets  "), std::string::npos);
  EXPECT_NE(first.find("Alice\x08\x09"
                       "Bob"),
            std::string::npos);

  BuildHeaderText(s, "Alice", "Bob", HEADER_PAGE_NUMBERS, 3, &text, &digits);
  EXPECT_EQ(digits, 1);
  const std::string only = HeaderPageText(text, digits, 2, 3);
  EXPECT_EQ(only.substr(0, 2), "\x0b ");
  EXPECT_EQ(only.find_first_not_of(' ', 2), only.size() - 3);
  EXPECT_EQ(only.substr(only.size() - 3), "2/3");
  BuildHeaderText(s, "", "", HEADER_PAGE_NUMBERS, 150, &text, &digits);
  EXPECT_EQ(HeaderPageText(text, digits, 7, 150).substr(101 - 7), "007/150");

  // Names without the own number: recipient only; long parts fall back.
  BuildHeaderText(s, "Alice", "Bob", HEADER_NAMES, 1, &text, &digits);
  EXPECT_NE(text.find("\x08\x09 Bob"), std::string::npos);
  s.organisation = std::string(30, 'O');
  s.phone_num = std::string(20, '9');
  s.date_pattern = "'" + std::string(40, 'D') + "'";
  BuildHeaderText(s, std::string(30, 'S').c_str(), std::string(30, 'R').c_str(), 0x1F, 1, &text, &digits);
  EXPECT_EQ(text.find(std::string(30, 'S')), std::string::npos);
  EXPECT_LE(text.size() + 3, 102u);
}

class HeaderFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("marrock_hdr_" + std::to_string(::getpid()) + "_" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    folder_ = dir_.string() + "/";
  }
  void TearDown() override { fs::remove_all(dir_); }
  fs::path dir_;
  std::string folder_;
};

TEST_F(HeaderFileTest, FontFilesHaveTheirSizesAndWrongSizesAreRefused) {
  ASSERT_EQ(MakeHeaderFontFile(folder_ + "ELIT_LN.FN", false), STATUS_OK);
  ASSERT_EQ(MakeHeaderFontFile(folder_ + "ELIT_LF.FN", true), STATUS_OK);
  EXPECT_EQ(fs::file_size(folder_ + "ELIT_LN.FN"), 18600u);
  EXPECT_EQ(fs::file_size(folder_ + "ELIT_LF.FN"), 37200u);
  HeaderFont f;
  ASSERT_EQ(LoadHeaderFont(folder_ + "ELIT_LF.FN", &f), 0);
  EXPECT_EQ(f.rows, 24u);
  EXPECT_EQ(LoadHeaderFont(folder_ + "none.FN", &f), 1);
  std::ofstream(folder_ + "short.FN", std::ios::binary) << std::string(18599, 'x');
  EXPECT_EQ(LoadHeaderFont(folder_ + "short.FN", &f), 2);
  std::ofstream(folder_ + "long.FN", std::ios::binary) << std::string(37201, 'x');
  EXPECT_EQ(LoadHeaderFont(folder_ + "long.FN", &f), 2);

  // A wrong-size fine font: no header, PERC 15, no file left.
  fs::copy_file(folder_ + "short.FN", folder_ + "ELIT_LF.FN", fs::copy_options::overwrite_existing);
  HeaderSettings s;
  EXPECT_EQ(RenderHeaderFile(6, 1, "a", "b", 0x1F, s, folder_, folder_ + "TOPL.G3F"), PERC_FILE_ERROR);
  EXPECT_FALSE(fs::exists(folder_ + "TOPL.G3F"));
  // The normal font is still good for format 5.
  EXPECT_EQ(RenderHeaderFile(5, 1, "a", "b", 0x1F, s, folder_, folder_ + "TOPL.G3N"), 0);
  EXPECT_EQ(RenderHeaderFile(4, 1, "a", "b", 0x1F, s, folder_, folder_ + "TOPL.X"), PERC_FILE_ERROR);
}

TEST_F(HeaderFileTest, DrawnGlyphsAndHeaderPagesPerFormat) {
  ASSERT_EQ(MakeHeaderFontFile(folder_ + "ELIT_LN.FN", false), STATUS_OK);
  ASSERT_EQ(MakeHeaderFontFile(folder_ + "ELIT_LF.FN", true), STATUS_OK);
  HeaderFont font;
  ASSERT_EQ(LoadHeaderFont(folder_ + "ELIT_LF.FN", &font), 0);
  std::vector<std::uint8_t> bm(HEADER_ROWS * HEADER_ROW_BYTES, 0xFF);
  DrawHeaderTextBitmapFont(font, "  ", bm.data());
  EXPECT_TRUE(std::all_of(bm.begin(), bm.end(), [](std::uint8_t b) { return b == 0; }));
  DrawHeaderTextBitmapFont(font, "H", bm.data());
  // Pels only inside the first cell (x 96..110).
  int inside = 0, outside = 0;
  for (std::uint32_t y = 0; y < HEADER_ROWS; ++y)
    for (std::uint32_t x = 0; x < HEADER_WIDTH; ++x)
      if (bm[y * HEADER_ROW_BYTES + x / 8] & (0x80 >> (x % 8))) ++(x >= 96 && x < 111 ? inside : outside);
  EXPECT_GT(inside, 20);
  EXPECT_EQ(outside, 0);
  // Text past the width is cut, never written beyond the bitmap.
  DrawHeaderTextBitmapFont(font, std::string(500, 'W'), bm.data());

  HeaderSettings s;
  s.year = 2010, s.month = 3, s.day = 5;
  struct Case {
    int format;
    std::uint32_t lines, y_res;
  } cases[] = {{5, 2 + 12 + 1, 100}, {6, 4 + 24 + 2, 200}, {7, 8 + 48 + 4, 400}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.format);
    const std::string path = folder_ + "TOPL" + std::to_string(c.format) + ".G3F";
    ASSERT_EQ(RenderHeaderFile(c.format, 3, "Alice", "Bob", 0x1F, s, folder_, path), 0);
    std::uint32_t pages = 0;
    ASSERT_EQ(FaxFilePageCount(path, &pages), STATUS_OK);
    EXPECT_EQ(pages, 3u);
    std::vector<FaxBitmap> back;
    ASSERT_EQ(ReadFaxFile(path, &back), STATUS_OK);
    ASSERT_EQ(back.size(), 3u);
    EXPECT_EQ(back[0].lines, c.lines);
    EXPECT_EQ(back[0].y_res, c.y_res);
    // The drawn text of page 2 is the band after the top margin.
    HeaderFont f;
    ASSERT_EQ(LoadHeaderFont(folder_ + (c.format == 5 ? "ELIT_LN.FN" : "ELIT_LF.FN"), &f), 0);
    std::string text;
    int digits = 0;
    BuildHeaderText(s, "Alice", "Bob", 0x1F, 3, &text, &digits);
    DrawHeaderTextBitmapFont(f, HeaderPageText(text, digits, 2, 3), bm.data());
    const std::uint32_t k = c.format == 5 ? 1 : c.format == 6 ? 2 : 4, rep = c.format == 7 ? 2 : 1;
    for (std::uint32_t r = 0; r < f.rows * rep; ++r)
      ASSERT_EQ(0, std::memcmp(back[1].row(2 * k + r), bm.data() + (r / rep) * HEADER_ROW_BYTES, HEADER_ROW_BYTES))
          << r;
  }
}

}  // namespace
