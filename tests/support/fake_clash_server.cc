#include "tests/support/fake_clash_server.h"

#include <arpa/inet.h>
#include <errno.h>
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
#include <set>
#include <stdexcept>
#include <thread>
#include <utility>

namespace tarq::testing {
namespace {

constexpr char kJson[] = "application/json; charset=utf-8";
constexpr char kSelectorGroup[] = "tarq";
constexpr char kVersionReply[] = R"({"version":"sing-box 1.11.4","premium":true,"meta":true})";
constexpr int64_t kMemory = 12582912;
// Threads serving connections; each open keep-alive connection holds one.
constexpr size_t kServingThreads = 16;

// Headers that httplib adds to a request itself; they were never sent.
bool addedByServer(const std::string& name) {
  for (const char* added : {"REMOTE_ADDR", "REMOTE_PORT", "LOCAL_ADDR", "LOCAL_PORT"}) {
    if (name == added) {
      return true;
    }
  }
  return false;
}

// Replies end with a line feed, as Go's JSON encoder writes them.
std::string messageReply(const std::string& message) {
  return nlohmann::json{{"message", message}}.dump() + "\n";
}

// One accepted connection as httplib reads and writes it, buffered like
// httplib's own socket stream.
class ConnectionStream : public httplib::Stream {
 public:
  ConnectionStream(int socket, int timeoutMilliseconds)
      : socket_(socket), timeoutMilliseconds_(timeoutMilliseconds) {}

  bool hasBuffered() const { return begin_ < end_; }

  bool is_readable() const override { return hasBuffered() || await(POLLIN); }
  bool is_writable() const override { return await(POLLOUT); }

