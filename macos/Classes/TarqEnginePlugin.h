// The tarq_engine plug-in for Flutter on macOS. Dart reaches it on the method
// channel "orvek/engine" and the event channel "orvek/engine/events"; the
// engine core behind it is C++, which this header keeps out of the module.
#import <FlutterMacOS/FlutterMacOS.h>

NS_ASSUME_NONNULL_BEGIN

// Created by +registerWithRegistrar: only, which the application's generated
// plug-in registrant calls; the channels keep it.
@interface TarqEnginePlugin : NSObject <FlutterPlugin, FlutterStreamHandler>

- (instancetype)init NS_UNAVAILABLE;
+ (instancetype)new NS_UNAVAILABLE;

@end

NS_ASSUME_NONNULL_END
