#include "sip/codec/sip_str.h"

#include <array>
#include <cstring>
#include <new>

// ---------------------------------------------------------------------------
// Tables

namespace {

constexpr std::array<uint16_t, 256> make_crc_table() {
  std::array<uint16_t, 256> t{};
  for (int i = 0; i < 256; ++i) {
    uint16_t r = static_cast<uint16_t>(i << 8);
    for (int b = 0; b < 8; ++b) r = static_cast<uint16_t>((r & 0x8000) ? (r << 1) ^ 0x1021 : (r << 1));
    t[i] = r;
  }
  return t;
}

constexpr std::array<uint16_t, 256> crc16_table = make_crc_table();
static_assert(crc16_table[1] == 0x1021);

int hex_value(uint8_t c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes "%HH" whose two hex characters are at p[0], p[1]; -1 when bad.
int hex_pair(const char* p) {
  int hi = hex_value(static_cast<uint8_t>(p[0]));
  if (hi < 0) return -1;
  int lo = hex_value(static_cast<uint8_t>(p[1]));
  if (lo < 0) return -1;
  return hi * 16 + lo;
}

}  // namespace

sip_scan_state_t sip_scan_state;
sip_out_buf_t sip_out;

// ---------------------------------------------------------------------------
// Counted strings

uint16_t sip_str__chars(sip_str s) {
  if (s.ptr == nullptr) return 0;
  const void* nul = std::memchr(s.ptr, 0, s.len);
  return nul ? static_cast<uint16_t>(static_cast<const char*>(nul) - s.ptr) : s.len;
}

void sip_str__from_cstr(sip_str* out, const char* text) {
  size_t n = text ? std::strlen(text) : 0;
  if (n == 0 || n > 0xFFFE) {
    *out = sip_str{};
    return;
  }
  out->ptr = text;
  out->len = static_cast<uint16_t>(n + 1);
}

uint8_t sip_str__to_cstr(char* out, size_t size, sip_str s) {
  uint16_t n = sip_str__chars(s);
  if (size == 0) return SIP_RESULT_NOK;
  if (static_cast<size_t>(n) + 1 > size) {
    out[0] = '\0';
    return SIP_RESULT_NOK;
  }
  if (n) std::memcpy(out, s.ptr, n);
  out[n] = '\0';
  return SIP_RESULT_OK;
}

int32_t sip_str__copy_out(char** write_ptr, const char* end, sip_str s) {
  if (s.len == 0 || s.ptr == nullptr) return 0;
  char* w = *write_ptr;
  if (w > end || static_cast<size_t>(end - w) < static_cast<size_t>(s.len) + 1) return -1;
  std::memcpy(w, s.ptr, s.len);
  w[s.len] = '\0';
  *write_ptr = w + s.len + 1;
  return s.len + 1;
}

uint8_t sip_str__unescape(char* text, uint16_t* len) {
  uint16_t n = *len;
  uint16_t i = 0;
  while (i < n) {
    if (text[i] == '\\') {
      if (i + 1 >= n) return SIP_RESULT_NOK;
      uint8_t c = static_cast<uint8_t>(text[i + 1]);
      if (c > 127 || c == '\n' || c == '\r') return SIP_RESULT_NOK;
      std::memmove(text + i, text + i + 1, n - i - 1);
      --n;
      *len = n;
    }
    ++i;  // the escaped character (now at i) is taken as it is
  }
  return SIP_RESULT_OK;
}

namespace {

// The %-escape aware comparison; `fold` selects the case-insensitive form.
int cmp_escaped(const char* text, sip_str s, bool fold) {
  if (text == nullptr) return 1;
  if (s.len == 0 || s.ptr == nullptr) return text[0] == '\0' ? 0 : 1;
  auto norm = [fold](uint8_t c) { return fold ? sip_fold(c) : c; };
  const char* a = text;
  uint16_t i = 0;
  bool last_was_nul = false;
  while (i < s.len) {
    uint8_t ca = static_cast<uint8_t>(*a);
    uint8_t cb = static_cast<uint8_t>(s.ptr[i]);
    if (ca == '%' && cb == '%') {
      ++a;
      ++i;
      last_was_nul = false;
      continue;
    }
    if (ca == '%') {
      // Both hex characters must be there before the NUL.
      if (a[1] == '\0' || a[2] == '\0') return 1;
      int v = hex_pair(a + 1);
      if (v < 0 || norm(static_cast<uint8_t>(v)) != norm(cb)) return 1;
      a += 3;
      ++i;
      last_was_nul = (cb == 0);
      if (last_was_nul) break;
      continue;
    }
    if (cb == '%') {
      if (s.len - i < 3) return 1;
      int v = hex_pair(s.ptr + i + 1);
      if (v < 0 || ca == '\0' || norm(static_cast<uint8_t>(v)) != norm(ca)) return 1;
      ++a;
      i = static_cast<uint16_t>(i + 3);
      last_was_nul = false;
      continue;
    }
    if (ca == '\0') {
      // The text ends here: equal only when the counted string ends too.
      return cb == 0 ? 0 : 1;
    }
    if (norm(ca) != norm(cb)) return 1;
    ++a;
    ++i;
    last_was_nul = false;
  }
  return (*a == '\0' || last_was_nul) ? 0 : 1;
}

}  // namespace

int sip_str__cmp_cstr(const char* text, sip_str s) { return cmp_escaped(text, s, false); }
int sip_str__cmp_nocase(const char* text, sip_str s) { return cmp_escaped(text, s, true); }

bool sip_str__parse_ipv4(const char** text, uint16_t* len) {
  const char* p = *text;
  uint16_t n = *len;
  if (p == nullptr) return false;
  if (n > 0 && p[n - 1] == '\0') --n;
  uint8_t bytes[4];
  uint16_t i = 0;
  for (int part = 0; part < 4; ++part) {
    uint16_t start = i;
    uint32_t v = 0;
    while (i < n && sip_is_digit(static_cast<uint8_t>(p[i])) && i - start < 3) {
      v = v * 10 + static_cast<uint32_t>(p[i] - '0');
      ++i;
    }
    if (i == start || v > 255) return false;
    if (i < n && sip_is_digit(static_cast<uint8_t>(p[i]))) return false;  // a fourth digit
    bytes[part] = static_cast<uint8_t>(v);
    if (part < 3) {
      if (i >= n || p[i] != '.') return false;
      ++i;
    }
  }
  if (i != n) return false;
  auto* room = static_cast<uint8_t*>(sip_work__alloc(4));
  if (room == nullptr) return false;
  std::memcpy(room, bytes, 4);
  sip_work__use(4);
  *text = reinterpret_cast<const char*>(room);
  *len = 4;
  return true;
}

// ---------------------------------------------------------------------------
// Scans

uint8_t sip_scan__keyword(const char* keyword) {
  const char* p = sip_text_ptr;
  const char* end = sip_text_end;
  unsigned matched = 0;
  for (; keyword[matched] != '\0'; ++matched) {
    if (p + matched >= end) break;
    if (sip_fold(static_cast<uint8_t>(p[matched])) != static_cast<uint8_t>(keyword[matched])) break;
  }
  if (keyword[matched] == '\0') {
    sip_text_ptr += matched;
    return 0;
  }
  return static_cast<uint8_t>(matched + 1 > 255 ? 255 : matched + 1);
}

bool sip_scan__literal(const char* literal) {
  const char* p = sip_text_ptr;
  const char* end = sip_text_end;
  size_t k = 0;
  for (; literal[k] != '\0'; ++k) {
    if (p + k >= end || p[k] != literal[k]) return true;
  }
  sip_text_ptr += k;
  return false;
}

uint16_t sip_scan__str(sip_str s) {
  uint16_t n = s.len;
  if (n > 0 && s.ptr[n - 1] == '\0') --n;
  for (uint16_t i = 0; i < n; ++i) {
    if (sip_text_ptr >= sip_text_end) return static_cast<uint16_t>(n - i);
    char c = *sip_text_ptr++;
    if (c != s.ptr[i]) return static_cast<uint16_t>(n - i);
  }
  return 0;
}

uint8_t sip_scan__comment() {
  uint32_t depth = 1;
  for (char* p = sip_text_ptr; p < sip_text_end; ++p) {
    if (*p == '(') {
      ++depth;
    } else if (*p == ')') {
      if (--depth == 0) {
        sip_text_ptr = p;
        return SIP_RESULT_OK;
      }
    }
  }
  sip_text_ptr = sip_text_end;
  return SIP_RESULT_NOK;
}

uint8_t sip_scan__quoted() {
  char* p = sip_text_ptr;
  while (p < sip_text_end) {
    uint8_t c = static_cast<uint8_t>(*p);
    if (c == '"') {
      sip_text_ptr = p;
      return SIP_RESULT_OK;
    }
    if (c >= 254) break;
    if (c == '\\') {
      if (p + 1 >= sip_text_end || static_cast<uint8_t>(p[1]) >= 128) break;
      p += 2;
      continue;
    }
    ++p;
  }
  sip_text_ptr = p;
  return SIP_RESULT_NOK;
}

void sip_scan__copy_down(const char* src, size_t count) {
  if (count) std::memmove(sip_text_ptr, src, count);
  sip_text_ptr += count;
}

// ---------------------------------------------------------------------------
// Numbers, ticks, hashing

bool sip_num__dec(const char* text, uint16_t count, uint32_t* value) {
  uint64_t v = 0;
  for (uint16_t i = 0; i < count; ++i) {
    uint8_t c = static_cast<uint8_t>(text[i]);
    if (!sip_is_digit(c)) return false;
    v = v * 10 + (c - '0');
    if (v > 0xFFFFFFFFu) return false;
  }
  *value = static_cast<uint32_t>(v);
  return true;
}

bool sip_num__hex(const char* text, uint16_t count, uint32_t* value) {
  uint64_t v = 0;
  for (uint16_t i = 0; i < count; ++i) {
    int d = hex_value(static_cast<uint8_t>(text[i]));
    if (d < 0) return false;
    v = v * 16 + static_cast<uint64_t>(d);
    if (v > 0xFFFFFFFFu) return false;
  }
  *value = static_cast<uint32_t>(v);
  return true;
}

int32_t sip_tick__diff(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b); }

