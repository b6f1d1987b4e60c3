// SSC header catalogue: per-id value layouts (field lists in packed order),
// the interpreter that packs, unpacks, initialises, sizes and copies an
// instance by its layout, the descriptor table and the message type table.
#include "sip/prim/ssc_header.h"

#include <cstring>
#include <initializer_list>

#include "common/byte_order.h"
#include "sip/prim/ssc_msg.h"

namespace {

// Field operations of a value layout.
enum fop : u8 {
  F_B,      // u8 at a
  F_W,      // u16 at a, host order
  F_D,      // u32 at a, host order
  F_S,      // string pointer at a
  F_N,      // counted bytes: u16 count at a, pointer at b
  F_BYTES,  // n fixed bytes at a
  F_ADDR,   // address bytes by the family byte at a: 4 at b for '4', 16 at c for '6'
  F_HOSTN,  // host-name string at b when the family byte at a is 'N'
  F_URI,    // ssc_uri sub-record at a
  F_IF,     // the next b fields only when the byte at a equals n
};

struct ssc_field {
  fop op;
  u8 n;
  u16 a, b, c;
};

constexpr ssc_field B(size_t a) { return {F_B, 0, static_cast<u16>(a), 0, 0}; }
constexpr ssc_field W(size_t a) { return {F_W, 0, static_cast<u16>(a), 0, 0}; }
constexpr ssc_field D(size_t a) { return {F_D, 0, static_cast<u16>(a), 0, 0}; }
constexpr ssc_field S(size_t a) { return {F_S, 0, static_cast<u16>(a), 0, 0}; }
constexpr ssc_field N(size_t count, size_t ptr) { return {F_N, 0, static_cast<u16>(count), static_cast<u16>(ptr), 0}; }
constexpr ssc_field BYTES(size_t a, u8 n) { return {F_BYTES, n, static_cast<u16>(a), 0, 0}; }
constexpr ssc_field ADDR(size_t fam, size_t v4, size_t v6) {
  return {F_ADDR, 0, static_cast<u16>(fam), static_cast<u16>(v4), static_cast<u16>(v6)};
}
constexpr ssc_field HOSTN(size_t fam, size_t str) {
  return {F_HOSTN, 0, static_cast<u16>(fam), static_cast<u16>(str), 0};
}
constexpr ssc_field URI(size_t a) { return {F_URI, 0, static_cast<u16>(a), 0, 0}; }
constexpr ssc_field IF(size_t a, u8 value, u16 count) { return {F_IF, value, static_cast<u16>(a), count, 0}; }

struct ssc_layout {
  const ssc_field* fields;
  u8 count;
};
template <size_t K>
constexpr ssc_layout lay(const ssc_field (&f)[K]) {
  return {f, static_cast<u8>(K)};
}

#define O(T, f) offsetof(T, f)

// ---- ssc_uri, packed order --------------------------------------------------
constexpr ssc_field URI_FIELDS[] = {
    B(O(ssc_uri, scheme)),
    S(O(ssc_uri, uri_text_0)),
    B(O(ssc_uri, user_form)),
    B(O(ssc_uri, user_param)),
    S(O(ssc_uri, user)),
    IF(O(ssc_uri, user_param), 'P', 7),
    B(O(ssc_uri, tel_global)),
    S(O(ssc_uri, tel_number)),
    S(O(ssc_uri, tel_2)),
    S(O(ssc_uri, tel_3)),
    S(O(ssc_uri, tel_4)),
    S(O(ssc_uri, tel_5)),
    S(O(ssc_uri, tel_6)),
    S(O(ssc_uri, uri_text_3)),
    B(O(ssc_uri, host_family)),
    S(O(ssc_uri, host_name)),
    ADDR(O(ssc_uri, host_family), O(ssc_uri, host_v4), O(ssc_uri, host_v6)),
    W(O(ssc_uri, port)),
    S(O(ssc_uri, uri_text_1)),
    B(O(ssc_uri, transport)),
    S(O(ssc_uri, transport_text)),
    B(O(ssc_uri, ttl)),
    S(O(ssc_uri, maddr)),
    B(O(ssc_uri, uri_byte_1)),
    B(O(ssc_uri, uri_byte_2)),
    S(O(ssc_uri, user_param_text)),
    S(O(ssc_uri, uri_text_2)),
};
constexpr ssc_layout URI_LAYOUT = lay(URI_FIELDS);

// ---- header values, packed order ----------------------------------------------
using pp = ssc_hdr_profile_parms;
constexpr ssc_field L_PROFILE_PARMS[] = {B(O(pp, parm)), B(O(pp, parm) + 1), B(O(pp, parm) + 3)};
using ta = ssc_hdr_transport_addr;
constexpr ssc_field L_TRANSPORT_ADDR[] = {W(O(ta, port)), B(O(ta, family)), ADDR(O(ta, family), O(ta, v4), O(ta, v6))};
constexpr ssc_field L_BYTE[] = {B(O(ssc_hdr_byte, value))};
constexpr ssc_field L_REQUEST_URI[] = {S(O(ssc_hdr_request_uri, params)), URI(O(ssc_hdr_request_uri, uri))};
constexpr ssc_field L_STATUS[] = {W(O(ssc_hdr_status, code)), S(O(ssc_hdr_status, reason))};
using ac = ssc_hdr_accept;
constexpr ssc_field L_ACCEPT[] = {B(O(ac, b1)), B(O(ac, b2)), S(O(ac, s1)), S(O(ac, s2)),
                                  S(O(ac, s5)), S(O(ac, s3)), S(O(ac, s4))};
constexpr ssc_field L_CODE_TEXT[] = {B(O(ssc_hdr_code_text, code)), S(O(ssc_hdr_code_text, text))};
using s4r = ssc_hdr_str4;
constexpr ssc_field L_STR4[] = {S(O(s4r, s1)), S(O(s4r, s2)), S(O(s4r, s3)), S(O(s4r, s4))};
constexpr ssc_field L_STR2[] = {S(O(ssc_hdr_str2, s1)), S(O(ssc_hdr_str2, s2))};
constexpr ssc_field L_ALLOW[] = {BYTES(O(ssc_hdr_allow, allowed), SSC_ALLOW_FLAGS)};
using ai = ssc_hdr_auth_info;
constexpr ssc_field L_AUTH_INFO[] = {B(O(ai, b1)), D(O(ai, d1)), S(O(ai, s1)),
                                     S(O(ai, s2)), S(O(ai, s3)), S(O(ai, s4))};
using cr = ssc_hdr_credentials;
constexpr ssc_field L_CREDENTIALS[] = {
    B(O(cr, scheme)),
    B(O(cr, algorithm)),
    B(O(cr, b3)),
    B(O(cr, qop)),
    D(O(cr, nonce_count)),
    S(O(cr, s) + 0 * sizeof(char*)),
    S(O(cr, s) + 1 * sizeof(char*)),
    S(O(cr, s) + 2 * sizeof(char*)),
    S(O(cr, s) + 3 * sizeof(char*)),
    S(O(cr, s) + 4 * sizeof(char*)),
    S(O(cr, s) + 5 * sizeof(char*)),
    S(O(cr, s) + 6 * sizeof(char*)),
    S(O(cr, s) + 7 * sizeof(char*)),
    S(O(cr, s) + 8 * sizeof(char*)),
    S(O(cr, s) + 9 * sizeof(char*)),
    S(O(cr, s) + 10 * sizeof(char*)),
    S(O(cr, s) + 11 * sizeof(char*)),
};
using ci = ssc_hdr_call_id;
constexpr ssc_field L_CALL_ID[] = {S(O(ci, local)), B(O(ci, family)), ADDR(O(ci, family), O(ci, v4), O(ci, v6)),
                                   S(O(ci, host))};
using cinf = ssc_hdr_call_info;
constexpr ssc_field L_CALL_INFO[] = {B(O(cinf, purpose)), S(O(cinf, s1)), S(O(cinf, s2)), S(O(cinf, s3))};
using ct = ssc_hdr_contact;
constexpr ssc_field L_CONTACT[] = {B(O(ct, b1)),
                                   S(O(ct, s1)),
                                   S(O(ct, s2)),
                                   D(O(ct, d1)),
                                   S(O(ct, s3)),
                                   B(O(ct, b2)),
                                   B(O(ct, uri) + O(ssc_uri, uri_byte_1)),
                                   S(O(ct, s4)),
                                   S(O(ct, s5)),
                                   URI(O(ct, uri))};
using dp = ssc_hdr_disposition;
constexpr ssc_field L_DISPOSITION[] = {B(O(dp, b1)), B(O(dp, b2)), S(O(dp, s1)), S(O(dp, s2)), S(O(dp, s3))};
constexpr ssc_field L_STR1[] = {S(O(ssc_hdr_str1, text))};
using ctt = ssc_hdr_content_type;
constexpr ssc_field L_CONTENT_TYPE[] = {B(O(ctt, type)), B(O(ctt, subtype)), S(O(ctt, s1)),
                                        S(O(ctt, s2)),   S(O(ctt, s4)),      B(O(ctt, b3)),
                                        S(O(ctt, s3)),   S(O(ctt, s5)),      S(O(ctt, s6))};
constexpr ssc_field L_U32[] = {D(O(ssc_hdr_u32, value))};
using na = ssc_hdr_name_addr;
constexpr ssc_field L_NAME_ADDR[] = {B(O(na, b1)), S(O(na, s1)), S(O(na, s2)), S(O(na, s3)), URI(O(na, uri))};
using irt = ssc_hdr_in_reply_to;
constexpr ssc_field L_IN_REPLY_TO[] = {S(O(irt, s1)), B(O(irt, family)), ADDR(O(irt, family), O(irt, v4), O(irt, v6)),
                                       HOSTN(O(irt, family), O(irt, host_name))};
constexpr ssc_field L_MIN_SE[] = {D(O(ssc_hdr_min_se, value)), S(O(ssc_hdr_min_se, s1))};
using idn = ssc_hdr_identity;
constexpr ssc_field L_IDENTITY[] = {S(O(idn, s1)), B(O(idn, b1)), URI(O(idn, uri))};
using ch = ssc_hdr_challenge;
constexpr ssc_field L_CHALLENGE[] = {
    B(O(ch, b1)), B(O(ch, b2)), B(O(ch, b3)), B(O(ch, b4)), S(O(ch, s1)),
    S(O(ch, s2)), S(O(ch, s3)), S(O(ch, s4)), S(O(ch, s5)), N(O(ch, count), O(ch, bytes)),
    S(O(ch, s6)), S(O(ch, s7))};
using rs = ssc_hdr_reason;
constexpr ssc_field L_REASON[] = {B(O(rs, protocol)), S(O(rs, s1)), W(O(rs, cause)), S(O(rs, s2)), S(O(rs, s3))};
using rt = ssc_hdr_route;
constexpr ssc_field L_ROUTE[] = {S(O(rt, s1)), B(O(rt, b1)), S(O(rt, s2)), URI(O(rt, uri))};
constexpr ssc_field L_SERVICE_ROUTE[] = {S(O(rt, s1)), B(O(rt, b1)), URI(O(rt, uri)), S(O(rt, s2))};
using rp = ssc_hdr_replaces;
constexpr ssc_field L_REPLACES[] = {W(O(rp, w1)),
                                    B(O(rp, b1)),
                                    S(O(rp, s1)),
                                    B(O(rp, family)),
                                    ADDR(O(rp, family), O(rp, v4), O(rp, v6)),
                                    HOSTN(O(rp, family), O(rp, host_name)),
                                    S(O(rp, s2)),
                                    S(O(rp, s3)),
                                    S(O(rp, s4))};
using ra = ssc_hdr_retry_after;
constexpr ssc_field L_RETRY_AFTER[] = {D(O(ra, d1)), D(O(ra, d2)), S(O(ra, s1)), S(O(ra, s2))};
using pr = ssc_hdr_product;
constexpr ssc_field L_PRODUCT[] = {S(O(pr, product)), S(O(pr, version)), S(O(pr, comment))};
using se = ssc_hdr_session_expires;
constexpr ssc_field L_SESSION_EXPIRES[] = {D(O(se, delta)), B(O(se, refresher)), S(O(se, s1))};
using ts = ssc_hdr_timestamp;
constexpr ssc_field L_TIMESTAMP[] = {D(O(ts, d1)), D(O(ts, d2)), D(O(ts, d3)), D(O(ts, d4)), S(O(ts, s1))};
using via = ssc_hdr_via;
constexpr ssc_field L_VIA[] = {
    B(O(via, protocol)),
    S(O(via, s1)),
    B(O(via, transport)),
    S(O(via, s3)),
    S(O(via, s2)),
    W(O(via, port)),
    B(O(via, family1)),
    S(O(via, s4)),
    ADDR(O(via, family1), O(via, v4_1), O(via, v6_1)),
    B(O(via, b3)),
    S(O(via, s6)),
    S(O(via, s7)),
    S(O(via, s5)),
    W(O(via, w2)),
    B(O(via, family2)),
    ADDR(O(via, family2), O(via, v4_2), O(via, v6_2)),
};
using wn = ssc_hdr_warning;
constexpr ssc_field L_WARNING[] = {W(O(wn, code)),
                                   B(O(wn, family)),
                                   ADDR(O(wn, family), O(wn, v4), O(wn, v6)),
                                   HOSTN(O(wn, family), O(wn, host_name)),
                                   W(O(wn, w2)),
                                   S(O(wn, s1)),
                                   S(O(wn, s2))};
constexpr ssc_field L_BODY[] = {B(O(ssc_hdr_body, part)), N(O(ssc_hdr_body, length), O(ssc_hdr_body, bytes))};
using ss = ssc_hdr_sdp_session;
constexpr ssc_field L_SDP_SESSION[] = {B(O(ss, net_type)),
                                       B(O(ss, bw_type)),
                                       W(O(ss, bw_value)),
                                       B(O(ss, family)),
                                       ADDR(O(ss, family), O(ss, v4), O(ss, v6)),
                                       S(O(ss, host)),
                                       S(O(ss, session_name)),
                                       S(O(ss, start_time)),
                                       S(O(ss, stop_time)),
                                       S(O(ss, extra)),
                                       B(O(ss, media_lines))};
using sm = ssc_hdr_sdp_media;
constexpr ssc_field L_SDP_MEDIA[] = {
    B(O(sm, kind)),
    W(O(sm, port)),
    B(O(sm, port_count)),
    B(O(sm, transport)),
    B(O(sm, net_type)),
    B(O(sm, bw_type)),
    W(O(sm, bw_value)),
    B(O(sm, direction)),
    W(O(sm, ptime)),
    W(O(sm, maxptime)),
    B(O(sm, key_method)),
    B(O(sm, family)),
    ADDR(O(sm, family), O(sm, v4), O(sm, v6)),
    S(O(sm, host)),
    N(O(sm, format_count), O(sm, formats)),
    S(O(sm, key)),
    S(O(sm, extra)),
    B(O(sm, media_pos)),
};
using rm = ssc_hdr_sdp_rtpmap;
constexpr ssc_field L_SDP_RTPMAP[] = {B(O(rm, payload_type)), B(O(rm, codec)),    D(O(rm, clock_rate)),
                                      B(O(rm, channels)),     S(O(rm, encoding)), S(O(rm, fmtp))};
using om = ssc_hdr_sdp_other_media;
constexpr ssc_field L_SDP_OTHER[] = {
    W(O(om, port)),
    B(O(om, port_count)),
    B(O(om, net_type)),
    B(O(om, bw_type)),
    W(O(om, bw_value)),
    B(O(om, key_method)),
    S(O(om, media_name)),
    S(O(om, transport)),
    B(O(om, family)),
    ADDR(O(om, family), O(om, v4), O(om, v6)),
    S(O(om, host)),
    S(O(om, format)),
    S(O(om, format2)),
    S(O(om, key)),
    N(O(om, extra_count), O(om, extra)),
    B(O(om, media_pos)),
};
using og = ssc_hdr_sdp_origin;
constexpr ssc_field L_SDP_ORIGIN[] = {B(O(og, net_type)), S(O(og, user)),   S(O(og, session_id)),
                                      S(O(og, version)),  B(O(og, family)), ADDR(O(og, family), O(og, v4), O(og, v6)),
                                      S(O(og, host))};
using pt = ssc_hdr_part_type;
constexpr ssc_field L_PART_TYPE[] = {B(O(pt, part)), B(O(pt, type)), B(O(pt, subtype)), B(O(pt, b4)), S(O(pt, s1)),
                                     S(O(pt, s2)),   S(O(pt, s3)),   S(O(pt, s4)),      S(O(pt, s5)), S(O(pt, s6))};
using ph = ssc_hdr_part_headers;
constexpr ssc_field L_PART_HEADERS[] = {B(O(ph, part)), B(O(ph, b2)), B(O(ph, b3)),
                                        S(O(ph, s1)),   S(O(ph, s2)), S(O(ph, s3))};
using rb = ssc_hdr_referred_by;
constexpr ssc_field L_REFERRED_BY[] = {B(O(rb, b1)), S(O(rb, s1)), S(O(rb, s2)),
                                       S(O(rb, s3)), S(O(rb, s4)), URI(O(rb, uri))};
using t38 = ssc_hdr_sdp_t38;
constexpr ssc_field L_SDP_T38[] = {
    B(O(t38, kind)),
    B(O(t38, format)),
    W(O(t38, port)),
    B(O(t38, transport)),
    B(O(t38, net_type)),
    B(O(t38, bw_type)),
    W(O(t38, bw_value)),
    B(O(t38, direction)),
    B(O(t38, key_method)),
    B(O(t38, version)),
    D(O(t38, max_bit_rate)),
    B(O(t38, fill_bit_removal)),
    B(O(t38, mmr)),
    B(O(t38, jbig)),
    B(O(t38, rate_management)),
    D(O(t38, max_buffer)),
    D(O(t38, max_datagram)),
    B(O(t38, udp_ec)),
    B(O(t38, family)),
    ADDR(O(t38, family), O(t38, v4), O(t38, v6)),
    HOSTN(O(t38, family), O(t38, host_name)),
    S(O(t38, key)),
    S(O(t38, extra)),
    B(O(t38, media_pos)),
};
using dv = ssc_hdr_diversion;
constexpr ssc_field L_DIVERSION[] = {B(O(dv, b1)), S(O(dv, s1)), B(O(dv, b2)), B(O(dv, b3)),
                                     B(O(dv, b4)), B(O(dv, b5)), B(O(dv, b6)), S(O(dv, s2)),
                                     S(O(dv, s3)), S(O(dv, s4)), S(O(dv, s5)), URI(O(dv, uri))};
using mg = ssc_hdr_mgmt;
constexpr ssc_field L_MGMT[] = {W(O(mg, w1)), B(O(mg, b1)), B(O(mg, b2)), W(O(mg, w2)), B(O(mg, b3)), D(O(mg, d1)),
                                D(O(mg, d2)), B(O(mg, b4)), B(O(mg, b5)), B(O(mg, b6)), B(O(mg, b7))};
constexpr ssc_field L_NONE[] = {{F_IF, 0, 0, 0, 0}};  // placeholder; count 0 below

#undef O

enum init_kind : u8 { INIT_NONE, INIT_FIELDS, INIT_ALLOW, INIT_REFERRED_BY };

// What the table knows of one id: record size, value layout and which
// functions it has.
struct id_info {
  u16 size;           // 0: no row
  ssc_layout layout;  // count 0 with pack: an empty value
  bool pack;          // pack and unpack
  init_kind init;     // INIT_NONE: no init, size or copy of its own
};

constexpr id_info none() { return {0, {nullptr, 0}, false, INIT_NONE}; }
template <class T, size_t K>
constexpr id_info row(const ssc_field (&f)[K], init_kind k = INIT_FIELDS) {
  return {static_cast<u16>(sizeof(T)), lay(f), true, k};
}

constexpr id_info info_of(unsigned id) {
  switch (id) {
    case 0: return row<ssc_hdr_profile_parms>(L_PROFILE_PARMS, INIT_NONE);
    case 1: return row<ssc_hdr_transport_addr>(L_TRANSPORT_ADDR, INIT_NONE);
    case 2: return row<ssc_hdr_byte>(L_BYTE, INIT_NONE);
    case 3: return row<ssc_hdr_request_uri>(L_REQUEST_URI);
    case 4: return row<ssc_hdr_status>(L_STATUS);
    case 5: return row<ssc_hdr_accept>(L_ACCEPT);
    case 6:
    case 16:
    case 34:
    case 35:
    case 43:
    case 52:
    case 55:
    case 89: return row<ssc_hdr_code_text>(L_CODE_TEXT);
    case 7:
    case 84: return row<ssc_hdr_str4>(L_STR4);
    case 8:
    case 21:
    case 92: return row<ssc_hdr_str2>(L_STR2);
    case 9: return row<ssc_hdr_allow>(L_ALLOW, INIT_ALLOW);
    case 10: return row<ssc_hdr_auth_info>(L_AUTH_INFO);
    case 11:
    case 37: return row<ssc_hdr_credentials>(L_CREDENTIALS);
    case 12: return row<ssc_hdr_call_id>(L_CALL_ID);
    case 13: return row<ssc_hdr_call_info>(L_CALL_INFO);
    case 14: return row<ssc_hdr_contact>(L_CONTACT);
    case 15:
    case 68: return row<ssc_hdr_disposition>(L_DISPOSITION);
    case 17:
    case 20:
    case 26:
    case 29:
    case 38:
    case 51: return row<ssc_hdr_str1>(L_STR1);
    case 18: return row<ssc_hdr_content_type>(L_CONTENT_TYPE);
    case 22:
    case 25:
    case 27:
    case 90: return row<ssc_hdr_u32>(L_U32, INIT_NONE);
    case 23:
    case 54:
    case 93: return row<ssc_hdr_name_addr>(L_NAME_ADDR);
    case 24: return row<ssc_hdr_in_reply_to>(L_IN_REPLY_TO);
    case 28: return row<ssc_hdr_min_se>(L_MIN_SE);
    case 30:
    case 32:
    case 33: return row<ssc_hdr_identity>(L_IDENTITY);
    case 31: return {static_cast<u16>(sizeof(ssc_hdr_none)), {L_NONE, 0}, true, INIT_NONE};
    case 36:
    case 59: return row<ssc_hdr_challenge>(L_CHALLENGE);
    case 39: return row<ssc_hdr_reason>(L_REASON);
    case 40:
    case 42:
    case 45: return row<ssc_hdr_route>(L_ROUTE);
    case 41: return row<ssc_hdr_replaces>(L_REPLACES);
    case 44: return row<ssc_hdr_retry_after>(L_RETRY_AFTER);
    case 46:
    case 56: return row<ssc_hdr_product>(L_PRODUCT);
    case 49: return row<ssc_hdr_route>(L_SERVICE_ROUTE);
    case 50: return row<ssc_hdr_session_expires>(L_SESSION_EXPIRES);
    case 53: return row<ssc_hdr_timestamp>(L_TIMESTAMP);
    case 57: return row<ssc_hdr_via>(L_VIA);
    case 58: return row<ssc_hdr_warning>(L_WARNING);
    case 60: return row<ssc_hdr_body>(L_BODY);
    case 61: return row<ssc_hdr_sdp_session>(L_SDP_SESSION);
    case 62: return row<ssc_hdr_sdp_media>(L_SDP_MEDIA);
    case 63: return row<ssc_hdr_sdp_rtpmap>(L_SDP_RTPMAP);
    case 64: return row<ssc_hdr_sdp_other_media>(L_SDP_OTHER);
    case 65: return row<ssc_hdr_sdp_origin>(L_SDP_ORIGIN);
    case 66: return row<ssc_hdr_part_type>(L_PART_TYPE);
    case 67: return row<ssc_hdr_part_headers>(L_PART_HEADERS);
    case 72: return row<ssc_hdr_referred_by>(L_REFERRED_BY, INIT_REFERRED_BY);
    case 75: return row<ssc_hdr_sdp_t38>(L_SDP_T38);
    case 85: return row<ssc_hdr_diversion>(L_DIVERSION);
    case 91: return row<ssc_hdr_mgmt>(L_MGMT, INIT_NONE);
    case 94: return row<ssc_hdr_byte>(L_BYTE, INIT_NONE);
    case 95: return {static_cast<u16>(sizeof(ssc_hdr_tx_link)), {nullptr, 0}, false, INIT_NONE};
    case 96: return {static_cast<u16>(sizeof(ssc_hdr_route)), {nullptr, 0}, false, INIT_NONE};
    default: return none();
  }
}

// List-head order of the handle: 0, 1, 91, 2, 90, 95, then 3 upward.
constexpr unsigned SLOT_HEAD[] = {0, 1, 91, 2, 90, 95};

constexpr u8 slot_of(unsigned id) {
  if (info_of(id).size == 0) return SSC_NO_ROW;
  for (unsigned i = 0; i < 6; ++i)
    if (SLOT_HEAD[i] == id) return static_cast<u8>(i);
  u8 slot = 6;
  for (unsigned k = 3; k < id; ++k) {
    bool head = false;
    for (unsigned i = 0; i < 6; ++i) head = head || SLOT_HEAD[i] == k;
    if (!head && info_of(k).size != 0) ++slot;
  }
  return slot;
}

struct desc_table {
  ssc_header_desc_row rows[SSC_HEADER_ID_COUNT];
};
constexpr desc_table make_desc() {
  desc_table t{};
  for (unsigned id = 0; id < SSC_HEADER_ID_COUNT; ++id) {
    const id_info in = info_of(id);
    if (in.size == 0) {
      t.rows[id] = {SSC_NO_ROW, SSC_NO_ROW, 0, false, false};
    } else {
      t.rows[id] = {static_cast<u8>(id), slot_of(id), in.size, in.pack, in.init != INIT_NONE};
    }
  }
  return t;
}
constexpr desc_table DESC = make_desc();

constexpr unsigned count_rows() {
  unsigned n = 0;
  for (const auto& r : DESC.rows) n += r.id != SSC_NO_ROW;
  return n;
}
static_assert(count_rows() == SSC_LIST_SLOTS);
constexpr bool sizes_fit() {
  for (const auto& r : DESC.rows)
    if (r.size > SSC_MAX_RECORD_SIZE || r.size % 8 != 0) return false;
  return true;
}
static_assert(sizes_fit());
static_assert(DESC.rows[96].slot == SSC_LIST_SLOTS - 1);

constexpr id_info INFO[SSC_HEADER_ID_COUNT] = {
#define I5(k) info_of(k), info_of((k) + 1), info_of((k) + 2), info_of((k) + 3), info_of((k) + 4)
    I5(0),  I5(5),  I5(10), I5(15), I5(20), I5(25), I5(30), I5(35), I5(40),      I5(45),      I5(50),
    I5(55), I5(60), I5(65), I5(70), I5(75), I5(80), I5(85), I5(90), info_of(95), info_of(96),
#undef I5
};

// ---- the interpreter --------------------------------------------------------

template <class T>
T get(const u8* rec, u16 off) {
  T v;
  std::memcpy(&v, rec + off, sizeof v);
  return v;
}
template <class T>
void put(u8* rec, u16 off, T v) {
  std::memcpy(rec + off, &v, sizeof v);
}
const char* get_str(const u8* rec, u16 off) { return get<const char*>(rec, off); }
const u8* get_bytes(const u8* rec, u16 off) { return get<const u8*>(rec, off); }

bool counted(u16 n) { return n != 0 && n != 0xFFFF; }

// Writer bounded by the room.
struct writer {
  u8* p;
  u32 left;
  bool ok = true;
  void bytes(const void* src, u32 n) {
    if (!ok || n > left) {
      ok = false;
      return;
    }
    if (n) std::memcpy(p, src, n);
    p += n;
    left -= n;
  }
  void str(const char* s) {
    if (ssc_ptr_set(s)) {
      bytes(s, static_cast<u32>(std::strlen(s)) + 1);
    } else {
      const u8 z = 0;
      bytes(&z, 1);
    }
  }
};

void pack_fields(const ssc_layout& L, const u8* rec, writer& w) {
  for (unsigned i = 0; i < L.count && w.ok; ++i) {
    const ssc_field& f = L.fields[i];
    switch (f.op) {
      case F_B: w.bytes(rec + f.a, 1); break;
      case F_W: w.bytes(rec + f.a, 2); break;
      case F_D: w.bytes(rec + f.a, 4); break;
      case F_S: w.str(get_str(rec, f.a)); break;
      case F_N: {
        u16 n = get<u16>(rec, f.a);
        const u8* p = get_bytes(rec, f.b);
        // A count without bytes behind it would make the reader take the
        // following fields as the bytes: send it as an empty run.
        if (counted(n) && !ssc_ptr_set(p)) n = 0;
        w.bytes(&n, 2);
        if (counted(n)) w.bytes(p, n);
        break;
      }
      case F_BYTES: w.bytes(rec + f.a, f.n); break;
      case F_ADDR: {
        const u8 fam = rec[f.a];
        if (fam == '4') w.bytes(rec + f.b, 4);
        if (fam == '6') w.bytes(rec + f.c, 16);
        break;
      }
      case F_HOSTN:
        if (rec[f.a] == 'N') w.str(get_str(rec, f.b));
        break;
      case F_URI: pack_fields(URI_LAYOUT, rec + f.a, w); break;
      case F_IF:
        if (rec[f.a] != f.n) i += f.b;
        break;
    }
  }
}

// Reader bounded by the value's end.
struct reader {
  const u8* p;
  const u8* end;
  bool ok = true;
  const u8* take(u32 n) {
    if (!ok || static_cast<size_t>(end - p) < n) {
      ok = false;
      return nullptr;
    }
    const u8* at = p;
    p += n;
    return at;
  }
  const char* str() {
    if (!ok) return nullptr;
    const void* z = std::memchr(p, 0, static_cast<size_t>(end - p));
    if (!z) {
      ok = false;
      return nullptr;
    }
    const u8* at = p;
    p = static_cast<const u8*>(z) + 1;
    return *at == 0 ? nullptr : reinterpret_cast<const char*>(at);
  }
};

void unpack_fields(const ssc_layout& L, u8* rec, reader& r) {
  for (unsigned i = 0; i < L.count && r.ok; ++i) {
    const ssc_field& f = L.fields[i];
    switch (f.op) {
      case F_B:
      case F_W:
      case F_D: {
        const u32 n = f.op == F_B ? 1 : f.op == F_W ? 2 : 4;
        if (const u8* at = r.take(n)) std::memcpy(rec + f.a, at, n);
        break;
      }
      case F_S: {
        const char* s = r.str();
        if (r.ok) put(rec, f.a, s);
        break;
      }
      case F_N: {
        const u8* at = r.take(2);
        if (!at) break;
        const u16 n = get_host16(at);
        put(rec, f.a, n);
        const u8* bytes = counted(n) ? r.take(n) : nullptr;
        if (r.ok) put(rec, f.b, bytes);
        break;
      }
      case F_BYTES:
        if (const u8* at = r.take(f.n)) std::memcpy(rec + f.a, at, f.n);
        break;
      case F_ADDR: {
        const u8 fam = rec[f.a];
        if (fam == '4') {
          if (const u8* at = r.take(4)) std::memcpy(rec + f.b, at, 4);
        } else if (fam == '6') {
          if (const u8* at = r.take(16)) std::memcpy(rec + f.c, at, 16);
        }
        break;
      }
      case F_HOSTN:
        if (rec[f.a] == 'N') {
          const char* s = r.str();
          if (r.ok) put(rec, f.b, s);
        }
        break;
      case F_URI: unpack_fields(URI_LAYOUT, rec + f.a, r); break;
      case F_IF:
        if (rec[f.a] != f.n) i += f.b;
        break;
    }
  }
}

// Init, size and copy visit every string and counted-bytes field (the
// conditional telephone part of a URI included).
void init_fields(const ssc_layout& L, u8* rec) {
  for (unsigned i = 0; i < L.count; ++i) {
    const ssc_field& f = L.fields[i];
    if (f.op == F_S) put<const char*>(rec, f.a, nullptr);
    if (f.op == F_N) {
      put<u16>(rec, f.a, 0);
      put<const u8*>(rec, f.b, nullptr);
    }
    if (f.op == F_URI) init_fields(URI_LAYOUT, rec + f.a);
    // F_HOSTN: left at all ones; whoever sets family 'N' sets the name too.
  }
}

u32 size_fields(const ssc_layout& L, const u8* rec) {
  u32 n = 0;
  for (unsigned i = 0; i < L.count; ++i) {
    const ssc_field& f = L.fields[i];
    if (f.op == F_S || f.op == F_HOSTN) {
      const char* s = get_str(rec, f.op == F_S ? f.a : f.b);
      if (ssc_ptr_set(s)) n += static_cast<u32>(std::strlen(s)) + 1;
    } else if (f.op == F_N) {
      const u16 c = get<u16>(rec, f.a);
      if (counted(c) && ssc_ptr_set(get_bytes(rec, f.b))) n += c;
    } else if (f.op == F_URI) {
      n += size_fields(URI_LAYOUT, rec + f.a);
    }
  }
  return n;
}

u8* copy_fields(const ssc_layout& L, u8* rec, u8* extra) {
  for (unsigned i = 0; i < L.count; ++i) {
    const ssc_field& f = L.fields[i];
    if (f.op == F_S || f.op == F_HOSTN) {
      const u16 off = f.op == F_S ? f.a : f.b;
      const char* s = get_str(rec, off);
      if (!ssc_ptr_set(s)) continue;
      const size_t n = std::strlen(s) + 1;
      std::memcpy(extra, s, n);
      put<const char*>(rec, off, reinterpret_cast<const char*>(extra));
      extra += n;
    } else if (f.op == F_N) {
      const u16 c = get<u16>(rec, f.a);
      const u8* p = get_bytes(rec, f.b);
      if (!counted(c) || !ssc_ptr_set(p)) continue;
      std::memcpy(extra, p, c);
      put<const u8*>(rec, f.b, extra);
      extra += c;
    } else if (f.op == F_URI) {
      extra = copy_fields(URI_LAYOUT, rec + f.a, extra);
    }
  }
  return extra;
}

const id_info* info(ssc_header_id id) {
  const unsigned k = ssc_idx(id);
  return k < SSC_HEADER_ID_COUNT && INFO[k].size != 0 ? &INFO[k] : nullptr;
}

}  // namespace

