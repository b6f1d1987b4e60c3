// T.30 capabilities: the capability record, the DIS/DTC/DCS FIF codec, the
// intersection and choice rules, the selection check, the speed fallback and
// the DCS rate codes.
//
// Frame octets are held in the notation of the T.30 tables: the first bit sent
// on the line is the most significant bit of the octet, so FIF bit n lies in
// octet (n - 1) / 8 under the mask 0x80 >> ((n - 1) % 8), and the extension bit
// of an octet is its least significant bit.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "platform/int_types.h"

// Service word bits.
inline constexpr u16 T30_SVC_TRANSMIT = 0x0100;  // a document goes out (DCS)
inline constexpr u16 T30_SVC_RECEIVE = 0x0200;   // the remote can receive
inline constexpr u16 T30_SVC_HOLD = 0x0400;      // leave the DIS unanswered
inline constexpr u16 T30_SVC_POLL = 0x1000;      // polling

// Modulation code bits: modem type, page data / HDLC, speed.
inline constexpr u16 T30_MOD_V27 = 0x0100;
inline constexpr u16 T30_MOD_V29 = 0x0200;
inline constexpr u16 T30_MOD_V17 = 0x0800;
inline constexpr u16 T30_MOD_DATA = 0x1000;
inline constexpr u16 T30_MOD_HDLC = 0x2000;
inline constexpr u16 T30_MOD_2400 = 0x02;
inline constexpr u16 T30_MOD_4800 = 0x04;
inline constexpr u16 T30_MOD_7200 = 0x08;
inline constexpr u16 T30_MOD_9600 = 0x10;
inline constexpr u16 T30_MOD_12000 = 0x20;
inline constexpr u16 T30_MOD_14400 = 0x40;
inline constexpr u16 T30_MOD_SPEEDS = 0x7E;
inline constexpr u16 T30_MOD_V21_CMD = 0x2081;   // command modulation, V.21 300 bit/s
inline constexpr u16 T30_MOD_CMD_2400 = 0x2102;  // alternate command modulation

// Resolution bits.
inline constexpr u16 T30_RES_NORMAL = 0x001;     // R8 x 3.85
inline constexpr u16 T30_RES_FINE = 0x002;       // R8 x 7.7
inline constexpr u16 T30_RES_300 = 0x004;        // 300 x 300
inline constexpr u16 T30_RES_R16 = 0x008;        // R16 x 15.4 / 400 x 400
inline constexpr u16 T30_RES_600 = 0x010;        // 600 x 600
inline constexpr u16 T30_RES_1200 = 0x020;       // 1200 x 1200
inline constexpr u16 T30_RES_SUPERFINE = 0x040;  // R8 x 15.4
inline constexpr u16 T30_RES_300_600 = 0x080;
inline constexpr u16 T30_RES_400_800 = 0x100;
inline constexpr u16 T30_RES_600_1200 = 0x200;
inline constexpr u16 T30_RES_EXCLUDED = 0x400;  // never survives an intersection

// Coding, width and length bits.
inline constexpr u8 T30_CODING_MH = 1;
inline constexpr u8 T30_CODING_MR = 2;
inline constexpr u8 T30_CODING_MMR = 4;
inline constexpr u8 T30_CODING_T85 = 8;
inline constexpr u8 T30_WIDTH_A4 = 1;
inline constexpr u8 T30_WIDTH_B4 = 2;
inline constexpr u8 T30_WIDTH_A3 = 4;
inline constexpr u8 T30_LENGTH_A4 = 1;
inline constexpr u8 T30_LENGTH_B4 = 2;
inline constexpr u8 T30_LENGTH_UNLIMITED = 4;

inline constexpr u8 T30_SCAN_NOT_GIVEN = 255;

// FCF octets of the frames these modules build or read (X bit clear).
inline constexpr u8 T30_FCF_DIS = 0x01;
inline constexpr u8 T30_FCF_DTC = 0x81;
inline constexpr u8 T30_FCF_DCS = 0x41;
inline constexpr u8 T30_FCF_CFR = 0x21;
inline constexpr u8 T30_FCF_X = 0x80;

// Trap raised by the engine for a modulation without a DCS rate code.
inline constexpr u16 T30_TRAP_NO_RATE_CODE = 409;

// The capability record, one form for the local defaults, the user's limits,
// the remote's offer and the negotiated result.
struct t30_capability {
  u16 service = 0;
  u16 modulation = 0;
  u16 resolution = 0;
  u8 coding = 0;
  u8 width = 0;
  u8 length = 0;
  u8 scan_time = 0;       // 0..7, T30_SCAN_NOT_GIVEN
  u8 ecm = 0;             // 0 none, 3 offered, 2 chosen; 1/2 with a fixed frame size
  u8 ecm_frame_size = 0;  // 1 = 64 octets, 2 = 256 octets, 3 = either
  u8 subaddress = 0;
  u8 password = 0;
  u8 selective_polling = 0;
  u8 polled_subaddress = 0;
  u8 t37 = 0;
  u8 internet_fax_mode = 0;  // 2 real-time (T.38), 1 internet-aware T.38 device, 0 none
  u8 ira = 0;
  u8 isp = 0;
  u8 unit_preference = 0;  // 1 metric, 2 inch
  u8 letter = 0;
  u8 legal = 0;
  u8 t85_l0 = 0;
  u16 extra = 0;

  bool empty() const { return service == 0; }
  bool operator==(const t30_capability&) const = default;
};

// Format of the document pages: resolution, coding and width bits.
struct t30_selection {
  u16 resolution = 0xFFFF;  // 0xFFFF: not given
  u8 coding = 0xFF;         // 0xFF: not given
  u8 width = 0xFF;          // 0xFF: not given
  bool operator==(const t30_selection&) const = default;
};

