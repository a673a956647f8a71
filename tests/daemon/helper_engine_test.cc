// How the helper supervises its engine: the output goes to a bounded log,
// and an engine left by a previous run of the helper is stopped before
// anything else.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>

#include "tests/daemon/helper_fixture.h"

namespace tarq::testing {
namespace {

class HelperEngineTest : public HelperFixture {
 protected:
  // No Clash API for the helper to wait for: the engines here are scripts.
  void SetUp() override { writeFile(config_, "{}"); }

  pid_t startEngine() {
    EXPECT_EQ(start(config_), json({{"ok", true}}));
    return status()["pid"].get<pid_t>();
  }
  static off_t sizeOf(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0 ? info.st_size : -1;
  }
};

// Whether `pid` is gone (or a zombie nobody has reaped yet).
bool ended(pid_t pid) {
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(file)), {});
  return text.empty() || text.substr(text.rfind(')') + 2, 1) == "Z";
}

TEST_F(HelperEngineTest, AppendsTheOutputToALogKeptToItsSize) {
  engine_ = dir_.file("chatty");
  writeFile(engine_, "#!/bin/sh\nyes 'engine line' | head -n 1000\nexec sleep 30\n");
  ASSERT_EQ(chmod(engine_.c_str(), 0755), 0);
  startHelper({"--log-max-bytes", "2048"});
  startEngine();
  EXPECT_TRUE(eventually([&] { return sizeOf(log_ + ".1") > 0; })) << helper_->errorText();
  struct stat log {};
  ASSERT_EQ(stat(log_.c_str(), &log), 0);  // its folder made too
  EXPECT_EQ(log.st_mode & 0777, 0600u);    // private: it names every destination
  // A rotation follows the write that reached the limit: one read of output.
  EXPECT_LT(sizeOf(log_ + ".1"), 2048 + 16384);
  EXPECT_LT(log.st_size, 2048 + 16384);
  std::ifstream previous(log_ + ".1");
  std::string text((std::istreambuf_iterator<char>(previous)), {});
  EXPECT_NE(text.find("engine line\nengine line\n"), std::string::npos);
  EXPECT_EQ(status()["running"], true);
}

TEST_F(HelperEngineTest, StopsTheEngineLeftByAPreviousRunButNoOtherProcess) {
  // A silent engine: one that writes survives its helper only until its
  // next write into the pipe nobody reads.
  engine_ = dir_.file("silent");
  writeFile(engine_, "#!/bin/sh\nexec sleep 30\n");
  ASSERT_EQ(chmod(engine_.c_str(), 0755), 0);
  startHelper({});
  pid_t engine = startEngine();
  ASSERT_GT(engine, 0);
  helper_->signal(SIGKILL);  // the engine runs on without its helper
  helper_->waitForExit();
  EXPECT_FALSE(ended(engine));
  startHelper({});  // the dead helper's socket file is still there: wait for an answer
  ASSERT_TRUE(eventually([&] { return !helperExchange(socket_, R"({"op":"status"})").empty(); }));
  EXPECT_TRUE(ended(engine));
  EXPECT_NE(helper_->errorText().find("stopped the engine left by a previous run (pid " +
                                      std::to_string(engine) + ")"),
            std::string::npos)
      << helper_->errorText();
  EXPECT_NE(access(dir_.file("state/config.json").c_str(), F_OK), 0);

  // A record whose process has since been replaced by another one with the
  // same pid: that other process is left alone.
  ToolProcess stranger({"/bin/sleep", "30"});
  pid_t strangerPid = stranger.pid();
  helper_.reset();
  writeFile(state_ + "/engine.pid", std::to_string(strangerPid) + " 1\n");
  startHelper({});
  EXPECT_EQ(status()["ok"], true);
  EXPECT_FALSE(ended(strangerPid));
}

}  // namespace
}  // namespace tarq::testing
