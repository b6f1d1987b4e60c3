// SSC message handle: one SSC message (SIP request or response, profile or
// management request) as typed header lists, kept in a runtime buffer.
//
// The handle record sits at the start of its buffer's data room; header
// instances and copied strings are taken from the free area behind it and
// from further buffers chained behind the handle's own when it fills up.
// Instances are never freed one by one: the area goes with the handle.
//
// Results are 2 (success) or 3 (failure), or a pointer (null = failure).
#pragma once
#include "runtime/buffer.h"
#include "runtime/msg.h"
#include "runtime/types.h"
#include "sip/prim/ssc_codes.h"
#include "sip/prim/ssc_header.h"

inline constexpr u8 SSC_HANDLE_KIND = 0x22;
inline constexpr u8 SSC_HANDLE_KIND_ALT = 0x33;  // accepted as a handle, never set here
inline constexpr u16 SSC_NO_NUMBER = 0xFFFF;

// Runtime traps raised by the handle module.
inline constexpr u16 SSC_TRAP_AREA_LOST = 396;    // free area in no block of the handle
inline constexpr u16 SSC_TRAP_RECORD_SIZE = 397;  // handle record larger than a buffer

struct ssc_handle {
  u8 kind;            // SSC_HANDLE_KIND for a live handle
  ssc_msg_type type;  // NONE until initialised
  u8 ref_count;       // holders; change under om_os_lock
  u8 carried_byte_0;
  u16 transaction_number;  // SSC_NO_NUMBER: none
  u16 area_total;          // bytes of the blocks the handle owns
  u16 area_free;           // bytes left in the current block
  u8* area_next;           // first free byte of the current block
  buffer_t* rx_buffer;     // received chain the strings point into (one reference held)
  u16 carried_word_1;      // 0xFFFF: none
  u16 carried_word_2;      // 0xFFFF: none
  u16 addr_port;
  u8 addr_family;  // '4', '6', other: no address
  u8 addr_v4[4];
  u8 addr_v6[16];
  u8 carried_byte_1;            // 0xFF: none
  u8 carried_byte_2;            // 0xFF: none
  void* lists[SSC_LIST_SLOTS];  // one list head per header id, by its desc slot
};
// The record is followed by the free area; instances hold pointers, so the
// area starts 8-aligned.
inline constexpr u32 SSC_HANDLE_RECORD_SIZE = (sizeof(ssc_handle) + 7) & ~7u;
static_assert(SSC_HANDLE_RECORD_SIZE <= 1600 - 600, "the handle record must leave room for headers");

// True for a record marked as a live handle.
inline bool ssc_is_handle(const ssc_handle* h) {
  return h && (h->kind == SSC_HANDLE_KIND || h->kind == SSC_HANDLE_KIND_ALT);
}

// Address of the list head of an id, or null for an id without a list.
void** Ssc_list_head(ssc_handle* h, ssc_header_id id);
// First instance of an id, typed by the caller (null when none).
template <class T>
T* Ssc_first(ssc_handle* h, ssc_header_id id) {
  void** head = Ssc_list_head(h, id);
  return head ? static_cast<T*>(*head) : nullptr;
}

// New handle in a fresh buffer (type NONE, area not set up), or null.
ssc_handle* Ssc_alloc_handle();
// Empties the handle for reuse as `type`.  3 for a null handle, a record that
// is not a handle, ref_count other than 1, or a type of 41 or more.
u8 Ssc_init_handle(ssc_handle* h, ssc_msg_type type);
// New instance (filled with 0xFF, then initialised) appended to the id's
// list; null for an id without a list, a record that is not a handle, or no
// room.
void* Ssc_alloc_header(ssc_handle* h, ssc_header_id id);
// The same, appended to the list whose head the caller passes.
void* Ssc_add_header_to_list(ssc_handle* h, void** head, ssc_header_id id);
// n bytes of the handle's area (8-aligned), or null.
void* Ssc_alloc_area(ssc_handle* h, u16 n);
// Moves the free area to a new block; the handle, or null.
ssc_handle* Ssc_grow_handle(ssc_handle* h);
// Drops one reference; the last releases the received chain and the
// handle's buffers.  3 when not a handle.
u8 Ssc_free_handle(ssc_handle* h);
// Re-initialises target as the source's type and deep-copies the source's
// headers (strings included) into it; the target, or null when target or
// source is not a handle, the source type has no list, or the target's area
// cannot hold a header (the target is then left empty).
ssc_handle* Ssc_copy_msg(ssc_handle* target, const ssc_handle* source);

// Option tags (one-letter codes of the SIP side): true when an instance of
// Supported (52) / Require (43) has the code.
bool Ssc_supported_has_tag(ssc_handle* h, u8 tag);
bool Ssc_require_has_tag(ssc_handle* h, u8 tag);
// Mask of an option-tag list: '1' bit 0, 't' 1, 'r' 2, 'p' 3, 'h' 4, 'l' 5,
// any other code bit 7; 0 for an empty list.
u32 Ssc_option_tags_mask(const ssc_hdr_code_text* first);

// New message carrying the packed handle (the handle is kept), or null: for
// a type without destination, a type-37 handle without header 91, a message
// too big to pack, or exhausted pools.  Source ENT_NIL; destination ENT_SSC,
// or ENT_SM for type 37 (with the 8-byte management prefix).
msg_t* SIP_sc_format_rq(u16 nai, u16 conn_id, u8 sap, ssc_handle* h);
// Fills the handle from a received SSC primitive (the message stays the
// caller's).  2, or 3 for a message without a body, an unknown code, or a
// body that does not unpack (the handle is then left empty, type NONE).
u8 Ssc_unformat_msg(ssc_handle* h, const msg_t* m);

// Bytes of the 8-byte prefix of a management message to or from ENT_SM.
inline constexpr u16 SSC_SM_PREFIX_SIZE = 8;
