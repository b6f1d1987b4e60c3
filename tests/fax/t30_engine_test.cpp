// The T.30 engine: two channels back to back over the fake modem layer, on
// the virtual clock; the frame classifier; configuration and stops.
#include <gtest/gtest.h>

#include <algorithm>

#include "common/byte_order.h"
#include "fax/support/fax_test_pages.h"
#include "fax/support/t30_fake_modem.h"
#include "fax/t30_cause.h"
#include "fax/t30_engine.h"
#include "runtime/om_os.h"
#include "runtime/support/rt_harness.h"

using namespace t30_test;

namespace {

using bytes = std::vector<uint8_t>;

constexpr uint16_t kCaller = 0;
constexpr uint16_t kAnswerer = 1;
constexpr uint16_t kLocalOk = WT3C | WLOCDCOK;
constexpr uint16_t kRemoteOk = WT3C | WREMDCOK;

uint16_t cause(t30_cause_number n) { return t30_protocol_cause(n); }

fax_test::page test_page(uint32_t seed) { return fax_test::make_page(fax_test::kind::text, 1728, 120, seed); }

// The received data decode to the page that was sent.
void expect_same_page(const fax_test::page& want, const bytes& got, uint8_t coding = 1) {
  const fax_test::decoded d = fax_test::decode(got, coding, 1728);
  EXPECT_EQ(d.error_lines, 0u);
  EXPECT_TRUE(d.pg == want) << fax_test::describe_difference(want, d.pg);
}

class T30Loop : public ::testing::Test {
 protected:
  void SetUp() override {
    rt_test::use_virtual_clock(1000);
    rt_test::start_manual(loop_table());
    fake_modem::get().reset();
    fake_users::get().reset();
    ASSERT_EQ(configure_channel(kCaller, 4, ENT_T38), OM_OS_OK);
    ASSERT_EQ(configure_channel(kAnswerer, 4, ENT_T38), OM_OS_OK);
    fake_modem::get().link(kCaller, kAnswerer);
  }
  void TearDown() override {
    t30_release_all();
    fake_modem::get().reset();
    rt_test::pump();
    rt_test::stop();
  }

  fake_user& caller() { return fake_users::get()[kCaller]; }
  fake_user& answerer() { return fake_users::get()[kAnswerer]; }

  // The calling side sends `pages`; the answering side receives. With `ecm`
  // the frame size code (1 = 64, 2 = 256 octets).
  void setup_send(const std::vector<fax_test::page>& pages, uint8_t coding = 1, uint8_t ecm = 0) {
    fake_user& c = caller();
    c.sender = true;
    c.fields = user_fields(ecm != 0, ecm);
    c.selection = {T30_RES_FINE, coding == 1 ? T30_CODING_MH : T30_CODING_MR, T30_WIDTH_A4};
    // The document's own format.
    c.fields.resolution = c.selection.resolution;
    c.fields.coding = c.selection.coding;
    c.fields.width = c.selection.width;
    for (const auto& p : pages) c.to_send.push_back({fax_test::encode(p, coding)});
    fake_user& a = answerer();
    a.fields = user_fields(ecm != 0, ecm ? 3 : 0);
    a.fields.service = T30_SVC_TRANSMIT;
  }

