// Program log and log library.
//
// The program log (InitialiseLog, ProgramLog) writes every line of Tessaly to
// K-DB\TESSALY.log in the server folder as "YY-MM-DD HH:MM:SS - text" and
// hands lines of level 3 and above to the log library.
//
// The log library (LogInit, LogMessage, LogConsole) is shared by the server
// programs: it appends each line to the server-wide log file (opened and
// closed per line through SharedOpen) as
//   "YY-MM-DD HH:MM:SS  IDENTIFIER - (L) - text"
// with the level letter L, and on demand to the system event log and to the
// daily message log.
//
// Levels: 1 and 2 trace, 3 information, 4 warning, 5 error, 6 system (a
// level-6 line always reaches the event log).
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/int_types.h"

#define KV_PRINTF_LIKE(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

// Opens the program log K-DB\TESSALY.log in the server folder (emptied),
// starts the log library on K-DB\SERVER.LOG with `level` and the identifier
// "TESSALY", and sets the program log's threshold to `level`.
void InitialiseLog(int level);

// printf-style line of the program log; lines below the threshold (6 until
// InitialiseLog runs) are dropped; a line of 150 characters or more is cut to
// 147 characters and "...".
void ProgramLog(int level, const char* format, ...) KV_PRINTF_LIKE(2, 3);

// Starts the log library: an extra stream (may be null), the server-wide log
// file (may be null or empty), the level threshold and the program identifier
// (cut to 10 characters and padded with blanks).  A file name of more than
// 268 characters ends the process with exit code 1.
void LogInit(FILE* stream, const char* file_name, int level, const char* identifier);

// printf-style line of the log library.
void LogMessage(int level, const char* format, ...) KV_PRINTF_LIKE(2, 3);

// One line on the console: "HH:MM:SS  IDENTIFIER - text".
void LogConsole(const char* format, ...) KV_PRINTF_LIKE(1, 2);

// The next LogMessage call also goes to the event log (one shot).
void LogForceEventLog();

// Context of the daily message log records: a program name that replaces
// the library identifier when not empty, a job name and three numbers (empty
// and zero until set).
void LogSetMessageLogContext(const char* program_name, const char* job_name, u32 number, i16 signed_number,
                             u16 short_number);

// The level letter of the log library: 1 '.', 2 '-', 3 'I', 4 'W', 5 'E',
// 6 'S', any other '?'.
char LogLevelLetter(int level);

// Event identifier and symbolic name that a library line of `level` carries
// to the event log and the daily message log.
struct LogEventKind {
  u16 event_id;
  const char* name;
};
LogEventKind LogEventKindForLevel(int level);

// The library's program identifier: exactly 10 characters.
const char* LogLibraryId();

// Used by the daily message log when its file cannot be opened: the next
// LogMessage call (the one that reports it) skips the message log.
void LogSuspendMessageLogOnce();

// Lines lost since the last successful write to the server-wide file.
u16 LogLostLineCount();
