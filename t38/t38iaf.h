// The internet-aware-fax (IAF) services of the T.38 entity: the fax service
// that the fax modem layer drives as if it were a modem (SAPI 20), the V.25
// tone signalling of call set-up (SAPI 18), the physical-layer stubs (SAPIs
// 16, 17) and the activation of sessions (T38__ACT_RQ / T38__DEA_RQ).
//
// Install one t38iaf_service with t38_set_iaf_port; it keeps a record per
// configured IAF session and one shared polling timer, asked for every 10 ms,
// that paces the sending side at the activation's bit rate (bytes x 8000 /
// rate ms per packet).  Each expiry measures the time that really passed
// (the runtime's wheel fires a timer no earlier than two turns after its
// start, 20 ms with 10 ms turns) and carries what a packet's timer overran
// into the next one, so a transmission keeps its rate exactly and each
// packet leaves at most one polling period late.
//
// Beyond the automaton's table: a T38IAF__FAX_DA_RQ that arrives while the
// training runs waits in the transmit fifo; a request that finds the data
// timer run out (the fifo ran dry in IAF/IAF mode) starts the transmission
// itself; packets put back while this side was sending are taken when it
// starts receiving.
//
// Primitives with the fax modem layer (header: source, destination, nai,
// SAPI 20, connection id 0xFFFF, code; data little-endian):
//   T38IAF__FAX_ACT_RQ 'A'  u16 direction (bit 0 set = transmit), u16 speed
//                           mode, u16 short-training flag, u16 -, u16 options
//   T38IAF__FAX_DEA_RQ 'B'  -
//   T38IAF__FAX_DA_RQ  'C'  u16 block status inline (not 0: last block of the
//                           frame or page); the bytes in the buffer chain
//   T38IAF__FAX_PROGRESS_IN 'p'  u16 progress, u16 rate, u16 0
//   T38IAF__FAX_DA_IN  'c'  u16 0 inline; the bytes in one attached buffer
//   T38IAF__FAX_BUSY_IN ')' / T38IAF__FAX_CLEAR_BUSY_IN ']'  -
// Signal primitives (SAPI 18): two u16, action then tone (t38iaf_v25.cpp).
#pragma once

#include <array>
#include <deque>
#include <memory>
#include <unordered_map>

#include "runtime/automaton.h"
#include "runtime/msg.h"
#include "runtime/timer.h"
#include "runtime/types.h"
#include "t38/t38_iaf_port.h"
#include "t38/t38_session.h"
#include "t38/t38_t30.h"

