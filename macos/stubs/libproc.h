// Stub of <libproc.h> (xnu libsyscall/wrappers/libproc/libproc.h): process
// information by pid. proc_pidinfo() answers the number of bytes it filled,
// or 0 or less with errno set; with `arg` 0 it fails (ESRCH) for a process
// that has exited and not yet been reaped.
#ifndef TARQ_STUB_LIBPROC_H_
#define TARQ_STUB_LIBPROC_H_

#pragma clang system_header

#include <mach/message.h>
#include <stdint.h>
#include <sys/proc_info.h>
#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

int proc_pidinfo(int pid, int flavor, uint64_t arg, void* buffer, int buffersize);
int proc_name(int pid, void* buffer, uint32_t buffersize);
int proc_pidpath(int pid, void* buffer, uint32_t buffersize);
int proc_pidpath_audittoken(audit_token_t* audittoken, void* buffer, uint32_t buffersize);

#ifdef __cplusplus
}
#endif

#endif  // TARQ_STUB_LIBPROC_H_
