// An engine waits for the open connections to its Clash API before it stops,
// so the plug-in must hold none when it asks the helper to stop one.
#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "tests/plugin/plugin_test_util.h"
#include "tests/support/fake_helper_daemon.h"

namespace tarq::testing {
namespace {

TEST(RestartTest, NoConnectionToTheEngineIsOpenWhenTheHelperStopsIt) {
  PluginHarness harness;
  FakeHelperDaemon daemon(harness.socketPath);
  ClashApiServer clash{ClashApiSetup{.secret = "s3cret"}};
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
  ASSERT_TRUE(isNullSuccess(harness.call("start", startArguments(clash.port()))));
  // A restart, a failed restart (its new client goes before the clean-up
  // "stop"), and a stop.
  ASSERT_TRUE(isNullSuccess(harness.call("start", startArguments(clash.port()))));
  EXPECT_EQ(errorCode(harness.call("start", startArguments(clash.port(), "s3cret", "nowhere"))),
            "start_failed");
  EXPECT_TRUE(isNullSuccess(harness.call("stop")));
  EXPECT_EQ(stops, 4);
  EXPECT_EQ(heldOpen, 0);
}

}  // namespace
}  // namespace tarq::testing
