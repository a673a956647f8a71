// Stub of <Cocoa/Cocoa.h>, the umbrella that FlutterMacOS imports: Foundation
// and AppKit.
#ifndef TARQ_STUB_COCOA_H_
#define TARQ_STUB_COCOA_H_

#import <AppKit/AppKit.h>
#import <Foundation/Foundation.h>

#endif  // TARQ_STUB_COCOA_H_
