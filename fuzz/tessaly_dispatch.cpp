// Fuzzes the device-controller dispatcher's packet reader: each input is a
// series of packets, each led by one byte (its size, 0..255; a following
// 0xFF byte adds 256 for the longer requests), handed to DispatchPacket as
// read from the slot.  The table starts empty for every input.  Packets of
// every class and type, every length, unterminated names and texts, and the
// requests of registered and unregistered controllers must all be handled
// without a crash, and the table must never exceed its size.  The
// application is not running: its session functions refuse, and the replies
// go to slots nobody reads (refused at once).
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <unistd.h>

#include "host/device_table.h"
#include "host/dispatcher.h"

namespace {

char g_dir[] = "/tmp/fuzz_tessaly_XXXXXX";
const char* g_root = nullptr;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (!g_root) {
    g_root = mkdtemp(g_dir);
    if (!g_root) return 0;
    setenv("KORVANE_MAILSLOT_DIR", g_root, 1);
  }
  ResetDeviceTable();
  ClearPendingSends();
  std::size_t at = 0;
  while (at < size) {
    std::size_t n = data[at++];
    if (at < size && data[at] == 0xFF) {
      n += 256;
      ++at;
    }
    if (n > size - at) n = size - at;
    // A copy of exactly the packet's size, so that reading past it is caught.
    std::uint8_t* packet = static_cast<std::uint8_t*>(std::malloc(n ? n : 1));
    if (n) std::memcpy(packet, data + at, n);
    (void)DispatchPacket(packet, n);
    std::free(packet);
    at += n;
    if (DeviceCount() > kMaxDeviceEntries) __builtin_trap();
  }
  return 0;
}
