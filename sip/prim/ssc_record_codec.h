// SSC record codec: converts the header instances of an `ssc_handle` into the
// elements of a SIP primitive body (`sip_prim_buf`) and back, header by
// header, through the element bindings of ssc_record_layout.h and the header
// map of ssc_sip_map.h.
//
// `ssc_record_codec_table` has one row per SSC header id (0..96): encode,
// decode and new-instance functions, or none for ids that never cross.  The
// two walks drive it for the session-control entity:
//   ssc_encode_to_sip    handle -> primitive body (a runtime buffer chain);
//                        beside a body (60) the SDP description headers
//                        (61-65, 75) are not sent: the body carries them
//   ssc_decode_from_sip  primitive body -> handle (already initialised with
//                        its type); beside a body the SDP description
//                        elements are not read: the glue reads the text
// Both run on the shared element cursor (sip_prim_cur) in the entities'
// thread, one body at a time.
//
// Results: SSC_RC_OK (2), or a failure number with the header id it concerns
// (ssc_rc_fail).  An identifier longer than its bound is refused (19), never
// cut; a body that does not hold together gives 21; a handle without room
// for a decoded instance or its texts gives 24 and the decode stops: the
// caller must drop the handle, whose lists are then incomplete.  Decoded texts
// are copied into the handle's area, so the handle never points into the body.
#pragma once

#include "runtime/buffer.h"
#include "sip/prim/ssc_msg.h"
#include "sip/prim/ssc_record_layout.h"
#include "sip/prim/ssc_sip_map.h"

inline constexpr u8 SSC_RC_OK = 2;
inline constexpr u8 SSC_RC_NO_ROOM = 3;       // no buffer, or the body outgrows its buffers
inline constexpr u8 SSC_RC_TOO_LONG = 19;     // an identifier over its bound, or too many bytes
inline constexpr u8 SSC_RC_NO_LIST = 22;      // the handle's type does not cross
inline constexpr u8 SSC_RC_MALFORMED = 21;    // the body does not hold together
inline constexpr u8 SSC_RC_HANDLE_FULL = 24;  // no room in the handle for a decoded header

struct ssc_rc_fail {
  u8 error = SSC_RC_OK;
  ssc_header_id id = ssc_header_id::PROFILE_PARMS;  // the header concerned
};

// One row of the codec table.  A null function: the id is skipped.
using ssc_rc_encode_fn = u8 (*)(ssc_header_id id, void* inst, u16 slot_offset, ssc_rc_fail* fail);
using ssc_rc_decode_fn = u16 (*)(ssc_header_id id, void* inst, ssc_rc_fail* fail);
using ssc_rc_new_fn = void* (*)(ssc_handle* h, ssc_header_id id, void** head, const u8* slot, ssc_rc_fail* fail);
struct ssc_record_codec_row {
  u16 id;    // the row's SSC id; 0 for ids that are not SSC headers
  u16 size;  // the instance size of the id
  ssc_rc_decode_fn decode;
  ssc_rc_encode_fn encode;
  ssc_rc_new_fn new_instance;
};
extern const ssc_record_codec_row ssc_record_codec_table[SSC_HEADER_ID_COUNT];

// Method letters and message types (`ssc_kind_type_map`, 29 pairs).
inline constexpr unsigned SSC_KIND_TYPE_PAIRS = 29;
extern const u8 ssc_kind_type_map[SSC_KIND_TYPE_PAIRS][2];
// The type of the first pair with the letter (0xFF gives 40); 0xFF for none.
u8 ssc_kind__type_of_letter(u8 letter);
// The letter of pair `index`; 0xFF for an index of 29 or more.
u8 ssc_kind__letter_of_type(u8 index);

// The handle's headers as a new primitive body of its type's SIP kind.  On
// success *out holds the chain (the caller's) and its first buffer's
// data_size the body length; on failure nothing is left allocated.
[[nodiscard]] u8 ssc_encode_to_sip(ssc_handle* h, buffer_t** out, ssc_rc_fail* fail);
// Adds the headers of the flat `body` (length bytes) to the handle, which
// has been initialised with the type the body belongs to.
[[nodiscard]] u8 ssc_decode_from_sip(ssc_handle* h, const u8* body, u16 length, ssc_rc_fail* fail);
