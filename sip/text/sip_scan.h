// SIP text scanner: the scans at a cursor, the character classes and
// case fold, line ends and header folding, the small scans the header
// parsers share and the value checks run on counted strings.
#pragma once

#include <cstddef>
#include <cstdint>

#include "sip/text/sip_str.h"
#include "platform/int_types.h"

// The scans take the cursor they run at (`sip_scan_state_t`, sip_str.h,
// a parser's own): `cursor` is the next
// byte, `end` the first byte after the data (moved back while a message or a
// body part is parsed) and `line_end` the first byte after the content of
// the current (unfolded) header line.

// Character classes: one 32-bit mask per byte value.
enum : u32 {
  SIP_CC_DIGIT = 0x1,
  SIP_CC_ALPHA = 0x2,
  SIP_CC_HEX = 0x4,
  SIP_CC_PHONE_EXTRA = 0x8,  // tones and pauses: # * A-D P W
  SIP_CC_PARAM = 0x10,       // host text of non-SIP URIs, parameter values
  SIP_CC_TOKEN = 0x20,
  SIP_CC_HYPHEN = 0x40,
  SIP_CC_LWS = 0x80,  // blank, tab
  SIP_CC_USER = 0x100,
  SIP_CC_RESERVED = 0x200,
  SIP_CC_DOT = 0x400,
  SIP_CC_ESCAPE = 0x800,  // '%'
  SIP_CC_SEPARATOR = 0x1000,
  SIP_CC_COMMA_COLON = 0x2000,
  SIP_CC_BASE64 = 0x4000,
  SIP_CC_TEXT = 0x8000,  // UTF-8 text bytes, blank and tab
  SIP_CC_UNRESERVED = 0x10000,
  SIP_CC_WORD_EXTRA = 0x20000,
  SIP_CC_DISPLAY = 0x40000,
  SIP_CC_VISUAL_SEP = 0x80000,

  SIP_CC_ALNUM = 0x3,
  SIP_CC_PARAM_VALUE = 0x30,
  SIP_CC_TOKEN_LWS = 0xA0,
  SIP_CC_HOST = 0x443,
  SIP_CC_DIGIT_DOT = 0x401,
  SIP_CC_BRANCH = 0x824,
  SIP_CC_USER_ESC = 0x900,
  SIP_CC_DATE = 0x2083,
  SIP_CC_OTHER_USER = 0x2100,
  SIP_CC_WORD = 0x20020,
  SIP_CC_PHONE = 0x80809,
  SIP_CC_OTHER_PARAMS = 0x18A0,
};

extern const u32 sip_char_class[256];

inline bool sip_cc(char c, u32 mask) { return (sip_char_class[static_cast<unsigned char>(c)] & mask) != 0; }

// Most bytes a joined other-parameters string may hold.
constexpr u16 SIP_OTHER_PARAMS_MAX = 512;

// {code, name} row of a code table; a row with a null name never matches.
struct sip_code_row {
  u32 code;
  const char* name;
};

extern const sip_code_row sip_uri_transport_table[4];
extern const sip_code_row sip_via_transport_table[4];
extern const sip_code_row sip_method_table[6];
extern const sip_code_row sip_user_param_table[2];

// The first CR or LF in [p, end), or `end` when there is none.
char* sip_scan__find_break(char* p, const char* end);
// Moves `cursor` past the next line end before `end`: 0 none (cursor at
// end), 1 lone LF or CR, 2 CR LF.
int sip_scan__line_end(sip_scan_state_t& sc);
// As sip_scan__line_end, but joins continuation lines in place (the line end
// and the leading blanks become the last blank of the run) and moves `end`
// back by the bytes removed.
int sip_scan__unfold_line(sip_scan_state_t& sc);
// The end of the current line's content from `cursor`, with continuation
// lines joined; `line_end` is set to it and `cursor` is left in place.
// Returns false when no line end lies before `end`.
bool sip_scan__find_line_end(sip_scan_state_t& sc);

// Zeroes `n` bytes at `p` through the C library: for the records of a few
// hundred bytes that every header value clears, that is quicker than the
// string instruction a compiler emits inline for a size it knows.
void sip_scan__clear(void* p, std::size_t n);

