// Identifiers, refresh rule and option-tag formula of ENT_SSC.
#include "sip/ssc/ssc_ident.h"

#include <cstring>

#include "platform/random.h"
#include "sip/text/md5.h"

u8 ssc_status_class(bool has_status, u32 status) {
  if (!has_status) return 4;
  if (status >= 100 && status <= 199) return 0;
  if (status >= 200 && status <= 299) return 1;
  if (status >= 300 && status <= 399) return 2;
  if (status >= 400 && status <= 699) return 3;
  return 4;
}

u32 ssc_seconds_to_ms(u32 seconds) {
  const u64 ms = static_cast<u64>(seconds) * 1000u;
  return ms > SSC_REFRESH_MAX_MS ? SSC_REFRESH_MAX_MS : static_cast<u32>(ms);
}

u32 ssc_refresh_ms(u32 seconds) {
  const u32 s = seconds < 1200 ? seconds / 2 : seconds - 600;
  return ssc_seconds_to_ms(s);
}

u32 ssc_expires_refresh(u32 current_ms, bool has_expires, u32 expires_s, u32 contact_expires) {
  u32 ms = current_ms;
  if (has_expires) ms = ssc_refresh_ms(expires_s);
  if (contact_expires != 0xFFFFFFFFu) ms = ssc_refresh_ms(contact_expires);
  return ms;
}

u16 ssc_make_token_bytes(const void* data, u32 len, char* out, u16 size) {
  if (size == 0) return 0;
  md5_ctx ctx;
  md5_init(&ctx);
  md5_update(&ctx, data, len);
  u8 digest[16];
  md5_final(digest, &ctx);
  const u16 n = static_cast<u16>(size - 1 < 16 ? size - 1 : 16);
  for (u16 i = 0; i < n; ++i) out[i] = SSC_TOKEN_ALPHABET[digest[i] & 63];
  out[n] = '\0';
  return static_cast<u16>(n + 1);
}

u16 ssc_make_token(u32 value, char* out, u16 size) {
  const u8 bytes[4] = {static_cast<u8>(value), static_cast<u8>(value >> 8), static_cast<u8>(value >> 16),
                       static_cast<u8>(value >> 24)};
  return ssc_make_token_bytes(bytes, 4, out, size);
}

namespace {
void put_digits(char* text, std::size_t size, const char* rev, std::size_t n) {
  if (size == 0) return;
  std::size_t k = 0;
  while (k < n && k + 1 < size) {
    text[k] = rev[n - 1 - k];
    ++k;
  }
  text[k] = '\0';
}
}  // namespace

void ssc_u32_to_dec(char* text, std::size_t size, u32 value) {
  char rev[10];
  std::size_t n = 0;
  do {
    rev[n++] = static_cast<char>('0' + value % 10);
    value /= 10;
  } while (value != 0);
  put_digits(text, size, rev, n);
}

void ssc_u32_to_hex(char* text, std::size_t size, u32 value) {
  char rev[8];
  std::size_t n = 0;
  do {
    rev[n++] = "0123456789ABCDEF"[value & 15];
    value >>= 4;
  } while (value != 0);
  put_digits(text, size, rev, n);
}

void ssc_new_call_id_text(char* out, u16 size, u32 offset) {
  u8 seed[12];
  (void)plat_random_bytes(seed, 8);  // the fallback still fills the bytes
  std::memcpy(seed + 8, &offset, 4);
  ssc_make_token_bytes(seed, sizeof seed, out, size);
}

void ssc_new_local_tag(char* out, u16 size) {
  u32 words[2];
  (void)plat_random_bytes(words, sizeof words);
  if (size == 0) return;
  char hi[9], lo[9];
  ssc_u32_to_hex(hi, sizeof hi, words[0]);
  ssc_u32_to_hex(lo, sizeof lo, words[1]);
  // 16 digits: the high word without leading zeros would shorten the tag and
  // make it ambiguous, so both halves are written with 8 digits.
  char full[17];
  const std::size_t lh = std::strlen(hi), ll = std::strlen(lo);
  std::memset(full, '0', 16);
  std::memcpy(full + 8 - lh, hi, lh);
  std::memcpy(full + 16 - ll, lo, ll);
  full[16] = '\0';
  ssc_copy_text(out, size, full);
}

std::size_t ssc_copy_text(char* dst, std::size_t field, const char* src) {
  if (field == 0) return 0;
  std::size_t n = 0;
  if (src != nullptr) {
    while (n + 1 < field && src[n] != '\0') {
      dst[n] = src[n];
      ++n;
    }
  }
  dst[n] = '\0';
  return n;
}

u32 ssc_required_tags(u32 peer_require, u32 peer_supported, u32 supported, u32 hdr2, u32 require, u8 msg_type) {
  u32 m = (peer_require & (supported | hdr2)) | (peer_supported & hdr2) | require;
  if (msg_type != 0 && msg_type != 11 && msg_type != 13 && msg_type != 23) m &= ~0x2u;
  return m;
}

u8 ssc_option_tag_letter(unsigned bit) {
  constexpr u8 letters[6] = {'1', 't', 'r', 'p', 'h', 'l'};
  return bit < 6 ? letters[bit] : 0;
}
