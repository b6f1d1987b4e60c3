// The SIP entity's configuration body: layout, bounds and defaults.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "common/byte_order.h"
#include "sip/ent/sip_config.h"

namespace {

TEST(SipConfig, FieldsLieAtTheirOffsetsAndReadBack) {
  sip_config c;
  c.server_tx_count = 11;
  c.call_count = 12;
  c.cache_count = 13;
  c.lookup_count = 14;
  c.endpoint_count = 2;
  c.tick_period_ms = 0xFFFFFFFF;
  c.tick_window = 7;
  sip_config_endpoint& e = c.endpoints[1];
  e.nai = 0x0102;
  e.address_type = 1;
  e.options = 0x0184;
  e.address_length = 4;
  e.address = {10, 1, 2, 3, 0};
  e.default_port = 5070;
  e.user_entity = 0x83;
  e.hold_ms = 0x01020304;
  e.t1_ms = 100;
  e.t2_ms = 800;
  e.supervision_ms = 3001;
  e.max_calls = 9;
  e.lookup_table_size = 5;
  e.callid_buckets = 3;
  e.transport_entity = 'I';
  e.transport_nai = 0xFFFF;
  e.datagram_room = 3;
  e.other_room = 5;
  e.resolver_entity = 'q';
  e.endpoint_flags = 1;
  e.invite_resend_ms = 21;
  e.provisional_wait_ms = 22;
  e.lookup_life_ms = 23;
  e.bye_hold_ms = 24;
  e.branch_buckets = 4;
  std::strcpy(e.proxy_host.data(), "proxy.example");
  e.proxy_port = 5080;

  std::vector<std::uint8_t> b(SIP_CONFIG_SIZE);
  sip_config_pack(c, b.data());
  EXPECT_EQ(get_le32(&b[4]), 11u);
  EXPECT_EQ(get_le32(&b[12]), 12u);
  EXPECT_EQ(get_le16(&b[24]), 2u);
  EXPECT_EQ(get_le32(&b[460]), 0xFFFFFFFFu);
  EXPECT_EQ(get_le16(&b[464]), 7u);
  const std::uint8_t* p = &b[28 + 144];
  EXPECT_EQ(get_le16(p + 0), 0x0102u);
  EXPECT_EQ(p[2], 1);
  EXPECT_EQ(get_le16(p + 4), 0x0184u);
  EXPECT_EQ(p[7], 10);
  EXPECT_EQ(p[10], 3);
  EXPECT_EQ(get_le16(p + 12), 5070u);
  EXPECT_EQ(p[14], 0x83);
  EXPECT_EQ(get_le32(p + 20), 0x01020304u);
  EXPECT_EQ(get_le16(p + 36), 9u);
  EXPECT_EQ(get_le16(p + 48), 0xFFFFu);
  EXPECT_EQ(p[52], 'q');
  EXPECT_EQ(get_le32(p + 68), 24u);
  EXPECT_EQ(get_le16(p + 72), 4u);
  EXPECT_STREQ(reinterpret_cast<const char*>(p + 74), "proxy.example");
  EXPECT_EQ(get_le16(p + 140), 5080u);

  sip_config r;
  ASSERT_TRUE(sip_config_read(b.data(), b.size(), &r));
  std::vector<std::uint8_t> again(SIP_CONFIG_SIZE);
  sip_config_pack(r, again.data());
  EXPECT_EQ(again, b);
}

TEST(SipConfig, ShortBodyIsRefusedAndEndpointCountIsBoundedByTheBody) {
  std::vector<std::uint8_t> b(SIP_CONFIG_SIZE);
  sip_config r;
  EXPECT_FALSE(sip_config_read(b.data(), SIP_CONFIG_SIZE - 1, &r));
  put_le16(&b[24], 0xFFFF);
  // A proxy host without its NUL must come back terminated.
  std::memset(&b[28 + 74], 'x', 65);
  ASSERT_TRUE(sip_config_read(b.data(), b.size(), &r));
  EXPECT_EQ(r.endpoint_count, SIP_CONFIG_MAX_ENDPOINTS);
  EXPECT_EQ(r.endpoints[0].proxy_host[64], '\0');
  EXPECT_EQ(sip_config_resolve(r.endpoints[0]).proxy_host_length, 64);
}

TEST(SipConfig, ZeroFieldsTakeTheirDefaults) {
  const sip_endpoint_settings s = sip_config_resolve(sip_config_endpoint{});
  EXPECT_EQ(s.hold_ms, 32000u);
  EXPECT_EQ(s.ack_life_ms, 32000u);
  EXPECT_EQ(s.t1_ms, 500u);
  EXPECT_EQ(s.t2_ms, 4000u);
  EXPECT_EQ(s.supervision_ms, 3000u);
  EXPECT_EQ(s.invite_resend_ms, 20000u);
  EXPECT_EQ(s.provisional_wait_ms, 360000u);
  EXPECT_EQ(s.bye_hold_ms, 30000u);
  EXPECT_EQ(s.lookup_life_ms, 30000u);
  EXPECT_EQ(s.default_port, 5060);
  EXPECT_EQ(s.proxy_port, 5060);
  EXPECT_EQ(s.max_calls, 100);
  EXPECT_EQ(s.callid_buckets, 10);
  EXPECT_EQ(s.branch_buckets, 10);
  EXPECT_EQ(s.lookup_table_size, 50u);
  EXPECT_EQ(s.datagram_room, 28);
  const sip_global_settings g = sip_config_resolve_global(sip_config{});
  EXPECT_EQ(g.server_tx_count, 200u);
  EXPECT_EQ(g.call_count, 200u);
  EXPECT_EQ(g.cache_count, 0u);
  EXPECT_EQ(g.lookup_count, 50u);
  EXPECT_EQ(g.tick_period_ms, 1000u);
  EXPECT_EQ(g.tick_window, 10);
}

TEST(SipConfig, RulesOfSingleFields) {
  struct row {
    std::uint16_t max_calls, options;
    std::uint8_t transport, resolver, dgram_room, other_room;
    std::uint16_t want_calls, want_options;
    std::uint8_t want_resolver;
    std::uint16_t want_dgram, want_other;
  };
  const row rows[] = {
      {65535, 0x0100, 'I', 0, 0, 0, 65534, 0x0000, 'I', 28, 0},
      {65534, 0x0104, 'I', 'q', 3, 5, 65534, 0x0104, 'q', 32, 6},
      {1, 0x0180, 'I', 0, 255, 255, 1, 0x0180, 'I', 284, 256},
      {0, 0x0108, 'I', 0, 2, 2, 100, 0x0008, 'I', 30, 2},
  };
  for (const row& r : rows) {
    sip_config_endpoint e;
    e.max_calls = r.max_calls;
    e.options = r.options;
    e.transport_entity = r.transport;
    e.resolver_entity = r.resolver;
    e.datagram_room = r.dgram_room;
    e.other_room = r.other_room;
    const sip_endpoint_settings s = sip_config_resolve(e);
    EXPECT_EQ(s.max_calls, r.want_calls) << r.max_calls;
    EXPECT_EQ(s.options, r.want_options) << r.options;
    EXPECT_EQ(s.resolver_entity, r.want_resolver);
    EXPECT_EQ(s.datagram_room, r.want_dgram);
    EXPECT_EQ(s.other_room, r.want_other);
  }
}

}  // namespace
