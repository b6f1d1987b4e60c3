// Character classes, case fold, keyword lookup and work-buffer room of the SDP
// codec.  The class check also serves the SDP element decoders of the
// primitive codec.
#pragma once

#include <array>
#include <cstdint>

#include "platform/int_types.h"
#include "sip/text/sip_str.h"

// SDP character classes: one mask per character below 128; a byte of 128 or
// more belongs to no class.
enum sdp_class : u32 {
  SDP_CL_DIGIT = 0x1,           // 0-9
  SDP_CL_DIAL = 0x2,            // 0-9 # *
  SDP_CL_ALPHA = 0x4,           // A-Z a-z
  SDP_CL_HEX = 0x8,             // 0-9 A-F a-f
  SDP_CL_PLUS_SLASH = 0x10,     // + /
  SDP_CL_KEY = 0x20,            // ! " # & ' * + - . 0-9 = ? @ A-Z [ ] ^ _ ` a-z { | } ~
  SDP_CL_SP_SLASH_SEMI = 0x40,  // space / ;
  SDP_CL_PRINT = 0x80,          // space to ~
  SDP_CL_DASH_UNDER = 0x100,    // - _
  SDP_CL_BLANK = 0x200,         // tab, space
  SDP_CL_0x400 = 0x400,         // ! to ), + to ., 0 to ?, A to }
  SDP_CL_COMMA = 0x800,         // ,
  SDP_CL_TOKEN = 0x1000,        // ! # $ % & ' * + - . 0-9 A-Z ^ _ ` a-z { | } ~
  SDP_CL_0x2000 = 0x2000,       // $ * /
  SDP_CL_COLON = 0x4000,        // :
  SDP_CL_AT_TILDE = 0x8000,     // @ ~
  SDP_CL_0x10000 = 0x10000,     // $ * -
};

namespace sdp_detail {
constexpr void set_range(std::array<u32, 128>& t, char from, char to, u32 bit) {
  for (int c = static_cast<unsigned char>(from); c <= static_cast<unsigned char>(to); ++c) t[c] |= bit;
}
constexpr void set_chars(std::array<u32, 128>& t, const char* chars, u32 bit) {
  for (; *chars; ++chars) t[static_cast<unsigned char>(*chars)] |= bit;
}
constexpr std::array<u32, 128> make_class_table() {
  std::array<u32, 128> t{};
  set_range(t, '0', '9', 0x1);
  set_range(t, '0', '9', 0x2);
  set_chars(t, "#*", 0x2);
  set_range(t, 'A', 'Z', 0x4);
  set_range(t, 'a', 'z', 0x4);
  set_range(t, '0', '9', 0x8);
  set_range(t, 'A', 'F', 0x8);
  set_range(t, 'a', 'f', 0x8);
  set_chars(t, "+/", 0x10);
  set_range(t, '!', '#', 0x20);
  set_chars(t, "&'*+-.=", 0x20);
  set_range(t, '0', '9', 0x20);
  set_range(t, '?', '[', 0x20);
  set_range(t, ']', '~', 0x20);
  set_chars(t, " /;", 0x40);
  set_range(t, ' ', '~', 0x80);
  set_chars(t, "-_", 0x100);
  set_chars(t, "\t ", 0x200);
  set_range(t, '!', ')', 0x400);
  set_range(t, '+', '.', 0x400);
  set_range(t, '0', '?', 0x400);
  set_range(t, 'A', '}', 0x400);
  set_chars(t, ",", 0x800);
  set_chars(t, "!*+-.", 0x1000);
  set_range(t, '#', '\'', 0x1000);
  set_range(t, '0', '9', 0x1000);
  set_range(t, 'A', 'Z', 0x1000);
  set_range(t, '^', '~', 0x1000);
  set_chars(t, "$*/", 0x2000);
  set_chars(t, ":", 0x4000);
  set_chars(t, "@~", 0x8000);
  set_chars(t, "$*-", 0x10000);
  return t;
}
}  // namespace sdp_detail

inline constexpr std::array<u32, 128> sdp_class_table = sdp_detail::make_class_table();

// True when byte `c` has a bit of `mask` in the class table.
inline bool sdp_in_class(u8 c, u32 mask) { return c < 128 && (sdp_class_table[c] & mask) != 0; }

// The SDP side's own copy of the case fold ("A"-"Z" to "a"-"z").
inline constexpr std::array<u8, 128> sdp_fold_table = sip_fold_table;
inline u8 sdp_fold(u8 c) { return c < 128 ? sdp_fold_table[c] : c; }

// An empty `s`: SIP_RESULT_NOK when `required`, else SIP_RESULT_OK.  Otherwise
// every character (a final NUL left out) must have a bit of `mask`.
u8 sdp_str__check_class(sip_str s, u16 required, u32 mask);

// One row of a keyword table: code, NUL-terminated keyword (a null keyword
// never matches).
struct sdp_keyword_row {
  u8 code;
  const char* keyword;
};

// Searches the rows from the last to the first for a keyword of exactly `n`
// characters equal to the `n` characters at *text (case-sensitive).  Found:
// stores its code, advances *text by n, SIP_RESULT_OK.  None: SIP_RESULT_NOK.
u8 sdp_keyword__lookup(const char** text, u16 n, const sdp_keyword_row* table, u32 rows, u8* code);
// The same with both sides folded.
u8 sdp_keyword__lookup_nocase(const char** text, u16 n, const sdp_keyword_row* table, u32 rows, u8* code);

// The work buffer of one SDP parse: `capacity` bytes at `data`, of which
// `size` are used.  The caller owns the bytes and frees them after use.
struct sdp_work_buf {
  u8* data = nullptr;
  u16 size = 0;
  u16 capacity = 0;
};

// Address of `count` free bytes in the work buffer, or null when size + count
// exceeds the capacity.  Nothing is counted as used.
u8* sdp_work__room(u16 count, sdp_work_buf* work);
