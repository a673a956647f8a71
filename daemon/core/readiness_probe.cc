#include "readiness_probe.h"

#include <errno.h>
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <nlohmann/json.hpp>

#include "clash_controller_address.h"
#include "config_document.h"
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

// experimental.clash_api.external_controller as sing-box will read it: the
// text read by sing-box's rules (comments, keys in any letter case, every
// occurrence decoded in turn); "" when the text is no configuration sing-box
// would read, or names no controller.
std::string controllerOf(const std::string& configText) {
  try {
    nlohmann::json controller =
        ConfigDocument::parse(configText)
            .effectiveAt({"experimental", "clash_api", "external_controller"});
    return controller.is_string() ? controller.get<std::string>() : "";
  } catch (const ConfigDocumentError&) {
    return "";
  }
}

}  // namespace

std::function<bool()> clashApiProbe(const std::string& configText) {
  std::string controller = controllerOf(configText);
  if (controller.empty()) {
    return {};
  }
  ClashControllerAddress address;
  try {
    address = parseClashController(controller);
  } catch (const ClashControllerError&) {
    return {};
  }
  // An engine that listens on every address listens on 127.0.0.1 too; a
  // host name would need a lookup, and port 0 is the system's choice.
  const std::string host = address.connectHost();
  if (host.empty() || address.port == 0) {
    return {};
  }
  addrinfo hints{};
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* found = nullptr;
  const std::string port = std::to_string(address.port);
  if (getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || found == nullptr) {
    return {};
  }
  sockaddr_storage socketAddress{};
  socklen_t size = found->ai_addrlen;
  std::memcpy(&socketAddress, found->ai_addr, size);
  freeaddrinfo(found);
  return [socketAddress, size] { return acceptsConnections(socketAddress, size); };
}

}  // namespace tarq
