#include "sip/prim/sip_prim.h"

#include <cstring>

#include "common/byte_order.h"

sip_prim_cursor sip_prim_cur;

namespace {

constexpr u32 even(u32 n) { return (n + 1u) & ~1u; }

// Zeroes the pad byte behind a node that ends at an odd offset.
void pad(u8* start, u8* write, const u8* limit) {
  if (((write - start) & 1) != 0 && write < limit) *write = 0;
}

u8* room_end(buffer_t* b) { return Buffer_room(b) + om_os_get_buffer_room(); }

bool fail(sip_prim_cursor& c) {
  c.failed = true;
  return false;
}

// Logical offset of the byte at `p` inside the node being written.
u32 logical(const sip_prim_cursor& c, const u8* p) {
  if (c.current == nullptr) return static_cast<u32>(p - c.base);
  return c.offset_base + static_cast<u32>(p - Buffer_data(c.current));
}

// Address of logical offset `off` of a chained body (walking from the first
// buffer), or null when it lies beyond the finished buffers.
u8* resolve(const sip_prim_cursor& c, u32 off) {
  if (c.current == nullptr) return c.base + off;
  for (buffer_t* b = c.first; b != nullptr; b = b->next) {
    if (off < b->data_size) return Buffer_data(b) + off;
    off -= b->data_size;
  }
  return nullptr;
}

// Moves the offset base on by `used`; false when it would pass the largest
// offset (the u16 base would wrap).
bool advance_base(sip_prim_cursor& c, u32 used) {
  if (c.offset_base + used > SIP_PRIM_OFFSET_MAX) return fail(c);
  c.offset_base = static_cast<u16>(c.offset_base + used);
  return true;
}

// Takes a new buffer after `prev` and makes it current.
bool chain_new(sip_prim_cursor& c, buffer_t* prev) {
  buffer_t* b = Alloc_buffer();
  if (b == nullptr) return fail(c);
  prev->next = b;
  c.previous = prev;
  c.current = b;
  return true;
}

// Finishes the node in the current buffer: packed behind the previous
// buffer's data when it fits there, else the current buffer keeps it.
bool settle_node(sip_prim_cursor& c) {
  pad(Buffer_data(c.current), c.write, c.limit);
  const u32 used = even(static_cast<u32>(c.write - Buffer_data(c.current)));
  buffer_t* prev = c.previous;
  if (!advance_base(c, used)) return false;
  if (prev->data_offset + prev->data_size + used <= om_os_get_buffer_size()) {
    std::memmove(Buffer_data(prev) + prev->data_size, Buffer_data(c.current), used);
    prev->data_size = static_cast<u16>(prev->data_size + used);
    c.current->data_size = 0;
    return true;
  }
  c.current->data_size = static_cast<u16>(used);
  return chain_new(c, c.current);
}

// Closes the current buffer, full, inside the node being written and goes on
// in a new one: a node larger than one buffer continues over the next (the
// reader sees one body of logical offsets).  The buffer is left out of the
// packing of finished nodes.
bool spill(sip_prim_cursor& c) {
  buffer_t* full = c.current;
  if (full == nullptr || c.previous == nullptr || c.previous == full) return fail(c);
  const u32 used = static_cast<u32>(c.write - Buffer_data(full));
  full->data_size = static_cast<u16>(used);
  if (!advance_base(c, used) || !chain_new(c, full)) return false;
  c.write = Buffer_data(c.current);
  c.limit = room_end(c.current);
  return true;
}

}  // namespace

void sip_prim__init(u16 index_bytes, buffer_t* first_buffer, sip_prim_cursor& c) {
  c = sip_prim_cursor{};
  const u32 idx = even(index_bytes);
  if (first_buffer == nullptr || idx > om_os_get_buffer_room()) {
    c.failed = true;
    return;
  }
  c.first = c.current = first_buffer;
  c.base = Buffer_data(first_buffer);
  c.element = c.write = c.base + idx;
  c.limit = room_end(first_buffer);
  first_buffer->data_size = static_cast<u16>(idx);
  std::memset(c.base, 0, idx);
}

void sip_prim__init_flat(u16 index_bytes, u8* area, u32 size, sip_prim_cursor& c) {
  c = sip_prim_cursor{};
  const u32 idx = even(index_bytes);
  if (area == nullptr || idx > size) {
    c.failed = true;
    return;
  }
  c.base = area;
  c.element = c.write = area + idx;
  c.limit = area + (size > SIP_PRIM_OFFSET_MAX ? SIP_PRIM_OFFSET_MAX : size);
  std::memset(area, 0, idx);
}

