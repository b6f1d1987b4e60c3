// A fax received by the whole system: the run command brings up the
// stand-in, tessaly and two controllers on a temporary area; sipp calls the
// DID of ROUTING.INI with a T.38 offer for spandsp's T.38 terminal, which
// sends three pages; the controller files ~RECDxxx.CTL and a .G3F in the
// user's K-IN folder, whose pages equal those sent, and tells the fax
// server (MESSAGE_RECEIVED, a job result with status 0 and 3 pages); the run
// command then stops everything in order.
#include "host/support/sip_road.h"

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "common/support/temp_folder.h"
#include "host/support/child_process.h"
#include "host/support/milestone_fixture.h"

namespace {

using kvtest::BinaryDir;
using kvtest::Reap;
using kvtest::Spawn;

using Clock = std::chrono::steady_clock;

// Ports of this program: SIP 14160-14161, media 16000-16199.
constexpr uint16_t kSip = 14160, kGateway = 14161, kMedia = 16000;

bool WaitText(const std::string& file, const std::string& text, int ms) {
  const auto end = Clock::now() + std::chrono::milliseconds(ms);
  while (Clock::now() < end) {
    if (kvtest::ReadFile(file).find(text) != std::string::npos) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  }
  return false;
}

// The run command of an area, stopped with SIGTERM at the end of the case.
class RunCommand {
 public:
  RunCommand(const std::string& area, const std::string& log) : log_(log) {
    pid_ = Spawn({"/usr/bin/setsid", "/bin/bash", std::string(KV_SOURCE_DIR) + "/tools/run.sh"}, log,
                 {"KV_BIN_DIR=" + BinaryDir(), "KORVANE_HOME=" + area, "KV_START_SECONDS=15"});
  }
  ~RunCommand() {
    if (pid_ > 0) (void)Stop();
  }
  bool Up() const { return pid_ > 0 && WaitText(log_, "Up in ", 40000); }
  int Stop() {
    kill(pid_, SIGTERM);
    const int code = Reap(pid_, 60000);
    pid_ = -1;
    return code;
  }