uint32_t sip_tick__elapsed_ms(uint32_t earlier, uint32_t later) {
  constexpr uint32_t ticks_per_ms = 1;
  return (later - earlier) * ticks_per_ms;
}

uint16_t crc16_nocase_hash(uint16_t seed, const void* data, uint32_t count) {
  auto* p = static_cast<const uint8_t*>(data);
  uint16_t r = seed;
  for (uint32_t i = 0; i < count; ++i) {
    uint8_t idx = static_cast<uint8_t>(sip_fold(p[i]) ^ (r >> 8));
    r = static_cast<uint16_t>(((r & 0xFF) << 8) ^ crc16_table[idx]);
  }
  return r;
}

uint16_t sip_hash__str_seeded(uint16_t seed, sip_str s) {
  if (s.len == 0 || s.ptr == nullptr) return seed;
  uint16_t n = s.len;
  if (s.ptr[n - 1] == '\0') --n;
  return crc16_nocase_hash(seed, s.ptr, n);
}

uint16_t sip_hash__host(const sip_callid_parsed& id) {
  uint16_t h = sip_hash__str(id.word);
  if (id.addr_len != 0 && id.addr != nullptr) return crc16_nocase_hash(h, id.addr, id.addr_len);
  return sip_hash__str_seeded(h, id.host);
}

