// T.30 inspection of V.21 frames and high-speed data in IAF sessions.
#include "t38/t38_t30.h"

#include <cstdio>
#include <cstring>
#include <iterator>

#include "common/byte_order.h"
#include "t38/t38_report.h"
#include "t38/t38_session.h"
#include "t38/t38_trace.h"

namespace kv::t38 {

namespace {

struct fcf_row {
  u8 fcf;
  const char* name;
};
// The named frames; the statistics list is this table followed by 0x61.
constexpr fcf_row kFcfNames[] = {
    {0x80, "DIS"}, {0x82, "DCS"}, {0x81, "DTC"},     {0x22, "NSS"},     {0x20, "NSF"},     {0x21, "NSC"}, {0x40, "CSI"},
    {0x42, "TSI"}, {0xFA, "DCN"}, {0x41, "CIG"},     {0xC1, "PWD"},     {0xA2, "PWD2"},    {0xC2, "SUB"}, {0xA1, "SEP"},
    {0xBE, "PPS"}, {0xBC, "PPR"}, {0x12, "CTC"},     {0x84, "CFR"},     {0x44, "FTT"},     {0xC4, "CTR"}, {0x8E, "EOM"},
    {0x4E, "MPS"}, {0x2E, "EOP"}, {0x9E, "PRI_EOM"}, {0x5E, "PRI_MPS"}, {0x3E, "PRI_EOP"}, {0xCE, "EOR"}, {0x6E, "RR"},
    {0x8C, "MCF"}, {0xCC, "RTP"}, {0x4C, "RTN"},     {0xAC, "PIP"},     {0x2C, "PIN"},     {0xEC, "RNR"}, {0x1C, "ERR"},
    {0xFC, "FDM"}, {0x1A, "CRP"},
};
static_assert(std::size(kFcfNames) + 1 == T30__STAT_FRAMES);

struct rate_row {
  u8 field;
  const char* name;
};
constexpr rate_row kDcsRates[] = {{0, "V.27ter 2400 bps"}, {2, "V.27ter 4800 bps"}, {1, "V.29 9600 bps"},
                                  {3, "V.29 7200 bps"},    {4, "V.33 14400 bps"},   {6, "V.33 12000 bps"},
                                  {8, "V.17 14400 bps"},   {10, "V.17 12000 bps"},  {9, "V.17 9600 bps"},
                                  {11, "V.17 7200 bps"}};
constexpr rate_row kDisRates[] = {{2, "V.27ter"}, {1, "V.29"}, {3, "V.27ter / V.29"}, {11, "V.27ter / V.29 / V.17"}};
// Rate fields from the lowest rate up (V.17 above V.29 at equal rates; V.33 as V.17).
constexpr u8 kRateOrder[] = {0, 2, 3, 11, 1, 9, 6, 10, 4, 8};

// Names of a frame's FCF ("DIS", ...), a DCS rate field ("V.17 14400 bps", ...)
// and a DIS rate field ("V.27ter", ...); "Unknown" for others.
const char* t30__fcf_name(u8 fcf) {
  for (const fcf_row& r : kFcfNames) {
    if (r.fcf == fcf) return r.name;
  }
  return "Unknown";
}

const char* t30__dcs_rate_name(u8 rate_field) {
  for (const rate_row& r : kDcsRates) {
    if (r.field == rate_field) return r.name;
  }
  return "Unknown";
}

const char* t30__dis_rate_name(u8 rate_field) {
  for (const rate_row& r : kDisRates) {
    if (r.field == rate_field) return r.name;
  }
  return "Unknown";
}

// FCF of a statistics entry.
u8 t30__stat_fcf(u32 index) { return index < std::size(kFcfNames) ? kFcfNames[index].fcf : 0x61; }

// Rank of a DCS rate field for highest / lowest (0 lowest).
u8 t30__rate_rank(u8 rate_field) {
  for (std::size_t i = 0; i < std::size(kRateOrder); ++i) {
    if (kRateOrder[i] == rate_field) return static_cast<u8>(i + 1);
  }
  return 0;
}

bool is_text_frame(u8 fcf) {
  return fcf == T30__CSI || fcf == T30__TSI || fcf == T30__CIG || fcf == T30__PWD || fcf == T30__SUB || fcf == T30__SEP;
}

void note_rate(t30_call_record& call, u8 rate) {
  call.last_rate = rate;
  if (call.highest == T30__RATE_NONE || t30__rate_rank(rate) > t30__rate_rank(call.highest)) call.highest = rate;
  if (call.lowest == T30__RATE_NONE || t30__rate_rank(rate) < t30__rate_rank(call.lowest)) call.lowest = rate;
}

u16 fax_hex(const t38_session& s) { return s.report_cfg.max_byte_fax_hex < 10 ? 10 : s.report_cfg.max_byte_fax_hex; }

}  // namespace

void t30__event(t38_session& s, u32 kind, u8 direction, const u8* rest, u32 n) {
  if (kind >= 0x10) kind = direction == 0 || direction == 3 ? kind : direction == 1 ? kind << 1 : kind << 2;
  if ((s.report_cfg.event_report_bfi & kind) == 0) return;
  u8 record[T38__EVENT_RECORD_SIZE] = {};
  put_le32(record, kind);
  if (n > T38__EVENT_RECORD_SIZE - 4) n = T38__EVENT_RECORD_SIZE - 4;
  if (n != 0) std::memcpy(record + 4, rest, n);
  t38_report__event_report(record, s);
}

void t30_frame__reset(t30_frame_record& f) {
  f.mode = T30__MODE_UNKNOWN;
  f.bytes = 0;
  f.pos = T30__POS_ADDRESS;
  f.complete = 0;
  f.fcf = 0;
  f.dcs_rate = 0;
  f.ecm = 0;
  f.ecm_size = 0;
  f.coding = 3;
  f.ctc_rate = 0;
  f.dis_rate_rx = f.dis_rate_tx = 0;
  f.iaf_bit_rx = f.iaf_bit_tx = 0;
  f.v8_rx = f.v8_tx = 0;
  f.dcs_iaf = 0;
  f.fif_index = 0;
  f.fif_text[0] = '\0';
  f.fif_len = 0;
  f.capture_len = 0;
}

void t30_frame__octet(t30_frame_record& f, u8& octet, u16 max_bit_rate, t30_call_record& call) {
  f.mode = T30__MODE_V21;
  ++f.bytes;
  switch (f.pos) {
    case T30__POS_ADDRESS: f.pos = T30__POS_CONTROL; break;
    case T30__POS_CONTROL: f.pos = T30__POS_FCF; break;
    case T30__POS_FCF:
      f.fcf = (octet & 0x0F) > 1 ? static_cast<u8>(octet & 0xFE) : octet;
      f.pos = T30__POS_FIF;
      f.fif_index = 0;
      break;
    case T30__POS_FIF: {
      const u16 k = ++f.fif_index;
      if (f.fcf == T30__CTC && k == 2) {
        f.ctc_rate = (octet >> 2) & 0xF;
        note_rate(call, f.ctc_rate);
      } else if (is_text_frame(f.fcf)) {
        if (f.fif_len < 21) {
          f.fif_text[f.fif_len++] = static_cast<char>(octet);
          f.fif_text[f.fif_len] = '\0';
        }
      } else if (f.fcf == T30__DIS || f.fcf == T30__DTC) {
        if (k == 1) {
          f.v8_rx = (octet & 0x20) != 0;
          octet = static_cast<u8>(octet & ~0x20);
          f.v8_tx = 0;
        } else if (k == 2) {
          u8 rate = (octet >> 2) & 0xF;
          if (rate == 0) rate = 2;
          f.dis_rate_rx = rate;
          if (max_bit_rate <= 4800) {
            rate = 2;
          } else if (max_bit_rate <= 9600 && rate == 11) {
            rate = 3;
          }
          f.dis_rate_tx = rate;
          if (f.dis_rate_tx != f.dis_rate_rx) {
            octet = static_cast<u8>((octet & ~0x3C) | (rate << 2));
          }
        } else if (k == 16) {
          f.iaf_bit_rx = f.iaf_bit_tx = (octet & 0x04) != 0;
        }
      } else if (f.fcf == T30__DCS) {
        if (k == 2) {
          f.dcs_rate = (octet >> 2) & 0xF;
          note_rate(call, f.dcs_rate);
          f.coding = (octet & 0x80) ? 1 : 0;
        } else if (k == 4) {
          f.ecm = (octet & 0x04) != 0;
          f.ecm_size = f.ecm ? ((octet & 0x08) ? 64 : 256) : 0;
          if (octet & 0x40) f.coding = 2;
        } else if (k == 16) {
          f.dcs_iaf = (octet & 0x04) != 0;
        }
      } else if (f.fcf == T30__PPR) {
        call.page_repeat = 1;
        call.new_page = 0;
      } else if (f.fcf == T30__PPS && k == 1) {
        if (octet == 0) {
          call.page_repeat = 1;
          call.new_page = 0;
        } else {
          call.new_page = 1;
          call.page_repeat = 0;
        }
      }
      break;
    }
    default: break;
  }
  if (f.capture_len < T30__MAX_CAPTURE) f.capture[f.capture_len++] = octet;
}

t30_frame_verdict t30_frame__end(t30_frame_record& f, bool fcs_ok, t30_call_record& call, t38_session& s,
                                 u8 direction) {
  if (!fcs_ok) {
    f.pos = T30__POS_BAD;
    t38__log(s, T38_TRC__T30, "Bad CRC\n");
    return T30__FRAME_BAD;
  }
  if (f.pos != T30__POS_FIF) return T30__FRAME_OTHER;  // too short to carry an FCF
  f.complete = 1;
  bool counted = false;
  for (u32 i = 0; i < std::size(kFcfNames); ++i) {
    if (kFcfNames[i].fcf == f.fcf) {
      if (call.frames[i] != 0xFFFF) ++call.frames[i];
      counted = true;
    }
  }
  if (!counted) {
    if (f.fcf == 0x61) {
      if (call.frames[T30__STAT_FRAMES - 1] != 0xFFFF) ++call.frames[T30__STAT_FRAMES - 1];
    } else if (call.other_frames != 0xFFFF) {
      ++call.other_frames;
    }
  }
  if (f.fcf == T30__DCS) call.dcs_pending = 1;
  if (f.fcf == T30__CFR || f.fcf == T30__MCF) call.new_page = 1;
  if (counted) {
    // The frame event: FCF, then the facts of the frame.
    u8 rest[24] = {f.fcf};
    u32 n = 1;
    if (is_text_frame(f.fcf)) {
      const u32 len = f.fif_len < 20 ? f.fif_len : 20;
      std::memcpy(rest + 1, f.fif_text, len);
      n = 1 + 20;
    } else if (f.fcf == T30__DIS || f.fcf == T30__DTC) {
      const u8 facts[] = {f.dis_rate_rx, f.dis_rate_tx, f.iaf_bit_rx, f.iaf_bit_tx, f.v8_rx, f.v8_tx};
      std::memcpy(rest + 1, facts, sizeof facts);
      n = 1 + sizeof facts;
    } else if (f.fcf == T30__DCS) {
      rest[1] = f.dcs_rate;
      rest[2] = f.ecm;
      put_le16(rest + 3, f.ecm_size);
      rest[5] = f.coding;
      rest[6] = f.dcs_iaf;
      n = 7;
    } else if (f.fcf == T30__CTC) {
      rest[1] = f.ctc_rate;
      n = 2;
    }
    t30__event(s, 0x10, direction, rest, n);
  }
  if (t38__tracing(s, T38_TRC__T30)) {
    char title[40];
    (void)std::snprintf(title, sizeof title, "T.30 Frame: %s", t30__fcf_name(f.fcf));
    t38_trace__hex(s, 6, T38_TRC__T30, title, f.capture, f.capture_len < fax_hex(s) ? f.capture_len : fax_hex(s),
                   f.capture_len);
    if (is_text_frame(f.fcf)) t38__log(s, T38_TRC__T30, "            FIF \"%s\"\n", f.fif_text);
    if (f.fcf == T30__DIS || f.fcf == T30__DTC) {
      if (f.dis_rate_rx == f.dis_rate_tx) {
        t38__log(s, T38_TRC__T30, "  Data signalling rate: %s\n", t30__dis_rate_name(f.dis_rate_rx));
      } else {
        t38__log(s, T38_TRC__T30, "  The Data signalling rate field of this frame has been updated:\n");
        t38__log(s, T38_TRC__T30, "      Initial data signalling rate: %s\n", t30__dis_rate_name(f.dis_rate_rx));
        t38__log(s, T38_TRC__T30, "      Updated data signalling rate: %s\n", t30__dis_rate_name(f.dis_rate_tx));
      }
      if (f.v8_rx) t38__log(s, T38_TRC__T30, "  Bit 6 (V.8 Capability) of DIS (or DTC) has been reset\n");
      if (f.iaf_bit_tx) t38__log(s, T38_TRC__T30, "  Bit 123 (IAF terminal) of DIS (or DTC) is set\n");
    } else if (f.fcf == T30__DCS) {
      t38__log(s, T38_TRC__T30, "  Data signalling rate: %s\n", t30__dcs_rate_name(f.dcs_rate));
      if (f.ecm) {
        t38__log(s, T38_TRC__T30, "  ECM Mode            : enabled (Framse size = %d) \n", f.ecm_size);
      } else {
        t38__log(s, T38_TRC__T30, "  ECM Mode            : disabled\n");
      }
      static constexpr const char* kAlgo[] = {"T.4 mono", "T.4 bi", "T.6", "Other"};
      t38__log(s, T38_TRC__T30, "  Algo                : %s\n", kAlgo[f.coding & 3]);
      if (f.dcs_iaf) t38__log(s, T38_TRC__T30, "  Bit 123 (IAF terminal) is set\n");
    }
  }
  switch (f.fcf) {
    case T30__DCS:
      call.fact = 1;
      call.fact_rate = f.dcs_rate;
      call.fact_ecm = f.ecm;
      call.fact_ecm_size = f.ecm_size;
      return T30__FRAME_DCS;
    case T30__CTC:
      call.fact = 2;
      call.fact_rate = f.ctc_rate;
      return T30__FRAME_CTC;
    case T30__NSS: return T30__FRAME_NSS;
    case T30__DCN: return T30__FRAME_DCN;
    default: return T30__FRAME_OTHER;
  }
}

void t30_frame__hs_field(t30_frame_record& f, u8 field_type, const u8* data, u16 length, t30_call_record& call,
                         t38_session& s, u8 direction) {
  if (f.mode == T30__MODE_UNKNOWN) f.mode = field_type >= 6 ? T30__MODE_TRANSPARENT : T30__MODE_ECM;
  f.bytes += length;
  if (call.dcs_pending) {
    call.dcs_pending = 0;
    call.hs_in_progress = 1;
    t30__event(s, 0x80, direction);
  }
  if (call.new_page && !call.page_repeat) {
    ++call.page_count;
    call.new_page = 0;
    u8 rest[3];
    put_le16(rest, call.page_count);
    rest[2] = call.fact_rate;
    t30__event(s, 0x400, direction, rest, sizeof rest);
  }
  if (length != 0 && t38__tracing(s, T38_TRC__T30)) {
    char title[48];
    if (f.mode == T30__MODE_TRANSPARENT) {
      (void)std::snprintf(title, sizeof title, "TCF or Fax Page #%d (transparent)", call.page_count);
    } else if (field_type == 3 || field_type == 5) {
      (void)std::snprintf(title, sizeof title, "Fax Page #%d (ECM) Bad CRC ", call.page_count);
    } else {
      (void)std::snprintf(title, sizeof title, "Fax Page #%d (ECM)", call.page_count);
    }
    t38_trace__hex(s, 6, T38_TRC__T30, title, data, length < fax_hex(s) ? length : fax_hex(s), length);
  }
  if (field_type == 1 || field_type == 4 || field_type == 5 || field_type == 7) {
    u8 rest[6] = {call.hs_in_progress, call.fact_rate};
    put_le32(rest + 2, f.bytes);
    t30__event(s, 0x2000, direction, rest, sizeof rest);
    call.hs_in_progress = 0;
  }
}

void t30__statistics(const t30_call_record& call, u8 out[T30__STATISTICS_SIZE], t38_session* trace) {
  put_le16(out, call.page_count);
  out[2] = call.highest;
  out[3] = call.lowest;
  for (u32 i = 0; i < T30__STAT_FRAMES; ++i) put_le16(out + 4 + 2 * i, call.frames[i]);
  put_le16(out + 4 + 2 * T30__STAT_FRAMES, call.other_frames);
  if (trace == nullptr || !t38__tracing(*trace, T38_TRC__T30)) return;
  t38_session& s = *trace;
  t38__log(s, T38_TRC__T30, "T.30 Statistics  - Cnt page = %d\n", call.page_count);
  t38__log(s, T38_TRC__T30, "                 - Mdm/Drate  Max =  %s   Min = %s\n", t30__dcs_rate_name(call.highest),
           t30__dcs_rate_name(call.lowest));
  t38__log(s, T38_TRC__T30, "                 - Cnt T.30 frames\n");
  for (u32 i = 0; i < T30__STAT_FRAMES; ++i) {
    t38__log(s, T38_TRC__T30, "                    %d - %s\n", call.frames[i], t30__fcf_name(t30__stat_fcf(i)));
  }
  t38__log(s, T38_TRC__T30, "                    %d - %s\n", call.other_frames, "Other");
}

}  // namespace kv::t38
