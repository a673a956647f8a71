#include "host/in_process_host.h"

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <exception>
#include <future>
#include <map>
#include <mutex>
#include <thread>
#include <utility>

namespace tarq {

namespace {

// The host whose main thread the calling thread is; identifies it for
// isCurrent().
thread_local const void* currentHost = nullptr;

// Everything the host shares with its main thread and with the results, sinks
// and main-thread handles it gives out, which may outlive the host object:
// once closed, what they post is dropped.
//
// Lock order: `mutex` is never held while a task, a handler or a callback of
// the application runs, so any of them may call back into the host.
struct HostCore {
  using Task = std::function<void()>;
  using Listener = InProcessHost::Listener;

  explicit HostCore(std::shared_ptr<SystemLog> l) : log(std::move(l)) {}

  struct ActiveListener {
    uint64_t id = 0;
    std::shared_ptr<const Listener> listener;
  };

  // Queues `task` for the main thread; false (and `task` dropped) once closed.
  bool post(Task task) {
    {
      std::lock_guard<std::mutex> guard(mutex);
      if (closed) {
        return false;
      }
      tasks.push_back(std::move(task));
    }
    wake.notify_one();
    return true;
  }

  bool isMainThread() const { return currentHost == this; }

  // Runs `task` at once when called on the main thread, else posts it. Used
  // for deliveries, so that what the plug-in hands over on the main thread
  // reaches the application in the order it was handed over.
  void deliver(Task task) {
    if (isMainThread()) {
      runGuarded(task);
    } else {
      post(std::move(task));
    }
  }

  void runGuarded(Task& task) {
    try {
      task();
    } catch (const std::exception& error) {
      log->write(std::string(kLogPrefix) + "uncaught error on the main thread: " + error.what());
    } catch (...) {
      log->write(std::string(kLogPrefix) + "uncaught error on the main thread");
    }
  }

  void run() {
    currentHost = this;
    std::unique_lock<std::mutex> lock(mutex);
    for (;;) {
      wake.wait(lock, [&] { return closed || !tasks.empty(); });
      if (tasks.empty()) {
        break;
      }
      Task task = std::move(tasks.front());
      tasks.pop_front();
      lock.unlock();
      runGuarded(task);
      task = nullptr;  // what it captured goes here too, unlocked
      lock.lock();
    }
    currentHost = nullptr;
  }

  // The listener of `channel` if it is still the one numbered `id`.
  std::shared_ptr<const Listener> listenerFor(const std::string& channel, uint64_t id) {
    std::lock_guard<std::mutex> guard(mutex);
    auto active = listeners.find(channel);
    if (active == listeners.end() || active->second.id != id) {
      return nullptr;
    }
    return active->second.listener;
  }

  // Drops every handler and listener; called on the main thread, so that
  // plug-ins are released there as the embedding releases them.
  void releaseChannels() {
    std::map<std::string, std::shared_ptr<const MethodCallHandler>> oldMethods;
    std::map<std::string, std::shared_ptr<StreamHandler>> oldStreams;
    std::map<std::string, ActiveListener> oldListeners;
    std::lock_guard<std::mutex> guard(mutex);
    oldMethods.swap(methodHandlers);
    oldStreams.swap(streamHandlers);
    oldListeners.swap(listeners);
    // Destroyed after `guard` is released, in reverse order of declaration.
  }

  void close() {
    {
      std::lock_guard<std::mutex> guard(mutex);
      closed = true;
    }
    wake.notify_one();
  }

  const std::shared_ptr<SystemLog> log;

  std::mutex mutex;
  std::condition_variable wake;
  std::deque<Task> tasks;
  bool closed = false;
  std::map<std::string, std::shared_ptr<const MethodCallHandler>> methodHandlers;
  std::map<std::string, std::shared_ptr<StreamHandler>> streamHandlers;
  std::map<std::string, ActiveListener> listeners;
  uint64_t nextListenerId = 1;