uint8_t sip_host__cmp(const sip_callid_stored& stored, const sip_callid_parsed& parsed) {
  if (sip_str__cmp_cstr(stored.word, parsed.word) != 0) return SIP_RESULT_NOK;
  if (stored.addr_len != 0 && stored.addr_len == parsed.addr_len) {
    if (stored.addr && parsed.addr && std::memcmp(stored.addr, parsed.addr, stored.addr_len) == 0) return SIP_RESULT_OK;
    return SIP_RESULT_NOK;
  }
  if (parsed.addr_len == 0 && sip_str__cmp_cstr(stored.host, parsed.host) == 0) return SIP_RESULT_OK;
  return SIP_RESULT_NOK;
}

// ---------------------------------------------------------------------------
// Output buffer

void sip_out__start(char* buf, size_t room) {
  sip_out.ptr = buf;
  sip_out.end = buf + room;
  sip_out.overflow = false;
}

uint8_t sip_out__append_bytes(const void* data, uint16_t count) {
  if (sip_out.overflow || sip_out.ptr == nullptr || sip_out.ptr > sip_out.end ||
      static_cast<size_t>(sip_out.end - sip_out.ptr) < count) {
    sip_out.overflow = true;
    return SIP_RESULT_NOK;
  }
  if (count) std::memcpy(sip_out.ptr, data, count);
  sip_out.ptr += count;
  return SIP_RESULT_OK;
}

