// The engine of the configuration copies (foip_param_copy.h): reads, writes
// and checks on one value table, and the bindings that carry a keyword of the
// table to a field of a configuration record.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <string>
#include <type_traits>

#include "common/program_log.h"
#include "session/config/app_foip_mngt.h"
#include "session/config/foip_param.h"
#include "session/config/foip_param_copy.h"
#include "session/config/ini_tools.h"
#include "session/config/ini_tools_text.h"

namespace param_copy {

constexpr u16 NO = INI_TOOLS__NO_ELEMENT;

// Reads, writes and checks on one value table, with the refusal texts going to
// the error callback and to the program log behind the routine's prefix.
class copier {
 public:
  copier(ini_tools__value* table, const ini_tools__keyword* keywords, const ini_tools__error_cb& cb,
         const char* log_prefix, std::size_t message_room)
      : t_(table), kw_(keywords), cb_(cb), prefix_(log_prefix), room_(message_room) {}

  // Reports a refusal; always false.
  bool refuse(int site, const char* fmt, ...) __attribute__((format(printf, 3, 4))) {
    char message[512];
    va_list args;
    va_start(args, fmt);
    (void)std::vsnprintf(message, room_ < sizeof message ? room_ : sizeof message, fmt, args);
    va_end(args);
    ProgramLog(1, "%s %d : %s", prefix_, site, message);
    if (cb_) cb_(message);
    return false;
  }

  // The first name of the keyword that sets a value id.
  const char* name(u16 id) const {
    for (const ini_tools__keyword* k = kw_; k->names != nullptr; ++k) {
      if (k->value_id != id) continue;
      const char* n = ini_tools_text::name_of_kind(k, INI_TOOLS__VERBOSE_NAME);
      return n != nullptr ? n : ini_tools_text::first_name(k);
    }
    return "?";
  }

  // Reads by kind; false after an engine error (reported by the engine).
  bool rd_bool(u16 id, u8& v, u8* state = nullptr, u16 el = NO) {
    return done(ini_tools__read_bool(t_, id, el, cb_, &v), state);
  }
  bool rd_num(u16 id, u32& v, u8* state = nullptr, u16 el = NO) {
    return done(ini_tools__read_num(t_, id, el, cb_, &v), state);
  }
  bool rd_id(u16 id, u16& v, u8* state = nullptr, u16 el = NO) {
    return done(ini_tools__read_str_id(t_, id, el, cb_, &v), state);
  }
  bool rd_bfi(u16 id, u32& v, u8* state = nullptr, u16 el = NO) {
    return done(ini_tools__read_bfi(t_, id, el, cb_, &v), state);
  }
  bool rd_char(u16 id, u8& v, u8* state = nullptr, u16 el = NO) {
    return done(ini_tools__read_char(t_, id, el, cb_, &v), state);
  }
  // Texts: null for none; an undefined value reads as none.
  bool rd_string(u16 id, const char*& v, u8* state = nullptr, u16 el = NO) {
    return done(ini_tools__read_string(t_, id, el, cb_, &v), state);
  }
  bool rd_file(u16 id, const char*& v, u8* state = nullptr, u16 el = NO) {
    return done(ini_tools__read_file(t_, id, el, cb_, &v), state);
  }
  bool rd_ip(u16 id, ini_tools__ip& v, u8* state = nullptr, u16 el = NO) {
    return done(ini_tools__read_ip_add(t_, id, el, cb_, &v), state);
  }
  // Any kind of value as a number (bool, char, str_id, num, bfi).
  bool rd_any(u16 id, u32& v, u8* state) {
    const ini_tools__value* r = find(id, NO);
    if (r == nullptr) return refuse(0, "(Ini_tools__read) ID Not found");
    switch (r->kind) {
      case INI_TOOLS__BOOL:
      case INI_TOOLS__CHAR: {
        u8 b = 0;
        if (!(r->kind == INI_TOOLS__BOOL ? rd_bool(id, b, state) : rd_char(id, b, state))) return false;
        v = b;
        return true;
      }
      case INI_TOOLS__STR_ID: {
        u16 s = 0;
        if (!rd_id(id, s, state)) return false;
        v = s;
        return true;
      }
      case INI_TOOLS__NUM: return rd_num(id, v, state);
      case INI_TOOLS__BFI: return rd_bfi(id, v, state);
      default: return refuse(0, "(Ini_tools__read) Bad kind of parameter");
    }
  }

