// Taking the caller's configuration file in: the helper runs the engine with
// more rights than the caller, so it reads only a file that the caller could
// have written itself, and runs the engine on a private copy that the caller
// can no longer change or swap.
#ifndef TARQ_DAEMON_CORE_CONFIG_INTAKE_H_
#define TARQ_DAEMON_CORE_CONFIG_INTAKE_H_

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <stdexcept>
#include <string>

namespace tarq {

inline constexpr size_t kMaxConfigBytes = 16 * 1024 * 1024;

// A refused request; what() is the reply's "error" text.
class RequestRefused : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// Reads the file at `path` for the caller `uid` (primary group `gid`), with
// the caller's own file-system rights. Accepts only an absolute path without
// NUL naming a regular file (not a symbolic link) owned by `uid`, of at most
// kMaxConfigBytes. Throws RequestRefused.
std::string readCallerConfig(const std::string& path, uid_t uid, gid_t gid);

// Makes `path` a folder of this process's user with `mode` (0700, or 0711
// where another user, the engine's, must pass through it to a file of its
// own), creating it and its parents as needed. Refuses a symbolic link or
// another user's folder. Throws std::runtime_error.
void preparePrivateFolder(const std::string& path, mode_t mode = 0700);

// Who owns a private file, and so alone may read it.
struct FileOwner {
  uid_t uid;
  gid_t gid;
};

// Writes `content` to `folder`/`name`, replacing the file atomically;
// returns the path. The file is 0600, or, with `owner`, 0400 and owner's
// (made so before it takes its name). Throws std::runtime_error.
std::string writePrivateFile(const std::string& folder, const std::string& name,
                             const std::string& content,
                             std::optional<FileOwner> owner = std::nullopt);

}  // namespace tarq

#endif  // TARQ_DAEMON_CORE_CONFIG_INTAKE_H_
