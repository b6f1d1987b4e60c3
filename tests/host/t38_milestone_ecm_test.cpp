// The T.38 milestone with the default area's codings and error correction
// against a spandsp terminal that has them too (T.4 one- and
// two-dimensional, T.6, ECM): tessaly receives three pages in ECM frames;
// they arrive pixel for pixel and the pools are back at idle after the call.
#include "host/support/milestone_fixture.h"

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

#include <spandsp.h>

namespace milestone {
namespace {

constexpr int kAllCodings = T30_SUPPORT_T4_1D_COMPRESSION | T30_SUPPORT_T4_2D_COMPRESSION | T30_SUPPORT_T6_COMPRESSION;

TEST_F(MilestoneTest, EcmReceiveWithEveryCoding) { ReceiveScenario('U', 44980, false, kAllCodings, true); }

}  // namespace
}  // namespace milestone

#endif
