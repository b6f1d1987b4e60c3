// SSC side of the SIP primitive elements: for every SSC header that crosses
// to the SIP transaction entity, which instance field fills which field of
// the element, and the most bytes each text may take.  The byte form itself
// is the SIP side's element layout (sip_elem_layout.h); these bindings only
// name offsets that layout has, with the same width (checked at compile time
// below), so the two sides cannot drift apart.
//
// Text rules: a text is written with its NUL and the length counts the NUL;
// `bound` is the most bytes, NUL included.  An identifier (Call-ID, tags,
// branch, digest fields, URI parts) over its bound is refused, never cut; a
// free text (marked SSC_F_CUT: reason phrase, display name, warning text,
// subject, product) is cut to bound - 1 characters.
//
// Field roles where the byte form leaves them open: the text slot after the
// user-parameter text of the address block (42; Contact 50, Diversion 46,
// Referred-By 40) carries the URI headers (the instance's uri_text_1), the
// method travelling as its letter in the fixed part; the Warning text is
// the first text behind the agent host (slot 10) and its parameters the
// second (12); the further lines of a T.38 media element travel as raw bytes
// without a NUL.
#pragma once

#include <cstddef>
#include <cstdint>
#include <iterator>
#include <type_traits>

#include "sip/prim/sip_elem_layout.h"
#include "sip/prim/ssc_header.h"

// Address of an instance: family byte and the two address arrays.
struct ssc_addr_ref {
  u8* family;
  u8* v4;
  u8* v6;
};
// Counted bytes of an instance: the count and the pointer.
struct ssc_bytes_ref {
  u16* count;
  const u8** bytes;
};

// Field flags.
inline constexpr u8 SSC_F_CUT = 0x01;        // free text: cut to its bound
inline constexpr u8 SSC_F_CAP254 = 0x02;     // a byte above 254 is written as 0 (and left so)
inline constexpr u8 SSC_F_METHOD = 0x04;     // ssc_msg_type index <-> SIP method letter
inline constexpr u8 SSC_F_SCHEME = 0x08;     // decoded 0 becomes 'A'
inline constexpr u8 SSC_F_ADDR_SDP = 0x10;   // address of an SDP element: neither 4 nor 16 gives 0xFF / 'N'
inline constexpr u8 SSC_F_ADDR_NONE = 0x20;  // address whose family stays 0xFF when absent
inline constexpr u8 SSC_F_NO_NUL = 0x40;     // text travelling as raw bytes without NUL
inline constexpr u8 SSC_F_ENCODE_ONLY = 0x80;

enum class ssc_fk : u8 { num, text, addr, bytes, special };

struct ssc_elem_field {
  u8 offset;
  sip_elem_kind kind;  // width or form on the wire, as in the SIP layout
  ssc_fk form;
  u8 flags;
  u16 bound;  // text: most bytes with the NUL; bytes/raw text: most bytes
  u32 (*get)(const void* inst);
  void (*set)(void* inst, u32 v);
  const char** (*text)(void* inst);
  ssc_addr_ref (*addr)(void* inst);
  ssc_bytes_ref (*bytes)(void* inst);
  u8 special;  // form special: which one (ssc_special)
};

// Fields whose value is not in the instance.
enum ssc_special : u8 {
  SSC_SP_NONE = 0,
  SSC_SP_RURI_PORT = 1,   // Request-URI offset 6: the handle's addr_port
  SSC_SP_RURI_ADDR = 2,   // Request-URI slot 40: the handle's transport address
  SSC_SP_VIA_NUMBER = 3,  // Via offset 2: the handle's transaction number (first Via)
};

struct ssc_elem_binding {
  ssc_header_id ssc;
  sip_header_id sip;  // the element layout bound
  u8 fixed_len;
  const ssc_elem_field* fields;
  std::size_t field_count;
};

// R names a record type and m, P member paths inside it: neither can be put
// in parentheses where these field rows use them.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define KV_SSC_NUM(off, k, R, m, fl)                                                        \
  ssc_elem_field {                                                                          \
    off, sip_elem_kind::k, ssc_fk::num, fl, 0,                                              \
        [](const void* r) -> u32 { return static_cast<u32>(static_cast<const R*>(r)->m); }, \
        [](void* r, u32 v) {                                                                \
          auto& d = static_cast<R*>(r)->m;                                                  \
          d = static_cast<std::remove_reference_t<decltype(d)>>(v);                         \
        },                                                                                  \
        nullptr, nullptr, nullptr, SSC_SP_NONE                                              \
  }
#define KV_SSC_TXT(off, R, m, bnd, fl)                                                                \
  ssc_elem_field {                                                                                    \
    off, sip_elem_kind::text, ssc_fk::text, fl, bnd, nullptr, nullptr,                                \
        [](void* r) -> const char** { return &static_cast<R*>(r)->m; }, nullptr, nullptr, SSC_SP_NONE \
  }
#define KV_SSC_RAWTXT(off, R, m, bnd)                                                                 \
  ssc_elem_field {                                                                                    \
    off, sip_elem_kind::raw, ssc_fk::text, SSC_F_NO_NUL, bnd, nullptr, nullptr,                       \
        [](void* r) -> const char** { return &static_cast<R*>(r)->m; }, nullptr, nullptr, SSC_SP_NONE \
  }
#define KV_SSC_ADDR(off, R, fam, a4, a6, fl)                                  \
  ssc_elem_field {                                                            \
    off, sip_elem_kind::raw, ssc_fk::addr, fl, 16, nullptr, nullptr, nullptr, \
        [](void* r) -> ssc_addr_ref {                                         \
          auto* p = static_cast<R*>(r);                                       \
          return {&p->fam, p->a4, p->a6};                                     \
        },                                                                    \
        nullptr, SSC_SP_NONE                                                  \
  }
#define KV_SSC_BYTES(off, R, cnt, ptr, bnd)                                             \
  ssc_elem_field {                                                                      \
    off, sip_elem_kind::raw, ssc_fk::bytes, 0, bnd, nullptr, nullptr, nullptr, nullptr, \
        [](void* r) -> ssc_bytes_ref {                                                  \
          auto* p = static_cast<R*>(r);                                                 \
          return {&p->cnt, &p->ptr};                                                    \
        },                                                                              \
        SSC_SP_NONE                                                                     \
  }
#define KV_SSC_SPECIAL(off, k, sp) \
  ssc_elem_field { off, sip_elem_kind::k, ssc_fk::special, 0, 0, nullptr, nullptr, nullptr, nullptr, nullptr, sp }

// The URI parts of the address block, as every name-address element writes
// them (P is the path to the ssc_uri inside the instance).
#define KV_SSC_TEL(first, R, P)                                                               \
  KV_SSC_TXT(first, R, P.tel_number, 26, 0), KV_SSC_TXT((first) + 2, R, P.tel_2, 21, 0),      \
      KV_SSC_TXT((first) + 4, R, P.tel_3, 11, 0), KV_SSC_TXT((first) + 6, R, P.tel_4, 33, 0), \
      KV_SSC_TXT((first) + 8, R, P.tel_5, 33, 0), KV_SSC_TXT((first) + 10, R, P.tel_6, 65, 0)
