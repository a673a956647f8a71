#include "engine_watch.h"

#include <errno.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#if defined(__linux__)
#include <sys/syscall.h>
#elif defined(__APPLE__)
#include <sys/event.h>
#include <time.h>
#endif

namespace tarq {
namespace {

#if defined(__linux__)
constexpr int kExitLookPause = 100;  // milliseconds, without a pidfd only
#endif

int milliseconds(std::optional<std::chrono::milliseconds> timeout) {
  return timeout ? static_cast<int>(std::max<long long>(0, timeout->count())) : -1;
}

}  // namespace

bool childHasExited(pid_t pid, bool wait) {
  siginfo_t info{};
  int result;
  do {
    result = waitid(P_PID, static_cast<id_t>(pid), &info, WEXITED | WNOWAIT | (wait ? 0 : WNOHANG));
  } while (result < 0 && errno == EINTR);
  return result < 0 || info.si_pid == pid;
}

#if defined(__linux__)

EngineWatch::EngineWatch(pid_t pid, int output) : pid_(pid), output_(output) {
#if defined(SYS_pidfd_open)
  watch_ = static_cast<int>(syscall(SYS_pidfd_open, pid, 0));
#endif
}

EngineWatch::~EngineWatch() {
  if (watch_ >= 0) {
    close(watch_);
  }
}

EngineWatch::Ready EngineWatch::wait(std::optional<std::chrono::milliseconds> timeout) {
  Ready ready;
  bool watchExit = !exitReported_ && watch_ >= 0;
  int wait = milliseconds(timeout);
  if (!exitReported_ && watch_ < 0 && (wait < 0 || wait > kExitLookPause)) {
    wait = kExitLookPause;
  }
  pollfd watched[2] = {{output_, POLLIN, 0}, {watch_, POLLIN, 0}};
  if (poll(watched, watchExit ? 2 : 1, wait) < 0) {
    return ready;
  }
  ready.output = watched[0].revents != 0;
  if (!exitReported_ && (watch_ < 0 || watched[1].revents != 0) && childHasExited(pid_, false)) {
    ready.exited = exitReported_ = true;
  }
  return ready;
}

#elif defined(__APPLE__)

EngineWatch::EngineWatch(pid_t pid, int output) : pid_(pid), output_(output) {
  watch_ = kqueue();
  if (watch_ < 0) {
    return;
  }
  struct kevent changes[2];
  EV_SET(&changes[0], static_cast<uintptr_t>(output), EVFILT_READ, EV_ADD, 0, 0, nullptr);
  EV_SET(&changes[1], static_cast<uintptr_t>(pid), EVFILT_PROC, EV_ADD | EV_ONESHOT, NOTE_EXIT, 0,
         nullptr);
  for (struct kevent& change : changes) {
    if (kevent(watch_, &change, 1, nullptr, 0, nullptr) != 0 && change.filter == EVFILT_PROC) {
      // ESRCH: the engine is gone already; nothing will fire for it.
      exitedEarly_ = true;
    }
  }
}

EngineWatch::~EngineWatch() {
  if (watch_ >= 0) {
    close(watch_);
  }
}

EngineWatch::Ready EngineWatch::wait(std::optional<std::chrono::milliseconds> timeout) {
  Ready ready;
  if (exitedEarly_ && !exitReported_) {
    ready.exited = exitReported_ = true;
    return ready;
  }
  if (watch_ < 0) {
    // No kqueue: the output alone, and the exit looked for after each wait.
    pollfd watched{output_, POLLIN, 0};
    int wait = milliseconds(timeout);
    poll(&watched, 1, exitReported_ || (wait >= 0 && wait < 100) ? wait : 100);
    ready.output = watched.revents != 0;
    if (!exitReported_ && childHasExited(pid_, false)) {
      ready.exited = exitReported_ = true;
    }
    return ready;
  }
  timespec limit{};
  if (timeout) {
    limit.tv_sec = static_cast<time_t>(timeout->count() / 1000);
    limit.tv_nsec = static_cast<long>((timeout->count() % 1000) * 1000000);
  }
  struct kevent events[2];
  int count = kevent(watch_, nullptr, 0, events, 2, timeout ? &limit : nullptr);
  for (int index = 0; index < count; ++index) {
    if (events[index].filter == EVFILT_READ) {
      ready.output = true;
    } else if (events[index].filter == EVFILT_PROC && !exitReported_) {
      ready.exited = exitReported_ = true;
    }
  }
  return ready;
}

#else
#error "no way to wait for an engine on this platform"
#endif

}  // namespace tarq
