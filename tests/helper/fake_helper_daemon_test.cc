// The fake daemon is what every test of the plug-in talks to, so its own
// behaviour is pinned down here.
#include "tests/support/fake_helper_daemon.h"

#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <thread>
#include <vector>

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

TEST_F(FakeHelperDaemonTest, StartNeedsAReadableConfigurationFile) {
  HelperReply reply = send({{"op", "start"}, {"config_path", dir_.file("missing.json")}});
  EXPECT_FALSE(reply.ok);
  EXPECT_FALSE(reply.error.empty());
  EXPECT_FALSE(daemon_.running());
  ASSERT_EQ(daemon_.configsAtStart().size(), 1u);
  EXPECT_EQ(daemon_.configsAtStart()[0], std::nullopt);

  EXPECT_FALSE(send({{"op", "restart"}}).ok);
  EXPECT_EQ(daemon_.ops(), (std::vector<std::string>{"start", "restart"}));
}

TEST_F(FakeHelperDaemonTest, ResponderDecidesPerRequestAndFallsBackToTheDefault) {
  daemon_.setRunning(true);
  daemon_.setResponder([](const json& request) -> std::optional<FakeReply> {
    if (request.value("op", "") == "stop") {
      return FakeReply::json({{"ok", false}, {"error", "busy"}});
    }
    return std::nullopt;
  });
  EXPECT_EQ(send({{"op", "stop"}}).error, "busy");
  EXPECT_TRUE(daemon_.running());
  EXPECT_EQ(send({{"op", "status"}}).pid, FakeHelperDaemon::kEnginePid);
}

TEST_F(FakeHelperDaemonTest, RecordsEveryLineAndLetsTestsWaitForThem) {
  std::vector<std::thread> clients;
  for (int i = 0; i < 4; ++i) {
    clients.emplace_back([this] { send({{"op", "status"}}); });
  }
  EXPECT_TRUE(daemon_.waitForRequests(4));
  for (std::thread& client : clients) {
    client.join();
  }
  EXPECT_FALSE(daemon_.waitForRequests(5, std::chrono::milliseconds(50)));

  // A line that is not JSON is recorded as null and refused.
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, daemon_.socketPath().c_str());
  ASSERT_EQ(::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ASSERT_EQ(::write(fd, "hello\n", 6), 6);
  char reply[128] = {};
  EXPECT_GT(::read(fd, reply, sizeof(reply) - 1), 0);
  ::close(fd);
  EXPECT_TRUE(daemon_.requests().back().is_null());
  EXPECT_FALSE(json::parse(reply).value("ok", true));
}

TEST_F(FakeHelperDaemonTest, CloseBeforeReadingStillRecordsTheRequest) {
  daemon_.setResponder([](const json&) {
    FakeReply reply;
    reply.closeBeforeReading = true;
    return reply;
  });
  EXPECT_THROW(send({{"op", "stop"}}), HelperError);
  EXPECT_EQ(daemon_.ops(), std::vector<std::string>{"stop"});
}

TEST(FakeHelperDaemonLifetimeTest, RemovesItsSocketAndReplacesAStaleOne) {
  TempDir dir;
  std::string path = dir.file("helper.sock");
  { FakeHelperDaemon first(path); }
  EXPECT_FALSE(std::filesystem::exists(path));
  int stale = ::socket(AF_UNIX, SOCK_STREAM, 0);
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  std::strcpy(address.sun_path, path.c_str());
  ASSERT_EQ(::bind(stale, reinterpret_cast<sockaddr*>(&address), sizeof(address)), 0);
  ::close(stale);
  {
    FakeHelperDaemon second(path);
    EXPECT_TRUE(
        HelperClient(std::make_unique<SocketTransport>(1.0, path)).send({{"op", "status"}}).ok);
  }
  std::ofstream(path) << "a file of someone else's";
  EXPECT_THROW(FakeHelperDaemon third(path), std::system_error);
  EXPECT_TRUE(std::filesystem::exists(path));
}

}  // namespace
}  // namespace tarq::testing
