// ENT_SIP as an entity: configuration by ENT_SM, endpoint life cycle, the
// tick to the user, unexpected senders, and the name cache fed by the
// resolver's answers.
#include <gtest/gtest.h>

#include <cstring>

#include "common/byte_order.h"
#include "runtime/sm.h"
#include "runtime/sock.h"
#include "runtime/timer.h"
#include "sip/ent/sip_entity.h"
#include "sip/ent/support/sip_harness.h"

using sip_test::harness;
using sip_test::one_endpoint;
using sip_test::USER_NAI;

namespace {

std::vector<std::uint8_t> ok_confirm() { return {2, SIP_CFG_OK, ENT_SIP}; }

TEST(SipEntity, ConfigurationBuildsEndpointAndPools) {
  harness h;
  sip_config c = one_endpoint();
  c.call_count = 7;
  EXPECT_EQ(h.configure(c), ok_confirm());
  const sip_entity_view v = sip_entity_state();
  EXPECT_EQ(v.endpoints, 1u);
  ASSERT_NE(v.pools, nullptr);
  EXPECT_EQ(v.pools->calls.capacity(), 7u);
  EXPECT_EQ(v.pools->server_txs.capacity(), 200u);
  EXPECT_EQ(v.pools->lookups.capacity(), 50u);
  const sip_endpoint_settings* s = sip_endpoint_settings_of(USER_NAI);
  ASSERT_NE(s, nullptr);
  EXPECT_EQ(s->t1_ms, 100u);
  EXPECT_EQ(s->t2_ms, 800u);
  EXPECT_TRUE(sip_endpoint_running(USER_NAI));
  EXPECT_EQ(sip_endpoint_next_conn_id(USER_NAI), 99);

  // A second configuration keeps the pools and refuses a nai in use.
  c.call_count = 3;
  EXPECT_EQ(h.configure(c), (std::vector<std::uint8_t>{3, SIP_CFG_BAD_NAI, 0}));
  EXPECT_EQ(sip_entity_state().pools->calls.capacity(), 7u);
}

TEST(SipEntity, ConfigurationFailuresStopAtTheirEntry) {
  struct row {
    const char* what;
    void (*edit)(sip_config&);
    std::uint8_t cause;
    std::uint32_t endpoints;
  };
  const row rows[] = {
      {"duplicate nai",
       [](sip_config& c) {
         c.endpoint_count = 2;
         c.endpoints[1] = c.endpoints[0];
         c.endpoints[1].transport_nai = 5;
       },
       SIP_CFG_BAD_NAI, 1},
      {"transport nai in use",
       [](sip_config& c) {
         c.endpoint_count = 2;
         c.endpoints[1] = c.endpoints[0];
         c.endpoints[1].nai = 4;
       },
       SIP_CFG_BAD_NAI, 1},
      {"nai beyond the runtime's", [](sip_config& c) { c.endpoints[0].nai = 60000; }, SIP_CFG_BAD_NAI, 0},
      {"address type 2", [](sip_config& c) { c.endpoints[0].address_type = 2; }, SIP_CFG_ADDRESS_TYPE, 0},
  };
  for (const row& r : rows) {
    harness h;
    sip_config c = one_endpoint();
    r.edit(c);
    EXPECT_EQ(h.configure(c), (std::vector<std::uint8_t>{3, r.cause, 0})) << r.what;
    EXPECT_EQ(sip_entity_state().endpoints, r.endpoints) << r.what;
  }
}

TEST(SipEntity, EndpointCountBeyondTheBodyReadsOnlyThreeEntries) {
  harness h;
  sip_config c = one_endpoint(1);
  c.endpoint_count = 3;
  for (std::uint16_t i = 1; i < 3; ++i) {
    c.endpoints[i] = c.endpoints[0];
    c.endpoints[i].nai = static_cast<std::uint16_t>(1 + i);
    c.endpoints[i].transport_nai = static_cast<std::uint16_t>(10 + i);
  }
  std::vector<std::uint8_t> body(SIP_CONFIG_SIZE);
  sip_config_pack(c, body.data());
  put_le16(&body[24], 40000);
  EXPECT_EQ(h.configure_raw(body), ok_confirm());
  EXPECT_EQ(sip_entity_state().endpoints, 3u);
  // A body cut short is refused whole.
  body.resize(100);
  EXPECT_EQ(h.configure_raw(body), (std::vector<std::uint8_t>{3, SIP_CFG_NOT_GATHERED, 0}));
}

TEST(SipEntity, StopReleaseAndInfo) {
  harness h;
  ASSERT_EQ(h.configure(one_endpoint()), ok_confirm());
  auto info = h.manage(SM_INFO_RQ, 0);
  ASSERT_EQ(info.size(), 4u);
  EXPECT_EQ(get_host16(&info[2]), 3);
  EXPECT_EQ(h.manage(SM_STOP_RQ, USER_NAI), (std::vector<std::uint8_t>{2, 0}));
  EXPECT_FALSE(sip_endpoint_running(USER_NAI));
  EXPECT_EQ(h.manage(SM_STOP_RQ, 9), (std::vector<std::uint8_t>{3, 0}));
  EXPECT_EQ(h.manage(SM_RST_CFG_RQ, 9), (std::vector<std::uint8_t>{3, 0}));
  EXPECT_EQ(h.manage(SM_RST_CFG_RQ, 65535), (std::vector<std::uint8_t>{2, 0}));
  EXPECT_NE(sip_entity_state().pools, nullptr);
  EXPECT_EQ(h.manage(SM_RST_CFG_RQ, USER_NAI), (std::vector<std::uint8_t>{2, 0}));
  EXPECT_EQ(sip_entity_state().endpoints, 0u);
  EXPECT_EQ(sip_entity_state().pools, nullptr);
  EXPECT_EQ(om_os_timer_pool_stats().in_use, 0);
  // Configured again after the last release: pools built anew.
  EXPECT_EQ(h.configure(one_endpoint()), ok_confirm());
  EXPECT_NE(sip_entity_state().pools, nullptr);
}

TEST(SipEntity, UnexpectedSenderGetsErrorThirteen) {
  harness h;
  ASSERT_EQ(h.configure(one_endpoint()), ok_confirm());
  const struct {
    ent_id_t from;
    std::uint16_t nai;
  } rows[] = {{ENT_IP, 30}, {ENT_IP, USER_NAI}, {ENT_SSC, 30}, {ENT_SSC, sip_test::TRANSPORT_NAI}};
  for (const auto& r : rows) {
    h.send(r.from, 'A', {1, 2}, r.nai, 77);
    auto out = h.take();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(out[0].to, r.from);
    EXPECT_EQ(out[0].code, SIP_ERROR_IN);
    EXPECT_EQ(out[0].nai, r.nai);
    EXPECT_EQ(out[0].conn_id, 77);
    ASSERT_GE(out[0].data.size(), 5u);
    EXPECT_EQ(get_host16(&out[0].data[0]), SIP_ERR_UNEXPECTED_SENDER);
    EXPECT_EQ(out[0].data[3], 1);
    EXPECT_EQ(out[0].data[4], 'A');
  }
}

TEST(SipEntity, TickGoesToTheUserAndCountsTheLag) {
  harness h;
  sip_config c = one_endpoint(0);
  c.tick_period_ms = 100;
  c.tick_window = 2;
  ASSERT_EQ(h.configure(c), ok_confirm());
  std::vector<std::uint8_t> lag_flags;
  for (int i = 0; i < 5; ++i) {
    h.advance(100);
    for (const auto& m : h.take_for(ENT_SSC)) {
      ASSERT_EQ(m.code, SIP_TICK_IN);
      EXPECT_EQ(m.nai, 0);
      EXPECT_EQ(m.conn_id, 0xFFFF);
      ASSERT_EQ(m.data.size(), 4u);
      EXPECT_EQ(get_host16(m.data.data()), lag_flags.size() + 1);
      lag_flags.push_back(m.data[2]);
    }
  }
  EXPECT_EQ(lag_flags, (std::vector<std::uint8_t>{0, 0, 0, 1, 1}));
  // The user answers with the sequence it saw: no longer lagging.
  std::vector<std::uint8_t> ans(2);
  put_host16(ans.data(), 5);
  h.send(ENT_SSC, SIP_TICK_ANSWER_RQ, ans, 0, 0xFFFF);
  h.advance(100);
  auto ticks = h.take_for(ENT_SSC);
  ASSERT_EQ(ticks.size(), 1u);
  EXPECT_EQ(ticks[0].data[2], 0);
}

TEST(SipEntity, TickStopsWithoutEndpointAtNaiZero) {
  harness h;
  sip_config c = one_endpoint(USER_NAI);
  c.tick_period_ms = 50;
  ASSERT_EQ(h.configure(c), ok_confirm());
  h.advance(300);
  EXPECT_TRUE(h.take_for(ENT_SSC).empty());
}

// SOCK_DNS_CO as the resolver sends it, with time-to-live values.
std::vector<std::uint8_t> dns_co(std::uint32_t number, std::uint8_t count_byte,
                                 const std::vector<std::pair<std::uint32_t, std::uint32_t>>& addrs) {
  std::vector<std::uint8_t> d(8 + 12 * addrs.size());
  put_le32(d.data(), number);
  d[4] = 2;
  d[7] = count_byte;
  for (std::size_t i = 0; i < addrs.size(); ++i) {
    std::uint8_t* e = &d[8 + 12 * i];
    e[0] = 4;
    std::memcpy(e + 4, &addrs[i].first, 4);
    put_le32(e + 8, addrs[i].second);
  }
  return d;
}

TEST(SipEntity, NameCacheKeepsLivingAnswersAndDropsExpiredOnes) {
  harness h;
  sip_config c = one_endpoint();
  c.cache_count = 4;
  ASSERT_EQ(h.configure(c), ok_confirm());
  std::array<std::uint8_t, 4> a{};
  EXPECT_EQ(sip_dns__resolve(USER_NAI, "Proxy.Example", 5, &a), 4);
  rt_test::pump();
  auto rq = h.take_for(ENT_IP);
  ASSERT_EQ(rq.size(), 1u);
  EXPECT_EQ(rq[0].code, SOCK_DNS_RQ);
  EXPECT_EQ(rq[0].nai, USER_NAI);
  EXPECT_EQ(rq[0].sapi, 1);
  ASSERT_EQ(rq[0].data.size(), 72u);
  EXPECT_EQ(get_le32(rq[0].data.data()), 0u);
  EXPECT_STREQ(reinterpret_cast<const char*>(&rq[0].data[4]), "Proxy.Example");

  // Two addresses, TTL 60 s and 0: only the first is cached.
  const std::uint32_t a1 = 0x0100007F, a2 = 0x0200007F;
  h.send(ENT_PH_IT, SOCK_DNS_CO, dns_co(0, 2, {{a1, 60}, {a2, 0}}), USER_NAI);
  EXPECT_EQ(sip_dns__pending(USER_NAI), 0u);
  EXPECT_EQ(sip_dns__cache_size(USER_NAI), 1u);
  EXPECT_EQ(sip_dns__resolve(USER_NAI, "proxy.example", 5, &a), 2);
  EXPECT_EQ(std::memcmp(a.data(), &a1, 4), 0);
  h.take();

  // Past its expiry the entry is neither used nor kept.
  rt_test::advance_clock(60000);
  EXPECT_EQ(sip_dns__resolve(USER_NAI, "proxy.example", 5, &a), 4);
  EXPECT_EQ(sip_dns__cache_size(USER_NAI), 0u);
  EXPECT_EQ(sip_entity_state().pools->cache.in_use(), 0u);
}

TEST(SipEntity, DnsConfirmCountIsBoundedByItsData) {
  harness h;
  sip_config c = one_endpoint();
  c.cache_count = 20;
  ASSERT_EQ(h.configure(c), ok_confirm());
  std::array<std::uint8_t, 4> a{};
  ASSERT_EQ(sip_dns__resolve(USER_NAI, "host", 5, &a), 4);
  // The count says 200 but one entry follows; an unknown number is ignored.
  h.send(ENT_PH_IT, SOCK_DNS_CO, dns_co(9, 1, {{1, 60}}), USER_NAI);
  EXPECT_EQ(sip_dns__pending(USER_NAI), 1u);
  h.send(ENT_PH_IT, SOCK_DNS_CO, dns_co(0, 200, {{0x0100000A, 60}}), USER_NAI);
  EXPECT_EQ(sip_dns__cache_size(USER_NAI), 1u);
  // Twelve full entries with count 12: at most ten are read.
  ASSERT_EQ(sip_dns__resolve(USER_NAI, "other", 5, &a), 4);
  std::vector<std::pair<std::uint32_t, std::uint32_t>> many;
  for (std::uint32_t i = 0; i < 12; ++i) many.push_back({i + 1, 30});
  h.send(ENT_PH_IT, SOCK_DNS_CO, dns_co(0, 12, many), USER_NAI);
  EXPECT_EQ(sip_dns__cache_size(USER_NAI), 11u);
  sip_dns_answer ans;
  EXPECT_FALSE(sip_dns_answer_read(dns_co(0, 0, {}).data(), 7, &ans));  // shorter than its header
}

TEST(SipEntity, UnansweredLookupsExpireAndNumbersAreReused) {
  harness h;
  sip_config c = one_endpoint();
  c.endpoints[0].lookup_life_ms = 1000;
  c.endpoints[0].lookup_table_size = 2;
  ASSERT_EQ(h.configure(c), ok_confirm());
  std::array<std::uint8_t, 4> a{};
  EXPECT_EQ(sip_dns__resolve(USER_NAI, "a", 1, &a), 4);
  h.advance(400);
  EXPECT_EQ(sip_dns__resolve(USER_NAI, "b", 2, &a), 4);
  EXPECT_EQ(sip_dns__resolve(USER_NAI, "c", 3, &a), 3);  // table full
  h.advance(700);
  EXPECT_EQ(sip_dns__pending(USER_NAI), 1u);
  h.advance(500);
  EXPECT_EQ(sip_dns__pending(USER_NAI), 0u);
  EXPECT_EQ(sip_entity_state().pools->lookups.in_use(), 0u);
  h.take();
  EXPECT_EQ(sip_dns__resolve(USER_NAI, "d", 4, &a), 4);
  rt_test::pump();
  auto rq = h.take_for(ENT_IP);
  ASSERT_EQ(rq.size(), 1u);
  EXPECT_EQ(get_le32(rq[0].data.data()), 0u);
}

}  // namespace
