// The engine's log file: output appended, the file kept to a bounded size by
// moving it to PATH.1 (replacing the previous one) once it reaches the limit,
// so that at most two files of about the limit exist.
//
// The log is private: sing-box logs the destination of every connection,
// so with a TUN inbound it tells where everyone on the machine connects.
// Both files are 0600, or 0640 with a reading group.
//
// Thread safety: append() may be called from several threads at once.
#ifndef TARQ_DAEMON_CORE_ROTATING_LOG_H_
#define TARQ_DAEMON_CORE_ROTATING_LOG_H_

#include <sys/types.h>

#include <cstddef>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

namespace tarq {

class RotatingLog {
 public:
  // Creates the file's folder (0750; with `group`, owned by that group) when
  // missing, and the file. The file and PATH.1 are made 0600, or 0640 owned
  // by `group`, also when they exist already (a log of an older version may
  // be world-readable). Throws std::runtime_error when the file cannot be
  // opened.
  RotatingLog(std::string path, size_t maxBytes, std::optional<gid_t> group = std::nullopt);
  ~RotatingLog();
  RotatingLog(const RotatingLog&) = delete;
  RotatingLog& operator=(const RotatingLog&) = delete;

  // Appends `bytes`, then rotates when the file has reached the limit. A
  // failed write is dropped: the engine must never wait for its log.
  void append(std::string_view bytes);

  const std::string& path() const { return path_; }

 private:
  void openLocked();
  void rotateLocked();

  void makePrivate(int file) const;

  const std::string path_;
  const size_t maxBytes_;
  const std::optional<gid_t> group_;
  std::mutex mutex_;
  int file_ = -1;
  off_t size_ = 0;
};

}  // namespace tarq

#endif  // TARQ_DAEMON_CORE_ROTATING_LOG_H_
