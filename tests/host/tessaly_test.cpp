// tessaly as a whole, in a child process on a temporary server area, driven
// by a scripted device controller over the mailslots: register, status,
// send, receive, abort, shutdown, a second instance, the watchdog, traps and
// bad packets; exact replies, exit codes and log lines.
#include <gtest/gtest.h>

#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <memory>
#include <vector>
#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <thread>

#include "common/server_packet.h"
#include "common/status_words.h"
#include "common/support/temp_folder.h"
#include "fax/support/fax_test_pages.h"
#include "host/host.h"
#include "host/scripted_controller.h"
#include "host/support/foip_standin.h"
#include "platform/mailslot.h"
#include "platform/process.h"

namespace {

using tessaly_test::Reply;
using tessaly_test::ScriptedController;
using namespace std::chrono_literals;

class TessalyProcess {
 public:
  // A server area made by tools/make-server-area.sh, with the trace lines on.
  explicit TessalyProcess(const std::string& mailslots = "") {
    const std::string cmd =
        "bash " + std::string(KV_SOURCE_DIR) + "/tools/make-server-area.sh " + area_.path() + " > /dev/null";
    EXPECT_EQ(std::system(cmd.c_str()), 0);
    std::string setup = kvtest::ReadFile(area_.File("K-DB/SETUP.INI"));
    setup.replace(setup.find("LogLevel: 3"), 11, "LogLevel: 1");
    // Ports of its own, so that other test programs running tessaly at the
    // same time do not take its SIP or media ports.
    setup.replace(setup.find("LocalSIPPort: 5060"), 18, "LocalSIPPort: 17260");
    setup.replace(setup.find("SIPGatewayPort: 5070"), 20, "SIPGatewayPort: 17270");
    setup.replace(setup.find("LocalMediaPortStart: 20000"), 26, "LocalMediaPortStart: 17300");
    kvtest::WriteFile(area_.File("K-DB/SETUP.INI"), setup);
    mailslots_ = mailslots.empty() ? area_.File("mailslot") : mailslots;
  }
  ~TessalyProcess() {
    if (::testing::Test::HasFailure() && std::getenv("TESSALY_TEST_LOG")) std::fprintf(stderr, "%s", Log().c_str());
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  const kvtest::TempFolder& area() const { return area_; }
  const std::string& mailslots() const { return mailslots_; }
  std::string File(const std::string& name) const { return area_.File(name); }

  // Runs the program `runs` times one after the other in the child; the
  // child ends through exit() after the last run, so that what the program
  // leaves behind meets the static destructors and the leak check.
  void Start(const HostOptions& o, int runs = 1) {
    setenv("KORVANE_INI_PATH", area_.File("KORVANE.INI").c_str(), 1);
    setenv("KORVANE_MAILSLOT_DIR", mailslots_.c_str(), 1);
    std::fflush(nullptr);
    pid_ = fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      const int out = open(area_.File("console.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(out, 1);
      platform::InstallTerminationFlag();
      if (runs == 1) _exit(TessalyMain(o));
      int code = 0;
      for (int i = 0; i < runs && code == 0; ++i) code = TessalyMain(o);
      std::fflush(nullptr);
      std::exit(code);
    }
  }

  std::string Log() const { return kvtest::ReadFile(area_.File("K-DB/TESSALY.log")); }
  bool LogHas(const std::string& text) const { return Log().find(text) != std::string::npos; }
  // Waits up to `ms` for a text in the program log.
  bool WaitLog(const std::string& text, int ms = 10000) const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
      if (LogHas(text)) return true;
      std::this_thread::sleep_for(20ms);
    }
    return false;
  }
  bool WaitServing() { return WaitLog("Serving device controllers on mailslot TESSALY"); }
  // Exit code, or -1 when the process did not end within `ms`.
  int Wait(int ms = 20000) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      std::this_thread::sleep_for(20ms);
    }
    return -1;
  }
  void Signal(int sig) { kill(pid_, sig); }

 private:
  kvtest::TempFolder area_;
  std::string mailslots_;
  pid_t pid_ = -1;
};

HostOptions Fast() {
  HostOptions o;
  o.loop_ms = 100;
  o.send_poll_ms = 50;
  o.shutdown_passes = 20;
  o.exit_wait_ms = 5000;
  return o;
}