const ssc_header_desc_row ssc_header_desc[SSC_HEADER_ID_COUNT] = {
#define R5(k) DESC.rows[k], DESC.rows[(k) + 1], DESC.rows[(k) + 2], DESC.rows[(k) + 3], DESC.rows[(k) + 4]
    R5(0),  R5(5),  R5(10), R5(15), R5(20), R5(25), R5(30), R5(35), R5(40),        R5(45),        R5(50),
    R5(55), R5(60), R5(65), R5(70), R5(75), R5(80), R5(85), R5(90), DESC.rows[95], DESC.rows[96],
#undef R5
};

const ssc_header_desc_row* ssc_header_row(ssc_header_id id) {
  const unsigned k = ssc_idx(id);
  return k < SSC_HEADER_ID_COUNT && ssc_header_desc[k].id != SSC_NO_ROW ? &ssc_header_desc[k] : nullptr;
}

u16 ssc_header_pack(ssc_header_id id, const void* inst, u8* dst, u32 room) {
  const id_info* in = info(id);
  if (!in || !in->pack || room < 2) return 0;
  writer w{dst + 2, room - 2};
  pack_fields(in->layout, static_cast<const u8*>(inst), w);
  const u32 n = room - w.left;
  if (!w.ok || n > 0xFFFF) return 0;
  put_be16(dst, static_cast<u16>(n));
  return static_cast<u16>(n);
}

