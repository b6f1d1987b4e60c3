// Identifiers and small decisions of ENT_SSC shared by its call-control
// modules: response classes, the registration refresh rule, tokens, Call-ID
// texts and local tags, the option-tag formula and the Require check mask.
//
// Contract: pure functions on values (no module state); texts are always
// NUL-terminated within the size given; nothing here allocates.  Random
// parts come from the operating system source (platform/random.h), 64 bits
// or more per identifier, so two runs of the program never repeat them.
#pragma once
#include <cstddef>

#include "runtime/types.h"

// Class of a response status: none/out of range 4, 1xx 0, 2xx 1, 3xx 2,
// 4xx-6xx 3.  `has_status` false gives 4.
[[nodiscard]] u8 ssc_status_class(bool has_status, u32 status);

// Refresh interval (milliseconds) for an Expires of `seconds`: half of it
// below 1200 s, else 600 s earlier.  Computed in 64 bits and capped at
// SSC_REFRESH_MAX_MS, so no value of the header wraps or reads as "unknown".
inline constexpr u32 SSC_REFRESH_UNKNOWN = 0xFFFFFFFFu;
inline constexpr u32 SSC_REFRESH_MAX_MS = 0x7FFFFFFFu;  // the runtime timer's longest delay
[[nodiscard]] u32 ssc_refresh_ms(u32 seconds);
// The refresh rule on a message: a Contact expires (when not 0xFFFFFFFF)
// wins over Expires; with neither the current interval stays.
[[nodiscard]] u32 ssc_expires_refresh(u32 current_ms, bool has_expires, u32 expires_s, u32 contact_expires);
// Expiry of an INVITE in milliseconds, the same way bounded.
[[nodiscard]] u32 ssc_seconds_to_ms(u32 seconds);

// Token: MD5 of the value's 4 bytes (least significant first); min(size-1,16)
// characters of the 64-letter alphabet, then NUL.  Returns length + 1 (0 for
// size 0).
inline constexpr char SSC_TOKEN_ALPHABET[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz-:";
u16 ssc_make_token(u32 value, char* out, u16 size);
// The same alphabet mapping over the MD5 of any bytes.
u16 ssc_make_token_bytes(const void* data, u32 len, char* out, u16 size);

// A u32 in decimal / upper-case hexadecimal without leading zeros, NUL-
// terminated; `size` bounds the text (11 / 9 bytes always suffice).
void ssc_u32_to_dec(char* text, std::size_t size, u32 value);
void ssc_u32_to_hex(char* text, std::size_t size, u32 value);

// Call-ID id text: 16 token characters from the MD5 of 64 random bits and
// the module offset.  `size` at least 17.
void ssc_new_call_id_text(char* out, u16 size, u32 offset);
// Local tag: 64 random bits in upper-case hexadecimal (16 digits); `size`
// at least 17.
void ssc_new_local_tag(char* out, u16 size);

// Bounded copy of a NUL-terminated text into a field of `field` bytes (the
// text ends at field - 1 characters); returns the characters copied.
std::size_t ssc_copy_text(char* dst, std::size_t field, const char* src);

// Option tags: bit 0 100rel '1', 1 timer 't', 2 replaces 'r', 3 precondition
// 'p', 4 path 'h', 5 recipient-list-invite 'l', bit 7 any other tag.
// Mask of the tags a request or answer must require:
// (peer Require & (Supported | hdr2)) | (peer Supported & hdr2) | Require,
// with bit 1 (timer) kept only for message types 0, 11, 13 and 23.
[[nodiscard]] u32 ssc_required_tags(u32 peer_require, u32 peer_supported, u32 supported, u32 hdr2, u32 require,
                                    u8 msg_type);
// Require check: the request is accepted when every bit of its Require mask
// is in the agent's supported mask.  Known tags not supported get an
// Unsupported entry each; unknown tags (bit 7) are listed by text.
[[nodiscard]] inline bool ssc_require_acceptable(u32 require_mask, u32 supported_mask) {
  return (require_mask & ~supported_mask) == 0;
}
// Letter of a known option-tag bit (0..5), or 0.
[[nodiscard]] u8 ssc_option_tag_letter(unsigned bit);
