// What the stand-in engine takes from a sing-box configuration: where the
// Clash API listens, its secret, and the selector groups with their members.
#ifndef TARQ_TOOLS_SIMENGINE_ENGINE_CONFIG_H_
#define TARQ_TOOLS_SIMENGINE_ENGINE_CONFIG_H_

#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarq {

// The group the plug-in switches; a configuration without it is unusable.
inline constexpr char kSelectorGroup[] = "tarq";

// A configuration the engine cannot run; what() says why, for a person.
class EngineConfigError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct SelectorGroup {
  std::vector<std::string> members;  // never empty
  std::string initial;               // "default", else the first member
};

struct EngineConfig {
  // experimental.clash_api.external_controller, split. `host` is always a
  // loopback address: the stand-in never serves beyond this machine.
  std::string host;
  int port = 0;
  std::string secret;
  // Every selector outbound by tag; kSelectorGroup is always present.
  std::map<std::string, SelectorGroup> selectors;
  // The type of every outbound and endpoint by tag, selectors included.
  std::map<std::string, std::string> outboundTypes;

  // Parses the text of a sing-box configuration (comments allowed, as
  // sing-box allows them). Throws EngineConfigError.
  static EngineConfig parse(const std::string& text);
};

// Splits "host:port" / "[v6]:port" as Go's net.Listen reads it and checks
// that the host is a loopback address ("localhost" becomes 127.0.0.1).
// Throws EngineConfigError.
void parseLoopbackAddress(const std::string& address, std::string& host, int& port);

}  // namespace tarq

#endif  // TARQ_TOOLS_SIMENGINE_ENGINE_CONFIG_H_
