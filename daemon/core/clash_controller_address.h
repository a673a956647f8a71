// experimental.clash_api.external_controller read as sing-box listens on it.
//
// sing-box hands the value to Go's net.Listen("tcp", value), so this follows
// Go: net.SplitHostPort splits it ("[v6]:port" needs its brackets; an
// unbracketed "::1:9090" has too many colons), an empty host or an
// unspecified address (0.0.0.0, ::) listens on every address with one
// dual-stack socket (so 127.0.0.1 reaches it), "localhost" listens on its
// first IPv4 address (127.0.0.1), an IPv4-mapped IPv6 address listens as its
// IPv4 address, and the port is decimal with an optional sign ("" and 0 let
// the system pick one). Go would also look up a service name as the port and
// a host name in DNS; neither is taken here.
//
// The plug-in always talks to 127.0.0.1:PORT, so what matters to it is
// whether that reaches the engine's listener. One reading serves the
// stand-in engine (where to listen), tarqctl (what to tell a person) and the
// helper's readiness probe (where to knock).
//
// Thread safety: plain functions of their arguments.
#ifndef TARQ_DAEMON_CORE_CLASH_CONTROLLER_ADDRESS_H_
#define TARQ_DAEMON_CORE_CLASH_CONTROLLER_ADDRESS_H_

#include <stdexcept>
#include <string>
#include <string_view>

namespace tarq {

inline constexpr char kClashControllerOption[] = "experimental.clash_api.external_controller";

// A value net.Listen refuses (or one this reading does not take); what()
// names the option and the value: `experimental.clash_api.external_controller
// "::1:9090": too many colons in address`.
class ClashControllerError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct ClashControllerAddress {
  enum class Host {
    kEveryAddress,  // "", 0.0.0.0, :: : every address, 127.0.0.1 included
    kLocalhost,     // "localhost": 127.0.0.1
    kIpv4,          // an IPv4 address (or an IPv4-mapped IPv6 one)
    kIpv6,          // an IPv6 address, zone and all
    kName,          // any other host name, which sing-box looks up
  };

  std::string text;  // the option's value, as given
  Host host = Host::kEveryAddress;
  std::string address;  // kIpv4, kIpv6: the numeric address; kName: the name
  int port = 0;         // 0: the system picks one

  // Whether a connection to 127.0.0.1:port reaches sing-box's listener.
  bool reachableFromIpv4Loopback() const;
  // Whether the listener is on this machine's loopback only.
  bool loopbackOnly() const;
  // A numeric address on which a connection reaches the listener ("" for a
  // host name, which would need a lookup).
  std::string connectHost() const;
  // Why the plug-in, which connects to 127.0.0.1:port, cannot reach it, in
  // words for a person ("" when it can).
  std::string unreachableReason() const;
};

// Reads `value` (non-empty: an empty value means no Clash API at all).
// Throws ClashControllerError.
ClashControllerAddress parseClashController(std::string_view value);

}  // namespace tarq

#endif  // TARQ_DAEMON_CORE_CLASH_CONTROLLER_ADDRESS_H_