void ExpectStatus(const std::optional<Reply>& r, std::uint16_t kind, std::uint16_t value, const char* text = "") {
  ASSERT_TRUE(r.has_value()) << "no packet; expected kind " << kind << " value " << value;
  ASSERT_EQ(r->type, TESSALY_FAX_STATUS);
  EXPECT_EQ(r->status.kind, kind);
  EXPECT_EQ(r->status.value, value);
  EXPECT_STREQ(r->status.text, text);
}

// The controller registers, then tells its device status (receiving or
// not); tessaly takes both.
void RegisterWithStatus(ScriptedController& c, std::uint16_t receive) {
  ASSERT_EQ(c.Register(), STATUS_OK);
  ExpectStatus(c.Next(), FAX_STATUS_REQUEST_DONE, 1);
  ASSERT_EQ(c.Status(receive), STATUS_OK);
  ExpectStatus(c.Next(), FAX_STATUS_REQUEST_DONE, 5);
}

class Tessaly : public ::testing::Test {
 protected:
  void TearDown() override {
    unsetenv("KORVANE_INI_PATH");
    unsetenv("KORVANE_MAILSLOT_DIR");
  }
};

TEST_F(Tessaly, RegisterStatusAbortAndShutdownPacket) {
  TessalyProcess t;
  setenv("KORVANE_MAILSLOT_DIR", t.mailslots().c_str(), 1);
  MailslotHandle morvath;
  ASSERT_EQ(MsgMakePipe("MORVATH", 0, &morvath), STATUS_OK);
  t.Start(Fast());
  ASSERT_TRUE(t.WaitServing());
  // The program start reached the system manager.
  std::uint8_t start[64];
  std::uint16_t start_length = 0;
  for (int i = 0; i < 100 && MsgReadRequest(morvath, start, sizeof start, &start_length) != STATUS_OK; ++i)
    std::this_thread::sleep_for(20ms);
  MsgClosePipe(&morvath);
  ASSERT_EQ(start_length, 24);
  EXPECT_EQ(start[2], RT_MORVATH);
  EXPECT_EQ(start[3], 3);
  EXPECT_EQ(std::string(reinterpret_cast<const char*>(start + 6)), "TESSALY");
  EXPECT_EQ(start[16], 0);
  EXPECT_EQ(start[20], 1);
  ScriptedController c(0x1234, "F1\\1");
  ASSERT_TRUE(c.ok());

  ASSERT_NO_FATAL_FAILURE(RegisterWithStatus(c, 1));
  // No session is running: the abort fails.
  ASSERT_EQ(c.Abort(), STATUS_OK);
  ExpectStatus(c.Next(), FAX_STATUS_REQUEST_FAILED, 4);
  // No call waits: the receive fails.
  ASSERT_EQ(c.Receive(1), STATUS_OK);
  ExpectStatus(c.Next(), FAX_STATUS_REQUEST_FAILED, 3);
  EXPECT_TRUE(t.LogHas("Unable to receive fax message for device 4660, filename in.tif"));

  ASSERT_EQ(c.Shutdown(), STATUS_OK);
  EXPECT_EQ(t.Wait(), 0);
  EXPECT_FALSE(c.Next(200).has_value()) << "a shutdown is not answered";
  const std::string log = t.Log();
  EXPECT_NE(log.find("Tessaly - Version 15.0.930"), std::string::npos);
  // The real FOIP entity took the configuration, SIP side included.
  EXPECT_NE(log.find("FOIP__SET_CONFIG_CO Return code         : OK"), std::string::npos);
  EXPECT_NE(log.find("New Device Controller 1234 is registered with session ID 1."), std::string::npos);
  EXPECT_NE(log.find("DeviceControllerDispatcher - RST_TESSALY_SHUTDOWN received"), std::string::npos);
  EXPECT_NE(log.find("vxl_main - Shutdown packet received"), std::string::npos);
  EXPECT_NE(log.find("vxl_main - Entering wait loop"), std::string::npos);
  EXPECT_NE(log.find("Program closing down"), std::string::npos);
}

