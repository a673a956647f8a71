// tarq-simengine answers the Clash API as sing-box does, and refuses what it
// cannot serve.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <nlohmann/json.hpp>
#include <thread>
#include <vector>

#include "tests/support/loopback_http.h"
#include "tests/support/temp_dir.h"
#include "tests/support/tool_process.h"

namespace tarq::testing {
namespace {

using nlohmann::json;

constexpr char kSecret[] = "s3cret";

class SimEngineTest : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(dir_.file("config.json"), engineConfig(port_, kSecret));
    engine_ = std::make_unique<ToolProcess>(
        std::vector<std::string>{TARQ_SIMENGINE_PATH, "run", "-c", dir_.file("config.json"),
                                 "--connections", "4", "--faults"});
    client_.set_bearer_token_auth(kSecret);
    ASSERT_TRUE(eventually([&] { return static_cast<bool>(client_.Get("/version")); }))
        << engine_->errorText();
  }

  json get(const std::string& path) {
    auto reply = client_.Get(path.c_str());
    return reply && reply->status == 200 ? json::parse(reply->body) : json();
  }
  int put(const std::string& path, const std::string& body) {
    auto reply = client_.Put(path.c_str(), body, "application/json");
    return reply ? reply->status : 0;
  }
  // The "message" of a PUT's answer.
  std::string putMessage(const std::string& path, const std::string& body) {
    auto reply = client_.Put(path.c_str(), body, "application/json");
    return reply ? json::parse(reply->body, nullptr, false).value("message", "") : "";
  }

  TempDir dir_;
  int port_ = freeLoopbackPort();
  std::unique_ptr<ToolProcess> engine_;
  httplib::Client client_{"127.0.0.1", port_};
};

TEST_F(SimEngineTest, RequiresTheBearerSecretAndEndsCleanlyOnSigterm) {
  httplib::Client anonymous("127.0.0.1", port_);
  auto reply = anonymous.Get("/version");
  ASSERT_TRUE(reply);
  EXPECT_EQ(reply->status, 401);
  EXPECT_EQ(json::parse(reply->body), json({{"message", "Unauthorized"}}));
  anonymous.set_bearer_token_auth("wrong");
  EXPECT_EQ(anonymous.Get("/connections")->status, 401);

  // Neither an idle kept-alive connection nor an answer delayed by an hour
  // holds up the exit (the helper would otherwise wait, then kill the engine).
  client_.set_keep_alive(true);
  ASSERT_EQ(put("/tarq/fault", R"({"method":"GET","path":"/proxies/tarq","delayMs":3600000})"),
            204);
  std::thread stalled([this] {
    httplib::Client other("127.0.0.1", port_);
    other.set_bearer_token_auth(kSecret);
    EXPECT_FALSE(other.Get("/proxies/tarq"));
  });
  std::this_thread::sleep_for(100ms);
  engine_->signal(SIGTERM);
  EXPECT_EQ(engine_->waitForExit(2s), 0);
  stalled.join();
}

// In the engine's order: the secret, the group, the body (as Go decodes it
// into {Name string}), a selector, the member. A path the engine has no
// route for is not found, secret or none.
TEST_F(SimEngineTest, SwitchesOnlyMembersOfTheSelector) {
  EXPECT_EQ(get("/proxies/tarq")["now"], "direct-a");
  EXPECT_EQ(put("/proxies/tarq", R"({"name":"direct-b"})"), 204);
  EXPECT_EQ(get("/proxies/tarq")["now"], "direct-b");
  EXPECT_EQ(put("/proxies/tarq", R"({"name":"elsewhere"})"), 400);
  EXPECT_EQ(put("/proxies/tarq", "not json"), 400);
  EXPECT_EQ(put("/proxies/direct-a", R"({"name":"direct-b"})"), 400);
  EXPECT_EQ(put("/proxies/other", R"({"name":"direct-b"})"), 404);
  EXPECT_EQ(get("/proxies/tarq")["now"], "direct-b");

  EXPECT_EQ(putMessage("/proxies/other", "not json"), "Resource not found");
  EXPECT_EQ(putMessage("/proxies/direct-a", "not json"), "Body invalid");
  EXPECT_EQ(putMessage("/proxies/direct-a", R"({"name":"direct-b"})"), "Must be a Selector");
  for (const char* invalid : {"", "[]", R"("direct-a")", R"({"name":5})", R"({"Name":["x"]})"}) {
    EXPECT_EQ(putMessage("/proxies/tarq", invalid), "Body invalid") << invalid;
  }
  for (const char* none : {"null", "{}", R"({"name":null})", R"({"x":{"name":"direct-a"}})"}) {
    EXPECT_EQ(putMessage("/proxies/tarq", none), "Selector update error: not found") << none;
  }
  EXPECT_EQ(put("/proxies/tarq", R"({"NAME":"direct-b","nAmE":"direct-a"} and more)"), 204);
  EXPECT_EQ(get("/proxies/tarq")["now"], "direct-a");
  EXPECT_EQ(put("/proxies/tarq", R"({"name":"direct-b","name":null})"), 204);
  EXPECT_EQ(get("/proxies/tarq")["now"], "direct-b");

  httplib::Client anonymous("127.0.0.1", port_);
  EXPECT_EQ(anonymous.Put("/proxies/tarq", "{}", "application/json")->status, 401);
  auto unknown = anonymous.Get("/nowhere");
  ASSERT_TRUE(unknown);
  EXPECT_EQ(unknown->status, 404);
  EXPECT_EQ(unknown->body, "404 page not found\n");
  EXPECT_EQ(anonymous.Put("/tarq/fault", "{}", "application/json")->status, 401);
}

