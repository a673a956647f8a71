#include "readiness_probe.h"

#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <nlohmann/json.hpp>

namespace tarq {
namespace {

constexpr int kConnectWaitMilliseconds = 50;

bool acceptsConnections(const sockaddr_storage& address, socklen_t size) {
  int probe = socket(address.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
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

std::string controllerOf(const std::string& configText) {
  using nlohmann::json;
  json root = json::parse(configText, nullptr, /*allow_exceptions=*/false,
                          /*ignore_comments=*/true);
  const json* controller = nullptr;
  if (root.is_object() && root.contains("experimental") && root["experimental"].is_object() &&
      root["experimental"].contains("clash_api") && root["experimental"]["clash_api"].is_object() &&
      root["experimental"]["clash_api"].contains("external_controller")) {
    controller = &root["experimental"]["clash_api"]["external_controller"];
  }
  return controller != nullptr && controller->is_string() ? controller->get<std::string>() : "";
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
