#include "tests/support/fake_helper_daemon.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

namespace tarq::testing {

namespace {

using Json = nlohmann::json;
using Clock = std::chrono::steady_clock;

// A request line is looked at in the socket (peeked) before it is read, so
// that a reply may close the connection with the request still unread, as a
// daemon that never reads would. Longer lines, or lines that stop arriving,
// are decided on without their content.
constexpr size_t kPeekLimit = 64 * 1024;
constexpr std::chrono::milliseconds kStallLimit{500};
constexpr std::chrono::milliseconds kPeekPause{1};

[[noreturn]] void fail(const std::string& what, int error) {
  throw std::system_error(error, std::generic_category(), "fake helper daemon: " + what);
}

std::optional<std::string> readWholeFile(const std::string& path) {
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    return std::nullopt;
  }
  std::string content;
  char buffer[4096];
  for (;;) {
    ssize_t n = ::read(fd, buffer, sizeof(buffer));
    if (n < 0) {
      ::close(fd);
      return std::nullopt;
    }
    if (n == 0) {
      break;
    }
    content.append(buffer, static_cast<size_t>(n));
  }
  ::close(fd);
  return content;
}

std::string opOf(const Json& request) {
  if (request.is_object()) {
    auto it = request.find("op");
    if (it != request.end() && it->is_string()) {
      return it->get<std::string>();
    }
  }
  return std::string();
}

// A responder that throws must not take the serving thread (and with it the
// test program) down: the connection is closed unanswered and the test sees
// the failure at the client.
std::optional<FakeReply> ask(const FakeResponder& respond, const Json& request) {
  try {
    return respond(request);
  } catch (const std::exception& error) {
    std::fprintf(stderr, "fake helper daemon: responder threw: %s\n", error.what());
  } catch (...) {
    std::fprintf(stderr, "fake helper daemon: responder threw\n");
  }
  FakeReply hangUp;
  hangUp.closeBeforeReading = true;
  return hangUp;
}

}  // namespace

FakeReply FakeReply::json(const nlohmann::json& reply) {
  return line(reply.dump());
}

FakeReply FakeReply::line(std::string text) {
  FakeReply reply;
  reply.bytes = std::move(text);
  reply.bytes.push_back('\n');
  return reply;
}

struct FakeHelperDaemon::State {
  std::string socketPath;
  int listenFd = -1;
  // Written once to stop; never drained, so it stays readable and wakes every
  // wait of the serving thread.
  int stopRead = -1;
  int stopWrite = -1;
  std::thread thread;

  mutable std::mutex mutex;
  mutable std::condition_variable requestArrived;
  FakeResponder responder;
  bool running = false;
  std::vector<Json> requests;
  std::vector<std::optional<std::string>> configsAtStart;

  void serve();
  void handle(int fd);

  // Waits for `events` on `fd` until `timeout` (negative: no limit). Returns
  // the events seen, or 0 when the time ran out or the daemon is stopping
  // (`stopping` tells which).
  short waitFor(int fd, short events, int timeoutMs, bool* stopping) const;
  bool sleepFor(std::chrono::milliseconds duration) const;
  bool stopRequested() const;

  enum class PeekResult { line, overlong, gone };
  PeekResult peekLine(int fd, std::string* line) const;
  bool consume(int fd, size_t count) const;
  bool readLine(int fd, std::string* line) const;
  void sendAll(int fd, const std::string& bytes) const;
  void holdUntilClientLeaves(int fd) const;

  Json record(const std::string& line);
  FakeReply defaultReply(const Json& request);
};

