#include "plugin/checked_call.h"

#include <utility>

#include "plugin/tarq_engine_plugin.h"

namespace tarq {
namespace {

const std::string* stringArgument(const ValueMap& arguments, const std::string& key) {
  auto it = arguments.find(key);
  return it == arguments.end() ? nullptr : it->second.get<std::string>();
}

// Optional arguments never fail: a missing or mistyped one takes its default.
std::string stringOr(const ValueMap& arguments, const std::string& key, std::string fallback) {
  const std::string* value = stringArgument(arguments, key);
  return value ? *value : std::move(fallback);
}

int64_t integerOr(const ValueMap& arguments, const std::string& key, int64_t fallback) {
  auto it = arguments.find(key);
  if (it == arguments.end()) {
    return fallback;
  }
  const int64_t* value = it->second.get<int64_t>();
  return value ? *value : fallback;
}

MethodResponse badArguments(const char* message) {
  return FlutterError{"bad_args", message, Value()};
}

}  // namespace

std::variant<CheckedCall, MethodResponse> checkCall(const MethodCall& call) {
  using Method = CheckedCall::Method;
  const std::string& method = call.method;
  const ValueMap* arguments = call.arguments.get<ValueMap>();
  CheckedCall checked;
  if (method == "start") {
    const std::string* config = arguments ? stringArgument(*arguments, "config") : nullptr;
    if (config == nullptr) {
      return badArguments("start requires a config");
    }
    checked.method = Method::kStart;
    checked.config = *config;
    checked.selected = stringOr(*arguments, "selected", kAutoOutbound);
    checked.clashPort = integerOr(*arguments, "clashPort", 0);
    checked.clashSecret = stringOr(*arguments, "clashSecret", "");
    return checked;
  }
  if (method == "select") {
    const std::string* tag = arguments ? stringArgument(*arguments, "tag") : nullptr;
    if (tag == nullptr) {
      return badArguments("select requires a tag");
    }
    checked.method = Method::kSelect;
    checked.tag = *tag;
    return checked;
  }
  if (method == "prepare") {
    checked.method = Method::kPrepare;
  } else if (method == "stop") {
    checked.method = Method::kStop;
  } else if (method == "status") {
    checked.method = Method::kStatus;
  } else if (method == "helperStatus") {
    checked.method = Method::kHelperStatus;
  } else {
    return NotImplemented{};
  }
  return checked;
}

}  // namespace tarq
