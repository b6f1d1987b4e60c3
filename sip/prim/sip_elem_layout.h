// Element layouts of the SIP primitive body: for every header and SDP element
// that a primitive carries, the byte position, width and kind of each field
// of its node, and where the field lives in the header work area.  These rows
// are the only description of the elements: the encoders and decoders
// (sip_elem.h) read them, and so does the session-control side's record codec.
//
// Rules for every element: offsets count from the node's first byte, whose
// u16 link comes first; integers are in host byte order; the fixed part is
// zeroed before it is filled; a text field stores its characters and a NUL
// and its u16 length counts the NUL; a raw field stores its bytes and their
// count; a length of 0 stores nothing; the variable part holds the fields in
// the order of their length fields, without padding.
#pragma once

#include <array>
#include <cstdint>
#include <iterator>
#include <type_traits>

#include "sip/text/sdp.h"
#include "sip/text/sip_hdr.h"
#include "sip/text/sip_prim_area.h"
#include "platform/int_types.h"

// Ids of the elements that the parser's numbering has no name for.
inline constexpr sip_header_id SIP_HDR_SDP_SESSION = static_cast<sip_header_id>(63);
inline constexpr sip_header_id SIP_HDR_SDP_MEDIA = static_cast<sip_header_id>(64);
inline constexpr sip_header_id SIP_HDR_SDP_FORMAT = static_cast<sip_header_id>(65);
inline constexpr sip_header_id SIP_HDR_SDP_TEXT_MEDIA = static_cast<sip_header_id>(66);
inline constexpr sip_header_id SIP_HDR_SDP_ORIGIN = static_cast<sip_header_id>(67);
inline constexpr sip_header_id SIP_HDR_DISPOSITION_70 = static_cast<sip_header_id>(70);
inline constexpr sip_header_id SIP_HDR_SDP_IMAGE = static_cast<sip_header_id>(83);

enum class sip_elem_kind : u8 { u8, u16, u32, text, raw };

// One field of an element.  Numbers are read by get_num and stored by
// set_num; texts and raw fields by get_str / set_str.  A null getter writes
// 0 (or nothing); a null setter means the decoder skips the field.
struct sip_elem_field {
  u8 offset;
  sip_elem_kind kind;
  u32 (*get_num)(const void* rec);
  void (*set_num)(void* rec, u32 value);
  sip_str (*get_str)(const void* rec);
  void (*set_str)(void* rec, sip_str value);
};

struct sip_elem_layout {
  sip_header_id id;
  u8 fixed_len;  // counts the link
  u8 max;        // most instances in one primitive
  const sip_elem_field* fields;
  std::size_t field_count;
  void* (*record)(unsigned index);  // the work-area instance
  void (*clear)(void* rec);         // empties an instance before it is decoded
};

namespace sip_elem_detail {
template <class T>
constexpr void assign(T& dst, u32 v) {
  dst = static_cast<T>(v);
}
template <class T>
constexpr u32 widen(T v) {
  return static_cast<u32>(static_cast<std::make_unsigned_t<T>>(v));
}

// Fields whose value is not a plain member of the work-area record.
// Upward, a request's Request-URI carries where the datagram came from (set
// by the receive path for the build, 0xFFFF / empty otherwise).
inline u32 rl_dest_port_get(const void*) { return sip_prim_area.rl_dest_port; }
inline void rl_dest_port_set(void*, u32 v) { sip_prim_area.rl_dest_port = static_cast<u16>(v); }
inline u32 rl_next_hop_get(const void*) { return 0; }
inline void rl_next_hop_set(void*, u32 v) { sip_prim_area.rl_next_hop = static_cast<u8>(v); }
inline sip_str rl_dest_addr_get(const void*) { return sip_prim_area.rl_dest_addr; }
inline void rl_dest_addr_set(void*, sip_str v) { sip_prim_area.rl_dest_addr = v; }
inline u32 via_number_get(const void*) { return sip_prim_area.via_number; }
inline void via_number_set(void*, u32 v) { sip_prim_area.via_number = static_cast<u16>(v); }
inline u32 via_local_port_get(const void*) { return sip_prim_area.local_port; }
inline u32 const_ff_get(const void*) { return 0xFF; }
inline sip_str via_source_get(const void*) { return sip_prim_area.source_addr; }
inline sip_str callid_addr_get(const void* r) {
  const auto* c = static_cast<const sip_callid_parsed*>(r);
  return {c->addr_len, reinterpret_cast<const char*>(c->addr)};
}
inline void callid_addr_set(void* r, sip_str v) {
  auto* c = static_cast<sip_callid_parsed*>(r);
  c->addr_len = v.len;
  c->addr = reinterpret_cast<const u8*>(v.ptr);
}
inline sip_str repl_addr_get(const void* r) {
  return callid_addr_get(&static_cast<const sip_replaces_rec*>(r)->call_id);
}
inline void repl_addr_set(void* r, sip_str v) { callid_addr_set(&static_cast<sip_replaces_rec*>(r)->call_id, v); }
// The offered qop options: at most 2 travel.
inline sip_str qop_options_get(const void* r) {
  const auto* c = static_cast<const sip_challenge_rec*>(r);
  return {static_cast<u16>(c->qop_count < 2 ? c->qop_count : 2), reinterpret_cast<const char*>(c->qop_options)};
}
inline void qop_options_set(void* r, sip_str v) {
  auto* c = static_cast<sip_challenge_rec*>(r);
  const u16 n = v.len < SIP_QOP_OPTIONS_MAX ? v.len : SIP_QOP_OPTIONS_MAX;
  for (u16 i = 0; i < n; ++i) c->qop_options[i] = static_cast<u8>(v.ptr[i]);
  c->qop_count = static_cast<u8>(v.len > 0xFF ? 0xFF : v.len);
}
inline sip_str sdp_formats_get(const void* r) {
  const auto* m = static_cast<const sdp_media_av*>(r);
  return {m->format_count, reinterpret_cast<const char*>(m->formats)};
}
inline void sdp_formats_set(void* r, sip_str v) {
  auto* m = static_cast<sdp_media_av*>(r);
  m->format_count = v.len;
  m->formats = reinterpret_cast<const u8*>(v.ptr);
}
// Texts the work area has no place for: sent empty, checked when received.
inline sip_str none_get(const void*) { return {}; }
inline constexpr auto handling_text_get = none_get;
inline constexpr auto screen_text_get = none_get;
inline constexpr auto warning_other_get = none_get;
inline constexpr void (*handling_text_set)(void*, sip_str) = nullptr;
inline constexpr void (*screen_text_set)(void*, sip_str) = nullptr;
inline constexpr void (*warning_other_set)(void*, sip_str) = nullptr;
inline constexpr void (*via_local_port_set)(void*, u32) = nullptr;
inline constexpr void (*const_ff_set)(void*, u32) = nullptr;
inline constexpr void (*via_source_set)(void*, sip_str) = nullptr;
}  // namespace sip_elem_detail

// R names a record type and m a member inside it: neither can be put in
// parentheses where these field rows use them.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define KV_ELEM_NUM(off, k, R, m)                                                                                    \
  sip_elem_field {                                                                                                   \
    off, sip_elem_kind::k, [](const void* r) -> u32 { return sip_elem_detail::widen(static_cast<const R*>(r)->m); }, \
        [](void* r, u32 v) { sip_elem_detail::assign(static_cast<R*>(r)->m, v); }, nullptr, nullptr                  \
  }
#define KV_ELEM_STR(off, k, R, m)                                                                                  \
  sip_elem_field {                                                                                                 \
    off, sip_elem_kind::k, nullptr, nullptr, [](const void* r) -> sip_str { return static_cast<const R*>(r)->m; }, \
        [](void* r, sip_str v) { static_cast<R*>(r)->m = v; }                                                      \
  }
