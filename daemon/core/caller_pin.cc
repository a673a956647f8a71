#include "caller_pin.h"

namespace tarq {

std::string describe(const ProcessStamp& stamp) {
  return "pid " + std::to_string(stamp.pid) + " version " + std::to_string(stamp.version);
}

std::string pinBroken(const ProcessStamp& accepted, const std::optional<ProcessStamp>& now) {
  if (!now) {
    return "the calling process can no longer be identified";
  }
  if (now->pid != accepted.pid) {
    return "the connection changed hands after it was accepted (" + describe(accepted) + ", now " +
           describe(*now) + ")";
  }
  if (now->version != accepted.version) {
    return "the calling process ran another program after it connected (" + describe(accepted) +
           ", now " + describe(*now) + ")";
  }
  return "";
}

}  // namespace tarq
