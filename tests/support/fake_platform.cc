#include "tests/support/fake_platform.h"

#include <sys/stat.h>

#include <utility>

namespace tarq::testing {

FakePlatform::FakePlatform(std::optional<std::string> applicationSupport, std::string bundleRoot,
                           OsVersion version)
    : applicationSupport_(std::move(applicationSupport)),
      bundleRoot_(std::move(bundleRoot)),
      version_(version) {}

bool FakePlatform::fileExists(const std::string& path) const {
  ExistsOverride override;
  {
    std::lock_guard lock(mutex_);
    override = existsOverride_;
  }
  if (override) {
    if (auto answer = override(path)) {
      return *answer;
    }
  }
  struct stat info;
  return lstat(path.c_str(), &info) == 0;
}

std::optional<std::string> FakePlatform::applicationSupportDirectory() const {
  return applicationSupport_;
}

std::string FakePlatform::mainBundleRoot() const {
  return bundleRoot_;
}

OsVersion FakePlatform::osVersion() const {
  std::lock_guard lock(mutex_);
  return version_;
}

void FakePlatform::setExistsOverride(ExistsOverride override) {
  std::lock_guard lock(mutex_);
  existsOverride_ = std::move(override);
}

void FakePlatform::setOsVersion(OsVersion version) {
  std::lock_guard lock(mutex_);
  version_ = version;
}

}  // namespace tarq::testing
