// Several servers behind one SIP balancer: the recipe of
// tools/kamailio/kamailio.cfg (Kamailio's dispatcher) in front of two whole
// systems, each brought up by the run command on an area and ports of its
// own, with the balancer as its SIP gateway.  The far ends are sipp with
// spandsp's T.38 terminal: callers that reach the servers only through the
// balancer, and an upstream gateway that the servers' send jobs reach
// through it.  Every process is on loopback, every wait bounded; pages are
// short and the balancer probes every second, so that each case takes
// seconds.
#include <gtest/gtest.h>

#if defined(KV_KAMAILIO) && defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/support/temp_folder.h"
#include "host/support/child_process.h"
#include "fax/support/fax_test_pages.h"
#include "host/support/sip_road.h"

namespace {

using kvtest::BinaryDir;
using kvtest::ReadFile;
using kvtest::Reap;
using kvtest::Spawn;
using Clock = std::chrono::steady_clock;

const std::string kSource = KV_SOURCE_DIR;

bool WaitFor(int ms, const auto& ready) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < end) {
    if (ready()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return ready();
}

bool WaitText(const std::string& file, const std::string& text, int ms) {
  return WaitFor(ms, [&] { return ReadFile(file).find(text) != std::string::npos; });
}

std::vector<std::string> LinesWith(const std::string& file, const std::string& text) {
  std::vector<std::string> out;
  for (const std::string& line : kvtest::ReadLines(file))
    if (line.find(text) != std::string::npos) out.push_back(line);
  return out;
}

// The port number a fax peer wrote into `file`.
std::string PortIn(const std::string& file) { return std::to_string(std::atoi(ReadFile(file).c_str())); }

// A block of `n` (at most 500) consecutive UDP ports of 127.0.0.1 that are
// free now, in 21000-29999: away from the fixed ranges of the other
// interoperability tests and from the ephemeral range.
uint16_t FreePortBlock(unsigned n) {
  const unsigned first = static_cast<unsigned>(getpid()) % 85;
  for (unsigned attempt = 0; attempt < 20; ++attempt) {
    const unsigned base = 21000 + ((first + attempt * 7) % 85) * 100;
    bool free = true;
    for (unsigned p = base; p < base + n && free; ++p) {
      const int fd = socket(AF_INET, SOCK_DGRAM, 0);
      sockaddr_in a{};
      a.sin_family = AF_INET;
      a.sin_port = htons(static_cast<uint16_t>(p));
      a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
      free = fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&a), sizeof a) == 0;
      if (fd >= 0) close(fd);
    }
    if (free) return static_cast<uint16_t>(base);
  }
  return 0;
}

// The run command of an area (tools/run.sh), stopped with SIGTERM at the end.
class RunCommand {
 public:
  RunCommand(const std::string& area, const std::string& log) : log_(log) {
    pid_ = Spawn({"/usr/bin/setsid", "/bin/bash", kSource + "/tools/run.sh"}, log,
                 {"KV_BIN_DIR=" + BinaryDir(), "KORVANE_HOME=" + area, "KV_START_SECONDS=15"});
  }
  ~RunCommand() { (void)Stop(); }
  RunCommand(const RunCommand&) = delete;
  RunCommand& operator=(const RunCommand&) = delete;
  bool Up() const { return pid_ > 0 && WaitText(log_, "Up in ", 40000); }
  // The pid of the tessaly it started; 0 when not known.
  pid_t Tessaly() const {
    const std::string out = ReadFile(log_);
    const std::size_t at = out.find("tessaly is up (pid ");
    return at == std::string::npos ? 0 : static_cast<pid_t>(std::atol(out.c_str() + at + 19));
  }
  // Waits up to `ms` for the command to end by itself; its exit code, -1
  // when it has not ended.
  int Ended(int ms) {
    const int code =
        WaitFor(ms, [&] { return ReadFile(log_).find("All stopped") != std::string::npos; }) ? Reap(pid_, 5000) : -1;
    if (code != -1) pid_ = -1;
    return code;
  }
  int Stop() {
    if (pid_ <= 0) return -1;
    kill(pid_, SIGTERM);
    const int code = Reap(pid_, 60000);
    pid_ = -1;
    return code;
  }
  std::string Output() const { return ReadFile(log_); }

