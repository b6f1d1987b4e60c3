#include "platform/int_types.h"
#include "host/host.h"

#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "common/ini_reader.h"
#include "common/mailslot.h"
#include "common/program_log.h"
#include "common/server_settings.h"
#include "common/tessaly_packets.h"
#include "host/device_table.h"
#include "host/dispatcher.h"
#include "host/foip_link.h"
#include "host/resource_report.h"
#include "fax/acu.h"
#include "fax/cf.h"
#include "fax/fax_entity.h"
#include "fax/fc.h"
#include "fax/fm.h"
#include "fax/t30_engine.h"
#include "platform/paths.h"
#include "platform/process.h"
#include "platform/thread.h"
#include "runtime/dcod.h"
#include "runtime/sm.h"
#include "runtime/sock.h"
#include "session/app/app_foip.h"
#include "session/config/app_foip_cnf.h"
#include "session/foip/foip_fax.h"
#include "session/foip/foip_sip_mgt.h"
#include "session/foip/foip_t38_mgt.h"
#include "session/trace/foip_trc.h"
#include "sip/ent/sip_entity.h"
#include "sip/ssc/ssc_handler.h"
#include "t38/t38_entity.h"
#include "t38/t38_trace.h"
#include "t38/t38iaf.h"

namespace {

constexpr const char* kVersion = "15.0.930";
constexpr const char* kDefaultConfigPath = ".\\Tessaly\\glb.cfg";

std::atomic<bool> g_configured{false};
std::atomic<bool> g_ready{false};
std::atomic<bool> g_shutdown_notified{false};

u8 g_startup_body[APP_FOIP_CNF__STARTUP_RECORD_SIZE];
sm_startup_row_t g_startup_row{};
std::string g_setup_path;

// The program's entities, in the order of their registration; row 2 is
// ENT_FOIP's (HostOptions::foip_row).
constexpr std::size_t kFoipRow = 2;
entity_table_row_t g_entity_table[] = {
    SM_ENTITY_ROW,
    APP_FOIP_ENTITY_ROW,
    FOIP_ENTITY_ROW,
    IP_ENTITY_ROW,
    SIP_ENTITY_ROW,
    SSC_ENTITY_ROW,
    kv::t38::T38_ENTITY_ROW,
    FAX_ENTITY_ROW,
    ACU_ENTITY_ROW,
    CF_ENTITY_ROW,
    T30_ENTITY_ROW,
    MFM_ENTITY_ROW,
    {ENT_FM, fm_entity_handler, 0, 0, nullptr, 0},
    FC_ENTITY_ROW,
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

// The services the T.38 entity is built on: the IAF fax and V.25 services
// and the trace writer.
kv::t38::t38iaf_service g_iaf;
kv::t38::t38_trace_writer g_t38_trace;

void fax_mgt_hook(foip__na_ctx* s, u8 event) { (void)foip_fax__automaton(s, event); }

// A session being released forgets its fax-session and T.38 parts.
void release_session(foip__na_ctx* s) {
  foip_fax__release(s);
  t38_mgt__release_session(s);
}

void print_fax_event(nai_t nai, const char* text) { foip_trc__print_event(nai, FOIP__FAX_EVT, text); }

// The layers of ENT_FOIP and the services below the T.38 and fax entities.
void InstallLayers(const HostOptions& o) {
  foip__layer_hooks h;
  foip_sip__plug(h);
  h.t38_mgt__automaton = t38_mgt__hook;
  h.fax_mgt__automaton = fax_mgt_hook;
  h.release_session = release_session;
  if (o.adjust_layer_hooks) o.adjust_layer_hooks(h);
  foip__set_layer_hooks(h);
  kv::t38::t38_set_iaf_port(&g_iaf);
  kv::t38::t38_set_trace_port(&g_t38_trace);
  fax_set_event_printer(print_fax_event);
}

void RemoveLayers() {
  foip__set_layer_hooks({});
  kv::t38::t38_set_iaf_port(nullptr);
  kv::t38::t38_set_trace_port(nullptr);
  fax_set_event_printer(nullptr);
}

struct StartupError {
  u16 code;
  const char* text;
};
constexpr StartupError kStartupErrors[] = {
    {30001, "Memory allocation error"},
    {30002, "Timer resource session initialisation error"},
    {30003, "Can't open supplied sample file"},
    {30004, "Can't open Global event file"},
    {30005, "Problem with session configuration file"},
    {30006, "Problem with global configuration file"},
    {30007, "Auto build session: Filename clash with reference config filenames"},
    {30008, "Auto build session: First reference config file cannot be found"},
    {30009, "Auto build session: Second reference config file cannot be found"},
    {30010, "Can't allocate timer cell"},
    {30011, "Error during IPC module configuration"},
    {30012, "Error during IPC module initialisation"},
    {30013, "Erroneous Ipc_foip__sizeof_bigest_msg macro"},
    {30014, "Xchg_msg__func__init returned NOK"},
    {30015, "Xchg_msg__func__is_rem_process_connected returned NOK "},
    {30016, "Xchg_tdm__func__init returned NOK"},
    {30017, "Xchg_msg__func__stop returned NOK"},
    {30018, "Xchg_tdm__func__stop returned NOK"},
    {30019, "Xchg_msg__func__ipc_msg_management returned NOK"},
    {30020, "process_ipc_foip__start_rq returned NOK"},
    {30021, "process_ipc_foip__alert_rs returned NOK"},
    {30022, "process_ipc_foip__stop_rq returned NOK"},
    {30030, "Can't open output help file"},
    {30031, "Error in configuration file"},
    {30032, "foip_proc_api__rcv_foip__set_config_co returned NOK"},
    {30033, "An error has been detected in IPC Msg TDM module"},
    {30034, "SIP port or Default media port range (20000+) in use, or incorrect local IP"},
    {30035, "Fatal TRAP error"},
    {30036, "Serious TRAP error"},
    {30040, "xchg_msg__get_received_msg returned NOK"},
    {30041, "xchg_msg__send_msg returned CONTINUE"},
    {30042, "IPC_FOIP__PING_RQ: bad check field"},
    {30043, "IPC_FOIP__SIZE_INTERNAL_ARRAY is too small"},
    {30044, "TDM ID doesn't match"},
    {30045, "TS ID doesn't match"},
    {30046, "xchg_tdm__timeslot returns NOK"},
};

void BackgroundTick() {
  if (!g_ready) return;
  foip_trc__progress_bar(2, nullptr);
}

void SleepMs(unsigned ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

// Sleeps one main-loop pass, looking at the pending sends on the way; ends
// early on a termination signal.
void SleepPass(const HostOptions& o) {
  const u64 end = HostNowMs() + o.loop_ms;
  for (;;) {
    const u64 now = HostNowMs();
    if (now >= end || platform::TerminationRequested()) return;
    const u64 left = end - now;
    SleepMs(unsigned(left < o.send_poll_ms ? left : o.send_poll_ms));
    ServicePendingSends(HostNowMs());
  }
}

void SetProcessPriority(u16 priority) {
  int p = PLAT_PRIO_HIGHEST;
  if (priority == 0) p = PLAT_PRIO_NORMAL;
  else if (priority == 1) p = PLAT_PRIO_LOWEST;
  else if (priority == 3) p = PLAT_PRIO_TIME_CRITICAL;
  errno = 0;
  if (!plat_thread_set_priority(p)) LogMessage(5, "Unable to set process priority (%ld)", long(errno));
}

}  // namespace

const char* GetStartupErrorText(u16 code) {
  for (const auto& e : kStartupErrors)
    if (e.code == code) return e.text;
  return "Unknown error on startup";
}

u8 host_config_hook(const om_os_config* config) {
  if (om_os_config_apply(config) != OM_OS_OK) return OM_OS_NOK;
  g_configured = true;
  return OM_OS_OK;
}

void host_startup_config_hook(ent_id_t entity, u8* data, u32 length) {
  if (entity != ENT_APP_FOIP || length < APP_FOIP_CNF__STARTUP_RECORD_SIZE) return;
  constexpr std::size_t kNaiOffset = 3 + 1 + 2 * APP_FOIP_CNF__FNAME_SIZE + 2;
  for (std::size_t i = 0; i < FOIP__MAX_MEDIA_NA; ++i) {
    data[kNaiOffset + 2 * i] = static_cast<u8>(i + 1);
    data[kNaiOffset + 2 * i + 1] = 0;
  }
}

u8 host_ready_hook() {
  g_ready = true;
  return OM_OS_OK;
}

void host_trap_handler(u16 code, const char* text) {
  foip_trc__trap_audit(code, text);
  char counters[200];
  (void)std::snprintf(counters, sizeof counters, "M:%u B:%u iM:%u iB:%u/n(%u) %s",
                      unsigned(om_os_msg_pool_stats().in_use), unsigned(om_os_buffer_pool_stats().in_use),
                      unsigned(om_os_it_msg_pool_stats().count), unsigned(om_os_it_buffer_pool_stats().count),
                      unsigned(code), text ? text : "");
  LogMessage(5, "Error starting Tessaly Connector - Code: %u", unsigned(code));
  LogMessage(5, "Error reason is: %s", GetStartupErrorText(code));
  LogMessage(1, "Calderwyn error - %s", counters);
  // The request slot stays open: the controllers and the shutdown request
  // are still served after a trap.
  SaveTraceRing("trap");
}

void SaveTraceRing(const char*) {
  char name[64];
  (void)std::snprintf(name, sizeof name, "TessalyTrace%08x.CAP", unsigned(platform::ProcessId()));
  FILE* f = std::fopen(name, "wb");
  if (!f) return;
  (void)std::fwrite(om_os_trace_ring(), OM_OS_TRACE_RECORD_SIZE, OM_OS_TRACE_RECORDS, f);
  (void)std::fclose(f);
}

int host_shutdown_poll() {
  if (g_shutdown_notified) {
    ProgramLog(1, "vxl_main - Shutdown already notified");
    return 1;
  }
  if (platform::TerminationRequested()) {
    g_shutdown_notified = true;
    ProgramLog(3, "vxl_main - Termination signal received");
    return 1;
  }
  if (ProcessDeviceControllerRequests() == kDispatchShutdown) {
    g_shutdown_notified = true;
    ProgramLog(1, "vxl_main - Shutdown packet received");
  }
  return g_shutdown_notified ? 1 : 0;
}

int TessalyMain(const HostOptions& o) {
  g_configured = g_ready = g_shutdown_notified = false;
  // 1. Settings.
  if (ReadSystemParams(nullptr) != STATUS_OK) {
    std::printf("Error reading system parameters\n");
    (void)std::fflush(stdout);
    return 1;
  }
  // 2. The server folder is the working directory; SETUP.INI of the system folder.
  const SystemParams& sp = SystemParameters();
  const std::string server = platform::ToLinuxPath(sp.ServerArea);
  if (!server.empty() && chdir(server.c_str()) != 0)
    LogMessage(5, "Unable to enter the server folder %s", server.c_str());
  g_setup_path = platform::ToLinuxPath(std::string(sp.SystemArea) + "K-DB\\SETUP.INI");
  FILE* setup = std::fopen(g_setup_path.c_str(), "rb");
  if (!setup) {
    InitialiseLog(3);
    ProgramLog(5, "SETUP.INI not found, TESSALY exiting");
    return 1;
  }
  // 3. "[TESSALY]".
  char line[kIniLineSize];
  long para = 0;
  const bool has_paragraph = IniFindParagraph(setup, "[TESSALY]", line, sizeof line, &para) == 1;
  if (has_paragraph) {
    i16 level = 3;
    IniGetShort(setup, "LogLevel:", &level, para);
    InitialiseLog(level);
    ProgramLog(3, "Tessaly - Version %s", kVersion);
    char cwd[512] = "";
    if (!getcwd(cwd, sizeof cwd)) cwd[0] = 0;
    ProgramLog(1, "Current working directory is: %s", cwd);
    char gateway[kIniLineSize] = "";
    IniGetString(setup, "SIPGatewayAddress:", gateway, sizeof gateway, para);
    if (gateway[0]) ProgramLog(3, "FOIP Gateway address - %s", gateway);
  }
  // 4. Priority and the configuration path.
  u16 priority = 2;
  char config_path[kIniLineSize] = "";
  if (has_paragraph) {
    IniGetShort(setup, "ProcessPriority:", &priority, para);
    IniGetString(setup, "ConfigPath:", config_path, sizeof config_path, para);
  }
  (void)std::fclose(setup);
  app_foip_cnf__startup_record record;
  record.run_mode = 0;
  (void)std::snprintf(record.glb_cfg_path, sizeof record.glb_cfg_path, "%.99s",
                      config_path[0] ? config_path : kDefaultConfigPath);
  app_foip_cnf__pack_startup_record(record, g_startup_body);
  app_foip_cnf__options cnf_options;
  cnf_options.setup_ini_path = g_setup_path.c_str();
  app_foip__set_cnf_options(cnf_options);
  // 5. Priority.
  SetProcessPriority(priority);
  // 6. Decoders of the message trace.
  dcod__init();
  // 7. The runtime.
  ResetDeviceTable();
  SetWatchdogLimit(o.watchdog_limit);
  SetSendStartWait(o.send_start_wait_ms);
  InstallFoipLinkHooks();
  InstallLayers(o);
  g_entity_table[kFoipRow] = o.foip_row;
  g_startup_row = {ENT_APP_FOIP, g_startup_body, APP_FOIP_CNF__STARTUP_RECORD_SIZE, 1, 0};
  sm_set_startup_list(&g_startup_row, 1);
  sm_set_hooks(host_startup_config_hook, host_ready_hook);
  om_os_set_entity_table(g_entity_table);
  om_os_set_config_hook(host_config_hook);
  om_os_set_trap_handler(host_trap_handler);
  om_os_set_audit_hook(foip_trc__msg_audit);
  om_os_set_bkgr_tick(BackgroundTick);
  om_os_start();
  // 8. The request slot.
  if (InitialisePipeInterface()) ProgramLog(3, "Serving device controllers on mailslot TESSALY");
  // 9. Program start to MORVATH.
  ProgramLog(1, "vxl_main - Sending MORVATH program start packet");
  u8 start[kMorvathProgramStartSize];
  const std::size_t n = WriteMorvathProgramStart("TESSALY", 8, start);
  (void)MsgSendRequest("MORVATH", 1, start, static_cast<u16>(n), 0);
  // 10. The application lock exists from the application's initialisation.
  // 11. Serve.
  bool reported = false;
  while (host_shutdown_poll() == 0) {
    SleepPass(o);
    WatchdogTick();
    // What an idle system holds, once it is up: the report at shutdown is
    // compared with it.
    if (!reported && g_ready) {
      reported = true;
      LogResourceReport("start");
    }
  }
  // What a long life has left behind: every call has ended, and nothing has
  // been taken down yet.
  LogResourceReport("shutdown");
  // 12. Shutdown.
  (void)ProcessTESSALYShutdown(o.shutdown_passes, o.loop_ms);
  if (PipeInterfaceValid()) DestroyPipeInterface();
  ProgramLog(1, "vxl_main - Entering wait loop");
  const u64 give_up = HostNowMs() + o.exit_wait_ms;
  while (!app_foip__application_ended()) {
    if (HostNowMs() >= give_up) {
      ProgramLog(4, "vxl_main - The application did not end within %u ms", o.exit_wait_ms);
      break;
    }
    SleepMs(o.loop_ms < 100 ? o.loop_ms : 100);
  }
  // 13. Stop.
  om_os_stop();
  RemoveLayers();
  app_foip__set_link_hooks({});
  ProgramLog(3, "Program closing down");
  return 0;
}
