// SDP offers and answers of the FOIP entity's SIP calls.
#include "session/foip/foip_sdp.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <utility>

#include "sip/prim/ssc_codes.h"
#include "sip/prim/ssc_header.h"

namespace {

template <std::size_t N>
void copy_text(char (&dst)[N], const char* src) {
  std::size_t n = 0;
  if (src != nullptr)
    while (n < N - 1 && src[n] != '\0') {
      dst[n] = src[n];
      ++n;
    }
  dst[n] = '\0';
}

void clear_media(foip_sdp__media& m) { m = foip_sdp__media{}; }

void clear_session_part(sip_mgt__sdp_contents& sdp) {
  sdp.version[0] = '\0';
  sdp.conn = foip_sdp__conn{};
  sdp.session_name[0] = '\0';
  sdp.origin_user[0] = '\0';
  sdp.origin_session_id[0] = '\0';
  sdp.origin_net_type = 0xFF;
  sdp.origin_conn = foip_sdp__conn{};
  sdp.start_time[0] = '\0';
  sdp.stop_time[0] = '\0';
}

// The connection of an SSC SDP header: '4' an IPv4 address, 'N' a name;
// anything else (IPv6 included) leaves it without address.
void read_conn(foip_sdp__conn& c, u8 family, const u8* v4, const char* host) {
  c = foip_sdp__conn{};
  if (family == '4') {
    c.family = OM_IP_FAMILY_V4;
    std::memcpy(c.ipv4, v4, 4);
  } else if (family == 'N' && host != nullptr && host[0] != '\0') {
    copy_text(c.host, host);
  }
}

// What an audio and an image m-line both give: transport, port, direction
// and the line's own connection (`host` its name).
template <class Line>
void read_media_line(foip_sdp__media& m, const Line& l, const char* host) {
  m.transport = l.transport;
  m.port = l.port;
  m.direction = l.direction;
  read_conn(m.conn, l.family, l.v4, host);
}

bool has_address(const foip_sdp__conn& c) { return c.family == OM_IP_FAMILY_V4 || c.host[0] != '\0'; }

u16 cap16(u32 v) { return v > 0xFFFF ? u16{0xFFFF} : static_cast<u16>(v); }

u8 map_both(u8 v, u8 one) {
  if (v == FOIP_SDP__BOTH) return FOIP_SDP__BOTH;
  if (v == one) return one;
  return static_cast<u8>(one == 1 ? 2 : 1);
}

// Mask bit of each T.38 attribute, in attribute-state order.
constexpr u16 ATTR_BIT[FOIP_SDP__NB_T38_ATTR] = {
    FOIP__T38_CAP_VERSION,          FOIP__T38_CAP_MAX_BIT_RATE,    FOIP__T38_CAP_RATE_MANAGEMENT,
    FOIP__T38_CAP_FILL_BIT_REMOVAL, FOIP__T38_CAP_TRANSCODING_MMR, FOIP__T38_CAP_TRANSCODING_JBIG,
    FOIP__T38_CAP_MAX_BUFFER,       FOIP__T38_CAP_MAX_DATAGRAM,    FOIP__T38_CAP_UDP_EC,
};

bool local_has(u8 local_value, u8 remote_value) { return local_value != 0 && remote_value != 0; }

u8 negotiate_rate(u8 local, u8 remote) {
  if (local == FOIP_SDP__LOCAL_TCF) return FOIP_SDP__LOCAL_TCF;
  if (local == FOIP_SDP__BOTH) return remote == FOIP_SDP__LOCAL_TCF ? FOIP_SDP__LOCAL_TCF : FOIP_SDP__TRANSFERRED_TCF;
  return FOIP_SDP__TRANSFERRED_TCF;
}

bool same_conn(const foip_sdp__conn& a, const foip_sdp__conn& b) {
  return a.family == b.family && std::memcmp(a.ipv4, b.ipv4, 4) == 0 && std::strcmp(a.host, b.host) == 0;
}

bool same_t38(const foip_sdp__t38_param& a, const foip_sdp__t38_param& b) {
  const auto& u = a.udptl_param;
  const auto& v = b.udptl_param;
  const auto& t = a.tpkt_param;
  const auto& w = b.tpkt_param;
  return u.t38_version == v.t38_version && u.fax_max_bit_rate == v.fax_max_bit_rate &&
         u.drate_mgt_method == v.drate_mgt_method && u.remove_fill_bits_t4 == v.remove_fill_bits_t4 &&
         u.transcode_mmr == v.transcode_mmr && u.transcode_jbig == v.transcode_jbig &&
         u.fax_max_buffer_size == v.fax_max_buffer_size && u.max_datagram_size == v.max_datagram_size &&
         u.udp_ec == v.udp_ec && t.t38_version == w.t38_version && t.fax_max_bit_rate == w.fax_max_bit_rate &&
         t.drate_mgt_method == w.drate_mgt_method && t.remove_fill_bits_t4 == w.remove_fill_bits_t4 &&
         t.transcode_mmr == w.transcode_mmr && t.transcode_jbig == w.transcode_jbig;
}

bool same_media(const foip_sdp__media& a, const foip_sdp__media& b) {
  if (a.type != b.type || a.format != b.format || a.transport != b.transport || a.port != b.port ||
      !same_conn(a.conn, b.conn) || a.format_count != b.format_count || a.port_count != b.port_count ||
      a.direction != b.direction || a.ptime != b.ptime || a.maxptime != b.maxptime || a.selected != b.selected)
    return false;
  if (std::memcmp(a.formats, b.formats, a.format_count) != 0) return false;
  for (u8 i = 0; i < FOIP_SDP__MAX_ATTR; ++i) {
    const foip_sdp__attr& x = a.attr[i];
    const foip_sdp__attr& y = b.attr[i];
    if (x.present != y.present) return false;
    if (x.present && (x.payload_type != y.payload_type || x.clock_rate != y.clock_rate ||
                      std::strcmp(x.encoding, y.encoding) != 0 || std::strcmp(x.fmtp, y.fmtp) != 0))
      return false;
  }
  if (std::memcmp(a.t38_state, b.t38_state, sizeof a.t38_state) != 0) return false;
  if (a.type == FOIP_SDP__OTHER)
    return std::strcmp(a.other.name, b.other.name) == 0 && std::strcmp(a.other.transport, b.other.transport) == 0 &&
           std::strcmp(a.other.format, b.other.format) == 0;
  return a.type != FOIP_SDP__IMAGE || same_t38(a.t38, b.t38);
}

void add_audio_row(foip_sdp__media& m, u8 slot, u8 pt) {
  foip_sdp__attr& a = m.attr[slot];
  a.present = 1;
  a.payload_type = pt;
  a.clock_rate = 8000;
  copy_text(a.encoding, pt == FOIP_SDP__PT_PCMA ? "PCMA" : pt == FOIP_SDP__PT_PCMU ? "PCMU" : "");
}

void audio_entry(foip_sdp__media& m, const foip_sdp__env& env) {
  clear_media(m);
  m.type = FOIP_SDP__AUDIO;
  m.transport = 0;
  m.port = env.flag_nat_support == 1 ? env.nat_audio_port : env.audio_port;
}

// Transports of T.38 media by kind_of_t38_transport, in offer order.
u8 t38_transports(const foip_sdp__env& env, u8 out[2]) {
  switch (env.kind_of_t38_transport) {
    case 'U': out[0] = FOIP_SDP__UDPTL; return 1;
    case 'T':
      if (env.tcp_enabled != 1) return 0;
      out[0] = FOIP_SDP__TCP;
      return 1;
    case 'X':
      out[0] = FOIP_SDP__UDPTL;
      out[1] = FOIP_SDP__TCP;
      return 2;
    case 'x':
      out[0] = FOIP_SDP__TCP;
      out[1] = FOIP_SDP__UDPTL;
      return 2;
    default: return 0;
  }
}

bool may_use(const foip_sdp__env& env, u8 transport) {
  const u8 k = env.kind_of_t38_transport;
  if (transport == FOIP_SDP__UDPTL) return k == 'U' || k == 'X' || k == 'x';
  if (transport == FOIP_SDP__TCP) return k == 'T' || k == 'X' || k == 'x';
  return false;
}

// One attribute value of both transports, by attribute-state index; false
// for the UDPTL-only attributes.
template <class To, class From>
bool set_common_attr(To& d, u8 k, const From& s) {
  switch (k) {
    case FOIP_SDP__T38_VERSION: d.t38_version = s.t38_version; return true;
    case FOIP_SDP__T38_MAX_BIT_RATE: d.fax_max_bit_rate = s.fax_max_bit_rate; return true;
    case FOIP_SDP__T38_RATE_MGT: d.drate_mgt_method = s.drate_mgt_method; return true;
    case FOIP_SDP__T38_FILL_BIT: d.remove_fill_bits_t4 = s.remove_fill_bits_t4; return true;
    case FOIP_SDP__T38_MMR: d.transcode_mmr = s.transcode_mmr; return true;
    case FOIP_SDP__T38_JBIG: d.transcode_jbig = s.transcode_jbig; return true;
    default: return false;
  }
}

// Attribute values of a block, by attribute-state index (UDPTL half).
void set_attr(foip_sdp__t38_param& p, bool tcp, u8 k, const foip__t38_udptl_cap& u, const foip__t38_tpkt_cap& t) {
  if (tcp) {
    (void)set_common_attr(p.tpkt_param, k, t);
    return;
  }
  auto& d = p.udptl_param;
  if (set_common_attr(d, k, u)) return;
  switch (k) {
    case FOIP_SDP__T38_MAX_BUFFER: d.fax_max_buffer_size = u.fax_max_buffer_size; break;
    case FOIP_SDP__T38_MAX_DATAGRAM: d.max_datagram_size = u.max_datagram_size; break;
    case FOIP_SDP__T38_UDP_EC: d.udp_ec = u.udp_ec; break;
    default: break;
  }
}

// Completes the attributes of a received T.38 media: configured defaults
// for those the remote left out, then the test values.
void complete_t38(foip_sdp__media& m, const foip_sdp__env& env) {
  const bool tcp = m.transport == FOIP_SDP__TCP;
  const u8 n = tcp ? 6 : FOIP_SDP__NB_T38_ATTR;
  const u16 mask = tcp ? env.remote_cfg.tpkt_param.use_t38_cap_bfi : env.remote_cfg.udptl_param.use_t38_cap_bfi;
  const u16 test = tcp ? env.remote_cfg.tpkt_param.test_mode__force_t38_rem_cap_bfi
                       : env.remote_cfg.udptl_param.test_mode__force_t38_rem_cap_bfi;
  const auto& u = env.remote_cfg.udptl_param;
  const auto& t = env.remote_cfg.tpkt_param;
  for (u8 k = 0; k < n; ++k) {
    if (m.t38_state[k] != FOIP_SDP__ATTR_NOT_GIVEN) continue;
    if (mask & ATTR_BIT[k]) {
      set_attr(m.t38, tcp, k, u, t);
      m.t38_state[k] = FOIP_SDP__ATTR_DEFAULT;
    } else {
      m.t38_state[k] = FOIP_SDP__ATTR_LOCAL;
    }
  }
  for (u8 k = 0; k < n; ++k) {
    if (!(test & ATTR_BIT[k])) continue;
    bool replace = true;
    if (k == FOIP_SDP__T38_MAX_BIT_RATE)
      replace = tcp ? t.fax_max_bit_rate < m.t38.tpkt_param.fax_max_bit_rate
                    : u.fax_max_bit_rate < m.t38.udptl_param.fax_max_bit_rate;
    else if (k == FOIP_SDP__T38_MAX_BUFFER) replace = u.fax_max_buffer_size < m.t38.udptl_param.fax_max_buffer_size;
    else if (k == FOIP_SDP__T38_MAX_DATAGRAM) replace = u.max_datagram_size < m.t38.udptl_param.max_datagram_size;
    if (!replace) continue;
    set_attr(m.t38, tcp, k, u, t);
    m.t38_state[k] = FOIP_SDP__ATTR_FORCED;
  }
}

void read_t38(foip_sdp__media& m, const ssc_hdr_sdp_t38& h, const foip_sdp__env& env) {
  m.t38 = env.default_remote;
  auto& st = m.t38_state;
  if (m.transport == FOIP_SDP__UDPTL) {
    auto& d = m.t38.udptl_param;
    if (h.version != 0xFF) d.t38_version = h.version, st[FOIP_SDP__T38_VERSION] = FOIP_SDP__ATTR_REMOTE;
    if (h.max_bit_rate != 0xFFFFFFFFu)
      d.fax_max_bit_rate = cap16(h.max_bit_rate), st[FOIP_SDP__T38_MAX_BIT_RATE] = FOIP_SDP__ATTR_REMOTE;
    if (h.rate_management != 0xFF)
      d.drate_mgt_method = map_both(h.rate_management, FOIP_SDP__LOCAL_TCF), st[FOIP_SDP__T38_RATE_MGT] = 1;
    d.remove_fill_bits_t4 = h.fill_bit_removal == 1 ? 1 : 0;
    d.transcode_mmr = h.mmr == 1 ? 1 : 0;
    d.transcode_jbig = h.jbig == 1 ? 1 : 0;
    st[FOIP_SDP__T38_FILL_BIT] = st[FOIP_SDP__T38_MMR] = st[FOIP_SDP__T38_JBIG] = FOIP_SDP__ATTR_REMOTE;
    if (h.max_buffer != 0xFFFFFFFFu)
      d.fax_max_buffer_size = cap16(h.max_buffer), st[FOIP_SDP__T38_MAX_BUFFER] = FOIP_SDP__ATTR_REMOTE;
    if (h.max_datagram != 0xFFFFFFFFu)
      d.max_datagram_size = cap16(h.max_datagram), st[FOIP_SDP__T38_MAX_DATAGRAM] = FOIP_SDP__ATTR_REMOTE;
    if (h.udp_ec != 0xFF) d.udp_ec = map_both(h.udp_ec, FOIP_SDP__UDP_FEC), st[FOIP_SDP__T38_UDP_EC] = 1;
  } else if (m.transport == FOIP_SDP__TCP && env.tcp_enabled == 1) {
    auto& d = m.t38.tpkt_param;
    if (h.version != 0xFF) d.t38_version = h.version, st[FOIP_SDP__T38_VERSION] = FOIP_SDP__ATTR_REMOTE;
    if (h.max_bit_rate != 0xFFFFFFFFu)
      d.fax_max_bit_rate = cap16(h.max_bit_rate), st[FOIP_SDP__T38_MAX_BIT_RATE] = FOIP_SDP__ATTR_REMOTE;
    d.remove_fill_bits_t4 = h.fill_bit_removal == 1 ? 1 : 0;
    d.transcode_mmr = h.mmr == 1 ? 1 : 0;
    d.transcode_jbig = h.jbig == 1 ? 1 : 0;
    st[FOIP_SDP__T38_FILL_BIT] = st[FOIP_SDP__T38_MMR] = st[FOIP_SDP__T38_JBIG] = FOIP_SDP__ATTR_REMOTE;
    if (h.rate_management != 0xFF)
      d.drate_mgt_method = map_both(h.rate_management, FOIP_SDP__LOCAL_TCF), st[FOIP_SDP__T38_RATE_MGT] = 1;
  }
}

}  // namespace