  // A value that must be defined: refusal when the read gave state 1.
  bool required(int site, u16 id, u8 state) {
    if (state == INI_TOOLS__UNDEFINED) return refuse(site, "\"%s\" not initialized", name(id));
    return true;
  }

  bool ignore(u16 id, u16 el = NO) {
    ini_tools__value* r = find(id, el);
    if (r == nullptr) {
      if (cb_) cb_("(Ini_tools__set_ignored) ID Not found");
      return false;
    }
    r->state = INI_TOOLS__IGNORED;
    return true;
  }
  void ignore_all(std::initializer_list<u16> ids, u16 el = NO) {
    for (u16 id : ids) ignore(id, el);
  }

  bool wr_num(u16 id, u32 v) { return ini_tools__write_num(t_, id, NO, v, cb_) == INI_TOOLS__OVERWRITTEN; }
  bool wr_bfi(u16 id, u32 v) { return ini_tools__write_bfi(t_, id, NO, v, cb_) == INI_TOOLS__OVERWRITTEN; }
  bool wr_id(u16 id, u16 v) { return ini_tools__write_str_id(t_, id, NO, v, cb_) == INI_TOOLS__OVERWRITTEN; }
  bool wr_bool(u16 id, u8 v) { return ini_tools__write_bool(t_, id, NO, v, cb_) == INI_TOOLS__OVERWRITTEN; }
  bool wr_string(u16 id, const char* v) {
    return ini_tools__write_string(t_, id, NO, v, cb_) == INI_TOOLS__OVERWRITTEN;
  }
  bool wr_file(u16 id, const char* v, u16 el = NO) {
    return ini_tools__write_file(t_, id, el, v, cb_) == INI_TOOLS__OVERWRITTEN;
  }
  bool wr_ip(u16 id, const om_ip_addr_t& a) {
    ini_tools__ip ip;
    ip.family = INI_TOOLS__IP_V4;
    ip.addr = foip__get_ipv4(a);
    return ini_tools__write_ip_add(t_, id, NO, ip, cb_) == INI_TOOLS__OVERWRITTEN;
  }

  // A number kept in a narrower field: a larger value is cut to the field's
  // largest, written back and logged.
  u32 narrow(int site, u16 id, u32 v, u32 max) {
    if (v <= max) return v;
    ProgramLog(1, "%s %d : \"%s\" %lu reduced to %lu", prefix_, site, name(id), static_cast<unsigned long>(v),
               static_cast<unsigned long>(max));
    write_back_number(id, max);
    return max;
  }

  // Prefixes a file name with a path (path + name, at most 99 characters)
  // into `out`; the result is written back to the table and logged.  A result
  // that does not fit is refused.
  bool prefixed(int site, u16 id, const char* path, const char* file, char (&out)[FOIP__FNAME_MAX_LEN], u16 el = NO) {
    out[0] = '\0';
    if (file == nullptr || file[0] == '\0') return true;
    std::string full = (path != nullptr ? std::string(path) : std::string()) + file;
    if (full.size() >= FOIP__FNAME_MAX_LEN)
      return refuse(site, "\"%s\" is too long (%zu characters, at most %zu)", name(id), full.size(),
                    FOIP__FNAME_MAX_LEN - 1);
    foip__copy_text(out, full.c_str());
    if (path != nullptr && path[0] != '\0') {
      wr_file(id, full.c_str(), el);
      ProgramLog(1, "%s %d : %s = %s", prefix_, site, name(id), full.c_str());
    }
    return true;
  }

