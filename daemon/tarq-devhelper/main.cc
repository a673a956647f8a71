// tarq-devhelper: a helper daemon for development on Linux. It serves the
// helper's line protocol on a Unix socket and runs the engine (sing-box, or
// the stand-in tarq-simengine) on a private copy of the caller's
// configuration. It is meant for a developer's machine, not for shipping.
//
// It is the development front of the same daemon as tarq-helper: only its
// defaults differ (the engine found on the PATH or the stand-in, a state
// folder per user, the log in that folder).
#include <limits.h>
#include <stdlib.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <optional>
#include <sstream>

#include "daemon/core/helper_daemon.h"
#include "daemon/core/helper_options.h"
#include "helper/socket_transport.h"

namespace tarq {
namespace {

constexpr char kProgram[] = "tarq-devhelper";
constexpr char kStandIn[] = "tarq-simengine";

bool isExecutableFile(const std::string& path) {
  return access(path.c_str(), X_OK) == 0;
}

std::optional<std::string> findOnPath(const std::string& name) {
  const char* path = getenv("PATH");
  std::istringstream folders(path != nullptr ? path : "/usr/local/bin:/usr/bin:/bin");
  for (std::string folder; std::getline(folders, folder, ':');) {
    std::string candidate = (folder.empty() ? "." : folder) + "/" + name;
    if (isExecutableFile(candidate)) {
      return candidate;
    }
  }
  return std::nullopt;
}

std::string absolute(const std::string& path) {
  char resolved[PATH_MAX];
  return realpath(path.c_str(), resolved) != nullptr ? std::string(resolved) : path;
}

// --engine as given (a path, or a name looked up on the PATH); by default
// sing-box when it is on the PATH, else the stand-in next to this program.
std::string resolveEngine(const std::string& requested) {
  if (!requested.empty()) {
    if (requested.find('/') != std::string::npos) {
      if (!isExecutableFile(requested)) {
        throw std::runtime_error("--engine " + requested + " is not an executable file");
      }
      return absolute(requested);
    }
    if (auto found = findOnPath(requested)) {
      return absolute(*found);
    }
    throw std::runtime_error("--engine " + requested + " is not on the PATH");
  }
  if (auto singBox = findOnPath("sing-box")) {
    return absolute(*singBox);
  }
  std::string standIn = ownExecutableFolder() + "/" + kStandIn;
  if (isExecutableFile(standIn)) {
    return standIn;
  }
  throw std::runtime_error(std::string("sing-box is not on the PATH and ") + kStandIn +
                           " is not next to this program; give --engine");
}

std::string defaultStateFolder() {
  if (geteuid() == 0) {
    return "/var/lib/tarq-devhelper";
  }
  const char* stateHome = getenv("XDG_STATE_HOME");
  if (stateHome != nullptr && stateHome[0] == '/') {
    return std::string(stateHome) + "/tarq-devhelper";
  }
  const char* home = getenv("HOME");
  if (home == nullptr || home[0] != '/') {
    throw std::runtime_error("no HOME to keep the state in; give --state-dir");
  }
  return std::string(home) + "/.local/state/tarq-devhelper";
}

}  // namespace
}  // namespace tarq

int main(int argc, char** argv) {
  tarq::HelperOptions options;
  options.socketPath = tarq::kHelperSocketPath;
  std::vector<std::string> engineArguments;
  CLI::App app{
      "A helper daemon for development on Linux: tarq-helper with development defaults. It\n"
      "serves the TARQ helper protocol on a Unix socket (one JSON request line per connection:\n"
      "\"status\", \"start\", \"stop\") and runs the engine as `ENGINE run -c COPY -D FOLDER`,\n"
      "where COPY is its private copy of the caller's configuration, read with the caller's own\n"
      "rights. Callers must be root or allowed. Run as root, it runs the engine as its own user\n"
      "with the network capabilities only; run as you, as you. SIGTERM or Ctrl-C stops the\n"
      "engine and removes the socket.",
      tarq::kProgram};
  addHelperOptions(
      app, options,
      {.engine = "Engine program, a path or a name on the PATH (default: sing-box when it is on "
                 "the PATH, else the stand-in tarq-simengine next to this program)",
       .log = "Log of the engine's output (default: engine.log in the state folder)",
       .stateFolder = "Private folder for the configuration copy and the engine log (default: "
                      "/var/lib/tarq-devhelper for root, else ~/.local/state/tarq-devhelper)"});
  app.add_option("--engine-arg", engineArguments,
                 "Argument added after `run -c COPY -D FOLDER` (repeatable)")
      ->allow_extra_args(false);
  app.set_version_flag("--version", std::string(tarq::kProgram) + " " + TARQ_VERSION);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : 2;
  }
  tarq::makePathsAbsolute(options);
  tarq::HelperDaemonSettings settings;
  try {
    options.engine = tarq::resolveEngine(options.engine);
    if (options.stateFolder.empty()) {
      options.stateFolder = tarq::defaultStateFolder();
    }
    if (options.logPath.empty()) {
      options.logPath = options.stateFolder + "/engine.log";
    }
    settings = tarq::peerCredentialsSettings(tarq::kProgram, options);
  } catch (const std::exception& error) {
    tarq::logDaemonLine(tarq::kProgram, error.what());
    return 1;
  }
  settings.engineArguments = engineArguments;
  return tarq::runHelperDaemon(std::move(settings));
}
