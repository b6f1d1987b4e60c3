#include "sip/text/sip_store.h"

#include <cstring>

#include "runtime/om_os.h"

const char* sip_str__store(buffer_t** head, sip_str s) {
  const u32 n = sip_str__chars(s);
  const u32 room = om_os_get_buffer_room();
  if (n + 1 >= room) return nullptr;
  buffer_t* b = *head;
  if (b == nullptr || b->data_size + n + 1 >= room) {
    buffer_t* fresh = Alloc_buffer();
    if (fresh == nullptr) return nullptr;
    fresh->next = b;
    *head = fresh;
    b = fresh;
  }
  char* copy = reinterpret_cast<char*>(Buffer_data(b)) + b->data_size;
  if (n) std::memcpy(copy, s.ptr, n);
  copy[n] = '\0';
  b->data_size = static_cast<u16>(b->data_size + n + 1);
  return copy;
}

msg_t* sip_msg__from_block(buffer_t* chain, u8 header_room) {
  if (chain == nullptr) return nullptr;
  msg_t* m = Alloc_msg();
  if (m == nullptr) return nullptr;
  if (chain->next == nullptr && static_cast<u32>(header_room) + chain->data_size <= om_os_get_msg_room()) {
    m->data_offset = static_cast<u8>(m->data_offset + header_room);
    m->data_size = static_cast<u8>(chain->data_size);
    std::memcpy(Msg_inline_data(m), Buffer_data(chain), chain->data_size);
    Free_buffer(chain);
    return m;
  }
  Msg_attach_chain(m, chain);
  if (chain->link_count == 0) {
    for (buffer_t* b = chain; b; b = b->next) b->link_count = 1;
  } else {
    om_os_lock();
    for (buffer_t* b = chain; b; b = b->next) ++b->link_count;
    om_os_unlock();
  }
  return m;
}
