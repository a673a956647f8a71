// Stub of <MacTypes.h>: the fixed-size integer types and the status code
// type that Core Foundation and the Security framework use.
#ifndef TARQ_STUB_MACTYPES_H_
#define TARQ_STUB_MACTYPES_H_

#include <stdint.h>

typedef unsigned char Boolean;
typedef uint8_t UInt8;
typedef uint32_t UInt32;
typedef int32_t SInt32;
typedef SInt32 OSStatus;

#endif  // TARQ_STUB_MACTYPES_H_