 private:
  std::string log_;
  pid_t pid_ = -1;
};

// A far fax that calls through the balancer: spandsp's T.38 terminal sending
// the pages, sipp placing the call with the terminal's port in its offer.
class Caller {
 public:
  Caller(const std::string& dir, const std::string& tif, uint16_t balancer, uint16_t local) : dir_(dir) {
    std::filesystem::create_directories(dir);
    peer_ = Spawn({BinaryDir() + "/t38-fax-peer", "send", tif, "--calling", "--port-file", dir + "/peer.port",
                   "--remote-file", dir + "/remote.txt", "--seconds", "60", "--ident", "FAR CALLER"},
                  dir + "/peer.txt", {});
    if (!WaitFor(5000, [&] { return !ReadFile(dir + "/peer.port").empty(); })) return;
    sipp_ = std::make_unique<sip_road::sipp_process>(
        dir, kSource + "/tests/host/sipp/uac-t38-call-via-proxy.xml", local, balancer,
        std::vector<std::pair<std::string, std::string>>{
            {"peer_port", PortIn(dir + "/peer.port")}, {"did", "00001"}, {"remote_file", dir + "/remote.txt"}});
  }
  ~Caller() {
    if (peer_ > 0) (void)Reap(peer_, 0);
  }
  Caller(const Caller&) = delete;
  Caller& operator=(const Caller&) = delete;

  bool Started() const { return peer_ > 0 && sipp_ != nullptr; }
  // The call was answered: the server's media address is known.
  bool Answered(int ms) const {
    return WaitFor(ms, [&] { return !ReadFile(dir_ + "/remote.txt").empty(); });
  }
  // The call and the fax went through: sipp's scenario passed (the BYE came)
  // and the terminal sent every page.
  ::testing::AssertionResult Passed(int ms) {
    const int sipp = sipp_ ? sipp_->wait(ms) : -1;
    const int peer = peer_ > 0 ? Reap(peer_, 10000) : -1;
    peer_ = -1;
    if (sipp == 0 && peer == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "sipp " << sipp << ", fax peer " << peer << "\n"
                                         << ReadFile(dir_ + "/peer.txt") << (sipp_ ? sipp_->errors() : "");
  }
  std::string Messages() const { return sipp_ ? sipp_->messages() : ""; }
  std::string CallId() const {
    const std::string m = Messages();
    const std::size_t at = m.find("Call-ID: ");
    return at == std::string::npos ? "" : m.substr(at + 9, m.find_first_of("\r\n", at) - at - 9);
  }

 private:
  std::string dir_;
  pid_t peer_ = -1;
  std::unique_ptr<sip_road::sipp_process> sipp_;
};

// The upstream gateway the servers' send jobs reach through the balancer:
// sipp answering with the T.38 port of spandsp's terminal, which receives.
class Upstream {
 public:
  Upstream(const std::string& dir, uint16_t port) : dir_(dir) {
    std::filesystem::create_directories(dir);
    peer_ = Spawn({BinaryDir() + "/t38-fax-peer", "receive", dir + "/rx.tif", "--port-file", dir + "/peer.port",
                   "--remote-file", dir + "/remote.txt", "--seconds", "60", "--ident", "UPSTREAM PEER"},
                  dir + "/peer.txt", {});
    if (!WaitFor(5000, [&] { return !ReadFile(dir + "/peer.port").empty(); })) return;
    sipp_ = std::make_unique<sip_road::sipp_process>(
        dir, kSource + "/tests/host/sipp/uas-t38-answer-via-proxy.xml", port, 0,
        std::vector<std::pair<std::string, std::string>>{{"peer_port", PortIn(dir + "/peer.port")},
                                                         {"remote_file", dir + "/remote.txt"}});
  }
  ~Upstream() {
    if (peer_ > 0) (void)Reap(peer_, 0);
  }
  Upstream(const Upstream&) = delete;
  Upstream& operator=(const Upstream&) = delete;

