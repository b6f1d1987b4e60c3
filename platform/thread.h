// Threads with best-effort relative priorities.
#pragma once
#include <cstdint>
#include <memory>

#include "platform/int_types.h"

// Relative priorities, highest first: time-critical (timer thread), highest
// (entity thread), normal, lowest (background thread).  Applied as nice
// values of the thread; raising a priority needs privileges and is silently
// skipped without them.
enum plat_priority : int {
  PLAT_PRIO_LOWEST = -2,
  PLAT_PRIO_NORMAL = 0,
  PLAT_PRIO_HIGHEST = 2,
  PLAT_PRIO_TIME_CRITICAL = 15,
};

struct plat_thread;  // opaque

using plat_thread_fn = void (*)(void* arg);

// Starts fn(arg) in a new thread with the given priority; null on failure
// (errno-style code in *error when given).
[[nodiscard]] plat_thread* plat_thread_start(plat_thread_fn fn, void* arg, int priority, int* error = nullptr);

// Waits for the thread to end and releases it.
void plat_thread_join(plat_thread* t);

// Lets the thread run on unattended and releases the handle.
void plat_thread_detach(plat_thread* t);

// Numeric id of the calling thread (the kernel thread id).
u32 plat_thread_self_id();

// Numeric id of a started thread (0 until it has run).
u32 plat_thread_id(const plat_thread* t);

// Applies a relative priority to the calling thread; false when refused.
bool plat_thread_set_priority(int priority);