#define KV_SSC_URI_FIXED(R, P)                                                                                      \
  KV_SSC_NUM(3, u8, R, P.scheme, 0), KV_SSC_NUM(4, u8, R, P.tel_global, 0), KV_SSC_NUM(6, u16, R, P.port, 0),       \
      KV_SSC_NUM(8, u8, R, P.transport, 0), KV_SSC_NUM(9, u8, R, P.ttl, 0), KV_SSC_NUM(10, u8, R, P.user_param, 0), \
      KV_SSC_NUM(11, u8, R, P.uri_byte_1, SSC_F_METHOD)
// NOLINTEND(bugprone-macro-parentheses)

// Address block (bytes 2..45) of the route-like headers: own byte, URI,
// leading string at 26.
#define KV_SSC_ADDR_BLOCK(R)                                                                                      \
  KV_SSC_NUM(2, u8, R, b1, 0), KV_SSC_URI_FIXED(R, uri), KV_SSC_NUM(12, u8, R, uri.uri_byte_2, SSC_F_CAP254),     \
      KV_SSC_TEL(14, R, uri), KV_SSC_TXT(26, R, s1, 65, SSC_F_CUT), KV_SSC_TXT(28, R, uri.user, 65, 0),           \
      KV_SSC_TXT(30, R, uri.uri_text_3, 65, 0), KV_SSC_ADDR(32, R, uri.host_family, uri.host_v4, uri.host_v6, 0), \
      KV_SSC_TXT(34, R, uri.host_name, 65, 0), KV_SSC_TXT(36, R, uri.maddr, 65, 0),                               \
      KV_SSC_TXT(38, R, uri.transport_text, 9, 0), KV_SSC_TXT(40, R, uri.user_param_text, 17, 0),                 \
      KV_SSC_TXT(42, R, uri.uri_text_1, 21, 0), KV_SSC_TXT(44, R, uri.uri_text_2, 513, 0)

