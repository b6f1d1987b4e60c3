// What a call tells others: its reports (FOIP__REPORT_IN) and the alert of
// a new call (FOIP__ALERT_IN) with what its SIP messages say about the
// parties, the media record the session runs with, and the trace record of
// each step of the call automaton.
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>

#include "runtime/entity.h"
#include "runtime/entity_ids.h"
#include "session/foip/foip_call.h"
#include "session/foip/foip_call_info.h"
#include "session/foip/foip_ctx.h"
#include "session/foip/foip_err.h"
#include "session/foip/foip_sip_mgt.h"
#include "session/foip/foip_t38_mgt.h"
#include "session/trace/foip_trc.h"
#include "sip/prim/ssc_header.h"

namespace {

using H = ssc_header_id;

nai_t sig_nai() { return sip_mgt__glb().glb_sip_param.sig_nai; }
ssc_handle* rx() { return sip_mgt__glb().rx_handle; }

void read_party(const ssc_hdr_name_addr* h, foip__party& p) {
  char name[FOIP_CALL__USER_NAME_SIZE];
  char phone[FOIP_CALL__PHONE_SIZE];
  if (read_sip_user_part(h, &p.kind, name, phone) != 2) p.kind = FOIP__USR_ID__UNKNOWN;
  foip__copy_text(p.sz_user_name, name);
  foip__copy_text(p.sz_phone_number, phone);
}

void read_contact(foip__full_ip_addr& out) {
  const auto* ct = Ssc_first<ssc_hdr_contact>(rx(), H::CONTACT);
  ssc_hdr_name_addr tmp{};
  if (ssc_ptr_set(ct)) {
    tmp.uri = ct->uri;
    (void)read_sip_host_part(&tmp, out);
  } else {
    (void)read_sip_host_part(nullptr, out);
  }
}

void read_product(foip__call_info& i, H id) {
  const auto* p = Ssc_first<ssc_hdr_product>(rx(), id);
  if (!ssc_ptr_set(p)) return;
  read_sip_user_agent(p, i.remote_sip__product_string, i.remote_sip__version_string, i.remote_sip__comment_string);
}

// The header images the configuration asks for (get_sip_header_bfi), in
// the order To, From, Request-URI, P-Asserted-Identity entries, header 72,
// at most five.
void fill_header_images(foip__call_info& i, const ssc_hdr_name_addr* to, const ssc_hdr_name_addr* from) {
  const u16 bits = sip_mgt__glb().glb_sip_param.get_sip_header_bfi;
  u8 n = 0;
  auto add = [&](u8 kind, const char* display, const ssc_uri* uri, const char* params) {
    if ((bits & kind) == 0 || n >= FOIP__SIP_HEADER_IMAGES) return;
    read_sip_header_image(kind, display, uri, params, i.headers[n++]);
  };
  if (ssc_ptr_set(to)) add(FOIP__HDR_TO, to->s1, &to->uri, to->s2);
  if (ssc_ptr_set(from)) add(FOIP__HDR_FROM, from->s1, &from->uri, from->s2);
  if (const auto* ru = Ssc_first<ssc_hdr_request_uri>(rx(), H::REQUEST_URI); ssc_ptr_set(ru))
    add(FOIP__HDR_REQUEST_URI, nullptr, &ru->uri, nullptr);
  for (auto* p = Ssc_first<ssc_hdr_identity>(rx(), H::P_ASSERTED_IDENTITY); ssc_ptr_set(p); p = p->next)
    add(FOIP__HDR_P_ASSERTED_IDENTITY, p->s1, &p->uri, nullptr);
  for (auto* r = Ssc_first<ssc_hdr_referred_by>(rx(), H::REFERRED_BY); ssc_ptr_set(r); r = r->next)
    add(FOIP__HDR_72, r->s1, &r->uri, r->s2);
}

void fill_alert_media_description(const sip_call__ctx& c, foip__alert_media_description& out, u16 total) {
  out.media_count = total;
  for (u16 k = 0; k < FOIP__ALERT_MEDIA && k < c.sdp.media_count; ++k) {
    const foip_sdp__media& m = c.sdp.media[k];
    foip__alert_media& a = out.media[k];
    a.kind = m.type == FOIP_SDP__IMAGE ? 1 : m.type == FOIP_SDP__AUDIO ? 2 : 3;
    a.transport = m.transport == FOIP_SDP__UDPTL ? 14 : m.transport == FOIP_SDP__TCP ? 15 : 0;
    const foip_sdp__conn& cn = m.conn.family == OM_IP_FAMILY_V4 || m.conn.host[0] ? m.conn : c.sdp.conn;
    foip__copy_text(a.sz_fqdn, cn.host);
    a.family = cn.family == OM_IP_FAMILY_V4 ? OM_IP_FAMILY_V4 : OM_IP_FAMILY_NONE;
    std::memcpy(a.ipv4, cn.ipv4, 4);
    a.port = m.port;
    if (a.kind == 1) {
      a.t38_mask = 1 | 2 | 4 | 8 | 16 | 32;
      if (m.transport == FOIP_SDP__TCP) {
        foip__copy_t38_caps(a, m.t38.tpkt_param);
      } else {
        a.t38_mask |= 64 | 128 | 256;
        foip__copy_t38_caps(a, m.t38.udptl_param);
      }
    } else if (a.kind == 2) {
      const u8 f = m.format_count ? m.formats[0] : 0xFF;
      a.vocoder = f == 0 ? 2 : f == 8 ? 1 : (f >= 107 && f <= 109) ? 3 : 4;
    }
  }
}

constexpr const char* STATE_NAMES[FOIP_CALL__NB_STATES] = {"CALL_FREE", "CALL_PROGRESS", "CALL_PROGRESS_2", "CALL_DONE",
                                                           "FREE_PROGRESS"};
constexpr const char* EVENT_NAMES[12] = {
    "EVT_USR_STOP",           "EVT_SSC_INVITE_CO",         "EVT_SSC_INVITE_IN",
    "EVT_SSC_ACK_IN",         "EVT_SSC_SESSION_CLOSED_IN", "EVT_SSC_CLOSE_SESSION_CO",
    "EVT_SSC_CALL_CLOSED_IN", "EVT_TI_WAIT_T38_CAP",       "EVT_FOIP__ALERT_RS",
    "EVT_SSC_ERROR_IN",       "EVT_SM_REPORT_IN",          "EVT_SSC_SET_PARAM_SESSION_CO"};

}  // namespace

