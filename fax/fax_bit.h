// Fax bit utilities: bit cursors over byte strings, the shared bit tables and
// the byte copies that convert between the two bit orders of fax data.
//
// Bit order: page data are handled most significant bit first (bit 0x80 of a
// byte is the earlier bit); the modem side sends least significant bit first.
// fax_bit__copy_reversed converts between the two.
#pragma once

#include <array>
#include <cstdint>

#include "platform/int_types.h"

// A read or write position in a byte string.  `bit_offset` is 0..7 inside
// byte `byte_index` (0 = bit 0x80); `bits_left` is the data left when reading
// or the room left when writing.
struct fax_bit_cursor {
  u8* base = nullptr;
  u32 byte_index = 0;
  i32 bit_offset = 0;
  i32 bits_left = 0;
};

// Read-only tables shared by the codec and the T.30 engine.
struct fax_bit_table_set {
  std::array<u8, 9> top_mask{};                   // k top bits set: 0x00, 0x80 .. 0xFF
  std::array<u8, 9> low_mask{};                   // bits below bit k: 0xFF, 0x7F .. 0x00
  std::array<u8, 8> bit_mask{};                   // 0x80 >> k
  std::array<std::array<u8, 9>, 9> field_mask{};  // [j][k]: k bits starting at bit j
  std::array<u8, 256> zero_count{};               // leading zeros * 16 + trailing zeros (0 -> 8, 8)
  std::array<u8, 256> reverse{};                  // bit 7 <-> bit 0 ...
  std::array<u8, 256> complement{};               // 255 - x
};

namespace fax_bit_detail {
constexpr fax_bit_table_set make_tables() {
  fax_bit_table_set t{};
  for (int k = 0; k <= 8; ++k) {
    t.top_mask[k] = static_cast<u8>(0xFF00u >> k);
    t.low_mask[k] = static_cast<u8>(0xFFu >> k);
  }
  for (int k = 0; k < 8; ++k) t.bit_mask[k] = static_cast<u8>(0x80u >> k);
  for (int j = 0; j <= 8; ++j)
    for (int k = 0; k <= 8; ++k) {
      unsigned m = 0;
      for (int b = j; b < j + k && b < 8; ++b) m |= 0x80u >> b;
      t.field_mask[j][k] = static_cast<u8>(m);
    }
  for (int v = 0; v < 256; ++v) {
    int lead = 0, trail = 0;
    while (lead < 8 && !(v & (0x80 >> lead))) ++lead;
    while (trail < 8 && !(v & (1 << trail))) ++trail;
    t.zero_count[v] = static_cast<u8>(lead * 16 + trail);
    unsigned r = 0;
    for (int b = 0; b < 8; ++b)
      if (v & (1 << b)) r |= 0x80u >> b;
    t.reverse[v] = static_cast<u8>(r);
    t.complement[v] = static_cast<u8>(255 - v);
  }
  return t;
}
}  // namespace fax_bit_detail

inline constexpr fax_bit_table_set fax_bit_tables = fax_bit_detail::make_tables();

// Byte copies; `n` counts bytes.  Source and destination must not overlap,
// except that fax_bit__copy_reversed may work in place (dst == src).
// fax_bit__copy is also the T.4/T.6 codec's byte copy (t4t6__copy_bytes).
void fax_bit__copy_reversed(u8* dst, const u8* src, u32 n);
void fax_bit__copy(u8* dst, const u8* src, u32 n);
void fax_bit__copy_reversed_backwards(u8* dst, const u8* src, u32 n);
void fax_bit__copy_backwards(u8* dst, const u8* src, u32 n);
void t4t6__fill_bytes(u8* dst, u8 value, u32 n);
inline void t4t6__zero_bytes(u8* dst, u32 n) { t4t6__fill_bytes(dst, 0, n); }

// Cursor helpers (a cursor is copied by assignment).

// Advances by n bits, never past the end: n is cut to the bits left.
void t4t6__bit_skip(fax_bit_cursor& cur, u32 n);

// Copies n bits from the position of `src` to the position of `dst`, at any
// bit alignment; bits of the destination outside the field keep their values.
// n is cut to the bits left of both cursors.  Neither cursor moves.  Returns
// the number of bits copied.
u32 fax_bit__field_copy(const fax_bit_cursor& dst, const fax_bit_cursor& src, u32 n);

// Number of bytes touched by the bits left: 0 when none, else the current
// byte plus the whole and partial bytes after it.
u32 fax_bit__bytes_left(const fax_bit_cursor& cur);

// Length of the run of 0 bits that starts `offset` bits after the cursor; it
// stops at the first 1 bit or at the end of the data.  Also the T.4/T.6
// codec's zero-bit count (t4t6__count_zero_bits).
u32 fax_bit__count_zero_bits(const fax_bit_cursor& cur, u32 offset);

// Appends the first `nbits` (up to 32) bits of `bits`, most significant bit
// first, at the cursor and advances it.  The unused bits of a partly used
// output byte are cleared first, so the output need not be zeroed.  Returns
// false (writing nothing) when the room left is too small.
[[nodiscard]] bool t4t6__put_bits(fax_bit_cursor& cur, const u8* bits, u32 nbits);

// State of an EOL search that may span several data blocks.
struct t4t6_eol_search {
  u32 zeros = 0;  // 0 bits counted at the end of the previous block
};

// Looks for the next EOL (at least 11 zero bits then a 1) from the cursor.
// Returns the number of bits from the cursor up to and including that 1 bit,
// or 0 when the data end first; the zeros seen at the end are carried in
// `search` into the next call.  The cursor does not move.
u32 t4t6__find_eol(t4t6_eol_search& search, const fax_bit_cursor& cur);
