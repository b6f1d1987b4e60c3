// ENT_SSC records: configuration body, conn_id binding on both sides,
// dialog entries (forks), release of an agent.
#include "sip/ssc/ssc_entity.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

void put16(std::vector<u8>& b, std::size_t at, u16 v) {
  b[at] = static_cast<u8>(v);
  b[at + 1] = static_cast<u8>(v >> 8);
}

// The configuration ENT_FOIP sends: one profile, a = 62, b = 68, c = 0, d = 62.
std::vector<u8> foip_config(u16 nai, u8 family = '4', u8 addr_count = 1) {
  std::vector<u8> b(SSC_CONFIG_SIZE, 0);
  put16(b, 4, 1);
  put16(b, 6, nai);
  put16(b, 8, 62);
  put16(b, 10, 68);
  put16(b, 12, 0);
  put16(b, 14, 62);
  b[16] = 0x81;
  b[21] = addr_count;
  put16(b, 22, 5060);
  b[24] = family;
  std::memcpy(&b[25], "fax.example", 11);
  const u8 ip[4] = {127, 0, 0, 1};
  std::memcpy(&b[90], ip, 4);
  return b;
}

class SscEntity : public ::testing::Test {
 protected:
  void SetUp() override {
    ssc_entity_init(8);
    const auto body = foip_config(3);
    ASSERT_EQ(ssc_configure(body.data(), body.size()), SSC_CFG_OK);
    ASSERT_EQ(ssc_ua__select(3), 2);
    ua = ssc_mod().ua;
  }
  void TearDown() override {
    if (ssc_mod().agents.size() > 3 && ssc_mod().agents[3]) {
      EXPECT_EQ(ssc_remove_user_agent(3), 2);
    }
  }
  ssc_user_agent* ua = nullptr;
};

}  // namespace

TEST(SscConfig, ParseFieldsAndResults) {
  std::vector<ssc_config_profile> out;
  auto b = foip_config(5);
  ASSERT_EQ(ssc_config_parse(b.data(), b.size(), out), SSC_CFG_OK);
  ASSERT_EQ(out.size(), 1u);
  EXPECT_EQ(out[0].nai, 5);
  EXPECT_EQ(out[0].calls, 62);
  EXPECT_EQ(out[0].extra_dialogs, 68);
  EXPECT_EQ(out[0].reg_slots, 62);
  EXPECT_EQ(out[0].user_entity, 0x81);
  EXPECT_EQ(out[0].port, 5060);
  EXPECT_EQ(out[0].family, '4');
  EXPECT_EQ(out[0].addr[0], 127);
  EXPECT_EQ(out[0].addr[3], 1);

  struct Case {
    std::vector<u8> body;
    u8 result;
  };
  auto name = foip_config(5, 'N');
  std::memset(&name[25], 'h', 65);  // no NUL in the 65-byte field: 64 characters kept
  auto two_profiles = foip_config(5);
  put16(two_profiles, 4, 2);  // count says 2, body holds 1
  auto zero = foip_config(5);
  put16(zero, 4, 0);
  const Case cases[] = {
      {foip_config(5, '6'), SSC_CFG_OK},
      {name, SSC_CFG_OK},
      {foip_config(5, 'X'), SSC_CFG_BAD_FAMILY},
      {foip_config(5, '4', 2), SSC_CFG_BAD_FAMILY},  // one address per profile
      {foip_config(5, 'X', 0), SSC_CFG_OK},          // no address: family not read
      {two_profiles, SSC_CFG_NO_BLOCKS},
      {zero, SSC_CFG_NO_BLOCKS},
      {std::vector<u8>(50, 0), SSC_CFG_NO_BLOCKS},
  };
  for (const Case& c : cases) EXPECT_EQ(ssc_config_parse(c.body.data(), c.body.size(), out), c.result);
  ASSERT_EQ(ssc_config_parse(name.data(), name.size(), out), SSC_CFG_OK);
  EXPECT_EQ(std::strlen(out[0].host), 64u);
  EXPECT_EQ(ssc_config_parse(nullptr, 0, out), SSC_CFG_NO_BLOCKS);
}

TEST(SscConfig, AgentsAndResults) {
  ssc_entity_init(4);
  auto b = foip_config(4);  // nai out of range
  EXPECT_EQ(ssc_configure(b.data(), b.size()), SSC_CFG_NO_BLOCKS);
  b = foip_config(1);
  ASSERT_EQ(ssc_configure(b.data(), b.size()), SSC_CFG_OK);
  EXPECT_EQ(ssc_configure(b.data(), b.size()), SSC_CFG_NO_BLOCKS);  // already has an agent
  ASSERT_EQ(ssc_ua__select(1), 2);
  EXPECT_EQ(ssc_mod().ua->user_entity, 0x81);
  EXPECT_EQ(ssc_ua__select(2), 3);
  EXPECT_EQ(ssc_ua__select(0xFFFF), 3);
  EXPECT_EQ(ssc_remove_user_agent(1), 2);
  EXPECT_EQ(ssc_remove_user_agent(1), 3);
  b = foip_config(2);
  b[16] = 0;  // user entity 0 gives 'A'
  ASSERT_EQ(ssc_configure(b.data(), b.size()), SSC_CFG_OK);
  ASSERT_EQ(ssc_ua__select(2), 2);
  EXPECT_EQ(ssc_mod().ua->user_entity, 'A');
  EXPECT_EQ(ssc_remove_user_agent(2), 2);
}

