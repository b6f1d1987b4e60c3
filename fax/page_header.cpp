// Page header text renderer: line layout and row output.
#include "fax/page_header.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>
#include <new>

#include "fax/page_header_font.h"

namespace {

constexpr tcg_font kFonts[TCG_FONT_COUNT] = {
    {0, 256, 80, 66, 18, 15, &tcg_font0_glyphs[0][0]},
    {0, 256, 132, 88, 11, 11, &tcg_font1_glyphs[0][0]},
};

constexpr u32 kPageRows100 = 1143;
constexpr u32 kPageRowsOther = 2286;
constexpr u8 kDefaultTab = 8;
constexpr u32 kMaxLine = 132;  // the most characters a line holds in either font

constexpr std::array<u8, 256> make_classes() {
  std::array<u8, 256> t{};
  for (auto& c : t) c = TCG_CLASS_PRINTABLE;
  t[0] = TCG_CLASS_IGNORED;
  t[9] = TCG_CLASS_TAB;
  t[10] = TCG_CLASS_LINE_FEED;
  t[12] = TCG_CLASS_FORM_FEED;
  t[13] = TCG_CLASS_CARRIAGE;
  t[255] = TCG_CLASS_END;
  return t;
}
constexpr std::array<u8, 256> kClasses = make_classes();

// Output phases.
enum : u8 { kNextLine = 0, kBlankRows = 1, kRender = 2, kCopyRows = 3 };

}  // namespace

struct tcg_state {
  const tcg_font* font = nullptr;
  u32 tab_width = kDefaultTab;
  u32 chars_per_line = 0;
  u32 top_rows = 0;
  u32 page_rows = 0;
  u32 lines_per_page = 0;
  u32 left_margin = 0;
  u32 row_repeat = 1;
  bool inverse = false;
  u8 phase = kNextLine;
  std::array<u8, kMaxLine> line{};
  u32 line_len = 0;
  u32 blank_due = 0;
  u32 page_rows_left = 0;
  u32 lines_left = 0;
  bool top_pending = true;  // the top rows of this page are still due
  u32 glyph_row = 0;
  u32 repeats_left = 0;
  std::unique_ptr<u8[]> rows;  // glyph_rows x TCG_ROW_BYTES
};

const tcg_font* tcg_font_of(u8 index) { return index < TCG_FONT_COUNT ? &kFonts[index] : nullptr; }

u8 tcg_char_class(u8 c) { return kClasses[c]; }

u8 tcg_init(tcg_handle* h) {
  if (!h) return TCG_INIT_BAD_PARAM;
  const tcg_font* f = tcg_font_of(h->font);
  if (!f || (h->vertical_mode != TCG_VERTICAL_100 && h->vertical_mode != TCG_VERTICAL_OTHER)) return TCG_INIT_BAD_PARAM;
  std::unique_ptr<tcg_state> s(new (std::nothrow) tcg_state);
  if (!s) return TCG_INIT_NO_STATE;
  s->rows.reset(new (std::nothrow) u8[size_t{f->glyph_rows} * TCG_ROW_BYTES]);
  if (!s->rows) return TCG_INIT_NO_ROW_BUFFER;
  s->font = f;
  s->tab_width = h->tab_width ? h->tab_width : kDefaultTab;
  s->chars_per_line = f->chars_per_line;
  s->lines_per_page = f->lines_per_page;
  const bool lpi100 = h->vertical_mode == TCG_VERTICAL_100;
  s->page_rows = lpi100 ? kPageRows100 : kPageRowsOther;
  s->row_repeat = lpi100 ? 1 : 2;
  s->left_margin = (TCG_ROW_PELS + 1 - u32{f->cell_width} * f->chars_per_line) / 2;
  const u32 line_rows = u32{f->glyph_rows} * s->row_repeat;
  if (h->top_margin >= 0) {
    // Cut so that a text line still fits on the page: more would leave
    // nothing but top rows on every page.
    s->top_rows = std::min(static_cast<u32>(h->top_margin), s->page_rows - line_rows);
  } else {
    const i64 text_rows = i64{line_rows} * f->lines_per_page;
    const i64 top = (i64{s->page_rows} - text_rows + 1) / 2;
    s->top_rows = top > 0 ? static_cast<u32>(top) : 0;
  }
  s->inverse = h->inverse != 0;
  s->page_rows_left = s->page_rows;
  s->lines_left = s->lines_per_page;
  h->state = s.release();
  h->text_done = 0;
  h->page_full = 0;
  return TCG_INIT_OK;
}

void tcg_release(tcg_handle* h) {
  if (!h) return;
  delete h->state;
  h->state = nullptr;
}

void tcg_reset(tcg_handle* h) {
  if (!h || !h->state) return;
  h->state->phase = kNextLine;
  h->state->line_len = 0;
}

u32 tcg_left_margin(const tcg_handle* h) { return h && h->state ? h->state->left_margin : 0; }
u32 tcg_top_rows(const tcg_handle* h) { return h && h->state ? h->state->top_rows : 0; }
u32 tcg_page_rows(const tcg_handle* h) { return h && h->state ? h->state->page_rows : 0; }

