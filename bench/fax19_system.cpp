// Nineteen faxes at once through the real programs: the whole system as
// tools/run.sh starts it (tessaly, one marrock per channel, the fax server's
// stand-in) on a server area of 19 channels, with spandsp's T.38 terminal
// (t38-fax-peer) as the far end of every call.
//   sends:    the stand-in submits one fax on each channel at once; sipp is
//             the SIP gateway and answers each call with the media address
//             of a peer of its own, which receives the fax;
//   receives: sipp calls tessaly 19 times at once, each call's offer
//             pointing at a peer of its own, which sends the fax.
// Printed for each: the faxes that passed (job result status 0 with the
// pages sent) of the job results that came, the time from the first submit
// or call to the last job result, tessaly's CPU time over that time as a
// share of one core (CPU ticks from /proc) and its peak RSS so far (VmHWM).  Goal: under 5 % of one
// core, RSS under 64 MB.
//   KV_FAX19_PAGES    pages of the sample fax sent in each call, 1 to 3
//                     (default 1: the sample's first page)
//   KV_FAX19_SECONDS  bound of each round (default 240)
// The programs are taken from the folder of this benchmark (the same build);
// sipp and the libtiff tools (tiffsplit, tiffcp) must be installed.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "common/support/temp_folder.h"

// NOLINTBEGIN(bugprone-suspicious-include)
#include "common/support/temp_folder.cpp"
// NOLINTEND(bugprone-suspicious-include)
#include "system_run.h"

