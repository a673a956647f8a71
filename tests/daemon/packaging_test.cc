// The Linux packaging as shipped: the service's confinement is rated by
// systemd's own analysis, the daemon and its engine work under exactly the
// service's capability bounding set, and the sysusers.d file makes the
// engine's user and the callers' group.
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>

#include "tests/daemon/helper_fixture.h"

namespace tarq::testing {
namespace {

const std::string kService = std::string(TARQ_SOURCE_DIR) + "/packaging/linux/tarq-helper.service";
const std::string kSysusers =
    std::string(TARQ_SOURCE_DIR) + "/packaging/linux/sysusers.d/tarq-helper.conf";

std::string readText(const std::string& path) {
  std::ifstream file(path);
  return {std::istreambuf_iterator<char>(file), std::istreambuf_iterator<char>()};
}

// The path of `program` on the PATH; "" when it is not installed.
std::string installed(const std::string& program) {
  ToolRun found = runTool({"/bin/sh", "-c", "command -v " + program});
  std::string path = found.status == 0 ? found.out : "";
  while (!path.empty() && path.back() == '\n') {
    path.pop_back();
  }
  return path;
}

// What follows `prefix` in `text` up to the end of its line; none when
// `prefix` is not there.
std::optional<std::string> after(const std::string& text, const std::string& prefix) {
  size_t at = text.find(prefix);
  if (at == std::string::npos) {
    return std::nullopt;
  }
  at += prefix.size();
  return text.substr(at, text.find('\n', at) - at);
}

// The service's CapabilityBoundingSet= as setpriv's --bounding-set:
// "-all,+setuid,+setgid,...".
std::string serviceBoundingSet() {
  std::optional<std::string> line = after(readText(kService), "\nCapabilityBoundingSet=");
  EXPECT_TRUE(line.has_value());
  std::istringstream names(line.value_or(""));
  std::string set = "-all";
  for (std::string name; names >> name;) {
    std::transform(name.begin(), name.end(), name.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    set += ",+" + name.substr(4);  // without "cap_"
  }
  return set;
}

TEST(PackagingTest, TheServiceIsRatedAtMostFourBySystemd) {
  std::string analyze = installed("systemd-analyze");
  if (analyze.empty()) {
    GTEST_SKIP() << "systemd-analyze is not installed";
  }
  ToolRun run = runTool({analyze, "security", "--offline=yes", kService});
  std::string output = run.out + run.err;
  std::optional<std::string> level =
      after(output, "Overall exposure level for tarq-helper.service: ");
  ASSERT_TRUE(level.has_value()) << output;
  EXPECT_LE(std::stod(*level), 4.0) << output;  // "3.3 OK ..."
}

TEST(PackagingTest, TheSysusersFileMakesTheEngineUserAndTheCallersGroup) {
  std::string sysusers = installed("systemd-sysusers");
  if (sysusers.empty()) {
    GTEST_SKIP() << "systemd-sysusers is not installed";
  }
  TempDir root;
  ASSERT_EQ(mkdir(root.file("etc").c_str(), 0755), 0);
  ToolRun run = runTool({sysusers, "--root=" + root.path(), kSysusers});
  ASSERT_EQ(run.status, 0) << run.err;
  std::string passwd = readText(root.file("etc/passwd"));
  std::string group = readText(root.file("etc/group"));
  // A system user without a home or a shell, and a group.
  std::optional<std::string> user = after("\n" + passwd, "\norvek-engine:x:");
  ASSERT_TRUE(user.has_value()) << passwd;
  EXPECT_NE(user->find(":/:/usr/sbin/nologin"), std::string::npos) << *user;
  EXPECT_TRUE(after("\n" + group, "\norvek:x:").has_value()) << group;
}

// The daemon run as systemd runs it: no new privileges, and capabilities
// bounded by exactly the service's CapabilityBoundingSet=.
class ConfinedServiceTest : public HelperFixture {
 protected:
  void SetUp() override {
    if (geteuid() != 0 || installed("setpriv").empty()) {
      GTEST_SKIP() << "needs root and setpriv";
    }
    writeFile(config_, engineConfig(freeLoopbackPort(), "s"));
    startConfined({});
  }
  void startConfined(const std::vector<std::string>& extra) {
    helper_.reset();
    std::vector<std::string> command = {installed("setpriv"),
                                        "--no-new-privs",
                                        "--bounding-set",
                                        serviceBoundingSet(),
                                        TARQ_HELPER_PATH,
                                        "--socket",
                                        socket_,
                                        "--state-dir",
                                        state_,
                                        "--engine",
                                        engine_,
                                        "--log",
                                        log_,
                                        "--log-group",
                                        "nogroup"};
    command.insert(command.end(), extra.empty() ? kEngineUser.begin() : extra.begin(),
                   extra.empty() ? kEngineUser.end() : extra.end());
    helper_ = std::make_unique<ToolProcess>(command);
    ASSERT_TRUE(eventually([&] { return !helperExchange(socket_, R"({"op":"status"})").empty(); }))
        << helper_->errorText();
  }
};

TEST_F(ConfinedServiceTest, StartsStopsNoticesDeathAndRestartsWithinTheBoundingSet) {
  EXPECT_EQ(status()["running"], false);
  EXPECT_EQ(start(config_), json({{"ok", true}})) << helper_->errorText();
  pid_t engine = status()["pid"].get<pid_t>();
  ASSERT_GT(engine, 0);
  std::string engineStatus = readText("/proc/" + std::to_string(engine) + "/status");
  EXPECT_NE(engineStatus.find("CapAmb:\t0000000000003400"), std::string::npos) << engineStatus;
  EXPECT_EQ(request({{"op", "stop"}}), json({{"ok", true}}));
  EXPECT_EQ(status()["running"], false);
  EXPECT_NE(kill(engine, 0), 0);

  ASSERT_EQ(start(config_)["ok"], true);
  engine = status()["pid"].get<pid_t>();
  ASSERT_GT(engine, 0);
  kill(engine, SIGKILL);
  EXPECT_TRUE(eventually([&] { return status()["error"] == "killed by signal 9"; }));

  // A restart of the daemon, with another engine user: the engine left
  // running is stopped, and the engine's folder changes hands whole.
  ASSERT_EQ(start(config_)["ok"], true);
  engine = status()["pid"].get<pid_t>();
  writeFile(state_ + "/engine/cache.db", "");
  helper_->signal(SIGKILL);
  helper_->waitForExit();
  startConfined({"--engine-user", "daemon"});
  EXPECT_TRUE(eventually([&] { return kill(engine, 0) != 0; }));
  EXPECT_NE(helper_->errorText().find("stopped the engine left by a previous run"),
            std::string::npos)
      << helper_->errorText();
  EXPECT_EQ(start(config_), json({{"ok", true}})) << helper_->errorText();
  EXPECT_EQ(status()["running"], true);
  struct stat cache {};
  ASSERT_EQ(stat((state_ + "/engine/cache.db").c_str(), &cache), 0);
  EXPECT_NE(cache.st_uid, kNobody);
  EXPECT_NE(cache.st_uid, 0u);

  struct stat log {};
  ASSERT_EQ(stat(log_.c_str(), &log), 0);
  EXPECT_EQ(log.st_mode & 07777, 0640u);
  EXPECT_EQ(log.st_gid, getgrnam("nogroup")->gr_gid);
  EXPECT_EQ(request({{"op", "stop"}}), json({{"ok", true}}));
}

}  // namespace
}  // namespace tarq::testing
