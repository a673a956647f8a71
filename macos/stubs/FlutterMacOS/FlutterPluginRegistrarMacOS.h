// Stub of FlutterMacOS's FlutterPluginRegistrarMacOS.h, whole: the registrar
// that +registerWithRegistrar: receives, and the registry that hands it out.
#ifndef TARQ_STUB_FLUTTERPLUGINREGISTRARMACOS_H_
#define TARQ_STUB_FLUTTERPLUGINREGISTRARMACOS_H_

#import <Cocoa/Cocoa.h>

#import "FlutterBinaryMessenger.h"
#import "FlutterChannels.h"
#import "FlutterMacros.h"
#import "FlutterPlatformViews.h"
#import "FlutterPluginMacOS.h"
#import "FlutterTexture.h"

FLUTTER_DARWIN_EXPORT
@protocol FlutterPluginRegistrar <NSObject>
@property(nonnull, readonly) id<FlutterBinaryMessenger> messenger;
@property(nonnull, readonly) id<FlutterTextureRegistry> textures;
@property(nullable, readonly) NSView* view;
- (nullable NSView*)viewForId:(uint64_t)viewId;
- (void)addMethodCallDelegate:(nonnull id<FlutterPlugin>)delegate
                      channel:(nonnull FlutterMethodChannel*)channel;
- (void)registerViewFactory:(nonnull NSObject<FlutterPlatformViewFactory>*)factory
                     withId:(nonnull NSString*)factoryId;
@end

@protocol FlutterPluginRegistry <NSObject>
- (nonnull id<FlutterPluginRegistrar>)registrarForPlugin:(nonnull NSString*)pluginKey;
@end

#endif  // TARQ_STUB_FLUTTERPLUGINREGISTRARMACOS_H_
