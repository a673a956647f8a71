// The method table as Dart sees it: immediate refusals, defaults, exactly one
// answer per call, a main thread that never waits for the work queue, the
// event stream and the two status queries.
#include <gtest/gtest.h>

#include <filesystem>

#include "tests/plugin/plugin_test_util.h"

namespace tarq::testing {
namespace {

class DispatchTest : public ::testing::Test {
 protected:
  PluginHarness harness;
};

TEST_F(DispatchTest, UnknownMethodsAndMistypedRequiredArgumentsAreRefusedAtOnce) {
  for (const char* method : {"Start", "STATUS", "helperstatus", "connect", ""}) {
    EXPECT_TRUE(std::holds_alternative<NotImplemented>(harness.call(method))) << method;
  }
  harness.listen();
  const FlutterError noConfig{"bad_args", "start requires a config", Value()};
  for (const Value& arguments :
       {Value(), Value(ValueList{Value("config")}), Value(ValueMap{{"selected", "a"}}),
        Value(ValueMap{{"config", 42}})}) {
    EXPECT_EQ(*asError(harness.call("start", arguments)), noConfig) << describe(arguments);
  }
  const FlutterError noTag{"bad_args", "select requires a tag", Value()};
  for (const Value& arguments : {Value(), Value(ValueMap{{"tag", 7}})}) {
    EXPECT_EQ(*asError(harness.call("select", arguments)), noTag) << describe(arguments);
  }
  EXPECT_TRUE(harness.states().empty());
  // An empty tag is a tag: it reaches the operation, which finds no tunnel.
  EXPECT_EQ(errorMessage(harness.call("select", Value(ValueMap{{"tag", ""}}))),
            "the tunnel is not running");
  EXPECT_EQ(*asValue(harness.call("status", Value(ValueMap{{"state", "connected"}}))),
            Value(ValueMap{{"state", "disconnected"}}));
  EXPECT_TRUE(isNullSuccess(harness.call("helperStatus", Value(42))));
}

TEST_F(DispatchTest, MistypedOptionalArgumentsTakeTheirDefaults) {
  FakeHelperDaemon daemon(harness.socketPath);
  // "selected" as a number becomes "auto" (no selection); "clashPort" as a
  // string becomes 0, where no Clash API answers.
  MethodResponse response = harness.call(
      "start", Value(ValueMap{{"config", "{}"}, {"selected", 5}, {"clashPort", "9090"}}));
  EXPECT_EQ(errorMessage(response), "timed out waiting for the clash api");
  ASSERT_GE(daemon.requests().size(), 2u);
  EXPECT_EQ(daemon.requests()[1]["selected"], "auto");
}

TEST_F(DispatchTest, MainThreadAnswersBadCallsWhileAStartHoldsTheQueue) {
  FakeHelperDaemon daemon(harness.socketPath);
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  daemon.setResponder([released](const nlohmann::json& request) -> std::optional<FakeReply> {
    if (request.value("op", "") == "start") {
      released.wait();  // holds the plug-in's queue inside the start sequence
    }
    return std::nullopt;
  });
  auto start = harness.callAsync("start", startArguments(1));
  ASSERT_TRUE(daemon.waitForRequests(2));
  // Answered on the main thread although the queue is busy.
  EXPECT_EQ(errorCode(harness.call("select", Value(), std::chrono::seconds(5))), "bad_args");
  EXPECT_TRUE(std::holds_alternative<NotImplemented>(harness.call("nope")));
  auto status = harness.callAsync("status");
  EXPECT_EQ(status.wait_for(std::chrono::milliseconds(50)), std::future_status::timeout);
  release.set_value();
  start.get();
  status.get();
  EXPECT_EQ(harness.timeline(), (std::vector<std::string>{"answer select", "answer nope",
                                                          "answer start", "answer status"}));
}

// Without a helper socket: "start" fails before writing the configuration,
// "stop" has nothing to ask and succeeds.
TEST_F(DispatchTest, CallsRunInArrivalOrderAndStatusSeesWhatStartLeft) {
  harness.listen();
  auto start = harness.callAsync("start", startArguments(1));
  auto status = harness.callAsync("status");
  auto stop = harness.callAsync("stop");
  const std::string missing = "the TARQ helper is not installed";
  EXPECT_EQ(*asError(start.get()), (FlutterError{"helper_missing", missing, Value()}));
  EXPECT_EQ(*asValue(status.get()), Value(ValueMap{{"state", "error"}, {"error", missing}}));
  EXPECT_TRUE(isNullSuccess(stop.get()));
  EXPECT_EQ(harness.timeline(),
            (std::vector<std::string>{"event error", "answer start", "answer status",
                                      "event disconnected", "answer stop"}));
  EXPECT_FALSE(std::filesystem::exists(harness.configPath()));
}

TEST_F(DispatchTest, RunningEngineIsAdoptedWithoutSinceOrSamplingUntilTheHelperGoes) {
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

TEST_F(DispatchTest, HelperStatusPassesRunningPidAndBuildOnly) {
  harness.listen();
  EXPECT_TRUE(isNullSuccess(harness.call("helperStatus")));
  FakeHelperDaemon daemon(harness.socketPath);
  daemon.setResponder([](const nlohmann::json&) -> std::optional<FakeReply> {
    return FakeReply::json(
        {{"ok", true}, {"running", false}, {"pid", 0}, {"build", "7.1"}, {"error", "x"}});
  });
  EXPECT_EQ(*asValue(harness.call("helperStatus")),
            Value(ValueMap{{"running", false}, {"pid", 0}, {"build", "7.1"}}));
  harness.flush();
  EXPECT_TRUE(harness.events().empty());
}

TEST_F(DispatchTest, ListeningReplaysNothingEventsGoToTheSinkOfTheirTimeAndErrorsStay) {
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
