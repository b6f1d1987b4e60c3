// Fuzzes the device controller's readers of its two slots: the requests
// that ProcessDeviceRequests reads (from DRENNIC) and the packets that
// CheckTESSALYPackets reads (from tessaly).  Input: byte 0 picks the reader
// (even: request, odd: tessaly packet), byte 1 the device state before it,
// byte 2 a second packet's split point; the rest is one or two packets.  The
// peers' slots do not exist, so every answer fails at once, and the clock is
// virtual.
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "controller/controller.h"
#include "controller/device_log.h"

namespace {

void Quiet(int, const char*) {}

void Setup() {
  static bool done = [] {
    static char dir[] = "/tmp/kvfuzz-marrock-XXXXXX";
    if (!mkdtemp(dir)) std::abort();
    setenv("KORVANE_MAILSLOT_DIR", dir, 1);
    SetControllerLogSink(&Quiet);
    return true;
  }();
  (void)done;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  Setup();
  if (size < 3) return 0;
  VirtualControllerClock clock;
  Controller c(&clock);
  c.identity().device_id = 0x0101;
  std::strcpy(c.identity().request_slot, "FOIP\\F\\1");
  c.config().receive_wanted = data[1] & 0x80;
  c.fax_server().SetDeviceState(1u + (data[1] & 0x0F) % 13u);
  const std::uint8_t* p = data + 3;
  std::size_t n = size - 3;
  std::size_t split = data[2] < n ? data[2] : n;
  const std::uint8_t* parts[2] = {p, p + split};
  const std::size_t sizes[2] = {split, n - split};
  for (int i = 0; i < 2; ++i) {
    if (sizes[i] == 0) continue;
    if (data[0] & 1) (void)c.tessaly().HandleTessalyPacket(parts[i], sizes[i]);
    else (void)c.fax_server().HandleDeviceRequest(parts[i], sizes[i]);
  }
  return 0;
}
