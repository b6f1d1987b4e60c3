// Runtime configuration, task tables, start and stop, locks, clock and traps.
#include "runtime/om_os.h"

#include <atomic>
#include <cstring>

#include "platform/clock.h"
#include "platform/thread.h"
#include "common/byte_order.h"
#include "runtime/mem.h"
#include "runtime/om_os_internal.h"
#include "runtime/sm.h"
#include "runtime/timer.h"

using namespace om_os_rt;

om_os_rt::runtime om_os_rt::g;
plat_cs om_os_rt::cs_init;
plat_cs om_os_rt::cs_cach;
plat_cs om_os_rt::cs_timr;
plat_cs om_os_rt::pool_lock;

const om_os_config om_os_default_config = {
    {0, 0},  // reserved
    100,     // message size
    6250,    // message limit
    6250,    // message cache limit
    6,       // message congestion on
    12,      // message congestion off
    0,       // trace records
    1612,    // buffer size
    6250,    // buffer limit
    6250,    // buffer cache limit
    5,       // buffer congestion on
    10,      // buffer congestion off
    6200,    // timer-cell limit
    6200,    // timer-cell cache limit
    10,      // timer unit
    10,      // tick
    100,     // wheel slots
    5,       // task slots
    63,      // maximum nai
    0x300,   // trace mask
    {18000, 18000, 18000, 0},
};

namespace {

// Task tables.
using task_fn = void (*)();
struct task_row {
  char name[8];
  task_fn fn;
  i16 priority;
  bool has_queue;
  u32 slot;
};

void sm_task_fn();
void timer_task_fn();
void om_os_bkgr_task();

constexpr task_row ENTITY_TASKS[] = {{"SM", sm_task_fn, PLAT_PRIO_HIGHEST, true, 0}};
constexpr task_row SERVICE_TASKS[] = {
    {"TIMR", timer_task_fn, PLAT_PRIO_TIME_CRITICAL, false, 4},
    {"BKGR", om_os_bkgr_task, PLAT_PRIO_LOWEST, false, 5},
};

plat_thread* threads[THREAD_SLOTS] = {};
const entity_table_row_t* program_table = nullptr;
const entity_table_row_t* active_table = nullptr;
om_os_start_options active_options{};
bool sm_in_caller = false;

om_os_config_hook_t config_hook = nullptr;
om_os_trap_handler_t trap_handler = nullptr;
std::atomic<om_os_bkgr_tick_t> bkgr_tick{nullptr};
std::atomic<om_os_tick_source_t> tick_source{nullptr};
plat_event bkgr_wake;
u64 perf_per_ms = 0, perf_per_us = 0;

void sm_task_fn() { om_os_sm_task(); }

void timer_task_fn() { om_os_timer_task(); }

void om_os_bkgr_task() {
  while (g.state.load() != OM_OS_STATE_STOPPING) {
    // The timer thread is awake at its turns anyway: taking the beat from it
    // spares this thread a wake-up of its own every 100 ms.  Should the beat
    // not come (the timer thread held up), the tick is called after a
    // second all the same.
    if (om_os_rt::timers_give_background_beat()) (void)bkgr_wake.wait_for(10 * om_os_rt::BKGR_BEAT_MS);
    else (void)bkgr_wake.wait_for(om_os_rt::BKGR_BEAT_MS);
    if (g.state.load() == OM_OS_STATE_STOPPING) break;
    om_os_bkgr_tick_t t = bkgr_tick.load();
    if (t) t();
  }
}

void thread_entry(void* arg) { reinterpret_cast<task_fn>(arg)(); }

void clear_state() {
  g.state.store(OM_OS_STATE_INIT);
  g.started.store(0);
  g.applied = 0;
  g.task_count = 0;
  g.started_tasks = 0;
  g.running_task.store(255);
  for (auto& t : g.tasks) t = task_rec{};
  for (auto& e : g.ent) reset_entity(e);
  pools_reset();
  timers_reset();
  mem_reset();
}

// Creates the queue and thread of one task-table row; 0 or the error.
int create_task(const task_row& row, bool with_thread) {
  if (row.has_queue) {
    if (row.slot >= XQUEUE_SLOTS) return 3;
    xqueue& x = g.xq[row.slot];
    x.head = x.tail = nullptr;
    x.ev.reset();
    x.created = true;
  }
  if (row.fn && with_thread) {
    if (row.slot >= THREAD_SLOTS) return 3;
    int err = 0;
    plat_thread* t = plat_thread_start(thread_entry, reinterpret_cast<void*>(row.fn), row.priority, &err);
    if (!t) return err ? err : 3;
    threads[row.slot] = t;
  }
  return 0;
}

u16 started_tasks() {
  plat_cs_hold hold(cs_init);
  u16 n = g.started_tasks;
  return n;
}

}  // namespace

