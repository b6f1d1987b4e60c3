// SIP primitive kinds: which headers a primitive of each kind carries, in
// the slot order of its body (sip_prim.h), and the one-byte value codes in
// which enumerated header values travel.
#pragma once

#include <cstdint>

#include "sip/text/sdp.h"
#include "sip/text/sip_hdr.h"
#include "sip/text/sip_scan.h"
#include "platform/int_types.h"

// One letter per kind, equal to the code of its request or response
// primitive.  A request kind serves the request sent down and the one passed
// up; a response kind likewise.  ACK has no response kind.
enum class sip_msg_kind : char {
  invite_rq = 'A',
  invite_rs = 'a',
  ack_rq = 'B',
  options_rq = 'C',
  options_rs = 'c',
  bye_rq = 'D',
  bye_rs = 'd',
  cancel_rq = 'E',
  cancel_rs = 'e',
  register_rq = 'F',
  register_rs = 'f',
};

inline constexpr u8 SIP_ROW_MANDATORY = 0;
inline constexpr u8 SIP_ROW_OPTIONAL = 1;

// One row of a kind's header table; row k owns slot k (byte 2k) of the
// index.  The header's encoder and decoder are those of its id
// (sip_elem.h), the same in every table.
struct sip_kind_hdr_row {
  sip_header_id id;
  u8 presence;  // SIP_ROW_MANDATORY or SIP_ROW_OPTIONAL
};

struct sip_kind_hdr_table {
  sip_msg_kind kind;
  const sip_kind_hdr_row* rows;
  u8 row_count;
};

// Entry of the kind index: the table and its index size (2 x rows).
struct sip_kind_index_entry {
  const sip_kind_hdr_table* table;
  u32 index_bytes;
};

// Indexed by the method number 1 (INVITE) .. 6 (REGISTER); other entries
// and the ACK response entry are empty.
extern const sip_kind_index_entry sip_kind_index_rq[16];
extern const sip_kind_index_entry sip_kind_index_rs[16];

// The table of a kind, or null for a letter that names none.
const sip_kind_hdr_table* sip_kind__table(sip_msg_kind kind);
// The kind of a method number (1..6) and direction; false when none.
bool sip_kind__of_method(unsigned method, bool response, sip_msg_kind* kind);
inline bool sip_kind__is_request(sip_msg_kind k) { return static_cast<char>(k) < 'a'; }

// ---------------------------------------------------------------------------
// Value codes.  A table translates a one-byte code into its text; it is
// searched from its last row to its first, so a later duplicate wins.  255
// is "not present" and is accepted only by tables that list it.

struct sip_value_table {
  const sip_code_row* rows;         // SIP rows, or
  const sdp_keyword_row* sdp_rows;  // the SDP codec's rows
  u8 count;
  bool none_ok;  // 255 is an entry (no text)
};

// 2 with *text the code's text (null for a code without text, such as 255),
// 19 for a code in no entry.
int sip_value__lookup(const sip_value_table& table, u8 code, const char** text);

extern const sip_value_table sip_vt_scheme;
extern const sip_value_table sip_vt_via_protocol;
extern const sip_value_table sip_vt_yes_no;
extern const sip_value_table sip_vt_screen;
extern const sip_value_table sip_vt_global;
extern const sip_value_table sip_vt_loose_routing;
extern const sip_value_table sip_vt_auth_scheme;
extern const sip_value_table sip_vt_algorithm;
extern const sip_value_table sip_vt_qop;
extern const sip_value_table sip_vt_stale;
extern const sip_value_table sip_vt_uri_transport;
extern const sip_value_table sip_vt_via_transport;
extern const sip_value_table sip_vt_user_param;
extern const sip_value_table sip_vt_method;
extern const sip_value_table sip_vt_option_tag;
extern const sip_value_table sip_vt_refresher;
extern const sip_value_table sip_vt_media_type;
extern const sip_value_table sip_vt_isup_version;
extern const sip_value_table sip_vt_content_coding;
extern const sip_value_table sip_vt_contact_action;
extern const sip_value_table sip_vt_priority;
extern const sip_value_table sip_vt_privacy;
extern const sip_value_table sip_vt_reason_protocol;
extern const sip_value_table sip_vt_call_info_purpose;
extern const sip_value_table sip_vt_disposition_type;
extern const sip_value_table sip_vt_disposition_handling;
extern const sip_value_table sip_vt_diversion_reason;
extern const sip_value_table sip_vt_diversion_privacy;
extern const sip_value_table sip_vt_early_media;
extern const sip_value_table sip_vt_request_disposition;
extern const sip_value_table sip_vt_sdp_nettype;
extern const sip_value_table sip_vt_sdp_codec;
extern const sip_value_table sip_vt_sdp_keymethod;
extern const sip_value_table sip_vt_sdp_media;
extern const sip_value_table sip_vt_sdp_transport;
extern const sip_value_table sip_vt_sdp_bwtype;
extern const sip_value_table sip_vt_sdp_direction;
extern const sip_value_table sip_vt_sdp_image;
extern const sip_value_table sip_vt_sdp_t38_format;
extern const sip_value_table sip_vt_t38_rate_management;
extern const sip_value_table sip_vt_t38_udp_ec;

// The subtype table of a media-type code ('*', 'A', 'E', 'I', 'M', 'O', 'T',
// 'U', 'V'), or null for a media type without one.
const sip_value_table* sip_vt__subtypes(u8 media_type);
