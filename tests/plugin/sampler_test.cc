// The one-second sampler and watchdog on the virtual clock. tarqctl's
// lifecycle test sees both in real time against a real helper and engine.
#include <gtest/gtest.h>

#include "tests/plugin/plugin_test_util.h"

namespace tarq::testing {
namespace {

using std::chrono::seconds;

class SamplerTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    clash.setTotals(100, 500);
    ASSERT_TRUE(isNullSuccess(start()));
  }

  // Advances the clock and waits until a tick due by then has had its effect.
  void tick(std::chrono::milliseconds by = seconds(1)) {
    harness.virtualClock->advance(by);
    harness.call("helperStatus");  // queued behind the tick
    harness.flush();
  }
};

Value stats(int64_t up, int64_t down, int64_t totalUp, int64_t totalDown) {
  return Value(ValueMap{{"type", "stats"},
                        {"up", up},
                        {"down", down},
                        {"totalUp", totalUp},
                        {"totalDown", totalDown}});
}

TEST_F(SamplerTest, EmitsDifferencesFromTheFirstSecondOnAndFollowsFallingCounters) {
  // A second start replaces the timer: still one sample a second.
  ASSERT_TRUE(isNullSuccess(start()));
  const size_t polls = clash.requestCount("GET", "/connections");
  tick(std::chrono::milliseconds(999));
  EXPECT_TRUE(harness.statsEvents().empty());
  clash.setTotals(150, 520);
  tick();
  clash.setTotals(10, 600);
  tick();
  clash.setTotals(25, 600);
  tick();
  EXPECT_EQ(
      harness.statsEvents(),
      (std::vector<Value>{stats(50, 20, 150, 520), stats(0, 80, 10, 600), stats(15, 0, 25, 600)}));
  EXPECT_EQ(clash.requestCount("GET", "/connections"), polls + 3);
}

TEST_F(SamplerTest, SamplesWithoutAListenerMoveTheBaselineAndFailedOnesAreSkipped) {
  harness.cancel();
  clash.setTotals(200, 600);
  tick();
  harness.listen();
  // An unreadable API with the engine still running: silence, no change of state.
  daemon.setRunning(true);
  clash.setFault("GET", "/connections", {.status = 500});
  tick();
  tick();
  EXPECT_TRUE(harness.statsEvents().empty());
  EXPECT_EQ(harness.states().back(), "connected");
  clash.clearFaults();
  clash.setTotals(230, 650);
  tick();
  EXPECT_EQ(harness.statsEvents(), (std::vector<Value>{stats(30, 50, 230, 650)}));
}

// The lifecycle test kills a real engine; here the helper cannot be reached,
// which counts as a stopped engine too.
TEST_F(SamplerTest, DeadTunnelIsDeclaredStoppedOnceAndSamplingEnds) {
  daemon.setResponder([](const nlohmann::json&) -> std::optional<FakeReply> {
    return FakeReply{.closeBeforeReading = true};
  });
  clash.stop();
  tick();
  EXPECT_EQ(harness.states().back(), "error");
  EXPECT_EQ(
      harness.events().back(),
      Value(ValueMap{{"type", "status"}, {"state", "error"}, {"error", "the tunnel stopped"}}));
  const size_t events = harness.events().size();
  const size_t helperRequests = daemon.requests().size();
  tick();
  tick();
  EXPECT_EQ(harness.events().size(), events);
  // Only the two helperStatus calls of tick() reached the helper.
  EXPECT_EQ(daemon.requests().size(), helperRequests + 2);
  EXPECT_EQ(errorMessage(select("direct-a")), "the tunnel is not running");
}

}  // namespace
}  // namespace tarq::testing
