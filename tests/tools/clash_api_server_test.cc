// The Clash API server of the stand-in engine and the tests: its faults, set
// over HTTP and cleared, releasing a stalled answer.
#include "clash-api-server/clash_api_server.h"

#include <gtest/gtest.h>
#include <httplib.h>

#include <thread>

namespace tarq {
namespace {

using namespace std::chrono_literals;

TEST(ClashApiServerTest, FaultsAreSetAndClearedOverHttpOnlyWhenEnabled) {
  ClashApiServer server{ClashApiSetup{.secret = "s3cret", .faultControl = true}};
  httplib::Client client("127.0.0.1", server.port());
  const auto put = [&](const std::string& fault) {
    auto reply = client.Put("/tarq/fault", fault, "application/json");
    return reply ? reply->status : 0;
  };
  EXPECT_EQ(put(R"({"method":"GET","path":"/version","status":500})"), 401);
  client.set_bearer_token_auth("s3cret");
  for (const char* bad : {"[]", R"({"path":"/version"})", R"({"method":"GET","path":"version"})",
                          R"({"method":"GET","path":"/v","status":42})",
                          R"({"method":"GET","path":"/v","delayMs":-1})",
                          R"({"method":"GET","path":"/v","delay":5})"}) {
    EXPECT_EQ(put(bad), 400) << bad;
  }
  ASSERT_EQ(put(R"({"method":"GET","path":"/connections","status":503,"body":"{\"m\":1}"})"), 204);
  auto failed = client.Get("/connections");
  ASSERT_TRUE(failed);
  EXPECT_EQ(failed->status, 503);
  EXPECT_EQ(failed->body, R"({"m":1})");

  // A stalled answer is released by clearing, with the normal answer.
  ASSERT_EQ(put(R"({"method":"GET","path":"/version","stall":true})"), 204);
  std::thread stalled([&] {
    httplib::Client other("127.0.0.1", server.port());
    other.set_bearer_token_auth("s3cret");
    auto reply = other.Get("/version");
    ASSERT_TRUE(reply);
    EXPECT_EQ(reply->status, 200);
  });
  while (server.requestCount("GET", "/version") == 0) {
    std::this_thread::sleep_for(5ms);
  }
  EXPECT_EQ(client.Delete("/tarq/fault")->status, 204);
  stalled.join();
  EXPECT_EQ(client.Get("/connections")->status, 200);

  ClashApiServer closed;
  EXPECT_EQ(httplib::Client("127.0.0.1", closed.port()).Delete("/tarq/fault")->status, 404);
}

}  // namespace
}  // namespace tarq
