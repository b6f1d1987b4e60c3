// T.38 reports and end-of-session statistics of ENT_FOIP: T38__REPORT_IN
// (error reports, event lines), the deactivation answers T38__DEA_CO /
// T38__DEA_IN with the session's final statistics, and their display; the
// names of the automaton's step records.
#include <cstdio>
#include <cstring>
#include <string>

#include "runtime/msg.h"
#include "session/foip/foip_ctx.h"
#include "session/foip/foip_err.h"
#include "session/foip/foip_stats.h"
#include "session/foip/foip_t38_mgt.h"
#include "session/trace/foip_trc.h"
#include "t38/t38_entity.h"
#include "t38/t38_report.h"

namespace {

using namespace kv::t38;

u32 le32(const u8* p) { return u32(p[0]) | u32(p[1]) << 8 | u32(p[2]) << 16 | u32(p[3]) << 24; }
u16 le16(const u8* p) { return static_cast<u16>(p[0] | p[1] << 8); }

const u8* cur(u32 need) {
  const msg_t* m = foip__current_msg();
  if (!m || Msg_data_size(m) < need) return nullptr;
  return Msg_data(m);
}

struct name_row {
  u32 code;
  const char* text;
};

constexpr name_row kDeaCauses[] = {
    {1, "(T38GW__MSG_ERR__CANT_CONNECT_TDM) The user macro: T38gw__tdm_bus_connect returns an error"},
    {2, "(T38GW__MSG_ERR__SMODEM_ERROR) Error while Smodem object initialisation"},
    {3, "(T38__MSG_ERR__IFP_ERROR) Error while IFP packet is built (ASN.1 encoding)"},
    {4, "(T38GW__MSG_ERR__MEMORY_ALLOC) Error while memory allocation"},
    {5, "(T38GW__MSG_ERR__AUTOMATON_0) A DCS value can't converted into known modulation"},
    {6, "(T38GW__MSG_ERR__AUTOMATON_1) A demodulator has been launched but CTS event has been received"},
    {7, "(T38GW__MSG_ERR__AUTOMATON_2) A modulator has been launched but CD event has been received"},
};

constexpr name_row kModulations[] = {{0, "V.27 2400"},  {2, "V.27 4800"},  {1, "V.29 9600"},  {3, "V.29 7200"},
                                     {4, "V.33 14400"}, {6, "V.33 12000"}, {8, "V.17 14400"}, {10, "V.17 12000"},
                                     {9, "V.17 9600"},  {11, "V.17 7200"}};

constexpr const char* kFrameNames[38] = {
    "DIS", "DCS", "DTC", "NSS", "NSF", "NSC", "CSI", "TSI", "DCN", "CIG", "PWD",     "PWD2",    "SUB",
    "SEP", "PPS", "PPR", "CTC", "CFR", "FTT", "CTR", "EOM", "MPS", "EOP", "PRI_EOM", "PRI_MPS", "PRI_EOP",
    "EOR", "RR",  "MCF", "RTP", "RTN", "PIP", "PIN", "RNR", "ERR", "FDM", "CRP",     "PSA"};

template <size_t N>
const char* find_name(const name_row (&t)[N], u32 code, const char* other) {
  for (const name_row& r : t)
    if (r.code == code) return r.text;
  return other;
}

// Error report bits whose text names what was detected and its counter.
struct detection_row {
  u32 bit;
  const char* event;
  const char* counter;
};

constexpr detection_row kDetections[] = {
    {32, "Data Field object congestion", "Data Field Congestion"},
    {64, "IFP Packet congestion", "IFP Packet Congestion"},
    {128, "Too long ECM frame", "Too long ECM frame"},
    {256, "Corrupted HDLC frame (T.30 or ECM)", "Corrupted HDLC frame"},
};

const detection_row* find_detection(u32 bit) {
  for (const detection_row& r : kDetections)
    if (r.bit == bit) return &r;
  return nullptr;
}

const char* side(const u8* d) { return d[1] == 'G' ? "gw" : "iaf"; }

// Error report ('R'): error box, fatal stop, relay to the user.
void error_report(foip__na_ctx* s, t38_mgt__ctx& c, const u8* d) {
  const u32 bits = le32(d + 8);
  const u16 code = le16(d + 12);
  char name[T38__REPORT_NAME_SIZE + 1] = {};
  char diag[T38__REPORT_TEXT_SIZE + 1] = {};
  std::memcpy(name, d + T38__REPORT_NAME_OFFSET, T38__REPORT_NAME_SIZE);
  std::memcpy(diag, d + T38__REPORT_TEXT_OFFSET, T38__REPORT_TEXT_SIZE);
  const u32 count = le32(d + T38__REPORT_COUNT_OFFSET);
  const unsigned long ms = le32(d + 4);
  const char* t = side(d);
  const int nai = s->nai;
  char text[1000];
  switch (bits) {
    case 1:
      (void)std::snprintf(text, sizeof text,
                          code <= 13000
                              ? " Error report from T.38%s (nai %d) Time: %lums\n  Class error: T38__TRAP_FATAL or "
                                "T38__TRAP_SERIOUS\n  Error code: %d (%s)\n  Error diag: %s\n"
                              : " Error report from T.38%s (nai %d) Time: %lums\n  Class error: T38__TRAP_INFO\n "
                                " Error code: %d (%s)\n  Error diag: %s\n",
                          t, nai, ms, code, name, diag);
      break;
    case 2:
      (void)std::snprintf(
          text, sizeof text,
          " \"Sample underrun overrun\" error report from T.38%s (nai %d) Time: %lums\n  Error counter: %lu\n", t, nai,
          ms, static_cast<unsigned long>(count));
      break;
    case 4:
      (void)std::snprintf(text, sizeof text,
                          " \"TX underrun\" error report from T.38%s (nai %d) Time: %lums\n  Error counter: %lu\n", t,
                          nai, ms, static_cast<unsigned long>(count));
      break;
    case 8:
      (void)std::snprintf(
          text, sizeof text,
          " \"UDPTL packet lost\" error report from T.38%s (nai %d)  Time: %lums\n  Error counter: %lu\n", t, nai, ms,
          static_cast<unsigned long>(count));
      break;
    case 16:
      (void)std::snprintf(
          text, sizeof text,
          " Message/Buffer congestion has been detected (now congestion state is ended up) on T.38%s (nai %d) "
          "\n  SM Congestion counter: %lu\n",
          t, nai, static_cast<unsigned long>(count));
      break;
    default:
      if (const detection_row* r = find_detection(bits))
        (void)std::snprintf(text, sizeof text,
                            " %s has been detected on T.38%s (nai %d)  Time: %lums\n  %s counter: %lu\n", r->event, t,
                            nai, ms, r->counter, static_cast<unsigned long>(count));
      else
        (void)std::snprintf(text, sizeof text, " Unknown error report from T.38%s (nai %d)  Time: %lums\n", t, nai, ms);
      break;
  }
  foip_trc__error_box(text, s->nai);
  if (bits == 1 && code <= 13000) t38_mgt__fatal_error_stop(s, c);
  foip_err__relay_t38_report();
}

struct event_row {
  u32 bit;
  const char* text;
  char letter;
};
constexpr event_row kEventLines[] = {
    {0x1, "\n(nai %3d) %8lums T.38%s V.25 Evt: CNG_FROM_IP   ", 'V'},
    {0x2, "\n(nai %3d) %8lums T.38%s V.25 Evt: CNG_FROM_TDM  ", 'V'},
    {0x4, "\n(nai %3d) %8lums T.38%s V.25 Evt: CED_FROM_IP   ", 'V'},
    {0x8, "\n(nai %3d) %8lums T.38%s V.25 Evt: CED_FROM_TDM  ", 'V'},
    {0x10, "\n(nai %3d) %8lums T.38%s T.30 Evt: T30_FROM_IP ", '3'},
    {0x20, "\n(nai %3d) %8lums T.38%s T.30 Evt: T30_TO_IP   ", '3'},
    {0x40, "\n(nai %3d) %8lums T.38%s T.30 Evt: T30_FROM_TDM", '3'},
    {0x80, "\n(nai %3d) %8lums T.38%s T.30 Evt: T30_FROM_IP         TCF ", 'T'},
    {0x100, "\n(nai %3d) %8lums T.38%s T.30 Evt: T30_TO_IP           TCF ", 'T'},
    {0x200, "\n(nai %3d) %8lums T.38%s T.30 Evt: T30_FROM_TDM        TCF ", 'T'},
};

// Frame codes as the T.38 entity reports them (the FCF without its X bit).
constexpr name_row kFrameCodes[] = {
    {128, "DIS"}, {130, "DCS"}, {129, "DTC"},     {34, "NSS"},     {32, "NSF"},     {33, "NSC"},  {64, "CSI"},
    {66, "TSI"},  {250, "DCN"}, {65, "CIG"},      {193, "PWD"},    {162, "PWD2"},   {194, "SUB"}, {161, "SEP"},
    {190, "PPS"}, {188, "PPR"}, {18, "CTC"},      {132, "CFR"},    {68, "FTT"},     {196, "CTR"}, {142, "EOM"},
    {78, "MPS"},  {46, "EOP"},  {158, "PRI_EOM"}, {94, "PRI_MPS"}, {62, "PRI_EOP"}, {206, "EOR"}, {110, "RR"},
    {140, "MCF"}, {204, "RTP"}, {76, "RTN"},      {172, "PIP"},    {44, "PIN"},     {236, "RNR"}, {28, "ERR"},
    {252, "FDM"}, {26, "CRP"},  {97, "PSA"},
};
constexpr name_row kDrates[] = {{0, "V.27ter 2400 bps"}, {2, "V.27ter 4800 bps"}, {1, "V.29 9600 bps"},
                                {3, "V.29 7200 bps"},    {4, "V.33 14400 bps"},   {6, "V.33 12000 bps"},
                                {8, "V.17 14400 bps"},   {10, "V.17 12000 bps"},  {9, "V.17 9600 bps"},
                                {11, "V.17 7200 bps"}};
constexpr name_row kDisModulations[] = {
    {2, "V.27ter"}, {1, "V.29"}, {3, "V.27ter / V.29"}, {11, "V.27ter / V.29 / V.17"}};
constexpr name_row kCodings[] = {{0, "T.4 Mono"}, {1, "T.4 Bi"}, {2, "T.6"}, {3, "Other"}};
constexpr name_row kCpuActivities[] = {{1, "CNG Tx"},  {2, "CED Rx"},   {3, "CNG Tx"},   {4, "CED Rx"},
                                       {5, "V.21 Tx"}, {6, "V.21 Rx"},  {7, "V.27 Tx"},  {8, "V.27 Rx"},
                                       {9, "V.29 Tx"}, {10, "V.29 Rx"}, {11, "V.17 Tx"}, {12, "V.17 Rx"}};

// The frame facts after a T.30 event line (cut to 60 characters).  The
// record after the event kind: the frame code, then an identity of 20
// characters (CSI, TSI), the offered and updated modulations, the
// remote-IAF and update flags (DIS, DTC), the data rate, ECM flag, ECM frame
// size (u16), coding and remote-IAF flag (DCS), or the data rate (CTC).
std::string frame_text(const std::string& event, const u8* r) {
  const std::string head = event.substr(0, 60);
  const u8 code = r[0];
  const char* name = find_name(kFrameCodes, code, "Unknown");
  char out[400];
  switch (code) {
    case 18:
      (void)std::snprintf(out, sizeof out, "%s        T.30 Frame: CTC [Drate = %s]", head.c_str(),
                          find_name(kDrates, r[1], "Unknown"));
      break;
    case 64:
    case 66: {
      char ident[21] = {};
      std::memcpy(ident, r + 1, 20);
      (void)std::snprintf(out, sizeof out, "%s        T.30 Frame: %s [%s]", head.c_str(), name, ident);
      break;
    }
    case 128:
    case 129: {
      const char* iaf = r[3] == 1 ? "  Remote: IAF" : "";
      const char* upd = r[3] == 1 && r[4] == 0 ? " Upd: Not IAF" : "";
      if (r[1] == r[2])
        (void)std::snprintf(out, sizeof out, "%s        T.30 Frame: %s [modulation: %s%s%s]", head.c_str(), name,
                            find_name(kDisModulations, r[1], "Unknown"), iaf, upd);
      else
        (void)std::snprintf(out, sizeof out, "%s        T.30 Frame: %s [Mdm:%s Upd:%s%s%s]", head.c_str(), name,
                            find_name(kDisModulations, r[1], "Unknown"), find_name(kDisModulations, r[2], "Unknown"),
                            iaf, upd);
      break;
    }
    case 130: {
      const char* rate = find_name(kDrates, r[1], "Unknown");
      const char* coding = find_name(kCodings, r[5], "Other");
      const char* iaf = r[6] == 1 ? "  Remote: IAF" : "";
      if (r[2])
        (void)std::snprintf(out, sizeof out, "%s        T.30 Frame: DCS [Drate = %s  ECM (%d)  %s%s]", head.c_str(),
                            rate, le16(r + 3), coding, iaf);
      else
        (void)std::snprintf(out, sizeof out, "%s        T.30 Frame: DCS [Drate = %s  NO ECM  %s%s]", head.c_str(), rate,
                            coding, iaf);
      break;
    }
    default: (void)std::snprintf(out, sizeof out, "%s        T.30 Frame: %s", head.c_str(), name); break;
  }
  return out;
}

void event_report(foip__na_ctx* s, const u8* d) {
  const u32 bit = le32(d + 8);
  if (bit == 0x2000 || bit == 0x4000 || bit == 0x8000) foip_stat__update_tcf_pg_len(d[12], d[13], bit, le32(d + 14));
  char letter = ' ';
  const std::string line = t38_mgt__event_line(s->nai, d, &letter);
  foip_trc__print_event(s->nai, FOIP__T38_EVT, line.c_str(), letter);
}

// Names of the step records.
constexpr const char* kEventNames[] = {
    "EVT_USR_ACT_RQ",       "EVT_USR_DEA_RQ",        "EVT_T38_SET_CONFIG_CO",    "EVT_SM_SET_CONFIG_CO",
    "EVT_T38_ACT_CO",       "EVT_T38_DEA_CO",        "EVT_T38_RESET_CONFIG_CO",  "EVT_SM_RESET_CONFIG_CO",
    "EVT_T38_DEA_IN",       "EVT_T38_REPORT_IN",     "EVT_TI_T38_GENERAL_DELAY", "EVT_SOCK_DNS_CO",
    "EVT_NEW_FAX_PG_DRATE", "EVT_T38__SET_PARAM_CO", "EVT_SOCK_START_LISTEN_CO", "EVT_SOCK_EST_CO",
    "EVT_SOCK_EST_IN",      "EVT_SOCK_REL_IN",       "EVT_SOCK_REL_CO",
};
constexpr const char* kUdpStateNames[] = {
    "IDLE",
    "TI_T38_GENERAL_DELAY",
    "T38_COMMON_CNF",
    "T38_SESSION_CNF",
    "SOCKET_CNF",
    "T38_SESSION_ACT__UDP",
    "T38_SESSION_RUNNING__UDP",
    "T38_SESSION_DEA__UDP",
    "SOCKET_RESET_CNF__UDP",
    "T38_SESSION_RESET_CNF__UDP",
    "WAIT_DNS_CO_UDP",
};
constexpr const char* kTcpStateNames[] = {
    "IDLE",
    "TI_T38_GENERAL_DELAY",
    "T38_COMMON_CNF",
    "T38_SESSION_CNF",
    "SOCKET_CNF",
    "WAIT_START_LISTEN_CO__TCP",
    "WAIT_ESTABLISHMENT__TCP",
    "T38_SESSION_ACT__TCP",
    "T38_SESSION_RUNNING__TCP",
    "T38_SESSION_DEA__TCP",
    "T38_SESSION_RESET_CNF__TCP",
    "WAIT_REL_CO__TCP",
    "SOCKET_RESET_CNF__TCP",
    "WAIT_DNS_CO_UDP",
};

}  // namespace

