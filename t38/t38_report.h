// Traps and reports of T.38 sessions: the trap routine that all T.38 code
// calls, the error counters with their periodic report, event reports, and
// the T38__REPORT_IN body.
//
// T38__REPORT_IN body (T38__REPORT_BODY_SIZE bytes, little-endian):
//   0 u8 kind: 'R' error, 'E' event, 'T' trace      1 u8 kind_of_session
//   4 u32 session age in ms
//   error report: 8 u32 error class, 12 u16 trap code, 14 trap name (45
//     bytes, NUL-terminated), 59 diagnostic text (100 bytes, NUL-terminated),
//     160 u32 count
//   event report: 8 the 44-byte event record (its u32 kind first)
//   trace report: 8 u16 text length (the text in the buffer chain)
// Names and texts are copied with a bound and always end with a NUL.
#pragma once

#include <cstdint>

#include "runtime/types.h"

struct msg_t;
struct msg_head;

namespace kv::t38 {

struct t38_session;

inline constexpr code_t T38__REPORT_IN = 'R';
inline constexpr code_t T38__REPORT_IN_SM = 'k';
inline constexpr u32 T38__REPORT_BODY_SIZE = 164;
inline constexpr u32 T38__REPORT_NAME_OFFSET = 14;
inline constexpr u32 T38__REPORT_NAME_SIZE = 45;
inline constexpr u32 T38__REPORT_TEXT_OFFSET = 59;
inline constexpr u32 T38__REPORT_TEXT_SIZE = 100;
inline constexpr u32 T38__REPORT_COUNT_OFFSET = 160;
inline constexpr u32 T38__EVENT_RECORD_SIZE = 44;

// Error classes (error_report_bfi bits).
enum : u32 {
  T38__ERR_REPORT__TRAP = 0x1,
  T38__ERR_REPORT__SAMPLE_UNDERRUN_OVERRUN = 0x2,
  T38__ERR_REPORT__TX_UNDERRUN = 0x4,
  T38__ERR_REPORT__UDPTL_LOST = 0x8,
  T38__ERR_REPORT__SM_CONGESTION = 0x10,
  T38__ERR_REPORT__DFIELD_CONGESTION = 0x20,
  T38__ERR_REPORT__IFP_PCK_CONGESTION = 0x40,
  T38__ERR_REPORT__ECM_FRAME_TOO_LONG = 0x80,
  T38__ERR_REPORT__CORRUPTED_HDLC_FRAME = 0x100,
};

// Event kinds that are always reported.
inline constexpr u32 T38__EVENT__NETWORK_SIMULATION = 0x100000;

// Trap codes beyond those of the codecs (t38_traps.h).
enum : u16 {
  T38__TRAP__OM_OS_BLOCK_MEM_ERROR_PART = 11014,
  T38__TRAP__IFP_PCK__NO_AVAILABLE_RCV_IFP_PCK = 11097,
  T38__TRAP__MAIN__NO_MSG_NO_BUFFER = 12011,
  T38__TRAP__OM_OS_BLOCK_MEM_ERROR_UNKNOWN = 12016,
  T38__TRAP__IFP_OM_OS_BLOCK_MEM_ERROR_ALLOC_USED = 12017,
  T38__TRAP__IFP_OM_OS_BLOCK_MEM_ERROR_ALLOC_INVALID = 12018,
  T38__TRAP__IFP_OM_OS_BLOCK_MEM_ERROR_FREE_TWICE = 12019,
  T38__TRAP__DF_OM_OS_BLOCK_MEM_ERROR_ALLOC_USED = 12020,
  T38__TRAP__DF_OM_OS_BLOCK_MEM_ERROR_ALLOC_INVALID = 12021,
  T38__TRAP__DF_OM_OS_BLOCK_MEM_ERROR_FREE_TWICE = 12022,
  T38__TRAP__IFP_PCK__NO_MORE_MSG = 12093,
  T38__TRAP__IFP_PCK__NO_MORE_IFP_PCK = 12095,
  T38__TRAP__IFP_PCK__SND_TOO_MUCH_UDPTL_PCK = 12098,
  T38__TRAP__IFP_PCK__RCV_TOO_MUCH_UDPTL_PCK = 12121,
  T38__TRAP__IFP_PCK__ERR_DECOD_PRI_IFP_PCK = 13122,
  T38__TRAP__IFP_PCK__ERR_DECOD_SEC_IFP_PCK = 13123,
  T38__TRAP__REPORT__NO_MSG_NO_BUFFER = 13150,
  OM_OS_BLOCK_MEMORY_ERROR_FREE_INVALID = 40005,
};

// Name of a trap code ("" when unknown).
const char* t38__trap_name(u16 code);

// The trap routine.  origin 0: the report goes from ENT_T38 to the user;
// other: it is addressed from ENT_PH_IT to ENT_T38, which relays it.
// Class 0x1 reports the trap; classes 0x2 to 0x100 add `count` to their
// counter (0x20 and 0x40 take the pool's congestion count) and arm the
// periodic report.
void t38_report__trap(u8 origin, u32 err_class, u16 code, const char* name, const char* text, t38_session& s,
                      u32 count = 1);
// A trap of class 0x1 with its table name.
void t38__trap(t38_session& s, u16 code, const char* text, u8 origin = 0);
// A new message with room for n data bytes (inline or in one buffer), *p
// where they start, taken on the interrupt side with `it_side`; null after
// the trap `code` with `text` when none can be had.
[[nodiscard]] msg_t* t38__alloc_msg(t38_session& s, u32 n, u8** p, u16 code, const char* text, bool it_side = false);

// Report set-up at configuration: keeps a report message when error
// reports are on.  2 or cause 12.
[[nodiscard]] u8 t38_report__setup(t38_session& s);
void send_t38__report_in__error(u32 err_class, u32 count, t38_session& s);
void t38_report__event_report(const u8 record[T38__EVENT_RECORD_SIZE], t38_session& s);
void t38_report__periodic(t38_session& s);
void t38_report__congestion_change(u8 state, t38_session& s);
void t38_report__end_of_session(t38_session& s);
// Error counter of a class (0x2 to 0x100; 0x20 / 0x40 are the pools').
u32 t38_report__count(const t38_session& s, u32 err_class);
// The header of a T38__REPORT_IN to the session's user.
msg_head t38_report__user_head(const t38_session& s);
// Addresses m as a T38__REPORT_IN to the session's user.
void t38_report__address_to_user(msg_t* m, const t38_session& s);

}  // namespace kv::t38
