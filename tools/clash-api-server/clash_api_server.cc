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
#include <vector>

namespace tarq {
namespace {

using Json = nlohmann::json;

constexpr char kJson[] = "application/json; charset=utf-8";
constexpr char kFaultPath[] = "/tarq/fault";
constexpr int64_t kMemory = 12582912;
constexpr int kTimeoutMilliseconds = 5000;
constexpr size_t kMaxBodyBytes = 64 * 1024;
// Threads that serve requests. A connection waiting for its next request
// holds none: it waits with the other idle ones in the parking thread.
constexpr int kThreads = 16;
// How long a thread waits for a connection's next request before the
// connection is parked: a client that sends it at once (as the benchmarks'
// do) is served without the round through the parking thread, as a Go
// server's goroutine per connection would serve it.
constexpr int kLingerMilliseconds = 1;
constexpr int64_t kMaxFaultDelayMs = 3600 * 1000;
// Go's net/http buffers the first 2,048 bytes a handler writes
// (bufferBeforeChunkingSize): a reply that fits goes out with its
// Content-Length once the handler returns, a longer one chunked from the
// write that overflows the buffer. The engine writes each reply at once
// (render.JSON), so only the size decides.
constexpr size_t kBufferBeforeChunking = 2048;
// The engine sends a longer reply as one chunk; here it goes in pieces of
// this size, so that no reply is copied whole on its way out (a client must
// not depend on chunk sizes).
constexpr size_t kChunkBytes = 64 * 1024;

// Sends `body` framed as the engine's Go server frames it.
void frame(httplib::Response& response, std::shared_ptr<const std::string> body,
           const char* contentType) {
  if (body->size() <= kBufferBeforeChunking) {
    response.set_content(*body, contentType);
    return;
  }
  // Handed over a piece at a time: no copy of the whole body, which would
  // weigh on the benchmarks.
  response.set_chunked_content_provider(
      contentType, [body](size_t offset, httplib::DataSink& sink) {
        const size_t piece = std::min(kChunkBytes, body->size() - offset);
        if (!sink.write(body->data() + offset, piece)) {
          return false;
        }
        if (offset + piece == body->size()) {
          sink.done();
        }
        return true;
      });
}

void frame(httplib::Response& response, std::string body, const char* contentType) {
  frame(response, std::make_shared<const std::string>(std::move(body)), contentType);
}

// Replies end with a line feed, as Go's JSON encoder writes them.
void reply(httplib::Response& response, int status, const Json& body) {
  response.status = status;
  frame(response, body.dump() + "\n", kJson);
}

void message(httplib::Response& response, int status, const std::string& text) {
  reply(response, status, Json{{"message", text}});
}

// One connection as httplib reads and writes it, buffered as httplib's own
// stream is (it reads headers a byte at a time). Every wait also watches the
// server's stop pipe, so a stopped server reads no further request and sends
// no pending answer. It owns its socket, and counts itself in `open` while
// it lives.
class Connection : public httplib::Stream {
 public:
  Connection(int socket, int stopFd, std::atomic<int>& open)
      : socket_(socket), stopFd_(stopFd), open_(open) {
    ++open_;
  }
  ~Connection() override {
    ::shutdown(socket_, SHUT_RDWR);
    ::close(socket_);
    --open_;
  }
  Connection(const Connection&) = delete;
  Connection& operator=(const Connection&) = delete;

  // Whether a request (or the client's close) is there to be read within
  // `milliseconds`: bytes already buffered, or the socket readable. False
  // once the server stops.
  bool requestWithin(int milliseconds) const {
    return begin_ < end_ || await(POLLIN, milliseconds);
  }

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
  std::atomic<int>& open_;
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

// The name a PUT /proxies/{group} body selects, read as the engine's Go
// decoder reads the body into struct{Name string `json:"name"`}: the first
// JSON value only (what follows it is never read), null as no name, keys
// matched to "name" regardless of case, the last match winning, a null
// value leaving the name as it was. None when decoding fails: no value,
// text that is no JSON, a top level other than an object or null, or a
// matching key whose value is no string or null.
class SelectionName : public nlohmann::json_sax<Json> {
 public:
  static std::optional<std::string> of(const std::string& body) {
    SelectionName reader;
    const bool parsed = Json::sax_parse(body.begin(), body.end(), &reader,
                                        Json::input_format_t::json, /*strict=*/false);
    if (!parsed || reader.wrongType_) {
      return std::nullopt;
    }
    return reader.name_;
  }

