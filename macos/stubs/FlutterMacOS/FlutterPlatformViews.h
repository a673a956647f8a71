// Stub of FlutterMacOS's FlutterPlatformViews.h, whole: the platform view
// factory that the plug-in registrar accepts. The first method's name is
// spelled as the real header spells it.
#ifndef TARQ_STUB_FLUTTERPLATFORMVIEWS_H_
#define TARQ_STUB_FLUTTERPLATFORMVIEWS_H_

#import <AppKit/AppKit.h>

#import "FlutterCodecs.h"
#import "FlutterMacros.h"

@protocol FlutterPlatformViewFactory <NSObject>
- (nonnull NSView*)createWithviewIdentifier:(int64_t)viewId arguments:(nullable id)args;
@optional
- (nullable NSObject<FlutterMessageCodec>*)createArgsCodec;
@end

#endif  // TARQ_STUB_FLUTTERPLATFORMVIEWS_H_
