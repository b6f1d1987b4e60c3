#include "fax/t30_capability.h"

#include <array>
#include <bit>

#include "common/byte_order.h"

namespace {

// ---------------------------------------------------------------------------
// FIF bit access (bit n of the T.30 tables, 1-based).

constexpr u8 fif_mask(unsigned bit) { return static_cast<u8>(0x80u >> ((bit - 1) % 8)); }
constexpr unsigned fif_octet(unsigned bit) { return (bit - 1) / 8; }

struct fif_reader {
  std::span<const u8> octets;  // only the octets that belong to the FIF
  bool bit(unsigned n) const {
    const unsigned i = fif_octet(n);
    return i < octets.size() && (octets[i] & fif_mask(n)) != 0;
  }
  u8 octet(unsigned i) const { return i < octets.size() ? octets[i] : 0; }
};

struct fif_writer {
  u8* octets;
  void set(unsigned n) { octets[fif_octet(n)] |= fif_mask(n); }
};

// ---------------------------------------------------------------------------
// Tables of the FIF codec.

// DIS/DTC rate value (bits 11-14, bit 11 highest) -> modulation mask.
constexpr u16 dis_rate_modulation(unsigned v) {
  switch (v) {
    case 4: return 0x1106;
    case 8: return 0x1218;
    case 12: return 0x131E;
    case 13: return 0x1B7E;
    case 14: return 0x131E;
    default: return 0x1102;
  }
}

constexpr std::array<u8, 4> kDisWidth = {T30_WIDTH_A4, 0x07, 0x03, 0x07};
constexpr std::array<u8, 4> kDcsWidth = {T30_WIDTH_A4, T30_WIDTH_A3, T30_WIDTH_B4, 0};
constexpr std::array<u8, 4> kDisLength = {T30_LENGTH_A4, 0x07, 0x03, 0};
constexpr std::array<u8, 4> kDcsLength = {T30_LENGTH_A4, T30_LENGTH_UNLIMITED, T30_LENGTH_B4, 0};
// Scan time value (bits 21-23, bit 21 highest) -> scan code; 0xFF invalid.
constexpr std::array<u8, 8> kDisScan = {5, 7, 3, 2, 1, 6, 4, 0};
constexpr std::array<u8, 8> kDcsScan = {5, 7, 3, 0xFF, 1, 0xFF, 0xFF, 0};
// Scan code -> octet-3 bits 21-23.
constexpr std::array<u8, 8> kScanBits = {0x0E, 0x08, 0x06, 0x04, 0x0C, 0x00, 0x0A, 0x02};

// Scan code -> time at normal and at fine resolution, in the code units
// 0 = 0 ms, 1 = 5 ms, 3 = 10 ms, 5 = 20 ms, 7 = 40 ms.
constexpr std::array<u8, 8> kScanNormal = {0, 1, 3, 3, 5, 5, 7, 7};
constexpr std::array<u8, 8> kScanFine = {0, 1, 1, 3, 3, 5, 5, 7};

constexpr u16 kResNormalGroup = T30_RES_NORMAL | T30_RES_EXCLUDED;
constexpr u16 kResFineGroup = 0x3FE;

// Resolution choice order, best first.
constexpr std::array<u16, 9> kResolutionOrder = {T30_RES_1200,    T30_RES_600_1200,  T30_RES_600,
                                                 T30_RES_400_800, T30_RES_R16,       T30_RES_300_600,
                                                 T30_RES_300,     T30_RES_SUPERFINE, T30_RES_FINE};

// Speed sets that a DIS can express (strict intersection).
constexpr std::array<u16, 7> kDisSpeedSets = {0x02, 0x06, 0x18, 0x1E, 0x20, 0x40, 0x7E};

// Frame-size / ECM minimum table (row local, column remote).
constexpr u8 kEcmTable[4][4] = {{0, 0, 0, 0}, {0, 1, 1, 1}, {0, 1, 2, 2}, {0, 1, 2, 3}};

struct fallback_entry {
  u16 modulation;
  u8 tries;
};
constexpr std::array<fallback_entry, 7> kFallback = {
    {{0x1840, 1}, {0x1820, 1}, {0x1210, 1}, {0x1208, 1}, {0x1104, 1}, {0x1102, 2}, {0, 0}}};

constexpr u16 kFallbackSpeedBits = 0x807F;
constexpr u16 kFallbackTypeBits = 0x8F80;

bool single_bit(unsigned v) { return v != 0 && (v & (v - 1)) == 0; }

u8 highest_bit(u8 v) { return v == 0 ? 0 : static_cast<u8>(1u << (std::bit_width(v) - 1u)); }

bool width_valid(u8 w, bool strict) {
  switch (w) {
    case 1:
    case 3:
    case 7: return true;
    case 2:
    case 4: return !strict;
    default: return false;
  }
}

u8 ecm_min(u8 local, u8 remote) { return kEcmTable[local > 3 ? 3 : local][remote > 3 ? 3 : remote]; }

}  // namespace