void tcg_render_line(tcg_handle* h) {
  if (!h || !h->state) return;
  tcg_state& s = *h->state;
  const tcg_font& f = *s.font;
  std::memset(s.rows.get(), 0, size_t{f.glyph_rows} * TCG_ROW_BYTES);
  u32 first = 0, end = s.line_len;
  while (first < end && s.line[first] == ' ') ++first;
  while (end > first && s.line[end - 1] == ' ') --end;
  for (u32 col = first; col < end; ++col) {
    const u32 code = s.line[col];
    if (code < f.first_code || code - f.first_code >= f.glyph_count) continue;
    const u32* glyph = f.glyphs + size_t{code - f.first_code} * f.glyph_rows;
    const u32 x = s.left_margin + u32{f.cell_width} * col;
    const u32 byte = x / 8;
    const u32 shift = 32 - f.cell_width - x % 8;  // cell width + 7 fits in 32 bits
    for (u32 y = 0; y < f.glyph_rows; ++y) {
      const u32 bits = glyph[y] << shift;
      if (!bits) continue;
      u8* row = s.rows.get() + size_t{y} * TCG_ROW_BYTES + byte;
      for (u32 k = 0; k < 4 && byte + k < TCG_ROW_BYTES; ++k) row[k] |= static_cast<u8>(bits >> (24 - 8 * k));
    }
  }
  if (s.inverse)
    for (size_t i = 0; i < size_t{f.glyph_rows} * TCG_ROW_BYTES; ++i) s.rows[i] = static_cast<u8>(~s.rows[i]);
}

namespace {

// Reads characters into the line until it is to be rendered, blank rows are
// due, or the text ends.  Returns false when the text is used up with
// nothing pending.
bool next_line(tcg_handle* h) {
  tcg_state& s = *h->state;
  if (s.top_pending) {
    // A page's top rows come only when text for that page follows.
    while (h->text_left > 0 && (kClasses[*h->text] == TCG_CLASS_IGNORED || kClasses[*h->text] == TCG_CLASS_CARRIAGE))
      ++h->text, --h->text_left;
    if (s.line_len > 0 || (h->text_left > 0 && kClasses[*h->text] != TCG_CLASS_END)) {
      s.top_pending = false;
      if (s.top_rows > 0) {
        s.blank_due = s.top_rows;
        s.phase = kBlankRows;
        return true;
      }
    }
  }
  while (h->text_left > 0) {
    const u8 c = *h->text;
    switch (kClasses[c]) {
      case TCG_CLASS_PRINTABLE:
        if (s.line_len >= s.chars_per_line) {  // wrap: the character starts the next line
          s.phase = kRender;
          return true;
        }
        s.line[s.line_len++] = c;
        break;
      case TCG_CLASS_TAB: {
        const u32 stop = (s.line_len / s.tab_width + 1) * s.tab_width;
        while (s.line_len < stop && s.line_len < s.chars_per_line) s.line[s.line_len++] = ' ';
        break;
      }
      case TCG_CLASS_LINE_FEED:
        ++h->text, --h->text_left;
        s.phase = kRender;  // an empty line is a blank text line
        return true;
      case TCG_CLASS_FORM_FEED:
        if (s.line_len > 0) {
          s.phase = kRender;
          return true;
        }
        ++h->text, --h->text_left;
        s.blank_due = s.page_rows_left;
        s.phase = kBlankRows;
        return true;
      case TCG_CLASS_END:
        if (s.line_len > 0) {
          s.phase = kRender;
          return true;
        }
        h->text_left = 0;  // nothing after the end mark counts
        if (h->blank_to_end && s.page_rows_left < s.page_rows) {
          s.blank_due = s.page_rows_left;
          s.phase = kBlankRows;
          return true;
        }
        return false;
      default:  // NUL, CR
        break;
    }
    ++h->text, --h->text_left;
  }
  if (s.line_len > 0) {
    s.phase = kRender;
    return true;
  }
  return false;
}

// One row was written: count it against the page.
void row_written(tcg_handle* h) {
  tcg_state& s = *h->state;
  h->dest += TCG_ROW_BYTES;
  h->dest_room -= TCG_ROW_BYTES;
  if (--s.page_rows_left == 0) {
    h->page_full = 1;
    s.page_rows_left = s.page_rows;
    s.lines_left = s.lines_per_page;
    s.top_pending = true;
    if (s.phase == kBlankRows) {
      s.blank_due = 0;
      s.phase = kNextLine;
    }
  }
}

}  // namespace

void tcg_put_rows(tcg_handle* h) {
  if (!h || !h->state) return;
  tcg_state& s = *h->state;
  const u32 glyph_rows = s.font->glyph_rows;
  while (!h->text_done && h->dest && h->dest_room >= TCG_ROW_BYTES) {
    switch (s.phase) {
      case kNextLine:
        if (!next_line(h)) h->text_done = 1;
        break;
      case kBlankRows:
        if (s.blank_due == 0) {
          s.phase = kNextLine;
          break;
        }
        std::memset(h->dest, s.inverse ? 0xFF : 0x00, TCG_ROW_BYTES);
        --s.blank_due;
        if (s.blank_due == 0) s.phase = kNextLine;
        row_written(h);
        break;
      case kRender:
        tcg_render_line(h);
        s.glyph_row = 0;
        s.repeats_left = s.row_repeat;
        s.phase = kCopyRows;
        break;
      case kCopyRows:
        std::memcpy(h->dest, s.rows.get() + size_t{s.glyph_row} * TCG_ROW_BYTES, TCG_ROW_BYTES);
        if (--s.repeats_left == 0) {
          s.repeats_left = s.row_repeat;
          if (++s.glyph_row == glyph_rows) {
            s.line_len = 0;
            s.phase = kNextLine;
            if (--s.lines_left == 0) {
              s.lines_left = s.lines_per_page;
              s.blank_due = s.page_rows_left - 1;  // the rest of the page, after this row
              s.phase = kBlankRows;
            }
          }
        }
        row_written(h);
        break;
      default: h->text_done = 1; break;
    }
  }
}
