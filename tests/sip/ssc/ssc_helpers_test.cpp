// Call-control helpers of ENT_SSC: URI text, routing rule, Call-ID and local
// tag of a call, Timestamp delay, text helpers and the string store.
#include "sip/ssc/ssc_helpers.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "runtime/support/rt_harness.h"
#include "sip/prim/ssc_msg.h"
#include "sip/ssc/ssc_ident.h"

namespace {

ssc_uri blank_uri() {
  ssc_uri u;
  std::memset(&u, 0xFF, sizeof u);  // as a fresh instance: pointers never set
  u.scheme = 1;
  u.user_form = 0xFF;
  u.host_family = 0xFF;
  return u;
}

}  // namespace

TEST(SscHelpers, UriText) {
  char out[128];
  ssc_uri u = blank_uri();
  u.user_form = 'U';
  u.user = "fax";
  u.host_family = '4';
  const u8 ip[4] = {192, 168, 0, 10};
  std::memcpy(u.host_v4, ip, 4);
  u.port = 5060;  // never written
  EXPECT_EQ(ssc_uri_text(out, &u, sizeof out), 20);
  EXPECT_STREQ(out, "sip:fax@192.168.0.10");

  u.uri_text_3 = "secret";
  u.scheme = 'S';
  ssc_uri_text(out, &u, sizeof out);
  EXPECT_STREQ(out, "sips:fax:secret@192.168.0.10");

  ssc_uri t = blank_uri();
  t.user_form = 'P';
  t.tel_global = 1;
  t.tel_number = "4930123";
  t.tel_2 = "12";
  t.tel_4 = "example.com";
  t.host_family = 'N';
  t.host_name = "gw.example.com";
  ssc_uri_text(out, &t, sizeof out);
  EXPECT_STREQ(out, "sip:+4930123;isub=12;phone-context=example.com@gw.example.com");

  ssc_uri h = blank_uri();  // host only
  h.host_family = 'N';
  h.host_name = "registrar.example";
  ssc_uri_text(out, &h, sizeof out);
  EXPECT_STREQ(out, "sip:registrar.example");

  ssc_uri a = blank_uri();
  a.scheme = 'A';
  a.user = "user";
  a.host_name = "host";
  ssc_uri_text(out, &a, sizeof out);
  EXPECT_STREQ(out, "user@host");

  ssc_uri v6 = blank_uri();
  v6.host_family = '6';
  std::memset(v6.host_v6, 0, 16);
  v6.host_v6[0] = 0x20;
  v6.host_v6[1] = 0x01;
  v6.host_v6[15] = 1;
  ssc_uri_text(out, &v6, sizeof out);
  EXPECT_STREQ(out, "sip:[2001:0:0:0:0:0:0:1]");

  // Bounded: size 10 keeps 9 characters and the NUL.
  EXPECT_EQ(ssc_uri_text(out, &u, 10), 9);
  EXPECT_STREQ(out, "sips:fax:");
  EXPECT_EQ(ssc_uri_text(out, nullptr, sizeof out), 0);
}

TEST(SscHelpers, RoutingRule) {
  ssc_hdr_route r1{}, r2{};
  std::memset(&r1.uri, 0xFF, sizeof r1.uri);
  std::memset(&r2.uri, 0xFF, sizeof r2.uri);
  r1.next = &r2;
  r2.next = nullptr;

  // Strict: first route without lr.
  r1.uri.uri_text_2 = "transport=udp";
  ssc_route_plan p = ssc_plan_routing(&r1, true);
  EXPECT_EQ(p.request_uri, ssc_route_plan::ruri::first_route);
  EXPECT_EQ(p.routes, &r2);
  EXPECT_TRUE(p.strict);  // the remote target goes last
  p = ssc_plan_routing(&r1, false);
  EXPECT_FALSE(p.strict);

  // Loose: the whole set, Request-URI the remote target, else To.
  for (const char* params : {"lr", ";lr", "transport=udp;lr", "LR;x=1"}) {
    r1.uri.uri_text_2 = params;
    p = ssc_plan_routing(&r1, true);
    EXPECT_EQ(p.request_uri, ssc_route_plan::ruri::remote_target) << params;
    EXPECT_EQ(p.routes, &r1) << params;
    EXPECT_FALSE(p.strict);
  }
  for (const char* params : {"lrx", "xlr", "l", "lr2=1"}) {
    r1.uri.uri_text_2 = params;
    EXPECT_FALSE(ssc_route_is_loose(&r1)) << params;
  }
  r1.uri.uri_text_2 = "lr";
  p = ssc_plan_routing(&r1, false);
  EXPECT_EQ(p.request_uri, ssc_route_plan::ruri::to);
  p = ssc_plan_routing(nullptr, true);
  EXPECT_EQ(p.request_uri, ssc_route_plan::ruri::remote_target);
  EXPECT_EQ(p.routes, nullptr);
}

