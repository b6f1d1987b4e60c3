// The controller's page-header font files and the drawing of header text
// with them.  Input: u8 shape, u16 offset, the text to draw (up to a zero
// byte), then bytes.  Shape bit 0 clear: the bytes are the whole font file;
// set: the bytes overwrite a built-in font (bit 1: the fine one) from
// `offset`, so the file has a valid size and hostile glyphs.  A font is taken
// only at one of the two sizes, with its rows and exactly the file's bytes;
// drawing stays inside the bitmap, leaves the rows below the font's
// untouched, and every cell reads back as its glyph (the 15 left pels of
// each glyph row, nothing for a blank, nothing right of the last cell).
#include <unistd.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "controller/page_header_render.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

std::string temp_name(const char* what) {
  return "/tmp/fuzz_header_font_" + std::to_string(static_cast<long>(getpid())) + what;
}

std::vector<std::uint8_t> built_in(bool fine) {
  const std::string path = temp_name(fine ? ".fine" : ".normal");
  std::vector<std::uint8_t> out;
  if (MakeHeaderFontFile(path, fine) != 0) return out;
  std::ifstream f(path, std::ios::binary);
  out.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  (void)std::remove(path.c_str());
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const std::vector<std::uint8_t> normal = built_in(false);
  static const std::vector<std::uint8_t> fine = built_in(true);
  if (size < 3 || size > 60000) return 0;
  const std::uint8_t shape = data[0];
  const std::size_t offset = data[1] | (data[2] << 8);
  std::size_t at = 3;
  std::string text;
  while (at < size && data[at] != 0 && text.size() < 200) text += static_cast<char>(data[at++]);
  if (at < size) ++at;
  std::vector<std::uint8_t> file;
  if (shape & 1) {
    file = (shape & 2) ? fine : normal;
    for (std::size_t i = at, o = offset; i < size && o < file.size(); ++i, ++o) file[o] = data[i];
  } else {
    file.assign(data + at, data + size);
  }
  const std::string path = temp_name(".FN");
  if (FILE* f = std::fopen(path.c_str(), "wb")) {
    (void)std::fwrite(file.data(), 1, file.size(), f);
    (void)std::fclose(f);
  }
  HeaderFont font;
  const int r = LoadHeaderFont(path, &font);
  (void)std::remove(path.c_str());
  check(r == 0 || r == 2);
  if (r != 0) return 0;
  check((font.rows == 12 && file.size() == HEADER_FONT_NORMAL_BYTES) ||
        (font.rows == 24 && file.size() == HEADER_FONT_FINE_BYTES));
  check(font.data == file);
  std::vector<std::uint8_t> bitmap(HEADER_ROWS * HEADER_ROW_BYTES, 0);
  DrawHeaderTextBitmapFont(font, text, bitmap.data());
  check(
      std::all_of(bitmap.begin() + font.rows * HEADER_ROW_BYTES, bitmap.end(), [](std::uint8_t b) { return b == 0; }));

  // Read the drawing back cell by cell against the glyphs of the file.
  const auto pel = [&](std::uint32_t row, std::uint32_t x) {
    return (bitmap[std::size_t{row} * HEADER_ROW_BYTES + (x >> 3)] & (0x80u >> (x & 7))) != 0;
  };
  std::uint32_t x = HEADER_PEN_START;
  for (const char ch : text) {
    if (x + HEADER_CELL >= HEADER_WIDTH) break;
    const unsigned c = static_cast<unsigned char>(ch);
    for (std::uint32_t r = 0; r < font.rows; ++r) {
      const std::uint8_t* g = file.data() + 2 * (std::size_t{font.rows} * c + r);
      const unsigned bits = c == ' ' ? 0u : static_cast<unsigned>(g[0] << 8 | g[1]);
      for (std::uint32_t i = 0; i < HEADER_CELL; ++i) check(pel(r, x + i) == ((bits & (0x8000u >> i)) != 0));
    }
    x += HEADER_CELL;
  }
  for (std::uint32_t r = 0; r < font.rows; ++r) {
    for (std::uint32_t i = 0; i < HEADER_PEN_START; ++i) check(!pel(r, i));
    for (std::uint32_t i = x; i < HEADER_WIDTH; ++i) check(!pel(r, i));
  }
  return 0;
}
