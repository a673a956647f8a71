#include "support/repeating_timer.h"

#include <algorithm>
#include <chrono>
#include <mutex>
#include <utility>

namespace tarq {

namespace {

// A zero or negative interval would spin the queue; one millisecond is the
// shortest period the timer keeps.
constexpr Duration kShortestInterval = std::chrono::milliseconds(1);

}  // namespace

// One run of the timer, from start() to stop(). Each firing holds it strongly,
// so the task stays valid even when the timer is destroyed by its own task.
// `cancelled` is the single source of truth: a firing checks it before running
// the task and again, under `mutex`, before scheduling the next one, which
// therefore never touches the queue after cancellation has returned.
struct RepeatingTimer::Schedule {
  WorkQueue* queue;
  Duration interval;
  std::function<void()> task;

  std::mutex mutex;
  bool cancelled = false;
  SteadyTime next;

  void cancel() {
    std::lock_guard<std::mutex> guard(mutex);
    cancelled = true;
  }

  static void post(const std::shared_ptr<Schedule>& schedule) {
    schedule->queue->postAt(schedule->next, [schedule] { fire(schedule); });
  }

  static void fire(const std::shared_ptr<Schedule>& schedule) {
    {
      std::lock_guard<std::mutex> guard(schedule->mutex);
      if (schedule->cancelled) {
        return;
      }
    }
    schedule->task();

    std::lock_guard<std::mutex> guard(schedule->mutex);
    if (schedule->cancelled) {
      return;
    }
    // Absolute times keep the period from drifting; firings missed while the
    // queue was busy are coalesced into this one rather than run in a burst.
    schedule->next += schedule->interval;
    SteadyTime now = schedule->queue->clock().now();
    // A firing due exactly now is not missed: whoever advanced the clock to
    // it is entitled to it.
    if (schedule->next < now) {
      auto missed =
          (now - schedule->next + schedule->interval - Duration(1)) / schedule->interval;
      schedule->next += missed * schedule->interval;
    }
    post(schedule);
  }
};

RepeatingTimer::RepeatingTimer(WorkQueue& queue, Duration interval, std::function<void()> task)
    : queue_(queue), interval_(std::max(interval, kShortestInterval)), task_(std::move(task)) {}

RepeatingTimer::~RepeatingTimer() {
  stop();
}

void RepeatingTimer::start() {
  stop();
  auto schedule = std::make_shared<Schedule>();
  schedule->queue = &queue_;
  schedule->interval = interval_;
  schedule->task = task_;
  schedule->next = queue_.clock().now() + interval_;
  Schedule::post(schedule);
  schedule_ = std::move(schedule);
}

void RepeatingTimer::stop() {
  if (schedule_) {
    schedule_->cancel();
    schedule_.reset();
  }
}

bool RepeatingTimer::isRunning() const {
  return schedule_ != nullptr;
}

}  // namespace tarq
