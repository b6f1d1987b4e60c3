// A timer of the SIP entity with its owner's running flag and counter.
#pragma once

#include <cstdint>

#include "platform/int_types.h"
#include "runtime/msg.h"
#include "runtime/timer.h"

inline constexpr u32 SIP_TIMER_NEVER_MS = 0xFFFFFFFFu;

// A timer cell with the owner's running flag and counter: every start
// increments the counter and passes it as id; an expiry is taken only while
// the flag is set and its id is the counter.
struct sip_timer_owner {
  timer_cell_t* cell = nullptr;
  u8 running = 0;
  u8 counter = 0;

  void start(u32 ms, code_t code) {
    ++counter;
    if (ms != SIP_TIMER_NEVER_MS) Timer_start(cell, ms, counter, code);
    running = 1;
  }
  void stop() {
    Timer_stop(cell);
    running = 0;
  }
  // Starts the cell of a start made with SIP_TIMER_NEVER_MS (the flag set,
  // no cell running) when that start is still the current one (`id` its
  // counter); false otherwise.
  bool resume(u8 id, u32 ms, code_t code) {
    if (running == 0 || counter != id) return false;
    if (ms != SIP_TIMER_NEVER_MS) Timer_start(cell, ms, counter, code);
    return true;
  }
  // True (and the flag cleared) when the expiry is the current one.
  bool accept(const msg_t* m) {
    if (running == 0 || Timer_expiry_id(m) != counter) return false;
    running = 0;
    return true;
  }
  void release() {
    Timer_free(cell);
    cell = nullptr;
    running = 0;
  }
};
