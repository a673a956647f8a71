// The helper daemon's side of the line protocol: one request object in, one
// reply object out.
//
//   {"op":"status"}  -> {"ok":true,"running":R,"pid":P,"build":B[,"error":E]}
//   {"op":"start","config_path":PATH[,"selected":TAG]} -> {"ok":true} | {"ok":false,"error":E}
//   {"op":"stop"}    -> {"ok":true}
//
// Malformed lines and unknown ops get {"ok":false,"error":REASON}; nothing a
// caller sends can stop the daemon. A configuration that names a file or
// folder outside the engine's folder is refused before any engine starts
// (config_path_policy.h), unless the daemon was told to allow it. Callers come here already
// admitted by the caller policy. "selected" is accepted and left alone: the plug-in selects the
// outbound through the Clash API itself.
//
// Thread safety: handle() may be called from several threads at once.
#ifndef TARQ_DAEMON_CORE_HELPER_REQUESTS_H_
#define TARQ_DAEMON_CORE_HELPER_REQUESTS_H_

#include <sys/types.h>

#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "caller_policy.h"
#include "engine_identity.h"
#include "engine_process.h"

namespace tarq {

inline constexpr char kConfigCopyName[] = "config.json";

struct HelperRequestSettings {
  // Private (0700, or 0711 so that the engine's user reaches its copy);
  // holds the configuration copy.
  std::string stateFolder;
  // The engine's working folder (engine_folder.h).
  std::string engineFolder;
  // Who the engine runs as; none: as the daemon.
  std::optional<EngineIdentity> engineIdentity;
  // Lets configurations name paths outside the engine's folder.
  bool allowConfigPaths = false;
  std::string build;  // "status"'s "build"
};

class HelperRequests {
 public:
  HelperRequests(EngineProcess& engine, HelperRequestSettings settings,
                 std::function<void(const std::string&)> log);

  // The reply line, without its line feed, to one request line.
  std::string handle(const std::string& line, const CallerVerdict& caller);

  // Stops the engine and removes the configuration copy.
  void shutdown();

 private:
  std::string start(const std::string& configPath, const CallerVerdict& caller);
  std::string stop();
  std::string status();
  void removeCopy();

  // Why the configuration must not run: it names a path outside the
  // engine's folder, or sing-box would not read it at all. None when it may.
  std::optional<std::string> checkConfiguration(const std::string& content);
  // The copy of `content` the engine runs on, readable by the engine alone.
  std::string writeCopy(const std::string& content);

  EngineProcess& engine_;
  const HelperRequestSettings settings_;
  const std::function<void(const std::string&)> log_;
  // Serialises "start" and "stop", which replace or remove the one copy.
  std::mutex lifecycle_;
};

}  // namespace tarq

#endif  // TARQ_DAEMON_CORE_HELPER_REQUESTS_H_
