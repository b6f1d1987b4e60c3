// Trace module foip_trc: event lines, message audit, T.38 trace text and the
// batch progress line of the FOIP side.
//
// Producers in any thread only queue: foip_trc__print_event (event lines),
// foip_trc__msg_audit (a copy of a message), foip_trc__store_t38_trace (T.38
// trace text of a session), foip_trc__trap_audit (a trap).  Queues are
// changed under the runtime's pool lock (om_os_lock).  The FOIP task drains
// them (foip_trc__on_timer every 50 ms, foip_trc__session_end, program end),
// prints what the display masks select and writes what the record masks
// select into files that rotate by size and count.  Files and the console are
// written by one flusher at a time: a trap raised in another thread waits
// for the running flush, a trap raised inside a flush is written when that
// flush ends.
//
// Files: with a limit of 65535 a file is its base name itself; otherwise
// files are numbered "<base>_<N>" (N = 0..255, wrapping), each beginning
// with "Log_File_counter: <n>"; a file that reaches limit x 102400 bytes is
// closed and the next one opened, and the file `kept` places back is
// deleted.  A write that fails closes that file only (one program-log line);
// its output stops until it is opened again.
//
// Settings come from the caller (the configuration of the global and session
// traces) as plain values; the module keeps copies.
#pragma once
#include <string>

#include "runtime/msg.h"
#include "runtime/types.h"

// Event classes: bits of the display and record masks.
enum : u16 {
  FOIP__NO_EVT = 0,
  FOIP__CNF_GLB = 0x0001,
  FOIP__CNF_SESSION = 0x0002,
  FOIP__T38_EVT = 0x0004,
  FOIP__T38_STAT = 0x0008,
  FOIP__FAX_EVT = 0x0010,
  FOIP__SIP_EVT_1 = 0x0020,
  FOIP__SIP_EVT_2 = 0x0040,
  FOIP__SIP_EVT_3 = 0x0080,
  FOIP__SMNGT_EVT = 0x0100,
  FOIP__SMNGT_STAT = 0x0200,
  FOIP__USR_1 = 0x0400,
  FOIP__USR_2 = 0x0800,
  FOIP__USR_3 = 0x1000,
  FOIP__USR_4 = 0x2000,
  FOIP__USR_5 = 0x4000,
  FOIP__DSP_ERR = 0x8000,
};

inline constexpr u16 FOIP_TRC__LIMIT_NONE = 65535;   // file size limit: none
inline constexpr u32 FOIP_TRC__LIMIT_UNIT = 102400;  // bytes per unit of the limit
inline constexpr u16 FOIP_TRC__MAX_SESSIONS = 62;    // nai 0..61
inline constexpr u16 FOIP_TRC__EVENT_POOL = 5000;
inline constexpr u16 FOIP_TRC__AUDIT_POOL = 5000;
inline constexpr u16 FOIP_TRC__T38_POOL = 2500;
inline constexpr u32 FOIP_TRC__AUDIT_DATA_MAX = 1500;
inline constexpr u16 FOIP_TRC__NB_FILTER = 20;
inline constexpr u32 FOIP_TRC__TIMER_MS = 50;  // period of the trace timer

// Audit filter modes.
enum : u8 {
  FOIP_TRC__FILTER_UNKNOWN = 0,
  FOIP_TRC__FILTER_LAST_ITEM = 1,
  FOIP_TRC__FILTER_DEFAULT = 2,      // source, destination and code must match
  FOIP_TRC__FILTER_IGNORE_CODE = 3,  // source and destination must match
};

struct foip_trc__audit_filter {
  u8 item_mode = FOIP_TRC__FILTER_LAST_ITEM;
  ent_id_t from = 0;
  ent_id_t to = 0;
  code_t code = 0;
  std::string sz_from, sz_to, sz_code;  // names for the filter table
};

// One file set: base name, size limit (units of 102400 bytes, 65535 none),
// files kept, and (where the kind has it) whether an existing set is resumed.
struct foip_trc__file_param {
  std::string fname;
  u16 max_length = FOIP_TRC__LIMIT_NONE;
  u8 nb_files = 1;
  u8 append = 0;
};

// Global trace settings.
struct foip_trc__glb_settings {
  u16 display_event_bfi = 0;
  u16 record_event_bfi = 0;
  u8 flag_display_progress_bar = 0;
  foip_trc__file_param event;  // append not used: the global event file always appends
  foip_trc__file_param audit;  // append not used: the global audit file starts empty
  foip_trc__audit_filter audit_filter[FOIP_TRC__NB_FILTER];
};

// Trace settings of one session.
struct foip_trc__session_settings {
  std::string user_string;
  u16 display_event_bfi = 0;
  u16 record_event_bfi = 0;
  foip_trc__file_param event;  // append not used: always resumed
  foip_trc__file_param audit;
  foip_trc__file_param t38_trc;
};

// ---------------------------------------------------------------------------
// Set-up and end.

// Global trace set-up: pools, spinner '.', blank progress strip, audit start
// time = now.  The module is ready afterwards.
void foip_trc__init();
// Releases everything (closes files without closing lines, frees pools); the
// module is not ready afterwards.  For program end after the closing calls,
// and for tests.
void foip_trc__shutdown();
// Takes the global settings (masks, names, limits, filter).
void foip_trc__set_glb_settings(const foip_trc__glb_settings& s);

