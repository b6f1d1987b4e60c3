// Requests of a call that need its session, and REGISTER: SSC handles built
// on the SIP side's build handle and sent to ENT_SSC.
#include <cstdio>
#include <cstring>

#include "runtime/entity.h"
#include "runtime/entity_ids.h"
#include "session/foip/foip_call.h"
#include "session/foip/foip_ctx.h"
#include "session/foip/foip_err.h"
#include "session/foip/foip_sip_build.h"
#include "session/foip/foip_sip_mgt.h"
#include "session/trace/foip_trc.h"
#include "sip/prim/ssc_codes.h"
#include "sip/prim/ssc_header.h"

namespace {

using H = ssc_header_id;

nai_t sig_nai() { return sip_mgt__glb().glb_sip_param.sig_nai; }

void line(const char* fmt, u16 conn_id) {
  char text[253];
  (void)std::snprintf(text, sizeof text, fmt, sig_nai(), conn_id);
  foip_trc__print_event(sig_nai(), FOIP__SIP_EVT_1, text);
}

bool open(ssc_handle* h, ssc_msg_type type, u16 conn_id, const char* who) {
  return foip_sip__open_handle(h, type, sig_nai(), conn_id, who);
}

u8 send(ssc_handle* h, u16 conn_id, code_t code, const char* who) {
  return foip_sip__send_handle(h, sig_nai(), conn_id, code, who);
}

bool no_session(const sip_call__ctx& c, const char* who) {
  if (c.session) return false;
  foip_sip__trap(sig_nai(), c.conn_id, FOIP__TRAP__SIP_MEDIA_CTX_NOT_SET, "FOIP__TRAP__SIP_MEDIA_CTX_NOT_SET", who,
                 "p_call_ctx->p_na_media_ctx = P_NIL ??");
  return true;
}

// The parts of an address header, worked out before the header is taken so
// that a host that cannot be written leaves no half-filled header.
struct addr_parts {
  u8 user_form = 0xFF;  // 'U', 'P', 0xFF none
  const char* user = nullptr;
  u8 tel_global = 0;
  u8 user_param = 0xFF;
  u8 host_family = 0xFF;
  const char* host_name = nullptr;
  u8 v4[4] = {};
  u16 port = 0xFFFF;
};

void set_user(addr_parts& a, u8 identification, const char* name, const char* phone) {
  if (identification == FOIP__USR_ID__NAME) {
    a.user_form = 'U';
    a.user = name;
    a.user_param = 0xFF;
    return;
  }
  a.user_form = 'P';
  a.user_param = 'P';
  a.tel_global = phone[0] == '+' ? 1 : 0;
  a.user = phone + a.tel_global;
}

// Name first, else IPv4; false (trap) when neither can be written.
bool set_host(addr_parts& a, const foip__full_ip_addr& addr, u16 conn_id, const char* who, const char* field) {
  if (addr.sz_fqdn[0] != '\0') {
    a.host_family = 'N';
    a.host_name = addr.sz_fqdn;
    return true;
  }
  if (addr.ip_addr.ip_family == OM_IP_FAMILY_V4) {
    a.host_family = '4';
    std::memcpy(a.v4, addr.ip_addr.addr.v4.addr, 4);
    return true;
  }
  char what[96];
  (void)std::snprintf(what, sizeof what, "%s unknown", field);
  foip_sip__trap(sig_nai(), conn_id, FOIP__TRAP__UNKNOWN_IP_ADDR, "FOIP__TRAP__UNKNOWN_IP_ADDR", who, what);
  return false;
}

void fill_uri(ssc_uri& u, const addr_parts& a) {
  u.scheme = 1;
  u.user_form = a.user_form;
  if (a.user_form == 'P') {
    u.tel_number = a.user;
    u.tel_global = a.tel_global;
  } else if (a.user_form == 'U') {
    u.user = a.user;
  }
  u.host_family = a.host_family;
  if (a.host_family == 'N') u.host_name = a.host_name;
  else std::memcpy(u.host_v4, a.v4, 4);
  u.port = a.port;
  u.user_param = a.user_param;
}

template <class T>
T* add(ssc_handle* h, H id, nai_t nai, const char* who) {
  return static_cast<T*>(foip_sip__add_header(h, id, nai, who));
}

void name_addr(ssc_handle* h, H id, const addr_parts& a, nai_t nai, const char* who) {
  if (auto* n = add<ssc_hdr_name_addr>(h, id, nai, who)) {
    n->b1 = 0;
    fill_uri(n->uri, a);
  }
}

void contact(ssc_handle* h, const addr_parts& a, nai_t nai, const char* who) {
  if (auto* c = add<ssc_hdr_contact>(h, H::CONTACT, nai, who)) {
    c->b1 = 0;
    fill_uri(c->uri, a);
  }
}

// NAT-aware host and port of Contact and Via.
const foip__full_ip_addr& own_sip_addr() {
  const foip__glb_sip_param& p = sip_mgt__glb().glb_sip_param;
  return p.nat.flag_nat_support == 1 ? p.nat.nat_local_sip_addr : p.local_sip_addr;
}

void via(ssc_handle* h, u16 conn_id, nai_t nai) {
  static constexpr char WHO[] = "build_sip_header__via";
  const foip__full_ip_addr& a = own_sip_addr();
  addr_parts host;
  if (!set_host(host, a, conn_id, WHO,
                sip_mgt__glb().glb_sip_param.nat.flag_nat_support == 1 ? "Foip__gpar__sip__nat_local_sip_ip_family"
                                                                       : "Foip__gpar__sip__local_sip_ip_family"))
    return;
  auto* v = add<ssc_hdr_via>(h, H::VIA, nai, WHO);
  if (!v) return;
  v->protocol = 1;
  v->s2 = "2.0";
  v->transport = 'U';
  v->family1 = host.host_family;
  if (host.host_family == 'N') v->s4 = host.host_name;
  else std::memcpy(v->v4_1, host.v4, 4);
  v->port = a.ip_port;
  v->w2 = 0xFFFF;
  v->b3 = 0xFF;
}

void user_auth(ssc_handle* h, const foip__sip_authentication& a, nai_t nai, const char* who) {
  if (a.flag_enable != 1) return;
  // ENT_SSC reads the user, the password and the realm in that order.
  if (auto* u = add<ssc_hdr_str4>(h, H::USER_AUTH, nai, who)) {
    u->s1 = a.sz_user_name;
    u->s2 = a.sz_user_password;
    u->s3 = a.sz_realm;
  }
}

// The offer, or the answer, with the version rule and its headers.
void sdp_headers(ssc_handle* h, sip_call__ctx& c) {
  (void)build_sip_header__content_type(h, sig_nai());
  (void)foip_sdp__build_headers(c.sdp, h);
}

}  // namespace

