#include "platform/int_types.h"
#include "controller/controller_clock.h"

#include <ctime>

#include "platform/clock.h"
#include "platform/process.h"

u32 SystemControllerClock::NowMs() { return plat_tick_ms(); }

i64 SystemControllerClock::NowSeconds() { return static_cast<i64>(std::time(nullptr)); }

void SystemControllerClock::Pause(u32 ms, unsigned wake) {
  if (ms == 0) {
    plat_sleep_ms(0);
    return;
  }
  const int fds[2] = {(wake & kWakeOnRequest) ? fds_[0] : -1, (wake & kWakeOnReply) ? fds_[1] : -1};
  platform::WaitReadable(fds, 2, ms);
}
