// Feeds arbitrary FOIP API primitives from ENT_FOIP to the application
// entity: every input must end with the runtime drained, no crash and no
// pool record lost, whatever the codes, lengths and contents.
//
// Input: records of {code, nai, length mode, delta, fill byte count, fill...}.
// The length mode picks the body's length: 0 the record's own size of the
// code, 1 that size + delta, 2 that size - delta, 3 delta bytes, 4 the short
// form of a report.  The body repeats the fill bytes (zero without them).
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "session/app/app_foip.h"
#include "session/app/app_foip_dsp.h"
#include "session/foip/app_foip_prim.h"

namespace {

void free_handler(msg_t* m) { Free_msg(m); }

const entity_table_row_t TABLE[] = {
    APP_FOIP_ENTITY_ROW,
    {ENT_FOIP, free_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

void ignore_trap(u16, const char*) {}
void no_display(nai_t, u16, const char*) {}

int held_msgs() { return om_os_msg_pool_stats().in_use - om_os_it_msg_pool_stats().count; }
int held_buffers() { return om_os_buffer_pool_stats().in_use - om_os_it_buffer_pool_stats().count; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  om_os_set_trap_handler(ignore_trap);
  app_foip_dsp__set_output(no_display);
  om_os_start_options o;
  o.table = TABLE;
  o.sm_thread = false;
  o.timer_thread = false;
  o.bkgr_thread = false;
  om_os_start_with(o);
  om_os_run_ready(0);
  const int base_msgs = held_msgs(), base_buffers = held_buffers();

  std::vector<u8> body;
  size_t at = 0;
  while (at + 5 <= size) {
    const code_t code = data[at];
    const nai_t nai = data[at + 1];
    const u8 mode = data[at + 2] % 5, delta = data[at + 3], fills = data[at + 4];
    at += 5;
    const size_t nfill = fills <= size - at ? fills : size - at;
    const u32 own = foip__record_size(code) ? foip__record_size(code) : 64;
    u32 length = own;
    switch (mode) {
      case 1: length = own + delta; break;
      case 2: length = own > delta ? own - delta : 0; break;
      case 3: length = delta; break;
      case 4: length = FOIP__REPORT_SHORT_SIZE; break;
      default: break;
    }
    body.assign(length, 0);
    for (u32 i = 0; nfill && i < length; ++i) body[i] = data[at + i % nfill];
    at += nfill;
    foip_api__addr a;
    a.from = ENT_FOIP;
    a.to = ENT_APP_FOIP;
    a.nai = nai;
    if (foip_api__send(a, code, body.data(), length) != FOIP_API__OK) break;
    om_os_run_ready(0);
  }
  om_os_run_ready(0);
  if (held_msgs() != base_msgs || held_buffers() != base_buffers) __builtin_trap();
  om_os_stop();
  app_foip_dsp__set_output(nullptr);
  om_os_set_trap_handler(nullptr);
  return 0;
}
