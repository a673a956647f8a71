// Socket and pipe calls the daemon makes the same way on Linux and macOS:
// every descriptor is closed on exec (the engine inherits none of them), and no
// write to a gone peer raises SIGPIPE. On Linux the flag comes with the
// descriptor (SOCK_CLOEXEC, accept4, pipe2); macOS has none of them, so the flag is set
// a moment later, and the engine's spawn (POSIX_SPAWN_CLOEXEC_DEFAULT) is
// what keeps a descriptor made in that moment from it.
#ifndef TARQ_DAEMON_CORE_SOCKET_CALLS_H_
#define TARQ_DAEMON_CORE_SOCKET_CALLS_H_

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace tarq {

#if defined(MSG_NOSIGNAL)
inline constexpr int kNoSigPipe = MSG_NOSIGNAL;
#else
inline constexpr int kNoSigPipe = 0;  // the daemon ignores SIGPIPE there
#endif

// A close-on-exec socket, non-blocking when asked; -1 with errno on failure.
inline int openSocket(int family, bool nonBlocking) {
#if defined(SOCK_CLOEXEC)
  return socket(family, SOCK_STREAM | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
#else
  int made = socket(family, SOCK_STREAM, 0);
  if (made >= 0) {
    fcntl(made, F_SETFD, FD_CLOEXEC);
    if (nonBlocking) {
      fcntl(made, F_SETFL, fcntl(made, F_GETFL) | O_NONBLOCK);
    }
  }
  return made;
#endif
}

// Accepts a connection as a blocking, close-on-exec descriptor, whatever
// the listener's own flags; -1 when none is waiting.
inline int acceptConnection(int listener) {
#if defined(SOCK_CLOEXEC)
  return accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
#else
  int accepted = accept(listener, nullptr, nullptr);
  if (accepted >= 0) {
    fcntl(accepted, F_SETFD, FD_CLOEXEC);
    fcntl(accepted, F_SETFL, fcntl(accepted, F_GETFL) & ~O_NONBLOCK);
  }
  return accepted;
#endif
}

// A close-on-exec pipe; false with errno on failure.
inline bool openPipe(int ends[2]) {
#if defined(O_CLOEXEC) && !defined(__APPLE__)
  return pipe2(ends, O_CLOEXEC) == 0;
#else
  if (pipe(ends) != 0) {
    return false;
  }
  fcntl(ends[0], F_SETFD, FD_CLOEXEC);
  fcntl(ends[1], F_SETFD, FD_CLOEXEC);
  return true;
#endif
}

}  // namespace tarq

#endif  // TARQ_DAEMON_CORE_SOCKET_CALLS_H_
