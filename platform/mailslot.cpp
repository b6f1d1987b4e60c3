#include "platform/int_types.h"
#include "platform/mailslot.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include "platform/paths.h"

namespace platform {

namespace {

// Only the server's own account and the group of the server area may reach a
// slot: a datagram can stop tessaly or post a send job.
constexpr unsigned kFolderMode = 0770;
constexpr unsigned kSocketMode = 0660;

// The group given to slot folders and sockets: that of the folder holding
// the mailslot folder (the server area).  -1 (keep the creator's group) when
// it cannot be read.
gid_t ServerAreaGroup() {
  const std::string root = MailslotDirectory();
  const std::size_t slash = root.rfind('/');
  const std::string area = slash == std::string::npos ? std::string(".")
                           : slash == 0               ? std::string("/")
                                                      : root.substr(0, slash);
  struct stat info {};
  if (stat(area.c_str(), &info) != 0) return static_cast<gid_t>(-1);
  return info.st_gid;
}

// Gives `path` the slot mode and group.  Folders that already exist (made
// by an older build, or by hand) are narrowed too when we own them; a
// failure leaves the entry as it is (another account's folder).
void Restrict(const std::string& path, unsigned mode, gid_t group) {
  if (group != static_cast<gid_t>(-1)) (void)!chown(path.c_str(), static_cast<uid_t>(-1), group);
  (void)chmod(path.c_str(), mode);
}

// Makes the mailslot folder and the folders down to `folder` (inside it)
// with the slot mode and group.
bool MakeSlotFolders(const std::string& folder) {
  const std::string root = MailslotDirectory();
  if (!MakeFolders(folder, kFolderMode)) return false;
  const gid_t group = ServerAreaGroup();
  std::string partial = root;
  Restrict(partial, kFolderMode, group);
  if (folder.size() > root.size()) {
    std::size_t pos = root.size() + 1;
    while (pos <= folder.size()) {
      std::size_t next = folder.find('/', pos);
      if (next == std::string::npos) next = folder.size();
      partial = folder.substr(0, next);
      Restrict(partial, kFolderMode, group);
      pos = next + 1;
    }
  }
  return true;
}

MailslotStatus Fail(MailslotCode code, int error = 0) { return MailslotStatus{code, error}; }

bool ToAddress(const std::string& path, sockaddr_un* addr, socklen_t* len) {
  std::memset(addr, 0, sizeof *addr);
  addr->sun_family = AF_UNIX;
  if (path.size() + 1 > sizeof addr->sun_path) return false;
  std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
  *len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + path.size() + 1);
  return true;
}

// Holds an exclusive lock on the mailslot folder while a name is checked and
// taken, so that two programs replacing the same stale socket cannot remove
// each other's new one.  The wait is bounded.
class FolderLock {
 public:
  explicit FolderLock(const std::string& folder) {
    fd_ = open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd_ < 0) return;
    for (int attempt = 0; attempt < 200; ++attempt) {
      if (flock(fd_, LOCK_EX | LOCK_NB) == 0) {
        locked_ = true;
        return;
      }
      if (errno != EWOULDBLOCK && errno != EINTR) return;
      usleep(10000);
    }
  }
  ~FolderLock() {
    if (fd_ >= 0) close(fd_);  // releases the lock
  }
  bool locked() const { return locked_; }

 private:
  int fd_ = -1;
  bool locked_ = false;
};

// True when a live process is bound to the socket at `path`.
bool SomeoneListens(const sockaddr_un& addr, socklen_t len) {
  int probe = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return true;  // cannot tell: do not take the name away
  const bool live = connect(probe, reinterpret_cast<const sockaddr*>(&addr), len) == 0;
  close(probe);
  return live;
}

}  // namespace

MailslotStatus MailslotPath(std::string_view name, std::string* path) {
  if (name.empty()) return Fail(MailslotCode::kBadName);
  std::string relative;
  std::size_t start = 0;
  while (start <= name.size()) {
    std::size_t end = name.find_first_of("\\/", start);
    if (end == std::string_view::npos) end = name.size();
    const std::string_view part = name.substr(start, end - start);
    if (part.empty() || part == "." || part == ".." || part.find('\0') != std::string_view::npos) {
      return Fail(MailslotCode::kBadName);
    }
    if (!relative.empty()) relative += '/';
    relative += part;
    start = end + 1;
  }
  std::string full = MailslotDirectory() + "/" + relative;
  sockaddr_un addr{};
  socklen_t len = 0;
  if (!ToAddress(full, &addr, &len)) return Fail(MailslotCode::kBadName);
  *path = std::move(full);
  return {};
}

