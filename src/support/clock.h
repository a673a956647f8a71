// Time for the whole library, behind one seam.
//
// Deadlines and timers use the steady clock; only the "since" time stamp of a
// connection reads the wall clock. Tests inject a VirtualClock so that
// 10-second deadlines and one-second ticks take no real time.
//
// Thread safety: every method may be called from any thread.
#ifndef TARQ_SUPPORT_CLOCK_H_
#define TARQ_SUPPORT_CLOCK_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace tarq {

using SteadyTime = std::chrono::steady_clock::time_point;
using Duration = std::chrono::steady_clock::duration;

class Clock {
 public:
  virtual ~Clock() = default;

  // Monotonic time, for deadlines and timers.
  virtual SteadyTime now() const = 0;

  // Milliseconds since 1970-01-01 UTC, truncated toward zero.
  virtual int64_t wallMillis() const = 0;

  // Blocks the calling thread for `duration` of this clock's time.
  virtual void sleepFor(Duration duration) = 0;

  // Blocks on `cv` (whose mutex `lock` holds) until now() reaches `deadline`
  // or `cv` is notified. May return early; callers re-check their condition.
  virtual void waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                         SteadyTime deadline) = 0;

  // The process's real clock; shared, never destroyed before its users.
  static std::shared_ptr<Clock> system();
};

// A clock that only moves when told to. sleepFor() advances it, so code that
// polls with pauses runs its whole deadline at once; advance() wakes every
// waitUntil() so that timers due in the skipped span fire.
class VirtualClock final : public Clock {
 public:
  explicit VirtualClock(int64_t wallMillisAtStart = 1'700'000'000'000);
  ~VirtualClock() override;

  SteadyTime now() const override;
  int64_t wallMillis() const override;
  void sleepFor(Duration duration) override;
  void waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                 SteadyTime deadline) override;

  // Moves both steady and wall time forward and wakes every waiter.
  void advance(Duration duration);

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace tarq

#endif  // TARQ_SUPPORT_CLOCK_H_
