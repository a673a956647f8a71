// The engine's cumulative upload and download byte counts, as its Clash API
// reports them.
#ifndef TARQ_CLASH_TRAFFIC_TOTALS_H_
#define TARQ_CLASH_TRAFFIC_TOTALS_H_

#include <cmath>
#include <cstdint>
#include <limits>

namespace tarq {

struct TrafficTotals {
  int64_t up = 0;
  int64_t down = 0;
  friend bool operator==(const TrafficTotals&, const TrafficTotals&) = default;
};

// A JSON number as a total: truncated toward zero, saturated to the signed
// 64-bit range.
inline int64_t totalFromDouble(double number) {
  if (std::isnan(number)) {
    return 0;
  }
  if (number >= 0x1p63) {
    return std::numeric_limits<int64_t>::max();
  }
  if (number < -0x1p63) {
    return std::numeric_limits<int64_t>::min();
  }
  return static_cast<int64_t>(number);
}

inline int64_t totalFromUnsigned(uint64_t number) {
  constexpr auto kMax = static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
  return number > kMax ? std::numeric_limits<int64_t>::max() : static_cast<int64_t>(number);
}

}  // namespace tarq

#endif  // TARQ_CLASH_TRAFFIC_TOTALS_H_
