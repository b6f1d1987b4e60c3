// The SIP side plugged into the real ENT_FOIP: the configuration of the SIP
// entities through ENT_SM (T.38 capabilities, then ENT_SSC, ENT_SIP, ENT_IP),
// its answers and failures, the reset of the SIP entities, and registration
// requests answered before the configuration ends.
#include "session/foip/foip_sip_mgt.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "runtime/sm.h"
#include "sip/prim/ssc_codes.h"
#include "sip/prim/ssc_header.h"
#include "sip/prim/ssc_msg.h"
#include "runtime/support/rt_harness.h"
#include "session/foip/app_foip_prim.h"
#include "session/foip/foip.h"
#include "session/foip/foip_ctx.h"
#include "session/foip/support/foip_test_support.h"
#include "t38/t38_entity.h"

namespace {

using namespace rt_test;
using foip_test::confirms;
using namespace kv::t38;

std::vector<u8> g_cap_answer;  // T38__CAPABILITIES_CO body
u8 g_refuse_target = 0;        // ENT_SM refuses the configuration of this entity
u8 g_refuse_error = 0;

void answer(msg_t* m, code_t code, std::vector<u8> body) {
  Send_msg(make_msg(m->to, ENT_FOIP, code, body, m->nai, m->conn_id));
}

void fake_t38(msg_t* m) {
  rec().add(describe(m));
  if (m->code == T38__CAPABILITIES_RQ && !g_cap_answer.empty()) answer(m, T38__CAPABILITIES_CO, g_cap_answer);
  Free_msg(m);
}

void fake_sm(msg_t* m) {
  seen_msg d = describe(m);
  d.sapi = Sm_target(m);  // the entity the request names
  rec().add(d);
  const ent_id_t target = Sm_target(m);
  if (m->code == SM_CONFIG_RQ) {
    const bool refuse = target == g_refuse_target;
    answer(m, SM_CONFIG_CO, {u8(refuse ? 3 : 2), u8(refuse ? g_refuse_error : 2), target});
  }
  if (m->code == SM_RST_CFG_RQ) answer(m, SM_RST_CFG_CO, {2, 0, target});
  Free_msg(m);
}

// ENT_SSC records what it gets and, for a packed SSC message, its status.
std::vector<std::string> g_ssc_answers;  // "<conn> <code letter> <status>"
void fake_ssc(msg_t* m) {
  rec().add(describe(m));
  std::string a = std::to_string(m->conn_id) + " " + static_cast<char>(m->code);
  ssc_handle* h = Ssc_alloc_handle();
  if (h != nullptr && Ssc_unformat_msg(h, m) == 2)
    if (const auto* st = Ssc_first<ssc_hdr_status>(h, ssc_header_id::RETURN_CODE)) a += " " + std::to_string(st->code);
  if (h != nullptr) (void)Ssc_free_handle(h);
  g_ssc_answers.push_back(a);
  Free_msg(m);
}

const entity_table_row_t TABLE[] = {
    {ENT_APP_FOIP, record_handler, 0, 0, nullptr, 0},
    FOIP_ENTITY_ROW,
    {ENT_T38, fake_t38, 0, 0, nullptr, 0},
    {ENT_SM, fake_sm, 0, 0, nullptr, 0},
    {ENT_IP, record_handler, 0, 0, nullptr, 0},
    {ENT_SSC, fake_ssc, 0, 0, nullptr, 0},
    {ENT_FAX, record_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

class FoipSipMgt : public ::testing::Test {
 protected:
  void SetUp() override {
    g_cap_answer.assign(T38__CAPABILITIES_CO_SIZE, 0);
    g_cap_answer[0] = 2;
    g_cap_answer[2] = 'J';
    g_cap_answer[4 + 1] = 0x40, g_cap_answer[4 + 2] = 0x38;  // 14400
    g_refuse_target = 0;
    foip__layer_hooks h;
    foip_sip__plug(h);
    foip__set_layer_hooks(h);
    use_virtual_clock(1000);
    start_manual(TABLE);
    pump();
    sip_mgt__glb_init();
    rec().clear();
  }
  void TearDown() override {
    foip_entity_stop();
    sip_mgt__glb_init();
    stop();
    foip__set_layer_hooks({});
  }
  void configure() {
    foip__global_param g;
    foip_test::global_param(g, 1);
    g.glb_sip_param.sig_nai = 5;
    ASSERT_EQ(foip_api__send_set_config_rq(g), FOIP_API__OK);
    pump();
  }
  // The requests to ENT_SM: code and named entity.
  std::string sm_requests() {
    std::string out;
    for (const seen_msg& m : rec().messages()) {
      if (m.to != ENT_SM) continue;
      if (!out.empty()) out += ' ';
      out += static_cast<char>(m.code);
      if (m.code != SM_SET_TRIG_IN) out += m.sapi == ENT_SSC ? "ssc" : m.sapi == ENT_SIP ? "sip" : "ip";
    }
    return out;
  }
  bool timers_free() {
    for (const sip_call__slot& c : sip_mgt__glb().call)
      if (c.timer) return false;
    return sip_mgt__glb().build_handle == nullptr && sip_mgt__glb().rx_handle == nullptr;
  }
};

TEST_F(FoipSipMgt, ConfigurationRunsThroughTheThreeEntities) {
  configure();
  EXPECT_EQ(sm_requests(), "L Cssc L Csip Cip");
  auto c = confirms(FOIP__SET_CONFIG_CO);
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0].return_code, 2);
  EXPECT_EQ(c[0].error_source, FOIP__CFG_SRC_OK);
  EXPECT_EQ(sip_mgt__glb().phase, SIP_MGT__RUNNING);
  EXPECT_TRUE(foip__is_configured());
  EXPECT_EQ(sip_mgt__glb().local_t38.udptl_param.fax_max_bit_rate, 14400);
  // ENT_SIP's body, as its reader takes it.
  for (const seen_msg& m : rec().messages()) {
    if (m.to != ENT_SM || m.code != SM_CONFIG_RQ || m.sapi != ENT_SIP) continue;
    sip_config cfg;
    ASSERT_TRUE(sip_config_read(m.data.data(), m.data.size(), &cfg));
    EXPECT_EQ(cfg.endpoints[0].nai, 5);
    EXPECT_EQ(cfg.endpoints[0].t1_ms, 500u);
    EXPECT_EQ(cfg.endpoints[0].provisional_wait_ms, 360000u);
  }
  // Call records: conn ids 62.. with a timer each; registration ids 0..61.
  EXPECT_EQ(sip_mgt__glb().call[0].conn_id, 62);
  EXPECT_EQ(sip_mgt__glb().call[61].conn_id, 123);
  EXPECT_NE(sip_mgt__glb().call[61].timer, nullptr);
  EXPECT_EQ(sip_mgt__glb().reg[61].conn_id, 61);
}

TEST_F(FoipSipMgt, FailuresAnswerWithTheirSourceAndCode) {
  struct row {
    const char* name;
    u8 cap_result, cap_error, refuse, refuse_error;
    u8 want_source, want_code;
    const char* want_sm;
  };
  const row rows[] = {
      {"capabilities refused", 3, 12, 0, 0, 254, 12, ""},
      {"ENT_SSC refuses", 2, 0, ENT_SSC, 49, 253, 49, "L Cssc"},
      {"ENT_SIP refuses", 2, 0, ENT_SIP, 12, 253, 12, "L Cssc L Csip"},
      {"ENT_IP refuses", 2, 0, ENT_IP, 7, 252, 7, "L Cssc L Csip Cip"},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.name);
    g_cap_answer[0] = r.cap_result;
    g_cap_answer[1] = r.cap_error;
    g_refuse_target = r.refuse;
    g_refuse_error = r.refuse_error;
    rec().clear();
    configure();
    EXPECT_EQ(sm_requests(), r.want_sm);
    auto c = confirms(FOIP__SET_CONFIG_CO);
    ASSERT_EQ(c.size(), 1u);
    EXPECT_EQ(c[0].return_code, 3);
    EXPECT_EQ(c[0].error_source, r.want_source);
    EXPECT_EQ(c[0].error_code, r.want_code);
    EXPECT_EQ(sip_mgt__glb().phase, SIP_MGT__NOT_CONFIGURED);
    EXPECT_EQ(sip_mgt__glb().held_config, nullptr);
  }
}

