// Stub of <Security/SecStaticCode.h>: code on disk found by its path and
// checked for a valid signature.
#ifndef TARQ_STUB_SECURITY_SECSTATICCODE_H_
#define TARQ_STUB_SECURITY_SECSTATICCODE_H_

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFURL.h>
#include <Security/CSCommon.h>

CF_EXTERN_C_BEGIN
CF_ASSUME_NONNULL_BEGIN

OSStatus SecStaticCodeCreateWithPath(CFURLRef path, SecCSFlags flags,
                                     SecStaticCodeRef* _Nonnull CF_RETURNS_RETAINED staticCode);

CF_ENUM(uint32_t){
    kSecCSCheckAllArchitectures = 1 << 0,
    kSecCSDoNotValidateExecutable = 1 << 1,
    kSecCSDoNotValidateResources = 1 << 2,
    kSecCSBasicValidateOnly = kSecCSDoNotValidateExecutable | kSecCSDoNotValidateResources,
    kSecCSCheckNestedCode = 1 << 3,
    kSecCSStrictValidate = 1 << 4,
};

OSStatus SecStaticCodeCheckValidity(SecStaticCodeRef staticCode, SecCSFlags flags,
                                    SecRequirementRef _Nullable requirement);

CF_ASSUME_NONNULL_END
CF_EXTERN_C_END

#endif  // TARQ_STUB_SECURITY_SECSTATICCODE_H_
