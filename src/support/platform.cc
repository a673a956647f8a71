#include "support/platform.h"

// The macOS bridge answers from Foundation and defines Platform::system()
// itself (macos/Classes/mac_platform.mm); this is the Linux platform.
#ifndef __APPLE__

#include <pwd.h>
#include <sys/stat.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <charconv>
#include <cstdlib>
#include <filesystem>
#include <string_view>
#include <system_error>
#include <vector>

namespace tarq {

namespace {

bool isAbsolute(const char* path) {
  return path != nullptr && path[0] == '/';
}

std::string withoutTrailingSlashes(std::string path) {
  while (path.size() > 1 && path.back() == '/') {
    path.pop_back();
  }
  return path;
}

// The home folder: $HOME when it is absolute, else the password database's.
std::optional<std::string> homeDirectory() {
  const char* home = std::getenv("HOME");
  if (isAbsolute(home)) {
    return withoutTrailingSlashes(home);
  }
  long size = sysconf(_SC_GETPW_R_SIZE_MAX);
  std::vector<char> buffer(size > 0 ? static_cast<size_t>(size) : 16384);
  passwd entry{};
  passwd* found = nullptr;
  if (getpwuid_r(geteuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
      found != nullptr && isAbsolute(found->pw_dir)) {
    return withoutTrailingSlashes(found->pw_dir);
  }
  return std::nullopt;
}

// Reads "6.1.0-18-amd64" as 6.1.0; missing or unreadable parts are 0.
OsVersion parseRelease(std::string_view release) {
  int parts[3] = {0, 0, 0};
  const char* cursor = release.data();
  const char* end = release.data() + release.size();
  for (int& part : parts) {
    auto [stop, error] = std::from_chars(cursor, end, part);
    if (error != std::errc()) {
      part = 0;
      break;
    }
    if (stop == end || *stop != '.') {
      break;
    }
    cursor = stop + 1;
  }
  return OsVersion{parts[0], parts[1], parts[2]};
}

class LinuxPlatform final : public Platform {
 public:
  bool fileExists(const std::string& path) const override {
    struct stat info;
    return lstat(path.c_str(), &info) == 0;
  }

  std::optional<std::string> applicationSupportDirectory() const override {
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    if (isAbsolute(dataHome)) {
      return withoutTrailingSlashes(dataHome);
    }
    auto home = homeDirectory();
    if (!home) {
      return std::nullopt;
    }
    return (*home == "/" ? "" : *home) + "/.local/share";
  }

  std::string mainBundleRoot() const override {
    std::error_code error;
    std::filesystem::path executable = std::filesystem::read_symlink("/proc/self/exe", error);
    if (error) {
      return std::filesystem::current_path(error).string();
    }
    std::filesystem::path folder = executable.parent_path();
    if (folder.filename() == "MacOS" && folder.parent_path().filename() == "Contents") {
      return folder.parent_path().parent_path().string();
    }
    return folder.string();
  }

  OsVersion osVersion() const override {
    utsname names{};
    if (uname(&names) != 0) {
      return OsVersion{};
    }
    return parseRelease(names.release);
  }
};

}  // namespace

std::shared_ptr<Platform> Platform::system() {
  static auto* const platform = new std::shared_ptr<Platform>(std::make_shared<LinuxPlatform>());
  return *platform;
}

}  // namespace tarq

#endif  // __APPLE__
