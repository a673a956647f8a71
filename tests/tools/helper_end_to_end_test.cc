// The plug-in, hosted by tarqctl, against the daemon applications ship:
// tarq-helper running the stand-in engine.
#include <stdlib.h>
#include <unistd.h>

#include "tests/tools/helper_fixture.h"

namespace tarq::testing {
namespace {

class HelperEndToEndTest : public HelperFixture {
 protected:
  std::vector<std::string> tarqctl(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {TARQCTL_PATH, "--socket", socket_});
    return arguments;
  }
};

TEST_F(HelperEndToEndTest, ThePlugInStartsSelectsAndStopsThroughTheHelper) {
  // The plug-in writes the configuration for the helper to one fixed file
  // under the Application Support directory; this test needs its own.
  setenv("XDG_DATA_HOME", dir_.file("data").c_str(), 1);
  int port = freeLoopbackPort();
  writeFile(config_, engineConfig(port, "s"));
  startHelper({"--allow-uid", std::to_string(getuid())});

  ToolRun start = runTool(tarqctl({"start", config_, "--selected", "direct-b"}));
  ASSERT_EQ(start.status, 0) << start.err << helper_->errorText();
  EXPECT_NE(start.out.find("connected"), std::string::npos) << start.out;
  ToolRun helper = runTool(tarqctl({"helper-status"}));
  EXPECT_NE(helper.out.find("tarq-helper 0.1.0"), std::string::npos) << helper.out;
  EXPECT_EQ(status()["running"], true);

  ToolRun stop = runTool(tarqctl({"stop"}));
  EXPECT_EQ(stop.status, 0) << stop.err;
  EXPECT_EQ(status()["running"], false);
  EXPECT_FALSE(access(dir_.file("state/config.json").c_str(), F_OK) == 0);
}

}  // namespace
}  // namespace tarq::testing
