#include "controller/file_names.h"

#include <dirent.h>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "common/ini_reader.h"
#include "common/server_settings.h"
#include "common/shared_open.h"
#include "controller/device_log.h"
#include "platform/local_time.h"
#include "platform/paths.h"

namespace {

constexpr int kDecimalSpan = 1000;
constexpr int kBase36First = 10;
constexpr int kBase36Last = 46655;  // "ZZZ"
constexpr int kBase36Span = 46646;

void Digits(int number, int base, char out[4]) {
  static constexpr char kDigits[] = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ";
  for (int i = 2; i >= 0; --i) {
    out[i] = kDigits[number % base];
    number /= base;
  }
  out[3] = '\0';
}

// 0 created, 1 taken, else a result code.
int TryCandidate(const std::string& folder, const char* stem, const char* extension) {
  if (CountMatchingFiles(folder.c_str(), stem, 1) > 0) return 1;
  std::string path = folder + stem + "." + extension;
  int fd = open(path.c_str(), O_CREAT | O_EXCL | O_RDWR | O_CLOEXEC, 0666);
  if (fd < 0) {
    if (errno == ENOENT || errno == ENOTDIR) return UNIQUE_NO_FOLDER;
    if (errno == EEXIST) return 1;
    if (errno == EMFILE || errno == ENFILE) return UNIQUE_TOO_MANY_FILES;
    return UNIQUE_OTHER;
  }
  close(fd);
  if (CountMatchingFiles(folder.c_str(), stem, 2) != 1) {
    unlink(path.c_str());
    return 1;
  }
  return 0;
}

}  // namespace

int CountMatchingFiles(const char* folder, const char* stem, int limit) {
  DIR* dir = opendir(folder);
  if (!dir) return 0;
  int count = 0;
  const std::size_t n = std::strlen(stem);
  while (count < limit) {
    dirent* e = readdir(dir);
    if (!e) break;
    if (std::strcmp(e->d_name, ".") == 0 || std::strcmp(e->d_name, "..") == 0) continue;
    if (strncasecmp(e->d_name, stem, n) == 0 && (e->d_name[n] == '.' || e->d_name[n] == '\0')) ++count;
  }
  closedir(dir);
  return count;
}

int MakeUniqueFileName(const char* prefix, const char* extension, const char* folder, char* name,
                       std::size_t name_size) {
  platform::LocalTime t = platform::GetLocalTime();
  return MakeUniqueFileNameAt(prefix, extension, folder, name, name_size, static_cast<unsigned>(t.second),
                              static_cast<unsigned>(t.millisecond));
}

int MakeUniqueFileNameAt(const char* prefix, const char* extension, const char* folder, char* name,
                         std::size_t name_size, unsigned seconds, unsigned milliseconds) {
  if (!prefix || !extension || !folder || !name || name_size < 13 || std::strlen(prefix) != 4 ||
      std::strlen(extension) > 3 || std::strlen(folder) > 256)
    return UNIQUE_BAD_ARGUMENTS;
  const std::size_t len = std::strlen(folder);
  if (len == 0 || folder[len - 1] != '\\') return UNIQUE_OTHER;
  const std::string linux_folder = platform::ToLinuxPath(folder);
  char stem[16];
  char digits[4];
  int number = static_cast<int>((seconds + milliseconds) % kDecimalSpan);
  // Tries the name for `n` written in `base`: UNIQUE_OK once it is free
  // and copied to `name`, 1 when taken, any other result an error.
  auto attempt = [&](int n, int base) {
    Digits(n, base, digits);
    (void)std::snprintf(stem, sizeof stem, "~%s%s", prefix, digits);
    const int r = TryCandidate(linux_folder, stem, extension);
    if (r == 0) {
      (void)std::snprintf(name, name_size, "%s.%s", stem, extension);
      return static_cast<int>(UNIQUE_OK);
    }
    return r;
  };
  for (int tries = 0; tries < kUniqueDecimalTries; ++tries) {
    if (int r = attempt(number, 10); r != 1) return r;
    number = (number + 1) % kDecimalSpan;
  }
  const int start = static_cast<int>((milliseconds * 53 + seconds) % kBase36Span) + kBase36First;
  number = start;
  do {
    if (int r = attempt(number, 36); r != 1) return r;
    if (++number > kBase36Last) number = kBase36First;
  } while (number != start);
  return UNIQUE_NO_FREE_NAME;
}

const char* ExtensionOf(const char* path) {
  const char* file = GetFileNamePart(path);
  const char* dot = std::strrchr(file, '.');
  return dot ? dot + 1 : file + std::strlen(file);
}

void RemoveTrailingBackslash(char* path) {
  std::size_t n = std::strlen(path);
  if (n >= 2 && path[n - 1] == '\\' && path[n - 2] != ':') path[n - 1] = '\0';
  else if (n == 1 && path[0] == '\\') path[0] = '\0';
}

int ReplaceExtension(char* path, std::size_t size, const char* extension) {
  char* file = path + (GetFileNamePart(path) - path);
  char* dot = std::strrchr(file, '.');
  const int had = dot ? 1 : 0;
  const std::size_t base = dot ? static_cast<std::size_t>(dot - path) : std::strlen(path);
  if (base + 1 + std::strlen(extension) + 1 > size) return had;
  path[base] = '.';
  std::strcpy(path + base + 1, extension);
  return had;
}

int CutToFolder(char* path) {
  char* slash = std::strrchr(path, '\\');
  if (!slash) {
    path[0] = '\0';
    return 0;
  }
  slash[1] = '\0';
  return 1;
}

int OpenByMode(std::FILE** file, const char* folder, const char* name, char mode) {
  const char* how = nullptr;
  switch (mode) {
    case 'A': how = "ab"; break;
    case 'C': how = "w+b"; break;
    case 'R': how = "rb"; break;
    case 'W': how = "r+b"; break;
    default: CtlLog(6, "Invalid OpFile parameter (%d)", mode); return -1;
  }
  std::string path = std::string(folder) + name;
  *file = SharedOpen(-1, path.c_str(), how);
  return *file ? 0 : 15;
}

bool InsideServerArea(const std::string& linux_path) {
  const SystemParams& sp = SystemParameters();
  for (const char* area : {sp.ServerArea, sp.SystemArea, sp.AllUserArea, sp.RequestArea, sp.MailArea}) {
    if (area[0] && platform::PathInside(linux_path, platform::ToLinuxPath(area))) return true;
  }
  return false;
}
