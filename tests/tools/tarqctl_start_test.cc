// tarqctl start reads the Clash API's address and secret from the
// configuration as sing-box reads it and listens on it, says before the start
// when the plug-in (which connects to 127.0.0.1:PORT) cannot reach it, and
// after a start that timed out waiting for the Clash API, says why: a secret
// the API refused, or nothing listening.
#include <httplib.h>
#include <stdlib.h>

#include "tests/daemon/helper_fixture.h"

namespace tarq::testing {
namespace {

constexpr char kSecret[] = "s3cret";
constexpr char kOption[] = "experimental.clash_api.external_controller";

class TarqctlStartTest : public HelperFixture {
 protected:
  void SetUp() override {
    setenv("XDG_DATA_HOME", dir_.file("data").c_str(), 1);
    startHelper({"--allow-uid", std::to_string(getuid())}, TARQ_DEVHELPER_PATH);
  }

  // A configuration with `clashApi` as its experimental.clash_api (JSON text).
  void writeConfig(const std::string& clashApi) {
    writeFile(config_, R"({"outbounds": [{"type": "selector", "tag": "tarq", "outbounds": ["d"]},
                                         {"type": "direct", "tag": "d"}],
                         "experimental": {"clash_api": )" +
                           clashApi + "}}");
  }

  ToolRun tarqctl(std::vector<std::string> arguments) {
    arguments.insert(arguments.begin(), {TARQCTL_PATH, "--socket", socket_});
    return runTool(arguments);
  }

  std::string port_ = std::to_string(freeLoopbackPort());
};

TEST_F(TarqctlStartTest, TakesEveryAddressFormSingBoxServesOn127001WithoutAWarning) {
  const std::string controllers[] = {":" + port_, "0.0.0.0:" + port_, "[::]:" + port_,
                                     "localhost:" + port_};
  for (const std::string& controller : controllers) {
    // Keys in capitals and a hash comment, as sing-box reads them.
    writeFile(config_,
              "# the tunnel\n"
              R"({"outbounds": [{"type": "selector", "tag": "tarq",
                "outbounds": ["d"]}, {"type": "direct", "tag": "d"}],
                "Experimental": {"CLASH_API": {"External_Controller": ")" +
                  controller + R"(", "secret": ")" + kSecret + R"("}}})");
    ToolRun start = tarqctl({"start", config_});
    EXPECT_EQ(start.status, 0) << controller << ": " << start.err << helper_->errorText();
    EXPECT_EQ(start.err.find("warning"), std::string::npos) << controller << ": " << start.err;
    EXPECT_NE(start.out.find("Clash API on 127.0.0.1:" + port_), std::string::npos) << start.out;
    EXPECT_EQ(tarqctl({"stop"}).status, 0);
  }
}

TEST_F(TarqctlStartTest, RefusesToGuessAPortAndNamesTheOption) {
  const std::pair<std::string, std::string> cases[] = {
      {R"({"secret": "x"})", std::string(kOption) + " is not set, so sing-box serves no Clash API"},
      {R"({"external_controller": ""})", std::string(kOption) + " is not set"},
      {R"({"external_controller": "::1:)" + port_ + R"("})",
       std::string(kOption) + " \"::1:" + port_ + "\": too many colons in address"},
      {R"({"external_controller": "127.0.0.1:0"})", "a port the system picks"},
  };
  for (const auto& [clashApi, why] : cases) {
    writeConfig(clashApi);
    ToolRun start = tarqctl({"start", config_});
    EXPECT_EQ(start.status, 2) << clashApi;
    EXPECT_NE(start.err.find(why), std::string::npos) << clashApi << ": " << start.err;
    EXPECT_NE(start.err.find("give --clash-port"), std::string::npos) << start.err;
  }
  writeFile(config_, "\xEF\xBB\xBF{}");
  ToolRun start = tarqctl({"start", config_});
  EXPECT_EQ(start.status, 2);
  EXPECT_NE(start.err.find("byte order mark"), std::string::npos) << start.err;
}

// sing-box would listen where the plug-in does not look: tarqctl says so
// before it starts, and once the plug-in gives up, that nothing listens there.
TEST_F(TarqctlStartTest, SaysWhenThePluginCannotReachTheApiAndThatNothingListens) {
  writeConfig(R"({"external_controller": "127.0.0.2:)" + port_ + R"(", "secret": ")" + kSecret +
              R"("})");
  ToolRun start = tarqctl({"start", config_});
  EXPECT_EQ(start.status, 1);
  EXPECT_NE(
      start.err.find("tarqctl: warning: " + config_ + ": " + kOption + " is \"127.0.0.2:" + port_ +
                     "\": sing-box listens on that loopback address only, not on "
                     "127.0.0.1, where the plug-in connects to the Clash API"),
      std::string::npos)
      << start.err;
  EXPECT_NE(start.err.find("start_failed: timed out waiting for the clash api\n"
                           "tarqctl: nothing listens on 127.0.0.1:" +
                           port_),
            std::string::npos)
      << start.err;
}

TEST_F(TarqctlStartTest, SaysWhenTheClashApiRefusedTheSecret) {
  writeConfig(R"({"external_controller": "127.0.0.1:)" + port_ + R"(", "secret": ")" + kSecret +
              R"("})");
  ToolRun start = tarqctl({"start", config_, "--clash-secret", "not-the-secret"});
  EXPECT_EQ(start.status, 1);
  EXPECT_NE(start.err.find("start_failed: timed out waiting for the clash api\n"
                           "tarqctl: the Clash API refused the secret (clashSecret does not match "
                           "experimental.clash_api.secret)"),
            std::string::npos)
      << start.err;
  EXPECT_EQ(status()["running"], false);
}

}  // namespace
}  // namespace tarq::testing
