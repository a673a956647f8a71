#include "support/repeating_timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

namespace tarq {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

class RepeatingTimerTest : public ::testing::Test {
 protected:
  // Runs `task` on the queue; returns once it and every firing already due ran.
  void onQueue(std::function<void()> task = [] {}) {
    std::promise<void> done;
    queue_.post([&] {
      task();
      done.set_value();
    });
    ASSERT_EQ(done.get_future().wait_for(seconds(10)), std::future_status::ready);
  }
  int firingsAfter(Duration step) {
    clock_->advance(step);
    onQueue();
    return firings_;
  }

  std::shared_ptr<VirtualClock> clock_ = std::make_shared<VirtualClock>();
  WorkQueue queue_{"test.timer", clock_};
  std::atomic<int> firings_{0};
  std::unique_ptr<RepeatingTimer> timer_ =
      std::make_unique<RepeatingTimer>(queue_, seconds(1), [this] {
        EXPECT_TRUE(queue_.isCurrent());
        ++firings_;
      });
};

TEST_F(RepeatingTimerTest, KeepsItsGridThroughLateAndMissedFiringsAndRestarts) {
  onQueue([&] { timer_->start(); });
  EXPECT_EQ(firingsAfter(milliseconds(999)), 0);
  EXPECT_EQ(firingsAfter(milliseconds(1)), 1);
  EXPECT_EQ(firingsAfter(milliseconds(1400)), 2);  // 2.4: late, but the grid holds
  EXPECT_EQ(firingsAfter(milliseconds(600)), 3);   // 3.0
  EXPECT_EQ(firingsAfter(milliseconds(3500)), 4);  // 6.5: missed firings come as one
  onQueue([&] { timer_->start(); });               // a new grid from 6.5
  EXPECT_EQ(firingsAfter(milliseconds(500)), 4);
  EXPECT_EQ(firingsAfter(milliseconds(500)), 5);
  timer_.reset();  // destroyed off the queue: never fires again
  EXPECT_EQ(firingsAfter(seconds(3)), 5);
}

// The clock may reach the next firing while the current one still runs: that
// next firing is due, not missed.
TEST_F(RepeatingTimerTest, ClockReachingTheNextFiringDuringAFiringKeepsIt) {
  timer_ = std::make_unique<RepeatingTimer>(queue_, seconds(1), [this] {
    if (++firings_ == 1) {
      clock_->advance(seconds(1));
    }
  });
  onQueue([&] { timer_->start(); });
  firingsAfter(seconds(1));
  onQueue();  // behind the first firing, which queued the second
  EXPECT_EQ(firings_, 2);
}

TEST_F(RepeatingTimerTest, StopOnTheQueueCancelsAFiringAlreadyQueued) {
  onQueue([&] { timer_->start(); });
  std::promise<void> blocked;
  std::promise<void> release;
  queue_.post([&] {
    blocked.set_value();
    release.get_future().wait();
    timer_->stop();
  });
  blocked.get_future().wait();
  clock_->advance(seconds(1));
  queue_.post([] {});  // the due firing is queued behind the stopping task
  release.set_value();
  EXPECT_EQ(firingsAfter(seconds(5)), 0);
  EXPECT_FALSE(timer_->isRunning());
}

}  // namespace
}  // namespace tarq
