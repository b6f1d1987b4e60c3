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

#include "runtime/msg.h"
#include "sip/prim/ssc_record_codec.h"
#include "tests/sip/prim/support/ssc_fuzz_runtime.h"

namespace {

using ssc_fuzz::held;

constexpr u8 TYPES[] = {0, 1, 2, 3, 4, 5, 13, 14, 15, 16, 17};

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ssc_fuzz::start_runtime();
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
  const u8 r =
      ssc_decode_from_sip(h, body.data(), static_cast<u16>(body.size() > 0xFFFF ? 0xFFFF : body.size()), &fail);
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
