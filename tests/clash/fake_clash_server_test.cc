// The fake engine's selection rules and its stop(), which the plug-in's tests
// rely on without checking them.
#include "tests/support/fake_clash_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>
#include <tuple>

#include "clash/clash_client.h"

namespace tarq {
namespace {

using testing::FakeClashServer;
using testing::FakeResponse;

TEST(FakeClashServerTest, SelectsLikeTheEngine) {
  FakeClashServer server("s3cret", {"direct-a", "direct-b"});
  ClashClient client(server.port(), "s3cret");
  EXPECT_EQ(server.selected(), "direct-a");
  // 200 stands for the empty 204.
  const std::tuple<const char*, const char*, int> cases[] = {
      {"/proxies/tarq", R"({"name":"direct-b"})", 200},
      {"/proxies/tarq", R"({"name":"x"})", 400},
      {"/proxies/tarq", "not json", 400},
      {"/proxies/tarq", R"({"name":1})", 400},
      {"/proxies/other", R"({"name":"direct-a"})", 404}};
  for (const auto& [path, body, status] : cases) {
    try {
      EXPECT_EQ(client.request("PUT", path, body), "");
      EXPECT_EQ(status, 200) << body;
    } catch (const ClashError& error) {
      EXPECT_EQ(error.status(), status) << body;
    }
  }
  EXPECT_EQ(server.selected(), "direct-b");
}

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
