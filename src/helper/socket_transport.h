// HelperTransport over a Unix-domain stream socket: a fresh connection per
// exchange, the whole request written, the reply read one byte at a time up to
// the first line feed (never past it), at most 65536 bytes.
//
// A daemon that closes early gives a write error; it never raises SIGPIPE.
#ifndef TARQ_HELPER_SOCKET_TRANSPORT_H_
#define TARQ_HELPER_SOCKET_TRANSPORT_H_

#include <cstddef>
#include <string>

#include "helper/helper_transport.h"

namespace tarq {

inline constexpr char kHelperSocketPath[] = "/var/run/orvek-helper.sock";
inline constexpr size_t kMaxSocketPathBytes = 103;
inline constexpr size_t kMaxReplyBytes = 65536;

class SocketTransport final : public HelperTransport {
 public:
  // `timeout`: send and receive time-out in seconds; only whole seconds take
  // effect. `socketPath` is the daemon's socket; tests pass their own.
  explicit SocketTransport(double timeout = 10.0, std::string socketPath = kHelperSocketPath);

  std::string exchange(const std::string& request) override;

  double timeout() const { return timeout_; }
  const std::string& socketPath() const { return socketPath_; }

 private:
  int connect() const;
  static void write(int descriptor, const std::string& bytes);
  static std::string readLine(int descriptor);

  double timeout_;
  std::string socketPath_;
};

}  // namespace tarq

#endif  // TARQ_HELPER_SOCKET_TRANSPORT_H_
