// Page header text renderer: turns the header text of a page conversion into
// bilevel rows of 1728 pels (216 bytes, set bit = black, bit 0x80 of byte 0
// the first pel) that the page converter lays over the first rows of a page.
//
// Two built-in bitmap fonts; text lines are laid out with wrap, tabs, line
// feed and form feed, and the rows come out one call at a time:
//
//   tcg_handle h;
//   h.font = 0; h.vertical_mode = TCG_VERTICAL_100; h.top_margin = 0;
//   h.text = text; h.text_left = n;            // end the text with TCG_END_OF_TEXT
//   if (tcg_init(&h) != TCG_INIT_OK) ...
//   while (!h.text_done) {
//     h.dest = row; h.dest_room = TCG_ROW_BYTES;
//     tcg_put_rows(&h);                         // writes at most one row here
//     ...
//   }
//   tcg_release(&h);
//
// Character classes: NUL and CR are skipped, TAB moves to the next tab stop,
// LF ends the line, FF ends the page, 255 ends the text; every other code is
// printed with its glyph (codes without a Latin-1 character print blank).
#pragma once

#include <cstdint>

#include "platform/int_types.h"

inline constexpr u32 TCG_ROW_PELS = 1728;
inline constexpr u32 TCG_ROW_BYTES = TCG_ROW_PELS / 8;
inline constexpr u8 TCG_END_OF_TEXT = 255;
// Header texts up to this many characters use font 0, longer ones font 1.
inline constexpr u32 TCG_FONT0_MAX_TEXT = 80;

// A font: its layout and its glyph table (see fax/page_header_font.h).
struct tcg_font {
  u8 first_code;
  u16 glyph_count;
  u8 chars_per_line;
  u8 lines_per_page;
  u8 cell_width;  // pels
  u8 glyph_rows;
  const u32* glyphs;  // glyph_count x glyph_rows row words
};

inline constexpr u8 TCG_FONT_COUNT = 2;
// The font of an index (0 or 1), null for any other index.
const tcg_font* tcg_font_of(u8 index);

// Character classes.
enum : u8 {
  TCG_CLASS_PRINTABLE = 0,
  TCG_CLASS_FORM_FEED = 1,
  TCG_CLASS_TAB = 2,
  TCG_CLASS_IGNORED = 4,   // NUL
  TCG_CLASS_CARRIAGE = 5,  // CR, skipped
  TCG_CLASS_LINE_FEED = 6,
  TCG_CLASS_END = 7,  // 255
};
u8 tcg_char_class(u8 c);

// Vertical modes.
enum : u8 {
  TCG_VERTICAL_100 = 1,    // 100 lpi output: each glyph row once, 1143 rows a page
  TCG_VERTICAL_OTHER = 2,  // finer output: each glyph row twice, 2286 rows a page
};

// Results of tcg_init.
enum : u8 {
  TCG_INIT_OK = 0,
  TCG_INIT_NO_STATE = 1,       // no memory for the state
  TCG_INIT_NO_ROW_BUFFER = 2,  // no memory for the row buffer
  TCG_INIT_BAD_PARAM = 3,      // no handle, an unknown font or an unknown vertical mode
};

struct tcg_state;

// Caller handle: fill the inputs before tcg_init, then point dest / text at
// the room and the text left before each tcg_put_rows.
struct tcg_handle {
  tcg_state* state = nullptr;
  u8 font = 0;
  u8 vertical_mode = TCG_VERTICAL_100;
  u8 blank_to_end = 0;  // at the end of the text, blank the rest of a started page
  u8 tab_width = 0;     // 0: 8
  i32 top_margin = 0;   // blank rows before the first text line (cut so that one text
                        // line fits on the page); negative: centre the text
  u8 inverse = 0;       // 1: white text on black
  const u8* text = nullptr;
  u32 text_left = 0;
  u8* dest = nullptr;  // next row goes here
  u32 dest_room = 0;   // bytes
  u8 text_done = 0;    // the text is used up and nothing is pending
  u8 page_full = 0;    // the rows of a page ran out (the page counters restarted)
};

[[nodiscard]] u8 tcg_init(tcg_handle* h);
// Writes rows while the destination has room for a whole row; each row
// advances dest by TCG_ROW_BYTES.  Stops when the text is done.
void tcg_put_rows(tcg_handle* h);
// Back to reading a new line, with no characters held.
void tcg_reset(tcg_handle* h);
void tcg_release(tcg_handle* h);
// Paints the line held in the state into the row buffer.
void tcg_render_line(tcg_handle* h);

// Layout values of an initialised handle, for callers and tests.
u32 tcg_left_margin(const tcg_handle* h);  // pels
u32 tcg_top_rows(const tcg_handle* h);
u32 tcg_page_rows(const tcg_handle* h);
