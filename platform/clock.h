// Tick counts and sleeping.
#pragma once
#include <cstdint>

// Milliseconds of CLOCK_MONOTONIC, kept as a wrapping 32-bit count.  Compare
// two readings only through their signed difference (plat_tick_diff).
uint32_t plat_tick_ms();

// a - b as a signed count of milliseconds, correct across the wrap.
inline int32_t plat_tick_diff(uint32_t a, uint32_t b) { return static_cast<int32_t>(a - b); }

// Sleeps at least ms milliseconds (0 yields the processor).
void plat_sleep_ms(uint32_t ms);

// High-resolution monotonic counter in nanoseconds, and its frequency.
uint64_t plat_perf_counter();
inline constexpr uint64_t plat_perf_frequency() { return 1000000000ull; }
