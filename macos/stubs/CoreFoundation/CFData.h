// Stub of <CoreFoundation/CFData.h>: immutable byte buffers.
#ifndef TARQ_STUB_COREFOUNDATION_CFDATA_H_
#define TARQ_STUB_COREFOUNDATION_CFDATA_H_

#include <CoreFoundation/CFBase.h>

typedef const struct CF_BRIDGED_TYPE(NSData) __CFData* CFDataRef;

CF_EXTERN_C_BEGIN
CF_ASSUME_NONNULL_BEGIN

CFDataRef CFDataCreate(CFAllocatorRef _Nullable allocator, const UInt8* _Nullable bytes,
                       CFIndex length);

CF_ASSUME_NONNULL_END
CF_EXTERN_C_END

#endif  // TARQ_STUB_COREFOUNDATION_CFDATA_H_
