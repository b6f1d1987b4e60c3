// The fax modem layer ENT_FM and its management entity ENT_MFM.
//
// ENT_FM is the modem of the T.30 engine (ENT_T30): it runs the engine's
// short control programs (FM_CONTROL_RQ sub-codes 'a' to 'i', see
// fax/t30_engine.h for the bodies) over the fax service of the T.38 entity
// (T38IAF__FAX_ACT_RQ / _DEA_RQ / _DA_RQ, SAPI 20), and turns the service's
// progress indications into the events of a table-driven automaton.
//
// Channels are indexed by nai (below the configured number of slots). The
// engine's frame lists and receive records are frame sets reached through
// t30_fm__frame_set; frames are kept there in the notation of the T.30
// tables and go on the line bit-reversed byte by byte.
//
// The layer is built by the first SM_CONFIG_RQ to ENT_MFM (u16 at data 3 =
// number of channel slots, 62 when absent or 0); later ones are answered as
// successful without change. Everything runs in the runtime's SM task.
#pragma once

#include <cstdint>
#include <span>

#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/types.h"

// Management primitives of ENT_MFM with ENT_FM.
inline constexpr code_t MFM_CONN_RS = 'y';
inline constexpr code_t MFM_DISC_RQ = 'z';
inline constexpr code_t FM_SYNC_RQ = '+';
inline constexpr code_t FM_SYNC_CO = '-';

inline constexpr u16 FM_DEFAULT_CHANNELS = 62;

// Release causes of the layer.
inline constexpr u16 FM_CAUSE_NO_READY = 0x1106;    // transmit ready never came
inline constexpr u16 FM_CAUSE_NO_END = 0x1107;      // end of data never came
inline constexpr u16 FM_CAUSE_NO_ITEM = 0x1111;     // no free request item
inline constexpr u16 FM_CAUSE_PAGE_GUARD = 0x1126;  // page receive guard

// Pool traps.
inline constexpr u16 FM_TRAP_POOLS = 401;
inline constexpr u16 FM_TRAP_EMPTY_POOL = 402;
inline constexpr u16 FM_TRAP_NOT_IN_USE = 403;
inline constexpr u16 FM_TRAP_TIMER_CELL = 404;
inline constexpr u16 FM_TRAP_MSG_SIZE = 408;

// ---------------------------------------------------------------------------
// Training check (TCF): the received bytes of a 1.5 s training are counted
// in windows of 16; a window holding a non-zero byte is bad.

struct fm_tcf_row {
  u16 nominal;      // bytes of 1500 ms at the rate
  u16 minimum;      // fewer: too short
  u16 maximum;      // more: bad (and counting stops)
  u16 bad_windows;  // bad windows allowed for a good verdict
};
inline constexpr size_t FM_TCF_ROWS = 33;
inline constexpr size_t FM_TCF_WINDOW = 16;
// A training whose carrier came but never went is judged this long after
// the carrier came.
inline constexpr u32 FM_TCF_GUARD_MS = 5000;

// The row of a modulation word: ((modulation >> 1) AND 0x403F); rows outside
// the table are the zero row.
const fm_tcf_row& fm_tcf__row(u16 modulation);

enum fm_tcf_verdict : u16 { FM_TCF_BAD = 0, FM_TCF_GOOD = 1, FM_TCF_NO_CARRIER = 2, FM_TCF_SHORT = 3 };

class fm_tcf_check {
 public:
  void start(u16 modulation);
  // Counts the bytes; true once more than the row's maximum were received.
  bool add(std::span<const u8> bytes);
  struct result {
    u16 verdict;
    u16 missing_ms;  // for FM_TCF_SHORT
  };
  [[nodiscard]] result verdict() const;
  u32 bytes() const { return bytes_; }
  u32 bad_windows() const { return bad_windows_; }

 private:
  const fm_tcf_row* row_ = nullptr;
  u32 bytes_ = 0, nonzero_ = 0, win_bytes_ = 0, win_nonzero_ = 0, windows_ = 0, bad_windows_ = 0;
};

// The entities' message handlers.
void fm_entity_handler(msg_t* m);
void mfm_entity_handler(msg_t* m);
// Releases every channel and the layer (no messages are sent): for the end
// of the runtime and for tests.
void fm_release_all();
// Registration of the management entity: fm_release_all becomes its stop
// routine (the layer is one for both entities).
void mfm_entity_init();
inline constexpr entity_table_row_t MFM_ENTITY_ROW = {ENT_MFM, mfm_entity_handler, 0, 0, mfm_entity_init, 0};