// NOLINTEND(bugprone-macro-parentheses)
#define KV_ELEM_SPECIAL_NUM(off, k, name) \
  sip_elem_field { off, sip_elem_kind::k, sip_elem_detail::name##_get, sip_elem_detail::name##_set, nullptr, nullptr }
#define KV_ELEM_SPECIAL_STR(off, k, name) \
  sip_elem_field { off, sip_elem_kind::k, nullptr, nullptr, sip_elem_detail::name##_get, sip_elem_detail::name##_set }

// request_line (id 1): fixed length 44, at most 1.
inline constexpr sip_elem_field request_line_fields[] = {
    KV_ELEM_NUM(2, u8, sip_addr, scheme),          KV_ELEM_NUM(3, u8, sip_addr, global),
    KV_ELEM_NUM(4, u16, sip_addr, port),           KV_ELEM_SPECIAL_NUM(6, u16, rl_dest_port),
    KV_ELEM_NUM(8, u8, sip_addr, transport),       KV_ELEM_NUM(9, u8, sip_addr, ttl),
    KV_ELEM_NUM(10, u8, sip_addr, user_param),     KV_ELEM_SPECIAL_NUM(11, u8, rl_next_hop),
    KV_ELEM_STR(12, text, sip_addr, phone_number), KV_ELEM_STR(14, text, sip_addr, isub),
    KV_ELEM_STR(16, text, sip_addr, postd),        KV_ELEM_STR(18, text, sip_addr, phone_context),
    KV_ELEM_STR(20, text, sip_addr, tsp),          KV_ELEM_STR(22, text, sip_addr, tel_other),
    KV_ELEM_STR(24, text, sip_addr, user),         KV_ELEM_STR(26, text, sip_addr, password),
    KV_ELEM_STR(28, raw, sip_addr, ipv4),          KV_ELEM_STR(30, text, sip_addr, host),
    KV_ELEM_STR(32, text, sip_addr, maddr),        KV_ELEM_STR(34, text, sip_addr, transport_other),
    KV_ELEM_STR(36, text, sip_addr, user_other),   KV_ELEM_STR(38, text, sip_addr, params_other),
    KV_ELEM_SPECIAL_STR(40, raw, rl_dest_addr),    KV_ELEM_STR(42, text, sip_addr, text),
};
// status_line (id 2): fixed length 6, at most 1.
inline constexpr sip_elem_field status_line_fields[] = {
    KV_ELEM_NUM(2, u16, sip_status_line_rec, code),
    KV_ELEM_STR(4, text, sip_status_line_rec, reason),
};
// accept (id 3): fixed length 14, at most 4.
inline constexpr sip_elem_field accept_fields[] = {
    KV_ELEM_NUM(2, u8, sip_accept_rec, type),
    KV_ELEM_NUM(3, u8, sip_accept_rec, subtype),
    KV_ELEM_STR(4, text, sip_accept_rec, type_text),
    KV_ELEM_STR(6, text, sip_accept_rec, subtype_text),
    KV_ELEM_STR(8, text, sip_accept_rec, params_first),
    KV_ELEM_STR(10, text, sip_accept_rec, q),
    KV_ELEM_STR(12, text, sip_accept_rec, params_second),
};
// accept_encoding (id 4): fixed length 6, at most 3.
inline constexpr sip_elem_field accept_encoding_fields[] = {
    KV_ELEM_NUM(2, u8, sip_encoding_rec, coding),
    KV_ELEM_STR(4, text, sip_encoding_rec, params),
};
// accept_language (id 5): fixed length 10, at most 3.
inline constexpr sip_elem_field accept_language_fields[] = {
    KV_ELEM_STR(2, text, sip_accept_language_rec, primary),
    KV_ELEM_STR(4, text, sip_accept_language_rec, subtag),
    KV_ELEM_STR(6, text, sip_accept_language_rec, q),
    KV_ELEM_STR(8, text, sip_accept_language_rec, params),
};
// alert_info (id 6): fixed length 6, at most 3.
inline constexpr sip_elem_field alert_info_fields[] = {
    KV_ELEM_STR(2, text, sip_info_uri_rec, uri),
    KV_ELEM_STR(4, text, sip_info_uri_rec, params_other),
};
// allow (id 7): fixed length 4, at most 10.
inline constexpr sip_elem_field allow_fields[] = {
    KV_ELEM_NUM(2, u8, sip_code_rec, code),
};
// authentication_info (id 8): fixed length 16, at most 1.
inline constexpr sip_elem_field authentication_info_fields[] = {
    KV_ELEM_NUM(2, u8, sip_auth_info_rec, qop),         KV_ELEM_NUM(4, u32, sip_auth_info_rec, nc),
    KV_ELEM_STR(8, text, sip_auth_info_rec, nextnonce), KV_ELEM_STR(10, text, sip_auth_info_rec, rspauth),
    KV_ELEM_STR(12, text, sip_auth_info_rec, cnonce),   KV_ELEM_STR(14, text, sip_auth_info_rec, qop_text),
};
// authorization (id 9): fixed length 36, at most 2.
inline constexpr sip_elem_field authorization_fields[] = {
    KV_ELEM_NUM(2, u8, sip_credentials_rec, scheme),      KV_ELEM_NUM(3, u8, sip_credentials_rec, algorithm),
    KV_ELEM_NUM(4, u8, sip_credentials_rec, aka_version), KV_ELEM_NUM(5, u8, sip_credentials_rec, qop),
    KV_ELEM_NUM(8, u32, sip_credentials_rec, nc),         KV_ELEM_STR(12, text, sip_credentials_rec, basic),
    KV_ELEM_STR(14, text, sip_credentials_rec, username), KV_ELEM_STR(16, text, sip_credentials_rec, realm),
    KV_ELEM_STR(18, text, sip_credentials_rec, nonce),    KV_ELEM_STR(20, text, sip_credentials_rec, uri),
    KV_ELEM_STR(22, text, sip_credentials_rec, response), KV_ELEM_STR(24, text, sip_credentials_rec, algorithm_text),
    KV_ELEM_STR(26, text, sip_credentials_rec, cnonce),   KV_ELEM_STR(28, text, sip_credentials_rec, opaque),
    KV_ELEM_STR(30, text, sip_credentials_rec, qop_text), KV_ELEM_STR(34, text, sip_credentials_rec, other),
};
// call_id (id 10): fixed length 8, at most 1.
inline constexpr sip_elem_field call_id_fields[] = {
    KV_ELEM_STR(2, text, sip_callid_parsed, word),
    KV_ELEM_SPECIAL_STR(4, raw, callid_addr),
    KV_ELEM_STR(6, text, sip_callid_parsed, host),
};
// call_info (id 11): fixed length 10, at most 3.
inline constexpr sip_elem_field call_info_fields[] = {
    KV_ELEM_NUM(2, u8, sip_call_info_rec, purpose),
    KV_ELEM_STR(4, text, sip_call_info_rec, purpose_text),
    KV_ELEM_STR(6, text, sip_call_info_rec, uri),
    KV_ELEM_STR(8, text, sip_call_info_rec, params_other),
};
// contact (id 12): fixed length 62, at most 3.
inline constexpr sip_elem_field contact_fields[] = {
    KV_ELEM_NUM(2, u8, sip_contact_rec, na.quoted),
    KV_ELEM_NUM(3, u8, sip_contact_rec, na.addr.scheme),
    KV_ELEM_NUM(4, u8, sip_contact_rec, na.addr.global),
    KV_ELEM_NUM(6, u16, sip_contact_rec, na.addr.port),
    KV_ELEM_NUM(8, u8, sip_contact_rec, na.addr.transport),
    KV_ELEM_NUM(9, u8, sip_contact_rec, na.addr.ttl),
    KV_ELEM_NUM(10, u8, sip_contact_rec, na.addr.user_param),
    KV_ELEM_NUM(11, u8, sip_contact_rec, na.addr.method_param),
    KV_ELEM_NUM(12, u32, sip_contact_rec, expires),
    KV_ELEM_NUM(16, u8, sip_contact_rec, action),
    KV_ELEM_STR(18, text, sip_contact_rec, na.addr.phone_number),
    KV_ELEM_STR(20, text, sip_contact_rec, na.addr.isub),
    KV_ELEM_STR(22, text, sip_contact_rec, na.addr.postd),
    KV_ELEM_STR(24, text, sip_contact_rec, na.addr.phone_context),
    KV_ELEM_STR(26, text, sip_contact_rec, na.addr.tsp),
    KV_ELEM_STR(28, text, sip_contact_rec, na.addr.tel_other),
    KV_ELEM_STR(30, text, sip_contact_rec, na.display),
    KV_ELEM_STR(32, text, sip_contact_rec, na.addr.user),
    KV_ELEM_STR(34, text, sip_contact_rec, na.addr.password),
    KV_ELEM_STR(36, raw, sip_contact_rec, na.addr.ipv4),
    KV_ELEM_STR(38, text, sip_contact_rec, na.addr.host),
    KV_ELEM_STR(40, text, sip_contact_rec, na.addr.maddr),
    KV_ELEM_STR(42, text, sip_contact_rec, na.addr.transport_other),
    KV_ELEM_STR(44, text, sip_contact_rec, na.addr.user_other),
    KV_ELEM_STR(48, text, sip_contact_rec, na.addr.params_other),
    KV_ELEM_STR(50, text, sip_contact_rec, na.addr.headers),
    KV_ELEM_STR(52, text, sip_contact_rec, q),
    KV_ELEM_STR(54, text, sip_contact_rec, expires_date),
    KV_ELEM_STR(56, text, sip_contact_rec, comment),
    KV_ELEM_STR(58, text, sip_contact_rec, na.params_other),
};
// content_disposition (id 13): fixed length 10, at most 2.
inline constexpr sip_elem_field content_disposition_fields[] = {
    KV_ELEM_NUM(2, u8, sip_disposition_rec, disposition),        KV_ELEM_NUM(3, u8, sip_disposition_rec, handling),
    KV_ELEM_STR(4, text, sip_disposition_rec, disposition_text), KV_ELEM_SPECIAL_STR(6, text, handling_text),
    KV_ELEM_STR(8, text, sip_disposition_rec, params_other),
};
// content_encoding (id 14): fixed length 6, at most 3.
inline constexpr sip_elem_field content_encoding_fields[] = {
    KV_ELEM_NUM(2, u8, sip_encoding_rec, coding),
    KV_ELEM_STR(4, text, sip_encoding_rec, params),
};
// content_language (id 15): fixed length 4, at most 3.
inline constexpr sip_elem_field content_language_fields[] = {
    KV_ELEM_STR(2, text, sip_text_rec, text),
};
// content_type (id 17): fixed length 18, at most 2.
inline constexpr sip_elem_field content_type_fields[] = {
    KV_ELEM_NUM(2, u8, sip_media_type_rec, type),
    KV_ELEM_NUM(3, u8, sip_media_type_rec, subtype),
    KV_ELEM_NUM(4, u8, sip_media_type_rec, base),
    KV_ELEM_STR(6, text, sip_media_type_rec, type_text),
    KV_ELEM_STR(8, text, sip_media_type_rec, subtype_text),
    KV_ELEM_STR(10, text, sip_media_type_rec, boundary),
    KV_ELEM_STR(12, text, sip_media_type_rec, version),
    KV_ELEM_STR(14, text, sip_media_type_rec, base_text),
    KV_ELEM_STR(16, text, sip_media_type_rec, params_other),
};
// date (id 19): fixed length 4, at most 2.
inline constexpr sip_elem_field date_fields[] = {
    KV_ELEM_STR(2, text, sip_text_rec, text),
};
// diversion (id 20): fixed length 60, at most 1.
inline constexpr sip_elem_field diversion_fields[] = {
    KV_ELEM_NUM(2, u8, sip_diversion_rec, na.quoted),
    KV_ELEM_NUM(3, u8, sip_diversion_rec, na.addr.scheme),
    KV_ELEM_NUM(4, u8, sip_diversion_rec, na.addr.global),
    KV_ELEM_NUM(6, u16, sip_diversion_rec, na.addr.port),
    KV_ELEM_NUM(8, u8, sip_diversion_rec, na.addr.transport),
    KV_ELEM_NUM(9, u8, sip_diversion_rec, na.addr.ttl),
    KV_ELEM_NUM(10, u8, sip_diversion_rec, na.addr.user_param),
    KV_ELEM_NUM(11, u8, sip_diversion_rec, na.addr.method_param),
    KV_ELEM_NUM(12, u8, sip_diversion_rec, na.addr.lr),
    KV_ELEM_NUM(13, u8, sip_diversion_rec, reason),
    KV_ELEM_NUM(14, u8, sip_diversion_rec, counter),
    KV_ELEM_NUM(15, u8, sip_diversion_rec, limit),
    KV_ELEM_NUM(16, u8, sip_diversion_rec, privacy),
    KV_ELEM_NUM(17, u8, sip_diversion_rec, screen),
    KV_ELEM_STR(18, text, sip_diversion_rec, na.addr.phone_number),
    KV_ELEM_STR(20, text, sip_diversion_rec, na.addr.isub),
    KV_ELEM_STR(22, text, sip_diversion_rec, na.addr.postd),
    KV_ELEM_STR(24, text, sip_diversion_rec, na.addr.phone_context),
    KV_ELEM_STR(26, text, sip_diversion_rec, na.addr.tsp),
    KV_ELEM_STR(28, text, sip_diversion_rec, na.addr.tel_other),
    KV_ELEM_STR(30, text, sip_diversion_rec, na.display),
    KV_ELEM_STR(32, text, sip_diversion_rec, na.addr.user),
    KV_ELEM_STR(34, text, sip_diversion_rec, na.addr.password),
    KV_ELEM_STR(36, raw, sip_diversion_rec, na.addr.ipv4),
    KV_ELEM_STR(38, text, sip_diversion_rec, na.addr.host),
    KV_ELEM_STR(40, text, sip_diversion_rec, na.addr.maddr),
    KV_ELEM_STR(42, text, sip_diversion_rec, na.addr.transport_other),
    KV_ELEM_STR(44, text, sip_diversion_rec, na.addr.user_other),
    KV_ELEM_STR(46, text, sip_diversion_rec, na.addr.headers),
    KV_ELEM_STR(48, text, sip_diversion_rec, na.addr.params_other),
    KV_ELEM_STR(50, text, sip_diversion_rec, reason_text),
    KV_ELEM_STR(52, text, sip_diversion_rec, privacy_text),
    KV_ELEM_SPECIAL_STR(54, text, screen_text),
    KV_ELEM_STR(56, text, sip_diversion_rec, na.params_other),
};
// error_info (id 21): fixed length 6, at most 3.
inline constexpr sip_elem_field error_info_fields[] = {
    KV_ELEM_STR(2, text, sip_info_uri_rec, uri),
    KV_ELEM_STR(4, text, sip_info_uri_rec, params_other),
};
// expires (id 22): fixed length 8, at most 1.
inline constexpr sip_elem_field expires_fields[] = {
    KV_ELEM_NUM(4, u32, sip_number_rec, value),
};
// from (id 23): fixed length 40, at most 1.
inline constexpr sip_elem_field from_fields[] = {
    KV_ELEM_NUM(2, u8, sip_name_addr, quoted),
    KV_ELEM_NUM(3, u8, sip_name_addr, addr.scheme),
    KV_ELEM_NUM(4, u8, sip_name_addr, addr.global),
    KV_ELEM_NUM(6, u16, sip_name_addr, addr.port),
    KV_ELEM_NUM(8, u8, sip_name_addr, addr.user_param),
    KV_ELEM_STR(10, text, sip_name_addr, addr.phone_number),
    KV_ELEM_STR(12, text, sip_name_addr, addr.isub),
    KV_ELEM_STR(14, text, sip_name_addr, addr.postd),
    KV_ELEM_STR(16, text, sip_name_addr, addr.phone_context),
    KV_ELEM_STR(18, text, sip_name_addr, addr.tsp),
    KV_ELEM_STR(20, text, sip_name_addr, addr.tel_other),
    KV_ELEM_STR(22, text, sip_name_addr, display),
    KV_ELEM_STR(24, text, sip_name_addr, addr.user),
    KV_ELEM_STR(26, text, sip_name_addr, addr.password),
    KV_ELEM_STR(28, raw, sip_name_addr, addr.ipv4),
    KV_ELEM_STR(30, text, sip_name_addr, addr.host),
    KV_ELEM_STR(32, text, sip_name_addr, addr.user_other),
    KV_ELEM_STR(34, text, sip_name_addr, params_other),
    KV_ELEM_STR(36, text, sip_name_addr, tag),
    KV_ELEM_STR(38, text, sip_name_addr, addr.text),
};
// history_info (id 24): fixed length 52, at most 1.
inline constexpr sip_elem_field history_info_fields[] = {
    KV_ELEM_NUM(2, u8, sip_history_info_rec, na.quoted),
    KV_ELEM_NUM(3, u8, sip_history_info_rec, na.addr.scheme),
    KV_ELEM_NUM(4, u8, sip_history_info_rec, na.addr.global),
    KV_ELEM_NUM(6, u16, sip_history_info_rec, na.addr.port),
    KV_ELEM_NUM(8, u8, sip_history_info_rec, na.addr.transport),
    KV_ELEM_NUM(9, u8, sip_history_info_rec, na.addr.ttl),
    KV_ELEM_NUM(10, u8, sip_history_info_rec, na.addr.user_param),
    KV_ELEM_NUM(11, u8, sip_history_info_rec, na.addr.method_param),
    KV_ELEM_NUM(12, u8, sip_history_info_rec, na.addr.lr),
    KV_ELEM_STR(14, text, sip_history_info_rec, na.addr.phone_number),
    KV_ELEM_STR(16, text, sip_history_info_rec, na.addr.isub),
    KV_ELEM_STR(18, text, sip_history_info_rec, na.addr.postd),
    KV_ELEM_STR(20, text, sip_history_info_rec, na.addr.phone_context),
    KV_ELEM_STR(22, text, sip_history_info_rec, na.addr.tsp),
    KV_ELEM_STR(24, text, sip_history_info_rec, na.addr.tel_other),
    KV_ELEM_STR(26, text, sip_history_info_rec, na.display),
    KV_ELEM_STR(28, text, sip_history_info_rec, na.addr.user),
    KV_ELEM_STR(30, text, sip_history_info_rec, na.addr.password),
    KV_ELEM_STR(32, raw, sip_history_info_rec, na.addr.ipv4),
    KV_ELEM_STR(34, text, sip_history_info_rec, na.addr.host),
    KV_ELEM_STR(36, text, sip_history_info_rec, na.addr.maddr),
    KV_ELEM_STR(38, text, sip_history_info_rec, na.addr.transport_other),
    KV_ELEM_STR(40, text, sip_history_info_rec, na.addr.user_other),
    KV_ELEM_STR(42, text, sip_history_info_rec, na.addr.headers),
    KV_ELEM_STR(44, text, sip_history_info_rec, na.addr.params_other),
    KV_ELEM_STR(48, text, sip_history_info_rec, index),
    KV_ELEM_STR(50, text, sip_history_info_rec, na.params_other),
};
// in_reply_to (id 25): fixed length 8, at most 3.
inline constexpr sip_elem_field in_reply_to_fields[] = {
    KV_ELEM_STR(2, text, sip_callid_parsed, word),
    KV_ELEM_SPECIAL_STR(4, raw, callid_addr),
    KV_ELEM_STR(6, text, sip_callid_parsed, host),
};
// max_forwards (id 26): fixed length 8, at most 1.
inline constexpr sip_elem_field max_forwards_fields[] = {
    KV_ELEM_NUM(4, u32, sip_number_rec, value),
};
// mime_version (id 27): fixed length 4, at most 1.
inline constexpr sip_elem_field mime_version_fields[] = {
    KV_ELEM_STR(2, text, sip_text_rec, text),
};
// min_expires (id 28): fixed length 8, at most 1.
inline constexpr sip_elem_field min_expires_fields[] = {
    KV_ELEM_NUM(4, u32, sip_number_rec, value),
};
// min_se (id 29): fixed length 10, at most 1.
inline constexpr sip_elem_field min_se_fields[] = {
    KV_ELEM_NUM(4, u32, sip_min_se_rec, value),
    KV_ELEM_STR(8, text, sip_min_se_rec, params),
};
// organization (id 30): fixed length 4, at most 1.
inline constexpr sip_elem_field organization_fields[] = {
    KV_ELEM_STR(2, text, sip_text_rec, text),
};
// p_asserted_identity (id 31): fixed length 48, at most 2.
inline constexpr sip_elem_field p_asserted_identity_fields[] = {
    KV_ELEM_NUM(2, u8, sip_name_addr, quoted),
    KV_ELEM_NUM(3, u8, sip_name_addr, addr.scheme),
    KV_ELEM_NUM(4, u8, sip_name_addr, addr.global),
    KV_ELEM_NUM(6, u16, sip_name_addr, addr.port),
    KV_ELEM_NUM(8, u8, sip_name_addr, addr.transport),
    KV_ELEM_NUM(9, u8, sip_name_addr, addr.ttl),
    KV_ELEM_NUM(10, u8, sip_name_addr, addr.user_param),
    KV_ELEM_NUM(11, u8, sip_name_addr, addr.method_param),
    KV_ELEM_NUM(12, u8, sip_name_addr, addr.lr),
    KV_ELEM_STR(14, text, sip_name_addr, addr.phone_number),
    KV_ELEM_STR(16, text, sip_name_addr, addr.isub),
    KV_ELEM_STR(18, text, sip_name_addr, addr.postd),
    KV_ELEM_STR(20, text, sip_name_addr, addr.phone_context),
    KV_ELEM_STR(22, text, sip_name_addr, addr.tsp),
    KV_ELEM_STR(24, text, sip_name_addr, addr.tel_other),
    KV_ELEM_STR(26, text, sip_name_addr, display),
    KV_ELEM_STR(28, text, sip_name_addr, addr.user),
    KV_ELEM_STR(30, text, sip_name_addr, addr.password),
    KV_ELEM_STR(32, raw, sip_name_addr, addr.ipv4),
    KV_ELEM_STR(34, text, sip_name_addr, addr.host),
    KV_ELEM_STR(36, text, sip_name_addr, addr.maddr),
    KV_ELEM_STR(38, text, sip_name_addr, addr.transport_other),
    KV_ELEM_STR(40, text, sip_name_addr, addr.user_other),
    KV_ELEM_STR(42, text, sip_name_addr, addr.headers),
    KV_ELEM_STR(44, text, sip_name_addr, addr.params_other),
};
// p_early_media (id 32): fixed length 6, at most 1.
inline constexpr sip_elem_field p_early_media_fields[] = {
    KV_ELEM_NUM(2, u8, sip_code_text_rec, code),
    KV_ELEM_STR(4, text, sip_code_text_rec, text),
};
// p_media_authorization (id 33): fixed length 48, at most 2.
inline constexpr sip_elem_field p_media_authorization_fields[] = {
    KV_ELEM_NUM(2, u8, sip_name_addr, quoted),
    KV_ELEM_NUM(3, u8, sip_name_addr, addr.scheme),
    KV_ELEM_NUM(4, u8, sip_name_addr, addr.global),
    KV_ELEM_NUM(6, u16, sip_name_addr, addr.port),
    KV_ELEM_NUM(8, u8, sip_name_addr, addr.transport),
    KV_ELEM_NUM(9, u8, sip_name_addr, addr.ttl),
    KV_ELEM_NUM(10, u8, sip_name_addr, addr.user_param),
    KV_ELEM_NUM(11, u8, sip_name_addr, addr.method_param),
    KV_ELEM_NUM(12, u8, sip_name_addr, addr.lr),
    KV_ELEM_STR(14, text, sip_name_addr, addr.phone_number),
    KV_ELEM_STR(16, text, sip_name_addr, addr.isub),
    KV_ELEM_STR(18, text, sip_name_addr, addr.postd),
    KV_ELEM_STR(20, text, sip_name_addr, addr.phone_context),
    KV_ELEM_STR(22, text, sip_name_addr, addr.tsp),
    KV_ELEM_STR(24, text, sip_name_addr, addr.tel_other),
    KV_ELEM_STR(26, text, sip_name_addr, display),
    KV_ELEM_STR(28, text, sip_name_addr, addr.user),
    KV_ELEM_STR(30, text, sip_name_addr, addr.password),
    KV_ELEM_STR(32, raw, sip_name_addr, addr.ipv4),
    KV_ELEM_STR(34, text, sip_name_addr, addr.host),
    KV_ELEM_STR(36, text, sip_name_addr, addr.maddr),
    KV_ELEM_STR(38, text, sip_name_addr, addr.transport_other),
    KV_ELEM_STR(40, text, sip_name_addr, addr.user_other),
    KV_ELEM_STR(42, text, sip_name_addr, addr.headers),
    KV_ELEM_STR(44, text, sip_name_addr, addr.params_other),
};
// p_preferred_identity (id 34): fixed length 48, at most 1.
inline constexpr sip_elem_field p_preferred_identity_fields[] = {
    KV_ELEM_NUM(2, u8, sip_name_addr, quoted),
    KV_ELEM_NUM(3, u8, sip_name_addr, addr.scheme),
    KV_ELEM_NUM(4, u8, sip_name_addr, addr.global),
    KV_ELEM_NUM(6, u16, sip_name_addr, addr.port),
    KV_ELEM_NUM(8, u8, sip_name_addr, addr.transport),
    KV_ELEM_NUM(9, u8, sip_name_addr, addr.ttl),
    KV_ELEM_NUM(10, u8, sip_name_addr, addr.user_param),
    KV_ELEM_NUM(11, u8, sip_name_addr, addr.method_param),
    KV_ELEM_NUM(12, u8, sip_name_addr, addr.lr),
    KV_ELEM_STR(14, text, sip_name_addr, addr.phone_number),
    KV_ELEM_STR(16, text, sip_name_addr, addr.isub),
    KV_ELEM_STR(18, text, sip_name_addr, addr.postd),
    KV_ELEM_STR(20, text, sip_name_addr, addr.phone_context),
    KV_ELEM_STR(22, text, sip_name_addr, addr.tsp),
    KV_ELEM_STR(24, text, sip_name_addr, addr.tel_other),
    KV_ELEM_STR(26, text, sip_name_addr, display),
    KV_ELEM_STR(28, text, sip_name_addr, addr.user),
    KV_ELEM_STR(30, text, sip_name_addr, addr.password),
    KV_ELEM_STR(32, raw, sip_name_addr, addr.ipv4),
    KV_ELEM_STR(34, text, sip_name_addr, addr.host),
    KV_ELEM_STR(36, text, sip_name_addr, addr.maddr),
    KV_ELEM_STR(38, text, sip_name_addr, addr.transport_other),
    KV_ELEM_STR(40, text, sip_name_addr, addr.user_other),
    KV_ELEM_STR(42, text, sip_name_addr, addr.headers),
    KV_ELEM_STR(44, text, sip_name_addr, addr.params_other),
};
// path (id 35): fixed length 48, at most 2.
inline constexpr sip_elem_field path_fields[] = {
    KV_ELEM_NUM(2, u8, sip_name_addr, quoted),
    KV_ELEM_NUM(3, u8, sip_name_addr, addr.scheme),
    KV_ELEM_NUM(4, u8, sip_name_addr, addr.global),
    KV_ELEM_NUM(6, u16, sip_name_addr, addr.port),
    KV_ELEM_NUM(8, u8, sip_name_addr, addr.transport),
    KV_ELEM_NUM(9, u8, sip_name_addr, addr.ttl),
    KV_ELEM_NUM(10, u8, sip_name_addr, addr.user_param),
    KV_ELEM_NUM(11, u8, sip_name_addr, addr.method_param),
    KV_ELEM_NUM(12, u8, sip_name_addr, addr.lr),
    KV_ELEM_STR(14, text, sip_name_addr, addr.phone_number),
    KV_ELEM_STR(16, text, sip_name_addr, addr.isub),
    KV_ELEM_STR(18, text, sip_name_addr, addr.postd),
    KV_ELEM_STR(20, text, sip_name_addr, addr.phone_context),
    KV_ELEM_STR(22, text, sip_name_addr, addr.tsp),
    KV_ELEM_STR(24, text, sip_name_addr, addr.tel_other),
    KV_ELEM_STR(26, text, sip_name_addr, display),
    KV_ELEM_STR(28, text, sip_name_addr, addr.user),
    KV_ELEM_STR(30, text, sip_name_addr, addr.password),
    KV_ELEM_STR(32, raw, sip_name_addr, addr.ipv4),
    KV_ELEM_STR(34, text, sip_name_addr, addr.host),
    KV_ELEM_STR(36, text, sip_name_addr, addr.maddr),
    KV_ELEM_STR(38, text, sip_name_addr, addr.transport_other),
    KV_ELEM_STR(40, text, sip_name_addr, addr.user_other),
    KV_ELEM_STR(42, text, sip_name_addr, addr.headers),
    KV_ELEM_STR(44, text, sip_name_addr, addr.params_other),
};
// priority (id 36): fixed length 6, at most 1.
inline constexpr sip_elem_field priority_fields[] = {
    KV_ELEM_NUM(2, u8, sip_code_text_rec, code),
    KV_ELEM_STR(4, text, sip_code_text_rec, text),
};
// privacy (id 37): fixed length 6, at most 1.
inline constexpr sip_elem_field privacy_fields[] = {
    KV_ELEM_NUM(2, u8, sip_code_text_rec, code),
    KV_ELEM_STR(4, text, sip_code_text_rec, text),
};
// proxy_authenticate (id 38): fixed length 20, at most 1.
inline constexpr sip_elem_field proxy_authenticate_fields[] = {
    KV_ELEM_NUM(2, u8, sip_challenge_rec, scheme),    KV_ELEM_NUM(3, u8, sip_challenge_rec, stale),
    KV_ELEM_NUM(4, u8, sip_challenge_rec, algorithm), KV_ELEM_NUM(5, u8, sip_challenge_rec, aka_version),
    KV_ELEM_STR(6, text, sip_challenge_rec, realm),   KV_ELEM_STR(8, text, sip_challenge_rec, nonce),
    KV_ELEM_STR(10, text, sip_challenge_rec, opaque), KV_ELEM_STR(12, text, sip_challenge_rec, algorithm_text),
    KV_ELEM_SPECIAL_STR(14, raw, qop_options),        KV_ELEM_STR(16, text, sip_challenge_rec, qop_text),
    KV_ELEM_STR(18, text, sip_challenge_rec, other),
};
// proxy_authorization (id 39): fixed length 34, at most 2.
inline constexpr sip_elem_field proxy_authorization_fields[] = {
    KV_ELEM_NUM(2, u8, sip_credentials_rec, scheme),      KV_ELEM_NUM(3, u8, sip_credentials_rec, algorithm),
    KV_ELEM_NUM(4, u8, sip_credentials_rec, aka_version), KV_ELEM_NUM(5, u8, sip_credentials_rec, qop),
    KV_ELEM_NUM(8, u32, sip_credentials_rec, nc),         KV_ELEM_STR(12, text, sip_credentials_rec, basic),
    KV_ELEM_STR(14, text, sip_credentials_rec, username), KV_ELEM_STR(16, text, sip_credentials_rec, realm),
    KV_ELEM_STR(18, text, sip_credentials_rec, nonce),    KV_ELEM_STR(20, text, sip_credentials_rec, uri),
    KV_ELEM_STR(22, text, sip_credentials_rec, response), KV_ELEM_STR(24, text, sip_credentials_rec, algorithm_text),
    KV_ELEM_STR(26, text, sip_credentials_rec, cnonce),   KV_ELEM_STR(28, text, sip_credentials_rec, opaque),
    KV_ELEM_STR(30, text, sip_credentials_rec, qop_text), KV_ELEM_STR(32, text, sip_credentials_rec, other),
};
// proxy_require (id 40): fixed length 4, at most 3.
inline constexpr sip_elem_field proxy_require_fields[] = {
    KV_ELEM_STR(2, text, sip_text_rec, text),
};
// reason (id 41): fixed length 12, at most 2.
inline constexpr sip_elem_field reason_fields[] = {
    KV_ELEM_NUM(2, u8, sip_reason_rec, protocol),        KV_ELEM_NUM(4, u16, sip_reason_rec, cause),
    KV_ELEM_STR(6, text, sip_reason_rec, protocol_text), KV_ELEM_STR(8, text, sip_reason_rec, text),
    KV_ELEM_STR(10, text, sip_reason_rec, params_other),
};
// record_route (id 42): fixed length 50, at most 3.
inline constexpr sip_elem_field record_route_fields[] = {
    KV_ELEM_NUM(2, u8, sip_name_addr, quoted),
    KV_ELEM_NUM(3, u8, sip_name_addr, addr.scheme),
    KV_ELEM_NUM(4, u8, sip_name_addr, addr.global),
    KV_ELEM_NUM(6, u16, sip_name_addr, addr.port),
    KV_ELEM_NUM(8, u8, sip_name_addr, addr.transport),
    KV_ELEM_NUM(9, u8, sip_name_addr, addr.ttl),
    KV_ELEM_NUM(10, u8, sip_name_addr, addr.user_param),
    KV_ELEM_NUM(11, u8, sip_name_addr, addr.method_param),
    KV_ELEM_NUM(12, u8, sip_name_addr, addr.lr),
    KV_ELEM_STR(14, text, sip_name_addr, addr.phone_number),
    KV_ELEM_STR(16, text, sip_name_addr, addr.isub),
    KV_ELEM_STR(18, text, sip_name_addr, addr.postd),
    KV_ELEM_STR(20, text, sip_name_addr, addr.phone_context),
    KV_ELEM_STR(22, text, sip_name_addr, addr.tsp),
    KV_ELEM_STR(24, text, sip_name_addr, addr.tel_other),
    KV_ELEM_STR(26, text, sip_name_addr, display),
    KV_ELEM_STR(28, text, sip_name_addr, addr.user),
    KV_ELEM_STR(30, text, sip_name_addr, addr.password),
    KV_ELEM_STR(32, raw, sip_name_addr, addr.ipv4),
    KV_ELEM_STR(34, text, sip_name_addr, addr.host),
    KV_ELEM_STR(36, text, sip_name_addr, addr.maddr),
    KV_ELEM_STR(38, text, sip_name_addr, addr.transport_other),
    KV_ELEM_STR(40, text, sip_name_addr, addr.user_other),
    KV_ELEM_STR(42, text, sip_name_addr, addr.headers),
    KV_ELEM_STR(44, text, sip_name_addr, addr.params_other),
    KV_ELEM_STR(48, text, sip_name_addr, params_other),
};
// replaces (id 43): fixed length 18, at most 1.
inline constexpr sip_elem_field replaces_fields[] = {
    KV_ELEM_NUM(2, u16, sip_replaces_rec, call_ref),       KV_ELEM_NUM(4, u8, sip_replaces_rec, early_only),
    KV_ELEM_STR(6, text, sip_replaces_rec, call_id.word),  KV_ELEM_SPECIAL_STR(8, raw, repl_addr),
    KV_ELEM_STR(10, text, sip_replaces_rec, call_id.host), KV_ELEM_STR(12, text, sip_replaces_rec, from_tag),
    KV_ELEM_STR(14, text, sip_replaces_rec, to_tag),       KV_ELEM_STR(16, text, sip_replaces_rec, params_other),
};
// reply_to (id 44): fixed length 38, at most 1.
inline constexpr sip_elem_field reply_to_fields[] = {
    KV_ELEM_NUM(2, u8, sip_name_addr, quoted),
    KV_ELEM_NUM(3, u8, sip_name_addr, addr.scheme),
    KV_ELEM_NUM(4, u8, sip_name_addr, addr.global),
    KV_ELEM_NUM(6, u16, sip_name_addr, addr.port),
    KV_ELEM_NUM(8, u8, sip_name_addr, addr.user_param),
    KV_ELEM_STR(10, text, sip_name_addr, addr.phone_number),
    KV_ELEM_STR(12, text, sip_name_addr, addr.isub),
    KV_ELEM_STR(14, text, sip_name_addr, addr.postd),
    KV_ELEM_STR(16, text, sip_name_addr, addr.phone_context),
    KV_ELEM_STR(18, text, sip_name_addr, addr.tsp),
    KV_ELEM_STR(20, text, sip_name_addr, addr.tel_other),
    KV_ELEM_STR(22, text, sip_name_addr, display),
    KV_ELEM_STR(24, text, sip_name_addr, addr.user),
    KV_ELEM_STR(26, text, sip_name_addr, addr.password),
    KV_ELEM_STR(28, raw, sip_name_addr, addr.ipv4),
    KV_ELEM_STR(30, text, sip_name_addr, addr.host),
    KV_ELEM_STR(32, text, sip_name_addr, addr.user_other),
    KV_ELEM_STR(34, text, sip_name_addr, params_other),
};
// request_disposition (id 45): fixed length 4, at most 1.
inline constexpr sip_elem_field request_disposition_fields[] = {
    KV_ELEM_NUM(2, u8, sip_code_rec, code),
};
// require (id 46): fixed length 6, at most 3.
inline constexpr sip_elem_field require_fields[] = {
    KV_ELEM_NUM(2, u8, sip_code_text_rec, code),
    KV_ELEM_STR(4, text, sip_code_text_rec, text),
};
// retry_after (id 47): fixed length 16, at most 1.
inline constexpr sip_elem_field retry_after_fields[] = {
    KV_ELEM_NUM(4, u32, sip_retry_after_rec, delta),
    KV_ELEM_NUM(8, u32, sip_retry_after_rec, duration),
    KV_ELEM_STR(12, text, sip_retry_after_rec, comment),
    KV_ELEM_STR(14, text, sip_retry_after_rec, params_other),
};
// route (id 48): fixed length 50, at most 3.
inline constexpr sip_elem_field route_fields[] = {
    KV_ELEM_NUM(2, u8, sip_name_addr, quoted),
    KV_ELEM_NUM(3, u8, sip_name_addr, addr.scheme),
    KV_ELEM_NUM(4, u8, sip_name_addr, addr.global),
    KV_ELEM_NUM(6, u16, sip_name_addr, addr.port),
    KV_ELEM_NUM(8, u8, sip_name_addr, addr.transport),
    KV_ELEM_NUM(9, u8, sip_name_addr, addr.ttl),
    KV_ELEM_NUM(10, u8, sip_name_addr, addr.user_param),
    KV_ELEM_NUM(11, u8, sip_name_addr, addr.method_param),
    KV_ELEM_NUM(12, u8, sip_name_addr, addr.lr),
    KV_ELEM_STR(14, text, sip_name_addr, addr.phone_number),
    KV_ELEM_STR(16, text, sip_name_addr, addr.isub),
    KV_ELEM_STR(18, text, sip_name_addr, addr.postd),
    KV_ELEM_STR(20, text, sip_name_addr, addr.phone_context),
    KV_ELEM_STR(22, text, sip_name_addr, addr.tsp),
    KV_ELEM_STR(24, text, sip_name_addr, addr.tel_other),
    KV_ELEM_STR(26, text, sip_name_addr, display),
    KV_ELEM_STR(28, text, sip_name_addr, addr.user),
    KV_ELEM_STR(30, text, sip_name_addr, addr.password),
    KV_ELEM_STR(32, raw, sip_name_addr, addr.ipv4),
    KV_ELEM_STR(34, text, sip_name_addr, addr.host),
    KV_ELEM_STR(36, text, sip_name_addr, addr.maddr),
    KV_ELEM_STR(38, text, sip_name_addr, addr.transport_other),
    KV_ELEM_STR(40, text, sip_name_addr, addr.user_other),
    KV_ELEM_STR(42, text, sip_name_addr, addr.headers),
    KV_ELEM_STR(44, text, sip_name_addr, addr.params_other),
    KV_ELEM_STR(48, text, sip_name_addr, params_other),
};
// server (id 49): fixed length 8, at most 3.
inline constexpr sip_elem_field server_fields[] = {
    KV_ELEM_STR(2, text, sip_product_rec, product),
    KV_ELEM_STR(4, text, sip_product_rec, version),
    KV_ELEM_STR(6, text, sip_product_rec, comment),
};
// service_route (id 50): fixed length 50, at most 1.
inline constexpr sip_elem_field service_route_fields[] = {
    KV_ELEM_NUM(2, u8, sip_name_addr, quoted),
    KV_ELEM_NUM(3, u8, sip_name_addr, addr.scheme),
    KV_ELEM_NUM(4, u8, sip_name_addr, addr.global),
    KV_ELEM_NUM(6, u16, sip_name_addr, addr.port),
    KV_ELEM_NUM(8, u8, sip_name_addr, addr.transport),
    KV_ELEM_NUM(9, u8, sip_name_addr, addr.ttl),
    KV_ELEM_NUM(10, u8, sip_name_addr, addr.user_param),
    KV_ELEM_NUM(11, u8, sip_name_addr, addr.method_param),
    KV_ELEM_NUM(12, u8, sip_name_addr, addr.lr),
    KV_ELEM_STR(14, text, sip_name_addr, addr.phone_number),
    KV_ELEM_STR(16, text, sip_name_addr, addr.isub),
    KV_ELEM_STR(18, text, sip_name_addr, addr.postd),
    KV_ELEM_STR(20, text, sip_name_addr, addr.phone_context),
    KV_ELEM_STR(22, text, sip_name_addr, addr.tsp),
    KV_ELEM_STR(24, text, sip_name_addr, addr.tel_other),
    KV_ELEM_STR(26, text, sip_name_addr, display),
    KV_ELEM_STR(28, text, sip_name_addr, addr.user),
    KV_ELEM_STR(30, text, sip_name_addr, addr.password),
    KV_ELEM_STR(32, raw, sip_name_addr, addr.ipv4),
    KV_ELEM_STR(34, text, sip_name_addr, addr.host),
    KV_ELEM_STR(36, text, sip_name_addr, addr.maddr),
    KV_ELEM_STR(38, text, sip_name_addr, addr.transport_other),
    KV_ELEM_STR(40, text, sip_name_addr, addr.user_other),
    KV_ELEM_STR(42, text, sip_name_addr, addr.headers),
    KV_ELEM_STR(44, text, sip_name_addr, addr.params_other),
    KV_ELEM_STR(48, text, sip_name_addr, params_other),
};
// session_expires (id 51): fixed length 12, at most 1.
inline constexpr sip_elem_field session_expires_fields[] = {
    KV_ELEM_NUM(4, u32, sip_session_expires_rec, delta),
    KV_ELEM_NUM(8, u8, sip_session_expires_rec, refresher),
    KV_ELEM_STR(10, text, sip_session_expires_rec, params_other),
};
// session_id (id 52): fixed length 6, at most 1.
inline constexpr sip_elem_field session_id_fields[] = {
    KV_ELEM_STR(2, text, sip_session_id_rec, id),
    KV_ELEM_STR(4, text, sip_session_id_rec, params_other),
};
// subject (id 53): fixed length 4, at most 1.
inline constexpr sip_elem_field subject_fields[] = {
    KV_ELEM_STR(2, text, sip_text_rec, text),
};
// supported (id 54): fixed length 6, at most 6.
inline constexpr sip_elem_field supported_fields[] = {
    KV_ELEM_NUM(2, u8, sip_code_text_rec, code),
    KV_ELEM_STR(4, text, sip_code_text_rec, text),
};
// timestamp (id 55): fixed length 22, at most 1.
inline constexpr sip_elem_field timestamp_fields[] = {
    KV_ELEM_NUM(4, u32, sip_timestamp_rec, time),    KV_ELEM_NUM(8, u32, sip_timestamp_rec, time_fraction),
    KV_ELEM_NUM(12, u32, sip_timestamp_rec, delay),  KV_ELEM_NUM(16, u32, sip_timestamp_rec, delay_fraction),
    KV_ELEM_STR(20, text, sip_timestamp_rec, extra),
};
// to (id 56): fixed length 40, at most 1.
inline constexpr sip_elem_field to_fields[] = {
    KV_ELEM_NUM(2, u8, sip_name_addr, quoted),
    KV_ELEM_NUM(3, u8, sip_name_addr, addr.scheme),
    KV_ELEM_NUM(4, u8, sip_name_addr, addr.global),
    KV_ELEM_NUM(6, u16, sip_name_addr, addr.port),
    KV_ELEM_NUM(8, u8, sip_name_addr, addr.user_param),
    KV_ELEM_STR(10, text, sip_name_addr, addr.phone_number),
    KV_ELEM_STR(12, text, sip_name_addr, addr.isub),
    KV_ELEM_STR(14, text, sip_name_addr, addr.postd),
    KV_ELEM_STR(16, text, sip_name_addr, addr.phone_context),
    KV_ELEM_STR(18, text, sip_name_addr, addr.tsp),
    KV_ELEM_STR(20, text, sip_name_addr, addr.tel_other),
    KV_ELEM_STR(22, text, sip_name_addr, display),
    KV_ELEM_STR(24, text, sip_name_addr, addr.user),
    KV_ELEM_STR(26, text, sip_name_addr, addr.password),
    KV_ELEM_STR(28, raw, sip_name_addr, addr.ipv4),
    KV_ELEM_STR(30, text, sip_name_addr, addr.host),
    KV_ELEM_STR(32, text, sip_name_addr, addr.user_other),
    KV_ELEM_STR(34, text, sip_name_addr, params_other),
    KV_ELEM_STR(36, text, sip_name_addr, tag),
    KV_ELEM_STR(38, text, sip_name_addr, addr.text),
};
// unsupported (id 57): fixed length 6, at most 6.
inline constexpr sip_elem_field unsupported_fields[] = {
    KV_ELEM_NUM(2, u8, sip_code_text_rec, code),
    KV_ELEM_STR(4, text, sip_code_text_rec, text),
};
// user_agent (id 58): fixed length 8, at most 3.
inline constexpr sip_elem_field user_agent_fields[] = {
    KV_ELEM_STR(2, text, sip_product_rec, product),
    KV_ELEM_STR(4, text, sip_product_rec, version),
    KV_ELEM_STR(6, text, sip_product_rec, comment),
};
// via (id 59): fixed length 34, at most 5.
inline constexpr sip_elem_field via_fields[] = {
    KV_ELEM_SPECIAL_NUM(2, u16, via_number),
    KV_ELEM_NUM(4, u8, sip_via_rec, protocol),
    KV_ELEM_NUM(5, u8, sip_via_rec, transport),
    KV_ELEM_NUM(6, u16, sip_via_rec, port),
    KV_ELEM_NUM(8, u16, sip_via_rec, rport),
    KV_ELEM_SPECIAL_NUM(10, u16, via_local_port),
    KV_ELEM_NUM(12, u8, sip_via_rec, ttl),
    KV_ELEM_SPECIAL_NUM(13, u8, const_ff),
    KV_ELEM_STR(14, text, sip_via_rec, protocol_text),
    KV_ELEM_STR(16, text, sip_via_rec, version),
    KV_ELEM_STR(18, text, sip_via_rec, transport_text),
    KV_ELEM_STR(20, raw, sip_via_rec, host_ipv4),
    KV_ELEM_STR(22, text, sip_via_rec, host),
    KV_ELEM_STR(24, text, sip_via_rec, maddr),
    KV_ELEM_STR(26, text, sip_via_rec, params_other),
    KV_ELEM_SPECIAL_STR(28, raw, via_source),
    KV_ELEM_STR(30, text, sip_via_rec, branch),
    KV_ELEM_STR(32, raw, sip_via_rec, received),
};
// warning (id 60): fixed length 14, at most 3.
inline constexpr sip_elem_field warning_fields[] = {
    KV_ELEM_NUM(2, u16, sip_warning_rec, code),       KV_ELEM_NUM(4, u16, sip_warning_rec, port),
    KV_ELEM_STR(6, raw, sip_warning_rec, agent_ipv4), KV_ELEM_STR(8, text, sip_warning_rec, agent),
    KV_ELEM_STR(10, text, sip_warning_rec, text),     KV_ELEM_SPECIAL_STR(12, text, warning_other),
};
// www_authenticate (id 61): fixed length 22, at most 1.
inline constexpr sip_elem_field www_authenticate_fields[] = {
    KV_ELEM_NUM(2, u8, sip_challenge_rec, scheme),
    KV_ELEM_NUM(3, u8, sip_challenge_rec, stale),
    KV_ELEM_NUM(4, u8, sip_challenge_rec, algorithm),
    KV_ELEM_NUM(5, u8, sip_challenge_rec, aka_version),
    KV_ELEM_STR(6, text, sip_challenge_rec, realm),
    KV_ELEM_STR(8, text, sip_challenge_rec, domain),
    KV_ELEM_STR(10, text, sip_challenge_rec, nonce),
    KV_ELEM_STR(12, text, sip_challenge_rec, opaque),
    KV_ELEM_STR(14, text, sip_challenge_rec, algorithm_text),
    KV_ELEM_SPECIAL_STR(16, raw, qop_options),
    KV_ELEM_STR(18, text, sip_challenge_rec, qop_text),
    KV_ELEM_STR(20, text, sip_challenge_rec, other),
};
// body (id 62): fixed length 6, at most 2.
inline constexpr sip_elem_field body_fields[] = {
    KV_ELEM_NUM(2, u8, sip_body_rec, part),
    KV_ELEM_STR(4, raw, sip_body_rec, text),
};
// sdp_session (id 63): fixed length 18, at most 1.
inline constexpr sip_elem_field sdp_session_fields[] = {
    KV_ELEM_NUM(2, u8, sdp_session, conn.nettype),   KV_ELEM_NUM(3, u8, sdp_session, bwtype),
    KV_ELEM_NUM(4, u16, sdp_session, bw_value),      KV_ELEM_STR(6, raw, sdp_session, conn.addr),
    KV_ELEM_STR(8, text, sdp_session, conn.host),    KV_ELEM_STR(10, text, sdp_session, name),
    KV_ELEM_STR(12, text, sdp_session, start_time),  KV_ELEM_STR(14, text, sdp_session, stop_time),
    KV_ELEM_STR(16, text, sdp_session, extra_lines),
};
// sdp_media (id 64): fixed length 30, at most 3.
inline constexpr sip_elem_field sdp_media_fields[] = {
    KV_ELEM_NUM(2, u8, sdp_media_av, kind),         KV_ELEM_NUM(4, u16, sdp_media_av, port),
    KV_ELEM_NUM(6, u8, sdp_media_av, port_count),   KV_ELEM_NUM(7, u8, sdp_media_av, transport),
    KV_ELEM_NUM(8, u8, sdp_media_av, conn.nettype), KV_ELEM_NUM(9, u8, sdp_media_av, bwtype),
    KV_ELEM_NUM(10, u16, sdp_media_av, bw_value),   KV_ELEM_NUM(12, u8, sdp_media_av, direction),
    KV_ELEM_NUM(14, u16, sdp_media_av, ptime),      KV_ELEM_NUM(16, u16, sdp_media_av, maxptime),
    KV_ELEM_NUM(18, u8, sdp_media_av, keymethod),   KV_ELEM_STR(20, raw, sdp_media_av, conn.addr),
    KV_ELEM_STR(22, text, sdp_media_av, conn.host), KV_ELEM_SPECIAL_STR(24, raw, sdp_formats),
    KV_ELEM_STR(26, text, sdp_media_av, key),       KV_ELEM_STR(28, text, sdp_media_av, extra_lines),
};
// sdp_format (id 65): fixed length 14, at most 12.
inline constexpr sip_elem_field sdp_format_fields[] = {
    KV_ELEM_NUM(2, u8, sdp_rtpmap, payload_type),     KV_ELEM_NUM(3, u8, sdp_rtpmap, codec),
    KV_ELEM_NUM(4, u32, sdp_rtpmap, clock_rate),      KV_ELEM_NUM(8, u8, sdp_rtpmap, channels),
    KV_ELEM_STR(10, text, sdp_rtpmap, encoding_name), KV_ELEM_STR(12, text, sdp_rtpmap, fmtp),
};
// sdp_text_media (id 66): fixed length 28, at most 2.
inline constexpr sip_elem_field sdp_text_media_fields[] = {
    KV_ELEM_NUM(2, u16, sdp_media_other, port),        KV_ELEM_NUM(4, u8, sdp_media_other, port_count),
    KV_ELEM_NUM(5, u8, sdp_media_other, conn.nettype), KV_ELEM_NUM(6, u8, sdp_media_other, bwtype),
    KV_ELEM_NUM(8, u16, sdp_media_other, bw_value),    KV_ELEM_NUM(10, u8, sdp_media_other, keymethod),
    KV_ELEM_STR(12, text, sdp_media_other, name),      KV_ELEM_STR(14, text, sdp_media_other, transport),
    KV_ELEM_STR(16, raw, sdp_media_other, conn.addr),  KV_ELEM_STR(18, text, sdp_media_other, conn.host),
    KV_ELEM_STR(20, text, sdp_media_other, format),    KV_ELEM_STR(22, text, sdp_media_other, format2),
    KV_ELEM_STR(24, text, sdp_media_other, key),       KV_ELEM_STR(26, raw, sdp_media_other, extra_lines),
};
// sdp_origin (id 67): fixed length 14, at most 1.
inline constexpr sip_elem_field sdp_origin_fields[] = {
    KV_ELEM_NUM(2, u8, sdp_origin, nettype),      KV_ELEM_STR(4, text, sdp_origin, user),
    KV_ELEM_STR(6, text, sdp_origin, session_id), KV_ELEM_STR(8, text, sdp_origin, version),
    KV_ELEM_STR(10, raw, sdp_origin, addr),       KV_ELEM_STR(12, text, sdp_origin, host),
};
// part_content_type (id 68): fixed length 18, at most 2.
inline constexpr sip_elem_field part_content_type_fields[] = {
    KV_ELEM_NUM(2, u8, sip_media_type_rec, part),         KV_ELEM_NUM(3, u8, sip_media_type_rec, type),
    KV_ELEM_NUM(4, u8, sip_media_type_rec, subtype),      KV_ELEM_NUM(5, u8, sip_media_type_rec, base),
    KV_ELEM_STR(6, text, sip_media_type_rec, type_text),  KV_ELEM_STR(8, text, sip_media_type_rec, subtype_text),
    KV_ELEM_STR(10, text, sip_media_type_rec, boundary),  KV_ELEM_STR(12, text, sip_media_type_rec, version),
    KV_ELEM_STR(14, text, sip_media_type_rec, base_text), KV_ELEM_STR(16, text, sip_media_type_rec, params_other),
};
// part_content_disposition (id 69): fixed length 12, at most 2.
inline constexpr sip_elem_field part_content_disposition_fields[] = {
    KV_ELEM_NUM(2, u8, sip_disposition_rec, part),     KV_ELEM_NUM(3, u8, sip_disposition_rec, disposition),
    KV_ELEM_NUM(4, u8, sip_disposition_rec, handling), KV_ELEM_STR(6, text, sip_disposition_rec, disposition_text),
    KV_ELEM_SPECIAL_STR(8, text, handling_text),       KV_ELEM_STR(10, text, sip_disposition_rec, params_other),
};
// disposition_70 (id 70): fixed length 10, at most 2.
inline constexpr sip_elem_field disposition_70_fields[] = {
    KV_ELEM_NUM(2, u8, sip_disposition_rec, disposition),        KV_ELEM_NUM(3, u8, sip_disposition_rec, handling),
    KV_ELEM_STR(4, text, sip_disposition_rec, disposition_text), KV_ELEM_SPECIAL_STR(6, text, handling_text),
    KV_ELEM_STR(8, text, sip_disposition_rec, params_other),
};
// referred_by (id 78): fixed length 52, at most 1.
inline constexpr sip_elem_field referred_by_fields[] = {
    KV_ELEM_NUM(2, u8, sip_referred_by_rec, na.quoted),
    KV_ELEM_NUM(3, u8, sip_referred_by_rec, na.addr.scheme),
    KV_ELEM_NUM(4, u8, sip_referred_by_rec, na.addr.global),
    KV_ELEM_NUM(6, u16, sip_referred_by_rec, na.addr.port),
    KV_ELEM_NUM(8, u8, sip_referred_by_rec, na.addr.transport),
    KV_ELEM_NUM(9, u8, sip_referred_by_rec, na.addr.ttl),
    KV_ELEM_NUM(10, u8, sip_referred_by_rec, na.addr.user_param),
    KV_ELEM_NUM(11, u8, sip_referred_by_rec, na.addr.method_param),
    KV_ELEM_NUM(12, u8, sip_referred_by_rec, na.addr.lr),
    KV_ELEM_STR(14, text, sip_referred_by_rec, na.addr.phone_number),
    KV_ELEM_STR(16, text, sip_referred_by_rec, na.addr.isub),
    KV_ELEM_STR(18, text, sip_referred_by_rec, na.addr.postd),
    KV_ELEM_STR(20, text, sip_referred_by_rec, na.addr.phone_context),
    KV_ELEM_STR(22, text, sip_referred_by_rec, na.addr.tsp),
    KV_ELEM_STR(24, text, sip_referred_by_rec, na.addr.tel_other),
    KV_ELEM_STR(26, text, sip_referred_by_rec, na.addr.user),
    KV_ELEM_STR(28, text, sip_referred_by_rec, na.addr.password),
    KV_ELEM_STR(30, raw, sip_referred_by_rec, na.addr.ipv4),
    KV_ELEM_STR(32, text, sip_referred_by_rec, na.addr.host),
    KV_ELEM_STR(34, text, sip_referred_by_rec, na.addr.maddr),
    KV_ELEM_STR(36, text, sip_referred_by_rec, na.addr.transport_other),
    KV_ELEM_STR(38, text, sip_referred_by_rec, na.addr.user_other),
    KV_ELEM_STR(40, text, sip_referred_by_rec, na.addr.headers),
    KV_ELEM_STR(42, text, sip_referred_by_rec, na.addr.params_other),
    KV_ELEM_STR(44, text, sip_referred_by_rec, cid),
    KV_ELEM_STR(46, text, sip_referred_by_rec, na.params_other),
    KV_ELEM_STR(48, text, sip_referred_by_rec, na.display),
};
// sdp_image (id 83): fixed length 42, at most 4.
inline constexpr sip_elem_field sdp_image_fields[] = {
    KV_ELEM_NUM(2, u8, sdp_media_image, kind),
    KV_ELEM_NUM(3, u8, sdp_media_image, format),
    KV_ELEM_NUM(4, u16, sdp_media_image, port),
    KV_ELEM_NUM(6, u8, sdp_media_image, transport),
    KV_ELEM_NUM(7, u8, sdp_media_image, conn.nettype),
    KV_ELEM_NUM(8, u8, sdp_media_image, bwtype),
    KV_ELEM_NUM(10, u16, sdp_media_image, bw_value),
    KV_ELEM_NUM(12, u8, sdp_media_image, direction),
    KV_ELEM_NUM(13, u8, sdp_media_image, keymethod),
    KV_ELEM_NUM(14, u8, sdp_media_image, t38_version),
    KV_ELEM_NUM(16, u32, sdp_media_image, t38_max_bit_rate),
    KV_ELEM_NUM(20, u8, sdp_media_image, t38_fill_bit_removal),
    KV_ELEM_NUM(21, u8, sdp_media_image, t38_transcoding_mmr),
    KV_ELEM_NUM(22, u8, sdp_media_image, t38_transcoding_jbig),
    KV_ELEM_NUM(23, u8, sdp_media_image, t38_rate_management),
    KV_ELEM_NUM(24, u32, sdp_media_image, t38_max_buffer),
    KV_ELEM_NUM(28, u32, sdp_media_image, t38_max_datagram),
    KV_ELEM_NUM(32, u8, sdp_media_image, t38_udp_ec),
    KV_ELEM_STR(34, raw, sdp_media_image, conn.addr),
    KV_ELEM_STR(36, text, sdp_media_image, conn.host),
    KV_ELEM_STR(38, text, sdp_media_image, key),
    KV_ELEM_STR(40, raw, sdp_media_image, extra_lines),
};

#undef KV_ELEM_NUM
#undef KV_ELEM_STR
#undef KV_ELEM_SPECIAL_NUM
#undef KV_ELEM_SPECIAL_STR

// Every element, by ascending id.
inline constexpr sip_elem_layout sip_elem_layouts[] = {
    {static_cast<sip_header_id>(1), 44, 1, request_line_fields, std::size(request_line_fields),
     [](unsigned) -> void* { return &sip_hdr_area.request_line; },
     [](void* r) { *static_cast<sip_addr*>(r) = sip_addr{}; }},
    {static_cast<sip_header_id>(2), 6, 1, status_line_fields, std::size(status_line_fields),
     [](unsigned) -> void* { return &sip_hdr_area.status_line; },
     [](void* r) { *static_cast<sip_status_line_rec*>(r) = sip_status_line_rec{}; }},
    {static_cast<sip_header_id>(3), 14, 4, accept_fields, std::size(accept_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.accept[i]; },
     [](void* r) { *static_cast<sip_accept_rec*>(r) = sip_accept_rec{}; }},
    {static_cast<sip_header_id>(4), 6, 3, accept_encoding_fields, std::size(accept_encoding_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.accept_encoding[i]; },
     [](void* r) { *static_cast<sip_encoding_rec*>(r) = sip_encoding_rec{}; }},
    {static_cast<sip_header_id>(5), 10, 3, accept_language_fields, std::size(accept_language_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.accept_language[i]; },
     [](void* r) { *static_cast<sip_accept_language_rec*>(r) = sip_accept_language_rec{}; }},
    {static_cast<sip_header_id>(6), 6, 3, alert_info_fields, std::size(alert_info_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.alert_info[i]; },
     [](void* r) { *static_cast<sip_info_uri_rec*>(r) = sip_info_uri_rec{}; }},
    {static_cast<sip_header_id>(7), 4, 10, allow_fields, std::size(allow_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.allow[i]; },
     [](void* r) { *static_cast<sip_code_rec*>(r) = sip_code_rec{}; }},
    {static_cast<sip_header_id>(8), 16, 1, authentication_info_fields, std::size(authentication_info_fields),
     [](unsigned) -> void* { return &sip_hdr_area.authentication_info; },
     [](void* r) { *static_cast<sip_auth_info_rec*>(r) = sip_auth_info_rec{}; }},
    {static_cast<sip_header_id>(9), 36, 2, authorization_fields, std::size(authorization_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.authorization[i]; },
     [](void* r) { *static_cast<sip_credentials_rec*>(r) = sip_credentials_rec{}; }},
    {static_cast<sip_header_id>(10), 8, 1, call_id_fields, std::size(call_id_fields),
     [](unsigned) -> void* { return &sip_hdr_area.call_id; },
     [](void* r) { *static_cast<sip_callid_parsed*>(r) = sip_callid_parsed{}; }},
    {static_cast<sip_header_id>(11), 10, 3, call_info_fields, std::size(call_info_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.call_info[i]; },
     [](void* r) { *static_cast<sip_call_info_rec*>(r) = sip_call_info_rec{}; }},
    {static_cast<sip_header_id>(12), 62, 3, contact_fields, std::size(contact_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.contact[i]; },
     [](void* r) { *static_cast<sip_contact_rec*>(r) = sip_contact_rec{}; }},
    {static_cast<sip_header_id>(13), 10, 2, content_disposition_fields, std::size(content_disposition_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.content_disposition[i]; },
     [](void* r) { *static_cast<sip_disposition_rec*>(r) = sip_disposition_rec{}; }},
    {static_cast<sip_header_id>(14), 6, 3, content_encoding_fields, std::size(content_encoding_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.content_encoding[i]; },
     [](void* r) { *static_cast<sip_encoding_rec*>(r) = sip_encoding_rec{}; }},
    {static_cast<sip_header_id>(15), 4, 3, content_language_fields, std::size(content_language_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.content_language[i]; },
     [](void* r) { *static_cast<sip_text_rec*>(r) = sip_text_rec{}; }},
    {static_cast<sip_header_id>(17), 18, 2, content_type_fields, std::size(content_type_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.content_type[i]; },
     [](void* r) { *static_cast<sip_media_type_rec*>(r) = sip_media_type_rec{}; }},
    {static_cast<sip_header_id>(19), 4, 2, date_fields, std::size(date_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.date[i]; },
     [](void* r) { *static_cast<sip_text_rec*>(r) = sip_text_rec{}; }},
    {static_cast<sip_header_id>(20), 60, 1, diversion_fields, std::size(diversion_fields),
     [](unsigned) -> void* { return &sip_hdr_area.diversion; },
     [](void* r) { *static_cast<sip_diversion_rec*>(r) = sip_diversion_rec{}; }},
    {static_cast<sip_header_id>(21), 6, 3, error_info_fields, std::size(error_info_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.error_info[i]; },
     [](void* r) { *static_cast<sip_info_uri_rec*>(r) = sip_info_uri_rec{}; }},
    {static_cast<sip_header_id>(22), 8, 1, expires_fields, std::size(expires_fields),
     [](unsigned) -> void* { return &sip_hdr_area.expires; },
     [](void* r) { *static_cast<sip_number_rec*>(r) = sip_number_rec{}; }},
    {static_cast<sip_header_id>(23), 40, 1, from_fields, std::size(from_fields),
     [](unsigned) -> void* { return &sip_hdr_area.from; },
     [](void* r) { *static_cast<sip_name_addr*>(r) = sip_name_addr{}; }},
    {static_cast<sip_header_id>(24), 52, 1, history_info_fields, std::size(history_info_fields),
     [](unsigned) -> void* { return &sip_hdr_area.history_info; },
     [](void* r) { *static_cast<sip_history_info_rec*>(r) = sip_history_info_rec{}; }},
    {static_cast<sip_header_id>(25), 8, 3, in_reply_to_fields, std::size(in_reply_to_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.in_reply_to[i]; },
     [](void* r) { *static_cast<sip_callid_parsed*>(r) = sip_callid_parsed{}; }},
    {static_cast<sip_header_id>(26), 8, 1, max_forwards_fields, std::size(max_forwards_fields),
     [](unsigned) -> void* { return &sip_hdr_area.max_forwards; },
     [](void* r) { *static_cast<sip_number_rec*>(r) = sip_number_rec{}; }},
    {static_cast<sip_header_id>(27), 4, 1, mime_version_fields, std::size(mime_version_fields),
     [](unsigned) -> void* { return &sip_hdr_area.mime_version; },
     [](void* r) { *static_cast<sip_text_rec*>(r) = sip_text_rec{}; }},
    {static_cast<sip_header_id>(28), 8, 1, min_expires_fields, std::size(min_expires_fields),
     [](unsigned) -> void* { return &sip_hdr_area.min_expires; },
     [](void* r) { *static_cast<sip_number_rec*>(r) = sip_number_rec{}; }},
    {static_cast<sip_header_id>(29), 10, 1, min_se_fields, std::size(min_se_fields),
     [](unsigned) -> void* { return &sip_hdr_area.min_se; },
     [](void* r) { *static_cast<sip_min_se_rec*>(r) = sip_min_se_rec{}; }},
    {static_cast<sip_header_id>(30), 4, 1, organization_fields, std::size(organization_fields),
     [](unsigned) -> void* { return &sip_hdr_area.organization; },
     [](void* r) { *static_cast<sip_text_rec*>(r) = sip_text_rec{}; }},
    {static_cast<sip_header_id>(31), 48, 2, p_asserted_identity_fields, std::size(p_asserted_identity_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.p_asserted_identity[i]; },
     [](void* r) { *static_cast<sip_name_addr*>(r) = sip_name_addr{}; }},
    {static_cast<sip_header_id>(32), 6, 1, p_early_media_fields, std::size(p_early_media_fields),
     [](unsigned) -> void* { return &sip_hdr_area.p_early_media; },
     [](void* r) { *static_cast<sip_code_text_rec*>(r) = sip_code_text_rec{}; }},
    {static_cast<sip_header_id>(33), 48, 2, p_media_authorization_fields, std::size(p_media_authorization_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.p_media_authorization[i]; },
     [](void* r) { *static_cast<sip_name_addr*>(r) = sip_name_addr{}; }},
    {static_cast<sip_header_id>(34), 48, 1, p_preferred_identity_fields, std::size(p_preferred_identity_fields),
     [](unsigned) -> void* { return &sip_hdr_area.p_preferred_identity; },
     [](void* r) { *static_cast<sip_name_addr*>(r) = sip_name_addr{}; }},
    {static_cast<sip_header_id>(35), 48, 2, path_fields, std::size(path_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.path[i]; },
     [](void* r) { *static_cast<sip_name_addr*>(r) = sip_name_addr{}; }},
    {static_cast<sip_header_id>(36), 6, 1, priority_fields, std::size(priority_fields),
     [](unsigned) -> void* { return &sip_hdr_area.priority; },
     [](void* r) { *static_cast<sip_code_text_rec*>(r) = sip_code_text_rec{}; }},
    {static_cast<sip_header_id>(37), 6, 1, privacy_fields, std::size(privacy_fields),
     [](unsigned) -> void* { return &sip_hdr_area.privacy; },
     [](void* r) { *static_cast<sip_code_text_rec*>(r) = sip_code_text_rec{}; }},
    {static_cast<sip_header_id>(38), 20, 1, proxy_authenticate_fields, std::size(proxy_authenticate_fields),
     [](unsigned) -> void* { return &sip_hdr_area.proxy_authenticate; },
     [](void* r) { *static_cast<sip_challenge_rec*>(r) = sip_challenge_rec{}; }},
    {static_cast<sip_header_id>(39), 34, 2, proxy_authorization_fields, std::size(proxy_authorization_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.proxy_authorization[i]; },
     [](void* r) { *static_cast<sip_credentials_rec*>(r) = sip_credentials_rec{}; }},
    {static_cast<sip_header_id>(40), 4, 3, proxy_require_fields, std::size(proxy_require_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.proxy_require[i]; },
     [](void* r) { *static_cast<sip_text_rec*>(r) = sip_text_rec{}; }},
    {static_cast<sip_header_id>(41), 12, 2, reason_fields, std::size(reason_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.reason[i]; },
     [](void* r) { *static_cast<sip_reason_rec*>(r) = sip_reason_rec{}; }},
    {static_cast<sip_header_id>(42), 50, 3, record_route_fields, std::size(record_route_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.record_route[i]; },
     [](void* r) { *static_cast<sip_name_addr*>(r) = sip_name_addr{}; }},
    {static_cast<sip_header_id>(43), 18, 1, replaces_fields, std::size(replaces_fields),
     [](unsigned) -> void* { return &sip_hdr_area.replaces; },
     [](void* r) { *static_cast<sip_replaces_rec*>(r) = sip_replaces_rec{}; }},
    {static_cast<sip_header_id>(44), 38, 1, reply_to_fields, std::size(reply_to_fields),
     [](unsigned) -> void* { return &sip_hdr_area.reply_to; },
     [](void* r) { *static_cast<sip_name_addr*>(r) = sip_name_addr{}; }},
    {static_cast<sip_header_id>(45), 4, 1, request_disposition_fields, std::size(request_disposition_fields),
     [](unsigned) -> void* { return &sip_hdr_area.request_disposition; },
     [](void* r) { *static_cast<sip_code_rec*>(r) = sip_code_rec{}; }},
    {static_cast<sip_header_id>(46), 6, 3, require_fields, std::size(require_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.require[i]; },
     [](void* r) { *static_cast<sip_code_text_rec*>(r) = sip_code_text_rec{}; }},
    {static_cast<sip_header_id>(47), 16, 1, retry_after_fields, std::size(retry_after_fields),
     [](unsigned) -> void* { return &sip_hdr_area.retry_after; },
     [](void* r) { *static_cast<sip_retry_after_rec*>(r) = sip_retry_after_rec{}; }},
    {static_cast<sip_header_id>(48), 50, 3, route_fields, std::size(route_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.route[i]; },
     [](void* r) { *static_cast<sip_name_addr*>(r) = sip_name_addr{}; }},
    {static_cast<sip_header_id>(49), 8, 3, server_fields, std::size(server_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.server[i]; },
     [](void* r) { *static_cast<sip_product_rec*>(r) = sip_product_rec{}; }},
    {static_cast<sip_header_id>(50), 50, 1, service_route_fields, std::size(service_route_fields),
     [](unsigned) -> void* { return &sip_hdr_area.service_route; },
     [](void* r) { *static_cast<sip_name_addr*>(r) = sip_name_addr{}; }},
    {static_cast<sip_header_id>(51), 12, 1, session_expires_fields, std::size(session_expires_fields),
     [](unsigned) -> void* { return &sip_hdr_area.session_expires; },
     [](void* r) { *static_cast<sip_session_expires_rec*>(r) = sip_session_expires_rec{}; }},
    {static_cast<sip_header_id>(52), 6, 1, session_id_fields, std::size(session_id_fields),
     [](unsigned) -> void* { return &sip_hdr_area.session_id; },
     [](void* r) { *static_cast<sip_session_id_rec*>(r) = sip_session_id_rec{}; }},
    {static_cast<sip_header_id>(53), 4, 1, subject_fields, std::size(subject_fields),
     [](unsigned) -> void* { return &sip_hdr_area.subject; },
     [](void* r) { *static_cast<sip_text_rec*>(r) = sip_text_rec{}; }},
    {static_cast<sip_header_id>(54), 6, 6, supported_fields, std::size(supported_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.supported[i]; },
     [](void* r) { *static_cast<sip_code_text_rec*>(r) = sip_code_text_rec{}; }},
    {static_cast<sip_header_id>(55), 22, 1, timestamp_fields, std::size(timestamp_fields),
     [](unsigned) -> void* { return &sip_hdr_area.timestamp; },
     [](void* r) { *static_cast<sip_timestamp_rec*>(r) = sip_timestamp_rec{}; }},
    {static_cast<sip_header_id>(56), 40, 1, to_fields, std::size(to_fields),
     [](unsigned) -> void* { return &sip_hdr_area.to; },
     [](void* r) { *static_cast<sip_name_addr*>(r) = sip_name_addr{}; }},
    {static_cast<sip_header_id>(57), 6, 6, unsupported_fields, std::size(unsupported_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.unsupported[i]; },
     [](void* r) { *static_cast<sip_code_text_rec*>(r) = sip_code_text_rec{}; }},
    {static_cast<sip_header_id>(58), 8, 3, user_agent_fields, std::size(user_agent_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.user_agent[i]; },
     [](void* r) { *static_cast<sip_product_rec*>(r) = sip_product_rec{}; }},
    {static_cast<sip_header_id>(59), 34, 5, via_fields, std::size(via_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.via[i]; },
     [](void* r) { *static_cast<sip_via_rec*>(r) = sip_via_rec{}; }},
    {static_cast<sip_header_id>(60), 14, 3, warning_fields, std::size(warning_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.warning[i]; },
     [](void* r) { *static_cast<sip_warning_rec*>(r) = sip_warning_rec{}; }},
    {static_cast<sip_header_id>(61), 22, 1, www_authenticate_fields, std::size(www_authenticate_fields),
     [](unsigned) -> void* { return &sip_hdr_area.www_authenticate; },
     [](void* r) { *static_cast<sip_challenge_rec*>(r) = sip_challenge_rec{}; }},
    {static_cast<sip_header_id>(62), 6, 2, body_fields, std::size(body_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.body[i]; },
     [](void* r) { *static_cast<sip_body_rec*>(r) = sip_body_rec{}; }},
    {static_cast<sip_header_id>(63), 18, 1, sdp_session_fields, std::size(sdp_session_fields),
     [](unsigned) -> void* { return &sip_prim_area.session; },
     [](void* r) { *static_cast<sdp_session*>(r) = sdp_session{}; }},
    {static_cast<sip_header_id>(64), 30, 3, sdp_media_fields, std::size(sdp_media_fields),
     [](unsigned i) -> void* { return &sip_prim_area.av[i]; },
     [](void* r) { *static_cast<sdp_media_av*>(r) = sdp_media_av{}; }},
    {static_cast<sip_header_id>(65), 14, 12, sdp_format_fields, std::size(sdp_format_fields),
     [](unsigned i) -> void* { return &sip_prim_area.rtpmap[i]; },
     [](void* r) { *static_cast<sdp_rtpmap*>(r) = sdp_rtpmap{}; }},
    {static_cast<sip_header_id>(66), 28, 2, sdp_text_media_fields, std::size(sdp_text_media_fields),
     [](unsigned i) -> void* { return &sip_prim_area.other[i]; },
     [](void* r) { *static_cast<sdp_media_other*>(r) = sdp_media_other{}; }},
    {static_cast<sip_header_id>(67), 14, 1, sdp_origin_fields, std::size(sdp_origin_fields),
     [](unsigned) -> void* { return &sip_prim_area.origin; },
     [](void* r) { *static_cast<sdp_origin*>(r) = sdp_origin{}; }},
    {static_cast<sip_header_id>(68), 18, 2, part_content_type_fields, std::size(part_content_type_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.part_content_type[i]; },
     [](void* r) { *static_cast<sip_media_type_rec*>(r) = sip_media_type_rec{}; }},
    {static_cast<sip_header_id>(69), 12, 2, part_content_disposition_fields, std::size(part_content_disposition_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.part_content_disposition[i]; },
     [](void* r) { *static_cast<sip_disposition_rec*>(r) = sip_disposition_rec{}; }},
    {static_cast<sip_header_id>(70), 10, 2, disposition_70_fields, std::size(disposition_70_fields),
     [](unsigned i) -> void* { return &sip_prim_area.disposition_70[i]; },
     [](void* r) { *static_cast<sip_disposition_rec*>(r) = sip_disposition_rec{}; }},
    {static_cast<sip_header_id>(78), 52, 1, referred_by_fields, std::size(referred_by_fields),
     [](unsigned) -> void* { return &sip_hdr_area.referred_by; },
     [](void* r) { *static_cast<sip_referred_by_rec*>(r) = sip_referred_by_rec{}; }},
    {static_cast<sip_header_id>(83), 42, 4, sdp_image_fields, std::size(sdp_image_fields),
     [](unsigned i) -> void* { return &sip_prim_area.image[i]; },
     [](void* r) { *static_cast<sdp_media_image*>(r) = sdp_media_image{}; }},
};

namespace sip_elem_detail {
// Position of each id's layout in sip_elem_layouts, -1 for none.
inline constexpr auto layout_index = [] {
  std::array<i16, SIP_HDR_SLOTS> t{};
  t.fill(-1);
  for (std::size_t k = 0; k < std::size(sip_elem_layouts); ++k)
    t[static_cast<unsigned>(sip_elem_layouts[k].id)] = static_cast<i16>(k);
  return t;
}();
}  // namespace sip_elem_detail

// The layout of `id`, or null for an id that no primitive carries.
constexpr const sip_elem_layout* sip_elem__layout(sip_header_id id) {
  const unsigned i = static_cast<unsigned>(id);
  if (i >= SIP_HDR_SLOTS || sip_elem_detail::layout_index[i] < 0) return nullptr;
  return &sip_elem_layouts[static_cast<std::size_t>(sip_elem_detail::layout_index[i])];
}

namespace sip_elem_detail {
constexpr unsigned width(sip_elem_kind k) { return k == sip_elem_kind::u8 ? 1 : k == sip_elem_kind::u32 ? 4 : 2; }
// Fields in ascending offset, inside the fixed part, after the link, without
// overlap: the variable part then follows the length fields' order.
constexpr bool layouts_sound() {
  for (const auto& l : sip_elem_layouts) {
    unsigned next = 2;
    for (std::size_t i = 0; i < l.field_count; ++i) {
      const auto& f = l.fields[i];
      if (f.offset < next || f.offset + width(f.kind) > l.fixed_len) return false;
      next = f.offset + width(f.kind);
    }
  }
  return true;
}
static_assert(layouts_sound());
}  // namespace sip_elem_detail
