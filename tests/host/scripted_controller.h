// A scripted device controller for the tessaly tests: it owns a reply slot
// "F<group>\<channel>", sends the requests of the device-controller
// conversation to "TESSALY" and reads what comes back, every wait bounded.
#pragma once

#include <chrono>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/mailslot.h"
#include "common/tessaly_packets.h"

namespace tessaly_test {

struct Reply {
  std::uint8_t type = 0;
  FaxStatusPacket status;
  ReceiveConnectedPacket connected;
  RingInPacket ring;
};

class ScriptedController {
 public:
  ScriptedController(std::uint16_t id, const std::string& slot) : id_(id), slot_(slot) {
    ok_ = MsgMakePipe(slot.c_str(), 0, &handle_) == STATUS_OK;
  }
  ~ScriptedController() { MsgClosePipe(&handle_); }
  ScriptedController(const ScriptedController&) = delete;
  ScriptedController& operator=(const ScriptedController&) = delete;

  bool ok() const { return ok_; }
  std::uint16_t id() const { return id_; }
  void set_id(std::uint16_t id) { id_ = id; }

  StatusWord SendRaw(std::vector<std::uint8_t> bytes) {
    return MsgSendRequest("TESSALY", RT_TESSALY, bytes.data(), static_cast<std::uint16_t>(bytes.size()), 0);
  }
  StatusWord Register() {
    RegisterDevicePacket p;
    p.device_id = id_;
    std::snprintf(p.reply_slot, sizeof p.reply_slot, "%s", slot_.c_str());
    std::vector<std::uint8_t> b(kRegisterDeviceSize);
    WriteRegisterDevice(p, b.data());
    return SendRaw(b);
  }
  StatusWord Status(std::uint16_t receive) {
    std::vector<std::uint8_t> b(kDeviceStatusSize);
    WriteDeviceStatus(id_, receive, b.data());
    return SendRaw(b);
  }
  StatusWord Send(const char* number = "0612345678", const char* file = "page1.tif") {
    SendFaxPacket p;
    p.device_id = id_;
    std::snprintf(p.message_name, sizeof p.message_name, "JOB1");
    std::snprintf(p.folder, sizeof p.folder, "Tessaly\\pages\\");
    std::snprintf(p.file_name, sizeof p.file_name, "%s", file);
    std::snprintf(p.telephone, sizeof p.telephone, "%s", number);
    std::snprintf(p.sender_csid, sizeof p.sender_csid, "KORVANE");
    std::vector<std::uint8_t> b(kSendFaxSize);
    WriteSendFax(p, b.data());
    return SendRaw(b);
  }
  StatusWord Receive(std::uint32_t accept) {
    RecvFaxPacket p;
    p.device_id = id_;
    std::snprintf(p.folder, sizeof p.folder, "Tessaly\\rcv\\");
    std::snprintf(p.file_name, sizeof p.file_name, "in.tif");
    p.accept = accept;
    std::vector<std::uint8_t> b(kRecvFaxSize);
    WriteRecvFax(p, b.data());
    return SendRaw(b);
  }
  StatusWord Abort() {
    std::vector<std::uint8_t> b(kAbortFaxSize);
    WriteAbortFax(id_, b.data());
    return SendRaw(b);
  }
  StatusWord Shutdown() {
    std::vector<std::uint8_t> b(kShutdownSize);
    WriteShutdown(id_, b.data());
    return SendRaw(b);
  }

  // The next packet within `ms`.
  std::optional<Reply> Next(int ms = 5000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
      std::uint8_t buf[kTessalyReplyMaxSize];
      std::uint16_t len = 0;
      if (MsgReadRequest(handle_, buf, sizeof buf, &len) == STATUS_OK) {
        Reply r;
        r.type = buf[3];
        if (r.type == TESSALY_FAX_STATUS && !ReadFaxStatus(buf, len, &r.status)) r.type = 0;
        if (r.type == TESSALY_RECEIVE_CONNECTED && !ReadReceiveConnected(buf, len, &r.connected)) r.type = 0;
        if (r.type == TESSALY_RING_IN && !ReadRingIn(buf, len, &r.ring)) r.type = 0;
        return r;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return std::nullopt;
  }

 private:
  std::uint16_t id_;
  std::string slot_;
  MailslotHandle handle_;
  bool ok_ = false;
};

}  // namespace tessaly_test
