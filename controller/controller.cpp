// Start-up, main loop, offline and recovery loops, device states and the
// requests from DRENNIC.
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

constexpr std::uint32_t kIdlePauseMs = 1000;
constexpr std::uint32_t kRequestStepMs = 3000;
constexpr std::uint32_t kFirstOfflineWindowMs = 20000;
constexpr std::uint32_t kOfflineWindowMs = 15000;
constexpr std::int64_t kDeviceCheckSeconds = 31;
constexpr std::int64_t kRecoveryWarnSeconds = 10;
constexpr std::int64_t kRecoveryFailSeconds = 1800;
constexpr std::uint32_t kRecoveryServeMs = 20000;

void UpperCase(char* s) {
  for (; *s; ++s) *s = static_cast<char>(std::toupper(static_cast<unsigned char>(*s)));
}

// A short of "%hd": the whole argument must be a number in range.
bool ReadShort(const std::string& text, std::int16_t* out) {
  int value = 0, used = 0;
  if (std::sscanf(text.c_str(), "%d%n", &value, &used) != 1) return false;
  if (value < -32768 || value > 32767) return false;
  *out = static_cast<std::int16_t>(value);
  return true;
}

bool IsStateOf(unsigned s, std::initializer_list<unsigned> states) {
  for (unsigned x : states)
    if (s == x) return true;
  return false;
}

// Arms the fault report: a fatal signal sends RST_MORVATH_FAULT with this
// process's id to MORVATH before the process ends.
void ReportFaultToMORVATH() {
  std::uint8_t fault[kFaultSize];
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
    std::int16_t channel = 0;
    if (args.size() >= 4 && !args[2].empty() && ReadShort(args[3], &channel) && channel >= 1 && channel <= 999)
      (void)std::snprintf(title, sizeof title, "%s-%.60s-%d", type_name, args[2].c_str(), channel);
    else (void)std::snprintf(title, sizeof title, "%s-?", type_name);
  } else {
    std::int16_t number = 0;
    if (ReadShort(args[1], &number) && number >= 1 && number <= 999)
      (void)std::snprintf(title, sizeof title, "%.8s-%d", type_name, number);
    else (void)std::snprintf(title, sizeof title, "%.8s-?", type_name);
  }
  return title;
}

Controller::Controller(ControllerClock* clock) : clock_(clock) {}

Controller::~Controller() {
  MsgClosePipe(&request_handle_);
  MsgClosePipe(&reply_handle_);
  device_log_.Close();
  if (comms_log_) (void)std::fclose(comms_log_);
  platform::ReleaseLockFile(device_id_lock_);
}

bool Controller::Elapsed(std::uint32_t since, std::uint32_t ms) {
  return static_cast<std::int32_t>(clock_->NowMs() - since) >= static_cast<std::int32_t>(ms);
}

void Controller::Fatal() {
  CtlLog(6, "** Fatal Error - exiting **");
  exit_code_ = 1;
}

// Command line: device type, group, channel and log level.  Sets exit_code_
// on a usage error.
int Controller::ParseDeviceArguments(const std::vector<std::string>& args) {
  const char* program = args.empty() ? "marrock" : args[0].c_str();
  id_ = ControllerIdentity{};
  if (args.size() < 2) {
    id_.device_type = 1;
  } else if (args[1] == "GROUP") {
    std::int16_t channel = 0, type = 0;
    if (args.size() < 5 || args[2].empty() || args[2].size() >= sizeof id_.group || !ReadShort(args[3], &channel) ||
        !ReadShort(args[4], &type)) {
      std::printf("Usage -- %s GROUP groupnumber channelnumber devtypenum\n", program);
      exit_code_ = 1;
      return -1;
    }
    if (type < 1 || type > 200) {
      std::printf("Error -- invalid device type number %d\n", type);
      exit_code_ = 1;
      return -1;
    }
    id_.group_form = true;
    SafeStrncpy(id_.group, args[2].c_str(), sizeof id_.group);
    id_.channel = channel;
    id_.device_type = type;
    if (args.size() >= 6 && ReadShort(args[5], &id_.log_level))
      std::printf("(Logging level set to %d)\n", id_.log_level);
  } else {
    std::int16_t type = 0;
    if (!ReadShort(args[1], &type)) {
      std::printf("Usage -- %s devtypenum\n", program);
      exit_code_ = 1;
      return -1;
    }
    if (type < 1 || type > 200) {
      std::printf("Error -- invalid device type number %d\n", type);
      exit_code_ = 1;
      return -1;
    }
    id_.device_type = type;
    if (args.size() >= 3 && ReadShort(args[2], &id_.log_level))
      std::printf("(Logging level set to %d)\n", id_.log_level);
  }
  std::string title = BuildConsoleTitle(args, id_.type_name);
  SafeStrncpy(id_.title, title.c_str(), sizeof id_.title);
  SafeStrncpy(id_.request_slot, title.c_str(), sizeof id_.request_slot);
  for (char* p = id_.request_slot; *p; ++p)
    if (*p == '-') *p = '\\';
  return 0;
}

