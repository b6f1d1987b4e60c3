// The FOIP entity ENT_FOIP (0x81): serves the FOIP API (session/app_foip_prim.h)
// for its user ENT_APP_FOIP.  It owns the global FOIP context and one context
// per session, takes the global configuration, checks each session's
// parameters, admits starts and stops through FIFOs limited by
// nb_simultaneous_start_stop, and drives each session through its three
// layers (SIP call, T.38 session, fax session) with the session-control
// automaton.
//
// The layers are automata of their own modules, plugged in through
// foip__layer_hooks: each is called with the session (or none) and an event,
// works on the handler's current message (foip__current_msg) and reports back
// by sending ENT_FOIP one of the internal messages 'S'..'Y' (foip__send_mgt).
// A hook left null does nothing; the SIP side's configuration hook left null
// makes ENT_FOIP answer FOIP__SET_CONFIG_CO itself and mark the SIP side
// ready.
#pragma once

#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/types.h"
#include "session/foip/app_foip_prim.h"
#include "session/config/foip_param.h"

inline constexpr char FOIP__BANNER[] = "(@)FOIP v2.7.1 (24 Fev 2010)";

// Internal messages of the session-control automaton (ENT_FOIP to itself,
// SAP 2): body of five u16 {result, origin flag, error source, error code, 0}.
enum : code_t {
  FOIP_MGT__SIP_CALL_OPENED = 'S',
  FOIP_MGT__SIP_CALL_CLOSED = 'T',
  FOIP_MGT__T38_OPENED = 'U',
  FOIP_MGT__T38_CLOSED = 'V',
  FOIP_MGT__FAX_OPENED = 'W',
  FOIP_MGT__FAX_CLOSED = 'X',
  FOIP_MGT__START_DONE = 'Y',
  AUTO_FOIP_MGT = 'y',  // automaton trace record (never sent)
};
inline constexpr u8 FOIP_MGT__SAPI = 2;
inline constexpr u8 FOIP_MGT__TRACE_SAPI = 3;

// States of the session-control automaton.
enum : u8 {
  FOIP_MGT__IDLE = 0,
  FOIP_MGT__T38_OPEN_PROGRESS = 1,
  FOIP_MGT__FAX_OPEN_PROGRESS = 2,
  FOIP_MGT__RUNNING = 3,
  FOIP_MGT__FAX_CLOSE_PROGRESS = 4,
  FOIP_MGT__T38_CLOSE_PROGRESS = 5,
  FOIP_MGT__SIP_CALL_PROGRESS = 6,
  FOIP_MGT__SIP_CLOSE_PROGRESS = 7,
};
// Events (index x 8).
enum : u8 {
  FOIP_MGT__EVT_FIFO__START_RQ = 0,
  FOIP_MGT__EVT_FIFO__STOP_RQ = 8,
  FOIP_MGT__EVT_T38_OPENED = 16,
  FOIP_MGT__EVT_FAX_OPENED = 24,
  FOIP_MGT__EVT_FAX_CLOSED = 32,
  FOIP_MGT__EVT_T38_CLOSED = 40,
  FOIP_MGT__EVT_SIP_CALL_OPENED = 48,
  FOIP_MGT__EVT_SIP_CALL_CLOSED = 56,
};

