// The fax modem layer against a recording T.30 engine ('e') and a recording
// fax service ('J') on the virtual clock: configuration, connection, the
// training check (table and over the automaton), held page data, CRP
// repeats, timers, releases and request exhaustion.
#include <gtest/gtest.h>

#include "common/byte_order.h"
#include "fax/fm.h"
#include "fax/t30_engine.h"
#include "runtime/entity.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "runtime/support/rt_harness.h"
#include "runtime/timer.h"

namespace {

using rt_test::seen_msg;

constexpr nai_t kNai = 1;
constexpr u16 kChannel = 7;  // the engine's channel number (connection id)

const entity_table_row_t kTable[] = {
    {ENT_SM, rt_test::record_handler, 0, 0, nullptr, 0},  {ENT_T30, rt_test::record_handler, 0, 0, nullptr, 0},
    {ENT_T38, rt_test::record_handler, 0, 0, nullptr, 0}, {ENT_FM, fm_entity_handler, 0, 0, nullptr, 0},
    {ENT_MFM, mfm_entity_handler, 0, 0, nullptr, 0},      {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

std::vector<u8> words(std::initializer_list<u16> w) {
  std::vector<u8> out(w.size() * 2);
  size_t i = 0;
  for (u16 v : w) put_le16(out.data() + 2 * i++, v);
  return out;
}

u16 word(const seen_msg& m, size_t n) { return m.data.size() >= 2 * n + 2 ? get_le16(m.data.data() + 2 * n) : 0xEEEE; }

class FmTest : public ::testing::Test {
 protected:
  void SetUp() override {
    rt_test::use_virtual_clock(1000);
    rt_test::start_manual(kTable);
    EXPECT_EQ(configure(8), (std::vector<u8>{2, 0, 'F'}));
    send(ENT_T30, FM_CONN_RQ, {0, ENT_T38});
    ASSERT_EQ(up(FM_CONN_IN).size(), 1u);
    rt_test::rec().clear();
  }
  void TearDown() override {
    fm_release_all();
    rt_test::stop();
  }

  std::vector<u8> configure(u16 slots) {
    std::vector<u8> body{ENT_MFM, 0, 0, 0, 0};
    put_le16(body.data() + 3, slots);
    send(ENT_SM, SM_CONFIG_RQ, body, 0, ENT_MFM);
    for (const seen_msg& m : rt_test::rec().messages())
      if (m.to == ENT_SM && m.code == SM_CONFIG_CO) return m.data;
    return {};
  }

  void send(ent_id_t from, code_t code, const std::vector<u8>& body, nai_t nai = kNai, ent_id_t to = ENT_FM,
            u8 sapi = 0) {
    msg_t* m = rt_test::make_msg(from, to, code, body, nai, from == ENT_T30 ? kChannel : OM_OS_CONN_NONE);
    m->sapi = sapi;
    Send_msg(m);
    rt_test::pump();
  }
  void control(char sub, u16 mod, u8 mode = 0, bool restart = false) {
    std::vector<u8> body(FM_CONTROL_RQ_SIZE);
    body[0] = mode;
    put_le16(body.data() + 2, static_cast<u8>(sub));
    put_le16(body.data() + 4, restart ? 1 : 0);
    put_le16(body.data() + 16, mod);
    send(ENT_T30, FM_CONTROL_RQ, body);
  }
  void progress(u16 code, u16 rate) { send(ENT_T38, 'p', words({code, rate, 0}), kNai, ENT_FM, 20); }
  void data_in(const std::vector<u8>& bytes) {
    msg_t* m = rt_test::make_msg(ENT_T38, ENT_FM, 'c', words({0}), kNai, OM_OS_CONN_NONE);
    m->sapi = 20;
    Msg_attach_chain(m, Store_data_in_buffers(bytes.data(), static_cast<u32>(bytes.size()), nullptr));
    Send_msg(m);
    rt_test::pump();
  }
  void page_rq(u8 tag, u16 last) {
    msg_t* m = rt_test::make_msg(ENT_T30, ENT_FM, FM_DA_RQ, words({last}), kNai, kChannel);
    const u8 bytes[3] = {tag, tag, tag};
    Msg_attach_chain(m, Store_data_in_buffers(bytes, 3, nullptr));
    Send_msg(m);
    rt_test::pump();
  }
  // A fresh channel on the same nai.
  void reconnect() {
    send(ENT_T30, FM_DISC_RQ, words({0, 0, 1}));
    send(ENT_T30, FM_CONN_RQ, {0, ENT_T38});
    rt_test::rec().clear();
  }
  void advance(u32 ms) {
    for (u32 t = 0; t < ms; t += 5) {
      rt_test::advance_clock(5);
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
  static std::vector<seen_msg> up(code_t code) { return to(ENT_T30, code); }
  static std::vector<seen_msg> down(code_t code) { return to(ENT_T38, code); }
  // FM_CONTROL_CO results as (kind, result, value).
  static std::vector<std::tuple<char, u16, u32>> results() {
    std::vector<std::tuple<char, u16, u32>> out;
    for (const seen_msg& m : up(FM_CONTROL_CO))
      out.emplace_back(static_cast<char>(word(m, 0)), word(m, 1), get_le32(m.data.data() + 4));
    return out;
  }
};

// ---------------------------------------------------------------------------

struct tcf_case {
  u16 modulation;
  size_t bytes;
  size_t bad_windows;  // windows holding one non-zero byte
  u16 verdict;
  u16 missing_ms;
};
constexpr tcf_case kTcfCases[] = {
    {0x1102, 382, 0, FM_TCF_SHORT, 226},  // (450 - 382) * 1500 / 450
    {0x1102, 383, 0, FM_TCF_GOOD, 0},    {0x1102, 450, 0, FM_TCF_GOOD, 0},   {0x1102, 450, 5, FM_TCF_GOOD, 0},
    {0x1102, 450, 6, FM_TCF_BAD, 0},     {0x1102, 540, 0, FM_TCF_GOOD, 0},   {0x1102, 541, 0, FM_TCF_BAD, 0},
    {0x1104, 900, 11, FM_TCF_GOOD, 0},   {0x1208, 1148, 0, FM_TCF_GOOD, 0},  {0x1210, 1529, 0, FM_TCF_SHORT, 225},
    {0x1820, 2250, 29, FM_TCF_BAD, 0},   {0x1840, 2700, 33, FM_TCF_GOOD, 0}, {0x1840, 0, 0, FM_TCF_SHORT, 1500},
};

TEST(FmTcfCheck, VerdictsAtEveryRate) {
  for (const tcf_case& c : kTcfCases) {
    fm_tcf_check t;
    t.start(c.modulation);
    std::vector<u8> bytes(c.bytes, 0);
    for (size_t w = 0; w < c.bad_windows; ++w) bytes[w * FM_TCF_WINDOW] = 0x55;
    (void)t.add(bytes);
    const auto r = t.verdict();
    EXPECT_EQ(r.verdict, c.verdict) << std::hex << c.modulation << std::dec << " " << c.bytes;
    EXPECT_EQ(r.missing_ms, c.missing_ms) << std::hex << c.modulation << std::dec << " " << c.bytes;
  }
}

TEST(FmTcfCheck, RowsOutsideTheTableAreZeroAndCountingStopsAboveTheMaximum) {
  EXPECT_EQ(fm_tcf__row(0xFFFF).nominal, 0);  // index 0x403F: past the table
  EXPECT_EQ(fm_tcf__row(0x2081).nominal, 0);
  fm_tcf_check t;
  t.start(0x1102);
  EXPECT_FALSE(t.add(std::vector<u8>(540, 0)));
  EXPECT_TRUE(t.add(std::vector<u8>(5000, 0)));
  EXPECT_EQ(t.bytes(), 541u);
  EXPECT_EQ(t.verdict().verdict, FM_TCF_BAD);
}

TEST_F(FmTest, ConfigurationAndConnection) {
  EXPECT_EQ(configure(3), (std::vector<u8>{2, 0, 'F'})) << "later configurations change nothing";
  send(ENT_SM, SM_RST_CFG_RQ, {ENT_MFM}, 0, ENT_MFM);
  ASSERT_EQ(to(ENT_SM, SM_RST_CFG_CO).size(), 1u);
  EXPECT_EQ(to(ENT_SM, SM_RST_CFG_CO)[0].data, (std::vector<u8>{2, 0, 'F'}));
  rt_test::rec().clear();
  send(ENT_T30, FM_CONN_RQ, {0, ENT_T38});          // connected already
  send(ENT_T30, FM_CONN_RQ, {0, ENT_T38}, 8);       // nai N
  send(ENT_T30, FM_CONN_RQ, {0, ENT_T38}, 0xFFFF);  // no nai
  EXPECT_TRUE(up(FM_CONN_IN).empty());
  send(ENT_MFM, MFM_CONN_RS, {1, 0, 0, 0});
  ASSERT_EQ(up(FM_CONN_IN).size(), 1u);
  EXPECT_EQ(up(FM_CONN_IN)[0].data, words({0}));
  EXPECT_EQ(up(FM_CONN_IN)[0].conn_id, kChannel);
  send(ENT_T30, FM_SYNC_RQ, {});
  EXPECT_EQ(up(FM_SYNC_CO).size(), 1u);
}

// Sub-code 'i' at each rate: receive the training, judge it, then get ready
// to send the answer at V.21 after the turnaround delay.
TEST_F(FmTest, TrainingCheckOverTheServiceAtEveryRate) {
  struct row {
    u16 modulation;
    size_t bytes;
    u16 verdict;
  };
  const row rows[] = {{0x1102, 450, 1},  {0x1104, 700, 3},  {0x1208, 1350, 1},
                      {0x1210, 1800, 1}, {0x1820, 2250, 1}, {0x1840, 2700, 1}};
  for (const row& r : rows) {
    rt_test::rec().clear();
    control('i', r.modulation);
    auto act = down('A');
    ASSERT_EQ(act.size(), 1u) << std::hex << r.modulation;
    EXPECT_EQ(word(act[0], 0), 2);
    EXPECT_EQ(word(act[0], 1), r.modulation);
    progress('<', 2400);
    for (size_t sent = 0; sent < r.bytes; sent += 100)
      data_in(std::vector<u8>(std::min<size_t>(100, r.bytes - sent), 0));
    progress('>', 0);
    ASSERT_EQ(results().size(), 1u);
    EXPECT_EQ(std::get<0>(results()[0]), 'c');
    EXPECT_EQ(std::get<1>(results()[0]), r.verdict) << std::hex << r.modulation;
    EXPECT_EQ(down('B').size(), 1u);
    advance(100);
    act = down('A');
    ASSERT_EQ(act.size(), 2u) << "the answer's V.21 transmission starts after 75 ms";
    EXPECT_EQ(word(act[1], 0), 1);
    EXPECT_EQ(word(act[1], 1), 0x2081);
    reconnect();
  }
}

TEST_F(FmTest, TrainingThatNeverEndsOrNeverComesIsJudged) {
  // Longer than any training at 2400 bit/s: judged bad at once.
  control('i', 0x1102);
  progress('<', 2400);
  data_in(std::vector<u8>(600, 0));
  ASSERT_EQ(results().size(), 1u);
  EXPECT_EQ(results()[0], std::make_tuple('c', u16{0}, u32{0}));
  EXPECT_EQ(down('B').size(), 1u);
  data_in(std::vector<u8>(600, 0));
  progress('>', 0);
  EXPECT_EQ(results().size(), 1u) << "judged once";

  // A carrier, a few bytes, then nothing: too short after the guard.
  reconnect();
  control('i', 0x1102);
  progress('<', 2400);
  data_in(std::vector<u8>(100, 0));
  advance(FM_TCF_GUARD_MS + 100);
  ASSERT_EQ(results().size(), 1u);
  EXPECT_EQ(results()[0], std::make_tuple('c', u16{3}, u32{(450 - 100) * 1500 / 450}));

  // No carrier at all: 'c' 2 after TO_CD.
  reconnect();
  control('i', 0x1102);
  advance(3600);
  ASSERT_EQ(results().size(), 1u);
  EXPECT_EQ(results()[0], std::make_tuple('c', u16{2}, u32{0}));
}

// A page receive listens for V.21 (flag-wait, option 8 of the service) only
// when the engine asks for it and the page comes at 2400 bit/s.
TEST_F(FmTest, PageReceiveListensForV21OnlyAt2400WhenAsked) {
  struct row {
    u8 mode;
    u16 modulation;
    u16 options;
  };
  const row rows[] = {
      {2, 0x1102, 8},  // V.27 ter 2400, flag-wait asked
      {2, 0x1104, 0},  // V.27 ter 4800
      {2, 0x1840, 0},  // V.17 14400
      {0, 0x1102, 0},  // not asked
  };
  for (const row& r : rows) {
    SCOPED_TRACE(testing::Message() << "mode " << int(r.mode) << " modulation " << r.modulation);
    reconnect();
    control('f', r.modulation, r.mode);
    advance(100);
    const auto acts = down('A');
    ASSERT_EQ(acts.size(), 1u);
    EXPECT_EQ(word(acts[0], 0), 2);  // receive
    EXPECT_EQ(word(acts[0], 4), r.options);
  }
}

TEST_F(FmTest, PageDataIsHeldUntilTheFarSideIsReady) {
  control('a', 0x1102);
  EXPECT_TRUE(down('A').empty()) << "75 ms turnaround first";
  advance(100);
  ASSERT_EQ(down('A').size(), 1u);
  EXPECT_EQ(down('A')[0].data, words({1, 0x1102, 0, 0xFFFF, 0}));
  page_rq(1, 0);
  page_rq(2, 0);
  page_rq(3, 1);
  EXPECT_EQ(up(FM_BUSY_IN).size(), 1u);
  EXPECT_TRUE(down('C').empty());
  progress('[', 2400);
  const auto sent = down('C');
  ASSERT_EQ(sent.size(), 3u);
  for (u8 i = 0; i < 3; ++i) EXPECT_EQ(sent[i].data[0], i + 1);
  EXPECT_EQ(up(FM_CLR_BUSY_IN).size(), 1u);
  ASSERT_EQ(up(FM_PROGRESS_IN).size(), 1u);
  EXPECT_EQ(up(FM_PROGRESS_IN)[0].data, words({'X', 2400, 0}));
  page_rq(4, 1);
  EXPECT_EQ(down('C').size(), 4u) << "ready: forwarded at once";
  progress(']', 2400);
  EXPECT_EQ(results(), (std::vector<std::tuple<char, u16, u32>>{{'d', 0, 0}}));
  EXPECT_EQ(down('B').size(), 1u);
}

TEST_F(FmTest, StaleExpiryIsIgnoredAndTheTransmitGuardReleases) {
  control('a', 0x1102);
  advance(100);  // activation; TO_XGUARD running with sequence 1
  auto expiry = [&](u16 id) {
    std::vector<u8> body(TI_EXPIRY_DATA_SIZE);
    put_le16(body.data(), id);
    send(ENT_TI, 27, body);
  };
  expiry(0);
  EXPECT_TRUE(up(FM_DISC_IN).empty());
  expiry(1);
  ASSERT_EQ(up(FM_DISC_IN).size(), 1u);
  EXPECT_EQ(up(FM_DISC_IN)[0].data, words({0x5106}));
  // The slot is free again.
  rt_test::rec().clear();
  send(ENT_T30, FM_CONN_RQ, {0, ENT_T38});
  EXPECT_EQ(up(FM_CONN_IN).size(), 1u);
}

TEST_F(FmTest, SlowV21CarrierSendsNoProgressAndUnreadFramesAskForARepeat) {
  control('e', 0x2081);
  ASSERT_EQ(down('A').size(), 1u);
  EXPECT_EQ(down('A')[0].data, words({2, 0x2081, 0, 0xFFFF, 0}));
  progress('<', 300);
  EXPECT_TRUE(up(FM_PROGRESS_IN).empty());
  data_in({0xFF, 0x13, 0x80});  // a frame with no receive record to hold it: refused
  progress('>', 0);
  advance(3100);  // the carrier is awaited again, then the receive stops
  // A CRP goes out (bit-reversed) after the flags, and the command is
  // received again.
  ASSERT_EQ(down('A').size(), 2u);
  EXPECT_EQ(word(down('A')[1], 0), 1);
  progress('[', 300);
  advance(1100);
  const auto frames = down('C');
  ASSERT_EQ(frames.size(), 1u);
  EXPECT_EQ(frames[0].data, (std::vector<u8>{0xFF, 0x13, 0x1A}));
  EXPECT_TRUE(results().empty());
  progress(']', 300);
  EXPECT_EQ(down('A').size(), 3u) << "receive, CRP, receive again";
  advance(6100);  // T2: nothing more; the repeat limit is reached
  EXPECT_EQ(results(), (std::vector<std::tuple<char, u16, u32>>{{'a', 0, 0}}));
  EXPECT_EQ(down('C').size(), 1u);
}

TEST_F(FmTest, ReleasesByRequestAndByExhaustion) {
  send(ENT_T30, FM_DISC_RQ, words({0x3234, 0, 1}));
  ASSERT_EQ(up(FM_DISC_IN).size(), 1u);
  EXPECT_EQ(up(FM_DISC_IN)[0].data, words({0x5234}));
  EXPECT_EQ(down('B').size(), 1u);
  control('e', 0x2081);
  EXPECT_EQ(down('A').size(), 0u) << "no channel any more";

  send(ENT_T30, FM_CONN_RQ, {0, ENT_T38});
  rt_test::rec().clear();
  // Each 'b' asks for six items; the third finds none free.
  control('b', 0x1102);
  control('b', 0x1102);
  EXPECT_TRUE(up(FM_DISC_IN).empty());
  control('b', 0x1102);
  ASSERT_EQ(up(FM_DISC_IN).size(), 1u);
  EXPECT_EQ(up(FM_DISC_IN)[0].data, words({0x5111}));

  // A release without cause sends nothing up.
  send(ENT_T30, FM_CONN_RQ, {0, ENT_T38});
  rt_test::rec().clear();
  send(ENT_T30, FM_DISC_RQ, words({0, 0, 1}));
  EXPECT_TRUE(up(FM_DISC_IN).empty());
}

// The layer's stop routine gives the channels and their timers back when the
// runtime stops: a second start in the same process connects the same
// channel again.
class FmRestart : public FmTest {
 protected:
  void SetUp() override {}
  void TearDown() override {}
};

TEST_F(FmRestart, RuntimeStopLeavesNoChannelForTheNextStart) {
  const entity_table_row_t table[] = {
      {ENT_SM, rt_test::record_handler, 0, 0, nullptr, 0},
      {ENT_T30, rt_test::record_handler, 0, 0, nullptr, 0},
      {ENT_T38, rt_test::record_handler, 0, 0, nullptr, 0},
      {ENT_FM, fm_entity_handler, 0, 0, nullptr, 0},
      MFM_ENTITY_ROW,
      {ENT_NIL, nullptr, 0, 0, nullptr, 0},
  };
  for (int round = 1; round <= 2; ++round) {
    SCOPED_TRACE(round);
    rt_test::use_virtual_clock(1000);
    rt_test::start_manual(table);
    EXPECT_EQ(configure(8), (std::vector<u8>{2, 0, 'F'}));
    send(ENT_T30, FM_CONN_RQ, {0, ENT_T38});
    EXPECT_EQ(up(FM_CONN_IN).size(), 1u);
    rt_test::stop();
  }
}

}  // namespace
