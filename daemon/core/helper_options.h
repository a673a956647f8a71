// The command line both helper programs share, and the caller policy it
// describes.
#ifndef TARQ_DAEMON_CORE_HELPER_OPTIONS_H_
#define TARQ_DAEMON_CORE_HELPER_OPTIONS_H_

#include <sys/types.h>

#include <CLI/CLI.hpp>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "helper_daemon.h"

namespace tarq {

struct HelperOptions {
  std::string socketPath;
  std::string engine;
  std::string logPath;
  size_t maxLogBytes = 8 * 1024 * 1024;
  std::string logGroup;  // empty: the log is root's alone
  std::string daemonLogPath;
  std::string stateFolder;
  std::vector<uid_t> allowedUids;
  std::vector<std::string> allowedGroups;
  std::string engineUser;  // empty: kDefaultEngineUser
  bool engineProcessRules = false;
  bool allowConfigPaths = false;
};

// Adds --socket, --engine, --log, --log-max-bytes, --log-group, --daemon-log,
// --state-dir, --allow-uid, --allow-group, --engine-user, --engine-process-rules
// and --allow-config-paths. The texts describe each program's own defaults.
struct HelperOptionTexts {
  std::string engine;
  std::string log;
  std::string stateFolder;
};
void addHelperOptions(CLI::App& app, HelperOptions& options, const HelperOptionTexts& texts);

// Makes the paths given on the command line absolute against the current
// folder, once, at start: the daemon must not depend on where it was
// started from later. A bare program name in `engine` (no slash) is left to
// the front, which may look it up.
void makePathsAbsolute(HelperOptions& options);

// Settings for runHelperDaemon() with the kernel-credentials policy of
// root, the allowed uids and the allowed groups, and the engine's identity.
// Throws std::runtime_error for a group or engine user that does not exist,
// and for --engine-user or --engine-process-rules where they cannot apply.
HelperDaemonSettings peerCredentialsSettings(const std::string& program,
                                             const HelperOptions& options);

// The folder of the running program, without following PATH.
std::string ownExecutableFolder();

}  // namespace tarq

#endif  // TARQ_DAEMON_CORE_HELPER_OPTIONS_H_