  void start_call() {
    connect(kAnswerer, 1);
    connect(kCaller, 2);
  }
  bool both_ended() { return caller().disconnected && answerer().disconnected; }
  uint32_t run(uint32_t limit = 600000) {
    return run_until([&] { return both_ended(); }, limit);
  }
  // Frames (final FCF) that one side sent, in order.
  std::vector<uint8_t> fcfs(uint16_t from) {
    std::vector<uint8_t> out;
    for (const auto& [ch, item] : fake_modem::get().sent)
      if (ch == from && item.kind == line_item::frames) out.push_back(item.final_fcf());
    return out;
  }
};

TEST_F(T30Loop, ThreePagesCrossWithMpsAndEop) {
  const std::vector<fax_test::page> pages = {test_page(1), test_page(2), test_page(3)};
  setup_send(pages);
  start_call();
  run();
  ASSERT_TRUE(both_ended());
  EXPECT_EQ(caller().cause, kLocalOk);
  EXPECT_EQ(answerer().cause, kRemoteOk);
  ASSERT_EQ(answerer().received.size(), 3u);
  for (size_t i = 0; i < 3; ++i) expect_same_page(pages[i], answerer().received[i]);
  EXPECT_EQ(caller().end_page_co, (std::vector<uint16_t>{T30_RSP_MCF, T30_RSP_MCF, T30_RSP_MCF}));
  ASSERT_EQ(answerer().end_page_in.size(), 3u);
  EXPECT_EQ(answerer().end_page_in[0].second, T30_PM_MPS);
  EXPECT_EQ(answerer().end_page_in[2].second, T30_PM_EOP);
  // DCS at V.17 14400 first, then MPS, MPS, EOP and DCN.
  EXPECT_EQ(fcfs(kCaller), (std::vector<uint8_t>{T30_FCF_DCS, 0x72, 0x72, 0x74, 0x5F}));
  EXPECT_EQ(fcfs(kAnswerer), (std::vector<uint8_t>{T30_FCF_DIS, T30_FCF_CFR, 0x31, 0x31, 0x31}));
}

// The modulations of the trainings that the caller sent.
std::vector<uint16_t> trainings() {
  std::vector<uint16_t> out;
  for (const auto& [ch, item] : fake_modem::get().sent)
    if (item.kind == line_item::tcf) out.push_back(item.modulation);
  return out;
}

TEST_F(T30Loop, FttFallsBackToTheNextSpeed) {
  const std::vector<fax_test::page> pages = {test_page(4)};
  setup_send(pages);
  int bad = 1;
  fake_modem::get().filter = [&](uint16_t, line_item& item) {
    if (item.kind == line_item::tcf && bad > 0) {
      --bad;
      item.good = false;
    }
    return true;
  };
  start_call();
  run();
  ASSERT_TRUE(both_ended());
  EXPECT_EQ(caller().cause, kLocalOk);
  EXPECT_EQ(trainings(), (std::vector<uint16_t>{0x1840, 0x1820}));
  EXPECT_EQ(fcfs(kAnswerer), (std::vector<uint8_t>{T30_FCF_DIS, 0x22, T30_FCF_CFR, 0x31}));
  ASSERT_EQ(answerer().received.size(), 1u);
  expect_same_page(pages[0], answerer().received[0]);
}

TEST_F(T30Loop, EveryTrainingFailsEndsWithWttx) {
  setup_send({test_page(5)});
  fake_modem::get().filter = [&](uint16_t, line_item& item) {
    if (item.kind == line_item::tcf) item.good = false;
    return true;
  };
  start_call();
  run();
  ASSERT_TRUE(both_ended());
  EXPECT_EQ(trainings(), (std::vector<uint16_t>{0x1840, 0x1820, 0x1210, 0x1208, 0x1104, 0x1102, 0x1102}));
  EXPECT_EQ(caller().cause, cause(WTTTX));
  EXPECT_EQ(fcfs(kCaller).back(), 0x5F);  // DCN
  EXPECT_EQ(answerer().cause, WT3C | WREMDCNOK);
}

TEST_F(T30Loop, RtnRetrainsAndSendsThePageAgain) {
  const std::vector<fax_test::page> pages = {test_page(6), test_page(7), test_page(8)};
  setup_send(pages);
  answerer().end_page_answers = {T30_RSP_MCF, T30_RSP_RTN};
  start_call();
  run();
  ASSERT_TRUE(both_ended());
  EXPECT_EQ(caller().cause, kLocalOk);
  EXPECT_EQ(caller().end_page_co, (std::vector<uint16_t>{T30_RSP_MCF, T30_RSP_RTN, T30_RSP_MCF, T30_RSP_MCF}));
  // After RTN: the user is asked again, then DCS and training (retrain at the
  // next speed) before page 2 goes again.
  EXPECT_EQ(caller().what_to_do_count, 2);
  EXPECT_EQ(trainings(), (std::vector<uint16_t>{0x1840, 0x1820}));
  ASSERT_EQ(answerer().received.size(), 4u);
  expect_same_page(pages[1], answerer().received[2]);
  expect_same_page(pages[2], answerer().received[3]);
}

TEST_F(T30Loop, RtnOnTheLastPageWithoutResendIsNoSuccess) {
  // Refused last page, no resend asked: DCN, and neither side calls the call
  // a success.  With the resend flag the page goes again and all is well.
  struct Case {
    uint16_t eop_bits;
    std::vector<uint16_t> end_page_co;
    uint16_t caller_cause, answerer_cause;
  };
  const Case cases[] = {
      {0, {T30_RSP_RTN}, WT3C | WREMDCNOK, WT3C | WREMDCNOK},
      {T30_EPQ_RESEND, {T30_RSP_RTN, T30_RSP_MCF}, kLocalOk, WT3C | WREMDCOK},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.eop_bits);
    TearDown();
    SetUp();
    setup_send({test_page(10)});
    caller().eop_bits = c.eop_bits;
    answerer().end_page_answers = {T30_RSP_RTN, T30_RSP_MCF};
    start_call();
    run();
    ASSERT_TRUE(both_ended());
    EXPECT_EQ(caller().end_page_co, c.end_page_co);
    EXPECT_EQ(caller().cause, c.caller_cause);
    EXPECT_EQ(answerer().cause, c.answerer_cause);
    EXPECT_EQ(fcfs(kCaller).back(), 0x5F);  // DCN
  }
}

