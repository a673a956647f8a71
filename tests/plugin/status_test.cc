// The event stream and the two status queries.
#include <gtest/gtest.h>

#include "tests/plugin/plugin_test_util.h"
#include "tests/support/fake_helper_daemon.h"

namespace tarq::testing {
namespace {

using nlohmann::json;

class StatusTest : public ::testing::Test {
 protected:
  PluginHarness harness;
};

TEST_F(StatusTest, RunningEngineIsAdoptedWithoutSinceOrSamplingUntilTheHelperGoes) {
  auto daemon = std::make_unique<FakeHelperDaemon>(harness.socketPath);
  daemon->setRunning(true);
  harness.listen();
  EXPECT_EQ(*asValue(harness.call("status")), Value(ValueMap{{"state", "connected"}}));
  EXPECT_EQ(harness.events(),
            (std::vector<Value>{Value(ValueMap{{"type", "status"}, {"state", "connected"}})}));
  // Nothing was attached: no samples, and "select" finds no tunnel.
  harness.virtualClock->advance(std::chrono::seconds(3));
  EXPECT_EQ(errorMessage(harness.call("select", Value(ValueMap{{"tag", "x"}}))),
            "the tunnel is not running");
  // Unchanged state: a second query answers the same and emits nothing.
  EXPECT_EQ(*asValue(harness.call("status")), Value(ValueMap{{"state", "connected"}}));
  daemon.reset();
  EXPECT_EQ(*asValue(harness.call("status")), Value(ValueMap{{"state", "disconnected"}}));
  EXPECT_EQ(harness.states(), (std::vector<std::string>{"connected", "disconnected"}));
}

TEST_F(StatusTest, HelperStatusPassesRunningPidAndBuildOnly) {
  harness.listen();
  EXPECT_TRUE(isNullSuccess(harness.call("helperStatus")));
  FakeHelperDaemon daemon(harness.socketPath);
  daemon.setResponder([](const json&) -> std::optional<FakeReply> {
    return FakeReply::json(
        {{"ok", true}, {"running", false}, {"pid", 0}, {"build", "7.1"}, {"error", "x"}});
  });
  EXPECT_EQ(*asValue(harness.call("helperStatus")),
            Value(ValueMap{{"running", false}, {"pid", 0}, {"build", "7.1"}}));
  harness.flush();
  EXPECT_TRUE(harness.events().empty());
}

TEST_F(StatusTest, ListeningReplaysNothingEventsGoToTheSinkOfTheirTimeAndErrorsStay) {
  harness.call("start", startArguments(1));
  harness.listen();
  harness.call("status");
  harness.flush();
  EXPECT_TRUE(harness.events().empty());
  harness.call("start", startArguments(1));
  harness.cancel();
  harness.call("start", startArguments(1));
  harness.flush();
  EXPECT_EQ(harness.states(), (std::vector<std::string>{"error"}));
  // The error stays until the next start or stop, even with the engine running.
  FakeHelperDaemon daemon(harness.socketPath);
  daemon.setRunning(true);
  EXPECT_EQ(*asValue(harness.call("status")),
            Value(ValueMap{{"state", "error"}, {"error", "the TARQ helper is not installed"}}));
}

}  // namespace
}  // namespace tarq::testing
