#include "fax/fax_bit.h"

#include <algorithm>
#include <cstring>

void fax_bit__copy_reversed(u8* dst, const u8* src, u32 n) {
  for (u32 i = 0; i < n; ++i) dst[i] = fax_bit_tables.reverse[src[i]];
}

void fax_bit__copy(u8* dst, const u8* src, u32 n) {
  if (n) std::memcpy(dst, src, n);
}

void fax_bit__copy_reversed_backwards(u8* dst, const u8* src, u32 n) {
  for (u32 i = 0; i < n; ++i) dst[n - 1 - i] = fax_bit_tables.reverse[src[i]];
}

void fax_bit__copy_backwards(u8* dst, const u8* src, u32 n) {
  for (u32 i = 0; i < n; ++i) dst[n - 1 - i] = src[i];
}

void t4t6__fill_bytes(u8* dst, u8 value, u32 n) {
  if (n) std::memset(dst, value, n);
}

void t4t6__bit_skip(fax_bit_cursor& cur, u32 n) {
  if (cur.bits_left <= 0) return;
  n = std::min<u32>(n, static_cast<u32>(cur.bits_left));
  const u32 pos = static_cast<u32>(cur.bit_offset) + n;
  cur.byte_index += pos / 8;
  cur.bit_offset = static_cast<i32>(pos % 8);
  cur.bits_left -= static_cast<i32>(n);
}

u32 fax_bit__bytes_left(const fax_bit_cursor& cur) {
  if (cur.bits_left <= 0) return 0;
  return (static_cast<u32>(cur.bit_offset) + static_cast<u32>(cur.bits_left) + 7) / 8;
}

namespace {

inline bool get_bit(const u8* base, u64 pos) { return (base[pos >> 3] & fax_bit_tables.bit_mask[pos & 7]) != 0; }

}  // namespace

u32 fax_bit__field_copy(const fax_bit_cursor& dst, const fax_bit_cursor& src, u32 n) {
  if (dst.bits_left <= 0 || src.bits_left <= 0) return 0;
  n = std::min({n, static_cast<u32>(dst.bits_left), static_cast<u32>(src.bits_left)});
  u64 s = u64{src.byte_index} * 8 + static_cast<u32>(src.bit_offset);
  u64 d = u64{dst.byte_index} * 8 + static_cast<u32>(dst.bit_offset);
  u32 left = n;
  // Leading bits until the destination is byte aligned.
  while (left && (d & 7)) {
    u8& out = dst.base[d >> 3];
    const u8 m = fax_bit_tables.bit_mask[d & 7];
    out = get_bit(src.base, s) ? (out | m) : (out & ~m);
    ++s, ++d, --left;
  }
  // Whole destination bytes.
  const u32 sh = static_cast<u32>(s & 7);
  while (left >= 8) {
    const u8* p = src.base + (s >> 3);
    u8 v = sh == 0 ? p[0] : static_cast<u8>((p[0] << sh) | (p[1] >> (8 - sh)));
    dst.base[d >> 3] = v;
    s += 8, d += 8, left -= 8;
  }
  // Trailing bits.
  while (left) {
    u8& out = dst.base[d >> 3];
    const u8 m = fax_bit_tables.bit_mask[d & 7];
    out = get_bit(src.base, s) ? (out | m) : (out & ~m);
    ++s, ++d, --left;
  }
  return n;
}

u32 fax_bit__count_zero_bits(const fax_bit_cursor& cur, u32 offset) {
  if (cur.bits_left <= 0 || offset >= static_cast<u32>(cur.bits_left)) return 0;
  u64 pos = u64{cur.byte_index} * 8 + static_cast<u32>(cur.bit_offset) + offset;
  const u64 end = u64{cur.byte_index} * 8 + static_cast<u32>(cur.bit_offset) + static_cast<u32>(cur.bits_left);
  u32 zeros = 0;
  while (pos < end) {
    const u32 off = static_cast<u32>(pos & 7);
    const u8 byte = cur.base[pos >> 3] & fax_bit_tables.low_mask[off];
    const u32 lead = fax_bit_tables.zero_count[byte] >> 4;  // includes the masked bits
    const u32 avail = static_cast<u32>(std::min<u64>(8 - off, end - pos));
    const u32 run = lead - off;
    if (run < avail) return zeros + run;
    zeros += avail;
    pos += avail;
  }
  return zeros;
}

bool t4t6__put_bits(fax_bit_cursor& cur, const u8* bits, u32 nbits) {
  nbits = std::min<u32>(nbits, 32);
  if (cur.bits_left < 0 || nbits > static_cast<u32>(cur.bits_left)) return false;
  for (u32 i = 0; i < nbits; ++i) {
    u8& out = cur.base[cur.byte_index];
    if (cur.bit_offset == 0) out = 0;
    if (bits[i >> 3] & fax_bit_tables.bit_mask[i & 7]) out |= fax_bit_tables.bit_mask[cur.bit_offset];
    if (++cur.bit_offset == 8) {
      cur.bit_offset = 0;
      ++cur.byte_index;
    }
  }
  if (cur.bit_offset != 0)  // clear the unused bits of the partly used byte
    cur.base[cur.byte_index] &= fax_bit_tables.top_mask[cur.bit_offset];
  cur.bits_left -= static_cast<i32>(nbits);
  return true;
}

u32 t4t6__find_eol(t4t6_eol_search& search, const fax_bit_cursor& cur) {
  if (cur.bits_left <= 0) return 0;
  u64 pos = u64{cur.byte_index} * 8 + static_cast<u32>(cur.bit_offset);
  const u64 start = pos;
  const u64 end = pos + static_cast<u32>(cur.bits_left);
  while (pos < end) {
    const u32 off = static_cast<u32>(pos & 7);
    const u32 avail = static_cast<u32>(std::min<u64>(8 - off, end - pos));
    // Bits of this byte that belong to the data, the rest masked to 0.
    u8 byte = cur.base[pos >> 3] & fax_bit_tables.low_mask[off];
    byte &= fax_bit_tables.top_mask[off + avail];
    if (byte == 0) {
      search.zeros += avail;
      pos += avail;
      continue;
    }
    const u8 zc = fax_bit_tables.zero_count[byte];
    const u32 lead = (zc >> 4) - off;
    if (search.zeros + lead >= 11) {
      search.zeros = 0;
      return static_cast<u32>(pos + lead + 1 - start);
    }
    // No EOL can end inside the rest of this byte (fewer than 11 zeros fit),
    // so only the zeros after its last 1 bit carry on.
    const u32 trail = (zc & 0x0F) - (8 - off - avail);
    search.zeros = trail;
    pos += avail;
  }
  return 0;
}
