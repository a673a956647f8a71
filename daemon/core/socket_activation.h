// A listening socket handed over by a service manager the way systemd does:
// LISTEN_PID names this process, LISTEN_FDS counts the sockets, and the
// first is descriptor 3. The manager then owns the socket file, and starts
// the helper on the first connection.
#ifndef TARQ_DAEMON_CORE_SOCKET_ACTIVATION_H_
#define TARQ_DAEMON_CORE_SOCKET_ACTIVATION_H_

namespace tarq {

inline constexpr int kFirstActivatedDescriptor = 3;

// The handed-over listening Unix stream socket, or -1 when there is none
// (the helper then makes its own). Clears the variables, so that the engine
// does not inherit them. Throws std::runtime_error when the variables name
// this process but descriptor 3 is not a listening Unix stream socket, or
// name more than one socket.
int activatedSocket();

}  // namespace tarq

#endif  // TARQ_DAEMON_CORE_SOCKET_ACTIVATION_H_
