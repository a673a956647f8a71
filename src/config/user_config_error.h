// A failure to create, write or remove the configuration file: verb + " " +
// path + ": " + the C library's text for the error number.
#ifndef TARQ_CONFIG_USER_CONFIG_ERROR_H_
#define TARQ_CONFIG_USER_CONFIG_ERROR_H_

#include <exception>
#include <string>

namespace tarq {

class UserConfigError : public std::exception {
 public:
  explicit UserConfigError(std::string message) : message_(std::move(message)) {}

  const std::string& message() const { return message_; }
  const std::string& errorDescription() const { return message_; }
  const char* what() const noexcept override { return message_.c_str(); }

 private:
  std::string message_;
};

}  // namespace tarq

#endif  // TARQ_CONFIG_USER_CONFIG_ERROR_H_