std::uint16_t Controller::ChooseDeviceId(std::int64_t seed) {
  platform::ReleaseLockFile(device_id_lock_);
  device_id_lock_ = -1;
  const std::string folder = platform::MailslotDirectory() + "/deviceid/";
  std::uint16_t id = static_cast<std::uint16_t>(seed & 0xFFFF);
  for (int tries = 0; tries < 0x10000; ++tries, ++id) {
    if (id == 0) continue;
    int fd = platform::TakeLockFile(folder + std::to_string(id) + ".lock");
    if (fd >= 0) {
      device_id_lock_ = fd;
      return id;
    }
  }
  return static_cast<std::uint16_t>(seed & 0xFFFF) ? static_cast<std::uint16_t>(seed & 0xFFFF) : 1;
}

bool Controller::ReadConfiguration() {
  char path[512];
  if (GetServerIniPath(path, sizeof path) != 0) return false;
  FILE* ini = SharedOpen(-1, path, "r");
  if (!ini) return false;
  ReadStartOptions(ini, &config_);
  InitRelayParams(ini, &config_.relay);
  id_.device_id = ChooseDeviceId(clock_->NowSeconds());
  int r = InitLowerParams(ini, id_, SystemParameters().ServerArea, &config_);
  (void)std::fclose(ini);
  if (r < 0) return false;
  DeviceLogIdentity dl;
  dl.server_area = SystemParameters().ServerArea;
  dl.type_name = id_.type_name;
  dl.group = id_.group;
  dl.channel = id_.channel;
  dl.type_number = id_.device_type;
  dl.console_level = id_.log_level;
  device_log_.Configure(dl, config_.trace_log);
  if (config_.comms_log_file[0]) {
    comms_log_ = SharedOpen(2, config_.comms_log_file, "a");
    if (!comms_log_) CtlLog(5, "Error opening Comms Log file '%s'", config_.comms_log_file);
  }
  return true;
}

bool Controller::OpenRequestSlot() {
  StatusWord st = MsgMakePipe(id_.request_slot, 0, &request_handle_);
  if (st != 0) {
    CtlLog(6, "FATAL Error 0x%X creating message queue '%s'", st, id_.request_slot);
    Fatal();
    return false;
  }
  clock_->Watch(request_handle_.fd, reply_handle_.fd);
  return true;
}

int Controller::InitialiseController(const std::vector<std::string>& args) {
  if (ParseDeviceArguments(args) < 0) return PERC_INVALID_PARAMETER;
  CtlLog(2, "Initialising");
  LogInit(stdout, nullptr, 3, id_.title);
  SetControllerConsole(true, 3);
  if (ReadSystemParams(nullptr) != 0) {
    std::printf("Error reading system parameters\n");
    exit_code_ = 1;
    return PERC_INVALID_PARAMETER;
  }
  (void)std::setvbuf(stdout, nullptr, _IONBF, 0);
  LogInit(stdout, SystemParameters().LogFile, id_.log_level, id_.title);
  SetControllerConsole(true, id_.log_level);
  CtlLog(3, "Device controller for %s - Version %s", id_.title, kMarrockVersion);
  if (!ReadConfiguration()) {
    Fatal();
    return PERC_INVALID_PARAMETER;
  }
  device_log_.InitLogFile(SystemParameters().LogFile);
  if (!OpenRequestSlot()) return PERC_INVALID_PARAMETER;
  ReportFaultToMORVATH();

  int r = 0;
  if (config_.demo_mode == DEMO_OFF) {
    r = InitialiseDevice(0);
    if (r == 0) r = CheckForIncomingCall();
    if (r != 0 && r != PERC_INCOMING_CALL) CtlLog(5, "Error %s initialising device", PercText(r));
    if (r == 0) r = CheckRingIn();
  }
  SendDeviceStartToDRENNIC();
  SendPortInitToMORVATH();
  SendProgramStartToMORVATH(id_.title);
  CtlLog(2, "Initialising completed");
  return r;
}

