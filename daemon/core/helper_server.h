// The helper's Unix socket: one request line per connection, one reply line.
//
// The socket file is made connectable by every user (mode 0666): the caller
// policy identifies each connection the moment it is accepted, before a byte
// is read, so that a caller who is not allowed learns why at once. The
// accepting thread only reads what the kernel records of the peer and gives
// the verdicts that cost nothing; a verdict that takes time (the user
// database, a code signature) is made on the connection's own thread. An
// admitted connection has a deadline for its request line, and the policy's
// pin (caller_pin.h) is checked again right before the request is handled.
// Each caller (uid) holds only a few of the slots, so that idle, stuck or
// slow-to-judge connections of one caller hold up nobody else.
//
// Refusals are logged through a RefusalLog: at most one line per caller per
// minute, however fast a refused caller connects.
//
// Thread safety: serve() runs on one thread; the handler is called from the
// connection threads, several at once.
#ifndef TARQ_DAEMON_CORE_HELPER_SERVER_H_
#define TARQ_DAEMON_CORE_HELPER_SERVER_H_

#include <poll.h>
#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "caller_policy.h"
#include "refusal_log.h"
#include "steady_now.h"

namespace tarq {

class HelperServer {
 public:
  struct Options {
    std::string socketPath;
    std::chrono::milliseconds requestDeadline{5000};
    size_t maxConnections = 32;
    size_t maxConnectionsPerCaller = 4;
    size_t maxRequestBytes = 65536;
    // The clock of the refusal log's minute.
    SteadyNow now = realSteadyNow();
  };
  // Returns the reply line (without line feed) to a request line.
  using Handler = std::function<std::string(const std::string& line, const CallerVerdict& caller)>;
  using Log = std::function<void(const std::string& line)>;

  // `policy` must outlive the server.
  HelperServer(Options options, const CallerPolicy& policy, Handler handler, Log log);
  // Waits for the connections in progress, then removes the socket file if
  // it is still the one this server made.
  ~HelperServer();
  HelperServer(const HelperServer&) = delete;
  HelperServer& operator=(const HelperServer&) = delete;

  // Creates the socket; the path appears only once it listens, open to
  // every local user (the caller policy decides who is served). Replaces a
  // stale socket file that nobody listens on; refuses to touch anything else
  // at the path, or a socket that answers. Throws std::runtime_error.
  void bind();

  // Serves on `listener`, a socket already bound and listening that a
  // service manager hands over; the socket file stays the manager's.
  void adopt(int listener);

  // Accepts connections until `stopDescriptor` becomes readable.
  void serve(int stopDescriptor);

 private:
  enum class ReadOutcome { kLine, kClosed, kTimedOut, kTooLong };

  // A socket bound at `path`, mode 0666, listening; records its inode.
  int listenOn(const std::string& path);
  void admit(int connection);
  // The connection's thread: judges the caller unless `verdict` is given,
  // then serves its request or refuses it; frees the slot and closes.
  void serveConnection(int connection, const CallerIdentity& caller,
                       std::optional<CallerVerdict> verdict);
  CallerVerdict judge(const CallerIdentity& caller) const;
  // The reply to the connection's request; "" when the peer sent none.
  std::string serveRequest(int connection, const CallerIdentity& caller,
                           const CallerVerdict& verdict);
  ReadOutcome readRequest(int connection, std::string& line) const;
  static void writeReply(int connection, const std::string& reply);
  // Waits a moment for the peer of a refused connection to close, so that a
  // peer that writes before it reads is not met by a broken pipe.
  static void lingerForPeer(int connection);
  void releaseSlot(uid_t uid);
  // A reply to a connection turned away by the accepting thread, which must
  // not wait for a peer that does not read.
  void turnAway(int connection, const std::string& reason);
  // Closes the turned-away connections whose peers have closed, or whose
  // time is up.
  void endLingering(const std::vector<pollfd>& watched);
  // How long serve() may wait for the next event: the first lingering
  // connection's end, or the end of the refusal log's next minute.
  int pollTimeout();

  // Turned-away connections stay open up to kLinger, at most kMaxLingering
  // of them (the oldest goes first); only the serving thread touches them.
  struct Lingering {
    int connection;
    std::chrono::steady_clock::time_point until;
  };
  static constexpr auto kLinger = std::chrono::milliseconds(1000);
  static constexpr size_t kMaxLingering = 64;
  std::deque<Lingering> lingering_;

  const Options options_;
  const CallerPolicy& policy_;
  const Handler handler_;
  const Log log_;
  RefusalLog refusals_;
  int listener_ = -1;
  dev_t socketDevice_ = 0;
  ino_t socketInode_ = 0;

  std::mutex mutex_;
  std::condition_variable idle_;
  size_t active_ = 0;                  // connection threads still running
  std::map<uid_t, size_t> perCaller_;  // of those, by caller
};

}  // namespace tarq

#endif  // TARQ_DAEMON_CORE_HELPER_SERVER_H_
