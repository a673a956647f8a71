// The fake engine's stop(), which the plug-in's tests rely on without checking
// it.
#include "tests/support/fake_clash_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "clash/clash_client.h"

namespace tarq {
namespace {

using testing::FakeClashServer;
using testing::FakeResponse;

TEST(FakeClashServerTest, StopEndsAHangingAnswerAndTheConnection) {
  FakeClashServer server;
  ClashClient client(server.port(), "");
  server.overrideResponse("GET", "/version", FakeResponse{200, "{}", std::chrono::hours(1)});
  std::thread caller([&] { EXPECT_THROW(client.request("GET", "/version"), ClashError); });
  while (server.requestCount("GET", "/version") == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const auto start = std::chrono::steady_clock::now();
  server.stop();
  caller.join();
  // Well before the client's own 3-second idle limit would have ended it.
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(2500));
}

}  // namespace
}  // namespace tarq
