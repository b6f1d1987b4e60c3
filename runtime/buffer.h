// Data buffers: the records of a message's data chain.
//
// A buffer has a 12-byte logical header (data offsets count from the start of
// that header) and a data room of the configured buffer size less 12 bytes
// (1600 as shipped).  The physical header below is wider on 64-bit; always
// reach the data through Buffer_data / Buffer_room.
#pragma once
#include "runtime/types.h"

inline constexpr u16 BUFFER_HEADER_SIZE = 12;  // data_offset of a fresh buffer

struct buffer_t {
  u16 link_count;   // references held; released when freed at 0 or 1
  u16 data_offset;  // from the logical start of the buffer; 12 when fresh
  u16 data_size;    // bytes of data at data_offset
  u8 state;         // runtime-private: allocated or free
  u8 reserved_;
  buffer_t* next;  // next buffer of the chain, null at the end
};

// First byte of the data room (logical offset 12).
inline u8* Buffer_room(buffer_t* b) { return reinterpret_cast<u8*>(b + 1); }
inline const u8* Buffer_room(const buffer_t* b) { return reinterpret_cast<const u8*>(b + 1); }
// The buffer's data (at data_offset).
inline u8* Buffer_data(buffer_t* b) { return Buffer_room(b) + (b->data_offset - BUFFER_HEADER_SIZE); }
inline const u8* Buffer_data(const buffer_t* b) { return Buffer_room(b) + (b->data_offset - BUFFER_HEADER_SIZE); }

// Normal buffer pool.  Alloc_buffer returns link_count 0, next null,
// data_offset 12, data_size 0, or null at the limit (trap 8).
[[nodiscard]] buffer_t* Alloc_buffer();
// Releases a chain: each buffer whose count is 0 or falls to 0 is returned.
void Free_buffer(buffer_t* chain);

// Interrupt-side buffer pool (never traps; null when empty).
[[nodiscard]] buffer_t* It_get_buffer();
void It_put_buffer(buffer_t* b);
void It_free_buffer(buffer_t* b);  // one buffer, by its link count
void It_refill_buffer_pool();

// Copies data into a chain (first or a new buffer, more appended as needed,
// each link_count 1).  Returns the first buffer, or null when nothing could
// be had (buffers this call allocated are freed again).
[[nodiscard]] buffer_t* Store_data_in_buffers(const void* data, u32 length, buffer_t* first);

// Total data bytes of a chain.
u32 Buffer_chain_length(const buffer_t* chain);

// Contiguous copy of a chain's data: into area when it is large enough, else
// into a temporary block (free it with Free_tmp_block when the result differs
// from area).  Null when no block is free; *total gets the data length.
u8* Reassemble_buffers(u8* area, u32 area_size, const buffer_t* chain, u32* total);

// Configured buffer size (data room + 12).
u16 om_os_get_buffer_size();
// Data room of one buffer.
inline u16 om_os_get_buffer_room() { return static_cast<u16>(om_os_get_buffer_size() - BUFFER_HEADER_SIZE); }
