// Stub of <AppKit/AppKit.h>: the classes that Flutter's macOS headers name
// (NSView) with their superclass, and the application object's global name,
// which every file importing Cocoa sees.
#ifndef TARQ_STUB_APPKIT_H_
#define TARQ_STUB_APPKIT_H_

#import <Foundation/Foundation.h>

#define APPKIT_EXTERN FOUNDATION_EXPORT

NS_ASSUME_NONNULL_BEGIN

@interface NSResponder : NSObject
@end

@interface NSView : NSResponder
@end

@interface NSViewController : NSResponder
@property(strong) NSView* view;
@end

@interface NSWindow : NSResponder
@end

@interface NSApplication : NSResponder
@property(class, readonly, strong) __kindof NSApplication* sharedApplication;
@end

APPKIT_EXTERN __kindof NSApplication* _Null_unspecified NSApp;

NS_ASSUME_NONNULL_END

#endif  // TARQ_STUB_APPKIT_H_
