// The caller policy of Linux (and of any system with kernel peer
// credentials): root, the allowed users and the members of the allowed
// groups. The kernel reports the peer's ids as they were when it connected,
// so a caller cannot pass itself off as another user.
#ifndef TARQ_DAEMON_CORE_PEER_CREDENTIALS_POLICY_H_
#define TARQ_DAEMON_CORE_PEER_CREDENTIALS_POLICY_H_

#include <set>
#include <string>

#include "caller_policy.h"

namespace tarq {

class PeerCredentialsPolicy : public CallerPolicy {
 public:
  // Root is always admitted. A group admits a caller whose effective gid it
  // is, or whose user the user database makes a member (primary group
  // included).
  PeerCredentialsPolicy(std::set<uid_t> allowedUids, std::set<gid_t> allowedGroups);

  CallerVerdict judge(int connection) const override;

  // "uids 0, 1000; groups 27", for the daemon's log.
  std::string describe() const;

 private:
  const std::set<uid_t> allowedUids_;
  const std::set<gid_t> allowedGroups_;
};

// A group given by name or by number. Throws std::runtime_error for a name
// the group database does not know.
gid_t groupIdOf(const std::string& nameOrNumber);

}  // namespace tarq

#endif  // TARQ_DAEMON_CORE_PEER_CREDENTIALS_POLICY_H_