TEST_F(FoipSipMgt, ResetRunsIpSipSscAndReleasesEverything) {
  configure();
  ASSERT_EQ(sip_mgt__glb().phase, SIP_MGT__RUNNING);
  rec().clear();
  ASSERT_EQ(foip_api__send_reset_config_rq(), FOIP_API__OK);
  pump();
  EXPECT_EQ(sm_requests(), "Dip Dsip Dssc");
  EXPECT_EQ(sip_mgt__glb().phase, SIP_MGT__NOT_CONFIGURED);
  EXPECT_TRUE(timers_free());
  EXPECT_EQ(confirms(FOIP__RESET_CONFIG_CO).size(), 1u);
  // The socket reset names the SIP socket: sapi 1, conn 0.
  for (const seen_msg& m : rec().messages())
    if (m.to == ENT_SM && m.code == SM_RST_CFG_RQ && m.conn_id == 0) {
      EXPECT_EQ(m.nai, 5);
    }
}

// ENT_T38 keeps the capability request unanswered: the configuration stays
// in its first phase.
TEST_F(FoipSipMgt, ResetDuringTheConfigurationEndsItAtOnce) {
  g_cap_answer.clear();
  configure();
  ASSERT_EQ(sip_mgt__glb().phase, SIP_MGT__WAIT_T38_CAP);
  ASSERT_EQ(foip_api__send_reset_config_rq(), FOIP_API__OK);
  pump();
  EXPECT_EQ(sm_requests(), "");
  auto c = confirms(FOIP__SET_CONFIG_CO);
  ASSERT_EQ(c.size(), 1u);
  EXPECT_EQ(c[0].return_code, 3);
  EXPECT_EQ(confirms(FOIP__RESET_CONFIG_CO).size(), 1u);
  EXPECT_TRUE(timers_free());
}

