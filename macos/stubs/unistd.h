// Stub of Darwin's <unistd.h> (Libc include/unistd.h) over the host's: what
// Darwin adds to it, and syscall() as Darwin declares it. glibc's syscall()
// (another signature, not deprecated) is kept out of sight.
//
// pthread_setugid_np() is declared __deprecated_msg there: a use warns, and
// with -Werror fails, unless the warning is silenced where it is used.
#ifndef TARQ_STUB_UNISTD_H_
#define TARQ_STUB_UNISTD_H_

#pragma clang system_header

#define syscall tarq_stub_hidden_glibc_syscall
#include_next <unistd.h>
#undef syscall

#include <sys/types.h>

#ifdef __cplusplus
extern "C" {
#endif

int getgrouplist(const char*, int, int*, int*);
int getpeereid(int, uid_t*, gid_t*);

__attribute__((
    deprecated("Use of per-thread security contexts is error-prone and discouraged."))) int
    pthread_setugid_np(uid_t, gid_t);
int pthread_getugid_np(uid_t*, gid_t*);

__attribute__((
    deprecated("syscall(2) is unsupported; please switch to a supported interface. For "
               "SYS_kdebug_trace use kdebug_signpost()."))) int
syscall(int, ...);

#ifdef __cplusplus
}
#endif

#endif  // TARQ_STUB_UNISTD_H_