// ---------------------------------------------------------------------------
// Configuration.

void om_os_config_pack(const om_os_config& c, u8 out[OM_OS_CONFIG_RECORD_SIZE]) {
  u8* p = out;
  put_le32(p, c.reserved[0]);
  put_le32(p + 4, c.reserved[1]);
  p += 8;
  *p++ = c.msg_size;
  const u16 words[] = {c.msg_limit,
                       c.msg_cache_limit,
                       c.msg_congestion_on,
                       c.msg_congestion_off,
                       c.trace_records,
                       c.buffer_size,
                       c.buffer_limit,
                       c.buffer_cache_limit,
                       c.buffer_congestion_on,
                       c.buffer_congestion_off,
                       c.timer_limit,
                       c.timer_cache_limit,
                       c.timer_unit,
                       c.tick,
                       c.wheel_slots,
                       c.task_slots,
                       c.max_nai};
  for (u16 w : words) {
    put_le16(p, w);
    p += 2;
  }
  put_le32(p, c.trace_mask);
  p += 4;
  for (u32 s : c.tmp_blocks) {
    put_le32(p, s);
    p += 4;
  }
}
static_assert(8 + 1 + 17 * 2 + 4 + 16 == OM_OS_CONFIG_RECORD_SIZE, "configuration record layout");

u8 om_os_config_apply(const om_os_config* config) {
  if (!config || g.applied) return OM_OS_NOK;
  g.applied = 1;
  const om_os_config& c = *config;
  g.cfg = c;
  g.trace_mask.store(c.trace_mask);
  if (c.reserved[1] == 0) g.cfg.reserved[0] = 0;
  if (pools_apply(c) != OM_OS_OK) return OM_OS_NOK;
  if (timers_apply(c) != OM_OS_OK) return OM_OS_NOK;
  if (tmp_blocks_apply(c) != OM_OS_OK) return OM_OS_NOK;
  u8 slots = static_cast<u8>(c.task_slots);
  if (slots == 0 || slots > MAX_TASK_RECORDS) {
    om_os_trap(OM_OS_TRAP_TASK_SLOT);
    return OM_OS_NOK;
  }
  {
    plat_cs_hold hold(cs_init);
    g.task_count = slots;
    for (u32 i = 0; i < slots; ++i) g.tasks[i] = task_rec{};
  }
  for (auto& e : g.ent) reset_entity(e);
  g.max_nai = c.max_nai;
  g.congestion.store(0);
  g.want_busy_any = g.want_clr_any = 0;
  trace_reset();
  rand_seed_from_clock();
  om_os_perf_init();
  g.state.store(OM_OS_STATE_RUNNING);
  return OM_OS_OK;
}

u32 om_os_get_config(om_os_config* out) {
  if (!out) return sizeof(om_os_config);
  *out = g.cfg;
  out->trace_records = static_cast<u16>(OM_OS_TRACE_RECORDS);
  out->timer_unit = Timer_get_unit();
  out->trace_mask = g.trace_mask.load();
  return sizeof(om_os_config);
}

// ---------------------------------------------------------------------------
// Start and stop.

void om_os_set_entity_table(const entity_table_row_t* table) { program_table = table; }

void om_os_sm_task() { om_os_task_loop(1, 0, active_table); }

void om_os_start() { om_os_start_with(om_os_start_options{}); }

