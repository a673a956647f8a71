// Stub of <Security/CSCommon.h>: the object types and flags of Code Signing
// Services and the status codes that tell an unsigned caller from one that
// fails a requirement.
#ifndef TARQ_STUB_SECURITY_CSCOMMON_H_
#define TARQ_STUB_SECURITY_CSCOMMON_H_

#include <CoreFoundation/CFBase.h>
#include <Security/SecBase.h>

CF_EXTERN_C_BEGIN
CF_ASSUME_NONNULL_BEGIN

enum {
  errSecCSUnsigned = -67062,
  errSecCSReqFailed = -67050,
};

// Running code, and code on disk.
typedef struct CF_BRIDGED_TYPE(id) __SecCode* SecCodeRef;
typedef const struct CF_BRIDGED_TYPE(id) __SecCode* SecStaticCodeRef;
// A compiled code requirement.
typedef struct CF_BRIDGED_TYPE(id) __SecRequirement* SecRequirementRef;

typedef CF_OPTIONS(uint32_t, SecCSFlags) {
  kSecCSDefaultFlags = 0,
};

CF_ASSUME_NONNULL_END
CF_EXTERN_C_END

#endif  // TARQ_STUB_SECURITY_CSCOMMON_H_
