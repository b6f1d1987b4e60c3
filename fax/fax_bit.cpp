#include "fax/fax_bit.h"

#include <algorithm>
#include <cstring>

void fax_bit__copy_reversed(uint8_t* dst, const uint8_t* src, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) dst[i] = fax_bit_tables.reverse[src[i]];
}

void fax_bit__copy(uint8_t* dst, const uint8_t* src, uint32_t n) {
  if (n) std::memcpy(dst, src, n);
}

void fax_bit__copy_reversed_backwards(uint8_t* dst, const uint8_t* src, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) dst[n - 1 - i] = fax_bit_tables.reverse[src[i]];
}

void fax_bit__copy_backwards(uint8_t* dst, const uint8_t* src, uint32_t n) {
  for (uint32_t i = 0; i < n; ++i) dst[n - 1 - i] = src[i];
}

void t4t6__fill_bytes(uint8_t* dst, uint8_t value, uint32_t n) {
  if (n) std::memset(dst, value, n);
}

void t4t6__bit_skip(fax_bit_cursor& cur, uint32_t n) {
  if (cur.bits_left <= 0) return;
  n = std::min<uint32_t>(n, static_cast<uint32_t>(cur.bits_left));
  const uint32_t pos = static_cast<uint32_t>(cur.bit_offset) + n;
  cur.byte_index += pos / 8;
  cur.bit_offset = static_cast<int32_t>(pos % 8);
  cur.bits_left -= static_cast<int32_t>(n);
}

uint32_t fax_bit__bytes_left(const fax_bit_cursor& cur) {
  if (cur.bits_left <= 0) return 0;
  return (static_cast<uint32_t>(cur.bit_offset) + static_cast<uint32_t>(cur.bits_left) + 7) / 8;
}

namespace {

inline bool get_bit(const uint8_t* base, uint64_t pos) {
  return (base[pos >> 3] & fax_bit_tables.bit_mask[pos & 7]) != 0;
}

}  // namespace

uint32_t fax_bit__field_copy(const fax_bit_cursor& dst, const fax_bit_cursor& src, uint32_t n) {
  if (dst.bits_left <= 0 || src.bits_left <= 0) return 0;
  n = std::min({n, static_cast<uint32_t>(dst.bits_left), static_cast<uint32_t>(src.bits_left)});
  uint64_t s = uint64_t{src.byte_index} * 8 + static_cast<uint32_t>(src.bit_offset);
  uint64_t d = uint64_t{dst.byte_index} * 8 + static_cast<uint32_t>(dst.bit_offset);
  uint32_t left = n;
  // Leading bits until the destination is byte aligned.
  while (left && (d & 7)) {
    uint8_t& out = dst.base[d >> 3];
    const uint8_t m = fax_bit_tables.bit_mask[d & 7];
    out = get_bit(src.base, s) ? (out | m) : (out & ~m);
    ++s, ++d, --left;
  }
  // Whole destination bytes.
  const uint32_t sh = static_cast<uint32_t>(s & 7);
  while (left >= 8) {
    const uint8_t* p = src.base + (s >> 3);
    uint8_t v = sh == 0 ? p[0] : static_cast<uint8_t>((p[0] << sh) | (p[1] >> (8 - sh)));
    dst.base[d >> 3] = v;
    s += 8, d += 8, left -= 8;
  }
  // Trailing bits.
  while (left) {
    uint8_t& out = dst.base[d >> 3];
    const uint8_t m = fax_bit_tables.bit_mask[d & 7];
    out = get_bit(src.base, s) ? (out | m) : (out & ~m);
    ++s, ++d, --left;
  }
  return n;
}

uint32_t fax_bit__count_zero_bits(const fax_bit_cursor& cur, uint32_t offset) {
  if (cur.bits_left <= 0 || offset >= static_cast<uint32_t>(cur.bits_left)) return 0;
  uint64_t pos = uint64_t{cur.byte_index} * 8 + static_cast<uint32_t>(cur.bit_offset) + offset;
  const uint64_t end =
      uint64_t{cur.byte_index} * 8 + static_cast<uint32_t>(cur.bit_offset) + static_cast<uint32_t>(cur.bits_left);
  uint32_t zeros = 0;
  while (pos < end) {
    const uint32_t off = static_cast<uint32_t>(pos & 7);
    const uint8_t byte = cur.base[pos >> 3] & fax_bit_tables.low_mask[off];
    const uint32_t lead = fax_bit_tables.zero_count[byte] >> 4;  // includes the masked bits
    const uint32_t avail = static_cast<uint32_t>(std::min<uint64_t>(8 - off, end - pos));
    const uint32_t run = lead - off;
    if (run < avail) return zeros + run;
    zeros += avail;
    pos += avail;
  }
  return zeros;
}

bool t4t6__put_bits(fax_bit_cursor& cur, const uint8_t* bits, uint32_t nbits) {
  nbits = std::min<uint32_t>(nbits, 32);
  if (cur.bits_left < 0 || nbits > static_cast<uint32_t>(cur.bits_left)) return false;
  for (uint32_t i = 0; i < nbits; ++i) {
    uint8_t& out = cur.base[cur.byte_index];
    if (cur.bit_offset == 0) out = 0;
    if (bits[i >> 3] & fax_bit_tables.bit_mask[i & 7]) out |= fax_bit_tables.bit_mask[cur.bit_offset];
    if (++cur.bit_offset == 8) {
      cur.bit_offset = 0;
      ++cur.byte_index;
    }
  }
  if (cur.bit_offset != 0)  // clear the unused bits of the partly used byte
    cur.base[cur.byte_index] &= fax_bit_tables.top_mask[cur.bit_offset];
  cur.bits_left -= static_cast<int32_t>(nbits);
  return true;
}

uint32_t t4t6__find_eol(t4t6_eol_search& search, const fax_bit_cursor& cur) {
  if (cur.bits_left <= 0) return 0;
  uint64_t pos = uint64_t{cur.byte_index} * 8 + static_cast<uint32_t>(cur.bit_offset);
  const uint64_t start = pos;
  const uint64_t end = pos + static_cast<uint32_t>(cur.bits_left);
  while (pos < end) {
    const uint32_t off = static_cast<uint32_t>(pos & 7);
    const uint32_t avail = static_cast<uint32_t>(std::min<uint64_t>(8 - off, end - pos));
    // Bits of this byte that belong to the data, the rest masked to 0.
    uint8_t byte = cur.base[pos >> 3] & fax_bit_tables.low_mask[off];
    byte &= fax_bit_tables.top_mask[off + avail];
    if (byte == 0) {
      search.zeros += avail;
      pos += avail;
      continue;
    }
    const uint8_t zc = fax_bit_tables.zero_count[byte];
    const uint32_t lead = (zc >> 4) - off;
    if (search.zeros + lead >= 11) {
      search.zeros = 0;
      return static_cast<uint32_t>(pos + lead + 1 - start);
    }
    // No EOL can end inside the rest of this byte (fewer than 11 zeros fit),
    // so only the zeros after its last 1 bit carry on.
    const uint32_t trail = (zc & 0x0F) - (8 - off - avail);
    search.zeros = trail;
    pos += avail;
  }
  return 0;
}
