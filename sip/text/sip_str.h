// SIP stack utilities shared by the SIP text parser, the SIP text encoder, the
// per-header primitive codecs, the SDP codec and the transaction entity:
//
//   - `sip_str` counted strings and their comparisons (with %-escapes),
//   - the text cursor (`sip_scan_state_t`) and the scans that run at it,
//   - decimal / hexadecimal conversion (overflow refused),
//   - the case-folded CRC-16 hash and the Call-ID hash and comparison,
//   - the bounded output buffer (`sip_out`) and its appends,
//   - the per-message work area (`sip_work__alloc`),
//   - dotted-quad parsing (`sip_str__parse_ipv4`, octets above 255 refused),
//   - tick arithmetic.
//
// Everything here runs in the runtime's SM thread; the module-wide state is
// not locked and must not be used by two messages at once.
//
// Results follow the protocol layers' result byte: SIP_RESULT_OK (2) for
// success, SIP_RESULT_NOK (3) for failure, unless a routine says otherwise.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/int_types.h"

inline constexpr u8 SIP_RESULT_OK = 2;
inline constexpr u8 SIP_RESULT_NOK = 3;

// ---------------------------------------------------------------------------
// Counted strings

// A counted string: length, then a pointer to the first character.  The
// characters are not owned.  Made from a NUL-terminated string it counts the
// terminating NUL too (length = characters + 1); the empty string is {0, null}.
// Every reader accepts both forms: appends stop at a NUL inside the length,
// the hash leaves a final NUL out, comparisons accept a match whose last
// compared character is that NUL.
struct sip_str {
  u16 len = 0;
  const char* ptr = nullptr;
};

// Number of characters of `s` before any NUL inside its length.
u16 sip_str__chars(sip_str s);

// {0, null} for a null or empty text; else the text with length strlen + 1.
// A text longer than 65534 characters gives {0, null}.
void sip_str__from_cstr(sip_str* out, const char* text);

// Copies the characters of `s` (up to a NUL inside its length) and a NUL into
// `out` of `size` bytes.  SIP_RESULT_NOK, with `out` set to "" when size > 0,
// when they do not fit.
u8 sip_str__to_cstr(char* out, size_t size, sip_str s);

// Copies the `s.len` characters and a NUL at *write_ptr and advances it by
// len + 1, returning len + 1; an empty string writes nothing and returns 0.
// Returns -1 and writes nothing when the bytes would pass `end`.
i32 sip_str__copy_out(char** write_ptr, const char* end, sip_str s);

// Removes, in place, the backslash of each quoted pair of the `*len` bytes at
// `text`, decreasing *len by one per escape.  The escaped character must be
// 127 or below and neither LF nor CR, and a backslash must not be the last
// character: else SIP_RESULT_NOK (the text may then be partly shifted).
u8 sip_str__unescape(char* text, u16* len);

// 0 when the NUL-terminated `text` equals `s`, non-zero otherwise.  %HH
// escapes on either side compare as the byte they stand for ("a%62c" equals
// "abc"); "%" on both sides matches itself.  A null `text` differs from
// everything; an empty `s` equals only "".  Never reads past the end of
// either string.
int sip_str__cmp_cstr(const char* text, sip_str s);
// The same with both sides case-folded.
int sip_str__cmp_nocase(const char* text, sip_str s);

// When the string at *text / *len is exactly a dotted quad (four runs of 1 to
// 3 digits, each at most 255, an optional final NUL), replaces it by the 4
// address bytes taken from the work area (length 4) and returns true; else
// returns false and leaves it unchanged (also when the work area has no room).
bool sip_str__parse_ipv4(const char** text, u16* len);

// ---------------------------------------------------------------------------
// Case fold and digits

// "A"-"Z" fold to "a"-"z"; every other byte folds to itself (bytes of 128 and
// above included).
inline constexpr std::array<u8, 128> sip_fold_table = [] {
  std::array<u8, 128> t{};
  for (int c = 0; c < 128; ++c) t[c] = static_cast<u8>(c >= 'A' && c <= 'Z' ? c + ('a' - 'A') : c);
  return t;
}();
inline u8 sip_fold(u8 c) { return c < 128 ? sip_fold_table[c] : c; }

// ---------------------------------------------------------------------------
// The text cursor

// While a text is parsed: `cursor` is the scan position, `end` the first
// byte after the data, `line_end` the end of the current line (scans never
// pass it).  Every parse has its own (a parser's, sip_hdr_parse.h), set
// before the scans below run on it.
struct sip_scan_state_t {
  char* cursor = nullptr;
  char* end = nullptr;
  char* line_end = nullptr;
};

// Folds each text character and compares it with the lower-case `keyword`.
// Whole match: cursor advanced past it, result 0.  Otherwise the cursor stays
// and the result is non-zero: the number of matching characters + 1, capped
// at 255 so that a long partial match never reads as a match.
u8 sip_scan__keyword(sip_scan_state_t& sc, const char* keyword);

// The same comparison without folding: false on a whole match (cursor
// advanced), true otherwise (cursor unchanged).
bool sip_scan__literal(sip_scan_state_t& sc, const char* literal);

// Compares the characters of `s` (a final NUL left out) with the text,
// advancing the cursor over every compared character including the first
// different one.  Returns the number of characters of `s` not matched: 0 when
// all matched (an empty string always matches).  Stops at the line end.
u16 sip_scan__str(sip_scan_state_t& sc, sip_str s);

