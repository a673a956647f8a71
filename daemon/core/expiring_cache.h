// A small map whose entries expire: what the caller policies remember of a
// caller for a few seconds, so that a caller who connects again and again
// costs one expensive lookup per lifetime, not one per connection.
//
// It holds at most `capacity` entries: when full, the expired ones go, then
// the one that would expire first. So its memory is bounded whatever the
// callers do, and an entry is never older than `lifetime`.
//
// Thread safety: every method may be called from several threads at once.
#ifndef TARQ_DAEMON_CORE_EXPIRING_CACHE_H_
#define TARQ_DAEMON_CORE_EXPIRING_CACHE_H_

#include <algorithm>
#include <cstddef>
#include <map>
#include <mutex>
#include <optional>
#include <utility>

#include "steady_now.h"

namespace tarq {

template <typename Key, typename Value>
class ExpiringCache {
 public:
  ExpiringCache(size_t capacity, std::chrono::steady_clock::duration lifetime,
                SteadyNow now = realSteadyNow())
      : capacity_(std::max<size_t>(capacity, 1)), lifetime_(lifetime), now_(std::move(now)) {}

  // The value kept for `key`, unless none is or it has expired.
  std::optional<Value> find(const Key& key) {
    std::lock_guard lock(mutex_);
    auto found = entries_.find(key);
    if (found == entries_.end()) {
      return std::nullopt;
    }
    if (now_() >= found->second.expires) {
      entries_.erase(found);
      return std::nullopt;
    }
    return found->second.value;
  }

  // Keeps `value` for `key` for the lifetime from now.
  void put(const Key& key, Value value) {
    std::lock_guard lock(mutex_);
    auto now = now_();
    if (entries_.size() >= capacity_ && entries_.count(key) == 0) {
      makeRoom(now);
    }
    entries_.insert_or_assign(key, Entry{std::move(value), now + lifetime_});
  }

  size_t size() {
    std::lock_guard lock(mutex_);
    return entries_.size();
  }

 private:
  struct Entry {
    Value value;
    std::chrono::steady_clock::time_point expires;
  };

  void makeRoom(std::chrono::steady_clock::time_point now) {
    std::erase_if(entries_, [now](const auto& entry) { return now >= entry.second.expires; });
    if (entries_.size() >= capacity_) {
      entries_.erase(std::min_element(entries_.begin(), entries_.end(),
                                      [](const auto& left, const auto& right) {
                                        return left.second.expires < right.second.expires;
                                      }));
    }
  }

  const size_t capacity_;
  const std::chrono::steady_clock::duration lifetime_;
  const SteadyNow now_;
  std::mutex mutex_;
  std::map<Key, Entry> entries_;
};

}  // namespace tarq

#endif  // TARQ_DAEMON_CORE_EXPIRING_CACHE_H_
