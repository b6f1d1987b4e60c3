// Field rows of the SIP headers that a primitive carries, one table per
// header id; headers whose elements have the same fields share one table.
#pragma once

#include "sip/prim/sip_elem_field.h"

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
// accept_encoding, content_encoding (ids 4, 14): fixed length 6.
inline constexpr sip_elem_field encoding_fields[] = {
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
// alert_info, error_info (ids 6, 21): fixed length 6.
inline constexpr sip_elem_field info_uri_fields[] = {
    KV_ELEM_STR(2, text, sip_info_uri_rec, uri),
    KV_ELEM_STR(4, text, sip_info_uri_rec, params_other),
};
// allow, request_disposition (ids 7, 45): fixed length 4.
inline constexpr sip_elem_field code_fields[] = {
    KV_ELEM_NUM(2, u8, sip_code_rec, code),
};
// authentication_info (id 8): fixed length 16, at most 1.
inline constexpr sip_elem_field authentication_info_fields[] = {
    KV_ELEM_NUM(2, u8, sip_auth_info_rec, qop),         KV_ELEM_NUM(4, u32, sip_auth_info_rec, nc),
    KV_ELEM_STR(8, text, sip_auth_info_rec, nextnonce), KV_ELEM_STR(10, text, sip_auth_info_rec, rspauth),
    KV_ELEM_STR(12, text, sip_auth_info_rec, cnonce),   KV_ELEM_STR(14, text, sip_auth_info_rec, qop_text),
};
// call_id, in_reply_to (ids 10, 25): fixed length 8.
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
// p_asserted_identity, p_media_authorization, p_preferred_identity, path (ids 31, 33, 34, 35): fixed length 48.
inline constexpr sip_elem_field name_addr_fields[] = {
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
// contact (id 12): fixed length 62, at most 3.  The name-address without its
// lr flag, then expires and action; its texts 4 bytes further on up to the
// user part's other parameters.
inline constexpr auto contact_fields = sip_elem_join(
    sip_elem_rows_in<sip_contact_rec, &sip_contact_rec::na, name_addr_fields, 0, 8>(0),
    std::array{KV_ELEM_NUM(12, u32, sip_contact_rec, expires), KV_ELEM_NUM(16, u8, sip_contact_rec, action)},
    sip_elem_rows_in<sip_contact_rec, &sip_contact_rec::na, name_addr_fields, 9, 23>(4),
    std::array{
        KV_ELEM_STR(48, text, sip_contact_rec, na.addr.params_other),
        KV_ELEM_STR(50, text, sip_contact_rec, na.addr.headers),
        KV_ELEM_STR(52, text, sip_contact_rec, q),
        KV_ELEM_STR(54, text, sip_contact_rec, expires_date),
        KV_ELEM_STR(56, text, sip_contact_rec, comment),
        KV_ELEM_STR(58, text, sip_contact_rec, na.params_other),
    });
// content_disposition, disposition_70 (ids 13, 70): fixed length 10.
inline constexpr sip_elem_field disposition_fields[] = {
    KV_ELEM_NUM(2, u8, sip_disposition_rec, disposition),        KV_ELEM_NUM(3, u8, sip_disposition_rec, handling),
    KV_ELEM_STR(4, text, sip_disposition_rec, disposition_text), KV_ELEM_SPECIAL_STR(6, text, handling_text),
    KV_ELEM_STR(8, text, sip_disposition_rec, params_other),
};
// content_language, date, mime_version, organization, proxy_require, subject (ids 15, 19, 27, 30, 40, 53): fixed
// length 4.
inline constexpr sip_elem_field text_fields[] = {
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
// diversion (id 20): fixed length 60, at most 1.  The name-address's numbers,
// the diversion's own, then the name-address's texts 4 bytes further on.
inline constexpr auto diversion_fields =
    sip_elem_join(sip_elem_rows_in<sip_diversion_rec, &sip_diversion_rec::na, name_addr_fields, 0, 9>(0),
                  std::array{
                      KV_ELEM_NUM(13, u8, sip_diversion_rec, reason),
                      KV_ELEM_NUM(14, u8, sip_diversion_rec, counter),
                      KV_ELEM_NUM(15, u8, sip_diversion_rec, limit),
                      KV_ELEM_NUM(16, u8, sip_diversion_rec, privacy),
                      KV_ELEM_NUM(17, u8, sip_diversion_rec, screen),
                  },
                  sip_elem_rows_in<sip_diversion_rec, &sip_diversion_rec::na, name_addr_fields, 9, 25>(4),
                  std::array{
                      KV_ELEM_STR(50, text, sip_diversion_rec, reason_text),
                      KV_ELEM_STR(52, text, sip_diversion_rec, privacy_text),
                      KV_ELEM_SPECIAL_STR(54, text, screen_text),
                      KV_ELEM_STR(56, text, sip_diversion_rec, na.params_other),
                  });
// expires, max_forwards, min_expires (ids 22, 26, 28): fixed length 8.
inline constexpr sip_elem_field number_fields[] = {
    KV_ELEM_NUM(4, u32, sip_number_rec, value),
};
// reply_to (id 44): fixed length 38, at most 1.  The name-address without
// transport, ttl, method, lr, maddr, other transport and headers, then its
// parameters.
inline constexpr auto reply_to_fields =
    sip_elem_join(sip_elem_rows<0, 4>(name_addr_fields, 0), sip_elem_rows<6, 7>(name_addr_fields, -2),
                  sip_elem_rows<9, 20>(name_addr_fields, -4), sip_elem_rows<22, 23>(name_addr_fields, -8),
                  std::array{KV_ELEM_STR(34, text, sip_name_addr, params_other)});
// from, to (ids 23, 56): fixed length 40.  Reply-To's fields, the tag and the
// address text.
inline constexpr auto from_to_fields = sip_elem_join(
    reply_to_fields,
    std::array{KV_ELEM_STR(36, text, sip_name_addr, tag), KV_ELEM_STR(38, text, sip_name_addr, addr.text)});
// history_info (id 24): fixed length 52, at most 1.
inline constexpr auto history_info_fields = sip_elem_join(
    sip_elem_rows_in<sip_history_info_rec, &sip_history_info_rec::na, name_addr_fields, 0, std::size(name_addr_fields)>(
        0),
    std::array{KV_ELEM_STR(48, text, sip_history_info_rec, index),
               KV_ELEM_STR(50, text, sip_history_info_rec, na.params_other)});
// min_se (id 29): fixed length 10, at most 1.
inline constexpr sip_elem_field min_se_fields[] = {
    KV_ELEM_NUM(4, u32, sip_min_se_rec, value),
    KV_ELEM_STR(8, text, sip_min_se_rec, params),
};
// p_early_media, priority, privacy, require, supported, unsupported (ids 32, 36, 37, 46, 54, 57): fixed length 6.
inline constexpr sip_elem_field code_text_fields[] = {
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
// authorization (id 9): fixed length 36, at most 2.  Proxy-Authorization's
// fields with the other parameters 2 bytes further on.
inline constexpr auto authorization_fields = sip_elem_join(
    sip_elem_rows<0, 15>(proxy_authorization_fields, 0), std::array{KV_ELEM_STR(34, text, sip_credentials_rec, other)});
// reason (id 41): fixed length 12, at most 2.
inline constexpr sip_elem_field reason_fields[] = {
    KV_ELEM_NUM(2, u8, sip_reason_rec, protocol),        KV_ELEM_NUM(4, u16, sip_reason_rec, cause),
    KV_ELEM_STR(6, text, sip_reason_rec, protocol_text), KV_ELEM_STR(8, text, sip_reason_rec, text),
    KV_ELEM_STR(10, text, sip_reason_rec, params_other),
};
// record_route, route, service_route (ids 42, 48, 50): fixed length 50.  The
// name-address and its parameters.
inline constexpr auto route_fields = sip_elem_join(sip_elem_rows<0, std::size(name_addr_fields)>(name_addr_fields, 0),
                                                   std::array{KV_ELEM_STR(48, text, sip_name_addr, params_other)});
// replaces (id 43): fixed length 18, at most 1.
inline constexpr sip_elem_field replaces_fields[] = {
    KV_ELEM_NUM(2, u16, sip_replaces_rec, call_ref),       KV_ELEM_NUM(4, u8, sip_replaces_rec, early_only),
    KV_ELEM_STR(6, text, sip_replaces_rec, call_id.word),  KV_ELEM_SPECIAL_STR(8, raw, repl_addr),
    KV_ELEM_STR(10, text, sip_replaces_rec, call_id.host), KV_ELEM_STR(12, text, sip_replaces_rec, from_tag),
    KV_ELEM_STR(14, text, sip_replaces_rec, to_tag),       KV_ELEM_STR(16, text, sip_replaces_rec, params_other),
};
// retry_after (id 47): fixed length 16, at most 1.
inline constexpr sip_elem_field retry_after_fields[] = {
    KV_ELEM_NUM(4, u32, sip_retry_after_rec, delta),
    KV_ELEM_NUM(8, u32, sip_retry_after_rec, duration),
    KV_ELEM_STR(12, text, sip_retry_after_rec, comment),
    KV_ELEM_STR(14, text, sip_retry_after_rec, params_other),
};
// server, user_agent (ids 49, 58): fixed length 8.
inline constexpr sip_elem_field product_fields[] = {
    KV_ELEM_STR(2, text, sip_product_rec, product),
    KV_ELEM_STR(4, text, sip_product_rec, version),
    KV_ELEM_STR(6, text, sip_product_rec, comment),
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
// timestamp (id 55): fixed length 22, at most 1.
inline constexpr sip_elem_field timestamp_fields[] = {
    KV_ELEM_NUM(4, u32, sip_timestamp_rec, time),    KV_ELEM_NUM(8, u32, sip_timestamp_rec, time_fraction),
    KV_ELEM_NUM(12, u32, sip_timestamp_rec, delay),  KV_ELEM_NUM(16, u32, sip_timestamp_rec, delay_fraction),
    KV_ELEM_STR(20, text, sip_timestamp_rec, extra),
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
// www_authenticate (id 61): fixed length 22, at most 1.  Proxy-Authenticate's
// fields with the domain after the realm.
inline constexpr auto www_authenticate_fields = sip_elem_join(
    sip_elem_rows<0, 5>(proxy_authenticate_fields, 0), std::array{KV_ELEM_STR(8, text, sip_challenge_rec, domain)},
    sip_elem_rows<5, std::size(proxy_authenticate_fields)>(proxy_authenticate_fields, 2));
// referred_by (id 78): fixed length 52, at most 1.  The name-address without
// its display name, which comes last.
inline constexpr auto referred_by_fields =
    sip_elem_join(sip_elem_rows_in<sip_referred_by_rec, &sip_referred_by_rec::na, name_addr_fields, 0, 15>(0),
                  sip_elem_rows_in<sip_referred_by_rec, &sip_referred_by_rec::na, name_addr_fields, 16, 25>(-2),
                  std::array{
                      KV_ELEM_STR(44, text, sip_referred_by_rec, cid),
                      KV_ELEM_STR(46, text, sip_referred_by_rec, na.params_other),
                      KV_ELEM_STR(48, text, sip_referred_by_rec, na.display),
                  });
