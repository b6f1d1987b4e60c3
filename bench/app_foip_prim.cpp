// FOIP API records through the runtime: a record built, sent, received and
// read back, for a small record (one buffer), a start record and the 16 KB
// stop record (buffer chains through a temporary block on both sides).
#include <benchmark/benchmark.h>

#include <memory>

#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "session/foip/app_foip_prim.h"

namespace {

std::unique_ptr<foip__stop> g_stop = std::make_unique<foip__stop>();
std::unique_ptr<foip__start> g_start = std::make_unique<foip__start>();
u8 g_result = 0;

// The receiver reads each record back the way the application does.
void reader(msg_t* m) {
  switch (m->code) {
    case FOIP__STOP_CO:
      g_result = foip_api__read_stop(m, FOIP__STOP_CO, &g_stop->confirm, &g_stop->fax, &g_stop->t38, &g_stop->sip);
      break;
    case FOIP__START_CO: g_result = foip_api__read_record(m, FOIP__START_CO, g_start.get()); break;
    default: g_result = foip_api__read_confirm(m, m->code, &g_stop->confirm); break;
  }
  Free_msg(m);
}

const entity_table_row_t TABLE[] = {
    {ENT_APP_FOIP, reader, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

struct runtime_scope {
  runtime_scope() {
    om_os_start_options o;
    o.table = TABLE;
    o.sm_thread = false;
    o.timer_thread = false;
    o.bkgr_thread = false;
    om_os_start_with(o);
  }
  ~runtime_scope() { om_os_stop(); }
};

template <class T>
void round_trip(benchmark::State& state, code_t code) {
  runtime_scope rt;
  auto rec = std::make_unique<T>();
  foip_api__addr a;
  a.from = ENT_FOIP;
  a.to = ENT_APP_FOIP;
  a.nai = 1;
  for (auto _ : state) {
    if (foip_api__send_record(a, code, *rec) != FOIP_API__OK) state.SkipWithError("send");
    om_os_run_ready(0);
    if (g_result != FOIP_API__OK) state.SkipWithError("read");
  }
  state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(sizeof(T)));
}

void BM_UnregisterConfirm(benchmark::State& s) { round_trip<foip__sip_unregister>(s, FOIP__SIP_UNREGISTER_CO); }
void BM_StartConfirm(benchmark::State& s) { round_trip<foip__start>(s, FOIP__START_CO); }
void BM_StopConfirm16K(benchmark::State& s) { round_trip<foip__stop>(s, FOIP__STOP_CO); }

BENCHMARK(BM_UnregisterConfirm);
BENCHMARK(BM_StartConfirm);
BENCHMARK(BM_StopConfirm16K);

}  // namespace

BENCHMARK_MAIN();
