// Fuzzes the T.4/T.6 page decoder.  Input: byte 0 = coding (low 2 bits,
// 0 taken as MR) and mode (bit 7); bytes 1-2 = line width - 1 (any width the
// codec takes, 1 to T4T6_MAX_WIDTH); byte 3 = block size (mode 0) or line
// count (mode 1).  Mode 0: the rest is coded page data, decoded in blocks.
// Mode 1: the rest, repeated as far as needed, makes the bitmap of a page of
// up to 1021 lines, which is coded and decoded again and must come back:
// taken as the pels themselves, or (bit 6 of byte 0) as run lengths of
// alternate colours (bytes with bit 7 set give runs of 64 x their low bits),
// which gives the long runs of real pages.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "fax/t4t6.h"

namespace {

void decode(uint8_t coding, uint32_t width, uint32_t block, const uint8_t* data, size_t size) {
  t4t6_decoder* h = nullptr;
  if (t4t6__open(&h, coding, width) != T4T6_OPEN_OK) return;
  std::vector<uint8_t> line((width + 7) / 8);
  h->line = line.data();
  size_t pos = 0;
  auto next = [&] {
    const size_t n = std::min<size_t>(block, size - pos);
    h->data = data + pos;
    h->data_len = static_cast<uint32_t>(n);
    pos += n;
  };
  next();
  for (int guard = 0; guard < 1000000 && h->page_status == T4T6_PAGE_DECODING; ++guard) {
    t4t6__decode_page(h);
    if (h->end_of_data) {
      if (pos >= size) break;
      next();
    }
  }
  if (h->page_status == T4T6_PAGE_DECODING) t4t6__finish_page(h);  // the data ended without RTC/EOFB
  t4t6__release(h);
}

// Sets pels [from, from + n) of a row-major bitmap to black.
void paint(std::vector<uint8_t>& bitmap, size_t from, size_t n) {
  for (size_t i = from; i < from + n && i / 8 < bitmap.size(); ++i) bitmap[i / 8] |= uint8_t(0x80 >> (i % 8));
}

void round_trip(uint8_t coding, uint32_t width, uint32_t line_count, bool runs, const uint8_t* data, size_t size) {
  const uint32_t stride = (width + 7) / 8;
  // At most 16 KiB of bitmap made of runs (1021 lines up to 128 pels, 75
  // lines of 1728 pels, 2 of the widest), 4 KiB of raw pels (dear to code),
  // so that every input stays quick.
  const uint32_t room = runs ? 16u << 10 : 4u << 10;
  const uint32_t lines = std::min<uint32_t>(line_count, std::max<uint32_t>(1, room / stride));
  std::vector<uint8_t> bitmap(size_t{lines} * stride);
  if (!runs) {
    for (size_t i = 0; size != 0 && i < bitmap.size(); ++i) bitmap[i] = data[i % size];
  } else if (size != 0) {
    // Runs over the rows as one stream of stride x 8 pels per row (runs of
    // 0 only swap the colour; after 2^20 runs the rest stays white).
    bool black = false;
    for (size_t pel = 0, i = 0; pel < bitmap.size() * 8 && i < (size_t{1} << 20); ++i, black = !black) {
      const uint8_t b = data[i % size];
      const size_t run = (b & 0x80) ? size_t{b & 0x7Fu} * 64 : b;
      if (black) paint(bitmap, pel, run);
      pel += run;
    }
  }
  if (width % 8)
    for (uint32_t y = 0; y < lines; ++y) bitmap[size_t{y} * stride + stride - 1] &= uint8_t(0xFF00 >> (width % 8));
  t4t6_encoder* e = nullptr;
  if (t4t6__open_encoder(&e, coding, width, 1 + lines % 4) != T4T6_OPEN_OK) return;
  std::vector<uint8_t> coded(size_t{t4t6__max_line_bytes(width)} * (lines + 2) + 64);
  e->out = fax_bit_cursor{coded.data(), 0, 0, static_cast<int32_t>(coded.size() * 8)};
  if (coding != T4T6_MMR && !t4t6__end_page(e, 0)) __builtin_trap();
  for (uint32_t y = 0; y < lines; ++y) {
    e->line = bitmap.data() + size_t{y} * stride;
    if (!t4t6__encode_line(e)) __builtin_trap();  // the room given is always enough
  }
  if (!t4t6__end_page(e, 1)) __builtin_trap();
  coded.resize(e->out.byte_index + (e->out.bit_offset ? 1 : 0));
  t4t6__release_encoder(e);

  t4t6_decoder* h = nullptr;
  if (t4t6__open(&h, coding, width) != T4T6_OPEN_OK) __builtin_trap();
  std::vector<uint8_t> line(stride);
  h->line = line.data();
  h->data = coded.data();
  h->data_len = static_cast<uint32_t>(coded.size());
  uint32_t got = 0;
  while (h->page_status == T4T6_PAGE_DECODING && !h->end_of_data) {
    t4t6__decode_page(h);
    if (h->line_ready) {
      if (got >= lines || std::memcmp(line.data(), bitmap.data() + size_t{got} * stride, stride) != 0) __builtin_trap();
      ++got;
    }
  }
  if (got != lines || h->page_status != T4T6_PAGE_END) __builtin_trap();
  t4t6__release(h);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  const uint8_t coding = (data[0] & 3) ? (data[0] & 3) : T4T6_MR;
  const uint32_t width = 1 + ((data[1] << 8 | data[2]) % T4T6_MAX_WIDTH);
  if (data[0] & 0x80) {
    round_trip(coding, width, 1 + data[3] * 4u, (data[0] & 0x40) != 0, data + 4, size - 4);
  } else {
    decode(coding, width, 1 + data[3] % 64, data + 4, size - 4);
  }
  return 0;
}
