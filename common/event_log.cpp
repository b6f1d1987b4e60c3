#include "common/event_log.h"

#include <cstdarg>
#include <string>

#include "common/program_log.h"
#include "common/server_settings.h"
#include "common/shared_open.h"
#include "platform/local_time.h"
#include "platform/syslog.h"

namespace {
constexpr const char* kEventSource = "Korvane Server";
constexpr int kMessageLogTimeoutSeconds = 15;
}  // namespace

int ReportEventLog(u16 event_id, const char* /*symbolic_name*/, const char* text) {
  platform::EventSeverity severity = platform::EventSeverity::kInformation;
  if ((event_id & 0xC000) == 0xC000) {
    severity = platform::EventSeverity::kError;
  } else if ((event_id & 0xC000) == 0x8000) {
    severity = platform::EventSeverity::kWarning;
  }
  return platform::WriteSystemEvent(kEventSource, severity, event_id, text ? text : "") ? 1 : 0;
}

FILE* OpenMessageLog(int year, int month, int day, const char* mode) {
  char name[32];
  // The text functions write into fixed buffers that hold their longest result;
  // a line the log file cannot take is lost, with no one left to tell.
  (void)std::snprintf(name, sizeof name, "K-%.2d%.2d%.2d.LOG", year % 100, month, day);
  const std::string path = std::string(SystemParameters().ServerArea) + "K-DB\\" + name;
  return SharedOpen(kMessageLogTimeoutSeconds, path.c_str(), mode);
}

int WriteMessageLog(u16 event_id, const char* symbolic_name, const char* program_name, const char* job_name, u32 number,
                    i16 signed_number, u16 short_number, const char* text_format, ...) {
  const platform::LocalTime t = platform::GetLocalTime();
  char when[32];
  (void)std::snprintf(when, sizeof when, "%.2d-%.2d-%.2d %.2d:%.2d:%.2d", t.year % 100, t.month, t.day, t.hour,
                      t.minute, t.second);

  FILE* f = OpenMessageLog(t.year, t.month, t.day, "at");
  if (!f) {
    LogSuspendMessageLogOnce();
    LogMessage(5, "Error opening message log file");
    return 0;
  }
  (void)std::fprintf(f, "%.4X: %s,%-10.10s,%-8.8s,%.8lX,%-3d,%.4X,%-20s", event_id, when,
                     program_name ? program_name : "", job_name ? job_name : "", static_cast<unsigned long>(number),
                     signed_number, short_number, symbolic_name ? symbolic_name : "");
  if (text_format && *text_format) {
    (void)std::fputc(',', f);
    va_list ap;
    va_start(ap, text_format);
    (void)std::vfprintf(f, text_format, ap);
    va_end(ap);
  }
  (void)std::fputc('\n', f);
  (void)std::fclose(f);
  return 1;
}
