#include "fax/fax_bit.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace {

fax_bit_cursor at(std::vector<uint8_t>& v, uint32_t bit, int32_t bits_left) {
  return fax_bit_cursor{v.data(), bit / 8, static_cast<int32_t>(bit % 8), bits_left};
}

bool bit_of(const std::vector<uint8_t>& v, uint32_t pos) { return v[pos / 8] & (0x80 >> (pos % 8)); }

TEST(FaxBitTables, FollowTheirRules) {
  const auto& t = fax_bit_tables;
  EXPECT_EQ(t.top_mask[0], 0x00);
  EXPECT_EQ(t.top_mask[3], 0xE0);
  EXPECT_EQ(t.top_mask[8], 0xFF);
  EXPECT_EQ(t.low_mask[0], 0xFF);
  EXPECT_EQ(t.low_mask[7], 0x01);
  EXPECT_EQ(t.bit_mask[2], 0x20);
  EXPECT_EQ(t.field_mask[2][3], 0x38);
  EXPECT_EQ(t.field_mask[6][4], 0x03);  // cut at the byte end
  EXPECT_EQ(t.zero_count[0x00], 8 * 16 + 8);
  EXPECT_EQ(t.zero_count[0x10], 3 * 16 + 4);
  EXPECT_EQ(t.zero_count[0x81], 0);
  EXPECT_EQ(t.reverse[0x01], 0x80);
  EXPECT_EQ(t.reverse[0x35], 0xAC);
  EXPECT_EQ(t.complement[0x0F], 0xF0);
  for (int v = 0; v < 256; ++v) EXPECT_EQ(t.reverse[t.reverse[v]], v);
}

TEST(FaxBitCopies, ReverseAndBackwards) {
  const std::vector<uint8_t> src{0x01, 0x02, 0xF0};
  std::vector<uint8_t> dst(3);
  fax_bit__copy_reversed(dst.data(), src.data(), 3);
  EXPECT_EQ(dst, (std::vector<uint8_t>{0x80, 0x40, 0x0F}));
  fax_bit__copy_reversed_backwards(dst.data(), src.data(), 3);
  EXPECT_EQ(dst, (std::vector<uint8_t>{0x0F, 0x40, 0x80}));
  fax_bit__copy_backwards(dst.data(), src.data(), 3);
  EXPECT_EQ(dst, (std::vector<uint8_t>{0xF0, 0x02, 0x01}));
  t4t6__fill_bytes(dst.data(), 0xAA, 2);
  EXPECT_EQ(dst, (std::vector<uint8_t>{0xAA, 0xAA, 0x01}));
  t4t6__zero_bytes(dst.data(), 0);  // nothing when n is 0
  EXPECT_EQ(dst[0], 0xAA);
}

TEST(FaxBitCursor, SkipNeverPassesTheEnd) {
  std::vector<uint8_t> v(4);
  auto c = at(v, 3, 20);
  t4t6__bit_skip(c, 6);
  EXPECT_EQ(c.byte_index, 1u);
  EXPECT_EQ(c.bit_offset, 1);
  EXPECT_EQ(c.bits_left, 14);
  t4t6__bit_skip(c, 100);
  EXPECT_EQ(c.bits_left, 0);
  EXPECT_EQ(c.byte_index * 8 + static_cast<uint32_t>(c.bit_offset), 23u);
}

TEST(FaxBitCursor, BytesLeftCountsTouchedBytes) {
  std::vector<uint8_t> v(8);
  struct {
    uint32_t bit;
    int32_t left;
    uint32_t want;
  } cases[] = {
      {0, 0, 0}, {0, 1, 1}, {0, 8, 1}, {0, 9, 2}, {5, 3, 1}, {5, 4, 2}, {7, 17, 3}, {3, -1, 0},
  };
  for (auto& c : cases) EXPECT_EQ(fax_bit__bytes_left(at(v, c.bit, c.left)), c.want) << c.bit << "/" << c.left;
}

