// tarq-devhelper: a helper daemon for development on Linux. It serves the
// helper's line protocol on a Unix socket and runs the engine (sing-box, or
// the stand-in tarq-simengine) on a private copy of the caller's
// configuration. It is meant for a developer's machine, not for shipping.
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <iostream>
#include <mutex>
#include <optional>
#include <sstream>

#include "config_intake.h"
#include "engine_process.h"
#include "engine_record.h"
#include "helper/socket_transport.h"
#include "helper_requests.h"
#include "helper_server.h"
#include "helperd/peer_credentials_policy.h"

namespace tarq {
namespace {

constexpr char kProgram[] = "tarq-devhelper";
constexpr char kStandIn[] = "tarq-simengine";

void logLine(const std::string& line) {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  std::cerr << kProgram << ": " << line << std::endl;
}

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

std::string ownFolder() {
  char self[PATH_MAX];
  ssize_t size = readlink("/proc/self/exe", self, sizeof self - 1);
  if (size <= 0) {
    return ".";
  }
  std::string path(self, static_cast<size_t>(size));
  return path.substr(0, path.rfind('/'));
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
  std::string standIn = ownFolder() + "/" + kStandIn;
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

struct Settings {
  std::string socketPath = kHelperSocketPath;
  std::string engine;
  std::vector<std::string> engineArguments;
  std::vector<uid_t> allowedUids;
  std::string stateFolder;
};

int serve(const Settings& settings) {
  // Every thread, those made later included, keeps these blocked; they
  // arrive through the descriptor that ends serving. The engine starts with
  // a clean signal state of its own.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  int stopDescriptor = signalfd(-1, &stopSignals, SFD_CLOEXEC);
  if (stopDescriptor < 0) {
    logLine("signalfd failed");
    return 1;
  }

  std::string engine;
  std::string stateFolder;
  try {
    engine = resolveEngine(settings.engine);
    stateFolder = settings.stateFolder.empty() ? defaultStateFolder() : settings.stateFolder;
    preparePrivateFolder(stateFolder);
  } catch (const std::exception& error) {
    logLine(error.what());
    return 1;
  }
  std::set<uid_t> allowed(settings.allowedUids.begin(), settings.allowedUids.end());
  allowed.insert(0);
  PeerCredentialsPolicy policy(allowed, {});

  EngineProcess::Options engineOptions;
  engineOptions.program = engine;
  engineOptions.extraArguments = settings.engineArguments;
  engineOptions.logPath = stateFolder + "/engine.log";
  engineOptions.workDirectory = stateFolder;
  engineOptions.recordPath = stateFolder + "/engine.pid";
  if (std::string stopped = stopRecordedEngine(engineOptions.recordPath, engineOptions.stopGrace);
      !stopped.empty()) {
    logLine(stopped);
  }
  engineOptions.log = logLine;
  std::optional<EngineProcess> engineHolder;
  try {
    engineHolder.emplace(engineOptions);
  } catch (const std::exception& error) {
    logLine(error.what());
    return 1;
  }
  EngineProcess& process = *engineHolder;
  HelperRequests requests(process, stateFolder, std::string(kProgram) + " " + TARQ_VERSION,
                          logLine);
  {
    HelperServer server(
        {.socketPath = settings.socketPath}, policy,
        [&requests](const std::string& line, const CallerVerdict& caller) {
          return requests.handle(line, caller);
        },
        logLine);
    try {
      server.bind();
    } catch (const std::exception& error) {
      logLine(error.what());
      return 1;
    }
    logLine(std::string("version ") + TARQ_VERSION + ", listening on " + settings.socketPath +
            " for " + policy.describe() + "; engine " + engine + "; state in " + stateFolder);
    server.serve(stopDescriptor);
    signalfd_siginfo received{};
    if (read(stopDescriptor, &received, sizeof received) == sizeof received) {
      logLine(std::string("stopping on SIG") + sigabbrev_np(static_cast<int>(received.ssi_signo)));
    }
  }
  requests.shutdown();
  close(stopDescriptor);
  logLine("stopped");
  return 0;
}

}  // namespace
}  // namespace tarq

int main(int argc, char** argv) {
  tarq::Settings settings;
  CLI::App app{
      "A helper daemon for development on Linux. It serves the TARQ helper protocol on a Unix\n"
      "socket (one JSON request line per connection: \"status\", \"start\", \"stop\") and runs\n"
      "the engine as `ENGINE run -c COPY`, where COPY is its private copy of the caller's\n"
      "configuration. Callers must be root or an allowed user; a \"config_path\" must name a\n"
      "regular file (not a link) owned by the caller. SIGTERM or Ctrl-C stops the engine and\n"
      "removes the socket.",
      tarq::kProgram};
  app.add_option("--socket", settings.socketPath, "Socket to listen on")->capture_default_str();
  app.add_option("--engine", settings.engine,
                 "Engine program (default: sing-box when it is on the PATH, else the stand-in "
                 "tarq-simengine next to this program)");
  app.add_option("--engine-arg", settings.engineArguments,
                 "Argument added after `run -c COPY` (repeatable)")
      ->allow_extra_args(false);
  app.add_option("--allow-uid", settings.allowedUids, "User id allowed besides root (repeatable)")
      ->allow_extra_args(false);
  app.add_option("--state-dir", settings.stateFolder,
                 "Private folder for the configuration copy and the engine log (default: "
                 "/var/lib/tarq-devhelper for root, else ~/.local/state/tarq-devhelper)");
  app.set_version_flag("--version", std::string(tarq::kProgram) + " " + TARQ_VERSION);
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& error) {
    return app.exit(error) == 0 ? 0 : 2;
  }
  return tarq::serve(settings);
}