// As curl would see it: a reply beyond 2,048 bytes comes chunked, a shorter
// one with its length.
TEST_F(SimEngineTest, FramesRepliesAsTheEnginesGoServerDoes) {
  const auto rawGet = [this](const std::string& path) {
    return splitAnswer(rawExchange(port_, "GET " + path +
                                              " HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: "
                                              "Bearer s3cret\r\nConnection: close\r\n\r\n"));
  };
  const RawAnswer version = rawGet("/version");
  EXPECT_EQ(version.header("Content-Length"), std::to_string(version.body.size()));
  const std::string big(5000, 'b');
  ASSERT_EQ(
      put("/tarq/fault",
          json({{"method", "GET"}, {"path", "/version"}, {"status", 200}, {"body", big}}).dump()),
      204);
  const RawAnswer chunked = rawGet("/version");
  EXPECT_EQ(chunked.header("Transfer-Encoding"), "chunked");
  EXPECT_EQ(chunked.header("Content-Length"), "");
  EXPECT_EQ(unchunk(chunked.body), big);
}

// A hundred clients that connect and say nothing, or ask once and then keep
// their connection idle, delay neither a call nor the exit.
TEST_F(SimEngineTest, IdleConnectionsDelayNeitherCallsNorTheExit) {
  std::vector<int> idle;
  const std::string request =
      "GET /version HTTP/1.1\r\nHost: 127.0.0.1\r\nAuthorization: Bearer s3cret\r\n\r\n";
  for (int i = 0; i < 100; ++i) {
    const int connection = connectLoopback(port_);
    ASSERT_GE(connection, 0);
    idle.push_back(connection);
    if (i % 2 == 1) {
      ASSERT_EQ(::send(connection, request.data(), request.size(), MSG_NOSIGNAL),
                static_cast<ssize_t>(request.size()));
    }
  }
  // httplib's client gives up after 5 s without an answer.
  for (int i = 0; i < 3; ++i) {
    EXPECT_EQ(get("/proxies/tarq")["now"], "direct-a");
  }
  engine_->signal(SIGTERM);
  EXPECT_EQ(engine_->waitForExit(2s), 0);
  for (const int connection : idle) {
    ::close(connection);
  }
}

TEST_F(SimEngineTest, ConnectionTotalsGrowAndEntriesHaveSingBoxShape) {
  json first = get("/connections");
  ASSERT_EQ(first["connections"].size(), 4u);
  EXPECT_EQ(first["connections"][0]["chains"], json({"direct-a", "tarq"}));
  EXPECT_TRUE(first["connections"][0]["metadata"]["sourcePort"].is_string());
  ASSERT_TRUE(eventually([&] {
    json later = get("/connections");
    return later["uploadTotal"].get<int64_t>() > first["uploadTotal"].get<int64_t>() &&
           later["downloadTotal"].get<int64_t>() > first["downloadTotal"].get<int64_t>();
  }));
}

TEST(SimEngineConfigTest, RefusesConfigurationsItCannotServe) {
  TempDir dir;
  const std::pair<std::string, const char*> cases[] = {
      {"{", "not a JSON configuration"},
      {R"({"outbounds":[]})", "experimental.clash_api is missing"},
      {R"({"experimental":{"clash_api":{"external_controller":"0.0.0.0:9090"}},
           "outbounds":[{"type":"selector","tag":"tarq","outbounds":["d"]},
                        {"type":"direct","tag":"d"}]})",
       "loopback"},
      {R"({"experimental":{"clash_api":{"external_controller":"127.0.0.1:9090"}},
           "outbounds":[{"type":"direct","tag":"d"}]})",
       "tagged \"tarq\""},
      {R"({"route": )" + std::string(100000, '[') + std::string(100000, ']') + "}",
       "nested deeper than 64 levels"},
  };
  for (const auto& [config, reason] : cases) {
    writeFile(dir.file("bad.json"), config);
    ToolRun run = runTool({TARQ_SIMENGINE_PATH, "run", "-c", dir.file("bad.json")});
    EXPECT_EQ(run.status, 1) << config.substr(0, 80);
    EXPECT_NE(run.err.find(reason), std::string::npos) << run.err;
  }
}

}  // namespace
}  // namespace tarq::testing
