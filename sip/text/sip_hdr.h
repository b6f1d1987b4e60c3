// SIP header identifiers and the header work area: the records a parsed
// message lives in until the primitive codec has read it.
#pragma once

#include <cstdint>

#include "sip/text/sip_str.h"
#include "platform/int_types.h"

// Header numbers of the SIP side (the SSC side numbers its headers apart).
enum class sip_header_id : u8 {
  none = 0,
  request_line = 1,
  status_line = 2,
  accept = 3,
  accept_encoding = 4,
  accept_language = 5,
  alert_info = 6,
  allow = 7,
  authentication_info = 8,
  authorization = 9,
  call_id = 10,
  call_info = 11,
  contact = 12,
  content_disposition = 13,
  content_encoding = 14,
  content_language = 15,
  content_length = 16,
  content_type = 17,
  cseq = 18,
  date = 19,
  diversion = 20,
  error_info = 21,
  expires = 22,
  from = 23,
  history_info = 24,
  in_reply_to = 25,
  max_forwards = 26,
  mime_version = 27,
  min_expires = 28,
  min_se = 29,
  organization = 30,
  p_asserted_identity = 31,
  p_early_media = 32,
  p_media_authorization = 33,
  p_preferred_identity = 34,
  path = 35,
  priority = 36,
  privacy = 37,
  proxy_authenticate = 38,
  proxy_authorization = 39,
  proxy_require = 40,
  reason = 41,
  record_route = 42,
  replaces = 43,
  reply_to = 44,
  request_disposition = 45,
  require = 46,
  retry_after = 47,
  route = 48,
  server = 49,
  service_route = 50,
  session_expires = 51,
  session_id = 52,
  subject = 53,
  supported = 54,
  timestamp = 55,
  to = 56,
  unsupported = 57,
  user_agent = 58,
  via = 59,
  warning = 60,
  www_authenticate = 61,
  body = 62,                      // the message body in the parser
  part_content_type = 68,         // body-part Content-Type records
  part_content_disposition = 69,  // body-part Content-Disposition records
  referred_by = 78,
  end_of_headers = 130,  // returned by the name recogniser only
};

constexpr unsigned sip_hdr_slot(sip_header_id id) { return static_cast<unsigned>(id); }

constexpr u8 SIP_CODE_NONE = 0xFF;
constexpr u16 SIP_PORT_NONE = 0xFFFF;
constexpr u32 SIP_U32_NONE = 0xFFFFFFFF;

// Method codes of a received message.
constexpr u8 SIP_METHOD_RESPONSE = 0;
constexpr u8 SIP_METHOD_INVITE = 0xE1;
constexpr u8 SIP_METHOD_ACK = 0xE2;
constexpr u8 SIP_METHOD_OPTIONS = 0xE3;
constexpr u8 SIP_METHOD_BYE = 0xE4;
constexpr u8 SIP_METHOD_CANCEL = 0xE5;
constexpr u8 SIP_METHOD_REGISTER = 0xE6;
constexpr u8 SIP_METHOD_UNKNOWN = 0xFF;

// One parsed URI.
struct sip_addr {
  u8 scheme;                // 1 "sip", 'S' "sips", 0 other, '*' Contact wildcard
  i8 global;                // telephone number: 1 global, 0 local, -1 none
  u16 port;                 // SIP_PORT_NONE when absent
  u8 transport;             // 'U' 'T' 'S' 'L', 0xFF absent or other
  u8 ttl;                   // 0xFF absent
  u8 user_param;            // 'P' phone, 'I' ip, 0xFF absent or other
  u8 method_param;          // 'A' INVITE .. 'F' REGISTER, 0xFF absent
  u8 lr;                    // 1 when lr is present
  sip_str user;             // at most 64
  sip_str phone_number;     // at most 25
  sip_str isub;             // at most 20
  sip_str postd;            // at most 10
  sip_str phone_context;    // at most 32
  sip_str tsp;              // at most 32
  sip_str tel_other;        // at most 64
  sip_str password;         // at most 64
  sip_str ipv4;             // 4 bytes, or empty
  sip_str host;             // at most 64
  sip_str maddr;            // 1 to 64
  sip_str transport_other;  // at most 8
  sip_str user_other;       // at most 16
  sip_str params_other;     // ';'-joined, at most 512
  sip_str headers;          // after '?', at most 20
  sip_str text;             // the whole URI as received
};

