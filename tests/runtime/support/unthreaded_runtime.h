// The runtime without its threads, turned by the program itself, as the
// benchmarks against outside peers run it.  Header only: benchmarks build
// it in.
#pragma once
#include <sys/resource.h>

#include <cstddef>

#include "runtime/buffer.h"
#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "runtime/timer.h"

namespace rt_test {

// Starts the runtime on `table` with no SM, timer or background thread.
inline void start_unthreaded(const entity_table_row_t* table) {
  om_os_start_options o;
  o.table = table;
  o.sm_thread = false;
  o.timer_thread = false;
  o.bkgr_thread = false;
  om_os_start_with(o);
}

// Due timers go off, then up to `limit` ready messages are handled.
inline void drive(int limit) {
  om_os_timer_poll();
  for (int i = 0; i < limit && om_os_run_ready(0) != 0; ++i) {}
}

// `n` bytes of `data` from `from` to `to` in a chain of buffers (not yet
// handled); dropped when the pools are out.
inline void send_chain(ent_id_t from, ent_id_t to, code_t code, const u8* data, std::size_t n, u16 nai) {
  msg_t* m = Alloc_msg();
  if (m == nullptr) return;
  m->from = from;
  m->to = to;
  m->code = code;
  m->nai = nai;
  Msg_attach_chain(m, Store_data_in_buffers(data, static_cast<u32>(n), nullptr));
  Send_msg(m);
}

// The CPU time of this process so far, user and system, in seconds.
inline double cpu_seconds() {
  rusage r{};
  getrusage(RUSAGE_SELF, &r);
  return static_cast<double>(r.ru_utime.tv_sec + r.ru_stime.tv_sec) +
         static_cast<double>(r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1e6;
}

}  // namespace rt_test
