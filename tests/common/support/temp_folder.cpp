#include "common/support/temp_folder.h"

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace kvtest {

TempFolder::TempFolder() {
  std::string pattern = (std::filesystem::temp_directory_path() / "kvtest-XXXXXX").string();
  if (!mkdtemp(pattern.data())) throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempFolder::~TempFolder() {
  std::error_code ec;
  std::filesystem::remove_all(path_, ec);
}

std::string TempFolder::File(const std::string& name) const { return path_ + "/" + name; }

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream s;
  s << in.rdbuf();
  return s.str();
}

std::vector<std::string> ReadLines(const std::string& path) {
  std::vector<std::string> lines;
  std::ifstream in(path, std::ios::binary);
  std::string line;
  while (std::getline(in, line)) lines.push_back(line);
  return lines;
}

void WriteFile(const std::string& path, const std::string& text) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << text;
}

bool Exists(const std::string& path) { return std::filesystem::exists(path); }

namespace {
platform::LocalTime g_fixed{};
platform::LocalTime FixedSource() { return g_fixed; }
}  // namespace

FixedLocalTime::FixedLocalTime(const platform::LocalTime& t) {
  g_fixed = t;
  platform::SetLocalTimeSource(&FixedSource);
}
FixedLocalTime::~FixedLocalTime() { platform::SetLocalTimeSource(nullptr); }
void FixedLocalTime::Set(const platform::LocalTime& t) { g_fixed = t; }

platform::LocalTime MakeTime(int year, int month, int day, int hour, int minute, int second) {
  platform::LocalTime t{};
  t.year = year;
  t.month = month;
  t.day = day;
  t.hour = hour;
  t.minute = minute;
  t.second = second;
  return t;
}

}  // namespace kvtest