// Short, over-long and foreign packets are dropped with a log line; the
// next good request is still served; a request from an unknown controller
// reaches no handler; class 99 of any length shuts down.
TEST_F(Tessaly, BadPacketsAreDroppedAndClass99ShutsDown) {
  TessalyProcess t;
  t.Start(Fast());
  ASSERT_TRUE(t.WaitServing());
  ScriptedController c(7, "F1\\2");
  ASSERT_EQ(c.Register(), STATUS_OK);
  ExpectStatus(c.Next(), FAX_STATUS_REQUEST_DONE, 1);

  struct Bad {
    std::uint8_t packet_class, type;
    std::size_t length;
  };
  const Bad cases[] = {
      {RT_TESSALY, RST_TESSALY_REGISTER_DEVICE, 93}, {RT_TESSALY, RST_TESSALY_REGISTER_DEVICE, 95},
      {RT_TESSALY, RST_TESSALY_SEND_FAX, 463},       {RT_TESSALY, RST_TESSALY_RECV_FAX, 100},
      {RT_TESSALY, RST_TESSALY_DEVICE_STATUS, 9},    {RT_TESSALY, RST_TESSALY_ABORT_FAX, 9},
      {RT_TESSALY, RST_TESSALY_SHUTDOWN, 5},         {12, RST_TESSALY_DEVICE_STATUS, 10},
  };
  for (const Bad& b : cases) {
    std::vector<std::uint8_t> p(b.length, 'x');
    ServerPacketHeader h;
    h.length = static_cast<std::uint16_t>(b.length);
    h.packet_class = b.packet_class;
    h.type = b.type;
    h.device_id = 7;
    WriteServerPacketHeader(h, p.data(), p.size());
    // An unterminated reply-slot name must not reach the table either.
    ASSERT_EQ(c.SendRaw(p), STATUS_OK);
  }
  ASSERT_EQ(c.Status(0), STATUS_OK);
  ExpectStatus(c.Next(), FAX_STATUS_REQUEST_DONE, 5);
  EXPECT_FALSE(c.Next(200).has_value());
  std::size_t invalid = 0;
  const std::string log = t.Log();
  for (std::size_t at = 0; (at = log.find("Invalid packet received", at)) != std::string::npos; ++at) ++invalid;
  EXPECT_EQ(invalid, std::size(cases));

  ScriptedController stranger(99, "F1\\3");
  ASSERT_EQ(stranger.Status(1), STATUS_OK);
  ASSERT_TRUE(t.WaitLog("Device controller with id 99 is not registered with TESSALY"));
  EXPECT_FALSE(stranger.Next(200).has_value()) << "no reply slot is known for it";

  std::vector<std::uint8_t> shutdown(7, 0);
  shutdown[2] = RT_SHUTDOWN;
  shutdown[3] = 42;
  ASSERT_EQ(c.SendRaw(shutdown), STATUS_OK);
  EXPECT_EQ(t.Wait(), 0);
  EXPECT_TRUE(t.LogHas("RT_SHUTDOWN packet received, changed to RT_TESSALY shutdown packet"));
}