// ---------------------------------------------------------------------------

t30_capability t30_cap__defaults() {
  t30_capability c;
  c.service = 0x1730;
  c.modulation = 0x1F7E;
  c.resolution = 0x03FF;
  c.coding = 0x0F;
  c.width = 0x07;
  c.length = 0x07;
  c.scan_time = 0;
  c.ecm = 3;
  c.ecm_frame_size = 3;
  c.subaddress = 1;
  c.password = 1;
  c.selective_polling = 1;
  c.polled_subaddress = 1;
  c.t37 = 0;
  c.internet_fax_mode = 0;
  c.ira = 0;
  c.isp = 0;
  c.unit_preference = 0;
  c.letter = 1;
  c.legal = 1;
  c.t85_l0 = 1;
  c.extra = 0x01FF;
  return c;
}

void t30_cap__write_area(std::span<u8, T30_CAP_AREA_SIZE> out, const t30_cap_area& a) {
  u8* p = out.data();
  const t30_capability& c = a.cap;
  put_le16(p + 0, c.service);
  put_le16(p + 2, c.modulation);
  put_le32(p + 4, a.v34_word);
  put_le16(p + 8, c.resolution);
  const u8 bytes[18] = {c.coding,
                        c.width,
                        c.length,
                        c.scan_time,
                        c.ecm,
                        c.ecm_frame_size,
                        c.subaddress,
                        c.password,
                        c.selective_polling,
                        c.polled_subaddress,
                        c.t37,
                        c.internet_fax_mode,
                        c.ira,
                        c.isp,
                        c.unit_preference,
                        c.letter,
                        c.legal,
                        c.t85_l0};
  for (size_t i = 0; i < sizeof bytes; ++i) p[10 + i] = bytes[i];
  put_le16(p + 28, a.selection.resolution);
  p[30] = a.selection.coding;
  p[31] = a.selection.width;
}

t30_cap_area t30_cap__read_area(std::span<const u8, T30_CAP_AREA_SIZE> in) {
  const u8* p = in.data();
  t30_cap_area a;
  t30_capability& c = a.cap;
  c.service = get_le16(p + 0);
  c.modulation = get_le16(p + 2);
  a.v34_word = get_le32(p + 4);
  c.resolution = get_le16(p + 8);
  u8* fields[18] = {&c.coding,
                    &c.width,
                    &c.length,
                    &c.scan_time,
                    &c.ecm,
                    &c.ecm_frame_size,
                    &c.subaddress,
                    &c.password,
                    &c.selective_polling,
                    &c.polled_subaddress,
                    &c.t37,
                    &c.internet_fax_mode,
                    &c.ira,
                    &c.isp,
                    &c.unit_preference,
                    &c.letter,
                    &c.legal,
                    &c.t85_l0};
  for (size_t i = 0; i < 18; ++i) *fields[i] = p[10 + i];
  c.extra = 0x01FF;
  a.selection.resolution = get_le16(p + 28);
  a.selection.coding = p[30];
  a.selection.width = p[31];
  return a;
}

// ---------------------------------------------------------------------------
// FIF parsing.

