#include "support/repeating_timer.h"

#include <gtest/gtest.h>

#include <atomic>
#include <future>

namespace tarq {
namespace {

using namespace std::chrono_literals;

class RepeatingTimerTest : public ::testing::Test {
 protected:
  // Runs `task` on the queue; returns once it and every firing already due ran.
  void onQueue(std::function<void()> task = [] {}) {
    std::promise<void> done;
    queue_.post([&] {
      task();
      done.set_value();
    });
    ASSERT_EQ(done.get_future().wait_for(10s), std::future_status::ready);
  }
  int firingsAfter(Duration step) {
    clock_->advance(step);
    onQueue();
    return firings_;
  }

  std::shared_ptr<VirtualClock> clock_ = std::make_shared<VirtualClock>();
  WorkQueue queue_{"test.timer", clock_};
  std::atomic<int> firings_{0};
  int advanceDuringFiring_ = 0;  // that firing moves the clock on by one interval
  std::unique_ptr<RepeatingTimer> timer_ = std::make_unique<RepeatingTimer>(queue_, 1s, [this] {
    EXPECT_TRUE(queue_.isCurrent());
    if (++firings_ == advanceDuringFiring_) {
      clock_->advance(1s);
    }
  });
};

TEST_F(RepeatingTimerTest, KeepsItsGridAndNeverFiresAfterStopOrDestruction) {
  onQueue([&] { timer_->start(); });
  EXPECT_EQ(firingsAfter(999ms), 0);
  EXPECT_EQ(firingsAfter(1ms), 1);
  EXPECT_EQ(firingsAfter(1400ms), 2);  // 2.4: late, but the grid holds
  EXPECT_EQ(firingsAfter(600ms), 3);   // 3.0
  EXPECT_EQ(firingsAfter(3500ms), 4);  // 6.5: missed firings come as one
  onQueue([&] {
    timer_->start();  // a new grid from 6.5
    advanceDuringFiring_ = 5;
  });
  EXPECT_EQ(firingsAfter(500ms), 4);
  // The firing at 7.5 moves the clock to 8.5: that next firing is due, not missed.
  firingsAfter(500ms);
  onQueue();  // behind the fifth firing, which queued the sixth
  EXPECT_EQ(firings_, 6);

  onQueue([&] {
    clock_->advance(1s);
    queue_.post([] {});  // the firing due at 9.5 is now queued behind this task
    timer_->stop();
  });
  EXPECT_EQ(firingsAfter(5s), 6);
  EXPECT_FALSE(timer_->isRunning());
  onQueue([&] { timer_->start(); });
  timer_.reset();  // destroyed off the queue: never fires again
  EXPECT_EQ(firingsAfter(3s), 6);
}

}  // namespace
}  // namespace tarq
