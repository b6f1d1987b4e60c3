#include "sip/text/support/sdp_support.h"

#include <sstream>

std::string sdp_str_text(sip_str s) { return s.ptr ? std::string(s.ptr, s.len) : std::string(); }

std::string crlf(std::initializer_list<const char*> lines) {
  std::string s;
  for (const char* l : lines) {
    s += l;
    s += "\r\n";
  }
  return s;
}

namespace {

struct differ {
  std::ostringstream out;
  bool found = false;
  template <typename T>
  void num(const char* what, T a, T b) {
    if (found || a == b) return;
    found = true;
    out << what << ": " << +a << " != " << +b;
  }
  void str(const char* what, sip_str a, sip_str b) {
    if (found) return;
    std::string x = sdp_str_text(a), y = sdp_str_text(b);
    if (x == y) return;
    found = true;
    out << what << ": '" << x << "' != '" << y << "'";
  }
  void conn(const char* what, const sdp_connection& a, const sdp_connection& b) {
    std::string w = std::string(what) + ".conn";
    num((w + ".nettype").c_str(), a.nettype, b.nettype);
    if (a.nettype == SDP_NONE8 && b.nettype == SDP_NONE8) return;
    num((w + ".addrtype").c_str(), a.addrtype, b.addrtype);
    str((w + ".addr").c_str(), a.addr, b.addr);
    str((w + ".host").c_str(), a.host, b.host);
    str((w + ".extra").c_str(), a.extra, b.extra);
  }
};

}  // namespace

