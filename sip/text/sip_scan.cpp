#include "sip/text/sip_scan.h"

#include <array>
#include <bit>
#include <cstring>

namespace {

struct class_members {
  u32 bit;
  const char* members;  // ranges written as "a-z"; a lone '-' stands for itself
};

// The members of each class.
constexpr class_members sip_class_members[] = {
    {0x1, "0-9"},
    {0x2, "A-Za-z"},
    {0x4, "0-9A-Fa-f"},
    {0x8, "#*ABCDPWabcdpw"},
    {0x10, "!#$%&'()*+-./0-9:=@A-Z^_`a-z|~"},
    {0x20, "!#$%&'*+-.0-9A-Z^_`a-z|~"},
    {0x40, "-"},
    {0x80, " \t"},
    {0x100, "!#$&'()*+,-./0-9;=?A-Z_a-z~"},
    {0x200, "$&+,/:=?@3"},
    {0x400, "."},
    {0x800, "%"},
    {0x1000, "\"(),/:;<>=@[\\]{}"},
    {0x2000, ",:"},
    {0x4000, "+/0-9=A-Za-z"},
    {0x8000, "\t "},  // and 0x21-0x7E, 0x80-0xFD, added below
    {0x10000, "!%'*+-0-9A-Z_`a-z~"},
    {0x20000, "\"()-/:<>?[\\]{}"},
    {0x40000, " !$&'()*+-./0-9:=?A-Z_a-z~"},
    {0x80000, "()-."},
};

constexpr bool is_alnum(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

constexpr std::array<u32, 256> build_char_class() {
  std::array<u32, 256> t{};
  for (const auto& cm : sip_class_members) {
    const char* m = cm.members;
    for (std::size_t i = 0; m[i] != 0; ++i) {
      unsigned char lo = static_cast<unsigned char>(m[i]);
      unsigned char hi = lo;
      // "x-y" between two letters or digits is a range; any other '-'
      // stands for itself.
      if (is_alnum(m[i]) && m[i + 1] == '-' && is_alnum(m[i + 2])) {
        hi = static_cast<unsigned char>(m[i + 2]);
        i += 2;
      }
      for (unsigned c = lo; c <= hi; ++c) t[c] |= cm.bit;
    }
  }
  for (unsigned c = 0x21; c <= 0x7E; ++c) t[c] |= SIP_CC_TEXT;
  for (unsigned c = 0x80; c <= 0xFD; ++c) t[c] |= SIP_CC_TEXT;
  return t;
}

constexpr std::array<u32, 256> sip_char_class_table = build_char_class();

static_assert(sip_char_class_table['-'] & SIP_CC_HYPHEN);
static_assert(sip_char_class_table['-'] & SIP_CC_TOKEN);
static_assert((sip_char_class_table[','] & SIP_CC_TOKEN) == 0);
static_assert(sip_char_class_table['a'] & SIP_CC_HEX);
static_assert((sip_char_class_table['g'] & SIP_CC_HEX) == 0);
static_assert(sip_char_class_table[0x7F] == 0 && sip_char_class_table[0xFE] == 0 && sip_char_class_table[0xFF] == 0 &&
              sip_char_class_table['\r'] == 0);
static_assert(sip_char_class_table['\t'] == (SIP_CC_LWS | SIP_CC_TEXT));
static_assert((sip_char_class_table[','] & (SIP_CC_PARAM | SIP_CC_DISPLAY)) == 0);
static_assert(sip_char_class_table['~'] & SIP_CC_TEXT);

inline char fold(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + ('a' - 'A')) : c; }

// Room in the work area, counted as used.
char* work_take(u16 n) {
  char* p = static_cast<char*>(sip_work__alloc(n));
  if (p != nullptr) sip_work__use(n);
  return p;
}

}  // namespace

