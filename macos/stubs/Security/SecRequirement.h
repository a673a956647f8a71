// Stub of <Security/SecRequirement.h>: requirements compiled from the text
// of the code signing requirement language.
#ifndef TARQ_STUB_SECURITY_SECREQUIREMENT_H_
#define TARQ_STUB_SECURITY_SECREQUIREMENT_H_

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFError.h>
#include <Security/CSCommon.h>

CF_EXTERN_C_BEGIN
CF_ASSUME_NONNULL_BEGIN

OSStatus SecRequirementCreateWithStringAndErrors(
    CFStringRef text, SecCSFlags flags, CFErrorRef* errors,
    SecRequirementRef* _Nonnull CF_RETURNS_RETAINED requirement);

CF_ASSUME_NONNULL_END
CF_EXTERN_C_END

#endif  // TARQ_STUB_SECURITY_SECREQUIREMENT_H_
