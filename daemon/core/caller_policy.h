// Who may talk to the helper daemon. The daemon runs as root, so it decides
// from what the kernel says of the peer, never from anything the peer sends.
//
// A connection is judged in steps, so that a caller who is not admitted
// costs the accepting thread nothing but a few system calls:
//
//   identify()      on the accepting thread, the moment the connection is
//                   accepted, before a byte is read: the kernel's record of
//                   the peer (peer credentials; the audit token), cheap.
//   quickVerdict()  on the accepting thread too: a decision that costs
//                   nothing (root, a listed user, a verdict remembered for a
//                   few seconds), or none.
//   judge()         otherwise, on the connection's own thread: the decision
//                   that may take time (the user database, a code
//                   signature), made on the record identify() read.
//   currentStamp()  right before the daemon acts on the request, where the
//                   kernel's record can change after accept (macOS): the
//                   record again, which must name the same process
//                   (caller_pin.h).
//
// One implementation per platform: kernel peer credentials against allowed
// users and groups on Linux, a code-signing requirement checked against the
// peer's audit token on macOS.
//
// Thread safety: every method may be called from several threads at once.
#ifndef TARQ_DAEMON_CORE_CALLER_POLICY_H_
#define TARQ_DAEMON_CORE_CALLER_POLICY_H_

#include <sys/types.h>

#include <optional>
#include <string>
#include <vector>

#include "caller_pin.h"

namespace tarq {

// What the kernel says of the peer when the connection is accepted.
struct CallerIdentity {
  // False when the kernel would not say; `reason` then says why.
  bool known = false;
  // The peer's effective ids.
  uid_t uid = static_cast<uid_t>(-1);
  gid_t gid = static_cast<gid_t>(-1);
  std::string reason;
  // The exec of the process behind the peer, where the record can change
  // after accept: checked again before the daemon acts.
  std::optional<ProcessStamp> stamp;
  // The kernel's record that judge() decides on (the audit token on macOS).
  std::vector<unsigned char> record;
};

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

  // Reads what the kernel records of the peer of the accepted Unix stream
  // socket `connection`: only socket options, never its data. Cheap.
  virtual CallerIdentity identify(int connection) const = 0;

  // A verdict that costs nothing to give, or none when judge() must decide.
  virtual std::optional<CallerVerdict> quickVerdict(const CallerIdentity& caller) const {
    (void)caller;
    return std::nullopt;
  }

  // The verdict on a known caller. May take time; never called on the
  // accepting thread.
  virtual CallerVerdict judge(const CallerIdentity& caller) const = 0;

  // The peer's process now; called right before acting on a request of a
  // caller whose identity has a stamp. None when it cannot be read.
  virtual std::optional<ProcessStamp> currentStamp(int connection) const {
    (void)connection;
    return std::nullopt;
  }
};

// "uid 1001", or "an unidentified caller": who, in the daemon's log.
std::string describeCaller(const CallerIdentity& caller);

// The verdict refusing `caller` for `reason`.
CallerVerdict refusal(const CallerIdentity& caller, std::string reason);

}  // namespace tarq

#endif  // TARQ_DAEMON_CORE_CALLER_POLICY_H_
