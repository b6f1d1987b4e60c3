#include "runtime/support/rt_harness.h"

#include <atomic>
#include <chrono>

#include "runtime/sm.h"

namespace rt_test {

void recorder::add(const seen_msg& m) {
  {
    std::lock_guard<std::mutex> g(mu_);
    msgs_.push_back(m);
  }
  cv_.notify_all();
}

void recorder::add_trap(u16 code) {
  std::lock_guard<std::mutex> g(mu_);
  traps_.push_back(code);
}

std::vector<seen_msg> recorder::messages() {
  std::lock_guard<std::mutex> g(mu_);
  return msgs_;
}

std::vector<u16> recorder::traps() {
  std::lock_guard<std::mutex> g(mu_);
  return traps_;
}

bool recorder::wait_for(size_t n, unsigned ms) {
  std::unique_lock<std::mutex> g(mu_);
  return cv_.wait_for(g, std::chrono::milliseconds(ms), [&] { return msgs_.size() >= n; });
}

void recorder::clear() {
  std::lock_guard<std::mutex> g(mu_);
  msgs_.clear();
  traps_.clear();
}

recorder& rec() {
  static recorder r;
  return r;
}

std::vector<u8> chain_bytes(const buffer_t* b) {
  std::vector<u8> out;
  for (; b; b = b->next) out.insert(out.end(), Buffer_data(b), Buffer_data(b) + b->data_size);
  return out;
}

unsigned chain_count(const buffer_t* b) {
  unsigned n = 0;
  for (; b; b = b->next) ++n;
  return n;
}

seen_msg describe(const msg_t* m) {
  seen_msg s{m->from, m->to, m->nai, m->sapi, m->conn_id, m->code, {}, m->p_buffer != nullptr, om_os_calling_task()};
  if (m->p_buffer) {
    s.data = chain_bytes(m->p_buffer);
  } else {
    s.data.assign(Msg_inline_data(m), Msg_inline_data(m) + m->data_size);
  }
  return s;
}

void record_handler(msg_t* m) {
  rec().add(describe(m));
  Free_msg(m);
}

namespace {
std::vector<u16> last_start_traps;
std::atomic<u32> vclock{0};
u32 read_vclock() { return vclock.load(); }
void trap_to_recorder(u16 code, const char*) { rec().add_trap(code); }
om_os_config custom_config;
u8 apply_custom(const om_os_config*) { return om_os_config_apply(&custom_config); }
}  // namespace

void use_virtual_clock(u32 start_ms) {
  vclock.store(start_ms);
  om_os_set_tick_source(read_vclock);
}
void advance_clock(u32 ms) { vclock.fetch_add(ms); }
u32 virtual_now() { return vclock.load(); }
void use_real_clock() { om_os_set_tick_source(nullptr); }

void use_config(const om_os_config& c) {
  custom_config = c;
  custom_config.task_slots = 2;
  om_os_set_config_hook(apply_custom);
}

namespace {
// Starts with the traps going to the recorder; those of the start are kept
// apart for start_traps().
void start_recorded(const entity_table_row_t* table, bool sm_thread, bool timer_thread, bool bkgr_thread) {
  rec().clear();
  om_os_set_trap_handler(trap_to_recorder);
  om_os_start_options o;
  o.table = table;
  o.sm_thread = sm_thread;
  o.timer_thread = timer_thread;
  o.bkgr_thread = bkgr_thread;
  om_os_start_with(o);
  last_start_traps = rec().traps();
  rec().clear();
}
}  // namespace

void start_manual(const entity_table_row_t* table) { start_recorded(table, false, false, false); }

void start_threaded(const entity_table_row_t* table, bool timer_thread) {
  start_recorded(table, true, timer_thread, true);
}

std::vector<u16> start_traps() { return last_start_traps; }

void stop() {
  om_os_stop();
  om_os_set_config_hook(nullptr);
  om_os_set_audit_hook(nullptr);
  om_os_set_bkgr_tick(nullptr);
  om_os_set_trap_handler(nullptr);
  om_os_set_tick_source(nullptr);
  sm_set_startup_list(nullptr, 0);
  sm_set_hooks(nullptr, nullptr);
}

u32 pump() { return om_os_run_ready(0, 100000); }

}  // namespace rt_test
