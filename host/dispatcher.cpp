#include "platform/int_types.h"
#include "host/dispatcher.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "common/ini_reader.h"
#include "common/mailslot.h"
#include "common/program_log.h"
#include "common/server_settings.h"
#include "host/device_table.h"
#include "platform/paths.h"
#include "runtime/om_os.h"
#include "session/app/app_foip.h"
#include "session/app/app_foip_session.h"

namespace {

using Hold = std::lock_guard<std::recursive_mutex>;

MailslotHandle g_pipe;
std::mutex g_pipe_mutex;  // the handle: main thread reads, shutdown closes

struct PendingSend {
  SendFaxPacket packet;
  u16 session_id = 0;
  u64 deadline_ms = 0;
};
std::vector<PendingSend> g_pending;
u32 g_send_start_wait_ms = kSendStartWaitMs;

constexpr StatusWord kNoActiveSession = 0xF00E;
constexpr StatusWord kRegistrationRefused = 0xF011;
constexpr StatusWord kNoWaitingCall = 0xF016;
constexpr StatusWord kSendNotStarted = 0xF103;

// The requests of class RT_TESSALY: their trace name and the length they
// must have (0: any length of 6 or more).
struct RequestKind {
  u8 type;
  const char* name;
  int length;
};
constexpr RequestKind kRequests[] = {
    {RST_TESSALY_REGISTER_DEVICE, "RST_TESSALY_REGISTER_DEVICE", int(kRegisterDeviceSize)},
    {RST_TESSALY_SEND_FAX, "RST_TESSALY_SEND_FAX", int(kSendFaxSize)},
    {RST_TESSALY_RECV_FAX, "RST_TESSALY_RECV_FAX", int(kRecvFaxSize)},
    {RST_TESSALY_ABORT_FAX, "RST_TESSALY_ABORT_FAX", int(kAbortFaxSize)},
    {RST_TESSALY_DEVICE_STATUS, "RST_TESSALY_DEVICE_STATUS", int(kDeviceStatusSize)},
    {RST_TESSALY_SHUTDOWN, "RST_TESSALY_SHUTDOWN", 0},
};

// The row of a request type, or null for an unknown one.
const RequestKind* FindRequest(u8 type) {
  for (const RequestKind& k : kRequests) {
    if (k.type == type) return &k;
  }
  return nullptr;
}

// The length a request must have (-1: unknown type, taken as it comes).
int RequestLength(u8 type) {
  const RequestKind* k = FindRequest(type);
  return k != nullptr ? k->length : -1;
}

void Answer(u16 device_id, u16 kind, u16 value, const char* failure_line, int failure_level = 4) {
  if (SendFaxStatusPacket(device_id, kind, nullptr, 0, value) != STATUS_OK)
    ProgramLog(failure_level, "%s", failure_line);
}

// The controller hears that its request (value names it) was done or failed;
// each answer has its own line for when it cannot be sent.
void AnswerOutcome(u16 device_id, bool done, u16 value, const char* done_line, const char* failed_line,
                   int done_level = 4) {
  if (done) Answer(device_id, FAX_STATUS_REQUEST_DONE, value, done_line, done_level);
  else Answer(device_id, FAX_STATUS_REQUEST_FAILED, value, failed_line);
}

void Reject(const foip__alert& call, const CallAddress& a) {
  app_foip_mngt__accept_reject_sip_incoming_call(call, a.nai, a.sapi, a.conn_id, nullptr);
}

// A call its controller turned down leaves the entry free for the next one
// (the end of that call, reported later, then finds no entry ringing).
void ReleaseRejectedCall(DeviceEntry* e) {
  (void)StopEntryWatchdog(e->session_id);
  DeviceEntry copy = *e;
  copy.session_active = 0;
  copy.abort_state = ABORT_NONE;
  UpdateEntry(copy);
  FreeEntryFaxFile(e);
}

// The start mark was found: the session takes the job's parameters and runs
// its start event.
void CompleteSend(app_foip__session_ctx* s, const SendFaxPacket& p) {
  s->usr_evt = APP_FOIP__NO_USR_EVT;
  foip__session_param& param = s->param();
  SafeStrncpy(param.fax_send_pg.sz_tiff_fname_fax_pg[0], (std::string(p.folder) + p.file_name).c_str(),
              FOIP__FNAME_MAX_LEN);
  if (FOIP__MAX_SND_TIFF_FILE > 1) param.fax_send_pg.sz_tiff_fname_fax_pg[1][0] = 0;
  auto& id = param.t38_media_add_param.sip_media_identification;
  (void)std::snprintf(id.sz_local_user_phone_number, sizeof id.sz_local_user_phone_number, "%.25s", p.sender_telephone);
  if (std::strlen(p.telephone) > 24) ProgramLog(4, "Phone number too long - truncating");
  (void)std::snprintf(id.sz_remote_user_phone_number, sizeof id.sz_remote_user_phone_number, "%.24s", p.telephone);
  (void)std::snprintf(param.fax_common_param.fax_id, sizeof param.fax_common_param.fax_id, "%.19s", p.sender_csid);
  if (p.recipient[0]) (void)std::snprintf(id.sz_remote_user_name, sizeof id.sz_remote_user_name, "%.31s", p.recipient);
  ReadGatewaySettings(param);
  ProgramLog(1, "DeviceControllerDispatcher - Fax TIFF file to be sent %s", param.fax_send_pg.sz_tiff_fname_fax_pg[0]);
  ProgramLog(1, "DeviceControllerDispatcher - Sender phone number %s", id.sz_local_user_phone_number);
  ProgramLog(1, "DeviceControllerDispatcher - Destination phone number %s", id.sz_remote_user_phone_number);
  ProgramLog(1, "DeviceControllerDispatcher - Sender CSID %s", param.fax_common_param.fax_id);
  ProgramLog(1, "DeviceControllerDispatcher - Recipient name %s", id.sz_remote_user_name);
  ProgramLog(1, "DeviceControllerDispatcher - Sender name %s", id.sz_local_user_name);
  ProgramLog(1, "DeviceControllerDispatcher - Port number %d", param.sip_session_param.remote_sip_addr.ip_port);
  app_foip_mngt__process_event(APP_FOIP__EVT_START, s);
}

enum class MarkResult { kStarted, kWaiting, kNoRecord };

// One look at the session's user-event byte.
MarkResult LookAtMark(const PendingSend& p) {
  app_foip__session_ctx* s = app_foip_mngt__get_session_ctx(p.session_id);
  if (!s) return MarkResult::kNoRecord;
  switch (s->usr_evt) {
    case APP_FOIP__USR_EVT_START:
      ProgramLog(1, "DeviceControllerDispatcher - APP_FOIP__USR_EVT_START");
      CompleteSend(s, p.packet);
      return MarkResult::kStarted;
    case APP_FOIP__USR_EVT_STOP:
      ProgramLog(1, "DeviceControllerDispatcher - APP_FOIP__USR_EVT_STOP");
      s->usr_evt = APP_FOIP__NO_USR_EVT;
      app_foip_mngt__process_event(APP_FOIP__EVT_STOP, s);
      return MarkResult::kWaiting;
    default: ProgramLog(1, "DeviceControllerDispatcher - APP_FOIP__NO_USR_EVT"); return MarkResult::kWaiting;
  }
}

// A send whose start never showed: aborted, no answer.
void AbandonSend(const PendingSend& p) {
  if (DeviceEntry* e = GetEntryInfo(p.packet.device_id)) {
    DeviceEntry copy = *e;
    copy.abort_state = ABORT_SEND_NOT_STARTED;
    UpdateEntry(copy);
  }
  if (AbortFax(p.session_id) != STATUS_OK)
    ProgramLog(6, "DeviceControllerDispatcher - Abort call failed in ProcessSendFax for device %d", p.packet.device_id);
  ProgramLog(5, "Unable to send fax message for device %d, recipient %s, filename %s", p.packet.device_id,
             p.packet.telephone, p.packet.file_name);
}

// The reply slot of a registered device, copied under the table lock; false
// when the device is unknown or has no slot.
bool CopyReplySlot(u16 device_id, char (&slot)[87]) {
  Hold hold(app_foip__lock());
  DeviceEntry* e = GetEntryInfo(device_id);
  if (!e || !e->reply_slot[0]) return false;
  std::memcpy(slot, e->reply_slot, sizeof slot);
  return true;
}

// Sends a reply packet of Size bytes to a registered device controller's
// slot: `sender` names the routine in the call log line, `fill` sets the
// packet's fields (and logs them) once the slot is known, `what` names the
// packet in the failure log line ("" or "ring-in ", ...).
template <std::size_t Size, class P, class Fill>
StatusWord SendReply(u16 device_id, const char* sender, const char* what, std::size_t (*write)(const P&, u8*),
                     Fill fill) {
  ProgramLog(2, "%s() called", sender);
  char slot[87] = "";
  if (!CopyReplySlot(device_id, slot)) return STATUS_BAD_ARGUMENT;
  P p;
  p.device_id = device_id;
  fill(p);
  u8 out[Size];
  const std::size_t n = write(p, out);
  const StatusWord r = MsgSendRequest(slot, 1, out, static_cast<u16>(n), 0);
  if (r != STATUS_OK)
    ProgramLog(5, "Error sending %spacket to device controller. DeviceID: %d ErrorCode: %d", what, device_id, r);
  return r;
}

}  // namespace

