// Platform facts for tests: real file existence (with an optional override),
// an Application Support directory, a bundle root and an OS version of the
// test's choosing.
#ifndef TARQ_TESTS_SUPPORT_FAKE_PLATFORM_H_
#define TARQ_TESTS_SUPPORT_FAKE_PLATFORM_H_

#include <sys/stat.h>

#include <functional>
#include <mutex>
#include <optional>
#include <string>

#include "support/platform.h"

namespace tarq::testing {

class FakePlatform final : public Platform {
 public:
  // Answers fileExists for the paths it knows; std::nullopt asks the file
  // system.
  using ExistsOverride = std::function<std::optional<bool>(const std::string& path)>;

  FakePlatform(std::optional<std::string> applicationSupport, std::string bundleRoot,
               OsVersion version = {14, 0, 0})
      : applicationSupport_(std::move(applicationSupport)),
        bundleRoot_(std::move(bundleRoot)),
        version_(version) {}

  bool fileExists(const std::string& path) const override {
    std::unique_lock lock(mutex_);
    ExistsOverride override = existsOverride_;  // called unlocked: it may be slow
    lock.unlock();
    std::optional<bool> answer = override ? override(path) : std::nullopt;
    struct stat info;
    return answer ? *answer : ::lstat(path.c_str(), &info) == 0;
  }
  std::optional<std::string> applicationSupportDirectory() const override {
    return applicationSupport_;
  }
  std::string mainBundleRoot() const override { return bundleRoot_; }
  OsVersion osVersion() const override {
    std::lock_guard lock(mutex_);
    return version_;
  }

  void setExistsOverride(ExistsOverride override) {
    std::lock_guard lock(mutex_);
    existsOverride_ = std::move(override);
  }
  void setOsVersion(OsVersion version) {
    std::lock_guard lock(mutex_);
    version_ = version;
  }

 private:
  mutable std::mutex mutex_;
  std::optional<std::string> applicationSupport_;
  std::string bundleRoot_;
  OsVersion version_;
  ExistsOverride existsOverride_;
};

}  // namespace tarq::testing

#endif  // TARQ_TESTS_SUPPORT_FAKE_PLATFORM_H_
