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
  // Runs `task` on the queue and waits for it; returns once every task posted
  // before it has run, the firings already due included.
  void onQueue(std::function<void()> task = [] {}) {
    std::promise<void> done;
    queue_.post([&] {
      task();
      done.set_value();
    });
    ASSERT_EQ(done.get_future().wait_for(seconds(10)), std::future_status::ready);
  }

  void advance(Duration duration) {
    clock_->advance(duration);
    onQueue();
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

TEST_F(RepeatingTimerTest, FirstFiringComesOneIntervalAfterStartThenEveryInterval) {
  onQueue([&] { timer_->start(); });
  EXPECT_TRUE(timer_->isRunning());
  advance(milliseconds(999));
  EXPECT_EQ(firings_, 0);
  advance(milliseconds(1));
  EXPECT_EQ(firings_, 1);
  for (int i = 2; i <= 5; ++i) {
    advance(seconds(1));
    EXPECT_EQ(firings_, i);
  }
}

TEST_F(RepeatingTimerTest, KeepsItsScheduleWhenFiringsRunLate) {
  onQueue([&] { timer_->start(); });
  advance(milliseconds(1400));  // fires at 1.0 although seen at 1.4
  EXPECT_EQ(firings_, 1);
  advance(milliseconds(600));  // 2.0: still on the original grid
  EXPECT_EQ(firings_, 2);
  advance(milliseconds(3500));  // 5.5: missed firings come as one
  EXPECT_EQ(firings_, 3);
  advance(milliseconds(500));  // 6.0
  EXPECT_EQ(firings_, 4);
}

TEST_F(RepeatingTimerTest, StopOnTheQueueCancelsAFiringAlreadyDue) {
  onQueue([&] { timer_->start(); });
  std::promise<void> blocked;
  std::promise<void> release;
  queue_.post([&] {
    blocked.set_value();
    release.get_future().wait();
    timer_->stop();
  });
  blocked.get_future().wait();
  // The firing comes due and is queued behind the task that stops the timer.
  clock_->advance(seconds(1));
  queue_.post([] {});
  release.set_value();
  advance(seconds(5));
  EXPECT_EQ(firings_, 0);
  EXPECT_FALSE(timer_->isRunning());
}

TEST_F(RepeatingTimerTest, RestartBeginsANewScheduleAndLeavesOneTimer) {
  onQueue([&] { timer_->start(); });
  advance(milliseconds(600));
  onQueue([&] { timer_->start(); });  // now due at 1.6, not 1.0
  advance(milliseconds(400));
  EXPECT_EQ(firings_, 0);
  advance(milliseconds(600));
  EXPECT_EQ(firings_, 1);
  advance(seconds(1));
  EXPECT_EQ(firings_, 2);
}

TEST_F(RepeatingTimerTest, TaskMayDestroyItsOwnTimer) {
  std::unique_ptr<RepeatingTimer> self;
  self = std::make_unique<RepeatingTimer>(queue_, seconds(1), [&] {
    ++firings_;
    self.reset();
  });
  onQueue([&] { self->start(); });
  advance(seconds(1));
  advance(seconds(3));
  EXPECT_EQ(firings_, 1);
}

TEST_F(RepeatingTimerTest, DestroyedOnAnotherThreadNeverFiresAgain) {
  onQueue([&] { timer_->start(); });
  advance(seconds(1));
  timer_.reset();
  advance(seconds(3));
  EXPECT_EQ(firings_, 1);
}

TEST(RepeatingTimerRealTimeTest, FiresRepeatedlyOnTheSystemClock) {
  WorkQueue queue("test.timer.real", Clock::system());
  std::atomic<int> firings{0};
  std::promise<void> third;
  SteadyTime started;
  RepeatingTimer timer(queue, milliseconds(20), [&] {
    if (++firings == 3) {
      third.set_value();
    }
  });
  queue.post([&] {
    started = Clock::system()->now();
    timer.start();
  });
  ASSERT_EQ(third.get_future().wait_for(seconds(10)), std::future_status::ready);
  std::promise<SteadyTime> stopped;
  queue.post([&] {
    timer.stop();
    stopped.set_value(Clock::system()->now());
  });
  EXPECT_GE(stopped.get_future().get() - started, milliseconds(60));
  int seen = firings;
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(firings, seen);
}

}  // namespace
}  // namespace tarq