u8 send_ssc_set_param_session_rq(sip_call__ctx& c) {
  static constexpr char WHO[] = "send_ssc_set_param_session_rq";
  ssc_handle* h = sip_mgt__glb().build_handle;
  if (!open(h, ssc_msg_type::SET_PARM, c.conn_id, WHO)) return 3;
  line("\n(nai %d, conn_id %3d) SSC Evt: Send SSC_SET_PARAM_SESSION_RQ", c.conn_id);
  if (no_session(c, WHO)) return 3;
  const foip__session_param& p = c.session->param;
  const auto& id = p.t38_media_add_param.sip_media_identification;
  const foip__glb_sip_param& g = sip_mgt__glb().glb_sip_param;
  const nai_t nai = c.session->nai;
  addr_parts local;
  set_user(local, id.local_user_identification, id.sz_local_user_name, id.sz_local_user_phone_number);
  if (c.direction == FOIP_CALL__OUTGOING) {
    addr_parts to;
    set_user(to, id.remote_user_identification, id.sz_remote_user_name, id.sz_remote_user_phone_number);
    to.port = p.sip_session_param.remote_sip_addr.ip_port;
    if (set_host(to, p.sip_session_param.remote_sip_addr, 0xFFFF, "build_sip_header__to",
                 "Foip__sip__remote_sip_ip_family"))
      name_addr(h, H::TO, to, nai, "build_sip_header__to");
    addr_parts from = local;
    from.port = g.local_sip_addr.ip_port;
    if (set_host(from, g.local_sip_addr, 0xFFFF, "build_sip_header__from", "Foip__gpar__sip__local_sip_ip_family"))
      name_addr(h, H::FROM, from, nai, "build_sip_header__from");
  }
  addr_parts ct = local;
  ct.port = own_sip_addr().ip_port;
  if (set_host(ct, own_sip_addr(), 0xFFFF, "build_sip_header__contact",
               g.nat.flag_nat_support == 1 ? "Foip__gpar__sip__nat_local_sip_ip_family"
                                           : "Foip__gpar__sip__local_sip_ip_family"))
    contact(h, ct, nai, "build_sip_header__contact");
  via(h, 0xFFFF, nai);
  (void)build_sip_header__max_forwards(h, nai);
  (void)build_sip_header__user_agent(h, nai);
  (void)build_sip_header__server(h, nai);
  (void)build_sip_header__allow(h, nai);
  user_auth(h, p.sip_session_param.sip_authentication, nai, "build_sip_pseudo_header__user_auth");
  return send(h, c.conn_id, SSC_SET_PARM_RQ, WHO);
}