// The value of From, To and the other name-address headers.
struct sip_name_addr {
  sip_addr addr;
  u8 quoted;             // 1 when the display name was a quoted string
  sip_str tag;           // From and To only, at most 64
  sip_str display;       // at most 64
  sip_str params_other;  // ';'-joined, at most 512
};

struct sip_status_line_rec {
  u16 code;
  sip_str reason;
};

struct sip_accept_rec {
  u8 type;
  u8 subtype;
  sip_str type_text;
  sip_str subtype_text;
  sip_str params_first;  // at most 32
  sip_str q;
  sip_str params_second;  // at most 512
};

struct sip_encoding_rec {  // Accept-Encoding, Content-Encoding
  u8 coding;
  sip_str params;
};

struct sip_accept_language_rec {
  sip_str primary;
  sip_str subtag;
  sip_str q;
  sip_str params;
};

struct sip_info_uri_rec {  // Alert-Info, Error-Info
  sip_str uri;
  sip_str params_other;
};

struct sip_code_rec {  // Allow, Request-Disposition
  u8 code;
};

struct sip_code_text_rec {  // Require, Supported, Unsupported, Priority, Privacy, P-Early-Media
  u8 code;
  sip_str text;
};

struct sip_text_rec {  // Content-Language, Date, MIME-Version, Organization, Subject, Proxy-Require
  sip_str text;
};

struct sip_number_rec {  // Content-Length, Expires, Max-Forwards, Min-Expires
  u32 value;
};

struct sip_auth_info_rec {
  sip_str nextnonce;
  sip_str rspauth;
  sip_str cnonce;
  u8 qop;
  sip_str qop_text;
  u32 nc;  // SIP_U32_NONE when absent
};

struct sip_credentials_rec {  // Authorization, Proxy-Authorization
  u8 scheme;                  // 'B' Basic, 'D' Digest
  u8 algorithm;               // 'M' MD5, 'D' MD5-sess, 0xFF
  u8 aka_version;
  u8 qop;                  // 'A' auth, 'I' auth-int, 0xFF
  u8 stale;                // 'T', 'F', 0xFF
  u32 nc;                  // SIP_U32_NONE when absent
  sip_str basic;           // at most 64
  sip_str uri;             // at most 128
  sip_str username;        // at most 64
  sip_str realm;           // at most 64
  sip_str nonce;           // at most 64
  sip_str response;        // at most 128
  sip_str algorithm_text;  // at most 16
  sip_str cnonce;          // at most 32
  sip_str opaque;          // at most 32
  sip_str qop_text;        // at most 16
  sip_str other;           // the first other parameter, at most 64
};

constexpr unsigned SIP_QOP_OPTIONS_MAX = 8;

struct sip_challenge_rec {  // WWW-Authenticate, Proxy-Authenticate (no domain there)
  u8 scheme;                // 'B' Basic, 'D' Digest
  u8 stale;                 // 'T', 'F', 0xFF
  u8 algorithm;             // 'M', 'D', 0xFF
  u8 aka_version;
  sip_str realm;           // at most 64
  sip_str domain;          // at most 64, WWW-Authenticate only
  sip_str nonce;           // at most 64
  sip_str opaque;          // at most 32
  sip_str algorithm_text;  // at most 16
  u8 qop_count;
  u8 qop_options[SIP_QOP_OPTIONS_MAX];  // 'A', 'I' in the order received
  u32 codec_values[2];                  // left to the primitive codec
  sip_str qop_text;                     // first unknown qop value, at most 16
  sip_str other;                        // first other parameter, at most 64
};

