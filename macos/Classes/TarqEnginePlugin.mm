// The Flutter face of the engine core: registration creates the core plug-in
// (tarq::TarqEnginePlugin) on a Registrar made of the Flutter registrar, and
// this object hands the core every method call, listen and cancel, translated
// to the core's values. Results and events come back through the adapters of
// flutter_host.h, on the main thread.
#import "TarqEnginePlugin.h"

#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "exception_guard.h"
#include "flutter_host.h"
#include "foundation_objects.h"
#include "host/registrar.h"
#include "host/stream_handler.h"
#include "listener_gate.h"
#include "plugin/tarq_engine_plugin.h"

namespace {

// The code of a failure that escaped the core at this boundary. The core
// answers every failure of its own; runGuarded (exception_guard.h) is the
// last guard that keeps anything thrown from unwinding into the embedding,
// which would end the application.
NSString* const kInternalErrorCode = @"internal_error";

// The FlutterError of a failure that escaped; nil only if even that fails.
::FlutterError* _Nullable internalError(const std::string& reason) noexcept {
  ::FlutterError* error = nil;
  tarq::macos::runGuarded("reporting a failure failed", [&] {
    error = [::FlutterError errorWithCode:kInternalErrorCode
                                  message:tarq::macos::stringObject(reason)
                                  details:nil];
  });
  return error;
}

}  // namespace

@interface TarqEnginePlugin ()

- (instancetype)initForRegistration NS_DESIGNATED_INITIALIZER;

@property(nonatomic, readonly) BOOL handlesMethodCalls;
@property(nonatomic, readonly) BOOL handlesStreams;

- (void)takeMethodCallHandler:(tarq::MethodCallHandler)handler;
- (void)takeStreamHandler:(std::shared_ptr<tarq::StreamHandler>)handler;

@end

namespace {

// The Registrar that the core registers on during +registerWithRegistrar:.
// Each channel the core names is created on the Flutter registrar's messenger
// and served by a TarqEnginePlugin: one object serves a method channel and an
// event channel. Only the channels keep those objects; this adapter lives for
// the registration alone.
class FlutterRegistrarAdapter final : public tarq::Registrar {
 public:
  explicit FlutterRegistrarAdapter(id<FlutterPluginRegistrar> registrar) : registrar_(registrar) {}

  void setMethodCallHandler(const std::string& channel, tarq::MethodCallHandler handler) override {
    if (plugin_ == nil || plugin_.handlesMethodCalls) {
      plugin_ = [[TarqEnginePlugin alloc] initForRegistration];
    }
    [plugin_ takeMethodCallHandler:std::move(handler)];
    FlutterMethodChannel* methodChannel =
        [FlutterMethodChannel methodChannelWithName:tarq::macos::stringObject(channel)
                                    binaryMessenger:registrar_.messenger];
    [registrar_ addMethodCallDelegate:plugin_ channel:methodChannel];
  }

  void setStreamHandler(const std::string& channel,
                        std::shared_ptr<tarq::StreamHandler> handler) override {
    if (plugin_ == nil || plugin_.handlesStreams) {
      plugin_ = [[TarqEnginePlugin alloc] initForRegistration];
    }
    [plugin_ takeStreamHandler:std::move(handler)];
    FlutterEventChannel* eventChannel =
        [FlutterEventChannel eventChannelWithName:tarq::macos::stringObject(channel)
                                  binaryMessenger:registrar_.messenger];
    [eventChannel setStreamHandler:plugin_];
  }

  std::shared_ptr<tarq::MainThread> mainThread() override { return mainThread_; }

 private:
  id<FlutterPluginRegistrar> registrar_;
  TarqEnginePlugin* plugin_ = nil;
  std::shared_ptr<tarq::MainThread> mainThread_ = std::make_shared<tarq::macos::MainQueue>();
};

}  // namespace