  // shutdown() takes `thread` out under `shutdownMutex`; the one call that gets
  // it joins (or detaches) it and sets `finished`.
  std::mutex shutdownMutex;
  std::condition_variable shutDown;
  std::thread thread;
  bool finished = false;
};

using HostState = std::shared_ptr<HostCore>;

// The main-thread handle given to plug-ins. Holds the state, not the host, so
// that a plug-in outliving the host posts into the void instead of crashing.
class HostMainThread final : public MainThread {
 public:
  explicit HostMainThread(HostState state) : state_(std::move(state)) {}
  void post(std::function<void()> task) override { state_->post(std::move(task)); }
  bool isCurrent() const override { return state_->isMainThread(); }

 private:
  HostState state_;
};

// The result given with each call. Delivers the first answer to the
// application on the main thread; later answers are logged and dropped.
class HostMethodResult final : public MethodResult {
 public:
  HostMethodResult(HostState state, std::string channel, std::string method,
                   std::function<void(MethodResponse)> onResponse)
      : state_(std::move(state)),
        channel_(std::move(channel)),
        method_(std::move(method)),
        onResponse_(std::move(onResponse)) {}

  ~HostMethodResult() override {
    if (!answered()) {
      state_->log->write(std::string(kLogPrefix) + "call of \"" + method_ + "\" on \"" + channel_ +
                         "\" was dropped without an answer");
    }
  }

 protected:
  void deliver(MethodResponse response) override {
    state_->deliver([onResponse = std::move(onResponse_), response = std::move(response)] {
      if (onResponse) {
        onResponse(response);
      }
    });
  }

  void rejectSecondAnswer(const MethodResponse& response) override {
    state_->log->write(std::string(kLogPrefix) + "second answer to \"" + method_ + "\" on \"" +
                       channel_ + "\" ignored: " + describe(response));
  }

 private:
  HostState state_;
  std::string channel_;
  std::string method_;
  std::function<void(MethodResponse)> onResponse_;
};

// The sink given to a stream handler on listen. It serves the listener that
// was current when it was made, and goes quiet once that listener is
// cancelled or replaced.
class HostEventSink final : public EventSink {
 public:
  HostEventSink(HostState state, std::string channel, uint64_t listenerId)
      : state_(std::move(state)), channel_(std::move(channel)), listenerId_(listenerId) {}

  void success(const Value& event) override {
    send([event](const Listener& listener) {
      if (listener.onEvent) {
        listener.onEvent(event);
      }
    });
  }

  void error(const std::string& code, const std::string& message, const Value& details) override {
    send([error = FlutterError{code, message, details}](const Listener& listener) {
      if (listener.onError) {
        listener.onError(error);
      }
    });
  }

  void endOfStream() override {
    send([](const Listener& listener) {
      if (listener.onEnd) {
        listener.onEnd();
      }
    });
  }

 private:
  using Listener = InProcessHost::Listener;

  void send(std::function<void(const Listener&)> call) {
    state_->deliver([state = state_, channel = channel_, id = listenerId_, call = std::move(call)] {
      if (auto listener = state->listenerFor(channel, id)) {
        call(*listener);
      }
    });
  }

