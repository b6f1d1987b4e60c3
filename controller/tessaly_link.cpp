// The controller's side of the conversation with tessaly: reply slot,
// registration, requests and their answers, fax status packets and the
// device operations built on them.
#include "controller/tessaly_link.h"

#include <algorithm>
#include <cstring>

#include "common/byte_order.h"
#include "common/ini_reader.h"
#include "common/server_settings.h"
#include "controller/fax_server_link.h"
#include "platform/mailslot.h"
#include "platform/paths.h"

namespace {

constexpr u32 kAnswerLimitMs = 60000;
// While closing down, tessaly's answer is waited for this long only: the
// request has reached its slot, and the program must end promptly, also when
// tessaly hangs or is slow to answer an abort.
constexpr u32 kClosedownAnswerLimitMs = 2000;
constexpr u32 kShortStepMs = 500;
constexpr u32 kLongStepMs = 3000;
constexpr u32 kConnectLimitMs = 60000;
constexpr u32 kNoIdentityConnectMs = 40000;
constexpr std::size_t kSenderTelephoneChars = 39;
constexpr std::size_t kSenderCsidChars = 19;
constexpr std::size_t kDialledNumberChars = 40;

// Copies `text` into `out`, at most `chars` characters.
void CopyCut(char* out, std::size_t out_size, const char* text, std::size_t chars) {
  std::size_t n = std::strlen(text);
  if (n > chars) n = chars;
  if (n >= out_size) n = out_size - 1;
  std::memcpy(out, text, n);
  out[n] = '\0';
}

// The fax status kinds that report on a fax session (progress or end), as
// against the answers to a request and the lost-session notice.
bool IsSessionReport(u16 kind) {
  switch (kind) {
    case FAX_STATUS_FAX_SENT:
    case FAX_STATUS_FAX_RECEIVED:
    case FOIP_STATUS_FAX_NOT_SENT:
    case FAX_STATUS_CONNECTED:
    case FOIP_STATUS_FAX_NOT_CONNECTED:
    case FAX_STATUS_FAX_NOT_RECEIVED:
    case FAX_STATUS_PAGE_SENT:
    case FAX_STATUS_PAGE_RECEIVED:
    case FAX_STATUS_CALL_CONNECTED: return true;
    default: return false;
  }
}

}  // namespace

void TessalyLink::SetFOIPStatus(FoipStatusValue value) {
  foip_status_ = value;
  ctx_.device_log.Write(1, "FOIPStatus changed to %d", value);
}

void TessalyLink::ClearCallFields() { did_[0] = sub_address_[0] = caller_number_[0] = remote_csid_[0] = '\0'; }

int TessalyLink::InitialiseDevice(int kind) {
  ctx_.device_log.InitLogFile(SystemParameters().LogFile);
  ctx_.device_log.Write(1, "InitialiseDevice()");
  int r = InitialiseFOIPDevice(kind);
  if (r != 0) {
    ctx_.device_log.Write(1, "Error connecting to TESSALY");
    return r;
  }
  (void)std::snprintf(receive_file_, sizeof receive_file_, "t%d01.TIF", ctx_.id.channel);
  return 0;
}

int TessalyLink::InitialiseFOIPDevice(int /*kind*/) {
  ClearCallFields();
  // The reply slot: "F" + the request slot name.
  (void)std::snprintf(reply_slot_, sizeof reply_slot_, "F%s", ctx_.id.request_slot);
  if (ctx_.closedown) return 0;
  int r = InitTESSALYMessagePipe();
  if (r != 0) {
    CtlLog(6, "Failed to initialise TESSALY message pipe");
    return r;
  }
  if (RegisterDeviceWithTESSALY() != 0) {
    CtlLog(4, "Failed to register. Device will be re-registered");
    if (RegisterDeviceWithTESSALY() != 0) {
      CtlLog(6, "Failed to register device with TESSALY");
      ctx_.status_word = STATUS_REGISTER_FAILED;
      return PERC_FAX_NOT_CONNECTED;
    }
  }
  return 0;
}

