#include "helper_server.h"

#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <stdexcept>
#include <thread>

#include "socket_calls.h"

namespace tarq {
namespace {

std::string systemError(const std::string& what, int error) {
  return what + ": " + strerror(error);
}

sockaddr_un addressOf(const std::string& path) {
  sockaddr_un address{};
  address.sun_family = AF_UNIX;
  if (path.empty() || path.size() >= sizeof address.sun_path) {
    throw std::runtime_error("socket path too long (at most " +
                             std::to_string(sizeof address.sun_path - 1) + " bytes): " + path);
  }
  memcpy(address.sun_path, path.c_str(), path.size() + 1);
  return address;
}

// `text` as a JSON string; reasons are plain ASCII text of the daemon's.
std::string quotedText(const std::string& text) {
  std::string quoted = "\"";
  for (char c : text) {
    if (c == '"' || c == '\\') {
      quoted += '\\';
    }
    quoted += static_cast<unsigned char>(c) < 0x20 ? ' ' : c;
  }
  return quoted + "\"";
}

// {"ok":false,"error":REASON}, without its line feed.
std::string errorReply(const std::string& reason) {
  return R"({"ok":false,"error":)" + quotedText(reason) + "}";
}

bool somebodyListens(const sockaddr_un& address) {
  int probe = openSocket(AF_UNIX, false);
  if (probe < 0) {
    return false;
  }
  bool answered = connect(probe, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0;
  close(probe);
  return answered;
}

}  // namespace

HelperServer::HelperServer(Options options, const CallerPolicy& policy, Handler handler, Log log)
    : options_(std::move(options)),
      policy_(policy),
      handler_(std::move(handler)),
      log_(std::move(log)),
      refusals_(log_, options_.now) {}

HelperServer::~HelperServer() {
  {
    std::unique_lock lock(mutex_);
    idle_.wait(lock, [this] { return active_ == 0; });
  }
  for (const Lingering& turnedAway : lingering_) {
    close(turnedAway.connection);
  }
  if (listener_ < 0) {
    return;
  }
  close(listener_);
  struct stat info {};
  if (lstat(options_.socketPath.c_str(), &info) == 0 && info.st_dev == socketDevice_ &&
      info.st_ino == socketInode_) {
    unlink(options_.socketPath.c_str());
  }
}

// The socket is made under a name of its own beside the path, given its mode
// and its backlog there, and only then renamed onto the path. A caller that
// finds the path therefore finds a socket that listens and lets it in, never
// one that refuses the connection (between bind and listen) or is still
// closed to it (between bind and chmod); a stale socket of a daemon that died
// is replaced in the same step.
void HelperServer::bind() {
  const std::string& path = options_.socketPath;
  sockaddr_un address = addressOf(path);
  struct stat existing {};
  if (lstat(path.c_str(), &existing) == 0) {
    if (!S_ISSOCK(existing.st_mode)) {
      throw std::runtime_error(path + " exists and is not a socket; not touching it");
    }
    if (somebodyListens(address)) {
      throw std::runtime_error("another helper already listens on " + path);
    }
  }
  // A path too long for a sibling name is made in place, as before.
  std::string made = path + "~";
  if (made.size() >= sizeof address.sun_path) {
    unlink(path.c_str());
    made = path;
  } else {
    struct stat leftover {};
    if (lstat(made.c_str(), &leftover) == 0) {
      if (!S_ISSOCK(leftover.st_mode)) {
        throw std::runtime_error(made + " exists and is not a socket; not touching it");
      }
      unlink(made.c_str());  // left by a daemon that died while binding
    }
  }
  listener_ = listenOn(made);
  if (made != path && rename(made.c_str(), path.c_str()) != 0) {
    int error = errno;
    close(listener_);
    listener_ = -1;
    unlink(made.c_str());
    throw std::runtime_error(systemError("rename " + made + " to " + path, error));
  }
}

int HelperServer::listenOn(const std::string& path) {
  sockaddr_un address = addressOf(path);
  int listener = openSocket(AF_UNIX, true);
  if (listener < 0) {
    throw std::runtime_error(systemError("socket", errno));
  }
  if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
    int error = errno;
    close(listener);
    throw std::runtime_error(systemError("bind " + path, error));
  }
  struct stat made {};
  if (chmod(path.c_str(), 0666) != 0 || lstat(path.c_str(), &made) != 0 ||
      listen(listener, 64) != 0) {
    int error = errno;
    close(listener);
    unlink(path.c_str());
    throw std::runtime_error(systemError("listen on " + path, error));
  }
  // A rename keeps the inode: the destructor recognises its own socket by it.
  socketDevice_ = made.st_dev;
  socketInode_ = made.st_ino;
  return listener;
}

void HelperServer::adopt(int listener) {
  // Non-blocking, so that a connection given up between poll() and accept()
  // cannot hold the accepting thread.
  fcntl(listener, F_SETFD, FD_CLOEXEC);
  fcntl(listener, F_SETFL, fcntl(listener, F_GETFL) | O_NONBLOCK);
  listener_ = listener;
}

void HelperServer::serve(int stopDescriptor) {
  for (;;) {
    std::vector<pollfd> watched = {{stopDescriptor, POLLIN, 0}, {listener_, POLLIN, 0}};
    for (const Lingering& turnedAway : lingering_) {
      watched.push_back({turnedAway.connection, POLLIN, 0});
    }
    if (poll(watched.data(), watched.size(), pollTimeout()) < 0) {
      if (errno == EINTR) {
        continue;
      }
      throw std::runtime_error(systemError("poll", errno));
    }
    refusals_.flush();
    if (watched[0].revents != 0) {
      refusals_.finish();
      return;
    }
    endLingering(watched);
    if ((watched[1].revents & POLLIN) == 0) {
      continue;
    }
    int connection = acceptConnection(listener_);
    if (connection < 0) {
      continue;  // the peer gave up already, or descriptors ran out for now
    }
    admit(connection);
  }
}

int HelperServer::pollTimeout() {
  using std::chrono::milliseconds;
  std::optional<milliseconds> wait;
  if (!lingering_.empty()) {
    wait = std::chrono::duration_cast<milliseconds>(lingering_.front().until -
                                                    std::chrono::steady_clock::now());
  }
  if (auto minuteEnds = refusals_.nextDeadline()) {
    auto untilFlush = std::chrono::duration_cast<milliseconds>(*minuteEnds - options_.now());
    wait = wait ? std::min(*wait, untilFlush) : untilFlush;
  }
  if (!wait) {
    return -1;
  }
  // Rounded up, so that the wait ends after the moment, not just before.
  return static_cast<int>(std::clamp<int64_t>(wait->count() + 1, 0, 24 * 3600 * 1000));
}

void HelperServer::endLingering(const std::vector<pollfd>& watched) {
  auto now = std::chrono::steady_clock::now();
  std::deque<Lingering> kept;
  for (size_t index = 0; index < lingering_.size(); ++index) {
    const Lingering& turnedAway = lingering_[index];
    bool done = now >= turnedAway.until;
    if (!done && watched[index + 2].revents != 0) {
      // Whatever the peer sent is dropped unread; its end of the stream ends
      // the wait.
      char discarded[4096];
      ssize_t count = recv(turnedAway.connection, discarded, sizeof discarded, MSG_DONTWAIT);
      done = count == 0 || (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR);
    }
    if (done) {
      close(turnedAway.connection);
    } else {
      kept.push_back(turnedAway);
    }
  }
  lingering_ = std::move(kept);
}

void HelperServer::admit(int connection) {
  CallerIdentity caller = policy_.identify(connection);
  std::optional<CallerVerdict> verdict =
      caller.known ? policy_.quickVerdict(caller) : refusal(caller, caller.reason);
  if (verdict && !verdict->admitted) {
    refusals_.refused(describeCaller(caller), verdict->reason);
    turnAway(connection, verdict->reason);
    return;
  }
  {
    std::lock_guard lock(mutex_);
    size_t& held = perCaller_[caller.uid];
    bool busy = active_ >= options_.maxConnections || held >= options_.maxConnectionsPerCaller;
    if (!busy) {
      ++active_;
      ++held;
    } else if (held == 0) {
      perCaller_.erase(caller.uid);
    }
    if (busy) {
      turnAway(connection, "the helper is busy; try again");
      return;
    }
  }
  std::thread([this, connection, caller = std::move(caller), verdict = std::move(verdict)] {
    serveConnection(connection, caller, verdict);
  }).detach();
}

void HelperServer::serveConnection(int connection, const CallerIdentity& caller,
                                   std::optional<CallerVerdict> verdict) {
  if (!verdict) {
    verdict = judge(caller);
  }
  if (!verdict->admitted) {
    refusals_.refused(describeCaller(caller), verdict->reason);
    writeReply(connection, errorReply(verdict->reason));
    shutdown(connection, SHUT_WR);
    // The slot stays taken while the connection lingers: a caller who is
    // refused again and again holds no more than its share.
    lingerForPeer(connection);
    close(connection);
    releaseSlot(caller.uid);
    return;
  }
  std::string reply = serveRequest(connection, caller, *verdict);
  // The slot is free once the request is served: a caller who reads the
  // reply and asks again at once must find it free.
  releaseSlot(caller.uid);
  if (!reply.empty()) {
    writeReply(connection, reply);
  }
  close(connection);
}

CallerVerdict HelperServer::judge(const CallerIdentity& caller) const {
  try {
    return policy_.judge(caller);
  } catch (const std::exception& error) {
    return refusal(caller, std::string("the caller could not be judged: ") + error.what());
  }
}

void HelperServer::releaseSlot(uid_t uid) {
  std::lock_guard done(mutex_);
  if (--perCaller_[uid] == 0) {
    perCaller_.erase(uid);
  }
  --active_;
  idle_.notify_all();
}

void HelperServer::turnAway(int connection, const std::string& reason) {
  std::string line = errorReply(reason) + "\n";
  // One short line fits any socket's send buffer: sent whole or not at all.
  send(connection, line.data(), line.size(), kNoSigPipe | MSG_DONTWAIT);
  // The connection stays open a moment, so that a client that writes its
  // request before it reads (as the plug-in does) is not met by a broken
  // pipe but reads the reason.
  shutdown(connection, SHUT_WR);
  if (lingering_.size() >= kMaxLingering) {
    close(lingering_.front().connection);
    lingering_.pop_front();
  }
  lingering_.push_back({connection, std::chrono::steady_clock::now() + kLinger});
}

void HelperServer::lingerForPeer(int connection) {
  auto deadline = std::chrono::steady_clock::now() + kLinger;
  char discarded[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    pollfd watched{connection, POLLIN, 0};
    if (left.count() <= 0 || poll(&watched, 1, static_cast<int>(left.count()) + 1) == 0) {
      return;
    }
    ssize_t count = recv(connection, discarded, sizeof discarded, MSG_DONTWAIT);
    if (count == 0 || (count < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
      return;
    }
  }
}

std::string HelperServer::serveRequest(int connection, const CallerIdentity& caller,
                                       const CallerVerdict& verdict) {
  timeval sendTimeout{5, 0};
  setsockopt(connection, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
  std::string line;
  switch (readRequest(connection, line)) {
    case ReadOutcome::kLine:
      break;
    case ReadOutcome::kClosed:
      return "";
    case ReadOutcome::kTimedOut:
      log_(describeCaller(caller) + ": no request within the deadline");
      return R"({"ok":false,"error":"no request line within the deadline"})";
    case ReadOutcome::kTooLong:
      log_(describeCaller(caller) + ": request too long");
      return R"({"ok":false,"error":"request too long"})";
  }
  // Right before acting: the peer must still be the process judged at
  // accept (where the kernel's record of it can change).
  if (caller.stamp) {
    std::string broken = pinBroken(*caller.stamp, policy_.currentStamp(connection));
    if (!broken.empty()) {
      refusals_.refused(describeCaller(caller), broken);
      return errorReply(broken);
    }
  }
  try {
    return handler_(line, verdict);
  } catch (const std::exception& error) {
    log_(std::string("request failed: ") + error.what());
    return R"({"ok":false,"error":"internal error"})";
  }
}

// Reads up to the first line feed (a request may also end with the stream)
// within the request deadline.
HelperServer::ReadOutcome HelperServer::readRequest(int connection, std::string& line) const {
  auto deadline = std::chrono::steady_clock::now() + options_.requestDeadline;
  char buffer[4096];
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - std::chrono::steady_clock::now());
    if (left.count() <= 0) {
      return ReadOutcome::kTimedOut;
    }
    pollfd watched{connection, POLLIN, 0};
    int ready = poll(&watched, 1, static_cast<int>(left.count()));
    if (ready <= 0) {
      continue;  // interrupted, or the deadline check above ends the wait
    }
    ssize_t count = recv(connection, buffer, sizeof buffer, 0);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      return line.empty() ? ReadOutcome::kClosed : ReadOutcome::kLine;
    }
    size_t searchFrom = line.size();
    line.append(buffer, static_cast<size_t>(count));
    auto end = line.find('\n', searchFrom);
    // The limit holds for the line itself, wherever a read happens to end.
    if ((end == std::string::npos ? line.size() : end) > options_.maxRequestBytes) {
      return ReadOutcome::kTooLong;
    }
    if (end != std::string::npos) {
      line.resize(end);
      return ReadOutcome::kLine;
    }
  }
}

void HelperServer::writeReply(int connection, const std::string& reply) {
  std::string bytes = reply + "\n";
  size_t sent = 0;
  while (sent < bytes.size()) {
    ssize_t count = send(connection, bytes.data() + sent, bytes.size() - sent, kNoSigPipe);
    if (count < 0 && errno == EINTR) {
      continue;
    }
    if (count <= 0) {
      return;
    }
    sent += static_cast<size_t>(count);
  }
}

}  // namespace tarq
