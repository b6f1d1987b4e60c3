// SIP calls of the FOIP entity: one sip_call__ctx per call, driven by
// foip_call__automaton, and the requests of a call that need its session
// (set-param, INVITE / re-INVITE, 200 with a first offer) or a registration
// (REGISTER).
//
// A call opens outgoing (event 62 from ssc_mgt__automaton) or incoming (an
// INVITE on a free record), negotiates its media (T.38 at once, or audio
// then a re-INVITE), reports to the session-control automaton with
// FOIP_MGT__SIP_CALL_OPENED 'S' / FOIP_MGT__SIP_CALL_CLOSED 'T', and ends
// only on SSC_CALL_CLOSED_IN from ENT_SSC.
//
// Contract:
// - A call that ends without having opened always tells its session
//   (SIP_CALL_OPENED result 3 with status / 100, status % 100), or, without
//   a session, the FOIP user (FOIP__STOP_IN (3, status / 100, status % 100))
//   exactly once.  No session is left waiting on a call that is gone.
// - A record is reused only after SSC_CALL_CLOSED_IN; every INVITE that is
//   not taken gets a final answer.
// - The wait timer ('3') only acts on its current start (fresh id per start).
// - A session that gives up on its call (released, or the call gave up after
//   ten incompatible answers) is never reached through the record again.
#pragma once

#include <array>

#include "runtime/automaton.h"
#include "runtime/timer.h"
#include "runtime/types.h"
#include "session/foip/app_foip_prim.h"
#include "session/foip/foip.h"
#include "session/foip/foip_sdp.h"
#include "sip/prim/ssc_header.h"

// States.
enum : u8 {
  CALL_FREE = 0,
  CALL_PROGRESS = 1,
  CALL_PROGRESS_2 = 2,
  CALL_DONE = 3,
  FREE_PROGRESS = 4,
};
inline constexpr u8 FOIP_CALL__NB_STATES = 5;
// An event's number is its index times the number of states.
inline constexpr u8 FOIP_CALL__EVENT_STEP = FOIP_CALL__NB_STATES;

// Events (index x 5), and the two that bypass the table.
enum : u8 {
  EVT_USR_STOP = 0,
  EVT_SSC_INVITE_CO = 5,
  EVT_SSC_INVITE_IN = 10,
  EVT_SSC_ACK_IN = 15,
  EVT_SSC_SESSION_CLOSED_IN = 20,
  EVT_SSC_CLOSE_SESSION_CO = 25,
  EVT_SSC_CALL_CLOSED_IN = 30,
  EVT_TI_WAIT_T38_CAP = 35,
  EVT_FOIP__ALERT_RS = 40,
  EVT_SSC_ERROR_IN = 45,
  EVT_SM_REPORT_IN = 50,
  EVT_SSC_SET_PARAM_SESSION_CO = 55,
  EVT_OPEN_OUTGOING_CALL = 62,
  EVT_SSC_OPTIONS_IN = 63,
};

// Trace record code of a call step.
inline constexpr code_t AUTO_SIP_MGT = 'z';

inline constexpr u8 FOIP_CALL__OUTGOING = 2;
inline constexpr u8 FOIP_CALL__INCOMING = 1;
inline constexpr u8 FOIP_CALL__MAX_INCOMPATIBLE = 10;
inline constexpr u8 FOIP_CALL__NO_ANSWER = 255;

