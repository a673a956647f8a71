// Stub of FlutterMacOS's FlutterPluginMacOS.h, whole: the protocol that the
// plug-in's class adopts, with the application lifecycle callbacks it
// inherits.
#ifndef TARQ_STUB_FLUTTERPLUGINMACOS_H_
#define TARQ_STUB_FLUTTERPLUGINMACOS_H_

#import <Foundation/Foundation.h>

#import "FlutterAppLifecycleDelegate.h"
#import "FlutterChannels.h"
#import "FlutterCodecs.h"
#import "FlutterMacros.h"

NS_ASSUME_NONNULL_BEGIN

@protocol FlutterPluginRegistrar;

FLUTTER_DARWIN_EXPORT
@protocol FlutterPlugin <NSObject, FlutterAppLifecycleDelegate>
+ (void)registerWithRegistrar:(id<FlutterPluginRegistrar>)registrar;
@optional
- (void)handleMethodCall:(FlutterMethodCall*)call result:(FlutterResult)result;
@end

NS_ASSUME_NONNULL_END

#endif  // TARQ_STUB_FLUTTERPLUGINMACOS_H_
