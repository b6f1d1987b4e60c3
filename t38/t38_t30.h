// T.30 inspection of what passes through an IAF session: V.21 frames are
// followed octet by octet as they are sent or received (in the fax engine's
// bit order: address 0xFF, FCF 0x80 for DIS), high-speed data field by field.
//
// The inspection counts frames and pages, notes the facts the IAF service
// needs (DCS with its rate and ECM frame size, CTC, DCN, NSS), limits the
// data-rate field of DIS and DTC to the session's fax_max_bit_rate and
// clears their V.8 bit in place, and writes the T.30 trace lines (class
// 0x80).  A frame record lives for one transmission or reception; the call
// record for one activation of the session.
#pragma once

#include <cstdint>

#include "runtime/types.h"

namespace kv::t38 {

struct t38_session;

inline constexpr u32 T30__STAT_FRAMES = 38;
inline constexpr u16 T30__MAX_CAPTURE = 4000;
inline constexpr u8 T30__RATE_NONE = 0xFF;

// FCF values as the octets stand in the frame.
enum : u8 {
  T30__DIS = 0x80,
  T30__DCS = 0x82,
  T30__DTC = 0x81,
  T30__NSS = 0x22,
  T30__NSF = 0x20,
  T30__NSC = 0x21,
  T30__CSI = 0x40,
  T30__TSI = 0x42,
  T30__DCN = 0xFA,
  T30__CIG = 0x41,
  T30__PWD = 0xC1,
  T30__SUB = 0xC2,
  T30__SEP = 0xA1,
  T30__PPS = 0xBE,
  T30__PPR = 0xBC,
  T30__CTC = 0x12,
  T30__CFR = 0x84,
  T30__MCF = 0x8C,
};

struct t30_call_record {
  u8 dcs_pending = 0;
  u8 new_page = 0;
  u8 page_repeat = 0;
  u8 hs_in_progress = 0;
  u16 page_count = 0;
  u8 last_rate = 0;
  u8 highest = T30__RATE_NONE;
  u8 lowest = T30__RATE_NONE;
  u16 frames[T30__STAT_FRAMES] = {};
  u16 other_frames = 0;
  // Facts of the last complete frames, for the IAF service.
  u8 fact = 0;  // 0 none, 1 DCS, 2 CTC
  u8 fact_rate = 0;
  u8 fact_ecm = 0;
  u16 fact_ecm_size = 0;
};

enum : u8 { T30__MODE_UNKNOWN = 0, T30__MODE_V21 = 1, T30__MODE_ECM = 2, T30__MODE_TRANSPARENT = 3 };
enum : u8 { T30__POS_ADDRESS = 1, T30__POS_CONTROL, T30__POS_FCF, T30__POS_FIF, T30__POS_BAD = 5 };

struct t30_frame_record {
  u8 mode = T30__MODE_UNKNOWN;
  u32 bytes = 0;
  u8 pos = T30__POS_ADDRESS;
  u8 complete = 0;  // 1 once ended with a good FCS
  u8 fcf = 0;
  u8 dcs_rate = 0;
  u8 ecm = 0;
  u16 ecm_size = 0;
  u8 coding = 3;
  u8 ctc_rate = 0;
  u8 dis_rate_rx = 0, dis_rate_tx = 0;
  u8 iaf_bit_rx = 0, iaf_bit_tx = 0;
  u8 v8_rx = 0, v8_tx = 0;
  u8 dcs_iaf = 0;
  u16 fif_index = 0;
  char fif_text[22] = {};
  u8 fif_len = 0;
  u16 capture_len = 0;
  u8 capture[T30__MAX_CAPTURE] = {};
};

// Outcome of a complete frame for the IAF service.
enum t30_frame_verdict : u8 {
  T30__FRAME_OTHER = 0,
  T30__FRAME_DCS,
  T30__FRAME_CTC,
  T30__FRAME_NSS,
  T30__FRAME_DCN,
  T30__FRAME_BAD
};

void t30_frame__reset(t30_frame_record& f);
// One octet of a V.21 frame, inspected and possibly changed in place.
void t30_frame__octet(t30_frame_record& f, u8& octet, u16 max_bit_rate, t30_call_record& call);
// The frame ended with a good (fcs_ok) or a bad FCS: counts it, notes its
// facts in the call record, traces it; returns what the frame was.
// `direction`: 0 received from IP, 1 sent to IP (for the event reports).
t30_frame_verdict t30_frame__end(t30_frame_record& f, bool fcs_ok, t30_call_record& call, t38_session& s,
                                 u8 direction = 0);
// One high-speed data field (field type, bytes) of a transmission.
void t30_frame__hs_field(t30_frame_record& f, u8 field_type, const u8* data, u16 length, t30_call_record& call,
                         t38_session& s, u8 direction = 0);
// An event report of a kind (0x1, 0x4, or the first of a triple raised by
// direction: 0 and 3 the kind itself, 1 twice it, others four times it)
// with the record's bytes after the kind.
void t30__event(t38_session& s, u32 kind, u8 direction, const u8* rest = nullptr, u32 n = 0);

// The T.30 statistics: 84 bytes {u16 page count, u8 highest, u8 lowest, 38
// u16 frame counters, u16 other frames}, little-endian; traced under class
// 0x80 when `trace` is set.
inline constexpr u32 T30__STATISTICS_SIZE = 84;
void t30__statistics(const t30_call_record& call, u8 out[T30__STATISTICS_SIZE], t38_session* trace);

}  // namespace kv::t38