 private:
  std::string log_;
  pid_t pid_ = -1;
};

TEST(SystemReceive, CallToADidIsFiledInTheUsersInFolder) {
  kvtest::TempFolder tmp;
  const std::string area = tmp.File("area");
  const std::string source = KV_SOURCE_DIR;
  const std::string make = "KV_MARROCK=" + BinaryDir() + "/marrock bash " + source + "/tools/make-server-area.sh " +
                           area + " > " + tmp.File("make.txt") + " 2>&1";
  ASSERT_EQ(std::system(make.c_str()), 0);
  std::string setup = kvtest::ReadFile(area + "/K-DB/SETUP.INI");
  for (auto [from, to] : {std::pair<std::string, std::string>{"LocalSIPPort: 5060", "LocalSIPPort: 14160"},
                          {"SIPGatewayPort: 5070", "SIPGatewayPort: 14161"},
                          {"LocalMediaPortStart: 20000", "LocalMediaPortStart: 16000"}}) {
    const std::size_t at = setup.find(from);
    ASSERT_NE(at, std::string::npos) << from;
    setup.replace(at, from.size(), to);
  }
  kvtest::WriteFile(area + "/K-DB/SETUP.INI", setup);
  // The sessions' media on loopback.
  for (const char* name : {"/Tessaly/session01.cfg", "/Tessaly/session02.cfg"})
    kvtest::WriteFile(area + name,
                      kvtest::ReadFile(area + name) + "\n[T.38 media address]\nlocal media IP address = 127.0.0.1\n");

  RunCommand run(area, tmp.File("run.txt"));
  ASSERT_TRUE(run.Up()) << kvtest::ReadFile(tmp.File("run.txt"));
  EXPECT_TRUE(WaitText(tmp.File("run.txt"), "marrock G1-1 is up", 5000));
  EXPECT_TRUE(WaitText(tmp.File("run.txt"), "marrock G1-2 is up", 5000));

  // Three short fine pages, so that the fax takes seconds, not a minute.
  const std::string sample = tmp.File("tx.tif");
  fax_test::libtiff_write_fax(sample, milestone::three_pages(41));
  const pid_t peer =
      Spawn({BinaryDir() + "/t38-fax-peer", "send", sample, "--calling", "--port-file", tmp.File("peer.port"),
             "--remote-file", tmp.File("remote.txt"), "--seconds", "80", "--ident", "RX PEER"},
            tmp.File("peer.txt"), {});
  ASSERT_GT(peer, 0);
  for (int i = 0; i < 100 && kvtest::ReadFile(tmp.File("peer.port")).empty(); ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const std::string peer_port = kvtest::ReadFile(tmp.File("peer.port"));
  ASSERT_FALSE(peer_port.empty()) << kvtest::ReadFile(tmp.File("peer.txt"));

  const auto began = Clock::now();
  sip_road::sipp_process sipp(
      tmp.path(), source + "/tests/host/sipp/uac-t38-call.xml", kGateway, kSip,
      {{"peer_port", std::to_string(std::stoi(peer_port))}, {"did", "00001"}, {"remote_file", tmp.File("remote.txt")}});
  const std::string standin = area + "/standin.log";
  EXPECT_TRUE(WaitText(standin, "DRENNIC JOB_RESULT", 90000)) << kvtest::ReadFile(standin);
  const double seconds = std::chrono::duration<double>(Clock::now() - began).count();
  std::printf("[ system ] 3-page receive from the call to the job result: %.2f s\n", seconds);
  EXPECT_EQ(Reap(peer, 30000), 0) << kvtest::ReadFile(tmp.File("peer.txt"));
  EXPECT_EQ(sipp.wait(30000), 0) << sipp.errors() << sipp.messages();
  EXPECT_EQ(kvtest::ReadFile(tmp.File("remote.txt")).rfind("127.0.0.1 ", 0), 0u) << "media on loopback";

  const std::string log = kvtest::ReadFile(standin);
  EXPECT_NE(log.find("MESSAGE_RECEIVED FOIP/"), std::string::npos) << log;
  EXPECT_NE(log.find(" user=FAXIN control=~RECD"), std::string::npos) << log;
  const std::size_t result = log.find("DRENNIC JOB_RESULT");
  ASSERT_NE(result, std::string::npos) << log;
  const std::string line = log.substr(result, log.find('\n', result) - result);
  EXPECT_NE(line.find(" status=0x0 job=0 "), std::string::npos) << line;
  EXPECT_NE(line.find(" pages=3"), std::string::npos) << line;

  std::string control, fax;
  for (const auto& e : std::filesystem::directory_iterator(area + "/USERS/FAXIN/K-IN")) {
    const std::string name = e.path().filename().string();
    if (name.rfind("~RECD", 0) == 0 && e.path().extension() == ".CTL") control = e.path().string();
    if (name.rfind("~RECD", 0) == 0 && e.path().extension() == ".G3F") fax = e.path().string();
  }
  ASSERT_FALSE(control.empty()) << "no receive control file";
  ASSERT_FALSE(fax.empty()) << "no received fax file";
  EXPECT_NE(kvtest::ReadFile(control).find("DTMF: 00001"), std::string::npos) << kvtest::ReadFile(control);
  const pid_t compare = Spawn({BinaryDir() + "/t38-fax-peer", "compare", sample, fax}, tmp.File("compare.txt"), {});
  EXPECT_EQ(Reap(compare, 20000), 0) << kvtest::ReadFile(tmp.File("compare.txt"));

  EXPECT_EQ(run.Stop(), 0) << kvtest::ReadFile(tmp.File("run.txt"));
  const std::string out = kvtest::ReadFile(tmp.File("run.txt"));
  EXPECT_NE(out.find("All stopped"), std::string::npos) << out;
  EXPECT_EQ(out.find("killed"), std::string::npos) << out;
}

}  // namespace

#endif