i32 ssc_header_unpack(ssc_header_id id, void* inst, const u8* src, u32 value_len) {
  const id_info* in = info(id);
  if (!in || !in->pack) return -1;
  reader r{src, src + value_len};
  unpack_fields(in->layout, static_cast<u8*>(inst), r);
  return r.ok ? static_cast<i32>(r.p - src) : -1;
}

void ssc_header_init(ssc_header_id id, void* inst) {
  const id_info* in = info(id);
  if (!in) return;
  u8* rec = static_cast<u8*>(inst);
  switch (in->init) {
    case INIT_NONE: break;
    case INIT_FIELDS: init_fields(in->layout, rec); break;
    case INIT_ALLOW: {
      auto* a = static_cast<ssc_hdr_allow*>(inst);
      std::memset(a->allowed, 0, sizeof a->allowed);
      for (ssc_msg_type t : {ssc_msg_type::INVITE, ssc_msg_type::BYE, ssc_msg_type::ACK, ssc_msg_type::CANCEL})
        a->allowed[ssc_idx(t)] = 1;
      break;
    }
    case INIT_REFERRED_BY:
      init_fields(in->layout, rec);
      static_cast<ssc_hdr_referred_by*>(inst)->b1 = 0;
      break;
  }
}

u32 ssc_header_size(ssc_header_id id, const void* inst) {
  const id_info* in = info(id);
  if (!in || in->init == INIT_NONE) return 0;
  return size_fields(in->layout, static_cast<const u8*>(inst));
}