void foip_call__send_report(u8 kind, sip_call__ctx& c) {
  foip__na_ctx* s = c.session;
  if (!s) return;
  auto rec = std::make_unique<foip__report>();
  rec->kind_of_report = FOIP__REPORT__EVT;
  rec->kind = kind;
  if (kind == FOIP__EVENT__SIP_CALL_CLOSE) {
    rec->body.sip_conn_id = c.conn_id;
  } else {
    c.info.sip_conn_id = c.conn_id;
    if (c.info.sip_ret_code != 0 && c.info.sz_sip_ret_code[0] == '\0')
      foip__copy_text(c.info.sz_sip_ret_code, foip_err__ret_code_text(c.info.sip_ret_code));
    rec->body.call_open = c.info;
  }
  const foip_api__addr a{
      .from = ENT_FOIP, .to = s->user_entity, .nai = s->nai, .sapi = FOIP__SAPI, .conn_id = FOIP__CONN_NONE};
  (void)foip_api__send(a, FOIP__REPORT_IN, rec.get(), sizeof(foip__report));
}

// The answer to our INVITE: remote from To, local from From.
void foip_call__fill_outgoing_info(sip_call__ctx& c) {
  foip__call_info& i = c.info;
  const auto* to = Ssc_first<ssc_hdr_name_addr>(rx(), H::TO);
  const auto* from = Ssc_first<ssc_hdr_name_addr>(rx(), H::FROM);
  (void)read_sip_host_part(ssc_ptr_set(to) ? to : nullptr, i.remote_addr);
  read_contact(i.contact_addr);
  i.source_addr = foip__full_ip_addr{};
  i.source_addr.ip_addr.ip_family = OM_IP_FAMILY_NONE;
  read_product(i, H::USER_AGENT);
  read_product(i, H::SERVER);
  read_party(ssc_ptr_set(from) ? from : nullptr, i.local);
  read_party(ssc_ptr_set(to) ? to : nullptr, i.remote);
}

