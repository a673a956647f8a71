#include "engine_process.h"

#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

namespace tarq {
namespace {

constexpr auto kPollPause = std::chrono::milliseconds(10);

std::string systemError(const std::string& what, int error) {
  return what + ": " + strerror(error);
}

// Closes the spawn attributes and file actions on every way out.
struct SpawnSetup {
  posix_spawnattr_t attributes;
  posix_spawn_file_actions_t actions;

  SpawnSetup() {
    posix_spawnattr_init(&attributes);
    posix_spawn_file_actions_init(&actions);
  }
  ~SpawnSetup() {
    posix_spawn_file_actions_destroy(&actions);
    posix_spawnattr_destroy(&attributes);
  }
};

// The last non-empty line of the engine's log, shortened: usually the reason
// the engine gave for exiting.
std::string lastLogLine(const std::string& path) {
  constexpr off_t kTail = 4096;
  constexpr size_t kShown = 300;
  int log = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
  if (log < 0) {
    return "";
  }
  off_t size = lseek(log, 0, SEEK_END);
  off_t from = size > kTail ? size - kTail : 0;
  std::string tail(static_cast<size_t>(size - from), '\0');
  ssize_t count = pread(log, tail.data(), tail.size(), from);
  close(log);
  tail.resize(count > 0 ? static_cast<size_t>(count) : 0);
  while (!tail.empty() && (tail.back() == '\n' || tail.back() == '\r')) {
    tail.pop_back();
  }
  std::string line = tail.substr(tail.rfind('\n') == std::string::npos ? 0 : tail.rfind('\n') + 1);
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

EngineProcess::EngineProcess(Options options) : options_(std::move(options)) {}

EngineProcess::~EngineProcess() {
  stop();
}

void EngineProcess::start(const std::string& configPath, const std::function<bool()>& ready) {
  std::lock_guard lock(mutex_);
  stopLocked();
  exitError_.clear();

  int log =
      open(options_.logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (log < 0) {
    throw EngineLaunchError(systemError("cannot open the engine log " + options_.logPath, errno));
  }
  std::vector<std::string> words = {options_.program, "run", "-c", configPath};
  words.insert(words.end(), options_.extraArguments.begin(), options_.extraArguments.end());
  std::vector<char*> argv;
  for (std::string& word : words) {
    argv.push_back(word.data());
  }
  argv.push_back(nullptr);

  // The child starts with every signal unblocked and at its default action,
  // whatever the helper blocks or ignores, and in its own process group.
  SpawnSetup setup;
  sigset_t none;
  sigset_t all;
  sigemptyset(&none);
  sigfillset(&all);
  posix_spawnattr_setsigmask(&setup.attributes, &none);
  posix_spawnattr_setsigdefault(&setup.attributes, &all);
  posix_spawnattr_setpgroup(&setup.attributes, 0);
  posix_spawnattr_setflags(&setup.attributes,
                           POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETPGROUP);
  posix_spawn_file_actions_addopen(&setup.actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_adddup2(&setup.actions, log, STDOUT_FILENO);
  posix_spawn_file_actions_adddup2(&setup.actions, log, STDERR_FILENO);
  posix_spawn_file_actions_addchdir_np(&setup.actions, options_.workDirectory.c_str());

  pid_t pid = 0;
  int failure = posix_spawn(&pid, options_.program.c_str(), &setup.actions, &setup.attributes,
                            argv.data(), environ);
  close(log);
  if (failure != 0) {
    throw EngineLaunchError(systemError("cannot run " + options_.program, failure));
  }
  pid_ = pid;
  options_.log("engine pid " + std::to_string(pid) + " started: " + options_.program + " run -c " +
               configPath + "; output in " + options_.logPath);

  auto deadline =
      std::chrono::steady_clock::now() + (ready ? options_.readyWatch : options_.launchWatch);
  while (pid_ != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(kPollPause);
    reapLocked(false);
    if (pid_ != 0 && ready && ready()) {
      break;
    }
  }
}

void EngineProcess::stop() {
  std::lock_guard lock(mutex_);
  stopLocked();
}

EngineStatus EngineProcess::status() {
  std::lock_guard lock(mutex_);
  reapLocked(false);
  EngineStatus status;
  status.running = pid_ != 0;
  status.pid = pid_;
  status.error = exitError_;
  return status;
}

void EngineProcess::stopLocked() {
  reapLocked(false);
  if (pid_ == 0) {
    return;
  }
  pid_t pid = pid_;
  stopping_ = true;
  kill(pid, SIGTERM);
  auto deadline = std::chrono::steady_clock::now() + options_.stopGrace;
  while (pid_ != 0 && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(kPollPause);
    reapLocked(false);
  }
  if (pid_ != 0) {
    options_.log("engine pid " + std::to_string(pid) + " ignored SIGTERM; sending SIGKILL");
    kill(pid, SIGKILL);
    reapLocked(true);
  }
  // A deliberate stop is not a failure to report.
  stopping_ = false;
  exitError_.clear();
  options_.log("engine pid " + std::to_string(pid) + " stopped");
}

void EngineProcess::reapLocked(bool wait) {
  if (pid_ == 0) {
    return;
  }
  int waitStatus = 0;
  pid_t reaped;
  do {
    reaped = waitpid(pid_, &waitStatus, wait ? 0 : WNOHANG);
  } while (reaped < 0 && errno == EINTR);
  if (reaped == pid_) {
    recordExitLocked(waitStatus);
  } else if (reaped < 0) {
    // Not our child any more (someone else reaped it): it is gone.
    exitError_ = systemError("lost track of the engine", errno);
    pid_ = 0;
  }
}

void EngineProcess::recordExitLocked(int waitStatus) {
  exitError_ = describeWaitStatus(waitStatus);
  if (!stopping_) {
    std::string last = lastLogLine(options_.logPath);
    options_.log("engine pid " + std::to_string(pid_) + " exited: " + exitError_ +
                 (last.empty() ? "" : "; its last words: " + last) + "; see " + options_.logPath);
  }
  pid_ = 0;
}

}  // namespace tarq
