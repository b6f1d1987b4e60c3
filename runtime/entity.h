// Entities, the entity table, task queues, sending and dispatch.
//
// Every protocol layer is an entity: a one-byte id, a message handler and an
// optional init routine, listed in an entity table that the SM task registers
// in table order.  Entities never call each other: they exchange messages with
// Send_msg.  A send made in the destination task's own thread goes to that
// task's internal queue (no lock); a send from any other thread goes to the
// task's external queue (lock + wake-up).  The queue is chosen by the calling
// thread, never by the source entity named in the message.
#pragma once
#include "runtime/entity_ids.h"
#include "runtime/msg.h"
#include "runtime/types.h"

struct dcod__vocabulary;

typedef void (*om_os_handler_t)(msg_t*);
typedef void (*om_os_init_t)();
typedef void (*om_os_stop_routine_t)();

// One row of an entity table; a row whose id is ENT_NIL ends the table.
struct entity_table_row_t {
  u32 id;
  om_os_handler_t handler;
  u8 wants_clr_busy;  // wants SM_CLR_BUSY_RQ
  u8 wants_busy;      // wants SM_BUSY_RQ
  om_os_init_t init;  // may be null
  u8 long_config;     // accepts configuration data longer than one buffer
  // Names of its primitives and timers for the message trace, or null.
  const dcod__vocabulary* names = nullptr;
};

// Attributes that an entity may change after registration.
struct om_os_entity_attrs_t {
  u8 wants_clr_busy;
  u8 wants_busy;
  u8 long_config;
  om_os_stop_routine_t stop;  // called when the runtime stops; may be null
};

inline constexpr u8 OM_OS_NO_TASK = 255;
inline constexpr u16 OM_OS_FREE_TASK_ID = 65535;

// Binds the calling thread to the task slot `task_id` and registers every row
// of the table in order, running each init routine.  2 or 3 (with a trap).
[[nodiscard]] u8 om_os_register_entities(u16 task_id, const entity_table_row_t* table);

// Registers the table first when reg is non-zero, then receives and
// dispatches until Receive_msg returns null (the runtime stops).
void om_os_task_loop(u8 reg, u16 task_id, const entity_table_row_t* table);

// Calls the destination's handler; trap 7 when it has none.
void om_os_dispatch(u16 task_id, msg_t* m);

// Queues the message for its destination; callable from any thread.
void Send_msg(msg_t* m);

// Builds and sends one message with n bytes copied inline (n at most the
// inline room); false, and nothing sent, when no message can be had or the
// body does not fit.
[[nodiscard]] bool Send_new_msg(const msg_head& h, const u8* body = nullptr, u8 n = 0);

// Sends a message back to its source, from `self`, with `code`; its session
// fields and data stay.
void Reply_msg(msg_t* m, ent_id_t self, code_t code);

// Next message of the task (blocking on its external queue when the internal
// one is empty); null when the runtime stops.
[[nodiscard]] msg_t* Receive_msg(u16 task_id);

// Appends to an external queue and wakes its task.
void Post_msg(u16 queue_index, msg_t* m);

// Blocks on an external queue and returns its first message.
[[nodiscard]] msg_t* Receive_msg_wait(u16 queue_index);

// Dispatches, in the calling thread, the messages already waiting for the
// task (internal queue first, then external), at most max of them, without
// blocking.  Returns the number dispatched.  This is how a task that runs in
// the caller's thread (om_os_start_options::sm_thread false) is driven.
u32 om_os_run_ready(u16 task_id, u32 max = 0xFFFFFFFFu);

void om_os_update_entity(om_os_handler_t handler, const om_os_entity_attrs_t* attrs);
u8 om_os_entity_task(u32 id);                // 255 when not registered
u8 om_os_get_entity_flag(u32 id, u8 which);  // which 1: wants SM_BUSY_RQ, else SM_CLR_BUSY_RQ
void om_os_get_entity_attrs(u32 id, om_os_entity_attrs_t* out);
// Makes `stop` the stop routine of the registered entity `id` (from its init
// routine), its other attributes kept.  The routine runs when the runtime
// stops, before the runtime frees its memory: the place to give back the
// timers and messages an entity keeps.
void om_os_set_entity_stop(u32 id, om_os_stop_routine_t stop);
u8 om_os_entity_long_config(u32 id);  // the long-configuration flag, 0 outside 32..150
u16 om_os_current_entity();           // ENT_NIL when no task runs

// Task slot to which the calling thread is bound; 255 for other threads.
u8 om_os_calling_task();
