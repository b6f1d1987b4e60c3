// Timers on the timing wheel, driven by a virtual clock (and once by the real
// one with the TIMR thread).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <map>
#include <vector>

#include "platform/clock.h"
#include "runtime/om_os.h"
#include "runtime/support/rt_harness.h"
#include "runtime/timer.h"

using namespace rt_test;

namespace {

constexpr ent_id_t ENT_P = 'P';

const entity_table_row_t TABLE[] = {
    {ENT_P, record_handler, 0, 0, nullptr, 0},
    {ENT_NIL, nullptr, 0, 0, nullptr, 0},
};

constexpr u32 T0 = 100000;  // virtual time at start: the wheel time

class Timers : public ::testing::Test {
 protected:
  void SetUp() override {
    use_virtual_clock(T0);
    start_manual(TABLE);
  }
  void TearDown() override { stop(); }

  // Advances the virtual clock 1 ms at a time, turning the wheel and running
  // the SM task; records the virtual time of each expiry by its timer id.
  void run_for(u32 ms) {
    for (u32 i = 0; i < ms; ++i) {
      advance_clock(1);
      om_os_timer_poll();
      size_t before = rec().messages().size();
      pump();
      auto all = rec().messages();
      for (size_t k = before; k < all.size(); ++k) fired[Timer_expiry_id_of(all[k])] = virtual_now();
    }
  }
  static u16 Timer_expiry_id_of(const seen_msg& m) { return static_cast<u16>(m.data[0] | (m.data[1] << 8)); }
  std::map<u16, u32> fired;
};

TEST_F(Timers, ExpiriesArriveInOrderWithinOneTick) {
  const u32 durations[] = {0, 15, 100, 2000};
  for (u32 offset = 0; offset < 10; ++offset) {  // start at every point of a tick
    fired.clear();
    rec().clear();
    run_for(offset ? offset : 10);
    const u32 start = virtual_now();
    timer_cell_t* cells[4];
    for (u16 i = 0; i < 4; ++i) {
      cells[i] = Timer_alloc(ENT_P, 9, 3, 77);
      ASSERT_NE(cells[i], nullptr);
      Timer_start(cells[i], durations[i], i, 'k');
      EXPECT_TRUE(Timer_is_running(cells[i]));
    }
    run_for(2100);
    ASSERT_EQ(fired.size(), 4u) << "offset " << offset;
    // Short timers: never in the running turn, 10 to 20 ms later.
    for (u16 i : {0, 1}) {
      EXPECT_GE(fired[i] - start, 10u) << offset;
      EXPECT_LE(fired[i] - start, 20u) << offset;
    }
    // Longer ones: within one tick of their time.
    for (u16 i : {2, 3}) {
      i32 late = static_cast<i32>(fired[i] - (start + durations[i]));
      EXPECT_GT(late, -10) << "duration " << durations[i] << " offset " << offset;
      EXPECT_LT(late, 10) << "duration " << durations[i] << " offset " << offset;
    }
    // In order of their durations (0 and 15 ms share a turn).
    EXPECT_LE(fired[0], fired[1]);
    EXPECT_LT(fired[1], fired[2]);
    EXPECT_LT(fired[2], fired[3]);
    auto msgs = rec().messages();
    ASSERT_EQ(msgs.size(), 4u);
    for (u16 i = 0; i < 4; ++i) {
      EXPECT_EQ(msgs[i].from, ENT_TI);
      EXPECT_EQ(msgs[i].to, ENT_P);
      EXPECT_EQ(msgs[i].code, 'k');
      EXPECT_EQ(msgs[i].nai, 9);
      EXPECT_EQ(msgs[i].sapi, 3);
      EXPECT_EQ(msgs[i].conn_id, 77);
      EXPECT_EQ(msgs[i].data.size(), TI_EXPIRY_DATA_SIZE);
      EXPECT_FALSE(Timer_is_running(cells[i]));
      Timer_free(cells[i]);
    }
    for (u16 i = 2; i < 4; ++i) {
      EXPECT_EQ(Timer_expiry_id_of(msgs[i]), i);
    }
  }
  EXPECT_TRUE(rec().traps().empty());
  EXPECT_EQ(om_os_timer_pool_stats().in_use, 0);
}

TEST_F(Timers, StopRestartAndFreeAreSafeAtEveryPoint) {
  timer_cell_t* a = Timer_alloc(ENT_P, 0, 0, 0);
  timer_cell_t* b = Timer_alloc(ENT_P, 0, 0, 0);
  timer_cell_t* c = Timer_alloc(ENT_P, 0, 0, 0);
  Timer_stop(a);  // never started: nothing
  Timer_start(a, 50, 1, 'x');
  Timer_start(b, 50, 2, 'x');
  Timer_start(c, 50, 3, 'x');
  Timer_stop(b);
  Timer_stop(b);
  Timer_start(a, 300, 4, 'x');  // restart moves it
  Timer_free(c);                // freed while running
  Timer_start(nullptr, 10, 9, 'x');
  Timer_stop(nullptr);
  Timer_free(nullptr);
  run_for(400);
  ASSERT_EQ(fired.size(), 1u);
  EXPECT_EQ(fired.count(4), 1u);
  EXPECT_EQ(rec().traps(), std::vector<u16>{});
  Timer_free(c);  // twice
  EXPECT_EQ(rec().traps(), std::vector<u16>{OM_OS_TRAP_TIMER_FREE});
  EXPECT_EQ(om_os_timer_pool_stats().in_use, 2);
  // A cell whose slot-mates come and go keeps its place in the list.
  for (u16 i = 0; i < 5; ++i) {
    timer_cell_t* t = Timer_alloc(ENT_P, 0, 0, 0);
    Timer_start(t, 100, static_cast<u16>(100 + i), 'y');
    Timer_start(b, 100, 50, 'y');
    Timer_free(t);
  }
  fired.clear();
  run_for(150);
  EXPECT_EQ(fired.size(), 1u);
  EXPECT_EQ(fired.count(50), 1u);
  Timer_free(a);
  Timer_free(b);
}

TEST_F(Timers, AQueuedExpiryIsToldApartByItsId) {
  timer_cell_t* t = Timer_alloc(ENT_P, 0, 0, 0);
  Timer_start(t, 0, 1, 'x');
  advance_clock(30);
  om_os_timer_poll();  // expiry 1 is queued, not yet handled
  Timer_start(t, 20, 2, 'x');
  Timer_free(t);  // even freeing the cell leaves the queued message sound
  pump();
  auto msgs = rec().messages();
  ASSERT_EQ(msgs.size(), 1u);
  EXPECT_EQ(msgs[0].data[0], 1);  // the owner sees the old id and ignores it
  run_for(100);
  EXPECT_EQ(rec().messages().size(), 1u);  // the freed cell never fires
}

TEST_F(Timers, AWheelHeldUpCatchesUpAtOnce) {
  timer_cell_t* t = Timer_alloc(ENT_P, 0, 0, 0);
  Timer_start(t, 100, 7, 'x');
  advance_clock(500);
  EXPECT_EQ(om_os_timer_poll(), 50u);  // 50 turns back to back
  pump();
  ASSERT_EQ(rec().messages().size(), 1u);
  EXPECT_EQ(om_os_timer_poll(), 0u);
  Timer_free(t);
}

TEST_F(Timers, HugeDurationsDoNotWrapIntoImmediateExpiries) {
  timer_cell_t* t = Timer_alloc(ENT_P, 0, 0, 0);
  Timer_start(t, 0xFFFFFFF0u, 1, 'x');  // would wrap the tick count
  run_for(3000);
  EXPECT_TRUE(fired.empty());
  EXPECT_TRUE(Timer_is_running(t));
  Timer_free(t);
}

TEST(TimerPool, CellLimitReturnsNullWithoutTrap) {
  om_os_config cfg = om_os_default_config;
  cfg.timer_limit = 3;
  cfg.timer_cache_limit = 1;  // the others go back to the heap
  use_config(cfg);
  start_manual(TABLE);
  timer_cell_t* c[3];
  for (auto& x : c) x = Timer_alloc(ENT_P, 0, 0, 0);
  EXPECT_EQ(Timer_alloc(ENT_P, 0, 0, 0), nullptr);
  EXPECT_TRUE(rec().traps().empty());
  for (auto& x : c) Timer_free(x);
  EXPECT_EQ(om_os_timer_pool_stats().cache_count, 1);
  EXPECT_EQ(om_os_timer_pool_stats().high_water, 3);
  c[0] = Timer_alloc(ENT_P, 0, 0, 0);
  EXPECT_NE(c[0], nullptr);
  Timer_free(c[0]);
  stop();
}

TEST(TimerRealClock, TheTimerThreadTurnsTheWheel) {
  start_threaded(TABLE, true);
  timer_cell_t* t = Timer_alloc(ENT_P, 1, 2, 3);
  ASSERT_NE(t, nullptr);
  const u32 t0 = plat_tick_ms();
  Timer_start(t, 60, 42, 'r');
  ASSERT_TRUE(rec().wait_for(1, 3000));
  const u32 elapsed = plat_tick_ms() - t0;
  EXPECT_GE(elapsed, 45u);
  EXPECT_LT(elapsed, 2000u);
  auto m = rec().messages()[0];
  EXPECT_EQ(m.code, 'r');
  EXPECT_EQ(m.data[0], 42);
  EXPECT_EQ(m.calling_task, 0);  // delivered in the SM thread
  Timer_free(t);
  stop();
}

TEST(TimerRealClock, TheOwnerMayWatchACellWhileTheTimerThreadTurns) {
  start_threaded(TABLE, true);
  timer_cell_t* t = Timer_alloc(ENT_P, 0, 0, 0);
  ASSERT_NE(t, nullptr);
  Timer_start(t, 40, 5, 'w');
  // The timer thread takes the cell off the wheel while this thread looks.
  const u32 t0 = plat_tick_ms();
  while (Timer_is_running(t) && plat_tick_ms() - t0 < 3000) {}
  EXPECT_FALSE(Timer_is_running(t));
  ASSERT_TRUE(rec().wait_for(1, 3000));
  EXPECT_EQ(rec().messages()[0].data[0], 5);
  Timer_free(t);
  stop();
}

// With nothing due, the timer thread waits long between turns; a timer
// started meanwhile still fires on time, and a stop does not wait for the
// end of that wait.
TEST(TimerRealClock, ATimerStartedWhileTheThreadWaitsIdleFiresOnTime) {
  start_threaded(TABLE, true);
  timer_cell_t* far = Timer_alloc(ENT_P, 0, 0, 0);
  timer_cell_t* near = Timer_alloc(ENT_P, 0, 0, 0);
  ASSERT_NE(far, nullptr);
  ASSERT_NE(near, nullptr);
  Timer_start(far, 5000, 1, 'f');
  plat_sleep_ms(50);  // the thread is now waiting for the far timer
  const u32 t0 = plat_tick_ms();
  Timer_start(near, 40, 2, 'n');
  ASSERT_TRUE(rec().wait_for(1, 3000));
  const u32 elapsed = plat_tick_ms() - t0;
  EXPECT_GE(elapsed, 30u);
  EXPECT_LT(elapsed, 600u);
  EXPECT_EQ(rec().messages()[0].code, 'n');
  Timer_free(near);
  Timer_free(far);
  plat_sleep_ms(50);
  const u32 s0 = plat_tick_ms();
  stop();
  EXPECT_LT(plat_tick_ms() - s0, 600u);
}

std::atomic<int> g_beats{0};
void count_beat() { ++g_beats; }

// The background tick comes every 100 ms from the timer thread's turns: with
// no timer on the wheel (the thread wakes for the beat alone) and beside a
// timer started again every 30 ms, whose turns the beat rides on.
TEST(TimerRealClock, TheBackgroundTickKeepsItsBeat) {
  for (const u32 period : {0u, 30u}) {
    start_threaded(TABLE, true);
    om_os_set_bkgr_tick(count_beat);
    timer_cell_t* t = Timer_alloc(ENT_P, 0, 0, 0);
    ASSERT_NE(t, nullptr);
    plat_sleep_ms(150);  // the beat has started
    const int b0 = g_beats.load();
    const u32 t0 = plat_tick_ms();
    std::size_t expiries = 0;
    if (period != 0) Timer_start(t, period, 1, 'p');
    while (plat_tick_ms() - t0 < 1000) {
      if (period != 0 && rec().messages().size() > expiries) {
        ++expiries;
        Timer_start(t, period, 1, 'p');
      }
      plat_sleep_ms(1);
    }
    const int beats = g_beats.load() - b0;
    EXPECT_GE(beats, 8) << "period " << period;
    EXPECT_LE(beats, 11) << "period " << period;
    Timer_free(t);
    stop();
    rec().clear();
  }
}

// The thread sleeps over turns whose slots are empty: timers of very
// different lengths, some started while it sleeps, still expire in the order
// of their expiries, none more than a tick before its time.
TEST(TimerRealClock, TimersExpireInOrderAcrossTheThreadsWaits) {
  start_threaded(TABLE, true);
  struct row {
    u16 id;
    u32 start_after_ms;  // after the first start
    u32 duration_ms;
  };
  const row rows[] = {{1, 0, 700}, {2, 0, 90}, {3, 40, 300}, {4, 40, 20}, {5, 150, 1200}, {6, 150, 260}};
  std::vector<timer_cell_t*> cells;
  std::map<u16, u32> due;
  const u32 t0 = plat_tick_ms();
  for (const row& r : rows) {
    while (plat_tick_ms() - t0 < r.start_after_ms) plat_sleep_ms(1);
    timer_cell_t* c = Timer_alloc(ENT_P, 0, 0, r.id);
    ASSERT_NE(c, nullptr);
    cells.push_back(c);
    Timer_start(c, r.duration_ms, r.id, 'o');
    due[r.id] = plat_tick_ms() + r.duration_ms;
  }
  // The moment each expiry is seen, watched every millisecond.
  std::map<u16, u32> seen;
  std::vector<u16> order;
  while (order.size() < std::size(rows) && plat_tick_ms() - t0 < 5000) {
    const std::vector<seen_msg> all = rec().messages();
    for (std::size_t k = order.size(); k < all.size(); ++k) {
      order.push_back(all[k].conn_id);
      seen[all[k].conn_id] = plat_tick_ms();
    }
    plat_sleep_ms(1);
  }
  EXPECT_EQ(order, (std::vector<u16>{4, 2, 3, 6, 1, 5}));
  for (const row& r : rows) {
    ASSERT_TRUE(seen.count(r.id)) << r.id;
    EXPECT_GE(static_cast<i32>(seen[r.id] - due[r.id]), -12) << "timer " << r.id << " early";
    EXPECT_LT(static_cast<i32>(seen[r.id] - due[r.id]), 500) << "timer " << r.id << " late";
  }
  for (timer_cell_t* c : cells) Timer_free(c);
  stop();
}

}  // namespace
