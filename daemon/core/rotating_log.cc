#include "rotating_log.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

namespace tarq {
namespace {

// Makes the folders above the file; the one that holds it, when made here,
// is 0750 and, with `group`, that group's.
void makeFolders(const std::string& path, std::optional<gid_t> group) {
  size_t last = path.rfind('/');
  for (size_t slash = path.find('/', 1); slash != std::string::npos && slash <= last;
       slash = path.find('/', slash + 1)) {
    std::string folder = path.substr(0, slash);
    bool own = slash == last;
    if (mkdir(folder.c_str(), own ? 0750 : 0755) == 0) {
      if (own && group && chown(folder.c_str(), static_cast<uid_t>(-1), *group) != 0) {
        throw std::runtime_error("chown " + folder + ": " + strerror(errno));
      }
    } else if (errno != EEXIST) {
      throw std::runtime_error("mkdir " + folder + ": " + strerror(errno));
    }
  }
}

}  // namespace

RotatingLog::RotatingLog(std::string path, size_t maxBytes, std::optional<gid_t> group)
    : path_(std::move(path)), maxBytes_(maxBytes), group_(group) {
  makeFolders(path_, group_);
  std::lock_guard lock(mutex_);
  openLocked();
  if (file_ < 0) {
    throw std::runtime_error("cannot open the engine log " + path_ + ": " + strerror(errno));
  }
  int previous = open((path_ + ".1").c_str(), O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
  if (previous >= 0) {
    makePrivate(previous);
    close(previous);
  }
}

RotatingLog::~RotatingLog() {
  if (file_ >= 0) {
    close(file_);
  }
}

void RotatingLog::append(std::string_view bytes) {
  std::lock_guard lock(mutex_);
  if (file_ < 0) {
    openLocked();  // rotation could not make a new file last time
  }
  while (file_ >= 0 && !bytes.empty()) {
    ssize_t count = write(file_, bytes.data(), bytes.size());
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      return;
    }
    size_ += count;
    bytes.remove_prefix(static_cast<size_t>(count));
  }
  if (static_cast<size_t>(size_) >= maxBytes_) {
    rotateLocked();
  }
}

void RotatingLog::openLocked() {
  file_ = open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC,
               group_ ? 0640 : 0600);
  if (file_ >= 0) {
    makePrivate(file_);
  }
  struct stat info {};
  size_ = file_ >= 0 && fstat(file_, &info) == 0 ? info.st_size : 0;
}

void RotatingLog::makePrivate(int file) const {
  // Best effort: a log that cannot be re-owned (a daemon that is not root)
  // still loses its bits for others.
  if (group_) {
    (void)!fchown(file, static_cast<uid_t>(-1), *group_);
  }
  (void)!fchmod(file, group_ ? 0640 : 0600);
}

void RotatingLog::rotateLocked() {
  std::string previous = path_ + ".1";
  rename(path_.c_str(), previous.c_str());
  close(file_);
  openLocked();
}

}  // namespace tarq