int Controller::AppMain(int argc, const char* const* argv) {
  command_line_ = ParseCommandLine(argc, argv);
  int r = InitialiseController(command_line_.remaining);
  if (exit_code_ >= 0) return exit_code_;
  while (!closedown_) r = MainLoopRound(r);
  Closedown();
  return 0;
}

int Controller::MainLoopRound(int r) {
  const bool demo = config_.demo_mode != DEMO_OFF;
  if (r > kLastNonFaultPerc && !demo) {
    SetDeviceState(DS_DEVICE_ERROR);
    r = WaitForFaxToSmile();
  }
  if (!offline_pending_) SetDeviceState(DS_IDLE);
  if (job_waiting_) {
    r = 1;
  } else {
    r = ProcessDeviceRequests();
    if (r == 0 && !offline_pending_) r = CheckForIncomingCall();
  }
  if (r == 1) {
    job_waiting_ = false;
    if (job_.type == RST_DEVICE_SEND) {
      SetDeviceState(DS_WAIT_CONNECT);
      r = ProcessSendJob();
    } else if (job_.type == RST_DEVICE_SCAN && !demo) {
      SetDeviceState(DS_WAIT_SCAN_DOC);
      r = ProcessScanJob();
    } else {
      r = PERC_INVALID_PARAMETER;
    }
  }
  if (offline_pending_) {
    SetDeviceState(DS_DEVICE_OFFLINE);
    if (!demo) r = HandleOffline(r);
    if (r == 0) r = CheckForIncomingCall();
  }
  if (r == 2 || r == 7) {
    SetDeviceState(DS_DEVICE_OFFLINE);
    r = HandleOffline(r);
  } else if (r == PERC_INCOMING_CALL) {
    while (r == PERC_INCOMING_CALL) {
      SetDeviceState(DS_CALL_RECEIVED);
      r = HandleIncomingCall();
    }
  }
  if (comms_log_) (void)std::fflush(comms_log_);
  if (closedown_) return r;
  if (!demo) {
    CheckTessalyHolder();
    r = CheckRingIn();
    if (r == PERC_INCOMING_CALL) {
      CtlLog(1, "AppMain - incoming FOIP call");
      SetDeviceState(DS_CALL_RECEIVED);
      r = HandleIncomingCall();
    }
  }
  if (!closedown_ && !platform::TerminationRequested()) clock_->Pause(kIdlePauseMs, ControllerClock::kWakeOnBoth);
  return r;
}

void Controller::Closedown() {
  if (config_.demo_mode == DEMO_OFF) ClosedownDevice();
  if (comms_log_) (void)std::fclose(comms_log_);
  comms_log_ = nullptr;
  CtlLog(3, "Program closing down");
}

int Controller::DeviceCheck() { return 0; }

int Controller::DetectRingIn() {
  // Demonstration calls come from the receive path.
  if (config_.demo_mode != DEMO_OFF) return 0;
  int r = CheckRingIn();
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
  const std::int64_t now = clock_->NowSeconds();
  if ((device_state_ == DS_IDLE || device_state_ == DS_STARTUP) && device_checked_ && now >= last_device_check_ &&
      now - last_device_check_ < kDeviceCheckSeconds && !state_changed_)
    return waiting();
  if (config_.demo_mode != DEMO_OFF) return waiting();
  last_device_check_ = now;
  device_checked_ = true;
  state_changed_ = false;
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
  if (foip_status_ == FOIP_READY) (void)SendReceiveStatusToTESSALY(0);
  DeviceOffline();
  if (offline_reply_wanted_ && have_last_offline_id_) SendOfflineReply(0, last_offline_id_);
  offline_reply_wanted_ = false;
  bool was_pending = false;
  bool first = true;
  for (;;) {
    const std::uint32_t window_start = clock_->NowMs();
    const std::uint32_t window = first ? kFirstOfflineWindowMs : kOfflineWindowMs;
    first = false;
    bool pending_at_step = offline_pending_;
    r = 0;
    while (!Elapsed(window_start, window)) {
      if (pending_at_step && !offline_pending_) break;
      clock_->Pause(kRequestStepMs, ControllerClock::kWakeOnRequest);
      r = ProcessDeviceRequests();
      pending_at_step = pending_at_step || offline_pending_;
      was_pending = was_pending || offline_pending_;
      if (r != 0) break;
    }
    if (closedown_ || r != 0 || (was_pending && !offline_pending_) || (!was_pending && DeviceCheck() != 2)) {
      if (!closedown_) DeviceOnline();
      return r;
    }
  }
}

