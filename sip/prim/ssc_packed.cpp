// SSC packed message: frame head, fixed part, packer and unpacker.
#include "sip/prim/ssc_packed.h"

#include <cstring>

#include "common/byte_order.h"

namespace {

// Fixed part, behind the frame's L field (offsets from the marker).
constexpr u16 FX_TYPE = 3;
constexpr u16 FX_WORD_1 = 4;
constexpr u16 FX_WORD_2 = 6;
constexpr u16 FX_BYTE_0 = 8;
constexpr u16 FX_NUMBER = 9;
constexpr u16 FX_BYTE_1 = 11;
constexpr u16 FX_BYTE_2 = 12;
constexpr u16 FX_FAMILY = 13;
constexpr u16 FX_ADDR = 14;  // 0, 4 or 16 bytes by the family, then the port

u16 addr_len(u8 family) { return family == '4' ? 4 : family == '6' ? 16 : 0; }

// Writes marker, L and fixed part at f; the frame head's length, or 0 when
// it does not fit the room.
u16 pack_head(const ssc_handle* h, u8* f, u32 room) {
  const u16 alen = addr_len(h->addr_family);
  const u16 len = static_cast<u16>(FX_ADDR + alen + 2);
  if (len > room) return 0;
  f[0] = SSC_FRAME_MARKER;
  put_be16(f + 1, len - 1u);
  f[FX_TYPE] = static_cast<u8>(h->type);
  put_host16(f + FX_WORD_1, h->carried_word_1);
  put_host16(f + FX_WORD_2, h->carried_word_2);
  f[FX_BYTE_0] = h->carried_byte_0;
  put_host16(f + FX_NUMBER, h->transaction_number);
  f[FX_BYTE_1] = h->carried_byte_1;
  f[FX_BYTE_2] = h->carried_byte_2;
  f[FX_FAMILY] = h->addr_family;
  if (alen) std::memcpy(f + FX_ADDR, alen == 4 ? h->addr_v4 : h->addr_v6, alen);
  put_host16(f + FX_ADDR + alen, h->addr_port);
  return len;
}

// Reads the frame head at f (n bytes available); the offset of the first
// element, or 0 when the head is malformed.
u16 unpack_head(ssc_handle* h, const u8* f, u32 n) {
  if (n < 3 || f[0] != SSC_FRAME_MARKER) return 0;
  const u32 L = get_be16(f + 1);
  if (1 + L > n || 1 + L < FX_ADDR) return 0;
  const u16 alen = addr_len(f[FX_FAMILY]);
  if (1 + L < static_cast<u32>(FX_ADDR + alen + 2)) return 0;
  h->type = static_cast<ssc_msg_type>(f[FX_TYPE]);
  h->carried_word_1 = get_host16(f + FX_WORD_1);
  h->carried_word_2 = get_host16(f + FX_WORD_2);
  h->carried_byte_0 = f[FX_BYTE_0];
  h->transaction_number = get_host16(f + FX_NUMBER);
  h->carried_byte_1 = f[FX_BYTE_1];
  h->carried_byte_2 = f[FX_BYTE_2];
  h->addr_family = f[FX_FAMILY];
  if (alen == 4) std::memcpy(h->addr_v4, f + FX_ADDR, 4);
  if (alen == 16) std::memcpy(h->addr_v6, f + FX_ADDR, 16);
  h->addr_port = get_host16(f + FX_ADDR + alen);
  return static_cast<u16>(1 + L);
}

// Bytes a buffer can hold from its data start.
u32 capacity(const buffer_t* b) {
  const u32 room = om_os_get_buffer_room();
  const u32 skip = b->data_offset - BUFFER_HEADER_SIZE;
  return skip < room ? room - skip : 0;
}

}  // namespace

