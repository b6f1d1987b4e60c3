// Fuzzes the TPKT reassembler: the input is cut into pieces (sizes from its
// first bytes) and fed in turn; each frame's payload is decoded as IFP.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "t38/ifp.h"
#include "t38/tpkt.h"

using namespace kv::t38;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  uint8_t step = static_cast<uint8_t>(data[0] | 1);
  uint16_t max_frame = static_cast<uint16_t>(4 + data[1] * 8);
  data += 2;
  size -= 2;
  heap_chain_pool pool(32, 400);
  heap_field_pool fields(300);
  {
    t38_tpkt_reassembler rx(pool, max_frame);
    auto sink = [&](const byte_ref& payload) {
      if (payload.length + T38_TPKT__HEADER_SIZE > max_frame) std::abort();
      t38_ifp_packet pck;
      pck.encoded = payload;
      t38_ifp_decode_env env{&pool, &fields, true};
      if (decode_ifp_packet(T38_IFP__DECODE_RELEASE, env, pck) == 0) t38_ifp__free_data_fields(fields, pck.fields);
    };
    for (size_t at = 0; at < size; at += step) {
      size_t n = size - at < step ? size - at : step;
      rx.feed(byte_ref{data + at, static_cast<uint32_t>(n), nullptr}, nullptr, sink);
    }
  }
  if (pool.live() != 0 || fields.live() != 0) std::abort();
  return 0;
}