// A new INVITE: local from To, remote from From, the transport source.
void foip_call__fill_incoming_info(sip_call__ctx& c, const ssc_hdr_name_addr* to) {
  foip__call_info& i = c.info;
  const auto* from = Ssc_first<ssc_hdr_name_addr>(rx(), H::FROM);
  read_party(to, i.local);
  (void)read_sip_host_part(ssc_ptr_set(from) ? from : nullptr, i.remote_addr);
  read_contact(i.contact_addr);
  const ssc_handle* h = rx();
  i.source_addr = foip__full_ip_addr{};
  i.source_addr.ip_addr.ip_family = OM_IP_FAMILY_NONE;
  if (h->addr_family == '4' || h->addr_family == '6') i.source_addr.ip_port = h->addr_port;
  if (h->addr_family == '4') {
    i.source_addr.ip_addr.ip_family = OM_IP_FAMILY_V4;
    std::memcpy(i.source_addr.ip_addr.addr.v4.addr, h->addr_v4, 4);
  }
  read_party(ssc_ptr_set(from) ? from : nullptr, i.remote);
  read_product(i, H::USER_AGENT);
  fill_header_images(i, to, from);
}

// FOIP__ALERT_IN to the FOIP user; false when it could not be sent.
bool foip_call__send_alert_in(sip_call__ctx& c, u16 total) {
  auto rec = std::make_unique<foip__alert>();
  const foip__call_info& i = c.info;
  rec->called_kind = i.local.kind;
  foip__copy_text(rec->sz_called_user_name, i.local.sz_user_name);
  foip__copy_text(rec->sz_called_phone_number, i.local.sz_phone_number);
  rec->calling = i.remote;
  rec->remote_addr = i.remote_addr;
  rec->contact_addr = i.contact_addr;
  rec->source_addr = i.source_addr;
  std::memcpy(rec->remote_sip__product_string, i.remote_sip__product_string, sizeof i.remote_sip__product_string);
  std::memcpy(rec->remote_sip__version_string, i.remote_sip__version_string, sizeof i.remote_sip__version_string);
  std::memcpy(rec->remote_sip__comment_string, i.remote_sip__comment_string, sizeof i.remote_sip__comment_string);
  std::memcpy(rec->headers, i.headers, sizeof rec->headers);
  if (c.offer_had_sdp) fill_alert_media_description(c, rec->media, total);
  const foip_api__addr a{
      .from = ENT_FOIP, .to = foip__glb().user_entity, .nai = sig_nai(), .sapi = FOIP__SAPI, .conn_id = c.conn_id};
  return foip_api__send(a, FOIP__ALERT_IN, rec.get(), sizeof(foip__alert)) == FOIP_API__OK;
}