  HostState state_;
  std::string channel_;
  uint64_t listenerId_;
};

}  // namespace

struct InProcessHost::State : HostCore {
  using HostCore::HostCore;
};

InProcessHost::InProcessHost(std::shared_ptr<SystemLog> log)
    : state_(std::make_shared<State>(std::move(log))) {
  // The thread holds the state too, in case it is detached (see shutdown()).
  state_->thread = std::thread([state = state_] { state->run(); });
}

InProcessHost::~InProcessHost() {
  shutdown();
}

void InProcessHost::setMethodCallHandler(const std::string& channel, MethodCallHandler handler) {
  std::shared_ptr<const MethodCallHandler> old;
  std::lock_guard<std::mutex> guard(state_->mutex);
  auto& slot = state_->methodHandlers[channel];
  old = std::move(slot);
  if (handler) {
    slot = std::make_shared<const MethodCallHandler>(std::move(handler));
  } else {
    state_->methodHandlers.erase(channel);
  }
}

void InProcessHost::setStreamHandler(const std::string& channel,
                                     std::shared_ptr<StreamHandler> handler) {
  std::shared_ptr<StreamHandler> old;
  std::lock_guard<std::mutex> guard(state_->mutex);
  auto& slot = state_->streamHandlers[channel];
  old = std::move(slot);
  if (handler) {
    slot = std::move(handler);
  } else {
    state_->streamHandlers.erase(channel);
  }
}

std::shared_ptr<MainThread> InProcessHost::mainThread() {
  return std::make_shared<HostMainThread>(state_);
}

void InProcessHost::invokeMethod(const std::string& channel, MethodCall call,
                                 std::function<void(MethodResponse)> onResponse) {
  state_->post([state = state_, channel, call = std::move(call),
                onResponse = std::move(onResponse)]() mutable {
    std::shared_ptr<const MethodCallHandler> handler;
    {
      std::lock_guard<std::mutex> guard(state->mutex);
      auto found = state->methodHandlers.find(channel);
      if (found != state->methodHandlers.end()) {
        handler = found->second;
      }
    }
    auto result =
        std::make_unique<HostMethodResult>(state, channel, call.method, std::move(onResponse));
    if (!handler) {
      result->notImplemented();
      return;
    }
    (*handler)(call, std::move(result));
  });
}

void InProcessHost::listen(const std::string& channel, Value arguments, Listener listener) {
  state_->post([state = state_, channel, arguments = std::move(arguments),
                listener = std::make_shared<const Listener>(std::move(listener))] {
    std::shared_ptr<StreamHandler> handler;
    uint64_t id = 0;
    {
      std::lock_guard<std::mutex> guard(state->mutex);
      id = state->nextListenerId++;
      state->listeners[channel] = HostCore::ActiveListener{id, listener};
      auto found = state->streamHandlers.find(channel);
      if (found != state->streamHandlers.end()) {
        handler = found->second;
      }
    }
    std::optional<FlutterError> error;
    if (handler) {
      error = handler->onListen(arguments, std::make_shared<HostEventSink>(state, channel, id));
    } else {
      error = FlutterError{"error", "no stream handler on \"" + channel + "\"", Value()};
    }
    if (error && listener->onError) {
      listener->onError(*error);
    }
  });
}

void InProcessHost::cancel(const std::string& channel, Value arguments) {
  state_->post([state = state_, channel, arguments = std::move(arguments)] {
    std::shared_ptr<StreamHandler> handler;
    HostCore::ActiveListener old;
    {
      std::lock_guard<std::mutex> guard(state->mutex);
      auto active = state->listeners.find(channel);
      if (active != state->listeners.end()) {
        old = std::move(active->second);
        state->listeners.erase(active);
      }
      auto found = state->streamHandlers.find(channel);
      if (found != state->streamHandlers.end()) {
        handler = found->second;
      }
    }
    if (!handler) {
      return;
    }
    if (auto error = handler->onCancel(arguments)) {
      // Nobody listens any more; the error can only be logged.
      state->log->write(std::string(kLogPrefix) + "cancel on \"" + channel +
                        "\" failed: " + error->message);
    }
  });
}

void InProcessHost::runOnMainThread(std::function<void()> task) {
  state_->post(std::move(task));
}

void InProcessHost::flush() {
  if (state_->isMainThread()) {
    return;  // waiting here would wait for ever
  }
  auto done = std::make_shared<std::promise<void>>();
  auto finished = done->get_future();
  if (state_->post([done] { done->set_value(); })) {
    finished.wait();
  }
}

void InProcessHost::shutdown() {
  std::thread thread;
  {
    std::lock_guard<std::mutex> guard(state_->shutdownMutex);
    thread = std::move(state_->thread);
  }
  if (!thread.joinable()) {
    // Another call is shutting down; wait for it unless that would block the
    // main thread it is waiting for.
    if (!state_->isMainThread()) {
      std::unique_lock<std::mutex> lock(state_->shutdownMutex);
      state_->shutDown.wait(lock, [&] { return state_->finished; });
    }
    return;
  }
  if (state_->isMainThread()) {
    // Called from a task of the main thread itself: it cannot be joined. The
    // tasks already queued still run after this one, then the thread ends.
    state_->releaseChannels();
    state_->close();
    thread.detach();
  } else {
    state_->post([state = state_] {
      state->releaseChannels();
      state->close();
    });
    thread.join();
  }
  {
    std::lock_guard<std::mutex> guard(state_->shutdownMutex);
    state_->finished = true;
  }
  state_->shutDown.notify_all();
}

}  // namespace tarq
