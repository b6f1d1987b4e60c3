// drennic-standin: stands in for the fax server's DRENNIC and MORVATH in
// front of a device controller.  It holds the slots "DRENNIC", "MORVATH" and
// "STANDIN" (offline replies), prints every packet it receives decoded on one
// line ("DRENNIC JOB_RESULT FOIP/1 status=0xF101 job=7 ..."), and runs the
// commands of its command line in order, each waiting with a limit for its
// result:
//   wait TEXT              until a printed line contains TEXT
//   listen MS              print what arrives for MS milliseconds
//   send SLOT JOB TEL      a send request; waits for JOB_RESULT
//   sendfax SLOT JOB TEL FOLDER FILE FORMAT ROUTE
//                          a send request of a fax file; waits for JOB_RESULT
//   scan SLOT JOB          a scan request; waits for SCAN_RESULT
//   abort SLOT             an abort request (no wait)
//   offline SLOT [ID]      offline ("may wait", "interrupt"); with ID the
//                          request carries the id and the reply slot
//                          "STANDIN" and waits for OFFLINE_REPLY, else waits
//                          for the DEVICE OFFLINE state (10)
//   online SLOT [ID]       online (with id); waits for the IDLE state (1)
//   closedown SLOT         a closedown request (no wait)
//   shutdown SLOT          the fax server's shutdown packet (class 99) to a
//                          controller or to TESSALY (no wait)
//   tessaly-shutdown       RST_TESSALY_SHUTDOWN to TESSALY (no wait)
// Options: --limit MS (default 10000) for every wait; --post sends the
// requests without holding the slots, for a stand-in that already holds
// them (its output shows the answers; nothing is waited for); --help alone
// prints the usage.
// Exit code 0, 1 for a bad command line or a slot that cannot be held, 2
// when a wait ran out ("TIMEOUT waiting for ..." is printed).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "common/byte_order.h"
#include "common/mailslot.h"
#include "common/tessaly_packets.h"
#include "controller/drennic_packets.h"
#include "platform/clock.h"
#include "platform/process.h"

