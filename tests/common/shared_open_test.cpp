// SharedOpen: retries while another holder's share mode refuses us, and only
// then; the time-out, counted from the first attempt; the default time-out.
#include <chrono>
#include <cstdio>
#include <thread>

#include <gtest/gtest.h>

#include "common/shared_open.h"
#include "common/support/temp_folder.h"

namespace {

using Clock = std::chrono::steady_clock;
using kvtest::TempFolder;

long ElapsedMs(Clock::time_point since) {
  return static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count());
}

TEST(SharedOpen, ServerPathWithBackslashes) {
  TempFolder tmp;
  kvtest::WriteFile(tmp.File("a.txt"), "hello");
  FILE* f = SharedOpen(0, (tmp.ServerPath() + "a.txt").c_str(), "rb");
  ASSERT_NE(f, nullptr);
  char buf[8] = {};
  EXPECT_EQ(std::fread(buf, 1, sizeof buf, f), 5u);
  std::fclose(f);
}

TEST(SharedOpen, MissingFileFailsAtOnceEvenWithATimeout) {
  TempFolder tmp;
  const auto start = Clock::now();
  EXPECT_EQ(SharedOpen(5, tmp.File("missing").c_str(), "r"), nullptr);
  EXPECT_LT(ElapsedMs(start), 1000);
}

TEST(SharedOpen, WaitsForTheHolderUntilTheTimeOut) {
  TempFolder tmp;
  const std::string path = tmp.File("busy.txt");
  FILE* holder = SharedOpen(0, path.c_str(), "w");
  ASSERT_NE(holder, nullptr);

  auto start = Clock::now();
  EXPECT_EQ(SharedOpen(0, path.c_str(), "a"), nullptr);
  EXPECT_LT(ElapsedMs(start), 500);

  start = Clock::now();
  EXPECT_EQ(SharedOpen(1, path.c_str(), "a"), nullptr);
  const long waited = ElapsedMs(start);
  EXPECT_GE(waited, 1000);
  EXPECT_LT(waited, 3000);

  // Released while we wait: the open goes through.
  std::thread release([holder] {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    std::fclose(holder);
  });
  start = Clock::now();
  FILE* f = SharedOpen(5, path.c_str(), "a");
  const long got_after = ElapsedMs(start);
  release.join();
  ASSERT_NE(f, nullptr);
  std::fclose(f);
  EXPECT_GE(got_after, 250);
  EXPECT_LT(got_after, 3000);
}

TEST(SharedOpen, NegativeTimeOutTakesTheDefault) {
  TempFolder tmp;
  const std::string path = tmp.File("busy.txt");
  FILE* holder = SharedOpen(0, path.c_str(), "w");
  ASSERT_NE(holder, nullptr);
  EXPECT_EQ(SharedOpen(1, nullptr, nullptr), nullptr);  // default becomes 1 s
  auto start = Clock::now();
  EXPECT_EQ(SharedOpen(-1, path.c_str(), "r"), nullptr);
  EXPECT_GE(ElapsedMs(start), 1000);
  SharedOpen(0, nullptr, nullptr);
  start = Clock::now();
  EXPECT_EQ(SharedOpen(-1, path.c_str(), "r"), nullptr);
  EXPECT_LT(ElapsedMs(start), 500);
  SharedOpen(5, nullptr, nullptr);
  std::fclose(holder);
}

}  // namespace
