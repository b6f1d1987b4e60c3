// SIP URI and address parser: sip and sips URIs with their parameters and
// headers, telephone numbers of user=phone URIs, other schemes as opaque text.
#pragma once

#include "sip/text/sip_hdr.h"
#include "platform/int_types.h"

// Parses the text from `cursor` to `line_end` into `addr`.  2 or 3; `cursor`
// is left at `line_end` either way.
int sip_parse_uri(sip_scan_state_t& sc, sip_addr* addr);
// The same for a URI without angle brackets in a name-address header: no URI
// parameters or headers are read, only blanks may follow the host and port.
int sip_parse_uri_noparams(sip_scan_state_t& sc, sip_addr* addr);

// True when `host` is written as four dot-separated digit groups that do not
// form an IPv4 address (a group above 255, or of more than three digits).
bool sip_host__dotted_quad_test(sip_str host);

// Field limits of a parsed URI.
constexpr u16 SIP_URI_USER_MAX = 64;
constexpr u16 SIP_URI_HOST_MAX = 64;
constexpr u16 SIP_URI_PASSWORD_MAX = 64;
constexpr u16 SIP_URI_HEADERS_MAX = 20;
constexpr u16 SIP_URI_PHONE_MAX = 25;
