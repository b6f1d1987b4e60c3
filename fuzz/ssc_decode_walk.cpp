// Feeds arbitrary bytes as the body of a SIP primitive going up to session
// control, through the SSC record codec's decode walk for each message type.
// Every input must end without a crash, hang or read outside the body; a
// handle that decodes must encode again (or be refused cleanly), and every
// buffer must come back.
//
// Input: one selector byte (the message type: 0..5 requests, 13..17
// responses, taken modulo), then the body.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "runtime/entity.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "sip/codec/ssc_record_codec.h"

namespace {

void free_handler(msg_t* m) { Free_msg(m); }

const entity_table_row_t TABLE[] = {
    {ENT_SM, free_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

void ignore_trap(u16, const char*) {}

constexpr u8 TYPES[] = {0, 1, 2, 3, 4, 5, 13, 14, 15, 16, 17};

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
  const auto type = static_cast<ssc_msg_type>(TYPES[data[0] % sizeof TYPES]);
  const int base = held();
  // Exactly sized, so that a read past the body is caught.
  std::vector<u8> body(data + 1, data + size);
  ssc_handle* h = Ssc_alloc_handle();
  if (h == nullptr || Ssc_init_handle(h, type) != 2) std::abort();
  ssc_rc_fail fail;
  const u8 r = ssc_decode_from_sip(h, body.data(), static_cast<u16>(body.size() > 0xFFFF ? 0xFFFF : body.size()),
                                   &fail);
  if (r == SSC_RC_OK) {
    buffer_t* out = nullptr;
    const u8 e = ssc_encode_to_sip(h, &out, &fail);
    if (e == SSC_RC_OK) {
      if (out == nullptr) std::abort();
      Free_buffer(out);
    } else if (out != nullptr) {
      std::abort();
    }
  } else if (r != SSC_RC_MALFORMED && r != SSC_RC_TOO_LONG && r != SSC_RC_HANDLE_FULL) {
    std::abort();
  }
  Ssc_free_handle(h);
  if (held() != base) std::abort();
  return 0;
}
