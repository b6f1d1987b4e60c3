// Start-up, main loop, offline and recovery loops and the scan job.
#include "controller/controller.h"

#include <strings.h>

#include <cctype>
#include <cstdio>
#include <cstring>

#include "common/ini_reader.h"
#include "common/server_settings.h"
#include "common/shared_open.h"
#include "platform/paths.h"
#include "platform/mailslot.h"
#include "platform/process.h"

namespace {

constexpr u32 kIdlePauseMs = 1000;
constexpr u32 kRequestStepMs = 3000;
constexpr u32 kFirstOfflineWindowMs = 20000;
constexpr u32 kOfflineWindowMs = 15000;
constexpr i64 kDeviceCheckSeconds = 31;
constexpr i64 kRecoveryWarnSeconds = 10;
constexpr i64 kRecoveryFailSeconds = 1800;
constexpr u32 kRecoveryServeMs = 20000;

void UpperCase(char* s) {
  for (; *s; ++s) *s = static_cast<char>(std::toupper(static_cast<unsigned char>(*s)));
}

// A short of "%hd": the whole argument must be a number in range.
bool ReadShort(const std::string& text, i16* out) {
  int value = 0, used = 0;
  if (std::sscanf(text.c_str(), "%d%n", &value, &used) != 1) return false;
  if (value < -32768 || value > 32767) return false;
  *out = static_cast<i16>(value);
  return true;
}

// Arms the fault report: a fatal signal sends RST_MORVATH_FAULT with this
// process's id to MORVATH before the process ends.
void ReportFaultToMORVATH() {
  u8 fault[kFaultSize];
  WriteFault(platform::ProcessId(), fault);
  std::string morvath;
  if (platform::MailslotPath("MORVATH", &morvath).ok()) platform::InstallCrashPacket(morvath, fault, sizeof fault);
}

}  // namespace

MarrockCommandLine ParseCommandLine(int argc, const char* const* argv) {
  MarrockCommandLine cl;
  int paragraphs = 0;
  for (int i = 0; i < argc; ++i) {
    const char* a = argv[i] ? argv[i] : "";
    if (i > 0 && a[0] == '[' && paragraphs < 2) {
      char* target = paragraphs == 0 ? cl.server_paragraph : cl.devices_paragraph;
      SafeStrncpy(target, a, sizeof cl.server_paragraph);
      UpperCase(target);
      ++paragraphs;
      continue;
    }
    if (i > 0 && strcasecmp(a, "/SERVICE") == 0) {
      cl.service = true;
      continue;
    }
    if (static_cast<int>(cl.remaining.size()) < kMaxCommandArguments) cl.remaining.emplace_back(a);
  }
  return cl;
}

std::string BuildConsoleTitle(const std::vector<std::string>& args, const char* type_name) {
  char title[128];
  if (args.size() < 2) {
    (void)std::snprintf(title, sizeof title, "%.8s-%d", type_name, 1);
  } else if (args[1] == "GROUP") {
    i16 channel = 0;
    if (args.size() >= 4 && !args[2].empty() && ReadShort(args[3], &channel) && channel >= 1 && channel <= 999)
      (void)std::snprintf(title, sizeof title, "%s-%.60s-%d", type_name, args[2].c_str(), channel);
    else (void)std::snprintf(title, sizeof title, "%s-?", type_name);
  } else {
    i16 number = 0;
    if (ReadShort(args[1], &number) && number >= 1 && number <= 999)
      (void)std::snprintf(title, sizeof title, "%.8s-%d", type_name, number);
    else (void)std::snprintf(title, sizeof title, "%.8s-?", type_name);
  }
  return title;
}

Controller::Controller(ControllerClock* clock)
    : ctx_(clock),
      fax_server_(ctx_),
      tessaly_(ctx_, fax_server_, *this),
      send_(ctx_, fax_server_, tessaly_),
      receive_(ctx_, fax_server_, tessaly_) {}

