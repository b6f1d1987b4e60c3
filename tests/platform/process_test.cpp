// The controller's numbered lock files: one holder at a time, and folder and
// file reachable by the server's own account and group only.
#include <sys/stat.h>
#include <sys/types.h>

#include <string>

#include <gtest/gtest.h>

#include "common/support/temp_folder.h"
#include "platform/process.h"

namespace {

unsigned ModeOf(const std::string& path) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return 0xFFFFu;
  return st.st_mode & 0777u;
}

TEST(LockFile, OneHolderAndNoAccessForOthers) {
  kvtest::TempFolder tmp;
  const mode_t old = umask(0);  // the modes asked for, not the umask's
  const std::string folder = tmp.File("deviceid");
  const std::string lock = folder + "/7.lock";
  const int fd = platform::TakeLockFile(lock);
  umask(old);
  ASSERT_GE(fd, 0);
  EXPECT_EQ(ModeOf(folder), 0770u);
  EXPECT_EQ(ModeOf(lock), 0660u);
  // flock is per open file: a second open of the same path is refused.
  EXPECT_EQ(platform::TakeLockFile(lock), -1);
  platform::ReleaseLockFile(fd);
  const int again = platform::TakeLockFile(lock);
  EXPECT_GE(again, 0);
  platform::ReleaseLockFile(again);
}

}  // namespace
