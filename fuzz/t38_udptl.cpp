// Fuzzes the UDPTL datagram decoder and the IFP decoder behind it; a
// datagram that decodes is encoded again and must decode to the same.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "t38/ifp.h"
#include "t38/udptl.h"

using namespace kv::t38;

namespace {

void decode_ifp(chain_pool& pool, const byte_ref& ref, bool optimize) {
  heap_field_pool fields(300);
  t38_ifp_packet pck;
  pck.encoded = ref;
  t38_ifp_decode_env env{&pool, &fields, optimize};
  if (decode_ifp_packet(T38_IFP__DECODE_KEEP, env, pck) == 0) t38_ifp__free_data_fields(fields, pck.fields);
  if (fields.live() != 0) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 65535) return 0;
  heap_chain_pool pool(64, 20000);
  // The datagram arrives flat, then once more cut into 13-byte buffers.
  std::vector<uint8_t> copy(data, data + size);
  chain_buf chain = size == 0 ? nullptr : store_in_chain(pool, copy.data(), size);
  heap_chain_pool small(13, 8000);
  chain_buf cut = size == 0 ? nullptr : store_in_chain(small, copy.data(), size);

  t38_udptl_in in;
  uint16_t trap = t38_udptl__decode(byte_ref{copy.data(), static_cast<uint32_t>(size), nullptr}, nullptr, pool, in);
  t38_udptl_in in2;
  uint16_t trap2 = t38_udptl__decode(
      byte_ref{cut == nullptr ? nullptr : small.data(cut), static_cast<uint32_t>(size), cut}, &small, pool, in2);
  if (trap != trap2 || (trap == 0 && (in.seq != in2.seq || in.n_secondaries != in2.n_secondaries))) std::abort();
  if (trap == 0) {
    decode_ifp(pool, in.primary, false);
    for (uint16_t i = 0; i < in.n_secondaries; ++i) decode_ifp(pool, in.secondaries[i], true);
    // Encode what was read and read it back.
    t38_udptl_out out{in.seq, in.primary, in.secondaries, in.n_secondaries};
    t38_udptl_encoded enc;
    if (t38_udptl__encode(out, 65535, T38_UDPTL__ADDR_RECORD_SIZE, pool, enc) == 0) {
      t38_udptl_in back;
      byte_ref again{enc.data, enc.length, enc.chain};
      if (t38_udptl__decode(again, &pool, pool, back) != 0) std::abort();
      if (back.seq != in.seq || back.n_secondaries != in.n_secondaries || back.primary.length != in.primary.length) {
        std::abort();
      }
      t38_udptl__release(back, pool);
      pool.release(enc.chain);
    }
    t38_udptl__release(in, pool);
    t38_udptl__release(in2, pool);
  }
  pool.release(chain);
  small.release(cut);
  if (pool.live() != 0 || small.live() != 0) std::abort();
  return 0;
}
