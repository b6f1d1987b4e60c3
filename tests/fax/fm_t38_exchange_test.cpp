// Two of our stacks (T.30 engine, fax modem layer, T.38 entity with the IAF
// fax service) carry a T.30 exchange over UDPTL on the virtual clock: pages
// arrive whole at every rate, the training check judges each training over
// the real service, and a spoilt training gives FTT and a slower rate.
#include <gtest/gtest.h>

#include "fax/support/fax_test_pages.h"
#include "fax/support/fm_t38_loop.h"
#include "fax/t30_cause.h"

namespace fm_test {
namespace {

using t30_test::fake_user;

fax_test::page test_page(uint32_t seed) { return fax_test::make_page(fax_test::kind::text, 1728, 60, seed); }

class FmExchange : public FmT38Loop {
 protected:
  void setup_send(const std::vector<fax_test::page>& pages) {
    fake_user& c = user(kCaller);
    c.sender = true;
    c.fields = t30_test::user_fields(false);
    c.selection = {T30_RES_FINE, T30_CODING_MH, T30_WIDTH_A4};
    c.fields.resolution = c.selection.resolution;
    c.fields.coding = c.selection.coding;
    c.fields.width = c.selection.width;
    for (const auto& p : pages) c.to_send.push_back({fax_test::encode(p, 1)});
    fake_user& a = user(kAnswerer);
    a.fields = t30_test::user_fields(false);
    a.fields.service = T30_SVC_TRANSMIT;
  }
  void start_call(uint16_t max_speed = 0) {
    t30_test::connect(kAnswerer, 1, false, max_speed);
    t30_test::connect(kCaller, 2, false, max_speed);
  }
  // Rates of the high-speed carriers that the answerer heard.
  std::vector<uint16_t> carrier_rates() const {
    std::vector<uint16_t> out;
    for (const confirm_note& n : *confirms)
      if (n.nai == kAnswerer && n.kind == 'R') out.push_back(n.result);
    return out;
  }
  std::vector<uint16_t> tcf_verdicts() const {
    std::vector<uint16_t> out;
    for (const confirm_note& n : *confirms)
      if (n.nai == kAnswerer && n.kind == 'c') out.push_back(n.result);
    return out;
  }
  void expect_pages(const std::vector<fax_test::page>& pages) {
    ASSERT_EQ(user(kAnswerer).received.size(), pages.size());
    for (size_t i = 0; i < pages.size(); ++i) {
      const fax_test::decoded d = fax_test::decode(user(kAnswerer).received[i], 1, 1728);
      EXPECT_EQ(d.error_lines, 0u);
      EXPECT_TRUE(d.pg == pages[i]) << fax_test::describe_difference(pages[i], d.pg);
    }
  }
};

TEST_F(FmExchange, TwoPagesWithEachModem) {
  // The highest rate of each modem (V.27 ter, V.29, V.17); the rates below
  // them come by fallback (next test).
  for (uint16_t speed : {4800, 9600, 14400}) {
    SCOPED_TRACE(speed);
    TearDown();
    SetUp();
    const std::vector<fax_test::page> pages = {test_page(speed), test_page(speed + 1)};
    setup_send(pages);
    start_call(speed);
    run_until([&] { return both_ended(); }, 300000);
    ASSERT_TRUE(both_ended());
    EXPECT_EQ(user(kCaller).cause, WT3C | WLOCDCOK);
    EXPECT_EQ(user(kAnswerer).cause, WT3C | WREMDCOK);
    EXPECT_EQ(tcf_verdicts(), std::vector<uint16_t>{1}) << "one good training";
    // The training and both pages at the rate.
    EXPECT_EQ(carrier_rates(), std::vector<uint16_t>(3, speed));
    expect_pages(pages);
  }
}

// The first training loses most of its packets on the way: it is too short,
// the answerer says FTT and the caller trains again one rate lower.
TEST_F(FmExchange, ShortTrainingGivesFttAndALowerRate) {
  const std::vector<fax_test::page> pages = {test_page(7)};
  setup_send(pages);
  int dropped = 0;
  line_filter = [&](nai_t from, const std::vector<uint8_t>& datagram) {
    const bool training = from == kCaller && datagram.size() > 30 && tcf_verdicts().empty();
    if (training && ++dropped % 4 != 0) return false;
    return true;
  };
  start_call(14400);
  run_until([&] { return both_ended(); }, 300000);
  ASSERT_TRUE(both_ended());
  EXPECT_EQ(user(kCaller).cause, WT3C | WLOCDCOK);
  ASSERT_EQ(tcf_verdicts().size(), 2u);
  EXPECT_EQ(tcf_verdicts()[0], 3) << "too short";
  EXPECT_EQ(tcf_verdicts()[1], 1);
  ASSERT_GE(carrier_rates().size(), 2u);
  EXPECT_EQ(carrier_rates()[0], 14400);
  EXPECT_EQ(carrier_rates()[1], 12000);
  expect_pages(pages);
}

// The caller takes the DIS as soon as its V.21 carrier ends (the T.30
// response delay is counted from there), without waiting for the carrier to
// come back as it would at 2400 bit/s.
TEST_F(FmExchange, CallerTakesTheDisWhenItsCarrierEnds) {
  setup_send({test_page(9)});
  uint32_t last_from_answerer = 0;
  line_filter = [&](nai_t from, const std::vector<uint8_t>&) {
    if (from == kAnswerer) last_from_answerer = rt_test::virtual_now();
    return true;
  };
  auto caller_has_frames = [&] {
    for (const confirm_note& n : *confirms)
      if (n.nai == kCaller && n.kind == 'f') return true;
    return false;
  };
  start_call();
  run_until(caller_has_frames, 30000);
  ASSERT_TRUE(caller_has_frames());
  EXPECT_LE(rt_test::virtual_now() - last_from_answerer, 20u);
  run_until([&] { return both_ended(); }, 300000);
  EXPECT_EQ(user(kCaller).cause, WT3C | WLOCDCOK);
}

}  // namespace
}  // namespace fm_test
