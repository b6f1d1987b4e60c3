// The IFP layer of a live session over TCP: one TPKT frame per packet on the
// way out, frames reassembled from a byte stream that splits and joins them
// on the way in, and a corrupt header that does not wedge the stream.
#include <gtest/gtest.h>

#include "runtime/sock.h"
#include "t38/support/t38_session_fixtures.h"
#include "t38/t38_entity.h"
#include "t38/t38_traps.h"
#include "t38/tpkt.h"

namespace kv::t38 {
namespace {

using testing::field_def;
using testing::ifp;
using testing::T38EntityTest;
using testing::tcp_entry;
using bytes = std::vector<uint8_t>;

bytes frame(const bytes& payload) {
  bytes f = {3, 0, static_cast<uint8_t>((payload.size() + 4) >> 8), static_cast<uint8_t>(payload.size() + 4)};
  f.insert(f.end(), payload.begin(), payload.end());
  return f;
}

bytes cat(std::initializer_list<bytes> parts) {
  bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

class TpktPathTest : public T38EntityTest {
 protected:
  void SetUp() override {
    T38EntityTest::SetUp();
    ASSERT_EQ(configure({tcp_entry(3)}), (bytes{2, 2, 'J'}));
  }
  void stream(const bytes& data) {
    Send_msg(testing::socket_msg(SOCK_DA_IN, 3, data));
    rt_test::pump();
  }
  std::vector<u32> seqs() {
    std::vector<u32> out;
    for (const auto& d : iaf.got[3]) out.push_back(d.ext_seq);
    return out;
  }
};

TEST_F(TpktPathTest, EveryPacketGoesOutInOneFrame) {
  t38_session& s = session(3);
  const bytes page{1, 2, 3, 4, 5};
  const uint8_t type = T38_IFP__DATA_BIT | T38_DATA__V17_14400;
  const bytes encoded = ifp(type, {{T38_FIELD__T4_NON_ECM_DATA, page}});
  ASSERT_EQ(encoded.size(), 10u);
  ASSERT_EQ(t38_ifp__send(T38_IFP__MODE_SEND, type, fields(3, {{T38_FIELD__T4_NON_ECM_DATA, page}}), s), 2);
  ASSERT_EQ(t38_ifp__send(T38_IFP__MODE_SEND, T38_IND__CED, nullptr, s), 2);
  auto out = sent(ENT_IP, SOCK_DA_RQ);
  ASSERT_EQ(out.size(), 2u);
  EXPECT_EQ(out[0].data, frame(encoded));
  EXPECT_EQ(out[0].data[3], 0x0E);
  EXPECT_EQ(out[1].data, frame(ifp(T38_IND__CED)));
  EXPECT_TRUE(t38_ifp__has_sent(s));
  EXPECT_EQ(s.ifp.cnt.tpkt_sent, 2u);
  // No idle packets and no redundancy over TCP.
  EXPECT_EQ(s.timers[TI_IP_INACTIVE].armed, 0);
  EXPECT_EQ(s.pools.ifp_packets().in_use, 0);
}

TEST_F(TpktPathTest, FramesAreReassembledAcrossAndWithinMessages) {
  const bytes a = frame(ifp(T38_IND__CNG));
  const bytes b = frame(ifp(T38_IND__V21_PREAMBLE));
  const bytes c = frame(ifp(T38_IFP__DATA_BIT | T38_DATA__V21, {{T38_FIELD__HDLC_DATA, bytes(50, 0x7E)}}));
  const bytes empty = frame({});
  stream(cat({a, b}));                                      // two whole frames
  stream(bytes(c.begin(), c.begin() + 2));                  // split in the header
  stream(bytes(c.begin() + 2, c.begin() + 40));             // and in the payload
  stream(cat({bytes(c.begin() + 40, c.end()), empty, a}));  // an empty frame is skipped
  EXPECT_EQ(seqs(), (std::vector<u32>{0, 1, 2, 3}));
  ASSERT_EQ(iaf.got[3].size(), 4u);
  EXPECT_EQ(iaf.got[3][1].type_byte, T38_IND__V21_PREAMBLE);
  ASSERT_EQ(iaf.got[3][2].fields.size(), 1u);
  EXPECT_EQ(iaf.got[3][2].fields[0].data, bytes(50, 0x7E));
  EXPECT_EQ(session(3).ifp.cnt.tpkt_received, 4u);
}

TEST_F(TpktPathTest, ABadHeaderIsReportedAndTheStreamRecovers) {
  const bytes good = frame(ifp(T38_IND__CED));
  stream(cat({good, {3, 0, 0, 2}, good, good}));
  EXPECT_EQ(iaf.stores.back(), 3);
  ASSERT_FALSE(trace.errors.empty());
  EXPECT_EQ(trace.errors[0], T38__TRAP__IFP_PCK__BAD_LEN_TPKT);
  EXPECT_GE(iaf.got[3].size(), 2u);
  // A frame that does not decode counts an error; the next one is taken.
  stream(cat({frame({0xFF, 0xFF, 0xFF}), good}));
  EXPECT_EQ(session(3).ifp.cnt.tpkt_errors, 1u);
  EXPECT_EQ(iaf.got[3].back().type_byte, T38_IND__CED);
  EXPECT_EQ(session(3).pools.ifp_packets().in_use, 0);
}

}  // namespace
}  // namespace kv::t38
