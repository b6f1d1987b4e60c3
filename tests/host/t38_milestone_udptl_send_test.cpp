// The T.38 milestone, one case per program so that the cases run side by
// side: tessaly's real entities with the SIP-side stand-in and a scripted
// device controller against spandsp's T.38 terminal on loopback.
// tessaly sends three pages over UDPTL; they arrive pixel for pixel and
// every pool entry, buffer, timer and socket of the session is given back.
#include "host/support/milestone_fixture.h"

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

namespace milestone {
namespace {

TEST_F(MilestoneTest, UdptlSendsThreePages) { SendScenario('U', 13000, {}, FAX_STATUS_FAX_SENT); }

}  // namespace
}  // namespace milestone

#endif
