#include "peer_credentials_policy.h"

#include <errno.h>
#include <grp.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <vector>

#include "caller_rights.h"

namespace tarq {
namespace {

bool peerIds(int connection, uid_t& uid, gid_t& gid) {
#if defined(SO_PEERCRED)
  ucred peer{};
  socklen_t size = sizeof peer;
  if (getsockopt(connection, SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) {
    return false;
  }
  uid = peer.uid;
  gid = peer.gid;
  return true;
#else
  return getpeereid(connection, &uid, &gid) == 0;
#endif
}

template <typename Id>
std::string listed(const std::set<Id>& ids) {
  std::string text;
  for (Id id : ids) {
    text += (text.empty() ? "" : ", ") + std::to_string(id);
  }
  return text;
}

}  // namespace

PeerCredentialsPolicy::PeerCredentialsPolicy(std::set<uid_t> allowedUids,
                                             std::set<gid_t> allowedGroups, SteadyNow now)
    : allowedUids_(std::move(allowedUids)),
      allowedGroups_(std::move(allowedGroups)),
      membership_(kMembershipUsers, kMembershipLifetime, std::move(now)) {}

CallerIdentity PeerCredentialsPolicy::identify(int connection) const {
  CallerIdentity caller;
  caller.known = peerIds(connection, caller.uid, caller.gid);
  if (!caller.known) {
    caller.reason = std::string("cannot learn who the caller is: ") + strerror(errno);
  }
  return caller;
}

std::optional<CallerVerdict> PeerCredentialsPolicy::quickVerdict(
    const CallerIdentity& caller) const {
  if (!caller.known) {
    return refusal(caller, caller.reason);
  }
  if (caller.uid == 0 || allowedUids_.count(caller.uid) != 0 ||
      allowedGroups_.count(caller.gid) != 0) {
    return verdict(caller, true);
  }
  if (allowedGroups_.empty()) {
    return verdict(caller, false);
  }
  if (std::optional<bool> member = membership_.find(caller.uid)) {
    return verdict(caller, *member);
  }
  return std::nullopt;
}

CallerVerdict PeerCredentialsPolicy::judge(const CallerIdentity& caller) const {
  if (std::optional<CallerVerdict> quick = quickVerdict(caller)) {
    return *quick;
  }
  std::vector<gid_t> groups = groupsOfUser(caller.uid, caller.gid);
  bool member = std::any_of(groups.begin(), groups.end(),
                            [this](gid_t group) { return allowedGroups_.count(group) != 0; });
  membership_.put(caller.uid, member);
  return verdict(caller, member);
}

CallerVerdict PeerCredentialsPolicy::verdict(const CallerIdentity& caller, bool admitted) const {
  if (!admitted) {
    return refusal(
        caller, "caller uid " + std::to_string(caller.uid) + " is not allowed to use this helper");
  }
  CallerVerdict admittedCaller;
  admittedCaller.admitted = true;
  admittedCaller.uid = caller.uid;
  admittedCaller.gid = caller.gid;
  return admittedCaller;
}

std::string PeerCredentialsPolicy::describe() const {
  std::string text = "uids " + listed(allowedUids_);
  return allowedGroups_.empty() ? text : text + "; groups " + listed(allowedGroups_);
}

gid_t groupIdOf(const std::string& nameOrNumber) {
  if (!nameOrNumber.empty() && std::all_of(nameOrNumber.begin(), nameOrNumber.end(),
                                           [](char c) { return c >= '0' && c <= '9'; })) {
    return static_cast<gid_t>(std::stoul(nameOrNumber));
  }
  group entry{};
  group* found = nullptr;
  std::vector<char> text(16384);
  if (getgrnam_r(nameOrNumber.c_str(), &entry, text.data(), text.size(), &found) != 0 ||
      found == nullptr) {
    throw std::runtime_error("no group named \"" + nameOrNumber + "\"");
  }
  return found->gr_gid;
}

}  // namespace tarq
