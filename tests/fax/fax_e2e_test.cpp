// A fax from a TIFF file through the whole stack: on each side the fax
// management entity ENT_FAX, configured with a fax__config as the FOIP
// entity builds it, drives the V.25 set-up entity, the fax session layer, the
// T.30 engine, the modem layer and the T.38 entity's IAF service; datagrams
// go over UDPTL on the virtual clock.  Two of our stacks back to back, and
// ours against spandsp's T.38 terminal in both directions.  The received TIFF
// must decode (with libtiff) to the pages sent and pass `tiffinfo -D`. Two
// of our stacks also over real UDP sockets on 127.0.0.1 in real time.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstring>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "common/byte_order.h"
#include "fax/acu.h"
#include "fax/cf.h"
#include "fax/cf_map.h"
#include "fax/fax_config.h"
#include "fax/fax_entity.h"
#include "fax/fc.h"
#include "fax/fm.h"
#include "fax/support/fax_test_pages.h"
#include "fax/support/fm_t38_loop.h"
#include "fax/support/t38_terminal_peer.h"
#include "fax/t30_cause.h"
#include "fax/t30_engine.h"
#include "runtime/msg.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "runtime/sock.h"
#include "runtime/sock_config.h"
#include "runtime/support/rt_harness.h"
#include "runtime/timer.h"
#include "t38/t38_entity.h"

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)
#include <spandsp.h>
#include <tiffio.h>

namespace fm_test {
namespace {

using bytes = std::vector<uint8_t>;
using page = fax_test::page;

// ENT_SM as far as ENT_FAX needs it: requests go to the entity they name,
// confirms come back to ENT_FAX; everything else is recorded.
void sm_relay(msg_t* m) {
  const bool request = m->code == SM_CONFIG_RQ || m->code == SM_RST_CFG_RQ;
  const bool confirm = m->code == SM_CONFIG_CO || m->code == SM_RST_CFG_CO;
  if (request && m->from == ENT_FAX) {
    m->to = Sm_target(m);
    m->from = ENT_SM;
    Send_msg(m);
    return;
  }
  const bool lower = m->from == ENT_FC || m->from == ENT_MFM || m->from == ENT_ACU || m->from == ENT_CF;
  if (confirm && lower) {
    m->to = ENT_FAX;
    m->from = ENT_SM;
    Send_msg(m);
    return;
  }
  rt_test::record_handler(m);
}

int tiff_pages(const std::string& path) {
  TIFF* t = TIFFOpen(path.c_str(), "r");
  if (!t) return -1;
  int n = 0;
  do ++n;
  while (TIFFReadDirectory(t));
  TIFFClose(t);
  return n;
}

// `tiffinfo -D` on a file: its exit status and everything it printed.
int tiffinfo_d(const std::string& path, std::string& out) {
  const std::string cmd = "tiffinfo -D '" + path + "' 2>&1";
  FILE* f = popen(cmd.c_str(), "r");
  if (!f) return -1;
  char buf[512];
  while (fgets(buf, sizeof buf, f)) out += buf;
  return pclose(f);
}

std::vector<page> three_pages(uint32_t seed) {
  return {fax_test::make_page(fax_test::kind::text, 1728, 80, seed),
          fax_test::make_page(fax_test::kind::lines, 1728, 60, seed + 1),
          fax_test::make_page(fax_test::kind::text, 1728, 100, seed + 2)};
}

// spandsp paced as on a line.
using spandsp_terminal = spandsp_t38_terminal;

// Both fax sides as the FOIP entity sees them: configuration, activation
// and the end of each session; the runtime is run by wait_for.
struct fax_sides {
  virtual ~fax_sides() = default;
  // Runs the runtime until done holds or limit_ms passed.
  virtual void wait_for(const std::function<bool()>& done, uint32_t limit_ms) = 0;

