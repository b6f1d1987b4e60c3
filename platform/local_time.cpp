#include "platform/local_time.h"

#include <atomic>
#include <ctime>

namespace platform {

namespace {
std::atomic<LocalTimeSource> g_source{nullptr};

LocalTime SystemLocalTime() {
  timespec ts{};
  clock_gettime(CLOCK_REALTIME, &ts);
  tm t{};
  localtime_r(&ts.tv_sec, &t);
  LocalTime lt{};
  lt.year = t.tm_year + 1900;
  lt.month = t.tm_mon + 1;
  lt.day = t.tm_mday;
  lt.hour = t.tm_hour;
  lt.minute = t.tm_min;
  lt.second = t.tm_sec;
  lt.millisecond = static_cast<int>(ts.tv_nsec / 1000000);
  lt.weekday = t.tm_wday;
  return lt;
}
}  // namespace

LocalTime GetLocalTime() {
  LocalTimeSource source = g_source.load(std::memory_order_acquire);
  return source ? source() : SystemLocalTime();
}

void SetLocalTimeSource(LocalTimeSource source) { g_source.store(source, std::memory_order_release); }

}  // namespace platform
