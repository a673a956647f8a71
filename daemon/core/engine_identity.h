// Who the engine runs as. The daemon is root, but what it runs for its
// callers must not be: on Linux the engine gets a user of its own and only
// the capabilities a tunnel needs, so that a configuration cannot make it
// read, write or serve root's files. (On macOS the engine must stay root:
// utun devices and routes need it, and the configuration policy is the
// boundary there.)
#ifndef TARQ_DAEMON_CORE_ENGINE_IDENTITY_H_
#define TARQ_DAEMON_CORE_ENGINE_IDENTITY_H_

#include <sys/types.h>

#include <string>
#include <vector>

namespace tarq {

struct EngineIdentity {
  std::string user;
  uid_t uid = 0;
  gid_t gid = 0;  // the user's primary group; the engine gets no other group
  // Adds what sing-box needs to match connections to processes
  // (`process_name`, `process_path` rules): reading other users' /proc
  // entries and sockets.
  bool processRules = false;

  bool isRoot() const { return uid == 0; }
};

// The system user the shipped daemon runs the engine as, made by the
// packaging's sysusers.d file.
inline constexpr char kDefaultEngineUser[] = "orvek-engine";

// The identity of the user named `user` (a name, or a number that the user
// database knows). Throws std::runtime_error when there is no such user.
EngineIdentity engineIdentityOf(const std::string& user, bool processRules);

// The capability names the engine gets, for logs and messages
// ("cap_net_admin, cap_net_raw, cap_net_bind_service").
std::string describeEngineCapabilities(bool processRules);

}  // namespace tarq

#endif  // TARQ_DAEMON_CORE_ENGINE_IDENTITY_H_
