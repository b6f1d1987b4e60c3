// UDPTL datagrams: sequence number, primary and secondaries newest first,
// shedding of the oldest secondaries to fit the datagram size, FEC and
// malformed datagrams, and the sequence and size rules around them.
#include "t38/udptl.h"

#include <gtest/gtest.h>

#include <vector>

#include "t38/support/ifp_fixtures.h"
#include "t38/t38_traps.h"

namespace kv::t38 {
namespace {

using testing::bytes_of;
using testing::chain_of;
using bytes = std::vector<uint8_t>;

byte_ref as_ref(const bytes& b) { return byte_ref{b.data(), static_cast<uint32_t>(b.size()), nullptr}; }

bytes filled(std::size_t n, uint8_t v) { return bytes(n, v); }

struct sent {
  uint16_t trap = 0;
  uint16_t secondaries = 0;
  bytes datagram;
};

sent encode(uint16_t seq, const bytes& primary, const std::vector<bytes>& secondaries, uint16_t max = 1500) {
  std::vector<byte_ref> refs;
  for (const auto& s : secondaries) refs.push_back(as_ref(s));
  t38_udptl_out out{seq, as_ref(primary), refs.data(), static_cast<uint16_t>(refs.size())};
  uint8_t area[4096];
  t38_udptl_encoded enc;
  sent r;
  r.trap = t38_udptl__encode_flat(out, max, area, sizeof area, nullptr, enc);
  if (r.trap == 0) {
    r.datagram.assign(enc.data, enc.data + enc.length);
    r.secondaries = enc.secondaries_sent;
    EXPECT_EQ(enc.length, t38_udptl__encoded_size(out, enc.secondaries_sent));
  }
  return r;
}

struct received {
  uint16_t trap = 0;
  uint16_t seq = 0;
  bytes primary;
  std::vector<bytes> secondaries;
  uint32_t on_wire = 0;
  uint16_t recovery_trap = 0;
  uint16_t secondary_trap = 0;
};

received decode(const bytes& datagram, std::size_t out_limit = SIZE_MAX, std::size_t per_buffer = 0) {
  heap_chain_pool in_pool(64);
  heap_chain_pool out_pool(32, out_limit);
  byte_ref src = as_ref(datagram);
  if (per_buffer != 0 && !datagram.empty()) {
    src.chain = chain_of(in_pool, datagram, per_buffer);
    src.first = in_pool.data(src.chain);
  }
  t38_udptl_in in;
  received r;
  r.trap = t38_udptl__decode(src, &in_pool, out_pool, in);
  if (r.trap == 0) {
    r.seq = in.seq;
    r.primary = bytes_of(&out_pool, in.primary);
    for (uint16_t i = 0; i < in.n_secondaries; ++i) r.secondaries.push_back(bytes_of(&out_pool, in.secondaries[i]));
    r.on_wire = in.secondaries_on_wire;
    r.recovery_trap = in.recovery_trap;
    r.secondary_trap = in.secondary_trap;
    t38_udptl__release(in, out_pool);
  }
  in_pool.release(src.chain);
  EXPECT_EQ(out_pool.live(), 0u);
  return r;
}

TEST(UdptlEncode, SecondariesTravelNewestFirst) {
  // Packets 10, 11 and 12 are the indicators cng, ced and v21-preamble.
  sent s = encode(12, {0x06}, {{0x04}, {0x02}});
  ASSERT_EQ(s.trap, 0);
  EXPECT_EQ(s.datagram, (bytes{0x00, 0x0C, 0x01, 0x06, 0x00, 0x02, 0x01, 0x04, 0x01, 0x02}));
  received r = decode(s.datagram);
  ASSERT_EQ(r.trap, 0);
  EXPECT_EQ(r.seq, 12);
  EXPECT_EQ(r.primary, bytes{0x06});
  EXPECT_EQ(r.secondaries, (std::vector<bytes>{{0x04}, {0x02}}));
  EXPECT_EQ(r.on_wire, 2u);
}

TEST(UdptlEncode, OldestSecondariesAreShedToFitTheDatagramSize) {
  // size = 2 + 11 (primary) + 1 (choice) + 1 (count) + 11 per secondary
  const bytes p = filled(10, 0xAA);
  const std::vector<bytes> secs{filled(10, 0xBB), filled(10, 0xCC), filled(10, 0xDD)};
  struct row {
    uint16_t max;
    uint16_t trap;
    uint16_t kept;
  };
  const row rows[] = {{48, 0, 3}, {47, 0, 2}, {37, 0, 2}, {36, 0, 1},
                      {26, 0, 1}, {25, 0, 0}, {15, 0, 0}, {14, T38__TRAP__IFP_PCK__ASN1__TOO_LONG, 0}};
  for (const auto& r : rows) {
    sent s = encode(7, p, secs, r.max);
    EXPECT_EQ(s.trap, r.trap) << "max " << r.max;
    if (s.trap != 0) continue;
    EXPECT_EQ(s.secondaries, r.kept) << "max " << r.max;
    EXPECT_LE(s.datagram.size(), r.max);
    received back = decode(s.datagram);
    ASSERT_EQ(back.secondaries.size(), r.kept);
    if (r.kept > 0) {
      EXPECT_EQ(back.secondaries[0], secs[0]);
    }  // the newest stays
  }
}

TEST(UdptlEncode, LongPacketsTakeTwoOctetLengths) {
  for (std::size_t n : {127u, 128u, 300u}) {
    sent s = encode(65535, filled(n, 0x11), {filled(n, 0x22)});
    ASSERT_EQ(s.trap, 0);
    received r = decode(s.datagram, SIZE_MAX, 7);
    ASSERT_EQ(r.trap, 0);
    EXPECT_EQ(r.seq, 65535);
    EXPECT_EQ(r.primary, filled(n, 0x11));
    EXPECT_EQ(r.secondaries, std::vector<bytes>{filled(n, 0x22)});
  }
}

TEST(UdptlEncode, ChainedOutputKeepsRoomForTheAddressRecord) {
  heap_chain_pool pool(40);
  bytes p = filled(40, 0x5A);
  bytes s1 = filled(20, 0x6B);
  chain_buf p_chain = chain_of(pool, p, 9);  // chained inputs, too
  byte_ref secs[] = {as_ref(s1)};
  t38_udptl_out out{300, byte_ref{pool.data(p_chain), 40, p_chain}, secs, 1};
  t38_udptl_encoded enc;
  ASSERT_EQ(t38_udptl__encode(out, 1500, T38_UDPTL__ADDR_RECORD_SIZE, pool, enc), 0);
  EXPECT_EQ(enc.data, pool.data(enc.chain) + T38_UDPTL__ADDR_RECORD_SIZE);
  bytes whole;
  for (chain_buf b = enc.chain; b != nullptr; b = pool.next(b)) {
    whole.insert(whole.end(), pool.data(b), pool.data(b) + pool.size(b));
  }
  ASSERT_EQ(whole.size(), T38_UDPTL__ADDR_RECORD_SIZE + enc.length);
  bytes datagram(whole.begin() + T38_UDPTL__ADDR_RECORD_SIZE, whole.end());
  EXPECT_EQ(datagram, encode(300, p, {s1}).datagram);
  pool.release(enc.chain);
  pool.release(p_chain);

  heap_chain_pool empty(16, 0);
  EXPECT_EQ(t38_udptl__encode(t38_udptl_out{1, as_ref(p), nullptr, 0}, 1500, 28, empty, enc),
            T38__TRAP__IFP_PCK__NO_MORE_BUFFER);
}

TEST(UdptlDecode, FecYieldsThePrimaryAlone) {
  // seq 1, primary ced, then error-recovery alternative 1 with whatever follows.
  received r = decode({0x00, 0x01, 0x01, 0x04, 0x80, 0x01, 0x03, 0x01, 0x01, 0x00});
  ASSERT_EQ(r.trap, 0);
  EXPECT_EQ(r.primary, bytes{0x04});
  EXPECT_TRUE(r.secondaries.empty());
  EXPECT_EQ(r.recovery_trap, T38__TRAP__IFP_PCK__BAD_ERR_RECOVERY);
}

TEST(UdptlDecode, MalformedDatagrams) {
  struct row {
    const char* what;
    bytes in;
    uint16_t trap;
    uint16_t secondary_trap;
    std::size_t kept;
  };
  const row rows[] = {
      {"empty", {}, T38__TRAP__IFP_PCK__ERR_DECOD_UDPTL_2, 0, 0},
      {"seq cut", {0x00}, T38__TRAP__IFP_PCK__ERR_DECOD_UDPTL_2, 0, 0},
      {"no primary", {0x00, 0x01}, T38__TRAP__IFP_PCK__ERR_DECOD_UDPTL_3, 0, 0},
      {"empty primary", {0x00, 0x01, 0x00, 0x00, 0x00}, T38__TRAP__IFP_PCK__ERR_DECOD_UDPTL_3, 0, 0},
      {"primary length lies", {0x00, 0x01, 0x40, 0x02, 0x03}, T38__TRAP__IFP_PCK__ERR_DECOD_UDPTL_3, 0, 0},
      {"fragmented primary", {0x00, 0x01, 0xC1, 0x02}, T38__TRAP__IFP_PCK__ERR_DECOD_UDPTL_3, 0, 0},
      {"no error-recovery", {0x00, 0x01, 0x01, 0x02}, T38__TRAP__IFP_PCK__ERR_DECOD_UDPTL_4, 0, 0},
      {"no count", {0x00, 0x01, 0x01, 0x02, 0x00}, 0, T38__TRAP__IFP_PCK__ERR_DECOD_UDPTL_5, 0},
      {"count lies", {0x00, 0x01, 0x01, 0x02, 0x00, 0x7F, 0x01, 0x04}, 0, T38__TRAP__IFP_PCK__ERR_DECOD_UDPTL_5, 0},
      {"second secondary cut",
       {0x00, 0x01, 0x01, 0x02, 0x00, 0x02, 0x01, 0x04, 0x05, 0x00},
       0,
       T38__TRAP__IFP_PCK__ERR_DECOD_UDPTL_6,
       0},
      {"empty secondary", {0x00, 0x01, 0x01, 0x02, 0x00, 0x01, 0x00}, 0, T38__TRAP__IFP_PCK__ERR_DECOD_UDPTL_6, 0},
      {"no secondaries", {0x00, 0x01, 0x01, 0x02, 0x00, 0x00}, 0, 0, 0},
  };
  for (const auto& r : rows) {
    received got = decode(r.in);
    EXPECT_EQ(got.trap, r.trap) << r.what;
    if (got.trap != 0) continue;
    EXPECT_EQ(got.primary, bytes{0x02}) << r.what;  // the primary stands
    EXPECT_EQ(got.secondary_trap, r.secondary_trap) << r.what;
    EXPECT_EQ(got.secondaries.size(), r.kept) << r.what;
  }
}

TEST(UdptlDecode, PoolExhaustionAndManySecondaries) {
  sent s = encode(9, {0x06}, {{0x04}, {0x02}});
  EXPECT_EQ(decode(s.datagram, 0).trap, T38__TRAP__IFP_PCK__NO_MORE_BUFFER);
  received one = decode(s.datagram, 2);  // primary and one secondary: the rest fails
  ASSERT_EQ(one.trap, 0);
  EXPECT_EQ(one.secondary_trap, T38__TRAP__IFP_PCK__NO_MORE_BUFFER);
  EXPECT_TRUE(one.secondaries.empty());

  std::vector<bytes> twenty;
  for (uint8_t i = 0; i < 20; ++i) twenty.push_back({static_cast<uint8_t>(2 * (i % 16))});
  received many = decode(encode(40, {0x00}, twenty).datagram);
  ASSERT_EQ(many.trap, 0);
  EXPECT_EQ(many.on_wire, 20u);
  ASSERT_EQ(many.secondaries.size(), T38_UDPTL__MAX_KEPT_SECONDARIES);
  EXPECT_EQ(many.secondaries[15], twenty[15]);
}

TEST(UdptlSequence, SixteenBitNumbersExtendAgainstTheLastDelivered) {
  struct row {
    uint16_t seq;
    uint32_t last;
    uint32_t ext;
  };
  const row rows[] = {
      {3, 65534, 65539},    // a wrap
      {90, 100, 90},        // older: the caller discards it
      {65000, 100, 65000},  // far ahead, no wrap
      {5, 0xFFFFFFFFu, 5},  // nothing delivered yet
      {0, 0x0001FFFFu, 0x00020000u},
      {64000, 65000, 64000},  // exactly 1000 below: not a wrap
      {63999, 65000, 0x10000u + 63999},
  };
  for (const auto& r : rows) EXPECT_EQ(t38_udptl__extend_seq(r.seq, r.last), r.ext) << r.seq << " after " << r.last;
}

TEST(UdptlSizes, DataFieldSizeAndSplitEstimate) {
  EXPECT_EQ(t38_udptl__max_data_field_size(3, 1500), 50);
  EXPECT_EQ(t38_udptl__max_data_field_size(3, 100), 16);
  EXPECT_EQ(t38_udptl__max_data_field_size(0, 40), 27);
  EXPECT_EQ(t38_udptl__max_data_field_size(3, 30), 3);  // overhead above the size: D / 10
  EXPECT_EQ(t38_udptl__estimate_data_room(3, 1500, 1), (1500u - 34u) / 4u);
  EXPECT_EQ(t38_udptl__estimate_data_room(2, 20, 3), 2u);
}

}  // namespace
}  // namespace kv::t38
