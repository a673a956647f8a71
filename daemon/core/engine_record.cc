#include "engine_record.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <sstream>
#include <thread>

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

std::string stopRecordedEngine(const std::string& path, std::chrono::milliseconds grace) {
  std::ifstream file(path);
  pid_t pid = 0;
  uint64_t startTime = 0;
  bool recorded = static_cast<bool>(file >> pid >> startTime);
  file.close();
  unlink(path.c_str());
  if (!recorded || pid <= 1 || !runsStill(pid, startTime)) {
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

}  // namespace tarq
