// Who the helper serves and what it reads for them: callers are judged the
// moment they connect, and a caller's file is read with the caller's rights;
// what refused callers cost its log.
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <fstream>
#include <iterator>
#include <sstream>

#include "tests/daemon/helper_fixture.h"

namespace tarq::testing {
namespace {

std::string readFile(const std::string& path) {
  std::ifstream file(path);
  return {std::istreambuf_iterator<char>(file), {}};
}

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

// How many lines of `text` contain `part`.
size_t linesWith(const std::string& text, const std::string& part) {
  std::istringstream lines(text);
  size_t count = 0;
  for (std::string line; std::getline(lines, line);) {
    count += line.find(part) != std::string::npos ? 1 : 0;
  }
  return count;
}

std::string refusalOf(uid_t uid) {
  return R"({"ok":false,"error":"caller uid )" + std::to_string(uid) +
         R"( is not allowed to use this helper"})";
}

// Two refused users connecting as fast as they can: every connection gets its
// reason at once, and the daemon's log gets one line per user (the minute's
// count follows when the minute is over), with or without a group to look
// them up in.
TEST_F(HelperCallersTest, RefusedFloodsGetTheirRepliesAndOneLogLinePerCaller) {
  constexpr int kConnections = 3000;
  for (const char* group : {"", "nogroup"}) {
    SCOPED_TRACE(group);
    if (*group != '\0') {
      startHelper({"--allow-group", group});
    }
    for (int round = 0; round < kConnections; ++round) {
      uid_t uid = round % 2 == 0 ? 65532 : 65533;
      int connection = connectUnix(socket_, uid);
      ASSERT_GE(connection, 0);
      ASSERT_EQ(receiveLine(connection), refusalOf(uid)) << round;
      close(connection);
    }
    EXPECT_EQ(request({{"op", "status"}}, kNobody)["ok"], true);
    std::string log = helper_->errorText();
    EXPECT_EQ(linesWith(log, "refused uid 65532"), 1u) << log;
    EXPECT_EQ(linesWith(log, "refused uid 65533"), 1u) << log;
    EXPECT_LT(log.size(), 2000u);
  }
}

TEST_F(HelperCallersTest, KeepsItsOwnLogToTheBoundGivenApartFromStandardError) {
  std::string daemonLog = dir_.file("logs/helper.log");
  startHelper({"--daemon-log", daemonLog, "--log-max-bytes", "1024"});
  for (uid_t uid = 60000; uid < 60040; ++uid) {  // 40 refused users, a line each
    ASSERT_EQ(helperExchange(socket_, R"({"op":"status"})", uid), refusalOf(uid));
  }
  auto sizeOf = [](const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? static_cast<size_t>(info.st_size) : size_t{0};
  };
  EXPECT_TRUE(eventually([&] { return linesWith(readFile(daemonLog), "refused uid 60039") == 1; }));
  EXPECT_LT(sizeOf(daemonLog), 1024u);
  EXPECT_GE(sizeOf(daemonLog + ".1"), 1024u);
  EXPECT_LT(sizeOf(daemonLog + ".1"), 1024u + 200u);
  // "2024-05-31T14:03:07+0000 tarq-helper: refused uid 60000: caller uid 60000 ..."
  std::string line = readFile(daemonLog).substr(0, readFile(daemonLog).find('\n'));
  const std::string stampShape = "dddd-dd-ddTdd:dd:dd+dddd";
  ASSERT_GT(line.size(), stampShape.size()) << line;
  for (size_t index = 0; index < stampShape.size(); ++index) {
    char shape = stampShape[index];
    char c = line[index];
    EXPECT_TRUE(shape == 'd'   ? std::isdigit(static_cast<unsigned char>(c)) != 0
                : shape == '+' ? c == '+' || c == '-'
                               : c == shape)
        << line;
  }
  EXPECT_EQ(line.substr(stampShape.size(), 29), " tarq-helper: refused uid 600") << line;
  EXPECT_NE(line.find(" is not allowed to use this helper"), std::string::npos) << line;
  EXPECT_EQ(helper_->errorText(), "");
}

}  // namespace
}  // namespace tarq::testing
