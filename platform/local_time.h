// Local time of day, the calendar fields the logs and trace files print.
#pragma once

namespace platform {

struct LocalTime {
  int year;         // full year, e.g. 2026
  int month;        // 1..12
  int day;          // 1..31
  int hour;         // 0..23
  int minute;       // 0..59
  int second;       // 0..60
  int millisecond;  // 0..999
  int weekday;      // 0 = Sunday
};

// The current local time (the time zone of the process, TZ).
LocalTime GetLocalTime();

// Replaces the source of GetLocalTime (nullptr restores the system clock).
// Used by tests that need a fixed date, such as a day change at midnight.
using LocalTimeSource = LocalTime (*)();
void SetLocalTimeSource(LocalTimeSource source);

}  // namespace platform
