// Speed of the common server library's hot paths: a log-library line (the
// server-wide file is opened, appended and closed per line), a program-log
// line below the threshold, a mailslot send and read, and a key lookup.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/ini_reader.h"
#include "common/mailslot.h"
#include "common/program_log.h"

namespace {

std::string TempFolder() {
  char dir[] = "/tmp/kvbench-XXXXXX";
  if (!mkdtemp(dir)) std::abort();
  return dir;
}

void BM_LogMessageToServerLog(benchmark::State& state) {
  const std::string dir = TempFolder();
  const std::string file = dir + "/SERVER.log";
  LogInit(nullptr, file.c_str(), 3, "BENCH");
  for (auto _ : state) LogMessage(3, "Device controller %d registered with session %d", 12, 3);
  LogInit(nullptr, nullptr, 3, "BENCH");
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_LogMessageToServerLog);

void BM_ProgramLogBelowThreshold(benchmark::State& state) {
  // Before InitialiseLog the threshold is 6: trace lines are dropped at once.
  for (auto _ : state) ProgramLog(1, "app_foip_dsp - trace %d", 1);
}
BENCHMARK(BM_ProgramLogBelowThreshold);

void BM_MailslotSendAndRead(benchmark::State& state) {
  const std::string dir = TempFolder();
  setenv("KORVANE_MAILSLOT_DIR", dir.c_str(), 1);
  MailslotHandle own;
  if (MsgMakePipe("BENCH", 0, &own) != 0) {
    state.SkipWithError("cannot create the mailslot");
    return;
  }
  std::uint8_t packet[268] = {0, 0, 11, 1};
  std::uint8_t in[464];
  for (auto _ : state) {
    std::uint16_t got = 0;
    if (MsgSendRequest("BENCH", 1, packet, sizeof packet, 0) != 0 || MsgReadRequest(own, in, sizeof in, &got) != 0) {
      state.SkipWithError("send or read failed");
      break;
    }
  }
  MsgClosePipe(&own);
  std::filesystem::remove_all(dir);
}
BENCHMARK(BM_MailslotSendAndRead);

void BM_IniGetStringInSetupIni(benchmark::State& state) {
  FILE* f = std::tmpfile();
  if (!f || std::fputs("[OPTIONS]\nLogLevel: 3\n", f) < 0) std::abort();
  for (int i = 0; i < 40; ++i)
    if (std::fprintf(f, "Key%d: value %d\n", i, i) < 0) std::abort();
  if (std::fputs("[TESSALY]\nLocalIPAddress: 10.0.0.1\nSIPGatewayAddress: 10.0.0.2\n", f) < 0) std::abort();
  std::rewind(f);
  char line[kIniLineSize];
  long para = 0;
  IniFindParagraph(f, "[TESSALY]", line, sizeof line, &para);
  char value[kIniLineSize];
  for (auto _ : state) {
    benchmark::DoNotOptimize(IniGetString(f, "SIPGatewayAddress:", value, sizeof value, para));
  }
  (void)std::fclose(f);  // read only
}
BENCHMARK(BM_IniGetStringInSetupIni);

}  // namespace

BENCHMARK_MAIN();
