// tarq-simengine answers the Clash API as sing-box does, and refuses what it
// cannot serve.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>

#include <nlohmann/json.hpp>
#include <thread>

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

TEST_F(SimEngineTest, SwitchesOnlyMembersOfTheSelector) {
  EXPECT_EQ(get("/proxies/tarq")["now"], "direct-a");
  EXPECT_EQ(put("/proxies/tarq", R"({"name":"direct-b"})"), 204);
  EXPECT_EQ(get("/proxies/tarq")["now"], "direct-b");
  EXPECT_EQ(put("/proxies/tarq", R"({"name":"elsewhere"})"), 400);
  EXPECT_EQ(put("/proxies/tarq", "not json"), 400);
  EXPECT_EQ(put("/proxies/direct-a", R"({"name":"direct-b"})"), 400);
  EXPECT_EQ(put("/proxies/other", R"({"name":"direct-b"})"), 404);
  EXPECT_EQ(get("/proxies/tarq")["now"], "direct-b");
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
