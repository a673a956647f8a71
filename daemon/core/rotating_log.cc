#include "rotating_log.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>

namespace tarq {
namespace {

void makeFolders(const std::string& path) {
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    std::string folder = path.substr(0, slash);
    if (mkdir(folder.c_str(), 0755) != 0 && errno != EEXIST) {
      throw std::runtime_error("mkdir " + folder + ": " + strerror(errno));
    }
  }
}

}  // namespace

RotatingLog::RotatingLog(std::string path, size_t maxBytes)
    : path_(std::move(path)), maxBytes_(maxBytes) {
  makeFolders(path_);
  std::lock_guard lock(mutex_);
  openLocked();
  if (file_ < 0) {
    throw std::runtime_error("cannot open the engine log " + path_ + ": " + strerror(errno));
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
  file_ =
      open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0644);
  struct stat info {};
  size_ = file_ >= 0 && fstat(file_, &info) == 0 ? info.st_size : 0;
}

void RotatingLog::rotateLocked() {
  std::string previous = path_ + ".1";
  rename(path_.c_str(), previous.c_str());
  close(file_);
  openLocked();
}

}  // namespace tarq
