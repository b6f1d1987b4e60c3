// The SIP side's parameter checks and the configuration records it writes,
// read back by ENT_SSC's, ENT_SIP's and ENT_IP's own readers.
#include "session/config/foip_sip_cfg.h"

#include <gtest/gtest.h>

#include <cstring>

#include "runtime/entity_ids.h"

namespace {

foip__glb_sip_param base_param() {
  foip__glb_sip_param p{};
  p.sig_nai = 3;
  p.operating_mode = 2;
  p.re_invite_delay = 500;
  p.local_sip_addr.ip_addr.ip_family = OM_IP_FAMILY_NONE;
  p.nat.nat_local_sip_addr.ip_addr.ip_family = OM_IP_FAMILY_NONE;
  p.outbound_proxy.ip_addr.ip_family = OM_IP_FAMILY_NONE;
  p.registrar_addr.ip_addr.ip_family = OM_IP_FAMILY_NONE;
  return p;
}

void set_v4(foip__full_ip_addr& a, u8 a0, u8 a1, u8 a2, u8 a3, u16 port) {
  a.ip_addr.ip_family = OM_IP_FAMILY_V4;
  const u8 b[4] = {a0, a1, a2, a3};
  std::memcpy(a.ip_addr.addr.v4.addr, b, 4);
  a.ip_port = port;
}

TEST(FoipSipCfg, ValidationReplacesValuesOutOfRange) {
  struct row {
    u8 mode;
    u32 delay;
    u8 local_family, nat_flag, nat_family;
    u16 bfi;
    u8 want_mode;
    u32 want_delay;
    u8 want_local_family, want_nat_flag, want_nat_family;
    u16 want_bfi;
  };
  const row rows[] = {
      {0, 0, 0, 0, 4, 31, 1, 100, 9, 0, 9, 31},    // zeros become defaults; NAT off clears its family
      {9, 99, 6, 1, 6, 32, 1, 100, 9, 0, 9, 0},    // NAT family 6 turns NAT off
      {8, 100, 4, 1, 0, 16, 8, 100, 4, 1, 9, 16},  // NAT family 0 becomes 9, NAT stays on
      {5, 2000, 9, 1, 4, 0, 5, 2000, 9, 1, 4, 0},  // valid values stay
      {3, 1, 9, 2, 4, 40, 3, 100, 9, 0, 9, 0},     // NAT flag 2 is off
  };
  for (const row& r : rows) {
    foip__glb_sip_param p = base_param();
    p.operating_mode = r.mode;
    p.re_invite_delay = r.delay;
    p.local_sip_addr.ip_addr.ip_family = r.local_family;
    p.nat.flag_nat_support = r.nat_flag;
    p.nat.nat_local_sip_addr.ip_addr.ip_family = r.nat_family;
    p.get_sip_header_bfi = r.bfi;
    p.outbound_proxy.ip_addr.ip_family = 0;
    p.registrar_addr.ip_addr.ip_family = 7;
    sip_mgt__validate_sip_param(p);
    SCOPED_TRACE(int(r.mode));
    EXPECT_EQ(p.operating_mode, r.want_mode);
    EXPECT_EQ(p.re_invite_delay, r.want_delay);
    EXPECT_EQ(p.local_sip_addr.ip_addr.ip_family, r.want_local_family);
    EXPECT_EQ(p.nat.flag_nat_support, r.want_nat_flag);
    EXPECT_EQ(p.nat.nat_local_sip_addr.ip_addr.ip_family, r.want_nat_family);
    EXPECT_EQ(p.get_sip_header_bfi, r.want_bfi);
    EXPECT_EQ(p.outbound_proxy.ip_addr.ip_family, OM_IP_FAMILY_NONE);
    EXPECT_EQ(p.registrar_addr.ip_addr.ip_family, OM_IP_FAMILY_NONE);
  }
}

TEST(FoipSipCfg, ValidationTerminatesAddressNames) {
  foip__glb_sip_param p = base_param();
  std::memset(p.outbound_proxy.sz_fqdn, 'x', sizeof p.outbound_proxy.sz_fqdn);
  sip_mgt__validate_sip_param(p);
  EXPECT_EQ(std::strlen(p.outbound_proxy.sz_fqdn), FOIP__FQDN_MAX_LEN);
}

// ENT_SIP reads the body into the fields the values mean: by position 500
// would have become the hold time instead of T1.
TEST(FoipSipCfg, SipConfigLandsInTheFieldsItMeans) {
  const auto body = foip_sip__sip_config_body(7);
  sip_config c;
  ASSERT_TRUE(sip_config_read(body.data(), body.size(), &c));
  EXPECT_EQ(c.endpoint_count, 1);
  const sip_global_settings g = sip_config_resolve_global(c);
  EXPECT_EQ(g.server_tx_count, 1240u);
  EXPECT_EQ(g.call_count, 124u);
  EXPECT_EQ(g.cache_count, 20u);
  EXPECT_EQ(g.lookup_count, 20u);
  EXPECT_EQ(g.tick_period_ms, SIP_TIMER_NEVER);
  const sip_endpoint_settings e = sip_config_resolve(c.endpoints[0]);
  EXPECT_EQ(e.nai, 7);
  EXPECT_EQ(e.transport_nai, 7);
  EXPECT_EQ(e.address_type, 1);
  EXPECT_EQ(e.user_entity, ENT_SSC);
  EXPECT_EQ(e.transport_entity, ENT_IP);
  EXPECT_EQ(e.t1_ms, 500u);
  EXPECT_EQ(e.hold_ms, 32000u);  // left to ENT_SIP's default
  EXPECT_EQ(e.max_calls, 124);
  EXPECT_EQ(e.lookup_table_size, 20u);
  EXPECT_EQ(e.callid_buckets, 5);
  EXPECT_EQ(e.provisional_wait_ms, 360000u);
  EXPECT_EQ(e.endpoint_flags, SIP_EP_CACHE_REFRESH);
  EXPECT_EQ(e.default_port, 5060);
  // The other two entries stay empty.
  for (int i = 1; i < 3; ++i) EXPECT_EQ(c.endpoints[i].nai, 0) << i;
}

TEST(FoipSipCfg, SscConfigReadBackByEntSsc) {
  struct row {
    const char* name;
    bool v4;
    u8 want_count;
    u8 want_family;
  };
  const row rows[] = {
      {"", false, 0, 0},
      {"", true, 1, '4'},
      {"proxy.example", false, 1, 'N'},
      {"proxy.example", true, 1, 'N'},  // the name wins
  };
  for (const row& r : rows) {
    foip__glb_sip_param p = base_param();
    std::strcpy(p.outbound_proxy.sz_fqdn, r.name);
    if (r.v4) set_v4(p.outbound_proxy, 127, 0, 0, 9, 5070);
    else p.outbound_proxy.ip_port = 5070;
    const std::vector<u8> body = foip_sip__ssc_config_body(p);
    std::vector<ssc_config_profile> out;
    ASSERT_EQ(ssc_config_parse(body.data(), body.size(), out), SSC_CFG_OK);
    ASSERT_EQ(out.size(), 1u);
    const ssc_config_profile& pr = out[0];
    SCOPED_TRACE(r.name);
    EXPECT_EQ(pr.nai, 3);
    EXPECT_EQ(pr.calls, 62);
    EXPECT_EQ(pr.extra_dialogs, 68);
    EXPECT_EQ(pr.aux, 0);
    EXPECT_EQ(pr.reg_slots, 62);
    EXPECT_EQ(pr.user_entity, ENT_FOIP);
    EXPECT_EQ(pr.option_byte, SSC_OPT_SESSION_NOTICES) << "a far end's BYE is answered by ENT_SSC";
    EXPECT_EQ(pr.addr_count, r.want_count);
    if (r.want_count == 0) continue;
    EXPECT_EQ(pr.family, r.want_family);
    EXPECT_EQ(pr.port, 5070);
    if (r.want_family == 'N') EXPECT_STREQ(pr.host, r.name);
    else EXPECT_EQ(pr.addr[3], 9);
  }
}

TEST(FoipSipCfg, SscConfigCutsALongProxyName) {
  foip__glb_sip_param p = base_param();
  std::memset(p.outbound_proxy.sz_fqdn, 'a', FOIP__FQDN_MAX_LEN);
  p.outbound_proxy.sz_fqdn[FOIP__FQDN_MAX_LEN] = '\0';
  const std::vector<u8> body = foip_sip__ssc_config_body(p);
  std::vector<ssc_config_profile> out;
  ASSERT_EQ(ssc_config_parse(body.data(), body.size(), out), SSC_CFG_OK);
  EXPECT_EQ(std::strlen(out[0].host), 64u);
}

TEST(FoipSipCfg, SockEntryBindsOnlyAConfiguredAddress) {
  foip__glb_sip_param p = base_param();
  p.local_sip_addr.ip_port = 5062;
  std::vector<u8> body = foip_sip__sock_config_body(p);
  ASSERT_EQ(body.size(), SOCK_CONFIG_HEADER_SIZE + SOCK_CONFIG_ENTRY_SIZE);
  sock_config_entry e = sock_config_entry_unpack(body.data() + SOCK_CONFIG_HEADER_SIZE);
  EXPECT_EQ(e.address_count, 0);
  EXPECT_EQ(e.bind_address, 0);
  EXPECT_EQ(e.port, 5062);
  EXPECT_EQ(e.sapi, 1);
  EXPECT_EQ(e.nai, 3);
  EXPECT_EQ(e.control_entity, ENT_SIP);
  EXPECT_EQ(e.data_entity, ENT_SIP);
  EXPECT_EQ(e.receive_size, 4500u);
  EXPECT_EQ(e.rcvbuf_size, 40000u);
  EXPECT_EQ(e.retry_delay_ms, 100u);
  EXPECT_EQ(e.retry_limit, 10);
  EXPECT_EQ(e.cut_up, 1) << "a datagram over the receive size is answered, not dropped";

  set_v4(p.local_sip_addr, 127, 0, 0, 1, 5062);
  body = foip_sip__sock_config_body(p);
  e = sock_config_entry_unpack(body.data() + SOCK_CONFIG_HEADER_SIZE);
  EXPECT_EQ(e.address_count, 1);
  EXPECT_EQ(e.bind_address, 1);
  EXPECT_EQ(e.address[0], 127);
  EXPECT_EQ(e.address[3], 1);
}

}  // namespace
