#include "sip/text/sip_str.h"

#include <array>
#include <cstring>
#include <new>

// ---------------------------------------------------------------------------
// Tables

namespace {

bool sip_is_digit(u8 c) { return c >= '0' && c <= '9'; }

constexpr std::array<u16, 256> make_crc_table() {
  std::array<u16, 256> t{};
  for (int i = 0; i < 256; ++i) {
    u16 r = static_cast<u16>(i << 8);
    for (int b = 0; b < 8; ++b) r = static_cast<u16>((r & 0x8000) ? (r << 1) ^ 0x1021 : (r << 1));
    t[i] = r;
  }
  return t;
}

constexpr std::array<u16, 256> crc16_table = make_crc_table();
static_assert(crc16_table[1] == 0x1021);

int hex_value(u8 c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Decodes "%HH" whose two hex characters are at p[0], p[1]; -1 when bad.
int hex_pair(const char* p) {
  int hi = hex_value(static_cast<u8>(p[0]));
  if (hi < 0) return -1;
  int lo = hex_value(static_cast<u8>(p[1]));
  if (lo < 0) return -1;
  return hi * 16 + lo;
}

}  // namespace

sip_out_buf_t sip_out;

// ---------------------------------------------------------------------------
// Counted strings

u16 sip_str__chars(sip_str s) {
  if (s.ptr == nullptr) return 0;
  const void* nul = std::memchr(s.ptr, 0, s.len);
  return nul ? static_cast<u16>(static_cast<const char*>(nul) - s.ptr) : s.len;
}

void sip_str__from_cstr(sip_str* out, const char* text) {
  size_t n = text ? std::strlen(text) : 0;
  if (n == 0 || n > 0xFFFE) {
    *out = sip_str{};
    return;
  }
  out->ptr = text;
  out->len = static_cast<u16>(n + 1);
}

u8 sip_str__to_cstr(char* out, size_t size, sip_str s) {
  u16 n = sip_str__chars(s);
  if (size == 0) return SIP_RESULT_NOK;
  if (static_cast<size_t>(n) + 1 > size) {
    out[0] = '\0';
    return SIP_RESULT_NOK;
  }
  if (n) std::memcpy(out, s.ptr, n);
  out[n] = '\0';
  return SIP_RESULT_OK;
}

i32 sip_str__copy_out(char** write_ptr, const char* end, sip_str s) {
  if (s.len == 0 || s.ptr == nullptr) return 0;
  char* w = *write_ptr;
  if (w > end || static_cast<size_t>(end - w) < static_cast<size_t>(s.len) + 1) return -1;
  std::memcpy(w, s.ptr, s.len);
  w[s.len] = '\0';
  *write_ptr = w + s.len + 1;
  return s.len + 1;
}

u8 sip_str__unescape(char* text, u16* len) {
  u16 n = *len;
  u16 i = 0;
  while (i < n) {
    if (text[i] == '\\') {
      if (i + 1 >= n) return SIP_RESULT_NOK;
      u8 c = static_cast<u8>(text[i + 1]);
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
  auto norm = [fold](u8 c) { return fold ? sip_fold(c) : c; };
  const char* a = text;
  u16 i = 0;
  bool last_was_nul = false;
  while (i < s.len) {
    u8 ca = static_cast<u8>(*a);
    u8 cb = static_cast<u8>(s.ptr[i]);
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
      if (v < 0 || norm(static_cast<u8>(v)) != norm(cb)) return 1;
      a += 3;
      ++i;
      last_was_nul = (cb == 0);
      if (last_was_nul) break;
      continue;
    }
    if (cb == '%') {
      if (s.len - i < 3) return 1;
      int v = hex_pair(s.ptr + i + 1);
      if (v < 0 || ca == '\0' || norm(static_cast<u8>(v)) != norm(ca)) return 1;
      ++a;
      i = static_cast<u16>(i + 3);
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

bool sip_str__parse_ipv4(const char** text, u16* len) {
  const char* p = *text;
  u16 n = *len;
  if (p == nullptr) return false;
  if (n > 0 && p[n - 1] == '\0') --n;
  u8 bytes[4];
  u16 i = 0;
  for (int part = 0; part < 4; ++part) {
    u16 start = i;
    u32 v = 0;
    while (i < n && sip_is_digit(static_cast<u8>(p[i])) && i - start < 3) {
      v = v * 10 + static_cast<u32>(p[i] - '0');
      ++i;
    }
    if (i == start || v > 255) return false;
    if (i < n && sip_is_digit(static_cast<u8>(p[i]))) return false;  // a fourth digit
    bytes[part] = static_cast<u8>(v);
    if (part < 3) {
      if (i >= n || p[i] != '.') return false;
      ++i;
    }
  }
  if (i != n) return false;
  auto* room = static_cast<u8*>(sip_work__alloc(4));
  if (room == nullptr) return false;
  std::memcpy(room, bytes, 4);
  sip_work__use(4);
  *text = reinterpret_cast<const char*>(room);
  *len = 4;
  return true;
}

// ---------------------------------------------------------------------------
// Scans

u8 sip_scan__keyword(sip_scan_state_t& sc, const char* keyword) {
  const char* p = sc.cursor;
  const char* end = sc.line_end;
  unsigned matched = 0;
  for (; keyword[matched] != '\0'; ++matched) {
    if (p + matched >= end) break;
    if (sip_fold(static_cast<u8>(p[matched])) != static_cast<u8>(keyword[matched])) break;
  }
  if (keyword[matched] == '\0') {
    sc.cursor += matched;
    return 0;
  }
  return static_cast<u8>(matched + 1 > 255 ? 255 : matched + 1);
}

bool sip_scan__literal(sip_scan_state_t& sc, const char* literal) {
  const char* p = sc.cursor;
  const char* end = sc.line_end;
  size_t k = 0;
  for (; literal[k] != '\0'; ++k) {
    if (p + k >= end || p[k] != literal[k]) return true;
  }
  sc.cursor += k;
  return false;
}

u16 sip_scan__str(sip_scan_state_t& sc, sip_str s) {
  u16 n = s.len;
  if (n > 0 && s.ptr[n - 1] == '\0') --n;
  for (u16 i = 0; i < n; ++i) {
    if (sc.cursor >= sc.line_end) return static_cast<u16>(n - i);
    char c = *sc.cursor++;
    if (c != s.ptr[i]) return static_cast<u16>(n - i);
  }
  return 0;
}

u8 sip_scan__comment(sip_scan_state_t& sc) {
  u32 depth = 1;
  for (char* p = sc.cursor; p < sc.line_end; ++p) {
    if (*p == '(') {
      ++depth;
    } else if (*p == ')') {
      if (--depth == 0) {
        sc.cursor = p;
        return SIP_RESULT_OK;
      }
    }
  }
  sc.cursor = sc.line_end;
  return SIP_RESULT_NOK;
}

u8 sip_scan__quoted(sip_scan_state_t& sc) {
  char* p = sc.cursor;
  while (p < sc.line_end) {
    u8 c = static_cast<u8>(*p);
    if (c == '"') {
      sc.cursor = p;
      return SIP_RESULT_OK;
    }
    if (c >= 254) break;
    if (c == '\\') {
      if (p + 1 >= sc.line_end || static_cast<u8>(p[1]) >= 128) break;
      p += 2;
      continue;
    }
    ++p;
  }
  sc.cursor = p;
  return SIP_RESULT_NOK;
}

void sip_scan__copy_down(sip_scan_state_t& sc, const char* src, size_t count) {
  if (count) std::memmove(sc.cursor, src, count);
  sc.cursor += count;
}

// ---------------------------------------------------------------------------
// Numbers, ticks, hashing

bool sip_num__dec(const char* text, u16 count, u32* value) {
  u64 v = 0;
  for (u16 i = 0; i < count; ++i) {
    u8 c = static_cast<u8>(text[i]);
    if (!sip_is_digit(c)) return false;
    v = v * 10 + (c - '0');
    if (v > 0xFFFFFFFFu) return false;
  }
  *value = static_cast<u32>(v);
  return true;
}

bool sip_num__hex(const char* text, u16 count, u32* value) {
  u64 v = 0;
  for (u16 i = 0; i < count; ++i) {
    int d = hex_value(static_cast<u8>(text[i]));
    if (d < 0) return false;
    v = v * 16 + static_cast<u64>(d);
    if (v > 0xFFFFFFFFu) return false;
  }
  *value = static_cast<u32>(v);
  return true;
}

i32 sip_tick__diff(u32 a, u32 b) { return static_cast<i32>(a - b); }

u32 sip_tick__elapsed_ms(u32 earlier, u32 later) {
  constexpr u32 ticks_per_ms = 1;
  return (later - earlier) * ticks_per_ms;
}

u16 crc16_nocase_hash(u16 seed, const void* data, u32 count) {
  auto* p = static_cast<const u8*>(data);
  u16 r = seed;
  for (u32 i = 0; i < count; ++i) {
    u8 idx = static_cast<u8>(sip_fold(p[i]) ^ (r >> 8));
    r = static_cast<u16>(((r & 0xFF) << 8) ^ crc16_table[idx]);
  }
  return r;
}

u16 sip_hash__str_seeded(u16 seed, sip_str s) {
  if (s.len == 0 || s.ptr == nullptr) return seed;
  u16 n = s.len;
  if (s.ptr[n - 1] == '\0') --n;
  return crc16_nocase_hash(seed, s.ptr, n);
}

u16 sip_hash__host(const sip_callid_parsed& id) {
  u16 h = sip_hash__str(id.word);
  if (id.addr_len != 0 && id.addr != nullptr) return crc16_nocase_hash(h, id.addr, id.addr_len);
  return sip_hash__str_seeded(h, id.host);
}

u8 sip_host__cmp(const sip_callid_stored& stored, const sip_callid_parsed& parsed) {
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

u8 sip_out__append_bytes(const void* data, u16 count) {
  if (sip_out.overflow || sip_out.ptr == nullptr || sip_out.ptr > sip_out.end ||
      static_cast<size_t>(sip_out.end - sip_out.ptr) < count) {
    sip_out.overflow = true;
    return SIP_RESULT_NOK;
  }
  if (count) std::memcpy(sip_out.ptr, data, count);
  sip_out.ptr += count;
  return SIP_RESULT_OK;
}

u8 sip_out__append_str(sip_str s) { return sip_out__append_bytes(s.ptr, sip_str__chars(s)); }

u8 sip_out__append_cstr(const char* text) {
  size_t n = text ? std::strlen(text) : 0;
  if (n > 0xFFFF) {
    sip_out.overflow = true;
    return SIP_RESULT_NOK;
  }
  return sip_out__append_bytes(text, static_cast<u16>(n));
}

u8 sip_out__append_dec(u32 value) {
  char digits[10];
  int n = 0;
  do {
    digits[sizeof digits - 1 - n] = static_cast<char>('0' + value % 10);
    value /= 10;
    ++n;
  } while (value != 0);
  return sip_out__append_bytes(digits + sizeof digits - n, static_cast<u16>(n));
}

u8 sip_out__append_hex_width(u32 value, u8 width) {
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
  return sip_out__append_bytes(digits + sizeof digits - n, static_cast<u16>(n));
}

u8 sip_out__append_hex(u32 value) { return sip_out__append_hex_width(value, 0); }

// ---------------------------------------------------------------------------
// Work area

namespace {

struct sip_work_block {
  sip_work_block* next = nullptr;
  u16 data_size = 0;
  alignas(8) u8 data[SIP_WORK_BLOCK_ROOM];
};

sip_work_block* sip_work_first = nullptr;
sip_work_block* sip_work_current = nullptr;
u16 sip_work_count = 0;
// The first block of the last message, kept for the next one: most messages
// need one block, and the parser runs once per datagram.
sip_work_block* sip_work_spare = nullptr;

sip_work_block* new_block() {
  if (sip_work_count >= SIP_WORK_MAX_BLOCKS) return nullptr;
  sip_work_block* b = sip_work_spare;
  if (b != nullptr) {
    sip_work_spare = nullptr;
    b->next = nullptr;
    b->data_size = 0;
  } else {
    b = new (std::nothrow) sip_work_block;
  }
  if (b) ++sip_work_count;
  return b;
}

}  // namespace

void* sip_work__alloc(u16 count) {
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

void sip_work__use(u16 count) {
  if (sip_work_current == nullptr) return;
  u32 n = sip_work_current->data_size + count;
  sip_work_current->data_size = static_cast<u16>(n > SIP_WORK_BLOCK_ROOM ? SIP_WORK_BLOCK_ROOM : n);
}

void sip_work__release() {
  sip_work_block* b = sip_work_first;
  while (b) {
    sip_work_block* next = b->next;
    if (sip_work_spare == nullptr) sip_work_spare = b;
    else delete b;
    b = next;
  }
  sip_work_first = sip_work_current = nullptr;
  sip_work_count = 0;
}

u16 sip_work__blocks() { return sip_work_count; }
