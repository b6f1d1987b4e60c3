// Application session records and their automaton.
//
// One record per configured session, built from the configuration's session
// record (which it keeps: value table, parameters, registration settings) and
// kept in the application's list in configuration order.  Records are added
// only when the configuration has run and released only at the end of the
// application.
//
// The automaton starts a session after a delay (25 ms the first time, then
// the session delay), stops it and brings it back to idle.  The active-session
// count of the application counts the records that are not idle: it goes up
// once when a record leaves idle and down once when it comes back, whatever
// the path (automaton, end of session, stop confirm).
//
// Threads: the application entity works on the records in the SM thread; the
// fax-server link calls the functions marked "locked" from the main thread.
// Both sides hold the application lock (app_foip__lock) while they touch a
// record, so their calls never overlap.
#pragma once

#include <cstdint>

#include "runtime/automaton.h"
#include "runtime/timer.h"
#include "runtime/types.h"
#include "session/config/app_foip_cnf.h"
#include "session/foip/app_foip_prim.h"

// States.
enum : u8 {
  APP_FOIP__ST_IDLE = 0,
  APP_FOIP__ST_DELAYED_START = 1,  // delayed start armed
  APP_FOIP__ST_START_SENT = 2,     // FOIP__START_RQ sent
  APP_FOIP__ST_RUNNING = 3,        // set by an incoming call
  APP_FOIP__ST_STOP_SENT = 4,      // FOIP__STOP_RQ sent
};
inline constexpr u8 APP_FOIP__NB_STATES = 5;

// The automaton's rows, for the check of its table.
kv::fsm::machine_view app_foip__session_machine();

// Events of app_foip_mngt__process_event.
enum : u8 {
  APP_FOIP__EVT_START = 1,
  APP_FOIP__EVT_STOP = 2,
  APP_FOIP__EVT_INCOMING_CALL = 3,
  APP_FOIP__EVT_PRIMITIVE = 4,  // the entity's current message from ENT_FOIP
  APP_FOIP__EVT_TIMER = 5,
};

// User-event byte of a record.
enum : u8 {
  APP_FOIP__NO_USR_EVT = 0,
  APP_FOIP__USR_EVT_START = 1,
  APP_FOIP__USR_EVT_STOP = 2,
};

// Timer codes of the entity.
enum : code_t {
  APP_FOIP__TI_DELAYED_START = 'd',
  APP_FOIP__TI_USER_EVT = 's',
  APP_FOIP__TI_IPC = 'i',
};
inline constexpr u32 APP_FOIP__FIRST_START_DELAY_MS = 25;

struct app_foip__session_ctx {
  nai_t nai = 0xFFFF;
  u16 call_id = 0xFFFF;  // connection id of the incoming call bound to the session
  nai_t ref_nai = 0xFFFF;
  u8 usr_evt = APP_FOIP__NO_USR_EVT;
  u8 state = APP_FOIP__ST_IDLE;
  u8 direction = 0;  // FOIP__DIR_OUT or FOIP__DIR_IN
  u32 start_cnt = 0;
  u16 rotation_flags = 0;  // bit 0 rotation of the local media port on, bit 1 step of 2
  u16 rotation_base = 0;
  u8 rotation_cnt = 0;
  u8 registered = 0;
  u16 register_conn_id = 0xFFFF;
  u8 register_wanted = 0;
  u32 start_delay = 0;  // ms
  u8 timer_armed = 0;
  u8 timer_seq = 0;
  timer_cell_t* timer = nullptr;
  // The configuration's record: value table, parameters, registration.
  app_foip_cnf__session* cnf = nullptr;

  foip__session_param& param() { return cnf->cfg.param; }
  const foip__session_param& param() const { return cnf->cfg.param; }
};

// ---------------------------------------------------------------------------
// Records (callers in the SM thread, or holding the application lock).

// A record for a configured session, appended to the list; null when memory
// is exhausted.
app_foip__session_ctx* app_foip__create_session_ctx(app_foip_cnf__session* cnf);
// Binds a record to its nai: parameters' nai, start delay, its timer cell
// (failure: trap 30002, result 3).
u8 app_foip__bind_session(nai_t nai, app_foip__session_ctx* s);
// Releases one record (its timer cell, its list place); a record not in the
// list is ignored.
void app_foip__release_session_ctx(app_foip__session_ctx* s);
void app_foip__release_all_session_ctx();

app_foip__session_ctx* app_foip__get_session_ctx(nai_t nai);
app_foip__session_ctx* app_foip_mngt__get_session_ctx(nai_t nai);
// null -> the first record, else the record after s (null at the end).
app_foip__session_ctx* app_foip_mngt__next_session_ctx(const app_foip__session_ctx* s);

// Criteria of app_foip_mngt__search_session_ctx.
enum : u8 {
  APP_FOIP__SEARCH_IDLE = 1,
  APP_FOIP__SEARCH_IDLE_OUT = 2,
  APP_FOIP__SEARCH_IDLE_IN = 3,
  APP_FOIP__SEARCH_BUSY_OUT = 4,  // state 2 or 3
  APP_FOIP__SEARCH_BUSY_IN = 5,
  APP_FOIP__SEARCH_BUSY = 6,
  APP_FOIP__SEARCH_NAI = 7,
  APP_FOIP__SEARCH_CALL_ID = 10,
};
// First record after `from` (null: from the first) that meets the criterion.
app_foip__session_ctx* app_foip_mngt__search_session_ctx(u8 criterion, nai_t nai, u16 call_id,
                                                         const app_foip__session_ctx* from);

// ---------------------------------------------------------------------------
// Automaton (locked).

// Runs one event on a record.  Returns 2, or 3 for an unknown event or a
// missing record.
u8 app_foip_mngt__process_event(u8 event, app_foip__session_ctx* s);

// Brings a record back to idle outside the automaton (end of the session,
// stop confirmed): "Session idle" and the count goes down, once.  Nothing
// when the record is already idle.
void app_foip__session_to_idle(app_foip__session_ctx* s);

// Answers an incoming call (locked).  With a session: the session's
// parameters go back in three FOIP__ALERT_RS (provisional, ringing, accept),
// and the session runs the incoming-call event.  Without: one FOIP__ALERT_RS
// rejecting the call with 404 "Requested user not found".  The responses take
// nai, sapi and connection id of the indication.  Result of the last send.
u8 app_foip_mngt__accept_reject_sip_incoming_call(const foip__alert& indication, nai_t nai, u8 sapi, u16 conn_id,
                                                  app_foip__session_ctx* s);
