// Who the helper serves and what it reads for them: callers are judged the
// moment they connect, and a caller's file is read with the caller's rights.
#include <sys/stat.h>
#include <unistd.h>

#include "tests/daemon/helper_fixture.h"

namespace tarq::testing {
namespace {

class HelperCallersTest : public HelperFixture {
 protected:
  void SetUp() override {
    if (geteuid() != 0) {
      GTEST_SKIP() << "needs root to act as a second user";
    }
    openFolder();
    startHelper({"--allow-uid", std::to_string(kNobody)});
  }

  // A configuration file of the second user's at `path`.
  void writeNobodysConfig(const std::string& path) {
    writeFile(path, engineConfig(freeLoopbackPort(), "s"));
    ASSERT_EQ(chown(path.c_str(), kNobody, kNobody), 0);
  }
};

TEST_F(HelperCallersTest, ReadsOnlyWhatTheCallerCouldReadItself) {
  ASSERT_EQ(mkdir(dir_.file("closed").c_str(), 0700), 0);
  ASSERT_EQ(symlink(dir_.file("closed").c_str(), dir_.file("way").c_str()), 0);
  writeNobodysConfig(dir_.file("closed/config.json"));
  for (const char* path : {"closed/config.json", "way/config.json"}) {
    EXPECT_EQ(start(dir_.file(path), kNobody),
              json({{"ok", false}, {"error", "config_path: Permission denied"}}))
        << path;
  }
  writeNobodysConfig(config_);
  EXPECT_EQ(start(config_ + std::string("\0.x", 3), kNobody)["error"],
            "config_path contains a NUL character");
  EXPECT_EQ(status()["running"], false);
  EXPECT_EQ(start(config_, kNobody), json({{"ok", true}}));
  EXPECT_EQ(status()["running"], true);
}

TEST_F(HelperCallersTest, TurnsStrangersAwayAtOnceAndServesRootWhileIdleCallersHoldSlots) {
  constexpr uid_t kStranger = 65533;
  std::vector<int> idle;
  std::vector<int> strangers;
  for (int round = 0; round < 40; ++round) {
    idle.push_back(connectUnix(socket_, kNobody));
    strangers.push_back(connectUnix(socket_, kStranger));
  }
  EXPECT_EQ(status()["ok"], true);
  for (int stranger : strangers) {
    EXPECT_EQ(receiveLine(stranger),  // sent unasked
              R"({"ok":false,"error":"caller uid 65533 is not allowed to use this helper"})");
    close(stranger);
  }
  for (int connection : idle) {
    close(connection);
  }
  EXPECT_EQ(request({{"op", "status"}}, kNobody)["ok"], true);
}

TEST_F(HelperCallersTest, AdmitsTheMembersOfAnAllowedGroup) {
  startHelper({"--allow-group", "nogroup"});  // the group of the user nobody
  EXPECT_EQ(request({{"op", "status"}}, kNobody)["ok"], true);
  EXPECT_EQ(request({{"op", "status"}}, 65533)["error"],
            "caller uid 65533 is not allowed to use this helper");
  EXPECT_EQ(status()["ok"], true);
}

}  // namespace
}  // namespace tarq::testing
