// The fake daemon is what every test of the plug-in talks to, so its own
// behaviour is pinned down here.
#include "tests/support/fake_helper_daemon.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "helper/helper_client.h"
#include "helper/helper_error.h"
#include "helper/socket_transport.h"
#include "tests/support/temp_dir.h"

namespace tarq::testing {
namespace {

using nlohmann::json;

class FakeHelperDaemonTest : public ::testing::Test {
 protected:
  HelperReply send(const json& request) {
    return HelperClient(std::make_unique<SocketTransport>(1.0, daemon_.socketPath())).send(request);
  }

  TempDir dir_;
  FakeHelperDaemon daemon_{dir_.file("helper.sock")};
};

TEST_F(FakeHelperDaemonTest, ServesStatusStartAndStopAndRecordsThem) {
  const std::string config = dir_.file("config é 1.json");
  std::ofstream(config) << R"({"log":{}})";
  EXPECT_FALSE(send({{"op", "start"}, {"config_path", dir_.file("missing")}}).ok);
  EXPECT_FALSE(send({{"op", "status"}}).running);
  EXPECT_TRUE(send({{"op", "start"}, {"config_path", config}, {"selected", "auto"}}).ok);
  HelperReply status = send({{"op", "status"}});
  EXPECT_EQ(status, (HelperReply{true, true, FakeHelperDaemon::kEnginePid, "", "fake-1"}));
  EXPECT_TRUE(send({{"op", "stop"}}).ok);
  EXPECT_FALSE(send({{"op", "restart"}}).ok);

  EXPECT_FALSE(daemon_.running());
  EXPECT_EQ(daemon_.ops(),
            (std::vector<std::string>{"start", "status", "start", "status", "stop", "restart"}));
  EXPECT_EQ(daemon_.requests()[2]["config_path"], config);
  EXPECT_EQ(daemon_.configsAtStart(),
            (std::vector<std::optional<std::string>>{std::nullopt, R"({"log":{}})"}));
  EXPECT_FALSE(daemon_.waitForRequests(7, std::chrono::milliseconds(20)));
}

TEST_F(FakeHelperDaemonTest, ResponderOverridesTheDefaultPerRequest) {
  daemon_.setRunning(true);
  daemon_.setResponder([](const json& request) -> std::optional<FakeReply> {
    if (request.value("op", "") == "stop") {
      FakeReply reply;
      reply.closeBeforeReading = true;
      return reply;
    }
    return std::nullopt;
  });
  EXPECT_THROW(send({{"op", "stop"}}), HelperError);
  EXPECT_TRUE(send({{"op", "status"}}).running);
  EXPECT_EQ(daemon_.ops(), (std::vector<std::string>{"stop", "status"}));
}

TEST(FakeHelperDaemonLifetimeTest, ReplacesAStaleSocketButNoOtherFile) {
  TempDir dir;
  std::string path = dir.file("helper.sock");
  { FakeHelperDaemon first(path); }
  EXPECT_FALSE(std::filesystem::exists(path));
  std::ofstream(path) << "someone else's file";
  EXPECT_THROW(FakeHelperDaemon second(path), std::system_error);
  EXPECT_TRUE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace tarq::testing
