#include "engine_record.h"

#include <errno.h>
#include <poll.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

#if defined(__linux__)
#include <sys/syscall.h>
#endif

#if defined(__APPLE__)
#include <libproc.h>
#include <sys/proc_info.h>
#endif

namespace tarq {
namespace {

constexpr auto kPollPause = std::chrono::milliseconds(10);

bool runsStill(pid_t pid, uint64_t startTime) {
  std::optional<uint64_t> now = processStartTime(pid);
  return now && *now == startTime;
}

bool waitForEnd(pid_t pid, uint64_t startTime, std::chrono::milliseconds timeout) {
  for (auto deadline = std::chrono::steady_clock::now() + timeout; runsStill(pid, startTime);
       std::this_thread::sleep_for(kPollPause)) {
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
  }
  return true;
}

}  // namespace

std::optional<uint64_t> processStartTime(pid_t pid) {
  if (pid <= 0) {
    return std::nullopt;
  }
#if defined(__linux__)
  // Field 22 of /proc/PID/stat; the name (field 2) may hold spaces and
  // parentheses, so count from the last ')'.
  std::ifstream file("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
  size_t nameEnd = text.rfind(')');
  if (nameEnd == std::string::npos) {
    return std::nullopt;
  }
  std::istringstream fields(text.substr(nameEnd + 1));
  std::string state;
  fields >> state;
  std::string field;
  for (int index = 4; index < 22 && fields >> field; ++index) {
  }
  uint64_t startTime = 0;
  if (state == "Z" || state == "X" || !(fields >> startTime)) {
    return std::nullopt;
  }
  return startTime;
#elif defined(__APPLE__)
  // Not exercised by the tests here, which run on Linux. No zombie check is
  // needed: with `arg` 0 the kernel looks up live processes only, so
  // proc_pidinfo() fails (ESRCH) for one that has exited and awaits reaping.
  proc_bsdinfo info{};
  if (proc_pidinfo(pid, PROC_PIDTBSDINFO, 0, &info, sizeof info) != sizeof info) {
    return std::nullopt;
  }
  return static_cast<uint64_t>(info.pbi_start_tvsec) * 1000000 + info.pbi_start_tvusec;
#else
#error "no process start time on this platform"
#endif
}

void writeEngineRecord(const std::string& path, pid_t pid) {
  std::optional<uint64_t> startTime = processStartTime(pid);
  if (!startTime) {
    return;
  }
  std::string temporary = path + ".new";
  {
    std::ofstream file(temporary, std::ios::trunc);
    file << pid << ' ' << *startTime << '\n';
  }
  chmod(temporary.c_str(), 0600);
  rename(temporary.c_str(), path.c_str());
}

namespace {

#if defined(__linux__) && defined(SYS_pidfd_open)
// A descriptor that names `pid` for as long as it is open, whatever the
// process number names later; -1 where the system has none.
int openProcess(pid_t pid) {
  return static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
}

bool signalProcess(int process, int number) {
  return syscall(SYS_pidfd_send_signal, process, number, nullptr, 0) == 0;
}

// Whether the process behind `process` has ended, waiting up to `timeout`.
bool endsWithin(int process, std::chrono::milliseconds timeout) {
  pollfd watched{process, POLLIN, 0};
  int ready;
  do {
    ready = poll(&watched, 1, static_cast<int>(timeout.count()));
  } while (ready < 0 && errno == EINTR);
  return ready == 1;
}

// Through a process descriptor: the check that `pid` is still the recorded
// engine and the signals that follow name the same process, so a process
// that took over the number in between is never signalled.
std::optional<std::string> stopThroughDescriptor(pid_t pid, uint64_t startTime,
                                                 std::chrono::milliseconds grace) {
  int process = openProcess(pid);
  if (process < 0) {
    return errno == ESRCH ? std::optional<std::string>("") : std::nullopt;
  }
  std::string done;
  if (runsStill(pid, startTime)) {
    // The group first, while its leader is known to live, so that it cannot
    // be another group; then the leader through its descriptor.
    if (!endsWithin(process, std::chrono::milliseconds(0))) {
      kill(-pid, SIGTERM);
    }
    signalProcess(process, SIGTERM);
    if (endsWithin(process, grace)) {
      done = "stopped the engine left by a previous run (pid " + std::to_string(pid) + ")";
    } else {
      kill(-pid, SIGKILL);
      signalProcess(process, SIGKILL);
      endsWithin(process, grace);
      done = "killed the engine left by a previous run (pid " + std::to_string(pid) +
             "), which ignored SIGTERM";
    }
    // What of its group ignored SIGTERM goes too. The leader may be reaped
    // by now, but the group's number stays taken while the group has
    // members, and numbers come round again only after pid_max others.
    kill(-pid, SIGKILL);
  }
  close(process);
  return done;
}
#endif

std::string stopByNumber(pid_t pid, uint64_t startTime, std::chrono::milliseconds grace) {
  if (!runsStill(pid, startTime)) {
    return "";
  }
  kill(pid, SIGTERM);
  if (waitForEnd(pid, startTime, grace)) {
    return "stopped the engine left by a previous run (pid " + std::to_string(pid) + ")";
  }
  kill(pid, SIGKILL);
  waitForEnd(pid, startTime, grace);
  return "killed the engine left by a previous run (pid " + std::to_string(pid) +
         "), which ignored SIGTERM";
}

}  // namespace

std::string stopRecordedEngine(const std::string& path, std::chrono::milliseconds grace) {
  std::ifstream file(path);
  pid_t pid = 0;
  uint64_t startTime = 0;
  bool recorded = static_cast<bool>(file >> pid >> startTime);
  file.close();
  unlink(path.c_str());
  if (!recorded || pid <= 1) {
    return "";
  }
#if defined(__linux__) && defined(SYS_pidfd_open)
  if (std::optional<std::string> done = stopThroughDescriptor(pid, startTime, grace)) {
    return *done;
  }
#endif
  return stopByNumber(pid, startTime, grace);
}

}  // namespace tarq
