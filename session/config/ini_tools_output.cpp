// Keyword engine writers: display of a value table, skeleton and help.
#include <algorithm>
#include <cstring>
#include <optional>
#include <string>

#include "platform/int_types.h"
#include "session/config/ini_tools.h"
#include "session/config/ini_tools_text.h"

using ini_tools_text::format;

namespace {

bool is_array_section(u16 id) { return (id & INI_TOOLS__ARRAY_SECTION) != 0; }

bool is_top_record(const ini_tools__value& r) {
  return is_array_section(r.section_id) && r.value_id != INI_TOOLS__COMMENT_ID;
}

bool displayed(const ini_tools__value& r) { return r.state != INI_TOOLS__IGNORED && r.state != INI_TOOLS__COMMENT; }

// Writes texts through the output callback until it asks to stop.
struct writer {
  const ini_tools__output_cb& output;
  bool stopped = false;
  void put(const std::string& text) {
    if (stopped) return;
    if (output && output(text.c_str()) == INI_TOOLS__OUTPUT_STOP) stopped = true;
  }
  u8 result() const { return stopped ? INI_TOOLS__OUTPUT_STOP : INI_TOOLS__OUTPUT_OK; }
};

std::string ip_text(const ini_tools__ip* ip) {
  if (ip == nullptr || ip->family != INI_TOOLS__IP_V4) return {};
  unsigned char b[4];
  std::memcpy(b, &ip->addr, 4);
  return format("%d.%d.%d.%d", b[0], b[1], b[2], b[3]);
}

// Current value as the display shows it (with its newline).
std::string display_text(const ini_tools__value& r, const ini_tools__keyword* k) {
  switch (r.kind) {
    case INI_TOOLS__BOOL: return r.value.byte ? "TRUE\n" : "FALSE\n";
    case INI_TOOLS__FILE: return r.value.text != nullptr ? format("%s\n", r.value.text) : "no filename\n";
    case INI_TOOLS__STR_ID: {
      const char* name = ini_tools_text::value_name(k->value_names, r.value.id);
      return name != nullptr ? format("%s\n", name) : "Error: unknown parameter\n";
    }
    case INI_TOOLS__NUM: return format("%lu\n", static_cast<unsigned long>(r.value.num));
    case INI_TOOLS__STRING: return r.value.text != nullptr ? format("\"%s\"\n", r.value.text) : "\"\"\n";
    case INI_TOOLS__IP_ADD: {
      std::string ip = ip_text(r.value.ip);
      return ip.empty() ? "empty IP address\n" : ip + "\n";
    }
    case INI_TOOLS__BFI: {
      std::string names = ini_tools_text::bfi_names(k->value_names, r.value.num);
      return names.empty() ? "Empty bit field\n" : names + "\n";
    }
    case INI_TOOLS__CHAR:
      return r.value.byte >= 0x20 ? format("'%c' 0x%02X\n", r.value.byte, r.value.byte)
                                  : format("0x%02X\n", r.value.byte);
    default: return "Error: unknown parameter\n";
  }
}

// Value of a record in the syntax the reader takes back ("" when it has none).
std::string reader_text(const ini_tools__value& r, const ini_tools__keyword* k) {
  if (r.state == INI_TOOLS__UNDEFINED || k == nullptr) return {};
  switch (r.kind) {
    case INI_TOOLS__BOOL: return r.value.byte ? "TRUE" : "FALSE";
    case INI_TOOLS__FILE: return r.value.text != nullptr ? r.value.text : "";
    case INI_TOOLS__STR_ID: {
      const char* name = ini_tools_text::value_name(k->value_names, r.value.id);
      return name != nullptr ? name : "";
    }
    case INI_TOOLS__NUM: return format("%d", static_cast<i32>(r.value.num));
    case INI_TOOLS__STRING: return r.value.text != nullptr ? format("\"%s\"", r.value.text) : "";
    case INI_TOOLS__IP_ADD: return ip_text(r.value.ip);
    case INI_TOOLS__BFI: return ini_tools_text::bfi_names(k->value_names, r.value.num);
    case INI_TOOLS__CHAR:
      return r.value.byte > 0x20 && r.value.byte < 0x7F && r.value.byte != ';' ? format("'%c'", r.value.byte)
                                                                               : format("0x%02X", r.value.byte);
    default: return {};
  }
}

// The default value a keyword's help shows: the value as the reader takes
// it, or the words for a missing one; none for an unknown kind.
std::optional<std::string> default_text(const ini_tools__value& r, const ini_tools__keyword* k) {
  const char* missing = nullptr;
  switch (r.kind) {
    case INI_TOOLS__BOOL: break;
    case INI_TOOLS__FILE: missing = "No file name"; break;
    case INI_TOOLS__STR_ID: missing = "Error: unknown parameter"; break;
    case INI_TOOLS__STRING: missing = "Empty string"; break;
    case INI_TOOLS__IP_ADD: missing = "Empty IP address"; break;
    case INI_TOOLS__BFI: missing = "Empty bit field"; break;
    case INI_TOOLS__NUM: return format("%lu", static_cast<unsigned long>(r.value.num));
    case INI_TOOLS__CHAR:
      return r.value.byte >= 0x20 ? format("'%c' 0x%02X", r.value.byte, r.value.byte) : format("0x%02X", r.value.byte);
    default: return std::nullopt;
  }
  std::string text = reader_text(r, k);
  // An empty file name is still a file name.
  const bool absent = r.kind == INI_TOOLS__FILE ? r.value.text == nullptr : text.empty();
  return absent ? std::string(missing) : text;
}

const char* state_label(u8 state) {
  switch (state) {
    case INI_TOOLS__UNDEFINED: return "(undef)      ";
    case INI_TOOLS__DEFAULT: return "(default)    ";
    case INI_TOOLS__USER:
    case INI_TOOLS__USER_EMPTY: return "(user)       ";
    default: return "(overwritten)";
  }
}

void display_record(writer& w, const ini_tools__value& r, const char* indent, std::size_t width,
                    const ini_tools__keyword* keywords) {
  std::string line = format("    %s%s", indent, state_label(r.state));
  const ini_tools__keyword* k = ini_tools_text::find_keyword(keywords, r);
  const char* name = ini_tools_text::first_name(k);
  if (name == nullptr) {
    w.put(line + " Error: unknown keyword\n");
    return;
  }
  std::size_t len = std::strlen(name);
  line += format(" %s%s = ", name, std::string(width > len ? width - len : 0, ' ').c_str());
  w.put(line + display_text(r, k));
}

std::size_t name_width(const ini_tools__value& r, const ini_tools__keyword* keywords) {
  const char* name = ini_tools_text::first_name(ini_tools_text::find_keyword(keywords, r));
  return name != nullptr ? std::strlen(name) : 0;
}

template <typename F>
void for_each_element_record(const ini_tools__array* a, u16 element, F f) {
  if (a == nullptr || a->elements == nullptr || element >= a->max) return;
  for (const ini_tools__value* e = a->elements + std::size_t(element) * a->records_per_element; e->value_id != 0; ++e)
    f(*e);
}

std::string section_bracket(const ini_tools__section* s, u16 id) {
  if (s == nullptr) return "[Error: unknown section]";
  return is_array_section(id) ? format("[[%s]]", s->name) : format("[%s]", s->name);
}

// A keyword's comment lines (";   : ...") with the indent of an array element
// put after their ";   ".
std::string indented(const char* comment, const char* indent) {
  std::string text;
  const char* p = comment;
  while (*p != '\0') {
    const char* end = std::strchr(p, '\n');
    std::size_t len = end != nullptr ? std::size_t(end - p) + 1 : std::strlen(p);
    std::string line(p, len);
    if (line.rfind(";   ", 0) == 0) line.insert(4, indent);
    text += line;
    p += len;
  }
  return text;
}

const char* comment_of(const ini_tools__value& r) {
  if (r.comment_is_function) return r.comment_fn != nullptr ? r.comment_fn() : nullptr;
  return r.comment;
}

}  // namespace