TEST_F(FoipSipMgt, RegistrationRequestsBeforeTheConfigurationEndsAreAnswered) {
  g_cap_answer.clear();
  configure();
  ASSERT_EQ(sip_mgt__glb().phase, SIP_MGT__WAIT_T38_CAP);
  foip__sip_register_param reg{};
  ASSERT_EQ(foip_api__send_sip_register_rq(3, reg), FOIP_API__OK);
  ASSERT_EQ(foip_api__send_sip_unregister_rq(3, 4), FOIP_API__OK);
  pump();
  auto r = confirms(FOIP__SIP_REGISTER_CO);
  auto u = confirms(FOIP__SIP_UNREGISTER_CO);
  ASSERT_EQ(r.size(), 1u);
  ASSERT_EQ(u.size(), 1u);
  for (const foip__confirm& c : {r[0], u[0]}) {
    EXPECT_EQ(c.return_code, 3);
    EXPECT_EQ(c.error_source, 200);
    EXPECT_EQ(c.error_code, 1);
  }
}

TEST_F(FoipSipMgt, UnregisteringARecordNotRegisteredIsAnsweredAtOnce) {
  configure();
  rec().clear();
  for (u16 id : {u16{4}, u16{61}, u16{62}, u16{500}}) ASSERT_EQ(foip_api__send_sip_unregister_rq(3, id), FOIP_API__OK);
  pump();
  auto u = confirms(FOIP__SIP_UNREGISTER_CO);
  ASSERT_EQ(u.size(), 4u);
  for (const foip__confirm& c : u) {
    EXPECT_EQ(c.return_code, 2);
    EXPECT_EQ(c.error_source, 2);
    EXPECT_EQ(c.error_code, 35);
  }
  EXPECT_EQ(sip_mgt__glb().reg[4].state, SIP_REGISTER__FREE);
}

}  // namespace

