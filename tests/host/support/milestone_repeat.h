// Calls one after another in one tessaly lifetime, on the same channel, each
// against a new spandsp T.38 terminal on the port that the server area names:
// each fax is checked, and after each call the pools, timers, sockets and
// sessions must be back at the level taken before the first.  Test-only.
#pragma once

#include "host/support/milestone_fixture.h"

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

#include <spandsp.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "host/support/sip_side_standin.h"
#include "session/foip/foip_t38_mgt.h"

namespace milestone {

using tessaly_test::Reply;

inline double since(std::chrono::steady_clock::time_point t0) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

class MilestoneRepeatTest : public MilestoneTest {
 protected:
  // A free port for the peers of every call (the server area names one).
  static uint16_t FreePeerPort() {
    t38_live_peer probe(peer_options{});
    return probe.port();
  }

  // tessaly sends one short page to a new peer on `peer_port`; the peer stops
  // dead `die_after_cfr_ms` after its CFR when not 0, `want` is the final status kind.
  void Send(int call, uint16_t peer_port, const resources& idle, unsigned die_after_cfr_ms = 0,
            uint16_t want = FAX_STATUS_FAX_SENT) {
    SCOPED_TRACE("send " + std::to_string(call));
    const std::vector<fax_test::page> pages = {
        fax_test::make_page(fax_test::kind::text, 1728, 40, 100u + static_cast<uint32_t>(call))};
    peer_options po;
    po.calling = false;
    po.listen = true;
    po.local_port = peer_port;
    po.rx_file = peer_dir_.File("rx" + std::to_string(call) + ".tif");
    po.remote_port = static_cast<uint16_t>(media_port_ + 2);
    po.limit_ms = 60000;
    po.die_after_cfr_ms = die_after_cfr_ms;
    t38_live_peer peer(po);
    ASSERT_EQ(peer.port(), peer_port);
    fax_test::libtiff_write_fax(PagesFile(), pages);
    peer.start();
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_EQ(controller_->Send(), STATUS_OK);
    std::optional<Reply> r = NextOf({FAX_STATUS_REQUEST_DONE, FAX_STATUS_REQUEST_FAILED}, 5000);
    ASSERT_TRUE(r && r->status.kind == FAX_STATUS_REQUEST_DONE);
    r = NextOf({FAX_STATUS_FAX_SENT, FOIP_STATUS_FAX_NOT_SENT, FOIP_STATUS_FAX_NOT_CONNECTED, FAX_STATUS_SESSION_LOST},
               60000);
    ASSERT_TRUE(r.has_value()) << "no final status";
    EXPECT_EQ(r->status.kind, want) << "value " << r->status.value << " " << r->status.text;
    std::printf("[ milestone ] send %d: final status after %.2f s\n", call, since(t0));
    ASSERT_TRUE(peer.wait(20000));
    if (want == FAX_STATUS_FAX_SENT) {
      EXPECT_EQ(peer.completion.load(), T30_ERR_OK);
      ExpectPages(po.rx_file, pages);
    }
    EXPECT_TRUE(SettlesTo(idle, 10000)) << describe(in_use()) << "; before the first call: " << describe(idle);
  }
  // A new peer on `peer_port` calls and sends one short page; the controller accepts.
  void Receive(int call, uint16_t peer_port, const resources& idle) {
    SCOPED_TRACE("receive " + std::to_string(call));
    const std::vector<fax_test::page> pages = {
        fax_test::make_page(fax_test::kind::lines, 1728, 40, 200u + static_cast<uint32_t>(call))};
    peer_options po;
    po.calling = true;
    po.listen = false;
    po.local_port = peer_port;
    po.tx_file = peer_dir_.File("tx" + std::to_string(call) + ".tif");
    po.remote_port = static_cast<uint16_t>(media_port_ + 2);
    po.limit_ms = 60000;
    fax_test::libtiff_write_fax(po.tx_file, pages);
    (void)std::remove(ReceivedFile().c_str());
    t38_live_peer peer(po);
    ASSERT_EQ(peer.port(), peer_port);
    const auto t0 = std::chrono::steady_clock::now();
    sip_standin__offer_call("0000001");
    std::optional<Reply> r = NextOf({}, 5000);
    ASSERT_TRUE(r && r->type == TESSALY_RING_IN) << "no ring";
    ASSERT_EQ(controller_->Receive(1), STATUS_OK);
    r = NextOf({FAX_STATUS_REQUEST_DONE, FAX_STATUS_REQUEST_FAILED}, 5000);
    ASSERT_TRUE(r && r->status.kind == FAX_STATUS_REQUEST_DONE);
    peer.start();
    r = NextOf({FAX_STATUS_FAX_RECEIVED, FAX_STATUS_FAX_NOT_RECEIVED, FAX_STATUS_SESSION_LOST}, 60000);
    ASSERT_TRUE(r.has_value()) << "no final status; T.38 state " << int(t38_mgt__get_ctx(1).state) << " error "
                               << int(t38_mgt__get_ctx(1).error_source) << "/" << int(t38_mgt__get_ctx(1).error_code);
    EXPECT_EQ(r->status.kind, FAX_STATUS_FAX_RECEIVED) << "value " << r->status.value << " " << r->status.text;
    std::printf("[ milestone ] receive %d: final status after %.2f s\n", call, since(t0));
    ASSERT_TRUE(peer.wait(20000));
    EXPECT_EQ(peer.completion.load(), T30_ERR_OK);
    ExpectPages(ReceivedFile(), pages);
    EXPECT_TRUE(SettlesTo(idle, 10000)) << describe(in_use()) << "; before the first call: " << describe(idle);
  }
};

}  // namespace milestone

#endif
