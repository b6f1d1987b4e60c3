// Entity registration, task queues, sending, receiving and dispatch.
#include <cstring>

#include "platform/thread.h"
#include "runtime/dcod.h"
#include "runtime/om_os_internal.h"

using namespace om_os_rt;

thread_local u8 om_os_rt::tl_task = 255;

namespace {

task_rec* find_task(u16 task_id) {
  for (u32 i = 0; i < g.task_count; ++i)
    if (g.tasks[i].task_id == task_id) return &g.tasks[i];
  return nullptr;
}

u8 task_index(const task_rec* t) { return static_cast<u8>(t - g.tasks); }

// Runs a task's stop procedure once (the started flag guards it).
void task_stop_procedure(task_rec* t) {
  om_os_stop_routine_t stops[OM_OS_ENT_COUNT];
  u32 n = 0;
  {
    plat_cs_hold hold(cs_init);
    if (!t->started) return;
    t->started = 0;
    u8 idx = task_index(t);
    for (auto& e : g.ent)
      if (e.kept_task == idx && e.stop) stops[n++] = e.stop;
  }
  for (u32 i = 0; i < n; ++i) stops[i]();
  plat_cs_hold hold(cs_init);
  --g.started_tasks;
}

msg_t* pop_internal(task_rec* t) {
  msg_t* m = t->int_head;
  if (m) {
    t->int_head = m->next;
    if (!t->int_head) t->int_tail = nullptr;
    m->next = nullptr;
  }
  return m;
}

msg_t* pop_external(u16 q) {
  xqueue& x = g.xq[q];
  plat_cs_hold hold(x.cs);
  msg_t* m = x.head;
  if (m) {
    x.head = m->next;
    if (!x.head) x.tail = nullptr;
    m->next = nullptr;
  }
  return m;
}

void trace_if(u32 bit, u8 letter, const msg_t* m) {
  if (g.trace_mask.load() & bit) {
    om_os_trace_record(letter, m);
  }
}

// Hands a received message to the caller, or runs the stop procedure and
// gives null when the runtime is stopping.
msg_t* after_receive(task_rec* t, msg_t* m, u8 letter) {
  if (g.state.load() == OM_OS_STATE_STOPPING) {
    if (m) Free_msg(m);
    task_stop_procedure(t);
    return nullptr;
  }
  if (!m) return nullptr;
  g.running_task.store(task_index(t));
  t->current = m->to;
  trace_if(OM_OS_TRACE_RECEIVE, letter, m);
  return m;
}

}  // namespace

u8 om_os_register_entities(u16 task_id, const entity_table_row_t* table) {
  std::unique_lock<plat_cs> hold(cs_init);
  if (g.task_count == 0 || task_id == OM_OS_FREE_TASK_ID || g.state.load() == OM_OS_STATE_STOPPING) return OM_OS_NOK;
  rand_seed_from_clock();
  task_rec* t = find_task(task_id);
  bool claimed = false;
  if (!t) {
    t = find_task(OM_OS_FREE_TASK_ID);
    if (!t) {
      hold.unlock();
      om_os_trap(OM_OS_TRAP_TASK_SLOT);
      return OM_OS_NOK;
    }
    t->task_id = task_id;
    claimed = true;
  }
  const u8 idx = task_index(t);
  tl_task = idx;
  for (const entity_table_row_t* row = table; row && row->id != ENT_NIL; ++row) {
    entity_rec* e = entity_of(row->id);
    if (!e) {
      hold.unlock();
      om_os_trap(OM_OS_TRAP_ENTITY_ID);
      return OM_OS_NOK;
    }
    if (e->task != OM_OS_NO_TASK) {
      hold.unlock();
      om_os_trap(OM_OS_TRAP_ENTITY_TWICE);
      return OM_OS_NOK;
    }
    g.want_busy_any |= row->wants_busy;
    g.want_clr_any |= row->wants_clr_busy;
    e->task = idx;
    e->kept_task = idx;
    e->handler = row->handler;
    e->wants_clr_busy = row->wants_clr_busy;
    e->wants_busy = row->wants_busy;
    e->long_config = row->long_config;
    e->stop = nullptr;
    if (row->names) dcod__register_vocabulary(static_cast<ent_id_t>(row->id), row->names);
    if (row->init) {
      hold.unlock();
      row->init();
      hold.lock();
    }
  }
  if (claimed) {
    t->started = 1;
    ++g.started_tasks;
  }
  return OM_OS_OK;
}

void om_os_task_loop(u8 reg, u16 task_id, const entity_table_row_t* table) {
  if (reg && om_os_register_entities(task_id, table) != OM_OS_OK) return;
  for (;;) {
    msg_t* m = Receive_msg(task_id);
    if (!m) break;
    om_os_dispatch(task_id, m);
  }
}

void om_os_dispatch(u16, msg_t* m) {
  entity_rec* e = entity_of(m->to);
  if (!e || !e->handler) {
    om_os_trap(OM_OS_TRAP_NO_HANDLER);
    Free_msg(m);  // nobody else will ever own it
    return;
  }
  e->handler(m);
}

bool Send_new_msg(const msg_head& h, const u8* body, u8 n) {
  if (n > om_os_get_msg_room()) return false;
  msg_t* m = Alloc_msg(h);
  if (!m) return false;
  m->data_size = n;
  if (n) std::memcpy(Msg_inline_data(m), body, n);
  Send_msg(m);
  return true;
}

void Reply_msg(msg_t* m, ent_id_t self, code_t code) {
  Msg_set_route(m, self, m->from, code);
  Send_msg(m);
}

