// SSC packed message: the byte form of an ssc_handle as the body of an SSC
// primitive.
//
// Frame at the data start of the first buffer: 0xFF, L (u16 big-endian,
// 2 + fixed part), the fixed part (type, carried words and bytes, transaction
// number, transport address), then elements {u8 header id, u16 big-endian L
// counting its own two bytes, value}.  Values and fixed fields are in host
// byte order; only the two kinds of L are big-endian.  A frame longer than
// one buffer goes on in buffers chained behind the first, each holding whole
// elements from its data start; the data sizes of the buffers end the frame.
#pragma once
#include "runtime/buffer.h"
#include "sip/prim/ssc_msg.h"

inline constexpr u8 SSC_FRAME_MARKER = 0xFF;
// Frame head (marker, L, fixed part) with no address, IPv4, IPv6.
inline constexpr u16 SSC_FRAME_HEAD_NONE = 16;
inline constexpr u16 SSC_FRAME_HEAD_V4 = 20;
inline constexpr u16 SSC_FRAME_HEAD_V6 = 32;

// Appends the frame of h (headers of `type`'s list, in list order) behind
// the buffer's data, adding to its data size and chaining further buffers
// (link count 1) as needed.  2; 3 for a type without list, an element that
// fits no whole buffer, or no buffer to chain; on 3 the buffer is as before.
u8 ssc_pack_msg(buffer_t* b, const ssc_handle* h, ssc_msg_type type);

// Reads the frame at the data start of b (skipping `skip` bytes of a
// prefix) into the initialised handle h: the fixed part overwrites its
// fields, each element becomes an instance (strings point into the chain).
// 2; 3 for a frame or element that is short, runs past the data, has an
// element L below 2, a type of 41 or more, an id of 97 or more, or an
// instance that cannot be had.  Ids without an unpack function are skipped.
u8 ssc_unpack_msg(const buffer_t* b, ssc_handle* h, u16 skip = 0);
