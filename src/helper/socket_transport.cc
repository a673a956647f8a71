#include "helper/socket_transport.h"

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/types.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>
#include <system_error>
#include <utility>

#include "helper/helper_error.h"

namespace tarq {

namespace {

// Where available the write itself refuses to raise SIGPIPE, so the host
// process never needs to change its signal disposition. macOS lacks the flag
// and uses the per-socket SO_NOSIGPIPE option instead.
#ifdef MSG_NOSIGNAL
constexpr int kSendFlags = MSG_NOSIGNAL;
#else
constexpr int kSendFlags = 0;
#endif

// The C library's text for an error number (strerror, but safe to call from
// several threads at once).
std::string systemText(int error) {
  return std::generic_category().message(error);
}

// Closes the descriptor exactly once, on every path out of an exchange.
class Descriptor {
 public:
  explicit Descriptor(int fd) : fd_(fd) {}
  ~Descriptor() { ::close(fd_); }
  Descriptor(const Descriptor&) = delete;
  Descriptor& operator=(const Descriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

// A stream socket closed on exec: the host may start other programs, which
// must not inherit the connection. Where SOCK_CLOEXEC does not exist (macOS)
// the flag is set just after creation; the SDK offers nothing atomic.
int closeOnExecSocket() {
#ifdef SOCK_CLOEXEC
  return ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
#else
  int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
  if (fd >= 0 && ::fcntl(fd, F_SETFD, FD_CLOEXEC) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    return -1;
  }
  return fd;
#endif
}

// BSD-derived systems (macOS) keep the address's length in the address
// itself; others have no such field.
template <typename Address>
void setAddressLength(Address& address) {
  if constexpr (requires { address.sun_len; }) {
    address.sun_len = static_cast<decltype(address.sun_len)>(sizeof(address));
  }
}

bool entryExists(const std::string& path) {
  struct stat info;
  return ::lstat(path.c_str(), &info) == 0;
}

}  // namespace

SocketTransport::SocketTransport(double timeout, std::string socketPath)
    : timeout_(timeout), socketPath_(std::move(socketPath)) {}

std::string SocketTransport::exchange(const std::string& request) {
  // Only a missing entry means "not installed"; an entry nobody listens on is
  // a connection failure.
  if (!entryExists(socketPath_)) {
    throw HelperError::notInstalled();
  }
  Descriptor descriptor(connect());
  write(descriptor.get(), request);
  return readLine(descriptor.get());
}

int SocketTransport::connect() const {
  int fd = closeOnExecSocket();
  if (fd < 0) {
    throw HelperError::io("socket: " + systemText(errno));
  }

  sockaddr_un address;
  std::memset(&address, 0, sizeof(address));
  setAddressLength(address);
  address.sun_family = AF_UNIX;
  // The limit is the smallest sun_path of the supported platforms (104 bytes
  // on macOS) less its terminating NUL, so a path works everywhere or nowhere.
  if (socketPath_.size() > kMaxSocketPathBytes) {
    ::close(fd);
    throw HelperError::io("socket path too long");
  }
  std::memcpy(address.sun_path, socketPath_.c_str(), socketPath_.size() + 1);

#ifdef SO_NOSIGPIPE
  int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &on, sizeof(on));
#endif
  // Only whole seconds take effect; a value below one second means no
  // time-out at all to the socket layer.
  timeval interval{};
  interval.tv_sec = static_cast<time_t>(timeout_);
  interval.tv_usec = 0;
  ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &interval, sizeof(interval));
  ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &interval, sizeof(interval));

  if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
    std::string text = systemText(errno);
    ::close(fd);
    throw HelperError::io("connect: " + text);
  }
  return fd;
}

void SocketTransport::write(int descriptor, const std::string& bytes) {
  // A partial write is continued; an interrupted or timed-out one ends the
  // exchange, as does a daemon that has gone away (EPIPE, never SIGPIPE).
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t result = ::send(descriptor, bytes.data() + sent, bytes.size() - sent, kSendFlags);
    if (result < 1) {
      throw HelperError::io("write: " + systemText(errno));
    }
    sent += static_cast<size_t>(result);
  }
}

std::string SocketTransport::readLine(int descriptor) {
  // One byte per read: whatever the daemon sends after the line feed stays
  // unread in the socket and goes with it.
  std::string line;
  for (;;) {
    char byte = 0;
    ssize_t result = ::read(descriptor, &byte, 1);
    if (result == 0) {
      throw HelperError::io("helper closed the connection");
    }
    if (result < 0) {
      throw HelperError::io("read: " + systemText(errno));
    }
    if (byte == '\n') {
      return line;
    }
    line.push_back(byte);
    if (line.size() > kMaxReplyBytes) {
      throw HelperError::io("reply too long");
    }
  }
}

}  // namespace tarq
