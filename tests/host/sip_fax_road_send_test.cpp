// A fax sent through the whole of tessaly: the scripted controller asks for
// a send, tessaly calls sipp (INVITE with a T.38 offer), sipp answers with
// the spandsp terminal's UDPTL port, the three pages go over UDPTL and
// arrive pixel for pixel, and tessaly's BYE ends the call.  One case per
// program: tessaly runs once in a process.
#include "host/support/sip_road.h"

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

#include <spandsp.h>

#include <chrono>

#include "host/support/milestone_fixture.h"
#include "host/support/t38_live_peer.h"

namespace sip_road {
namespace {

using clock_type = std::chrono::steady_clock;

// Ports of this program: 15200-15239.
constexpr uint16_t kSendSip = 15200, kSendGateway = 15201, kSendMedia = 15220;

TEST_F(SipRoadTest, SendsThreePagesOverSipAndUdptl) {
  const std::vector<fax_test::page> pages = milestone::three_pages(7);
  milestone::peer_options po;
  po.calling = false;
  po.listen = true;
  po.rx_file = peer_dir_.File("rx.tif");
  po.remote_port = kSendMedia + 2;
  po.limit_ms = 60000;
  milestone::t38_live_peer peer(po);
  ASSERT_NE(peer.port(), 0);
  MakeArea(kSendSip, kSendGateway, kSendMedia);
  WriteFaxTiff(PagesFile(), pages);
  peer.start();
  sipp_process sipp(peer_dir_.path(), Scenario("uas-t38-answer.xml"), kSendGateway, 0,
                    {{"peer_port", std::to_string(peer.port())}});
  StartTessaly(false);
  if (HasFatalFailure()) return;

  const auto started = clock_type::now();
  ASSERT_TRUE(RequestDone(controller_->Send("0612345678")));
  int pages_sent = 0;
  const std::optional<tessaly_test::Reply> r =
      CountPagesUntil(FAX_STATUS_PAGE_SENT,
                      {FAX_STATUS_PAGE_SENT, FAX_STATUS_FAX_SENT, FOIP_STATUS_FAX_NOT_SENT,
                       FOIP_STATUS_FAX_NOT_CONNECTED, FAX_STATUS_SESSION_LOST},
                      pages_sent);
  ASSERT_TRUE(r.has_value()) << "no final status";
  EXPECT_EQ(r->status.kind, FAX_STATUS_FAX_SENT) << "value " << r->status.value << " " << r->status.text;
  EXPECT_EQ(pages_sent, 3);
  const double seconds = std::chrono::duration<double>(clock_type::now() - started).count();
  std::printf("[ sip road ] 3-page send over SIP + UDPTL: %.2f s\n", seconds);

  ASSERT_TRUE(peer.wait(20000));
  EXPECT_EQ(peer.completion.load(), T30_ERR_OK);
  ExpectPages(po.rx_file, pages);
  EXPECT_EQ(sipp.wait(20000), 0) << sipp.errors() << sipp.messages();
  const std::string trace = sipp.messages();
  EXPECT_NE(trace.find("m=image "), std::string::npos) << "a T.38 offer";
  EXPECT_NE(trace.find("BYE sip:"), std::string::npos) << "tessaly ends the call";
  EXPECT_TRUE(StopTessaly());
}

}  // namespace
}  // namespace sip_road

#endif
