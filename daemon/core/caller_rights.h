// Acting on a caller's path with the caller's own rights. The daemon runs as
// root; a path a caller names is resolved and opened with the caller's
// file-system ids and groups, so that the daemon reads only what the caller
// could read itself (a file of the caller's inside a folder the caller cannot
// enter stays out of reach).
//
// The switch is made for the calling thread only: the other threads of the
// daemon keep their rights while it lasts.
#ifndef TARQ_DAEMON_CORE_CALLER_RIGHTS_H_
#define TARQ_DAEMON_CORE_CALLER_RIGHTS_H_

#include <sys/types.h>

#include <vector>

namespace tarq {

class CallerRights {
 public:
  // Takes `uid`'s file-system rights on this thread, with the groups of
  // groupsOfUser(uid, gid). Does nothing when the daemon is not root
  // (it then has no more rights than its own user anyway). Throws
  // std::runtime_error when the switch fails.
  CallerRights(uid_t uid, gid_t gid);
  // The same with exactly `groups` as the thread's groups (Linux; macOS
  // resolves the groups of `uid` itself): for acting as a user that has
  // no supplementary groups, such as the engine.
  CallerRights(uid_t uid, gid_t gid, const std::vector<gid_t>& groups);
  // Gives the thread its own rights back.
  ~CallerRights();
  CallerRights(const CallerRights&) = delete;
  CallerRights& operator=(const CallerRights&) = delete;

 private:
  void restore() const;

  bool switched_ = false;
  std::vector<gid_t> ownGroups_;
};

// `gid` followed by the groups the user database gives `uid`: its primary
// group and its supplementary groups (none when `uid` has no entry).
std::vector<gid_t> groupsOfUser(uid_t uid, gid_t gid);

}  // namespace tarq

#endif  // TARQ_DAEMON_CORE_CALLER_RIGHTS_H_
