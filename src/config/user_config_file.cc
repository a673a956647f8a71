#include "config/user_config_file.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <unistd.h>

#include <filesystem>
#include <system_error>
#include <vector>

namespace tarq {
namespace {

namespace fs = std::filesystem;

constexpr fs::perms kDirectoryPermissions = fs::perms::owner_all;  // 0700
constexpr mode_t kFileMode = 0600;

// strerror_r comes in two shapes (GNU returns the text, XSI fills the
// buffer); overloads pick whichever the C library declares.
[[maybe_unused]] std::string describeStrerror(const char* text, const char* /*buffer*/) {
  return text;
}
[[maybe_unused]] std::string describeStrerror(int result, const char* buffer) {
  return result == 0 ? std::string(buffer) : "Unknown error";
}

// The C library's text for `error`, without strerror's shared buffer.
std::string errorText(int error) {
  char buffer[256] = {};
  return describeStrerror(strerror_r(error, buffer, sizeof buffer), buffer);
}

UserConfigError failure(const char* verb, const std::string& path, const std::string& text) {
  return UserConfigError(std::string(verb) + " " + path + ": " + text);
}

// Creates `directory` and every missing parent, each made private (0700) as
// it is created; parents that already exist are left as they are. Throws
// std::filesystem::filesystem_error, also when something other than a
// directory is in the way.
void createPrivateDirectories(const fs::path& directory) {
  std::vector<fs::path> missing;  // innermost first
  for (fs::path p = directory; !p.empty() && !fs::exists(p); p = p.parent_path()) {
    missing.push_back(p);
    if (p == p.parent_path()) {
      break;
    }
  }
  for (auto it = missing.rbegin(); it != missing.rend(); ++it) {
    // false: it exists already (made by someone else in between).
    if (fs::create_directory(*it)) {
      fs::permissions(*it, kDirectoryPermissions, fs::perm_options::replace);
    }
  }
  if (!fs::is_directory(directory)) {
    throw fs::filesystem_error("cannot create directory", directory,
                               std::make_error_code(std::errc::not_a_directory));
  }
}

}  // namespace

int64_t posixWrite(int descriptor, const void* bytes, int64_t count) {
  return ::write(descriptor, bytes, static_cast<size_t>(count));
}

std::string UserConfigFile::path() const {
  if (!directory.empty() && directory.back() == '/') {
    return directory + kConfigFileName;
  }
  return directory + "/" + kConfigFileName;
}

std::string UserConfigFile::write(std::string_view text) const {
  createPrivateDirectories(directory);
  // Also when the directory existed: its mode must not depend on the umask
  // or on whoever made it.
  fs::permissions(directory, kDirectoryPermissions, fs::perm_options::replace);

  remove();

  const std::string file = path();
  // Exclusive and no-follow: a name that reappeared since remove(), or a
  // symbolic link planted there, makes the creation fail rather than be
  // written through.
  const int descriptor =
      ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
  if (descriptor < 0) {
    throw failure("create", file, errorText(errno));
  }

  const char* bytes = text.data();
  const int64_t count = static_cast<int64_t>(text.size());
  int64_t offset = 0;
  while (offset < count) {
    const int64_t written = sink(descriptor, bytes + offset, count - offset);
    if (written <= 0) {
      // The text first: unlink and close may change errno.
      const std::string reason = errorText(errno);
      ::unlink(file.c_str());
      ::close(descriptor);
      throw failure("write", file, reason);
    }
    offset += written;
  }
  ::close(descriptor);
  return file;
}

void UserConfigFile::remove() const {
  const std::string file = path();
  // unlink removes a symbolic link itself, never its target.
  if (::unlink(file.c_str()) == 0 || errno == ENOENT) {
    return;
  }
  throw failure("remove", file, errorText(errno));
}

}  // namespace tarq
