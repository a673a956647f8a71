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

struct stat statOf(const std::string& path) {
  struct stat info {};
  EXPECT_EQ(::lstat(path.c_str(), &info), 0) << path;
  return info;
}

mode_t modeOf(const std::string& path) {
  return statOf(path).st_mode & 07777;
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
    EXPECT_STREQ(error.what(), error.message().c_str());
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
  mode_t savedUmask_ = ::umask(022);
};

TEST_F(UserConfigFileTest, WritesAPrivateFileInPrivateDirectoriesUnderAnyUmaskAndRemovesIt) {
  EXPECT_EQ(UserConfigFile{"/data/"}.path(), "/data/config.json");
  EXPECT_NO_THROW(file_.remove());  // nothing there yet
  for (mode_t mask : {022, 0, 077}) {
    ::umask(mask);
    for (const std::string text : {R"({"log":{"level":"info"}})", ""}) {
      EXPECT_EQ(file_.write(text), path_);
      EXPECT_EQ(contentOf(path_), text);
      EXPECT_EQ(modeOf(path_), 0600u) << mask;
      EXPECT_EQ(modeOf(directory_), 0700u) << mask;
      EXPECT_EQ(modeOf(parent_), 0700u) << mask;
    }
    fs::permissions(directory_, fs::perms(0755));  // an open directory becomes private
  }
  file_.remove();
  EXPECT_FALSE(fs::exists(path_));
  EXPECT_NO_THROW(file_.remove());  // the directory without the file
}

TEST_F(UserConfigFileTest, StaleFileOrLinkIsReplacedNotWrittenThrough) {
  fs::create_directories(directory_);
  std::ofstream(path_) << "an old and much longer configuration";
  fs::permissions(path_, fs::perms(0644));
  const ino_t before = statOf(path_).st_ino;
  std::ifstream holdOld(path_);  // so that the old inode cannot be reused
  file_.write("new");
  EXPECT_NE(statOf(path_).st_ino, before);
  EXPECT_EQ(contentOf(path_), "new");
  EXPECT_EQ(modeOf(path_), 0600u);

  const std::string target = temp_.file("target.json");
  std::ofstream(target) << "precious";
  fs::remove(path_);
  fs::create_symlink(target, path_);
  file_.write("fresh");
  EXPECT_FALSE(fs::is_symlink(path_));
  EXPECT_EQ(contentOf(path_), "fresh");
  EXPECT_EQ(contentOf(target), "precious");
}

TEST_F(UserConfigFileTest, ShortWritesAreContinuedAndAFailedOneLeavesNoFile) {
  int calls = 0;
  UserConfigFile file{directory_, [&](int descriptor, const void* bytes, int64_t count) {
                        ++calls;
                        return posixWrite(descriptor, bytes, std::min<int64_t>(count, 7));
                      }};
  const std::string text = R"({"outbounds":[{"type":"direct","tag":"direct-a"}]})";
  file.write(text);
  EXPECT_EQ(contentOf(path_), text);
  EXPECT_EQ(calls, static_cast<int>((text.size() + 6) / 7));

  calls = 0;
  file.sink = [&](int descriptor, const void* bytes, int64_t count) -> int64_t {
    if (++calls == 2) {
      errno = ENOSPC;
      return -1;
    }
    return posixWrite(descriptor, bytes, std::min<int64_t>(count, 4));
  };
  EXPECT_EQ(failureOf([&] { file.write("more than four bytes"); }),
            "write " + path_ + ": " + strerror(ENOSPC));
  EXPECT_FALSE(fs::exists(fs::symlink_status(path_)));
  file.sink = [](int, const void*, int64_t) -> int64_t { return 0; };
  EXPECT_NE(failureOf([&] { file.write("x"); }), "no failure");
  EXPECT_FALSE(fs::exists(fs::symlink_status(path_)));
}

TEST_F(UserConfigFileTest, WhatStandsInTheWayIsLeftAlone) {
  std::ofstream(parent_) << "not a folder";  // a file in the directory's path
  EXPECT_THROW(file_.write("x"), fs::filesystem_error);

  fs::remove(parent_);
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
