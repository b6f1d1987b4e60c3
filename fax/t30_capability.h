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

// Service word bits.
inline constexpr uint16_t T30_SVC_TRANSMIT = 0x0100;  // a document goes out (DCS)
inline constexpr uint16_t T30_SVC_RECEIVE = 0x0200;   // the remote can receive
inline constexpr uint16_t T30_SVC_HOLD = 0x0400;      // leave the DIS unanswered
inline constexpr uint16_t T30_SVC_POLL = 0x1000;      // polling

// Modulation code bits: modem type, page data / HDLC, speed.
inline constexpr uint16_t T30_MOD_V27 = 0x0100;
inline constexpr uint16_t T30_MOD_V29 = 0x0200;
inline constexpr uint16_t T30_MOD_V17 = 0x0800;
inline constexpr uint16_t T30_MOD_DATA = 0x1000;
inline constexpr uint16_t T30_MOD_HDLC = 0x2000;
inline constexpr uint16_t T30_MOD_2400 = 0x02;
inline constexpr uint16_t T30_MOD_4800 = 0x04;
inline constexpr uint16_t T30_MOD_7200 = 0x08;
inline constexpr uint16_t T30_MOD_9600 = 0x10;
inline constexpr uint16_t T30_MOD_12000 = 0x20;
inline constexpr uint16_t T30_MOD_14400 = 0x40;
inline constexpr uint16_t T30_MOD_SPEEDS = 0x7E;
inline constexpr uint16_t T30_MOD_V21_CMD = 0x2081;   // command modulation, V.21 300 bit/s
inline constexpr uint16_t T30_MOD_CMD_2400 = 0x2102;  // alternate command modulation

// Resolution bits.
inline constexpr uint16_t T30_RES_NORMAL = 0x001;     // R8 x 3.85
inline constexpr uint16_t T30_RES_FINE = 0x002;       // R8 x 7.7
inline constexpr uint16_t T30_RES_300 = 0x004;        // 300 x 300
inline constexpr uint16_t T30_RES_R16 = 0x008;        // R16 x 15.4 / 400 x 400
inline constexpr uint16_t T30_RES_600 = 0x010;        // 600 x 600
inline constexpr uint16_t T30_RES_1200 = 0x020;       // 1200 x 1200
inline constexpr uint16_t T30_RES_SUPERFINE = 0x040;  // R8 x 15.4
inline constexpr uint16_t T30_RES_300_600 = 0x080;
inline constexpr uint16_t T30_RES_400_800 = 0x100;
inline constexpr uint16_t T30_RES_600_1200 = 0x200;
inline constexpr uint16_t T30_RES_EXCLUDED = 0x400;  // never survives an intersection

// Coding, width and length bits.
inline constexpr uint8_t T30_CODING_MH = 1;
inline constexpr uint8_t T30_CODING_MR = 2;
inline constexpr uint8_t T30_CODING_MMR = 4;
inline constexpr uint8_t T30_CODING_T85 = 8;
inline constexpr uint8_t T30_WIDTH_A4 = 1;
inline constexpr uint8_t T30_WIDTH_B4 = 2;
inline constexpr uint8_t T30_WIDTH_A3 = 4;
inline constexpr uint8_t T30_LENGTH_A4 = 1;
inline constexpr uint8_t T30_LENGTH_B4 = 2;
inline constexpr uint8_t T30_LENGTH_UNLIMITED = 4;

inline constexpr uint8_t T30_SCAN_NOT_GIVEN = 255;

// FCF octets of the frames these modules build or read (X bit clear).
inline constexpr uint8_t T30_FCF_DIS = 0x01;
inline constexpr uint8_t T30_FCF_DTC = 0x81;
inline constexpr uint8_t T30_FCF_DCS = 0x41;
inline constexpr uint8_t T30_FCF_CFR = 0x21;
inline constexpr uint8_t T30_FCF_X = 0x80;

// Trap raised by the engine for a modulation without a DCS rate code.
inline constexpr uint16_t T30_TRAP_NO_RATE_CODE = 409;

