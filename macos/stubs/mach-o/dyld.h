// Stub of <mach-o/dyld.h> (dyld include/mach-o/dyld.h): the path of the
// running program's main executable, as it was started (not resolved).
// Returns 0, or -1 with *bufsize set to the size needed.
#ifndef TARQ_STUB_MACH_O_DYLD_H_
#define TARQ_STUB_MACH_O_DYLD_H_

#pragma clang system_header

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

extern int _NSGetExecutablePath(char* buf, uint32_t* bufsize);

#ifdef __cplusplus
}
#endif

#endif  // TARQ_STUB_MACH_O_DYLD_H_