void sip_mgt__sdp_clear(sip_mgt__sdp_contents& sdp) { sdp = sip_mgt__sdp_contents{}; }

// ---------------------------------------------------------------------------
// Offers

bool create_sdp__main_body__origin__dscp(const foip_sdp__env& env, u32 version, sip_mgt__sdp_contents& sdp) {
  if (!sdp.present) {
    clear_session_part(sdp);
    copy_text(sdp.start_time, "0");
    copy_text(sdp.stop_time, "0");
  }
  sdp.present = 1;
  copy_text(sdp.session_name, "-");
  const foip__full_ip_addr& a = env.flag_nat_support == 1 ? env.nat_local_media_ip_addr : env.local_media_ip_addr;
  sdp.conn = foip_sdp__conn{};
  if (std::memchr(a.sz_fqdn, '\0', sizeof a.sz_fqdn) != nullptr && a.sz_fqdn[0] != '\0') {
    copy_text(sdp.conn.host, a.sz_fqdn);
  } else if (a.ip_addr.ip_family == OM_IP_FAMILY_V4) {
    sdp.conn.family = OM_IP_FAMILY_V4;
    std::memcpy(sdp.conn.ipv4, a.ip_addr.addr.v4.addr, 4);
  } else if (a.ip_addr.ip_family != 6 && a.ip_addr.ip_family != OM_IP_FAMILY_NONE) {
    return false;
  }
  copy_text(sdp.origin_user, env.user_name);
  copy_text(sdp.origin_session_id, FOIP_SDP__SESSION_ID);
  (void)std::snprintf(sdp.version, sizeof sdp.version, "%lu", static_cast<unsigned long>(version));
  sdp.origin_net_type = 'I';
  sdp.origin_conn = foip_sdp__conn{};
  copy_text(sdp.origin_conn.host, FOIP_SDP__ORIGIN_HOST);
  return true;
}

