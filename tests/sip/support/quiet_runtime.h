// A runtime for benches and fuzz targets of the SIP layers: no threads of its
// own, entities run only when the caller drives them, and by default only
// ENT_SM, which frees whatever it is sent.
#pragma once
#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "tests/runtime/support/unthreaded_runtime.h"

namespace sip_rt {

inline void free_handler(msg_t* m) { Free_msg(m); }

inline constexpr entity_table_row_t SM_ONLY[] = {
    {ENT_SM, free_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

// Starts the runtime on `table` without its SM, timer or background threads.
inline void start(const entity_table_row_t* table = SM_ONLY) {
  rt_test::start_unthreaded(table);
  om_os_run_ready(0);
}

// start() the first time only.
inline void start_once() {
  static bool started = false;
  if (started) return;
  started = true;
  start();
}

}  // namespace sip_rt