namespace {

constexpr int kChannels = 19;

using namespace kvbench;

int env_int(const char* name, int fallback, int low, int high) {
  const char* v = std::getenv(name);
  const int n = v != nullptr ? std::atoi(v) : 0;
  return n >= low && n <= high ? n : fallback;
}

// The parts one after the other.
template <class... Parts>
std::string joined(const Parts&... parts) {
  std::string s;
  ((s += parts), ...);
  return s;
}

bool wait_for_file(const std::string& file, int ms) {
  for (int t = 0; t < ms / 20; ++t) {
    if (!kvtest::ReadFile(file).empty()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

struct round_figures {
  int results = 0;
  int passed = 0;
  double seconds = 0;
  double cpu_pct = 0;
  long peak_rss_kb = 0;
};

// One round: `count` peers in `mode` ("receive" for our sends, "send" for our
// receives) with their injection file for sipp, then `start` (which submits
// the jobs or starts the calling sipp) and the job results read from the run
// command's lines: "JOB_RESULT FOIP/" with "job=0 " for receives, any other
// job number for sends.
template <class Start>
round_figures run_round(run_command& run, pid_t tessaly, const std::string& work, const std::string& bin,
                        const std::string& mode, const std::string& fax, int pages, int limit, Start start) {
  std::vector<std::unique_ptr<child_process>> peers;
  peers.reserve(kChannels);
  std::string csv = "SEQUENTIAL\n";
  for (int i = 1; i <= kChannels; ++i) {
    const std::string tag = mode + "-" + std::to_string(i);
    std::vector<std::string> args = {bin + "/t38-fax-peer", mode};
    if (mode == "receive") {
      args.push_back(joined(work, "/rx-", tag, ".tif"));
    } else {
      args.push_back(fax);
      args.emplace_back("--calling");
    }
    for (const std::string& a : {std::string("--port-file"), joined(work, "/port-", tag), std::string("--remote-file"),
                                 joined(work, "/remote-", tag), std::string("--seconds"), std::to_string(limit)})
      args.push_back(a);
    peers.push_back(std::make_unique<child_process>(args, work, joined(work, "/peer-", tag, ".log")));
  }
  for (int i = 1; i <= kChannels; ++i) {
    const std::string tag = mode + "-" + std::to_string(i);
    if (!wait_for_file(joined(work, "/port-", tag), 5000)) return {};
    std::string port = kvtest::ReadFile(joined(work, "/port-", tag));
    port.erase(std::remove_if(port.begin(), port.end(), [](char c) { return c < '0' || c > '9'; }), port.end());
    csv += port;
    csv += ';';
    csv += work;
    csv += "/remote-";
    csv += tag;
    csv += ";\n";
  }
  kvtest::WriteFile(work + "/calls-" + mode + ".csv", csv);

  const double cpu0 = cpu_seconds(tessaly);
  const auto began = std::chrono::steady_clock::now();
  auto sipp = start(work + "/calls-" + mode + ".csv");
  round_figures r;
  int results = 0;
  std::string line;
  const std::string pages_text = " pages=" + std::to_string(pages);
  const auto until = began + std::chrono::seconds(limit);
  // A call that failed on the SIP side leaves no job result and its far
  // end never learns our media address: once sipp and every far end that
  // did learn it have ended, the results still to come get a while.
  auto quiet_since = began;
  bool far_ends_done = false;
  while (results < kChannels && std::chrono::steady_clock::now() < until) {
    if (!far_ends_done && sipp->wait(0) >= 0) {
      far_ends_done = true;
      for (int i = 1; i <= kChannels && far_ends_done; ++i) {
        const std::string remote = joined(work, "/remote-", mode, "-", std::to_string(i));
        if (!kvtest::ReadFile(remote).empty() && peers[static_cast<std::size_t>(i - 1)]->wait(0) < 0)
          far_ends_done = false;
      }
      if (far_ends_done) quiet_since = std::chrono::steady_clock::now();
    }
    if (far_ends_done && std::chrono::steady_clock::now() - quiet_since > std::chrono::seconds(30)) break;
    if (!run.next_line(&line, 1)) continue;
    const std::size_t at = line.find("JOB_RESULT FOIP/");
    if (at == std::string::npos) continue;
    const bool receive = line.find(" job=0 ", at) != std::string::npos;
    if (receive != (mode == "send")) continue;
    ++results;
    quiet_since = std::chrono::steady_clock::now();
    r.seconds = std::chrono::duration<double>(quiet_since - began).count();
    r.cpu_pct = 100.0 * (cpu_seconds(tessaly) - cpu0) / r.seconds;
    if (line.find(" status=0x0 ", at) != std::string::npos && line.find(pages_text, at) != std::string::npos)
      ++r.passed;
  }
  r.results = results;
  r.peak_rss_kb = peak_rss_kb(tessaly);
  // The peers end by themselves after their call; those still running
  // after a few seconds more are stopped.
  const auto settle = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  for (auto& p : peers) {
    const auto left = std::chrono::duration_cast<std::chrono::seconds>(settle - std::chrono::steady_clock::now());
    (void)p->wait(static_cast<int>(std::max<long>(0, left.count())));
  }
  peers.clear();
  (void)sipp->wait(5);
  // What the far ends of the failed calls said.
  for (int i = 1; i <= kChannels; ++i) {
    const std::string log = kvtest::ReadFile(joined(work, "/peer-", mode, "-", std::to_string(i), ".log"));
    if (log.find("result 0 ") != std::string::npos) continue;
    const std::size_t at = log.rfind("t38-fax-peer: ");
    std::printf("  far end %s %d: %s\n", mode.c_str(), i,
                at == std::string::npos ? "no result" : log.substr(at, log.find('\n', at) - at).c_str());
  }
  return r;
}

void BM_NineteenFaxes(benchmark::State& state) {
  const int pages = env_int("KV_FAX19_PAGES", 1, 1, 3);
  const int limit = env_int("KV_FAX19_SECONDS", 240, 30, 3600);
  const std::string bin = folder_of_this_program();
  for (auto _ : state) {
    kvtest::TempFolder tmp;
    const std::string area = tmp.File("area");
    // The controllers send only files of the server area.
    const std::string work = area + "/FAX19";
    if (!make_server_area(bin, area) || std::system(("mkdir -p '" + work + "'").c_str()) != 0) {
      state.SkipWithError("the server area could not be made");
      return;
    }
    const int sip = free_udp_port(), gateway = free_udp_port(), uac = free_udp_port(), media = free_udp_port();
    edit_ini(area + "/K-DB/SETUP.INI", {{"LocalSIPPort", std::to_string(sip)},
                                        {"SIPGatewayPort", std::to_string(gateway)},
                                        {"LocalMediaPortStart", std::to_string(media)},
                                        {"MaxSessions", std::to_string(kChannels)}});
    auto replace_in = [](const std::string& file, const std::string& from, const std::string& to) {
      std::string text = kvtest::ReadFile(file);
      if (const std::size_t at = text.find(from); at != std::string::npos) text.replace(at, from.size(), to);
      kvtest::WriteFile(file, text);
    };
    replace_in(area + "/Tessaly/glb.cfg", "= 5060", "= " + std::to_string(sip));
    replace_in(area + "/Tessaly/session02.cfg", "= 5070", "= " + std::to_string(gateway));
    for (const char* name : {"/Tessaly/session01.cfg", "/Tessaly/session02.cfg"}) {
      std::string cfg = kvtest::ReadFile(area + name);
      cfg += "\n[T.38 media address]\nlocal media IP address = 127.0.0.1\n";
      kvtest::WriteFile(area + name, cfg);
    }
    std::string ini = kvtest::ReadFile(area + "/KORVANE.INI");
    for (int n = 3; n <= kChannels; ++n) {
      char paragraph[80];
      (void)std::snprintf(paragraph, sizeof paragraph, "\n[FOIP-G1-%d]\nPhoneNum: +44 20 7946 %04d\n", n, n);
      ini += paragraph;
    }
    kvtest::WriteFile(area + "/KORVANE.INI", ini);
    // The fax: the first `pages` pages of the sample.
    const std::string split = "cd '" + work + "' && tiffsplit '" + KV_SOURCE_DIR +
                              "/tools/samples/SAMPLE3.TIF' page > /dev/null && tiffcp " +
                              (pages == 1   ? std::string("pageaaa.tif")
                               : pages == 2 ? std::string("pageaaa.tif pageaab.tif")
                                            : std::string("pageaaa.tif pageaab.tif pageaac.tif")) +
                              " FAX.TIF > /dev/null";
    if (std::system(split.c_str()) != 0) {
      state.SkipWithError("the sample fax could not be split (tiffsplit, tiffcp)");
      return;
    }
    // The scenarios of the demonstration and of the system tests, with the
    // per-call values taken from the injection file.  As in the soak, the
    // gateway also takes a repeated INVITE of a call it has answered.
    for (const auto& [from, to] : {std::pair<std::string, std::string>{"/tools/demo/uas-t38.xml", "/uas.xml"},
                                   {"/tests/host/sipp/uac-t38-call.xml", "/uac.xml"}}) {
      std::string xml = kvtest::ReadFile(std::string(KV_SOURCE_DIR) + from);
      for (const auto& [key, field] :
           {std::pair<std::string, std::string>{"[peer_port]", "[field0]"}, {"[remote_file]", "[field1]"}})
        for (std::size_t at = xml.find(key); at != std::string::npos; at = xml.find(key, at))
          xml.replace(at, key.size(), field);
      const std::string ack = "  <recv request=\"ACK\"/>";
      if (const std::size_t at = xml.find(ack); at != std::string::npos && to == "/uas.xml")
        xml.insert(at,
                   "  <recv request=\"INVITE\" optional=\"true\"/>\n  <recv request=\"INVITE\" optional=\"true\"/>\n");
      kvtest::WriteFile(work + to, xml);
    }
    setenv("KORVANE_MAILSLOT_DIR", (area + "/mailslot").c_str(), 1);
    setenv("KORVANE_HOME", area.c_str(), 1);

    run_command run(area, bin);
    pid_t tessaly = 0;
    int controllers = 0;
    std::string line;
    bool up = false;
    while (run.next_line(&line, 90)) {
      if (line.rfind("tessaly is up", 0) == 0) tessaly = pid_in(line);
      if (line.rfind("marrock G1-", 0) == 0 && pid_in(line) > 0) ++controllers;
      if (line.rfind("Up in ", 0) == 0) {
        up = true;
        break;
      }
    }
    if (!up || tessaly <= 0 || controllers != kChannels) {
      state.SkipWithError(("the system did not come up; last line: " + line).c_str());
      return;
    }
    const std::string timeout = std::to_string(limit + 30);
    const std::string fax = work + "/FAX.TIF";

    // Our sends: sipp as the gateway, then one job on each channel.
    const round_figures sends =
        run_round(run, tessaly, work, bin, "receive", fax, pages, limit, [&](const std::string& csv) {
          auto sipp = std::make_unique<child_process>(
              std::vector<std::string>{"sipp", "-sf", work + "/uas.xml", "-i", "127.0.0.1", "-p",
                                       std::to_string(gateway), "-m", std::to_string(kChannels), "-nostdin", "-inf",
                                       csv, "-timeout", timeout, "-timeout_error"},
              work, work + "/sipp-uas.log");
          std::this_thread::sleep_for(std::chrono::milliseconds(300));
          for (int i = 1; i <= kChannels; ++i) {
            const std::string post =
                joined(std::string("'"), bin, "/drennic-standin' --post sendfax 'FOIP\\G1\\", std::to_string(i), "' ",
                       std::to_string(100 + i), " 00001 '", work, "\\' FAX.TIF 6 3 > /dev/null 2>&1");
            (void)std::system(post.c_str());
          }
          return sipp;
        });
    // Our receives: sipp calls tessaly 19 times at once.
    const round_figures receives =
        run_round(run, tessaly, work, bin, "send", fax, pages, limit, [&](const std::string& csv) {
          return std::make_unique<child_process>(std::vector<std::string>{"sipp",
                                                                          "-sf",
                                                                          work + "/uac.xml",
                                                                          "-i",
                                                                          "127.0.0.1",
                                                                          "-p",
                                                                          std::to_string(uac),
                                                                          "127.0.0.1:" + std::to_string(sip),
                                                                          "-m",
                                                                          std::to_string(kChannels),
                                                                          "-l",
                                                                          std::to_string(kChannels),
                                                                          "-r",
                                                                          std::to_string(kChannels),
                                                                          "-rp",
                                                                          "1000",
                                                                          "-nostdin",
                                                                          "-key",
                                                                          "did",
                                                                          "00001",
                                                                          "-inf",
                                                                          csv,
                                                                          "-timeout",
                                                                          timeout,
                                                                          "-timeout_error"},
                                                 work, work + "/sipp-uac.log");
        });
    run.stop();
    state.SetIterationTime(sends.seconds + receives.seconds);
    state.counters["send_cpu_pct"] = sends.cpu_pct;
    state.counters["receive_cpu_pct"] = receives.cpu_pct;
    state.counters["peak_rss_mb"] = double(receives.peak_rss_kb) / 1024.0;
    std::printf("%d faxes of %d page(s) at once through tessaly (goal: under 5 %% of one core, RSS under 64 MB):\n",
                kChannels, pages);
    std::printf("  sends:    %2d passed of %2d results in %5.1f s, tessaly %5.2f %% of one core, peak RSS %.1f MB\n",
                sends.passed, sends.results, sends.seconds, sends.cpu_pct, double(sends.peak_rss_kb) / 1024.0);
    std::printf("  receives: %2d passed of %2d results in %5.1f s, tessaly %5.2f %% of one core, peak RSS %.1f MB\n",
                receives.passed, receives.results, receives.seconds, receives.cpu_pct,
                double(receives.peak_rss_kb) / 1024.0);
  }
}
BENCHMARK(BM_NineteenFaxes)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