bool create_sdp__fresh_origin(const foip_sdp__env& env, u32 version, sip_mgt__sdp_contents& sdp) {
  clear_session_part(sdp);
  sdp.present = 0;
  return create_sdp__main_body__origin__dscp(env, version, sdp);
}

void create_sdp__audio_pcma_pcmu(foip_sdp__media& m, const foip_sdp__env& env) {
  audio_entry(m, env);
  m.format_count = 2;
  m.formats[0] = FOIP_SDP__PT_PCMA;
  m.formats[1] = FOIP_SDP__PT_PCMU;
  add_audio_row(m, 0, FOIP_SDP__PT_PCMA);
  add_audio_row(m, 1, FOIP_SDP__PT_PCMU);
}

void create_sdp__audio_codec(u8 payload_type, foip_sdp__media& m, const foip_sdp__env& env) {
  audio_entry(m, env);
  m.format_count = 1;
  m.formats[0] = payload_type;
  add_audio_row(m, 0, payload_type);
}

void create_sdp__t38_entry(const foip_sdp__t38_param* local, u8 transport, foip_sdp__media& m,
                           const foip_sdp__env& env) {
  clear_media(m);
  m.type = FOIP_SDP__IMAGE;
  m.format = FOIP_SDP__FORMAT_T38;
  m.transport = transport;
  if (local == nullptr) return;
  const bool nat = env.flag_nat_support == 1;
  if (transport == FOIP_SDP__TCP) {
    m.port = nat ? env.nat_tcp_t38_port : env.tcp_t38_port;
  } else {
    m.port = nat ? env.nat_udp_t38_port : env.udp_t38_port;
  }
  m.t38 = *local;
  if (transport == FOIP_SDP__TCP && env.tcp_enabled != 1) {
    m.port = 0;
    return;
  }
  const u8 n = transport == FOIP_SDP__TCP ? 6 : FOIP_SDP__NB_T38_ATTR;
  for (u8 k = 0; k < n; ++k) m.t38_state[k] = FOIP_SDP__ATTR_LOCAL;
}

