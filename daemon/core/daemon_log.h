// The daemon's own lines (starts and stops, engine exits, refused callers):
// "PROGRAM: LINE" on standard error, which a service manager keeps (the
// journal under systemd); or, given a file, time-stamped lines in a
// RotatingLog, so that a daemon whose standard error goes to a plain file
// (launchd's StandardErrorPath) still keeps its log to a bounded size.
// Standard error then stays for what the C runtime itself prints.
//
// Thread safety: write() may be called from several threads at once.
#ifndef TARQ_DAEMON_CORE_DAEMON_LOG_H_
#define TARQ_DAEMON_CORE_DAEMON_LOG_H_

#include <cstddef>
#include <memory>
#include <string>

#include "rotating_log.h"

namespace tarq {

class DaemonLog {
 public:
  // Lines go to standard error.
  explicit DaemonLog(std::string program);
  // Lines go to `path`, kept to about `maxBytes` (RotatingLog). Throws
  // std::runtime_error when the file cannot be opened.
  DaemonLog(std::string program, const std::string& path, size_t maxBytes);

  void write(const std::string& line) const;

 private:
  const std::string program_;
  std::unique_ptr<RotatingLog> file_;
};

// "2024-05-31T14:03:07+0200", the local time, for log lines.
std::string localTimeStamp();

}  // namespace tarq

#endif  // TARQ_DAEMON_CORE_DAEMON_LOG_H_
