// State shared by the runtime's own modules.  Not for other folders.
#pragma once
#include <atomic>

#include "platform/event.h"
#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"

namespace om_os_rt {

// A value with one writer at a time (the holder of its lock, or the thread
// that owns it) that other threads also read without that lock, for a
// snapshot that may be slightly stale: the counters of a trace record, the
// entity a task is running.  Relaxed loads and stores make those reads
// defined at the cost of plain ones; an increment is a load and a store, not
// a read-modify-write, because writers never overlap.
template <class T>
class relaxed_value {
 public:
  relaxed_value(T v = T{}) : v_(v) {}
  relaxed_value(const relaxed_value& o) : v_(o.load()) {}
  relaxed_value& operator=(const relaxed_value& o) {
    store(o.load());
    return *this;
  }
  relaxed_value& operator=(T v) {
    store(v);
    return *this;
  }
  operator T() const { return load(); }
  relaxed_value& operator++() {
    store(static_cast<T>(load() + 1));
    return *this;
  }
  relaxed_value& operator--() {
    store(static_cast<T>(load() - 1));
    return *this;
  }
  T load() const { return v_.load(std::memory_order_relaxed); }
  void store(T v) { v_.store(v, std::memory_order_relaxed); }

 private:
  std::atomic<T> v_;
};

struct pool_state {
  u16 limit = 0;
  relaxed_value<u16> in_use = 0;  // under CACH
  u16 high_water = 0, cache_limit = 0, cache_count = 0;
  void* cache_head = nullptr;
  u16 cong_on = 0, cong_off = 0;
  u8 congested = 0;
  relaxed_value<u16> episodes = 0;  // under the pool lock
};

struct it_pool_state {
  void* head = nullptr;
  relaxed_value<u16> count = 0;  // under the pool lock
  u16 lowest = 65535;
  u8 congested = 0;
  relaxed_value<u16> episodes = 0;  // under the pool lock
  u16 low = 0, normal = 0, high = 0, cong_on = 0, cong_off = 0;
};

struct task_rec {
  u16 task_id = OM_OS_FREE_TASK_ID;
  msg_t* int_head = nullptr;
  msg_t* int_tail = nullptr;
  relaxed_value<u8> current = ENT_NIL;  // written by the task's own thread
  u8 started = 0;
  u8 saved = 255;
};

struct xqueue {
  msg_t* head = nullptr;
  msg_t* tail = nullptr;
  plat_cs cs;
  plat_event ev;
  bool created = false;
};

struct entity_rec {
  std::atomic<u8> task{OM_OS_NO_TASK};  // read by senders of every thread
  u8 kept_task = OM_OS_NO_TASK;
  om_os_handler_t handler = nullptr;
  u8 wants_clr_busy = 0, wants_busy = 0, long_config = 0;
  om_os_stop_routine_t stop = nullptr;
};

inline constexpr u32 XQUEUE_SLOTS = 12;
inline constexpr u32 THREAD_SLOTS = 15;
inline constexpr u32 MAX_TASK_RECORDS = 255;

struct runtime {
  std::atomic<u8> state{0};
  std::atomic<u8> started{0};
  u8 applied = 0;
  om_os_config cfg{};
  u8 msg_size = 100;
  u16 buffer_size = 1612;
  u16 max_nai = 63;
  pool_state msgs, bufs;
  it_pool_state it_msgs, it_bufs;
  std::atomic<u8> congestion{0};
  // Set under INIT when a task registers its entities (in its own thread),
  // read under the pool lock by any thread that raises or clears congestion.
  std::atomic<u8> want_busy_any{0}, want_clr_any{0};
  task_rec tasks[MAX_TASK_RECORDS];
  u8 task_count = 0;  // records in use (configuration's task slots)
  xqueue xq[XQUEUE_SLOTS];
  entity_rec ent[OM_OS_ENT_COUNT];
  std::atomic<u8> running_task{255};
  u16 started_tasks = 0;
  std::atomic<u32> trace_mask{0x300};
};

extern runtime g;
extern plat_cs cs_init, cs_cach, cs_timr, pool_lock;

inline void reset_entity(entity_rec& e) {
  e.task = OM_OS_NO_TASK;
  e.kept_task = OM_OS_NO_TASK;
  e.handler = nullptr;
  e.wants_clr_busy = e.wants_busy = e.long_config = 0;
  e.stop = nullptr;
}

inline entity_rec* entity_of(u32 id) {
  if (id < OM_OS_ENT_FIRST || id > OM_OS_ENT_LAST) return nullptr;
  return &g.ent[id - OM_OS_ENT_FIRST];
}

// Task slot of the calling thread (255 when it is not a task's thread).
extern thread_local u8 tl_task;

// Pools.
void pools_reset();
[[nodiscard]] u8 pools_apply(const om_os_config& c);
void send_congestion_notice(code_t code, bool from_it_side);

// Trace ring.
void trace_reset();
void trace_pool_op(u8 letter, const msg_t* m, const buffer_t* b);
struct timer_trace_info {
  const void* cell;
  ent_id_t entity;
  nai_t nai;
  u8 sapi;
  u16 conn_id;
  code_t code;
};
void trace_timer_op(u8 letter, const timer_trace_info& t);
void audit(u8 letter, const msg_t* m);

// Timers.
[[nodiscard]] u8 timers_apply(const om_os_config& c);
void timers_reset();
void timers_stats(u16* in_use);
// Wakes the TIMR thread from its wait (the runtime is stopping).
void timers_wake();
// The background task's beat: BKGR_BEAT_MS between two calls of its tick.
// While the TIMR thread turns the wheel on the system clock it gives the beat
// (true here), at a turn of the wheel; otherwise the background thread keeps
// its own time.
inline constexpr u32 BKGR_BEAT_MS = 100;
bool timers_give_background_beat();
// Called by the TIMR thread at each beat (wakes the background thread).
void background_beat();
// True when the tick count comes from the system clock (no test source).
bool tick_is_system_clock();

// Heap and temporary blocks.
void mem_reset();
void mem_free_all();
[[nodiscard]] u8 tmp_blocks_apply(const om_os_config& c);

// Stop procedure of a task that runs in the caller's thread.
void run_stop_procedure(u8 index);

// Random generator seeding.
void rand_seed_from_clock();

}  // namespace om_os_rt