int Controller::WaitForFaxToSmile() {
  CtlLog(1, "WaitForFaxToSmile()");
  const std::int64_t start = clock_->NowSeconds();
  bool warned = false, failed = false;
  for (;;) {
    int r = ClosedownDevice();
    if (r != 0) {
      CtlLog(2, "Error %s waiting for fax to recover", PercText(r));
    } else {
      r = InitialiseDevice(0);
      if (r == 0) break;
    }
    const std::int64_t now = clock_->NowSeconds();
    if (!warned && (now - start >= kRecoveryWarnSeconds || now < start)) {
      warned = true;
      CtlLog(5, "Error %s checking fax device", PercText(r));
    }
    if (!failed && (now - start >= kRecoveryFailSeconds || now < start)) {
      failed = true;
      LogForceEventLog();
      CtlLog(5, "Failing device - error %s", PercText(r));
      SetDeviceState(DS_DEVICE_FAILED);
    }
    const std::uint32_t serve_start = clock_->NowMs();
    while (!Elapsed(serve_start, kRecoveryServeMs)) {
      clock_->Pause(kIdlePauseMs, ControllerClock::kWakeOnRequest);
      int p = ProcessDeviceRequests();
      if (p != 0) return p;
    }
  }
  if (warned || failed) {
    LogForceEventLog();
    CtlLog(3, "Device recovered");
  }
  return 0;
}

// --- device states ---

int Controller::SetDeviceState(unsigned state) {
  if (DeviceStateUnknown(state)) CtlLog(6, "Unknown STATE (%d)", static_cast<int>(state));
  if (DeviceStateReported(state, device_state_)) {
    std::uint8_t packet[kDrennicDeviceStatusSize];
    DeviceFields d{id_.type_name, static_cast<std::uint16_t>(id_.device_type)};
    WriteDrennicDeviceStatus(d, DeviceStateCode(state), DeviceStateCarriesPage(state) ? current_page_ : 0, packet);
    SendToDrennic(packet, sizeof packet);
  }
  if (state == device_state_) return 0;
  char line[64];
  (void)std::snprintf(line, sizeof line, "Device status now %s", DeviceStateName(state));
  LogSuspendMessageLogOnce();
  if (state == DS_IDLE) CtlLogWhole(3, line);
  else CtlLog(3, "%s", line);
  device_state_ = state;
  state_changed_ = true;
  return 0;
}

int Controller::FOIPErrorToPERC(StatusWord status) {
  FoipErrorMap m = FoipErrorEntry(status);
  if (m.log_text) CtlLog(3, "%s", m.log_text);
  return m.perc;
}

// --- packets to DRENNIC and MORVATH ---

StatusWord Controller::SendToDrennic(std::uint8_t* packet, std::size_t size) {
  StatusWord st = MsgSendRequest("DRENNIC", 10, packet, static_cast<std::uint16_t>(size), 0);
  if (st != 0 && !closedown_) CtlLog(5, "Error 0x%X sending message to DRENNIC", st);
  return st;
}

StatusWord Controller::SendJobResultToDRENNIC(std::uint16_t job, StatusWord status, std::uint16_t connect_time,
                                              std::uint16_t pages) {
  std::uint8_t p[kJobResultSize];
  WriteJobResult({id_.type_name, static_cast<std::uint16_t>(id_.device_type)}, status, job,
                 DeviceStateCode(device_state_), connect_time, pages, p);
  return SendToDrennic(p, sizeof p);
}

