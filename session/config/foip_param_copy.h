// From the value tables of glb.cfg and of the session files into the FOIP
// configuration structures, with the consistency checks.
//
// On the way the copies complete what may be derived (the host's own address,
// prefixed file paths, flags), set the keywords that the configuration makes
// pointless as ignored, and write derived values back into the value tables as
// overwritten, so that the display shows what is really in force.
//
// A refusal returns 3 at once: the fields filled so far stay filled.  Every
// refusal text goes to the error callback (by default the application's error
// monitor) and to the program log.
//
// The two copies use no shared buffers; callers that share one value table
// between threads serialise their calls on it.
#pragma once

#include <cstdint>

#include "session/config/foip_param.h"
#include "session/config/ini_tools.h"

inline constexpr u8 APP_FOIP_INI__COPY_DONE = 2;
inline constexpr u8 APP_FOIP_INI__COPY_REFUSED = 3;

// Bit of "assert control" that keeps the runtime from audits and checks.
inline constexpr u32 APP_FOIP_INI__NO_AUDIT_NO_CHECKS = 0x8000;

// The application's own settings from glb.cfg.
struct app_foip_ini__app_settings {
  u8 overwrite_rcv_fax_pages = 0;
  u8 batch_mode = 0;          // "launch batch process"
  u16 batch_limit = 0;        // "batch session counter"
  u32 start_delay = 0;        // "session delay", in ms
  u8 incoming_call_mode = 0;  // "SIP incoming call mode"
  u8 auto_build_mode = 0;     // 0 none, 1 contiguous, 2 even and odd
  u16 auto_build_count = 0;
  char auto_build_source_1[FOIP__FNAME_MAX_LEN] = "";
  char auto_build_source_2[FOIP__FNAME_MAX_LEN] = "";
  char auto_build_trace_path[FOIP__FNAME_MAX_LEN] = "";
  char session_path[FOIP__FNAME_MAX_LEN] = "";
  char trace_path[FOIP__FNAME_MAX_LEN] = "";
  // Session configuration files: element k of "Session configurations"
  // configures session k + 1; an empty name is no file.
  u16 session_file_count = 0;
  char session_file[FOIP__MAX_MEDIA_NA][FOIP__FNAME_MAX_LEN] = {};
  // The runtime trace mask set by the copy.
  u32 trace_mask = 0;
};

// The configuration part of an application session record.
struct app_foip_ini__session_values {
  ini_tools__table values;         // the session's value table (send-page area included)
  u8 direction = 0;                // FOIP__DIR_OUT or FOIP__DIR_IN
  u16 rotation_base = 0;           // the session's first local media port
  u8 register_wanted = 0;          // "send SIP register"
  foip__sip_register_param reg{};  // registration settings
  foip__session_param param{};
};

// Access to the runtime's trace mask (defaults: the runtime's own).
struct app_foip_ini__trace_mask_hooks {
  u32 (*get)() = nullptr;
  void (*set)(u32) = nullptr;
};
// nullptr members restore the runtime's functions.
void app_foip_ini__set_trace_mask_hooks(const app_foip_ini__trace_mask_hooks& hooks);

// Empties the global array sections ("Session configurations", "Message Audit
// Filtering"): a fresh global table from the defaults.
void app_foip_ini__init_array_areas(ini_tools__table& glb_table);

// Gives a session record a fresh value table from the session defaults (its
// own send-page area) and zeroed parameters.
void app_foip_ini__init_session_values(app_foip_ini__session_values& record);

// Global copy: glb_table -> out and app.  2 done, 3 refused.
u8 app_foip_ini__copy_glb_cnf_tbl_2_glb_cnf_struct(ini_tools__value* glb_table, foip__global_param& out,
                                                   app_foip_ini__app_settings& app,
                                                   const ini_tools__error_cb& error_cb);
u8 app_foip_ini__copy_glb_cnf_tbl_2_glb_cnf_struct(ini_tools__value* glb_table, foip__global_param& out,
                                                   app_foip_ini__app_settings& app);

// Session copy: table -> record (parameters, direction, registration).  The
// global parameters give the NAT support flag.  2 done, 3 refused.
u8 app_foip_ini__copy_cnf_tbl_2_cnf_struct(ini_tools__value* table, app_foip_ini__session_values& record,
                                           const foip__global_param& glb, const ini_tools__error_cb& error_cb);
u8 app_foip_ini__copy_cnf_tbl_2_cnf_struct(ini_tools__value* table, app_foip_ini__session_values& record,
                                           const foip__global_param& glb);
