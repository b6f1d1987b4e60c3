// The runtime the SSC fuzz targets run in: no threads, traps ignored, for the
// SDP body glue the responses it builds freed at once, and the count of
// buffers held so a target can check that every buffer comes back.
#pragma once
#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "sip/prim/ssc_sdp_glue.h"
#include "tests/sip/support/quiet_runtime.h"

namespace ssc_fuzz {

inline void ignore_trap(u16, const char*) {}

// Buffers in use, less those parked in the interrupt-time pool.
inline int held() { return om_os_buffer_pool_stats().in_use - om_os_it_buffer_pool_stats().count; }

// A fresh handle of `type`, or null.
inline ssc_handle* new_handle(ssc_msg_type type) {
  ssc_handle* h = Ssc_alloc_handle();
  if (h != nullptr && Ssc_init_handle(h, type) != 2) {
    Ssc_free_handle(h);
    return nullptr;
  }
  return h;
}

// Starts the runtime with only ENT_SM, which frees what it is sent.
inline void start_runtime() {
  om_os_set_trap_handler(ignore_trap);
  sip_rt::start();
}

// Starts the runtime and points the glue's response hooks at it.
inline void start_glue_runtime() {
  start_runtime();
  ssc_sdp_glue_env.new_response_handle = [](ssc_handle*) { return new_handle(ssc_msg_type::INVITE_RS); };
  ssc_sdp_glue_env.send_response = [](ssc_handle* rs) { Ssc_free_handle(rs); };
}

}  // namespace ssc_fuzz