std::string sdp_diff(const sdp_desc& a, const sdp_desc& b) {
  differ f;
  const sdp_session &s = *a.session, &t = *b.session;
  f.conn("session", s.conn, t.conn);
  f.num("session.bwtype", s.bwtype, t.bwtype);
  f.num("session.bw_value", s.bw_value, t.bw_value);
  f.num("session.direction", s.direction, t.direction);
  f.str("session.name", s.name, t.name);
  f.str("session.start_time", s.start_time, t.start_time);
  f.str("session.stop_time", s.stop_time, t.stop_time);
  f.str("session.extra_lines", s.extra_lines, t.extra_lines);
  f.num("origin_present", a.origin_present, b.origin_present);
  if (a.origin_present && b.origin_present) {
    const sdp_origin &o = *a.origin, &p = *b.origin;
    f.num("origin.nettype", o.nettype, p.nettype);
    f.num("origin.addrtype", o.addrtype, p.addrtype);
    f.str("origin.user", o.user, p.user);
    f.str("origin.session_id", o.session_id, p.session_id);
    f.str("origin.version", o.version, p.version);
    f.str("origin.addr", o.addr, p.addr);
    f.str("origin.host", o.host, p.host);
  }
  f.num("av_count", a.av_count, b.av_count);
  for (uint8_t i = 0; i < a.av_count && i < b.av_count; ++i) {
    const sdp_media_av &m = a.av[i], &n = b.av[i];
    f.num("av.media_index", m.media_index, n.media_index);
    f.num("av.kind", m.kind, n.kind);
    f.conn("av", m.conn, n.conn);
    f.num("av.bwtype", m.bwtype, n.bwtype);
    f.num("av.bw_value", m.bw_value, n.bw_value);
    f.num("av.direction", m.direction, n.direction);
    f.num("av.transport", m.transport, n.transport);
    f.num("av.keymethod", m.keymethod, n.keymethod);
    f.num("av.port", m.port, n.port);
    f.num("av.port_count", m.port_count, n.port_count);
    f.num("av.ptime", m.ptime, n.ptime);
    f.num("av.maxptime", m.maxptime, n.maxptime);
    f.num("av.format_count", m.format_count, n.format_count);
    for (uint16_t k = 0; k < m.format_count && k < n.format_count; ++k) f.num("av.format", m.formats[k], n.formats[k]);
    f.str("av.key", m.key, n.key);
    f.str("av.extra_lines", m.extra_lines, n.extra_lines);
  }
  f.num("rtpmap_count", a.rtpmap_count, b.rtpmap_count);
  for (uint8_t i = 0; i < a.rtpmap_count && i < b.rtpmap_count; ++i) {
    const sdp_rtpmap &r = a.rtpmap[i], &q = b.rtpmap[i];
    f.num("rtpmap.media_pos", r.media_pos, q.media_pos);
    f.num("rtpmap.payload_type", r.payload_type, q.payload_type);
    f.num("rtpmap.codec", r.codec, q.codec);
    f.num("rtpmap.channels", r.channels, q.channels);
    f.num("rtpmap.clock_rate", r.clock_rate, q.clock_rate);
    f.str("rtpmap.encoding_name", r.encoding_name, q.encoding_name);
    f.str("rtpmap.fmtp", r.fmtp, q.fmtp);
  }
  f.num("image_count", a.image_count, b.image_count);
  for (uint8_t i = 0; i < a.image_count && i < b.image_count; ++i) {
    const sdp_media_image &m = a.image[i], &n = b.image[i];
    f.num("image.media_index", m.media_index, n.media_index);
    f.num("image.kind", m.kind, n.kind);
    f.num("image.format", m.format, n.format);
    f.conn("image", m.conn, n.conn);
    f.num("image.bwtype", m.bwtype, n.bwtype);
    f.num("image.bw_value", m.bw_value, n.bw_value);
    f.num("image.direction", m.direction, n.direction);
    f.num("image.transport", m.transport, n.transport);
    f.num("image.keymethod", m.keymethod, n.keymethod);
    f.num("image.port", m.port, n.port);
    f.num("image.t38_version", m.t38_version, n.t38_version);
    f.num("image.t38_max_bit_rate", m.t38_max_bit_rate, n.t38_max_bit_rate);
    f.num("image.t38_fill_bit_removal", m.t38_fill_bit_removal, n.t38_fill_bit_removal);
    f.num("image.t38_transcoding_mmr", m.t38_transcoding_mmr, n.t38_transcoding_mmr);
    f.num("image.t38_transcoding_jbig", m.t38_transcoding_jbig, n.t38_transcoding_jbig);
    f.num("image.t38_rate_management", m.t38_rate_management, n.t38_rate_management);
    f.num("image.t38_max_buffer", m.t38_max_buffer, n.t38_max_buffer);
    f.num("image.t38_max_datagram", m.t38_max_datagram, n.t38_max_datagram);
    f.num("image.t38_udp_ec", m.t38_udp_ec, n.t38_udp_ec);
    f.str("image.key", m.key, n.key);
    f.str("image.extra_lines", m.extra_lines, n.extra_lines);
  }
  f.num("other_count", a.other_count, b.other_count);
  for (uint8_t i = 0; i < a.other_count && i < b.other_count; ++i) {
    const sdp_media_other &m = a.other[i], &n = b.other[i];
    f.num("other.port", m.port, n.port);
    f.num("other.port_count", m.port_count, n.port_count);
    f.num("other.media_index", m.media_index, n.media_index);
    f.conn("other", m.conn, n.conn);
    f.num("other.bwtype", m.bwtype, n.bwtype);
    f.num("other.bw_value", m.bw_value, n.bw_value);
    f.num("other.keymethod", m.keymethod, n.keymethod);
    f.num("other.bearer", m.bearer, n.bearer);
    f.num("other.framing", m.framing, n.framing);
    f.num("other.subnet_nettype", m.subnet_nettype, n.subnet_nettype);
    f.num("other.subnet_prefix", m.subnet_prefix, n.subnet_prefix);
    f.str("other.name", m.name, n.name);
    f.str("other.transport", m.transport, n.transport);
    f.str("other.format", m.format, n.format);
    f.str("other.format2", m.format2, n.format2);
    f.str("other.key", m.key, n.key);
    f.str("other.bearer_detail", m.bearer_detail, n.bearer_detail);
    f.str("other.dialed", m.dialed, n.dialed);
    f.str("other.called", m.called, n.called);
    f.str("other.dialing", m.dialing, n.dialing);
    f.str("other.subnet_addr", m.subnet_addr, n.subnet_addr);
    f.str("other.extra_lines", m.extra_lines, n.extra_lines);
  }
  return f.out.str();
}

std::string sdp_encode_text(const sdp_desc& d) {
  std::string buf(8192, '\0');
  char* p = buf.data();
  if (sdp_encode(&p, buf.data() + buf.size(), &d, 0) != SIP_RESULT_OK) return "";
  buf.resize(static_cast<size_t>(p - buf.data()));
  return buf.size() >= 2 ? buf.substr(2) : buf;
}
