// Log output of the device controller: the short log writer, the device log
// writer with its per-device file, the device log modes and the per-call
// trace.
//
// Device log modes ("TraceLog:"): 0 off, 1 per-call trace always kept, 2
// per-call trace kept after failures only, 3 full (levels 2 and above), 4
// debug (all levels).  The device log file is <server area>K-DB\<type>-<group>-
// <channel>.log; the per-call trace the same name with ".tmp".
#pragma once

#include <cstdio>
#include <string>

#include "common/program_log.h"
#include "common/status_words.h"

enum DeviceLogMode : int {
  DEVICE_LOG_OFF = 0,
  DEVICE_LOG_CALL = 1,
  DEVICE_LOG_ERROR = 2,
  DEVICE_LOG_FULL = 3,
  DEVICE_LOG_DEBUG = 4,
};

// Where finished lines go; tests replace it to see every line.  The default
// hands the line to LogMessage.
using ControllerLogSink = void (*)(int level, const char* line);
void SetControllerLogSink(ControllerLogSink sink);

// Console output of the default sink, while the log library's stream is
// standard output: each line that passes `level` (or the system log level)
// is printed without the date, "HH:MM:SS  ID - (L) - text"; a line shorter
// than 11 characters is printed as "(Logged line too short - ignored)".
void SetControllerConsole(bool on, int level);

// Short log writer: formats (up to 5000 characters), cuts a line of 150 or
// more characters to 147 and "...", and hands it on.
void CtlLog(int level, const char* format, ...) KV_PRINTF_LIKE(2, 3);
// The same for a line that must not be cut (the IDLE state line).
void CtlLogWhole(int level, const char* text);

struct DeviceLogIdentity {
  std::string server_area;  // server path ending in '\'
  std::string type_name;
  std::string group;
  int channel = 0;
  int type_number = 0;
  int console_level = 3;  // the program's configured log level
};

// The device log: mode, files and writer.
class DeviceLog {
 public:
  void Configure(const DeviceLogIdentity& id, int mode);
  int mode() const { return mode_; }
  // InitLogFile: modes 3 and 4 open the device log (emptied) and restart the
  // log library on it; modes 0 to 2 open nothing.
  void InitLogFile(const char* library_file);
  void Close();
  // Device log writer: levels 1 and 2 go to the open device log file with
  // the date and device prefix (to the log library when none is open, or
  // below the mode's level); the other levels to the log library.
  void Write(int level, const char* format, ...) KV_PRINTF_LIKE(3, 4);
  // Per-call trace (modes 1 and 2): Begin opens the ".tmp" file; End closes
  // it, puts the log library back on the console at the configured level and
  // appends the trace to the ".log" file in mode 1, and in mode 2 when the
  // attempt failed.
  void BeginCallTrace(const char* library_file);
  void EndCallTrace(bool failed, const char* library_file);
  const std::string& log_path() const { return log_path_; }
  const std::string& trace_path() const { return trace_path_; }

 private:
  DeviceLogIdentity id_;
  int mode_ = DEVICE_LOG_OFF;
  std::string log_path_;
  std::string trace_path_;
  FILE* file_ = nullptr;
  FILE* trace_ = nullptr;
};

// Copies the whole source file over the target: both flushed, the source
// rewound, the target given the source's size, then 512-byte blocks with a
// yield after each; a copy that ends early cuts the target to what was
// copied.  0, or 0xF00C on a read or write error.
StatusWord CopyFileContents(FILE* source, FILE* target);

// Cuts `line` in place to 150 characters ending in "..." when it has 150 or
// more.
void CutLogLine(char* line);
