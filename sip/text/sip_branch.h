// Via branch parameters made by this SIP stack: "z9hG4bK-" HEX "-" HEX, the
// first number a 15-bit random draw, the second a counter.  The counter
// starts from an operating-system random value, so branches do not repeat
// after a restart.
#pragma once

#include <cstdint>

#include "sip/text/sip_str.h"
#include "platform/int_types.h"

inline constexpr char SIP_BRANCH_COOKIE[] = "z9hG4bK";
// Bytes taken from the work area for one branch.
inline constexpr u16 SIP_BRANCH_ROOM = 65;

// Writes a new branch into the work area: *out is the text with its NUL
// (length counts it).  False, *out untouched, when the work area is full.
[[nodiscard]] bool sip_branch__make(sip_str* out);
// Restarts the counter at `value` (tests); otherwise it is seeded from the
// operating system's random source on first use.
void sip_branch__seed(u32 value);
// Forgets the counter, as a restart of the program does: the next branch
// seeds it afresh.
void sip_branch__restart();