void om_os_start_with(const om_os_start_options& opt) {
  if (g.state.load() == OM_OS_STATE_RUNNING) return;  // no second start while running
  g.started.store(0);
  active_options = opt;
  active_table = opt.table ? opt.table : program_table;
  sm_in_caller = !opt.sm_thread;
  tl_task = 255;

  om_os_config copy = om_os_default_config;
  copy.task_slots = 2;
  clear_state();

  om_os_config_hook_t hook = config_hook;
  u8 r = hook ? hook(&copy) : om_os_config_apply(&copy);
  if (r != OM_OS_OK) {
    om_os_trap(OM_OS_TRAP_CONFIG);
    return;
  }
  static const u16 it_marks[10] = {40, 50, 60, 40, 50, 60, 10, 20, 10, 20};
  if (om_os_it_pool_init(it_marks) != OM_OS_OK) {
    om_os_trap(OM_OS_TRAP_IT_POOL);
    return;
  }
  om_os_get_config(&copy);

  u32 entity_tasks = 0;
  for (const task_row& row : ENTITY_TASKS) {
    int err = create_task(row, opt.sm_thread);
    if (err) {
      om_os_trap(static_cast<u16>(1000 + 10 * err + 5));
      return;
    }
    if (row.fn && opt.sm_thread) ++entity_tasks;
  }
  for (const task_row& row : SERVICE_TASKS) {
    bool want = (row.fn == timer_task_fn) ? opt.timer_thread : opt.bkgr_thread;
    int err = create_task(row, want);
    if (err) {
      om_os_trap(static_cast<u16>(1000 + 10 * err + 5));
      return;
    }
  }

  if (!opt.sm_thread) {
    // The caller's thread is the SM task.
    if (om_os_register_entities(0, active_table) != OM_OS_OK) return;
  } else {
    // Wait (bounded) until the SM thread has registered the table and run
    // every init routine.
    u32 waited = 0;
    while (started_tasks() < entity_tasks) {
      if (g.state.load() == OM_OS_STATE_STOPPING) return;
      if (waited >= opt.wait_limit_ms) {
        om_os_trap(1000 + 10 * 3 + 5);
        return;
      }
      plat_sleep_ms(1);
      ++waited;
    }
  }

  (void)Send_new_msg({ENT_NIL, ENT_SM, 0});
  g.started.store(1);
}

u8 om_os_stop() {
  if (g.state.load() == OM_OS_STATE_INIT && !g.applied) return OM_OS_OK;
  // 1. Stopping: every entity unregistered, new sends dropped.
  {
    plat_cs_hold hold(cs_init);
    g.state.store(OM_OS_STATE_STOPPING);
    for (auto& e : g.ent) {
      if (e.task != OM_OS_NO_TASK) e.kept_task = e.task;
      e.task = OM_OS_NO_TASK;
    }
  }

  // 2. A stop message into the external queue of every started task that
  //    runs in a thread of the runtime; 3. the others (tasks bound to a
  //    caller's thread) run their stop procedure here.
  //    A task that already saw the state may be running its stop procedure
  //    meanwhile, which clears its started flag: read it under INIT.
  for (u32 i = 0; i < g.task_count; ++i) {
    u16 task_id{};
    bool started = false;
    {
      plat_cs_hold hold(cs_init);
      task_id = g.tasks[i].task_id;
      started = g.tasks[i].started != 0;
    }
    if (task_id == OM_OS_FREE_TASK_ID || !started) continue;
    const bool own_thread = task_id == 0 && !sm_in_caller && threads[ENTITY_TASKS[0].slot] != nullptr;
    if (!own_thread) {
      run_stop_procedure(static_cast<u8>(i));
      continue;
    }
    msg_t* m = Alloc_msg();
    if (!m) {
      g.xq[task_id].ev.set();  // the task sees the state on waking
      continue;
    }
    m->from = ENT_NIL;
    m->to = ENT_NIL;
    m->nai = OM_OS_NAI_NONE;
    m->sapi = OM_OS_SAPI_NONE;
    m->conn_id = OM_OS_CONN_NONE;
    Post_msg(task_id, m);
  }
  bkgr_wake.set();
  timers_wake();

  // 4. Wait, bounded, for every task to stop.
  u32 waited = 0;
  bool all_stopped = true;
  while (started_tasks() != 0) {
    if (waited >= active_options.wait_limit_ms) {
      all_stopped = false;
      break;
    }
    plat_sleep_ms(1);
    ++waited;
  }

  // 5. End the threads.  The timer and background threads end on the state.
  for (u32 s = 0; s < THREAD_SLOTS; ++s) {
    if (!threads[s]) continue;
    if (all_stopped) plat_thread_join(threads[s]);
    else plat_thread_detach(threads[s]);
    threads[s] = nullptr;
  }
  tl_task = 255;
  if (!all_stopped) return OM_OS_NOK;  // a task still runs: its memory stays

  // 6. Close the external queues.
  for (auto& x : g.xq) {
    x.head = x.tail = nullptr;
    x.created = false;
    x.ev.reset();
  }
  // 7. Free everything left in the runtime heap.
  for (u32 i = 0; i < g.task_count; ++i) g.tasks[i].int_head = g.tasks[i].int_tail = nullptr;
  pools_reset();
  timers_reset();
  mem_free_all();
  g.started.store(0);
  return OM_OS_OK;
}

