// One input line of `tarqctl channel`, understood: a call, a listen or a
// cancel, its arguments in the host's values; or the protocol error it is.
// Separate from the channel's threads, so that hostile lines can be fuzzed
// without a plug-in.
#ifndef TARQ_TOOLS_TARQCTL_CHANNEL_REQUEST_H_
#define TARQ_TOOLS_TARQCTL_CHANNEL_REQUEST_H_

#include <nlohmann/json.hpp>
#include <string>

#include "host/value.h"

namespace tarq {

// The translation into the host's values, their printing and their
// destruction each recurse once per level: a line nested deeper is a
// protocol error, refused before it is built.
inline constexpr int kMaxChannelLineDepth = 128;

struct ChannelRequest {
  enum class Kind { kCall, kListen, kCancel } kind = Kind::kCall;
  nlohmann::json id;  // of a call, echoed in its answer
  std::string method;
  Value arguments;
};

// Blank lines (spaces, tabs, carriage returns) are skipped.
bool isBlankLine(const std::string& text);

// Throws std::invalid_argument (or std::out_of_range) with the protocol
// error's text: "not JSON: ..." (a NUL byte or nesting deeper than
// kMaxChannelLineDepth among them), "expected a JSON object", "expected
// exactly one of ...", "a call needs an \"id\"", "\"method\" must be a
// string", "integer out of the 64-bit range: ...".
ChannelRequest parseChannelRequest(const std::string& text);

}  // namespace tarq

#endif  // TARQ_TOOLS_TARQCTL_CHANNEL_REQUEST_H_
