// The IAF fax service and V.25 signalling, two sessions back to back on the
// virtual clock: activations, HDLC frames and page data at every rate
// (whole, and paced within one polling tick), flow control, CED and CNG,
// and bad input.
#include <gtest/gtest.h>

#include <numeric>

#include "common/byte_order.h"
#include "runtime/sock.h"
#include "t38/support/t38iaf_b2b.h"
#include "t38/t38_entity.h"
#include "t38/t38_report.h"

namespace kv::t38::testing {
namespace {

std::vector<u8> pattern(size_t n, u8 seed) {
  std::vector<u8> v(n);
  for (size_t i = 0; i < n; ++i) v[i] = static_cast<u8>(seed + i * 7);
  return v;
}

std::vector<u8> joined(const std::vector<std::vector<u8>>& parts) {
  std::vector<u8> out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

struct rate_case {
  u16 transparent_mode;
  u16 hdlc_mode;
  u32 rate;
  u32 handshake_ms;  // long training
  u8 indicator;
};
constexpr rate_case kRates[] = {
    {0x1102, 0x6102, 2400, 943, T38_IND__V27_2400_TRAINING},
    {0x1104, 0x6104, 4800, 707, T38_IND__V27_4800_TRAINING},
    {0x1208, 0x6208, 7200, 233, T38_IND__V29_7200_TRAINING},
    {0x1210, 0x6210, 9600, 233, T38_IND__V29_9600_TRAINING},
    {0x1820, 0x6820, 12000, 1393, T38_IND__V17_12000_LONG_TRAINING},
    {0x1840, 0x6840, 14400, 1393, T38_IND__V17_14400_LONG_TRAINING},
};

class IafTest : public T38IafB2B {};

// One polling tick as the runtime delivers it: the IAF polling timer asks
// for 10 ms, and the runtime's timing wheel (10 ms turns) fires a timer no
// earlier than two turns after its start.  Every timed event may come up
// to one such tick late; the overrun carried into the next packet keeps
// the rate exact over a transmission.
constexpr long kTick = 20;

t38_session& session_of(nai_t n) { return *t38__find_session(n); }

TEST_F(IafTest, ActivationAnswersAndRefusesASecondOne) {
  start();
  EXPECT_TRUE(iaf.find(session_of(kA))->active);
  EXPECT_EQ(request(ENT_FOIP, T38__ACT_RQ, {}, kA, T38__SAPI_MANAGEMENT), std::vector<u8>{})
      << "already active: no answer";
  auto co = request(ENT_FOIP, T38__DEA_RQ, {}, kA, T38__SAPI_MANAGEMENT);
  ASSERT_EQ(co.size(), T38__DEA_IN_SIZE);
  EXPECT_EQ(co[0], 2);
  EXPECT_FALSE(iaf.find(session_of(kA))->active);
  // Fax primitives are refused while inactive: nothing is sent.
  fax_act(kA, 1, 0x1840);
  advance(100);
  EXPECT_TRUE(progress(kA).empty());
}

// The last frame of a call (the DCN) ends its UDPTL stream: no later
// datagram carries it as redundancy.  Stopping the session sends that last
// datagram twice more, as it stands, so that a far end that lost it still
// gets it; a session that was never active sends nothing.
TEST_F(IafTest, StoppingResendsTheLastDatagramTwice) {
  std::vector<std::vector<u8>> out;
  ip_tap = [&out](nai_t nai, const std::vector<u8>& d) {
    if (nai == kA) out.push_back(d);
  };
  start();
  const std::vector<u8> dcn{0xFF, 0x13, 0xFB};
  fax_act(kA, 1, 0x2081);
  fax_da(kA, dcn, 1);
  ASSERT_TRUE(run_until([&] { return progress_time(kA, T38IAF__FAX_END_OF_DATA) >= 0; }, 3000));
  advance(40);
  ASSERT_FALSE(out.empty());
  const std::vector<u8> last = out.back();
  const size_t before = out.size();
  const u32 idle_before = session_of(kA).ifp.cnt.idle_sent;
  ASSERT_EQ(request(ENT_FOIP, T38__DEA_RQ, {}, kA, T38__SAPI_MANAGEMENT).size(), T38__DEA_IN_SIZE);
  ASSERT_EQ(out.size(), before + 2);
  EXPECT_EQ(out[before], last);
  EXPECT_EQ(out[before + 1], last);
  EXPECT_EQ(session_of(kA).ifp.cnt.idle_sent, idle_before + 2);
  // Stopped already: a second stop sends nothing more.
  (void)request(ENT_FOIP, T38__DEA_RQ, {}, kA, T38__SAPI_MANAGEMENT);
  EXPECT_EQ(out.size(), before + 2);
}

TEST_F(IafTest, PageDataAtEveryRateArrivesWholeAndPaced) {
  for (const rate_case& rc : kRates) {
    SCOPED_TRACE(rc.rate);
    start();
    fax_act(kB, 2, rc.transparent_mode);
    fax_act(kA, 1, rc.transparent_mode);
    const u32 act_at = rt_test::virtual_now();
    EXPECT_GE(progress_time(kB, T38IAF__FAX_CD_ON), 0) << "the receiver saw the training indicator";
    // 2000 bytes in three requests, the last one marked, queued while the
    // training runs.
    const std::vector<u8> page = pattern(2000, static_cast<u8>(rc.rate / 100));
    fax_da(kA, {page.begin(), page.begin() + 700}, 0);
    fax_da(kA, {page.begin() + 700, page.begin() + 1400}, 0);
    fax_da(kA, {page.begin() + 1400, page.end()}, 1);
    ASSERT_TRUE(run_until([&] { return progress_time(kA, T38IAF__FAX_CTS_ON__RDY_FOR_DATA) >= 0; }, 3000));
    const long cts = progress_time(kA, T38IAF__FAX_CTS_ON__RDY_FOR_DATA);
    EXPECT_NEAR(cts - static_cast<long>(act_at), static_cast<long>(rc.handshake_ms), kTick);
    ASSERT_TRUE(run_until([&] { return progress_time(kA, T38IAF__FAX_END_OF_DATA) >= 0; }, 20000));
    const long end = progress_time(kA, T38IAF__FAX_END_OF_DATA);
    const long expected = static_cast<long>(page.size()) * 8000 / static_cast<long>(rc.rate);
    EXPECT_NEAR(end - cts, expected, kTick) << "paced at the bit rate";
    ASSERT_TRUE(run_until([&] { return progress_time(kB, T38IAF__FAX_CD_OFF) >= 0; }, 1000));
    EXPECT_EQ(joined(received(kB)), page);
    EXPECT_EQ(error_reports(kA) + error_reports(kB), 0) << "no trap on the way";
    fax_dea(kA);
    fax_dea(kB);
    EXPECT_EQ(iaf.find(session_of(kA))->state, STATE__IDLE);
    request(ENT_FOIP, T38__RESET_CONFIG_RQ, {}, kA, T38__SAPI_MANAGEMENT);
    request(ENT_FOIP, T38__RESET_CONFIG_RQ, {}, kB, T38__SAPI_MANAGEMENT);
    EXPECT_FALSE(iaf.polling_running());
    fm_log->clear();
  }
}

TEST_F(IafTest, PageDataAndFramesOverTpkt) {
  // As the FOIP entity configures a TCP session: no datagram sizes.
  start([](t38_session_entry& e) {
    e.ip.media_transport = T38__MEDIA_TPKT;
    e.caps.fax_max_buffer_size = 0;
    e.caps.max_datagram_size = 0;
  });
  fax_act(kB, 2, 0x1840);
  fax_act(kA, 1, 0x1840);
  const std::vector<u8> page = pattern(3000, 4);
  fax_da(kA, page, 1);
  ASSERT_TRUE(run_until([&] { return progress_time(kA, T38IAF__FAX_END_OF_DATA) >= 0; }, 5000));
  EXPECT_NEAR(progress_time(kA, T38IAF__FAX_END_OF_DATA) - progress_time(kA, T38IAF__FAX_CTS_ON__RDY_FOR_DATA),
              3000L * 8000 / 14400, kTick);
  ASSERT_TRUE(run_until([&] { return progress_time(kB, T38IAF__FAX_CD_OFF) >= 0; }, 1000));
  EXPECT_EQ(joined(received(kB)), page);
  // Packets of the configured 20 ms (36 bytes), not of one byte each.
  EXPECT_LE(received(kB).size(), page.size() / 30);
  fax_dea(kA);
  fax_dea(kB);
  fm_log->clear();
  const std::vector<std::vector<u8>> frames{{0xFF, 0x03, 0x42, 'a', 'b'}, {0xFF, 0x13, 0x82, 0x00, 0x44}};
  fax_act(kA, 2, 0x2081);
  fax_act(kB, 1, 0x2081);
  for (size_t i = 0; i < frames.size(); ++i) fax_da(kB, frames[i], i + 1 == frames.size());
  ASSERT_TRUE(run_until([&] { return received(kA).size() == frames.size(); }, 5000));
  EXPECT_EQ(received(kA), frames);
}

TEST_F(IafTest, HdlcFramesAtEveryRateArriveWholeAndPaced) {
  struct hdlc_case {
    u16 mode;
    u32 rate;
    u32 extra;  // bytes of flags and FCS counted per frame
  };
  std::vector<hdlc_case> cases{{0x2081, 300, 4}};
  for (const rate_case& rc : kRates) cases.push_back({rc.hdlc_mode, rc.rate, 25});
  for (const hdlc_case& hc : cases) {
    SCOPED_TRACE(hc.rate);
    start();
    fax_act(kB, 2, hc.mode);
    fax_act(kA, 1, hc.mode);
    // V.21 frames as T.30 sends them, ECM frames of 256 bytes of data.
    std::vector<std::vector<u8>> frames;
    if (hc.rate == 300) {
      frames = {{0xFF, 0x03, 0x40, 'a', 'b', 'c'}, {0xFF, 0x13, 0x84}};
    } else {
      for (u8 k = 0; k < 3; ++k) {
        std::vector<u8> f{0xFF, 0x03, 0x06, k};
        auto body = pattern(256, k);
        f.insert(f.end(), body.begin(), body.end());
        frames.push_back(f);
      }
    }
    for (size_t i = 0; i < frames.size(); ++i) fax_da(kA, frames[i], i + 1 == frames.size());
    ASSERT_TRUE(run_until([&] { return progress_time(kA, T38IAF__FAX_CTS_ON__RDY_FOR_DATA) >= 0; }, 3000));
    const long cts = progress_time(kA, T38IAF__FAX_CTS_ON__RDY_FOR_DATA);
    ASSERT_TRUE(run_until([&] { return received(kB).size() == frames.size(); }, 20000));
    EXPECT_EQ(received(kB), frames);
    // Each frame leaves once the previous one has had its time on the line.
    const auto in = events(kB, T38IAF__FAX_DA_IN);
    long due = cts;
    for (size_t i = 0; i < frames.size(); ++i) {
      EXPECT_NEAR(static_cast<long>(in[i].at), due, kTick) << "frame " << i;
      due += static_cast<long>((frames[i].size() + hc.extra) * 8000 / hc.rate);
    }
    ASSERT_TRUE(run_until([&] { return progress_time(kA, T38IAF__FAX_END_OF_DATA) >= 0; }, 20000));
    EXPECT_NEAR(progress_time(kA, T38IAF__FAX_END_OF_DATA), due, kTick);
    ASSERT_TRUE(run_until([&] { return progress_time(kB, T38IAF__FAX_CD_OFF) >= 0; }, 1000));
    request(ENT_FOIP, T38__RESET_CONFIG_RQ, {}, kA, T38__SAPI_MANAGEMENT);
    request(ENT_FOIP, T38__RESET_CONFIG_RQ, {}, kB, T38__SAPI_MANAGEMENT);
    fm_log->clear();
  }
}

TEST_F(IafTest, PageDataFasterThanTheRateIsQueuedWithFlowControl) {
  start();
  fax_act(kB, 2, 0x1104);
  fax_act(kA, 1, 0x1104);
  // Ten requests at once: far more than 4800 bit/s carry.
  std::vector<u8> page;
  for (int i = 0; i < 10; ++i) {
    auto part = pattern(300, static_cast<u8>(i));
    page.insert(page.end(), part.begin(), part.end());
    fax_da(kA, part, i == 9);
  }
  EXPECT_EQ(events(kA, T38IAF__FAX_BUSY_IN).size(), 1u) << "busy once at the high-water mark";
  EXPECT_TRUE(events(kA, T38IAF__FAX_CLEAR_BUSY_IN).empty());
  ASSERT_TRUE(run_until([&] { return progress_time(kA, T38IAF__FAX_CTS_ON__RDY_FOR_DATA) >= 0; }, 3000));
  const long cts = progress_time(kA, T38IAF__FAX_CTS_ON__RDY_FOR_DATA);
  ASSERT_TRUE(run_until([&] { return progress_time(kA, T38IAF__FAX_END_OF_DATA) >= 0; }, 20000));
  const auto clear = events(kA, T38IAF__FAX_CLEAR_BUSY_IN);
  ASSERT_EQ(clear.size(), 1u) << "clear-busy once, at the low-water mark";
  EXPECT_GT(static_cast<long>(clear[0].at), cts);
  EXPECT_NEAR(progress_time(kA, T38IAF__FAX_END_OF_DATA) - cts, 3000L * 8000 / 4800, kTick);
  ASSERT_TRUE(run_until([&] { return progress_time(kB, T38IAF__FAX_CD_OFF) >= 0; }, 1000));
  EXPECT_EQ(joined(received(kB)), page);
  EXPECT_EQ(error_reports(kA) + error_reports(kB), 0) << "no trap on the way";
}

TEST_F(IafTest, BusyFollowsTheConfiguredWaterMarks) {
  start([](t38_session_entry& e) {
    e.iaf.flow_ctrl_thr_high = 3;
    e.iaf.flow_ctrl_thr_low = 2;
  });
  fax_act(kA, 1, 0x1102);
  // During the handshake every request waits in the fifo.
  for (int i = 0; i < 3; ++i) fax_da(kA, pattern(100, 1), 0);
  EXPECT_EQ(events(kA, T38IAF__FAX_BUSY_IN).size(), 1u);
  fax_da(kA, pattern(100, 1), 1);
  EXPECT_EQ(events(kA, T38IAF__FAX_BUSY_IN).size(), 1u) << "not repeated while busy";
  ASSERT_TRUE(run_until([&] { return !events(kA, T38IAF__FAX_CLEAR_BUSY_IN).empty(); }, 3000));
  EXPECT_EQ(iaf.find(session_of(kA))->fifo.size(), 2u);
}

TEST_F(IafTest, RequestQueuedAfterTheFifoRanDryInIafIafModeIsSent) {
  start();
  // IAF/IAF mode at 9600 bit/s: a transparent page sends no idle bytes.
  std::vector<u8> body{0, 0, 'J', 1};
  body.resize(10, 0);
  put_le32(body.data() + 4, 9600);
  ASSERT_EQ(request(ENT_FOIP, T38__SET_PARAM_RQ, body, kA, T38__SAPI_MANAGEMENT)[0], 2);
  fax_act(kB, 2, 0x1840);
  fax_act(kA, 1, 0x1840);
  advance(20);  // a handshake of 1 ms
  ASSERT_GE(progress_time(kA, T38IAF__FAX_CTS_ON__RDY_FOR_DATA), 0);
  const auto first = pattern(120, 3);
  fax_da(kA, first, 0);
  advance(500);  // the fifo runs dry: no timer runs any more
  ASSERT_EQ(progress(kA).back(), T38IAF__FAX_IDLING);
  const long before = rt_test::virtual_now();
  const auto second = pattern(120, 9);
  fax_da(kA, second, 1);
  ASSERT_TRUE(run_until([&] { return progress_time(kA, T38IAF__FAX_END_OF_DATA) >= 0; }, 2000));
  EXPECT_NEAR(progress_time(kA, T38IAF__FAX_END_OF_DATA) - before, 120L * 8000 / 9600, kTick);
  ASSERT_TRUE(run_until([&] { return progress_time(kB, T38IAF__FAX_CD_OFF) >= 0; }, 1000));
  auto all = first;
  all.insert(all.end(), second.begin(), second.end());
  EXPECT_EQ(joined(received(kB)), all);
}

TEST_F(IafTest, DirectionIsReadFromTheTransmitBit) {
  struct dir_case {
    u16 direction;
    bool transmit;
  };
  for (dir_case dc : {dir_case{1, true}, {5, true}, {17, true}, {2, false}, {6, false}, {18, false}}) {
    SCOPED_TRACE(dc.direction);
    start();
    fax_act(kA, dc.direction, 0x1840);
    EXPECT_EQ(iaf.find(session_of(kA))->state, dc.transmit ? STATE__HDSK_TX : STATE__HDSK_RX);
    advance(1500);
    EXPECT_EQ(progress_time(kA, T38IAF__FAX_CTS_ON__RDY_FOR_DATA) >= 0, dc.transmit);
    request(ENT_FOIP, T38__RESET_CONFIG_RQ, {}, kA, T38__SAPI_MANAGEMENT);
    request(ENT_FOIP, T38__RESET_CONFIG_RQ, {}, kB, T38__SAPI_MANAGEMENT);
    fm_log->clear();
  }
}

TEST_F(IafTest, UnknownSpeedModeLeavesTheAutomatonIdle) {
  start();
  fax_act(kA, 1, 0x1234);
  advance(100);
  EXPECT_EQ(iaf.find(session_of(kA))->state, STATE__IDLE);
  EXPECT_TRUE(progress(kA).empty());
  EXPECT_TRUE(events(kB, T38IAF__FAX_PROGRESS_IN).empty());
}

TEST_F(IafTest, HdlcFramesOfLengthZeroOneAndAboveTheLimit) {
  start();
  fax_act(kB, 2, 0x6840);
  fax_act(kA, 1, 0x6840);
  ASSERT_TRUE(run_until([&] { return progress_time(kA, T38IAF__FAX_CTS_ON__RDY_FOR_DATA) >= 0; }, 3000));
  const std::vector<u8> one{0xFF};
  const std::vector<u8> too_long = pattern(400, 5);  // an ECM frame is at most 260 bytes
  const std::vector<u8> good = pattern(100, 6);
  fax_da(kA, {}, 0);
  fax_da(kA, one, 0);
  fax_da(kA, too_long, 0);
  fax_da(kA, good, 1);
  ASSERT_TRUE(run_until([&] { return progress_time(kA, T38IAF__FAX_END_OF_DATA) >= 0; }, 5000));
  advance(100);
  EXPECT_EQ(received(kB), (std::vector<std::vector<u8>>{one, good}));
  EXPECT_EQ(t38_report__count(session_of(kB), T38__ERR_REPORT__ECM_FRAME_TOO_LONG), 1u);
}

TEST_F(IafTest, EcmFramesAfterADcsFor64ByteFramesAreLimitedTo68Bytes) {
  start();
  // DCS: V.17 14400, ECM with 64-byte frames.
  fax_act(kB, 2, 0x2081);
  fax_act(kA, 1, 0x2081);
  fax_da(kA, {0xFF, 0x13, 0x83, 0x00, 0x20, 0x00, 0x0C}, 1);
  ASSERT_TRUE(run_until([&] { return received(kB).size() == 1; }, 3000));
  EXPECT_EQ(iaf.find(session_of(kB))->call.fact_ecm_size, 64);
  ASSERT_TRUE(run_until([&] { return progress_time(kA, T38IAF__FAX_END_OF_DATA) >= 0; }, 3000));
  fax_dea(kA);
  fax_dea(kB);
  fm_log->clear();
  fax_act(kB, 2, 0x6840);
  fax_act(kA, 1, 0x6840);
  const auto fits = pattern(68, 1);
  const auto too_long = pattern(69, 2);
  fax_da(kA, too_long, 0);
  fax_da(kA, fits, 1);
  ASSERT_TRUE(run_until([&] { return progress_time(kA, T38IAF__FAX_END_OF_DATA) >= 0; }, 3000));
  advance(50);
  EXPECT_EQ(received(kB), (std::vector<std::vector<u8>>{fits}));
  EXPECT_EQ(t38_report__count(session_of(kB), T38__ERR_REPORT__ECM_FRAME_TOO_LONG), 1u);
}

TEST_F(IafTest, ReceivedDataOfTheWrongKindCountsAProtocolError) {
  start();
  fax_act(kB, 2, 0x1840);  // transparent receive
  fax_act(kA, 1, 0x6840);  // but HDLC is sent
  ASSERT_TRUE(run_until([&] { return progress_time(kA, T38IAF__FAX_CTS_ON__RDY_FOR_DATA) >= 0; }, 3000));
  fax_da(kA, pattern(20, 1), 1);
  advance(200);
  EXPECT_TRUE(received(kB).empty());
  const t38iaf_session& b = *iaf.find(session_of(kB));
  EXPECT_GE(b.proto_errors, 1u);
  EXPECT_GE(b.enh[9], 1u);
  // Both travel in the answer to T38__DEA_RQ.
  const u32 errors = b.proto_errors;
  const u16 enh9 = b.enh[9];
  auto co = request(ENT_FOIP, T38__DEA_RQ, {}, kB, T38__SAPI_MANAGEMENT);
  ASSERT_EQ(co.size(), T38__DEA_IN_SIZE);
  EXPECT_EQ(get_le32(co.data() + 4 + 172), errors);
  EXPECT_EQ(get_le16(co.data() + 4 + T38__STATISTICS_SIZE + 2 * 9), enh9);
}

TEST_F(IafTest, V21PreambleWhileListeningGivesAlternateCarrier) {
  start();
  fax_act(kB, 2, 0x1840, 0, 0x08);  // listen for V.21 during the page
  fax_act(kA, 1, 0x2081);           // the far side answers in V.21
  advance(50);
  auto p = progress(kB);
  ASSERT_FALSE(p.empty());
  EXPECT_EQ(p.back(), T38IAF__FAX_ALT_CD_ON);
  // The next V.21 receive starts at once with carrier and flags.
  fax_dea(kB);
  fm_log->clear();
  fax_act(kB, 2, 0x2081);
  EXPECT_EQ(progress(kB), (std::vector<u16>{T38IAF__FAX_CD_ON, T38IAF__FAX_FLAGS_DETECTED}));
  EXPECT_EQ(iaf.find(session_of(kB))->state, STATE__DATA_RX);
}

TEST_F(IafTest, V21PreambleBeforeTheReceiveIsKeptForIt) {
  start();
  // The far side's command starts before this side asks for V.21 (its CNG
  // has just stopped): the receive starts on the preamble and gets the frame.
  fax_act(kA, 1, 0x2081);
  advance(50);
  EXPECT_TRUE(progress(kB).empty());
  fax_act(kB, 2, 0x2081);
  EXPECT_EQ(progress(kB), (std::vector<u16>{T38IAF__FAX_CD_ON, T38IAF__FAX_FLAGS_DETECTED}));
  EXPECT_EQ(iaf.find(session_of(kB))->state, STATE__DATA_RX);
  const std::vector<u8> dis{0xFF, 0x13, 0x80, 0x00, 0x46};
  fax_da(kA, dis, 1);
  ASSERT_TRUE(run_until([&] { return !received(kB).empty(); }, 3000));
  EXPECT_EQ(received(kB), std::vector<std::vector<u8>>{dis});

  // A preamble that ended (no-signal) before the receive is forgotten.
  ASSERT_TRUE(run_until([&] { return progress_time(kA, T38IAF__FAX_END_OF_DATA) >= 0; }, 3000));
  fax_dea(kA);
  fax_dea(kB);
  advance(50);
  fm_log->clear();
  fax_act(kB, 2, 0x2081);
  EXPECT_TRUE(progress(kB).empty());
  EXPECT_EQ(iaf.find(session_of(kB))->state, STATE__HDSK_RX);
}

TEST_F(IafTest, PacketsReceivedWhileSendingWaitForTheNextReceive) {
  start();
  fax_act(kA, 1, 0x1102);
  fax_da(kA, pattern(600, 1), 1);  // two seconds of page at 2400 bit/s
  ASSERT_TRUE(run_until([&] { return progress_time(kA, T38IAF__FAX_SENDING_DATA) >= 0; }, 3000));
  // Meanwhile the far side sends two V.21 frames.
  const std::vector<std::vector<u8>> frames{{0xFF, 0x03, 0x40, 'x'}, {0xFF, 0x13, 0x84}};
  fax_act(kB, 1, 0x2081);
  for (size_t i = 0; i < frames.size(); ++i) fax_da(kB, frames[i], i + 1 == frames.size());
  ASSERT_TRUE(run_until([&] { return progress_time(kB, T38IAF__FAX_END_OF_DATA) >= 0; }, 3000));
  EXPECT_TRUE(received(kA).empty()) << "kept while sending";
  ASSERT_TRUE(run_until([&] { return progress_time(kA, T38IAF__FAX_END_OF_DATA) >= 0; }, 5000));
  fax_dea(kA);
  fax_act(kA, 2, 0x2081);
  EXPECT_EQ(received(kA), frames);
}

// A far side that sends V.21 as a slow modem would: one byte per packet,
// each datagram repeating the three packets before it.
class v21_far_side {
 public:
  // One V.21 transmission of `frame`: preamble, the bytes, the frame end
  // with its FCS, no-signal.
  std::vector<std::vector<u8>> command(const std::vector<u8>& frame) {
    std::vector<std::vector<u8>> out;
    out.push_back(next(ifp(T38_IND__V21_PREAMBLE)));
    for (u8 b : frame) out.push_back(next(ifp(T38IAF__DATA_V21, {{T38_FIELD__HDLC_DATA, {b}}})));
    out.push_back(next(ifp(T38IAF__DATA_V21, {{T38_FIELD__HDLC_FCS_OK_SIG_END, {}}})));
    out.push_back(next(ifp(T38_IND__NO_SIGNAL)));
    return out;
  }
  // V.21 data packets with no preamble before them.
  std::vector<std::vector<u8>> bare_data(size_t n) {
    std::vector<std::vector<u8>> out;
    for (size_t i = 0; i < n; ++i) {
      out.push_back(next(ifp(T38IAF__DATA_V21, {{T38_FIELD__HDLC_DATA, {static_cast<u8>(i)}}})));
    }
    return out;
  }

 private:
  std::vector<u8> next(const std::vector<u8>& primary) {
    std::vector<u8> d = udptl(seq_++, primary, history_);
    history_.insert(history_.begin(), primary);
    if (history_.size() > 3) history_.pop_back();
    return d;
  }
  u16 seq_ = 0;
  std::vector<std::vector<u8>> history_;  // newest first
};

// The far side repeats its command while this side has not yet asked for
// V.21 reception (a busy machine answers late): the repetitions must not
// fill the packet pool, or every datagram after them is refused.  The
// receive asked for then gets the newest command, once.
TEST_F(IafTest, RepeatedV21CommandsBeforeTheReceiveKeepOnlyTheNewest) {
  ip_tap = [](nai_t, const std::vector<u8>&) {};  // only the far side below talks to B
  start();
  const std::vector<u8> dis = pattern(30, 9);
  v21_far_side far;
  for (int repeat = 0; repeat < 3; ++repeat) {
    for (const auto& d : far.command(dis)) deliver(kB, d);
    advance(20);
  }
  const t38_session& b = session_of(kB);
  EXPECT_EQ(b.pools.ifp_packets().congestion_count, 0u) << "high-water " << b.pools.ifp_packets().high_water;
  EXPECT_LT(b.ifp.rx_count, dis.size() + 4) << "one command at most waits for the receive";
  fax_act(kB, 2, 0x2081);
  EXPECT_EQ(received(kB), std::vector<std::vector<u8>>{dis});
  // The session still takes what comes next.
  fax_dea(kB);
  fax_act(kB, 2, 0x2081);
  const std::vector<u8> dcn{0xFF, 0x13, 0xFB};
  for (const auto& d : far.command(dcn)) deliver(kB, d);
  EXPECT_EQ(received(kB), (std::vector<std::vector<u8>>{dis, dcn}));
  EXPECT_LE(b.pools.ifp_packets().in_use, 4u) << "the pool is back at its idle use";
}

// Packets kept while this side sends a page may fill the packet pool: the
// page itself must still go out whole, only the received packets wait.
TEST_F(IafTest, PageGoesOutWholeWhileReceivedPacketsFillThePool) {
  ip_tap = [](nai_t nai, const std::vector<u8>& d) {
    if (nai == kA) Send_msg(socket_msg(SOCK_U_DA_IN, kB, with_source(d)));  // A to B only
  };
  start();
  fax_act(kB, 2, 0x1102);
  fax_act(kA, 1, 0x1102);
  const std::vector<u8> page = pattern(600, 3);  // two seconds at 2400 bit/s
  fax_da(kA, page, 1);
  ASSERT_TRUE(run_until([&] { return progress_time(kA, T38IAF__FAX_SENDING_DATA) >= 0; }, 3000));
  v21_far_side far;
  for (const auto& d : far.bare_data(T38__MAX_NB_IFP_PACKET)) deliver(kA, d);
  EXPECT_GE(session_of(kA).pools.ifp_packets().congestion_count, 1u) << "the case this test is about";
  ASSERT_TRUE(run_until([&] { return progress_time(kB, T38IAF__FAX_CD_OFF) >= 0; }, 5000));
  EXPECT_EQ(joined(received(kB)), page);
}

// A far side that sends no indicators (allowed over TCP) repeats its
// command as bare V.21 data.  Data that came while the answer-tone detector
// was off, and were then forgotten when the detector was reset, must not
// hide the repetition from the detector started next: each repetition
// stands for a preamble as long as the detector knows of none.
TEST_F(IafTest, RepeatedV21DataWithoutIndicatorsReachTheDetector) {
  ip_tap = [](nai_t, const std::vector<u8>&) {};  // only the far side below talks to B
  start();
  v21_far_side far;
  for (const auto& d : far.bare_data(3)) deliver(kB, d);
  EXPECT_EQ(iaf.find(session_of(kB))->v21_preamble_received, 1);
  signal(kB, T38IAF__DEA_SIGNAL_RQ, T38IAF__TONE_DETECTION, T38IAF__TONE_ALL);
  signal(kB, T38IAF__ACT_SIGNAL_RQ, T38IAF__TONE_DETECTION, T38IAF__TONE_CED);
  EXPECT_TRUE(events(kB, T38IAF__SIGNAL_IN).empty());
  advance(3000);
  for (const auto& d : far.bare_data(3)) deliver(kB, d);
  EXPECT_EQ(events(kB, T38IAF__SIGNAL_IN).size(), 1u);
  // Further data of the same command give no second indication.
  for (const auto& d : far.bare_data(3)) deliver(kB, d);
  EXPECT_EQ(events(kB, T38IAF__SIGNAL_IN).size(), 1u);
}

TEST_F(IafTest, DatagramsBeforeActivationAreTakenAfterIt) {
  auto co = request(ENT_FOIP, T38__SET_CONFIG_RQ, t38__session_body({entry(kA), entry(kB)}), 0, T38__SAPI_MANAGEMENT);
  ASSERT_EQ(co[0], 2);
  ASSERT_EQ(request(ENT_FOIP, T38__ACT_RQ, {}, kA, T38__SAPI_MANAGEMENT)[0], 2);
  signal(kA, T38IAF__SIGNAL_RQ, T38IAF__TONE_XMT, T38IAF__TONE_CED);  // B is not active yet
  EXPECT_EQ(iaf.find(session_of(kB))->ced_received, 0);
  ASSERT_EQ(request(ENT_FOIP, T38__ACT_RQ, {}, kB, T38__SAPI_MANAGEMENT)[0], 2);
  EXPECT_EQ(iaf.find(session_of(kB))->ced_received, 1);
  signal(kB, T38IAF__ACT_SIGNAL_RQ, T38IAF__TONE_DETECTION, T38IAF__TONE_CED);
  EXPECT_EQ(events(kB, T38IAF__SIGNAL_IN).size(), 1u);
}

TEST_F(IafTest, FirstPacketWaitsForTheStartTimer) {
  std::vector<u32> sent_at;
  ip_tap = [&](nai_t nai, const std::vector<u8>&) {
    if (nai == kA) sent_at.push_back(rt_test::virtual_now());
  };
  start([](t38_session_entry& e) { e.ip.start_ip_ms = 200; });
  const u32 t0 = rt_test::virtual_now();
  EXPECT_TRUE(sent_at.empty());
  advance(300);
  ASSERT_EQ(sent_at.size(), 1u);
  EXPECT_NEAR(static_cast<long>(sent_at[0] - t0), 200, kTick);
  ip_tap = nullptr;
}

TEST_F(IafTest, RandomPacketsNeverBreakTheSession) {
  start();
  uint32_t seed = 12345;
  auto rnd = [&](uint32_t n) {
    seed = seed * 1103515245u + 12345u;
    return (seed >> 16) % n;
  };
  uint16_t seq = 100;
  for (u16 mode : {0x2081, 0x1840, 0x6840}) {
    SCOPED_TRACE(mode);
    fax_act(kB, 2, mode, 0, 0x08);
    for (int i = 0; i < 300; ++i) {
      std::vector<u8> datagram;
      if (rnd(10) == 0) {
        datagram.resize(rnd(40));
        for (u8& b : datagram) b = static_cast<u8>(rnd(256));
      } else {
        const bool data = rnd(3) != 0;
        const u8 type_byte = data ? static_cast<u8>(0x80 | rnd(9)) : static_cast<u8>(rnd(16));
        std::vector<field_def> fields;
        if (data) {
          for (uint32_t k = 0, n = 1 + rnd(4); k < n; ++k) {
            std::vector<u8> bytes(rnd(4) == 0 ? rnd(600) : rnd(40));
            for (u8& b : bytes) b = static_cast<u8>(rnd(256));
            const u8 type = static_cast<u8>(rnd(8));
            if (type == 0 || type == 6) {
              if (bytes.empty()) bytes.push_back(0x7E);
            } else if (rnd(2) == 0) {
              bytes.clear();  // end markers mostly come without data
            }
            fields.push_back({type, bytes});
          }
        }
        // Sequence numbers jump now and then: losses and repeats.
        seq = static_cast<uint16_t>(seq + (rnd(8) == 0 ? rnd(5) : 1) - (rnd(16) == 0 ? 2 : 0));
        datagram = udptl(seq, ifp(type_byte, fields));
      }
      deliver(kB, datagram);
      if (rnd(20) == 0) advance(20);
    }
    fax_dea(kB);
  }
  EXPECT_FALSE(events(kB, T38IAF__FAX_PROGRESS_IN).empty());
  EXPECT_FALSE(received(kB).empty()) << "some random frames and data went up";
  // The session still carries a page afterwards.
  request(ENT_FOIP, T38__RESET_CONFIG_RQ, {}, kA, T38__SAPI_MANAGEMENT);
  request(ENT_FOIP, T38__RESET_CONFIG_RQ, {}, kB, T38__SAPI_MANAGEMENT);
  fm_log->clear();
  start();
  fax_act(kB, 2, 0x1840);
  fax_act(kA, 1, 0x1840);
  const auto page = pattern(500, 3);
  fax_da(kA, page, 1);
  ASSERT_TRUE(run_until([&] { return progress_time(kB, T38IAF__FAX_CD_OFF) >= 0; }, 5000));
  EXPECT_EQ(joined(received(kB)), page);
}

// ---- V.25

TEST_F(IafTest, CedIsSentDetectedAndEndsAfterItsDuration) {
  start();
  signal(kB, T38IAF__ACT_SIGNAL_RQ, T38IAF__TONE_DETECTION, T38IAF__TONE_CED);
  const u32 t0 = rt_test::virtual_now();
  signal(kA, T38IAF__SIGNAL_RQ, T38IAF__TONE_XMT, T38IAF__TONE_CED);
  auto in = events(kB, T38IAF__SIGNAL_IN);
  ASSERT_EQ(in.size(), 1u);
  EXPECT_EQ(in[0].data, (std::vector<u8>{'t', 0, '0', 0, 0, 0, 0, 0, 0, 0}));
  ASSERT_TRUE(run_until([&] { return !events(kA, T38IAF__SIGNAL_CO).empty(); }, 4000));
  EXPECT_NEAR(static_cast<long>(events(kA, T38IAF__SIGNAL_CO)[0].at - t0), 3000, kTick);
  EXPECT_EQ(events(kA, T38IAF__SIGNAL_CO)[0].data, (std::vector<u8>{'T', 0, '0', 0, 0, 0, 0, 0, 0, 0}));
  // A v21-preamble after the ced gives no second indication.
  fax_act(kA, 1, 0x2081);
  advance(50);
  EXPECT_EQ(events(kB, T38IAF__SIGNAL_IN).size(), 1u);
}

TEST_F(IafTest, CedStoppedEarlyGivesNoConfirm) {
  start();
  signal(kA, T38IAF__SIGNAL_RQ, T38IAF__TONE_XMT, T38IAF__TONE_CED);
  advance(1000);
  signal(kA, T38IAF__DEA_SIGNAL_RQ, T38IAF__TONE_XMT, T38IAF__TONE_CED);
  advance(3000);
  EXPECT_TRUE(events(kA, T38IAF__SIGNAL_CO).empty());
}

TEST_F(IafTest, DetectorStartedAfterAV21PreambleAnswersAtOnce) {
  start();
  fax_act(kA, 1, 0x2081);  // sends the v21-preamble
  advance(10);
  signal(kB, T38IAF__ACT_SIGNAL_RQ, T38IAF__TONE_DETECTION, T38IAF__TONE_CED);
  EXPECT_EQ(events(kB, T38IAF__SIGNAL_IN).size(), 1u);
}

TEST_F(IafTest, CngSendsItsIndicatorWithoutTimer) {
  start();
  signal(kA, T38IAF__SIGNAL_RQ, T38IAF__TONE_XMT, T38IAF__TONE_CNG);
  EXPECT_FALSE(session_of(kA).timers[TI_IAF_CED_XMIT].armed);
  advance(5000);
  EXPECT_TRUE(events(kA, T38IAF__SIGNAL_CO).empty());
  EXPECT_TRUE(events(kB, T38IAF__SIGNAL_IN).empty()) << "cng is no answer tone";
  // Unknown tones and actions get no answer either.
  signal(kA, T38IAF__SIGNAL_RQ, T38IAF__TONE_XMT, '4');
  signal(kA, T38IAF__SIGNAL_RQ, 'X', T38IAF__TONE_CED);
  advance(4000);
  EXPECT_TRUE(events(kA, T38IAF__SIGNAL_CO).empty());
}

// ---- set-up and parameters

TEST_F(IafTest, SetUpRefusesFlowControlMarksOutOfOrder) {
  auto e = entry(kA);
  e.iaf.flow_ctrl_thr_high = 2;
  e.iaf.flow_ctrl_thr_low = 2;
  auto co = request(ENT_FOIP, T38__SET_CONFIG_RQ, t38__session_body({e}), 0, T38__SAPI_MANAGEMENT);
  ASSERT_GE(co.size(), 2u);
  EXPECT_EQ(co[0], 3);
  EXPECT_EQ(co[1], T38IAF__CAUSE_FLOW_CTRL);
  EXPECT_EQ(iaf.polling_users(), 0u);
  EXPECT_FALSE(iaf.polling_running());
}

TEST_F(IafTest, DataRateUpdates) {
  start();
  struct drate_case {
    u32 rate;
    u16 size;
    u8 ret, cause;
    u32 saved;
    u16 packet;
  };
  const u16 max = session_of(kA).adjusted.max_datagram_size;
  for (drate_case dc : {drate_case{0, 0, 2, 2, 14400, max},
                        {9600, 100, 2, 2, 9600, 100},
                        {12000, 60000, 2, 2, 12000, max},
                        {0xFFFFFFFF, 0, 3, 3, 12000, max}}) {
    std::vector<u8> body{0, 0, 'J', 1};
    body.resize(10, 0);
    put_le32(body.data() + 4, dc.rate);
    put_le16(body.data() + 8, dc.size);
    auto co = request(ENT_FOIP, T38__SET_PARAM_RQ, body, kA, T38__SAPI_MANAGEMENT);
    ASSERT_GE(co.size(), 2u);
    EXPECT_EQ(co[0], dc.ret) << dc.rate;
    EXPECT_EQ(co[1], dc.cause) << dc.rate;
    EXPECT_EQ(iaf.find(session_of(kA))->iaf_iaf_rate, dc.saved);
    EXPECT_EQ(iaf.find(session_of(kA))->t38_packet_size, dc.packet);
  }
}

TEST_F(IafTest, PhysicalPrimitivesAreAnsweredAtOnce) {
  start();
  request(ENT_FM, T38IAF__CONN_RQ, {}, kA, T38IAF__SAPI_PHYSICAL);
  request(ENT_FM, T38IAF__DISC_RQ, {}, kA, T38IAF__SAPI_PHYSICAL);
  ASSERT_EQ(events(kA, T38IAF__CONN_CO).size(), 1u);
  EXPECT_EQ(events(kA, T38IAF__CONN_CO)[0].data, (std::vector<u8>{0, 0}));
  ASSERT_EQ(events(kA, T38IAF__DISC_CO).size(), 1u);
}

}  // namespace
}  // namespace kv::t38::testing
