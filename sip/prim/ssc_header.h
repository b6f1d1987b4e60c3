// SSC header catalogue: the SSC header ids, the message types, the instance
// record of every header id, the descriptor table `ssc_header_desc` with the
// five per-header functions (pack, unpack, init, size, copy) and the message
// type table `ssc_msg_type_table`.
//
// Instance records live only in process memory (in a handle's area), so they
// hold real pointers.  A record straight from allocation is filled with 0xFF:
// a pointer field that was never set therefore holds all ones
// (SSC_PTR_NEVER_SET); ssc_ptr_set() treats it like null.  The packed form is
// written field by field (ssc_packed.cpp) and never copied from a record.
#pragma once
#include <cstddef>
#include <cstdint>

#include "runtime/types.h"

// SSC header ids (0..96).  A number space of its own: never mixed with the
// SIP-side sip_header_id.
enum class ssc_header_id : u8 {
  PROFILE_PARMS = 0,   // SSC only
  TRANSPORT_ADDR = 1,  // SSC only
  PROFILE_BYTE = 2,    // SSC only
  REQUEST_URI = 3,
  RETURN_CODE = 4,  // status
  ACCEPT = 5,
  ACCEPT_ENCODING = 6,
  ACCEPT_LANGUAGE = 7,
  ALERT_INFO = 8,
  ALLOW = 9,
  AUTHENTICATION_INFO = 10,
  AUTHORIZATION = 11,
  CALL_ID = 12,
  CALL_INFO = 13,
  CONTACT = 14,
  CONTENT_DISPOSITION = 15,
  CONTENT_ENCODING = 16,
  CONTENT_LANGUAGE = 17,
  CONTENT_TYPE = 18,
  DATE = 20,
  ERROR_INFO = 21,
  EXPIRES = 22,
  FROM = 23,
  IN_REPLY_TO = 24,
  MAX_FORWARDS = 25,
  MIME_VERSION = 26,
  MIN_EXPIRES = 27,
  MIN_SE = 28,
  ORGANIZATION = 29,
  P_ASSERTED_IDENTITY = 30,
  P_MEDIA_AUTHORIZATION = 31,
  P_PREFERRED_IDENTITY = 32,
  PATH = 33,
  PRIORITY = 34,
  PRIVACY = 35,
  PROXY_AUTHENTICATE = 36,
  PROXY_AUTHORIZATION = 37,
  PROXY_REQUIRE = 38,
  REASON = 39,
  RECORD_ROUTE = 40,
  REPLACES = 41,
  REPLY_TO = 42,
  REQUIRE = 43,
  RETRY_AFTER = 44,
  ROUTE = 45,
  SERVER = 46,
  SERVICE_ROUTE = 49,
  SESSION_EXPIRES = 50,
  SUBJECT = 51,
  SUPPORTED = 52,
  TIMESTAMP = 53,
  TO = 54,
  UNSUPPORTED = 55,
  USER_AGENT = 56,
  VIA = 57,
  WARNING = 58,
  WWW_AUTHENTICATE = 59,
  BODY = 60,
  SDP_MAIN_BODY = 61,      // SDP session
  AUDIO_CNCT_DESCR = 62,   // SDP audio or video media
  RTP_CNCT_DESCR = 63,     // SDP rtpmap
  OTHER_CNCT_DESCR = 64,   // SDP other media
  ORIGIN_CNCT_DESCR = 65,  // SDP origin
  PART_CONTENT_TYPE = 66,
  PART_HEADERS = 67,
  BODY_ELEMENT_68 = 68,
  REFERRED_BY = 72,
  T38_CNCT_DESCR = 75,
  USER_AUTH = 84,  // SSC only
  DIVERSION = 85,
  P_EARLY_MEDIA = 89,
  OPTIONS_VALUE = 90,  // SSC only
  MANAGEMENT = 91,     // SSC only
  SESSION_ID = 92,
  HISTORY_INFO = 93,
  REQUEST_DISPOSITION = 94,
  TX_LINK = 95,  // SSC only, never packed
  ROUTE_2 = 96,  // second Route list, never packed
};
inline constexpr unsigned SSC_HEADER_ID_COUNT = 97;  // ids 0..96

