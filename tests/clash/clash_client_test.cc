#include "clash/clash_client.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "tests/support/fake_clash_server.h"

namespace tarq {
namespace {

using std::chrono::steady_clock;
using testing::FakeClashServer;
using testing::FakeResponse;

// A bare TCP listener on 127.0.0.1. Without a script it never accepts: the
// system completes the handshake and the request sits unanswered. With one,
// each accepted connection is handed to the script on a thread of its own
// until the listener goes.
class RawServer {
 public:
  using Script = std::function<void(int connection, const std::atomic<bool>& stopping)>;

  explicit RawServer(Script script = nullptr) {
    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    auto* raw = reinterpret_cast<sockaddr*>(&address);
    if (::bind(listener_, raw, length) != 0 || ::listen(listener_, 8) != 0 ||
        ::getsockname(listener_, raw, &length) != 0) {
      ADD_FAILURE() << "cannot listen";
    }
    port_ = ntohs(address.sin_port);
    if (script) {
      thread_ = std::thread([this, script] { acceptLoop(script); });
    }
  }

  ~RawServer() {
    stopping_ = true;
    ::shutdown(listener_, SHUT_RDWR);
    if (thread_.joinable()) {
      thread_.join();
    }
    ::close(listener_);
  }

  int port() const { return port_; }

 private:
  void acceptLoop(const Script& script) {
    std::vector<std::thread> connections;
    for (;;) {
      const int connection = ::accept(listener_, nullptr, nullptr);
      if (connection < 0) {
        break;
      }
      connections.emplace_back([this, connection, script] {
        script(connection, stopping_);
        ::close(connection);
      });
    }
    for (auto& thread : connections) {
      thread.join();
    }
  }

