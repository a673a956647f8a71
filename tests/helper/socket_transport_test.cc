#include "helper/socket_transport.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <future>
#include <string>
#include <thread>

#include "helper/helper_error.h"
#include "tests/support/fake_helper_daemon.h"
#include "tests/support/temp_dir.h"

namespace tarq {
namespace {

using testing::FakeHelperDaemon;
using testing::FakeReply;
using namespace std::chrono_literals;

const std::string kStatusRequest = "{\"op\":\"status\"}\n";

std::string systemText(int error) {
  return std::strerror(error);
}

size_t openDescriptors() {
  auto entries = std::filesystem::directory_iterator("/proc/self/fd");
  return static_cast<size_t>(std::distance(begin(entries), end(entries)));
}

// A one-connection peer that runs a script against the accepted descriptor,
// for byte-level behaviour the fake daemon does not offer.
class ScriptedPeer {
 public:
  ScriptedPeer(const std::string& path, std::function<void(int)> script) {
    listen_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    std::strncpy(address.sun_path, path.c_str(), sizeof(address.sun_path) - 1);
    if (::bind(listen_, reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0 ||
        ::listen(listen_, 1) != 0) {
      ADD_FAILURE() << "cannot listen on " << path << ": " << std::strerror(errno);
    }
    thread_ = std::thread([this, script = std::move(script)] {
      int fd = ::accept(listen_, nullptr, nullptr);
      if (fd >= 0) {
        script(fd);
        ::close(fd);
      }
    });
  }
  ~ScriptedPeer() {
    ::shutdown(listen_, SHUT_RDWR);  // wakes an accept that never got a client
    thread_.join();
    ::close(listen_);
  }

 private:
  int listen_ = -1;
  std::thread thread_;
};

std::string readRequestLine(int fd) {
  std::string line;
  char byte = 0;
  while (::read(fd, &byte, 1) == 1 && byte != '\n') {
    line.push_back(byte);
  }
  return line;
}

void sendAll(int fd, const std::string& bytes) {
  ASSERT_EQ(::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL),
            static_cast<ssize_t>(bytes.size()));
}

class SocketTransportTest : public ::testing::Test {
 protected:
  // The exchange's failure; fails the test when there was none.
  HelperError failureOf(SocketTransport transport, const std::string& request = kStatusRequest) {
    try {
      std::string line = transport.exchange(request);
      ADD_FAILURE() << "exchange succeeded with " << line.substr(0, 40);
    } catch (const HelperError& error) {
      return error;
    }
    return HelperError::refused("no failure");
  }

  void expectSilentDaemonGivenUpAfter(SocketTransport transport, std::chrono::seconds expected) {
    FakeHelperDaemon daemon(socketPath_);
    daemon.setResponder([](const nlohmann::json&) {
      FakeReply reply;
      reply.silent = true;
      return reply;
    });
    auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(failureOf(transport).errorDescription(),
              "helper socket: read: " + systemText(EAGAIN));
    auto elapsed = std::chrono::steady_clock::now() - started;
    EXPECT_GE(elapsed, expected - 100ms);
    EXPECT_LT(elapsed, expected + 700ms);
  }

