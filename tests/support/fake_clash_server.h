// A Clash API on loopback for tests, answering as sing-box does: GET
// /version, PUT /proxies/tarq (204 for a member of the selector, 400 otherwise,
// 404 for another group), GET /connections with settable totals, and 401
// {"message":"Unauthorized"} without the right bearer secret. Every request is
// recorded with its method, path, headers and body. An override makes any
// endpoint answer another status or hang.
//
// Thread safety: every method may be called from any thread.
#ifndef TARQ_TESTS_SUPPORT_FAKE_CLASH_SERVER_H_
#define TARQ_TESTS_SUPPORT_FAKE_CLASH_SERVER_H_

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tarq::testing {

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

struct FakeResponse {
  int status = 200;
  std::string body;
  // Wait this long before answering (the server holds the connection).
  std::chrono::milliseconds delay{0};
};

class FakeClashServer {
 public:
  // Listens on 127.0.0.1 at an ephemeral port, serving at once.
  explicit FakeClashServer(std::string secret = "",
                           std::vector<std::string> outbounds = {"direct-a", "direct-b"});
  ~FakeClashServer();
  FakeClashServer(const FakeClashServer&) = delete;
  FakeClashServer& operator=(const FakeClashServer&) = delete;

  int port() const;

  void setTotals(int64_t up, int64_t down);
  // The whole body of GET /connections, replacing the totals-based one.
  void setConnectionsBody(std::string body);
  // Answer `method` `path` with `response` instead of the engine's behaviour,
  // until cleared.
  void overrideResponse(const std::string& method, const std::string& path, FakeResponse response);
  void clearOverrides();

  // The outbound most recently selected through PUT /proxies/tarq.
  std::string selected() const;
  std::vector<RecordedRequest> requests() const;
  size_t requestCount(const std::string& method, const std::string& path) const;

  // Stops listening; later requests are refused.
  void stop();

 private:
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace tarq::testing

#endif  // TARQ_TESTS_SUPPORT_FAKE_CLASH_SERVER_H_