  ssize_t read(char* bytes, size_t size) override {
    if (!hasBuffered()) {
      if (!await(POLLIN)) {
        return -1;
      }
      ssize_t received;
      do {
        received = ::recv(socket_, buffer_, sizeof buffer_, 0);
      } while (received < 0 && errno == EINTR);
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
    if (!await(POLLOUT)) {
      return -1;
    }
    ssize_t sent;
    do {
      sent = ::send(socket_, bytes, size, MSG_NOSIGNAL);
    } while (sent < 0 && errno == EINTR);
    return sent;
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    address(::getpeername, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    address(::getsockname, ip, port);
  }
  socket_t socket() const override { return socket_; }

 private:
  bool await(short events) const {
    pollfd entry{socket_, events, 0};
    int ready;
    do {
      ready = ::poll(&entry, 1, timeoutMilliseconds_);
    } while (ready < 0 && errno == EINTR);
    return ready > 0;
  }

  template <typename Query>
  void address(Query query, std::string& ip, int& port) const {
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    char text[INET_ADDRSTRLEN] = {};
    if (query(socket_, reinterpret_cast<sockaddr*>(&peer), &length) == 0 &&
        peer.sin_family == AF_INET && ::inet_ntop(AF_INET, &peer.sin_addr, text, sizeof text)) {
      ip = text;
      port = ntohs(peer.sin_port);
    }
  }

  const int socket_;
  const int timeoutMilliseconds_;
  char buffer_[4096];
  size_t begin_ = 0;
  size_t end_ = 0;
};

// An httplib server whose connections end as soon as it stops: httplib's
// own loop leaves an idle keep-alive connection open until its time-out, and
// that would hold up stop() for as long.
class StoppableServer : public httplib::Server {
 public:
  StoppableServer() {
    // Like the engine, keep connections open for as long as the client wants.
    set_keep_alive_max_count(std::numeric_limits<size_t>::max());
  }

  // Stops listening and shuts every open connection down, so that an answer
  // still pending never reaches its client.
  void stopServing() {
    {
      std::lock_guard lock(mutex_);
      stopped_ = true;
      for (int socket : sockets_) {
        ::shutdown(socket, SHUT_RDWR);
      }
    }
    stop();
  }

 private:
  static constexpr int kPollMilliseconds = 20;
  static constexpr int kTimeoutMilliseconds = 5000;

  bool process_and_close_socket(socket_t sock) override {
    // As the engine does: small replies go out at once, not after a delayed
    // acknowledgement.
    const int on = 1;
    ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    {
      std::lock_guard lock(mutex_);
      sockets_.insert(sock);
      if (stopped_) {
        ::shutdown(sock, SHUT_RDWR);
      }
    }
    ConnectionStream stream(sock, kTimeoutMilliseconds);
    while (awaitRequest(stream)) {
      bool closed = false;
      if (!process_request(stream, false, closed, nullptr) || closed) {
        break;
      }
    }
    // Closed under the lock: stopServing() never touches a number that the
    // system may have handed out again.
    std::lock_guard lock(mutex_);
    sockets_.erase(sock);
    ::shutdown(sock, SHUT_RDWR);
    ::close(sock);
    return true;
  }

  // Whether a request (or the client's end of the connection) arrived before
  // the server stopped.
  bool awaitRequest(const ConnectionStream& stream) const {
    pollfd entry{stream.socket(), POLLIN, 0};
    while (!stopped_) {
      if (stream.hasBuffered()) {
        return true;
      }
      const int ready = ::poll(&entry, 1, kPollMilliseconds);
      if (ready > 0) {
        return true;
      }
      if (ready < 0 && errno != EINTR) {
        return false;
      }
    }
    return false;
  }

  std::mutex mutex_;
  std::set<int> sockets_;  // connections being served
  std::atomic<bool> stopped_{false};
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
      : secret(std::move(secretIn)), outbounds(std::move(outboundsIn)) {
    if (!outbounds.empty()) {
      selected = outbounds.front();
    }
  }

  void serve(const httplib::Request& request, httplib::Response& response);
  void record(const httplib::Request& request);
  bool authorized(const httplib::Request& request) const;
  void answerOverride(const FakeResponse& override, httplib::Response& response);
  void answerConnections(httplib::Response& response);
  void answerSelect(const std::string& group, const std::string& body, httplib::Response& response);

  const std::string secret;
  const std::vector<std::string> outbounds;
  StoppableServer server;
  std::thread thread;
  int port = 0;

  std::mutex stopMutex;  // held through stop(), so that a second caller waits
  mutable std::mutex mutex;
  std::condition_variable stopping;  // wakes delayed answers
  bool stopped = false;
  int64_t up = 0;
  int64_t down = 0;
  // Shared, so that a large body is handed to a connection without a copy.
  std::shared_ptr<const std::string> connectionsBody;
  std::map<std::pair<std::string, std::string>, FakeResponse> overrides;
  std::string selected;
  std::vector<RecordedRequest> requests;
};

void FakeClashServer::State::serve(const httplib::Request& request, httplib::Response& response) {
  record(request);
  if (!authorized(request)) {
    response.status = 401;
    response.set_content(messageReply("Unauthorized"), kJson);
    return;
  }
  std::unique_lock lock(mutex);
  if (const auto found = overrides.find({request.method, request.path}); found != overrides.end()) {
    const FakeResponse override = found->second;
    lock.unlock();
    answerOverride(override, response);
    return;
  }
  lock.unlock();

  if (request.method == "GET" && request.path == "/version") {
    response.set_content(std::string(kVersionReply) + "\n", kJson);
  } else if (request.method == "GET" && request.path == "/connections") {
    answerConnections(response);
  } else if (request.method == "PUT" && request.path.rfind("/proxies/", 0) == 0) {
    answerSelect(request.path.substr(std::string("/proxies/").size()), request.body, response);
  } else {
    response.status = 404;
    response.set_content("404 page not found\n", "text/plain; charset=utf-8");
  }
}

void FakeClashServer::State::record(const httplib::Request& request) {
  RecordedRequest recorded{request.method, request.path, {}, request.body, request.remote_port};
  for (const auto& [name, value] : request.headers) {
    if (!addedByServer(name)) {
      recorded.headers.emplace(name, value);
    }
  }
  std::lock_guard lock(mutex);
  requests.push_back(std::move(recorded));
}

// The engine's rule: the header splits at its first space, the first word
// must be exactly "Bearer" and the rest the secret. No secret, no check.
bool FakeClashServer::State::authorized(const httplib::Request& request) const {
  if (secret.empty()) {
    return true;
  }
  const std::string header = request.get_header_value("Authorization");
  const size_t space = header.find(' ');
  return space != std::string::npos && header.substr(0, space) == "Bearer" &&
         header.substr(space + 1) == secret;
}

void FakeClashServer::State::answerOverride(const FakeResponse& override,
                                            httplib::Response& response) {
  if (override.delay.count() > 0) {
    std::unique_lock lock(mutex);
    stopping.wait_for(lock, override.delay, [this] { return stopped; });
  }
  response.status = override.status;
  if (!override.body.empty()) {
    response.set_content(override.body, override.contentType.c_str());
  }
}

void FakeClashServer::State::answerConnections(httplib::Response& response) {
  std::unique_lock lock(mutex);
  std::shared_ptr<const std::string> body = connectionsBody;
  if (!body) {
    // Keys in the engine's order.
    body = std::make_shared<const std::string>(
        R"({"connections":[],"downloadTotal":)" + std::to_string(down) + R"(,"memory":)" +
        std::to_string(kMemory) + R"(,"uploadTotal":)" + std::to_string(up) + "}\n");
  }
  lock.unlock();
  if (body->empty()) {
    response.set_content(std::string(), kJson);
    return;
  }
  response.set_content_provider(body->size(), kJson,
                                [body](size_t offset, size_t length, httplib::DataSink& sink) {
                                  return sink.write(body->data() + offset, length);
                                });
}

// The engine's order of checks: the group must exist, the body must decode,
// the group must be a selector, the name one of its members.
void FakeClashServer::State::answerSelect(const std::string& group, const std::string& body,
                                          httplib::Response& response) {
  const bool isOutbound = std::find(outbounds.begin(), outbounds.end(), group) != outbounds.end();
  if (group != kSelectorGroup && !isOutbound) {
    response.status = 404;
    response.set_content(messageReply("Resource not found"), kJson);
    return;
  }
  // As Go decodes it into {Name string}: null or a missing or null "name"
  // is the empty name; anything else but a string name is no valid body.
  const nlohmann::json request = nlohmann::json::parse(body, nullptr, false);
  bool valid = request.is_null();
  std::string name;
  if (request.is_object()) {
    const auto found = request.find("name");
    valid = found == request.end() || found->is_null() || found->is_string();
    if (found != request.end() && found->is_string()) {
      name = found->get<std::string>();
    }
  }
  if (!valid) {
    response.status = 400;
    response.set_content(messageReply("Body invalid"), kJson);
    return;
  }
  if (group != kSelectorGroup) {
    response.status = 400;
    response.set_content(messageReply("Must be a Selector"), kJson);
    return;
  }
  if (std::find(outbounds.begin(), outbounds.end(), name) == outbounds.end()) {
    response.status = 400;
    response.set_content(messageReply("Selector update error: not found"), kJson);
    return;
  }
  std::lock_guard lock(mutex);
  selected = name;
  response.status = 204;
}

FakeClashServer::FakeClashServer(std::string secret, std::vector<std::string> outbounds)
    : state_(std::make_shared<State>(std::move(secret), std::move(outbounds))) {
  State& state = *state_;
  StoppableServer& server = state.server;
  server.new_task_queue = [] { return new httplib::ThreadPool(kServingThreads); };
  const auto handler = [&state](const httplib::Request& request, httplib::Response& response) {
    state.serve(request, response);
  };
  server.Get(".*", handler);
  server.Put(".*", handler);
  server.Post(".*", handler);
  server.Patch(".*", handler);
  server.Delete(".*", handler);
  server.Options(".*", handler);

  state.port = server.bind_to_any_port("127.0.0.1");
  if (state.port <= 0) {
    throw std::runtime_error("fake clash server: cannot listen on 127.0.0.1");
  }
  // The socket listens already; connections queue until the loop runs.
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
  std::lock_guard stopLock(state.stopMutex);
  {
    std::lock_guard lock(state.mutex);
    if (state.stopped) {
      return;
    }
    state.stopped = true;
  }
  state.stopping.notify_all();
  state.server.stopServing();
  if (state.thread.joinable()) {
    state.thread.join();
  }
}

}  // namespace tarq::testing
