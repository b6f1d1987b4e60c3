#include "host/support/milestone_fixture.h"

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

#include <spandsp.h>
#include <tiffio.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

#include "host/host.h"
#include "host/support/sip_side_standin.h"
#include "runtime/msg.h"
#include "runtime/sock.h"
#include "runtime/timer.h"
#include "session/foip.h"
#include "session/foip_t38_mgt.h"
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

namespace {

// The source tree, from where this file lies in it.
std::string SourceDir() {
  const std::string me = __FILE__;
  return me.substr(0, me.rfind("/tests/host/support/"));
}

void Replace(std::string& text, const std::string& from, const std::string& to) {
  const std::size_t at = text.find(from);
  ASSERT_NE(at, std::string::npos) << from;
  text.replace(at, from.size(), to);
}

}  // namespace

void MilestoneTest::MakeArea(char transport, uint16_t media_port, uint16_t peer_port) {
  media_port_ = media_port;
  const std::string cmd = "bash " + SourceDir() + "/tools/make-server-area.sh " + area_.path() + " > /dev/null";
  ASSERT_EQ(std::system(cmd.c_str()), 0);
  std::string setup = kvtest::ReadFile(area_.File("K-DB/SETUP.INI"));
  Replace(setup, "LogLevel: 3", "LogLevel: 1");
  Replace(setup, "SIPGatewayPort: 5070", "SIPGatewayPort: " + std::to_string(peer_port));
  Replace(setup, "LocalMediaPortStart: 20000", "LocalMediaPortStart: " + std::to_string(media_port));
  kvtest::WriteFile(area_.File("K-DB/SETUP.INI"), setup);
  const std::string kind = transport == 'T' ? "TCP" : "UDP";
  for (const char* name : {"Tessaly/session01.cfg", "Tessaly/session02.cfg"}) {
    std::string cfg = kvtest::ReadFile(area_.File(name));
    Replace(cfg, "[General]\n", "[General]\nkind of T.38 transport = " + kind + "\n");
    kvtest::WriteFile(area_.File(name), cfg);
  }
  sip_standin__set_peer({{127, 0, 0, 1}, peer_port});
}

void MilestoneTest::StartTessaly(bool receive) {
  setenv("KORVANE_INI_PATH", area_.File("KORVANE.INI").c_str(), 1);
  setenv("KORVANE_MAILSLOT_DIR", area_.File("mailslot").c_str(), 1);
  HostOptions o;
  o.loop_ms = 100;
  o.send_poll_ms = 50;
  o.shutdown_passes = 50;
  o.exit_wait_ms = 10000;
  o.adjust_layer_hooks = sip_standin__install;
  tessaly_ = std::thread([this, o] { exit_code_ = TessalyMain(o); });
  controller_ = std::make_unique<tessaly_test::ScriptedController>(0x0901, "F9\\1");
  ASSERT_TRUE(controller_->ok());
  // The request slot exists once the runtime is up.
  StatusWord sent = STATUS_MAILSLOT_MISSING;
  for (int i = 0; i < 200 && sent != STATUS_OK; ++i) {
    sent = controller_->Register();
    if (sent != STATUS_OK) std::this_thread::sleep_for(std::chrono::milliseconds(25));
  }
  ASSERT_EQ(sent, STATUS_OK);
  std::optional<Reply> r = controller_->Next(5000);
  ASSERT_TRUE(r && r->type == TESSALY_FAX_STATUS && r->status.kind == FAX_STATUS_REQUEST_DONE);
  ASSERT_EQ(controller_->Status(receive ? 1 : 0), STATUS_OK);
  r = controller_->Next(5000);
  ASSERT_TRUE(r && r->type == TESSALY_FAX_STATUS && r->status.kind == FAX_STATUS_REQUEST_DONE);
  // FOIP is configured (its SIP side by the stand-in) before anything starts.
  const auto end = clock_type::now() + std::chrono::seconds(10);
  while (clock_type::now() < end && Log().find("FOIP__SET_CONFIG_CO Return code         : OK") == std::string::npos)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  ASSERT_NE(Log().find("FOIP__SET_CONFIG_CO Return code         : OK"), std::string::npos);
}

bool MilestoneTest::StopTessaly() {
  if (!tessaly_.joinable()) return true;
  if (controller_) (void)controller_->Shutdown();
  tessaly_.join();
  return exit_code_ == 0;
}