namespace ssc_layout_detail {

inline constexpr ssc_elem_field request_uri[] = {
    KV_SSC_NUM(2, u8, ssc_hdr_request_uri, uri.scheme, SSC_F_SCHEME),
    KV_SSC_NUM(3, u8, ssc_hdr_request_uri, uri.tel_global, 0),
    KV_SSC_NUM(4, u16, ssc_hdr_request_uri, uri.port, 0),
    KV_SSC_SPECIAL(6, u16, SSC_SP_RURI_PORT),
    KV_SSC_NUM(8, u8, ssc_hdr_request_uri, uri.transport, 0),
    KV_SSC_NUM(9, u8, ssc_hdr_request_uri, uri.ttl, 0),
    KV_SSC_NUM(10, u8, ssc_hdr_request_uri, uri.user_param, 0),
    KV_SSC_TEL(12, ssc_hdr_request_uri, uri),
    KV_SSC_TXT(24, ssc_hdr_request_uri, uri.user, 65, 0),
    KV_SSC_TXT(26, ssc_hdr_request_uri, uri.uri_text_3, 65, 0),
    KV_SSC_ADDR(28, ssc_hdr_request_uri, uri.host_family, uri.host_v4, uri.host_v6, 0),
    KV_SSC_TXT(30, ssc_hdr_request_uri, uri.host_name, 65, 0),
    KV_SSC_TXT(32, ssc_hdr_request_uri, uri.maddr, 65, 0),
    KV_SSC_TXT(34, ssc_hdr_request_uri, uri.transport_text, 9, 0),
    KV_SSC_TXT(36, ssc_hdr_request_uri, uri.user_param_text, 17, 0),
    KV_SSC_TXT(38, ssc_hdr_request_uri, params, 513, 0),
    KV_SSC_SPECIAL(40, raw, SSC_SP_RURI_ADDR),
    KV_SSC_TXT(42, ssc_hdr_request_uri, uri.uri_text_0, 129, 0),
};
inline constexpr ssc_elem_field status[] = {
    KV_SSC_NUM(2, u16, ssc_hdr_status, code, 0),
    KV_SSC_TXT(4, ssc_hdr_status, reason, 65, SSC_F_CUT),
};
inline constexpr ssc_elem_field accept[] = {
    KV_SSC_NUM(2, u8, ssc_hdr_accept, b1, 0),   KV_SSC_NUM(3, u8, ssc_hdr_accept, b2, 0),
    KV_SSC_TXT(4, ssc_hdr_accept, s1, 17, 0),   KV_SSC_TXT(6, ssc_hdr_accept, s2, 33, 0),
    KV_SSC_TXT(8, ssc_hdr_accept, s3, 33, 0),   KV_SSC_TXT(10, ssc_hdr_accept, s4, 6, 0),
    KV_SSC_TXT(12, ssc_hdr_accept, s5, 513, 0),
};
inline constexpr ssc_elem_field code_513[] = {
    // Accept-Encoding, Content-Encoding
    KV_SSC_NUM(2, u8, ssc_hdr_code_text, code, 0),
    KV_SSC_TXT(4, ssc_hdr_code_text, text, 513, 0),
};
inline constexpr ssc_elem_field accept_language[] = {
    KV_SSC_TXT(2, ssc_hdr_str4, s1, 3, 0),
    KV_SSC_TXT(4, ssc_hdr_str4, s2, 4, 0),
    KV_SSC_TXT(6, ssc_hdr_str4, s3, 6, 0),
    KV_SSC_TXT(8, ssc_hdr_str4, s4, 513, 0),
};
inline constexpr ssc_elem_field info_uri[] = {
    // Alert-Info, Error-Info
    KV_SSC_TXT(2, ssc_hdr_str2, s1, 129, 0),
    KV_SSC_TXT(4, ssc_hdr_str2, s2, 513, 0),
};
inline constexpr ssc_elem_field auth_info[] = {
    KV_SSC_NUM(2, u8, ssc_hdr_auth_info, b1, 0),  KV_SSC_NUM(4, u32, ssc_hdr_auth_info, d1, 0),
    KV_SSC_TXT(8, ssc_hdr_auth_info, s1, 65, 0),  KV_SSC_TXT(10, ssc_hdr_auth_info, s2, 129, 0),
    KV_SSC_TXT(12, ssc_hdr_auth_info, s3, 33, 0), KV_SSC_TXT(14, ssc_hdr_auth_info, s4, 17, 0),
};
#define KV_SSC_CRED_HEAD                                                                                         \
  KV_SSC_NUM(2, u8, ssc_hdr_credentials, scheme, 0), KV_SSC_NUM(3, u8, ssc_hdr_credentials, algorithm, 0),       \
      KV_SSC_NUM(4, u8, ssc_hdr_credentials, b3, 0), KV_SSC_NUM(5, u8, ssc_hdr_credentials, qop, 0),             \
      KV_SSC_NUM(8, u32, ssc_hdr_credentials, nonce_count, 0), KV_SSC_TXT(14, ssc_hdr_credentials, s[0], 65, 0), \
      KV_SSC_TXT(16, ssc_hdr_credentials, s[1], 65, 0), KV_SSC_TXT(18, ssc_hdr_credentials, s[2], 65, 0),        \
      KV_SSC_TXT(20, ssc_hdr_credentials, s[3], 129, 0), KV_SSC_TXT(22, ssc_hdr_credentials, s[4], 129, 0),      \
      KV_SSC_TXT(24, ssc_hdr_credentials, s[5], 17, 0), KV_SSC_TXT(26, ssc_hdr_credentials, s[6], 33, 0),        \
      KV_SSC_TXT(28, ssc_hdr_credentials, s[7], 33, 0), KV_SSC_TXT(30, ssc_hdr_credentials, s[8], 17, 0)
inline constexpr ssc_elem_field authorization[] = {
    KV_SSC_CRED_HEAD,
    KV_SSC_TXT(34, ssc_hdr_credentials, s[9], 65, 0),
};
inline constexpr ssc_elem_field proxy_authorization[] = {
    KV_SSC_CRED_HEAD,
    KV_SSC_TXT(32, ssc_hdr_credentials, s[9], 65, 0),
};
#undef KV_SSC_CRED_HEAD
inline constexpr ssc_elem_field call_id[] = {
    KV_SSC_TXT(2, ssc_hdr_call_id, local, 65, 0),
    KV_SSC_ADDR(4, ssc_hdr_call_id, family, v4, v6, 0),
    KV_SSC_TXT(6, ssc_hdr_call_id, host, 65, 0),
};
inline constexpr ssc_elem_field in_reply_to[] = {
    KV_SSC_TXT(2, ssc_hdr_in_reply_to, s1, 65, 0),
    KV_SSC_ADDR(4, ssc_hdr_in_reply_to, family, v4, v6, 0),
    KV_SSC_TXT(6, ssc_hdr_in_reply_to, host_name, 65, 0),
};
inline constexpr ssc_elem_field call_info[] = {
    KV_SSC_NUM(2, u8, ssc_hdr_call_info, purpose, 0),
    KV_SSC_TXT(4, ssc_hdr_call_info, s1, 9, 0),
    KV_SSC_TXT(6, ssc_hdr_call_info, s2, 129, 0),
    KV_SSC_TXT(8, ssc_hdr_call_info, s3, 513, 0),
};
inline constexpr ssc_elem_field contact[] = {
    KV_SSC_NUM(2, u8, ssc_hdr_contact, b1, 0),
    KV_SSC_URI_FIXED(ssc_hdr_contact, uri),
    KV_SSC_NUM(12, u32, ssc_hdr_contact, d1, 0),
    KV_SSC_NUM(16, u8, ssc_hdr_contact, b2, 0),
    KV_SSC_TEL(18, ssc_hdr_contact, uri),
    KV_SSC_TXT(30, ssc_hdr_contact, s1, 65, SSC_F_CUT),
    KV_SSC_TXT(32, ssc_hdr_contact, uri.user, 65, 0),
    KV_SSC_TXT(34, ssc_hdr_contact, uri.uri_text_3, 65, 0),
    KV_SSC_ADDR(36, ssc_hdr_contact, uri.host_family, uri.host_v4, uri.host_v6, 0),
    KV_SSC_TXT(38, ssc_hdr_contact, uri.host_name, 65, 0),
    KV_SSC_TXT(40, ssc_hdr_contact, uri.maddr, 65, 0),
    KV_SSC_TXT(42, ssc_hdr_contact, uri.transport_text, 9, 0),
    KV_SSC_TXT(44, ssc_hdr_contact, uri.user_param_text, 17, 0),
    KV_SSC_TXT(48, ssc_hdr_contact, uri.uri_text_2, 513, 0),
    KV_SSC_TXT(50, ssc_hdr_contact, uri.uri_text_1, 21, 0),
    KV_SSC_TXT(52, ssc_hdr_contact, s2, 6, 0),
    KV_SSC_TXT(54, ssc_hdr_contact, s3, 33, 0),
    KV_SSC_TXT(56, ssc_hdr_contact, s4, 33, SSC_F_CUT),
    KV_SSC_TXT(58, ssc_hdr_contact, s5, 513, 0),
};
inline constexpr ssc_elem_field disposition[] = {
    // Content-Disposition, element 68
    KV_SSC_NUM(2, u8, ssc_hdr_disposition, b1, 0),  KV_SSC_NUM(3, u8, ssc_hdr_disposition, b2, 0),
    KV_SSC_TXT(4, ssc_hdr_disposition, s1, 33, 0),  KV_SSC_TXT(6, ssc_hdr_disposition, s2, 33, 0),
    KV_SSC_TXT(8, ssc_hdr_disposition, s3, 513, 0),
};
inline constexpr ssc_elem_field str_65[] = {KV_SSC_TXT(2, ssc_hdr_str1, text, 65, 0)};  // Content-Language
inline constexpr ssc_elem_field str_33[] = {KV_SSC_TXT(2, ssc_hdr_str1, text, 33, 0)};  // Proxy-Require
inline constexpr ssc_elem_field str_33_cut[] = {
    KV_SSC_TXT(2, ssc_hdr_str1, text, 33, SSC_F_CUT)};                                  // Date, Organization
inline constexpr ssc_elem_field str_17[] = {KV_SSC_TXT(2, ssc_hdr_str1, text, 17, 0)};  // MIME-Version
inline constexpr ssc_elem_field str_129_cut[] = {KV_SSC_TXT(2, ssc_hdr_str1, text, 129, SSC_F_CUT)};  // Subject
inline constexpr ssc_elem_field content_type[] = {
    KV_SSC_NUM(2, u8, ssc_hdr_content_type, type, 0), KV_SSC_NUM(3, u8, ssc_hdr_content_type, subtype, 0),
    KV_SSC_NUM(4, u8, ssc_hdr_content_type, b3, 0),   KV_SSC_TXT(6, ssc_hdr_content_type, s1, 17, 0),
    KV_SSC_TXT(8, ssc_hdr_content_type, s2, 33, 0),   KV_SSC_TXT(10, ssc_hdr_content_type, s3, 71, 0),
    KV_SSC_TXT(12, ssc_hdr_content_type, s4, 65, 0),  KV_SSC_TXT(14, ssc_hdr_content_type, s5, 65, 0),
    KV_SSC_TXT(16, ssc_hdr_content_type, s6, 513, 0),
};
inline constexpr ssc_elem_field u32_value[] = {KV_SSC_NUM(4, u32, ssc_hdr_u32, value, 0)};
// From and To: the URI fields at their own offsets.
inline constexpr ssc_elem_field from_to[] = {
    KV_SSC_NUM(2, u8, ssc_hdr_name_addr, b1, 0),
    KV_SSC_NUM(3, u8, ssc_hdr_name_addr, uri.scheme, SSC_F_SCHEME),
    KV_SSC_NUM(4, u8, ssc_hdr_name_addr, uri.tel_global, 0),
    KV_SSC_NUM(6, u16, ssc_hdr_name_addr, uri.port, 0),
    KV_SSC_NUM(8, u8, ssc_hdr_name_addr, uri.user_param, 0),
    KV_SSC_TEL(10, ssc_hdr_name_addr, uri),
    KV_SSC_TXT(22, ssc_hdr_name_addr, s1, 65, SSC_F_CUT),
    KV_SSC_TXT(24, ssc_hdr_name_addr, uri.user, 65, 0),
    KV_SSC_TXT(26, ssc_hdr_name_addr, uri.uri_text_3, 65, 0),
    KV_SSC_ADDR(28, ssc_hdr_name_addr, uri.host_family, uri.host_v4, uri.host_v6, 0),
    KV_SSC_TXT(30, ssc_hdr_name_addr, uri.host_name, 65, 0),
    KV_SSC_TXT(32, ssc_hdr_name_addr, uri.user_param_text, 17, 0),
    KV_SSC_TXT(34, ssc_hdr_name_addr, s2, 513, 0),
    KV_SSC_TXT(36, ssc_hdr_name_addr, s3, 65, 0),  // tag
    KV_SSC_TXT(38, ssc_hdr_name_addr, uri.uri_text_0, 129, 0),
};
inline constexpr ssc_elem_field reply_to[] = {
    KV_SSC_NUM(2, u8, ssc_hdr_route, b1, 0),
    KV_SSC_NUM(3, u8, ssc_hdr_route, uri.scheme, 0),
    KV_SSC_NUM(4, u8, ssc_hdr_route, uri.tel_global, 0),
    KV_SSC_NUM(6, u16, ssc_hdr_route, uri.port, 0),
    KV_SSC_NUM(8, u8, ssc_hdr_route, uri.user_param, 0),
    KV_SSC_TEL(10, ssc_hdr_route, uri),
    KV_SSC_TXT(22, ssc_hdr_route, s1, 65, SSC_F_CUT),
    KV_SSC_TXT(24, ssc_hdr_route, uri.user, 65, 0),
    KV_SSC_TXT(26, ssc_hdr_route, uri.uri_text_3, 65, 0),
    KV_SSC_ADDR(28, ssc_hdr_route, uri.host_family, uri.host_v4, uri.host_v6, 0),
    KV_SSC_TXT(30, ssc_hdr_route, uri.host_name, 65, 0),
    KV_SSC_TXT(32, ssc_hdr_route, uri.user_param_text, 17, 0),
    KV_SSC_TXT(34, ssc_hdr_route, s2, 513, 0),
};
inline constexpr ssc_elem_field min_se[] = {
    KV_SSC_NUM(4, u32, ssc_hdr_min_se, value, 0),
    KV_SSC_TXT(8, ssc_hdr_min_se, s1, 513, 0),
};
inline constexpr ssc_elem_field identity[] = {KV_SSC_ADDR_BLOCK(ssc_hdr_identity)};  // 30, 32, 33
inline constexpr ssc_elem_field route[] = {
    // 40, 45, 49, 96
    KV_SSC_ADDR_BLOCK(ssc_hdr_route),
    KV_SSC_TXT(48, ssc_hdr_route, s2, 513, 0),
};
inline constexpr ssc_elem_field history_info[] = {
    KV_SSC_ADDR_BLOCK(ssc_hdr_name_addr),
    KV_SSC_TXT(48, ssc_hdr_name_addr, s2, 33, 0),
    KV_SSC_TXT(50, ssc_hdr_name_addr, s3, 513, 0),
};
inline constexpr ssc_elem_field code_33[] = {
    // Privacy, Require, Supported, Unsupported, P-Early-Media
    KV_SSC_NUM(2, u8, ssc_hdr_code_text, code, 0),
    KV_SSC_TXT(4, ssc_hdr_code_text, text, 33, 0),
};
inline constexpr ssc_elem_field priority[] = {
    KV_SSC_NUM(2, u8, ssc_hdr_code_text, code, 0),
    KV_SSC_TXT(4, ssc_hdr_code_text, text, 256, 0),
};
inline constexpr ssc_elem_field proxy_authenticate[] = {
    KV_SSC_NUM(2, u8, ssc_hdr_challenge, b1, 0),          KV_SSC_NUM(3, u8, ssc_hdr_challenge, b2, 0),
    KV_SSC_NUM(4, u8, ssc_hdr_challenge, b3, 0),          KV_SSC_NUM(5, u8, ssc_hdr_challenge, b4, 0),
    KV_SSC_TXT(6, ssc_hdr_challenge, s1, 65, 0),          KV_SSC_TXT(8, ssc_hdr_challenge, s2, 65, 0),
    KV_SSC_TXT(10, ssc_hdr_challenge, s3, 33, 0),         KV_SSC_TXT(12, ssc_hdr_challenge, s4, 17, 0),
    KV_SSC_BYTES(14, ssc_hdr_challenge, count, bytes, 2), KV_SSC_TXT(16, ssc_hdr_challenge, s5, 17, 0),
    KV_SSC_TXT(18, ssc_hdr_challenge, s6, 65, 0),
};
inline constexpr ssc_elem_field www_authenticate[] = {
    KV_SSC_NUM(2, u8, ssc_hdr_challenge, b1, 0),  KV_SSC_NUM(3, u8, ssc_hdr_challenge, b2, 0),
    KV_SSC_NUM(4, u8, ssc_hdr_challenge, b3, 0),  KV_SSC_NUM(5, u8, ssc_hdr_challenge, b4, 0),
    KV_SSC_TXT(6, ssc_hdr_challenge, s1, 65, 0),  KV_SSC_TXT(8, ssc_hdr_challenge, s2, 65, 0),
    KV_SSC_TXT(10, ssc_hdr_challenge, s3, 65, 0), KV_SSC_TXT(12, ssc_hdr_challenge, s4, 33, 0),
    KV_SSC_TXT(14, ssc_hdr_challenge, s5, 17, 0), KV_SSC_BYTES(16, ssc_hdr_challenge, count, bytes, 2),
    KV_SSC_TXT(18, ssc_hdr_challenge, s6, 17, 0), KV_SSC_TXT(20, ssc_hdr_challenge, s7, 65, 0),
};
inline constexpr ssc_elem_field reason[] = {
    KV_SSC_NUM(2, u8, ssc_hdr_reason, protocol, 0), KV_SSC_NUM(4, u16, ssc_hdr_reason, cause, 0),
    KV_SSC_TXT(6, ssc_hdr_reason, s1, 65, 0),       KV_SSC_TXT(8, ssc_hdr_reason, s2, 65, SSC_F_CUT),
    KV_SSC_TXT(10, ssc_hdr_reason, s3, 513, 0),
};
inline constexpr ssc_elem_field replaces[] = {
    KV_SSC_NUM(2, u16, ssc_hdr_replaces, w1, 0),        KV_SSC_NUM(4, u8, ssc_hdr_replaces, b1, 0),
    KV_SSC_TXT(6, ssc_hdr_replaces, s1, 65, 0),         KV_SSC_ADDR(8, ssc_hdr_replaces, family, v4, v6, 0),
    KV_SSC_TXT(10, ssc_hdr_replaces, host_name, 65, 0), KV_SSC_TXT(12, ssc_hdr_replaces, s2, 65, 0),
    KV_SSC_TXT(14, ssc_hdr_replaces, s3, 65, 0),        KV_SSC_TXT(16, ssc_hdr_replaces, s4, 513, 0),
};
inline constexpr ssc_elem_field retry_after[] = {
    KV_SSC_NUM(4, u32, ssc_hdr_retry_after, d1, 0),
    KV_SSC_NUM(8, u32, ssc_hdr_retry_after, d2, 0),
    KV_SSC_TXT(12, ssc_hdr_retry_after, s1, 33, SSC_F_CUT),
    KV_SSC_TXT(14, ssc_hdr_retry_after, s2, 513, 0),
};
inline constexpr ssc_elem_field product[] = {
    // Server, User-Agent
    KV_SSC_TXT(2, ssc_hdr_product, product, 33, SSC_F_CUT),
    KV_SSC_TXT(4, ssc_hdr_product, version, 17, SSC_F_CUT),
    KV_SSC_TXT(6, ssc_hdr_product, comment, 33, SSC_F_CUT),
};
inline constexpr ssc_elem_field session_expires[] = {
    KV_SSC_NUM(4, u32, ssc_hdr_session_expires, delta, 0),
    KV_SSC_NUM(8, u8, ssc_hdr_session_expires, refresher, 0),
    KV_SSC_TXT(10, ssc_hdr_session_expires, s1, 513, 0),
};
inline constexpr ssc_elem_field timestamp[] = {
    KV_SSC_NUM(4, u32, ssc_hdr_timestamp, d1, 0),  KV_SSC_NUM(8, u32, ssc_hdr_timestamp, d2, 0),
    KV_SSC_NUM(12, u32, ssc_hdr_timestamp, d3, 0), KV_SSC_NUM(16, u32, ssc_hdr_timestamp, d4, 0),
    KV_SSC_TXT(20, ssc_hdr_timestamp, s1, 513, 0),
};
inline constexpr ssc_elem_field via[] = {
    KV_SSC_SPECIAL(2, u16, SSC_SP_VIA_NUMBER),
    KV_SSC_NUM(4, u8, ssc_hdr_via, protocol, 0),
    KV_SSC_NUM(5, u8, ssc_hdr_via, transport, 0),
    KV_SSC_NUM(6, u16, ssc_hdr_via, port, 0),
    KV_SSC_NUM(8, u16, ssc_hdr_via, w2, 0),
    KV_SSC_NUM(12, u8, ssc_hdr_via, b3, 0),
    KV_SSC_TXT(14, ssc_hdr_via, s1, 9, 0),
    KV_SSC_TXT(16, ssc_hdr_via, s2, 7, SSC_F_CUT),
    KV_SSC_TXT(18, ssc_hdr_via, s3, 9, 0),
    KV_SSC_ADDR(20, ssc_hdr_via, family1, v4_1, v6_1, 0),
    KV_SSC_TXT(22, ssc_hdr_via, s4, 65, 0),
    KV_SSC_TXT(24, ssc_hdr_via, s5, 65, 0),
    KV_SSC_TXT(26, ssc_hdr_via, s6, 513, 0),
    KV_SSC_TXT(30, ssc_hdr_via, s7, 65, 0),  // branch
    KV_SSC_ADDR(32, ssc_hdr_via, family2, v4_2, v6_2, SSC_F_ADDR_NONE),
};
inline constexpr ssc_elem_field warning[] = {
    KV_SSC_NUM(2, u16, ssc_hdr_warning, code, 0),       KV_SSC_NUM(4, u16, ssc_hdr_warning, w2, 0),
    KV_SSC_ADDR(6, ssc_hdr_warning, family, v4, v6, 0), KV_SSC_TXT(8, ssc_hdr_warning, host_name, 65, 0),
    KV_SSC_TXT(10, ssc_hdr_warning, s1, 65, SSC_F_CUT),  // warning text
    KV_SSC_TXT(12, ssc_hdr_warning, s2, 513, 0),         // parameters
};
inline constexpr ssc_elem_field body[] = {
    KV_SSC_NUM(2, u8, ssc_hdr_body, part, SSC_F_CAP254),
    KV_SSC_BYTES(4, ssc_hdr_body, length, bytes, 0xFFFE),
};
inline constexpr ssc_elem_field sdp_session[] = {
    KV_SSC_NUM(2, u8, ssc_hdr_sdp_session, net_type, 0),
    KV_SSC_NUM(3, u8, ssc_hdr_sdp_session, bw_type, 0),
    KV_SSC_NUM(4, u16, ssc_hdr_sdp_session, bw_value, 0),
    KV_SSC_ADDR(6, ssc_hdr_sdp_session, family, v4, v6, SSC_F_ADDR_SDP),
    KV_SSC_TXT(8, ssc_hdr_sdp_session, host, 65, 0),
    KV_SSC_TXT(10, ssc_hdr_sdp_session, session_name, 33, 0),
    KV_SSC_TXT(12, ssc_hdr_sdp_session, start_time, 11, 0),
    KV_SSC_TXT(14, ssc_hdr_sdp_session, stop_time, 11, 0),
    KV_SSC_TXT(16, ssc_hdr_sdp_session, extra, 256, 0),
};
inline constexpr ssc_elem_field sdp_media[] = {
    KV_SSC_NUM(2, u8, ssc_hdr_sdp_media, kind, 0),
    KV_SSC_NUM(4, u16, ssc_hdr_sdp_media, port, 0),
    KV_SSC_NUM(6, u8, ssc_hdr_sdp_media, port_count, 0),
    KV_SSC_NUM(7, u8, ssc_hdr_sdp_media, transport, 0),
    KV_SSC_NUM(8, u8, ssc_hdr_sdp_media, net_type, 0),
    KV_SSC_NUM(9, u8, ssc_hdr_sdp_media, bw_type, 0),
    KV_SSC_NUM(10, u16, ssc_hdr_sdp_media, bw_value, 0),
    KV_SSC_NUM(12, u8, ssc_hdr_sdp_media, direction, 0),
    KV_SSC_NUM(14, u16, ssc_hdr_sdp_media, ptime, 0),
    KV_SSC_NUM(16, u16, ssc_hdr_sdp_media, maxptime, 0),
    KV_SSC_NUM(18, u8, ssc_hdr_sdp_media, key_method, 0),
    KV_SSC_ADDR(20, ssc_hdr_sdp_media, family, v4, v6, SSC_F_ADDR_SDP),
    KV_SSC_TXT(22, ssc_hdr_sdp_media, host, 65, 0),
    KV_SSC_BYTES(24, ssc_hdr_sdp_media, format_count, formats, SDP_MAX_FORMATS),
    KV_SSC_TXT(26, ssc_hdr_sdp_media, key, 129, 0),
    KV_SSC_TXT(28, ssc_hdr_sdp_media, extra, 256, 0),
};
inline constexpr ssc_elem_field sdp_rtpmap[] = {
    KV_SSC_NUM(2, u8, ssc_hdr_sdp_rtpmap, payload_type, 0), KV_SSC_NUM(3, u8, ssc_hdr_sdp_rtpmap, codec, 0),
    KV_SSC_NUM(4, u32, ssc_hdr_sdp_rtpmap, clock_rate, 0),  KV_SSC_NUM(8, u8, ssc_hdr_sdp_rtpmap, channels, 0),
    KV_SSC_TXT(10, ssc_hdr_sdp_rtpmap, encoding, 33, 0),    KV_SSC_TXT(12, ssc_hdr_sdp_rtpmap, fmtp, 256, 0),
};
inline constexpr ssc_elem_field sdp_other[] = {
    KV_SSC_NUM(2, u16, ssc_hdr_sdp_other_media, port, 0),
    KV_SSC_NUM(4, u8, ssc_hdr_sdp_other_media, port_count, 0),
    KV_SSC_NUM(5, u8, ssc_hdr_sdp_other_media, net_type, 0),
    KV_SSC_NUM(6, u8, ssc_hdr_sdp_other_media, bw_type, 0),
    KV_SSC_NUM(8, u16, ssc_hdr_sdp_other_media, bw_value, 0),
    KV_SSC_NUM(10, u8, ssc_hdr_sdp_other_media, key_method, 0),
    KV_SSC_TXT(12, ssc_hdr_sdp_other_media, media_name, 17, 0),
    KV_SSC_TXT(14, ssc_hdr_sdp_other_media, transport, 9, 0),
    KV_SSC_ADDR(16, ssc_hdr_sdp_other_media, family, v4, v6, SSC_F_ADDR_SDP),
    KV_SSC_TXT(18, ssc_hdr_sdp_other_media, host, 65, 0),
    KV_SSC_TXT(20, ssc_hdr_sdp_other_media, format, 65, 0),
    KV_SSC_TXT(22, ssc_hdr_sdp_other_media, format2, 65, 0),
    KV_SSC_TXT(24, ssc_hdr_sdp_other_media, key, 129, 0),
    KV_SSC_BYTES(26, ssc_hdr_sdp_other_media, extra_count, extra, 255),
};
inline constexpr ssc_elem_field sdp_origin[] = {
    KV_SSC_NUM(2, u8, ssc_hdr_sdp_origin, net_type, 0),
    KV_SSC_TXT(4, ssc_hdr_sdp_origin, user, 65, 0),
    KV_SSC_TXT(6, ssc_hdr_sdp_origin, session_id, 21, 0),
    KV_SSC_TXT(8, ssc_hdr_sdp_origin, version, 21, 0),
    KV_SSC_ADDR(10, ssc_hdr_sdp_origin, family, v4, v6, SSC_F_ADDR_SDP),
    KV_SSC_TXT(12, ssc_hdr_sdp_origin, host, 65, 0),
};
inline constexpr ssc_elem_field part_type[] = {
    KV_SSC_NUM(2, u8, ssc_hdr_part_type, part, SSC_F_CAP254),
    KV_SSC_NUM(3, u8, ssc_hdr_part_type, type, 0),
    KV_SSC_NUM(4, u8, ssc_hdr_part_type, subtype, 0),
    KV_SSC_NUM(5, u8, ssc_hdr_part_type, b4, 0),
    KV_SSC_TXT(6, ssc_hdr_part_type, s1, 17, 0),
    KV_SSC_TXT(8, ssc_hdr_part_type, s2, 33, 0),
    KV_SSC_TXT(10, ssc_hdr_part_type, s3, 71, 0),
    KV_SSC_TXT(12, ssc_hdr_part_type, s4, 65, 0),
    KV_SSC_TXT(14, ssc_hdr_part_type, s5, 65, 0),
    KV_SSC_TXT(16, ssc_hdr_part_type, s6, 513, 0),
};
inline constexpr ssc_elem_field part_headers[] = {
    KV_SSC_NUM(2, u8, ssc_hdr_part_headers, part, SSC_F_CAP254),
    KV_SSC_NUM(3, u8, ssc_hdr_part_headers, b2, 0),
    KV_SSC_NUM(4, u8, ssc_hdr_part_headers, b3, 0),
    KV_SSC_TXT(6, ssc_hdr_part_headers, s1, 33, 0),
    KV_SSC_TXT(8, ssc_hdr_part_headers, s2, 33, 0),
    KV_SSC_TXT(10, ssc_hdr_part_headers, s3, 513, 0),
};
inline constexpr ssc_elem_field referred_by[] = {
    KV_SSC_NUM(2, u8, ssc_hdr_referred_by, b1, 0),
    KV_SSC_URI_FIXED(ssc_hdr_referred_by, uri),
    KV_SSC_NUM(12, u8, ssc_hdr_referred_by, uri.uri_byte_2, SSC_F_CAP254),
    KV_SSC_TEL(14, ssc_hdr_referred_by, uri),
    KV_SSC_TXT(26, ssc_hdr_referred_by, uri.user, 65, 0),
    KV_SSC_TXT(28, ssc_hdr_referred_by, uri.uri_text_3, 65, 0),
    KV_SSC_ADDR(30, ssc_hdr_referred_by, uri.host_family, uri.host_v4, uri.host_v6, 0),
    KV_SSC_TXT(32, ssc_hdr_referred_by, uri.host_name, 65, 0),
    KV_SSC_TXT(34, ssc_hdr_referred_by, uri.maddr, 65, 0),
    KV_SSC_TXT(36, ssc_hdr_referred_by, uri.transport_text, 9, 0),
    KV_SSC_TXT(38, ssc_hdr_referred_by, uri.user_param_text, 17, 0),
    KV_SSC_TXT(40, ssc_hdr_referred_by, uri.uri_text_1, 21, 0),
    KV_SSC_TXT(42, ssc_hdr_referred_by, uri.uri_text_2, 513, 0),
    KV_SSC_TXT(44, ssc_hdr_referred_by, s2, 65, 0),          // content id
    KV_SSC_TXT(46, ssc_hdr_referred_by, s3, 513, 0),         // header parameters
    KV_SSC_TXT(48, ssc_hdr_referred_by, s1, 65, SSC_F_CUT),  // display name
};
inline constexpr ssc_elem_field sdp_t38[] = {
    KV_SSC_NUM(2, u8, ssc_hdr_sdp_t38, kind, 0),
    KV_SSC_NUM(3, u8, ssc_hdr_sdp_t38, format, 0),
    KV_SSC_NUM(4, u16, ssc_hdr_sdp_t38, port, 0),
    KV_SSC_NUM(6, u8, ssc_hdr_sdp_t38, transport, 0),
    KV_SSC_NUM(7, u8, ssc_hdr_sdp_t38, net_type, 0),
    KV_SSC_NUM(8, u8, ssc_hdr_sdp_t38, bw_type, 0),
    KV_SSC_NUM(10, u16, ssc_hdr_sdp_t38, bw_value, 0),
    KV_SSC_NUM(12, u8, ssc_hdr_sdp_t38, direction, 0),
    KV_SSC_NUM(13, u8, ssc_hdr_sdp_t38, key_method, 0),
    KV_SSC_NUM(14, u8, ssc_hdr_sdp_t38, version, 0),
    KV_SSC_NUM(16, u32, ssc_hdr_sdp_t38, max_bit_rate, 0),
    KV_SSC_NUM(20, u8, ssc_hdr_sdp_t38, fill_bit_removal, 0),
    KV_SSC_NUM(21, u8, ssc_hdr_sdp_t38, mmr, 0),
    KV_SSC_NUM(22, u8, ssc_hdr_sdp_t38, jbig, 0),
    KV_SSC_NUM(23, u8, ssc_hdr_sdp_t38, rate_management, 0),
    KV_SSC_NUM(24, u32, ssc_hdr_sdp_t38, max_buffer, 0),
    KV_SSC_NUM(28, u32, ssc_hdr_sdp_t38, max_datagram, 0),
    KV_SSC_NUM(32, u8, ssc_hdr_sdp_t38, udp_ec, 0),
    KV_SSC_ADDR(34, ssc_hdr_sdp_t38, family, v4, v6, SSC_F_ADDR_SDP),
    KV_SSC_TXT(36, ssc_hdr_sdp_t38, host_name, 65, 0),
    KV_SSC_TXT(38, ssc_hdr_sdp_t38, key, 129, 0),
    KV_SSC_RAWTXT(40, ssc_hdr_sdp_t38, extra, 512),
};
inline constexpr ssc_elem_field diversion[] = {
    KV_SSC_NUM(2, u8, ssc_hdr_diversion, b1, 0),
    KV_SSC_URI_FIXED(ssc_hdr_diversion, uri),
    KV_SSC_NUM(12, u8, ssc_hdr_diversion, uri.uri_byte_2, SSC_F_CAP254),
    KV_SSC_NUM(13, u8, ssc_hdr_diversion, b2, 0),
    KV_SSC_NUM(14, u8, ssc_hdr_diversion, b3, 0),
    KV_SSC_NUM(15, u8, ssc_hdr_diversion, b4, 0),
    KV_SSC_NUM(16, u8, ssc_hdr_diversion, b5, 0),
    KV_SSC_NUM(17, u8, ssc_hdr_diversion, b6, 0),
    KV_SSC_TEL(18, ssc_hdr_diversion, uri),
    KV_SSC_TXT(30, ssc_hdr_diversion, s1, 65, SSC_F_CUT),
    KV_SSC_TXT(32, ssc_hdr_diversion, uri.user, 65, 0),
    KV_SSC_TXT(34, ssc_hdr_diversion, uri.uri_text_3, 65, 0),
    KV_SSC_ADDR(36, ssc_hdr_diversion, uri.host_family, uri.host_v4, uri.host_v6, 0),
    KV_SSC_TXT(38, ssc_hdr_diversion, uri.host_name, 65, 0),
    KV_SSC_TXT(40, ssc_hdr_diversion, uri.maddr, 65, 0),
    KV_SSC_TXT(42, ssc_hdr_diversion, uri.transport_text, 9, 0),
    KV_SSC_TXT(44, ssc_hdr_diversion, uri.user_param_text, 17, 0),
    KV_SSC_TXT(46, ssc_hdr_diversion, uri.uri_text_1, 21, 0),
    KV_SSC_TXT(48, ssc_hdr_diversion, uri.uri_text_2, 513, 0),
    KV_SSC_TXT(50, ssc_hdr_diversion, s2, 513, 0),
    KV_SSC_TXT(52, ssc_hdr_diversion, s3, 513, 0),
    KV_SSC_TXT(54, ssc_hdr_diversion, s4, 513, 0),
    KV_SSC_TXT(56, ssc_hdr_diversion, s5, 513, 0),
};
inline constexpr ssc_elem_field session_id[] = {
    KV_SSC_TXT(2, ssc_hdr_str2, s1, 33, 0),
    KV_SSC_TXT(4, ssc_hdr_str2, s2, 513, 0),
};
inline constexpr ssc_elem_field byte_value[] = {KV_SSC_NUM(2, u8, ssc_hdr_byte, value, 0)};
inline constexpr ssc_elem_field allow[] = {KV_SSC_SPECIAL(2, u8, SSC_SP_NONE)};  // one element per flag

#define KV_SSC_BIND(ssc_id, sip_id, len, f) \
  ssc_elem_binding { static_cast<ssc_header_id>(ssc_id), static_cast<sip_header_id>(sip_id), len, f, std::size(f) }

}  // namespace ssc_layout_detail