u8 ini_tools__display_values(const ini_tools__value* table, const ini_tools__section* sections,
                             const ini_tools__keyword* keywords, const ini_tools__output_cb& output) {
  writer w{output};
  std::size_t width = 0;
  for (const ini_tools__value* r = table; r->value_id != 0; ++r) {
    if (is_top_record(*r)) {
      const ini_tools__array* a = r->value.array;
      for (u16 k = 0; a != nullptr && k < a->count; ++k) {
        for_each_element_record(a, k, [&](const ini_tools__value& e) {
          if (displayed(e)) width = std::max(width, name_width(e, keywords));
        });
      }
    } else if (displayed(*r)) {
      width = std::max(width, name_width(*r, keywords));
    }
  }
  std::size_t element_width = width > 5 ? width - 4 : width;

  bool have_section = false;
  u16 section = 0;
  for (const ini_tools__value* r = table; r->value_id != 0 && !w.stopped; ++r) {
    bool top = is_top_record(*r);
    if (!top && !displayed(*r)) continue;
    if (have_section && r->section_id == section) {
      if (top) continue;  // the array was written with its first top record
    } else {
      have_section = true;
      section = r->section_id;
      const ini_tools__section* s = ini_tools_text::find_section(sections, section);
      if (s == nullptr) w.put("[Error: unknown section]\n");
      else w.put(format(is_array_section(section) ? "\n[[%s]]\n" : "\n[%s]\n", s->name));
      if (top) {
        const ini_tools__array* a = r->value.array;
        for (u16 k = 0; a != nullptr && k < a->count && !w.stopped; ++k) {
          w.put("    {\n");
          for_each_element_record(a, k, [&](const ini_tools__value& e) {
            if (displayed(e)) display_record(w, e, "    ", element_width, keywords);
          });
          w.put("    }\n");
        }
        continue;
      }
    }
    display_record(w, *r, "", width, keywords);
  }
  return w.result();
}

