// The T.30 engine ENT_T30: runs the T.30 fax procedure for every fax channel
// of the process, between the fax session layer ('s', T30 primitives) and the
// fax modem layer ('f', FM primitives).
//
// Contract with the session layer. Every primitive names its channel in the
// message's connection id. Parameter words are u16, little endian, at the
// start of the message's inline data. Page data messages (T30_DA_RQ,
// T30_DA_IN, FM_DA_RQ, FM_DA_IN) carry their octets in a buffer chain and
// their parameter word (1 = the last data of the page, else 0) inline; a
// message without a chain carries no octets.
//
// Contract with the modem layer. FM_CONTROL_RQ body (24 octets): u8 mode @0,
// u16 sub-code @2, u16 restart @4 (1: abandon the running program first),
// u32 transmit frame list @8, u32 receive record @12, u16 modulation @16,
// u32 extra @20. The frame list and the receive record are handles of frame
// sets owned by the engine (t30_fm__frame_set), the extra word a handle of a
// timer slot that the modem layer starts when the list has gone out
// (t30_fm__start_timer); 0 = none. FM_CONTROL_CO body (8 octets): u16 result
// kind (a letter) @0, u16 result @2, u32 value @4 (the receive record with
// kind 'f'). FM_DISC_RQ body: u16 cause @0, u16 at-once flag @4, length 24.
// All of it runs in the runtime's SM task: handles are only valid there.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "fax/t30_frame_set.h"
#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/types.h"

inline constexpr const char* T30_BANNER = "(@)FS v2.53";

// Management primitives (from 'E' or 's').
inline constexpr code_t MT30_CONFIG_RQ = 'I';
inline constexpr code_t MT30_CONFIG_CO = 'i';
inline constexpr code_t MT30_RELEASE_RQ = 'K';
inline constexpr code_t MT30_RELEASE_CO = 'k';
inline constexpr code_t MT30_DISC_RQ = 'Z';

// Session layer primitives.
inline constexpr code_t T30_CONN_RQ = 'C';
inline constexpr code_t T30_CONN_CO = 'c';
inline constexpr code_t T30_DISC_RQ = 'D';
inline constexpr code_t T30_DISC_IN = 'd';
inline constexpr code_t T30_DA_RQ = 'T';
inline constexpr code_t T30_DA_IN = 't';
inline constexpr code_t T30_END_PAGE_RQ = 'X';
inline constexpr code_t T30_END_PAGE_CO = 'x';
inline constexpr code_t T30_END_PAGE_RS = 'S';
inline constexpr code_t T30_END_PAGE_IN = 's';
inline constexpr code_t T30_WhatToDo_RS = 'G';
inline constexpr code_t T30_WhatToDo_IN = 'g';
inline constexpr code_t T30_EONEG_IN = 'j';
inline constexpr code_t T30_SETPARM_RQ = 'P';
inline constexpr code_t T30_PROGRESS_IN = 'p';
inline constexpr code_t T30_BUSY_RQ = '(';
inline constexpr code_t T30_CLR_BUSY_RQ = '[';
inline constexpr code_t T30_BUSY_IN = ')';
inline constexpr code_t T30_CLR_BUSY_IN = ']';
inline constexpr code_t T30_SYNC_RQ = '+';
inline constexpr code_t T30_SYNC_CO = '-';

// Modem layer primitives.
inline constexpr code_t FM_CONN_RQ = 'C';
inline constexpr code_t FM_CONN_IN = 'c';
inline constexpr code_t FM_DISC_RQ = 'D';
inline constexpr code_t FM_DISC_IN = 'd';
inline constexpr code_t FM_CONTROL_RQ = 'E';
inline constexpr code_t FM_CONTROL_CO = 'e';
inline constexpr code_t FM_DA_RQ = 'T';
inline constexpr code_t FM_DA_IN = 't';
inline constexpr code_t FM_PROGRESS_IN = 'p';
inline constexpr code_t FM_BUSY_IN = ')';
inline constexpr code_t FM_CLR_BUSY_IN = ']';

// V.34 control primitives to and from the lower entity (SAP 19).
inline constexpr u8 T30_V34_SAP = 19;
inline constexpr code_t T30_V34_ACT_RQ = 'A';
inline constexpr code_t T30_V34_DEA_RQ = 'B';
inline constexpr code_t T30_V34_ACT_CO = 'a';
inline constexpr code_t T30_V34_NOT_CO = 'b';
inline constexpr size_t T30_V34_BODY_SIZE = 60;

inline constexpr size_t FM_CONTROL_RQ_SIZE = 24;
inline constexpr size_t FM_CONTROL_CO_SIZE = 8;
inline constexpr size_t FM_DISC_RQ_SIZE = 24;

// Post-message command and response codes of T30_END_PAGE_IN/_CO.
inline constexpr u16 T30_PM_MPS = 0, T30_PM_EOM = 1, T30_PM_EOP = 2;
inline constexpr u16 T30_PM_PRI_MPS = 4, T30_PM_PRI_EOM = 5, T30_PM_PRI_EOP = 6;
inline constexpr u16 T30_RSP_MCF = 0, T30_RSP_RTP = 1, T30_RSP_RTN = 2, T30_RSP_PIP = 5, T30_RSP_PIN = 6;

// T30_END_PAGE_RQ request bits.
inline constexpr u16 T30_EPQ_MORE = 0x001;
inline constexpr u16 T30_EPQ_NEW_DOC = 0x002;
inline constexpr u16 T30_EPQ_RESEND = 0x004;
inline constexpr u16 T30_EPQ_PRI = 0x020;
inline constexpr u16 T30_EPQ_PAGE = 0x200;
inline constexpr u16 T30_EPQ_DOC = 0x100;

