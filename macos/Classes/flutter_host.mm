#import "flutter_host.h"

#include <exception>
#include <type_traits>
#include <utility>
#include <variant>

#include "exception_guard.h"
#include "foundation_objects.h"

// The core answers and emits on the main thread, whose run loop drains an
// autorelease pool after each task. The pools below serve an answer given on
// one of the plug-in's own threads, which have no pool of their own.

namespace tarq::macos {

void runOnMainThread(dispatch_block_t block) {
  if (NSThread.isMainThread) {
    block();
  } else {
    dispatch_async(dispatch_get_main_queue(), block);
  }
}

void MainQueue::post(std::function<void()> task) {
  // Shared so that copying the block does not copy the task.
  auto shared = std::make_shared<std::function<void()>>(std::move(task));
  dispatch_async(dispatch_get_main_queue(), ^{
    runGuarded("main thread task failed", [&] { (*shared)(); });
  });
}

bool MainQueue::isCurrent() const { return NSThread.isMainThread; }

MethodReply::MethodReply(FlutterResult result) : result_(result) {}

bool MethodReply::send(id value) {
  if (sent_.exchange(true)) {
    return false;
  }
  FlutterResult result = result_;
  runOnMainThread(^{
    runGuarded("answering a method call failed", [&] { result(value); });
  });
  return true;
}

FlutterMethodResult::FlutterMethodResult(std::shared_ptr<MethodReply> reply)
    : reply_(std::move(reply)) {}

void FlutterMethodResult::deliver(MethodResponse response) {
  @autoreleasepool {
    reply_->send(responseObject(response));
  }
}

FlutterEventSinkAdapter::FlutterEventSinkAdapter(FlutterEventSink sink,
                                                 std::shared_ptr<const ListenerGate> gate,
                                                 ListenerGate::Ticket ticket)
    : sink_(sink), gate_(std::move(gate)), ticket_(ticket) {}

void FlutterEventSinkAdapter::success(const Value& event) {
  // An early drop, which spares the translation; send() decides.
  if (!gate_->admits(ticket_)) {
    return;
  }
  @autoreleasepool {
    send(objectFromValue(event));
  }
}

void FlutterEventSinkAdapter::error(const std::string& code, const std::string& message,
                                    const Value& details) {
  @autoreleasepool {
    send(errorObject(tarq::FlutterError{code, message, details}));
  }
}

void FlutterEventSinkAdapter::endOfStream() {
  send(const_cast<NSObject*>(FlutterEndOfEventStream));
}

void FlutterEventSinkAdapter::send(id event) {
  FlutterEventSink sink = sink_;
  std::shared_ptr<const ListenerGate> gate = gate_;
  const ListenerGate::Ticket ticket = ticket_;
  runOnMainThread(^{
    // On the main thread, where Flutter calls listen and cancel: an event
    // queued before a cancel runs after it and is dropped here.
    if (gate->admits(ticket)) {
      runGuarded("sending an event failed", [&] { sink(event); });
    }
  });
}

::FlutterError* errorObject(const tarq::FlutterError& error) {
  return [::FlutterError errorWithCode:stringObject(error.code)
                               message:stringObject(error.message)
                               details:objectFromValue(error.details)];
}

id responseObject(const MethodResponse& response) {
  return std::visit(
      [](const auto& answer) -> id {
        using Answer = std::decay_t<decltype(answer)>;
        if constexpr (std::is_same_v<Answer, Value>) {
          return objectFromValue(answer);
        } else if constexpr (std::is_same_v<Answer, tarq::FlutterError>) {
          return errorObject(answer);
        } else {
          return const_cast<NSObject*>(FlutterMethodNotImplemented);
        }
      },
      response);
}

}  // namespace tarq::macos
