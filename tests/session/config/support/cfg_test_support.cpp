#include "session/config/support/cfg_test_support.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace cfg_test {

temp_dir::temp_dir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kv_cfg_XXXXXX").string();
  std::vector<char> buf(pattern.begin(), pattern.end());
  buf.push_back('\0');
  char* made = mkdtemp(buf.data());
  path_ = made != nullptr ? made : "";
}

temp_dir::~temp_dir() {
  std::error_code ec;
  if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

std::string temp_dir::write(const std::string& name, const std::string& bytes) const {
  std::string p = path_ + "/" + name;
  std::ofstream out(p, std::ios::binary);
  out << bytes;
  return p;
}

read_outcome read_text(const std::string& text, const ini_tools__section* sections, const ini_tools__keyword* keywords,
                       ini_tools__value* table) {
  temp_dir dir;
  std::string file = dir.write("test.cfg", text);
  read_outcome out;
  out.result = ini_tools__read_cfg_file(
      file.c_str(), sections, keywords, [&](const char* m) { out.errors.emplace_back(m); }, table);
  return out;
}

std::string value_of(ini_tools__value* table, uint16_t id, uint16_t element) {
  uint16_t kind = 0;
  for (ini_tools__value* r = table; r->value_id != 0; ++r) {
    if (r->value_id == id) {
      kind = r->kind;
      break;
    }
  }
  auto ignore = [](const char*) {};
  std::ostringstream s;
  uint8_t state = 0;
  switch (kind) {
    case INI_TOOLS__BOOL:
    case INI_TOOLS__CHAR: {
      uint8_t v = 0;
      state = kind == INI_TOOLS__BOOL ? ini_tools__read_bool(table, id, element, ignore, &v)
                                      : ini_tools__read_char(table, id, element, ignore, &v);
      s << unsigned(v);
      break;
    }
    case INI_TOOLS__FILE:
    case INI_TOOLS__STRING: {
      const char* v = nullptr;
      state = kind == INI_TOOLS__FILE ? ini_tools__read_file(table, id, element, ignore, &v)
                                      : ini_tools__read_string(table, id, element, ignore, &v);
      s << (v != nullptr ? "\"" + std::string(v) + "\"" : std::string("<none>"));
      break;
    }
    case INI_TOOLS__STR_ID: {
      uint16_t v = 0;
      state = ini_tools__read_str_id(table, id, element, ignore, &v);
      s << v;
      break;
    }
    case INI_TOOLS__NUM:
    case INI_TOOLS__BFI: {
      uint32_t v = 0;
      state = kind == INI_TOOLS__NUM ? ini_tools__read_num(table, id, element, ignore, &v)
                                     : ini_tools__read_bfi(table, id, element, ignore, &v);
      s << v;
      break;
    }
    case INI_TOOLS__IP_ADD: {
      ini_tools__ip v;
      state = ini_tools__read_ip_add(table, id, element, ignore, &v);
      if (v.family == INI_TOOLS__IP_NONE) {
        s << "<none>";
      } else {
        const unsigned char* b = reinterpret_cast<const unsigned char*>(&v.addr);
        s << int(b[0]) << '.' << int(b[1]) << '.' << int(b[2]) << '.' << int(b[3]);
      }
      break;
    }
    default: return "no such id";
  }
  if (state > INI_TOOLS__OVERWRITTEN) return "error " + std::to_string(state);
  return std::to_string(state) + ":" + s.str();
}

std::string collect(const std::function<uint8_t(const ini_tools__output_cb&)>& writer) {
  std::string all;
  writer([&](const char* text) {
    all += text;
    return INI_TOOLS__OUTPUT_OK;
  });
  return all;
}

std::string read_file(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

size_t count_of(const std::string& hay, const std::string& needle) {
  size_t n = 0;
  for (size_t at = hay.find(needle); at != std::string::npos; at = hay.find(needle, at + 1)) ++n;
  return n;
}

std::string check_golden(const std::string& path, const std::string& actual) {
  const std::string& name = path;
  if (std::getenv("KV_UPDATE_GOLDEN") != nullptr) {
    std::ofstream out(path, std::ios::binary);
    out << actual;
    return {};
  }
  std::ifstream probe(path, std::ios::binary);
  if (!probe) return "golden file missing: " + path;
  std::string expected = read_file(path);
  if (expected == actual) return {};
  std::size_t line = 1, i = 0;
  while (i < expected.size() && i < actual.size() && expected[i] == actual[i]) {
    if (expected[i] == '\n') ++line;
    ++i;
  }
  auto line_at = [](const std::string& s, std::size_t pos) {
    std::size_t b = s.rfind('\n', pos == 0 ? 0 : pos - 1);
    b = b == std::string::npos ? 0 : b + 1;
    std::size_t e = s.find('\n', pos);
    return s.substr(b, e == std::string::npos ? std::string::npos : e - b);
  };
  return name + " differs at line " + std::to_string(line) + "\n  expected: " + line_at(expected, i) +
         "\n  actual:   " + line_at(actual, i);
}

}  // namespace cfg_test
