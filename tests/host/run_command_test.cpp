// The run command (tools/run.sh) with the programs of this build on a
// temporary server area: drennic-standin, tessaly and two marrock channels
// come up, both controllers register and report IDLE to the stand-in, and a
// SIGTERM stops them in order (the shutdown packet to each controller,
// RST_TESSALY_SHUTDOWN to tessaly, then the stand-in) with no process left; a second run command on the same area is
// refused.  The
// --help texts of the three programs against their golden files, and
// marrock's usage lines for a bad command line.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <filesystem>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "common/support/temp_folder.h"
#include "host/support/child_process.h"

namespace {

using kvtest::BinaryDir;
using kvtest::Reap;
using kvtest::Spawn;

using ::testing::HasSubstr;
using ::testing::Not;
using Clock = std::chrono::steady_clock;

// The numbers behind every "(pid " in `text`.
std::vector<pid_t> PidsIn(const std::string& text) {
  std::vector<pid_t> pids;
  for (std::size_t at = text.find("(pid "); at != std::string::npos; at = text.find("(pid ", at + 1)) {
    const pid_t pid = static_cast<pid_t>(std::atol(text.c_str() + at + 5));
    if (pid > 1) pids.push_back(pid);
  }
  return pids;
}

bool Alive(pid_t pid) { return kill(pid, 0) == 0 || errno != ESRCH; }

TEST(HelpText, MatchesGoldenFileAndExitsZero) {
  const struct {
    const char* program;
    const char* golden;
  } cases[] = {{"tessaly", "tessaly_help.txt"},
               {"marrock", "marrock_help.txt"},
               {"drennic-standin", "drennic_standin_help.txt"}};
  kvtest::TempFolder tmp;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.program);
    const std::string out = tmp.File(std::string(c.program) + ".txt");
    const pid_t pid = Spawn({BinaryDir() + "/" + c.program, "--help"}, out);
    ASSERT_GT(pid, 0);
    EXPECT_EQ(Reap(pid, 10000), 0);
    EXPECT_EQ(kvtest::ReadFile(out), kvtest::ReadFile(std::string(KV_SOURCE_DIR) + "/tests/host/golden/" + c.golden));
  }
}

TEST(HelpText, MarrockKeepsItsUsageLinesForBadCommandLines) {
  const struct {
    std::vector<std::string> args;
    const char* line;
  } cases[] = {{{"GROUP", "G1"}, "Usage -- %s GROUP groupnumber channelnumber devtypenum\n"},
               {{"GROUP", "G1", "1", "x"}, "Usage -- %s GROUP groupnumber channelnumber devtypenum\n"},
               {{"--helpme"}, "Usage -- %s devtypenum\n"},
               {{"--make-fonts"}, "Usage -- %s devtypenum\n"},
               {{"201"}, "Error -- invalid device type number 201\n"}};
  kvtest::TempFolder tmp;
  const std::string program = BinaryDir() + "/marrock";
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args[0] + " " + std::to_string(c.args.size()));
    std::vector<std::string> args = {program};
    args.insert(args.end(), c.args.begin(), c.args.end());
    const pid_t pid = Spawn(args, tmp.File("out.txt"));
    ASSERT_GT(pid, 0);
    EXPECT_EQ(Reap(pid, 10000), 1);
    char expected[512];
    std::snprintf(expected, sizeof expected, c.line, program.c_str());
    EXPECT_EQ(kvtest::ReadFile(tmp.File("out.txt")), expected);
  }
}

TEST(HelpText, MarrockMakesTheHeaderFonts) {
  kvtest::TempFolder tmp;
  const pid_t pid = Spawn({BinaryDir() + "/marrock", "--make-fonts", tmp.path()}, tmp.File("out.txt"));
  ASSERT_GT(pid, 0);
  EXPECT_EQ(Reap(pid, 10000), 0);
  EXPECT_EQ(kvtest::ReadFile(tmp.File("ELIT_LN.FN")).size(), 18600u);
  EXPECT_EQ(kvtest::ReadFile(tmp.File("ELIT_LF.FN")).size(), 37200u);
  const pid_t bad = Spawn({BinaryDir() + "/marrock", "--make-fonts", tmp.File("missing/folder")}, tmp.File("out.txt"));
  EXPECT_EQ(Reap(bad, 10000), 1);
  EXPECT_THAT(kvtest::ReadFile(tmp.File("out.txt")), HasSubstr("cannot write"));
}