const char* t38_mgt__event_name(u8 event) { return event < std::size(kEventNames) ? kEventNames[event] : "??"; }
const char* t38_mgt__state_name(u8 transport, u8 state) {
  if (transport == 1) return state < std::size(kUdpStateNames) ? kUdpStateNames[state] : "??";
  return state < std::size(kTcpStateNames) ? kTcpStateNames[state] : "??";
}

std::string t38_mgt__event_line(nai_t nai, const u8* d, char* letter) {
  const u32 bit = le32(d + 8);
  const unsigned long ms = le32(d + 4);
  const u8* r = d + 12;  // the record after the event kind
  char line[1000];
  *letter = ' ';
  const event_row* row = nullptr;
  for (const event_row& e : kEventLines)
    if (e.bit == bit) row = &e;
  if (row) {
    (void)std::snprintf(line, sizeof line, row->text, nai, ms, side(d));
    *letter = row->letter;
    if (*letter == '3') return frame_text(line, r);
  } else if (bit == 0x400 || bit == 0x800 || bit == 0x1000) {
    static constexpr const char* kPg[] = {"\n(nai %3d) %8lums T.38%s T.30 Evt: PG_FROM_IP          (#%d) %s",
                                          "\n(nai %3d) %8lums T.38%s T.30 Evt: PG_TO_IP            (#%d) %s",
                                          "\n(nai %3d) %8lums T.38%s T.30 Evt: PG_FROM_TDM         (#%d) %s"};
    const int i = bit == 0x400 ? 0 : bit == 0x800 ? 1 : 2;
    (void)std::snprintf(line, sizeof line, kPg[i], nai, ms, side(d), le16(r),
                        find_name(kModulations, r[2], "V.?? ????"));
    // The IP data rate of a page sent to IP, when the report gives one.
    const u32 drate = le32(r + 4);
    if (bit == 0x800 && drate != 0)
      (void)std::snprintf(
          line, sizeof line, "\n(nai %3d) %8lums T.38%s T.30 Evt: PG_TO_IP            (#%d) %s (IP drate: %lubps)", nai,
          ms, side(d), le16(r), find_name(kModulations, r[2], "V.?? ????"), static_cast<unsigned long>(drate));
    *letter = 'P';
  } else if (bit == 0x2000 || bit == 0x4000 || bit == 0x8000) {
    static constexpr const char* kLen[] = {"\n(nai %3d) %8lums T.38%s T.30 Evt: TCF_PG_LEN_FROM_IP  %s (len %lu)",
                                           "\n(nai %3d) %8lums T.38%s T.30 Evt: TCF_PG_LEN_TO_IP    %s (len %lu)",
                                           "\n(nai %3d) %8lums T.38%s T.30 Evt: TCF_PG_LEN_FROM_TDM %s (len %lu)"};
    const int i = bit == 0x2000 ? 0 : bit == 0x4000 ? 1 : 2;
    (void)std::snprintf(line, sizeof line, kLen[i], nai, ms, side(d), r[0] == 1 ? "TCF" : "Fax Pg / ECM block",
                        static_cast<unsigned long>(le32(r + 2)));
    *letter = 'L';
  } else if (bit == 0x10000) {
    // Activity, connection flag, maximum, samples, average, global maximum.
    const u8 activity = r[0];
    const char* conn = (activity < 1 || activity > 4) && r[1] == 1 ? "Conn" : "    ";
    (void)std::snprintf(
        line, sizeof line,
        "\n(nai %3d) %8lums T.38%s T.30 Evt: CPU_LOAD            %-7s %s Max: %2d (#smp %ld) \tAverage: %2d  "
        "Glb session Max %2d (/%d)",
        nai, ms, side(d), find_name(kCpuActivities, activity, "??"), conn, le16(r + 2), static_cast<long>(le32(r + 4)),
        le16(r + 8), le16(r + 10), 80);
    *letter = 'c';
  } else if (bit == 0x20000) {
    // Flags, modulation kind, receive level and SNR (i16 each).
    const u8 flags = r[0];
    const char* kind = (flags & 1) ? (r[1] == 1 ? "(QAM)" : "(FSK)") : "";
    const int level = static_cast<i16>(le16(r + 4)), snr = static_cast<i16>(le16(r + 6));
    if ((flags & 6) == 2)
      (void)std::snprintf(line, sizeof line,
                          "\n(nai %3d) %8lums T.38%s T.30 Evt: DEMOD_INFO          %s Rcv lvl= %d dBm/10", nai, ms,
                          side(d), kind, level);
    else if ((flags & 6) == 4)
      (void)std::snprintf(line, sizeof line, "\n(nai %3d) %8lums T.38%s T.30 Evt: DEMOD_INFO          %s SNR= %d dB/10",
                          nai, ms, side(d), kind, snr);
    else
      (void)std::snprintf(
          line, sizeof line,
          "\n(nai %3d) %8lums T.38%s T.30 Evt: DEMOD_INFO          %s Rcv lvl= %d dBm/10  SNR= %d dB/10", nai, ms,
          side(d), kind, level, snr);
    *letter = 'd';
  } else if (bit == T38__EVENT__NETWORK_SIMULATION) {
    (void)std::snprintf(line, sizeof line, "\n(nai %3d) WARNING IP SIMULATION IS RUNNING", nai);
    *letter = 'i';
  } else if (bit == 0x200000) {
    if (r[0] == 0) (void)std::snprintf(line, sizeof line, "\n(nai %3d) WARNING RX HW CALIBRATION IS RUNNING", nai);
    else
      (void)std::snprintf(line, sizeof line, "\n(nai %3d) RMS clibration value: %d   Time: %lums\n", nai, le16(r + 2),
                          ms);
    *letter = 'r';
  } else if (bit == 0x400000) {
    (void)std::snprintf(line, sizeof line, "\n(nai %3d) WARNING TX HW CALIBRATION IS RUNNING", nai);
    *letter = 'w';
  } else {
    (void)std::snprintf(line, sizeof line, "\n(nai %3d) %8lums T.38%s T.30 Evt: Unknown", nai, ms, side(d));
  }
  return line;
}