@implementation TarqEnginePlugin {
  // Set once, during registration, on the main thread; read there only.
  tarq::MethodCallHandler _methodCallHandler;
  std::shared_ptr<tarq::StreamHandler> _streamHandler;
  // Opened on listen and closed on cancel, on the main thread; the sinks
  // handed to the core check it there before each event (listener_gate.h).
  std::shared_ptr<tarq::macos::ListenerGate> _listenerGate;
}

+ (void)registerWithRegistrar:(id<FlutterPluginRegistrar>)registrar {
  // On failure Dart finds no handler on the channels and gets
  // MissingPluginException: loud, but the application keeps running.
  tarq::macos::runGuarded("plug-in registration failed", [&] {
    FlutterRegistrarAdapter adapter(registrar);
    tarq::TarqEnginePlugin::registerWith(adapter);
  });
}

- (instancetype)initForRegistration {
  self = [super init];
  if (self != nil) {
    _listenerGate = std::make_shared<tarq::macos::ListenerGate>();
  }
  return self;
}

- (BOOL)handlesMethodCalls {
  return static_cast<bool>(_methodCallHandler);
}

- (BOOL)handlesStreams {
  return _streamHandler != nullptr;
}

- (void)takeMethodCallHandler:(tarq::MethodCallHandler)handler {
  _methodCallHandler = std::move(handler);
}

- (void)takeStreamHandler:(std::shared_ptr<tarq::StreamHandler>)handler {
  _streamHandler = std::move(handler);
}

- (void)handleMethodCall:(FlutterMethodCall*)call result:(FlutterResult)result {
  std::shared_ptr<tarq::macos::MethodReply> reply;
  std::string failure;
  const bool handled = tarq::macos::runGuarded(
      "method call failed",
      [&] {
        reply = std::make_shared<tarq::macos::MethodReply>(result);
        if (!_methodCallHandler) {
          reply->send(const_cast<NSObject*>(FlutterMethodNotImplemented));
          return;
        }
        tarq::MethodCall methodCall{tarq::macos::utf8String(call.method),
                                    tarq::macos::valueFromObject(call.arguments)};
        _methodCallHandler(methodCall, std::make_unique<tarq::macos::FlutterMethodResult>(reply));
      },
      &failure);
  if (handled) {
    return;
  }
  ::FlutterError* error = internalError(failure);
  tarq::macos::runGuarded("answering a failed method call failed", [&] {
    if (reply) {
      reply->send(error);  // dropped if the core answered first
    } else {
      result(error);
    }
  });
}

- (FlutterError* _Nullable)onListenWithArguments:(id _Nullable)arguments
                                       eventSink:(FlutterEventSink)events {
  if (!_streamHandler) {
    return nil;
  }
  ::FlutterError* answer = nil;
  std::string failure;
  const bool handled = tarq::macos::runGuarded(
      "listen failed",
      [&] {
        // From here on, no event of an earlier listener gets through.
        const tarq::macos::ListenerGate::Ticket ticket = _listenerGate->open();
        std::optional<tarq::FlutterError> error = _streamHandler->onListen(
            tarq::macos::valueFromObject(arguments),
            std::make_shared<tarq::macos::FlutterEventSinkAdapter>(events, _listenerGate, ticket));
        if (error) {
          _listenerGate->close();
          answer = tarq::macos::errorObject(*error);
        }
      },
      &failure);
  if (!handled) {
    _listenerGate->close();
    answer = internalError(failure);
  }
  return answer;
}

- (FlutterError* _Nullable)onCancelWithArguments:(id _Nullable)arguments {
  if (!_streamHandler) {
    return nil;
  }
  // First, so that events the core emits until its work queue sees the
  // cancel, and those already waiting on the main queue, are dropped.
  _listenerGate->close();
  ::FlutterError* answer = nil;
  std::string failure;
  const bool handled = tarq::macos::runGuarded(
      "cancel failed",
      [&] {
        std::optional<tarq::FlutterError> error =
            _streamHandler->onCancel(tarq::macos::valueFromObject(arguments));
        if (error) {
          answer = tarq::macos::errorObject(*error);
        }
      },
      &failure);
  return handled ? answer : internalError(failure);
}

@end
