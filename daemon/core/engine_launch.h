// Starting the engine process: the one place where the daemon turns a
// command line into a child, with the child's whole starting state decided
// here and nowhere else.
//
// The engine starts
//   - in a process group of its own (so that a Ctrl-C meant for the daemon
//     does not reach it, and so that stopping it reaches what it forked),
//   - with every signal unblocked and at its default action, whatever the
//     daemon blocks or ignores,
//   - with standard input on /dev/null and standard output and error on
//     `output`, in `workDirectory`,
//   - with no other descriptor of the daemon's,
//   - on Linux, as `identity` when one is given: its uid and gid for every
//     id, no supplementary groups, and exactly the tunnel's capabilities in
//     the effective, permitted, inheritable, ambient and bounding sets.
#ifndef TARQ_DAEMON_CORE_ENGINE_LAUNCH_H_
#define TARQ_DAEMON_CORE_ENGINE_LAUNCH_H_

#include <sys/types.h>

#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "engine_identity.h"

namespace tarq {

// The engine could not be started; what() says why, for the caller.
class EngineLaunchError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct EngineLaunch {
  std::vector<std::string> argv;  // argv[0]: the program, an absolute path
  std::string workDirectory;
  int output = -1;
  // Who the engine runs as; none: as the daemon itself. Root as identity
  // also runs it as the daemon itself.
  std::optional<EngineIdentity> identity;
};

// `words` as exec takes them: pointers into `words`, then a null pointer.
inline std::vector<char*> execArguments(std::vector<std::string>& words) {
  std::vector<char*> pointers;
  for (std::string& word : words) {
    pointers.push_back(word.data());
  }
  pointers.push_back(nullptr);
  return pointers;
}

// Starts the engine and returns its pid once it has been exec'd. Throws
// EngineLaunchError when any step before the exec, or the exec itself,
// fails; no child is left behind then.
pid_t launchEngine(const EngineLaunch& launch);

}  // namespace tarq

#endif  // TARQ_DAEMON_CORE_ENGINE_LAUNCH_H_
