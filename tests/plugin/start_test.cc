// The start sequence end to end: a fake helper daemon on a real Unix socket
// and the stand-in's Clash API server on real HTTP, deadlines on the virtual clock.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>

#include "tests/plugin/plugin_test_util.h"

namespace tarq::testing {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

constexpr char kClashTimeout[] = "timed out waiting for the clash api";

class StartTest : public EngineTest {
 protected:
  // Answers every `op` request after the first `skip` with `reply` and leaves
  // the rest to the default; returns the count of `op` requests.
  std::shared_ptr<std::atomic<int>> replyTo(const std::string& op, FakeReply reply, int skip = 0) {
    auto seen = std::make_shared<std::atomic<int>>(0);
    daemon.setResponder([=](const json& request) -> std::optional<FakeReply> {
      if (request.is_object() && request.value("op", "") == op && ++*seen > skip) {
        return reply;
      }
      return std::nullopt;
    });
    return seen;
  }
};

TEST_F(StartTest, ConnectsSelectsAndAnswersAfterItsEvents) {
  clash.setTotals(100, 500);
  const int64_t before = harness.clock->wallMillis();
  EXPECT_TRUE(isNullSuccess(start()));

  EXPECT_EQ(harness.timeline(),
            (std::vector<std::string>{"event connecting", "event connected", "answer start"}));
  const Value since = *harness.events().at(1).find("since");
  EXPECT_GE(*since.get<int64_t>(), before);

  // The helper read the configuration as written; it is gone afterwards.
  EXPECT_EQ(daemon.ops(), (std::vector<std::string>{"status", "start", "status"}));
  EXPECT_EQ(daemon.requests()[1]["config_path"], harness.configPath());
  EXPECT_EQ(daemon.requests()[1]["selected"], "direct-b");
  EXPECT_EQ(daemon.configsAtStart(), (std::vector<std::optional<std::string>>{kConfigText}));
  EXPECT_FALSE(fs::exists(harness.configPath()));

  // The fake API refuses a wrong secret, so the selection proves it was sent.
  EXPECT_EQ(clash.selected(), "direct-b");
  EXPECT_EQ(clash.requestCount("PUT", "/proxies/tarq"), 1u);
  EXPECT_EQ(*asValue(harness.call("status")),
            Value(ValueMap{{"state", "connected"}, {"since", since}}));
}

// "auto" means no selection; any other tag, even "", is sent and must be
// accepted.
TEST_F(StartTest, StopsARunningEngineFirstAndSendsAnySelectionButAuto) {
  daemon.setRunning(true);
  EXPECT_TRUE(isNullSuccess(start("auto")));
  const auto ops = daemon.ops();
  EXPECT_EQ(std::vector<std::string>(ops.begin(), ops.begin() + 3),
            (std::vector<std::string>{"status", "stop", "start"}));
  EXPECT_EQ(clash.requestCount("PUT", "/proxies/tarq"), 0u);

  EXPECT_EQ(errorMessage(start("no-such-outbound")), "clash api: HTTP 400");
  EXPECT_EQ(daemon.ops().back(), "stop");

  clash.setFault("PUT", "/proxies/tarq", {.status = 204});
  EXPECT_TRUE(isNullSuccess(start("")));
  ASSERT_EQ(clash.requestCount("PUT", "/proxies/tarq"), 2u);
  const auto requests = clash.requests();
  const auto put = std::find_if(requests.rbegin(), requests.rend(),
                                [](const RecordedRequest& r) { return r.method == "PUT"; });
  EXPECT_EQ(json::parse(put->body), (json{{"name", ""}}));
}

// A refused start, or an engine that exits while awaited (the status before
// "start" is left alone), fails at once.
TEST_F(StartTest, RefusalOrExitBecomesErrorStateAndStartFailed) {
  const struct {
    const char* op;
    json reply;
    std::string message;
  } failures[] = {
      {"start", {{"ok", false}}, "the helper refused to start sing-box"},
      {"start", {{"ok", false}, {"error", "config_path is a link"}}, "config_path is a link"},
      {"status",
       {{"ok", true}, {"running", false}, {"error", "exit status 1"}},
       "sing-box exited (exit status 1) \u2014 see /Library/Logs/Orvek/sing-box.log"}};
  std::vector<std::string> states;
  for (const auto& [op, reply, message] : failures) {
    replyTo(op, FakeReply::json(reply), op == std::string("status") ? 1 : 0);
    const SteadyTime began = harness.clock->now();
    EXPECT_EQ(*asError(start()), (FlutterError{"start_failed", message, Value()}));
    EXPECT_LT(harness.clock->now() - began, std::chrono::seconds(1)) << message;
    states.insert(states.end(), {"connecting", "error"});
    EXPECT_EQ(harness.states(), states);
    EXPECT_EQ(errorOf(harness.events().back()), message);
    EXPECT_EQ(daemon.ops().back(), "stop");
    EXPECT_FALSE(fs::exists(harness.configPath()));
  }
}

TEST_F(StartTest, EngineNeverRunningOrStatusKeptFailingTimesOutAfterTenSeconds) {
  const FakeReply replies[] = {FakeReply::json({{"ok", true}, {"running", false}}),
                               FakeReply{.bytes = R"({"ok":tr)"}};  // cut short: retried
  for (const FakeReply& reply : replies) {
    auto statuses = replyTo("status", reply, 1);
    const SteadyTime began = harness.clock->now();
    EXPECT_EQ(errorMessage(start()), "timed out waiting for sing-box to start") << reply.bytes;
    EXPECT_GE(harness.clock->now() - began, std::chrono::seconds(10));
    EXPECT_LT(harness.clock->now() - began, std::chrono::milliseconds(10400));
    EXPECT_GT(statuses->load(), 40) << reply.bytes;
  }
}

TEST_F(StartTest, ClashApiFailingOrSilentTimesOutAndStopsTheEngine) {
  clash.setFault("GET", "/version", {.status = 503});
  EXPECT_EQ(errorMessage(start()), kClashTimeout);
  EXPECT_GT(clash.requestCount("GET", "/version"), 40u);  // an HTTP error is retried
  clash.stop();
  EXPECT_EQ(errorMessage(start()), kClashTimeout);
  EXPECT_EQ(daemon.ops().back(), "stop");
  EXPECT_EQ(harness.states().back(), "error");
}

TEST_F(StartTest, UnreadableFirstTotalsStillConnectFromAZeroBaseline) {
  clash.setFault("GET", "/connections", {.status = 500});
  EXPECT_TRUE(isNullSuccess(start()));
  clash.clearFaults();
  clash.setTotals(700, 900);
  harness.virtualClock->advance(std::chrono::seconds(1));
  ASSERT_TRUE(harness.waitForEvents(3));
  const Value stats = harness.statsEvents().at(0);
  EXPECT_EQ(*stats.find("up"), Value(700));
  EXPECT_EQ(*stats.find("down"), Value(900));
}

TEST_F(StartTest, ConfigurationThatCannotBeWrittenFailsAndStillStopsTheEngine) {
  std::ofstream(harness.applicationSupport) << "a file where a folder belongs";
  MethodResponse response = start();
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
    fs::remove(path);
    fs::create_directories(path + "/keep");
    daemon.setRunning(true);
    return FakeReply::json({{"ok", true}});
  });
  EXPECT_TRUE(isNullSuccess(start()));
  const auto lines = harness.log->lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(
      lines[0].rfind("tarq: user config not removed: remove " + harness.configPath() + ": ", 0), 0u)
      << lines[0];
}

TEST(StartSocketWaitTest, BundledHelperIsAwaitedUntilItsSocketAppears) {
  PluginHarness harness({.bundled = true});
  FakeHelperDaemon daemon(harness.socketPath);
  ClashApiServer clash{ClashApiSetup{.secret = "s3cret"}};
  SteadyTime appears = harness.clock->now() + std::chrono::seconds(3);
  SteadyTime seen{};
  harness.platform->setExistsOverride([&](const std::string& path) -> std::optional<bool> {
    if (path != harness.socketPath) {
      return std::nullopt;
    }
    if (harness.clock->now() >= appears && seen == SteadyTime{}) {
      seen = harness.clock->now();
    }
    return harness.clock->now() >= appears;
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
