// A fax received through the whole of tessaly: sipp calls with a T.38 offer
// pointing at the spandsp terminal, the scripted controller hears the ring
// and accepts, tessaly answers with its own UDPTL port, the terminal sends
// three pages, and the file tessaly writes holds them pixel for pixel.
#include "host/support/sip_road.h"

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

#include <spandsp.h>

#include <chrono>

#include "host/support/milestone_fixture.h"
#include "host/support/t38_live_peer.h"

namespace sip_road {
namespace {

using clock_type = std::chrono::steady_clock;

// Ports of this program: 15280-15319.
constexpr uint16_t kSip = 15280, kGateway = 15281, kMedia = 15300;

TEST_F(SipRoadTest, ReceivesThreePagesOverSipAndUdptl) {
  const std::vector<fax_test::page> pages = milestone::three_pages(23);
  milestone::peer_options po;
  po.calling = true;
  po.listen = false;
  po.tx_file = peer_dir_.File("tx.tif");
  po.remote_port = kMedia + 2;
  po.limit_ms = 60000;
  WriteFaxTiff(po.tx_file, pages);
  milestone::t38_live_peer peer(po);
  ASSERT_NE(peer.port(), 0);
  MakeArea(kSip, kGateway, kMedia);
  StartTessaly(true);
  if (HasFatalFailure()) return;

  const auto started = clock_type::now();
  sipp_process sipp(
      peer_dir_.path(), Scenario("uac-t38-call.xml"), kGateway, kSip,
      {{"peer_port", std::to_string(peer.port())}, {"did", "0000001"}, {"remote_file", peer_dir_.File("remote.txt")}});
  std::optional<tessaly_test::Reply> r = NextOf({}, 10000);
  ASSERT_TRUE(r && r->type == TESSALY_RING_IN) << "no ring";
  EXPECT_STREQ(r->ring.called, "0000001");
  ASSERT_TRUE(RequestDone(controller_->Receive(1)));
  peer.start();
  r = NextOf({FAX_STATUS_FAX_RECEIVED, FAX_STATUS_FAX_NOT_RECEIVED, FAX_STATUS_SESSION_LOST}, 60000);
  ASSERT_TRUE(r.has_value()) << "no final status";
  EXPECT_EQ(r->status.kind, FAX_STATUS_FAX_RECEIVED) << "value " << r->status.value << " " << r->status.text;
  const double seconds = std::chrono::duration<double>(clock_type::now() - started).count();
  std::printf("[ sip road ] 3-page receive over SIP + UDPTL: %.2f s\n", seconds);

  ASSERT_TRUE(peer.wait(20000));
  EXPECT_EQ(peer.completion.load(), T30_ERR_OK);
  ExpectPages(ReceivedFile(), pages);
  EXPECT_EQ(sipp.wait(20000), 0) << sipp.errors() << sipp.messages();
  // The answer's media address: the session's UDPTL port on loopback.
  EXPECT_EQ(kvtest::ReadFile(peer_dir_.File("remote.txt")), "127.0.0.1 " + std::to_string(kMedia + 2) + "\n");
  EXPECT_TRUE(StopTessaly());
}

}  // namespace
}  // namespace sip_road

#endif