const u32 sip_char_class[256] = {
#define KV_CC_ROW(i)                                                                               \
  sip_char_class_table[(i)], sip_char_class_table[(i) + 1], sip_char_class_table[(i) + 2],         \
      sip_char_class_table[(i) + 3], sip_char_class_table[(i) + 4], sip_char_class_table[(i) + 5], \
      sip_char_class_table[(i) + 6], sip_char_class_table[(i) + 7]
    KV_CC_ROW(0),   KV_CC_ROW(8),   KV_CC_ROW(16),  KV_CC_ROW(24),  KV_CC_ROW(32),  KV_CC_ROW(40),  KV_CC_ROW(48),
    KV_CC_ROW(56),  KV_CC_ROW(64),  KV_CC_ROW(72),  KV_CC_ROW(80),  KV_CC_ROW(88),  KV_CC_ROW(96),  KV_CC_ROW(104),
    KV_CC_ROW(112), KV_CC_ROW(120), KV_CC_ROW(128), KV_CC_ROW(136), KV_CC_ROW(144), KV_CC_ROW(152), KV_CC_ROW(160),
    KV_CC_ROW(168), KV_CC_ROW(176), KV_CC_ROW(184), KV_CC_ROW(192), KV_CC_ROW(200), KV_CC_ROW(208), KV_CC_ROW(216),
    KV_CC_ROW(224), KV_CC_ROW(232), KV_CC_ROW(240), KV_CC_ROW(248),
#undef KV_CC_ROW
};

const sip_code_row sip_uri_transport_table[4] = {{'U', "udp"}, {'T', "tcp"}, {'S', "sctp"}, {'L', "tls"}};
const sip_code_row sip_via_transport_table[4] = {{'U', "UDP"}, {'T', "TCP"}, {'S', "SCTP"}, {'L', "TLS"}};
const sip_code_row sip_method_table[6] = {{'A', "INVITE"}, {'B', "ACK"},    {'C', "OPTIONS"},
                                          {'D', "BYE"},    {'E', "CANCEL"}, {'F', "REGISTER"}};
const sip_code_row sip_user_param_table[2] = {{'P', "phone"}, {'I', "ip"}};

char* sip_scan__find_break(char* p, const char* end) {
  if constexpr (std::endian::native == std::endian::little) {
    // Eight bytes at a time: a byte of CR or LF becomes a zero byte of one of
    // the two words, and the lowest flagged byte is the first such byte.
    constexpr u64 ones = 0x0101010101010101ULL;
    constexpr u64 highs = 0x8080808080808080ULL;
    while (end - p >= 8) {
      u64 w;
      std::memcpy(&w, p, 8);
      const u64 cr = w ^ (ones * '\r');
      const u64 lf = w ^ (ones * '\n');
      const u64 hit = (((cr - ones) & ~cr) | ((lf - ones) & ~lf)) & highs;
      if (hit != 0) return p + (std::countr_zero(hit) >> 3);
      p += 8;
    }
  }
  while (p < end && *p != '\r' && *p != '\n') ++p;
  return p;
}

void sip_scan__clear(void* p, std::size_t n) { std::memset(p, 0, n); }

int sip_scan__line_end(sip_scan_state_t& sc) {
  char* end = sc.end;
  char* p = sip_scan__find_break(sc.cursor, end);
  if (p >= end) {
    sc.cursor = end;
    return 0;
  }
  if (*p == '\r' && p + 1 < end && p[1] == '\n') {
    sc.cursor = p + 2;
    return 2;
  }
  sc.cursor = p + 1;
  return 1;
}

