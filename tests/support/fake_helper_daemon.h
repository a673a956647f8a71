// A helper daemon for tests, on a real Unix socket of the test's own.
//
// By default it behaves like a well-mannered daemon: "status" answers
// {"ok":true,"running":R,"pid":P,"build":"fake-1"} (P is kEnginePid while the
// engine runs, else 0), "start" reads the file at "config_path", answers
// {"ok":true} and marks the engine running (when no file can be read there it
// answers {"ok":false,"error":...} and changes nothing), "stop" answers
// {"ok":true} and marks it stopped; anything else gets {"ok":false,...}.
// A responder replaces that behaviour per request; it may also stay silent,
// close without answering or send raw bytes. Every request is recorded, and
// for "start" the configuration file as it stood when the request arrived.
// A request line over 64 KiB is decided on, unread past that, as a null
// request, so a client still writing it sees the connection close.
//
// Thread safety: every method may be called from any thread.
#ifndef TARQ_TESTS_SUPPORT_FAKE_HELPER_DAEMON_H_
#define TARQ_TESTS_SUPPORT_FAKE_HELPER_DAEMON_H_

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

namespace tarq::testing {

// What the daemon does with one connection.
struct FakeReply {
  // Bytes sent as they are (add the line feed yourself for a proper reply).
  std::string bytes;
  // Never answer; hold the connection until the client or the daemon goes.
  bool silent = false;
  // Close the connection without answering.
  bool closeBeforeReading = false;

  // A proper reply line: the compact JSON of `reply` and a line feed.
  static FakeReply json(const nlohmann::json& reply);
  static FakeReply line(std::string text);  // text + "\n"
};

// Decides the reply to one request; std::nullopt falls back to the default
// behaviour described above. `request` is null when the line was not JSON.
// It runs on the daemon's thread.
using FakeResponder = std::function<std::optional<FakeReply>(const nlohmann::json& request)>;

class FakeHelperDaemon {
 public:
  // The "pid" that "status" reports while the engine runs.
  static constexpr int64_t kEnginePid = 4242;

  // Listens on `socketPath` at once; serves one connection at a time.
  explicit FakeHelperDaemon(std::string socketPath);
  // Stops serving and removes the socket file.
  ~FakeHelperDaemon();
  FakeHelperDaemon(const FakeHelperDaemon&) = delete;
  FakeHelperDaemon& operator=(const FakeHelperDaemon&) = delete;

  void setResponder(FakeResponder responder);
  // The engine state the default behaviour reports.
  void setRunning(bool running);

  // Every request line so far, parsed (null when not JSON), in order.
  std::vector<nlohmann::json> requests() const;
  // The "op" of every request so far.
  std::vector<std::string> ops() const;
  // For each "start": the content of "config_path" when the request arrived,
  // or std::nullopt when no file was there.
  std::vector<std::optional<std::string>> configsAtStart() const;

  // Whether `count` requests have arrived within `timeout`.
  bool waitForRequests(size_t count,
                       std::chrono::milliseconds timeout = std::chrono::seconds(10)) const;

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace tarq::testing

#endif  // TARQ_TESTS_SUPPORT_FAKE_HELPER_DAEMON_H_