MailslotStatus MailslotCreate(std::string_view name, int* fd) {
  std::string path;
  MailslotStatus st = MailslotPath(name, &path);
  if (!st.ok()) return st;
  const std::string folder = path.substr(0, path.rfind('/'));
  if (!MakeSlotFolders(folder)) return Fail(MailslotCode::kFailed, errno ? errno : ENOTDIR);

  FolderLock lock(folder);
  if (!lock.locked()) return Fail(MailslotCode::kFailed, errno ? errno : EWOULDBLOCK);

  sockaddr_un addr{};
  socklen_t len = 0;
  ToAddress(path, &addr, &len);
  int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (s < 0) return Fail(MailslotCode::kFailed, errno);
  if (bind(s, reinterpret_cast<const sockaddr*>(&addr), len) != 0) {
    int error = errno;
    struct stat info {};
    if (error == EADDRINUSE && lstat(path.c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) {
      if (SomeoneListens(addr, len)) {
        close(s);
        return Fail(MailslotCode::kInUse, EADDRINUSE);
      }
      // Left behind by a process that ended: take the name over.
      unlink(path.c_str());
      if (bind(s, reinterpret_cast<const sockaddr*>(&addr), len) == 0) error = 0;
      else error = errno;
    }
    if (error != 0) {
      close(s);
      return Fail(error == EADDRINUSE ? MailslotCode::kInUse : MailslotCode::kFailed, error);
    }
  }
  // The folder already keeps other accounts out while the socket briefly has
  // the mode that the umask gave it.
  Restrict(path, kSocketMode, ServerAreaGroup());
  *fd = s;
  return {};
}

MailslotStatus MailslotNextSize(int fd, std::size_t* size) {
  for (;;) {
    const ssize_t n = recv(fd, nullptr, 0, MSG_PEEK | MSG_TRUNC | MSG_DONTWAIT);
    if (n >= 0) {
      *size = static_cast<std::size_t>(n);
      return {};
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Fail(MailslotCode::kEmpty);
    return Fail(MailslotCode::kFailed, errno);
  }
}

MailslotStatus MailslotRead(int fd, void* buffer, std::size_t size, std::size_t* got) {
  for (;;) {
    const ssize_t n = recv(fd, buffer, size, MSG_DONTWAIT | MSG_TRUNC);
    if (n >= 0) {
      if (static_cast<std::size_t>(n) > size) return Fail(MailslotCode::kFailed, EMSGSIZE);
      *got = static_cast<std::size_t>(n);
      return {};
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Fail(MailslotCode::kEmpty);
    return Fail(MailslotCode::kFailed, errno);
  }
}

MailslotStatus MailslotDiscard(int fd) {
  char byte = 0;
  std::size_t got = 0;
  MailslotStatus st = MailslotRead(fd, &byte, 1, &got);
  if (st.code == MailslotCode::kFailed && st.error == EMSGSIZE) return {};  // dropped as meant
  return st;
}

MailslotStatus MailslotOpenWriter(std::string_view name, int* fd) {
  std::string path;
  MailslotStatus st = MailslotPath(name, &path);
  if (!st.ok()) return st;
  sockaddr_un addr{};
  socklen_t len = 0;
  ToAddress(path, &addr, &len);
  int s = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (s < 0) return Fail(MailslotCode::kFailed, errno);
  if (connect(s, reinterpret_cast<const sockaddr*>(&addr), len) != 0) {
    const int error = errno;
    close(s);
    if (error == ENOENT || error == ECONNREFUSED || error == ENOTDIR) {
      return Fail(MailslotCode::kMissing, error);
    }
    return Fail(MailslotCode::kFailed, error);
  }
  *fd = s;
  return {};
}

u64 MailslotHolder(std::string_view name) {
  std::string path;
  if (!MailslotPath(name, &path).ok()) return 0;
  struct stat st {};
  if (stat(path.c_str(), &st) != 0 || !S_ISSOCK(st.st_mode)) return 0;
  sockaddr_un addr{};
  socklen_t len = 0;
  ToAddress(path, &addr, &len);
  int probe = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
  if (probe < 0) return 0;
  const bool live = connect(probe, reinterpret_cast<const sockaddr*>(&addr), len) == 0;
  close(probe);
  if (!live) return 0;
  const u64 holder = (static_cast<u64>(st.st_dev) << 40) ^ static_cast<u64>(st.st_ino);
  return holder != 0 ? holder : 1;
}

MailslotStatus MailslotWrite(int fd, const void* data, std::size_t size) {
  for (;;) {
    const ssize_t n = send(fd, data, size, MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n >= 0) {
      if (static_cast<std::size_t>(n) != size) return Fail(MailslotCode::kFailed, EMSGSIZE);
      return {};
    }
    if (errno == EINTR) continue;
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Fail(MailslotCode::kBusy, errno);
    if (errno == ECONNREFUSED || errno == ENOENT || errno == ENOTCONN) {
      return Fail(MailslotCode::kMissing, errno);
    }
    return Fail(MailslotCode::kFailed, errno);
  }
}

void MailslotClose(int fd, const std::string& path) {
  // Unlink first: once the socket is closed another process may take the name.
  if (!path.empty()) unlink(path.c_str());
  if (fd >= 0) close(fd);
}

}  // namespace platform