u8 ini_tools__write_section_help(int mode, u16 section_id, const ini_tools__value* table,
                                 const ini_tools__section* sections, const ini_tools__keyword* keywords,
                                 const ini_tools__output_cb& output) {
  writer w{output};
  const ini_tools__section* s = ini_tools_text::find_section(sections, section_id);
  std::string bracket = section_bracket(s, section_id);
  bool has_structure = s != nullptr && s->c_path_structure != nullptr && s->c_path_structure[0] != '\0';
  if (mode == 0) {
    // Padded to 50 columns when the structure's name follows.
    std::string line =
        has_structure ? format("%-50s; C \"Path\" structure : %s", bracket.c_str(), s->c_path_structure) : bracket;
    w.put(line + "\n");
    return w.result();
  }
  w.put("\n\n\n");
  w.put(";+-----------------\n");
  if (s == nullptr) {
    w.put(";: Section            : [Error: unknown section]\n\n");
    w.put(bracket + "\n\n");
    return w.result();
  }
  w.put(format(is_array_section(section_id) ? ";: Array Section      : [[%s]]\n" : ";: Section            : [%s]\n",
               s->name));
  if (has_structure) w.put(format(";: C \"Path\" structure : %s\n", s->c_path_structure));
  w.put(";:\n");
  w.put(s->comment != nullptr ? s->comment : ";: Comment            : No comment\n");
  w.put(";:\n");
  bool first = true;
  for (const ini_tools__value* r = table; r->value_id != 0; ++r) {
    if (r->section_id != section_id || r->state == INI_TOOLS__COMMENT) continue;
    const ini_tools__keyword* k = ini_tools_text::find_keyword(keywords, *r);
    const char* verbose = ini_tools_text::name_of_kind(k, INI_TOOLS__VERBOSE_NAME);
    const char* c_path = ini_tools_text::name_of_kind(k, INI_TOOLS__C_PATH_NAME);
    if (verbose == nullptr && c_path == nullptr) {
      w.put(";: List of parameters : Error: unknown keyword\n");
      first = false;
      continue;
    }
    std::string line = format(first ? ";: List of parameters : - %s" : ";:                      - %s",
                              verbose != nullptr ? verbose : c_path);
    line += r->state == INI_TOOLS__IGNORED ? " (ignored)" : "          ";
    if (c_path != nullptr) line += format("    C Parameter: %s", c_path);
    w.put(line + "\n");
    first = false;
  }
  w.put(";+-----------------\n");
  w.put(bracket + "\n\n");
  return w.result();
}