namespace {

void copy_dea(t38_mgt__ctx& c, const u8* d) {
  for (u32 i = 0; i < T38_MGT__STAT_WORDS; ++i) c.stats[i] = le32(d + 4 + 4 * i);
  c.p_stats = c.stats;
  c.p_result = &c.result;
  for (u8 i = 0; i < T38_MGT__NB_RESULT_ROWS; ++i) {
    c.result.rows[i].count = le16(d + 268 + 2 * i);
    if (c.result.rows[i].count) foip_stat__count_t38_dea_code(i, c.result.rows[i].count);
  }
}

}  // namespace

const char* t38_mgt__dea_code_text(u32 code) {
  static constexpr const char* kTexts[] = {
      " (GW/IAF) T38__DEA__DCN: DCN T.30 frame transmitted",
      " (GW)     T38__DEA__FAX_PROTOCOL_ERR_1: T.38 error protocol",
      " (GW)     T38__DEA__FAX_PROTOCOL_ERR_2: T.38 error protocol",
      " (GW)     T38__DEA__FAX_PROTOCOL_ERR_3: T.38 error protocol",
      " (GW)     T38__DEA__FAX_PROTOCOL_ERR_4: T.38 error protocol",
      " (GW)     T38__DEA__FAX_PROTOCOL_ERR_5: T.38 error protocol",
      " (GW)     T38__DEA__FAX_PROTOCOL_ERR_6: T.38 error protocol",
      " (GW)     T38__DEA__WDOG_ENDED_UP: No more activity on IP or TDM link",
      " (IAF)    T38__DEA__FAX_PROTOCOL_ERR_20: T.38 error protocol",
      " (IAF)    T38__DEA__FAX_PROTOCOL_ERR_21: T.38 error protocol",
      "(IAF)    T38__DEA__FAX_PROTOCOL_ERR_22: T.38 error protocol",
  };
  return code < std::size(kTexts) ? kTexts[code] : "(T38__DEA__xxxxxxxx) unknown code";
}

