// One tessaly, one channel: a send that fails (the far fax stops dead after
// its CFR, in the middle of the page) leaves nothing behind, and the next
// send and receive on that channel go through.
#include "host/support/milestone_repeat.h"

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

namespace milestone {
namespace {

TEST_F(MilestoneRepeatTest, AFailedSendLeavesTheChannelReadyForTheNextFaxes) {
  const uint16_t peer_port = FreePeerPort();
  ASSERT_NE(peer_port, 0);
  MakeArea('U', 14000, peer_port);
  StartTessaly(true);
  if (HasFatalFailure()) return;
  const resources idle = quiet_in_use(2000);
  Send(0, peer_port, idle, 500, FOIP_STATUS_FAX_NOT_SENT);
  if (!HasFatalFailure()) Send(1, peer_port, idle);
  if (!HasFatalFailure()) Receive(2, peer_port, idle);
  EXPECT_TRUE(StopTessaly());
}

}  // namespace
}  // namespace milestone

#endif
