// The V.25 call set-up service against a recording fax automaton and a
// recording signal service on the virtual clock: configuration, originating
// and answering calls with CNG and CED, busy tone, watchdog, clearing, and
// command strings that must be refused.
#include <gtest/gtest.h>

#include <string>

#include "common/byte_order.h"
#include "fax/acu.h"
#include "runtime/entity.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "runtime/support/rt_harness.h"
#include "runtime/timer.h"

namespace {

using rt_test::seen_msg;

constexpr nai_t kNai = 3;
constexpr ent_id_t kLower = ENT_T38;

const entity_table_row_t kTable[] = {
    {ENT_SM, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_FAX, rt_test::record_handler, 0, 0, nullptr, 0},
    {kLower, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_ACU, acu_entity_handler, 0, 0, nullptr, 0},
    {'x', rt_test::record_handler, 0, 0, nullptr, 0},  // another entity asking for parameters
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

std::vector<u8> config_record(nai_t nai, u16 entries = 1, u32 hold_ms = 0, u32 answer_ms = 2000, u32 i_ms = 300) {
  std::vector<u8> r(ACU_HEADER_SIZE + ACU_ENTRY_SIZE, 0);
  put_le16(r.data() + 4, entries);
  u8* e = r.data() + ACU_HEADER_SIZE;
  put_le16(e, nai);
  e[2] = kLower;
  e[3] = 18;
  put_le32(e + 16, i_ms);       // 'I' delay
  put_le32(e + 20, 6000);       // inter-call
  put_le32(e + 56, 30000);      // watchdog
  put_le32(e + 64, answer_ms);  // answer delay
  put_le32(e + 68, hold_ms);    // hold after CED
  return r;
}

class AcuTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rt_test::use_virtual_clock(1000);
    rt_test::start_manual(kTable);
    EXPECT_EQ(configure(config_record(kNai)), (std::vector<u8>{2, 0, 0}));
    advance(400);  // start-up: 'I' delay, hang up, ready
    rt_test::rec().clear();
  }
  void TearDown() override {
    acu_release_all();
    rt_test::stop();
  }
  std::vector<u8> configure(const std::vector<u8>& body) {
    rt_test::rec().clear();
    msg_t* m = Alloc_msg();
    Msg_attach_chain(m, Store_data_in_buffers(body.data(), static_cast<u32>(body.size()), nullptr));
    m->from = ENT_SM;
    m->to = ENT_ACU;
    m->code = SM_CONFIG_RQ;
    m->nai = 0;
    m->sapi = 0;
    m->conn_id = OM_OS_CONN_NONE;
    Send_msg(m);
    rt_test::pump();
    for (const seen_msg& s : rt_test::rec().messages())
      if (s.to == ENT_SM && s.code == SM_CONFIG_CO) return s.data;
    return {};
  }
  void request(code_t code, const std::vector<u8>& body, ent_id_t from = ENT_FAX) {
    Send_msg(rt_test::make_msg(from, ENT_ACU, code, body, kNai, 5));
    rt_test::pump();
  }
  void tone(code_t code, u16 kind, u16 t) {
    std::vector<u8> body(10, 0);
    put_le16(body.data(), kind);
    put_le16(body.data() + 2, t);
    Send_msg(rt_test::make_msg(kLower, ENT_ACU, code, body, kNai, OM_OS_CONN_NONE));
    rt_test::pump();
  }
  void advance(u32 ms) {
    for (u32 t = 0; t < ms; t += 10) {
      rt_test::advance_clock(10);
      om_os_timer_poll();
      rt_test::pump();
    }
  }
  static std::vector<seen_msg> to(ent_id_t who, code_t code) {
    std::vector<seen_msg> out;
    for (const seen_msg& m : rt_test::rec().messages())
      if (m.to == who && m.code == code) out.push_back(m);
    return out;
  }
  // Signal requests as "code kind tone" strings, e.g. "1t0".
  static std::vector<std::string> signals() {
    std::vector<std::string> out;
    for (const seen_msg& m : rt_test::rec().messages())
      if (m.to == kLower && m.data.size() >= 4)
        out.push_back(
            std::string{static_cast<char>(m.code), static_cast<char>(m.data[0]), static_cast<char>(m.data[2])});
    return out;
  }
  static std::vector<u8> originate(u8 flags, u8 type = 'F') { return {0, flags, type, 0, 0, 0, 0, 0, 0, 0, 0, 0}; }
};

