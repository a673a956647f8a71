// Stub of Darwin's <sys/kauth.h> (xnu bsd/sys/kauth.h): the ids that mean
// "none", with which pthread_setugid_np() gives a thread back the process's
// own credentials.
#ifndef TARQ_STUB_SYS_KAUTH_H_
#define TARQ_STUB_SYS_KAUTH_H_

#pragma clang system_header

#include <sys/types.h>

#define KAUTH_UID_NONE (~(uid_t)0 - 100)
#define KAUTH_GID_NONE (~(gid_t)0 - 100)

#endif  // TARQ_STUB_SYS_KAUTH_H_
