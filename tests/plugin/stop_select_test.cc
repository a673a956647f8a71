// "stop" and "select" against a fake helper and the stand-in's Clash API server.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/plugin/plugin_test_util.h"

namespace tarq::testing {
namespace {

using nlohmann::json;

class StopSelectTest : public EngineTest {
 protected:
  void SetUp() override {
    EngineTest::SetUp();
    ASSERT_TRUE(isNullSuccess(start()));
  }
};

TEST_F(StopSelectTest, StopEndsSamplingAndSelectionThenAsksTheHelper) {
  EXPECT_TRUE(isNullSuccess(harness.call("stop")));
  EXPECT_EQ(daemon.ops().back(), "stop");
  EXPECT_EQ(harness.states().back(), "disconnected");
  const size_t samples = clash.requestCount("GET", "/connections");
  harness.virtualClock->advance(std::chrono::seconds(5));
  harness.call("status");  // a round trip through the queue after the firings were due
  EXPECT_EQ(clash.requestCount("GET", "/connections"), samples);
  EXPECT_TRUE(harness.statsEvents().empty());
  EXPECT_EQ(errorMessage(select("direct-a")), "the tunnel is not running");
  EXPECT_EQ(clash.requestCount("PUT", "/proxies/tarq"), 1u);
}

TEST_F(StopSelectTest, RefusedStopIsAnErrorButMonitoringStaysOff) {
  daemon.setResponder([](const json&) -> std::optional<FakeReply> {
    return FakeReply::json({{"ok", false}});
  });
  EXPECT_EQ(*asError(harness.call("stop")), (FlutterError{"stop_failed", "", Value()}));
  EXPECT_EQ(harness.states().back(), "error");
  EXPECT_EQ(errorOf(harness.events().back()), "");
  EXPECT_EQ(errorMessage(select("direct-a")), "the tunnel is not running");
}

TEST_F(StopSelectTest, SelectSwitchesWithoutEventsAndSurvivesAFailedRestart) {
  const size_t events = harness.events().size();
  EXPECT_TRUE(isNullSuccess(select("direct-a")));
  EXPECT_EQ(clash.selected(), "direct-a");
  // "auto" has no meaning here: it is sent like any tag (and this group has no such member).
  EXPECT_EQ(*asError(select("auto")),
            (FlutterError{"select_failed", "clash api: HTTP 400", Value()}));
  harness.flush();
  EXPECT_EQ(harness.events().size(), events);
  EXPECT_EQ(harness.states().back(), "connected");

  // A failed start keeps the earlier Clash client for "select".
  daemon.setResponder([](const json& request) -> std::optional<FakeReply> {
    if (request.value("op", "") == "start") {
      return FakeReply::json({{"ok", false}, {"error", "busy"}});
    }
    return std::nullopt;
  });
  EXPECT_EQ(errorMessage(start()), "busy");
  EXPECT_TRUE(isNullSuccess(select("direct-b")));
  EXPECT_EQ(clash.selected(), "direct-b");
}

// The plug-in holds no connection to the engine's Clash API when it asks the
// helper to stop or replace the engine (see ClashClient::closeConnection()).
TEST_F(EngineTest, NoConnectionToTheEngineIsOpenWhenTheHelperStopsIt) {
  std::atomic<int> stops{0};
  std::atomic<int> heldOpen{0};
  daemon.setResponder([&](const nlohmann::json& request) -> std::optional<FakeReply> {
    if (request.value("op", "") == "stop") {
      ++stops;
      // The server notices a closed connection a moment later.
      for (int i = 0; i < 200 && clash.openConnections() > 0; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
      }
      heldOpen += clash.openConnections() > 0;
    }
    return std::nullopt;
  });
  ASSERT_TRUE(isNullSuccess(start()));
  // A restart, a failed restart (its new client goes before the clean-up
  // "stop"), and a stop.
  ASSERT_TRUE(isNullSuccess(start()));
  EXPECT_EQ(errorCode(start("nowhere")), "start_failed");
  EXPECT_TRUE(isNullSuccess(harness.call("stop")));
  EXPECT_EQ(stops, 4);
  EXPECT_EQ(heldOpen, 0);
}

}  // namespace
}  // namespace tarq::testing
