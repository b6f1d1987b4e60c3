// The application entity against a fake ENT_FOIP, on the virtual clock, with
// the test server area of 19 sessions: configuration, start, stop and exit of
// every session, the delayed start, batches, counting, refusals, bad
// primitives, and the main thread's direct calls.
#include "session/app/app_foip.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/program_log.h"
#include "common/server_settings.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "runtime/support/rt_harness.h"
#include "session/app/app_foip_dsp.h"
#include "session/config/support/cfg_test_support.h"

namespace {

namespace fs = std::filesystem;
using namespace rt_test;

const std::string kFixtures = std::string(KV_SOURCE_DIR) + "/tests/session/fixtures/";

// ---------------------------------------------------------------------------
// The fake FOIP entity: records what it receives (with the virtual time) and
// answers like ENT_FOIP would, as its switches say.

struct fake_msg {
  seen_msg m;
  u32 at;
};

struct fake_foip_t {
  bool refuse_config = false;      // FOIP__SET_CONFIG_CO with return code 3
  bool answer_start = true;        // FOIP__START_CO ok
  bool answer_stop = true;         // FOIP__STOP_CO ok
  u8 unregister_rc = FOIP__RC_OK;  // return code of FOIP__SIP_UNREGISTER_CO
  bool configured = false;
  std::vector<fake_msg> got;

