// The T.38 milestone, one case per program so that the cases run side by
// side: tessaly's real entities with the SIP-side stand-in and a scripted
// device controller against spandsp's T.38 terminal on loopback.
// The peer dies in the middle of the first page: the controller hears of
// the failure within the timers and every pool entry, buffer, timer and
// socket of the session is given back.
#include "host/support/milestone_fixture.h"

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

namespace milestone {
namespace {

TEST_F(MilestoneTest, PeerKilledMidPageFailsTheSendAndFreesEverything) {
  peer_options dying;
  dying.die_after_cfr_ms = 500;
  SendScenario('T', 13500, dying, FOIP_STATUS_FAX_NOT_SENT);
}

}  // namespace
}  // namespace milestone

#endif
