#include "stray_children.h"

#include <dirent.h>
#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sys/prctl.h>
#endif

namespace tarq {
namespace {

#if defined(__linux__)
// The parent of `pid` from /proc/PID/stat (its name, field 2, may hold
// spaces and parentheses: count from the last ')'); -1 when unknown.
pid_t parentOf(const char* pid) {
  std::string path = std::string("/proc/") + pid + "/stat";
  int file = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (file < 0) {
    return -1;
  }
  char text[1024];
  ssize_t count = read(file, text, sizeof text - 1);
  close(file);
  if (count <= 0) {
    return -1;
  }
  text[count] = '\0';
  std::string stat(text, static_cast<size_t>(count));
  size_t nameEnd = stat.rfind(')');
  if (nameEnd == std::string::npos || nameEnd + 4 >= stat.size()) {
    return -1;
  }
  // ") S PPID ..."
  return static_cast<pid_t>(std::strtol(stat.c_str() + nameEnd + 4, nullptr, 10));
}

std::vector<pid_t> childrenOfThisProcess(pid_t keep) {
  std::vector<pid_t> children;
  DIR* proc = opendir("/proc");
  if (proc == nullptr) {
    return children;
  }
  pid_t self = getpid();
  while (dirent* entry = readdir(proc)) {
    if (entry->d_name[0] < '1' || entry->d_name[0] > '9') {
      continue;
    }
    pid_t pid = static_cast<pid_t>(std::strtol(entry->d_name, nullptr, 10));
    if (pid != keep && parentOf(entry->d_name) == self) {
      children.push_back(pid);
    }
  }
  closedir(proc);
  return children;
}

// Reaps `pid`, waiting up to a second: a process in an uninterruptible
// sleep must not hold the daemon; it stays a zombie for the next round.
bool reap(pid_t pid) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  for (;;) {
    pid_t reaped = waitpid(pid, nullptr, WNOHANG);
    if (reaped == pid || (reaped < 0 && errno != EINTR)) {
      return true;
    }
    if (std::chrono::steady_clock::now() >= deadline) {
      return false;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
}
#endif

}  // namespace

bool adoptOrphanedDescendants() {
#if defined(__linux__)
  return prctl(PR_SET_CHILD_SUBREAPER, 1, 0, 0, 0) == 0;
#else
  return false;
#endif
}

size_t endStrayChildren(pid_t keep) {
  size_t ended = 0;
#if defined(__linux__)
  constexpr int kRounds = 16;
  for (int round = 0; round < kRounds; ++round) {
    std::vector<pid_t> children = childrenOfThisProcess(keep);
    if (children.empty()) {
      break;
    }
    for (pid_t child : children) {
      kill(child, SIGKILL);
    }
    for (pid_t child : children) {
      ended += reap(child) ? 1 : 0;
    }
  }
#else
  (void)keep;
#endif
  return ended;
}

}  // namespace tarq
