// The values a SIP primitive carries beside the parsed headers: the part of
// the header work area that the element codecs and the text encoder share.
#pragma once

#include "sip/text/sdp.h"
#include "sip/text/sip_hdr.h"
#include "platform/int_types.h"

// Ids of the elements that the parser's numbering has no name for.
inline constexpr sip_header_id SIP_HDR_SDP_SESSION = static_cast<sip_header_id>(63);
inline constexpr sip_header_id SIP_HDR_SDP_MEDIA = static_cast<sip_header_id>(64);
inline constexpr sip_header_id SIP_HDR_SDP_FORMAT = static_cast<sip_header_id>(65);
inline constexpr sip_header_id SIP_HDR_SDP_TEXT_MEDIA = static_cast<sip_header_id>(66);
inline constexpr sip_header_id SIP_HDR_SDP_ORIGIN = static_cast<sip_header_id>(67);
inline constexpr sip_header_id SIP_HDR_DISPOSITION_70 = static_cast<sip_header_id>(70);
inline constexpr sip_header_id SIP_HDR_SDP_IMAGE = static_cast<sip_header_id>(83);

// The part of the work area that the parser does not fill: the parsed SDP
// description, the disposition element 70, the values of a request to be
// sent that only a downward request carries, and the receive-path values the
// Via encoder writes.
struct sip_prim_area_t : sdp_records {
  sip_disposition_rec disposition_70[2];
  // Request line of a request to be sent.
  u16 rl_dest_port = 0xFFFF;  // 0xFFFF: from the first Route or the Request-URI
  u8 rl_next_hop = 0;         // 1: to the Request-URI even with Route headers
  sip_str rl_dest_addr;       // 4 address bytes, or empty
  // Via: the first Via number (copied both ways), and what the receive path
  // knew of the message (written by the encoder only).
  u16 via_number = 0;
  u16 local_port = 0;
  sip_str source_addr;
};
extern sip_prim_area_t sip_prim_area;
