// Mailslot messaging: argument checks and status words, the reader's
// validation of packets, a full slot, name rules, a stale socket, a second
// holder, and a request/reply exchange between two processes.
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "common/byte_order.h"
#include "common/mailslot.h"
#include "common/program_log.h"
#include "common/server_packet.h"
#include "common/support/temp_folder.h"
#include "platform/mailslot.h"

namespace {

using Clock = std::chrono::steady_clock;
using kvtest::ReadLines;
using kvtest::TempFolder;
using ::testing::Contains;
using ::testing::HasSubstr;

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

class MailslotTest : public ::testing::Test {
 protected:
  MailslotTest() {
    setenv("KORVANE_MAILSLOT_DIR", tmp_.File("slots").c_str(), 1);
    LogInit(nullptr, tmp_.File("lib.log").c_str(), 1, "KV");
  }
  ~MailslotTest() override {
    unsetenv("KORVANE_MAILSLOT_DIR");
    LogInit(nullptr, nullptr, 3, "TEST");
  }
  std::vector<std::string> LibraryLines() const { return ReadLines(tmp_.File("lib.log")); }

  // Raw datagram to a slot, bypassing MsgSendRequest's checks.
  static platform::MailslotStatus RawSend(const char* slot, const std::vector<std::uint8_t>& bytes) {
    int fd = -1;
    platform::MailslotStatus st = platform::MailslotOpenWriter(slot, &fd);
    if (!st.ok()) return st;
    st = platform::MailslotWrite(fd, bytes.data(), bytes.size());
    platform::MailslotClose(fd);
    return st;
  }
  static std::vector<std::uint8_t> Packet(std::uint16_t stated_length, std::size_t actual, std::uint8_t fill) {
    std::vector<std::uint8_t> p(actual, fill);
    if (actual >= 2) put_le16(p.data(), stated_length);
    return p;
  }

