// SDP parser: one pass over the lines of the body, storing counted texts that
// point into it and a few bytes in the caller's work buffer.
#include <cstring>

#include "platform/int_types.h"
#include "sip/text/sdp.h"

namespace {

// Answers of the line classifier besides a type letter.
constexpr int SDP_LINE_MALFORMED = 0;
constexpr int SDP_LINE_EMPTY = 0x100;
constexpr int SDP_LINE_DOT = 0x101;
constexpr int SDP_LINE_SKIPPED = 0x102;  // a line of a media line past the budget

struct sdp_parse_ctx {
  const char* pos = nullptr;       // text position
  const char* end = nullptr;       // end of the text
  const char* line_end = nullptr;  // end of the current line (its CR or LF)
  u16 options = 0;
  u8 next_media_index = 0;
  sdp_work_buf* work = nullptr;
  sdp_desc* desc = nullptr;
  u8 level = SDP_LEVEL_SESSION;
  sdp_reason reason = sdp_reason::none;
  bool ignored_attribute = false;  // an optional T.38 attribute was dropped
};

// Outcome of one line's parse.
enum class step { ok, ignored, to_extra, refused };

bool is_blank(char c) { return c == ' ' || c == '\t'; }
bool is_digit(char c) { return c >= '0' && c <= '9'; }
bool is_visible(char c) { return c > ' ' && c < 0x7F; }
bool is_alnum(char c) { return sdp_in_class(static_cast<u8>(c), SDP_CL_DIGIT | SDP_CL_ALPHA); }

const char* skip_blanks(const char* p, const char* le) {
  while (p < le && is_blank(*p)) ++p;
  return p;
}
const char* run_to_blank(const char* p, const char* le) {
  while (p < le && !is_blank(*p)) ++p;
  return p;
}
template <typename Pred>
const char* run_while(const char* p, const char* le, Pred pred) {
  while (p < le && pred(*p)) ++p;
  return p;
}

sip_str text_of(const char* from, const char* to) { return sip_str{static_cast<u16>(to - from), from}; }

bool same(const char* from, const char* to, const char* word) {
  size_t n = std::strlen(word);
  return static_cast<size_t>(to - from) == n && std::memcmp(from, word, n) == 0;
}

u8 lookup(const sdp_table& t, const char* from, const char* to, bool nocase, u8* code) {
  if (to - from > 0xFFFF) return SIP_RESULT_NOK;
  const char* p = from;
  auto n = static_cast<u16>(to - from);
  return nocase ? sdp_keyword__lookup_nocase(&p, n, t.rows, t.count, code)
                : sdp_keyword__lookup(&p, n, t.rows, t.count, code);
}

// Reads a run of digits at *p.  `none` when there is no digit; `too_large`
// when the value exceeds `max`.
enum class num { ok, none, too_large };
num read_number(const char** p, const char* le, u32 max, u32* value) {
  const char* q = run_while(*p, le, is_digit);
  if (q == *p) return num::none;
  u32 v = 0;
  if (q - *p > 0xFFFF || !sip_num__dec(*p, static_cast<u16>(q - *p), &v) || v > max) return num::too_large;
  *p = q;
  *value = v;
  return num::ok;
}

// Reads the port of a media line and the "/count" that may follow it; on
// failure, how the first failing number failed.
num read_port(const char** p, const char* le, u16* port, u8* count) {
  u32 v = 0;
  num n = read_number(p, le, 0xFFFF, &v);
  if (n != num::ok) return n;
  *port = static_cast<u16>(v);
  if (*p < le && **p == '/') {
    ++*p;
    n = read_number(p, le, 0xFF, &v);
    if (n != num::ok) return n;
    *count = static_cast<u8>(v);
  }
  return num::ok;
}

step refuse(sdp_parse_ctx& c, sdp_reason r) {
  c.reason = r;
  return step::refused;
}

// ---------------------------------------------------------------------------
// Lines

// Moves past the next LF: 1 after a lone LF, 2 after CR LF, 0 at the end of
// the text.  A CR not followed by LF is passed over with the character after it.
int sdp_line__skip(sdp_parse_ctx& c) {
  while (c.pos < c.end) {
    char ch = *c.pos++;
    if (ch == '\n') return 1;
    if (ch == '\r') {
      if (c.pos < c.end && *c.pos == '\n') {
        ++c.pos;
        return 2;
      }
      if (c.pos < c.end) ++c.pos;
    }
  }
  return 0;
}

// Classifies the line at the position; for a type letter (other than "v") it
// sets the line end and leaves the position just after the "=".
int sdp_line__type(sdp_parse_ctx& c) {
  const char* p = c.pos;
  const char* e = c.end;
  // The length of a line end (LF or CR LF) at q, 0 when none is there.
  const auto line_end_at = [e](const char* q) -> unsigned {
    if (q < e && q[0] == '\n') return 1;
    return q + 1 < e && q[0] == '\r' && q[1] == '\n' ? 2 : 0;
  };
  if (const unsigned n = line_end_at(p)) {
    c.pos = p + n;
    return SDP_LINE_EMPTY;
  }
  if (p[0] == '.') {
    if (const unsigned n = line_end_at(p + 1)) {
      c.pos = p + 1 + n;
      return SDP_LINE_DOT;
    }
  }
  if (p + 1 >= e || p[1] != '=') return SDP_LINE_MALFORMED;
  if (p + 2 < e && is_blank(p[2])) return SDP_LINE_MALFORMED;
  if (p[0] == 'v') return 'v';
  const char* le = p + 2;
  while (le < e && *le != '\r' && *le != '\n') ++le;
  // A NUL byte has no place in an SDP line: the line is malformed.
  if (std::memchr(p, 0, static_cast<size_t>(le - p)) != nullptr) return SDP_LINE_MALFORMED;
  c.line_end = le;
  c.pos = p + 2;
  return static_cast<u8>(p[0]);
}

// ---------------------------------------------------------------------------
// Level records

// Calls f with the record of the current level: the newest media
// description of the level's kind, or the session.
template <class F>
decltype(auto) at_level(sdp_parse_ctx& c, F f) {
  sdp_desc& d = *c.desc;
  switch (c.level) {
    case SDP_KIND_AUDIO:
    case SDP_KIND_VIDEO: return f(d.av[d.av_count - 1]);
    case SDP_LEVEL_IMAGE: return f(d.image[d.image_count - 1]);
    case SDP_LEVEL_OTHER: return f(d.other[d.other_count - 1]);
    default: return f(*d.session);
  }
}

sdp_connection* level_conn(sdp_parse_ctx& c) {
  return at_level(c, [](auto& r) { return &r.conn; });
}

sip_str* level_extra(sdp_parse_ctx& c) {
  return at_level(c, [](auto& r) { return &r.extra_lines; });
}

// Adds the whole line (from its type letter) and CR LF to the level's extra
// lines; its room is taken from the work buffer with the first line.  A line
// that does not fit is dropped.
void add_extra_line(sdp_parse_ctx& c, const char* line_start) {
  sip_str* x = level_extra(c);
  if (x->ptr == nullptr) {
    u8* room = sdp_work__room(SDP_EXTRA_LINES_ROOM, c.work);
    if (room == nullptr) return;
    c.work->size = static_cast<u16>(c.work->size + SDP_EXTRA_LINES_ROOM);
    *x = sip_str{0, reinterpret_cast<const char*>(room)};
  }
  size_t n = static_cast<size_t>(c.line_end - line_start);
  if (x->len + n + 2 > SDP_EXTRA_LINES_ROOM) return;
  char* w = const_cast<char*>(x->ptr) + x->len;
  std::memcpy(w, line_start, n);
  w[n] = '\r';
  w[n + 1] = '\n';
  x->len = static_cast<u16>(x->len + n + 2);
}

// ---------------------------------------------------------------------------
// Addresses

// A dotted quad: 4 parts of 1 to 3 digits, dot-separated, covering [p, e).
bool is_dotted_quad_form(const char* p, const char* e) {
  for (int part = 0; part < 4; ++part) {
    const char* q = run_while(p, e, is_digit);
    if (q == p || q - p > 3) return false;
    p = q;
    if (part < 3) {
      if (p >= e || *p != '.') return false;
      ++p;
    }
  }
  return p == e;
}

// Reads the address run of a connection, origin or subnet.  A dotted quad
// becomes 4 bytes in the work buffer; an octet above 255 is refused.
sdp_reason read_address(sdp_parse_ctx& c, const char* p, const char* run_end, u8 addrtype, sip_str* addr,
                        sip_str* host) {
  if (run_end == p) return sdp_reason::bad_connection;
  *addr = sip_str{};
  *host = sip_str{};
  if (addrtype == SDP_ADDR_IP4 && is_dotted_quad_form(p, run_end)) {
    u8 bytes[4];
    const char* q = p;
    for (u8& b : bytes) {
      u32 v = 0;
      if (read_number(&q, run_end, 255, &v) != num::ok) return sdp_reason::number_too_large;
      b = static_cast<u8>(v);
      if (q < run_end) ++q;  // the dot
    }
    u8* room = sdp_work__room(4, c.work);
    if (room == nullptr) return sdp_reason::work_buffer_full;
    std::memcpy(room, bytes, 4);
    c.work->size = static_cast<u16>(c.work->size + 4);
    *addr = sip_str{4, reinterpret_cast<const char*>(room)};
    return sdp_reason::none;
  }
  if (run_end - p > SDP_HOST_MAX) return sdp_reason::bad_connection;
  *host = text_of(p, run_end);
  return sdp_reason::none;
}

bool address_char(char ch) { return is_visible(ch) && ch != '*' && ch != '/' && ch != '@' && ch != '~'; }

// "IP4" or "IP6" followed by a blank.
bool read_addrtype(const char** p, const char* le, u8* addrtype) {
  const char* q = *p;
  if (le - q < 4 || !is_blank(q[3])) return false;
  if (std::memcmp(q, "IP4", 3) == 0) {
    *addrtype = SDP_ADDR_IP4;
  } else if (std::memcmp(q, "IP6", 3) == 0) {
    *addrtype = SDP_ADDR_IP6;
  } else {
    return false;
  }
  *p = q + 3;
  return true;
}

// ---------------------------------------------------------------------------
// Line parsers

step parse_connection(sdp_parse_ctx& c, const char* p, const char* le) {
  sdp_connection* conn = level_conn(c);
  conn->extra = sip_str{};
  conn->addr = sip_str{};
  conn->host = sip_str{};
  conn->addrtype = SDP_ADDR_IP4;
  const char* nt_end = run_to_blank(p, le);
  if (nt_end == le) return refuse(c, sdp_reason::bad_connection);
  u8 nettype = 0;
  if (lookup(sdp_nettype_table, p, nt_end, false, &nettype) != SIP_RESULT_OK)
    return refuse(c, sdp_reason::bad_connection);
  conn->nettype = nettype;
  p = skip_blanks(nt_end, le);
  if (nettype == SDP_NET_IN) {
    u8 addrtype = SDP_ADDR_IP4;
    if (!read_addrtype(&p, le, &addrtype)) return refuse(c, sdp_reason::bad_connection);
    conn->addrtype = addrtype;
    p = skip_blanks(p, le);
    sdp_reason r = read_address(c, p, run_while(p, le, address_char), addrtype, &conn->addr, &conn->host);
    if (r != sdp_reason::none) return refuse(c, r);
  } else if (nettype == SDP_NET_LOCAL) {
    const char* at_end = run_to_blank(p, le);
    if (at_end == le || !same(p, at_end, "EPN")) return refuse(c, sdp_reason::bad_connection);
    p = skip_blanks(at_end, le);
    const char* x_end = run_while(p, le, [](char ch) { return is_visible(ch) && ch != '@' && ch != '~'; });
    if (x_end == p) return refuse(c, sdp_reason::bad_connection);
    conn->extra = text_of(p, x_end);
  }
  return step::ok;
}

step parse_origin(sdp_parse_ctx& c, const char* p, const char* le) {
  sdp_origin o;
  const char* u_end = run_while(p, le, is_visible);
  if (u_end == le || u_end == p || u_end - p > 64) return step::ignored;
  o.user = text_of(p, u_end);
  p = skip_blanks(u_end, le);
  const char* id_end = run_while(p, le, is_digit);
  if (id_end == p || id_end - p > 20) return step::ignored;
  o.session_id = text_of(p, id_end);
  p = skip_blanks(id_end, le);
  const char* v_end = run_while(p, le, is_digit);
  if (v_end == p || v_end - p > 20) return step::ignored;
  o.version = text_of(p, v_end);
  p = skip_blanks(v_end, le);
  const char* nt_end = run_to_blank(p, le);
  if (nt_end == le || lookup(sdp_nettype_table, p, nt_end, false, &o.nettype) != SIP_RESULT_OK) return step::ignored;
  p = skip_blanks(nt_end, le);
  if (o.nettype == SDP_NET_IN) {
    if (!read_addrtype(&p, le, &o.addrtype)) return step::ignored;
    p = skip_blanks(p, le);
    if (read_address(c, p, run_while(p, le, address_char), o.addrtype, &o.addr, &o.host) != sdp_reason::none)
      return step::ignored;
  }
  *c.desc->origin = o;
  return step::ok;
}

// Fills the "none" values every media record starts with.
void start_media(sdp_parse_ctx& c, u8* media_index) { *media_index = c.next_media_index++; }

step parse_media(sdp_parse_ctx& c, const char* p, const char* le) {
  sdp_desc& d = *c.desc;
  if (d.media_lines < 0xFF) ++d.media_lines;
  if (d.av_count + d.image_count + d.other_count >= SDP_MAX_MEDIA) {
    // Past the budget: counted, not read; its lines are skipped with it.
    c.level = SDP_LEVEL_SKIPPED;
    return step::ok;
  }
  const char* name_end = run_to_blank(p, le);
  u8 kind = 0;
  u32 v = 0;

  if (lookup(sdp_media_table, p, name_end, true, &kind) == SIP_RESULT_OK) {
    if (d.av_count >= SDP_MAX_AV) return refuse(c, sdp_reason::too_many_media);
    sdp_media_av m;
    const char* q = skip_blanks(name_end, le);
    num n = read_port(&q, le, &m.port, &m.port_count);
    if (n != num::ok) return refuse(c, n == num::none ? sdp_reason::bad_media : sdp_reason::number_too_large);
    q = skip_blanks(q, le);
    const char* t_end = run_to_blank(q, le);
    if (t_end == le || lookup(sdp_transport_table, q, t_end, false, &m.transport) != SIP_RESULT_OK)
      return refuse(c, sdp_reason::bad_media);
    u8* room = sdp_work__room(SDP_MAX_FORMATS, c.work);
    if (room == nullptr) return refuse(c, sdp_reason::work_buffer_full);
    q = skip_blanks(t_end, le);
    u16 count = 0;
    while (count < SDP_MAX_FORMATS && q < le) {
      const char* f_end = run_to_blank(q, le);
      if (run_while(q, f_end, is_digit) == f_end) {
        const char* r = q;
        if (read_number(&r, f_end, 0xFF, &v) != num::ok) return refuse(c, sdp_reason::number_too_large);
        room[count++] = static_cast<u8>(v);
      } else {
        // A format that is not a payload-type number keeps its slot as 0xFF,
        // which the encoder writes as "$".
        room[count++] = 0xFF;
      }
      q = skip_blanks(f_end, le);
    }
    // A media line names at least one format.
    if (count == 0) return refuse(c, sdp_reason::bad_media);
    c.work->size = static_cast<u16>(c.work->size + count);
    m.format_count = count;
    m.formats = room;
    m.kind = kind;
    m.direction = d.session->direction;
    start_media(c, &m.media_index);
    d.av[d.av_count++] = m;
    c.level = kind;
    return step::ok;
  }

  if (lookup(sdp_image_table, p, name_end, true, &kind) == SIP_RESULT_OK && d.image_count < SDP_MAX_IMAGE) {
    sdp_media_image m;
    const char* q = skip_blanks(name_end, le);
    num n = read_number(&q, le, 0xFFFF, &v);
    if (n == num::too_large) return refuse(c, sdp_reason::number_too_large);
    if (n == num::ok) {
      m.port = static_cast<u16>(v);
      q = skip_blanks(q, le);
      const char* t_end = run_to_blank(q, le);
      if (t_end == le) return refuse(c, sdp_reason::bad_media);
      if (lookup(sdp_transport_table, q, t_end, false, &m.transport) == SIP_RESULT_OK) {
        q = skip_blanks(t_end, le);
        const char* f_end = run_while(q, le, is_alnum);
        if (lookup(sdp_t38_format_table, q, f_end, true, &m.format) == SIP_RESULT_OK) {
          m.kind = SDP_KIND_IMAGE;
          m.direction = d.session->direction;
          start_media(c, &m.media_index);
          d.image[d.image_count++] = m;
          c.level = SDP_LEVEL_IMAGE;
          return step::ok;
        }
      }
    }
    // Not a T.38 stream: read again as other media.
  }

  if (d.other_count >= SDP_MAX_OTHER) return refuse(c, sdp_reason::too_many_media);
  if (name_end == p || name_end - p > 16) return refuse(c, sdp_reason::bad_media);
  sdp_media_other m;
  m.name = text_of(p, name_end);
  const char* q = skip_blanks(name_end, le);
  if (q < le && is_digit(*q)) {
    num n = read_port(&q, le, &m.port, &m.port_count);
    if (n != num::ok) return refuse(c, n == num::none ? sdp_reason::bad_media : sdp_reason::number_too_large);
    q = skip_blanks(q, le);
    const char* t_end = run_to_blank(q, le);
    if (t_end == le || t_end == q || t_end - q > 8) return refuse(c, sdp_reason::bad_media);
    m.transport = text_of(q, t_end);
    q = skip_blanks(t_end, le);
    const char* f_end = run_while(q, le, [](char ch) { return sdp_in_class(static_cast<u8>(ch), SDP_CL_TOKEN); });
    if (f_end == q || f_end - q > 64) return refuse(c, sdp_reason::bad_media);
    m.format = text_of(q, f_end);
    q = skip_blanks(f_end, le);
    const char* f2_end = run_while(q, le, is_alnum);
    if (f2_end - q > 64) return refuse(c, sdp_reason::bad_media);
    m.format2 = text_of(q, f2_end);
    if (m.format2.len == 0) m.format2.ptr = nullptr;
  }
  start_media(c, &m.media_index);
  d.other[d.other_count++] = m;
  c.level = SDP_LEVEL_OTHER;
  return step::ok;
}

step parse_bandwidth(sdp_parse_ctx& c, const char* p, const char* le) {
  const char* colon = static_cast<const char*>(std::memchr(p, ':', static_cast<size_t>(le - p)));
  if (colon == nullptr || colon == p) return refuse(c, sdp_reason::bad_bandwidth);
  u8 type = 0;
  if (lookup(sdp_bwtype_table, p, colon, false, &type) != SIP_RESULT_OK) return step::ignored;
  const char* q = colon + 1;
  u32 v = 0;
  num n = read_number(&q, le, 0xFFFF, &v);
  if (n != num::ok) return refuse(c, n == num::none ? sdp_reason::bad_bandwidth : sdp_reason::number_too_large);
  at_level(c, [&](auto& r) {
    r.bwtype = type;
    r.bw_value = static_cast<u16>(v);
  });
  return step::ok;
}

step parse_key(sdp_parse_ctx& c, const char* p, const char* le) {
  const char* m_end = run_while(p, le, is_alnum);
  u8 method = 0;
  if (m_end == p || lookup(sdp_keymethod_table, p, m_end, false, &method) != SIP_RESULT_OK)
    return refuse(c, sdp_reason::bad_key);
  if (c.level == SDP_LEVEL_SESSION) return step::ok;
  sip_str key;
  if (m_end < le && *m_end == ':') {
    const char* k = m_end + 1;
    const char* k_end = run_while(k, le, [](char ch) { return ch != ','; });
    if (k_end == k || k_end - k > 128) return refuse(c, sdp_reason::bad_key);
    key = text_of(k, k_end);
  }
  at_level(c, [&](auto& r) {
    if constexpr (requires { r.key; }) {  // every level but the session (left above)
      r.keymethod = method;
      r.key = key;
    }
  });
  return step::ok;
}

sdp_rtpmap* find_rtpmap(sdp_desc& d, u8 media_pos, u8 pt) {
  for (u8 i = 0; i < d.rtpmap_count; ++i)
    if (d.rtpmap[i].media_pos == media_pos && d.rtpmap[i].payload_type == pt) return &d.rtpmap[i];
  return nullptr;
}

bool has_format(const sdp_media_av& m, u8 pt) {
  for (u16 i = 0; i < m.format_count; ++i)
    if (m.formats[i] == pt) return true;
  return false;
}

// "a=rtpmap:" and "a=fmtp:" of an audio or video line.
step parse_rtpmap_fmtp(sdp_parse_ctx& c, u8 attr, const char* p, const char* le) {
  sdp_desc& d = *c.desc;
  auto pos = static_cast<u8>(d.av_count - 1);
  sdp_media_av& m = d.av[pos];
  u32 v = 0;
  const char* q = p;
  num n = read_number(&q, le, 0xFF, &v);
  if (n == num::none) return step::to_extra;
  if (n == num::too_large) return refuse(c, sdp_reason::number_too_large);
  auto pt = static_cast<u8>(v);
  sdp_rtpmap* existing = find_rtpmap(d, pos, pt);
  sdp_rtpmap entry;
  if (existing) {
    entry = *existing;
  } else {
    if (!has_format(m, pt)) return step::ignored;
    if (d.rtpmap_count >= SDP_MAX_RTPMAP) {
      if (attr == SDP_ATTR_RTPMAP) return refuse(c, sdp_reason::too_many_rtpmap);
      return step::ignored;
    }
    entry.media_pos = pos;
    entry.payload_type = pt;
  }
  q = skip_blanks(q, le);

  if (attr == SDP_ATTR_FMTP) {
    if (existing && existing->fmtp.len != 0) return step::ignored;
    const char* f_end = run_while(q, le, [](char ch) { return ch >= ' ' && ch <= '~'; });
    // Parameters that cannot be kept (none, or 256 characters and more) make
    // no entry: one without codec, name or parameters would say nothing.
    if (f_end == q || f_end - q >= 256) return step::to_extra;
    entry.fmtp = text_of(q, f_end);
  } else {
    if (existing && (existing->codec != SDP_NONE8 || existing->encoding_name.len != 0)) return step::ignored;
    const char* e_end = run_while(q, le, [](char ch) { return ch != '/'; });
    if (e_end == q) return step::to_extra;
    u8 codec = 0;
    if (lookup(sdp_codec_table, q, e_end, true, &codec) == SIP_RESULT_OK) {
      entry.codec = codec;
    } else {
      if (e_end - q > 32) return step::to_extra;
      entry.encoding_name = text_of(q, e_end);
    }
    q = e_end;
    if (q < le && *q == '/') {
      ++q;
      n = read_number(&q, le, 0xFFFFFFFF, &v);
      if (n == num::none) return step::to_extra;
      if (n == num::too_large) return refuse(c, sdp_reason::number_too_large);
      entry.clock_rate = v;
      if (q < le && *q == '/') {
        ++q;
        n = read_number(&q, le, 0xFF, &v);
        if (n == num::none) return step::to_extra;
        if (n == num::too_large) return refuse(c, sdp_reason::number_too_large);
        entry.channels = static_cast<u8>(v);
      }
    }
  }
  if (existing) {
    *existing = entry;
  } else {
    d.rtpmap[d.rtpmap_count++] = entry;
  }
  return step::ok;
}

step parse_av_attribute(sdp_parse_ctx& c, u8 attr, const char* name_end, const char* le) {
  sdp_media_av& m = c.desc->av[c.desc->av_count - 1];
  switch (attr) {
    case SDP_DIR_SENDONLY:
    case SDP_DIR_RECVONLY:
    case SDP_DIR_SENDRECV:
    case SDP_DIR_INACTIVE:
      if (name_end != le) return refuse(c, sdp_reason::bad_attribute);
      if (m.direction != SDP_NONE8 && m.direction != attr) return refuse(c, sdp_reason::direction_conflict);
      m.direction = attr;
      return step::ok;
    case SDP_ATTR_RTPMAP:
    case SDP_ATTR_FMTP:
      if (name_end == le || *name_end != ':') return refuse(c, sdp_reason::bad_attribute);
      return parse_rtpmap_fmtp(c, attr, name_end + 1, le);
    case SDP_ATTR_PTIME:
    case SDP_ATTR_MAXPTIME: {
      if (name_end == le || *name_end != ':') return refuse(c, sdp_reason::bad_attribute);
      const char* q = name_end + 1;
      u32 v = 0;
      num n = read_number(&q, le, 0xFFFF, &v);
      if (n == num::none) return attr == SDP_ATTR_PTIME ? step::to_extra : step::ignored;
      if (n == num::too_large) return refuse(c, sdp_reason::number_too_large);
      (attr == SDP_ATTR_PTIME ? m.ptime : m.maxptime) = static_cast<u16>(v);
      return step::ok;
    }
    default: return step::to_extra;
  }
}

// Stores a rate-management or error-correction value: the first one seen, or
// 3 once two different values were seen.
void merge_both(u8* field, u8 value) {
  if (*field == SDP_NONE8) {
    *field = value;
  } else if (*field != value) {
    *field = SDP_BOTH_SEEN;
  }
}

// An optional T.38 attribute without a usable value (bare, empty or not a
// number) is dropped and reported; the offer stands with the default.
step ignore_attribute(sdp_parse_ctx& c) {
  c.ignored_attribute = true;
  return step::ok;
}

step parse_image_attribute(sdp_parse_ctx& c, u8 attr, const char* name_end, const char* le) {
  sdp_media_image& m = c.desc->image[c.desc->image_count - 1];
  bool has_value = name_end < le && *name_end == ':';
  const char* q = has_value ? name_end + 1 : le;
  u32 v = 0;
  switch (attr) {
    case SDP_DIR_SENDONLY:
    case SDP_DIR_RECVONLY:
    case SDP_DIR_SENDRECV:
    case SDP_DIR_INACTIVE:
      if (name_end != le) return refuse(c, sdp_reason::bad_attribute);
      m.direction = attr;
      return step::ok;
    case SDP_ATTR_T38_VERSION:
    case SDP_ATTR_T38_MAX_BIT_RATE:
    case SDP_ATTR_T38_MAX_BUFFER:
    case SDP_ATTR_T38_MAX_DATAGRAM: {
      if (!has_value) return ignore_attribute(c);
      num n = read_number(&q, le, attr == SDP_ATTR_T38_VERSION ? 0xFF : 0xFFFFFFFF, &v);
      if (n == num::none) return ignore_attribute(c);
      if (n == num::too_large) return refuse(c, sdp_reason::number_too_large);
      if (attr == SDP_ATTR_T38_VERSION) m.t38_version = static_cast<u8>(v);
      if (attr == SDP_ATTR_T38_MAX_BIT_RATE) m.t38_max_bit_rate = v;
      if (attr == SDP_ATTR_T38_MAX_BUFFER) m.t38_max_buffer = v;
      if (attr == SDP_ATTR_T38_MAX_DATAGRAM) m.t38_max_datagram = v;
      return step::ok;
    }
    case SDP_ATTR_T38_FILL_BIT_REMOVAL:
    case SDP_ATTR_T38_TRANSCODING_MMR:
    case SDP_ATTR_T38_TRANSCODING_JBIG: {
      u8 flag = (has_value && q < le && *q == '0') ? 0 : 1;
      if (attr == SDP_ATTR_T38_FILL_BIT_REMOVAL) m.t38_fill_bit_removal = flag;
      if (attr == SDP_ATTR_T38_TRANSCODING_MMR) m.t38_transcoding_mmr = flag;
      if (attr == SDP_ATTR_T38_TRANSCODING_JBIG) m.t38_transcoding_jbig = flag;
      return step::ok;
    }
    case SDP_ATTR_T38_RATE_MANAGEMENT:
    case SDP_ATTR_T38_UDP_EC: {
      if (!has_value) return ignore_attribute(c);
      bool rate = attr == SDP_ATTR_T38_RATE_MANAGEMENT;
      const char* v_end =
          rate ? run_while(q, le, [](char ch) { return sdp_in_class(static_cast<u8>(ch), SDP_CL_ALPHA); })
               : run_while(q, le, is_alnum);
      if (v_end == q) return ignore_attribute(c);
      u8 code = 0;
      if (lookup(rate ? sdp_ratemgmt_table : sdp_udpec_table, q, v_end, true, &code) == SIP_RESULT_OK)
        merge_both(rate ? &m.t38_rate_management : &m.t38_udp_ec, code);
      return step::ok;
    }
    default: return step::to_extra;
  }
}

bool is_printable(char ch) { return ch >= ' ' && ch <= '~'; }

step parse_other_attribute(sdp_parse_ctx& c, u8 attr, const char* name_end, const char* le) {
  sdp_media_other& m = c.desc->other[c.desc->other_count - 1];
  if (name_end == le || *name_end != ':') return refuse(c, sdp_reason::bad_attribute);
  const char* q = name_end + 1;
  switch (attr) {
    case SDP_ATTR_BEARER: {
      const char* b_end = run_while(q, le, [](char ch) { return ch != '/'; });
      if (b_end == q) return refuse(c, sdp_reason::bad_attribute);
      u8 code = 0;
      if (lookup(sdp_bearer_table, q, b_end, false, &code) == SIP_RESULT_OK) {
        sip_str detail;
        if (b_end < le) {
          if (le - (b_end + 1) < 1 || le - (b_end + 1) > 20) return refuse(c, sdp_reason::bad_attribute);
          detail = text_of(b_end + 1, le);
        }
        m.bearer = code;
        m.bearer_detail = detail;
        return step::ok;
      }
      // A bearer outside the table is kept whole as its detail.
      if (le - q > 20 || run_while(q, le, is_printable) != le) return refuse(c, sdp_reason::bad_attribute);
      m.bearer = SDP_BEARER_FREE;
      m.bearer_detail = text_of(q, le);
      return step::ok;
    }
    case SDP_ATTR_FRAMING: {
      u8 code = 0;
      if (lookup(sdp_framing_table, q, le, false, &code) != SIP_RESULT_OK) return refuse(c, sdp_reason::bad_attribute);
      m.framing = code;
      return step::ok;
    }
    case SDP_ATTR_DIALED:
    case SDP_ATTR_CALLED:
    case SDP_ATTR_DIALING: {
      const char* n_end = run_while(q, le, [](char ch) { return sdp_in_class(static_cast<u8>(ch), SDP_CL_DIAL); });
      if (n_end != le || n_end == q || n_end - q > 20) return refuse(c, sdp_reason::bad_attribute);
      (attr == SDP_ATTR_DIALED ? m.dialed : attr == SDP_ATTR_CALLED ? m.called : m.dialing) = text_of(q, le);
      return step::ok;
    }
    case SDP_ATTR_SUBNET: {
      const char* nt_end = run_to_blank(q, le);
      u8 nettype = 0;
      if (lookup(sdp_nettype_table, q, nt_end, false, &nettype) != SIP_RESULT_OK)
        return refuse(c, sdp_reason::bad_attribute);
      m.subnet_nettype = nettype;
      if (nettype != SDP_NET_IN) return step::ok;
      q = skip_blanks(nt_end, le);
      if (le - q < 4 || std::memcmp(q, "IP4", 3) != 0 || !is_blank(q[3])) return refuse(c, sdp_reason::bad_attribute);
      q = skip_blanks(q + 3, le);
      const char* a_end = run_while(q, le, [](char ch) { return is_digit(ch) || ch == '.'; });
      if (!is_dotted_quad_form(q, a_end) || a_end == le || *a_end != '/') return refuse(c, sdp_reason::bad_attribute);
      sip_str host;
      sdp_reason r = read_address(c, q, a_end, SDP_ADDR_IP4, &m.subnet_addr, &host);
      if (r != sdp_reason::none) return refuse(c, r);
      q = a_end + 1;
      u32 v = 0;
      num n = read_number(&q, le, 32, &v);
      if (n != num::ok || q != le)
        return refuse(c, n == num::too_large ? sdp_reason::number_too_large : sdp_reason::bad_attribute);
      m.subnet_prefix = static_cast<u8>(v);
      return step::ok;
    }
    default: return step::to_extra;
  }
}

step parse_attribute(sdp_parse_ctx& c, const char* p, const char* le) {
  const char* name_end = run_while(p, le, [](char ch) { return ch != ':'; });
  if (name_end == p) return refuse(c, sdp_reason::bad_attribute);
  u8 attr = 0;
  switch (c.level) {
    case SDP_LEVEL_SESSION:
      if (lookup(sdp_direction_table, p, name_end, false, &attr) != SIP_RESULT_OK) return step::to_extra;
      if (name_end != le) return refuse(c, sdp_reason::bad_attribute);
      c.desc->session->direction = attr;
      return step::ok;
    case SDP_KIND_AUDIO:
    case SDP_KIND_VIDEO:
      if (lookup(sdp_av_attr_table, p, name_end, false, &attr) != SIP_RESULT_OK) return step::to_extra;
      return parse_av_attribute(c, attr, name_end, le);
    case SDP_LEVEL_IMAGE:
      // The T.38 attribute names are compared without case.
      if (lookup(sdp_image_attr_table, p, name_end, true, &attr) != SIP_RESULT_OK) return step::to_extra;
      return parse_image_attribute(c, attr, name_end, le);
    default:
      if (lookup(sdp_other_attr_table, p, name_end, false, &attr) != SIP_RESULT_OK) return step::to_extra;
      return parse_other_attribute(c, attr, name_end, le);
  }
}

// Checks made once the lines are read.
bool final_checks(sdp_parse_ctx& c, bool seen_m, bool seen_c) {
  sdp_desc& d = *c.desc;
  if (!seen_m) {
    c.reason = sdp_reason::no_media;
    return false;
  }
  if (!seen_c) {
    c.reason = sdp_reason::no_connection;
    return false;
  }
  for (u8 i = 0; i < d.av_count; ++i) {
    const sdp_media_av& m = d.av[i];
    if (m.port == 0) continue;
    for (u16 f = 0; f < m.format_count; ++f) {
      u8 pt = m.formats[f];
      if (pt >= 96 && pt <= 254 && find_rtpmap(d, i, pt) == nullptr) {
        c.reason = sdp_reason::missing_rtpmap;
        return false;
      }
    }
  }
  for (u8 i = 0; i < d.image_count; ++i) {
    const sdp_connection& conn = d.image[i].conn.nettype != SDP_NONE8 ? d.image[i].conn : d.session->conn;
    if (conn.nettype == SDP_NET_IN && conn.addrtype == SDP_ADDR_IP6) {
      c.reason = sdp_reason::ip6_for_t38;
      return false;
    }
  }
  return true;
}

}  // namespace