  bool Started() const { return peer_ > 0 && sipp_ != nullptr; }
  bool Answered(int ms) const {
    return WaitFor(ms, [&] { return !ReadFile(dir_ + "/remote.txt").empty(); });
  }
  ::testing::AssertionResult Passed(int ms) {
    const int sipp = sipp_ ? sipp_->wait(ms) : -1;
    const int peer = peer_ > 0 ? Reap(peer_, 10000) : -1;
    peer_ = -1;
    if (sipp == 0 && peer == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "sipp " << sipp << ", fax peer " << peer << "\n"
                                         << ReadFile(dir_ + "/peer.txt") << (sipp_ ? sipp_->errors() : "");
  }
  std::string Messages() const { return sipp_ ? sipp_->messages() : ""; }
  std::string Received() const { return dir_ + "/rx.tif"; }

 private:
  std::string dir_;
  pid_t peer_ = -1;
  std::unique_ptr<sip_road::sipp_process> sipp_;
};

// The first Via of the first BYE sipp received names the balancer: the BYE
// passed it.
::testing::AssertionResult ByeCameThrough(const std::string& trace, uint16_t balancer) {
  const std::vector<std::string> byes = sip_road::received_messages(trace, "BYE ");
  if (byes.empty()) return ::testing::AssertionFailure() << "no BYE\n" << trace;
  const std::size_t via = byes[0].find("Via: ");
  const std::string want = "127.0.0.1:" + std::to_string(balancer) + ";";
  if (via != std::string::npos && byes[0].compare(via + 17, want.size(), want) == 0)
    return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure() << "BYE not through the balancer:\n" << byes[0];
}

class BalancerTest : public ::testing::Test {
 protected:
  // Ports, from a block of 500 found free: the balancer (+0), each server's
  // SIP port (+1, +2) and media range (10 ports for each of its 19 sessions,
  // from +100 and +300), the upstream gateway (+3), the callers (+4 on).
  struct Server {
    std::string area;
    uint16_t sip = 0;
    std::unique_ptr<RunCommand> run;
    std::string Standin() const { return area + "/standin.log"; }
  };

  // Two servers with `channels_a` and `channels_b` channels (1 or 2) behind
  // the balancer; every far fax sends `Pages()`, one short page.
  void StartAll(int channels_a, int channels_b) {
    base_ = FreePortBlock(500);
    ASSERT_NE(base_, 0) << "no free block of 500 UDP ports";
    balancer_ = base_;
    upstream_ = static_cast<uint16_t>(base_ + 3);
    fax_test::libtiff_write_fax(Pages(), {fax_test::make_page(fax_test::kind::text, 1728, 80, base_)});
    MakeArea(a_, "A", static_cast<uint16_t>(base_ + 1), static_cast<uint16_t>(base_ + 100), channels_a);
    MakeArea(b_, "B", static_cast<uint16_t>(base_ + 2), static_cast<uint16_t>(base_ + 300), channels_b);
    if (HasFatalFailure()) return;
    a_.run = std::make_unique<RunCommand>(a_.area, tmp_.File("runA.txt"));
    b_.run = std::make_unique<RunCommand>(b_.area, tmp_.File("runB.txt"));
    ASSERT_TRUE(a_.run->Up()) << a_.run->Output();
    ASSERT_TRUE(b_.run->Up()) << b_.run->Output();

    // The balancer, with the servers in set 1 of its dispatcher list.
    const std::string dir = tmp_.File("balancer");
    std::filesystem::create_directories(dir);
    kvtest::WriteFile(dir + "/dispatcher.list", "1 sip:127.0.0.1:" + std::to_string(a_.sip) +
                                                    "\n1 sip:127.0.0.1:" + std::to_string(b_.sip) + "\n");
    kamailio_log_ = dir + "/kamailio.log";
    // A server's first answer to a forwarded INVITE can take more than a
    // second while the machine is busy (a sanitizer build beside other
    // tests), so each server has 3 s; a killed one is still marked down
    // within a few seconds.
    kamailio_ = Spawn({KV_KAMAILIO,
                       "-f",
                       kSource + "/tools/kamailio/kamailio.cfg",
                       "-DD",
                       "-E",
                       "-Y",
                       dir,
                       "-P",
                       dir + "/kamailio.pid",
                       "-w",
                       dir,
                       "-m",
                       "32",
                       "-A",
                       "LISTEN=udp:127.0.0.1:" + std::to_string(balancer_),
                       "-A",
                       "DS_LIST=\"" + dir + "/dispatcher.list\"",
                       "-A",
                       "UPSTREAM=\"127.0.0.1:" + std::to_string(upstream_) + "\"",
                       "-A",
                       "PING_INTERVAL=1",
                       "-A",
                       "FR_TIMER=3000"},
                      kamailio_log_, {});
    ASSERT_GT(kamailio_, 0);
    ASSERT_TRUE(WaitFor(10000, [&] { return kvtest::Exists(dir + "/kamailio.pid"); })) << Balancer();
    // Two probing rounds: both servers answer, none is marked down.
    std::this_thread::sleep_for(std::chrono::milliseconds(2500));
    ASSERT_TRUE(LinesWith(kamailio_log_, "fax server down").empty()) << Balancer();
  }