// Every SSC header that has an element form, by ascending SSC id.
inline constexpr ssc_elem_binding ssc_elem_bindings[] = {
    KV_SSC_BIND(3, 1, 44, ssc_layout_detail::request_uri),
    KV_SSC_BIND(4, 2, 6, ssc_layout_detail::status),
    KV_SSC_BIND(5, 3, 14, ssc_layout_detail::accept),
    KV_SSC_BIND(6, 4, 6, ssc_layout_detail::code_513),
    KV_SSC_BIND(7, 5, 10, ssc_layout_detail::accept_language),
    KV_SSC_BIND(8, 6, 6, ssc_layout_detail::info_uri),
    KV_SSC_BIND(9, 7, 4, ssc_layout_detail::allow),
    KV_SSC_BIND(10, 8, 16, ssc_layout_detail::auth_info),
    KV_SSC_BIND(11, 9, 36, ssc_layout_detail::authorization),
    KV_SSC_BIND(12, 10, 8, ssc_layout_detail::call_id),
    KV_SSC_BIND(13, 11, 10, ssc_layout_detail::call_info),
    KV_SSC_BIND(14, 12, 62, ssc_layout_detail::contact),
    KV_SSC_BIND(15, 13, 10, ssc_layout_detail::disposition),
    KV_SSC_BIND(16, 14, 6, ssc_layout_detail::code_513),
    KV_SSC_BIND(17, 15, 4, ssc_layout_detail::str_65),
    KV_SSC_BIND(18, 17, 18, ssc_layout_detail::content_type),
    KV_SSC_BIND(20, 19, 4, ssc_layout_detail::str_33_cut),
    KV_SSC_BIND(21, 21, 6, ssc_layout_detail::info_uri),
    KV_SSC_BIND(22, 22, 8, ssc_layout_detail::u32_value),
    KV_SSC_BIND(23, 23, 40, ssc_layout_detail::from_to),
    KV_SSC_BIND(24, 25, 8, ssc_layout_detail::in_reply_to),
    KV_SSC_BIND(25, 26, 8, ssc_layout_detail::u32_value),
    KV_SSC_BIND(26, 27, 4, ssc_layout_detail::str_17),
    KV_SSC_BIND(27, 28, 8, ssc_layout_detail::u32_value),
    KV_SSC_BIND(28, 29, 10, ssc_layout_detail::min_se),
    KV_SSC_BIND(29, 30, 4, ssc_layout_detail::str_33_cut),
    KV_SSC_BIND(30, 31, 48, ssc_layout_detail::identity),
    KV_SSC_BIND(32, 34, 48, ssc_layout_detail::identity),
    KV_SSC_BIND(33, 35, 48, ssc_layout_detail::identity),
    KV_SSC_BIND(34, 36, 6, ssc_layout_detail::priority),
    KV_SSC_BIND(35, 37, 6, ssc_layout_detail::code_33),
    KV_SSC_BIND(36, 38, 20, ssc_layout_detail::proxy_authenticate),
    KV_SSC_BIND(37, 39, 34, ssc_layout_detail::proxy_authorization),
    KV_SSC_BIND(38, 40, 4, ssc_layout_detail::str_33),
    KV_SSC_BIND(39, 41, 12, ssc_layout_detail::reason),
    KV_SSC_BIND(40, 42, 50, ssc_layout_detail::route),
    KV_SSC_BIND(41, 43, 18, ssc_layout_detail::replaces),
    KV_SSC_BIND(42, 44, 38, ssc_layout_detail::reply_to),
    KV_SSC_BIND(43, 46, 6, ssc_layout_detail::code_33),
    KV_SSC_BIND(44, 47, 16, ssc_layout_detail::retry_after),
    KV_SSC_BIND(45, 48, 50, ssc_layout_detail::route),
    KV_SSC_BIND(46, 49, 8, ssc_layout_detail::product),
    KV_SSC_BIND(49, 50, 50, ssc_layout_detail::route),
    KV_SSC_BIND(50, 51, 12, ssc_layout_detail::session_expires),
    KV_SSC_BIND(51, 53, 4, ssc_layout_detail::str_129_cut),
    KV_SSC_BIND(52, 54, 6, ssc_layout_detail::code_33),
    KV_SSC_BIND(53, 55, 22, ssc_layout_detail::timestamp),
    KV_SSC_BIND(54, 56, 40, ssc_layout_detail::from_to),
    KV_SSC_BIND(55, 57, 6, ssc_layout_detail::code_33),
    KV_SSC_BIND(56, 58, 8, ssc_layout_detail::product),
    KV_SSC_BIND(57, 59, 34, ssc_layout_detail::via),
    KV_SSC_BIND(58, 60, 14, ssc_layout_detail::warning),
    KV_SSC_BIND(59, 61, 22, ssc_layout_detail::www_authenticate),
    KV_SSC_BIND(60, 62, 6, ssc_layout_detail::body),
    KV_SSC_BIND(61, 63, 18, ssc_layout_detail::sdp_session),
    KV_SSC_BIND(62, 64, 30, ssc_layout_detail::sdp_media),
    KV_SSC_BIND(63, 65, 14, ssc_layout_detail::sdp_rtpmap),
    KV_SSC_BIND(64, 66, 28, ssc_layout_detail::sdp_other),
    KV_SSC_BIND(65, 67, 14, ssc_layout_detail::sdp_origin),
    KV_SSC_BIND(66, 68, 18, ssc_layout_detail::part_type),
    KV_SSC_BIND(67, 69, 12, ssc_layout_detail::part_headers),
    KV_SSC_BIND(68, 70, 10, ssc_layout_detail::disposition),
    KV_SSC_BIND(72, 78, 52, ssc_layout_detail::referred_by),
    KV_SSC_BIND(75, 83, 42, ssc_layout_detail::sdp_t38),
    KV_SSC_BIND(85, 20, 60, ssc_layout_detail::diversion),
    KV_SSC_BIND(89, 32, 6, ssc_layout_detail::code_33),
    KV_SSC_BIND(92, 52, 6, ssc_layout_detail::session_id),
    KV_SSC_BIND(93, 24, 52, ssc_layout_detail::history_info),
    KV_SSC_BIND(94, 45, 4, ssc_layout_detail::byte_value),
    KV_SSC_BIND(96, 48, 50, ssc_layout_detail::route),
};