// Events of the layer automata that ENT_FOIP raises.
enum : u8 {
  // ssc_mgt__automaton
  SSC_MGT__EVT_T38_CAPABILITIES_CO = 1,
  SSC_MGT__EVT_SM = 2,
  SSC_MGT__EVT_SSC = 3,
  SSC_MGT__EVT_OPEN_CALL = 4,
  SSC_MGT__EVT_CLOSE_CALL = 5,
  SSC_MGT__EVT_WAIT_T38_CAP = 6,
  SSC_MGT__EVT_ALERT_RS = 7,
  SSC_MGT__EVT_RESET = 8,
  SSC_MGT__EVT_REGISTER_RQ = 9,
  SSC_MGT__EVT_UNREGISTER_RQ = 10,
  // t38_mgt__automaton
  T38_MGT__EVT_USR_ACT_RQ = 0,
  T38_MGT__EVT_USR_DEA_RQ = 1,
  T38_MGT__EVT_T38_SET_CONFIG_CO = 2,
  T38_MGT__EVT_SM_SET_CONFIG_CO = 3,
  T38_MGT__EVT_T38_ACT_CO = 4,
  T38_MGT__EVT_T38_DEA_CO = 5,
  T38_MGT__EVT_T38_RESET_CONFIG_CO = 6,
  T38_MGT__EVT_SM_RESET_CONFIG_CO = 7,
  T38_MGT__EVT_T38_DEA_IN = 8,
  T38_MGT__EVT_T38_REPORT_IN = 9,
  T38_MGT__EVT_TI_T38_GENERAL_DELAY = 10,
  T38_MGT__EVT_SOCK_DNS_CO = 11,
  T38_MGT__EVT_T38__SET_PARAM_CO = 13,
  T38_MGT__EVT_SOCK_START_LISTEN_CO = 14,
  T38_MGT__EVT_SOCK_EST_CO = 15,
  T38_MGT__EVT_SOCK_EST_IN = 16,
  T38_MGT__EVT_SOCK_REL_IN = 17,
  T38_MGT__EVT_SOCK_REL_CO = 18,
  // fax-session automaton
  FAX_MGT__EVT_USR_ACT_RQ = 0,
  FAX_MGT__EVT_USR_DEA_RQ = 1,
  FAX_MGT__EVT_TI_LAUNCH_FAX = 2,
  FAX_MGT__EVT_SM_SET_CONFIG_CO = 3,
  FAX_MGT__EVT_SM_RESET_CONFIG_CO = 4,
  FAX_MGT__EVT_FAX_ACT_CO = 24,
  FAX_MGT__EVT_FAX_DEA_CO = 30,
  FAX_MGT__EVT_FAX_DEA_IN = 36,
  FAX_MGT__EVT_FAX_REPORT_IN = 42,
};

struct foip__na_ctx;

// Plug-in points of the layer automata.  `s` is null for global events.
struct foip__layer_hooks {
  void (*ssc_mgt__automaton)(foip__na_ctx* s, u8 event) = nullptr;
  // t38 event 0 also gets the transport letter ('U'/'T') and the direction.
  void (*t38_mgt__automaton)(foip__na_ctx* s, u8 event, u8 transport, u8 direction) = nullptr;
  void (*fax_mgt__automaton)(foip__na_ctx* s, u8 event) = nullptr;
  // Hands the global configuration to the SIP side; it answers
  // FOIP__SET_CONFIG_CO itself when it keeps the message (sets the current
  // message to none).  Result 2, or a refusal code of source 255.
  u8 (*sip_set_config)(const foip__global_param& p) = nullptr;
  // Releases the SIP side's call context of a session.
  void (*sip_release_call)(foip__na_ctx* s) = nullptr;
  // Resets the fax-session and T.38 management parts of a session that is
  // being released (called once, before its context is freed).
  void (*release_session)(foip__na_ctx* s) = nullptr;
};
void foip__set_layer_hooks(const foip__layer_hooks& hooks);

void foip_entity_init();
void foip_entity_handler(msg_t* m);
// Releases every context, message and timer (runtime stop, tests).
void foip_entity_stop();

// Names of its own messages and timers for the message trace.
extern const dcod__vocabulary foip_vocabulary;
inline constexpr entity_table_row_t FOIP_ENTITY_ROW = {ENT_FOIP, foip_entity_handler, 0, 0, foip_entity_init,
                                                       1,        &foip_vocabulary};