class RunCommandTest : public ::testing::Test {
 protected:
  ~RunCommandTest() override {
    // Whatever is left after a failure is ended here.
    for (pid_t pid : PidsIn(Output()))
      if (Alive(pid)) kill(pid, SIGKILL);
    if (run_ > 0) Reap(run_, 0);
  }
  std::string Output() const { return kvtest::ReadFile(tmp_.File("run.txt")); }
  // Waits up to `ms` for `text` in the run command's output.
  bool WaitOutput(const std::string& text, int ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (Clock::now() < end) {
      if (Output().find(text) != std::string::npos) return true;
      int status = 0;
      if (waitpid(run_, &status, WNOHANG) == run_) {
        run_ = -1;
        return Output().find(text) != std::string::npos;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  // Starts the run command with `stop_seconds` as its stop bound and waits
  // until it reports everything up.
  void StartRunCommand(int stop_seconds) {
    // The area is made first, with ports of its own, so that other test
    // programs running tessaly at the same time do not take its SIP or media
    // ports; the run command keeps an area that exists.
    if (!std::filesystem::exists(tmp_.File("area/K-DB/SETUP.INI"))) {
      const std::string cmd = "bash " + std::string(KV_SOURCE_DIR) + "/tools/make-server-area.sh " + tmp_.File("area") +
                              " > /dev/null && sed -i -e 's/^LocalSIPPort: 5060/LocalSIPPort: 17460/' -e "
                              "'s/^SIPGatewayPort: 5070/SIPGatewayPort: 17470/' -e "
                              "'s/^LocalMediaPortStart: 20000/LocalMediaPortStart: 17500/' " +
                              tmp_.File("area/K-DB/SETUP.INI");
      ASSERT_EQ(std::system(cmd.c_str()), 0);
    }
    run_ = Spawn({"/bin/bash", std::string(KV_SOURCE_DIR) + "/tools/run.sh"}, tmp_.File("run.txt"),
                 {"KV_BIN_DIR=" + BinaryDir(), "KORVANE_HOME=" + tmp_.File("area"), "KV_START_SECONDS=15",
                  "KV_STOP_SECONDS=" + std::to_string(stop_seconds)});
    ASSERT_GT(run_, 0);
    ASSERT_TRUE(WaitOutput("Up in ", 30000)) << Output();
  }
  // The pid of the program named in "<name> is up (pid <n>)".
  pid_t PidOf(const std::string& name) const {
    const std::string out = Output();
    const std::size_t at = out.find(name + " is up (pid ");
    return at == std::string::npos ? -1 : static_cast<pid_t>(std::atol(out.c_str() + at + name.size() + 12));
  }

  kvtest::TempFolder tmp_;
  pid_t run_ = -1;
};

TEST_F(RunCommandTest, TwoControllersComeUpIdleAndStopInOrder) {
  const auto began = Clock::now();
  ASSERT_NO_FATAL_FAILURE(StartRunCommand(8));
  const auto up_ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began).count();
  std::string out = Output();
  const std::size_t up = out.find("Up in ") + 6;
  std::printf("start-to-IDLE: %lld ms with the script's start, %s ms from the stand-in's start\n",
              static_cast<long long>(up_ms), out.substr(up, out.find(' ', up) - up).c_str());
  // One line per program once it is up, and the stand-in's packets: each
  // controller started, registered and went IDLE.
  for (const char* line :
       {"drennic-standin is up (pid ", "tessaly is up (pid ", "marrock G1-1 is up (pid ", "marrock G1-2 is up (pid ",
        "stand-in: MORVATH PROGRAM_START name=TESSALY", "stand-in: DRENNIC DEVICE_START FOIP/1 slot=FOIP\\G1\\1 id=",
        "stand-in: DRENNIC DEVICE_START FOIP/2 slot=FOIP\\G1\\2 id=", "stand-in: DRENNIC DEVICE_STATUS FOIP/1 state=1 ",
        "stand-in: DRENNIC DEVICE_STATUS FOIP/2 state=1 ", "stand-in: MORVATH PROGRAM_START name=FOIP-G1-1",
        "stand-in: MORVATH PROGRAM_START name=FOIP-G1-2"})
    EXPECT_THAT(out, HasSubstr(line));
  const std::vector<pid_t> pids = PidsIn(out);
  ASSERT_EQ(pids.size(), 4u) << out;
  for (pid_t pid : pids) EXPECT_TRUE(Alive(pid)) << pid;
  // A second run command on the same area is refused and disturbs nothing.
  const pid_t second = Spawn({"/bin/bash", std::string(KV_SOURCE_DIR) + "/tools/run.sh"}, tmp_.File("second.txt"),
                             {"KV_BIN_DIR=" + BinaryDir(), "KORVANE_HOME=" + tmp_.File("area")});
  EXPECT_EQ(Reap(second, 10000), 1);
  EXPECT_EQ(kvtest::ReadFile(tmp_.File("second.txt")), "The system is running already on " + tmp_.File("area") + "\n");
  for (pid_t pid : pids) EXPECT_TRUE(Alive(pid)) << pid;

  ASSERT_EQ(kill(run_, SIGTERM), 0);
  EXPECT_EQ(Reap(run_, 25000), 0) << Output();
  run_ = -1;
  out = Output();
  // In order: a closedown to each controller, each ends; then tessaly; then
  // the stand-in.  Nobody had to be killed.
  const char* order[] = {"Stopping\n",
                         "closedown to marrock G1-1 (pid ",
                         "closedown to marrock G1-2 (pid ",
                         "marrock G1-1 stopped (exit code 0)\n",
                         "marrock G1-2 stopped (exit code 0)\n",
                         "shutdown to tessaly (pid ",
                         "tessaly stopped (exit code 0)\n",
                         "drennic-standin stopped (exit code ",
                         "All stopped\n"};
  std::size_t at = 0;
  for (const char* line : order) {
    const std::size_t found = out.find(line, at);
    ASSERT_NE(found, std::string::npos) << line << "\n" << out;
    at = found;
  }
  EXPECT_THAT(out, Not(HasSubstr("killed"))) << out;
  // The stops went as packets: the fax server's shutdown to the controllers,
  // RST_TESSALY_SHUTDOWN to tessaly.
  EXPECT_THAT(out, HasSubstr(" (pid " + std::to_string(pids[2]) + "): shutdown packet (class 99)\n"));
  EXPECT_THAT(out, HasSubstr(" (pid " + std::to_string(pids[3]) + "): shutdown packet (class 99)\n"));
  EXPECT_THAT(out, HasSubstr("shutdown to tessaly (pid " + std::to_string(pids[1]) + "): RST_TESSALY_SHUTDOWN\n"));
  EXPECT_THAT(kvtest::ReadFile(tmp_.File("area/K-DB/TESSALY.log")), HasSubstr("Program closing down"));
  for (const char* console : {"area/marrock-G1-1.log", "area/marrock-G1-2.log"})
    EXPECT_THAT(kvtest::ReadFile(tmp_.File(console)), HasSubstr("Program closing down")) << console;
  // No process is left.
  for (pid_t pid : pids) EXPECT_FALSE(Alive(pid)) << pid;
  const auto total_ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began).count();
  EXPECT_LT(total_ms, 60000);
}

TEST_F(RunCommandTest, AProgramThatDoesNotStopIsNamedAndKilled) {
  ASSERT_NO_FATAL_FAILURE(StartRunCommand(1));
  const pid_t tessaly = PidOf("tessaly");
  ASSERT_GT(tessaly, 1);
  ASSERT_EQ(kill(tessaly, SIGSTOP), 0);  // it cannot take its shutdown
  ASSERT_EQ(kill(run_, SIGTERM), 0);
  EXPECT_EQ(Reap(run_, 20000), 1) << Output();
  run_ = -1;
  const std::string out = Output();
  EXPECT_THAT(out, HasSubstr("marrock G1-1 stopped (exit code 0)\n"));
  EXPECT_THAT(out, HasSubstr("tessaly (pid " + std::to_string(tessaly) + ") still running after 1s: killed\n"));
  EXPECT_THAT(out, HasSubstr("All stopped\n"));
  for (pid_t pid : PidsIn(out)) EXPECT_FALSE(Alive(pid)) << pid;
}

}  // namespace
