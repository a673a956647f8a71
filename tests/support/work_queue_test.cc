#include "support/work_queue.h"

#include <gtest/gtest.h>

#include <future>
#include <mutex>
#include <thread>
#include <vector>

namespace tarq {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// Returns once every task posted to `queue` so far has run.
void drain(WorkQueue& queue) {
  std::promise<void> done;
  queue.post([&] { done.set_value(); });
  ASSERT_EQ(done.get_future().wait_for(seconds(10)), std::future_status::ready);
}

class Recorder {
 public:
  void add(int value) {
    std::lock_guard<std::mutex> guard(mutex_);
    values_.push_back(value);
  }
  std::vector<int> values() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return values_;
  }

 private:
  mutable std::mutex mutex_;
  std::vector<int> values_;
};

TEST(WorkQueueTest, RunsTasksOneAtATimeInPostingOrderOnItsOwnThread) {
  WorkQueue queue("test.order", Clock::system());
  Recorder recorder;
  std::vector<std::thread> posters;
  for (int thread = 0; thread < 4; ++thread) {
    posters.emplace_back([&, thread] {
      for (int i = 0; i < 100; ++i) {
        queue.post([&, thread, i] {
          EXPECT_TRUE(queue.isCurrent());
          recorder.add(thread * 1000 + i);
        });
      }
    });
  }
  for (auto& poster : posters) {
    poster.join();
  }
  drain(queue);
  EXPECT_FALSE(queue.isCurrent());
  // Each poster's own tasks keep their order.
  std::vector<int> last(4, -1);
  auto values = recorder.values();
  ASSERT_EQ(values.size(), 400u);
  for (int value : values) {
    EXPECT_GT(value % 1000, last[value / 1000]);
    last[value / 1000] = value % 1000;
  }
}

TEST(WorkQueueTest, DestroyedByItsOwnTaskFinishesPostedTasks) {
  auto queue = std::make_shared<std::unique_ptr<WorkQueue>>(
      std::make_unique<WorkQueue>("test.self", Clock::system()));
  std::promise<void> posted;
  std::promise<void> later;
  (*queue)->post([queue, gate = posted.get_future().share()] {
    gate.wait();
    queue->reset();
  });
  (*queue)->post([&] { later.set_value(); });
  posted.set_value();
  EXPECT_EQ(later.get_future().wait_for(seconds(10)), std::future_status::ready);
}

TEST(WorkQueueTest, DestroyedElsewhereWhileATaskRunsNeitherBlocksNorDropsTasks) {
  auto queue = std::make_unique<WorkQueue>("test.other", Clock::system());
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  std::promise<void> ran;
  queue->post([released] { released.wait(); });
  queue->post([&] { ran.set_value(); });
  queue.reset();  // returns while the first task still blocks
  release.set_value();
  EXPECT_EQ(ran.get_future().wait_for(seconds(10)), std::future_status::ready);
}

TEST(WorkQueueTest, DelayedTasksRunWhenTheVirtualClockReachesThemInTimeOrder) {
  auto clock = std::make_shared<VirtualClock>();
  WorkQueue queue("test.delayed", clock);
  Recorder recorder;
  SteadyTime start = clock->now();
  queue.postAt(start + seconds(3), [&] { recorder.add(3); });
  queue.postAt(start + seconds(1), [&] { recorder.add(1); });
  queue.postAt(start + seconds(2), [&] { recorder.add(2); });
  queue.postAt(start + seconds(1), [&] { recorder.add(11); });
  drain(queue);
  EXPECT_TRUE(recorder.values().empty());

  clock->advance(milliseconds(1500));
  drain(queue);  // posted after the deadline passed, so it runs after those tasks
  EXPECT_EQ(recorder.values(), (std::vector<int>{1, 11}));

  clock->advance(seconds(5));
  drain(queue);
  EXPECT_EQ(recorder.values(), (std::vector<int>{1, 11, 2, 3}));
}

TEST(WorkQueueTest, AdvanceAloneWakesTheQueueForADueTask) {
  auto clock = std::make_shared<VirtualClock>();
  WorkQueue queue("test.wake", clock);
  std::promise<void> ran;
  queue.postAt(clock->now() + seconds(1), [&] { ran.set_value(); });
  drain(queue);  // the queue thread is now waiting on the clock
  clock->advance(seconds(1));
  EXPECT_EQ(ran.get_future().wait_for(seconds(10)), std::future_status::ready);
}

TEST(WorkQueueTest, TaskSleepingOnTheVirtualClockFiresDueTimers) {
  auto clock = std::make_shared<VirtualClock>();
  WorkQueue queue("test.sleep", clock);
  Recorder recorder;
  queue.postAt(clock->now() + seconds(1), [&] { recorder.add(1); });
  std::promise<void> slept;
  queue.post([&] {
    clock->sleepFor(seconds(2));
    recorder.add(0);
    slept.set_value();
  });
  slept.get_future().wait();
  drain(queue);
  EXPECT_EQ(recorder.values(), (std::vector<int>{0, 1}));
}

TEST(WorkQueueTest, ThrowingTaskDoesNotStopTheQueue) {
  WorkQueue queue("test.throw", Clock::system());
  queue.post([] { throw std::runtime_error("boom"); });
  drain(queue);
}

TEST(WorkQueueTest, RealDelayedTaskWaitsForItsTime) {
  auto clock = Clock::system();
  WorkQueue queue("test.real", clock);
  std::promise<SteadyTime> ran;
  SteadyTime posted = clock->now();
  queue.postAt(posted + milliseconds(30), [&] { ran.set_value(clock->now()); });
  auto future = ran.get_future();
  ASSERT_EQ(future.wait_for(seconds(10)), std::future_status::ready);
  EXPECT_GE(future.get() - posted, milliseconds(30));
}

}  // namespace
}  // namespace tarq
