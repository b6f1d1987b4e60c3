// One tessaly carries fax after fax on the same channel: sends and receives
// over UDPTL take turns, each fax arrives pixel for pixel, and after each
// call everything the call took is given back.
#include "host/support/milestone_repeat.h"

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

namespace milestone {
namespace {

TEST_F(MilestoneRepeatTest, SendsAndReceivesTakeTurnsOnOneChannel) {
  const uint16_t peer_port = FreePeerPort();
  ASSERT_NE(peer_port, 0);
  MakeArea('U', 13900, peer_port);
  StartTessaly(true);
  if (HasFatalFailure()) return;
  const resources idle = quiet_in_use(2000);
  Send(0, peer_port, idle);
  if (!HasFatalFailure()) Receive(1, peer_port, idle);
  if (!HasFatalFailure()) Send(2, peer_port, idle);
  EXPECT_TRUE(StopTessaly());
}

}  // namespace
}  // namespace milestone

#endif
