#include "controller/device_log.h"

#include <cstdarg>
#include <cstring>

#include "common/server_settings.h"
#include "platform/clock.h"
#include "platform/file_size.h"
#include "platform/local_time.h"
#include "platform/paths.h"

namespace {

constexpr std::size_t kMaxLine = 150;
constexpr std::size_t kFormatRoom = 5001;

struct Console {
  bool on = false;
  int level = 3;
};
Console g_console;

void ConsoleLine(int level, const char* text) {
  if (level < g_console.level && level < SystemParameters().LogLevel) return;
  platform::LocalTime t = platform::GetLocalTime();
  char line[kFormatRoom + 64];
  (void)std::snprintf(line, sizeof line, "%.2d:%.2d:%.2d  %s - (%c) - %s", t.hour, t.minute, t.second, LogLibraryId(),
                      LogLevelLetter(level), text);
  const char* out = std::strlen(line) < 11 ? "(Logged line too short - ignored)" : line;
  (void)std::fputs(out, stdout);
  if (out[0] && out[std::strlen(out) - 1] != '\n') (void)std::fputc('\n', stdout);
  (void)std::fflush(stdout);
}

void DefaultSink(int level, const char* line) {
  if (g_console.on) ConsoleLine(level, line);
  LogMessage(level, "%s", line);
}
ControllerLogSink g_sink = &DefaultSink;

}  // namespace

void SetControllerLogSink(ControllerLogSink sink) { g_sink = sink ? sink : &DefaultSink; }

void SetControllerConsole(bool on, int level) {
  g_console.on = on;
  g_console.level = level;
}

void CutLogLine(char* line) {
  if (std::strlen(line) >= kMaxLine) std::memcpy(line + kMaxLine - 3, "...", 4);
}

void CtlLog(int level, const char* format, ...) {
  char line[kFormatRoom];
  va_list ap;
  va_start(ap, format);
  (void)std::vsnprintf(line, sizeof line, format, ap);
  va_end(ap);
  CutLogLine(line);
  g_sink(level, line);
}

void CtlLogWhole(int level, const char* text) { g_sink(level, text); }

void DeviceLog::Configure(const DeviceLogIdentity& id, int mode) {
  id_ = id;
  mode_ = mode;
  std::string stem = id.server_area + "K-DB\\" + id.type_name + "-" + id.group + "-" + std::to_string(id.channel);
  log_path_ = platform::ToLinuxPath(stem + ".log");
  trace_path_ = platform::ToLinuxPath(stem + ".tmp");
}

void DeviceLog::InitLogFile(const char* library_file) {
  if (mode_ == DEVICE_LOG_OFF) return;
  if (mode_ != DEVICE_LOG_FULL && mode_ != DEVICE_LOG_DEBUG) return;
  Close();
  file_ = std::fopen(log_path_.c_str(), "w");
  std::string ident = id_.type_name + "-" + id_.group + "-" + std::to_string(id_.channel);
  LogInit(file_, library_file, mode_ == DEVICE_LOG_FULL ? 2 : 1, ident.c_str());
  SetControllerConsole(false, 3);
}

void DeviceLog::Close() {
  if (file_) (void)std::fclose(file_);
  file_ = nullptr;
}

void DeviceLog::Write(int level, const char* format, ...) {
  char text[kFormatRoom];
  va_list ap;
  va_start(ap, format);
  (void)std::vsnprintf(text, sizeof text, format, ap);
  va_end(ap);
  FILE* out = trace_ ? trace_ : file_;
  const int threshold = mode_ == DEVICE_LOG_FULL ? 2 : 1;
  if ((level == 1 || level == 2) && out && level >= (trace_ ? 1 : threshold)) {
    platform::LocalTime t = platform::GetLocalTime();
    char line[kFormatRoom + 80];
    (void)std::snprintf(line, sizeof line, "%.2d-%.2d-%.2d %.2d:%.2d:%.2d  %s-%s-%d - %s", t.year % 100, t.month, t.day,
                        t.hour, t.minute, t.second, id_.type_name.c_str(), id_.group.c_str(), id_.channel, text);
    CutLogLine(line);
    (void)std::fprintf(out, "%s\n", line);
    (void)std::fflush(out);
    return;
  }
  CutLogLine(text);
  CtlLogWhole(level, text);
}

void DeviceLog::BeginCallTrace(const char* library_file) {
  if (mode_ != DEVICE_LOG_CALL && mode_ != DEVICE_LOG_ERROR) return;
  if (trace_) (void)std::fclose(trace_);
  trace_ = std::fopen(trace_path_.c_str(), "w");
  std::string ident = id_.type_name + "-" + std::to_string(id_.type_number);
  LogInit(trace_, library_file, 1, ident.c_str());
  SetControllerConsole(false, 3);
}

void DeviceLog::EndCallTrace(bool failed, const char* library_file) {
  if (mode_ != DEVICE_LOG_CALL && mode_ != DEVICE_LOG_ERROR) return;
  if (trace_) (void)std::fclose(trace_);
  trace_ = nullptr;
  LogInit(stdout, library_file, id_.console_level,
          (id_.type_name + "-" + id_.group + "-" + std::to_string(id_.channel)).c_str());
  SetControllerConsole(true, id_.console_level);
  if (!platform::FileExists(trace_path_)) {
    CtlLog(4, "File error on Device TraceLog");
    return;
  }
  if (mode_ == DEVICE_LOG_ERROR && !failed) return;
  FILE* in = std::fopen(trace_path_.c_str(), "r");
  FILE* out = in ? std::fopen(log_path_.c_str(), "a") : nullptr;
  if (in && out) {
    int c;
    while ((c = std::fgetc(in)) != EOF) (void)std::fputc(c, out);
  }
  if (out) (void)std::fclose(out);
  if (in) (void)std::fclose(in);
}

StatusWord CopyFileContents(FILE* source, FILE* target) {
  if (!source || !target) return STATUS_IO_FAILURE;
  (void)std::fflush(source);
  (void)std::fflush(target);
  std::rewind(source);
  std::rewind(target);
  const long size = platform::StreamSize(source);
  if (size < 0 || !platform::SetStreamSize(target, size)) return STATUS_IO_FAILURE;
  std::rewind(target);
  long copied = 0;
  char block[512];
  StatusWord result = STATUS_OK;
  for (;;) {
    std::size_t n = std::fread(block, 1, sizeof block, source);
    if (n > 0 && std::fwrite(block, 1, n, target) != n) {
      result = STATUS_IO_FAILURE;
      break;
    }
    copied += static_cast<long>(n);
    plat_sleep_ms(0);
    if (n < sizeof block) {
      if (std::ferror(source)) result = STATUS_IO_FAILURE;
      break;
    }
  }
  if (std::fflush(target) != 0) result = STATUS_IO_FAILURE;
  if (copied < size) platform::SetStreamSize(target, copied);
  return result;
}