// The message the handler is processing (null once kept or sent).
msg_t* foip__current_msg();
// Takes the current message over (the handler will not free it).
msg_t* foip__take_current_msg();
// Sends an internal message of the session-control automaton for a nai.
// The internal message itself, for a sender with a trap of its own; null when
// no message can be taken.
msg_t* foip__make_mgt(code_t code, nai_t nai, u16 result, u16 origin, u16 source, u16 code_value);
void foip__send_mgt(code_t code, nai_t nai, u16 result, u16 origin, u16 source, u16 code_value);
// The request of the T.38 entity's capabilities; null when no message can be
// had.
[[nodiscard]] msg_t* foip__make_t38_capabilities_rq();
// Sends `n` bytes of `body` with the header `h`: in `m` when given (its data
// are replaced), else in a new message; inline when the body fits, else in a
// buffer.  A non-zero `sm_target` is the entity an ENT_SM relay names.  False,
// with `m` freed and nothing sent, when no room can be had.
[[nodiscard]] bool foip__send_body(msg_t* m, const msg_head& h, const u8* body, u32 n, ent_id_t sm_target = 0);

// Readiness of the SIP side: 2 configured, 1 refused, other not ready.
void foip__set_sip_ready(u8 v);

// Facts about a session for the layer modules and tests.
nai_t foip__session_nai(const foip__na_ctx* s);
u8 foip__session_state(nai_t nai);  // 0xFF without a session
u16 foip__session_count();
u16 foip__start_phase_count();
u16 foip__stop_phase_count();
bool foip__is_configured();
// Marks the session's SIP call established (call context present) or not.
void foip__set_sip_call(foip__na_ctx* s, void* call, bool established);
void foip__set_t38_active(foip__na_ctx* s, bool active);
// Fax session status copied into the stop answers.
void foip__set_fax_status(foip__na_ctx* s, const foip__fax_session_status& st);
void foip__set_t38_status(foip__na_ctx* s, const foip__t38_session_status& st);
void foip__set_sip_status(foip__na_ctx* s, const foip__sip_status& st);
// The two session timers: TI_LAUNCH_FAX ('l', the launch delay of 900 ms)
// and TI_T38_DLY ('m', start_t38_session_ms).  Each start takes a fresh
// timer id; an expiry reaches the fax-session automaton (FAX_MGT__EVT_TI_
// LAUNCH_FAX) or the T.38 management (T38_MGT__EVT_TI_T38_GENERAL_DELAY)
// only while the timer is armed and its id is the current one.
void foip__start_launch_timer(foip__na_ctx* s);
void foip__start_t38_delay_timer(foip__na_ctx* s);
void foip__stop_session_timers(foip__na_ctx* s);
// Session whose incoming call this is (called user name, called phone
// number); null when no waiting incoming session takes it.
foip__na_ctx* foip_mgt__take_incoming_session(const char* called_user, const char* called_phone);

// ---------------------------------------------------------------------------
// String and file checks of the session parameters.

// Phone number check in place (room includes the NUL): allowed characters
// "+0123456789AaBbCcDdpPwW-.()%", '%' followed by two hex digits; others are
// dropped.  1 all kept, 2 some dropped, 3 refused (too long or bad escape).
[[nodiscard]] u8 foip__chk_phone_number(char* out, const char* in, std::size_t room);
// User name: empty is valid; letters, "0123456789-_.!~*'()&=+$,;?/#" and
// '%' + two hex digits.
[[nodiscard]] bool foip__chk_user_name(const char* name);
// Normalises a file name of the configuration: backslashes become slashes
// (the case is kept).
void foip__norm_path(char* name);
// File access check: empty name valid; mode 1 the file opens for reading;
// mode 2 the file can be created (a file created for the check is removed,
// an existing file is never changed or removed); mode 3 it opens for
// appending.  2 or 3.
[[nodiscard]] u8 foip__chk_file_access(const char* name, u8 mode);
// Substitutes in a file-name pattern only the integer directives %d, %i,
// %u, %x, %X, %o (with optional flags and width) with the arguments in
// order, and %% with '%'; every other character, an unknown directive and a
// directive without argument left is copied as text.  Never uses the
// pattern as a printf format.  False when the result does not fit.
bool foip__format_fname(char* out, std::size_t room, const char* pattern, long a1, long a2);
// TIFF check of a page file to send: 2, or a code of source 240.
[[nodiscard]] u8 foip__chk_tiff_file(const char* name, bool dump, nai_t nai);
