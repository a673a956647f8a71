#include "support/work_queue.h"

#include <condition_variable>
#include <deque>
#include <exception>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

#include "support/system_log.h"

namespace tarq {

// Shared by the WorkQueue object and its detached thread, so that the thread
// outlives the object safely when the queue is destroyed from a task of its
// own or while a long task runs.
struct WorkQueue::State {
  State(std::string name, std::shared_ptr<Clock> c) : label(std::move(name)), clock(std::move(c)) {}

  // Moves every delayed task due at `now` to the back of `ready`, in time
  // order. Called with `mutex` held.
  void promoteDue(SteadyTime now) {
    auto end = delayed.upper_bound(now);
    for (auto it = delayed.begin(); it != end; ++it) {
      ready.push_back(std::move(it->second));
    }
    delayed.erase(delayed.begin(), end);
  }

  void run();

  const std::string label;
  const std::shared_ptr<Clock> clock;

  std::mutex mutex;
  std::condition_variable wake;
  std::deque<Task> ready;
  // Equal times keep their posting order (multimap inserts at the upper bound).
  std::multimap<SteadyTime, Task> delayed;
  bool stopping = false;
};

namespace {

// The queue whose task the calling thread runs; identifies it for isCurrent().
thread_local const void* currentQueue = nullptr;

void runGuarded(const std::string& label, WorkQueue::Task& task) {
  try {
    task();
  } catch (const std::exception& error) {
    SystemLog::system()->write(std::string(kLogPrefix) + "uncaught error on queue " + label + ": " +
                               error.what());
  } catch (...) {
    SystemLog::system()->write(std::string(kLogPrefix) + "uncaught error on queue " + label);
  }
}

}  // namespace

void WorkQueue::State::run() {
  currentQueue = this;
  std::unique_lock<std::mutex> lock(mutex);
  for (;;) {
    promoteDue(clock->now());
    if (!ready.empty()) {
      Task task = std::move(ready.front());
      ready.pop_front();
      lock.unlock();
      runGuarded(label, task);
      // Destroyed unlocked: releasing what the task captured may destroy the
      // WorkQueue object itself, which takes `mutex`.
      task = nullptr;
      lock.lock();
      continue;
    }
    if (stopping) {
      break;
    }
    if (delayed.empty()) {
      wake.wait(lock);
    } else {
      clock->waitUntil(lock, wake, delayed.begin()->first);
    }
  }
  // Delayed tasks that never came due are dropped, outside the lock for the
  // same reason as above.
  auto dropped = std::move(delayed);
  delayed.clear();
  lock.unlock();
  dropped.clear();
  currentQueue = nullptr;
}

WorkQueue::WorkQueue(std::string label, std::shared_ptr<Clock> clock)
    : state_(std::make_shared<State>(std::move(label), std::move(clock))) {
  std::thread([state = state_] { state->run(); }).detach();
}

WorkQueue::~WorkQueue() {
  {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->stopping = true;
  }
  state_->wake.notify_all();
}

const std::string& WorkQueue::label() const {
  return state_->label;
}

Clock& WorkQueue::clock() const {
  return *state_->clock;
}

void WorkQueue::post(Task task) {
  {
    std::lock_guard<std::mutex> guard(state_->mutex);
    // Timers whose time has already come run before this task, so that a task
    // posted after the clock passed a deadline sees that timer's work done.
    state_->promoteDue(state_->clock->now());
    state_->ready.push_back(std::move(task));
  }
  state_->wake.notify_all();
}

void WorkQueue::postAt(SteadyTime when, Task task) {
  {
    std::lock_guard<std::mutex> guard(state_->mutex);
    state_->delayed.emplace(when, std::move(task));
  }
  state_->wake.notify_all();
}

bool WorkQueue::isCurrent() const {
  return currentQueue == state_.get();
}

}  // namespace tarq
