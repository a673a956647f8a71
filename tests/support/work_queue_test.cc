#include "support/work_queue.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <future>
#include <thread>
#include <vector>

namespace tarq {
namespace {

using namespace std::chrono_literals;

void expectReady(std::future<void> future) {
  EXPECT_EQ(future.wait_for(10s), std::future_status::ready);
}

// Returns once every task posted so far (and every timer already due) has run.
void drain(WorkQueue& queue) {
  std::promise<void> done;
  queue.post([&] { done.set_value(); });
  expectReady(done.get_future());
}

TEST(WorkQueueTest, RunsEachPostersTasksInOrderOnItsOwnThread) {
  WorkQueue queue("test.order", Clock::system());
  std::vector<int> seen;
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
  std::for_each(posters.begin(), posters.end(), [](std::thread& poster) { poster.join(); });
  drain(queue);
  EXPECT_FALSE(queue.isCurrent());
  ASSERT_EQ(seen.size(), 400u);
  std::vector<int> last(4, -1);  // each poster's own tasks keep their order
  for (int value : seen) {
    EXPECT_GT(value % 1000, std::exchange(last[value / 1000], value % 1000));
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
  expectReady(ran.get_future());
}

TEST(WorkQueueTest, DelayedTasksRunInTimeOrderWhenTheVirtualClockAloneReachesThem) {
  auto clock = std::make_shared<VirtualClock>();
  WorkQueue queue("test.delayed", clock);
  std::vector<int> seen;
  std::promise<void> last;
  auto at = [&](int second, int tag) {
    queue.postAt(clock->now() + std::chrono::seconds(second), [&, tag] {
      seen.push_back(tag);
      if (tag == 3) {
        last.set_value();
      }
    });
  };
  at(3, 3), at(1, 1), at(2, 2), at(1, 11);  // equal times keep their posting order
  drain(queue);
  EXPECT_TRUE(seen.empty());
  clock->advance(1500ms);
  drain(queue);
  EXPECT_EQ(seen, (std::vector<int>{1, 11}));
  clock->advance(5s);  // nothing posted: the advance must wake the queue
  expectReady(last.get_future());
  EXPECT_EQ(seen, (std::vector<int>{1, 11, 2, 3}));
}

}  // namespace
}  // namespace tarq
