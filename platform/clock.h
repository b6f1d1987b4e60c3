// Tick counts and sleeping.
#pragma once
#include <cstdint>

#include "platform/int_types.h"

// Milliseconds of CLOCK_MONOTONIC, kept as a wrapping 32-bit count.  Compare
// two readings only through their signed difference (plat_tick_diff).
u32 plat_tick_ms();

// a - b as a signed count of milliseconds, correct across the wrap.
inline i32 plat_tick_diff(u32 a, u32 b) { return static_cast<i32>(a - b); }

// Sleeps at least ms milliseconds (0 yields the processor).
void plat_sleep_ms(u32 ms);

// High-resolution monotonic counter in nanoseconds, and its frequency.
u64 plat_perf_counter();
inline constexpr u64 plat_perf_frequency() { return 1000000000ull; }
