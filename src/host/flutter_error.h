// An error answered to Dart: a snake_case code, a message and details, as
// Flutter's FlutterError carries them.
#ifndef TARQ_HOST_FLUTTER_ERROR_H_
#define TARQ_HOST_FLUTTER_ERROR_H_

#include <string>

#include "host/value.h"

namespace tarq {

struct FlutterError {
  std::string code;
  std::string message;
  Value details;

  friend bool operator==(const FlutterError&, const FlutterError&) = default;
};

}  // namespace tarq

#endif  // TARQ_HOST_FLUTTER_ERROR_H_
