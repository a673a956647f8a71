// The engine's launch on Linux: fork, then in the child the start state of
// engine_launch.h, the identity applied with libcap, and exec.
//
// libcap's own cap_launch() does the same steps, but it reports every
// failure in the child as ECHILD and leaves the child through exit(), which
// runs the daemon's exit-time handlers in a copy of a multithreaded
// process. So the child here is our own: it uses libcap's calls for the
// identity (the order of setuid, setgroups and the IAB vectors is what makes
// the ambient set stick), reports the failing step and its errno on a
// close-on-exec pipe, and leaves with _exit().
#if defined(__linux__)

#include <errno.h>
#include <fcntl.h>
#include <linux/close_range.h>
#include <signal.h>
#include <string.h>
#include <sys/capability.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <type_traits>

#include "engine_launch.h"

extern char** environ;

namespace tarq {
namespace {

enum class Step : int {
  signals,
  processGroup,
  standardStreams,
  workDirectory,
  descriptors,
  user,
  groups,
  capabilities,
  exec,
};

struct ChildFailure {
  Step step;
  int error;
};

const char* describeStep(Step step) {
  switch (step) {
    case Step::signals:
      return "cannot reset its signals";
    case Step::processGroup:
      return "cannot give it a process group of its own";
    case Step::standardStreams:
      return "cannot set up its standard streams";
    case Step::workDirectory:
      return "cannot enter its working folder";
    case Step::descriptors:
      return "cannot close the daemon's descriptors";
    case Step::user:
      return "cannot take its user";
    case Step::groups:
      return "cannot take its group";
    case Step::capabilities:
      return "cannot give it its capabilities";
    case Step::exec:
      return "cannot execute it";
  }
  return "cannot start it";
}

// The capabilities a tunnel needs: interfaces and routes, raw sockets,
// ports below 1024; with process rules also reading what other users'
// processes hold open.
std::vector<cap_value_t> engineCapabilities(bool processRules) {
  std::vector<cap_value_t> wanted = {CAP_NET_ADMIN, CAP_NET_RAW, CAP_NET_BIND_SERVICE};
  if (processRules) {
    wanted.push_back(CAP_SYS_PTRACE);
    wanted.push_back(CAP_DAC_READ_SEARCH);
  }
  return wanted;
}

struct IabDeleter {
  void operator()(cap_iab_t iab) const { cap_free(iab); }
};
using Iab = std::unique_ptr<std::remove_pointer_t<cap_iab_t>, IabDeleter>;

// Inheritable and ambient hold exactly the wanted capabilities; every other
// one leaves the bounding set. Made before the fork: the child only applies.
Iab engineIab(bool processRules) {
  Iab iab(cap_iab_init());
  if (!iab) {
    throw EngineLaunchError(std::string("cap_iab_init: ") + strerror(errno));
  }
  std::vector<cap_value_t> wanted = engineCapabilities(processRules);
  for (cap_value_t cap = 0; cap < static_cast<cap_value_t>(cap_max_bits()); ++cap) {
    bool keep = std::find(wanted.begin(), wanted.end(), cap) != wanted.end();
    if (keep) {
      cap_iab_set_vector(iab.get(), CAP_IAB_INH, cap, CAP_SET);
      cap_iab_set_vector(iab.get(), CAP_IAB_AMB, cap, CAP_SET);
    } else {
      cap_iab_set_vector(iab.get(), CAP_IAB_BOUND, cap, CAP_SET);
    }
  }
  return iab;
}

[[noreturn]] void failInChild(int report, Step step) {
  ChildFailure failure{step, errno};
  while (write(report, &failure, sizeof failure) < 0 && errno == EINTR) {
  }
  _exit(127);
}

void resetSignals() {
  sigset_t none;
  sigemptyset(&none);
  sigprocmask(SIG_SETMASK, &none, nullptr);
  for (int number = 1; number < NSIG; ++number) {
    if (number != SIGKILL && number != SIGSTOP) {
      signal(number, SIG_DFL);  // numbers the C library keeps for itself fail harmlessly
    }
  }
}

// Every descriptor from 3 on is closed by the exec: the report pipe must
// stay open until then.
bool closeOnExecFromThree() {
  if (syscall(SYS_close_range, 3U, ~0U, CLOSE_RANGE_CLOEXEC) == 0) {
    return true;
  }
  rlimit limit{};
  int last = getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < 65536
                 ? static_cast<int>(limit.rlim_cur)
                 : 65536;
  for (int descriptor = 3; descriptor < last; ++descriptor) {
    int flags = fcntl(descriptor, F_GETFD);
    if (flags >= 0) {
      fcntl(descriptor, F_SETFD, flags | FD_CLOEXEC);
    }
  }
  return true;
}

struct ChildPlan {
  char* const* argv;
  const char* workDirectory;
  int output;
  bool changeIdentity;
  uid_t uid;
  gid_t gid;
  cap_iab_t iab;
};

[[noreturn]] void runChild(const ChildPlan& plan, int report) {
  resetSignals();
  if (setpgid(0, 0) != 0) {
    failInChild(report, Step::processGroup);
  }
  int input = open("/dev/null", O_RDONLY | O_CLOEXEC);
  if (input < 0 || dup2(input, STDIN_FILENO) < 0 || dup2(plan.output, STDOUT_FILENO) < 0 ||
      dup2(plan.output, STDERR_FILENO) < 0) {
    failInChild(report, Step::standardStreams);
  }
  if (chdir(plan.workDirectory) != 0) {
    failInChild(report, Step::workDirectory);
  }
  closeOnExecFromThree();
  if (plan.changeIdentity) {
    if (cap_setuid(plan.uid) != 0) {
      failInChild(report, Step::user);
    }
    if (cap_setgroups(plan.gid, 0, nullptr) != 0) {
      failInChild(report, Step::groups);
    }
    if (cap_iab_set_proc(plan.iab) != 0) {
      failInChild(report, Step::capabilities);
    }
  }
  execve(plan.argv[0], plan.argv, environ);
  failInChild(report, Step::exec);
}

std::string whoRuns(const EngineLaunch& launch) {
  return launch.identity && !launch.identity->isRoot() ? " as " + launch.identity->user : "";
}

}  // namespace

pid_t launchEngine(const EngineLaunch& launch) {
  std::vector<std::string> words = launch.argv;
  std::vector<char*> argv = execArguments(words);
  bool changeIdentity = launch.identity && !launch.identity->isRoot() && geteuid() == 0;
  Iab iab = changeIdentity ? engineIab(launch.identity->processRules) : nullptr;
  ChildPlan plan{argv.data(),
                 launch.workDirectory.c_str(),
                 launch.output,
                 changeIdentity,
                 changeIdentity ? launch.identity->uid : 0,
                 changeIdentity ? launch.identity->gid : 0,
                 iab.get()};

  int report[2];
  if (pipe2(report, O_CLOEXEC) != 0) {
    throw EngineLaunchError(std::string("pipe: ") + strerror(errno));
  }
  pid_t pid = fork();
  if (pid == 0) {
    close(report[0]);
    runChild(plan, report[1]);
  }
  int forkError = errno;
  close(report[1]);
  if (pid < 0) {
    close(report[0]);
    throw EngineLaunchError("cannot run " + launch.argv[0] + ": fork: " + strerror(forkError));
  }
  // Also from this side, so that the group exists before anyone signals it;
  // the child may have exec'd already, which makes this fail harmlessly.
  setpgid(pid, pid);
  ChildFailure failure{};
  ssize_t count;
  do {
    count = read(report[0], &failure, sizeof failure);
  } while (count < 0 && errno == EINTR);
  close(report[0]);
  if (count == 0) {
    return pid;  // the exec closed the pipe
  }
  while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
  }
  if (count != static_cast<ssize_t>(sizeof failure)) {
    throw EngineLaunchError("cannot run " + launch.argv[0] + whoRuns(launch) +
                            ": the child ended before its exec");
  }
  throw EngineLaunchError("cannot run " + launch.argv[0] + whoRuns(launch) + ": " +
                          describeStep(failure.step) + ": " + strerror(failure.error));
}

}  // namespace tarq

#endif  // defined(__linux__)