void create_sdp__t38_media(u16 at, sip_mgt__sdp_contents& sdp, const foip_sdp__env& env) {
  u8 tr[2] = {};
  const u8 kinds = t38_transports(env, tr);
  for (u8 i = 0; i < kinds; ++i) {
    u16 slot = FOIP_SDP__NO_INDEX;
    if (at == FOIP_SDP__NO_INDEX) {
      for (u16 j = 0; j < sdp.media_count; ++j)
        if (sdp.media[j].type == FOIP_SDP__IMAGE && sdp.media[j].transport == tr[i]) {
          slot = j;
          break;
        }
      if (slot != FOIP_SDP__NO_INDEX) {
        create_sdp__t38_entry(env.local, tr[i], sdp.media[slot], env);
        continue;
      }
      slot = sdp.media_count;
    } else {
      slot = static_cast<u16>(at + i);
    }
    if (slot >= FOIP_SDP__MAX_MEDIA) return;
    create_sdp__t38_entry(env.local, tr[i], sdp.media[slot], env);
    if (slot >= sdp.media_count) sdp.media_count = static_cast<u16>(slot + 1);
  }
}

u16 foip_sdp__create_offer(const foip_sdp__env& env, u32 version, sip_mgt__sdp_contents& sdp) {
  sip_mgt__sdp_clear(sdp);
  if (!create_sdp__fresh_origin(env, version, sdp)) return 0;
  u16& n = sdp.media_count;
  switch (env.operating_mode) {
    case FOIP__WAIT_RE_INVITE: create_sdp__t38_media(0, sdp, env); break;
    case 2:
      create_sdp__audio_codec(FOIP_SDP__PT_PCMA, sdp.media[0], env);
      create_sdp__audio_codec(FOIP_SDP__PT_PCMU, sdp.media[1], env);
      n = 2;
      create_sdp__t38_media(2, sdp, env);
      break;
    case 3:
    case 4:
      create_sdp__audio_codec(FOIP_SDP__PT_PCMA, sdp.media[0], env);
      create_sdp__audio_codec(FOIP_SDP__PT_PCMU, sdp.media[1], env);
      n = 2;
      break;
    case 6:
      create_sdp__audio_pcma_pcmu(sdp.media[0], env);
      n = 1;
      create_sdp__t38_media(1, sdp, env);
      break;
    default:  // 5, 7, 8
      create_sdp__audio_pcma_pcmu(sdp.media[0], env);
      n = 1;
      break;
  }
  return n;
}

