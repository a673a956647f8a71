#include "soak_app.h"

#include <array>

#include "plugin/tarq_engine_plugin.h"

namespace tarq {
namespace {

constexpr size_t kRecentEvents = 64;
constexpr std::array<const char*, 4> kStates = {"disconnected", "connecting", "connected", "error"};

}  // namespace

// The plug-in's log. The host logs there a second answer to a call and a
// call dropped without one; the rest is kept short.
class SoakApp::CountingLog final : public SystemLog {
 public:
  void write(std::string_view line) override {
    std::lock_guard lock(mutex_);
    if (line.find("answered twice") != std::string_view::npos ||
        line.find("without an answer") != std::string_view::npos) {
      ++flagged_;
    }
  }
  int64_t flagged() const {
    std::lock_guard lock(mutex_);
    return flagged_;
  }

 private:
  mutable std::mutex mutex_;
  int64_t flagged_ = 0;
};

struct SoakApp::PendingCall {
  std::mutex mutex;
  std::condition_variable answered;
  int answers = 0;
  std::optional<MethodResponse> response;
  bool settled = false;  // counted in the tally
};

SoakApp::SoakApp(const std::string& helperSocketPath)
    : log_(std::make_shared<CountingLog>()), session_(helperSocketPath, log_) {}

SoakApp::~SoakApp() = default;

std::shared_ptr<SoakApp::PendingCall> SoakApp::callAsync(const std::string& method,
                                                         Value arguments) {
  auto pending = std::make_shared<PendingCall>();
  {
    std::lock_guard lock(mutex_);
    ++tally_.calls;
  }
  session_.host().invokeMethod(kMethodChannel, MethodCall{method, std::move(arguments)},
                               [this, pending](MethodResponse response) {
                                 std::lock_guard lock(pending->mutex);
                                 if (++pending->answers == 1) {
                                   pending->response = std::move(response);
                                 } else {
                                   std::lock_guard tallyLock(mutex_);
                                   ++tally_.answeredTwice;
                                 }
                                 pending->answered.notify_all();
                               });
  return pending;
}

std::optional<MethodResponse> SoakApp::await(const std::shared_ptr<PendingCall>& call,
                                             std::chrono::milliseconds timeout) {
  std::unique_lock lock(call->mutex);
  const bool answered = call->answered.wait_for(lock, timeout, [&] { return call->answers > 0; });
  if (!call->settled) {
    call->settled = true;
    std::lock_guard tallyLock(mutex_);
    ++(answered ? tally_.answered : tally_.unanswered);
  }
  return answered ? call->response : std::nullopt;
}

std::optional<MethodResponse> SoakApp::call(const std::string& method, Value arguments) {
  // Longer than the plug-in's longest start (three 10-second waits).
  return await(callAsync(method, std::move(arguments)), std::chrono::seconds(45));
}

void SoakApp::listen() {
  InProcessHost::Listener listener;
  listener.onEvent = [this](const Value& event) {
    const Value* type = event.find("type");
    if (type != nullptr && *type == Value("status")) {
      noteState(event);
    }
    std::lock_guard lock(mutex_);
    if (!listening_) {
      ++tally_.eventsWhileCancelled;
    }
    recent_.emplace_back(tally_.events++, event);
    if (recent_.size() > kRecentEvents) {
      recent_.pop_front();
    }
    changed_.notify_all();
  };
  {
    std::lock_guard lock(mutex_);
    listening_ = true;
  }
  session_.host().listen(kEventChannel, Value(), std::move(listener));
  session_.host().flush();
}

void SoakApp::cancel() {
  session_.host().cancel(kEventChannel, Value());
  session_.host().flush();
  std::lock_guard lock(mutex_);
  listening_ = false;
}

int64_t SoakApp::eventCount() const {
  std::lock_guard lock(mutex_);
  return tally_.events;
}

bool SoakApp::waitForEvent(int64_t from, const std::function<bool(const Value&)>& match,
                           std::chrono::milliseconds timeout) {
  std::unique_lock lock(mutex_);
  return changed_.wait_for(lock, timeout, [&] {
    for (const auto& [number, event] : recent_) {
      if (number >= from && match(event)) {
        return true;
      }
    }
    return false;
  });
}

void SoakApp::noteState(const Value& map) {
  const Value* state = map.find("state");
  const std::string* text = state != nullptr ? state->get<std::string>() : nullptr;
  bool known = false;
  for (const char* name : kStates) {
    known = known || (text != nullptr && *text == name);
  }
  std::lock_guard lock(mutex_);
  ++tally_.statesSeen;
  if (!known) {
    tally_.badStates.push_back(describe(map));
  }
}

AppTally SoakApp::tally() const {
  std::lock_guard lock(mutex_);
  AppTally tally = tally_;
  tally.answeredTwice += log_->flagged();
  return tally;
}

}  // namespace tarq