TEST_F(AcuTest, ConfigurationAnswers) {
  EXPECT_EQ(configure(config_record(kNai)), (std::vector<u8>{3, ACU_ERR_NAI_CONFIGURED, 0}));
  EXPECT_EQ(configure(config_record(7, 2)), (std::vector<u8>{3, ACU_ERR_ENTRIES, 0}));
  EXPECT_EQ(configure(config_record(63)), (std::vector<u8>{3, ACU_ERR_ENTRIES, 0}));
  EXPECT_EQ(configure(config_record(7)), (std::vector<u8>{2, 0, 0}));
}

TEST_F(AcuTest, FaxCallSendsCngAndConnectsOnCed) {
  request(ACU_CONN_RQ, originate(0));
  EXPECT_EQ(signals(), (std::vector<std::string>{"0t ", "1t!", "1t$", "1t0", "YT2"}));
  EXPECT_TRUE(to(ENT_FAX, ACU_CONN_CO).empty());
  tone('y', 't', '0');
  ASSERT_EQ(to(ENT_FAX, ACU_CONN_CO).size(), 1u);
  EXPECT_EQ(to(ENT_FAX, ACU_CONN_CO)[0].data.size(), 108u);
  EXPECT_EQ(to(ENT_FAX, ACU_CONN_CO)[0].data[0], 'F');
  EXPECT_EQ(to(ENT_FAX, ACU_CONN_CO)[0].conn_id, 5);
}

TEST_F(AcuTest, DisabledBusyToneIsNotListenedFor) {
  request(ACU_CONN_RQ, originate(0x02));
  EXPECT_EQ(signals(), (std::vector<std::string>{"0t ", "1t$", "1t0", "YT2"}));
}

TEST_F(AcuTest, BusyToneClearsAndStartsTheInterCallWait) {
  request(ACU_CONN_RQ, originate(0));
  tone('y', 't', '$');
  ASSERT_EQ(to(ENT_FAX, ACU_CLEAR_IN).size(), 1u);
  EXPECT_EQ(to(ENT_FAX, ACU_CLEAR_IN)[0].data[0], 'b');
  // A command string that waits for the inter-call time ends with it.
  rt_test::rec().clear();
  EXPECT_EQ(acu_run_commands(kNai, "ci."), ACU_OK);
  EXPECT_EQ(acu_run_commands(kNai, "i."), ACU_OK) << "accepted but the running string goes first";
  advance(6100);
  request(ACU_CONN_RQ, originate(0));
  EXPECT_EQ(signals().size(), 5u) << "the next call starts once the wait is over";
}

TEST_F(AcuTest, NoAnswerToneBeforeTheWatchdog) {
  request(ACU_CONN_RQ, originate(0));
  advance(30100);
  ASSERT_EQ(to(ENT_FAX, ACU_CLEAR_IN).size(), 1u);
  EXPECT_EQ(to(ENT_FAX, ACU_CLEAR_IN)[0].data[0], 't');
}

TEST_F(AcuTest, AnswerSendsCedAfterTheDelayThenConnects) {
  request(ACU_CONN_RS, {0, 'F', 0, 0, 0, 0, 0, 0, 0, 0});
  advance(1900);
  EXPECT_TRUE(signals().empty());
  advance(200);
  EXPECT_EQ(signals(), (std::vector<std::string>{"YT0"}));
  tone('g', 'T', '0');
  ASSERT_EQ(to(ENT_FAX, ACU_CONN_CO).size(), 1u);
}

TEST_F(AcuTest, FaxAnswerWithoutCedConnectsAfterTheDelay) {
  request(ACU_CONN_RS, {0, 'F', 0, 0, 1, 0, 0, 0, 0, 0});
  advance(1900);
  EXPECT_TRUE(to(ENT_FAX, ACU_CONN_CO).empty());
  advance(200);
  EXPECT_EQ(to(ENT_FAX, ACU_CONN_CO).size(), 1u);
  EXPECT_TRUE(signals().empty()) << "no CED";
}

