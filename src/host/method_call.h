// A call on a method channel: a method name and its arguments.
#ifndef TARQ_HOST_METHOD_CALL_H_
#define TARQ_HOST_METHOD_CALL_H_

#include <string>

#include "host/value.h"

namespace tarq {

struct MethodCall {
  std::string method;
  Value arguments;
};

}  // namespace tarq

#endif  // TARQ_HOST_METHOD_CALL_H_
