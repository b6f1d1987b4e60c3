// Keyword engine: value tables, file reading, read and write by id.
#include "platform/int_types.h"
#include "session/config/ini_tools.h"

#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

#include "common/byte_order.h"
#include "session/config/ini_tools_text.h"

namespace {

// Longest line piece handled at once; longer lines are handled in pieces.
constexpr std::size_t kLineMax = 254;
// Longest error message handed to the error callback.
constexpr std::size_t kMessageMax = 254;
// Characters of a name taken into account by the comparison.
constexpr std::size_t kNameMax = 127;

ini_tools__alloc_fn g_alloc = nullptr;

void* engine_alloc(std::size_t n) { return g_alloc ? g_alloc(n) : std::malloc(n); }

char* copy_text(const char* text, std::size_t len) {
  char* p = static_cast<char*>(engine_alloc(len + 1));
  if (p == nullptr) return nullptr;
  std::memcpy(p, text, len);
  p[len] = '\0';
  return p;
}

void report(const ini_tools__error_cb& cb, const char* format, ...) __attribute__((format(printf, 2, 3)));
void report(const ini_tools__error_cb& cb, const char* format, ...) {
  if (!cb) return;
  char message[kMessageMax + 1];
  va_list args;
  va_start(args, format);
  (void)std::vsnprintf(message, sizeof message, format, args);
  va_end(args);
  cb(message);
}

// Releases what the record holds when the engine allocated it.
void release_record(ini_tools__value& r) {
  if (r.owned) {
    if (r.kind == INI_TOOLS__FILE || r.kind == INI_TOOLS__STRING) {
      std::free(const_cast<char*>(r.value.text));
      r.value.text = nullptr;
    } else if (r.kind == INI_TOOLS__IP_ADD) {
      std::free(r.value.ip);
      r.value.ip = nullptr;
    }
  }
  r.owned = 0;
}

bool is_top_record(const ini_tools__value& r) {
  return (r.section_id & INI_TOOLS__ARRAY_SECTION) != 0 && r.value_id != INI_TOOLS__COMMENT_ID;
}

// Copies an owned text or IP record so that the copy owns its own.
bool duplicate_owned(ini_tools__value& r) {
  if (!r.owned) return true;
  if ((r.kind == INI_TOOLS__FILE || r.kind == INI_TOOLS__STRING) && r.value.text != nullptr) {
    r.value.text = copy_text(r.value.text, std::strlen(r.value.text));
    return r.value.text != nullptr;
  }
  if (r.kind == INI_TOOLS__IP_ADD && r.value.ip != nullptr) {
    auto* ip = static_cast<ini_tools__ip*>(engine_alloc(sizeof(ini_tools__ip)));
    if (ip == nullptr) return false;
    *ip = *r.value.ip;
    r.value.ip = ip;
  }
  return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// Value tables

void ini_tools__set_allocator(ini_tools__alloc_fn fn) { g_alloc = fn; }

void ini_tools__release_values(ini_tools__value* table) {
  if (table == nullptr) return;
  for (ini_tools__value* r = table; r->value_id != 0; ++r) {
    if (is_top_record(*r)) {
      ini_tools__array* a = r->value.array;
      if (a == nullptr || a->elements == nullptr) continue;
      std::size_t total = std::size_t(a->max) * a->records_per_element;
      for (std::size_t i = 0; i < total; ++i) {
        if (a->elements[i].value_id != 0) release_record(a->elements[i]);
      }
      continue;
    }
    release_record(*r);
  }
}

ini_tools__table::ini_tools__table(const ini_tools__value* defaults, const ini_tools__array_size* sizes) {
  for (const ini_tools__value* r = defaults; r->value_id != 0; ++r) records_.push_back(*r);
  records_.push_back(ini_tools__value{});
  for (std::size_t i = 0; records_[i].value_id != 0; ++i) {
    ini_tools__value& top = records_[i];
    if (!is_top_record(top)) continue;
    // The first top record of an array section creates the descriptor and
    // the element area; the others of that section point to it.
    ini_tools__array* array = nullptr;
    for (std::size_t j = 0; j < i; ++j) {
      if (records_[j].section_id == top.section_id && is_top_record(records_[j])) {
        array = records_[j].value.array;
        break;
      }
    }
    if (array == nullptr) {
      u16 max = 1;
      for (const ini_tools__array_size* s = sizes; s != nullptr && s->section_id != 0; ++s) {
        if (s->section_id == top.section_id) max = s->max;
      }
      std::vector<ini_tools__value> element;
      for (std::size_t j = i; records_[j].value_id != 0; ++j) {
        if (records_[j].section_id != top.section_id) continue;
        ini_tools__value e = records_[j];
        if (is_top_record(e)) e.value = defaults[j].value;
        element.push_back(e);
      }
      element.push_back(ini_tools__value{});
      auto descriptor = std::make_unique<ini_tools__array>();
      descriptor->max = max;
      descriptor->records_per_element = static_cast<u16>(element.size());
      std::vector<ini_tools__value> area;
      for (u16 k = 0; k < max; ++k) area.insert(area.end(), element.begin(), element.end());
      areas_.push_back(std::move(area));
      descriptor->elements = areas_.back().data();
      array = descriptor.get();
      arrays_.push_back(std::move(descriptor));
    }
    top.value.array = array;
    top.owned = 0;
  }
}

ini_tools__table::ini_tools__table(const ini_tools__table& other) { *this = other; }

ini_tools__table& ini_tools__table::operator=(const ini_tools__table& other) {
  if (this == &other) return *this;
  release();
  records_ = other.records_;
  areas_ = other.areas_;
  arrays_.clear();
  for (std::size_t i = 0; i < other.arrays_.size(); ++i) {
    auto copy = std::make_unique<ini_tools__array>(*other.arrays_[i]);
    copy->elements = areas_[i].data();
    arrays_.push_back(std::move(copy));
  }
  for (ini_tools__value& r : records_) {
    if (r.value_id == 0) break;
    if (is_top_record(r)) {
      for (std::size_t i = 0; i < other.arrays_.size(); ++i) {
        if (r.value.array == other.arrays_[i].get()) r.value.array = arrays_[i].get();
      }
    } else if (!duplicate_owned(r)) {
      r.owned = 0;
      r.state = INI_TOOLS__UNDEFINED;
    }
  }
  for (auto& area : areas_) {
    for (ini_tools__value& r : area) {
      if (r.value_id != 0 && !duplicate_owned(r)) {
        r.owned = 0;
        r.state = INI_TOOLS__UNDEFINED;
      }
    }
  }
  return *this;
}

ini_tools__table& ini_tools__table::operator=(ini_tools__table&& other) noexcept {
  if (this != &other) {
    release();
    records_ = std::move(other.records_);
    arrays_ = std::move(other.arrays_);
    areas_ = std::move(other.areas_);
    other.records_.clear();
  }
  return *this;
}

ini_tools__table::~ini_tools__table() { release(); }

void ini_tools__table::release() {
  if (!records_.empty()) ini_tools__release_values(records_.data());
  records_.clear();
  arrays_.clear();
  areas_.clear();
}

// ---------------------------------------------------------------------------
// Names and lookups shared with the writers

bool ini_tools__names_match(const char* a, const char* b) {
  auto normalise = [](const char* s, char* out) {
    std::size_t n = 0;
    while (*s == ' ' || *s == '\t') ++s;
    while (s[n] != '\0' && n < kNameMax) {
      out[n] = static_cast<char>(std::toupper(static_cast<unsigned char>(s[n])));
      ++n;
    }
    while (n > 0 && (out[n - 1] == ' ' || out[n - 1] == '\t' || out[n - 1] == '\r' || out[n - 1] == '\n')) --n;
    out[n] = '\0';
    return n;
  };
  if (a == nullptr || b == nullptr) return false;
  char na[kNameMax + 1];
  char nb[kNameMax + 1];
  std::size_t la = normalise(a, na);
  std::size_t lb = normalise(b, nb);
  return la == lb && std::memcmp(na, nb, la) == 0;
}

const ini_tools__section* ini_tools_text::find_section(const ini_tools__section* sections, u16 id) {
  for (const ini_tools__section* s = sections; s != nullptr && s->section_id != 0; ++s) {
    if (s->section_id == id) return s;
  }
  return nullptr;
}

const ini_tools__keyword* ini_tools_text::find_keyword(const ini_tools__keyword* keywords,
                                                       const ini_tools__value& record) {
  for (const ini_tools__keyword* k = keywords; k != nullptr && k->names != nullptr; ++k) {
    if (k->value_id == record.value_id && k->section_id == record.section_id) return k;
  }
  return nullptr;
}

const char* ini_tools_text::name_of_kind(const ini_tools__keyword* k, u32 name_kind) {
  if (k == nullptr) return nullptr;
  for (const ini_tools__name* n = k->names; n->name != nullptr && n->name[0] != '\0'; ++n) {
    if (n->name_kind == name_kind) return n->name;
  }
  return nullptr;
}

const char* ini_tools_text::first_name(const ini_tools__keyword* k) {
  if (k == nullptr || k->names == nullptr || k->names[0].name == nullptr || k->names[0].name[0] == '\0') return nullptr;
  return k->names[0].name;
}

const char* ini_tools_text::value_name(const ini_tools__value_name* names, u32 value) {
  for (const ini_tools__value_name* v = names; v != nullptr && v->name[0] != '\0'; ++v) {
    if (v->value == value) return v->name;
  }
  return nullptr;
}

std::string ini_tools_text::bfi_names(const ini_tools__value_name* names, u32 value) {
  std::string text;
  u32 shown = 0;
  for (const ini_tools__value_name* v = names; v != nullptr && v->name[0] != '\0'; ++v) {
    if (v->value == 0 || (value & v->value) != v->value || (v->value & ~shown) == 0) continue;
    if (!text.empty()) text += " | ";
    text += v->name;
    shown |= v->value;
  }
  u32 rest = value & ~shown;
  if (rest != 0) {
    if (!text.empty()) text += " | ";
    char hex[16];
    (void)std::snprintf(hex, sizeof hex, "0x%X", rest);
    text += hex;
  }
  return text;
}

std::string ini_tools_text::format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  va_list copy;
  va_copy(copy, args);
  int n = std::vsnprintf(nullptr, 0, fmt, copy);
  va_end(copy);
  std::string out;
  if (n > 0) {
    out.resize(std::size_t(n) + 1);
    (void)std::vsnprintf(out.data(), out.size(), fmt, args);
    out.resize(std::size_t(n));
  }
  va_end(args);
  return out;
}

// ---------------------------------------------------------------------------
// Parsing of values

namespace {

bool is_blank(char c) { return c == ' ' || c == '\t'; }

// inet_addr-style conversion: one to four parts separated by dots, each part
// decimal, octal (leading 0) or hexadecimal (leading 0x); the last part fills
// the remaining bytes.  The text ends at its end or at a blank.
bool parse_dotted(const char* s, u32* host_order) {
  u32 parts[4];
  int count = 0;
  const char* p = s;
  for (;;) {
    if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    u64 v = 0;
    int base = 10;
    if (*p == '0') {
      base = 8;
      ++p;
      if (*p == 'x' || *p == 'X') {
        base = 16;
        ++p;
        if (!std::isxdigit(static_cast<unsigned char>(*p))) return false;
      }
    }
    for (;; ++p) {
      int d;
      char c = *p;
      if (c >= '0' && c <= '9') d = c - '0';
      else if (base == 16 && c >= 'a' && c <= 'f') d = c - 'a' + 10;
      else if (base == 16 && c >= 'A' && c <= 'F') d = c - 'A' + 10;
      else break;
      if (d >= base) return false;
      v = v * u64(base) + u64(d);
      if (v > 0xFFFFFFFFull) return false;
    }
    if (count == 4) return false;
    parts[count++] = static_cast<u32>(v);
    if (*p == '.') {
      ++p;
      continue;
    }
    if (*p != '\0' && !std::isspace(static_cast<unsigned char>(*p))) return false;
    break;
  }
  u32 addr = 0;
  switch (count) {
    case 1: addr = parts[0]; break;
    case 2:
      if (parts[0] > 0xFF || parts[1] > 0xFFFFFF) return false;
      addr = (parts[0] << 24) | parts[1];
      break;
    case 3:
      if (parts[0] > 0xFF || parts[1] > 0xFF || parts[2] > 0xFFFF) return false;
      addr = (parts[0] << 24) | (parts[1] << 16) | parts[2];
      break;
    case 4:
      if (parts[0] > 0xFF || parts[1] > 0xFF || parts[2] > 0xFF || parts[3] > 0xFF) return false;
      addr = (parts[0] << 24) | (parts[1] << 16) | (parts[2] << 8) | parts[3];
      break;
    default: return false;
  }
  *host_order = addr;
  return true;
}

u32 to_network(u32 host_order) {
  u8 b[4];
  put_be32(b, host_order);
  return get_host32(b);
}

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// Result codes of the keyword line.
constexpr u8 kLineIgnored = 1;
constexpr u8 kLineStored = 2;

// Stores a new text (or none) in the record, releasing an owned one.
void store_text(ini_tools__value& r, char* text, u8 state) {
  release_record(r);
  r.value.text = text;
  r.owned = text != nullptr ? 1 : 0;
  r.state = state;
}

u8 parse_value(const ini_tools__keyword& k, ini_tools__value& r, const char* text) {
  if (r.kind != k.kind) return INI_TOOLS__INTERNAL_ERR_2;
  std::size_t len = std::strlen(text);
  switch (k.kind) {
    case INI_TOOLS__BOOL: {
      static const char* const kTrue[] = {"YES", "Y", "1", "TRUE", "ON"};
      static const char* const kFalse[] = {"NO", "N", "0", "FALSE", "OFF"};
      for (const char* w : kTrue) {
        if (ini_tools__names_match(text, w)) {
          r.value.byte = 1;
          r.state = INI_TOOLS__USER;
          return kLineStored;
        }
      }
      for (const char* w : kFalse) {
        if (ini_tools__names_match(text, w)) {
          r.value.byte = 0;
          r.state = INI_TOOLS__USER;
          return kLineStored;
        }
      }
      return INI_TOOLS__BAD_PARAMETER;
    }
    case INI_TOOLS__FILE: {
      // Linux paths are kept as written: case and slashes both matter.
      if (len == 0) {
        store_text(r, nullptr, INI_TOOLS__USER_EMPTY);
        return kLineStored;
      }
      char* copy = copy_text(text, len);
      if (copy == nullptr) return INI_TOOLS__ERR_MEM_ALLOC;
      store_text(r, copy, INI_TOOLS__USER);
      return kLineStored;
    }
    case INI_TOOLS__STR_ID: {
      if (len == 0) return INI_TOOLS__BAD_PARAMETER;
      for (const ini_tools__value_name* v = k.value_names; v != nullptr && v->name[0] != '\0'; ++v) {
        if (ini_tools__names_match(text, v->name)) {
          r.value.id = static_cast<u16>(v->value);
          r.state = INI_TOOLS__USER;
          return kLineStored;
        }
      }
      return INI_TOOLS__BAD_PARAMETER;
    }
    case INI_TOOLS__NUM: {
      if (len == 0) return INI_TOOLS__BAD_PARAMETER;
      const char* p = text;
      bool negative = false;
      if (*p == '+' || *p == '-') negative = *p++ == '-';
      i64 v = 0;
      while (std::isdigit(static_cast<unsigned char>(*p))) {
        v = v * 10 + (*p++ - '0');
        if (v > i64(1) << 32) return INI_TOOLS__BAD_PARAMETER;  // far outside any range
      }
      if (negative) v = -v;
      if (v < k.min || v > k.max) return INI_TOOLS__BAD_PARAMETER;
      r.value.num = static_cast<u32>(static_cast<i32>(v));
      r.state = INI_TOOLS__USER;
      return kLineStored;
    }
    case INI_TOOLS__STRING: {
      if (len == 0) {
        store_text(r, nullptr, INI_TOOLS__USER_EMPTY);
        return kLineStored;
      }
      const char* open = std::strchr(text, '"');
      if (open == nullptr) return INI_TOOLS__BAD_PARAMETER;
      const char* close = std::strchr(open + 1, '"');
      if (close == nullptr) return INI_TOOLS__BAD_PARAMETER;
      std::size_t n = std::size_t(close - open - 1);
      if (k.max >= 0 && n > std::size_t(k.max)) return INI_TOOLS__BAD_PARAMETER;
      if (n == 0) {
        store_text(r, nullptr, INI_TOOLS__USER);
        return kLineStored;
      }
      char* copy = copy_text(open + 1, n);
      if (copy == nullptr) return INI_TOOLS__ERR_MEM_ALLOC;
      store_text(r, copy, INI_TOOLS__USER);
      return kLineStored;
    }
    case INI_TOOLS__IP_ADD: {
      ini_tools__ip ip;
      if (len == 0) {
        ip.family = INI_TOOLS__IP_NONE;
        ip.addr = 0;
      } else {
        u32 host = 0;
        if (!parse_dotted(text, &host) || host == 0xFFFFFFFFu) return INI_TOOLS__BAD_PARAMETER;
        ip.family = INI_TOOLS__IP_V4;
        ip.addr = to_network(host);
      }
      auto* record = static_cast<ini_tools__ip*>(engine_alloc(sizeof(ini_tools__ip)));
      if (record == nullptr) return INI_TOOLS__ERR_MEM_ALLOC;
      *record = ip;
      release_record(r);
      r.value.ip = record;
      r.owned = 1;
      r.state = INI_TOOLS__USER;
      return kLineStored;
    }
    case INI_TOOLS__BFI: {
      u32 value = 0;
      if (len != 0) {
        std::string rest(text);
        std::size_t start = 0;
        for (;;) {
          std::size_t bar = rest.find('|', start);
          std::string piece = rest.substr(start, bar == std::string::npos ? std::string::npos : bar - start);
          bool found = false;
          for (const ini_tools__value_name* v = k.value_names; v != nullptr && v->name[0] != '\0'; ++v) {
            if (ini_tools__names_match(piece.c_str(), v->name)) {
              value |= v->value;
              found = true;
              break;
            }
          }
          if (!found) return INI_TOOLS__BAD_PARAMETER;
          if (bar == std::string::npos) break;
          start = bar + 1;
        }
      }
      r.value.num = value;
      r.state = INI_TOOLS__USER;
      return kLineStored;
    }
    case INI_TOOLS__CHAR: {
      if (len == 3 && text[0] == '\'' && text[2] == '\'') {
        r.value.byte = static_cast<u8>(text[1]);
        r.state = INI_TOOLS__USER;
        return kLineStored;
      }
      const char* zero = std::strchr(text, '0');
      if (zero != nullptr && (zero[1] == 'x' || zero[1] == 'X') && hex_digit(zero[2]) >= 0) {
        int v = hex_digit(zero[2]);
        if (hex_digit(zero[3]) >= 0) v = v * 16 + hex_digit(zero[3]);
        r.value.byte = static_cast<u8>(v);
        r.state = INI_TOOLS__USER;
        return kLineStored;
      }
      return INI_TOOLS__BAD_PARAMETER;
    }
    default: return INI_TOOLS__INTERNAL_ERR_2;
  }
}

// Finds the top record of value id `id` in an array section.
ini_tools__value* find_top(ini_tools__value* table, u16 id, u16 section) {
  for (ini_tools__value* r = table; r->value_id != 0; ++r) {
    if (r->value_id == id && r->section_id == section && is_top_record(*r)) return r;
  }
  return nullptr;
}

ini_tools__value* find_in_element(ini_tools__array* a, u16 element, u16 id) {
  if (a == nullptr || a->elements == nullptr || element >= a->max) return nullptr;
  for (ini_tools__value* r = a->elements + std::size_t(element) * a->records_per_element; r->value_id != 0; ++r) {
    if (r->value_id == id) return r;
  }
  return nullptr;
}

// Parses one keyword line (comment cut and trimmed) of the current section.
u8 parse_keyword_line(const char* line, u16 section, u16 element, const ini_tools__keyword* keywords,
                      ini_tools__value* table, ini_tools__array** array_out) {
  const char* eq = std::strchr(line, '=');
  std::string name(line, eq != nullptr ? std::size_t(eq - line) : std::strlen(line));
  const ini_tools__keyword* keyword = nullptr;
  for (const ini_tools__keyword* k = keywords; k != nullptr && k->names != nullptr && keyword == nullptr; ++k) {
    if (k->section_id != section) continue;
    for (const ini_tools__name* n = k->names; n->name != nullptr && n->name[0] != '\0'; ++n) {
      if (ini_tools__names_match(name.c_str(), n->name)) {
        keyword = k;
        break;
      }
    }
  }
  if (keyword == nullptr) return INI_TOOLS__UNKNOWN_KEYWORD;

  ini_tools__value* record = nullptr;
  if (section & INI_TOOLS__ARRAY_SECTION) {
    ini_tools__value* top = find_top(table, keyword->value_id, section);
    if (top == nullptr || top->value.array == nullptr) return INI_TOOLS__INTERNAL_ERR_1;
    record = find_in_element(top->value.array, element, keyword->value_id);
    *array_out = top->value.array;
  } else {
    for (ini_tools__value* r = table; r->value_id != 0; ++r) {
      if (r->value_id == keyword->value_id && r->section_id == section) {
        record = r;
        break;
      }
    }
  }
  if (record == nullptr) return INI_TOOLS__INTERNAL_ERR_1;
  if (record->state == INI_TOOLS__IGNORED) return kLineIgnored;

  if (eq == nullptr) {
    if (keyword->kind != INI_TOOLS__BOOL) return INI_TOOLS__BAD_PARAMETER;
    if (record->kind != keyword->kind) return INI_TOOLS__INTERNAL_ERR_2;
    record->value.byte = 1;
    record->state = INI_TOOLS__USER;
    return kLineStored;
  }
  const char* value = eq + 1;
  while (is_blank(*value)) ++value;
  return parse_value(*keyword, *record, value);
}

// Cuts the comment and the surrounding blanks of a line in place.
char* trim_line(char* line) {
  char* semi = std::strchr(line, ';');
  if (semi != nullptr) *semi = '\0';
  std::size_t n = std::strlen(line);
  while (n > 0 && (line[n - 1] == ' ' || line[n - 1] == '\t' || line[n - 1] == '\r' || line[n - 1] == '\n')) --n;
  line[n] = '\0';
  while (is_blank(*line)) ++line;
  return line;
}

// Reading state of one file.
struct reader {
  const ini_tools__section* sections;
  const ini_tools__keyword* keywords;
  const ini_tools__error_cb& error_cb;
  ini_tools__value* table;
  u16 section = 0;
  u16 element_count = 0;
  u16 element_limit = 65535;
  bool element_open = false;
  bool element_has_value = false;