TEST(SscHelpers, CallIdAndTagsAreBounded) {
  ssc_call c;
  ssc_hdr_call_id h{};
  const std::string long_id(80, 'i'), long_host(70, 'h');
  h.local = long_id.c_str();
  h.family = 'N';
  h.host = long_host.c_str();
  ssc_take_call_id(&c, &h);
  EXPECT_EQ(std::strlen(c.call_id), 64u);
  EXPECT_EQ(std::strlen(c.call_id_host), sizeof c.call_id_host - 1);
  EXPECT_EQ(c.call_id_kind, 'N');

  ssc_uri from = blank_uri();
  from.host_family = 'N';
  from.host_name = long_host.c_str();  // 65-character names do not overrun the field
  ssc_make_call_id(&c, &from, 7);
  EXPECT_EQ(std::strlen(c.call_id), 16u);
  EXPECT_EQ(std::strlen(c.call_id_host), sizeof c.call_id_host - 1);
  const std::string first = c.call_id;
  ssc_make_call_id(&c, &from, 7);
  EXPECT_NE(first, c.call_id);

  ssc_set_local_tag(&c, "abc");
  EXPECT_STREQ(c.local_tag, "abc");
  ssc_set_local_tag(&c, std::string(90, 't').c_str());
  EXPECT_EQ(std::strlen(c.local_tag), 64u);
  ssc_set_local_tag(&c, nullptr);
  EXPECT_EQ(std::strlen(c.local_tag), 16u);
  const std::string tag = c.local_tag;
  ssc_set_local_tag(&c, "");
  EXPECT_NE(tag, c.local_tag);
}

TEST(SscHelpers, TimestampDelayAndTexts) {
  ssc_delay d = ssc_timestamp_delay(1000, 3250);
  EXPECT_EQ(d.seconds, 2u);
  EXPECT_EQ(d.millis, 250u);
  d = ssc_timestamp_delay(0xFFFFFF00u, 0x100);  // across the tick wrap
  EXPECT_EQ(d.seconds, 0u);
  EXPECT_EQ(d.millis, 512u);

  EXPECT_FALSE(ssc_text_differs(nullptr, nullptr));
  EXPECT_TRUE(ssc_text_differs(nullptr, ""));
  EXPECT_TRUE(ssc_text_differs("a", nullptr));
  EXPECT_TRUE(ssc_text_differs("a", "b"));
  EXPECT_FALSE(ssc_text_differs("ab", "ab"));
  EXPECT_FALSE(ssc_text_differs(SSC_PTR_NEVER_SET, nullptr));
  EXPECT_EQ(ssc_str_len("hello", 3), 3);
  EXPECT_EQ(ssc_str_len("hello", 10), 5);
  EXPECT_EQ(ssc_str_len(nullptr, 10), 0);
}

class SscStore : public ::testing::Test {
 protected:
  void SetUp() override {
    rt_test::use_virtual_clock(1000);
    rt_test::start_manual(TABLE);
  }
  void TearDown() override { rt_test::stop(); }
  static constexpr entity_table_row_t TABLE[] = {{ENT_SM, rt_test::record_handler, 0, 0, nullptr, 0},
                                                 {ENT_NIL, nullptr, 0, 0, nullptr, 0}};
};

