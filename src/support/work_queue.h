// A serial work queue: one thread of its own runs posted tasks one at a time,
// in the order they were posted, and delayed tasks when their time comes on
// the queue's Clock.
//
// Lifetime: the queue may be destroyed from any thread, its own included (a
// task that drops the last reference to the queue's owner). Destruction never
// blocks and never joins: tasks already posted still run, in order, on the
// queue's thread, which then exits; delayed tasks not yet due are dropped.
//
// A task that throws is logged to the system log; the queue goes on.
//
// Thread safety: post(), postAt() and isCurrent() may be called from any
// thread.
#ifndef TARQ_SUPPORT_WORK_QUEUE_H_
#define TARQ_SUPPORT_WORK_QUEUE_H_

#include <functional>
#include <memory>
#include <string>

#include "support/clock.h"

namespace tarq {

class WorkQueue {
 public:
  using Task = std::function<void()>;

  WorkQueue(std::string label, std::shared_ptr<Clock> clock);
  ~WorkQueue();
  WorkQueue(const WorkQueue&) = delete;
  WorkQueue& operator=(const WorkQueue&) = delete;

  const std::string& label() const;
  Clock& clock() const;

  // Runs `task` on the queue after every task posted before it, and after
  // every delayed task that was already due when it was posted.
  void post(Task task);

  // Runs `task` on the queue once the clock reaches `when`, after the tasks
  // that were due before it.
  void postAt(SteadyTime when, Task task);

  // True when called from a task running on this queue.
  bool isCurrent() const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace tarq

#endif  // TARQ_SUPPORT_WORK_QUEUE_H_
