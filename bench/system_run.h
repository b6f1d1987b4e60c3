// The whole system as tools/run.sh starts it, for benchmarks that measure
// the real programs: the run command as a child read line by line, free
// ports, configuration edits, and a process's CPU time and resident size
// from /proc.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/support/temp_folder.h"

namespace kvbench {

inline std::string folder_of_this_program() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string path(buf, static_cast<std::size_t>(n));
  return path.substr(0, path.rfind('/'));
}

// A server area at `area` as tools/make-server-area.sh writes it, with the
// controllers of `bin`; false when the script failed.
inline bool make_server_area(const std::string& bin, const std::string& area) {
  std::string make = "KV_MARROCK='";
  make += bin;
  make += "/marrock' bash '";
  make += KV_SOURCE_DIR;
  make += "/tools/make-server-area.sh' '";
  make += area;
  make += "' > /dev/null";
  return std::system(make.c_str()) == 0;
}

// A UDP port on loopback that nobody holds now.
inline int free_udp_port() {
  const int s = socket(AF_INET, SOCK_DGRAM, 0);
  if (s < 0) return 0;
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  int port = 0;
  if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
      getsockname(s, reinterpret_cast<sockaddr*>(&a), &len) == 0)
    port = ntohs(a.sin_port);
  close(s);
  return port;
}

// Replaces the value of each "Key: value" line whose key is given; with
// `drop_channels`, also drops the channel paragraphs "[FOIP-G1-<n>]" with
// their lines.
inline void edit_ini(const std::string& file, const std::vector<std::pair<std::string, std::string>>& values,
                     bool drop_channels = false) {
  std::istringstream in(kvtest::ReadFile(file));
  std::string out, line;
  bool in_channel = false;
  while (std::getline(in, line)) {
    if (drop_channels && !line.empty() && line[0] == '[') in_channel = line.rfind("[FOIP-G1-", 0) == 0;
    if (in_channel) continue;
    for (const auto& [key, value] : values)
      if (line.rfind(key + ":", 0) == 0) {
        line = key;
        line += ": ";
        line += value;
      }
    out += line;
    out += '\n';
  }
  kvtest::WriteFile(file, out);
}

// CPU seconds (user + system) of a process, -1 when it is gone.
inline double cpu_seconds(pid_t pid) {
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t close_paren = text.rfind(')');
  if (close_paren == std::string::npos || close_paren + 2 > text.size()) return -1;
  std::istringstream rest(text.substr(close_paren + 2));
  std::string field;
  unsigned long utime = 0, stime = 0;
  for (int i = 3; i <= 15 && rest >> field; ++i) {
    if (i == 14) utime = std::stoul(field);
    if (i == 15) stime = std::stoul(field);
  }
  return double(utime + stime) / double(sysconf(_SC_CLK_TCK));
}

inline long rss_kb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmRSS:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

// tools/run.sh as a child whose output is read line by line, each read
// bounded; stopped with SIGTERM (the run command stops the programs in order).
class run_command {
 public:
  run_command(const std::string& area, const std::string& bin) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
      dup2(fds[1], 1);
      dup2(fds[1], 2);
      close(fds[0]);
      close(fds[1]);
      setenv("KORVANE_HOME", area.c_str(), 1);
      setenv("KV_BIN_DIR", bin.c_str(), 1);
      setenv("KV_START_SECONDS", "60", 1);
      const std::string script = std::string(KV_SOURCE_DIR) + "/tools/run.sh";
      execlp("bash", "bash", script.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    close(fds[1]);
    out_ = fds[0];
  }
  ~run_command() {
    stop();
    if (out_ >= 0) close(out_);
  }
  run_command(const run_command&) = delete;
  run_command& operator=(const run_command&) = delete;

  // The next line, or false when none came within `seconds` or the output ended.
  bool next_line(std::string* line, int seconds) {
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    while (true) {
      const std::size_t nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        *line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        return true;
      }
      const auto left =
          std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now()).count();
      if (left <= 0 || out_ < 0) return false;
      pollfd p{out_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left)) <= 0) continue;
      char chunk[4096];
      const ssize_t n = read(out_, chunk, sizeof chunk);
      if (n <= 0) return false;
      buffer_.append(chunk, static_cast<std::size_t>(n));
    }
  }

  void stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    std::string line;
    while (next_line(&line, 30)) {}
    int status = 0;
    for (int i = 0; i < 100 && waitpid(pid_, &status, WNOHANG) == 0; ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    if (waitpid(pid_, &status, WNOHANG) == 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, &status, 0);
    }
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int out_ = -1;
  std::string buffer_;
};

// A process's peak resident size (VmHWM), -1 when it is gone.
inline long peak_rss_kb(pid_t pid) {
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) return std::strtol(line.c_str() + 6, nullptr, 10);
  return -1;
}

// A program started in `dir` with its output in `log`, stopped (SIGTERM,
// then SIGKILL after a bounded wait) when it goes out of scope.
class child_process {
 public:
  child_process(const std::vector<std::string>& args, const std::string& dir, const std::string& log) {
    pid_ = fork();
    if (pid_ == 0) {
      std::vector<char*> argv;
      argv.reserve(args.size() + 1);
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      if (chdir(dir.c_str()) != 0) _exit(126);
      if (std::freopen(log.c_str(), "w", stdout) == nullptr) _exit(126);
      dup2(1, 2);
      const int null_in = open("/dev/null", O_RDONLY);
      if (null_in >= 0) dup2(null_in, 0);
      execvp(argv[0], argv.data());
      _exit(127);
    }
  }
  ~child_process() { stop(1); }
  child_process(const child_process&) = delete;
  child_process& operator=(const child_process&) = delete;

  bool started() const { return pid_ > 0; }
  // Waits up to `seconds` for the program to end; its exit code, or -1 when
  // it is still running (or was never started).
  int wait(int seconds) {
    if (pid_ <= 0) return code_;
    for (int i = 0; i <= seconds * 10; ++i) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        code_ = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        return code_;
      }
      if (i < seconds * 10) std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return -1;
  }
  void stop(int seconds) {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    if (wait(seconds) >= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
  }

 private:
  pid_t pid_ = -1;
  int code_ = -1;
};

// The pid in "NAME is up (pid N)...", or 0.
inline pid_t pid_in(const std::string& line) {
  const std::size_t at = line.find("is up (pid ");
  return at == std::string::npos ? 0 : static_cast<pid_t>(std::atoi(line.c_str() + at + 11));
}

}  // namespace kvbench
