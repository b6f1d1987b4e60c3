// A busy callee through the whole of tessaly: sipp answers tessaly's INVITE
// with 486, tessaly acknowledges it, and the controller hears the send fail
// with 0xF10A (engaged) at once.
#include "host/support/sip_road.h"

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

#include "common/status_words.h"
#include "host/support/milestone_fixture.h"

namespace sip_road {
namespace {

// Ports of this program: 15240-15279.
constexpr uint16_t kBusySip = 15240, kBusyGateway = 15241, kBusyMedia = 15260;

TEST_F(SipRoadTest, BusyCalleeReachesTheControllerAsEngaged) {
  MakeArea(kBusySip, kBusyGateway, kBusyMedia);
  WriteFaxTiff(PagesFile(), milestone::three_pages(11));
  sipp_process sipp(peer_dir_.path(), Scenario("uas-busy.xml"), kBusyGateway, 0, {});
  StartTessaly(false);
  if (HasFatalFailure()) return;
  ASSERT_TRUE(RequestDone(controller_->Send("0612345678")));
  const std::optional<tessaly_test::Reply> r = NextOf(
      {FAX_STATUS_FAX_SENT, FOIP_STATUS_FAX_NOT_SENT, FOIP_STATUS_FAX_NOT_CONNECTED, FAX_STATUS_SESSION_LOST}, 20000);
  ASSERT_TRUE(r.has_value()) << "no final status";
  EXPECT_EQ(r->status.kind, FOIP_STATUS_FAX_NOT_CONNECTED);
  EXPECT_EQ(r->status.value, STATUS_FAX_ENGAGED);
  EXPECT_EQ(sipp.wait(20000), 0) << sipp.errors() << sipp.messages();
  EXPECT_TRUE(StopTessaly());
}

}  // namespace
}  // namespace sip_road

#endif
