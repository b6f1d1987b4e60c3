#include "platform/int_types.h"
#include "controller/page_header_render.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <cstring>

#include "controller/device_log.h"
#include "controller/device_states.h"
#include "controller/fax_file.h"
#include "fax/page_header_font.h"

namespace {

constexpr const char* kMonthNames[12] = {"January", "February", "March",     "April",   "May",      "June",
                                         "July",    "August",   "September", "October", "November", "December"};
constexpr const char* kMonthShort[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                         "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

// Symbol glyphs the text font lacks, 15 pels wide (bit 14 the first pel),
// 12 rows: lead mark, telephone, and the two halves of the arrow.
struct SymbolGlyph {
  char code;
  u16 rows[12];
};
constexpr SymbolGlyph kSymbols[] = {
    {HEADER_GLYPH_LEAD, {0, 0x0080, 0x01C0, 0x03E0, 0x07F0, 0x0FF8, 0x07F0, 0x03E0, 0x01C0, 0x0080, 0, 0}},
    {HEADER_GLYPH_PHONE, {0, 0x1FFC, 0x3FFE, 0x381E, 0x0380, 0x07C0, 0x0FE0, 0x1C70, 0x1C70, 0x1FF0, 0x1FF0, 0}},
    {HEADER_GLYPH_FROM, {0, 0, 0, 0, 0, 0x7FFF, 0x7FFF, 0, 0, 0, 0, 0}},
    {HEADER_GLYPH_TO, {0, 0x0300, 0x01C0, 0x0070, 0x001C, 0x7FFF, 0x7FFF, 0x001C, 0x0070, 0x01C0, 0x0300, 0}},
};

// Row r (of `rows`) of the glyph of code c as 15 pels, bit 14 the first.
u16 BuiltInRow(unsigned c, u32 r, u32 rows) {
  for (const SymbolGlyph& g : kSymbols)
    if (static_cast<unsigned char>(g.code) == c) return g.rows[r * 12 / rows];
  if (c > 255) return 0;
  // The text font has 18-pel cells of 15 rows: resampled to 15 x rows.
  const u32 word = tcg_font0_glyphs[c][r * 15 / rows];
  u16 out = 0;
  for (u32 x = 0; x < HEADER_CELL; ++x) {
    const u32 sx = x * 18 / HEADER_CELL;
    if ((word >> (17 - sx)) & 1) out |= static_cast<u16>(1u << (14 - x));
  }
  return out;
}

void SetPel(u8* row, u32 x) { row[x >> 3] |= static_cast<u8>(0x80 >> (x & 7)); }

std::string Trimmed(std::string s) {
  while (!s.empty() && s.back() == ' ') s.pop_back();
  return s;
}

std::string Blanks(long n) { return std::string(static_cast<std::size_t>(std::max(0L, n)), ' '); }

}  // namespace

int FormatDate(const char* pattern, char* out, std::size_t size, int year, int month, int day, int hour, int minute,
               int second) {
  if (!out || size == 0) return 0;
  out[0] = 0;
  if (!pattern) return 0;
  if (year >= 0 && year < 80) year += 2000;
  else if (year >= 80 && year < 100) year += 1900;
  if (year < 1900 || year > 2080 || month < 1 || month > 12 || day < 1 || day > 31 || hour < 0 || hour > 23 ||
      minute < 0 || minute > 59 || second < 0 || second > 59)
    return 0;
  std::string r;
  const char* p = pattern;
  while (*p) {
    const char c = *p;
    if (c == '\'' || c == '"') {  // quoted text; a doubled quote is one quote
      ++p;
      while (*p) {
        if (*p == c) {
          if (p[1] == c) {
            r += c;
            p += 2;
            continue;
          }
          ++p;
          break;
        }
        r += *p++;
      }
      continue;
    }
    std::size_t n = 1;
    while (p[n] == c) ++n;
    char buf[16] = {};
    switch (c) {
      case 'M':
        if (n >= 4) (void)std::snprintf(buf, sizeof buf, "%s", kMonthNames[month - 1]);
        else if (n == 3) (void)std::snprintf(buf, sizeof buf, "%s", kMonthShort[month - 1]);
        else (void)std::snprintf(buf, sizeof buf, n == 2 ? "%02d" : "%d", month);
        break;
      case 'd':
        if (n <= 2) (void)std::snprintf(buf, sizeof buf, n == 2 ? "%02d" : "%d", day);
        break;
      case 'y':
        if (n >= 3) (void)std::snprintf(buf, sizeof buf, "%d", year);
        else (void)std::snprintf(buf, sizeof buf, "%02d", year % 100);
        break;
      case 'h':
      case 'H': (void)std::snprintf(buf, sizeof buf, n >= 2 ? "%02d" : "%d", hour); break;
      case 'm': (void)std::snprintf(buf, sizeof buf, n >= 2 ? "%02d" : "%d", minute); break;
      case 's': (void)std::snprintf(buf, sizeof buf, n >= 2 ? "%02d" : "%d", second); break;
      default:
        // Leading blanks and punctuation (behind an element giving nothing) are skipped.
        for (std::size_t i = 0; i < n; ++i)
          if (!r.empty() || std::isalnum(static_cast<unsigned char>(c))) r += c;
        p += n;
        continue;
    }
    r += buf;
    p += n;
  }
  r = Trimmed(r.substr(0, size - 1));
  std::memcpy(out, r.c_str(), r.size() + 1);
  return 1;
}

int LoadHeaderFont(const std::string& path, HeaderFont* font) {
  std::FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) return 1;
  std::vector<u8> data(HEADER_FONT_FINE_BYTES + 1);
  const std::size_t n = std::fread(data.data(), 1, data.size(), f);
  const bool err = std::ferror(f);
  (void)std::fclose(f);
  if (err || (n != HEADER_FONT_NORMAL_BYTES && n != HEADER_FONT_FINE_BYTES)) return 2;
  data.resize(n);
  font->rows = n == HEADER_FONT_NORMAL_BYTES ? 12 : 24;
  font->data = std::move(data);
  return 0;
}