TEST_F(SscStore, FirstFitSplitMergeAndRelease) {
  ssc_store s;
  const u32 block = om_os_get_buffer_room() - 6;  // one free chunk at first
  char* a = ssc_store_text(&s, "alpha");
  ASSERT_NE(a, nullptr);
  EXPECT_STREQ(a, "alpha");
  EXPECT_EQ(ssc_store_free_bytes(&s), block - 8);  // 6 bytes rounded to even, plus the size
  void* b = ssc_store_alloc(&s, 100);
  void* c = ssc_store_alloc(&s, 100);
  ASSERT_NE(b, nullptr);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(static_cast<u8*>(c) - static_cast<u8*>(b), 102);  // address order, first fit
  std::memset(b, 0xAB, 100);
  std::memset(c, 0xCD, 100);
  EXPECT_STREQ(a, "alpha");
  // Freeing b then c merges them and the tail back into one chunk.
  ssc_store_free(&s, b);
  ssc_store_free(&s, c);
  EXPECT_EQ(ssc_store_free_bytes(&s), block - 8);
  void* again = ssc_store_alloc(&s, 200);
  EXPECT_EQ(again, b);  // the merged space is reused from its start
  ssc_store_free(&s, again);
  ssc_store_free(&s, a);
  EXPECT_EQ(ssc_store_free_bytes(&s), block);

  // Too big for a block; a full block makes the store chain a new one.
  EXPECT_EQ(ssc_store_alloc(&s, static_cast<u16>(block)), nullptr);
  void* big1 = ssc_store_alloc(&s, static_cast<u16>(block - 2));
  void* big2 = ssc_store_alloc(&s, 50);
  ASSERT_NE(big1, nullptr);
  ASSERT_NE(big2, nullptr);
  ASSERT_NE(s.chain->next, nullptr);
  ssc_store_release(&s);
  EXPECT_EQ(s.chain, nullptr);
}

TEST_F(SscStore, SmallRemaindersAreGivenWhole) {
  ssc_store s;
  const u32 block = om_os_get_buffer_room() - 6;
  // Leave 18 bytes: less than 20, so the chunk is taken whole.
  void* p = ssc_store_alloc(&s, static_cast<u16>(block - 2 - 18));
  ASSERT_NE(p, nullptr);
  EXPECT_EQ(ssc_store_free_bytes(&s), 0u);
  ssc_store_free(&s, p);
  EXPECT_EQ(ssc_store_free_bytes(&s), block);
  ssc_store_release(&s);
}

TEST_F(SscStore, RefreshIntervalFromReceivedHandle) {
  struct Case {
    const char* what;
    int expires;
    long long contact;
    u32 before;
    u32 after;
  };
  const Case cases[] = {
      {"nothing: unchanged", -1, -1, 1234, 1234},
      {"Expires 0", 0, -1, SSC_REFRESH_UNKNOWN, 0},
      {"Expires 1", 1, -1, SSC_REFRESH_UNKNOWN, 0},
      {"Expires 1199", 1199, -1, SSC_REFRESH_UNKNOWN, 599000},
      {"Expires 1200", 1200, -1, SSC_REFRESH_UNKNOWN, 600000},
      {"Expires 3600", 3600, -1, SSC_REFRESH_UNKNOWN, 3000000},
      {"Expires max", -2, -1, SSC_REFRESH_UNKNOWN, SSC_REFRESH_MAX_MS},
      {"Contact 60 wins", 3600, 60, SSC_REFRESH_UNKNOWN, 30000},
      {"Contact 0", 3600, 0, SSC_REFRESH_UNKNOWN, 0},
      {"Contact without value", 3600, 0xFFFFFFFFll, SSC_REFRESH_UNKNOWN, 3000000},
  };
  for (const Case& c : cases) {
    ssc_handle* h = Ssc_alloc_handle();
    ASSERT_EQ(Ssc_init_handle(h, ssc_msg_type::REGISTER_RS), 2);
    if (c.expires != -1) {
      auto* e = static_cast<ssc_hdr_u32*>(Ssc_alloc_header(h, ssc_header_id::EXPIRES));
      e->value = c.expires == -2 ? 4294967295u : static_cast<u32>(c.expires);
    }
    if (c.contact != -1) {
      auto* k = static_cast<ssc_hdr_contact*>(Ssc_alloc_header(h, ssc_header_id::CONTACT));
      k->d1 = static_cast<u32>(c.contact);
    }
    ssc_dialog_entry e;
    e.refresh_ms = c.before;
    ssc_entry_refresh_from(&e, h);
    EXPECT_EQ(e.refresh_ms, c.after) << c.what;
    (void)Ssc_free_handle(h);
  }
}
