// The Flutter face of the engine core: registration creates the core plug-in
// (tarq::TarqEnginePlugin) on a Registrar made of the Flutter registrar, and
// this object hands the core every method call, listen and cancel, translated
// to the core's values. Results and events come back through the adapters of
// flutter_host.h, on the main thread.
#import "TarqEnginePlugin.h"

#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <utility>

#include "flutter_host.h"
#include "foundation_objects.h"
#include "host/registrar.h"
#include "host/stream_handler.h"
#include "plugin/tarq_engine_plugin.h"
#include "support/system_log.h"

namespace {

// The code of a failure that escaped the core at this boundary as a C++
// exception. The core answers every failure of its own; this is the last
// guard that keeps an exception from unwinding into the embedding, which
// would end the application.
NSString* const kInternalErrorCode = @"internal_error";

void logFailure(const std::string& what, const std::exception& error) {
  tarq::SystemLog::system()->write(std::string(tarq::kLogPrefix) + what + ": " + error.what());
}

::FlutterError* internalError(const std::exception& error) {
  return [::FlutterError errorWithCode:kInternalErrorCode
                               message:tarq::macos::stringObject(error.what())
                               details:nil];
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
}

+ (void)registerWithRegistrar:(id<FlutterPluginRegistrar>)registrar {
  FlutterRegistrarAdapter adapter(registrar);
  try {
    tarq::TarqEnginePlugin::registerWith(adapter);
  } catch (const std::exception& error) {
    // Dart then finds no handler on the channels and gets
    // MissingPluginException: loud, but the application keeps running.
    logFailure("plug-in registration failed", error);
  }
}

- (instancetype)initForRegistration {
  self = [super init];
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
  auto reply = std::make_shared<tarq::macos::FlutterReply>(result);
  if (!_methodCallHandler) {
    reply->send(const_cast<NSObject*>(FlutterMethodNotImplemented));
    return;
  }
  try {
    tarq::MethodCall methodCall{tarq::macos::utf8String(call.method),
                                tarq::macos::valueFromObject(call.arguments)};
    _methodCallHandler(methodCall, std::make_unique<tarq::macos::FlutterMethodResult>(reply));
  } catch (const std::exception& error) {
    logFailure("method call failed", error);
    reply->send(internalError(error));  // dropped if the core answered first
  }
}

- (FlutterError* _Nullable)onListenWithArguments:(id _Nullable)arguments
                                       eventSink:(FlutterEventSink)events {
  if (!_streamHandler) {
    return nil;
  }
  try {
    std::optional<tarq::FlutterError> error =
        _streamHandler->onListen(tarq::macos::valueFromObject(arguments),
                                 std::make_shared<tarq::macos::FlutterEventSinkAdapter>(events));
    return error ? tarq::macos::errorObject(*error) : nil;
  } catch (const std::exception& error) {
    logFailure("listen failed", error);
    return internalError(error);
  }
}

- (FlutterError* _Nullable)onCancelWithArguments:(id _Nullable)arguments {
  if (!_streamHandler) {
    return nil;
  }
  try {
    std::optional<tarq::FlutterError> error =
        _streamHandler->onCancel(tarq::macos::valueFromObject(arguments));
    return error ? tarq::macos::errorObject(*error) : nil;
  } catch (const std::exception& error) {
    logFailure("cancel failed", error);
    return internalError(error);
  }
}

@end