bool foip_sdp__same(const sip_mgt__sdp_contents& a, const sip_mgt__sdp_contents& b) {
  if (a.present != b.present) return false;
  if (!a.present) return true;
  if (a.media_count != b.media_count || !same_conn(a.conn, b.conn) || !same_conn(a.origin_conn, b.origin_conn) ||
      std::strcmp(a.session_name, b.session_name) != 0 || std::strcmp(a.origin_user, b.origin_user) != 0 ||
      std::strcmp(a.origin_session_id, b.origin_session_id) != 0 || a.origin_net_type != b.origin_net_type ||
      std::strcmp(a.start_time, b.start_time) != 0 || std::strcmp(a.stop_time, b.stop_time) != 0)
    return false;
  for (u16 i = 0; i < a.media_count && i < FOIP_SDP__MAX_MEDIA; ++i)
    if (!same_media(a.media[i], b.media[i])) return false;
  return true;
}

bool foip_sdp__update_version(sip_mgt__sdp_contents& sdp, sip_mgt__sdp_contents& last_sent, u32& counter) {
  const bool changed = !foip_sdp__same(sdp, last_sent);
  if (changed) ++counter;
  (void)std::snprintf(sdp.version, sizeof sdp.version, "%lu", static_cast<unsigned long>(counter));
  last_sent = sdp;
  return changed;
}

