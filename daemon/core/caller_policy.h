// Who may talk to the helper daemon. The daemon runs as root, so it decides
// once per connection, the moment the connection is accepted, from what the
// kernel says of the peer, never from anything the peer sends: a caller who
// is not admitted costs the daemon no slot, no thread and no wait.
//
// One implementation per platform: kernel peer credentials against allowed
// users and groups on Linux, a code-signing requirement checked against the
// peer's audit token on macOS.
//
// Thread safety: judge() may be called from several threads at once.
#ifndef TARQ_DAEMON_CORE_CALLER_POLICY_H_
#define TARQ_DAEMON_CORE_CALLER_POLICY_H_

#include <sys/types.h>

#include <string>

namespace tarq {

struct CallerVerdict {
  bool admitted = false;
  // The peer's effective ids as the kernel reports them; the daemon acts on
  // the caller's paths with these rights.
  uid_t uid = static_cast<uid_t>(-1);
  gid_t gid = static_cast<gid_t>(-1);
  // Why the caller is refused; it is sent back as the reply's "error".
  std::string reason;
};

class CallerPolicy {
 public:
  virtual ~CallerPolicy() = default;
  // Judges the peer of the accepted Unix stream socket `connection`. Reads
  // only socket options of it: never its data.
  virtual CallerVerdict judge(int connection) const = 0;
};

}  // namespace tarq

#endif  // TARQ_DAEMON_CORE_CALLER_POLICY_H_
