// The T.38 milestone, one case per program so that the cases run side by
// side: tessaly's real entities with the SIP-side stand-in and a scripted
// device controller against spandsp's T.38 terminal on loopback.
// A relay drops 10 % of the datagrams both ways; with UDPTL redundancy on
// both sides the three pages still arrive pixel for pixel.
#include "host/support/milestone_fixture.h"

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

namespace milestone {
namespace {

TEST_F(MilestoneTest, UdptlSendCompletesThroughTenPercentLoss) {
  peer_options lossy;
  lossy.loss_percent = 10;
  lossy.redundancy = 3;
  SendScenario('U', 13400, lossy, FAX_STATUS_FAX_SENT);
}

}  // namespace
}  // namespace milestone

#endif
