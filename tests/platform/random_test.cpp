#include "platform/random.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <set>

TEST(PlatformRandom, FillsEveryByteAndDiffersBetweenCalls) {
  // Two 32-byte draws that agree would mean the source is not random at all.
  std::array<std::uint8_t, 32> a{}, b{};
  ASSERT_TRUE(plat_random_bytes(a.data(), a.size()));
  ASSERT_TRUE(plat_random_bytes(b.data(), b.size()));
  EXPECT_NE(a, b);
  // A zero-length request succeeds and writes nothing.
  std::uint8_t guard = 0x5A;
  EXPECT_TRUE(plat_random_bytes(&guard, 0));
  EXPECT_EQ(guard, 0x5A);
}

TEST(PlatformRandom, ValuesSpread) {
  std::set<std::uint32_t> seen;
  for (int i = 0; i < 64; ++i) seen.insert(plat_random_u32());
  EXPECT_GT(seen.size(), 60u);
}