  // Configures ENT_FAX for a nai as the FOIP entity would; the answer's status.
  // `ecm`: the ECM frame size offered and wished ('0' none, '2' 256 octets,
  // '6' 64); `codings`: MH 1, MR 2, MMR 4, both ways.
  int configure(nai_t nai, const std::string& send_file, const std::string& id, char ecm = '0', u8 codings = 1) {
    fax_config_writer c;
    c.u16_at(fax_cfg::NB_SESSIONS, 1);
    c.u16_at(fax_cfg::NAI, nai);
    c.u32_at(fax_cfg::START_TIMER_MS, 10);
    c.byte(fax_cfg::MAX_SPEED, 14);
    c.byte(fax_cfg::MIN_SPEED_ORG, 2);
    c.text(fax_cfg::TMP_PG_FORMAT, fax_cfg::NAME_SIZE, dir.file("pg_%d_%d.tmp"));
    c.byte(fax_cfg::ECM_OFFERED, static_cast<u8>(ecm));
    c.byte(fax_cfg::CODINGS_ANS, codings);
    c.u16_at(fax_cfg::RESOLUTIONS_ANS, 0x7F);
    c.byte(fax_cfg::WIDTH_ANS, '3');
    c.byte(fax_cfg::LENGTH_ANS, 'U');
    c.byte(fax_cfg::LOCAL_ECM, static_cast<u8>(ecm));
    c.byte(fax_cfg::LOCAL_CODINGS, codings);
    c.text(fax_cfg::LOCAL_ID, 20, id);
    if (!send_file.empty()) c.send_file(0, send_file);
    c.u16_at(fax_cfg::COPIES, 1);
    c.text(fax_cfg::RCV_FORMAT, fax_cfg::NAME_SIZE, dir.file("rcv_%d_%d.tif"));
    c.u16_at(fax_cfg::RCV_NUMBER, 7);
    msg_t* m = Alloc_msg();
    Msg_attach_chain(m, Store_data_in_buffers(c.p, FAX_CONFIG_SIZE, nullptr));
    Sm_set_target(m, ENT_FAX);
    m->from = ENT_SM;
    m->to = ENT_FAX;
    m->nai = nai;
    m->sapi = FAX_SAPI;
    m->conn_id = 0xFFFF;
    m->code = SM_CONFIG_RQ;
    Send_msg(m);
    wait_for([&] { return !from_fax(ENT_SM, SM_CONFIG_CO).empty(); }, 2000);
    auto co = from_fax(ENT_SM, SM_CONFIG_CO);
    rt_test::rec().clear();
    return co.empty() || co.back().data.empty() ? -1 : co.back().data[0];
  }
  // FAX__ACT_RQ (1 send, 2 receive) once the start delay has run; the answer's status.
  int activate(nai_t nai, u8 action) {
    wait_for([] { return false; }, 20);
    Send_msg(rt_test::make_msg(ENT_FOIP, ENT_FAX, FAX__ACT_RQ, {0, 0, 0, action}, nai, 0xFFFF));
    rt_test::pump();
    for (const auto& m : rt_test::rec().messages())
      if (m.to == ENT_FOIP && m.code == FAX__ACT_CO && m.nai == nai) return m.data.empty() ? -1 : m.data[0];
    return -1;
  }
  static std::vector<rt_test::seen_msg> from_fax(ent_id_t to, code_t code, nai_t nai = 0) {
    std::vector<rt_test::seen_msg> out;
    for (const auto& m : rt_test::rec().messages())
      if (m.to == to && m.code == code && m.from == ENT_FAX && (nai == 0 || m.nai == nai)) out.push_back(m);
    return out;
  }
  static std::string dump() {
    std::string o;
    for (const auto& m : rt_test::rec().messages()) {
      char b[64];
      std::snprintf(b, sizeof b, "%d->%d %c nai%d [", m.from, m.to, m.code, m.nai);
      o += b;
      for (size_t i = 0; i < m.data.size() && i < 6; ++i) o += std::to_string(m.data[i]) + ",";
      o += "]\n";
    }
    return o;
  }
  bool ended(nai_t nai) { return !from_fax(ENT_FOIP, FAX__DEA_IN, nai).empty(); }
  // End status byte of the session of a nai (2 good), -1 before it ended.
  int end_status(nai_t nai) {
    auto v = from_fax(ENT_FOIP, FAX__DEA_IN, nai);
    return v.empty() || v.back().data.empty() ? -1 : v.back().data[0];
  }
  // End cause byte of the session of a nai, -1 before it ended.
  int end_cause(nai_t nai) {
    auto v = from_fax(ENT_FOIP, FAX__DEA_IN, nai);
    return v.empty() || v.back().data.size() < 2 ? -1 : v.back().data[1];
  }
  // A u16 of the fax__session_status carried by the end of session.
  int status_u16(nai_t nai, u32 off) {
    auto v = from_fax(ENT_FOIP, FAX__DEA_IN, nai);
    if (v.empty() || v.back().data.size() < 4 + off + 2) return -1;
    return get_le16(v.back().data.data() + 4 + off);
  }
  std::string end_text(nai_t nai) {
    auto v = from_fax(ENT_FOIP, FAX__DEA_IN, nai);
    if (v.empty() || v.back().data.size() < 3) return "no end";
    return "status " + std::to_string(v.back().data[0]) + " cause " + std::to_string(v.back().data[1]) + " source " +
           std::to_string(v.back().data[2]);
  }
  // The one received file in the folder.
  std::string received_file() const {
    std::string found;
    for (const auto& e : std::filesystem::directory_iterator(dir.path))
      if (e.path().filename().string().rfind("rcv_", 0) == 0) found = e.path().string();
    return found;
  }
  void expect_received(const std::string& path, const std::vector<page>& pages) {
    ASSERT_FALSE(path.empty());
    ASSERT_EQ(tiff_pages(path), static_cast<int>(pages.size()));
    for (size_t i = 0; i < pages.size(); ++i) {
      const page got = fax_test::libtiff_read(path, static_cast<int>(i));
      EXPECT_TRUE(got == pages[i]) << "page " << i << ": " << fax_test::describe_difference(pages[i], got);
    }
    // Every page tells its resolution in dots per inch.
    TIFF* t = TIFFOpen(path.c_str(), "r");
    ASSERT_NE(t, nullptr);
    do {
      uint16_t unit = 0;
      float x = 0, y = 0;
      EXPECT_TRUE(TIFFGetField(t, TIFFTAG_RESOLUTIONUNIT, &unit));
      EXPECT_TRUE(TIFFGetField(t, TIFFTAG_XRESOLUTION, &x));
      EXPECT_TRUE(TIFFGetField(t, TIFFTAG_YRESOLUTION, &y));
      EXPECT_EQ(unit, RESUNIT_INCH);
      EXPECT_NEAR(x, 204.0, 4.0);
      EXPECT_NEAR(y, 196.0, 4.0);
    } while (TIFFReadDirectory(t));
    TIFFClose(t);
    std::string out;
    EXPECT_EQ(tiffinfo_d(path, out), 0) << out;
    EXPECT_EQ(out.find("rror"), std::string::npos) << out;
    EXPECT_EQ(out.find("arning"), std::string::npos) << out;
  }
  fax_test::temp_dir dir;
};

class FaxE2e : public FmT38Loop, public fax_sides {
 protected:
  void SetUp() override {
    session_layer = cf_entity_handler;
    fax_user = fax_entity_handler;
    FmT38Loop::SetUp();
    // The fax entity configures the session layer (and it the engine).
    t30_release_all();
    fax_entity_init();
    sm_layer = sm_relay;
    rt_test::rec().clear();
  }
  void TearDown() override {
    fax_release_all();
    cf_release_all();
    FmT38Loop::TearDown();
    session_layer = t30_test::fake_users::handler;
    fax_user = rt_test::record_handler;
    sm_layer = rt_test::record_handler;
  }

