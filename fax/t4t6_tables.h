// Code tables of ITU-T T.4 and T.6: run-length codes of both colours, the
// extended make-up codes shared by both colours and the two-dimensional mode
// codes, with the decoding tables built from them at compile time.
#pragma once

#include <array>
#include <cstdint>

#include "platform/int_types.h"

namespace t4t6_tables {

struct code {
  u16 bits;  // the code, right aligned
  u8 len;    // in bits
};

// Terminating codes, runs 0..63.
inline constexpr std::array<code, 64> white_term{{
    {0x35, 8}, {0x07, 6}, {0x07, 4}, {0x08, 4}, {0x0B, 4}, {0x0C, 4}, {0x0E, 4}, {0x0F, 4}, {0x13, 5}, {0x14, 5},
    {0x07, 5}, {0x08, 5}, {0x08, 6}, {0x03, 6}, {0x34, 6}, {0x35, 6}, {0x2A, 6}, {0x2B, 6}, {0x27, 7}, {0x0C, 7},
    {0x08, 7}, {0x17, 7}, {0x03, 7}, {0x04, 7}, {0x28, 7}, {0x2B, 7}, {0x13, 7}, {0x24, 7}, {0x18, 7}, {0x02, 8},
    {0x03, 8}, {0x1A, 8}, {0x1B, 8}, {0x12, 8}, {0x13, 8}, {0x14, 8}, {0x15, 8}, {0x16, 8}, {0x17, 8}, {0x28, 8},
    {0x29, 8}, {0x2A, 8}, {0x2B, 8}, {0x2C, 8}, {0x2D, 8}, {0x04, 8}, {0x05, 8}, {0x0A, 8}, {0x0B, 8}, {0x52, 8},
    {0x53, 8}, {0x54, 8}, {0x55, 8}, {0x24, 8}, {0x25, 8}, {0x58, 8}, {0x59, 8}, {0x5A, 8}, {0x5B, 8}, {0x4A, 8},
    {0x4B, 8}, {0x32, 8}, {0x33, 8}, {0x34, 8},
}};

inline constexpr std::array<code, 64> black_term{{
    {0x37, 10}, {0x02, 3},  {0x03, 2},  {0x02, 2},  {0x03, 3},  {0x03, 4},  {0x02, 4},  {0x03, 5},
    {0x05, 6},  {0x04, 6},  {0x04, 7},  {0x05, 7},  {0x07, 7},  {0x04, 8},  {0x07, 8},  {0x18, 9},
    {0x17, 10}, {0x18, 10}, {0x08, 10}, {0x67, 11}, {0x68, 11}, {0x6C, 11}, {0x37, 11}, {0x28, 11},
    {0x17, 11}, {0x18, 11}, {0xCA, 12}, {0xCB, 12}, {0xCC, 12}, {0xCD, 12}, {0x68, 12}, {0x69, 12},
    {0x6A, 12}, {0x6B, 12}, {0xD2, 12}, {0xD3, 12}, {0xD4, 12}, {0xD5, 12}, {0xD6, 12}, {0xD7, 12},
    {0x6C, 12}, {0x6D, 12}, {0xDA, 12}, {0xDB, 12}, {0x54, 12}, {0x55, 12}, {0x56, 12}, {0x57, 12},
    {0x64, 12}, {0x65, 12}, {0x52, 12}, {0x53, 12}, {0x24, 12}, {0x37, 12}, {0x38, 12}, {0x27, 12},
    {0x28, 12}, {0x58, 12}, {0x59, 12}, {0x2B, 12}, {0x2C, 12}, {0x5A, 12}, {0x66, 12}, {0x67, 12},
}};

// Make-up codes of one colour, runs 64, 128 .. 1728 (index run / 64 - 1).
inline constexpr std::array<code, 27> white_makeup{{
    {0x1B, 5}, {0x12, 5}, {0x17, 6}, {0x37, 7}, {0x36, 8}, {0x37, 8}, {0x64, 8}, {0x65, 8}, {0x68, 8},
    {0x67, 8}, {0xCC, 9}, {0xCD, 9}, {0xD2, 9}, {0xD3, 9}, {0xD4, 9}, {0xD5, 9}, {0xD6, 9}, {0xD7, 9},
    {0xD8, 9}, {0xD9, 9}, {0xDA, 9}, {0xDB, 9}, {0x98, 9}, {0x99, 9}, {0x9A, 9}, {0x18, 6}, {0x9B, 9},
}};

inline constexpr std::array<code, 27> black_makeup{{
    {0x0F, 10}, {0xC8, 12}, {0xC9, 12}, {0x5B, 12}, {0x33, 12}, {0x34, 12}, {0x35, 12}, {0x6C, 13}, {0x6D, 13},
    {0x4A, 13}, {0x4B, 13}, {0x4C, 13}, {0x4D, 13}, {0x72, 13}, {0x73, 13}, {0x74, 13}, {0x75, 13}, {0x76, 13},
    {0x77, 13}, {0x52, 13}, {0x53, 13}, {0x54, 13}, {0x55, 13}, {0x5A, 13}, {0x5B, 13}, {0x64, 13}, {0x65, 13},
}};

// Extended make-up codes of both colours, runs 1792, 1856 .. 2560 (index (run - 1792) / 64).
inline constexpr std::array<code, 13> ext_makeup{{
    {0x08, 11},
    {0x0C, 11},
    {0x0D, 11},
    {0x12, 12},
    {0x13, 12},
    {0x14, 12},
    {0x15, 12},
    {0x16, 12},
    {0x17, 12},
    {0x1C, 12},
    {0x1D, 12},
    {0x1E, 12},
    {0x1F, 12},
}};

// Two-dimensional modes.
enum mode : u8 {
  M_INVALID = 0,
  M_PASS,
  M_HORIZ,
  M_V0,
  M_VR1,
  M_VR2,
  M_VR3,
  M_VL1,
  M_VL2,
  M_VL3,
  M_EXT,
};

inline constexpr code mode_code[] = {
    {0, 0}, {0x1, 4}, {0x1, 3}, {0x1, 1}, {0x3, 3}, {0x3, 6}, {0x3, 7}, {0x2, 3}, {0x2, 6}, {0x2, 7}, {0x1, 7},
};

// Offset a1 - b1 of the vertical modes.
inline constexpr i8 mode_offset[] = {0, 0, 0, 0, 1, 2, 3, -1, -2, -3, 0};

// Length of the decoding table entries that match no code: longer than any
// number of bits the decoder holds, so that one comparison tells both "no
// code" and "code not complete yet".
inline constexpr u8 no_code = 64;

// Decoding table entry for run codes.  The length comes first, so that it
// is the low byte of the loaded entry and can shift the bit window as it is.
struct run_entry {
  u8 len = no_code;
  u8 makeup = 0;
  u16 run = 0;
};

template <int Bits>
constexpr std::array<run_entry, (1u << Bits)> make_run_table(const std::array<code, 64>& term,
                                                             const std::array<code, 27>& makeup) {
  std::array<run_entry, (1u << Bits)> t{};
  auto fill = [&t](code c, u16 run, u8 is_makeup) {
    const unsigned shift = Bits - c.len;
    for (unsigned i = 0; i < (1u << shift); ++i) t[(unsigned{c.bits} << shift) | i] = run_entry{c.len, is_makeup, run};
  };
  for (unsigned r = 0; r < 64; ++r) fill(term[r], static_cast<u16>(r), 0);
  for (unsigned m = 0; m < 27; ++m) fill(makeup[m], static_cast<u16>(64 * (m + 1)), 1);
  for (unsigned m = 0; m < 13; ++m) fill(ext_makeup[m], static_cast<u16>(1792 + 64 * m), 1);
  return t;
}

inline constexpr int white_bits = 12;
inline constexpr int black_bits = 13;
inline constexpr auto white_table = make_run_table<white_bits>(white_term, white_makeup);
inline constexpr auto black_table = make_run_table<black_bits>(black_term, black_makeup);

// Extension codes (M_EXT) are not decoded: their entries match no code.
struct mode_entry {
  u8 len = no_code;
  u8 mode = M_INVALID;
};

inline constexpr int mode_bits = 7;
inline constexpr std::array<mode_entry, 128> mode_table = [] {
  std::array<mode_entry, 128> t{};
  for (u8 m = M_PASS; m < M_EXT; ++m) {
    const code c = mode_code[m];
    const unsigned shift = mode_bits - c.len;
    for (unsigned i = 0; i < (1u << shift); ++i) t[(unsigned{c.bits} << shift) | i] = mode_entry{c.len, m};
  }
  return t;
}();

}  // namespace t4t6_tables
