// Fuzzes the mailslot layer against a model of the slot.  Byte 0 sets the
// read buffer size (0: the reader must refuse it; then 1000 is used).  Then
// operations, each led by one byte (value % 6):
//   0  a packet of one of the layouts exchanged between the programs (class
//      and type from the next byte, device id from the next two, payload
//      from the input), sent with MsgSendRequest;
//   1  a raw message: u16 little-endian size, then that many bytes;
//   2  a packet whose length field is wrong by a non-zero amount;
//   3  MsgSendRequest with a bad argument (short or long length, class
//      argument above 120, flags, a name no slot can have), which must be
//      refused and send nothing, or to a slot nobody reads (refused at once);
//   4  a packet sent by OpenMailslot, WriteData and CloseMailslot;
//   5  read everything waiting now.
// MsgReadRequest must return exactly the waiting messages that fit the buffer
// and whose length field equals their size, in order and unchanged, then
// report an empty slot leaving the buffer untouched.  The header reader and
// writer are checked on every packet sent, for every size up to the header.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>
#include <unistd.h>

#include "common/byte_order.h"
#include "common/mailslot.h"
#include "common/program_log.h"
#include "common/server_packet.h"
#include "platform/mailslot.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

using bytes = std::vector<std::uint8_t>;

char g_dir[] = "/dev/shm/kvfuzz-slot-XXXXXX";
char g_dir_tmp[] = "/tmp/kvfuzz-slot-XXXXXX";
const char* g_root = nullptr;
MailslotHandle& Own();

void RemoveSlot() {
  MsgClosePipe(&Own());
  if (g_root) rmdir(g_root);
}

MailslotHandle& Own() {
  static MailslotHandle own = [] {
    g_root = mkdtemp(g_dir);
    if (!g_root) g_root = mkdtemp(g_dir_tmp);
    if (!g_root) std::abort();
    setenv("KORVANE_MAILSLOT_DIR", g_root, 1);
    LogInit(stderr, nullptr, 6, "FUZZ");
    MailslotHandle h;
    if (MsgMakePipe("FUZZ", 0, &h) != 0) std::abort();
    return h;
  }();
  static const bool cleanup_registered = (std::atexit(RemoveSlot), true);
  (void)cleanup_registered;
  return own;
}

// Packet layouts the programs exchange: class, type, length.
struct layout {
  std::uint8_t packet_class, type;
  std::uint16_t length;
};
constexpr layout kLayouts[] = {
    {RT_TESSALY, 1, 94}, {RT_TESSALY, 2, 464}, {RT_TESSALY, 3, 284}, {RT_TESSALY, 4, 8},
    {RT_TESSALY, 5, 10}, {RT_TESSALY, 6, 6},   {11, 1, 268},         {11, 2, 90},
    {11, 3, 112},        {RT_MORVATH, 3, 24},  {RT_SHUTDOWN, 0, 8},
};
constexpr std::size_t kLayoutCount = sizeof kLayouts / sizeof kLayouts[0];

struct input {
  const std::uint8_t* p;
  std::size_t left;
  std::uint8_t byte() {
    if (left == 0) return 0;
    --left;
    return *p++;
  }
  // n bytes of the input, zeros once it runs out.
  void fill(std::uint8_t* out, std::size_t n) {
    if (n == 0) return;
    const std::size_t k = std::min(n, left);
    if (k) std::memcpy(out, p, k);
    std::memset(out + k, 0, n - k);
    p += k;
    left -= k;
  }
};

struct slot_model {
  std::uint16_t buffer_size;
  std::deque<bytes> waiting;

  bool accepted(const bytes& m) const {
    return m.size() <= buffer_size && m.size() >= 2 && get_le16(m.data()) == m.size();
  }

  // Reads until the slot is empty; each packet must be the next accepted
  // message of the model.
  void drain() {
    std::vector<std::uint8_t> buffer(buffer_size);
    for (int guard = 0; guard < 2000; ++guard) {
      std::fill(buffer.begin(), buffer.end(), 0xA5);
      std::uint16_t got = 0xEEEE;
      const StatusWord st = MsgReadRequest(Own(), buffer.data(), buffer_size, &got);
      while (!waiting.empty() && !accepted(waiting.front())) waiting.pop_front();
      if (st == STATUS_NOTHING_WAITING) {
        check(waiting.empty());
        check(std::all_of(buffer.begin(), buffer.end(), [](std::uint8_t b) { return b == 0xA5; }));
        return;
      }
      check(st == STATUS_OK && !waiting.empty());
      const bytes& want = waiting.front();
      check(got == want.size() && std::memcmp(buffer.data(), want.data(), got) == 0);
      ServerPacketHeader h;
      check(ReadServerPacketHeader(buffer.data(), got, &h) == std::min<std::size_t>(got, kServerPacketHeaderSize));
      check(h.length == got);
      waiting.pop_front();
    }
    __builtin_trap();
  }
};

// The header writer and reader agree for every size up to the header.
void check_header(const ServerPacketHeader& h) {
  for (std::size_t size = 0; size <= kServerPacketHeaderSize + 1; ++size) {
    std::uint8_t area[kServerPacketHeaderSize + 1];
    std::memset(area, 0x5A, sizeof area);
    WriteServerPacketHeader(h, area, size);
    for (std::size_t i = size; i < sizeof area; ++i) check(area[i] == 0x5A);
    ServerPacketHeader r;
    check(ReadServerPacketHeader(area, size, &r) == std::min(size, kServerPacketHeaderSize));
    check(r.length == (size >= 2 ? h.length : 0) && r.packet_class == (size >= 3 ? h.packet_class : 0) &&
          r.type == (size >= 4 ? h.type : 0) && r.status == (size >= 6 ? h.status : 0) &&
          r.device_id == (size >= 8 ? h.device_id : 0));
  }
}