Controller::~Controller() {
  ctx_.device_log.Close();
  if (comms_log_) (void)std::fclose(comms_log_);
  platform::ReleaseLockFile(device_id_lock_);
}

bool Controller::JobInHand() const {
  return send_.state() != SendJob::State::idle || receive_.state() != ReceiveJob::State::idle;
}

void Controller::DeleteTemporaryFaxFiles() {
  receive_.DeleteTemporaryFiles();
  send_.DeleteOutgoingFile();
}

bool Controller::OpenRequestSlot() {
  if (!fax_server_.OpenRequestSlot()) {
    Fatal();
    return false;
  }
  ctx_.clock->Watch(fax_server_.request_fd(), tessaly_.reply_fd());
  return true;
}

void Controller::Fatal() {
  CtlLog(6, "** Fatal Error - exiting **");
  exit_code_ = 1;
}

// Command line: device type, group, channel and log level.  Sets exit_code_
// on a usage error.
int Controller::ParseDeviceArguments(const std::vector<std::string>& args) {
  const char* program = args.empty() ? "marrock" : args[0].c_str();
  ctx_.id = ControllerIdentity{};
  if (args.size() < 2) {
    ctx_.id.device_type = 1;
  } else {
    // "GROUP groupnumber channelnumber devtypenum [level]" or "devtypenum [level]".
    const bool group = args[1] == "GROUP";
    i16 channel = 0, type = 0;
    const bool parsed = group ? args.size() >= 5 && !args[2].empty() && args[2].size() < sizeof ctx_.id.group &&
                                    ReadShort(args[3], &channel) && ReadShort(args[4], &type)
                              : ReadShort(args[1], &type);
    if (!parsed) {
      if (group) std::printf("Usage -- %s GROUP groupnumber channelnumber devtypenum\n", program);
      else std::printf("Usage -- %s devtypenum\n", program);
      exit_code_ = 1;
      return -1;
    }
    if (type < 1 || type > 200) {
      std::printf("Error -- invalid device type number %d\n", type);
      exit_code_ = 1;
      return -1;
    }
    if (group) {
      ctx_.id.group_form = true;
      SafeStrncpy(ctx_.id.group, args[2].c_str(), sizeof ctx_.id.group);
      ctx_.id.channel = channel;
    }
    ctx_.id.device_type = type;
    const std::size_t level_arg = group ? 5 : 2;
    if (args.size() > level_arg && ReadShort(args[level_arg], &ctx_.id.log_level))
      std::printf("(Logging level set to %d)\n", ctx_.id.log_level);
  }
  std::string title = BuildConsoleTitle(args, ctx_.id.type_name);
  SafeStrncpy(ctx_.id.title, title.c_str(), sizeof ctx_.id.title);
  SafeStrncpy(ctx_.id.request_slot, title.c_str(), sizeof ctx_.id.request_slot);
  for (char* p = ctx_.id.request_slot; *p; ++p)
    if (*p == '-') *p = '\\';
  return 0;
}

u16 Controller::ChooseDeviceId(i64 seed) {
  platform::ReleaseLockFile(device_id_lock_);
  device_id_lock_ = -1;
  const std::string folder = platform::MailslotDirectory() + "/deviceid/";
  u16 id = static_cast<u16>(seed & 0xFFFF);
  for (int tries = 0; tries < 0x10000; ++tries, ++id) {
    if (id == 0) continue;
    int fd = platform::TakeLockFile(folder + std::to_string(id) + ".lock");
    if (fd >= 0) {
      device_id_lock_ = fd;
      return id;
    }
  }
  return static_cast<u16>(seed & 0xFFFF) ? static_cast<u16>(seed & 0xFFFF) : 1;
}

