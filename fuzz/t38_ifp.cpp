// Fuzzes the IFP packet decoder: the bytes decode alike held flat and in a
// chain of small buffers, and a packet that decodes without packing is
// encoded again and must give back the same type and fields.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <initializer_list>

#include "t38/ifp.h"

using namespace kv::t38;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 4096) return 0;
  heap_field_pool fields(100000);
  heap_chain_pool pool(16, 400);
  chain_buf chain = size == 0 ? nullptr : store_in_chain(pool, data, size);
  for (bool optimize : {false, true}) {
    t38_ifp_packet pck;
    pck.encoded = byte_ref{chain == nullptr ? nullptr : pool.data(chain), static_cast<uint32_t>(size), chain};
    t38_ifp_decode_env env{&pool, &fields, optimize};
    // The same bytes held flat decode alike.
    t38_ifp_packet flat;
    flat.encoded = byte_ref{data, static_cast<uint32_t>(size), nullptr};
    t38_ifp_decode_env flat_env{nullptr, &fields, optimize};
    const uint16_t flat_trap = decode_ifp_packet(T38_IFP__DECODE_KEEP, flat_env, flat);
    const uint16_t trap = decode_ifp_packet(T38_IFP__DECODE_KEEP, env, pck);
    if (trap != flat_trap) std::abort();
    const t38_data_field* fa = pck.fields;
    const t38_data_field* fb = flat.fields;
    for (; fa != nullptr && fb != nullptr; fa = fa->next, fb = fb->next) {
      if (fa->length != fb->length || fa->field_type != fb->field_type || fa->continued != fb->continued ||
          fa->packed != fb->packed || std::memcmp(fa->data, fb->data, fa->length) != 0) {
        std::abort();
      }
    }
    if (fa != nullptr || fb != nullptr) std::abort();
    t38_ifp__free_data_fields(fields, flat.fields);
    if (trap != 0) continue;
    if (!optimize) {
      // Fields that were split over objects come back as several fields:
      // compare the data they carry.
      uint8_t area[8192];
      uint32_t length = 0;
      if (encode_ifp_packet_flat(pck, area, sizeof area, &length) == 0) {
        t38_ifp_packet back;
        back.encoded = byte_ref{area, length, nullptr};
        t38_ifp_decode_env env2{nullptr, &fields, false};
        if (decode_ifp_packet(T38_IFP__DECODE_KEEP, env2, back) != 0) std::abort();
        if (back.type_value != pck.type_value) std::abort();
        const t38_data_field* a = pck.fields;
        const t38_data_field* b = back.fields;
        for (; a != nullptr && b != nullptr; a = a->next, b = b->next) {
          if (a->length != b->length || a->field_type != b->field_type ||
              std::memcmp(a->data, b->data, a->length) != 0) {
            std::abort();
          }
        }
        if (a != nullptr || b != nullptr) std::abort();
        t38_ifp__free_data_fields(fields, back.fields);
      }
    }
    t38_ifp__free_data_fields(fields, pck.fields);
  }
  pool.release(chain);
  if (pool.live() != 0 || fields.live() != 0) std::abort();
  return 0;
}
