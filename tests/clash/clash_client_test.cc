#include "clash/clash_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "clash-api-server/clash_api_server.h"
#include "tests/support/connections_body.h"

namespace tarq {
namespace {

using namespace std::chrono_literals;
using std::chrono::steady_clock;

double secondsSince(steady_clock::time_point start) {
  return std::chrono::duration<double>(steady_clock::now() - start).count();
}

// The ClashError that `call` throws; fails the test if it throws none.
template <typename Call>
ClashError clashErrorOf(Call call) {
  try {
    call();
  } catch (const ClashError& error) {
    return error;
  }
  ADD_FAILURE() << "no ClashError";
  return ClashError::transport("none");
}

class ClashClientTest : public ::testing::Test {
 protected:
  ClashApiServer server_{ClashApiSetup{.secret = "s3cret"}};
  ClashClient client_{server_.port(), "s3cret"};
};

TEST_F(ClashClientTest, ReusesOneConnectionSendingTheSecretAndJsonBodiesOnlyWithPuts) {
  EXPECT_NE(client_.request("GET", "/version").find("\"version\":\"sing-box"), std::string::npos);
  EXPECT_EQ(client_.request("PUT", "/proxies/tarq", R"({"name":"direct-b"})"), "");  // a 204
  EXPECT_EQ(server_.selected(), "direct-b");
  // An empty body is no valid selection for the engine.
  EXPECT_THROW(client_.request("PUT", "/proxies/tarq", std::nullopt), ClashError);
  const auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 3u);
  for (size_t i = 0; i < requests.size(); ++i) {
    EXPECT_EQ(requests[i].header("Authorization"), "Bearer s3cret") << i;
    EXPECT_EQ(requests[i].header("Expect"), std::nullopt) << i;
    EXPECT_EQ(requests[i].body, i == 1 ? R"({"name":"direct-b"})" : "") << i;
    EXPECT_EQ(requests[i].header("Content-Type"),
              i == 1 ? std::optional<std::string>("application/json") : std::nullopt)
        << i;
    EXPECT_EQ(requests[i].remotePort, requests[0].remotePort) << i;
  }

  // The kept-alive connection's end fails the next call at once, not after
  // the idle limit.
  server_.stop();
  const auto start = steady_clock::now();
  EXPECT_EQ(clashErrorOf([&] { client_.request("GET", "/version"); }).kind(),
            ClashError::Kind::transport);
  EXPECT_LT(secondsSince(start), 3.0);