TEST_F(T30Loop, EndPageAnswerIndexThreeIsAnArgumentError) {
  setup_send({test_page(9)});
  answerer().end_page_answers = {3};
  start_call();
  run();
  EXPECT_EQ(answerer().cause, 0x121E);
}

TEST_F(T30Loop, UserWithNothingInCommonReleasesBothSides) {
  setup_send({test_page(9)});
  caller().fields.service = 0;
  start_call();
  run();
  ASSERT_TRUE(both_ended());
  EXPECT_EQ(caller().cause, cause(WAPABORT));
  EXPECT_EQ(answerer().cause, WT3C | WREMDCNOK);  // its DCN before any EOP
}

// Time-outs, on the virtual clock.
struct timeout_case {
  const char* name;
  // Drops what one side sends from the moment `after` returns true.
  std::function<bool(uint16_t, const line_item&)> drop;
  std::function<void(fake_user& caller, fake_user& answerer)> script;
  uint16_t caller_cause;    // 0: not checked
  uint16_t answerer_cause;  // 0: not checked
  uint32_t answerer_ms_min;
  uint32_t answerer_ms_max;
};

TEST_F(T30Loop, EveryWaitEndsWithItsTimeoutCause) {
  const auto nothing = [](fake_user&, fake_user&) {};
  int dcs_seen = 0;
  const timeout_case cases[] = {
      {"no DIS reaches the caller: T1", [](uint16_t from, const line_item&) { return from == kAnswerer; }, nothing,
       cause(WNODISR), cause(WT1S), 38000, 38100},
      {"caller's user never answers", [](uint16_t, const line_item&) { return false; },
       [](fake_user& c, fake_user&) { c.answer_what_to_do = false; }, WT3C | WREMDCNOK, cause(WT1S), 38000, 38100},
      {"answerer's user never answers", [](uint16_t, const line_item&) { return false; },
       [](fake_user&, fake_user& a) { a.answer_what_to_do = false; }, cause(WNODISR), cause(WT1WTDO), 38000, 38100},
      {"no answer to DCS",
       [](uint16_t from, const line_item& i) { return from == kAnswerer && i.final_fcf() != T30_FCF_DIS; }, nothing,
       cause(WNOCFRR), 0, 0, 0},
      {"no answer to EOP", [](uint16_t from, const line_item& i) { return from == kAnswerer && i.final_fcf() == 0x31; },
       nothing, cause(WNOMCFREOP), 0, 0, 0},
      {"no EOP reaches the answerer",
       [](uint16_t from, const line_item& i) {
         return from == kCaller && (i.final_fcf() == 0x74 || i.final_fcf() == 0x5F);
       },
       nothing, cause(WNOMCFREOP), cause(WNOEOPR), 24000, 25000},
      {"answerer's user never confirms the page",
       [](uint16_t from, const line_item& i) { return from == kCaller && i.final_fcf() == 0x5F; },
       [](fake_user&, fake_user& a) { a.answer_end_page = false; }, cause(WNOMCFREOP), cause(WTRSTATUS), 0, 0},
      {"the user never asks for the post-message command", [](uint16_t, const line_item&) { return false; },
       [](fake_user& c, fake_user&) { c.send_end_page_rq = false; }, cause(WTXNEXT), 0, 0, 0},
      {"no answer to MPS", [](uint16_t from, const line_item& i) { return from == kAnswerer && i.final_fcf() == 0x31; },
       [](fake_user& c, fake_user&) { c.to_send.push_back(c.to_send.front()); }, cause(WNOMCFR), 0, 0, 0},
      {"no DCS after FTT",
       [&dcs_seen](uint16_t from, const line_item& i) {
         if (from != kCaller) return false;
         if (i.kind == line_item::tcf) return true;  // no training: FTT
         return i.final_fcf() == T30_FCF_DCS && ++dcs_seen > 1;
       },
       nothing, cause(WNOCFRR), cause(WUNXEVT), 0, 0},
  };
  for (const timeout_case& k : cases) {
    SCOPED_TRACE(k.name);
    TearDown();
    SetUp();
    setup_send({test_page(10)});
    k.script(caller(), answerer());
    fake_modem::get().filter = [&](uint16_t from, line_item& item) { return !k.drop(from, item); };
    const uint32_t t0 = rt_test::virtual_now();
    connect(kAnswerer, 1);
    connect(kCaller, 2);
    uint32_t answerer_end = 0;
    run_until([&] { return both_ended(); }, 200000,
              [&] {
                if (answerer().disconnected && !answerer_end) answerer_end = rt_test::virtual_now() - t0;
              });
    EXPECT_TRUE(both_ended());
    if (k.caller_cause) {
      EXPECT_EQ(caller().cause, k.caller_cause);
    }
    if (k.answerer_cause) {
      EXPECT_EQ(answerer().cause, k.answerer_cause);
    }
    if (k.answerer_ms_max) {
      EXPECT_GE(answerer_end, k.answerer_ms_min);
      EXPECT_LE(answerer_end, k.answerer_ms_max);
    }
  }
}

