// What an idle system costs: the whole system as tools/run.sh starts it
// (tessaly, one marrock per channel, the fax server's stand-in) on a server
// area of 19 channels, left alone for a minute once every controller is IDLE.
// Printed: the share of one core that tessaly and each marrock used over that
// minute (CPU ticks from /proc), and tessaly's RSS.  Goal: under 0.5 % each.
//   KV_IDLE_SECONDS   how long to watch (default 60)
// The programs are taken from the folder of this benchmark (the same build).
#include <benchmark/benchmark.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <netinet/in.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/support/temp_folder.h"

// NOLINTBEGIN(bugprone-suspicious-include)
#include "common/support/temp_folder.cpp"
// NOLINTEND(bugprone-suspicious-include)

namespace {

constexpr int kChannels = 19;

std::string folder_of_this_program() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0) return ".";
  std::string path(buf, static_cast<std::size_t>(n));
  return path.substr(0, path.rfind('/'));
}

// A UDP port on loopback that nobody holds now.
int free_udp_port() {
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

// Replaces the value of each "Key: value" line whose key is given.
void set_values(const std::string& file, const std::vector<std::pair<std::string, std::string>>& values) {
  std::istringstream in(kvtest::ReadFile(file));
  std::string out, line;
  while (std::getline(in, line)) {
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
double cpu_seconds(pid_t pid) {
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

long rss_kb(pid_t pid) {
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

// The pid in "NAME is up (pid N)...", or 0.
pid_t pid_in(const std::string& line) {
  const std::size_t at = line.find("is up (pid ");
  return at == std::string::npos ? 0 : static_cast<pid_t>(std::atoi(line.c_str() + at + 11));
}

void BM_IdleSystemCost(benchmark::State& state) {
  const char* env = std::getenv("KV_IDLE_SECONDS");
  const int watch = env != nullptr && std::atoi(env) > 0 ? std::atoi(env) : 60;
  const std::string bin = folder_of_this_program();
  for (auto _ : state) {
    kvtest::TempFolder tmp;
    const std::string area = tmp.File("area");
    std::string make = "KV_MARROCK='";
    make += bin;
    make += "/marrock' bash '";
    make += KV_SOURCE_DIR;
    make += "/tools/make-server-area.sh' '";
    make += area;
    make += "' > /dev/null";
    if (std::system(make.c_str()) != 0) {
      state.SkipWithError("the server area could not be made");
      return;
    }
    const int sip = free_udp_port(), gateway = free_udp_port(), media = free_udp_port();
    set_values(area + "/K-DB/SETUP.INI", {{"LocalSIPPort", std::to_string(sip)},
                                          {"SIPGatewayPort", std::to_string(gateway)},
                                          {"LocalMediaPortStart", std::to_string(media)},
                                          {"MaxSessions", std::to_string(kChannels)}});
    std::string glb = kvtest::ReadFile(area + "/Tessaly/glb.cfg");
    if (const std::size_t at = glb.find("= 5060"); at != std::string::npos)
      glb.replace(at, 6, "= " + std::to_string(sip));
    kvtest::WriteFile(area + "/Tessaly/glb.cfg", glb);
    std::string ini = kvtest::ReadFile(area + "/KORVANE.INI");
    for (int n = 3; n <= kChannels; ++n) {
      char paragraph[80];
      (void)std::snprintf(paragraph, sizeof paragraph, "\n[FOIP-G1-%d]\nPhoneNum: +44 20 7946 %04d\n", n, n);
      ini += paragraph;
    }
    kvtest::WriteFile(area + "/KORVANE.INI", ini);

    run_command run(area, bin);
    pid_t tessaly = 0;
    std::vector<pid_t> marrocks;
    std::string line;
    bool up = false;
    while (run.next_line(&line, 90)) {
      if (line.rfind("tessaly is up", 0) == 0) tessaly = pid_in(line);
      if (line.rfind("marrock G1-", 0) == 0 && pid_in(line) > 0) marrocks.push_back(pid_in(line));
      if (line.rfind("Up in ", 0) == 0) {
        up = true;
        break;
      }
    }
    if (!up || tessaly <= 0 || marrocks.size() != kChannels) {
      state.SkipWithError(("the system did not come up; last line: " + line).c_str());
      return;
    }
    // Let the start-up work (registrations, first polls) settle first.
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const double t0 = cpu_seconds(tessaly);
    std::vector<double> m0;
    m0.reserve(marrocks.size());
    for (pid_t p : marrocks) m0.push_back(cpu_seconds(p));
    const auto began = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(watch));
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    const double tessaly_pct = 100.0 * (cpu_seconds(tessaly) - t0) / wall;
    const long tessaly_rss = rss_kb(tessaly);
    double marrock_max = 0, marrock_sum = 0;
    for (std::size_t i = 0; i < marrocks.size(); ++i) {
      const double pct = 100.0 * (cpu_seconds(marrocks[i]) - m0[i]) / wall;
      marrock_max = std::max(marrock_max, pct);
      marrock_sum += pct;
    }
    run.stop();
    state.SetIterationTime(wall);
    state.counters["tessaly_pct"] = tessaly_pct;
    state.counters["marrock_max_pct"] = marrock_max;
    state.counters["marrock_mean_pct"] = marrock_sum / double(marrocks.size());
    std::printf(
        "idle for %.0f s with %d channels: tessaly %.3f %% of one core (RSS %.1f MB); marrock mean %.3f %%, "
        "highest %.3f %% (goal: under 0.5 %% each)\n",
        wall, kChannels, tessaly_pct, double(tessaly_rss) / 1024.0, marrock_sum / double(marrocks.size()), marrock_max);
  }
}
BENCHMARK(BM_IdleSystemCost)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
