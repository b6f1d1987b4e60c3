#include "platform/shared_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

namespace {

// Lock bytes, placed far beyond any data the files hold.
constexpr off_t kReadLockByte = 0x7FFFFFF0;
constexpr off_t kWriteLockByte = 0x7FFFFFF1;

bool LockByte(int fd, off_t where, short type) {
  struct flock fl {};
  fl.l_type = type;
  fl.l_whence = SEEK_SET;
  fl.l_start = where;
  fl.l_len = 1;
  fl.l_pid = 0;
  return fcntl(fd, F_OFD_SETLK, &fl) == 0;
}

}  // namespace

SharedFileResult OpenShared(const std::string& path, const char* mode) {
  SharedFileResult r;
  if (!mode || !*mode || path.empty()) {
    r.error = EINVAL;
    return r;
  }
  const char kind = mode[0];
  const bool plus = std::strchr(mode, '+') != nullptr;
  for (const char* p = mode + 1; *p; ++p) {
    if (*p != '+' && *p != 't' && *p != 'b') {
      r.error = EINVAL;
      return r;
    }
  }

  int flags = O_CLOEXEC;
  const char* stdio_mode = nullptr;
  bool truncate = false;
  short read_lock = F_RDLCK;
  short write_lock = F_UNLCK;  // no lock on the writers' byte
  switch (kind) {
    case 'r':
      flags |= plus ? O_RDWR : O_RDONLY;
      stdio_mode = plus ? "r+" : "r";
      if (plus) read_lock = write_lock = F_WRLCK;
      break;
    case 'w':
      flags |= O_RDWR | O_CREAT;
      stdio_mode = plus ? "r+" : "w";  // "w" would truncate; done below once locked
      truncate = true;
      read_lock = write_lock = F_WRLCK;
      break;
    case 'a':
      flags |= O_RDWR | O_CREAT | O_APPEND;
      stdio_mode = plus ? "a+" : "a";
      write_lock = F_WRLCK;
      break;
    case 'c':
      flags |= O_RDWR | O_CREAT | O_EXCL;
      stdio_mode = plus ? "w+" : "w";
      read_lock = write_lock = F_WRLCK;
      break;
    default: r.error = EINVAL; return r;
  }

  // Writers open for reading too: a read lock needs a readable descriptor.
  int fd = open(path.c_str(), flags, 0666);
  if (fd < 0) {
    r.error = errno;
    return r;
  }
  bool ok = LockByte(fd, kReadLockByte, read_lock);
  if (ok && write_lock != F_UNLCK) ok = LockByte(fd, kWriteLockByte, write_lock);
  if (!ok) {
    r.error = errno;
    r.share_conflict = (errno == EAGAIN || errno == EACCES);
    close(fd);
    return r;
  }
  if (truncate && ftruncate(fd, 0) != 0) {
    r.error = errno;
    close(fd);
    return r;
  }
  // "w" opened write-only: fdopen with "w" does not truncate an fd.
  FILE* f = fdopen(fd, stdio_mode);
  if (!f) {
    r.error = errno;
    close(fd);
    return r;
  }
  r.file = f;
  return r;
}

}  // namespace platform
