// The SSC record codec as a round trip: a primitive body that decodes into a
// handle is encoded again, the encoding decodes into a second handle, and
// that handle encodes to the very same bytes (what the codec writes, it reads
// back unchanged).  Every buffer and handle comes back.
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

// The body the encoder wrote: one buffer, its data_size the body length.
std::vector<u8> flat(buffer_t* b) {
  const u8* p = Buffer_data(b);
  return std::vector<u8>(p, p + b->data_size);
}

// Decodes `body` into a fresh handle of `type` and encodes it again; false
// when either step refuses (cleanly).
bool round(ssc_msg_type type, const std::vector<u8>& body, std::vector<u8>* encoded) {
  ssc_handle* h = Ssc_alloc_handle();
  if (h == nullptr || Ssc_init_handle(h, type) != 2) std::abort();
  ssc_rc_fail fail;
  bool ok = false;
  if (ssc_decode_from_sip(h, body.data(), static_cast<u16>(body.size()), &fail) == SSC_RC_OK) {
    buffer_t* out = nullptr;
    if (ssc_encode_to_sip(h, &out, &fail) == SSC_RC_OK) {
      if (out == nullptr) std::abort();
      *encoded = flat(out);
      Free_buffer(out);
      ok = true;
    } else if (out != nullptr) {
      std::abort();
    }
  }
  Ssc_free_handle(h);
  return ok;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  ssc_fuzz::start_runtime();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1 || size > 0xFFFF) return 0;
  const auto type = static_cast<ssc_msg_type>(TYPES[data[0] % sizeof TYPES]);
  const int base = held();
  const std::vector<u8> body(data + 1, data + size);
  std::vector<u8> first, second, third;
  if (round(type, body, &first) && first.size() <= 0xFFFF) {
    // What we wrote must read back, and write the same bytes again.
    if (!round(type, first, &second)) std::abort();
    if (!round(type, second, &third)) std::abort();
    if (second != third) std::abort();
  }
  if (held() != base) std::abort();
  return 0;
}
