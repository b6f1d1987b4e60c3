// SDP description (`sdp_desc` and its records), the keyword tables of the SDP
// codec, the parser `sdp_parse` and the encoder `sdp_encode`.
//
// The parser stores no text of its own: every string of the result points into
// the parsed body, or into the work buffer the caller hands over (payload-type
// bytes, dotted-quad address bytes, extra lines).  Coded fields carry a code
// and a pointer to its keyword text; the parser sets only the code, the
// encoder writes the text (the caller sets both before encoding).
#pragma once

#include <cstdint>

#include "platform/int_types.h"
#include "sip/text/sdp_str.h"
#include "sip/text/sip_str.h"

// ---------------------------------------------------------------------------
// Limits and "none" values

// Media lines a description holds: one budget shared by every kind, so any
// mix of audio, video, image and other media lines up to this count is
// kept.  Further media lines are counted (sdp_desc::media_lines) and skipped
// with their lines, so that the user can refuse the offer knowingly.
inline constexpr u8 SDP_MAX_MEDIA = 10;
// Each kind may take the whole budget.
inline constexpr u8 SDP_MAX_AV = SDP_MAX_MEDIA;
inline constexpr u8 SDP_MAX_OTHER = SDP_MAX_MEDIA;
inline constexpr u8 SDP_MAX_IMAGE = SDP_MAX_MEDIA;
inline constexpr u8 SDP_MAX_FORMATS = 10;
// One rtpmap entry for every format of every audio or video line: the
// encoder writes one for each such pair that has an entry, so a description
// it wrote always parses again.
inline constexpr u8 SDP_MAX_RTPMAP = SDP_MAX_AV * SDP_MAX_FORMATS;
inline constexpr u16 SDP_EXTRA_LINES_ROOM = 255;
inline constexpr u16 SDP_HOST_MAX = 64;

inline constexpr u8 SDP_NONE8 = 0xFF;
inline constexpr u16 SDP_NONE16 = 0xFFFF;
inline constexpr u32 SDP_NONE32 = 0xFFFFFFFF;

// Media kinds and levels.
inline constexpr u8 SDP_KIND_AUDIO = 'U';
inline constexpr u8 SDP_KIND_VIDEO = 'V';
inline constexpr u8 SDP_KIND_IMAGE = 'I';   // kind of an image record
inline constexpr u8 SDP_LEVEL_IMAGE = '3';  // parser level / media line result of image
inline constexpr u8 SDP_LEVEL_OTHER = 'H';
inline constexpr u8 SDP_LEVEL_SESSION = 0xFF;
inline constexpr u8 SDP_LEVEL_SKIPPED = 0xFE;  // a media line past the budget, and its lines
inline constexpr u8 SDP_FORMAT_T38 = '8';

// Network types, directions, transports, rate management and error correction.
inline constexpr u8 SDP_NET_IN = 'I';
inline constexpr u8 SDP_NET_ATM = 'A';
inline constexpr u8 SDP_NET_LOCAL = 'L';
inline constexpr u8 SDP_DIR_SENDONLY = 0;
inline constexpr u8 SDP_DIR_RECVONLY = 1;
inline constexpr u8 SDP_DIR_SENDRECV = 2;
inline constexpr u8 SDP_DIR_INACTIVE = 4;
inline constexpr u8 SDP_TRANSPORT_RTP_AVP = 0;
inline constexpr u8 SDP_TRANSPORT_RTP_SAVP = 1;
inline constexpr u8 SDP_TRANSPORT_UDP = 2;
inline constexpr u8 SDP_TRANSPORT_LOCAL = 3;
inline constexpr u8 SDP_TRANSPORT_UDPTL = 0x10;
inline constexpr u8 SDP_TRANSPORT_TCP = 0x11;
inline constexpr u8 SDP_RATEMGMT_LOCAL_TCF = 1;
inline constexpr u8 SDP_RATEMGMT_TRANSFERRED_TCF = 2;
inline constexpr u8 SDP_UDPEC_FEC = 1;
inline constexpr u8 SDP_UDPEC_REDUNDANCY = 2;
inline constexpr u8 SDP_BOTH_SEEN = 3;
inline constexpr u8 SDP_BEARER_FREE = 'f';  // bearer outside the table, named by its detail

