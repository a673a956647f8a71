#include "support/clock.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

namespace tarq {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

TEST(VirtualClockTest, SleepAdvancesSteadyAndWallTime) {
  VirtualClock clock(5'000);
  SteadyTime before = clock.now();
  clock.sleepFor(milliseconds(1500));
  EXPECT_EQ(clock.now() - before, milliseconds(1500));
  EXPECT_EQ(clock.wallMillis(), 6'500);
  clock.advance(std::chrono::microseconds(600));
  clock.advance(std::chrono::microseconds(600));
  EXPECT_EQ(clock.wallMillis(), 6'501);  // sub-millisecond steps add up
  clock.advance(-seconds(10));
  EXPECT_EQ(clock.now() - before, milliseconds(1501) + std::chrono::microseconds(200));
}

TEST(VirtualClockTest, AdvanceWakesEveryWaiterWithoutLosingOne) {
  VirtualClock clock;
  std::mutex mutex;
  std::condition_variable cv;
  std::atomic<int> done{0};
  SteadyTime deadline = clock.now() + seconds(10);
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] {
      std::unique_lock<std::mutex> lock(mutex);
      while (clock.now() < deadline) {
        clock.waitUntil(lock, cv, deadline);
      }
      ++done;
    });
  }
  // Many small steps race with the waiters registering; a lost wake-up would
  // leave a waiter blocked for ever after the last step.
  for (int i = 0; i < 1000; ++i) {
    clock.advance(milliseconds(10));
  }
  for (auto& waiter : waiters) {
    waiter.join();
  }
  EXPECT_EQ(done.load(), 4);
}

TEST(VirtualClockTest, WaitPastDeadlineReturnsAtOnce) {
  VirtualClock clock;
  std::mutex mutex;
  std::condition_variable cv;
  std::unique_lock<std::mutex> lock(mutex);
  clock.waitUntil(lock, cv, clock.now());
  EXPECT_TRUE(lock.owns_lock());
}

TEST(SystemClockTest, WallTimeIsNearTheRealTimeAndSleepsForReal) {
  auto clock = Clock::system();
  EXPECT_GT(clock->wallMillis(), 1'600'000'000'000);
  SteadyTime before = clock->now();
  clock->sleepFor(milliseconds(20));
  EXPECT_GE(clock->now() - before, milliseconds(20));
}

}  // namespace
}  // namespace tarq
