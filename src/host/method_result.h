// The one-shot answer to a method call, shaped after Flutter's MethodResult.
//
// A call is answered exactly once: success, error or not-implemented. The
// first answer is delivered; any later one is ignored and logged, as the
// Flutter embedding does. Answers may be given from any thread; the
// implementation delivers them where its host wants them.
#ifndef TARQ_HOST_METHOD_RESULT_H_
#define TARQ_HOST_METHOD_RESULT_H_

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <variant>

#include "host/flutter_error.h"
#include "host/value.h"

namespace tarq {

// The marker for a method the plug-in does not implement.
struct NotImplemented {
  friend bool operator==(const NotImplemented&, const NotImplemented&) = default;
};

// Everything a method call can be answered with.
using MethodResponse = std::variant<Value, FlutterError, NotImplemented>;

class MethodResult {
 public:
  virtual ~MethodResult() = default;
  MethodResult() = default;
  MethodResult(const MethodResult&) = delete;
  MethodResult& operator=(const MethodResult&) = delete;

  void success(const Value& value = Value()) { answer(value); }
  void error(const std::string& code, const std::string& message, const Value& details = Value()) {
    answer(FlutterError{code, message, details});
  }
  void notImplemented() { answer(NotImplemented{}); }

  // Delivers `response` if this is the first answer; returns whether it was.
  bool answer(MethodResponse response);

  bool answered() const { return answered_.load(); }

 protected:
  // Called once, with the first answer.
  virtual void deliver(MethodResponse response) = 0;
  // Called for every later answer; logs by default.
  virtual void rejectSecondAnswer(const MethodResponse& response);

 private:
  std::atomic<bool> answered_{false};
};

// A MethodResult made of a function; the test double of Flutter's
// MethodResultFunctions.
class MethodResultFunction final : public MethodResult {
 public:
  explicit MethodResultFunction(std::function<void(MethodResponse)> onAnswer)
      : onAnswer_(std::move(onAnswer)) {}

 protected:
  void deliver(MethodResponse response) override { onAnswer_(std::move(response)); }

 private:
  std::function<void(MethodResponse)> onAnswer_;
};

// Readable text of a response, for logs and test messages.
std::string describe(const MethodResponse& response);

}  // namespace tarq

#endif  // TARQ_HOST_METHOD_RESULT_H_