struct sip_call_info_rec {
  sip_str uri;
  u8 purpose;  // 'i' icon, 'n' info, 'c' card, 0xFF
  sip_str purpose_text;
  sip_str params_other;
};

struct sip_contact_rec {
  sip_name_addr na;  // wildcard: na.addr.scheme '*'
  sip_str q;
  u8 action;             // 'p' proxy, 'r' redirect, 0xFF
  u32 expires;           // SIP_U32_NONE when absent
  sip_str expires_date;  // at most 32
  sip_str comment;       // at most 32
};

struct sip_media_type_rec {  // Content-Type, body-part Content-Type
  u8 part;
  u8 type;
  u8 subtype;
  u8 base;
  sip_str type_text;     // at most 16
  sip_str subtype_text;  // at most 32
  sip_str boundary;      // at most 70
  sip_str version;       // at most 64
  sip_str base_text;     // at most 64
  sip_str params_other;  // at most 512
};

struct sip_disposition_rec {  // Content-Disposition, body-part Content-Disposition
  u8 part;
  u8 disposition;            // 'r' 's' 't' 'a' 'i', 0xFF
  sip_str disposition_text;  // at most 32
  u8 handling;               // 'o' 'r', 0xFF
  sip_str params_other;
};

struct sip_cseq_rec {
  u32 number;
  u8 method;  // 0xC1 INVITE .. 0xC6 REGISTER, 0xFF other
  sip_str method_text;
};

struct sip_diversion_rec {
  sip_name_addr na;
  u8 reason;            // 1..11, 0xFF
  sip_str reason_text;  // quoted reason, at most 512
  u8 counter;           // 0xFF absent
  u8 limit;             // 0xFF absent
  u8 privacy;           // 1..4, 0xFF
  sip_str privacy_text;
  u8 screen;  // 1 yes, 0 no, 0xFF
};

struct sip_history_info_rec {
  sip_name_addr na;
  sip_str index;
};

struct sip_min_se_rec {
  u32 value;
  sip_str params;
};

struct sip_reason_rec {
  u8 protocol;  // 'q' Q.850, 's' SIP, 0xFF
  sip_str protocol_text;
  u16 cause;  // 0xFFFF absent
  sip_str text;
  sip_str params_other;
};

struct sip_replaces_rec {
  sip_callid_parsed call_id;
  sip_str from_tag;
  sip_str to_tag;
  u8 early_only;
  sip_str params_other;
  u16 call_ref;  // 0xFFFF when no call was found
};

struct sip_retry_after_rec {
  u32 delta;
  u32 duration;  // SIP_U32_NONE when absent
  sip_str comment;
  sip_str params_other;
};

struct sip_product_rec {  // Server, User-Agent
  sip_str product;
  sip_str version;
  sip_str comment;
};

struct sip_session_expires_rec {
  u32 delta;
  u8 refresher;  // 's' uas, 'c' uac, 0xFF
  sip_str params_other;
};

struct sip_session_id_rec {
  sip_str id;
  sip_str params_other;
};

struct sip_timestamp_rec {
  u32 time;
  u32 time_fraction;
  u32 delay;
  u32 delay_fraction;
  sip_str extra;
};

struct sip_via_rec {
  u8 protocol;             // 1 SIP, 0 other
  u8 transport;            // 'U' 'T' 'S' 'L', 0xFF
  u16 port;                // SIP_PORT_NONE when absent
  u16 rport;               // 0xFFFF absent, 0 present without value
  u8 ttl;                  // 0xFF absent
  sip_str protocol_text;   // at most 8
  sip_str version;         // 1 to 6
  sip_str transport_text;  // at most 8
  sip_str host_ipv4;       // 4 bytes, or empty
  sip_str host;            // at most 64
  sip_str maddr;           // 1 to 64
  sip_str received;        // 4 bytes
  sip_str branch;          // 1 to 64
  sip_str params_other;    // at most 512
  sip_str sent_by;         // host and port as written
};

