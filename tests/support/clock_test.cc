#include "support/clock.h"

#include <gtest/gtest.h>

#include <thread>
#include <vector>

namespace tarq {
namespace {

using namespace std::chrono_literals;

TEST(VirtualClockTest, MovesSteadyAndWallTimeForwardOnlyAndWakesEveryWaiter) {
  VirtualClock clock(5'000);
  SteadyTime before = clock.now();
  clock.sleepFor(1500ms);
  clock.advance(600us);
  clock.advance(600us);  // wall time follows the sum, not each step rounded
  clock.advance(-10s);
  EXPECT_EQ(clock.now() - before, 1'501'200us);
  EXPECT_EQ(clock.wallMillis(), 6'501);

  std::mutex mutex;
  std::condition_variable cv;
  SteadyTime deadline = clock.now() + 10s;
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
    clock.advance(10ms);
  }
  for (auto& waiter : waiters) {
    waiter.join();
  }
}

}  // namespace
}  // namespace tarq