  int listener_ = -1;
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::thread thread_;
};

void sendText(int connection, const std::string& text) {
  (void)!::send(connection, text.data(), text.size(), MSG_NOSIGNAL);
}

// Sleeps up to `duration`, less when the server is going.
void pause(const std::atomic<bool>& stopping, std::chrono::milliseconds duration) {
  const auto until = steady_clock::now() + duration;
  while (!stopping && steady_clock::now() < until) {
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

double secondsSince(steady_clock::time_point start) {
  return std::chrono::duration<double>(steady_clock::now() - start).count();
}

// Runs `call` and returns the ClashError it throws; fails the test if it
// throws nothing.
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
  FakeClashServer server_{"s3cret"};
  ClashClient client_{server_.port(), "s3cret"};
};

TEST_F(ClashClientTest, GetCarriesTheBearerSecretAndNoContentType) {
  EXPECT_NE(client_.request("GET", "/version").find("\"version\":\"sing-box"), std::string::npos);

  const auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_EQ(requests[0].method, "GET");
  EXPECT_EQ(requests[0].path, "/version");
  EXPECT_EQ(requests[0].header("Authorization"), "Bearer s3cret");
  EXPECT_EQ(requests[0].header("Content-Type"), std::nullopt);
  EXPECT_EQ(requests[0].header("Expect"), std::nullopt);
}

TEST_F(ClashClientTest, EmptySecretSendsNoAuthorizationAtAll) {
  FakeClashServer open;
  ClashClient client(open.port(), "");
  client.request("GET", "/version");
  EXPECT_EQ(open.requests().at(0).header("Authorization"), std::nullopt);
}

TEST_F(ClashClientTest, PutSendsItsBodyAsJsonAndTakesAnEmpty204) {
  EXPECT_EQ(client_.request("PUT", "/proxies/tarq", R"({"name":"direct-b"})"), "");
  EXPECT_EQ(server_.selected(), "direct-b");

  const auto put = server_.requests().at(0);
  EXPECT_EQ(put.method, "PUT");
  EXPECT_EQ(put.body, R"({"name":"direct-b"})");
  EXPECT_EQ(put.header("Content-Type"), "application/json");
  EXPECT_EQ(put.header("Expect"), std::nullopt);
}

TEST_F(ClashClientTest, ReusedHandleForgetsThePreviousRequest) {
  client_.request("PUT", "/proxies/tarq", R"({"name":"direct-b"})");
  client_.request("GET", "/version");
  // An empty body is no valid selection for the engine.
  EXPECT_THROW(client_.request("PUT", "/proxies/tarq", std::nullopt), ClashError);

  const auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[1].method, "GET");
  EXPECT_EQ(requests[1].body, "");
  EXPECT_EQ(requests[1].header("Content-Type"), std::nullopt);
  EXPECT_EQ(requests[2].method, "PUT");
  EXPECT_EQ(requests[2].body, "");
  EXPECT_EQ(requests[2].header("Content-Type"), std::nullopt);
}

TEST_F(ClashClientTest, WrongSecretFailsWithHttp401) {
  ClashClient intruder(server_.port(), "guess");
  const ClashError error = clashErrorOf([&] { intruder.request("GET", "/version"); });
  EXPECT_EQ(error.kind(), ClashError::Kind::http);
  EXPECT_EQ(error.status(), 401);
  EXPECT_EQ(error.errorDescription(), "clash api: HTTP 401");
  EXPECT_STREQ(error.what(), "clash api: HTTP 401");
}

TEST_F(ClashClientTest, OnlyStatusesFrom200To299Succeed) {
  for (int status : {200, 299}) {
    server_.overrideResponse("GET", "/version", FakeResponse{status, "{}"});
    EXPECT_EQ(client_.request("GET", "/version"), "{}") << status;
  }
  for (int status : {300, 404, 500}) {
    server_.overrideResponse("GET", "/version", FakeResponse{status, "{}"});
    const ClashError error = clashErrorOf([&] { client_.request("GET", "/version"); });
    EXPECT_EQ(error.kind(), ClashError::Kind::http);
    EXPECT_EQ(error.errorDescription(), "clash api: HTTP " + std::to_string(status));
  }
}

TEST_F(ClashClientTest, InformationalStatusAloneIsAFailure) {
  RawServer raw([](int connection, const std::atomic<bool>&) {
    char request[4096];
    (void)!::recv(connection, request, sizeof request, 0);
    sendText(connection, "HTTP/1.1 199 Odd\r\nContent-Length: 0\r\n\r\n");
  });
  ClashClient client(raw.port(), "");
  EXPECT_THROW(client.request("GET", "/version"), ClashError);
}

TEST_F(ClashClientTest, PortZeroIsTriedAndFailsAsTransport) {
  ClashClient client(0, "");
  const ClashError error = clashErrorOf([&] { client.request("GET", "/version"); });
  EXPECT_EQ(error.kind(), ClashError::Kind::transport);
  EXPECT_EQ(error.errorDescription().rfind("clash api: ", 0), 0u);
  EXPECT_NE(error.errorDescription(), "clash api: bad url /version");
}

TEST_F(ClashClientTest, UnparsableUrlSendsNothing) {
  for (const char* path : {"/a b", "/line\nbreak", "@example.com/version"}) {
    const ClashError error = clashErrorOf([&] { client_.request("GET", path); });
    EXPECT_EQ(error.kind(), ClashError::Kind::transport);
    EXPECT_EQ(error.errorDescription(), std::string("clash api: bad url ") + path);
  }
  for (int64_t port : {int64_t{-1}, int64_t{65536}}) {
    ClashClient client(port, "");
    EXPECT_EQ(clashErrorOf([&] { client.request("GET", "/version"); }).errorDescription(),
              "clash api: bad url /version");
  }
  EXPECT_TRUE(server_.requests().empty());
  // The handle is still good.
  EXPECT_NO_THROW(client_.request("GET", "/version"));
}

TEST_F(ClashClientTest, RequestsShareOneConnection) {
  client_.request("GET", "/version");
  client_.request("PUT", "/proxies/tarq", R"({"name":"direct-a"})");
  client_.totals();
  client_.request("GET", "/version");

  const auto requests = server_.requests();
  ASSERT_EQ(requests.size(), 4u);
  for (const auto& request : requests) {
    EXPECT_EQ(request.remotePort, requests[0].remotePort) << request.path;
  }
}

TEST_F(ClashClientTest, ProxyVariablesDoNotDivertLoopbackCalls) {
  const char* const names[] = {"http_proxy", "HTTP_PROXY", "all_proxy",
                               "ALL_PROXY",  "no_proxy",   "NO_PROXY"};
  std::vector<std::optional<std::string>> saved;
  for (const char* name : names) {
    const char* value = ::getenv(name);
    saved.push_back(value ? std::optional<std::string>(value) : std::nullopt);
    ::setenv(name, "http://127.0.0.1:1", 1);
  }
  ::unsetenv("no_proxy");
  ::unsetenv("NO_PROXY");

  ClashClient client(server_.port(), "s3cret");
  EXPECT_NO_THROW(client.request("GET", "/version"));

  for (size_t i = 0; i < std::size(names); ++i) {
    if (saved[i]) {
      ::setenv(names[i], saved[i]->c_str(), 1);
    } else {
      ::unsetenv(names[i]);
    }
  }
  EXPECT_EQ(server_.requestCount("GET", "/version"), 1u);
}

TEST_F(ClashClientTest, StoppedServerRefusesTheNextCall) {
  client_.request("GET", "/version");
  server_.stop();
  const auto start = steady_clock::now();
  EXPECT_EQ(clashErrorOf([&] { client_.request("GET", "/version"); }).kind(),
            ClashError::Kind::transport);
  EXPECT_LT(secondsSince(start), 3.0);  // refused at once, not after the idle limit
}

TEST_F(ClashClientTest, ConcurrentCallsAreSerialised) {
  server_.setTotals(7, 9);
  std::vector<std::thread> threads;
  std::atomic<int> succeeded{0};
  for (int i = 0; i < 4; ++i) {
    threads.emplace_back([&] {
      for (int j = 0; j < 10; ++j) {
        if (client_.totals() == TrafficTotals{7, 9}) {
          ++succeeded;
        }
      }
    });
  }
  for (auto& thread : threads) {
    thread.join();
  }
  EXPECT_EQ(succeeded, 40);
}

// Real-time: the idle limit (3 s) ends a call that gets no answer.
TEST_F(ClashClientTest, SilentServerFailsWithinFiveSeconds) {
  RawServer silent;
  ClashClient client(silent.port(), "");
  const auto start = steady_clock::now();
  const ClashError error = clashErrorOf([&] { client.request("GET", "/version"); });
  EXPECT_EQ(error.kind(), ClashError::Kind::transport);
  EXPECT_LE(secondsSince(start), 7.0);
  EXPECT_GE(secondsSince(start), 2.5);
}

// Real-time: a reply that trickles in never trips the idle limit, so the
// overall 5-second bound ends it.
TEST_F(ClashClientTest, TricklingReplyHitsTheOverallBound) {
  RawServer trickle([](int connection, const std::atomic<bool>& stopping) {
    char request[4096];
    (void)!::recv(connection, request, sizeof request, 0);
    sendText(connection, "HTTP/1.1 200 OK\r\nContent-Length: 100\r\n\r\n");
    while (!stopping) {
      sendText(connection, "x");
      pause(stopping, std::chrono::milliseconds(250));
    }
  });
  ClashClient client(trickle.port(), "");
  const auto start = steady_clock::now();
  const ClashError error = clashErrorOf([&] { client.request("GET", "/version"); });
  EXPECT_EQ(error.errorDescription(), "clash api: timed out");
  EXPECT_GE(secondsSince(start), 4.9);
  EXPECT_LE(secondsSince(start), 7.0);
}

}  // namespace
}  // namespace tarq