int TessalyLink::InitTESSALYMessagePipe() {
  if (!reply_handle_.valid()) {
    StatusWord st = MsgMakePipe(reply_slot_, 0, &reply_handle_);
    if (st != 0) {
      CtlLog(6, "FATAL Error 0x%X creating message queue '%s'", st, reply_slot_);
      ctx_.status_word = STATUS_REGISTER_FAILED;
      return PERC_FAX_NOT_CONNECTED;
    }
    ctx_.clock->Watch(fax_server_.request_fd(), reply_handle_.fd);
  }
  u8 buffer[kTessalyReplyMaxSize];
  u16 length = 0;
  while (MsgReadRequest(reply_handle_, buffer, sizeof buffer, &length) == 0)
    CtlLog(5, "Found stray message to pipe when pipe hasn't been set up yet");
  return 0;
}

int TessalyLink::RegisterDeviceWithTESSALY() {
  ctx_.device_log.Write(1, "Registering device with TESSALY");
  ring_in_flag_ = false;
  RegisterDevicePacket p;
  p.device_id = ctx_.id.device_id;
  SafeStrncpy(p.reply_slot, reply_slot_, sizeof p.reply_slot);
  u8 packet[kRegisterDeviceSize];
  WriteRegisterDevice(p, packet);
  tessaly_holder_ = platform::MailslotHolder("TESSALY");
  tessaly_missing_logged_ = false;
  // A registration re-registers nothing itself: the flag is looked at again
  // by the next request.
  const bool outer = !registering_;
  registering_ = true;
  int r = SendPacketToTESSALY(packet, sizeof packet);
  if (r != 0) {
    if (outer) registering_ = false;
    ctx_.status_word = STATUS_REGISTER_FAILED;
    return PERC_FAX_NOT_CONNECTED;
  }
  SetFOIPStatus(FOIP_READY);
  SendReceiveStatusToTESSALY(ctx_.config.receive_wanted);
  if (outer) registering_ = false;
  return 0;
}

int TessalyLink::SendPacketToTESSALY(u8* packet, u16 length) {
  request_in_progress_ = true;
  StatusWord st = MsgSendRequest("TESSALY", 10, packet, length, 0);
  int r;
  if (st != 0) {
    if (!ctx_.closedown) CtlLog(5, "Error 0x%X sending message to TESSALY", st);
    r = st;
  } else {
    const int type = packet[kServerPacketTypeOffset];
    r = WaitForTESSALYPacketResponse(type, type == RST_TESSALY_ABORT_FAX);
  }
  request_in_progress_ = false;
  return r;
}