// ---------------------------------------------------------------------------
// Received descriptions

bool ssc_prim_has_sdp(code_t prim, ssc_handle* h) {
  if (prim != SSC_INVITE_CO && prim != SSC_INVITE_IN && prim != SSC_ACK_IN) return false;
  return ssc_is_handle(h) && Ssc_first<ssc_hdr_sdp_session>(h, ssc_header_id::SDP_MAIN_BODY) != nullptr;
}

u8 decode_sdp__remote(code_t prim, ssc_handle* h, const foip_sdp__env& env, sip_mgt__sdp_contents& sdp, u16* enabled,
                      u16* total) {
  sip_mgt__sdp_clear(sdp);
  if (enabled != nullptr) *enabled = 0;
  if (total != nullptr) *total = 0;
  if (!ssc_prim_has_sdp(prim, h)) return FOIP_SDP__NO_SDP;
  const auto* s = Ssc_first<ssc_hdr_sdp_session>(h, ssc_header_id::SDP_MAIN_BODY);
  sdp.present = 1;
  if (s->session_name != nullptr) copy_text(sdp.session_name, s->session_name);
  copy_text(sdp.start_time, s->start_time);
  copy_text(sdp.stop_time, s->stop_time);
  read_conn(sdp.conn, s->family, s->v4, s->host);
  if (const auto* o = Ssc_first<ssc_hdr_sdp_origin>(h, ssc_header_id::ORIGIN_CNCT_DESCR)) {
    copy_text(sdp.origin_user, o->user);
    copy_text(sdp.origin_session_id, o->session_id);
    copy_text(sdp.version, o->version);
    sdp.origin_net_type = o->net_type;
    read_conn(sdp.origin_conn, o->family, o->v4, o->host);
  }
  const bool session_addr = has_address(sdp.conn);
  u16 seen = 0, on = 0;
  u8 pos[FOIP_SDP__MAX_MEDIA] = {};  // m-line position of each media read
  bool no_address = false;
  // Counts a media line and gives the slot it is read into; null once the
  // description is full.
  auto next_media = [&](u8 media_pos) -> foip_sdp__media* {
    ++seen;
    if (sdp.media_count >= FOIP_SDP__MAX_MEDIA) return nullptr;
    pos[sdp.media_count] = media_pos;
    return &sdp.media[sdp.media_count++];
  };
  // Counts an enabled media line (audio or image), which needs an address.
  auto count_enabled = [&](const foip_sdp__media& m) {
    if (m.port == 0) return;
    ++on;
    if (!session_addr && !has_address(m.conn)) no_address = true;
  };
  const auto* rows = Ssc_first<ssc_hdr_sdp_rtpmap>(h, ssc_header_id::RTP_CNCT_DESCR);
  // Reads each media line of one list into the next slot.
  auto read_list = [&](const auto* first, auto read) {
    for (const auto* line = first; line; line = line->next)
      if (foip_sdp__media* slot = next_media(line->media_pos)) read(*slot, line);
  };
  read_list(Ssc_first<ssc_hdr_sdp_media>(h, ssc_header_id::AUDIO_CNCT_DESCR), [&](foip_sdp__media& m, const auto* a) {
    m.type = a->kind;
    read_media_line(m, *a, a->host);
    m.port_count = a->port_count;
    m.ptime = a->ptime;
    m.maxptime = a->maxptime;
    const u16 nf = a->formats != nullptr ? a->format_count : 0;
    m.format_count = static_cast<u8>(std::min<u16>(nf, FOIP_SDP__MAX_FORMATS));
    if (m.format_count) std::memcpy(m.formats, a->formats, m.format_count);
    u8 nrows = 0;
    for (const auto* r = rows; r != nullptr && nrows < FOIP_SDP__MAX_ATTR; r = r->next) {
      if (std::find(m.formats, m.formats + m.format_count, r->payload_type) == m.formats + m.format_count) continue;
      foip_sdp__attr& row = m.attr[nrows++];
      row.present = 1;
      row.payload_type = r->payload_type;
      row.clock_rate = r->clock_rate;
      copy_text(row.encoding, r->encoding);
      copy_text(row.fmtp, r->fmtp);
    }
    count_enabled(m);
  });
  read_list(Ssc_first<ssc_hdr_sdp_t38>(h, ssc_header_id::T38_CNCT_DESCR), [&](foip_sdp__media& m, const auto* t) {
    m.type = FOIP_SDP__IMAGE;
    m.format = t->format;
    read_media_line(m, *t, t->host_name);
    read_t38(m, *t, env);
    count_enabled(m);
  });
  read_list(Ssc_first<ssc_hdr_sdp_other_media>(h, ssc_header_id::OTHER_CNCT_DESCR),
            [&](foip_sdp__media& m, const auto* o) {
              m.type = FOIP_SDP__OTHER;
              // A line without port ("m=name") offers nothing usable: kept as disabled.
              m.port = o->port == 0xFFFF ? u16{0} : o->port;
              m.port_count = o->port_count;
              read_conn(m.conn, o->family, o->v4, o->host);
              if (ssc_ptr_set(o->media_name)) copy_text(m.other.name, o->media_name);
              if (ssc_ptr_set(o->transport)) copy_text(m.other.transport, o->transport);
              if (ssc_ptr_set(o->format)) copy_text(m.other.format, o->format);
              if (m.port != 0) ++on;
            });
  // The codec passes at most as many media lines as it keeps; it counts the
  // others.
  if (s->media_lines != 0xFF && s->media_lines > seen) seen = s->media_lines;
  // The offer's m-line order (audio, image and other lines arrive in three
  // lists): the answer keeps it.  Stable, so unknown positions (0xFF) keep
  // theirs.
  for (u16 i = 1; i < sdp.media_count; ++i)
    for (u16 j = i; j > 0 && pos[j - 1] > pos[j]; --j) {
      std::swap(pos[j - 1], pos[j]);
      std::swap(sdp.media[j - 1], sdp.media[j]);
    }
  if (enabled != nullptr) *enabled = on;
  if (total != nullptr) *total = seen;
  if (no_address) return FOIP_SDP__NO_ADDRESS;
  return sdp.media_count > 0 ? FOIP_SDP__DECODED : FOIP_SDP__BAD_SDP;
}