// A T1 expiry that arrives after its slot was stopped changes nothing; a
// current one is taken.
TEST_F(T30Loop, StaleT1ExpiryIsIgnored) {
  setup_send({test_page(12)});
  caller().answer_what_to_do = false;
  start_call();
  run_until([&] { return caller().what_to_do_count == 1; }, 10000);
  ASSERT_EQ(caller().what_to_do_count, 1);
  // T1R (slot 0) ran once with sequence 1 and was stopped by the DIS.
  std::vector<uint8_t> expiry(TI_EXPIRY_DATA_SIZE, 0);
  put_le16(expiry.data(), 0x0001);
  send_to_engine(ENT_TI, t30_timer_table[TI_T1R].code, kCaller, expiry, kCaller);
  rt_test::pump();
  EXPECT_FALSE(caller().disconnected);
  // TI_TWTD (slot 1) is running with sequence 1.
  put_le16(expiry.data(), 0x0101);
  send_to_engine(ENT_TI, t30_timer_table[TI_TWTD].code, kCaller, expiry, kCaller);
  run_until([&] { return caller().disconnected; }, 1000);
  EXPECT_EQ(caller().cause, cause(WT1WTDO));
}

// Over T.38 no V.34 activation is asked for: the call goes on at 14400.
TEST_F(T30Loop, V34IsNotOfferedOverT38) {
  const std::vector<fax_test::page> pages = {test_page(13)};
  setup_send(pages);
  rt_test::rec().clear();
  connect(kAnswerer, 1, true, 33600);
  connect(kCaller, 2, true, 33600);
  run();
  ASSERT_TRUE(both_ended());
  EXPECT_EQ(caller().cause, kLocalOk);
  for (const auto& m : rt_test::rec().messages()) EXPECT_NE(m.to, ENT_T38) << "code " << m.code;
  EXPECT_EQ(trainings(), (std::vector<uint16_t>{0x1840}));
  ASSERT_EQ(answerer().received.size(), 1u);
}

// A lower entity that serves V.34 but never answers: the wait ends under T1.
TEST_F(T30Loop, UnansweredV34ActivationEndsUnderT1) {
  t30_release_all();
  ASSERT_EQ(configure_channel(kCaller, 4, 'L'), OM_OS_OK);
  setup_send({test_page(14)});
  rt_test::rec().clear();
  connect(kCaller, 2, true, 33600);
  const uint32_t used = run_until([&] { return caller().disconnected; }, 100000);
  EXPECT_EQ(caller().cause, cause(WNODISR));
  EXPECT_GE(used, 38000u);
  EXPECT_LE(used, 38200u);
  std::vector<code_t> to_lower;
  for (const auto& m : rt_test::rec().messages())
    if (m.to == 'L') to_lower.push_back(m.code);
  EXPECT_EQ(to_lower, (std::vector<code_t>{T30_V34_ACT_RQ, T30_V34_DEA_RQ}));
}

TEST_F(T30Loop, ConfigurationRefusals) {
  EXPECT_EQ(configure_channel(kCaller, 4, ENT_T38), OM_OS_NOK);  // exists
  EXPECT_EQ(configure_channel(9, 4, ENT_T38), OM_OS_NOK);        // beyond the table
  EXPECT_EQ(configure_channel(2, 4, ENT_T38), OM_OS_OK);
  rt_test::rec().clear();
  send_to_engine(ENT_MT30, MT30_RELEASE_RQ, 2, {});
  rt_test::pump();
  const auto msgs = rt_test::rec().messages();
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].code, MT30_RELEASE_CO);
  EXPECT_EQ(msgs[0].data.at(0), OM_OS_OK);
  EXPECT_EQ(configure_channel(2, 4, ENT_T38), OM_OS_OK);
}

TEST_F(T30Loop, UserDisconnectStopsWith0x308) {
  setup_send({test_page(15)});
  caller().answer_what_to_do = false;
  start_call();
  run_until([&] { return caller().what_to_do_count == 1; }, 10000);
  send_to_engine(ENT_CF, T30_DISC_RQ, kCaller, {}, kCaller);
  run_until([&] { return caller().disconnected; }, 1000);
  EXPECT_EQ(caller().cause, 0x308);
}

// ---------------------------------------------------------------------------
// Error-correction mode.

