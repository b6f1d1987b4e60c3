// Fuzz target of the configuration file reader: the input is read as a file
// of glb.cfg (first byte even) or of a session (first byte odd); the table is
// displayed and written as a skeleton (bare, or with comments: bit 1) with
// the values read.  The skeleton, without the "...." placeholder of a second
// array element, the empty lines of undefined keywords (which a user must
// fill in) and lines longer than the reader takes, is a configuration file:
// read again into a fresh table it must give the same values (every plain
// record, and the first element of every array section, that the skeleton
// writes on a line of its own).  All of it in memory.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "session/config/app_foip_glb_cfg.h"
#include "session/config/app_foip_session_cfg.h"
#include "session/config/ini_tools.h"
#include "session/config/ini_tools_text.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

struct file_kind {
  const ini_tools__section* sections;
  const ini_tools__keyword* keywords;
  ini_tools__table (*fresh)();
};

uint8_t read_text(const file_kind& f, const char* text, size_t size, ini_tools__table& table, std::string* error) {
  // fmemopen refuses an empty buffer: an empty file reads as one blank line.
  static char blank[] = "\n";
  std::FILE* in = size != 0 ? fmemopen(const_cast<char*>(text), size, "rb") : fmemopen(blank, 1, "rb");
  if (in == nullptr) return 0;
  std::size_t errors = 0;
  const uint8_t r = ini_tools__read_cfg_stream(
      in, "fuzz.cfg", f.sections, f.keywords,
      [&](const char* m) {
        errors += m[0] != '\0';
        *error = m;
      },
      table.values());
  (void)std::fclose(in);                                         // read only
  check(r == INI_TOOLS__READ_DONE ? errors == 0 : errors == 1);  // each failure reports once
  return r;
}

// The skeleton writes one element of an array section and then a
// placeholder for more; what the reader takes is that one element.
std::string without_placeholders(std::string s) {
  const std::string open =
      "    }\n    {\n        ....\n        ....\n    }\n    (Max number of array \"{ }\" into array section = ";
  for (std::size_t at = s.find(open); at != std::string::npos; at = s.find(open, at)) {
    const std::size_t end = s.find(")\n", at + open.size());
    check(end != std::string::npos);
    s.replace(at, end + 2 - at, "    }\n");
  }
  return s;
}

// An element left with no keyword line (all of its keywords undefined) is
// taken out whole: the reader refuses an empty element.
std::string without_empty_elements(const std::string& s) {
  std::string out, element;
  bool open = false, has_value = false;
  for (std::size_t at = 0; at < s.size();) {
    std::size_t end = s.find('\n', at);
    end = end == std::string::npos ? s.size() : end + 1;
    const std::string line = s.substr(at, end - at);
    at = end;
    const std::size_t first = line.find_first_not_of(" \t\r\n");
    const char c = first == std::string::npos ? ';' : line[first];
    if (!open && c == '{' && line.find_first_not_of(" \t\r\n", first + 1) == std::string::npos) {
      open = true;
      has_value = false;
      element = line;
    } else if (open) {
      element += line;
      if (c == '}') {
        if (has_value) out += element;
        open = false;
      } else if (c != ';') {
        has_value = true;
      }
    } else {
      out += line;
    }
  }
  return out + (open ? element : "");
}

bool same_text(const char* a, const char* b) {
  if (a == nullptr || b == nullptr) return (a == nullptr || *a == 0) && (b == nullptr || *b == 0);
  return std::strcmp(a, b) == 0;
}