// Position of an SSC id's binding in ssc_elem_bindings, or -1 (no element form).
constexpr int ssc_elem__binding_index(ssc_header_id id) {
  for (std::size_t i = 0; i < std::size(ssc_elem_bindings); ++i)
    if (ssc_elem_bindings[i].ssc == id) return static_cast<int>(i);
  return -1;
}
// The binding of an SSC id, or null (no element form).
inline const ssc_elem_binding* ssc_elem__binding(ssc_header_id id) {
  const int i = ssc_elem__binding_index(id);
  return i < 0 ? nullptr : &ssc_elem_bindings[i];
}

namespace ssc_layout_detail {
// Every binding names its SIP layout, with the same fixed length; every
// field sits at an offset of that layout with the same width or form, in
// ascending order (so texts are written in the order of their length slots).
constexpr bool bindings_agree() {
  for (const auto& b : ssc_elem_bindings) {
    const unsigned sid = static_cast<unsigned>(b.sip);
    if (sid >= SIP_HDR_SLOTS || sip_elem_detail::layout_index[sid] < 0) return false;
    const sip_elem_layout* l = &sip_elem_layouts[static_cast<std::size_t>(sip_elem_detail::layout_index[sid])];
    if (l->fixed_len != b.fixed_len) return false;
    int last = 1;
    for (std::size_t i = 0; i < b.field_count; ++i) {
      const ssc_elem_field& f = b.fields[i];
      if (f.offset <= last) return false;
      last = f.offset;
      bool found = false;
      for (std::size_t k = 0; k < l->field_count; ++k)
        if (l->fields[k].offset == f.offset && l->fields[k].kind == f.kind) found = true;
      if (!found) return false;
      if (f.form == ssc_fk::text && f.bound == 0) return false;
    }
  }
  return true;
}
static_assert(bindings_agree(), "an SSC binding names a field its SIP element layout does not have");
}  // namespace ssc_layout_detail
