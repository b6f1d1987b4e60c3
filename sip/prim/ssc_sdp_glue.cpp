#include "sip/prim/ssc_sdp_glue.h"

#include <cstring>

#include "runtime/buffer.h"

ssc_sdp_glue_hooks ssc_sdp_glue_env;
ssc_sdp_error_t ssc_sdp_error;

namespace {

using H = ssc_header_id;

// The module's description and its records.
sdp_records records;
sdp_desc desc;

// The parser's work area (payload types, address bytes, extra lines).  A
// runtime buffer (1600 bytes) is too small for a full description: every
// level with lines the parser does not read takes 255 bytes of it, and a
// media line that finds no room for its formats refuses the whole body.
constexpr u16 WORK_ROOM = (SDP_MAX_MEDIA + 1) * (SDP_EXTRA_LINES_ROOM + 2 * SDP_MAX_FORMATS + 24);
u8 work_area[WORK_ROOM];

// Clears every record and points the description at them, counts 0.
void reset_desc() {
  records = sdp_records{};
  desc = records.describe();
}

// Part number of a body-part header.
u8* part_of(H id, void* inst) {
  switch (id) {
    case H::BODY: return &static_cast<ssc_hdr_body*>(inst)->part;
    case H::PART_CONTENT_TYPE: return &static_cast<ssc_hdr_part_type*>(inst)->part;
    default: return &static_cast<ssc_hdr_part_headers*>(inst)->part;
  }
}
bool part_matches(u8 have, u8 n) { return have == n || (n == 0 && have == 0xFF); }
constexpr H PART_IDS[] = {H::BODY, H::PART_CONTENT_TYPE, H::PART_HEADERS};

// ---------------------------------------------------------------------------
// Received text -> SSC headers

// A NUL-terminated copy of s in the handle, null for an empty s; *ok cleared
// when the handle has no room.
const char* copy_text(ssc_handle* h, sip_str s, bool* ok) {
  if (s.ptr == nullptr || s.len == 0) return nullptr;
  auto* p = static_cast<char*>(Ssc_alloc_area(h, static_cast<u16>(s.len + 1)));
  if (p == nullptr) {
    *ok = false;
    return nullptr;
  }
  std::memcpy(p, s.ptr, s.len);
  p[s.len] = 0;
  return p;
}
const u8* copy_bytes(ssc_handle* h, const u8* src, u16 n, bool* ok) {
  if (src == nullptr || n == 0) return nullptr;
  auto* p = static_cast<u8*>(Ssc_alloc_area(h, n));
  if (p == nullptr) {
    *ok = false;
    return nullptr;
  }
  std::memcpy(p, src, n);
  return p;
}
// Address of a connection: '4' and the bytes, 'N' and the host text, or the
// family left as it is.
void copy_addr(ssc_handle* h, const sdp_connection& c, u8* family, u8* v4, const char** host, bool host_when_no_addr,
               bool* ok) {
  if (c.addr.len == 4) {
    *family = '4';
    std::memcpy(v4, c.addr.ptr, 4);
  } else if (c.host.len > 0 || host_when_no_addr) {
    *family = 'N';
  }
  *host = copy_text(h, c.host, ok);
}

bool has_ipv6() {
  if (desc.session->conn.addrtype == SDP_ADDR_IP6) return true;
  if (desc.origin_present && desc.origin->addrtype == SDP_ADDR_IP6) return true;
  for (u8 i = 0; i < desc.av_count; ++i)
    if (desc.av[i].conn.addrtype == SDP_ADDR_IP6) return true;
  for (u8 i = 0; i < desc.other_count; ++i)
    if (desc.other[i].conn.addrtype == SDP_ADDR_IP6) return true;
  for (u8 i = 0; i < desc.image_count; ++i)
    if (desc.image[i].conn.addrtype == SDP_ADDR_IP6) return true;
  return false;
}

// The fields every media line has: port, network type, bandwidth, key
// method and position.
template <class Rec, class Hdr>
void media_line_to_header(const Rec& m, Hdr* hm) {
  hm->port = m.port;
  hm->net_type = m.conn.nettype;
  hm->bw_type = m.bwtype;
  hm->bw_value = m.bw_value;
  hm->key_method = m.keymethod;
  hm->media_pos = m.media_index;
}

bool headers_from_desc(ssc_handle* h) {
  bool ok = true;
  const sdp_session& s = *desc.session;
  auto* hs = static_cast<ssc_hdr_sdp_session*>(Ssc_alloc_header(h, H::SDP_MAIN_BODY));
  if (hs == nullptr) return false;
  hs->net_type = s.conn.nettype;
  hs->bw_type = s.bwtype;
  hs->bw_value = s.bw_value;
  copy_addr(h, s.conn, &hs->family, hs->v4, &hs->host, true, &ok);
  hs->session_name = copy_text(h, s.name, &ok);
  hs->start_time = copy_text(h, s.start_time, &ok);
  hs->stop_time = copy_text(h, s.stop_time, &ok);
  hs->extra = copy_text(h, s.extra_lines, &ok);
  hs->media_lines = desc.media_lines < 0xFE ? desc.media_lines : u8{0xFE};  // 0xFF: not counted
  if (desc.origin_present) {
    const sdp_origin& o = *desc.origin;
    auto* ho = static_cast<ssc_hdr_sdp_origin*>(Ssc_alloc_header(h, H::ORIGIN_CNCT_DESCR));
    if (ho == nullptr) return false;
    ho->net_type = o.nettype;
    ho->user = copy_text(h, o.user, &ok);
    ho->session_id = copy_text(h, o.session_id, &ok);
    ho->version = copy_text(h, o.version, &ok);
    if (o.addr.len == 4) {
      ho->family = '4';
      std::memcpy(ho->v4, o.addr.ptr, 4);
    } else {
      ho->family = 'N';
    }
    ho->host = copy_text(h, o.host, &ok);
  }
  for (u8 i = 0; i < desc.av_count; ++i) {
    const sdp_media_av& m = desc.av[i];
    auto* hm = static_cast<ssc_hdr_sdp_media*>(Ssc_alloc_header(h, H::AUDIO_CNCT_DESCR));
    if (hm == nullptr) return false;
    media_line_to_header(m, hm);
    hm->kind = m.kind;
    hm->port_count = m.port_count;
    hm->transport = m.transport;
    hm->direction = m.direction;
    hm->ptime = m.ptime;
    hm->maxptime = m.maxptime;
    copy_addr(h, m.conn, &hm->family, hm->v4, &hm->host, false, &ok);
    hm->format_count = m.format_count;
    hm->formats = copy_bytes(h, m.formats, m.format_count, &ok);
    hm->key = copy_text(h, m.key, &ok);
    hm->extra = copy_text(h, m.extra_lines, &ok);
  }
  for (u8 i = 0; i < desc.rtpmap_count; ++i) {
    const sdp_rtpmap& r = desc.rtpmap[i];
    auto* hr = static_cast<ssc_hdr_sdp_rtpmap*>(Ssc_alloc_header(h, H::RTP_CNCT_DESCR));
    if (hr == nullptr) return false;
    hr->payload_type = r.payload_type;
    hr->codec = r.codec;
    hr->clock_rate = r.clock_rate;
    hr->channels = r.channels;
    hr->encoding = copy_text(h, r.encoding_name, &ok);
    hr->fmtp = copy_text(h, r.fmtp, &ok);
  }
  for (u8 i = 0; i < desc.other_count; ++i) {
    const sdp_media_other& m = desc.other[i];
    auto* hm = static_cast<ssc_hdr_sdp_other_media*>(Ssc_alloc_header(h, H::OTHER_CNCT_DESCR));
    if (hm == nullptr) return false;
    media_line_to_header(m, hm);
    hm->port_count = m.port_count;
    hm->media_name = copy_text(h, m.name, &ok);
    hm->transport = copy_text(h, m.transport, &ok);
    copy_addr(h, m.conn, &hm->family, hm->v4, &hm->host, false, &ok);
    hm->format = copy_text(h, m.format, &ok);
    hm->format2 = copy_text(h, m.format2, &ok);
    hm->key = copy_text(h, m.key, &ok);
    hm->extra_count = m.extra_lines.len;
    hm->extra = copy_bytes(h, reinterpret_cast<const u8*>(m.extra_lines.ptr), m.extra_lines.len, &ok);
  }
  for (u8 i = 0; i < desc.image_count; ++i) {
    const sdp_media_image& m = desc.image[i];
    auto* ht = static_cast<ssc_hdr_sdp_t38*>(Ssc_alloc_header(h, H::T38_CNCT_DESCR));
    if (ht == nullptr) return false;
    media_line_to_header(m, ht);
    ht->kind = m.kind;
    ht->format = m.format;
    ht->transport = m.transport;
    ht->direction = m.direction;
    ht->version = m.t38_version;
    ht->max_bit_rate = m.t38_max_bit_rate;
    ht->fill_bit_removal = m.t38_fill_bit_removal;
    ht->mmr = m.t38_transcoding_mmr;
    ht->jbig = m.t38_transcoding_jbig;
    ht->rate_management = m.t38_rate_management;
    ht->max_buffer = m.t38_max_buffer;
    ht->max_datagram = m.t38_max_datagram;
    ht->udp_ec = m.t38_udp_ec;
    copy_addr(h, m.conn, &ht->family, ht->v4, &ht->host_name, false, &ok);
    ht->key = copy_text(h, m.key, &ok);
    ht->extra = copy_text(h, m.extra_lines, &ok);
  }
  return ok;
}

void report_refused() {
  if (ssc_sdp_glue_env.report_error != nullptr) ssc_sdp_glue_env.report_error('k', 'r', SSC_SDP_REPORT_REFUSED);
}

// Holds a runtime buffer for one conversion.
struct buffer_holder {
  buffer_t* b = Alloc_buffer();
  ~buffer_holder() {
    if (b != nullptr) Free_buffer(b);
  }
  buffer_holder() = default;
  buffer_holder(const buffer_holder&) = delete;
  buffer_holder& operator=(const buffer_holder&) = delete;
};

// ---------------------------------------------------------------------------
// SSC headers -> text

bool text_of(u8 code, const char** text, const sdp_table& t, bool none_ok) {
  if (none_ok && code == SDP_NONE8) {
    *text = nullptr;
    return true;
  }
  return sdp_table__text_by_code(code, text, t.rows, t.count) == SIP_RESULT_OK;
}
bool both_or_text(u8 code, const char** text, const sdp_table& t) {
  if (code == SDP_BOTH_SEEN) {
    *text = nullptr;
    return true;
  }
  return text_of(code, text, t, true);
}

sip_str str(const char* p) {
  if (!ssc_ptr_set(p)) return {};
  return {static_cast<u16>(strnlen(p, 0xFFFE)), p};
}
bool each(const char* p, bool (*ok)(unsigned char)) {
  for (; *p; ++p)
    if (!ok(static_cast<unsigned char>(*p))) return false;
  return true;
}
bool visible(unsigned char c) { return c > 0x20 && c < 0x7F; }
bool printable(unsigned char c) { return c >= 0x20 && c < 0x7F; }
bool digit(unsigned char c) { return c >= '0' && c <= '9'; }
bool alnum(unsigned char c) { return digit(c) || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
bool token(unsigned char c) { return sdp_in_class(c, SDP_CL_TOKEN); }
bool host_char(unsigned char c) { return visible(c) && c != '*' && c != '/' && c != '@' && c != '~'; }
bool present(const char* p) { return ssc_ptr_set(p) && *p != 0; }
bool host_ok(const char* p) { return present(p) && each(p, host_char); }
bool opt(const char* p, bool (*ok)(unsigned char)) { return !present(p) || each(p, ok); }
bool key_ok(const char* p) { return !present(p) || sdp_str__check_class(str(p), 0, 0x20) == SIP_RESULT_OK; }
// Further lines: whole lines of printable characters, each ending in CR LF.
bool lines_ok(const u8* p, u16 n) {
  bool start = true;
  for (u16 i = 0; i < n; ++i) {
    if (p[i] == '\r') {
      if (start || i + 1 >= n || p[i + 1] != '\n') return false;
      ++i;
      start = true;
    } else if (!printable(p[i])) {
      return false;
    } else {
      start = false;
    }
  }
  return start;
}
bool extra_ok(const char* p) {
  return !present(p) || lines_ok(reinterpret_cast<const u8*>(p), static_cast<u16>(strnlen(p, 0xFFFE)));
}

// The address of a record: family '4' the bytes, 'N' the host; 0xFF keeps
// what the (cleared) record holds; '6' and others are refused.
bool set_addr(sdp_connection& c, u8 family, const u8* v4, const char* host, bool required) {
  if (family == '4') {
    c.addr = {4, reinterpret_cast<const char*>(v4)};
    c.host = {};
  } else if (family == 'N') {
    if (!host_ok(host)) return false;
    c.addr = {};
    c.host = str(host);
  } else if (family != 0xFF) {
    return false;
  }
  if (required && c.addr.len != 4 && !host_ok(host)) return false;
  return true;
}

bool conv_session(const ssc_hdr_sdp_session& s) {
  sdp_session& r = records.session;
  r.conn.nettype = s.net_type;
  r.bwtype = s.bw_type;
  r.bw_value = s.bw_value;
  if (!text_of(s.net_type, &r.conn.nettype_text, sdp_nettype_table, true)) return false;
  if (!text_of(s.bw_type, &r.bwtype_text, sdp_bwtype_table, true)) return false;
  if (s.family == '6') return false;
  if (s.net_type != SDP_NONE8 && !set_addr(r.conn, s.family == 0xFF ? 'N' : s.family, s.v4, s.host, true)) return false;
  if (!opt(s.session_name, printable) || !opt(s.start_time, digit) || !opt(s.stop_time, digit)) return false;
  if (!extra_ok(s.extra)) return false;
  r.name = str(s.session_name);
  r.start_time = str(s.start_time);
  r.stop_time = str(s.stop_time);
  r.extra_lines = str(s.extra);
  return true;
}

bool conv_origin(const ssc_hdr_sdp_origin& o) {
  sdp_origin& r = records.origin;
  r.nettype = o.net_type;
  if (!text_of(o.net_type, &r.nettype_text, sdp_nettype_table, true)) return false;
  if (!present(o.user) || !each(o.user, visible)) return false;
  if (!present(o.session_id) || !each(o.session_id, digit)) return false;
  if (!opt(o.version, digit)) return false;
  if (o.family == '4') {
    r.addr = {4, reinterpret_cast<const char*>(o.v4)};
  } else if (o.family == 'N' || o.family == 0xFF) {
    if (!host_ok(o.host)) return false;
    r.host = str(o.host);
  } else {
    return false;
  }
  r.user = str(o.user);
  r.session_id = str(o.session_id);
  r.version = str(o.version);
  return true;
}

bool format_ok(u8 pt) {
  const char* t = nullptr;
  return (pt >= 96 && pt <= 127) || sdp_table__text_by_code(pt, &t, sdp_codec_table.rows, sdp_codec_table.count) == 2;
}

// The fields every media line has (port, network type, bandwidth, key
// method, position) and its address; false when a code has no text or the
// address is refused.
template <class Hdr, class Rec>
bool media_line_from_header(const Hdr& m, const char* host, Rec& r) {
  r.port = m.port;
  r.conn.nettype = m.net_type;
  r.bwtype = m.bw_type;
  r.bw_value = m.bw_value;
  r.keymethod = m.key_method;
  r.media_index = m.media_pos;
  if (!text_of(m.net_type, &r.conn.nettype_text, sdp_nettype_table, true) ||
      !text_of(m.bw_type, &r.bwtype_text, sdp_bwtype_table, true) ||
      !text_of(m.key_method, &r.keymethod_text, sdp_keymethod_table, true))
    return false;
  if (m.family == '6') return false;
  return set_addr(r.conn, m.family, m.v4, host, m.net_type != SDP_NONE8);
}

bool conv_av(const ssc_hdr_sdp_media& m, sdp_media_av& r) {
  r.kind = m.kind;
  r.port_count = m.port_count;
  r.transport = m.transport;
  r.direction = m.direction;
  r.ptime = m.ptime;
  r.maxptime = m.maxptime;
  if (!text_of(m.kind, &r.kind_text, sdp_media_table, false) ||
      !text_of(m.direction, &r.direction_text, sdp_direction_table, true) ||
      !text_of(m.transport, &r.transport_text, sdp_transport_table, false))
    return false;
  const u16 n = ssc_ptr_set(m.formats) && m.format_count != 0xFFFF ? m.format_count : 0;
  if (n > SDP_MAX_FORMATS) return false;
  for (u16 i = 0; i < n; ++i)
    if (!format_ok(m.formats[i])) return false;
  r.format_count = n;
  r.formats = n > 0 ? m.formats : nullptr;
  if (!media_line_from_header(m, m.host, r)) return false;
  if (!key_ok(m.key) || !extra_ok(m.extra)) return false;
  r.key = str(m.key);
  r.extra_lines = str(m.extra);
  return true;
}

bool conv_rtpmap(const ssc_hdr_sdp_rtpmap& m, sdp_rtpmap& r) {
  r.payload_type = m.payload_type;
  r.codec = m.codec;
  r.clock_rate = m.clock_rate;
  r.channels = m.channels;
  if (present(m.encoding)) {
    if (sdp_str__check_class(str(m.encoding), 1, 0x20) != SIP_RESULT_OK) return false;
    r.encoding_name = str(m.encoding);
  } else if (m.codec != SDP_NONE8) {
    if (sdp_table__text_by_code(m.codec, &r.codec_text, sdp_codec_table.rows, sdp_codec_table.count) != 2) return false;
  }
  if (m.codec != SDP_NONE8 && r.codec_text == nullptr)
    sdp_table__text_by_code(m.codec, &r.codec_text, sdp_codec_table.rows, sdp_codec_table.count);
  if (!opt(m.fmtp, printable)) return false;
  r.fmtp = str(m.fmtp);
  return true;
}

bool conv_other(const ssc_hdr_sdp_other_media& m, sdp_media_other& r) {
  r.port_count = m.port_count;
  if (!media_line_from_header(m, m.host, r)) return false;
  // The classes the parser takes them in: a name and a transport of visible
  // characters ("TCP/MSRP"), a format of token characters ("*", "t140").
  if (!opt(m.media_name, visible) || !opt(m.transport, visible) || !opt(m.format, token) || !opt(m.format2, alnum))
    return false;
  if (present(m.media_name) && strnlen(m.media_name, 17) > 16) return false;
  if (present(m.transport) && strnlen(m.transport, 9) > 8) return false;
  if (present(m.format) && strnlen(m.format, 65) > 64) return false;
  if (present(m.format2) && strnlen(m.format2, 65) > 64) return false;
  if (!key_ok(m.key)) return false;
  const u16 n = ssc_ptr_set(m.extra) && m.extra_count != 0xFFFF ? m.extra_count : 0;
  if (n > SDP_EXTRA_LINES_ROOM || !lines_ok(m.extra, n)) return false;
  r.name = str(m.media_name);
  r.transport = str(m.transport);
  r.format = str(m.format);
  r.format2 = str(m.format2);
  r.key = str(m.key);
  r.extra_lines = {n, reinterpret_cast<const char*>(m.extra)};
  return true;
}

bool conv_image(const ssc_hdr_sdp_t38& m, sdp_media_image& r) {
  if (m.kind != SDP_KIND_IMAGE || m.format != SDP_FORMAT_T38) return false;
  r.kind = m.kind;
  r.format = m.format;
  r.transport = m.transport;
  r.direction = m.direction;
  r.t38_version = m.version;
  r.t38_max_bit_rate = m.max_bit_rate;
  r.t38_fill_bit_removal = m.fill_bit_removal;
  r.t38_transcoding_mmr = m.mmr;
  r.t38_transcoding_jbig = m.jbig;
  r.t38_rate_management = m.rate_management;
  r.t38_max_buffer = m.max_buffer;
  r.t38_max_datagram = m.max_datagram;
  r.t38_udp_ec = m.udp_ec;
  if (!text_of(m.kind, &r.kind_text, sdp_image_table, false) ||
      !text_of(m.format, &r.format_text, sdp_t38_format_table, false) ||
      !text_of(m.transport, &r.transport_text, sdp_transport_table, false) ||
      !text_of(m.direction, &r.direction_text, sdp_direction_table, true) ||
      !both_or_text(m.rate_management, &r.t38_rate_management_text, sdp_ratemgmt_table) ||
      !both_or_text(m.udp_ec, &r.t38_udp_ec_text, sdp_udpec_table))
    return false;
  if (!media_line_from_header(m, m.host_name, r)) return false;
  if (!key_ok(m.key) || !extra_ok(m.extra)) return false;
  r.key = str(m.key);
  r.extra_lines = str(m.extra);
  return true;
}

// The m-line order of the text: the positions the headers carry when every
// media header has its own; otherwise audio/video, image, other media in
// list order.
void order_media() {
  bool seen[256] = {};
  bool usable = true;
  auto take = [&](u8 pos) {
    if (pos == 0xFF || seen[pos]) usable = false;
    else seen[pos] = true;
  };
  for (u8 i = 0; i < desc.av_count; ++i) take(desc.av[i].media_index);
  for (u8 i = 0; i < desc.image_count; ++i) take(desc.image[i].media_index);
  for (u8 i = 0; i < desc.other_count; ++i) take(desc.other[i].media_index);
  if (usable) return;
  u8 next = 0;
  for (u8 i = 0; i < desc.av_count; ++i) desc.av[i].media_index = next++;
  for (u8 i = 0; i < desc.image_count; ++i) desc.image[i].media_index = next++;
  for (u8 i = 0; i < desc.other_count; ++i) desc.other[i].media_index = next++;
}

u8 fail(u8 number, H id) {
  ssc_sdp_error.number = number;
  ssc_sdp_error.detail = static_cast<u8>(ssc_idx(id));
  return 3;
}

// Converts each instance of a list (at most `max`) and unlinks the list.
template <class Rec, class Conv>
u8 convert_list(ssc_handle* h, H id, u8 max, u8* count, Rec* out, Conv conv, bool unlink = true) {
  void** head = Ssc_list_head(h, id);
  if (head == nullptr) return 2;
  u8 n = 0;
  for (auto* p = static_cast<const typename Conv::inst*>(*head); p != nullptr; p = p->next) {
    if (n == max) return fail(SSC_SDP_TOO_MANY, id);
    if (!conv.run(*p, out[n])) return fail(SSC_SDP_BAD_HEADER, id);
    ++n;
  }
  *count = n;
  if (unlink) *head = nullptr;
  return 2;
}
struct av_conv {
  using inst = ssc_hdr_sdp_media;
  bool run(const inst& i, sdp_media_av& r) const { return conv_av(i, r); }
};
struct rtpmap_conv {
  using inst = ssc_hdr_sdp_rtpmap;
  bool run(const inst& i, sdp_rtpmap& r) const { return conv_rtpmap(i, r); }
};
struct other_conv {
  using inst = ssc_hdr_sdp_other_media;
  bool run(const inst& i, sdp_media_other& r) const { return conv_other(i, r); }
};
struct image_conv {
  using inst = ssc_hdr_sdp_t38;
  bool run(const inst& i, sdp_media_image& r) const { return conv_image(i, r); }
};

}  // namespace

u8 sdp_table__text_by_code(u16 code, const char** text, const sdp_keyword_row* rows, u32 count) {
  for (u32 i = count; i-- > 0;)
    if (rows[i].code == code) {
      *text = rows[i].keyword;
      return 2;
    }
  return 3;
}

bool ssc_sdp__has_part(ssc_handle* h, u8 n) {
  for (H id : PART_IDS)
    for (void* p = *Ssc_list_head(h, id); p != nullptr; p = *static_cast<void**>(p))
      if (part_matches(*part_of(id, p), n)) return true;
  return false;
}

void ssc_sdp__shift_parts(ssc_handle* h, u8 k) {
  for (H id : PART_IDS)
    for (void* p = *Ssc_list_head(h, id); p != nullptr; p = *static_cast<void**>(p)) {
      u8* part = part_of(id, p);
      *part = *part == 0xFF ? k : static_cast<u8>(*part + k);
    }
}

void ssc_sdp__remove_part(ssc_handle* h, u8 n) {
  for (H id : PART_IDS) {
    void** link = Ssc_list_head(h, id);
    while (*link != nullptr) {
      if (*part_of(id, *link) == n) {
        *link = *static_cast<void**>(*link);
        break;
      }
      link = static_cast<void**>(*link);
    }
  }
}

u8 ssc_sdp_decode_body(ssc_handle* h) {
  auto* ct = Ssc_first<ssc_hdr_content_type>(h, H::CONTENT_TYPE);
  if (ct == nullptr) return 2;
  u8 part = 0;
  if (ct->type == 'M') {
    auto* pt = Ssc_first<ssc_hdr_part_type>(h, H::PART_CONTENT_TYPE);
    while (pt != nullptr && !(pt->type == 'A' && pt->subtype == 'H')) pt = pt->next;
    if (pt == nullptr || pt->part == 0xFF) return 2;
    part = pt->part;
  } else if (ct->type != 'A' || ct->subtype != 'H') {
    return 2;
  }
  ssc_hdr_body* body = Ssc_first<ssc_hdr_body>(h, H::BODY);
  while (body != nullptr && !(ct->type == 'M' ? body->part == part : part_matches(body->part, 0))) body = body->next;
  if (body == nullptr) return 2;

  reset_desc();
  u8 r = SDP_PARSE_REFUSED;
  if (ssc_ptr_set(body->bytes) && body->length != 0xFFFF) {
    sdp_work_buf w{work_area, 0, WORK_ROOM};
    const char* pos = reinterpret_cast<const char*>(body->bytes);
    bool ignored = false;
    r = sdp_parse(&pos, pos + body->length, &desc, &w, 0, nullptr, &ignored);
    // A dropped optional T.38 attribute is reported as an event; the offer stands.
    if (ignored && ssc_sdp_glue_env.report_error != nullptr)
      ssc_sdp_glue_env.report_error('k', 'e', SSC_SDP_REPORT_REFUSED);
    if ((r == SDP_PARSE_END || r == SDP_PARSE_EMPTY_LINE) && has_ipv6()) r = SDP_PARSE_REFUSED;
  }
  if (r != SDP_PARSE_END && r != SDP_PARSE_EMPTY_LINE) {
    report_refused();
    ssc_handle* rs = ssc_sdp_glue_env.new_response_handle ? ssc_sdp_glue_env.new_response_handle(h) : nullptr;
    if (rs == nullptr) return 2;  // a response goes up without SDP headers
    auto* st = static_cast<ssc_hdr_status*>(Ssc_alloc_header(rs, H::RETURN_CODE));
    if (st != nullptr) {
      st->code = 400;
      st->reason = "Bad request";
    }
    if (ssc_sdp_glue_env.send_response != nullptr) ssc_sdp_glue_env.send_response(rs);
    return 3;
  }
  const u8 taken = ct->type == 'M' ? part : body->part;
  if (!headers_from_desc(h)) {
    // No room for the description: the message goes on without it.
    for (H id : {H::SDP_MAIN_BODY, H::ORIGIN_CNCT_DESCR, H::AUDIO_CNCT_DESCR, H::RTP_CNCT_DESCR, H::OTHER_CNCT_DESCR,
                 H::T38_CNCT_DESCR})
      *Ssc_list_head(h, id) = nullptr;
    report_refused();
    return 2;
  }
  ssc_sdp__remove_part(h, taken);
  return 2;
}

u8 ssc_sdp_encode_body(ssc_handle* h) {
  ssc_sdp_error = {};
  auto* session = Ssc_first<ssc_hdr_sdp_session>(h, H::SDP_MAIN_BODY);
  if (session == nullptr) return 2;
  auto* ct = Ssc_first<ssc_hdr_content_type>(h, H::CONTENT_TYPE);
  const bool multipart = ct != nullptr && ct->type == 'M';
  u8 part = 0xFF;
  if (multipart) {
    if (ssc_sdp__has_part(h, 0)) ssc_sdp__shift_parts(h, 1);
    part = 0;
  }

  reset_desc();
  if (!conv_session(*session)) return fail(SSC_SDP_BAD_HEADER, H::SDP_MAIN_BODY);
  *Ssc_list_head(h, H::SDP_MAIN_BODY) = nullptr;
  if (auto* o = Ssc_first<ssc_hdr_sdp_origin>(h, H::ORIGIN_CNCT_DESCR)) {
    if (!conv_origin(*o)) return fail(SSC_SDP_BAD_HEADER, H::ORIGIN_CNCT_DESCR);
    desc.origin_present = 1;
    *Ssc_list_head(h, H::ORIGIN_CNCT_DESCR) = nullptr;
  }
  // The media lists share one budget of SDP_MAX_MEDIA lines.
  if (convert_list(h, H::AUDIO_CNCT_DESCR, SDP_MAX_AV, &desc.av_count, desc.av, av_conv{}) != 2) return 3;
  if (convert_list(h, H::RTP_CNCT_DESCR, SDP_MAX_RTPMAP, &desc.rtpmap_count, desc.rtpmap, rtpmap_conv{}) != 2) return 3;
  if (convert_list(h, H::OTHER_CNCT_DESCR, static_cast<u8>(SDP_MAX_MEDIA - desc.av_count), &desc.other_count,
                   desc.other, other_conv{}) != 2)
    return 3;
  if (convert_list(h, H::T38_CNCT_DESCR, static_cast<u8>(SDP_MAX_MEDIA - desc.av_count - desc.other_count),
                   &desc.image_count, desc.image, image_conv{}, false) != 2)
    return 3;
  order_media();

  buffer_holder out;
  if (out.b == nullptr) return fail(SSC_SDP_NO_TEXT, H::BODY);
  char* start = reinterpret_cast<char*>(Buffer_data(out.b));
  char* pos = start;
  if (sdp_encode(&pos, start + om_os_get_buffer_room(), &desc, 0) != SIP_RESULT_OK || pos - start <= 2)
    return fail(SSC_SDP_NO_TEXT, H::BODY);
  const u16 len = static_cast<u16>(pos - start - 2);  // without the leading CR LF
  auto* text = static_cast<u8*>(Ssc_alloc_area(h, len));
  auto* b = static_cast<ssc_hdr_body*>(Ssc_alloc_header(h, H::BODY));
  if (text == nullptr || b == nullptr) return fail(SSC_SDP_NO_TEXT, H::BODY);
  std::memcpy(text, start + 2, len);
  b->part = part;
  b->length = len;
  b->bytes = text;
  if (ct == nullptr) {
    // Without a Content-Type the body would not be written: it is SDP.
    auto* t = static_cast<ssc_hdr_content_type*>(Ssc_alloc_header(h, H::CONTENT_TYPE));
    if (t == nullptr) return fail(SSC_SDP_NO_TEXT, H::CONTENT_TYPE);
    t->type = 'A';
    t->subtype = 'H';
  }
  if (multipart) {
    auto* pt = static_cast<ssc_hdr_part_type*>(Ssc_alloc_header(h, H::PART_CONTENT_TYPE));
    if (pt == nullptr) return fail(SSC_SDP_NO_TEXT, H::PART_CONTENT_TYPE);
    pt->part = part;
    pt->type = 'A';
    pt->subtype = 'H';
  }
  return 2;
}
