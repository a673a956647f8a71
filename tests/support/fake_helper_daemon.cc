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
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <mutex>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <utility>

namespace tarq::testing {
namespace {

using Json = nlohmann::json;

// A request is peeked at, not read, while it is decided on, so that a reply
// may close with the request unread. A longer line is decided on unseen.
constexpr size_t kPeekLimit = 64 * 1024;

std::optional<std::string> readWholeFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  if (!std::filesystem::is_regular_file(path) || !in) {
    return std::nullopt;
  }
  return std::string(std::istreambuf_iterator<char>(in), {});
}

std::string opOf(const Json& request) {
  return request.is_object() && request.contains("op") && request["op"].is_string()
             ? request["op"].get<std::string>()
             : std::string();
}

}  // namespace

FakeReply FakeReply::json(const nlohmann::json& reply) {
  return line(reply.dump());
}

FakeReply FakeReply::line(std::string text) {
  return FakeReply{.bytes = std::move(text) + "\n"};
}

struct FakeHelperDaemon::State {
  std::string socketPath;
  int listenFd = -1;
  // Written once to stop and never drained, so it wakes every later wait.
  int stopPipe[2] = {-1, -1};
  std::thread thread;

  mutable std::mutex mutex;
  mutable std::condition_variable requestArrived;
  FakeResponder responder;
  bool running = false;
  std::vector<Json> requests;
  std::vector<std::optional<std::string>> configsAtStart;

  // Waits up to `timeoutMs` (-1: no limit) for `events` on `fd` (-1: none).
  // Returns the events seen, 0 on time-out, -1 once the daemon is stopping.
  int await(int fd, short events, int timeoutMs) const {
    pollfd fds[2] = {{stopPipe[0], POLLIN, 0}, {fd, events, 0}};
    int ready;
    while ((ready = ::poll(fds, 2, timeoutMs)) < 0 && errno == EINTR) {
    }
    return fds[0].revents != 0 ? -1 : ready > 0 ? fds[1].revents : 0;
  }

  // Receives into `buffer` (peeking or not), waiting while nothing is there.
  // Returns the byte count, or 0 when the client or the daemon has gone.
  size_t receive(int fd, std::string& buffer, int flags) const {
    for (;;) {
      ssize_t n = ::recv(fd, buffer.data(), buffer.size(), flags | MSG_DONTWAIT);
      if (n >= 0 || (errno != EAGAIN && errno != EINTR)) {
        return n > 0 ? static_cast<size_t>(n) : 0;
      }
      if (await(fd, POLLIN, -1) < 0) {
        return 0;
      }
    }
  }

  // Peeks until a whole line (set without its feed) or more than kPeekLimit
  // bytes (set to null) are waiting. False when the client leaves first.
  bool peekLine(int fd, std::optional<std::string>* line) const {
    std::string buffer(kPeekLimit + 1, '\0');
    for (size_t size; (size = receive(fd, buffer, MSG_PEEK)) > 0;) {
      auto end = buffer.begin() + static_cast<ptrdiff_t>(size);
      auto feed = std::find(buffer.begin(), end, '\n');
      if (feed != end || size > kPeekLimit) {
        *line = feed != end ? std::optional(std::string(buffer.begin(), feed)) : std::nullopt;
        return true;
      }
      // Part of a line waits, so poll would return at once: pause instead.
      if (await(fd, POLLRDHUP, 1) != 0) {
        return false;
      }
    }
    return false;
  }

  // Reads through the line feed; null when the line is cut off.
  std::optional<std::string> readLine(int fd) const {
    std::string line, chunk(65536, '\0');
    for (size_t size; (size = receive(fd, chunk, 0)) > 0;) {
      auto end = chunk.begin() + static_cast<ptrdiff_t>(size);
      auto feed = std::find(chunk.begin(), end, '\n');
      line.append(chunk.begin(), feed);
      if (feed != end) {
        return line;
      }
    }
    return std::nullopt;
  }

