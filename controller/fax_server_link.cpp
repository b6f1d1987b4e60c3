// The link to the fax server: requests from DRENNIC, the device state and
// the packets to DRENNIC and MORVATH.
#include "controller/fax_server_link.h"

#include <cstring>
#include <initializer_list>

#include "common/ini_reader.h"
#include "common/tessaly_packets.h"
#include "platform/mailslot.h"
#include "platform/process.h"

namespace {

bool IsStateOf(unsigned s, std::initializer_list<unsigned> states) {
  for (unsigned x : states)
    if (s == x) return true;
  return false;
}

}  // namespace

FaxServerLink::~FaxServerLink() { MsgClosePipe(&request_handle_); }

bool FaxServerLink::OpenRequestSlot() {
  StatusWord st = MsgMakePipe(ctx_.id.request_slot, 0, &request_handle_);
  if (st != 0) {
    CtlLog(6, "FATAL Error 0x%X creating message queue '%s'", st, ctx_.id.request_slot);
    return false;
  }
  return true;
}

// --- device state ---

int FaxServerLink::SetDeviceState(unsigned state) {
  if (DeviceStateUnknown(state)) CtlLog(6, "Unknown STATE (%d)", static_cast<int>(state));
  if (DeviceStateReported(state, device_state_)) {
    u8 packet[kDrennicDeviceStatusSize];
    DeviceFields d{ctx_.id.type_name, static_cast<u16>(ctx_.id.device_type)};
    WriteDrennicDeviceStatus(d, DeviceStateCode(state), DeviceStateCarriesPage(state) ? ctx_.current_page : 0, packet);
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

// --- packets to DRENNIC and MORVATH ---

StatusWord FaxServerLink::SendToDrennic(u8* packet, std::size_t size) {
  StatusWord st = MsgSendRequest("DRENNIC", 10, packet, static_cast<u16>(size), 0);
  if (st != 0 && !ctx_.closedown) CtlLog(5, "Error 0x%X sending message to DRENNIC", st);
  return st;
}

StatusWord FaxServerLink::SendJobResultToDRENNIC(u16 job, StatusWord status, u16 connect_time, u16 pages) {
  u8 p[kJobResultSize];
  WriteJobResult({ctx_.id.type_name, static_cast<u16>(ctx_.id.device_type)}, status, job,
                 DeviceStateCode(device_state_), connect_time, pages, p);
  return SendToDrennic(p, sizeof p);
}

StatusWord FaxServerLink::SendScanResultToDRENNIC(u16 job, u16 value, StatusWord status) {
  u8 p[kScanResultSize];
  WriteScanResult({ctx_.id.type_name, static_cast<u16>(ctx_.id.device_type)}, status, job,
                  DeviceStateCode(device_state_), value, p);
  return SendToDrennic(p, sizeof p);
}

StatusWord FaxServerLink::SendMessageReceivedToDRENNIC(const char* user, const char* control_file) {
  u8 p[kMessageReceivedSize];
  WriteMessageReceived({ctx_.id.type_name, static_cast<u16>(ctx_.id.device_type)}, user, control_file, p);
  return SendToDrennic(p, sizeof p);
}

StatusWord FaxServerLink::SendDeviceStartToDRENNIC() {
  u8 p[kDeviceStartSize];
  WriteDeviceStart({ctx_.id.type_name, static_cast<u16>(ctx_.id.device_type)}, ctx_.id.request_slot, ctx_.id.device_id,
                   ctx_.config.send_route_mask, ctx_.config.print_route_mask, p);
  return SendToDrennic(p, sizeof p);
}

StatusWord FaxServerLink::SendPortInitToMORVATH() {
  u8 p[kPortInitSize];
  WritePortInit({ctx_.id.type_name, static_cast<u16>(ctx_.id.device_type)}, ctx_.id.request_slot, ctx_.config.port_name,
                p);
  StatusWord st = MsgSendRequest("MORVATH", 1, p, sizeof p, 0);
  if (st != 0 && !ctx_.closedown) CtlLog(2, "Error 0x%X sending port init msg to MORVATH", st);
  return st;
}

StatusWord FaxServerLink::SendProgramStartToMORVATH(const char* title) {
  u8 p[kMorvathProgramStartSize];
  WriteMorvathProgramStart(title, 10, p);
  return MsgSendRequest("MORVATH", 1, p, sizeof p, 0);
}

StatusWord FaxServerLink::SendOfflineReply(StatusWord status, const u8* request) {
  DeviceRequest r;
  if (ReadDeviceRequest(request, kOfflineIdKeptSize, &r) != RequestRead::kOk || !r.reply_slot[0])
    return STATUS_BAD_ARGUMENT;
  u8 p[kOfflineReplySize];
  WriteOfflineReply(status, r.id, p);
  StatusWord st = MsgSendRequest(r.reply_slot, 1, p, sizeof p, 0);
  if (st != 0 && !ctx_.closedown) CtlLog(5, "Error 0x%X sending message to %s", st, r.reply_slot);
  return st;
}

// --- requests from DRENNIC ---

int FaxServerLink::ProcessDeviceRequests() {
  if (job_waiting_) return kJobCopied;
  if (platform::TerminationRequested()) {
    platform::ClearTerminationRequest();
    const u8 shutdown[3] = {3, 0, RT_SHUTDOWN};
    int r = HandleDeviceRequest(shutdown, sizeof shutdown);
    if (r != kReadOn) return r;
  }
  if (!request_handle_.valid()) return 0;
  for (;;) {
    u8 buffer[kDeviceRequestSize];
    u16 length = 0;
    if (MsgReadRequest(request_handle_, buffer, sizeof buffer, &length) != 0) return 0;
    int r = HandleDeviceRequest(buffer, length);
    if (r != kReadOn) return r;
  }
}

int FaxServerLink::HandleDeviceRequest(const u8* data, std::size_t size) {
  DeviceRequest r;
  if (ReadDeviceRequest(data, size, &r) != RequestRead::kOk) {
    CtlLog(5, "Request of type %d too short (%zu bytes) - ignored", r.type, size);
    return kReadOn;
  }
  if (r.device_id != 0 && r.device_id != ctx_.id.device_id) {
    CtlLog(4, "Request received for previous device (%u)", r.type);
    return kReadOn;
  }
  if (r.packet_class != RT_DEVICE) {
    CtlLog(5, "Invalid request subtype received (%d)", r.type);
    return kReadOn;
  }
  switch (r.type) {
    case RST_DEVICE_INITIALISE: CtlLog(5, "Device initialise - Not supported\n"); return kReadOn;
    case RST_DEVICE_CLOSEDOWN: ctx_.closedown = true; return PERC_SHUTDOWN_REQUESTED;
    case RST_DEVICE_ABORT:
      CtlLog(3, "Abort received in state %s", DeviceStateName(device_state_));
      if (IsStateOf(device_state_, {DS_WAIT_CONNECT, DS_SENDING, DS_POLL_RECEIVE, DS_WAIT_SCAN_DOC, DS_SCANNING}))
        return PERC_ABORT_REQUEST;
      return kReadOn;
    case RST_DEVICE_STATUS_ENQUIRY:
      CtlLog(5, "Device status enquiry in state %s - Not supported\n", DeviceStateName(device_state_));
      return kReadOn;
    case RST_DEVICE_SEND:
    case RST_DEVICE_SCAN:
      if (data[kServerPacketTypeOffset] == RST_DEVICE_SEND_OLD)
        CtlLog(2, "Old version of Drennic running; copying Send packet into new structure");
      if (device_state_ == DS_IDLE) {
        job_ = r;
        job_waiting_ = true;
        return kJobCopied;
      }
      if (r.type == RST_DEVICE_SCAN) SendScanResultToDRENNIC(r.job_number, r.scan_value, BusyStatusWord(device_state_));
      else SendJobResultToDRENNIC(r.job_number, BusyStatusWord(device_state_), 0, 0);
      return kReadOn;
    case RST_DEVICE_OFFLINE_ID:
    case RST_DEVICE_OFFLINE: return OfflineRequest(r);
    case RST_DEVICE_ONLINE_ID:
      if (r.id != 0 && r.id != last_offline_id_value_) {
        CtlLog(3, "Online request received in state %s", DeviceStateName(device_state_));
        CtlLog(3, "Online request id does not match last offline - ignoring request");
        return kReadOn;
      }
      [[fallthrough]];
    case RST_DEVICE_ONLINE:
      CtlLog(3, "Online request received in state %s", DeviceStateName(device_state_));
      if (offline_pending_ && have_last_offline_id_) SendOfflineReply(STATUS_FAX_BUSY, last_offline_id_);
      offline_pending_ = false;
      return kReadOn;
    default: CtlLog(5, "Invalid request subtype received (%d)", r.type); return kReadOn;
  }
}

int FaxServerLink::OfflineRequest(const DeviceRequest& r) {
  const bool with_id = r.type == RST_DEVICE_OFFLINE_ID;
  if (with_id) {
    if (offline_pending_ && device_state_ != DS_DEVICE_OFFLINE) {
      CtlLog(3, "Offline request received in state %s", DeviceStateName(device_state_));
      SendOfflineReply(STATUS_FAX_BUSY, r.kept);
      CtlLog(3, "Device already processing an offline request - ignoring request");
      return kReadOn;
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
    return kReadOn;
  };
  const unsigned s = device_state_;
  if (s == DS_IDLE || s == DS_STARTUP) {
    offline_pending_ = true;
    return kReadOn;
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
    return kReadOn;
  }
  if (s == DS_DEVICE_OFFLINE) {
    if (with_id) SendOfflineReply(STATUS_FAX_OFFLINE, r.kept);
    return kReadOn;
  }
  offline_pending_ = true;  // DEVICE ERROR, DEVICE FAILED
  return PERC_ABORT_REQUEST;
}

void FaxServerLink::AnswerOfflineRequest() {
  if (offline_reply_wanted_ && have_last_offline_id_) SendOfflineReply(0, last_offline_id_);
  offline_reply_wanted_ = false;
}