u8 check_t38_cap_compatibility(const foip_sdp__t38_param& local, u8 transport, const foip_sdp__t38_param& remote,
                               u8 tcp_enabled) {
  constexpr u8 OK = 2, NO = 3;
  auto clash = [](u8 l, u8 r) { return (l == 1 && r == 2) || (l == 2 && r == 1); };
  if (transport == FOIP_SDP__TCP) {
    if (tcp_enabled != 1) return NO;
    return clash(local.tpkt_param.drate_mgt_method, remote.tpkt_param.drate_mgt_method) ? NO : OK;
  }
  if (clash(local.udptl_param.udp_ec, remote.udptl_param.udp_ec)) return NO;
  return clash(local.udptl_param.drate_mgt_method, remote.udptl_param.drate_mgt_method) ? NO : OK;
}

u8 check_t38_cap_remote_vs_local(sip_mgt__sdp_contents& remote, const foip_sdp__env& env, u16* index, u16* local_port,
                                 u16* nat_port) {
  if (env.local == nullptr) return 0;
  u16 audio = FOIP_SDP__NO_INDEX, video = FOIP_SDP__NO_INDEX;
  const u16 n = std::min<u16>(remote.media_count, FOIP_SDP__MAX_MEDIA);
  for (u16 i = 0; i < n; ++i) {
    foip_sdp__media& m = remote.media[i];
    if (m.type == FOIP_SDP__AUDIO && audio == FOIP_SDP__NO_INDEX) audio = i;
    if (m.type == FOIP_SDP__VIDEO && video == FOIP_SDP__NO_INDEX) video = i;
    if (m.type != FOIP_SDP__IMAGE || m.format != FOIP_SDP__FORMAT_T38 || m.port == 0) continue;
    complete_t38(m, env);
    if (!may_use(env, m.transport)) continue;
    if (check_t38_cap_compatibility(*env.local, m.transport, m.t38, env.tcp_enabled) != 2) continue;
    m.selected = 1;
    if (index) *index = i;
    const bool tcp = m.transport == FOIP_SDP__TCP;
    if (local_port) *local_port = tcp ? env.tcp_t38_port : env.udp_t38_port;
    if (nat_port) *nat_port = tcp ? env.nat_tcp_t38_port : env.nat_udp_t38_port;
    return 2;
  }
  const u16 pick = audio != FOIP_SDP__NO_INDEX ? audio : video;
  if (pick == FOIP_SDP__NO_INDEX) return 0;
  remote.media[pick].selected = 1;
  if (index) *index = pick;
  if (local_port) *local_port = env.audio_port;
  if (nat_port) *nat_port = env.nat_audio_port;
  return 1;
}

