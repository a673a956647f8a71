// "stop" and "select" against a fake helper and the stand-in's Clash API server.
#include <gtest/gtest.h>

#include "tests/plugin/plugin_test_util.h"
#include "tests/support/fake_helper_daemon.h"

namespace tarq::testing {
namespace {

using nlohmann::json;

class StopSelectTest : public ::testing::Test {
 protected:
  void SetUp() override {
    harness.listen();
    ASSERT_TRUE(isNullSuccess(harness.call("start", startArguments(clash.port()))));
  }

  MethodResponse select(const std::string& tag) {
    return harness.call("select", Value(ValueMap{{"tag", tag}}));
  }

  PluginHarness harness;
  FakeHelperDaemon daemon{harness.socketPath};
  ClashApiServer clash{ClashApiSetup{.secret = "s3cret"}};
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
  EXPECT_EQ(errorMessage(harness.call("start", startArguments(clash.port()))), "busy");
  EXPECT_TRUE(isNullSuccess(select("direct-b")));
  EXPECT_EQ(clash.selected(), "direct-b");
}

}  // namespace
}  // namespace tarq::testing