int sip_scan__unfold_line(sip_scan_state_t& sc) {
  char* p = sc.cursor;
  for (;;) {
    p = sip_scan__find_break(p, sc.end);
    if (p >= sc.end) {
      sc.cursor = sc.end;
      return 0;
    }
    int len = (*p == '\r' && p + 1 < sc.end && p[1] == '\n') ? 2 : 1;
    char* next = p + len;
    if (next < sc.end && (*next == ' ' || *next == '\t')) {
      // Continuation: keep only the last blank of the leading run.
      char* run_end = next;
      while (run_end < sc.end && (*run_end == ' ' || *run_end == '\t')) ++run_end;
      char* keep = run_end - 1;
      std::size_t removed = static_cast<std::size_t>(keep - p);
      std::memmove(p, keep, static_cast<std::size_t>(sc.end - keep));
      sc.end -= removed;
      ++p;
      continue;
    }
    sc.cursor = next;
    return len;
  }
}

bool sip_scan__find_line_end(sip_scan_state_t& sc) {
  char* start = sc.cursor;
  int len = sip_scan__unfold_line(sc);
  if (len == 0) {
    sc.cursor = start;
    return false;
  }
  sc.line_end = sc.cursor - len;
  sc.cursor = start;
  return true;
}

sip_scan_rc sip_scan__match_code(const char** text, u16 len, const sip_code_row* table, unsigned rows, u8* code_out) {
  const char* t = *text;
  // Most rows differ in their first letter.
  const char first = len > 0 ? fold(t[0]) : '\0';
  for (unsigned r = rows; r-- > 0;) {
    const char* name = table[r].name;
    if (name == nullptr) continue;
    if (len > 0 && (name[0] == 0 || fold(name[0]) != first)) continue;
    std::size_t i = len > 0 ? 1 : 0;
    while (i < len && name[i] != 0 && fold(t[i]) == fold(name[i])) ++i;
    if (i == len && name[i] == 0) {
      *code_out = static_cast<u8>(table[r].code);
      *text += len;
      return SIP_SCAN_OK;
    }
  }
  return SIP_SCAN_BAD;
}

bool sip_scan__quoted_string(sip_scan_state_t& sc, sip_str* inside) {
  if (!sip_scan__take(sc, '"')) return false;
  char* start = sc.cursor;
  if (sip_scan__quoted(sc) != SIP_RESULT_OK) {
    sc.cursor = start - 1;
    return false;
  }
  char* close = sc.cursor;
  inside->len = static_cast<u16>(close - start);
  inside->ptr = start;
  sc.cursor = close + 1;
  return true;
}

sip_scan_rc sip_scan__other_param(sip_scan_state_t& sc, sip_str* params) {
  char* start = sc.cursor;
  if (sip_scan__run(sc, SIP_CC_TOKEN) == 0) return SIP_SCAN_MALFORMED;
  char* after_name = sc.cursor;
  sip_scan__skip_lws(sc);
  if (!sip_scan__take(sc, '=')) {
    sc.cursor = after_name;
  } else {
    sip_scan__skip_lws(sc);
    if (sc.cursor < sc.line_end && *sc.cursor == '"') {
      sip_str q;
      if (!sip_scan__quoted_string(sc, &q)) return SIP_SCAN_MALFORMED;
    } else {
      sip_scan__run(sc, SIP_CC_PARAM_VALUE);
    }
  }
  std::size_t n = static_cast<std::size_t>(sc.cursor - start);
  if (params->len == 0) {
    if (n > SIP_OTHER_PARAMS_MAX) return SIP_SCAN_OK;
    char* room = work_take(SIP_OTHER_PARAMS_MAX);
    if (room == nullptr) return SIP_SCAN_OK;
    std::memcpy(room, start, n);
    params->ptr = room;
    params->len = static_cast<u16>(n);
    return SIP_SCAN_OK;
  }
  if (params->len + 1 + n > SIP_OTHER_PARAMS_MAX) return SIP_SCAN_OK;
  char* dst = const_cast<char*>(params->ptr) + params->len;
  *dst = ';';
  std::memcpy(dst + 1, start, n);
  params->len = static_cast<u16>(params->len + 1 + n);
  return SIP_SCAN_OK;
}

