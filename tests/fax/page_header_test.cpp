// Page header text renderer: layout values, fonts, line layout (wrap, tab,
// line feed, form feed, end of text), row repeat, inversion and the glyph
// tables.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "fax/page_header.h"

namespace {

using rows_t = std::vector<std::vector<uint8_t>>;

struct rendered {
  rows_t rows;
  bool page_full = false;
};

// Renders a text (the end mark is added) one row per call.
rendered render(const std::string& text, uint8_t font, uint8_t vertical = TCG_VERTICAL_100, int32_t top = 0,
                uint8_t inverse = 0, uint8_t blank_to_end = 0) {
  tcg_handle h;
  h.font = font;
  h.vertical_mode = vertical;
  h.top_margin = top;
  h.inverse = inverse;
  h.blank_to_end = blank_to_end;
  std::vector<uint8_t> chars(text.begin(), text.end());
  chars.push_back(TCG_END_OF_TEXT);
  EXPECT_EQ(tcg_init(&h), TCG_INIT_OK);
  h.text = chars.data();
  h.text_left = static_cast<uint32_t>(chars.size());
  rendered r;
  std::vector<uint8_t> row(TCG_ROW_BYTES);
  for (int guard = 0; !h.text_done && guard < 20000; ++guard) {
    h.dest = row.data();
    h.dest_room = TCG_ROW_BYTES;
    tcg_put_rows(&h);
    if (h.dest != row.data()) r.rows.push_back(row);
  }
  EXPECT_TRUE(h.text_done);
  r.page_full = h.page_full;
  tcg_release(&h);
  return r;
}

bool pel(const rows_t& rows, uint32_t y, uint32_t x) { return rows[y][x / 8] & (0x80 >> (x % 8)); }

// Leftmost and rightmost black pel over all rows; {-1, -1} when blank.
std::pair<int, int> ink_span(const rows_t& rows) {
  int lo = -1, hi = -1;
  for (uint32_t y = 0; y < rows.size(); ++y)
    for (uint32_t x = 0; x < TCG_ROW_PELS; ++x)
      if (pel(rows, y, x)) {
        if (lo < 0 || int(x) < lo) lo = int(x);
        if (int(x) > hi) hi = int(x);
      }
  return {lo, hi};
}

bool blank(const rows_t& rows, uint32_t from, uint32_t to) {
  for (uint32_t y = from; y < to; ++y)
    for (uint8_t b : rows[y])
      if (b) return false;
  return true;
}

TEST(PageHeader, LayoutOfBothFonts) {
  struct tc {
    uint8_t font, vertical;
    int32_t top;
    uint32_t left, top_rows, page_rows;
  } cases[] = {
      {0, TCG_VERTICAL_100, 0, 144, 0, 1143},
      {0, TCG_VERTICAL_100, -1, 144, 77, 1143},  // (1143 - 15 x 66 + 1) / 2
      {0, TCG_VERTICAL_OTHER, -1, 144, 153, 2286},
      {1, TCG_VERTICAL_100, 12, 138, 12, 1143},
      {1, TCG_VERTICAL_OTHER, -5, 138, 175, 2286},  // (2286 - 11 x 88 x 2 + 1) / 2
  };
  for (const auto& c : cases) {
    tcg_handle h;
    h.font = c.font;
    h.vertical_mode = c.vertical;
    h.top_margin = c.top;
    ASSERT_EQ(tcg_init(&h), TCG_INIT_OK);
    EXPECT_EQ(tcg_left_margin(&h), c.left);
    EXPECT_EQ(tcg_top_rows(&h), c.top_rows);
    EXPECT_EQ(tcg_page_rows(&h), c.page_rows);
    tcg_release(&h);
  }
  tcg_handle bad;
  bad.font = 2;
  EXPECT_EQ(tcg_init(&bad), TCG_INIT_BAD_PARAM);
  bad.font = 0;
  bad.vertical_mode = 3;
  EXPECT_EQ(tcg_init(&bad), TCG_INIT_BAD_PARAM);
  EXPECT_EQ(tcg_init(nullptr), TCG_INIT_BAD_PARAM);
  EXPECT_EQ(tcg_font_of(0)->glyph_rows, 15);
  EXPECT_EQ(tcg_font_of(1)->glyph_rows, 11);
  EXPECT_EQ(tcg_font_of(0)->chars_per_line * tcg_font_of(0)->cell_width, 1440);
  EXPECT_EQ(tcg_font_of(1)->chars_per_line * tcg_font_of(1)->cell_width, 1452);
}

// A full line of each font stays on one text line inside the 1728 pels; one
// character more wraps to a second line.
TEST(PageHeader, FullLinesAndWrap) {
  for (uint8_t font : {0, 1}) {
    const tcg_font& f = *tcg_font_of(font);
    const std::string full(f.chars_per_line, 'W');
    rendered r = render(full, font);
    ASSERT_EQ(r.rows.size(), f.glyph_rows) << int(font);
    const auto [lo, hi] = ink_span(r.rows);
    const uint32_t left = (TCG_ROW_PELS + 1 - f.cell_width * f.chars_per_line) / 2;
    EXPECT_GE(lo, int(left));
    EXPECT_LT(hi, int(left + f.cell_width * f.chars_per_line));
    r = render(full + "W", font);
    ASSERT_EQ(r.rows.size(), 2u * f.glyph_rows) << int(font);
    // The wrapped character starts the second line at column 0.
    const rendered one = render("W", font);
    for (uint32_t y = 0; y < f.glyph_rows; ++y) EXPECT_EQ(r.rows[f.glyph_rows + y], one.rows[y]);
  }
}

// Texts that must render alike: tabs, skipped codes, trailing spaces, and
// control codes other than TAB, LF, FF and CR, which print as blank glyphs.
TEST(PageHeader, EquivalentTexts) {
  const std::pair<std::string, std::string> cases[] = {
      {"A\tB", "A       B"},  // B at column 8
      {"ABC\tD", "ABC     D"},
      {"\tX", "        X"},
      {"AB   ", "AB"},
      {"A\rB", "AB"},
      {std::string("A\0B", 3), "AB"},
      {"\x01X\x1b\x7f", " X  "},
      {std::string("\x85\x9f", 2) + "Y", "  Y"},
  };
  for (const auto& [a, b] : cases) EXPECT_EQ(render(a, 0).rows, render(b, 0).rows) << "'" << a << "'";
  // Latin-1 letters keep their glyphs.
  for (int c : {0xC9, 0xE9, 0xFC, 0xDF}) {
    EXPECT_NE(ink_span(render(std::string(1, char(c)), 0).rows).first, -1) << c;
    EXPECT_NE(ink_span(render(std::string(1, char(c)), 1).rows).first, -1) << c;
  }
  EXPECT_NE(render("\xE9", 0).rows, render("e", 0).rows);
  // B of "A<TAB>B" sits 8 cells right of A.
  const auto a = ink_span(render("A", 0).rows), b = ink_span(render("\tA", 0).rows);
  EXPECT_EQ(b.first - a.first, 8 * 18);
}

TEST(PageHeader, LineFeedFormFeedAndEnd) {
  // LF: two text lines; an empty line is a blank text line.
  rendered r = render("A\nB", 0);
  ASSERT_EQ(r.rows.size(), 30u);
  EXPECT_EQ(ink_span({r.rows.begin() + 15, r.rows.end()}), ink_span(render("B", 0).rows));
  r = render("A\n\nB", 0);
  ASSERT_EQ(r.rows.size(), 45u);
  EXPECT_TRUE(blank(r.rows, 15, 30));
  // FF on an empty line blanks the rest of the page; the next text starts a
  // new page.
  r = render("\fA", 0);
  ASSERT_EQ(r.rows.size(), 1143u + 15u);
  EXPECT_TRUE(r.page_full);
  EXPECT_TRUE(blank(r.rows, 0, 1143));
  // FF after text ends the line first, then blanks the rest of the page.
  r = render("A\f", 0, TCG_VERTICAL_OTHER);
  ASSERT_EQ(r.rows.size(), 2286u);
  // With blank-to-end the end of the text blanks the rest of a started page.
  r = render("A", 1, TCG_VERTICAL_100, 0, 0, 1);
  EXPECT_EQ(r.rows.size(), 1143u);
  r = render("", 1, TCG_VERTICAL_100, 0, 0, 1);
  EXPECT_TRUE(r.rows.empty());
}

TEST(PageHeader, TopRowsRepeatAndInverse) {
  const rendered plain = render("Fax 12", 0);
  // Top margin: blank rows first.
  rendered r = render("Fax 12", 0, TCG_VERTICAL_100, 7);
  ASSERT_EQ(r.rows.size(), 22u);
  EXPECT_TRUE(blank(r.rows, 0, 7));
  EXPECT_TRUE(std::equal(plain.rows.begin(), plain.rows.end(), r.rows.begin() + 7));
  // A top margin is cut so that a text line still fits on the page.
  r = render("Fax 12", 0, TCG_VERTICAL_100, 5000);
  ASSERT_EQ(r.rows.size(), 1143u);
  EXPECT_TRUE(blank(r.rows, 0, 1128));
  EXPECT_TRUE(std::equal(plain.rows.begin(), plain.rows.end(), r.rows.begin() + 1128));
  // Finer output: each glyph row twice.
  r = render("Fax 12", 0, TCG_VERTICAL_OTHER, 3);
  ASSERT_EQ(r.rows.size(), 33u);
  for (uint32_t y = 0; y < 15; ++y) {
    EXPECT_EQ(r.rows[3 + 2 * y], plain.rows[y]);
    EXPECT_EQ(r.rows[4 + 2 * y], plain.rows[y]);
  }
  // Inverse: every byte complemented, blank rows included.
  r = render("Fax 12", 0, TCG_VERTICAL_100, 2, 1);
  ASSERT_EQ(r.rows.size(), 17u);
  for (uint8_t b : r.rows[0]) EXPECT_EQ(b, 0xFF);
  for (uint32_t y = 0; y < 15; ++y)
    for (uint32_t i = 0; i < TCG_ROW_BYTES; ++i) EXPECT_EQ(r.rows[2 + y][i], uint8_t(~plain.rows[y][i]));
}

// The 66 text lines of a page fill it; the rest of the page is blank and the
// next line starts a new page.
TEST(PageHeader, TextLinesPerPage) {
  std::string text;
  for (int i = 0; i < 67; ++i) text += "L\n";
  const rendered r = render(text, 0);
  ASSERT_EQ(r.rows.size(), 1143u + 15u);
  EXPECT_TRUE(r.page_full);
  EXPECT_TRUE(blank(r.rows, 66 * 15, 1143));
  EXPECT_FALSE(blank(r.rows, 1143, 1158));
}

// A destination with room for less than a row gets nothing; reset drops the
// line being read.
TEST(PageHeader, RoomAndReset) {
  tcg_handle h;
  ASSERT_EQ(tcg_init(&h), TCG_INIT_OK);
  const uint8_t text[] = {'A', 'B', TCG_END_OF_TEXT};
  h.text = text;
  h.text_left = sizeof text;
  std::vector<uint8_t> room(3 * TCG_ROW_BYTES - 1, 0xAA);
  h.dest = room.data();
  h.dest_room = TCG_ROW_BYTES - 1;
  tcg_put_rows(&h);
  EXPECT_EQ(h.dest, room.data());
  h.dest_room = static_cast<uint32_t>(room.size());
  tcg_put_rows(&h);
  EXPECT_EQ(h.dest, room.data() + 2 * TCG_ROW_BYTES);  // two rows; the third would not fit
  EXPECT_EQ(room.back(), 0xAA);
  tcg_reset(&h);
  std::vector<uint8_t> rest(20 * TCG_ROW_BYTES);
  h.dest = rest.data();
  h.dest_room = static_cast<uint32_t>(rest.size());
  tcg_put_rows(&h);
  EXPECT_TRUE(h.text_done);
  tcg_release(&h);
  tcg_release(&h);  // twice is harmless
}

TEST(PageHeader, CharacterClasses) {
  EXPECT_EQ(tcg_char_class(0), TCG_CLASS_IGNORED);
  EXPECT_EQ(tcg_char_class(9), TCG_CLASS_TAB);
  EXPECT_EQ(tcg_char_class(10), TCG_CLASS_LINE_FEED);
  EXPECT_EQ(tcg_char_class(12), TCG_CLASS_FORM_FEED);
  EXPECT_EQ(tcg_char_class(13), TCG_CLASS_CARRIAGE);
  EXPECT_EQ(tcg_char_class(255), TCG_CLASS_END);
  for (int c : {1, 8, 11, 27, int('a'), 127, 0x85, 0xA0, 0xFE})
    EXPECT_EQ(tcg_char_class(uint8_t(c)), TCG_CLASS_PRINTABLE);
}

}  // namespace