bool Controller::ReadConfiguration() {
  char path[512];
  if (GetServerIniPath(path, sizeof path) != 0) return false;
  FILE* ini = SharedOpen(-1, path, "r");
  if (!ini) return false;
  ReadStartOptions(ini, &ctx_.config);
  InitRelayParams(ini, &ctx_.config.relay);
  ctx_.id.device_id = ChooseDeviceId(ctx_.clock->NowSeconds());
  int r = InitLowerParams(ini, ctx_.id, SystemParameters().ServerArea, &ctx_.config);
  (void)std::fclose(ini);
  if (r < 0) return false;
  DeviceLogIdentity dl;
  dl.server_area = SystemParameters().ServerArea;
  dl.type_name = ctx_.id.type_name;
  dl.group = ctx_.id.group;
  dl.channel = ctx_.id.channel;
  dl.type_number = ctx_.id.device_type;
  dl.console_level = ctx_.id.log_level;
  ctx_.device_log.Configure(dl, ctx_.config.trace_log);
  if (ctx_.config.comms_log_file[0]) {
    comms_log_ = SharedOpen(2, ctx_.config.comms_log_file, "a");
    if (!comms_log_) CtlLog(5, "Error opening Comms Log file '%s'", ctx_.config.comms_log_file);
  }
  return true;
}

int Controller::InitialiseController(const std::vector<std::string>& args) {
  if (ParseDeviceArguments(args) < 0) return PERC_INVALID_PARAMETER;
  CtlLog(2, "Initialising");
  LogInit(stdout, nullptr, 3, ctx_.id.title);
  SetControllerConsole(true, 3);
  if (ReadSystemParams(nullptr) != 0) {
    std::printf("Error reading system parameters\n");
    exit_code_ = 1;
    return PERC_INVALID_PARAMETER;
  }
  (void)std::setvbuf(stdout, nullptr, _IONBF, 0);
  LogInit(stdout, SystemParameters().LogFile, ctx_.id.log_level, ctx_.id.title);
  SetControllerConsole(true, ctx_.id.log_level);
  CtlLog(3, "Device controller for %s - Version %s", ctx_.id.title, kMarrockVersion);
  if (!ReadConfiguration()) {
    Fatal();
    return PERC_INVALID_PARAMETER;
  }
  ctx_.device_log.InitLogFile(SystemParameters().LogFile);
  if (!OpenRequestSlot()) return PERC_INVALID_PARAMETER;
  ReportFaultToMORVATH();

  int r = 0;
  if (ctx_.config.demo_mode == DEMO_OFF) {
    r = tessaly_.InitialiseDevice(0);
    if (r == 0) r = CheckForIncomingCall();
    if (r != 0 && r != PERC_INCOMING_CALL) CtlLog(5, "Error %s initialising device", PercText(r));
    if (r == 0) r = tessaly_.CheckRingIn();
  }
  fax_server_.SendDeviceStartToDRENNIC();
  fax_server_.SendPortInitToMORVATH();
  fax_server_.SendProgramStartToMORVATH(ctx_.id.title);
  CtlLog(2, "Initialising completed");
  return r;
}

int Controller::AppMain(int argc, const char* const* argv) {
  command_line_ = ParseCommandLine(argc, argv);
  int r = InitialiseController(command_line_.remaining);
  if (exit_code_ >= 0) return exit_code_;
  while (!ctx_.closedown) r = MainLoopRound(r);
  Closedown();
  return 0;
}

