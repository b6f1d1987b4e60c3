// The application's configuration files: reading glb.cfg and the session files
// through the keyword engine, the error monitor, the help writer and the
// comment builders used by the tables.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/int_types.h"
#include "session/config/ini_tools.h"

// Reads glb.cfg into the global value table.  2 when the whole file was read,
// else 3 (the error went through app_foip_ini__error_monitor).
u8 app_foip_ini__read_glb_cfg(const char* file_name, ini_tools__value* glb_table);
// Reads one session file into that session's value table.  2 or 3 as above.
u8 app_foip_ini__read_session_cfg(const char* file_name, ini_tools__value* session_table);

// One configured session as the configuration display shows it.
struct app_foip_ini__session_view {
  const char* file_name;  // the session file, or null / empty when it has none
  u16 nai;
  const ini_tools__value* table;
};
// Writes the global value table and the value table of each session that has
// a file (sessions numbered from 1 in the order given, at most 62) to the
// application's display output; the header texts also go to the program log.
void app_foip_ini__display_config(const char* glb_file_name, const ini_tools__value* glb_table,
                                  const app_foip_ini__session_view* sessions, std::size_t count,
                                  const ini_tools__output_cb& print_display);

// Error callback of the application: program log at level 1 and trap 30031.
void app_foip_ini__error_monitor(const char* text);

// Writes the whole help (skeletons with and without comments of both files)
// into the named file, or to the console when file_name is null or empty.
// 2, or 3 when the file cannot be created (trap 30030).
u8 app_foip_ini__write_help(const char* file_name);
// Same, to an output callback of the caller (used by the help file and console).
u8 app_foip_ini__write_help_to(const ini_tools__output_cb& output);

// Comment builders of the tables: text blocks built from the program's values.
const char* app_foip_ini__assert_control_comment();
const char* app_foip_ini__auto_build_mode_comment();
const char* app_foip_ini__t38_capabilities_comment();
const char* app_foip_ini__display_event_comment();
const char* app_foip_ini__kept_dfield_comment();

// Trap codes raised by the configuration files.
inline constexpr u16 APP_FOIP_INI__TRAP_HELP_FILE = 30030;    // "Can't open output help file"
inline constexpr u16 APP_FOIP_INI__TRAP_CONFIG_FILE = 30031;  // "Error in configuration file"
