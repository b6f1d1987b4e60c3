#include "fax/t30_cause.h"

#include <array>

namespace {

constexpr std::array<std::string_view, 44> kCauseText = {
    "",
    "disconnection ok, local",
    "disconnection ok, remote",
    "disconnection ok, unspecified",
    "forced disconnection",
    "disconnection nok, remote",
    "no CTS off-to-on",
    "Transmit watchdog timer expiration",
    "FAX-STRATA user initiated disconnection",
    "No Carrier Detect",
    "Unexpected message",
    "No or invalid frame received",
    "Entity reset requested",
    "T1 exp, no DIS received",
    "T1 or TWtDo timer expired, no application answer",
    "T1 timer expired while sending DIS, no peer entity answer",
    "end of page timer expired no application answer",
    "invalid request queue (internal error)",
    "no more free slot",
    "user-initiated abort (T30_WHAT_TO_DO_IN answer)",
    "invalid capability",
    "incompatible received DCS",
    "incompatible received DTC",
    "no CFR received",
    "training (TCF) transmission tries exhausted",
    "Unexpected HDLC frame, abort",
    "Unexpected HDLC frame, graceful end",
    "HDLC frame too long",
    "T30_END_PAGE_RQ watchdog timer expired",
    "no MCF/RTN/RTP/PIN/PIP received as answer to our \"non-EOP\"",
    "argument error in T30_END_PAGE_RS",
    "Unexpected event, end",
    "not enough storage available",
    "no \"end of page\" frame received",
    "abnormal received training (TCF) probably too long",
    "ECM: too many errors signalled by remote",
    "ECM: T5 (RNR/RR) inactivity timer expired",
    "ECM: No RR received in time",
    "Receive watchdog timer expiration",
    "Too many T.4 lines received",
    "Too many bits received for a T.4 line",
    "V.34 carrier lost",
    "no MCF/RTN/RTP/PIN/PIP received as answer to our [PPS.][PRI-]EOP",
    "reset configuration requested",
};

}  // namespace

std::string_view t30_cause_text(unsigned n) { return n < kCauseText.size() ? kCauseText[n] : std::string_view{}; }
