// Pinning a connection to the process that made it.
//
// On macOS the kernel's record of a Unix socket's peer (the audit token of
// LOCAL_PEERTOKEN) is not fixed when the connection is made: it is computed
// at the moment it is asked for, from the process that last used the
// socket. A process can hand its connection to another, or exec another
// program on it, and the record then names the other. So the daemon reads
// the record once when it accepts the connection, judges the caller on that
// reading, and reads it again right before it acts on the request: the pid
// and the pid version (which every exec changes) must be the same.
//
// On Linux the peer credentials are fixed at connect(), and nothing is
// pinned.
#ifndef TARQ_DAEMON_CORE_CALLER_PIN_H_
#define TARQ_DAEMON_CORE_CALLER_PIN_H_

#include <cstdint>
#include <optional>
#include <string>

namespace tarq {

// One exec of one process: the pid, and the version the kernel gives the
// process anew at every exec.
struct ProcessStamp {
  int64_t pid = 0;
  int64_t version = 0;

  friend bool operator==(const ProcessStamp&, const ProcessStamp&) = default;
  friend auto operator<=>(const ProcessStamp&, const ProcessStamp&) = default;
};

// "pid 123 version 4", for messages.
std::string describe(const ProcessStamp& stamp);

// Why the request must be refused when the peer read right before acting is
// `now` and was `accepted` when the connection was accepted; "" when both
// name the same exec of the same process. `now` is none when the second
// reading failed (the peer has gone).
std::string pinBroken(const ProcessStamp& accepted, const std::optional<ProcessStamp>& now);

}  // namespace tarq

#endif  // TARQ_DAEMON_CORE_CALLER_PIN_H_
