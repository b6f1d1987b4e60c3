// A whole fax over T.38 on loopback, in real time: tessaly (its real
// entities, the SIP-side stand-in of the tests, a scripted device
// controller) sends three pages to spandsp's T.38 terminal, against two
// spandsp terminals sending the same pages to each other over the same
// transport; "ratio" is tessaly's time over spandsp's.  Each transport is
// timed twice: with the far end ending the call after the fax as a SIP peer
// does with its BYE (a real call), and with a far end that never hangs up,
// so that tessaly's own delay after the fax counts.  Then tessaly in a
// process of its own runs 19 sends at once against 19 spandsp peers: the
// CPU share of one core it used while they ran, and its peak RSS.
#include <benchmark/benchmark.h>

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

#include <signal.h>
#include <sys/wait.h>
#include <tiffio.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "common/support/temp_folder.h"
#include "host/host.h"
#include "host/scripted_controller.h"
#include "host/support/sip_side_standin.h"
#include "host/support/t38_live_peer.h"

// The live peer and the SIP-side stand-in of the tests, built into this
// program (the benchmarks link no test helper library).
// NOLINTBEGIN(bugprone-suspicious-include)
#include "common/support/temp_folder.cpp"
#include "host/support/sip_side_standin.cpp"
#include "host/support/t38_live_peer.cpp"
// NOLINTEND(bugprone-suspicious-include)

namespace {

using clock_type = std::chrono::steady_clock;
using milestone::peer_options;
using milestone::t38_live_peer;
using tessaly_test::Reply;
using tessaly_test::ScriptedController;

double seconds_since(clock_type::time_point t) { return std::chrono::duration<double>(clock_type::now() - t).count(); }

// Three fine-resolution MH pages of text-like rows.
void write_pages(const std::string& path) {
  TIFF* t = TIFFOpen(path.c_str(), "w");
  if (!t) return;
  const uint32_t heights[3] = {120, 60, 100};
  std::vector<uint8_t> row(1728 / 8);
  for (int page = 0; page < 3; ++page) {
    TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, 1728);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, heights[page]);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX3);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(t, TIFFTAG_FILLORDER, FILLORDER_LSB2MSB);
    TIFFSetField(t, TIFFTAG_XRESOLUTION, 204.0f);
    TIFFSetField(t, TIFFTAG_YRESOLUTION, 196.0f);
    TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, heights[page]);
    TIFFSetField(t, TIFFTAG_PAGENUMBER, page, 3);
    for (uint32_t y = 0; y < heights[page]; ++y) {
      for (size_t x = 0; x < row.size(); ++x)
        row[x] = (y % 12 < 8 && x > 20 && x < 190 && (x + y / 12 + page) % 3 == 0) ? uint8_t(0x3C) : 0;
      TIFFWriteScanline(t, row.data(), y, 0);
    }
    TIFFWriteDirectory(t);
  }
  TIFFClose(t);
}

void replace(std::string& text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  if (at != std::string::npos) text.replace(at, from.size(), to);
}

// A server area for tessaly: media ports from `media_port`, T.38 over
// `transport`, the far end at `peer_port`.
void make_area(const kvtest::TempFolder& area, char transport, uint16_t media_port, uint16_t peer_port) {
  const std::string cmd =
      "bash " + std::string(KV_SOURCE_DIR) + "/tools/make-server-area.sh " + area.path() + " > /dev/null";
  if (std::system(cmd.c_str()) != 0) return;
  std::string setup = kvtest::ReadFile(area.File("K-DB/SETUP.INI"));
  replace(setup, "SIPGatewayPort: 5070", "SIPGatewayPort: " + std::to_string(peer_port));
  replace(setup, "LocalMediaPortStart: 20000", "LocalMediaPortStart: " + std::to_string(media_port));
  kvtest::WriteFile(area.File("K-DB/SETUP.INI"), setup);
  for (const char* name : {"Tessaly/session01.cfg", "Tessaly/session02.cfg"}) {
    std::string cfg = kvtest::ReadFile(area.File(name));
    replace(cfg, "[General]\n",
            std::string("[General]\nkind of T.38 transport = ") + (transport == 'T' ? "TCP" : "UDP") + "\n");
    cfg += "\n[T.38 media address]\nlocal media IP address = 127.0.0.1\n";
    kvtest::WriteFile(area.File(name), cfg);
  }
  write_pages(area.File("Tessaly/pages/page1.tif"));
  setenv("KORVANE_INI_PATH", area.File("KORVANE.INI").c_str(), 1);
  setenv("KORVANE_MAILSLOT_DIR", area.File("mailslot").c_str(), 1);
}

