// Test world of the device controller: a server area in a temporary folder
// (KORVANE.INI, SETUP.INI, mailslots), the fax server's DRENNIC and MORVATH
// slots held by the test, a scripted "TESSALY" slot that answers the
// controller's requests, a virtual clock that lets the scripted peers run at
// every pause, and the controller's log lines.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "common/mailslot.h"
#include "common/support/temp_folder.h"
#include "controller/controller.h"
#include "controller/controller_clock.h"

namespace kvtest {

using Bytes = std::vector<std::uint8_t>;

// Hex text of bytes, two digits each, no separators.
std::string Hex(const Bytes& bytes);
Bytes FromHex(const std::string& hex);

// A slot held by the test.
class PeerSlot {
 public:
  explicit PeerSlot(const std::string& name);
  ~PeerSlot();
  bool ok() const { return handle_.valid(); }
  std::vector<Bytes> Drain();

 private:
  MailslotHandle handle_;
};

enum class TessalyMode {
  kMissing,        // no "TESSALY" slot
  kAnswer,         // every request of types 1-5 answered "done"
  kSilent,         // the slot exists, nothing is answered
  kRegisterOnly,   // only registrations are answered
  kRefuse,         // every request answered "failed"
  kUnknownDevice,  // like a tessaly started since: other requests than a
                   // registration refused as from an unknown device, until
                   // the device registers
};

class ControllerWorld {
 public:
  // `hold_server_slots` false leaves "DRENNIC" and "MORVATH" to another process.
  explicit ControllerWorld(bool hold_server_slots = true);
  ~ControllerWorld();

  // KORVANE.INI with the given device paragraph "[FOIP-G1]" body and any
  // further text; "[OPTIONS]" and "[DRENNIC]" are written unless left out.
  void WriteIni(const std::string& device_body, const std::string& extra = "", bool drennic = true,
                bool options = true);
  void SetTessaly(TessalyMode mode);
  // Sends a packet to the controller's reply slot at the next pause.
  void QueueToController(const Bytes& packet) { to_controller_.push_back(packet); }
  // Sends a request to a slot once the virtual clock reaches `at_ms`.
  void ScheduleRequest(std::uint64_t at_ms, const std::string& slot, const Bytes& packet) {
    scheduled_.push_back({at_ms, slot, packet});
  }
  // Sends a request to the controller's request slot now.
  StatusWord SendRequest(const std::string& slot, Bytes packet);

  std::vector<Bytes> DrennicPackets() { return drennic_ ? drennic_->Drain() : std::vector<Bytes>{}; }
  std::vector<Bytes> MorvathPackets() { return morvath_ ? morvath_->Drain() : std::vector<Bytes>{}; }
  // Requests tessaly received (served at every pause).
  std::vector<Bytes>& tessaly_requests() { return tessaly_requests_; }
  const std::vector<std::string>& log() const { return log_; }
  bool Logged(const std::string& text) const;
  int CountLogged(const std::string& text) const;
  void ClearLog() { log_.clear(); }

  // Serves the scripted TESSALY once; true when it wrote a packet.
  bool ServeTessaly();

  VirtualControllerClock clock;
  TempFolder tmp;
  std::string reply_slot;                            // learnt from the last registration
  std::map<std::uint16_t, std::string> reply_slots;  // by device id
  // Runs for every request the scripted TESSALY takes, after its answer:
  // what it queues (QueueToController) follows at once, in order.
  std::function<void(const Bytes& request)> script;
  // The scripted TESSALY appears (answering) once the virtual clock reaches
  // this many milliseconds (0: never).
  std::uint64_t tessaly_from_ms = 0;

 private:
  static bool Hook(void* context);
  static void Sink(int level, const char* line);

  std::unique_ptr<PeerSlot> drennic_;
  std::unique_ptr<PeerSlot> morvath_;
  std::unique_ptr<PeerSlot> tessaly_;
  TessalyMode mode_ = TessalyMode::kMissing;
  std::vector<Bytes> tessaly_requests_;
  std::vector<Bytes> to_controller_;
  struct Scheduled {
    std::uint64_t at_ms;
    std::string slot;
    Bytes packet;
  };
  std::vector<Scheduled> scheduled_;
  std::vector<std::string> log_;
};

// Packet builders for requests to the controller.
Bytes DeviceRequestPacket(std::uint8_t type, std::uint16_t device_id, std::size_t size);
Bytes SendRequestPacket(std::uint16_t job, std::uint16_t device_id);
Bytes OfflineRequestPacket(bool with_id, std::uint32_t may_wait, std::uint32_t interrupt, std::uint16_t id,
                           const std::string& reply_slot);
Bytes OnlineRequestPacket(bool with_id, std::uint16_t id);
Bytes FaxStatusBytes(std::uint16_t device_id, std::uint16_t kind, std::uint16_t value, const char* text = "");

}  // namespace kvtest