  testing::TempDir dir_;
  std::string socketPath_ = dir_.file("helper.sock");
};

TEST_F(SocketTransportTest, ReturnsTheReplyLineWithoutItsLineFeed) {
  FakeHelperDaemon daemon(socketPath_);
  EXPECT_EQ(SocketTransport(10.0, socketPath_).exchange(kStatusRequest),
            R"({"build":"fake-1","ok":true,"pid":0,"running":false})");
  daemon.setResponder(
      [](const nlohmann::json&) { return FakeReply::line(std::string("a\r\0b", 4)); });
  EXPECT_EQ(SocketTransport(10.0, socketPath_).exchange(kStatusRequest),
            std::string("a\r\0b", 4));  // neither CR nor NUL ends the line
  EXPECT_EQ(daemon.ops(), (std::vector<std::string>{"status", "status"}));
}

TEST_F(SocketTransportTest, MissingOrUnusableEntryFailsWithoutLeakingDescriptors) {
  size_t before = openDescriptors();
  HelperError error = failureOf(SocketTransport(10.0, socketPath_));
  EXPECT_EQ(error.kind(), HelperError::Kind::notInstalled);
  EXPECT_EQ(error.errorDescription(), "the TARQ helper is not installed");
  error = failureOf(SocketTransport(10.0, "/proc/self/status/helper.sock"));  // ENOTDIR
  EXPECT_EQ(error.kind(), HelperError::Kind::notInstalled);

  std::ofstream(socketPath_) << "not a socket";  // an entry nobody listens on
  error = failureOf(SocketTransport(10.0, socketPath_));
  EXPECT_EQ(error.kind(), HelperError::Kind::io);
  EXPECT_EQ(error.errorDescription(), "helper socket: connect: " + systemText(ECONNREFUSED));
  EXPECT_EQ(openDescriptors(), before);
}

TEST_F(SocketTransportTest, PathHoldsAtMost103Bytes) {
  std::string folder = dir_.path() + "/" + std::string(40, 'd');
  std::filesystem::create_directory(folder);
  std::string longest = folder + "/" + std::string(102 - folder.size(), 's');
  ASSERT_EQ(longest.size(), 103u);
  {
    FakeHelperDaemon daemon(longest);
    EXPECT_NO_THROW(SocketTransport(10.0, longest).exchange(kStatusRequest));
  }
  std::ofstream(longest + "x") << "";
  size_t before = openDescriptors();
  EXPECT_EQ(failureOf(SocketTransport(10.0, longest + "x")).errorDescription(),
            "helper socket: socket path too long");
  EXPECT_EQ(openDescriptors(), before);
}

TEST_F(SocketTransportTest, SilentDaemonTimesOutAfterTheWholeSecondsOfTheTimeout) {
  expectSilentDaemonGivenUpAfter(SocketTransport(1.9, socketPath_), 1s);
}

// The one test that waits for the real 10-second time-out the plug-in uses.
TEST_F(SocketTransportTest, SilentDaemonIsGivenUpAfterTenSeconds) {
  EXPECT_EQ(SocketTransport().timeout(), 10.0);
  EXPECT_EQ(SocketTransport().socketPath(), "/var/run/orvek-helper.sock");
  expectSilentDaemonGivenUpAfter(SocketTransport(10.0, socketPath_), 10s);
}

TEST_F(SocketTransportTest, ReplyInPiecesIsReadWholeWhileEachByteComesInTime) {
  // Each pause is within the one-second time-out; together they exceed it.
  ScriptedPeer peer(socketPath_, [](int fd) {
    EXPECT_EQ(readRequestLine(fd), R"({"op":"status"})");
    for (const char* piece : {"{\"ok\":", "true,\"running\"", ":true}\n"}) {
      std::this_thread::sleep_for(600ms);
      sendAll(fd, piece);
    }
  });
  EXPECT_EQ(SocketTransport(1.0, socketPath_).exchange(kStatusRequest),
            R"({"ok":true,"running":true})");
}

TEST_F(SocketTransportTest, BytesAfterTheLineFeedAreNeverRead) {
  std::promise<int> peerSaw;
  ScriptedPeer peer(socketPath_, [&peerSaw](int fd) {
    readRequestLine(fd);
    sendAll(fd, "{\"ok\":true}\nand more\n{\"ok\":false}\n");
    // Linux resets the connection of a peer that closes with data unread; a
    // client that had read everything would give a plain end of stream.
    char byte = 0;
    ssize_t result = ::recv(fd, &byte, 1, 0);
    peerSaw.set_value(result < 0 ? errno : 0);
  });
  EXPECT_EQ(SocketTransport(1.0, socketPath_).exchange(kStatusRequest), R"({"ok":true})");
  auto saw = peerSaw.get_future();
  ASSERT_EQ(saw.wait_for(5s), std::future_status::ready);
  EXPECT_EQ(saw.get(), ECONNRESET);
}

TEST_F(SocketTransportTest, DaemonClosingMidLineIsAClosedConnection) {
  FakeHelperDaemon daemon(socketPath_);
  daemon.setResponder([](const nlohmann::json&) {
    FakeReply reply;
    reply.bytes = "{\"ok\":true";
    return reply;
  });
  EXPECT_EQ(failureOf(SocketTransport(1.0, socketPath_)).errorDescription(),
            "helper socket: helper closed the connection");
  daemon.setResponder([](const nlohmann::json&) { return FakeReply{}; });
  EXPECT_EQ(failureOf(SocketTransport(1.0, socketPath_)).errorDescription(),
            "helper socket: helper closed the connection");
}

TEST_F(SocketTransportTest, ReplyLineHoldsAtMost65536Bytes) {
  FakeHelperDaemon daemon(socketPath_);
  std::string reply;
  daemon.setResponder([&reply](const nlohmann::json&) { return FakeReply::line(reply); });
  reply = std::string(kMaxReplyBytes, 'x');
  EXPECT_EQ(SocketTransport(1.0, socketPath_).exchange(kStatusRequest), reply);
  reply = std::string(kMaxReplyBytes + 1, 'x');
  EXPECT_EQ(failureOf(SocketTransport(1.0, socketPath_)).errorDescription(),
            "helper socket: reply too long");
  reply = std::string(4 << 20, 'x');  // an endless line: the client stops at the limit
  EXPECT_EQ(failureOf(SocketTransport(1.0, socketPath_)).errorDescription(),
            "helper socket: reply too long");
  EXPECT_EQ(daemon.requests().size(), 3u);
}

// SIGPIPE would end the host process; the test counts it instead.
std::atomic<int> brokenPipeSignals{0};

TEST_F(SocketTransportTest, DaemonClosingBeforeReadingNeverRaisesSigpipe) {
  struct sigaction counting {};
  struct sigaction previous {};
  counting.sa_handler = [](int) { brokenPipeSignals.fetch_add(1); };
  sigemptyset(&counting.sa_mask);
  ASSERT_EQ(::sigaction(SIGPIPE, &counting, &previous), 0);

  FakeHelperDaemon daemon(socketPath_);
  daemon.setResponder([](const nlohmann::json&) {
    FakeReply reply;
    reply.closeBeforeReading = true;
    return reply;
  });
  // A request larger than the socket's buffer is still being written when the
  // daemon closes.
  std::string large = "{\"op\":\"start\",\"selected\":\"" + std::string(2 << 20, 'p') + "\"}\n";
  EXPECT_EQ(failureOf(SocketTransport(1.0, socketPath_), large).errorDescription(),
            "helper socket: write: " + systemText(EPIPE));
  // A short one is written whole; the daemon's close then ends the read.
  std::string description = failureOf(SocketTransport(1.0, socketPath_)).errorDescription();
  EXPECT_TRUE(description == "helper socket: helper closed the connection" ||
              description.starts_with("helper socket: read: ") ||
              description.starts_with("helper socket: write: "))
      << description;

  ::sigaction(SIGPIPE, &previous, nullptr);
  EXPECT_EQ(brokenPipeSignals.load(), 0);
}

}  // namespace
}  // namespace tarq
