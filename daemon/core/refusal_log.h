// The daemon's log of refused callers, bounded: at most one line per caller
// per minute, whatever the caller does. A refused caller still gets its
// reply at once; only the log is held back.
//
// The first refusal of a caller is written at once ("refused uid 1001:
// REASON"). Later ones within the minute are counted; when the minute is
// over, one line says how many there were ("refused uid 1001 312 more times
// in the last minute: REASON", with the latest reason), and the next minute
// counts again. A minute without refusals ends the caller's entry, so that
// its next refusal is written at once again.
//
// flush() writes the lines of the minutes that have ended; the daemon calls
// it from its serving loop, waking at nextDeadline(), and finish() when it
// stops, so that no count is lost. At most `maxCallers` callers are followed;
// beyond them the one whose minute ends first is written early, so memory
// stays bounded (only a host with that many refused users would see more
// than a line a minute for one of them).
//
// Thread safety: every method may be called from several threads at once.
#ifndef TARQ_DAEMON_CORE_REFUSAL_LOG_H_
#define TARQ_DAEMON_CORE_REFUSAL_LOG_H_

#include <chrono>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>

#include "steady_now.h"

namespace tarq {

class RefusalLog {
 public:
  using Line = std::function<void(const std::string& line)>;

  explicit RefusalLog(Line log, SteadyNow now = realSteadyNow(),
                      std::chrono::steady_clock::duration window = std::chrono::minutes(1),
                      size_t maxCallers = 4096);

  // One refusal of `caller` ("uid 1001"), for `reason`.
  void refused(const std::string& caller, const std::string& reason);

  // Writes the count of every caller whose minute has ended.
  void flush();

  // When the next minute ends; none while no refusal is counted.
  std::optional<std::chrono::steady_clock::time_point> nextDeadline();

  // Writes every count not yet written, the minute over or not: the daemon
  // is stopping.
  void finish();

 private:
  struct Window {
    std::chrono::steady_clock::time_point ends;
    size_t count = 0;  // refusals not yet written
    std::string reason;
  };

  // Writes `window`'s count, if any; says whether the caller stays followed.
  bool closeLocked(const std::string& caller, Window& window);
  void makeRoomLocked();
  // Writes `window`'s count, if any, before its minute is over.
  void writeEarlyLocked(const std::string& caller, const Window& window);

  const Line log_;
  const SteadyNow now_;
  const std::chrono::steady_clock::duration window_;
  const size_t maxCallers_;
  std::mutex mutex_;
  std::map<std::string, Window> windows_;
};

}  // namespace tarq

#endif  // TARQ_DAEMON_CORE_REFUSAL_LOG_H_