std::optional<t30_cap_parsed> t30_cap__parse_fif(t30_set_kind kind, std::span<const u8> fif) {
  if (kind != t30_set_kind::dis && kind != t30_set_kind::dtc && kind != t30_set_kind::dcs) return std::nullopt;
  if (fif.size() < 3) return std::nullopt;
  // The FIF ends at the first octet from octet 3 on without the extension
  // bit, after 16 octets, or where the frame ends, whichever comes first.
  const size_t avail = fif.size() < T30_FIF_MAX ? fif.size() : T30_FIF_MAX;
  size_t end = 3;
  while (end < avail && (fif[end - 1] & 0x01) != 0) ++end;
  const fif_reader r{fif.first(end)};
  const bool dcs = kind == t30_set_kind::dcs;

  t30_cap_parsed out;
  t30_capability& c = out.cap;
  c.extra = 0x01FF;

  // Service.
  if (dcs) {
    c.service = T30_SVC_TRANSMIT;
  } else {
    if (r.bit(10)) c.service |= kind == t30_set_kind::dis ? T30_SVC_RECEIVE : T30_SVC_POLL;
    if (r.bit(9)) c.service |= T30_SVC_POLL;
  }

  // Data signalling rate.
  const unsigned rate = (r.octet(1) >> 2) & 0x0F;
  if (dcs) {
    c.modulation = t30_dcs_rate_modulation(static_cast<u8>(rate));
    out.force_ftt = rate == 2 || rate == 6;
  } else {
    c.modulation = dis_rate_modulation(rate);
  }

  if (r.bit(15)) c.resolution = dcs ? T30_RES_FINE : (T30_RES_NORMAL | T30_RES_FINE);
  c.coding = r.bit(16) ? (dcs ? T30_CODING_MR : T30_CODING_MH | T30_CODING_MR) : T30_CODING_MH;

  const unsigned w = (r.octet(2) >> 6) & 3;
  const unsigned l = (r.octet(2) >> 4) & 3;
  const unsigned s = (r.octet(2) >> 1) & 7;
  c.width = dcs ? kDcsWidth[w] : kDisWidth[w];
  c.length = dcs ? kDcsLength[l] : kDisLength[l];
  c.scan_time = dcs ? kDcsScan[s] : kDisScan[s];
  if (c.width == 0 || c.length == 0 || c.scan_time == 0xFF) return std::nullopt;

  if (r.bit(27)) {
    c.ecm = 3;
    c.ecm_frame_size = dcs ? (r.bit(28) ? 1 : 2) : 3;
  }
  if (r.bit(31)) c.coding = dcs ? T30_CODING_MMR : static_cast<u8>(c.coding | T30_CODING_MMR);

  c.polled_subaddress = r.bit(35);
  if (r.bit(41)) c.resolution |= T30_RES_SUPERFINE;
  if (r.bit(42)) c.resolution |= T30_RES_300;
  if (r.bit(43)) c.resolution |= T30_RES_R16;
  if (dcs) c.unit_preference = r.bit(44) ? 2 : 1;
  else c.unit_preference = r.bit(45) ? 1 : r.bit(44) ? 2 : 0;
  c.selective_polling = r.bit(47);
  c.subaddress = r.bit(49);
  c.password = r.bit(50);
  c.letter = r.bit(76);
  c.legal = r.bit(77);
  if (r.bit(78)) {
    c.coding = dcs ? T30_CODING_T85 : static_cast<u8>(c.coding | T30_CODING_T85);
    c.t85_l0 = r.bit(79);
  }
  c.isp = r.bit(101);
  c.ira = r.bit(102);
  if (r.bit(105)) c.resolution |= T30_RES_600;
  if (r.bit(106)) c.resolution |= T30_RES_1200;
  if (r.bit(107)) c.resolution |= T30_RES_300_600;
  if (r.bit(108)) c.resolution |= T30_RES_400_800;
  if (r.bit(109)) c.resolution |= T30_RES_600_1200;
  if (r.bit(123)) c.internet_fax_mode = 1;

  if (!dcs || c.resolution == 0) c.resolution |= T30_RES_NORMAL;
  return out;
}

// ---------------------------------------------------------------------------
// Intersection and choice.

