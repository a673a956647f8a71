// What one request may cost the helper: its line, its nesting and the
// configuration it names are bounded, whatever their shape.
#include <sys/socket.h>
#include <unistd.h>

#include <fstream>

#include "tests/tools/helper_fixture.h"

namespace tarq::testing {
namespace {

class HelperLimitsTest : public HelperFixture {
 protected:
  void SetUp() override { startHelper({"--allow-uid", std::to_string(getuid())}); }

  // The helper's peak resident memory in KiB, from its /proc status.
  long helperPeakKiB() {
    int connection = connectUnix(socket_);
    ucred helper{};
    socklen_t size = sizeof helper;
    getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &helper, &size);
    close(connection);
    std::ifstream file("/proc/" + std::to_string(helper.pid) + "/status");
    for (std::string line; std::getline(file, line);) {
      if (line.rfind("VmHWM:", 0) == 0) {
        return std::stol(line.substr(6));
      }
    }
    return -1;
  }
};

TEST_F(HelperLimitsTest, TakesRequestLinesUpToTheLimitExactly) {
  std::string status = R"({"op":"status"})";
  std::string longest = status + std::string(65536 - status.size(), ' ');
  EXPECT_EQ(json::parse(helperExchange(socket_, longest))["ok"], true);
  EXPECT_EQ(json::parse(helperExchange(socket_, longest + " ")),
            json({{"ok", false}, {"error", "request too long"}}));
  std::string deep = R"({"op":)" + std::string(20000, '[') + std::string(20000, ']') + "}";
  EXPECT_EQ(json::parse(helperExchange(socket_, deep))["error"],
            "malformed request: nested too deeply");
}

TEST_F(HelperLimitsTest, ReadsAHugeNestedConfigurationInBoundedMemory) {
  constexpr size_t kLevels = 8 * 1024 * 1024;  // 16 MiB, the largest file taken
  writeFile(config_, std::string(kLevels, '[') + std::string(kLevels, ']'));
  engine_ = "/bin/false";
  startHelper({"--allow-uid", std::to_string(getuid())});
  EXPECT_EQ(start(config_), json({{"ok", true}}));
  EXPECT_TRUE(eventually([&] { return status()["error"] == "exit status 1"; }));
#if !defined(__SANITIZE_THREAD__)  // its shadow memory follows every byte touched
  EXPECT_LT(helperPeakKiB(), 256 * 1024);
#endif
}

}  // namespace
}  // namespace tarq::testing
