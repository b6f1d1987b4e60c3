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
#include "system_run.h"

namespace {

constexpr int kChannels = 19;

using namespace kvbench;

void BM_IdleSystemCost(benchmark::State& state) {
  const char* env = std::getenv("KV_IDLE_SECONDS");
  const int watch = env != nullptr && std::atoi(env) > 0 ? std::atoi(env) : 60;
  const std::string bin = folder_of_this_program();
  for (auto _ : state) {
    kvtest::TempFolder tmp;
    const std::string area = tmp.File("area");
    if (!make_server_area(bin, area)) {
      state.SkipWithError("the server area could not be made");
      return;
    }
    const int sip = free_udp_port(), gateway = free_udp_port(), media = free_udp_port();
    edit_ini(area + "/K-DB/SETUP.INI", {{"LocalSIPPort", std::to_string(sip)},
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