void t30_cap__choose(t30_capability& c) {
  if (c.coding & T30_CODING_T85) c.coding = T30_CODING_T85;
  else if (c.coding & T30_CODING_MMR) c.coding = T30_CODING_MMR;
  else if (c.coding & T30_CODING_MR) c.coding = T30_CODING_MR;
  else c.coding = T30_CODING_MH;

  u16 res = T30_RES_NORMAL;
  for (u16 r : kResolutionOrder) {
    if (c.resolution & r) {
      res = r;
      break;
    }
  }
  c.resolution = res;
  c.width = highest_bit(c.width);
  c.length = highest_bit(c.length);
  if (c.scan_time == 2 || c.scan_time == 4 || c.scan_time == 6)
    c.scan_time = static_cast<u8>(res == T30_RES_NORMAL ? c.scan_time + 1 : c.scan_time - 1);
  if (c.ecm == 3) c.ecm = 2;
  if (c.ecm_frame_size == 3) c.ecm_frame_size = 2;
}

t30_capability t30_cap__intersect(const t30_capability& L, const t30_capability& R, t30_cap_switches sw) {
  const t30_capability empty{};
  t30_capability x;

  x.service = L.service & R.service;
  if ((x.service & 0x1700) == 0) return empty;
  if ((x.service & (T30_SVC_TRANSMIT | T30_SVC_RECEIVE)) == (T30_SVC_TRANSMIT | T30_SVC_RECEIVE)) return empty;
  const bool strict = sw.strict && (x.service & (T30_SVC_TRANSMIT | T30_SVC_POLL)) != 0;

  x.modulation = L.modulation & R.modulation;
  if ((x.modulation & T30_MOD_SPEEDS) == 0 || (x.modulation & T30_MOD_DATA) == 0) return empty;
  if (strict) {
    const u16 speeds = x.modulation & T30_MOD_SPEEDS;
    bool expressible = false;
    for (u16 set : kDisSpeedSets) expressible |= speeds == set;
    if (!expressible) return empty;
  }

  x.coding = L.coding & R.coding & 0x0F;
  if (x.coding == 0) return empty;
  x.resolution = L.resolution & R.resolution & static_cast<u16>(~T30_RES_EXCLUDED);
  if (x.resolution == 0) return empty;
  if (strict && (x.resolution & T30_RES_NORMAL) == 0) return empty;

  x.width = L.width & R.width;
  x.length = L.length & R.length;
  if (!width_valid(x.width, strict) || !width_valid(x.length, strict)) return empty;

  x.ecm = ecm_min(L.ecm, R.ecm);
  x.ecm_frame_size = ecm_min(L.ecm_frame_size, R.ecm_frame_size);
  if (x.ecm_frame_size != 3) x.ecm = x.ecm_frame_size;

  if (x.ecm == 0) {
    x.coding &= static_cast<u8>(~(T30_CODING_MMR | T30_CODING_T85));
    if (x.coding == 0) return empty;
  }

  // Scan time: compare at each resolution present. A code that is not given
  // (above 7) sets no limit of its own.
  u8 lcode = L.scan_time;
  if (sw.dcs_check && !strict && t30_cap__ecm_chosen(x)) lcode = 0;
  const u8 rcode = R.scan_time;
  if (lcode > 7 && rcode > 7) return empty;
  auto time_at = [&](const std::array<u8, 8>& map, int& out) {
    const int tl = lcode <= 7 ? map[lcode] : map[rcode];
    const int tr = rcode <= 7 ? map[rcode] : tl;
    if (sw.dcs_check && tr < tl) return false;
    out = tl > tr ? tl : tr;
    return true;
  };
  const bool normal = (L.resolution & R.resolution & kResNormalGroup) != 0;
  const bool fine = (x.resolution & kResFineGroup) != 0;
  int tn = -1, tf = -1;
  if (normal && !time_at(kScanNormal, tn)) return empty;
  if (fine && !time_at(kScanFine, tf)) return empty;
  u8 scan = T30_SCAN_NOT_GIVEN;
  if (normal && fine) {
    static constexpr int kPairs[8][2] = {{0, 0}, {1, 1}, {3, 1}, {3, 3}, {5, 3}, {5, 5}, {7, 5}, {7, 7}};
    for (u8 code = 0; code < 8; ++code)
      if (kPairs[code][0] == tn && kPairs[code][1] == tf) scan = code;
  } else if (normal) {
    scan = static_cast<u8>(tn);
  } else if (fine) {
    scan = static_cast<u8>(tf);
  }
  if (scan == T30_SCAN_NOT_GIVEN) return empty;
  x.scan_time = scan;

  x.subaddress = L.subaddress & R.subaddress;
  x.password = L.password & R.password;
  x.selective_polling = L.selective_polling & R.selective_polling;
  x.polled_subaddress = L.polled_subaddress & R.polled_subaddress;
  x.t37 = L.t37 & R.t37;
  x.ira = L.ira & R.ira;
  x.isp = L.isp & R.isp;
  x.letter = L.letter & R.letter;
  x.legal = L.legal & R.legal;
  x.t85_l0 = L.t85_l0 & R.t85_l0;
  const u8 a = L.internet_fax_mode, b = R.internet_fax_mode;
  if (a == 1 && b == 1) x.internet_fax_mode = 1;
  else if ((a == 1 || a == 2) && (b == 1 || b == 2)) x.internet_fax_mode = 2;
  else x.internet_fax_mode = 0;
  x.unit_preference = L.unit_preference > R.unit_preference ? L.unit_preference : R.unit_preference;
  x.extra = L.extra & R.extra;

  const bool poll_or_transmit = (x.service & (T30_SVC_TRANSMIT | T30_SVC_POLL)) != 0;
  if (sw.choice || (sw.strict && !poll_or_transmit)) t30_cap__choose(x);
  return x;
}

