// Fuzzes the T.4/T.6 page decoder.  Input: byte 0 = coding (low 2 bits,
// 0 taken as MR) and mode (bit 7); bytes 1-2 = line width; byte 3 = block
// size.  Mode 0: the rest is coded page data, decoded in blocks.  Mode 1: the
// rest is a bitmap, coded and decoded again, which must give it back.
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

void round_trip(uint8_t coding, uint32_t width, const uint8_t* data, size_t size) {
  const uint32_t stride = (width + 7) / 8;
  const uint32_t lines = static_cast<uint32_t>(std::min<size_t>(size / stride, 64));
  if (lines == 0) return;
  std::vector<uint8_t> bitmap(data, data + size_t{lines} * stride);
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
      if (got >= lines || std::memcmp(line.data(), bitmap.data() + size_t{got} * stride, stride) != 0)
        __builtin_trap();
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
  const uint32_t width = 1 + ((data[1] << 8 | data[2]) % 2432);
  const uint32_t block = 1 + data[3] % 64;
  if (data[0] & 0x80) round_trip(coding, width, data + 4, size - 4);
  else decode(coding, width, block, data + 4, size - 4);
  return 0;
}
