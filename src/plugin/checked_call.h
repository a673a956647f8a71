// A call on "orvek/engine" as the plug-in's main thread reads it, before any
// work is posted: the method matched, the arguments read and checked. A pure
// function of the call, so that the reading of hostile arguments can be
// fuzzed without a plug-in.
//
// Thread safety: none needed; it reads its argument only.
#ifndef TARQ_PLUGIN_CHECKED_CALL_H_
#define TARQ_PLUGIN_CHECKED_CALL_H_

#include <cstdint>
#include <string>
#include <variant>

#include "host/method_call.h"
#include "host/method_result.h"

namespace tarq {

struct CheckedCall {
  enum class Method { kPrepare, kStart, kStop, kSelect, kStatus, kHelperStatus };
  Method method = Method::kStatus;
  // "start": "config" (required) and the optional "selected" (default
  // "auto"), "clashPort" (default 0) and "clashSecret" (default ""); an
  // optional argument that is missing or not of its type takes its default.
  std::string config;
  std::string selected;
  int64_t clashPort = 0;
  std::string clashSecret;
  // "select": "tag" (required).
  std::string tag;
};

// The call with its arguments, or the answer it gets at once: a FlutterError
// "bad_args" ("start requires a config", "select requires a tag") when a
// required argument is missing or not a string (or the arguments are no
// map), NotImplemented for any other method.
std::variant<CheckedCall, MethodResponse> checkCall(const MethodCall& call);

}  // namespace tarq

#endif  // TARQ_PLUGIN_CHECKED_CALL_H_