int Controller::MainLoopRound(int r) {
  const bool demo = ctx_.config.demo_mode != DEMO_OFF;
  if (r > kLastNonFaultPerc && !demo) {
    fax_server_.SetDeviceState(DS_DEVICE_ERROR);
    r = WaitForFaxToSmile();
  }
  if (!fax_server_.offline_pending()) fax_server_.SetDeviceState(DS_IDLE);
  if (fax_server_.job_waiting()) {
    r = FaxServerLink::kJobCopied;
  } else {
    r = fax_server_.ProcessDeviceRequests();
    if (r == 0 && !fax_server_.offline_pending()) r = CheckForIncomingCall();
  }
  if (r == FaxServerLink::kJobCopied) {
    fax_server_.TakeWaitingJob();
    if (fax_server_.waiting_job().type == RST_DEVICE_SEND) {
      fax_server_.SetDeviceState(DS_WAIT_CONNECT);
      r = send_.ProcessSendJob();
    } else if (fax_server_.waiting_job().type == RST_DEVICE_SCAN && !demo) {
      fax_server_.SetDeviceState(DS_WAIT_SCAN_DOC);
      r = ProcessScanJob();
    } else {
      r = PERC_INVALID_PARAMETER;
    }
  }
  if (fax_server_.offline_pending()) {
    fax_server_.SetDeviceState(DS_DEVICE_OFFLINE);
    if (!demo) r = HandleOffline(r);
    if (r == 0) r = CheckForIncomingCall();
  }
  if (r == PERC_DOCUMENT_ON_SCANNER || r == PERC_DEVICE_BUSY) {
    fax_server_.SetDeviceState(DS_DEVICE_OFFLINE);
    r = HandleOffline(r);
  } else if (r == PERC_INCOMING_CALL) {
    while (r == PERC_INCOMING_CALL) {
      fax_server_.SetDeviceState(DS_CALL_RECEIVED);
      r = receive_.HandleIncomingCall();
    }
  }
  if (comms_log_) (void)std::fflush(comms_log_);
  if (ctx_.closedown) return r;
  if (!demo) {
    tessaly_.CheckTessalyHolder();
    r = tessaly_.CheckRingIn();
    if (r == PERC_INCOMING_CALL) {
      CtlLog(1, "AppMain - incoming FOIP call");
      fax_server_.SetDeviceState(DS_CALL_RECEIVED);
      r = receive_.HandleIncomingCall();
    }
  }
  if (!ctx_.closedown && !platform::TerminationRequested())
    ctx_.clock->Pause(kIdlePauseMs, ControllerClock::kWakeOnBoth);
  return r;
}

void Controller::Closedown() {
  if (ctx_.config.demo_mode == DEMO_OFF) tessaly_.ClosedownDevice();
  if (comms_log_) (void)std::fclose(comms_log_);
  comms_log_ = nullptr;
  CtlLog(3, "Program closing down");
}

int Controller::DeviceCheck() { return 0; }

int Controller::DetectRingIn() {
  // Demonstration calls come from the receive path.
  if (ctx_.config.demo_mode != DEMO_OFF) return 0;
  int r = tessaly_.CheckRingIn();
  if (r == PERC_INCOMING_CALL) CtlLog(3, "Incoming call detected");
  return r;
}

int Controller::CheckForIncomingCall() {
  int r = DetectRingIn();
  if (r == PERC_INCOMING_CALL) {
    call_waiting_ = true;
    r = 0;
  }
  if (r != 0) return r;
  auto waiting = [this] {
    bool w = call_waiting_;
    call_waiting_ = false;
    return w ? PERC_INCOMING_CALL : 0;
  };
  const i64 now = ctx_.clock->NowSeconds();
  if ((fax_server_.device_state() == DS_IDLE || fax_server_.device_state() == DS_STARTUP) && device_checked_ &&
      now >= last_device_check_ && now - last_device_check_ < kDeviceCheckSeconds && !fax_server_.state_changed())
    return waiting();
  if (ctx_.config.demo_mode != DEMO_OFF) return waiting();
  last_device_check_ = now;
  device_checked_ = true;
  fax_server_.clear_state_changed();
  if (!call_waiting_) {
    int check = DeviceCheck();
    if (check == PERC_NO_REPLY || check == PERC_COMMAND_REJECTED) check = DeviceCheck();
    if (check != 0) return check;
  }
  return waiting();
}