  void MakeArea(Server& s, const std::string& name, uint16_t sip, uint16_t media, int channels) {
    s.area = tmp_.File(name);
    s.sip = sip;
    const std::string make = "KV_MARROCK=" + BinaryDir() + "/marrock bash " + kSource + "/tools/make-server-area.sh " +
                             s.area + " > " + tmp_.File("make" + name + ".txt") + " 2>&1";
    ASSERT_EQ(std::system(make.c_str()), 0);
    // The server's own SIP port and media range; the balancer as its gateway.
    Replace(s.area + "/K-DB/SETUP.INI",
            {{"LocalSIPPort: 5060", "LocalSIPPort: " + std::to_string(sip)},
             {"SIPGatewayPort: 5070", "SIPGatewayPort: " + std::to_string(balancer_)},
             {"LocalMediaPortStart: 20000", "LocalMediaPortStart: " + std::to_string(media)}});
    if (channels == 1) Replace(s.area + "/KORVANE.INI", {{"[FOIP-G1-2]\nPhoneNum: +44 20 7946 0002\n", ""}});
    for (const char* f : {"/Tessaly/session01.cfg", "/Tessaly/session02.cfg"})
      kvtest::WriteFile(s.area + f,
                        ReadFile(s.area + f) + "\n[T.38 media address]\nlocal media IP address = 127.0.0.1\n");
  }

  static void Replace(const std::string& file, const std::vector<std::pair<std::string, std::string>>& edits) {
    std::string text = ReadFile(file);
    for (const auto& [from, to] : edits) {
      const std::size_t at = text.find(from);
      ASSERT_NE(at, std::string::npos) << from << " in " << file;
      text.replace(at, from.size(), to);
    }
    kvtest::WriteFile(file, text);
  }

  void TearDown() override {
    if (kamailio_ > 0) {
      kill(kamailio_, SIGTERM);
      EXPECT_GE(Reap(kamailio_, 10000), 0) << "the balancer did not stop within 10 s";
    }
    for (Server* s : {&a_, &b_}) {
      if (!s->run) continue;
      (void)s->run->Stop();
      if (s == &a_ && a_killed_) continue;
      const std::string out = s->run->Output();
      EXPECT_NE(out.find("All stopped"), std::string::npos) << out;
      EXPECT_EQ(out.find("still running after"), std::string::npos) << out;
    }
    if (HasFailure()) std::printf("balancer log:\n%s\n", Balancer().c_str());
  }

  // The server the balancer sent the call to first.
  uint16_t DispatchedTo(const std::string& call_id) const {
    for (const std::string& line : LinesWith(kamailio_log_, "incoming call " + call_id + " to sip:00001@127.0.0.1:"))
      return static_cast<uint16_t>(std::atoi(line.c_str() + line.rfind(':') + 1));
    return 0;
  }
  std::size_t Dispatches() const { return LinesWith(kamailio_log_, " to sip:00001@127.0.0.1:").size(); }
  // Waits until the balancer has sent on `n` calls, so that the next call
  // comes after them in its round.
  bool DispatchedCalls(std::size_t n) const {
    return WaitFor(10000, [&] { return Dispatches() >= n; });
  }
  std::string Balancer() const { return ReadFile(kamailio_log_); }
  std::string Pages() const { return tmp_.File("pages.tif"); }
  Server& ServerOn(uint16_t sip) { return sip == a_.sip ? a_ : b_; }