  std::vector<fake_msg> of(code_t code) const {
    std::vector<fake_msg> out;
    for (const auto& f : got)
      if (f.m.code == code) out.push_back(f);
    return out;
  }
} fake;

template <class T>
void answer(code_t code, nai_t nai, const T& rec, u16 conn_id = FOIP__CONN_NONE) {
  foip_api__addr a;
  a.from = ENT_FOIP;
  a.to = ENT_APP_FOIP;
  a.nai = nai;
  a.conn_id = conn_id;
  ASSERT_EQ(foip_api__send_record(a, code, rec), FOIP_API__OK);
}

void confirm_ok(code_t code, nai_t nai) {
  switch (code) {
    case FOIP__START_CO: {
      auto r = std::make_unique<foip__start>();
      r->confirm.return_code = FOIP__RC_OK;
      answer(code, nai, *r);
      return;
    }
    case FOIP__STOP_CO:
    case FOIP__STOP_IN: {
      auto r = std::make_unique<foip__stop>();
      r->confirm.return_code = FOIP__RC_OK;
      answer(code, nai, *r);
      return;
    }
    default: return;
  }
}

void fake_foip_handler(msg_t* m) {
  fake.got.push_back({describe(m), virtual_now()});
  const nai_t nai = m->nai;
  switch (m->code) {
    case FOIP__SET_CONFIG_RQ: {
      auto r = std::make_unique<foip__set_config>();
      r->confirm.return_code = fake.refuse_config ? 3 : FOIP__RC_OK;
      fake.configured = !fake.refuse_config;
      answer(FOIP__SET_CONFIG_CO, FOIP__NAI_GLOBAL, *r);
      break;
    }
    case FOIP__T38_CAPABILITIES_RQ: {
      foip__t38_capabilities r{};
      r.confirm.return_code = FOIP__RC_OK;
      r.cap.udptl_param.t38_version = 1;
      answer(FOIP__T38_CAPABILITIES_CO, 0, r);
      break;
    }
    case FOIP__START_RQ:
      if (fake.answer_start) confirm_ok(FOIP__START_CO, nai);
      break;
    case FOIP__STOP_RQ:
      if (fake.answer_stop) confirm_ok(FOIP__STOP_CO, nai);
      break;
    case FOIP__SIP_UNREGISTER_RQ: {
      foip__sip_unregister r{};
      r.confirm.return_code = fake.unregister_rc;
      fake.unregister_rc = FOIP__RC_OK;  // the next one succeeds
      answer(FOIP__SIP_UNREGISTER_CO, nai, r, m->conn_id);
      break;
    }
    case FOIP__RESET_CONFIG_RQ:
      // Like ENT_FOIP: an unconfigured entity drops it.
      if (fake.configured) answer(FOIP__RESET_CONFIG_CO, FOIP__NAI_GLOBAL, foip__reset_config{});
      break;
    default: break;
  }
  Free_msg(m);
}

const entity_table_row_t TABLE[] = {
    SM_ENTITY_ROW,
    APP_FOIP_ENTITY_ROW,
    {ENT_FOIP, fake_foip_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

// Display lines of the application, and traps.
std::vector<std::string> g_lines;
void capture(nai_t, u16, const char* text) { g_lines.emplace_back(text); }

int held_msgs() { return int(om_os_msg_pool_stats().in_use) - int(om_os_it_msg_pool_stats().count); }
int held_buffers() { return int(om_os_buffer_pool_stats().in_use) - int(om_os_it_buffer_pool_stats().count); }

class AppEntity : public ::testing::Test {
 protected:
  void SetUp() override {
    area_ = std::make_unique<cfg_test::temp_dir>();
    fs::copy(kFixtures + "default_area", area_->path(), fs::copy_options::recursive);
    old_cwd_ = fs::current_path();
    fs::current_path(area_->path());
    SystemParams& p = SystemParameters();
    p = SystemParams{};
    std::snprintf(p.ServerArea, sizeof p.ServerArea, "%s/", area_->path().c_str());
    InitialiseLog(1);
    app_foip_cnf__set_hooks({[](const char*) {}, nullptr, nullptr});
    app_foip_dsp__set_output(capture);
    g_lines.clear();
    fake = fake_foip_t{};
    app_foip_cnf__options o;
    o.computer_name = "TESTHOST";
    app_foip__set_cnf_options(o);

    app_foip_cnf__startup_record record;
    std::snprintf(record.glb_cfg_path, sizeof record.glb_cfg_path, ".\\Tessaly\\glb.cfg");
    record.sip_nai = 100;
    for (std::size_t i = 0; i < FOIP__MAX_MEDIA_NA; ++i) record.session_nai[i] = static_cast<nai_t>(i + 1);
    app_foip_cnf__pack_startup_record(record, startup_);
    row_ = {ENT_APP_FOIP, startup_, APP_FOIP_CNF__STARTUP_RECORD_SIZE, 1, 0};
  }

  // Starts the runtime: ENT_SM hands the application its configuration.
  void boot() {
    use_virtual_clock(1000);
    sm_set_startup_list(&row_, 1);
    start_manual(TABLE);
    pump();
    msgs_ = held_msgs();
    buffers_ = held_buffers();
  }

  void TearDown() override {
    stop();
    app_foip_dsp__set_output(nullptr);
    app_foip__set_link_hooks({});
    app_foip_cnf__set_hooks({});
    fs::current_path(old_cwd_);
    SystemParameters() = SystemParams{};
    LogInit(nullptr, nullptr, 3, "TEST");
  }

  // Lets `ms` of virtual time pass, 1 ms at a time, running what arrives.
  void run_for(u32 ms) {
    for (u32 i = 0; i < ms; ++i) {
      advance_clock(1);
      om_os_timer_poll();
      pump();
    }
  }

  // "SIP incoming call mode" 1: a start of all sessions takes both
  // directions (the default, 2, takes the outgoing ones only).
  void every_direction() {
    const std::string path = "Tessaly/glb.cfg";
    std::string text = cfg_test::read_file(area_->path() + "/" + path);
    const std::size_t at = text.find("[SIP]\n");
    ASSERT_NE(at, std::string::npos);
    text.insert(at + 6, "SIP incoming call mode = Register all sessions\n");
    std::ofstream(path, std::ios::binary) << text;
  }

  app_foip__glb_ctx& g() { return app_foip__ctx(); }
  app_foip__session_ctx* session(nai_t nai) { return app_foip__get_session_ctx(nai); }
  std::size_t lines_with(const std::string& text) {
    return std::count_if(g_lines.begin(), g_lines.end(),
                         [&](const std::string& l) { return l.find(text) != std::string::npos; });
  }
  void send_from_foip(code_t code, nai_t nai, u32 length) {
    std::vector<u8> bytes(length, 0);
    foip_api__addr a;
    a.from = ENT_FOIP;
    a.to = ENT_APP_FOIP;
    a.nai = nai;
    ASSERT_EQ(foip_api__send(a, code, bytes.data(), length), FOIP_API__OK);
  }

  std::unique_ptr<cfg_test::temp_dir> area_;
  fs::path old_cwd_;
  u8 startup_[APP_FOIP_CNF__STARTUP_RECORD_SIZE];
  sm_startup_row_t row_{};
  int msgs_ = 0, buffers_ = 0;
};

TEST_F(AppEntity, StartUpConfiguresEntFoipAndAsksItsCapabilities) {
  boot();
  EXPECT_EQ(sm_startup_result(), OM_OS_OK);
  EXPECT_EQ(g().cnf.magic, APP_FOIP_CNF__MAGIC_CONFIGURED);
  EXPECT_EQ(g().cnf.foip_ready, 1);
  ASSERT_EQ(g().sessions.size(), 19u);
  ASSERT_GE(fake.got.size(), 2u);
  EXPECT_EQ(fake.got[0].m.code, FOIP__SET_CONFIG_RQ);
  EXPECT_EQ(fake.got[0].m.nai, FOIP__NAI_GLOBAL);
  EXPECT_EQ(fake.got[0].m.data.size(), sizeof(foip__set_config));
  EXPECT_EQ(fake.got[1].m.code, FOIP__T38_CAPABILITIES_RQ);
  EXPECT_EQ(fake.got[1].m.sapi, FOIP__SAPI_T38_CAPABILITIES);
  EXPECT_EQ(lines_with("[UDP] T38FaxVersion         = 1"), 1u);
  EXPECT_EQ(lines_with("T.38 over TCP is not supported"), 1u);
  for (nai_t n = 1; n <= 19; ++n) EXPECT_NE(session(n), nullptr) << n;
  EXPECT_EQ(session(20), nullptr);
  EXPECT_EQ(session(2)->direction, FOIP__DIR_OUT);
  EXPECT_EQ(session(1)->direction, FOIP__DIR_IN);
}

// The scripted run of the issue: every session started, stopped, then exit;
// the counters end at zero, no record is left in the pools.
TEST_F(AppEntity, StartStopExitOfEverySessionEndsAtZero) {
  every_direction();
  boot();
  ASSERT_EQ(g().batch_direction, 1);
  const char* text = nullptr;
  ASSERT_EQ(__app_foip__start_checked(APP_FOIP__ALL, &text), OM_OS_OK);
  EXPECT_STREQ(text, "OK");
  run_for(100);  // the poll takes the marks
  EXPECT_EQ(g().session_cnt, 19);
  EXPECT_EQ(g().batch_count, 1);
  run_for(40);  // first delayed start: 25 ms
  ASSERT_EQ(fake.of(FOIP__START_RQ).size(), 19u);
  for (const auto& f : fake.of(FOIP__START_RQ)) {
    EXPECT_TRUE(f.m.chained);
    EXPECT_EQ(f.m.data.size(), sizeof(foip__start));
  }
  for (nai_t n = 1; n <= 19; ++n) EXPECT_EQ(session(n)->state, APP_FOIP__ST_START_SENT);

  ASSERT_EQ(__app_foip__stop(APP_FOIP__ALL, &text), OM_OS_OK);
  EXPECT_STREQ(text, "OK");
  run_for(100);
  EXPECT_EQ(fake.of(FOIP__STOP_RQ).size(), 19u);
  EXPECT_EQ(g().session_cnt, 0);
  for (nai_t n = 1; n <= 19; ++n) EXPECT_EQ(session(n)->state, APP_FOIP__ST_IDLE);

  ASSERT_EQ(__app_foip__exit(&text), OM_OS_OK);
  EXPECT_STREQ(text, "");
  EXPECT_FALSE(app_foip__application_ended());
  run_for(100);
  EXPECT_EQ(fake.of(FOIP__RESET_CONFIG_RQ).size(), 1u);
  EXPECT_TRUE(app_foip__application_ended());
  EXPECT_EQ(g().closed, 1);
  EXPECT_TRUE(g().sessions.empty());
  // Closed: nothing runs any more, nothing is kept.
  const std::size_t seen = fake.got.size();
  run_for(500);
  EXPECT_EQ(fake.got.size(), seen);
  EXPECT_EQ(held_msgs(), msgs_);
  EXPECT_EQ(held_buffers(), buffers_);

  EXPECT_EQ(lines_with("========== Start new batch process =========="), 1u);
  EXPECT_EQ(lines_with("========== End of batch process ========== "), 1u);
  EXPECT_EQ(lines_with("Start session"), 19u);
  EXPECT_EQ(lines_with("Stop session"), 19u);
  EXPECT_EQ(lines_with("Session idle"), 19u);
  EXPECT_EQ(lines_with("(nai   2) (session cnt   19) (batch cnt    1) Start session\n"), 1u);
  EXPECT_EQ(g().session_cnt, 0);
}

TEST_F(AppEntity, DelayedStartIs25MsFirstThenTheSessionDelay) {
  boot();
  ASSERT_EQ(__app_foip__start(2, nullptr), OM_OS_OK);
  run_for(100);
  ASSERT_EQ(session(2)->state, APP_FOIP__ST_DELAYED_START);
  const u32 armed = virtual_now();  // the poll has run by now at the latest
  run_for(60);
  ASSERT_EQ(fake.of(FOIP__START_RQ).size(), 1u);
  const u32 first = fake.of(FOIP__START_RQ)[0].at;
  EXPECT_GE(first + 100, armed + 25);  // taken by a poll within the last 100 ms
  EXPECT_LE(first, armed + 25 + 20);

  // The session ends, then starts again: the session delay (3 s).
  confirm_ok(FOIP__STOP_IN, 2);
  pump();
  ASSERT_EQ(session(2)->state, APP_FOIP__ST_IDLE);
  ASSERT_EQ(__app_foip__start(2, nullptr), OM_OS_OK);
  run_for(100);
  ASSERT_EQ(session(2)->state, APP_FOIP__ST_DELAYED_START);
  const u32 marked = virtual_now();
  run_for(2800);
  EXPECT_EQ(fake.of(FOIP__START_RQ).size(), 1u);
  run_for(400);
  ASSERT_EQ(fake.of(FOIP__START_RQ).size(), 2u);
  EXPECT_GE(fake.of(FOIP__START_RQ)[1].at, marked + 3000 - 100);
  EXPECT_LE(fake.of(FOIP__START_RQ)[1].at, marked + 3000 + 20);
}

TEST_F(AppEntity, AnExpiryOfAnOlderStartIsIgnored) {
  boot();
  app_foip__session_ctx* s = session(3);
  ASSERT_EQ(app_foip_mngt__process_event(APP_FOIP__EVT_START, s), OM_OS_OK);
  ASSERT_EQ(s->state, APP_FOIP__ST_DELAYED_START);
  const u16 old_id = static_cast<u16>(s->timer_seq - 1);
  msg_t* m = make_msg(ENT_TI, ENT_APP_FOIP, APP_FOIP__TI_DELAYED_START,
                      {u8(old_id), u8(old_id >> 8), 0, 0, 0, 0, 0, 0, 0, 0}, 3);
  Send_msg(m);
  pump();
  EXPECT_EQ(s->state, APP_FOIP__ST_DELAYED_START);
  EXPECT_TRUE(fake.of(FOIP__START_RQ).empty());
  // A stop while armed goes back to idle without any primitive.
  ASSERT_EQ(app_foip_mngt__process_event(APP_FOIP__EVT_STOP, s), OM_OS_OK);
  EXPECT_EQ(s->state, APP_FOIP__ST_IDLE);
  EXPECT_EQ(g().session_cnt, 0);
  run_for(100);
  EXPECT_TRUE(fake.of(FOIP__START_RQ).empty());
  EXPECT_TRUE(fake.of(FOIP__STOP_RQ).empty());
}

// Each session counts once while it is not idle, whatever path it takes.
TEST_F(AppEntity, TheActiveSessionCountNeverDrifts) {
  boot();
  app_foip__session_ctx* a = session(4);
  app_foip__session_ctx* b = session(5);
  fake.answer_stop = false;
  ASSERT_EQ(app_foip_mngt__process_event(APP_FOIP__EVT_START, a), OM_OS_OK);
  ASSERT_EQ(app_foip_mngt__process_event(APP_FOIP__EVT_START, b), OM_OS_OK);
  EXPECT_EQ(g().session_cnt, 2);
  // A start or an incoming call that the automaton ignores is not counted.
  for (u8 e : {APP_FOIP__EVT_START, APP_FOIP__EVT_INCOMING_CALL}) {
    ASSERT_EQ(app_foip_mngt__process_event(e, a), OM_OS_OK);
    EXPECT_EQ(g().session_cnt, 2);
  }
  run_for(40);
  ASSERT_EQ(a->state, APP_FOIP__ST_START_SENT);
  for (u8 e : {APP_FOIP__EVT_START, APP_FOIP__EVT_INCOMING_CALL, APP_FOIP__EVT_TIMER}) {
    ASSERT_EQ(app_foip_mngt__process_event(e, a), OM_OS_OK);
    EXPECT_EQ(a->state, APP_FOIP__ST_START_SENT);
  }
  EXPECT_EQ(g().session_cnt, 2);
  // The session ends on its own, and then a late stop confirm arrives: one
  // count down only.
  ASSERT_EQ(app_foip_mngt__process_event(APP_FOIP__EVT_STOP, a), OM_OS_OK);
  EXPECT_EQ(a->state, APP_FOIP__ST_STOP_SENT);
  confirm_ok(FOIP__STOP_IN, 4);
  confirm_ok(FOIP__STOP_CO, 4);
  pump();
  EXPECT_EQ(a->state, APP_FOIP__ST_IDLE);
  EXPECT_EQ(g().session_cnt, 1);
  EXPECT_EQ(lines_with("========== End of batch process"), 0u);
  // A stop confirm that succeeded brings the session back and counts down.
  ASSERT_EQ(app_foip_mngt__process_event(APP_FOIP__EVT_STOP, b), OM_OS_OK);
  confirm_ok(FOIP__STOP_CO, 5);
  pump();
  EXPECT_EQ(b->state, APP_FOIP__ST_IDLE);
  EXPECT_EQ(g().session_cnt, 0);
  EXPECT_EQ(lines_with("========== End of batch process"), 1u);
  // An incoming call on an idle session counts once.
  ASSERT_EQ(app_foip_mngt__process_event(APP_FOIP__EVT_INCOMING_CALL, a), OM_OS_OK);
  EXPECT_EQ(a->state, APP_FOIP__ST_RUNNING);
  EXPECT_EQ(g().session_cnt, 1);
  confirm_ok(FOIP__STOP_IN, 4);
  pump();
  EXPECT_EQ(g().session_cnt, 0);
}

TEST_F(AppEntity, BatchesCountAcrossNineteenSessions) {
  every_direction();
  boot();
  {
    std::lock_guard<std::recursive_mutex> hold(app_foip__lock());
    g().batch_mode = 1;
    g().batch_limit = 2;
  }
  const char* text = nullptr;
  // Batch mode refuses the link's starts until the batches are done; the
  // application starts them itself (as after the capabilities confirm).
  EXPECT_EQ(__app_foip__start_checked(APP_FOIP__ALL, &text), OM_OS_NOK);
  EXPECT_STREQ(text, "Batch process is running");
  EXPECT_EQ(__app_foip__start(APP_FOIP__ALL, &text), OM_OS_OK);
  run_for(140);
  EXPECT_EQ(g().batch_count, 1);
  EXPECT_EQ(g().session_cnt, 19);
  EXPECT_EQ(__app_foip__start_checked(APP_FOIP__ALL, &text), OM_OS_NOK);
  EXPECT_STREQ(text, "Batch process is running");
  // Every session ends: the last one ends the batch, which starts the next.
  for (nai_t n = 1; n <= 19; ++n) {
    EXPECT_EQ(lines_with("========== End of batch process"), 0u) << n;
    confirm_ok(FOIP__STOP_IN, n);
    pump();
  }
  EXPECT_EQ(g().session_cnt, 0);
  EXPECT_EQ(lines_with("========== End of batch process"), 1u);
  run_for(100);
  EXPECT_EQ(g().batch_count, 2);
  EXPECT_EQ(g().session_cnt, 19);
  for (nai_t n = 1; n <= 19; ++n) {
    confirm_ok(FOIP__STOP_IN, n);
    pump();
  }
  run_for(3500);  // no third batch
  EXPECT_EQ(g().batch_count, 2);
  EXPECT_EQ(g().session_cnt, 0);
  EXPECT_EQ(lines_with("===== Start new batch process (1/2) ======"), 1u);
  EXPECT_EQ(lines_with("===== Start new batch process (2/2) ======"), 1u);
  EXPECT_EQ(lines_with("========== End of batch process"), 2u);
  // The batch is over: a start is taken again.
  EXPECT_EQ(__app_foip__start_checked(2, &text), OM_OS_OK);
}

TEST_F(AppEntity, RefusalTextsOfStartAndStop) {
  // Before the configuration.
  app_foip_entity_init();
  const char* text = nullptr;
  EXPECT_EQ(__app_foip__start_checked(APP_FOIP__ALL, &text), OM_OS_NOK);
  EXPECT_STREQ(text, "Global Context not yet intialized");
  EXPECT_EQ(__app_foip__stop(APP_FOIP__ALL, &text), OM_OS_NOK);
  EXPECT_STREQ(text, "Global Context not yet intialized");
  EXPECT_EQ(__app_foip__start_checked(APP_FOIP__ALL, nullptr), OM_OS_NOK);  // no text wanted
  boot();
  EXPECT_EQ(__app_foip__start(99, &text), OM_OS_NOK);
  EXPECT_STREQ(text, "Session not found");
  const std::string log = cfg_test::read_file(area_->path() + "/K-DB/TESSALY.log");
  EXPECT_NE(log.find("app_foip - __app_foip__start: launching session 99"), std::string::npos);
  EXPECT_NE(log.find("app_foip - __app_foip__start: session not found 99"), std::string::npos);
  EXPECT_EQ(__app_foip__start_checked(99, &text), OM_OS_NOK);
  EXPECT_STREQ(text, "Session not found");
  EXPECT_EQ(__app_foip__stop(99, &text), OM_OS_OK);  // an unknown nai is ignored
  EXPECT_STREQ(text, "OK");
  // "Wait FOIP__ALERT_IN": all sessions means the outgoing ones.
  ASSERT_EQ(g().batch_direction, 2);
  EXPECT_EQ(__app_foip__start(APP_FOIP__ALL, &text), OM_OS_OK);
  for (nai_t n = 1; n <= 19; ++n) EXPECT_EQ(session(n)->usr_evt, n == 2 ? APP_FOIP__USR_EVT_START : 0) << n;
  session(2)->usr_evt = APP_FOIP__NO_USR_EVT;
  // Selectors: a start marks idle sessions of the direction, a stop every
  // session of it, busy or not.
  ASSERT_EQ(app_foip_mngt__process_event(APP_FOIP__EVT_START, session(1)), OM_OS_OK);
  EXPECT_EQ(__app_foip__start(APP_FOIP__ALL_IN, &text), OM_OS_OK);
  EXPECT_EQ(session(1)->usr_evt, APP_FOIP__NO_USR_EVT);  // busy
  EXPECT_EQ(session(3)->usr_evt, APP_FOIP__USR_EVT_START);
  EXPECT_EQ(session(2)->usr_evt, APP_FOIP__NO_USR_EVT);  // outgoing
  EXPECT_EQ(__app_foip__stop(APP_FOIP__ALL_OUT, &text), OM_OS_OK);
  EXPECT_EQ(session(2)->usr_evt, APP_FOIP__USR_EVT_STOP);  // idle, marked all the same
  EXPECT_EQ(session(3)->usr_evt, APP_FOIP__USR_EVT_START);
}

TEST_F(AppEntity, ExitCompletesWhenTheConfigurationFails) {
  fs::remove("K-DB/SETUP.INI");
  boot();
  EXPECT_NE(g().cnf.magic, APP_FOIP_CNF__MAGIC_CONFIGURED);
  EXPECT_TRUE(fake.got.empty());
  const char* text = nullptr;
  EXPECT_EQ(__app_foip__start_checked(APP_FOIP__ALL, &text), OM_OS_NOK);
  EXPECT_STREQ(text, "Global Context not yet intialized");
  ASSERT_EQ(__app_foip__exit(&text), OM_OS_OK);
  run_for(100);
  EXPECT_TRUE(app_foip__application_ended());
  EXPECT_TRUE(fake.of(FOIP__RESET_CONFIG_RQ).empty());
  EXPECT_EQ(held_msgs(), msgs_);
}

TEST_F(AppEntity, ExitCompletesWhenEntFoipRefusesItsConfiguration) {
  fake.refuse_config = true;
  boot();
  const std::vector<u16> traps = rec().traps();
  EXPECT_NE(std::find(traps.begin(), traps.end(), APP_FOIP__TRAP_FOIP_CONFIG), traps.end());
  EXPECT_EQ(g().foip_configured, 0);
  ASSERT_EQ(__app_foip__exit(nullptr), OM_OS_OK);
  run_for(100);
  EXPECT_TRUE(app_foip__application_ended());
  EXPECT_EQ(held_msgs(), msgs_);
}

TEST_F(AppEntity, BadPrimitivesAreRefusedWithATrapAndFreed) {
  boot();
  rec().clear();
  app_foip__session_ctx* s = session(6);
  ASSERT_EQ(app_foip_mngt__process_event(APP_FOIP__EVT_STOP, s), OM_OS_OK);
  struct row {
    const char* what;
    code_t code;
    u32 length;
  };
  const row rows[] = {
      {"stop confirm, short body", FOIP__STOP_CO, 100},
      {"stop confirm, one byte long", FOIP__STOP_CO, sizeof(foip__stop) + 1},
      {"start confirm, chain too short", FOIP__START_CO, sizeof(foip__start) - 8},
      {"alert, short", FOIP__ALERT_IN, 500},
      {"report, neither form", FOIP__REPORT_IN, FOIP__REPORT_SHORT_SIZE + 1},
      {"unknown code", 'Z', 20},
      {"a request code", FOIP__START_RQ, sizeof(foip__start)},
  };
  for (const row& r : rows) {
    SCOPED_TRACE(r.what);
    rec().clear();
    send_from_foip(r.code, 6, r.length);
    pump();
    EXPECT_EQ(rec().traps(), std::vector<u16>{APP_FOIP__TRAP_API});
    EXPECT_EQ(held_msgs(), msgs_);
    EXPECT_EQ(held_buffers(), buffers_);
  }
  // A stop confirm that could not be read leaves the session as it was.
  EXPECT_EQ(s->state, APP_FOIP__ST_IDLE);
  EXPECT_EQ(g().session_cnt, 0);
}

TEST_F(AppEntity, ExitUnregistersFirstAndEveryAnswerCounts) {
  boot();
  // Two sessions registered at the registrar.
  for (nai_t n : {2, 3}) {
    foip__sip_register r{};
    r.confirm.return_code = FOIP__RC_OK;
    answer(FOIP__SIP_REGISTER_CO, n, r, static_cast<u16>(40 + n));
  }
  pump();
  ASSERT_EQ(session(2)->registered, 1);
  EXPECT_EQ(session(3)->register_conn_id, 43);
  fake.unregister_rc = 3;  // the first unregistration is refused
  ASSERT_EQ(__app_foip__exit(nullptr), OM_OS_OK);
  run_for(100);
  const auto un = fake.of(FOIP__SIP_UNREGISTER_RQ);
  ASSERT_EQ(un.size(), 2u);
  EXPECT_EQ(un[0].m.conn_id, 42);
  EXPECT_EQ(un[1].m.conn_id, 43);
  EXPECT_EQ(fake.of(FOIP__RESET_CONFIG_RQ).size(), 1u);
  EXPECT_TRUE(app_foip__application_ended());
  const std::string log = cfg_test::read_file(area_->path() + "/K-DB/TESSALY.log");
  EXPECT_NE(log.find("app_foip__exit called"), std::string::npos);
  EXPECT_NE(log.find("app_foip - Sending foip__reset_config_rq"), std::string::npos);
}

TEST_F(AppEntity, ARefusedConfirmIsAlsoLogged) {
  boot();
  auto r = std::make_unique<foip__start>();
  r->confirm.return_code = 3;
  r->confirm.error_source = 240;
  r->confirm.error_code = 15;
  std::strcpy(r->confirm.sz_error_code, "No page to send");
  answer(FOIP__START_CO, 2, *r);
  pump();
  const std::string log = cfg_test::read_file(area_->path() + "/K-DB/TESSALY.log");
  EXPECT_NE(log.find("app_foip -            FOIP__START_CO Return code : NOK"), std::string::npos);
  EXPECT_NE(log.find("app_foip - Error Code  : (15) No page to send"), std::string::npos);
}

TEST_F(AppEntity, MarksWaitUntilEntFoipIsReady) {
  boot();
  {
    std::lock_guard<std::recursive_mutex> hold(app_foip__lock());
    g().cnf.foip_ready = 0;
  }
  ASSERT_EQ(__app_foip__start(2, nullptr), OM_OS_OK);
  run_for(300);
  EXPECT_EQ(session(2)->state, APP_FOIP__ST_IDLE);
  EXPECT_EQ(session(2)->usr_evt, APP_FOIP__USR_EVT_START);
  EXPECT_EQ(g().usr_evt_pending, 1);
  {
    std::lock_guard<std::recursive_mutex> hold(app_foip__lock());
    g().cnf.foip_ready = 1;
  }
  run_for(100);
  EXPECT_EQ(session(2)->state, APP_FOIP__ST_DELAYED_START);
  EXPECT_EQ(g().usr_evt_pending, 0);
}

TEST_F(AppEntity, ASecondConfigurationLeavesTheRunningOneAlone) {
  boot();
  msg_t* m = Alloc_msg();
  Msg_attach_chain(m, Store_data_in_buffers(startup_, sizeof startup_, nullptr));
  m->from = ENT_SM;
  m->to = ENT_APP_FOIP;
  m->code = SM_CONFIG_RQ;
  Send_msg(m);
  pump();
  EXPECT_EQ(g().sessions.size(), 19u);
  EXPECT_EQ(g().cnf.magic, APP_FOIP_CNF__MAGIC_CONFIGURED);
  EXPECT_EQ(fake.of(FOIP__SET_CONFIG_RQ).size(), 1u);
  EXPECT_EQ(held_msgs(), msgs_);
  EXPECT_EQ(held_buffers(), buffers_);
}

TEST_F(AppEntity, AnIncomingCallWithoutAControllerIsRejected) {
  boot();
  auto alert = std::make_unique<foip__alert>();
  std::strcpy(alert->sz_called_phone_number, "1234");
  foip_api__addr a;
  a.from = ENT_FOIP;
  a.to = ENT_APP_FOIP;
  a.nai = 100;
  a.conn_id = 9;
  ASSERT_EQ(foip_api__send_record(a, FOIP__ALERT_IN, *alert), FOIP_API__OK);
  pump();
  const auto rs = fake.of(FOIP__ALERT_RS);
  ASSERT_EQ(rs.size(), 1u);
  EXPECT_EQ(rs[0].m.nai, 100);
  EXPECT_EQ(rs[0].m.conn_id, 9);
  foip__alert back{};
  ASSERT_EQ(rs[0].m.data.size(), sizeof back);
  std::memcpy(static_cast<void*>(&back), rs[0].m.data.data(), sizeof back);
  EXPECT_EQ(back.answer, FOIP__ALERT_REJECT);
  EXPECT_EQ(back.sip_status, 404);
  EXPECT_STREQ(back.sz_text, "Requested user not found");
  EXPECT_STREQ(back.sz_called_phone_number, "1234");
  EXPECT_EQ(g().session_cnt, 0);
}

// The main thread answers a call and stops a session: its sends reach the SM
// task through the external queue, in order, and are handled there.
TEST_F(AppEntity, MainThreadCallsReachTheSmTaskInOrder) {
  boot();
  app_foip__session_ctx* out = session(2);
  ASSERT_EQ(app_foip_mngt__process_event(APP_FOIP__EVT_START, out), OM_OS_OK);
  run_for(40);
  ASSERT_EQ(out->state, APP_FOIP__ST_START_SENT);
  fake.got.clear();
  fake.answer_stop = false;
  auto alert = std::make_unique<foip__alert>();
  std::thread link([&] {
    EXPECT_EQ(app_foip_mngt__accept_reject_sip_incoming_call(*alert, 100, 1, 7, session(1)), OM_OS_OK);
    EXPECT_EQ(app_foip_mngt__process_event(APP_FOIP__EVT_STOP, out), OM_OS_OK);
  });
  link.join();
  EXPECT_TRUE(fake.got.empty());  // nothing handled yet: all of it waits in the queue
  pump();
  ASSERT_EQ(fake.got.size(), 4u);
  const u8 answers[3] = {FOIP__ALERT_PROVISIONAL, FOIP__ALERT_RINGING, FOIP__ALERT_ACCEPT};
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(fake.got[i].m.code, FOIP__ALERT_RS);
    EXPECT_EQ(fake.got[i].m.data.at(0), answers[i]);
    EXPECT_EQ(fake.got[i].m.conn_id, 7);
    EXPECT_EQ(fake.got[i].m.calling_task, 0);
  }
  EXPECT_EQ(fake.got[3].m.code, FOIP__STOP_RQ);
  EXPECT_EQ(fake.got[3].m.nai, 2);
  foip__alert back{};
  std::memcpy(static_cast<void*>(&back), fake.got[2].m.data.data(), sizeof back);
  EXPECT_EQ(back.session_param.session_general_param.direction, 'I');
  EXPECT_EQ(back.session_param.sip_session_param.remote_sip_addr.ip_addr.ip_family, 0);
  EXPECT_EQ(session(1)->call_id, 7);
  EXPECT_EQ(session(1)->state, APP_FOIP__ST_RUNNING);
  EXPECT_EQ(g().session_cnt, 2);
}

// The poll and the main thread's marks at the same time: the records stay
// consistent and every session comes back.
TEST_F(AppEntity, MarksFromAnotherThreadWhileTheEntityRuns) {
  every_direction();
  boot();
  std::thread link([] {
    for (int i = 0; i < 200; ++i) {
      (void)__app_foip__start_checked(static_cast<nai_t>(1 + i % 19), nullptr);
      (void)__app_foip__stop(static_cast<nai_t>(1 + (i * 7) % 19), nullptr);
    }
  });
  for (int i = 0; i < 50; ++i) run_for(20);
  link.join();
  ASSERT_EQ(__app_foip__stop(APP_FOIP__ALL, nullptr), OM_OS_OK);
  run_for(300);
  for (nai_t n = 1; n <= 19; ++n) EXPECT_EQ(session(n)->state, APP_FOIP__ST_IDLE) << n;
  EXPECT_EQ(g().session_cnt, 0);
}

// The same with the SM and timer threads of the runtime: the link's calls in
// this thread and the entity in the SM thread take turns on the records.
TEST_F(AppEntity, DirectCallsAndTheSmThreadTakeTurns) {
  every_direction();
  sm_set_startup_list(&row_, 1);
  start_threaded(TABLE);
  auto ready = [&] {
    std::lock_guard<std::recursive_mutex> hold(app_foip__lock());
    return g().cnf.foip_ready == 1;
  };
  for (int i = 0; i < 300 && !ready(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  ASSERT_TRUE(ready());
  for (int round = 0; round < 40; ++round) {
    (void)__app_foip__start_checked(APP_FOIP__ALL, nullptr);
    for (nai_t n = 1; n <= 19; ++n) {
      std::lock_guard<std::recursive_mutex> hold(app_foip__lock());
      app_foip__session_ctx* s = session(n);
      if (s->usr_evt == APP_FOIP__USR_EVT_START && n % 3 == 0) {  // a send taken by the link itself
        s->usr_evt = APP_FOIP__NO_USR_EVT;
        (void)app_foip_mngt__process_event(APP_FOIP__EVT_START, s);
      }
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
    (void)__app_foip__stop(static_cast<nai_t>(1 + round % 19), nullptr);
  }
  ASSERT_EQ(__app_foip__stop(APP_FOIP__ALL, nullptr), OM_OS_OK);
  auto all_idle = [&] {
    std::lock_guard<std::recursive_mutex> hold(app_foip__lock());
    for (nai_t n = 1; n <= 19; ++n)
      if (session(n)->state != APP_FOIP__ST_IDLE || session(n)->usr_evt != APP_FOIP__NO_USR_EVT) return false;
    return true;
  };
  for (int i = 0; i < 300 && !all_idle(); ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_TRUE(all_idle());
  std::lock_guard<std::recursive_mutex> hold(app_foip__lock());
  EXPECT_EQ(g().session_cnt, 0);
}

}  // namespace