namespace {

// The checked length: a NUL at the end of the string is left out.
u16 checked_len(const sip_str* v) {
  u16 n = v->len;
  if (n > 0 && v->ptr[n - 1] == 0) --n;
  return n;
}

}  // namespace

sip_scan_rc sip_check__class(const sip_str* value, int mandatory, u32 classes) {
  u16 n = checked_len(value);
  if (n == 0) return mandatory ? SIP_SCAN_EMPTY : SIP_SCAN_OK;
  for (u16 i = 0; i < n; ++i)
    if (!sip_cc(value->ptr[i], classes)) return SIP_SCAN_BAD;
  return SIP_SCAN_OK;
}

sip_scan_rc sip_check__class_escaped(const sip_str* value, int mandatory, u32 classes) {
  u16 n = checked_len(value);
  if (n == 0) return mandatory ? SIP_SCAN_EMPTY : SIP_SCAN_OK;
  for (u16 i = 0; i < n; ++i) {
    char c = value->ptr[i];
    if (c == '%') {
      if (i + 2 >= n) return SIP_SCAN_BAD;
      if (!sip_cc(value->ptr[i + 1], SIP_CC_HEX) || !sip_cc(value->ptr[i + 2], SIP_CC_HEX)) return SIP_SCAN_BAD;
      i += 2;
      continue;
    }
    if (!sip_cc(c, classes)) return SIP_SCAN_BAD;
  }
  return SIP_SCAN_OK;
}

sip_scan_rc sip_check__quote(sip_str* value) {
  u16 n = checked_len(value);
  u16 first = n;
  for (u16 i = 0; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(value->ptr[i]);
    if (c == '\r' || c == '\n' || c == 0xFE || c == 0xFF) return SIP_SCAN_BAD;
    bool escape = c == '"' || c == '\\' || (c < 0x80 && !sip_cc(static_cast<char>(c), SIP_CC_TEXT));
    if (escape && first == n) first = i;
  }
  if (first == n) return SIP_SCAN_OK;
  // Every remaining byte may double, plus the NUL.
  std::size_t room = static_cast<std::size_t>(first) + 2u * (n - first) + 1u;
  if (room > 0xFFFF) return SIP_SCAN_BAD;
  char* out = work_take(static_cast<u16>(room));
  if (out == nullptr) return SIP_SCAN_BAD;
  std::memcpy(out, value->ptr, first);
  std::size_t o = first;
  for (u16 i = first; i < n; ++i) {
    unsigned char c = static_cast<unsigned char>(value->ptr[i]);
    if (c == '"' || c == '\\' || (c < 0x80 && !sip_cc(static_cast<char>(c), SIP_CC_TEXT))) out[o++] = '\\';
    out[o++] = static_cast<char>(c);
  }
  out[o++] = 0;
  value->ptr = out;
  value->len = static_cast<u16>(o);
  return SIP_SCAN_OK;
}

sip_scan_rc sip_check__comment(const sip_str* value) {
  u16 n = checked_len(value);
  int level = 0;
  for (u16 i = 0; i < n; ++i) {
    char c = value->ptr[i];
    if (c == '(') {
      ++level;
    } else if (c == ')') {
      if (level == 0) return SIP_SCAN_BAD;
      --level;
    } else if (c == '\\') {
      if (i + 1 >= n || static_cast<unsigned char>(value->ptr[i + 1]) >= 0x80) return SIP_SCAN_BAD;
      ++i;
    } else if (!sip_cc(c, SIP_CC_TEXT)) {
      return SIP_SCAN_BAD;
    }
  }
  return level == 0 ? SIP_SCAN_OK : SIP_SCAN_BAD;
}

sip_scan_rc sip_code_lookup(u16 code, const sip_code_value_row* table, u32* value_out, u32 rows) {
  for (u32 r = rows; r-- > 0;) {
    if (table[r].code == code) {
      *value_out = table[r].value;
      return SIP_SCAN_OK;
    }
  }
  return SIP_SCAN_BAD;
}