void ssc_header_copy(ssc_header_id id, void* inst, u8* extra) {
  const id_info* in = info(id);
  if (!in || in->init == INIT_NONE) return;
  copy_fields(in->layout, static_cast<u8*>(inst), extra);
}

// ---------------------------------------------------------------------------
// Message type table.
namespace {

constexpr u8 T_INVITE[] = {1,  95, 3,  5,  6,  7,  8,  9,  11, 12, 13, 14, 15, 16, 17,          18,
                           20, 85, 22, 23, 93, 24, 25, 26, 28, 29, 89, 30, 31, 32, 34,          35,
                           37, 38, 39, 40, 72, 41, 42, 94, 43, 45, 96, 50, 51, 52, 53,          54,
                           56, 57, 60, 61, 62, 63, 64, 65, 66, 67, 68, 75, 84, 92, SSC_LIST_END};
constexpr u8 T_BYE[] = {1,  95, 3,  5,  6,  7,  9,  11, 15, 16, 17, 18, 20, 23,          25,
                        26, 30, 32, 35, 37, 38, 39, 40, 72, 43, 45, 96, 52, 53,          54,
                        56, 57, 60, 61, 62, 63, 64, 65, 66, 67, 68, 75, 92, SSC_LIST_END};
constexpr u8 T_REGISTER[] = {1,  95, 3,  5,  6,  7,  9,  11, 12, 13, 14, 15, 16, 17, 18, 20,          22, 23,
                             93, 25, 26, 29, 33, 35, 37, 38, 39, 40, 72, 94, 43, 45, 96, 51,          52, 53,
                             54, 56, 57, 60, 61, 62, 63, 64, 65, 66, 67, 68, 75, 84, 92, SSC_LIST_END};
constexpr u8 T_ACK[] = {1,  95, 4,  3,  9,  11, 12, 14, 15, 16, 17, 18, 20, 23, 25, 26, 35, 37, 38, 39,          40,
                        94, 43, 45, 96, 53, 54, 56, 57, 60, 61, 62, 63, 64, 65, 66, 67, 68, 75, 92, SSC_LIST_END};
constexpr u8 T_OPTIONS[] = {1,  95, 3,  5,  6,  7,  9,  11, 12, 13, 14, 15, 16, 17, 18, 20,          23, 93,
                            25, 26, 29, 30, 32, 35, 37, 38, 39, 40, 72, 94, 43, 45, 96, 52,          53, 54,
                            55, 56, 57, 60, 61, 62, 63, 64, 65, 66, 67, 68, 75, 90, 92, SSC_LIST_END};
constexpr u8 T_CANCEL[] = {1,  95, 3,  5,  6,  7,  9,  11, 20, 23, 25, 35,
                           39, 40, 94, 45, 96, 52, 53, 54, 56, 57, 92, SSC_LIST_END};
constexpr u8 T_INVITE_RS[] = {1,  95, 4,  5,  6,  7,  9,  8,  10, 12, 13, 14, 15, 16, 17, 18, 20, 85,          21, 22,
                              23, 93, 26, 28, 29, 89, 30, 31, 32, 35, 36, 39, 40, 42, 43, 44, 46, 50,          52, 53,
                              54, 55, 56, 57, 58, 59, 60, 61, 62, 63, 64, 65, 66, 67, 68, 75, 92, SSC_LIST_END};
constexpr u8 T_BYE_RS[] = {1,  95, 4,  5,  6,  7,  9,  10, 14, 15, 16, 17, 18, 20, 21,
                           23, 26, 30, 32, 35, 36, 40, 43, 44, 46, 52, 53, 54, 55, 56,
                           57, 58, 59, 60, 61, 62, 63, 64, 65, 66, 67, 68, 75, 92, SSC_LIST_END};
constexpr u8 T_REGISTER_RS[] = {1,  95, 4,  5,  6,  7,  9,  10, 13, 14, 15, 16, 17, 18, 20, 21,          22,
                                23, 93, 26, 27, 29, 33, 35, 36, 40, 43, 44, 46, 49, 52, 53, 54,          55,
                                56, 57, 58, 59, 60, 61, 62, 63, 64, 65, 66, 67, 68, 75, 92, SSC_LIST_END};
constexpr u8 T_OPTIONS_RS[] = {1,  95, 4,  5,  6,  7,  9,  10, 13, 14, 15, 16, 17, 18, 20, 21,
                               23, 93, 26, 29, 30, 32, 35, 36, 40, 43, 44, 46, 52, 53, 54, 55,
                               56, 57, 58, 59, 60, 61, 62, 63, 64, 65, 66, 67, 68, 75, 92, SSC_LIST_END};
constexpr u8 T_CANCEL_RS[] = {1,  95, 4,  5,  6,  7,  9,  20, 21, 23, 35,          36,
                              40, 44, 46, 52, 53, 54, 56, 57, 58, 92, SSC_LIST_END};
constexpr u8 T_PROFILE[] = {0, 2, 9, 5, 14, 23, 43, 52, 57, 84, SSC_LIST_END};
constexpr u8 T_CLOSE_SESSION[] = {1,  95, 3,  4,  5,  6,  7,  9,  11, 15, 16, 17, 18, 20, 23, 93, 25,
                                  26, 28, 30, 32, 35, 36, 37, 38, 39, 40, 72, 94, 43, 45, 96, 52, 53,
                                  54, 56, 57, 58, 59, 60, 61, 62, 63, 64, 65, 66, 67, 68, 75, 92, SSC_LIST_END};
constexpr u8 T_SET_PARM[] = {2, 9, 5, 14, 23, 25, 28, 43, 52, 54, 46, 50, 56, 57, 84, SSC_LIST_END};
constexpr u8 T_LOCAL_ADDR[] = {91, 1, 23, 45, 57, 56, 84, SSC_LIST_END};
constexpr u8 T_LOCAL_ADDR_RS[] = {1, 4, 45, SSC_LIST_END};
constexpr u8 T_SM[] = {1, 91, 3, 23, 25, 45, 57, 56, 84, SSC_LIST_END};

constexpr u16 REC = static_cast<u16>(SSC_HANDLE_RECORD_SIZE);
using MT = ssc_msg_type;
constexpr ssc_msg_type_row UNDEF = {0, 0, nullptr, MT::NONE, 0};

}  // namespace