int TessalyLink::WaitForTESSALYPacketResponse(int expected, bool abort) {
  ctx_.device_log.Write(1, "WaitForTESSALYPacketResponse %d. Is Abort Packet: %s", expected, abort ? "Yes" : "No");
  const u32 start = ctx_.clock->NowMs();
  const u32 limit = ctx_.closedown ? kClosedownAnswerLimitMs : kAnswerLimitMs;
  // A pause never reaches past the limit.
  auto step = [&](u32 ms) {
    const u32 spent = ctx_.clock->NowMs() - start;
    return spent >= limit ? 1 : std::min(ms, limit - spent);
  };
  while (!ctx_.Elapsed(start, limit)) {
    int r = CheckTESSALYPackets();
    ctx_.device_log.Write(1, "Returned %d for Check TESSALY in waiting for response", r);
    if (r == PERC_FAX_ERROR && TessalyLost()) {
      // The request went to a tessaly that no longer runs, or to one that
      // started since and does not know this device: no answer will come.
      reregister_ = true;
      return r;
    }
    if ((expected == RST_TESSALY_REGISTER_DEVICE || expected == RST_TESSALY_DEVICE_STATUS) && r != kPacketStored &&
        r != PERC_INCOMING_CALL) {
      ctx_.clock->Pause(step(kShortStepMs), ControllerClock::kWakeOnReply);
      continue;
    }
    if (r == kPacketStored || r == PERC_INCOMING_CALL) {
      const u8 type = last_packet_[kServerPacketTypeOffset];
      FaxStatusPacket fs;
      const bool is_status = ReadFaxStatus(last_packet_, last_packet_size_, &fs);
      ctx_.device_log.Write(1, "Packet subtype %d, status %d, numerical param %d, expected result %d", type,
                            is_status ? fs.kind : 0, is_status ? fs.value : 0, expected);
      if (is_status && fs.kind == FAX_STATUS_REQUEST_FAILED && fs.value == RST_TESSALY_REGISTER_DEVICE &&
          expected != RST_TESSALY_REGISTER_DEVICE) {
        // The refusal of a tessaly that does not know this device (one
        // started since the registration): register again.
        CtlLog(4, "TESSALY does not know this device - it will be registered again");
        reregister_ = true;
        ctx_.status_word = STATUS_FAX_OFFLINE;
        return PERC_COMMAND_REJECTED;
      }
      if (!abort && is_status && IsSessionReport(fs.kind)) {
        // A report of a session is never the answer: it is the end of a call
        // that was given up while this request was on its way (its ring-in
        // answered late).  Taken for the answer, it would leave the real one
        // in the slot, to be read as the answer to the next request, and
        // every request after it one answer behind.  A lost session (15)
        // still fails the request and registers the device again.
        ctx_.device_log.Write(1, "Fax status %d of an ended session discarded while waiting for TESSALY response",
                              fs.kind);
        continue;
      }
      if (is_status && fs.value == expected) {
        if (fs.kind == FAX_STATUS_REQUEST_DONE) return 0;
        ctx_.status_word = STATUS_FAX_OFFLINE;
        return PERC_COMMAND_REJECTED;
      }
      if (!abort) {
        if (type == TESSALY_RING_IN) {
          ctx_.device_log.Write(1, "Ring-in detected while waiting for TESSALY response");
          ring_in_flag_ = true;
          continue;
        }
        reregister_ = true;
        ctx_.status_word = STATUS_FAX_OFFLINE;
        return PERC_UNABLE_TO_CONNECT;
      }
      ctx_.device_log.Write(1, "Discarding packet while waiting for abort");
    }
    ctx_.clock->Pause(step(kLongStepMs), ControllerClock::kWakeOnReply);
  }
  CtlLog(4, "Timed out while waiting for acknowledgement from TESSALY");
  reregister_ = true;
  ctx_.status_word = STATUS_FAX_TIMEOUT;
  return PERC_FAX_ERROR;
}

void TessalyLink::StoreLastPacket(const u8* data, std::size_t size) {
  std::memset(last_packet_, 0, sizeof last_packet_);
  last_packet_size_ = size < sizeof last_packet_ ? size : sizeof last_packet_;
  std::memcpy(last_packet_, data, last_packet_size_);
}

void TessalyLink::StoreStatus(const FaxStatusPacket& p) {
  WriteFaxStatus(p, last_packet_);
  last_packet_size_ = kFaxStatusSize;
}

int TessalyLink::CheckTESSALYPackets() {
  if (!reply_handle_.valid()) return 0;
  for (;;) {
    u8 buffer[kTessalyReplyMaxSize];
    u16 length = 0;
    if (MsgReadRequest(reply_handle_, buffer, sizeof buffer, &length) != 0) {
      // Something in hand on tessaly's side (a request, a fax, a call it
      // offered) is lost with the process that held it.
      if ((request_in_progress_ || foip_status_ != FOIP_READY || jobs_.JobInHand()) && TessalyLost()) {
        CtlLog(5, "TESSALY has gone - the request or fax in hand is lost");
        tessaly_went_ = true;
        ctx_.status_word = STATUS_FAX_TIMEOUT;
        return PERC_FAX_ERROR;
      }
      return 0;
    }
    int r = HandleTessalyPacket(buffer, length);
    if (r != kReadOn) return r;
  }
}