StatusWord MakeHeaderFontFile(const std::string& path, bool fine) {
  const u32 rows = fine ? 24 : 12;
  std::vector<u8> data(std::size_t{2} * rows * HEADER_FONT_CODES, 0);
  for (unsigned c = 0; c < 256; ++c)
    for (u32 r = 0; r < rows; ++r) {
      const u16 bits = static_cast<u16>(BuiltInRow(c, r, rows) << 1);  // bit 15 first pel
      data[2 * (rows * c + r)] = static_cast<u8>(bits >> 8);
      data[2 * (rows * c + r) + 1] = static_cast<u8>(bits);
    }
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (!f) return STATUS_IO_FAILURE;
  bool ok = std::fwrite(data.data(), 1, data.size(), f) == data.size();
  ok = std::fclose(f) == 0 && ok;
  return ok ? STATUS_OK : STATUS_IO_FAILURE;
}

void BuildHeaderText(const HeaderSettings& s, const char* sender, const char* recipient, u32 flags, int pages,
                     std::string* text, int* page_digits) {
  char buf[400];
  std::string lead, org, names, short_names;
  (void)std::snprintf(buf, sizeof buf, "%c ", HEADER_GLYPH_LEAD);
  lead = buf;
  if (flags & HEADER_DATE) {
    char date[100];
    if (FormatDate(s.date_pattern.c_str(), date, sizeof date, s.year, s.month, s.day, s.hour, s.minute, s.second))
      lead += std::string(date) + " ";
  }
  if (flags & HEADER_TIME) {
    (void)std::snprintf(buf, sizeof buf, "%.2d:%.2d  ", s.hour, s.minute);
    lead += buf;
  }
  if ((flags & HEADER_OWN_NUMBER) && !s.phone_num.empty()) {
    (void)std::snprintf(buf, sizeof buf, "%c%.20s  ", HEADER_GLYPH_PHONE, s.phone_num.c_str());
    lead += buf;
  }
  if (flags & HEADER_OWN_NUMBER) {
    std::string o = s.organisation == "DEFAULT" ? s.server_organisation : s.organisation;
    o = Trimmed(o).substr(0, 30);
    if (!o.empty()) org = o + "  ";
  }
  const char* from = sender ? sender : "";
  const char* to = recipient ? recipient : "";
  if (flags & HEADER_NAMES) {
    if (flags & HEADER_OWN_NUMBER)
      (void)std::snprintf(buf, sizeof buf, "%.30s%c%c%.30s  ", from, HEADER_GLYPH_FROM, HEADER_GLYPH_TO, to);
    else (void)std::snprintf(buf, sizeof buf, "%c%c %.30s  ", HEADER_GLYPH_FROM, HEADER_GLYPH_TO, to);
    names = buf;
    (void)std::snprintf(buf, sizeof buf, "%c%c%.30s  ", HEADER_GLYPH_FROM, HEADER_GLYPH_TO, to);
    short_names = buf;
  }
  int digits = 0;
  if (flags & HEADER_PAGE_NUMBERS) digits = pages <= 9 ? 1 : pages <= 99 ? 2 : 3;
  const long page_width = digits ? 2 * digits + 1 : 0;
  const long budget = static_cast<long>(HEADER_TEXT_BUDGET) - page_width;

  auto fits = [&](std::size_t n) { return static_cast<long>(n) <= budget; };
  std::string t;
  if (fits(lead.size() + org.size() + names.size())) {
    const long gap = (budget - static_cast<long>(lead.size() + org.size() + names.size())) / 4;
    t = lead + Blanks(gap) + org + Blanks(gap) + names + Blanks(gap);
  } else if (fits(lead.size() + org.size() + short_names.size())) {
    const long gap = (budget - static_cast<long>(lead.size() + org.size() + short_names.size())) / 4;
    t = lead + Blanks(gap) + org + Blanks(gap) + short_names + Blanks(gap);
  } else if (fits(lead.size())) {
    const long gap = (budget - static_cast<long>(lead.size())) / 2;
    t = lead + Blanks(gap);
  }
  if (!t.empty()) {
    const long width = 101 - page_width;
    if (static_cast<long>(t.size()) > width) t.resize(static_cast<std::size_t>(std::max(0L, width)));
    t += Blanks(width - static_cast<long>(t.size()));
  }
  *text = t;
  *page_digits = digits;
}

