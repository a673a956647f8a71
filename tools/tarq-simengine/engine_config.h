// What the stand-in engine takes from a sing-box configuration: where the
// Clash API listens, its secret, the selector groups with their members, and
// the cache file that keeps their selection.
//
// The configuration is read as sing-box reads it (daemon/core/
// config_document.h: its comments, keys in any letter case, repeated keys
// decoded in turn), so that the stand-in accepts and serves what sing-box
// would.
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
  // Where to listen for experimental.clash_api.external_controller: a
  // numeric loopback address. sing-box listens on every address for ":PORT",
  // "0.0.0.0:PORT" and "[::]:PORT"; the stand-in listens on 127.0.0.1 for
  // those (and for "localhost"), where the plug-in connects, and never
  // beyond this machine.
  std::string host;
  int port = 0;
  std::string secret;
  // Every selector outbound by tag; kSelectorGroup is always present.
  std::map<std::string, SelectorGroup> selectors;
  // The type of every outbound and endpoint by tag, selectors included.
  std::map<std::string, std::string> outboundTypes;
  // experimental.cache_file.path ("cache.db" when unset; relative to the
  // working directory, as sing-box takes it) when the cache file is enabled,
  // else empty.
  std::string cacheFile;

  // Parses the text of a sing-box configuration. Throws EngineConfigError.
  static EngineConfig parse(const std::string& text);
};

}  // namespace tarq

#endif  // TARQ_TOOLS_SIMENGINE_ENGINE_CONFIG_H_
