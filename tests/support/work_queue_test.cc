#include "support/work_queue.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>
#include <vector>

namespace tarq {
namespace {

using std::chrono::milliseconds;
using std::chrono::seconds;

// Returns once every task posted to `queue` so far (and every timer already
// due) has run; what those tasks wrote is then visible here.
void drain(WorkQueue& queue) {
  std::promise<void> done;
  queue.post([&] { done.set_value(); });
  ASSERT_EQ(done.get_future().wait_for(seconds(10)), std::future_status::ready);
}

TEST(WorkQueueTest, RunsTasksInPostingOrderOnItsOwnThread) {
  WorkQueue queue("test.order", Clock::system());
  std::vector<int> seen;  // touched only on the queue until drained
  std::vector<std::thread> posters;
  for (int poster = 0; poster < 4; ++poster) {
    posters.emplace_back([&, poster] {
      for (int i = 0; i < 100; ++i) {
        queue.post([&, poster, i] {
          EXPECT_TRUE(queue.isCurrent());
          seen.push_back(poster * 1000 + i);
        });
      }
    });
  }
  for (auto& poster : posters) {
    poster.join();
  }
  drain(queue);
  EXPECT_FALSE(queue.isCurrent());
  ASSERT_EQ(seen.size(), 400u);
  std::vector<int> last(4, -1);  // each poster's own tasks keep their order
  for (int value : seen) {
    EXPECT_GT(value % 1000, last[value / 1000]);
    last[value / 1000] = value % 1000;
  }
}

TEST(WorkQueueTest, DestroyedByItsOwnTaskStillRunsWhatWasPosted) {
  auto holder = std::make_shared<std::unique_ptr<WorkQueue>>(
      std::make_unique<WorkQueue>("test.self", Clock::system()));
  std::promise<void> posted;
  std::promise<void> ran;
  (*holder)->post([holder, gate = posted.get_future().share()] {
    gate.wait();
    holder->reset();
  });
  (*holder)->post([] { throw std::runtime_error("a failing task does not stop the queue"); });
  (*holder)->post([&] { ran.set_value(); });
  posted.set_value();
  EXPECT_EQ(ran.get_future().wait_for(seconds(10)), std::future_status::ready);
}

TEST(WorkQueueTest, DestroyedElsewhereWhileATaskRunsNeitherBlocksNorDropsTasks) {
  auto queue = std::make_unique<WorkQueue>("test.other", Clock::system());
  std::promise<void> release;
  std::promise<void> ran;
  queue->post([released = release.get_future().share()] { released.wait(); });
  queue->post([&] { ran.set_value(); });
  queue.reset();  // returns although the first task still blocks
  release.set_value();
  EXPECT_EQ(ran.get_future().wait_for(seconds(10)), std::future_status::ready);
}

TEST(WorkQueueTest, DelayedTasksRunInTimeOrderAsTheVirtualClockReachesThem) {
  auto clock = std::make_shared<VirtualClock>();
  WorkQueue queue("test.delayed", clock);
  std::vector<int> seen;
  SteadyTime start = clock->now();
  queue.postAt(start + seconds(3), [&] { seen.push_back(3); });
  queue.postAt(start + seconds(1), [&] { seen.push_back(1); });
  queue.postAt(start + seconds(2), [&] { seen.push_back(2); });
  queue.postAt(start + seconds(1), [&] { seen.push_back(11); });
  drain(queue);
  EXPECT_TRUE(seen.empty());
  clock->advance(milliseconds(1500));
  drain(queue);
  EXPECT_EQ(seen, (std::vector<int>{1, 11}));
  clock->advance(seconds(5));
  drain(queue);
  EXPECT_EQ(seen, (std::vector<int>{1, 11, 2, 3}));
}

TEST(WorkQueueTest, AdvancingTheClockAloneWakesTheQueue) {
  auto clock = std::make_shared<VirtualClock>();
  WorkQueue queue("test.wake", clock);
  std::promise<void> ran;
  queue.postAt(clock->now() + seconds(1), [&] { ran.set_value(); });
  drain(queue);  // the queue now waits on the clock
  clock->advance(seconds(1));
  EXPECT_EQ(ran.get_future().wait_for(seconds(10)), std::future_status::ready);
}

TEST(WorkQueueTest, TaskSleepingOnTheVirtualClockLetsDueTimersRunAfterIt) {
  auto clock = std::make_shared<VirtualClock>();
  WorkQueue queue("test.sleep", clock);
  std::vector<int> seen;
  std::promise<void> slept;
  queue.postAt(clock->now() + seconds(1), [&] { seen.push_back(1); });
  queue.post([&] {
    clock->sleepFor(seconds(2));  // advances the clock from the queue's own thread
    seen.push_back(0);
    slept.set_value();
  });
  slept.get_future().wait();
  drain(queue);
  EXPECT_EQ(seen, (std::vector<int>{0, 1}));
}

TEST(WorkQueueTest, DelayedTaskWaitsForItsTimeOnTheSystemClock) {
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
