// Aligned PER codec: bit layout of numbers, lengths and constructs, cursor
// over chained buffers, and bounds on every read.
#include "t38/asnp.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

namespace kv::t38 {
namespace {

using bytes = std::vector<uint8_t>;

// Encodes with `fn` into a flat area and returns the bytes.
bytes encode_flat(const std::function<void(asnp_context&)>& fn) {
  uint8_t area[256] = {};
  asnp_context ctx;
  EXPECT_EQ(asnp_init_encode(ctx, area, sizeof area, 0, nullptr), ASNP_OK);
  fn(ctx);
  uint8_t* data = nullptr;
  uint32_t length = 0;
  EXPECT_EQ(asnp_end_encode(ctx, &data, &length, nullptr), ASNP_OK);
  return bytes(data, data + length);
}

// A chain of buffers holding `in`, `per_buffer` bytes each.
chain_buf make_chain(heap_chain_pool& pool, const bytes& in, std::size_t per_buffer) {
  chain_buf first = nullptr, last = nullptr;
  for (std::size_t at = 0; at < in.size(); at += per_buffer) {
    chain_buf b = pool.alloc();
    std::size_t n = std::min(per_buffer, in.size() - at);
    std::memcpy(pool.data(b), in.data() + at, n);
    pool.set_size(b, static_cast<uint16_t>(n));
    if (last == nullptr) first = b;
    else pool.set_next(last, b);
    last = b;
  }
  return first;
}

bytes flatten(heap_chain_pool& pool, chain_buf b, std::size_t skip_first) {
  bytes out;
  for (; b != nullptr; b = pool.next(b), skip_first = 0) {
    out.insert(out.end(), pool.data(b) + skip_first, pool.data(b) + pool.size(b));
  }
  return out;
}

TEST(AsnpNumbers, ConstrainedWholeNumbersUseBitsOrAlignedOctetsByRange) {
  struct row {
    uint32_t value, lb, ub;
    bytes expected;
  };
  // Each row is written after one leading 1 bit, to show alignment.
  const row rows[] = {
      {5, 0, 15, {0xA8}},                   // 1 0101: 4 bits, not aligned
      {2, 0, 2, {0xC0}},                    // range 3: 2 bits
      {4, 0, 4, {0xC0}},                    // range 5: 3 bits 100
      {7, 7, 7, {0x80}},                    // range 1: nothing
      {200, 0, 255, {0x80, 0xC8}},          // range 256: aligned octet
      {300, 0, 65535, {0x80, 0x01, 0x2C}},  // two aligned octets
      {1000, 1000, 1255, {0x80, 0x00}},
  };
  for (const auto& r : rows) {
    bytes got = encode_flat([&](asnp_context& c) {
      ASSERT_EQ(asnp_put_bits(c, 1, 1), ASNP_OK);
      ASSERT_EQ(asnp_put_constrained_whole_number(c, r.value, r.lb, r.ub), ASNP_OK);
    });
    EXPECT_EQ(got, r.expected) << "value " << r.value << " in " << r.lb << ".." << r.ub;
    asnp_context d;
    asnp_init_decode(d, byte_ref{got.data(), static_cast<uint32_t>(got.size())}, nullptr);
    uint8_t lead = 0;
    uint32_t back = 0;
    ASSERT_EQ(asnp_get_bits(d, 1, &lead), ASNP_OK);
    ASSERT_EQ(asnp_get_constrained_whole_number(d, &back, r.lb, r.ub), ASNP_OK);
    EXPECT_EQ(back, r.value);
  }
}

TEST(AsnpNumbers, RefusesValuesTheyCannotCarry) {
  asnp_context c;
  uint8_t area[16];
  asnp_init_encode(c, area, sizeof area, 0, nullptr);
  EXPECT_EQ(asnp_put_constrained_whole_number(c, 16, 0, 15), ASNP_NOK);
  EXPECT_EQ(c.error, ASNP_ERR_OUT_OF_BOUNDS);
  EXPECT_EQ(asnp_put_constrained_whole_number(c, 5, 0, 70000), ASNP_NOK);
  EXPECT_EQ(c.error, ASNP_ERR_UNSUPPORTED);
  EXPECT_EQ(asnp_put_bits(c, 9, 0), ASNP_NOK);
}

TEST(AsnpNumbers, RangeBits) {
  const std::pair<uint32_t, uint8_t> rows[] = {{1, 1}, {2, 1}, {3, 2}, {4, 2}, {5, 3}, {16, 4}, {17, 5}, {255, 8}};
  for (auto [range, bits] : rows) EXPECT_EQ(asnp_range_bits(range), bits) << range;
}

TEST(AsnpNumbers, SemiConstrainedAndNormallySmall) {
  EXPECT_EQ(encode_flat([](asnp_context& c) { asnp_put_semi_constrained_whole_number(c, 256, 0); }),
            (bytes{0x02, 0x01, 0x00}));
  EXPECT_EQ(encode_flat([](asnp_context& c) { asnp_put_semi_constrained_whole_number(c, 10, 10); }),
            (bytes{0x01, 0x00}));
  EXPECT_EQ(encode_flat([](asnp_context& c) { asnp_put_normally_small_number(c, 5); }), (bytes{0x0A}));
  // 64: bit 1, then aligned length 1 and the octet
  EXPECT_EQ(encode_flat([](asnp_context& c) { asnp_put_normally_small_number(c, 64); }), (bytes{0x80, 0x01, 0x40}));
  for (uint32_t v : {0u, 63u, 64u, 1000u, 0xFFFFFFu}) {
    bytes e = encode_flat([&](asnp_context& c) { asnp_put_normally_small_number(c, v); });
    asnp_context d;
    asnp_init_decode(d, byte_ref{e.data(), static_cast<uint32_t>(e.size())}, nullptr);
    uint32_t back = 0;
    ASSERT_EQ(asnp_get_normally_small_number(d, &back), ASNP_OK);
    EXPECT_EQ(back, v);
  }
  // Five value octets are more than a 32-bit value holds.
  bytes five{0x05, 1, 2, 3, 4, 5};
  asnp_context d;
  asnp_init_decode(d, byte_ref{five.data(), 6}, nullptr);
  uint32_t v = 0;
  EXPECT_EQ(asnp_get_semi_constrained_whole_number(d, &v, 0), ASNP_NOK);
  EXPECT_EQ(d.error, ASNP_ERR_UNSUPPORTED);
}

TEST(AsnpLengths, UnconstrainedLengthForms) {
  auto put = [](uint32_t n) {
    return encode_flat([&](asnp_context& c) {
      ASSERT_EQ(asnp_put_length(c, asnp_length_kind::unconstrained, n, 0, ASNP_UNBOUNDED), ASNP_OK);
    });
  };
  EXPECT_EQ(put(127), (bytes{0x7F}));
  EXPECT_EQ(put(200), (bytes{0x80, 0xC8}));
  EXPECT_EQ(put(16383), (bytes{0xBF, 0xFF}));

  uint8_t area[8];
  asnp_context c;
  asnp_init_encode(c, area, sizeof area, 0, nullptr);
  EXPECT_EQ(asnp_put_length(c, asnp_length_kind::unconstrained, 16384, 0, ASNP_UNBOUNDED), ASNP_NOK);
  EXPECT_EQ(c.error, ASNP_ERR_UNSUPPORTED);

  struct row {
    bytes in;
    uint8_t result;
    uint32_t length;
  };
  const row rows[] = {
      {{0x81, 0x00}, ASNP_OK, 256},
      {{0x05}, ASNP_OK, 5},
      {{0xC1}, ASNP_NOK, 0},  // fragmentation
      {{0x81}, ASNP_NOK, 0},  // second octet missing
  };
  for (const auto& r : rows) {
    asnp_context d;
    asnp_init_decode(d, byte_ref{r.in.data(), static_cast<uint32_t>(r.in.size())}, nullptr);
    uint32_t n = 0;
    EXPECT_EQ(asnp_get_length(d, asnp_length_kind::unconstrained, &n, 0, ASNP_UNBOUNDED), r.result);
    if (r.result == ASNP_OK) {
      EXPECT_EQ(n, r.length);
    }
  }
}

TEST(AsnpLengths, ConstrainedAndNormallySmallLengths) {
  // SIZE(1..65535): two aligned octets holding length - 1.
  EXPECT_EQ(encode_flat([](asnp_context& c) { asnp_put_length(c, asnp_length_kind::constrained, 3, 1, 65535); }),
            (bytes{0x00, 0x02}));
  // Fixed size: nothing at all.
  EXPECT_EQ(encode_flat([](asnp_context& c) { asnp_put_length(c, asnp_length_kind::constrained, 4, 4, 4); }), bytes{});
  EXPECT_EQ(encode_flat([](asnp_context& c) { asnp_put_length(c, asnp_length_kind::normally_small, 3, 1, 100); }),
            (bytes{0x04}));  // 0 000010
  // A decoded length outside its bounds is refused.
  bytes zero{0x00, 0x00, 0x00};
  asnp_context d;
  asnp_init_decode(d, byte_ref{zero.data(), 3}, nullptr);
  uint32_t n = 0;
  EXPECT_EQ(asnp_get_length(d, asnp_length_kind::unconstrained, &n, 1, ASNP_UNBOUNDED), ASNP_NOK);
  EXPECT_EQ(d.error, ASNP_ERR_OUT_OF_BOUNDS);
}

TEST(AsnpConstructs, EnumeratedChoiceSequenceAndSequenceOf) {
  // extensible enumerated, root 0..15: bit 0 + 4 bits; extension 17: bit 1 + normally small 1
  EXPECT_EQ(encode_flat([](asnp_context& c) { asnp_set_enumerated(c, ASNP_KIND_EXT, false, 2, 15); }), (bytes{0x10}));
  EXPECT_EQ(encode_flat([](asnp_context& c) { asnp_set_enumerated(c, ASNP_KIND_EXT, true, 17, 15); }), (bytes{0x81}));
  EXPECT_EQ(encode_flat([](asnp_context& c) { asnp_set_choice(c, ASNP_KIND_ROOT, false, 1, 1); }), (bytes{0x80}));
  EXPECT_EQ(encode_flat([](asnp_context& c) { asnp_set_sequence(c, ASNP_KIND_EXT, 3, 0b101); }), (bytes{0x50}));
  EXPECT_EQ(encode_flat([](asnp_context& c) {
              asnp_set_choice(c, ASNP_KIND_ROOT, false, 0, 1);
              asnp_set_sequence_of(c, ASNP_KIND_ROOT, false, 3);
            }),
            (bytes{0x00, 0x03}));
  EXPECT_EQ(encode_flat([](asnp_context& c) { asnp_set_sequence_of(c, ASNP_KIND_SEQ_OF_EXT, false, 2); }),
            (bytes{0x00, 0x02}));

  bytes ext{0x81};
  asnp_context d;
  asnp_init_decode(d, byte_ref{ext.data(), 1}, nullptr);
  bool extended = false;
  uint32_t v = 0;
  ASSERT_EQ(asnp_get_enumerated(d, ASNP_KIND_EXT, &extended, &v, 15), ASNP_OK);
  EXPECT_TRUE(extended);
  EXPECT_EQ(v, 17u);
}

TEST(AsnpConstructs, IntegerKinds) {
  EXPECT_EQ(encode_flat([](asnp_context& c) { asnp_set_integer(c, ASNP_KIND_ROOT, 300, 0, 65535); }),
            (bytes{0x01, 0x2C}));
  EXPECT_EQ(encode_flat([](asnp_context& c) { asnp_set_integer(c, ASNP_KIND_ROOT, 300, 0, ASNP_UNBOUNDED); }),
            (bytes{0x02, 0x01, 0x2C}));
  EXPECT_EQ(encode_flat([](asnp_context& c) { asnp_set_integer(c, ASNP_KIND_EXT, 3, 0, 7); }), (bytes{0x30}));
  // Outside the root: bit 1, then an unconstrained (two's complement) number.
  bytes e = encode_flat([](asnp_context& c) { asnp_set_integer(c, ASNP_KIND_EXT, 200, 0, 7); });
  EXPECT_EQ(e, (bytes{0x80, 0x02, 0x00, 0xC8}));
  asnp_context d;
  asnp_init_decode(d, byte_ref{e.data(), static_cast<uint32_t>(e.size())}, nullptr);
  uint32_t v = 0;
  bool extended = false;
  ASSERT_EQ(asnp_get_integer(d, ASNP_KIND_EXT, &v, 0, 7, &extended), ASNP_OK);
  EXPECT_TRUE(extended);
  EXPECT_EQ(v, 200u);
  EXPECT_EQ(asnp_bytes_left(d), 0u);
}

TEST(AsnpOctetString, LongStringIsDeliveredInPieces) {
  bytes payload(300);
  for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<uint8_t>(i * 7);
  uint8_t area[400];
  asnp_context c;
  asnp_init_encode(c, area, sizeof area, 0, nullptr);
  ASSERT_EQ(asnp_set_octet_string(c, ASNP_KIND_ROOT, 300, 1, 65535, payload.data()), ASNP_OK);
  uint32_t len = 0;
  uint8_t* data = nullptr;
  ASSERT_EQ(asnp_end_encode(c, &data, &len, nullptr), ASNP_OK);
  ASSERT_EQ(len, 302u);

  asnp_context d;
  asnp_init_decode(d, byte_ref{data, len}, nullptr);
  bytes got;
  std::vector<uint32_t> pieces;
  std::vector<uint8_t> results;
  uint8_t dest[128];
  for (int guard = 0; guard < 10; ++guard) {
    uint32_t n = sizeof dest;
    uint8_t r = asnp_get_octet_string(d, ASNP_KIND_ROOT, &n, 1, 65535, dest);
    results.push_back(r);
    if (r == ASNP_NOK) break;
    pieces.push_back(n);
    got.insert(got.end(), dest, dest + n);
    if (r == ASNP_OK) break;
  }
  EXPECT_EQ(results, (std::vector<uint8_t>{ASNP_MORE, ASNP_MORE, ASNP_OK}));
  EXPECT_EQ(pieces, (std::vector<uint32_t>{128, 128, 44}));
  EXPECT_EQ(got, payload);
}

TEST(AsnpOctetString, FixedSizesAndLyingLengths) {
  const uint8_t two[] = {0xAB, 0xCD};
  // Fixed size 2 is not aligned: it follows the leading bit directly.
  EXPECT_EQ(encode_flat([&](asnp_context& c) {
              asnp_put_bits(c, 1, 1);
              asnp_set_octet_string(c, ASNP_KIND_ROOT, 2, 2, 2, two);
            }),
            (bytes{0xD5, 0xE6, 0x80}));
  uint8_t area[8];
  asnp_context c;
  asnp_init_encode(c, area, sizeof area, 0, nullptr);
  EXPECT_EQ(asnp_set_octet_string(c, ASNP_KIND_ROOT, 70000, 70000, 70000, nullptr), ASNP_NOK);
  EXPECT_EQ(c.error, ASNP_ERR_UNSUPPORTED);

  // The length says 50, ten bytes follow: nothing is delivered, error 23.
  bytes lying{0x00, 0x31};
  lying.resize(12, 0x55);
  asnp_context d;
  asnp_init_decode(d, byte_ref{lying.data(), static_cast<uint32_t>(lying.size())}, nullptr);
  uint8_t dest[64];
  uint32_t n = sizeof dest;
  EXPECT_EQ(asnp_get_octet_string(d, ASNP_KIND_ROOT, &n, 1, 65535, dest), ASNP_NOK);
  EXPECT_EQ(d.error, ASNP_ERR_END_OF_DATA);
}

TEST(AsnpOpenType, EmptyContentsAreOneZeroOctet) {
  EXPECT_EQ(encode_flat([](asnp_context& c) { asnp_set_open_type(c, byte_ref{}); }), (bytes{0x01, 0x00}));
  const uint8_t three[] = {1, 2, 3};
  EXPECT_EQ(encode_flat([&](asnp_context& c) { asnp_set_open_type(c, byte_ref{three, 3}); }), (bytes{0x03, 1, 2, 3}));
}

TEST(AsnpOpenType, DecodesIntoFlatOrNewChain) {
  heap_chain_pool pool(16);
  bytes contents(40);
  for (std::size_t i = 0; i < contents.size(); ++i) contents[i] = static_cast<uint8_t>(i);
  bytes enc = encode_flat([&](asnp_context& c) {
    asnp_set_open_type(c, byte_ref{contents.data(), static_cast<uint32_t>(contents.size())});
  });

  asnp_context d;
  asnp_init_decode(d, byte_ref{enc.data(), static_cast<uint32_t>(enc.size())}, nullptr);
  chain_buf chain = nullptr;
  uint32_t size = 0;
  ASSERT_EQ(asnp_get_open_type(d, nullptr, &size, &chain, &pool), ASNP_OK);
  EXPECT_EQ(size, 40u);
  EXPECT_EQ(flatten(pool, chain, 0), contents);
  EXPECT_EQ(pool.live(), 3u);  // 16 + 16 + 8
  pool.release(chain);

  // Too small a flat destination.
  asnp_init_decode(d, byte_ref{enc.data(), static_cast<uint32_t>(enc.size())}, nullptr);
  uint8_t small[10];
  size = sizeof small;
  EXPECT_EQ(asnp_get_open_type(d, small, &size, nullptr), ASNP_NOK);
  EXPECT_EQ(d.error, ASNP_ERR_NO_ROOM_DEST);

  // Pool exhaustion midway: error 22 and nothing left allocated.
  pool.set_limit(2);
  asnp_init_decode(d, byte_ref{enc.data(), static_cast<uint32_t>(enc.size())}, nullptr);
  EXPECT_EQ(asnp_get_open_type(d, nullptr, &size, &chain, &pool), ASNP_NOK);
  EXPECT_EQ(d.error, ASNP_ERR_OPEN_NO_BUFFER);
  EXPECT_EQ(chain, nullptr);
  EXPECT_EQ(pool.live(), 0u);
}

// One fixed mixture of fields, written and read back by the tests below.
void write_mixture(asnp_context& c, const bytes& blob) {
  ASSERT_EQ(asnp_put_bits(c, 3, 5), ASNP_OK);
  ASSERT_EQ(asnp_put_constrained_whole_number(c, 300, 0, 65535), ASNP_OK);
  ASSERT_EQ(asnp_put_bits(c, 5, 0x13), ASNP_OK);
  ASSERT_EQ(asnp_set_octet_string(c, ASNP_KIND_ROOT, static_cast<uint32_t>(blob.size()), 1, 65535, blob.data()),
            ASNP_OK);
  ASSERT_EQ(asnp_put_u16(c, 0xBEEF), ASNP_OK);
  ASSERT_EQ(asnp_put_bits(c, 1, 1), ASNP_OK);
}

void read_mixture(asnp_context& d, const bytes& blob) {
  uint8_t b = 0;
  uint32_t v = 0;
  uint16_t w = 0;
  ASSERT_EQ(asnp_get_bits(d, 3, &b), ASNP_OK);
  EXPECT_EQ(b, 5);
  ASSERT_EQ(asnp_get_constrained_whole_number(d, &v, 0, 65535), ASNP_OK);
  EXPECT_EQ(v, 300u);
  ASSERT_EQ(asnp_get_bits(d, 5, &b), ASNP_OK);
  EXPECT_EQ(b, 0x13);
  bytes got(blob.size());
  uint32_t n = static_cast<uint32_t>(got.size());
  ASSERT_EQ(asnp_get_octet_string(d, ASNP_KIND_ROOT, &n, 1, 65535, got.data()), ASNP_OK);
  EXPECT_EQ(got, blob);
  ASSERT_EQ(asnp_get_u16(d, &w), ASNP_OK);
  EXPECT_EQ(w, 0xBEEF);
  ASSERT_EQ(asnp_get_bits(d, 1, &b), ASNP_OK);
  EXPECT_EQ(b, 1);
}

TEST(AsnpChains, EncodingAcrossBuffersMatchesFlatEncoding) {
  bytes blob(23);
  for (std::size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<uint8_t>(0xA0 + i);
  bytes flat = encode_flat([&](asnp_context& c) { write_mixture(c, blob); });

  for (uint16_t cap : {5, 7, 64}) {
    heap_chain_pool pool(cap);
    asnp_context c;
    const uint16_t headroom = 2;
    ASSERT_EQ(asnp_init_encode(c, nullptr, 0, headroom, &pool), ASNP_OK);
    write_mixture(c, blob);
    uint8_t* data = nullptr;
    uint32_t length = 0;
    chain_buf first = nullptr;
    ASSERT_EQ(asnp_end_encode(c, &data, &length, &first), ASNP_OK);
    EXPECT_EQ(length, flat.size());
    EXPECT_EQ(data, pool.data(first) + headroom);
    EXPECT_EQ(flatten(pool, first, headroom), flat) << "capacity " << cap;
    pool.release(first);
    EXPECT_EQ(pool.live(), 0u);
  }
}

// Buffers handed out with the bytes a previous user left in them (all
// ones), as a pool that does not clear for writers does.
class used_buffers final : public chain_pool_of<used_buffers> {
 public:
  explicit used_buffers(u16 capacity) : heap_(capacity) {}
  chain_buf alloc_for_writing() override {
    chain_buf b = heap_.alloc_for_writing();
    if (b != nullptr) std::memset(heap_.data(b), 0xFF, heap_.capacity());
    return b;
  }
  void release(chain_buf first) override { heap_.release(first); }
  u16 capacity() const override { return heap_.capacity(); }
  u8* data(chain_buf b) override { return heap_.data(b); }
  u16 size(chain_buf b) const override { return heap_.size(b); }
  void set_size(chain_buf b, u16 size) override { heap_.set_size(b, size); }
  chain_buf next(chain_buf b) const override { return heap_.next(b); }
  void set_next(chain_buf b, chain_buf next) override { heap_.set_next(b, next); }
  std::size_t live() const { return heap_.live(); }

 private:
  heap_chain_pool heap_;
};

// The encoder writes every byte it uses and clears the header room in front:
// what a buffer held before does not show.
TEST(AsnpChains, EncodingIntoUsedBuffersMatchesFlatEncoding) {
  bytes blob(23);
  for (std::size_t i = 0; i < blob.size(); ++i) blob[i] = static_cast<uint8_t>(0x31 * i);
  bytes flat = encode_flat([&](asnp_context& c) { write_mixture(c, blob); });
  for (uint16_t cap : {7, 64}) {
    used_buffers pool(cap);
    asnp_context c;
    const uint16_t headroom = 3;
    ASSERT_EQ(asnp_init_encode(c, nullptr, 0, headroom, &pool), ASNP_OK);
    write_mixture(c, blob);
    uint8_t* data = nullptr;
    uint32_t length = 0;
    chain_buf first = nullptr;
    ASSERT_EQ(asnp_end_encode(c, &data, &length, &first), ASNP_OK);
    bytes got;
    for (chain_buf b = first; b != nullptr; b = pool.next(b))
      got.insert(got.end(), pool.data(b), pool.data(b) + pool.size(b));
    ASSERT_GE(got.size(), headroom);
    EXPECT_EQ(bytes(got.begin(), got.begin() + headroom), bytes(headroom, 0)) << "capacity " << cap;
    EXPECT_EQ(bytes(got.begin() + headroom, got.end()), flat) << "capacity " << cap;
    pool.release(first);
    EXPECT_EQ(pool.live(), 0u);
  }
}

TEST(AsnpChains, FieldsStraddlingBuffersDecodeAsIfContiguous) {
  bytes blob(23, 0x5A);
  bytes flat = encode_flat([&](asnp_context& c) { write_mixture(c, blob); });
  for (std::size_t per : {1u, 2u, 3u, 10u}) {
    heap_chain_pool pool(16);
    // Two junk bytes in front of the first buffer: decoding starts at `first`.
    bytes shifted{0xEE, 0xEE};
    shifted.insert(shifted.end(), flat.begin(), flat.end());
    chain_buf chain = make_chain(pool, shifted, per + 2);
    asnp_context d;
    ASSERT_EQ(asnp_init_decode(d, byte_ref{pool.data(chain) + 2, static_cast<uint32_t>(flat.size()), chain}, &pool),
              ASNP_OK);
    read_mixture(d, blob);
    EXPECT_EQ(asnp_bytes_left(d), 0u);
    pool.release(chain);
  }
}

TEST(AsnpChains, ReadsStopAtTheGivenLengthAndAtEmptyBuffers) {
  heap_chain_pool pool(16);
  bytes in{1, 2, 3, 4, 5, 6};
  chain_buf chain = make_chain(pool, in, 2);
  // Only four bytes belong to this packet; the fifth is someone else's.
  asnp_context d;
  asnp_init_decode(d, byte_ref{pool.data(chain), 4, chain}, &pool);
  uint8_t out[6];
  EXPECT_EQ(asnp_get_octets(d, out, 4), ASNP_OK);
  uint8_t b = 0;
  EXPECT_EQ(asnp_get_bits(d, 1, &b), ASNP_NOK);
  EXPECT_EQ(d.error, ASNP_ERR_END_OF_DATA);
  EXPECT_EQ(asnp_get_bits(d, 1, &b), ASNP_NOK);  // stays failed, no wrap-around

  // A buffer without data in the middle of the chain.
  pool.set_size(pool.next(chain), 0);
  asnp_init_decode(d, byte_ref{pool.data(chain), 6, chain}, &pool);
  EXPECT_EQ(asnp_get_octets(d, out, 3), ASNP_NOK);
  EXPECT_EQ(d.error, ASNP_ERR_EMPTY_BUFFER);
  pool.release(chain);
}

TEST(AsnpChains, EveryTruncationFailsCleanly) {
  bytes blob(30, 0x33);
  bytes full = encode_flat([&](asnp_context& c) { write_mixture(c, blob); });
  for (std::size_t cut = 0; cut < full.size(); ++cut) {
    // An exact-size heap copy so that any over-read trips the sanitizer.
    std::vector<uint8_t> part(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(cut));
    asnp_context d;
    asnp_init_decode(d, byte_ref{part.data(), static_cast<uint32_t>(cut)}, nullptr);
    uint8_t b = 0;
    uint32_t v = 0;
    uint16_t w = 0;
    uint8_t dest[64];
    uint32_t n = sizeof dest;
    bool ok = asnp_get_bits(d, 3, &b) == ASNP_OK && asnp_get_constrained_whole_number(d, &v, 0, 65535) == ASNP_OK &&
              asnp_get_bits(d, 5, &b) == ASNP_OK &&
              asnp_get_octet_string(d, ASNP_KIND_ROOT, &n, 1, 65535, dest) == ASNP_OK &&
              asnp_get_u16(d, &w) == ASNP_OK && asnp_get_bits(d, 1, &b) == ASNP_OK;
    EXPECT_FALSE(ok) << "cut at " << cut;
    EXPECT_EQ(d.error, ASNP_ERR_END_OF_DATA) << "cut at " << cut;
  }
}

TEST(AsnpEncodeRoom, ExhaustionAndGrowth) {
  heap_chain_pool pool(4, 1);
  asnp_context c;
  ASSERT_EQ(asnp_init_encode(c, nullptr, 0, 0, &pool), ASNP_OK);
  const uint8_t ten[10] = {};
  EXPECT_EQ(asnp_put_octets(c, ten, 10), ASNP_NOK);
  EXPECT_EQ(c.error, ASNP_ERR_NO_BUFFER);
  asnp_release(c);
  EXPECT_EQ(pool.live(), 0u);

  uint8_t small[3];
  asnp_init_encode(c, small, sizeof small, 0, nullptr);
  EXPECT_EQ(asnp_put_octets(c, ten, 4), ASNP_NOK);
  EXPECT_EQ(c.error, ASNP_ERR_NO_ROOM);

  // A room callback that grows a vector keeps the encoding contiguous.
  struct grower {
    std::vector<uint8_t> area = std::vector<uint8_t>(2);
    static uint8_t* grow(void* arg, uint32_t written, uint32_t* new_size) {
      auto* g = static_cast<grower*>(arg);
      g->area.resize(written + 3);
      *new_size = static_cast<uint32_t>(g->area.size());
      return g->area.data();
    }
  } g;
  asnp_init_encode(c, g.area.data(), 2, 0, nullptr, &grower::grow, &g);
  const uint8_t seq[7] = {1, 2, 3, 4, 5, 6, 7};
  ASSERT_EQ(asnp_put_octets(c, seq, 7), ASNP_OK);
  uint8_t* data = nullptr;
  uint32_t length = 0;
  ASSERT_EQ(asnp_end_encode(c, &data, &length, nullptr), ASNP_OK);
  EXPECT_EQ(bytes(data, data + length), bytes(seq, seq + 7));
}

}  // namespace
}  // namespace kv::t38