const ssc_msg_type_row ssc_msg_type_table[SSC_MSG_TYPE_COUNT] = {
    {REC, SSC_INVITE_RQ, T_INVITE, MT::INVITE_RS, 1},        // 0
    {REC, SSC_BYE_RQ, T_BYE, MT::BYE_RS, 1},                 // 1
    {REC, SSC_REGISTER_RQ, T_REGISTER, MT::REGISTER_RS, 1},  // 2
    {REC, SSC_ACK_RQ, T_ACK, MT::NONE, 3},                   // 3
    {REC, SSC_OPTIONS_RQ, T_OPTIONS, MT::OPTIONS_RS, 1},     // 4
    {REC, SSC_CANCEL_RQ, T_CANCEL, MT::CANCEL_RS, 1},        // 5
    UNDEF,
    UNDEF,
    UNDEF,
    UNDEF,
    UNDEF,
    UNDEF,
    UNDEF,                                                   // 6-12
    {REC, SSC_INVITE_RS, T_INVITE_RS, MT::INVITE, 2},        // 13
    {REC, SSC_BYE_RS, T_BYE_RS, MT::BYE, 2},                 // 14
    {REC, SSC_REGISTER_RS, T_REGISTER_RS, MT::REGISTER, 2},  // 15
    {REC, SSC_OPTIONS_RS, T_OPTIONS_RS, MT::OPTIONS, 2},     // 16
    {REC, SSC_CANCEL_RS, T_CANCEL_RS, MT::CANCEL, 2},        // 17
    UNDEF,
    UNDEF,
    UNDEF,
    UNDEF,
    UNDEF,
    UNDEF,
    UNDEF,
    UNDEF,
    UNDEF,  // 18-26
    UNDEF,
    UNDEF,                                                         // 27-28
    {REC, SSC_PROF_REG_RQ, T_PROFILE, MT::NONE, 0},                // 29
    {REC, SSC_PROF_REM_RQ, T_PROFILE, MT::NONE, 0},                // 30
    {REC, CLOSE_SESS_RQ, T_CLOSE_SESSION, MT::NONE, 0},            // 31
    {REC, 0, T_BYE_RS, MT::NONE, 0},                               // 32
    {REC, SSC_SET_PARM_RQ, T_SET_PARM, MT::NONE, 0},               // 33
    UNDEF,                                                         // 34
    {REC, SSC_LOCAL_ADDR_RQ, T_LOCAL_ADDR, MT::LOCAL_ADDR_RS, 0},  // 35
    {REC, SSC_LOCAL_ADDR_RS, T_LOCAL_ADDR_RS, MT::LOCAL_ADDR, 0},  // 36
    {REC, SSC_SM_RQ, T_SM, MT::SM_RQ, 0},                          // 37
    {REC, SSC_SM_ANSWER, T_SM, MT::SM_ANSWER, 0},                  // 38
    {REC, '~', nullptr, MT::NONE, 0},                              // 39
    UNDEF,                                                         // 40
};

bool Ssc_header_allowed(ssc_msg_type type, ssc_header_id id) {
  const unsigned t = ssc_idx(type);
  if (t >= SSC_MSG_TYPE_COUNT) return false;
  const u8* list = ssc_msg_type_table[t].allowed;
  if (!list) return false;
  for (unsigned i = 0; i < SSC_HEADER_ID_COUNT + 1 && list[i] != SSC_LIST_END; ++i)
    if (list[i] == ssc_idx(id)) return true;
  return false;
}
