// Start-up configuration of the application: glb.cfg, the "[TESSALY]"
// settings of K-DB\SETUP.INI, one session record per session, the two stored
// session value tables for incoming calls, the media addressing table, the
// configuration trace file and the application's help displays.
//
// app_foip_cnf__config runs once, in the entity thread, when the application
// receives its start-up configuration record.  The session records it builds
// are handed to the application entity, which binds their timers.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <vector>

#include "platform/int_types.h"
#include "session/config/foip_param.h"
#include "session/config/foip_param_copy.h"
#include "session/config/ini_tools.h"

// ---------------------------------------------------------------------------
// Start-up configuration record (written by the program's main routine).

inline constexpr std::size_t APP_FOIP_CNF__FNAME_SIZE = 100;
struct app_foip_cnf__startup_record {
  u8 reserved[3] = {0, 0, 0};
  u8 run_mode = 0;  // 0 normal; 2 write the help into help_fname; other: print the help
  char help_fname[APP_FOIP_CNF__FNAME_SIZE] = "";
  char glb_cfg_path[APP_FOIP_CNF__FNAME_SIZE] = "";  // "ConfigPath:"
  nai_t sip_nai = 0;
  nai_t session_nai[FOIP__MAX_MEDIA_NA] = {};
};

// Byte image of the record: the fields in order, packed, numbers
// little-endian.
inline constexpr std::size_t APP_FOIP_CNF__STARTUP_RECORD_SIZE = 3 + 1 + 100 + 100 + 2 + 2 * FOIP__MAX_MEDIA_NA;
static_assert(APP_FOIP_CNF__STARTUP_RECORD_SIZE == 330);
void app_foip_cnf__pack_startup_record(const app_foip_cnf__startup_record& r,
                                       u8 out[APP_FOIP_CNF__STARTUP_RECORD_SIZE]);
// False unless `size` is exactly the record's size; the texts are always
// terminated (a text filling its field is cut by one character).
[[nodiscard]] bool app_foip_cnf__unpack_startup_record(const u8* data, std::size_t size,
                                                       app_foip_cnf__startup_record* out);

// ---------------------------------------------------------------------------
// Settings of the paragraph "[TESSALY]".

struct app_foip_cnf__setup {
  bool paragraph_found = false;
  bool has_local_sip_port = false;
  u16 local_sip_port = 0;
  bool has_local_ip = false;
  u32 local_ip = 0;  // network order
  u16 max_sessions = 0;
  bool has_speed = false;
  u16 speed = 0;
  bool has_gateway_ip = false;
  u32 gateway_ip = 0;
  bool has_gateway_port = false;
  u16 gateway_port = 0;
  bool has_user_name = false;
  char user_name[FOIP__NAME_SIZE] = "";
  bool has_password = false;
  char password[FOIP__NAME_SIZE] = "";
  u16 media_port_start = 20000;
  bool has_registrar_ip = false;
  u32 registrar_ip = 0;
  bool has_registrar_port = false;
  u16 registrar_port = 0;
  u16 called_digits_offset = 0;
};

// Reads "[TESSALY]" from an open SETUP.INI.  `computer_name` is compared with
// the first word of the "...Alt:" keys without regard to case.  2 read (or
// no paragraph), 3 a value is refused (logged).
u8 app_foip_cnf__read_setup(std::FILE* setup_ini, const char* computer_name, app_foip_cnf__setup* out);

// The fax speed code of a "Speed:" value: 2400 -> 2, 4800 -> 4, 7200 -> 7,
// 9600 -> 9, 12000 -> 12, anything else 14.
u8 app_foip_cnf__speed_code(u16 speed);

// ---------------------------------------------------------------------------
// Sessions and the application's configuration state.

// One session record built by the configuration.
struct app_foip_cnf__session {
  nai_t nai = 0xFFFF;
  nai_t ref_nai = 0xFFFF;  // nai of the source of an automatically built copy
  u16 index = 0;           // place in the session loop (from 0)
  u32 start_delay = 0;
  char file_name[FOIP__FNAME_MAX_LEN] = "";  // the session file read (of the source for a copy)
  app_foip_ini__session_values cfg;
};

// Media addressing table entry.
struct app_foip_cnf__media_entry {
  u16 loop_index = 0xFFFF;
  nai_t nai = 0xFFFF;
  nai_t peer_nai = 0xFFFF;
};

inline constexpr u32 APP_FOIP_CNF__MAGIC_INIT = 0xEDCBA987;
inline constexpr u32 APP_FOIP_CNF__MAGIC_CONFIGURED = 0x12345678;

