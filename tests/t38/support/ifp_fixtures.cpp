#include "t38/support/ifp_fixtures.h"

#include <algorithm>
#include <cstring>

namespace kv::t38::testing {

t38_data_field* make_fields(t38_field_pool& pool, const std::vector<field_def>& defs) {
  t38_data_field* head = nullptr;
  t38_data_field* tail = nullptr;
  for (const auto& s : defs) {
    t38_data_field* f = pool.alloc_data_field();
    f->field_type = s.type;
    f->length = static_cast<uint16_t>(std::min<std::size_t>(s.data.size(), T38__MAX_SIZE_DATA_FIELD));
    if (f->length > 0) std::memcpy(f->data, s.data.data(), f->length);
    if (tail == nullptr) head = f;
    else tail->next = f;
    tail = f;
  }
  return head;
}

std::vector<field_def> fields_of(const t38_data_field* list) {
  std::vector<field_def> out;
  for (; list != nullptr; list = list->next) {
    out.push_back({list->field_type, std::vector<uint8_t>(list->data, list->data + list->length)});
  }
  return out;
}

std::vector<uint8_t> encode_flat(uint8_t type_byte, const std::vector<field_def>& fields) {
  heap_field_pool pool;
  t38_ifp_packet pck;
  t38_data_field* list = fields.empty() ? nullptr : make_fields(pool, fields);
  if (t38_ifp__set_type(pck, type_byte, list) != 0) return {};
  uint8_t area[4096];
  uint32_t length = 0;
  uint16_t trap = encode_ifp_packet_flat(pck, area, sizeof area, &length);
  t38_ifp__free_data_fields(pool, list);
  if (trap != 0) return {};
  return std::vector<uint8_t>(area, area + length);
}

std::vector<uint8_t> bytes_of(chain_pool* pool, const byte_ref& ref) {
  std::vector<uint8_t> out(ref.length);
  out.resize(copy_bytes(pool, ref, out.data(), out.size()));
  return out;
}

chain_buf chain_of(chain_pool& pool, const std::vector<uint8_t>& in, std::size_t per_buffer) {
  chain_buf first = nullptr, last = nullptr;
  std::size_t at = 0;
  do {
    chain_buf b = pool.alloc();
    std::size_t n = std::min(per_buffer, in.size() - at);
    if (n > 0) std::memcpy(pool.data(b), in.data() + at, n);
    pool.set_size(b, static_cast<uint16_t>(n));
    if (last == nullptr) first = b;
    else pool.set_next(last, b);
    last = b;
    at += n;
  } while (at < in.size());
  return first;
}

bool operator==(const field_def& a, const field_def& b) { return a.type == b.type && a.data == b.data; }

}  // namespace kv::t38::testing
