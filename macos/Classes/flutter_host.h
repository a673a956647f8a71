// The core's host seams over FlutterMacOS: the main queue as MainThread, a
// method call's FlutterResult as MethodResult and a listener's
// FlutterEventSink as EventSink.
//
// Flutter wants results and events on the main thread. The core already
// posts them there through MainThread; these adapters deliver at once when
// called on the main thread and post to the main queue otherwise, so that no
// path can call Flutter from another thread. Every block they run there is
// guarded (exception_guard.h).
#ifndef TARQ_MACOS_CLASSES_FLUTTER_HOST_H_
#define TARQ_MACOS_CLASSES_FLUTTER_HOST_H_

#import <FlutterMacOS/FlutterMacOS.h>

#include <atomic>
#include <functional>
#include <memory>
#include <string>

#include "host/event_sink.h"
#include "host/flutter_error.h"
#include "host/method_result.h"
#include "host/registrar.h"
#include "listener_gate.h"

NS_ASSUME_NONNULL_BEGIN

namespace tarq::macos {

// Runs `block` now when called on the main thread, else posts it to the main
// queue.
void runOnMainThread(dispatch_block_t block);

// The main dispatch queue. Thread-safe.
class MainQueue final : public MainThread {
 public:
  void post(std::function<void()> task) override;
  bool isCurrent() const override;
};

// The one answer to a Flutter method call. send() hands the first value it is
// given to the FlutterResult on the main thread and drops every later one, so
// that a call is never answered twice, whichever path answers it.
// Thread-safe.
class MethodReply {
 public:
  explicit MethodReply(FlutterResult result);

  // Returns whether `value` was the first answer.
  bool send(id _Nullable value);

 private:
  std::atomic<bool> sent_{false};
  FlutterResult result_;
};

class FlutterMethodResult final : public MethodResult {
 public:
  explicit FlutterMethodResult(std::shared_ptr<MethodReply> reply);

 protected:
  void deliver(MethodResponse response) override;

 private:
  std::shared_ptr<MethodReply> reply_;
};

// One Dart listener's event sink: `ticket` is what `gate` opened for this
// listener. An event reaches the sink only if the gate still admits the
// ticket when the event is about to be handed over on the main thread; any
// other is dropped. Thread-safe.
class FlutterEventSinkAdapter final : public EventSink {
 public:
  FlutterEventSinkAdapter(FlutterEventSink sink, std::shared_ptr<const ListenerGate> gate,
                          ListenerGate::Ticket ticket);

  void success(const Value& event) override;
  void error(const std::string& code, const std::string& message, const Value& details) override;
  void endOfStream() override;

 private:
  void send(id _Nullable event);

  FlutterEventSink sink_;
  std::shared_ptr<const ListenerGate> gate_;
  ListenerGate::Ticket ticket_;
};

// The FlutterError object of a core error. (`::FlutterError` is the
// embedding's class; tarq::FlutterError the core's record.)
::FlutterError* errorObject(const tarq::FlutterError& error);

// What a FlutterResult receives for a response: a value (nil for null), a
// FlutterError or FlutterMethodNotImplemented.
id _Nullable responseObject(const MethodResponse& response);

}  // namespace tarq::macos

NS_ASSUME_NONNULL_END

#endif  // TARQ_MACOS_CLASSES_FLUTTER_HOST_H_
