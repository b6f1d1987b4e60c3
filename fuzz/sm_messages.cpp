// Feeds arbitrary messages to ENT_SM (and the runtime under it): every input
// must end with the runtime drained, no crash, no endless message loop and no
// pool record lost.
//
// Input: records of {code, from, nai, flags, length, data[length]}; flags bit 0
// puts the data in a buffer chain, bit 1 writes the second byte as the target
// byte of the inline area.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"

namespace {

// Fake entities answer requests with a confirm that echoes the body, and
// free everything else.
void answering_handler(msg_t* m) {
  const code_t c = m->code;
  if (c >= 'C' && c <= 'G' && m->from == ENT_SM) {
    m->from = m->to;  // the entity that answers
    m->to = ENT_SM;
    m->code = static_cast<code_t>(c == 'G' ? 'h' : c + ('a' - 'A'));
    Send_msg(m);
    return;
  }
  Free_msg(m);
}

const entity_table_row_t TABLE[] = {
    SM_ENTITY_ROW,
    {ENT_IP, answering_handler, 0, 0, nullptr, 1},
    {ENT_T38, answering_handler, 1, 1, nullptr, 0},
    {ENT_SIP, answering_handler, 0, 0, nullptr, 0},
    {ENT_APP_FOIP, answering_handler, 0, 0, nullptr, 1},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

u8 startup_record[2000];
const sm_startup_row_t STARTUP[] = {{ENT_APP_FOIP, startup_record, sizeof startup_record, 0, 0}};

void ignore_trap(u16, const char*) {}

int held() { return om_os_msg_pool_stats().in_use - om_os_it_msg_pool_stats().count; }

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  om_os_set_trap_handler(ignore_trap);
  sm_set_startup_list(STARTUP, 1);
  om_os_start_options o;
  o.table = TABLE;
  o.sm_thread = false;
  o.timer_thread = false;
  o.bkgr_thread = false;
  om_os_start_with(o);
  om_os_run_ready(0);
  const int base = held();

  size_t at = 0;
  while (at + 5 <= size) {
    const u8 code = data[at], from = data[at + 1], nai = data[at + 2], flags = data[at + 3], len = data[at + 4];
    at += 5;
    const size_t n = len <= size - at ? len : size - at;
    msg_t* m = nullptr;
    if (flags & 1) {
      m = Alloc_msg();
      if (!m) break;
      buffer_t* b = Store_data_in_buffers(data + at, static_cast<u32>(n), nullptr);
      if (b) Msg_attach_chain(m, b);
    } else {
      buffer_t* b = nullptr;
      u8* p = nullptr;
      Alloc_msg_data(&m, &b, static_cast<u32>(n), &p);
      if (!p) break;
      if (n) std::memcpy(p, data + at, n);
    }
    if ((flags & 2) && n > 1) Msg_inline_area(m)[0] = data[at + 1];
    at += n;
    m->from = from;
    m->to = ENT_SM;
    m->nai = nai == 0xFF ? 0xFFFF : nai;
    m->sapi = 0;
    m->conn_id = 0;
    m->code = code;
    Send_msg(m);
    // Bounded: a loop between entities would show up here.
    if (om_os_run_ready(0, 100000) >= 100000) std::abort();
  }
  if (held() != base) std::abort();  // a message lost (or freed twice)
  om_os_stop();
  return 0;
}
