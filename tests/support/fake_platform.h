// Platform facts for tests: real file existence (with an optional override),
// an Application Support directory, a bundle root and an OS version of the
// test's choosing.
#ifndef TARQ_TESTS_SUPPORT_FAKE_PLATFORM_H_
#define TARQ_TESTS_SUPPORT_FAKE_PLATFORM_H_

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
               OsVersion version = {14, 0, 0});

  bool fileExists(const std::string& path) const override;
  std::optional<std::string> applicationSupportDirectory() const override;
  std::string mainBundleRoot() const override;
  OsVersion osVersion() const override;

  void setExistsOverride(ExistsOverride override);
  void setOsVersion(OsVersion version);

 private:
  mutable std::mutex mutex_;
  std::optional<std::string> applicationSupport_;
  std::string bundleRoot_;
  OsVersion version_;
  ExistsOverride existsOverride_;
};

}  // namespace tarq::testing

#endif  // TARQ_TESTS_SUPPORT_FAKE_PLATFORM_H_
