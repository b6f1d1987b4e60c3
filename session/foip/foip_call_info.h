// What the SIP messages of a call say about its parties: the user and host
// parts of an address header, the far end's product (User-Agent / Server),
// and the media-address text of the SDP traces.
//
// Contract: every text read from the network is cut to its field and
// terminated; outputs are cleared first; a missing or unset header is
// reported, never read.
#pragma once

#include <cstddef>

#include "runtime/types.h"
#include "session/foip/app_foip_prim.h"
#include "session/config/foip_param.h"
#include "sip/prim/ssc_header.h"

inline constexpr std::size_t FOIP_CALL__USER_NAME_SIZE = 65;
inline constexpr std::size_t FOIP_CALL__PHONE_SIZE = 26;
inline constexpr std::size_t FOIP_CALL__PRODUCT_SIZE = 32;
inline constexpr std::size_t FOIP_CALL__VERSION_SIZE = 16;
inline constexpr std::size_t FOIP_CALL__COMMENT_SIZE = 32;

// Party kinds.
inline constexpr u8 FOIP_CALL__BY_PHONE = 1;
inline constexpr u8 FOIP_CALL__BY_NAME = 2;

// 2 a user part was found (kind 1 telephone number, 2 user name), 3 none.
[[nodiscard]] u8 read_sip_user_part(const ssc_hdr_name_addr* h, u8* kind, char (&name)[FOIP_CALL__USER_NAME_SIZE],
                                    char (&phone)[FOIP_CALL__PHONE_SIZE]);
// 2, or 3 when there is no header (the address is cleared either way).
u8 read_sip_host_part(const ssc_hdr_name_addr* h, foip__full_ip_addr& out, u16 default_port = 5060);
void read_sip_user_agent(const ssc_hdr_product* h, char (&product)[FOIP_CALL__PRODUCT_SIZE],
                         char (&version)[FOIP_CALL__VERSION_SIZE], char (&comment)[FOIP_CALL__COMMENT_SIZE]);

// Header images (FOIP API): one SIP address header as the application sees
// it.  `fields` selects what the kind fills (Request-URI: no display name
// and no header parameters; From / To: no transport, method, TTL, maddr;
// P-Asserted-Identity and header 72: everything but header parameters).
// Every text is cut to its field and terminated.
void read_sip_header_image(u8 kind, const char* display_name, const ssc_uri* uri, const char* header_params,
                           foip__sip_header_image& out);

// "<label>"<name>" [a.b.c.d] (port)\n" into out (always terminated); the
// length written.
std::size_t format_media_address(char* out, std::size_t room, const char* label, const char* name, u8 family,
                                 const u8 ipv4[4], u16 port);

// ---------------------------------------------------------------------------
// Report texts of the SIP side (event lines and the message audit).  Each
// writes at most room - 1 characters, always terminated, and returns the
// length written; a body too short for its origin and kind writes nothing.

// Name tables of the report texts (a value not listed: "??").
const char* foip_call__ssc_cause_name(u8 cause);       // ENT_SSC report kinds
const char* foip_call__sip_call_state_name(u8 state);  // ENT_SIP dialog states

// Details of an SM_REPORT_IN of ENT_SSC or ENT_SIP (`data`: the message
// body), every line opened by `prefix`; nai and conn_id name the report's
// call in the warning line of an ENT_SIP error.
std::size_t format_sm_report_in(char* out, std::size_t room, const u8* data, u32 length, const char* prefix, int nai,
                                int conn_id);
// The report of an SSC_ERROR_IN (`data`: the message body).
std::size_t format_ssc_error_in(char* out, std::size_t room, const u8* data, u32 length, int nai, int conn_id);
