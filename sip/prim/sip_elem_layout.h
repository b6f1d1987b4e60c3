// Element layouts of the SIP primitive body: for every header and SDP element
// that a primitive carries, the byte position, width and kind of each field
// of its node, and where the field lives in the header work area.  These rows
// are the only description of the elements: the encoders and decoders
// (sip_elem.h) read them, and so does the session-control side's record codec.
// The field model is in sip_elem_field.h, the header rows in
// sip_elem_hdr_fields.h; the body and SDP rows and the table of every
// element are here.
#pragma once

#include <array>
#include <cstdint>
#include <iterator>

#include "sip/prim/sip_elem_field.h"
#include "sip/prim/sip_elem_hdr_fields.h"
#include "platform/int_types.h"

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
    {static_cast<sip_header_id>(4), 6, 3, encoding_fields, std::size(encoding_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.accept_encoding[i]; },
     [](void* r) { *static_cast<sip_encoding_rec*>(r) = sip_encoding_rec{}; }},
    {static_cast<sip_header_id>(5), 10, 3, accept_language_fields, std::size(accept_language_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.accept_language[i]; },
     [](void* r) { *static_cast<sip_accept_language_rec*>(r) = sip_accept_language_rec{}; }},
    {static_cast<sip_header_id>(6), 6, 3, info_uri_fields, std::size(info_uri_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.alert_info[i]; },
     [](void* r) { *static_cast<sip_info_uri_rec*>(r) = sip_info_uri_rec{}; }},
    {static_cast<sip_header_id>(7), 4, 10, code_fields, std::size(code_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.allow[i]; },
     [](void* r) { *static_cast<sip_code_rec*>(r) = sip_code_rec{}; }},
    {static_cast<sip_header_id>(8), 16, 1, authentication_info_fields, std::size(authentication_info_fields),
     [](unsigned) -> void* { return &sip_hdr_area.authentication_info; },
     [](void* r) { *static_cast<sip_auth_info_rec*>(r) = sip_auth_info_rec{}; }},
    {static_cast<sip_header_id>(9), 36, 2, authorization_fields.data(), std::size(authorization_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.authorization[i]; },
     [](void* r) { *static_cast<sip_credentials_rec*>(r) = sip_credentials_rec{}; }},
    {static_cast<sip_header_id>(10), 8, 1, call_id_fields, std::size(call_id_fields),
     [](unsigned) -> void* { return &sip_hdr_area.call_id; },
     [](void* r) { *static_cast<sip_callid_parsed*>(r) = sip_callid_parsed{}; }},
    {static_cast<sip_header_id>(11), 10, 3, call_info_fields, std::size(call_info_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.call_info[i]; },
     [](void* r) { *static_cast<sip_call_info_rec*>(r) = sip_call_info_rec{}; }},
    {static_cast<sip_header_id>(12), 62, 3, contact_fields.data(), std::size(contact_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.contact[i]; },
     [](void* r) { *static_cast<sip_contact_rec*>(r) = sip_contact_rec{}; }},
    {static_cast<sip_header_id>(13), 10, 2, disposition_fields, std::size(disposition_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.content_disposition[i]; },
     [](void* r) { *static_cast<sip_disposition_rec*>(r) = sip_disposition_rec{}; }},
    {static_cast<sip_header_id>(14), 6, 3, encoding_fields, std::size(encoding_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.content_encoding[i]; },
     [](void* r) { *static_cast<sip_encoding_rec*>(r) = sip_encoding_rec{}; }},
    {static_cast<sip_header_id>(15), 4, 3, text_fields, std::size(text_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.content_language[i]; },
     [](void* r) { *static_cast<sip_text_rec*>(r) = sip_text_rec{}; }},
    {static_cast<sip_header_id>(17), 18, 2, content_type_fields, std::size(content_type_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.content_type[i]; },
     [](void* r) { *static_cast<sip_media_type_rec*>(r) = sip_media_type_rec{}; }},
    {static_cast<sip_header_id>(19), 4, 2, text_fields, std::size(text_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.date[i]; },
     [](void* r) { *static_cast<sip_text_rec*>(r) = sip_text_rec{}; }},
    {static_cast<sip_header_id>(20), 60, 1, diversion_fields.data(), std::size(diversion_fields),
     [](unsigned) -> void* { return &sip_hdr_area.diversion; },
     [](void* r) { *static_cast<sip_diversion_rec*>(r) = sip_diversion_rec{}; }},
    {static_cast<sip_header_id>(21), 6, 3, info_uri_fields, std::size(info_uri_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.error_info[i]; },
     [](void* r) { *static_cast<sip_info_uri_rec*>(r) = sip_info_uri_rec{}; }},
    {static_cast<sip_header_id>(22), 8, 1, number_fields, std::size(number_fields),
     [](unsigned) -> void* { return &sip_hdr_area.expires; },
     [](void* r) { *static_cast<sip_number_rec*>(r) = sip_number_rec{}; }},
    {static_cast<sip_header_id>(23), 40, 1, from_to_fields.data(), std::size(from_to_fields),
     [](unsigned) -> void* { return &sip_hdr_area.from; },
     [](void* r) { *static_cast<sip_name_addr*>(r) = sip_name_addr{}; }},
    {static_cast<sip_header_id>(24), 52, 1, history_info_fields.data(), std::size(history_info_fields),
     [](unsigned) -> void* { return &sip_hdr_area.history_info; },
     [](void* r) { *static_cast<sip_history_info_rec*>(r) = sip_history_info_rec{}; }},
    {static_cast<sip_header_id>(25), 8, 3, call_id_fields, std::size(call_id_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.in_reply_to[i]; },
     [](void* r) { *static_cast<sip_callid_parsed*>(r) = sip_callid_parsed{}; }},
    {static_cast<sip_header_id>(26), 8, 1, number_fields, std::size(number_fields),
     [](unsigned) -> void* { return &sip_hdr_area.max_forwards; },
     [](void* r) { *static_cast<sip_number_rec*>(r) = sip_number_rec{}; }},
    {static_cast<sip_header_id>(27), 4, 1, text_fields, std::size(text_fields),
     [](unsigned) -> void* { return &sip_hdr_area.mime_version; },
     [](void* r) { *static_cast<sip_text_rec*>(r) = sip_text_rec{}; }},
    {static_cast<sip_header_id>(28), 8, 1, number_fields, std::size(number_fields),
     [](unsigned) -> void* { return &sip_hdr_area.min_expires; },
     [](void* r) { *static_cast<sip_number_rec*>(r) = sip_number_rec{}; }},
    {static_cast<sip_header_id>(29), 10, 1, min_se_fields, std::size(min_se_fields),
     [](unsigned) -> void* { return &sip_hdr_area.min_se; },
     [](void* r) { *static_cast<sip_min_se_rec*>(r) = sip_min_se_rec{}; }},
    {static_cast<sip_header_id>(30), 4, 1, text_fields, std::size(text_fields),
     [](unsigned) -> void* { return &sip_hdr_area.organization; },
     [](void* r) { *static_cast<sip_text_rec*>(r) = sip_text_rec{}; }},
    {static_cast<sip_header_id>(31), 48, 2, name_addr_fields, std::size(name_addr_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.p_asserted_identity[i]; },
     [](void* r) { *static_cast<sip_name_addr*>(r) = sip_name_addr{}; }},
    {static_cast<sip_header_id>(32), 6, 1, code_text_fields, std::size(code_text_fields),
     [](unsigned) -> void* { return &sip_hdr_area.p_early_media; },
     [](void* r) { *static_cast<sip_code_text_rec*>(r) = sip_code_text_rec{}; }},
    {static_cast<sip_header_id>(33), 48, 2, name_addr_fields, std::size(name_addr_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.p_media_authorization[i]; },
     [](void* r) { *static_cast<sip_name_addr*>(r) = sip_name_addr{}; }},
    {static_cast<sip_header_id>(34), 48, 1, name_addr_fields, std::size(name_addr_fields),
     [](unsigned) -> void* { return &sip_hdr_area.p_preferred_identity; },
     [](void* r) { *static_cast<sip_name_addr*>(r) = sip_name_addr{}; }},
    {static_cast<sip_header_id>(35), 48, 2, name_addr_fields, std::size(name_addr_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.path[i]; },
     [](void* r) { *static_cast<sip_name_addr*>(r) = sip_name_addr{}; }},
    {static_cast<sip_header_id>(36), 6, 1, code_text_fields, std::size(code_text_fields),
     [](unsigned) -> void* { return &sip_hdr_area.priority; },
     [](void* r) { *static_cast<sip_code_text_rec*>(r) = sip_code_text_rec{}; }},
    {static_cast<sip_header_id>(37), 6, 1, code_text_fields, std::size(code_text_fields),
     [](unsigned) -> void* { return &sip_hdr_area.privacy; },
     [](void* r) { *static_cast<sip_code_text_rec*>(r) = sip_code_text_rec{}; }},
    {static_cast<sip_header_id>(38), 20, 1, proxy_authenticate_fields, std::size(proxy_authenticate_fields),
     [](unsigned) -> void* { return &sip_hdr_area.proxy_authenticate; },
     [](void* r) { *static_cast<sip_challenge_rec*>(r) = sip_challenge_rec{}; }},
    {static_cast<sip_header_id>(39), 34, 2, proxy_authorization_fields, std::size(proxy_authorization_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.proxy_authorization[i]; },
     [](void* r) { *static_cast<sip_credentials_rec*>(r) = sip_credentials_rec{}; }},
    {static_cast<sip_header_id>(40), 4, 3, text_fields, std::size(text_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.proxy_require[i]; },
     [](void* r) { *static_cast<sip_text_rec*>(r) = sip_text_rec{}; }},
    {static_cast<sip_header_id>(41), 12, 2, reason_fields, std::size(reason_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.reason[i]; },
     [](void* r) { *static_cast<sip_reason_rec*>(r) = sip_reason_rec{}; }},
    {static_cast<sip_header_id>(42), 50, 3, route_fields.data(), std::size(route_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.record_route[i]; },
     [](void* r) { *static_cast<sip_name_addr*>(r) = sip_name_addr{}; }},
    {static_cast<sip_header_id>(43), 18, 1, replaces_fields, std::size(replaces_fields),
     [](unsigned) -> void* { return &sip_hdr_area.replaces; },
     [](void* r) { *static_cast<sip_replaces_rec*>(r) = sip_replaces_rec{}; }},
    {static_cast<sip_header_id>(44), 38, 1, reply_to_fields.data(), std::size(reply_to_fields),
     [](unsigned) -> void* { return &sip_hdr_area.reply_to; },
     [](void* r) { *static_cast<sip_name_addr*>(r) = sip_name_addr{}; }},
    {static_cast<sip_header_id>(45), 4, 1, code_fields, std::size(code_fields),
     [](unsigned) -> void* { return &sip_hdr_area.request_disposition; },
     [](void* r) { *static_cast<sip_code_rec*>(r) = sip_code_rec{}; }},
    {static_cast<sip_header_id>(46), 6, 3, code_text_fields, std::size(code_text_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.require[i]; },
     [](void* r) { *static_cast<sip_code_text_rec*>(r) = sip_code_text_rec{}; }},
    {static_cast<sip_header_id>(47), 16, 1, retry_after_fields, std::size(retry_after_fields),
     [](unsigned) -> void* { return &sip_hdr_area.retry_after; },
     [](void* r) { *static_cast<sip_retry_after_rec*>(r) = sip_retry_after_rec{}; }},
    {static_cast<sip_header_id>(48), 50, 3, route_fields.data(), std::size(route_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.route[i]; },
     [](void* r) { *static_cast<sip_name_addr*>(r) = sip_name_addr{}; }},
    {static_cast<sip_header_id>(49), 8, 3, product_fields, std::size(product_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.server[i]; },
     [](void* r) { *static_cast<sip_product_rec*>(r) = sip_product_rec{}; }},
    {static_cast<sip_header_id>(50), 50, 1, route_fields.data(), std::size(route_fields),
     [](unsigned) -> void* { return &sip_hdr_area.service_route; },
     [](void* r) { *static_cast<sip_name_addr*>(r) = sip_name_addr{}; }},
    {static_cast<sip_header_id>(51), 12, 1, session_expires_fields, std::size(session_expires_fields),
     [](unsigned) -> void* { return &sip_hdr_area.session_expires; },
     [](void* r) { *static_cast<sip_session_expires_rec*>(r) = sip_session_expires_rec{}; }},
    {static_cast<sip_header_id>(52), 6, 1, session_id_fields, std::size(session_id_fields),
     [](unsigned) -> void* { return &sip_hdr_area.session_id; },
     [](void* r) { *static_cast<sip_session_id_rec*>(r) = sip_session_id_rec{}; }},
    {static_cast<sip_header_id>(53), 4, 1, text_fields, std::size(text_fields),
     [](unsigned) -> void* { return &sip_hdr_area.subject; },
     [](void* r) { *static_cast<sip_text_rec*>(r) = sip_text_rec{}; }},
    {static_cast<sip_header_id>(54), 6, 6, code_text_fields, std::size(code_text_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.supported[i]; },
     [](void* r) { *static_cast<sip_code_text_rec*>(r) = sip_code_text_rec{}; }},
    {static_cast<sip_header_id>(55), 22, 1, timestamp_fields, std::size(timestamp_fields),
     [](unsigned) -> void* { return &sip_hdr_area.timestamp; },
     [](void* r) { *static_cast<sip_timestamp_rec*>(r) = sip_timestamp_rec{}; }},
    {static_cast<sip_header_id>(56), 40, 1, from_to_fields.data(), std::size(from_to_fields),
     [](unsigned) -> void* { return &sip_hdr_area.to; },
     [](void* r) { *static_cast<sip_name_addr*>(r) = sip_name_addr{}; }},
    {static_cast<sip_header_id>(57), 6, 6, code_text_fields, std::size(code_text_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.unsupported[i]; },
     [](void* r) { *static_cast<sip_code_text_rec*>(r) = sip_code_text_rec{}; }},
    {static_cast<sip_header_id>(58), 8, 3, product_fields, std::size(product_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.user_agent[i]; },
     [](void* r) { *static_cast<sip_product_rec*>(r) = sip_product_rec{}; }},
    {static_cast<sip_header_id>(59), 34, 5, via_fields, std::size(via_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.via[i]; },
     [](void* r) { *static_cast<sip_via_rec*>(r) = sip_via_rec{}; }},
    {static_cast<sip_header_id>(60), 14, 3, warning_fields, std::size(warning_fields),
     [](unsigned i) -> void* { return &sip_hdr_area.warning[i]; },
     [](void* r) { *static_cast<sip_warning_rec*>(r) = sip_warning_rec{}; }},
    {static_cast<sip_header_id>(61), 22, 1, www_authenticate_fields.data(), std::size(www_authenticate_fields),
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
    {static_cast<sip_header_id>(70), 10, 2, disposition_fields, std::size(disposition_fields),
     [](unsigned i) -> void* { return &sip_prim_area.disposition_70[i]; },
     [](void* r) { *static_cast<sip_disposition_rec*>(r) = sip_disposition_rec{}; }},
    {static_cast<sip_header_id>(78), 52, 1, referred_by_fields.data(), std::size(referred_by_fields),
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