// The capability record, one form for the local defaults, the user's limits,
// the remote's offer and the negotiated result.
struct t30_capability {
  uint16_t service = 0;
  uint16_t modulation = 0;
  uint16_t resolution = 0;
  uint8_t coding = 0;
  uint8_t width = 0;
  uint8_t length = 0;
  uint8_t scan_time = 0;       // 0..7, T30_SCAN_NOT_GIVEN
  uint8_t ecm = 0;             // 0 none, 3 offered, 2 chosen; 1/2 with a fixed frame size
  uint8_t ecm_frame_size = 0;  // 1 = 64 octets, 2 = 256 octets, 3 = either
  uint8_t subaddress = 0;
  uint8_t password = 0;
  uint8_t selective_polling = 0;
  uint8_t polled_subaddress = 0;
  uint8_t t37 = 0;
  uint8_t internet_fax_mode = 0;  // 2 real-time (T.38), 1 internet-aware T.38 device, 0 none
  uint8_t ira = 0;
  uint8_t isp = 0;
  uint8_t unit_preference = 0;  // 1 metric, 2 inch
  uint8_t letter = 0;
  uint8_t legal = 0;
  uint8_t t85_l0 = 0;
  uint16_t extra = 0;

  bool empty() const { return service == 0; }
  bool operator==(const t30_capability&) const = default;
};

// Format of the document pages: resolution, coding and width bits.
struct t30_selection {
  uint16_t resolution = 0xFFFF;  // 0xFFFF: not given
  uint8_t coding = 0xFF;         // 0xFF: not given
  uint8_t width = 0xFF;          // 0xFF: not given
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
  uint32_t v34_word = 0;
};
void t30_cap__write_area(std::span<uint8_t, T30_CAP_AREA_SIZE> out, const t30_cap_area& area);
t30_cap_area t30_cap__read_area(std::span<const uint8_t, T30_CAP_AREA_SIZE> in);

// Frame kinds of the sets that the engine builds and parses.
enum class t30_set_kind : uint8_t { none = 0, dis = 1, dtc = 2, dcs = 3, cfr = 4, nss = 5 };

// Parse the FIF (the octets after the FCF) of a received DIS, DTC or DCS.
// Octets beyond the end of the given span are never read, whatever the
// extension bits say. Returns nothing when the frame is unusable.
struct t30_cap_parsed {
  t30_capability cap;
  bool force_ftt = false;  // DCS rate value 2 or 6: answer the training with FTT
};
std::optional<t30_cap_parsed> t30_cap__parse_fif(t30_set_kind kind, std::span<const uint8_t> fif);

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
bool t30_cap__selection_ok(uint16_t service, const t30_selection& user,
                           const t30_selection& local = T30_LOCAL_SELECTION);

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
  uint16_t page_modulation = 0;
};
t30_neg_dcs t30_neg__on_dcs(const t30_capability& user_record, const t30_capability& dcs);

// True when the record's ECM frame size is a fixed 64 or 256 octets.
inline bool t30_cap__ecm_chosen(const t30_capability& c) { return c.ecm_frame_size == 1 || c.ecm_frame_size == 2; }

// Command modulation for the count of DIS sends (or reception requests).
uint16_t t30_cmd_modulation(bool handshake_2400, unsigned count);

// Speed fallback for DCS and training.
class t30_speed_fallback {
 public:
  // Start again from the top of the list.
  void start();
  // Next speed for the negotiated modulation; nothing when the list is used
  // up. `retrain` is set when the last response asked for one (RTN).
  std::optional<uint16_t> choose(uint16_t negotiated_modulation, bool retrain, bool ecm);

 private:
  uint8_t cursor_ = 0;
  uint8_t tries_left_ = 0;
};

// Speed mask after CFR: speeds up to the trained one.
uint16_t t30_cap__limit_to_trained(uint16_t mask, uint16_t trained_modulation);

// Octet-2 value of the DCS rate bits for a modulation; nothing when the
// modulation has none (the engine raises T30_TRAP_NO_RATE_CODE).
std::optional<uint8_t> t30_dcs_rate_code(uint16_t modulation);

// Modulation of a DCS rate value (FIF bits 11-14 as a 4-bit number).
uint16_t t30_dcs_rate_modulation(uint8_t rate_value);

// Speed in bit/s of a modulation code (its lowest speed bit), 0 when none.
uint32_t t30_modulation_speed(uint16_t modulation);

// Building the FIF of a DIS, DTC or DCS: 16 octets, then trailing empty octets
// dropped while the frame (3 header octets + FIF) is longer than 6 octets.
inline constexpr size_t T30_FIF_MAX = 16;
struct t30_fif_options {
  bool v34_mode = false;
  bool handshake_2400 = false;
  uint16_t command_modulation = T30_MOD_V21_CMD;
  uint16_t dcs_modulation = 0;  // DCS only: the speed chosen for the page data
};
struct t30_fif {
  uint8_t octets[T30_FIF_MAX] = {};
  uint8_t length = 0;
  std::span<const uint8_t> view() const { return {octets, length}; }
};
// Fails only for a DCS whose modulation has no rate code.
std::optional<t30_fif> t30_cap__build_fif(t30_set_kind kind, const t30_capability& cap, const t30_fif_options& opt);
