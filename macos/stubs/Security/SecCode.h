// Stub of <Security/SecCode.h>: running code found by its guest attributes
// (here the audit token), checked against a requirement, and read for its
// signing information (signing identifier and team).
#ifndef TARQ_STUB_SECURITY_SECCODE_H_
#define TARQ_STUB_SECURITY_SECCODE_H_

#include <CoreFoundation/CFBase.h>
#include <CoreFoundation/CFDictionary.h>
#include <Security/CSCommon.h>

CF_EXTERN_C_BEGIN
CF_ASSUME_NONNULL_BEGIN

OSStatus SecCodeCopySelf(SecCSFlags flags, SecCodeRef* _Nonnull CF_RETURNS_RETAINED self);

OSStatus SecCodeCopyStaticCode(SecCodeRef code, SecCSFlags flags,
                               SecStaticCodeRef* _Nonnull CF_RETURNS_RETAINED staticCode);

// The value is a CFData holding an audit_token_t.
extern const CFStringRef kSecGuestAttributeAudit;

OSStatus SecCodeCopyGuestWithAttributes(SecCodeRef _Nullable host,
                                        CFDictionaryRef _Nullable attributes, SecCSFlags flags,
                                        SecCodeRef* _Nonnull CF_RETURNS_RETAINED guest);

OSStatus SecCodeCheckValidity(SecCodeRef code, SecCSFlags flags,
                              SecRequirementRef _Nullable requirement);

CF_ENUM(uint32_t){
    kSecCSSigningInformation = 1 << 1,
};

extern const CFStringRef kSecCodeInfoIdentifier;
extern const CFStringRef kSecCodeInfoTeamIdentifier;

OSStatus SecCodeCopySigningInformation(SecStaticCodeRef code, SecCSFlags flags,
                                       CFDictionaryRef* _Nonnull CF_RETURNS_RETAINED information);

CF_ASSUME_NONNULL_END
CF_EXTERN_C_END

#endif  // TARQ_STUB_SECURITY_SECCODE_H_