int Controller::HandleOffline(int r) {
  // Closing down tells TESSALY only of a device in the middle of a fax; an
  // idle one must say too that it takes no calls while offline, or calls are
  // rung in to it that nobody answers (and are found stale when it is back).
  if (tessaly_.foip_status() == FOIP_READY) (void)tessaly_.SendReceiveStatusToTESSALY(0);
  tessaly_.DeviceOffline();
  fax_server_.AnswerOfflineRequest();
  bool was_pending = false;
  bool first = true;
  for (;;) {
    const u32 window_start = ctx_.clock->NowMs();
    const u32 window = first ? kFirstOfflineWindowMs : kOfflineWindowMs;
    first = false;
    bool pending_at_step = fax_server_.offline_pending();
    r = 0;
    while (!ctx_.Elapsed(window_start, window)) {
      if (pending_at_step && !fax_server_.offline_pending()) break;
      ctx_.clock->Pause(kRequestStepMs, ControllerClock::kWakeOnRequest);
      r = fax_server_.ProcessDeviceRequests();
      pending_at_step = pending_at_step || fax_server_.offline_pending();
      was_pending = was_pending || fax_server_.offline_pending();
      if (r != 0) break;
    }
    if (ctx_.closedown || r != 0 || (was_pending && !fax_server_.offline_pending()) ||
        (!was_pending && DeviceCheck() != PERC_DOCUMENT_ON_SCANNER)) {
      if (!ctx_.closedown) tessaly_.DeviceOnline();
      return r;
    }
  }
}

int Controller::WaitForFaxToSmile() {
  CtlLog(1, "WaitForFaxToSmile()");
  const i64 start = ctx_.clock->NowSeconds();
  bool warned = false, failed = false;
  for (;;) {
    int r = tessaly_.ClosedownDevice();
    if (r != 0) {
      CtlLog(2, "Error %s waiting for fax to recover", PercText(r));
    } else {
      r = tessaly_.InitialiseDevice(0);
      if (r == 0) break;
    }
    const i64 now = ctx_.clock->NowSeconds();
    if (!warned && (now - start >= kRecoveryWarnSeconds || now < start)) {
      warned = true;
      CtlLog(5, "Error %s checking fax device", PercText(r));
    }
    if (!failed && (now - start >= kRecoveryFailSeconds || now < start)) {
      failed = true;
      LogForceEventLog();
      CtlLog(5, "Failing device - error %s", PercText(r));
      fax_server_.SetDeviceState(DS_DEVICE_FAILED);
    }
    const u32 serve_start = ctx_.clock->NowMs();
    while (!ctx_.Elapsed(serve_start, kRecoveryServeMs)) {
      ctx_.clock->Pause(kIdlePauseMs, ControllerClock::kWakeOnRequest);
      int p = fax_server_.ProcessDeviceRequests();
      if (p != 0) return p;
    }
  }
  if (warned || failed) {
    LogForceEventLog();
    CtlLog(3, "Device recovered");
  }
  return 0;
}

// The scan job: this device has no document feeder, so the job waits the
// configured time for a document that never comes and ends with PERC 6.
int Controller::ProcessScanJob() {
  CtlLog(2, "Waiting for document to Scan");
  ctx_.device_log.Write(1, "Waiting for document on ADF");
  // The scan-status text would be printed; this device prints nothing.
  (void)send_.MakeConnection(kConnectHostToPrint, 2, ctx_.config.scan_waiting_file, 1);
  int r = PERC_NO_DOCUMENT_ON_SCANNER;
  const u32 start = ctx_.clock->NowMs();
  const u32 limit = static_cast<u32>(ctx_.config.scan_doc_wait > 0 ? ctx_.config.scan_doc_wait : 0) * 1000;
  while (!ctx_.Elapsed(start, limit)) {
    const int p = fax_server_.ProcessDeviceRequests();
    if (p != 0) {
      r = p;
      break;
    }
    ctx_.clock->Pause(kRequestStepMs, ControllerClock::kWakeOnRequest);
  }
  if (r == PERC_NO_DOCUMENT_ON_SCANNER) ctx_.status_word = STATUS_FAX_TIMEOUT;
  const DeviceRequest& job = fax_server_.waiting_job();
  fax_server_.SendScanResultToDRENNIC(job.job_number, job.scan_value, ScanJobStatusWord(r));
  return r;
}

int Controller::EndJobInHand() {
  if (send_.state() != SendJob::State::idle) return send_.EndInHand();
  return receive_.EndInHand();
}
