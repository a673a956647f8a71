// Stub of Darwin's <sys/socket.h> over the host's: Darwin has neither
// SOCK_CLOEXEC nor SOCK_NONBLOCK (a socket gets its flags from fcntl()), so
// glibc's, which are enumerators and macros at once, are kept out of sight:
// "#ifdef SOCK_CLOEXEC" is false, and a use is an undeclared identifier.
#ifndef TARQ_STUB_SYS_SOCKET_H_
#define TARQ_STUB_SYS_SOCKET_H_

#pragma clang system_header

#define SOCK_CLOEXEC tarq_stub_hidden_glibc_SOCK_CLOEXEC
#define SOCK_NONBLOCK tarq_stub_hidden_glibc_SOCK_NONBLOCK
#include_next <sys/socket.h>
#undef SOCK_CLOEXEC
#undef SOCK_NONBLOCK

#endif  // TARQ_STUB_SYS_SOCKET_H_
