// SSC SDP headers (61 session, 65 origin, 62 audio/video, 63 rtpmap, 64
// other media, 75 T.38) from a call's description.
#include <cstddef>
#include <cstring>

#include "session/foip/foip_sdp.h"
#include "sip/prim/ssc_header.h"

namespace {

using H = ssc_header_id;

// A copy of `s` in the handle's area, or null.
const char* dup(ssc_handle* h, const char* s) {
  const std::size_t n = std::strlen(s);
  if (n > 0xFFF0) return nullptr;
  auto* p = static_cast<char*>(Ssc_alloc_area(h, static_cast<u16>(n + 1)));
  if (p != nullptr) std::memcpy(p, s, n + 1);
  return p;
}

// Connection fields: 'N' and the name, '4' and the address, or none.
bool put_conn(ssc_handle* h, const foip_sdp__conn& c, u8* net_type, u8* family, u8* v4, const char** host) {
  if (c.host[0] != '\0') {
    const char* name = dup(h, c.host);
    if (name == nullptr) return false;
    *net_type = 'I';
    *family = 'N';
    *host = name;
  } else if (c.family == OM_IP_FAMILY_V4) {
    *net_type = 'I';
    *family = '4';
    std::memcpy(v4, c.ipv4, 4);
  } else {
    *net_type = 0xFF;
    *family = 0xFF;
  }
  return true;
}

u8 code_of(u8 v, u8 one) {
  if (v == FOIP_SDP__BOTH) return FOIP_SDP__BOTH;
  if (v == one) return one;
  return static_cast<u8>(one == 1 ? 2 : 1);
}

}  // namespace

u8 build_sdp__main_body__origin(const sip_mgt__sdp_contents& sdp, ssc_handle* h) {
  if (!sdp.present) return 2;
  auto* s = static_cast<ssc_hdr_sdp_session*>(Ssc_alloc_header(h, H::SDP_MAIN_BODY));
  if (s == nullptr) return 3;
  if (!put_conn(h, sdp.conn, &s->net_type, &s->family, s->v4, &s->host)) return 3;
  s->session_name = dup(h, sdp.session_name);
  s->start_time = dup(h, sdp.start_time[0] ? sdp.start_time : "0");
  s->stop_time = dup(h, sdp.stop_time[0] ? sdp.stop_time : "0");
  if (!s->session_name || !s->start_time || !s->stop_time) return 3;
  auto* o = static_cast<ssc_hdr_sdp_origin*>(Ssc_alloc_header(h, H::ORIGIN_CNCT_DESCR));
  if (o == nullptr) return 3;
  o->net_type = sdp.origin_net_type == 0xFF ? u8{'I'} : sdp.origin_net_type;
  o->user = dup(h, sdp.origin_user[0] ? sdp.origin_user : "-");
  o->session_id = dup(h, sdp.origin_session_id[0] ? sdp.origin_session_id : FOIP_SDP__SESSION_ID);
  o->version = dup(h, sdp.version[0] ? sdp.version : "0");
  if (sdp.origin_conn.host[0] != '\0') {
    o->family = 'N';
    o->host = dup(h, sdp.origin_conn.host);
  } else if (sdp.origin_conn.family == OM_IP_FAMILY_V4) {
    o->family = '4';
    std::memcpy(o->v4, sdp.origin_conn.ipv4, 4);
  } else {
    o->family = 'N';
    o->host = dup(h, FOIP_SDP__ORIGIN_HOST);
  }
  return (o->user && o->session_id && o->version && (o->family == '4' || o->host)) ? 2 : 3;
}