StatusWord Controller::SendScanResultToDRENNIC(std::uint16_t job, std::uint16_t value, StatusWord status) {
  std::uint8_t p[kScanResultSize];
  WriteScanResult({id_.type_name, static_cast<std::uint16_t>(id_.device_type)}, status, job,
                  DeviceStateCode(device_state_), value, p);
  return SendToDrennic(p, sizeof p);
}

StatusWord Controller::SendMessageReceivedToDRENNIC(const char* user, const char* control_file) {
  std::uint8_t p[kMessageReceivedSize];
  WriteMessageReceived({id_.type_name, static_cast<std::uint16_t>(id_.device_type)}, user, control_file, p);
  return SendToDrennic(p, sizeof p);
}

StatusWord Controller::SendDeviceStartToDRENNIC() {
  std::uint8_t p[kDeviceStartSize];
  WriteDeviceStart({id_.type_name, static_cast<std::uint16_t>(id_.device_type)}, id_.request_slot, id_.device_id,
                   config_.send_route_mask, config_.print_route_mask, p);
  return SendToDrennic(p, sizeof p);
}

StatusWord Controller::SendPortInitToMORVATH() {
  std::uint8_t p[kPortInitSize];
  WritePortInit({id_.type_name, static_cast<std::uint16_t>(id_.device_type)}, id_.request_slot, config_.port_name, p);
  StatusWord st = MsgSendRequest("MORVATH", 1, p, sizeof p, 0);
  if (st != 0 && !closedown_) CtlLog(2, "Error 0x%X sending port init msg to MORVATH", st);
  return st;
}

StatusWord Controller::SendProgramStartToMORVATH(const char* title) {
  std::uint8_t p[kMorvathProgramStartSize];
  WriteMorvathProgramStart(title, 10, p);
  return MsgSendRequest("MORVATH", 1, p, sizeof p, 0);
}

StatusWord Controller::SendOfflineReply(StatusWord status, const std::uint8_t* request) {
  DeviceRequest r;
  if (ReadDeviceRequest(request, kOfflineIdKeptSize, &r) != RequestRead::kOk || !r.reply_slot[0])
    return STATUS_BAD_ARGUMENT;
  std::uint8_t p[kOfflineReplySize];
  WriteOfflineReply(status, r.id, p);
  StatusWord st = MsgSendRequest(r.reply_slot, 1, p, sizeof p, 0);
  if (st != 0 && !closedown_) CtlLog(5, "Error 0x%X sending message to %s", st, r.reply_slot);
  return st;
}

// --- requests from DRENNIC ---

int Controller::ProcessDeviceRequests() {
  if (job_waiting_) return 1;
  if (platform::TerminationRequested()) {
    platform::ClearTerminationRequest();
    const std::uint8_t shutdown[3] = {3, 0, RT_SHUTDOWN};
    int r = HandleDeviceRequest(shutdown, sizeof shutdown);
    if (r >= 0) return r;
  }
  if (!request_handle_.valid()) return 0;
  for (;;) {
    std::uint8_t buffer[kDeviceRequestSize];
    std::uint16_t length = 0;
    if (MsgReadRequest(request_handle_, buffer, sizeof buffer, &length) != 0) return 0;
    int r = HandleDeviceRequest(buffer, length);
    if (r >= 0) return r;
  }
}

