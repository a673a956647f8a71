// tarq-devhelper serves the helper's contract: it runs the engine on a
// private copy of the caller's file, reports how the engine ended, and
// refuses callers, files and requests it must not serve.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <nlohmann/json.hpp>

#include "tests/support/temp_dir.h"
#include "tests/tools/tool_process.h"

namespace tarq::testing {
namespace {

using nlohmann::json;

constexpr uid_t kNobody = 65534;

class DevHelperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    writeFile(config_, engineConfig(freeLoopbackPort(), "s"));
    startHelper({"--allow-uid", std::to_string(getuid())});
  }

  std::vector<std::string> helperArguments(const std::string& stateDir) {
    return {TARQ_DEVHELPER_PATH, "--socket",         socket_, "--state-dir", dir_.file(stateDir),
            "--engine",          TARQ_SIMENGINE_PATH};
  }
  void startHelper(const std::vector<std::string>& extra) {
    helper_.reset();
    std::vector<std::string> arguments = helperArguments("state");
    arguments.insert(arguments.end(), extra.begin(), extra.end());
    helper_ = std::make_unique<ToolProcess>(arguments);
    ASSERT_TRUE(eventually([&] { return access(socket_.c_str(), F_OK) == 0; }))
        << helper_->errorText();
  }

  json request(const json& line, std::optional<uid_t> asUid = std::nullopt) {
    return json::parse(helperExchange(socket_, line.dump(), asUid), nullptr, false);
  }
  json start(const std::string& path) { return request({{"op", "start"}, {"config_path", path}}); }
  json status() { return request({{"op", "status"}}); }

  TempDir dir_;
  std::string socket_ = dir_.file("helper.sock");
  std::string config_ = dir_.file("config.json");
  std::unique_ptr<ToolProcess> helper_;
};

TEST_F(DevHelperTest, RunsTheEngineOnAPrivateCopyUntilStopped) {
  EXPECT_EQ(
      status(),
      json({{"ok", true}, {"running", false}, {"pid", 0}, {"build", "tarq-devhelper 0.1.0"}}));
  EXPECT_EQ(start(config_), json({{"ok", true}}));
  json running = status();
  EXPECT_EQ(running["running"], true);
  EXPECT_GT(running["pid"].get<int>(), 0);
  EXPECT_FALSE(running.contains("error"));
  struct stat copy {};
  ASSERT_EQ(stat(dir_.file("state/config.json").c_str(), &copy), 0);
  EXPECT_EQ(copy.st_mode & 0777, 0600u);

  EXPECT_EQ(request({{"op", "stop"}}), json({{"ok", true}}));
  json stopped = status();
  EXPECT_EQ(stopped["running"], false);
  EXPECT_FALSE(stopped.contains("error"));
  EXPECT_NE(access(dir_.file("state/config.json").c_str(), F_OK), 0);
}

TEST_F(DevHelperTest, ReportsHowTheEngineEndedAndStopsItOnSigterm) {
  writeFile(dir_.file("broken.json"), "{");
  EXPECT_EQ(start(dir_.file("broken.json")), json({{"ok", true}}));
  EXPECT_TRUE(eventually([&] { return status()["error"] == "exit status 1"; }));
  EXPECT_EQ(status()["running"], false);

  ASSERT_EQ(start(config_)["ok"], true);
  pid_t engine = status()["pid"].get<pid_t>();
  ASSERT_GT(engine, 0);  // kill(0) would end the whole test run
  kill(engine, SIGKILL);
  EXPECT_TRUE(eventually([&] { return status()["error"] == "killed by signal 9"; }));

  ASSERT_EQ(start(config_)["ok"], true);
  engine = status()["pid"].get<pid_t>();
  ASSERT_GT(engine, 0);
  helper_->signal(SIGTERM);
  EXPECT_EQ(helper_->waitForExit(), 0);
  EXPECT_NE(access(socket_.c_str(), F_OK), 0);
  EXPECT_NE(kill(engine, 0), 0);
}

TEST_F(DevHelperTest, RefusesConfigPathsThatAreNotTheCallersOwnRegularFiles) {
  symlink(config_.c_str(), dir_.file("link.json").c_str());
  EXPECT_EQ(start(dir_.file("link.json")),
            json({{"ok", false}, {"error", "config_path is a symbolic link"}}));
  EXPECT_EQ(start(dir_.path())["error"], "config_path is not a regular file");
  EXPECT_EQ(start("config.json")["error"], "config_path must be an absolute path");
  if (geteuid() == 0) {
    ASSERT_EQ(chown(config_.c_str(), kNobody, kNobody), 0);
    EXPECT_EQ(start(config_)["error"], "config_path is not owned by the caller (uid 0)");
  }
  EXPECT_EQ(status()["running"], false);
}

TEST_F(DevHelperTest, RefusesBadRequestsWhileAStuckClientHoldsUpNobody) {
  int stuck = connectUnix(socket_);
  ASSERT_GE(stuck, 0);
  EXPECT_EQ(request({{"op", "reboot"}}), json({{"ok", false}, {"error", "unknown op \"reboot\""}}));
  EXPECT_EQ(helperExchange(socket_, "not json"),
            R"({"error":"malformed request: expected one JSON object","ok":false})");
  EXPECT_EQ(request({{"op", 1}})["error"], "malformed request: \"op\" must be a string");
  EXPECT_EQ(request({{"op", "start"}})["ok"], false);
  EXPECT_EQ(status()["ok"], true);
  close(stuck);
}

TEST_F(DevHelperTest, RefusesAnUnknownCaller) {
  json reply;
  if (geteuid() == 0) {
    ASSERT_EQ(chmod(dir_.path().c_str(), 0711), 0);  // let the other user reach the socket
    reply = request({{"op", "stop"}}, kNobody);
  } else {
    startHelper({});  // only root is allowed now
    reply = status();
  }
  EXPECT_EQ(reply["ok"], false);
  EXPECT_NE(reply["error"].get<std::string>().find("is not allowed"), std::string::npos);
}

TEST_F(DevHelperTest, LeavesAnotherHelpersSocketAlone) {
  ToolProcess second(helperArguments("s2"));
  EXPECT_EQ(second.waitForExit(), 1);
  EXPECT_NE(second.errorText().find("another helper already listens"), std::string::npos);
  EXPECT_EQ(status()["ok"], true);
}

}  // namespace
}  // namespace tarq::testing
