// Inside the T.30 engine: the channel record, the machine tables and the
// routines that the machine modules (phase B, post-message, ECM) share with
// the engine core. Not for use outside the engine's modules.
#pragma once

#include <array>
#include <cstdint>
#include <deque>
#include <initializer_list>
#include <memory>
#include <span>
#include <type_traits>
#include <utility>
#include <vector>

#include "fax/t30_capability.h"
#include "fax/t30_cause.h"
#include "fax/t30_engine.h"
#include "fax/t30_frame_set.h"
#include "fax/t30_ident.h"
#include "fax/t30_page_check.h"
#include "runtime/automaton.h"
#include "runtime/timer.h"

namespace fsm = kv::fsm;

struct t30_ecm_state;
struct t30_ecm_deleter {
  void operator()(t30_ecm_state* p) const;  // t30_ecm.cpp
};

// Internal event codes (the machines' decoders index them).
enum t30_event_code : u16 {
  EV_FRAMES = 2,        // FM 'f': frames received
  EV_FM_B = 3,          // FM 'b'
  EV_FM_A = 4,          // FM 'a'
  EV_FM_D = 5,          // FM 'd'
  EV_FM_C = 6,          // FM 'c'
  EV_FM_E = 7,          // FM 'e'
  EV_RXSUSP = 9,        // TI_RXSUSP
  EV_BUSYCYC = 10,      // TI_BUSYCYC
  EV_WTD_RS = 11,       // T30_WhatToDo_RS
  EV_END_PAGE_RQ = 12,  // T30_END_PAGE_RQ
  EV_END_PAGE_RS = 13,  // T30_END_PAGE_RS
  EV_T5 = 15,           // TI_T5
  EV_LOWER_A = 16,      // V.34 established
  EV_LOWER_B = 17,      // V.34 not established / lost
  EV_PAGE_TIMER = 18,
  EV_T1 = 19,  // TI_T1R or TI_T1X
  EV_TWTD = 20,
  EV_TANSW = 21,
  EV_T2 = 22,
  EV_TRST = 23,
  EV_TXNEXT = 24,
  EV_T3 = 25,
  EV_CODES = 30,
  EV_NOTHING = 0xFFFF,
};

// Response flags.
inline constexpr u16 RF_WAIT_USER = 0x01;
inline constexpr u16 RF_USER_ANSWERED = 0x02;
inline constexpr u16 RF_CMD_RECEIVED = 0x10;
inline constexpr u16 RF_WINDOW_OPEN = 0x20;
inline constexpr u16 RF_NO_ANSWER = 0x40;
inline constexpr u16 RF_ECM_BUSY = 0x80;

struct t30_channel;
using t30_action = void (*)(t30_channel&, u16 arg);
struct t30_cell {
  t30_action fn = nullptr;  // null: unexpected (WUNEXP)
  u16 arg = 0;
};

// The machines' states and events, numbered as the channel record and the
// decoders hold them.  Every action sets the machine and the state that
// follow itself.
//   0 start-up: idle (waiting for the modem layer), V.34 activation as
//     caller, V.34 activation as answerer.
//   1 transmit: waiting for DIS, DIS received waiting for the user, DCS and
//     TCF sent waiting for CFR/FTT, sending a page, post-message command
//     sent waiting for the response.
//   2 main: answerer waiting for the user before DIS, DIS/DTC sent waiting
//     for a command, waiting for the next command, receiving TCF, CFR sent
//     waiting for page data, receiving a page and its post-message command.
//   4 ECM transmit: sending the block, PPS sent, CTC sent, EOR sent.
//   5 ECM receive: receiving the block, response sent, RNR sent, CTR, ERR,
//     PPR or MCF sent waiting for data.
enum class t30_m0 : u8 { idle, v34_caller, v34_answerer, count_ };
enum class t30_m0_ev : u8 { other, none_1, none_2, lower_a, lower_b, wtd_rs, twtd, t1, count_ };
enum class t30_m1 : u8 { wait_dis, wait_user, wait_cfr, sending_page, wait_response, count_ };
enum class t30_m1_ev : u8 {
  other,
  none,
  dis,
  dtc,
  cfr_ftt,
  mcf_rtn_rtp,
  pip_pin,
  dcn,
  invalid,
  fm_b,
  fm_a,
  fm_d,
  wtd_rs,
  end_page_rq,
  t1,
  txnext,
  twtd,
  tansw,
  lower_b,
  count_
};
enum class t30_m2 : u8 { wait_user, wait_command, next_command, receiving_tcf, wait_page, receiving_page, count_ };
enum class t30_m2_ev : u8 {
  other,
  none,
  dis,
  dtc,
  dcs,
  nss,
  eom,
  eop,
  mps,
  dcn,
  invalid,
  fm_b,
  fm_a,
  fm_c,
  fm_d,
  wtd_rs,
  end_page_rs,
  fm_e,
  page_timer,
  t1,
  tansw,
  t2,
  twtd,
  trst,
  lower_b,
  count_
};
enum class t30_m4 : u8 { sending_block, pps_sent, ctc_sent, eor_sent, count_ };
enum class t30_m4_ev : u8 {
  other,
  none_1,
  fm_b,
  fm_a,
  invalid,
  rnr,
  mcf,
  pip_pin,
  ppr,
  ctr,
  err,
  none_11,
  fm_d,
  none_13,
  end_page_rq,
  txnext,
  t5,
  count_
};
enum class t30_m5 : u8 { receiving_block, response_sent, rnr_sent, wait_data, count_ };
enum class t30_m5_ev : u8 {
  other,
  none_1,
  fm_d,
  fm_a,
  none_4,
  invalid_dcn,
  dis_dtc_dcs_nss,
  pps,
  ctc_eor,
  rr,
  end_page_rs,
  fm_e,
  tansw,
  trst,
  busycyc,
  count_
};

