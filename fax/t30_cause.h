// Cause words of the T.30 engine: origin, severity and layer bits plus the
// number of the cause. The engine's own protocol failures are WERR | WT3C | n.
#pragma once

#include <cstdint>
#include <string_view>

#include "platform/int_types.h"

inline constexpr u16 W_INT = 0x0000;
inline constexpr u16 W_USER = 0x2000;
inline constexpr u16 W_PROV = 0x4000;
inline constexpr u16 WINF = 0x0000;
inline constexpr u16 WERR = 0x1000;
inline constexpr u16 WFMC = 0x0100;
inline constexpr u16 WT3C = 0x0200;
inline constexpr u16 WUSR = 0x0300;

enum t30_cause_number : u8 {
  WLOCDCOK = 1,
  WREMDCOK = 2,
  WXXXDCOK = 3,
  WDCFORCED = 4,
  WREMDCNOK = 5,
  WNONCTS = 6,
  WXPXG = 7,
  WUDISC = 8,
  WNOCD = 9,
  WUNEXP = 10,
  WNIF = 11,
  WNTTRESET = 12,
  WNODISR = 13,
  WT1WTDO = 14,
  WT1S = 15,
  WTRSTATUS = 16,
  WIRQ = 17,
  WFSLOT = 18,
  WAPABORT = 19,
  WINVCAP = 20,
  WIRDCS = 21,
  WIRDTC = 22,
  WNOCFRR = 23,
  WTTTX = 24,
  WAUXFR = 25,
  WEUXFR = 26,
  WF2L = 27,
  WTXNEXT = 28,
  WNOMCFR = 29,
  WRCOMP = 30,
  WUNXEVT = 31,
  WCAP2MUF = 32,
  WNOEOPR = 33,
  WTR2L = 34,
  WECERR = 35,
  WECT5 = 36,
  WECNORRR = 37,
  WXPRG = 38,
  W2LINES = 39,
  W2BITS = 40,
  WLOCCDLOST = 41,
  WNOMCFREOP = 42,
  WURESETCONFIG = 43,
};

// Cause word of a protocol failure of the engine (0x1200 + n).
constexpr u16 t30_protocol_cause(t30_cause_number n) { return static_cast<u16>(WERR | WT3C | n); }

// Text of a cause number; empty for an unknown one.
std::string_view t30_cause_text(unsigned n);
