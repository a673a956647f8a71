#include "refusal_log.h"

#include <algorithm>

namespace tarq {

RefusalLog::RefusalLog(Line log, SteadyNow now, std::chrono::steady_clock::duration window,
                       size_t maxCallers)
    : log_(std::move(log)),
      now_(std::move(now)),
      window_(window),
      maxCallers_(std::max<size_t>(maxCallers, 1)) {}

void RefusalLog::refused(const std::string& caller, const std::string& reason) {
  std::lock_guard lock(mutex_);
  auto followed = windows_.find(caller);
  if (followed != windows_.end()) {
    ++followed->second.count;
    followed->second.reason = reason;
    return;
  }
  if (windows_.size() >= maxCallers_) {
    makeRoomLocked();
  }
  windows_.emplace(caller, Window{now_() + window_, 0, reason});
  log_("refused " + caller + ": " + reason);
}

void RefusalLog::flush() {
  std::lock_guard lock(mutex_);
  auto now = now_();
  for (auto entry = windows_.begin(); entry != windows_.end();) {
    if (now < entry->second.ends || closeLocked(entry->first, entry->second)) {
      ++entry;
    } else {
      entry = windows_.erase(entry);
    }
  }
}

std::optional<std::chrono::steady_clock::time_point> RefusalLog::nextDeadline() {
  std::lock_guard lock(mutex_);
  if (windows_.empty()) {
    return std::nullopt;
  }
  return std::min_element(windows_.begin(), windows_.end(),
                          [](const auto& left, const auto& right) {
                            return left.second.ends < right.second.ends;
                          })
      ->second.ends;
}

bool RefusalLog::closeLocked(const std::string& caller, Window& window) {
  if (window.count == 0) {
    return false;
  }
  log_("refused " + caller + " " + std::to_string(window.count) +
       (window.count == 1 ? " more time" : " more times") +
       " in the last minute: " + window.reason);
  // The line just written opens the next minute, which counts again.
  window.count = 0;
  window.ends = now_() + window_;
  return true;
}

void RefusalLog::finish() {
  std::lock_guard lock(mutex_);
  for (const auto& [caller, window] : windows_) {
    writeEarlyLocked(caller, window);
  }
  windows_.clear();
}

void RefusalLog::makeRoomLocked() {
  auto first = std::min_element(
      windows_.begin(), windows_.end(),
      [](const auto& left, const auto& right) { return left.second.ends < right.second.ends; });
  writeEarlyLocked(first->first, first->second);
  windows_.erase(first);
}

void RefusalLog::writeEarlyLocked(const std::string& caller, const Window& window) {
  if (window.count > 0) {
    log_("refused " + caller + " " + std::to_string(window.count) +
         (window.count == 1 ? " more time" : " more times") +
         " since its last line: " + window.reason);
  }
}

}  // namespace tarq