// The peer's media of a chosen T.38 entry into the session and the call.
void foip_call__set_remote_media(sip_call__ctx& c, u16 idx, const foip_sdp__t38_param& params) {
  foip__na_ctx* s = c.session;
  const foip_sdp__media& m = c.sdp.media[idx];
  s->kind_of_t38_transport = m.transport == FOIP_SDP__UDPTL ? 'U' : 'T';
  const foip_sdp__conn& cn = m.conn.host[0] != '\0' || m.conn.family != OM_IP_FAMILY_NONE ? m.conn : c.sdp.conn;
  foip__negotiated_media& nm = c.info.media;
  foip__copy_text(nm.sz_rem_media_fqdn, cn.host);
  nm.rem_media_family = cn.family == OM_IP_FAMILY_V4 ? OM_IP_FAMILY_V4 : OM_IP_FAMILY_NONE;
  std::memcpy(nm.rem_media_ipv4, cn.ipv4, 4);
  nm.rem_media_port = m.port;
  const foip_sdp__env env = foip_call__env(s);
  const bool nat = env.flag_nat_support == 1;
  const foip__full_ip_addr& la = nat ? env.nat_local_media_ip_addr : env.local_media_ip_addr;
  foip__copy_text(nm.sz_loc_media_fqdn, la.sz_fqdn);
  nm.loc_media_family = la.ip_addr.ip_family == OM_IP_FAMILY_V4 ? OM_IP_FAMILY_V4 : OM_IP_FAMILY_NONE;
  std::memcpy(nm.loc_media_ipv4, la.ip_addr.addr.v4.addr, 4);
  if (m.transport == FOIP_SDP__UDPTL) nm.loc_media_port = nat ? env.nat_udp_t38_port : env.udp_t38_port;
  else nm.loc_media_port = nat ? env.nat_tcp_t38_port : env.tcp_t38_port;
  const auto& u = params.udptl_param;
  nm.t38.use_t38_cap_bfi = u.use_t38_cap_bfi;
  foip__copy_t38_caps(nm.t38, u);
  c.negotiated = params;
  c.negotiated_transport = m.transport;
  t38_mgt__remote_media r;
  r.addr_kind = cn.host[0] != '\0' ? 9 : 4;
  std::memcpy(r.ipv4, cn.ipv4, 4);
  foip__copy_text(r.host, cn.host);
  r.port = m.port;
  foip__copy_t38_caps(r.udp_caps, u);
  foip__copy_t38_caps(r.tcp_caps, params.tpkt_param);
  r.tcp_caps.tcp_transport_supported = m.transport == FOIP_SDP__TCP ? 1 : 0;
  t38_mgt__set_remote_media(s->nai, r);
}

void foip_call__trace_step(const sip_call__ctx& c, u8 event, u8 old_state) {
  foip__record_step({sig_nai(), c.conn_id, AUTO_SIP_MGT, c.direction == FOIP_CALL__OUTGOING ? "[OUT]" : "[IN]",
                     foip_call__event_name(event), foip_call__state_name(old_state), foip_call__state_name(c.state),
                     event, old_state, c.state, static_cast<u8>(event / FOIP_CALL__EVENT_STEP), false});
}

void foip_call__display_media(const sip_call__ctx& c) {
  const char* user = "";
  const char* phone = "";
  if (c.session) {
    const auto& id = c.session->param.t38_media_add_param.sip_media_identification;
    user = id.sz_local_user_name;
    phone = id.sz_local_user_phone_number;
  }
  if (c.session) {
    const foip_sdp__env env = foip_call__env(c.session);
    display_sdp__media(1, c.sdp, user, phone, &env, c.session->nai, sig_nai());
  } else {
    display_sdp__media(1, c.sdp, user, phone, nullptr, 0xFFFF, sig_nai());
  }
}

const char* foip_call__state_name(u8 state) { return state < FOIP_CALL__NB_STATES ? STATE_NAMES[state] : "?"; }
const char* foip_call__event_name(u8 event) {
  if (event == EVT_OPEN_OUTGOING_CALL) return "EVT_OPEN_OUTGOING_CALL";
  if (event == EVT_SSC_OPTIONS_IN) return "EVT_SSC_OPTIONS_IN";
  return event % FOIP_CALL__EVENT_STEP == 0 && event / FOIP_CALL__EVENT_STEP < std::size(EVENT_NAMES)
             ? EVENT_NAMES[event / FOIP_CALL__EVENT_STEP]
             : "?";
}
