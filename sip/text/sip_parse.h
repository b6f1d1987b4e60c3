// SIP message parser: turns the text of one received request or response
// into the header work area (start line, header records, counts, body).
#pragma once

#include <cstddef>
#include <cstdint>

#include "sip/text/sip_hdr.h"
#include "sip/text/sip_hdr_parse.h"
#include "platform/int_types.h"

// Results of sip_parse_message.
constexpr u8 SIP_PARSE_MORE = 2;        // parsed; more data follows (stream)
constexpr u8 SIP_PARSE_REJECTED = 3;    // rejected (answered where due)
constexpr u8 SIP_PARSE_DONE = 4;        // parsed; nothing left
constexpr u8 SIP_PARSE_INCOMPLETE = 5;  // no whole message yet, or short body
constexpr u8 SIP_PARSE_BAD_URI = 19;    // malformed Request-URI or version

// Sets up a parse of `len` bytes at `data` as the receive loop does: zeroes
// the instance counts and the instance index of the parser's work area and
// points its cursor at the data.  The data is rewritten in place
// (continuation lines are joined) and must stay in place while the work area
// is read.  The parser is the caller's: a parse keeps its state in it and
// its work area (unescaped copies go to the entity's work blocks,
// sip_work__alloc).
void sip_parse__start(sip_parser& ps, char* data, std::size_t len);

// Parses the message at `cursor`; `datagram` is 1 for one received UDP
// datagram, 0 for a stream that may hold several messages or part of one.
[[nodiscard]] u8 sip_parse_message(sip_parser& ps, int datagram);

u8 sip_parse_start_line(sip_parser& ps);
u8 sip_parse_request_uri(sip_parser& ps);
// Recognises the header name at `cursor`: a sip_header_id, 62 (a body
// follows), 130 (end of the headers) or 0 (unknown name, line skipped).
sip_header_id sip_parse_header_name(sip_parser& ps);
