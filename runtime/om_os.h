// Runtime configuration, tasks, start and stop, locks, traps and the message
// trace ring.
#pragma once
#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/types.h"

// ---------------------------------------------------------------------------
// Configuration record.
struct om_os_config {
  u32 reserved[2];
  u8 msg_size;  // bytes per message record; inline room = size - 36
  u16 msg_limit;
  u16 msg_cache_limit;
  u16 msg_congestion_on;   // congested when at most this many are left
  u16 msg_congestion_off;  // clear again when at least this many are left
  u16 trace_records;       // not applied: the ring always holds 50000 records
  u16 buffer_size;         // bytes per buffer; data room = size - 12
  u16 buffer_limit;
  u16 buffer_cache_limit;
  u16 buffer_congestion_on;
  u16 buffer_congestion_off;
  u16 timer_limit;
  u16 timer_cache_limit;
  u16 timer_unit;  // not applied: the unit is always 1 ms
  u16 tick;        // ms per timing-wheel slot
  u16 wheel_slots;
  u16 task_slots;  // read as a byte
  u16 max_nai;
  u32 trace_mask;
  u32 tmp_blocks[4];  // temporary block sizes, ended by 0
};

// The configuration as shipped.
extern const om_os_config om_os_default_config;

// Byte image of the configuration record (reports, SM_INFO_RS): the fields in
// order, packed, little-endian.
inline constexpr u32 OM_OS_CONFIG_RECORD_SIZE = 63;
void om_os_config_pack(const om_os_config& c, u8 out[OM_OS_CONFIG_RECORD_SIZE]);

// Applies a configuration (first call after om_os_start only). 2 or 3.
[[nodiscard]] u8 om_os_config_apply(const om_os_config* config);
// Fills out with the values in force; returns the record's size.
u32 om_os_get_config(om_os_config* out);

// ---------------------------------------------------------------------------
// Start and stop.

// Runtime state word.
inline constexpr u8 OM_OS_STATE_INIT = 0;
inline constexpr u8 OM_OS_STATE_RUNNING = 1;
inline constexpr u8 OM_OS_STATE_STOPPING = 2;
u8 om_os_state();
u8 om_os_started();  // 1 once om_os_start has sent the start message

struct om_os_start_options {
  // Entity table that the SM task registers (null: the one given to
  // om_os_set_entity_table).
  const entity_table_row_t* table = nullptr;
  // false: no SM thread; the calling thread becomes the SM task (the table is
  // registered in it during om_os_start) and drives it with om_os_run_ready.
  bool sm_thread = true;
  // false: no TIMR thread; the wheel turns only through om_os_timer_poll.
  bool timer_thread = true;
  bool bkgr_thread = true;
  // Longest wait for the SM task to register, and for tasks to stop.
  u32 wait_limit_ms = 10000;
};

void om_os_set_entity_table(const entity_table_row_t* table);
// Thread function of the SM task: registers the entity table as task 0 and
// serves its messages until the runtime stops.
void om_os_sm_task();
void om_os_start();
void om_os_start_with(const om_os_start_options& options);
// Stops every task, ends the runtime's threads and frees all its memory.
// 2, or 3 when a task did not stop within the wait limit (its resources are
// then left alone).
u8 om_os_stop();

// ---------------------------------------------------------------------------
// Program hooks.  Each may be null (defaults noted).

// Applies the runtime configuration at start (default: om_os_config_apply).
typedef u8 (*om_os_config_hook_t)(const om_os_config*);
// Called on every trap with the code and an empty text.
typedef void (*om_os_trap_handler_t)(u16 code, const char* text);
// Message audit: called wherever a trace record is written, with its letter.
typedef void (*om_os_audit_hook_t)(u8 letter, const msg_t* m);
// Background tick, called every 100 ms in the BKGR thread.
typedef void (*om_os_bkgr_tick_t)();

void om_os_set_config_hook(om_os_config_hook_t hook);
void om_os_set_trap_handler(om_os_trap_handler_t handler);
void om_os_set_audit_hook(om_os_audit_hook_t hook);
void om_os_set_bkgr_tick(om_os_bkgr_tick_t tick);