bool t30_cap__selection_ok(u16 service, const t30_selection& user, const t30_selection& local) {
  auto coding_ok = [&] {
    u8 c = user.coding;
    if (c & T30_CODING_T85) c = T30_CODING_T85;
    else if (c & T30_CODING_MMR) c = T30_CODING_MMR;
    else if (c & T30_CODING_MR) c = T30_CODING_MR;
    else c &= T30_CODING_MH;
    return single_bit(c) && (c & local.coding) != 0;
  };
  auto res_ok = [&] { return single_bit(user.resolution) && (user.resolution & local.resolution) != 0; };
  auto width_ok = [&] { return single_bit(user.width) && (user.width & local.width) != 0; };
  if (service & T30_SVC_RECEIVE) return res_ok() && width_ok() && coding_ok();
  if (service & T30_SVC_TRANSMIT) {
    if (user.resolution != 0xFFFF && !res_ok()) return false;
    if (user.width != 0xFF && !width_ok()) return false;
    if (user.coding != 0xFF && !coding_ok()) return false;
  }
  return true;
}

// ---------------------------------------------------------------------------
// Negotiation steps.

t30_capability t30_neg__offer(const t30_capability& user_fields, const t30_capability& local) {
  return t30_cap__intersect(user_fields, local, {true, true, false});
}

t30_capability t30_neg__on_dis(const t30_capability& local, const t30_capability& remote) {
  return t30_cap__intersect(local, remote, {false, false, false});
}

t30_capability t30_neg__on_user_answer(const t30_capability& user_record, const t30_capability& user_fields,
                                       const t30_selection& user_selection) {
  t30_capability result = t30_cap__intersect(user_record, user_fields, {true, true, false});
  if (!result.empty() && !t30_cap__selection_ok(result.service, user_selection)) result.service = 0;
  return result;
}

t30_neg_dtc t30_neg__on_dtc(const t30_capability& user_record, const t30_capability& remote) {
  t30_neg_dtc out;
  out.result = t30_cap__intersect(user_record, remote, {true, true, true});
  out.user_record = t30_cap__intersect(user_record, remote, {false, true, false});
  return out;
}

t30_neg_dcs t30_neg__on_dcs(const t30_capability& user_record, const t30_capability& dcs) {
  t30_neg_dcs out;
  out.result = t30_cap__intersect(user_record, dcs, {false, true, false});
  if (out.result.empty()) return out;
  if (out.result.service == (T30_SVC_POLL | T30_SVC_RECEIVE)) out.result.service = T30_SVC_TRANSMIT;
  u16 m = dcs.modulation | T30_MOD_DATA;
  if (t30_cap__ecm_chosen(out.result)) m = static_cast<u16>((m & ~T30_MOD_DATA) | T30_MOD_HDLC);
  out.page_modulation = m;
  return out;
}

