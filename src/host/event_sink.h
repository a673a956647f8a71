// The sink through which a stream handler sends events to its Dart listener,
// shaped after Flutter's EventSink. Called on the host's main thread.
#ifndef TARQ_HOST_EVENT_SINK_H_
#define TARQ_HOST_EVENT_SINK_H_

#include <string>

#include "host/value.h"

namespace tarq {

class EventSink {
 public:
  virtual ~EventSink() = default;
  virtual void success(const Value& event) = 0;
  virtual void error(const std::string& code, const std::string& message,
                     const Value& details) = 0;
  virtual void endOfStream() = 0;
};

}  // namespace tarq

#endif  // TARQ_HOST_EVENT_SINK_H_