// A row of a machine's table: a cell that no row names is unexpected.
template <typename S, typename E>
using t30_row = fsm::row<S, E, t30_cell>;
using t30_table_cell = fsm::cell<t30_cell>;
inline constexpr t30_table_cell T30_UNEXPECTED{{}, fsm::kByAction};

// A machine: its decoder (internal event code -> event, 0xFF = classify the
// received frames and map the class through `class_events`), its table,
// `events` rows of `states` cells compiled from its rows, and the rows for
// their check.
inline constexpr u8 T30_DECODE_FRAMES = 0xFF;
struct t30_machine {
  const char* name;
  u16 states;
  u16 events;
  std::array<u8, EV_CODES> decode;
  std::array<u8, T30C_COUNT> class_events;
  const t30_table_cell* table;  // [event * states + state]
  std::span<const fsm::plain_row> rows;
};
// The rows of a machine for `fsm::check`: every row leaves the next state to
// its action, and the actions (of this machine or another) enter every state.
fsm::machine_view t30_machine_view(const t30_machine& mc);

// A decoder: internal event codes to a machine's events; with `frames`,
// received frames are classified first.
template <typename E>
constexpr std::array<u8, EV_CODES> t30_decode(std::initializer_list<std::pair<u16, E>> rows, bool frames = true) {
  std::array<u8, EV_CODES> d{};
  if (frames) d[EV_FRAMES] = T30_DECODE_FRAMES;
  for (const auto& [code, ev] : rows) d[code] = static_cast<u8>(ev);
  return d;
}
// Frame classes to a machine's events.
template <typename E>
constexpr std::array<u8, T30C_COUNT> t30_classes(std::initializer_list<std::pair<t30_class, E>> rows) {
  std::array<u8, T30C_COUNT> c{};
  for (const auto& [cls, ev] : rows) c[cls] = static_cast<u8>(ev);
  return c;
}

struct t30_timer {
  timer_cell_t* cell = nullptr;
  u32 ms = 0;
  u8 code = 0;
  u8 seq = 0;
  u8 running = 0;
};

struct t30_channel {
  // Identity.
  u16 number = 0;
  bool active = false;
  bool stopping = false;  // FM_DISC_RQ sent, waiting for FM_DISC_IN
  u16 stop_cause = 0;
  ent_id_t user = ENT_CF;
  ent_id_t lower = ENT_NIL;
  u8 config_byte = 0;
  nai_t nai = 0;
  u16 conn_id = 0;
  u8 sapi = 0;

  // Call.
  u8 role = 0;  // 1 answering, else calling
  bool v34_allowed = false;
  u32 max_speed = 0;
  u16 machine = 0;
  u16 state = 0;
  u16 event = EV_NOTHING;
  std::array<t30_timer, T30_TIMER_COUNT> timers{};

  // Capabilities.
  t30_capability local, user_cap, remote, result;
  t30_selection user_selection;
  t30_local_params params;
  t30_remote_ident rx_ident;
  bool force_ftt = false;
  bool handshake_2400 = false;
  t30_speed_fallback fallback;
  bool fallback_started = false;
  bool retrain = false;

  // Modulations.
  u16 modulation = 0;  // page data
  u16 cmd_modulation = T30_MOD_V21_CMD;
  bool v34_mode = false;
  u8 v34_dir = 0;
  u32 speed_bps = 0;

