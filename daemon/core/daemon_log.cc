#include "daemon_log.h"

#include <time.h>

#include "helper_daemon.h"

namespace tarq {

DaemonLog::DaemonLog(std::string program) : program_(std::move(program)) {}

DaemonLog::DaemonLog(std::string program, const std::string& path, size_t maxBytes)
    : program_(std::move(program)), file_(std::make_unique<RotatingLog>(path, maxBytes)) {}

void DaemonLog::write(const std::string& line) const {
  if (!file_) {
    logDaemonLine(program_, line);
    return;
  }
  file_->append(localTimeStamp() + " " + program_ + ": " + line + "\n");
}

std::string localTimeStamp() {
  time_t now = time(nullptr);
  tm local{};
  char text[64] = {};
  if (localtime_r(&now, &local) == nullptr ||
      strftime(text, sizeof text, "%Y-%m-%dT%H:%M:%S%z", &local) == 0) {
    return "?";
  }
  return text;
}

}  // namespace tarq