// Session trace set-up: clears the session's file states, keeps its settings
// and creates its T.38 block pool when a T.38 trace file name is set.
// 2, or 3 for a nai outside 0..61.
u8 foip_trc__session_init(nai_t nai, const foip_trc__session_settings& s);
// Session trace end: flushes the events, the session's T.38 trace and the
// audit, closes its event, T.38 trace and audit files and releases its pool.
void foip_trc__session_end(nai_t nai);

// File check: kind 1..5, mode 1 the file must open for reading, 2 it is
// created (appending) and deleted again, 3 it must open for appending.
// 2 ok (also for an empty name), 3 failure.
[[nodiscard]] u8 foip_trc__file_check(u8 kind, const std::string& name, u8 mode);

// Openers: 2 ok or nothing to do, 3 the open failed.
[[nodiscard]] u8 foip_trc__open_glb_event_file();
[[nodiscard]] u8 foip_trc__open_glb_audit_file();
[[nodiscard]] u8 foip_trc__open_session_event_file(nai_t nai);
[[nodiscard]] u8 foip_trc__open_session_audit_file(nai_t nai);
[[nodiscard]] u8 foip_trc__open_t38_trc_file(nai_t nai);

// Closers: closing lines, flush, close.
void foip_trc__close_glb_event_file();
void foip_trc__close_glb_audit_file();
void foip_trc__close_session_event_file(nai_t nai);
void foip_trc__close_session_audit_file(nai_t nai);
void foip_trc__close_t38_trc_file(nai_t nai);

// ---------------------------------------------------------------------------
// Producers.

// Queues an event text (cut into lines) for a nai in one class; `letter` is
// the progress-line letter of a FOIP__T38_EVT line (0 when none).
void foip_trc__print_event(nai_t nai, u16 event_class, const char* text, char letter = 0);
// Error box around a text, as FOIP__DSP_ERR lines of the nai, flushed at once.
void foip_trc__error_box(const char* text, nai_t nai);
// T.38 trace text of a session (report type 128: a T.30 trace, which first
// gives the connection notice of the session).
void foip_trc__store_t38_trace(nai_t nai, u8 report_type, const char* text, u16 length);
// Message audit of one message (kinds 'i', 'e', 'I', 'R', 'X'; other kinds
// are ignored).  Has the signature of the runtime's audit hook.
void foip_trc__msg_audit(u8 kind, const msg_t* m);
// Trap audit: queues a trap record and flushes the audit.  Has the signature
// of the runtime's trap handler.
void foip_trc__trap_audit(u16 code, const char* text);
// From now on no audit or trap record is queued (program end).
void foip_trc__stop_audit();

// ---------------------------------------------------------------------------
// Flushers (FOIP task).  2 when something was written or the queue is
// drained normally.

u8 foip_trc__flush_events();
u8 foip_trc__flush_t38_trc(nai_t nai);
u8 foip_trc__flush_audit();
// The trace timer: flushes the audit, the events and every session's T.38
// trace.  The caller arms the timer again for FOIP_TRC__TIMER_MS.
void foip_trc__on_timer();
// Program end: flushes the events, closes the global event file, flushes the
// audit and closes the global audit file.
void foip_trc__program_end();

// ---------------------------------------------------------------------------
// Batch progress line: op 1 set up, 2 tick (every 100 ms), 3 batch count,
// 4 session count, 5 letter, 6 SIP count.  `value` points to a u16 for ops 3,
// 4 and 6 and to one char for op 5.
void foip_trc__progress_bar(u8 op, const void* value);

// ---------------------------------------------------------------------------
// Hooks.

// Console output (default: stdout, flushed).  Null restores the default.
typedef void (*foip_trc__console_t)(const char* text);
void foip_trc__set_console(foip_trc__console_t console);

// Connection notice of a session's first T.30 trace (the device table's
// "connected" packet to the device controller).  Null: none.
typedef void (*foip_trc__connected_hook_t)(nai_t nai);
void foip_trc__set_connected_hook(foip_trc__connected_hook_t hook);

// Writers of the detail blocks of two SIP-side reports in the global audit
// file (SM_REPORT_IN from ENT_SIP, SSC_ERROR_IN from ENT_SSC): write at most
// `size` - 1 characters of text for the message data (and the nai and
// conn_id of its header) into `out`.  Null: the block is left out.
typedef void (*foip_trc__report_writer_t)(const u8* data, u32 length, u16 nai, u16 conn_id, char* out, u32 size);
void foip_trc__set_report_writers(foip_trc__report_writer_t sm_report_in, foip_trc__report_writer_t ssc_error_in);
// Name of an SSC header id in the FOIP entity's table ("Unknow Header" for
// an id it does not list).
const char* foip_trc__ssc_header_name(u8 id);

// ---------------------------------------------------------------------------
// State, for reports and tests.
struct foip_trc__queue_stats {
  u16 count, high_water;
};
foip_trc__queue_stats foip_trc__event_queue_stats();
foip_trc__queue_stats foip_trc__audit_queue_stats();
foip_trc__queue_stats foip_trc__t38_queue_stats(nai_t nai);
// Name of the file a kind writes now ("" when closed); kinds 1 and 2 take no
// nai.
std::string foip_trc__current_file(u8 kind, nai_t nai = 0);
