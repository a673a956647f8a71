// The refusal log's bound, on a clock the test moves: one line per caller per
// minute, each carrying the count of refusals it stands for.
#include "daemon/core/refusal_log.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace tarq {
namespace {

using std::chrono::minutes;
using std::chrono::seconds;

class RefusalLogTest : public ::testing::Test {
 protected:
  void advance(std::chrono::steady_clock::duration step) { now_ += step; }
  std::vector<std::string> takeLines() { return std::exchange(lines_, {}); }

  std::chrono::steady_clock::time_point now_{};
  std::vector<std::string> lines_;
  RefusalLog log_{[this](const std::string& line) { lines_.push_back(line); },
                  [this] { return now_; }};
};

TEST_F(RefusalLogTest, WritesTheFirstRefusalAtOnceAndCountsTheRestOfTheMinute) {
  EXPECT_EQ(log_.nextDeadline(), std::nullopt);
  log_.refused("uid 1001", "caller uid 1001 is not allowed to use this helper");
  EXPECT_EQ(takeLines(),
            std::vector<std::string>{
                "refused uid 1001: caller uid 1001 is not allowed to use this helper"});
  EXPECT_EQ(log_.nextDeadline(), now_ + minutes(1));
  for (int refusal = 0; refusal < 312; ++refusal) {
    advance(std::chrono::milliseconds(150));
    log_.refused("uid 1001", "caller uid 1001 is not allowed to use this helper");
    log_.flush();
  }
  EXPECT_TRUE(takeLines().empty());  // 46.8 s: the minute is not over

  advance(seconds(14));
  log_.flush();
  EXPECT_EQ(takeLines(), std::vector<std::string>{
                             "refused uid 1001 312 more times in the last minute: caller uid "
                             "1001 is not allowed to use this helper"});
  // The count line opens a minute of its own: refusals go on being counted.
  log_.refused("uid 1001", "caller uid 1001 is not allowed to use this helper");
  advance(seconds(59));
  log_.flush();
  EXPECT_TRUE(takeLines().empty());
  advance(seconds(1));
  log_.flush();
  EXPECT_EQ(takeLines(),
            std::vector<std::string>{"refused uid 1001 1 more time in the last minute: caller uid "
                                     "1001 is not allowed to use this helper"});
}

TEST_F(RefusalLogTest, AQuietMinuteEndsTheCountAndCallersAreCountedApart) {
  log_.refused("uid 1001", "not allowed");
  log_.refused("uid 1002", "not allowed either");
  log_.refused("uid 1002", "its signature is not valid");
  EXPECT_EQ(takeLines(), (std::vector<std::string>{"refused uid 1001: not allowed",
                                                   "refused uid 1002: not allowed either"}));
  advance(minutes(1));
  log_.flush();
  // The latest reason stands for the count.
  EXPECT_EQ(takeLines(), std::vector<std::string>{
                             "refused uid 1002 1 more time in the last minute: its signature is "
                             "not valid"});
  advance(minutes(1));
  log_.flush();
  EXPECT_TRUE(takeLines().empty());
  EXPECT_EQ(log_.nextDeadline(), std::nullopt);

  // After a quiet minute a refusal is written at once again.
  log_.refused("uid 1002", "not allowed");
  EXPECT_EQ(takeLines(), std::vector<std::string>{"refused uid 1002: not allowed"});
}

TEST(RefusalLogBoundTest, FollowsABoundedNumberOfCallers) {
  std::chrono::steady_clock::time_point now{};
  std::vector<std::string> lines;
  RefusalLog log([&lines](const std::string& line) { lines.push_back(line); },
                 [&now] { return now; }, minutes(1), 2);
  log.refused("uid 1", "no");
  log.refused("uid 1", "no");
  now += seconds(1);
  log.refused("uid 2", "no");
  now += seconds(1);
  // A third caller: the one whose minute ends first is closed early.
  log.refused("uid 3", "no");
  EXPECT_EQ(lines, (std::vector<std::string>{"refused uid 1: no", "refused uid 2: no",
                                             "refused uid 1 1 more time since its last line: no",
                                             "refused uid 3: no"}));
}

TEST_F(RefusalLogTest, WritesWhatIsStillCountedWhenTheDaemonStops) {
  log_.refused("uid 1001", "not allowed");
  log_.refused("uid 1001", "not allowed");
  log_.refused("uid 1002", "not allowed");
  advance(seconds(10));
  log_.finish();
  EXPECT_EQ(takeLines(), (std::vector<std::string>{
                             "refused uid 1001: not allowed", "refused uid 1002: not allowed",
                             "refused uid 1001 1 more time since its last line: not allowed"}));
  EXPECT_EQ(log_.nextDeadline(), std::nullopt);
}

}  // namespace
}  // namespace tarq
