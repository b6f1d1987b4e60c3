// Page header rendering of the device controller: the header line sent on
// top of every page (date, time, own number and organisation, sender and
// recipient names, page number) drawn with the fax server's bitmap fonts
// into a header file of one header page per fax page.
//
// Bitmap font files (".FN", in the area's "K-DB" folder): one glyph per
// character code c at offset 2 x rows x c, rows of 16 bits, first byte the
// left eight pels (bit 0x80 first), the cell 15 pels wide.  "ELIT_LN.FN"
// has 12 rows (18600 bytes), "ELIT_LF.FN" 24 rows (37200 bytes); any other
// size is refused.  MakeHeaderFontFile writes them from the built-in glyph
// data of fax/page_header_font.h (public-domain X misc-fixed derived font;
// see fax/page_header_font_LICENSE.txt).
//
// Windows fonts ("HeaderLineFont:", the Greek set) are not drawn here: that
// choice is logged once and the bitmap font is used.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/int_types.h"
#include "common/status_words.h"

inline constexpr u32 HEADER_WIDTH = 1728;
inline constexpr u32 HEADER_ROW_BYTES = HEADER_WIDTH / 8;
inline constexpr u32 HEADER_ROWS = 24;
inline constexpr u32 HEADER_PEN_START = 96;
inline constexpr u32 HEADER_CELL = 15;
inline constexpr u32 HEADER_FONT_CODES = 775;                                        // glyphs in a font file
inline constexpr std::size_t HEADER_FONT_NORMAL_BYTES = 2 * 12 * HEADER_FONT_CODES;  // 18600
inline constexpr std::size_t HEADER_FONT_FINE_BYTES = 2 * 24 * HEADER_FONT_CODES;    // 37200
inline constexpr u32 HEADER_TEXT_BUDGET = 102;                                       // characters of the bitmap font

// Header flags of a send request.
enum : u32 {
  HEADER_PAGE_NUMBERS = 1u << 0,
  HEADER_NAMES = 1u << 1,
  HEADER_OWN_NUMBER = 1u << 2,
  HEADER_DATE = 1u << 3,
  HEADER_TIME = 1u << 4,
};

// Glyph codes of the symbols in the bitmap font.
enum : char {
  HEADER_GLYPH_PHONE = 7,
  HEADER_GLYPH_FROM = 8,  // 8 then 9: the arrow from sender to recipient
  HEADER_GLYPH_TO = 9,
  HEADER_GLYPH_LEAD = 11,
};

// Writes pattern for the date into `out` (`size` bytes, at least 1):
// 1, or 0 for values out of range (out empty).  Two-digit years below 80
// are 20xx, others 19xx.
int FormatDate(const char* pattern, char* out, std::size_t size, int year, int month, int day, int hour, int minute,
               int second);

struct HeaderFont {
  u32 rows = 0;  // 12 or 24
  std::vector<u8> data;
};

// Loads a font file: 0, 1 when it does not exist, 2 when it cannot be read
// or has the wrong size.
int LoadHeaderFont(const std::string& path, HeaderFont* font);
// Writes a font file of 12 (normal) or 24 (fine) rows from the built-in glyphs.
[[nodiscard]] StatusWord MakeHeaderFontFile(const std::string& path, bool fine);

// What the header text is made of besides the request.
struct HeaderSettings {
  std::string date_pattern = "dd/MM/yy";                                  // "DateFormatShort:"
  std::string phone_num;                                                  // "PhoneNum:"
  std::string organisation = "DEFAULT";                                   // "Organisation:"
  std::string server_organisation;                                        // used for "DEFAULT"
  int year = 2010, month = 1, day = 1, hour = 0, minute = 0, second = 0;  // now
};

// Builds the header text, padded for the page part, and the page part's
// digits (0 without page numbers, else 1, 2 or 3).  An empty text means
// nothing fits.
void BuildHeaderText(const HeaderSettings& s, const char* sender, const char* recipient, u32 flags, int pages,
                     std::string* text, int* page_digits);
// The text of page p of n: the header text followed by the page part.
std::string HeaderPageText(const std::string& text, int page_digits, int page, int pages);

// Draws text with the bitmap font into a cleared bitmap of HEADER_ROWS rows
// of 216 bytes (only font.rows rows are used).
void DrawHeaderTextBitmapFont(const HeaderFont& font, const std::string& text, u8* bitmap);

// Renders a header file of `pages` pages for fax format 5, 6 or 7 into
// `path` with the fonts of `font_folder` (a Linux path ending in '/'):
// 0, or PERC 15 (the file is removed).
int RenderHeaderFile(int format, int pages, const char* sender, const char* recipient, u32 flags,
                     const HeaderSettings& settings, const std::string& font_folder, const std::string& path);
