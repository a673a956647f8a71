// Stub of <CoreFoundation/CoreFoundation.h>: the type identifiers that tell a
// CFBoolean from other numbers, and the global names Core Foundation brings
// with it (MacTypes.h and the C integer types).
#ifndef TARQ_STUB_COREFOUNDATION_H_
#define TARQ_STUB_COREFOUNDATION_H_

#include <MacTypes.h>
#include <stdbool.h>
#include <stdint.h>

typedef unsigned long CFTypeID;
typedef const void* CFTypeRef;

#ifdef __cplusplus
extern "C" {
#endif

CFTypeID CFGetTypeID(CFTypeRef cf);
CFTypeID CFBooleanGetTypeID(void);

#ifdef __cplusplus
}
#endif

#endif  // TARQ_STUB_COREFOUNDATION_H_
