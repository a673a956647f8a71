#include "clash-api-server/clash_api_server.h"

#include <errno.h>
#include <fcntl.h>
#include <httplib.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string.h>
#include <strings.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <limits>
#include <mutex>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <utility>

namespace tarq {
namespace {

using Json = nlohmann::json;

constexpr char kJson[] = "application/json; charset=utf-8";
constexpr char kFaultPath[] = "/tarq/fault";
constexpr int64_t kMemory = 12582912;
constexpr int kTimeoutMilliseconds = 5000;
constexpr size_t kMaxBodyBytes = 64 * 1024;
constexpr int kThreads = 16;  // each open keep-alive connection holds one
constexpr int64_t kMaxFaultDelayMs = 3600 * 1000;

// Replies end with a line feed, as Go's JSON encoder writes them.
void reply(httplib::Response& response, int status, const Json& body) {
  response.status = status;
  response.set_content(body.dump() + "\n", kJson);
}

void message(httplib::Response& response, int status, const std::string& text) {
  reply(response, status, Json{{"message", text}});
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

// A fault from the JSON of PUT /tarq/fault; throws std::invalid_argument
// with the reason.
std::pair<std::pair<std::string, std::string>, ClashFault> faultFromJson(const std::string& text) {
  const Json body = Json::parse(text, nullptr, false);
  if (!body.is_object()) {
    throw std::invalid_argument("the fault must be a JSON object");
  }
  for (const auto& [key, value] : body.items()) {
    static const char* const kKeys[] = {"method", "path", "status", "body", "delayMs", "stall"};
    if (std::find(std::begin(kKeys), std::end(kKeys), key) == std::end(kKeys)) {
      throw std::invalid_argument("unknown key \"" + key + "\"");
    }
  }
  const Json method = body.value("method", Json());
  const Json path = body.value("path", Json());
  if (!method.is_string() || !path.is_string() || !path.get<std::string>().starts_with("/")) {
    throw std::invalid_argument("\"method\" and \"path\" (starting with /) are required");
  }
  const Json status = body.value("status", Json(0));
  const Json delay = body.value("delayMs", Json(0));
  const Json stall = body.value("stall", Json(false));
  const Json replyBody = body.value("body", Json(""));
  if (!status.is_number_integer() ||
      (status != 0 && (status.get<int64_t>() < 100 || status.get<int64_t>() > 599))) {
    throw std::invalid_argument("\"status\" must be 0 or 100 to 599");
  }
  if (!delay.is_number_integer() || delay.get<int64_t>() < 0 ||
      delay.get<int64_t>() > kMaxFaultDelayMs) {
    throw std::invalid_argument("\"delayMs\" must be 0 to 3600000");
  }
  if (!stall.is_boolean() || !replyBody.is_string()) {
    throw std::invalid_argument("\"stall\" must be a boolean and \"body\" a string");
  }
  ClashFault fault{status.get<int>(), replyBody.get<std::string>(),
                   std::chrono::milliseconds(delay.get<int64_t>()), stall.get<bool>()};
  return {{method.get<std::string>(), path.get<std::string>()}, std::move(fault)};
}

}  // namespace

std::optional<std::string> RecordedRequest::header(const std::string& name) const {
  for (const auto& [key, value] : headers) {
    if (::strcasecmp(key.c_str(), name.c_str()) == 0) {
      return value;
    }
  }
  return std::nullopt;
}

struct ClashApiServer::State {
  explicit State(ClashApiSetup setupIn) : setup(std::move(setupIn)) {
    for (const auto& [group, selector] : setup.selectors) {
      selected[group] = selector.initial;
    }
  }

  // Records the request; answers 401 without the secret, the fault control
  // endpoint, and the fault set for the request. Returns whether it answered.
  bool screen(const httplib::Request& request, httplib::Response& response) {
    std::unique_lock lock(mutex);
    if (setup.recordRequests) {
      record(request);
    }
    // The engine's rule: exactly "Bearer", one space, the secret.
    if (!setup.secret.empty() &&
        request.get_header_value("Authorization") != "Bearer " + setup.secret) {
      message(response, 401, "Unauthorized");
      return true;
    }
    if (setup.faultControl && request.path == kFaultPath) {
      lock.unlock();
      controlFault(request, response);
      return true;
    }
    auto found = faults.find({request.method, request.path});
    if (found == faults.end()) {
      return false;
    }
    const ClashFault fault = found->second;
    const uint64_t generation = faultGeneration;
    const auto released = [&] { return stopped || faultGeneration != generation; };
    bool early = false;
    if (fault.stall) {
      changed.wait(lock, released);
      early = true;
    } else {
      early = changed.wait_for(lock, fault.delay, released);
    }
    if (stopped) {
      return true;  // its connection no longer writes
    }
    if (early || fault.status == 0) {
      return false;
    }
    response.status = fault.status;
    if (!fault.body.empty()) {
      response.set_content(fault.body, kJson);
    }
    return true;
  }

