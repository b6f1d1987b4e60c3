// TPKT framing: the frame header, reassembly of frames that TCP splits and
// joins, empty frames, and recovery from impossible headers.
#include "t38/tpkt.h"

#include <gtest/gtest.h>

#include <vector>

#include "t38/ifp.h"
#include "t38/support/ifp_fixtures.h"
#include "t38/t38_traps.h"

namespace kv::t38 {
namespace {

using testing::bytes_of;
using testing::chain_of;
using bytes = std::vector<uint8_t>;

bytes frame(const bytes& payload) {
  bytes f(4);
  EXPECT_TRUE(t38_tpkt__put_header(f.data(), static_cast<uint32_t>(payload.size())));
  f.insert(f.end(), payload.begin(), payload.end());
  return f;
}

bytes join(std::initializer_list<bytes> parts) {
  bytes out;
  for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

// Feeds a stream in pieces and collects the payloads delivered.
class stream {
 public:
  explicit stream(std::size_t pool_limit = SIZE_MAX, uint32_t max_frame = T38_TPKT__DEFAULT_MAX_FRAME)
      : pool_(8, pool_limit), rx_(pool_, max_frame) {}

  t38_tpkt_reassembler::feed_result feed(const bytes& piece) {
    auto r = rx_.feed(byte_ref{piece.data(), static_cast<uint32_t>(piece.size()), nullptr}, nullptr, sink());
    add(r);
    return r;
  }
  t38_tpkt_reassembler::feed_result feed_chain(const bytes& piece, std::size_t per_buffer) {
    heap_chain_pool in(64);
    chain_buf c = chain_of(in, piece, per_buffer);
    auto r = rx_.feed(byte_ref{in.data(c), static_cast<uint32_t>(piece.size()), c}, &in, sink());
    in.release(c);
    add(r);
    return r;
  }

  std::vector<bytes> payloads;
  uint32_t traps = 0;
  uint32_t skipped = 0;
  uint32_t empty = 0;
  heap_chain_pool pool_;
  t38_tpkt_reassembler rx_;

 private:
  t38_tpkt_reassembler::frame_sink sink() {
    return [this](const byte_ref& p) {
      payloads.push_back(bytes_of(&pool_, p));
      pool_.release(p.chain);
    };
  }
  void add(const t38_tpkt_reassembler::feed_result& r) {
    if (r.trap != 0) ++traps;
    skipped += r.bytes_skipped;
    empty += r.empty_frames;
  }
};

const bytes kA{0xC0, 0x01, 0x80, 0x00, 0x01, 0xFF, 0xC8, 0x11, 0x22, 0x33};
const bytes kB{0x04};
const bytes kC(300, 0x5C);

TEST(TpktEncode, TenByteIfpPacketMakesAFourteenByteFrame) {
  heap_field_pool fields;
  heap_chain_pool pool(64);
  t38_ifp_packet pck;
  // data v21 with one 5-byte field: 10 bytes of IFP
  t38_data_field* list = testing::make_fields(fields, {{T38_FIELD__HDLC_DATA, {1, 2, 3, 4, 5}}});
  ASSERT_EQ(t38_ifp__set_type(pck, T38_IFP__DATA_BIT | T38_DATA__V21, list), 0);
  ASSERT_EQ(t38_tpkt__encode(pck, pool), 0);
  bytes f = bytes_of(&pool, pck.encoded);
  ASSERT_EQ(f.size(), 14u);
  EXPECT_EQ(bytes(f.begin(), f.begin() + 4), (bytes{0x03, 0x00, 0x00, 0x0E}));
  EXPECT_EQ(bytes(f.begin() + 4, f.end()),
            testing::encode_flat(T38_IFP__DATA_BIT | T38_DATA__V21, {{T38_FIELD__HDLC_DATA, {1, 2, 3, 4, 5}}}));
  pool.release(pck.encoded.chain);
  t38_ifp__free_data_fields(fields, list);

  uint8_t h[4];
  EXPECT_TRUE(t38_tpkt__put_header(h, 65531));
  EXPECT_FALSE(t38_tpkt__put_header(h, 65532));
}

TEST(TpktReassembly, JoinedAndSplitFrames) {
  const bytes wire = join({frame(kA), frame(kB), frame(kC)});
  // Every way of cutting the stream in two, and byte by byte.
  for (std::size_t cut = 0; cut <= wire.size(); ++cut) {
    stream s;
    s.feed(bytes(wire.begin(), wire.begin() + static_cast<std::ptrdiff_t>(cut)));
    s.feed(bytes(wire.begin() + static_cast<std::ptrdiff_t>(cut), wire.end()));
    ASSERT_EQ(s.payloads, (std::vector<bytes>{kA, kB, kC})) << "cut at " << cut;
    EXPECT_FALSE(s.rx_.mid_frame());
  }
  stream one;
  for (uint8_t b : wire) one.feed({b});
  EXPECT_EQ(one.payloads, (std::vector<bytes>{kA, kB, kC}));
  EXPECT_EQ(one.traps, 0u);
  EXPECT_EQ(one.pool_.live(), 0u);

  stream chained;
  chained.feed_chain(wire, 5);
  EXPECT_EQ(chained.payloads, (std::vector<bytes>{kA, kB, kC}));
}

TEST(TpktReassembly, HalfFramesWaitForTheirRest) {
  stream s;
  bytes f = frame(kA);
  s.feed(bytes(f.begin(), f.begin() + 2));  // two header bytes
  EXPECT_TRUE(s.rx_.mid_frame());
  s.feed(bytes(f.begin() + 2, f.begin() + 7));  // header rest and part of the payload
  EXPECT_TRUE(s.payloads.empty());
  s.feed(bytes(f.begin() + 7, f.end()));
  EXPECT_EQ(s.payloads, std::vector<bytes>{kA});
  // A half frame is dropped on reset (and by the destructor).
  s.feed(bytes(f.begin(), f.begin() + 9));
  s.rx_.reset();
  EXPECT_EQ(s.pool_.live(), 0u);
  s.feed(f);
  EXPECT_EQ(s.payloads.size(), 2u);
}

TEST(TpktReassembly, EmptyFramesAreSkipped) {
  stream s;
  s.feed(join({frame({}), frame(kB), frame({})}));
  EXPECT_EQ(s.payloads, std::vector<bytes>{kB});
  EXPECT_EQ(s.empty, 2u);
  EXPECT_EQ(s.traps, 0u);
}

TEST(TpktReassembly, ImpossibleHeadersResynchroniseInsteadOfWedging) {
  struct row {
    const char* what;
    bytes junk;
    uint32_t max_frame;
  };
  const row rows[] = {
      {"length below 4", {0x03, 0x00, 0x00, 0x02}, T38_TPKT__DEFAULT_MAX_FRAME},
      {"length 0", {0x03, 0x00, 0x00, 0x00}, T38_TPKT__DEFAULT_MAX_FRAME},
      {"length above the maximum", {0x03, 0x00, 0x01, 0x00, 0x99}, 200},
      {"version 2", {0x02, 0x00, 0x00, 0x08, 0x01, 0x02}, T38_TPKT__DEFAULT_MAX_FRAME},
      {"garbage", {0x55, 0x66, 0x77, 0x88, 0x99}, T38_TPKT__DEFAULT_MAX_FRAME},
  };
  for (const auto& r : rows) {
    stream s(SIZE_MAX, r.max_frame);
    auto res = s.feed(join({frame(kA), r.junk, frame(kB), frame(kA)}));
    EXPECT_EQ(res.result, 3) << r.what;
    EXPECT_EQ(res.trap, T38__TRAP__IFP_PCK__BAD_LEN_TPKT) << r.what;
    EXPECT_EQ(s.skipped, r.junk.size()) << r.what;
    EXPECT_EQ(s.payloads, (std::vector<bytes>{kA, kB, kA})) << r.what;
    EXPECT_TRUE(s.rx_.in_sync());
    // The connection carries on normally afterwards.
    auto next = s.feed(frame({0x06}));
    EXPECT_EQ(next.result, 2);
    EXPECT_EQ(s.payloads.back(), bytes{0x06});
  }
}

TEST(TpktReassembly, PoolExhaustionLosesOneFrameNotTheStream) {
  stream s(2);  // two 8-byte buffers: kC (300 bytes) cannot be held
  auto r = s.feed(join({frame(kC), frame(kB)}));
  EXPECT_EQ(r.trap, T38__TRAP__IFP_PCK__NO_MORE_BUFFER);
  EXPECT_EQ(r.payloads_dropped, 1u);
  EXPECT_EQ(s.payloads, std::vector<bytes>{kB});
  EXPECT_EQ(s.pool_.live(), 0u);
}

}  // namespace
}  // namespace kv::t38