  // The device of the server that rings for a call (waits up to 10 s); 0
  // when none does.
  static int RingingDevice(const Server& s) {
    int device = 0;
    (void)WaitFor(10000, [&] {
      const std::vector<std::string> lines = LinesWith(s.Standin(), " state=9 ");
      if (lines.empty()) return false;
      const std::size_t at = lines[0].find("FOIP/");
      device = at == std::string::npos ? 0 : std::atoi(lines[0].c_str() + at + 5);
      return true;
    });
    return device;
  }
  // A send job of the server's controller G1-`channel` for the pages: the
  // stand-in posts it on the request slot.
  void SubmitSend(const Server& s, int channel, int job) {
    // A send file lies in the server's own area (its request folder).
    kvtest::WriteFile(s.area + "/REQ/TX.TIF", ReadFile(Pages()));
    const int code = kvtest::RunProgram(
        {BinaryDir() + "/drennic-standin", "--post", "sendfax", "FOIP\\G1\\" + std::to_string(channel),
         std::to_string(job), "00001", s.area + "/REQ\\", "TX.TIF", "6", "3"},
        tmp_.File("post.txt"), {"KORVANE_MAILSLOT_DIR=" + s.area + "/mailslot"}, 10000);
    ASSERT_EQ(code, 0) << ReadFile(tmp_.File("post.txt"));
  }
  // The job results the server's stand-in logged.
  static std::vector<std::string> Results(const Server& s) { return LinesWith(s.Standin(), "DRENNIC JOB_RESULT "); }
  // Waits up to 20 s until the server has logged `n` job results: a
  // controller reports its job once the call is over, after the far end.
  static bool ResultsCome(const Server& s, std::size_t n) {
    return WaitFor(20000, [&] { return Results(s).size() >= n; });
  }
  // The job results of `job` that report the fax done with its page.
  static int DoneCount(const Server& s, const std::string& job) {
    int n = 0;
    for (const std::string& line : Results(s))
      n += line.find(" status=0x0 job=" + job + " ") != std::string::npos && line.ends_with(" pages=1");
    return n;
  }
  // Every fax the server filed for its user carries the pages sent.
  void ExpectFiledPages(const Server& s, std::size_t count) {
    std::size_t n = 0;
    for (const auto& e : std::filesystem::directory_iterator(s.area + "/USERS/FAXIN/K-IN")) {
      if (e.path().extension() != ".G3F") continue;
      ++n;
      const pid_t compare =
          Spawn({BinaryDir() + "/t38-fax-peer", "compare", Pages(), e.path().string()}, tmp_.File("compare.txt"), {});
      EXPECT_EQ(Reap(compare, 20000), 0) << ReadFile(tmp_.File("compare.txt"));
    }
    EXPECT_EQ(n, count) << s.area;
  }

