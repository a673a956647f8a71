// Made-up traffic for the stand-in engine: cumulative totals that grow at a
// rate that wanders over time and depends on the selected outbound (so that
// switching outbounds shows), and a fixed set of connections in sing-box's
// shape that share those totals.
//
// Thread safety: none; the server serialises access.
#ifndef TARQ_TOOLS_SIMENGINE_SYNTHETIC_TRAFFIC_H_
#define TARQ_TOOLS_SIMENGINE_SYNTHETIC_TRAFFIC_H_

#include <chrono>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

namespace tarq {

class SyntheticTraffic {
 public:
  using Clock = std::chrono::steady_clock;

  SyntheticTraffic(int connections, Clock::time_point start);

  // Adds the bytes of the time since the last call, at the rates of the
  // outbound ranked `rank` in its group. Totals never decrease.
  void advance(Clock::time_point now, size_t rank);

  int64_t uploadTotal() const { return up_; }
  int64_t downloadTotal() const { return down_; }

  // The reply of GET /connections as sing-box shapes it: "connections",
  // "downloadTotal", "memory", "uploadTotal". Each entry's chain runs from
  // `leaf` to `group`.
  nlohmann::json connectionsReply(const std::string& leaf, const std::string& group) const;

 private:
  struct Entry {
    std::string id;
    std::string host;
    int sourcePort = 0;
    double share = 0;  // of the totals
  };

  const Clock::time_point start_;
  const std::string startText_;  // RFC 3339 with nanoseconds, UTC
  Clock::time_point last_;
  double upExact_ = 0;
  double downExact_ = 0;
  int64_t up_ = 0;
  int64_t down_ = 0;
  std::vector<Entry> entries_;
};

}  // namespace tarq

#endif  // TARQ_TOOLS_SIMENGINE_SYNTHETIC_TRAFFIC_H_
