#include "helper/helper_error.h"

#include <utility>

namespace tarq {

namespace {

std::string describe(HelperError::Kind kind, const std::string& message) {
  switch (kind) {
    case HelperError::Kind::io:
      return "helper socket: " + message;
    case HelperError::Kind::refused:
      return message;
    case HelperError::Kind::notInstalled:
      return "the TARQ helper is not installed";
  }
  return message;
}

}  // namespace

HelperError::HelperError(Kind kind, std::string message)
    : kind_(kind), message_(std::move(message)), description_(describe(kind_, message_)) {}

HelperError HelperError::io(std::string message) {
  return HelperError(Kind::io, std::move(message));
}

HelperError HelperError::refused(std::string message) {
  return HelperError(Kind::refused, std::move(message));
}

HelperError HelperError::notInstalled() {
  return HelperError(Kind::notInstalled, std::string());
}

}  // namespace tarq
