// Test helpers of the common library: a temporary folder removed at the end
// of the test, small file helpers, and a fixed local time.
#pragma once

#include <string>
#include <vector>

#include "platform/local_time.h"

namespace kvtest {

class TempFolder {
 public:
  TempFolder();
  ~TempFolder();
  TempFolder(const TempFolder&) = delete;
  TempFolder& operator=(const TempFolder&) = delete;

  const std::string& path() const { return path_; }
  // path() + "/" + name
  std::string File(const std::string& name) const;
  // The folder as a server path ending in a backslash ("/tmp/x\").
  std::string ServerPath() const { return path_ + "\\"; }

 private:
  std::string path_;
};

std::string ReadFile(const std::string& path);
std::vector<std::string> ReadLines(const std::string& path);
void WriteFile(const std::string& path, const std::string& text);
bool Exists(const std::string& path);

// Makes platform::GetLocalTime return `t` until the object goes away.
class FixedLocalTime {
 public:
  explicit FixedLocalTime(const platform::LocalTime& t);
  ~FixedLocalTime();
  void Set(const platform::LocalTime& t);
};

platform::LocalTime MakeTime(int year, int month, int day, int hour, int minute, int second);

}  // namespace kvtest
