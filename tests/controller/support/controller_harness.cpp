#include "controller/support/controller_harness.h"

#include <sys/stat.h>

#include <cstdlib>
#include <cstring>

#include "common/byte_order.h"
#include "common/program_log.h"
#include "common/server_settings.h"
#include "common/tessaly_packets.h"
#include "controller/device_log.h"
#include "platform/process.h"
#include "platform/syslog.h"

namespace kvtest {

namespace {
ControllerWorld* g_world = nullptr;
bool DropEvent(const char*, platform::EventSeverity, unsigned, const char*) { return true; }
}  // namespace

std::string Hex(const Bytes& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string s;
  for (std::uint8_t b : bytes) {
    s += kDigits[b >> 4];
    s += kDigits[b & 15];
  }
  return s;
}

Bytes FromHex(const std::string& hex) {
  Bytes out;
  int high = -1;
  for (char c : hex) {
    int v;
    if (c >= '0' && c <= '9') v = c - '0';
    else if (c >= 'a' && c <= 'f') v = c - 'a' + 10;
    else if (c >= 'A' && c <= 'F') v = c - 'A' + 10;
    else continue;
    if (high < 0) {
      high = v;
    } else {
      out.push_back(static_cast<std::uint8_t>(high * 16 + v));
      high = -1;
    }
  }
  return out;
}

PeerSlot::PeerSlot(const std::string& name) { (void)MsgMakePipe(name.c_str(), 0, &handle_); }
PeerSlot::~PeerSlot() { MsgClosePipe(&handle_); }

std::vector<Bytes> PeerSlot::Drain() {
  std::vector<Bytes> out;
  if (!handle_.valid()) return out;
  for (;;) {
    std::uint8_t buffer[1000];
    std::uint16_t length = 0;
    if (MsgReadRequest(handle_, buffer, sizeof buffer, &length) != 0) break;
    out.emplace_back(buffer, buffer + length);
  }
  return out;
}

static void SetEnvFolders(TempFolder& tmp) {
  setenv("KORVANE_MAILSLOT_DIR", tmp.File("slots").c_str(), 1);
  setenv("KORVANE_INI_PATH", tmp.File("KORVANE.INI").c_str(), 1);
  setenv("TEMP", (tmp.File("temp") + "\\").c_str(), 1);
  mkdir(tmp.File("temp").c_str(), 0777);
  mkdir(tmp.File("system").c_str(), 0777);
  mkdir(tmp.File("system/K-DB").c_str(), 0777);
  mkdir(tmp.File("server").c_str(), 0777);
  mkdir(tmp.File("server/K-DB").c_str(), 0777);
  WriteFile(tmp.File("system/K-DB/SETUP.INI"), "[OPTIONS]\n");
}

ControllerWorld::ControllerWorld(bool hold_server_slots) {
  SetEnvFolders(tmp);
  if (hold_server_slots) {
    drennic_ = std::make_unique<PeerSlot>("DRENNIC");
    morvath_ = std::make_unique<PeerSlot>("MORVATH");
  }
  g_world = this;
  SetControllerLogSink(&Sink);
  platform::SetSystemEventWriter(&DropEvent);  // level-6 library lines stay out of syslog
  clock.SetHook(&Hook, this);
  platform::ClearTerminationRequest();
  WriteIni("Port: FOIP\nRecdUser: FAXIN\n");
}

ControllerWorld::~ControllerWorld() {
  SetControllerLogSink(nullptr);
  platform::SetSystemEventWriter(nullptr);
  g_world = nullptr;
  tessaly_.reset();
  SystemParameters() = SystemParams{};
  LogInit(nullptr, nullptr, 3, "TEST");
  unsetenv("KORVANE_MAILSLOT_DIR");
  unsetenv("KORVANE_INI_PATH");
  unsetenv("TEMP");
}

void ControllerWorld::WriteIni(const std::string& device_body, const std::string& extra, bool drennic, bool options) {
  std::string text = "[SERVER]\nSystemArea: " + tmp.File("system") + "\nServerArea: " + tmp.File("server") +
                     "\nRequestArea: " + tmp.File("req") + "\nAllUserArea: " + tmp.File("users") + "\n";
  if (options) text += "[OPTIONS]\n";
  if (drennic) text += "[DRENNIC]\n";
  text += "[FOIP-G1]\n" + device_body + extra;
  WriteFile(tmp.File("KORVANE.INI"), text);
}

void ControllerWorld::SetTessaly(TessalyMode mode) {
  mode_ = mode;
  if (mode == TessalyMode::kMissing) tessaly_.reset();
  else if (!tessaly_) tessaly_ = std::make_unique<PeerSlot>("TESSALY");
}

StatusWord ControllerWorld::SendRequest(const std::string& slot, Bytes packet) {
  return MsgSendRequest(slot.c_str(), 10, packet.data(), static_cast<std::uint16_t>(packet.size()), 0);
}

bool ControllerWorld::ServeTessaly() {
  bool wrote = false;
  if (tessaly_from_ms && clock.elapsed_ms() >= tessaly_from_ms) {
    tessaly_from_ms = 0;
    SetTessaly(TessalyMode::kAnswer);
  }
  if (tessaly_) {
    for (Bytes& request : tessaly_->Drain()) {
      tessaly_requests_.push_back(request);
      const std::uint8_t type = request[3];
      if (type == RST_TESSALY_REGISTER_DEVICE) {
        RegisterDevicePacket reg;
        if (ReadRegisterDevice(request.data(), request.size(), &reg)) {
          reply_slot = reg.reply_slot;
          reply_slots[reg.device_id] = reg.reply_slot;
        }
      }
      const std::uint16_t device = get_le16(request.data() + 6);
      if (mode_ == TessalyMode::kSilent || !reply_slots.count(device) || type < 1 || type > 5) continue;
      if (mode_ == TessalyMode::kRegisterOnly && type != RST_TESSALY_REGISTER_DEVICE) continue;
      std::uint16_t kind = mode_ == TessalyMode::kRefuse ? FAX_STATUS_REQUEST_FAILED : FAX_STATUS_REQUEST_DONE;
      std::uint16_t value = type;
      if (mode_ == TessalyMode::kUnknownDevice) {
        if (type == RST_TESSALY_REGISTER_DEVICE) mode_ = TessalyMode::kAnswer;
        else kind = FAX_STATUS_REQUEST_FAILED, value = RST_TESSALY_REGISTER_DEVICE;
      }
      Bytes answer = FaxStatusBytes(get_le16(request.data() + 6), kind, value);
      MsgSendRequest(reply_slots[device].c_str(), 1, answer.data(), static_cast<std::uint16_t>(answer.size()), 0);
      wrote = true;
      if (script) script(request);
    }
  }
  for (std::size_t i = 0; i < scheduled_.size();) {
    if (clock.elapsed_ms() >= scheduled_[i].at_ms) {
      SendRequest(scheduled_[i].slot, scheduled_[i].packet);
      scheduled_.erase(scheduled_.begin() + static_cast<long>(i));
      wrote = true;
    } else {
      ++i;
    }
  }
  if (!reply_slot.empty()) {
    for (Bytes& p : to_controller_) {
      MsgSendRequest(reply_slot.c_str(), 1, p.data(), static_cast<std::uint16_t>(p.size()), 0);
      wrote = true;
    }
    to_controller_.clear();
  }
  return wrote;
}

bool ControllerWorld::Hook(void* context) { return static_cast<ControllerWorld*>(context)->ServeTessaly(); }

void ControllerWorld::Sink(int level, const char* line) {
  if (g_world) g_world->log_.push_back(std::to_string(level) + " " + line);
}

bool ControllerWorld::Logged(const std::string& text) const { return CountLogged(text) > 0; }

int ControllerWorld::CountLogged(const std::string& text) const {
  int n = 0;
  for (const std::string& l : log_)
    if (l.find(text) != std::string::npos) ++n;
  return n;
}

Bytes DeviceRequestPacket(std::uint8_t type, std::uint16_t device_id, std::size_t size) {
  Bytes p(size, 0);
  put_le16(p.data(), static_cast<std::uint16_t>(size));
  p[2] = 2;
  p[3] = type;
  if (size >= 8) put_le16(p.data() + 6, device_id);
  return p;
}

Bytes SendRequestPacket(std::uint16_t job, std::uint16_t device_id) {
  Bytes p = DeviceRequestPacket(11, device_id, 620);
  put_le16(p.data() + 8, job);
  std::memcpy(p.data() + 10, "MSG00001", 8);
  std::memcpy(p.data() + 314, "0123456", 7);
  return p;
}

Bytes OfflineRequestPacket(bool with_id, std::uint32_t may_wait, std::uint32_t interrupt, std::uint16_t id,
                           const std::string& reply_slot) {
  Bytes p = DeviceRequestPacket(with_id ? 9 : 7, 0, with_id ? 32 : 16);
  put_le32(p.data() + 8, may_wait);
  put_le32(p.data() + 12, interrupt);
  if (with_id) {
    put_le16(p.data() + 16, id);
    std::memcpy(p.data() + 18, reply_slot.c_str(), std::min<std::size_t>(reply_slot.size(), 13));
  }
  return p;
}

Bytes OnlineRequestPacket(bool with_id, std::uint16_t id) {
  Bytes p = DeviceRequestPacket(with_id ? 10 : 8, 0, with_id ? 10 : 8);
  if (with_id) put_le16(p.data() + 8, id);
  return p;
}

Bytes FaxStatusBytes(std::uint16_t device_id, std::uint16_t kind, std::uint16_t value, const char* text) {
  FaxStatusPacket fs;
  fs.device_id = device_id;
  fs.kind = kind;
  fs.value = value;
  std::snprintf(fs.text, sizeof fs.text, "%s", text);
  Bytes b(kFaxStatusSize);
  WriteFaxStatus(fs, b.data());
  return b;
}

}  // namespace kvtest