const char* sdp_reason__text(sdp_reason reason) {
  switch (reason) {
    case sdp_reason::none: return "no error";
    case sdp_reason::no_work_buffer: return "no work buffer";
    case sdp_reason::bad_version: return "the description does not begin with v=0";
    case sdp_reason::duplicate_line: return "a second o=, s= or t= line";
    case sdp_reason::bad_connection: return "malformed connection line";
    case sdp_reason::bad_media: return "malformed media line";
    case sdp_reason::too_many_media: return "too many media lines";
    case sdp_reason::bad_bandwidth: return "malformed bandwidth line";
    case sdp_reason::bad_key: return "malformed key line";
    case sdp_reason::bad_attribute: return "malformed attribute";
    case sdp_reason::direction_conflict: return "media direction contradicts the session's";
    case sdp_reason::too_many_rtpmap: return "too many rtpmap attributes";
    case sdp_reason::number_too_large: return "number too large for its field";
    case sdp_reason::work_buffer_full: return "work buffer full";
    case sdp_reason::no_media: return "no media line";
    case sdp_reason::no_connection: return "no connection line";
    case sdp_reason::missing_rtpmap: return "dynamic payload type without rtpmap";
    case sdp_reason::ip6_for_t38: return "T.38 stream on an IPv6 connection";
  }
  return "unknown";
}

