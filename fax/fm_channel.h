// Inside the fax modem layer: the channel record, its request items, timer
// slots and events, shared by fm.cpp, fm_sched.cpp and fm_hdlc.cpp. Nothing
// outside the layer includes it.
#pragma once

#include <array>
#include <deque>
#include <memory>
#include <span>
#include <vector>

#include "fax/fm.h"
#include "fax/t30_engine.h"
#include "runtime/timer.h"

inline constexpr u8 FM_IAF_SAPI = 20;
inline constexpr code_t T38IAF__FAX_ACT_RQ_CODE = 'A';
inline constexpr code_t T38IAF__FAX_DEA_RQ_CODE = 'B';
inline constexpr code_t T38IAF__FAX_DA_RQ_CODE = 'C';

// Events (indexes of a channel's event map).
enum fm_event_no : u8 {
  FM_EV_CONTROL_FIRST = 2,  // 2 to 10: FM_CONTROL_RQ 'a' to 'i'
  FM_EV_CONTROL_LAST = 10,
  FM_EV_READY = 12,
  FM_EV_END_OF_DATA = 13,
  FM_EV_FLAGS = 14,
  FM_EV_IDLE_SENDING = 15,
  FM_EV_CARRIER_ON = 16,
  FM_EV_CARRIER_OFF = 17,
  FM_EV_STOP_WAIT = 18,   // TO_200MS
  FM_EV_DELAY = 21,       // TO_75MS
  FM_EV_CD = 22,          // TO_CD
  FM_EV_HOLD = 23,        // TO_1S, TO_FL24, TO_FLECM
  FM_EV_FRAME_WAIT = 24,  // TO_3S
  FM_EV_T2 = 25,
  FM_EV_T4 = 26,
  FM_EV_XGUARD = 27,
  FM_EV_XTRAIN = 28,
  FM_EV_RGUARD = 29,
  FM_EVENTS = 31,
};
inline constexpr u8 FM_SUB_FIRST_EVENT = 12;
inline constexpr u8 FM_SUB_EVENTS = FM_EVENTS - FM_SUB_FIRST_EVENT;  // 19

// Timer slots.
enum fm_timer : u8 {
  TO_75MS = 0,
  TO_200MS = 1,
  TO_T2 = 2,
  TO_T4 = 3,
  TO_3S = 4,
  TO_CD = 5,
  TO_XGUARD = 6,
  TO_1S = 7,
  TO_XTRAIN = 8,
  TO_UNUSED = 9,
  TO_FL24 = 10,
  TO_FLECM = 11,
  TO_RGUARD = 12,
  FM_TIMER_COUNT = 13,
};
struct fm_timer_info {
  code_t code;  // expiry code = event number; 0 = no timer
  u32 ms;
};
inline constexpr fm_timer_info fm_timer_table[FM_TIMER_COUNT] = {
    {FM_EV_DELAY, 75},  {FM_EV_STOP_WAIT, 3000}, {FM_EV_T2, 6000},      {FM_EV_T4, 3000},     {FM_EV_FRAME_WAIT, 3000},
    {FM_EV_CD, 3500},   {FM_EV_XGUARD, 5000},    {FM_EV_HOLD, 1000},    {FM_EV_XTRAIN, 1480}, {0, 0},
    {FM_EV_HOLD, 1000}, {FM_EV_HOLD, 200},       {FM_EV_RGUARD, 40000},
};

// Operations of the request items.
enum fm_op : u16 {
  FM_OP_RELEASE = 0,
  FM_OP_LS_TX = 2,
  FM_OP_LS_RX = 3,
  FM_OP_HS_TX = 4,
  FM_OP_HS_RX = 5,
  FM_OP_SEND_HDLC = 6,
  FM_OP_SEND_TCF = 7,
  FM_OP_SEND_PAGE = 8,
  FM_OP_RECV_CMD = 9,
  FM_OP_RECV_RSP = 10,
  FM_OP_RECV_TCF = 11,
  FM_OP_RECV_PAGE = 12,
  FM_OPS = 13,
  FM_OP_NONE = 0xFFFF,
};

// Option flags of a request item.
inline constexpr u16 FM_OPT_REPEAT = 2, FM_OPT_REPEAT_OK = 4, FM_OPT_NO_CRP = 8, FM_OPT_FLAG_WAIT = 16,
                     FM_OPT_V34_RATE = 32, FM_OPT_LONG = 64;

