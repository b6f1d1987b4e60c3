// SIP side of the FOIP entity: parameter checks and the configuration
// records of ENT_SSC, ENT_SIP and ENT_IP.
#include "session/config/foip_sip_cfg.h"

#include <cstring>

#include "runtime/entity_ids.h"

namespace {

void fix_family(foip__full_ip_addr& a) {
  if (a.ip_addr.ip_family != OM_IP_FAMILY_V4) a.ip_addr.ip_family = OM_IP_FAMILY_NONE;
}

bool has_name(const foip__full_ip_addr& a) {
  return std::memchr(a.sz_fqdn, '\0', sizeof a.sz_fqdn) != nullptr && a.sz_fqdn[0] != '\0';
}

void put16(u8* p, u16 v) {
  p[0] = static_cast<u8>(v);
  p[1] = static_cast<u8>(v >> 8);
}

// Byte layout of one ENT_SSC profile, as ssc_config_parse reads it (offsets
// from the profile's nai field).
namespace ssc_profile_at {
constexpr std::size_t nai = 0, calls = 2, extra = 4, aux = 6, reg = 8, entity = 10, flags = 12, optbyte = 14,
                      addr_count = 15, port = 16, family = 18, host = 19, addr = 84;
}

void pack_ssc_profile(const ssc_config_profile& pr, u8* p) {
  namespace at = ssc_profile_at;
  put16(p + at::nai, pr.nai);
  put16(p + at::calls, pr.calls);
  put16(p + at::extra, pr.extra_dialogs);
  put16(p + at::aux, pr.aux);
  put16(p + at::reg, pr.reg_slots);
  p[at::entity] = pr.user_entity;
  put16(p + at::flags, pr.option_flags);
  p[at::optbyte] = pr.option_byte;
  p[at::addr_count] = pr.addr_count;
  put16(p + at::port, pr.port);
  p[at::family] = pr.family;
  std::memcpy(p + at::host, pr.host, SSC_HOST_FIELD);
  std::memcpy(p + at::addr, pr.addr, sizeof pr.addr);
}
static_assert(ssc_profile_at::addr + 16 == SSC_CONFIG_PROFILE);

}  // namespace

void sip_mgt__validate_sip_param(foip__glb_sip_param& p) {
  if (p.operating_mode < FOIP__WAIT_RE_INVITE || p.operating_mode > FOIP__INVITE_MEDIA_AUDIO__SEND_RE_INVITE__2)
    p.operating_mode = FOIP__WAIT_RE_INVITE;
  if (p.re_invite_delay < FOIP__MIN_RE_INVITE_DELAY) p.re_invite_delay = FOIP__MIN_RE_INVITE_DELAY;
  fix_family(p.local_sip_addr);
  if (p.nat.flag_nat_support > 1) p.nat.flag_nat_support = 0;
  u8& nat_family = p.nat.nat_local_sip_addr.ip_addr.ip_family;
  if (p.nat.flag_nat_support == 1) {
    if (nat_family != OM_IP_FAMILY_V4 && nat_family != OM_IP_FAMILY_NONE) {
      if (nat_family != 0) p.nat.flag_nat_support = 0;
      nat_family = OM_IP_FAMILY_NONE;
    }
  } else {
    nat_family = OM_IP_FAMILY_NONE;
  }
  if (p.get_sip_header_bfi >= 32) p.get_sip_header_bfi = 0;
  fix_family(p.outbound_proxy);
  fix_family(p.registrar_addr);
  // Texts received from the configuration stay terminated.
  for (foip__full_ip_addr* a : {&p.local_sip_addr, &p.nat.nat_local_sip_addr, &p.outbound_proxy, &p.registrar_addr})
    a->sz_fqdn[FOIP__FQDN_MAX_LEN] = '\0';
}

