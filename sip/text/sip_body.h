// SIP message body and multipart parts: the body is recorded, not
// interpreted, as one body record or one record per multipart part.
#pragma once

#include <cstdint>

#include "sip/text/sip_hdr.h"
#include "sip/text/sip_hdr_parse.h"
#include "platform/int_types.h"

// Largest body accepted: the most one datagram can carry (the length field
// of a record is 16 bits).  A larger body is refused and answered 400.
constexpr u32 SIP_BODY_MAX = 65535;

// Result of sip_parse_body when the data is shorter than Content-Length.
constexpr u8 SIP_BODY_SHORT = 0x81;

// With `cursor` at the first byte after the blank line: 62 when the body
// (or the last part's body) was stored, 0 when it is refused, 0x81 when the
// data is shorter than Content-Length.
[[nodiscard]] u8 sip_parse_body(sip_parser& ps);
// Stores the text from `cursor` to `end` as the body record of the current
// instance index: 62, or 0 for a third body or one above SIP_BODY_MAX.
u8 sip_store_body(sip_parser& ps);
// Recognises one header line of a body part: 17 Content-Type, 13
// Content-Disposition, 62 the blank line, 0 any other line (skipped).
u8 sip_parse_part_header(sip_parser& ps);
// Results of sip_find_boundary.
enum sip_boundary_rc : u8 {
  SIP_BOUNDARY_FOUND = 2,  // `*next` the line after it, `cursor` the end of the content before it
  SIP_BOUNDARY_NONE = 3,
  SIP_BOUNDARY_CLOSE = 4,  // "--" after the boundary: the close delimiter
};
// From `cursor`, looks line by line for "--" and the boundary of the first
// Content-Type.
[[nodiscard]] sip_boundary_rc sip_find_boundary(sip_parser& ps, char** next);