struct sip_warning_rec {
  u16 code;
  u16 port;  // SIP_PORT_NONE when absent
  sip_str agent_ipv4;
  sip_str agent;
  sip_str text;
};

struct sip_referred_by_rec {
  sip_name_addr na;
  sip_str cid;
};

struct sip_body_rec {
  u8 part;  // 0 when the body is not multipart
  sip_str text;
};

// Most rows kept per message and header.
enum : u8 {
  SIP_MAX_ACCEPT = 4,
  SIP_MAX_ACCEPT_ENCODING = 3,
  SIP_MAX_ACCEPT_LANGUAGE = 3,
  SIP_MAX_ALERT_INFO = 3,
  SIP_MAX_ALLOW = 10,
  SIP_MAX_AUTHORIZATION = 2,
  SIP_MAX_CALL_INFO = 3,
  SIP_MAX_CONTACT = 3,
  SIP_MAX_CONTENT_DISPOSITION = 2,
  SIP_MAX_CONTENT_ENCODING = 3,
  SIP_MAX_CONTENT_LANGUAGE = 3,
  SIP_MAX_CONTENT_TYPE = 2,
  SIP_MAX_DATE = 2,
  SIP_MAX_ERROR_INFO = 3,
  SIP_MAX_IN_REPLY_TO = 3,
  SIP_MAX_P_ASSERTED_IDENTITY = 2,
  SIP_MAX_P_MEDIA_AUTHORIZATION = 2,
  SIP_MAX_PATH = 2,
  SIP_MAX_PROXY_AUTHORIZATION = 2,
  SIP_MAX_PROXY_REQUIRE = 3,
  SIP_MAX_REASON = 2,
  SIP_MAX_RECORD_ROUTE = 3,
  SIP_MAX_REQUIRE = 3,
  SIP_MAX_ROUTE = 3,
  SIP_MAX_SERVER = 3,
  SIP_MAX_SUPPORTED = 6,
  SIP_MAX_UNSUPPORTED = 6,
  SIP_MAX_USER_AGENT = 3,
  SIP_MAX_VIA = 5,
  SIP_MAX_WARNING = 3,
  SIP_MAX_BODY = 2,
  SIP_MAX_PARTS = 8,  // body-part Content-Type / Content-Disposition records
};

constexpr unsigned SIP_HDR_SLOTS = 96;

// The header work area, reused for every message.
struct sip_hdr_area_t {
  u8 count[SIP_HDR_SLOTS];  // instances per sip_header_id
  u8 index;                 // row the next value parser writes
  u8 method;                // SIP_METHOD_*