  void record(const httplib::Request& request) {
    RecordedRequest recorded{request.method, request.path, {}, request.body, request.remote_port};
    for (const auto& [name, value] : request.headers) {
      if (!name.starts_with("REMOTE_") && !name.starts_with("LOCAL_")) {  // added by httplib
        recorded.headers.emplace(name, value);
      }
    }
    requests.push_back(std::move(recorded));
  }

  void controlFault(const httplib::Request& request, httplib::Response& response) {
    if (request.method == "DELETE") {
      clearFaults();
      response.status = 204;
      return;
    }
    if (request.method != "PUT") {
      message(response, 405, "PUT or DELETE");
      return;
    }
    try {
      auto [key, fault] = faultFromJson(request.body);
      setFault(key.first, key.second, std::move(fault));
    } catch (const std::invalid_argument& error) {
      message(response, 400, error.what());
      return;
    }
    response.status = 204;
  }

  void setFault(const std::string& method, const std::string& path, ClashFault fault) {
    {
      std::lock_guard lock(mutex);
      faults[{method, path}] = std::move(fault);
      ++faultGeneration;
    }
    changed.notify_all();
  }

  void clearFaults() {
    {
      std::lock_guard lock(mutex);
      faults.clear();
      ++faultGeneration;
    }
    changed.notify_all();
  }

