// The one clock of the device controller.  Every wait of the program is a
// Pause on this interface, which ends early when a packet reaches one of the
// controller's own slots; every limit is kept as elapsed time read from it.
// Tests give a virtual clock so that the 60 s and 1800 s rules run at once.
#pragma once

#include <cstdint>

#include "platform/int_types.h"

class ControllerClock {
 public:
  virtual ~ControllerClock() = default;
  // Monotonic milliseconds (wrapping).
  virtual u32 NowMs() = 0;
  // Wall-clock seconds (may go backwards).
  virtual i64 NowSeconds() = 0;
  // Waits up to `ms` milliseconds; returns early when one of the slots named
  // by `wake` has a packet waiting (or a signal arrives).  A wait for an
  // answer of tessaly names the reply slot only, so that a request waiting
  // for the main loop does not end every pause at once.
  static constexpr unsigned kWakeOnRequest = 1;
  static constexpr unsigned kWakeOnReply = 2;
  static constexpr unsigned kWakeOnBoth = 3;
  virtual void Pause(u32 ms, unsigned wake) = 0;
  // The slots to watch (descriptors, -1 for none).
  void Watch(int request_fd, int reply_fd) {
    fds_[0] = request_fd;
    fds_[1] = reply_fd;
  }

 protected:
  int fds_[2] = {-1, -1};
};

// The system clock with poll() on the watched slots.
class SystemControllerClock : public ControllerClock {
 public:
  u32 NowMs() override;
  i64 NowSeconds() override;
  void Pause(u32 ms, unsigned wake) override;
};

// A virtual clock: Pause advances time; the hook (a test's scripted peers)
// runs first and, when it reports that it delivered a packet, the pause
// lasts only 1 ms.
class VirtualControllerClock : public ControllerClock {
 public:
  using Hook = bool (*)(void* context);
  void SetHook(Hook hook, void* context) {
    hook_ = hook;
    context_ = context;
  }
  u32 NowMs() override { return static_cast<u32>(now_ms_); }
  i64 NowSeconds() override { return base_seconds_ + static_cast<i64>(now_ms_ / 1000); }
  void Pause(u32 ms, unsigned /*wake*/) override {
    bool delivered = hook_ ? hook_(context_) : false;
    now_ms_ += delivered ? 1 : (ms ? ms : 1);
  }
  void Advance(u64 ms) { now_ms_ += ms; }
  u64 elapsed_ms() const { return now_ms_; }

 private:
  Hook hook_ = nullptr;
  void* context_ = nullptr;
  u64 now_ms_ = 0;
  i64 base_seconds_ = 1700000000;
};
