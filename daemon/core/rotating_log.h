// The engine's log file: output appended, the file kept to a bounded size by
// moving it to PATH.1 (replacing the previous one) once it reaches the limit,
// so that at most two files of about the limit exist.
//
// Thread safety: append() may be called from several threads at once.
#ifndef TARQ_DAEMON_CORE_ROTATING_LOG_H_
#define TARQ_DAEMON_CORE_ROTATING_LOG_H_

#include <sys/types.h>

#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>

namespace tarq {

class RotatingLog {
 public:
  // Creates the file's folder (0755) and the file (0644: the plug-in sends
  // its users to read it) when missing; an existing file keeps its mode.
  // Throws std::runtime_error when the file cannot be opened.
  RotatingLog(std::string path, size_t maxBytes);
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

  const std::string path_;
  const size_t maxBytes_;
  std::mutex mutex_;
  int file_ = -1;
  off_t size_ = 0;
};

}  // namespace tarq

#endif  // TARQ_DAEMON_CORE_ROTATING_LOG_H_