int TessalyLink::HandleTessalyPacket(const u8* data, std::size_t size) {
  ServerPacketHeader h;
  ReadServerPacketHeader(data, size, &h);
  if (h.packet_class != RT_TESSALY_REPLY) return 0;  // the read stops here
  if (h.device_id != 0 && h.device_id != ctx_.id.device_id) {
    CtlLog(4, "Request received for previous device (%u)", h.type);
    return kReadOn;
  }
  ctx_.device_log.Write(1, "Packet received: %d", h.type);
  switch (h.type) {
    case TESSALY_FAX_STATUS: {
      FaxStatusPacket p;
      if (!ReadFaxStatus(data, size, &p)) break;
      if (request_in_progress_) {
        StoreLastPacket(data, size);
        return kPacketStored;
      }
      return ProcessFaxStatusPacket(p);
    }
    case TESSALY_RECEIVE_CONNECTED: {
      ReceiveConnectedPacket p;
      if (!ReadReceiveConnected(data, size, &p)) break;
      StoreLastPacket(data, size);
      return kPacketStored;
    }
    case TESSALY_RING_IN: {
      RingInPacket p;
      if (!ReadRingIn(data, size, &p)) break;
      ctx_.device_log.Write(1, "Ring-in packet from %s", p.caller_address);
      StoreLastPacket(data, size);
      ring_in_record_ = p;
      ring_in_flag_ = true;
      return PERC_INCOMING_CALL;
    }
    default:
      CtlLog(5, "Invalid request subtype received (%d)", h.type);
      ctx_.clock->Pause(10, 0);
      return kReadOn;
  }
  CtlLog(5, "Packet of type %d too short (%zu bytes) - ignored", h.type, size);
  return kReadOn;
}

int TessalyLink::CheckRingIn() {
  if (ring_in_flag_) return PERC_INCOMING_CALL;
  return CheckTESSALYPackets() == PERC_INCOMING_CALL ? PERC_INCOMING_CALL : 0;
}

int TessalyLink::ProcessFaxStatusPacket(const FaxStatusPacket& p) {
  StatusWord value = p.value;
  switch (p.kind) {
    case FAX_STATUS_FAX_SENT:
      CtlLog(3, "Fax sent successfully");
      SetFOIPStatus(FOIP_READY);
      return 0;
    case FAX_STATUS_FAX_RECEIVED:
      ctx_.device_log.Write(1, "Fax received successfully");
      StoreStatus(p);
      SetFOIPStatus(FOIP_FAX_RECEIVED);
      return 0;
    case FOIP_STATUS_FAX_NOT_SENT:
      CtlLog(5, "Failed to send fax");
      ctx_.device_log.Write(1, "Error code returned from TESSALY: %d", value);
      ctx_.device_log.Write(1, "Returning for FOIP_STATUS_FAX_NOT_SENT status %d", value);
      ctx_.status_word = value ? value : STATUS_FAX_NOT_SENT_DEFAULT;
      SetFOIPStatus(FOIP_READY);
      SendReceiveStatusToTESSALY(ctx_.config.receive_wanted);
      return FOIPErrorToPERC(value);
    case FAX_STATUS_CONNECTED:
      ctx_.device_log.Write(1, "Connected");
      StoreStatus(p);
      return 0;
    case FOIP_STATUS_FAX_NOT_CONNECTED:
      CtlLog(5, "Failed to connect to: %s", send_info_.telephone);
      ctx_.device_log.Write(1, "Error code returned from TESSALY: %d", value);
      ctx_.device_log.Write(1, "Returning for FOIP_STATUS_FAX_NOT_CONNECTED status %d", value);
      ctx_.status_word = value ? value : STATUS_FAX_FAILED;
      SetFOIPStatus(FOIP_READY);
      SendReceiveStatusToTESSALY(ctx_.config.receive_wanted);
      return FOIPErrorToPERC(value);
    case FAX_STATUS_FAX_NOT_RECEIVED:
      CtlLog(5, "Fax not received successfully");
      ctx_.device_log.Write(1, "Error code returned from TESSALY: %d", value);
      ctx_.device_log.Write(1, "Returning for not received status %d", value);
      ctx_.status_word = value ? value : STATUS_FAX_NOT_RECEIVED_DEFAULT;
      StoreStatus(p);
      SetFOIPStatus(FOIP_FAX_NOT_RECEIVED);
      return FOIPErrorToPERC(value);
    case FAX_STATUS_PAGE_SENT:
      ctx_.device_log.Write(1, "Sent page %d of %d", value, send_info_.pages);
      ctx_.current_page = value;
      pages_confirmed_ = value;
      if (value == send_info_.pages) ctx_.device_log.Write(1, "Last page_sent notification received");
      StoreStatus(p);
      return 0;
    case FAX_STATUS_PAGE_RECEIVED:
      ctx_.device_log.Write(1, "Received page %d", value);
      StoreStatus(p);
      return 0;
    case FAX_STATUS_CALL_CONNECTED:
      ctx_.device_log.Write(1, "SIP call connected");
      if (p.text[0]) {
        CtlLog(3, "Direct dial routing '%s' (DID)", p.text);
        CopyCut(did_, sizeof did_, p.text, 60);
      }
      StoreStatus(p);
      return 0;
    default:
      CtlLog(4, "Unknown status type received from TESSALY (%d)", p.kind);
      SetFOIPStatus(FOIP_READY);
      return RegisterDeviceWithTESSALY();
  }
}

