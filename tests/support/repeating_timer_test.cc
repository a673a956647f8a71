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
  // Runs `task` on the queue and returns once it and every firing already due
  // have run.
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

TEST_F(RepeatingTimerTest, FiresOneIntervalAfterStartThenOnTheSameGrid) {
  onQueue([&] { timer_->start(); });
  EXPECT_EQ(firingsAfter(milliseconds(999)), 0);
  EXPECT_EQ(firingsAfter(milliseconds(1)), 1);
  EXPECT_EQ(firingsAfter(seconds(1)), 2);
  EXPECT_EQ(firingsAfter(milliseconds(1400)), 3);  // 3.4: late, but the grid holds
  EXPECT_EQ(firingsAfter(milliseconds(600)), 4);   // 4.0
  EXPECT_EQ(firingsAfter(milliseconds(3500)), 5);  // 7.5: missed firings come as one
  EXPECT_EQ(firingsAfter(milliseconds(500)), 6);   // 8.0
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

TEST_F(RepeatingTimerTest, RestartBeginsANewScheduleAndLeavesOneTimer) {
  onQueue([&] { timer_->start(); });
  clock_->advance(milliseconds(600));
  onQueue([&] { timer_->start(); });  // now due at 1.6, not 1.0
  EXPECT_EQ(firingsAfter(milliseconds(400)), 0);
  EXPECT_EQ(firingsAfter(milliseconds(600)), 1);
  EXPECT_EQ(firingsAfter(seconds(1)), 2);
}

TEST_F(RepeatingTimerTest, DestroyedOnAnotherThreadNeverFiresAgain) {
  onQueue([&] { timer_->start(); });
  EXPECT_EQ(firingsAfter(seconds(1)), 1);
  timer_.reset();
  EXPECT_EQ(firingsAfter(seconds(3)), 1);
}

// The plug-in's pattern: an owner holding its queue and timer, captured weakly
// by the timer's task, whose last reference goes inside a firing.
struct Owner {
  WorkQueue queue{"test.owner", Clock::system()};
  std::unique_ptr<RepeatingTimer> timer;
  std::shared_ptr<Owner> self;
  std::promise<void> gone;
  ~Owner() { gone.set_value(); }
};

TEST(RepeatingTimerOwnerTest, OwnerReleasedInsideItsOwnFiringGoesCleanly) {
  auto owner = std::make_shared<Owner>();
  auto gone = owner->gone.get_future();
  owner->timer = std::make_unique<RepeatingTimer>(owner->queue, milliseconds(20),
                                                  [weak = std::weak_ptr<Owner>(owner)] {
                                                    if (auto strong = weak.lock()) {
                                                      strong->self.reset();
                                                    }
                                                  });
  owner->self = owner;
  owner->queue.post([raw = owner.get()] { raw->timer->start(); });
  owner.reset();
  EXPECT_EQ(gone.wait_for(seconds(10)), std::future_status::ready);
}

TEST(RepeatingTimerRealTimeTest, FiresRepeatedlyAndNotAfterStop) {
  WorkQueue queue("test.timer.real", Clock::system());
  std::atomic<int> firings{0};
  std::promise<void> third;
  RepeatingTimer timer(queue, milliseconds(20), [&] {
    if (++firings == 3) {
      third.set_value();
    }
  });
  SteadyTime started = Clock::system()->now();
  queue.post([&] { timer.start(); });
  ASSERT_EQ(third.get_future().wait_for(seconds(10)), std::future_status::ready);
  EXPECT_GE(Clock::system()->now() - started, milliseconds(60));
  std::promise<int> stopped;
  queue.post([&] {
    timer.stop();
    stopped.set_value(firings);
  });
  int seen = stopped.get_future().get();
  std::this_thread::sleep_for(milliseconds(50));
  EXPECT_EQ(firings, seen);
}

}  // namespace
}  // namespace tarq