  void wait_for(const std::function<bool()>& done, uint32_t limit_ms) override { run_until(done, limit_ms); }
  // Runs our side against spandsp until both have ended.
  void run_with(spandsp_terminal& peer) {
    const uint32_t start = rt_test::virtual_now();
    while (!(ended(kCaller) && peer.done) && rt_test::virtual_now() - start < 300000) {
      rt_test::advance_clock(5);
      om_os_timer_poll();
      rt_test::pump();
      peer.step(5, kCaller);
      rt_test::pump();
    }
  }
  // Two of our stacks: the caller sends `tx` to the answerer; runs until
  // both have ended, and both end well.
  void run_two_stacks(const std::string& tx) {
    ASSERT_EQ(configure(kAnswerer, "", "+33 2 RECEIVER"), 2);
    ASSERT_EQ(configure(kCaller, tx, "+33 1 SENDER"), 2);
    ASSERT_EQ(activate(kAnswerer, 2), 2);
    ASSERT_EQ(activate(kCaller, 1), 2);
    run_until([&] { return ended(kCaller) && ended(kAnswerer); }, 300000);
    ASSERT_TRUE(ended(kCaller)) << dump() << "state " << fax_session_state(kCaller);
    ASSERT_TRUE(ended(kAnswerer)) << dump() << "state " << fax_session_state(kAnswerer);
    EXPECT_EQ(end_status(kCaller), 2) << end_text(kCaller);
    EXPECT_EQ(end_status(kAnswerer), 2) << end_text(kAnswerer);
  }
  // Our caller sends `tx` to spandsp's `peer` until both have ended, and
  // both end well.
  void send_to_spandsp(spandsp_terminal& peer, const std::string& tx) {
    ASSERT_EQ(configure(kCaller, tx, "+33 1 SENDER"), 2);
    ASSERT_EQ(activate(kCaller, 1), 2);
    run_with(peer);
    ASSERT_TRUE(ended(kCaller)) << dump() << "state " << fax_session_state(kCaller);
    ASSERT_TRUE(peer.done);
    EXPECT_EQ(peer.completion, T30_ERR_OK);
    EXPECT_EQ(end_status(kCaller), 2) << end_text(kCaller);
  }
};

TEST_F(FaxE2e, ThreePagesFromATiffThroughTwoOfOurStacks) {
  const std::vector<page> pages = three_pages(11);
  const std::string tx = dir.file("tx.tif");
  fax_test::libtiff_write_fax(tx, pages);
  ASSERT_NO_FATAL_FAILURE(run_two_stacks(tx));
  EXPECT_EQ(status_u16(kCaller, fax_st::PAGES_SENT), 3);
  EXPECT_EQ(status_u16(kAnswerer, fax_st::PAGES_RCV), 3);
  expect_received(received_file(), pages);
}

TEST_F(FaxE2e, WeSendThreePagesToSpandsp) {
  const std::vector<page> pages = three_pages(21);
  const std::string tx = dir.file("tx.tif");
  fax_test::libtiff_write_fax(tx, pages);
  const std::string rx = dir.file("spandsp_rx.tif");
  spandsp_terminal peer(false, true);
  t30_set_rx_file(peer.t30(), rx.c_str(), -1);
  ip_tap = [&](nai_t from, const bytes& d) {
    if (from == kCaller) peer.from_us(d);
  };
  ASSERT_NO_FATAL_FAILURE(send_to_spandsp(peer, tx));
  EXPECT_EQ(status_u16(kCaller, fax_st::PAGES_SENT), 3);
  expect_received(rx, pages);
}

// Error correction on the way out: three pages of different lengths, stored
// in MH or MMR, sent to spandsp in ECM frames as stored or converted to the
// coding negotiated; they arrive pixel for pixel.  In MMR the second page
// codes to fewer octets than a message holds inline: its data must still
// reach the engine (they once went in the inline room, which the engine
// reads as the parameter word, and the page went out empty).  Once the
// session is over no message is left behind.
struct ecm_send_case {
  const char* name;
  int file_compression;   // 3 MH, 4 MMR
  u8 codings;             // ours, both ways
  int peer_compressions;  // spandsp's
  int line_coding;        // the coding spandsp saw (its value)
  char ecm;               // our frame size: '2' 256 octets, '6' 64
};

class FaxE2eEcmSend : public FaxE2e, public ::testing::WithParamInterface<ecm_send_case> {};

TEST_P(FaxE2eEcmSend, ThreePagesArriveWhole) {
  const ecm_send_case& c = GetParam();
  const std::vector<page> pages = three_pages(25);
  const std::string tx = dir.file("tx.tif");
  fax_test::libtiff_write_fax(tx, pages, c.file_compression);
  const std::string rx = dir.file("spandsp_rx.tif");
  spandsp_terminal peer(false, true);
  t30_set_rx_file(peer.t30(), rx.c_str(), -1);
  t30_set_ecm_capability(peer.t30(), true);
  t30_set_supported_compressions(peer.t30(), c.peer_compressions);
  ip_tap = [&](nai_t from, const bytes& d) {
    if (from == kCaller) peer.from_us(d);
  };
  ASSERT_EQ(configure(kCaller, tx, "+33 1 SENDER", c.ecm, c.codings), 2);
  const om_os_pool_stats msgs_before = om_os_msg_pool_stats();
  ASSERT_EQ(activate(kCaller, 1), 2);
  run_with(peer);
  ASSERT_TRUE(ended(kCaller)) << dump() << "state " << fax_session_state(kCaller);
  ASSERT_TRUE(peer.done);
  EXPECT_EQ(peer.completion, T30_ERR_OK);
  EXPECT_EQ(end_status(kCaller), 2) << end_text(kCaller);
  t30_stats_t stats{};
  t30_get_transfer_statistics(peer.t30(), &stats);
  EXPECT_NE(stats.error_correcting_mode, 0);
  EXPECT_EQ(stats.encoding, c.line_coding);
  EXPECT_EQ(status_u16(kCaller, fax_st::PAGES_SENT), 3);
  EXPECT_EQ(status_u16(kCaller, fax_st::SENT_GOOD), 3);
  expect_received(rx, pages);
  rt_test::rec().clear();
  wait_for([] { return false; }, 2000);
  EXPECT_EQ(om_os_msg_pool_stats().in_use, msgs_before.in_use);
}

constexpr int kT4 = T30_SUPPORT_T4_1D_COMPRESSION;
constexpr int kAllCodings = T30_SUPPORT_T4_1D_COMPRESSION | T30_SUPPORT_T4_2D_COMPRESSION | T30_SUPPORT_T6_COMPRESSION;

INSTANTIATE_TEST_SUITE_P(
    Codings, FaxE2eEcmSend,
    ::testing::Values(ecm_send_case{"MhAsStored", 3, 7, kT4, T4_COMPRESSION_ITU_T4_1D, '2'},
                      ecm_send_case{"MhConvertedToMmr", 3, 7, kAllCodings, T4_COMPRESSION_ITU_T6, '2'},
                      ecm_send_case{"MmrAsStored", 4, 7, kAllCodings, T4_COMPRESSION_ITU_T6, '2'},
                      ecm_send_case{"MmrConvertedToMh", 4, 7, kT4, T4_COMPRESSION_ITU_T4_1D, '2'},
                      ecm_send_case{"MmrIn64OctetFrames", 4, 7, kAllCodings, T4_COMPRESSION_ITU_T6, '6'}),
    [](const ::testing::TestParamInfo<ecm_send_case>& i) { return std::string(i.param.name); });

// Spoils the page data of one UDPTL datagram (the primary IFP packet only,
// its framing kept) so that the rows it carries do not decode: true when it
// was page data.
bool spoil_page_data(bytes& d) {
  if (d.size() < 4 || (d[2] & 0x80)) return false;  // a short length prefix only
  const size_t ifp = 3, len = d[2];
  if (ifp + len > d.size() || len < 24) return false;
  // Data (not an indicator), with a data field, of a high-speed modulation.
  const u8 type = d[ifp];
  if ((type & 0xC0) != 0xC0 || ((type >> 1) & 0x0F) == 0) return false;
  for (size_t i = ifp + 8; i + 6 < ifp + len; i += 3) d[i] ^= 0xA5;
  return true;
}

// Pages the caller has had answered (its FAX_PG_SENT reports so far).
int pages_answered() {
  int n = 0;
  for (const auto& m : rt_test::rec().messages())
    if (m.from == ENT_FAX && m.to == ENT_FOIP && m.code == FAX__REPORT_IN && m.nai == kCaller && m.data.size() > 4 &&
        m.data[4] == FAX_PG_SENT)
      ++n;
  return n;
}

// Two of our stacks: the receiver refuses the last page once (its data
// spoiled on the way, RTN after EOP). The sender trains again and sends it
// again instead of ending the call, and both sides end well.
TEST_F(FaxE2e, ARefusedLastPageIsTrainedForAndSentAgain) {
  const std::vector<page> pages = three_pages(13);
  const std::string tx = dir.file("tx.tif");
  fax_test::libtiff_write_fax(tx, pages);
  int spoiled = 0;
  ip_tap = [&](nai_t from, const bytes& d) {
    bytes copy = d;
    // The third page's first try: after the second page's answer.
    if (from == kCaller && pages_answered() == 2 && spoil_page_data(copy)) ++spoiled;
    deliver(from == kCaller ? kAnswerer : kCaller, copy);
  };
  ASSERT_NO_FATAL_FAILURE(run_two_stacks(tx));
  EXPECT_GT(spoiled, 0);
  // Both ends see the call end well: the sender's DCN after the page's MCF.
  EXPECT_EQ(end_cause(kCaller), cf_session_cause(WLOCDCOK & 0x3F)) << end_text(kCaller);
  EXPECT_EQ(end_cause(kAnswerer), cf_session_cause(WREMDCOK & 0x3F)) << end_text(kAnswerer);
  EXPECT_EQ(status_u16(kCaller, fax_st::PAGES_SENT), 3);
  EXPECT_EQ(status_u16(kCaller, fax_st::SENT_BAD), 1);
  EXPECT_EQ(status_u16(kCaller, fax_st::SENT_GOOD), 3);
  EXPECT_EQ(status_u16(kAnswerer, fax_st::RCV_BAD), 1);
  // The page received again follows the refused one in the file.
  const std::string rx = received_file();
  ASSERT_EQ(tiff_pages(rx), 4);
  for (int i : {0, 1, 3}) {
    const page got = fax_test::libtiff_read(rx, i);
    const page& want = pages[static_cast<size_t>(i == 3 ? 2 : i)];
    EXPECT_TRUE(got == want) << "page " << i << ": " << fax_test::describe_difference(want, got);
  }
}

// spandsp refuses our second page once (its data spoiled on the way, RTN
// after MPS): the page is trained for and sent again, and spandsp's file
// ends with the three pages.
TEST_F(FaxE2e, SpandspRefusesAPageOnceAndWeSendItAgain) {
  const std::vector<page> pages = three_pages(23);
  const std::string tx = dir.file("tx.tif");
  fax_test::libtiff_write_fax(tx, pages);
  const std::string rx = dir.file("spandsp_rx.tif");
  spandsp_terminal peer(false, true);
  t30_set_rx_file(peer.t30(), rx.c_str(), -1);
  int spoiled = 0;
  ip_tap = [&](nai_t from, const bytes& d) {
    if (from != kCaller) return;
    bytes copy = d;
    if (pages_answered() == 1 && spoil_page_data(copy)) ++spoiled;
    peer.from_us(copy);
  };
  ASSERT_NO_FATAL_FAILURE(send_to_spandsp(peer, tx));
  EXPECT_GT(spoiled, 0);
  EXPECT_EQ(end_cause(kCaller), cf_session_cause(WLOCDCOK & 0x3F)) << end_text(kCaller);
  EXPECT_EQ(status_u16(kCaller, fax_st::PAGES_SENT), 3);
  EXPECT_EQ(status_u16(kCaller, fax_st::SENT_BAD), 1);
  EXPECT_EQ(status_u16(kCaller, fax_st::SENT_GOOD), 3);
  expect_received(rx, pages);
}

// spandsp calls and sends, paced as on a line and as fast as it can.
TEST_F(FaxE2e, SpandspSendsUsThreePagesPacedAndUnpaced) {
  for (bool paced : {true, false}) {
    SCOPED_TRACE(paced ? "paced" : "unpaced");
    if (!paced) {
      TearDown();
      std::filesystem::remove(received_file());
      SetUp();
    }
    const std::vector<page> pages = three_pages(paced ? 31 : 35);
    const std::string tx = dir.file("spandsp_tx.tif");
    fax_test::libtiff_write_fax(tx, pages);
    spandsp_t38_terminal peer(true, paced);
    t30_set_tx_file(peer.t30(), tx.c_str(), -1, -1);
    ip_tap = [&](nai_t from, const bytes& d) {
      if (from == kCaller) peer.from_us(d);
    };
    ASSERT_EQ(configure(kCaller, "", "+33 2 RECEIVER"), 2);
    ASSERT_EQ(activate(kCaller, 2), 2);
    run_with(peer);
    ASSERT_TRUE(ended(kCaller)) << dump() << "state " << fax_session_state(kCaller);
    ASSERT_TRUE(peer.done);
    EXPECT_EQ(peer.completion, T30_ERR_OK);
    EXPECT_EQ(end_status(kCaller), 2) << end_text(kCaller);
    EXPECT_EQ(status_u16(kCaller, fax_st::PAGES_RCV), 3);
    expect_received(received_file(), pages);
  }
}

// Two of our stacks on real UDP sockets of 127.0.0.1 and the real clock,
// with the socket entity below the T.38 entity. Bounded: the call takes
// under half a minute and the wait ends after ninety seconds.
using namespace kv::t38;

void mt30_recorder(msg_t* m) { rt_test::record_handler(m); }

const entity_table_row_t kUdpTable[] = {
    {ENT_SM, sm_relay, 0, 0, nullptr, 0},
    {ENT_FOIP, rt_test::record_handler, 0, 0, nullptr, 0},
    IP_ENTITY_ROW,
    T38_ENTITY_ROW,
    {ENT_T30, t30_entity_handler, 0, 0, nullptr, 0},
    {ENT_FM, fm_entity_handler, 0, 0, nullptr, 0},
    {ENT_MFM, mfm_entity_handler, 0, 0, nullptr, 0},
    {ENT_CF, cf_entity_handler, 0, 0, nullptr, 0},
    {ENT_MT30, mt30_recorder, 0, 0, nullptr, 0},
    {ENT_ACU, acu_entity_handler, 0, 0, nullptr, 0},
    {ENT_FAX, fax_entity_handler, 0, 0, nullptr, 0},
    FC_ENTITY_ROW,
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

class FaxE2eUdp : public ::testing::Test, public fax_sides {
 protected:
  void SetUp() override {
    rt_test::start_manual(kUdpTable);
    fax_entity_init();
    t38_set_iaf_port(&iaf);
    ASSERT_EQ(t38_request(T38__SET_CONFIG_RQ, t38__common_body(3000), 0).size(), 8u);
    for (nai_t n : {kCaller, kAnswerer}) ASSERT_TRUE(udp_socket(n));
    const u16 p1 = ip_socket_port(1, kCaller, 0), p2 = ip_socket_port(1, kAnswerer, 0);
    auto co = t38_request(T38__SET_CONFIG_RQ, t38__session_body({iaf_entry(kCaller, p2), iaf_entry(kAnswerer, p1)}), 0);
    ASSERT_GE(co.size(), 2u);
    ASSERT_EQ(co[0], 2) << "cause " << int(co[1]);
    for (nai_t n : {kCaller, kAnswerer}) ASSERT_EQ(t38_request(T38__ACT_RQ, {}, n), (std::vector<u8>{2, 0, 'J'}));
    rt_test::rec().clear();
  }
  void TearDown() override {
    fax_release_all();
    cf_release_all();
    t30_release_all();
    acu_release_all();
    fm_release_all();
    rt_test::stop();
    t38_set_iaf_port(nullptr);
  }
  void wait_for(const std::function<bool()>& done, uint32_t limit_ms) override {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(limit_ms);
    for (;;) {
      rt_test::pump();
      om_os_timer_poll();
      rt_test::pump();
      if (done() || std::chrono::steady_clock::now() > end) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
  }
  bool udp_socket(nai_t nai) {
    sock_config_entry e;
    e.sapi = 1;
    e.nai = nai;
    e.conn_id = 0;
    e.address_count = 1;
    e.address[0] = 127;
    e.address[3] = 1;
    e.bind_address = 1;
    e.kind = SOCK_KIND_UDP;
    e.control_entity = ENT_FOIP;
    e.data_entity = ENT_T38;
    e.state = 's';
    e.receive_size = 2000;
    rt_test::rec().clear();
    msg_t* m =
        rt_test::make_msg(ENT_SM, ENT_IP, SM_CONFIG_RQ, sock_config_body(0, {e}), OM_OS_NAI_NONE, OM_OS_CONN_NONE);
    Sm_set_target(m, ENT_IP);
    Send_msg(m);
    bool answered = false;
    wait_for(
        [&] {
          for (const auto& s : rt_test::rec().messages())
            if (s.code == SM_CONFIG_CO) answered = true;
          return answered;
        },
        5000);
    return answered && ip_socket_port(1, nai, 0) != 0;
  }

  t38iaf_service iaf;
};

TEST_F(FaxE2eUdp, ThreePagesFromATiffOverUdpOnLoopback) {
  const std::vector<page> pages = three_pages(41);
  const std::string tx = dir.file("tx.tif");
  fax_test::libtiff_write_fax(tx, pages);
  ASSERT_EQ(configure(kAnswerer, "", "+33 2 RECEIVER"), 2);
  ASSERT_EQ(configure(kCaller, tx, "+33 1 SENDER"), 2);
  ASSERT_EQ(activate(kAnswerer, 2), 2);
  ASSERT_EQ(activate(kCaller, 1), 2);
  wait_for([&] { return ended(kCaller) && ended(kAnswerer); }, 90000);
  ASSERT_TRUE(ended(kCaller)) << dump() << "state " << fax_session_state(kCaller);
  ASSERT_TRUE(ended(kAnswerer)) << dump() << "state " << fax_session_state(kAnswerer);
  EXPECT_EQ(end_status(kCaller), 2) << end_text(kCaller);
  EXPECT_EQ(end_status(kAnswerer), 2) << end_text(kAnswerer);
  EXPECT_EQ(status_u16(kCaller, fax_st::PAGES_SENT), 3);
  EXPECT_EQ(status_u16(kAnswerer, fax_st::PAGES_RCV), 3);
  expect_received(received_file(), pages);
}

}  // namespace
}  // namespace fm_test

#endif
