// Stub of Darwin's <sys/un.h>: the host's Unix-domain socket header plus the
// local socket options that Darwin adds, among them LOCAL_PEERTOKEN, the
// peer's audit token.
#ifndef TARQ_STUB_SYS_UN_H_
#define TARQ_STUB_SYS_UN_H_

#pragma clang system_header
#include_next <sys/un.h>

#define SOL_LOCAL 0
#define LOCAL_PEERTOKEN 0x006

#endif  // TARQ_STUB_SYS_UN_H_