  ini_tools__value* find(u16 id, u16 el) {
    for (ini_tools__value* r = t_; r->value_id != 0; ++r) {
      if (r->value_id != id) continue;
      bool top = (r->section_id & INI_TOOLS__ARRAY_SECTION) != 0;
      if (el == NO) return top ? nullptr : r;
      if (!top || r->value.array == nullptr) return nullptr;
      ini_tools__array* a = r->value.array;
      if (el >= a->max) return nullptr;
      for (ini_tools__value* e = a->elements + std::size_t(el) * a->records_per_element; e->value_id != 0; ++e)
        if (e->value_id == id) return e;
      return nullptr;
    }
    return nullptr;
  }

  // Elements present in the array section of a value id.
  u16 element_count(u16 id) {
    for (ini_tools__value* r = t_; r->value_id != 0; ++r) {
      if (r->value_id == id && (r->section_id & INI_TOOLS__ARRAY_SECTION) != 0 && r->value.array != nullptr)
        return r->value.array->count;
    }
    return 0;
  }

  ini_tools__value* table() { return t_; }
  const ini_tools__error_cb& cb() const { return cb_; }

 private:
  static bool done(u8 result, u8* state) {
    if (result > INI_TOOLS__OVERWRITTEN) return false;
    if (state != nullptr) *state = result;
    return true;
  }
  void write_back_number(u16 id, u32 v) {
    ini_tools__value* r = find(id, NO);
    if (r == nullptr) return;
    if (r->kind == INI_TOOLS__NUM) wr_num(id, v);
    else if (r->kind == INI_TOOLS__BFI) wr_bfi(id, v);
    else if (r->kind == INI_TOOLS__STR_ID) wr_id(id, static_cast<u16>(v));
  }

