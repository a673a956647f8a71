#include "engine_process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string_view>

#include "engine_launch.h"
#include "engine_record.h"
#include "engine_watch.h"
#include "socket_calls.h"
#include "stray_children.h"

namespace tarq {
namespace {

constexpr auto kPollPause = std::chrono::milliseconds(10);

std::string systemError(const std::string& what, int error) {
  return what + ": " + strerror(error);
}

// How long the output of an engine that has exited is still read: a child
// of the engine may hold the pipe open.
constexpr auto kDrainAfterExit = std::chrono::milliseconds(1000);
constexpr size_t kTailBytes = 4096;

// The last non-empty line of the engine's output, shortened: usually the
// reason the engine gave for exiting.
std::string lastLine(std::string tail) {
  constexpr size_t kShown = 300;
  while (!tail.empty() && (tail.back() == '\n' || tail.back() == '\r')) {
    tail.pop_back();
  }
  size_t newline = tail.rfind('\n');
  std::string line = newline == std::string::npos ? tail : tail.substr(newline + 1);
  return line.size() > kShown ? line.substr(0, kShown) + "..." : line;
}

}  // namespace

std::string describeWaitStatus(int waitStatus) {
  if (WIFEXITED(waitStatus)) {
    return "exit status " + std::to_string(WEXITSTATUS(waitStatus));
  }
  if (WIFSIGNALED(waitStatus)) {
    return "killed by signal " + std::to_string(WTERMSIG(waitStatus));
  }
  return "ended with wait status " + std::to_string(waitStatus);
}

EngineProcess::EngineProcess(Options options)
    : options_(std::move(options)),
      log_(options_.logPath, options_.maxLogBytes, options_.logGroup) {}

EngineProcess::~EngineProcess() {
  stop();
}

void EngineProcess::start(const std::string& configPath, const std::function<bool()>& ready) {
  std::unique_lock lock(mutex_);
  stopLocked(lock);
  exitError_.clear();

  int output[2];
  if (!openPipe(output)) {
    throw EngineLaunchError(systemError("pipe", errno));
  }
  EngineLaunch launch;
  launch.argv = {options_.program, "run", "-c", configPath, "-D", options_.workDirectory};
  launch.argv.insert(launch.argv.end(), options_.extraArguments.begin(),
                     options_.extraArguments.end());
  launch.workDirectory = options_.workDirectory;
  launch.output = output[1];
  launch.identity = options_.identity;
  pid_t pid = 0;
  try {
    pid = launchEngine(launch);
  } catch (...) {
    close(output[0]);
    close(output[1]);
    throw;
  }
  close(output[1]);
  if (options_.identity && options_.identity->isRoot()) {
    options_.log(
        "warning: the engine runs as root (--engine-user root): a configuration can make "
        "it read, write and serve any file of this machine");
  }
  pid_ = pid;
  configPath_ = configPath;
  if (!options_.recordPath.empty()) {
    writeEngineRecord(options_.recordPath, pid);
  }
  std::string launched = "engine pid " + std::to_string(pid) + " started" + runsAs() + ": " +
                         options_.program + " run -c " + configPath + " -D " +
                         options_.workDirectory;
  log_.append("--- " + launched + "\n");
  options_.log(launched + "; output in " + options_.logPath);
  supervisor_ = std::thread(&EngineProcess::supervise, this, pid, output[0]);

  auto deadline =
      std::chrono::steady_clock::now() + (ready ? options_.readyWatch : options_.launchWatch);
  while (pid_ == pid && std::chrono::steady_clock::now() < deadline) {
    exited_.wait_for(lock, kPollPause);
    if (pid_ == pid && ready && ready()) {
      break;
    }
  }
}

void EngineProcess::stop() {
  std::unique_lock lock(mutex_);
  stopLocked(lock);
}

EngineStatus EngineProcess::status() {
  std::lock_guard lock(mutex_);
  EngineStatus status;
  status.running = pid_ != 0;
  status.pid = pid_;
  status.error = exitError_;
  return status;
}

void EngineProcess::stopLocked(std::unique_lock<std::mutex>& lock) {
  if (pid_ != 0) {
    // The engine is reaped only under the lock, so `pid` cannot name another
    // process while we signal it.
    pid_t pid = pid_;
    stopping_ = true;
    // The whole group: what the engine forked is stopped with it.
    kill(-pid, SIGTERM);
    if (!exited_.wait_for(lock, options_.stopGrace, [this] { return pid_ == 0; })) {
      options_.log("engine pid " + std::to_string(pid) + " ignored SIGTERM; sending SIGKILL");
      kill(-pid, SIGKILL);
      exited_.wait(lock, [this] { return pid_ == 0; });
    }
    // A deliberate stop is not a failure to report.
    stopping_ = false;
    exitError_.clear();
    options_.log("engine pid " + std::to_string(pid) + " stopped");
  }
  // The supervisor of an engine that has exited is past its last use of the
  // lock.
  if (supervisor_.joinable()) {
    supervisor_.join();
  }
}

void EngineProcess::supervise(pid_t pid, int output) {
  std::string tail;
  bool exited = false;
  {
    EngineWatch watch(pid, output);
    auto drainDeadline = std::chrono::steady_clock::time_point::max();
    char buffer[16384];
    for (bool open = true; open;) {
      auto now = std::chrono::steady_clock::now();
      if (now >= drainDeadline) {
        break;
      }
      std::optional<std::chrono::milliseconds> timeout;
      if (exited) {
        timeout = std::chrono::duration_cast<std::chrono::milliseconds>(drainDeadline - now) +
                  std::chrono::milliseconds(1);
      }
      EngineWatch::Ready ready = watch.wait(timeout);
      if (ready.output) {
        ssize_t count = read(output, buffer, sizeof buffer);
        if (count > 0) {
          log_.append(std::string_view(buffer, static_cast<size_t>(count)));
          tail.append(buffer, static_cast<size_t>(count));
          if (tail.size() > 2 * kTailBytes) {
            tail.erase(0, tail.size() - kTailBytes);
          }
        } else if (count == 0 || errno != EINTR) {
          open = false;
        }
      }
      if (ready.exited) {
        exited = true;
        endLeftovers(pid);
        drainDeadline = std::chrono::steady_clock::now() + kDrainAfterExit;
      }
    }
  }
  close(output);
  if (!exited) {
    childHasExited(pid, true);  // the engine closed its output but runs on
    endLeftovers(pid);
  }
  std::lock_guard lock(mutex_);
  int waitStatus = 0;
  while (waitpid(pid, &waitStatus, 0) < 0 && errno == EINTR) {
  }
  recordExitLocked(waitStatus, lastLine(tail));
  exited_.notify_all();
}

void EngineProcess::endLeftovers(pid_t pid) {
  // The engine has exited but is not reaped yet, so its pid, and with it
  // its process group, cannot name anything else.
  kill(-pid, SIGKILL);
  if (size_t ended = endStrayChildren(pid); ended > 0) {
    options_.log("ended " + std::to_string(ended) + " process" + (ended == 1 ? "" : "es") +
                 " left by engine pid " + std::to_string(pid));
  }
}

std::string EngineProcess::runsAs() const {
  return options_.identity ? " as " + options_.identity->user : "";
}

void EngineProcess::recordExitLocked(int waitStatus, const std::string& lastWords) {
  exitError_ = describeWaitStatus(waitStatus);
  if (!stopping_) {
    options_.log("engine pid " + std::to_string(pid_) + " exited: " + exitError_ +
                 (lastWords.empty() ? "" : "; its last words: " + lastWords) + "; see " +
                 options_.logPath);
  }
  log_.append("--- engine pid " + std::to_string(pid_) + " ended: " + exitError_ + "\n");
  unlink(configPath_.c_str());
  configPath_.clear();
  if (!options_.recordPath.empty()) {
    unlink(options_.recordPath.c_str());
  }
  pid_ = 0;
}

}  // namespace tarq
