// The T.38 milestone, one case per program so that the cases run side by
// side: tessaly's real entities with the SIP-side stand-in and a scripted
// device controller against spandsp's T.38 terminal on loopback.
// tessaly sends three pages over TPKT, connecting to the peer as the TCP
// client; they arrive pixel for pixel and the session gives everything back.
#include "host/support/milestone_fixture.h"

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

namespace milestone {
namespace {

TEST_F(MilestoneTest, TpktSendsThreePagesAsClient) { SendScenario('T', 13200, {}, FAX_STATUS_FAX_SENT); }

}  // namespace
}  // namespace milestone

#endif