  TempFolder tmp_;
};

TEST_F(MailslotTest, SendRefusesBadLengthsAndArguments) {
  MailslotHandle own;
  ASSERT_EQ(MsgMakePipe("TESSALY", 7, &own), 0);
  EXPECT_EQ(own.owner, 7);
  struct Case {
    std::uint16_t length;
    std::uint16_t class_argument;
    std::uint32_t flags;
    StatusWord status;
  };
  const Case cases[] = {
      {0, 10, 0, 0xF001}, {2, 10, 0, 0xF001}, {1001, 10, 0, 0xF001}, {65535, 10, 0, 0xF001}, {8, 121, 0, 0xF001},
      {8, 10, 1, 0xF001}, {3, 10, 0, 0},      {1000, 10, 0, 0},      {8, 120, 0, 0},
  };
  std::vector<std::uint8_t> buffer(65535, 0xAB);
  for (const Case& c : cases) {
    std::fill(buffer.begin(), buffer.end(), 0xAB);
    EXPECT_EQ(MsgSendRequest("TESSALY", c.class_argument, buffer.data(), c.length, c.flags), c.status)
        << c.length << " " << c.class_argument << " " << c.flags;
    std::uint8_t in[1000];
    std::uint16_t got = 0;
    const StatusWord read = MsgReadRequest(own, in, sizeof in, &got);
    if (c.status == 0) {
      EXPECT_EQ(read, 0) << c.length;
      EXPECT_EQ(got, c.length);
      EXPECT_EQ(get_le16(in), c.length);  // the length is stored in the packet
    } else {
      EXPECT_EQ(read, 232) << "refused packet was sent: " << c.length;
    }
  }
  MsgClosePipe(&own);
}

TEST_F(MailslotTest, MissingSlotGivesF023AtOnceWithoutLogging) {
  std::uint8_t packet[8] = {0, 0, 10, 1, 0, 0, 0, 0};
  const auto start = Clock::now();
  EXPECT_EQ(MsgSendRequest("NOBODY", 10, packet, sizeof packet, 0), 0xF023);
  EXPECT_LT(ElapsedMs(start), 200);
  EXPECT_TRUE(LibraryLines().empty());

  // With the send trace on, the failure is logged.
  MsgSetSendTrace(true);
  EXPECT_EQ(MsgSendRequest("NOBODY", 10, packet, sizeof packet, 0), 0xF023);
  MsgSetSendTrace(false);
  EXPECT_THAT(LibraryLines(), Contains(HasSubstr("(E) - MsgSendRequest() - error 0xF023 opening queue")));
}

TEST_F(MailslotTest, OpenWaitsForASlotThatAppears) {
  std::thread maker([] {
    std::this_thread::sleep_for(std::chrono::milliseconds(700));
    MailslotHandle h;
    EXPECT_EQ(MsgMakePipe("LATE", 0, &h), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(800));
    MsgClosePipe(&h);
  });
  MailslotHandle writer;
  const auto start = Clock::now();
  EXPECT_EQ(OpenMailslot(5, "LATE", &writer), 0);
  EXPECT_GE(ElapsedMs(start), 500);
  CloseMailslot(&writer);
  maker.join();
  EXPECT_EQ(OpenMailslot(1, "LATE", &writer), 0xF023);
}

TEST_F(MailslotTest, ReaderSkipsInvalidMessagesAndReturnsTheNextValidOne) {
  MailslotHandle own;
  ASSERT_EQ(MsgMakePipe("TESSALY", 0, &own), 0);
  std::uint8_t buffer[464];
  std::memset(buffer, 0x5A, sizeof buffer);
  std::uint16_t got = 0xFFFF;

  // Nothing waiting: 232, buffer and length untouched.
  EXPECT_EQ(MsgReadRequest(own, buffer, sizeof buffer, &got), 232);
  EXPECT_EQ(buffer[0], 0x5A);
  EXPECT_EQ(got, 0xFFFF);
  EXPECT_EQ(MsgReadRequest(own, buffer, 0, &got), 0xF001);

  struct Bad {
    const char* what;
    std::vector<std::uint8_t> bytes;
  };
  const Bad bad[] = {
      {"says 100, holds 98", Packet(100, 98, 1)},
      {"says 8, holds 9", Packet(8, 9, 2)},
      {"empty message", {}},
      {"one byte", {0x01}},
      {"larger than the buffer", Packet(465, 465, 3)},
      {"65535 bytes", Packet(65535, 65535, 4)},
  };
  for (const Bad& b : bad) {
    ASSERT_TRUE(RawSend("TESSALY", b.bytes).ok()) << b.what;
  }
  const std::vector<std::uint8_t> good = Packet(12, 12, 9);
  ASSERT_TRUE(RawSend("TESSALY", good).ok());
  ASSERT_TRUE(RawSend("TESSALY", Packet(7, 3, 5)).ok());  // invalid after the valid one

  EXPECT_EQ(MsgReadRequest(own, buffer, sizeof buffer, &got), 0);
  EXPECT_EQ(got, 12);
  EXPECT_EQ(std::vector<std::uint8_t>(buffer, buffer + 12), good);
  EXPECT_EQ(buffer[12], 0x5A);  // nothing of the skipped ones was left behind

  EXPECT_EQ(MsgReadRequest(own, buffer, sizeof buffer, &got), 232);
  EXPECT_EQ(got, 12);

  int invalid = 0;
  for (const std::string& line : LibraryLines()) {
    if (line.find("(E) - Invalid packet received - ignored") != std::string::npos) ++invalid;
  }
  EXPECT_EQ(invalid, 7);
  MsgClosePipe(&own);
}

TEST_F(MailslotTest, FullSlotIsRetriedUntilTheReaderDrainsIt) {
  MailslotHandle own;
  ASSERT_EQ(MsgMakePipe("FULL", 0, &own), 0);
  int filled = 0;
  for (; filled < 10000; ++filled) {
    platform::MailslotStatus st = RawSend("FULL", Packet(8, 8, 1));
    if (st.code == platform::MailslotCode::kBusy) break;
    ASSERT_TRUE(st.ok());
  }
  ASSERT_LT(filled, 10000);

  std::thread drainer([&own] {
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    std::uint8_t buffer[16];
    std::uint16_t got = 0;
    for (int i = 0; i < 10000 && MsgReadRequest(own, buffer, sizeof buffer, &got) == 0; ++i) {}
  });
  std::uint8_t packet[8] = {};
  const auto start = Clock::now();
  EXPECT_EQ(MsgSendRequest("FULL", 10, packet, sizeof packet, 0), 0);
  const long waited = ElapsedMs(start);
  drainer.join();
  EXPECT_GE(waited, 1000);
  EXPECT_LT(waited, 5000);
  MsgClosePipe(&own);
}

TEST_F(MailslotTest, SlotThatStaysFullGivesF00CAfterTenSeconds) {
  MailslotHandle own;
  ASSERT_EQ(MsgMakePipe("STUCK", 0, &own), 0);
  for (int i = 0; i < 10000; ++i) {
    if (RawSend("STUCK", Packet(8, 8, 1)).code == platform::MailslotCode::kBusy) break;
  }
  std::uint8_t packet[8] = {};
  const auto start = Clock::now();
  EXPECT_EQ(MsgSendRequest("STUCK", 10, packet, sizeof packet, 0), 0xF00C);
  const long waited = ElapsedMs(start);
  EXPECT_GE(waited, 10000);
  EXPECT_LT(waited, 13000);
  EXPECT_THAT(LibraryLines(), Contains(HasSubstr("(E) - Error 0x20 opening mailslot " + own.path)));
  MsgClosePipe(&own);
}

TEST_F(MailslotTest, NameRules) {
  const std::string longest(228, 'n');
  const std::string over(229, 'n');
  const std::string socket_limit(120, 's');  // fits 228 but not a socket address
  struct Case {
    std::string name;
    StatusWord make;
  };
  const Case cases[] = {
      {"TESSALY", 0},         {"1\\2", 0},  {"F1\\2", 0},           {over, 0xF001},     {longest, 0xF001},
      {socket_limit, 0xF001}, {"", 0xF001}, {"..\\escape", 0xF001}, {"a\\\\b", 0xF001}, {"\\root", 0xF001},
      {"dir\\.", 0xF001},
  };
  for (const Case& c : cases) {
    MailslotHandle h;
    EXPECT_EQ(MsgMakePipe(c.name.c_str(), 0, &h), c.make) << c.name;
    std::uint8_t packet[8] = {};
    EXPECT_EQ(MsgSendRequest(c.name.c_str(), 10, packet, sizeof packet, 0), c.make == 0 ? 0 : 0xF001) << c.name;
    MsgClosePipe(&h);
  }
  EXPECT_FALSE(kvtest::Exists(tmp_.File("escape")));
  EXPECT_EQ(MsgMakePipe(nullptr, 0, nullptr), 0xF001);
}

// Slots are for the server's account and the group of the folder holding
// the mailslot folder; a folder left wide open by an older build is narrowed.
TEST_F(MailslotTest, SlotsAreForTheServerAccountAndGroupOnly) {
  if (getuid() == 0) {
    ASSERT_EQ(chown(tmp_.path().c_str(), static_cast<uid_t>(-1), 4242), 0);
  }
  ASSERT_EQ(mkdir(tmp_.File("slots").c_str(), 0777), 0);
  ASSERT_EQ(chmod(tmp_.File("slots").c_str(), 0777), 0);
  MailslotHandle h;
  ASSERT_EQ(MsgMakePipe("F3\\4", 0, &h), 0);
  struct stat area {};
  ASSERT_EQ(stat(tmp_.path().c_str(), &area), 0);
  struct Entry {
    std::string path;
    unsigned mode;
  };
  for (const Entry& e : {Entry{"slots/F3/4", 0660}, Entry{"slots/F3", 0770}, Entry{"slots", 0770}}) {
    struct stat st {};
    ASSERT_EQ(stat(tmp_.File(e.path).c_str(), &st), 0) << e.path;
    EXPECT_EQ(st.st_mode & 07777, e.mode) << e.path;
    EXPECT_EQ(st.st_gid, area.st_gid) << e.path;
  }
  struct stat st {};
  ASSERT_EQ(stat(tmp_.File("slots/F3/4").c_str(), &st), 0);
  EXPECT_TRUE(S_ISSOCK(st.st_mode));
  MsgClosePipe(&h);
  EXPECT_FALSE(kvtest::Exists(tmp_.File("slots/F3/4")));
}

TEST_F(MailslotTest, SecondLiveHolderIsRefused) {
  MailslotHandle first;
  ASSERT_EQ(MsgMakePipe("TESSALY", 0, &first), 0);
  MailslotHandle second;
  EXPECT_EQ(MsgMakePipe("TESSALY", 0, &second), 0xF00C);
  EXPECT_FALSE(second.valid());
  EXPECT_THAT(LibraryLines(),
              Contains(HasSubstr("(E) - MsgMakePipe() - error 0x62 creating mailslot '" + first.path + "'")));
  // Packets still reach the first holder.
  std::uint8_t packet[8] = {};
  EXPECT_EQ(MsgSendRequest("TESSALY", 10, packet, sizeof packet, 0), 0);
  std::uint8_t in[16];
  std::uint16_t got = 0;
  EXPECT_EQ(MsgReadRequest(first, in, sizeof in, &got), 0);
  MsgClosePipe(&first);
  EXPECT_EQ(MsgMakePipe("TESSALY", 0, &second), 0);
  MsgClosePipe(&second);
}

TEST_F(MailslotTest, SocketLeftByADeadProcessIsMissingAndIsTakenOver) {
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    MailslotHandle h;
    _exit(MsgMakePipe("TESSALY", 0, &h) == 0 ? 0 : 1);  // ends without removing it
  }
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  ASSERT_TRUE(kvtest::Exists(tmp_.File("slots/TESSALY")));

