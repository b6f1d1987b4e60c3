// The T.30 engine against spandsp's T.30 over the fake modem layer: a
// 3-page document crosses both ways, as caller and as answerer, pages
// identical.
#include <gtest/gtest.h>

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

#include <tiffio.h>

#include "fax/support/fax_test_pages.h"
#include "fax/support/t30_fake_modem.h"
#include "fax/support/t30_spandsp_peer.h"
#include "fax/t30_cause.h"
#include "fax/t30_engine.h"
#include "runtime/om_os.h"
#include "runtime/support/rt_harness.h"

using namespace t30_test;

namespace {

using bytes = std::vector<uint8_t>;
constexpr uint16_t kChannel = 0;

std::vector<fax_test::page> three_pages() {
  return {fax_test::make_page(fax_test::kind::text, 1728, 150, 21),
          fax_test::make_page(fax_test::kind::lines, 1728, 150, 22),
          fax_test::make_page(fax_test::kind::text, 1728, 150, 23)};
}

int tiff_pages(const std::string& path) {
  TIFF* t = TIFFOpen(path.c_str(), "r");
  if (!t) return 0;
  int n = 0;
  do ++n;
  while (TIFFReadDirectory(t));
  TIFFClose(t);
  return n;
}

class T30Spandsp : public ::testing::Test {
 protected:
  void SetUp() override {
    rt_test::use_virtual_clock(1000);
    rt_test::start_manual(loop_table());
    fake_modem::get().reset();
    fake_users::get().reset();
    ASSERT_EQ(configure_channel(kChannel, 2, ENT_T38), OM_OS_OK);
  }
  void TearDown() override {
    peer.reset();
    t30_release_all();
    fake_modem::get().reset();
    rt_test::pump();
    rt_test::stop();
  }
  fake_user& user() { return fake_users::get()[kChannel]; }

  void configure_peer(bool ecm) {
    t30_state_t* s = peer->state();
    t30_set_tx_ident(s, "SPANDSP PEER");
    t30_set_supported_modems(s, T30_SUPPORT_V27TER | T30_SUPPORT_V29 | T30_SUPPORT_V17);
    t30_set_supported_compressions(s, T30_SUPPORT_T4_1D_COMPRESSION);
    t30_set_ecm_capability(s, ecm);
  }
  void run() {
    run_until([&] { return user().disconnected && peer->done(); }, 300000, [&] { peer->drive(); });
    EXPECT_TRUE(user().disconnected);
    EXPECT_TRUE(peer->done()) << spandsp_log();
  }
  std::unique_ptr<spandsp_peer> peer;
  fax_test::temp_dir dir;
};

// Our engine calls and sends; spandsp answers and receives.
void setup_sender(fake_user& u, const std::vector<fax_test::page>& pages) {
  u.sender = true;
  u.fields = user_fields(false);
  u.selection = {T30_RES_FINE, T30_CODING_MH, T30_WIDTH_A4};
  u.fields.resolution = T30_RES_FINE;
  u.fields.coding = T30_CODING_MH;
  u.fields.width = T30_WIDTH_A4;
  for (const auto& p : pages) u.to_send.push_back({fax_test::encode(p, 1)});
}

class T30SpandspEcm : public T30Spandsp, public ::testing::WithParamInterface<bool> {};

TEST_P(T30SpandspEcm, WeCallAndSendThreePages) {
  const bool ecm = GetParam();
  const auto pages = three_pages();
  fake_user& u = user();
  setup_sender(u, pages);
  if (ecm) {
    u.fields.ecm = 2;
    u.fields.ecm_frame_size = 2;
  }
  peer = std::make_unique<spandsp_peer>(false, kChannel);
  configure_peer(ecm);
  const std::string rx = dir.file("rx.tif");
  t30_set_rx_file(peer->state(), rx.c_str(), -1);
  connect(kChannel, 2);
  rt_test::pump();
  peer->start();
  run();
  EXPECT_EQ(peer->completion(), T30_ERR_OK) << spandsp_log();
  EXPECT_EQ(u.cause, WT3C | WLOCDCOK);
  EXPECT_EQ(u.end_page_co, (std::vector<uint16_t>{T30_RSP_MCF, T30_RSP_MCF, T30_RSP_MCF}));
  ASSERT_EQ(tiff_pages(rx), 3);
  for (int i = 0; i < 3; ++i) {
    const fax_test::page got = fax_test::libtiff_read(rx, i);
    EXPECT_TRUE(got == pages[static_cast<size_t>(i)])
        << "page " << i << ": " << fax_test::describe_difference(pages[static_cast<size_t>(i)], got);
  }
}

// spandsp calls and sends; our engine answers and receives.
TEST_P(T30SpandspEcm, WeAnswerAndReceiveThreePages) {
  const bool ecm = GetParam();
  const auto pages = three_pages();
  fake_user& u = user();
  u.fields = user_fields(ecm, ecm ? 3 : 0);
  u.fields.coding = T30_CODING_MH;
  u.fields.service = T30_SVC_TRANSMIT;
  peer = std::make_unique<spandsp_peer>(true, kChannel);
  configure_peer(ecm);
  const std::string tx = dir.file("tx.tif");
  fax_test::libtiff_write_fax(tx, pages);
  t30_set_tx_file(peer->state(), tx.c_str(), -1, -1);
  connect(kChannel, 1);
  rt_test::pump();
  peer->start();
  run();
  EXPECT_EQ(peer->completion(), T30_ERR_OK) << spandsp_log();
  EXPECT_EQ(u.cause, WT3C | WREMDCOK);
  ASSERT_EQ(u.received.size(), 3u) << spandsp_log();
  for (size_t i = 0; i < 3; ++i) {
    const fax_test::decoded d = fax_test::decode(u.received[i], 1, 1728);
    EXPECT_EQ(d.error_lines, 0u);
    EXPECT_TRUE(d.pg == pages[i]) << "page " << i << ": " << fax_test::describe_difference(pages[i], d.pg);
  }
}

INSTANTIATE_TEST_SUITE_P(Modes, T30SpandspEcm, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& i) { return i.param ? "Ecm" : "Plain"; });