int TessalyLink::SendReceiveStatusToTESSALY(int wanted) {
  ctx_.device_log.Write(1, "SendReceiveStatusToTESSALY()");
  if (ctx_.closedown) return 0;
  if (!ctx_.config.receive_wanted) {
    ctx_.device_log.Write(1, "Request to change receive status of send-only device");
    return 0;
  }
  u8 packet[kDeviceStatusSize];
  WriteDeviceStatus(ctx_.id.device_id, (wanted == 1 && !fax_server_.offline_pending()) ? 1 : 0, packet);
  if (wanted) received_pages_ = 0;
  int r = SendPacketToTESSALY(packet, sizeof packet);
  return ReRegisterIfRequired(r);
}

int TessalyLink::ReRegisterIfRequired(int result) {
  // Once per request: a registration in progress does not start another.
  if (reregister_ && !ctx_.closedown && !registering_) {
    ctx_.device_log.Write(1, "Device re-registration required");
    reregister_ = false;
    if (RegisterDeviceWithTESSALY() != 0) CtlLog(6, "Failed to register device with TESSALY");
  }
  return result;
}

int TessalyLink::SendAbortToTESSALY() {
  if (foip_status_ == FOIP_READY) return 0;
  if (!ctx_.closedown && (TessalyLost() || platform::MailslotHolder("TESSALY") == 0)) {
    // The fax ended with the tessaly that held it (or none runs): nothing
    // to abort, and the device must not stay marked busy.
    ctx_.device_log.Write(1, "SendAbortToTESSALY() - TESSALY has gone, nothing to abort");
    SetFOIPStatus(FOIP_READY);
    reregister_ = true;
    return ReRegisterIfRequired(0);
  }
  ctx_.device_log.Write(1, "SendAbortToTESSALY()");
  u8 packet[kAbortFaxSize];
  WriteAbortFax(ctx_.id.device_id, packet);
  int r = SendPacketToTESSALY(packet, sizeof packet);
  if (r == 0) {
    SetFOIPStatus(FOIP_READY);
    SendReceiveStatusToTESSALY(ctx_.config.receive_wanted);
  }
  return ReRegisterIfRequired(r);
}

// The sender number and CSID must fit the send request's fields (39 and 19
// characters); longer values are cut with a warning.  The dialled number
// is checked against its field (40 characters) before it gets here.
void TessalyLink::SetFOIPSendInfo(const SendFOIPInfo& info) {
  ctx_.device_log.Write(1, "SetFOIPSendInfo");
  send_info_ = info;
  if (std::strlen(info.sender_telephone) > kSenderTelephoneChars)
    CtlLog(4, "Sender telephone number too long, cut to %zu characters", kSenderTelephoneChars);
  CopyCut(send_info_.sender_telephone, sizeof send_info_.sender_telephone, info.sender_telephone,
          kSenderTelephoneChars);
  send_info_.sender_csid[0] = '\0';
  AddToFOIPSendInfo("", info.sender_csid);
}