struct skeleton_view {
  const ini_tools__keyword* keywords;
  int mode;
  // The name on the record's keyword line, or null when it has none (the
  // commented skeleton writes a keyword without verbose name as a comment).
  const char* line_name(const ini_tools__value& r) const {
    const ini_tools__keyword* k = ini_tools_text::find_keyword(keywords, r);
    const char* verbose = ini_tools_text::name_of_kind(k, INI_TOOLS__VERBOSE_NAME);
    if (mode == 1 || verbose != nullptr) return verbose;
    return ini_tools_text::name_of_kind(k, INI_TOOLS__C_PATH_NAME);
  }
  bool written(const ini_tools__value& r) const {
    return r.state != INI_TOOLS__IGNORED && r.state != INI_TOOLS__COMMENT && r.state != INI_TOOLS__UNDEFINED &&
           line_name(r) != nullptr;
  }
  // The start of the record's keyword line ("" when it has none).
  std::string line_start(const ini_tools__value& r, const char* indent) const {
    const char* name = line_name(r);
    if (name == nullptr || r.state == INI_TOOLS__IGNORED || r.state == INI_TOOLS__COMMENT) return {};
    return mode == 0 ? ini_tools_text::format("    %s%-50s = ", indent, name)
                     : ini_tools_text::format("    %s%s = ", indent, name);
  }
};

using skipped_set = std::set<const ini_tools__value*>;

void check_same_record(const skeleton_view& v, const skipped_set& skipped, const ini_tools__value& a,
                       const ini_tools__value& b) {
  check(a.value_id == b.value_id && a.kind == b.kind && a.section_id == b.section_id);
  if (!v.written(a) || skipped.count(&a)) return;
  check(b.state == INI_TOOLS__USER || b.state == INI_TOOLS__USER_EMPTY);
  switch (a.kind) {
    case INI_TOOLS__BOOL:
    case INI_TOOLS__CHAR: check(a.value.byte == b.value.byte); break;
    case INI_TOOLS__STR_ID: check(a.value.id == b.value.id); break;
    case INI_TOOLS__NUM:
    case INI_TOOLS__BFI: check(a.value.num == b.value.num); break;
    case INI_TOOLS__FILE:
    case INI_TOOLS__STRING: check(same_text(a.value.text, b.value.text)); break;
    case INI_TOOLS__IP_ADD: {
      const bool ia = a.value.ip != nullptr && a.value.ip->family == INI_TOOLS__IP_V4;
      const bool ib = b.value.ip != nullptr && b.value.ip->family == INI_TOOLS__IP_V4;
      check(ia == ib && (!ia || a.value.ip->addr == b.value.ip->addr));
      break;
    }
    default: break;
  }
}

// Calls f(record, indent) for every plain record and every record of the
// first element of each array section.
template <typename F>
void each_written_record(const ini_tools__value* t, F f) {
  for (; t->value_id != 0; ++t) {
    if (!(t->section_id & INI_TOOLS__ARRAY_SECTION) || t->value_id == INI_TOOLS__COMMENT_ID) {
      f(*t, "");
      continue;
    }
    const ini_tools__array* a = t->value.array;
    if (a == nullptr || a->elements == nullptr) continue;
    for (const ini_tools__value* e = a->elements; e->value_id != 0; ++e) f(*e, "    ");
  }
}

// Takes out of the skeleton the empty keyword lines of undefined records
// (which a user must fill in) and keyword lines longer than the reader takes
// (it reads lines of up to 254 characters, and longer ones in pieces: a value
// that fitted its line in the input may not fit behind a longer or padded
// name); the records of the latter go to `skipped`.
std::string without_unreadable_lines(const skeleton_view& v, const ini_tools__value* table, const std::string& s,
                                     skipped_set* skipped) {
  struct line {
    std::size_t at, len;
    bool empty_value, too_long, drop;
  };
  std::vector<line> lines;
  for (std::size_t at = 0; at < s.size();) {
    std::size_t end = s.find('\n', at);
    if (end == std::string::npos) end = s.size();
    const std::string_view text(s.data() + at, end - at);
    const bool empty_value = (text.size() >= 3 && text.substr(text.size() - 3) == " = ") ||
                             text.find(" =     ; C Parameter:") != std::string_view::npos;
    lines.push_back({at, end - at, empty_value, text.size() > 254, false});
    at = end + 1;
  }
  if (std::none_of(lines.begin(), lines.end(), [](const line& l) { return l.empty_value || l.too_long; })) return s;
  each_written_record(table, [&](const ini_tools__value& r, const char* indent) {
    const std::string start = v.line_start(r, indent);
    if (start.empty()) return;
    for (line& l : lines) {
      if (!(l.empty_value || l.too_long) || s.compare(l.at, start.size(), start) != 0) continue;
      if (r.state == INI_TOOLS__UNDEFINED && l.empty_value) {
        l.drop = true;
      } else if (r.state != INI_TOOLS__UNDEFINED && l.too_long) {
        l.drop = true;
        skipped->insert(&r);
      }
    }
  });
  std::string out;
  for (const line& l : lines)
    if (!l.drop) out.append(s, l.at, l.len).append("\n");
  return out;
}