void MilestoneTest::TearDown() {
  if (tessaly_.joinable()) {
    if (!controller_ || controller_->Shutdown() != STATUS_OK) {
      tessaly_test::ScriptedController c(0x0902, "F9\\2");
      (void)c.Shutdown();
    }
    tessaly_.join();
  }
  controller_.reset();
  if (::testing::Test::HasFailure() && std::getenv("TESSALY_TEST_LOG")) std::fprintf(stderr, "%s", Log().c_str());
  unsetenv("KORVANE_INI_PATH");
  unsetenv("KORVANE_MAILSLOT_DIR");
}

std::optional<Reply> MilestoneTest::NextOf(std::initializer_list<uint16_t> kinds, int ms) {
  const auto end = clock_type::now() + std::chrono::milliseconds(ms);
  while (clock_type::now() < end) {
    const int left = int(std::chrono::duration_cast<std::chrono::milliseconds>(end - clock_type::now()).count());
    std::optional<Reply> r = controller_->Next(left > 0 ? left : 1);
    if (!r) break;
    if (r->type != TESSALY_FAX_STATUS) {
      if (kinds.size() == 0) return r;
      continue;
    }
    for (uint16_t k : kinds)
      if (r->status.kind == k) return r;
  }
  return std::nullopt;
}

bool MilestoneTest::SettlesTo(const resources& want, int ms) {
  const auto end = clock_type::now() + std::chrono::milliseconds(ms);
  while (clock_type::now() < end) {
    if (in_use() == want) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return in_use() == want;
}

void MilestoneTest::ExpectPages(const std::string& path, const std::vector<fax_test::page>& pages) {
  TIFF* t = TIFFOpen(path.c_str(), "r");
  ASSERT_NE(t, nullptr) << path;
  int n = 0;
  do ++n;
  while (TIFFReadDirectory(t));
  TIFFClose(t);
  ASSERT_EQ(n, static_cast<int>(pages.size())) << path;
  for (size_t i = 0; i < pages.size(); ++i) {
    const fax_test::page got = fax_test::libtiff_read(path, static_cast<int>(i));
    EXPECT_TRUE(got == pages[i]) << "page " << i << ": " << fax_test::describe_difference(pages[i], got);
  }
}

void MilestoneTest::SendScenario(char transport, uint16_t media_port, peer_options po, uint16_t want_kind) {
  const std::vector<fax_test::page> pages = three_pages(media_port);
  po.tcp = transport == 'T';
  po.calling = false;
  po.listen = true;
  po.rx_file = peer_dir_.File("rx.tif");
  po.remote_port = static_cast<uint16_t>(media_port + 2);
  t38_live_peer peer(po);
  ASSERT_NE(peer.port(), 0);
  MakeArea(transport, media_port, peer.port());
  fax_test::libtiff_write_fax(PagesFile(), pages);
  peer.start();
  StartTessaly(false);
  if (HasFatalFailure()) return;
  const resources before = in_use();
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
  if (want_kind == FAX_STATUS_FAX_SENT) {
    EXPECT_EQ(peer.completion.load(), T30_ERR_OK);
    ExpectPages(po.rx_file, pages);
  }
  EXPECT_TRUE(SettlesTo(before, 5000)) << describe(in_use()) << "; before the send: " << describe(before);
  EXPECT_TRUE(StopTessaly());
}

void MilestoneTest::ReceiveScenario(char transport, uint16_t media_port) {
  const std::vector<fax_test::page> pages = three_pages(media_port);
  peer_options po;
  po.tcp = transport == 'T';
  po.calling = true;
  po.listen = false;
  po.tx_file = peer_dir_.File("tx.tif");
  po.remote_port = transport == 'T' ? media_port : static_cast<uint16_t>(media_port + 2);
  fax_test::libtiff_write_fax(po.tx_file, pages);
  t38_live_peer peer(po);
  ASSERT_NE(peer.port(), 0);
  MakeArea(transport, media_port, peer.port());
  StartTessaly(true);
  if (HasFatalFailure()) return;
  const resources before = in_use();
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
  EXPECT_TRUE(SettlesTo(before, 5000)) << describe(in_use()) << "; before the call: " << describe(before);
  EXPECT_TRUE(StopTessaly());
}

}  // namespace milestone

#endif
