// The whole job through the real programs: tarqctl hosting the plug-in, a
// helper daemon (tarq-devhelper, or tarq-helper as applications ship it)
// running tarq-simengine, the Clash API on loopback.
#include <httplib.h>
#include <signal.h>
#include <stdlib.h>

#include "tests/daemon/helper_fixture.h"

namespace tarq::testing {
namespace {

constexpr char kSecret[] = "s3cret";

class LifecycleTest : public HelperFixture {
 protected:
  void SetUp() override {
    // The plug-in writes the configuration for the helper to one fixed file
    // under the Application Support directory; test programs running side by
    // side each need their own.
    setenv("XDG_DATA_HOME", dir_.file("data").c_str(), 1);
    writeFile(config_, engineConfig(port_, kSecret));
    startHelper({"--allow-uid", std::to_string(getuid())}, TARQ_DEVHELPER_PATH);
    clash_.set_bearer_token_auth(kSecret);
  }

  std::vector<std::string> tarqctl(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {TARQCTL_PATH, "--socket", socket_});
    return arguments;
  }

  std::string selectedOutbound() {
    auto reply = clash_.Get("/proxies/tarq");
    return reply && reply->status == 200 ? json::parse(reply->body)["now"] : "";
  }

  // Reads lines until one contains `text` (or, with `with` false, one that
  // does not); fails the test after 10 s.
  static std::string lineWith(ToolProcess& process, const std::string& text, bool with = true) {
    while (auto line = process.readLine()) {
      if ((line->find(text) != std::string::npos) == with) {
        return *line;
      }
    }
    ADD_FAILURE() << "no line " << (with ? "with " : "without ") << text
                  << "; stderr: " << process.errorText();
    return "";
  }
  static json nextNonStats(ToolProcess& channel) {
    return json::parse(lineWith(channel, R"("type":"stats")", false));
  }