const char* t38_mgt__dea_cause_text(u32 cause) {
  return find_name(kDeaCauses, cause, "(T38__MSG_ERR__xxxxxxxx) unknown code");
}

void process_t38_report_in(foip__na_ctx* s, t38_mgt__ctx& c) {
  const u8* d = cur(12);
  if (!d || d[0] == 'T') return;
  if (d[0] == 'E') {
    if (!cur(8 + T38__EVENT_RECORD_SIZE)) return;
    event_report(s, d);
    return;
  }
  if (!cur(T38__REPORT_BODY_SIZE)) return;
  error_report(s, c, d);
}

void msg__process_t38_dea_co(foip__na_ctx*, t38_mgt__ctx& c) {
  const u8* d = cur(T38__DEA_IN_SIZE);
  if (!d || d[0] != 2) {
    c.p_stats = nullptr;
    c.p_result = nullptr;
    return;
  }
  c.result.status = 2;
  foip_stat__count_t38_dea(true, 0);
  copy_dea(c, d);
}

void msg__process_t38_dea_in(foip__na_ctx*, t38_mgt__ctx& c) {
  const u8* d = cur(T38__DEA_IN_SIZE);
  if (!d) {
    c.p_stats = nullptr;
    c.p_result = nullptr;
    return;
  }
  if (d[0] == 2) {
    c.result.status = 2;
    foip_stat__count_t38_dea(true, 0);
  } else {
    c.result.status = 3;
    c.result.error_cause = d[1];
    (void)std::snprintf(c.result.cause_text, sizeof c.result.cause_text, "%s",
                        find_name(kDeaCauses, d[1], "(T38__MSG_ERR__xxxxxxxx) unknown code"));
    foip_stat__count_t38_dea(false, d[1]);
  }
  copy_dea(c, d);
}

