// The engine the helper runs: one child process at a time, launched as
// `PROGRAM run -c CONFIG [EXTRA...]` in a process group of its own (so that a
// Ctrl-C meant for the helper does not reach it directly), with its standard
// output and error appended to the log.
//
// A supervising thread per engine carries the engine's output into the log
// and learns of its exit the moment it happens: it then reaps the engine,
// removes the configuration file it ran on (the caller's secrets must not
// outlive the engine) and the engine's record.
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
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "rotating_log.h"

namespace tarq {

class EngineLaunchError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

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
    std::string workDirectory;
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
