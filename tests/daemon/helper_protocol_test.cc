// tarq-helper serves the helper's contract: it runs the engine on a private
// copy of the caller's file, reports how the engine ended, and refuses
// callers, files and requests it must not serve. What one request may cost
// it (its line, its nesting, the configuration it names) is bounded.
#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>

#include "tests/daemon/helper_fixture.h"

namespace tarq::testing {
namespace {

class HelperProtocolTest : public HelperFixture {
 protected:
  void SetUp() override {
    writeFile(config_, engineConfig(freeLoopbackPort(), "s"));
    startHelper({"--allow-uid", std::to_string(getuid())});
  }
};

TEST_F(HelperProtocolTest, RunsTheEngineOnAPrivateCopyUntilStopped) {
  EXPECT_EQ(status(),
            json({{"ok", true}, {"running", false}, {"pid", 0}, {"build", "tarq-helper 0.1.0"}}));
  EXPECT_EQ(start(config_), json({{"ok", true}}));
  json running = status();
  EXPECT_EQ(running["running"], true);
  EXPECT_GT(running["pid"].get<int>(), 0);
  EXPECT_FALSE(running.contains("error"));
  struct stat copy {};
  ASSERT_EQ(stat(dir_.file("state/config.json").c_str(), &copy), 0);
  // The engine's alone: its own user's when the daemon is root.
  EXPECT_EQ(copy.st_mode & 0777, geteuid() == 0 ? 0400u : 0600u);
  EXPECT_EQ(copy.st_uid, geteuid() == 0 ? kNobody : geteuid());

  EXPECT_EQ(request({{"op", "stop"}}), json({{"ok", true}}));
  json stopped = status();
  EXPECT_EQ(stopped["running"], false);
  EXPECT_FALSE(stopped.contains("error"));
  EXPECT_NE(access(dir_.file("state/config.json").c_str(), F_OK), 0);
}

// The flags of descriptor `descriptor` of process `pid`; none when it is not
// open (any more).
std::optional<unsigned> descriptorFlags(const std::string& pid, int descriptor) {
  std::ifstream info("/proc/" + pid + "/fdinfo/" + std::to_string(descriptor));
  std::string field;
  unsigned flags = 0;
  while (info >> field && field != "flags:") {
  }
  if (!(info >> std::oct >> flags)) {
    return std::nullopt;
  }
  return flags;
}

// Every descriptor the helper opens (its socket, the stop pipe, the state
// lock, the logs, an engine's output) is closed on exec: an engine, or
// anything else the helper runs, inherits none of them.
TEST_F(HelperProtocolTest, HoldsNoDescriptorAProgramItRunsWouldInherit) {
  ASSERT_EQ(start(config_), json({{"ok", true}}));
  std::string helper = std::to_string(helper_->pid());
  size_t checked = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc/" + helper + "/fd")) {
    int descriptor = std::stoi(entry.path().filename());
    std::optional<unsigned> flags = descriptorFlags(helper, descriptor);
    // What this test's process passed on without the flag is not the
    // helper's doing; a descriptor closed meanwhile is no longer held.
    std::optional<unsigned> ours = descriptorFlags("self", descriptor);
    if (descriptor <= STDERR_FILENO || !flags || (ours && (*ours & O_CLOEXEC) == 0)) {
      continue;
    }
    std::error_code ignored;
    EXPECT_NE(*flags & O_CLOEXEC, 0u)
        << "descriptor " << descriptor << " -> " << std::filesystem::read_symlink(entry, ignored);
    ++checked;
  }
  EXPECT_GE(checked, 4u);  // at least the socket, the stop pipe's two ends and the lock
}

TEST_F(HelperProtocolTest, ReportsHowTheEngineEndedAndStopsItOnSigterm) {
  // Text sing-box could not read is refused before any engine starts; one
  // it reads but cannot run makes the engine exit.
  writeFile(dir_.file("broken.json"), "{");
  EXPECT_EQ(start(dir_.file("broken.json")),
            json({{"ok", false},
                  {"error",
                   "configuration: row 1, column 2: the text ends where a member's key (a string) "
                   "should start"}}));
  writeFile(dir_.file("broken.json"), "{}");
  EXPECT_EQ(start(dir_.file("broken.json")), json({{"ok", true}}));
  EXPECT_TRUE(eventually([&] { return status()["error"] == "exit status 1"; }));
  EXPECT_EQ(status()["running"], false);

  ASSERT_EQ(start(config_)["ok"], true);
  pid_t engine = status()["pid"].get<pid_t>();
  ASSERT_GT(engine, 0);  // kill(0) would end the whole test run
  kill(engine, SIGKILL);
  // The private copy goes as soon as the engine has.
  EXPECT_TRUE(eventually([&] {
    return status()["error"] == "killed by signal 9" &&
           access(dir_.file("state/config.json").c_str(), F_OK) != 0;
  }));

  ASSERT_EQ(start(config_)["ok"], true);
  engine = status()["pid"].get<pid_t>();
  ASSERT_GT(engine, 0);
  helper_->signal(SIGTERM);
  EXPECT_EQ(helper_->waitForExit(), 0);
  EXPECT_NE(access(socket_.c_str(), F_OK), 0);
  EXPECT_NE(kill(engine, 0), 0);
}

TEST_F(HelperProtocolTest, RefusesConfigPathsThatAreNotTheCallersOwnRegularFiles) {
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

TEST_F(HelperProtocolTest, RefusesBadRequestsWhileAStuckClientHoldsUpNobody) {
  int stuck = connectUnix(socket_);
  ASSERT_GE(stuck, 0);
  const std::string status = R"({"op":"status"})";
  const std::string longest = status + std::string(65536 - status.size(), ' ');
  const std::pair<std::string, json> cases[] = {
      {R"({"op":"reboot"})", {{"ok", false}, {"error", "unknown op \"reboot\""}}},
      {"not json", {{"ok", false}, {"error", "malformed request: expected one JSON object"}}},
      {R"({"op":1})", {{"ok", false}, {"error", "malformed request: \"op\" must be a string"}}},
      {std::string(R"({"op":"stop"})") + '\0' + "junk",
       {{"ok", false}, {"error", "malformed request: expected one JSON object"}}},
      {longest + " ", {{"ok", false}, {"error", "request too long"}}},
      {R"({"op":)" + std::string(20000, '[') + std::string(20000, ']') + "}",
       {{"ok", false}, {"error", "malformed request: nested too deeply"}}},
  };
  for (const auto& [line, reply] : cases) {
    EXPECT_EQ(json::parse(helperExchange(socket_, line), nullptr, false), reply)
        << line.substr(0, 40);
  }
  EXPECT_EQ(request({{"op", "start"}})["ok"], false);
  EXPECT_EQ(json::parse(helperExchange(socket_, longest))["ok"], true);  // the limit exactly
  close(stuck);
}

// The helper's peak resident memory in KiB, from its /proc status.
[[maybe_unused]] long peakKiBOfPeer(const std::string& socketPath) {
  int connection = connectUnix(socketPath);
  ucred peer{};
  socklen_t size = sizeof peer;
  getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &size);
  close(connection);
  std::ifstream file("/proc/" + std::to_string(peer.pid) + "/status");
  for (std::string line; std::getline(file, line);) {
    if (line.rfind("VmHWM:", 0) == 0) {
      return std::stol(line.substr(6));
    }
  }
  return -1;
}

TEST_F(HelperProtocolTest, ReadsAHugeNestedConfigurationInBoundedMemory) {
  constexpr size_t kLevels = 8 * 1024 * 1024;  // 16 MiB, the largest file taken
  writeFile(config_, std::string(kLevels, '[') + std::string(kLevels, ']'));
  engine_ = "/bin/false";
  startHelper({"--allow-uid", std::to_string(getuid())});
  json refused = start(config_);
  EXPECT_EQ(refused["ok"], false);
  EXPECT_EQ(refused["error"].get<std::string>().rfind("configuration: ", 0), 0u) << refused;
  EXPECT_EQ(status()["running"], false);
#if !defined(__SANITIZE_THREAD__)  // its shadow memory follows every byte touched
  EXPECT_LT(peakKiBOfPeer(socket_), 256 * 1024);
#endif
}

TEST_F(HelperProtocolTest, RefusesConfigurationsThatNamePathsOutsideTheEnginesFolder) {
  auto configWith = [&](const json& patch) {
    json config = json::parse(engineConfig(freeLoopbackPort(), "s"));
    config.merge_patch(patch);
    writeFile(config_, config.dump());
  };
  const std::pair<json, std::string> refused[] = {
      {{{"log", {{"output", "/etc/tarq-test.log"}}}},
       "configuration: log.output names a path outside the engine's folder: /etc/tarq-test.log"},
      {{{"experimental", {{"clash_api", {{"external_ui", "."}}}}}},
       "configuration: experimental.clash_api.external_ui names a path outside the engine's "
       "folder: ."},
      {{{"experimental", {{"cache_file", {{"enabled", true}, {"path", "../config.json"}}}}}},
       "configuration: experimental.cache_file.path names a path outside the engine's folder: "
       "../config.json"},
  };
  for (const auto& [patch, error] : refused) {
    configWith(patch);
    EXPECT_EQ(start(config_), json({{"ok", false}, {"error", error}}));
    EXPECT_EQ(status()["running"], false);
    EXPECT_NE(access(dir_.file("state/config.json").c_str(), F_OK), 0);
  }
  // Written as sing-box reads it, a second spelling of the option is still
  // the option.
  writeFile(config_, R"({"LOG": {"OUTPUT": "/etc/tarq-test.log"}, "log": {"level": "info"}})");
  EXPECT_EQ(start(config_)["error"],
            "configuration: log.output names a path outside the engine's folder: "
            "/etc/tarq-test.log");

  // Inside the engine's folder: the cache file by a relative name.
  configWith({{"experimental", {{"cache_file", {{"enabled", true}, {"path", "cache.db"}}}}}});
  EXPECT_EQ(start(config_), json({{"ok", true}}));
  EXPECT_EQ(status()["running"], true);

  // An administrator may let them through; each start says so.
  configWith({{"log", {{"output", dir_.file("engine-own.log")}}}});
  startHelper({"--allow-uid", std::to_string(getuid()), "--allow-config-paths"});
  EXPECT_EQ(start(config_), json({{"ok", true}}));
  EXPECT_NE(helper_->errorText().find("--allow-config-paths: the configuration may name files"),
            std::string::npos)
      << helper_->errorText();
}

TEST_F(HelperProtocolTest, LeavesAnotherHelpersSocketAndStateAlone) {
  ASSERT_EQ(start(config_)["ok"], true);
  struct Case {
    std::string socket;
    std::string state;
    std::string error;
  } cases[] = {{socket_, dir_.file("s2"), "another helper already listens"},
               {dir_.file("s2.sock"), state_, "another helper runs with the state folder"}};
  for (const Case& second : cases) {
    std::vector<std::string> command = {TARQ_HELPER_PATH, "--socket",   second.socket,
                                        "--state-dir",    second.state, "--engine",
                                        engine_,          "--log",      log_};
    command.insert(command.end(), kEngineUser.begin(), kEngineUser.end());
    ToolProcess helper(command);
    EXPECT_EQ(helper.waitForExit(), 1);
    EXPECT_NE(helper.errorText().find(second.error), std::string::npos) << helper.errorText();
  }
  EXPECT_EQ(status()["running"], true);
}

}  // namespace
}  // namespace tarq::testing