// Zero delays (the fax entity's built-in record has no answer delay) act at
// once instead of waiting for a timer that is never started.
TEST_F(AcuTest, ZeroDelaysAnswerAtOnce) {
  constexpr nai_t kOther = 7;
  ASSERT_EQ(configure(config_record(kOther, 1, 0, 0, 0)), (std::vector<u8>{2, 0, 0}));
  rt_test::pump();
  struct row {
    u8 no_ced;
    const char* want_signal;  // CED asked for, or none
    size_t connects_before_tone;
  };
  for (const row& r : {row{0, "YT0", 0}, row{1, nullptr, 1}}) {
    SCOPED_TRACE(static_cast<int>(r.no_ced));
    rt_test::rec().clear();
    Send_msg(rt_test::make_msg(ENT_FAX, ENT_ACU, ACU_CONN_RS, {0, 'F', 0, 0, r.no_ced, 0, 0, 0, 0, 0}, kOther, 5));
    rt_test::pump();
    EXPECT_EQ(to(ENT_FAX, ACU_CONN_CO).size(), r.connects_before_tone);
    if (r.want_signal) {
      EXPECT_EQ(signals(), (std::vector<std::string>{r.want_signal}));
      std::vector<u8> body(10, 0);
      put_le16(body.data(), 'T');
      put_le16(body.data() + 2, '0');
      Send_msg(rt_test::make_msg(kLower, ENT_ACU, 'g', body, kOther, OM_OS_CONN_NONE));
      rt_test::pump();
      EXPECT_EQ(to(ENT_FAX, ACU_CONN_CO).size(), 1u);
    } else {
      EXPECT_TRUE(signals().empty());
    }
    Send_msg(rt_test::make_msg(ENT_FAX, ENT_ACU, ACU_CLEAR_RQ, {0}, kOther, 5));
    advance(7000);  // clear and the inter-call wait
  }
}

TEST_F(AcuTest, ClearAndParameters) {
  request(ACU_CONN_RQ, originate(0));
  request(ACU_CLEAR_RQ, {});
  advance(100);
  // The clear waits for the running call string; the watchdog ends it.
  advance(30000);
  EXPECT_EQ(to(ENT_FAX, ACU_CLEAR_CO).size(), 1u);
  rt_test::rec().clear();
  request(ACU_SETPARM_RQ, {'c', 0, 40, 0}, 'x');
  request(ACU_INFO_RQ, {'c', 0}, 'x');
  ASSERT_EQ(to('x', ACU_INFO_CO).size(), 1u);
  EXPECT_EQ(to('x', ACU_INFO_CO)[0].data[2], 40);
  request(ACU_INFO_RQ, {'z', 0}, 'x');
  EXPECT_EQ(to('x', ACU_INFO_CO).size(), 1u) << "unknown letters are not answered";
}

TEST(AcuCommands, BadStringsAreRefusedWithTheirCode) {
  const std::string long_string(1000, 'H');
  struct row {
    std::string s;
    acu_error want;
  };
  const row rows[] = {
      {"IHi.", ACU_OK},
      {"<.garbage after the end", ACU_OK},
      {"IXi.", ACU_ERR_COMMAND_LETTER},
      {std::string("I\0i.", 4), ACU_ERR_COMMAND_LETTER},
      {"IHi", ACU_ERR_COMMAND_END},
      {"", ACU_ERR_COMMAND_END},
      {long_string, ACU_ERR_COMMAND_LENGTH},
      {long_string + ".", ACU_ERR_COMMAND_LENGTH},
      {std::string(ACU_COMMAND_AREA - 1, 'H') + ".", ACU_OK},
  };
  for (const row& r : rows) EXPECT_EQ(acu_check_commands(r.s), r.want) << r.s.substr(0, 20);
}

TEST_F(AcuTest, RefusedStringsRunNothing) {
  const std::string bad[] = {"KZ.", "K", std::string(1000, 'K')};
  for (const std::string& s : bad) EXPECT_NE(acu_run_commands(kNai, s), ACU_OK);
  EXPECT_TRUE(signals().empty());
  EXPECT_EQ(acu_run_commands(50, "i."), ACU_ERR_NO_CONTEXT);
}

// The entity's stop routine gives the contexts and their timers back when the
// runtime stops: a second start in the same process configures the same nai
// again.
class AcuRestart : public AcuTest {
 protected:
  void SetUp() override {}
  void TearDown() override {}
};

TEST_F(AcuRestart, RuntimeStopLeavesNoContextForTheNextStart) {
  const entity_table_row_t table[] = {
      {ENT_SM, rt_test::record_handler, 0, 0, nullptr, 0},
      {ENT_FAX, rt_test::record_handler, 0, 0, nullptr, 0},
      {kLower, rt_test::record_handler, 0, 0, nullptr, 0},
      ACU_ENTITY_ROW,
      {ENT_NIL, nullptr, 0, 0, nullptr, 0},
  };
  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE(round);
    rt_test::use_virtual_clock(1000);
    rt_test::start_manual(table);
    EXPECT_EQ(configure(config_record(kNai)), (std::vector<u8>{2, 0, 0}));
    advance(200);  // the start-up delay runs when the runtime stops
    rt_test::stop();
  }
}

}  // namespace