u64 HostNowMs() {
  using namespace std::chrono;
  return u64(duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void ReadGatewaySettings(foip__session_param& param) {
  const std::string path = platform::ToLinuxPath(std::string(SystemParameters().SystemArea) + "K-DB\\SETUP.INI");
  FILE* f = std::fopen(path.c_str(), "rb");
  if (!f) {
    ProgramLog(5, "Unable to update configuration settings before send");
    return;
  }
  char line[kIniLineSize];
  long para = 0;
  if (!IniFindParagraph(f, "[TESSALY]", line, sizeof line, &para)) {
    ProgramLog(5, "TESSALY paragraph not found in SETUP.INI");
    (void)std::fclose(f);
    return;
  }
  foip__full_ip_addr& remote = param.sip_session_param.remote_sip_addr;
  remote.ip_addr.ip_family = OM_IP_FAMILY_V4;
  char value[kIniLineSize] = "";
  if (IniGetString(f, "SIPGatewayAddress:", value, sizeof value, para) && value[0]) {
    ProgramLog(1, "Setting Gateway IP Address to: %s", value);
    // Only four dotted decimal numbers of 0 to 255 make an address; anything
    // else leaves the session's own gateway address in place.
    u32 address = 0;
    if (foip__parse_ipv4(value, &address)) foip__set_ipv4(remote.ip_addr, address);
    else ProgramLog(5, "Invalid SIPGatewayAddress in SETUP.INI: %s", value);
  }
  value[0] = 0;
  if (IniGetString(f, "SIPGatewayPort:", value, sizeof value, para) && value[0]) {
    ProgramLog(1, "Setting Gateway Port to: %s", value);
    // A port is 1 to 65535 in decimal; a larger number is not cut down.
    char* end = nullptr;
    errno = 0;
    const unsigned long port = std::strtoul(value, &end, 10);
    if (errno == 0 && end != value && *end == '\0' && value[0] >= '0' && value[0] <= '9' && port >= 1 && port <= 65535)
      remote.ip_port = static_cast<u16>(port);
    else ProgramLog(5, "Invalid SIPGatewayPort in SETUP.INI: %s", value);
  }
  ProgramLog(1, "Completed reading settings from setup.ini");
  (void)std::fclose(f);
}

void SetSendStartWait(u32 ms) {
  Hold hold(app_foip__lock());
  g_send_start_wait_ms = ms;
}

int InitialisePipeInterface() {
  std::lock_guard<std::mutex> hold(g_pipe_mutex);
  const StatusWord r = MsgMakePipe("TESSALY", 0, &g_pipe);
  if (r != STATUS_OK) {
    ProgramLog(5, "Error 0x%X creating message pipe", r);
    ProgramLog(4, "The Korvane Server may already be running - check Task Manager");
    return 0;
  }
  return 1;
}

void DestroyPipeInterface() {
  ProgramLog(2, "Destroying pipe interface");
  std::lock_guard<std::mutex> hold(g_pipe_mutex);
  MsgClosePipe(&g_pipe);
}

bool PipeInterfaceValid() {
  std::lock_guard<std::mutex> hold(g_pipe_mutex);
  return g_pipe.valid();
}

u16 ProcessDeviceControllerRequests() {
  for (;;) {
    u8 buffer[kTessalyRequestMaxSize];
    u16 length = 0;
    StatusWord r;
    {
      std::lock_guard<std::mutex> hold(g_pipe_mutex);
      if (!g_pipe.valid()) return 0;
      r = MsgReadRequest(g_pipe, buffer, sizeof buffer, &length);
    }
    if (r != STATUS_OK) {
      if (r != STATUS_NOTHING_WAITING) ProgramLog(5, "Error getting request packet - 0x%X", r);
      return 0;
    }
    if (DispatchPacket(buffer, length) == kDispatchShutdown) return kDispatchShutdown;
    std::this_thread::yield();
  }
}

u16 DispatchPacket(const u8* packet, std::size_t size) {
  ServerPacketHeader h;
  ReadServerPacketHeader(packet, size, &h);
  if (size >= 6 && h.packet_class == RT_SHUTDOWN) {
    ProgramLog(1, "DeviceControllerDispatcher - RT_SHUTDOWN packet received, changed to RT_TESSALY shutdown packet");
    h.packet_class = RT_TESSALY;
    h.type = RST_TESSALY_SHUTDOWN;
  } else if (size >= 6 && h.packet_class == RT_TESSALY) {
    ProgramLog(1, "DeviceControllerDispatcher - RT_TESSALY packet received");
  }
  const int want = RequestLength(h.type);
  const bool length_ok = want < 0 ? size >= 8 : want == 0 ? size >= kShutdownMinSize : size == std::size_t(want);
  if (size < 6 || h.packet_class != RT_TESSALY || !length_ok) {
    ProgramLog(4, "Invalid packet received");
    return 0;
  }
  Hold hold(app_foip__lock());
  if (h.type != RST_TESSALY_REGISTER_DEVICE && h.type != RST_TESSALY_SHUTDOWN && !EntryExists(h.device_id)) {
    ProgramLog(5, "Device controller with id %d is not registered with TESSALY", h.device_id);
    (void)SendFaxStatusPacket(h.device_id, FAX_STATUS_REQUEST_FAILED, nullptr, 0, 1);
    return 0;
  }
  if (const RequestKind* k = FindRequest(h.type)) ProgramLog(1, "DeviceControllerDispatcher - %s received", k->name);
  switch (h.type) {
    case RST_TESSALY_REGISTER_DEVICE: {
      RegisterDevicePacket p;
      if (!ReadRegisterDevice(packet, size, &p)) break;
      const bool done = ProcessRegisterDeviceController(p) == STATUS_OK;
      if (!done) ProgramLog(4, "Problem encountered registering device %d", p.device_id);
      AnswerOutcome(
          p.device_id, done, 1, "Error sending fax status packet in response to RST_TESSALY_REGISTER_DEVICE",
          "Error sending fax status packet in response to RST_TESSALY_REGISTER_DEVICE after registration problem");
      break;
    }
    case RST_TESSALY_SEND_FAX: {
      SendFaxPacket p;
      if (!ReadSendFax(packet, size, &p)) break;
      const StatusWord r = ProcessSendFax(p);
      if (r == STATUS_OK) {
        Answer(p.device_id, FAX_STATUS_REQUEST_DONE, 2,
               "Error sending fax status packet in response to RST_TESSALY_SEND_FAX");
      } else if (r != kSendPending) {
        ProgramLog(5, "Unable to send fax message for device %d, recipient %s, filename %s", p.device_id, p.telephone,
                   p.file_name);
        // The controller learns it at once instead of waiting for an answer.
        Answer(p.device_id, FAX_STATUS_REQUEST_FAILED, 2,
               "Error sending fax status packet in response to RST_TESSALY_SEND_FAX after a failed start");
      }
      break;
    }
    case RST_TESSALY_RECV_FAX: {
      RecvFaxPacket p;
      if (!ReadRecvFax(packet, size, &p)) break;
      const bool done = ProcessReceiveFax(p) == STATUS_OK;
      if (!done) ProgramLog(5, "Unable to receive fax message for device %d, filename %s", p.device_id, p.file_name);
      AnswerOutcome(p.device_id, done, 3, "Error sending fax status packet responding to RST_TESSALY_RECV_FAX",
                    "Error sending fax status packet responding to RST_TESSALY_RECV_FAX after failed processing of "
                    "received fax",
                    5);
      break;
    }
    case RST_TESSALY_ABORT_FAX:
      if (ProcessAbortFax(h.device_id) != STATUS_OK)
        Answer(h.device_id, FAX_STATUS_REQUEST_FAILED, 4,
               "Error sending fax status packet responding to RST_TESSALY_ABORT_FAX");
      break;
    case RST_TESSALY_DEVICE_STATUS: {
      u16 receive = 0;
      if (!ReadDeviceStatus(packet, size, &receive)) break;
      (void)ProcessDeviceStatus(h.device_id, receive);
      Answer(h.device_id, FAX_STATUS_REQUEST_DONE, 5,
             "Error sending fax status packet responding to RST_TESSALY_DEVICE_STATUS");
      break;
    }
    case RST_TESSALY_SHUTDOWN: return kDispatchShutdown;
    default: ProgramLog(4, "Unrecognised message passed into TESSALY pipe (0x%X)", h.type); break;
  }
  return 0;
}

StatusWord ProcessRegisterDeviceController(const RegisterDevicePacket& p) {
  ProgramLog(2, "DeviceControllerDispatcher - ProcessRegisterDeviceController() called");
  // A send still waiting for its start belongs to the controller's earlier
  // life: it is abandoned with the entry's reset.
  Hold hold(app_foip__lock());
  if (RegisterDeviceEntry(p) != 1) return kRegistrationRefused;
  if (DeviceEntry* e = GetEntryInfo(p.device_id)) {
    for (auto it = g_pending.begin(); it != g_pending.end();) {
      if (it->session_id == e->session_id) {
        (void)AbortFax(it->session_id);
        it = g_pending.erase(it);
      } else {
        ++it;
      }
    }
  }
  return STATUS_OK;
}

StatusWord ProcessDeviceStatus(u16 device_id, u16 receive_enabled) {
  ProgramLog(2, "DeviceControllerDispatcher - ProcessDeviceStatus() called");
  ProgramLog(1, "DeviceControllerDispatcher - ProcessDeviceStatus packet information: %d, %d", device_id,
             receive_enabled);
  Hold hold(app_foip__lock());
  DeviceEntry* e = GetEntryInfo(device_id);
  if (!e) return kNoSessionRecord;
  DeviceEntry copy = *e;
  copy.receive_enabled = receive_enabled;
  copy.session_active = 0;
  copy.abort_state = ABORT_NONE;
  UpdateEntry(copy);
  FreeEntryFaxFile(e);
  app_foip__session_ctx* s = app_foip__get_session_ctx(e->session_id);
  if (!s) return kNoSessionRecord;
  s->direction = receive_enabled ? FOIP__DIR_IN : FOIP__DIR_OUT;
  return STATUS_OK;
}

StatusWord ProcessSendFax(const SendFaxPacket& p) {
  ProgramLog(2, "DeviceControllerDispatcher - ProcessSendFax() called");
  ProgramLog(1, "DeviceControllerDispatcher - ProcessSendFax packet information: %d, %s, %s, %s, %s", p.device_id,
             p.file_name, p.folder, p.telephone, p.sender_csid);
  Hold hold(app_foip__lock());
  DeviceEntry* e = GetEntryInfo(p.device_id);
  if (!e) return kSendNotStarted;
  if (e->session_id >= GetMaxSessions()) {
    ProgramLog(5, "Device controller %d has session %d but TESSALY has sessions 1 to %d only", p.device_id,
               e->session_id, GetMaxSessions() - 1);
    return kSendNotStarted;
  }
  if (std::strlen(p.folder) + std::strlen(p.file_name) >= FOIP__FNAME_MAX_LEN) {
    ProgramLog(5, "DeviceControllerDispatcher - file path too long: %s%s", p.folder, p.file_name);
    return kSendNotStarted;
  }
  DeviceEntry copy = *e;
  copy.session_active = 1;
  copy.page_sent = copy.page_received = copy.call_open = copy.fax_connected = 0;
  UpdateEntry(copy);
  const u16 session_id = e->session_id;
  if (app_foip__session_ctx* s = app_foip__get_session_ctx(session_id); s && s->direction != FOIP__DIR_OUT)
    s->direction = FOIP__DIR_OUT;
  const char* text = "";
  if (__app_foip__start_checked(session_id, &text) != OM_OS_OK) {
    ProgramLog(5, "Error starting FOIP session: %d in device controller. Error: %s", session_id, text);
    copy = *e;
    copy.session_active = 0;
    copy.abort_state = ABORT_NONE;
    UpdateEntry(copy);
    return kSendNotStarted;
  }
  ProgramLog(1, "DeviceControllerDispatcher - ProcessSendFax received for device %d\tfile %s%s\tRecipient %s",
             p.device_id, p.folder, p.file_name, p.telephone);
  PendingSend pending{p, session_id, HostNowMs() + g_send_start_wait_ms};
  // The lock is held since the start: the mark is seen before the
  // application's poll can take it.
  switch (LookAtMark(pending)) {
    case MarkResult::kStarted: return STATUS_OK;
    case MarkResult::kNoRecord:
    case MarkResult::kWaiting: break;
  }
  g_pending.push_back(pending);
  return kSendPending;
}

void ServicePendingSends(u64 now_ms) {
  Hold hold(app_foip__lock());
  for (auto it = g_pending.begin(); it != g_pending.end();) {
    const MarkResult r = LookAtMark(*it);
    if (r == MarkResult::kStarted) {
      Answer(it->packet.device_id, FAX_STATUS_REQUEST_DONE, 2,
             "Error sending fax status packet in response to RST_TESSALY_SEND_FAX");
      it = g_pending.erase(it);
    } else if (now_ms >= it->deadline_ms) {
      AbandonSend(*it);
      it = g_pending.erase(it);
    } else {
      ++it;
    }
  }
}

std::size_t PendingSendCount() {
  Hold hold(app_foip__lock());
  return g_pending.size();
}

void ClearPendingSends() {
  Hold hold(app_foip__lock());
  g_pending.clear();
}

StatusWord ProcessReceiveFax(const RecvFaxPacket& p) {
  ProgramLog(2, "DeviceControllerDispatcher - ProcessReceiveFax() called");
  ProgramLog(1, "DeviceControllerDispatcher - ProcessReceiveFax packet information: %d, %d, %s, %s", p.device_id,
             int(p.accept), p.folder, p.file_name);
  Hold hold(app_foip__lock());
  DeviceEntry* e = GetEntryInfo(p.device_id);
  if (!e || !e->call || !e->call_address) {
    ProgramLog(4, "app_foip - Unable to retrieve info for FOIP__ALERT_IN\n");
    if (e && e->call && e->call_address) Reject(*e->call, *e->call_address);
    return kNoWaitingCall;
  }
  const std::shared_ptr<foip__alert> call = e->call;
  const CallAddress address = *e->call_address;
  ProgramLog(1, "DeviceControllerDispatcher - device entry found!");
  ProgramLog(1, "DeviceControllerDispatcher - nai = %d, conn_id = %d", address.nai, address.conn_id);
  if (p.accept != 1) {
    ProgramLog(4, "Device is not available for receive, Device ID: %d\n", p.device_id);
    Reject(*call, address);
    ReleaseRejectedCall(e);
    return STATUS_OK;
  }
  app_foip__session_ctx* s = nullptr;
  for (app_foip__session_ctx* it = app_foip_mngt__next_session_ctx(nullptr); it;
       it = app_foip_mngt__next_session_ctx(it)) {
    if (it->nai == e->session_id && it->direction == FOIP__DIR_IN && it->state == APP_FOIP__ST_IDLE) {
      s = it;
      break;
    }
  }
  if (!s) {
    Reject(*call, address);
    ReleaseRejectedCall(e);
    return STATUS_OK;
  }
  app_foip__glb_ctx& g = app_foip__ctx();
  const u8* caller = call->remote_addr.ip_addr.addr.v4.addr;
  const u8* gateway = s->param().sip_session_param.remote_sip_addr.ip_addr.addr.v4.addr;
  int which = 0;
  if (std::memcmp(caller, gateway, 4) != 0) {
    ProgramLog(1, "IP address differs from specified gateway IP");
    which = 1;
  }
  if (!app_foip_cnf__reload_session(g.cnf, *s->cnf, which)) {
    om_os_trap(30005);
    return 3;
  }
  const u8* a = s->param().sip_session_param.remote_sip_addr.ip_addr.addr.v4.addr;
  ProgramLog(1, "IP Address from context: %d.%d.%d.%d", a[0], a[1], a[2], a[3]);
  s->usr_evt = APP_FOIP__NO_USR_EVT;
  ProgramLog(1, "DeviceControllerDispatcher - setting fax file path and name to %s, %s", p.folder, p.file_name);
  SafeStrncpy(s->param().fax_rcv_pg.sz_tiff_fname_rcv_fax_pg, (std::string(p.folder) + p.file_name).c_str(),
              FOIP__FNAME_MAX_LEN);
  s->param().fax_common_param.keep_bit_order__rx = 1;
  app_foip_mngt__accept_reject_sip_incoming_call(*call, address.nai, address.sapi, address.conn_id, s);
  return STATUS_OK;
}

StatusWord ProcessAbortFax(u16 device_id) {
  ProgramLog(2, "DeviceControllerDispatcher - ProcessAbortFax() called");
  ProgramLog(1, "DeviceControllerDispatcher - ProcessAbortFax packet information: %d", device_id);
  Hold hold(app_foip__lock());
  DeviceEntry* e = GetEntryInfo(device_id);
  if (!e || e->session_active != 1) return kNoActiveSession;
  DeviceEntry copy = *e;
  copy.abort_state = ABORT_BY_CONTROLLER;
  UpdateEntry(copy);
  // A send still waiting for its start is not waited for any longer.
  for (auto it = g_pending.begin(); it != g_pending.end();)
    it = it->session_id == e->session_id ? g_pending.erase(it) : it + 1;
  return AbortFax(e->session_id);
}

StatusWord ProcessTESSALYShutdown(int max_passes, unsigned pause_ms) {
  ProgramLog(2, "DeviceControllerDispatcher - ProcessTESSALYShutdown() called");
  for (int pass = 0; CountActiveSessions() > 0; ++pass) {
    if (pass >= max_passes) {
      ProgramLog(4, "DeviceControllerDispatcher - %d sessions still active, shutting down", CountActiveSessions());
      break;
    }
    (void)ProcessDeviceControllerRequests();
    ServicePendingSends(HostNowMs());
    std::this_thread::sleep_for(std::chrono::milliseconds(pause_ms));
  }
  ClearPendingSends();
  const char* text = "";
  if (__app_foip__exit(&text) != OM_OS_OK) {
    ProgramLog(5, "Error processing TESSALY shutdown message. Error code: %s", text);
    return kNoSessionRecord;
  }
  DestroyPipeInterface();
  return STATUS_OK;
}

StatusWord SendFaxStatusPacket(u16 device_id, u16 kind, const char* text, int text_length, u16 value) {
  return SendReply<kFaxStatusSize>(device_id, "SendFaxStatusPacket", "", WriteFaxStatus, [&](FaxStatusPacket& p) {
    p.kind = kind;
    p.value = value;
    if (text && text_length > 0)
      (void)std::snprintf(p.text, sizeof p.text, "%.*s", text_length > 255 ? 255 : text_length, text);
    ProgramLog(1, "Fax status packet: device %d kind %d value %d text %s", device_id, kind, value, p.text);
  });
}

StatusWord SendReceiveConnectedPacket(u16 device_id, const char* remote_csid, const char* did) {
  return SendReply<kReceiveConnectedSize>(
      device_id, "SendReceiveConnectedPacket", "receive connected ", WriteReceiveConnected,
      [&](ReceiveConnectedPacket& p) {
        (void)std::snprintf(p.remote_csid, sizeof p.remote_csid, "%.40s", remote_csid ? remote_csid : "");
        (void)std::snprintf(p.did, sizeof p.did, "%.40s", did ? did : "");
        ProgramLog(1, "Receive connected packet: device %d CSID %s DID %s", device_id, p.remote_csid, p.did);
      });
}

StatusWord SendRingInPacket(u16 device_id, const char* called, const char* caller_number, const char* caller_address) {
  return SendReply<kRingInSize>(device_id, "SendRingInPacket", "ring-in ", WriteRingIn, [&](RingInPacket& p) {
    (void)std::snprintf(p.called, sizeof p.called, "%s", called ? called : "");
    (void)std::snprintf(p.caller_number, sizeof p.caller_number, "%s", caller_number ? caller_number : "");
    (void)std::snprintf(p.caller_address, sizeof p.caller_address, "%s", caller_address ? caller_address : "");
    ProgramLog(1, "Ring-in packet: device %d called %s caller %s address %s", device_id, p.called, p.caller_number,
               p.caller_address);
  });
}

u16 GetAcuErrorCode(u8 cause) {
  ProgramLog(1, "ACU error code of %d", cause);
  switch (cause) {
    case 'T':
    case 's': return STATUS_FAX_NO_CONNECTION;
    case 'a': return STATUS_FAX_NOT_ANSWERED;
    case 'b':
    case 'c': return STATUS_FAX_ENGAGED;
    case 'h': return STATUS_FAX_INCOMPLETE;
    case 'l': return STATUS_FAX_BUSY;
    case 'p': return STATUS_FAX_NO_DIAL_TONE;
    default: return STATUS_FAX_FAILED;
  }
}

u16 GetSipErrorCode(u16 status) {
  ProgramLog(1, "SIP error code of %d", status);
  switch (status) {
    case 24: return STATUS_FAX_NO_CONNECTION;
    case 484: return STATUS_FAX_NOT_ANSWERED;
    case 486: return STATUS_FAX_ENGAGED;
    case 503: return 28;
    case 600: return STATUS_FAX_ENGAGED;
    default: return STATUS_FAX_FAILED;
  }
}
