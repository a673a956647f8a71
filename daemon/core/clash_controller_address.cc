#include "clash_controller_address.h"

#include <arpa/inet.h>
#include <netinet/in.h>

namespace tarq {
namespace {

[[noreturn]] void refuse(std::string_view value, const std::string& why) {
  throw ClashControllerError(std::string(kClashControllerOption) + " \"" + std::string(value) +
                             "\": " + why);
}

// Go's net.SplitHostPort, error texts included.
void splitHostPort(std::string_view value, std::string_view& host, std::string_view& port) {
  const size_t lastColon = value.rfind(':');
  if (lastColon == std::string_view::npos) {
    refuse(value, "missing port in address");
  }
  size_t noOpenFrom = 0;
  size_t noCloseFrom = 0;
  if (value.front() == '[') {
    const size_t close = value.find(']');
    if (close == std::string_view::npos) {
      refuse(value, "missing ']' in address");
    }
    if (close + 1 == value.size()) {
      refuse(value, "missing port in address");
    }
    if (close + 1 != lastColon) {
      refuse(value,
             value[close + 1] == ':' ? "too many colons in address" : "missing port in address");
    }
    host = value.substr(1, close - 1);
    noOpenFrom = 1;
    noCloseFrom = close + 1;
  } else {
    host = value.substr(0, lastColon);
    if (host.find(':') != std::string_view::npos) {
      refuse(value, "too many colons in address");
    }
  }
  if (value.find('[', noOpenFrom) != std::string_view::npos) {
    refuse(value, "unexpected '[' in address");
  }
  if (value.find(']', noCloseFrom) != std::string_view::npos) {
    refuse(value, "unexpected ']' in address");
  }
  port = value.substr(lastColon + 1);
}

// Go's port reading: decimal with an optional sign; "" is 0.
int parsePort(std::string_view value, std::string_view port) {
  bool negative = false;
  if (!port.empty() && (port.front() == '+' || port.front() == '-')) {
    negative = port.front() == '-';
    port.remove_prefix(1);
  }
  long number = 0;
  for (char c : port) {
    if (c < '0' || c > '9') {
      refuse(value, "the port must be a number (sing-box would look \"" + std::string(port) +
                        "\" up as a service name)");
    }
    number = number * 10 + (c - '0');
    if (number > 65535) {
      refuse(value, "invalid port");
    }
  }
  if (negative && number != 0) {
    refuse(value, "invalid port");
  }
  return static_cast<int>(number);
}

}  // namespace

ClashControllerAddress parseClashController(std::string_view value) {
  ClashControllerAddress parsed;
  parsed.text = std::string(value);
  std::string_view host;
  std::string_view port;
  splitHostPort(value, host, port);
  parsed.port = parsePort(value, port);

  const std::string name(host);
  std::string lowered = name;
  for (char& c : lowered) {
    c = c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c;
  }
  in_addr v4{};
  in6_addr v6{};
  if (name.empty()) {
    parsed.host = ClashControllerAddress::Host::kEveryAddress;
  } else if (lowered == "localhost") {  // looked up in the hosts file, in any case
    parsed.host = ClashControllerAddress::Host::kLocalhost;
  } else if (inet_pton(AF_INET, name.c_str(), &v4) == 1) {
    parsed.host = v4.s_addr == htonl(INADDR_ANY) ? ClashControllerAddress::Host::kEveryAddress
                                                 : ClashControllerAddress::Host::kIpv4;
    parsed.address = name;
  } else if (name.find('%') == std::string::npos && inet_pton(AF_INET6, name.c_str(), &v6) == 1) {
    if (IN6_IS_ADDR_UNSPECIFIED(&v6)) {
      parsed.host = ClashControllerAddress::Host::kEveryAddress;
    } else if (IN6_IS_ADDR_V4MAPPED(&v6)) {
      char text[INET_ADDRSTRLEN] = {};
      inet_ntop(AF_INET, &v6.s6_addr[12], text, sizeof text);
      parsed.host = ClashControllerAddress::Host::kIpv4;
      parsed.address = text;
    } else {
      parsed.host = ClashControllerAddress::Host::kIpv6;
      parsed.address = name;
    }
  } else if (name.find('%') != std::string::npos) {
    // A scoped IPv6 address: never a loopback one.
    parsed.host = ClashControllerAddress::Host::kIpv6;
    parsed.address = name;
  } else {
    parsed.host = ClashControllerAddress::Host::kName;
    parsed.address = name;
  }
  return parsed;
}

bool ClashControllerAddress::reachableFromIpv4Loopback() const {
  return host == Host::kEveryAddress || host == Host::kLocalhost ||
         (host == Host::kIpv4 && address == "127.0.0.1");
}

bool ClashControllerAddress::loopbackOnly() const {
  if (host == Host::kLocalhost) {
    return true;
  }
  in_addr v4{};
  if (host == Host::kIpv4 && inet_pton(AF_INET, address.c_str(), &v4) == 1) {
    return (ntohl(v4.s_addr) >> 24) == 127;
  }
  in6_addr v6{};
  return host == Host::kIpv6 && inet_pton(AF_INET6, address.c_str(), &v6) == 1 &&
         IN6_IS_ADDR_LOOPBACK(&v6);
}

std::string ClashControllerAddress::connectHost() const {
  switch (host) {
    case Host::kEveryAddress:
    case Host::kLocalhost:
      return "127.0.0.1";
    case Host::kIpv4:
    case Host::kIpv6:
      return address;
    case Host::kName:
      break;
  }
  return "";
}

std::string ClashControllerAddress::unreachableReason() const {
  if (reachableFromIpv4Loopback()) {
    return "";
  }
  switch (host) {
    case Host::kIpv6:
      return loopbackOnly() ? "sing-box listens on IPv6 only there, not on 127.0.0.1"
                            : "sing-box listens on that IPv6 address only, not on 127.0.0.1";
    case Host::kIpv4:
      return loopbackOnly() ? "sing-box listens on that loopback address only, not on 127.0.0.1"
                            : "sing-box listens on that address only, not on 127.0.0.1";
    default:
      return "sing-box listens on the addresses of that name, not on 127.0.0.1";
  }
}

}  // namespace tarq
