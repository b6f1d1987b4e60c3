// Speed of the configuration files: reading a typical session file into a
// fresh copy of the session defaults (done once per session at start-up and
// for each incoming call's table), displaying it, and writing the whole help.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "session/config/app_foip_ini.h"
#include "session/config/app_foip_session_cfg.h"
#include "session/config/ini_tools.h"

namespace {

const char kSessionFile[] =
    "[General]\n"
    "kind of T.38 session = T.38 IAF\n"
    "kind of T.38 transport = UDP\n"
    "path of fax pages to send = /var/lib/korvane/fax/out\n"
    "path of rcv fax pages = /var/lib/korvane/fax/in\n"
    "path of trace files = /var/log/korvane\n"
    "path of TIFF temporary files = /var/tmp\n"
    "[SIP]\n"
    "remote SIP IP address = 192.168.10.20\n"
    "remote SIP port = 5060\n"
    "[T.38 remote capabilities]\n"
    "T38FaxMaxBuffer = 1800\n"
    "T38FaxMaxDatagram = 400\n"
    "[T.38 media address]\n"
    "local media port = 20000\n"
    "(NAT) local media port = 20000\n"
    "local user name = \"fax-01\"\n"
    "[FAX common]\n"
    "fax id = \"+33 1 23 45 67 89\"\n"
    "(Rx path) page resolution = 200dpi / 100dpi | 200dpi / 200dpi\n"
    "[[FAX Send page]]\n"
    "{\n  Tiff file name = /var/lib/korvane/fax/out/page1.tif\n}\n"
    "[FAX Receive pages]\n"
    "TIFF file name = /var/lib/korvane/fax/in/received.tif\n";

void BM_ReadSessionFile(benchmark::State& state) {
  char dir[] = "/tmp/kvbench-cfg-XXXXXX";
  if (!mkdtemp(dir)) std::abort();
  const std::string file = std::string(dir) + "/session1.cfg";
  std::FILE* f = std::fopen(file.c_str(), "wb");
  if (!f || std::fputs(kSessionFile, f) < 0 || std::fclose(f) != 0) std::abort();
  const ini_tools__table defaults = app_foip_ini__new_session_table();
  for (auto _ : state) {
    ini_tools__table table = defaults;
    uint8_t result = ini_tools__read_cfg_file(file.c_str(), app_foip_ini__session_sections,
                                              app_foip_ini__session_keywords, nullptr, table.values());
    if (result != INI_TOOLS__READ_DONE) std::abort();
    benchmark::DoNotOptimize(table.values());
  }
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_ReadSessionFile);

void BM_DisplaySessionTable(benchmark::State& state) {
  const ini_tools__table table = app_foip_ini__new_session_table();
  std::size_t bytes = 0;
  auto sink = [&](const char* text) -> uint8_t {
    bytes += std::char_traits<char>::length(text);
    return INI_TOOLS__OUTPUT_OK;
  };
  for (auto _ : state) {
    ini_tools__display_values(table.values(), app_foip_ini__session_sections, app_foip_ini__session_keywords, sink);
  }
  benchmark::DoNotOptimize(bytes);
}
BENCHMARK(BM_DisplaySessionTable);

void BM_WriteHelp(benchmark::State& state) {
  std::size_t bytes = 0;
  auto sink = [&](const char* text) -> uint8_t {
    bytes += std::char_traits<char>::length(text);
    return INI_TOOLS__OUTPUT_OK;
  };
  for (auto _ : state) app_foip_ini__write_help_to(sink);
  state.SetBytesProcessed(static_cast<int64_t>(bytes));
}
BENCHMARK(BM_WriteHelp);

}  // namespace

BENCHMARK_MAIN();
