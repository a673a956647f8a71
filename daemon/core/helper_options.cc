#include "helper_options.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <set>
#include <stdexcept>

#include "peer_credentials_policy.h"

#if defined(__APPLE__)
#include <mach-o/dyld.h>
#endif

namespace tarq {

void addHelperOptions(CLI::App& app, HelperOptions& options, const HelperOptionTexts& texts) {
  app.add_option("--socket", options.socketPath,
                 "Socket to listen on, unless a service manager hands one over")
      ->capture_default_str();
  app.add_option("--engine", options.engine, texts.engine);
  app.add_option("--log", options.logPath, texts.log);
  app.add_option("--log-max-bytes", options.maxLogBytes,
                 "Size at which the log is moved to LOG.1 and begun afresh")
      ->capture_default_str()
      ->check(CLI::Range(size_t{1024}, size_t{1} << 40));
  app.add_option("--daemon-log", options.daemonLogPath,
                 "File for the daemon's own lines, kept to --log-max-bytes like the engine's log "
                 "(default: standard error)");
  app.add_option("--state-dir", options.stateFolder, texts.stateFolder);
  app.add_option("--allow-uid", options.allowedUids,
                 "User id allowed besides root (repeatable). An allowed user can run any engine "
                 "configuration as root")
      ->allow_extra_args(false);
  app.add_option("--allow-group", options.allowedGroups,
                 "Group (name or id) whose members are allowed (repeatable)")
      ->allow_extra_args(false);
}

HelperDaemonSettings peerCredentialsSettings(const std::string& program,
                                             const HelperOptions& options) {
  std::set<uid_t> uids(options.allowedUids.begin(), options.allowedUids.end());
  uids.insert(0);
  std::set<gid_t> groups;
  for (const std::string& group : options.allowedGroups) {
    groups.insert(groupIdOf(group));
  }
  auto policy = std::make_unique<PeerCredentialsPolicy>(uids, groups);
  HelperDaemonSettings settings;
  settings.program = program;
  settings.socketPath = options.socketPath;
  settings.engine = options.engine;
  settings.logPath = options.logPath;
  settings.maxLogBytes = options.maxLogBytes;
  settings.daemonLogPath = options.daemonLogPath;
  settings.stateFolder = options.stateFolder;
  settings.callers = policy->describe();
  settings.policy = std::move(policy);
  return settings;
}

std::string ownExecutableFolder() {
  char self[PATH_MAX] = {};
#if defined(__APPLE__)
  uint32_t size = sizeof self;
  if (_NSGetExecutablePath(self, &size) != 0) {
    throw std::runtime_error("cannot find this program's own path");
  }
#else
  ssize_t size = readlink("/proc/self/exe", self, sizeof self - 1);
  if (size <= 0) {
    throw std::runtime_error("cannot find this program's own path");
  }
#endif
  char resolved[PATH_MAX];
  std::string path = realpath(self, resolved) != nullptr ? resolved : self;
  return path.substr(0, path.rfind('/'));
}

}  // namespace tarq