void Send_msg(msg_t* m) {
  if (!m) return;
  m->next = nullptr;
  entity_rec* dst = entity_of(m->to);
  const u8 dtask = dst ? dst->task.load() : OM_OS_NO_TASK;
  const u8 here = tl_task;
  if (dtask != OM_OS_NO_TASK && dtask == here) {
    trace_if(OM_OS_TRACE_SEND, 'i', m);
    task_rec& t = g.tasks[dtask];
    if (t.int_tail) t.int_tail->next = m;
    else t.int_head = m;
    t.int_tail = m;
    return;
  }
  trace_if(OM_OS_TRACE_SEND, 'e', m);
  if (dtask != OM_OS_NO_TASK) {
    Post_msg(g.tasks[dtask].task_id, m);
    return;
  }
  if (g.state.load() != OM_OS_STATE_STOPPING) {
    trace_if(OM_OS_TRACE_SEND, 't', m);
    om_os_trap(OM_OS_TRAP_UNREGISTERED);
    // The sender gave the message up: release it rather than lose the record.
    Free_msg(m);
    return;
  }
  Free_msg(m);  // dropped while stopping
}

void Post_msg(u16 q, msg_t* m) {
  if (q >= XQUEUE_SLOTS || !g.xq[q].created) {
    om_os_trap(OM_OS_TRAP_SYSTEM);
    Free_msg(m);
    return;
  }
  xqueue& x = g.xq[q];
  m->next = nullptr;
  {
    plat_cs_hold hold(x.cs);
    if (x.tail) x.tail->next = m;
    else x.head = m;
    x.tail = m;
  }
  x.ev.set();
}

msg_t* Receive_msg_wait(u16 q) {
  if (q >= XQUEUE_SLOTS || !g.xq[q].created) {
    om_os_trap(OM_OS_TRAP_WAIT);
    return nullptr;
  }
  for (;;) {
    msg_t* m = pop_external(q);
    if (m) return m;
    if (g.state.load() == OM_OS_STATE_STOPPING) return nullptr;
    g.xq[q].ev.wait();
  }
}

msg_t* Receive_msg(u16 task_id) {
  task_rec* t = find_task(task_id);
  if (!t) return nullptr;
  if (g.state.load() != OM_OS_STATE_STOPPING) {
    msg_t* m = pop_internal(t);
    if (m) return after_receive(t, m, 'I');
  }
  t->current = ENT_NIL;
  g.running_task.store(255);
  msg_t* m = Receive_msg_wait(task_id);
  return after_receive(t, m, 'R');
}

u32 om_os_run_ready(u16 task_id, u32 max) {
  task_rec* t = find_task(task_id);
  if (!t) return 0;
  u32 n = 0;
  while (n < max) {
    if (g.state.load() == OM_OS_STATE_STOPPING) break;
    u8 letter = 'I';
    msg_t* m = pop_internal(t);
    if (!m && task_id < XQUEUE_SLOTS && g.xq[task_id].created) {
      m = pop_external(task_id);
      letter = 'R';
    }
    if (!m) break;
    m = after_receive(t, m, letter);
    if (!m) break;
    om_os_dispatch(task_id, m);
    ++n;
  }
  t->current = ENT_NIL;
  g.running_task.store(255);
  return n;
}

void om_os_update_entity(om_os_handler_t handler, const om_os_entity_attrs_t* a) {
  if (!handler || !a) return;
  plat_cs_hold hold(cs_init);
  for (auto& e : g.ent) {
    if (e.task != OM_OS_NO_TASK && e.handler == handler) {
      e.wants_clr_busy = a->wants_clr_busy;
      e.wants_busy = a->wants_busy;
      e.long_config = a->long_config;
      e.stop = a->stop;
      g.want_busy_any |= a->wants_busy;
      g.want_clr_any |= a->wants_clr_busy;
      break;
    }
  }
}

u8 om_os_entity_task(u32 id) {
  entity_rec* e = entity_of(id);
  return e ? e->task.load() : OM_OS_NO_TASK;
}

u8 om_os_get_entity_flag(u32 id, u8 which) {
  entity_rec* e = entity_of(id);
  if (!e) return 0;
  return which == 1 ? e->wants_busy : e->wants_clr_busy;
}

void om_os_set_entity_stop(u32 id, om_os_stop_routine_t stop) {
  plat_cs_hold hold(cs_init);
  entity_rec* e = entity_of(id);
  if (e && e->task != OM_OS_NO_TASK) e->stop = stop;
}

void om_os_get_entity_attrs(u32 id, om_os_entity_attrs_t* out) {
  entity_rec* e = entity_of(id);
  if (!e || !out) return;
  out->wants_clr_busy = e->wants_clr_busy;
  out->wants_busy = e->wants_busy;
  out->long_config = e->long_config;
  out->stop = e->stop;
}

u8 om_os_entity_long_config(u32 id) {
  entity_rec* e = entity_of(id);
  return e ? e->long_config : 0;
}

u16 om_os_current_entity() {
  u8 r = g.running_task.load();
  if (r == 255 || r >= g.task_count) return ENT_NIL;
  return g.tasks[r].current;
}

u8 om_os_calling_task() { return tl_task; }

// Used by om_os_stop for tasks that run in the caller's thread.
namespace om_os_rt {
void run_stop_procedure(u8 index) {
  if (index < g.task_count) task_stop_procedure(&g.tasks[index]);
}
}  // namespace om_os_rt