  // Returns 0 to go on, else the result of the reading.
  u8 handle(char* raw) {
    char* line = trim_line(raw);
    if (*line == '\0') return 0;

    if (line[0] == '[') {
      bool array = line[1] == '[';
      const char* name = line + (array ? 2 : 1);
      const char* close = std::strchr(name, ']');
      bool header = close != nullptr && (!array || close[1] == ']');
      if (header) {
        std::string section_name(name, std::size_t(close - name));
        for (const ini_tools__section* s = sections; s != nullptr && s->section_id != 0; ++s) {
          bool is_array = (s->section_id & INI_TOOLS__ARRAY_SECTION) != 0;
          if (is_array != array || !ini_tools__names_match(section_name.c_str(), s->name)) continue;
          if (array && element_open) {
            // A new array section cannot start inside an open element.
            report(error_cb, "Array not closed: %s", line);
            return INI_TOOLS__ARRAY_ERROR;
          }
          section = s->section_id;
          if (array) {
            element_count = 0;
            element_limit = 65535;
          }
          return 0;
        }
      }
    }

    u16 element = INI_TOOLS__NO_ELEMENT;
    if (section & INI_TOOLS__ARRAY_SECTION) {
      if (!element_open) {
        if (std::strcmp(line, "{") == 0) {
          ++element_count;
          if (element_count > element_limit) {
            report(error_cb, "Too much array into one Array section: %s", line);
            return INI_TOOLS__ARRAY_ERROR;
          }
          element_open = true;
          element_has_value = false;
          return 0;
        }
        report(error_cb, "Wrong array: %s", line);
        return INI_TOOLS__ARRAY_ERROR;
      }
      if (std::strcmp(line, "}") == 0) {
        element_open = false;
        if (!element_has_value) {
          report(error_cb, "Empty array: %s", line);
          return INI_TOOLS__ARRAY_ERROR;
        }
        return 0;
      }
      element = static_cast<u16>(element_count - 1);
    } else {
      if (element_open) {
        report(error_cb, "Array not closed: %s", line);
        return INI_TOOLS__ARRAY_ERROR;
      }
      element_count = 0;
      element_limit = 65535;
    }

    ini_tools__array* array = nullptr;
    u8 result = parse_keyword_line(line, section, element, keywords, table, &array);
    switch (result) {
      case kLineIgnored:
      case kLineStored:
        if (element != INI_TOOLS__NO_ELEMENT && array != nullptr) {
          element_has_value = true;
          array->count = element_count;
          element_limit = array->max;
        }
        return 0;
      case INI_TOOLS__UNKNOWN_KEYWORD: report(error_cb, "Unknown keyword: %s", line); break;
      case INI_TOOLS__BAD_PARAMETER: report(error_cb, "Bad parameter: %s", line); break;
      case INI_TOOLS__INTERNAL_ERR_1: report(error_cb, "Internal error (INI_TOOLS__INTERNAL_ERR_1): %s", line); break;
      case INI_TOOLS__INTERNAL_ERR_2: report(error_cb, "Internal error (INI_TOOLS__INTERNAL_ERR_2): %s", line); break;
      case INI_TOOLS__ERR_MEM_ALLOC:
        report(error_cb, "Memory allocation error (INI_TOOLS__ERR_MEM_ALLOC): %s", line);
        break;
      default: break;
    }
    return result;
  }
};

}  // namespace

u8 ini_tools__read_cfg_stream(std::FILE* stream, const char* file_name, const ini_tools__section* sections,
                              const ini_tools__keyword* keywords, const ini_tools__error_cb& error_cb,
                              ini_tools__value* table) {
  reader r{sections, keywords, error_cb, table};
  char line[kLineMax + 1];
  for (;;) {
    // One piece: up to the end of the line, or kLineMax characters.
    std::size_t n = 0;
    bool got_any = false;
    bool end_mark = false;
    while (n < kLineMax) {
      int c = std::getc(stream);
      if (c == EOF) break;
      got_any = true;
      if (c == 0x1A) {
        end_mark = true;
        break;
      }
      line[n++] = static_cast<char>(c);
      if (c == '\n') break;
    }
    if (std::ferror(stream)) {
      report(error_cb, "Can't read configuration file: %s", file_name);
      return INI_TOOLS__CANT_READ;
    }
    if (!got_any) return INI_TOOLS__READ_DONE;
    line[n] = '\0';
    // A NUL byte would hide the rest of the piece; it counts as a blank.
    for (std::size_t i = 0; i < n; ++i) {
      if (line[i] == '\0') line[i] = ' ';
    }
    u8 result = r.handle(line);
    if (result != 0) return result;
    if (end_mark) return INI_TOOLS__READ_DONE;
  }
}

u8 ini_tools__read_cfg_file(const char* file_name, const ini_tools__section* sections,
                            const ini_tools__keyword* keywords, const ini_tools__error_cb& error_cb,
                            ini_tools__value* table) {
  std::FILE* f = std::fopen(file_name, "rb");
  if (f == nullptr) {
    report(error_cb, "Can't open configuration file: %s", file_name);
    return INI_TOOLS__CANT_OPEN;
  }
  u8 result = ini_tools__read_cfg_stream(f, file_name, sections, keywords, error_cb, table);
  (void)std::fclose(f);
  return result;
}

// ---------------------------------------------------------------------------
// Read and write by id

namespace {

// Finds the record of `id` (in element `element` of its array section).
// Returns nullptr after reporting; *error holds the result then.  A read
// reaches the elements present, a write any element of the array's area.
ini_tools__value* locate(ini_tools__value* table, u16 id, u16 element, bool for_write, const char* op,
                         const ini_tools__error_cb& cb, u8* error, ini_tools__array** array_out) {
  ini_tools__value* found = nullptr;
  for (ini_tools__value* r = table; r != nullptr && r->value_id != 0; ++r) {
    if (r->value_id == id && r->value_id != INI_TOOLS__COMMENT_ID) {
      found = r;
      break;
    }
  }
  // An array value needs an element index.
  if (found == nullptr || (element == INI_TOOLS__NO_ELEMENT && is_top_record(*found))) {
    report(cb, "(%s) ID Not found", op);
    *error = INI_TOOLS__ERR_ID_NOT_FOUND;
    return nullptr;
  }
  if (element == INI_TOOLS__NO_ELEMENT) return found;
  if (!is_top_record(*found)) {
    report(cb, "(%s) Not array section", op);
    *error = INI_TOOLS__ERR_NOT_ARRAY;
    return nullptr;
  }
  ini_tools__array* a = found->value.array;
  if (a != nullptr && element >= (for_write ? a->max : a->count)) {
    // The element area holds `max` elements: writes beyond it are refused.
    if (for_write) report(cb, "(%s) Element index %u out of array (max %u)", op, element, a->max);
    *error = INI_TOOLS__ERR_ELEMENT_INDEX;
    return nullptr;
  }
  ini_tools__value* r = find_in_element(a, element, id);
  if (r == nullptr) {
    report(cb, "(%s) ID Not found", op);
    *error = INI_TOOLS__ERR_ID_NOT_FOUND;
    return nullptr;
  }
  *array_out = a;
  return r;
}

ini_tools__value* locate_kind(ini_tools__value* table, u16 id, u16 element, bool for_write, u16 kind, const char* op,
                              const ini_tools__error_cb& cb, u8* error) {
  ini_tools__array* array = nullptr;
  ini_tools__value* r = locate(table, id, element, for_write, op, cb, error, &array);
  if (r == nullptr) return nullptr;
  if (r->kind != kind) {
    report(cb, "(%s) Bad kind of parameter", op);
    *error = INI_TOOLS__ERR_BAD_KIND;
    return nullptr;
  }
  // A write beyond the elements present makes the array grow to it.
  if (for_write && array != nullptr && element >= array->count) array->count = static_cast<u16>(element + 1);
  return r;
}

// Reads `field` of the record of a kind: the record's state, or the error of
// locating it.
template <class T, class F>
u8 read_field(ini_tools__value* table, u16 id, u16 element, const ini_tools__error_cb& error_cb, const char* op,
              u16 kind, F ini_tools__datum::*field, T* out) {
  u8 error = 0;
  const ini_tools__value* r = locate_kind(table, id, element, false, kind, op, error_cb, &error);
  if (r == nullptr) return error;
  *out = r->value.*field;
  return r->state;
}

// Overwrites `field` of the record of a kind.
template <class T, class F>
u8 write_field(ini_tools__value* table, u16 id, u16 element, const ini_tools__error_cb& error_cb, const char* op,
               u16 kind, F ini_tools__datum::*field, T value) {
  u8 error = 0;
  ini_tools__value* r = locate_kind(table, id, element, true, kind, op, error_cb, &error);
  if (r == nullptr) return error;
  r->value.*field = value;
  r->state = INI_TOOLS__OVERWRITTEN;
  return INI_TOOLS__OVERWRITTEN;
}

// Overwrites the text of the record of a kind with a copy of `value`.
u8 write_text(ini_tools__value* table, u16 id, u16 element, const ini_tools__error_cb& error_cb, const char* op,
              u16 kind, const char* value) {
  u8 error = 0;
  ini_tools__value* r = locate_kind(table, id, element, true, kind, op, error_cb, &error);
  if (r == nullptr) return error;
  char* copy = nullptr;
  if (value != nullptr) {
    copy = copy_text(value, std::strlen(value));
    if (copy == nullptr) {
      release_record(*r);
      r->value.text = nullptr;
      r->state = INI_TOOLS__UNDEFINED;
      report(error_cb, "(%s) Ini_tools__malloc: Can't alloc memory", op);
      return INI_TOOLS__ERR_ALLOC;
    }
  }
  store_text(*r, copy, INI_TOOLS__OVERWRITTEN);
  return INI_TOOLS__OVERWRITTEN;
}

}  // namespace

u8 ini_tools__read_bool(ini_tools__value* table, u16 id, u16 element, const ini_tools__error_cb& error_cb, u8* out) {
  return read_field(table, id, element, error_cb, "ini_tools__read_bool", INI_TOOLS__BOOL, &ini_tools__datum::byte,
                    out);
}

u8 ini_tools__read_file(ini_tools__value* table, u16 id, u16 element, const ini_tools__error_cb& error_cb,
                        const char** out) {
  return read_field(table, id, element, error_cb, "ini_tools__read_file", INI_TOOLS__FILE, &ini_tools__datum::text,
                    out);
}

u8 ini_tools__read_str_id(ini_tools__value* table, u16 id, u16 element, const ini_tools__error_cb& error_cb, u16* out) {
  return read_field(table, id, element, error_cb, "ini_tools__read_str_id", INI_TOOLS__STR_ID, &ini_tools__datum::id,
                    out);
}

u8 ini_tools__read_num(ini_tools__value* table, u16 id, u16 element, const ini_tools__error_cb& error_cb, u32* out) {
  return read_field(table, id, element, error_cb, "ini_tools__read_num", INI_TOOLS__NUM, &ini_tools__datum::num, out);
}

u8 ini_tools__read_string(ini_tools__value* table, u16 id, u16 element, const ini_tools__error_cb& error_cb,
                          const char** out) {
  return read_field(table, id, element, error_cb, "ini_tools__read_string", INI_TOOLS__STRING, &ini_tools__datum::text,
                    out);
}

u8 ini_tools__read_ip_add(ini_tools__value* table, u16 id, u16 element, const ini_tools__error_cb& error_cb,
                          ini_tools__ip* out) {
  u8 error = 0;
  const ini_tools__value* r =
      locate_kind(table, id, element, false, INI_TOOLS__IP_ADD, "ini_tools__read_ip_add", error_cb, &error);
  if (r == nullptr) return error;
  *out = r->value.ip != nullptr ? *r->value.ip : ini_tools__ip{INI_TOOLS__IP_NONE, 0};
  return r->state;
}

u8 ini_tools__read_bfi(ini_tools__value* table, u16 id, u16 element, const ini_tools__error_cb& error_cb, u32* out) {
  return read_field(table, id, element, error_cb, "ini_tools__read_bfi", INI_TOOLS__BFI, &ini_tools__datum::num, out);
}

u8 ini_tools__read_char(ini_tools__value* table, u16 id, u16 element, const ini_tools__error_cb& error_cb, u8* out) {
  return read_field(table, id, element, error_cb, "ini_tools__read_char", INI_TOOLS__CHAR, &ini_tools__datum::byte,
                    out);
}

u8 ini_tools__write_bool(ini_tools__value* table, u16 id, u16 element, u8 value, const ini_tools__error_cb& error_cb) {
  return write_field(table, id, element, error_cb, "ini_tools__write_bool", INI_TOOLS__BOOL, &ini_tools__datum::byte,
                     value);
}

u8 ini_tools__write_file(ini_tools__value* table, u16 id, u16 element, const char* value,
                         const ini_tools__error_cb& error_cb) {
  return write_text(table, id, element, error_cb, "ini_tools__write_file", INI_TOOLS__FILE, value);
}

u8 ini_tools__write_str_id(ini_tools__value* table, u16 id, u16 element, u16 value,
                           const ini_tools__error_cb& error_cb) {
  return write_field(table, id, element, error_cb, "ini_tools__write_str_id", INI_TOOLS__STR_ID, &ini_tools__datum::id,
                     value);
}

u8 ini_tools__write_num(ini_tools__value* table, u16 id, u16 element, u32 value, const ini_tools__error_cb& error_cb) {
  return write_field(table, id, element, error_cb, "ini_tools__write_num", INI_TOOLS__NUM, &ini_tools__datum::num,
                     value);
}

u8 ini_tools__write_string(ini_tools__value* table, u16 id, u16 element, const char* value,
                           const ini_tools__error_cb& error_cb) {
  return write_text(table, id, element, error_cb, "ini_tools__write_string", INI_TOOLS__STRING, value);
}

u8 ini_tools__write_ip_add(ini_tools__value* table, u16 id, u16 element, const ini_tools__ip& value,
                           const ini_tools__error_cb& error_cb) {
  u8 error = 0;
  ini_tools__value* r =
      locate_kind(table, id, element, true, INI_TOOLS__IP_ADD, "ini_tools__write_ip_add", error_cb, &error);
  if (r == nullptr) return error;
  auto* ip = static_cast<ini_tools__ip*>(engine_alloc(sizeof(ini_tools__ip)));
  if (ip == nullptr) {
    report(error_cb, "(ini_tools__write_ip_add) Ini_tools__malloc: Can't alloc memory");
    return INI_TOOLS__ERR_MEM_ALLOC;
  }
  *ip = value;
  release_record(*r);
  r->value.ip = ip;
  r->owned = 1;
  r->state = INI_TOOLS__OVERWRITTEN;
  return INI_TOOLS__OVERWRITTEN;
}

u8 ini_tools__write_bfi(ini_tools__value* table, u16 id, u16 element, u32 value, const ini_tools__error_cb& error_cb) {
  return write_field(table, id, element, error_cb, "ini_tools__write_bfi", INI_TOOLS__BFI, &ini_tools__datum::num,
                     value);
}