u8 ini_tools__write_keyword_help(int mode, const ini_tools__value& r, const char* indent,
                                 const ini_tools__keyword* keywords, const ini_tools__output_cb& output) {
  writer w{output};
  if (r.state == INI_TOOLS__IGNORED) return w.result();
  if (r.state == INI_TOOLS__COMMENT) {
    if (mode == 1) {
      w.put(";   +-----------------\n");
      const char* comment = comment_of(r);
      if (comment != nullptr) w.put(comment);
      w.put(";   +-----------------\n\n");
    }
    return w.result();
  }
  const ini_tools__keyword* k = ini_tools_text::find_keyword(keywords, r);
  const char* verbose = ini_tools_text::name_of_kind(k, INI_TOOLS__VERBOSE_NAME);
  const char* c_path = ini_tools_text::name_of_kind(k, INI_TOOLS__C_PATH_NAME);
  const char* in = indent;

  if (mode == 1) {
    w.put(format(";   %s+-----------------\n", in));
    if (verbose == nullptr && c_path == nullptr) {
      w.put(format(";   %s: Parameter : Error (unknown keyword)\n", in));
      w.put(format(";   %s+-----------------\n\n", in));
      return w.result();
    }
    if (verbose != nullptr) w.put(format(";   %s: Parameter : %s\n", in, verbose));
    if (c_path != nullptr) w.put(format(";   %s:C Parameter: %s\n", in, c_path));
    w.put(format(";   %s:\n", in));
    const char* comment = comment_of(r);
    w.put(comment != nullptr ? indented(comment, in) : format(";   %s: Comment   : No comment\n", in));
    w.put(format(";   %s:\n", in));

    switch (r.kind) {
      case INI_TOOLS__BOOL: w.put(format(";   %s: Value     : TRUE or FALSE\n", in)); break;
      case INI_TOOLS__FILE:
        w.put(format(";   %s: Value     : Valid file name\n", in));
        w.put(format(";   %s:             The name is kept as written: upper and lower case\n", in));
        w.put(format(";   %s:             letters differ and \"/\" separates the folders.\n", in));
        w.put(format(";   %s:             Blanks inside the name are kept.\n", in));
        w.put(format(";   %s:             Nothing after \"=\" means no file.\n", in));
        break;
      case INI_TOOLS__STR_ID: {
        bool first = true;
        for (const ini_tools__value_name* v = k->value_names; v != nullptr && v->name[0] != '\0'; ++v) {
          w.put(format(first ? ";   %s: Value     : %s\n" : ";   %s:             %s\n", in, v->name));
          first = false;
        }
        break;
      }
      case INI_TOOLS__NUM:
        w.put(format(";   %s: Value     : decimal value\n", in));
        w.put(format(";   %s:   Min     : %lu\n", in, static_cast<unsigned long>(static_cast<u32>(k->min))));
        w.put(format(";   %s:   Max     : %lu\n", in, static_cast<unsigned long>(static_cast<u32>(k->max))));
        break;
      case INI_TOOLS__STRING:
        w.put(format(";   %s: Value     : \"Ascii string\"\n", in));
        w.put(format(";   %s:   Max len : %lu\n", in, static_cast<unsigned long>(static_cast<u32>(k->max))));
        break;
      case INI_TOOLS__IP_ADD: w.put(format(";   %s: Value     : Valid IP address (255.255.255.255) \n", in)); break;
      case INI_TOOLS__BFI: {
        w.put(k->min == 1 ? format(";   %s: Value     : Empty Bit field \n", in) : format(";   %s: Value     :\n", in));
        bool first = true;
        for (const ini_tools__value_name* v = k->value_names; v != nullptr && v->name[0] != '\0'; ++v) {
          w.put(format(first ? ";   %s:             Ored values: %s\n" : ";   %s:                          %s\n", in,
                       v->name));
          first = false;
        }
        break;
      }
      case INI_TOOLS__CHAR: w.put(format(";   %s: Value     : character (0 .. 0xFF)\n", in)); break;
      default: w.put(format(";   %s: Value     : Error: unknown type_of_param\n", in)); break;
    }

    if (r.state == INI_TOOLS__UNDEFINED) {
      w.put(format(";   %s: Undefined : Error (must be defined)\n", in));
    } else if (r.state == INI_TOOLS__DEFAULT) {
      if (const std::optional<std::string> text = default_text(r, k))
        w.put(format(";   %s: Undefined : %s (default value)\n", in, text->c_str()));
    }

    // The keyword line, with the default value ready to be changed.
    w.put(format(";   %s+-----------------\n", in));
    if (verbose == nullptr) {
      w.put(format("           ; C Parameter: %s\n\n\n", c_path));
    } else {
      w.put(format("    %s%s = %s\n\n\n", in, verbose, reader_text(r, k).c_str()));
    }
    return w.result();
  }

  // Mode 0: one line per keyword.
  const char* name = verbose != nullptr ? verbose : c_path;
  if (name == nullptr) {
    w.put(format("    %s; Error (unknown keyword)\n", in));
    return w.result();
  }
  std::string line = format("    %s%-50s = %s", in, name, reader_text(r, k).c_str());
  if (verbose != nullptr && c_path != nullptr) line += format("    ; C Parameter: %s", c_path);
  w.put(line + "\n");
  return w.result();
}

