// The host of tessaly: the program's main routine and the hooks the runtime
// calls into the program.
//
// TessalyMain reads the settings (KORVANE.INI, then "[TESSALY]" of
// K-DB\SETUP.INI in the system folder), starts the runtime with the
// application entity, opens the request slot "TESSALY", announces itself to
// MORVATH and serves the device controllers until a shutdown request,
// SIGINT or SIGTERM; then it ends the sessions, lets the application end and
// stops the runtime.  Every wait is bounded (HostOptions).
//
// The entity table holds every entity of the program: system management,
// the application, FOIP with its SIP, T.38 and fax layers (SIP and SSC, the
// T.38 entity with its IAF services and trace writer, the fax entity with
// V.25 set-up, fax session, T.30, modem and page conversion) and the socket
// entity.
//
// A trap is logged and captured (TessalyTrace<pid>.CAP in the server
// folder); the program goes on serving the slot.
#pragma once

#include <cstdint>

#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "session/foip/foip.h"

struct HostOptions {
  unsigned loop_ms = 1000;              // main loop pass (request poll and watchdog tick)
  unsigned send_poll_ms = 250;          // look at pending sends this often
  unsigned send_start_wait_ms = 60000;  // longest wait of a send for its start
  int watchdog_limit = 1500;            // passes without an event before a session is aborted
  int shutdown_passes = 30;             // passes waiting for active sessions at shutdown
  unsigned exit_wait_ms = 30000;        // longest wait for the application to end
  // Seams for the tests, left as they are by the program: the row that
  // serves ENT_FOIP, and a routine that may change the layer hooks of
  // ENT_FOIP after the host has set them.
  entity_table_row_t foip_row = FOIP_ENTITY_ROW;
  void (*adjust_layer_hooks)(foip__layer_hooks& hooks) = nullptr;
};

// 0, or 1 when the settings cannot be read or SETUP.INI is missing.
int TessalyMain(const HostOptions& options = {});

// Runtime hooks.
u8 host_config_hook(const om_os_config* config);
void host_startup_config_hook(ent_id_t entity, u8* data, u32 length);
u8 host_ready_hook();
void host_trap_handler(u16 code, const char* text);
int host_shutdown_poll();
void SaveTraceRing(const char* reason);
const char* GetStartupErrorText(u16 code);
