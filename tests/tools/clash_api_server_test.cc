// The Clash API server of the stand-in engine and the tests: its faults, set
// over HTTP and cleared, releasing a stalled answer; replies framed as the
// engine's Go server frames them; idle connections that cost no one a wait.
#include "clash-api-server/clash_api_server.h"

#include <gtest/gtest.h>
#include <httplib.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "clash/clash_client.h"
#include "tests/support/loopback_http.h"
#include "tests/support/tool_process.h"

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

testing::RawAnswer rawGet(int port, const std::string& path) {
  return testing::splitAnswer(testing::rawExchange(
      port, "GET " + path + " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n"));
}

// Go's net/http sends what fits its 2,048-byte buffer with a length, and
// anything longer chunked: a /connections reply, a fault's body alike.
TEST(ClashApiServerTest, FramesRepliesAsTheEnginesGoServerDoes) {
  ClashApiServer server;
  for (const size_t size : {size_t{0}, size_t{1}, size_t{2048}, size_t{2049}, size_t{300000}}) {
    const std::string body = std::string(size, 'x');
    server.setConnectionsBody(body);
    const testing::RawAnswer answer = rawGet(server.port(), "/connections");
    ASSERT_EQ(answer.head.rfind("HTTP/1.1 200", 0), 0u) << answer.head;
    if (size <= 2048) {
      EXPECT_EQ(answer.header("Content-Length"), std::to_string(size)) << size;
      EXPECT_EQ(answer.header("Transfer-Encoding"), "") << size;
      EXPECT_EQ(answer.body, body) << size;
    } else {
      EXPECT_EQ(answer.header("Content-Length"), "") << size;
      EXPECT_EQ(answer.header("Transfer-Encoding"), "chunked") << size;
      EXPECT_EQ(testing::unchunk(answer.body), body) << size;
    }
  }
  server.setFault("GET", "/version", ClashFault{503, std::string(3000, 'f')});
  const testing::RawAnswer failed = rawGet(server.port(), "/version");
  EXPECT_EQ(failed.head.rfind("HTTP/1.1 503", 0), 0u) << failed.head;
  EXPECT_EQ(failed.header("Transfer-Encoding"), "chunked");
  EXPECT_EQ(testing::unchunk(failed.body), std::string(3000, 'f'));
  server.clearFaults();
  const testing::RawAnswer version = rawGet(server.port(), "/version");
  EXPECT_EQ(version.header("Content-Length"), std::to_string(version.body.size()));
  EXPECT_EQ(version.body.back(), '\n');
}

// Idle clients, however many, hold no thread of the server: the plug-in's
// calls are answered meanwhile, and stop() still ends every connection.
TEST(ClashApiServerTest, IdleConnectionsDelayNoCall) {
  ClashApiServer server;
  server.setTotals(3, 4);
  std::vector<int> idle;
  for (int i = 0; i < 50; ++i) {
    idle.push_back(testing::connectLoopback(server.port()));  // nothing sent
  }
  const std::string request = "GET /version HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
  for (int i = 0; i < 50; ++i) {
    // One request answered, then the connection kept alive and idle.
    const int connection = testing::connectLoopback(server.port());
    timeval timeout{10, 0};  // a server out of threads never answers
    ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    ASSERT_EQ(::send(connection, request.data(), request.size(), MSG_NOSIGNAL),
              static_cast<ssize_t>(request.size()));
    std::string answer;
    char buffer[4096];
    while (answer.find("}\n") == std::string::npos) {
      const ssize_t got = ::recv(connection, buffer, sizeof buffer, 0);
      ASSERT_GT(got, 0);
      answer.append(buffer, static_cast<size_t>(got));
    }
    idle.push_back(connection);
  }
  for (const int connection : idle) {
    ASSERT_GE(connection, 0);
  }
  ASSERT_TRUE(testing::eventually([&] { return server.openConnections() == 100; }));

  // The client gives up after 3 s without a byte: an answer at all is prompt.
  ClashClient client(server.port(), "");
  EXPECT_NO_THROW(client.request("GET", "/version"));
  EXPECT_EQ(client.totals(), (TrafficTotals{3, 4}));

  server.stop();
  for (const int connection : idle) {
    timeval timeout{10, 0};
    ::setsockopt(connection, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout);
    char byte;
    EXPECT_EQ(::recv(connection, &byte, 1, 0), 0);  // ended by the server
    ::close(connection);
  }
  EXPECT_EQ(server.openConnections(), 0);
}

}  // namespace
}  // namespace tarq
