#include "platform/clock.h"

#include <sched.h>
#include <time.h>

#include <cerrno>

u32 plat_tick_ms() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  u64 ms = static_cast<u64>(ts.tv_sec) * 1000u + static_cast<u64>(ts.tv_nsec) / 1000000u;
  return static_cast<u32>(ms);
}

void plat_sleep_ms(u32 ms) {
  if (ms == 0) {
    sched_yield();
    return;
  }
  timespec req{static_cast<time_t>(ms / 1000u), static_cast<long>(ms % 1000u) * 1000000L};
  timespec rem{};
  while (nanosleep(&req, &rem) != 0 && errno == EINTR) req = rem;
}

u64 plat_perf_counter() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<u64>(ts.tv_sec) * 1000000000ull + static_cast<u64>(ts.tv_nsec);
}