void t38_mgt__display_statistics(foip__na_ctx* s, t38_mgt__ctx& c) {
  if (c.stats_displayed || !c.p_stats) return;
  c.stats_displayed = 1;
  u8 raw[T38_MGT__STAT_WORDS * 4];
  for (u32 i = 0; i < T38_MGT__STAT_WORDS; ++i) {
    const u32 w = c.stats[i];
    raw[4 * i] = static_cast<u8>(w), raw[4 * i + 1] = static_cast<u8>(w >> 8);
    raw[4 * i + 2] = static_cast<u8>(w >> 16), raw[4 * i + 3] = static_cast<u8>(w >> 24);
  }
  char line[150];
  auto out = [&](const char* text) { foip_trc__print_event(s->nai, FOIP__T38_STAT, text, ' '); };
  out("\n\n");
  out("---------------------------------\n");
  (void)std::snprintf(line, sizeof line, "T.38 session statistics (nai %03d)\n", s->nai);
  out(line);
  out("---------------------------------\n");
  (void)std::snprintf(line, sizeof line, "T.30 Statistics  - Cnt page = %d\n", le16(raw));
  out(line);
  (void)std::snprintf(line, sizeof line, "                 - Mdm/Drate  Max =  %s   Min = %s\n",
                      find_name(kModulations, raw[2], "V.?? ????"), find_name(kModulations, raw[3], "V.?? ????"));
  out(line);
  out("                 - Cnt T.30 frames\n");
  for (u32 i = 0; i < 38; ++i) {
    const u16 n = le16(raw + 4 + 2 * i);
    if (!n) continue;
    (void)std::snprintf(line, sizeof line, "                   %d - %s\n", n, kFrameNames[i]);
    out(line);
  }
  (void)std::snprintf(line, sizeof line, "                   %d - BAD frame\n", le16(raw + 80));
  out(line);
  const u8* u = raw + 116;  // UDPTL send and receive counters
  auto w = [&](u32 i) { return static_cast<unsigned long>(le32(u + 4 * i)); };
  out("\n");
  out("UDP Statistics\n");
  (void)std::snprintf(line, sizeof line,
                      "   SEND     - UDPTL packet counters  (packets) Total (efficiency + idle):%lu   Idle:%lu\n", w(0),
                      w(1));
  out(line);
  (void)std::snprintf(line, sizeof line,
                      "            - ASN.1 data counters    (bytes)   Total (efficiency + redundancy + idle):%lu\n",
                      w(2));
  out(line);
  (void)std::snprintf(line, sizeof line,
                      "            -                        (bytes)   Efficiency:%lu   Redundancy:%lu   Idle:%lu \n",
                      w(3), w(4), w(5));
  out(line);
  (void)std::snprintf(line, sizeof line, "   RECEIVE  - UDPTL packet counters  (packets) Total:%lu   Efficency:%lu \n",
                      w(6), w(7));
  out(line);
  (void)std::snprintf(line, sizeof line, "            - ASN.1 data counters    (bytes)   Total:%lu   Efficiency:%lu \n",
                      w(9), w(10));
  out(line);
  (void)std::snprintf(line, sizeof line,
                      "            - Rcv packet lost/retreived: %lu   Rcv packet definitively lost: %lu \n", w(11),
                      w(12));
  out(line);
  (void)std::snprintf(line, sizeof line, "            - Rejected packet by the user: %lu\n", w(8));
  out(line);
  (void)std::snprintf(line, sizeof line, "            - ASN.1 error while decoding received UDPTL packet: %lu\n",
                      w(13));
  out(line);
  (void)std::snprintf(line, sizeof line,
                      "\n\n   T.38 Err - Total numbers of T.38 error protocol (T38__DEA__FAX_PROTOCOL_ERR_xx): %lu\n",
                      static_cast<unsigned long>(le32(raw + 172)));
  out(line);
  static constexpr const char* kErrLines[8] = {
      "            - Error Counters: (GW)     T38__ERR_REPORT__SAMPLE_UNDERRUN_OVERRUN : %lu\n",
      "                              (GW)     T38__ERR_REPORT__TX_UNDERRUN             : %lu\n",
      "                              (GW/IAF) T38__ERR_REPORT__UDPTL_LOST              : %lu\n",
      "                              (GW/IAF) T38__ERR_REPORT__SM_CONGESTION           : %lu\n",
      "                              (GW/IAF) T38__ERR_REPORT__IFP_PCK_CONGESTION      : %lu\n",
      "                              (GW/IAF) T38__ERR_REPORT__DFIELD_CONGESTION       : %lu\n",
      "                              (GW/IAF) T38__ERR_REPORT__ECM_FRAME_TOO_LONG      : %lu\n",
      "                              (GW/IAF) T38__ERR_REPORT__CORRUPTED_HDLC_FRAME    : %lu\n"};
  for (u32 i = 0; i < 8; ++i) {
    (void)std::snprintf(line, sizeof line, kErrLines[i], static_cast<unsigned long>(le32(raw + 176 + 4 * i)));
    out(line);
  }
  out("\n");
  out("Internal memory Statistics\n");
  (void)std::snprintf(line, sizeof line, "   - data_field object current = %d  max = %d  cnt congestion = %lu\n",
                      le16(raw + 208), le16(raw + 210), static_cast<unsigned long>(le32(raw + 212)));
  out(line);
  (void)std::snprintf(line, sizeof line, "   - IFP packet object current = %d  max = %d  cnt congestion = %lu\n",
                      le16(raw + 216), le16(raw + 218), static_cast<unsigned long>(le32(raw + 220)));
  out(line);
  out("\n");
  out("System Management VL memory pool Statistics (Mem_alloc/Mem_free)\n");
  (void)std::snprintf(line, sizeof line, "              - Current = %lu - Max = %lu\n",
                      static_cast<unsigned long>(le32(raw + 252)), static_cast<unsigned long>(le32(raw + 256)));
  out(line);
}