// Runs `attempt` in a child process under another account (uid 65534 with
// the group `gid` only); true when the child's datagram reached the slot.
bool SentAs(gid_t gid, const std::vector<std::uint8_t>& packet) {
  std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    if (setgroups(0, nullptr) != 0 || setgid(gid) != 0 || setuid(65534) != 0) _exit(2);
    int fd = -1;
    if (!platform::MailslotOpenWriter("TESSALY", &fd).ok()) _exit(1);
    _exit(platform::MailslotWrite(fd, packet.data(), packet.size()).ok() ? 0 : 1);
  }
  int status = 0;
  waitpid(child, &status, 0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// The slot folder and the sockets tessaly makes belong to the server's
// account and the group of the server area: a member of that group reaches
// tessaly, any other account is refused (its shutdown never arrives).
TEST_F(Tessaly, MailslotsAreForTheServerAccountAndGroupOnly) {
  TessalyProcess t;
  const bool root = getuid() == 0;
  constexpr gid_t kServerGroup = 4242;
  if (root) {
    ASSERT_EQ(chown(t.area().path().c_str(), static_cast<uid_t>(-1), kServerGroup), 0);
    ASSERT_EQ(chmod(t.area().path().c_str(), 0755), 0);  // only the slots keep others out
  }
  t.Start(Fast());
  ASSERT_TRUE(t.WaitServing());
  struct stat folder {};
  struct stat slot {};
  ASSERT_EQ(stat(t.mailslots().c_str(), &folder), 0);
  ASSERT_EQ(stat((t.mailslots() + "/TESSALY").c_str(), &slot), 0);
  EXPECT_EQ(folder.st_mode & 07777, 0770u);
  EXPECT_TRUE(S_ISSOCK(slot.st_mode));
  EXPECT_EQ(slot.st_mode & 07777, 0660u);
  struct stat area {};
  ASSERT_EQ(stat(t.area().path().c_str(), &area), 0);
  EXPECT_EQ(folder.st_gid, area.st_gid);
  EXPECT_EQ(slot.st_gid, area.st_gid);

  ScriptedController c(7, "F1\\5");
  ASSERT_EQ(c.Register(), STATUS_OK);
  ExpectStatus(c.Next(), FAX_STATUS_REQUEST_DONE, 1);
  if (root) {
    std::vector<std::uint8_t> shutdown(7, 0);
    shutdown[2] = RT_SHUTDOWN;
    shutdown[3] = 6;
    EXPECT_FALSE(SentAs(65534, shutdown)) << "another account reached tessaly";
    std::vector<std::uint8_t> status(kDeviceStatusSize);
    WriteDeviceStatus(7, 1, status.data());
    EXPECT_TRUE(SentAs(kServerGroup, status)) << "a member of the server group was refused";
    ExpectStatus(c.Next(), FAX_STATUS_REQUEST_DONE, 5);
  }
  // Still serving: the stranger's shutdown did not arrive.
  ASSERT_EQ(c.Status(0), STATUS_OK);
  ExpectStatus(c.Next(), FAX_STATUS_REQUEST_DONE, 5);
  ASSERT_EQ(c.Shutdown(), STATUS_OK);
  EXPECT_EQ(t.Wait(), 0);
}

// The stand-in FOIP entity refuses the start: the controller hears the
// request accepted, then the call set-up failure.
TEST_F(Tessaly, SendThatCannotStartReportsNotConnected) {
  TessalyProcess t;
  HostOptions o = Fast();
  foip_standin__use(o, FoipStandinMode::kRefuseStarts);
  t.Start(o);
  ASSERT_TRUE(t.WaitServing());
  ASSERT_TRUE(t.WaitLog("FOIP stand-in - configuration accepted"));
  ScriptedController c(0x0101, "F2\\1");
  ASSERT_NO_FATAL_FAILURE(RegisterWithStatus(c, 0));
  ASSERT_EQ(c.Send(), STATUS_OK);
  ExpectStatus(c.Next(), FAX_STATUS_REQUEST_DONE, 2);
  ExpectStatus(c.Next(), FOIP_STATUS_FAX_NOT_CONNECTED, STATUS_FAX_FAILED);
  EXPECT_TRUE(t.LogHas("DeviceControllerDispatcher - Fax TIFF file to be sent Tessaly\\pages\\page1.tif"));
  EXPECT_TRUE(t.LogHas("Setting Gateway IP Address to: 127.0.0.1"));
  EXPECT_TRUE(t.LogHas("Error: FOIP entity not available"));
  // The session is idle again: a second send goes the same way.
  ASSERT_EQ(c.Send(), STATUS_OK);
  ExpectStatus(c.Next(), FAX_STATUS_REQUEST_DONE, 2);
  ExpectStatus(c.Next(), FOIP_STATUS_FAX_NOT_CONNECTED, STATUS_FAX_FAILED);
  t.Signal(SIGTERM);
  EXPECT_EQ(t.Wait(), 0);
  EXPECT_TRUE(t.LogHas("vxl_main - Termination signal received"));
}

// Sessions are 1 to 19: the 20th controller registers (the table takes
// more) but is told at once that its sends cannot start, with the limit in
// the log; the 19th still sends.
TEST_F(Tessaly, ControllerBeyondTheSessionsIsRefusedAtOnce) {
  TessalyProcess t;
  HostOptions o = Fast();
  foip_standin__use(o, FoipStandinMode::kRefuseStarts);
  t.Start(o);
  ASSERT_TRUE(t.WaitServing());
  std::vector<std::unique_ptr<ScriptedController>> controllers;
  for (std::uint16_t i = 1; i <= 20; ++i) {
    controllers.push_back(std::make_unique<ScriptedController>(0x0500 + i, "F5\\" + std::to_string(i)));
    ASSERT_NO_FATAL_FAILURE(RegisterWithStatus(*controllers.back(), 0));
  }
  EXPECT_TRUE(t.WaitLog("Device controller 1300 has session 20 but TESSALY has sessions 1 to 19 only"));
  ScriptedController& last = *controllers.back();
  const auto sent = std::chrono::steady_clock::now();
  ASSERT_EQ(last.Send(), STATUS_OK);
  ExpectStatus(last.Next(), FAX_STATUS_REQUEST_FAILED, 2);
  EXPECT_LT(std::chrono::steady_clock::now() - sent, 2000ms);
  ScriptedController& nineteenth = *controllers[18];
  ASSERT_EQ(nineteenth.Send(), STATUS_OK);
  ExpectStatus(nineteenth.Next(), FAX_STATUS_REQUEST_DONE, 2);
  ExpectStatus(nineteenth.Next(), FOIP_STATUS_FAX_NOT_CONNECTED, STATUS_FAX_FAILED);
  ASSERT_EQ(last.Shutdown(), STATUS_OK);
  EXPECT_EQ(t.Wait(), 0);
}

// A session whose call opened and then stays silent: the controller aborts
// it (answered when the stop is confirmed); another one is ended by the
// watchdog on a short tick.
TEST_F(Tessaly, AbortAndWatchdogEndARunningSession) {
  TessalyProcess t;
  HostOptions o = Fast();
  foip_standin__use(o, FoipStandinMode::kOpenCallOnStart);
  o.watchdog_limit = 5;  // 5 passes of 100 ms
  t.Start(o);
  ASSERT_TRUE(t.WaitServing());
  ScriptedController c(0x0202, "F3\\1");
  ASSERT_NO_FATAL_FAILURE(RegisterWithStatus(c, 0));

  ASSERT_EQ(c.Send(), STATUS_OK);
  ExpectStatus(c.Next(), FAX_STATUS_REQUEST_DONE, 2);
  ExpectStatus(c.Next(), FAX_STATUS_CALL_CONNECTED, 0, "0123");
  ASSERT_EQ(c.Abort(), STATUS_OK);
  ExpectStatus(c.Next(), FAX_STATUS_REQUEST_DONE, 4);

  ASSERT_EQ(c.Send(), STATUS_OK);
  ExpectStatus(c.Next(), FAX_STATUS_REQUEST_DONE, 2);
  ExpectStatus(c.Next(), FAX_STATUS_CALL_CONNECTED, 0, "0123");
  const auto before = std::chrono::steady_clock::now();
  ExpectStatus(c.Next(5000), FOIP_STATUS_FAX_NOT_SENT, STATUS_FAX_FAILED);
  EXPECT_GE(std::chrono::steady_clock::now() - before, 400ms);
  EXPECT_TRUE(t.LogHas("Device Controller 202 abort status flag set to 4 "));

  ASSERT_EQ(c.Shutdown(), STATUS_OK);
  EXPECT_EQ(t.Wait(), 0);
}

// A send that cannot start (its session still runs) waits without holding
// up the others; when its wait ends it is aborted and left unanswered.
TEST_F(Tessaly, SendWaitingForItsStartDoesNotBlockOthersAndIsLeftUnanswered) {
  TessalyProcess t;
  HostOptions o = Fast();
  foip_standin__use(o, FoipStandinMode::kOpenCallOnStart);
  o.send_start_wait_ms = 3000;
  t.Start(o);
  ASSERT_TRUE(t.WaitServing());
  ScriptedController a(0x0303, "F6\\1"), b(0x0304, "F6\\2");
  ASSERT_EQ(a.Register(), STATUS_OK);
  ExpectStatus(a.Next(), FAX_STATUS_REQUEST_DONE, 1);
  ASSERT_EQ(a.Status(0), STATUS_OK);
  ExpectStatus(a.Next(), FAX_STATUS_REQUEST_DONE, 5);
  ASSERT_EQ(a.Send(), STATUS_OK);
  ExpectStatus(a.Next(), FAX_STATUS_REQUEST_DONE, 2);
  ExpectStatus(a.Next(), FAX_STATUS_CALL_CONNECTED, 0, "0123");

  ASSERT_EQ(a.Send("0699999999"), STATUS_OK);
  ASSERT_EQ(b.Register(), STATUS_OK);
  const auto sent = std::chrono::steady_clock::now();
  ExpectStatus(b.Next(), FAX_STATUS_REQUEST_DONE, 1);
  EXPECT_LT(std::chrono::steady_clock::now() - sent, 2500ms) << "served while the send waits";
  ASSERT_TRUE(t.WaitLog("Unable to send fax message for device 771, recipient 0699999999, filename page1.tif"));
  ASSERT_TRUE(t.WaitLog("FOIP__STOP_CO of a send not started in time: no answer"));
  EXPECT_FALSE(a.Next(500).has_value());
  // The session is free again.
  ASSERT_EQ(a.Send(), STATUS_OK);
  ExpectStatus(a.Next(), FAX_STATUS_REQUEST_DONE, 2);
  ExpectStatus(a.Next(), FAX_STATUS_CALL_CONNECTED, 0, "0123");
  ASSERT_EQ(a.Shutdown(), STATUS_OK);
  EXPECT_EQ(t.Wait(), 0);
}

// A controller that restarts with a new id on the same slot takes over its
// entry (same session), its running session is aborted without an answer,
// and the old id is no longer known.
TEST_F(Tessaly, RestartedControllerTakesOverItsEntry) {
  TessalyProcess t;
  HostOptions o = Fast();
  foip_standin__use(o, FoipStandinMode::kOpenCallOnStart);
  t.Start(o);
  ASSERT_TRUE(t.WaitServing());
  ScriptedController c(0x0505, "F7\\1");
  ASSERT_NO_FATAL_FAILURE(RegisterWithStatus(c, 0));
  ASSERT_EQ(c.Send(), STATUS_OK);
  ExpectStatus(c.Next(), FAX_STATUS_REQUEST_DONE, 2);
  ExpectStatus(c.Next(), FAX_STATUS_CALL_CONNECTED, 0, "0123");

  c.set_id(0x0506);
  ASSERT_EQ(c.Register(), STATUS_OK);
  ExpectStatus(c.Next(), FAX_STATUS_REQUEST_DONE, 1);
  ASSERT_TRUE(t.WaitLog("Device Controller 506 replaces 505 on slot F7\\1"));
  ASSERT_TRUE(t.WaitLog("FOIP__STOP_CO of a send not started in time: no answer"));
  EXPECT_FALSE(c.Next(300).has_value());
  ASSERT_EQ(c.Status(0), STATUS_OK);
  ExpectStatus(c.Next(), FAX_STATUS_REQUEST_DONE, 5);
  c.set_id(0x0505);
  ASSERT_EQ(c.Status(0), STATUS_OK);
  ASSERT_TRUE(t.WaitLog("Device controller with id 1285 is not registered with TESSALY"));
  EXPECT_FALSE(t.LogHas("New Device Controller 506"));
  ASSERT_EQ(c.Shutdown(), STATUS_OK);
  EXPECT_EQ(t.Wait(), 0);
}

// A second instance finds the slot taken: it says so and runs on without
// it; the first goes on serving; SIGINT ends the second cleanly.
TEST_F(Tessaly, SecondInstanceLeavesTheFirstServing) {
  TessalyProcess first;
  first.Start(Fast());
  ASSERT_TRUE(first.WaitServing());
  TessalyProcess second(first.mailslots());
  second.Start(Fast());
  ASSERT_TRUE(second.WaitLog("The Korvane Server may already be running - check Task Manager"));
  EXPECT_TRUE(second.LogHas("Error 0xF00C creating message pipe"));
  EXPECT_FALSE(second.LogHas("Serving device controllers"));

  ScriptedController c(0x0303, "F4\\1");
  ASSERT_EQ(c.Register(), STATUS_OK);
  ExpectStatus(c.Next(), FAX_STATUS_REQUEST_DONE, 1);
  second.Signal(SIGINT);
  EXPECT_EQ(second.Wait(), 0);
  ASSERT_EQ(c.Status(1), STATUS_OK);
  ExpectStatus(c.Next(), FAX_STATUS_REQUEST_DONE, 5);
  ASSERT_EQ(c.Shutdown(), STATUS_OK);
  EXPECT_EQ(first.Wait(), 0);
}

// A broken configuration traps at start-up: the trap is logged and
// captured, and the slot still serves the controllers and the shutdown.
TEST_F(Tessaly, TrapKeepsTheSlotOpen) {
  TessalyProcess t;
  kvtest::WriteFile(t.File("Tessaly/session01.cfg"), "[General]\nno such keyword = 1\n");
  t.Start(Fast());
  ASSERT_TRUE(t.WaitServing());
  ScriptedController c(0x0404, "F5\\1");
  ASSERT_EQ(c.Register(), STATUS_OK);
  ExpectStatus(c.Next(), FAX_STATUS_REQUEST_DONE, 1);
  const std::string server_log = kvtest::ReadFile(t.File("K-DB/SERVER.LOG"));
  EXPECT_NE(server_log.find("Error starting Tessaly Connector - Code: 30005"), std::string::npos) << server_log;
  EXPECT_NE(server_log.find("Error reason is: Problem with session configuration file"), std::string::npos);
  bool capture = false;
  if (FILE* p = popen(("ls " + t.area().path() + " | grep -c '^TessalyTrace[0-9a-f]\\{8\\}\\.CAP$'").c_str(), "r")) {
    int n = 0;
    capture = std::fscanf(p, "%d", &n) == 1 && n == 1;
    pclose(p);
  }
  EXPECT_TRUE(capture) << "one capture file";
  ASSERT_EQ(c.Shutdown(), STATUS_OK);
  EXPECT_EQ(t.Wait(), 0);
  EXPECT_TRUE(t.LogHas("Program closing down"));
}

// Without "[TESSALY]" no program log is opened; the program serves anyway.
TEST_F(Tessaly, WithoutItsParagraphThereIsNoProgramLog) {
  TessalyProcess t;
  kvtest::WriteFile(t.File("K-DB/SETUP.INI"), "[OPTIONS]\n");
  t.Start(Fast());
  ScriptedController c(0x0606, "F8\\1");
  StatusWord sent = STATUS_MAILSLOT_MISSING;
  for (int i = 0; i < 200 && sent != STATUS_OK; ++i) {
    sent = c.Register();
    if (sent != STATUS_OK) std::this_thread::sleep_for(50ms);
  }
  ASSERT_EQ(sent, STATUS_OK);
  ExpectStatus(c.Next(), FAX_STATUS_REQUEST_DONE, 1);
  ASSERT_EQ(c.Shutdown(), STATUS_OK);
  EXPECT_EQ(t.Wait(), 0);
  EXPECT_FALSE(kvtest::Exists(t.File("K-DB/TESSALY.log")));
}

// Started again in the same process after a shutdown, the program serves as
// the first time: the stop left nothing behind that the second start trips
// over or that the exit of the process frees again.
TEST_F(Tessaly, SecondRunInTheSameProcessServesAndEndsCleanly) {
  TessalyProcess t;
  fax_test::libtiff_write_fax(t.File("Tessaly/pages/page1.tif"),
                              {fax_test::make_page(fax_test::kind::text, 1728, 120)});
  setenv("KORVANE_MAILSLOT_DIR", t.mailslots().c_str(), 1);
  MailslotHandle morvath;
  ASSERT_EQ(MsgMakePipe("MORVATH", 0, &morvath), STATUS_OK);
  t.Start(Fast(), 2);
  for (int run = 1; run <= 2; ++run) {
    SCOPED_TRACE(run);
    // Each run announces itself to MORVATH once it serves.
    std::uint8_t start[64];
    std::uint16_t start_length = 0;
    for (int i = 0; i < 500 && MsgReadRequest(morvath, start, sizeof start, &start_length) != STATUS_OK; ++i)
      std::this_thread::sleep_for(20ms);
    ASSERT_EQ(start_length, 24);
    ScriptedController c(0x0707, "F9\\1");
    ASSERT_NO_FATAL_FAILURE(RegisterWithStatus(c, 0));
    // A send towards the gateway, which never answers, keeps a session of
    // the FOIP entity busy until the abort.
    ASSERT_EQ(c.Send(), STATUS_OK);
    ExpectStatus(c.Next(), FAX_STATUS_REQUEST_DONE, 2);
    ASSERT_EQ(c.Abort(), STATUS_OK);
    ASSERT_EQ(c.Shutdown(), STATUS_OK);
  }
  MsgClosePipe(&morvath);
  EXPECT_EQ(t.Wait(), 0);
  EXPECT_TRUE(t.LogHas("FOIP__SET_CONFIG_CO Return code         : OK"));
  EXPECT_TRUE(t.LogHas("Program closing down"));
}

TEST_F(Tessaly, MissingSettingsEndWithCodeOne) {
  TessalyProcess t;
  std::remove(t.File("KORVANE.INI").c_str());
  t.Start(Fast());
  EXPECT_EQ(t.Wait(), 1);
  EXPECT_EQ(kvtest::ReadFile(t.File("console.txt")), "Error reading system parameters\n");
}

}  // namespace
