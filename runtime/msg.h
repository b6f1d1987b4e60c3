// Entity messages (primitives) and the message pool.
//
// A message's data lie either inline (p_buffer null: data_size bytes at
// data_offset) or in the attached buffer chain (p_buffer set; chain_size the
// chain's length).  Offsets are logical: the inline data start at 36 in a
// fresh message, and the inline room is the configured message size less 36
// (64 bytes as shipped).  The physical header is wider on 64-bit; reach the
// inline area through Msg_inline_data / Msg_inline_area.
//
// Ownership: the sender allocates and sends; Send_msg hands the message over;
// the receiving handler frees it (Free_msg, which also frees the chain) or
// sends it on.
#pragma once
#include <cstring>

#include "runtime/buffer.h"
#include "runtime/entity_ids.h"
#include "runtime/types.h"

inline constexpr u8 MSG_HEADER_SIZE = 36;  // data_offset of a fresh message ('$')

struct msg_t {
  ent_id_t from;  // source entity
  ent_id_t to;    // destination entity
  nai_t nai;      // session index; 0xFFFF in runtime-internal messages
  u8 sapi;        // 0xFF in runtime-internal messages
  u8 reserved_;
  u16 conn_id;         // 0xFFFF in runtime-internal messages
  msg_t* link;         // runtime-private: free lists
  msg_t* next;         // runtime-private: task queues
  buffer_t* p_buffer;  // attached data chain, null when the data lie inline
  u16 chain_size;      // bytes held in the attached chain
  code_t code;         // primitive code
  u8 in_use;           // 1 while allocated
  u8 data_offset;      // logical offset of the inline data, 36 when fresh
  u8 data_size;        // inline data length
};

// Start of the inline room (logical offset 36).
inline u8* Msg_inline_area(msg_t* m) { return reinterpret_cast<u8*>(m + 1); }
inline const u8* Msg_inline_area(const msg_t* m) { return reinterpret_cast<const u8*>(m + 1); }
// Inline data (at data_offset).
inline u8* Msg_inline_data(msg_t* m) { return Msg_inline_area(m) + (m->data_offset - MSG_HEADER_SIZE); }
inline const u8* Msg_inline_data(const msg_t* m) { return Msg_inline_area(m) + (m->data_offset - MSG_HEADER_SIZE); }
// The message's data wherever they lie: the first buffer's data when a chain
// is attached, else the inline data; Msg_data_size is the matching length
// (the first buffer's data_size, or the inline data_size).
inline u8* Msg_data(msg_t* m) { return m->p_buffer ? Buffer_data(m->p_buffer) : Msg_inline_data(m); }
inline const u8* Msg_data(const msg_t* m) { return m->p_buffer ? Buffer_data(m->p_buffer) : Msg_inline_data(m); }
inline u16 Msg_data_size(const msg_t* m) { return m->p_buffer ? m->p_buffer->data_size : m->data_size; }
// Total data length: the chain's when attached, else the inline size.
u32 Msg_total_size(const msg_t* m);

// Normal message pool.  Alloc_msg returns in_use 1, no buffer, data_offset 36,
// data_size 0, chain_size 0 (header fields are the caller's), or null at the
// limit (trap 9).  Free_msg frees the chain, then the record; null is ignored;
// a record that is not in use traps 16 and is left alone.
[[nodiscard]] msg_t* Alloc_msg();
void Free_msg(msg_t* m);

// The header of a message: who sends what to whom, for which session,
// access point and connection.  Runtime-internal messages name no session.
struct msg_head {
  ent_id_t from;
  ent_id_t to;
  code_t code;
  nai_t nai = OM_OS_NAI_NONE;
  u8 sapi = OM_OS_SAPI_NONE;
  u16 conn_id = OM_OS_CONN_NONE;
};
// Alloc_msg with the header set; null at the limit.
[[nodiscard]] msg_t* Alloc_msg(const msg_head& h);
// Sets a message's header (its data stay).
void Msg_set_head(msg_t* m, const msg_head& h);
// A message's header.
[[nodiscard]] msg_head Msg_get_head(const msg_t* m);
// Sets who sends what to whom; the session fields (nai, sapi, conn_id) and
// the data stay.
void Msg_set_route(msg_t* m, ent_id_t from, ent_id_t to, code_t code);

// Interrupt-side message pool (never traps; null when empty).
[[nodiscard]] msg_t* It_get_msg();
void It_put_msg(msg_t* m);
void It_refill_msg_pool();

// Makes room for n data bytes, reusing *m and *b when given and allocating
// what is missing: inline when n fits the inline room, else in one buffer
// (n up to the buffer room).  On success *m, *b are updated and *data points
// where the caller writes; on failure *data is null and what this call
// allocated is freed again.
void Alloc_msg_data(msg_t** m, buffer_t** b, u32 n, u8** data);
void It_alloc_msg_data(msg_t** m, buffer_t** b, u32 n, u8** data);

// A new message carrying the buffer's data: copied inline behind `room`
// reserved bytes when it fits (the buffer is then freed), else attached.
[[nodiscard]] msg_t* Alloc_msg_with_buffer(buffer_t* b, u8 room);

// A new message with a copy of the header, the inline data and the whole
// chain; null when the message or any buffer of the copy cannot be had.
[[nodiscard]] msg_t* Copy_msg(const msg_t* m);

// Attaches a chain to a message: p_buffer, chain_size = the chain's length.
void Msg_attach_chain(msg_t* m, buffer_t* chain);

// Replaces the message's data by n bytes copied inline from body (n at most
// the inline room): an attached chain is freed and the data start again at
// offset 36.  Used to turn a request into its confirmation in place.
inline void Msg_set_inline_body(msg_t* m, const u8* body, u8 n) {
  if (m->p_buffer) {
    Free_buffer(m->p_buffer);
    m->p_buffer = nullptr;
  }
  m->chain_size = 0;
  m->data_offset = MSG_HEADER_SIZE;
  m->data_size = n;
  if (n) std::memcpy(Msg_inline_data(m), body, n);
}

// Pool configuration and state.
u8 om_os_get_msg_size();
inline u8 om_os_get_msg_room() { return static_cast<u8>(om_os_get_msg_size() - MSG_HEADER_SIZE); }
u16 om_os_get_max_nai();
u8 om_os_get_congestion();  // 1 while any message or buffer pool is congested

// Counters of one pool, for reports and tests.
struct om_os_pool_stats {
  u16 limit, in_use, high_water, cache_limit, cache_count;
  u16 congestion_on, congestion_off;
  u8 congested;
  u16 episodes;
};
struct om_os_it_pool_stats {
  u16 count, lowest;
  u8 congested;
  u16 episodes;
  u16 low, normal, high, congestion_on, congestion_off;
};
om_os_pool_stats om_os_msg_pool_stats();
om_os_pool_stats om_os_buffer_pool_stats();
om_os_it_pool_stats om_os_it_msg_pool_stats();
om_os_it_pool_stats om_os_it_buffer_pool_stats();

// Sets the interrupt-side watermarks, in this order: message low, normal,
// high; buffer low, normal, high; message congestion on, off; buffer
// congestion on, off (0 takes the default).
// 3 when already set or when on <= off <= low <= normal <= high is broken.
[[nodiscard]] u8 om_os_it_pool_init(const u16 values[10]);
