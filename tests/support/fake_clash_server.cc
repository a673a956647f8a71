#include "tests/support/fake_clash_server.h"

#include <errno.h>
#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <thread>
#include <utility>

namespace tarq::testing {
namespace {

using Json = nlohmann::json;

constexpr char kJson[] = "application/json; charset=utf-8";
constexpr int64_t kMemory = 12582912;
constexpr int kTimeoutMilliseconds = 5000;

// Replies end with a line feed, as Go's JSON encoder writes them.
void answer(httplib::Response& response, int status, const std::string& message) {
  response.status = status;
  response.set_content(Json{{"message", message}}.dump() + "\n", kJson);
}

// One connection as httplib reads and writes it, buffered as httplib's own
// stream is (it reads headers a byte at a time). Every wait also watches the
// server's stop pipe, so a stopped server reads no further request and sends
// no pending answer.
class Connection : public httplib::Stream {
 public:
  Connection(int socket, int stopFd) : socket_(socket), stopFd_(stopFd) {}

  // Whether a request (or the client's close) comes before the server stops.
  bool awaitRequest() const { return begin_ < end_ || await(POLLIN, -1); }

  bool is_readable() const override { return begin_ < end_ || await(POLLIN, kTimeoutMilliseconds); }
  bool is_writable() const override { return await(POLLOUT, kTimeoutMilliseconds); }

  ssize_t read(char* bytes, size_t size) override {
    if (begin_ == end_) {
      ssize_t received = is_readable() ? ::recv(socket_, buffer_, sizeof buffer_, 0) : -1;
      if (received <= 0) {
        return received;
      }
      begin_ = 0;
      end_ = static_cast<size_t>(received);
    }
    const size_t count = std::min(size, end_ - begin_);
    std::memcpy(bytes, buffer_ + begin_, count);
    begin_ += count;
    return static_cast<ssize_t>(count);
  }

  ssize_t write(const char* bytes, size_t size) override {
    return is_writable() ? ::send(socket_, bytes, size, MSG_NOSIGNAL) : -1;
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    ::getpeername(socket_, reinterpret_cast<sockaddr*>(&peer), &length);
    ip = "127.0.0.1";
    port = ntohs(peer.sin_port);
  }
  void get_local_ip_and_port(std::string&, int&) const override {}
  socket_t socket() const override { return socket_; }

 private:
  bool await(short events, int timeoutMilliseconds) const {
    pollfd fds[2] = {{stopFd_, POLLIN, 0}, {socket_, events, 0}};
    while (::poll(fds, 2, timeoutMilliseconds) < 0 && errno == EINTR) {
    }
    return fds[0].revents == 0 && fds[1].revents != 0;
  }

  const int socket_;
  const int stopFd_;
  char buffer_[4096];
  size_t begin_ = 0;
  size_t end_ = 0;
};

// httplib's own loop would hold an idle keep-alive connection (and with it
// stop()) until its time-out; this one ends every connection once stopped.
class StoppableServer : public httplib::Server {
 public:
  StoppableServer() {
    if (::pipe2(stopPipe_, O_CLOEXEC) != 0) {
      throw std::runtime_error("fake clash server: pipe");
    }
    // Like the engine, keep connections open for as long as the client wants.
    set_keep_alive_max_count(std::numeric_limits<size_t>::max());
  }
  ~StoppableServer() override {
    ::close(stopPipe_[0]);
    ::close(stopPipe_[1]);
  }

  // Ends the listening loop and every connection. The pipe is never drained,
  // so it wakes every wait from now on.
  void stopServing() {
    (void)!::write(stopPipe_[1], "x", 1);
    stop();
  }

 private:
  bool process_and_close_socket(socket_t sock) override {
    // As the engine does: small replies go out at once.
    const int on = 1;
    ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    Connection connection(sock, stopPipe_[0]);
    bool closed = false;
    while (!closed && connection.awaitRequest() &&
           process_request(connection, false, closed, nullptr)) {
    }
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return true;
  }

  int stopPipe_[2] = {-1, -1};
};

}  // namespace

std::optional<std::string> RecordedRequest::header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (::strcasecmp(key.c_str(), name.c_str()) == 0) {
      return value;
    }
  }
  return std::nullopt;
}

struct FakeClashServer::State {
  State(std::string secretIn, std::vector<std::string> outboundsIn)
      : secret(std::move(secretIn)),
        outbounds(std::move(outboundsIn)),
        selected(outbounds.empty() ? "" : outbounds.front()) {}

  // Records the request, then answers 401 without the secret, or the
  // override set for it. Returns whether it answered.
  bool screen(const httplib::Request& request, httplib::Response& response) {
    RecordedRequest recorded{request.method, request.path, {}, request.body, request.remote_port};
    for (const auto& [name, value] : request.headers) {
      if (!name.starts_with("REMOTE_") && !name.starts_with("LOCAL_")) {  // added by httplib
        recorded.headers.emplace(name, value);
      }
    }
    std::unique_lock lock(mutex);
    requests.push_back(std::move(recorded));
    // The engine's rule: exactly "Bearer", one space, the secret.
    if (!secret.empty() && request.get_header_value("Authorization") != "Bearer " + secret) {
      answer(response, 401, "Unauthorized");
      return true;
    }
    auto found = overrides.find({request.method, request.path});
    if (found == overrides.end()) {
      return false;
    }
    const FakeResponse override = found->second;
    stopping.wait_for(lock, override.delay, [this] { return stopped; });
    response.status = override.status;
    if (!override.body.empty()) {
      response.set_content(override.body, kJson);
    }
    return true;
  }

