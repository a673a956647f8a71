// The caller policy of Linux (and of any system with kernel peer
// credentials): root, the allowed users and the members of the allowed
// groups. The kernel reports the peer's ids as they were when it connected,
// so a caller cannot pass itself off as another user, and nothing needs to
// be pinned.
//
// Root, a listed user and a caller whose effective gid is an allowed group
// are decided on the accepting thread, at no cost. Membership through the
// user database (getgrouplist(), which may ask a directory service) is
// looked up off that thread, and remembered per user for a few seconds: a
// user who connects again and again costs one lookup per lifetime, and a
// change of membership counts for new connections within that lifetime.
#ifndef TARQ_DAEMON_CORE_PEER_CREDENTIALS_POLICY_H_
#define TARQ_DAEMON_CORE_PEER_CREDENTIALS_POLICY_H_

#include <chrono>
#include <set>
#include <string>

#include "caller_policy.h"
#include "expiring_cache.h"

namespace tarq {

class PeerCredentialsPolicy : public CallerPolicy {
 public:
  // How long a user's membership is remembered, and for how many users.
  static constexpr auto kMembershipLifetime = std::chrono::seconds(5);
  static constexpr size_t kMembershipUsers = 1024;

  // Root is always admitted. A group admits a caller whose effective gid it
  // is, or whose user the user database makes a member (primary group
  // included).
  PeerCredentialsPolicy(std::set<uid_t> allowedUids, std::set<gid_t> allowedGroups,
                        SteadyNow now = realSteadyNow());

  CallerIdentity identify(int connection) const override;
  std::optional<CallerVerdict> quickVerdict(const CallerIdentity& caller) const override;
  CallerVerdict judge(const CallerIdentity& caller) const override;

  // "uids 0, 1000; groups 27", for the daemon's log.
  std::string describe() const;

 private:
  CallerVerdict verdict(const CallerIdentity& caller, bool admitted) const;

  const std::set<uid_t> allowedUids_;
  const std::set<gid_t> allowedGroups_;
  // Whether the user database makes a user a member of an allowed group.
  mutable ExpiringCache<uid_t, bool> membership_;
};

// A group given by name or by number. Throws std::runtime_error for a name
// the group database does not know.
gid_t groupIdOf(const std::string& nameOrNumber);

}  // namespace tarq

#endif  // TARQ_DAEMON_CORE_PEER_CREDENTIALS_POLICY_H_
