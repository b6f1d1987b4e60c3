// Timer cells, their pool, the timing wheel and the TIMR thread.
#include "runtime/timer.h"

#include <atomic>
#include <cstring>
#include <vector>

#include "common/byte_order.h"
#include "platform/event.h"
#include "runtime/mem.h"
#include "runtime/msg.h"
#include "runtime/om_os_internal.h"

using namespace om_os_rt;

struct timer_cell_t {
  timer_cell_t* next;
  timer_cell_t* prev;
  u32 expiry;  // absolute tick count (ms) at which the timer is due
  u16 slot;    // wheel slot, TI_SLOT_NOT_RUNNING when not running
  u8 mode;
  u8 in_use;
  nai_t nai;
  u8 sapi;
  code_t code;
  u16 conn_id;
  u16 timer_id;
  ent_id_t entity;
};

namespace {

// Longest duration taken as it is; longer ones are cut to it so that the
// wrapping tick arithmetic stays sound.
constexpr u32 MAX_DURATION_MS = 0x3FFFFFFFu;

struct wheel_state {
  timer_cell_t** slots = nullptr;
  u16 n_slots = 0;
  u16 current = 0;
  u16 tick = 10;
  u32 time = 0;  // wheel time in ms
  // Cell pool (under CACH).
  u16 limit = 0;
  relaxed_value<u16> in_use = 0;  // also read without CACH by trace records
  u16 high_water = 0, cache_limit = 0, cache_count = 0;
  timer_cell_t* cache = nullptr;
  // The TIMR thread's wait over turns whose slots are empty (under TIMR):
  // while it waits, the turns from the current slot up to its wake-up.
  bool waiting = false;
  u16 wake_turns = 0;
};
wheel_state w;

// Set when a timer is started into a slot whose turn comes before the TIMR
// thread's planned wake-up, and when the runtime stops.
plat_event timer_wake;

// Set while the TIMR thread gives the background task its beat.
std::atomic<bool> beat_given{false};

// The expiry message of a due cell: its header (from ENT_TI) and timer id.
struct expiry_info {
  msg_head head;
  u16 timer_id;
};

timer_trace_info info_of(const timer_cell_t* c) {
  return timer_trace_info{c, c->entity, c->nai, c->sapi, c->conn_id, c->code};
}

void trace_timer(u8 letter, const timer_cell_t* c) {
  if (g.trace_mask.load() & OM_OS_TRACE_TIMER) trace_timer_op(letter, info_of(c));
}

// Under TIMR.
void unlink_cell(timer_cell_t* c) {
  if (c->slot == TI_SLOT_NOT_RUNNING) return;
  if (c->prev) c->prev->next = c->next;
  else if (c->slot < w.n_slots && w.slots[c->slot] == c) w.slots[c->slot] = c->next;
  if (c->next) c->next->prev = c->prev;
  c->next = c->prev = nullptr;
  c->slot = TI_SLOT_NOT_RUNNING;
}

void link_cell(timer_cell_t* c, u16 slot) {
  c->slot = slot;
  c->prev = nullptr;
  c->next = w.slots[slot];
  if (c->next) c->next->prev = c;
  w.slots[slot] = c;
}

// Slots ahead for a cell due at `expiry`, long timers placed slightly early.
i32 slots_ahead(u32 expiry) {
  i32 d = static_cast<i32>(expiry - w.time) / static_cast<i32>(w.tick);
  if (d > 4) d -= d / 20;
  return d;
}

// One turn of the wheel.  Due cells are collected under TIMR and their
// expiry messages built and sent after TIMR is left.
void turn(std::vector<expiry_info>& due) {
  due.clear();
  timer_cell_t* c = nullptr;
  {
    plat_cs_hold hold(cs_timr);
    if (!w.slots || w.n_slots == 0) return;
    w.time += w.tick;
    w.current = static_cast<u16>((w.current + 1) % w.n_slots);
    c = w.slots[w.current];
    while (c) {
      timer_cell_t* next = c->next;
      if (static_cast<i32>(c->expiry - (w.time + w.tick)) >= 0) {
        i32 d = slots_ahead(c->expiry);
        if (d > 0 && d < w.n_slots) {
          unlink_cell(c);
          link_cell(c, static_cast<u16>((w.current + d) % w.n_slots));
        }
      } else {
        unlink_cell(c);
        due.push_back(expiry_info{{ENT_TI, c->entity, c->code, c->nai, c->sapi, c->conn_id}, c->timer_id});
      }
      c = next;
    }
  }
  for (const expiry_info& e : due) {
    msg_t* m = Alloc_msg(e.head);
    if (!m) continue;  // trap 9 already raised
    m->data_size = TI_EXPIRY_DATA_SIZE;
    u8* d = Msg_inline_data(m);
    std::memset(d, 0, TI_EXPIRY_DATA_SIZE);
    put_le16(d, e.timer_id);
    Send_msg(m);
  }
}

bool behind() { return static_cast<i32>(om_os_tick() - (w.time + w.tick)) >= 0; }

// Under TIMR.  Turns from the current slot to the next slot that holds a
// cell: 1 to the number of slots (a full turn of the wheel when only the
// current slot holds cells, or none does).
u16 turns_to_next_cells() {
  for (u16 k = 1; k < w.n_slots; ++k) {
    if (w.slots[(w.current + k) % w.n_slots]) return k;
  }
  return w.n_slots;
}

// The TIMR thread's wait until its next turn.  A turn over an empty slot
// does nothing, so with the system clock the thread sleeps over the turns up
// to the next slot that holds a cell, and turns the wheel from there on
// until it has caught up with the clock, as after any hold-up: cells expire
// in the same turns and the same order as with a turn every tick, and no
// turn runs before the clock has reached its wheel time, so a cell fires at
// most a tick before its expiry.  A timer started meanwhile into a slot that
// comes sooner wakes it.
//
// The background beat due at wheel time `beat_due` is given at the first
// turn at or after it that the thread runs anyway, when one comes within
// half a beat; otherwise the thread wakes for the beat itself.  The next beat
// is due a beat after the turn that gave it, so that beats keep riding on the
// turns of a periodic timer once they have met one.
void wait_for_work(u32 beat_due) {
  u32 wait = 0;
  {
    plat_cs_hold hold(cs_timr);
    if (!w.slots || w.n_slots == 0) {
      wait = w.tick;
    } else {
      u16 turns = turns_to_next_cells();
      const i32 to_beat = static_cast<i32>(beat_due - w.time);
      const i32 beat_turns = to_beat <= 0 ? 1 : (to_beat + w.tick - 1) / w.tick;
      if (turns > beat_turns + static_cast<i32>(BKGR_BEAT_MS / 2 / w.tick)) turns = static_cast<u16>(beat_turns);
      // The turn that reaches that slot runs once the clock has reached its
      // wheel time.
      const i32 until = static_cast<i32>(w.time + static_cast<u32>(turns) * w.tick - om_os_tick());
      if (until <= 0) return;
      wait = static_cast<u32>(until);
      w.waiting = true;
      w.wake_turns = turns;
    }
  }
  (void)timer_wake.wait_for(wait);
  plat_cs_hold hold(cs_timr);
  w.waiting = false;
}

}  // namespace

