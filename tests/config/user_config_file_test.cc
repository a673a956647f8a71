#include "config/user_config_file.h"

#include <errno.h>
#include <gtest/gtest.h>
#include <string.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "tests/support/temp_dir.h"

namespace tarq {
namespace {

namespace fs = std::filesystem;

unsigned modeOf(const std::string& path) {
  return static_cast<unsigned>(fs::symlink_status(path).permissions());
}

std::string contentOf(const std::string& path) {
  std::ostringstream out;
  out << std::ifstream(path, std::ios::binary).rdbuf();
  return out.str();
}

// The UserConfigError that `call` throws, as its message.
template <typename Call>
std::string failureOf(Call call) {
  try {
    call();
  } catch (const UserConfigError& error) {
    return error.errorDescription();
  }
  return "no failure";
}

class UserConfigFileTest : public ::testing::Test {
 protected:
  void TearDown() override { ::umask(savedUmask_); }

  testing::TempDir temp_;
  std::string parent_ = temp_.file("Application Support");
  std::string directory_ = parent_ + "/Orvek";
  std::string path_ = directory_ + "/config.json";
  UserConfigFile file_{directory_};

 private:
  mode_t savedUmask_ = ::umask(0);  // no mode may come from the umask
};

TEST_F(UserConfigFileTest, WritesAPrivateFileInPrivateDirectoriesAndRemovesIt) {
  EXPECT_EQ(UserConfigFile{"/data/"}.path(), "/data/config.json");
  EXPECT_NO_THROW(file_.remove());  // nothing there yet
  for (const std::string text : {R"({"log":{"level":"info"}})", ""}) {
    EXPECT_EQ(file_.write(text), path_);
    EXPECT_EQ(contentOf(path_), text);
    EXPECT_EQ(modeOf(path_), 0600u);
    EXPECT_EQ(modeOf(directory_), 0700u);
    EXPECT_EQ(modeOf(parent_), 0700u);
    fs::permissions(directory_, fs::perms(0755));  // an open directory becomes private
  }
  file_.remove();
  EXPECT_FALSE(fs::exists(path_));
  EXPECT_NO_THROW(file_.remove());  // the directory without the file
}

// A stale file at the path shares its inode with a hard link here: writing it
// in place would change the other name too.
TEST_F(UserConfigFileTest, FileOrLinkAtThePathIsReplacedNotWrittenThrough) {
  const std::string other = temp_.file("other.json");
  fs::create_directories(directory_);
  for (bool symbolic : {false, true}) {
    std::ofstream(other) << "an old and much longer configuration";
    fs::permissions(other, fs::perms(0644));
    fs::remove(path_);
    symbolic ? fs::create_symlink(other, path_) : fs::create_hard_link(other, path_);
    file_.write("new");
    EXPECT_FALSE(fs::is_symlink(path_));
    EXPECT_EQ(contentOf(path_), "new");
    EXPECT_EQ(modeOf(path_), 0600u);
    EXPECT_EQ(contentOf(other), "an old and much longer configuration") << symbolic;
    EXPECT_EQ(modeOf(other), 0644u);
  }
}

TEST_F(UserConfigFileTest, ShortWritesAreContinuedAndAFailedOneLeavesNoFile) {
  int calls = 0, failingCall = 0;
  int64_t failure = 0;
  UserConfigFile file{directory_, [&](int descriptor, const void* bytes, int64_t count) {
                        if (++calls == failingCall) {
                          errno = ENOSPC;
                          return failure;
                        }
                        return posixWrite(descriptor, bytes, std::min<int64_t>(count, 7));
                      }};
  const std::string text = R"({"outbounds":[{"type":"direct","tag":"direct-a"}]})";
  file.write(text);
  EXPECT_EQ(contentOf(path_), text);
  EXPECT_EQ(calls, static_cast<int>((text.size() + 6) / 7));
  for (int64_t result : {-1, 0}) {  // nothing written must not be retried for ever
    calls = 0, failingCall = 2, failure = result;
    EXPECT_EQ(failureOf([&] { file.write("more than seven bytes"); }),
              "write " + path_ + ": " + strerror(ENOSPC));
    EXPECT_FALSE(fs::exists(fs::symlink_status(path_)));
  }
}

TEST_F(UserConfigFileTest, WhatStandsInTheWayIsLeftAlone) {
  fs::create_directories(parent_);
  std::ofstream(directory_) << "not a folder";  // a file at the directory's path
  fs::permissions(directory_, fs::perms(0644));
  EXPECT_THROW(file_.write("x"), fs::filesystem_error);
  EXPECT_EQ(modeOf(directory_), 0644u);

  fs::remove(directory_);
  fs::create_directories(path_);  // a directory at the file's path
  const std::string expected = "remove " + path_ + ": " + strerror(EISDIR);
  EXPECT_EQ(failureOf([&] { file_.write("x"); }), expected);
  EXPECT_EQ(failureOf([&] { file_.remove(); }), expected);
}

}  // namespace
}  // namespace tarq
