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
  std::string daemonLogPath;
  std::string stateFolder;
  std::vector<uid_t> allowedUids;
  std::vector<std::string> allowedGroups;
};

// Adds --socket, --engine, --log, --log-max-bytes, --daemon-log, --state-dir,
// --allow-uid and --allow-group; `defaults` fills the options not given. The texts
// describe each program's own defaults.
struct HelperOptionTexts {
  std::string engine;
  std::string log;
  std::string stateFolder;
};
void addHelperOptions(CLI::App& app, HelperOptions& options, const HelperOptionTexts& texts);

// Settings for runHelperDaemon() with the kernel-credentials policy of
// root, the allowed uids and the allowed groups. Throws std::runtime_error
// for a group that does not exist.
HelperDaemonSettings peerCredentialsSettings(const std::string& program,
                                             const HelperOptions& options);

// The folder of the running program, without following PATH.
std::string ownExecutableFolder();

}  // namespace tarq

#endif  // TARQ_DAEMON_CORE_HELPER_OPTIONS_H_