uint8_t sip_out__append_str(sip_str s) { return sip_out__append_bytes(s.ptr, sip_str__chars(s)); }

uint8_t sip_out__append_cstr(const char* text) {
  size_t n = text ? std::strlen(text) : 0;
  if (n > 0xFFFF) {
    sip_out.overflow = true;
    return SIP_RESULT_NOK;
  }
  return sip_out__append_bytes(text, static_cast<uint16_t>(n));
}

uint8_t sip_out__append_dec(uint32_t value) {
  char digits[10];
  int n = 0;
  do {
    digits[sizeof digits - 1 - n] = static_cast<char>('0' + value % 10);
    value /= 10;
    ++n;
  } while (value != 0);
  return sip_out__append_bytes(digits + sizeof digits - n, static_cast<uint16_t>(n));
}

uint8_t sip_out__append_hex_width(uint32_t value, uint8_t width) {
  static constexpr char hex[] = "0123456789ABCDEF";
  char digits[8];
  int n = 0;
  do {
    digits[sizeof digits - 1 - n] = hex[value & 0xF];
    value >>= 4;
    ++n;
  } while (value != 0);
  if (width > n) {
    // Check the whole run first so that nothing is written on overflow.
    if (sip_out.overflow || sip_out.ptr == nullptr || sip_out.ptr > sip_out.end ||
        static_cast<size_t>(sip_out.end - sip_out.ptr) < width) {
      sip_out.overflow = true;
      return SIP_RESULT_NOK;
    }
    for (int i = n; i < width; ++i) *sip_out.ptr++ = '0';
  }
  return sip_out__append_bytes(digits + sizeof digits - n, static_cast<uint16_t>(n));
}

uint8_t sip_out__append_hex(uint32_t value) { return sip_out__append_hex_width(value, 0); }

// ---------------------------------------------------------------------------
// Work area

namespace {

struct sip_work_block {
  sip_work_block* next = nullptr;
  uint16_t data_size = 0;
  alignas(8) uint8_t data[SIP_WORK_BLOCK_ROOM];
};

sip_work_block* sip_work_first = nullptr;
sip_work_block* sip_work_current = nullptr;
uint16_t sip_work_count = 0;

sip_work_block* new_block() {
  if (sip_work_count >= SIP_WORK_MAX_BLOCKS) return nullptr;
  auto* b = new (std::nothrow) sip_work_block;
  if (b) ++sip_work_count;
  return b;
}

}  // namespace

void* sip_work__alloc(uint16_t count) {
  if (count > SIP_WORK_BLOCK_ROOM) return nullptr;
  if (sip_work_current == nullptr) {
    sip_work_block* b = new_block();
    if (b == nullptr) return nullptr;
    sip_work_first = sip_work_current = b;
  } else if (sip_work_current->data_size + count > SIP_WORK_BLOCK_ROOM) {
    sip_work_block* b = new_block();
    if (b == nullptr) return nullptr;
    sip_work_current->next = b;
    sip_work_current = b;
  }
  return sip_work_current->data + sip_work_current->data_size;
}

void sip_work__use(uint16_t count) {
  if (sip_work_current == nullptr) return;
  uint32_t n = sip_work_current->data_size + count;
  sip_work_current->data_size = static_cast<uint16_t>(n > SIP_WORK_BLOCK_ROOM ? SIP_WORK_BLOCK_ROOM : n);
}

void sip_work__release() {
  sip_work_block* b = sip_work_first;
  while (b) {
    sip_work_block* next = b->next;
    delete b;
    b = next;
  }
  sip_work_first = sip_work_current = nullptr;
  sip_work_count = 0;
}

uint16_t sip_work__blocks() { return sip_work_count; }