namespace {
// The m-line position of a media entry of the description (0xFF: not one).
// The attributes of both transports whose state is set.
template <class Cap>
void put_common_t38(ssc_hdr_sdp_t38* t, const u8* st, const Cap& p) {
  if (st[FOIP_SDP__T38_VERSION]) t->version = p.t38_version;
  if (st[FOIP_SDP__T38_MAX_BIT_RATE]) t->max_bit_rate = p.fax_max_bit_rate;
  if (st[FOIP_SDP__T38_RATE_MGT]) t->rate_management = code_of(p.drate_mgt_method, FOIP_SDP__LOCAL_TCF);
  if (st[FOIP_SDP__T38_FILL_BIT]) t->fill_bit_removal = p.remove_fill_bits_t4 ? 1 : 0;
  if (st[FOIP_SDP__T38_MMR]) t->mmr = p.transcode_mmr ? 1 : 0;
  if (st[FOIP_SDP__T38_JBIG]) t->jbig = p.transcode_jbig ? 1 : 0;
}

u8 pos_of(const sip_mgt__sdp_contents& sdp, const foip_sdp__media& m) {
  const std::ptrdiff_t i = &m - sdp.media;
  return i >= 0 && i < FOIP_SDP__MAX_MEDIA ? static_cast<u8>(i) : u8{0xFF};
}
}  // namespace

u8 build_sdp__audio(const sip_mgt__sdp_contents& sdp, const foip_sdp__media& m, ssc_handle* h) {
  if (!sdp.present || m.format_count == 0) return 2;
  auto* a = static_cast<ssc_hdr_sdp_media*>(Ssc_alloc_header(h, H::AUDIO_CNCT_DESCR));
  if (a == nullptr) return 3;
  a->kind = m.type;
  a->media_pos = pos_of(sdp, m);
  a->transport = m.transport;
  a->port = m.port;
  a->port_count = m.port_count;
  a->direction = m.direction;
  a->ptime = m.ptime;
  a->maxptime = m.maxptime;
  if (!put_conn(h, m.conn, &a->net_type, &a->family, a->v4, &a->host)) return 3;
  const u8 n = m.format_count > FOIP_SDP__MAX_FORMATS ? FOIP_SDP__MAX_FORMATS : m.format_count;
  auto* f = static_cast<u8*>(Ssc_alloc_area(h, n));
  if (f == nullptr) return 3;
  std::memcpy(f, m.formats, n);
  a->format_count = n;
  a->formats = f;
  for (const foip_sdp__attr& row : m.attr) {
    if (!row.present) break;
    if (std::memchr(m.formats, row.payload_type, n) == nullptr) continue;
    auto* r = static_cast<ssc_hdr_sdp_rtpmap*>(Ssc_alloc_header(h, H::RTP_CNCT_DESCR));
    if (r == nullptr) return 3;
    r->payload_type = row.payload_type;
    r->clock_rate = row.clock_rate;
    if (row.encoding[0] != '\0' && (r->encoding = dup(h, row.encoding)) == nullptr) return 3;
    if (row.fmtp[0] != '\0' && (r->fmtp = dup(h, row.fmtp)) == nullptr) return 3;
  }
  return 2;
}

u8 build_sdp__t38(const sip_mgt__sdp_contents& sdp, const foip_sdp__media& m, ssc_handle* h) {
  if (!sdp.present) return 2;
  auto* t = static_cast<ssc_hdr_sdp_t38*>(Ssc_alloc_header(h, H::T38_CNCT_DESCR));
  if (t == nullptr) return 3;
  t->kind = FOIP_SDP__IMAGE;
  t->format = FOIP_SDP__FORMAT_T38;
  t->media_pos = pos_of(sdp, m);
  t->transport = m.transport;
  t->port = m.port;
  t->direction = m.direction;
  if (!put_conn(h, m.conn, &t->net_type, &t->family, t->v4, &t->host_name)) return 3;
  t->fill_bit_removal = 0;
  t->mmr = 0;
  t->jbig = 0;
  const u8* st = m.t38_state;
  if (m.transport == FOIP_SDP__TCP) {
    put_common_t38(t, st, m.t38.tpkt_param);
    return 2;
  }
  const auto& p = m.t38.udptl_param;
  put_common_t38(t, st, p);
  if (st[FOIP_SDP__T38_MAX_BUFFER]) t->max_buffer = p.fax_max_buffer_size;
  if (st[FOIP_SDP__T38_MAX_DATAGRAM]) t->max_datagram = p.max_datagram_size;
  if (st[FOIP_SDP__T38_UDP_EC]) t->udp_ec = code_of(p.udp_ec, FOIP_SDP__UDP_FEC);
  return 2;
}

