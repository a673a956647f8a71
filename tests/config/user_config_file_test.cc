#include "config/user_config_file.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/temp_dir.h"

namespace tarq {
namespace {

namespace fs = std::filesystem;

mode_t modeOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info.st_mode & 07777;
}

std::string contentOf(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream out;
  out << in.rdbuf();
  return out.str();
}

void writeFile(const std::string& path, const std::string& text) {
  std::ofstream(path, std::ios::binary) << text;
}

class UserConfigFileTest : public ::testing::Test {
 protected:
  void TearDown() override { ::umask(savedUmask_); }

  testing::TempDir temp_;
  std::string directory_ = temp_.file("Application Support/Orvek");
  std::string path_ = directory_ + "/config.json";
  UserConfigFile file_{directory_};

 private:
  mode_t savedUmask_ = [] {
    const mode_t mask = ::umask(022);
    ::umask(mask);
    return mask;
  }();
};

TEST_F(UserConfigFileTest, WritesPrivateFileInPrivateDirectories) {
  ::umask(022);
  EXPECT_EQ(file_.write(R"({"log":{"level":"info"}})"), path_);
  EXPECT_EQ(contentOf(path_), R"({"log":{"level":"info"}})");
  EXPECT_EQ(modeOf(path_), 0600u);
  EXPECT_EQ(modeOf(directory_), 0700u);
  EXPECT_EQ(modeOf(temp_.file("Application Support")), 0700u);
}

TEST_F(UserConfigFileTest, EmptyTextMakesEmptyFile) {
  EXPECT_EQ(file_.write(""), path_);
  EXPECT_EQ(fs::file_size(path_), 0u);
  EXPECT_EQ(modeOf(path_), 0600u);
}

TEST_F(UserConfigFileTest, StaleFileIsReplacedNotOverwritten) {
  fs::create_directories(directory_);
  writeFile(path_, "an old and much longer configuration");
  fs::permissions(path_, fs::perms(0644));
  struct stat before {};
  ASSERT_EQ(::stat(path_.c_str(), &before), 0);
  // Held open so that the old inode cannot be reused for the new file.
  std::ifstream holdOld(path_);

  file_.write("new");

  struct stat after {};
  ASSERT_EQ(::stat(path_.c_str(), &after), 0);
  EXPECT_NE(after.st_ino, before.st_ino);
  EXPECT_EQ(contentOf(path_), "new");
  EXPECT_EQ(modeOf(path_), 0600u);
}

TEST_F(UserConfigFileTest, SymbolicLinkIsRemovedAndItsTargetUntouched) {
  fs::create_directories(directory_);
  const std::string target = temp_.file("target.json");
  writeFile(target, "precious");
  fs::create_symlink(target, path_);

  file_.write("fresh");

  EXPECT_FALSE(fs::is_symlink(path_));
  EXPECT_EQ(contentOf(path_), "fresh");
  EXPECT_EQ(contentOf(target), "precious");
}

TEST_F(UserConfigFileTest, ShortWritesAreContinued) {
  int calls = 0;
  UserConfigFile file{directory_, [&](int descriptor, const void* bytes, int64_t count) {
                        ++calls;
                        return posixWrite(descriptor, bytes, std::min<int64_t>(count, 7));
                      }};
  const std::string text = R"({"outbounds":[{"type":"direct","tag":"direct-a"}]})";
  file.write(text);
  EXPECT_EQ(contentOf(path_), text);
  EXPECT_EQ(calls, static_cast<int>((text.size() + 6) / 7));
}

TEST_F(UserConfigFileTest, FailedWriteLeavesNoFileAndNamesThePath) {
  int calls = 0;
  UserConfigFile file{directory_, [&](int descriptor, const void* bytes, int64_t count) -> int64_t {
                        if (++calls == 2) {
                          errno = ENOSPC;
                          return -1;
                        }
                        return posixWrite(descriptor, bytes, std::min<int64_t>(count, 4));
                      }};
  try {
    file.write("more than four bytes");
    FAIL() << "write succeeded";
  } catch (const UserConfigError& error) {
    EXPECT_EQ(error.errorDescription(), "write " + path_ + ": " + strerror(ENOSPC));
    EXPECT_STREQ(error.what(), error.message().c_str());
  }
  EXPECT_FALSE(fs::exists(fs::symlink_status(path_)));
}

TEST_F(UserConfigFileTest, SinkReturningZeroIsAFailure) {
  UserConfigFile file{directory_, [](int, const void*, int64_t) -> int64_t { return 0; }};
  EXPECT_THROW(file.write("x"), UserConfigError);
  EXPECT_FALSE(fs::exists(path_));
}

TEST_F(UserConfigFileTest, RemoveSucceedsWithoutFileOrDirectory) {
  EXPECT_NO_THROW(file_.remove());
  fs::create_directories(directory_);
  EXPECT_NO_THROW(file_.remove());
  file_.write("x");
  file_.remove();
  EXPECT_FALSE(fs::exists(path_));
}

TEST_F(UserConfigFileTest, OpenDirectoryBecomesPrivate) {
  fs::create_directories(directory_);
  fs::permissions(directory_, fs::perms(0755));
  file_.write("x");
  EXPECT_EQ(modeOf(directory_), 0700u);
}

TEST_F(UserConfigFileTest, FileModeStaysPrivateUnderTheUsualUmasks) {
  ::umask(0);
  file_.write("x");
  EXPECT_EQ(modeOf(path_), 0600u);
  ::umask(077);
  file_.write("y");
  EXPECT_EQ(modeOf(path_), 0600u);
  EXPECT_EQ(modeOf(directory_), 0700u);
}

TEST_F(UserConfigFileTest, RegularFileInTheDirectoryPathFailsWithFileSystemError) {
  writeFile(temp_.file("Application Support"), "not a folder");
  EXPECT_THROW(file_.write("x"), fs::filesystem_error);
}

TEST_F(UserConfigFileTest, RegularFileAtTheDirectoryPathIsLeftAlone) {
  fs::create_directories(temp_.file("Application Support"));
  writeFile(directory_, "not a folder");
  fs::permissions(directory_, fs::perms(0644));
  EXPECT_THROW(file_.write("x"), fs::filesystem_error);
  EXPECT_EQ(modeOf(directory_), 0644u);
}

TEST_F(UserConfigFileTest, DirectoryInPlaceOfTheFileCannotBeRemoved) {
  fs::create_directories(path_);
  const std::string expected = "remove " + path_ + ": " + strerror(EISDIR);
  try {
    file_.write("x");
    FAIL() << "write succeeded";
  } catch (const UserConfigError& error) {
    EXPECT_EQ(error.message(), expected);
  }
  try {
    file_.remove();
    FAIL() << "remove succeeded";
  } catch (const UserConfigError& error) {
    EXPECT_EQ(error.message(), expected);
  }
}

TEST_F(UserConfigFileTest, PathIsDirectoryPlusFileName) {
  EXPECT_EQ(UserConfigFile{"/home/u/.local/share/Orvek"}.path(),
            "/home/u/.local/share/Orvek/config.json");
  EXPECT_EQ(UserConfigFile{"/data/"}.path(), "/data/config.json");
}

}  // namespace
}  // namespace tarq