int Controller::HandleDeviceRequest(const std::uint8_t* data, std::size_t size) {
  DeviceRequest r;
  if (ReadDeviceRequest(data, size, &r) != RequestRead::kOk) {
    CtlLog(5, "Request of type %d too short (%zu bytes) - ignored", r.type, size);
    return -1;
  }
  if (r.device_id != 0 && r.device_id != id_.device_id) {
    CtlLog(4, "Request received for previous device (%u)", r.type);
    return -1;
  }
  if (r.packet_class != RT_DEVICE) {
    CtlLog(5, "Invalid request subtype received (%d)", r.type);
    return -1;
  }
  switch (r.type) {
    case RST_DEVICE_INITIALISE: CtlLog(5, "Device initialise - Not supported\n"); return -1;
    case RST_DEVICE_CLOSEDOWN: closedown_ = true; return PERC_SHUTDOWN_REQUESTED;
    case RST_DEVICE_ABORT:
      CtlLog(3, "Abort received in state %s", DeviceStateName(device_state_));
      if (IsStateOf(device_state_, {DS_WAIT_CONNECT, DS_SENDING, DS_POLL_RECEIVE, DS_WAIT_SCAN_DOC, DS_SCANNING}))
        return PERC_ABORT_REQUEST;
      return -1;
    case RST_DEVICE_STATUS_ENQUIRY:
      CtlLog(5, "Device status enquiry in state %s - Not supported\n", DeviceStateName(device_state_));
      return -1;
    case RST_DEVICE_SEND:
    case RST_DEVICE_SCAN:
      if (data[kServerPacketTypeOffset] == RST_DEVICE_SEND_OLD)
        CtlLog(2, "Old version of Drennic running; copying Send packet into new structure");
      if (device_state_ == DS_IDLE) {
        job_ = r;
        job_waiting_ = true;
        return 1;
      }
      if (r.type == RST_DEVICE_SCAN) SendScanResultToDRENNIC(r.job_number, r.scan_value, BusyStatusWord(device_state_));
      else SendJobResultToDRENNIC(r.job_number, BusyStatusWord(device_state_), 0, 0);
      return -1;
    case RST_DEVICE_OFFLINE_ID:
    case RST_DEVICE_OFFLINE: return OfflineRequest(r);
    case RST_DEVICE_ONLINE_ID:
      if (r.id != 0 && r.id != last_offline_id_value_) {
        CtlLog(3, "Online request received in state %s", DeviceStateName(device_state_));
        CtlLog(3, "Online request id does not match last offline - ignoring request");
        return -1;
      }
      [[fallthrough]];
    case RST_DEVICE_ONLINE:
      CtlLog(3, "Online request received in state %s", DeviceStateName(device_state_));
      if (offline_pending_ && have_last_offline_id_) SendOfflineReply(STATUS_FAX_BUSY, last_offline_id_);
      offline_pending_ = false;
      return -1;
    default: CtlLog(5, "Invalid request subtype received (%d)", r.type); return -1;
  }
}

int Controller::OfflineRequest(const DeviceRequest& r) {
  const bool with_id = r.type == RST_DEVICE_OFFLINE_ID;
  if (with_id) {
    if (offline_pending_ && device_state_ != DS_DEVICE_OFFLINE) {
      CtlLog(3, "Offline request received in state %s", DeviceStateName(device_state_));
      SendOfflineReply(STATUS_FAX_BUSY, r.kept);
      CtlLog(3, "Device already processing an offline request - ignoring request");
      return -1;
    }
    std::memcpy(last_offline_id_, r.kept, sizeof last_offline_id_);
    have_last_offline_id_ = true;
    last_offline_id_value_ = r.id;
  }
  offline_reply_wanted_ = with_id;
  CtlLog(3, "Offline request received in state %s", DeviceStateName(device_state_));
  auto refuse = [&] {
    if (with_id) SendOfflineReply(STATUS_FAX_BUSY, r.kept);
    CtlLog(3, "Device not idle - ignoring offline request");
    return -1;
  };
  const unsigned s = device_state_;
  if (s == DS_IDLE || s == DS_STARTUP) {
    offline_pending_ = true;
    return -1;
  }
  if (IsStateOf(s, {DS_WAIT_CONNECT, DS_SENDING, DS_POLL_RECEIVE, DS_WAIT_SCAN_DOC, DS_SCANNING})) {
    if (!r.may_wait) return refuse();
    offline_pending_ = true;
    return r.interrupt ? PERC_ABORT_REQUEST : -1;
  }
  if (IsStateOf(s, {DS_RECEIVING, DS_POLL_SEND, DS_CALL_RECEIVED})) {
    if (!r.may_wait) return refuse();
    offline_pending_ = true;
    if (r.interrupt) CtlLog(3, "Current state not interruptible - offline pending");
    return -1;
  }
  if (s == DS_DEVICE_OFFLINE) {
    if (with_id) SendOfflineReply(STATUS_FAX_OFFLINE, r.kept);
    return -1;
  }
  offline_pending_ = true;  // DEVICE ERROR, DEVICE FAILED
  return PERC_ABORT_REQUEST;
}
