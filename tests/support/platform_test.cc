#include "support/platform.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "tests/support/temp_dir.h"

namespace tarq {
namespace {

// Sets (or, given nullptr, clears) an environment variable until destroyed.
struct ScopedEnv {
  static void set(const char* name, const char* value) {
    value ? setenv(name, value, 1) : unsetenv(name);
  }
  ScopedEnv(const char* name, const char* value) : name_(name) {
    const char* current = std::getenv(name);
    old_ = current ? std::optional<std::string>(current) : std::nullopt;
    set(name, value);
  }
  ~ScopedEnv() { set(name_, old_ ? old_->c_str() : nullptr); }
  const char* name_;
  std::optional<std::string> old_;
};

TEST(PlatformTest, ApplicationSupportIsAbsoluteXdgDataHomeElseUnderHome) {
  auto platform = Platform::system();
  ScopedEnv home("HOME", "/home/someone");
  for (const char* data : {"relative/data", static_cast<const char*>(nullptr), "/srv/data/"}) {
    ScopedEnv xdg("XDG_DATA_HOME", data);
    EXPECT_EQ(platform->applicationSupportDirectory(),
              data && data[0] == '/' ? "/srv/data" : "/home/someone/.local/share");
  }
  ScopedEnv noHome("HOME", nullptr);  // the user database answers instead
  auto directory = platform->applicationSupportDirectory();
  ASSERT_TRUE(directory.has_value());
  EXPECT_TRUE(directory->starts_with("/") && directory->ends_with("/.local/share"));
}

TEST(PlatformTest, FileExistsSeesFilesFoldersAndDanglingLinks) {
  testing::TempDir dir;
  std::ofstream(dir.file("file")) << "x";
  ASSERT_EQ(symlink(dir.file("missing").c_str(), dir.file("dangling").c_str()), 0);
  for (auto [name, exists] : {std::pair{"file", true},
                              {"", true},
                              {"dangling", true},
                              {"missing", false},
                              {"file/below", false}}) {  // ENOTDIR
    EXPECT_EQ(Platform::system()->fileExists(dir.file(name)), exists) << name;
  }
}

}  // namespace
}  // namespace tarq