// Address type of a connection or origin address ("IP4" or "IP6").
inline constexpr u8 SDP_ADDR_IP4 = 4;
inline constexpr u8 SDP_ADDR_IP6 = 6;

// ---------------------------------------------------------------------------
// Records

// A connection ("c=" line) as every level record keeps it.
struct sdp_connection {
  u8 nettype = SDP_NONE8;  // code of sdp_nettype_table
  const char* nettype_text = nullptr;
  u8 addrtype = SDP_ADDR_IP4;  // SDP_ADDR_IP4 or SDP_ADDR_IP6 (network type IN)
  sip_str addr;                // length 4 and the bytes of a dotted quad, else empty
  sip_str host;                // the address when it is not a dotted quad (at most 64 characters)
  sip_str extra;               // the token after "LOCAL EPN"
};

struct sdp_session {
  sdp_connection conn;
  u8 bwtype = SDP_NONE8;  // code of sdp_bwtype_table
  const char* bwtype_text = nullptr;
  u16 bw_value = SDP_NONE16;
  u8 direction = SDP_NONE8;
  const char* direction_text = nullptr;
  sip_str name;        // "s=", at most 32 characters
  sip_str start_time;  // "t=", 1 to 10 digits each
  sip_str stop_time;
  sip_str extra_lines;
};

struct sdp_origin {
  u8 nettype = SDP_NONE8;
  const char* nettype_text = nullptr;
  u8 addrtype = SDP_ADDR_IP4;
  sip_str user;        // 1 to 64 visible characters
  sip_str session_id;  // 1 to 20 digits
  sip_str version;     // 1 to 20 digits
  sip_str addr;
  sip_str host;
};

// One "m=audio" or "m=video" line.
struct sdp_media_av {
  u8 media_index = 0;  // position among all media lines of the body
  u8 kind = SDP_KIND_AUDIO;
  const char* kind_text = nullptr;
  sdp_connection conn;
  u8 bwtype = SDP_NONE8;
  const char* bwtype_text = nullptr;
  u16 bw_value = SDP_NONE16;
  u8 direction = SDP_NONE8;
  const char* direction_text = nullptr;
  u8 transport = SDP_NONE8;
  const char* transport_text = nullptr;
  u8 keymethod = SDP_NONE8;
  const char* keymethod_text = nullptr;
  u16 port = 0;
  u8 port_count = SDP_NONE8;
  u16 ptime = SDP_NONE16;
  u16 maxptime = SDP_NONE16;
  u16 format_count = 0;         // at most SDP_MAX_FORMATS
  const u8* formats = nullptr;  // payload types; 0xFF for a format that is not a number
  sip_str key;                  // at most 128 characters
  sip_str extra_lines;
};

// One payload type of an audio or video line ("a=rtpmap" / "a=fmtp").
struct sdp_rtpmap {
  u8 media_pos = 0;  // position of its sdp_media_av record in the array
  u8 payload_type = 0;
  u8 codec = SDP_NONE8;  // code of sdp_codec_table
  const char* codec_text = nullptr;
  u8 channels = SDP_NONE8;
  u32 clock_rate = SDP_NONE32;
  sip_str encoding_name;  // only when not in the codec table, at most 32 characters
  sip_str fmtp;           // at most 255 characters
};

// One "m=image ... t38" line.
struct sdp_media_image {
  u8 media_index = 0;
  u8 kind = SDP_KIND_IMAGE;
  const char* kind_text = nullptr;
  u8 format = SDP_FORMAT_T38;
  const char* format_text = nullptr;
  sdp_connection conn;
  u8 bwtype = SDP_NONE8;
  const char* bwtype_text = nullptr;
  u16 bw_value = SDP_NONE16;
  u8 direction = SDP_NONE8;
  const char* direction_text = nullptr;
  u8 transport = SDP_NONE8;
  const char* transport_text = nullptr;
  u8 keymethod = SDP_NONE8;
  const char* keymethod_text = nullptr;
  u16 port = 0;
  u8 t38_version = SDP_NONE8;
  u32 t38_max_bit_rate = SDP_NONE32;
  u8 t38_fill_bit_removal = 0;
  u8 t38_transcoding_mmr = 0;
  u8 t38_transcoding_jbig = 0;
  u8 t38_rate_management = SDP_NONE8;  // 1 localTCF, 2 transferredTCF, 3 both seen
  const char* t38_rate_management_text = nullptr;
  u32 t38_max_buffer = SDP_NONE32;
  u32 t38_max_datagram = SDP_NONE32;
  u8 t38_udp_ec = SDP_NONE8;  // 1 t38UDPFEC, 2 t38UDPRedundancy, 3 both seen
  const char* t38_udp_ec_text = nullptr;
  sip_str key;
  sip_str extra_lines;
};

