// The fake engine that the plug-in's tests lean on must answer as sing-box
// does; these cases pin the behaviour they rely on.
#include "tests/support/fake_clash_server.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "clash/clash_client.h"

namespace tarq {
namespace {

using std::chrono::steady_clock;
using testing::FakeClashServer;
using testing::FakeResponse;

class FakeClashServerTest : public ::testing::Test {
 protected:
  // The reply of `method` `path` as "status body", failures included.
  std::string answer(const std::string& method, const std::string& path,
                     const std::optional<std::string>& body = std::nullopt) {
    try {
      return "200 " + client_.request(method, path, body);
    } catch (const ClashError& error) {
      return std::to_string(error.status()) + " " + error.errorDescription();
    }
  }

  FakeClashServer server_{"s3cret", {"direct-a", "direct-b"}};
  ClashClient client_{server_.port(), "s3cret"};
};

TEST_F(FakeClashServerTest, SelectsLikeTheEngine) {
  EXPECT_EQ(server_.selected(), "direct-a");
  EXPECT_EQ(answer("PUT", "/proxies/tarq", R"({"name":"direct-b"})"), "200 ");
  EXPECT_EQ(server_.selected(), "direct-b");

  EXPECT_EQ(answer("PUT", "/proxies/tarq", R"({"name":"nowhere"})"), "400 clash api: HTTP 400");
  EXPECT_EQ(answer("PUT", "/proxies/tarq", "not json"), "400 clash api: HTTP 400");
  EXPECT_EQ(answer("PUT", "/proxies/direct-a", R"({"name":"direct-b"})"),
            "400 clash api: HTTP 400");
  EXPECT_EQ(answer("PUT", "/proxies/other", R"({"name":"direct-b"})"), "404 clash api: HTTP 404");
  EXPECT_EQ(server_.selected(), "direct-b");
  EXPECT_EQ(server_.requestCount("PUT", "/proxies/tarq"), 3u);
}

TEST_F(FakeClashServerTest, ServesTotalsOrAGivenBody) {
  server_.setTotals(5, 6);
  EXPECT_EQ(client_.totals(), (TrafficTotals{5, 6}));
  server_.setConnectionsBody(R"({"uploadTotal":1,"downloadTotal":2})");
  EXPECT_EQ(client_.totals(), (TrafficTotals{1, 2}));
  server_.setTotals(7, 8);
  EXPECT_EQ(client_.totals(), (TrafficTotals{7, 8}));
}

TEST_F(FakeClashServerTest, RefusesWithoutTheSecret) {
  for (const char* secret : {"", "wrong"}) {
    ClashClient client(server_.port(), secret);
    try {
      client.request("GET", "/version");
      FAIL() << "accepted secret '" << secret << "'";
    } catch (const ClashError& error) {
      EXPECT_EQ(error.status(), 401);
    }
  }
  EXPECT_EQ(server_.requestCount("GET", "/version"), 2u);
}

TEST_F(FakeClashServerTest, OverrideAnswersAfterItsDelayUntilCleared) {
  server_.overrideResponse(
      "GET", "/version",
      FakeResponse{500, "{}", "application/json", std::chrono::milliseconds(300)});
  const auto start = steady_clock::now();
  EXPECT_EQ(answer("GET", "/version"), "500 clash api: HTTP 500");
  EXPECT_GE(steady_clock::now() - start, std::chrono::milliseconds(300));
  server_.clearOverrides();
  EXPECT_EQ(answer("GET", "/version").substr(0, 4), "200 ");
}

TEST_F(FakeClashServerTest, StopEndsAHangingAnswerAndTheConnection) {
  server_.overrideResponse("GET", "/version",
                           FakeResponse{200, "{}", "application/json", std::chrono::hours(1)});
  std::thread caller([&] { EXPECT_THROW(client_.request("GET", "/version"), ClashError); });
  while (server_.requestCount("GET", "/version") == 0) {
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  const auto start = steady_clock::now();
  server_.stop();
  caller.join();
  EXPECT_LT(steady_clock::now() - start, std::chrono::seconds(1));
}

}  // namespace
}  // namespace tarq