// Cursor just after an opening "(": counts nested parentheses from depth 1 and
// stops on the ")" that closes the comment (cursor on it): SIP_RESULT_OK;
// reaching the line end first: SIP_RESULT_NOK.
u8 sip_scan__comment(sip_scan_state_t& sc);

// Cursor just after an opening double quote: stops on the closing quote
// (cursor on it): SIP_RESULT_OK.  A backslash takes the next character, which
// must be below 128 and before the line end.  A byte 254 or 255, a bad escape
// or reaching the line end: SIP_RESULT_NOK.
u8 sip_scan__quoted(sip_scan_state_t& sc);

// Copies `count` bytes from `src` to the cursor and advances the cursor by
// `count` (an in-place move towards lower addresses; the ranges may overlap).
void sip_scan__copy_down(sip_scan_state_t& sc, const char* src, size_t count);

// ---------------------------------------------------------------------------
// Numbers, ticks, hashing

// Value of the `count` decimal digits at `text` (count 0 gives 0).  False,
// *value untouched, when a byte is not a digit or the value exceeds 2^32 - 1.
bool sip_num__dec(const char* text, u16 count, u32* value);
// Value of the `count` hexadecimal digits (either case).  False when a byte
// is not a hex digit or the value exceeds 2^32 - 1.
bool sip_num__hex(const char* text, u16 count, u32* value);

// a - b as a signed 32-bit value (tick counts wrap; callers test the sign).
i32 sip_tick__diff(u32 a, u32 b);
// (later - earlier) in milliseconds (the runtime counts one tick per ms).
u32 sip_tick__elapsed_ms(u32 earlier, u32 later);

// CRC-16 (polynomial 0x1021, MSB first, no final inversion, i.e. the XMODEM
// form) over the case-folded bytes, the register starting at `seed`.
u16 crc16_nocase_hash(u16 seed, const void* data, u32 count);
// Hash of a counted string (a final NUL left out); empty: the seed.
u16 sip_hash__str_seeded(u16 seed, sip_str s);
inline u16 sip_hash__str(sip_str s) { return sip_hash__str_seeded(0, s); }

// Call-ID as the parser records it: word, then the host as address bytes
// (addr_len 4) or, when addr_len is 0, as text.
struct sip_callid_parsed {
  sip_str word;
  u16 addr_len = 0;
  const u8* addr = nullptr;
  sip_str host;
};
// Call-ID as a call record keeps it: NUL-terminated word and host text.
struct sip_callid_stored {
  const char* word = nullptr;
  u16 addr_len = 0;
  const u8* addr = nullptr;  // 4 bytes when addr_len is 4
  const char* host = nullptr;
};

// Hash of the word continued over the address bytes (when addr_len is not
// 0), else over the host text: the key of the call table.
u16 sip_hash__host(const sip_callid_parsed& id);
// SIP_RESULT_OK when the words are equal and either both address lengths are
// equal and non-zero with equal bytes, or the parsed address length is 0 and
// the host texts are equal; SIP_RESULT_NOK otherwise.
u8 sip_host__cmp(const sip_callid_stored& stored, const sip_callid_parsed& parsed);

// ---------------------------------------------------------------------------
// Output buffer

// The write position of the text being encoded and the end of its room.
// Every append checks the room: one that does not fit writes nothing, sets the
// sticky `overflow` flag and returns SIP_RESULT_NOK; once overflowed, every
// later append is refused too, so a truncated text is never taken for whole.
struct sip_out_buf_t {
  char* ptr = nullptr;
  char* end = nullptr;
  bool overflow = false;
};
extern sip_out_buf_t sip_out;

// Points the output at `room` bytes from `buf` and clears the overflow flag.
void sip_out__start(char* buf, size_t room);

u8 sip_out__append_bytes(const void* data, u16 count);
// The characters up to the length or a NUL, whichever comes first.
u8 sip_out__append_str(sip_str s);
// The text without its NUL.
u8 sip_out__append_cstr(const char* text);
// Decimal, no leading zeros ("0" for 0).
u8 sip_out__append_dec(u32 value);
// Hexadecimal, upper-case letters, no leading zeros.
u8 sip_out__append_hex(u32 value);
// The same, led by "0" up to `width` digits (a wider value is written whole).
u8 sip_out__append_hex_width(u32 value, u8 width);

// ---------------------------------------------------------------------------
// Work area of the SIP entity

// Blocks have the runtime buffer's data room.
inline constexpr u16 SIP_WORK_BLOCK_ROOM = 1600;
// A message that needs more than this many blocks is refused (null result).
inline constexpr u16 SIP_WORK_MAX_BLOCKS = 64;

// Address of `count` free bytes in the work area's current block; a new block
// is chained when the current one lacks room.  The bytes are not counted as
// used: the caller counts what it keeps with sip_work__use.  Null (nothing to
// write through) when `count` exceeds a block's room or the area is full.
void* sip_work__alloc(u16 count);
// Counts `count` bytes of the current block as used.
void sip_work__use(u16 count);
// Frees the whole area; done at the end of every message the entity handles.
void sip_work__release();
// Number of blocks now chained (for checks).
u16 sip_work__blocks();
