// An SDP description with its own records and work buffer, and keyword texts
// filled from codes.  Header only, so that the fuzz targets and benchmarks
// can use it without the test support library.
#pragma once

#include <cstring>
#include <string>

#include "sip/text/sdp.h"

struct sdp_store : sdp_records {
  sdp_desc desc = describe();
  uint8_t work_bytes[1600];
  sdp_work_buf work;
  std::string text;  // the parsed text, kept alive with the description

  sdp_store() {
    std::memset(work_bytes, 0xA5, sizeof work_bytes);
    work = sdp_work_buf{work_bytes, 0, sizeof work_bytes};
  }
  sdp_store(const sdp_store&) = delete;
  sdp_store& operator=(const sdp_store&) = delete;

  // Parses a copy of `in`; the reason of a refusal goes to `reason`, the stop
  // position (offset into text) to `stop`.
  uint8_t parse(const std::string& in, sdp_reason* reason = nullptr, size_t* stop = nullptr) {
    text = in;
    const char* p = text.data();
    uint8_t r = sdp_parse(&p, text.data() + text.size(), &desc, &work, 0, reason);
    if (stop) *stop = static_cast<size_t>(p - text.data());
    return r;
  }
};

// The keyword text of a code: the last row with the code, as the tables are
// searched backwards; null for an unset code or one not in the table.
inline const char* sdp_text_by_code(const sdp_table& t, uint8_t code) {
  if (code == SDP_NONE8) return nullptr;
  for (uint32_t r = t.count; r-- > 0;)
    if (t.rows[r].code == code) return t.rows[r].keyword;
  return nullptr;
}

// Sets the keyword text of every set coded field from its table.
inline void sdp_fill_texts(sdp_desc& d) {
  auto text = sdp_text_by_code;
  auto conn = [](sdp_connection& c) { c.nettype_text = sdp_text_by_code(sdp_nettype_table, c.nettype); };
  sdp_session& s = *d.session;
  conn(s.conn);
  s.bwtype_text = text(sdp_bwtype_table, s.bwtype);
  s.direction_text = text(sdp_direction_table, s.direction);
  if (d.origin) d.origin->nettype_text = text(sdp_nettype_table, d.origin->nettype);
  for (uint8_t i = 0; i < d.av_count; ++i) {
    sdp_media_av& m = d.av[i];
    m.kind_text = text(sdp_media_table, m.kind);
    conn(m.conn);
    m.bwtype_text = text(sdp_bwtype_table, m.bwtype);
    m.direction_text = text(sdp_direction_table, m.direction);
    m.transport_text = text(sdp_transport_table, m.transport);
    m.keymethod_text = text(sdp_keymethod_table, m.keymethod);
  }
  for (uint8_t i = 0; i < d.rtpmap_count; ++i) d.rtpmap[i].codec_text = text(sdp_codec_table, d.rtpmap[i].codec);
  for (uint8_t i = 0; i < d.image_count; ++i) {
    sdp_media_image& m = d.image[i];
    m.kind_text = text(sdp_image_table, m.kind);
    m.format_text = text(sdp_t38_format_table, m.format);
    conn(m.conn);
    m.bwtype_text = text(sdp_bwtype_table, m.bwtype);
    m.direction_text = text(sdp_direction_table, m.direction);
    m.transport_text = text(sdp_transport_table, m.transport);
    m.keymethod_text = text(sdp_keymethod_table, m.keymethod);
    m.t38_rate_management_text = text(sdp_ratemgmt_table, m.t38_rate_management);
    m.t38_udp_ec_text = text(sdp_udpec_table, m.t38_udp_ec);
  }
  for (uint8_t i = 0; i < d.other_count; ++i) {
    sdp_media_other& m = d.other[i];
    conn(m.conn);
    m.bwtype_text = text(sdp_bwtype_table, m.bwtype);
    m.keymethod_text = text(sdp_keymethod_table, m.keymethod);
    m.bearer_text = text(sdp_bearer_table, m.bearer);
    m.framing_text = text(sdp_framing_table, m.framing);
    m.subnet_nettype_text = text(sdp_nettype_table, m.subnet_nettype);
  }
}