// ---------------------------------------------------------------------------
// Modulations.

u16 t30_cmd_modulation(bool handshake_2400, unsigned count) {
  if (!handshake_2400 || count == 0 || (count & 1) != 0) return T30_MOD_V21_CMD;
  return T30_MOD_CMD_2400;
}

void t30_speed_fallback::start() {
  cursor_ = 0;
  tries_left_ = kFallback[0].tries;
}

std::optional<u16> t30_speed_fallback::choose(u16 negotiated, bool retrain, bool ecm) {
  if (retrain) tries_left_ = 0;
  auto fits = [&](u16 m) {
    return (m & negotiated & kFallbackSpeedBits) != 0 && (m & negotiated & kFallbackTypeBits) != 0;
  };
  while (kFallback[cursor_].modulation != 0 && (tries_left_ == 0 || !fits(kFallback[cursor_].modulation))) {
    ++cursor_;
    tries_left_ = kFallback[cursor_].tries;
  }
  const u16 m = kFallback[cursor_].modulation;
  if (m == 0) return std::nullopt;
  --tries_left_;
  if (ecm) return static_cast<u16>((m & ~T30_MOD_DATA) | T30_MOD_HDLC);
  return m;
}

u16 t30_cap__limit_to_trained(u16 mask, u16 trained) {
  switch (trained & T30_MOD_SPEEDS) {
    case T30_MOD_2400: return mask & 0xF183;
    case T30_MOD_4800: return mask & 0xF187;
    case T30_MOD_7200: return mask & 0xF38F;
    case T30_MOD_9600: return mask & 0xFF9F;
    case T30_MOD_12000: return mask & 0xFFBF;
    default: return mask;
  }
}

std::optional<u8> t30_dcs_rate_code(u16 modulation) {
  const u16 type = modulation & (T30_MOD_V27 | T30_MOD_V29 | T30_MOD_V17);
  const u16 speed = modulation & T30_MOD_SPEEDS;
  if (type == T30_MOD_V27) {
    if (speed == T30_MOD_2400) return 0x00;
    if (speed == T30_MOD_4800) return 0x10;
  } else if (type == T30_MOD_V29) {
    if (speed == T30_MOD_9600) return 0x20;
    if (speed == T30_MOD_7200) return 0x30;
  } else if (type == T30_MOD_V17) {
    if (speed == T30_MOD_14400) return 0x04;
    if (speed == T30_MOD_12000) return 0x14;
    if (speed == T30_MOD_9600) return 0x24;
    if (speed == T30_MOD_7200) return 0x34;
  }
  return std::nullopt;
}

u16 t30_dcs_rate_modulation(u8 v) {
  switch (v) {
    case 1:
    case 2: return 0x1840;
    case 4: return 0x1104;
    case 5:
    case 6: return 0x1820;
    case 8: return 0x1210;
    case 9: return 0x1810;
    case 12: return 0x1208;
    case 13: return 0x1808;
    default: return 0x1102;
  }
}

u32 t30_modulation_speed(u16 modulation) {
  static constexpr u32 kSpeeds[] = {2400, 4800, 7200, 9600, 12000, 14400};
  for (unsigned i = 0; i < 6; ++i)
    if (modulation & (0x02u << i)) return kSpeeds[i];
  return 0;
}

// ---------------------------------------------------------------------------
// FIF building.