// Any other "m=" line.
struct sdp_media_other {
  u16 port = SDP_NONE16;
  u8 port_count = SDP_NONE8;
  u8 media_index = 0;
  sdp_connection conn;
  u8 bwtype = SDP_NONE8;
  const char* bwtype_text = nullptr;
  u16 bw_value = SDP_NONE16;
  u8 keymethod = SDP_NONE8;
  const char* keymethod_text = nullptr;
  u8 bearer = SDP_NONE8;  // code of sdp_bearer_table, or SDP_BEARER_FREE
  const char* bearer_text = nullptr;
  u8 framing = SDP_NONE8;
  const char* framing_text = nullptr;
  u8 subnet_nettype = SDP_NONE8;
  const char* subnet_nettype_text = nullptr;
  u8 subnet_prefix = 0;
  sip_str name;       // 1 to 16 characters
  sip_str transport;  // 1 to 8 characters
  sip_str format;     // 1 to 64 token characters
  sip_str format2;    // 0 to 64 letters and digits
  sip_str key;
  sip_str bearer_detail;  // at most 20 characters
  sip_str dialed;
  sip_str called;
  sip_str dialing;
  sip_str subnet_addr;  // 4 bytes
  sip_str extra_lines;
};

// The description.  The caller sets every count to 0 and every pointer to an
// array of the size given.
struct sdp_desc {
  sdp_session* session = nullptr;
  u8 av_count = 0;
  sdp_media_av* av = nullptr;  // SDP_MAX_AV
  u8 rtpmap_count = 0;
  sdp_rtpmap* rtpmap = nullptr;  // SDP_MAX_RTPMAP
  u8 other_count = 0;
  sdp_media_other* other = nullptr;  // SDP_MAX_OTHER
  u8 origin_present = 0;
  sdp_origin* origin = nullptr;
  u8 image_count = 0;
  sdp_media_image* image = nullptr;  // SDP_MAX_IMAGE
  // Media lines of the body, kept or skipped (255 stands for 255 or more).
  // More than av_count + other_count + image_count when the body carried
  // more media lines than SDP_MAX_MEDIA.
  u8 media_lines = 0;
};

// The records a description points at, as many of each as it may hold.
struct sdp_records {
  sdp_session session;
  sdp_origin origin;
  sdp_media_av av[SDP_MAX_AV];
  sdp_rtpmap rtpmap[SDP_MAX_RTPMAP];
  sdp_media_other other[SDP_MAX_OTHER];
  sdp_media_image image[SDP_MAX_IMAGE];

  // A description of these records, every count 0.
  [[nodiscard]] sdp_desc describe() {
    sdp_desc d;
    d.session = &session;
    d.av = av;
    d.rtpmap = rtpmap;
    d.other = other;
    d.origin = &origin;
    d.image = image;
    return d;
  }
};

// ---------------------------------------------------------------------------
// Keyword tables (searched from the last row to the first)

struct sdp_table {
  const sdp_keyword_row* rows;
  u32 count;
};

extern const sdp_table sdp_media_table;
extern const sdp_table sdp_image_table;
extern const sdp_table sdp_t38_format_table;
extern const sdp_table sdp_transport_table;
extern const sdp_table sdp_nettype_table;
extern const sdp_table sdp_bwtype_table;
extern const sdp_table sdp_keymethod_table;
extern const sdp_table sdp_direction_table;
extern const sdp_table sdp_av_attr_table;
extern const sdp_table sdp_image_attr_table;
extern const sdp_table sdp_other_attr_table;
extern const sdp_table sdp_ratemgmt_table;
extern const sdp_table sdp_udpec_table;
extern const sdp_table sdp_bearer_table;
extern const sdp_table sdp_framing_table;
extern const sdp_table sdp_codec_table;  // 82 rows, looked up without case