u8 send_ssc_invite_rq(bool re_invite, sip_call__ctx& c) {
  static constexpr char WHO[] = "send_ssc_invite_rq";
  ssc_handle* h = sip_mgt__glb().build_handle;
  if (!open(h, ssc_msg_type::INVITE, c.conn_id, WHO)) return 3;
  line(re_invite ? "\n(nai %d, conn_id %3d) SSC Evt: Send SSC_INVITE_RQ (re-invite)"
                 : "\n(nai %d, conn_id %3d) SSC Evt: Send SSC_INVITE_RQ",
       c.conn_id);
  if (no_session(c, WHO)) return 3;
  const foip_sdp__env env = foip_call__env(c.session);
  if (!re_invite) {
    if (foip_sdp__create_offer(env, c.origin_seed, c.sdp) == 0) return 3;  // nothing to offer
    c.last_sent = c.sdp;
  } else {
    // The new offer keeps every m-line we sent last, in its place: T.38
    // replaces the audio (modes 4 and 5) or is rebuilt where it was offered
    // before (else appended); every other line goes to port 0.
    const u8 mode = env.operating_mode;
    const bool replace_audio =
        mode == FOIP__INVITE_MEDIA_AUDIO__SEND_RE_INVITE || mode == FOIP__INVITE_MEDIA_AUDIO__SEND_RE_INVITE_T38;
    if (foip_sdp__create_t38_reoffer(env, c.last_sent, replace_audio, c.sdp) == 0) return 3;
    (void)create_sdp__main_body__origin__dscp(env, c.origin_seed, c.sdp);
    (void)foip_sdp__update_version(c.sdp, c.last_sent, c.origin_seed);
  }
  sdp_headers(h, c);
  return send(h, c.conn_id, SSC_INVITE_RQ, WHO);
}

u8 send_ssc_invite_rs_OK_with_offer(sip_call__ctx& c) {
  static constexpr char WHO[] = "send_ssc_invite_rs_OK_with_offer";
  ssc_handle* h = sip_mgt__glb().build_handle;
  if (!open(h, ssc_msg_type::INVITE_RS, c.conn_id, WHO)) return 3;
  char text[253];
  (void)std::snprintf(text, sizeof text,
                      "\n(nai %d, conn_id %3d) SSC Evt: Send SSC_INVITE_RS (ret_code: %d (%s) with First SDP offer)",
                      sig_nai(), c.conn_id, 200, "OK");
  foip_trc__print_event(sig_nai(), FOIP__SIP_EVT_1, text);
  if (no_session(c, WHO)) return 3;
  auto* st = add<ssc_hdr_status>(h, H::RETURN_CODE, sig_nai(), WHO);
  if (!st) return 3;
  st->code = 200;
  st->reason = "OK";
  if (foip_sdp__create_offer(foip_call__env(c.session), c.origin_seed, c.sdp) > 0) {
    c.last_sent = c.sdp;
    sdp_headers(h, c);
  }
  return send(h, c.conn_id, FOIP_SIP__INVITE_RS, WHO);
}

u8 foip_call__send_invite_rs_OK(sip_call__ctx& c) {
  if (c.sdp.present) (void)foip_sdp__update_version(c.sdp, c.last_sent, c.origin_seed);
  return send_ssc_invite_rs_OK(sip_mgt__glb().build_handle, sig_nai(), c.conn_id, c.sdp);
}

