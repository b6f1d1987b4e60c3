// Stateless responses built by the SIP stack itself: the answer to the
// request just parsed (parser refusals, admission, dialog machine) and the
// answer to the request pending in the current dialog (time-outs, internal
// failures).  Both leave the header work area as they found it.
#pragma once

#include <cstdint>

#include "sip/text/sip_encode.h"
#include "platform/int_types.h"

// Answers the request in the work area with `status` and `reason` (at most
// 63 characters are kept); `retry_after` seconds (0 = none) add a
// Retry-After, status 501 an Allow of the known methods.  Sent only when the
// request has CSeq, Call-ID, From, To and at least one Via; a missing To tag
// is made from 32 random bits.  Always a datagram to the transport (mode 2
// is sent as mode 1).  The result of sip_encode_message, or SIP_RESULT_NOK
// when nothing was sent.
[[nodiscard]] u8 sip_build_response(u16 status, const char* reason, u16 retry_after, u8 mode);

// The form the message parser calls (sip_parse_env.build_response).
void sip_build_response__for_parser(u16 status, const char* reason, int retry_after, int datagram);

// Answers the request pending in the current dialog (sip_encode_env.pending)
// through the call's transaction (mode 2).  Nothing when the dialog has no
// pending request.  The result of sip_encode_message, or SIP_RESULT_NOK.
[[nodiscard]] u8 sip_build_pending_response(u16 status, const char* reason);