u8 ssc_pack_msg(buffer_t* b, const ssc_handle* h, ssc_msg_type type) {
  if (!b || !h || ssc_idx(type) >= SSC_MSG_TYPE_COUNT) return OM_OS_NOK;
  const u8* list = ssc_msg_type_table[ssc_idx(type)].allowed;
  if (!list) return OM_OS_NOK;

  if (b->next) return OM_OS_NOK;  // the frame starts at the end of a chain
  const u16 first_size = b->data_size;
  buffer_t* cur = b;
  u32 used = b->data_size;
  u32 cap = capacity(b);
  if (used > cap) return OM_OS_NOK;
  u8* base = Buffer_data(cur);
  const u16 head = pack_head(h, base + used, cap - used);
  if (head == 0) return OM_OS_NOK;
  used += head;
  // On failure the buffer is left as it was: what this call chained goes.
  auto fail = [&]() {
    Free_buffer(b->next);
    b->next = nullptr;
    b->data_size = first_size;
    return OM_OS_NOK;
  };

  for (unsigned i = 0; i < SSC_HEADER_ID_COUNT + 1 && list[i] != SSC_LIST_END; ++i) {
    const auto id = static_cast<ssc_header_id>(list[i]);
    const ssc_header_desc_row* row = ssc_header_row(id);
    if (!row || !row->pack) continue;
    const void* inst = const_cast<ssc_handle*>(h)->lists[row->slot];
    for (unsigned guard = 0; inst && guard < 0x10000; ++guard) {
      u16 n = used + 1 < cap ? ssc_header_pack(id, inst, base + used + 1, cap - used - 1) : 0;
      if (n == 0) {
        cur->data_size = static_cast<u16>(used);
        buffer_t* nb = Alloc_buffer();
        if (!nb) return fail();
        nb->link_count = 1;
        cur->next = nb;
        cur = nb;
        base = Buffer_data(cur);
        used = 0;
        cap = capacity(cur);
        n = cap > 1 ? ssc_header_pack(id, inst, base + 1, cap - 1) : 0;
        if (n == 0) return fail();  // the element fits no whole buffer
      }
      base[used] = static_cast<u8>(id);
      used += 1u + n;
      std::memcpy(&inst, inst, sizeof inst);  // next
    }
  }
  cur->data_size = static_cast<u16>(used);
  return OM_OS_OK;
}

u8 ssc_unpack_msg(const buffer_t* b, ssc_handle* h, u16 skip) {
  if (!b || !ssc_is_handle(h) || b->data_size < skip) return OM_OS_NOK;
  const u8* data = Buffer_data(b) + skip;
  u32 limit = b->data_size - skip;
  u32 pos = unpack_head(h, data, limit);
  if (pos == 0) return OM_OS_NOK;
  if (ssc_idx(h->type) >= SSC_MSG_TYPE_COUNT) return OM_OS_NOK;

  // The value is read into a scratch record first and moved into the handle
  // only when the whole value was good.
  alignas(8) u8 scratch[SSC_MAX_RECORD_SIZE];
  const buffer_t* cur = b;
  for (;;) {
    if (pos == limit) {
      if (!cur->next) return OM_OS_OK;
      cur = cur->next;
      data = Buffer_data(cur);
      limit = cur->data_size;
      pos = 0;
      continue;
    }
    if (limit - pos < 3) return OM_OS_NOK;
    const u8 idb = data[pos];
    const u32 L = get_be16(data + pos + 1);
    if (idb >= SSC_HEADER_ID_COUNT || L < 2 || L > limit - pos - 1) return OM_OS_NOK;
    const auto id = static_cast<ssc_header_id>(idb);
    const ssc_header_desc_row* row = ssc_header_row(id);
    if (row && row->pack) {
      std::memset(scratch, 0xFF, row->size);
      ssc_header_init(id, scratch);
      if (ssc_header_unpack(id, scratch, data + pos + 3, L - 2) < 0) return OM_OS_NOK;
      u8* inst = static_cast<u8*>(Ssc_alloc_header(h, id));
      if (!inst) return OM_OS_NOK;
      std::memcpy(inst + sizeof(void*), scratch + sizeof(void*), row->size - sizeof(void*));
    }
    pos += 1 + L;
  }
}