std::optional<t30_fif> t30_cap__build_fif(t30_set_kind kind, const t30_capability& c, const t30_fif_options& opt) {
  const bool dcs = kind == t30_set_kind::dcs;
  const bool dis = kind == t30_set_kind::dis;
  const bool poll = (c.service & T30_SVC_POLL) != 0;
  t30_fif f;
  fif_writer w{f.octets};

  // Octet 1.
  if (c.t37 == 1) w.set(1);
  if (c.internet_fax_mode == 1 || c.internet_fax_mode == 2) w.set(3);
  if (!dcs && opt.v34_mode) w.set(6);

  // Octet 2.
  w.set(10);
  if (poll) w.set(dcs ? 10 : 9);
  if (dcs) {
    if (!opt.v34_mode && c.internet_fax_mode != 1) {
      const auto code = t30_dcs_rate_code(opt.dcs_modulation);
      if (!code) return std::nullopt;
      f.octets[1] |= *code;
    }
  } else {
    u8 code = 0x00;
    switch (c.modulation & T30_MOD_SPEEDS) {
      case 0x02: code = 0x00; break;
      case 0x04:
      case 0x06: code = 0x10; break;
      case 0x08: code = 0x30; break;
      case 0x10:
      case 0x18: code = 0x20; break;
      case 0x1E: code = 0x30; break;
      case 0x20: code = 0x14; break;
      case 0x40: code = 0x04; break;
      case 0x7E: code = 0x34; break;
      default: code = 0x00; break;
    }
    f.octets[1] |= code;
  }
  if (c.resolution & T30_RES_FINE) w.set(15);
  if (c.coding & T30_CODING_MR) w.set(16);

  // Octet 3.
  if (c.width & T30_WIDTH_A3) f.octets[2] |= 0x40;
  else if (c.width & T30_WIDTH_B4) f.octets[2] |= 0x80;
  if (c.length & T30_LENGTH_UNLIMITED) f.octets[2] |= 0x10;
  else if (c.length & T30_LENGTH_B4) f.octets[2] |= 0x20;
  if (dcs && c.ecm_frame_size != 0) f.octets[2] |= 0x0E;
  else f.octets[2] |= c.scan_time <= 7 ? kScanBits[c.scan_time] : 0x00;

  // Octet 4.
  if (opt.handshake_2400 && (dis || opt.command_modulation != T30_MOD_V21_CMD)) w.set(25);
  if (dcs) {
    if (c.ecm_frame_size == 1) f.octets[3] |= 0x30;
    else if (c.ecm_frame_size != 0) f.octets[3] |= 0x20;
  } else if (c.ecm_frame_size != 0) {
    f.octets[3] |= 0x20;
  }
  if (c.coding & T30_CODING_MMR) w.set(31);

  // Octet 5.
  if (c.polled_subaddress && (dis || poll)) w.set(35);

  // Octet 6.
  if (c.resolution & T30_RES_SUPERFINE) w.set(41);
  if (c.resolution & T30_RES_300) w.set(42);
  if (c.resolution & T30_RES_R16) w.set(43);
  if (c.unit_preference == 1 && dis) w.set(45);
  if (c.unit_preference == 2) w.set(44);
  if (c.selective_polling && (dis || poll)) w.set(47);

  // Octet 7.
  if (c.subaddress) w.set(49);
  if (c.password) w.set(50);

  // Octet 10.
  if (c.letter) w.set(76);
  if (c.legal) w.set(77);
  if (c.coding & T30_CODING_T85) {
    w.set(78);
    if (c.t85_l0) w.set(79);
  }

  // Octet 13.
  if (c.isp) w.set(101);
  if (c.ira) w.set(102);

  // Octet 14.
  if (c.resolution & T30_RES_600) w.set(105);
  if (c.resolution & T30_RES_1200) w.set(106);
  if (c.resolution & T30_RES_300_600) w.set(107);
  if (c.resolution & T30_RES_400_800) w.set(108);
  if (c.resolution & T30_RES_600_1200) w.set(109);

  // Octet 16.
  if (c.internet_fax_mode == 1) w.set(123);

  // Extension bits of octets 3 to 15, then trailing empty octets dropped.
  for (size_t i = 2; i < T30_FIF_MAX - 1; ++i) f.octets[i] |= 0x01;
  size_t n = T30_FIF_MAX;
  while (n > 3 && (f.octets[n - 1] & 0xFE) == 0) {
    f.octets[n - 1] = 0;
    --n;
    f.octets[n - 1] &= 0xFE;
  }
  f.length = static_cast<u8>(n);
  return f;
}
