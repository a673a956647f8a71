// The application side of the soak: one plug-in registered on the in-process
// host by tarqctl's own session, calls whose answers are counted, and one
// listener whose recent events are kept and whose states are checked.
//
// Thread safety: the public methods are called from one driving thread; the
// host's main thread delivers answers and events.
#ifndef TARQ_TOOLS_SOAK_SOAK_APP_H_
#define TARQ_TOOLS_SOAK_SOAK_APP_H_

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "host/in_process_host.h"
#include "tarqctl/engine_session.h"

namespace tarq {

// What the soak holds against the plug-in, over the whole run.
struct AppTally {
  int64_t calls = 0;
  int64_t answered = 0;       // calls with their one answer
  int64_t answeredTwice = 0;  // a second answer, seen or logged by the host
  int64_t unanswered = 0;     // no answer within the time allowed
  int64_t events = 0;
  int64_t eventsWhileCancelled = 0;
  int64_t statesSeen = 0;  // in events and "status" answers
  std::vector<std::string> badStates;
};

class SoakApp {
 public:
  struct PendingCall;

  explicit SoakApp(const std::string& helperSocketPath);
  ~SoakApp();
  SoakApp(const SoakApp&) = delete;
  SoakApp& operator=(const SoakApp&) = delete;

  std::shared_ptr<PendingCall> callAsync(const std::string& method, Value arguments = Value());
  // The call's answer, or none (counted as unanswered) after `timeout`.
  std::optional<MethodResponse> await(const std::shared_ptr<PendingCall>& call,
                                      std::chrono::milliseconds timeout);
  std::optional<MethodResponse> call(const std::string& method, Value arguments = Value());

  void listen();
  void cancel();
  // The number of events so far; an index for waitForEvent.
  int64_t eventCount() const;
  // Whether an event numbered `from` or later satisfies `match` within
  // `timeout`.
  bool waitForEvent(int64_t from, const std::function<bool(const Value&)>& match,
                    std::chrono::milliseconds timeout);
  // Checks the state of a "status" answer or event.
  void noteState(const Value& map);

  AppTally tally() const;

 private:
  class CountingLog;

  std::shared_ptr<CountingLog> log_;
  EngineSession session_;  // after log_, which it logs to
  mutable std::mutex mutex_;
  std::condition_variable changed_;
  AppTally tally_;
  bool listening_ = false;
  std::deque<std::pair<int64_t, Value>> recent_;  // the last events, numbered
};

}  // namespace tarq

#endif  // TARQ_TOOLS_SOAK_SOAK_APP_H_