FakeHelperDaemon::FakeHelperDaemon(std::string socketPath) : state_(std::make_shared<State>()) {
  State& state = *state_;
  state.socketPath = std::move(socketPath);

  sockaddr_un address;
  std::memset(&address, 0, sizeof(address));
  address.sun_family = AF_UNIX;
  if (state.socketPath.size() >= sizeof(address.sun_path)) {
    throw std::invalid_argument("fake helper daemon: socket path too long: " + state.socketPath);
  }
  std::memcpy(address.sun_path, state.socketPath.c_str(), state.socketPath.size() + 1);

  // A socket left behind by an earlier daemon is replaced; anything else at
  // the path is not ours to remove, and bind reports it.
  struct stat info;
  if (::lstat(state.socketPath.c_str(), &info) == 0 && S_ISSOCK(info.st_mode)) {
    ::unlink(state.socketPath.c_str());
  }

  int pipeFds[2];
  if (::pipe2(pipeFds, O_CLOEXEC) != 0) {
    fail("pipe", errno);
  }
  state.stopRead = pipeFds[0];
  state.stopWrite = pipeFds[1];

  state.listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (state.listenFd < 0) {
    int error = errno;
    ::close(state.stopRead);
    ::close(state.stopWrite);
    fail("socket", error);
  }
  if (::bind(state.listenFd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(state.listenFd, 16) != 0) {
    int error = errno;
    ::close(state.listenFd);
    ::close(state.stopRead);
    ::close(state.stopWrite);
    fail("bind " + state.socketPath, error);
  }
  // The thread holds the state strongly, so nothing it touches goes away
  // before it has been joined.
  state.thread = std::thread([shared = state_] { shared->serve(); });
}

FakeHelperDaemon::~FakeHelperDaemon() {
  State& state = *state_;
  char byte = 1;
  while (::write(state.stopWrite, &byte, 1) < 0 && errno == EINTR) {
  }
  state.thread.join();
  ::close(state.listenFd);
  ::unlink(state.socketPath.c_str());
  ::close(state.stopRead);
  ::close(state.stopWrite);
}

const std::string& FakeHelperDaemon::socketPath() const {
  return state_->socketPath;
}

void FakeHelperDaemon::setResponder(FakeResponder responder) {
  std::lock_guard lock(state_->mutex);
  state_->responder = std::move(responder);
}

void FakeHelperDaemon::setRunning(bool running) {
  std::lock_guard lock(state_->mutex);
  state_->running = running;
}

bool FakeHelperDaemon::running() const {
  std::lock_guard lock(state_->mutex);
  return state_->running;
}

std::vector<nlohmann::json> FakeHelperDaemon::requests() const {
  std::lock_guard lock(state_->mutex);
  return state_->requests;
}

std::vector<std::string> FakeHelperDaemon::ops() const {
  std::lock_guard lock(state_->mutex);
  std::vector<std::string> ops;
  for (const Json& request : state_->requests) {
    ops.push_back(opOf(request));
  }
  return ops;
}

std::vector<std::optional<std::string>> FakeHelperDaemon::configsAtStart() const {
  std::lock_guard lock(state_->mutex);
  return state_->configsAtStart;
}

bool FakeHelperDaemon::waitForRequests(size_t count, std::chrono::milliseconds timeout) const {
  std::unique_lock lock(state_->mutex);
  return state_->requestArrived.wait_for(lock, timeout,
                                         [&] { return state_->requests.size() >= count; });
}

// ---- The serving thread ----------------------------------------------------

bool FakeHelperDaemon::State::stopRequested() const {
  pollfd stop{stopRead, POLLIN, 0};
  return ::poll(&stop, 1, 0) > 0;
}

short FakeHelperDaemon::State::waitFor(int fd, short events, int timeoutMs, bool* stopping) const {
  *stopping = false;
  pollfd fds[2] = {{stopRead, POLLIN, 0}, {fd, events, 0}};
  nfds_t count = fd >= 0 ? 2 : 1;
  for (;;) {
    int ready = ::poll(fds, count, timeoutMs);
    if (ready < 0 && errno == EINTR) {
      continue;
    }
    if (ready <= 0) {
      return 0;
    }
    if (fds[0].revents != 0) {
      *stopping = true;
      return 0;
    }
    return fds[1].revents;
  }
}

bool FakeHelperDaemon::State::sleepFor(std::chrono::milliseconds duration) const {
  auto deadline = Clock::now() + duration;
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
      return true;
    }
    bool stopping = false;
    waitFor(-1, 0, static_cast<int>(std::min<int64_t>(left.count(), 1000)), &stopping);
    if (stopping) {
      return false;
    }
  }
}

void FakeHelperDaemon::State::serve() {
  for (;;) {
    bool stopping = false;
    short events = waitFor(listenFd, POLLIN, -1, &stopping);
    if (stopping) {
      return;
    }
    if ((events & POLLIN) == 0) {
      continue;
    }
    int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
      continue;
    }
    handle(fd);
    ::close(fd);
  }
}

FakeHelperDaemon::State::PeekResult FakeHelperDaemon::State::peekLine(int fd,
                                                                      std::string* line) const {
  std::string buffer(kPeekLimit + 1, '\0');
  size_t lastSize = 0;
  auto lastGrowth = Clock::now();
  for (;;) {
    bool stopping = false;
    short events = waitFor(fd, POLLIN | POLLRDHUP, -1, &stopping);
    if (stopping) {
      return PeekResult::gone;
    }
    ssize_t n = ::recv(fd, buffer.data(), buffer.size(), MSG_PEEK | MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      continue;
    }
    if (n <= 0) {
      return PeekResult::gone;
    }
    auto size = static_cast<size_t>(n);
    auto end = buffer.begin() + n;
    auto feed = std::find(buffer.begin(), end, '\n');
    if (feed != end) {
      line->assign(buffer.begin(), feed);
      return PeekResult::line;
    }
    if (size > kPeekLimit) {
      return PeekResult::overlong;
    }
    if ((events & (POLLRDHUP | POLLHUP | POLLERR)) != 0) {
      return PeekResult::gone;  // the client left without finishing its line
    }
    if (size != lastSize) {
      lastSize = size;
      lastGrowth = Clock::now();
    } else if (Clock::now() - lastGrowth > kStallLimit) {
      return PeekResult::overlong;
    }
    // Data is waiting, so poll would return at once: pause instead.
    if (!sleepFor(kPeekPause)) {
      return PeekResult::gone;
    }
  }
}