  sip_addr request_line;
  sip_status_line_rec status_line;
  sip_accept_rec accept[SIP_MAX_ACCEPT];
  sip_encoding_rec accept_encoding[SIP_MAX_ACCEPT_ENCODING];
  sip_accept_language_rec accept_language[SIP_MAX_ACCEPT_LANGUAGE];
  sip_info_uri_rec alert_info[SIP_MAX_ALERT_INFO];
  sip_code_rec allow[SIP_MAX_ALLOW];
  sip_auth_info_rec authentication_info;
  sip_credentials_rec authorization[SIP_MAX_AUTHORIZATION];
  sip_callid_parsed call_id;
  sip_call_info_rec call_info[SIP_MAX_CALL_INFO];
  sip_contact_rec contact[SIP_MAX_CONTACT];
  sip_disposition_rec content_disposition[SIP_MAX_CONTENT_DISPOSITION];
  sip_encoding_rec content_encoding[SIP_MAX_CONTENT_ENCODING];
  sip_text_rec content_language[SIP_MAX_CONTENT_LANGUAGE];
  sip_number_rec content_length;
  sip_media_type_rec content_type[SIP_MAX_CONTENT_TYPE];
  sip_cseq_rec cseq;
  sip_text_rec date[SIP_MAX_DATE];
  sip_diversion_rec diversion;
  sip_info_uri_rec error_info[SIP_MAX_ERROR_INFO];
  sip_number_rec expires;
  sip_name_addr from;
  sip_history_info_rec history_info;
  sip_callid_parsed in_reply_to[SIP_MAX_IN_REPLY_TO];
  sip_number_rec max_forwards;
  sip_text_rec mime_version;
  sip_number_rec min_expires;
  sip_min_se_rec min_se;
  sip_text_rec organization;
  sip_name_addr p_asserted_identity[SIP_MAX_P_ASSERTED_IDENTITY];
  sip_code_text_rec p_early_media;
  sip_name_addr p_media_authorization[SIP_MAX_P_MEDIA_AUTHORIZATION];
  sip_name_addr p_preferred_identity;
  sip_name_addr path[SIP_MAX_PATH];
  sip_code_text_rec priority;
  sip_code_text_rec privacy;
  sip_challenge_rec proxy_authenticate;
  sip_credentials_rec proxy_authorization[SIP_MAX_PROXY_AUTHORIZATION];
  sip_text_rec proxy_require[SIP_MAX_PROXY_REQUIRE];
  sip_reason_rec reason[SIP_MAX_REASON];
  sip_name_addr record_route[SIP_MAX_RECORD_ROUTE];
  sip_replaces_rec replaces;
  sip_name_addr reply_to;
  sip_code_rec request_disposition;
  sip_code_text_rec require[SIP_MAX_REQUIRE];
  sip_retry_after_rec retry_after;
  sip_name_addr route[SIP_MAX_ROUTE];
  sip_product_rec server[SIP_MAX_SERVER];
  sip_name_addr service_route;
  sip_session_expires_rec session_expires;
  sip_session_id_rec session_id;
  sip_text_rec subject;
  sip_code_text_rec supported[SIP_MAX_SUPPORTED];
  sip_timestamp_rec timestamp;
  sip_name_addr to;
  sip_code_text_rec unsupported[SIP_MAX_UNSUPPORTED];
  sip_product_rec user_agent[SIP_MAX_USER_AGENT];
  sip_via_rec via[SIP_MAX_VIA];
  sip_warning_rec warning[SIP_MAX_WARNING];
  sip_challenge_rec www_authenticate;
  sip_referred_by_rec referred_by;
  sip_body_rec body[SIP_MAX_BODY];
  sip_media_type_rec part_content_type[SIP_MAX_PARTS];
  sip_disposition_rec part_content_disposition[SIP_MAX_PARTS];
};
extern sip_hdr_area_t sip_hdr_area;

// The instance count of `id` in `area` (by default the SIP entity's).
inline u8& sip_hdr_count(sip_hdr_area_t& area, sip_header_id id) { return area.count[sip_hdr_slot(id)]; }
inline u8& sip_hdr_count(sip_header_id id) { return sip_hdr_count(sip_hdr_area, id); }

// Zeroes the instance counts of all 96 slots.
void sip_hdr_count__reset(sip_hdr_area_t& area);
inline void sip_hdr_count__reset() { sip_hdr_count__reset(sip_hdr_area); }
// Lowers the instance count of `id` by one, not below 0.
void sip_hdr_count__decrement(sip_hdr_area_t& area, sip_header_id id);
inline void sip_hdr_count__decrement(sip_header_id id) { sip_hdr_count__decrement(sip_hdr_area, id); }

// Recognises the header name at `cursor` (the name, optional blanks, ':' and
// optional blanks) and leaves `cursor` on the value: the header's id, or 0
// for an unknown or malformed name.  Does not treat the blank line.
sip_header_id sip_hdr__match_name(sip_scan_state_t& sc);