u8 sdp_parse(const char** pos, const char* end, sdp_desc* desc, sdp_work_buf* work, u16 options, sdp_reason* reason,
             bool* ignored_attribute) {
  if (ignored_attribute) *ignored_attribute = false;
  sdp_parse_ctx c;
  c.pos = *pos;
  c.end = end;
  c.options = options;
  c.work = work;
  c.desc = desc;
  auto refused = [&](sdp_reason r, const char* at) {
    if (reason) *reason = r;
    *pos = at;
    return SDP_PARSE_REFUSED;
  };
  if (work == nullptr || work->data == nullptr) return refused(sdp_reason::no_work_buffer, c.pos);

  const char* p = c.pos;
  size_t avail = static_cast<size_t>(end - p);
  if (avail >= 4 && std::memcmp(p, "v=0\n", 4) == 0) {
    c.pos = p + 4;
  } else if (avail >= 5 && std::memcmp(p, "v=0\r\n", 5) == 0) {
    c.pos = p + 5;
  } else {
    return refused(sdp_reason::bad_version, p);
  }

  *desc->session = sdp_session{};
  desc->av_count = desc->rtpmap_count = desc->other_count = desc->image_count = desc->media_lines = 0;
  desc->origin_present = 0;
  bool seen_o = false, seen_s = false, seen_t = false, seen_c = false, seen_m = false;
  u8 result = SDP_PARSE_END;

  while (c.pos < c.end) {
    const char* line_start = c.pos;
    int type = sdp_line__type(c);
    if (type == SDP_LINE_EMPTY) {
      result = SDP_PARSE_EMPTY_LINE;
      break;
    }
    if (type == SDP_LINE_DOT) {
      result = SDP_PARSE_DOT;
      break;
    }
    step s = step::ok;
    const char* le = c.line_end;
    if (c.level == SDP_LEVEL_SKIPPED && type != 'm' && type != 'o' && type != 's' && type != 't' &&
        type != SDP_LINE_MALFORMED && type != 'v') {
      // A line of a skipped media line: not read.  (Its connection is no
      // connection of the description: what is kept must have its own.)
      type = SDP_LINE_SKIPPED;
    }
    switch (type) {
      case SDP_LINE_MALFORMED:
      case SDP_LINE_SKIPPED:
      case 'v': break;
      case 'o':
        if (seen_o) return refused(sdp_reason::duplicate_line, line_start);
        if (parse_origin(c, c.pos, le) == step::ok) {
          seen_o = true;
          desc->origin_present = 1;
        }
        break;
      case 's': {
        if (seen_s) return refused(sdp_reason::duplicate_line, line_start);
        const char* n_end = run_while(c.pos, le, is_printable);
        if (n_end > c.pos && n_end - c.pos <= 32) {
          desc->session->name = text_of(c.pos, n_end);
          seen_s = true;
        }
        break;
      }
      case 't': {
        if (seen_t) return refused(sdp_reason::duplicate_line, line_start);
        const char* a_end = run_while(c.pos, le, is_digit);
        const char* b = run_while(a_end, le, is_blank);
        const char* b_end = run_while(b, le, is_digit);
        if (a_end > c.pos && a_end - c.pos <= 10 && b > a_end && b_end > b && b_end - b <= 10) {
          desc->session->start_time = text_of(c.pos, a_end);
          desc->session->stop_time = text_of(b, b_end);
          seen_t = true;
        }
        break;
      }
      case 'c':
        s = parse_connection(c, c.pos, le);
        if (s == step::ok) seen_c = true;
        break;
      case 'm':
        s = parse_media(c, c.pos, le);
        if (s == step::ok) seen_m = true;
        break;
      case 'b': s = parse_bandwidth(c, c.pos, le); break;
      case 'k': s = parse_key(c, c.pos, le); break;
      case 'a': s = parse_attribute(c, c.pos, le); break;
      default:
        // i, u, e, p, z, r (repeat times) and letters without a meaning here.
        s = step::to_extra;
        break;
    }
    if (s == step::refused) return refused(c.reason, line_start);
    if (s == step::to_extra) add_extra_line(c, line_start);
    if (type != SDP_LINE_MALFORMED && type != 'v') c.pos = le;
    sdp_line__skip(c);
  }

  if (!final_checks(c, seen_m, seen_c)) return refused(c.reason, c.pos);
  if (reason) *reason = sdp_reason::none;
  if (ignored_attribute) *ignored_attribute = c.ignored_attribute;
  *pos = c.pos;
  return result;
}
