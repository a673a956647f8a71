#include "support/platform.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "tests/support/temp_dir.h"

namespace tarq {
namespace {

// Sets or clears an environment variable for one test and restores it after.
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

class PlatformTest : public ::testing::Test {
 protected:
  std::shared_ptr<Platform> platform_ = Platform::system();
  testing::TempDir dir_;
};

TEST_F(PlatformTest, AbsoluteXdgDataHomeIsTheApplicationSupportDirectory) {
  ScopedEnv data("XDG_DATA_HOME", "/srv/data/");
  EXPECT_EQ(platform_->applicationSupportDirectory(), "/srv/data");
}

TEST_F(PlatformTest, UnsetOrRelativeXdgDataHomeFallsBackToHome) {
  ScopedEnv home("HOME", "/home/someone");
  {
    ScopedEnv data("XDG_DATA_HOME", nullptr);
    EXPECT_EQ(platform_->applicationSupportDirectory(), "/home/someone/.local/share");
  }
  ScopedEnv data("XDG_DATA_HOME", "relative/data");
  EXPECT_EQ(platform_->applicationSupportDirectory(), "/home/someone/.local/share");
}

TEST_F(PlatformTest, WithoutHomeTheUserDatabaseGivesTheHomeFolder) {
  ScopedEnv data("XDG_DATA_HOME", "");
  ScopedEnv home("HOME", nullptr);
  auto directory = platform_->applicationSupportDirectory();
  ASSERT_TRUE(directory.has_value());
  EXPECT_EQ(directory->front(), '/');
  EXPECT_TRUE(directory->ends_with("/.local/share"));
}

TEST_F(PlatformTest, FileExistsSeesFilesFoldersAndDanglingLinks) {
  std::ofstream(dir_.file("file")) << "x";
  ASSERT_EQ(symlink(dir_.file("missing").c_str(), dir_.file("dangling").c_str()), 0);
  EXPECT_TRUE(platform_->fileExists(dir_.file("file")));
  EXPECT_TRUE(platform_->fileExists(dir_.path()));
  EXPECT_TRUE(platform_->fileExists(dir_.file("dangling")));
  EXPECT_FALSE(platform_->fileExists(dir_.file("missing")));
  EXPECT_FALSE(platform_->fileExists(dir_.file("file/below")));  // ENOTDIR
}

TEST_F(PlatformTest, MainBundleRootIsTheTestProgramsFolder) {
  char buffer[4096];
  ssize_t size = readlink("/proc/self/exe", buffer, sizeof buffer - 1);
  ASSERT_GT(size, 0);
  std::string executable(buffer, static_cast<size_t>(size));
  EXPECT_EQ(platform_->mainBundleRoot(), executable.substr(0, executable.rfind('/')));
}

TEST_F(PlatformTest, OsVersionIsTheKernelRelease) {
  OsVersion version = platform_->osVersion();
  EXPECT_GE(version.major, 3);
  EXPECT_GT(version, (OsVersion{2, 6, 99}));
}

}  // namespace
}  // namespace tarq
