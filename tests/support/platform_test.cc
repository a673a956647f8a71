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
  {
    ScopedEnv data("XDG_DATA_HOME", "/srv/data/");
    EXPECT_EQ(platform->applicationSupportDirectory(), "/srv/data");
  }
  {
    ScopedEnv data("XDG_DATA_HOME", "relative/data");
    EXPECT_EQ(platform->applicationSupportDirectory(), "/home/someone/.local/share");
  }
  ScopedEnv data("XDG_DATA_HOME", nullptr);
  EXPECT_EQ(platform->applicationSupportDirectory(), "/home/someone/.local/share");
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
  EXPECT_TRUE(platform->fileExists(dir.file("file")));
  EXPECT_TRUE(platform->fileExists(dir.path()));
  EXPECT_TRUE(platform->fileExists(dir.file("dangling")));
  EXPECT_FALSE(platform->fileExists(dir.file("missing")));
  EXPECT_FALSE(platform->fileExists(dir.file("file/below")));  // ENOTDIR
}

TEST(PlatformTest, BundleRootIsTheProgramsFolderAndVersionTheKernels) {
  auto platform = Platform::system();
  char buffer[4096];
  ssize_t size = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  ASSERT_GT(size, 0);
  std::string executable(buffer, static_cast<size_t>(size));
  EXPECT_EQ(platform->mainBundleRoot(), executable.substr(0, executable.rfind('/')));
  EXPECT_GT(platform->osVersion(), (OsVersion{2, 6, 99}));
}

}  // namespace
}  // namespace tarq
