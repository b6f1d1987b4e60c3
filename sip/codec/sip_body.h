// SIP message body and multipart parts: the body is recorded, not
// interpreted, as one body record or one record per multipart part.
#pragma once

#include <cstdint>

#include "sip/codec/sip_hdr.h"

// Largest body accepted: the most one datagram can carry (the length field
// of a record is 16 bits).  A larger body is refused and answered 400.
constexpr std::uint32_t SIP_BODY_MAX = 65535;

// Result of sip_parse_body when the data is shorter than Content-Length.
constexpr std::uint8_t SIP_BODY_SHORT = 0x81;

// With `cursor` at the first byte after the blank line: 62 when the body
// (or the last part's body) was stored, 0 when it is refused, 0x81 when the
// data is shorter than Content-Length.
std::uint8_t sip_parse_body();
// Stores the text from `cursor` to `end` as the body record of the current
// instance index: 62, or 0 for a third body or one above SIP_BODY_MAX.
std::uint8_t sip_store_body();
// Recognises one header line of a body part: 17 Content-Type, 13
// Content-Disposition, 62 the blank line, 0 any other line (skipped).
std::uint8_t sip_parse_part_header();
// From `cursor`, looks line by line for "--" and the boundary of the first
// Content-Type: 2 found (`*next` the line after it, `cursor` the end of the
// content before it), 4 the close delimiter, 3 none.
std::uint8_t sip_find_boundary(char** next);
