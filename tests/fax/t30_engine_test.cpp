// The T.30 engine: two channels back to back over the fake modem layer, on
// the virtual clock; the frame classifier; configuration and stops.
#include <gtest/gtest.h>

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

  // The calling side sends `pages`; the answering side receives.
  void setup_send(const std::vector<fax_test::page>& pages, uint8_t coding = 1) {
    fake_user& c = caller();
    c.sender = true;
    c.fields = user_fields(false);
    c.selection = {T30_RES_FINE, coding == 1 ? T30_CODING_MH : T30_CODING_MR, T30_WIDTH_A4};
    // The document's own format.
    c.fields.resolution = c.selection.resolution;
    c.fields.coding = c.selection.coding;
    c.fields.width = c.selection.width;
    for (const auto& p : pages) c.to_send.push_back({fax_test::encode(p, coding)});
    fake_user& a = answerer();
    a.fields = user_fields(false);
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

}  // namespace