void TessalyLink::AddToFOIPSendInfo(const char* telephone, const char* sender_csid) {
  ctx_.device_log.Write(1, "AddToFOIPSendInfo");
  if (telephone && telephone[0])
    CopyCut(send_info_.telephone, sizeof send_info_.telephone, telephone, kDialledNumberChars);
  if (sender_csid && sender_csid[0]) {
    if (std::strlen(sender_csid) > kSenderCsidChars)
      CtlLog(4, "Sender CSID too long, cut to %zu characters", kSenderCsidChars);
    CopyCut(send_info_.sender_csid, sizeof send_info_.sender_csid, sender_csid, kSenderCsidChars);
  }
}

int TessalyLink::SendFaxToTESSALY(const char* folder, const char* file_name, u16 pages) {
  ctx_.device_log.Write(1, "SendFaxToTESSALY()");
  ctx_.device_log.Write(1, "Tel: %s", send_info_.telephone);
  ctx_.device_log.Write(1, "Sender CSID: %s", send_info_.sender_csid);
  ctx_.device_log.Write(1, "Path: %s", folder);
  ctx_.device_log.Write(1, "FileName: %s", file_name);
  send_info_.pages = pages;
  SendFaxPacket p;
  p.device_id = ctx_.id.device_id;
  SafeStrncpy(p.message_name, send_info_.message_name, sizeof p.message_name);
  p.job_number = send_info_.job_number;
  p.job_sub_number = send_info_.job_sub_number;
  SafeStrncpy(p.folder, folder, sizeof p.folder);
  SafeStrncpy(p.file_name, file_name, sizeof p.file_name);
  SafeStrncpy(p.telephone, send_info_.telephone, sizeof p.telephone);
  SafeStrncpy(p.recipient, send_info_.recipient, sizeof p.recipient);
  p.pages = pages;
  SafeStrncpy(p.sender_telephone, send_info_.sender_telephone, sizeof p.sender_telephone);
  SafeStrncpy(p.sender_name, send_info_.sender_name, sizeof p.sender_name);
  SafeStrncpy(p.sender_csid, send_info_.sender_csid, sizeof p.sender_csid);
  u8 packet[kSendFaxSize];
  WriteSendFax(p, packet);
  int r = SendPacketToTESSALY(packet, sizeof packet);
  return ReRegisterIfRequired(r);
}

int TessalyLink::ProcessRingIn(bool accept) {
  ctx_.device_log.Write(1, "ProcessRingIn");
  RecvFaxPacket p;
  p.device_id = ctx_.id.device_id;
  SafeStrncpy(p.folder, ctx_.config.temp_receive_folder, sizeof p.folder);
  SafeStrncpy(p.file_name, receive_file_, sizeof p.file_name);
  const bool take = accept && foip_status_ == FOIP_READY && ctx_.config.receive_wanted;
  p.accept = take ? 1 : 0;
  u8 packet[kRecvFaxSize];
  WriteRecvFax(p, packet);
  int r = SendPacketToTESSALY(packet, sizeof packet);
  ring_in_flag_ = false;
  if (!take) {
    if (accept) {
      CtlLog(4, "Device not able to receive incoming call");
      ctx_.status_word = STATUS_FAX_BUSY;
      r = PERC_DEVICE_BUSY;
    } else {
      ctx_.status_word = STATUS_CALL_NOT_TAKEN;
      r = PERC_UNABLE_TO_CONNECT;
    }
    SetFOIPStatus(FOIP_READY);
    SendReceiveStatusToTESSALY(ctx_.config.receive_wanted);
  }
  return ReRegisterIfRequired(r);
}

