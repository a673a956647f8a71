// Stub of <FlutterMacOS/FlutterMacOS.h>: the channels, codec objects and
// plug-in protocols of Flutter's macOS embedder that the bridge uses, as
// FlutterChannels.h, FlutterCodecs.h, FlutterPluginMacOS.h and
// FlutterPluginRegistrarMacOS.h declare them.
#ifndef TARQ_STUB_FLUTTERMACOS_H_
#define TARQ_STUB_FLUTTERMACOS_H_

#import <Foundation/Foundation.h>

#define FLUTTER_DARWIN_EXPORT __attribute__((visibility("default")))

NS_ASSUME_NONNULL_BEGIN

// FlutterBinaryMessenger.h

FLUTTER_DARWIN_EXPORT
@protocol FlutterBinaryMessenger <NSObject>
@end

// FlutterCodecs.h

FLUTTER_DARWIN_EXPORT
@interface FlutterMethodCall : NSObject
@property(readonly, nonatomic) NSString* method;
@property(readonly, nonatomic, nullable) id arguments;
@end

FLUTTER_DARWIN_EXPORT
@interface FlutterError : NSObject
+ (instancetype)errorWithCode:(NSString*)code
                      message:(NSString* _Nullable)message
                      details:(id _Nullable)details;
@end

// FlutterChannels.h

typedef void (^FlutterResult)(id _Nullable result);

FLUTTER_DARWIN_EXPORT
extern NSObject const* FlutterMethodNotImplemented;

FLUTTER_DARWIN_EXPORT
@interface FlutterMethodChannel : NSObject
+ (instancetype)methodChannelWithName:(NSString*)name
                      binaryMessenger:(NSObject<FlutterBinaryMessenger>*)messenger;
@end

typedef void (^FlutterEventSink)(id _Nullable event);

FLUTTER_DARWIN_EXPORT
@protocol FlutterStreamHandler
- (FlutterError* _Nullable)onListenWithArguments:(id _Nullable)arguments
                                       eventSink:(FlutterEventSink)events;
- (FlutterError* _Nullable)onCancelWithArguments:(id _Nullable)arguments;
@end

FLUTTER_DARWIN_EXPORT
extern NSObject const* FlutterEndOfEventStream;

FLUTTER_DARWIN_EXPORT
@interface FlutterEventChannel : NSObject
+ (instancetype)eventChannelWithName:(NSString*)name
                     binaryMessenger:(NSObject<FlutterBinaryMessenger>*)messenger;
- (void)setStreamHandler:(NSObject<FlutterStreamHandler>* _Nullable)handler;
@end

// FlutterPluginMacOS.h

@protocol FlutterPluginRegistrar;

FLUTTER_DARWIN_EXPORT
@protocol FlutterPlugin <NSObject>
+ (void)registerWithRegistrar:(id<FlutterPluginRegistrar>)registrar;
@optional
- (void)handleMethodCall:(FlutterMethodCall*)call result:(FlutterResult)result;
@end

// FlutterPluginRegistrarMacOS.h

FLUTTER_DARWIN_EXPORT
@protocol FlutterPluginRegistrar <NSObject>
@property(nonnull, readonly) id<FlutterBinaryMessenger> messenger;
- (void)addMethodCallDelegate:(nonnull id<FlutterPlugin>)delegate
                      channel:(nonnull FlutterMethodChannel*)channel;
@end

NS_ASSUME_NONNULL_END

#endif  // TARQ_STUB_FLUTTERMACOS_H_
