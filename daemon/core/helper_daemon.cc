#include "helper_daemon.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <string.h>
#include <sys/file.h>
#include <unistd.h>

#include <iostream>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "config_intake.h"
#include "daemon_log.h"
#include "engine_folder.h"
#include "engine_process.h"
#include "engine_record.h"
#include "helper_requests.h"
#include "helper_server.h"
#include "socket_activation.h"
#include "socket_calls.h"
#include "stray_children.h"

namespace tarq {
namespace {

// Blocks the stop signals in this thread and every thread made later, and
// turns the first one that arrives into a byte on the returned descriptor,
// which ends serving. The engine starts with a clean signal state of its own.
int stopSignalDescriptor() {
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);
  int ends[2];
  // Close-on-exec: the engine must not inherit the stop pipe (it would hold
  // the write end open, and could wake the daemon's serving loop).
  if (!openPipe(ends)) {
    return -1;
  }
  std::thread([stopSignals, writeEnd = ends[1]] {
    int received = 0;
    sigwait(&stopSignals, &received);
    auto number = static_cast<unsigned char>(received);
    (void)!write(writeEnd, &number, 1);
  }).detach();
  return ends[0];
}

// One daemon per state folder: the engine record and the copy in it are
// one daemon's. The lock goes with the process, also when it crashes.
int lockStateFolder(const std::string& folder) {
  std::string path = folder + "/helper.lock";
  int lock = open(path.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (lock < 0) {
    throw std::runtime_error("open " + path + ": " + strerror(errno));
  }
  if (flock(lock, LOCK_EX | LOCK_NB) != 0) {
    close(lock);
    throw std::runtime_error("another helper runs with the state folder " + folder);
  }
  return lock;
}

std::string describeEngineIdentity(const std::optional<EngineIdentity>& identity, bool ownUser) {
  if (ownUser) {
    return "as " + identity->user + " with " + describeEngineCapabilities(identity->processRules);
  }
  if (identity && identity->isRoot()) {
    return "as root (--engine-user root)";
  }
  return "as this daemon's own user";
}

// The daemon's own log: the file asked for, else (also when it cannot be
// opened, which is said on standard error) standard error.
std::shared_ptr<const DaemonLog> openDaemonLog(const HelperDaemonSettings& settings) {
  if (!settings.daemonLogPath.empty()) {
    try {
      return std::make_shared<DaemonLog>(settings.program, settings.daemonLogPath,
                                         settings.maxLogBytes);
    } catch (const std::exception& error) {
      logDaemonLine(settings.program, std::string(error.what()) + "; logging to standard error");
    }
  }
  return std::make_shared<DaemonLog>(settings.program);
}

}  // namespace

void logDaemonLine(const std::string& program, const std::string& line) {
  static std::mutex mutex;
  std::lock_guard lock(mutex);
  std::cerr << program << ": " << line << std::endl;
}

int runHelperDaemon(HelperDaemonSettings settings) {
  std::shared_ptr<const DaemonLog> daemonLog = openDaemonLog(settings);
  auto log = [daemonLog](const std::string& line) { daemonLog->write(line); };
  int stopDescriptor = stopSignalDescriptor();
  if (stopDescriptor < 0) {
    log(std::string("pipe: ") + strerror(errno));
    return 1;
  }

  bool engineOwnUser =
      settings.engineIdentity && !settings.engineIdentity->isRoot() && geteuid() == 0;
  EngineProcess::Options engineOptions;
  engineOptions.program = settings.engine;
  engineOptions.extraArguments = settings.engineArguments;
  engineOptions.logPath = settings.logPath;
  engineOptions.maxLogBytes = settings.maxLogBytes;
  engineOptions.logGroup = settings.logGroup;
  engineOptions.workDirectory = engineFolderIn(settings.stateFolder);
  engineOptions.identity = settings.engineIdentity;
  engineOptions.recordPath = settings.stateFolder + "/engine.pid";
  engineOptions.log = log;
  std::optional<EngineProcess> engine;
  int listener = -1;
  int stateLock = -1;  // held until the process ends
  // What an engine forks and leaves behind becomes the daemon's to end.
  bool reaper = adoptOrphanedDescendants();
  try {
    // The engine's user passes through the state folder to its copy and
    // its working folder, and can list nothing in it.
    preparePrivateFolder(settings.stateFolder, engineOwnUser ? 0711 : 0700);
    stateLock = lockStateFolder(settings.stateFolder);
    // Before anything else: two engines must never run.
    if (std::string stopped = stopRecordedEngine(engineOptions.recordPath, engineOptions.stopGrace);
        !stopped.empty()) {
      log(stopped);
    }
    // A copy left by a run that ended without its stop holds secrets.
    unlink((settings.stateFolder + "/" + kConfigCopyName).c_str());
    prepareEngineFolder(engineOptions.workDirectory, settings.engineIdentity);
    engine.emplace(engineOptions);
    listener = activatedSocket();
  } catch (const std::exception& error) {
    log(error.what());
    return 1;
  }

  HelperRequestSettings requestSettings;
  requestSettings.stateFolder = settings.stateFolder;
  requestSettings.engineFolder = engineOptions.workDirectory;
  requestSettings.engineIdentity = settings.engineIdentity;
  requestSettings.allowConfigPaths = settings.allowConfigPaths;
  requestSettings.build = settings.program + " " + TARQ_VERSION;
  HelperRequests requests(*engine, requestSettings, log);
  {
    HelperServer server(
        {.socketPath = settings.socketPath}, *settings.policy,
        [&requests](const std::string& line, const CallerVerdict& caller) {
          return requests.handle(line, caller);
        },
        log);
    try {
      if (listener >= 0) {
        server.adopt(listener);
      } else {
        server.bind();
      }
    } catch (const std::exception& error) {
      log(error.what());
      return 1;
    }
    log("version " + std::string(TARQ_VERSION) + ", listening on " +
        (listener >= 0 ? "the socket handed over by the service manager" : settings.socketPath) +
        " for " + settings.callers + "; engine " + settings.engine + " " +
        describeEngineIdentity(settings.engineIdentity, engineOwnUser) + " in " +
        engineOptions.workDirectory + "; log " + settings.logPath + "; state in " +
        settings.stateFolder);
    if (!reaper) {
      log("this system cannot make the daemon the reaper of what an engine leaves behind; only "
          "the engine's process group is ended with it");
    }
    server.serve(stopDescriptor);
    unsigned char received = 0;
    if (read(stopDescriptor, &received, 1) == 1) {
      log("stopping on signal " + std::to_string(received));
    }
  }
  requests.shutdown();
  endStrayChildren(0);
  close(stopDescriptor);
  close(stateLock);
  log("stopped");
  return 0;
}

}  // namespace tarq
