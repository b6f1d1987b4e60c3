// The program log of Tessaly: K-DB\TESSALY.log in the server folder.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <string>

#include "common/program_log.h"
#include "common/server_settings.h"
#include "platform/local_time.h"
#include "platform/paths.h"

namespace {

constexpr std::size_t kLineBuffer = 5000;
constexpr std::size_t kPrefixLength = 20;  // "YY-MM-DD HH:MM:SS - "
constexpr std::size_t kMaxLine = 150;

std::atomic<int> ProgramLogLevel{6};
std::mutex g_file_lock;  // guards the stream pointer, not the writes
FILE* g_program_log = nullptr;

}  // namespace

void InitialiseLog(int level) {
  const SystemParams& params = SystemParameters();
  const std::string log_path = std::string(params.ServerArea) + "K-DB\\TESSALY.log";
  const std::string server_log = std::string(params.ServerArea) + "K-DB\\" + kServerLogName;
  {
    std::lock_guard<std::mutex> hold(g_file_lock);
    // A log line that cannot be written is lost: the log is where it would be told.
    if (g_program_log) (void)std::fclose(g_program_log);
    g_program_log = std::fopen(platform::ToLinuxPath(log_path).c_str(), "w");
  }
  LogInit(nullptr, server_log.c_str(), level, "TESSALY");
  ProgramLogLevel.store(level);
}

void ProgramLog(int level, const char* format, ...) {
  if (level < ProgramLogLevel.load()) return;

  const platform::LocalTime t = platform::GetLocalTime();
  char line[kLineBuffer];
  (void)std::snprintf(line, sizeof line, "%.2d-%.2d-%.2d %.2d:%.2d:%.2d - ", t.year % 100, t.month, t.day, t.hour,
                      t.minute, t.second);
  va_list ap;
  va_start(ap, format);
  (void)std::vsnprintf(line + kPrefixLength, sizeof line - kPrefixLength, format, ap);
  va_end(ap);

  if (std::strlen(line) >= kMaxLine) {
    std::memcpy(line + kMaxLine - 3, "...", 4);
  }

  {
    std::lock_guard<std::mutex> hold(g_file_lock);
    if (g_program_log) {
      (void)std::fprintf(g_program_log, "%s\n", line);
      (void)std::fflush(g_program_log);
    }
  }

  if (level >= 3) LogMessage(level, "%s", line + kPrefixLength);
}
