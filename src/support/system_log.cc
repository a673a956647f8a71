#include "support/system_log.h"

#include <iostream>

// The macOS bridge logs through NSLog and defines SystemLog::system() itself
// (macos/Classes/mac_system_log.mm); elsewhere the log is syslog.
#ifndef __APPLE__
#include <syslog.h>
#endif

namespace tarq {

#ifndef __APPLE__
namespace {

// Writes through syslog(3) with the process's own identity: a library must not
// call openlog() and so rename the host application's log lines.
class Syslog final : public SystemLog {
 public:
  void write(std::string_view line) override {
    syslog(LOG_USER | LOG_NOTICE, "%.*s", static_cast<int>(line.size()), line.data());
  }
};

}  // namespace

std::shared_ptr<SystemLog> SystemLog::system() {
  // Never destroyed: threads may log while the process exits.
  static auto* const log = new std::shared_ptr<SystemLog>(std::make_shared<Syslog>());
  return *log;
}
#endif  // __APPLE__

TeeToStderrLog::TeeToStderrLog(std::shared_ptr<SystemLog> next) : next_(std::move(next)) {}

void TeeToStderrLog::write(std::string_view line) {
  {
    // One line at a time, so that lines from several threads never interleave.
    std::lock_guard<std::mutex> guard(mutex_);
    std::cerr << line << '\n' << std::flush;
  }
  if (next_) {
    next_->write(line);
  }
}

void MemoryLog::write(std::string_view line) {
  std::lock_guard<std::mutex> guard(mutex_);
  lines_.emplace_back(line);
}

std::vector<std::string> MemoryLog::lines() const {
  std::lock_guard<std::mutex> guard(mutex_);
  return lines_;
}

}  // namespace tarq