  bool null() override { return scalar(Value::kNull); }
  bool boolean(bool) override { return scalar(Value::kOther); }
  bool number_integer(number_integer_t) override { return scalar(Value::kOther); }
  bool number_unsigned(number_unsigned_t) override { return scalar(Value::kOther); }
  bool number_float(number_float_t, const string_t&) override { return scalar(Value::kOther); }
  bool binary(binary_t&) override { return scalar(Value::kOther); }
  bool string(string_t& text) override {
    if (named()) {
      name_ = text;
    }
    return scalar(Value::kString);
  }
  bool start_object(std::size_t) override {
    if (depth_ == 0 || named()) {
      wrongType_ = wrongType_ || depth_ > 0;  // an object is no string
    }
    ++depth_;
    matched_ = false;
    return true;
  }
  bool key(string_t& text) override {
    matched_ =
        depth_ == 1 && ::strcasecmp(text.c_str(), "name") == 0 && text.find('\0') == string_t::npos;
    return true;
  }
  bool end_object() override {
    --depth_;
    matched_ = false;
    return true;
  }
  bool start_array(std::size_t) override {
    wrongType_ = wrongType_ || depth_ == 0 || named();
    ++depth_;
    matched_ = false;
    return true;
  }
  bool end_array() override {
    --depth_;
    return true;
  }
  bool parse_error(std::size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  enum class Value { kNull, kString, kOther };

  // The value being read is the top-level object's member under "name".
  bool named() const { return depth_ == 1 && matched_; }

  bool scalar(Value value) {
    if (depth_ == 0) {
      wrongType_ = wrongType_ || value != Value::kNull;
    } else if (named()) {
      wrongType_ = wrongType_ || value == Value::kOther;
    }
    matched_ = false;
    return true;
  }

  size_t depth_ = 0;
  bool matched_ = false;
  bool wrongType_ = false;
  std::string name_;
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

struct ClashApiServer::State {
  explicit State(ClashApiSetup setupIn) : setup(std::move(setupIn)) {
    for (const auto& [group, selector] : setup.selectors) {
      selected[group] = selector.initial;
    }
  }

  // Records the request; then, for a route the engine serves
  // (`authenticated`), answers 401 without the secret; then answers the
  // fault control endpoint, and the fault set for the request. Returns
  // whether it answered.
  bool screen(const httplib::Request& request, httplib::Response& response, bool authenticated) {
    std::unique_lock lock(mutex);
    if (setup.recordRequests) {
      record(request);
    }
    // The engine's rule: exactly "Bearer", one space, the secret.
    if (authenticated && !setup.secret.empty() &&
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
      frame(response, fault.body, kJson);
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
    frame(response, std::move(body), kJson);
  }

  // The engine's order of checks, once authenticated: the group (looked up
  // by a middleware of the route), then in the handler the body (see
  // SelectionName), the group's type, the member.
  void putProxy(const httplib::Request& request, httplib::Response& response) {
    const std::string group = request.matches[1];
    if (!setup.outboundTypes.contains(group)) {
      return message(response, 404, "Resource not found");
    }
    const std::optional<std::string> name = SelectionName::of(request.body);
    if (!name) {
      return message(response, 400, "Body invalid");
    }
    auto selector = setup.selectors.find(group);
    if (selector == setup.selectors.end()) {
      return message(response, 400, "Must be a Selector");
    }
    const std::string& member = *name;
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

// httplib's own loop holds a thread for every open connection until the
// client closes it or goes quiet for its time-out, so a few idle clients
// would stall every request, and stop() too. Here a thread of the pool
// serves the requests a connection has sent, then hands the connection to
// the parking thread, which waits for the next request on every idle
// connection at once and gives it back to the pool when one arrives. As in
// the engine's Go server, idle connections are neither limited nor timed
// out; they cost a descriptor and a small buffer each. Once stopped, every
// connection ends, idle ones included.
class ClashApiServer::Server : public httplib::Server {
 public:
  explicit Server(State& state) : state_(state) {
    try {
      if (::pipe2(stopPipe_, O_CLOEXEC) != 0 || ::pipe2(wakePipe_, O_CLOEXEC | O_NONBLOCK) != 0) {
        throw std::runtime_error(std::string("clash api server: pipe: ") + strerror(errno));
      }
      parking_ = std::thread([this] { watchParked(); });
    } catch (...) {
      release();
      throw;
    }
    set_keep_alive_max_count(std::numeric_limits<size_t>::max());
    new_task_queue = [this] { return new PoolHandle(*this); };
  }
  ~Server() override {
    stopParking();
    release();
  }

  // Once bound: lets as many connections wait to be accepted as the system
  // allows, as the engine's Go listener does (httplib asks for 5, and a
  // burst of clients beyond that would wait a second for a retry each).
  void widenBacklog() { ::listen(svr_sock_, SOMAXCONN); }

  // Ends the listening loop and every connection. The stop pipe is never
  // drained, so it wakes every wait from now on.
  void stopServing() {
    stopParking();
    stop();
  }

 private:
  using Shared = std::shared_ptr<Connection>;

  // What the listening loop is given as its task queue, and deletes when it
  // ends: the server's own pool, which lives on until the server goes, so
  // that the parking thread never hands work to a pool already gone.
  class PoolHandle final : public httplib::TaskQueue {
   public:
    explicit PoolHandle(Server& server) : server_(server) {}
    void enqueue(std::function<void()> task) override { server_.pool_.enqueue(std::move(task)); }
    void shutdown() override {
      server_.pool_.shutdown();
      server_.poolShutDown_ = true;
    }

   private:
    Server& server_;
  };

  bool process_and_close_socket(socket_t sock) override {
    // As the engine does: small replies go out at once.
    const int on = 1;
    ::setsockopt(sock, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    serve(std::make_shared<Connection>(sock, stopPipe_[0], state_.open));
    return true;
  }

  // On a pool thread: the requests that arrive, one after the other; then,
  // once none has come for kLingerMilliseconds, the connection waits
  // parked, or ends.
  void serve(Shared connection) {
    while (connection->requestWithin(kLingerMilliseconds)) {
      bool closed = false;
      if (!process_request(*connection, false, closed, nullptr) || closed) {
        return;  // the last reference: the connection ends
      }
    }
    park(std::move(connection));
  }

  void park(Shared connection) {
    {
      std::lock_guard lock(mutex_);
      if (!parkingOpen_) {
        return;  // stopped: the connection ends
      }
      parked_.push_back(std::move(connection));
    }
    (void)!::write(wakePipe_[1], "x", 1);  // a full pipe has a wake-up pending anyway
  }

  // The parking thread: one poll() over every parked connection, the wake
  // pipe and the stop pipe. A connection with a request (or its client's
  // close) to read goes back to the pool. Only this thread removes parked
  // connections, so those it polled keep their places while others are
  // added behind them.
  void watchParked() {
    std::vector<pollfd> fds;
    for (;;) {
      fds.assign({{stopPipe_[0], POLLIN, 0}, {wakePipe_[0], POLLIN, 0}});
      {
        std::lock_guard lock(mutex_);
        for (const Shared& connection : parked_) {
          fds.push_back({connection->socket(), POLLIN, 0});
        }
      }
      while (::poll(fds.data(), fds.size(), -1) < 0 && errno == EINTR) {
      }
      if (fds[0].revents != 0) {
        break;
      }
      if (fds[1].revents != 0) {
        char drained[64];
        while (::read(wakePipe_[0], drained, sizeof drained) > 0) {
        }
      }
      std::vector<Shared> ready;
      {
        std::lock_guard lock(mutex_);
        size_t kept = 0;
        for (size_t i = 0; i < parked_.size(); ++i) {
          const bool polled = i + 2 < fds.size();
          if (polled && fds[i + 2].revents != 0) {
            ready.push_back(std::move(parked_[i]));
          } else {
            parked_[kept++] = std::move(parked_[i]);
          }
        }
        parked_.resize(kept);
      }
      for (Shared& connection : ready) {
        pool_.enqueue([this, connection] { serve(connection); });
      }
    }
    std::lock_guard lock(mutex_);
    parkingOpen_ = false;
    parked_.clear();
  }

  // The pool's threads (unless the listening loop shut them down) and the
  // pipes, once nothing uses them.
  void release() {
    if (!poolShutDown_) {
      pool_.shutdown();
    }
    for (int fd : {stopPipe_[0], stopPipe_[1], wakePipe_[0], wakePipe_[1]}) {
      if (fd >= 0) {
        ::close(fd);
      }
    }
  }

  // Ends the parking thread and the connections it holds; from now on a
  // connection that would park ends. Before the pool shuts down, so that
  // nothing is handed to it afterwards.
  void stopParking() {
    if (parking_.joinable()) {
      (void)!::write(stopPipe_[1], "x", 1);
      parking_.join();
    }
  }

  State& state_;
  int stopPipe_[2] = {-1, -1};
  int wakePipe_[2] = {-1, -1};
  httplib::ThreadPool pool_{kThreads};
  std::atomic<bool> poolShutDown_{false};
  std::mutex mutex_;  // guards what follows
  bool parkingOpen_ = true;
  std::vector<Shared> parked_;
  std::thread parking_;  // last: it uses everything above
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
  // httplib does only for a route). The engine's router authenticates the
  // routes it serves, before their own checks, and only those: a path it has
  // no route for is not found, with or without the secret. So here, but for
  // the fault control endpoint, which always needs the secret.
  const auto route = [&state](auto answer) {
    return [&state, answer](const httplib::Request& request, httplib::Response& response) {
      if (!state.screen(request, response, true)) {
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
  const auto notFound = [&state](const httplib::Request& request, httplib::Response& response) {
    const bool control = state.setup.faultControl && request.path == kFaultPath;
    if (!state.screen(request, response, control)) {
      response.status = 404;
      response.set_content("404 page not found\n", "text/plain; charset=utf-8");
    }
  };
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
  server.widenBacklog();
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
