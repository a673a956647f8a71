// What a root daemon's engine may do: it runs as its own user with the
// tunnel's capabilities only, in a working folder of its own, and nothing it
// forks outlives it.
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <sstream>

#include "tests/daemon/helper_fixture.h"

namespace tarq::testing {
namespace {

// The tunnel's capabilities: cap_net_bind_service (10), cap_net_admin (12)
// and cap_net_raw (13); with process rules also cap_dac_read_search (2) and
// cap_sys_ptrace (19).
constexpr char kTunnelCapabilities[] = "0000000000003400";
constexpr char kWithProcessRules[] = "0000000000083404";

std::string readText(const std::string& path) {
  std::ifstream file(path);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// The fields of /proc/PID/status, by name, their values with the tabs made
// spaces.
std::map<std::string, std::string> statusOf(pid_t pid) {
  std::map<std::string, std::string> fields;
  std::istringstream text(readText("/proc/" + std::to_string(pid) + "/status"));
  for (std::string line; std::getline(text, line);) {
    size_t colon = line.find(':');
    if (colon == std::string::npos) {
      continue;
    }
    std::string value = line.substr(colon + 1);
    std::replace(value.begin(), value.end(), '\t', ' ');
    value.erase(0, value.find_first_not_of(' '));
    value.erase(value.find_last_not_of(' ') + 1);
    fields[line.substr(0, colon)] = value;
  }
  return fields;
}

bool gone(pid_t pid) {
  std::string stat = readText("/proc/" + std::to_string(pid) + "/stat");
  return stat.empty() || stat.substr(stat.rfind(')') + 2, 1) == "Z";
}

class EngineConfinementTest : public HelperFixture {
 protected:
  void SetUp() override {
    if (geteuid() != 0) {
      GTEST_SKIP() << "needs root: the engine's user is given by a root daemon";
    }
    writeFile(config_, "{}");
  }

  // An engine that runs `script` (sh) and then sleeps.
  void useEngine(const std::string& script) {
    engine_ = dir_.file("engine.sh");
    writeFile(engine_, "#!/bin/sh\n" + script + "\nexec sleep 60\n");
    ASSERT_EQ(chmod(engine_.c_str(), 0755), 0);
  }
  pid_t startEngine() {
    EXPECT_EQ(start(config_), json({{"ok", true}})) << helper_->errorText();
    return status()["pid"].get<pid_t>();
  }
  static struct stat statOf(const std::string& path) {
    struct stat info {};
    EXPECT_EQ(lstat(path.c_str(), &info), 0) << path;
    return info;
  }
};

TEST_F(EngineConfinementTest, RunsAsItsOwnUserWithTheTunnelsCapabilitiesOnly) {
  useEngine("");
  for (bool processRules : {false, true}) {
    std::vector<std::string> extra = {"--engine-user", "nobody"};
    if (processRules) {
      extra.push_back("--engine-process-rules");
    }
    startHelper(extra);
    pid_t engine = startEngine();
    ASSERT_GT(engine, 0);
    std::map<std::string, std::string> status = statusOf(engine);
    EXPECT_EQ(status["Uid"], "65534 65534 65534 65534");
    EXPECT_EQ(status["Gid"], "65534 65534 65534 65534");
    EXPECT_EQ(status["Groups"], "");
    const char* capabilities = processRules ? kWithProcessRules : kTunnelCapabilities;
    for (const char* set : {"CapInh", "CapPrm", "CapEff", "CapAmb", "CapBnd"}) {
      EXPECT_EQ(status[set], capabilities) << set << (processRules ? " with process rules" : "");
    }
    EXPECT_EQ(status["NoNewPrivs"], "0");
  }
}

TEST_F(EngineConfinementTest, AsTheDocsInstallItTheEngineIsTheEngineUser) {
  // The install makes the user from the packaging's sysusers.d file; so
  // does this test where it is missing (a root test run installs what the
  // daemon needs, as the demo does).
  if (getpwnam("orvek-engine") == nullptr) {
    ToolRun made =
        runTool({"/bin/sh", "-c", "systemd-sysusers \"$0\"",
                 std::string(TARQ_SOURCE_DIR) + "/packaging/linux/sysusers.d/tarq-helper.conf"});
    ASSERT_EQ(made.status, 0) << made.err;
  }
  passwd* engineUser = getpwnam("orvek-engine");
  ASSERT_NE(engineUser, nullptr);
  useEngine("");
  helper_ = std::make_unique<ToolProcess>(
      std::vector<std::string>{TARQ_HELPER_PATH, "--socket", socket_, "--state-dir", state_,
                               "--engine", engine_, "--log", log_});
  ASSERT_TRUE(eventually([&] { return !helperExchange(socket_, R"({"op":"status"})").empty(); }))
      << helper_->errorText();
  pid_t engine = startEngine();
  ASSERT_GT(engine, 0);
  std::map<std::string, std::string> status = statusOf(engine);
  std::string uid = std::to_string(engineUser->pw_uid);
  std::string gid = std::to_string(engineUser->pw_gid);
  EXPECT_EQ(status["Uid"], uid + " " + uid + " " + uid + " " + uid);
  EXPECT_EQ(status["Gid"], gid + " " + gid + " " + gid + " " + gid);
  EXPECT_EQ(status["CapEff"], kTunnelCapabilities);
  EXPECT_EQ(status["CapBnd"], kTunnelCapabilities);
}

TEST_F(EngineConfinementTest, CannotReadRootsFilesAndOwnsOnlyItsFolder) {
  writeFile(dir_.file("secret"), "root's secret\n");
  ASSERT_EQ(chmod(dir_.file("secret").c_str(), 0600), 0);
  useEngine("cat " + dir_.file("secret") + "; cat " + state_ + "/engine.pid; pwd; echo \"$@\"");
  startHelper({});
  ASSERT_GT(startEngine(), 0);
  ASSERT_TRUE(eventually([&] { return readText(log_).find("-D") != std::string::npos; }));
  std::string output = readText(log_);
  EXPECT_EQ(output.find("root's secret"), std::string::npos) << output;
  EXPECT_NE(output.find(dir_.file("secret") + ": Permission denied"), std::string::npos) << output;
  EXPECT_NE(output.find("engine.pid: Permission denied"), std::string::npos) << output;
  EXPECT_NE(output.find("\n" + state_ + "/engine\n"), std::string::npos) << output;
  EXPECT_NE(output.find("run -c " + state_ + "/config.json -D " + state_ + "/engine"),
            std::string::npos)
      << output;

  struct stat state = statOf(state_);
  EXPECT_EQ(state.st_mode & 07777, 0711u);
  EXPECT_EQ(state.st_uid, 0u);
  struct stat folder = statOf(state_ + "/engine");
  EXPECT_TRUE(S_ISDIR(folder.st_mode));
  EXPECT_EQ(folder.st_mode & 07777, 0700u);
  EXPECT_EQ(folder.st_uid, kNobody);
  EXPECT_EQ(folder.st_gid, kNobody);
  struct stat copy = statOf(state_ + "/config.json");
  EXPECT_EQ(copy.st_mode & 07777, 0400u);
  EXPECT_EQ(copy.st_uid, kNobody);
  struct stat record = statOf(state_ + "/engine.pid");
  EXPECT_EQ(record.st_mode & 07777, 0600u);
  EXPECT_EQ(record.st_uid, 0u);
  struct stat log = statOf(log_);
  EXPECT_EQ(log.st_mode & 07777, 0600u);
  EXPECT_EQ(statOf(dir_.file("logs")).st_mode & 07777, 0750u);

  // A folder that belonged to another engine user is given, with what is
  // in it, to the new one; a link in it is re-owned itself, never followed.
  EXPECT_EQ(request({{"op", "stop"}})["ok"], true);
  writeFile(state_ + "/engine/cache.db", "x");
  ASSERT_EQ(symlink(dir_.file("secret").c_str(), (state_ + "/engine/link").c_str()), 0);
  startHelper({"--engine-user", "daemon"});
  ASSERT_GT(startEngine(), 0);
  uid_t daemonUid = statOf(state_ + "/engine").st_uid;
  EXPECT_NE(daemonUid, kNobody);
  EXPECT_EQ(statOf(state_ + "/engine/cache.db").st_uid, daemonUid);
  EXPECT_EQ(statOf(state_ + "/engine/link").st_uid, daemonUid);
  EXPECT_EQ(statOf(dir_.file("secret")).st_uid, 0u);
}

TEST_F(EngineConfinementTest, RefusesToStartWithAnUnknownUserAndWarnsOfRoot) {
  ToolProcess unknown({TARQ_HELPER_PATH, "--socket", socket_, "--state-dir", state_, "--engine",
                       engine_, "--log", log_, "--engine-user", "no-such-user-here"});
  EXPECT_EQ(unknown.waitForExit(), 1);
  EXPECT_NE(unknown.errorText().find("--engine-user: no user named \"no-such-user-here\""),
            std::string::npos)
      << unknown.errorText();

  useEngine("");
  startHelper({"--engine-user", "root"});
  for (int round = 0; round < 2; ++round) {
    pid_t engine = startEngine();
    ASSERT_GT(engine, 0);
    EXPECT_EQ(statusOf(engine)["Uid"], "0 0 0 0");
  }
  std::string log = helper_->errorText();
  size_t first = log.find("warning: the engine runs as root (--engine-user root)");
  ASSERT_NE(first, std::string::npos) << log;
  EXPECT_NE(log.find("warning: the engine runs as root", first + 1), std::string::npos) << log;
}

// An engine that forks: one child stays in its process group, one leaves it
// with setsid. Their pids are in "children" in the engine's folder.
class ForkingEngineTest : public EngineConfinementTest {
 protected:
  void SetUp() override {
    EngineConfinementTest::SetUp();
    if (IsSkipped()) {
      return;
    }
    useEngine("sleep 300 & echo $! > children; setsid sleep 300 & echo $! >> children");
    startHelper({});
  }
  std::vector<pid_t> children() {
    std::vector<pid_t> pids;
    eventually([&] {
      std::istringstream text(readText(state_ + "/engine/children"));
      pids.clear();
      for (pid_t pid; text >> pid;) {
        pids.push_back(pid);
      }
      return pids.size() == 2;
    });
    EXPECT_EQ(pids.size(), 2u);
    return pids;
  }
  void expectAllGone(const std::vector<pid_t>& pids) {
    for (pid_t pid : pids) {
      ASSERT_GT(pid, 0);
      EXPECT_TRUE(eventually([&] { return gone(pid); })) << "pid " << pid << " outlived it";
    }
  }
};

TEST_F(ForkingEngineTest, NothingOfItOutlivesAStop) {
  pid_t engine = startEngine();
  std::vector<pid_t> pids = children();
  pids.push_back(engine);
  EXPECT_EQ(request({{"op", "stop"}})["ok"], true);
  expectAllGone(pids);
}

TEST_F(ForkingEngineTest, NothingOfItOutlivesItsDeath) {
  pid_t engine = startEngine();
  std::vector<pid_t> pids = children();
  ASSERT_GT(engine, 0);
  kill(engine, SIGKILL);
  expectAllGone(pids);
  EXPECT_TRUE(eventually([&] { return status()["error"] == "killed by signal 9"; }));
  EXPECT_NE(helper_->errorText().find("ended 2 processes left by engine pid"), std::string::npos)
      << helper_->errorText();
}

TEST_F(ForkingEngineTest, NothingOfItOutlivesTheDaemon) {
  pid_t engine = startEngine();
  std::vector<pid_t> pids = children();
  pids.push_back(engine);
  helper_->signal(SIGTERM);
  EXPECT_EQ(helper_->waitForExit(), 0);
  expectAllGone(pids);
}

TEST_F(ForkingEngineTest, AGroupLeftByACrashedDaemonIsStoppedByTheNextOne) {
  pid_t engine = startEngine();
  std::vector<pid_t> pids = children();
  helper_->signal(SIGKILL);
  helper_->waitForExit();
  startHelper({});  // waits for the socket the dead helper left: ask until it answers
  ASSERT_TRUE(eventually([&] { return !helperExchange(socket_, R"({"op":"status"})").empty(); }));
  EXPECT_TRUE(eventually([&] { return gone(engine); }));
  // The child in its group goes with it; the one that left the group was
  // the crashed daemon's to end (under systemd, the service's cgroup ends it).
  EXPECT_TRUE(eventually([&] { return gone(pids[0]); }));
  kill(pids[1], SIGKILL);
}

TEST_F(EngineConfinementTest, PathsGivenRelativeAreMadeAbsoluteAtStart) {
  useEngine("");
  std::string here = std::filesystem::current_path();
  std::string relative = std::filesystem::relative(dir_.path(), here);
  ASSERT_NE(relative.front(), '/');
  helper_.reset();
  helper_ = std::make_unique<ToolProcess>(std::vector<std::string>{
      TARQ_HELPER_PATH, "--socket", relative + "/helper.sock", "--state-dir", relative + "/state",
      "--engine", std::filesystem::relative(engine_, here), "--log",
      relative + "/logs/sing-box.log", "--engine-user", "nobody"});
  ASSERT_TRUE(eventually([&] { return access(socket_.c_str(), F_OK) == 0; }))
      << helper_->errorText();
  EXPECT_EQ(start(config_), json({{"ok", true}}));
  EXPECT_EQ(status()["running"], true);
  EXPECT_NE(helper_->errorText().find("state in " + state_), std::string::npos)
      << helper_->errorText();
}

}  // namespace
}  // namespace tarq::testing
