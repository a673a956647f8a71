#include "support/platform.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "tests/support/temp_dir.h"

namespace tarq {
namespace {

// Sets (or, given nullptr, clears) an environment variable until destroyed.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) {
      old_ = old;
    }
    value ? setenv(name, value, 1) : unsetenv(name);
  }
  ~ScopedEnv() { old_ ? setenv(name_, old_->c_str(), 1) : unsetenv(name_); }

 private:
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
  auto platform = Platform::system();
  testing::TempDir dir;
  std::ofstream(dir.file("file")) << "x";
  ASSERT_EQ(symlink(dir.file("missing").c_str(), dir.file("dangling").c_str()), 0);
  for (const std::string& path : {dir.file("file"), dir.path(), dir.file("dangling")}) {
    EXPECT_TRUE(platform->fileExists(path)) << path;
  }
  EXPECT_FALSE(platform->fileExists(dir.file("missing")));
  EXPECT_FALSE(platform->fileExists(dir.file("file/below")));  // ENOTDIR
}

}  // namespace
}  // namespace tarq