  void answerConnections(httplib::Response& response) {
    std::unique_lock lock(mutex);
    std::shared_ptr<const std::string> body = connectionsBody;
    if (!body) {  // keys in the engine's order
      body = std::make_shared<const std::string>(
          R"({"connections":[],"downloadTotal":)" + std::to_string(down) + R"(,"memory":)" +
          std::to_string(kMemory) + R"(,"uploadTotal":)" + std::to_string(up) + "}\n");
    }
    lock.unlock();
    if (body->empty()) {
      response.set_content(std::string(), kJson);
      return;
    }
    // Handed over without a copy, which would weigh on the benchmarks.
    response.set_content_provider(body->size(), kJson,
                                  [body](size_t offset, size_t length, httplib::DataSink& sink) {
                                    return sink.write(body->data() + offset, length);
                                  });
  }

  // The engine's order of checks: the group, the body (decoded as Go decodes
  // it into {Name string}), the member.
  void answerSelect(const httplib::Request& request, httplib::Response& response) {
    if (request.matches[1] != "tarq") {
      return answer(response, 404, "Resource not found");
    }
    const Json body = Json::parse(request.body, nullptr, false);
    const Json name = body.is_object() ? body.value("name", Json()) : Json();
    if (!(body.is_object() || body.is_null()) || !(name.is_null() || name.is_string())) {
      return answer(response, 400, "Body invalid");
    }
    const std::string member = name.is_string() ? name.get<std::string>() : "";
    if (std::find(outbounds.begin(), outbounds.end(), member) == outbounds.end()) {
      return answer(response, 400, "Selector update error: not found");
    }
    std::lock_guard lock(mutex);
    selected = member;
    response.status = 204;
  }

  const std::string secret;
  const std::vector<std::string> outbounds;
  StoppableServer server;
  std::thread thread;
  int port = 0;

  mutable std::mutex mutex;
  std::condition_variable stopping;  // wakes delayed answers
  bool stopped = false;
  std::atomic<bool> stopCalled{false};
  int64_t up = 0;
  int64_t down = 0;
  std::shared_ptr<const std::string> connectionsBody;
  std::map<std::pair<std::string, std::string>, FakeResponse> overrides;
  std::string selected;
  std::vector<RecordedRequest> requests;
};

FakeClashServer::FakeClashServer(std::string secret, std::vector<std::string> outbounds)
    : state_(std::make_shared<State>(std::move(secret), std::move(outbounds))) {
  State& state = *state_;
  StoppableServer& server = state.server;
  // Each open keep-alive connection holds a thread.
  server.new_task_queue = [] { return new httplib::ThreadPool(16); };
  // Every request is screened first; what no route takes is not found.
  const auto route = [&state](auto answer) {
    return [&state, answer](const httplib::Request& request, httplib::Response& response) {
      if (!state.screen(request, response)) {
        answer(request, response);
      }
    };
  };
  server.Get("/version", route([](const auto&, auto& response) {
               response.set_content(R"({"version":"sing-box 1.11.4","premium":true,"meta":true})"
                                    "\n",
                                    kJson);
             }));
  server.Get("/connections",
             route([&state](const auto&, auto& response) { state.answerConnections(response); }));
  server.Put("/proxies/([^/]+)", route([&state](const auto& request, auto& response) {
               state.answerSelect(request, response);
             }));
  const auto notFound = route([](const auto&, auto& response) {
    response.status = 404;
    response.set_content("404 page not found\n", "text/plain; charset=utf-8");
  });
  server.Get(".*", notFound).Put(".*", notFound).Post(".*", notFound).Delete(".*", notFound);

  state.port = server.bind_to_any_port("127.0.0.1");
  if (state.port <= 0) {
    throw std::runtime_error("fake clash server: cannot listen on 127.0.0.1");
  }
  state.thread = std::thread([&server] { server.listen_after_bind(); });
  // stop() must not overtake the loop's start, or the loop would never end.
  while (!server.is_running()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

FakeClashServer::~FakeClashServer() {
  stop();
}

int FakeClashServer::port() const {
  return state_->port;
}

void FakeClashServer::setTotals(int64_t up, int64_t down) {
  std::lock_guard lock(state_->mutex);
  state_->up = up;
  state_->down = down;
  state_->connectionsBody.reset();
}

void FakeClashServer::setConnectionsBody(std::string body) {
  auto shared = std::make_shared<const std::string>(std::move(body));
  std::lock_guard lock(state_->mutex);
  state_->connectionsBody = std::move(shared);
}

void FakeClashServer::overrideResponse(const std::string& method, const std::string& path,
                                       FakeResponse response) {
  std::lock_guard lock(state_->mutex);
  state_->overrides[{method, path}] = std::move(response);
}

void FakeClashServer::clearOverrides() {
  std::lock_guard lock(state_->mutex);
  state_->overrides.clear();
}

std::string FakeClashServer::selected() const {
  std::lock_guard lock(state_->mutex);
  return state_->selected;
}

std::vector<RecordedRequest> FakeClashServer::requests() const {
  std::lock_guard lock(state_->mutex);
  return state_->requests;
}

size_t FakeClashServer::requestCount(const std::string& method, const std::string& path) const {
  std::lock_guard lock(state_->mutex);
  return static_cast<size_t>(std::count_if(
      state_->requests.begin(), state_->requests.end(),
      [&](const RecordedRequest& r) { return r.method == method && r.path == path; }));
}

void FakeClashServer::stop() {
  State& state = *state_;
  if (state.stopCalled.exchange(true)) {
    return;
  }
  // The stop pipe first: a delayed answer woken below must find its
  // connection already closed to writing, or it would still go out.
  state.server.stopServing();
  {
    std::lock_guard lock(state.mutex);
    state.stopped = true;
  }
  state.stopping.notify_all();
  state.thread.join();
}

}  // namespace tarq::testing