// Frame classes: the engine's numbering of T.30 frames.
enum t30_class : u8 {
  T30C_NONE = 0,
  T30C_DIS = 1,
  T30C_DTC = 2,
  T30C_DCS = 3,
  T30C_CFR = 4,
  T30C_NSS = 5,
  T30C_DCN = 6,
  T30C_FTT = 7,
  T30C_MPS = 8,
  T30C_PRI_MPS = 9,
  T30C_EOM = 10,
  T30C_PRI_EOM = 11,
  T30C_EOP = 12,
  T30C_PRI_EOP = 13,
  T30C_MCF = 14,
  T30C_RTN = 15,
  T30C_RTP = 16,
  T30C_PIP = 17,
  T30C_PIN = 18,
  T30C_PPR = 20,
  T30C_CTC = 21,
  T30C_CTR = 22,
  T30C_ERR = 24,
  T30C_RR = 25,
  T30C_RNR = 26,
  T30C_PPS_NULL = 27,
  T30C_EOR_NULL = 28,
  T30C_PPS_MPS = 29,
  T30C_PPS_PRI_MPS = 30,
  T30C_PPS_EOM = 31,
  T30C_PPS_PRI_EOM = 32,
  T30C_PPS_EOP = 33,
  T30C_PPS_PRI_EOP = 34,
  T30C_EOR_MPS = 35,
  T30C_EOR_PRI_MPS = 36,
  T30C_EOR_EOM = 37,
  T30C_EOR_PRI_EOM = 38,
  T30C_EOR_EOP = 39,
  T30C_EOR_PRI_EOP = 40,
  T30C_COUNT = 41,
};

// FCF to send and exact length (address, control, FCF and FIF; 0 = any) of a
// frame class.
struct t30_class_info {
  u8 fcf;
  u8 length;
};
inline constexpr t30_class_info t30_class_table[T30C_COUNT] = {
    {0x00, 0}, {0x01, 0}, {0x81, 0},  {0x41, 0}, {0x21, 3}, {0x44, 0}, {0x5F, 3}, {0x22, 3}, {0x72, 3},
    {0x7A, 3}, {0x71, 3}, {0x79, 3},  {0x74, 3}, {0x7C, 3}, {0x31, 3}, {0x32, 3}, {0x33, 3}, {0x35, 3},
    {0x34, 3}, {0x00, 0}, {0x3D, 35}, {0x48, 5}, {0x23, 3}, {0x00, 0}, {0x38, 3}, {0x76, 3}, {0x37, 3},
    {0x7D, 7}, {0x73, 4}, {0x7D, 7},  {0x7D, 7}, {0x7D, 7}, {0x7D, 7}, {0x7D, 7}, {0x7D, 7}, {0x73, 4},
    {0x73, 4}, {0x73, 4}, {0x73, 4},  {0x73, 4}, {0x73, 4},
};

// Class of a received frame set (frames in the notation of the T.30 tables,
// the final frame last); T30C_NONE when the set is invalid.
t30_class t30_classify(std::span<const std::span<const u8>> frames);
t30_class t30_classify(const t30_frame_set& set);

// Trace name of a modulation code ("CMD V21 300 bps", "DATA V17 14400 bps",
// "ECM V29 9600 bps"); empty for a code without one.
std::string_view t30_modulation_name(u16 modulation);

// Timer slots of a channel.
enum t30_timer_slot : u8 {
  TI_T1R = 0,
  TI_TWTD = 1,
  TI_TANSW = 2,
  TI_T1X = 3,
  TI_TRST = 4,
  TI_TXNEXT = 5,
  TI_T2 = 6,
  TI_T3 = 7,
  TI_XRESTART = 8,
  TI_T5 = 9,
  TI_BUSYCYC = 10,
  TI_RXSUSP = 11,
  TI_PAGE = 12,
  T30_TIMER_COUNT = 13,
};
struct t30_timer_info {
  const char* name;
  code_t code;  // expiry code
  u32 ms;       // default duration
};
inline constexpr t30_timer_info t30_timer_table[T30_TIMER_COUNT] = {
    {"TI_T1R", 19, 35000},     {"TI_TWTD", 20, 40000},  {"TI_TANSW", 21, 2000},   {"TI_T1X", 19, 38000},
    {"TI_TRST", 23, 15000},    {"TI_TXNEXT", 24, 9000}, {"TI_T2", 22, 5000},      {"TI_T3", 25, 40},
    {"TI_XRESTART", 114, 500}, {"TI_T5", 15, 60000},    {"TI_BUSYCYC", 10, 1500}, {"TI_RXSUSP", 9, 200},
    {"TI_PAGE", 18, 1000},
};

// The entity's message handler.
void t30_entity_handler(msg_t* m);
// Releases every channel and the channel table (no messages are sent); for
// the end of the runtime and for tests.
void t30_release_all();
// Registration: makes t30_release_all the entity's stop routine, so that the
// channels give their timers and queued messages back before the runtime
// frees its memory.
void t30_entity_init();
inline constexpr entity_table_row_t T30_ENTITY_ROW = {ENT_T30, t30_entity_handler, 0, 0, t30_entity_init, 0};

// For the modem layer: the frame set behind a handle of FM_CONTROL_RQ (null
// when the channel is gone), and the start of a timer slot named by the
// extra word (false when the handle is stale).
t30_frame_set* t30_fm__frame_set(u32 handle);
bool t30_fm__start_timer(u32 handle);
