// Feeds arbitrary bytes as the body of a downward SIP primitive of each kind
// to the element decoders.  Every input must end without a crash, hang or
// read outside the body; a body that decodes must build again into an
// upward body (or be refused cleanly), and every buffer must come back.
//
// Input: one selector byte (bits 0-3: the kind, 0 'A' .. 10 'f'; bit 4: the
// call of a Replaces connection id is live), then the body.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "sip/prim/sip_elem.h"

namespace {

void free_handler(msg_t* m) { Free_msg(m); }

const entity_table_row_t TABLE[] = {
    {ENT_SM, free_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

void ignore_trap(u16, const char*) {}

constexpr char KINDS[] = {'A', 'a', 'B', 'C', 'c', 'D', 'd', 'E', 'e', 'F', 'f'};

int held() { return om_os_buffer_pool_stats().in_use - om_os_it_buffer_pool_stats().count; }

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  om_os_set_trap_handler(ignore_trap);
  om_os_start_options o;
  o.table = TABLE;
  o.sm_thread = false;
  o.timer_thread = false;
  o.bkgr_thread = false;
  om_os_start_with(o);
  om_os_run_ready(0);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 65536) return 0;
  const unsigned sel = data[0];
  const sip_msg_kind kind = static_cast<sip_msg_kind>(KINDS[(sel & 0x0F) % sizeof KINDS]);
  static bool live_call;
  live_call = (sel & 0x10) != 0;
  sip_prim_env.call_check = [](std::uint16_t) -> std::uint8_t { return live_call ? 2 : 3; };
  const int base = held();

  // Exactly sized, so that a read past the body is caught.
  std::vector<std::uint8_t> body(data + 1, data + size);
  const sip_kind_hdr_table* table = sip_kind__table(kind);
  sip_prim_code = static_cast<std::uint8_t>(kind);
  sip_header_id failed{};
  const std::uint16_t r = sip_prim__decode_body(body.empty() ? nullptr : body.data(),
                                                static_cast<std::uint16_t>(body.size()), *table, &failed);
  if (r == SIP_ELEM_OK) {
    // What was taken must build again, or be refused cleanly.
    const char k = static_cast<char>(kind);
    const sip_kind_index_entry& e = k < 'a' ? sip_kind_index_rq[k - 'A' + 1] : sip_kind_index_rs[k - 'a' + 1];
    buffer_t* chain = nullptr;
    const std::uint16_t b = sip_prim__build_up(e, 0, &chain);
    if (b == 2) {
      Free_buffer(chain);
    } else if (b != 3 || chain != nullptr) {
      std::abort();
    }
  } else if (r != 18 && r != 19 && r != 20 && r != 21 && r != 26 && r != 48) {
    std::abort();
  }
  sip_work__release();
  if (held() != base) std::abort();
  return 0;
}
