// The application entity ENT_APP_FOIP ('A'): the user of the FOIP API.
//
// It configures itself and ENT_FOIP at start-up (SM_CONFIG_RQ ->
// FOIP__SET_CONFIG_RQ -> FOIP__T38_CAPABILITIES_RQ), turns the start, stop and
// exit marks of the fax-server link into session events on a 100 ms poll,
// counts active sessions and batches, answers the FOIP confirms and
// indications, and ends the application (unregistrations ->
// FOIP__RESET_CONFIG_RQ -> FOIP__RESET_CONFIG_CO -> the application-ended
// flag).
//
// Threads.  The handler runs in the SM thread.  The direct calls of the
// fax-server link (start, stop, exit, lookups, app_foip_mngt__process_event,
// app_foip_mngt__accept_reject_sip_incoming_call) run in the main thread.
// Both sides hold the application lock while they work, so a direct call
// never meets the handler on a record; what a direct call sends from the
// main thread goes to the SM task's external queue, in the order of the
// sends.
//
// Exit always completes: when the configuration failed, or ENT_FOIP never
// accepted its configuration, nothing is left to reset there and the exit
// tick ends the application at once.
#pragma once

#include <memory>
#include <mutex>
#include <vector>

#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/timer.h"
#include "runtime/types.h"
#include "session/config/app_foip_cnf.h"
#include "session/foip/app_foip_prim.h"
#include "session/app/app_foip_session.h"

inline constexpr const char* APP_FOIP__VERSION = "(@)APP_FOIP v2.7.1";

// Session selectors of start and stop.
inline constexpr nai_t APP_FOIP__ALL_IN = 0xFFFD;
inline constexpr nai_t APP_FOIP__ALL_OUT = 0xFFFE;
inline constexpr nai_t APP_FOIP__ALL = 0xFFFF;

inline constexpr u32 APP_FOIP__USER_EVT_MS = 100;

// Trap codes of the entity.
inline constexpr u16 APP_FOIP__TRAP_SESSION_TIMER = 30002;
inline constexpr u16 APP_FOIP__TRAP_USER_EVT_TIMER = 30010;
inline constexpr u16 APP_FOIP__TRAP_API = 30032;          // a FOIP API primitive could not be built or read
inline constexpr u16 APP_FOIP__TRAP_FOIP_CONFIG = 30034;  // ENT_FOIP refused its configuration

// The global context.
struct app_foip__glb_ctx {
  // Configuration: magic (0x12345678 once configured), foip_ready, the global
  // parameters, the configuration's session records, the media table.
  app_foip_cnf__context cnf;
  u8 usr_evt_pending = 0;
  u8 exit_requested = 0;
  u8 closed = 0;
  u8 foip_configured = 0;  // ENT_FOIP accepted FOIP__SET_CONFIG_RQ
  u32 unregister_pending = 0;
  code_t delayed_start_code = APP_FOIP__TI_DELAYED_START;
  timer_cell_t* user_evt_timer = nullptr;
  u8 counters_mode = 0;  // 0: the batch count goes into each session's parameters at start
  u8 batch_mode = 0;
  u16 batch_limit = 0;
  u32 start_delay = 0;     // ms
  u8 batch_direction = 0;  // 2: batches and "all" starts take outgoing sessions only
  std::vector<std::unique_ptr<app_foip__session_ctx>> sessions;
  u16 batch_count = 0;
  u16 session_cnt = 0;  // records that are not idle
  nai_t sip_nai = 0;
};

// The context (valid after app_foip_entity_init).  Read or change it only in
// the SM thread or while holding app_foip__lock.
app_foip__glb_ctx& app_foip__ctx();

// The application lock.
std::recursive_mutex& app_foip__lock();
void app_foip__init_critical_section();

// Entity.
void app_foip_entity_init();
void app_foip_entity_handler(msg_t* m);
// Names of the FOIP API primitives and of its timers for the message trace.
extern const dcod__vocabulary app_foip_vocabulary;
inline constexpr entity_table_row_t APP_FOIP_ENTITY_ROW = {
    ENT_APP_FOIP, app_foip_entity_handler, 0, 0, app_foip_entity_init, 0, &app_foip_vocabulary};

// Where the configuration finds its files (the server area); the next
// SM_CONFIG_RQ uses them.
void app_foip__set_cnf_options(const app_foip_cnf__options& options);

// Direct calls of the fax-server link.  2 accepted, 3 refused; *text (when
// text is not null) gets a static text.
u8 __app_foip__start(nai_t selector, const char** text);
u8 __app_foip__start_checked(nai_t selector, const char** text);
u8 __app_foip__stop(nai_t selector, const char** text);
u8 __app_foip__exit(const char** text);

// True once the application has ended (FOIP__RESET_CONFIG_CO, an exit with
// nothing to reset, or a help-only run).  The program's main routine waits
// for it before it stops the runtime.
bool app_foip__application_ended();

// Counts a session that becomes active (n >= 1) or idle (n < 1); batch
// headers, and the next batch in batch mode.  In the SM thread or locked.
void app_foip__update_global_counters(int n);

// Ends the application: unregistrations, then FOIP__RESET_CONFIG_RQ.
void app_foip__launch_eof_application();

// Sends the entity's current message back with a new header (source 'A',
// sapi 1, connection 0xFFFF, nai unchanged); the handler then does not free
// it.
void app_foip__send_sm_confirm(ent_id_t destination, code_t code);

// ---------------------------------------------------------------------------
// The fax-server link's side of the FOIP indications and confirms.  Each hook
// runs in the SM thread, holding the application lock, with the message and
// what could be read of it (read_result 2 when the record was read).  The
// session part is the entity's own: a stop indication, and a stop confirm
// with return code 2, bring the session back to idle after the hook.
// Without hooks an incoming call is rejected.
struct app_foip__link_hooks {
  void (*alert_in)(const msg_t* m, const foip__alert* alert, u8 read_result) = nullptr;
  void (*report_in)(const msg_t* m, const foip__report* report, u8 read_result) = nullptr;
  void (*start_co)(const msg_t* m, app_foip__session_ctx* s, const foip__confirm* c, u8 read_result) = nullptr;
  void (*stop_in)(const msg_t* m, app_foip__session_ctx* s, const foip__confirm* c, const foip__fax_session_status* fax,
                  u8 read_result) = nullptr;
  void (*stop_co)(const msg_t* m, app_foip__session_ctx* s, const foip__confirm* c, u8 read_result) = nullptr;
};
void app_foip__set_link_hooks(const app_foip__link_hooks& hooks);