bool FakeHelperDaemon::State::consume(int fd, size_t count) const {
  std::string sink(std::min<size_t>(count, 65536), '\0');
  while (count > 0) {
    ssize_t n = ::recv(fd, sink.data(), std::min(count, sink.size()), MSG_DONTWAIT);
    if (n > 0) {
      count -= static_cast<size_t>(n);
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      return false;
    }
    bool stopping = false;
    waitFor(fd, POLLIN, -1, &stopping);
    if (stopping) {
      return false;
    }
  }
  return true;
}

bool FakeHelperDaemon::State::readLine(int fd, std::string* line) const {
  line->clear();
  char chunk[4096];
  for (;;) {
    // Peek first and take no byte past the line feed.
    ssize_t n = ::recv(fd, chunk, sizeof(chunk), MSG_PEEK | MSG_DONTWAIT);
    if (n > 0) {
      auto* end = chunk + n;
      auto* feed = std::find(chunk, end, '\n');
      line->append(chunk, feed);
      bool complete = feed != end;
      if (!consume(fd, static_cast<size_t>(feed - chunk) + (complete ? 1 : 0))) {
        return false;
      }
      if (complete) {
        return true;
      }
      continue;
    }
    if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      return false;
    }
    bool stopping = false;
    waitFor(fd, POLLIN, -1, &stopping);
    if (stopping) {
      return false;
    }
  }
}

void FakeHelperDaemon::State::sendAll(int fd, const std::string& bytes) const {
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
      bool stopping = false;
      waitFor(fd, POLLOUT, -1, &stopping);
      if (stopping) {
        return;
      }
      continue;
    }
    return;  // the client has gone; what it missed does not matter
  }
}

void FakeHelperDaemon::State::holdUntilClientLeaves(int fd) const {
  char sink[256];
  for (;;) {
    bool stopping = false;
    waitFor(fd, POLLIN | POLLRDHUP, -1, &stopping);
    if (stopping) {
      return;
    }
    ssize_t n = ::recv(fd, sink, sizeof(sink), MSG_DONTWAIT);
    if (n == 0 || (n < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      return;
    }
  }
}

Json FakeHelperDaemon::State::record(const std::string& line) {
  Json request = Json::parse(line, nullptr, /*allow_exceptions=*/false);
  if (request.is_discarded()) {
    request = nullptr;
  }
  std::optional<std::string> config;
  bool isStart = opOf(request) == "start";
  if (isStart) {
    auto path = request.find("config_path");
    if (path != request.end() && path->is_string()) {
      config = readWholeFile(path->get<std::string>());
    }
  }
  {
    std::lock_guard lock(mutex);
    requests.push_back(request);
    if (isStart) {
      configsAtStart.push_back(std::move(config));
    }
  }
  requestArrived.notify_all();
  return request;
}

FakeReply FakeHelperDaemon::State::defaultReply(const Json& request) {
  std::string op = opOf(request);
  std::lock_guard lock(mutex);
  if (op == "status") {
    return FakeReply::json({{"ok", true},
                            {"running", running},
                            {"pid", running ? FakeHelperDaemon::kEnginePid : 0},
                            {"build", "fake-1"}});
  }
  if (op == "start") {
    // A real daemon reads the configuration before it answers; one that finds
    // no file cannot start the engine.
    if (configsAtStart.empty() || !configsAtStart.back().has_value()) {
      return FakeReply::json({{"ok", false}, {"error", "cannot read the configuration file"}});
    }
    running = true;
    return FakeReply::json({{"ok", true}});
  }
  if (op == "stop") {
    running = false;
    return FakeReply::json({{"ok", true}});
  }
  return FakeReply::json({{"ok", false}, {"error", "unknown command"}});
}

void FakeHelperDaemon::State::handle(int fd) {
  std::string line;
  PeekResult peeked = peekLine(fd, &line);
  if (peeked == PeekResult::gone) {
    return;
  }
  FakeResponder respond;
  {
    std::lock_guard lock(mutex);
    respond = responder;
  }

  std::optional<FakeReply> reply;
  Json request;
  if (peeked == PeekResult::line) {
    request = record(line);
    if (respond) {
      reply = ask(respond, request);
    }
    if (reply && reply->closeBeforeReading) {
      return;
    }
    if (!consume(fd, line.size() + 1)) {
      return;
    }
  } else {
    // Too long (or too slow) to look at first: decide without it.
    if (respond) {
      reply = ask(respond, Json(nullptr));
    }
    if (reply && reply->closeBeforeReading) {
      return;
    }
    if (!readLine(fd, &line)) {
      return;
    }
    request = record(line);
  }
  if (!reply) {
    reply = defaultReply(request);
  }

  if (reply->delay.count() > 0 && !sleepFor(reply->delay)) {
    return;
  }
  if (reply->silent) {
    holdUntilClientLeaves(fd);
    return;
  }
  sendAll(fd, reply->bytes);
}

}  // namespace tarq::testing