// ---------------------------------------------------------------------------

u8 om_os_rt::timers_apply(const om_os_config& c) {
  w = wheel_state{};
  w.tick = c.tick ? c.tick : 1;
  w.time = om_os_tick();
  w.limit = c.timer_limit;
  w.cache_limit = c.timer_cache_limit;
  w.n_slots = c.wheel_slots;
  if (w.n_slots == 0) {
    om_os_trap(OM_OS_TRAP_WHEEL);
    return OM_OS_NOK;
  }
  // The wheel is an array of cell pointers, one per slot.
  w.slots = static_cast<timer_cell_t**>(
      om_os_mem_alloc(static_cast<u32>(sizeof(timer_cell_t*)) * w.n_slots,  // NOLINT(bugprone-sizeof-expression)
                      OM_OS_MEM_LONG_TERM));
  if (!w.slots) {
    om_os_trap(OM_OS_TRAP_WHEEL);
    return OM_OS_NOK;
  }
  return OM_OS_OK;
}

void om_os_rt::timers_reset() {
  plat_cs_hold hold(cs_timr);
  w = wheel_state{};
}

void om_os_rt::timers_stats(u16* in_use) { *in_use = w.in_use; }

om_os_timer_stats om_os_timer_pool_stats() {
  plat_cs_hold hold(cs_cach);
  return om_os_timer_stats{w.limit, w.in_use, w.high_water, w.cache_count};
}

timer_cell_t* Timer_alloc(ent_id_t entity, nai_t nai, u8 sapi, u16 conn_id) {
  timer_cell_t* c = nullptr;
  {
    plat_cs_hold hold(cs_cach);
    u16 n = static_cast<u16>(w.in_use + 1);
    if (n == 0 || n > w.limit) return nullptr;
    w.in_use = n;
    if (n > w.high_water) w.high_water = n;
    if (w.cache_count) {
      c = w.cache;
      w.cache = c->next;
      --w.cache_count;
    }
  }
  if (!c) {
    c = static_cast<timer_cell_t*>(om_os_mem_alloc(sizeof(timer_cell_t), OM_OS_MEM_TIMER));
    if (!c) {
      {
        plat_cs_hold hold(cs_cach);
        --w.in_use;
      }
      return nullptr;
    }
  }
  *c = timer_cell_t{};
  c->slot = TI_SLOT_NOT_RUNNING;
  c->in_use = 1;
  c->entity = entity;
  c->nai = nai;
  c->sapi = sapi;
  c->conn_id = conn_id;
  trace_timer('@', c);
  return c;
}

