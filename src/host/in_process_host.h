// The Flutter host on Linux: an in-process stand-in for the embedding that
// runs a real main thread of its own.
//
// A plug-in registers on it through the Registrar interface. The application
// side (tests, tarqctl) plays Dart: it invokes methods and listens to event
// channels by name. As in the embedding, every method call, listen and cancel
// reaches the plug-in on the main thread; every answer and event a plug-in
// delivers is handed to the application's callbacks on the main thread, in
// the order the plug-in posted them: an answer or event given on the main
// thread reaches the application at once, one given elsewhere is posted there.
// An answer is delivered exactly once: a second answer to the same call is
// ignored and logged, and so is a result dropped without any answer.
//
// Lifetime: shutdown() (or the destructor) lets the main thread finish the
// tasks already posted, unregisters every channel (releasing the plug-ins the
// host holds) on the main thread, then joins it. Tasks posted afterwards are
// dropped. Must not be destroyed on its own main thread.
//
// Thread safety: every public method may be called from any thread.
#ifndef TARQ_HOST_IN_PROCESS_HOST_H_
#define TARQ_HOST_IN_PROCESS_HOST_H_

#include <functional>
#include <memory>
#include <string>

#include "host/registrar.h"
#include "support/system_log.h"

namespace tarq {

class InProcessHost final : public Registrar {
 public:
  // What the application side receives on one event channel. Each callback
  // runs on the main thread.
  struct Listener {
    std::function<void(const Value& event)> onEvent;
    std::function<void(const FlutterError& error)> onError;
    std::function<void()> onEnd;
  };

  explicit InProcessHost(std::shared_ptr<SystemLog> log = SystemLog::system());
  ~InProcessHost() override;
  InProcessHost(const InProcessHost&) = delete;
  InProcessHost& operator=(const InProcessHost&) = delete;

  // Registrar, for the plug-in.
  void setMethodCallHandler(const std::string& channel, MethodCallHandler handler) override;
  void setStreamHandler(const std::string& channel,
                        std::shared_ptr<StreamHandler> handler) override;
  std::shared_ptr<MainThread> mainThread() override;

  // The application side. invokeMethod returns at once; `onResponse` runs on
  // the main thread with the call's one answer. A call on a channel with no
  // handler is answered NotImplemented, as the embedding does.
  void invokeMethod(const std::string& channel, MethodCall call,
                    std::function<void(MethodResponse)> onResponse);

  // Starts listening on `channel` (replacing the previous listener, which gets
  // no more events) and calls the stream handler's onListen on the main
  // thread. Its error, if any, reaches listener.onError.
  void listen(const std::string& channel, Value arguments, Listener listener);

  // Stops delivering events of `channel` and calls onCancel on the main thread.
  void cancel(const std::string& channel, Value arguments);

  // Runs `task` on the main thread; returns at once.
  void runOnMainThread(std::function<void()> task);

  // Blocks until every task posted to the main thread so far has run. Not to
  // be called on the main thread.
  void flush();

  // Unregisters every channel and stops the main thread (see above).
  void shutdown();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace tarq

#endif  // TARQ_HOST_IN_PROCESS_HOST_H_
