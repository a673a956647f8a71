// The error type of the whole helper link.
#ifndef TARQ_HELPER_HELPER_ERROR_H_
#define TARQ_HELPER_HELPER_ERROR_H_

#include <exception>
#include <string>

namespace tarq {

class HelperError : public std::exception {
 public:
  enum class Kind { io, refused, notInstalled };

  // "helper socket: " + message.
  static HelperError io(std::string message);
  // The message itself: a refusal of the daemon, or a failure the start and
  // stop sequences describe in their own words.
  static HelperError refused(std::string message);
  // "the TARQ helper is not installed".
  static HelperError notInstalled();

  Kind kind() const { return kind_; }
  // The payload of io and refused; empty for notInstalled.
  const std::string& message() const { return message_; }

  // The error's only text, as logged and sent to Dart.
  const std::string& errorDescription() const { return description_; }
  const char* what() const noexcept override { return description_.c_str(); }

 private:
  HelperError(Kind kind, std::string message);

  Kind kind_;
  std::string message_;
  std::string description_;
};

}  // namespace tarq

#endif  // TARQ_HELPER_HELPER_ERROR_H_