// Results of the lookups, parameter scan and value checks below; the
// numbers are those of the element codes the decoders pass on.
enum sip_scan_rc : int {
  SIP_SCAN_OK = 2,         // found, scanned or good
  SIP_SCAN_MALFORMED = 3,  // a parameter without a name or with a broken quoted value
  SIP_SCAN_EMPTY = 18,     // a mandatory value is empty
  SIP_SCAN_BAD = 19,       // not found, or a byte the value may not hold
};

// Looks up the `len` bytes at `*text` among the names of `table` (last row
// first, case folded, whole names only).  SIP_SCAN_OK with the code and
// `*text` advanced, SIP_SCAN_BAD otherwise.
[[nodiscard]] sip_scan_rc sip_scan__match_code(const char** text, u16 len, const sip_code_row* table, unsigned rows,
                                               u8* code_out);

// Scans one generic parameter at `cursor` and appends its text to `params`
// (';'-joined, at most 512 bytes; a parameter that does not fit is dropped).
// SIP_SCAN_OK, or SIP_SCAN_MALFORMED.
[[nodiscard]] sip_scan_rc sip_scan__other_param(sip_scan_state_t& sc, sip_str* params);

// Small scans bounded by `line_end`; inline, as every header value runs
// through them.
inline void sip_scan__skip_lws(sip_scan_state_t& sc) {
  char* p = sc.cursor;
  char* const le = sc.line_end;
  while (p < le && (*p == ' ' || *p == '\t')) ++p;
  sc.cursor = p;
}
// Advances over bytes of `mask`; returns the number of bytes passed.
inline u16 sip_scan__run(sip_scan_state_t& sc, u32 mask) {
  char* const start = sc.cursor;
  char* const le = sc.line_end;
  char* p = start;
  while (p < le && sip_cc(*p, mask)) ++p;
  sc.cursor = p;
  const auto n = static_cast<std::size_t>(p - start);
  return n > 0xFFFF ? 0xFFFF : static_cast<u16>(n);
}
// True when `cursor` is at `line_end`.
inline bool sip_scan__at_end(sip_scan_state_t& sc) { return sc.cursor >= sc.line_end; }
// True (and `cursor` advanced) when the byte at `cursor` is `c`.
inline bool sip_scan__take(sip_scan_state_t& sc, char c) {
  if (sc.cursor < sc.line_end && *sc.cursor == c) {
    ++sc.cursor;
    return true;
  }
  return false;
}
// Reads a run of decimal digits at `cursor` into `*value`.  Returns false,
// with `cursor` unchanged, when there is no digit or the value does not fit
// in 32 bits.
inline bool sip_scan__u32(sip_scan_state_t& sc, u32* value) {
  char* p = sc.cursor;
  char* const le = sc.line_end;
  u64 v = 0;
  while (p < le && *p >= '0' && *p <= '9') {
    v = v * 10 + static_cast<unsigned>(*p - '0');
    if (v > 0xFFFFFFFFu) return false;
    ++p;
  }
  if (p == sc.cursor) return false;
  *value = static_cast<u32>(v);
  sc.cursor = p;
  return true;
}
// With `cursor` on an opening double quote: the inside of the quoted string
// to `*inside` and `cursor` after the closing quote.  False when malformed.
bool sip_scan__quoted_string(sip_scan_state_t& sc, sip_str* inside);

// Value checks on counted strings: SIP_SCAN_OK, SIP_SCAN_EMPTY or SIP_SCAN_BAD.
[[nodiscard]] sip_scan_rc sip_check__class(const sip_str* value, int mandatory, u32 classes);
[[nodiscard]] sip_scan_rc sip_check__class_escaped(const sip_str* value, int mandatory, u32 classes);
[[nodiscard]] sip_scan_rc sip_check__quote(sip_str* value);
[[nodiscard]] sip_scan_rc sip_check__comment(const sip_str* value);

struct sip_code_value_row {
  u16 code;
  u32 value;
};
// The value of `code` in `table` (last row first): SIP_SCAN_OK, or SIP_SCAN_BAD.
[[nodiscard]] sip_scan_rc sip_code_lookup(u16 code, const sip_code_value_row* table, u32* value_out, u32 rows);