struct sip_call__ctx {
  u16 conn_id = 0xFFFF;
  u8 direction = FOIP_CALL__INCOMING;
  u8 state = CALL_FREE;
  u8 last_alert_answer = FOIP_CALL__NO_ANSWER;
  u8 provisional_pending = 1;
  u8 set_param_pending = 1;
  u8 call_opened = 0;
  u8 final_report = 0;
  sip_mgt__sdp_contents sdp;  // last SDP received, edited into the answer
  u32 origin_seed = FOIP_SDP__ORIGIN_SEED;
  sip_mgt__sdp_contents last_sent;
  u32 backoff_ms = 0;  // 491 back-off
  u16 timer_seq = 0;   // id of the current start of the wait
  u8 timer_armed = 0;
  u8 re_invite_allowed = 1;
  u8 incompatible = 0;
  char local_user[64] = {};
  foip__na_ctx* session = nullptr;  // p_na_media_ctx
  foip__call_info info{};
  u8 offer_had_sdp = 0;              // the INVITE being answered carried an SDP
  u16 offer_total = 0;               // media lines of that offer, kept or not
  u8 alert_sent = 0;                 // FOIP__ALERT_IN went to the application for this call
  foip_sdp__t38_param negotiated{};  // T.38 parameters the session runs with
  u8 negotiated_transport = 0;       // 16 UDPTL, 17 TCP
};

// Call record i (0..61), or the spare one (index FOIP__MAX_SIP_CALL_SPARE).
inline constexpr u16 FOIP_CALL__SPARE = 62;
sip_call__ctx& foip_call__record(u16 index);
// Resets every record (conn ids 62.., spare 65535).
void foip_call__glb_init();
// Stops the call's timer and resets the record (conn id kept).
void sip_call__reset(sip_call__ctx& c);

// One step of the call automaton.  For EVT_OPEN_OUTGOING_CALL `c` is
// ignored (the first free record is taken).
void foip_call__automaton(u8 event, foip__na_ctx* s, sip_call__ctx* c);

// True when a wait expiry with timer id `id` is the call's current one.
[[nodiscard]] bool foip_call__timer_current(const sip_call__ctx& c, u16 id);

// The session is going away: its call no longer reaches it.
void foip_call__release_session(foip__na_ctx* s);

// The automaton's rows, for the check of its table.
kv::fsm::machine_view foip_call__machine();

// Names of the trace tables.
const char* foip_call__state_name(u8 state);
const char* foip_call__event_name(u8 event);

// ---------------------------------------------------------------------------
// What a call tells others (foip_call_report.cpp).

// FOIP__REPORT_IN of the call's opening (FOIP__EVENT__SIP_CALL_OPEN, with
// the call record) or closing to the session's user; nothing without a
// session.
void foip_call__send_report(u8 kind, sip_call__ctx& c);
// The call record from the answer to our INVITE (remote from To, local from
// From) or from a new INVITE (local from To, remote from From, the source of
// the datagram, the header images asked for), on the SIP side's handle.
void foip_call__fill_outgoing_info(sip_call__ctx& c);
void foip_call__fill_incoming_info(sip_call__ctx& c, const ssc_hdr_name_addr* to);
// FOIP__ALERT_IN to the FOIP user (`total`: media lines of the offer);
// false when it could not be sent.
[[nodiscard]] bool foip_call__send_alert_in(sip_call__ctx& c, u16 total);
// The peer's media of the chosen T.38 entry `idx` of the call's SDP into the
// session, the call record and the T.38 management.
void foip_call__set_remote_media(sip_call__ctx& c, u16 idx, const foip_sdp__t38_param& params);
// The SDP trace of the call's last SDP, with its session's media settings.
void foip_call__display_media(const sip_call__ctx& c);
// The trace record of a step (traced and audited, never sent).
void foip_call__trace_step(const sip_call__ctx& c, u8 event, u8 old_state);

// ---------------------------------------------------------------------------
// Requests of a call (2 sent, 3 not sent).

u8 send_ssc_set_param_session_rq(sip_call__ctx& c);
u8 send_ssc_invite_rq(bool re_invite, sip_call__ctx& c);
u8 send_ssc_invite_rs_OK_with_offer(sip_call__ctx& c);
// The answer of the call's SDP (version rule applied).
u8 foip_call__send_invite_rs_OK(sip_call__ctx& c);
// REGISTER for a registration record (null: un-REGISTER, only Expires).
u8 send_ssc_register_rq(const foip__sip_register_param* r, u32 expires, u16 conn_id);

// The SDP environment of a session (null: no session parameters).
foip_sdp__env foip_call__env(const foip__na_ctx* s);
