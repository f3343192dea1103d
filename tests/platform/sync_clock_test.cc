// The manual-reset event and the platform clock.
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "lib/platform/clock.h"
#include "lib/platform/sync.h"

namespace kav::platform {
namespace {

TEST(ManualResetEvent, SetReleasesEveryWaiterAndStaysSet) {
  ManualResetEvent event;
  std::atomic<int> released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i)
    waiters.emplace_back([&] {
      if (event.wait(10'000)) ++released;
    });
  sleep_ms(50);
  EXPECT_EQ(released.load(), 0);
  event.set();
  for (std::thread& t : waiters) t.join();
  EXPECT_EQ(released.load(), 4);
  EXPECT_TRUE(event.is_set());
  EXPECT_TRUE(event.wait(0));  // still set: later waits return at once
  EXPECT_TRUE(event.wait());
}

TEST(ManualResetEvent, WaitTimesOutWhileNotSetAndResetClears) {
  ManualResetEvent event(true);
  EXPECT_TRUE(event.wait(0));
  event.reset();
  EXPECT_FALSE(event.is_set());
  const uint32_t start = tick_count();
  EXPECT_FALSE(event.wait(60));
  EXPECT_GE(tick_count() - start, 60u);
  EXPECT_FALSE(event.wait(0));
}

TEST(ManualResetEvent, InfiniteWaitEndsWhenSetFromAnotherThread) {
  ManualResetEvent event;
  std::thread setter([&] {
    sleep_ms(30);
    event.set();
  });
  EXPECT_TRUE(event.wait(kInfinite));
  setter.join();
}

TEST(Clock, TicksAreMonotonicAndSleepLastsAtLeastItsTime) {
  uint32_t last = tick_count();
  for (int i = 0; i < 1000; ++i) {
    const uint32_t now = tick_count();
    EXPECT_LT(now - last, 1000u);  // never steps back (an unsigned step back would be huge)
    last = now;
  }
  for (uint32_t ms : {0u, 1u, 25u, 120u}) {
    const int64_t start = perf_counter();
    sleep_ms(ms);
    EXPECT_GE(perf_counter() - start, int64_t{ms} * 1'000'000) << ms;
  }
  const uint32_t before = tick_count();
  sleep_ms(100);
  const uint32_t elapsed = tick_count() - before;
  EXPECT_GE(elapsed, 99u);  // ticks are whole milliseconds of the same clock
  EXPECT_LT(elapsed, 5000u);
}

TEST(Clock, LocalTimeFieldsAreInRange) {
  const LocalTime t = local_time();
  EXPECT_GE(t.year, 2020);
  EXPECT_GE(t.month, 1);
  EXPECT_LE(t.month, 12);
  EXPECT_GE(t.day, 1);
  EXPECT_LE(t.day, 31);
  EXPECT_LT(t.hour, 24);
  EXPECT_LT(t.minute, 60);
  EXPECT_LE(t.second, 60);
  EXPECT_LT(t.millisecond, 1000);
}

}  // namespace
}  // namespace kav::platform