// SSC message types (0..40).  A number space of its own: neither a SIP method
// letter nor a primitive method number.
enum class ssc_msg_type : u8 {
  INVITE = 0,
  BYE = 1,
  REGISTER = 2,
  ACK = 3,
  OPTIONS = 4,
  CANCEL = 5,
  INVITE_RS = 13,
  BYE_RS = 14,
  REGISTER_RS = 15,
  OPTIONS_RS = 16,
  CANCEL_RS = 17,
  PROF_REG = 29,
  PROF_REM = 30,
  CLOSE_SESSION = 31,
  CLOSE_SESSION_CO = 32,
  SET_PARM = 33,
  LOCAL_ADDR = 35,
  LOCAL_ADDR_RS = 36,
  SM_RQ = 37,      // management request to ENT_SM
  SM_ANSWER = 38,  // management answer from ENT_SM
  TYPE_39 = 39,    // code '~'; no list
  NONE = 40,
};
inline constexpr unsigned SSC_MSG_TYPE_COUNT = 41;  // types 0..40

inline constexpr unsigned ssc_idx(ssc_header_id id) { return static_cast<unsigned>(id); }
inline constexpr unsigned ssc_idx(ssc_msg_type t) { return static_cast<unsigned>(t); }

// "All ones": a pointer field of a record filled with 0xFF and never set.
// NOLINTNEXTLINE(performance-no-int-to-ptr): the record layout's own marker, never dereferenced
inline const char* const SSC_PTR_NEVER_SET = reinterpret_cast<const char*>(~static_cast<std::uintptr_t>(0));
template <class T>
inline bool ssc_ptr_set(const T* p) {
  return p != nullptr && reinterpret_cast<std::uintptr_t>(p) != ~static_cast<std::uintptr_t>(0);
}

struct ssc_handle;

// ---------------------------------------------------------------------------
// Address and URI sub-record of the name-address headers.
struct ssc_uri {
  u8 scheme;     // 1 sip, 'S' sips, '*', 'A' absolute URI
  u8 user_form;  // 'P' telephone number, 'U' user name
  const char* user;
  u8 tel_global;  // 1: number written with '+'
  const char* tel_number;
  const char* tel_2;       // isub
  const char* tel_3;       // postd
  const char* tel_4;       // phone-context
  const char* tel_5;       // tsp
  const char* tel_6;       // other telephone parameters
  const char* uri_text_3;  // password
  u8 host_family;          // '4', '6', 'N' host name
  const char* host_name;
  u8 host_v4[4];
  u8 host_v6[16];
  u16 port;       // 0xFFFF none
  u8 user_param;  // 'P' phone, 'I' ip, 0xFF other or none
  u8 transport;   // 'U', 'T', 'S', 'L', 0xFF other or none
  const char* transport_text;
  u8 ttl;
  u8 uri_byte_1;  // method parameter as an ssc_msg_type index, 0xFF none
  u8 uri_byte_2;
  const char* maddr;
  const char* user_param_text;
  const char* uri_text_2;  // other URI parameters
  const char* uri_text_1;  // method name text
  const char* uri_text_0;  // absolute URI text
};

// ---------------------------------------------------------------------------
// Instance records.  Every record begins with `next` (the next instance of the
// same list, null at the tail); the fields follow in record order.  Comments
// name the ids that share a record.