// Numbers of the data frames (FCD) that the caller sent, in order.
std::vector<int> fcd_numbers() {
  std::vector<int> out;
  for (const auto& [ch, item] : fake_modem::get().sent)
    if (ch == kCaller && item.kind == line_item::page_data && item.data.size() > 4) out.push_back(item.data[3]);
  return out;
}

bool is_frame(uint16_t from, const line_item& item, int number) {
  return from == kCaller && item.kind == line_item::page_data && item.data.size() > 4 && item.data[3] == number;
}

TEST_F(T30Loop, EcmPagesCrossInBothFrameSizes) {
  for (uint8_t size : {uint8_t{2}, uint8_t{1}}) {
    SCOPED_TRACE(size == 2 ? "256 octets" : "64 octets");
    TearDown();
    SetUp();
    const std::vector<fax_test::page> pages = {test_page(31), test_page(32), test_page(33)};
    setup_send(pages, 3, size);
    start_call();
    run();
    ASSERT_TRUE(both_ended());
    EXPECT_EQ(caller().cause, kLocalOk);
    EXPECT_EQ(answerer().cause, kRemoteOk);
    ASSERT_EQ(answerer().received.size(), 3u);
    for (size_t i = 0; i < 3; ++i) expect_same_page(pages[i], answerer().received[i], 3);
    EXPECT_EQ(caller().end_page_co, (std::vector<uint16_t>{T30_RSP_MCF, T30_RSP_MCF, T30_RSP_MCF}));
    // PPS-MPS, PPS-MPS, PPS-EOP, then DCN.
    EXPECT_EQ(fcfs(kCaller), (std::vector<uint8_t>{T30_FCF_DCS, 0x7D, 0x7D, 0x7D, 0x5F}));
  }
}

// A page of two blocks (64-octet frames); in the first, frames 3 and 7 are
// lost and frame 9 arrives cut short: PPR asks for exactly those.
TEST_F(T30Loop, EcmLostFramesAreAskedForWithPpr) {
  const std::vector<fax_test::page> pages = {fax_test::make_page(fax_test::kind::noise, 1728, 60, 5)};
  setup_send(pages, 3, 1);
  int spoiled = 0;
  fake_modem::get().filter = [&](uint16_t from, line_item& item) {
    if ((is_frame(from, item, 3) || is_frame(from, item, 7)) && spoiled < 2) {
      ++spoiled;
      return false;
    }
    if (is_frame(from, item, 9) && spoiled == 2) {
      ++spoiled;
      item.data.erase(item.data.end() - std::min<std::ptrdiff_t>(10, static_cast<std::ptrdiff_t>(item.data.size())),
                      item.data.end());
    }
    return true;
  };
  start_call();
  run();
  ASSERT_TRUE(both_ended());
  EXPECT_EQ(caller().cause, kLocalOk);
  ASSERT_EQ(answerer().received.size(), 1u);
  expect_same_page(pages[0], answerer().received[0], 3);
  const auto a = fcfs(kAnswerer);
  EXPECT_EQ(std::count(a.begin(), a.end(), 0x3D), 1);  // one PPR
  const auto nums = fcd_numbers();
  const std::vector<int> again = {255, 3, 7, 9, 0};
  EXPECT_NE(std::search(nums.begin(), nums.end(), again.begin(), again.end()), nums.end());
}

TEST_F(T30Loop, EcmFourthPprLeadsToCtcAtTheNextSpeed) {
  const std::vector<fax_test::page> pages = {test_page(34)};
  setup_send(pages, 3, 2);
  int drops = 0;
  fake_modem::get().filter = [&](uint16_t from, line_item& item) {
    if (is_frame(from, item, 0) && drops < 4) {
      ++drops;
      return false;
    }
    return true;
  };
  start_call();
  run();
  ASSERT_TRUE(both_ended());
  EXPECT_EQ(caller().cause, kLocalOk);
  const auto c = fcfs(kCaller);
  EXPECT_EQ(std::count(c.begin(), c.end(), 0x48), 1);  // CTC
  const auto a = fcfs(kAnswerer);
  EXPECT_EQ(std::count(a.begin(), a.end(), 0x3D), 4);  // four PPRs
  EXPECT_EQ(std::count(a.begin(), a.end(), 0x23), 1);  // CTR
  // The block went again at 12000 after the CTC.
  uint16_t last_mod = 0;
  for (const auto& [ch, item] : fake_modem::get().sent)
    if (ch == kCaller && item.kind == line_item::page_data) last_mod = item.modulation;
  EXPECT_EQ(last_mod & 0x0F7E, 0x0820);
  ASSERT_EQ(answerer().received.size(), 1u);
  expect_same_page(pages[0], answerer().received[0], 3);
}

