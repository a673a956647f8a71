#include "host/method_result.h"

#include <type_traits>
#include <utility>

#include "support/system_log.h"

namespace tarq {

bool MethodResult::answer(MethodResponse response) {
  if (answered_.exchange(true)) {
    rejectSecondAnswer(response);
    return false;
  }
  deliver(std::move(response));
  return true;
}

void MethodResult::rejectSecondAnswer(const MethodResponse& response) {
  SystemLog::system()->write(std::string(kLogPrefix) +
                             "method call answered twice; ignored: " + describe(response));
}

std::string describe(const MethodResponse& response) {
  return std::visit(
      [](const auto& item) -> std::string {
        using T = std::decay_t<decltype(item)>;
        if constexpr (std::is_same_v<T, Value>) {
          return describe(item);
        } else if constexpr (std::is_same_v<T, FlutterError>) {
          return "error " + describe(Value(item.code)) + ": " + item.message + " (details " +
                 describe(item.details) + ")";
        } else {
          return "not implemented";
        }
      },
      response);
}

}  // namespace tarq