namespace kv::t38 {

inline constexpr u8 T38IAF__SAPI_PHYSICAL = 16;
inline constexpr u8 T38IAF__SAPI_PHYSICAL_SPK = 17;
inline constexpr u8 T38IAF__SAPI_FAX = 20;

enum : code_t {
  T38IAF__FAX_ACT_RQ = 'A',
  T38IAF__FAX_DEA_RQ = 'B',
  T38IAF__FAX_DA_RQ = 'C',
  T38IAF__FAX_PROGRESS_IN = 'p',
  T38IAF__FAX_DA_IN = 'c',
  T38IAF__FAX_BUSY_IN = ')',
  T38IAF__FAX_CLEAR_BUSY_IN = ']',
  T38IAF__CONN_RQ = 'S',
  T38IAF__CONN_CO = 's',
  T38IAF__DISC_RQ = 'T',
  T38IAF__DISC_CO = 't',
  T38IAF__SPEAKER_RQ = 'Z',
  T38__ACT_CO = 'e',
  T38__DEA_CO = 's',
  T38__TI_START_IP = 'a',
  // Signal primitives.
  T38IAF__SIGNAL_RQ = 'Y',
  T38IAF__ACT_SIGNAL_RQ = '1',
  T38IAF__DEA_SIGNAL_RQ = '0',
  T38IAF__TI_EOF_CED_XMIT = 'y',
  T38IAF__SIGNAL_CO = 'g',
  T38IAF__SIGNAL_IN = 'y',
};

// Progress codes of T38IAF__FAX_PROGRESS_IN.
enum : u16 {
  T38IAF__FAX_IDLING = '0',
  T38IAF__FAX_SENDING_DATA = '1',
  T38IAF__FAX_CD_ON = '<',
  T38IAF__FAX_CD_OFF = '>',
  T38IAF__FAX_CTS_ON__RDY_FOR_DATA = '[',
  T38IAF__FAX_END_OF_DATA = ']',
  T38IAF__FAX_ALT_CD_ON = 'a',
  T38IAF__FAX_FLAGS_DETECTED = 'f',
};

// Signal actions and tones.
enum : u16 {
  T38IAF__TONE_XMT = 'T',
  T38IAF__TONE_DETECTION = 't',
  T38IAF__TONE_CED = '0',
  T38IAF__TONE_CNG = '2',
  T38IAF__TONE_ALL = '+',
};

inline constexpr u8 T38IAF__KIND_HNDSHK = 15;   // polling expiry: end of a handshake
inline constexpr u8 T38IAF__KIND_DATA_TX = 20;  // polling expiry: next data packet
inline constexpr u32 T38IAF__POLLING_MS = 10;
inline constexpr u32 T38IAF__MAX_POLLING_CELLS = 62;
inline constexpr u32 T38IAF__DRATE_DEFAULT = 14400;
inline constexpr u32 T38__TCP_FLOW_CTRL = 0xFFFFFFFFu;
inline constexpr u16 T38__IAF_IAF_TCP_T38_PACKET_SIZE = 15000;
inline constexpr u16 T38IAF__T30_FRM_LENGTH = 0xFFFF;
inline constexpr u32 T38IAF__ECM_FRM_LENGTH = 0xFFFFFF;
inline constexpr u8 T38IAF__CAUSE_BUFFER_ROOM = 160;
inline constexpr u8 T38IAF__CAUSE_FLOW_CTRL = 161;
inline constexpr u8 T38IAF__CAUSE_TIMER_CELL = 150;

// Traps of the IAF services.
enum : u16 {
  T38IAF__TRAP__V25__NO_MSG_NO_BUFFER = 12170,
  T38IAF__TRAP__FAX__BAD_AUTOMATON_IDX = 12181,
  T38IAF__TRAP__FAX__NO_MSG_NO_BUFFER = 12182,
  T38IAF__TRAP__FAX__NO_MORE_DATA_FIELD = 12183,
};

// Fax automaton states and events.
enum t38iaf_state : u8 { STATE__IDLE = 0, STATE__HDSK_TX, STATE__DATA_TX, STATE__HDSK_RX, STATE__DATA_RX };
enum t38iaf_event : u8 {
  EVT__MSG_FAX_ACT_RQ = 0,
  EVT__MSG_FAX_DEA_RQ,
  EVT__MSG_FAX_DA_RQ,
  EVT__TMR_CELL_EOF_HNDSHK,
  EVT__TMR_CELL_DATA_TX,
  EVT__IFP_PACKET_TYPE_T30_IND,
  EVT__IFP_PACKET_TYPE_DATA,
};
inline constexpr u8 T38IAF__STATES = 5;
inline constexpr u8 T38IAF__EVENTS = 7;
// The fax automaton's rows, for their check.
fsm::machine_view t38iaf_fax_machine();

// One row of the speed-mode table.
struct t38iaf_speed_mode {
  u16 mode;
  u32 rate;
  u8 indicator_long, indicator_short;
  u8 data_type;  // 0x80 + T.38 data value
  u8 kind;       // 1 HDLC, 2 transparent
  u16 hndshk_long_ms, hndshk_short_ms;
  // Trace names of the modulation and of the data mode, after a long and
  // after a short train.
  const char* modulation_long;
  const char* modulation_short;
  const char* data_mode_long;
  const char* data_mode_short;
};
inline constexpr u8 T38IAF__KIND_HDLC = 1;
inline constexpr u8 T38IAF__KIND_TRANSPARENT = 2;
inline constexpr u8 T38IAF__DATA_V21 = 0x80;

struct t38iaf_session;

// A polling cell: one session's pending handshake or data timer.
struct t38iaf_poll_cell {
  t38iaf_session* owner = nullptr;
  u8 event = 0;  // T38IAF__KIND_HNDSHK or T38IAF__KIND_DATA_TX
  u32 start_tick = 0;
  i32 remaining = 0;  // ms; 0 or less: expired
  bool in_use = false;
};

// Per-session record of the IAF services.
struct t38iaf_session {
  t38_session* s = nullptr;
  u8 active = 0;
  ent_id_t user = 0;
  ent_id_t fax_user = 0;
  u16 stat_countdown = 10;
  u8 stat_pending = 0;
  u16 enh[T38IAF__ENH_COUNTERS] = {};
  u32 proto_errors = 0;
  u8 iaf_iaf_mode = 0;
  u32 iaf_iaf_rate = 0;
  u16 t38_packet_size = 0;
  u8 state = STATE__IDLE;
  // V.25 signalling.
  u8 v25_running = 0;
  ent_id_t ced_requester = 0;
  ent_id_t det_requester = 0;
  u8 ced_gen_on = 0, ced_det_on = 0, ced_received = 0, v21_preamble_received = 0;
  // Polling.
  t38iaf_poll_cell* cell = nullptr;
  i32 overrun = 0;
  // Activation.
  u16 direction = 0;
  u8 indicator = 0;
  u8 data_type = 0;
  u8 kind = 0;
  u32 rate = 0;
  u8 first_packet = 0;
  u16 first_budget = 0, next_budget = 0;
  u16 last_progress = 0, last_carrier = 0;
  // Transmit fifo and the message being sent.
  std::deque<msg_t*> fifo;
  u8 busy = 0, clear_busy = 1;
  msg_t* cur = nullptr;
  buffer_t* cur_buf = nullptr;
  u16 read_pos = 0;
  u8 last_block = 0;
  i32 idle_owed = 0;
  // Received packet being handled.
  u8 rx_type = 0;
  t38_data_field* rx_fields = nullptr;
  // Receive buffer.
  buffer_t* rx_buf = nullptr;
  u8 listen_v21 = 0, v21_seen = 0;
  u8 frame_too_long = 0;
  u8 rx_data_lost = 0;
  // T.30 inspection.
  t30_call_record call;
  t30_frame_record frame;