namespace {

struct Slot {
  const char* name;
  MailslotHandle handle;
};

Slot g_slots[] = {{"DRENNIC", {}}, {"MORVATH", {}}, {"STANDIN", {}}};
std::vector<std::string> g_lines;
bool g_post = false;  // the slots are another stand-in's

// Prints what has arrived; waits up to `ms` for something.
void Serve(std::uint32_t ms) {
  if (g_post) {
    platform::WaitReadable(nullptr, 0, ms);
    return;
  }
  int fds[3];
  for (int i = 0; i < 3; ++i) fds[i] = g_slots[i].handle.fd;
  platform::WaitReadable(fds, 3, ms);
  for (Slot& s : g_slots) {
    std::uint8_t buffer[1000];
    std::uint16_t length = 0;
    while (MsgReadRequest(s.handle, buffer, sizeof buffer, &length) == 0) {
      std::string line = std::string(s.name) + " " + DescribeControllerPacket(buffer, length);
      std::printf("%s\n", line.c_str());
      (void)std::fflush(stdout);
      g_lines.push_back(line);
    }
  }
}

bool WaitFor(const std::string& text, std::size_t from, std::uint32_t limit_ms) {
  if (g_post) return true;
  const std::uint32_t start = plat_tick_ms();
  for (;;) {
    for (std::size_t i = from; i < g_lines.size(); ++i)
      if (g_lines[i].find(text) != std::string::npos) return true;
    const std::int32_t left = static_cast<std::int32_t>(limit_ms) - plat_tick_diff(plat_tick_ms(), start);
    if (left <= 0) break;
    Serve(static_cast<std::uint32_t>(left < 100 ? left : 100));
  }
  std::printf("TIMEOUT waiting for %s\n", text.c_str());
  (void)std::fflush(stdout);
  return false;
}

std::vector<std::uint8_t> Request(std::uint8_t type, std::size_t size) {
  std::vector<std::uint8_t> p(size, 0);
  p[2] = RT_DEVICE;
  p[3] = type;
  return p;
}

bool Send(const std::string& slot, std::vector<std::uint8_t>& p) {
  StatusWord st = MsgSendRequest(slot.c_str(), 10, p.data(), static_cast<std::uint16_t>(p.size()), 0);
  if (st != 0) {
    std::printf("ERROR 0x%X sending to %s\n", st, slot.c_str());
    (void)std::fflush(stdout);
    return false;
  }
  return true;
}

constexpr const char* kHelp =
    "Usage: drennic-standin [--limit MS] [--post] command...\n"
    "       drennic-standin --help\n"
    "\n"
    "Stands in for the fax server's DRENNIC and MORVATH in front of device\n"
    "controllers: holds the mailslots \"DRENNIC\", \"MORVATH\" and \"STANDIN\"\n"
    "(offline replies), prints every packet it receives decoded on one line, and\n"
    "runs its commands in order, each waiting at most --limit MS (default 10000):\n"
    "  wait TEXT              until a printed line contains TEXT\n"
    "  listen MS              print what arrives for MS milliseconds\n"
    "  send SLOT JOB TEL      a send request; waits for JOB_RESULT\n"
    "  sendfax SLOT JOB TEL FOLDER FILE FORMAT ROUTE\n"
    "                         a send request of the fax file FOLDER\\FILE (FORMAT 5\n"
    "                         or 6 with ROUTE 2 or 3); waits for JOB_RESULT\n"
    "  scan SLOT JOB          a scan request; waits for SCAN_RESULT\n"
    "  abort SLOT             an abort request (no wait)\n"
    "  offline SLOT [ID]      offline; with ID waits for OFFLINE_REPLY, else for\n"
    "                         the DEVICE OFFLINE state (10)\n"
    "  online SLOT [ID]       online; waits for the IDLE state (1)\n"
    "  closedown SLOT         a closedown request (no wait)\n"
    "  shutdown SLOT          the shutdown packet (class 99) to a controller or to\n"
    "                         TESSALY (no wait)\n"
    "  tessaly-shutdown       RST_TESSALY_SHUTDOWN to TESSALY (no wait)\n"
    "SLOT is a controller's request mailslot, e.g. FOIP\\G1\\1.  With --post the\n"
    "requests are sent without holding the slots, for a stand-in that already\n"
    "holds them and prints the answers; nothing is waited for.\n"
    "\n"
    "Environment:\n"
    "  KORVANE_MAILSLOT_DIR  the folder of the mailslots\n"
    "                        (default /var/lib/korvane/mailslot)\n"
    "  KORVANE_INI_PATH      not read by the stand-in; the controllers read it\n"
    "  KORVANE_HOME          not read by the stand-in: tools/run.sh takes it as the\n"
    "                        server area (default ./run) and sets the two above\n"
    "                        inside it\n"
    "\n"
    "Exit code 0; 1 for a bad command line or a slot that cannot be held; 2 when\n"
    "a wait ran out (\"TIMEOUT waiting for ...\" is printed).\n";

int Usage() {
  (void)std::fprintf(stderr,
                     "Usage: drennic-standin [--limit MS] [--post] command...\n"
                     "  wait TEXT | listen MS | send SLOT JOB TEL | scan SLOT JOB | abort SLOT |\n"
                     "  sendfax SLOT JOB TEL FOLDER FILE FORMAT ROUTE |\n"
                     "  offline SLOT [ID] | online SLOT [ID] | closedown SLOT | shutdown SLOT |\n"
                     "  tessaly-shutdown\n");
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
    (void)std::fputs(kHelp, stdout);
    return 0;
  }
  std::uint32_t limit = 10000;
  int i = 1;
  for (;;) {
    if (i + 1 < argc && std::strcmp(argv[i], "--limit") == 0) {
      limit = static_cast<std::uint32_t>(std::strtoul(argv[i + 1], nullptr, 10));
      i += 2;
    } else if (i < argc && std::strcmp(argv[i], "--post") == 0) {
      g_post = true;
      ++i;
    } else {
      break;
    }
  }
  for (Slot& s : g_slots) {
    if (g_post) break;
    StatusWord st = MsgMakePipe(s.name, 0, &s.handle);
    if (st != 0) {
      (void)std::fprintf(stderr, "drennic-standin: cannot hold slot %s (0x%X)\n", s.name, st);
      return 1;
    }
  }
  auto need = [&](int n) { return i + n < argc; };
  int result = 0;
  while (i < argc && result == 0) {
    const std::string cmd = argv[i];
    const std::size_t from = g_lines.size();
    if (cmd == "wait" && need(1)) {
      if (!WaitFor(argv[i + 1], 0, limit)) result = 2;
      i += 2;
    } else if (cmd == "listen" && need(1)) {
      const std::uint32_t ms = static_cast<std::uint32_t>(std::strtoul(argv[i + 1], nullptr, 10));
      const std::uint32_t start = plat_tick_ms();
      while (plat_tick_diff(plat_tick_ms(), start) < static_cast<std::int32_t>(ms)) Serve(50);
      i += 2;
    } else if ((cmd == "send" && need(3)) || (cmd == "scan" && need(2))) {
      const bool send = cmd == "send";
      auto p = Request(send ? RST_DEVICE_SEND : RST_DEVICE_SCAN, kDeviceRequestSize);
      put_le16(p.data() + 8, static_cast<std::uint16_t>(std::strtoul(argv[i + 2], nullptr, 10)));
      std::memcpy(p.data() + 10, "STANDIN", 7);
      if (send) (void)std::snprintf(reinterpret_cast<char*>(p.data() + 314), 41, "%s", argv[i + 3]);
      if (!Send(argv[i + 1], p) || !WaitFor(send ? "JOB_RESULT" : "SCAN_RESULT", from, limit)) result = 2;
      i += send ? 4 : 3;
    } else if (cmd == "sendfax" && need(7)) {
      auto p = Request(RST_DEVICE_SEND, kDeviceRequestSize);
      put_le16(p.data() + 8, static_cast<std::uint16_t>(std::strtoul(argv[i + 2], nullptr, 10)));
      std::memcpy(p.data() + 10, "STANDIN", 7);
      (void)std::snprintf(reinterpret_cast<char*>(p.data() + 314), 41, "%s", argv[i + 3]);
      (void)std::snprintf(reinterpret_cast<char*>(p.data() + 26), 257, "%s", argv[i + 4]);
      (void)std::snprintf(reinterpret_cast<char*>(p.data() + 283), 13, "%s", argv[i + 5]);
      put_le16(p.data() + 310, static_cast<std::uint16_t>(std::strtoul(argv[i + 6], nullptr, 10)));
      put_le16(p.data() + 312, static_cast<std::uint16_t>(std::strtoul(argv[i + 7], nullptr, 10)));
      (void)std::snprintf(reinterpret_cast<char*>(p.data() + 386), 31, "%s", "Recipient");
      put_le32(p.data() + 460, 0x1F);  // every header part
      (void)std::snprintf(reinterpret_cast<char*>(p.data() + 505), 31, "%s", "Stand-in");
      if (!Send(argv[i + 1], p) || !WaitFor("JOB_RESULT", from, limit)) result = 2;
      i += 8;
    } else if (cmd == "shutdown" && need(1)) {
      std::vector<std::uint8_t> p(8, 0);
      p[2] = RT_SHUTDOWN;
      if (!Send(argv[i + 1], p)) result = 2;
      i += 2;
    } else if (cmd == "tessaly-shutdown") {
      std::vector<std::uint8_t> p(kShutdownSize, 0);
      WriteShutdown(0, p.data());
      if (!Send("TESSALY", p)) result = 2;
      i += 1;
    } else if ((cmd == "abort" || cmd == "closedown") && need(1)) {
      auto p = Request(cmd == "abort" ? RST_DEVICE_ABORT : RST_DEVICE_CLOSEDOWN, 8);
      if (!Send(argv[i + 1], p)) result = 2;
      Serve(0);
      i += 2;
    } else if (cmd == "offline" && need(1)) {
      const bool with_id = need(2) && std::strspn(argv[i + 2], "0123456789") == std::strlen(argv[i + 2]);
      auto p = Request(with_id ? RST_DEVICE_OFFLINE_ID : RST_DEVICE_OFFLINE, with_id ? kOfflineIdKeptSize : 16);
      put_le32(p.data() + 8, 1);
      put_le32(p.data() + 12, 1);
      if (with_id) {
        put_le16(p.data() + 16, static_cast<std::uint16_t>(std::strtoul(argv[i + 2], nullptr, 10)));
        std::memcpy(p.data() + 18, "STANDIN", 7);
      }
      if (!Send(argv[i + 1], p) || !WaitFor(with_id ? "OFFLINE_REPLY" : "state=10", from, limit)) result = 2;
      i += with_id ? 3 : 2;
    } else if (cmd == "online" && need(1)) {
      const bool with_id = need(2) && std::strspn(argv[i + 2], "0123456789") == std::strlen(argv[i + 2]);
      auto p = Request(with_id ? RST_DEVICE_ONLINE_ID : RST_DEVICE_ONLINE, with_id ? 10 : 8);
      if (with_id) put_le16(p.data() + 8, static_cast<std::uint16_t>(std::strtoul(argv[i + 2], nullptr, 10)));
      if (!Send(argv[i + 1], p) || !WaitFor("state=1 ", from, limit)) result = 2;
      i += with_id ? 3 : 2;
    } else {
      result = Usage();
    }
  }
  for (Slot& s : g_slots) MsgClosePipe(&s.handle);
  return result;
}
