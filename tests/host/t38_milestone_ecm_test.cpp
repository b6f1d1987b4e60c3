// The T.38 milestone with the default area's codings and error correction
// against a spandsp terminal that has them too (T.4 one- and
// two-dimensional, T.6, ECM): tessaly receives three pages in ECM frames,
// and sends three pages in ECM frames, as stored or converted on the way;
// they arrive pixel for pixel and the pools are back at idle after the call.
#include "host/support/milestone_fixture.h"

#if defined(KV_HAVE_SPANDSP) && defined(KV_HAVE_LIBTIFF)

#include <spandsp.h>

namespace milestone {
namespace {

constexpr int kAllCodings = T30_SUPPORT_T4_1D_COMPRESSION | T30_SUPPORT_T4_2D_COMPRESSION | T30_SUPPORT_T6_COMPRESSION;

TEST_F(MilestoneTest, EcmReceiveWithEveryCoding) { ReceiveScenario('U', 14980, false, kAllCodings, true); }

struct ecm_send_case {
  const char* name;
  int peer_compressions;  // what the peer takes besides ECM
  int file_compression;   // how the pages are stored: 3 MH, 4 MMR
  int line_coding;        // the coding on the line (spandsp's value)
  uint16_t media_port;
};

class EcmSendTest : public MilestoneTest, public ::testing::WithParamInterface<ecm_send_case> {};

// Three pages of different lengths, so that each page needs blocks and
// frames of its own and a fault carried from one page to the next shows.
TEST_P(EcmSendTest, ThreePagesArriveAndThePoolsAreBackAtIdle) {
  const ecm_send_case& c = GetParam();
  peer_options po;
  po.compressions = c.peer_compressions;
  po.ecm = true;
  SendScenario('U', c.media_port, po, FAX_STATUS_FAX_SENT, c.file_compression);
  EXPECT_TRUE(peer_ecm_used_);
  EXPECT_EQ(peer_encoding_, c.line_coding);
}

INSTANTIATE_TEST_SUITE_P(
    Codings, EcmSendTest,
    ::testing::Values(ecm_send_case{"MhAsStored", T30_SUPPORT_T4_1D_COMPRESSION, 3, T4_COMPRESSION_ITU_T4_1D, 15100},
                      ecm_send_case{"MhConvertedToMmr", kAllCodings, 3, T4_COMPRESSION_ITU_T6, 15120},
                      ecm_send_case{"MmrAsStored", kAllCodings, 4, T4_COMPRESSION_ITU_T6, 15140}),
    [](const ::testing::TestParamInfo<ecm_send_case>& i) { return std::string(i.param.name); });

}  // namespace
}  // namespace milestone

#endif
