// String stores and message wrapping of the SIP stack, on the runtime's
// buffers and messages.
#pragma once

#include "runtime/buffer.h"
#include "runtime/msg.h"
#include "sip/text/sip_str.h"
#include "platform/int_types.h"

// Copies the characters of `s` (up to a NUL inside its length) and a NUL into
// the head buffer of the store at *head and returns the copy.  A store
// without a buffer gets one; when the copy would fill the head buffer to its
// room or beyond, a new buffer becomes the head, linked to the old one.  Null
// when the copy cannot fit even an empty buffer or no buffer can be had.
// The owner frees the store with Free_buffer(*head).
const char* sip_str__store(buffer_t** head, sip_str s);

// Wraps a filled buffer chain into a new message.  A single buffer whose data
// fit the message's inline room behind `header_room` bytes is copied inline
// (the inline data start `header_room` bytes later) and freed.  Otherwise the
// chain is attached and every buffer of it gets one more link (each count set
// to 1 when the first buffer's count is 0, else raised by one under the pool
// lock), so that the sender may keep it, e.g. for retransmission.  Null, with
// the chain left to the caller, when no message can be had or `chain` is null.
msg_t* sip_msg__from_block(buffer_t* chain, u8 header_room);
