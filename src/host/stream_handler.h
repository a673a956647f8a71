// The handler of an event channel, shaped after Flutter's StreamHandler: the
// host calls onListen when Dart starts listening and onCancel when it stops,
// both on the main thread.
#ifndef TARQ_HOST_STREAM_HANDLER_H_
#define TARQ_HOST_STREAM_HANDLER_H_

#include <memory>
#include <optional>

#include "host/event_sink.h"
#include "host/flutter_error.h"
#include "host/value.h"

namespace tarq {

class StreamHandler {
 public:
  virtual ~StreamHandler() = default;
  virtual std::optional<FlutterError> onListen(const Value& arguments,
                                               std::shared_ptr<EventSink> events) = 0;
  virtual std::optional<FlutterError> onCancel(const Value& arguments) = 0;
};

}  // namespace tarq

#endif  // TARQ_HOST_STREAM_HANDLER_H_
