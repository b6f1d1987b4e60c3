// Event-line trace of an SDP description and of T.38 parameters.
#include <algorithm>
#include <cstdio>

#include "session/foip/foip_call_info.h"
#include "session/foip/foip_sdp.h"
#include "session/trace/foip_trc.h"

namespace {

constexpr char BLANKS[] = "                         ";  // 25

// Appends formatted text, always terminated, never past the room.
struct text_buf {
  char* out;
  std::size_t room;
  std::size_t n = 0;
  template <class... A>
  void add(const char* fmt, A... a) {
    if (room == 0) return;
    const int w = std::snprintf(out + n, room - n, fmt, a...);
    if (w > 0) n = std::min(room - 1, n + static_cast<std::size_t>(w));
  }
};

const char* rate_text(u8 v) { return v == 1 ? "localTCF" : v == 3 ? "transferredTCF / localTCF" : "transferredTCF"; }
const char* ec_text(u8 v) {
  return v == 1 ? "t38UDPFEC" : v == 3 ? "t38UDPRedundancy / t38UDPFEC" : "t38UDPRedundancy";
}
const char* on_off(u8 v) { return v == 1 ? "ON" : "OFF"; }

void print(nai_t nai, const char* text) { foip_trc__print_event(nai, FOIP__SIP_EVT_2, text); }

// The lines of the attributes of both transports.
template <class Cap>
void add_common_t38(text_buf& b, const char* mk, const Cap& c) {
  b.add("%sT38FaxVersion         = %d\n", mk, c.t38_version);
  b.add("%sT38MaxBitRate         = %d\n", mk, c.fax_max_bit_rate);
  b.add("%sT38FaxRateManagement  = %s\n", mk, rate_text(c.drate_mgt_method));
  b.add("%sT38FaxFillBitRemoval  = %s\n", mk, on_off(c.remove_fill_bits_t4));
  b.add("%sT38FaxTranscodingMMR  = %s\n", mk, on_off(c.transcode_mmr));
  b.add("%sT38FaxTranscodingJBIG = %s\n", mk, on_off(c.transcode_jbig));
}

}  // namespace

std::size_t format_t38_media(char* out, std::size_t room, const foip_sdp__t38_param& p, u8 transport,
                             const char* marker) {
  text_buf b{out, room};
  if (room) out[0] = '\0';
  const char* mk = marker ? marker : BLANKS;
  const bool tcp = transport == FOIP_SDP__TCP;
  b.add("                            Media T.38 (%s)\n", tcp ? "TCP (TPKT)" : "UDP (UDPTL)");
  if (tcp) {
    add_common_t38(b, mk, p.tpkt_param);
    return b.n;
  }
  const auto& u = p.udptl_param;
  add_common_t38(b, mk, u);
  b.add("%sT38FaxMaxBuffer       = %d\n", mk, u.fax_max_buffer_size);
  b.add("%sT38FaxMaxDatagram     = %d\n", mk, u.max_datagram_size);
  b.add("%sT38FaxUdpEC           = %s\n", mk, ec_text(u.udp_ec));
  return b.n;
}

void display_sdp__media(u8 mode, const sip_mgt__sdp_contents& sdp, const char* user, const char* phone,
                        const foip_sdp__env* env, nai_t session_nai, nai_t print_nai) {
  char text[1024];
  const u16 n = std::min<u16>(sdp.media_count, FOIP_SDP__MAX_MEDIA);
  for (u16 i = 0; i < n; ++i) {
    const foip_sdp__media& m = sdp.media[i];
    const bool own = m.conn.family == OM_IP_FAMILY_V4 || m.conn.host[0] != '\0';
    const foip_sdp__conn& c = own ? m.conn : sdp.conn;
    text_buf b{text, sizeof text};
    text[0] = '\0';
    b.n = format_media_address(text, sizeof text,
                               m.selected == 1 ? "\n                       >>   Remote Media IP address   = "
                                               : "\n                            Remote Media IP address   = ",
                               c.host, c.family, c.ipv4, m.port);
    const char* disabled = m.port == 0 ? "Disabled" : "";
    if (m.type == FOIP_SDP__AUDIO) b.add("                            Media Audio %s\n", disabled);
    else if (m.type == FOIP_SDP__VIDEO) b.add("                            Media Video %s\n", disabled);
    else if (m.type != FOIP_SDP__IMAGE) b.add("                            Unknown Media %s\n", disabled);
    else if (m.format != FOIP_SDP__FORMAT_T38) b.add("                            Media Image unknown %s\n", disabled);
    else if (m.port == 0)
      b.add("                            Media T.38 (%s) Disabled\n", m.transport == FOIP_SDP__TCP ? "TCP" : "UDPTL");
    else b.n += format_t38_media(text + b.n, sizeof text - b.n, m.t38, m.transport);
    print(print_nai, text);
  }
  if (mode == 1 || mode == 2) {
    if (user && user[0]) {
      (void)std::snprintf(text, sizeof text, "\n                            Local <user name>         = %.64s", user);
      print(print_nai, text);
    }
    if (phone && phone[0]) {
      (void)std::snprintf(text, sizeof text, "\n                            Local <user phone number> = %.26s", phone);
      print(print_nai, text);
    }
  }
  if (env == nullptr) {
    print(print_nai, "\n                            No Session found\n");
    return;
  }
  (void)std::snprintf(text, sizeof text, "\n                            Session activated (NAI)   = %d\n", session_nai);
  print(print_nai, text);
  const bool tcp = env->kind_of_t38_transport == 'T';
  const u16 port = tcp ? env->tcp_t38_port : env->udp_t38_port;
  const foip__full_ip_addr& a = env->local_media_ip_addr;
  if (env->flag_nat_support == 1) {
    const foip__full_ip_addr& na = env->nat_local_media_ip_addr;
    (void)format_media_address(text, sizeof text, "              (private)     Local Media IP address    = ", a.sz_fqdn,
                               a.ip_addr.ip_family, a.ip_addr.addr.v4.addr, port);
    print(print_nai, text);
    (void)format_media_address(
        text, sizeof text, "              (public NAT)  Local Media IP address    = ", na.sz_fqdn, na.ip_addr.ip_family,
        na.ip_addr.addr.v4.addr, tcp ? env->nat_tcp_t38_port : env->nat_udp_t38_port);
    print(print_nai, text);
    return;
  }
  (void)format_media_address(text, sizeof text, "                            Local Media IP address    = ", a.sz_fqdn,
                             a.ip_addr.ip_family, a.ip_addr.addr.v4.addr, port);
  print(print_nai, text);
}