u8 ini_tools__write_skeleton(int mode, const ini_tools__value* table, const ini_tools__section* sections,
                             const ini_tools__keyword* keywords, const ini_tools__output_cb& output) {
  writer w{output};
  // Collects what the part writers ask, so that a stop ends everything.
  auto sub = [&](auto write_part) {
    if (!w.stopped && write_part() == INI_TOOLS__OUTPUT_STOP) w.stopped = true;
  };
  bool have_section = false;
  u16 section = 0;
  for (const ini_tools__value* r = table; r->value_id != 0 && !w.stopped; ++r) {
    if (have_section && r->section_id == section) {
      if (is_top_record(*r)) continue;  // the array was written with its first record
      sub([&] { return ini_tools__write_keyword_help(mode, *r, "", keywords, output); });
      continue;
    }
    if (have_section && mode == 0) w.put("\n");
    have_section = true;
    section = r->section_id;
    sub([&] { return ini_tools__write_section_help(mode, section, table, sections, keywords, output); });
    if (!is_top_record(*r)) {
      sub([&] { return ini_tools__write_keyword_help(mode, *r, "", keywords, output); });
      continue;
    }
    const ini_tools__array* a = r->value.array;
    w.put("    {\n");
    for_each_element_record(a, 0, [&](const ini_tools__value& e) {
      sub([&] { return ini_tools__write_keyword_help(mode, e, "    ", keywords, output); });
    });
    w.put(format(
        "    }\n    {\n        ....\n        ....\n    }\n    (Max number of array \"{ }\" into array section = %u)\n",
        a != nullptr ? unsigned(a->max) : 0u));
  }
  if (have_section && mode == 0) w.put("\n");
  return w.result();
}
