// SIP load on the real tessaly: the system as tools/run.sh starts it, but
// with no channel paragraph, so no controller registers and every INVITE is
// refused at once (404, then the caller's ACK).  Two sipp clients send side
// by side for a minute: OPTIONS at the given rate and refused INVITEs at the
// same rate.  Printed: for each kind, the requests sent and answered (a
// request counts as answered when its final answer came; sipp retransmits
// after 500 ms, so retransmissions are printed too), and tessaly's share of
// one core over the sending (CPU ticks from /proc), that CPU time per request
// sent, and its RSS at the end.  Goal: every request answered with its own
// answer (200, 404; a 503 counts as answered but is printed apart and is
// not the goal), under 50 % of one core.  On a machine whose cores are all busy, tessaly may get less
// than it needs while requests wait: calls then pile up and are refused with
// 503; the CPU time per request is the figure that holds then.
//   KV_SIP_LOAD_SECONDS  how long to send (default 60)
//   KV_SIP_LOAD_RATE     requests per second of each kind (default 1,000,
//                        so 2,000 requests per second in all)
// The programs are taken from the folder of this benchmark (the same build);
// the scenarios (bench/sipp/) take a 503 (no call record free) as an answer
// too, and the 503s are printed apart.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/support/temp_folder.h"

// NOLINTBEGIN(bugprone-suspicious-include)
#include "common/support/temp_folder.cpp"
// NOLINTEND(bugprone-suspicious-include)
#include "system_run.h"

namespace {

int env_int(const char* name, int fallback) {
  const char* v = std::getenv(name);
  const int n = v != nullptr ? std::atoi(v) : 0;
  return n > 0 ? n : fallback;
}

using namespace kvbench;

// One sipp client sending a scenario for `seconds` at `rate` calls per
// second; its cumulative figures are read from its statistics file and its
// last screen when it has ended.
class sipp_client {
  static std::string stem(const std::string& file) {
    const std::string name = file.substr(file.rfind('/') + 1);
    return name.substr(0, name.rfind('.'));
  }

 public:
  sipp_client(const std::string& dir, const std::string& scenario_file, int local, int remote, int rate, int seconds,
              const std::vector<std::string>& keys)
      : stat_(dir + "/" + stem(scenario_file) + ".csv"),
        screen_(dir + "/" + stem(scenario_file) + "_screen.log"),
        errors_(dir + "/" + stem(scenario_file) + "_errors.log") {
    std::vector<std::string> args = {"sipp",
                                     "127.0.0.1:" + std::to_string(remote),
                                     "-sf",
                                     scenario_file,
                                     "-i",
                                     "127.0.0.1",
                                     "-p",
                                     std::to_string(local),
                                     "-m",
                                     std::to_string(rate * seconds),
                                     "-r",
                                     std::to_string(rate),
                                     "-l",
                                     std::to_string(rate * 10),
                                     "-nostdin",
                                     "-timeout",
                                     std::to_string(seconds + 60) + "s",
                                     "-trace_stat",
                                     "-stf",
                                     stat_,
                                     "-fd",
                                     "1",
                                     "-trace_err",
                                     "-error_file",
                                     errors_};
    args.insert(args.end(), keys.begin(), keys.end());
    std::vector<char*> argv;
    argv.reserve(args.size() + 1);
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_ = fork();
    if (pid_ == 0) {
      const int fd = open(screen_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd >= 0) {
        dup2(fd, 1);
        dup2(fd, 2);
      }
      execvp("sipp", argv.data());
      _exit(127);
    }
  }
  ~sipp_client() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }
  sipp_client(const sipp_client&) = delete;
  sipp_client& operator=(const sipp_client&) = delete;

  // Waits at most `seconds` for sipp to end: its exit code, or -1.
  int wait(int seconds) {
    if (pid_ <= 0) return -1;
    int status = 0;
    for (int i = 0; i < seconds * 10; ++i) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    return -1;
  }

  // sipp's last screen: the message counts of the scenario's steps.
  std::string last_screen() const {
    const std::string text = kvtest::ReadFile(screen_);
    const std::size_t at = text.rfind("Messages  Retrans");
    if (at == std::string::npos) return {};
    const std::size_t stop = text.find("\n----", at);
    return text.substr(at, stop == std::string::npos ? std::string::npos : stop - at);
  }

  // The first event of sipp's error log that is not a late copy of an answer
  // (a "Dead call" message), with the lines that follow it.
  std::string first_error(std::size_t lines) const {
    std::istringstream in(kvtest::ReadFile(errors_));
    std::string out, line;
    std::size_t taken = 0;
    bool found = false;
    while (taken < lines && std::getline(in, line)) {
      const bool event = line.find(": ") != std::string::npos && line.rfind("20", 0) == 0;
      if (event && found) break;
      if (event && line.find("Dead call") == std::string::npos) found = true;
      if (!found) continue;
      out += "  ";
      out += line;
      out += '\n';
      ++taken;
    }
    return out;
  }

  // How many answers of `code` sipp received (from its last screen), or 0.
  long received(const std::string& code) const {
    const std::string screen = last_screen();
    const std::size_t at = screen.find(code + " <----------");
    return at == std::string::npos ? 0 : std::strtol(screen.c_str() + at + code.size() + 12, nullptr, 10);
  }

