// The T.38 milestone, one case per program so that the cases run side by
// side: tessaly's real entities with the SIP-side stand-in and a scripted
// device controller against spandsp's T.38 terminal on loopback.
// spandsp calls and sends three pages over UDPTL; the controller accepts
// the call and the pages arrive pixel for pixel.
#include "host/support/milestone_fixture.h"

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

namespace milestone {
namespace {

TEST_F(MilestoneTest, UdptlReceivesThreePages) { ReceiveScenario('U', 13100); }

}  // namespace
}  // namespace milestone

#endif
