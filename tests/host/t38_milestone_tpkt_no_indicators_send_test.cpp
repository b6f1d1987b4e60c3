// The T.38 milestone over TPKT against a spandsp terminal that sends no
// T30_INDICATOR packets (allowed over TCP): its data packets alone must open
// each reception.  One case per program, so that the cases run side by side.
#include "host/support/milestone_fixture.h"

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

namespace milestone {
namespace {

TEST_F(MilestoneTest, TpktSendsToPeerWithoutIndicators) {
  peer_options po;
  po.no_indicators = true;
  SendScenario('T', 13700, po, FAX_STATUS_FAX_SENT);
}

}  // namespace
}  // namespace milestone

#endif
