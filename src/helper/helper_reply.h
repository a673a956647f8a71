// The decoded reply of the helper daemon.
#ifndef TARQ_HELPER_HELPER_REPLY_H_
#define TARQ_HELPER_HELPER_REPLY_H_

#include <cstdint>
#include <string>

namespace tarq {

struct HelperReply {
  bool ok = false;       // the daemon carried out the command
  bool running = false;  // sing-box runs under the daemon
  int64_t pid = 0;
  std::string error;  // the daemon's refusal, or why sing-box is not running
  std::string build;

  friend bool operator==(const HelperReply&, const HelperReply&) = default;
};

}  // namespace tarq

#endif  // TARQ_HELPER_HELPER_REPLY_H_
