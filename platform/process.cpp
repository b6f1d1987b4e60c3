#include "platform/process.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/paths.h"

namespace platform {

namespace {

volatile sig_atomic_t g_terminate = 0;

// Prepared for the crash handler: nothing is allocated there.
struct CrashPacket {
  sockaddr_un address{};
  socklen_t address_size = 0;
  u8 bytes[64] = {};
  std::size_t size = 0;
};
CrashPacket g_crash;

void OnTerminate(int) { g_terminate = 1; }

void OnCrash(int sig) {
  if (g_crash.size > 0) {
    int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
    if (fd >= 0) {
      (void)sendto(fd, g_crash.bytes, g_crash.size, MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&g_crash.address),
                   g_crash.address_size);
      close(fd);
    }
  }
  // Dies of the signal again with its default action; nothing is left to report a failure to.
  (void)signal(sig, SIG_DFL);
  (void)raise(sig);
}

}  // namespace

bool WaitReadable(const int* fds, std::size_t count, u32 ms) {
  pollfd p[4];
  nfds_t n = 0;
  for (std::size_t i = 0; i < count && n < 4; ++i) {
    if (fds[i] < 0) continue;
    p[n].fd = fds[i];
    p[n].events = POLLIN;
    p[n].revents = 0;
    ++n;
  }
  if (n == 0) {
    usleep(static_cast<useconds_t>(ms) * 1000u);
    return false;
  }
  int r = poll(p, n, static_cast<int>(ms));
  return r > 0;
}

int TakeLockFile(const std::string& path) {
  std::size_t slash = path.rfind('/');
  // A folder that cannot be made shows as the open below failing.
  if (slash != std::string::npos && slash > 0) (void)MakeFolders(path.substr(0, slash), 0770);
  // Like the mailslots: the server's own account and group only.
  int fd = open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0660);
  if (fd < 0) return -1;
  if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
    close(fd);
    return -1;
  }
  return fd;
}

void ReleaseLockFile(int fd) {
  if (fd >= 0) close(fd);
}

void InstallTerminationFlag() {
  struct sigaction sa {};
  sa.sa_handler = &OnTerminate;
  sigemptyset(&sa.sa_mask);
  sa.sa_flags = 0;  // no restart: a waiting poll returns at once
  sigaction(SIGTERM, &sa, nullptr);
  sigaction(SIGINT, &sa, nullptr);
}

bool TerminationRequested() { return g_terminate != 0; }
void ClearTerminationRequest() { g_terminate = 0; }

void InstallCrashPacket(const std::string& socket_path, const u8* packet, std::size_t size) {
  if (size > sizeof g_crash.bytes || socket_path.size() >= sizeof g_crash.address.sun_path) return;
  g_crash.address.sun_family = AF_UNIX;
  std::memcpy(g_crash.address.sun_path, socket_path.c_str(), socket_path.size() + 1);
  g_crash.address_size = static_cast<socklen_t>(sizeof(sa_family_t) + socket_path.size() + 1);
  std::memcpy(g_crash.bytes, packet, size);
  g_crash.size = size;
  struct sigaction sa {};
  sa.sa_handler = &OnCrash;
  sigemptyset(&sa.sa_mask);
  for (int sig : {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT}) sigaction(sig, &sa, nullptr);
}

u32 ProcessId() { return static_cast<u32>(getpid()); }

}  // namespace platform
