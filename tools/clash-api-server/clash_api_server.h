// A Clash API on loopback that answers the endpoints the plug-in calls as
// sing-box answers them. It is the stand-in engine's server, and the tests
// and benchmarks run it in-process as their engine.
//
//   GET  /version          {"version": ..., "premium": true, "meta": true}
//   GET  /proxies/{group}  the group, with "now" and "all" for a selector
//   PUT  /proxies/{group}  {"name": TAG}: 204, 400 or 404
//   GET  /connections      the totals (settable) or the traffic's reply
//
// With a non-empty secret every request to one of these needs exactly
// "Authorization: Bearer SECRET", else 401 {"message":"Unauthorized"}; a path
// none of them serves is 404 "404 page not found", secret or none, as the
// engine's router answers it. Every request is recorded.
//
// Replies are framed as the engine's Go server frames them: up to 2,048
// bytes with their Content-Length, longer ones chunked (any real
// /connections reply with more than a few connections).
//
// Faults: any method and path can be made to answer another status and body,
// after a delay, or to stall; a stalled or delayed answer is released when
// its fault is cleared or replaced (it then gets the normal answer) and ends
// without a reply when the server stops. With `faultControl` a person sets
// them over HTTP: PUT /tarq/fault with {"method", "path", "status", "body",
// "delayMs", "stall"}, DELETE /tarq/fault clears them all.
//
// Connections are kept alive for as long as the client wants, as the engine
// keeps them, however many: an idle one holds no thread (16 serve the
// requests themselves), so idle clients delay no one. stop() ends every
// connection at once, idle ones included.
//
// Thread safety: every method may be called from any thread.
#ifndef TARQ_TOOLS_CLASH_API_SERVER_CLASH_API_SERVER_H_
#define TARQ_TOOLS_CLASH_API_SERVER_CLASH_API_SERVER_H_

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace tarq {

struct RecordedRequest {
  std::string method;
  std::string path;
  std::multimap<std::string, std::string> headers;  // names as sent
  std::string body;
  // The client's TCP port: requests that rode one connection share it.
  int remotePort = 0;

  // The value of header `name` (case-insensitive), if sent.
  std::optional<std::string> header(const std::string& name) const;
};

struct ClashFault {
  int status = 0;    // 0: the normal answer, once the delay is over
  std::string body;  // sent with a status, as application/json
  std::chrono::milliseconds delay{0};
  bool stall = false;  // no answer until cleared, replaced or stopped
};

struct ClashSelector {
  std::vector<std::string> members;
  std::string initial;
};

// The traffic behind GET /connections, for the stand-in engine. Calls are
// serialised by the server.
class ClashTraffic {
 public:
  using Selection = std::map<std::string, std::string>;  // group -> member

  virtual ~ClashTraffic() = default;
  // The body of GET /connections under the selection `now`.
  virtual std::string connections(const Selection& now) = 0;
  // The selection is about to change from `before`.
  virtual void switching(const Selection& before) = 0;
};

struct ClashApiSetup {
  std::string host = "127.0.0.1";
  int port = 0;  // 0: one the system chooses
  std::string secret;
  std::string version = "sing-box 1.11.4";
  // Every outbound by tag with its type, selectors included.
  std::map<std::string, std::string> outboundTypes = {
      {"tarq", "Selector"}, {"direct-a", "Direct"}, {"direct-b", "Direct"}};
  std::map<std::string, ClashSelector> selectors = {
      {"tarq", {{"direct-a", "direct-b"}, "direct-a"}}};
  std::shared_ptr<ClashTraffic> traffic;  // none: the settable totals
  bool faultControl = false;
  bool recordRequests = true;                        // off for a long-running engine
  std::function<void(const std::string& line)> log;  // of selections; may be empty
};

class ClashApiServer {
 public:
  // Listens on the setup's address and serves on a thread of its own.
  // Throws std::runtime_error when it cannot listen.
  explicit ClashApiServer(ClashApiSetup setup = {});
  ~ClashApiServer();
  ClashApiServer(const ClashApiServer&) = delete;
  ClashApiServer& operator=(const ClashApiServer&) = delete;

  int port() const { return port_; }

  void setTotals(int64_t up, int64_t down);
  // The whole body of GET /connections, until setTotals().
  void setConnectionsBody(std::string body);
  void setFault(const std::string& method, const std::string& path, ClashFault fault);
  void clearFaults();

  std::string selected(const std::string& group = "tarq") const;
  std::vector<RecordedRequest> requests() const;
  size_t requestCount(const std::string& method, const std::string& path) const;
  // Connections open right now.
  int openConnections() const;

  // Stops listening and ends every connection; later requests are refused.
  void stop();

 private:
  struct State;
  class Server;
  std::shared_ptr<State> state_;
  std::unique_ptr<Server> server_;
  std::thread thread_;
  int port_ = 0;
  std::atomic<bool> stopCalled_{false};
};

}  // namespace tarq

#endif  // TARQ_TOOLS_CLASH_API_SERVER_CLASH_API_SERVER_H_