  std::uint8_t packet[8] = {};
  const auto start = Clock::now();
  EXPECT_EQ(MsgSendRequest("TESSALY", 10, packet, sizeof packet, 0), 0xF023);
  EXPECT_LT(ElapsedMs(start), 200);

  MailslotHandle h;
  EXPECT_EQ(MsgMakePipe("TESSALY", 0, &h), 0);
  EXPECT_EQ(MsgSendRequest("TESSALY", 10, packet, sizeof packet, 0), 0);
  MsgClosePipe(&h);
}

TEST_F(MailslotTest, ProcessesRacingForAStaleNameGetItOnce) {
  const pid_t dead = fork();
  ASSERT_GE(dead, 0);
  if (dead == 0) {
    MailslotHandle h;
    _exit(MsgMakePipe("TESSALY", 0, &h) == 0 ? 0 : 1);
  }
  int status = 0;
  ASSERT_EQ(waitpid(dead, &status, 0), dead);

  int results[2];
  ASSERT_EQ(pipe(results), 0);
  constexpr int kRacers = 4;
  pid_t racers[kRacers];
  for (pid_t& racer : racers) {
    racer = fork();
    ASSERT_GE(racer, 0);
    if (racer == 0) {
      MailslotHandle h;
      const bool got = MsgMakePipe("TESSALY", 0, &h) == 0;
      // The winner checks that its socket is the one packets reach.
      std::uint8_t packet[8] = {};
      std::uint8_t in[8];
      std::uint16_t n = 0;
      const bool reachable = got && MsgSendRequest("TESSALY", 10, packet, sizeof packet, 0) == 0 &&
                             MsgReadRequest(h, in, sizeof in, &n) == 0;
      const char mark = got ? (reachable ? 'y' : 'x') : 'n';
      (void)!write(results[1], &mark, 1);
      std::this_thread::sleep_for(std::chrono::milliseconds(500));
      _exit(0);
    }
  }
  std::string marks;
  for (int i = 0; i < kRacers; ++i) {
    char mark = 0;
    ASSERT_EQ(read(results[0], &mark, 1), 1);
    marks += mark;
  }
  for (pid_t racer : racers) waitpid(racer, &status, 0);
  close(results[0]);
  close(results[1]);
  EXPECT_EQ(std::count(marks.begin(), marks.end(), 'y'), 1) << marks;
  EXPECT_EQ(std::count(marks.begin(), marks.end(), 'n'), kRacers - 1) << marks;
}