TEST_F(T30Loop, EcmWithNoSpeedLeftEndsTheBlockWithEor) {
  const std::vector<fax_test::page> pages = {test_page(35)};
  setup_send(pages, 3, 2);
  // 2400 bit/s only: no speed is left after the 4th PPR.
  caller().fields.modulation = 0x1102;
  fake_modem::get().filter = [&](uint16_t from, line_item& item) { return !is_frame(from, item, 0); };
  start_call();
  run();
  ASSERT_TRUE(both_ended());
  const auto c = fcfs(kCaller);
  EXPECT_EQ(std::count(c.begin(), c.end(), 0x73), 1);  // EOR
  const auto a = fcfs(kAnswerer);
  EXPECT_EQ(std::count(a.begin(), a.end(), 0x38), 1);  // ERR
  EXPECT_EQ(caller().end_page_co, (std::vector<uint16_t>{T30_RSP_RTN}));
  EXPECT_EQ(caller().cause, cause(WECERR));  // ERR after EOR-EOP
  ASSERT_EQ(answerer().end_page_in.size(), 1u);
  EXPECT_EQ(answerer().end_page_in[0].first, T30_RSP_RTN);
}

TEST_F(T30Loop, EcmReceiverHoldAnswersRnrUntilReleased) {
  const std::vector<fax_test::page> pages = {test_page(36)};
  setup_send(pages, 3, 2);
  answerer().hold_at_page_start = true;
  start_call();
  run_until([&] { return both_ended(); }, 600000,
            [&] {
              if (rt_test::virtual_now() >= 20000 && rt_test::virtual_now() < 20100)
                send_to_engine(ENT_CF, T30_CLR_BUSY_RQ, kAnswerer, {}, kAnswerer);
            });
  ASSERT_TRUE(both_ended());
  EXPECT_EQ(caller().cause, kLocalOk);
  const auto a = fcfs(kAnswerer);
  EXPECT_GE(std::count(a.begin(), a.end(), 0x37), 2);  // RNR
  const auto c = fcfs(kCaller);
  EXPECT_GE(std::count(c.begin(), c.end(), 0x76), 2);  // RR
  ASSERT_EQ(answerer().received.size(), 1u);
  expect_same_page(pages[0], answerer().received[0], 3);
}

// RNR for ever: 60 s after the first RNR the sender gives up.
TEST_F(T30Loop, EcmRnrForeverEndsWithT5) {
  setup_send({test_page(37)}, 3, 2);
  answerer().hold_at_page_start = true;
  start_call();
  uint32_t t_end = 0;
  const uint32_t t0 = rt_test::virtual_now();
  run_until([&] { return both_ended(); }, 600000,
            [&] {
              if (caller().disconnected && !t_end) t_end = rt_test::virtual_now() - t0;
            });
  EXPECT_EQ(caller().cause, cause(WECT5));
  EXPECT_GE(t_end, 60000u);
  EXPECT_LE(t_end, 61000u);
}

// A data frame longer than the frame size is not stored: PPR asks for it.
TEST_F(T30Loop, EcmOverlongFrameIsAskedForAgain) {
  const std::vector<fax_test::page> pages = {test_page(38)};
  setup_send(pages, 3, 2);
  bool spoiled = false;
  fake_modem::get().filter = [&](uint16_t from, line_item& item) {
    if (is_frame(from, item, 1) && !spoiled) {
      spoiled = true;
      item.data.resize(item.data.size() + 10, 0xAA);
    }
    return true;
  };
  start_call();
  run();
  ASSERT_TRUE(both_ended());
  EXPECT_EQ(caller().cause, kLocalOk);
  const auto a = fcfs(kAnswerer);
  EXPECT_EQ(std::count(a.begin(), a.end(), 0x3D), 1);
  ASSERT_EQ(answerer().received.size(), 1u);
  expect_same_page(pages[0], answerer().received[0], 3);
}

// In ECM too the user's answer to a page is awaited under TI_TRST.
TEST_F(T30Loop, EcmUnconfirmedPageEndsWithTrst) {
  setup_send({test_page(39)}, 3, 2);
  answerer().answer_end_page = false;
  fake_modem::get().filter = [](uint16_t from, line_item& item) {
    return !(from == kCaller && item.final_fcf() == 0x5F);
  };
  start_call();
  run();
  EXPECT_EQ(answerer().cause, cause(WTRSTATUS));
}

// The modem layer never answers FM_CONN_RQ: the wait ends under T1.
TEST_F(T30Loop, UnansweredModemConnectEndsUnderT1) {
  fake_modem::get().silent_connect = true;
  connect(kAnswerer, 1);
  const uint32_t used = run_until([&] { return answerer().disconnected; }, 100000);
  EXPECT_EQ(answerer().cause, cause(WNOCD));
  EXPECT_GE(used, 38000u);
  EXPECT_LE(used, 38200u);
}

