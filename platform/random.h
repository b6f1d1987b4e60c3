// Random numbers from the operating system (getrandom), for values that must
// differ from one run of the program to the next: SIP branch and tag seeds,
// Call-ID words.  Not for anything that must repeat under test.
#pragma once
#include <cstddef>
#include <cstdint>

#include "platform/int_types.h"

// Fills `count` bytes at `out` from the kernel's random source.  Blocks only
// until the source is initialised at boot; retried on interruption.  False
// (with `out` filled from a clock-derived fallback) when the source fails.
[[nodiscard]] bool plat_random_bytes(void* out, std::size_t count);

// One random 32-bit value (the fallback of plat_random_bytes on failure).
u32 plat_random_u32();
