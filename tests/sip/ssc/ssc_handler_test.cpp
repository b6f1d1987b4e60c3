// ENT_SSC as an entity: management by ENT_SM, classification of each
// sender's messages into route and event, the self-queue run, the 420
// answer to unknown Require tags, and what the user gets instead of a
// bodiless primitive.  Runtime in manual mode with recording fakes.
#include "sip/ssc/ssc_handler.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "runtime/buffer.h"
#include "runtime/sm.h"
#include "runtime/timer.h"
#include "runtime/support/rt_harness.h"
#include "sip/prim/ssc_record_codec.h"
#include "sip/ssc/ssc_build.h"
#include "sip/ssc/ssc_internal.h"
#include "sip/prim/support/ssc_requests.h"

namespace {

constexpr u16 NAI = 1;

const entity_table_row_t TABLE[] = {
    SSC_ENTITY_ROW,
    {ENT_SM, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_SIP, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_FOIP, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

void put16(std::vector<u8>& b, std::size_t at, u16 v) {
  b[at] = static_cast<u8>(v);
  b[at + 1] = static_cast<u8>(v >> 8);
}

std::vector<u8> config_body(u16 nai, u8 family = '4', u16 flags = 0) {
  std::vector<u8> b(SSC_CONFIG_SIZE, 0);
  put16(b, 4, 1);
  put16(b, 6, nai);
  put16(b, 8, 62);
  put16(b, 10, 68);
  put16(b, 14, 62);
  b[16] = ENT_FOIP;
  put16(b, 18, flags);
  b[21] = 0;
  b[24] = family;
  return b;
}

class SscHandler : public ::testing::Test {
 protected:
  void SetUp() override {
    rt_test::use_virtual_clock(1000);
    rt_test::start_manual(TABLE);
    ssc_entity_reset(8);
    rt_test::rec().clear();
  }
  void TearDown() override {
    ssc_set_machines(nullptr, nullptr);
    ssc_entity_reset(0);
    rt_test::stop();
  }

  void send(msg_t* m) {
    Send_msg(m);
    rt_test::pump();
  }
  void send_data(ent_id_t from, code_t code, const std::vector<u8>& data, u16 nai, u16 conn = 0, u8 sap = 0) {
    msg_t* m = nullptr;
    if (data.size() <= 64) {
      m = rt_test::make_msg(from, ENT_SSC, code, data, nai, conn);
    } else {
      m = rt_test::make_msg(from, ENT_SSC, code, {}, nai, conn);
      Msg_attach_chain(m, Store_data_in_buffers(data.data(), static_cast<u32>(data.size()), nullptr));
    }
    m->sapi = sap;
    send(m);
  }
  std::vector<rt_test::seen_msg> take_for(ent_id_t to) {
    auto all = rt_test::rec().messages();
    rt_test::rec().clear();
    std::vector<rt_test::seen_msg> out;
    for (auto& m : all)
      if (m.to == to) out.push_back(m);
    return out;
  }
  std::vector<u8> configure(const std::vector<u8>& body) {
    send_data(ENT_SM, SM_CONFIG_RQ, body, 0);
    for (const auto& m : take_for(ENT_SM))
      if (m.code == SM_CONFIG_CO) return m.data;
    return {};
  }
  // A user message: a handle of the type packed by the codec.
  void user_msg(ssc_msg_type type, u16 conn, u8 sap = 255) {
    ssc_handle* h = Ssc_alloc_handle();
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(Ssc_init_handle(h, type), 2);
    msg_t* m = SIP_sc_format_rq(NAI, conn, sap, h);
    (void)Ssc_free_handle(h);
    ASSERT_NE(m, nullptr);
    m->from = ENT_FOIP;
    send(m);
  }
  void expect_counts_zero() {
    const ssc_counts c = ssc_entity_counts();
    EXPECT_EQ(c.handles, 0u);
    EXPECT_EQ(c.table_entries, 0u);
    EXPECT_EQ(c.self_queue, 0u);
  }
};

std::vector<u8> B(std::initializer_list<int> v) {
  std::vector<u8> out;
  for (int x : v) out.push_back(static_cast<u8>(x));
  return out;
}

}  // namespace

TEST_F(SscHandler, ManagementRequests) {
  EXPECT_EQ(configure(config_body(NAI)), B({2, 0, 0}));
  EXPECT_EQ(configure(config_body(NAI)), B({3, SSC_CFG_NO_BLOCKS, 0x83}));  // nai taken
  auto bad = config_body(2);
  bad[21] = 1;
  bad[24] = 'X';
  EXPECT_EQ(configure(bad), B({3, SSC_CFG_BAD_FAMILY, 0x83}));
  bad[24] = '4';
  bad[21] = 3;  // more addresses than a profile holds
  EXPECT_EQ(configure(bad), B({3, SSC_CFG_BAD_FAMILY, 0x83}));

  send_data(ENT_SM, SM_STOP_RQ, {0}, 5);  // no agent: no answer
  EXPECT_TRUE(take_for(ENT_SM).empty());
  send_data(ENT_SM, SM_STOP_RQ, {0}, NAI);
  auto co = take_for(ENT_SM);
  ASSERT_EQ(co.size(), 1u);
  EXPECT_EQ(co[0].code, SM_STOP_CO);
  EXPECT_EQ(co[0].data[0], 2);

  send_data(ENT_SM, SM_RST_CFG_RQ, {0}, NAI);
  co = take_for(ENT_SM);
  ASSERT_EQ(co.size(), 1u);
  EXPECT_EQ(co[0].code, SM_RST_CFG_CO);
  EXPECT_EQ(co[0].data[0], 2);
  send_data(ENT_SM, SM_RST_CFG_RQ, {0}, NAI);
  co = take_for(ENT_SM);
  ASSERT_EQ(co.size(), 1u);
  EXPECT_EQ(co[0].data[0], 3);
  expect_counts_zero();
}

TEST_F(SscHandler, FromSipUnknownNaiHandshakeAndError) {
  ASSERT_EQ(configure(config_body(NAI)), B({2, 0, 0}));
  send_data(ENT_SIP, 225, {1, 2, 3}, 7);  // unknown nai: report 'a'
  auto rep = take_for(ENT_SM);
  ASSERT_EQ(rep.size(), 1u);
  EXPECT_EQ(rep[0].code, SSC_SM_REPORT);
  EXPECT_EQ(rep[0].data[0], 0x83);
  EXPECT_EQ(rep[0].data[1], 'r');
  EXPECT_EQ(rep[0].data[2], 'a');
  EXPECT_EQ(rep[0].data[4], 7);
  EXPECT_EQ(rep[0].data[9], 225);

  send_data(ENT_SIP, 40, {}, NAI);  // handshake
  auto back = take_for(ENT_SIP);
  ASSERT_EQ(back.size(), 1u);
  EXPECT_EQ(back[0].code, 41);
  EXPECT_TRUE(ssc_stub_events().empty());

  // SIP_ERROR_IN: the body becomes the 8-byte SSC error in place; the call
  // machine runs with event 56.
  static std::vector<u8> seen;
  ssc_set_machines(
      [] {
        const msg_t* m = ssc_run().msg;
        seen.assign(Msg_data(m), Msg_data(m) + Msg_data_size(m));
        ssc_stub_events().push_back({ssc_mod().route, ssc_mod().event, 0});
      },
      nullptr);
  send_data(ENT_SIP, 63, {0x34, 0x12, 7, 8, 65}, NAI, 3);
  ASSERT_EQ(ssc_stub_events().size(), 1u);
  EXPECT_EQ(ssc_stub_events()[0].route, 'F');
  EXPECT_EQ(ssc_stub_events()[0].event, 56);
  EXPECT_EQ(seen, B({'~', 0, 0x34, 0x12, 255, 7, 8, 65}));
  ssc_stub_events().clear();
  send_data(ENT_SIP, 63, {0x34, 0x12}, NAI, 3);  // cut short: dropped
  EXPECT_TRUE(ssc_stub_events().empty());
  send_data(ENT_SIP, 225, {}, NAI, 3);  // no body: dropped
  EXPECT_TRUE(ssc_stub_events().empty());
  expect_counts_zero();
}

TEST_F(SscHandler, UserMessagesRouteAndSelfQueueRunsInTheSameCall) {
  ASSERT_EQ(configure(config_body(NAI)), B({2, 0, 0}));
  user_msg(ssc_msg_type::INVITE, 5);  // new call for user conn 5
  ASSERT_EQ(ssc_stub_events().size(), 1u);
  EXPECT_EQ(ssc_stub_events()[0].route, 'F');
  EXPECT_EQ(ssc_stub_events()[0].event, 1);
  EXPECT_EQ(ssc_stub_events()[0].conn_id, 5);  // same SIP-side conn_id
  ssc_stub_events().clear();

  // OPTIONS on an idle entry goes to the call machine.
  user_msg(ssc_msg_type::OPTIONS, 5, 0);
  ASSERT_EQ(ssc_stub_events().size(), 1u);
  EXPECT_EQ(ssc_stub_events()[0].route, 'F');
  EXPECT_EQ(ssc_stub_events()[0].event, 40);
  ssc_stub_events().clear();

  // A machine that queues event 95 to itself: handled in the same run,
  // after the message that caused it, with the dialog index and handle.
  ssc_set_machines(
      [] {
        ssc_stub_events().push_back({'F', ssc_mod().event, 0});
        if (ssc_mod().event == 11 || ssc_mod().event == 40) ssc_send(ENT_SSC, 'C', 95);
      },
      [] {
        ssc_stub_events().push_back({'C', ssc_mod().event, ssc_run().handle != nullptr ? u16{1} : u16{0}});
        if (ssc_mod().event == 11) ssc_send(ENT_SSC, 'C', 95);
      });
  user_msg(ssc_msg_type::BYE, 5, 0);
  ASSERT_EQ(ssc_stub_events().size(), 2u);
  EXPECT_EQ(ssc_stub_events()[0].route, 'C');
  EXPECT_EQ(ssc_stub_events()[0].event, 11);
  EXPECT_EQ(ssc_stub_events()[1].route, 'C');
  EXPECT_EQ(ssc_stub_events()[1].event, 95);
  EXPECT_EQ(ssc_stub_events()[1].conn_id, 1);  // the handle travelled with it
  expect_counts_zero();

  // Expiries of timers the entity never started are dropped.
  ssc_stub_events().clear();
  send_data(ENT_TI, '0', {1, 0}, NAI, 5);
  send_data(ENT_TI, '1', {1, 0}, NAI, 5);
  send_data(ENT_TI, '9', {}, NAI, 5);
  EXPECT_TRUE(ssc_stub_events().empty());

  // Reset releases every call; nothing is left.
  send_data(ENT_SM, SM_RST_CFG_RQ, {0}, NAI);
  EXPECT_EQ(ssc_ua__select(NAI), 3);
  expect_counts_zero();
}

TEST_F(SscHandler, BadUserMessagesAreDropped) {
  ASSERT_EQ(configure(config_body(NAI)), B({2, 0, 0}));
  send_data(ENT_FOIP, 65, {1, 2, 3}, NAI, 5, 255);  // cut short
  send_data(ENT_FOIP, 65, {}, NAI, 5, 255);         // no body
  send_data(ENT_FOIP, 250, {}, NAI, 5, 255);        // unknown code
  EXPECT_TRUE(ssc_stub_events().empty());
  ASSERT_EQ(ssc_ua__select(NAI), 2);
  EXPECT_EQ(ssc_mod().ua->calls_in_use, 0);
  expect_counts_zero();
}

TEST_F(SscHandler, NoBodylessPrimitiveReachesSip) {
  ASSERT_EQ(configure(config_body(NAI)), B({2, 0, 0}));
  // The call machine tries to send a handle that has no SIP form (a
  // parameter-setting message) as an INVITE.
  ssc_set_machines([] { ssc_send(ENT_SIP, 0, 65); }, nullptr);
  user_msg(ssc_msg_type::SET_PARM, 4);
  auto all = rt_test::rec().messages();
  rt_test::rec().clear();
  bool to_sip = false;
  std::vector<rt_test::seen_msg> to_user;
  for (auto& m : all) {
    if (m.to == ENT_SIP) to_sip = true;
    if (m.to == ENT_FOIP) to_user.push_back(m);
  }
  EXPECT_FALSE(to_sip);
  ASSERT_EQ(to_user.size(), 1u);
  EXPECT_EQ(to_user[0].code, SSC_ERROR_IN);
  EXPECT_EQ(to_user[0].sapi, 0);  // the entry's index
  EXPECT_EQ(to_user[0].conn_id, 4);
  EXPECT_EQ(to_user[0].data, B({0x83, 0, SSC_ERR_NO_BODY & 0xFF, SSC_ERR_NO_BODY >> 8, 255, 0, 0, 38}));
  expect_counts_zero();
}

namespace {

struct RequireCase {
  const char* what;
  std::vector<std::pair<u8, const char*>> require;
  bool refused;
  std::vector<std::string> unsupported;  // texts, or the letter of a known tag
};

}  // namespace

TEST_F(SscHandler, RequireCheckAnswers420WithUnsupportedTags) {
  ASSERT_EQ(configure(config_body(NAI, '4', 0x02)), B({2, 0, 0}));
  ASSERT_EQ(ssc_ua__select(NAI), 2);
  ssc_mod().ua->supported_mask = 0x01;  // 100rel
  const RequireCase cases[] = {
      {"none", {}, false, {}},
      {"100rel", {{'1', nullptr}}, false, {}},
      {"100rel, foo", {{'1', nullptr}, {0xFF, "foo"}}, true, {"foo"}},
      {"timer", {{'t', nullptr}}, true, {"t"}},
      {"six unknown",
       {{0xFF, "a1"}, {0xFF, "b2"}, {0xFF, "c3"}, {0xFF, "d4"}, {0xFF, "e5"}, {0xFF, "f6"}},
       true,
       {"a1", "b2", "c3", "d4", "e5", "f6"}},
  };
  u16 conn = 10;
  for (const RequireCase& c : cases) {
    ssc_handle* h = ssc_test::invite(c.require);
    ASSERT_NE(h, nullptr);
    h->addr_port = 5080;                                         // the datagram's source port
    Ssc_first<ssc_hdr_via>(h, ssc_header_id::VIA)->port = 5999;  // a wrong sent-by port
    const std::vector<u8> body = ssc_test::sip_body(h);
    (void)Ssc_free_handle(h);
    ASSERT_FALSE(body.empty()) << c.what;
    ssc_stub_events().clear();
    send_data(ENT_SIP, 225, body, NAI, conn++);
    auto all = rt_test::rec().messages();
    rt_test::rec().clear();
    std::vector<rt_test::seen_msg> to_sip, to_sm;
    for (auto& m : all) {
      if (m.to == ENT_SIP) to_sip.push_back(m);
      if (m.to == ENT_SM) to_sm.push_back(m);
    }
    if (!c.refused) {
      EXPECT_TRUE(to_sip.empty()) << c.what;
      ASSERT_EQ(ssc_stub_events().size(), 1u) << c.what;
      EXPECT_EQ(ssc_stub_events()[0].route, 'C');
      EXPECT_EQ(ssc_stub_events()[0].event, 5);
      continue;
    }
    EXPECT_TRUE(ssc_stub_events().empty()) << c.what;
    ASSERT_EQ(to_sip.size(), 1u) << c.what;
    EXPECT_EQ(to_sip[0].code, SSC_INVITE_RS) << c.what;
    EXPECT_EQ(to_sip[0].conn_id, conn - 1);
    ASSERT_EQ(to_sm.size(), 1u);
    EXPECT_EQ(to_sm[0].data[2], 'b');  // discarded event
    // The answer read back.
    ssc_handle* rs = Ssc_alloc_handle();
    ASSERT_EQ(Ssc_init_handle(rs, ssc_msg_type::INVITE_RS), 2);
    ssc_rc_fail fail;
    ASSERT_EQ(ssc_decode_from_sip(rs, to_sip[0].data.data(), static_cast<u16>(to_sip[0].data.size()), &fail),
              SSC_RC_OK);
    auto* st = Ssc_first<ssc_hdr_status>(rs, ssc_header_id::RETURN_CODE);
    ASSERT_TRUE(ssc_ptr_set(st));
    EXPECT_EQ(st->code, 420);
    EXPECT_STREQ(st->reason, "Bad Extension");
    std::vector<std::string> got;
    for (auto* u = Ssc_first<ssc_hdr_code_text>(rs, ssc_header_id::UNSUPPORTED); ssc_ptr_set(u); u = u->next)
      got.push_back(ssc_ptr_set(u->text) ? std::string(u->text) : std::string(1, static_cast<char>(u->code)));
    EXPECT_EQ(got, c.unsupported) << c.what;
    EXPECT_FALSE(ssc_ptr_set(Ssc_first<ssc_hdr_code_text>(rs, ssc_header_id::REQUIRE)));
    // The top Via names the request's real source: received and rport.
    auto* via = Ssc_first<ssc_hdr_via>(rs, ssc_header_id::VIA);
    ASSERT_TRUE(ssc_ptr_set(reinterpret_cast<const char*>(via)));
    EXPECT_EQ(via->family2, '4');
    EXPECT_EQ(via->v4_2[0], 127);
    EXPECT_EQ(via->v4_2[3], 1);
    EXPECT_EQ(via->port, 5999);  // the sent-by port as the request gave it
    (void)Ssc_free_handle(rs);
  }
  // The accepted INVITEs stay open (their calls hold the requests) until
  // the agent is reset.
  EXPECT_EQ(ssc_entity_counts().handles, 2u);
  send_data(ENT_SM, SM_RST_CFG_RQ, {0}, NAI);
  expect_counts_zero();
}

TEST_F(SscHandler, UserInviteGoesToSipWithItsBody) {
  ASSERT_EQ(configure(config_body(NAI)), B({2, 0, 0}));
  ssc_set_machines([] { ssc_send(ENT_SIP, 0, SSC_INVITE_RQ); }, nullptr);
  ssc_handle* h = ssc_test::invite({}, true);
  ASSERT_NE(h, nullptr);
  msg_t* m = SIP_sc_format_rq(NAI, 9, 255, h);
  (void)Ssc_free_handle(h);
  ASSERT_NE(m, nullptr);
  m->from = ENT_FOIP;
  send(m);
  auto to_sip = take_for(ENT_SIP);
  ASSERT_EQ(to_sip.size(), 1u);
  EXPECT_EQ(to_sip[0].code, SSC_INVITE_RQ);
  EXPECT_EQ(to_sip[0].conn_id, 9);  // SIP side took the user's number
  EXPECT_EQ(to_sip[0].nai, NAI);
  EXPECT_EQ(to_sip[0].sapi, 0);
  ssc_handle* back = Ssc_alloc_handle();
  ASSERT_EQ(Ssc_init_handle(back, ssc_msg_type::INVITE), 2);
  ssc_rc_fail fail;
  ASSERT_EQ(ssc_decode_from_sip(back, to_sip[0].data.data(), static_cast<u16>(to_sip[0].data.size()), &fail),
            SSC_RC_OK);
  EXPECT_TRUE(ssc_ptr_set(Ssc_first<void>(back, ssc_header_id::BODY)));  // the SDP travels as the body
  (void)Ssc_free_handle(back);
  expect_counts_zero();
}

TEST_F(SscHandler, ManagementSubCodesAndIndexes) {
  ASSERT_EQ(configure(config_body(NAI)), B({2, 0, 0}));
  struct Case {
    const char* what;
    u16 sub;
    u16 index;
    u8 mode;
    bool answered;
    u8 result;
    u8 cause;
  };
  const Case cases[] = {
      {"unknown sub-code", 'Z', 0, 0, true, 3, 'A'},
      {"start, no such record", 'A', 5, 0, true, 3, 'B'},
      {"set mode, no such record", 'C', 1, '1', true, 3, 'B'},
      {"select only", 'B', 0, 0, false, 0, 0},
      {"set binding", 'D', 0, 0, true, 2, 0xFF},
      {"set binding again", 'D', 0, 0, true, 3, 'E'},
      {"bad mode digit", 'C', 0, '7', true, 3, 'C'},
      {"clear binding", 'E', 0, 0, false, 0, 0},
      {"set binding after clear", 'D', 0, 0, true, 2, 0xFF},
  };
  for (const Case& c : cases) {
    ssc_handle* h = Ssc_alloc_handle();
    ASSERT_EQ(Ssc_init_handle(h, ssc_msg_type::SM_RQ), 2);
    auto* g = Ssc_first<ssc_hdr_mgmt>(h, ssc_header_id::MANAGEMENT);  // made with the handle
    ASSERT_NE(g, nullptr);
    g->w1 = c.sub;
    g->w2 = c.index;
    g->b4 = c.mode;
    g->b5 = 0;
    g->b6 = 0;
    msg_t* m = SIP_sc_format_rq(NAI, 0xFFFF, 255, h);
    (void)Ssc_free_handle(h);
    ASSERT_NE(m, nullptr) << c.what;
    m->from = ENT_SM;
    m->to = ENT_SSC;
    send(m);
    auto to_sm = take_for(ENT_SM);
    if (!c.answered) {
      EXPECT_TRUE(to_sm.empty()) << c.what;
      continue;
    }
    ASSERT_EQ(to_sm.size(), 1u) << c.what;
    EXPECT_EQ(to_sm[0].code, SSC_SM_ANSWER) << c.what;
    ASSERT_GE(to_sm[0].data.size(), 8u);
    EXPECT_EQ(to_sm[0].data[6], c.result) << c.what;
    EXPECT_EQ(to_sm[0].data[7], c.cause) << c.what;
  }
  ASSERT_EQ(ssc_ua__select(NAI), 2);
  EXPECT_EQ(ssc_mod().ua->binding.state, 1);
  send_data(ENT_SM, SM_RST_CFG_RQ, {0}, NAI);
  expect_counts_zero();
}

TEST_F(SscHandler, ResponseHandleTakesRequestPartsAndSource) {
  ssc_handle* req = ssc_test::invite({{0xFF, "foo"}}, true);
  ASSERT_NE(req, nullptr);
  req->addr_port = 5080;
  req->transaction_number = 0x8003;
  Ssc_first<ssc_hdr_via>(req, ssc_header_id::VIA)->port = 5999;
  ssc_handle* rs = ssc_new_response_handle(req);
  ASSERT_NE(rs, nullptr);
  EXPECT_EQ(rs->type, ssc_msg_type::INVITE_RS);
  EXPECT_EQ(rs->transaction_number, 0x8003);
  auto* via = Ssc_first<ssc_hdr_via>(rs, ssc_header_id::VIA);
  ASSERT_NE(via, nullptr);
  EXPECT_EQ(via->family2, '4');
  EXPECT_EQ(via->w2, 5080);  // rport: the real source port
  EXPECT_EQ(via->port, 5999);
  EXPECT_NE(Ssc_first<void>(rs, ssc_header_id::FROM), nullptr);
  EXPECT_NE(Ssc_first<void>(rs, ssc_header_id::TO), nullptr);
  EXPECT_NE(Ssc_first<void>(rs, ssc_header_id::CALL_ID), nullptr);
  EXPECT_EQ(Ssc_first<void>(rs, ssc_header_id::REQUIRE), nullptr);
  EXPECT_EQ(Ssc_first<void>(rs, ssc_header_id::CONTACT), nullptr);
  EXPECT_EQ(Ssc_first<void>(rs, ssc_header_id::SDP_MAIN_BODY), nullptr);
  ssc_handle* rs_of_rs = ssc_new_response_handle(rs);  // not a request
  EXPECT_EQ(rs_of_rs, nullptr);
  (void)Ssc_free_handle(req);
  ssc_internal::release_handle(rs);
  expect_counts_zero();
}

namespace {

// A SIP_INVITE_CO body: the answer to our INVITE with a status and a To tag.
std::vector<u8> invite_answer(u16 status, const char* to_tag) {
  ssc_handle* req = ssc_test::invite();
  ssc_handle* rs = ssc_new_response_handle(req);
  (void)Ssc_free_handle(req);
  if (rs == nullptr) return {};
  auto* st = static_cast<ssc_hdr_status*>(Ssc_alloc_header(rs, ssc_header_id::RETURN_CODE));
  st->code = status;
  st->reason = "Answer";
  Ssc_first<ssc_hdr_name_addr>(rs, ssc_header_id::TO)->s3 = to_tag;
  std::vector<u8> body = ssc_test::sip_body(rs);
  ssc_internal::release_handle(rs);
  return body;
}

}  // namespace

TEST_F(SscHandler, AnswersFromSipMatchForksAndReachTheUser) {
  ASSERT_EQ(configure(config_body(NAI)), B({2, 0, 0}));
  user_msg(ssc_msg_type::INVITE, 5);  // our call: user and SIP conn 5
  ssc_stub_events().clear();
  ssc_set_machines(nullptr, [] {
    ssc_stub_events().push_back(
        {'C', ssc_mod().event, static_cast<u16>(ssc_mod().entry ? ssc_mod().entry->index : 255)});
    if (ssc_mod().event == 4) ssc_send('A', 255, SSC_INVITE_CO);
  });
  struct Case {
    u16 status;
    const char* tag;
    u8 index;
    bool dialog_gone;
  };
  const Case cases[] = {
      {180, "tA", 0, false},  // the first entry takes the tag
      {180, "tB", 1, false},  // a new tag: fork
      {200, "tB", 1, false},  // same tag: same entry
      {481, "tA", 0, true},   // the dialog is gone: event 95 follows
  };
  for (const Case& c : cases) {
    const std::vector<u8> body = invite_answer(c.status, c.tag);
    ASSERT_FALSE(body.empty());
    ssc_stub_events().clear();
    send_data(ENT_SIP, SSC_INVITE_CO, body, NAI, 5);
    ASSERT_EQ(ssc_stub_events().size(), c.dialog_gone ? 2u : 1u) << c.status << c.tag;
    EXPECT_EQ(ssc_stub_events()[0].event, 4);
    EXPECT_EQ(ssc_stub_events()[0].conn_id, c.index) << c.status << c.tag;
    if (c.dialog_gone) {
      EXPECT_EQ(ssc_stub_events()[1].event, SSC_EVENT_DIALOG_GONE);
      EXPECT_EQ(ssc_stub_events()[1].conn_id, c.index);  // same entry, carried in the self-message
    }
    auto up = take_for(ENT_FOIP);
    ASSERT_EQ(up.size(), 1u);
    EXPECT_EQ(up[0].code, SSC_INVITE_CO);
    EXPECT_EQ(up[0].sapi, c.index);  // the entry's index
    EXPECT_EQ(up[0].conn_id, 5);     // the user's conn_id
    EXPECT_EQ(up[0].nai, NAI);
    ssc_handle* got = Ssc_alloc_handle();
    msg_t* m = rt_test::make_msg(ENT_SSC, ENT_FOIP, SSC_INVITE_CO, {}, NAI, 5);
    Msg_attach_chain(m, Store_data_in_buffers(up[0].data.data(), static_cast<u32>(up[0].data.size()), nullptr));
    ASSERT_EQ(Ssc_unformat_msg(got, m), 2);
    auto* st = Ssc_first<ssc_hdr_status>(got, ssc_header_id::RETURN_CODE);
    ASSERT_NE(st, nullptr);
    EXPECT_EQ(st->code, c.status);
    (void)Ssc_free_handle(got);
    Free_msg(m);
  }
  ASSERT_EQ(ssc_ua__select(NAI), 2);
  ASSERT_EQ(ssc_call__by_user_conn(5), 2);
  EXPECT_EQ(ssc_mod().call->entry_count, 2);
  send_data(ENT_SM, SM_RST_CFG_RQ, {0}, NAI);
  expect_counts_zero();
}

TEST_F(SscHandler, EntryTimersExpireToTheirMachines) {
  ASSERT_EQ(configure(config_body(NAI)), B({2, 0, 0}));
  // On the INVITE the call machine starts timer '1' twice (the first start
  // goes stale) and timer '0'.
  ssc_set_machines(
      [] {
        ssc_stub_events().push_back({'F', ssc_mod().event, 0});
        if (ssc_mod().event == 1) {
          ASSERT_EQ(ssc_entry_timer_start(ssc_mod().entry, 1, 50, '1'), 2);
          ASSERT_EQ(ssc_entry_timer_start(ssc_mod().entry, 1, 80, '1'), 2);
          ASSERT_EQ(ssc_entry_timer_start(ssc_mod().entry, 0, 120, '0'), 2);
        }
      },
      nullptr);
  user_msg(ssc_msg_type::INVITE, 5);
  ssc_stub_events().clear();
  for (int ms = 0; ms < 200; ++ms) {
    rt_test::advance_clock(1);
    om_os_timer_poll();
    rt_test::pump();
  }
  ASSERT_EQ(ssc_stub_events().size(), 2u);
  EXPECT_EQ(ssc_stub_events()[0].route, 'F');  // '1' on an idle entry
  EXPECT_EQ(ssc_stub_events()[0].event, 69);
  EXPECT_EQ(ssc_stub_events()[1].route, 'C');  // '0'
  EXPECT_EQ(ssc_stub_events()[1].event, 54);
  send_data(ENT_SM, SM_RST_CFG_RQ, {0}, NAI);  // frees the cells with the entries
  EXPECT_EQ(om_os_timer_pool_stats().in_use, 0u);
  expect_counts_zero();
}

namespace {

// A management request of sub-code `sub` for record 0, with the binding's
// headers when `headers` is set: From, Via and a local-address Route.
msg_t* management_rq(u16 sub, u32 d1, u32 d2, bool headers) {
  ssc_handle* h = Ssc_alloc_handle();
  if (Ssc_init_handle(h, ssc_msg_type::SM_RQ) != 2) return nullptr;
  auto* g = Ssc_first<ssc_hdr_mgmt>(h, ssc_header_id::MANAGEMENT);
  g->w1 = sub;
  g->w2 = 0;
  g->d1 = d1;
  g->d2 = d2;
  g->b4 = '2';
  g->b5 = 1;
  g->b6 = 0;
  if (headers) {
    ssc_handle* inv = ssc_test::invite();
    const u8 lo[4] = {127, 0, 0, 1};
    auto* from = static_cast<ssc_hdr_name_addr*>(Ssc_alloc_header(h, ssc_header_id::FROM));
    auto* via = static_cast<ssc_hdr_via*>(Ssc_alloc_header(h, ssc_header_id::VIA));
    auto* route = static_cast<ssc_hdr_route*>(Ssc_alloc_header(h, ssc_header_id::ROUTE));
    if (!from || !via || !route) return nullptr;
    *from = *Ssc_first<ssc_hdr_name_addr>(inv, ssc_header_id::FROM);
    from->next = nullptr;
    from->uri.user = "tessaly";
    from->s3 = "kt1";
    *via = *Ssc_first<ssc_hdr_via>(inv, ssc_header_id::VIA);
    via->next = nullptr;
    via->s7 = nullptr;
    route->s1 = nullptr;
    route->s2 = nullptr;
    route->b1 = 0;
    route->uri = from->uri;
    route->uri.user = "registrar";
    route->uri.host_family = '4';
    std::memcpy(route->uri.host_v4, lo, 4);
    route->uri.port = 5090;
    route->uri.uri_text_2 = "lr";
    (void)Ssc_free_handle(inv);
  }
  msg_t* m = SIP_sc_format_rq(NAI, 0xFFFF, 255, h);
  (void)Ssc_free_handle(h);
  if (m) {
    m->from = ENT_SM;
    m->to = ENT_SSC;
  }
  return m;
}

std::vector<u8> options_answer(u16 status) {
  ssc_handle* h = Ssc_alloc_handle();
  Ssc_init_handle(h, ssc_msg_type::OPTIONS_RS);
  auto* st = static_cast<ssc_hdr_status*>(Ssc_alloc_header(h, ssc_header_id::RETURN_CODE));
  st->code = status;
  st->reason = "Answer";
  std::vector<u8> body = ssc_test::sip_body(h);
  (void)Ssc_free_handle(h);
  return body;
}

}  // namespace

TEST_F(SscHandler, KeepAliveProbesOfABinding) {
  ASSERT_EQ(configure(config_body(NAI)), B({2, 0, 0}));
  msg_t* set = management_rq('D', 100, 200, true);  // mode 2 interval 100 ms
  ASSERT_NE(set, nullptr);
  send(set);
  auto sm = take_for(ENT_SM);
  ASSERT_EQ(sm.size(), 2u);  // report 'A' (record started), then the answer
  EXPECT_EQ(sm[0].code, SSC_SM_REPORT);
  EXPECT_EQ(sm[0].data[1], 'e');
  EXPECT_EQ(sm[0].data[2], 'A');
  EXPECT_EQ(sm[1].code, SSC_SM_ANSWER);
  EXPECT_EQ(sm[1].data[6], 2);
  ASSERT_EQ(ssc_ua__select(NAI), 2);
  EXPECT_EQ(ssc_mod().ua->binding.state, 3);

  msg_t* start = management_rq('A', 0xFFFFFFFFu, 0xFFFFFFFFu, false);  // the binding's intervals
  ASSERT_NE(start, nullptr);
  send(start);
  auto all = rt_test::rec().messages();
  rt_test::rec().clear();
  std::vector<rt_test::seen_msg> probes;
  bool answered = false;
  for (auto& m : all) {
    if (m.to == ENT_SIP) probes.push_back(m);
    if (m.to == ENT_SM && m.code == SSC_SM_ANSWER) answered = m.data[6] == 2;
  }
  EXPECT_TRUE(answered);
  ASSERT_EQ(probes.size(), 1u);
  EXPECT_EQ(probes[0].code, SSC_OPTIONS_RQ);
  ASSERT_EQ(ssc_ua__select(NAI), 2);
  const u16 probe_conn = ssc_mod().ua->keepalive.call_index;
  EXPECT_EQ(probes[0].conn_id, probe_conn);
  std::string first_call_id;
  {
    ssc_handle* back = Ssc_alloc_handle();
    ASSERT_EQ(Ssc_init_handle(back, ssc_msg_type::OPTIONS), 2);
    ssc_rc_fail fail;
    ASSERT_EQ(ssc_decode_from_sip(back, probes[0].data.data(), static_cast<u16>(probes[0].data.size()), &fail),
              SSC_RC_OK);
    auto* to = Ssc_first<ssc_hdr_name_addr>(back, ssc_header_id::TO);
    ASSERT_NE(to, nullptr);
    EXPECT_STREQ(to->uri.user, "registrar");  // To: the binding's local address
    EXPECT_EQ(to->uri.port, 5090);
    auto* cid = Ssc_first<ssc_hdr_call_id>(back, ssc_header_id::CALL_ID);
    ASSERT_NE(cid, nullptr);
    first_call_id = cid->local;
    EXPECT_EQ(first_call_id.size(), 16u);
    (void)Ssc_free_handle(back);
  }

  // 200: report 'C', the probe call goes, the next probe follows the interval.
  send_data(ENT_SIP, SSC_OPTIONS_CO, options_answer(200), NAI, probe_conn);
  sm = take_for(ENT_SM);
  ASSERT_EQ(sm.size(), 1u);
  EXPECT_EQ(sm[0].data[2], 'C');
  EXPECT_EQ(sm[0].data[16] | (sm[0].data[17] << 8), 200);
  ASSERT_EQ(ssc_ua__select(NAI), 2);
  EXPECT_EQ(ssc_mod().ua->calls_in_use, 0);
  unsigned sent_at = 0;
  std::vector<rt_test::seen_msg> next;
  for (unsigned ms = 1; ms <= 150 && next.empty(); ++ms) {
    rt_test::advance_clock(1);
    om_os_timer_poll();
    rt_test::pump();
    next = take_for(ENT_SIP);
    sent_at = ms;
  }
  ASSERT_EQ(next.size(), 1u);
  EXPECT_EQ(sent_at, 100u);
  {
    ssc_handle* back = Ssc_alloc_handle();
    ASSERT_EQ(Ssc_init_handle(back, ssc_msg_type::OPTIONS), 2);
    ssc_rc_fail fail;
    ASSERT_EQ(ssc_decode_from_sip(back, next[0].data.data(), static_cast<u16>(next[0].data.size()), &fail), SSC_RC_OK);
    EXPECT_NE(first_call_id, Ssc_first<ssc_hdr_call_id>(back, ssc_header_id::CALL_ID)->local);  // new Call-ID
    (void)Ssc_free_handle(back);
  }
  // 503: report 'D' (failed).
  ASSERT_EQ(ssc_ua__select(NAI), 2);
  send_data(ENT_SIP, SSC_OPTIONS_CO, options_answer(503), NAI, ssc_mod().ua->keepalive.call_index);
  sm = take_for(ENT_SM);
  ASSERT_EQ(sm.size(), 1u);
  EXPECT_EQ(sm[0].data[2], 'D');

  // Reset with a probe timer running and then a probe call open: nothing stays.
  for (int ms = 0; ms < 100; ++ms) {
    rt_test::advance_clock(1);
    om_os_timer_poll();
    rt_test::pump();
  }
  ASSERT_EQ(ssc_ua__select(NAI), 2);
  EXPECT_NE(ssc_mod().ua->keepalive.call_index, SSC_NO_CONN);  // a probe is out
  send_data(ENT_SM, SM_RST_CFG_RQ, {0}, NAI);
  EXPECT_EQ(om_os_timer_pool_stats().in_use, 0u);
  expect_counts_zero();
}

TEST_F(SscHandler, LocalAddressesMakeTheBinding) {
  // From the configuration: a name address makes the binding and its
  // keep-alive record, with no answer to anyone but the report.
  auto body = config_body(NAI, 'N');
  body[21] = 1;
  body[22] = 0xC4;  // port 5060
  body[23] = 0x13;
  std::memcpy(&body[25], "fax.example", 11);
  EXPECT_EQ(configure(body), B({2, 0, 0}));
  ASSERT_EQ(ssc_ua__select(NAI), 2);
  EXPECT_EQ(ssc_mod().ua->binding.state, 3);
  EXPECT_EQ(ssc_mod().ua->keepalive.mode, 2);
  EXPECT_EQ(ssc_mod().ua->primary, 0);
  ASSERT_NE(ssc_mod().ua->binding.store, nullptr);
  auto* r = Ssc_first<ssc_hdr_route>(ssc_mod().ua->binding.store, ssc_header_id::ROUTE);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->uri.host_family, 'N');
  EXPECT_STREQ(r->uri.host_name, "fax.example");
  EXPECT_EQ(r->uri.port, 5060);
  EXPECT_TRUE(take_for(ENT_FOIP).empty());

  // The hold timer ('3') frees the record: running flag and counter cleared;
  // for another record index it is dropped.
  ssc_mod().ua->keepalive.running = 1;
  ssc_mod().ua->keepalive.counter = 7;
  ssc_stub_events().clear();
  send_data(ENT_TI, '3', {1, 0}, NAI, 1);
  ASSERT_EQ(ssc_ua__select(NAI), 2);
  EXPECT_EQ(ssc_mod().ua->keepalive.counter, 7);
  send_data(ENT_TI, '3', {1, 0}, NAI, 0);
  ASSERT_EQ(ssc_ua__select(NAI), 2);
  EXPECT_EQ(ssc_mod().ua->keepalive.running, 0);
  EXPECT_EQ(ssc_mod().ua->keepalive.counter, 0);
  EXPECT_TRUE(ssc_stub_events().empty());

  // From the user (code 91): the binding is made anew and the user is
  // answered with type 36, status 200.
  ssc_handle* h = Ssc_alloc_handle();
  ASSERT_EQ(Ssc_init_handle(h, ssc_msg_type::LOCAL_ADDR), 2);
  auto* route = static_cast<ssc_hdr_route*>(Ssc_alloc_header(h, ssc_header_id::ROUTE));
  std::memset(&route->uri, 0xFF, sizeof route->uri);
  route->s1 = nullptr;
  route->s2 = nullptr;
  route->b1 = 0;
  route->uri.scheme = 1;
  route->uri.host_family = '4';
  const u8 ip[4] = {127, 0, 0, 1};
  std::memcpy(route->uri.host_v4, ip, 4);
  route->uri.port = 5070;
  msg_t* m = SIP_sc_format_rq(NAI, 0xFFFF, 255, h);
  (void)Ssc_free_handle(h);
  ASSERT_NE(m, nullptr);
  m->from = ENT_FOIP;
  send(m);
  auto up = take_for(ENT_FOIP);
  ASSERT_EQ(up.size(), 1u);
  EXPECT_EQ(up[0].code, SSC_LOCAL_ADDR_RS);
  ASSERT_EQ(ssc_ua__select(NAI), 2);
  EXPECT_EQ(ssc_mod().ua->binding.state, 3);
  r = Ssc_first<ssc_hdr_route>(ssc_mod().ua->binding.store, ssc_header_id::ROUTE);
  ASSERT_NE(r, nullptr);
  EXPECT_EQ(r->uri.port, 5070);
  send_data(ENT_SM, SM_RST_CFG_RQ, {0}, NAI);
  expect_counts_zero();
}

TEST_F(SscHandler, EntityResetReleasesBindingAndProbe) {
  ASSERT_EQ(configure(config_body(NAI)), B({2, 0, 0}));
  send(management_rq('D', 100, 200, true));
  send(management_rq('A', 0xFFFFFFFFu, 0xFFFFFFFFu, false));
  ASSERT_EQ(ssc_ua__select(NAI), 2);
  EXPECT_NE(ssc_mod().ua->keepalive.call_index, SSC_NO_CONN);
  EXPECT_GT(ssc_entity_counts().handles, 0u);
  ssc_entity_reset(8);
  expect_counts_zero();
  EXPECT_EQ(om_os_timer_pool_stats().in_use, 0u);
}

// With option 0x20 a change of the primary keep-alive record sends every
// registered entry event 91 on route 'H'; without it nothing is re-sent.
TEST_F(SscHandler, PrimaryChangeRegistersEveryEntryAgain) {
  ssc_set_machines(nullptr, nullptr);
  for (const u16 option : {u16{0x20}, u16{0}}) {
    SCOPED_TRACE(option);
    ASSERT_EQ(configure(config_body(NAI)), B({2, 0, 0}));
    ASSERT_EQ(ssc_ua__select(NAI), 2);
    ssc_mod().ua->option_flags = option;
    for (u16 slot : {u16{2}, u16{5}}) {
      ssc_handle* h = ssc_test::invite();
      ASSERT_NE(ssc_set_type_filtered(h, ssc_msg_type::REGISTER), nullptr);
      h->carried_word_2 = slot;
      msg_t* m = SIP_sc_format_rq(NAI, static_cast<u16>(10 + slot), 255, h);
      (void)Ssc_free_handle(h);
      ASSERT_NE(m, nullptr);
      m->from = ENT_FOIP;
      m->to = ENT_SSC;
      m->code = SSC_REGISTER_RQ;
      send(m);
    }
    ASSERT_EQ(ssc_ua__select(NAI), 2);
    ASSERT_NE(ssc_mod().ua->reg_slots[2], nullptr);
    ASSERT_NE(ssc_mod().ua->reg_slots[5], nullptr);
    send(management_rq('D', 100, 200, true));
    send(management_rq('A', 0xFFFFFFFFu, 0xFFFFFFFFu, false));
    ASSERT_EQ(ssc_ua__select(NAI), 2);
    ssc_mod().ua->primary = SSC_NO_INDEX8;
    ssc_stub_events().clear();
    send(management_rq('C', 0, 0, false));
    ASSERT_EQ(ssc_ua__select(NAI), 2);
    EXPECT_EQ(ssc_mod().ua->primary, 0);
    int again = 0;
    for (const ssc_stub_event& e : ssc_stub_events())
      if (e.route == 'H' && e.event == 91) ++again;
    EXPECT_EQ(again, option != 0 ? 2 : 0);
    send_data(ENT_SM, SM_RST_CFG_RQ, {0}, NAI);
    expect_counts_zero();
  }
}
