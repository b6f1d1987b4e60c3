// The T.38 milestone: tessaly's real entities (host and dispatcher,
// application, FOIP, T.38 with its IAF services, fax engine, sockets) run in
// this process on a temporary server area, with the SIP-side stand-in, a
// scripted device controller on the mailslots and spandsp's T.38 terminal
// on loopback sockets as the far fax.  Test-only.
#pragma once

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "common/support/temp_folder.h"
#include "fax/support/fax_test_pages.h"
#include "host/scripted_controller.h"
#include "host/support/t38_live_peer.h"

namespace milestone {

// The pools and tables a session takes from.
struct resources {
  unsigned msgs = 0, buffers = 0, timers = 0, sockets = 0, t38_sessions = 0, foip_sessions = 0;
  bool operator==(const resources&) const = default;
};
resources in_use();
std::string describe(const resources& r);
// Nothing in `have` above `want`: what a run holds once it is over.  Fewer
// is fine: a snapshot taken while tessaly settles after its start may count
// messages still on their way.
bool within(const resources& have, const resources& want);
// in_use() once it has stayed the same for 200 ms (at most `ms`).
resources quiet_in_use(int ms);

// Three small fine-resolution pages, different for each seed.
std::vector<fax_test::page> three_pages(uint32_t seed);

// MILESTONE_PORT_SHIFT moves every media port of a run by that much, so
// that copies of one test can run side by side (repeated runs under load).
uint16_t media_port_shift();

class MilestoneTest : public ::testing::Test {
 protected:
  // A server area whose first session runs T.38 over `transport` ('U' or
  // 'T'), its media ports from `media_port` (UDPTL + 2, TPKT + 0, both moved
  // by media_port_shift()); the far fax answers at 127.0.0.1:`peer_port`.
  // `media_port` stays below 32768, out of the ephemeral range (see
  // host/support/sip_road.h).
  void MakeArea(char transport, uint16_t media_port, uint16_t peer_port);
  // Starts tessaly and registers the controller (receive enabled or not).
  void StartTessaly(bool receive);
  // Shuts tessaly down; true when it ended cleanly.
  bool StopTessaly();
  void TearDown() override;

  // Status packets until one of `kinds` comes (returned), or nothing within
  // `ms`; with no kinds, the next packet that is not a status.
  std::optional<tessaly_test::Reply> NextOf(std::initializer_list<uint16_t> kinds, int ms);
  // Waits until the resources are back to `want`, up to `ms`.
  bool SettlesTo(const resources& want, int ms);
  // Checks every page of `path` against `pages`, pixel for pixel.
  void ExpectPages(const std::string& path, const std::vector<fax_test::page>& pages);
  // The same over a lossy link without ECM: as many pages, each of the same
  // width, with at most a quarter of its rows lost or damaged.
  void ExpectPagesThroughLoss(const std::string& path, const std::vector<fax_test::page>& pages);

  // tessaly sends three pages to the peer (which answers), over
  // `transport`; `peer` adds loss or a death, or cuts its capabilities.  The
  // pages are stored in MH (compression 3) or MMR (4).
  void SendScenario(char transport, uint16_t media_port, peer_options peer, uint16_t want_kind,
                    int file_compression = 3);
  // The peer calls and sends three pages; the controller accepts the call.
  // The peer's compressions (spandsp bits, 0: its default) and ECM.
  void ReceiveScenario(char transport, uint16_t media_port, bool peer_no_indicators = false, int peer_compressions = 0,
                       bool peer_ecm = false);

  std::string PagesFile() const { return area_.File("Tessaly/pages/page1.tif"); }
  std::string ReceivedFile() const { return area_.File("Tessaly/rcv/in.tif"); }
  std::string Log() const { return kvtest::ReadFile(area_.File("K-DB/TESSALY.log")); }

  kvtest::TempFolder area_;
  kvtest::TempFolder peer_dir_;
  std::unique_ptr<tessaly_test::ScriptedController> controller_;
  std::thread tessaly_;
  int exit_code_ = -1;
  uint16_t media_port_ = 0;
  // What the peer of the last send scenario reported at its phase E.
  bool peer_ecm_used_ = false;
  int peer_encoding_ = -1;
};

}  // namespace milestone

#endif
