// make-sample-fax: writes the demonstration fax, three fine-resolution
// (204 x 196 dpi) pages of 1728 pels coded MH in one TIFF file, with the
// project's own page-header font, T.4 coder and TIFF writer.  Each page
// carries a title with its number and a pattern of its own (bars, a
// chessboard, stripes and a ruler), so that a page lost, cut or swapped on
// its way shows at once.  The output is the same on every run:
//   make-sample-fax OUT.TIF
// tools/samples/SAMPLE3.TIF is its output.
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "fax/page_header.h"
#include "fax/t4t6.h"
#include "fax/tiff.h"

namespace {

constexpr std::uint32_t kWidth = TCG_ROW_PELS;
constexpr std::uint32_t kRowBytes = TCG_ROW_BYTES;
constexpr std::uint32_t kRows = 900;  // under half an A4 page at 196 lpi
constexpr int kPages = 3;

class Page {
 public:
  Page() : bits_(kRowBytes * kRows, 0) {}
  void Black(std::uint32_t x, std::uint32_t y) {
    if (x < kWidth && y < kRows) bits_[y * kRowBytes + x / 8] |= static_cast<std::uint8_t>(0x80u >> (x % 8));
  }
  void Box(std::uint32_t x0, std::uint32_t y0, std::uint32_t x1, std::uint32_t y1) {
    for (std::uint32_t y = y0; y < y1; ++y)
      for (std::uint32_t x = x0; x < x1; ++x) Black(x, y);
  }
  // Lays text rows (font 0, each glyph row twice for 196 lpi) from row `top`.
  bool Text(const std::string& text, std::uint32_t top) {
    std::vector<std::uint8_t> t(text.begin(), text.end());
    t.push_back(TCG_END_OF_TEXT);
    tcg_handle h;
    h.font = 0;
    h.vertical_mode = TCG_VERTICAL_OTHER;
    h.text = t.data();
    h.text_left = static_cast<std::uint32_t>(t.size());
    if (tcg_init(&h) != TCG_INIT_OK) return false;
    std::vector<std::uint8_t> rows(kRowBytes * (kRows - top), 0);
    h.dest = rows.data();
    h.dest_room = static_cast<std::uint32_t>(rows.size());
    while (!h.text_done && h.dest_room >= kRowBytes) {
      const std::uint32_t room = h.dest_room;
      tcg_put_rows(&h);
      if (h.dest_room == room && !h.text_done) break;
    }
    tcg_release(&h);
    for (std::size_t i = 0; i < rows.size(); ++i) bits_[top * kRowBytes + i] |= rows[i];
    return true;
  }
  const std::uint8_t* Row(std::uint32_t y) const { return bits_.data() + y * kRowBytes; }

 private:
  std::vector<std::uint8_t> bits_;
};

void Draw(Page& p, int number) {
  p.Box(0, 0, kWidth, 6);  // frame
  p.Box(0, kRows - 6, kWidth, kRows);
  p.Box(0, 0, 6, kRows);
  p.Box(kWidth - 6, 0, kWidth, kRows);
  char title[120];
  (void)std::snprintf(title, sizeof title,
                      "\n  KORVANE SAMPLE FAX      PAGE %d OF %d\n  T.38 FAX-OVER-IP DEMONSTRATION\n", number, kPages);
  p.Text(title, 20);
  const std::uint32_t top = 240;
  switch (number) {
    case 1:  // bars of growing width
      for (std::uint32_t i = 0, x = 160; i < 7; ++i) {
        p.Box(x, top, x + 24 * (i + 1), top + 480);
        x += 24 * (i + 1) + 64;
      }
      break;
    case 2:  // chessboard of 128-pel squares
      for (std::uint32_t y = top; y < top + 512; ++y)
        for (std::uint32_t x = 352; x < 352 + 1024; ++x)
          if (((x - 352) / 128 + (y - top) / 128) % 2 == 0) p.Black(x, y);
      break;
    default:  // stripes and a ruler
      for (std::uint32_t y = top; y < top + 256; ++y)
        for (std::uint32_t x = 160; x < kWidth - 160; ++x)
          if ((x + y) % 192 < 32) p.Black(x, y);
      for (std::uint32_t x = 160; x <= kWidth - 160; x += 100) p.Box(x, 560, x + 4, x % 500 == 160 ? 680 : 640);
      p.Box(160, 680, kWidth - 156, 688);
      break;
  }
}

// MH lines of the page, each after an EOL, ended by RTC.
std::vector<std::uint8_t> Code(const Page& p) {
  std::vector<std::uint8_t> out(t4t6__max_line_bytes(kWidth) * (kRows + 8), 0);
  t4t6_encoder* e = nullptr;
  if (t4t6__open_encoder(&e, T4T6_MH, kWidth, 1) != T4T6_OPEN_OK) return {};
  e->out = {out.data(), 0, 0, static_cast<std::int32_t>(out.size() * 8)};
  bool ok = t4t6__end_page(e, 0);  // every line begins with EOL
  for (std::uint32_t y = 0; y < kRows && ok; ++y) {
    e->line = p.Row(y);
    ok = t4t6__encode_line(e);
  }
  ok = ok && t4t6__end_page(e, 1);
  out.resize(e->out.byte_index + (e->out.bit_offset ? 1 : 0));
  t4t6__release_encoder(e);
  return ok ? out : std::vector<std::uint8_t>{};
}

int Fail(const char* what, const std::string& path) {
  (void)std::fprintf(stderr, "make-sample-fax: %s %s\n", what, path.c_str());
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2 || argv[1][0] == '-') {
    (void)std::fprintf(stderr, "Usage: make-sample-fax OUT.TIF\n");
    return argc == 2 && std::strcmp(argv[1], "--help") == 0 ? 0 : 1;
  }
  const std::string out = argv[1];
  const std::string data = out + ".page";
  static tiff__ctx ctx;  // large: kept out of the stack
  if (tiff__start_write(&ctx, tiff__get_ctx_size(), out.c_str()) != TIFF_DONE) return Fail("cannot write", out);
  int result = 0;
  for (int n = 1; n <= kPages && result == 0; ++n) {
    Page page;
    Draw(page, n);
    const std::vector<std::uint8_t> coded = Code(page);
    std::FILE* f = std::fopen(data.c_str(), "wb");
    if (coded.empty() || !f || std::fwrite(coded.data(), 1, coded.size(), f) != coded.size()) result = 1;
    if (f && std::fclose(f) != 0) result = 1;
    tiff__pg_header h;
    h.image_width = kWidth;
    h.image_length = kRows;
    h.compression = TIFF_T4_MONO;
    h.fill_order = TIFF_HIGHEST_BIT_FIRST;
    h.color_format = TIFF_WHITEISZERO;
    h.resolution_unit = 2;
    h.x_resolution = 204;
    h.y_resolution = 196;
    (void)std::snprintf(h.sz_software, sizeof h.sz_software, "Korvane make-sample-fax");
    h.fax_tags = true;
    if (result == 0 && tiff__write_page(&ctx, &h, data.c_str()) != TIFF_DONE) result = 1;
  }
  tiff__close(&ctx);
  (void)std::remove(data.c_str());
  if (result != 0) {
    (void)std::remove(out.c_str());
    return Fail("cannot write", out);
  }
  return 0;
}