  void answerConnections(httplib::Response& response) {
    std::unique_lock lock(mutex);
    std::shared_ptr<const std::string> body = connectionsBody;
    if (!body && setup.traffic) {
      body = std::make_shared<const std::string>(setup.traffic->connections(selected));
    } else if (!body) {  // keys in the engine's order
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

  // The engine's order of checks: the group, a selector, the body (decoded
  // as Go decodes it into {Name string}), the member.
  void putProxy(const httplib::Request& request, httplib::Response& response) {
    const std::string group = request.matches[1];
    if (!setup.outboundTypes.contains(group)) {
      return message(response, 404, "Resource not found");
    }
    auto selector = setup.selectors.find(group);
    if (selector == setup.selectors.end()) {
      return message(response, 400, "Must be a Selector");
    }
    const Json body = Json::parse(request.body, nullptr, false);
    const Json name = body.is_object() ? body.value("name", Json()) : Json();
    if (!body.is_object() || !(name.is_null() || name.is_string())) {
      return message(response, 400, "Body invalid");
    }
    const std::string member = name.is_string() ? name.get<std::string>() : "";
    const auto& members = selector->second.members;
    if (std::find(members.begin(), members.end(), member) == members.end()) {
      return message(response, 400, "Selector update error: not found");
    }
    {
      std::lock_guard lock(mutex);
      if (setup.traffic) {
        setup.traffic->switching(selected);
      }
      selected[group] = member;
    }
    if (setup.log) {
      setup.log("selector \"" + group + "\" now uses \"" + member + "\"");
    }
    response.status = 204;
  }

  void getProxy(const httplib::Request& request, httplib::Response& response) {
    const std::string group = request.matches[1];
    auto type = setup.outboundTypes.find(group);
    if (type == setup.outboundTypes.end()) {
      return message(response, 404, "Resource not found");
    }
    Json body = {
        {"name", group}, {"type", type->second}, {"history", Json::array()}, {"udp", true}};
    auto selector = setup.selectors.find(group);
    if (selector != setup.selectors.end()) {
      std::lock_guard lock(mutex);
      body["type"] = "Selector";
      body["now"] = selected[group];
      body["all"] = selector->second.members;
    }
    reply(response, 200, body);
  }

  const ClashApiSetup setup;
  std::atomic<int> open{0};

  mutable std::mutex mutex;         // guards what follows
  std::condition_variable changed;  // wakes delayed answers
  bool stopped = false;
  uint64_t faultGeneration = 0;
  int64_t up = 0;
  int64_t down = 0;
  std::shared_ptr<const std::string> connectionsBody;
  std::map<std::pair<std::string, std::string>, ClashFault> faults;
  ClashTraffic::Selection selected;
  std::vector<RecordedRequest> requests;
};

// httplib's own loop would hold an idle keep-alive connection (and with it
// stop(), and the engine's exit on SIGTERM) until its time-out; this one
// ends every connection once stopped.
class ClashApiServer::Server : public httplib::Server {
 public:
  explicit Server(State& state) : state_(state) {
    if (::pipe2(stopPipe_, O_CLOEXEC) != 0) {
      throw std::runtime_error(std::string("clash api server: pipe: ") + strerror(errno));
    }
    set_keep_alive_max_count(std::numeric_limits<size_t>::max());
    new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
  }
  ~Server() override {
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
    ++state_.open;
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
    --state_.open;
    return true;
  }

  State& state_;
  int stopPipe_[2] = {-1, -1};
};

ClashApiServer::ClashApiServer(ClashApiSetup setup)
    : state_(std::make_shared<State>(std::move(setup))),
      server_(std::make_unique<Server>(*state_)) {
  State& state = *state_;
  Server& server = *server_;
  // Like the engine, and unlike cpp-httplib's default (SO_REUSEPORT), a
  // second server on a taken address fails instead of sharing the port.
  server.set_socket_options([](socket_t socket) {
    int yes = 1;
    setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  server.set_payload_max_length(kMaxBodyBytes);
  // Every request is screened first (after its body has been read, which
  // httplib does only for a route); what no route takes is not found.
  const auto route = [&state](auto answer) {
    return [&state, answer](const httplib::Request& request, httplib::Response& response) {
      if (!state.screen(request, response)) {
        answer(request, response);
      }
    };
  };
  server.Get(
      "/version", route([&state](const auto&, auto& response) {
        reply(response, 200, {{"version", state.setup.version}, {"premium", true}, {"meta", true}});
      }));
  server.Get("/connections",
             route([&state](const auto&, auto& response) { state.answerConnections(response); }));
  server.Put("/proxies/([^/]+)", route([&state](const auto& request, auto& response) {
               state.putProxy(request, response);
             }));
  server.Get("/proxies/([^/]+)", route([&state](const auto& request, auto& response) {
               state.getProxy(request, response);
             }));
  const auto notFound = route([](const auto&, auto& response) {
    response.status = 404;
    response.set_content("404 page not found\n", "text/plain; charset=utf-8");
  });
  server.Get(".*", notFound).Put(".*", notFound).Post(".*", notFound).Delete(".*", notFound);

  const ClashApiSetup& where = state.setup;
  errno = 0;
  port_ = where.port == 0 ? server.bind_to_any_port(where.host)
                          : (server.bind_to_port(where.host, where.port) ? where.port : -1);
  if (port_ <= 0) {
    const int error = errno;
    throw std::runtime_error("cannot listen on " + where.host + ":" + std::to_string(where.port) +
                             ": " +
                             (error != 0 ? strerror(error) : "the address is not available"));
  }
  thread_ = std::thread([&server] { server.listen_after_bind(); });
  // stop() must not overtake the loop's start, or the loop would never end.
  while (!server.is_running()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

ClashApiServer::~ClashApiServer() {
  stop();
}

void ClashApiServer::setTotals(int64_t up, int64_t down) {
  std::lock_guard lock(state_->mutex);
  state_->up = up;
  state_->down = down;
  state_->connectionsBody.reset();
}

void ClashApiServer::setConnectionsBody(std::string body) {
  auto shared = std::make_shared<const std::string>(std::move(body));
  std::lock_guard lock(state_->mutex);
  state_->connectionsBody = std::move(shared);
}

void ClashApiServer::setFault(const std::string& method, const std::string& path,
                              ClashFault fault) {
  state_->setFault(method, path, std::move(fault));
}

void ClashApiServer::clearFaults() {
  state_->clearFaults();
}

std::string ClashApiServer::selected(const std::string& group) const {
  std::lock_guard lock(state_->mutex);
  auto found = state_->selected.find(group);
  return found == state_->selected.end() ? "" : found->second;
}

std::vector<RecordedRequest> ClashApiServer::requests() const {
  std::lock_guard lock(state_->mutex);
  return state_->requests;
}

size_t ClashApiServer::requestCount(const std::string& method, const std::string& path) const {
  std::lock_guard lock(state_->mutex);
  return static_cast<size_t>(std::count_if(
      state_->requests.begin(), state_->requests.end(),
      [&](const RecordedRequest& r) { return r.method == method && r.path == path; }));
}

int ClashApiServer::openConnections() const {
  return state_->open.load();
}

void ClashApiServer::stop() {
  if (stopCalled_.exchange(true)) {
    return;
  }
  // The stop pipe first: a delayed answer woken below must find its
  // connection already closed to writing, or it would still go out.
  server_->stopServing();
  {
    std::lock_guard lock(state_->mutex);
    state_->stopped = true;
  }
  state_->changed.notify_all();
  thread_.join();
}

}  // namespace tarq