namespace {

TEST(FoipSipMgtRoute, PrimitivesOfEntSscByConnectionId) {
  struct row {
    code_t code;
    u16 conn;
    u8 target;
    u16 index;
    u8 event;
    bool line;
  };
  const row rows[] = {
      {SSC_INVITE_IN, 62, SSC_MGT__TO_CALL, 0, 10, false},
      {SSC_INVITE_CO, 123, SSC_MGT__TO_CALL, 61, 5, false},
      {SSC_ACK_IN, 70, SSC_MGT__TO_CALL, 8, 15, true},
      {SSC_OPTIONS_IN, 70, SSC_MGT__TO_CALL, 8, 63, true},
      // A new request on an id without call record: answered at once.
      {SSC_OPTIONS_IN, 3, SSC_MGT__TO_NO_CALL, 0, 63, true},
      {SSC_INVITE_IN, 0, SSC_MGT__TO_NO_CALL, 0, 10, false},
      {SSC_INVITE_IN, 124, SSC_MGT__TO_NO_CALL, 0, 10, false},
      {SSC_ACK_IN, 3, SSC_MGT__TO_NONE, 0, 0, false},
      {CALL_CLOSED_IN, 70, SSC_MGT__TO_CALL, 8, 30, true},
      {CALL_CLOSED_IN, 3, SSC_MGT__TO_REGISTER, 3, SIP_REGISTER__EVT_SSC_CALL_CLOSED_IN, false},
      {SSC_REGISTER_CO, 61, SSC_MGT__TO_REGISTER, 61, SIP_REGISTER__EVT_SSC_REGISTER_CO, false},
      {SSC_BYE_IN, 70, SSC_MGT__TO_NONE, 0, 0, false},
  };
  for (const row& r : rows) {
    const ssc_mgt__route got = ssc_mgt__route_ssc(r.code, r.conn);
    SCOPED_TRACE(std::to_string(r.code) + " on " + std::to_string(r.conn));
    EXPECT_EQ(got.target, r.target);
    if (r.target == SSC_MGT__TO_NONE) continue;
    EXPECT_EQ(got.index, r.index);
    EXPECT_EQ(got.event, r.event);
    EXPECT_EQ(got.line != nullptr, r.line);
  }
}

// ENT_SIP hands incoming calls any of its 124 ids; once the 62 call records
// are taken, an INVITE comes on a registration id.  It is refused at once
// (503) and an OPTIONS there answered 200, instead of being left to the
// SIP side's time-out; no call or registration record changes.
TEST_F(FoipSipMgt, RequestsOnAnIdWithoutCallRecordAreAnsweredAtOnce) {
  configure();
  rec().clear();
  g_ssc_answers.clear();
  for (const u16 conn : {u16{3}, u16{61}}) {
    Send_msg(make_msg(ENT_SSC, ENT_FOIP, SSC_INVITE_IN, {0, 0}, 5, conn));
    Send_msg(make_msg(ENT_SSC, ENT_FOIP, SSC_OPTIONS_IN, {0, 0}, 5, conn));
  }
  pump();
  EXPECT_EQ(g_ssc_answers, (std::vector<std::string>{"3 R 503", "3 c 200", "61 R 503", "61 c 200"}));
  EXPECT_EQ(sip_mgt__glb().reg[3].state, SIP_REGISTER__FREE);
  EXPECT_TRUE(rec().traps().empty());
}

// A registration closed by ENT_SSC tells the user its end: a held REGISTER
// gets the SIP status as source and code, a held un-REGISTER its success.
TEST_F(FoipSipMgt, ClosedRegistrationAnswersWhatItHeld) {
  configure();
  rec().clear();
  sip_register__ctx& r = sip_mgt__glb().reg[7];
  r.state = SIP_REGISTER__REGISTERED;
  r.last_status = 403;
  r.user_nai = 2;
  r.held_register = make_msg(ENT_APP_FOIP, ENT_FOIP, FOIP__SIP_REGISTER_RQ, {}, 2, 7);
  r.held_unregister = make_msg(ENT_APP_FOIP, ENT_FOIP, FOIP__SIP_UNREGISTER_RQ, {}, 2, 7);
  Send_msg(make_msg(ENT_SSC, ENT_FOIP, CALL_CLOSED_IN, {0, 0}, 5, 7));
  pump();
  EXPECT_EQ(r.state, SIP_REGISTER__FREE);
  EXPECT_EQ(r.held_register, nullptr);
  EXPECT_EQ(r.user_nai, 0xFFFF);
  auto reg = confirms(FOIP__SIP_REGISTER_CO);
  auto unreg = confirms(FOIP__SIP_UNREGISTER_CO);
  ASSERT_EQ(reg.size(), 1u);
  EXPECT_EQ(reg[0].return_code, 3);
  EXPECT_EQ(reg[0].error_source, 4);
  EXPECT_EQ(reg[0].error_code, 3);
  ASSERT_EQ(unreg.size(), 1u);
  EXPECT_EQ(unreg[0].return_code, 2);
}

// The registrar's answer to a REGISTER: a 2xx answers the held request at
// once; an answer without a status leaves the record waiting for its close.
TEST_F(FoipSipMgt, RegisterAnswerFromEntSsc) {
  configure();
  struct row {
    bool with_status;
    u16 status;
    u8 want_state;
    size_t want_confirms;
  };
  const row rows[] = {
      {true, 200, SIP_REGISTER__REGISTERED, 1},
      {true, 403, SIP_REGISTER__REGISTERED, 0},
      {false, 0, SIP_REGISTER__UNREGISTER_ANSWERED, 0},
  };
  for (const row& w : rows) {
    SCOPED_TRACE(w.status);
    rec().clear();
    sip_register__ctx& r = sip_mgt__glb().reg[9];
    Free_msg(r.held_register);
    r = sip_register__ctx{};
    r.conn_id = 9;
    r.state = SIP_REGISTER__SENT;
    r.user_nai = 2;
    r.held_register = make_msg(ENT_APP_FOIP, ENT_FOIP, FOIP__SIP_REGISTER_RQ, {}, 2, 9);
    ssc_handle* h = Ssc_alloc_handle();
    ASSERT_EQ(Ssc_init_handle(h, ssc_msg_type::REGISTER_RS), 2);
    if (w.with_status) {
      auto* st = static_cast<ssc_hdr_status*>(Ssc_alloc_header(h, ssc_header_id::RETURN_CODE));
      st->code = w.status;
      st->reason = "x";
    }
    msg_t* m = SIP_sc_format_rq(5, 9, 0xFF, h);
    Ssc_free_handle(h);
    ASSERT_NE(m, nullptr);
    m->from = ENT_SSC;
    m->to = ENT_FOIP;
    m->code = SSC_REGISTER_CO;
    Send_msg(m);
    pump();
    EXPECT_EQ(r.state, w.want_state);
    EXPECT_EQ(r.last_status, w.status);
    const auto c = confirms(FOIP__SIP_REGISTER_CO);
    ASSERT_EQ(c.size(), w.want_confirms);
    if (!c.empty()) {
      EXPECT_EQ(c[0].return_code, 2);
      EXPECT_EQ(r.held_register, nullptr);
    }
  }
}

}  // namespace