u8 send_ssc_register_rq(const foip__sip_register_param* r, u32 expires, u16 conn_id) {
  static constexpr char WHO[] = "send_ssc_register_rq";
  ssc_handle* h = sip_mgt__glb().build_handle;
  line("\n(nai %d, conn_id %3d)      SSC Evt (Register): Send SSC_REGISTER_RQ", conn_id);
  if (!open(h, ssc_msg_type::REGISTER, conn_id, WHO)) return 3;
  const nai_t nai = sig_nai();
  if (r != nullptr) {
    const foip__glb_sip_param& g = sip_mgt__glb().glb_sip_param;
    const bool proxy = g.outbound_proxy.sz_fqdn[0] != '\0' || g.outbound_proxy.ip_addr.ip_family == OM_IP_FAMILY_V4;
    // Request-URI: the registrar, or the outbound proxy when no registrar.
    {
      static constexpr char RU[] = "register_build_sip__request_uri";
      addr_parts a;
      bool ok = false;
      if (g.registrar_addr.sz_fqdn[0] != '\0' || g.registrar_addr.ip_addr.ip_family == OM_IP_FAMILY_V4) {
        ok = set_host(a, g.registrar_addr, conn_id, RU, "Foip__gpar__sip__registrar_ip_family");
        a.port = g.registrar_addr.ip_port;
      } else {
        ok = set_host(a, g.outbound_proxy, conn_id, RU, "Foip__gpar__sip__out_proxy_ip_family");
        a.port = g.outbound_proxy.ip_port;
      }
      if (ok)
        if (auto* ru = add<ssc_hdr_request_uri>(h, H::REQUEST_URI, nai, RU)) fill_uri(ru->uri, a);
    }
    addr_parts to;
    set_user(to, r->user_identification, r->sz_user_name, r->sz_user_phone_number);
    const bool to_ok = set_host(to, r->registered_addr, conn_id, "register_build_sip_header__to",
                                "Foip__sip_register__registered__ip_family");
    // From: the registering party, or the registered one.
    if (r->registering.user_identification == 0 || r->registering.user_identification == 3) {
      if (to_ok) name_addr(h, H::FROM, to, nai, "register_build_sip_header__from");
    } else {
      addr_parts from;
      set_user(from, r->registering.user_identification, r->registering.sz_user_name,
               r->registering.sz_user_phone_number);
      if (r->registering.addr.ip_port != 0) from.port = r->registering.addr.ip_port;
      if (set_host(from, r->registering.addr, conn_id, "register_build_sip_header__from",
                   "Foip__sip_register__registering__ip_family"))
        name_addr(h, H::FROM, from, nai, "register_build_sip_header__from");
    }
    addr_parts ct;
    set_user(ct, r->user_identification, r->sz_user_name, r->sz_user_phone_number);
    ct.port = own_sip_addr().ip_port;
    if (set_host(ct, own_sip_addr(), conn_id, "register_build_sip_header__contact",
                 "Foip__gpar__sip__local_sip_ip_family"))
      contact(h, ct, nai, "register_build_sip_header__contact");
    if (to_ok) name_addr(h, H::TO, to, nai, "register_build_sip_header__to");
    if (proxy && r->flag_snd_sip_register_to_registrar) {
      addr_parts rt;
      rt.port = g.registrar_addr.ip_port;
      if (set_host(rt, g.registrar_addr, conn_id, "register_build_sip_header__route",
                   "Foip__gpar__sip__registrar_ip_family"))
        if (auto* ro = add<ssc_hdr_route>(h, H::ROUTE, nai, "register_build_sip_header__route")) {
          ro->b1 = 0;
          fill_uri(ro->uri, rt);
        }
    }
    via(h, conn_id, nai);
    (void)build_sip_header__user_agent(h, nai);
    (void)build_sip_header__max_forwards(h, nai);
    (void)build_sip_header__allow(h, nai);
    user_auth(h, r->sip_authentication, nai, "register_build_sip_pseudo_header__user_auth");
  }
  if (auto* e = add<ssc_hdr_u32>(h, H::EXPIRES, nai, "register_build_sip_header__expires")) e->value = expires;
  return send(h, conn_id, SSC_REGISTER_RQ, WHO);
}
