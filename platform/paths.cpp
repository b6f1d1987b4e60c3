#include "platform/paths.h"

#include <cctype>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fcntl.h>
#include <limits.h>
#include <sys/stat.h>
#include <unistd.h>

namespace platform {

std::string ToLinuxPath(std::string_view server_path) {
  if (server_path.size() >= 2 && std::isalpha(static_cast<unsigned char>(server_path[0])) && server_path[1] == ':') {
    server_path.remove_prefix(2);
  }
  std::string out(server_path);
  for (char& c : out) {
    if (c == '\\') c = '/';
  }
  return out;
}

namespace {
std::string EnvOr(const char* name, const char* fallback) {
  const char* v = std::getenv(name);
  return (v && *v) ? std::string(v) : std::string(fallback);
}
}  // namespace

std::string ServerIniPath() { return EnvOr("KORVANE_INI_PATH", kDefaultServerIniPath); }

std::string MailslotDirectory() {
  std::string dir = EnvOr("KORVANE_MAILSLOT_DIR", kDefaultMailslotDirectory);
  while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
  return dir;
}

std::string ClientIniPath() { return EnvOr("KORVANE_CLIENT_INI_PATH", ""); }

std::string ApplicationDataFolder() {
  std::string xdg = EnvOr("XDG_CONFIG_HOME", "");
  if (!xdg.empty()) return xdg;
  std::string home = EnvOr("HOME", "");
  return home.empty() ? std::string() : home + "/.config";
}

bool CopyFileTo(const std::string& source, const std::string& target) {
  std::error_code ec;
  std::filesystem::copy_file(source, target, std::filesystem::copy_options::overwrite_existing, ec);
  return !ec;
}

bool FileExists(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

std::string ResolvedPath(const std::string& path) {
  if (path.empty()) return "";
  char buffer[PATH_MAX];
  if (realpath(path.c_str(), buffer)) return buffer;
  if (errno != ENOENT) return "";
  const std::size_t slash = path.find_last_of('/');
  const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
  const std::string name = slash == std::string::npos ? path : path.substr(slash + 1);
  if (name.empty() || name == "." || name == "..") return "";
  if (!realpath(folder.c_str(), buffer)) return "";
  const std::string base = buffer;
  return base == "/" ? "/" + name : base + "/" + name;
}

bool PathInside(const std::string& path, const std::string& root) {
  const std::string p = ResolvedPath(path);
  std::string r = ResolvedPath(root);
  if (p.empty() || r.empty()) return false;
  if (p == r) return true;
  if (r.back() != '/') r += '/';
  return p.compare(0, r.size(), r) == 0;
}

FileKind RegularFileForReading(const std::string& path) {
  const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
  if (fd < 0) return errno == ENOENT || errno == ENOTDIR ? FileKind::kMissing : FileKind::kUnreadable;
  struct stat st {};
  const bool regular = fstat(fd, &st) == 0 && S_ISREG(st.st_mode);
  (void)close(fd);
  return regular ? FileKind::kRegular : FileKind::kNotRegular;
}

bool MakeFolders(const std::string& path, unsigned mode) {
  if (path.empty()) return false;
  std::string partial;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t next = path.find('/', pos);
    if (next == std::string::npos) next = path.size();
    partial = path.substr(0, next);
    pos = next + 1;
    if (partial.empty()) continue;
    struct stat st {};
    if (stat(partial.c_str(), &st) == 0) {
      if (!S_ISDIR(st.st_mode)) return false;
      continue;
    }
    if (mkdir(partial.c_str(), mode) != 0 && errno != EEXIST) return false;
    chmod(partial.c_str(), mode);
  }
  struct stat st {};
  return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string ComputerName() {
  char name[256] = {};
  if (gethostname(name, sizeof name - 1) != 0) return {};
  return name;
}

unsigned short SystemLanguageId() {
  const char* names[] = {"LC_ALL", "LC_MESSAGES", "LANG"};
  for (const char* n : names) {
    const char* v = std::getenv(n);
    if (!v || !*v) continue;
    if (std::strncmp(v, "es", 2) == 0) return 0x40A;
    if (std::strncmp(v, "de", 2) == 0) return 0x407;
    if (std::strncmp(v, "fr", 2) == 0) return 0x40C;
    if (std::strncmp(v, "it", 2) == 0) return 0x410;
    return 0x409;
  }
  return 0x409;
}

}  // namespace platform
