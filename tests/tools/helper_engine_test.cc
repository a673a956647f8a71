// How the helper supervises its engine: the private copy goes with the
// engine, the output goes to a bounded log, and an engine left by a previous
// run of the helper is stopped before anything else.
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/tools/helper_fixture.h"

namespace tarq::testing {
namespace {

class HelperEngineTest : public HelperFixture {
 protected:
  void SetUp() override { writeFile(config_, engineConfig(freeLoopbackPort(), "s")); }

  pid_t startEngine() {
    EXPECT_EQ(start(config_), json({{"ok", true}}));
    return status()["pid"].get<pid_t>();
  }
  bool exists(const std::string& name) { return access(dir_.file(name).c_str(), F_OK) == 0; }
};

TEST_F(HelperEngineTest, RemovesThePrivateCopyAsSoonAsTheEngineExits) {
  startHelper({"--allow-uid", std::to_string(getuid())}, TARQ_DEVHELPER_PATH);
  pid_t engine = startEngine();
  ASSERT_GT(engine, 0);  // kill(0) would end the whole test run
  EXPECT_TRUE(exists("state/config.json"));
  kill(engine, SIGKILL);
  EXPECT_TRUE(eventually([&] { return !exists("state/config.json"); }));
}

}  // namespace
}  // namespace tarq::testing
