// Element encoders and decoders of the SIP primitive body, and the two loops
// that run them over a kind's header table.
//
// Upward (a parsed message becomes a primitive): sip_prim__build_up runs,
// for every row of the kind's table, the row's encoder once per instance
// that the header work area holds.  Downward (a primitive from session
// control becomes a message): sip_prim__decode_body checks the body and runs
// the decoders, which copy every element back into the work area, turn codes
// into texts and check each field.  Decoder results: 2 taken, 18 mandatory
// value empty or an address neither 0 nor 4 bytes, 19 bad value, 20 more
// instances than the header's limit, 21 a body that does not hold together,
// 48 a host written as a dotted quad that is no IPv4 address.
//
// Everything runs in the SIP entity's thread on the shared cursor and work
// area (sip_prim.h, sip_hdr.h, sip_elem_layout.h).
#pragma once

#include <cstdint>

#include "runtime/buffer.h"
#include "sip/prim/sip_elem_layout.h"
#include "sip/prim/sip_prim.h"
#include "sip/text/sip_prim_kind.h"
#include "platform/int_types.h"

// What the codec asks of the SIP transaction entity.  Unset entries: no
// report, no live call.
struct sip_prim_services {
  // sip_call__check: 2 when the call of the connection id exists and is not
  // closing, 3 otherwise.
  u8 (*call_check)(u16 conn_id) = nullptr;
  // Error report to system management (cause, detail).
  void (*report_error)(u16 cause, u8 detail) = nullptr;
  // Option bit 0x20 of the SIP configuration: a primitive may be built with
  // a mandatory header missing.
  bool allow_missing_mandatory = false;
};
extern sip_prim_services sip_prim_env;

// Code of the primitive being decoded: below 82 (the request kinds) the Via
// branch rule applies.
extern u8 sip_prim_code;

inline constexpr u16 SIP_ELEM_OK = 2;
inline constexpr u16 SIP_ELEM_MISSING = 18;
inline constexpr u16 SIP_ELEM_BAD = 19;
inline constexpr u16 SIP_ELEM_TOO_MANY = 20;
inline constexpr u16 SIP_ELEM_MALFORMED = 21;
inline constexpr u16 SIP_ELEM_MANDATORY_ABSENT = 26;
inline constexpr u16 SIP_ELEM_BAD_ADDRESS = 48;

// Writes the instance `sip_hdr_area.index` of `id` as a new node of the slot
// at byte `slot_offset`.  A failure marks the cursor failed.
void sip_elem__encode(sip_header_id id, u16 slot_offset);
// Reads the list of the u16 `slot` of the body opened in the cursor into the
// work area: one of the results above.
[[nodiscard]] u16 sip_elem__decode(sip_header_id id, const u8* slot);

// Builds the upward primitive of `entry`'s kind from the work area into a new
// buffer chain (*out).  2 built; 400 a mandatory header is missing in mode 1
// (reported with cause 26, unless allowed); 3 no buffer or the body does not
// fit its buffers or the 65,534-byte offset limit.  On failure nothing is
// left allocated.
[[nodiscard]] u16 sip_prim__build_up(const sip_kind_index_entry& entry, u8 mode, buffer_t** out);

// Checks and decodes the flat `body` of `length` bytes of a primitive of
// `table`'s kind into the work area (instance counts reset first).  2, or the
// first failing result with *failed_id the header id: 21 for an index that
// does not fit the body or a slot at or past its end, 26 for an absent
// mandatory header, else the decoder's result.
[[nodiscard]] u16 sip_prim__decode_body(const u8* body, u16 length, const sip_kind_hdr_table& table,
                                        sip_header_id* failed_id);
