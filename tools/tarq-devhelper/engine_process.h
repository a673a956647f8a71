// The engine the development helper runs: one child process at a time,
// launched as `PROGRAM run -c CONFIG [EXTRA...]` with its output in a log
// file, in a process group of its own so that a Ctrl-C meant for the helper
// does not reach it directly.
//
// Thread safety: every method may be called from any thread; calls are
// serialised (stop() may hold the others up for its grace period).
#ifndef TARQ_TOOLS_DEVHELPER_ENGINE_PROCESS_H_
#define TARQ_TOOLS_DEVHELPER_ENGINE_PROCESS_H_

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

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
    std::string logPath;  // truncated at each launch, mode 0600
    std::string workDirectory;
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

  explicit EngineProcess(Options options);
  // Stops the engine.
  ~EngineProcess();
  EngineProcess(const EngineProcess&) = delete;
  EngineProcess& operator=(const EngineProcess&) = delete;

  // Stops the running engine, if any, and launches a new one on `configPath`;
  // returns once the new engine has exited, `ready` has said that it serves,
  // or the watch is over. Throws EngineLaunchError when the program cannot be
  // run.
  void start(const std::string& configPath, const std::function<bool()>& ready = {});

  // Ends the engine: SIGTERM, then SIGKILL after the grace period; waits for
  // it. Does nothing when no engine runs.
  void stop();

  // Reaps an exited engine before answering.
  EngineStatus status();

  const Options& options() const { return options_; }

 private:
  void stopLocked();
  void reapLocked(bool wait);
  void recordExitLocked(int waitStatus);

  const Options options_;
  std::mutex mutex_;
  pid_t pid_ = 0;  // 0 when no engine runs
  bool stopping_ = false;
  std::string exitError_;
};

// Text for a wait status: "exit status N" or "killed by signal N".
std::string describeWaitStatus(int waitStatus);

}  // namespace tarq

#endif  // TARQ_TOOLS_DEVHELPER_ENGINE_PROCESS_H_