ssc_config_profile foip_sip__ssc_profile(const foip__glb_sip_param& p) {
  ssc_config_profile pr;
  pr.nai = p.sig_nai;
  pr.calls = FOIP__MAX_SIP_CALL;
  pr.extra_dialogs = 68;
  pr.aux = 0;
  pr.reg_slots = FOIP__MAX_SIP_REGISTER;
  pr.user_entity = ENT_FOIP;
  // The call automaton knows the far end's hang-up only as SESS_CLOSED_IN:
  // ENT_SSC answers the BYE itself.
  pr.option_byte = SSC_OPT_SESSION_NOTICES;
  const foip__full_ip_addr& px = p.outbound_proxy;
  const bool name = has_name(px);
  const bool v4 = px.ip_addr.ip_family == OM_IP_FAMILY_V4;
  if (name || v4) {
    pr.addr_count = 1;
    pr.port = px.ip_port;
    if (name) {
      pr.family = 'N';
      std::size_t n = std::strlen(px.sz_fqdn);
      if (n > SSC_HOST_FIELD - 1) n = SSC_HOST_FIELD - 1;
      std::memcpy(pr.host, px.sz_fqdn, n);
      pr.host[n] = '\0';
    } else {
      pr.family = '4';
    }
    if (v4) std::memcpy(pr.addr, px.ip_addr.addr.v4.addr, 4);
  }
  return pr;
}

std::vector<u8> foip_sip__ssc_config_body(const foip__glb_sip_param& p) {
  std::vector<u8> body(SSC_CONFIG_SIZE, 0);
  put16(body.data() + 4, 1);  // one profile
  pack_ssc_profile(foip_sip__ssc_profile(p), body.data() + SSC_CONFIG_HEAD);
  return body;
}

namespace {

// ENT_SIP's template: the values the FOIP entity leaves as they are.
sip_config sip_config_template() {
  sip_config c;
  c.server_tx_count = 6000;
  c.cache_count = 20;
  sip_config_endpoint& e = c.endpoints[0];
  e.address_type = 1;
  e.t1_ms = 500;
  e.callid_buckets = 5;
  e.datagram_room = 10;
  e.endpoint_flags = SIP_EP_CACHE_REFRESH;
  e.provisional_wait_ms = 360000;
  c.tick_period_ms = SIP_TIMER_NEVER;
  c.tick_window = 0;
  return c;
}

}  // namespace

sip_config foip_sip__sip_config(nai_t sig_nai) {
  sip_config c = sip_config_template();
  c.server_tx_count = 1240;
  c.call_count = 124;
  c.lookup_count = 20;
  c.endpoint_count = 1;
  sip_config_endpoint& e = c.endpoints[0];
  e.nai = sig_nai;
  e.options = 0;
  e.user_entity = ENT_SSC;
  e.max_calls = 124;
  e.lookup_table_size = 20;
  e.transport_entity = ENT_IP;
  e.transport_nai = sig_nai;
  e.other_room = 0;
  return c;
}

std::array<u8, SIP_CONFIG_SIZE> foip_sip__sip_config_body(nai_t sig_nai) {
  std::array<u8, SIP_CONFIG_SIZE> out{};
  sip_config_pack(foip_sip__sip_config(sig_nai), out.data());
  return out;
}

sock_config_entry foip__bound_sock_entry(u8 sapi, u16 nai, u16 conn_id, ent_id_t control_entity, ent_id_t data_entity,
                                         const om_ip_addr_t& local, u16 port) {
  sock_config_entry e;
  const bool v4 = local.ip_family == OM_IP_FAMILY_V4;
  e.sapi = sapi;
  e.kind = sapi;
  e.nai = nai;
  e.conn_id = conn_id;
  e.address_count = v4 ? 1 : 0;
  e.bind_address = v4 ? 1 : 0;
  if (v4) std::memcpy(e.address, local.addr.v4.addr, 4);
  e.port = port;
  e.control_entity = control_entity;
  e.data_entity = data_entity;
  e.state = 's';
  e.rcvbuf_size = 40000;
  e.retry_delay_ms = 100;
  return e;
}

sock_config_entry foip_sip__sock_entry(const foip__glb_sip_param& p) {
  sock_config_entry e =
      foip__bound_sock_entry(1, p.sig_nai, 0, ENT_SIP, ENT_SIP, p.local_sip_addr.ip_addr, p.local_sip_addr.ip_port);
  e.receive_size = 4500;
  e.retry_limit = 10;
  // A request longer than the receive size still gets its answer: ENT_SIP
  // answers "Message Too Large" from the part that was received.
  e.cut_up = 1;
  return e;
}

std::vector<u8> foip_sip__sock_config_body(const foip__glb_sip_param& p) {
  return sock_config_body(0, {foip_sip__sock_entry(p)});
}
