#include "host/support/milestone_fixture.h"

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

#include <spandsp.h>
#include <tiffio.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <algorithm>
#include <filesystem>

#include "host/host.h"
#include "host/support/sip_side_standin.h"
#include "host/support/tessaly_in_process.h"
#include "runtime/msg.h"
#include "runtime/sock.h"
#include "runtime/timer.h"
#include "session/foip/foip.h"
#include "session/foip/foip_t38_mgt.h"
#include "t38/t38_entity.h"

namespace milestone {

using tessaly_test::Reply;
using clock_type = std::chrono::steady_clock;

resources in_use() {
  resources r;
  // What the interrupt side holds in reserve is taken from the pools but
  // belongs to nobody.
  r.msgs = om_os_msg_pool_stats().in_use - om_os_it_msg_pool_stats().count;
  r.buffers = om_os_buffer_pool_stats().in_use - om_os_it_buffer_pool_stats().count - ip_spare_buffer_count();
  r.timers = om_os_timer_pool_stats().in_use;
  r.sockets = ip_socket_count();
  r.t38_sessions = kv::t38::t38__session_count();
  r.foip_sessions = foip__session_count();
  return r;
}

std::string describe(const resources& r) {
  return "messages " + std::to_string(r.msgs) + ", buffers " + std::to_string(r.buffers) + ", timers " +
         std::to_string(r.timers) + ", sockets " + std::to_string(r.sockets) + ", T.38 sessions " +
         std::to_string(r.t38_sessions) + ", FOIP sessions " + std::to_string(r.foip_sessions);
}

std::vector<fax_test::page> three_pages(uint32_t seed) {
  return {fax_test::make_page(fax_test::kind::text, 1728, 120, seed),
          fax_test::make_page(fax_test::kind::lines, 1728, 60, seed + 1),
          fax_test::make_page(fax_test::kind::text, 1728, 100, seed + 2)};
}

uint16_t media_port_shift() {
  const char* shift = std::getenv("MILESTONE_PORT_SHIFT");
  return shift != nullptr ? static_cast<uint16_t>(std::atoi(shift)) : 0;
}

void MilestoneTest::MakeArea(char transport, uint16_t media_port, uint16_t peer_port) {
  media_port = static_cast<uint16_t>(media_port + media_port_shift());
  media_port_ = media_port;
  const std::string cmd =
      "bash " + tessaly_test::source_dir() + "/tools/make-server-area.sh " + area_.path() + " > /dev/null";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  std::string setup = kvtest::ReadFile(area_.File("K-DB/SETUP.INI"));
  tessaly_test::replace_text(setup, "LogLevel: 3", "LogLevel: 1");
  tessaly_test::replace_text(setup, "SIPGatewayPort: 5070", "SIPGatewayPort: " + std::to_string(peer_port));
  tessaly_test::replace_text(setup, "LocalMediaPortStart: 20000", "LocalMediaPortStart: " + std::to_string(media_port));
  kvtest::WriteFile(area_.File("K-DB/SETUP.INI"), setup);
  const std::string kind = transport == 'T' ? "TCP" : "UDP";
  for (const char* name : {"Tessaly/session01.cfg", "Tessaly/session02.cfg"}) {
    std::string cfg = kvtest::ReadFile(area_.File(name));
    tessaly_test::replace_text(cfg, "[General]\n", "[General]\nkind of T.38 transport = " + kind + "\n");
    kvtest::WriteFile(area_.File(name), cfg);
  }
  sip_standin__set_peer({{127, 0, 0, 1}, peer_port});
}

void MilestoneTest::StartTessaly(bool receive) {
  HostOptions o = tessaly_test::test_host_options();
  o.adjust_layer_hooks = sip_standin__install;
  tessaly_test::start_tessaly(area_, o, 0x0901, "F9\\1", receive, tessaly_, exit_code_, controller_);
}

bool MilestoneTest::StopTessaly() { return tessaly_test::stop_tessaly(tessaly_, controller_, exit_code_); }

void MilestoneTest::TearDown() {
  tessaly_test::end_tessaly(tessaly_, controller_, 0x0902, "F9\\2");
  if (::testing::Test::HasFailure() && std::getenv("TESSALY_TEST_LOG")) std::fprintf(stderr, "%s", Log().c_str());
}

std::optional<Reply> MilestoneTest::NextOf(std::initializer_list<uint16_t> kinds, int ms) {
  return tessaly_test::next_of(*controller_, kinds, ms);
}

bool within(const resources& have, const resources& want) {
  return have.msgs <= want.msgs && have.buffers <= want.buffers && have.timers <= want.timers &&
         have.sockets <= want.sockets && have.t38_sessions <= want.t38_sessions &&
         have.foip_sessions <= want.foip_sessions;
}

resources quiet_in_use(int ms) {
  const auto end = clock_type::now() + std::chrono::milliseconds(ms);
  resources last = in_use();
  auto since = clock_type::now();
  while (clock_type::now() < end && clock_type::now() - since < std::chrono::milliseconds(200)) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const resources now = in_use();
    if (!(now == last)) {
      last = now;
      since = clock_type::now();
    }
  }
  return last;
}