// The device controller side, run in a child process: creates its reply
// slot, registers with "TESSALY" and waits for the answer.  Exit code 0 when
// the exchange went as expected.
int ControllerProcess() {
  MailslotHandle reply;
  if (MsgMakePipe("F1\\2", 0, &reply) != 0) return 10;
  MailslotHandle probe;
  if (OpenMailslot(10, "TESSALY", &probe) != 0) return 11;  // wait for the server
  CloseMailslot(&probe);

  std::uint8_t request[94] = {};
  WriteServerPacketHeader({0, RT_TESSALY, 1, 0, 0x1234}, request, sizeof request);
  std::memcpy(request + 8, "F1\\2", 5);
  if (MsgSendRequest("TESSALY", 10, request, sizeof request, 0) != 0) return 12;

  std::uint8_t in[268];
  std::uint16_t got = 0;
  for (int i = 0; i < 500; ++i) {
    const StatusWord st = MsgReadRequest(reply, in, sizeof in, &got);
    if (st == 0) break;
    if (st != 232) return 13;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ServerPacketHeader h;
  ReadServerPacketHeader(in, got, &h);
  MsgClosePipe(&reply);
  if (got != 268 || h.length != 268 || h.packet_class != 11 || h.type != 1 || h.device_id != 0x1234) return 14;
  return get_le16(in + 10) == 1 ? 0 : 15;
}

TEST_F(MailslotTest, RequestAndReplyBetweenTwoProcesses) {
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) _exit(ControllerProcess());

  MailslotHandle own;
  ASSERT_EQ(MsgMakePipe("TESSALY", 0, &own), 0);
  std::uint8_t request[464];
  std::uint16_t got = 0;
  StatusWord st = 232;
  for (int i = 0; i < 500 && st == 232; ++i) {
    st = MsgReadRequest(own, request, sizeof request, &got);
    if (st == 232) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ASSERT_EQ(st, 0);
  ServerPacketHeader h;
  ReadServerPacketHeader(request, got, &h);
  EXPECT_EQ(got, 94);
  EXPECT_EQ(h.packet_class, RT_TESSALY);
  EXPECT_EQ(h.type, 1);
  EXPECT_EQ(h.device_id, 0x1234);
  const std::string reply_slot(reinterpret_cast<const char*>(request + 8),
                               strnlen(reinterpret_cast<const char*>(request + 8), 86));
  EXPECT_EQ(reply_slot, "F1\\2");

  std::uint8_t reply[268] = {};
  WriteServerPacketHeader({0, 11, 1, 0, h.device_id}, reply, sizeof reply);
  put_le16(reply + 8, 0);
  put_le16(reply + 10, 1);
  EXPECT_EQ(MsgSendRequest(reply_slot.c_str(), 1, reply, sizeof reply, 0), 0);

  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  MsgClosePipe(&own);
}

TEST(ServerPacketHeader, FieldsAtTheirOffsetsAndShortPackets) {
  const std::uint8_t bytes[] = {0x0A, 0x01, 0x0B, 0x03, 0x34, 0x12, 0x78, 0x56, 0xFF};
  struct Case {
    std::size_t size;
    ServerPacketHeader expected;
    std::size_t present;
  };
  const Case cases[] = {
      {0, {0, 0, 0, 0, 0}, 0},
      {3, {0x010A, 0x0B, 0, 0, 0}, 3},
      {5, {0x010A, 0x0B, 0x03, 0, 0}, 5},
      {7, {0x010A, 0x0B, 0x03, 0x1234, 0}, 7},
      {9, {0x010A, 0x0B, 0x03, 0x1234, 0x5678}, 8},
  };
  for (const Case& c : cases) {
    ServerPacketHeader h;
    EXPECT_EQ(ReadServerPacketHeader(bytes, c.size, &h), c.present) << c.size;
    EXPECT_EQ(h.length, c.expected.length) << c.size;
    EXPECT_EQ(h.packet_class, c.expected.packet_class) << c.size;
    EXPECT_EQ(h.type, c.expected.type) << c.size;
    EXPECT_EQ(h.status, c.expected.status) << c.size;
    EXPECT_EQ(h.device_id, c.expected.device_id) << c.size;
  }
  std::uint8_t out[9];
  std::memset(out, 0xFF, sizeof out);
  WriteServerPacketHeader({0x010A, 0x0B, 0x03, 0x1234, 0x5678}, out, 8);
  EXPECT_EQ(std::vector<std::uint8_t>(out, out + 9), std::vector<std::uint8_t>(bytes, bytes + 9));
  std::uint8_t small[4];
  std::memset(small, 0, sizeof small);
  WriteServerPacketHeader({0x010A, 0x0B, 0x03, 0x1234, 0x5678}, small, 3);
  EXPECT_EQ(small[3], 0);
}

}  // namespace