u8 build_sdp__other(const sip_mgt__sdp_contents& sdp, const foip_sdp__media& m, ssc_handle* h) {
  if (!sdp.present) return 2;
  auto* o = static_cast<ssc_hdr_sdp_other_media*>(Ssc_alloc_header(h, H::OTHER_CNCT_DESCR));
  if (o == nullptr) return 3;
  o->media_pos = pos_of(sdp, m);
  o->port = m.port;
  o->port_count = m.port_count;
  if (!put_conn(h, m.conn, &o->net_type, &o->family, o->v4, &o->host)) return 3;
  // Texts left out stay unset (not written).
  const auto text = [h](const char* s, const char** field) {
    if (s[0] == '\0') return true;
    return (*field = dup(h, s)) != nullptr;
  };
  if (!text(m.other.name, &o->media_name) || !text(m.other.transport, &o->transport) ||
      !text(m.other.format, &o->format))
    return 3;
  return 2;
}

u8 foip_sdp__build_headers(const sip_mgt__sdp_contents& sdp, ssc_handle* h) {
  if (!sdp.present) return 2;
  if (build_sdp__main_body__origin(sdp, h) != 2) return 3;
  const u16 n = sdp.media_count > FOIP_SDP__MAX_MEDIA ? FOIP_SDP__MAX_MEDIA : sdp.media_count;
  for (u16 i = 0; i < n; ++i) {
    const foip_sdp__media& m = sdp.media[i];
    const u8 r = m.type == FOIP_SDP__IMAGE   ? build_sdp__t38(sdp, m, h)
                 : m.type == FOIP_SDP__OTHER ? build_sdp__other(sdp, m, h)
                                             : build_sdp__audio(sdp, m, h);
    if (r != 2) return 3;
  }
  return 2;
}

// ---------------------------------------------------------------------------
// Re-offer to T.38

u16 foip_sdp__create_t38_reoffer(const foip_sdp__env& env, const sip_mgt__sdp_contents& prev, bool replace_audio,
                                 sip_mgt__sdp_contents& sdp) {
  // The T.38 entries of the session, in the order of its transports.
  static sip_mgt__sdp_contents wanted;  // large: kept off the stack
  sip_mgt__sdp_clear(wanted);
  wanted.present = 1;
  create_sdp__t38_media(0, wanted, env);

  if (prev.present) {
    sdp = prev;
  } else {
    sip_mgt__sdp_clear(sdp);
  }
  const u16 n = sdp.media_count > FOIP_SDP__MAX_MEDIA ? FOIP_SDP__MAX_MEDIA : sdp.media_count;
  sdp.media_count = n;
  bool taken[FOIP_SDP__MAX_MEDIA] = {};
  for (u16 i = 0; i < n; ++i) {
    sdp.media[i].port = 0;
    sdp.media[i].selected = 0;
  }

  const auto first_free = [&](auto&& fits) -> u16 {
    for (u16 i = 0; i < sdp.media_count; ++i)
      if (!taken[i] && fits(i)) return i;
    return FOIP_SDP__NO_INDEX;
  };
  u16 placed = 0;
  for (u16 k = 0; k < wanted.media_count; ++k) {
    const foip_sdp__media& t = wanted.media[k];
    u16 at = first_free(
        [&](u16 i) { return sdp.media[i].type == FOIP_SDP__IMAGE && sdp.media[i].transport == t.transport; });
    if (at == FOIP_SDP__NO_INDEX && replace_audio)
      at = first_free([&](u16 i) { return sdp.media[i].type == FOIP_SDP__AUDIO; });
    if (at == FOIP_SDP__NO_INDEX && sdp.media_count < FOIP_SDP__MAX_MEDIA) at = sdp.media_count++;
    // No room left: a line we had disabled already, else an audio line.
    if (at == FOIP_SDP__NO_INDEX) at = first_free([&](u16 i) { return prev.media[i].port == 0; });
    if (at == FOIP_SDP__NO_INDEX) at = first_free([&](u16 i) { return sdp.media[i].type == FOIP_SDP__AUDIO; });
    if (at == FOIP_SDP__NO_INDEX) continue;
    sdp.media[at] = t;
    taken[at] = true;
    ++placed;
  }
  return placed;
}