struct fm_item {
  u16 op = 0;
  u16 modulation = 0;
  u16 options = 0;
  u32 value = 0;  // frame list or receive record handle
  u16 cause = 0;
  u32 extra = 0;     // timer handle of the T.30 engine
  bool crp = false;  // the one-frame CRP list instead of `value`
};
inline constexpr size_t FM_ITEMS = 12;

struct fm_timer_slot {
  timer_cell_t* cell = nullptr;
  u32 ms = 0;
  code_t code = 0;
  u8 seq = 0;
  bool armed = false;
};

enum fm_kind : u16 { FM_KIND_NONE = 0, FM_KIND_TCF = 1, FM_KIND_PAGE = 2, FM_KIND_HDLC = 3 };

struct fm_channel {
  std::array<i16, FM_EVENTS> map{};
  nai_t nai = 0;
  u8 sapi = 0;
  u16 conn_id = 0;
  ent_id_t user = ENT_T30, lower = ENT_T38;
  u8 conn_param = 0;
  u8 flags = 0;
  bool released = false;
  // Programs.
  std::deque<fm_item> pending;
  u16 base = 0;
  u16 op = FM_OP_NONE;
  fm_item item;  // the item of the running operation
  u16 sub = 0;
  bool sched_busy = false;
  bool v34_mode = false;
  u8 v34_option = 0;
  u16 mod_cur = 0x2081, mod_low = 0x2081, mod_high = 0;
  u8 dir = 0, dir_before = 0;
  u16 tx_kind = 0, rx_kind = 0;
  u16 carrier_stage = 1;
  u16 carrier_count = 0;
  u16 rx_options = 0;
  bool ready = false;
  std::deque<msg_t*> held;
  u32 extra_timer = 0;  // started at the end of the frames of sub-code 'd'
  // HDLC receive.
  u32 rx_record = 0;
  u16 stored = 0, refused = 0, crp_count = 0, crp_limit = 1;
  // Training check.
  fm_tcf_check tcf;
  bool tcf_failed = false;
  std::array<fm_timer_slot, FM_TIMER_COUNT> timers{};
  // Notes of unexpected events and refused operations (a small ring).
  struct note {
    i16 a, b, c;
  };
  std::array<note, 8> notes{};
  u32 note_count = 0;
};

// fm.cpp
msg_t* fm_new_msg(const fm_channel& ch, ent_id_t to, code_t code, u8 sapi, std::span<const u8> body);
void fm_up(const fm_channel& ch, code_t code, std::span<const u8> body);
void fm_confirm(const fm_channel& ch, char kind, u16 result, u32 value = 0);
void fm_down(const fm_channel& ch, code_t code, std::span<const u8> body);
void fm_readdress(fm_channel& ch, msg_t* m, ent_id_t to, code_t code, u8 sapi);
void fm_note(fm_channel& ch, i16 a, i16 b, i16 c);
void fm_timer_start(fm_channel& ch, fm_timer slot, u32 ms);
void fm_timer_start(fm_channel& ch, fm_timer slot);
void fm_timer_stop(fm_channel& ch, fm_timer slot);
void fm_release(fm_channel& ch, u16 cause);

// fm_sched.cpp
void fm_init_channel(fm_channel& ch);
void fm_control(fm_channel& ch, const msg_t* m);
void fm_disconnect(fm_channel& ch, u16 cause, bool at_once);
// Runs the handler that the channel's event map gives for the event; `code`
// is the progress code of progress events, `m` the received data message.
void fm_event(fm_channel& ch, u8 event, u16 code, msg_t* m);
// Page data from the engine: forwarded or held; true when the message was kept.
bool fm_page_data(fm_channel& ch, msg_t* m);
void fm_stop_receive(fm_channel& ch);
void fm_finish(fm_channel& ch, u16 base);

// fm_hdlc.cpp
// T38IAF__FAX_DA_IN: true when the message was kept (sent on).
bool fm_received_data(fm_channel& ch, msg_t* m);
// Sends the frames of a set, bit-reversed, the last one flagged; the number sent.
size_t fm_send_frames(fm_channel& ch, const t30_frame_set& set);
