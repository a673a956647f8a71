#include "support/clock.h"

#include <algorithm>
#include <thread>
#include <vector>

namespace tarq {

namespace {

class SystemClock final : public Clock {
 public:
  SteadyTime now() const override { return std::chrono::steady_clock::now(); }

  int64_t wallMillis() const override {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
  }

  void sleepFor(Duration duration) override { std::this_thread::sleep_for(duration); }

  void waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                 SteadyTime deadline) override {
    cv.wait_until(lock, deadline);
  }
};

}  // namespace

std::shared_ptr<Clock> Clock::system() {
  // Never destroyed: detached queue threads may still read it during exit.
  static auto* const clock = new std::shared_ptr<Clock>(std::make_shared<SystemClock>());
  return *clock;
}

// Lock order: a waiter's own mutex may be held while taking `mutex` below,
// never the reverse. `mutex` is innermost: nothing else is locked while it is
// held. advance() therefore snapshots the waiters, releases `mutex`, and only
// then locks each waiter's mutex to notify it; `busy` keeps a waiter from
// returning (and its caller from destroying the mutex and condition variable)
// while advance() still reaches for them.
struct VirtualClock::State {
  struct Waiter {
    std::mutex* mutex;
    std::condition_variable* cv;
    int busy = 0;
  };

  mutable std::mutex mutex;
  std::condition_variable idle;  // signalled when some waiter's `busy` drops to 0
  SteadyTime start;
  SteadyTime steady;
  int64_t wallAtStart;
  std::vector<std::shared_ptr<Waiter>> waiters;
};

VirtualClock::VirtualClock(int64_t wallMillisAtStart) : state_(std::make_shared<State>()) {
  // Far from the epoch, so that code subtracting intervals stays positive.
  state_->start = SteadyTime(std::chrono::hours(24 * 365));
  state_->steady = state_->start;
  state_->wallAtStart = wallMillisAtStart;
}

VirtualClock::~VirtualClock() = default;

SteadyTime VirtualClock::now() const {
  std::lock_guard<std::mutex> guard(state_->mutex);
  return state_->steady;
}

int64_t VirtualClock::wallMillis() const {
  std::lock_guard<std::mutex> guard(state_->mutex);
  return state_->wallAtStart +
         std::chrono::duration_cast<std::chrono::milliseconds>(state_->steady - state_->start)
             .count();
}

void VirtualClock::sleepFor(Duration duration) {
  advance(duration);
}

void VirtualClock::waitUntil(std::unique_lock<std::mutex>& lock, std::condition_variable& cv,
                             SteadyTime deadline) {
  auto waiter = std::make_shared<State::Waiter>(State::Waiter{lock.mutex(), &cv});
  {
    std::lock_guard<std::mutex> guard(state_->mutex);
    if (state_->steady >= deadline) {
      return;
    }
    state_->waiters.push_back(waiter);
  }
  // `lock` has been held since the time was read, and advance() takes it
  // before notifying, so no advance can slip in before this wait begins.
  cv.wait(lock);

  lock.unlock();
  {
    std::unique_lock<std::mutex> guard(state_->mutex);
    state_->idle.wait(guard, [&] { return waiter->busy == 0; });
    auto& waiters = state_->waiters;
    waiters.erase(std::remove(waiters.begin(), waiters.end(), waiter), waiters.end());
  }
  lock.lock();
}

void VirtualClock::advance(Duration duration) {
  std::vector<std::shared_ptr<State::Waiter>> toWake;
  {
    std::lock_guard<std::mutex> guard(state_->mutex);
    // Monotonic: a negative step is ignored.
    state_->steady += std::max(duration, Duration::zero());
    toWake = state_->waiters;
    for (auto& waiter : toWake) {
      ++waiter->busy;
    }
  }
  for (auto& waiter : toWake) {
    std::lock_guard<std::mutex> waiterGuard(*waiter->mutex);
    waiter->cv->notify_all();
  }
  {
    std::lock_guard<std::mutex> guard(state_->mutex);
    for (auto& waiter : toWake) {
      --waiter->busy;
    }
  }
  state_->idle.notify_all();
}

}  // namespace tarq
