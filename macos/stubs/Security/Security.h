// Stub of <Security/Security.h>: the umbrella header, as far as Code Signing
// Services go.
#ifndef TARQ_STUB_SECURITY_SECURITY_H_
#define TARQ_STUB_SECURITY_SECURITY_H_

#include <Security/CSCommon.h>
#include <Security/SecBase.h>
#include <Security/SecCode.h>
#include <Security/SecRequirement.h>
#include <Security/SecStaticCode.h>

#endif  // TARQ_STUB_SECURITY_SECURITY_H_
