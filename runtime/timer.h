// Timers on the runtime's timing wheel.
//
// A timer cell belongs to one entity for one (nai, sapi, conn_id).  When a
// started cell expires, a TI_EXPIRY_IN message from ENT_TI reaches the cell's
// entity with the cell's nai, sapi and conn_id, the code given to Timer_start
// as primitive code, and the timer id as the first inline data word (u16,
// data_size 10).  An expiry already queued is still delivered after the cell
// is stopped or restarted: owners pass a fresh id (a sequence number) at each
// start and accept an expiry only when its id is the current one.
#pragma once
#include "runtime/types.h"

struct timer_cell_t;  // opaque

inline constexpr u8 TI_EXPIRY_DATA_SIZE = 10;
inline constexpr u16 TI_SLOT_NOT_RUNNING = 32767;

[[nodiscard]] timer_cell_t* Timer_alloc(ent_id_t entity, nai_t nai, u8 sapi, u16 conn_id);
void Timer_start(timer_cell_t* cell, u32 duration, u16 timer_id, code_t code);
void Timer_stop(timer_cell_t* cell);
void Timer_free(timer_cell_t* cell);
u16 Timer_get_unit();  // 1 (ms per unit)

// Whether a cell is running (for owners and tests).
bool Timer_is_running(const timer_cell_t* cell);

// Timer id carried by an expiry message.
struct msg_t;
u16 Timer_expiry_id(const msg_t* m);

// Turns the wheel in the calling thread until it has caught up with the tick
// count, as the TIMR thread does; returns the number of turns.  For runtimes
// started without a timer thread.
u32 om_os_timer_poll();

// Cell pool counters.
struct om_os_timer_stats {
  u16 limit, in_use, high_water, cache_count;
};
om_os_timer_stats om_os_timer_pool_stats();

// The TIMR thread's function.
void om_os_timer_task();