  t38iaf_session() = default;
  t38iaf_session(const t38iaf_session&) = delete;
  t38iaf_session& operator=(const t38iaf_session&) = delete;
  ~t38iaf_session();
  bool transmit() const { return (direction & 1) != 0; }
};

class t38iaf_service final : public t38_iaf_port {
 public:
  t38iaf_service() = default;
  ~t38iaf_service() override;
  t38iaf_service(const t38iaf_service&) = delete;
  t38iaf_service& operator=(const t38iaf_service&) = delete;

  u8 main_automaton(u8 kind, msg_t** m, t38_session& s) override;
  u8 polling_setup(t38_session& s) override;
  u8 session_setup(t38_session& s) override;
  void session_reset(t38_session& s) override;
  u8 update_drate(t38_session& s, u32 value32, u16 value16, u8* cause) override;
  void polling_expiry(msg_t** m) override;
  void statistics(const t38_session& s, u32 stats[T38IAF__STAT_WORDS], u16 enh[T38IAF__ENH_COUNTERS]) override;
  u32 protocol_errors(const t38_session& s) override;

  // The record of a session, or null.
  t38iaf_session* find(const t38_session& s) const;
  u32 polling_users() const { return polling_users_; }
  bool polling_running() const { return poll_timer_ != nullptr; }

  // For the V.25 automaton and the fax automaton: both stop and reset.
  void v25_reset(t38iaf_session& c);
  void v25_stop(t38iaf_session& c);
  u8 v25_automaton(u8 event, t38iaf_session& c, const msg_t* m);
  void fax_stop(t38iaf_session& c);

 private:
  friend struct t38iaf_actions;
  u8 main_entry(u8 kind, msg_t** m, i32 overrun, t38iaf_session& c);
  u8 fax_automaton(u8 event, msg_t** m, i32 overrun, t38iaf_session& c);
  u8 user_primitive(msg_t** m, t38iaf_session& c);
  u8 act_rq(msg_t** m, t38iaf_session& c);
  u8 dea_rq(msg_t** m, t38iaf_session& c);
  u8 receive_packets(t38iaf_session& c);
  void statistics_block(t38iaf_session& c);
  void error_stop(t38iaf_session& c);

  // Polling cells.
  void poll_start(t38iaf_session& c, u8 event, i32 ms);
  void poll_stop(t38iaf_session& c);

  std::unordered_map<const t38_session*, std::unique_ptr<t38iaf_session>> sessions_;
  std::array<t38iaf_poll_cell, T38IAF__MAX_POLLING_CELLS> cells_{};
  timer_cell_t* poll_timer_ = nullptr;
  u8 poll_id_ = 0;
  u32 poll_last_tick_ = 0;
  u32 polling_users_ = 0;
};

// Senders towards the fax user.
void send_t38iaf__fax_progress_in(t38iaf_session& c, u16 progress);
void send_t38iaf__busy__clear_busy_in(t38iaf_session& c, code_t code);

}  // namespace kv::t38
