#include "t38/runtime_chain.h"

#include <algorithm>

namespace kv::t38 {

chain_buf runtime_chain_pool::alloc_for_writing() {
  buffer_t* b = Alloc_buffer();
  if (b == nullptr) return nullptr;
  b->link_count = 1;
  return b;
}

void runtime_chain_pool::release(chain_buf first) {
  if (first != nullptr) Free_buffer(as_buffer(first));
}

u16 runtime_chain_pool::capacity() const { return om_os_get_buffer_room(); }

u8* runtime_chain_pool::data(chain_buf b) { return Buffer_data(as_buffer(b)); }

u16 runtime_chain_pool::size(chain_buf b) const { return as_buffer(b)->data_size; }

void runtime_chain_pool::set_size(chain_buf b, u16 size) {
  buffer_t* buf = as_buffer(b);
  u16 room = static_cast<u16>(om_os_get_buffer_room() - (buf->data_offset - BUFFER_HEADER_SIZE));
  buf->data_size = std::min(size, room);
}

chain_buf runtime_chain_pool::next(chain_buf b) const { return as_buffer(b)->next; }

void runtime_chain_pool::set_next(chain_buf b, chain_buf next) { as_buffer(b)->next = as_buffer(next); }

runtime_chain_pool& t38_runtime_chains() {
  static runtime_chain_pool pool;
  return pool;
}

}  // namespace kv::t38