// A PPR that asks for no frame at all is refused.
TEST_F(T30Loop, EcmPprWithoutFramesStopsWithWauxfr) {
  setup_send({test_page(40)}, 3, 2);
  fake_modem::get().filter = [](uint16_t from, line_item& item) {
    if (from == kAnswerer && item.final_fcf() == 0x31) {
      item.frame_list.back() = {0xFF, 0xC8, 0x3D};
      item.frame_list.back().resize(35, 0x00);
    }
    return true;
  };
  start_call();
  run();
  EXPECT_EQ(caller().cause, cause(WAUXFR));
}

// RR sent three times without any answer ends with DCN and WNOMCFR.
TEST_F(T30Loop, EcmUnansweredRrEndsWithWnomcfr) {
  setup_send({test_page(41)}, 3, 2);
  answerer().hold_at_page_start = true;
  int rnr = 0;
  fake_modem::get().filter = [&](uint16_t from, line_item& item) {
    return !(from == kAnswerer && item.final_fcf() == 0x37 && ++rnr > 1);
  };
  start_call();
  run();
  EXPECT_EQ(caller().cause, cause(WNOMCFR));
  const auto c = fcfs(kCaller);
  EXPECT_EQ(std::count(c.begin(), c.end(), 0x76), 3);  // RR
  EXPECT_EQ(c.back(), 0x5F);
}

// The identity given with T30_SETPARM_RQ reaches the other side in the TSI.
TEST_F(T30Loop, IdentityTravelsInTsi) {
  setup_send({test_page(42)});
  caller().identity = "+44 20 7946";
  start_call();
  run();
  ASSERT_TRUE(both_ended());
  bool seen = false;
  for (const auto& [sub, data] : answerer().progress) {
    const std::string text(data.begin(), data.end());
    if (sub == 4 && text.ends_with("+44 20 7946")) seen = true;
  }
  EXPECT_TRUE(seen);
}

// A lower entity that serves V.34 answers that it is not established: the
// call goes on without it.
TEST_F(T30Loop, V34NotEstablishedCallGoesOn) {
  t30_release_all();
  ASSERT_EQ(configure_channel(kCaller, 4, 'L'), OM_OS_OK);
  ASSERT_EQ(configure_channel(kAnswerer, 4, ENT_T38), OM_OS_OK);
  const std::vector<fax_test::page> pages = {test_page(43)};
  setup_send(pages);
  connect(kAnswerer, 1);
  connect(kCaller, 2, true, 33600);
  rt_test::pump();
  send_to_engine('L', T30_V34_NOT_CO, kCaller, {}, kCaller);
  run();
  ASSERT_TRUE(both_ended());
  EXPECT_EQ(caller().cause, kLocalOk);
  ASSERT_EQ(answerer().received.size(), 1u);
  expect_same_page(pages[0], answerer().received[0]);
}

// ---------------------------------------------------------------------------
// Classifier.

bytes frame(uint8_t control, uint8_t fcf, bytes fif = {}) {
  bytes f = {0xFF, control, fcf};
  f.insert(f.end(), fif.begin(), fif.end());
  return f;
}

t30_class classify(const std::vector<bytes>& set) {
  std::vector<std::span<const uint8_t>> spans;
  for (const bytes& b : set) spans.emplace_back(b.data(), b.size());
  return t30_classify(spans);
}

// The runtime's stop releases the channels with their timers and queued
// frames: a second start of the runtime in the same process configures the
// same channels again and runs a call on them.
TEST(T30Entity, RuntimeStopLeavesNoChannelForTheNextStart) {
  const entity_table_row_t table[] = {
      T30_ENTITY_ROW,
      {ENT_FM, fake_modem::handler, 0, 0, nullptr, 0},
      {ENT_CF, fake_users::handler, 0, 0, nullptr, 0},
      {ENT_MT30, rt_test::record_handler, 0, 0, nullptr, 0},
      {ENT_T38, rt_test::record_handler, 0, 0, nullptr, 0},
      {'L', rt_test::record_handler, 0, 0, nullptr, 0},
      {ENT_NIL, nullptr, 0, 0, nullptr, 0},
  };
  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE(round);
    rt_test::use_virtual_clock(1000);
    rt_test::start_manual(table);
    fake_modem::get().reset();
    fake_users::get().reset();
    ASSERT_EQ(configure_channel(kCaller, 4, ENT_T38), OM_OS_OK);
    ASSERT_EQ(configure_channel(kAnswerer, 4, ENT_T38), OM_OS_OK);
    fake_modem::get().link(kCaller, kAnswerer);
    fake_users::get()[kCaller].sender = true;
    fake_users::get()[kCaller].fields = user_fields(false);
    fake_users::get()[kAnswerer].fields = user_fields(false);
    connect(kAnswerer, 1);
    connect(kCaller, 2);
    // The call is under way (its timers run) when the runtime stops.
    (void)run_until([] { return false; }, 2000);
    EXPECT_FALSE(fake_users::get()[kCaller].disconnected);
    fake_modem::get().reset();
    rt_test::stop();
  }
}

