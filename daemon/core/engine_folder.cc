#include "engine_folder.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <stdexcept>

#include "caller_rights.h"

namespace tarq {
namespace {

std::string systemError(const std::string& what, int error) {
  return what + ": " + strerror(error);
}

// Gives everything inside `path` to `uid`. The walk does not follow a
// symbolic link into another folder, and lchown re-owns a link itself, never
// what it points to: a link the engine made cannot turn this into a chown of
// a file elsewhere. It runs while no engine does.
void giveContents(const std::string& path, uid_t uid, gid_t gid) {
  std::error_code error;
  for (std::filesystem::recursive_directory_iterator entry(path, error), end;
       !error && entry != end; entry.increment(error)) {
    (void)!lchown(entry->path().c_str(), uid, gid);
  }
}

}  // namespace

std::string engineFolderIn(const std::string& stateFolder) {
  return stateFolder + "/engine";
}

void prepareEngineFolder(const std::string& path, const std::optional<EngineIdentity>& identity) {
  // By path: the folder that holds it is the daemon's alone, so nobody else
  // can put something else in its place between the calls. (Opening it
  // would need the right to read another user's folder.)
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    throw std::runtime_error(systemError("mkdir " + path, errno));
  }
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) {
    throw std::runtime_error(systemError("stat " + path, errno));
  }
  if (!S_ISDIR(info.st_mode)) {
    throw std::runtime_error(path + " is not a folder");
  }
  uid_t uid = identity ? identity->uid : geteuid();
  gid_t gid = identity ? identity->gid : getegid();
  bool changed = info.st_uid != uid || info.st_gid != gid;
  if (changed && lchown(path.c_str(), uid, gid) != 0) {
    throw std::runtime_error(systemError("cannot give " + path + " to the engine", errno));
  }
  if ((info.st_mode & 07777) != 0700 && chmod(path.c_str(), 0700) != 0) {
    throw std::runtime_error(systemError("chmod " + path, errno));
  }
  if (changed) {
    giveContents(path, uid, gid);
  }
}

void requireEngineCanOpen(const std::string& path, const EngineIdentity& identity) {
  int error = 0;
  {
    CallerRights engine(identity.uid, identity.gid, {identity.gid});
    int file = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (file < 0) {
      error = errno;
    } else {
      close(file);
    }
  }
  if (error != 0) {
    throw std::runtime_error("the engine's user " + identity.user + " cannot open " + path + " (" +
                             strerror(error) +
                             "): every folder above the state folder must let it pass");
  }
}

}  // namespace tarq