bool MilestoneTest::SettlesTo(const resources& want, int ms) {
  const auto end = clock_type::now() + std::chrono::milliseconds(ms);
  while (clock_type::now() < end) {
    if (within(in_use(), want)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return within(in_use(), want);
}

void MilestoneTest::ExpectPages(const std::string& path, const std::vector<fax_test::page>& pages) {
  tessaly_test::expect_pages(path, pages);
}

// Rows of `sent` that arrive in `got` unchanged and in order (the longest
// common run of identical rows, not necessarily adjacent).
static size_t rows_kept(const fax_test::page& sent, const fax_test::page& got) {
  if (sent.width != got.width) return 0;
  const size_t n = sent.height, m = got.height, stride = sent.stride();
  std::vector<std::vector<uint16_t>> best(n + 1, std::vector<uint16_t>(m + 1, 0));
  for (size_t i = 1; i <= n; ++i) {
    for (size_t j = 1; j <= m; ++j) {
      const bool same =
          std::equal(sent.row(uint32_t(i - 1)), sent.row(uint32_t(i - 1)) + stride, got.row(uint32_t(j - 1)));
      best[i][j] = same ? uint16_t(best[i - 1][j - 1] + 1) : std::max(best[i - 1][j], best[i][j - 1]);
    }
  }
  return best[n][m];
}

void MilestoneTest::ExpectPagesThroughLoss(const std::string& path, const std::vector<fax_test::page>& pages) {
  TIFF* t = TIFFOpen(path.c_str(), "r");
  ASSERT_NE(t, nullptr) << path;
  int n = 0;
  do ++n;
  while (TIFFReadDirectory(t));
  TIFFClose(t);
  ASSERT_EQ(n, static_cast<int>(pages.size())) << path;
  for (size_t i = 0; i < pages.size(); ++i) {
    const fax_test::page got = fax_test::libtiff_read(path, static_cast<int>(i));
    const fax_test::page& sent = pages[i];
    ASSERT_EQ(got.width, sent.width) << "page " << i;
    const size_t kept = rows_kept(sent, got);
    // One lost datagram takes the rows it carried: many of a page of
    // short-coded rows.
    const size_t bound = sent.height / 4;
    EXPECT_GE(kept + bound, sent.height) << "page " << i << ": " << kept << " of " << sent.height << " rows arrived";
    EXPECT_LE(got.height, sent.height + bound) << "page " << i;
    if (kept != sent.height || got.height != sent.height) {
      std::printf("[ milestone ] page %zu: %zu of %u rows arrived unchanged, %u received\n", i, kept, sent.height,
                  got.height);
    }
  }
}

void MilestoneTest::SendScenario(char transport, uint16_t media_port, peer_options po, uint16_t want_kind,
                                 int file_compression) {
  const std::vector<fax_test::page> pages = three_pages(media_port);
  po.tcp = transport == 'T';
  po.calling = false;
  po.listen = true;
  po.rx_file = peer_dir_.File("rx.tif");
  po.remote_port = static_cast<uint16_t>(media_port + media_port_shift() + 2);
  t38_live_peer peer(po);
  ASSERT_NE(peer.port(), 0);
  MakeArea(transport, media_port, peer.port());
  fax_test::libtiff_write_fax(PagesFile(), pages, file_compression);
  peer.start();
  StartTessaly(false);
  if (HasFatalFailure()) return;
  const resources before = quiet_in_use(2000);
  const auto started = clock_type::now();
  ASSERT_EQ(controller_->Send(), STATUS_OK);
  std::optional<Reply> r = NextOf({FAX_STATUS_REQUEST_DONE, FAX_STATUS_REQUEST_FAILED}, 5000);
  ASSERT_TRUE(r && r->status.kind == FAX_STATUS_REQUEST_DONE);
  r = NextOf({FAX_STATUS_FAX_SENT, FOIP_STATUS_FAX_NOT_SENT, FOIP_STATUS_FAX_NOT_CONNECTED, FAX_STATUS_SESSION_LOST},
             90000);
  ASSERT_TRUE(r.has_value()) << "no final status";
  EXPECT_EQ(r->status.kind, want_kind) << "value " << r->status.value << " " << r->status.text;
  const double seconds = std::chrono::duration<double>(clock_type::now() - started).count();
  std::printf("[ milestone ] send over %s: %.2f s\n", transport == 'T' ? "TPKT" : "UDPTL", seconds);
  ASSERT_TRUE(peer.wait(20000));
  peer_ecm_used_ = peer.ecm_used.load();
  peer_encoding_ = peer.encoding.load();
  if (want_kind == FAX_STATUS_FAX_SENT) {
    EXPECT_EQ(peer.completion.load(), T30_ERR_OK);
    // Without ECM a datagram lost beyond the redundancy takes the rows it
    // carried with it: T.30 lets such a page through, and so does the check.
    if (po.loss_percent != 0 && !peer_ecm_used_) {
      ExpectPagesThroughLoss(po.rx_file, pages);
    } else {
      ExpectPages(po.rx_file, pages);
    }
  }
  EXPECT_TRUE(SettlesTo(before, 10000)) << describe(in_use()) << "; before the send: " << describe(before);
  EXPECT_TRUE(StopTessaly());
}

void MilestoneTest::ReceiveScenario(char transport, uint16_t media_port, bool peer_no_indicators, int peer_compressions,
                                    bool peer_ecm) {
  const std::vector<fax_test::page> pages = three_pages(media_port);
  peer_options po;
  po.tcp = transport == 'T';
  po.calling = true;
  po.listen = false;
  po.no_indicators = peer_no_indicators;
  po.compressions = peer_compressions;
  po.ecm = peer_ecm;
  po.tx_file = peer_dir_.File("tx.tif");
  po.remote_port = static_cast<uint16_t>(media_port + media_port_shift() + (transport == 'T' ? 0 : 2));
  fax_test::libtiff_write_fax(po.tx_file, pages);
  t38_live_peer peer(po);
  ASSERT_NE(peer.port(), 0);
  MakeArea(transport, media_port, peer.port());
  StartTessaly(true);
  if (HasFatalFailure()) return;
  const resources before = quiet_in_use(2000);
  const auto started = clock_type::now();
  sip_standin__offer_call("0000001");
  std::optional<Reply> r = NextOf({}, 5000);
  ASSERT_TRUE(r && r->type == TESSALY_RING_IN) << "no ring";
  ASSERT_EQ(controller_->Receive(1), STATUS_OK);
  r = NextOf({FAX_STATUS_REQUEST_DONE, FAX_STATUS_REQUEST_FAILED}, 5000);
  ASSERT_TRUE(r && r->status.kind == FAX_STATUS_REQUEST_DONE);
  peer.start();
  r = NextOf({FAX_STATUS_FAX_RECEIVED, FAX_STATUS_FAX_NOT_RECEIVED, FAX_STATUS_SESSION_LOST}, 90000);
  ASSERT_TRUE(r.has_value()) << "no final status; T.38 state " << int(t38_mgt__get_ctx(1).state) << " error "
                             << int(t38_mgt__get_ctx(1).error_source) << "/" << int(t38_mgt__get_ctx(1).error_code)
                             << " session state " << int(foip__session_state(1));
  EXPECT_EQ(r->status.kind, FAX_STATUS_FAX_RECEIVED) << "value " << r->status.value << " " << r->status.text;
  const double seconds = std::chrono::duration<double>(clock_type::now() - started).count();
  std::printf("[ milestone ] receive over %s: %.2f s\n", transport == 'T' ? "TPKT" : "UDPTL", seconds);
  ASSERT_TRUE(peer.wait(20000));
  EXPECT_EQ(peer.completion.load(), T30_ERR_OK);
  ExpectPages(ReceivedFile(), pages);
  EXPECT_TRUE(SettlesTo(before, 10000)) << describe(in_use()) << "; before the call: " << describe(before);
  EXPECT_TRUE(StopTessaly());
}

}  // namespace milestone

#endif