void check_same_values(const skeleton_view& v, const skipped_set& skipped, const ini_tools__value* a,
                       const ini_tools__value* b) {
  for (; a->value_id != 0; ++a, ++b) {
    check(b->value_id == a->value_id);
    if (!(a->section_id & INI_TOOLS__ARRAY_SECTION) || a->value_id == INI_TOOLS__COMMENT_ID) {
      check_same_record(v, skipped, *a, *b);
      continue;
    }
    // An array section: its first element.
    const ini_tools__array* x = a->value.array;
    const ini_tools__array* y = b->value.array;
    if (x == nullptr || y == nullptr || x->elements == nullptr || y->elements == nullptr) continue;
    check(y->count <= 1 && x->records_per_element == y->records_per_element);
    for (std::size_t i = 0; x->elements[i].value_id != 0; ++i)
      check_same_record(v, skipped, x->elements[i], y->elements[i]);
  }
  check(b->value_id == 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const bool session = (data[0] & 1) != 0;
  const int mode = (data[0] >> 1) & 1;
  const file_kind f =
      session
          ? file_kind{app_foip_ini__session_sections, app_foip_ini__session_keywords, app_foip_ini__new_session_table}
          : file_kind{app_foip_ini__glb_sections, app_foip_ini__glb_keywords, app_foip_ini__new_glb_table};
  ini_tools__table table = f.fresh();
  std::string error;
  const uint8_t result = read_text(f, reinterpret_cast<const char*>(data + 1), size - 1, table, &error);
  if (result == 0) return 0;

  std::size_t bytes = 0;
  auto count = [&](const char* text) -> uint8_t {
    bytes += std::strlen(text);
    return INI_TOOLS__OUTPUT_OK;
  };
  check(ini_tools__display_values(table.values(), f.sections, f.keywords, count) == INI_TOOLS__OUTPUT_OK);
  std::string skeleton;
  auto keep = [&](const char* text) -> uint8_t {
    skeleton += text;
    return INI_TOOLS__OUTPUT_OK;
  };
  ini_tools__table copy = table;
  check(ini_tools__write_skeleton(mode, copy.values(), f.sections, f.keywords, keep) == INI_TOOLS__OUTPUT_OK);
  // A writer told to stop writes nothing more.
  std::size_t calls = 0;
  ini_tools__write_skeleton(mode, copy.values(), f.sections, f.keywords, [&](const char*) -> uint8_t {
    return ++calls == 3 ? INI_TOOLS__OUTPUT_STOP : INI_TOOLS__OUTPUT_OK;
  });
  check(calls <= 3);

  const skeleton_view view{f.keywords, mode};
  std::string text = without_placeholders(skeleton);
  skipped_set skipped;
  text = without_unreadable_lines(view, table.values(), text, &skipped);
  text = without_empty_elements(text);
  ini_tools__table again = f.fresh();
  std::string again_error;
  const uint8_t r2 = read_text(f, text.data(), text.size(), again, &again_error);
  if (r2 != INI_TOOLS__READ_DONE) {
    (void)std::fprintf(stderr, "skeleton read back: %u %s\n", r2, again_error.c_str());
    __builtin_trap();
  }
  check_same_values(view, skipped, table.values(), again.values());
  return 0;
}
