#include "readiness_probe.h"

#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cstring>
#include <nlohmann/json.hpp>

#include "socket_calls.h"

namespace tarq {
namespace {

constexpr int kConnectWaitMilliseconds = 50;

bool acceptsConnections(const sockaddr_storage& address, socklen_t size) {
  int probe = openSocket(address.ss_family, true);
  if (probe < 0) {
    return false;
  }
  bool connected = connect(probe, reinterpret_cast<const sockaddr*>(&address), size) == 0;
  if (!connected && errno == EINPROGRESS) {
    pollfd watched{probe, POLLOUT, 0};
    int error = 0;
    socklen_t length = sizeof error;
    connected = poll(&watched, 1, kConnectWaitMilliseconds) == 1 &&
                getsockopt(probe, SOL_SOCKET, SO_ERROR, &error, &length) == 0 && error == 0;
  }
  close(probe);
  return connected;
}

// Reads a configuration only for experimental.clash_api.external_controller:
// every other value is skipped as it streams past, and nesting deeper than
// any configuration needs ends the reading, so that what a configuration
// costs the helper is bounded by its size, whatever its shape.
class ControllerFinder : public nlohmann::json_sax<nlohmann::json> {
 public:
  static constexpr size_t kMaxDepth = 64;
  std::string controller;

  bool null() override { return true; }
  bool boolean(bool) override { return true; }
  bool number_integer(number_integer_t) override { return true; }
  bool number_unsigned(number_unsigned_t) override { return true; }
  bool number_float(number_float_t, const string_t&) override { return true; }
  bool binary(binary_t&) override { return true; }
  bool string(string_t& value) override {
    // Inside the root, "experimental" and "clash_api": three objects deep.
    if (onPath_ == kPath.size() + 1 && depth_ == onPath_ && key_ == "external_controller") {
      controller = value;
    }
    return true;
  }
  bool key(string_t& name) override {
    key_ = name;
    return true;
  }
  bool start_object(size_t) override {
    // An object continues the path when its parent does and sits under the
    // path's next key.
    if (onPath_ == depth_ &&
        (depth_ == 0 || (depth_ <= kPath.size() && key_ == kPath[depth_ - 1]))) {
      ++onPath_;
    }
    return enter();
  }
  bool end_object() override {
    if (onPath_ == depth_) {
      --onPath_;
    }
    --depth_;
    return true;
  }
  bool start_array(size_t) override { return enter(); }
  bool end_array() override {
    --depth_;
    return true;
  }
  bool parse_error(size_t, const std::string&, const nlohmann::detail::exception&) override {
    return false;
  }

 private:
  static constexpr std::array<const char*, 2> kPath = {"experimental", "clash_api"};

  bool enter() { return ++depth_ <= kMaxDepth; }

  size_t depth_ = 0;
  size_t onPath_ = 0;  // how many of the enclosing objects lie on the path
  std::string key_;
};

std::string controllerOf(const std::string& configText) {
  ControllerFinder finder;
  // The engine reads its configuration with comments allowed; so does this.
  bool complete =
      nlohmann::json::sax_parse(configText, &finder, nlohmann::json::input_format_t::json,
                                /*strict=*/true, /*ignore_comments=*/true);
  return complete ? finder.controller : "";
}

}  // namespace

std::function<bool()> clashApiProbe(const std::string& configText) {
  std::string controller = controllerOf(configText);
  auto colon = controller.rfind(':');
  if (colon == std::string::npos) {
    return {};
  }
  std::string host = controller.substr(0, colon);
  std::string port = controller.substr(colon + 1);
  if (host.size() >= 2 && host.front() == '[' && host.back() == ']') {
    host = host.substr(1, host.size() - 2);
  }
  // An engine that listens on every address listens on loopback too.
  if (host.empty() || host == "0.0.0.0" || host == "localhost") {
    host = "127.0.0.1";
  } else if (host == "::") {
    host = "::1";
  }
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || found == nullptr) {
    return {};
  }
  sockaddr_storage address{};
  socklen_t size = found->ai_addrlen;
  std::memcpy(&address, found->ai_addr, size);
  freeaddrinfo(found);
  return [address, size] { return acceptsConnections(address, size); };
}

}  // namespace tarq
