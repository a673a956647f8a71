#include "tests/support/fake_helper_daemon.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
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

constexpr size_t kLineLimit = 64 * 1024;

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

sockaddr_un addressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.size() >= sizeof(address.sun_path)) {
    throw std::invalid_argument("fake helper daemon: socket path too long: " + path);
  }
  std::memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

}  // namespace

FakeReply FakeReply::json(const nlohmann::json& reply) {
  return line(reply.dump());
}

FakeReply FakeReply::line(std::string text) {
  return FakeReply{.bytes = std::move(text) + "\n"};
}

// Blocking I/O throughout: the destructor wakes the thread by shutting the
// listening socket and the connection down.
struct FakeHelperDaemon::State {
  std::string socketPath;
  int listenFd = -1;
  std::thread thread;

  mutable std::mutex mutex;
  mutable std::condition_variable requestArrived;
  bool stopping = false;
  int connection = -1;
  FakeResponder responder;
  bool running = false;
  std::vector<Json> requests;
  std::vector<std::optional<std::string>> configsAtStart;

  // The first line without its feed; "" once past kLineLimit; null when the
  // client or the daemon goes first.
  static std::optional<std::string> readLine(int fd) {
    std::string line;
    char chunk[4096];
    for (ssize_t n; (n = ::recv(fd, chunk, sizeof chunk, 0)) > 0;) {
      line.append(chunk, static_cast<size_t>(n));
      if (size_t feed = line.find('\n'); feed != std::string::npos) {
        return line.substr(0, feed);
      }
      if (line.size() > kLineLimit) {
        return "";
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
    std::optional<std::string> line = readLine(fd);
    if (!line) {
      return;
    }
    Json request = record(*line);
    FakeResponder respond;
    {
      std::lock_guard lock(mutex);
      respond = responder;
    }
    std::optional<FakeReply> reply = respond ? respond(request) : std::nullopt;
    if (!reply) {
      reply = defaultReply(request);
    }
    if (reply->closeBeforeReading) {
      return;
    }
    if (reply->silent) {
      while (readLine(fd)) {  // until the client or the daemon goes
      }
      return;
    }
    // A client that has gone misses the rest, which does not matter.
    for (size_t sent = 0; sent < reply->bytes.size();) {
      ssize_t n = ::send(fd, reply->bytes.data() + sent, reply->bytes.size() - sent, MSG_NOSIGNAL);
      if (n <= 0) {
        return;
      }
      sent += static_cast<size_t>(n);
    }
  }

  // Publishes the connection for the destructor to shut down; false once stopping.
  bool setConnection(int fd) {
    std::lock_guard lock(mutex);
    connection = stopping ? -1 : fd;
    return !stopping;
  }

  // accept fails once the destructor has shut the listening socket down.
  void serve() {
    for (int fd;
         (fd = ::accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC)) >= 0 || errno == EINTR;) {
      if (fd >= 0 && setConnection(fd)) {
        handle(fd);
        setConnection(-1);
      }
      if (fd >= 0) {
        ::close(fd);
      }
    }
  }
};

FakeHelperDaemon::FakeHelperDaemon(std::string socketPath) : state_(std::make_shared<State>()) {
  State& state = *state_;
  state.socketPath = std::move(socketPath);
  const sockaddr_un address = addressOf(state.socketPath);
  state.listenFd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (state.listenFd < 0 ||
      ::bind(state.listenFd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0 ||
      ::listen(state.listenFd, 16) != 0) {
    std::system_error error(errno, std::generic_category(),
                            "fake helper daemon: bind " + state.socketPath);
    ::close(state.listenFd);
    throw error;
  }
  // The thread holds the state, so nothing it touches goes before the join.
  state.thread = std::thread([shared = state_] { shared->serve(); });
}

FakeHelperDaemon::~FakeHelperDaemon() {
  State& state = *state_;
  {
    std::lock_guard lock(state.mutex);
    state.stopping = true;
    if (state.connection >= 0) {
      ::shutdown(state.connection, SHUT_RDWR);
    }
  }
  ::shutdown(state.listenFd, SHUT_RDWR);  // wakes accept
  state.thread.join();
  ::unlink(state.socketPath.c_str());
  ::close(state.listenFd);
}

void FakeHelperDaemon::setResponder(FakeResponder responder) {
  std::lock_guard lock(state_->mutex);
  state_->responder = std::move(responder);
}

void FakeHelperDaemon::setRunning(bool running) {
  std::lock_guard lock(state_->mutex);
  state_->running = running;
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
