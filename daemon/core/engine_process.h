// The engine the helper runs: one child process at a time, launched as
// `PROGRAM run -c CONFIG -D WORKDIR [EXTRA...]` (engine_launch.h: a process
// group of its own, and on Linux a user of its own with the tunnel's
// capabilities only), with its standard output and error appended to the
// log.
//
// A supervising thread per engine carries the engine's output into the log
// and learns of its exit the moment it happens: it then ends what the engine
// left running (its process group, and on Linux every orphan it left:
// stray_children.h), reaps the engine, removes the configuration file it ran
// on (the caller's secrets must not outlive the engine) and the engine's
// record.
//
// Thread safety: every method may be called from any thread; calls are
// serialised (stop() may hold the others up for its grace period).
#ifndef TARQ_DAEMON_CORE_ENGINE_PROCESS_H_
#define TARQ_DAEMON_CORE_ENGINE_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "engine_identity.h"
#include "engine_launch.h"
#include "rotating_log.h"

namespace tarq {

struct EngineStatus {
  bool running = false;
  int64_t pid = 0;
  // Why the last engine is no longer running ("exit status 1", "killed by
  // signal 9"); empty while it runs, before the first start and after stop().
  std::string error;
};

class EngineProcess {
 public:
  struct Options {
    std::string program;  // absolute path
    std::vector<std::string> extraArguments;
    std::string logPath;
    size_t maxLogBytes = 8 * 1024 * 1024;
    std::optional<gid_t> logGroup;  // may read the log
    // The engine's working folder (sing-box's -D): relative paths of its
    // configuration land there. Absolute.
    std::string workDirectory;
    // Who the engine runs as (Linux); none: as the daemon.
    std::optional<EngineIdentity> identity;
    // Where the running engine's pid and start time are kept; none if empty.
    std::string recordPath;
    // How long stop() waits after SIGTERM before SIGKILL.
    std::chrono::milliseconds stopGrace{5000};
    // How long start() watches a new engine for an early exit, so that a
    // configuration the engine rejects shows in the very next status: until
    // the readiness probe succeeds, or for the short watch without a probe.
    std::chrono::milliseconds readyWatch{3000};
    std::chrono::milliseconds launchWatch{500};
    // Receives one line per launch, exit and stop.
    std::function<void(const std::string& line)> log = [](const std::string&) {};
  };

  // Opens the log (RotatingLog's errors propagate).
  explicit EngineProcess(Options options);
  // Stops the engine.
  ~EngineProcess();
  EngineProcess(const EngineProcess&) = delete;
  EngineProcess& operator=(const EngineProcess&) = delete;

  // Stops the running engine, if any, and launches a new one on
  // `configPath`, which belongs to the engine from then on: it is removed
  // when the engine exits. Returns once the new engine has exited, `ready`
  // has said that it serves, or the watch is over. Throws EngineLaunchError
  // when the program cannot be run.
  void start(const std::string& configPath, const std::function<bool()>& ready = {});

  // Ends the engine: SIGTERM, then SIGKILL after the grace period; waits for
  // it. Does nothing when no engine runs.
  void stop();

  EngineStatus status();

  const Options& options() const { return options_; }

 private:
  void stopLocked(std::unique_lock<std::mutex>& lock);
  void supervise(pid_t pid, int output);
  void recordExitLocked(int waitStatus, const std::string& lastWords);
  // Ends the group and the orphans of the exited, not yet reaped `pid`.
  void endLeftovers(pid_t pid);
  std::string runsAs() const;

  const Options options_;
  RotatingLog log_;
  std::mutex mutex_;
  std::condition_variable exited_;
  pid_t pid_ = 0;  // 0 when no engine runs
  std::string configPath_;
  bool stopping_ = false;
  std::string exitError_;
  std::thread supervisor_;
};

// Text for a wait status: "exit status N" or "killed by signal N".
std::string describeWaitStatus(int waitStatus);

}  // namespace tarq

#endif  // TARQ_DAEMON_CORE_ENGINE_PROCESS_H_