TEST(T30Classify, FrameSets) {
  const bytes dis_fif = {0x00, 0x70, 0x1E};
  const bytes tsi = frame(0xC0, 0x42, bytes(20, 0x04));
  struct Case {
    const char* name;
    std::vector<bytes> set;
    t30_class want;
  };
  const Case cases[] = {
      {"DIS", {frame(0xC8, 0x01, dis_fif)}, T30C_DIS},
      {"CSI + DIS", {frame(0xC0, 0x02, bytes(20, 0x04)), frame(0xC8, 0x01, dis_fif)}, T30C_DIS},
      {"DCS X 1", {frame(0xC8, 0xC1, dis_fif)}, T30C_DCS},
      {"DCS X 0", {frame(0xC8, 0x41, dis_fif)}, T30C_DCS},
      {"DTC not DIS", {frame(0xC8, 0x81, dis_fif)}, T30C_DTC},
      {"last frame control C0", {frame(0xC0, 0x01, dis_fif)}, T30C_NONE},
      {"earlier frame not optional", {frame(0xC0, 0x21), frame(0xC8, 0x01, dis_fif)}, T30C_NONE},
      {"CFR of 4 octets", {frame(0xC8, 0x21, {0x00})}, T30C_NONE},
      {"CFR", {frame(0xC8, 0x21)}, T30C_CFR},
      {"PPS of 6 octets", {frame(0xC8, 0x7D, {0x00, 0, 0})}, T30C_NONE},
      {"PPS-NULL", {frame(0xC8, 0x7D, {0x00, 0, 0, 0})}, T30C_PPS_NULL},
      {"PPS-MPS", {frame(0xC8, 0xFD, {0xF2, 0, 0, 0})}, T30C_PPS_MPS},
      {"PPS-PRI-EOP", {frame(0xC8, 0x7D, {0xFC, 0, 0, 0})}, T30C_PPS_EOP},
      {"PPS with an unknown command", {frame(0xC8, 0x7D, {0x03, 0, 0, 0})}, T30C_NONE},
      {"EOR of 3 octets", {frame(0xC8, 0x73)}, T30C_NONE},
      {"EOR-EOM", {frame(0xC8, 0x73, {0xF1})}, T30C_EOR_EOM},
      {"PIN as RTN", {frame(0xC8, 0x34)}, T30C_RTN},
      {"PIP as RTP", {frame(0xC8, 0x35)}, T30C_RTP},
      {"PRI-MPS as MPS", {frame(0xC8, 0x7A)}, T30C_MPS},
      {"NSS + DCS", {frame(0xC0, 0x44, {0x00}), frame(0xC8, 0x41, dis_fif)}, T30C_NONE},
      {"TSI + NSS", {tsi, frame(0xC8, 0x44, {0x00})}, T30C_NSS},
      {"lone optional frame", {frame(0xC8, 0x42, bytes(20, 0x04))}, T30C_NONE},
      {"TSI + MPS", {tsi, frame(0xC8, 0x72)}, T30C_NONE},
      {"short frame", {{0xFF, 0xC8}}, T30C_NONE},
      {"bad address", {{0xFE, 0xC8, 0x5F}}, T30C_NONE},
      {"unknown FCF", {frame(0xC8, 0x11)}, T30C_NONE},
      {"none", {}, T30C_NONE},
      {"nine frames", std::vector<bytes>(8, tsi), T30C_NONE},
      {"PPR", {frame(0xC8, 0x3D, bytes(32, 0))}, T30C_PPR},
      {"CTC", {frame(0xC8, 0x48, {0, 0})}, T30C_CTC},
  };
  for (const Case& k : cases) EXPECT_EQ(classify(k.set), k.want) << k.name;
  std::vector<bytes> nine(8, tsi);
  nine.push_back(frame(0xC8, 0x41, dis_fif));
  EXPECT_EQ(classify(nine), T30C_NONE);
}

TEST(T30Classify, ModulationNames) {
  EXPECT_EQ(t30_modulation_name(0x2081), "CMD V21 300 bps");
  EXPECT_EQ(t30_modulation_name(0x1840), "DATA V17 14400 bps");
  EXPECT_EQ(t30_modulation_name(0x5210), "ECM V29 9600 bps");
  EXPECT_EQ(t30_modulation_name(0x1234), "");
}

}  // namespace
