// ASNP: ASN.1 packed encoding rules, aligned variant (X.691), for the
// constructs the T.38 IFP and UDPTL packets use.
//
// A context is a bit cursor over one flat caller area or over a chain of pool
// buffers (see byte_chain.h).  Encoding into a chain takes buffers from the
// pool as it goes; decoding walks the chain and never reads past the length
// it was given.  Operations return ASNP_OK (2) or ASNP_NOK (3), a few
// ASNP_MORE (5); the reason of a failure stays in the context's error byte.
#pragma once

#include <cstdint>

#include "t38/byte_chain.h"
#include "platform/int_types.h"

namespace kv::t38 {

inline constexpr const char* ASNP_BANNER = "(@)ASNP v1.5";

inline constexpr u8 ASNP_OK = 2;
inline constexpr u8 ASNP_NOK = 3;
inline constexpr u8 ASNP_STOP = 4;  // continuation step failed
inline constexpr u8 ASNP_MORE = 5;  // continuation done / more to deliver

// Error byte of the context.
enum : u8 {
  ASNP_ERR_NONE = 0,
  ASNP_ERR_UNSUPPORTED = 1,      // value, length or range beyond this codec
  ASNP_ERR_OUT_OF_BOUNDS = 2,    // value or length outside its constraint
  ASNP_ERR_NO_ROOM_DEST = 3,     // decoded contents larger than the destination
  ASNP_ERR_WRITE_CONT = 11,      // a write continuation was in progress
  ASNP_ERR_NO_BUFFER = 12,       // no pool buffer while encoding
  ASNP_ERR_NO_ROOM = 13,         // no more room in flat mode
  ASNP_ERR_READ_CONT = 21,       // a read continuation was in progress
  ASNP_ERR_OPEN_NO_BUFFER = 22,  // no pool buffer while copying an open type
  ASNP_ERR_END_OF_DATA = 23,     // the data ended
  ASNP_ERR_EMPTY_BUFFER = 24,    // a buffer of the chain holds no data
};

// Continuation codes of asnp_continue.
inline constexpr u8 ASNP_CONT_WRITE = 11;
inline constexpr u8 ASNP_CONT_READ = 21;

// Kinds: 0 no extension marker, 7 extensible type, 3 extensible SEQUENCE OF.
inline constexpr u8 ASNP_KIND_ROOT = 0;
inline constexpr u8 ASNP_KIND_SEQ_OF_EXT = 3;
inline constexpr u8 ASNP_KIND_EXT = 7;

inline constexpr u32 ASNP_UNBOUNDED = 0xFFFFFFFFu;

// Length determinant kinds of asnp_get_length / asnp_put_length.
enum class asnp_length_kind : u8 {
  constrained,     // by (lb, ub); unbounded ub falls back to unconstrained
  normally_small,  // extension bitmaps
  unconstrained,
};

// Room supplier for flat encoding: returns an area of *new_size bytes that
// already holds the `written` bytes at its start (a grown copy), or null.
using asnp_room_fn = u8* (*)(void* arg, u32 written, u32* new_size);

struct asnp_context {
  chain_pool* pool = nullptr;  // where chain buffers come from
  u8 mode = 0;                 // ASNP_MODE_CHAIN or ASNP_MODE_FLAT
  u8 error = ASNP_ERR_NONE;
  bool encoding = false;
  u8* buf_start = nullptr;      // current buffer's data (after any headroom)
  u32 buf_size = 0;             // decoding: bytes present; encoding: room
  chain_buf first = nullptr;    // first buffer of the chain (none when flat)
  chain_buf current = nullptr;  // buffer the cursor is in
  u16 capacity = 0;             // data room of one pool buffer
  u16 headroom = 0;             // bytes kept free in front of the first buffer
  u32 pos = 0;                  // current byte within the buffer
  u8 bits = 8;                  // bits free (encoding) / unread (decoding); 8 aligned
  u32 bytes_before = 0;         // bytes in the buffers before the current one
  u32 limit = 0;                // decoding: total bytes that may be read
  // octet-string delivery state: 'I' idle, 'L' a long string in pieces
  u8 ostr_state = 'I';
  u32 ostr_piece = 0;
  u32 ostr_length = 0;
  u32 ostr_left = 0;
  void* room_arg = nullptr;
  asnp_room_fn room_fn = nullptr;
};

inline constexpr u8 ASNP_MODE_CHAIN = 0;
inline constexpr u8 ASNP_MODE_FLAT = 1;

// --- context handling -------------------------------------------------------

// Flat mode when `flat` is given (size bytes, room_fn may grow it); otherwise
// chain mode with buffers from `pool`, encoding `headroom` bytes into the
// first buffer.  Returns ASNP_NOK (error 12) when no first buffer is had.
u8 asnp_init_encode(asnp_context& ctx, u8* flat, u32 size, u16 headroom, chain_pool* pool,
                    asnp_room_fn room_fn = nullptr, void* room_arg = nullptr);
// Completes a partly written last byte with 0 bits, records the last
// buffer's size and hands over: data start, length in bytes and the chain
// (which the context no longer owns).  The first buffer's size counts the
// headroom.
[[nodiscard]] u8 asnp_end_encode(asnp_context& ctx, u8** data, u32* length, chain_buf* first);
// Decodes `src.length` bytes of `src` (flat or chained; `pool` walks chains).
u8 asnp_init_decode(asnp_context& ctx, const byte_ref& src, chain_pool* pool);
// Frees the chain an encoder still owns.
void asnp_release(asnp_context& ctx);
chain_buf asnp_alloc_buffer(chain_pool& pool);
// Continuation at the end of the current buffer: ASNP_MORE go on, ASNP_STOP fail.
u8 asnp_continue(u8 code, asnp_context& ctx);

// Bytes written so far (encoding) or read so far (decoding), counting a
// partly used byte.
u32 asnp_position(const asnp_context& ctx);
// Decoding: whole bytes still readable after the current position.
u32 asnp_bytes_left(const asnp_context& ctx);

// --- bits and octets --------------------------------------------------------

u8 asnp_get_bits(asnp_context& ctx, u8 n, u8* value);
u8 asnp_put_bits(asnp_context& ctx, u8 n, u8 value);
u8 asnp_get_u16(asnp_context& ctx, u16* value);
u8 asnp_put_u16(asnp_context& ctx, u16 value);
u8 asnp_get_octets(asnp_context& ctx, u8* out, u32 n);
u8 asnp_put_octets(asnp_context& ctx, const u8* in, u32 n);
u8 asnp_put_bit_field(asnp_context& ctx, const u8* in, u32 nbits);
u8 asnp_range_bits(u32 range);
void asnp_align(asnp_context& ctx);

// --- whole numbers and lengths ----------------------------------------------

u8 asnp_get_constrained_whole_number(asnp_context& ctx, u32* value, u32 lb, u32 ub);
u8 asnp_put_constrained_whole_number(asnp_context& ctx, u32 value, u32 lb, u32 ub);
u8 asnp_get_semi_constrained_whole_number(asnp_context& ctx, u32* value, u32 lb);
u8 asnp_put_semi_constrained_whole_number(asnp_context& ctx, u32 value, u32 lb);
u8 asnp_get_normally_small_number(asnp_context& ctx, u32* value);
u8 asnp_put_normally_small_number(asnp_context& ctx, u32 value);
u8 asnp_get_length(asnp_context& ctx, asnp_length_kind kind, u32* length, u32 lb, u32 ub);
u8 asnp_put_length(asnp_context& ctx, asnp_length_kind kind, u32 length, u32 lb, u32 ub);

// --- constructs ---------------------------------------------------------------

// kind 0: constrained when ub is bounded, else semi-constrained; kind 7: an
// extension bit, then the constrained number (or, outside the root, an
// unconstrained whole number, reported back through *extended).
u8 asnp_set_integer(asnp_context& ctx, u8 kind, u32 value, u32 lb, u32 ub);
u8 asnp_get_integer(asnp_context& ctx, u8 kind, u32* value, u32 lb, u32 ub, bool* extended = nullptr);
// Values above `highest_root` are extension values (kind 7 only): bit 1 and
// a normally small number (value - highest_root - 1).
u8 asnp_set_enumerated(asnp_context& ctx, u8 kind, bool extended, u32 value, u32 highest_root);
u8 asnp_get_enumerated(asnp_context& ctx, u8 kind, bool* extended, u32* value, u32 highest_root);
u8 asnp_set_choice(asnp_context& ctx, u8 kind, bool extended, u32 index, u32 highest_root);
u8 asnp_get_choice(asnp_context& ctx, u8 kind, bool* extended, u32* index, u32 highest_root);
// n presence bits (n <= 8), the first optional field in the highest bit.
u8 asnp_set_sequence(asnp_context& ctx, u8 kind, u8 n_optional, u8 presence);
u8 asnp_get_sequence(asnp_context& ctx, u8 kind, u8 n_optional, u8* presence);
u8 asnp_set_sequence_of(asnp_context& ctx, u8 kind, bool extended, u32 count);
u8 asnp_get_sequence_of(asnp_context& ctx, u8 kind, bool* extended, u32* count);
u8 asnp_set_octet_string(asnp_context& ctx, u8 kind, u32 length, u32 lb, u32 ub, const u8* data);
// Resumable: *length holds the destination's room on entry; a longer string
// is delivered one destination-full at a time with ASNP_MORE, the last piece
// with ASNP_OK; *length is the size of the piece delivered.
u8 asnp_get_octet_string(asnp_context& ctx, u8 kind, u32* length, u32 lb, u32 ub, u8* dest);
// Unconstrained length and the octets of `src` (flat or chained, walked with
// `pool`).  Empty contents are written as one 0 octet, the complete encoding
// of an empty value.
u8 asnp_set_open_type(asnp_context& ctx, const byte_ref& src, chain_pool* pool = nullptr);
// With `dest`, copies the contents when they fit *size bytes; without it,
// copies them into a new chain of `out_pool` buffers returned in *chain
// (none for empty contents).  *size is the contents' length.
u8 asnp_get_open_type(asnp_context& ctx, u8* dest, u32* size, chain_buf* chain, chain_pool* out_pool = nullptr);

}  // namespace kv::t38
