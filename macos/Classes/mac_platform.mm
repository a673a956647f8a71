// Platform on macOS: Foundation's answers for the Application Support
// directory, the main bundle and the system version; lstat(2) for file
// existence.
//
// The pod's only definition of Platform::system(): src/support/platform.cc, which the pod
// also compiles, defines the Linux one only where __APPLE__ is not defined
// (macos/check.sh link checks that every symbol is defined once).
#import <Foundation/Foundation.h>

#include <sys/stat.h>

#include <memory>
#include <optional>
#include <string>

#include "support/platform.h"

namespace tarq {
namespace {

std::string pathOf(NSURL* _Nullable url) {
  const char* path = url.fileSystemRepresentation;
  std::string text = path == nullptr ? std::string() : std::string(path);
  while (text.size() > 1 && text.back() == '/') {
    text.pop_back();
  }
  return text;
}

class MacPlatform final : public Platform {
 public:
  // lstat rather than -[NSFileManager fileExistsAtPath:], which follows a
  // final symbolic link and so misses a dangling one.
  bool fileExists(const std::string& path) const override {
    struct stat status;
    return ::lstat(path.c_str(), &status) == 0;
  }

  std::optional<std::string> applicationSupportDirectory() const override {
    // The callers run on the plug-in's own threads, which have no
    // autorelease pool of their own.
    @autoreleasepool {
      NSArray<NSURL*>* urls =
          [NSFileManager.defaultManager URLsForDirectory:NSApplicationSupportDirectory
                                               inDomains:NSUserDomainMask];
      std::string path = pathOf(urls.firstObject);
      if (path.empty()) {
        return std::nullopt;
      }
      return path;
    }
  }

  std::string mainBundleRoot() const override {
    @autoreleasepool {
      return pathOf(NSBundle.mainBundle.bundleURL);
    }
  }

  OsVersion osVersion() const override {
    const NSOperatingSystemVersion version = NSProcessInfo.processInfo.operatingSystemVersion;
    return OsVersion{static_cast<int>(version.majorVersion), static_cast<int>(version.minorVersion),
                     static_cast<int>(version.patchVersion)};
  }
};

}  // namespace

std::shared_ptr<Platform> Platform::system() {
  // Never destroyed, so that threads still running at exit can use it.
  static const auto* const platform =
      new std::shared_ptr<Platform>(std::make_shared<MacPlatform>());
  return *platform;
}

}  // namespace tarq
