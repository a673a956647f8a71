// The user's sing-box configuration as a private, short-lived file
// "config.json" for the helper daemon: directory 0700, file 0600, created
// fresh (exclusive, never through a symbolic link) and removed as soon as the
// helper has read it.
//
// A value: copy it freely. Not for concurrent use on one directory.
#ifndef TARQ_CONFIG_USER_CONFIG_FILE_H_
#define TARQ_CONFIG_USER_CONFIG_FILE_H_

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "config/user_config_error.h"

namespace tarq {

inline constexpr char kConfigDirectoryName[] = "Orvek";
inline constexpr char kConfigFileName[] = "config.json";

// Shaped like POSIX write(2): returns the count written, or 0 or less on
// failure with the reason in errno.
using WriteSink = std::function<int64_t(int descriptor, const void* bytes, int64_t count)>;

// POSIX write(2) itself.
int64_t posixWrite(int descriptor, const void* bytes, int64_t count);

struct UserConfigFile {
  std::string directory;  // absolute path; need not exist yet
  WriteSink sink = posixWrite;

  // directory + "/config.json".
  std::string path() const;

  // Writes the bytes of `text` to a new file and returns its path. Throws
  // std::filesystem::filesystem_error for the directory steps and
  // UserConfigError for the file itself; a failed write leaves no file.
  std::string write(std::string_view text) const;

  // Deletes the file (a symbolic link itself, never its target) if present.
  // Throws UserConfigError.
  void remove() const;
};

}  // namespace tarq

#endif  // TARQ_CONFIG_USER_CONFIG_FILE_H_