int TessalyLink::WaitForSendConnectedFromTESSALY() {
  const u32 start = ctx_.clock->NowMs();
  while (!ctx_.Elapsed(start, kConnectLimitMs)) {
    last_packet_[kServerPacketTypeOffset] = 0;
    int r = CheckTESSALYPackets();
    if (r == kPacketStored) {
      CtlLog(5, "Unexpected packet while waiting for send connect");
      RegisterDeviceWithTESSALY();
      ctx_.status_word = STATUS_FAX_PORT_ACCESS;
      return PERC_UNABLE_TO_CONNECT;
    }
    if (r > PERC_INCOMING_CALL) return r;
    FaxStatusPacket fs;
    if (r == 0 && ReadFaxStatus(last_packet_, last_packet_size_, &fs)) {
      if (fs.kind == FAX_STATUS_CONNECTED) {
        ctx_.device_log.Write(1, "Send connected message from TESSALY");
        return 0;
      }
      if (fs.kind == FAX_STATUS_CALL_CONNECTED) ctx_.device_log.Write(1, "SIP Connection active");
    }
    // A closedown or an abort from the fax server ends the wait: the job is
    // answered at once instead of after the whole connect wait.
    const int p = fax_server_.ProcessDeviceRequests();
    if (p != 0) {
      ctx_.device_log.Write(1, "Message received - aborting wait");
      return p;
    }
    ctx_.clock->Pause(kLongStepMs, ControllerClock::kWakeOnBoth);
  }
  CtlLog(3, "Timed out while waiting for send connected message from TESSALY");
  SendAbortToTESSALY();
  return ConnectWaitFailed();
}

// A connect wait that ends without a call: the device is ready again, tessaly
// is told whether it receives, and the job ends on a timeout.
int TessalyLink::ConnectWaitFailed() {
  SetFOIPStatus(FOIP_READY);
  SendReceiveStatusToTESSALY(ctx_.config.receive_wanted);
  ctx_.status_word = STATUS_FAX_TIMEOUT;
  return PERC_UNABLE_TO_CONNECT;
}

int TessalyLink::WaitForReceiveConnectedFromTESSALY() {
  const u32 start = ctx_.clock->NowMs();
  bool sip_connected_seen = false;
  while (!ctx_.Elapsed(start, kConnectLimitMs)) {
    last_packet_[kServerPacketTypeOffset] = 0;
    int r = CheckTESSALYPackets();
    if (r == kPacketStored) {
      ReceiveConnectedPacket rc;
      if (ReadReceiveConnected(last_packet_, last_packet_size_, &rc)) {
        ctx_.device_log.Write(1, "Receive connected message from TESSALY");
        return 0;
      }
      CtlLog(5, "Unexpected packet while waiting for receive connect");
      reregister_ = true;
      ctx_.status_word = STATUS_FAX_PORT_ACCESS;
      return PERC_UNABLE_TO_CONNECT;
    }
    if (r > PERC_INCOMING_CALL) return r;
    FaxStatusPacket fs;
    if (ReadFaxStatus(last_packet_, last_packet_size_, &fs)) {
      if (fs.kind == FAX_STATUS_CALL_CONNECTED) sip_connected_seen = true;
      if (fs.kind == FAX_STATUS_FAX_NOT_RECEIVED) {
        ctx_.device_log.Write(1, "Fax not received message from TESSALY before 'receive connected'");
        return ConnectWaitFailed();
      }
    }
    if (sip_connected_seen && ctx_.Elapsed(start, kNoIdentityConnectMs)) {
      ctx_.device_log.Write(1, "Receiving fax connected with no remote ID information");
      return 0;
    }
    // A closedown ends the wait at once: the call tessaly holds for this
    // device is aborted by the receive's end.
    if (fax_server_.ProcessDeviceRequests() != 0 && ctx_.closedown) {
      ctx_.device_log.Write(1, "Message received - aborting wait");
      SetFOIPStatus(FOIP_RECEIVING);
      return PERC_SHUTDOWN_REQUESTED;
    }
    ctx_.clock->Pause(kLongStepMs, ControllerClock::kWakeOnBoth);
  }
  CtlLog(3, "Timed out while waiting for receive connected message from TESSALY");
  SendAbortToTESSALY();
  return ConnectWaitFailed();
}