struct ssc_hdr_profile_parms {  // 0; the third byte is not packed
  ssc_hdr_profile_parms* next;
  u8 parm[4];
};
struct ssc_hdr_transport_addr {  // 1
  ssc_hdr_transport_addr* next;
  u16 spare;  // not packed
  u16 port;
  u8 family;  // '4', '6', other: no address
  u8 v4[4];
  u8 v6[16];
};
struct ssc_hdr_byte {  // 2, 94
  ssc_hdr_byte* next;
  u8 value;
};
struct ssc_hdr_request_uri {  // 3
  ssc_hdr_request_uri* next;
  ssc_uri uri;
  const char* params;  // other URI parameters of the Request-URI
  u32 word;            // not packed
};
struct ssc_hdr_status {  // 4
  ssc_hdr_status* next;
  u16 code;
  const char* reason;
};
struct ssc_hdr_accept {  // 5
  ssc_hdr_accept* next;
  u8 b1, b2;
  const char *s1, *s2, *s3, *s4, *s5;
};
struct ssc_hdr_code_text {  // 6, 16, 34, 35, 43, 52, 55, 89
  ssc_hdr_code_text* next;
  u8 code;  // option-tag code for 43, 52, 55
  const char* text;
};
struct ssc_hdr_str4 {  // 7, 84
  ssc_hdr_str4* next;
  const char *s1, *s2, *s3, *s4;
};
struct ssc_hdr_str2 {  // 8, 21, 92
  ssc_hdr_str2* next;
  const char *s1, *s2;
};
inline constexpr unsigned SSC_ALLOW_FLAGS = 29;
struct ssc_hdr_allow {  // 9: one flag per ssc_msg_type index 0..28, 1 = allowed
  ssc_hdr_allow* next;
  u8 allowed[SSC_ALLOW_FLAGS];
};
struct ssc_hdr_auth_info {  // 10
  ssc_hdr_auth_info* next;
  u8 b1;
  u32 d1;
  const char *s1, *s2, *s3, *s4;
};
struct ssc_hdr_credentials {  // 11, 37
  ssc_hdr_credentials* next;
  u8 scheme, algorithm, b3, qop;
  u32 nonce_count;
  const char* s[12];
};
struct ssc_hdr_call_id {  // 12
  ssc_hdr_call_id* next;
  const char* local;
  u8 family;
  const char* host;
  u8 v4[4];
  u8 v6[16];
};
struct ssc_hdr_call_info {  // 13
  ssc_hdr_call_info* next;
  u8 purpose;
  const char *s1, *s2, *s3;
};
struct ssc_hdr_contact {  // 14
  ssc_hdr_contact* next;
  u8 b1;
  const char *s1, *s2;
  u32 d1;
  const char* s3;
  u8 b2;
  const char *s4, *s5;
  ssc_uri uri;
};
struct ssc_hdr_disposition {  // 15, 68
  ssc_hdr_disposition* next;
  u8 b1, b2;
  const char *s1, *s2, *s3;
};
struct ssc_hdr_str1 {  // 17, 20, 26, 29, 38, 51
  ssc_hdr_str1* next;
  const char* text;
};
struct ssc_hdr_content_type {  // 18; 'A' with subtype 'H': one SDP body
  ssc_hdr_content_type* next;
  u8 type, subtype;
  const char *s1, *s2;
  u8 b3;
  const char *s3, *s4, *s5, *s6;
};
struct ssc_hdr_u32 {  // 22, 25, 27, 90
  ssc_hdr_u32* next;
  u32 value;
};
struct ssc_hdr_name_addr {  // 23, 54, 93
  ssc_hdr_name_addr* next;
  u8 b1;
  const char* s1;
  ssc_uri uri;
  const char *s2, *s3;
};
struct ssc_hdr_in_reply_to {  // 24
  ssc_hdr_in_reply_to* next;
  const char* s1;
  u8 family;  // '4', '6', 'N' (host_name)
  const char* host_name;
  u8 v4[4];
  u8 v6[16];
};
struct ssc_hdr_min_se {  // 28
  ssc_hdr_min_se* next;
  u32 value;
  const char* s1;
};
struct ssc_hdr_identity {  // 30, 32, 33
  ssc_hdr_identity* next;
  const char* s1;
  u8 b1;
  ssc_uri uri;
};
struct ssc_hdr_none {  // 31: no value
  ssc_hdr_none* next;
};
struct ssc_hdr_challenge {  // 36, 59
  ssc_hdr_challenge* next;
  u8 b1, b2, b3, b4;
  const char *s1, *s2, *s3, *s4, *s5;
  u16 count;  // counted bytes (qop option codes)
  const u8* bytes;
  const char *s6, *s7;
};
struct ssc_hdr_reason {  // 39
  ssc_hdr_reason* next;
  u8 protocol;
  const char* s1;
  u16 cause;
  const char *s2, *s3;
};
struct ssc_hdr_route {  // 40, 42, 45, 49, 96
  ssc_hdr_route* next;
  const char* s1;
  u8 b1;
  ssc_uri uri;
  const char* s2;
};
struct ssc_hdr_replaces {  // 41
  ssc_hdr_replaces* next;
  u16 w1;
  u8 b1;
  const char* s1;
  u8 family;
  const char* host_name;
  u8 v4[4];
  u8 v6[16];
  const char *s2, *s3, *s4;
};
struct ssc_hdr_retry_after {  // 44
  ssc_hdr_retry_after* next;
  u32 d1, d2;
  const char *s1, *s2;
};
struct ssc_hdr_product {  // 46, 56
  ssc_hdr_product* next;
  const char *product, *version, *comment;
};
struct ssc_hdr_session_expires {  // 50
  ssc_hdr_session_expires* next;
  u32 delta;
  u8 refresher;
  const char* s1;
};
struct ssc_hdr_timestamp {  // 53
  ssc_hdr_timestamp* next;
  u32 d1, d2, d3, d4;
  const char* s1;
};
struct ssc_hdr_via {  // 57
  ssc_hdr_via* next;
  u8 protocol;     // b1 (1)
  const char* s1;  // protocol text
  u8 transport;    // b2 ('U')
  const char* s2;  // version ("2.0")
  const char* s3;  // transport text
  u8 family1;
  const char* s4;  // sent-by host name
  u8 v4_1[4];
  u8 v6_1[16];
  u16 port;  // w1 sent-by port
  u8 b3;
  const char* s5;
  u8 family2;
  u8 v4_2[4];
  u8 v6_2[16];
  u16 w2;
  const char *s6, *s7;
};
struct ssc_hdr_warning {  // 58
  ssc_hdr_warning* next;
  u16 code;
  u8 family;
  const char* host_name;
  u8 v4[4];
  u8 v6[16];
  u16 w2;
  const char *s1, *s2;
};
struct ssc_hdr_body {  // 60
  ssc_hdr_body* next;
  u8 part;     // 0xFF for a single body
  u16 length;  // 0 or 0xFFFF: no bytes
  const u8* bytes;
};
struct ssc_hdr_sdp_session {  // 61
  ssc_hdr_sdp_session* next;
  u8 net_type, bw_type;
  u16 bw_value;
  u8 family;
  u8 v4[4];
  u8 v6[16];
  const char *host, *session_name, *start_time, *stop_time, *extra;
  u8 media_lines;  // m-lines of the received body, kept or not (254: 254 or more; 0xFF: not counted)
};
struct ssc_hdr_sdp_media {  // 62
  ssc_hdr_sdp_media* next;
  u8 kind;
  u16 port;
  u8 port_count, transport, net_type, bw_type;
  u16 bw_value;
  u8 direction;
  u16 ptime, maxptime;
  u8 key_method;
  u8 family;
  u8 v4[4];
  u8 v6[16];
  const char* host;
  u16 format_count;
  const u8* formats;
  const char *key, *extra;
  u8 media_pos;  // position among all m-lines of the body, 0xFF unknown
};
struct ssc_hdr_sdp_rtpmap {  // 63
  ssc_hdr_sdp_rtpmap* next;
  u8 payload_type, codec;
  u32 clock_rate;
  u8 channels;
  const char *encoding, *fmtp;
};
struct ssc_hdr_sdp_other_media {  // 64
  ssc_hdr_sdp_other_media* next;
  u16 port;
  u8 port_count, net_type, bw_type;
  u16 bw_value;
  u8 key_method;
  const char *media_name, *transport;
  u8 family;
  u8 v4[4];
  u8 v6[16];
  const char *host, *format, *format2, *key;
  u16 extra_count;
  const u8* extra;
  u8 media_pos;  // position among all m-lines of the body, 0xFF unknown
};
struct ssc_hdr_sdp_origin {  // 65
  ssc_hdr_sdp_origin* next;
  u8 net_type;
  const char *user, *session_id, *version;
  u8 family;
  u8 v4[4];
  u8 v6[16];
  const char* host;
};
struct ssc_hdr_part_type {  // 66
  ssc_hdr_part_type* next;
  u8 part, type, subtype, b4;
  const char *s1, *s2, *s3, *s4, *s5, *s6;
};
struct ssc_hdr_part_headers {  // 67
  ssc_hdr_part_headers* next;
  u8 part, b2, b3;
  const char *s1, *s2, *s3;
};
struct ssc_hdr_referred_by {  // 72
  ssc_hdr_referred_by* next;
  u8 b1;
  const char *s1, *s2, *s3, *s4;
  ssc_uri uri;
};
struct ssc_hdr_sdp_t38 {  // 75
  ssc_hdr_sdp_t38* next;
  u8 kind, format;
  u16 port;
  u8 transport, net_type, bw_type;
  u16 bw_value;
  u8 direction, key_method, version;
  u32 max_bit_rate;
  u8 fill_bit_removal, mmr, jbig, rate_management;
  u32 max_buffer, max_datagram;
  u8 udp_ec;
  u8 family;  // '4', '6', 'N' (host_name)
  u8 v4[4];
  u8 v6[16];
  const char *host_name, *key, *extra;
  u8 media_pos;  // position among all m-lines of the body, 0xFF unknown
};
struct ssc_hdr_diversion {  // 85
  ssc_hdr_diversion* next;
  u8 b1;
  const char* s1;
  u8 b2, b3, b4, b5, b6;
  const char *s2, *s3, *s4, *s5;
  ssc_uri uri;
};
struct ssc_hdr_mgmt {  // 91; `spare` is not packed
  ssc_hdr_mgmt* next;
  u16 w1;
  u8 b1, b2;
  u16 w2;
  u8 b3;
  u32 d1, d2;
  u8 b4, b5, b6, spare, b7;
};
struct ssc_hdr_tx_link {  // 95: kept by ENT_SSC, never packed or copied
  ssc_hdr_tx_link* next;
  ssc_handle* handle;
  u8 type, flag;
  void* links[2];
};

