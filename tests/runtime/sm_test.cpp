// ENT_SM with fake entities: start-up configuration, relay of requests and
// confirms, congestion broadcasts, triggers and replies.
#include <gtest/gtest.h>

#include <cstring>

#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "runtime/support/rt_harness.h"

using namespace rt_test;

namespace {

// ENT_SIP answers every SM_CONFIG_RQ / SM_RST_CFG_RQ with this body (empty:
// no data) and records what it got.
std::vector<u8> sip_answer = {OM_OS_OK, 0, 0};
void sip_handler(msg_t* m) {
  rec().add(describe(m));
  if (m->code == SM_CONFIG_RQ || m->code == SM_RST_CFG_RQ) {
    msg_t* r = make_msg(ENT_SIP, ENT_SM, static_cast<code_t>(m->code + ('a' - 'A')), sip_answer, m->nai);
    Send_msg(r);
  }
  Free_msg(m);
}

int ready_calls = 0;
u8 ready_result = OM_OS_OK;
u8 ready() {
  ++ready_calls;
  return ready_result;
}
std::vector<ent_id_t> hooked;
void startup_hook(ent_id_t e, u8* data, u32 length) {
  hooked.push_back(e);
  if (length) data[0] = 0xEE;  // the hook works on the copy that is sent
}

const entity_table_row_t TABLE[] = {
    SM_ENTITY_ROW,
    {ENT_IP, record_handler, 0, 0, nullptr, 1},
    {ENT_T38, record_handler, 1, 1, nullptr, 0},
    {ENT_SIP, sip_handler, 0, 0, nullptr, 0},
    {ENT_APP_FOIP, record_handler, 0, 0, nullptr, 1},
    {ENT_FOIP, record_handler, 0, 0, nullptr, 1},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

std::vector<u8> app_record(3000);

class Sm : public ::testing::Test {
 protected:
  void SetUp() override {
    ready_calls = 0;
    ready_result = OM_OS_OK;
    hooked.clear();
    sip_answer = {OM_OS_OK, 0, 0};
    for (size_t i = 0; i < app_record.size(); ++i) app_record[i] = static_cast<u8>(i);
    sm_set_hooks(startup_hook, ready);
  }
  void TearDown() override { stop(); }

  // Starts with no start-up list: phase 1 at once.
  void start_plain() {
    start_manual(TABLE);
    pump();
    EXPECT_EQ(sm_phase(), SM_PHASE_RUNNING);
    rec().clear();
  }
  static std::vector<seen_msg> to(ent_id_t e) {
    std::vector<seen_msg> r;
    for (const auto& m : rec().messages())
      if (m.to == e) r.push_back(m);
    return r;
  }
  // A request from `from` for `target`, with the target in the first inline
  // byte and the body in a buffer chain.
  static void request(ent_id_t from, code_t code, ent_id_t target, nai_t nai, const std::vector<u8>& body) {
    msg_t* m = Alloc_msg();
    buffer_t* chain = Store_data_in_buffers(body.data(), static_cast<u32>(body.size()), nullptr);
    Msg_attach_chain(m, chain);
    Sm_set_target(m, target);
    m->from = from;
    m->to = ENT_SM;
    m->code = code;
    m->nai = nai;
    Send_msg(m);
  }
};

TEST_F(Sm, StartUpConfigurationWaitsForTheApplication) {
  const sm_startup_row_t list[] = {{ENT_APP_FOIP, app_record.data(), 3000, 1, 0}};
  sm_set_startup_list(list, 1);
  start_manual(TABLE);
  pump();
  EXPECT_EQ(sm_phase(), SM_PHASE_STARTING);
  EXPECT_EQ(hooked, std::vector<ent_id_t>{ENT_APP_FOIP});
  auto got = to(ENT_APP_FOIP);
  ASSERT_EQ(got.size(), 1u);
  EXPECT_EQ(got[0].from, ENT_SM);
  EXPECT_EQ(got[0].code, SM_CONFIG_RQ);
  EXPECT_EQ(got[0].nai, 0xFFFF);
  EXPECT_EQ(got[0].sapi, 0xFF);
  EXPECT_EQ(got[0].conn_id, 0xFFFF);
  EXPECT_TRUE(got[0].chained);
  ASSERT_EQ(got[0].data.size(), 3000u);
  EXPECT_EQ(got[0].data[0], 0xEE);
  EXPECT_EQ(std::memcmp(got[0].data.data() + 1, app_record.data() + 1, 2999), 0);
  EXPECT_EQ(app_record[0], 0);  // the caller's record is left alone
  EXPECT_EQ(ready_calls, 0);
  // The interrupt-side pools were filled at start.
  EXPECT_EQ(om_os_it_msg_pool_stats().count, 50);
  EXPECT_EQ(om_os_it_buffer_pool_stats().count, 50);

  Send_msg(make_msg(ENT_APP_FOIP, ENT_SM, SM_CONFIG_CO, {OM_OS_OK, 0}));
  pump();
  EXPECT_EQ(sm_phase(), SM_PHASE_RUNNING);
  EXPECT_EQ(ready_calls, 1);
  EXPECT_TRUE(rec().traps().empty());
}

TEST_F(Sm, StartUpFailuresTrap) {
  struct tc {
    const char* what;
    ent_id_t entity;
    u32 length;
    u8 confirm_status;
    std::vector<u16> traps;
    u8 phase;
  } cases[] = {
      {"too long without the long-data flag", ENT_T38, 3000, 0, {SM_TRAP_STARTUP_SEND}, SM_PHASE_RUNNING},
      {"failed confirm", ENT_APP_FOIP, 10, OM_OS_NOK, {SM_TRAP_CONFIRM_FAILED}, SM_PHASE_STARTING},
  };
  for (const auto& c : cases) {
    const sm_startup_row_t list[] = {{c.entity, app_record.data(), c.length, 1, 0}};
    sm_set_startup_list(list, 1);
    sm_set_hooks(startup_hook, ready);
    start_manual(TABLE);
    pump();
    if (c.confirm_status) {
      Send_msg(make_msg(c.entity, ENT_SM, SM_CONFIG_CO, {c.confirm_status, 9}));
      pump();
      EXPECT_EQ(sm_startup_result(), OM_OS_NOK) << c.what;
    }
    EXPECT_EQ(rec().traps(), c.traps) << c.what;
    EXPECT_EQ(sm_phase(), c.phase) << c.what;
    stop();
  }
}

TEST_F(Sm, ReadyHookRunsWhenTheLastUnwaitedConfirmArrives) {
  const sm_startup_row_t list[] = {
      {ENT_APP_FOIP, app_record.data(), 10, 0, 0}, {ENT_FOIP, app_record.data(), 10, 0, 1},  // skipped
  };
  sm_set_startup_list(list, 2);
  start_manual(TABLE);
  pump();
  EXPECT_EQ(sm_phase(), SM_PHASE_RUNNING);
  EXPECT_EQ(ready_calls, 0);
  EXPECT_EQ(to(ENT_FOIP).size(), 0u);
  Send_msg(make_msg(ENT_APP_FOIP, ENT_SM, SM_CONFIG_CO, {OM_OS_OK}));
  pump();
  EXPECT_EQ(ready_calls, 1);
  EXPECT_EQ(to(ENT_APP_FOIP).size(), 1u);  // the confirm was consumed
}

TEST_F(Sm, ConfigurationIsRelayedAndConfirmedWithTheAnsweringEntity) {
  start_plain();
  std::vector<u8> body(2500, 0x42);
  struct tc {
    std::vector<u8> answer;
    std::vector<u8> expect;
  } cases[] = {
      {{OM_OS_OK, 0, 0}, {OM_OS_OK, 0, ENT_SIP}},
      {{}, {OM_OS_OK, 0, ENT_SIP}},                  // no data: a body is made
      {{OM_OS_NOK, 7, 0x55}, {OM_OS_NOK, 7, 0x55}},  // an answering byte already set stays
      {{OM_OS_NOK, 7}, {OM_OS_NOK, 7, ENT_SIP}},     // a short body is extended
  };
  for (const auto& c : cases) {
    rec().clear();
    sip_answer = c.answer;
    request(ENT_FOIP, SM_CONFIG_RQ, ENT_SIP, 0xFFFF, body);
    pump();
    auto at_sip = to(ENT_SIP);
    ASSERT_EQ(at_sip.size(), 1u);
    EXPECT_EQ(at_sip[0].from, ENT_SM);
    EXPECT_EQ(at_sip[0].code, SM_CONFIG_RQ);
    EXPECT_EQ(at_sip[0].data, body);
    auto at_foip = to(ENT_FOIP);
    ASSERT_EQ(at_foip.size(), 1u);
    EXPECT_EQ(at_foip[0].from, ENT_SM);
    EXPECT_EQ(at_foip[0].code, SM_CONFIG_CO);
    EXPECT_EQ(at_foip[0].data, c.expect);
  }
  // A failed confirm that nobody asked for is dropped with trap 82.
  rec().clear();
  Send_msg(make_msg(ENT_SIP, ENT_SM, SM_CONFIG_CO, {OM_OS_NOK, 1, 0}));
  pump();
  EXPECT_TRUE(to(ENT_FOIP).empty());
  EXPECT_EQ(rec().traps(), std::vector<u16>{SM_TRAP_CONFIRM_FAILED});
}

TEST_F(Sm, ConfirmsFindTheirRequesterByNai) {
  start_plain();
  // ENT_IP only records: the test answers for it, in a chosen order.
  auto rq = [](ent_id_t from, nai_t nai) {
    msg_t* m = make_msg(from, ENT_SM, SM_INIT_RQ, {}, nai);
    Sm_set_target(m, ENT_IP);
    Send_msg(m);
  };
  rq(ENT_FOIP, 5);
  rq(ENT_APP_FOIP, 6);
  rq(ENT_T38, 0xFFFF);
  pump();
  ASSERT_EQ(to(ENT_IP).size(), 3u);
  rec().clear();
  Send_msg(make_msg(ENT_IP, ENT_SM, SM_INIT_CO, {}, 6));
  Send_msg(make_msg(ENT_IP, ENT_SM, SM_INIT_CO, {}, 5));
  Send_msg(make_msg(ENT_IP, ENT_SM, SM_INIT_CO, {}, 1234));  // any nai: the 0xFFFF request
  Send_msg(make_msg(ENT_IP, ENT_SM, SM_INIT_CO, {}, 5));     // no request left: dropped
  pump();
  auto a = to(ENT_APP_FOIP), f = to(ENT_FOIP), t = to(ENT_T38);
  ASSERT_EQ(a.size(), 1u);
  ASSERT_EQ(f.size(), 1u);
  ASSERT_EQ(t.size(), 1u);
  EXPECT_EQ(a[0].nai, 6);
  EXPECT_EQ(f[0].nai, 5);
  EXPECT_EQ(t[0].nai, 1234);
  EXPECT_EQ(a[0].data, (std::vector<u8>{OM_OS_OK, 0, ENT_IP}));
  EXPECT_TRUE(rec().traps().empty());
}

TEST_F(Sm, RequestsForUnregisteredEntitiesAreAnsweredWithAFailure) {
  start_plain();
  struct tc {
    code_t rq, co;
    ent_id_t target;
  } cases[] = {
      {SM_CONFIG_RQ, SM_CONFIG_CO, 0x90},   {SM_RST_CFG_RQ, SM_RST_CFG_CO, 0x90},
      {SM_STOP_RQ, SM_STOP_CO, 0x90},       {SM_SPARE2_RQ, SM_SPARE2_CO, 0x90},
      {SM_INFO_RQ, SM_INFO_CO, 0x91},       {SM_CHN_MAINT_RQ, SM_CHN_MAINT_CO, 'M'},
      {SM_CONFIG_RQ, SM_CONFIG_CO, ENT_SM},  // ENT_SM itself: no loop back into ENT_SM
  };
  for (const auto& c : cases) {
    rec().clear();
    if (c.rq == SM_INFO_RQ) Send_msg(make_msg(ENT_FOIP, ENT_SM, c.rq, {c.target}, 3));
    else request(ENT_FOIP, c.rq, c.target, 3, {1, 2, 3, 4});
    pump();
    auto f = to(ENT_FOIP);
    ASSERT_EQ(f.size(), 1u) << c.rq;
    EXPECT_EQ(f[0].code, c.co);
    EXPECT_EQ(f[0].from, ENT_SM);
    EXPECT_EQ(f[0].nai, 3);
    EXPECT_EQ(f[0].data, (std::vector<u8>{OM_OS_NOK, SM_CAUSE_UNKNOWN_ENTITY, c.target}));
  }
}

TEST_F(Sm, StopAndInfoConfirmsCarryTheAnsweringEntity) {
  start_plain();
  request(ENT_FOIP, SM_STOP_RQ, ENT_IP, 0xFFFF, {});
  Send_msg(make_msg(ENT_APP_FOIP, ENT_SM, SM_INFO_RQ, {ENT_IP, 0}));
  pump();
  ASSERT_EQ(to(ENT_IP).size(), 2u);
  rec().clear();
  Send_msg(make_msg(ENT_IP, ENT_SM, SM_STOP_CO, {OM_OS_OK, 4, 5}));
  Send_msg(make_msg(ENT_IP, ENT_SM, SM_INFO_CO, {0, 8, 9}));
  pump();
  auto f = to(ENT_FOIP), a = to(ENT_APP_FOIP);
  ASSERT_EQ(f.size(), 1u);
  ASSERT_EQ(a.size(), 1u);
  EXPECT_TRUE(f[0].chained);  // moved into a buffer
  EXPECT_EQ(f[0].data, (std::vector<u8>{OM_OS_OK, 4, 5}));
  EXPECT_EQ(a[0].data, (std::vector<u8>{ENT_IP, 8, 9}));
}

TEST_F(Sm, CongestionNoticesBecomeBroadcastsToTheEntitiesThatAsked) {
  start_plain();
  Send_msg(make_msg(ENT_NIL, ENT_SM, SM_BUSY_IN));
  Send_msg(make_msg(ENT_PH_IT, ENT_SM, SM_CLR_BUSY_IN));
  pump();
  auto all = rec().messages();
  ASSERT_EQ(all.size(), 2u);
  EXPECT_EQ(all[0].to, ENT_T38);
  EXPECT_EQ(all[0].code, SM_BUSY_RQ);
  EXPECT_EQ(all[0].from, ENT_SM);
  EXPECT_EQ(all[0].nai, 0xFFFF);
  EXPECT_EQ(all[1].to, ENT_T38);
  EXPECT_EQ(all[1].code, SM_CLR_BUSY_RQ);
}

TEST_F(Sm, TriggersCopyMatchingMessages) {
  start_plain();
  auto set_trigger = [](code_t which, u8 op, code_t code, ent_id_t source, u8 kind) {
    sm_trigger_body t{op, ENT_FOIP, code, source, 0xFFFF, 0xFF, 0xFFFF, kind};
    u8 body[SM_TRIGGER_BODY_SIZE];
    sm_trigger_body_pack(t, body);
    Send_msg(make_msg(ENT_FOIP, ENT_SM, which, std::vector<u8>(body, body + sizeof body)));
  };
  set_trigger(SM_SET_RPORT_IN, 1, 'e', ENT_SIP, 0);  // reports of kind 'e' from SIP
  set_trigger(SM_SET_RPORT_IN, 1, 'e', ENT_SIP, 0);  // twice: one trigger
  set_trigger(SM_SET_TRIG_IN, 1, SM_CONFIG_RQ, 0, 0);
  pump();
  rec().clear();
  Send_msg(make_msg(ENT_SIP, ENT_SM, SM_REPORT_IN, {ENT_SIP, 'e', 1}));
  Send_msg(make_msg(ENT_SIP, ENT_SM, SM_REPORT_IN, {ENT_SIP, 'r', 2}));
  Send_msg(make_msg(ENT_SSC, ENT_SM, SM_REPORT_IN, {ENT_SSC, 'e', 3}));
  request(ENT_APP_FOIP, SM_CONFIG_RQ, ENT_SIP, 0xFFFF, {1});  // relayed: no copy
  pump();
  auto f = to(ENT_FOIP);
  ASSERT_EQ(f.size(), 1u);
  EXPECT_EQ(f[0].code, SM_REPORT_IN);
  EXPECT_EQ(f[0].from, ENT_SM);
  EXPECT_EQ(f[0].data, (std::vector<u8>{ENT_SIP, 'e', 1}));
  // Removed: no more copies.
  set_trigger(SM_SET_RPORT_IN, 0, 'e', ENT_SIP, 0);
  pump();
  rec().clear();
  Send_msg(make_msg(ENT_SIP, ENT_SM, SM_REPORT_IN, {ENT_SIP, 'e', 1}));
  pump();
  EXPECT_TRUE(to(ENT_FOIP).empty());
  // A short trigger body is ignored.
  Send_msg(make_msg(ENT_FOIP, ENT_SM, SM_SET_TRIG_IN, {1, ENT_FOIP}));
  pump();
  EXPECT_TRUE(rec().traps().empty());
  // ENT_SM cannot subscribe itself: its copies would come back for ever.
  sm_trigger_body self{1, ENT_SM, 0, 0, 0xFFFF, 0xFF, 0xFFFF, 0};
  u8 b[SM_TRIGGER_BODY_SIZE];
  sm_trigger_body_pack(self, b);
  Send_msg(make_msg(ENT_FOIP, ENT_SM, SM_SET_TRIG_IN, std::vector<u8>(b, b + sizeof b)));
  Send_msg(make_msg(ENT_SIP, ENT_SM, SM_REPORT_IN, {ENT_SIP, 'e', 1}));
  EXPECT_EQ(pump(), 2u);
}

TEST_F(Sm, NoTriggerCopiesWhileCongested) {
  om_os_config cfg = om_os_default_config;
  cfg.msg_limit = 120;
  cfg.msg_cache_limit = 120;
  use_config(cfg);
  start_plain();
  sm_trigger_body t{1, ENT_FOIP, SM_REPORT_IN, 0, 0xFFFF, 0xFF, 0xFFFF, 0};
  u8 body[SM_TRIGGER_BODY_SIZE];
  sm_trigger_body_pack(t, body);
  Send_msg(make_msg(ENT_FOIP, ENT_SM, SM_SET_TRIG_IN, std::vector<u8>(body, body + sizeof body)));
  pump();
  std::vector<msg_t*> held;
  while (!om_os_get_congestion()) held.push_back(Alloc_msg());
  pump();
  rec().clear();
  Send_msg(make_msg(ENT_SIP, ENT_SM, SM_REPORT_IN, {ENT_SIP, 'e'}));
  pump();
  EXPECT_TRUE(to(ENT_FOIP).empty());
  for (msg_t* m : held) Free_msg(m);
  pump();
  rec().clear();
  Send_msg(make_msg(ENT_SIP, ENT_SM, SM_REPORT_IN, {ENT_SIP, 'e'}));
  pump();
  EXPECT_EQ(to(ENT_FOIP).size(), 1u);
}

TEST_F(Sm, InformationAndUpdateRequestsAreAnswered) {
  const sm_startup_row_t list[] = {{ENT_APP_FOIP, app_record.data(), 3000, 0, 0}};
  sm_set_startup_list(list, 1);
  start_manual(TABLE);
  pump();
  rec().clear();
  Send_msg(make_msg(ENT_FOIP, ENT_SM, SM_INFO_IN, {ENT_APP_FOIP, 0}));
  Send_msg(make_msg(ENT_FOIP, ENT_SM, SM_INFO_IN, {}));
  Send_msg(make_msg(ENT_FOIP, ENT_SM, SM_FLUSH_UPD_IN, {7, 7}));
  Send_msg(make_msg(ENT_FOIP, ENT_SM, SM_PUT_UPDAT_IN, {}));
  Send_msg(make_msg(ENT_FOIP, ENT_SM, SM_GET_UPDAT_IN, {0, 1}));
  pump();
  auto f = to(ENT_FOIP);
  ASSERT_EQ(f.size(), 5u);
  EXPECT_EQ(f[0].code, SM_INFO_RS);
  EXPECT_EQ(f[0].data, app_record);
  EXPECT_EQ(f[1].code, SM_INFO_RS);
  ASSERT_EQ(f[1].data.size(), OM_OS_CONFIG_RECORD_SIZE + 20);
  EXPECT_EQ(f[1].data[8], 100);  // message size
  EXPECT_EQ(f[1].data[OM_OS_CONFIG_RECORD_SIZE], 0x04);
  EXPECT_EQ(f[2].code, SM_FLUSH_UPD_RS);
  EXPECT_EQ(f[2].data, (std::vector<u8>{7, 7}));
  EXPECT_EQ(f[3].code, SM_PUT_UPDAT_RS);
  EXPECT_EQ(f[3].data, (std::vector<u8>{OM_OS_NOK}));
  EXPECT_EQ(f[4].code, SM_GET_UPDAT_RS);
  EXPECT_EQ(f[4].data, (std::vector<u8>{OM_OS_NOK, 1}));
}

}  // namespace
