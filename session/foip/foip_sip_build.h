// SIP requests and answers of the FOIP entity's calls, built as SSC message
// handles on the SIP side's build handle and sent to ENT_SSC.
//
// Each message builder opens the build handle for its message type, prints
// its event line, adds its headers in a fixed order, formats the handle with
// SIP_sc_format_rq and sends the primitive to ENT_SSC.  Failures are traps
// naming the builder; nothing is sent when the handle, the status header or
// the formatting fails.  A header that cannot be added is reported and the
// builder goes on with the others.
//
// The builders here take the call's connection id (and its description);
// the session-dependent builders (set-param, INVITE, REGISTER) join them
// with the call records.
#pragma once

#include "runtime/types.h"
#include "session/foip/foip_sdp.h"
#include "sip/prim/ssc_msg.h"

inline constexpr char FOIP_SIP__PRODUCT[] = "Calderwyn-Sip-T.38IAF";
inline constexpr char FOIP_SIP__VERSION[] = "v2.7.0";
inline constexpr char FOIP_SIP__COMMENT[] = "PRODUCT ID:7, 25 Nov 2009";
inline constexpr u32 FOIP_SIP__MAX_FORWARDS = 70;

// Primitive letters sent to ENT_SSC.
inline constexpr code_t FOIP_SIP__INVITE_RS = 'a';
inline constexpr code_t FOIP_SIP__ACK_RQ = 'B';
inline constexpr code_t FOIP_SIP__CLOSE_SESSION_RQ = 'R';
inline constexpr code_t FOIP_SIP__OPTIONS_RS = 'c';

// The steps every message builder shares, for this file's builders and the
// call builders.  A trap of the class FOIP__TRAP_CLASS whose text names the
// builder `who` and what failed.
void foip_sip__trap(nai_t nai, u16 conn_id, u16 code, const char* name, const char* who, const char* what);
// A new header of the handle; null, with a trap, when none can be had.
[[nodiscard]] void* foip_sip__add_header(ssc_handle* h, ssc_header_id id, nai_t nai, const char* who);
// Opens the handle for a message type; false, with a trap, when it cannot.
// The event line is printed before or after as the builder wants it.
[[nodiscard]] bool foip_sip__open_handle(ssc_handle* h, ssc_msg_type type, nai_t nai, u16 conn_id, const char* who);
// Formats the handle and sends it to ENT_SSC as primitive `code`: 2 sent,
// 3 not (trap raised).
[[nodiscard]] u8 foip_sip__send_handle(ssc_handle* h, nai_t nai, u16 conn_id, code_t code, const char* who);

// Header builders: 2 added, 3 not (trap raised).
u8 build_sip_header__max_forwards(ssc_handle* h, nai_t nai);
u8 build_sip_header__user_agent(ssc_handle* h, nai_t nai);
u8 build_sip_header__server(ssc_handle* h, nai_t nai);
u8 build_sip_header__content_type(ssc_handle* h, nai_t nai);
u8 build_sip_header__allow(ssc_handle* h, nai_t nai);

// Message builders: 2 sent, 3 not sent.  `nai` is the FOIP entity's
// signalling nai.
u8 send_ssc_invite_rs_PROVISIONAL(ssc_handle* h, nai_t nai, u16 conn_id, u8 kind);
u8 send_ssc_invite_rs_NOK(ssc_handle* h, nai_t nai, u16 conn_id, u16 status, const char* reason);
u8 send_ssc_invite_rs_OK(ssc_handle* h, nai_t nai, u16 conn_id, const sip_mgt__sdp_contents& sdp);
u8 send_ssc_ack_rq(ssc_handle* h, nai_t nai, u16 conn_id);
u8 send_ssc_close_session_rq(ssc_handle* h, nai_t nai, u16 conn_id, u16 status, const char* reason);
u8 send_ssc_options_rs_OK(ssc_handle* h, nai_t nai, u16 conn_id);