void TessalyLink::TakeReceiveConnectedInfo() {
  ReceiveConnectedPacket rc;
  if (!ReadReceiveConnected(last_packet_, last_packet_size_, &rc)) return;
  if (rc.did[0]) CopyCut(did_, sizeof did_, rc.did, 60);
  if (rc.remote_csid[0]) {
    CopyCut(remote_csid_, sizeof remote_csid_, rc.remote_csid, 20);
    ctx_.device_log.Write(1, "Obtained CSID of: '%s')", remote_csid_);
  }
}

int TessalyLink::CancelJob() {
  ctx_.device_log.Write(1, "Cancel Job");
  ClearCallFields();
  ctx_.current_page = 0;
  if (ctx_.device_log.mode() == DEVICE_LOG_DEBUG)
    ctx_.device_log.Write(1, "Cancel Job called: device state %u", foip_status_);
  if (foip_status_ == FOIP_READY) return 0;
  int r = SendAbortToTESSALY();
  ctx_.device_log.Write(1, "SendAbortToTESSALY returned %d", r);
  if (r == 0) {
    jobs_.DeleteTemporaryFaxFiles();
    SetFOIPStatus(FOIP_READY);
    if (!ctx_.closedown) SendReceiveStatusToTESSALY(ctx_.config.receive_wanted);
    return 0;
  }
  if (r == PERC_COMMAND_REJECTED) {
    ctx_.device_log.Write(1, "CancelJob - command rejected");
    SetFOIPStatus(FOIP_READY);
    if (!ctx_.closedown) {
      received_pages_ = 0;
      SendReceiveStatusToTESSALY(ctx_.config.receive_wanted);
    }
    return r;
  }
  ctx_.device_log.Write(1, "CancelJob - returning Port Access Error");
  // While closing down nothing more is tried: the closedown of the device
  // must not wait for the same abort again.
  if (ctx_.closedown) SetFOIPStatus(FOIP_READY);
  ctx_.status_word = STATUS_ABORT_NOT_DELIVERED;
  return PERC_PORT_FAULT;
}

bool TessalyLink::TessalyLost() {
  return reply_handle_.valid() && platform::MailslotHolder("TESSALY") != tessaly_holder_;
}

void TessalyLink::CheckTessalyHolder() {
  if (ctx_.closedown || !TessalyLost()) return;
  if (platform::MailslotHolder("TESSALY") == 0) {
    if (!tessaly_missing_logged_) CtlLog(5, "TESSALY is not running - waiting for it to start");
    tessaly_missing_logged_ = true;
    // Whoever holds the slot next is a new tessaly, even when its slot
    // happens to get the identity the old one had.
    tessaly_holder_ = 0;
    return;
  }
  CtlLog(4, "TESSALY has started again - registering the device");
  reregister_ = false;
  if (RegisterDeviceWithTESSALY() != 0) CtlLog(6, "Failed to register device with TESSALY");
  else CtlLog(3, "Device registered with TESSALY again - ready for calls");
}

void TessalyLink::TidyUpOnClosedown() {
  ctx_.device_log.Write(1, "TidyUpOnClosedown");
  send_info_ = SendFOIPInfo{};
}

int TessalyLink::ClosedownDevice() {
  ctx_.device_log.Write(1, "ClosedownDevice()");
  int r = 0;
  if (foip_status_ == FOIP_DIALLED || foip_status_ == FOIP_RECEIVING) r = CancelJob();
  if (foip_status_ != FOIP_READY) SendReceiveStatusToTESSALY(0);
  ctx_.device_log.Close();
  ctx_.current_page = 0;
  TidyUpOnClosedown();
  return r;
}

void TessalyLink::WaitForJobToFinish() {
  ctx_.device_log.Write(1, "WaitForJobToFinish()");
  ClearCallFields();
  received_pages_ = 0;
  SetFOIPStatus(FOIP_READY);
  SendReceiveStatusToTESSALY(ctx_.config.receive_wanted);
}

TessalyLink::~TessalyLink() { MsgClosePipe(&reply_handle_); }

int TessalyLink::FOIPErrorToPERC(StatusWord status) {
  FoipErrorMap m = FoipErrorEntry(status);
  if (m.log_text) CtlLog(3, "%s", m.log_text);
  return m.perc;
}