  Json record(const std::string& line) {
    Json request = Json::parse(line, nullptr, /*allow_exceptions=*/false);
    if (request.is_discarded()) {
      request = nullptr;
    }
    bool isStart = opOf(request) == "start";
    std::optional<std::string> config;
    if (isStart && request.contains("config_path") && request["config_path"].is_string()) {
      config = readWholeFile(request["config_path"].get<std::string>());
    }
    std::lock_guard lock(mutex);
    requests.push_back(request);
    if (isStart) {
      configsAtStart.push_back(std::move(config));
    }
    requestArrived.notify_all();
    return request;
  }

  FakeReply defaultReply(const Json& request) {
    std::string op = opOf(request);
    std::lock_guard lock(mutex);
    if (op == "status") {
      return FakeReply::json({{"ok", true},
                              {"running", running},
                              {"pid", running ? kEnginePid : 0},
                              {"build", "fake-1"}});
    }
    // A real daemon reads the configuration before it answers.
    if (op == "start" && !configsAtStart.back()) {
      return FakeReply::json({{"ok", false}, {"error", "cannot read the configuration file"}});
    }
    if (op != "start" && op != "stop") {
      return FakeReply::json({{"ok", false}, {"error", "unknown command"}});
    }
    running = op == "start";
    return FakeReply::json({{"ok", true}});
  }

  void handle(int fd) {
    std::optional<std::string> line;
    if (!peekLine(fd, &line)) {
      return;
    }
    FakeResponder respond;
    {
      std::lock_guard lock(mutex);
      respond = responder;
    }
    Json request = line ? record(*line) : Json(nullptr);
    std::optional<FakeReply> reply = respond ? respond(request) : std::nullopt;
    if (reply && reply->closeBeforeReading) {
      return;  // closing with the request unread resets the connection
    }
    std::optional<std::string> read = readLine(fd);
    if (!read) {
      return;
    }
    if (!line) {
      request = record(*read);
    }
    if (!reply) {
      reply = defaultReply(request);
    }
    if (reply->delay.count() > 0 && await(-1, 0, static_cast<int>(reply->delay.count())) < 0) {
      return;
    }
    if (reply->silent) {
      std::string sink(256, '\0');
      while (receive(fd, sink, 0) > 0) {  // until the client or the daemon goes
      }
      return;
    }
    const std::string& bytes = reply->bytes;
    for (size_t sent = 0; sent < bytes.size();) {
      ssize_t n = ::send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
      if (n > 0) {
        sent += static_cast<size_t>(n);
      } else if ((errno != EAGAIN && errno != EINTR) || await(fd, POLLOUT, -1) < 0) {
        return;  // the client has gone; what it missed does not matter
      }
    }
  }

  void serve() {
    while (await(listenFd, POLLIN, -1) >= 0) {
      int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC);
      if (fd >= 0) {
        handle(fd);
        ::close(fd);
      }
    }
  }
};

FakeHelperDaemon::FakeHelperDaemon(std::string socketPath) : state_(std::make_shared<State>()) {
  State& state = *state_;
  state.socketPath = std::move(socketPath);
  sockaddr_un address{};
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
  state.listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (state.listenFd < 0 ||
      ::bind(state.listenFd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(state.listenFd, 16) != 0 || ::pipe2(state.stopPipe, O_CLOEXEC) != 0) {
    int error = errno;
    for (int fd : {state.listenFd, state.stopPipe[0], state.stopPipe[1]}) {
      if (fd >= 0) {
        ::close(fd);
      }
    }
    throw std::system_error(error, std::generic_category(),
                            "fake helper daemon: bind " + state.socketPath);
  }
  // The thread holds the state, so nothing it touches goes before the join.
  state.thread = std::thread([shared = state_] { shared->serve(); });
}

FakeHelperDaemon::~FakeHelperDaemon() {
  State& state = *state_;
  (void)!::write(state.stopPipe[1], "x", 1);
  state.thread.join();
  ::unlink(state.socketPath.c_str());
  for (int fd : {state.listenFd, state.stopPipe[0], state.stopPipe[1]}) {
    ::close(fd);
  }
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
  std::vector<std::string> ops;
  for (const Json& request : requests()) {
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

}  // namespace tarq::testing
