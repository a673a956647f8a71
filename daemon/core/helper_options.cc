#include "helper_options.h"

#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <set>
#include <stdexcept>

#include "engine_identity.h"
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
  app.add_option("--log-group", options.logGroup,
                 "Group (name or id) that may read the engine's log: the log is then 0640, its "
                 "folder 0750 when the daemon makes it; without it the log is 0600");
  app.add_option("--daemon-log", options.daemonLogPath,
                 "File for the daemon's own lines, kept to --log-max-bytes like the engine's log "
                 "(default: standard error)");
  app.add_option("--state-dir", options.stateFolder, texts.stateFolder);
  app.add_option("--allow-uid", options.allowedUids,
                 "User id allowed besides root (repeatable). An allowed user gets a tunnel: the "
                 "engine, with network control")
      ->allow_extra_args(false);
  app.add_option("--allow-group", options.allowedGroups,
                 "Group (name or id) whose members are allowed (repeatable)")
      ->allow_extra_args(false);
#if defined(__linux__)
  app.add_option("--engine-user", options.engineUser,
                 std::string("User the engine runs as, with the network capabilities only, when "
                             "the daemon is root (default: ") +
                     kDefaultEngineUser +
                     "). \"root\" runs it with all of root's rights, and only when asked for");
  app.add_flag("--engine-process-rules", options.engineProcessRules,
               "Also give the engine cap_sys_ptrace and cap_dac_read_search, which sing-box's "
               "process_name and process_path rules need");
#endif
  app.add_flag("--allow-config-paths", options.allowConfigPaths,
               "Let configurations name files and folders outside the engine's folder (logs a "
               "line at each start)");
}

void makePathsAbsolute(HelperOptions& options) {
  auto absolute = [](std::string& path) {
    if (path.empty()) {
      return;
    }
    std::string made = std::filesystem::absolute(path).lexically_normal().string();
    while (made.size() > 1 && made.back() == '/') {
      made.pop_back();
    }
    path = made;
  };
  absolute(options.socketPath);
  absolute(options.logPath);
  absolute(options.stateFolder);
  if (options.engine.find('/') != std::string::npos) {
    absolute(options.engine);
  }
}

namespace {

// The engine's identity: a user of its own when the daemon is root (Linux);
// none, so the engine runs as the daemon, when the daemon is not root.
std::optional<EngineIdentity> engineIdentityFor(const HelperOptions& options) {
  bool asked = !options.engineUser.empty() || options.engineProcessRules;
  if (geteuid() != 0) {
    if (asked) {
      throw std::runtime_error(
          "--engine-user and --engine-process-rules need the daemon to run as root; a daemon that "
          "is not root runs the engine as itself");
    }
    return std::nullopt;
  }
#if defined(__linux__)
  return engineIdentityOf(options.engineUser.empty() ? kDefaultEngineUser : options.engineUser,
                          options.engineProcessRules);
#else
  (void)asked;
  return std::nullopt;
#endif
}

}  // namespace

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
  settings.engineIdentity = engineIdentityFor(options);
  settings.allowConfigPaths = options.allowConfigPaths;
  if (!options.logGroup.empty()) {
    settings.logGroup = groupIdOf(options.logGroup);
  }
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