  ini_tools__value* t_;
  const ini_tools__keyword* kw_;
  const ini_tools__error_cb& cb_;
  const char* prefix_;
  std::size_t room_;
};

inline bool empty_text(const char* t) { return t == nullptr || t[0] == '\0'; }
inline bool has_ip(const ini_tools__ip& ip) { return ip.family == INI_TOOLS__IP_V4; }

// The runtime's trace mask, through the hooks when set.
u32 get_trace_mask();
void set_trace_mask(u32 v);

// Fills an address record from a domain name, an IP record and a port.
void set_addr(foip__full_ip_addr& a, const char* fqdn, const ini_tools__ip& ip, u16 port);

// The address of a (domain name, IP address) keyword pair: both empty gives
// the host's own address, written back to the IP keyword; both set is
// refused with the two given names (no names: both set is taken as is).
bool addr_pair(copier& c, int site, u16 fqdn_id, u16 ip_id, const char* fqdn_name, const char* ip_name,
               foip__full_ip_addr& out, u16 port);

// ---------------------------------------------------------------------------
// Bindings: a keyword of a value table -> a field of the records that a copy
// fills, with the conversion on the way.  A copy is one table of rows read in
// order by copy_rows: a row binds one keyword to one field, or names a rule
// for what depends on several keywords (addresses, branches, derived values).

// A field of a record: where it is and its size (a number of 1, 2 or 4
// bytes, or the room of a text).
struct field_ref {
  void* at;
  std::size_t size;
  template <class F>
  static field_ref of(F& f) {
    static_assert(std::is_array_v<F> || sizeof f == 1 || sizeof f == 2 || sizeof f == 4);
    return {&f, sizeof f};
  }
};

// How a keyword is read and what its field receives.
enum class conv : u8 {
  flag,     // TRUE / FALSE -> 1 / 0
  id,       // a named value -> its number
  num,      // a number
  bfi,      // a bit field
  any,      // whatever kind the keyword has, as a number
  seconds,  // a number of seconds -> milliseconds
  text,     // a string (none: empty) -> the text field
  file,     // a file name (none: empty) -> the text field
  phone,    // a phone number through the filter -> the text field (written back when changed)
};

// Options of a binding.
enum : u8 {
  REQUIRED = 1,      // an undefined keyword is refused at the row's site
  IF_UNDEFINED = 2,  // an undefined keyword gives the row's value
  NARROW = 4,        // a number larger than its field is cut to the field's largest, written back and logged
};

// One row of a copy: a binding (keyword `id` -> `field`, read `how`), or a
// rule when `rule` is set.
template <class T>
struct row {
  u16 id = 0;
  conv how = conv::num;
  field_ref (*field)(T&) = nullptr;
  u8 options = 0;
  u32 value = 0;  // IF_UNDEFINED
  u8 site = 0;    // refusal and log site
  u16 bit = 0;    // capability bit (T.38 capability rows)
  bool (*rule)(copier&, T&) = nullptr;
};

template <class T>
constexpr row<T> rule(bool (*fn)(copier&, T&)) {
  row<T> r;
  r.rule = fn;
  return r;
}

inline void store(const field_ref& f, u32 v) {
  switch (f.size) {
    case 1: *static_cast<u8*>(f.at) = static_cast<u8>(v); break;
    case 2: *static_cast<u16*>(f.at) = static_cast<u16>(v); break;
    default: *static_cast<u32*>(f.at) = v; break;
  }
}

// Reads the keyword of a binding into its field; `state` (if any) receives
// the state of the value read.
template <class T>
bool bind(copier& c, const row<T>& r, T& t, u8* state = nullptr) {
  const field_ref f = r.field(t);
  u8 st = 0, small = 0;
  u16 id16 = 0;
  u32 v = 0;
  switch (r.how) {
    case conv::flag:
      if (!c.rd_bool(r.id, small, &st)) return false;
      v = small;
      break;
    case conv::id:
      if (!c.rd_id(r.id, id16, &st)) return false;
      v = id16;
      break;
    case conv::num:
    case conv::seconds:
      if (!c.rd_num(r.id, v, &st)) return false;
      break;
    case conv::bfi:
      if (!c.rd_bfi(r.id, v, &st)) return false;
      break;
    case conv::any:
      if (!c.rd_any(r.id, v, &st)) return false;
      break;
    case conv::text:
    case conv::file:
    case conv::phone: {
      const char* text = nullptr;
      if (!(r.how == conv::file ? c.rd_file(r.id, text, &st) : c.rd_string(r.id, text, &st))) return false;
      if ((r.options & REQUIRED) != 0 && !c.required(r.site, r.id, st)) return false;
      char* out = static_cast<char*>(f.at);
      if (r.how != conv::phone) {
        foip__copy_text(out, f.size, text);
      } else if (app_foip_mngt__filter_phone_number(text, out, f.size) != APP_FOIP_MNGT__PHONE_KEPT) {
        c.wr_string(r.id, out);
      }
      if (state != nullptr) *state = st;
      return true;
    }
  }
  if ((r.options & REQUIRED) != 0 && !c.required(r.site, r.id, st)) return false;
  if ((r.options & IF_UNDEFINED) != 0 && st == INI_TOOLS__UNDEFINED) v = r.value;
  if (r.how == conv::seconds) v *= 1000;
  if ((r.options & NARROW) != 0) v = c.narrow(r.site, r.id, v, f.size == 1 ? 0xFF : f.size == 2 ? 0xFFFF : 0xFFFFFFFF);
  store(f, v);
  if (state != nullptr) *state = st;
  return true;
}

// The generic copy: every row in order; the first refusal ends it.
template <class T, std::size_t N>
bool copy_rows(copier& c, const row<T> (&rows)[N], T& t) {
  for (const row<T>& r : rows)
    if (!(r.rule != nullptr ? r.rule(c, t) : bind(c, r, t))) return false;
  return true;
}

template <class Rows>
void ignore_rows(copier& c, const Rows& rows) {
  for (const auto& r : rows) c.ignore(r.id);
}

}  // namespace param_copy