// Every resolution, coding and width that the engine handles.
inline constexpr t30_selection T30_LOCAL_SELECTION{0x07FF, 0x0F, 0x07};

// The record loaded at every call start.
t30_capability t30_cap__defaults();

// Capability area of T30_WhatToDo_IN / _RS and T30_EONEG_IN (32 octets, little
// endian): service u16 @0, modulation u16 @2, V.34 word u32 @4, resolution u16
// @8, the 18 byte fields in record order @10..27, the selection record
// {u16 @28, u8 @30, u8 @31}.
inline constexpr size_t T30_CAP_AREA_SIZE = 32;
struct t30_cap_area {
  t30_capability cap;
  t30_selection selection;
  u32 v34_word = 0;
};
void t30_cap__write_area(std::span<u8, T30_CAP_AREA_SIZE> out, const t30_cap_area& area);
t30_cap_area t30_cap__read_area(std::span<const u8, T30_CAP_AREA_SIZE> in);

// Frame kinds of the sets that the engine builds and parses.
enum class t30_set_kind : u8 { none = 0, dis = 1, dtc = 2, dcs = 3, cfr = 4, nss = 5 };

// Parse the FIF (the octets after the FCF) of a received DIS, DTC or DCS.
// Octets beyond the end of the given span are never read, whatever the
// extension bits say. Returns nothing when the frame is unusable.
struct t30_cap_parsed {
  t30_capability cap;
  bool force_ftt = false;  // DCS rate value 2 or 6: answer the training with FTT
};
std::optional<t30_cap_parsed> t30_cap__parse_fif(t30_set_kind kind, std::span<const u8> fif);

// Intersection switches.
struct t30_cap_switches {
  bool strict = false;
  bool dcs_check = false;
  bool choice = false;
};

// Intersect a local record with a remote one; an empty result has service 0.
t30_capability t30_cap__intersect(const t30_capability& local, const t30_capability& remote, t30_cap_switches sw);

// Narrow a record to single values (coding, resolution, width, length, scan
// time, ECM and frame size).
void t30_cap__choose(t30_capability& cap);

// The user's page format against the local one; false empties the service.
bool t30_cap__selection_ok(u16 service, const t30_selection& user, const t30_selection& local = T30_LOCAL_SELECTION);

// Steps of a negotiation (records named as the engine keeps them).
// Answering side, before its DIS: the user's fields against the local ones.
t30_capability t30_neg__offer(const t30_capability& user_fields, const t30_capability& local);
// Calling side, DIS received: what both sides can do (the new user record).
t30_capability t30_neg__on_dis(const t30_capability& local, const t30_capability& remote);
// Calling side, the user's answer to the DIS: the result record, with the
// selection check applied (service 0 = release).
t30_capability t30_neg__on_user_answer(const t30_capability& user_record, const t30_capability& user_fields,
                                       const t30_selection& user_selection);
// DTC received: the result and the narrowed user record.
struct t30_neg_dtc {
  t30_capability result;
  t30_capability user_record;
};
t30_neg_dtc t30_neg__on_dtc(const t30_capability& user_record, const t30_capability& remote);
// DCS received: the result (empty = incompatible DCS) and the modulation of
// the page data.
struct t30_neg_dcs {
  t30_capability result;
  u16 page_modulation = 0;
};
t30_neg_dcs t30_neg__on_dcs(const t30_capability& user_record, const t30_capability& dcs);

// True when the record's ECM frame size is a fixed 64 or 256 octets.
inline bool t30_cap__ecm_chosen(const t30_capability& c) { return c.ecm_frame_size == 1 || c.ecm_frame_size == 2; }

// Command modulation for the count of DIS sends (or reception requests).
u16 t30_cmd_modulation(bool handshake_2400, unsigned count);

// Speed fallback for DCS and training.
class t30_speed_fallback {
 public:
  // Start again from the top of the list.
  void start();
  // Next speed for the negotiated modulation; nothing when the list is used
  // up. `retrain` is set when the last response asked for one (RTN).
  std::optional<u16> choose(u16 negotiated_modulation, bool retrain, bool ecm);

 private:
  u8 cursor_ = 0;
  u8 tries_left_ = 0;
};

// Speed mask after CFR: speeds up to the trained one.
u16 t30_cap__limit_to_trained(u16 mask, u16 trained_modulation);

// Octet-2 value of the DCS rate bits for a modulation; nothing when the
// modulation has none (the engine raises T30_TRAP_NO_RATE_CODE).
std::optional<u8> t30_dcs_rate_code(u16 modulation);

// Modulation of a DCS rate value (FIF bits 11-14 as a 4-bit number).
u16 t30_dcs_rate_modulation(u8 rate_value);

// Speed in bit/s of a modulation code (its lowest speed bit), 0 when none.
u32 t30_modulation_speed(u16 modulation);

// Building the FIF of a DIS, DTC or DCS: 16 octets, then trailing empty octets
// dropped while the frame (3 header octets + FIF) is longer than 6 octets.
inline constexpr size_t T30_FIF_MAX = 16;
struct t30_fif_options {
  bool v34_mode = false;
  bool handshake_2400 = false;
  u16 command_modulation = T30_MOD_V21_CMD;
  u16 dcs_modulation = 0;  // DCS only: the speed chosen for the page data
};
struct t30_fif {
  u8 octets[T30_FIF_MAX] = {};
  u8 length = 0;
  std::span<const u8> view() const { return {octets, length}; }
};
// Fails only for a DCS whose modulation has no rate code.
std::optional<t30_fif> t30_cap__build_fif(t30_set_kind kind, const t30_capability& cap, const t30_fif_options& opt);
