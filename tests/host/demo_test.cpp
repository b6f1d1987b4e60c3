// The demonstration (tools/demo.sh) on a temporary server area with the
// programs of this build, on ports of its own: it starts the system, the
// sipp gateway and the spandsp fax peer, submits the sample fax and shows
// the job result; it must pass (a job reported sent with 3 pages and the
// same pages at the peer), and it leaves no process behind and the area free
// for the next run command.
#include <signal.h>
#include <unistd.h>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "common/support/temp_folder.h"
#include "host/support/child_process.h"

namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using Clock = std::chrono::steady_clock;

bool Alive(pid_t pid) { return kill(pid, 0) == 0; }

TEST(Demo, VerdictFollowsTheJobAndNothingIsLeft) {
  kvtest::TempFolder tmp;
  const std::string area = tmp.File("area");
  const std::string source = KV_SOURCE_DIR;
  // An area of its own on ports no other test uses.
  ASSERT_EQ(
      kvtest::RunProgram({"/bin/bash", source + "/tools/make-server-area.sh", area}, tmp.File("make.txt"), {}, 20000),
      0);
  ASSERT_EQ(kvtest::RunProgram({"/bin/sed", "-i", "-e", "s/5060/17060/; s/5070/17070/; s/20000/17100/",
                                area + "/K-DB/SETUP.INI", area + "/Tessaly/glb.cfg", area + "/Tessaly/session02.cfg"},
                               tmp.File("sed.txt"), {}, 10000),
            0);
  const auto began = Clock::now();
  const int code = kvtest::RunProgram(
      {"/bin/bash", source + "/tools/demo.sh"}, tmp.File("demo.txt"),
      {"KV_BIN_DIR=" + kvtest::BinaryDir(), "KORVANE_HOME=" + area, "KV_DEMO_SECONDS=90", "KV_START_SECONDS=15"},
      240000);
  const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - began).count();
  const std::string out = kvtest::ReadFile(tmp.File("demo.txt"));
  std::printf("demo: exit code %d after %lld ms\n", code, static_cast<long long>(ms));
  ASSERT_TRUE(code == 0 || code == 1) << out;
  EXPECT_THAT(out, HasSubstr("marrock G1-1 is up (pid ")) << out;
  EXPECT_THAT(out, HasSubstr("Far end: sipp on 127.0.0.1:17070, t38-fax-peer on 127.0.0.1:")) << out;
  const std::size_t result = out.find("Job result: status word ");
  ASSERT_NE(result, std::string::npos) << out;
  const std::string line = out.substr(result, out.find('\n', result) - result);
  // The whole road works: the job is reported sent with its 3 pages, the
  // peer holds the same pages and the demonstration passes.
  EXPECT_THAT(line, HasSubstr("status word 0x0, pages 3,")) << out;
  EXPECT_EQ(code, 0) << out;
  EXPECT_THAT(out, HasSubstr("compare: the pages received are the pages sent")) << out;
  EXPECT_THAT(out, HasSubstr("Demonstration passed")) << out;
  const std::size_t at = out.find(" ms from submit to result");
  if (at != std::string::npos)
    std::printf("demo job time: %s ms\n",
                out.substr(out.rfind(' ', at - 1) + 1, at - out.rfind(' ', at - 1) - 1).c_str());
  // The system it started was stopped in order, and nothing is left.
  EXPECT_THAT(out, HasSubstr("Stopping the system started for the demonstration"));
  EXPECT_THAT(out, HasSubstr("  All stopped\n"));
  EXPECT_THAT(out, Not(HasSubstr("killed"))) << out;
  for (std::size_t at = out.find("(pid "); at != std::string::npos; at = out.find("(pid ", at + 1)) {
    const pid_t pid = static_cast<pid_t>(std::atol(out.c_str() + at + 5));
    EXPECT_FALSE(pid > 1 && Alive(pid)) << pid;
  }
  EXPECT_EQ(kvtest::RunProgram({"/usr/bin/flock", "-n", area + "/run.lock", "true"}, tmp.File("lock.txt"), {}, 5000),
            0);
  EXPECT_EQ(kvtest::RunProgram({"/usr/bin/pgrep", "-f", "remote_file " + area}, tmp.File("pgrep.txt"), {}, 5000), 1)
      << "sipp still running";
  EXPECT_EQ(
      kvtest::RunProgram({"/usr/bin/pgrep", "-f", "t38-fax-peer receive " + area}, tmp.File("pgrep.txt"), {}, 5000), 1)
      << "the fax peer still running";
}

}  // namespace
