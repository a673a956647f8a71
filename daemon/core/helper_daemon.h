// The helper daemon's life, shared by tarq-helper and tarq-devhelper: stop
// an engine left by a previous run, take the socket (handed over by the
// service manager, or its own), serve until SIGTERM, SIGINT or SIGHUP, then
// stop the engine and leave.
#ifndef TARQ_DAEMON_CORE_HELPER_DAEMON_H_
#define TARQ_DAEMON_CORE_HELPER_DAEMON_H_

#include <sys/types.h>

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "caller_policy.h"
#include "engine_identity.h"

namespace tarq {

struct HelperDaemonSettings {
  std::string program;  // names the daemon in its log lines and "build"
  std::string socketPath;
  std::string engine;  // absolute path
  std::vector<std::string> engineArguments;
  std::string logPath;
  size_t maxLogBytes = 8 * 1024 * 1024;
  std::optional<gid_t> logGroup;  // may read the log; none: root alone
  // The daemon's own lines, kept to maxLogBytes; standard error when empty.
  std::string daemonLogPath;
  std::string stateFolder;
  // Who the engine runs as; none: as the daemon.
  std::optional<EngineIdentity> engineIdentity;
  // Lets configurations name paths outside the engine's folder.
  bool allowConfigPaths = false;
  std::unique_ptr<CallerPolicy> policy;
  std::string callers;  // who the policy admits, for the log
};

// Runs the daemon; returns the process's exit status. Its own lines go to
// standard error (the service manager's journal), or to daemonLogPath.
int runHelperDaemon(HelperDaemonSettings settings);

// Writes "PROGRAM: LINE" to standard error; safe from several threads.
void logDaemonLine(const std::string& program, const std::string& line);

}  // namespace tarq

#endif  // TARQ_DAEMON_CORE_HELPER_DAEMON_H_