u8 om_os_state() { return g.state.load(); }
u8 om_os_started() { return g.started.load(); }

// ---------------------------------------------------------------------------
// Hooks.

void om_os_set_config_hook(om_os_config_hook_t hook) { config_hook = hook; }
void om_os_set_trap_handler(om_os_trap_handler_t handler) { trap_handler = handler; }
void om_os_set_bkgr_tick(om_os_bkgr_tick_t tick) { bkgr_tick.store(tick); }

// ---------------------------------------------------------------------------
// Clock.

void om_os_set_tick_source(om_os_tick_source_t source) { tick_source.store(source); }

bool om_os_rt::tick_is_system_clock() { return tick_source.load() == nullptr; }

void om_os_rt::background_beat() { bkgr_wake.set(); }

u32 om_os_tick() {
  om_os_tick_source_t s = tick_source.load();
  return s ? s() : plat_tick_ms();
}

void om_os_sleep(u32 n) { plat_sleep_ms(n); }

void om_os_perf_init() {
  perf_per_ms = plat_perf_frequency() / 1000u;
  perf_per_us = plat_perf_frequency() / 1000000u;
}

// ---------------------------------------------------------------------------
// Locks.

void om_os_lock() { pool_lock.enter(); }
void om_os_unlock() { pool_lock.leave(); }

static plat_cs* indexed_cs(u8 index) {
  switch (index) {
    case OM_OS_CS_INIT: return &cs_init;
    case OM_OS_CS_CACH: return &cs_cach;
    case OM_OS_CS_TIMR: return &cs_timr;
    default: return nullptr;
  }
}
void om_os_enter(u8 index) {
  if (plat_cs* cs = indexed_cs(index)) cs->enter();
}
void om_os_leave(u8 index) {
  if (plat_cs* cs = indexed_cs(index)) cs->leave();
}

// ---------------------------------------------------------------------------
// Traps.

u16 om_os_trap(u16 code) {
  u8 state = g.state.load();
  if (state == OM_OS_STATE_STOPPING) return 0;
  if (state == OM_OS_STATE_RUNNING) {
    alignas(msg_t) u8 storage[sizeof(msg_t) + 64] = {};
    auto* m = reinterpret_cast<msg_t*>(storage);
    Msg_set_route(m, ENT_NIL, ENT_NIL, 0);
    m->p_buffer = nullptr;
    m->data_offset = MSG_HEADER_SIZE;
    m->data_size = 40;
    Msg_inline_data(m)[0] = static_cast<u8>(code);
    Msg_inline_data(m)[1] = static_cast<u8>(code >> 8);
    om_os_trace_record('T', m);
  }
  om_os_trap_handler_t h = trap_handler;
  if (h) h(code, "");
  return 0;
}