TEST(FaxBitCursor, CountZeroBitsStopsAtOneOrEnd) {
  std::vector<uint8_t> v{0x00, 0x00, 0x10, 0xFF};
  EXPECT_EQ(fax_bit__count_zero_bits(at(v, 0, 32), 0), 19u);
  EXPECT_EQ(fax_bit__count_zero_bits(at(v, 3, 29), 2), 14u);
  EXPECT_EQ(fax_bit__count_zero_bits(at(v, 0, 10), 0), 10u);  // end of data
  EXPECT_EQ(fax_bit__count_zero_bits(at(v, 20, 12), 0), 4u);
  EXPECT_EQ(fax_bit__count_zero_bits(at(v, 0, 32), 40), 0u);  // offset past the end
}

TEST(FaxBitFieldCopy, AnyAlignmentKeepsOutsideBits) {
  std::mt19937 rng(7);
  for (int round = 0; round < 400; ++round) {
    std::vector<uint8_t> src(12), dst(12), before;
    for (auto& b : src) b = static_cast<uint8_t>(rng());
    for (auto& b : dst) b = static_cast<uint8_t>(rng());
    before = dst;
    const uint32_t s = rng() % 20, d = rng() % 20, n = rng() % 70;
    const uint32_t got = fax_bit__field_copy(at(dst, d, 96 - d), at(src, s, 96 - s), n);
    ASSERT_EQ(got, n);
    for (uint32_t p = 0; p < 96; ++p) {
      const bool want = (p >= d && p < d + n) ? bit_of(src, s + (p - d)) : bit_of(before, p);
      ASSERT_EQ(bit_of(dst, p), want) << "round " << round << " bit " << p;
    }
  }
  std::vector<uint8_t> a(2), b(2, 0xFF);
  EXPECT_EQ(fax_bit__field_copy(at(a, 0, 5), at(b, 0, 16), 16), 5u);  // cut to the room left
  EXPECT_EQ(a[0], 0xF8);
}

TEST(FaxBitPutBits, ClearsUnusedBitsAndRespectsRoom) {
  std::vector<uint8_t> v{0xFF, 0xFF, 0xFF};
  auto c = at(v, 0, 24);
  const uint8_t three[] = {0xA0};
  ASSERT_TRUE(t4t6__put_bits(c, three, 3));
  EXPECT_EQ(v[0], 0xA0);  // unused bits of the partly used byte cleared
  const uint8_t ten[] = {0xFF, 0xC0};
  ASSERT_TRUE(t4t6__put_bits(c, ten, 10));
  EXPECT_EQ(v[0], 0xBF);
  EXPECT_EQ(v[1], 0xF8);
  EXPECT_EQ(c.bits_left, 11);
  const uint8_t many[] = {0, 0};
  EXPECT_FALSE(t4t6__put_bits(c, many, 12));
  EXPECT_EQ(c.bits_left, 11);
}

TEST(FaxBitFindEol, FindsElevenZerosThenOne) {
  struct {
    std::vector<uint8_t> data;
    uint32_t start;
    uint32_t want;
  } cases[] = {
      {{0x00, 0x10}, 0, 12},        // 11 zeros and the 1
      {{0x00, 0x01}, 0, 16},        // with fill
      {{0x00, 0x20}, 0, 0},         // 10 zeros only
      {{0x80, 0x01, 0x00}, 0, 16},  // 14 zeros across a byte boundary
      {{0x80, 0x00}, 0, 0},         // data end first
      {{0xFF, 0x00, 0x10}, 4, 16},  // from an offset
      {{0x10, 0x00, 0x40}, 0, 18},  // zeros after the last 1 of a byte count
  };
  for (auto& c : cases) {
    t4t6_eol_search s;
    const uint32_t len = static_cast<uint32_t>(c.data.size() * 8);
    EXPECT_EQ(t4t6__find_eol(s, at(c.data, c.start, static_cast<int32_t>(len - c.start))), c.want);
  }
}

TEST(FaxBitFindEol, CarriesZerosAcrossBlocks) {
  std::vector<uint8_t> a{0xF0, 0x00}, b{0x08};
  t4t6_eol_search s;
  EXPECT_EQ(t4t6__find_eol(s, at(a, 0, 16)), 0u);
  EXPECT_EQ(s.zeros, 12u);
  EXPECT_EQ(t4t6__find_eol(s, at(b, 0, 8)), 5u);
  EXPECT_EQ(s.zeros, 0u);
}

}  // namespace