  ClashApiServer open;
  ClashClient(open.port(), "").request("GET", "/version");
  EXPECT_EQ(open.requests().at(0).header("Authorization"), std::nullopt);
}

TEST_F(ClashClientTest, OnlyStatusesFrom200To299Succeed) {
  for (int status : {200, 299, 300, 401, 404, 500}) {
    server_.setFault("GET", "/version", ClashFault{status, "{}"});
    if (status < 300) {
      EXPECT_EQ(client_.request("GET", "/version"), "{}") << status;
      continue;
    }
    const ClashError error = clashErrorOf([&] { client_.request("GET", "/version"); });
    EXPECT_EQ(error.kind(), ClashError::Kind::http);
    EXPECT_EQ(error.status(), status);
    EXPECT_STREQ(error.what(), ("clash api: HTTP " + std::to_string(status)).c_str());
  }
}

TEST_F(ClashClientTest, BadUrlSendsNothingAndPortZeroFailsAsTransport) {
  for (const char* path : {"/a b", "/line\nbreak", "@example.com/version"}) {
    EXPECT_EQ(clashErrorOf([&] { client_.request("GET", path); }).errorDescription(),
              std::string("clash api: bad url ") + path);
  }
  for (int64_t port : {int64_t{-1}, int64_t{65536}}) {
    EXPECT_EQ(
        clashErrorOf([&] { ClashClient(port, "").request("GET", "/version"); }).errorDescription(),
        "clash api: bad url /version");
  }
  EXPECT_TRUE(server_.requests().empty());
  EXPECT_NO_THROW(client_.request("GET", "/version"));  // the handle is still good

  const ClashError error = clashErrorOf([] { ClashClient(0, "").request("GET", "/version"); });
  EXPECT_EQ(error.kind(), ClashError::Kind::transport);
  EXPECT_NE(error.errorDescription(), "clash api: bad url /version");
}

TEST_F(ClashClientTest, ProxyVariablesDoNotDivertLoopbackCalls) {
  std::vector<std::pair<std::string, std::optional<std::string>>> saved;
  auto replace = [&saved](const char* name, const char* value) {
    const char* old = ::getenv(name);
    saved.emplace_back(name, old ? std::optional<std::string>(old) : std::nullopt);
    value ? ::setenv(name, value, 1) : ::unsetenv(name);
  };
  for (const char* name : {"http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY"}) {
    replace(name, "http://127.0.0.1:1");
  }
  replace("no_proxy", nullptr);
  replace("NO_PROXY", nullptr);
  EXPECT_NO_THROW(ClashClient(server_.port(), "s3cret").request("GET", "/version"));
  for (const auto& [name, value] : saved) {
    value ? ::setenv(name.c_str(), value->c_str(), 1) : ::unsetenv(name.c_str());
  }
  EXPECT_EQ(server_.requestCount("GET", "/version"), 1u);
}

// Past 2,048 bytes the engine's Go server sends a reply chunked, as the
// stand-in does: a /connections reply of a few connections already is.
TEST_F(ClashClientTest, SmallChunkedRepliesAreReadWhole) {
  const std::string body = testing::connectionsBody(8, 5, 6);
  ASSERT_GT(body.size(), 2048u);
  ASSERT_LT(body.size(), 8192u);
  server_.setConnectionsBody(body);
  EXPECT_EQ(client_.totals(), (TrafficTotals{5, 6}));
  EXPECT_EQ(client_.request("GET", "/connections"), body);
  EXPECT_EQ(client_.totals(), (TrafficTotals{5, 6}));
  // A chunked failure is received and dropped.
  server_.setFault("GET", "/connections", ClashFault{500, body});
  EXPECT_EQ(clashErrorOf([&] { client_.totals(); }).status(), 500);
  EXPECT_EQ(server_.requests().back().remotePort, server_.requests().front().remotePort);
}

TEST_F(ClashClientTest, ConcurrentCallsAreSerialised) {
  server_.setTotals(7, 9);
  std::atomic<int> succeeded{0};
  {
    std::vector<std::jthread> threads;
    for (int i = 0; i < 4; ++i) {
      threads.emplace_back([&] {
        for (int j = 0; j < 10; ++j) {
          succeeded += client_.totals() == TrafficTotals{7, 9};
        }
      });
    }
  }
  EXPECT_EQ(succeeded, 40);
}

// Real-time: the idle limit (3 s) ends a call that gets no answer; a reply
// that trickles in never trips it, so the overall 5-second bound ends it.
TEST_F(ClashClientTest, SilentOrTricklingServerIsGivenUp) {
  server_.setFault("GET", "/version", ClashFault{200, "{}", std::chrono::hours(1)});
  auto start = steady_clock::now();
  EXPECT_EQ(clashErrorOf([&] { client_.request("GET", "/version"); }).kind(),
            ClashError::Kind::transport);
  EXPECT_GE(secondsSince(start), 2.5);
  EXPECT_LE(secondsSince(start), 7.0);

  // A bare peer: its 100-byte body comes in a byte every 100 ms, until the
  // client goes.
  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in address{.sin_family = AF_INET, .sin_addr = {htonl(INADDR_LOOPBACK)}};
  socklen_t length = sizeof address;
  auto* raw = reinterpret_cast<sockaddr*>(&address);
  ASSERT_EQ(
      ::bind(listener, raw, length) | ::listen(listener, 1) | ::getsockname(listener, raw, &length),
      0);
  std::thread trickling([listener] {
    const int connection = ::accept(listener, nullptr, nullptr);
    char request[4096];
    std::string_view bytes = "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n";
    for (bool open = ::recv(connection, request, sizeof request, 0) > 0; open; bytes = "x") {
      open = ::send(connection, bytes.data(), bytes.size(), MSG_NOSIGNAL) > 0;
      std::this_thread::sleep_for(100ms);
    }
    ::close(connection);
  });
  start = steady_clock::now();
  EXPECT_EQ(clashErrorOf([&] {
              ClashClient(ntohs(address.sin_port), "").request("GET", "/v");
            }).errorDescription(),
            "clash api: timed out");
  EXPECT_GE(secondsSince(start), 4.9);
  EXPECT_LE(secondsSince(start), 7.0);
  trickling.join();
  ::close(listener);
}

}  // namespace
}  // namespace tarq
