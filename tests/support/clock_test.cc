#include "support/clock.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace tarq {
namespace {

using std::chrono::milliseconds;

TEST(VirtualClockTest, SleepAndAdvanceMoveSteadyAndWallTimeForwardOnly) {
  VirtualClock clock(5'000);
  SteadyTime before = clock.now();
  clock.sleepFor(milliseconds(1500));
  clock.advance(std::chrono::microseconds(600));
  clock.advance(std::chrono::microseconds(600));
  clock.advance(-milliseconds(10'000));
  EXPECT_EQ(clock.now() - before, std::chrono::microseconds(1'501'200));
  EXPECT_EQ(clock.wallMillis(), 6'501);
}

TEST(VirtualClockTest, AdvanceWakesEveryWaiterWithoutLosingOne) {
  VirtualClock clock;
  std::mutex mutex;
  std::condition_variable cv;
  SteadyTime deadline = clock.now() + milliseconds(10'000);
  std::vector<std::thread> waiters;
  for (int i = 0; i < 4; ++i) {
    waiters.emplace_back([&] {
      std::unique_lock<std::mutex> lock(mutex);
      while (clock.now() < deadline) {
        clock.waitUntil(lock, cv, deadline);
      }
    });
  }
  // Small steps race with the waiters going to sleep: a lost wake-up hangs.
  for (int i = 0; i < 1000; ++i) {
    clock.advance(milliseconds(10));
  }
  for (auto& waiter : waiters) {
    waiter.join();
  }
}

}  // namespace
}  // namespace tarq
