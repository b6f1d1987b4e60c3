// What every part of the device controller shares: the clock, the device's
// identity and settings, its device log, the status word of the job in hand
// (written by the device layer before it returns a failure PERC), the
// closedown request and the page number the device state reports.
#pragma once

#include "common/status_words.h"
#include "controller/controller_clock.h"
#include "controller/controller_config.h"
#include "controller/device_log.h"
#include "platform/int_types.h"

struct ControllerContext {
  explicit ControllerContext(ControllerClock* c) : clock(c) {}

  // True once `ms` milliseconds have passed since `since` (a NowMs value).
  [[nodiscard]] bool Elapsed(u32 since, u32 ms) const {
    return static_cast<i32>(clock->NowMs() - since) >= static_cast<i32>(ms);
  }

  ControllerClock* clock;
  ControllerIdentity id;
  ControllerConfig config;
  DeviceLog device_log;
  StatusWord status_word = 0;
  bool closedown = false;
  u16 current_page = 0;
};
