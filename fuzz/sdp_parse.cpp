// Fuzz target of the SDP parser.  Every input must end in a result, never a
// crash or a read outside the text; an accepted description must encode
// (with keyword texts filled from the codes), its text must parse again, and
// encoding the parse of that text gives it back.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "sip/codec/sdp.h"

namespace {

const char* text_by_code(const sdp_table& t, uint8_t code) {
  for (uint32_t r = t.count; r-- > 0;)
    if (t.rows[r].code == code) return t.rows[r].keyword;
  return nullptr;
}

void fill(sdp_desc& d) {
  auto conn = [](sdp_connection& c) { c.nettype_text = text_by_code(sdp_nettype_table, c.nettype); };
  conn(d.session->conn);
  d.session->bwtype_text = text_by_code(sdp_bwtype_table, d.session->bwtype);
  d.origin->nettype_text = text_by_code(sdp_nettype_table, d.origin->nettype);
  for (int i = 0; i < d.av_count; ++i) {
    sdp_media_av& m = d.av[i];
    m.kind_text = text_by_code(sdp_media_table, m.kind);
    conn(m.conn);
    m.bwtype_text = text_by_code(sdp_bwtype_table, m.bwtype);
    m.direction_text = text_by_code(sdp_direction_table, m.direction);
    m.transport_text = text_by_code(sdp_transport_table, m.transport);
    m.keymethod_text = text_by_code(sdp_keymethod_table, m.keymethod);
  }
  for (int i = 0; i < d.rtpmap_count; ++i) d.rtpmap[i].codec_text = text_by_code(sdp_codec_table, d.rtpmap[i].codec);
  for (int i = 0; i < d.image_count; ++i) {
    sdp_media_image& m = d.image[i];
    m.kind_text = "image";
    m.format_text = "t38";
    conn(m.conn);
    m.bwtype_text = text_by_code(sdp_bwtype_table, m.bwtype);
    m.direction_text = text_by_code(sdp_direction_table, m.direction);
    m.transport_text = text_by_code(sdp_transport_table, m.transport);
    m.keymethod_text = text_by_code(sdp_keymethod_table, m.keymethod);
    m.t38_rate_management_text = text_by_code(sdp_ratemgmt_table, m.t38_rate_management);
    m.t38_udp_ec_text = text_by_code(sdp_udpec_table, m.t38_udp_ec);
  }
  for (int i = 0; i < d.other_count; ++i) {
    sdp_media_other& m = d.other[i];
    conn(m.conn);
    m.bwtype_text = text_by_code(sdp_bwtype_table, m.bwtype);
    m.keymethod_text = text_by_code(sdp_keymethod_table, m.keymethod);
    m.bearer_text = text_by_code(sdp_bearer_table, m.bearer);
    m.framing_text = text_by_code(sdp_framing_table, m.framing);
    m.subnet_nettype_text = text_by_code(sdp_nettype_table, m.subnet_nettype);
  }
}

struct store {
  sdp_session session;
  sdp_origin origin;
  sdp_media_av av[SDP_MAX_AV];
  sdp_rtpmap rtpmap[SDP_MAX_RTPMAP];
  sdp_media_other other[SDP_MAX_OTHER];
  sdp_media_image image[SDP_MAX_IMAGE];
  sdp_desc desc;
  uint8_t bytes[1600];
  sdp_work_buf work{bytes, 0, sizeof bytes};
  store() {
    desc.session = &session;
    desc.av = av;
    desc.rtpmap = rtpmap;
    desc.other = other;
    desc.origin = &origin;
    desc.image = image;
  }
};

// An audio or video port of 0xFFFF is written as the placeholder "$", which
// is no port.
bool has_placeholders(const sdp_desc& d) {
  for (int i = 0; i < d.av_count; ++i)
    if (d.av[i].port == 0xFFFF) return true;
  return false;
}


// Parses [text, text + size) into a fresh description and, when accepted,
// encodes it (leading CR LF left out).  False when refused.
bool parse_and_encode(const char* text, size_t size, std::vector<char>* encoded) {
  store s;
  const char* pos = text;
  sdp_reason why = sdp_reason::none;
  uint8_t r = sdp_parse(&pos, text + size, &s.desc, &s.work, 0, &why);
  if (pos < text || pos > text + size) std::abort();
  if (s.work.size > s.work.capacity) std::abort();
  if (r == SDP_PARSE_REFUSED) return false;
  if (why != sdp_reason::none) std::abort();
  fill(s.desc);
  std::vector<char> out(8192);
  char* w = out.data();
  if (sdp_encode(&w, out.data() + out.size(), &s.desc, 0) != SIP_RESULT_OK) std::abort();
  // A short room fails cleanly.
  char small[16];
  char* ws = small;
  uint8_t rs = sdp_encode(&ws, small + sizeof small, &s.desc, 0);
  if ((rs != SIP_RESULT_OK && ws != small) || ws > small + sizeof small) std::abort();
  if (has_placeholders(s.desc)) {
    encoded->clear();
  } else {
    encoded->assign(out.data() + (w - out.data() >= 2 ? 2 : 0), w);
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // Exactly sized copies, so that any read past the end is caught.
  std::vector<char> text(data, data + size);
  std::vector<char> first, second, third;
  if (!parse_and_encode(text.data(), text.size(), &first) || first.empty()) return 0;
  // The encoded text parses again; from then on encoding is a fixed point
  // (the first round may drop extra lines that a re-read attribute absorbs).
  if (!parse_and_encode(first.data(), first.size(), &second)) std::abort();
  if (!parse_and_encode(second.data(), second.size(), &third)) std::abort();
  if (second != third) std::abort();
  return 0;
}
