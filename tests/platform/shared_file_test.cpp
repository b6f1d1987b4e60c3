// Share modes of files opened through the platform layer: which second
// opener a first holder lets in, and what each mode does to the file.
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <string>

#include <gtest/gtest.h>

#include "common/support/temp_folder.h"
#include "platform/shared_file.h"

namespace {

using kvtest::TempFolder;

TEST(SharedFile, SecondOpenerAgainstFirstHolder) {
  struct Case {
    const char* held;
    const char* second;
    bool allowed;
  };
  // r: others may read and write; a: others may read only; the rest: no sharing.
  const Case cases[] = {
      {"r", "r", true},   {"r", "a", true},   {"r", "r+", false}, {"r", "w", false},  {"a", "r", true},
      {"a", "a", false},  {"a", "at", false}, {"a", "r+", false}, {"a+", "rb", true}, {"r+", "r", false},
      {"r+", "a", false}, {"w", "r", false},  {"w+", "a", false}, {"rb", "rt", true},
  };
  TempFolder tmp;
  const std::string path = tmp.File("shared.txt");
  kvtest::WriteFile(path, "data\n");
  for (const Case& c : cases) {
    platform::SharedFileResult first = platform::OpenShared(path, c.held);
    ASSERT_NE(first.file, nullptr) << c.held;
    platform::SharedFileResult second = platform::OpenShared(path, c.second);
    EXPECT_EQ(second.file != nullptr, c.allowed) << c.held << " then " << c.second;
    if (!c.allowed) {
      EXPECT_TRUE(second.share_conflict) << c.held << " then " << c.second;
    }
    if (second.file) std::fclose(second.file);
    std::fclose(first.file);
    // Closing the holder frees the file for anyone.
    platform::SharedFileResult after = platform::OpenShared(path, "r+");
    ASSERT_NE(after.file, nullptr) << c.held << " then " << c.second;
    std::fclose(after.file);
  }
}

TEST(SharedFile, ModesCreateEmptyAppendAndRefuse) {
  TempFolder tmp;
  const std::string path = tmp.File("f.txt");

  // "r" of a missing file fails at once without a share conflict.
  platform::SharedFileResult r = platform::OpenShared(path, "r");
  EXPECT_EQ(r.file, nullptr);
  EXPECT_EQ(r.error, ENOENT);
  EXPECT_FALSE(r.share_conflict);

  // "a" creates and appends.
  for (const char* text : {"one\n", "two\n"}) {
    r = platform::OpenShared(path, "at");
    ASSERT_NE(r.file, nullptr);
    std::fputs(text, r.file);
    std::fclose(r.file);
  }
  EXPECT_EQ(kvtest::ReadFile(path), "one\ntwo\n");

  // "c" refuses an existing file.
  r = platform::OpenShared(path, "c");
  EXPECT_EQ(r.file, nullptr);
  EXPECT_EQ(r.error, EEXIST);

  // "w" held by a reader's refusal does not empty the file.
  platform::SharedFileResult reader = platform::OpenShared(path, "r");
  ASSERT_NE(reader.file, nullptr);
  r = platform::OpenShared(path, "w");
  EXPECT_EQ(r.file, nullptr);
  EXPECT_EQ(kvtest::ReadFile(path), "one\ntwo\n");
  std::fclose(reader.file);

  // Once free, "w" empties it.
  r = platform::OpenShared(path, "wb");
  ASSERT_NE(r.file, nullptr);
  std::fclose(r.file);
  EXPECT_EQ(kvtest::ReadFile(path), "");

  // Unknown mode letters are refused.
  for (const char* bad : {"", "x", "rz", "q+"}) {
    r = platform::OpenShared(path, bad);
    EXPECT_EQ(r.file, nullptr) << bad;
    EXPECT_EQ(r.error, EINVAL) << bad;
  }
}

TEST(SharedFile, HolderInAnotherProcessIsRespected) {
  TempFolder tmp;
  const std::string path = tmp.File("p.txt");
  kvtest::WriteFile(path, "x");
  int to_parent[2];
  int to_child[2];
  ASSERT_EQ(pipe(to_parent), 0);
  ASSERT_EQ(pipe(to_child), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    platform::SharedFileResult held = platform::OpenShared(path, "a");
    char ok = held.file ? 'y' : 'n';
    (void)!write(to_parent[1], &ok, 1);
    (void)!read(to_child[0], &ok, 1);  // hold until the parent has tried
    _exit(0);
  }
  char ok = 0;
  ASSERT_EQ(read(to_parent[0], &ok, 1), 1);
  ASSERT_EQ(ok, 'y');
  platform::SharedFileResult second = platform::OpenShared(path, "a");
  EXPECT_EQ(second.file, nullptr);
  EXPECT_TRUE(second.share_conflict);
  platform::SharedFileResult reader = platform::OpenShared(path, "r");
  EXPECT_NE(reader.file, nullptr);
  if (reader.file) std::fclose(reader.file);
  (void)!write(to_child[1], &ok, 1);
  int status = 0;
  waitpid(pid, &status, 0);
  close(to_parent[0]);
  close(to_parent[1]);
  close(to_child[0]);
  close(to_child[1]);
}

}  // namespace