HostOptions host_options() {
  HostOptions o;
  o.loop_ms = 100;
  o.send_poll_ms = 50;
  o.shutdown_passes = 50;
  o.exit_wait_ms = 10000;
  o.adjust_layer_hooks = sip_standin__install;
  return o;
}

// Registers a controller (retrying while tessaly comes up) and sets it
// to send only; false when tessaly does not answer.
bool register_controller(ScriptedController& c) {
  StatusWord sent = STATUS_MAILSLOT_MISSING;
  for (int i = 0; i < 400 && sent != STATUS_OK; ++i) {
    sent = c.Register();
    if (sent != STATUS_OK) std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  if (sent != STATUS_OK || !c.Next(5000)) return false;
  return c.Status(0) == STATUS_OK && c.Next(5000).has_value();
}

// Waits for the end of a send: true when the fax was sent.
bool wait_sent(ScriptedController& c, int ms) {
  const auto end = clock_type::now() + std::chrono::milliseconds(ms);
  while (clock_type::now() < end) {
    const std::optional<Reply> r = c.Next(1000);
    if (!r || r->type != TESSALY_FAX_STATUS) continue;
    if (r->status.kind == FAX_STATUS_FAX_SENT) return true;
    if (r->status.kind == FOIP_STATUS_FAX_NOT_SENT || r->status.kind == FOIP_STATUS_FAX_NOT_CONNECTED) return false;
  }
  return false;
}

// spandsp sends the pages to spandsp: seconds, or a negative figure.
double spandsp_to_spandsp(char transport, const std::string& pages) {
  kvtest::TempFolder dir;
  peer_options answer;
  answer.tcp = transport == 'T';
  answer.rx_file = dir.File("rx.tif");
  t38_live_peer a(answer);
  peer_options call;
  call.tcp = answer.tcp;
  call.calling = true;
  call.listen = false;
  call.tx_file = pages;
  call.remote_port = a.port();
  t38_live_peer b(call);
  const auto start = clock_type::now();
  a.start();
  b.start();
  const bool ok = a.wait(120000) && b.wait(5000) && a.completion == 0;
  return ok ? seconds_since(start) : -1;
}

// tessaly in a process of its own (a program runs it once; its entities
// keep process-wide state from one run to the next). With `hang_up_fd`,
// each byte read from it plays the far end's BYE on every open call ('O':
// an incoming call is offered instead).
pid_t start_tessaly(int hang_up_fd = -1) {
  (void)std::fflush(nullptr);
  const pid_t child = fork();
  if (child == 0) {
    if (hang_up_fd >= 0) {
      std::thread([hang_up_fd] {
        char b = 0;
        while (read(hang_up_fd, &b, 1) == 1) {
          if (b == 'O') sip_standin__offer_call("0000001");
          else sip_standin__far_end_hangs_up();
        }
      }).detach();
    }
    _exit(TessalyMain(host_options()));
  }
  return child;
}

// Asks tessaly to stop through `c` and reaps it; its exit code, or -1 when
// it had to be killed.
int stop_tessaly(pid_t child, ScriptedController& c) {
  (void)c.Shutdown();
  int status = 0;
  for (int i = 0; i < 300; ++i) {
    if (waitpid(child, &status, WNOHANG) == child) return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  kill(child, SIGKILL);
  waitpid(child, &status, 0);
  return -1;
}

// tessaly sends the pages to spandsp: seconds from the request to the
// controller's "fax sent", or a negative figure. With `far_end_hangs_up`
// the far end ends the call once its fax has ended (after the DCN), as a
// SIP peer does with its BYE; without, tessaly ends the call itself once
// its delay after the end of the fax has run.
double tessaly_to_spandsp(char transport, uint16_t media_port, bool far_end_hangs_up) {
  kvtest::TempFolder area, dir;
  peer_options answer;
  answer.tcp = transport == 'T';
  answer.rx_file = dir.File("rx.tif");
  t38_live_peer peer(answer);
  make_area(area, transport, media_port, peer.port());
  sip_standin__set_peer({{127, 0, 0, 1}, peer.port()});
  int hang_up[2] = {-1, -1};
  if (far_end_hangs_up && pipe(hang_up) != 0) return -1;
  const pid_t child = start_tessaly(hang_up[0]);
  if (hang_up[0] >= 0) close(hang_up[0]);
  peer.start();
  std::thread bye;
  if (hang_up[1] >= 0) {
    bye = std::thread([&peer, fd = hang_up[1]] {
      if (peer.wait(120000) && peer.completion == 0) (void)!write(fd, "B", 1);
    });
  }
  double seconds = -1;
  ScriptedController c(0x0B01, "FB\\1");
  if (register_controller(c)) {
    // Let the configuration settle before timing the send.
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const auto start = clock_type::now();
    if (c.Send() == STATUS_OK && wait_sent(c, 120000)) seconds = seconds_since(start);
  }
  const int exit_code = stop_tessaly(child, c);
  if (bye.joinable()) bye.join();
  if (hang_up[1] >= 0) close(hang_up[1]);
  return exit_code == 0 ? seconds : -1;
}

// Arguments: transport (0 UDPTL, 1 TPKT); 1 when the far end hangs up after
// the fax as a SIP peer does (the figure of a real call), 0 when it never
// does (tessaly's own delay after the fax is then counted too).
void BM_FaxTimeAgainstSpandsp(benchmark::State& state) {
  const char transport = state.range(0) == 0 ? 'U' : 'T';
  const bool far_end_hangs_up = state.range(1) != 0;
  kvtest::TempFolder dir;
  const std::string pages = dir.File("pages.tif");
  write_pages(pages);
  for (auto _ : state) {
    const double ours = tessaly_to_spandsp(transport, transport == 'U' ? 18000 : 18100, far_end_hangs_up);
    const double theirs = spandsp_to_spandsp(transport, pages);
    state.SetIterationTime(ours > 0 ? ours : 0);
    state.counters["tessaly_s"] = ours;
    state.counters["spandsp_s"] = theirs;
    state.counters["ratio"] = ours > 0 && theirs > 0 ? ours / theirs : -1;
    std::printf("3-page fax over %s, %s: tessaly %.2f s, spandsp to spandsp %.2f s, ratio %.3f\n",
                transport == 'U' ? "UDPTL" : "TPKT",
                far_end_hangs_up ? "far end hangs up after the fax" : "far end never hangs up", ours, theirs,
                ours > 0 && theirs > 0 ? ours / theirs : -1.0);
  }
}
BENCHMARK(BM_FaxTimeAgainstSpandsp)
    ->ArgsProduct({{0, 1}, {1, 0}})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

// The same document both ways, with the codings the default area offers
// (T.4 one- and two-dimensional, T.6) and error correction on or off: a
// spandsp peer that has them all against tessaly, and two such spandsp
// peers against each other.  "ratio" is tessaly's time over spandsp's.
peer_options coding_peer(bool ecm) {
  peer_options o;
  o.compressions = T30_SUPPORT_T4_1D_COMPRESSION | T30_SUPPORT_T4_2D_COMPRESSION | T30_SUPPORT_T6_COMPRESSION;
  o.ecm = ecm;
  return o;
}

double spandsp_pair(bool ecm, const std::string& pages) {
  kvtest::TempFolder dir;
  peer_options answer = coding_peer(ecm);
  answer.rx_file = dir.File("rx.tif");
  t38_live_peer a(answer);
  peer_options call = coding_peer(ecm);
  call.calling = true;
  call.listen = false;
  call.tx_file = pages;
  call.remote_port = a.port();
  t38_live_peer b(call);
  const auto start = clock_type::now();
  a.start();
  b.start();
  const bool ok = a.wait(120000) && b.wait(5000) && a.completion == 0;
  return ok ? seconds_since(start) : -1;
}

// tessaly sends the document to the peer, or the peer sends it to tessaly
// (the call offered through the SIP-side stand-in, the controller taking
// it); the far end hangs up after the fax as a SIP peer does.  Seconds from
// the send request (or the start of the calling peer) to the end of the
// fax at the far end, or a negative figure.
double tessaly_with_peer(bool send, bool ecm, uint16_t media_port, const std::string& pages) {
  kvtest::TempFolder area, dir;
  peer_options o = coding_peer(ecm);
  if (send) {
    o.rx_file = dir.File("rx.tif");
  } else {
    o.calling = true;
    o.listen = false;
    o.tx_file = pages;
    o.remote_port = static_cast<uint16_t>(media_port + 2);
  }
  t38_live_peer peer(o);
  make_area(area, 'U', media_port, peer.port());
  sip_standin__set_peer({{127, 0, 0, 1}, peer.port()});
  int pipe_fd[2] = {-1, -1};
  if (pipe(pipe_fd) != 0) return -1;
  const pid_t child = start_tessaly(pipe_fd[0]);
  close(pipe_fd[0]);
  double seconds = -1;
  ScriptedController c(0x0B11, "FB\\11");
  StatusWord reg = STATUS_MAILSLOT_MISSING;
  for (int i = 0; i < 400 && reg != STATUS_OK; ++i) {
    reg = c.Register();
    if (reg != STATUS_OK) std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  const bool registered = reg == STATUS_OK && c.Next(5000) && c.Status(send ? 0 : 1) == STATUS_OK && c.Next(5000);
  if (registered) {
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    if (send) {
      peer.start();
      const auto start = clock_type::now();
      if (c.Send() == STATUS_OK && peer.wait(120000) && peer.completion == 0) seconds = seconds_since(start);
      (void)wait_sent(c, 10000);
    } else {
      (void)!write(pipe_fd[1], "O", 1);
      bool rang = false;
      for (int i = 0; i < 10 && !rang; ++i) {
        const std::optional<Reply> r = c.Next(500);
        rang = r && r->type == TESSALY_RING_IN;
      }
      if (rang && c.Receive(1) == STATUS_OK) {
        const auto start = clock_type::now();
        peer.start();
        if (peer.wait(120000) && peer.completion == 0) seconds = seconds_since(start);
      }
    }
    (void)!write(pipe_fd[1], "B", 1);
  }
  const int exit_code = stop_tessaly(child, c);
  close(pipe_fd[1]);
  return exit_code == 0 ? seconds : -1;
}

// Arguments: 1 tessaly sends, 0 it receives; 1 with error correction.
void BM_DefaultAreaAgainstSpandsp(benchmark::State& state) {
  const bool send = state.range(0) != 0;
  const bool ecm = state.range(1) != 0;
  kvtest::TempFolder dir;
  const std::string pages = dir.File("pages.tif");
  write_pages(pages);
  for (auto _ : state) {
    const double ours = tessaly_with_peer(send, ecm, send ? 18300 : 18400, pages);
    const double theirs = spandsp_pair(ecm, pages);
    const double ratio = ours > 0 && theirs > 0 ? ours / theirs : -1;
    state.SetIterationTime(ours > 0 ? ours : 0);
    state.counters["tessaly_s"] = ours;
    state.counters["spandsp_s"] = theirs;
    state.counters["ratio"] = ratio;
    std::printf("3-page fax, default area, %s, %s: tessaly %.2f s, spandsp to spandsp %.2f s, ratio %.3f\n",
                send ? "tessaly sends" : "tessaly receives", ecm ? "with ECM" : "without ECM", ours, theirs, ratio);
  }
}
BENCHMARK(BM_DefaultAreaAgainstSpandsp)
    ->ArgsProduct({{1, 0}, {0, 1}})
    ->Iterations(1)
    ->UseManualTime()
    ->Unit(benchmark::kSecond);

// CPU ticks (user + system) and peak RSS (kB) of a process.
struct usage {
  double cpu_s = 0;
  long peak_kb = 0;
};
usage usage_of(pid_t pid) {
  usage u;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  const std::size_t close = text.rfind(')');
  if (close != std::string::npos) {
    std::istringstream rest(text.substr(close + 2));
    std::string field;
    unsigned long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && rest >> field; ++i) {
      if (i == 14) utime = std::stoul(field);
      if (i == 15) stime = std::stoul(field);
    }
    u.cpu_s = double(utime + stime) / double(sysconf(_SC_CLK_TCK));
  }
  std::ifstream status("/proc/" + std::to_string(pid) + "/status");
  std::string line;
  while (std::getline(status, line))
    if (line.rfind("VmHWM:", 0) == 0) u.peak_kb = std::strtol(line.c_str() + 6, nullptr, 10);
  return u;
}

void BM_NineteenSessions(benchmark::State& state) {
  constexpr int kSessions = 19;
  for (auto _ : state) {
    kvtest::TempFolder area, dir;
    std::vector<std::unique_ptr<t38_live_peer>> peers;
    for (int k = 0; k < kSessions; ++k) {
      peer_options answer;
      answer.rx_file = dir.File("rx" + std::to_string(k) + ".tif");
      peers.push_back(std::make_unique<t38_live_peer>(answer));
      sip_standin__set_session_peer(static_cast<nai_t>(k + 1), {{127, 0, 0, 1}, peers.back()->port()});
    }
    make_area(area, 'U', 18200, peers[0]->port());
    const pid_t child = start_tessaly();
    for (auto& p : peers) p->start();
    std::vector<std::unique_ptr<ScriptedController>> controllers;
    bool registered = true;
    for (int k = 0; k < kSessions && registered; ++k) {
      controllers.push_back(std::make_unique<ScriptedController>(0x0C01 + k, "FC\\" + std::to_string(k + 1)));
      registered = register_controller(*controllers.back());
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    const usage before = usage_of(child);
    const auto start = clock_type::now();
    int sent = 0;
    if (registered) {
      for (auto& c : controllers) (void)c->Send();
      for (auto& c : controllers) sent += wait_sent(*c, 180000) ? 1 : 0;
    }
    const double wall = seconds_since(start);
    const usage after = usage_of(child);
    (void)stop_tessaly(child, *controllers[0]);
    const double cpu_share = wall > 0 ? (after.cpu_s - before.cpu_s) / wall : -1;
    state.SetIterationTime(wall);
    state.counters["faxes_sent"] = sent;
    state.counters["cpu_share_of_one_core"] = cpu_share;
    state.counters["peak_rss_MB"] = double(after.peak_kb) / 1024.0;
    std::printf(
        "19 sessions against 19 peers: %d faxes sent in %.1f s; tessaly CPU %.1f %% of one core, peak RSS "
        "%.1f MB\n",
        sent, wall, 100.0 * cpu_share, double(after.peak_kb) / 1024.0);
  }
}
BENCHMARK(BM_NineteenSessions)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

}  // namespace

#endif

BENCHMARK_MAIN();
