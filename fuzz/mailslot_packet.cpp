// Fuzzes the mailslot packet reader.  The input is a list of messages, each
// a u16 little-endian size and that many bytes (the last one takes what is
// left), sent raw to an own mailslot; MsgReadRequest must return only
// packets whose length field equals their size and that fit the buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>
#include <unistd.h>

#include "common/byte_order.h"
#include "common/mailslot.h"
#include "common/program_log.h"
#include "common/server_packet.h"
#include "platform/mailslot.h"

namespace {

char g_dir[] = "/tmp/kvfuzz-XXXXXX";
MailslotHandle& Own();

void RemoveSlot() {
  MsgClosePipe(&Own());
  rmdir(g_dir);
}

MailslotHandle& Own() {
  static MailslotHandle own = [] {
    if (!mkdtemp(g_dir)) std::abort();
    setenv("KORVANE_MAILSLOT_DIR", g_dir, 1);
    LogInit(stderr, nullptr, 6, "FUZZ");
    MailslotHandle h;
    if (MsgMakePipe("FUZZ", 0, &h) != 0) std::abort();
    return h;
  }();
  static const bool cleanup_registered = (std::atexit(RemoveSlot), true);
  (void)cleanup_registered;
  return own;
}

void CheckedRead(std::uint16_t buffer_size) {
  std::vector<std::uint8_t> buffer(buffer_size ? buffer_size : 1);
  for (int guard = 0; guard < 1000; ++guard) {
    std::uint16_t got = 0;
    const StatusWord st = MsgReadRequest(Own(), buffer.data(), buffer_size, &got);
    if (st != 0) {
      if (st != 232 && st != 0xF001) __builtin_trap();
      return;
    }
    if (got > buffer_size || got < 2 || get_le16(buffer.data()) != got) __builtin_trap();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  MailslotHandle& own = Own();
  const std::uint16_t buffer_size = size >= 1 ? static_cast<std::uint16_t>(data[0] * 4) : 464;
  std::size_t at = size >= 1 ? 1 : 0;
  int writer = -1;
  if (!platform::MailslotOpenWriter("FUZZ", &writer).ok()) std::abort();
  while (at < size) {
    std::size_t n = size - at;
    if (n >= 2) {
      const std::size_t stated = get_le16(data + at);
      at += 2;
      n = std::min(stated, size - at);
    }
    platform::MailslotStatus st = platform::MailslotWrite(writer, data + at, n);
    if (st.code == platform::MailslotCode::kBusy) {
      CheckedRead(buffer_size);
      st = platform::MailslotWrite(writer, data + at, n);
    }
    at += n;
  }
  platform::MailslotClose(writer);
  CheckedRead(buffer_size);
  // Leave the slot empty for the next input.
  std::uint8_t big[1];
  std::uint16_t got = 0;
  for (int guard = 0; guard < 1000 && MsgReadRequest(own, big, 0, &got) == 0xF001; ++guard) {
    if (!platform::MailslotDiscard(own.fd).ok()) break;
  }
  return 0;
}
