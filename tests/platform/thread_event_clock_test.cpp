// Threads, auto-reset events and the wrapping tick count.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/clock.h"
#include "platform/event.h"
#include "platform/thread.h"

TEST(PlatformClock, TickDifferencesSurviveTheWrap) {
  EXPECT_EQ(plat_tick_diff(5, 0xFFFFFFFBu), 10);
  EXPECT_EQ(plat_tick_diff(0xFFFFFFFBu, 5), -10);
  const uint32_t a = plat_tick_ms();
  plat_sleep_ms(20);
  const int32_t d = plat_tick_diff(plat_tick_ms(), a);
  EXPECT_GE(d, 19);
  EXPECT_LT(d, 2000);
}

TEST(PlatformEvent, AutoResetAndTimeout) {
  plat_event ev;
  EXPECT_FALSE(ev.wait_for(10));
  ev.set();
  ev.set();  // two sets before a wait count once
  EXPECT_TRUE(ev.wait_for(10));
  EXPECT_FALSE(ev.wait_for(10));
  ev.set();
  ev.reset();
  EXPECT_FALSE(ev.wait_for(5));
}

namespace {
struct shared {
  plat_event go, done;
  std::atomic<uint32_t> tid{0};
  std::atomic<int> runs{0};
};
void body(void* arg) {
  auto* s = static_cast<shared*>(arg);
  s->tid = plat_thread_self_id();
  s->go.wait_for(2000);
  ++s->runs;
  s->done.set();
}
}  // namespace

TEST(PlatformThread, StartsWakesAndJoins) {
  for (int prio : {PLAT_PRIO_TIME_CRITICAL, PLAT_PRIO_HIGHEST, PLAT_PRIO_NORMAL, PLAT_PRIO_LOWEST}) {
    shared s;
    int err = -1;
    plat_thread* t = plat_thread_start(body, &s, prio, &err);
    ASSERT_NE(t, nullptr);
    EXPECT_EQ(err, 0);
    s.go.set();
    EXPECT_TRUE(s.done.wait_for(2000));
    plat_thread_join(t);
    EXPECT_EQ(s.runs, 1);
    EXPECT_NE(s.tid.load(), 0u);
    EXPECT_NE(s.tid.load(), plat_thread_self_id());
  }
}
