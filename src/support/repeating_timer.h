// A timer that runs a task on a WorkQueue every `interval`, the first time one
// interval after start(), on the queue's clock. Firings keep to the grid of
// start time plus whole intervals, so the period does not drift; firings
// missed while the queue was busy come as one, not as a burst. Intervals
// shorter than a millisecond are taken as one millisecond. The timer must not
// outlive its queue.
//
// Sequence-bound: start() and stop() are called on the queue the timer serves.
// Once stop() (or the destructor) has returned on that queue, the task never
// runs again, even if a firing was already posted. The destructor may also run
// on another thread (its owner released elsewhere): no firing starts after it
// has returned, though one already running on the queue may still finish.
//
// The task is called with no lifetime guarantee for the timer's owner beyond
// what the task itself captures: owners capture themselves weakly.
#ifndef TARQ_SUPPORT_REPEATING_TIMER_H_
#define TARQ_SUPPORT_REPEATING_TIMER_H_

#include <functional>
#include <memory>

#include "support/clock.h"
#include "support/work_queue.h"

namespace tarq {

class RepeatingTimer {
 public:
  RepeatingTimer(WorkQueue& queue, Duration interval, std::function<void()> task);
  ~RepeatingTimer();
  RepeatingTimer(const RepeatingTimer&) = delete;
  RepeatingTimer& operator=(const RepeatingTimer&) = delete;

  // Schedules the first firing one interval from now. Starting a running
  // timer restarts its schedule.
  void start();

  // Cancels every later firing, including one already posted.
  void stop();

  bool isRunning() const;

 private:
  struct Schedule;
  WorkQueue& queue_;
  Duration interval_;
  std::function<void()> task_;
  std::shared_ptr<Schedule> schedule_;
};

}  // namespace tarq

#endif  // TARQ_SUPPORT_REPEATING_TIMER_H_