void Timer_start(timer_cell_t* c, u32 duration, u16 timer_id, code_t code) {
  if (!c || !c->in_use) return;
  if (duration > MAX_DURATION_MS) duration = MAX_DURATION_MS;
  u16 slot{};
  bool wake = false;
  {
    plat_cs_hold hold(cs_timr);
    if (!w.slots) return;
    unlink_cell(c);
    c->mode = 0;
    c->timer_id = timer_id;
    c->code = code;
    c->expiry = om_os_tick() + duration / Timer_get_unit();
    i32 d = slots_ahead(c->expiry);
    if (d < 2) d = 2;
    slot = d < w.n_slots ? static_cast<u16>((w.current + d) % w.n_slots) : w.current;
    link_cell(c, slot);
    // Turns until this slot comes up (the current slot: a full turn).
    u16 turns = static_cast<u16>((slot + w.n_slots - w.current) % w.n_slots);
    if (turns == 0) turns = w.n_slots;
    wake = w.waiting && turns < w.wake_turns;
    if (wake) w.waiting = false;
  }
  if (wake) timer_wake.set();
  trace_timer('<', c);
}

void Timer_stop(timer_cell_t* c) {
  if (!c || !c->in_use) return;
  trace_timer('>', c);
  plat_cs_hold hold(cs_timr);
  unlink_cell(c);
}

void Timer_free(timer_cell_t* c) {
  if (!c) return;
  if (!c->in_use) {  // freed twice
    om_os_trap(OM_OS_TRAP_TIMER_FREE);
    return;
  }
  {
    plat_cs_hold hold(cs_timr);
    unlink_cell(c);
  }
  trace_timer('-', c);
  bool counted = false, to_heap = false;
  {
    plat_cs_hold hold(cs_cach);
    counted = w.in_use != 0;
    if (counted) {
      --w.in_use;
      c->in_use = 0;
      if (w.cache_count >= w.cache_limit) {
        to_heap = true;
      } else {
        c->next = w.cache;
        w.cache = c;
        ++w.cache_count;
      }
    }
  }
  if (!counted) {
    om_os_trap(OM_OS_TRAP_TIMER_FREE);
    return;
  }
  if (to_heap) om_os_mem_free(c, OM_OS_MEM_TIMER);
}

u16 Timer_get_unit() { return 1; }

// The TIMR thread takes a due cell off the wheel at any time: the slot is
// read under TIMR like every change of it.
bool Timer_is_running(const timer_cell_t* c) {
  if (!c || !c->in_use) return false;
  plat_cs_hold hold(cs_timr);
  const bool running = c->slot != TI_SLOT_NOT_RUNNING;
  return running;
}

u16 Timer_expiry_id(const msg_t* m) { return get_le16(Msg_data(m)); }

u32 om_os_timer_poll() {
  std::vector<expiry_info> due;
  u32 turns = 0;
  while (g.state.load() == OM_OS_STATE_RUNNING && behind()) {
    turn(due);
    ++turns;
  }
  return turns;
}

void om_os_timer_task() {
  std::vector<expiry_info> due;
  due.reserve(64);
  while (g.state.load() == OM_OS_STATE_INIT) om_os_sleep(w.tick ? w.tick : 10);
  u32 beat_due = 0;
  while (g.state.load() == OM_OS_STATE_RUNNING) {
    if (!om_os_rt::tick_is_system_clock()) {
      // A test's clock may jump: the wheel turns every tick, and the
      // background thread keeps its own time.
      beat_given.store(false);
      turn(due);
      if (!behind()) om_os_sleep(w.tick);
      continue;
    }
    if (!beat_given.load()) {
      beat_due = w.time + BKGR_BEAT_MS;
      beat_given.store(true);
    }
    // A turn runs once the clock has reached its wheel time; a wake-up
    // before that (a timer started into a slot that comes sooner, a stale
    // wake signal) only plans the wait again.
    if (behind()) {
      turn(due);
      continue;
    }
    // Caught up with the clock: the background beat, when due.
    if (static_cast<i32>(w.time - beat_due) >= 0) {
      beat_due = w.time + BKGR_BEAT_MS;
      om_os_rt::background_beat();
    }
    wait_for_work(beat_due);
  }
  beat_given.store(false);
}

bool om_os_rt::timers_give_background_beat() { return beat_given.load(); }

void om_os_rt::timers_wake() { timer_wake.set(); }
