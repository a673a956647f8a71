// tarq-simengine answers the Clash API as sing-box does, and refuses what it
// cannot serve.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/stat.h>
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
  const std::string outbounds = R"("outbounds":[{"type":"selector","tag":"tarq","outbounds":["d"]},
                                                {"type":"direct","tag":"d"}])";
  const std::pair<std::string, const char*> cases[] = {
      {"{", "not a JSON configuration"},
      {"\xEF\xBB\xBF{}", "byte order mark"},
      {R"({"outbounds":[]})", "experimental.clash_api is missing"},
      {R"({"experimental":{"clash_api":{"external_controller":"192.168.1.1:9090"}},)" + outbounds +
           "}",
       "the stand-in serves only on a loopback address"},
      {R"({"experimental":{"clash_api":{"external_controller":"::1:9090"}},)" + outbounds + "}",
       R"(experimental.clash_api.external_controller "::1:9090": too many colons in address)"},
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

// The stand-in listens where sing-box would, on the configuration as
// sing-box reads it, and the plug-in reaches it on 127.0.0.1.
TEST(SimEngineConfigTest, ServesEveryAddressFormSingBoxListensOnAt127001) {
  TempDir dir;
  const int port = freeLoopbackPort();
  const std::string p = std::to_string(port);
  const std::string configs[] = {
      R"({"experimental": {"clash_api": {"external_controller": ":)" + p + R"("}}, )",
      R"({"experimental": {"clash_api": {"external_controller": "0.0.0.0:)" + p + R"("}}, )",
      R"({"experimental": {"clash_api": {"external_controller": "localhost:)" + p + R"("}}, )",
      // sing-box's reading: a hash comment, capitals, a repeated object.
      "# the engine's\n{\"EXPERIMENTAL\": {\"Clash_Api\": {\"external_controller\": \"127.0.0.1:" +
          p + "\"}}, \"experimental\": {\"clash_api\": {\"secret\": \"\"}}, ",
  };
  for (const std::string& head : configs) {
    writeFile(dir.file("config.json"),
              head + R"("outbounds": [{"type": "selector", "tag": "tarq", "outbounds": ["d"]},
                                      {"type": "direct", "tag": "d"}]})");
    ToolProcess engine({TARQ_SIMENGINE_PATH, "run", "-c", dir.file("config.json")});
    httplib::Client client("127.0.0.1", port);
    EXPECT_TRUE(eventually([&] {
      auto reply = client.Get("/version");
      return reply && reply->status == 200;
    })) << head
        << engine.errorText();
    engine.signal(SIGTERM);
    EXPECT_EQ(engine.waitForExit(), 0);
  }
}

// With the cache file enabled, a selector starts on the member chosen in the
// last run, as sing-box's does; relative paths resolve in -D's folder.
TEST(SimEngineConfigTest, KeepsTheSelectionInTheCacheFileAcrossRuns) {
  TempDir dir;
  const int port = freeLoopbackPort();
  auto configWith = [&](const std::string& cacheFile) {
    return R"({"experimental": {"clash_api": {"external_controller": "127.0.0.1:)" +
           std::to_string(port) + R"("}, "cache_file": )" + cacheFile + R"(},
               "outbounds": [{"type": "selector", "tag": "tarq", "outbounds": ["a", "b", "c"],
                              "default": "a"},
                             {"type": "direct", "tag": "a"}, {"type": "direct", "tag": "b"},
                             {"type": "direct", "tag": "c"}]})";
  };
  httplib::Client client("127.0.0.1", port);
  // Runs the engine in `work` (made by the engine when missing) and returns
  // the selector's member at start; with `select`, switches to it.
  auto session = [&](const std::string& work, const std::string& select) {
    ToolProcess engine({TARQ_SIMENGINE_PATH, "run", "-c", "config.json", "-D", work});
    std::string now;
    EXPECT_TRUE(eventually([&] {
      auto reply = client.Get("/proxies/tarq");
      now = reply && reply->status == 200 ? json::parse(reply->body)["now"] : "";
      return !now.empty();
    })) << engine.errorText();
    if (!select.empty()) {
      auto reply = client.Put("/proxies/tarq", json({{"name", select}}).dump(), "application/json");
      EXPECT_TRUE(reply && reply->status == 204);
    }
    engine.signal(SIGTERM);
    EXPECT_EQ(engine.waitForExit(), 0);
    return now;
  };

  const std::string work = dir.file("engine");
  ASSERT_EQ(mkdir(work.c_str(), 0700), 0);
  writeFile(work + "/config.json", configWith(R"({"enabled": true})"));
  EXPECT_EQ(session(work, "b"), "a");
  EXPECT_EQ(access((work + "/cache.db").c_str(), F_OK), 0);
  EXPECT_EQ(session(work, ""), "b");  // no switch: the last run's choice stays
  EXPECT_EQ(session(work, "c"), "b");
  EXPECT_EQ(session(work, ""), "c");

  // A stored member the group no longer has gives way to the default.
  writeFile(work + "/cache.db", R"({"selected": {"tarq": "gone"}})");
  EXPECT_EQ(session(work, ""), "a");
  writeFile(work + "/cache.db", "not ours");
  EXPECT_EQ(session(work, ""), "a");

  // A path of its own, relative to the working folder; without the cache
  // file enabled nothing is kept.
  writeFile(work + "/config.json", configWith(R"({"enabled": true, "path": "selection.db"})"));
  EXPECT_EQ(session(work, "c"), "a");
  EXPECT_EQ(access((work + "/selection.db").c_str(), F_OK), 0);
  EXPECT_EQ(session(work, ""), "c");
  writeFile(work + "/config.json", configWith(R"({"enabled": false})"));
  EXPECT_EQ(session(work, "b"), "a");
  EXPECT_EQ(session(work, ""), "a");

  // The working folder is made when missing, as sing-box makes it.
  const std::string fresh = dir.file("fresh/engine");
  ToolProcess engine({TARQ_SIMENGINE_PATH, "run", "-c", work + "/config.json", "-D", fresh});
  EXPECT_TRUE(eventually([&] { return static_cast<bool>(client.Get("/version")); }))
      << engine.errorText();
  EXPECT_EQ(access(fresh.c_str(), F_OK), 0);
}

}  // namespace
}  // namespace tarq::testing