  int port_ = freeLoopbackPort();
  httplib::Client clash_{"127.0.0.1", port_};
};

TEST_F(LifecycleTest, TheChannelDrivesTheWholeJob) {
  ToolProcess channel(tarqctl({"channel"}));
  // Makes a call and returns the next line that is not a "stats" event.
  auto call = [&](int id, const std::string& method, json arguments = nullptr) {
    channel.writeLine(json({{"id", id}, {"method", method}, {"arguments", arguments}}).dump());
    return nextNonStats(channel);
  };
  EXPECT_EQ(call(1, "prepare"), json({{"id", 1}, {"result", true}}));

  channel.writeLine(R"({"listen": null})");
  json start = {{"config", engineConfig(port_, kSecret)},
                {"selected", "direct-b"},
                {"clashPort", port_},
                {"clashSecret", kSecret}};
  EXPECT_EQ(call(2, "start", start)["event"]["state"], "connecting");
  json connected = nextNonStats(channel)["event"];
  EXPECT_EQ(connected["state"], "connected");
  EXPECT_GT(connected["since"].get<int64_t>(), 0);
  EXPECT_EQ(nextNonStats(channel), json({{"id", 2}, {"result", nullptr}}));
  EXPECT_EQ(selectedOutbound(), "direct-b");

  json stats = json::parse(lineWith(channel, R"("type":"stats")"))["event"];
  EXPECT_GT(stats["totalDown"].get<int64_t>(), 0);
  EXPECT_GE(stats["down"].get<int64_t>(), 0);

  EXPECT_EQ(call(3, "select", {{"tag", "direct-a"}}), json({{"id", 3}, {"result", nullptr}}));
  EXPECT_EQ(selectedOutbound(), "direct-a");
  EXPECT_EQ(
      call(4, "select", {{"tag", "nowhere"}})["error"],
      json({{"code", "select_failed"}, {"message", "clash api: HTTP 400"}, {"details", nullptr}}));

  EXPECT_EQ(call(5, "status")["result"]["state"], "connected");
  json helper = call(6, "helperStatus")["result"];
  EXPECT_EQ(helper["running"], true);
  EXPECT_EQ(helper["build"], "tarq-devhelper 0.1.0");

  EXPECT_EQ(call(7, "stop")["event"]["state"], "disconnected");
  EXPECT_EQ(nextNonStats(channel), json({{"id", 7}, {"result", nullptr}}));
  channel.closeInput();
  EXPECT_EQ(channel.waitForExit(), 0);
  EXPECT_EQ(status()["running"], false);
}

TEST_F(LifecycleTest, HumanCommandsFromSeparateProcessesThroughEitherHelper) {
  writeFile(config_, R"({"experimental": {"clash_api": {"external_controller": "127.0.0.1:)" +
                         std::to_string(port_) + R"("}}})");
  ToolRun rejected = runTool(tarqctl({"start", config_}));
  EXPECT_EQ(rejected.status, 1);
  EXPECT_NE(rejected.err.find("start_failed: sing-box exited (exit status 1)"), std::string::npos)
      << rejected.err;

  writeFile(config_, engineConfig(port_, kSecret));
  for (const char* program : {TARQ_DEVHELPER_PATH, TARQ_HELPER_PATH}) {
    const std::string name = std::string(program).substr(std::string(program).rfind('/') + 1);
    SCOPED_TRACE(name);
    startHelper({"--allow-uid", std::to_string(getuid())}, program);
    ToolRun start = runTool(tarqctl({"start", config_, "--selected", "direct-b"}));
    ASSERT_EQ(start.status, 0) << start.err << helper_->errorText();
    EXPECT_NE(start.out.find("connected"), std::string::npos) << start.out;
    EXPECT_EQ(selectedOutbound(), "direct-b");
    EXPECT_NE(runTool(tarqctl({"helper-status"})).out.find(name + " 0.1.0"), std::string::npos);

    ToolRun status = runTool(tarqctl({"status"}));
    EXPECT_EQ(status.status, 0);
    EXPECT_NE(status.out.find("state  connected"), std::string::npos) << status.out;

    ToolRun select = runTool(tarqctl({"select", "direct-a"}));
    EXPECT_EQ(select.status, 1);
    EXPECT_NE(select.err.find("select_failed: the tunnel is not running"), std::string::npos);

    ToolRun stop = runTool(tarqctl({"--json", "stop"}));
    EXPECT_EQ(stop.status, 0);
    EXPECT_NE(stop.out.find(R"({"id":1,"result":null})"), std::string::npos) << stop.out;
    EXPECT_EQ(this->status()["running"], false);
    EXPECT_NE(access(dir_.file("state/config.json").c_str(), F_OK), 0);
  }
}

TEST_F(LifecycleTest, FollowTakesTypedCommandsStopsTheTunnelOnCtrlCAndEndsWhenTheEngineDies) {
  ToolProcess follow(tarqctl({"start", config_, "--follow"}));
  lineWith(follow, "following the traffic");
  lineWith(follow, "↓");  // a live traffic line
  follow.writeLine("select direct-b");
  lineWith(follow, "outbound \"direct-b\" selected");
  EXPECT_EQ(selectedOutbound(), "direct-b") << helper_->errorText();

  follow.signal(SIGINT);
  lineWith(follow, "stopped");
  EXPECT_EQ(follow.waitForExit(), 0);
  EXPECT_EQ(status()["running"], false);

  // A second run, whose engine dies under it.
  ToolProcess doomed(tarqctl({"start", config_, "--follow"}));
  lineWith(doomed, "following the traffic");
  pid_t engine = status()["pid"].get<pid_t>();
  ASSERT_GT(engine, 0) << helper_->errorText();  // kill(0) would end the whole test run
  kill(engine, SIGKILL);
  EXPECT_EQ(doomed.waitForExit(), 1);
  EXPECT_NE(doomed.errorText().find("the tunnel failed: the tunnel stopped"), std::string::npos)
      << doomed.errorText() << helper_->errorText();
}

}  // namespace
}  // namespace tarq::testing