struct app_foip_cnf__context {
  u32 magic = 0;
  u8 foip_ready = 0;
  u8 app_ended = 0;  // the program ends (help only)
  u8 closed = 0;
  ini_tools__table glb_table;
  foip__global_param glb_param{};
  app_foip_ini__app_settings app;
  app_foip_cnf__setup setup;
  nai_t sip_nai = 0;
  nai_t session_nai[FOIP__MAX_MEDIA_NA] = {};
  app_foip_cnf__media_entry media_table[FOIP__MAX_MEDIA_NA];
  std::vector<std::unique_ptr<app_foip_cnf__session>> sessions;
  // Session value tables for incoming calls: [0] from the first session's
  // file, [1] from "Tessaly\sessionx.cfg" when it exists.
  ini_tools__table stored_session_table[2];
  // First period of the user-event timer: 100 ms, or 15000 ms when a session
  // asks for SIP registration.
  u32 user_evt_timer_ms = 0;
  // Name of the configuration trace file written (empty: none).
  char config_trace_file[FOIP__FNAME_MAX_LEN + 8] = "";

  // The session of a nai, or null.
  app_foip_cnf__session* session_of(nai_t nai) const;
};

// Where the files lie; relative paths are taken from the working directory
// (the server area).
struct app_foip_cnf__options {
  const char* setup_ini_path = "K-DB\\SETUP.INI";
  const char* sessionx_path = "Tessaly\\sessionx.cfg";
  const char* computer_name = nullptr;  // null: this host's name
};

inline constexpr u8 APP_FOIP_CNF__CONFIGURED = 2;
inline constexpr u8 APP_FOIP_CNF__FAILED = 3;
inline constexpr u8 APP_FOIP_CNF__HELP_ONLY = 4;

// Trap codes of the configuration.
inline constexpr u16 APP_FOIP_CNF__TRAP_NO_SESSION_MEMORY = 30001;
inline constexpr u16 APP_FOIP_CNF__TRAP_TRACE_FILE = 30004;
inline constexpr u16 APP_FOIP_CNF__TRAP_SESSION_CONFIG = 30005;
inline constexpr u16 APP_FOIP_CNF__TRAP_GLOBAL_CONFIG = 30006;
inline constexpr u16 APP_FOIP_CNF__TRAP_AUTO_BUILD_CLASH = 30007;
inline constexpr u16 APP_FOIP_CNF__TRAP_AUTO_BUILD_NO_SOURCE_2 = 30009;

// The whole start-up configuration.  2 configured, 3 failed, 4 help only (the
// ended flags are set).
//
// Sessions 1 to "MaxSessions:" (at most 62) are built.  Session k reads the
// k-th file of the session list of glb.cfg; a session beyond the list reads
// the list's first file.  Without automatic building each session then takes
// the "[TESSALY]" values: local media address, gateway address and port,
// credentials (used only with the realm of the session file), speed and the
// media port "LocalMediaPortStart:" + 10 x (k - 1).
u8 app_foip_cnf__config(const app_foip_cnf__startup_record& record, app_foip_cnf__context& ctx,
                        const app_foip_cnf__options& options = {});

// An incoming call on session `s`: its value table becomes stored table
// `which` (0 or 1), turned into its parameters; then, as at start-up, the
// "[TESSALY]" values are applied again when sessions are not built
// automatically.  False when the table is refused (the record's parameters
// are then unusable).
[[nodiscard]] bool app_foip_cnf__reload_session(const app_foip_cnf__context& ctx, app_foip_cnf__session& s, int which);

// Builds the media addressing table from the session records.
void app_foip_cnf__build_media_table(app_foip_cnf__context& ctx);

// ---------------------------------------------------------------------------
// Displays and hooks.

// Outputs of the module, set by the start-up code.  print: one display line
// (default: console and program log at level 1 behind "app_foip_cnf - ");
// trap: default the runtime's trap routine; write_dumps: the configuration
// dumps of the FOIP module at the top of the configuration trace file
// (default: none).
struct app_foip_cnf__hooks {
  void (*print)(const char* line) = nullptr;
  void (*trap)(u16 code) = nullptr;
  void (*write_dumps)(std::FILE* file) = nullptr;
};
void app_foip_cnf__set_hooks(const app_foip_cnf__hooks& hooks);

void app_foip_cnf__display_command_line_help();
void app_foip_cnf__display_keyboard_help(const app_foip_cnf__context& ctx);
// The media addressing table, one line per call of `out`.
void app_foip_cnf__display_media_table(const app_foip_cnf__context& ctx, void (*out)(const char* line, void* arg),
                                       void* arg);
