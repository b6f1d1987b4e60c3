// Message and buffer pools: data placement, link counts, misuse, exhaustion,
// congestion notices and the interrupt-side pools.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "runtime/mem.h"
#include "runtime/om_os.h"
#include "runtime/sm.h"
#include "runtime/support/rt_harness.h"

using namespace rt_test;

namespace {

// A fake ENT_SM that records the congestion notices, and a T.38-like entity
// that asks for them.
const entity_table_row_t TABLE[] = {
    {ENT_SM, record_handler, 0, 0, nullptr, 0},
    {ENT_T38, record_handler, 1, 1, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

class Pools : public ::testing::Test {
 protected:
  void SetUp() override {
    start_manual(TABLE);
    pump();  // the start message
    rec().clear();
  }
  void TearDown() override { stop(); }
  // Messages held outside the interrupt-side pool.
  static int held_msgs() { return om_os_msg_pool_stats().in_use - om_os_it_msg_pool_stats().count; }
  static int held_bufs() { return om_os_buffer_pool_stats().in_use - om_os_it_buffer_pool_stats().count; }
  static std::string notices() {
    std::string s;
    for (const auto& m : rec().messages()) {
      s += static_cast<char>(m.code);
      s += m.from == ENT_PH_IT ? "i" : (m.from == ENT_NIL ? "n" : "?");
    }
    return s;
  }
};

TEST_F(Pools, AllocMsgDataPlacesDataInlineOrInOneBuffer) {
  struct tc {
    u32 n;
    bool ok;
    bool inline_data;
  } cases[] = {{0, true, true}, {64, true, true}, {65, true, false}, {1600, true, false}, {1601, false, false}};
  for (const auto& c : cases) {
    const int m0 = held_msgs(), b0 = held_bufs();
    msg_t* m = nullptr;
    buffer_t* b = nullptr;
    u8* data = nullptr;
    Alloc_msg_data(&m, &b, c.n, &data);
    EXPECT_EQ(data != nullptr, c.ok) << c.n;
    if (!c.ok) {
      EXPECT_EQ(m, nullptr);
      EXPECT_EQ(held_msgs(), m0);
      EXPECT_EQ(held_bufs(), b0);
      continue;
    }
    if (c.inline_data) {
      EXPECT_EQ(m->p_buffer, nullptr);
      EXPECT_EQ(m->data_size, c.n);
      EXPECT_EQ(data, Msg_inline_data(m));
    } else {
      ASSERT_NE(m->p_buffer, nullptr);
      EXPECT_EQ(m->p_buffer, b);
      EXPECT_EQ(b->data_size, c.n);
      EXPECT_EQ(b->link_count, 1);
      EXPECT_EQ(m->chain_size, c.n);
      EXPECT_EQ(data, Buffer_data(b));
    }
    std::memset(data, 0x5A, c.n);  // the whole room is writable (ASan)
    Free_msg(m);
    EXPECT_EQ(held_msgs(), m0);
    EXPECT_EQ(held_bufs(), b0);
  }
}

TEST_F(Pools, AllocMsgDataReusesWhatItIsGiven) {
  msg_t* m = nullptr;
  buffer_t* b = nullptr;
  u8* data = nullptr;
  Alloc_msg_data(&m, &b, 500, &data);
  buffer_t* first = b;
  const int b0 = held_bufs();
  // Same message, no buffer passed: its chain is reused for a new long body.
  buffer_t* none = nullptr;
  Alloc_msg_data(&m, &none, 900, &data);
  EXPECT_EQ(none, first);
  EXPECT_EQ(m->p_buffer, first);
  EXPECT_EQ(held_bufs(), b0);
  // A short body goes inline and the chain is released.
  none = nullptr;
  Alloc_msg_data(&m, &none, 10, &data);
  EXPECT_EQ(m->p_buffer, nullptr);
  EXPECT_EQ(none, nullptr);
  EXPECT_EQ(held_bufs(), b0 - 1);
  // Too long: refused, the message left as it was.
  Alloc_msg_data(&m, &none, 5000, &data);
  EXPECT_EQ(data, nullptr);
  EXPECT_EQ(m->data_size, 10);
  Free_msg(m);
}

TEST_F(Pools, FreeBufferFollowsLinkCounts) {
  buffer_t* a = Alloc_buffer();
  buffer_t* b = Alloc_buffer();
  a->next = b;
  a->link_count = 2;  // a second holder of the first buffer
  b->link_count = 1;
  const int b0 = held_bufs();
  Free_buffer(a);
  EXPECT_EQ(held_bufs(), b0 - 1);  // b released, a kept
  EXPECT_EQ(a->link_count, 1);
  a->next = nullptr;
  Free_buffer(a);
  EXPECT_EQ(held_bufs(), b0 - 2);
  EXPECT_TRUE(rec().traps().empty());
}

TEST_F(Pools, DoubleFreesTrapAndChangeNothing) {
  msg_t* m = Alloc_msg();
  buffer_t* b = Alloc_buffer();
  Free_msg(m);
  Free_buffer(b);
  const int m0 = held_msgs(), b0 = held_bufs();
  const auto it_m = om_os_it_msg_pool_stats().count, it_b = om_os_it_buffer_pool_stats().count;
  Free_msg(m);
  Free_buffer(b);
  EXPECT_EQ(rec().traps(), (std::vector<u16>{OM_OS_TRAP_MSG_FREE, OM_OS_TRAP_BUFFER_FREE}));
  EXPECT_EQ(held_msgs(), m0);
  EXPECT_EQ(held_bufs(), b0);
  EXPECT_EQ(om_os_it_msg_pool_stats().count, it_m);
  EXPECT_EQ(om_os_it_buffer_pool_stats().count, it_b);
  // The pools still hand out distinct records.
  msg_t* x = Alloc_msg();
  msg_t* y = Alloc_msg();
  EXPECT_NE(x, y);
  Free_msg(x);
  Free_msg(y);
}

TEST_F(Pools, MessageCongestionSendsOneBusyNoticeAndClearsOnce) {
  std::vector<msg_t*> held;
  // Fill the interrupt-side pool first so that frees reach the normal pool.
  It_refill_msg_pool();
  while (om_os_msg_pool_stats().in_use < 6243) held.push_back(Alloc_msg());
  pump();
  EXPECT_EQ(notices(), "");
  held.push_back(Alloc_msg());  // 6244th in use: at most 6 left
  for (int i = 0; i < 3; ++i) held.push_back(Alloc_msg());
  pump();
  EXPECT_EQ(notices(), "an");
  EXPECT_EQ(om_os_get_congestion(), 1);
  EXPECT_EQ(om_os_msg_pool_stats().episodes, 1);
  rec().clear();
  // Buffers congest too; messages clearing alone ends nothing.
  std::vector<buffer_t*> bufs;
  while (om_os_buffer_pool_stats().in_use < 6246) bufs.push_back(Alloc_buffer());
  EXPECT_EQ(om_os_buffer_pool_stats().congested, 1);
  for (msg_t* m : held) Free_msg(m);
  held.clear();
  EXPECT_EQ(om_os_msg_pool_stats().congested, 0);
  EXPECT_EQ(om_os_get_congestion(), 1);
  pump();
  EXPECT_EQ(notices(), "");
  for (buffer_t* b : bufs) Free_buffer(b);
  EXPECT_EQ(om_os_get_congestion(), 0);
  pump();
  EXPECT_EQ(notices(), "bn");
  EXPECT_TRUE(rec().traps().empty());
}

TEST_F(Pools, ExhaustionTrapsAndReturnsNull) {
  std::vector<msg_t*> held;
  for (;;) {
    msg_t* m = Alloc_msg();
    if (!m) break;
    held.push_back(m);
    ASSERT_LT(held.size(), 7000u);
  }
  const auto st = om_os_msg_pool_stats();
  EXPECT_EQ(st.in_use, 6250);
  EXPECT_EQ(st.high_water, 6250);
  EXPECT_EQ(rec().traps().back(), OM_OS_TRAP_MSG_POOL);
  EXPECT_EQ(om_os_msg_pool_stats().in_use, 6250);
  for (msg_t* m : held) Free_msg(m);
  EXPECT_EQ(om_os_buffer_pool_stats().in_use, 0);
}

TEST_F(Pools, InterruptSidePoolWatermarks) {
  It_refill_msg_pool();
  EXPECT_EQ(om_os_it_msg_pool_stats().count, 50);
  // Taking 40 leaves exactly 10: congestion from the interrupt side (the
  // notice itself is taken from the same pool).
  std::vector<msg_t*> taken;
  for (int i = 0; i < 40; ++i) taken.push_back(It_get_msg());
  EXPECT_EQ(om_os_it_msg_pool_stats().congested, 1);
  EXPECT_EQ(om_os_it_msg_pool_stats().count, 9);
  pump();
  EXPECT_EQ(notices(), "ai");
  rec().clear();
  // Back to exactly 20 clears it.
  for (int i = 0; i < 11; ++i) It_put_msg(taken[i]);
  EXPECT_EQ(om_os_it_msg_pool_stats().congested, 0);
  pump();
  EXPECT_EQ(notices(), "bi");
  EXPECT_EQ(om_os_it_msg_pool_stats().lowest, 9);
  for (size_t i = 11; i < taken.size(); ++i) Free_msg(taken[i]);
  // Free_msg fills the pool up to its normal level, then uses the cache.
  EXPECT_EQ(om_os_it_msg_pool_stats().count, 50);
  msg_t* m = It_get_msg();
  EXPECT_EQ(om_os_it_msg_pool_stats().count, 49);
  Free_msg(m);
  EXPECT_EQ(om_os_it_msg_pool_stats().count, 50);
  const u16 cache = om_os_msg_pool_stats().cache_count;
  Free_msg(Alloc_msg());
  EXPECT_EQ(om_os_msg_pool_stats().cache_count, cache + 1);
  // Above the high mark, refill gives back down to normal.
  for (int i = 0; i < 20; ++i) It_put_msg(Alloc_msg());
  EXPECT_EQ(om_os_it_msg_pool_stats().count, 70);
  It_refill_msg_pool();
  EXPECT_EQ(om_os_it_msg_pool_stats().count, 50);
}

TEST_F(Pools, InterruptSideBufferPoolCongestion) {
  It_refill_msg_pool();  // the notices come from the interrupt-side messages
  It_refill_buffer_pool();
  const auto st = om_os_it_buffer_pool_stats();
  ASSERT_GT(st.count, st.congestion_on);
  std::vector<buffer_t*> taken;
  while (om_os_it_buffer_pool_stats().count > st.congestion_on + 1) taken.push_back(It_get_buffer());
  EXPECT_EQ(om_os_it_buffer_pool_stats().congested, 0);
  taken.push_back(It_get_buffer());
  EXPECT_EQ(om_os_it_buffer_pool_stats().congested, 1);
  EXPECT_EQ(om_os_it_buffer_pool_stats().lowest, st.congestion_on);
  EXPECT_EQ(om_os_it_buffer_pool_stats().episodes, st.episodes + 1);
  pump();
  EXPECT_EQ(notices(), "ai");
  rec().clear();
  while (om_os_it_buffer_pool_stats().count < st.congestion_off) {
    EXPECT_EQ(om_os_it_buffer_pool_stats().congested, 1);
    It_put_buffer(taken.back());
    taken.pop_back();
  }
  EXPECT_EQ(om_os_it_buffer_pool_stats().congested, 0);
  pump();
  EXPECT_EQ(notices(), "bi");
  for (buffer_t* b : taken) It_put_buffer(b);
  EXPECT_EQ(om_os_it_buffer_pool_stats().count, st.count);
  EXPECT_TRUE(rec().traps().empty());
}

TEST_F(Pools, InterruptSideRefillBringsEitherPoolBackToNormal) {
  struct side {
    const char* name;
    void (*refill)();
    om_os_it_pool_stats (*it_stats)();
    om_os_pool_stats (*stats)();
    void (*add_one)();
  };
  const side sides[] = {
      {"messages", It_refill_msg_pool, om_os_it_msg_pool_stats, om_os_msg_pool_stats, [] { It_put_msg(Alloc_msg()); }},
      {"buffers", It_refill_buffer_pool, om_os_it_buffer_pool_stats, om_os_buffer_pool_stats,
       [] { It_put_buffer(Alloc_buffer()); }},
  };
  for (const auto& s : sides) {
    s.refill();
    const auto it = s.it_stats();
    EXPECT_EQ(it.count, it.normal) << s.name;
    const int in_use = s.stats().in_use;
    while (s.it_stats().count <= it.high) s.add_one();
    EXPECT_EQ(s.stats().in_use, in_use + it.high + 1 - it.normal) << s.name;
    // Above the high mark: the extra records go back to the normal pool.
    s.refill();
    EXPECT_EQ(s.it_stats().count, it.normal) << s.name;
    EXPECT_EQ(s.stats().in_use, in_use) << s.name;
  }
  // What went back can be had and freed again.
  Free_msg(Alloc_msg());
  Free_buffer(Alloc_buffer());
  EXPECT_TRUE(rec().traps().empty());
}

TEST_F(Pools, InterruptSideWatermarkOrderIsChecked) {
  // Already set by om_os_start: refused.
  const u16 v[10] = {40, 50, 60, 40, 50, 60, 10, 20, 10, 20};
  EXPECT_EQ(om_os_it_pool_init(v), OM_OS_NOK);
}

TEST_F(Pools, SetInlineBodyDropsTheChainAndStartsAfresh) {
  // A message whose data lie in a two-buffer chain, as a received request.
  std::vector<u8> data(2000, 0x5A);
  const int b0 = held_bufs();
  msg_t* m = Alloc_msg();
  Msg_attach_chain(m, Store_data_in_buffers(data.data(), 2000, nullptr));
  m->data_offset = MSG_HEADER_SIZE + 4;
  ASSERT_EQ(held_bufs(), b0 + 2);
  const u8 body[3] = {1, 2, 3};
  Msg_set_inline_body(m, body, sizeof body);
  EXPECT_EQ(m->p_buffer, nullptr);
  EXPECT_EQ(m->chain_size, 0);
  EXPECT_EQ(m->data_offset, MSG_HEADER_SIZE);
  EXPECT_EQ(Msg_total_size(m), 3u);
  EXPECT_EQ(std::vector<u8>(Msg_data(m), Msg_data(m) + 3), std::vector<u8>(body, body + 3));
  EXPECT_EQ(held_bufs(), b0);  // the chain went back to the pool
  // An empty body on an inline message.
  Msg_set_inline_body(m, nullptr, 0);
  EXPECT_EQ(Msg_total_size(m), 0u);
  Free_msg(m);
  EXPECT_TRUE(rec().traps().empty());
}

TEST_F(Pools, StoreCopyReassembleAndWrap) {
  std::vector<u8> data(3201);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<u8>(i ^ (i >> 8));
  buffer_t* chain = Store_data_in_buffers(data.data(), 3201, nullptr);
  ASSERT_NE(chain, nullptr);
  ASSERT_NE(chain->next, nullptr);
  ASSERT_NE(chain->next->next, nullptr);
  EXPECT_EQ(chain->data_size, 1600);
  EXPECT_EQ(chain->next->next->data_size, 1);
  // Reusing the chain for less data releases the surplus buffers.
  const int b0 = held_bufs();
  EXPECT_EQ(Store_data_in_buffers(data.data(), 100, chain), chain);
  EXPECT_EQ(chain->next, nullptr);
  EXPECT_EQ(held_bufs(), b0 - 2);
  ASSERT_EQ(Store_data_in_buffers(data.data(), 3201, chain), chain);

  msg_t* m = Alloc_msg();
  Msg_attach_chain(m, chain);
  m->code = 'q';
  m->nai = 7;
  msg_t* c = Copy_msg(m);
  ASSERT_NE(c, nullptr);
  EXPECT_EQ(c->code, 'q');
  EXPECT_EQ(c->nai, 7);
  EXPECT_NE(c->p_buffer, m->p_buffer);
  u32 total = 0;
  u8 area[4000];
  EXPECT_EQ(Reassemble_buffers(area, sizeof area, c->p_buffer, &total), area);
  EXPECT_EQ(total, 3201u);
  EXPECT_EQ(std::vector<u8>(area, area + total), data);
  // Too small an area: a temporary block.
  u8 small[10];
  u8* tmp = Reassemble_buffers(small, sizeof small, c->p_buffer, &total);
  ASSERT_NE(tmp, nullptr);
  EXPECT_NE(tmp, small);
  EXPECT_EQ(std::vector<u8>(tmp, tmp + total), data);
  EXPECT_EQ(Free_tmp_block(tmp), OM_OS_OK);
  Free_msg(m);
  Free_msg(c);

  // A single short buffer goes inline behind the header room.
  buffer_t* b = Store_data_in_buffers(data.data(), 30, nullptr);
  msg_t* w = Alloc_msg_with_buffer(b, 28);
  EXPECT_EQ(w->p_buffer, nullptr);
  EXPECT_EQ(w->data_offset, MSG_HEADER_SIZE + 28);
  EXPECT_EQ(w->data_size, 30);
  EXPECT_EQ(std::memcmp(Msg_inline_data(w), data.data(), 30), 0);
  Free_msg(w);
  b = Store_data_in_buffers(data.data(), 40, nullptr);
  w = Alloc_msg_with_buffer(b, 28);  // 68 > 64: attached
  EXPECT_EQ(w->p_buffer, b);
  EXPECT_EQ(w->chain_size, 40);
  Free_msg(w);
  EXPECT_TRUE(rec().traps().empty());
}

TEST_F(Pools, CopyOfAChainIsWholeOrNone) {
  std::vector<u8> data(3201);
  for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<u8>(i * 7);
  msg_t* m = Alloc_msg();
  ASSERT_NE(m, nullptr);
  Msg_attach_chain(m, Store_data_in_buffers(data.data(), static_cast<u32>(data.size()), nullptr));
  ASSERT_EQ(Buffer_chain_length(m->p_buffer), 3201u);
  // The pool keeps only two buffers of the three the copy needs.
  std::vector<buffer_t*> taken;
  for (buffer_t* b; (b = Alloc_buffer()) != nullptr;) {
    taken.push_back(b);
    ASSERT_LT(taken.size(), 100000u);
  }
  ASSERT_GE(taken.size(), 2u);
  Free_buffer(taken.back());
  taken.pop_back();
  Free_buffer(taken.back());
  taken.pop_back();
  rec().clear();
  const int msgs = held_msgs(), bufs = held_bufs();
  EXPECT_EQ(Copy_msg(m), nullptr);
  EXPECT_EQ(rec().traps(), (std::vector<u16>{OM_OS_TRAP_BUFFER_POOL}));
  EXPECT_EQ(held_msgs(), msgs);
  EXPECT_EQ(held_bufs(), bufs);
  // With buffers back, the copy carries all of the data.
  for (buffer_t* b : taken) Free_buffer(b);
  msg_t* c = Copy_msg(m);
  ASSERT_NE(c, nullptr);
  u32 total = 0;
  std::vector<u8> area(4000);
  ASSERT_EQ(Reassemble_buffers(area.data(), static_cast<u32>(area.size()), c->p_buffer, &total), area.data());
  EXPECT_EQ(std::vector<u8>(area.begin(), area.begin() + total), data);
  Free_msg(c);
  Free_msg(m);
}

TEST(PoolConfiguration, BadThresholdsAndSizesAreRefused) {
  struct tc {
    const char* what;
    void (*edit)(om_os_config&);
    u16 trap;
  } cases[] = {
      {"off 0", [](om_os_config& c) { c.msg_congestion_off = 0; }, OM_OS_TRAP_CONGESTION_CFG},
      {"off < on", [](om_os_config& c) { c.buffer_congestion_off = 4; }, OM_OS_TRAP_CONGESTION_CFG},
      {"off > limit", [](om_os_config& c) { c.msg_congestion_off = 7000; }, OM_OS_TRAP_CONGESTION_CFG},
      {"room < 10", [](om_os_config& c) { c.msg_size = 45; }, OM_OS_TRAP_MSG_SIZE},
  };
  for (const auto& c : cases) {
    om_os_config cfg = om_os_default_config;
    c.edit(cfg);
    use_config(cfg);
    start_manual(nullptr);
    auto traps = start_traps();
    ASSERT_GE(traps.size(), 2u) << c.what;
    EXPECT_EQ(traps[0], c.trap) << c.what;
    EXPECT_EQ(traps[1], OM_OS_TRAP_CONFIG) << c.what;
    EXPECT_EQ(om_os_started(), 0) << c.what;
    stop();
  }
}

}  // namespace
