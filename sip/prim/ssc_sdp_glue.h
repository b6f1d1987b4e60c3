// SDP body glue: between the fax session and session control an SDP
// description travels inside the `ssc_handle` as structured SSC SDP headers
// (61 session, 65 origin, 62 audio/video, 63 rtpmap, 64 other media, 75 T.38
// image); between session control and the SIP transaction entity it travels
// as text in the body header (60).  Both directions run in session control's
// thread on one module-wide description whose records are cleared at the
// start of every conversion (no value of an earlier call survives).
//
//   ssc_sdp_decode_body  the SDP text of a received message becomes SSC SDP
//                        headers.  A body that does not parse (or carries an
//                        IPv6 connection) is refused: a request is answered
//                        400 "Bad request" (result 3); every refusal, of a
//                        request or of a response, is reported with number 61
//                        and the message keeps its body header, without SDP
//                        headers.
//   ssc_sdp_encode_body  the SSC SDP headers of a message from the user
//                        become SDP text in a body header.  Every failure sets
//                        ssc_sdp_error (number and detail) and gives 3.  The
//                        T.38 headers (75) stay linked in the handle; the
//                        record codec does not send SDP headers beside a body,
//                        so the description crosses once.  A message without
//                        Content-Type gets one ("A", "H") with the body.
#pragma once

#include "runtime/types.h"
#include "sip/text/sdp.h"
#include "sip/prim/ssc_msg.h"

// What the glue needs of the session-control entity.  Unset entries: no
// response can be made (the message is treated as a response), nothing is
// reported.
struct ssc_sdp_glue_hooks {
  // A new response handle for the request `h` (null when h is no request).
  ssc_handle* (*new_response_handle)(ssc_handle* h) = nullptr;
  // Sends the response handle (and takes it).
  void (*send_response)(ssc_handle* response) = nullptr;
  // Report to system management: kind 'k', class 'r' (error) or 'e' (event),
  // the number.
  void (*report_error)(u8 kind, u8 error_class, u16 number) = nullptr;
};
extern ssc_sdp_glue_hooks ssc_sdp_glue_env;

// Error numbers and details of ssc_sdp_encode_body: number 19 a header that
// cannot be converted or fails its check, 20 one instance more than the
// description holds, 21 the text does not fit its buffer or no buffer; the
// detail is the SSC header id as a character ('=' 61, 'A' 65, '>' 62, '?' 63,
// '@' 64, 'K' 75, '<' 60 for the text).
struct ssc_sdp_error_t {
  u8 number = 0;
  u8 detail = 0;
};
extern ssc_sdp_error_t ssc_sdp_error;
inline constexpr u8 SSC_SDP_BAD_HEADER = 19;
inline constexpr u8 SSC_SDP_TOO_MANY = 20;
inline constexpr u8 SSC_SDP_NO_TEXT = 21;
inline constexpr u16 SSC_SDP_REPORT_REFUSED = 61;

// 2 done or nothing to do; 3 the body was refused (a request, answered).
[[nodiscard]] u8 ssc_sdp_decode_body(ssc_handle* h);
// 2 done or nothing to do; 3 failure (ssc_sdp_error set).
[[nodiscard]] u8 ssc_sdp_encode_body(ssc_handle* h);

// Searches rows from the last to the first for `code` (16 bits compared): 2
// with *text its keyword, 3 when absent.
u8 sdp_table__text_by_code(u16 code, const char** text, const sdp_keyword_row* rows, u32 count);
// True when a 60, 66 or 67 header carries part number n (for n = 0 also 0xFF).
bool ssc_sdp__has_part(ssc_handle* h, u8 n);
// Every 60, 66 and 67 header: part 0xFF becomes k, any other grows by k.
void ssc_sdp__shift_parts(ssc_handle* h, u8 k);
// Unlinks the first 60, 66 and 67 header with that part number.
void ssc_sdp__remove_part(ssc_handle* h, u8 n);
