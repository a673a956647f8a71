// tarq-helper: the privileged helper daemon that applications ship with the
// plug-in. It serves the helper's line protocol on a Unix socket (its own, or
// one a service manager hands over), admits only the callers its policy
// allows, and runs one engine at a time on a private copy of the caller's
// configuration, with the engine's output in a size-bounded log.
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <iostream>
#include <string>
#include <vector>

#include "daemon/core/helper_daemon.h"
#include "daemon/core/helper_options.h"
#include "helper/socket_transport.h"

#ifdef __APPLE__
#include "mac/code_signing_policy.h"
#endif

namespace tarq {
namespace {

constexpr char kProgram[] = "tarq-helper";
constexpr char kEngineName[] = "sing-box";

#ifdef __APPLE__
constexpr char kDefaultLog[] = "/Library/Logs/Orvek/sing-box.log";
constexpr char kDefaultStateFolder[] = "/Library/Application Support/Orvek/Helper";
#else
constexpr char kDefaultLog[] = "/var/log/orvek/sing-box.log";
constexpr char kDefaultStateFolder[] = "/var/lib/orvek-helper";
#endif

// The engine is the one installed beside the helper, or one named by a
// path: never a program found through PATH, which the daemon's environment
// should not decide.
std::string engineProgram(const std::string& requested) {
  std::string engine = requested.empty() ? ownExecutableFolder() + "/" + kEngineName : requested;
  if (engine.front() != '/') {
    throw std::runtime_error("--engine must be a path (with a slash), not a name to look up: " +
                             engine);
  }
  if (access(engine.c_str(), X_OK) != 0) {
    throw std::runtime_error("the engine " + engine + " is not an executable file");
  }
  return engine;
}

}  // namespace
}  // namespace tarq

int main(int argc, char** argv) {
  tarq::HelperOptions options;
  options.socketPath = tarq::kHelperSocketPath;
  CLI::App app{
      "The TARQ helper daemon. It serves the helper protocol on a Unix socket (one JSON request\n"
      "line per connection: \"status\", \"start\", \"stop\") and runs the engine as `ENGINE run\n"
      "-c COPY -D FOLDER` on its private copy of the caller's configuration, read with the\n"
      "caller's own rights. Only allowed callers are served, and an allowed caller gets a\n"
      "tunnel, not root: on Linux the engine runs as its own user with the network capabilities\n"
      "only, and a configuration naming a path outside the engine's FOLDER is refused.\n"
      "SIGTERM stops the engine and the daemon.",
      tarq::kProgram};
  addHelperOptions(
      app, options,
      {.engine = std::string("Engine program, a path (default: ") + tarq::kEngineName +
                 " beside this program)",
       .log = std::string("Log of the engine's output (default: ") + tarq::kDefaultLog + ")",
       .stateFolder = std::string("Private folder for the configuration copy "
                                  "and the engine's record (default: ") +
                      tarq::kDefaultStateFolder + ")"});
#ifdef __APPLE__
  std::string requirement;
  std::vector<std::string> callerIdentifiers;
  app.add_option("--requirement", requirement,
                 "Code-signing requirement a caller must satisfy (default: signed by the same "
                 "team as this helper, as the application it ships in or a --caller-identifier)");
  app.add_option("--caller-identifier", callerIdentifiers,
                 "Signing identifier of an application allowed to call, signed by this helper's "
                 "team (repeatable; default: the application this helper is in)")
      ->allow_extra_args(false);
#endif
  app.set_version_flag("--version", std::string(tarq::kProgram) + " " + TARQ_VERSION);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : 2;
  }
  tarq::makePathsAbsolute(options);
  if (options.logPath.empty()) {
    options.logPath = tarq::kDefaultLog;
  }
  if (options.stateFolder.empty()) {
    options.stateFolder = tarq::kDefaultStateFolder;
  }
  tarq::HelperDaemonSettings settings;
  try {
    options.engine = tarq::engineProgram(options.engine);
    settings = tarq::peerCredentialsSettings(tarq::kProgram, options);
#ifdef __APPLE__
    // There callers are admitted by code signature alone.
    if (!options.allowedUids.empty() || !options.allowedGroups.empty()) {
      throw std::runtime_error(
          "--allow-uid and --allow-group are for Linux; on macOS callers are admitted by "
          "--requirement");
    }
    if (!requirement.empty() && !callerIdentifiers.empty()) {
      throw std::runtime_error("--caller-identifier goes with the default requirement only");
    }
    tarq::CodeSigningPolicyMade made = tarq::makeCodeSigningPolicy(requirement, callerIdentifiers);
    settings.policy = std::move(made.policy);
    settings.callers = made.callers;
#endif
  } catch (const std::exception& error) {
    tarq::logDaemonLine(tarq::kProgram, error.what());
    return 1;
  }
  return tarq::runHelperDaemon(std::move(settings));
}
