// SIP primitive body (`sip_prim_buf`): the binary form in which the headers of
// a SIP primitive travel between the SIP session-control entity and the SIP
// transaction entity.
//
// Layout (integers in host byte order):
//   index area   one u16 slot per row of the kind's header table (slot k at
//                byte 2k), size rounded up to even; a slot holds the logical
//                offset of the first element node of its header, 0 = absent.
//   nodes        one per header instance, each at an even logical offset:
//                u16 link (offset of the next instance of the slot, 0 = last),
//                the fixed part, then the variable part; an odd end is padded.
// A logical offset counts from the first byte of the index area over the data
// of the chained buffers.  Offsets are u16: a body stays below 65,535 bytes.
//
// Writing: sip_prim__init (a chained body in runtime buffers) or
// sip_prim__init_flat (one memory area), then per instance
// sip_prim__add_element + sip_prim__begin_fixed + sip_prim__put_*, then
// sip_prim__finish.  Every write is checked against the room of the buffer
// (or area) and the 65,534 offset limit; in a chained body a variable field
// that does not fit the rest of its buffer goes on in the next one (a node
// may span buffers).  A write that does not fit, or a buffer that cannot be
// had, marks the cursor failed and writes nothing more.
// The builder then refuses the primitive; nothing is written past a buffer.
//
// Reading works on a flat body (base + offset addresses the node).  The body
// is untrusted: sip_prim__open sets its length, and every link, fixed part
// and variable field is checked against it; a link that does not move
// forward is refused, so a list is never walked twice.
//
// One body is built or read at a time, in the SIP entity's thread; the
// module-wide cursor `sip_prim_cur` is shared by the element encoders and
// decoders.
#pragma once

#include <cstdint>

#include "runtime/buffer.h"
#include "platform/int_types.h"

struct sip_prim_cursor {
  u8* base = nullptr;            // first byte of the index area
  u8* element = nullptr;         // current node
  u8* write = nullptr;           // writer: next byte; reader: next variable field
  buffer_t* first = nullptr;     // buffer holding the index area
  buffer_t* current = nullptr;   // buffer of the node being written; null when flat
  buffer_t* previous = nullptr;  // buffer finished nodes are packed into
  u16 offset_base = 0;           // logical offset of the current buffer's first byte
  // Checks of this build (not part of the body's description).
  u8* limit = nullptr;  // writer: end of the room; reader: end of the body
  bool failed = false;  // sticky: the body cannot be completed
};

extern sip_prim_cursor sip_prim_cur;

// Largest logical offset a node or its end may have.
inline constexpr u16 SIP_PRIM_OFFSET_MAX = 65534;
// Result of sip_prim__first_element for a list that does not fit the body.
inline constexpr u8 SIP_PRIM_BAD_LIST = 0xFF;

// Starts a chained body in `first_buffer` (fresh from Alloc_buffer): index of
// `index_bytes` (rounded up to even), every slot 0.  A null buffer, or an
// index larger than the buffer room, fails the cursor.
void sip_prim__init(u16 index_bytes, buffer_t* first_buffer, sip_prim_cursor& c);
// Starts a flat body in the `size` bytes at `area`.
void sip_prim__init_flat(u16 index_bytes, u8* area, u32 size, sip_prim_cursor& c);

// Starts a node for the slot at byte `slot_offset` of the index area and links
// it behind the slot's last node.  False (cursor failed) when no room or
// buffer is left or the offset would pass SIP_PRIM_OFFSET_MAX.
[[nodiscard]] bool sip_prim__add_element(u16 slot_offset, sip_prim_cursor& c);
// Reserves and zeroes the node's fixed part (link included, which stays 0)
// and points `write` behind it.  The node, or null when it does not fit.
[[nodiscard]] u8* sip_prim__begin_fixed(u16 fixed_len, sip_prim_cursor& c);
// Appends `count` bytes, plus a NUL when `nul`, to the node, continuing in a
// new buffer of a chained body when the current one is full.  The stored
// length (count + nul), or 0 for an empty field or when it does not fit (the
// cursor is then failed).
u16 sip_prim__put(const void* data, u16 count, bool nul, sip_prim_cursor& c);
// Closes the body; the data size of the first buffer (a flat body: its
// length).  Check `failed` before using the body.
u16 sip_prim__finish(sip_prim_cursor& c);

// Opens a received flat body of `length` bytes at `body` for reading.
void sip_prim__open(const u8* body, u16 length, sip_prim_cursor& c);
// Opens the list of the u16 slot at `slot`: 0 for an empty slot (cursor
// unchanged); else element = its first node, write = element + fixed_len and
// the number of nodes in the list (at most 254).  SIP_PRIM_BAD_LIST when a
// node lies outside the body, a fixed part passes its end, a link does not
// move forward or the list is longer than 254.
u8 sip_prim__first_element(const u8* slot, u16 fixed_len, sip_prim_cursor& c);
// Moves to the next node of the list: the number of nodes from it to the end
// (0 after the last one; element is then base).
u8 sip_prim__next_element(u16 fixed_len, sip_prim_cursor& c);
// Takes the next variable field of `len` bytes of the current node: its
// address, or null (cursor failed) when it passes the end of the body.  An
// empty field gives a non-null address and takes nothing.
const u8* sip_prim__take(u16 len, sip_prim_cursor& c);
