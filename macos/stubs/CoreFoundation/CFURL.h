// Stub of <CoreFoundation/CFURL.h>: a file URL made from a path.
#ifndef TARQ_STUB_COREFOUNDATION_CFURL_H_
#define TARQ_STUB_COREFOUNDATION_CFURL_H_

#include <CoreFoundation/CFBase.h>

typedef const struct CF_BRIDGED_TYPE(NSURL) __CFURL* CFURLRef;

CF_EXTERN_C_BEGIN
CF_ASSUME_NONNULL_BEGIN

CFURLRef _Nullable CFURLCreateFromFileSystemRepresentation(CFAllocatorRef _Nullable allocator,
                                                           const UInt8* buffer, CFIndex bufLen,
                                                           Boolean isDirectory);

CF_ASSUME_NONNULL_END
CF_EXTERN_C_END

#endif  // TARQ_STUB_COREFOUNDATION_CFURL_H_
