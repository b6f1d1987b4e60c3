// Trace module costs: event lines queued while the file writer drains them
// (as the FOIP task does every 50 ms), event lines written in the caller's
// own thread, the message audit at the shipped settings (no audit file) and
// with an audit file, and the decoder's line for one message.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <thread>

#include "platform/clock.h"
#include "runtime/dcod.h"
#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "session/trace/foip_trc.h"

namespace {

void quiet(const char*) {}
void free_handler(msg_t* m) { Free_msg(m); }
const entity_table_row_t TABLE[] = {{ENT_FOIP, free_handler, 0, 0, nullptr, 1}, {ENT_NIL, nullptr, 0, 0, nullptr, 0}};

std::string folder() {
  static std::string dir = [] {
    char tmpl[] = "/tmp/bench_foip_trc_XXXXXX";
    const char* d = mkdtemp(tmpl);
    return std::string(d ? d : "/tmp");
  }();
  return dir;
}

// Module set up with a global event file (and optionally an audit file);
// the runtime runs in manual mode.
struct trace_setup {
  explicit trace_setup(bool audit_file, u16 record = FOIP__SIP_EVT_1 | FOIP__FAX_EVT) {
    om_os_start_options o;
    o.table = TABLE;
    o.sm_thread = o.timer_thread = o.bkgr_thread = false;
    om_os_start_with(o);
    foip_trc__set_console(quiet);
    foip_trc__init();
    foip_trc__glb_settings s;
    s.record_event_bfi = record;
    s.event = {folder() + "/events", 100, 3, 0};
    if (audit_file) s.audit = {folder() + "/audit", 100, 3, 0};
    foip_trc__set_glb_settings(s);
    if (record) (void)foip_trc__open_glb_event_file();
    if (audit_file) (void)foip_trc__open_glb_audit_file();
  }
  ~trace_setup() {
    foip_trc__program_end();
    foip_trc__shutdown();
    foip_trc__set_console(nullptr);
    om_os_stop();
  }
};

const char LINE[] = "(nai 3, conn_id  65) SIP Evt: Receive SIP_INVITE_IN from sip:fax@192.0.2.10:5060\n";

// Producer cost with the writer thread draining the queue every 50 ms.
void BM_PrintEvent_WriterRunning(benchmark::State& state) {
  trace_setup setup(false);
  std::atomic<bool> run{true};
  std::thread writer([&] {
    while (run.load()) {
      foip_trc__on_timer();
      plat_sleep_ms(FOIP_TRC__TIMER_MS);
    }
  });
  u64 n = 0;
  for (auto _ : state) {
    foip_trc__print_event(3, FOIP__SIP_EVT_1, LINE);
    // Keep below the queue limit as a real producer would: a fax session
    // prints a few lines per second, not millions.
    if ((++n & 1023) == 0) {
      state.PauseTiming();
      foip_trc__flush_events();
      state.ResumeTiming();
    }
  }
  run.store(false);
  writer.join();
  state.SetItemsProcessed(static_cast<int64_t>(n));
}
BENCHMARK(BM_PrintEvent_WriterRunning);

// Whole cost of one event line: queued, routed and written to the file.
void BM_PrintEvent_QueueAndWrite(benchmark::State& state) {
  trace_setup setup(false);
  u64 n = 0;
  for (auto _ : state) {
    foip_trc__print_event(3, FOIP__SIP_EVT_1, LINE);
    if ((++n & 63) == 0) foip_trc__flush_events();
  }
  foip_trc__flush_events();
  state.SetItemsProcessed(static_cast<int64_t>(n));
}
BENCHMARK(BM_PrintEvent_QueueAndWrite);

// Shipped masks: nothing displayed, nothing recorded; lines are queued and
// dropped by the flush.
void BM_PrintEvent_ShippedMasks(benchmark::State& state) {
  trace_setup setup(false, 0);
  u64 n = 0;
  for (auto _ : state) {
    foip_trc__print_event(3, FOIP__SIP_EVT_1, LINE);
    if ((++n & 63) == 0) foip_trc__flush_events();
  }
  foip_trc__flush_events();
  state.SetItemsProcessed(static_cast<int64_t>(n));
}
BENCHMARK(BM_PrintEvent_ShippedMasks);

// Message audit of one T.38 datagram (about 40 bytes) and its share of the
// flush: without an audit file (shipped) and with one.
void audit_bench(benchmark::State& state, bool with_file) {
  trace_setup setup(with_file, 0);
  std::vector<u8> data(40, 0x11);
  msg_t* m = nullptr;
  buffer_t* b = nullptr;
  u8* p = nullptr;
  Alloc_msg_data(&m, &b, static_cast<u32>(data.size()), &p);
  std::copy(data.begin(), data.end(), p);
  m->from = ENT_PH_IT;
  m->to = ENT_T38;
  m->code = 'z';
  m->nai = 3;
  u64 n = 0;
  for (auto _ : state) {
    foip_trc__msg_audit('R', m);
    if ((++n & 63) == 0) foip_trc__flush_audit();
  }
  foip_trc__flush_audit();
  Free_msg(m);
  state.SetItemsProcessed(static_cast<int64_t>(n));
}
void BM_MsgAudit_ShippedNoFile(benchmark::State& state) { audit_bench(state, false); }
void BM_MsgAudit_WithFile(benchmark::State& state) { audit_bench(state, true); }
BENCHMARK(BM_MsgAudit_ShippedNoFile);
BENCHMARK(BM_MsgAudit_WithFile);

void BM_DcodFormatLine(benchmark::State& state) {
  dcod__init();
  std::vector<u8> data(40, 0x11);
  dcod__msg_view v;
  v.from = ENT_PH_IT;
  v.to = ENT_T38;
  v.code = 'z';
  v.data = data.data();
  v.length = static_cast<u32>(data.size());
  char line[4600];
  for (auto _ : state) {
    line[0] = '\0';
    dcod__format_view(v, line, sizeof line, 1500);
    benchmark::DoNotOptimize(line);
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_DcodFormatLine);

// Message hops between two entities of one task with the runtime's trace
// mask as shipped (sends and receives): without the audit hook, with the
// module's audit at the shipped settings (no audit file), and with an audit
// file.  The difference per hop is what the message audit costs a session.
constexpr ent_id_t ENT_PING = 'P', ENT_PONG = 'Q';
u32 hops_left = 0;
void bounce(msg_t* m) {
  if (hops_left == 0) {
    Free_msg(m);
    return;
  }
  --hops_left;
  m->to = m->to == ENT_PING ? ENT_PONG : ENT_PING;
  m->from = m->to == ENT_PING ? ENT_PONG : ENT_PING;
  Send_msg(m);
}
const entity_table_row_t HOP_TABLE[] = {
    {ENT_PING, bounce, 0, 0, nullptr, 0}, {ENT_PONG, bounce, 0, 0, nullptr, 0}, {ENT_NIL, nullptr, 0, 0, nullptr, 0}};

void BM_MessageHop(benchmark::State& state) {
  const int mode = static_cast<int>(state.range(0));  // 0 no hook, 1 shipped, 2 audit file
  om_os_start_options o;
  o.table = HOP_TABLE;
  o.sm_thread = o.timer_thread = o.bkgr_thread = false;
  om_os_start_with(o);
  om_os_set_trace_mask(0x300);
  foip_trc__set_console(quiet);
  foip_trc__init();
  foip_trc__glb_settings s;
  if (mode == 2) s.audit = {folder() + "/hop_audit", 100, 3, 0};
  foip_trc__set_glb_settings(s);
  (void)foip_trc__open_glb_audit_file();
  if (mode) om_os_set_audit_hook(foip_trc__msg_audit);
  om_os_run_ready(0);
  constexpr u32 BATCH = 1000;
  for (auto _ : state) {
    hops_left = BATCH;
    msg_t* m = Alloc_msg();
    m->from = ENT_PONG;
    m->to = ENT_PING;
    m->code = 'x';
    m->nai = 3;
    m->data_size = 40;
    Send_msg(m);
    om_os_run_ready(0);
    if (mode == 2) foip_trc__flush_audit();
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * BATCH);
  om_os_set_audit_hook(nullptr);
  foip_trc__program_end();
  foip_trc__shutdown();
  foip_trc__set_console(nullptr);
  om_os_stop();
}
BENCHMARK(BM_MessageHop)->Arg(0)->Arg(1)->Arg(2)->ArgName("audit");

// The trace timer with nothing queued (every 50 ms in the FOIP task), with
// one session and with all 62, at the shipped settings (no T.38 trace).
void BM_TraceTimerIdle(benchmark::State& state) {
  trace_setup setup(false, 0);
  const nai_t sessions = static_cast<nai_t>(state.range(0));
  foip_trc__session_settings ss;
  for (nai_t n = 0; n < sessions; ++n) (void)foip_trc__session_init(n, ss);
  for (auto _ : state) foip_trc__on_timer();
  for (nai_t n = 0; n < sessions; ++n) foip_trc__session_end(n);
}
BENCHMARK(BM_TraceTimerIdle)->Arg(1)->Arg(62)->ArgName("sessions");

}  // namespace

BENCHMARK_MAIN();
