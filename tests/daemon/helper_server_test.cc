// The helper's socket server in-process, with caller policies written for
// the test: what the accepting thread does and does not do, and the pin
// checked again right before a request is handled.
#include "daemon/core/helper_server.h"

#include <gtest/gtest.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <future>
#include <mutex>
#include <thread>

#include "tests/support/temp_dir.h"
#include "tests/support/tool_process.h"

namespace tarq::testing {
namespace {

constexpr char kServed[] = R"({"ok":true})";

// A server on a socket of its own, serving on a thread of its own until the
// harness goes.
class ServerHarness {
 public:
  explicit ServerHarness(const CallerPolicy& policy, SteadyNow now = realSteadyNow())
      : server_(
            {.socketPath = dir_.file("helper.sock"), .now = std::move(now)}, policy,
            [this](const std::string&, const CallerVerdict&) {
              ++handled_;
              return std::string(kServed);
            },
            [this](const std::string& line) {
              std::lock_guard lock(mutex_);
              log_.push_back(line);
            }) {
    server_.bind();
    if (pipe(stop_) != 0) {
      throw std::runtime_error("pipe");
    }
    serving_ = std::thread([this] { server_.serve(stop_[0]); });
  }
  ~ServerHarness() {
    (void)!write(stop_[1], "x", 1);
    serving_.join();
    close(stop_[0]);
    close(stop_[1]);
  }

  std::string exchange(const std::string& line = R"({"op":"status"})") {
    return helperExchange(dir_.file("helper.sock"), line);
  }
  int connect() { return connectUnix(dir_.file("helper.sock")); }
  int handled() const { return handled_; }
  std::vector<std::string> log() {
    std::lock_guard lock(mutex_);
    return log_;
  }

 private:
  TempDir dir_;
  std::atomic<int> handled_ = 0;
  std::mutex mutex_;
  std::vector<std::string> log_;
  HelperServer server_;
  int stop_[2] = {-1, -1};
  std::thread serving_;
};

CallerIdentity knownCaller(uid_t uid) {
  CallerIdentity caller;
  caller.known = true;
  caller.uid = uid;
  caller.gid = uid;
  return caller;
}

CallerVerdict admitted(const CallerIdentity& caller) {
  CallerVerdict verdict;
  verdict.admitted = true;
  verdict.uid = caller.uid;
  verdict.gid = caller.gid;
  return verdict;
}

// Admits everyone; identifies each caller as the exec `accepted`, and
// reports `current` as the peer's process when read again.
class StampedPolicy : public CallerPolicy {
 public:
  CallerIdentity identify(int) const override {
    CallerIdentity caller = knownCaller(getuid());
    caller.stamp = kAccepted;
    return caller;
  }
  std::optional<CallerVerdict> quickVerdict(const CallerIdentity& caller) const override {
    return admitted(caller);
  }
  CallerVerdict judge(const CallerIdentity& caller) const override { return admitted(caller); }
  std::optional<ProcessStamp> currentStamp(int) const override {
    std::lock_guard lock(mutex_);
    ++reads_;
    return current_;
  }

  void becomes(std::optional<ProcessStamp> current) {
    std::lock_guard lock(mutex_);
    current_ = current;
  }
  int reads() const {
    std::lock_guard lock(mutex_);
    return reads_;
  }

  static constexpr ProcessStamp kAccepted{4242, 7};

 private:
  mutable std::mutex mutex_;
  std::optional<ProcessStamp> current_ = kAccepted;
  mutable int reads_ = 0;
};

TEST(HelperServerTest, ActsOnlyWhileThePeerIsStillTheProcessThatConnected) {
  StampedPolicy policy;
  ServerHarness server(policy);
  EXPECT_EQ(server.exchange(), kServed);
  EXPECT_EQ(policy.reads(), 1);
  // A connection that sends no request is never acted on: nothing to check.
  close(server.connect());
  EXPECT_EQ(server.exchange(), kServed);
  EXPECT_EQ(policy.reads(), 2);

  policy.becomes(ProcessStamp{4242, 8});  // the caller ran another program
  EXPECT_EQ(server.exchange(),
            R"j({"ok":false,"error":"the calling process ran another program after it )j"
            R"j(connected (pid 4242 version 7, now pid 4242 version 8)"})j");
  policy.becomes(ProcessStamp{5000, 1});  // another process holds the connection
  EXPECT_EQ(server.exchange(),
            R"j({"ok":false,"error":"the connection changed hands after it was accepted )j"
            R"j((pid 4242 version 7, now pid 5000 version 1)"})j");
  policy.becomes(std::nullopt);  // the peer cannot be read any more
  EXPECT_EQ(server.exchange(),
            R"({"ok":false,"error":"the calling process can no longer be identified"})");
  EXPECT_EQ(server.handled(), 2);
  EXPECT_EQ(server.log(),
            std::vector<std::string>{"refused uid " + std::to_string(getuid()) +
                                     ": the calling process ran another program after it "
                                     "connected (pid 4242 version 7, now pid 4242 version 8)"});
}

// The first caller is judged slowly (as a code signature or a directory
// lookup may be); every later one is admitted at no cost.
class SlowJudgePolicy : public CallerPolicy {
 public:
  CallerIdentity identify(int) const override { return knownCaller(identified_++ == 0 ? 1000 : 0); }
  std::optional<CallerVerdict> quickVerdict(const CallerIdentity& caller) const override {
    if (caller.uid == 0) {
      return admitted(caller);
    }
    return std::nullopt;
  }
  CallerVerdict judge(const CallerIdentity& caller) const override {
    judging_.set_value();
    released_.wait();
    return refusal(caller, "judged slowly, and refused");
  }