  kvtest::TempFolder tmp_;
  uint16_t base_ = 0, balancer_ = 0, upstream_ = 0;
  Server a_, b_;
  bool a_killed_ = false;  // the case killed server A: no orderly stop expected
  std::string kamailio_log_;
  pid_t kamailio_ = -1;
};

// Calls from outside go round robin to both servers; a server whose channels
// are all taken (a received call and a send job, which leaves through the
// balancer to the upstream gateway) answers that it has none, and the
// balancer moves the next call to the other one.  Every call's BYE passes
// the balancer, and every fax arrives whole.
TEST_F(BalancerTest, CallsSpreadAndAFullServerPassesTheCallOn) {
  StartAll(2, 2);
  if (HasFatalFailure()) return;
  const auto began = Clock::now();

  // The first call goes to the server first in the round; that server's
  // other channel then takes a send job.
  Caller first(tmp_.File("call1"), Pages(), balancer_, static_cast<uint16_t>(base_ + 4));
  ASSERT_TRUE(first.Started());
  ASSERT_TRUE(first.Answered(20000)) << Balancer();
  const uint16_t to_first = DispatchedTo(first.CallId());
  ASSERT_TRUE(to_first == a_.sip || to_first == b_.sip) << Balancer();
  Server& full = ServerOn(to_first);
  Server& other = ServerOn(to_first == a_.sip ? b_.sip : a_.sip);
  const int receiving = RingingDevice(full);
  ASSERT_TRUE(receiving == 1 || receiving == 2) << ReadFile(full.Standin());
  Upstream upstream(tmp_.File("upstream"), upstream_);
  ASSERT_TRUE(upstream.Started());
  SubmitSend(full, 3 - receiving, 4711);
  ASSERT_TRUE(upstream.Answered(20000)) << ReadFile(full.Standin()) << Balancer();

  // Spread: the second call goes to the other server.  Failover: the third
  // one, the full server's turn again, is refused there and moved on.
  Caller second(tmp_.File("call2"), Pages(), balancer_, static_cast<uint16_t>(base_ + 5));
  ASSERT_TRUE(second.Started());
  ASSERT_TRUE(second.Answered(20000)) << Balancer();
  Caller third(tmp_.File("call3"), Pages(), balancer_, static_cast<uint16_t>(base_ + 6));
  ASSERT_TRUE(third.Started());
  EXPECT_TRUE(first.Passed(60000));
  EXPECT_TRUE(second.Passed(60000));
  EXPECT_TRUE(third.Passed(60000));
  EXPECT_TRUE(upstream.Passed(60000));
  EXPECT_EQ(DispatchedTo(second.CallId()), other.sip) << Balancer();
  EXPECT_EQ(DispatchedTo(third.CallId()), full.sip) << Balancer();
  const std::vector<std::string> moved = LinesWith(kamailio_log_, "incoming call " + third.CallId() + ": ");
  ASSERT_EQ(moved.size(), 1u) << Balancer();
  EXPECT_NE(moved[0].find(", moved to sip:00001@127.0.0.1:" + std::to_string(other.sip)), std::string::npos)
      << moved[0];
  const std::string code = moved[0].substr(moved[0].find(third.CallId() + ": ") + third.CallId().size() + 2, 3);
  EXPECT_TRUE(code == "404" || code == "480" || code == "486") << moved[0];
  EXPECT_TRUE(LinesWith(kamailio_log_, "incoming call " + first.CallId() + ": ").empty()) << Balancer();
  EXPECT_TRUE(LinesWith(kamailio_log_, "incoming call " + second.CallId() + ": ").empty()) << Balancer();
  for (const Caller* c : {&first, &second, &third}) EXPECT_TRUE(ByeCameThrough(c->Messages(), balancer_));
  EXPECT_TRUE(ByeCameThrough(upstream.Messages(), balancer_));
  // The send job's call left through the balancer to the upstream gateway.
  const std::vector<std::string> out = LinesWith(kamailio_log_, "outgoing call ");
  ASSERT_EQ(out.size(), 1u) << Balancer();
  EXPECT_NE(out[0].find(" from 127.0.0.1:" + std::to_string(full.sip) + " to sip:"), std::string::npos) << out[0];
  EXPECT_TRUE(out[0].ends_with("@127.0.0.1:" + std::to_string(upstream_))) << out[0];

  // Each job ended well on the server that took it, and every page arrived.
  EXPECT_TRUE(ResultsCome(full, 2)) << ReadFile(full.Standin());
  EXPECT_TRUE(ResultsCome(other, 2)) << ReadFile(other.Standin());
  EXPECT_EQ(DoneCount(full, "0"), 1) << ReadFile(full.Standin());
  EXPECT_EQ(DoneCount(full, "4711"), 1) << ReadFile(full.Standin());
  EXPECT_EQ(DoneCount(other, "0"), 2) << ReadFile(other.Standin());
  EXPECT_EQ(Results(full).size() + Results(other).size(), 4u);
  const pid_t compare =
      Spawn({BinaryDir() + "/t38-fax-peer", "compare", Pages(), upstream.Received()}, tmp_.File("compare.txt"), {});
  EXPECT_EQ(Reap(compare, 20000), 0) << ReadFile(tmp_.File("compare.txt"));
  ExpectFiledPages(full, 1);
  ExpectFiledPages(other, 2);
  std::printf("[ balancer ] three calls and a send job through the balancer: %.1f s\n",
              std::chrono::duration<double>(Clock::now() - began).count());
}

// Server A dies (SIGKILL of its tessaly) in the middle of a send job and a
// received call; server B's fax goes on to its end, the balancer marks A down
// and sends the next call to B; A's run command ends, and each of A's jobs
// ends with a failure result.
TEST_F(BalancerTest, AKilledServerLeavesTheOtherServing) {
  StartAll(2, 2);
  if (HasFatalFailure()) return;
  const auto began = Clock::now();
  Upstream upstream(tmp_.File("upstream"), upstream_);
  ASSERT_TRUE(upstream.Started());
  SubmitSend(a_, 1, 4712);
  ASSERT_TRUE(upstream.Answered(20000)) << ReadFile(a_.Standin()) << Balancer();
  // A's second channel and one of B's: the round gives each one call.
  Caller first(tmp_.File("call1"), Pages(), balancer_, static_cast<uint16_t>(base_ + 4));
  ASSERT_TRUE(first.Started());
  ASSERT_TRUE(DispatchedCalls(1)) << Balancer();
  Caller second(tmp_.File("call2"), Pages(), balancer_, static_cast<uint16_t>(base_ + 5));
  ASSERT_TRUE(second.Started());
  ASSERT_TRUE(first.Answered(20000)) << Balancer();
  ASSERT_TRUE(second.Answered(20000)) << Balancer();
  const uint16_t to_first = DispatchedTo(first.CallId());
  const uint16_t to_second = DispatchedTo(second.CallId());
  ASSERT_TRUE((to_first == a_.sip && to_second == b_.sip) || (to_first == b_.sip && to_second == a_.sip)) << Balancer();
  Caller& on_b = to_first == b_.sip ? first : second;

  // Mid-fax on every channel: nothing has ended yet.
  std::this_thread::sleep_for(std::chrono::milliseconds(1000));
  ASSERT_TRUE(Results(a_).empty()) << ReadFile(a_.Standin());
  ASSERT_TRUE(Results(b_).empty()) << ReadFile(b_.Standin());
  const pid_t tessaly = a_.run->Tessaly();
  ASSERT_GT(tessaly, 0) << a_.run->Output();
  ASSERT_EQ(kill(tessaly, SIGKILL), 0);
  a_killed_ = true;
  const auto killed = Clock::now();

  // B serves on: once A is marked down the next call goes to B's other
  // channel without trying A, and both of B's faxes end well.
  EXPECT_TRUE(WaitText(kamailio_log_, "fax server down: sip:127.0.0.1:" + std::to_string(a_.sip), 10000)) << Balancer();
  const double down_s = std::chrono::duration<double>(Clock::now() - killed).count();
  Caller third(tmp_.File("call3"), Pages(), balancer_, static_cast<uint16_t>(base_ + 6));
  ASSERT_TRUE(third.Started());
  EXPECT_TRUE(on_b.Passed(60000));
  EXPECT_TRUE(ByeCameThrough(on_b.Messages(), balancer_));
  EXPECT_TRUE(third.Passed(60000));
  EXPECT_EQ(DispatchedTo(third.CallId()), b_.sip) << Balancer();
  EXPECT_TRUE(LinesWith(kamailio_log_, "incoming call " + third.CallId() + ": ").empty()) << Balancer();
  EXPECT_TRUE(ResultsCome(b_, 2)) << ReadFile(b_.Standin());
  EXPECT_EQ(DoneCount(b_, "0"), 2) << ReadFile(b_.Standin());
  EXPECT_EQ(Results(b_).size(), 2u) << ReadFile(b_.Standin());
  ExpectFiledPages(b_, 2);

  // A's run command sees its tessaly gone and stops the rest of A.
  const int code = a_.run->Ended(40000);
  EXPECT_NE(code, -1) << a_.run->Output();
  std::printf("[ balancer ] killed server marked down after %.1f s; case %.1f s\n", down_s,
              std::chrono::duration<double>(Clock::now() - began).count());
  const std::vector<std::string> a_results = Results(a_);
  EXPECT_EQ(a_results.size(), 2u) << ReadFile(a_.Standin());
  for (const char* job : {"4712", "0"}) {
    const std::vector<std::string> lines = LinesWith(a_.Standin(), std::string(" job=") + job + " ");
    ASSERT_EQ(lines.size(), 1u) << job << "\n" << ReadFile(a_.Standin());
    EXPECT_EQ(lines[0].find(" status=0x0 "), std::string::npos) << lines[0];
  }
  EXPECT_EQ(a_.run->Output().find("still running after"), std::string::npos) << a_.run->Output();
}

}  // namespace

#else

TEST(Balancer, NeedsKamailioAndTheFaxPeers) {
  GTEST_SKIP() << "kamailio, spandsp or libtiff is missing (bash tools/deps.sh test installs them): "
                  "the balancer recipe of tools/kamailio is not tried";
}

#endif
