// The T.38 milestone over TPKT: a spandsp terminal that sends no
// T30_INDICATOR packets (allowed over TCP) connects and sends three pages;
// its data packets alone must open each reception.
#include "host/support/milestone_fixture.h"

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

namespace milestone {
namespace {

TEST_F(MilestoneTest, TpktReceivesFromPeerWithoutIndicators) { ReceiveScenario('T', 13800, true); }

}  // namespace
}  // namespace milestone

#endif
