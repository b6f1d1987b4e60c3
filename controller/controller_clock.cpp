#include "controller/controller_clock.h"

#include <ctime>

#include "platform/clock.h"
#include "platform/process.h"

std::uint32_t SystemControllerClock::NowMs() { return plat_tick_ms(); }

std::int64_t SystemControllerClock::NowSeconds() { return static_cast<std::int64_t>(std::time(nullptr)); }

void SystemControllerClock::Pause(std::uint32_t ms, unsigned wake) {
  if (ms == 0) {
    plat_sleep_ms(0);
    return;
  }
  const int fds[2] = {(wake & kWakeOnRequest) ? fds_[0] : -1, (wake & kWakeOnReply) ? fds_[1] : -1};
  platform::WaitReadable(fds, 2, ms);
}