  std::future<void> judging() { return judging_.get_future(); }
  void release() { release_.set_value(); }

 private:
  mutable std::atomic<int> identified_ = 0;
  mutable std::promise<void> judging_;
  std::promise<void> release_;
  std::shared_future<void> released_ = release_.get_future().share();
};

TEST(HelperServerTest, JudgesSlowCallersOffTheAcceptingThread) {
  SlowJudgePolicy policy;
  std::future<void> judging = policy.judging();
  ServerHarness server(policy);
  int slow = server.connect();
  ASSERT_GE(slow, 0);
  judging.wait();
  // While the slow verdict is pending, the server accepts and serves others.
  for (int round = 0; round < 3; ++round) {
    EXPECT_EQ(server.exchange(), kServed);
  }
  policy.release();
  EXPECT_EQ(receiveLine(slow), R"({"ok":false,"error":"judged slowly, and refused"})");
  close(slow);
  EXPECT_EQ(server.handled(), 3);
  EXPECT_TRUE(eventually([&] {
    return server.log() == std::vector<std::string>{"refused uid 1000: judged slowly, and refused"};
  }));
}

// Refuses every caller at no cost, as the kernel-credentials policy refuses
// a user who is not allowed.
class RefusingPolicy : public CallerPolicy {
 public:
  CallerIdentity identify(int) const override { return knownCaller(1001); }
  std::optional<CallerVerdict> quickVerdict(const CallerIdentity& caller) const override {
    return refusal(caller, "caller uid 1001 is not allowed to use this helper");
  }
  CallerVerdict judge(const CallerIdentity& caller) const override { return *quickVerdict(caller); }
};

// The serving loop writes the minute's count when the minute is over, on
// the server's clock.
TEST(HelperServerTest, WritesTheRefusalCountWhenTheMinuteIsOver) {
  RefusingPolicy policy;
  std::atomic<int64_t> seconds = 0;
  ServerHarness server(policy, [&seconds] {
    return std::chrono::steady_clock::time_point(std::chrono::seconds(seconds.load()));
  });
  const std::string refused =
      R"({"ok":false,"error":"caller uid 1001 is not allowed to use this helper"})";
  for (int round = 0; round < 5; ++round) {
    EXPECT_EQ(server.exchange(), refused);
  }
  seconds = 61;
  // Any event wakes the loop (here one more refusal, counted anew); on an
  // idle daemon the wait ends with the minute.
  EXPECT_EQ(server.exchange(), refused);
  EXPECT_EQ(server.log(),
            (std::vector<std::string>{
                "refused uid 1001: caller uid 1001 is not allowed to use this helper",
                "refused uid 1001 4 more times in the last minute: caller uid 1001 is not "
                "allowed to use this helper"}));
  EXPECT_EQ(server.handled(), 0);
}

// A caller that tries while the daemon starts finds either no socket or one
// that takes its connection: never one that refuses it or is closed to it.
// (As root the mode cannot be seen; the umask shows it to any other user.)
TEST(HelperServerTest, TheSocketAppearsOnlyOnceItListensAndIsOpen) {
  TempDir dir;
  const std::string path = dir.file("helper.sock");
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  memcpy(address.sun_path, path.c_str(), path.size() + 1);
  StampedPolicy policy;
  mode_t previousMask = umask(077);
  std::vector<int> refusals;
  for (int round = 0; round < 300 && refusals.empty(); ++round) {
    HelperServer server({.socketPath = path}, policy, nullptr, [](const std::string&) {});
    std::atomic<bool> bound = false;
    std::thread caller([&] {
      for (bool last = false; !last;) {
        last = bound.load();
        int probe = socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK, 0);
        int result = ::connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address);
        int error = errno;
        close(probe);
        if (result != 0 && error != ENOENT && error != EAGAIN) {
          refusals.push_back(error);
        }
      }
    });
    server.bind();
    bound = true;
    caller.join();
  }
  umask(previousMask);
  EXPECT_TRUE(refusals.empty()) << strerror(refusals.front());
}

// What a daemon that died while binding leaves beside the path is cleared if
// it is a socket, and refused if it is anything else.
TEST(HelperServerTest, ClearsTheSocketADyingDaemonLeftBesideThePath) {
  TempDir dir;
  const std::string path = dir.file("helper.sock");
  StampedPolicy policy;
  {
    int leftover = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    memcpy(address.sun_path, (path + "~").c_str(), path.size() + 2);
    ASSERT_EQ(::bind(leftover, reinterpret_cast<const sockaddr*>(&address), sizeof address), 0);
    close(leftover);
  }
  {
    HelperServer server({.socketPath = path}, policy, nullptr, [](const std::string&) {});
    server.bind();
    int connection = connectUnix(path);
    EXPECT_GE(connection, 0);
    close(connection);
    EXPECT_NE(access((path + "~").c_str(), F_OK), 0);
  }
  { std::ofstream(path + "~") << "not ours"; }
  HelperServer server({.socketPath = path}, policy, nullptr, [](const std::string&) {});
  try {
    server.bind();
    ADD_FAILURE() << "bound beside a file that is not a socket";
  } catch (const std::runtime_error& error) {
    EXPECT_NE(std::string(error.what()).find("exists and is not a socket"), std::string::npos);
  }
  EXPECT_NE(access(path.c_str(), F_OK), 0);
}

}  // namespace
}  // namespace tarq::testing
