// Answers and requests of a call as ENT_SSC receives them: each builder's
// primitive, unpacked again, carries its status, product and Allow headers
// and, for the 200 answer, the SDP headers of the call's description.
#include "session/foip/foip_sip_build.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "runtime/support/rt_harness.h"
#include "sip/prim/ssc_codes.h"
#include "sip/prim/ssc_header.h"

namespace {

using namespace rt_test;

struct got_msg {
  code_t code = 0;
  u16 conn_id = 0;
  u16 status = 0;
  std::string reason;
  bool has_status = false, has_server = false, has_allow = false, has_content_type = false;
  std::string server;
  std::vector<u8> allow;
  int t38_headers = 0;
};
std::vector<got_msg> g_got;

void fake_ssc(msg_t* m) {
  got_msg g;
  g.code = m->code;
  g.conn_id = m->conn_id;
  ssc_handle* h = Ssc_alloc_handle();
  if (Ssc_unformat_msg(h, m) == 2) {
    if (auto* s = Ssc_first<ssc_hdr_status>(h, ssc_header_id::RETURN_CODE)) {
      g.has_status = true;
      g.status = s->code;
      if (ssc_ptr_set(s->reason)) g.reason = s->reason;
    }
    if (auto* p = Ssc_first<ssc_hdr_product>(h, ssc_header_id::SERVER)) {
      g.has_server = true;
      g.server = std::string(p->product) + " " + p->version + " (" + p->comment + ")";
    }
    if (auto* a = Ssc_first<ssc_hdr_allow>(h, ssc_header_id::ALLOW)) {
      g.has_allow = true;
      g.allow.assign(a->allowed, a->allowed + SSC_ALLOW_FLAGS);
    }
    g.has_content_type = Ssc_first<ssc_hdr_content_type>(h, ssc_header_id::CONTENT_TYPE) != nullptr;
    for (auto* t = Ssc_first<ssc_hdr_sdp_t38>(h, ssc_header_id::T38_CNCT_DESCR); t; t = t->next) ++g.t38_headers;
  }
  Ssc_free_handle(h);
  g_got.push_back(g);
  Free_msg(m);
}

const entity_table_row_t TABLE[] = {
    {ENT_SSC, fake_ssc, 0, 0, nullptr, 0},
    {ENT_SM, record_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

class FoipSipBuild : public ::testing::Test {
 protected:
  void SetUp() override {
    g_got.clear();
    use_virtual_clock(1000);
    start_manual(TABLE);
    h_ = Ssc_alloc_handle();
  }
  void TearDown() override {
    Ssc_free_handle(h_);
    stop();
  }
  ssc_handle* h_ = nullptr;
};

TEST_F(FoipSipBuild, AnswersCarryTheirStatus) {
  struct row {
    const char* name;
    u8 (*send)(ssc_handle*);
    code_t code;
    bool has_status;
    u16 status;
    const char* reason;
  };
  const row rows[] = {
      {"100", [](ssc_handle* h) { return send_ssc_invite_rs_PROVISIONAL(h, 3, 70, 4); }, 'a', true, 100, "Trying"},
      {"180", [](ssc_handle* h) { return send_ssc_invite_rs_PROVISIONAL(h, 3, 70, 5); }, 'a', true, 180, "Ringing"},
      {"486", [](ssc_handle* h) { return send_ssc_invite_rs_NOK(h, 3, 70, 486, "Busy Here"); }, 'a', true, 486,
       "Busy Here"},
      {"ACK", [](ssc_handle* h) { return send_ssc_ack_rq(h, 3, 70); }, 'B', false, 0, ""},
      {"close with reason", [](ssc_handle* h) { return send_ssc_close_session_rq(h, 3, 70, 503, "Unavailable"); }, 'R',
       true, 503, "Unavailable"},
      {"close without reason", [](ssc_handle* h) { return send_ssc_close_session_rq(h, 3, 70, 503, nullptr); }, 'R',
       false, 0, ""},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    g_got.clear();
    ASSERT_EQ(r.send(h_), 2);
    pump();
    ASSERT_EQ(g_got.size(), 1u);
    EXPECT_EQ(g_got[0].code, r.code);
    EXPECT_EQ(g_got[0].conn_id, 70);
    EXPECT_EQ(g_got[0].has_status, r.has_status);
    EXPECT_EQ(g_got[0].status, r.status);
    EXPECT_EQ(g_got[0].reason, r.reason);
  }
}

TEST_F(FoipSipBuild, OptionsAnswerNamesServerAndAllowedMethods) {
  ASSERT_EQ(send_ssc_options_rs_OK(h_, 3, 70), 2);
  pump();
  ASSERT_EQ(g_got.size(), 1u);
  const got_msg& g = g_got[0];
  EXPECT_EQ(g.code, 'c');
  EXPECT_EQ(g.status, 200);
  EXPECT_EQ(g.server, "Calderwyn-Sip-T.38IAF v2.7.0 (PRODUCT ID:7, 25 Nov 2009)");
  ASSERT_TRUE(g.has_allow);
  for (ssc_msg_type t :
       {ssc_msg_type::INVITE, ssc_msg_type::BYE, ssc_msg_type::ACK, ssc_msg_type::OPTIONS, ssc_msg_type::CANCEL})
    EXPECT_EQ(g.allow[static_cast<u8>(t)], 1) << int(t);
  EXPECT_EQ(g.allow[static_cast<u8>(ssc_msg_type::REGISTER)], 0);
}

TEST_F(FoipSipBuild, OkAnswerCarriesTheDescription) {
  foip_sdp__t38_param local{};
  local.udptl_param.fax_max_bit_rate = 14400;
  foip_sdp__env env;
  env.local = &local;
  env.udp_t38_port = 4002;
  env.local_media_ip_addr.ip_addr.ip_family = OM_IP_FAMILY_V4;
  sip_mgt__sdp_contents sdp;
  ASSERT_EQ(foip_sdp__create_offer(env, FOIP_SDP__ORIGIN_SEED, sdp), 1);
  ASSERT_EQ(send_ssc_invite_rs_OK(h_, 3, 70, sdp), 2);
  sip_mgt__sdp_contents none;
  ASSERT_EQ(send_ssc_invite_rs_OK(h_, 3, 71, none), 2);
  pump();
  ASSERT_EQ(g_got.size(), 2u);
  EXPECT_EQ(g_got[0].status, 200);
  EXPECT_EQ(g_got[0].reason, "OK");
  EXPECT_TRUE(g_got[0].has_content_type);
  EXPECT_EQ(g_got[0].t38_headers, 1);
  EXPECT_FALSE(g_got[1].has_content_type);
  EXPECT_EQ(g_got[1].t38_headers, 0);
}

}  // namespace
