// SDP encoder: writes an sdp_desc as text in a fixed line order, checking the
// room of the output at every write.
#include <algorithm>
#include <cstring>

#include "platform/int_types.h"
#include "sip/text/sdp.h"

namespace {

struct sdp_writer {
  char* p;
  char* end;
  bool failed = false;

  void bytes(const char* s, size_t n) {
    if (failed) return;
    if (n > static_cast<size_t>(end - p)) {
      failed = true;
      return;
    }
    if (n) std::memcpy(p, s, n);
    p += n;
  }
  void text(const char* s) {
    // A set code without its keyword text cannot be written.
    if (s == nullptr) {
      failed = true;
      return;
    }
    bytes(s, std::strlen(s));
  }
  void str(sip_str s) { bytes(s.ptr, sip_str__chars(s)); }
  void dec(u32 v) {
    char d[10];
    int n = 0;
    do {
      d[sizeof d - 1 - n++] = static_cast<char>('0' + v % 10);
      v /= 10;
    } while (v);
    bytes(d + sizeof d - n, static_cast<size_t>(n));
  }
  void crlf() { bytes("\r\n", 2); }
  void quad(sip_str a) {
    for (int i = 0; i < 4; ++i) {
      if (i) bytes(".", 1);
      dec(static_cast<u8>(a.ptr[i]));
    }
  }
  // Dotted quad when the 4 address bytes are set, else the host text.
  void address(sip_str addr, sip_str host) {
    if (addr.len == 4 && addr.ptr) {
      quad(addr);
    } else {
      str(host);
    }
  }
};

bool set8(u8 v) { return v != SDP_NONE8; }
bool set16(u16 v) { return v != SDP_NONE16; }
bool set32(u32 v) { return v != SDP_NONE32; }
bool set_str(sip_str s) { return s.len != 0 && s.ptr != nullptr; }

void write_connection(sdp_writer& w, const sdp_connection& c) {
  if (!set8(c.nettype)) return;
  w.bytes("c=", 2);
  w.text(c.nettype_text);
  w.bytes(" ", 1);
  if (c.nettype == SDP_NET_IN) {
    w.text(c.addrtype == SDP_ADDR_IP6 ? "IP6" : "IP4");
  } else if (c.nettype == SDP_NET_LOCAL) {
    // "LOCAL EPN token", the form the parser reads back.
    w.bytes("EPN ", 4);
    w.str(c.extra);
    w.crlf();
    return;
  }
  w.bytes(" ", 1);
  w.address(c.addr, c.host);
  w.crlf();
}

void write_bandwidth(sdp_writer& w, u8 type, const char* text, u16 value) {
  if (!set8(type)) return;
  w.bytes("b=", 2);
  w.text(text);
  w.bytes(":", 1);
  w.dec(value);
  w.crlf();
}

void write_key(sdp_writer& w, u8 method, const char* text, sip_str key) {
  if (!set8(method)) return;
  w.bytes("k=", 2);
  w.text(text);
  if (set_str(key)) {
    w.bytes(":", 1);
    w.str(key);
  }
  w.crlf();
}

void write_direction(sdp_writer& w, u8 direction, const char* text) {
  if (!set8(direction)) return;
  w.bytes("a=", 2);
  w.text(text);
  w.crlf();
}

void write_port(sdp_writer& w, u16 port) {
  if (port == SDP_NONE16) {
    w.bytes("$", 1);
  } else {
    w.dec(port);
  }
}

// The rtpmap entry of a format: the record's own entry, else the first entry
// of the table with that payload type.
const sdp_rtpmap* rtpmap_for(const sdp_desc& d, u8 media_pos, u8 pt) {
  const sdp_rtpmap* first = nullptr;
  for (u8 i = 0; i < d.rtpmap_count; ++i) {
    const sdp_rtpmap& r = d.rtpmap[i];
    if (r.payload_type != pt) continue;
    if (r.media_pos == media_pos) return &r;
    if (first == nullptr) first = &r;
  }
  return first;
}

void write_av(sdp_writer& w, const sdp_desc& d, u8 pos) {
  const sdp_media_av& m = d.av[pos];
  w.bytes("m=", 2);
  w.text(m.kind_text);
  w.bytes(" ", 1);
  write_port(w, m.port);
  if (m.port != SDP_NONE16 && set8(m.port_count)) {
    w.bytes("/", 1);
    w.dec(m.port_count);
  }
  w.bytes(" ", 1);
  w.text(m.transport_text);
  for (u16 i = 0; i < m.format_count; ++i) {
    w.bytes(" ", 1);
    if (m.formats[i] == 0xFF) {
      w.bytes("$", 1);
    } else {
      w.dec(m.formats[i]);
    }
  }
  w.crlf();
  write_connection(w, m.conn);
  write_bandwidth(w, m.bwtype, m.bwtype_text, m.bw_value);
  write_key(w, m.keymethod, m.keymethod_text, m.key);
  for (u16 i = 0; i < m.format_count; ++i) {
    const sdp_rtpmap* r = rtpmap_for(d, pos, m.formats[i]);
    if (r == nullptr) continue;
    if (set_str(r->encoding_name) || set8(r->codec)) {
      w.bytes("a=rtpmap:", 9);
      w.dec(r->payload_type);
      w.bytes(" ", 1);
      if (set_str(r->encoding_name)) {
        w.str(r->encoding_name);
      } else {
        w.text(r->codec_text);
      }
      if (set32(r->clock_rate)) {
        w.bytes("/", 1);
        w.dec(r->clock_rate);
      }
      if (set8(r->channels)) {
        w.bytes("/", 1);
        w.dec(r->channels);
      }
      w.crlf();
    }
    if (set_str(r->fmtp)) {
      w.bytes("a=fmtp:", 7);
      w.dec(r->payload_type);
      w.bytes(" ", 1);
      w.str(r->fmtp);
      w.crlf();
    }
  }
  if (set16(m.ptime)) {
    w.bytes("a=ptime:", 8);
    w.dec(m.ptime);
    w.crlf();
  }
  if (set16(m.maxptime)) {
    w.bytes("a=maxptime:", 11);
    w.dec(m.maxptime);
    w.crlf();
  }
  write_direction(w, m.direction, m.direction_text);
  w.str(m.extra_lines);
}

void write_flag(sdp_writer& w, u8 flag, const char* line) {
  if (flag != 1) return;
  w.text(line);
  w.crlf();
}

void write_number_attr(sdp_writer& w, bool set, const char* name, u32 value) {
  if (!set) return;
  w.text(name);
  w.dec(value);
  w.crlf();
}

void write_image(sdp_writer& w, const sdp_media_image& m) {
  w.bytes("m=", 2);
  w.text(m.kind_text);
  w.bytes(" ", 1);
  write_port(w, m.port);
  w.bytes(" ", 1);
  w.text(m.transport_text);
  w.bytes(" ", 1);
  w.text(m.format_text);
  w.crlf();
  write_connection(w, m.conn);
  write_bandwidth(w, m.bwtype, m.bwtype_text, m.bw_value);
  write_key(w, m.keymethod, m.keymethod_text, m.key);
  write_direction(w, m.direction, m.direction_text);

  write_number_attr(w, set8(m.t38_version), "a=T38FaxVersion:", m.t38_version);
  write_number_attr(w, set32(m.t38_max_bit_rate), "a=T38MaxBitRate:", m.t38_max_bit_rate);
  write_flag(w, m.t38_fill_bit_removal, "a=T38FaxFillBitRemoval");
  write_flag(w, m.t38_transcoding_mmr, "a=T38FaxTranscodingMMR");
  write_flag(w, m.t38_transcoding_jbig, "a=T38FaxTranscodingJBIG");
  if (m.t38_rate_management == SDP_BOTH_SEEN) {
    w.text("a=T38FaxRateManagement:localTCF\r\na=T38FaxRateManagement:transferredTCF\r\n");
  } else if (set8(m.t38_rate_management)) {
    w.text("a=T38FaxRateManagement:");
    w.text(m.t38_rate_management_text);
    w.crlf();
  }
  write_number_attr(w, set32(m.t38_max_buffer), "a=T38FaxMaxBuffer:", m.t38_max_buffer);
  write_number_attr(w, set32(m.t38_max_datagram), "a=T38FaxMaxDatagram:", m.t38_max_datagram);
  if (m.t38_udp_ec == SDP_BOTH_SEEN) {
    w.text("a=T38FaxUdpEC:t38UDPFEC\r\na=T38FaxUdpEC:t38UDPRedundancy\r\n");
  } else if (set8(m.t38_udp_ec)) {
    w.text("a=T38FaxUdpEC:");
    w.text(m.t38_udp_ec_text);
    w.crlf();
  }
  w.str(m.extra_lines);
}

void write_other(sdp_writer& w, const sdp_media_other& m) {
  w.bytes("m=", 2);
  w.str(m.name);
  if (set16(m.port)) {
    w.bytes(" ", 1);
    w.dec(m.port);
    if (set8(m.port_count)) {
      w.bytes("/", 1);
      w.dec(m.port_count);
    }
  }
  if (set_str(m.transport)) {
    w.bytes(" ", 1);
    w.str(m.transport);
  }
  if (set_str(m.format)) {
    w.bytes(" ", 1);
    w.str(m.format);
    if (set_str(m.format2)) {
      w.bytes(" ", 1);
      w.str(m.format2);
    }
  }
  w.crlf();
  write_connection(w, m.conn);
  write_bandwidth(w, m.bwtype, m.bwtype_text, m.bw_value);
  write_key(w, m.keymethod, m.keymethod_text, m.key);
  if (m.subnet_nettype == SDP_NET_IN && m.subnet_addr.len == 4) {
    w.bytes("a=subnet:", 9);
    w.text(m.subnet_nettype_text);
    w.bytes(" IP4 ", 5);
    w.quad(m.subnet_addr);
    w.bytes("/", 1);
    w.dec(m.subnet_prefix);
    w.crlf();
  }
  if (m.bearer == SDP_BEARER_FREE) {
    w.bytes("a=bearer:", 9);
    w.str(m.bearer_detail);
    w.crlf();
  } else if (set8(m.bearer) && m.bearer != 0) {
    w.bytes("a=bearer:", 9);
    w.text(m.bearer_text);
    if (set_str(m.bearer_detail)) {
      w.bytes("/", 1);
      w.str(m.bearer_detail);
    }
    w.crlf();
  }
  if (set8(m.framing) && m.framing != 0) {
    w.bytes("a=framing:", 10);
    w.text(m.framing_text);
    w.crlf();
  }
  const struct {
    const char* prefix;
    sip_str number;
  } numbers[] = {{"a=dialed:", m.dialed}, {"a=called:", m.called}, {"a=dialing:", m.dialing}};
  for (const auto& n : numbers) {
    if (!set_str(n.number)) continue;
    w.text(n.prefix);
    w.str(n.number);
    w.crlf();
  }
  w.str(m.extra_lines);
}

}  // namespace

