#include "common/shared_open.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <thread>

#include "platform/paths.h"
#include "platform/shared_file.h"

namespace {
std::atomic<int> g_default_timeout_seconds{5};
constexpr auto kRetryPause = std::chrono::milliseconds(20);
}  // namespace

FILE* SharedOpen(int timeout_seconds, const char* path, const char* mode) {
  if (!path) {
    g_default_timeout_seconds.store(timeout_seconds < 0 ? 0 : timeout_seconds);
    return nullptr;
  }
  if (timeout_seconds < 0) timeout_seconds = g_default_timeout_seconds.load();
  const std::string linux_path = platform::ToLinuxPath(path);
  const auto start = std::chrono::steady_clock::now();
  const auto deadline = start + std::chrono::seconds(timeout_seconds);
  for (;;) {
    platform::SharedFileResult r = platform::OpenShared(linux_path, mode);
    if (r.file) return r.file;
    if (!r.share_conflict) {
      errno = r.error;
      return nullptr;
    }
    const auto now = std::chrono::steady_clock::now();
    if (now >= deadline) {
      errno = r.error;
      return nullptr;
    }
    std::this_thread::sleep_for(std::min<std::chrono::steady_clock::duration>(kRetryPause, deadline - now));
  }
}