  // Frame lists.
  t30_frame_set tx;        // the set being sent
  t30_frame_set rx;        // frames received (filled by the modem layer)
  u8 last_sent_class = 0;  // class of the last final frame sent
  u8 response_class = 0;   // prepared response (receiving side)
  u8 cmd_class = 0;        // post-message command of this page (receiving side)
  u8 last_cmd_class = 0;
  bool page_cmd_reported = false;  // T30_END_PAGE_IN sent for this page
  bool cmd_was_eor = false;        // ECM: the page's command came in an EOR
  u8 dcs_fif[2] = {};              // first two FIF octets of the DCS sent

  // Counters.
  u16 dis_sends = 0;
  u16 dis_received = 0;
  u16 dcs_sends = 0;  // DCS/TCF sends without an answer
  u16 dcs_received = 0;
  u16 dtc_sends = 0;
  u16 ftt_count = 0;
  u16 pm_sends = 0;  // post-message (or ECM) command sends
  u16 rr_count = 0;
  u16 rx_rearms = 0;
  u16 rx_requests = 0;  // reception requests (command modulation choice)
  u16 pages = 0;
  u16 resp_flags = 0;

  // Post-message (transmitting side).
  u8 pm_class = 0;         // command chosen by the user's request
  bool pm_resend = false;  // resend flag of the request
  bool pm_requested = false;
  bool data_ended = false;
  bool eop_completed = false;  // a page ended with EOP and its answer

  // Post-message (receiving side).
  bool eop_received = false;
  t30_page_response page_verdict = t30_page_response::mcf;
  bool page_finished = false;

  // Page data.
  std::deque<msg_t*> tx_queue;  // T30_DA_RQ waiting to go out
  bool user_busy_sent = false;  // T30_BUSY_IN sent, T30_CLR_BUSY_IN pending
  bool fm_busy = false;
  bool tx_page_active = false;   // the page-data path sends towards the modem layer
  bool user_data_ended = false;  // the T30_DA_RQ with parameter 1 was taken
  bool user_hold = false;        // T30_BUSY_RQ
  t30_page_format page_format;
  t30_tx_page_framer framer;
  std::unique_ptr<t30_rx_page_check> rx_check;
  bool rx_page_active = false;
  u32 empty_pages = 0;
  u32 rx_good_lines = 0;
  u32 rx_bad_lines = 0;
  u32 tx_copies = 0;

  // Error-correction mode.
  std::unique_ptr<t30_ecm_state, t30_ecm_deleter> ecm;

  ~t30_channel();
};

// Machines of the engine (null where a number has none).
extern const t30_machine t30_machine_0;
extern const t30_machine t30_machine_1;
extern const t30_machine t30_machine_2;
extern const t30_machine t30_machine_4;
extern const t30_machine t30_machine_5;

// ---------------------------------------------------------------------------
// Engine core services for the machine modules.

// The stop procedure; `cause` without origin W_PROV asks the modem layer
// first. `after_dcn`: release after the modem layer's running program.
void t30_stop(t30_channel& ch, u16 cause);
// Sends DCN and stops with `cause` (the release waits for the DCN to go out).
void t30_dcn_and_stop(t30_channel& ch, u16 cause);

void t30_timer_start(t30_channel& ch, t30_timer_slot slot, u32 ms = 0);
void t30_timer_stop(t30_channel& ch, t30_timer_slot slot);
bool t30_timer_running(const t30_channel& ch, t30_timer_slot slot);

// Messages to the user and to the modem layer.
void t30_send_user(t30_channel& ch, code_t code, std::span<const u8> body = {});
void t30_send_user_words(t30_channel& ch, code_t code, std::initializer_list<u16> words);
void t30_fm_control(t30_channel& ch, char subcode, u16 modulation, bool restart = false, u8 mode = 0, u32 extra = 0);
void t30_send_lower(t30_channel& ch, code_t code, std::span<const u8> body);
// The V.34 start request to the modem layer.
void t30_send_v34_activate(t30_channel& ch, bool answering);
// A page data message towards the modem layer (octets in line bit order).
void t30_fm_data(t30_channel& ch, std::span<const u8> octets, u16 param);

// Builds a single frame of `cls` (with its FIF) into the transmit list.
void t30_build_single(t30_channel& ch, u8 cls, std::span<const u8> fif = {});
// Handle of the timer slot for FM_CONTROL_RQ's extra word.
u32 t30_timer_handle(const t30_channel& ch, t30_timer_slot slot);

// Capability area of T30_WhatToDo_IN / T30_EONEG_IN.
void t30_send_cap_area(t30_channel& ch, code_t code, const t30_capability& cap, const t30_selection& sel);