// ---------------------------------------------------------------------------
// Descriptor table.

// One row per id 0..96.  `id` is 0xFF for an id without a row (no list slot,
// no functions).  `size` is the instance size, `next` included.
struct ssc_header_desc_row {
  u8 id;
  u8 slot;  // list head index in ssc_handle
  u16 size;
  bool pack;  // has pack and unpack functions
  bool copy;  // has init, size and copy functions of its own
};
extern const ssc_header_desc_row ssc_header_desc[SSC_HEADER_ID_COUNT];
inline constexpr u8 SSC_NO_ROW = 0xFF;
inline constexpr unsigned SSC_LIST_SLOTS = 78;        // ids with a row
inline constexpr unsigned SSC_MAX_RECORD_SIZE = 512;  // largest instance size

// The row of an id, or null for an id without a row (or above 96).
const ssc_header_desc_row* ssc_header_row(ssc_header_id id);

// The five functions of an id (see ssc_packed.h for the value encodings).
// Pack: the value of one instance at dst (dst[0..1] receive L, big-endian),
// at most room bytes; returns the bytes written including L, or 0 when the
// room is short or the id has no pack function.
u16 ssc_header_pack(ssc_header_id id, const void* inst, u8* dst, u32 room);
// Unpack: the value src[0..value_len) (the bytes behind L) into inst; strings
// and counted bytes point into src.  Returns the bytes read, or -1 when a
// field runs past the value (a string without its 0 included).
i32 ssc_header_unpack(ssc_header_id id, void* inst, const u8* src, u32 value_len);
// Init: run on an instance just filled with 0xFF.
void ssc_header_init(ssc_header_id id, void* inst);
// Size: bytes the strings and counted bytes of inst need for a deep copy.
u32 ssc_header_size(ssc_header_id id, const void* inst);
// Copy: copies the strings and counted bytes of inst into extra (size bytes)
// and points the fields there.
void ssc_header_copy(ssc_header_id id, void* inst, u8* extra);

// ---------------------------------------------------------------------------
// Message type table.
struct ssc_msg_type_row {
  u16 record_size;    // size of the handle record; 0 for an undefined type
  code_t code;        // primitive code
  const u8* allowed;  // allowed header ids in packing order, ended by 0xFF; null: no list
  ssc_msg_type pair;  // request <-> response
  u8 msg_class;       // 1 request, 2 response, 3 ACK, 0 other
};
extern const ssc_msg_type_row ssc_msg_type_table[SSC_MSG_TYPE_COUNT];
inline constexpr u8 SSC_LIST_END = 0xFF;

// True when the id stands in the type's list of allowed headers.
bool Ssc_header_allowed(ssc_msg_type type, ssc_header_id id);
