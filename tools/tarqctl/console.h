// The human commands' view of one engine session: everything the host's main
// thread delivers (events, answers) and everything from outside (typed
// command lines, the end of input, Ctrl-C) arrives in one inbox, in order,
// and the command's own thread takes it from there, so output never
// interleaves.
//
// With `json` set, events and answers are also printed as the channel's JSON
// lines, in the order received; human text is then left out.
//
// Thread safety: post() may be called from any thread; everything else only
// from the thread that runs the command.
#ifndef TARQ_TOOLS_TARQCTL_CONSOLE_H_
#define TARQ_TOOLS_TARQCTL_CONSOLE_H_

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>

#include "engine_session.h"

namespace tarq {

struct ConsoleMessage {
  enum class Kind { kEvent, kAnswer, kInput, kInputEnd, kInterrupt };
  Kind kind = Kind::kEvent;
  Value event{};              // kEvent
  int64_t id = 0;             // kAnswer
  MethodResponse response{};  // kAnswer
  std::string method{};       // kAnswer
  std::string input{};        // kInput
};

class Inbox {
 public:
  void post(ConsoleMessage message);
  ConsoleMessage take();

 private:
  std::mutex mutex_;
  std::condition_variable ready_;
  std::deque<ConsoleMessage> messages_;
};

class Console {
 public:
  struct Options {
    std::string socketPath;
    bool json = false;
  };

  // Starts the session and listens to its events at once, so that a call
  // made next is seen with every event it causes.
  explicit Console(Options options);

  // Calls `method`; returns the call's id. The answer arrives in the inbox.
  int64_t call(const std::string& method, Value arguments = Value());

  // The next message; prints it first in JSON mode.
  ConsoleMessage next();

  // Waits for the answer to call `id`, handing any event that comes first to
  // `onEvent`. Other messages are dropped.
  MethodResponse answerTo(int64_t id, const std::function<void(const Value&)>& onEvent);

  // Human text on standard output (nothing in JSON mode).
  void say(const std::string& text) const;
  // Turns an answer into the exit status: 0 for a value; 1 with "CODE:
  // MESSAGE" (or a not-implemented note) on standard error otherwise.
  int exitStatus(const MethodResponse& response, const std::string& method) const;

  const std::shared_ptr<Inbox>& inbox() const { return inbox_; }
  bool json() const { return options_.json; }
  const std::string& socketPath() const { return options_.socketPath; }

 private:
  const Options options_;
  std::shared_ptr<Inbox> inbox_ = std::make_shared<Inbox>();
  EngineSession session_;
  int64_t nextId_ = 1;
};

}  // namespace tarq

#endif  // TARQ_TOOLS_TARQCTL_CONSOLE_H_
