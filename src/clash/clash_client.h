// The client of sing-box's Clash API on 127.0.0.1.
//
// One libcurl handle per client, reused so that the once-a-second request
// rides one keep-alive connection. Every call blocks its thread for at most
// 5 seconds ("clash api: timed out"); a connection that stays idle for 3
// seconds fails earlier with the transport's own text. Proxy settings of the
// environment never apply.
//
// Thread safety: calls are serialised by an internal lock; the plug-in makes
// them from its work queue only.
#ifndef TARQ_CLASH_CLASH_CLIENT_H_
#define TARQ_CLASH_CLASH_CLIENT_H_

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "clash/clash_error.h"
#include "clash/totals_stream_error.h"
#include "clash/traffic_totals.h"

namespace tarq {

class ClashClient {
 public:
  ClashClient(int64_t port, std::string secret);
  ~ClashClient();
  ClashClient(const ClashClient&) = delete;
  ClashClient& operator=(const ClashClient&) = delete;

  int64_t port() const { return port_; }
  const std::string& secret() const { return secret_; }

  // One HTTP exchange with "http://127.0.0.1:" + port + path. Returns the
  // reply body (empty when there is none) for a status of 200 to 299. Throws
  // ClashError: http(status) otherwise, transport(...) when the exchange
  // fails or takes more than 5 seconds.
  std::string request(const std::string& method, const std::string& path,
                      const std::optional<std::string>& body = std::nullopt);

  // "uploadTotal" and "downloadTotal" of GET /connections, read by a
  // TotalsStream as the reply arrives, from its first byte: the client never
  // holds the reply, whatever its size. Throws what request() throws (a
  // reply announced or grown beyond 256 MiB is "reply too large"), and what
  // TotalsStream::finish() throws for a body that is no JSON object:
  // TotalsStreamError, which ends the transfer at the first bad byte, or
  // ClashError::badReply() for an array.
  TrafficTotals totals();

  // Closes the kept-alive connection, if any; the next call opens a new one.
  // The plug-in calls it before the helper stops or replaces the engine. No
  // engine waits for it: sing-box's Close() ends every connection to its
  // Clash API at once, and so does the stand-in engine's server when it
  // stops (it once waited for idle ones, which held every restart up for the
  // helper's 5-second grace). Closed first, the connection to an old engine
  // never outlives it, and the first call after a restart goes out on a new
  // connection to the new engine rather than on one the old engine dropped.
  void closeConnection();

 private:
  struct Impl;
  int64_t port_;
  std::string secret_;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tarq

#endif  // TARQ_CLASH_CLASH_CLIENT_H_
