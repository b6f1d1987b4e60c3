#include "platform/file_size.h"

#include <sys/stat.h>
#include <unistd.h>

namespace platform {

bool SetStreamSize(std::FILE* file, long size) {
  if (!file || size < 0 || std::fflush(file) != 0) return false;
  return ftruncate(fileno(file), static_cast<off_t>(size)) == 0;
}

long StreamSize(std::FILE* file) {
  if (!file) return -1;
  // Pending writes count towards the size; a failing flush shows in fstat's size.
  (void)std::fflush(file);
  struct stat st {};
  if (fstat(fileno(file), &st) != 0) return -1;
  return static_cast<long>(st.st_size);
}

}  // namespace platform
