// Names of ENT_FOIP's own messages and timers for the message trace.
#include <cstring>

#include "runtime/dcod.h"
#include "session/foip/foip.h"
#include "session/foip/foip_ctx.h"

namespace {

constexpr dcod__name kTimers[] = {
    {FOIP__TI_LAUNCH_FAX, "TI_LAUNCH_FAX"}, {FOIP__TI_T38_DLY, "TI_T38_DLY"},     {FOIP__TI_TRC, "TI_TRC"},
    {FOIP__TI_GENERAL, "TI_GENERAL"},       {FOIP__WAIT_T38_CAP, "WAIT_T38_CAP"}, {DCOD__END, nullptr}};

// Internal messages of the session-control automaton (ENT_FOIP to itself).
// FOIP_MGT__SIP_CALL_CLOSED shares its code with the user's
// FOIP__T38_CAPABILITIES_RQ: the body decoder names the internal one.
constexpr dcod__name kNames[] = {{FOIP_MGT__SIP_CALL_OPENED, "FOIP_MGT__SIP_CALL_OPENED"},
                                 {FOIP_MGT__T38_OPENED, "FOIP_MGT__T38_OPENED"},
                                 {FOIP_MGT__T38_CLOSED, "FOIP_MGT__T38_CLOSED"},
                                 {FOIP_MGT__FAX_OPENED, "FOIP_MGT__FAX_OPENED"},
                                 {FOIP_MGT__FAX_CLOSED, "FOIP_MGT__FAX_CLOSED"},
                                 {FOIP_MGT__START_DONE, "FOIP_MGT__START_DONE"},
                                 {AUTO_FOIP_MGT, "AUTO_FOIP_MGT"},
                                 {DCOD__END, nullptr}};

// The automaton trace record: event, old and new state, two branch letters,
// then its text (shown as text).
constexpr u32 kTraceTextAt = 5;

u32 body(dcod__body& b) {
  const dcod__msg_view& m = *b.m;
  if (m.from != ENT_FOIP || m.to != ENT_FOIP) return 0;
  if (m.code == FOIP_MGT__SIP_CALL_CLOSED) b.fixed_name = "FOIP_MGT__SIP_CALL_CLOSED";
  if (m.code == AUTO_FOIP_MGT && m.length > kTraceTextAt) {
    const char* text = reinterpret_cast<const char*>(m.data) + kTraceTextAt;
    const size_t n = strnlen(text, m.length - kTraceTextAt);
    b.out->printf("%.*s", static_cast<int>(n), text);
    return m.length;
  }
  return 0;
}

}  // namespace

const dcod__vocabulary foip_vocabulary = {kNames, body, kTimers};