std::string HeaderPageText(const std::string& text, int page_digits, int page, int pages) {
  if (page_digits == 0) return text;
  char buf[32];
  (void)std::snprintf(buf, sizeof buf, "%0*d/%0*d", page_digits, page % 1000, page_digits, pages % 1000);
  return text + buf;
}

void DrawHeaderTextBitmapFont(const HeaderFont& font, const std::string& text, u8* bitmap) {
  std::memset(bitmap, 0, std::size_t{HEADER_ROWS} * HEADER_ROW_BYTES);
  const u32 rows = std::min(font.rows, HEADER_ROWS);
  u32 x = HEADER_PEN_START;
  for (const char ch : text) {
    if (x + HEADER_CELL >= HEADER_WIDTH) break;
    const unsigned c = static_cast<unsigned char>(ch);
    if (c != ' ' && std::size_t{2} * rows * (c + 1) <= font.data.size()) {
      for (u32 r = 0; r < rows; ++r) {
        const u8* g = font.data.data() + 2 * (std::size_t{rows} * c + r);
        const u16 bits = static_cast<u16>(g[0] << 8 | g[1]);
        u8* row = bitmap + std::size_t{r} * HEADER_ROW_BYTES;
        for (u32 i = 0; i < HEADER_CELL; ++i)
          if (bits & (0x8000u >> i)) SetPel(row, x + i);
      }
    }
    x += HEADER_CELL;
  }
}

int RenderHeaderFile(int format, int pages, const char* sender, const char* recipient, u32 flags,
                     const HeaderSettings& settings, const std::string& font_folder, const std::string& path) {
  if (format < 5 || format > 7 || pages < 1) {
    CtlLog(5, "Unable to create Header format");
    return PERC_FILE_ERROR;
  }
  std::string text;
  int digits = 0;
  BuildHeaderText(settings, sender, recipient, flags, pages, &text, &digits);
  if (text.empty()) {
    CtlLog(5, "Unable to create Header format");
    return PERC_FILE_ERROR;
  }
  const bool fine = format != 5;
  const std::string font_path = font_folder + (fine ? "ELIT_LF.FN" : "ELIT_LN.FN");
  HeaderFont font;
  switch (LoadHeaderFont(font_path, &font)) {
    case 0: break;
    case 1: CtlLog(5, "Font file %s not found", font_path.c_str()); return PERC_FILE_ERROR;
    default: CtlLog(5, "Error reading from Font file %s", font_path.c_str()); return PERC_FILE_ERROR;
  }
  if (font.rows != (fine ? 24u : 12u)) {
    CtlLog(5, "Error reading from Font file %s", font_path.c_str());
    return PERC_FILE_ERROR;
  }
  const u32 k = format == 5 ? 1 : format == 6 ? 2 : 4;
  const u16 y_res = format == 5 ? 100 : format == 6 ? 200 : 400;
  FaxFileWriter w;
  if (w.Start(path, y_res, HEADER_WIDTH) != STATUS_OK) {
    CtlLog(5, "Error opening file %s", path.c_str());
    return PERC_FILE_ERROR;
  }
  std::vector<u8> bitmap(std::size_t{HEADER_ROWS} * HEADER_ROW_BYTES);
  StatusWord st = STATUS_OK;
  for (int p = 1; p <= pages && st == STATUS_OK; ++p) {
    DrawHeaderTextBitmapFont(font, HeaderPageText(text, digits, p, pages), bitmap.data());
    for (u32 i = 0; i < 2 * k && st == STATUS_OK; ++i) st = w.WriteLine(nullptr, 0, false, false);
    for (u32 r = 0; r < font.rows && st == STATUS_OK; ++r)
      for (u32 t = 0; t < (format == 7 ? 2u : 1u) && st == STATUS_OK; ++t)
        st = w.WriteLine(bitmap.data() + std::size_t{r} * HEADER_ROW_BYTES, HEADER_ROW_BYTES, false, false);
    for (u32 i = 0; i < k && st == STATUS_OK; ++i) {
      const bool end = i + 1 == k;
      st = w.WriteLine(nullptr, 0, end, end && p == pages);
    }
  }
  if (st != STATUS_OK) {
    CtlLog(5, "Error writing to Tiff header file");
    CtlLog(5, "Unable to create Header file (2)");
    w.Abort();
    return PERC_FILE_ERROR;
  }
  return 0;
}