// Page data path.
void t30_page_tx_start(t30_channel& ch);
void t30_page_tx_turn(t30_channel& ch);
void t30_page_rx_start(t30_channel& ch);
void t30_page_rx_data(t30_channel& ch, msg_t* m);
void t30_page_rx_end(t30_channel& ch);
void t30_page_format_set(t30_channel& ch);

// Runs the current channel's machine on its event code.
void t30_run_machine(t30_channel& ch);

// Parameter word n of the current message.
u16 t30_param(const msg_t* m, unsigned n);
// The message being handled.
msg_t* t30_current_msg();

// ECM (t30_ecm.cpp).
void t30_ecm_call_start(t30_channel& ch);
bool t30_ecm_active(const t30_channel& ch);
void t30_ecm_tx_start_page(t30_channel& ch);
void t30_ecm_tx_turn(t30_channel& ch);
void t30_ecm_rx_start_page(t30_channel& ch);
void t30_ecm_rx_data(t30_channel& ch, msg_t* m);
void t30_ecm_user_clear_busy(t30_channel& ch);
void t30_ecm_send_pps(t30_channel& ch);
u8 t30_ecm_response(const t30_channel& ch);  // MCF, or ERR after an EOR

// Actions shared between the machine modules.
void t30_act_stop(t30_channel& ch, u16 cause);      // stop with the cause
void t30_act_dcn_stop(t30_channel& ch, u16 cause);  // DCN, then stop
void t30_act_ignore(t30_channel& ch, u16);
void t30_act_rpt(t30_channel& ch, u16);               // RPT
void t30_act_epq(t30_channel& ch, u16);               // EPQ
void t30_act_epq0(t30_channel& ch, u16);              // EPQ0
void t30_act_pmr(t30_channel& ch, u16);               // PMR
void t30_act_pmc2(t30_channel& ch, u16);              // PMC2
void t30_act_resend(t30_channel& ch, u16);            // RESEND
void t30_act_pg(t30_channel& ch, u16);                // PG
void t30_act_epr(t30_channel& ch, u16);               // EPR
void t30_act_wclose(t30_channel& ch, u16);            // WCLOSE
void t30_act_pcd(t30_channel& ch, u16);               // PCD
void t30_act_rxp(t30_channel& ch, u16);               // RXP
void t30_act_rxa(t30_channel& ch, u16);               // RXA
void t30_act_pmc(t30_channel& ch, u16 enter_state5);  // PMC / PMC5
void t30_resp(t30_channel& ch);                       // RESP
void t30_send_dcs(t30_channel& ch, bool first);       // SENDDCS
void t30_send_dis(t30_channel& ch);                   // SENDDIS
void t30_report_end_page_co(t30_channel& ch, u16 response);
void t30_start_phase_b_caller(t30_channel& ch);  // transmit state 0: T1, receive DIS
void t30_next_page_tx(t30_channel& ch);          // transmit state 3 for the next page

// Cells of the tables.
inline constexpr t30_cell U{};
inline constexpr t30_cell IGN{t30_act_ignore, 0};
constexpr t30_cell STOP(t30_cause_number n) { return {t30_act_stop, t30_protocol_cause(n)}; }
constexpr t30_cell DCN_STOP(t30_cause_number n) { return {t30_act_dcn_stop, t30_protocol_cause(n)}; }

// The machines by number (the channel record's `machine`).
inline constexpr u16 T30_START_UP = 0, T30_TRANSMIT = 1, T30_MAIN = 2, T30_ECM_TX = 4, T30_ECM_RX = 5;
template <typename S>
struct t30_machine_of;
template <>
struct t30_machine_of<t30_m0> : std::integral_constant<u16, T30_START_UP> {};
template <>
struct t30_machine_of<t30_m1> : std::integral_constant<u16, T30_TRANSMIT> {};
template <>
struct t30_machine_of<t30_m2> : std::integral_constant<u16, T30_MAIN> {};
template <>
struct t30_machine_of<t30_m4> : std::integral_constant<u16, T30_ECM_TX> {};
template <>
struct t30_machine_of<t30_m5> : std::integral_constant<u16, T30_ECM_RX> {};

// Enters a state of a machine: the machine and the state change.
template <typename S>
void t30_enter(t30_channel& ch, S s) {
  ch.machine = t30_machine_of<S>::value;
  ch.state = static_cast<u16>(s);
}
// A new state within the running machine.
template <typename S>
void t30_set_state(t30_channel& ch, S s) {
  ch.state = static_cast<u16>(s);
}
// Whether the channel is in a state of a machine.
template <typename S>
bool t30_in(const t30_channel& ch, S s) {
  return ch.machine == t30_machine_of<S>::value && ch.state == static_cast<u16>(s);
}
