// Stub of FlutterMacOS's FlutterAppLifecycleDelegate.h, whole: the
// application notifications that every FlutterPlugin may handle, and the
// registrar that relays them. It imports Cocoa, as the real header does.
#ifndef TARQ_STUB_FLUTTERAPPLIFECYCLEDELEGATE_H_
#define TARQ_STUB_FLUTTERAPPLIFECYCLEDELEGATE_H_

#import <Cocoa/Cocoa.h>
#include <Foundation/Foundation.h>

#import "FlutterMacros.h"

NS_ASSUME_NONNULL_BEGIN

@protocol FlutterAppLifecycleDelegate <NSObject>
@optional
- (void)handleWillFinishLaunching:(NSNotification*)notification;
- (void)handleDidFinishLaunching:(NSNotification*)notification;
- (void)handleWillBecomeActive:(NSNotification*)notification;
- (void)handleDidBecomeActive:(NSNotification*)notification;
- (void)handleWillResignActive:(NSNotification*)notification;
- (void)handleDidResignActive:(NSNotification*)notification;
- (void)handleWillHide:(NSNotification*)notification;
- (void)handleDidHide:(NSNotification*)notification;
- (void)handleWillUnhide:(NSNotification*)notification;
- (void)handleDidUnhide:(NSNotification*)notification;
- (void)handleDidChangeScreenParameters:(NSNotification*)notification;
- (void)handleDidChangeOcclusionState:(NSNotification*)notification API_AVAILABLE(macos(10.9));
- (void)handleWillTerminate:(NSNotification*)notification;
@end

FLUTTER_DARWIN_EXPORT
@interface FlutterAppLifecycleRegistrar : NSObject <FlutterAppLifecycleDelegate>
- (void)addDelegate:(NSObject<FlutterAppLifecycleDelegate>*)delegate;
- (void)removeDelegate:(NSObject<FlutterAppLifecycleDelegate>*)delegate;
@end

NS_ASSUME_NONNULL_END

#endif  // TARQ_STUB_FLUTTERAPPLIFECYCLEDELEGATE_H_
