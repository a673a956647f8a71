#include "helper/socket_transport.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "helper/helper_error.h"
#include "tests/support/fake_helper_daemon.h"
#include "tests/support/temp_dir.h"

namespace tarq {
namespace {

using testing::FakeHelperDaemon;
using testing::FakeReply;
using namespace std::chrono_literals;

size_t openDescriptors() {
  auto entries = std::filesystem::directory_iterator("/proc/self/fd");
  return static_cast<size_t>(std::distance(begin(entries), end(entries)));
}

// The reply line, or the description of the exchange's failure.
std::string outcome(const std::string& path, double timeout = 1.0,
                    const std::string& request = "{\"op\":\"status\"}\n") {
  try {
    return SocketTransport(timeout, path).exchange(request);
  } catch (const HelperError& error) {
    return error.errorDescription();
  }
}

std::string systemText(const char* what, int error) {
  return std::string("helper socket: ") + what + ": " + strerror(error);
}

testing::FakeResponder always(FakeReply reply) {
  return [reply](const nlohmann::json&) { return reply; };
}

class SocketTransportTest : public ::testing::Test {
 protected:
  testing::TempDir dir_;
  std::string path_ = dir_.file("helper.sock");
};

std::atomic<int> brokenPipeSignals{0};  // SIGPIPE would end the host process

TEST_F(SocketTransportTest, ReplyIsOneLineOfAtMost65536BytesAndAClosingPeerRaisesNoSigpipe) {
  auto previous = std::signal(SIGPIPE, [](int) { brokenPipeSignals.fetch_add(1); });
  FakeHelperDaemon daemon(path_);
  const std::string limit(kMaxReplyBytes, 'x');
  const std::pair<std::string, std::string> cases[] = {
      {limit + "\n", limit},
      {std::string("a\r\0b\n", 5), std::string("a\r\0b", 4)},  // neither CR nor NUL ends it
      {"{\"ok\":true}\nand more\n", "{\"ok\":true}"},
      {limit + "x\n", "helper socket: reply too long"},
      {std::string(4 << 20, 'x'), "helper socket: reply too long"},  // stops at the limit
      {"{\"ok\":true", "helper socket: helper closed the connection"},
  };
  for (const auto& [bytes, expected] : cases) {
    daemon.setResponder(always({.bytes = bytes}));
    EXPECT_EQ(outcome(path_), expected) << bytes.substr(0, 20);
  }
  daemon.setResponder(always({.closeBeforeReading = true}));
  // Larger than the socket's buffer: still being written when the daemon closes.
  std::string large = "{\"op\":\"start\",\"selected\":\"" + std::string(2 << 20, 'p') + "\"}\n";
  EXPECT_EQ(outcome(path_, 1.0, large), systemText("write", EPIPE));
  std::signal(SIGPIPE, previous);
  EXPECT_EQ(brokenPipeSignals.load(), 0);
}

TEST_F(SocketTransportTest, MissingUnusableOrTooLongPathFailsWithoutLeakingDescriptors) {
  size_t before = openDescriptors();
  EXPECT_EQ(outcome(path_), "the TARQ helper is not installed");
  std::ofstream(path_) << "not a socket";  // an entry nobody listens on
  EXPECT_EQ(outcome(path_), systemText("connect", ECONNREFUSED));

  std::string folder = dir_.path() + "/" + std::string(40, 'd');
  std::filesystem::create_directory(folder);
  std::string longest = folder + "/" + std::string(102 - folder.size(), 's');
  ASSERT_EQ(longest.size(), 103u);
  std::ofstream(longest + "x") << "";
  EXPECT_EQ(outcome(longest + "x"), "helper socket: socket path too long");
  EXPECT_EQ(openDescriptors(), before);
  FakeHelperDaemon daemon(longest);
  EXPECT_NE(outcome(longest).find("\"ok\":true"), std::string::npos);
}

// Only whole seconds take effect: 1.9 s waits one second.
TEST_F(SocketTransportTest, SilentDaemonIsGivenUpAfterTheWholeSecondsOfTheTimeout) {
  FakeHelperDaemon daemon(path_);
  daemon.setResponder(always({.silent = true}));
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(outcome(path_, 1.9), systemText("read", EAGAIN));
  auto elapsed = std::chrono::steady_clock::now() - started;
  EXPECT_GE(elapsed, 900ms);
  EXPECT_LT(elapsed, 1700ms);
}

}  // namespace
}  // namespace tarq
