// The start sequence end to end: a fake helper daemon on a real Unix socket
// and a fake Clash API on real HTTP, deadlines on the virtual clock.
#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <fstream>

#include "tests/plugin/plugin_test_util.h"
#include "tests/support/fake_helper_daemon.h"

namespace tarq::testing {
namespace {

using nlohmann::json;

class StartTest : public ::testing::Test {
 protected:
  void SetUp() override { harness.listen(); }

  // Replies to one op with `reply` and leaves the others to the default.
  void replyTo(const std::string& op, json reply) {
    daemon.setResponder([op, reply](const json& request) -> std::optional<FakeReply> {
      if (request.is_object() && request.value("op", "") == op) {
        return FakeReply::json(reply);
      }
      return std::nullopt;
    });
  }

  PluginHarness harness;
  FakeHelperDaemon daemon{harness.socketPath};
  FakeClashServer clash{"s3cret"};
};

TEST_F(StartTest, ConnectsSelectsAndAnswersAfterItsEvents) {
  clash.setTotals(100, 500);
  const int64_t before = harness.clock->wallMillis();
  EXPECT_TRUE(isNullSuccess(harness.call("start", startArguments(clash.port()))));

  EXPECT_EQ(harness.timeline(),
            (std::vector<std::string>{"event connecting", "event connected", "answer start"}));
  const Value connected = harness.events().at(1);
  ASSERT_NE(connected.find("since"), nullptr);
  EXPECT_GE(*connected.find("since")->get<int64_t>(), before);

  // The helper read the configuration as written; it is gone afterwards.
  EXPECT_EQ(daemon.ops(), (std::vector<std::string>{"status", "start", "status"}));
  const json start = daemon.requests()[1];
  EXPECT_EQ(start["config_path"], harness.configPath());
  EXPECT_EQ(start["selected"], "direct-b");
  EXPECT_EQ(daemon.configsAtStart(), (std::vector<std::optional<std::string>>{kConfigText}));
  EXPECT_FALSE(std::filesystem::exists(harness.configPath()));

  EXPECT_EQ(clash.selected(), "direct-b");
  const auto puts = clash.requests();
  ASSERT_EQ(clash.requestCount("PUT", "/proxies/tarq"), 1u);
  for (const RecordedRequest& request : puts) {
    EXPECT_EQ(request.header("Authorization"), "Bearer s3cret");
  }
  EXPECT_EQ(*asValue(harness.call("status")),
            Value(ValueMap{{"state", "connected"}, {"since", *connected.find("since")}}));
}

TEST_F(StartTest, StopsARunningEngineBeforeStartingAndLeavesAutoAlone) {
  daemon.setRunning(true);
  EXPECT_TRUE(isNullSuccess(harness.call("start", startArguments(clash.port(), "s3cret", "auto"))));
  const auto ops = daemon.ops();
  EXPECT_EQ(std::vector<std::string>(ops.begin(), ops.begin() + 3),
            (std::vector<std::string>{"status", "stop", "start"}));
  EXPECT_EQ(clash.requestCount("PUT", "/proxies/tarq"), 0u);
}

TEST_F(StartTest, EmptySelectionIsSentLikeAnyTag) {
  clash.overrideResponse("PUT", "/proxies/tarq", {.status = 204});
  EXPECT_TRUE(isNullSuccess(harness.call("start", startArguments(clash.port(), "s3cret", ""))));
  ASSERT_EQ(clash.requestCount("PUT", "/proxies/tarq"), 1u);
  for (const RecordedRequest& request : clash.requests()) {
    if (request.method == "PUT") {
      EXPECT_EQ(json::parse(request.body), (json{{"name", ""}}));
    }
  }
}

struct FailureCase {
  std::string name;
  json startReply;
  std::string message;
};

// Names the case in test listings instead of dumping its bytes.
void PrintTo(const FailureCase& c, std::ostream* out) {
  *out << c.name;
}

class StartRefusedTest : public StartTest, public ::testing::WithParamInterface<FailureCase> {};

TEST_P(StartRefusedTest, RefusalBecomesErrorStateAndStartFailed) {
  replyTo("start", GetParam().startReply);
  MethodResponse response = harness.call("start", startArguments(clash.port()));
  EXPECT_EQ(*asError(response), (FlutterError{"start_failed", GetParam().message, Value()}));
  EXPECT_EQ(harness.states(), (std::vector<std::string>{"connecting", "error"}));
  EXPECT_EQ(errorOf(harness.events().back()), GetParam().message);
  EXPECT_EQ(daemon.ops().back(), "stop");
  EXPECT_FALSE(std::filesystem::exists(harness.configPath()));
}

INSTANTIATE_TEST_SUITE_P(Replies, StartRefusedTest,
                         ::testing::Values(FailureCase{"EmptyError",
                                                       {{"ok", false}},
                                                       "the helper refused to start sing-box"},
                                           FailureCase{
                                               "DaemonText",
                                               {{"ok", false}, {"error", "config_path is a link"}},
                                               "config_path is a link"}),
                         [](const auto& testInfo) { return testInfo.param.name; });

TEST_F(StartTest, EngineThatExitsFailsAtOnceWithItsReason) {
  auto statuses = std::make_shared<std::atomic<int>>(0);
  daemon.setResponder([statuses](const json& request) -> std::optional<FakeReply> {
    if (request.value("op", "") == "status" && ++*statuses > 1) {
      return FakeReply::json({{"ok", true}, {"running", false}, {"error", "exit status 1"}});
    }
    return std::nullopt;
  });
  const SteadyTime began = harness.clock->now();
  MethodResponse response = harness.call("start", startArguments(clash.port()));
  EXPECT_EQ(errorMessage(response),
            "sing-box exited (exit status 1) \u2014 see /Library/Logs/Orvek/sing-box.log");
  EXPECT_LT(harness.clock->now() - began, std::chrono::seconds(1));
  EXPECT_EQ(daemon.ops().back(), "stop");
}

TEST_F(StartTest, EngineThatNeverRunsTimesOutAfterTenSeconds) {
  replyTo("status", {{"ok", true}, {"running", false}});
  const SteadyTime began = harness.clock->now();
  EXPECT_EQ(errorMessage(harness.call("start", startArguments(clash.port()))),
            "timed out waiting for sing-box to start");
  EXPECT_GE(harness.clock->now() - began, std::chrono::seconds(10));
  EXPECT_LT(harness.clock->now() - began, std::chrono::milliseconds(10400));
}

TEST_F(StartTest, StatusExchangesThatKeepFailingAreRetriedUntilTheDeadline) {
  auto statuses = std::make_shared<std::atomic<int>>(0);
  daemon.setResponder([statuses](const json& request) -> std::optional<FakeReply> {
    if (request.value("op", "") == "status" && ++*statuses > 1) {
      return FakeReply{.bytes = "{\"ok\":tr", .closeBeforeReading = false};
    }
    return std::nullopt;
  });
  EXPECT_EQ(errorMessage(harness.call("start", startArguments(clash.port()))),
            "timed out waiting for sing-box to start");
  EXPECT_GT(statuses->load(), 40);
}

TEST_F(StartTest, SilentClashApiTimesOutAndStopsTheEngine) {
  clash.stop();
  EXPECT_EQ(errorMessage(harness.call("start", startArguments(clash.port()))),
            "timed out waiting for the clash api");
  EXPECT_EQ(daemon.ops().back(), "stop");
  EXPECT_EQ(harness.states().back(), "error");
}

TEST_F(StartTest, ProbesFailingWithAnHttpStatusAreRetried) {
  clash.overrideResponse("GET", "/version", {.status = 503});
  EXPECT_EQ(errorMessage(harness.call("start", startArguments(clash.port()))),
            "timed out waiting for the clash api");
  EXPECT_GT(clash.requestCount("GET", "/version"), 40u);
}

TEST_F(StartTest, RejectedSelectionFailsTheStart) {
  EXPECT_EQ(errorMessage(
                harness.call("start", startArguments(clash.port(), "s3cret", "no-such-outbound"))),
            "clash api: HTTP 400");
  EXPECT_EQ(daemon.ops().back(), "stop");
}

TEST_F(StartTest, UnreadableFirstTotalsStillConnectFromAZeroBaseline) {
  clash.overrideResponse("GET", "/connections", {.status = 500});
  EXPECT_TRUE(isNullSuccess(harness.call("start", startArguments(clash.port()))));
  clash.clearOverrides();
  clash.setTotals(700, 900);
  harness.virtualClock->advance(std::chrono::seconds(1));
  ASSERT_TRUE(harness.waitForEvents(3));
  const Value stats = harness.statsEvents().at(0);
  EXPECT_EQ(*stats.find("up"), Value(700));
  EXPECT_EQ(*stats.find("down"), Value(900));
}

TEST_F(StartTest, ConfigurationThatCannotBeWrittenFailsAndStillStopsTheEngine) {
  std::ofstream(harness.applicationSupport) << "a file where a folder belongs";
  MethodResponse response = harness.call("start", startArguments(clash.port()));
  EXPECT_EQ(errorCode(response), "start_failed");
  EXPECT_FALSE(errorMessage(response).empty());
  EXPECT_EQ(daemon.ops(), (std::vector<std::string>{"stop"}));
}

TEST_F(StartTest, ConfigurationThatCannotBeRemovedIsLoggedAndTheStartGoesOn) {
  daemon.setResponder([this](const json& request) -> std::optional<FakeReply> {
    if (request.value("op", "") != "start") {
      return std::nullopt;
    }
    // Replace the file by a folder with content: unlink then fails.
    const std::string path = request["config_path"];
    std::filesystem::remove(path);
    std::filesystem::create_directories(path + "/keep");
    daemon.setRunning(true);
    return FakeReply::json({{"ok", true}});
  });
  EXPECT_TRUE(isNullSuccess(harness.call("start", startArguments(clash.port()))));
  const auto lines = harness.log->lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(
      lines[0].rfind("tarq: user config not removed: remove " + harness.configPath() + ": ", 0), 0u)
      << lines[0];
}

TEST_F(StartTest, NoSocketAnswersHelperMissingAndSendsNothing) {
  PluginHarness lone;
  lone.listen();
  EXPECT_EQ(*asError(lone.call("start", startArguments(clash.port()))),
            (FlutterError{"helper_missing", "the TARQ helper is not installed", Value()}));
  EXPECT_EQ(lone.states(), (std::vector<std::string>{"error"}));
  EXPECT_FALSE(std::filesystem::exists(lone.configPath()));
}

TEST(StartSocketWaitTest, BundledHelperIsAwaitedUntilItsSocketAppears) {
  PluginHarness harness({.bundled = true});
  FakeHelperDaemon daemon(harness.socketPath);
  FakeClashServer clash("s3cret");
  SteadyTime appears = harness.clock->now() + std::chrono::seconds(3);
  SteadyTime seen{};
  harness.platform->setExistsOverride([&](const std::string& path) -> std::optional<bool> {
    if (path != harness.socketPath) {
      return std::nullopt;
    }
    if (harness.clock->now() < appears) {
      return false;
    }
    if (seen == SteadyTime{}) {
      seen = harness.clock->now();
    }
    return true;
  });
  const SteadyTime began = harness.clock->now();
  EXPECT_TRUE(isNullSuccess(harness.call("start", startArguments(clash.port()))));
  EXPECT_LE(seen - began, std::chrono::milliseconds(3200));  // within one poll

  // Never appearing: "helper_missing" once the 10 s have passed.
  appears = SteadyTime::max();
  const SteadyTime second = harness.clock->now();
  EXPECT_EQ(errorCode(harness.call("start", startArguments(clash.port()))), "helper_missing");
  EXPECT_GE(harness.clock->now() - second, std::chrono::seconds(10));
}

}  // namespace
}  // namespace tarq::testing