TEST_F(SscEntity, FoipConfigurationSizes) {
  EXPECT_EQ(ua->call_count, 124);
  EXPECT_EQ(ua->by_user_conn.size(), 124u);
  EXPECT_EQ(ua->by_sip_conn.size(), 124u);
  EXPECT_EQ(ua->entries.size(), 130u);
  EXPECT_EQ(ua->next_user_conn, 123);
  EXPECT_EQ(ua->next_sip_conn, 0);
  EXPECT_EQ(ua->binding.id, 3u * 256u);
}

TEST_F(SscEntity, UserCallGetsSameSipConnWhenFree) {
  ASSERT_EQ(ssc_call__new_for_user(5), 2);
  EXPECT_EQ(ssc_mod().call->user_conn, 5);
  EXPECT_EQ(ssc_mod().call->sip_conn, 5);
  EXPECT_EQ(ssc_mod().entry->index, 0);
  EXPECT_EQ(ssc_mod().entry->conn_id, 5);
  EXPECT_EQ(ssc_mod().entry->remote_tag[0], SSC_TAG_NONE);
  EXPECT_EQ(ua->next_sip_conn, 0);  // 5 is not the up counter

  // SIP slot 0 taken from the network side; user conn 0 then gets the
  // lowest free SIP slot from the up counter.
  ASSERT_EQ(ssc_call__new_for_sip(0), 2);
  ssc_call__unbind_user_conn();  // SIP side only, as a keep-alive probe
  ASSERT_EQ(ssc_call__new_for_user(0), 2);
  EXPECT_EQ(ssc_mod().call->sip_conn, 1);
  EXPECT_EQ(ua->next_sip_conn, 2);
  // A taken user slot refuses.
  EXPECT_EQ(ssc_call__new_for_user(5), 3);
  // No user conn: lowest free SIP slot.
  ASSERT_EQ(ssc_call__new_for_user(SSC_NO_CONN), 2);
  EXPECT_EQ(ssc_mod().call->sip_conn, 2);
  EXPECT_EQ(ssc_mod().call->user_conn, SSC_NO_CONN);
  EXPECT_EQ(ssc_call__new_for_user(124), 3);  // out of range
}

TEST_F(SscEntity, NetworkCallGetsSameUserConnWhenFree) {
  ASSERT_EQ(ssc_call__new_for_sip(7), 2);
  EXPECT_EQ(ssc_mod().call->user_conn, 7);
  ASSERT_EQ(ssc_call__new_for_user(9), 2);  // user slot 9 taken, SIP 9 too
  ASSERT_EQ(ssc_call__new_for_sip(10), 2);  // SIP 10 free, user 10 free
  EXPECT_EQ(ssc_mod().call->user_conn, 10);
  ASSERT_EQ(ssc_call__new_for_sip(11), 2);
  EXPECT_EQ(ssc_mod().call->user_conn, 11);
  // SIP slot 9 is taken: user-side 9 cannot be reached from the network.
  EXPECT_EQ(ssc_call__new_for_sip(9), 3);
  // A network call whose user slot is taken gets the highest free slot
  // counting down from 123.
  ASSERT_EQ(ssc_call__by_user_conn(9), 2);
  ssc_call__unbind_sip_conn();
  ASSERT_EQ(ssc_call__new_for_sip(9), 2);
  EXPECT_EQ(ssc_mod().call->user_conn, 123);
  EXPECT_EQ(ua->next_user_conn, 122);
  EXPECT_EQ(ssc_call__new_for_sip(124), 3);
}

TEST_F(SscEntity, UnbindMovesCountersBack) {
  ASSERT_EQ(ssc_call__new_for_user(SSC_NO_CONN), 2);  // SIP 0
  ASSERT_EQ(ssc_call__new_for_user(SSC_NO_CONN), 2);  // SIP 1
  EXPECT_EQ(ua->next_sip_conn, 2);
  ASSERT_EQ(ssc_call__by_sip_conn(0), 2);
  ASSERT_EQ(ssc_dialog__select(-1), 2);
  ssc_dialog__release();
  ASSERT_EQ(ssc_call__release(), 2);
  EXPECT_EQ(ua->next_sip_conn, 0);
  ASSERT_EQ(ssc_call__new_for_user(SSC_NO_CONN), 2);
  EXPECT_EQ(ssc_mod().call->sip_conn, 0);
}

