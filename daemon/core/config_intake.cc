#include "config_intake.h"

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <optional>

#include "caller_rights.h"

namespace tarq {
namespace {

std::string systemText(int error) {
  return strerror(error);
}

// Closes a descriptor on every way out.
class Descriptor {
 public:
  explicit Descriptor(int descriptor) : descriptor_(descriptor) {}
  ~Descriptor() {
    if (descriptor_ >= 0) {
      close(descriptor_);
    }
  }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return descriptor_; }

 private:
  int descriptor_;
};

void requireRegularOwnedFile(const struct stat& info, uid_t uid) {
  if (S_ISLNK(info.st_mode)) {
    throw RequestRefused("config_path is a symbolic link");
  }
  if (!S_ISREG(info.st_mode)) {
    throw RequestRefused("config_path is not a regular file");
  }
  if (info.st_uid != uid) {
    throw RequestRefused("config_path is not owned by the caller (uid " + std::to_string(uid) +
                         ")");
  }
  if (static_cast<size_t>(info.st_size) > kMaxConfigBytes) {
    throw RequestRefused("config_path is larger than " + std::to_string(kMaxConfigBytes) +
                         " bytes");
  }
}

}  // namespace

namespace {

// lstat first so that nothing but a regular file is ever opened (opening a
// device or a FIFO can have effects of its own); then open without following
// a link. Both with the caller's rights, so that the path resolves only
// through folders the caller may enter.
int openAsCaller(const std::string& path, uid_t uid, gid_t gid, struct stat& before) {
  std::optional<CallerRights> rights;
  try {
    rights.emplace(uid, gid);
  } catch (const std::runtime_error& error) {
    throw RequestRefused(error.what());
  }
  if (lstat(path.c_str(), &before) != 0) {
    throw RequestRefused("config_path: " + systemText(errno));
  }
  requireRegularOwnedFile(before, uid);
  int file = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
  if (file < 0) {
    int error = errno;
    throw RequestRefused(error == ELOOP ? "config_path is a symbolic link"
                                        : "config_path: " + systemText(error));
  }
  return file;
}

}  // namespace

std::string readCallerConfig(const std::string& path, uid_t uid, gid_t gid) {
  if (path.empty() || path.front() != '/') {
    throw RequestRefused("config_path must be an absolute path");
  }
  // The system calls would stop at a NUL and open another path.
  if (path.find('\0') != std::string::npos) {
    throw RequestRefused("config_path contains a NUL character");
  }
  struct stat before {};
  Descriptor file(openAsCaller(path, uid, gid, before));
  struct stat opened {};
  if (fstat(file.get(), &opened) != 0) {
    throw RequestRefused("config_path: " + systemText(errno));
  }
  if (opened.st_dev != before.st_dev || opened.st_ino != before.st_ino) {
    throw RequestRefused("config_path changed while it was being read");
  }
  requireRegularOwnedFile(opened, uid);

  std::string content;
  char buffer[16384];
  for (;;) {
    ssize_t count = read(file.get(), buffer, sizeof buffer);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count < 0) {
      throw RequestRefused("config_path: " + systemText(errno));
    }
    if (count == 0) {
      break;
    }
    content.append(buffer, static_cast<size_t>(count));
    if (content.size() > kMaxConfigBytes) {
      throw RequestRefused("config_path is larger than " + std::to_string(kMaxConfigBytes) +
                           " bytes");
    }
  }
  return content;
}

void preparePrivateFolder(const std::string& path, mode_t mode) {
  if (path.empty()) {
    throw std::runtime_error("empty state folder path");
  }
  // Parents get the usual 0755; only the last folder is private.
  for (size_t slash = path.find('/', 1); slash != std::string::npos;
       slash = path.find('/', slash + 1)) {
    std::string parent = path.substr(0, slash);
    if (mkdir(parent.c_str(), 0755) != 0 && errno != EEXIST) {
      throw std::runtime_error("mkdir " + parent + ": " + systemText(errno));
    }
  }
  if (mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
    throw std::runtime_error("mkdir " + path + ": " + systemText(errno));
  }
  struct stat info {};
  if (lstat(path.c_str(), &info) != 0) {
    throw std::runtime_error("stat " + path + ": " + systemText(errno));
  }
  if (!S_ISDIR(info.st_mode)) {
    throw std::runtime_error(path + " is not a folder");
  }
  if (info.st_uid != geteuid()) {
    throw std::runtime_error(path + " belongs to another user");
  }
  if (chmod(path.c_str(), mode) != 0) {
    throw std::runtime_error("chmod " + path + ": " + systemText(errno));
  }
}

std::string writePrivateFile(const std::string& folder, const std::string& name,
                             const std::string& content, std::optional<FileOwner> owner) {
  std::string path = folder + "/" + name;
  std::string temporary = path + ".new";
  unlink(temporary.c_str());
  Descriptor file(
      open(temporary.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
  if (file.get() < 0) {
    throw std::runtime_error("open " + temporary + ": " + systemText(errno));
  }
  size_t written = 0;
  while (written < content.size()) {
    ssize_t count = write(file.get(), content.data() + written, content.size() - written);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      int error = errno;
      unlink(temporary.c_str());
      throw std::runtime_error("write " + temporary + ": " + systemText(error));
    }
    written += static_cast<size_t>(count);
  }
  if (owner && (fchown(file.get(), owner->uid, owner->gid) != 0 || fchmod(file.get(), 0400) != 0)) {
    int error = errno;
    unlink(temporary.c_str());
    throw std::runtime_error("chown " + temporary + ": " + systemText(error));
  }
  if (rename(temporary.c_str(), path.c_str()) != 0) {
    int error = errno;
    unlink(temporary.c_str());
    throw std::runtime_error("rename " + temporary + ": " + systemText(error));
  }
  return path;
}

}  // namespace tarq
