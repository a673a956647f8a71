// The daemon's clock for what it remembers a while (cached verdicts, the
// refusal log's minute): a function, so that tests can move time at will.
#ifndef TARQ_DAEMON_CORE_STEADY_NOW_H_
#define TARQ_DAEMON_CORE_STEADY_NOW_H_

#include <chrono>
#include <functional>

namespace tarq {

using SteadyNow = std::function<std::chrono::steady_clock::time_point()>;

inline SteadyNow realSteadyNow() {
  return [] { return std::chrono::steady_clock::now(); };
}

}  // namespace tarq

#endif  // TARQ_DAEMON_CORE_STEADY_NOW_H_