TEST_F(SscEntity, ForkAndMatchOnRemoteTag) {
  ASSERT_EQ(ssc_call__new_for_user(4), 2);
  const u16 sip = ssc_mod().call->sip_conn;
  ASSERT_EQ(ssc_call__match_sip(sip, "tagA"), 2);  // first entry takes the tag
  EXPECT_EQ(ssc_mod().entry->index, 0);
  EXPECT_STREQ(ssc_mod().entry->remote_tag, "tagA");
  ASSERT_EQ(ssc_call__match_sip(sip, "tagB"), 2);  // new tag: fork
  EXPECT_EQ(ssc_mod().entry->index, 1);
  EXPECT_EQ(ssc_mod().entry->conn_id, 4);
  EXPECT_EQ(ssc_mod().call->entry_count, 2);
  ASSERT_EQ(ssc_call__match_sip(sip, "tagB"), 2);  // same tag: same entry
  EXPECT_EQ(ssc_mod().entry->index, 1);
  EXPECT_EQ(ssc_mod().call->entry_count, 2);
  ASSERT_EQ(ssc_call__match_sip(sip, nullptr), 2);  // no tag: the first
  EXPECT_EQ(ssc_mod().entry->index, 0);
  // A 64-character tag is kept whole; a longer one ends at the field.
  const std::string t64(64, 'q'), t80(80, 'r');
  ASSERT_EQ(ssc_call__match_sip(sip, t64.c_str()), 2);
  EXPECT_EQ(std::string(ssc_mod().entry->remote_tag), t64);
  ASSERT_EQ(ssc_call__match_sip(sip, t80.c_str()), 2);
  EXPECT_EQ(std::string(ssc_mod().entry->remote_tag), t80.substr(0, 64));
  EXPECT_EQ(ssc_mod().call->entry_count, 4);
  ASSERT_EQ(ssc_dialog__select(1), 2);
  EXPECT_STREQ(ssc_mod().entry->remote_tag, "tagB");
  EXPECT_EQ(ssc_dialog__select(9), 3);
  ASSERT_EQ(ssc_dialog__select(-1), 2);
  EXPECT_EQ(ssc_mod().entry->index, 0);
}

TEST_F(SscEntity, CallReleaseNeedsNoEntries) {
  ASSERT_EQ(ssc_call__new_for_user(2), 2);
  EXPECT_EQ(ssc_call__release(), 3);
  ssc_dialog__release();
  EXPECT_EQ(ssc_call__release(), 2);
  EXPECT_EQ(ua->calls_in_use, 0);
  EXPECT_EQ(ua->entries_in_use, 0);
  EXPECT_EQ(ssc_call__by_user_conn(2), 3);
}

TEST_F(SscEntity, OpenForUserBindsSipSide) {
  ASSERT_EQ(ssc_call__new_for_user(6), 2);
  ASSERT_EQ(ssc_call__open_for_user(6, 0), 2);
  EXPECT_EQ(ssc_mod().entry->index, 0);
  EXPECT_EQ(ssc_call__open_for_user(6, 3), 3);
  EXPECT_EQ(ssc_call__open_for_user(7, 0), 3);
}

TEST_F(SscEntity, PoolExhaustionAndFullRelease) {
  // Every call record taken, the last ones by the network side with no user
  // side (as keep-alive probes are made).
  for (u16 c = 0; c < 100; ++c) ASSERT_EQ(ssc_call__new_for_user(c), 2) << c;
  for (u16 c = 100; c < 124; ++c) {
    ASSERT_EQ(ssc_call__new_for_sip(c), 2) << c;
    ssc_call__unbind_user_conn();  // a probe: SIP side only
  }
  EXPECT_EQ(ssc_call__new_for_user(SSC_NO_CONN), 3);
  EXPECT_EQ(ua->calls_in_use, 124);
  EXPECT_EQ(ua->entries_in_use, 100);
  // Removing the agent releases all of them, probes included.
  EXPECT_EQ(ssc_remove_user_agent(3), 2);
  EXPECT_EQ(ssc_ua__select(3), 3);
  // Reconfigured, the agent starts empty.
  const auto body = foip_config(3);
  ASSERT_EQ(ssc_configure(body.data(), body.size()), SSC_CFG_OK);
  ASSERT_EQ(ssc_ua__select(3), 2);
  EXPECT_EQ(ssc_mod().ua->calls_in_use, 0);
}

TEST_F(SscEntity, RemoveCountsBackToZero) {
  ASSERT_EQ(ssc_call__new_for_user(1), 2);
  ASSERT_EQ(ssc_call__match_sip(ssc_mod().call->sip_conn, "x"), 2);
  ASSERT_EQ(ssc_call__match_sip(ssc_mod().call->sip_conn, "y"), 2);
  ASSERT_EQ(ssc_call__new_for_sip(50), 2);
  ssc_call__unbind_user_conn();
  ASSERT_EQ(ssc_dialog__take_first(), 2);
  EXPECT_EQ(ua->calls_in_use, 2);
  EXPECT_EQ(ua->entries_in_use, 3);
  // Release everything the agent holds without removing it.
  for (ssc_call& c : ua->calls) {
    if (!c.in_use) continue;
    ssc_mod().call = &c;
    while (c.first) {
      ssc_mod().entry = c.first;
      ssc_dialog__release();
    }
    ASSERT_EQ(ssc_call__release(), 2);
  }
  EXPECT_EQ(ua->calls_in_use, 0);
  EXPECT_EQ(ua->entries_in_use, 0);
}