// Our first training reaches spandsp spoiled: it answers FTT and we fall
// back to the next speed; a spoiled second page makes it answer RTN, and we
// retrain and send the page again.
TEST_F(T30Spandsp, FttFallbackAndRtnWhenWeSend) {
  const auto pages = three_pages();
  fake_user& u = user();
  setup_sender(u, pages);
  int tcf = 0, page = 0;
  fake_modem::get().filter = [&](uint16_t, line_item& item) {
    if (item.kind == line_item::tcf && tcf++ == 0) item.good = false;
    if (item.kind == line_item::page_data) {
      if (page == 1)
        for (size_t i = 0; i < item.data.size(); i += 3) item.data[i] ^= 0xA5;
      if (item.last) ++page;
    }
    return true;
  };
  peer = std::make_unique<spandsp_peer>(false, kChannel);
  configure_peer(false);
  const std::string rx = dir.file("rx.tif");
  t30_set_rx_file(peer->state(), rx.c_str(), -1);
  connect(kChannel, 2);
  rt_test::pump();
  peer->start();
  run();
  EXPECT_EQ(peer->completion(), T30_ERR_OK) << spandsp_log();
  EXPECT_EQ(u.cause, WT3C | WLOCDCOK);
  EXPECT_EQ(u.end_page_co, (std::vector<uint16_t>{T30_RSP_MCF, T30_RSP_RTN, T30_RSP_MCF, T30_RSP_MCF}))
      << spandsp_log();
  std::vector<uint16_t> trainings;
  for (const auto& [ch, item] : fake_modem::get().sent)
    if (item.kind == line_item::tcf) trainings.push_back(item.modulation);
  ASSERT_GE(trainings.size(), 3u);
  EXPECT_EQ(trainings[0], 0x1840);
  EXPECT_EQ(trainings[1], 0x1820);
}

