// Message round trips through the runtime: same thread (internal queue) and
// across threads (external queue with a wake-up), and one-way throughput.
#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <thread>

#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"

namespace {

constexpr ent_id_t ENT_PING = 'P', ENT_PONG = 'Q', ENT_SINK = 'S';

// Cross-thread round trips: the benchmark thread sends to PONG (SM thread),
// which answers by posting back to the benchmark thread's own queue.
std::mutex reply_mu;
std::condition_variable reply_cv;
msg_t* reply = nullptr;

void pong_handler(msg_t* m) {
  if (m->code == 'r') {
    {
      std::lock_guard<std::mutex> g(reply_mu);
      reply = m;
    }
    reply_cv.notify_one();
    return;
  }
  // Same-thread ping-pong: bounce back to PING until the count runs out.
  m->to = ENT_PING;
  m->from = ENT_PONG;
  Send_msg(m);
}

std::atomic<u64> sunk{0};
void sink_handler(msg_t* m) {
  sunk.fetch_add(1, std::memory_order_relaxed);
  Free_msg(m);
}

u32 bounces_left = 0;
void ping_handler(msg_t* m) {
  if (bounces_left == 0) {
    Free_msg(m);
    return;
  }
  --bounces_left;
  m->to = ENT_PONG;
  m->from = ENT_PING;
  Send_msg(m);
}

const entity_table_row_t TABLE[] = {
    {ENT_PING, ping_handler, 0, 0, nullptr, 0},
    {ENT_PONG, pong_handler, 0, 0, nullptr, 0},
    {ENT_SINK, sink_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

void quiet_trap(u16, const char*) {}

// Starts the runtime on TABLE without timer and background threads; the
// handlers run on the SM thread, or on the caller's through om_os_run_ready.
void start_runtime(bool sm_thread) {
  om_os_set_trap_handler(quiet_trap);
  om_os_start_options o;
  o.table = TABLE;
  o.sm_thread = sm_thread;
  o.timer_thread = false;
  o.bkgr_thread = false;
  om_os_start_with(o);
}

void stop_runtime() {
  om_os_stop();
  om_os_set_trap_handler(nullptr);
}

msg_t* new_msg(ent_id_t to, code_t code) {
  msg_t* m = Alloc_msg();
  m->from = ENT_NIL;
  m->to = to;
  m->code = code;
  m->nai = 0;
  m->data_size = 16;
  return m;
}

// Same thread: a message bounces PING -> PONG -> PING through the internal
// queue; each bounce is one send, one receive and one dispatch.
void BM_SameThreadRoundTrip(benchmark::State& state) {
  start_runtime(false);
  om_os_set_trace_mask(static_cast<u32>(state.range(0)));
  om_os_run_ready(0);
  constexpr u32 BATCH = 1000;
  for (auto _ : state) {
    bounces_left = 2 * BATCH;  // BATCH round trips
    Send_msg(new_msg(ENT_PING, 'x'));
    om_os_run_ready(0);
  }
  state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * BATCH);
  state.counters["round_trips/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) * BATCH, benchmark::Counter::kIsRate);
  stop_runtime();
}
BENCHMARK(BM_SameThreadRoundTrip)->Arg(0x300)->Arg(0x8000)->ArgName("trace_mask");  // shipped mask; nothing recorded

// Cross thread: the benchmark thread sends to an entity of the SM thread
// (external queue + wake-up) and waits for the handler to hand it back.
void BM_CrossThreadRoundTrip(benchmark::State& state) {
  start_runtime(true);
  msg_t* m = new_msg(ENT_PONG, 'r');
  for (auto _ : state) {
    Send_msg(m);
    std::unique_lock<std::mutex> g(reply_mu);
    reply_cv.wait(g, [] { return reply != nullptr; });
    m = reply;
    reply = nullptr;
  }
  Free_msg(m);
  state.counters["round_trips/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
  stop_runtime();
}
BENCHMARK(BM_CrossThreadRoundTrip)->UseRealTime();

// One-way throughput: the benchmark thread allocates and sends to an entity
// of the SM thread, which frees; messages per second through the external
// queue, allocation and release included.
void BM_CrossThreadMessagesPerSecond(benchmark::State& state) {
  start_runtime(true);
  constexpr u64 BATCH = 1000;
  u64 sent = 0;
  for (auto _ : state) {
    for (u64 i = 0; i < BATCH; ++i) {
      msg_t* m;
      while (!(m = Alloc_msg())) std::this_thread::yield();
      m->from = ENT_NIL;
      m->to = ENT_SINK;
      m->code = 's';
      Send_msg(m);
    }
    sent += BATCH;
    // Keep the queue bounded.
    while (sunk.load(std::memory_order_relaxed) + 4000 < sent) std::this_thread::yield();
  }
  while (sunk.load() < sent) std::this_thread::yield();
  state.counters["msgs/s"] = benchmark::Counter(static_cast<double>(sent), benchmark::Counter::kIsRate);
  stop_runtime();
  sunk = 0;
}
BENCHMARK(BM_CrossThreadMessagesPerSecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
