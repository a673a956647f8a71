// The human commands of tarqctl. Each runs one engine session (one plug-in,
// as one application run would have) and returns the exit status: 0 on
// success, 1 with "CODE: MESSAGE" on standard error when the plug-in answers
// an error, 2 for a usage error.
//
// A tarqctl process controls only the tunnel it started itself: the plug-in
// keeps its Clash API client in memory. "status" and "stop" work from any
// process (they ask the helper); "select" works in the session of
// `start --follow`, where it can also be typed.
#ifndef TARQ_TOOLS_TARQCTL_COMMANDS_H_
#define TARQ_TOOLS_TARQCTL_COMMANDS_H_

#include <cstdint>
#include <optional>
#include <string>

namespace tarq {

struct CommonOptions {
  std::string socketPath;
  bool json = false;
};

struct StartOptions {
  std::string configFile;
  std::string selected = "auto";
  std::optional<int64_t> clashPort;
  std::optional<std::string> clashSecret;
  bool follow = false;
};

int runPrepare(const CommonOptions& options);
int runStatus(const CommonOptions& options);
int runHelperStatus(const CommonOptions& options);
int runSelect(const CommonOptions& options, const std::string& tag);
int runStop(const CommonOptions& options);
int runStart(const CommonOptions& options, StartOptions start);

}  // namespace tarq

#endif  // TARQ_TOOLS_TARQCTL_COMMANDS_H_
