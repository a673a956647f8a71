// Stub of <CoreFoundation/CFString.h>: strings made from and read back as
// UTF-8.
#ifndef TARQ_STUB_COREFOUNDATION_CFSTRING_H_
#define TARQ_STUB_COREFOUNDATION_CFSTRING_H_

#include <CoreFoundation/CFBase.h>

typedef UInt32 CFStringEncoding;

CF_EXTERN_C_BEGIN
CF_ASSUME_NONNULL_BEGIN

enum { kCFStringEncodingUTF8 = 0x08000100 };

CFTypeID CFStringGetTypeID(void);
CFStringRef _Nullable CFStringCreateWithCString(CFAllocatorRef _Nullable alloc, const char* cStr,
                                                CFStringEncoding encoding);
CFIndex CFStringGetLength(CFStringRef theString);
CFIndex CFStringGetMaximumSizeForEncoding(CFIndex length, CFStringEncoding encoding);
Boolean CFStringGetCString(CFStringRef theString, char* buffer, CFIndex bufferSize,
                           CFStringEncoding encoding);

CF_ASSUME_NONNULL_END
CF_EXTERN_C_END

#endif  // TARQ_STUB_COREFOUNDATION_CFSTRING_H_
