// Releasing the plug-in from any thread, with work in flight: no deadlock, no
// crash, no stopped engine.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "plugin/tarq_engine_plugin.h"
#include "tests/plugin/plugin_test_util.h"
#include "tests/support/capturing_registrar.h"
#include "tests/support/fake_helper_daemon.h"

namespace tarq::testing {
namespace {

using nlohmann::json;

TEST(LifetimeTest, HostShutdownDuringAStartLetsItFinishWithoutStoppingTheEngine) {
  auto harness = std::make_unique<PluginHarness>();
  FakeHelperDaemon daemon(harness->socketPath);
  ClashApiServer clash{ClashApiSetup{.secret = "s3cret"}};
  std::promise<void> release;
  std::shared_future<void> released = release.get_future().share();
  daemon.setResponder([released](const json& request) -> std::optional<FakeReply> {
    if (request.value("op", "") == "start") {
      released.wait();
    }
    return std::nullopt;
  });
  harness->callAsync("start", startArguments(clash.port()));
  ASSERT_TRUE(daemon.waitForRequests(2));
  // The host lets go of the plug-in on its main thread while the start holds
  // the queue; the queued task keeps the plug-in until it has run.
  harness->host->shutdown();
  release.set_value();
  // The start goes on to the end (its answer is dropped by the closed host)
  // and the plug-in then dies on its own work queue.
  EXPECT_TRUE(daemon.waitForRequests(3));
  for (int i = 0; i < 200 && clash.requestCount("GET", "/connections") == 0; ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  harness.reset();
  for (const std::string& op : daemon.ops()) {
    EXPECT_NE(op, "stop");
  }
}

TEST(LifetimeTest, ReleasedWhileSamplingTheTimerDiesWithThePlugin) {
  auto harness = std::make_unique<PluginHarness>();
  FakeHelperDaemon daemon(harness->socketPath);
  ClashApiServer clash{ClashApiSetup{.secret = "s3cret"}};
  ASSERT_TRUE(isNullSuccess(harness->call("start", startArguments(clash.port()))));
  harness->host->shutdown();
  const size_t samples = clash.requestCount("GET", "/connections");
  harness->virtualClock->advance(std::chrono::seconds(3));
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  EXPECT_EQ(clash.requestCount("GET", "/connections"), samples);
  EXPECT_NE(daemon.ops().back(), "stop");
}

TEST(LifetimeTest, LastReferenceDroppedOnTheWorkQueueItself) {
  PluginHarness harness;  // for its environment
  PluginEnvironment environment{harness.clock, harness.platform, harness.log, harness.registration,
                                harness.socketPath};
  for (int round = 0; round < 20; ++round) {
    CapturingRegistrar registrar;
    TarqEnginePlugin::registerWith(registrar, environment);
    std::atomic<bool> answered{false};
    // The status task holds the plug-in; dropping every other reference
    // first makes the task's the last one, released on the queue's thread.
    registrar.methodHandler(
        MethodCall{"status", Value()},
        std::make_unique<MethodResultFunction>([&](MethodResponse) { answered = true; }));
    std::thread([&] {
      registrar.methodHandler = nullptr;
      registrar.streamHandler.reset();
    }).join();
    for (int i = 0; i < 500 && !answered; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_TRUE(answered);
  }
}

}  // namespace
}  // namespace tarq::testing
