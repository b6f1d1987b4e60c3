// Event log and daily message log: the two further outputs of the log
// library.
#pragma once

#include <cstdint>
#include <cstdio>

#include "platform/int_types.h"

#define KV_PRINTF_LIKE(fmt_index, first_arg) __attribute__((format(printf, fmt_index, first_arg)))

// Reports one entry to the system event log under the source "Korvane
// Server"; the severity comes from the identifier's top two bits (0xC000
// error, 0x8000 warning, else information).  The symbolic name is not part of
// the entry.  Returns 1 when reported, 0 on failure.
int ReportEventLog(u16 event_id, const char* symbolic_name, const char* text);

// Opens the daily message log of that date, ServerArea "K-DB\K-YYMMDD.LOG",
// through SharedOpen with a time-out of 15 seconds.  Null on failure.
FILE* OpenMessageLog(int year, int month, int day, const char* mode);

// Appends one record to today's message log:
//   "%.4X: YY-MM-DD HH:MM:SS,%-10.10s,%-8.8s,%.8lX,%-3d,%.4X,%-20s"
// then, when a text format is given and not empty, a comma and the formatted
// text, then a line end.  Returns 1, or 0 when the file failed to open (which
// is logged at level 5, without trying the message log again).
int WriteMessageLog(u16 event_id, const char* symbolic_name, const char* program_name, const char* job_name, u32 number,
                    i16 signed_number, u16 short_number, const char* text_format, ...) KV_PRINTF_LIKE(8, 9);
