// Waiting for a running engine: for its output to read and for its exit, in
// one wait that wakes for nothing else. On Linux the engine's pidfd sits
// beside its output pipe in poll(); on macOS one kqueue holds the pipe
// (EVFILT_READ) and the process (EVFILT_PROC, NOTE_EXIT). A daemon that
// idles beside a running engine all day costs no wake-ups. Only a Linux
// without pidfds (before 5.3) looks for the exit every 100 ms.
//
// Thread safety: one thread, the engine's supervisor, uses a watch.
#ifndef TARQ_DAEMON_CORE_ENGINE_WATCH_H_
#define TARQ_DAEMON_CORE_ENGINE_WATCH_H_

#include <sys/types.h>

#include <chrono>
#include <optional>

namespace tarq {

class EngineWatch {
 public:
  struct Ready {
    bool output = false;  // `output` can be read (or is at its end)
    bool exited = false;  // the engine has exited; it is not reaped
  };

  // Watches the child `pid` and its output pipe `output` (both stay the
  // caller's).
  EngineWatch(pid_t pid, int output);
  ~EngineWatch();
  EngineWatch(const EngineWatch&) = delete;
  EngineWatch& operator=(const EngineWatch&) = delete;

  // Waits up to `timeout` (none: without limit) until there is output, or,
  // until it has been reported once, the exit. Interrupted waits return
  // with nothing ready.
  Ready wait(std::optional<std::chrono::milliseconds> timeout);

 private:
  const pid_t pid_;
  const int output_;
  int watch_ = -1;  // the pidfd (Linux) or the kqueue (macOS)
  bool exitReported_ = false;
  bool exitedEarly_ = false;  // gone before the watch began
};

// Whether the child `pid` has exited, leaving it to be reaped; with `wait`,
// waits for that.
bool childHasExited(pid_t pid, bool wait);

}  // namespace tarq

#endif  // TARQ_DAEMON_CORE_ENGINE_WATCH_H_