bool sip_prim__add_element(u16 slot_offset, sip_prim_cursor& c) {
  if (c.failed || c.base == nullptr) return fail(c);
  if (c.current != nullptr) {
    if (c.previous == nullptr || c.previous == c.current) {
      buffer_t* prev = c.current;
      if (!advance_base(c, prev->data_size) || !chain_new(c, prev)) return false;
    } else if (!settle_node(c)) {
      return false;
    }
    c.element = Buffer_data(c.current);
    c.limit = room_end(c.current);
  } else {
    pad(c.base, c.write, c.limit);
    c.element = c.base + even(static_cast<u32>(c.write - c.base));
  }
  const u32 offset = logical(c, c.element);
  if (offset > SIP_PRIM_OFFSET_MAX - 2u || c.element + 2 > c.limit) return fail(c);
  put_host16(c.element, 0);
  c.write = c.element + 2;

  // Tail of the slot's list.  Every link was written by this builder and
  // points forward, so the walk ends.
  u8* link = c.base + slot_offset;
  for (u16 next = get_host16(link); next != 0; next = get_host16(link)) {
    link = resolve(c, next);
    if (link == nullptr) return fail(c);
  }
  put_host16(link, static_cast<u16>(offset));
  return true;
}

u8* sip_prim__begin_fixed(u16 fixed_len, sip_prim_cursor& c) {
  if (c.failed) return nullptr;
  if (fixed_len > c.limit - c.element || logical(c, c.element) + fixed_len > SIP_PRIM_OFFSET_MAX) {
    fail(c);
    return nullptr;
  }
  std::memset(c.element, 0, fixed_len);
  c.write = c.element + fixed_len;
  return c.element;
}

u16 sip_prim__put(const void* data, u16 count, bool nul, sip_prim_cursor& c) {
  if (c.failed) return 0;
  if (count == 0) return 0;
  const u32 n = static_cast<u32>(count) + (nul ? 1u : 0u);
  const bool fits = n <= static_cast<u32>(c.limit - c.write);
  if (data == nullptr || (!fits && c.current == nullptr) || logical(c, c.write) + n > SIP_PRIM_OFFSET_MAX) {
    fail(c);
    return 0;
  }
  // The field's bytes (the NUL last), buffer by buffer in a chained body.
  const auto* src = static_cast<const u8*>(data);
  u32 done = 0;
  while (done < n) {
    u32 avail = static_cast<u32>(c.limit - c.write);
    if (n - done > avail && ((c.write + avail - Buffer_data(c.current)) & 1) != 0) --avail;
    const u32 chunk = n - done < avail ? n - done : avail;
    const u32 from_data = done < count ? (chunk < count - done ? chunk : count - done) : 0;
    if (from_data != 0) std::memcpy(c.write, src + done, from_data);
    if (from_data < chunk) c.write[from_data] = 0;  // the NUL
    c.write += chunk;
    done += chunk;
    if (done < n && !spill(c)) return 0;
  }
  return static_cast<u16>(n);
}

u16 sip_prim__finish(sip_prim_cursor& c) {
  if (c.base == nullptr) return 0;
  if (c.current == nullptr) return static_cast<u16>(c.write - c.base);
  if (c.previous == nullptr) {
    c.first->data_size = static_cast<u16>(c.write - c.base);
    return c.first->data_size;
  }
  if (c.previous != c.current) {
    pad(Buffer_data(c.current), c.write, c.limit);
    const u32 used = even(static_cast<u32>(c.write - Buffer_data(c.current)));
    buffer_t* prev = c.previous;
    if (prev->data_offset + prev->data_size + used <= om_os_get_buffer_size()) {
      std::memmove(Buffer_data(prev) + prev->data_size, Buffer_data(c.current), used);
      prev->data_size = static_cast<u16>(prev->data_size + used);
      prev->next = nullptr;
      Free_buffer(c.current);
      c.current = prev;
    } else {
      c.current->data_size = static_cast<u16>(used);
    }
  }
  return c.first->data_size;
}

void sip_prim__open(const u8* body, u16 length, sip_prim_cursor& c) {
  c = sip_prim_cursor{};
  c.base = c.element = c.write = const_cast<u8*>(body);
  c.limit = c.base + (body == nullptr ? 0 : length);
}

u8 sip_prim__first_element(const u8* slot, u16 fixed_len, sip_prim_cursor& c) {
  const u32 length = static_cast<u32>(c.limit - c.base);
  u32 off = get_host16(slot);
  if (off == 0) return 0;
  unsigned n = 0;
  for (u32 at = off; at != 0; ++n) {
    if (n >= 254 || at + fixed_len > length || at + 2 > length) return SIP_PRIM_BAD_LIST;
    const u32 next = get_host16(c.base + at);
    if (next != 0 && next <= at) return SIP_PRIM_BAD_LIST;
    at = next;
  }
  c.element = c.base + off;
  c.write = c.element + fixed_len;
  return static_cast<u8>(n);
}

u8 sip_prim__next_element(u16 fixed_len, sip_prim_cursor& c) {
  if (c.element == c.base) return 0;
  const u16 next = get_host16(c.element);
  c.element = c.base + next;
  if (next == 0) return 0;
  c.write = c.element + fixed_len;
  // The list was checked by sip_prim__first_element.
  unsigned n = 0;
  for (u32 at = next; at != 0; at = get_host16(c.base + at)) ++n;
  return static_cast<u8>(n);
}

const u8* sip_prim__take(u16 len, sip_prim_cursor& c) {
  if (len > c.limit - c.write) {
    c.failed = true;
    return nullptr;
  }
  const u8* p = c.write;
  c.write += len;
  return p;
}
