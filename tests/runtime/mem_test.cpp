// Block pools, temporary blocks, heap and the small library routines.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "runtime/blk_pool.h"
#include "runtime/mem.h"
#include "runtime/om_os.h"
#include "runtime/support/rt_harness.h"

namespace {

struct blk_error {
  u16 code;
  std::string routine;
  u32 detail;
};
std::vector<blk_error> blk_errors;
void on_blk_error(u16 code, const char* routine, u32 detail) { blk_errors.push_back({code, routine, detail}); }

class BlockPool : public ::testing::Test {
 protected:
  void SetUp() override {
    blk_errors.clear();
    om_os_set_blk_error_handler(on_blk_error);
  }
  void TearDown() override { om_os_set_blk_error_handler(nullptr); }
  alignas(8) u8 area[8 + 3 * 14] = {};
};

TEST_F(BlockPool, ThreeFourteenByteBlocksHandedOutLastFirst) {
  ASSERT_EQ(om_os_blk_count(area, sizeof area, 5), 3u);
  om_os_blk_init(area, sizeof area, 5);
  u8* a = static_cast<u8*>(om_os_blk_get(area));
  u8* b = static_cast<u8*>(om_os_blk_get(area));
  u8* c = static_cast<u8*>(om_os_blk_get(area));
  EXPECT_EQ(a, area + 8 + 2 * 14 + 8);
  EXPECT_EQ(b, area + 8 + 1 * 14 + 8);
  EXPECT_EQ(c, area + 8 + 0 * 14 + 8);
  u32 tag;
  std::memcpy(&tag, a - 8, 4);
  EXPECT_EQ(tag, OM_OS_BLK_TAG_USED);
  // Empty: null and no report.
  EXPECT_EQ(om_os_blk_get(area), nullptr);
  EXPECT_TRUE(blk_errors.empty());
  // A freed block is the next one handed out.
  om_os_blk_free(b);
  std::memcpy(&tag, b - 8, 4);
  EXPECT_EQ(tag, OM_OS_BLK_TAG_FREE);
  EXPECT_EQ(om_os_blk_get(area), b);
}

TEST_F(BlockPool, OddAreaStartsAtTheNextEvenAddress) {
  alignas(8) u8 big[1 + 1 + 8 + 2 * 16] = {};  // area = big + 1: odd, one byte of padding
  om_os_blk_init(big + 1, sizeof big - 1, 8);
  EXPECT_EQ(om_os_blk_count(big + 1, sizeof big - 1, 8), 2u);
  u8* p = static_cast<u8*>(om_os_blk_get(big + 1));
  EXPECT_EQ(p, big + 2 + 8 + 16 + 8);
}

TEST_F(BlockPool, MisuseIsReportedAndLeavesThePoolIntact) {
  om_os_blk_init(area, sizeof area, 5);
  u8* a = static_cast<u8*>(om_os_blk_get(area));
  std::memset(a, 0xAB, 6);
  om_os_blk_free(a);
  om_os_blk_free(a);  // twice
  ASSERT_EQ(blk_errors.size(), 1u);
  EXPECT_EQ(blk_errors[0].code, OM_OS_BLK_ERR_FREED_TWICE);
  EXPECT_EQ(blk_errors[0].routine, "om_os_blk_free");
  EXPECT_EQ(blk_errors[0].detail, static_cast<u32>(reinterpret_cast<uintptr_t>(area)));  // pool identity

  // Still three distinct blocks.
  void* got[3] = {om_os_blk_get(area), om_os_blk_get(area), om_os_blk_get(area)};
  EXPECT_NE(got[0], got[1]);
  EXPECT_NE(got[1], got[2]);
  EXPECT_NE(got[0], got[2]);
  EXPECT_EQ(om_os_blk_get(area), nullptr);

  blk_errors.clear();
  // Pointers that belong to no pool: refused without reading them.
  std::vector<u8> foreign(32);
  om_os_blk_free(foreign.data());
  om_os_blk_free(area + 3);  // inside the area, not a block start
  om_os_blk_free(nullptr);
  // A bad pool address.
  EXPECT_EQ(om_os_blk_get(foreign.data()), nullptr);
  ASSERT_EQ(blk_errors.size(), 4u);
  EXPECT_EQ(blk_errors[0].code, OM_OS_BLK_ERR_BAD_BLOCK);
  EXPECT_EQ(blk_errors[0].detail, 0u);
  EXPECT_EQ(blk_errors[1].code, OM_OS_BLK_ERR_BAD_BLOCK);
  EXPECT_EQ(blk_errors[2].code, OM_OS_BLK_ERR_BAD_BLOCK);
  EXPECT_EQ(blk_errors[3].code, OM_OS_BLK_ERR_BAD_POOL);
  EXPECT_EQ(blk_errors[3].routine, "om_os_blk_get");
}

TEST_F(BlockPool, OverwrittenTagsAreReportedByGet) {
  om_os_blk_init(area, sizeof area, 5);
  u8* head_tag = area + 8 + 2 * 14;  // last block: the free-list head
  const u32 used = OM_OS_BLK_TAG_USED;
  std::memcpy(head_tag, &used, 4);
  EXPECT_EQ(om_os_blk_get(area), nullptr);
  std::memset(head_tag, 0x11, 4);
  EXPECT_EQ(om_os_blk_get(area), nullptr);
  ASSERT_EQ(blk_errors.size(), 2u);
  EXPECT_EQ(blk_errors[0].code, OM_OS_BLK_ERR_HEAD_USED);
  EXPECT_EQ(blk_errors[1].code, OM_OS_BLK_ERR_HEAD_BAD_TAG);
  // A block whose tag was overwritten while in use is refused by free.
  om_os_blk_init(area, sizeof area, 5);
  u8* a = static_cast<u8*>(om_os_blk_get(area));
  std::memset(a - 8, 0x22, 4);
  blk_errors.clear();
  om_os_blk_free(a);
  ASSERT_EQ(blk_errors.size(), 1u);
  EXPECT_EQ(blk_errors[0].code, OM_OS_BLK_ERR_BAD_BLOCK);
}

TEST_F(BlockPool, AreasTooSmallHoldNoBlock) {
  u8 tiny[6] = {};
  om_os_blk_init(tiny, sizeof tiny, 4);  // not even the header fits: nothing written
  EXPECT_EQ(om_os_blk_count(tiny, sizeof tiny, 4), 0u);
  alignas(8) u8 hdr_only[8 + 10] = {};
  om_os_blk_init(hdr_only, sizeof hdr_only, 4);  // a 12-byte block does not fit
  EXPECT_EQ(om_os_blk_get(hdr_only), nullptr);
  EXPECT_TRUE(blk_errors.empty());
}

TEST_F(BlockPool, OneByteBlocksDoNotSpillIntoTheirNeighbour) {
  alignas(8) u8 a2[8 + 2 * 10] = {};
  om_os_blk_init(a2, sizeof a2, 1);  // data rounded to 2 bytes
  u8* x = static_cast<u8*>(om_os_blk_get(a2));
  u8* y = static_cast<u8*>(om_os_blk_get(a2));
  om_os_blk_free(y);
  om_os_blk_free(x);
  EXPECT_TRUE(blk_errors.empty());
  EXPECT_EQ(om_os_blk_get(a2), x);
  EXPECT_EQ(om_os_blk_get(a2), y);
}

TEST(LibraryRoutines, RandFollowsTheStandardSampleGenerator) {
  om_os_srand(1);
  EXPECT_EQ(om_os_rand(), 16838);
  EXPECT_EQ(om_os_rand(), 5758);
  EXPECT_EQ(om_os_rand(), 10113);
  om_os_srand(0);
  EXPECT_EQ(om_os_rand(), 0);
  EXPECT_EQ(om_os_rand(), 21468);
  EXPECT_EQ(om_os_rand(), 9988);
}

TEST(LibraryRoutines, Strncpy) {
  struct tc {
    const char* src;
    u16 n;
    u16 ret;
    const char* expect;
  } cases[] = {
      {"abc", 3, 3, "ab"}, {"abc", 4, 4, "abc"}, {"abc", 10, 4, "abc"}, {"", 5, 1, ""}, {"abc", 1, 1, ""},
  };
  for (const auto& c : cases) {
    char dst[16];
    std::memset(dst, 'Z', sizeof dst);
    EXPECT_EQ(om_os_strncpy(dst, c.src, c.n), c.ret) << c.src << " n=" << c.n;
    EXPECT_STREQ(dst, c.expect);
    EXPECT_EQ(dst[c.ret], c.ret < c.n ? 'Z' : dst[c.ret]);  // nothing written past the count
  }
  char d[4] = {'x', 'x', 'x', 'x'};
  EXPECT_EQ(om_os_strncpy(d, "abc", 0), 0);
  EXPECT_EQ(om_os_strncpy(nullptr, "abc", 3), 0);
  EXPECT_EQ(om_os_strncpy(d, nullptr, 3), 0);
  EXPECT_EQ(d[0], 'x');
}

TEST(LibraryRoutines, MemcmpAndStrcmp) {
  EXPECT_EQ(om_os_memcmp("abcd", "abxd", 4), 2u);
  EXPECT_EQ(om_os_memcmp("abcd", "abcd", 4), 0u);
  EXPECT_EQ(om_os_memcmp("xbcd", "abcd", 4), 4u);
  EXPECT_EQ(om_os_memcmp("abcd", "abce", 4), 1u);
  EXPECT_EQ(om_os_strcmp("abc", "abc"), 0);
  EXPECT_EQ(om_os_strcmp("abd", "abc"), 1);
  EXPECT_EQ(om_os_strcmp("ab", "abc"), -'c');
  const char s[] = {'a', static_cast<char>(0x80), 0};
  EXPECT_EQ(om_os_strcmp(s, "a"), -128);  // signed bytes
  EXPECT_EQ(om_os_strcmp(s, s), 0);
  EXPECT_EQ(om_os_strlen("abcd"), 4u);
}

class RuntimeMemory : public ::testing::Test {
 protected:
  void SetUp() override { rt_test::start_manual(nullptr); }
  void TearDown() override { rt_test::stop(); }
};

TEST_F(RuntimeMemory, TemporaryBlocks) {
  EXPECT_EQ(Alloc_tmp_block(18001), nullptr);
  u8* a = Alloc_tmp_block(1);
  u8* b = Alloc_tmp_block(18000);
  u8* c = Alloc_tmp_block(100);
  ASSERT_TRUE(a && b && c);
  EXPECT_EQ(Alloc_tmp_block(1), nullptr);
  EXPECT_EQ(Free_tmp_block(b), OM_OS_OK);
  EXPECT_EQ(Free_tmp_block(b), OM_OS_NOK);
  u8 other[4];
  EXPECT_EQ(Free_tmp_block(other), OM_OS_NOK);
  EXPECT_EQ(Alloc_tmp_block(5), b);
  EXPECT_EQ(om_os_tmp_block_largest_request(), 18001u);
}

TEST_F(RuntimeMemory, LongTermMemoryIsZeroedCountedAndReleasedAtStop) {
  const u32 before = om_os_mem_long_term_total();
  u8* p = static_cast<u8*>(om_os_mem_alloc(1000, OM_OS_MEM_LONG_TERM));
  ASSERT_NE(p, nullptr);
  for (int i = 0; i < 1000; ++i) ASSERT_EQ(p[i], 0);
  EXPECT_EQ(om_os_mem_long_term_total(), before + 1000);
  om_os_mem_free(p, OM_OS_MEM_LONG_TERM);
  EXPECT_EQ(om_os_mem_long_term_total(), before);
  EXPECT_EQ(om_os_mem_long_term_high(), before + 1000);
  // Left allocated on purpose: om_os_stop releases it (LeakSanitizer checks).
  ASSERT_NE(om_os_mem_alloc(64, OM_OS_MEM_LONG_TERM), nullptr);
}

}  // namespace