void adjust_sdp__audio_answer(foip_sdp__media& m) {
  if (m.port == 0 || m.format_count < 2) return;
  for (u8 i = 0; i < m.format_count && i < FOIP_SDP__MAX_FORMATS; ++i) {
    const u8 pt = m.formats[i];
    if (pt != FOIP_SDP__PT_PCMA && pt != FOIP_SDP__PT_PCMU) continue;
    m.formats[0] = pt;
    m.format_count = 1;
    m.conn = foip_sdp__conn{};
    if (m.direction == 0) m.direction = 1;
    else if (m.direction == 1) m.direction = 0;
    return;
  }
}

foip_sdp__t38_param foip_sdp__negotiate_t38(const foip_sdp__t38_param& local, const foip_sdp__media& remote) {
  foip_sdp__t38_param s = local;
  if (remote.transport == FOIP_SDP__TCP) {
    auto& d = s.tpkt_param;
    const auto& r = remote.t38.tpkt_param;
    d.fax_max_bit_rate = std::min(local.tpkt_param.fax_max_bit_rate, r.fax_max_bit_rate);
    d.remove_fill_bits_t4 = local_has(local.tpkt_param.remove_fill_bits_t4, r.remove_fill_bits_t4) ? 1 : 0;
    d.transcode_mmr = local_has(local.tpkt_param.transcode_mmr, r.transcode_mmr) ? 1 : 0;
    d.transcode_jbig = local_has(local.tpkt_param.transcode_jbig, r.transcode_jbig) ? 1 : 0;
    d.drate_mgt_method = negotiate_rate(local.tpkt_param.drate_mgt_method, r.drate_mgt_method);
    return s;
  }
  auto& d = s.udptl_param;
  const auto& l = local.udptl_param;
  const auto& r = remote.t38.udptl_param;
  d.t38_version = std::min(l.t38_version, r.t38_version);
  d.fax_max_bit_rate = std::min(l.fax_max_bit_rate, r.fax_max_bit_rate);
  d.remove_fill_bits_t4 = local_has(l.remove_fill_bits_t4, r.remove_fill_bits_t4) ? 1 : 0;
  d.transcode_mmr = local_has(l.transcode_mmr, r.transcode_mmr) ? 1 : 0;
  d.transcode_jbig = local_has(l.transcode_jbig, r.transcode_jbig) ? 1 : 0;
  if (l.udp_ec == FOIP_SDP__UDP_FEC) d.udp_ec = FOIP_SDP__UDP_FEC;
  else if (l.udp_ec == FOIP_SDP__BOTH)
    d.udp_ec =
        (r.udp_ec == FOIP_SDP__UDP_FEC || r.udp_ec == FOIP_SDP__BOTH) ? FOIP_SDP__UDP_FEC : FOIP_SDP__UDP_REDUNDANCY;
  else d.udp_ec = FOIP_SDP__UDP_REDUNDANCY;
  d.drate_mgt_method = negotiate_rate(l.drate_mgt_method, r.drate_mgt_method);
  return s;
}

void foip_sdp__make_answer(sip_mgt__sdp_contents& sdp, const foip_sdp__env& env, u32 version,
                           foip_sdp__t38_param* session) {
  const u16 n = std::min<u16>(sdp.media_count, FOIP_SDP__MAX_MEDIA);
  for (u16 i = 0; i < n; ++i) {
    foip_sdp__media& m = sdp.media[i];
    m.conn = foip_sdp__conn{};
    if (m.type != FOIP_SDP__IMAGE) {
      adjust_sdp__audio_answer(m);
      m.conn = foip_sdp__conn{};
      continue;
    }
    const u8 transport = m.transport;
    if (m.selected != 1 || m.port == 0) {
      // Refused (or offered disabled): our entry of that transport, port 0.
      create_sdp__t38_entry(env.local, transport, m, env);
      m.port = 0;
      continue;
    }
    if (env.local == nullptr) continue;
    const foip_sdp__t38_param negotiated = foip_sdp__negotiate_t38(*env.local, m);
    foip_sdp__t38_param run = negotiated;
    if (transport == FOIP_SDP__UDPTL) {
      run.udptl_param.fax_max_buffer_size = m.t38.udptl_param.fax_max_buffer_size;
      run.udptl_param.max_datagram_size = m.t38.udptl_param.max_datagram_size;
    }
    create_sdp__t38_entry(&negotiated, transport, m, env);
    m.selected = 1;
    if (session != nullptr) *session = run;
  }
  (void)create_sdp__main_body__origin__dscp(env, version, sdp);
}
