// Stub of <CoreFoundation/CFError.h>: error objects and their descriptions.
#ifndef TARQ_STUB_COREFOUNDATION_CFERROR_H_
#define TARQ_STUB_COREFOUNDATION_CFERROR_H_

#include <CoreFoundation/CFBase.h>

typedef struct CF_BRIDGED_TYPE(NSError) __CFError* CFErrorRef;

CF_EXTERN_C_BEGIN
CF_ASSUME_NONNULL_BEGIN

CFStringRef CFErrorCopyDescription(CFErrorRef err);

CF_ASSUME_NONNULL_END
CF_EXTERN_C_END

#endif  // TARQ_STUB_COREFOUNDATION_CFERROR_H_
