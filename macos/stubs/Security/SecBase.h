// Stub of <Security/SecBase.h>: the success status and the text of any
// Security framework status.
#ifndef TARQ_STUB_SECURITY_SECBASE_H_
#define TARQ_STUB_SECURITY_SECBASE_H_

#include <CoreFoundation/CFBase.h>

CF_EXTERN_C_BEGIN
CF_ASSUME_NONNULL_BEGIN

enum { errSecSuccess = 0 };

CFStringRef _Nullable SecCopyErrorMessageString(OSStatus status, void* _Nullable reserved);

CF_ASSUME_NONNULL_END
CF_EXTERN_C_END

#endif  // TARQ_STUB_SECURITY_SECBASE_H_