// ---------------------------------------------------------------------------
// Clock.  The runtime reads the tick count (ms, wrapping u32) through a
// replaceable source so that tests can drive time; null restores the system
// clock.
typedef u32 (*om_os_tick_source_t)();
void om_os_set_tick_source(om_os_tick_source_t source);
u32 om_os_tick();
void om_os_sleep(u32 n);  // n timer units (ms) of real time
void om_os_perf_init();

// ---------------------------------------------------------------------------
// Locks.  The pool lock guards congestion flags, link counts, the
// interrupt-side pools, temporary blocks, the heap list and the trace ring;
// call no runtime service while holding it.
void om_os_lock();
void om_os_unlock();
inline constexpr u8 OM_OS_CS_INIT = 0;
inline constexpr u8 OM_OS_CS_CACH = 1;
inline constexpr u8 OM_OS_CS_TIMR = 2;
void om_os_enter(u8 index);
void om_os_leave(u8 index);

// Scoped holder of the pool lock.
class om_os_lock_hold {
 public:
  om_os_lock_hold() { om_os_lock(); }
  ~om_os_lock_hold() { om_os_unlock(); }
  om_os_lock_hold(const om_os_lock_hold&) = delete;
  om_os_lock_hold& operator=(const om_os_lock_hold&) = delete;
};

// Scoped holder of one of the indexed critical sections (OM_OS_CS_*).
class om_os_cs_hold {
 public:
  explicit om_os_cs_hold(u8 index) : index_(index) { om_os_enter(index_); }
  ~om_os_cs_hold() { om_os_leave(index_); }
  om_os_cs_hold(const om_os_cs_hold&) = delete;
  om_os_cs_hold& operator=(const om_os_cs_hold&) = delete;

 private:
  u8 index_;
};

// ---------------------------------------------------------------------------
// Traps.
u16 om_os_trap(u16 code);

enum : u16 {
  OM_OS_TRAP_NO_HANDLER = 7,
  OM_OS_TRAP_BUFFER_POOL = 8,
  OM_OS_TRAP_MSG_POOL = 9,
  OM_OS_TRAP_MSG_FREE = 16,
  OM_OS_TRAP_BUFFER_FREE = 17,
  OM_OS_TRAP_TIMER_FREE = 18,
  OM_OS_TRAP_CONGESTION_CFG = 26,
  OM_OS_TRAP_WHEEL = 29,
  OM_OS_TRAP_TASK_SLOT = 32,
  OM_OS_TRAP_ENTITY_ID = 33,
  OM_OS_TRAP_ENTITY_TWICE = 34,
  OM_OS_TRAP_UNREGISTERED = 35,
  OM_OS_TRAP_MSG_SIZE = 36,
  OM_OS_TRAP_TMP_BLOCKS = 38,
  OM_OS_TRAP_SYSTEM = 1000,  // + system error
  OM_OS_TRAP_CONFIG = 1003,
  OM_OS_TRAP_IT_POOL = 1004,
  OM_OS_TRAP_WAIT = 1501,
};

// ---------------------------------------------------------------------------
// Message trace ring.
inline constexpr u32 OM_OS_TRACE_RECORDS = 50000;
inline constexpr u32 OM_OS_TRACE_RECORD_SIZE = 320;
inline constexpr u32 OM_OS_TRACE_DATA_MAX = 272;

enum : u32 {
  OM_OS_TRACE_SEND = 0x100,
  OM_OS_TRACE_RECEIVE = 0x200,
  OM_OS_TRACE_MSG_POOL = 0x400,
  OM_OS_TRACE_BUFFER_POOL = 0x800,
  OM_OS_TRACE_IT_MSG = 0x1000,
  OM_OS_TRACE_IT_BUFFER = 0x2000,
  OM_OS_TRACE_TIMER = 0x4000,
};

void om_os_set_trace_mask(u32 v);  // 0: all but the pool and timer bits; 1: 0x300
u32 om_os_get_trace_mask();

// Writes one record for a message (sends, receives, traps, automaton 'X').
void om_os_trace_record(u8 letter, const msg_t* m);

// The ring as it stands (OM_OS_TRACE_RECORDS records of 320 bytes), and the
// index of the record that will be written next.
const u8* om_os_trace_ring();
u32 om_os_trace_next_index();
