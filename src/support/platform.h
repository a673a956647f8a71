// Facts about the platform the plug-in runs on, behind one seam so that tests
// can fake them: file existence, the user's Application Support directory,
// the main bundle's root and the operating system's version.
//
// Thread safety: every method may be called from any thread.
#ifndef TARQ_SUPPORT_PLATFORM_H_
#define TARQ_SUPPORT_PLATFORM_H_

#include <memory>
#include <optional>
#include <string>

namespace tarq {

struct OsVersion {
  int major = 0;
  int minor = 0;
  int patch = 0;
  friend auto operator<=>(const OsVersion&, const OsVersion&) = default;
};

class Platform {
 public:
  virtual ~Platform() = default;

  // Whether any file-system entry (a dangling symbolic link included) exists
  // at `path`.
  virtual bool fileExists(const std::string& path) const = 0;

  // The user's Application Support directory, without a trailing slash; none
  // when it cannot be found. On Linux: $XDG_DATA_HOME when it is an absolute
  // path, else $HOME/.local/share.
  virtual std::optional<std::string> applicationSupportDirectory() const = 0;

  // The root of the application bundle (the ".app" folder on macOS). On
  // Linux, the folder two levels above the executable when that sits in
  // "Contents/MacOS", else the executable's own folder.
  virtual std::string mainBundleRoot() const = 0;

  // The running system's version (on Linux the kernel's release).
  virtual OsVersion osVersion() const = 0;

  static std::shared_ptr<Platform> system();
};

}  // namespace tarq

#endif  // TARQ_SUPPORT_PLATFORM_H_
