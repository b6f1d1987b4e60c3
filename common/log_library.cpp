// The log library: the server-wide log file, the console, and the hand-over
// to the event log and the daily message log.
#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "common/event_log.h"
#include "common/program_log.h"
#include "common/server_settings.h"
#include "common/shared_open.h"
#include "platform/local_time.h"
#include "platform/int_types.h"

namespace {

constexpr std::size_t kIdLength = 10;
constexpr std::size_t kMaxFileName = 268;
constexpr std::size_t kLineRoom = 200;  // a library line holds at most 199 characters
constexpr int kOpenTimeoutSeconds = 15;

struct LibraryState {
  std::atomic<int> level{3};
  FILE* stream = nullptr;
  char LibId[kIdLength + 1] = "          ";
  char file_name[kMaxFileName + 1] = "";
  std::atomic<u16> lost_count{0};
  std::atomic<bool> force_event_log{false};
  std::atomic<bool> message_log_ready{true};
  // Message-log context.
  char context_program[kIdLength + 1] = "";
  char context_job[9] = "";
  u32 context_number = 0;
  i16 context_signed = 0;
  u16 context_short = 0;
};

LibraryState g_lib;

int TwoDigitYear(const platform::LocalTime& t) { return t.year % 100; }

}  // namespace

char LogLevelLetter(int level) {
  static constexpr char kLetters[] = {'.', '-', 'I', 'W', 'E', 'S'};
  return (level >= 1 && level <= 6) ? kLetters[level - 1] : '?';
}

LogEventKind LogEventKindForLevel(int level) {
  if (level == 4) return {0x9802, "LIB_W_WARNING"};
  if (level == 5 || level == 6) return {0xD803, "LIB_E_ERROR"};
  return {0x5801, "LIB_I_INFO"};
}

const char* LogLibraryId() { return g_lib.LibId; }

void LogForceEventLog() { g_lib.force_event_log.store(true); }

void LogSuspendMessageLogOnce() { g_lib.message_log_ready.store(false); }

u16 LogLostLineCount() { return g_lib.lost_count.load(); }

void LogSetMessageLogContext(const char* program_name, const char* job_name, u32 number, i16 signed_number,
                             u16 short_number) {
  // Texts are cut to their fixed buffers on purpose, and a log line that cannot
  // be written is lost: the log is where failures would be told.
  (void)std::snprintf(g_lib.context_program, sizeof g_lib.context_program, "%s", program_name ? program_name : "");
  (void)std::snprintf(g_lib.context_job, sizeof g_lib.context_job, "%s", job_name ? job_name : "");
  g_lib.context_number = number;
  g_lib.context_signed = signed_number;
  g_lib.context_short = short_number;
}

void LogInit(FILE* stream, const char* file_name, int level, const char* identifier) {
  g_lib.level.store(level);
  const char* id = identifier ? identifier : "";
  if (std::strlen(id) > kIdLength) {
    std::printf("LogInit() - warning: szID too long\n");
  }
  (void)std::snprintf(g_lib.LibId, sizeof g_lib.LibId, "%-10.10s", id);
  g_lib.stream = stream;
  if (!file_name || !*file_name) {
    g_lib.file_name[0] = '\0';
  } else if (std::strlen(file_name) > kMaxFileName) {
    std::printf("LogInit() - invalid filename '%s'\n", file_name);
    (void)std::fflush(stdout);
    std::exit(1);
  } else {
    (void)std::snprintf(g_lib.file_name, sizeof g_lib.file_name, "%s", file_name);
  }
  if (!stream && !g_lib.file_name[0]) {
    std::printf("LogInit() - szFileName and fp both NULL\n");
  }
}

void LogConsole(const char* format, ...) {
  char text[5000];
  va_list ap;
  va_start(ap, format);
  (void)std::vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  const platform::LocalTime t = platform::GetLocalTime();
  std::printf("%.2d:%.2d:%.2d  %s - %s\n", t.hour, t.minute, t.second, g_lib.LibId, text);
  (void)std::fflush(stdout);
}

void LogMessage(int level, const char* format, ...) {
  const bool force_event_log = g_lib.force_event_log.exchange(false);
  const bool message_log_ready = g_lib.message_log_ready.exchange(true);

  const SystemParams& params = SystemParameters();
  if (level < g_lib.level.load() && level < params.LogLevel) return;

  const platform::LocalTime t = platform::GetLocalTime();
  char prefix[64];
  (void)std::snprintf(prefix, sizeof prefix, "%.2d-%.2d-%.2d %.2d:%.2d:%.2d  %s - ", TwoDigitYear(t), t.month, t.day,
                      t.hour, t.minute, t.second, g_lib.LibId);

  char line[kLineRoom];
  int head = std::snprintf(line, sizeof line, "%s(%c) - ", prefix, LogLevelLetter(level));
  va_list ap;
  va_start(ap, format);
  va_list again;
  va_copy(again, ap);
  if (head >= 0 && static_cast<std::size_t>(head) < sizeof line) {
    (void)std::vsnprintf(line + head, sizeof line - head, format, ap);
  }
  va_end(ap);

  if (g_lib.stream && g_lib.stream != stdout) {
    (void)std::fprintf(g_lib.stream, "%s\n", line);
    (void)std::fflush(g_lib.stream);
  }

  if (g_lib.file_name[0]) {
    const int timeout = g_lib.lost_count.load() != 0 ? 0 : kOpenTimeoutSeconds;
    if (FILE* f = SharedOpen(timeout, g_lib.file_name, "at")) {
      const u16 lost = g_lib.lost_count.exchange(0);
      if (lost != 0) {
        (void)std::fprintf(f, "%s(E) - (%d system message%s lost)\n", prefix, lost, lost == 1 ? "" : "s");
      }
      (void)std::fprintf(f, "%s\n", line);
      (void)std::fclose(f);
    } else {
      const int error = errno;
      u16 lost = g_lib.lost_count.load();
      while (lost != UINT16_MAX && !g_lib.lost_count.compare_exchange_weak(lost, lost + 1)) {}
      LogConsole("ERROR opening file '%s' (%d)", g_lib.file_name, error);
    }
  }

  char text[kLineRoom];
  (void)std::vsnprintf(text, sizeof text, format, again);
  va_end(again);
  for (char* p = text; *p; ++p) {
    if (*p == '"') *p = '\'';
  }

  const LogEventKind kind = LogEventKindForLevel(level);
  if (force_event_log || level >= 6) {
    ReportEventLog(kind.event_id, kind.name, text);
  }
  if (params.LogKeepDays >= 1 && level >= 3 && message_log_ready && g_lib.file_name[0]) {
    const char* program = g_lib.context_program[0] ? g_lib.context_program : g_lib.LibId;
    WriteMessageLog(kind.event_id, kind.name, program, g_lib.context_job, g_lib.context_number, g_lib.context_signed,
                    g_lib.context_short, "\"%s\"", text);
  }
}