void write_raw(slot_model& model, int writer, const bytes& m) {
  platform::MailslotStatus st = platform::MailslotWrite(writer, m.data(), m.size());
  if (st.code == platform::MailslotCode::kBusy) {
    model.drain();
    st = platform::MailslotWrite(writer, m.data(), m.size());
  }
  check(st.ok());
  model.waiting.push_back(m);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size > 8192) return 0;
  Own();
  input in{data, size};
  std::uint16_t buffer_size = static_cast<std::uint16_t>(in.byte() * 4);
  if (buffer_size == 0) {
    std::uint8_t b = 0;
    std::uint16_t got = 0;
    check(MsgReadRequest(Own(), &b, 0, &got) == STATUS_BAD_ARGUMENT);
    buffer_size = 1000;
  }
  slot_model model{buffer_size, {}};
  int writer = -1;
  check(platform::MailslotOpenWriter("FUZZ", &writer).ok());
  while (in.left > 0) {
    switch (in.byte() % 6) {
      case 0: {
        const std::uint8_t pick = in.byte();
        const layout& l = kLayouts[pick % kLayoutCount];
        ServerPacketHeader h;
        h.packet_class = l.packet_class;
        h.type = l.type;
        h.device_id = static_cast<std::uint16_t>(in.byte() | in.byte() << 8);
        // A shutdown request may be longer than its header.
        const std::uint16_t length = static_cast<std::uint16_t>(
            l.packet_class == RT_SHUTDOWN || l.type == 6 ? l.length + pick / kLayoutCount % 8 : l.length);
        bytes packet(length);
        WriteServerPacketHeader(h, packet.data(), packet.size());
        if (length > kServerPacketHeaderSize)
          in.fill(packet.data() + kServerPacketHeaderSize, length - kServerPacketHeaderSize);
        // The sender stores the length itself.  It waits while the slot is
        // full: room is made first (a slot queues about ten messages).
        if (model.waiting.size() >= 8) model.drain();
        bytes sent = packet;
        check(MsgSendRequest("FUZZ", l.packet_class == RT_TESSALY ? 10 : 1, sent.data(), length, 0) == STATUS_OK);
        h.length = length;
        WriteServerPacketHeader(h, packet.data(), packet.size());
        check(sent == packet);
        check_header(h);
        model.waiting.push_back(packet);
        break;
      }
      case 1: {
        std::uint16_t n = static_cast<std::uint16_t>(in.byte() | in.byte() << 8);
        n = static_cast<std::uint16_t>(std::min<std::size_t>(n, 2000));
        bytes m(n);
        in.fill(m.data(), n);
        write_raw(model, writer, m);
        break;
      }
      case 2: {
        const std::uint16_t n = static_cast<std::uint16_t>(2 + in.byte() * 4);
        const std::uint8_t delta = static_cast<std::uint8_t>(1 + in.byte() % 255);
        bytes m(n);
        in.fill(m.data(), n);
        put_le16(m.data(), static_cast<std::uint16_t>((in.byte() & 1) ? n + delta : n - std::min<int>(delta, n)));
        if (get_le16(m.data()) == n) put_le16(m.data(), static_cast<std::uint16_t>(n + 1));
        write_raw(model, writer, m);
        break;
      }
      case 3: {
        const std::uint8_t how = in.byte();
        std::uint16_t length = 8, class_argument = 10;
        std::uint32_t flags = 0;
        std::string name = "FUZZ";
        StatusWord want = STATUS_BAD_ARGUMENT;
        switch (how % 5) {
          case 0: length = static_cast<std::uint16_t>((how & 0x80) ? 1001 + how : how % 3); break;
          case 1: class_argument = static_cast<std::uint16_t>(121 + how); break;
          case 2: flags = 1u << (how % 32); break;
          case 3:  // nobody reads that slot: refused at once
            name = "NOBODY\\" + std::to_string(how);
            want = STATUS_MAILSLOT_MISSING;
            break;
          default: {  // names no slot can have
            static const std::string bad[] = {
                "", "A\\..\\B", "A\\\\B", ".", std::string(229, 'A'), std::string(120, 'B')};
            name = bad[how / 5 % 6];
            break;
          }
        }
        bytes packet(std::max<std::size_t>(length, 8), 0);
        check(MsgSendRequest(name.c_str(), class_argument, packet.data(), length, flags) == want);
        break;
      }
      case 4: {
        // The steps of a send, one by one.
        const std::uint16_t n = static_cast<std::uint16_t>(3 + in.byte() * 3);
        bytes m(n);
        in.fill(m.data(), n);
        put_le16(m.data(), n);
        if (model.waiting.size() >= 8) model.drain();
        MailslotHandle h;
        check(OpenMailslot(0, "FUZZ", &h) == STATUS_OK);
        check(WriteData(0, h, m.data(), n) == STATUS_OK);
        CloseMailslot(&h);
        model.waiting.push_back(m);
        break;
      }
      default: model.drain(); break;
    }
    if (model.waiting.size() >= 8) model.drain();
  }
  platform::MailslotClose(writer);
  model.drain();
  return 0;
}
