// external_controller is read as Go's net.Listen reads it, and the helper's
// readiness probe knocks where sing-box will listen, on the configuration
// as sing-box reads it.
#include "daemon/core/clash_controller_address.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include "daemon/core/readiness_probe.h"

namespace tarq {
namespace {

using Host = ClashControllerAddress::Host;

TEST(ClashControllerAddressTest, ReadsAddressesAsNetListenDoes) {
  struct Case {
    const char* value;
    Host host;
    int port;
    bool reachable;  // from 127.0.0.1:port, where the plug-in connects
    bool loopbackOnly;
    const char* connectHost;
  };
  const Case cases[] = {
      {"127.0.0.1:9090", Host::kIpv4, 9090, true, true, "127.0.0.1"},
      {":9090", Host::kEveryAddress, 9090, true, false, "127.0.0.1"},
      {"0.0.0.0:9090", Host::kEveryAddress, 9090, true, false, "127.0.0.1"},
      {"[::]:9090", Host::kEveryAddress, 9090, true, false, "127.0.0.1"},
      {"localhost:9090", Host::kLocalhost, 9090, true, true, "127.0.0.1"},
      {"LocalHost:9090", Host::kLocalhost, 9090, true, true, "127.0.0.1"},
      {"[::ffff:127.0.0.1]:9090", Host::kIpv4, 9090, true, true, "127.0.0.1"},
      {"[::1]:9090", Host::kIpv6, 9090, false, true, "::1"},
      {"127.0.0.2:9090", Host::kIpv4, 9090, false, true, "127.0.0.2"},
      {"192.168.1.20:9090", Host::kIpv4, 9090, false, false, "192.168.1.20"},
      {"[fe80::1%eth0]:9090", Host::kIpv6, 9090, false, false, "fe80::1%eth0"},
      {"router.lan:9090", Host::kName, 9090, false, false, ""},
      {"127.0.0.1:0", Host::kIpv4, 0, true, true, "127.0.0.1"},
      {"127.0.0.1:", Host::kIpv4, 0, true, true, "127.0.0.1"},
      {"127.0.0.1:+09090", Host::kIpv4, 9090, true, true, "127.0.0.1"},
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.value);
    ClashControllerAddress address = parseClashController(test.value);
    EXPECT_EQ(address.text, test.value);
    EXPECT_EQ(address.host, test.host);
    EXPECT_EQ(address.port, test.port);
    EXPECT_EQ(address.reachableFromIpv4Loopback(), test.reachable);
    EXPECT_EQ(address.unreachableReason().empty(), test.reachable);
    EXPECT_EQ(address.loopbackOnly(), test.loopbackOnly);
    EXPECT_EQ(address.connectHost(), test.connectHost);
  }

  const std::pair<const char*, const char*> refused[] = {
      {"::1:9090", "too many colons in address"},
      {"127.0.0.1", "missing port in address"},
      {"[::1]", "missing port in address"},
      {"[::1]x:9090", "missing port in address"},
      {"[::1:9090", "missing ']' in address"},
      {"[::1]:9090]", "unexpected ']' in address"},
      {"a[b:9090", "unexpected '[' in address"},
      {"127.0.0.1:65536", "invalid port"},
      {"127.0.0.1:-1", "invalid port"},
      {"127.0.0.1:http",
       "the port must be a number (sing-box would look \"http\" up as a service name)"},
  };
  for (const auto& [value, why] : refused) {
    try {
      parseClashController(value);
      ADD_FAILURE() << value;
    } catch (const ClashControllerError& error) {
      EXPECT_EQ(std::string(error.what()),
                std::string("experimental.clash_api.external_controller \"") + value + "\": " + why)
          << value;
    }
  }
}

// A TCP listener on `host` (a numeric address) at a port the system picks.
class Listener {
 public:
  explicit Listener(const char* host) {
    const bool v6 = std::string(host).find(':') != std::string::npos;
    socket_ = socket(v6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
    sockaddr_storage address{};
    socklen_t size = 0;
    if (v6) {
      auto* in6 = reinterpret_cast<sockaddr_in6*>(&address);
      in6->sin6_family = AF_INET6;
      inet_pton(AF_INET6, host, &in6->sin6_addr);
      size = sizeof *in6;
    } else {
      auto* in4 = reinterpret_cast<sockaddr_in*>(&address);
      in4->sin_family = AF_INET;
      inet_pton(AF_INET, host, &in4->sin_addr);
      size = sizeof *in4;
    }
    if (bind(socket_, reinterpret_cast<sockaddr*>(&address), size) != 0 ||
        listen(socket_, 4) != 0 ||
        getsockname(socket_, reinterpret_cast<sockaddr*>(&address), &size) != 0) {
      close(socket_);
      socket_ = -1;
      return;
    }
    port_ = ntohs(v6 ? reinterpret_cast<sockaddr_in6*>(&address)->sin6_port
                     : reinterpret_cast<sockaddr_in*>(&address)->sin_port);
  }
  ~Listener() {
    if (socket_ >= 0) {
      close(socket_);
    }
  }
  bool ok() const { return socket_ >= 0; }
  std::string port() const { return std::to_string(port_); }

 private:
  int socket_ = -1;
  int port_ = 0;
};

TEST(ReadinessProbeTest, KnocksWhereSingBoxWillListenOnTheConfigurationItReads) {
  Listener v4("127.0.0.1");
  ASSERT_TRUE(v4.ok());
  const std::string port = v4.port();
  const std::string configs[] = {
      R"({"experimental": {"clash_api": {"external_controller": ":)" + port + R"("}}})",
      R"({"experimental": {"clash_api": {"external_controller": "0.0.0.0:)" + port + R"("}}})",
      R"({"experimental": {"clash_api": {"external_controller": "localhost:)" + port + R"("}}})",
      // A hash comment, keys in capitals, a later occurrence that changes
      // the address and one that leaves it alone, a trailing comma.
      "# the engine's configuration\n"
      R"({"experimental": {"clash_api": {"external_controller": "127.0.0.1:1"}},
          "EXPERIMENTAL": {"Clash_API": {"External_Controller": "127.0.0.1:)" +
          port + R"("}},
          "experimental": {"clash_api": {"secret": "s"},},
         })",
  };
  for (const std::string& config : configs) {
    std::function<bool()> probe = clashApiProbe(config);
    ASSERT_TRUE(probe) << config;
    EXPECT_TRUE(probe()) << config;
  }

  Listener v6("::1");
  if (v6.ok()) {
    std::function<bool()> probe =
        clashApiProbe(R"({"experimental": {"clash_api": {"external_controller": "[::1]:)" +
                      v6.port() + R"("}}})");
    ASSERT_TRUE(probe);
    EXPECT_TRUE(probe());
  }

  // Nothing there yet: the probe says so until something listens.
  std::function<bool()> closed =
      clashApiProbe(R"({"experimental": {"clash_api": {"external_controller": "127.0.0.1:1"}}})");
  ASSERT_TRUE(closed);
  EXPECT_FALSE(closed());

  for (const char* unprobed :
       {"{}", "{", R"({"experimental": {"clash_api": {}}})",
        R"({"experimental": {"clash_api": {"external_controller": "::1:9"}}})",
        R"({"experimental": {"clash_api": {"external_controller": "a.lan:9"}}})",
        R"({"experimental": {"clash_api": {"external_controller": ":0"}}})"}) {
    EXPECT_FALSE(clashApiProbe(unprobed)) << unprobed;
  }
}

}  // namespace
}  // namespace tarq