u8 sdp_encode(char** pos, char* end, const sdp_desc* desc, u16 /*options*/) {
  if (pos == nullptr || *pos == nullptr || end < *pos || desc == nullptr || desc->session == nullptr)
    return SIP_RESULT_NOK;
  const sdp_desc& d = *desc;
  const sdp_session& s = *d.session;
  sdp_writer w{*pos, end};
  w.bytes("\r\nv=0\r\n", 7);
  char* after_version = w.p;

  if (d.origin_present && d.origin) {
    const sdp_origin& o = *d.origin;
    w.bytes("o=", 2);
    w.str(o.user);
    w.bytes(" ", 1);
    w.str(o.session_id);
    w.bytes(" ", 1);
    w.str(o.version);
    w.bytes(" ", 1);
    w.text(o.nettype_text);
    w.text(o.addrtype == SDP_ADDR_IP6 ? " IP6 " : " IP4 ");
    w.address(o.addr, o.host);
    w.crlf();
  }
  if (set_str(s.name)) {
    w.bytes("s=", 2);
    w.str(s.name);
    w.crlf();
  }
  write_connection(w, s.conn);
  write_bandwidth(w, s.bwtype, s.bwtype_text, s.bw_value);
  if (set_str(s.start_time)) {
    w.bytes("t=", 2);
    w.str(s.start_time);
    w.bytes(" ", 1);
    w.str(s.stop_time);
    w.crlf();
  }
  w.str(s.extra_lines);
  // The m-lines in the order of the body they came from (an answer keeps
  // the offer's order); a stable merge by media_index.
  struct line_ref {
    u8 index, kind, pos;
  };
  line_ref lines[255];
  unsigned n = 0;
  for (u8 i = 0; i < d.av_count && n < 255; ++i) lines[n++] = {d.av[i].media_index, 0, i};
  for (u8 i = 0; i < d.image_count && n < 255; ++i) lines[n++] = {d.image[i].media_index, 1, i};
  for (u8 i = 0; i < d.other_count && n < 255; ++i) lines[n++] = {d.other[i].media_index, 2, i};
  std::stable_sort(lines, lines + n, [](const line_ref& a, const line_ref& b) { return a.index < b.index; });
  for (unsigned k = 0; k < n; ++k) {
    if (lines[k].kind == 0) write_av(w, d, lines[k].pos);
    else if (lines[k].kind == 1) write_image(w, d.image[lines[k].pos]);
    else write_other(w, d.other[lines[k].pos]);
  }

  if (w.failed) return SIP_RESULT_NOK;
  if (w.p != after_version) *pos = w.p;
  return SIP_RESULT_OK;
}