// In ECM, a frame lost on its way to spandsp is asked for with PPR and sent
// again.
TEST_F(T30Spandsp, EcmPprWhenWeSend) {
  const auto pages = three_pages();
  fake_user& u = user();
  setup_sender(u, pages);
  u.fields.ecm = 2;
  u.fields.ecm_frame_size = 2;
  int lost = 0;
  fake_modem::get().filter = [&](uint16_t, line_item& item) {
    if (item.kind == line_item::page_data && item.data.size() > 4 && item.data[3] == 2 && lost == 0) {
      ++lost;
      return false;
    }
    return true;
  };
  peer = std::make_unique<spandsp_peer>(false, kChannel);
  configure_peer(true);
  const std::string rx = dir.file("rx.tif");
  t30_set_rx_file(peer->state(), rx.c_str(), -1);
  connect(kChannel, 2);
  rt_test::pump();
  peer->start();
  run();
  EXPECT_EQ(peer->completion(), T30_ERR_OK) << spandsp_log();
  EXPECT_EQ(u.cause, WT3C | WLOCDCOK);
  EXPECT_NE(spandsp_log().find("PPR"), std::string::npos);
  ASSERT_EQ(tiff_pages(rx), 3);
  for (int i = 0; i < 3; ++i) EXPECT_TRUE(fax_test::libtiff_read(rx, i) == pages[static_cast<size_t>(i)]);
}

// In ECM, a frame from spandsp lost on its way to us is asked for with PPR.
TEST_F(T30Spandsp, EcmPprWhenWeReceive) {
  const auto pages = three_pages();
  fake_user& u = user();
  u.fields = user_fields(true, 3);
  u.fields.coding = T30_CODING_MH;
  u.fields.service = T30_SVC_TRANSMIT;
  peer = std::make_unique<spandsp_peer>(true, kChannel);
  configure_peer(true);
  const std::string tx = dir.file("tx.tif");
  fax_test::libtiff_write_fax(tx, pages);
  t30_set_tx_file(peer->state(), tx.c_str(), -1, -1);
  int lost = 0;
  fake_modem::get().filter = nullptr;
  // Items from spandsp reach our modem port through deliver(): drop one
  // data frame there.
  connect(kChannel, 1);
  rt_test::pump();
  peer->drop_data_frame = [&](const std::vector<uint8_t>& f) { return f.size() > 4 && f[3] == 1 && lost++ == 0; };
  peer->start();
  run();
  EXPECT_EQ(peer->completion(), T30_ERR_OK) << spandsp_log();
  EXPECT_EQ(u.cause, WT3C | WREMDCOK);
  EXPECT_GE(lost, 2);  // dropped once, then sent again
  int pprs = 0;
  for (const auto& [ch, item] : fake_modem::get().sent)
    if (item.kind == line_item::frames && item.final_fcf() == 0x3D) ++pprs;
  EXPECT_EQ(pprs, 1);
  ASSERT_EQ(u.received.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    const fax_test::decoded d = fax_test::decode(u.received[i], 1, 1728);
    EXPECT_TRUE(d.pg == pages[i]) << "page " << i;
  }
}

// We answer the second page with RTN: spandsp trains again and goes on.
TEST_F(T30Spandsp, RtnWhenWeReceive) {
  const auto pages = three_pages();
  fake_user& u = user();
  u.fields = user_fields(false);
  u.fields.coding = T30_CODING_MH;
  u.fields.service = T30_SVC_TRANSMIT;
  u.end_page_answers = {T30_RSP_MCF, T30_RSP_RTN};
  peer = std::make_unique<spandsp_peer>(true, kChannel);
  configure_peer(false);
  const std::string tx = dir.file("tx.tif");
  fax_test::libtiff_write_fax(tx, pages);
  t30_set_tx_file(peer->state(), tx.c_str(), -1, -1);
  connect(kChannel, 1);
  rt_test::pump();
  peer->start();
  run();
  EXPECT_EQ(u.cause & 0xFF, WREMDCOK) << spandsp_log();
  ASSERT_GE(u.received.size(), 3u);
  // The pages after the RTN are the document's, in order.
  const size_t n = u.received.size();
  for (size_t i = 0; i < 2; ++i) {
    const fax_test::decoded d = fax_test::decode(u.received[n - 2 + i], 1, 1728);
    EXPECT_TRUE(d.pg == pages[1 + i]) << fax_test::describe_difference(pages[1 + i], d.pg);
  }
  int dcs = 0;
  for (const auto& [ch, item] : fake_modem::get().sent)
    if (item.kind == line_item::frames && item.final_fcf() == T30_FCF_CFR) ++dcs;
  EXPECT_EQ(dcs, 2);  // a second training after the RTN
}

}  // namespace

#else
TEST(T30Spandsp, NotInstalled) { GTEST_SKIP() << "spandsp or libtiff not installed"; }
#endif