  // The cumulative value of a column of the last statistics line, or -1.
  long figure(const std::string& column) const {
    std::istringstream in(kvtest::ReadFile(stat_));
    std::string header, line, last;
    if (!std::getline(in, header)) return -1;
    while (std::getline(in, line))
      if (!line.empty()) last = line;
    std::map<std::string, std::size_t> at;
    std::istringstream h(header);
    std::string name;
    for (std::size_t i = 0; std::getline(h, name, ';'); ++i) at[name] = i;
    const auto it = at.find(column);
    if (it == at.end()) return -1;
    std::istringstream v(last);
    std::string field;
    for (std::size_t i = 0; std::getline(v, field, ';'); ++i)
      if (i == it->second) return std::strtol(field.c_str(), nullptr, 10);
    return -1;
  }

 private:
  std::string stat_;
  std::string screen_;
  std::string errors_;
  pid_t pid_ = -1;
};

void BM_SipLoad(benchmark::State& state) {
  const int seconds = env_int("KV_SIP_LOAD_SECONDS", 60);
  const int rate = env_int("KV_SIP_LOAD_RATE", 1000);
  const std::string bin = folder_of_this_program();
  for (auto _ : state) {
    kvtest::TempFolder tmp;
    const std::string area = tmp.File("area");
    if (!make_server_area(bin, area)) {
      state.SkipWithError("the server area could not be made");
      return;
    }
    const int sip = free_udp_port(), gateway = free_udp_port(), media = free_udp_port();
    const int prober = free_udp_port(), caller = free_udp_port();
    edit_ini(area + "/K-DB/SETUP.INI",
             {{"LocalSIPPort", std::to_string(sip)},
              {"SIPGatewayPort", std::to_string(gateway)},
              {"LocalMediaPortStart", std::to_string(media)}},
             true);
    std::string glb = kvtest::ReadFile(area + "/Tessaly/glb.cfg");
    if (const std::size_t at = glb.find("= 5060"); at != std::string::npos)
      glb.replace(at, 6, "= " + std::to_string(sip));
    kvtest::WriteFile(area + "/Tessaly/glb.cfg", glb);
    edit_ini(area + "/KORVANE.INI", {}, true);

    run_command run(area, bin);
    pid_t tessaly = 0;
    std::string line;
    bool up = false;
    while (run.next_line(&line, 90)) {
      if (line.rfind("tessaly is up", 0) == 0) tessaly = pid_in(line);
      if (line.rfind("Up in ", 0) == 0) {
        up = true;
        break;
      }
    }
    if (!up || tessaly <= 0) {
      state.SkipWithError(("the system did not come up; last line: " + line).c_str());
      return;
    }
    std::this_thread::sleep_for(std::chrono::seconds(1));
    const double t0 = cpu_seconds(tessaly);
    const auto began = std::chrono::steady_clock::now();
    const std::string source(KV_SOURCE_DIR);
    sipp_client probes(tmp.path(), source + "/bench/sipp/load-options.xml", prober, sip, rate, seconds, {});
    sipp_client calls(tmp.path(), source + "/bench/sipp/load-refused-invite.xml", caller, sip, rate, seconds,
                      {"-key", "media_port", std::to_string(media + 10)});
    const int probes_rc = probes.wait(seconds + 90);
    const int calls_rc = calls.wait(seconds + 90);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count();
    const double tessaly_cpu = cpu_seconds(tessaly) - t0;
    const double tessaly_pct = 100.0 * tessaly_cpu / wall;
    const long tessaly_rss = rss_kb(tessaly);
    run.stop();
    const long sent_o = probes.figure("OutgoingCall(C)"), answered_o = probes.figure("SuccessfulCall(C)");
    const long sent_i = calls.figure("OutgoingCall(C)"), answered_i = calls.figure("SuccessfulCall(C)");
    if (probes_rc != 0)
      std::printf("OPTIONS client:\n%s\n%s", probes.last_screen().c_str(), probes.first_error(30).c_str());
    if (calls_rc != 0)
      std::printf("INVITE client:\n%s\n%s", calls.last_screen().c_str(), calls.first_error(30).c_str());
    const long refused_503 = probes.received("503") + calls.received("503");
    const bool goal_met = sent_o == answered_o && sent_i == answered_i && refused_503 == 0 && tessaly_pct < 50.0 &&
                          sent_o == long(rate) * seconds && sent_i == long(rate) * seconds;
    state.SetIterationTime(wall);
    state.counters["tessaly_pct"] = tessaly_pct;
    state.counters["unanswered"] = double((sent_o - answered_o) + (sent_i - answered_i));
    std::printf(
        "%d s at %d OPTIONS and %d refused INVITEs per second: OPTIONS answered %ld / sent %ld (%ld of them 503, "
        "%ld retransmitted, sipp exit %d);\nINVITEs answered %ld / sent %ld (%ld of them 503, %ld retransmitted, "
        "sipp exit %d)\n"
        "tessaly: %.1f %% of one core over %.1f s (%.0f us of CPU per request sent), RSS %.1f MB (goal: all "
        "answered, none 503, under 50 %%): %s\n",
        seconds, rate, rate, answered_o, sent_o, probes.received("503"), probes.figure("Retransmissions(C)"), probes_rc,
        answered_i, sent_i, calls.received("503"), calls.figure("Retransmissions(C)"), calls_rc, tessaly_pct, wall,
        sent_o + sent_i > 0 ? 1e6 * tessaly_cpu / double(sent_o + sent_i) : 0.0, double(tessaly_rss) / 1024.0,
        goal_met ? "met" : "missed");
  }
}
BENCHMARK(BM_SipLoad)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