// Attribute codes of the attribute tables.
enum sdp_attr : u8 {
  SDP_ATTR_RTPMAP = 5,
  SDP_ATTR_PTIME = 6,
  SDP_ATTR_MAXPTIME = 7,
  SDP_ATTR_BEARER = 8,
  SDP_ATTR_FRAMING = 9,
  SDP_ATTR_DIALED = 10,
  SDP_ATTR_CALLED = 11,
  SDP_ATTR_DIALING = 12,
  SDP_ATTR_SUBNET = 13,
  SDP_ATTR_FMTP = 14,
  SDP_ATTR_T38_VERSION = 'B',
  SDP_ATTR_T38_MAX_BIT_RATE = 'C',
  SDP_ATTR_T38_FILL_BIT_REMOVAL = 'D',
  SDP_ATTR_T38_TRANSCODING_MMR = 'E',
  SDP_ATTR_T38_TRANSCODING_JBIG = 'F',
  SDP_ATTR_T38_RATE_MANAGEMENT = 'G',
  SDP_ATTR_T38_MAX_BUFFER = 'H',
  SDP_ATTR_T38_MAX_DATAGRAM = 'I',
  SDP_ATTR_T38_UDP_EC = 'J',
};

// ---------------------------------------------------------------------------
// Parser

// Results of sdp_parse.
inline constexpr u8 SDP_PARSE_END = 'l';         // parsed to the end of the text
inline constexpr u8 SDP_PARSE_EMPTY_LINE = 'r';  // stopped at an empty line (position after it)
inline constexpr u8 SDP_PARSE_DOT = '.';         // stopped at a line holding "." (position after it)
inline constexpr u8 SDP_PARSE_REFUSED = 0;       // the body is refused

// Why a body was refused.
enum class sdp_reason : u8 {
  none = 0,
  no_work_buffer,
  bad_version,     // the text does not begin with "v=0" and a line end
  duplicate_line,  // a second o=, s= or t= line
  bad_connection,  // malformed c= line
  bad_media,       // malformed m= line
  too_many_media,  // more media lines of a kind than the description holds
  bad_bandwidth,
  bad_key,
  bad_attribute,       // malformed attribute of a known name
  direction_conflict,  // a media direction that contradicts the session's
  too_many_rtpmap,
  number_too_large,  // a number that does not fit its field
  work_buffer_full,
  no_media,        // no m= line
  no_connection,   // no c= line
  missing_rtpmap,  // a dynamic payload type without rtpmap
  ip6_for_t38,     // a T.38 stream on an IPv6 connection, which the session cannot use
};

// Text naming a reason, for logs and error reports.
const char* sdp_reason__text(sdp_reason reason);

// Parses the SDP text from *pos to `end` into `desc`.  On return *pos is where
// parsing stopped (the start of the refused line on refusal).  `options` is
// unused (pass 0).  `reason`, when given, receives why a body was refused.
// An optional T.38 attribute without a usable value (bare, empty, not a
// number) does not refuse the body: it is dropped, and `ignored_attribute`,
// when given, is set to report it.
u8 sdp_parse(const char** pos, const char* end, sdp_desc* desc, sdp_work_buf* work, u16 options,
             sdp_reason* reason = nullptr, bool* ignored_attribute = nullptr);

// ---------------------------------------------------------------------------
// Encoder

// Writes `desc` as SDP text at *pos, which must not pass `end`: a CR LF (the
// empty line ending a SIP header section), "v=0", then the lines of the
// session and of each media record, in the order of their media_index
// (records of equal index: audio/video, then image, then other media).  SIP_RESULT_OK with *pos advanced past the
// text, or left where it was when nothing but "v=0" would be written.
// SIP_RESULT_NOK, *pos unchanged, when the text does not fit or a set coded
// field has no keyword text.  `options` does not change the text.
u8 sdp_encode(char** pos, char* end, const sdp_desc* desc, u16 options);
